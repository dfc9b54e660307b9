// The frame's presence notices, its message icon with the waiting windows, and the tray animation.
#include "ui/shell/main_frame.h"

#include <QAction>
#include <QDesktopServices>
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
#include "ui/shell/book_results.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/shell/about_box.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/frame_menus.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/login_dialog.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/system_tray.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/VoipUi.h"

using shell::LangText;


#include "ui/shell/frame_internal.h"

using frame_internal::ForEachAccount;

// ---------------------------------------------------------------------------------------------
// Message icon and tray animation.

void CMainFrame::AddPendingNotice(QWidget* dialog, int kind, int soundKind) {
    if (!dialog) return;
    m_pendingNotices.Add(dialog, kind);
    // A window closed before its turn leaves no dangling notice behind.
    connect(dialog, &QObject::destroyed, this, [this, dialog] {
        m_pendingNotices.Forget(dialog);
        if (m_pendingNotices.Empty()) ShowMessageIcon(false);
    });
    ShowMessageIcon(true);
    PlayNoticeSound(soundKind);
}

void CMainFrame::PlayNoticeSound(int soundKind) {
    const char* key = soundKind == 1 ? "msg_syssndfile" : "msg_usersndfile";
    const std::string file = LangText("navigate_dialog", key, soundKind == 1 ? "system.wav" : "msg.wav").toStdString();
    plat::PlaySoundFile(plat::PathJoin(shell::Paths().skinFolder, file), false);
}

void CMainFrame::AddMessageNotice(QWidget* window) {
    if (!window) return;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        DebugTrace(MOD_QZ, 3, "A new chat waits behind the message icon");
        AddPendingNotice(window, 0, 0);
        return;
    }
    // No notification area to hold the icon: a hidden window would never be found.
    window->show();
    window->raise();
    PlayNoticeSound(0);
}

void CMainFrame::ClearPendingNotices() {
    m_pendingNotices.Clear();
    ShowMessageIcon(false);
}

void CMainFrame::OnMessageIconClick() {
    if (m_pendingNotices.Empty()) return;
    // The list holds only live windows: a destroyed one forgets its notices.
    auto* dialog = static_cast<QWidget*>(const_cast<void*>(m_pendingNotices.TakeFirst()));
    if (dialog && dialog->isHidden()) {
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    }
    if (m_pendingNotices.Empty()) ShowMessageIcon(false);
}

void CMainFrame::ShowMessageIcon(bool show) {
    if (show) {
        if (!m_messageIcon && (m_wndTray->m_bIconCreated || QSystemTrayIcon::isSystemTrayAvailable())) {
            m_messageIcon = new QSystemTrayIcon(this);
            connect(m_messageIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
                if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick || r == QSystemTrayIcon::Context)
                    OnMessageIconClick();
            });
        }
        if (m_messageIcon) {
            m_messageIcon->setToolTip(shell::CutTrayTip(LangText("tray_tip", "ChatIMTray", "New Message")));
            m_messageIcon->setIcon(m_bBlinkPhase ? m_hMessageIcon2 : m_hMessageIcon1);
            m_messageIcon->show();
        }
        if (!m_bMessageIconShown) messageBlink_.start(500);
        m_bMessageIconShown = true;
    } else if (m_bMessageIconShown) {
        messageBlink_.stop();
        if (m_messageIcon) m_messageIcon->hide();
        m_bMessageIconShown = false;
    }
}

void CMainFrame::StartTrayAnimation() {
    QList<QIcon> frames;
    for (const char* name : {"trayAnimateFrame1.bmp", "trayAnimateFrame2.bmp"}) {
        const QImage img = ctl::LoadBitmapFile(shell::SkinFile(name));
        if (img.isNull()) return;  // a skin without the frames keeps its still icon
        frames.append(QIcon(ctl::KeyedPixmap(img, RGB(0xEC, 0xE9, 0xD8))));
    }
    m_wndTray->SetAnimationFrames(frames);
    m_wndTray->StartAnimation(500, 0);
}

void CMainFrame::StopTrayAnimation() {
    if (!m_wndTray->Animating()) return;
    m_wndTray->StopAnimation();
    UpdateTrayIcon();
}

