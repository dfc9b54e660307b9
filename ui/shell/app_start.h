// CCorvinaApp: the program's start in its fixed order, the message filter, and the release at the end.
#pragma once

#include <QObject>
#include <memory>
#include <string>
#include <vector>

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
};

StartOptions ParseCommandLine(const std::vector<std::string>& args);

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
    // The start. 0: run the event loop; otherwise the exit code (another copy runs: 0 after activating it).
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
    bool started_ = false;
    bool logOpen_ = false;
    bool shutDown_ = false;
};

// The whole program: the start, the event loop and the release. Returns the exit code.
int RunTessaly(int argc, char** argv);

// The style sheet of the shell's windows.
QString ShellStyleSheet();

}  // namespace shell
