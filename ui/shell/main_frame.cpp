// CMainFrame: the one top-level window, the receiver of every worker thread's report.
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
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/VoipUi.h"

using shell::LangText;

namespace {
CMainFrame* g_frame = nullptr;

QString Q(const char* s) { return QString::fromUtf8(s ? s : ""); }
// Texts in the ANSI code page (CP936): what the presence core and the access-server records hold.
QString Ansi(const char* s) { return QString::fromStdU16String(plat::ToUtf16(s ? s : "", 936)); }

void ForEachAccount(const std::function<void(Account*)>& f) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
    for (Account* a = g_accountList; a; a = a->next) f(a);
}
}  // namespace

CMainFrame* MainFrame() { return g_frame; }

LRESULT SendToFrame(UINT message, WPARAM wParam, LPARAM lParam) {
    return g_frame ? SendMessage(g_frame->Handle(), message, wParam, lParam) : 0;
}

// ---------------------------------------------------------------------------------------------
CPresenceStatusBar::CPresenceStatusBar(QWidget* parent) : QWidget(parent) {
    setObjectName("presenceBar");
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(8, 3, 8, 3);
    h->setSpacing(6);
    icon_ = new QLabel(this);
    icon_->setFixedSize(18, 18);
    icon_->setCursor(Qt::PointingHandCursor);
    text_ = new QLabel(this);
    text_->setObjectName("presenceText");
    progress_ = new QLabel(this);
    progress_->setObjectName("presenceProgress");
    h->addWidget(icon_);
    h->addWidget(text_);
    h->addStretch();
    h->addWidget(progress_);
    menu_ = new QMenu(this);
    for (int s : {STATUS_ONLINE, STATUS_BUSY, STATUS_OFFLINE}) {
        QAction* a = menu_->addAction(QString());
        a->setData(s);
        a->setCheckable(true);
        connect(a, &QAction::triggered, this, [this, s] { emit statusChosen(s); });
    }
}

void CPresenceStatusBar::SetStatus(int status) {
    m_nStatus = status;
    const char* name = shell::StatusBitmapName(status);
    const QImage img = name ? ctl::LoadBitmapFile(shell::SkinFile(name)) : QImage();
    icon_->setPixmap(img.isNull() ? QPixmap() : ctl::KeyedPixmap(img, status == 0 ? RGB(255, 0, 255) : RGB(0xEC, 0xE9, 0xD8)));
    text_->setText(LangText("status_description", std::to_string(status).c_str(), "").isEmpty()
                       ? QString()
                       : LangText("status_description", std::to_string(status).c_str(), ""));
    static const char* const defaults[] = {"Online", "Offline", "Busy", "Away", "Not available"};
    if (text_->text().isEmpty() && status >= 0 && status <= 4) text_->setText(defaults[status]);
    static const char* const menuKeys[] = {"0", "1", "2"};
    for (QAction* a : menu_->actions()) {
        const int s = a->data().toInt();
        a->setChecked(s == status);
        a->setText(LangText("status_popup_menu", menuKeys[s], defaults[s]));
    }
}

void CPresenceStatusBar::SetDescription(const QString& text) { progress_->setText(text); }
QString CPresenceStatusBar::Description() const { return progress_->text(); }

void CPresenceStatusBar::mousePressEvent(QMouseEvent* e) {
    if (icon_->geometry().adjusted(-4, -4, 60, 4).contains(e->position().toPoint())) menu_->popup(e->globalPosition().toPoint());
    QWidget::mousePressEvent(e);
}

// ---------------------------------------------------------------------------------------------
const std::unordered_map<UINT, CMainFrame::Handler>& CMainFrame::MessageTable() {
    static const std::unordered_map<UINT, Handler> table = {
        {WM_VOIP_EVENT, &CMainFrame::OnVoipEvent},
        {WM_AS_RESULT, &CMainFrame::OnAsResult},
        {WM_AS_GROUP_LIST, &CMainFrame::OnAsGroupList},
        {WM_PRESENCE_STATE, &CMainFrame::OnPresenceState},
        {WM_PRESENCE_BUDDY, &CMainFrame::OnPresenceBuddy},
        {WM_PRESENCE_LIST_BEGIN, &CMainFrame::OnBuddyListBegin},
        {WM_PRESENCE_LIST_END, &CMainFrame::OnBuddyListEnd},
        {WM_PRESENCE_ERROR, &CMainFrame::OnPresenceError},
        {WM_PRESENCE_TEXT, &CMainFrame::OnPresenceText},
        {WM_PRESENCE_VOICE, &CMainFrame::OnPresenceVoice},
        {WM_BOOT_REQUEST, &CMainFrame::OnBootReply},
        {WM_LOGIN_NOTICE, &CMainFrame::OnLoginNotice},
        {WM_LOGIN_STATE, &CMainFrame::OnLoginStateChange},
        {WM_UPDATE_CHECK, &CMainFrame::OnUpdateResult},
        {WM_LANGUAGE_CHANGED, &CMainFrame::OnLanguageChanged},
        {WM_SKIN_CHANGED, &CMainFrame::OnSkinChanged},
        {WM_FRAME_COMMAND, &CMainFrame::OnCommand},
    };
    return table;
}

FrameBookHooks& BookHooks() {
    static FrameBookHooks hooks;
    return hooks;
}

ChatFrameHooks& ChatHooks() {
    static ChatFrameHooks hooks;
    return hooks;
}

LRESULT CMainFrame::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    if (BookHooks().filter && BookHooks().filter(message, wParam, lParam)) return 1;  // address book
    if (ChatHooks().frameMessage && ChatHooks().frameMessage(message, wParam, lParam)) return 1;  // chat windows
    const auto& table = MessageTable();
    auto it = table.find(message);
    if (it == table.end()) {
        DiscardMessage(message, wParam, lParam);
        return 0;
    }
    return (this->*(it->second))(wParam, lParam);
}

