// The frame's sign-in: the login state machine's reports, sign-out, the bootstrap and the update check.
#include "ui/shell/main_frame.h"

#include <QAction>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QDialog>
#include <cstdlib>
#include <thread>
#include <cstring>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/appenv.h"
#include "common/calllog.h"
#include "common/debug.h"
#include "common/grouprecord.h"
#include "platform/codepage.h"
#include "platform/fs.h"
#include "platform/msgqueue.h"
#include "platform/sound.h"
#include "platform/thread.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/bootstrap.h"
#include "service/login_fsm.h"
#include "service/presence_core.h"
#include "service/presence_notice.h"
#include "service/service_msgs.h"
#include "service/settings_xml.h"
#include "service/update_check.h"
#include "ui/shell/app_start.h"
#include "ui/shell/book_results.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/shell/about_box.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/frame_menus.h"
#include "ui/shell/head_picture.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/login_dialog.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/update_dialog.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/VoipUi.h"

using shell::LangText;


#include "ui/shell/frame_internal.h"

using frame_internal::Ansi;
using frame_internal::ForEachAccount;
using frame_internal::Q;

// ---------------------------------------------------------------------------------------------
// Sign-in.

// The user's pages and windows close: the call pages hang up and log their calls, the address book saves
// its groups' flags and empties its store, the other pages and the user's windows go.
void CMainFrame::ClosePages() {
    if (m_calls) m_calls->CloseAll();
    if (m_pBookPage) {
        m_pSheet->RemovePage(m_pBookPage);
        m_pBookPage->close();
        m_pBookPage->deleteLater();
        m_pBookPage = nullptr;
    }
    if (m_pServicePage) {
        m_pSheet->RemovePage(m_pServicePage);
        m_pServicePage->deleteLater();
        m_pServicePage = nullptr;
    }
    if (m_calls) {
        for (CNqPropertyPage* p : {m_callsDial, m_callsLog})
            if (p) m_pSheet->RemovePage(p);
        m_calls->DropPages();
        m_callsDial = m_callsLog = nullptr;
    }
    // The search, chat-room, SMS and chat-record windows go too: the record browser would go on
    // showing this user's records to whoever signs in next.
    if (BookHooks().closeWindows) BookHooks().closeWindows();  // address book windows
    if (ChatHooks().closeWindows) ChatHooks().closeWindows();  // chat windows
}

void CMainFrame::LogoffReset(int mode) {
    if (mode == LOGIN_SIGNED_OUT) {
        // The chat windows close before the accounts they hold are freed, without a word to the service.
        if (ChatHooks().closeAll) ChatHooks().closeAll(1);  // chat windows
        // A call still running (the link was lost under it) ends here while call control still runs:
        // its page hangs up and logs it before the call log is cleared and the phone line signs off.
        const bool bookPage = m_pBookPage != nullptr;
        ClosePages();  // the address book's page saves and empties its store
        if (!bookPage) {
            // A sign-in that failed after the contact list came has no page: its store goes all the same,
            // or the next user who signs in here would get this one's contacts and groups.
            std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
            for (AddrNode* root : g_addrBookRoots) AddrBook_DeleteSubtree(root);
        }
        // The address book's items go before the accounts take their identities away.
        Account_LogoffAll();  // accounts of the user's own account file stay for the save at exit
        CallLog_Clear();  // the next user's calls are not this one's
        buddyListSeen_ = false;
        m_pSheet->setCurrentWidget(m_navigatePage);
    } else if (mode == LOGIN_SIGNED_IN) {
        // The user's call log, before its page reads it; the pages are built once per sign-in.
        if (!m_callsLog && CallLog_Load() != 0)
            DebugTrace(MOD_SYSTEM, 3, "Call log of %s not read (a first sign-in has none)", g_strUserId.c_str());
        if (BookHooks().createPage && !m_pBookPage) m_pBookPage = BookHooks().createPage();
        if (m_pBookPage && m_pSheet->indexOf(m_pBookPage) < 0) m_pSheet->AddPage(m_pBookPage);
        if (m_calls && !m_callsDial) {
            m_callsDial = m_calls->MakeDialPage();
            m_pSheet->AddPage(m_callsDial);
            m_callsLog = m_calls->MakeCallLogPage();
            m_pSheet->AddPage(m_callsLog);
        }
        if (!m_pServicePage) {
            m_pServicePage = new CPageService;
            m_pSheet->AddPage(m_pServicePage);
        }
        m_pSheet->m_nFirstCallTab = m_pSheet->count();
        ApplyLanguage();
        ApplySkin();
        SetPresenceStatus(STATUS_ONLINE);
        const std::string user = shell::SafeNameComponent(g_strUserId);
        if (!user.empty()) plat::MakeDirectories(plat::PathJoin(plat::PathJoin(shell::Paths().profileFolder, "chatrecord"), user));
        shell::SavedLoginStore& store = shell::SavedLogins();
        shell::SavedLogin login;
        login.id = shell::CutSavedField(g_strUserId);
        login.pwd = shell::CutSavedField(shell::g_strPassword);
        login.kind = 1;
        shell::putSavedLogin(store, login);
        store.lastLoginId = login.id;
        store.lastLoginType = 0;
        shell::saveLoginInfo(store, shell::Paths().savedLoginsPath);
    }
    m_nLoginState = mode;
    if (ChatHooks().loginState) {  // chat windows
        const std::string user = shell::SafeNameComponent(g_strUserId);
        ChatHooks().loginState(mode, user.empty() ? std::string() : plat::PathJoin(plat::PathJoin(shell::Paths().profileFolder, "chatrecord"), user),
                               plat::Utf8ToAnsi((alias_.isEmpty() ? QString::fromStdString(g_strUserId) : alias_).toStdString()));
    }
    m_navigatePage->SetMode(mode);
    UpdateOnlineCount();
    RefreshMenus();
}

