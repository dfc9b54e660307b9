// The frame's commands offscreen: what is greyed in each sign-in state, the presence commands while
// signed out, the title, the application's commands, close-all, the installer request, the chat font
// and the values the frame reads at start.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include "fake_calls.h"
#include "shell_test_app.h"
#include "common/appenv.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "service/settings_xml.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/shell/app_start.h"
#include "ui/shell/book_results.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/login_dialog.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/controls/links.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"

namespace {

class FrameCommands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        app = shelltest::StartOffscreenApp();
    }
    void SetUp() override {
        profile = shelltest::NewTempFolder("frame_cmd");
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, profile, false);
        shell::ApplyLanguageCode("eng");
        QDir::setCurrent(TESSALY_BINARY_DIR);
        g_strUserId.clear();
        opened.clear();
        shell::AddressOpener() = [this](const QString& url) { opened.push_back(url); };
    }
    void TearDown() override {
        BookHooks() = FrameBookHooks();
        ChatHooks() = ChatFrameHooks();
        g_strUserId.clear();
    }
    static QAction* Action(CMainFrame& f, int id) {
        auto it = f.Menus().actions.find(id);
        return it == f.Menus().actions.end() ? nullptr : it->second;
    }
    // The rules are applied as a menu opens, the way a user meets them.
    static void OpenMenus(CMainFrame& f) {
        for (QMenu* m : f.findChildren<QMenu*>()) emit m->aboutToShow();
    }
    static inline QApplication* app = nullptr;
    std::string profile;
    std::vector<QString> opened;
};

// A Contacts page of the test, with a selection of a chosen kind.
class TestBookPage : public CNqPropertyPage {
public:
    TestBookPage() : CNqPropertyPage(PAGE_BOOK) {}
    QString TabTitle() const override { return "Contacts"; }
    int TabImage() const override { return 1; }
};
int g_selectionKind = 0;
void InstallTestBook() {
    BookHooks().createPage = []() -> CNqPropertyPage* { return new TestBookPage; };
    BookHooks().selectionKind = [] { return g_selectionKind; };
}

}  // namespace

TEST_F(FrameCommands, SignedOutTheContactsCommandsAreGreyedSignedInTheyFollowTheSelection) {
    InstallTestBook();
    CMainFrame frame;
    frame.showBox = [](const QString&, const QString&) {};
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    OpenMenus(frame);
    const int book[] = {2937, 2938, 2940, 2941, 2958, 2960, 2961, 2840, 2846, 2847, 2850, 2929, 2930, 2931, 2963};
    for (int id : book) {
        QAction* a = Action(frame, id);
        ASSERT_NE(nullptr, a) << "the menu file lists " << id;
        EXPECT_FALSE(a->isEnabled()) << id << " signed out";
    }
    for (int id : {2919, 2921, 2922, 2924, 2925, 3114, 3115, 3116, 2943, 2944, 2962}) {
        ASSERT_NE(nullptr, Action(frame, id)) << id;
        EXPECT_TRUE(Action(frame, id)->isEnabled()) << id << " signed out";
    }
    EXPECT_FALSE(Action(frame, 2920)->isEnabled());
    for (int id : {ID_ADD_CONTACT, ID_DELETE_ITEM, ID_SEARCH}) EXPECT_FALSE(frame.ToolBar()->Button(id)->isEnabled()) << id;
    EXPECT_TRUE(frame.ToolBar()->Button(ID_HOME_PAGE)->isEnabled());
    EXPECT_TRUE(frame.ToolBar()->Button(ID_SPEAKER_MUTE)->isEnabled());

    g_strUserId = "bob1";
    g_selectionKind = 0;
    frame.LogoffReset(LOGIN_SIGNED_IN);
    OpenMenus(frame);
    for (int id : {2937, 2940, 2958, 2960, 2961, 2840, 2846, 2847, 2850, 2929, 2920})
        EXPECT_TRUE(Action(frame, id)->isEnabled()) << id << " signed in";
    EXPECT_FALSE(Action(frame, 2938)->isEnabled()) << "nothing selected";
    EXPECT_FALSE(Action(frame, 2941)->isEnabled());
    EXPECT_FALSE(Action(frame, 2921)->isEnabled());
    for (int id : {ID_ADD_CONTACT, ID_DELETE_ITEM, ID_SEARCH}) EXPECT_TRUE(frame.ToolBar()->Button(id)->isEnabled()) << id;
    g_selectionKind = 2;  // a contact
    OpenMenus(frame);
    EXPECT_TRUE(Action(frame, 2938)->isEnabled());
    EXPECT_FALSE(Action(frame, 2941)->isEnabled());
    g_selectionKind = 1;  // a group
    OpenMenus(frame);
    EXPECT_FALSE(Action(frame, 2938)->isEnabled());
    EXPECT_TRUE(Action(frame, 2941)->isEnabled());
    frame.LogoffReset(LOGIN_SIGNED_OUT);
}

