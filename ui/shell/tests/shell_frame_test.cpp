// The main frame offscreen: posted messages from other threads reach their handlers, records are freed on
// every path, busy is one status, the dial decision on a live frame, and the login dialog's rules.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <cstring>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <map>
#include <memory>
#include <thread>

#include "shell_test_app.h"
#include "common/account.h"
#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "platform/fs.h"
#include "platform/msgqueue.h"
#include "platform/sync.h"
#include "service/presence_core.h"
#include "service/presence_notice.h"
#include "service/service_msgs.h"
#include "ui/controls/toolbar_ex.h"
#include "ui/controls/skin.h"
#include "ui/controls/statics.h"
#include "ui/controls/links.h"
#include "ui/controls/rich_edit.h"
#include "ui/shell/login_dialog.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/main_frame.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/system_tray.h"
#include "voip/VoipUi.h"
#include "fake_calls.h"

namespace {

class ShellFrame : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        app = shelltest::StartOffscreenApp();
        profile = shelltest::NewTempFolder("frame");
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, profile, false);
        QDir::setCurrent(TESSALY_BINARY_DIR);
    }
    static inline QApplication* app = nullptr;
    static inline std::string profile;
};

}  // namespace

TEST_F(ShellFrame, PostedMessagesFromAnotherThreadReachTheirHandlersAndRecordsAreFreed) {
    auto frame = std::make_unique<CMainFrame>();
    frame->LogoffReset(LOGIN_SIGNED_OUT);
    const HWND hwnd = frame->Handle();
    ASSERT_EQ(hwnd, g_hMainWnd.load());
    // From a worker thread: a login state, a buddy record and a call event (all freed by the handlers;
    // the leak checkers of the sanitizer build would see otherwise).
    std::thread worker([hwnd] {
        PostMessage(hwnd, WM_LOGIN_STATE, 1, 0);
        auto* buddy = new PresenceBuddyRecord;
        buddy->online = 1;
        std::strcpy(buddy->name, "Bob");
        PostMessage(hwnd, WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(buddy));
        PostVoipEventToUi(-1, -1, VOIPEVT_RELEASE_CNX, 0, 0, nullptr);
        PostMessage(hwnd, WM_PRESENCE_ERROR, 0, reinterpret_cast<LPARAM>(strdup("1: ")));
    });
    worker.join();
    std::vector<QString> boxes;
    frame->showBox = [&](const QString& t, const QString&) { boxes.push_back(t); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 5000));
    EXPECT_EQ(LOGIN_SIGNING_IN, frame->m_nLoginState) << "state 1 of the machine resets to signing in";
    EXPECT_EQ(shell::LangText("login", "txt_login_others", ""), boxes.front()) << "logged in elsewhere";
    EXPECT_EQ(shell::LangText("status_txt", "txt_boot_profile", ""), frame->StatusBar()->Description());

    // Messages still queued when the frame goes are freed by the discard hook, not lost.
    auto* late = new PresenceBuddyRecord;
    ASSERT_TRUE(PostMessage(hwnd, WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(late)));
    ASSERT_EQ(0, PostVoipEventToUi(0, 0, VOIPEVT_REMOTE_NEWCALL, 0, 0, strdup("x@y")));
    frame.reset();
    QCoreApplication::processEvents();
    EXPECT_FALSE(PostMessage(hwnd, WM_LOGIN_STATE, 0, 0)) << "a closed frame takes no more posts";
}

