// The tray icon, the status and tray menus, the sheet's call-tab menu and the dial bar from anywhere,
// the start page's sign-in link and balance button, and the system's language, offscreen.
#include <fstream>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <cstring>
#include <map>

#include "shell_test_app.h"
#include "common/appenv.h"
#include "platform/fs.h"
#include "platform/msgqueue.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "service/as_records.h"
#include "ui/controls/links.h"
#include "ui/controls/statics.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/dialog_box.h"
#include "ui/shell/identity_dialogs.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/system_tray.h"
#include "ui/shell/splash.h"
#include "fake_calls.h"

namespace {

class ShellTray : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        app = shelltest::StartOffscreenApp();
        profile = shelltest::NewTempFolder("tray");
        plat::SetBaseFolder(profile);
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, profile, false);
        shell::ApplyLanguageCode("eng");
        QDir::setCurrent(TESSALY_BINARY_DIR);
    }
    void SetUp() override {
        shell::ApplySkinType("default");
        shell::ApplyLanguageCode("eng");
    }
    static inline QApplication* app = nullptr;
    static inline std::string profile;
};

struct ItemState {
    bool enabled, checked;
    bool operator==(const ItemState&) const = default;
};
ItemState StateOf(TrelMenu* menu, int command) {
    QAction* a = menu->FindCommand(command);
    return a ? ItemState{a->isEnabled(), a->isChecked()} : ItemState{false, false};
}

QIcon Solid(QColor c) {
    QPixmap pm(16, 16);
    pm.fill(c);
    return QIcon(pm);
}

}  // namespace

TEST(SystemLanguage, ChineseOnlyForTheFirstSetLocaleOfChina) {
    struct Case {
        const char *all, *messages, *lang;
        bool chinese;
    };
    const Case cases[] = {
        {nullptr, nullptr, "zh_CN.UTF-8", true},
        {nullptr, nullptr, "zh_CN.GB18030", true},
        {nullptr, nullptr, "zh_CN", true},
        {nullptr, nullptr, "zh_TW.UTF-8", false},  // another Chinese, another language identifier
        {nullptr, nullptr, "en_US.UTF-8", false},
        {nullptr, nullptr, nullptr, false},
        {"en_GB.UTF-8", nullptr, "zh_CN.UTF-8", false},  // LC_ALL wins
        {"", "zh_CN.UTF-8", "en_US.UTF-8", true},         // an empty one is not set
        {nullptr, "C", "zh_CN.UTF-8", false},
        {"zh_CN@stroke", nullptr, nullptr, true},
    };
    for (const Case& c : cases) {
        std::map<std::string, const char*> env = {{"LC_ALL", c.all}, {"LC_MESSAGES", c.messages}, {"LANG", c.lang}};
        EXPECT_EQ(c.chinese, shell::SystemLanguageIsChinese([&](const char* n) { return env[n]; }))
            << (c.all ? c.all : "-") << " " << (c.messages ? c.messages : "-") << " " << (c.lang ? c.lang : "-");
    }
}

TEST_F(ShellTray, TipIsCutTo63Characters) {
    EXPECT_EQ(63, shell::CutTrayTip(QString(100, 'x')).size());
    EXPECT_EQ("short", shell::CutTrayTip("short"));
    // A character outside the basic plane is never cut in half.
    const QString wide = QString(62, 'a') + QString::fromUtf8("\xF0\x9F\x98\x80");
    EXPECT_EQ(62, shell::CutTrayTip(wide).size());
    CSystemTray tray;
    tray.Create(nullptr, WM_USER + 1014, QString(80, 'y'), Solid(Qt::blue), 0);
    EXPECT_EQ(QString(63, 'y'), tray.GetTipText());
    tray.SetTipText(QString(64, 'z'));
    EXPECT_EQ(QString(63, 'z'), tray.GetTipText());
}

