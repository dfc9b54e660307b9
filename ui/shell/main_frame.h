// CMainFrame: the one top-level window, the receiver of every worker thread's report.
#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <string>
#include <unordered_map>

#include "platform/wintypes.h"
#include "ui/shell/call_windows_hook.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/frame_menus.h"
#include "ui/shell/mixer_control.h"
#include "ui/shell/pages.h"

class QLabel;
class QMenu;
class QAction;
class QSystemTrayIcon;
class CSystemTray;
class CSkinToolBar;
class CDialComboBox;
class CAsSyncResult;
struct AsRequest;

// Status bar: the presence icon pane and the description.
class CPresenceStatusBar : public QWidget {
    Q_OBJECT
public:
    explicit CPresenceStatusBar(QWidget* parent = nullptr);
    void SetStatus(int status);
    int GetStatus() const { return m_nStatus; }
    void RefreshStatus() { SetStatus(m_nStatus); }
    void SetDescription(const QString& text);
    // The status menu as a click opens it, for the frame's sign-in state now (the caller owns it);
    // null when its pictures are missing.
    class TrelMenu* MakeStatusMenu();
    QString Description() const;
signals:
    void statusChosen(int status);

protected:
    void mousePressEvent(QMouseEvent* e) override;

private:
    int m_nStatus = 2;
    QLabel *icon_, *text_, *progress_;
};

// ---- chat windows ----------------------------------------------------------------------------
// The chat layer sits above the shell and fills these at start; the frame calls them when set.
struct ChatFrameHooks {
    std::function<LRESULT(UINT message, WPARAM wParam, LPARAM lParam)> incoming;  // takes a text's heap text
    std::function<void(int mode, const std::string& recordsRoot, const std::string& ownName)> loginState;
    std::function<void(int flag)> closeAll;
    std::function<void()> languageChanged;
    std::function<void(const AsRequest* request)> asResult;  // sees results the frame does not handle
    std::function<void()> openChatRooms;                      // the chat-room list
    std::function<void(int peer)> openRecords;                // the chat-record browser
    // Frame messages of the chat side (0x802 call a member, 0x81A SMS, 0x81C chat records): true when taken.
    std::function<bool(UINT message, WPARAM wParam, LPARAM lParam)> frameMessage;
    // Block and unblock requests (0x823) and answers (0x821, 0x822) for every chat window; id = the contact's id.
    std::function<void(UINT message, WPARAM wParam, const std::string& id)> blockNotice;
};
ChatFrameHooks& ChatHooks();
// ---- end of chat windows ----------------------------------------------------------------------

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    HWND Handle() const { return m_hWnd; }
    // The message table: each posted window message reaches the handler named here.
    using Handler = LRESULT (CMainFrame::*)(WPARAM, LPARAM);
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    // Frees the record of a message that can no longer be delivered.
    static void DiscardMessage(UINT message, WPARAM wParam, LPARAM lParam);

    void LogoffReset(int mode);
    void ServerLogin();
    void OnFileLogin();
    void OnLogoff();
    void OnLoginAs();
    void OnAppExit();
    void SetPresenceStatus(int status);
    void SetStatusText(const char* key);
    int DialRequest(const std::string& number);
    // Places a call; quiet: no message box (a request from another program).
    int CallNumber(const QString& number, bool quiet = false);
    void ApplyLanguage();
    void ApplySkin();
    void Command(int id);

    int m_nLoginState = 0;
    CChildView* Sheet() const { return m_pSheet; }
    CNqNavigatePage* StartPage() const { return m_navigatePage; }
    // The Contacts page the address book registered; null while signed out or without one.
    CNqPropertyPage* ContactsPage() const { return m_pBookPage; }
    // Contacts of the last synchronisation.
    int SyncedBuddyCount() const { return syncedBuddies_; }
    shell::CallWindowsHook* Calls() const { return m_calls.get(); }  // null without the calls windows
    CPresenceStatusBar* StatusBar() const { return m_wndStatusBar; }
    CSkinToolBar* ToolBar() const { return m_wndToolBar; }
    bool ClosingDone() const { return closed_; }
    // Runs the login dialog; tests replace it.
    std::function<bool(QString* user, QString* password)> runLoginDialog;
    // Message boxes; tests replace it (text, title).
    std::function<void(const QString&, const QString&)> showBox;
    // Called once the close has finished (threads stopped, plug-ins unloaded).
    std::function<void()> onClosed;