TEST_F(ShellFrame, BusyIsOneStatusInTheBarAndTheMenu) {
    CMainFrame frame;
    g_strUserId = "alice";
    frame.LogoffReset(LOGIN_SIGNED_IN);
    frame.SetPresenceStatus(STATUS_BUSY);
    EXPECT_EQ(STATUS_BUSY, frame.StatusBar()->GetStatus());
    // The status bar's menu holds online and offline only: busy marks neither.
    auto checkedItems = [&] {
        std::unique_ptr<TrelMenu> menu(frame.StatusBar()->MakeStatusMenu());
        std::vector<int> checked;
        if (menu)
            for (QAction* a : menu->actions())
                if (a->isChecked()) checked.push_back(a->data().toInt());
        return checked;
    };
    EXPECT_EQ(std::vector<int>{}, checkedItems());
    frame.SetPresenceStatus(STATUS_ONLINE);
    frame.SetPresenceStatus(STATUS_ONLINE);
    EXPECT_EQ(std::vector<int>{ID_STATUS_ONLINE}, checkedItems()) << "setting a status twice leaves one mark";
    // A dial request on the live frame: signed in and idle is 3 only once a call can be placed;
    // signed out is 0 whatever the number.
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    EXPECT_EQ(0, frame.DialRequest("123"));
    g_strUserId.clear();
}

TEST_F(ShellFrame, LoginDialogNeedsAUserAndKeepsItsChoicesOnEveryClose) {
    shell::SavedLoginStore& store = shell::SavedLogins();
    shell::resetLoginInfo(store);
    store.savePassword = true;
    store.logins = {{"alice", "alice123", 1}, {"bob", "bob123", 1}};
    ASSERT_TRUE(shell::saveLoginInfo(store, shell::Paths().savedLoginsPath));
    {
        CLoginDlg dlg;
        std::vector<QString> boxes;
        dlg.showBox = [&](const QString& t, const QString&) { boxes.push_back(t); };
        EXPECT_EQ("alice", dlg.UserBox()->currentText());
        EXPECT_EQ("alice123", dlg.PasswordBox()->text()) << "remembered password filled in";
        EXPECT_EQ(40, dlg.PasswordBox()->maxLength());
        dlg.UserBox()->setEditText("   ");
        dlg.OnLogin();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(shell::LangText("login_dialog", "inputusername", ""), boxes[0]);
        EXPECT_EQ(QDialog::Rejected, dlg.result());
        dlg.UserBox()->setCurrentIndex(1);
        dlg.OnSelChangeUser(1);
        EXPECT_EQ("bob123", dlg.PasswordBox()->text());
        dlg.UserBox()->setEditText("bob");
        dlg.OnRemoveUser();
        dlg.AutoBox()->setChecked(true);
        dlg.reject();
    }
    shell::SavedLoginStore reread;
    shell::loadLoginInfo(reread, shell::Paths().savedLoginsPath);
    ASSERT_EQ(1u, reread.logins.size()) << "remove, then cancel, still rewrites the file";
    EXPECT_EQ("alice", reread.logins[0].id);
    EXPECT_TRUE(reread.autoLogin);
}

TEST_F(ShellFrame, CallTabMenuEndsTheCallAndGreysHold) {
    CChildView sheet;
    int ended = 0;
    QObject::connect(&sheet, &CChildView::endCallRequested, [&] { ++ended; });
    std::unique_ptr<QMenu> menu(sheet.BuildCallMenu(false));
    ASSERT_EQ(2, menu->actions().size());
    EXPECT_TRUE(menu->actions()[0]->isEnabled());
    EXPECT_FALSE(menu->actions()[1]->isEnabled());
    EXPECT_EQ(shell::LangText("sheet_popup_menu", "hold", ""), menu->actions()[1]->text());
    menu->actions()[0]->trigger();
    EXPECT_EQ(1, ended);
    std::unique_ptr<QMenu> held(sheet.BuildCallMenu(true));
    EXPECT_EQ(shell::LangText("sheet_popup_menu", "unhold", ""), held->actions()[1]->text());
    // Ended call pages stay listed and still count as call pages; closing one returns to a non-call page.
    auto* start = new CNqNavigatePage;
    sheet.AddPage(start);
    auto* call = new fakecalls::Page(PAGE_CALL, "bob", 0);
    sheet.AddPage(call);
    sheet.setCurrentWidget(call);
    EXPECT_TRUE(sheet.AnyCallPage());
    EXPECT_TRUE(sheet.HasCallPage());
    call->m_nState = 3;
    EXPECT_TRUE(sheet.AnyCallPage()) << "an ended call's page counts until it is closed";
    EXPECT_TRUE(sheet.HasCallPage()) << "an ended call page stays until closed";
    sheet.ClosePage(call);
    EXPECT_EQ(start, sheet.currentWidget());
    // With more pages, a closed call returns to the page last used, not to its neighbour at the end.
    auto* dial = new fakecalls::Page(PAGE_DIAL, "Dial");
    sheet.AddPage(dial);
    auto* service = new CPageService;
    sheet.AddPage(service);
    for (QWidget* used : {static_cast<QWidget*>(start), static_cast<QWidget*>(dial)}) {
        sheet.setCurrentWidget(used);
        auto* next = new fakecalls::Page(PAGE_CALL, "carol", 0);
        sheet.AddPage(next);
        sheet.setCurrentWidget(next);
        next->m_nState = 3;
        sheet.ClosePage(next);
        EXPECT_EQ(used, sheet.currentWidget());
    }
}