TEST_F(ShellTray, AnimationRunsItsSecondsThenShowsTheIconAgain) {
    plat::TestClock clock(1000);
    CSystemTray tray;
    const QIcon still = Solid(Qt::green);
    tray.Create(nullptr, WM_USER + 1014, "t", still, 0);
    EXPECT_FALSE(tray.StartAnimation(500, 2)) << "no frames, no animation";
    tray.SetAnimationFrames({Solid(Qt::red), Solid(Qt::yellow)});
    ASSERT_TRUE(tray.StartAnimation(500, 2));
    EXPECT_TRUE(tray.Animating());
    EXPECT_EQ(0, tray.FrameIndex());
    std::vector<int> frames;
    for (int i = 0; i < 3; ++i) {
        clock.advance(500);
        tray.OnAnimationTick();
        frames.push_back(tray.FrameIndex());
    }
    EXPECT_EQ((std::vector<int>{1, 0, 1}), frames) << "the frames in turn, wrapping";
    clock.advance(499);  // 1999 ms in
    tray.OnAnimationTick();
    EXPECT_TRUE(tray.Animating());
    clock.advance(1);
    tray.OnAnimationTick();
    EXPECT_FALSE(tray.Animating()) << "two seconds are over";
    EXPECT_EQ(still.cacheKey(), tray.GetIcon().cacheKey()) << "the icon of before again";

    // Without a length it runs until stopped.
    ASSERT_TRUE(tray.StartAnimation(500, 0));
    clock.advance(3600 * 1000);
    tray.OnAnimationTick();
    EXPECT_TRUE(tray.Animating());
    tray.StopAnimation();
    EXPECT_FALSE(tray.Animating());
    EXPECT_EQ(still.cacheKey(), tray.GetIcon().cacheKey());
}

TEST_F(ShellTray, TrayMenuGreysAndChecksByTheSignInState) {
    struct Case {
        bool frame;
        int loginState, status;
        ItemState online, offline;
    };
    const ItemState on{true, false}, grey{false, false}, mark{false, true};
    const Case cases[] = {
        {true, LOGIN_SIGNED_OUT, STATUS_OFFLINE, on, mark},
        {true, LOGIN_SIGNED_IN, STATUS_ONLINE, mark, on},
        {true, LOGIN_SIGNED_IN, STATUS_BUSY, on, on},
        {true, LOGIN_SIGNING_IN, STATUS_OFFLINE, grey, mark},
        {true, LOGIN_SIGNING_OUT, STATUS_ONLINE, mark, grey},
        {false, LOGIN_SIGNED_OUT, STATUS_OFFLINE, grey, mark},
    };
    for (const Case& c : cases) {
        std::unique_ptr<TrelMenu> menu(shell::BuildTrayMenu(nullptr, c.frame, c.loginState, c.status));
        ASSERT_TRUE(menu);
        EXPECT_EQ(c.online, StateOf(menu.get(), ID_STATUS_ONLINE)) << c.loginState << "/" << c.status;
        EXPECT_EQ(c.offline, StateOf(menu.get(), ID_STATUS_OFFLINE)) << c.loginState << "/" << c.status;
        EXPECT_TRUE(StateOf(menu.get(), ID_SHOW_WINDOW).enabled);
        EXPECT_TRUE(StateOf(menu.get(), ID_CLOSE_ALL).enabled);
    }
    // The status submenu first, then show, a separator and exit; texts from the language file.
    std::unique_ptr<TrelMenu> menu(shell::BuildTrayMenu(nullptr, true, LOGIN_SIGNED_OUT, STATUS_OFFLINE));
    const QList<QAction*> items = menu->actions();
    ASSERT_EQ(4, items.size());
    ASSERT_TRUE(qobject_cast<TrelMenu*>(items[0]->menu()));
    EXPECT_EQ(shell::LangText("tray_popup_menu", "0", ""), items[0]->text());
    EXPECT_EQ(shell::LangText("tray_popup_menu", "00", ""), menu->FindCommand(ID_STATUS_ONLINE)->text());
    EXPECT_EQ(shell::LangText("tray_popup_menu", "01", ""), menu->FindCommand(ID_STATUS_OFFLINE)->text());
    EXPECT_EQ(ID_SHOW_WINDOW, items[1]->data().toInt());
    EXPECT_TRUE(items[2]->isSeparator());
    EXPECT_EQ(ID_CLOSE_ALL, items[3]->data().toInt());
    EXPECT_FALSE(menu->FindCommand(ID_STATUS_ONLINE)->icon().isNull()) << "the skin's trayOnline picture";

    // A skin without the status pictures shows no menu at all.
    shell::ApplySkinType("no-such-skin");
    EXPECT_EQ(nullptr, shell::BuildTrayMenu(nullptr, true, LOGIN_SIGNED_OUT, STATUS_OFFLINE));
    EXPECT_EQ(nullptr, shell::BuildStatusMenu(nullptr, LOGIN_SIGNED_OUT, STATUS_OFFLINE));
}

