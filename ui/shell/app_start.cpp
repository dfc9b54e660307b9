// CCorvinaApp: the program's start in its fixed order, the message filter, and the release at the end.
#include "ui/shell/app_start.h"
#include "ui/shell/crash_report.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>
#include <QDir>
#include <QStandardPaths>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <thread>

#include "common/account.h"
#include "common/appenv.h"
#include "common/calllog.h"
#include "common/debug.h"
#include "platform/fs.h"
#include "platform/msgqueue.h"
#include "platform/thread.h"
#include "service/as_client.h"
#include "service/as_records.h"
#include "service/bootstrap.h"
#include "service/castrel/castrel_plugin.h"
#include "service/login_fsm.h"
#include "service/presence_core.h"
#include "service/settings_xml.h"
#include "service/update_check.h"
#include "ui/controls/external_dispatch.h"
#include "ui/controls/skin.h"
#include "ui/controls/web/web_host.h"
#include "ui/shell/about_box.h"
#include "ui/shell/instance_guard.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/splash.h"

namespace shell {

namespace {
// A command-line value as it can be shown in one line of a message.
std::string Shown(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 80)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return text.size() > 80 ? out + "..." : out;
}
}  // namespace

StartOptions ParseCommandLine(const std::vector<std::string>& args) {
    StartOptions o;
    auto fail = [&o](std::string text) {
        if (o.error.empty()) o.error = std::move(text);
    };
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.find("/nosplash") != std::string::npos) o.showSplash = false;
        if (a.find("/minimize") != std::string::npos) o.minimize = true;
        const bool isProfile = a == "--profile" || a == "-p";
        if (!isProfile && a != "--dial" && a != "--app-folder") continue;
        // An option's value is the next word, never another option.
        if (i + 1 >= args.size() || args[i + 1].empty() || args[i + 1].rfind("--", 0) == 0) {
            fail(a + (a == "--dial" ? " needs a number" : " needs a folder"));
            continue;
        }
        const std::string& value = args[++i];
        if (isProfile) {
            o.profileFolder = value;
        } else if (a == "--app-folder") {
            o.appFolder = value;
        } else {
            std::string number;
            if (ParseDialNumber(QByteArray::fromStdString(value), &number)) o.dialNumber = number;
            else fail("--dial: \"" + Shown(value) + "\" is not a number (digits, + * #, or a SIP address of at most " +
                      std::to_string(kDialRequestMax) + " characters)");
        }
    }
    return o;
}

std::string PrepareProfileFolder(const std::string& folder) {
    if (folder.empty()) return "no folder given";
    if (folder.size() > kProfilePathMax)
        return "path too long (" + std::to_string(folder.size()) + " bytes; at most " + std::to_string(kProfilePathMax) + ")";
    if (plat::FileExists(folder) && !plat::IsDirectory(folder)) return "not a folder";
    // The profile holds passwords, messages and the log: only its user may enter it, also when an
    // older version made it open.
    if (!plat::MakePrivateDirectory(folder)) {
        const int error = ::mkdir(folder.c_str(), plat::kPrivateFolderMode) == 0 ? 0 : errno;
        return std::string("cannot be made: ") + std::strerror(error ? error : EACCES);
    }
    return {};
}

AutoStartDecision DecideAutoStart(bool showSplash, bool minimize, bool autoLogin, bool haveSavedLogins, int linkState) {
    AutoStartDecision d{true, false, false, false};
    if (autoLogin) {
        if (!showSplash || minimize) d.interactive = false;
        if (linkState == 2) d.pending = true;
        else d.startLogin = true;
    }
    // Asked apart from the automatic sign-in: a file that asks for it may list nobody.
    if (showSplash && !minimize && !haveSavedLogins) d.openDialog = true;
    return d;
}

CCorvinaApp::CCorvinaApp(StartOptions options) : options_(std::move(options)) {}

CCorvinaApp::~CCorvinaApp() {
    Shutdown();
    delete frame_;
    frame_ = nullptr;
    SetExternalDispatch(nullptr);
    external_.reset();
    if (started_) STA_FsmDone();
    if (logOpen_) CloseTraceLog();
}

bool CCorvinaApp::eventFilter(QObject* watched, QEvent* event) {
    if (CSplashWindow::FilterAppMessage(event)) return true;
    return QObject::eventFilter(watched, event);
}