// The calls windows as the frame reaches them, reduced to counters.
class CountingCalls : public shell::CallWindowsHook {
public:
    explicit CountingCalls(std::map<std::string, int>* seen) : seen_(seen) {}
    CNqPropertyPage* MakeDialPage() override { return nullptr; }
    CNqPropertyPage* MakeCallLogPage() override { return nullptr; }
    void DropPages() override {}
    void OnVoipEvent(const VOIP_UI_MSG*) override {}
    void OnDialButton(bool) override { ++(*seen_)["dial"]; }
    void OnHangupButton() override {}
    int CallNumber(const std::string&) override { return 0; }
    bool AnyCallPage() override { return false; }
    bool AnyTalking() override { return false; }
    bool ShowCallPageFor(const std::string&) override { return false; }
    bool OwnsPage(const CNqPropertyPage*) override { return false; }
    void ActivePageChanged() override {}
    void CloseAll() override {}
    void HoldActiveCall() override { ++(*seen_)["hold"]; }
    void UnholdActiveCall() override { ++(*seen_)["resume"]; }
    void MergeActiveCall() override { ++(*seen_)["merge"]; }

private:
    std::map<std::string, int>* seen_;
};

TEST_F(ShellFrame, SheetCallCommandsAndTheDialCommandsReachTheCallsWindows) {
    std::map<std::string, int> seen;
    shell::CallWindowsFactoryRef() = [&](CMainFrame*, CChildView*, QAbstractButton*, QAbstractButton*) {
        return std::make_unique<CountingCalls>(&seen);
    };
    {
        CMainFrame frame;
        shell::CallWindowsFactoryRef() = nullptr;
        bool held = false;
        frame.Sheet()->activeCallHeld = [&] { return held; };
        emit frame.Sheet()->callCommand(ID_SHEET_HOLD);
        held = true;
        emit frame.Sheet()->callCommand(ID_SHEET_HOLD);
        emit frame.Sheet()->callCommand(ID_SHEET_UNHOLD);
        EXPECT_EQ((std::map<std::string, int>{{"hold", 1}, {"resume", 1}, {"merge", 1}}), seen);
        // The menu and key forms of the dial button dial as it does (not offline).
        frame.StatusBar()->SetStatus(STATUS_ONLINE);
        seen.clear();
        for (int id : {int{ID_DIAL}, 2932, 2933, 2934, 2935}) frame.Command(id);
        EXPECT_EQ((std::map<std::string, int>{{"dial", 5}}), seen);
        frame.Command(2936);
        EXPECT_EQ(5, seen["dial"]);
        frame.Sheet()->activeCallHeld = nullptr;
    }
    shell::CallWindowsFactoryRef() = nullptr;
}