TEST_F(ShellTray, StatusMenuHoldsOnlineAndOffline) {
    struct Case {
        int loginState, status;
        ItemState online, offline;
    };
    const ItemState on{true, false}, grey{false, false}, mark{false, true};
    const Case cases[] = {
        {LOGIN_SIGNED_OUT, STATUS_OFFLINE, on, mark},
        {LOGIN_SIGNED_IN, STATUS_ONLINE, mark, on},
        {LOGIN_SIGNED_IN, STATUS_BUSY, on, on},
        {LOGIN_SIGNING_IN, STATUS_OFFLINE, grey, grey},
        {LOGIN_SIGNING_OUT, STATUS_ONLINE, grey, grey},
    };
    for (const Case& c : cases) {
        std::unique_ptr<TrelMenu> menu(shell::BuildStatusMenu(nullptr, c.loginState, c.status));
        ASSERT_TRUE(menu);
        ASSERT_EQ(2, menu->actions().size());
        EXPECT_EQ(c.online, StateOf(menu.get(), ID_STATUS_ONLINE)) << c.loginState << "/" << c.status;
        EXPECT_EQ(c.offline, StateOf(menu.get(), ID_STATUS_OFFLINE)) << c.loginState << "/" << c.status;
    }
    std::unique_ptr<TrelMenu> menu(shell::BuildStatusMenu(nullptr, LOGIN_SIGNED_OUT, STATUS_OFFLINE));
    EXPECT_EQ(shell::LangText("status_popup_menu", "0", ""), menu->actions()[0]->text());
    EXPECT_EQ(shell::LangText("status_popup_menu", "1", ""), menu->actions()[1]->text());
    EXPECT_FALSE(menu->actions()[0]->icon().isNull()) << "onlinemi";
}

TEST_F(ShellTray, IconMessagesReachTheFrameAndTheMenu) {
    CSystemTray tray;
    tray.Create(nullptr, WM_USER + 1014, "t", Solid(Qt::blue), 0);
    std::vector<int> commands;
    tray.onCommand = [&](int id) { commands.push_back(id); };
    tray.frameState = [](int* loginState, int* status) {
        *loginState = LOGIN_SIGNED_IN;
        *status = STATUS_ONLINE;
        return true;
    };
    EXPECT_EQ(0, tray.OnIconNotify(7, shell::kTrayRButtonUp)) << "another icon's message";
    EXPECT_EQ(1, tray.OnIconNotify(0, shell::kTrayLButtonDblClk));
    EXPECT_EQ(std::vector<int>{ID_SHOW_WINDOW}, commands);
    int shown = 0;
    tray.trackMenu = [&](TrelMenu* menu, const QPoint&) {
        ++shown;
        EXPECT_EQ((ItemState{false, true}), StateOf(menu, ID_STATUS_ONLINE));
        menu->FindCommand(ID_STATUS_OFFLINE)->trigger();
    };
    EXPECT_EQ(1, tray.OnIconNotify(0, shell::kTrayRButtonUp));
    EXPECT_EQ(1, shown);
    EXPECT_EQ((std::vector<int>{ID_SHOW_WINDOW, ID_STATUS_OFFLINE}), commands);
    EXPECT_EQ(1, tray.OnIconNotify(0, shell::kTrayMButtonUp));
    EXPECT_EQ(2u, commands.size()) << "other buttons do nothing";
}

