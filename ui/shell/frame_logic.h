// Decisions of the main frame that do not need a window: dial requests, sign-in states and notices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

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

// The newer-version rule: true unless the version is 0.x below 0.9 or 0.9.x below 0.9.7 (the running
// version is 0.9.6); another major version, a negative one too, counts as newer.
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

// ---- menu and tool-bar commands: when each is enabled -------------------------------------
// What the enabling rules look at.
struct CommandState {
    int loginState = 0;      // the frame's sign-in state
    bool book = false;       // the address-book page exists
    int selectionKind = 0;   // kind of the address book's selected item (0 none, 1 group, 2 contact, 4, 7 card)
    bool dialPage = false, callLogPage = false, servicePage = false;
};
// Whether the command is enabled; *known is false for an id the table does not list (left enabled).
bool CommandEnabled(int id, const CommandState& s, bool* known = nullptr);
// Every id of the table (the tests and the frame walk it).
const std::vector<int>& RuledCommands();

// An item of the status menus: checked and enabled.
struct MenuItemState {
    bool checked = false;
    bool enabled = true;
};
// The status bar's menu: the item of a status (0 online, 1 offline, 2 busy) by the frame's sign-in
// state and the status shown. Signed out or in, the current status is checked and greyed; while
// signing in or out every item is greyed.
MenuItemState StatusMenuItem(int itemStatus, int loginState, int status);
// The tray menu's status submenu (online, offline); frameExists false greys both.
MenuItemState TrayMenuItem(int itemStatus, bool frameExists, int loginState, int status);

// What a presence command asks: 3114 online (sign in while not signed in), 3115 sign out, 3116 busy
// unless offline.
enum PresenceCommandAction { PRESENCE_CMD_NONE, PRESENCE_CMD_SET_ONLINE, PRESENCE_CMD_SET_BUSY, PRESENCE_CMD_LOGIN, PRESENCE_CMD_LOGOFF };
PresenceCommandAction ActionForPresenceCommand(int id, int loginState, int status);

// The window title: the application's title alone, or while signed in and not offline followed by
// " - " and the alias, or the user name when there is no alias.
std::string FrameTitle(const std::string& appTitle, int loginState, int status, const std::string& alias,
                       const std::string& user);

// ---- the chat text format, usrcfg.ini [IMFont] ---------------------------------------------
struct ChatFont {
    uint32_t color = 8388608;  // COLORREF, dark blue
    int size = 180;            // height in twips
    std::string faceName;      // in the ANSI code page; default "宋体"
    bool italic = false, bold = false, underline = false, strikeout = false;
    int charset = 0;
};
// Reads the section as stored (missing keys, and a colour or size that is no number, keep their defaults).
ChatFont ReadChatFont(const std::string& iniPath);
bool WriteChatFont(const std::string& iniPath, const ChatFont& font);

// usrcfg.ini [common] ucountnumber: the contact counter when the text is a number (negative becomes 0);
// -1 for anything else.
int ParseContactCounter(const std::string& text);

// ---- the emoticon table --------------------------------------------------------------------
struct FaceEntry {
    int index = 0;
    bool available = false;
    std::string tip;       // [action_tip] key "%d" of the index, read on every language change
    std::string fileName;  // "01.bmp", ...
};
// 49 entries, each with its index and file name.
std::vector<FaceEntry>& FaceTable();
// Marks available the entries whose "face/NN.bmp" of the installation loads (load: the frame adds the
// picture to its image list), in order up to the first that does not; the number loaded.
int LoadFaceTable(const std::string& appFolder, const std::function<bool(const std::string& path)>& load = {});
// The tips of the table from the language file ([action_tip], key of each entry's index).
void ReadFaceTips();

}  // namespace shell