TEST_F(ShellFrame, ConnectionErrorsGoToTheCallsWindowsElseTheFrameSaysThem) {
    {
        CMainFrame frame;
        std::vector<std::pair<QString, QString>> boxes;
        frame.showBox = [&](const QString& t, const QString& title) { boxes.push_back({t, title}); };
        for (int code : {-2, -1, -7}) frame.ShowConnectionError(code);
        const QString title = shell::LangText("multiconf_dialog", "conf_info", "");
        EXPECT_EQ((std::vector<std::pair<QString, QString>>{{shell::LangText("dial_dialog", "msg_mic_inuse", ""), title},
                                                            {shell::LangText("dial_dialog", "msg_cnx_failed", ""), title},
                                                            {shell::LangText("dial_dialog", "msg_unknown", ""), title}}),
                  boxes);
    }
    std::map<std::string, int> seen;
    fakecalls::Registered calls(&seen);
    CMainFrame frame;
    int boxes = 0;
    frame.showBox = [&](const QString&, const QString&) { ++boxes; };
    frame.ShowConnectionError(-1);
    EXPECT_EQ(1, seen["error -1"]);
    EXPECT_EQ(0, boxes) << "the calls windows say it";
}

TEST_F(ShellFrame, MessageIconShowsTheWaitingWindowsOldestFirst) {
    CMainFrame frame;
    auto first = std::make_unique<QWidget>();
    auto second = std::make_unique<QWidget>();
    auto third = std::make_unique<QWidget>();
    frame.AddPendingNotice(first.get(), 0, 0);
    frame.AddPendingNotice(second.get(), 0, 1);
    EXPECT_TRUE(frame.MessageIconShown());
    EXPECT_EQ(2u, frame.PendingNoticeCount());
    frame.OnMessageIconClick();
    EXPECT_TRUE(first->isVisible());
    EXPECT_TRUE(second->isHidden());
    EXPECT_TRUE(frame.MessageIconShown()) << "one notice still waits";
    // A window closed before its turn takes its notice along, and the icon goes with the last one.
    second.reset();
    EXPECT_EQ(0u, frame.PendingNoticeCount());
    EXPECT_FALSE(frame.MessageIconShown());
    frame.OnMessageIconClick();  // nothing waits: nothing happens

    // Going offline clears what waits.
    frame.AddPendingNotice(third.get(), 0, 0);
    frame.SetPresenceStatus(STATUS_OFFLINE);
    EXPECT_FALSE(frame.MessageIconShown());
    frame.OnMessageIconClick();
    EXPECT_TRUE(third->isHidden());
}

TEST_F(ShellFrame, MessageIconBlinksBetweenItsTwoImages) {
    ctl::SetResourceFolder(TESSALY_BINARY_DIR "/res");
    CMainFrame frame;
    QWidget waiting;
    frame.AddPendingNotice(&waiting, 0, 0);
    EXPECT_TRUE(frame.MessageIconBlinking());
    const QImage first = frame.MessageIconImage().pixmap(16, 16).toImage();
    ASSERT_FALSE(first.isNull()) << "resource 215";
    const auto shows = [&](const QImage& img) { return frame.MessageIconImage().pixmap(16, 16).toImage() == img; };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shows(first); }, 5000));
    const QImage second = frame.MessageIconImage().pixmap(16, 16).toImage();
    ASSERT_FALSE(second.isNull()) << "resource 216";
    ASSERT_TRUE(QTest::qWaitFor([&] { return shows(first); }, 5000)) << "back to the first image";
    frame.ClearPendingNotices();
    EXPECT_FALSE(frame.MessageIconBlinking());
    ctl::SetResourceFolder("");
}

TEST_F(ShellFrame, TrayAnimatesUntilTheIconIsSetAgain) {
    CMainFrame frame;
    EXPECT_FALSE(frame.TrayAnimating());
    frame.StartTrayAnimation();
    EXPECT_TRUE(frame.TrayAnimating()) << "the default skin has both frames";
    frame.SetPresenceStatus(STATUS_ONLINE);
    EXPECT_FALSE(frame.TrayAnimating());
    frame.StartTrayAnimation();
    frame.StopTrayAnimation();
    EXPECT_FALSE(frame.TrayAnimating());
}

