// The frame's menus and application commands: what each menu and tool-bar command does.
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
#include "ui/shell/app_start.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/frame_menus.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/login_dialog.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/VoipUi.h"

using shell::LangText;


#include "ui/shell/frame_internal.h"

using frame_internal::Ansi;
using frame_internal::ForEachAccount;
using frame_internal::Q;

// ---------------------------------------------------------------------------------------------
// Menus and commands.

void CMainFrame::BuildMenus() {
    // ---- the menu bar from the language's menu file (empty when the file cannot be read)
    menuBar()->setObjectName("frameMenuBar");
    std::vector<shell::MenuNode> nodes;
    if (!shell::ReadMenuFile(shell::Paths().menuFile, &nodes))
        DebugTrace(MOD_SYSTEM, 1, "Cannot read menu file %s", shell::Paths().menuFile.c_str());
    shell::BuildMenuBar(menuBar(), nodes, shell::Paths().skins, shell::Paths().appFolder, shell::Paths().langType,
                        [this](int id) { Command(id); }, &menus_);
    actions_.clear();
    for (const auto& [id, a] : menus_.actions) actions_[id] = a;
    // A menu about to open shows each item by its rule at that moment (the selection may have moved).
    for (QMenu* m : menuBar()->findChildren<QMenu*>())
        connect(m, &QMenu::aboutToShow, this, &CMainFrame::RefreshMenus, Qt::UniqueConnection);
}

void CMainFrame::SetMixer(std::unique_ptr<shell::CMicrophoneMixer> mixer) {
    delete muteButtons_;
    muteButtons_ = nullptr;
    m_mixer = std::move(mixer);
    if (m_mixer->OpenMicrophoneMixer() == 0) DebugTrace(MOD_SYSTEM, 2, "Microphone mixer not found");
    muteButtons_ = new shell::MuteButtons(m_mixer.get(), m_wndToolBar->Button(ID_SPEAKER_MUTE),
                                          m_wndToolBar->Button(ID_MIC_MUTE), this);
}

shell::CommandState CMainFrame::CommandStateNow() const {
    shell::CommandState s;
    s.loginState = m_nLoginState;
    s.book = m_pBookPage != nullptr;
    s.selectionKind = s.book && BookHooks().selectionKind ? BookHooks().selectionKind() : 0;
    s.dialPage = m_callsDial != nullptr;
    s.callLogPage = m_callsLog != nullptr;
    s.servicePage = m_pServicePage != nullptr;
    return s;
}

void CMainFrame::RefreshMenus() {
    const bool in = m_nLoginState == LOGIN_SIGNED_IN;
    // ---- every item of the menu bar and the tool bar by its enabling rule
    const shell::CommandState state = CommandStateNow();
    for (const auto& [id, action] : actions_) action->setEnabled(shell::CommandEnabled(id, state));
    if (m_wndToolBar)
        for (int id : {ID_ADD_CONTACT, ID_DELETE_ITEM, ID_SPEAKER_MUTE, ID_MIC_MUTE, ID_SEARCH, ID_HOME_PAGE})
            if (auto* b = m_wndToolBar->Button(id)) b->setEnabled(shell::CommandEnabled(id, state));
    // ---- marks of the menu file's items
    shell::MenuMarkState marks;
    marks.langType = shell::Paths().langType;
    marks.sortType = shell::Paths().sortType;
    marks.skinType = shell::Paths().skinType;
    marks.skins = shell::Paths().skins;
    marks.alwaysOnTop = m_bAlwaysOnTop;
    marks.loginState = m_nLoginState;
    shell::ApplyMenuMarks(menus_, shell::ComputeMenuMarks(marks));
    const int st = m_wndStatusBar->GetStatus();
    for (auto [id, s] : {std::pair{ID_STATUS_ONLINE, STATUS_ONLINE}, {ID_STATUS_BUSY, STATUS_BUSY}, {ID_STATUS_OFFLINE, STATUS_OFFLINE}})
        if (auto it = actions_.find(id); it != actions_.end()) {
            it->second->setCheckable(true);
            it->second->setChecked(st == s);
        }
    if (m_calls) {  // the active page sets the buttons
        m_calls->ActivePageChanged();
        if (!in) m_dialButton->setEnabled(false);
    } else {  // without the calls windows there is no call to start or end
        m_dialButton->setEnabled(false);
        m_hangupButton->setEnabled(false);
    }
    UpdateTitle();  // the title follows the same state
    // The status bar's and the tray's menus take the state when they open (StatusMenuItem, TrayMenuItem).
}

void CMainFrame::OnDialButton() {
    if (m_wndStatusBar->GetStatus() == STATUS_OFFLINE) return;
    // The active page decides what the click means, whichever page it is: the Contacts page calls its
    // selection, the calls windows' pages their own.
    if (m_pBookPage && m_pSheet->currentWidget() == m_pBookPage) {
        if (BookHooks().filter) BookHooks().filter(WM_FRAME_COMMAND, ID_DIAL, 0);  // address book
        return;
    }
    if (m_calls) m_calls->OnDialButton(false);
}