bool CMainFrame::TrayAnimating() const { return m_wndTray && m_wndTray->Animating(); }

void CMainFrame::SetPresenceStatus(int status) {
    if (status == STATUS_OFFLINE) {
        // Offline: the start page comes to the front and every chat window closes.
        m_pSheet->setCurrentWidget(m_navigatePage);
        if (ChatHooks().closeAll) ChatHooks().closeAll(1);  // chat windows
        ClearPendingNotices();
    }
    m_wndStatusBar->SetStatus(status);
    descriptionKey_.clear();  // the bar's text is the status's description now
    static const char* const kTips[] = {"Brindlee - 已登陆", "Brindle - 未登陆", "Brindle - 已登陆(忙碌)"};
    if (m_wndTray && status >= 0 && status <= 2)
        m_wndTray->SetTipText(LangText("tray_tip", std::to_string(status).c_str(), kTips[status]));
    UpdateTrayIcon();
    RefreshMenus();
}

void CMainFrame::SetStatusText(const char* key) {
    DebugTrace(MOD_SYSTEM, 3, "Set text of status bar, msg id = %s, message = %s", key,
               LangText("status_txt", key, "").toUtf8().constData());
    SetDescriptionText("status_txt", key);
}

void CMainFrame::SetDescriptionText(const char* section, const char* key, const char* builtIn) {
    descriptionSection_ = section ? section : "";
    descriptionKey_ = key ? key : "";
    descriptionDefault_ = builtIn ? builtIn : "";
    m_wndStatusBar->SetDescription(descriptionKey_.empty() ? QString() : LangText(section, key, builtIn));
}

void CMainFrame::changeEvent(QEvent* e) {
    // Minimising hides the window only where a tray icon can bring it back.
    if (e->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && m_wndTray->m_bIconCreated)
        QTimer::singleShot(0, this, &QWidget::hide);
    QMainWindow::changeEvent(e);
}

// ---------------------------------------------------------------------------------------------
// Presence.

LRESULT CMainFrame::OnPresenceState(WPARAM wParam, LPARAM lParam) {
    auto* connection = reinterpret_cast<PresenceConnection*>(wParam);
    if (!presence_connection_is_valid(connection)) return 1;
    Account* account = nullptr;
    uint32_t type = 0;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        for (Account* a = g_accountList; a; a = a->next)
            if (a->connection == connection) account = a;
        if (account) {
            Account_SetConnectionParam(account, lParam ? 1 : 0);
            type = account->type;
            // ---- the open accounts dialog shows the new state
            if (shell::g_pAccountsDlg) shell::g_pAccountsDlg->OnAccountState(lParam ? 1 : 0, account);
        }
    }
    if (account && type == ACCOUNT_TYPE_SERVICE) STA_PostEvent(lParam ? EV_MV_register_succeed : EV_unreachable);
    return 1;
}

namespace {
// The connection's plug-in operations, or null.
PresenceProtocolOps* OpsOf(PresenceConnection* connection) {
    PresenceConnectionRec* c = presence_rec(connection);
    return c && c->plugin && c->plugin->info ? c->plugin->info->ops : nullptr;
}
}  // namespace

LRESULT CMainFrame::OnPresenceBuddy(WPARAM wParam, LPARAM lParam) {
    auto* record = reinterpret_cast<PresenceBuddyRecord*>(lParam);
    if (!record) return 1;
    auto* connection = reinterpret_cast<PresenceConnection*>(wParam);
    if (!presence_connection_is_valid(connection)) {
        delete record;
        return 1;
    }
    bool known = false, online = false;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        if (AddrIdentity* identity = shell::FindBuddyIdentity(connection, record->account)) {
            known = true;
            DebugTrace(MOD_QZ, 2, "Buddy %s(%s) state change", record->name, record->account);
            // Id 0 names no buddy: a known uid is not overwritten with it.
            if (record->id != 0) presence_setting_set_int(&identity->settings, "uid", nullptr, record->id);
            if (record->name[0]) AddrBook_SetIdentityAltName(identity, record->name);
            if (identity->parent) identity->seen = true;
        }
    }
    if (!known) {
        DebugTrace(MOD_QZ, 2, "Can not find buddy %s(%d)", record->name, record->id);
        // Someone the address book does not hold is no buddy: the messaging service forgets them.
        {
            std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
            online = connection->account && !Account_IsOffline(connection->account);
        }
        PresenceProtocolOps* ops = OpsOf(connection);
        if (online && record->id != 0 && ops && ops->removeBuddy) ops->removeBuddy(presence_rec(connection), record->id);
        delete record;
        return 1;
    }
    // The chat windows hear only a buddy of the book on a live connection.
    if (ChatHooks().buddyState) ChatHooks().buddyState(wParam, lParam);
    delete record;
    return 1;
}