// Names of the access server's answers are in the code page: the title and the boxes show them whole.
TEST_F(ShellFrame, OwnNameAndNamesInBoxesKeepTheirChineseCharacters) {
    CMainFrame frame;
    std::vector<QString> boxes;
    frame.showBox = [&](const QString& t, const QString&) { boxes.push_back(t); };
    auto post = [&](int command, int result, const char* id, const char* name) {
        auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
        p->str1 = strdup(id);
        p->str3 = strdup(name);
        auto* r = static_cast<AsRequest*>(calloc(1, sizeof(AsRequest)));
        *r = AsRequest{command, result, p, nullptr, AS_DATA_PARAMS};
        ASSERT_TRUE(PostMessage(frame.Handle(), WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(r)));
    };
    // Signed in, the title shows the own name; the nickname change answered: "李娜" in GBK.
    g_strUserId = "lina";
    frame.LogoffReset(LOGIN_SIGNED_IN);
    post(AS_REA, 0, "", "\xc0\xee\xc4\xc8");
    EXPECT_TRUE(QTest::qWaitFor([&] { return frame.windowTitle().endsWith(QString::fromUtf8("\xe6\x9d\x8e\xe5\xa8\x9c")); }, 5000))
        << frame.windowTitle().toStdString();
    // A group that could not be removed: "朋友" in GBK.
    post(AS_RMG, 1, "g-none", "\xc5\xf3\xd3\xd1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 5000));
    EXPECT_TRUE(boxes.front().contains(QString::fromUtf8("\xe6\x9c\x8b\xe5\x8f\x8b"))) << boxes.front().toStdString();
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    g_strUserId.clear();
}

TEST_F(ShellFrame, AddressBookAnswersOfTheFrameChangeTheStoreOrShowTheFailure) {
    ASSERT_EQ(1, AddrBook_Init());
    AddrGroup* group = AddrBook_NewGroup("Friends", "g1");
    ASSERT_EQ(1, AddrBook_AttachGroup(group, g_addrBookRoots[0], nullptr));
    ASSERT_EQ(1, AddrBook_AttachContact(AddrBook_NewContact("Alice", nullptr, "u1"), group, nullptr));
    CMainFrame frame;
    std::vector<QString> boxes;
    frame.showBox = [&](const QString& t, const QString&) { boxes.push_back(t); };
    unsigned rebuilt = 0;
    BookHooks().refresh = [&](unsigned bits) { rebuilt |= bits; };
    auto post = [&](int command, const char* id, const char* name) {
        auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
        p->str1 = strdup(id);
        p->str3 = strdup(name);
        auto* r = static_cast<AsRequest*>(calloc(1, sizeof(AsRequest)));
        *r = AsRequest{command, 0, p, nullptr, AS_DATA_PARAMS};
        ASSERT_TRUE(PostMessage(frame.Handle(), WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(r)));
    };
    post(AS_REM, "nobody", "Zed");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 5000));
    EXPECT_TRUE(boxes.front().contains("Zed")) << "[" << boxes.front().toStdString() << "]";
    post(AS_REM, "u1", "Alice");
    ASSERT_TRUE(QTest::qWaitFor([&] { return rebuilt != 0; }, 5000));
    EXPECT_EQ(1u, boxes.size());
    EXPECT_EQ(nullptr, AddrBook_FindById(g_addrBookRoots[0], "u1"));
    BookHooks().refresh = nullptr;
    AddrBook_Init();
}