int CCorvinaApp::InitInstance(bool* run) {
    *run = false;
    if (options_.appFolder.empty()) options_.appFolder = plat::ExecutableDirectory();
    // Whole paths: the start moves into the installation folder below.
    options_.appFolder = QDir(QString::fromStdString(options_.appFolder)).absolutePath().toStdString();
    if (options_.profileFolder.empty()) {
        const char* env = std::getenv("TESSALY_PROFILE");
        options_.profileFolder = env && *env ? env : QDir::homePath().toStdString() + "/.config/tessaly";
    }
    options_.profileFolder = QDir(QString::fromStdString(options_.profileFolder)).absolutePath().toStdString();
    if (const std::string why = PrepareProfileFolder(options_.profileFolder); !why.empty()) {
        std::fprintf(stderr, "tessaly: profile folder %s: %s\n", Shown(options_.profileFolder).c_str(), why.c_str());
        return 2;
    }

    // The instance test comes first: a second start must not touch the running copy's log.
    guard_ = std::make_unique<InstanceGuard>(options_.profileFolder);
    std::string lockError;
    const InstanceGuard::LockResult lock = guard_->Acquire(&lockError);
    if (lock == InstanceGuard::LockResult::Failed) {
        std::fprintf(stderr, "tessaly: profile folder %s: %s\n", Shown(options_.profileFolder).c_str(), lockError.c_str());
        return 2;
    }
    if (lock == InstanceGuard::LockResult::HeldByAnother) {
        if (!options_.dialNumber.empty()) {
            const int r = SendDialRequest(options_.profileFolder, QByteArray::fromStdString(options_.dialNumber));
            std::printf("%d\n", r);
            if (r < 0) std::fprintf(stderr, "tessaly: the running copy for this profile did not answer\n");
            return r < 0 ? 2 : 0;
        }
        if (SendActivate(options_.profileFolder)) return 0;
        std::fprintf(stderr, "tessaly: another copy runs for this profile but did not answer\n");
        return 1;
    }
    if (!options_.dialNumber.empty()) {
        std::fprintf(stderr, "tessaly: no running copy for this profile\n");
        return 2;
    }

    // The installation's relative skin paths are read from its folder.
    QDir::setCurrent(QString::fromStdString(options_.appFolder));
    plat::SetBaseFolder(options_.profileFolder);
    const bool chinese = SystemLanguageIsChinese();
    LoadConfigPaths(options_.appFolder, options_.profileFolder, chinese);
    logOpen_ = OpenTraceLog(Paths().logPath.c_str());
    LoadDebugConfig(Paths().settingsPath.c_str());
    DebugTrace(MOD_SYSTEM, 1, "System Start");
    guard_->Listen();
    // Files in the place of the profile's own that are not regular files are never opened (a FIFO
    // would hold the start); they are left as they are.
    for (const std::string& path : {Paths().settingsPath, Paths().settingsXmlPath, Paths().savedLoginsPath,
                                    plat::PathJoin(options_.profileFolder, "account.ini")}) {
        if (plat::FileExists(path) && !plat::IsRegularFile(path))
            DebugTrace(MOD_SYSTEM, 1, "%s is not a regular file: not read, kept as it is", path.c_str());
    }
    // ---- crash report: ERRORLOG.TXT in the profile; the report program "CrashReport" of the
    // installation when it is there
    {
        std::string report = plat::PathJoin(options_.appFolder, "CrashReport");
        if (::access(report.c_str(), X_OK) != 0) report.clear();
        InstallCrashReport(options_.profileFolder, QCoreApplication::applicationFilePath().toStdString(), report);
    }
    DebugTrace(MOD_SYSTEM, 2, "Profile folder %s, installation %s", options_.profileFolder.c_str(), options_.appFolder.c_str());
    g_configManual = ConfigInt("common", "config_manual", 0);
    g_strLangType = Paths().langType;
    ctl::SetResourceFolder(plat::PathJoin(options_.appFolder, "res"));
    ctl::SetSkinType(Paths().skinType);

    CSplashWindow::EnableSplash(options_.showSplash);
    qApp->installEventFilter(this);

    started_ = true;
    external_ = std::make_unique<CExternalDispatch>();
    SetExternalDispatch(external_.get());
    STA_SetConfigPath(Paths().settingsPath);
    // Without a machine the program still runs; a sign-in then does nothing.
    if (!STA_FsmInit()) DebugTrace(MOD_SYSTEM, 1, "Login state machine not created");
    ReadSettingsXml(Paths().settingsXmlPath.c_str());
    Update_SetBaseAddress(g_serviceSettings.update);
    Update_SetLanguageFile(Paths().langFile);
    CallLog_Init();

    frame_ = new CMainFrame;
    frame_->setWindowIcon(QIcon(QString::fromStdString(plat::PathJoin(options_.appFolder, "res/128.png"))));
    frame_->onClosed = [this] {
        Shutdown();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    };
    guard_->onActivate = [this] {
        DebugTrace(MOD_SYSTEM, 2, "Activated by a second start");
        if (frame_) frame_->Command(ID_SHOW_WINDOW);
    };
    guard_->onDial = [this](const std::string& number) { return frame_ ? frame_->DialRequest(number) : 0; };
    guard_->onSetup = [this] { return frame_ ? static_cast<int>(SendToFrame(WM_RUN_SETUP, 0, 0)) : 0; };

    // The messaging library's store (messages, buddy list, its settings) is the profile's own.
    castrel_set_base_path(options_.profileFolder.c_str());
    presence_core_init();
    DebugTrace(MOD_SYSTEM, 2, "Presence core started");

    ApplyLanguageCode(Paths().langType);
    SendToFrame(WM_LANGUAGE_CHANGED, 0, 0);
    WriteLangTypeIfChanged(Paths().langType);
    ApplySkinType(Paths().skinType);
    SendToFrame(WM_SKIN_CHANGED, 0, 0);
    WriteSkinTypeIfChanged(Paths().skinType);

    frame_->Sheet()->setCurrentIndex(0);
    frame_->SetPresenceStatus(STATUS_OFFLINE);
    frame_->LogoffReset(LOGIN_SIGNED_OUT);
    CSplashWindow::HideSplash();
    if (options_.minimize) frame_->hide();
    else frame_->show();
    DebugTrace(MOD_SYSTEM, 2, "Main frame shown");

    if (Boot_StartThread()) DebugTrace(MOD_SYSTEM, 2, "Create bootstrap thread, id = %08x", static_cast<unsigned>(g_idBootThread.load()));
    if (Update_StartThread()) DebugTrace(MOD_SYSTEM, 2, "Create update thread, id = %08x", static_cast<unsigned>(Update_ThreadId()));
    if (AS_StartThread()) DebugTrace(MOD_SYSTEM, 2, "Create access client thread, id = %08x", static_cast<unsigned>(g_idAsThread.load()));

    if (!CreateChatSemaphore()) {
        DebugTrace(MOD_SYSTEM, 3, "Init Chat Semaphore Failed");
        QMessageBox::warning(nullptr, "Brindle", "initialization program data error !");
        return 1;
    }

    SavedLoginStore& store = SavedLogins();
    loadLoginInfo(store, Paths().savedLoginsPath);
    g_loginPending = false;
    if (store.autoLogin) {
        DebugTrace(MOD_SYSTEM, 2, "Send login message to main window");
        if (!options_.showSplash || options_.minimize) g_interactiveLogin = false;
        g_strUserId = store.lastLoginId;
        g_strPassword = store.lastLoginPwd;
        // Half a second for the network to settle, then the route decides: sign in now, or leave it to
        // the frame's link monitor.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const AutoStartDecision d = DecideAutoStart(options_.showSplash, options_.minimize, true,
                                                    !store.logins.empty(), GetLinkState());
        g_loginPending = d.pending;
        if (d.startLogin) frame_->ServerLogin();
    }
    if (DecideAutoStart(options_.showSplash, options_.minimize, store.autoLogin, !store.logins.empty(), 1).openDialog) {
        DebugTrace(MOD_SYSTEM, 2, "No User Read, Send login as message to main window");
        PostMessage(frame_->Handle(), WM_FRAME_COMMAND, ID_LOGIN_AS, 0);
    }
    *run = true;
    return 0;
}