TEST_F(FrameCommands, StatusCommandsWhileSignedOutSetNoStatusAndTheTitleFollowsTheSignIn) {
    CMainFrame frame;
    int dialogs = 0, boxes = 0;
    frame.runLoginDialog = [&](QString*, QString*) {
        ++dialogs;
        return false;
    };
    frame.showBox = [&](const QString&, const QString&) { ++boxes; };
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    frame.SetPresenceStatus(STATUS_OFFLINE);
    // The status bar's menu: offline checked and greyed, online open.
    int checkedOff = 0;
    std::unique_ptr<TrelMenu> statusMenu(frame.StatusBar()->MakeStatusMenu());
    ASSERT_TRUE(statusMenu);
    for (QAction* a : statusMenu->actions()) {
        if (a->data().toInt() != ID_STATUS_OFFLINE) continue;
        EXPECT_TRUE(a->isChecked());
        EXPECT_FALSE(a->isEnabled());
        ++checkedOff;
    }
    EXPECT_EQ(1, checkedOff);

    frame.Command(ID_STATUS_BUSY);
    EXPECT_EQ(STATUS_OFFLINE, frame.StatusBar()->GetStatus()) << "busy while signed out";
    frame.Command(ID_STATUS_ONLINE);
    EXPECT_EQ(STATUS_OFFLINE, frame.StatusBar()->GetStatus()) << "online while signed out signs in, sets nothing";
    // Without a user the sign-in asks for one (or says the network is down).
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs + boxes > 0; }, 5000));
    EXPECT_NE(LOGIN_SIGNED_IN, frame.m_nLoginState);

    // Signed in without an alias the title shows the user; signed out again it drops the name.
    g_strUserId = "bob1";
    frame.LogoffReset(LOGIN_SIGNED_IN);
    EXPECT_EQ("Tessaly - bob1", frame.windowTitle());
    frame.Command(ID_STATUS_BUSY);
    EXPECT_EQ(STATUS_BUSY, frame.StatusBar()->GetStatus());
    EXPECT_EQ("Tessaly - bob1", frame.windowTitle());
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    frame.SetPresenceStatus(STATUS_OFFLINE);
    EXPECT_EQ("Tessaly", frame.windowTitle());
    SendToFrame(WM_LANGUAGE_CHANGED, 0, 0);
    EXPECT_EQ("Tessaly", frame.windowTitle()) << "a language change keeps the signed-out title";
}

TEST_F(FrameCommands, ApplicationCommandsOpenTheSettingsAddresses) {
    CMainFrame frame;
    g_serviceSettings.portal.clear();
    g_serviceSettings.share = "file:///etc/passwd";
    g_serviceSettings.helpTopic = "https://help.example.org/topics";
    // The home button and the portal item: the built-in site when the settings name none.
    frame.Command(ID_HOME_PAGE);
    ASSERT_EQ(1u, opened.size());
    EXPECT_EQ(QString(shell::kBuiltInSite), opened[0]);
    EXPECT_EQ(shell::kBuiltInSite, g_serviceSettings.portal);
    g_serviceSettings.portal = "http://portal.example.org/";
    frame.Command(ID_PORTAL);
    EXPECT_EQ("http://portal.example.org/", opened.back());
    // A share address that is no web page is not handed to the desktop.
    frame.Command(ID_SHARE);
    EXPECT_EQ(2u, opened.size());
    g_serviceSettings.share = "https://share.example.org/tell";
    frame.Command(ID_SHARE);
    EXPECT_EQ("https://share.example.org/tell", opened.back());
    // Help: the help topics, or the chat window's test mode when [photo] test is 1.
    int tests = 0;
    ChatHooks().runTestWindow = [&] { ++tests; };
    frame.Command(ID_HELP);
    EXPECT_EQ("https://help.example.org/topics", opened.back());
    shell::ConfigWrite("photo", "test", "1");
    const size_t before = opened.size();
    frame.Command(ID_HELP);
    EXPECT_EQ(1, tests);
    EXPECT_EQ(before, opened.size());
    shell::ConfigWrite("photo", "test", "0");
    g_serviceSettings = ServiceSettings();
}