LRESULT CMainFrame::OnCommand(WPARAM wParam, LPARAM) {
    Command(static_cast<int>(wParam));
    return 0;
}

void CMainFrame::Command(int id) {
    if (id == ID_DIAL || id == ID_DIAL_ALT1 || id == ID_DIAL_ALT1 + 1 || id == ID_DIAL_ALT1 + 2 || id == ID_DIAL_ALT4) {
        OnDialButton();
        return;
    }
    // Tool-bar and menu commands of the address book (search, add, delete) go to it first.
    if (BookHooks().filter && BookHooks().filter(WM_FRAME_COMMAND, static_cast<WPARAM>(id), 0)) return;
    if (m_calls && m_calls->OnCommand(id)) return;  // calls windows: the conference chooser
    switch (id) {
        case ID_LOGIN: OnFileLogin(); break;
        case ID_LOGOFF: OnLogoff(); break;
        case ID_LOGIN_AS: OnLoginAs(); break;
        case ID_APP_EXIT: OnAppExit(); break;
        case ID_CLOSE_ALL: OnCloseAll(); break;
        case ID_SHOW_WINDOW:
            showNormal();
            raise();
            activateWindow();
            break;
        case ID_ALWAYS_TOP:
            m_bAlwaysOnTop = !m_bAlwaysOnTop;
            setWindowFlag(Qt::WindowStaysOnTopHint, m_bAlwaysOnTop);
            show();
            RefreshMenus();
            break;
        case ID_SHOW_BOOK:
            if (m_pBookPage) m_pSheet->setCurrentWidget(m_pBookPage);
            break;
        case ID_SHOW_DIAL:
            if (m_callsDial) m_pSheet->setCurrentWidget(m_callsDial);
            break;
        case ID_SHOW_LOG:
            if (m_callsLog) m_pSheet->setCurrentWidget(m_callsLog);
            break;
        case ID_SHOW_SERVICE: if (m_pServicePage) m_pSheet->setCurrentWidget(m_pServicePage); break;
        case ID_CHAT_ROOMS: if (ChatHooks().openChatRooms) ChatHooks().openChatRooms(); break;    // chat windows
        case ID_CHAT_RECORDS: if (ChatHooks().openRecords) ChatHooks().openRecords(0); break;  // chat windows
        case ID_STATUS_ONLINE:
        case ID_STATUS_BUSY:
        case ID_STATUS_OFFLINE: {
            const shell::PresenceCommandAction action = shell::ActionForPresenceCommand(id, m_nLoginState, m_wndStatusBar->GetStatus());
            static const char* const names[] = {"nothing", "online", "busy", "sign in", "sign out"};
            DebugTrace(MOD_SYSTEM, 2, "Status command %d in sign-in state %d: %s", id, m_nLoginState, names[action]);
            switch (action) {
                case shell::PRESENCE_CMD_SET_ONLINE: SetPresenceStatus(STATUS_ONLINE); break;
                case shell::PRESENCE_CMD_SET_BUSY: SetPresenceStatus(STATUS_BUSY); break;
                case shell::PRESENCE_CMD_LOGIN: Command(ID_LOGIN); break;
                case shell::PRESENCE_CMD_LOGOFF: Command(ID_LOGOFF); break;
                case shell::PRESENCE_CMD_NONE: break;
            }
            break;
        }
        case ID_SORT_KIND1:
        case ID_SORT_KIND2: {
            const int kind = id == ID_SORT_KIND1 ? 1 : 2;
            shell::Paths().sortType = kind;
            shell::ConfigWrite("common", "sorttype", std::to_string(kind));
            RefreshMenus();
            if (BookHooks().refresh) BookHooks().refresh(shell::REBUILD_BUDDIES);
            break;
        }
        case ID_SMS:  // the SMS window, with no recipient yet
            if (ChatHooks().frameMessage) ChatHooks().frameMessage(WM_SMS_OPEN, 4, 0);  // chat windows
            break;
        case ID_HANGUP:
            StopTrayAnimation();
            if (m_calls) m_calls->OnHangupButton();
            break;
        case ID_UPDATE_NOW: OnUpdateNow(); break;
        // ---- about box, accounts, mute buttons and skins
        case ID_ACCOUNTS: {
            shell::CAccountsDlg dlg(this);
            AddToDialogList(&dlg);
            dlg.exec();
            RemoveFromDialogList(&dlg);
            break;
        }
        case ID_SPEAKER_MUTE: if (muteButtons_) muteButtons_->OnSpeakerMute(); break;
        case ID_MIC_MUTE: if (muteButtons_) muteButtons_->OnMicMute(); break;
        default:
            // The application's own commands: about, web pages, help, share and the skins.
            shell::OnAppCommand(id, this);
            break;
    }
}