void CCorvinaApp::Shutdown() {
    if (shutDown_ || !started_) return;
    shutDown_ = true;
    DebugTrace(MOD_SYSTEM, 2, "Presence core ending");
    presence_core_quit();
    g_profileList.Clear();
    CallLog_Init();
    if (!Boot_StopThread(10000)) DebugTrace(MOD_SYSTEM, 1, "bootstrap thread did not end");
    if (!Update_StopThread(10000)) DebugTrace(MOD_SYSTEM, 1, "update thread did not end");
    if (!AS_StopThread(10000)) DebugTrace(MOD_SYSTEM, 1, "access client thread did not end");
    DebugTrace(MOD_SYSTEM, 2, "Worker threads stopped");
    presence_plugins_unload_all();
    DebugTrace(MOD_SYSTEM, 2, "Plug-ins unloaded");
}

bool CreateChatSemaphore() {
    g_hChatSemaphore.reset(new (std::nothrow) plat::Semaphore(1, 1));
    return g_hChatSemaphore != nullptr;
}

std::function<void(const QString& url)>& AddressOpener() {
    static std::function<void(const QString&)> opener = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
    return opener;
}

bool OpenAddress(const std::string& address) {
    // Addresses come from the settings file: web and mail pages only, never a program or a local file.
    const QUrl url = QUrl::fromUserInput(QString::fromStdString(address).trimmed());
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() != (scheme == "mailto") ||
        (scheme != "http" && scheme != "https" && scheme != "mailto")) {
        DebugTrace(MOD_SYSTEM, 1, "address not opened (not a web or mail address): %.200s", address.c_str());
        return false;
    }
    if (AddressOpener()) AddressOpener()(url.toString());
    return true;
}