LRESULT CMainFrame::OnBuddyListBegin(WPARAM wParam, LPARAM) {
    auto* connection = reinterpret_cast<PresenceConnection*>(wParam);
    if (!presence_connection_is_valid(connection)) return 1;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        shell::ClearSeenMarks(connection->account);
    }
    DebugTrace(MOD_QZ, 3, "mervane update begin, refresh buddy");
    return 1;
}

LRESULT CMainFrame::OnBuddyListEnd(WPARAM wParam, LPARAM) {
    DebugTrace(MOD_QZ, 3, "mervane buddy list receive end");
    buddyListSeen_ = true;
    auto* connection = reinterpret_cast<PresenceConnection*>(wParam);
    // Once a run, at the first list's end: the address book's buddies the service did not list
    // become its buddies.
    if (buddiesAutoAdded_) return 1;
    buddiesAutoAdded_ = true;
    if (!presence_connection_is_valid(connection)) return 1;
    PresenceProtocolOps* ops = OpsOf(connection);
    std::vector<std::pair<std::string, std::string>> added;  // contact name, address
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        for (AddrIdentity* identity : shell::UnseenIdentities(connection->account)) {
            const auto* contact = identity->parent && identity->parent->kind == ADDR_KIND_CONTACT
                                      ? static_cast<const AddrContact*>(identity->parent)
                                      : nullptr;
            added.emplace_back(contact && contact->name ? contact->name : "", identity->address);
        }
    }
    for (const auto& [contact, address] : added) {
        if (ops && ops->addBuddy) ops->addBuddy(presence_rec(connection), address.c_str());
        DebugTrace(MOD_QZ, 2, "Buddy %s(%s) auto add", contact.c_str(), address.c_str());
    }
    return 1;
}

LRESULT CMainFrame::OnPresenceError(WPARAM, LPARAM lParam) {
    char* text = reinterpret_cast<char*>(lParam);
    // The server's text may be shorter than the marker: compare as strings, not four bytes.
    if (text && std::strcmp(text, "1: ") == 0) {
        shell::g_loginPending = false;
        Box(LangText("login", "txt_login_others", "Your account signed in on another computer."), LangText("login", "txt_notify", "Notice"));
    }
    free(text);
    return 1;
}

// The chat windows take messages; without them the text is only freed.
LRESULT CMainFrame::OnPresenceText(WPARAM wParam, LPARAM lParam) {
    if (ChatHooks().incoming) return ChatHooks().incoming(WM_PRESENCE_TEXT, wParam, lParam);
    free(reinterpret_cast<char*>(wParam));
    return 1;
}

LRESULT CMainFrame::OnPresenceVoice(WPARAM wParam, LPARAM lParam) {
    if (ChatHooks().incoming) return ChatHooks().incoming(WM_PRESENCE_VOICE, wParam, lParam);
    return 1;
}

// The address book's group actions: 0 opens the group's chat, 1 invites people into it.
LRESULT CMainFrame::OnGroupAction(WPARAM wParam, LPARAM lParam) {
    auto* record = reinterpret_cast<GroupRecord*>(lParam);
    const std::string id = record && record->texts[2] ? std::string(record->texts[2], strnlen(record->texts[2], GROUP_RECORD_TEXT_SIZE)) : "";
    if (wParam == 0 && !id.empty() && ChatHooks().openGroupChat) {
        const std::string name = shell::ChatGroupName(id.c_str());
        ChatHooks().openGroupChat(id.c_str(), name.c_str());
    } else {
        DebugTrace(MOD_QZ, 2, "Group action %d for group %s not taken", static_cast<int>(wParam), id.c_str());
    }
    GroupRecord_Free(record);
    return 0;
}