// The right button's menu brings a shown owner to the foreground; one hidden to the tray stays hidden.
TEST_F(ShellTray, TheMenuBringsAShownOwnerForwardOnly) {
    QWidget owner, other;
    CSystemTray tray;
    tray.Create(&owner, 0, "tip", QIcon(), 0);
    tray.trackMenu = [](TrelMenu*, const QPoint&) {};
    tray.OnIconNotify(0, shell::kTrayRButtonUp);
    EXPECT_FALSE(owner.isVisible());
    owner.show();
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &other; }, 5000));
    tray.OnIconNotify(0, shell::kTrayRButtonUp);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &owner; }, 5000));
}

TEST_F(ShellTray, FrameTrayAndStatusMenuFollowTheStatus) {
    CMainFrame frame;
    ASSERT_TRUE(frame.Tray());
    frame.SetPresenceStatus(STATUS_OFFLINE);
    EXPECT_EQ(shell::CutTrayTip(shell::LangText("tray_tip", "1", "")), frame.Tray()->GetTipText());
    // Choosing online from the tray while signed out signs in: without a user, the login dialog asks
    // (or a box says the network is down); no status is set.
    int asked = 0;
    frame.runLoginDialog = [&](QString*, QString*) {
        ++asked;
        return false;
    };
    frame.showBox = [&](const QString&, const QString&) { ++asked; };
    frame.Tray()->trackMenu = [](TrelMenu* menu, const QPoint&) { menu->FindCommand(ID_STATUS_ONLINE)->trigger(); };
    frame.Tray()->OnIconNotify(0, shell::kTrayRButtonUp);
    EXPECT_TRUE(QTest::qWaitFor([&] { return asked > 0; }, 5000));
    EXPECT_EQ(STATUS_OFFLINE, frame.StatusBar()->GetStatus());
    // The right button brings a shown frame forward, above another window.
    frame.show();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &other; }, 5000));
    frame.Tray()->trackMenu = [](TrelMenu*, const QPoint&) {};
    frame.Tray()->OnIconNotify(0, shell::kTrayRButtonUp);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &frame; }, 5000));
    frame.hide();
    // A call page makes the tray icon blink until the call is dealt with.
    frame.StartTrayAnimation();
    EXPECT_TRUE(frame.Tray()->Animating());
    frame.SetPresenceStatus(STATUS_OFFLINE);
    EXPECT_FALSE(frame.Tray()->Animating());
}

TEST_F(ShellTray, DialButtonStaysOffWhileOfflineAndLanguageSelectsThePageAgain) {
    shell::EnableDialButton(true);  // no frame: nothing happens
    EXPECT_FALSE(shell::IsDialButtonEnabled());
    CMainFrame frame;
    auto* dial = frame.findChild<QAbstractButton*>("dialBarCall");
    auto* hangup = frame.findChild<QAbstractButton*>("dialBarHangup");
    ASSERT_TRUE(dial && hangup);
    frame.SetPresenceStatus(STATUS_OFFLINE);
    shell::EnableDialButton(true);
    EXPECT_FALSE(dial->isEnabled()) << "offline: no call can be placed";
    hangup->setEnabled(true);
    shell::EnableHangupButton(true);
    EXPECT_FALSE(hangup->isEnabled()) << "offline, every dial-bar button is held off";
    frame.SetPresenceStatus(STATUS_ONLINE);
    shell::EnableHangupButton(true);
    EXPECT_TRUE(hangup->isEnabled());
    shell::EnableDialButton(true);
    EXPECT_TRUE(shell::IsDialButtonEnabled());
    shell::EnableDialButton(false);
    EXPECT_FALSE(dial->isEnabled());

    int selected = 0;
    QObject::connect(frame.Sheet(), &QTabWidget::currentChanged, [&](int i) {
        ++selected;
        EXPECT_EQ(frame.Sheet()->currentIndex(), i);
    });
    EXPECT_EQ(1, SendToFrame(WM_LANGUAGE_CHANGED, 0, 0));
    EXPECT_GE(selected, 1) << "the active page is selected again after a language change";
    int before = selected;
    EXPECT_EQ(1, SendToFrame(WM_SKIN_CHANGED, 0, 0));
    EXPECT_GT(selected, before) << "and after a skin change";
    before = selected;
    frame.StatusBar()->SetStatus(STATUS_BUSY);
    EXPECT_EQ(before + 1, selected) << "and after a new status";
    EXPECT_EQ(shell::LangText("status_description", "2", ""), frame.StatusBar()->findChild<QLabel*>("presenceText")->text());
    auto* icon = frame.StatusBar()->findChild<CPaintedStatic*>();
    ASSERT_NE(nullptr, icon);
    EXPECT_TRUE(icon->isVisibleTo(frame.StatusBar()));
    // A status without a text or a picture: "Unknown", and no picture rather than the previous one.
    frame.StatusBar()->SetStatus(9);
    EXPECT_EQ("Unknown", frame.StatusBar()->findChild<QLabel*>("presenceText")->text());
    EXPECT_FALSE(icon->isVisibleTo(frame.StatusBar()));
    frame.StatusBar()->SetStatus(STATUS_ONLINE);
    EXPECT_TRUE(icon->isVisibleTo(frame.StatusBar()));
    // The description and the status's text share the one text pane: the last one set shows.
    EXPECT_EQ(1, frame.StatusBar()->findChildren<QLabel*>().size());
    frame.StatusBar()->SetDescription("Registering the phone line...");
    EXPECT_EQ("Registering the phone line...", frame.StatusBar()->findChild<QLabel*>("presenceText")->text());
    frame.StatusBar()->SetStatus(STATUS_BUSY);
    EXPECT_EQ(shell::LangText("status_description", "2", ""), frame.StatusBar()->Description());
}

