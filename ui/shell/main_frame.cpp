// CMainFrame: the one top-level window, the receiver of every worker thread's report.
#include "ui/shell/main_frame.h"
#include "ui/shell/splash.h"

#include <QAction>
#include <QFileInfo>
#include <QProcess>
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
#include "platform/sync.h"
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
#include "ui/controls/rich_edit.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/statics.h"
#include "ui/controls/toolbar_ex.h"
#include "ui/shell/about_box.h"
#include "ui/shell/app_start.h"
#include "ui/shell/head_picture.h"
#include "ui/shell/book_results.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/app_start.h"
#include "ui/shell/frame_menus.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/login_dialog.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/system_tray.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/update_dialog.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/VoipUi.h"

using shell::LangText;

#include "ui/shell/frame_internal.h"

using frame_internal::Ansi;
using frame_internal::ForEachAccount;
using frame_internal::Q;

namespace {
CMainFrame* g_frame = nullptr;
}  // namespace

CMainFrame* MainFrame() { return g_frame; }

LRESULT SendToFrame(UINT message, WPARAM wParam, LPARAM lParam) {
    return g_frame ? SendMessage(g_frame->Handle(), message, wParam, lParam) : 0;
}

// ---------------------------------------------------------------------------------------------
CPresenceStatusBar::CPresenceStatusBar(QWidget* parent) : QWidget(parent) {
    setObjectName("presenceBar");
    // Two panes: the icon's, 34 pixels wide, with the picture 1 pixel inside it, and the description's.
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(1, 1, 8, 1);
    h->setSpacing(2);
    icon_ = new CPaintedStatic(this);
    QSizePolicy keepPlace(QSizePolicy::Fixed, QSizePolicy::Expanding);
    keepPlace.setRetainSizeWhenHidden(true);
    icon_->setSizePolicy(keepPlace);
    icon_->setFixedWidth(32);
    icon_->setMinimumHeight(16);
    icon_->setCursor(Qt::PointingHandCursor);
    // One text pane beside the icon: the status's description, or the last progress or error text set.
    text_ = new QLabel(this);
    text_->setObjectName("presenceText");
    h->addWidget(icon_);
    h->addWidget(text_, 1);
}

QString CPresenceStatusBar::StatusDescription(int status) {
    return LangText("status_description", std::to_string(status).c_str(), "Unknown").left(20);
}

void CPresenceStatusBar::SetStatus(int status) {
    m_nStatus = status;
    const char* name = shell::StatusBitmapName(status);
    const QImage img = name ? ctl::LoadBitmapFile(shell::SkinFile(name)) : QImage();
    icon_->SetBkColor(status == 0 ? RGB(255, 0, 255) : RGB(0xEC, 0xE9, 0xD8));
    // A status without its picture shows none, not the previous status's.
    if (!img.isNull()) icon_->SetBitmapFile(shell::SkinFile(name));
    icon_->setVisible(!img.isNull());
    text_->setText(StatusDescription(status));
    // The active page sets the dial bar's buttons for the new status.
    if (MainFrame() && MainFrame()->Sheet()) MainFrame()->Sheet()->ReselectActivePage();
}

void CPresenceStatusBar::SetDescription(const QString& text) { text_->setText(text); }
QString CPresenceStatusBar::Description() const { return text_->text(); }

TrelMenu* CPresenceStatusBar::MakeStatusMenu() {
    TrelMenu* menu = shell::BuildStatusMenu(this, MainFrame() ? MainFrame()->m_nLoginState : LOGIN_SIGNED_OUT, m_nStatus);
    if (!menu) return nullptr;
    connect(menu, &QMenu::triggered, this, [this](QAction* a) {
        if (a->data().isValid()) emit statusChosen(a->data().toInt() - ID_STATUS_ONLINE);
    });
    return menu;
}

void CPresenceStatusBar::mousePressEvent(QMouseEvent* e) {
    // A press on the icon opens the status menu; a skin without the menu's pictures has none.
    if ((e->button() == Qt::LeftButton || e->button() == Qt::RightButton) &&
        icon_->geometry().contains(e->position().toPoint())) {
        if (TrelMenu* menu = MakeStatusMenu()) {
            connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
            menu->popup(e->globalPosition().toPoint());
        }
    }
    QWidget::mousePressEvent(e);
}