TEST_F(FrameCommands, ThePresenceMenuMarksOnlyTheStatusShown) {
    CMainFrame frame;
    frame.showBox = [](const QString&, const QString&) {};
    g_strUserId = "bob1";
    frame.LogoffReset(LOGIN_SIGNED_IN);
    for (int status : {STATUS_ONLINE, STATUS_BUSY, STATUS_ONLINE, STATUS_OFFLINE, STATUS_BUSY}) {
        SCOPED_TRACE(status);
        frame.SetPresenceStatus(status);
        OpenMenus(frame);
        for (int id : {ID_STATUS_ONLINE, ID_STATUS_OFFLINE, ID_STATUS_BUSY})
            EXPECT_EQ(id == ID_STATUS_ONLINE + status, Action(frame, id)->isChecked()) << id;
    }
    frame.LogoffReset(LOGIN_SIGNED_OUT);
}

TEST_F(FrameCommands, TheStartPagesPrepayLinkOpensOnlyAWebAddress) {
    CMainFrame frame;
    shell::CNavigateLinks* links = frame.StartPage()->Links();
    const struct {
        const char* prepay;
        bool opens;
    } cases[] = {{"https://pay.example.org/top-up", true}, {"file:///etc/passwd", false}, {"/usr/bin/xterm", false}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.prepay);
        opened.clear();
        g_serviceSettings.prepay = c.prepay;
        emit links->Link(shell::NAV_PREPAY)->linkClicked();
        ASSERT_EQ(c.opens ? 1u : 0u, opened.size());
        if (c.opens) EXPECT_EQ(QString(c.prepay), opened[0]);
    }
    g_serviceSettings = ServiceSettings();
}

// The dial commands of the menus, the accelerators and the dial bar reach the active page, whichever
// page it is (the Contacts page calls its selection), and nothing at all while the status is offline.
TEST_F(FrameCommands, DialCommandsGoToTheActivePageUnlessOffline) {
    std::map<std::string, int> seen;
    fakecalls::Registered calls(&seen);
    BookHooks().createPage = [] { return new fakecalls::Page(PAGE_BOOK, "Contacts"); };
    int bookDials = 0;
    BookHooks().filter = [&](UINT m, WPARAM w, LPARAM) {
        if (m == WM_FRAME_COMMAND && w == ID_DIAL) ++bookDials;
        return m == WM_FRAME_COMMAND && w == ID_DIAL;
    };
    CMainFrame frame;
    g_strUserId = "alice";
    frame.LogoffReset(LOGIN_SIGNED_IN);
    ASSERT_NE(nullptr, frame.ContactsPage());
    QWidget* dialPage = nullptr;
    for (int i = 0; i < frame.Sheet()->count(); ++i)
        if (auto* p = qobject_cast<CNqPropertyPage*>(frame.Sheet()->widget(i)); p && p->m_nType == PAGE_DIAL) dialPage = p;
    ASSERT_NE(nullptr, dialPage);
    struct Case {
        int status;
        bool onBook;
        int command;
        int bookDials, callDials;
    } cases[] = {
        {STATUS_ONLINE, true, ID_DIAL, 1, 0},
        {STATUS_ONLINE, true, ID_DIAL_ALT1, 1, 0},
        {STATUS_BUSY, true, ID_DIAL_ALT4, 1, 0},
        {STATUS_ONLINE, false, ID_DIAL_ALT1 + 2, 0, 1},
        {STATUS_ONLINE, false, ID_DIAL, 0, 1},
        {STATUS_OFFLINE, true, ID_DIAL, 0, 0},
        {STATUS_OFFLINE, false, ID_DIAL_ALT1 + 1, 0, 0},
    };
    for (const Case& c : cases) {
        bookDials = 0;
        seen.clear();
        frame.StatusBar()->SetStatus(c.status);
        frame.Sheet()->setCurrentWidget(c.onBook ? frame.ContactsPage() : dialPage);
        frame.Command(c.command);
        EXPECT_EQ(c.bookDials, bookDials) << c.command << " status " << c.status << " book " << c.onBook;
        EXPECT_EQ(c.callDials, seen["dial"]) << c.command << " status " << c.status << " book " << c.onBook;
    }
    frame.LogoffReset(LOGIN_SIGNED_OUT);
}