void CMainFrame::UpdateOnlineCount() {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    const auto* root = static_cast<const AddrCounted*>(g_addrBookRoots[0]);
    m_navigatePage->Links()->SetOnlineCount(static_cast<int>(root->onlineCount));
}

void CMainFrame::OnFileLogin() {
    DebugTrace(MOD_SYSTEM, 3, "OnFileLogin");
    shell::g_interactiveLogin = true;
    shell::g_loginPending = false;
    if (shell::GetLinkState() == 2) {
        Box(LangText("login_err", "badroute", ""), LangText("login_err", "title", ""));
        return;
    }
    ServerLogin();
}

void CMainFrame::ServerLogin() {
    if (g_strUserId.empty()) {
        PostMessage(m_hWnd, WM_FRAME_COMMAND, ID_LOGIN_AS, 0);
        return;
    }
    if (STA_GetState() != ST_initial) {
        DebugTrace(MOD_SYSTEM, 2, "call server_login proc logoff ");
        OnLogoff();
        return;
    }
    LogoffReset(LOGIN_SIGNING_IN);
    DebugTrace(MOD_SYSTEM, 2, "call server_login proc login");
    STA_SetLoginUser(g_strUserId, shell::g_strPassword);
    STA_PostEvent(EV_login_in);
}

void CMainFrame::OnLogoff() {
    if (AnyCall()) {
        Box(LangText("ondial_dialog", "LogOff_Tip", "Still have active dial,cann't log off?"), LangText("ondial_dialog", "MSG_TITLE", "Tip"));
        return;
    }
    DebugTrace(MOD_SYSTEM, 3, "OnFileOff");
    shell::g_loginPending = false;
    LogoffReset(LOGIN_SIGNING_OUT);
    if (STA_GetState() == ST_initial) LogoffReset(LOGIN_SIGNED_OUT);
    else STA_PostEvent(EV_login_off);
}

void CMainFrame::OnLoginAs() {
    // A failure's request can come while the dialog of an earlier one is still open: one dialog is enough.
    if (loginDialogOpen_) return;
    loginDialogOpen_ = true;
    LogoffReset(LOGIN_SIGNING_IN);
    QString user, password;
    bool ok;
    if (runLoginDialog) {
        ok = runLoginDialog(&user, &password);
    } else {
        CLoginDlg dlg(this);
        AddToDialogList(&dlg);
        ok = dlg.exec() == QDialog::Accepted;
        RemoveFromDialogList(&dlg);
        user = dlg.m_strUser;
        password = dlg.m_strPwd;
    }
    loginDialogOpen_ = false;
    LogoffReset(LOGIN_SIGNED_OUT);
    if (ok) {
        g_strUserId = user.toStdString();
        shell::g_strPassword = password.toStdString();
        PostMessage(m_hWnd, WM_FRAME_COMMAND, ID_LOGIN, 0);
    }
    RefreshMenus();
}

LRESULT CMainFrame::OnLoginStateChange(WPARAM wParam, LPARAM) {
    const int state = static_cast<int>(wParam);
    const shell::LoginStateAction a = shell::ActionForLoginState(state);
    DebugTrace(MOD_SYSTEM, 2, "Login state %d (%s)", state, STA_StateName(state));
    if (a.statusKey) SetStatusText(a.statusKey);
    if (a.resetMode >= 0) LogoffReset(a.resetMode);
    if (a.offline) SetPresenceStatus(STATUS_OFFLINE);
    RefreshMenus();
    return 1;
}