TEST_F(ShellTray, CallPagesOfTheSheetFromAnywhere) {
    EXPECT_EQ(nullptr, shell::FindAnyCallPage());
    // Signed in, the fixed pages stand before the calls: the start page, the contacts, dial, the call
    // log and the service page; the sheet records their count.
    shell::CallWindowsFactoryRef() = [](CMainFrame*, CChildView*, QAbstractButton*, QAbstractButton*) {
        return std::make_unique<fakecalls::Hook>();
    };
    BookHooks().createPage = [] { return new fakecalls::Page(PAGE_BOOK, "Contacts"); };
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_IN);
    ASSERT_EQ(5, frame.Sheet()->count());
    EXPECT_EQ(5, frame.Sheet()->m_nFirstCallTab);
    auto* calling = new fakecalls::Page(PAGE_CALL, "Bob@Example.net", 0);
    frame.Sheet()->AddPage(calling);
    EXPECT_EQ(calling, shell::FindAnyCallPage());
    EXPECT_EQ(calling, shell::FindUnansweredCallPage());
    EXPECT_EQ(nullptr, shell::FindTalkingCallPage());
    auto* talking = new fakecalls::Page(PAGE_CALL, "carol", 0);
    frame.Sheet()->AddPage(talking);
    talking->m_nState = 1;
    EXPECT_EQ(talking, shell::FindTalkingCallPage());
    EXPECT_TRUE(frame.Sheet()->HasCallPage());

    // The right-click menu: on the tabs from the first call tab on, with hold or resume as the frame
    // knows the call.
    bool held = false;
    frame.Sheet()->activeCallHeld = [&] { return held; };
    std::vector<std::vector<std::pair<int, bool>>> menus;
    frame.Sheet()->trackMenu = [&](TrelMenu* menu, const QPoint&) {
        std::vector<std::pair<int, bool>> rows;
        for (QAction* a : menu->actions()) rows.push_back({a->data().toInt(), a->isEnabled()});
        menus.push_back(rows);
    };
    frame.show();
    QCoreApplication::processEvents();
    CSkinTabCtrl* tabs = frame.Sheet()->Tabs();
    auto click = [&](int tab) { return frame.Sheet()->OnContextMenu(tabs->mapToGlobal(tabs->tabRect(tab).center())); };
    for (int fixed = 0; fixed < 5; ++fixed) EXPECT_FALSE(click(fixed)) << "fixed page " << fixed;
    EXPECT_TRUE(click(6));
    EXPECT_EQ(talking, frame.Sheet()->currentWidget()) << "the tab clicked becomes the active page";
    held = true;
    EXPECT_TRUE(click(5));
    ASSERT_EQ(2u, menus.size());
    EXPECT_EQ((std::vector<std::pair<int, bool>>{{ID_SHEET_HANGUP, true}, {ID_SHEET_HOLD, false}}), menus[0]);
    EXPECT_EQ((std::vector<std::pair<int, bool>>{{ID_SHEET_HANGUP, true}, {ID_SHEET_UNHOLD, false}}), menus[1]);
    frame.hide();
    frame.Sheet()->ClosePage(talking);
    frame.Sheet()->ClosePage(calling);
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    BookHooks() = FrameBookHooks();
    shell::CallWindowsFactoryRef() = nullptr;

    // Before any sign-in the first five tabs carry no menu, whatever their pages are.
    CMainFrame out;
    auto* early = new fakecalls::Page(PAGE_CALL, "dave", 0);
    out.Sheet()->AddPage(early);
    out.Sheet()->trackMenu = [&](TrelMenu*, const QPoint&) { menus.push_back({}); };
    out.show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(out.Sheet()->OnContextMenu(out.Sheet()->Tabs()->mapToGlobal(out.Sheet()->Tabs()->tabRect(1).center())));
    EXPECT_EQ(2u, menus.size());
}