TEST_F(ShellFrame, LongCallAddressIsWholeOnItsTab) {
    CChildView sheet;
    auto* home = new CNqNavigatePage;
    sheet.AddPage(home);
    const QString address = "someone.with.a.long.name@sip.example.org";
    auto* call = new fakecalls::Page(PAGE_CALL, address, 0);
    sheet.AddPage(call);
    const int i = sheet.indexOf(call);
    EXPECT_EQ(address, sheet.tabText(i));
    EXPECT_EQ(home->TabTitle(), sheet.tabText(sheet.indexOf(home)));
    // In the narrow frame a full row scrolls rather than squeezing tabs into each other.
    for (int k = 0; k < 4; ++k) sheet.AddPage(new fakecalls::Page(PAGE_DIAL, "Dial"));
    sheet.resize(380, 400);
    sheet.show();
    QCoreApplication::processEvents();
    for (int k = 0; k < sheet.count(); ++k)
        EXPECT_GE(sheet.Tabs()->tabRect(k).width(), sheet.Tabs()->fontMetrics().horizontalAdvance(sheet.tabText(k)) + 14) << k;
}

TEST_F(ShellFrame, AFailedSignInDropsItsStepsFromTheStartPageAndTheStatusBar) {
    shell::ApplyLanguageCode("eng");
    CMainFrame frame;
    g_strUserId = "alice";
    shell::CNavigateLinks* links = frame.StartPage()->Links();
    auto shown = [&](int id) { return links->Control(id)->isVisibleTo(frame.StartPage()); };
    frame.Dispatch(WM_LOGIN_STATE, 1, 0);  // signing in: the profile's boot
    EXPECT_EQ(LOGIN_SIGNING_IN, frame.m_nLoginState);
    EXPECT_TRUE(shown(shell::NAV_LOGINING));
    EXPECT_FALSE(shown(shell::NAV_LOGIN));
    frame.Dispatch(WM_LOGIN_STATE, 4, 0);  // the phone line
    EXPECT_EQ(shell::LangText("status_txt", "txt_sip", "?"), frame.StatusBar()->Description());
    EXPECT_TRUE(shown(shell::NAV_LOGINING));
    frame.Dispatch(WM_LOGIN_STATE, 0, 0);  // the sign-in failed
    EXPECT_EQ(LOGIN_SIGNED_OUT, frame.m_nLoginState);
    EXPECT_TRUE(shown(shell::NAV_LOGIN));
    EXPECT_FALSE(shown(shell::NAV_LOGINING));
    EXPECT_FALSE(shown(shell::NAV_MISSED));
    EXPECT_EQ(CPresenceStatusBar::StatusDescription(STATUS_OFFLINE), frame.StatusBar()->Description());
    g_strUserId.clear();
}