bool OnAppCommand(int id, CMainFrame* frame) {
    switch (id) {
        case ID_ABOUT: {
            CAboutDlg dlg(frame);
            if (frame) frame->AddToDialogList(&dlg);
            dlg.exec();
            if (frame) frame->RemoveFromDialogList(&dlg);
            return true;
        }
        case ID_PORTAL:
        case ID_HOME_PAGE:
            if (g_serviceSettings.portal.empty()) g_serviceSettings.portal = kBuiltInSite;
            OpenAddress(g_serviceSettings.portal);
            return true;
        case ID_HELP:
            if (ConfigInt("photo", "test", 0) == 1) {
                if (ChatHooks().runTestWindow) ChatHooks().runTestWindow();  // chat windows
            } else if (!g_serviceSettings.helpTopic.empty()) {
                OpenAddress(g_serviceSettings.helpTopic);
            }
            return true;
        case ID_SHARE:
            OpenAddress(g_serviceSettings.share);
            return true;
        case ID_LANG_CHS:
        case ID_LANG_ENG: {
            // The windows change first; the file is written only when the code differs.
            const std::string code = id == ID_LANG_CHS ? "chs" : "eng";
            ApplyLanguageCode(code);
            g_strLangType = code;
            SendToFrame(WM_LANGUAGE_CHANGED, 0, 0);
            WriteLangTypeIfChanged(code);
            return true;
        }
        default:
            if (id >= kSkinCommandFirst && id < kSkinCommandFirst + static_cast<int>(kMaxSkins)) {
                const size_t i = static_cast<size_t>(id - kSkinCommandFirst);
                if (i >= Paths().skins.size()) return true;
                const std::string type = Paths().skins[i];
                ApplySkinType(type);
                SendToFrame(WM_SKIN_CHANGED, 0, 0);
                WriteSkinTypeIfChanged(type);
                return true;
            }
            return false;
    }
}

namespace {
int g_signalPipe[2] = {-1, -1};

// While the application object opens the display, a fatal message of Qt (no display, no usable platform)
// ends the start with a word and exit code 2 instead of an abort.
bool g_openingDisplay = false;
QtMessageHandler g_previousHandler = nullptr;
void StartMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg && g_openingDisplay) {
        std::fprintf(stderr, "tessaly: cannot open the display: %s\n", qPrintable(message.trimmed()));
        std::fprintf(stderr, "tessaly: run it on a desktop, or set DISPLAY to a running X server\n");
        std::fflush(stderr);
        std::_Exit(2);
    }
    if (g_previousHandler) g_previousHandler(type, context, message);
    else std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}
void OnTermSignal(int) {
    const char c = 1;
    if (::write(g_signalPipe[1], &c, 1) < 0) {}
}
}  // namespace

int RunTessaly(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    StartOptions options = ParseCommandLine(args);
    if (!options.error.empty()) {
        std::fprintf(stderr, "tessaly: %s\n", options.error.c_str());
        return 2;
    }
    // ---- the browser engine: its shared GL context is made when the engine first starts, not with the
    // application; as root the engine runs only unsandboxed.
    DeferEngineGraphics();
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    g_previousHandler = qInstallMessageHandler(StartMessageHandler);
    g_openingDisplay = true;
    QApplication app(argc, argv);
    g_openingDisplay = false;
    qInstallMessageHandler(g_previousHandler);
    QApplication::setApplicationName("Tessaly");
    QApplication::setQuitOnLastWindowClosed(false);
    app.setStyle("Fusion");
    app.setStyleSheet(ShellStyleSheet());
    int code = 0;
    {
        CCorvinaApp corvina(options);
        bool run = false;
        code = corvina.InitInstance(&run);
        // A session's end (SIGTERM, SIGINT) closes the window as the user would, signing out first.
        std::unique_ptr<QSocketNotifier> notifier;
        if (run && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
            notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, [&corvina] {
                char c;
                if (::read(g_signalPipe[0], &c, 1) < 0) {}
                DebugTrace(MOD_SYSTEM, 2, "Termination asked, closing");
                if (corvina.Frame()) corvina.Frame()->close();
            });
            struct sigaction sa {};
            sa.sa_handler = OnTermSignal;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESTART;
            sigaction(SIGTERM, &sa, nullptr);
            sigaction(SIGINT, &sa, nullptr);
        }
        if (run) code = app.exec();
        notifier.reset();
    }
    return code;
}

}  // namespace shell