void CMainFrame::DiscardMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_VOIP_EVENT: VOIP_FreeUiMsg(reinterpret_cast<VOIP_UI_MSG*>(lParam)); break;
        case WM_AS_RESULT: AS_FreeRequest(reinterpret_cast<AsRequest*>(lParam)); break;
        case WM_AS_GROUP_LIST: GroupRecord_Free(reinterpret_cast<GroupRecord*>(lParam)); break;
        case WM_PRESENCE_BUDDY: delete reinterpret_cast<PresenceBuddyRecord*>(lParam); break;
        case WM_PRESENCE_ERROR: free(reinterpret_cast<char*>(lParam)); break;
        case WM_BOOT_REQUEST: delete reinterpret_cast<CBootRequest*>(wParam); break;
        default: break;
    }
}

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    g_frame = this;
    setObjectName("mainFrame");
    setWindowTitle(LangText("common", "str_app_title", "Tessaly"));

    // Place from the skin's [position]; never smaller than 380 x 560.
    const int left = shell::SkinInt("position", "left", 100), top = shell::SkinInt("position", "top", 100);
    const int width = std::max(380, shell::SkinInt("position", "width", 380));
    const int height = std::max(560, shell::SkinInt("position", "height", 560));
    m_bAlwaysOnTop = shell::SkinInt("position", "alwaystop", 0) != 0;
    setMinimumSize(380, 560);
    setGeometry(left, top, width, height);

    // Tool bar.
    m_wndToolBar = new CSkinToolBar(this);
    m_wndToolBar->setObjectName("frameToolBar");
    m_wndToolBar->setMovable(false);
    m_wndToolBar->setIconSize(QSize(20, 19));
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);
    const std::pair<int, int> buttons[] = {{ID_ADD_CONTACT, 0}, {ID_DELETE_ITEM, 1}, {0, -1}, {ID_SPEAKER_MUTE, 2},
                                           {ID_MIC_MUTE, 3},    {0, -1},            {ID_SEARCH, 4}, {ID_HOME_PAGE, 5}};
    for (auto [cmd, img] : buttons) {
        if (cmd == 0) {
            m_wndToolBar->addSeparator();
            continue;
        }
        CSkinToolButton* b = m_wndToolBar->AddButton(cmd, QString(), img);
        if (cmd == ID_SPEAKER_MUTE || cmd == ID_MIC_MUTE) b->setCheckable(true);
    }
    connect(m_wndToolBar, &CSkinToolBar::commandTriggered, this, [this](int cmd) { Command(cmd); });
    // ---- the system's mixer behind the two mute buttons
    SetMixer(std::make_unique<shell::CMicrophoneMixer>(shell::CreateSystemMixer()));

    // The sheet with the start page.
    auto* central = new QWidget(this);
    central->setObjectName("frameCentral");
    auto* v = new QVBoxLayout(central);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    m_pSheet = new CChildView(central);
    m_navigatePage = new CNqNavigatePage;
    m_pSheet->AddPage(m_navigatePage);
    connect(m_pSheet, &CChildView::endCallRequested, this, [this] { Command(ID_HANGUP); });
    connect(m_navigatePage, &CNqNavigatePage::loginClicked, this, [this] {
        if (m_nLoginState == LOGIN_SIGNING_IN) OnLogoff();
        else if (shell::SavedLogins().logins.empty() && g_strUserId.empty()) OnLoginAs();
        else OnLoginAs();
    });
    // ---- the start page's summary links
    shell::CNavigateLinks* links = m_navigatePage->Links();
    connect(links, &shell::CNavigateLinks::showMissedCalls, this, [this] { Command(ID_SHOW_LOG); });
    connect(links, &shell::CNavigateLinks::showContacts, this, [this] { Command(ID_SHOW_BOOK); });
    connect(links, &shell::CNavigateLinks::queryBalance, this, [] {
        // The balance of the SIP account's number, asked of the access server.
        std::string user;
        {
            std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
            if (Account* a = Account_FindByType(ACCOUNT_TYPE_SIP); a && a->userName) user = a->userName;
        }
        if (!user.empty()) AS_SendCommand(AS_SUD, user.c_str(), nullptr, 8888, nullptr, nullptr, 0);
    });
    connect(links, &shell::CNavigateLinks::openPrepay, this, [] {
        if (!g_serviceSettings.prepay.empty())
            QDesktopServices::openUrl(QUrl(QString::fromStdString(g_serviceSettings.prepay)));
    });
    v->addWidget(m_pSheet, 1);

    // Dial bar.
    m_wndDialBar = new QWidget(central);
    m_wndDialBar->setObjectName("dialBar");
    auto* d = new QHBoxLayout(m_wndDialBar);
    d->setContentsMargins(8, 6, 8, 6);
    d->setSpacing(6);
    m_dialCombo = new CDialComboBox(m_wndDialBar);
    m_dialCombo->setObjectName("dialCombo");
    m_dialCombo->setEditable(true);
    m_dialCombo->setMinimumHeight(30);
    m_dialCombo->SetDialEnabledQuery([this] { return m_dialButton->isEnabled(); });
    m_dialButton = new CSkinButton(m_wndDialBar);
    m_dialButton->setObjectName("dialBarCall");
    m_dialButton->SetSkinName("dialcall");
    m_dialButton->EnableHoverTracking(true);
    m_dialButton->setCursor(Qt::PointingHandCursor);
    m_hangupButton = new CSkinButton(m_wndDialBar);
    m_hangupButton->setObjectName("dialBarHangup");
    m_hangupButton->SetSkinName("dialhangup");
    m_hangupButton->EnableHoverTracking(true);
    m_hangupButton->setCursor(Qt::PointingHandCursor);
    d->addWidget(m_dialCombo, 1);
    d->addWidget(m_dialButton);
    d->addWidget(m_hangupButton);
    connect(m_dialButton, &QPushButton::clicked, this, [this] { Command(ID_DIAL); });
    connect(m_hangupButton, &QPushButton::clicked, this, [this] { Command(ID_HANGUP); });
    // calls windows
    if (shell::CallWindowsFactoryRef()) m_calls = shell::CallWindowsFactoryRef()(this, m_pSheet, m_dialButton, m_hangupButton);
    v->addWidget(m_wndDialBar);

    // Status bar.
    m_wndStatusBar = new CPresenceStatusBar(central);
    connect(m_wndStatusBar, &CPresenceStatusBar::statusChosen, this, [this](int s) {
        if (s == STATUS_OFFLINE && m_nLoginState == LOGIN_SIGNED_IN) OnLogoff();
        else if (s != STATUS_OFFLINE && m_nLoginState == LOGIN_SIGNED_OUT) ServerLogin();
        else if (m_nLoginState == LOGIN_SIGNED_IN) SetPresenceStatus(s);
    });
    v->addWidget(m_wndStatusBar);
    setCentralWidget(central);
    m_wndStatusBar->SetStatus(STATUS_OFFLINE);

    BuildMenus();
    if (m_bAlwaysOnTop) setWindowFlag(Qt::WindowStaysOnTopHint, true);

    // Tray: only where a tray host exists (minimise hides the window only then).
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_wndTray = new QSystemTrayIcon(this);
        m_wndTray->setToolTip(LangText("tray_tip", "1", "Tessaly"));
        connect(m_wndTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
            if (r == QSystemTrayIcon::DoubleClick || r == QSystemTrayIcon::Trigger) Command(ID_SHOW_WINDOW);
        });
        auto* menu = new QMenu(this);
        menu->addAction(LangText("tray_popup_menu", "00", "Show"), this, [this] { Command(ID_SHOW_WINDOW); });
        menu->addAction(LangText("tray_popup_menu", "01", "Exit"), this, [this] { Command(ID_CLOSE_ALL); });
        m_wndTray->setContextMenu(menu);
        UpdateTrayIcon();
        m_wndTray->show();
    }

    // The message icon blinks while notices wait; the tray icon animates while a call page came.
    connect(&messageBlink_, &QTimer::timeout, this, [this] {
        messageBlinkOn_ = !messageBlinkOn_;
        if (m_messageIcon)
            m_messageIcon->setIcon(messageBlinkOn_ ? style()->standardIcon(QStyle::SP_MessageBoxInformation) : QIcon());
    });
    connect(&trayAnimation_, &QTimer::timeout, this, [this] {
        trayFrame_ = (trayFrame_ + 1) % 2;
        if (m_wndTray) m_wndTray->setIcon(trayFrames_[trayFrame_]);
    });
    connect(m_pSheet, &CChildView::callPageAdded, this, &CMainFrame::StartTrayAnimation);
    connect(m_pSheet, &CChildView::callPageAdded, this, &CMainFrame::RefreshMenus);  // the bar follows the call

    // The window target: posted messages from any thread arrive here through the event loop.
    plat::WindowTarget target;
    target.handler = [this](HWND, UINT m, WPARAM w, LPARAM l) { return Dispatch(m, w, l); };
    target.poster = [](std::function<void()> task) {
        QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
    };
    target.discard = [](HWND, UINT m, WPARAM w, LPARAM l) { DiscardMessage(m, w, l); };
    target.ownerThread = GetCurrentThreadId();
    m_hWnd = plat::RegisterWindowTarget(std::move(target));
    g_hMainWnd = m_hWnd;
    VOIP_SetUiWindow(m_hWnd);
    presence_set_ui_window(m_hWnd);

    DebugTrace(MOD_SYSTEM, 3, "Emoticons loaded: %d", shell::CountEmoticons(shell::Paths().appFolder));
    linkTimer_.setInterval(3000);
    connect(&linkTimer_, &QTimer::timeout, this, &CMainFrame::OnLinkTimer);
    linkTimer_.start();
    closeWait_.setInterval(100);
    connect(&closeWait_, &QTimer::timeout, this, [this] {
        if (m_nLoginState == LOGIN_SIGNED_OUT || ++closeWaitTicks_ >= 50) {
            closeWait_.stop();
            FinishClose();
        }
    });
    ApplySkin();
    ApplyLanguage();
}