TEST_F(ShellTray, StartPageSignInLinkAndBalanceButton) {
    shell::CNavigateLinks links;
    links.show();
    links.SetMode(LOGIN_SIGNED_OUT);
    EXPECT_TRUE(links.Control(shell::NAV_LOGIN)->isVisible());
    EXPECT_FALSE(links.Control(shell::NAV_LOGINING)->isVisible());
    // The balance button is no part of the mode table: hidden from the start, it stays so while the
    // query link comes and goes.
    EXPECT_FALSE(links.Control(shell::NAV_PREPAY_BUTTON)->isVisible());
    EXPECT_FALSE(links.Control(shell::NAV_QUERY)->isVisible());
    links.SetMode(LOGIN_SIGNING_IN);
    EXPECT_FALSE(links.Control(shell::NAV_LOGIN)->isVisible());
    EXPECT_TRUE(links.Control(shell::NAV_LOGINING)->isVisible());
    EXPECT_FALSE(links.Control(shell::NAV_PREPAY_BUTTON)->isVisible());
    links.SetMode(LOGIN_SIGNED_IN);
    auto* button = qobject_cast<QPushButton*>(links.Control(shell::NAV_PREPAY_BUTTON));
    ASSERT_TRUE(button);
    EXPECT_FALSE(button->isVisible());
    EXPECT_EQ(shell::LangText("navigate_dialog", "qz_prepay", ""), button->text());
    int queries = 0;
    QObject::connect(&links, &shell::CNavigateLinks::queryBalance, [&] { ++queries; });
    button->click();
    EXPECT_EQ(1, queries) << "the prepay button asks for the balance";
    // The newer version's picture is the program's own bitmap.
    auto* picture = qobject_cast<CPaintedStatic*>(links.Control(shell::NAV_UPDATE_PIC));
    ASSERT_TRUE(picture);
    EXPECT_EQ(QSize(20, 20), picture->sizeHint());

    // The sign-in link posts the log-in command to the frame.
    std::vector<WPARAM> posted;
    plat::WindowTarget target;
    target.handler = [&](HWND, UINT m, WPARAM w, LPARAM) -> LRESULT {
        if (m == 0x0111) posted.push_back(w);
        return 0;
    };
    target.poster = [](std::function<void()> task) { QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection); };
    target.ownerThread = GetCurrentThreadId();
    const HWND hwnd = plat::RegisterWindowTarget(std::move(target));
    g_hMainWnd = hwnd;
    links.SetMode(LOGIN_SIGNED_OUT);
    emit links.Link(shell::NAV_LOGIN)->linkClicked();
    QCoreApplication::processEvents();
    g_hMainWnd = nullptr;
    plat::UnregisterWindowTarget(hwnd);
    EXPECT_EQ(std::vector<WPARAM>{ID_LOGIN}, posted);
}