TEST_F(FrameCommands, SortCommandsWriteTheKindAndRebuildTheContacts) {
    unsigned rebuilt = 0;
    BookHooks().refresh = [&](unsigned r) { rebuilt |= r; };
    CMainFrame frame;
    frame.Command(ID_SORT_KIND1);
    EXPECT_EQ(1, shell::Paths().sortType);
    EXPECT_EQ(1, shell::ConfigInt("common", "sorttype", 0));
    EXPECT_TRUE(Action(frame, 2924)->isChecked());
    EXPECT_FALSE(Action(frame, 2925)->isChecked());
    EXPECT_NE(0u, rebuilt & shell::REBUILD_BUDDIES);
    frame.Command(ID_SORT_KIND2);
    EXPECT_EQ(2, shell::ConfigInt("common", "sorttype", 0));
    EXPECT_TRUE(Action(frame, 2925)->isChecked());
}

TEST_F(FrameCommands, SmsCommandOpensTheSmsWindowThroughTheChatSide) {
    std::vector<std::pair<UINT, WPARAM>> seen;
    ChatHooks().frameMessage = [&](UINT m, WPARAM w, LPARAM) {
        seen.emplace_back(m, w);
        return m == WM_SMS_OPEN;
    };
    CMainFrame frame;
    seen.clear();
    frame.Command(ID_SMS);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(WM_SMS_OPEN, seen.back().first);
    EXPECT_EQ(4u, seen.back().second) << "only show it";
}

TEST_F(FrameCommands, CloseAllCancelsTheOpenDialogsThenExitsAndTheChatFontIsWritten) {
    shell::ConfigWrite("IMFont", "Size", "240");
    auto* frame = new CMainFrame;
    EXPECT_EQ(240, frame->ChatTextFormat().size) << "read at construction";
    shell::ChatFont font = frame->ChatTextFormat();
    font.bold = true;
    frame->SetChatTextFormat(font);
    frame->show();
    bool closed = false;
    frame->onClosed = [&] { closed = true; };
    // A modal dialog the frame never listed is not the frame's to cancel.
    auto* unlisted = new QDialog(frame);
    unlisted->setModal(true);
    unlisted->open();
    bool unlistedEnded = false;
    QObject::connect(unlisted, &QDialog::finished, [&] { unlistedEnded = true; });
    {
        QDialog dialog(frame);
        dialog.setModal(true);
        frame->AddToDialogList(&dialog);
        EXPECT_EQ(1u, frame->DialogListSize());
        QTimer::singleShot(0, frame, [frame] { frame->Command(ID_CLOSE_ALL); });
        EXPECT_EQ(QDialog::Rejected, dialog.exec()) << "cancelled as its Cancel button would";
        frame->RemoveFromDialogList(&dialog);
    }
    EXPECT_FALSE(unlistedEnded);
    ASSERT_TRUE(QTest::qWaitFor([&] { return closed; }, 10000)) << "the exit follows";
    EXPECT_EQ(0u, frame->DialogListSize());
    const shell::ChatFont written = shell::ReadChatFont(shell::Paths().settingsPath);
    EXPECT_EQ(240, written.size);
    EXPECT_TRUE(written.bold);
    delete frame;
}

TEST_F(FrameCommands, TheLoginDialogIsListedWhileItRuns) {
    CMainFrame frame;
    size_t listed = 0;
    QTimer::singleShot(0, &frame, [&] {
        listed = frame.DialogListSize();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible()) d->reject();
    });
    frame.Command(ID_LOGIN_AS);
    EXPECT_EQ(1u, listed);
    EXPECT_EQ(0u, frame.DialogListSize());
    EXPECT_EQ(LOGIN_SIGNED_OUT, frame.m_nLoginState);
}

TEST_F(FrameCommands, AnInstallerRequestClosesTheWindowAndRunsTheInstaller) {
    auto* frame = new CMainFrame;
    frame->show();
    QString program;
    frame->runSetup = [&](const QString& p) { program = p; };
    bool closed = false;
    frame->onClosed = [&] { closed = true; };
    EXPECT_EQ(1, SendToFrame(WM_RUN_SETUP, 0, 0));
    EXPECT_TRUE(frame->isHidden());
    EXPECT_EQ(QString::fromStdString(plat::PathJoin(shell::Paths().appFolder, "setup")), program);
    ASSERT_TRUE(QTest::qWaitFor([&] { return closed; }, 10000));
    delete frame;
}