TEST_F(ShellFrame, LanguageSwitchRedoesTheStartPageLinksAndTheStatusBarBothWays) {
    shell::ApplyLanguageCode("eng");
    CMainFrame frame;
    g_strUserId = "alice";
    frame.LogoffReset(LOGIN_SIGNED_IN);
    frame.SetPresenceStatus(STATUS_ONLINE);
    frame.SetStatusText("txt_online");
    shell::CNavigateLinks* links = frame.StartPage()->Links();
    links->AddMissedCall();
    links->SetUpdateAnswer();
    links->ShowUpdateVersion(0, 9, 7);
    auto shown = [&] {
        return QStringList{static_cast<QLabel*>(links->Control(shell::NAV_TIP))->text(), links->Link(shell::NAV_MISSED)->text(),
                           links->Link(shell::NAV_QUERY)->text(),  links->Link(shell::NAV_PREPAY)->text(),
                           links->Link(shell::NAV_UPDATE)->text(), frame.StatusBar()->Description()};
    };
    // The bar's text pane shows the last text set; a language change shows the status's description there.
    auto wanted = [](const QString& bar) {
        return QStringList{shell::LangText("navigate_dialog", "tip1", "You have"), shell::MissedCallText(1),
                           shell::LangText("navigate_dialog", "qz_query", "Query"),
                           shell::LangText("navigate_dialog", "qz_prepay", "Prepay"), shell::UpdateVersionText(0, 9, 7), bar};
    };
    const QStringList before = shown();
    EXPECT_EQ(wanted(shell::LangText("status_txt", "txt_online", "")), before);
    frame.Command(ID_LANG_CHS);
    const QStringList chinese = shown();
    EXPECT_EQ(wanted(shell::LangText("status_description", "0", "")), chinese);
    for (int i = 0; i < before.size(); ++i) EXPECT_NE(before[i], chinese[i]) << "still in English: " << before[i].toStdString();
    frame.Command(ID_LANG_ENG);
    const QStringList english = shown();
    EXPECT_EQ(wanted(shell::LangText("status_description", "0", "")), english);
    for (int i = 0; i < english.size(); ++i) EXPECT_NE(english[i], chinese[i]) << "still in Chinese: " << english[i].toStdString();
    // The rich edits' file messages follow the language too.
    EXPECT_EQ(QStringLiteral("Invalid filename."), CFormatRichEdit::FileMessageText(CFormatRichEdit::kInvalidFileNameText));
    EXPECT_EQ(QStringLiteral("Failed to open document."), CFormatRichEdit::FileMessageText(CFormatRichEdit::kOpenFailedText));
    EXPECT_EQ(QStringLiteral("Failed to save document."), CFormatRichEdit::FileMessageText(CFormatRichEdit::kSaveFailedText));
    // So do the customisable toolbar's texts and its customise dialog's.
    EXPECT_EQ(QStringLiteral("Font"), CToolBarEx::CommandText(32822));
    EXPECT_EQ(QStringLiteral("Show Text Labels"), CCustomizeDialog::Text(QStringLiteral("text0")));
    frame.Command(ID_LANG_CHS);
    EXPECT_EQ(QStringLiteral("打开文档失败。"), CFormatRichEdit::FileMessageText(CFormatRichEdit::kOpenFailedText));
    EXPECT_EQ(QStringLiteral("字体"), CToolBarEx::CommandText(32822));
    const std::pair<const char*, const char*> dialog[] = {
        {"title", "自定义工具栏"}, {"separator", "分隔符"}, {"textoptions", "文本选项(&X):"}, {"text0", "显示文本标签"},
        {"text1", "右侧选择性文本"}, {"text2", "无文本标签"}, {"iconoptions", "图标选项(&N):"}, {"icon0", "小图标"}, {"icon1", "大图标"}};
    for (const auto& [key, text] : dialog) EXPECT_EQ(QString::fromUtf8(text), CCustomizeDialog::Text(QString::fromUtf8(key))) << key;
    g_strUserId.clear();
}

namespace {
// The address book's page as the frame sees it: counts its close and whether the account was still online then.
class RecordingBookPage : public CNqPropertyPage {
public:
    explicit RecordingBookPage(std::vector<std::string>* log) : CNqPropertyPage(PAGE_BOOK), log_(log) {}
    QString TabTitle() const override { return "Book"; }
    int TabImage() const override { return 0; }

protected:
    void closeEvent(QCloseEvent* e) override {
        bool online = false;
        for (Account* a = g_accountList; a; a = a->next) online |= Account_IsOnline(a);
        log_->push_back(online ? "book closed online" : "book closed offline");
        CNqPropertyPage::closeEvent(e);
    }

private:
    std::vector<std::string>* log_;
};
}  // namespace