TEST_F(ShellTray, StartPageTextsAreCutTo32Characters) {
    const std::string saved = shell::Paths().langFile;
    const std::string file = shelltest::NewTempFolder("navlang") + "/zylong.ini";
    const std::string longText(40, 'x');
    {
        std::ofstream out(file);
        out << "[navigate_dialog]\n";
        for (const char* key : {"tip1", "tip2", "tip3", "txt_no_contact_online", "txt_one_contact_online", "txt_contact_online",
                                "msg_login", "msg_logining", "qz_query", "qz_prepay"})
            out << key << "=" << longText << "\n";
    }
    shell::Paths().langFile = file;
    shell::CNavigateLinks links;
    const QString cut = QString::fromStdString(longText.substr(0, 32));
    EXPECT_EQ(cut, static_cast<QLabel*>(links.Control(shell::NAV_TIP))->text());
    EXPECT_EQ(cut, static_cast<QLabel*>(links.Control(shell::NAV_LOGINING))->text());
    EXPECT_EQ(cut, static_cast<QPushButton*>(links.Control(shell::NAV_PREPAY_BUTTON))->text());
    for (int id : {shell::NAV_LOGIN, shell::NAV_QUERY, shell::NAV_PREPAY, shell::NAV_MISSED})
        EXPECT_EQ(cut, links.Link(id)->text()) << id;
    EXPECT_EQ("3 " + cut, shell::MissedCallText(3));
    for (int n : {0, 1, 2}) EXPECT_EQ((n ? QString::number(n) + " " : QString()) + cut, shell::OnlineContactText(n)) << n;
    shell::Paths().langFile = saved;
}

TEST_F(ShellTray, ServicePageTitleAndDialogButtonsFromTheLanguage) {
    shell::ApplyLanguageCode("no-such-language");
    CPageService page;
    EXPECT_EQ(QString::fromUtf8("服务"), page.TabTitle()) << "the built-in title";
    shell::ApplyLanguageCode("chs");
    CSelectIdentityDlg identity;
    CPasswordDlg password;
    // Each dialog's buttons carry its own texts (the chooser's OK is not the prompt's).
    const std::pair<QDialog*, QStringList> buttons[] = {
        {&identity, {QString::fromUtf8(" 确认(&O)"), QString::fromUtf8("取消(&C)")}},
        {&password, {QString::fromUtf8("确定(&O)"), QString::fromUtf8("取消(&C)")}}};
    for (const auto& [dlg, want] : buttons) {
        QStringList texts;
        for (QAbstractButton* b : dlg->findChild<QDialogButtonBox*>()->buttons()) texts << b->text();
        texts.sort();
        QStringList sorted = want;
        sorted.sort();
        EXPECT_EQ(sorted, texts);
    }
    EXPECT_FALSE(identity.findChild<QLabel*>("identityPicture")->pixmap().isNull()) << "the program's icon";
    // Cancel ends with 2, OK with 1.
    QDialogButtonBox* box = password.findChild<QDialogButtonBox*>();
    emit box->rejected();
    EXPECT_EQ(2, password.result());
    password.PasswordEdit()->setText("pw");
    emit box->accepted();
    EXPECT_EQ(1, password.result());
    identity.reject();  // Escape or the window's close button
    EXPECT_EQ(2, identity.result());
}

TEST_F(ShellTray, NoSplashWithoutItsPicture) {
    CSplashWindow::EnableSplash(true);
    shell::ApplySkinType("no-such-skin");
    EXPECT_EQ(nullptr, CSplashWindow::ShowSplash(nullptr));
    shell::ApplySkinType("default");
    CSplashWindow* splash = CSplashWindow::ShowSplash(nullptr);
    ASSERT_NE(nullptr, splash);
    CSplashWindow::HideSplash();
    // The frame shows it while it is being made, as its owner, before its tray icon exists.
    {
        CMainFrame frame;
        ASSERT_NE(nullptr, CSplashWindow::Current());
        EXPECT_EQ(&frame, CSplashWindow::Current()->parentWidget());
        EXPECT_TRUE(CSplashWindow::Current()->isWindow());
    }
    EXPECT_EQ(nullptr, CSplashWindow::Current());
    CSplashWindow::EnableSplash(false);
}