// ---------------------------------------------------------------------------------------------
const std::unordered_map<UINT, CMainFrame::Handler>& CMainFrame::MessageTable() {
    static const std::unordered_map<UINT, Handler> table = {
        {WM_VOIP_EVENT, &CMainFrame::OnVoipEvent},
        {WM_CALL_CONTACT, &CMainFrame::OnCallContact},
        {WM_AS_RESULT, &CMainFrame::OnAsResult},
        {WM_AS_GROUP_LIST, &CMainFrame::OnAsGroupList},
        {WM_PRESENCE_STATE, &CMainFrame::OnPresenceState},
        {WM_PRESENCE_BUDDY, &CMainFrame::OnPresenceBuddy},
        {WM_PRESENCE_LIST_BEGIN, &CMainFrame::OnBuddyListBegin},
        {WM_PRESENCE_LIST_END, &CMainFrame::OnBuddyListEnd},
        {WM_PRESENCE_ERROR, &CMainFrame::OnPresenceError},
        {WM_PRESENCE_TEXT, &CMainFrame::OnPresenceText},
        {WM_PRESENCE_VOICE, &CMainFrame::OnPresenceVoice},
        {WM_GROUP_ACTION, &CMainFrame::OnGroupAction},
        {WM_BOOT_REQUEST, &CMainFrame::OnBootReply},
        {WM_LOGIN_NOTICE, &CMainFrame::OnLoginNotice},
        {WM_LOGIN_STATE, &CMainFrame::OnLoginStateChange},
        {WM_UPDATE_CHECK, &CMainFrame::OnUpdateResult},
        {WM_LANGUAGE_CHANGED, &CMainFrame::OnLanguageChanged},
        {WM_SKIN_CHANGED, &CMainFrame::OnSkinChanged},
        {WM_FRAME_COMMAND, &CMainFrame::OnCommand},
        {WM_RUN_SETUP, &CMainFrame::OnRunSetup},
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
    // A buddy state of a connection that has gone reaches neither the address book nor the chat windows.
    if (message == WM_PRESENCE_BUDDY && wParam && !presence_connection_is_valid(reinterpret_cast<PresenceConnection*>(wParam)))
        return OnPresenceBuddy(wParam, lParam);
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
        case WM_AS_GROUP_LIST:
        case WM_GROUP_ACTION: GroupRecord_Free(reinterpret_cast<GroupRecord*>(lParam)); break;
        case WM_PRESENCE_BUDDY: delete reinterpret_cast<PresenceBuddyRecord*>(lParam); break;
        case WM_PRESENCE_ERROR: free(reinterpret_cast<char*>(lParam)); break;
        case WM_BOOT_REQUEST: delete reinterpret_cast<CBootRequest*>(wParam); break;
        default: break;
    }
}

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    g_frame = this;
    setObjectName("mainFrame");
    setWindowTitle(LangText("common", "str_app_title", "Corvina"));
    m_imFont = shell::ReadChatFont(shell::Paths().settingsPath);

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
    // The built-in pictures, normal and hot; a skin replaces only the normal and disabled ones.
    const QFileInfo builtInBar(ctl::ResourcePath(169));
    for (bool hot : {false, true})
        m_wndToolBar->SetButtonImagesFromFile(20, 19, builtInBar.absolutePath(), builtInBar.fileName(), RGB(255, 0, 255), hot);
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
    connect(m_pSheet, &CChildView::callCommand, this, [this](int command) {
        if (command == ID_SHEET_HOLD) {
            if (m_pSheet->activeCallHeld && m_pSheet->activeCallHeld()) UnholdActiveCall();
            else HoldActiveCall();
        } else if (command == ID_SHEET_UNHOLD) {
            MergeActiveCall();
        }
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
    connect(links, &shell::CNavigateLinks::openPrepay, this, [] { shell::OpenAddress(g_serviceSettings.prepay); });
    connect(links, &shell::CNavigateLinks::updateNow, this, [this] { Command(ID_UPDATE_NOW); });
    v->addWidget(m_pSheet, 1);

    // Dial bar: the calls windows' bar with its status page; the frame's own simple bar only when no
    // calls windows are registered.
    if (shell::CallWindowsFactoryRef()) m_calls = shell::CallWindowsFactoryRef()(this, m_pSheet, nullptr, nullptr);
    if (m_calls) m_wndDialBar = m_calls->MakeDialBar(central, &m_dialButton, &m_hangupButton);
    if (!m_wndDialBar) {
        m_wndDialBar = new QWidget(central);
        m_wndDialBar->setObjectName("dialBar");
        auto* d = new QHBoxLayout(m_wndDialBar);
        d->setContentsMargins(8, 6, 8, 6);
        d->setSpacing(40);  // the two buttons either side of the middle
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
        d->addStretch(1);
        d->addWidget(m_dialButton);
        d->addWidget(m_hangupButton);
        d->addStretch(1);
    }
    connect(m_dialButton, &QAbstractButton::clicked, this, [this] { Command(ID_DIAL); });
    connect(m_hangupButton, &QAbstractButton::clicked, this, [this] { Command(ID_HANGUP); });
    v->addWidget(m_wndDialBar);

    // Status bar.
    m_wndStatusBar = new CPresenceStatusBar(central);
    // The status menu's items are the presence commands 3114 (online), 3115 (offline), 3116 (busy).
    connect(m_wndStatusBar, &CPresenceStatusBar::statusChosen, this, [this](int s) {
        Command(s == STATUS_BUSY ? ID_STATUS_BUSY : s == STATUS_OFFLINE ? ID_STATUS_OFFLINE : ID_STATUS_ONLINE);
    });
    v->addWidget(m_wndStatusBar);
    setCentralWidget(central);
    m_wndStatusBar->SetStatus(STATUS_OFFLINE);

    BuildMenus();
    if (m_bAlwaysOnTop) setWindowFlag(Qt::WindowStaysOnTopHint, true);
    CSplashWindow::ShowSplash(this);  // when enabled (no "/nosplash"), minimised or not

    // Tray: shown only where a tray host exists (minimise hides the window only then).
    m_wndTray = new CSystemTray(this);
    m_wndTray->frameState = [](int* loginState, int* status) {
        CMainFrame* frame = MainFrame();
        if (!frame) return false;
        *loginState = frame->m_nLoginState;
        *status = frame->m_wndStatusBar->GetStatus();
        return true;
    };
    m_wndTray->onCommand = [this](int id) {
        Command(id);
    };
    {
        const QImage img = ctl::LoadBitmapFile(shell::SkinFile("trayOnline.bmp"));
        const QIcon icon = img.isNull() ? QIcon(shell::ProgramIconFile()) : QIcon(ctl::KeyedPixmap(img, RGB(0xEC, 0xE9, 0xD8)));
        m_wndTray->Create(nullptr, WM_USER + 1014, "Brindle", icon, 0);
    }
    UpdateTrayIcon();

    // The message icon blinks while notices wait; the tray icon animates while a call page came.
    // Its two images (resources 215 and 216, the tray's key colour), loaded once.
    for (auto [id, icon] : {std::pair{215, &m_hMessageIcon1}, std::pair{216, &m_hMessageIcon2}}) {
        const QImage img = ctl::LoadBitmapFile(ctl::ResourcePath(id));
        if (!img.isNull()) *icon = QIcon(ctl::KeyedPixmap(img, RGB(0xEC, 0xE9, 0xD8)));
    }
    connect(&messageBlink_, &QTimer::timeout, this, [this] {
        // Phase 0 -> 1 shows the second image, 1 -> 0 the first.
        m_bBlinkPhase = !m_bBlinkPhase;
        if (m_messageIcon) m_messageIcon->setIcon(m_bBlinkPhase ? m_hMessageIcon2 : m_hMessageIcon1);
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

    // The emoticon table with its pictures (19 x 19, white transparent), up to the first file missing.
    const int faces = shell::LoadFaceTable(shell::Paths().appFolder, [this](const std::string& path) {
        const QImage img = ctl::LoadBitmapFile(QString::fromStdString(path));
        if (img.isNull()) return false;
        m_faceImages.push_back(ctl::KeyedPixmap(img.scaled(19, 19), RGB(255, 255, 255)));
        return true;
    });
    DebugTrace(MOD_SYSTEM, 3, "Emoticons loaded: %d", faces);
    ReadChatSettings();
    // The contact counter as the start page last showed it.
    if (const int counter = shell::ParseContactCounter(shell::ConfigString("common", "ucountnumber", "")); counter >= 0) {
        shell::g_contactCounter = counter;
        m_navigatePage->Links()->ShowContactCounter(counter);
    }
    linkTimer_.setInterval(3000);
    connect(&linkTimer_, &QTimer::timeout, this, &CMainFrame::OnLinkTimer);
    linkTimer_.start();
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

void CMainFrame::Box(const QString& text, const QString& title, int icon) {
    if (showBox) {
        showBox(text, title);
        return;
    }
    QMessageBox box(static_cast<QMessageBox::Icon>(icon), title, text, QMessageBox::Ok, this);
    box.exec();
}


void CMainFrame::ApplyLanguage() {
    UpdateTitle();
    shell::ReadFaceTips();
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
    m_pSheet->OnLanguageChanged();  // the pages, their tabs, and the active page selected again
    if (updateDialog_) updateDialog_->ApplyLanguage();
    // The rich edits' file messages, kept in [dlg_common] under their string ids.
    for (int id : {CFormatRichEdit::kInvalidFileNameText, CFormatRichEdit::kOpenFailedText, CFormatRichEdit::kSaveFailedText}) {
        const std::string key = std::to_string(id);
        CFormatRichEdit::SetFileMessageText(id, QString());  // the built-in text where the file has none
        CFormatRichEdit::SetFileMessageText(id, LangText("dlg_common", key.c_str(), CFormatRichEdit::FileMessageText(id).toUtf8().constData()));
    }
    // A customisable toolbar's button texts and its customise dialog, from [toolbar_ex].
    for (int command : {32821, 32822, 32823, 32831, 32833})
        CToolBarEx::SetCommandText(command, LangText("toolbar_ex", std::to_string(command).c_str(), ""));
    for (const char* key : {"title", "available", "current", "add", "remove", "reset", "up", "down", "close", "separator",
                            "textoptions", "text0", "text1", "text2", "iconoptions", "icon0", "icon1"})
        CCustomizeDialog::SetText(key, LangText("toolbar_ex", (std::string("dlg_") + key).c_str(), ""));
    // The bar shows the status's description in the new language.
    m_wndStatusBar->RefreshStatus();
    descriptionKey_.clear();
    RefreshMenus();
}

void CMainFrame::ApplySkin() {
    ctl::SetSkinType(shell::Paths().skinType);
    // The tool bar's normal pictures from the skin; the built-in bar where the skin has none.
    const QString skin = QString::fromStdString(shell::Paths().skinFolder);
    const QFileInfo builtIn(ctl::ResourcePath(169));
    const bool own = QFileInfo::exists(skin + "/mainframebar.bmp");
    m_wndToolBar->SetButtonImagesFromFile(20, 19, own ? skin : builtIn.absolutePath(), own ? "mainframebar.bmp" : builtIn.fileName(),
                                          RGB(255, 0, 255), false);
    const bool ownDisabled = QFileInfo::exists(skin + "/mainframebar_disable.bmp");
    m_wndToolBar->SetDisabledImagesFromFile(20, 19, ownDisabled ? skin + "/mainframebar_disable.bmp" : builtIn.absoluteFilePath(),
                                            RGB(255, 0, 255));
    m_wndToolBar->SetBackgroundBitmapFile(shell::SkinFile("toolbarbg.bmp"), 0);
    m_dialButton->OnSkinChanged();
    m_hangupButton->OnSkinChanged();
    if (m_calls) m_calls->OnSkinChanged();  // the calls windows' dial bar: its status page again
    m_pSheet->OnSkinChanged();
    if (updateDialog_) updateDialog_->ApplyLanguage();
    // The status picture from the new skin; a progress or error text the bar showed stays.
    m_wndStatusBar->RefreshStatus();
    if (!descriptionKey_.empty())
        m_wndStatusBar->SetDescription(
            LangText(descriptionSection_.c_str(), descriptionKey_.c_str(), descriptionDefault_.c_str()));
    UpdateTrayIcon();
}

LRESULT CMainFrame::OnLanguageChanged(WPARAM, LPARAM) {
    ApplyLanguage();
    if (headPicDialog_) headPicDialog_->OnLanguageChanged();
    if (m_calls) m_calls->OnLanguageChanged();                         // calls windows
    if (ChatHooks().languageChanged) ChatHooks().languageChanged();  // chat windows
    return 1;
}

void CMainFrame::moveEvent(QMoveEvent* e) {
    QMainWindow::moveEvent(e);
    if (m_calls) m_calls->OnFrameMoved();  // the keypad follows the frame
}

void CMainFrame::UpdateTitle() {
    const std::string title = shell::FrameTitle(LangText("common", "str_app_title", "Corvina").toStdString(), m_nLoginState,
                                                m_wndStatusBar->GetStatus(), alias_.toStdString(), g_strUserId);
    setWindowTitle(QString::fromStdString(title));
}

LRESULT CMainFrame::OnRunSetup(WPARAM, LPARAM) {
    // Another program asks for the installer: this window goes, the installer of the installation runs.
    DebugTrace(MOD_SYSTEM, 2, "Installer asked for: closing");
    hide();
    QTimer::singleShot(0, this, &QWidget::close);
    const QString program = QString::fromStdString(plat::PathJoin(shell::Paths().appFolder, "setup"));
    if (runSetup) runSetup(program);
    else if (!QProcess::startDetached(program, {})) DebugTrace(MOD_SYSTEM, 1, "installer %s not started", program.toUtf8().constData());
    return 1;
}

void CMainFrame::AddToDialogList(QDialog* dialog) {
    if (dialog) m_dialogList.emplace_back(dialog);
}

void CMainFrame::RemoveFromDialogList(QDialog* dialog) {
    std::erase_if(m_dialogList, [dialog](const QPointer<QDialog>& d) { return d.isNull() || d == dialog; });
}

void CMainFrame::OnCloseAll() {
    // Each dialog still open is cancelled as its Cancel button would; the exit follows once their loops end.
    std::vector<QPointer<QDialog>> open;
    open.swap(m_dialogList);
    for (const QPointer<QDialog>& d : open)
        if (d) d->reject();
    PostMessage(m_hWnd, WM_FRAME_COMMAND, ID_APP_EXIT, 0);
}

LRESULT CMainFrame::OnSkinChanged(WPARAM, LPARAM) {
    ApplySkin();
    return 1;
}

void CMainFrame::UpdateTrayIcon() {
    if (!m_wndTray) return;
    m_wndTray->StopAnimation();
    const char* name = shell::TrayBitmapName(m_wndStatusBar->GetStatus());
    if (!name) return;
    const QImage img = ctl::LoadBitmapFile(shell::SkinFile(name));
    if (!img.isNull()) m_wndTray->SetIcon(QIcon(ctl::KeyedPixmap(img, RGB(0xEC, 0xE9, 0xD8))));
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
    if (!shell::WriteChatFont(shell::Paths().settingsPath, m_imFont)) DebugTrace(MOD_SYSTEM, 1, "chat font not written");
    linkTimer_.stop();
    // A window minimised to the tray is only hidden and keeps its place; one minimised in place does not.
    if (!isMaximized() && !(isMinimized() && isVisible())) {
        const QRect g = geometry();
        shell::SkinWrite("position", "left", std::to_string(g.left()));
        shell::SkinWrite("position", "top", std::to_string(g.top()));
        shell::SkinWrite("position", "width", std::to_string(g.width()));
        shell::SkinWrite("position", "height", std::to_string(g.height()));
        shell::SkinWrite("position", "alwaystop", m_bAlwaysOnTop ? "1" : "0");
    }
    hide();
    if (m_wndTray) m_wndTray->RemoveIcon();
    // The pages close before the sign-out: the call pages hang up at once and the address book saves
    // its groups' flags, which the sign-out's reset would otherwise drop with the store.
    ClosePages();
    if (m_calls) m_calls->DestroyKeypad();
    bool anyOnline = false;
    ForEachAccount([&](Account* a) {
        if (!Account_IsOffline(a)) anyOnline = true;
    });
    if (anyOnline) {
        DebugTrace(MOD_SYSTEM, 2, "Signing out before exit");
        LogoffReset(LOGIN_SIGNING_OUT);
        // Nothing else runs on this thread meanwhile: what arrives waits and goes with the window.
        for (int i = 0; i < 10; ++i)
            if (m_nLoginState != LOGIN_SIGNED_OUT) Sleep(500);
    } else {
        LogoffReset(LOGIN_SIGNED_OUT);
    }
    FinishClose();
}

void CMainFrame::ReadChatSettings() {
    const int left = shell::SkinInt("imconfig", "left", -1), top = shell::SkinInt("imconfig", "top", -1);
    const int width = shell::SkinInt("imconfig", "width", -1), height = shell::SkinInt("imconfig", "height", -1);
    const int autoplay = shell::SkinInt("imconfig", "autoplay", -1), shortkey = shell::SkinInt("imconfig", "shortkey", -1);
    shell::ImSettings& im = shell::FrameImSettings();
    im = shell::ImSettings();
    im.hideOnStart = shell::SkinInt("imconfig", "hide", 1);
    if (autoplay != -1) im.autoPlay = autoplay != 0;
    if (shortkey != -1) im.sendKey = shortkey == 1 ? 1 : 2;
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry() : QRect();
    if (left != -1 && top != -1 && width != -1 && height != -1 && screen.contains(QPoint(left, top)) &&
        width <= screen.width() && height <= screen.height())
        im.window = QRect(left, top, width, height);
}

void CMainFrame::FinishClose() {
    DebugTrace(MOD_SYSTEM, 2, "Sign-out wait over, state %d", m_nLoginState);
    closed_ = true;
    if (onClosed) onClosed();
    close();
}