TEST_F(ShellFrame, ExitWhileSignedInClosesThePagesBeforeTheSignOut) {
    std::map<std::string, int> seen;
    fakecalls::Registered calls(&seen);
    std::vector<std::string> log;
    BookHooks().createPage = [&]() -> CNqPropertyPage* { return new RecordingBookPage(&log); };
    int windows = 0;
    BookHooks().closeWindows = [&] { ++windows; };
    {
        CMainFrame frame;
        g_strUserId = "alice";
        frame.LogoffReset(LOGIN_SIGNED_IN);
        ASSERT_TRUE(log.empty());
        PresenceConnection link;
        link.state = PRESENCE_CONNECTED;
        Account* account = Account_New("alice", ACCOUNT_TYPE_SERVICE);
        ASSERT_EQ(1, Account_Add(account));
        Account_SetConnection(account, &link);
        bool closed = false;
        int pagesAtEnd = -1;
        std::vector<std::string> logAtEnd;
        frame.onClosed = [&] {
            closed = true;
            pagesAtEnd = frame.Sheet()->count();
            logAtEnd = log;
        };
        plat::TestClock clock;
        clock.set_sleep_advances(true);
        // A report posted before the close waits: the wait is ten turns of 500 ms on this thread.
        PostMessage(frame.Handle(), WM_LOGIN_STATE, 0, 0);
        frame.close();
        EXPECT_TRUE(closed);
        EXPECT_EQ(5000u, clock.now());
        EXPECT_EQ(LOGIN_SIGNING_OUT, frame.m_nLoginState);
        // The pages were closed and gone from the sheet before the wait.
        EXPECT_EQ(std::vector<std::string>{"book closed online"}, logAtEnd);
        EXPECT_EQ(1, seen["close all"]) << "the call pages hang up before the wait";
        EXPECT_EQ(1, windows);
        EXPECT_EQ(1, pagesAtEnd) << "only the start page stays";
        Account_SetConnection(account, nullptr);
    }
    BookHooks().createPage = nullptr;
    BookHooks().closeWindows = nullptr;
    g_strUserId.clear();
}

// Minimised to the tray the window is only hidden, and an exit keeps its place; minimised in place (no
// notification area) it does not.
TEST_F(ShellFrame, AWindowHiddenToTheTrayKeepsItsPlaceAtExit) {
    auto place = [] {
        return std::vector<int>{shell::SkinInt("position", "left", -1), shell::SkinInt("position", "top", -1),
                                shell::SkinInt("position", "width", -1), shell::SkinInt("position", "height", -1)};
    };
    {
        CMainFrame frame;
        frame.Tray()->m_bIconCreated = 1;  // as with a notification area
        frame.show();
        frame.setGeometry(140, 120, 400, 600);
        frame.setWindowState(Qt::WindowMinimized);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frame.isHidden(); }, 5000));
        frame.close();
        ASSERT_TRUE(frame.ClosingDone());
    }
    EXPECT_EQ((std::vector<int>{140, 120, 400, 600}), place());
    {
        CMainFrame frame;
        frame.Tray()->m_bIconCreated = 0;
        frame.show();
        frame.setGeometry(150, 130, 420, 610);
        frame.setWindowState(Qt::WindowMinimized);
        EXPECT_TRUE(frame.isVisible());
        frame.close();
        ASSERT_TRUE(frame.ClosingDone());
    }
    EXPECT_EQ((std::vector<int>{140, 120, 400, 600}), place());
}

TEST_F(ShellFrame, ASignInThatFailsAfterTheContactListLeavesNoContactsBehind) {
    ASSERT_EQ(1, AddrBook_Init());
    CMainFrame frame;
    g_strUserId = "alice";
    frame.Dispatch(WM_LOGIN_STATE, 1, 0);
    // The contact list came, then the phone line refused: no address-book page was ever made.
    AddrGroup* group = AddrBook_NewGroup("Friends", "g1");
    ASSERT_EQ(1, AddrBook_AttachGroup(group, g_addrBookRoots[0], nullptr));
    ASSERT_EQ(1, AddrBook_AttachContact(AddrBook_NewContact("Alice", nullptr, "u1"), group, nullptr));
    frame.Dispatch(WM_LOGIN_STATE, 4, 0);
    frame.Dispatch(WM_LOGIN_STATE, 0, 0);
    EXPECT_EQ(LOGIN_SIGNED_OUT, frame.m_nLoginState);
    for (AddrNode* root : g_addrBookRoots) EXPECT_EQ(nullptr, root->child);
    EXPECT_EQ(nullptr, AddrBook_FindById(g_addrBookRoots[0], "u1"));
    g_strUserId.clear();
    AddrBook_Init();
}
