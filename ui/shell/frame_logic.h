// Decisions of the main frame that do not need a window: dial requests, sign-in states and notices.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace shell {

// The dial request's answer: 0 not signed in, 1 a call page for the number exists (it is made active),
// 0 without the start page, 2 a call page is talking, else 3 (the number is called).
int DialDecision(int loginState, bool pageForNumber, bool startPageExists, bool talking);

// What the frame does for a new state of the login state machine.
struct LoginStateAction {
    const char* statusKey;  // [status_txt] key, or null
    int resetMode;          // -1: none
    bool offline;           // presence status offline as well
};
LoginStateAction ActionForLoginState(int state);

// The failure text key for the state in which a sign-in failed; null when nothing is shown.
const char* LoginFailureKey(int state);

// Skin bitmap names of the presence statuses, and of the tray; null for none.
const char* StatusBitmapName(int status);
const char* TrayBitmapName(int status);

// The link monitor's memory between ticks (every 3000 ms) and what a tick asks for.
struct LinkMonitor {
    int linkState = 1;             // 1 available, 2 lost
    long long lastGateway = -1;    // the default route's next hop; -1 unknown
    int ticks = 0;                 // 0..9
};
enum LinkAction { LINK_NONE = 0, LINK_LOGIN = 1, LINK_UNREACHABLE = 2 };
// One tick: gateway is the default route's next hop, or -1 without a route. haveUser: a remembered user
// and password. Returns the event to post; *log gets the trace line, if any.
LinkAction LinkMonitorTick(LinkMonitor& m, long long gateway, bool haveUser, int frameLoginState, bool pending,
                           int fsmState, const char** log);

// True when the target is the user's own SIP address: a name without "@" takes the domain, on either side,
// and the two compare without regard to case.
bool IsCallingSelf(const std::string& target, const std::string& domain, const std::string& sipAccount);

// The newer-version rule: true when the version is above the running 0.9.6.
bool IsNewerVersion(int major, int minor, int build);

// Writes "VersionInfo.ini" for the updater: the new version, the running 0.9.6, the download file, the
// need-update flag, the language and the update server. False when the file cannot be written.
struct VersionFileData {
    int major = 0, minor = 0, build = 0;
    std::string changes, downloadFile, langType, server;
    int needUpdate = 0;
};
bool WriteVersionInfoIni(const std::string& path, const VersionFileData& v);

// What an answer of the update check asks of the frame. answer: 0 an answer, 1 failure, 2 exception.
struct UpdateAnswerAction {
    bool notice = false;      // the start page shows the new version
    bool forced = false;      // the updater runs now, the program exits
    bool updateNow = false;   // the update-now action (the user asked)
    bool failureBox = false;  // the check failed and the user asked
};
UpdateAnswerAction ActionForUpdateAnswer(int answer, bool newer, bool forcedFlag, bool userAsked);

// A notice behind the message icon: the window that has something to show (not owned) and its kind.
class CPendingNotice {
public:
    CPendingNotice(const void* dialog, int kind) : m_pDialog(dialog), m_nKind(kind) {}
    const void* m_pDialog;
    int m_nKind;
};

// The notices behind the message icon, oldest first: a hidden chat window waiting to be shown.
class PendingNoticeList {
public:
    void Add(const void* dialog, int kind) { notices_.emplace_back(dialog, kind); }
    // A click on the icon takes the oldest notice; null when there is none.
    const void* TakeFirst();
    // A window that went away takes its notices with it.
    void Forget(const void* dialog);
    bool Contains(const void* dialog) const;
    void Clear() { notices_.clear(); }
    bool Empty() const { return notices_.empty(); }
    size_t Size() const { return notices_.size(); }

private:
    std::deque<CPendingNotice> notices_;
};

}  // namespace shell
