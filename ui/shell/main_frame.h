// CMainFrame: the one top-level window, the receiver of every worker thread's report.
#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/wintypes.h"
#include "service/update_check.h"
#include "ui/shell/call_windows_hook.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/frame_menus.h"
#include "ui/shell/mixer_control.h"
#include "ui/shell/pages.h"
#include "ui/shell/shell_app.h"

class QLabel;
class CPaintedStatic;
class QMenu;
class QAction;
class QDialog;
class QSystemTrayIcon;
class CSystemTray;
class CSkinToolBar;
class CAsSyncResult;
struct AsRequest;
class CUpdateDialog;
class CHeadPicDlg;
struct VOIP_UI_MSG;
struct AddrNode;

// Status bar: the presence icon pane and the text pane (the status's description or a progress text).
class CPresenceStatusBar : public QWidget {
    Q_OBJECT
public:
    explicit CPresenceStatusBar(QWidget* parent = nullptr);
    void SetStatus(int status);
    int GetStatus() const { return m_nStatus; }
    void RefreshStatus() { SetStatus(m_nStatus); }
    void SetDescription(const QString& text);
    static QString StatusDescription(int status);
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
    CPaintedStatic* icon_;  // the status picture, its key colour keyed out
    QLabel* text_;
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
    std::function<void()> closeWindows;                       // signed out: the chat-room, SMS and record windows go
    // Frame messages of the chat side (0x802 call a member, 0x81A SMS, 0x81C chat records): true when taken.
    std::function<bool(UINT message, WPARAM wParam, LPARAM lParam)> frameMessage;
    // Block and unblock requests (0x823) and answers (0x821, 0x822) for every chat window; id = the contact's id.
    std::function<void(UINT message, WPARAM wParam, const std::string& id)> blockNotice;
    // A buddy state the frame has applied: every chat window hears (connection, record) under the
    // chat semaphore; a wait that times out skips it.
    std::function<void(WPARAM connection, LPARAM record)> buddyState;
    // The chat of an address-book group (the group action 0): its id and name.
    std::function<void(const char* id, const char* name)> openGroupChat;
    // Help while usrcfg.ini [photo] test is 1: a chat window in its test mode, run modally.
    std::function<void()> runTestWindow;
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
    // Places a call (its boxes shown as the calls windows place it).
    int CallNumber(const QString& number);
    void ApplyLanguage();
    void ApplySkin();
    void Command(int id);
    // The dial commands (1000, 2932 to 2935): unless the status is offline, the active page dials.
    void OnDialButton();

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
    void moveEvent(QMoveEvent* e) override;
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
    LRESULT OnRunSetup(WPARAM, LPARAM);

    void ApplySync(CAsSyncResult* sync);
    void OnUpdateNow();
    void StartForcedUpdate();
    QString UpdaterProgram() const;
    void NoUpdaterBox();
    void ReadChatSettings();
    shell::VersionFileData VersionFileForAnswer() const;
    // The enforced update's worker: the version file, the exit command, then the updater.
    static void RunUpdaterThreadProc(const shell::VersionFileData& v, const std::string& path, HWND frame,
                                     const std::function<bool(const std::string&)>& start);
    bool updateAsked_ = false;
    bool haveUpdate_ = false;
    void BuildMenus();
    void RefreshMenus();
    void UpdateTrayIcon();
    void OnLinkTimer();
    void ContinueClose();
    void FinishClose();
    void ClosePages();
    // A message box over the frame; icon is a QMessageBox::Icon (exclamation unless said).
    void Box(const QString& text, const QString& title, int icon = 2);
    void UpdateOnlineCount();

    HWND m_hWnd = nullptr;
    static const std::unordered_map<UINT, Handler>& MessageTable();