LRESULT CMainFrame::OnLoginNotice(WPARAM wParam, LPARAM lParam) {
    if (wParam == LOGIN_NOTICE_LOGOFF) {
        LogoffReset(LOGIN_SIGNED_OUT);
        return 1;
    }
    if (wParam != LOGIN_NOTICE_SYSTEM_ERROR) return 1;
    const char* key = shell::LoginFailureKey(static_cast<int>(lParam));
    if (!key) return 1;
    const QString text = LangText("login", key, "login in error !");
    if (shell::g_interactiveLogin) {
        Box(text, LangText("login", "txt_error", "login in error !"), QMessageBox::Question);
        PostMessage(m_hWnd, WM_FRAME_COMMAND, ID_LOGIN_AS, 0);
    }
    return 1;
}

LRESULT CMainFrame::OnBootReply(WPARAM wParam, LPARAM) {
    auto* request = reinterpret_cast<CBootRequest*>(wParam);
    if (!request) return 1;
    const uint32_t session = STA_GetLoginSequence();
    if (request->sequence < session) {
        DebugTrace(MOD_BOOTSTRAP, 2, "Rcv late boot msg session id = %d, current session = %d", request->sequence, session);
    } else if (request->kind == BOOT_KIND_PROFILE) {
        STA_SetProfileHost(request->server);
        STA_SetAvailPorts(SERVICE_PROFILE, request->servers);
        STA_PostEvent(EV_bootprofile_succeed);
    } else if (request->kind == BOOT_KIND_SERVICE || request->kind == BOOT_KIND_SIP) {
        bool found = false;
        {
            std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
            if (Account* a = Account_Find(request->account.c_str(), request->kind)) {
                presence_setting_set_string(&a->settings, "server", nullptr, request->server.c_str());
                found = true;
            }
        }
        if (!found) {
            DebugTrace(MOD_BOOTSTRAP, 2, "account not find %s %d", request->account.c_str(), request->kind);
            STA_PostEvent(EV_error);
        }
        if (request->kind == BOOT_KIND_SERVICE) {
            STA_SetMvHost(request->server);
            STA_SetAvailPorts(SERVICE_IM, request->servers);
        } else {
            STA_SetSipHost(request->server);
            STA_SetAvailPorts(SERVICE_SIP, request->servers);
        }
        STA_PostEvent(EV_bootaccount_succeed);
    } else {
        DebugTrace(MOD_FSM, 3, "protocol_id not exist %d", request->kind);
        STA_PostEvent(EV_error);
    }
    delete request;
    return 1;
}

int CMainFrame::AppMessageBox(const QString& text, const QString& title, unsigned type) {
    if (!showBox) return shell::ShowAppMessageBox(this, text, title, type);
    // The tests' box: the same silence and the same answer as the real one's OK.
    DebugTrace(MOD_SYSTEM, 3, "%s", text.toUtf8().constData());
    if (!shell::g_interactiveLogin) return 3;
    shell::g_loginPending = false;
    Box(text, title);
    return shell::IDOK;
}

void CMainFrame::OnLoginRefused() {
    STA_PostEvent(EV_login_off);
    AppMessageBox(LangText("login_err", "badroute", ""), LangText("login_err", "title", ""));
    PostMessage(m_hWnd, WM_FRAME_COMMAND, ID_LOGIN_AS, 0);
}

void CMainFrame::OnSyncFailed() {
    STA_PostEvent(EV_login_off);
    const QString text = LangText("login_err", "loginfail", "The profile could not be loaded.");
    AppMessageBox(text, LangText("login_err", "title", ""));
}

LRESULT CMainFrame::OnUpdateResult(WPARAM wParam, LPARAM lParam) {
    const auto* answer = reinterpret_cast<const CUpdateVersionInfo*>(lParam);
    if (wParam == UPDATE_OK) {
        if (!answer) return 1;
        haveUpdate_ = true;
        m_updateInfo = *answer;
        m_updateInfo.fetched = 1;
        m_navigatePage->Links()->SetUpdateAnswer();
    }
    const bool newer = haveUpdate_ && shell::IsNewerVersion(m_updateInfo.major, m_updateInfo.minor, m_updateInfo.build);
    const shell::UpdateAnswerAction a =
        shell::ActionForUpdateAnswer(static_cast<int>(wParam), newer, answer && answer->enforce != 0, updateAsked_);
    if (a.notice) {
        m_navigatePage->Links()->ShowUpdateVersion(m_updateInfo.major, m_updateInfo.minor, m_updateInfo.build);
    }
    if (a.failureBox) {
        Box(LangText("update", "UpdateInfo", ""), LangText("update", "msgboxtitle", ""));
    }
    if (a.forced) StartForcedUpdate();
    else if (a.updateNow) OnUpdateNow();
    return 1;
}