TEST_F(FrameCommands, ASkinChangesTheToolBarsPicturesButNotItsHoverPictures) {
    CMainFrame frame;
    const QImage builtIn = frame.ToolBar()->Image(0, false).toImage();
    ASSERT_FALSE(builtIn.isNull());
    EXPECT_EQ(builtIn, frame.ToolBar()->Image(0, true).toImage());
    // A skin whose bar is a plain green strip.
    const std::string skin = shelltest::NewTempFolder("frame_skin");
    QImage strip(20 * 6, 19, QImage::Format_RGB32);
    strip.fill(QColor(0, 200, 0));
    ASSERT_TRUE(strip.save(QString::fromStdString(skin + "/mainframebar.bmp"), "BMP"));
    const std::string before = shell::Paths().skinFolder;
    shell::Paths().skinFolder = skin;
    EXPECT_EQ(1, SendToFrame(WM_SKIN_CHANGED, 0, 0));
    shell::Paths().skinFolder = before;
    EXPECT_EQ(QColor(0, 200, 0).rgb(), frame.ToolBar()->Image(0, false).toImage().pixel(10, 9));
    EXPECT_EQ(builtIn, frame.ToolBar()->Image(0, true).toImage()) << "hovering shows the built-in pictures";
}

TEST_F(FrameCommands, StartValuesTheDisabledToolBarAndTheLanguageReachesTheChatSide) {
    shell::ConfigWrite("common", "ucountnumber", "17");
    shell::g_contactCounter = -1;
    int languageChanges = 0;
    ChatHooks().languageChanged = [&] { ++languageChanges; };
    CMainFrame frame;
    EXPECT_EQ(17, shell::g_contactCounter) << "the counter of the last run";
    // The skin's disabled pictures are those of the disabled buttons.
    EXPECT_FALSE(frame.ToolBar()->DisabledImage(0).isNull());
    EXPECT_NE(frame.ToolBar()->DisabledImage(0).toImage(), frame.ToolBar()->Image(0, false).toImage());
    languageChanges = 0;
    SendToFrame(WM_LANGUAGE_CHANGED, 0, 0);
    EXPECT_EQ(1, languageChanges);
    // The emoticon table of the installation, its pictures 19 x 19.
    ASSERT_FALSE(frame.FaceImages().isEmpty());
    EXPECT_EQ(QSize(19, 19), frame.FaceImages()[0].size());
    EXPECT_TRUE(shell::FaceTable()[0].available);
    shell::ConfigWrite("common", "ucountnumber", "many");
    shell::g_contactCounter = -1;
    // The chat settings of [imconfig]: a send key other than 1 is Ctrl+Enter.
    shell::SkinWrite("imconfig", "shortkey", "3");
    shell::SkinWrite("imconfig", "autoplay", "5");
    CMainFrame second;
    EXPECT_EQ(-1, shell::g_contactCounter) << "a word is no counter";
    EXPECT_EQ(2, shell::FrameImSettings().sendKey);
    EXPECT_EQ(1, shell::FrameImSettings().autoPlay);
    shell::SkinWrite("imconfig", "shortkey", "1");
    shell::SkinWrite("imconfig", "autoplay", "0");
    CMainFrame third;
    EXPECT_EQ(1, shell::FrameImSettings().sendKey);
    EXPECT_EQ(0, shell::FrameImSettings().autoPlay);
}

TEST_F(FrameCommands, TheRegistrationLinkOpensOnlyWebAddresses) {
    const ServiceSettings saved = g_serviceSettings;
    struct Case {
        const char* page;
        bool opens;
    } cases[] = {{"https://example.com/register", true},
                 {"/usr/bin/xterm", false},
                 {"file:///etc/passwd", false},
                 {"smb://host/share/run.desktop", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        opened.clear();
        g_serviceSettings.registerPage = c.page;
        CLoginDlg dlg;
        dlg.OnRegister();
        dlg.reject();
        EXPECT_EQ(c.opens ? 1u : 0u, opened.size());
    }
    g_serviceSettings = saved;
}