protected:
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    LRESULT OnVoipEvent(WPARAM, LPARAM);
    LRESULT OnAsResult(WPARAM, LPARAM);
    LRESULT OnAsGroupList(WPARAM, LPARAM);
    LRESULT OnPresenceState(WPARAM, LPARAM);
    LRESULT OnPresenceBuddy(WPARAM, LPARAM);
    LRESULT OnBuddyListBegin(WPARAM, LPARAM);
    LRESULT OnBuddyListEnd(WPARAM, LPARAM);
    LRESULT OnPresenceError(WPARAM, LPARAM);
    LRESULT OnPresenceText(WPARAM, LPARAM);
    LRESULT OnPresenceVoice(WPARAM, LPARAM);
    LRESULT OnBootReply(WPARAM, LPARAM);
    LRESULT OnLoginNotice(WPARAM, LPARAM);
    LRESULT OnLoginStateChange(WPARAM, LPARAM);
    LRESULT OnUpdateResult(WPARAM, LPARAM);
    LRESULT OnLanguageChanged(WPARAM, LPARAM);
    LRESULT OnSkinChanged(WPARAM, LPARAM);
    LRESULT OnCommand(WPARAM, LPARAM);

    void ApplySync(CAsSyncResult* sync);
    void OnUpdateNow();
    void StartForcedUpdate();
    QString UpdaterProgram() const;
    shell::VersionFileData VersionFileForAnswer() const;
    // The enforced update's worker: the version file, the exit command, then the updater.
    static void RunUpdaterThreadProc(const shell::VersionFileData& v, const std::string& path, HWND frame,
                                     const std::string& program);
    bool updateAsked_ = false;
    bool haveUpdate_ = false;
    void BuildMenus();
    void RefreshMenus();
    void UpdateTrayIcon();
    void OnLinkTimer();
    void ContinueClose();
    void FinishClose();
    void Box(const QString& text, const QString& title);
    void AddEvent(int kind, const QString& text);
    void OnAnswer(COnDialDlg* page);
    void OnHangup(COnDialDlg* page);
    void UpdateOnlineCount();

    HWND m_hWnd = nullptr;
    static const std::unordered_map<UINT, Handler>& MessageTable();

    CSkinToolBar* m_wndToolBar = nullptr;
    CPresenceStatusBar* m_wndStatusBar = nullptr;
    QWidget* m_wndDialBar = nullptr;
    CDialComboBox* m_dialCombo = nullptr;
    class CSkinButton *m_dialButton = nullptr, *m_hangupButton = nullptr;
    CChildView* m_pSheet = nullptr;
    CNqNavigatePage* m_navigatePage = nullptr;
    CNqPropertyPage* m_pBookPage = nullptr;  // the registered Contacts page (address book hooks)
    CDialDialog* m_pDialPage = nullptr;
    CSyslogDlg* m_pCallLogPage = nullptr;
    CPageService* m_pServicePage = nullptr;
    CSystemTray* m_wndTray = nullptr;
    std::unordered_map<int, QAction*> actions_;
    QMenu *fileMenu_ = nullptr, *viewMenu_ = nullptr, *statusMenu_ = nullptr, *helpMenu_ = nullptr;
    QTimer linkTimer_;
    shell::LinkMonitor link_;
    bool m_bAlwaysOnTop = false;
    bool m_bClosing = false;
    bool closed_ = false;
    bool buddyListSeen_ = false;
    QString alias_;
    // Where the status bar's description comes from (section and key of the language file), so that a
    // language change shows it anew; empty when the bar shows none.
    std::string descriptionSection_, descriptionKey_, descriptionDefault_;
    void SetDescriptionText(const char* section, const char* key, const char* builtIn = "");
    int syncedBuddies_ = 0;
    std::unordered_map<std::string, int> buddyOnline_;  // last state per buddy: only a change is news
    QTimer closeWait_;
    // The calls windows, when registered (they then own the call, dial and call log pages).
    std::unique_ptr<shell::CallWindowsHook> m_calls;
    CNqPropertyPage *m_callsDial = nullptr, *m_callsLog = nullptr;
    bool AnyCall() const { return m_calls ? m_calls->AnyCallPage() : m_pSheet->AnyCallPage(); }
    int closeWaitTicks_ = 0;
    // ---- message icon with its pending notices, tray animation
public:
    // A hidden window waits behind the blinking message icon; soundKind 1 plays the system sound,
    // else the message sound.
    void AddPendingNotice(QWidget* dialog, int kind, int soundKind);
    void ClearPendingNotices();
    // A click on the message icon: the oldest waiting window is shown.
    void OnMessageIconClick();
    bool MessageIconShown() const { return m_bMessageIconShown; }
    size_t PendingNoticeCount() const { return m_pendingNotices.Size(); }
    // The tray icon alternates the skin's two animation frames every 500 ms (a call page came).
    void StartTrayAnimation();
    void StopTrayAnimation();
    bool TrayAnimating() const;
    CSystemTray* Tray() const { return m_wndTray; }
private:
    void ShowMessageIcon(bool show);
    shell::PendingNoticeList m_pendingNotices;
    bool m_bMessageIconShown = false;
    QSystemTrayIcon* m_messageIcon = nullptr;
    QTimer messageBlink_;
    bool messageBlinkOn_ = false;
    // ---- menus from the menu file, the mixer and its mute buttons
public:
    const shell::FrameMenus& Menus() const { return menus_; }
    shell::CMicrophoneMixer* Mixer() const { return m_mixer.get(); }
    shell::MuteButtons* MuteButtonsOf() const { return muteButtons_; }
    // Replaces the mixer (tests: a mixer of their own) and rebinds the mute buttons.
    void SetMixer(std::unique_ptr<shell::CMicrophoneMixer> mixer);
private:
    shell::FrameMenus menus_;
    std::unique_ptr<shell::CMicrophoneMixer> m_mixer;
    shell::MuteButtons* muteButtons_ = nullptr;
    // ---- end menus and mixer
};

// ---- Address book windows (ui/contacts sits above the shell and registers here) ----
struct FrameBookHooks {
    // The Contacts page; none when unset.
    std::function<CNqPropertyPage*()> createPage;
    // Sees each message before the frame's table: true when it took the message (and its record).
    std::function<bool(UINT, WPARAM, LPARAM)> filter;
    // Rebuilds the page's trees after the frame changed the store (shell::REBUILD_* bits).
    std::function<void(unsigned rebuild)> refresh;
};
FrameBookHooks& BookHooks();
// ---- end of the address book hooks ----

// The frame of the running program (null before it is created and after it is gone).
CMainFrame* MainFrame();
// Sends a message synchronously to the frame (language and skin broadcasts).
LRESULT SendToFrame(UINT message, WPARAM wParam, LPARAM lParam);