    CSkinToolBar* m_wndToolBar = nullptr;
    CPresenceStatusBar* m_wndStatusBar = nullptr;
    QWidget* m_wndDialBar = nullptr;
    class CSkinButton *m_dialButton = nullptr, *m_hangupButton = nullptr;
    CChildView* m_pSheet = nullptr;
    CNqNavigatePage* m_navigatePage = nullptr;
    CNqPropertyPage* m_pBookPage = nullptr;  // the registered Contacts page (address book hooks)
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
    // Where the status bar's progress or error text comes from (section and key of the language file), so
    // that a skin change shows it again; empty while the bar shows the status's description.
    std::string descriptionSection_, descriptionKey_, descriptionDefault_;
    void SetDescriptionText(const char* section, const char* key, const char* builtIn = "");
    int syncedBuddies_ = 0;
    // The calls windows, when registered: they own the call, dial and call log pages.
    std::unique_ptr<shell::CallWindowsHook> m_calls;
    CNqPropertyPage *m_callsDial = nullptr, *m_callsLog = nullptr;
    bool AnyCall() const { return m_calls && m_calls->AnyCallPage(); }
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
    int m_bBlinkPhase = 0;
    QIcon m_hMessageIcon1, m_hMessageIcon2;  // the blink's two images (resources 215, 216)
public:
    // The image the message icon shows now (tests).
    QIcon MessageIconImage() const { return m_bBlinkPhase ? m_hMessageIcon2 : m_hMessageIcon1; }
    bool MessageIconBlinking() const { return messageBlink_.isActive(); }
private:
    // ---- menus from the menu file, the mixer and its mute buttons
public:
    // What the enabling rules of the menu bar and the tool bar see now.
    shell::CommandState CommandStateNow() const;
    // The modal dialogs that frame commands run: listed while they run, cancelled by close-all.
    void AddToDialogList(QDialog* dialog);
    void RemoveFromDialogList(QDialog* dialog);
    size_t DialogListSize() const { return m_dialogList.size(); }
    // Close-all (2042): every listed dialog still open is cancelled, then the exit command is posted.
    void OnCloseAll();
    // The chat text format of usrcfg.ini [IMFont]: read at construction, written on close.
    const shell::ChatFont& ChatTextFormat() const { return m_imFont; }
    void SetChatTextFormat(const shell::ChatFont& font) { m_imFont = font; }
    // The emoticon pictures (19 x 19, white transparent), in the order of the emoticon table.
    const QList<QPixmap>& FaceImages() const { return m_faceImages; }
    // The window title for the sign-in state and the status shown.
    void UpdateTitle();
    // The name the title shows while signed in (the alias, else the user name).
    QString Alias() const { return alias_; }
    // Runs the installer program of the installation folder; tests replace it (the program's path).
    std::function<void(const QString& program)> runSetup;
private:
    std::vector<QPointer<QDialog>> m_dialogList;
    shell::ChatFont m_imFont;
    QList<QPixmap> m_faceImages;
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
    // ---- sign-in answers, the update dialog and the head picture (frame_signin.cpp)
public:
    // The one message box of worker-reporting code: the text traced, shown (and a pending sign-in
    // dropped) only on an interactive sign-in; 3 when nothing was shown.
    int AppMessageBox(const QString& text, const QString& title, unsigned type = shell::MB_ICONEXCLAMATION | shell::MB_OK);
    // The sign-in's own access-server failures: LGN refused (a server code), SYN not answered or refused.
    void OnLoginRefused();
    void OnSyncFailed();
    // The update answer the frame holds (its copy of the update thread's record).
    bool HaveUpdateAnswer() const { return haveUpdate_; }
    const CUpdateVersionInfo& UpdateAnswer() const { return m_updateInfo; }
    void MarkUpdateAsked() { updateAsked_ = true; }
    // Update now with an answer: the version file, then the updater. False when no updater started.
    bool RunUpdater();
    // The update dialog over the frame (one at a time); without an answer it asks the service.
    CUpdateDialog* ShowUpdateDialog();
    // The head-picture chooser, modal over owner (the chat panel), with the user's current picture.
    int RunHeadPicDialog(QWidget* owner);
    // Starts the updater with the version file; tests replace it. False when none started.
    std::function<bool(const std::string& versionFile)> startUpdater;
private:
    CUpdateVersionInfo m_updateInfo;
    QPointer<CUpdateDialog> updateDialog_;
    QPointer<CHeadPicDlg> headPicDialog_;  // open while the chooser runs: it takes a language change
    bool loginDialogOpen_ = false;
    // ---- end of sign-in answers, update dialog and head picture
    // ---- calls: events, the active call page's commands, the capture probe
public:
    // Yes/No questions of the calls windows; tests replace it (text, title).
    std::function<bool(const QString&, const QString&)> askQuestion;
    // 0 when capture may start; 1 without a capture device; 2 when the device cannot be opened for
    // 16-bit mono PCM at 22050 Hz (no such device, in use, no driver, no memory, format refused).
    static int HasWaveInDevice();
    // Calls a contact of the address book by its identity of that type (0: its telephone identity).
    void CallContact(const AddrNode* contact, uint32_t identityType);
    // The box of a connection that could not be had: -2 no microphone, -1 no connection, else unknown.
    void ShowConnectionError(int code);
    // The active page is a call page whose call is call control's current call (not held).
    bool IsPageCallCurrent();
    void HoldActiveCall();
    void UnholdActiveCall();
    void MergeActiveCall();
private:
    LRESULT OnCallContact(WPARAM, LPARAM);
    // An incoming call: false when it is ignored (no call or connection) or refused (no caller
    // address, a blocked contact); the caller's address otherwise.
    bool AcceptIncomingCall(const VOIP_UI_MSG* msg, QString* caller);
    // Call control stopped, timed out or started: the login state machine and the SIP account.
    void OnCallServiceEvent(int event);
    // ---- end calls
    // ---- access-server results and presence notices
public:
    // The address book's error texts by the server's code, in an information box.
    void ShowAsErrorBox(int code);
    // A chat window an incoming message opened: it waits hidden behind the blinking message icon with
    // the message sound. A desktop with no notification area to hold the icon shows it at once.
    void AddMessageNotice(QWidget* window);
    // The window waits behind the message icon.
    bool NoticePending(const QWidget* window) const { return m_pendingNotices.Contains(window); }
private:
    // The skin folder's sound of the language file's [navigate_dialog] name: 1 the system sound, else
    // the message sound.
    void PlayNoticeSound(int soundKind);
    LRESULT OnGroupAction(WPARAM, LPARAM);
    // The first complete buddy list of the run adds the address book's unreported ones as buddies.
    bool buddiesAutoAdded_ = false;
    // ---- end access-server results and presence notices
};

// ---- Address book windows (ui/contacts sits above the shell and registers here) ----
struct FrameBookHooks {
    // The Contacts page; none when unset.
    std::function<CNqPropertyPage*()> createPage;
    // Sees each message before the frame's table: true when it took the message (and its record).
    std::function<bool(UINT, WPARAM, LPARAM)> filter;
    // Rebuilds the page's trees after the frame changed the store (shell::REBUILD_* bits).
    std::function<void(unsigned rebuild)> refresh;
    // Kind of the page's selected item (1 group, 2 contact, 4 identity, 7 card), 0 for none.
    std::function<int()> selectionKind;
    // Signed out: the search window goes.
    std::function<void()> closeWindows;
};
FrameBookHooks& BookHooks();
// ---- end of the address book hooks ----

// The frame of the running program (null before it is created and after it is gone).
CMainFrame* MainFrame();
// Sends a message synchronously to the frame (language and skin broadcasts).
LRESULT SendToFrame(UINT message, WPARAM wParam, LPARAM lParam);
// A chat window calls a member (wParam: its record, whose first field is the member's id).
inline constexpr UINT WM_CALL_CONTACT = WM_USER + 1026;