shell::VersionFileData CMainFrame::VersionFileForAnswer() const {
    shell::VersionFileData v;
    v.major = m_updateInfo.major;
    v.minor = m_updateInfo.minor;
    v.build = m_updateInfo.build;
    v.changes = m_updateInfo.changes;
    // The updater gets only a web address to fetch; anything else in the document is not passed on.
    v.downloadFile = Update_OfferedDownload(Update_GetDownloadZip());
    v.needUpdate = m_updateInfo.needUpdate;
    v.langType = shell::Paths().langType;
    v.server = g_serviceSettings.update;
    return v;
}

void CMainFrame::OnUpdateNow() {
    updateAsked_ = true;
    if (!haveUpdate_) {
        // The thread answers this window; the user's word then runs update now.
        if (!PostThreadMessage(Update_ThreadId(), WM_UPDATE_CHECK, 0, reinterpret_cast<LPARAM>(m_hWnd)))
            DebugTrace(MOD_UPDATE, 1, "update check could not be asked");
        return;
    }
    RunUpdater();
}

bool CMainFrame::RunUpdater() {
    const shell::VersionFileData v = VersionFileForAnswer();
    const std::string path = plat::PathJoin(shell::Paths().profileFolder, "VersionInfo.ini");
    if (!shell::WriteVersionInfoIni(path, v)) DebugTrace(MOD_UPDATE, 1, "VersionInfo.ini not written");
    const bool started = startUpdater ? startUpdater(path)
                                      : !UpdaterProgram().isEmpty() &&
                                            QProcess::startDetached(UpdaterProgram(), {QString::fromStdString(path)});
    if (started) {
        DebugTrace(MOD_UPDATE, 2, "updater started");
        return true;
    }
    NoUpdaterBox();
    return false;
}

void CMainFrame::NoUpdaterBox() {
    DebugTrace(MOD_UPDATE, 1, "no updater to start");
    Box(LangText("update", "noupdater", "No update program is installed; the update cannot start."),
        LangText("update", "msgboxtitle", "Update"));
}

QString CMainFrame::UpdaterProgram() const {
    const QString updater = QString::fromStdString(plat::PathJoin(shell::Paths().appFolder, "update"));
    return QFileInfo(updater).isExecutable() ? updater : QString();
}

// An enforced update: the updater takes over and this program ends.
void CMainFrame::StartForcedUpdate() {
    std::function<bool(const std::string&)> start = startUpdater;
    if (!start) {
        const QString updater = UpdaterProgram();
        if (updater.isEmpty()) {
            // Ending with no updater to take over would leave the user with nothing updating the program.
            NoUpdaterBox();
            return;
        }
        start = [updater](const std::string& path) { return QProcess::startDetached(updater, {QString::fromStdString(path)}); };
    }
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isModal() && dialog->isVisible()) dialog->reject();
    if (updateDialog_) updateDialog_->close();
    const std::string path = plat::PathJoin(shell::Paths().profileFolder, "VersionInfo.ini");
    const HWND frame = m_hWnd;
    std::thread([v = VersionFileForAnswer(), path, frame, start] { RunUpdaterThreadProc(v, path, frame, start); }).detach();
}

void CMainFrame::RunUpdaterThreadProc(const shell::VersionFileData& v, const std::string& path, HWND frame,
                                      const std::function<bool(const std::string&)>& start) {
    if (!shell::WriteVersionInfoIni(path, v)) DebugTrace(MOD_UPDATE, 1, "VersionInfo.ini not written");
    PostMessage(frame, WM_FRAME_COMMAND, ID_APP_EXIT, 0);
    start(path);
}

CUpdateDialog* CMainFrame::ShowUpdateDialog() {
    if (!updateDialog_) {
        updateDialog_ = new CUpdateDialog(this);
        updateDialog_->setAttribute(Qt::WA_DeleteOnClose);
    }
    updateDialog_->show();
    updateDialog_->raise();
    updateDialog_->activateWindow();
    return updateDialog_;
}

int CMainFrame::RunHeadPicDialog(QWidget* owner) {
    const std::string& current = shell::g_panelPicture.empty() ? shell::Paths().defaultHeadPic : shell::g_panelPicture;
    CHeadPicDlg dlg(QString::fromStdString(current), owner ? owner : this);
    headPicDialog_ = &dlg;
    return dlg.exec();
}