CMainFrame::~CMainFrame() {
    if (m_hWnd) {
        g_hMainWnd = nullptr;
        VOIP_SetUiWindow(nullptr);
        plat::UnregisterWindowTarget(m_hWnd);
    }
    if (g_frame == this) g_frame = nullptr;
}

void CMainFrame::Box(const QString& text, const QString& title) {
    if (showBox) {
        showBox(text, title);
        return;
    }
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
    box.exec();
}

void CMainFrame::AddEvent(int kind, const QString& text) {
    m_navigatePage->AddEvent(kind, text);
    DebugTrace(MOD_SYSTEM, 3, "UI event: %s", text.toUtf8().constData());
}

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
}

void CMainFrame::SetMixer(std::unique_ptr<shell::CMicrophoneMixer> mixer) {
    delete muteButtons_;
    muteButtons_ = nullptr;
    m_mixer = std::move(mixer);
    if (m_mixer->OpenMicrophoneMixer() == 0) DebugTrace(MOD_SYSTEM, 2, "Microphone mixer not found");
    muteButtons_ = new shell::MuteButtons(m_mixer.get(), m_wndToolBar->Button(ID_SPEAKER_MUTE),
                                          m_wndToolBar->Button(ID_MIC_MUTE), this);
}

void CMainFrame::RefreshMenus() {
    const bool in = m_nLoginState == LOGIN_SIGNED_IN;
    auto set = [this](int id, bool enabled) {
        if (auto it = actions_.find(id); it != actions_.end()) it->second->setEnabled(enabled);
    };
    set(ID_LOGIN, !in);
    set(ID_LOGOFF, in);
    set(ID_LOGIN_AS, m_nLoginState == LOGIN_SIGNED_OUT);
    set(ID_SHOW_BOOK, in && m_pBookPage);
    set(ID_SHOW_DIAL, in && (m_pDialPage || m_callsDial));
    set(ID_SHOW_LOG, in && (m_pCallLogPage || m_callsLog));
    set(ID_SHOW_SERVICE, in && m_pServicePage);
    set(ID_CHAT_ROOMS, in && ChatHooks().openChatRooms);  // chat windows
    set(ID_CHAT_RECORDS, bool(ChatHooks().openRecords));  // chat windows
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
    } else {  // a call is answered and ended on its page: the bar only ends it or starts one
        const bool call = m_pSheet->AnyCallPage();
        m_dialButton->setEnabled(in && st != STATUS_OFFLINE && !call);
        m_hangupButton->setEnabled(call);
    }
    m_dialCombo->setEnabled(in);
    if (m_wndToolBar) {
        for (int id : {ID_ADD_CONTACT, ID_DELETE_ITEM, ID_SEARCH})
            if (auto* b = m_wndToolBar->Button(id)) b->setEnabled(in && m_pBookPage);
    }
}

LRESULT CMainFrame::OnCommand(WPARAM wParam, LPARAM) {
    Command(static_cast<int>(wParam));
    return 0;
}

void CMainFrame::Command(int id) {
    // Tool-bar and menu commands of the address book (search, add, delete) go to it first.
    if (BookHooks().filter && BookHooks().filter(WM_FRAME_COMMAND, static_cast<WPARAM>(id), 0)) return;
    if (m_calls && m_calls->OnCommand(id)) return;  // calls windows: the conference chooser
    switch (id) {
        case ID_LOGIN: OnFileLogin(); break;
        case ID_LOGOFF: OnLogoff(); break;
        case ID_LOGIN_AS: OnLoginAs(); break;
        case ID_APP_EXIT: OnAppExit(); break;
        case ID_CLOSE_ALL: OnAppExit(); break;
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
        case ID_LANG_CHS:
        case ID_LANG_ENG: {
            const std::string code = id == ID_LANG_CHS ? "chs" : "eng";
            shell::ApplyLanguageCode(code);
            g_strLangType = code;
            SendMessage(m_hWnd, WM_LANGUAGE_CHANGED, 0, 0);
            shell::WriteLangTypeIfChanged(code);
            break;
        }
        case ID_SHOW_BOOK:
            if (m_pBookPage) m_pSheet->setCurrentWidget(m_pBookPage);
            break;
        case ID_SHOW_DIAL:
            if (m_callsDial) m_pSheet->setCurrentWidget(m_callsDial);
            else if (m_pDialPage) m_pSheet->setCurrentWidget(m_pDialPage);
            break;
        case ID_SHOW_LOG:
            if (m_callsLog) m_pSheet->setCurrentWidget(m_callsLog);
            else if (m_pCallLogPage) m_pSheet->setCurrentWidget(m_pCallLogPage);
            break;
        case ID_SHOW_SERVICE: if (m_pServicePage) m_pSheet->setCurrentWidget(m_pServicePage); break;
        case ID_CHAT_ROOMS: if (ChatHooks().openChatRooms) ChatHooks().openChatRooms(); break;    // chat windows
        case ID_CHAT_RECORDS: if (ChatHooks().openRecords) ChatHooks().openRecords(0); break;  // chat windows
        case ID_STATUS_ONLINE: SetPresenceStatus(STATUS_ONLINE); break;
        case ID_STATUS_BUSY: SetPresenceStatus(STATUS_BUSY); break;
        case ID_STATUS_OFFLINE:
            if (m_nLoginState == LOGIN_SIGNED_IN) OnLogoff();
            break;
        case ID_DIAL:
            if (m_calls) {  // a number typed in the bar is called from any page but the calls windows' own
                const QString number = m_dialCombo->currentText().trimmed();
                auto* page = qobject_cast<CNqPropertyPage*>(m_pSheet->currentWidget());
                if (!number.isEmpty() && !(page && m_calls->OwnsPage(page)) && m_wndStatusBar->GetStatus() != STATUS_OFFLINE)
                    CallNumber(number);
                else m_calls->OnDialButton(m_wndStatusBar->GetStatus() == STATUS_OFFLINE);
                break;
            }
            if (m_wndStatusBar->GetStatus() != STATUS_OFFLINE) {
                const QString number = m_dialCombo->currentText().trimmed();
                if (!number.isEmpty()) CallNumber(number);
                else if (m_pDialPage) m_pSheet->setCurrentWidget(m_pDialPage);
            }
            break;
        case ID_HANGUP:
            StopTrayAnimation();
            if (m_calls) {
                m_calls->OnHangupButton();
                break;
            }
            if (auto* p = qobject_cast<COnDialDlg*>(m_pSheet->currentWidget())) OnHangup(p);
            break;
        case ID_UPDATE_NOW: OnUpdateNow(); break;
        // ---- about box, accounts, mute buttons and skins
        case ID_ABOUT: {
            CAboutDlg dlg(this);
            dlg.exec();
            break;
        }
        case ID_ACCOUNTS: {
            shell::CAccountsDlg dlg(this);
            dlg.exec();
            break;
        }
        case ID_SPEAKER_MUTE: if (muteButtons_) muteButtons_->OnSpeakerMute(); break;
        case ID_MIC_MUTE: if (muteButtons_) muteButtons_->OnMicMute(); break;
        default:
            if (id >= shell::kSkinCommandFirst && id < shell::kSkinCommandFirst + static_cast<int>(shell::kMaxSkins)) {
                const size_t i = static_cast<size_t>(id - shell::kSkinCommandFirst);
                if (i >= shell::Paths().skins.size()) break;
                const std::string type = shell::Paths().skins[i];
                shell::ApplySkinType(type);
                SendMessage(m_hWnd, WM_SKIN_CHANGED, 0, 0);
                shell::WriteSkinTypeIfChanged(type);
            }
            break;
    }
}

