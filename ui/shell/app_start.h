// CCorvinaApp: the program's start in its fixed order, the message filter, and the release at the end.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CExternalDispatch;
class CMainFrame;
class QApplication;

namespace shell {

class InstanceGuard;

struct StartOptions {
    std::string appFolder;      // installation folder; default: the program's folder
    std::string profileFolder;  // one user's folder; default: $TESSALY_PROFILE or ~/.config/tessaly
    bool showSplash = true;     // "/nosplash" anywhere in an argument clears it
    bool minimize = false;      // "/minimize"
    std::string dialNumber;     // --dial N: ask the running copy to call N, print its answer, exit
    std::string error;          // what is wrong with the command line; the program then ends with 2
};

inline constexpr size_t kProfilePathMax = 1024;  // bytes of the profile folder's path

StartOptions ParseCommandLine(const std::vector<std::string>& args);
// Makes the profile folder when missing (0700; an existing one of ours is closed to others): empty when
// it can be used, else why not.
std::string PrepareProfileFolder(const std::string& folder);

// The decisions of an automatic start.
struct AutoStartDecision {
    bool interactive;   // g_interactiveLogin
    bool pending;       // g_loginPending
    bool startLogin;    // sign in now
    bool openDialog;    // post "log in as"
};
AutoStartDecision DecideAutoStart(bool showSplash, bool minimize, bool autoLogin, bool haveSavedLogins, int linkState);

class CCorvinaApp : public QObject {
    Q_OBJECT
public:
    explicit CCorvinaApp(StartOptions options);
    ~CCorvinaApp() override;
    // The start. 0: run the event loop; otherwise the exit code: 0 after activating another copy, 1 when
    // that copy does not answer or the start fails, 2 for an unusable profile folder or a dial request
    // without a copy to take it.
    int InitInstance(bool* run);
    CMainFrame* Frame() const { return frame_; }
    // Called when the frame has closed: stops the presence core, the threads and the plug-ins.
    void Shutdown();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    StartOptions options_;
    std::unique_ptr<InstanceGuard> guard_;
    CMainFrame* frame_ = nullptr;
    std::unique_ptr<CExternalDispatch> external_;  // what embedded pages reach as window.external
    bool started_ = false;
    bool logOpen_ = false;
    bool shutDown_ = false;
};

// The application's own commands: 2914 about, 2944 and 2994 the portal (the home page), 2943 help,
// 2962 share, 2927 and 2928 the language, 3014.. the skins. False for any other id.
bool OnAppCommand(int id, CMainFrame* frame);
// The web site opened when the settings file names no portal.
inline constexpr const char* kBuiltInSite = "https://www.tessaly.net/";
// Opens an address of the settings file the way the desktop opens it; only web and mail addresses are
// opened (false, with a log line, for anything else). Tests replace the opener.
bool OpenAddress(const std::string& address);
std::function<void(const QString& url)>& AddressOpener();
// Makes the program-wide chat semaphore (g_hChatSemaphore); false when it cannot be made.
bool CreateChatSemaphore();

// The whole program: the start, the event loop and the release. Returns the exit code.
int RunTessaly(int argc, char** argv);

// The style sheet of the shell's windows.
QString ShellStyleSheet();

}  // namespace shell