void CMainFrame::ApplyLanguage() {
    setWindowTitle(alias_.isEmpty() ? LangText("common", "str_app_title", "Tessaly")
                                    : LangText("common", "str_app_title", "Tessaly") + " - " + alias_);
    BuildMenus();  // ---- the menus are rebuilt from the language's menu file
    // ---- tool-bar tips by their slots in [tool_tip]; the mute buttons set their own
    static const std::pair<int, std::pair<const char*, const char*>> tips[] = {
        {ID_ADD_CONTACT, {"2", "Add Contact"}}, {ID_DELETE_ITEM, {"3", "Delete Contact"}},
        {ID_SEARCH, {"8", "Search contact"}},   {ID_HOME_PAGE, {"9", "Homepage"}}};
    for (const auto& [cmd, t] : tips)
        if (auto* b = m_wndToolBar->Button(cmd)) b->setToolTip(LangText("tool_tip", t.first, t.second));
    if (muteButtons_) muteButtons_->Retext();
    m_dialButton->setToolTip(LangText("dial_dialog", "call", "Call"));
    m_hangupButton->setToolTip(LangText("ondial_dialog", "hangup", "Hang up"));
    m_dialCombo->lineEdit()->setPlaceholderText(LangText("dial_dialog", "number", "Number or SIP address"));
    for (int p = 0; p < m_pSheet->count(); ++p)
        if (CNqPropertyPage* page = m_pSheet->PageAt(p)) page->OnLanguageChanged();
    m_pSheet->ReloadTabs();
    m_wndStatusBar->RefreshStatus();
    // The status texts of the bar and the start page in the new language.
    if (!descriptionKey_.empty())
        m_wndStatusBar->SetDescription(
            LangText(descriptionSection_.c_str(), descriptionKey_.c_str(), descriptionDefault_.c_str()));
    m_navigatePage->SetStatus(m_wndStatusBar->GetStatus(), m_wndStatusBar->findChild<QLabel*>("presenceText")->text());
    RefreshMenus();
}

void CMainFrame::ApplySkin() {
    ctl::SetSkinType(shell::Paths().skinType);
    m_wndToolBar->SetButtonImagesFromFile(20, 19, QString::fromStdString(shell::Paths().skinFolder), "mainframebar.bmp",
                                          RGB(255, 0, 255), false);
    m_wndToolBar->SetButtonImagesFromFile(20, 19, QString::fromStdString(shell::Paths().skinFolder), "mainframebar.bmp",
                                          RGB(255, 0, 255), true);
    m_wndToolBar->SetBackgroundBitmapFile(shell::SkinFile("toolbarbg.bmp"), 0);
    m_dialButton->OnSkinChanged();
    m_hangupButton->OnSkinChanged();
    for (int p = 0; p < m_pSheet->count(); ++p)
        if (CNqPropertyPage* page = m_pSheet->PageAt(p)) page->OnSkinChanged();
    m_pSheet->ReloadTabs();
    m_wndStatusBar->RefreshStatus();
    UpdateTrayIcon();
}

LRESULT CMainFrame::OnLanguageChanged(WPARAM, LPARAM) {
    ApplyLanguage();
    if (m_calls) m_calls->OnLanguageChanged();                         // calls windows
    if (ChatHooks().languageChanged) ChatHooks().languageChanged();  // chat windows
    return 0;
}

LRESULT CMainFrame::OnSkinChanged(WPARAM, LPARAM) {
    ApplySkin();
    return 0;
}

void CMainFrame::UpdateTrayIcon() {
    trayAnimation_.stop();
    if (!m_wndTray) return;
    const char* name = shell::TrayBitmapName(m_wndStatusBar->GetStatus());
    if (!name) return;
    const QImage img = ctl::LoadBitmapFile(shell::SkinFile(name));
    if (!img.isNull()) m_wndTray->setIcon(QIcon(ctl::KeyedPixmap(img, RGB(0xEC, 0xE9, 0xD8))));
    else m_wndTray->setIcon(windowIcon());
    m_wndTray->setToolTip(LangText("tray_tip", std::to_string(m_wndStatusBar->GetStatus()).c_str(), "Tessaly"));
}

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
    const char* key = soundKind == 1 ? "msg_syssndfile" : "msg_usersndfile";
    const std::string file = LangText("navigate_dialog", key, soundKind == 1 ? "system.wav" : "msg.wav").toStdString();
    plat::PlaySoundFile(plat::PathJoin(shell::Paths().skinFolder, shell::SafeNameComponent(file)), false);
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
        if (!m_messageIcon && m_wndTray) {
            m_messageIcon = new QSystemTrayIcon(this);
            connect(m_messageIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
                if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick || r == QSystemTrayIcon::Context)
                    OnMessageIconClick();
            });
        }
        if (m_messageIcon) {
            m_messageIcon->setToolTip(LangText("tray_tip", "ChatIMTray", "New Message"));
            m_messageIcon->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
            m_messageIcon->show();
        }
        m_bMessageIconShown = true;
        messageBlinkOn_ = true;
        messageBlink_.start(500);
    } else if (m_bMessageIconShown) {
        messageBlink_.stop();
        if (m_messageIcon) m_messageIcon->hide();
        m_bMessageIconShown = false;
    }
}

void CMainFrame::StartTrayAnimation() {
    QIcon frames[2];
    const char* names[2] = {"trayAnimateFrame1.bmp", "trayAnimateFrame2.bmp"};
    for (int i = 0; i < 2; ++i) {
        const QImage img = ctl::LoadBitmapFile(shell::SkinFile(names[i]));
        if (img.isNull()) return;  // a skin without the frames keeps its still icon
        frames[i] = QIcon(ctl::KeyedPixmap(img, RGB(0xEC, 0xE9, 0xD8)));
    }
    trayFrames_[0] = frames[0];
    trayFrames_[1] = frames[1];
    trayFrame_ = 0;
    if (m_wndTray) m_wndTray->setIcon(trayFrames_[0]);
    trayAnimation_.start(500);
}

void CMainFrame::StopTrayAnimation() {
    if (!trayAnimation_.isActive()) return;
    trayAnimation_.stop();
    UpdateTrayIcon();
}

void CMainFrame::SetPresenceStatus(int status) {
    if (status == STATUS_OFFLINE) ClearPendingNotices();
    if (status == STATUS_ONLINE || status == STATUS_BUSY) {
        // The contacts see it too: each signed-in service that can show a status is told.
        const int shown = status == STATUS_BUSY ? PRESENCE_SHOW_BUSY : PRESENCE_SHOW_ONLINE;
        ForEachAccount([shown](Account* a) {
            if (PresenceConnectionRec* c = presence_rec(a->connection)) presence_serv_set_status(c, shown);
        });
    }
    m_wndStatusBar->SetStatus(status);
    m_navigatePage->SetStatus(status, m_wndStatusBar->findChild<QLabel*>("presenceText")->text());
    UpdateTrayIcon();
    RefreshMenus();
}

void CMainFrame::SetStatusText(const char* key) {
    DebugTrace(MOD_SYSTEM, 3, "Set text of status bar, msg id = %s, message = %s", key,
               LangText("status_txt", key, "").toUtf8().constData());
    SetDescriptionText("status_txt", key);
    m_navigatePage->SetProgress(LangText("status_txt", key, ""));
}

void CMainFrame::SetDescriptionText(const char* section, const char* key, const char* builtIn) {
    descriptionSection_ = section ? section : "";
    descriptionKey_ = key ? key : "";
    descriptionDefault_ = builtIn ? builtIn : "";
    m_wndStatusBar->SetDescription(descriptionKey_.empty() ? QString() : LangText(section, key, builtIn));
}

void CMainFrame::changeEvent(QEvent* e) {
    // Minimising hides the window only where a tray icon can bring it back.
    if (e->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && m_wndTray)
        QTimer::singleShot(0, this, &QWidget::hide);
    QMainWindow::changeEvent(e);
}

// ---------------------------------------------------------------------------------------------
// Sign-in.

void CMainFrame::LogoffReset(int mode) {
    if (mode == LOGIN_SIGNED_OUT) {
        // The address book's items go before the accounts take their identities away.
        if (m_pBookPage) {
            m_pSheet->RemovePage(m_pBookPage);
            m_pBookPage->close();  // the address book saves and empties its store
            m_pBookPage->deleteLater();
            m_pBookPage = nullptr;
        }
        Account_LogoffAll();  // accounts of the user's own account file stay for the save at exit
        for (CNqPropertyPage* p : {static_cast<CNqPropertyPage*>(m_pDialPage),
                                   static_cast<CNqPropertyPage*>(m_pCallLogPage), static_cast<CNqPropertyPage*>(m_pServicePage)}) {
            if (!p) continue;
            m_pSheet->RemovePage(p);
            p->deleteLater();
        }
        m_pDialPage = nullptr;
        m_pCallLogPage = nullptr;
        if (m_calls) {
            for (CNqPropertyPage* p : {m_callsDial, m_callsLog})
                if (p) m_pSheet->RemovePage(p);
            m_calls->DropPages();
            m_callsDial = m_callsLog = nullptr;
        }
        m_pServicePage = nullptr;
        buddyListSeen_ = false;
        buddyOnline_.clear();
        m_pSheet->setCurrentWidget(m_navigatePage);
    } else if (mode == LOGIN_SIGNED_IN) {
        if (BookHooks().createPage && !m_pBookPage) m_pBookPage = BookHooks().createPage();
        if (m_pBookPage && m_pSheet->indexOf(m_pBookPage) < 0) m_pSheet->AddPage(m_pBookPage);
        if (m_calls && !m_callsDial) {
            m_callsDial = m_calls->MakeDialPage();
            m_pSheet->AddPage(m_callsDial);
            m_callsLog = m_calls->MakeCallLogPage();
            m_pSheet->AddPage(m_callsLog);
        }
        if (!m_pDialPage && !m_calls) {
            m_pDialPage = new CDialDialog;
            m_pSheet->AddPage(m_pDialPage);
            connect(m_pDialPage, &CDialDialog::callRequested, this, [this](const QString& n) { CallNumber(n); });
        }
        if (!m_pCallLogPage && !m_calls) {
            m_pCallLogPage = new CSyslogDlg;
            m_pSheet->AddPage(m_pCallLogPage);
        }
        if (!m_pServicePage) {
            m_pServicePage = new CPageService;
            m_pSheet->AddPage(m_pServicePage);
        }
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
    m_navigatePage->SetProfile(QString::fromStdString(g_strUserId), alias_,
                               QString::fromStdString(plat::PathJoin(shell::Paths().headPicFolder, shell::Paths().defaultHeadPic)));
    m_navigatePage->SetMode(mode);
    UpdateOnlineCount();
    RefreshMenus();
}

void CMainFrame::UpdateOnlineCount() {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    const auto* root = static_cast<const AddrCounted*>(g_addrBookRoots[0]);
    m_navigatePage->SetOnlineCount(static_cast<int>(root->onlineCount), static_cast<int>(root->contactCount));
}

void CMainFrame::OnFileLogin() {
    DebugTrace(MOD_SYSTEM, 3, "OnFileLogin");
    shell::g_interactiveLogin = true;
    shell::g_loginPending = false;
    if (shell::GetLinkState() == 2) {
        Box(LangText("login_err", "badroute", "Sign-in failed. Check the user name, the password and the network."), LangText("login_err", "title", "Sign-in"));
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
    if (m_nLoginState != LOGIN_SIGNED_OUT) return;
    LogoffReset(LOGIN_SIGNING_IN);
    QString user, password;
    bool ok;
    if (runLoginDialog) {
        ok = runLoginDialog(&user, &password);
    } else {
        CLoginDlg dlg(this);
        ok = dlg.exec() == QDialog::Accepted;
        user = dlg.m_strUser;
        password = dlg.m_strPwd;
    }
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
    if (a.offline) {
        SetPresenceStatus(STATUS_OFFLINE);
        SetDescriptionText(nullptr, nullptr);
    }
    if (state == ST_online) AddEvent(0, LangText("status_txt", "txt_online", "Signed in"));
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
    AddEvent(0, text);
    SetDescriptionText("login", key, "login in error !");
    if (shell::g_interactiveLogin) {
        Box(text, LangText("login", "txt_error", "login in error !"));
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

void CMainFrame::ApplySync(CAsSyncResult* sync) {
    if (sync->displayName && *sync->displayName) alias_ = Ansi(sync->displayName);
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        for (AsServiceRecord* s : sync->services) {
            if (!s || !s->account || (s->serviceId != 1 && s->serviceId != 2)) continue;
            const uint32_t type = static_cast<uint32_t>(s->serviceId);
            Account* a = Account_Find(s->account, type);
            if (!a) {
                a = Account_New(s->account, type);
                if (!a) continue;
                if (!Account_Add(a)) {
                    Account_Free(a);
                    continue;
                }
            }
            Account_SetPassword(a, s->password);
            if (sync->displayName) Account_SetAlias(a, sync->displayName);
        }
    }
    AS_InstallProfiles(sync);
    // The registered address book has taken the synchronisation already.
    int buddies = 0;
    for (CAsBuddy* b : sync->buddies) buddies += b && b->uid;
    syncedBuddies_ = buddies;
    AddEvent(0, shell::FillFormat(shell::LangFormatText("navigate_dialog", "synced", "Profile loaded: %s, %d contacts"),
                                  {alias_.isEmpty() ? QString::fromStdString(g_strUserId) : alias_, QString::number(buddies)}));
}

LRESULT CMainFrame::OnAsResult(WPARAM, LPARAM lParam) {
    auto* request = reinterpret_cast<AsRequest*>(lParam);
    if (!request) return 1;
    const QString title = LangText("login_err", "title", "Sign-in");
    switch (request->command) {
        case AS_LGN:
            if (request->result == 0) {
                AS_PostRequest(AS_SYN, nullptr, AS_DATA_NONE);
            } else if (request->result == AS_RESULT_NONE) {
                STA_PostEvent(EV_unreachable);
            } else {
                STA_PostEvent(EV_login_off);
                const QString text = LangText("login_err", "badroute", "Sign-in failed. Check the user name, the password and the network.");
                AddEvent(0, text);
                if (shell::g_interactiveLogin) {
                    Box(text, title);
                    PostMessage(m_hWnd, WM_FRAME_COMMAND, ID_LOGIN_AS, 0);
                }
            }
            break;
        case AS_SYN:
            if (request->result == 0 && request->kind == AS_DATA_SYNC && request->data) {
                ApplySync(static_cast<CAsSyncResult*>(request->data));
                STA_PostEvent(EV_profilelogin_succeed);
            } else {
                STA_PostEvent(EV_login_off);
                const QString text = LangText("login_err", "loginfail", "The profile could not be loaded.");
                DebugTrace(MOD_SYSTEM, 3, "%s", text.toUtf8().constData());
                if (shell::g_interactiveLogin) Box(text, title);
            }
            break;
        case AS_REA:
            if (request->result == 0 && request->kind == AS_DATA_PARAMS && request->data) {
                auto* p = static_cast<AsParams*>(request->data);
                if (p->str3 && *p->str3) {
                    alias_ = Ansi(p->str3);
                    ApplyLanguage();
                }
            }
            break;
        default: {
            const shell::BookResultEffect e = shell::ApplyBookResult(request);
            if (e.boxKey)
                Box(shell::FillFormat(shell::LangFormatText(e.boxSection, e.boxKey, e.boxDefault), {Ansi(e.boxArg.c_str())}),
                    LangText("profile_status", "fail_title", ""));
            if (e.rebuild && BookHooks().refresh) BookHooks().refresh(e.rebuild);
            if (e.onlineCount) UpdateOnlineCount();
            if (e.counterChanged) m_navigatePage->Links()->ShowContactCounter(shell::g_contactCounter);
            // The chat windows see the rest, and a removed contact or a new panel picture as well.
            if (ChatHooks().asResult && (!e.handled || !e.removedContact.empty() || e.panelChanged))
                ChatHooks().asResult(request);
            break;
        }
    }
    if (request->extra) free(request->extra);
    request->extra = nullptr;
    AS_FreeRequest(request);
    return 1;
}

LRESULT CMainFrame::OnAsGroupList(WPARAM, LPARAM lParam) {
    GroupRecord_Free(reinterpret_cast<GroupRecord*>(lParam));
    return 1;
}

LRESULT CMainFrame::OnUpdateResult(WPARAM wParam, LPARAM) {
    if (wParam == 0) haveUpdate_ = true;
    const bool newer = shell::IsNewerVersion(g_updateInfo.major, g_updateInfo.minor, g_updateInfo.build);
    const shell::UpdateAnswerAction a =
        shell::ActionForUpdateAnswer(static_cast<int>(wParam), newer, g_updateInfo.enforce != 0, updateAsked_);
    if (a.notice) {
        m_navigatePage->Links()->SetUpdateVersion(g_updateInfo.major, g_updateInfo.minor, g_updateInfo.build);
        AddEvent(0, shell::FillFormat(shell::LangFormatText("navigate_dialog", "update_version", "Version %d.%d.%d is available"),
                                      {QString::number(g_updateInfo.major), QString::number(g_updateInfo.minor),
                                       QString::number(g_updateInfo.build)}));
    }
    if (a.failureBox) {
        updateAsked_ = false;
        Box(LangText("update", "UpdateInfo", "The update service could not be reached."), LangText("update", "msgboxtitle", "Update"));
    }
    if (a.forced) StartForcedUpdate();
    else if (a.updateNow) OnUpdateNow();
    return 1;
}

shell::VersionFileData CMainFrame::VersionFileForAnswer() const {
    shell::VersionFileData v;
    v.major = g_updateInfo.major;
    v.minor = g_updateInfo.minor;
    v.build = g_updateInfo.build;
    v.changes = g_updateInfo.changes;
    v.downloadFile = Update_GetDownloadZip();
    v.needUpdate = g_updateInfo.needUpdate;
    v.langType = shell::Paths().langType;
    v.server = g_serviceSettings.update;
    return v;
}

void CMainFrame::OnUpdateNow() {
    updateAsked_ = true;
    if (!haveUpdate_) {
        if (DWORD thread = Update_ThreadId()) PostThreadMessage(thread, WM_UPDATE_CHECK, 0, reinterpret_cast<LPARAM>(m_hWnd));
        return;
    }
    updateAsked_ = false;
    if (!shell::IsNewerVersion(g_updateInfo.major, g_updateInfo.minor, g_updateInfo.build)) {
        Box(LangText("update", "uptodate", "Tessaly is up to date."), LangText("update", "msgboxtitle", "Update"));
        return;
    }
    const shell::VersionFileData v = VersionFileForAnswer();
    const std::string path = plat::PathJoin(shell::Paths().profileFolder, "VersionInfo.ini");
    if (!shell::WriteVersionInfoIni(path, v)) DebugTrace(MOD_UPDATE, 1, "VersionInfo.ini not written");
    // The updater is a separate program of the installation; without one the download is shown instead.
    const QString updater = UpdaterProgram();
    if (!updater.isEmpty()) QProcess::startDetached(updater, {QString::fromStdString(path)});
    else if (!v.downloadFile.empty()) QDesktopServices::openUrl(QUrl(QString::fromStdString(v.downloadFile)));
}

QString CMainFrame::UpdaterProgram() const {
    const QString updater = QString::fromStdString(plat::PathJoin(shell::Paths().appFolder, "update"));
    return QFileInfo(updater).isExecutable() ? updater : QString();
}

// An enforced update: the updater takes over and this program ends.
void CMainFrame::StartForcedUpdate() {
    const QString updater = UpdaterProgram();
    if (updater.isEmpty()) {
        // Quitting without an updater to take over would only leave the user without the program.
        DebugTrace(MOD_UPDATE, 1, "no updater for the enforced update");
        updateAsked_ = true;
        OnUpdateNow();
        return;
    }
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isModal() && dialog->isVisible()) dialog->reject();
    const std::string path = plat::PathJoin(shell::Paths().profileFolder, "VersionInfo.ini");
    const HWND frame = m_hWnd;
    std::thread([v = VersionFileForAnswer(), path, frame, program = updater.toStdString()] {
        RunUpdaterThreadProc(v, path, frame, program);
    }).detach();
}

void CMainFrame::RunUpdaterThreadProc(const shell::VersionFileData& v, const std::string& path, HWND frame,
                                      const std::string& program) {
    if (!shell::WriteVersionInfoIni(path, v)) DebugTrace(MOD_UPDATE, 1, "VersionInfo.ini not written");
    PostMessage(frame, WM_FRAME_COMMAND, ID_APP_EXIT, 0);
    QProcess::startDetached(QString::fromStdString(program), {QString::fromStdString(path)});
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
    if (account && type == ACCOUNT_TYPE_SERVICE) {
        STA_PostEvent(lParam ? EV_MV_register_succeed : EV_unreachable);
        AddEvent(1, lParam ? LangText("status_txt", "mv_up", "Messaging connected") : LangText("status_txt", "mv_down", "Messaging disconnected"));
    }
    return 1;
}

LRESULT CMainFrame::OnPresenceBuddy(WPARAM, LPARAM lParam) {
    auto* record = reinterpret_cast<PresenceBuddyRecord*>(lParam);
    if (!record) return 1;
    const QString name = record->name[0] ? Ansi(record->name) : Q(record->account);
    const std::string key = record->userId[0] ? record->userId : record->account[0] ? record->account : std::to_string(record->id);
    auto known = buddyOnline_.find(key);
    const int before = known == buddyOnline_.end() ? -1 : known->second;
    const int now = record->online ? (record->busy ? 2 : 1) : 0;  // offline, online, busy
    buddyOnline_[key] = now;
    // Only a change is news: the list refresh repeats every buddy's state.
    if (now != before && !(before == -1 && now == 0))
        AddEvent(1, shell::FillFormat(now == 2   ? shell::LangFormatText("navigate_dialog", "buddy_busy", "%s is busy")
                                      : now == 1 ? shell::LangFormatText("navigate_dialog", "buddy_on", "%s is online")
                                                 : shell::LangFormatText("navigate_dialog", "buddy_off", "%s went offline"),
                                      {name}));
    delete record;
    return 1;
}

LRESULT CMainFrame::OnBuddyListBegin(WPARAM, LPARAM) {
    DebugTrace(MOD_QZ, 3, "mervane update begin, refresh buddy");
    return 1;
}

LRESULT CMainFrame::OnBuddyListEnd(WPARAM, LPARAM) {
    DebugTrace(MOD_QZ, 3, "mervane buddy list receive end");
    buddyListSeen_ = true;
    return 1;
}

LRESULT CMainFrame::OnPresenceError(WPARAM, LPARAM lParam) {
    char* text = reinterpret_cast<char*>(lParam);
    if (text && std::memcmp(text, "1: ", 4) == 0) {
        shell::g_loginPending = false;
        Box(LangText("login", "txt_login_others", "Your account signed in on another computer."), LangText("login", "txt_notify", "Notice"));
    }
    free(text);
    return 1;
}

// With the chat windows installed, they tell a person's message from a room command and put its line
// in Recent activity themselves.
LRESULT CMainFrame::OnPresenceText(WPARAM wParam, LPARAM lParam) {
    if (ChatHooks().incoming) return ChatHooks().incoming(WM_PRESENCE_TEXT, wParam, lParam);
    char* text = reinterpret_cast<char*>(wParam);
    auto* record = reinterpret_cast<PresenceMessageRecord*>(lParam);
    if (record && text && record->sender.id != 0) {
        const QString from = record->sender.name[0] ? Ansi(record->sender.name) : Q(record->sender.account);
        AddEvent(1, from + ": " + Ansi(text).left(120));
    }
    free(text);
    return 1;
}

LRESULT CMainFrame::OnPresenceVoice(WPARAM wParam, LPARAM lParam) {
    if (ChatHooks().incoming) return ChatHooks().incoming(WM_PRESENCE_VOICE, wParam, lParam);
    auto* record = reinterpret_cast<PresenceMessageRecord*>(lParam);
    if (record) AddEvent(1, shell::FillFormat(shell::LangFormatText("navigate_dialog", "voice_msg", "Voice message from %s"),
                                              {record->sender.name[0] ? Ansi(record->sender.name) : Q(record->sender.account)}));
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Calls.

int CMainFrame::CallNumber(const QString& number, bool quiet) {
    if (m_nLoginState != LOGIN_SIGNED_IN) return -1;
    if (m_calls) {
        const int r = m_calls->CallNumber(number.left(64).toStdString(), quiet);
        if (r == 0) AddEvent(2, shell::FillFormat(shell::LangFormatText("ondial_dialog", "ev_calling", "Calling %s"), {number.left(64)}));
        RefreshMenus();
        return r;
    }
    QString target = number.left(64);
    if (m_pSheet->AnyCallPage()) {
        DebugTrace(MOD_SYSTEM, 3, "Call to %s refused: a call is active", target.toUtf8().constData());
        if (!quiet) Box(LangText("ondial_dialog", "ExistedCallError", "existed call in current,cann't call again!"), LangText("ondial_dialog", "MSG_TITLE", "Tip"));
        return -1;
    }
    std::string sipAccount, domain = shell::ConfigString("service", "brindle_name", "");
    ForEachAccount([&](Account* a) {
        if (a->type != ACCOUNT_TYPE_SIP || !a->userName) return;
        sipAccount = a->userName;
        char server[260] = {};
        presence_setting_get_string(&a->settings, "server", "", server, sizeof server);
        if (domain.empty()) domain = server;
    });
    if (shell::IsCallingSelf(target.toStdString(), domain.empty() ? "localhost" : domain, sipAccount)) {
        DebugTrace(MOD_SYSTEM, 3, "Call to %s refused: the user's own address", target.toUtf8().constData());
        if (!quiet) Box(LangText("dial_dialog", "msg_call_fail", "Can't call yourself!"), LangText("dial_dialog", "msg_title", "Dial"));
        return -1;
    }
    m_pSheet->CloseEndedCallPages();
    const int call = CM_AllocCall();
    if (call < 0) return -1;
    const int cnx = CC_AllocCnx();
    if (cnx < 0) {
        CM_FreeCall(call);
        DebugTrace(MOD_SYSTEM, 3, "Call to %s: no connection (%d)", target.toUtf8().constData(), cnx);
        if (!quiet) Box(cnx == -2 ? LangText("dial_dialog", "msg_mic_inuse", "No microphone can be opened.")
                      : LangText("dial_dialog", "msg_cnx_failed", "The call could not be started."),
            LangText("multiconf_dialog", "conf_info", "Infomation"));
        return -1;
    }
    auto* page = new COnDialDlg(call, cnx, target, false);
    connect(page, &COnDialDlg::hangupClicked, this, &CMainFrame::OnHangup);
    m_pSheet->AddPage(page);
    m_pSheet->setCurrentWidget(page);
    if (m_pCallLogPage) m_pCallLogPage->AddCall(false, target, QString());
    AddEvent(2, shell::FillFormat(shell::LangFormatText("ondial_dialog", "ev_calling", "Calling %s"), {target}));
    CM_SendEvent(call, cnx, CMEVT_NEWCALL, -1, -1, strdup(target.toUtf8().constData()));
    RefreshMenus();
    return 0;
}

void CMainFrame::OnAnswer(COnDialDlg* page) {
    if (page->m_nState == 0 && page->m_bIncoming) CM_SendEvent(page->m_nCallId, page->m_nCnxId, CMEVT_CONNECT, -1, -1, nullptr);
}

void CMainFrame::OnHangup(COnDialDlg* page) {
    if (page->m_nState != 3 && page->m_nCallId >= 0) CM_SendEvent(page->m_nCallId, page->m_nCnxId, CMEVT_DISCONNECT, -1, -1, nullptr);
    if (page->m_nState == 3 || page->m_nCallId < 0) m_pSheet->ClosePage(page);
    RefreshMenus();
}

LRESULT CMainFrame::OnVoipEvent(WPARAM, LPARAM lParam) {
    auto* msg = reinterpret_cast<VOIP_UI_MSG*>(lParam);
    if (!msg) return 1;
    if (m_calls && msg->iEvent != VOIPEVT_TIMEOUT && msg->iEvent != VOIPEVT_START && msg->iEvent != VOIPEVT_STOP) {
        const QString before = QString::fromStdString(m_calls->RemoteOf(msg->iCallId));
        m_calls->OnVoipEvent(msg);
        const QString after = QString::fromStdString(m_calls->RemoteOf(msg->iCallId));
        if (msg->iEvent == VOIPEVT_REMOTE_NEWCALL && before.isEmpty() && !after.isEmpty())
            AddEvent(2, shell::FillFormat(shell::LangFormatText("ondial_dialog", "ev_incoming", "Incoming call from %s"), {after}));
        else if (msg->iEvent == VOIPEVT_REMOTE_ANSWER && !before.isEmpty())
            AddEvent(2, shell::FillFormat(shell::LangFormatText("ondial_dialog", "ev_talking", "In a call with %s"), {before}));
        else if (msg->iEvent == VOIPEVT_RELEASE_CALL && !before.isEmpty())
            AddEvent(2, shell::FillFormat(shell::LangFormatText("ondial_dialog", "ev_ended", "Call with %s ended"), {before}));
        VOIP_FreeUiMsg(msg);
        RefreshMenus();
        return 1;
    }
    const QString text = msg->iEvent == VOIPEVT_REMOTE_NEWCALL && msg->pValue ? Q(static_cast<const char*>(msg->pValue)).left(128) : QString();
    COnDialDlg* page = m_pSheet->FindCallPageByCallId(msg->iCallId);
    switch (msg->iEvent) {
        case VOIPEVT_REMOTE_NEWCALL:
            if (msg->iCallId < 0 || msg->iCnxId < 0) break;
            if (text.isEmpty() || m_pSheet->AnyCallPage()) {
                CM_SendEvent(msg->iCallId, msg->iCnxId, CMEVT_DISCONNECT, -1, -1, nullptr);
                break;
            }
            page = new COnDialDlg(msg->iCallId, msg->iCnxId, text, true);
            connect(page, &COnDialDlg::answerClicked, this, &CMainFrame::OnAnswer);
            connect(page, &COnDialDlg::hangupClicked, this, &CMainFrame::OnHangup);
            m_pSheet->AddPage(page);
            m_pSheet->setCurrentWidget(page);
            if (m_pCallLogPage) m_pCallLogPage->AddCall(true, text, QString());
            AddEvent(2, shell::FillFormat(shell::LangFormatText("ondial_dialog", "ev_incoming", "Incoming call from %s"), {text}));
            Command(ID_SHOW_WINDOW);
            break;
        case VOIPEVT_REMOTE_ALERT:
            if (page) page->SetCallState(0, LangText("ondial_dialog", "tip_ringing", "Ringing..."));
            break;
        case VOIPEVT_REMOTE_ANSWER:
            if (page) {
                page->SetCallState(1, LangText("ondial_dialog", "tip_talking", "Talking"));
                AddEvent(2, shell::FillFormat(shell::LangFormatText("ondial_dialog", "ev_talking", "In a call with %s"), {page->m_strRemote}));
            }
            break;
        case VOIPEVT_REMOTE_FAILURE:
        case VOIPEVT_REMOTE_DISCONNECT:
            if (page) {
                // ---- an incoming call that ends unanswered counts as missed on the start page
                if (page->m_bIncoming && page->m_nState == 0) m_navigatePage->Links()->AddMissedCall();
                page->SetCallState(3, LangText("ondial_dialog", "tip_ended", "Call ended"));
                AddEvent(2, shell::FillFormat(shell::LangFormatText("ondial_dialog", "ev_ended", "Call with %s ended"), {page->m_strRemote}));
            }
            break;
        case VOIPEVT_REMOTE_HOLD:
        case VOIPEVT_CALL_HOLD:
            if (page) page->SetCallState(page->m_nState, LangText("ondial_dialog", "tip_hold", "On hold"));
            break;
        case VOIPEVT_REMOTE_UNHOLD:
        case VOIPEVT_CALL_UNHOLD:
            if (page) page->SetCallState(page->m_nState, LangText("ondial_dialog", "tip_talking", "Talking"));
            break;
        case VOIPEVT_RELEASE_CALL:
            if (page) {
                if (page->m_bIncoming && page->m_nState == 0) m_navigatePage->Links()->AddMissedCall();  // ---- missed
                if (page->m_nState != 3) page->SetCallState(3, LangText("ondial_dialog", "tip_ended", "Call ended"));
                page->m_nCallId = -1;
            }
            break;
        case VOIPEVT_TIMEOUT:
        case VOIPEVT_STOP:
            if (m_nLoginState == LOGIN_SIGNED_IN) {
                shell::g_loginPending = true;
                DebugTrace(MOD_SYSTEM, 3, "SIP Timeout Or ERROR, Set Reconnection Flag");
            }
            STA_PostEvent(EV_unreachable);
            ForEachAccount([](Account* a) {
                if (a->type == ACCOUNT_TYPE_SIP) Account_SetConnectionParam(a, 0);
            });
            break;
        case VOIPEVT_START:
            STA_PostEvent(EV_SIP_register_Succeed);
            ForEachAccount([](Account* a) {
                if (a->type == ACCOUNT_TYPE_SIP) Account_SetConnectionParam(a, 1);
            });
            AddEvent(2, LangText("status_txt", "sip_up", "Phone line registered"));
            break;
        case VOIPEVT_RELEASE_CNX:
        case VOIPEVT_REMOTE_CONTACT:
            break;
        default:
            if (page) page->SetCallState(3, LangText("ondial_dialog", "tip_failed", "Call failed"));
            break;
    }
    VOIP_FreeUiMsg(msg);
    RefreshMenus();
    return 1;
}

int CMainFrame::DialRequest(const std::string& number) {
    const QString n = QString::fromStdString(number);
    if (m_calls) {
        const bool shown = m_nLoginState == LOGIN_SIGNED_IN && m_calls->ShowCallPageFor(number);
        const int result = shell::DialDecision(m_nLoginState, shown, m_navigatePage != nullptr, m_calls->AnyTalking());
        if (result == 3) CallNumber(n.left(64), true);
        DebugTrace(MOD_SYSTEM, 2, "Dial request %s answered %d", number.c_str(), result);
        return result;
    }
    COnDialDlg* page = m_pSheet->FindCallPageByNumber(n);
    const int result = shell::DialDecision(m_nLoginState, page != nullptr, m_navigatePage != nullptr, m_pSheet->AnyTalking());
    if (result == 1) m_pSheet->setCurrentWidget(page);
    if (result == 3) CallNumber(n.left(64), true);
    DebugTrace(MOD_SYSTEM, 2, "Dial request %s answered %d", number.c_str(), result);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Link monitor.

void CMainFrame::OnLinkTimer() {
    const char* log = nullptr;
    const bool haveUser = !g_strUserId.empty() && !shell::g_strPassword.empty();
    const shell::LinkAction a = shell::LinkMonitorTick(link_, shell::DefaultGateway(), haveUser, m_nLoginState,
                                                       shell::g_loginPending, STA_GetState(), &log);
    if (log) DebugTrace(MOD_SYSTEM, 2, "%s", log);
    if (a == shell::LINK_LOGIN) {
        STA_SetLoginUser(g_strUserId, shell::g_strPassword);
        STA_PostEvent(EV_login_in);
    } else if (a == shell::LINK_UNREACHABLE) {
        STA_PostEvent(EV_unreachable);
        shell::g_loginPending = true;
        shell::g_interactiveLogin = false;
    }
}

// ---------------------------------------------------------------------------------------------
// Exit and close.

void CMainFrame::OnAppExit() {
    if (AnyCall()) {
        Box(LangText("ondial_dialog", "Exit_Tip", "Still have active dial,cann't exit"), LangText("ondial_dialog", "MSG_TITLE", "Tip"));
        return;
    }
    QTimer::singleShot(0, this, &QWidget::close);
}

void CMainFrame::closeEvent(QCloseEvent* e) {
    if (closed_) {
        e->accept();
        return;
    }
    e->ignore();
    if (m_bClosing) return;
    m_bClosing = true;
    DebugTrace(MOD_SYSTEM, 2, "Main frame closing");
    if (ChatHooks().closeAll) ChatHooks().closeAll(0);  // chat windows
    ClearPendingNotices();
    linkTimer_.stop();
    if (!isMaximized() && !isMinimized()) {
        const QRect g = geometry();
        shell::SkinWrite("position", "left", std::to_string(g.left()));
        shell::SkinWrite("position", "top", std::to_string(g.top()));
        shell::SkinWrite("position", "width", std::to_string(g.width()));
        shell::SkinWrite("position", "height", std::to_string(g.height()));
        shell::SkinWrite("position", "alwaystop", m_bAlwaysOnTop ? "1" : "0");
    }
    hide();
    if (m_wndTray) m_wndTray->hide();
    bool anyOnline = false;
    ForEachAccount([&](Account* a) {
        if (!Account_IsOffline(a)) anyOnline = true;
    });
    if (anyOnline || STA_GetState() != ST_initial) {
        // Signing out runs through the event loop: the state handlers that end the wait must run.
        DebugTrace(MOD_SYSTEM, 2, "Signing out before exit");
        LogoffReset(LOGIN_SIGNING_OUT);
        STA_PostEvent(EV_login_off);
        closeWaitTicks_ = 0;
        closeWait_.start();
    } else {
        LogoffReset(LOGIN_SIGNED_OUT);
        FinishClose();
    }
}

void CMainFrame::FinishClose() {
    if (m_calls) m_calls->CloseAll();
    DebugTrace(MOD_SYSTEM, 2, "Sign-out wait over, state %d", m_nLoginState);
    closed_ = true;
    if (onClosed) onClosed();
    close();
}
