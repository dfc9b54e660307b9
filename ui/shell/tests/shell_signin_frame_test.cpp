// The frame's sign-in side offscreen: refused sign-ins and the login dialog they reopen, update now and
// the update dialog, the login fields, the last saved login, and the head-picture chooser's opener.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <cstdlib>
#include <fstream>

#include "shell_test_app.h"
#include "common/appenv.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/msgqueue.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/service_msgs.h"
#include "service/update_check.h"
#include "ui/shell/book_results.h"
#include "ui/shell/head_picture.h"
#include "ui/shell/login_dialog.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/controls/links.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/shell_messages.h"
#include "ui/shell/update_dialog.h"

namespace {

class SignInFrame : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        app = shelltest::StartOffscreenApp();
        profile = shelltest::NewTempFolder("signin_frame");
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, profile, false);
        QDir::setCurrent(TESSALY_BINARY_DIR);
    }
    void TearDown() override { shell::g_interactiveLogin = true; }
    static inline QApplication* app = nullptr;
    static inline std::string profile;
};

QString Text(const char* key) { return shell::LangText("update", key, ""); }

// Takes every address the desktop would open, whichever way the program asks for it.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() {
        for (const char* scheme : {"file", "http", "https", "javascript", "ftp"}) QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlCatcher() override {
        for (const char* scheme : {"file", "http", "https", "javascript", "ftp"}) QDesktopServices::unsetUrlHandler(scheme);
    }
    std::vector<QString> opened;
public slots:
    void open(const QUrl& url) { opened.push_back(url.toString()); }
};

AsRequest* Answered(int command, int result) {
    auto* r = static_cast<AsRequest*>(calloc(1, sizeof(AsRequest)));
    r->command = command;
    r->result = result;
    return r;
}

}  // namespace

TEST_F(SignInFrame, RefusedSignInReopensTheLoginDialogAndBoxesOnlyAnInteractiveOne) {
    struct Case {
        const char* name;
        int command, result;
        bool interactive;
        const char* boxKey;  // [login_err], or null for no box
        bool dialog;
    } const cases[] = {
        {"LGN refused", AS_LGN, 300, true, "badroute", true},
        {"LGN refused, hidden start", AS_LGN, 300, false, nullptr, true},
        {"LGN unanswered", AS_LGN, AS_RESULT_NONE, true, nullptr, false},
        {"SYN refused", AS_SYN, 4, true, "loginfail", false},
        {"SYN unanswered, hidden start", AS_SYN, AS_RESULT_NONE, false, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CMainFrame frame;
        frame.LogoffReset(LOGIN_SIGNING_IN);
        std::vector<QString> boxes;
        int dialogs = 0;
        frame.showBox = [&](const QString& text, const QString&) { boxes.push_back(text); };
        frame.runLoginDialog = [&](QString*, QString*) {
            ++dialogs;
            EXPECT_EQ(LOGIN_SIGNING_IN, frame.m_nLoginState);
            return false;
        };
        shell::g_interactiveLogin = c.interactive;
        shell::g_loginPending = true;
        SendMessage(frame.Handle(), WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(Answered(c.command, c.result)));
        QCoreApplication::processEvents();  // the posted "log in as" runs while the frame is still signing in
        if (c.boxKey) {
            ASSERT_EQ(1u, boxes.size());
            EXPECT_EQ(shell::LangText("login_err", c.boxKey, ""), boxes[0]);
            EXPECT_FALSE(shell::g_loginPending) << "a shown failure drops the pending sign-in";
        } else {
            EXPECT_TRUE(boxes.empty());
        }
        EXPECT_EQ(c.dialog ? 1 : 0, dialogs);
        if (c.dialog) {
            EXPECT_EQ(LOGIN_SIGNED_OUT, frame.m_nLoginState) << "the cancelled dialog leaves the frame signed out";
        }
    }
}

TEST_F(SignInFrame, LogInAsOpensOneDialogAtATime) {
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    int dialogs = 0;
    frame.runLoginDialog = [&](QString*, QString*) {
        ++dialogs;
        frame.Command(ID_LOGIN_AS);  // a second request while the first dialog runs
        return false;
    };
    frame.Command(ID_LOGIN_AS);
    EXPECT_EQ(1, dialogs);
    frame.Command(ID_LOGIN_AS);
    EXPECT_EQ(2, dialogs) << "once closed, the next request opens it again";
}

TEST_F(SignInFrame, UpdateNowWithAnAnswerHandsOverToTheUpdaterNewerOrNot) {
    struct Case {
        int major, minor, build;
    } const cases[] = {{0, 9, 6}, {0, 9, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.build);
        CMainFrame frame;
        frame.LogoffReset(LOGIN_SIGNED_OUT);
        frame.show();
        std::vector<QString> boxes;
        frame.showBox = [&](const QString& text, const QString&) { boxes.push_back(text); };
        std::vector<std::string> started;
        frame.startUpdater = [&](const std::string& path) {
            started.push_back(path);
            return true;
        };
        CUpdateVersionInfo answer;
        answer.major = c.major, answer.minor = c.minor, answer.build = c.build, answer.needUpdate = 1, answer.fetched = 1;
        answer.changes = "Faster";
        SendMessage(frame.Handle(), WM_UPDATE_CHECK, UPDATE_OK, reinterpret_cast<LPARAM>(&answer));
        ASSERT_TRUE(frame.HaveUpdateAnswer());
        EXPECT_TRUE(started.empty()) << "nobody asked yet";
        frame.Command(ID_UPDATE_NOW);
        ASSERT_EQ(1u, started.size());
        EXPECT_TRUE(boxes.empty()) << "the updater, not an \"up to date\" box, answers";
        std::string value;
        ASSERT_TRUE(plat::IniGetString(started[0], "qz_Version_Info", "Buildnum", &value));
        EXPECT_EQ(std::to_string(c.build), value);
        ASSERT_TRUE(plat::IniGetString(started[0], "qz_old_Version_Info", "Buildnum", &value));
        EXPECT_EQ("6", value);
        QCoreApplication::processEvents();
        EXPECT_FALSE(frame.ClosingDone()) << "update now leaves the window open; only an enforced update ends it";
        EXPECT_TRUE(frame.isVisible());
    }
}

// Signed in, the update picture shows once an answer is held; its link names only a newer version.
TEST_F(SignInFrame, TheStartPagesUpdateLineShowsWithAnyAnswer) {
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    shell::CNavigateLinks* links = frame.StartPage()->Links();
    links->SetMode(1);
    EXPECT_FALSE(links->Control(shell::NAV_UPDATE_PIC)->isVisibleTo(frame.StartPage())) << "no answer yet";
    CUpdateVersionInfo answer;
    answer.major = 0, answer.minor = 9, answer.build = 6, answer.fetched = 1;
    SendMessage(frame.Handle(), WM_UPDATE_CHECK, UPDATE_OK, reinterpret_cast<LPARAM>(&answer));
    EXPECT_TRUE(links->Control(shell::NAV_UPDATE_PIC)->isVisibleTo(frame.StartPage()));
    EXPECT_TRUE(links->Control(shell::NAV_UPDATE)->isVisibleTo(frame.StartPage()));
    EXPECT_TRUE(links->Link(shell::NAV_UPDATE)->text().isEmpty()) << "0.9.6 is not newer";
}

TEST_F(SignInFrame, TheStartPagesNewerVersionLinkRunsUpdateNow) {
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    frame.showBox = [](const QString&, const QString&) {};
    std::vector<std::string> started;
    frame.startUpdater = [&](const std::string& path) {
        started.push_back(path);
        return true;
    };
    CUpdateVersionInfo answer;
    answer.major = 0, answer.minor = 9, answer.build = 7, answer.needUpdate = 1, answer.fetched = 1;
    SendMessage(frame.Handle(), WM_UPDATE_CHECK, UPDATE_OK, reinterpret_cast<LPARAM>(&answer));
    ASSERT_TRUE(frame.HaveUpdateAnswer());
    ASSERT_TRUE(started.empty());
    emit frame.StartPage()->Links()->Link(shell::NAV_UPDATE)->linkClicked();
    EXPECT_EQ(1u, started.size()) << "the link is update now";
}

// An enforced update without an updater program does not end the program: nothing would update it.
TEST_F(SignInFrame, AnEnforcedUpdateWithoutAnUpdaterKeepsTheProgramAndSaysSo) {
    UrlCatcher catcher;
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    frame.show();
    std::vector<QString> boxes;
    frame.showBox = [&](const QString& text, const QString&) { boxes.push_back(text); };
    Update_SetDownloadZip("http://127.0.0.1:7200/tessaly-0.9.7.zip");
    CUpdateVersionInfo answer;
    answer.major = 0, answer.minor = 9, answer.build = 7, answer.needUpdate = 1, answer.fetched = 1, answer.enforce = 1;
    SendMessage(frame.Handle(), WM_UPDATE_CHECK, UPDATE_OK, reinterpret_cast<LPARAM>(&answer));
    QCoreApplication::processEvents();
    EXPECT_EQ(std::vector<QString>{Text("noupdater")}, boxes);
    EXPECT_FALSE(Text("noupdater").isEmpty());
    EXPECT_FALSE(frame.ClosingDone());
    EXPECT_TRUE(frame.isVisible());
    EXPECT_EQ(nullptr, frame.findChild<CUpdateDialog*>());
    EXPECT_TRUE(catcher.opened.empty()) << "nothing the service names is opened";
    Update_SetDownloadZip("");
}

// The updater is handed only a web download to fetch.
TEST_F(SignInFrame, TheUpdatersFileNamesOnlyAWebDownload) {
    struct Case {
        const char* zip;
        const char* written;  // "DownloadFile"
    } const cases[] = {
        {"file:///etc/passwd", ""},
        {"/etc/passwd", ""},
        {"javascript:alert(1)", ""},
        {"ftp://mirror.example/t.zip", ""},
        {"http:///t.zip", ""},
        {" http://127.0.0.1:7200/tessaly-0.9.7.zip\n", "http://127.0.0.1:7200/tessaly-0.9.7.zip"},
        {"HTTPS://dl.example.net/t.zip", "HTTPS://dl.example.net/t.zip"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zip);
        CMainFrame frame;
        frame.LogoffReset(LOGIN_SIGNED_OUT);
        std::vector<std::string> started;
        frame.startUpdater = [&](const std::string& path) {
            started.push_back(path);
            return true;
        };
        Update_SetDownloadZip(c.zip);
        CUpdateVersionInfo answer;
        answer.major = 0, answer.minor = 9, answer.build = 7, answer.fetched = 1;
        SendMessage(frame.Handle(), WM_UPDATE_CHECK, UPDATE_OK, reinterpret_cast<LPARAM>(&answer));
        frame.Command(ID_UPDATE_NOW);
        ASSERT_EQ(1u, started.size());
        std::string written;
        plat::IniGetString(started[0], "update_Version_Info", "DownloadFile", &written);
        EXPECT_EQ(c.written, written);
    }
    Update_SetDownloadZip("");
}

// Update now without an answer asks the update thread for the main window; a failure keeps the user's
// word, so the next answer runs update now.
TEST_F(SignInFrame, UpdateNowWithoutAnAnswerAsksTheThreadAndAFailureKeepsTheUsersWord) {
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    frame.show();
    std::vector<QString> boxes;
    frame.showBox = [&](const QString& text, const QString&) { boxes.push_back(text); };
    std::vector<std::string> started;
    frame.startUpdater = [&](const std::string& path) {
        started.push_back(path);
        return true;
    };
    Update_SetBaseAddress("");  // no address: every check fails at once
    ASSERT_TRUE(Update_StartThread());
    frame.Command(ID_UPDATE_NOW);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 5000));
    EXPECT_EQ(Text("UpdateInfo"), boxes.front());
    EXPECT_EQ(nullptr, frame.findChild<CUpdateDialog*>()) << "the frame waits for the answer itself";
    EXPECT_TRUE(Update_StopThread(5000));
    EXPECT_TRUE(started.empty());
    CUpdateVersionInfo answer;
    answer.major = 0, answer.minor = 9, answer.build = 6, answer.fetched = 1;
    SendMessage(frame.Handle(), WM_UPDATE_CHECK, UPDATE_OK, reinterpret_cast<LPARAM>(&answer));
    EXPECT_EQ(1u, started.size()) << "the user asked before the failure";
}

TEST_F(SignInFrame, TheOpenUpdateDialogFollowsALanguageSwitch) {
    shell::ApplyLanguageCode("eng");
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    CUpdateVersionInfo answer;
    answer.major = 0, answer.minor = 9, answer.build = 7, answer.needUpdate = 1, answer.fetched = 1;
    SendMessage(frame.Handle(), WM_UPDATE_CHECK, UPDATE_OK, reinterpret_cast<LPARAM>(&answer));
    CUpdateDialog* dlg = frame.ShowUpdateDialog();
    auto shown = [&] {
        return QStringList{dlg->windowTitle(), dlg->VersionText()->text(), dlg->NoticeText()->text(),
                           dlg->UpdateButton()->text(), dlg->CloseButton()->text()};
    };
    const QStringList english = shown();
    EXPECT_EQ(Text("newvertip") + " 0.9.7", english[1]);
    frame.Command(ID_LANG_CHS);
    const QStringList chinese = shown();
    EXPECT_EQ(Text("newvertip") + " 0.9.7", chinese[1]);
    for (int i = 0; i < english.size(); ++i) EXPECT_NE(english[i], chinese[i]) << "still in English: " << english[i].toStdString();
    frame.Command(ID_LANG_ENG);
    EXPECT_EQ(english, shown());
    dlg->OnCloseButton();
}

TEST_F(SignInFrame, UpdateDialogAsksShowsTheAnswerAndHandsOver) {
    CUpdateVersionInfo found;
    found.major = 0, found.minor = 9, found.build = 7, found.needUpdate = 1, found.fetched = 1;
    const CUpdateVersionInfo* held = nullptr;
    int asks = 0, asked = 0, runs = 0, closes = 0;
    bool updaterStarts = true;
    std::vector<std::pair<WPARAM, LPARAM>> passed;
    std::vector<LPARAM> cancels;
    auto dlg = std::make_unique<CUpdateDialog>();
    dlg->frameAnswer = [&] { return held; };
    dlg->askThread = [&](HWND answerTo) {
        EXPECT_EQ(dlg->Handle(), answerTo);
        ++asks;
        return true;
    };
    dlg->passToFrame = [&](WPARAM w, LPARAM l) {
        passed.emplace_back(w, l);
        held = &found;
    };
    dlg->markAsked = [&] { ++asked; };
    dlg->runUpdater = [&] {
        ++runs;
        return updaterStarts;
    };
    dlg->closeFrame = [&] { ++closes; };
    dlg->cancelThread = [&](LPARAM l) { cancels.push_back(l); };
    const auto self = reinterpret_cast<LPARAM>(dlg.get());

    dlg->show();
    EXPECT_EQ(1, asks) << "no answer yet: shown, it asks";
    EXPECT_TRUE(dlg->Checking());
    EXPECT_EQ(Text("connection"), dlg->VersionText()->text());
    EXPECT_FALSE(dlg->UpdateButton()->isEnabled());
    EXPECT_EQ(Text("closebtn"), dlg->CloseButton()->text()) << "a check leaves the close button as it is";
    EXPECT_FALSE(dlg->ProgressGroup()->isVisible());

    struct Failure {
        WPARAM code;
        const char* key;
    } const failures[] = {{UPDATE_TRANSFER_ERROR, "updatetimeout"}, {UPDATE_FAILED, "updateerr"}};
    for (const Failure& f : failures) {
        dlg->StartCheck();
        dlg->OnUpdateCheck(f.code, 0);
        EXPECT_EQ(Text(f.key), dlg->VersionText()->text());
        EXPECT_TRUE(dlg->UpdateButton()->isEnabled());
        EXPECT_EQ(Text("closebtn"), dlg->CloseButton()->text());
    }
    EXPECT_TRUE(passed.empty()) << "failures stay in the dialog";

    // The answer arrives as the thread sends it, through the dialog's window.
    dlg->StartCheck();
    ASSERT_TRUE(PostMessage(dlg->Handle(), WM_UPDATE_CHECK, UPDATE_OK, reinterpret_cast<LPARAM>(&found)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg->Checking(); }, 5000));
    ASSERT_EQ(1u, passed.size());
    EXPECT_EQ(reinterpret_cast<LPARAM>(&found), passed[0].second);
    EXPECT_EQ(Text("newvertip") + " 0.9.7", dlg->VersionText()->text());
    EXPECT_EQ(Text("needUpdate"), dlg->NoticeText()->text());
    found.needUpdate = 0;
    dlg->ShowVersion();
    EXPECT_EQ(Text("noneedUpdate"), dlg->NoticeText()->text());

    dlg->OnUpdateButton();
    EXPECT_EQ(1, asked);
    EXPECT_EQ(1, runs) << "with an answer the updater takes over";
    EXPECT_EQ(1, closes) << "and the main window is closed for it";
    updaterStarts = false;
    dlg->OnUpdateButton();
    EXPECT_EQ(2, runs);
    EXPECT_EQ(1, closes) << "no updater started: the program stays";
    held = nullptr;
    const int before = asks;
    dlg->OnUpdateButton();
    EXPECT_EQ(3, asked);
    EXPECT_EQ(2, runs);
    EXPECT_EQ(before + 1, asks) << "without one, a check";

    dlg->SetDownloadSize(5 * 512 * 1024);
    EXPECT_EQ("2621440", dlg->SizeBytesText()->text());
    EXPECT_TRUE(dlg->Checking());
    dlg->OnCloseButton();  // closes while it checks, too
    EXPECT_EQ(UPDATE_DIALOG_CLOSED, dlg->result());
    EXPECT_TRUE(cancels.empty());
    dlg.reset();
    ASSERT_EQ(1u, cancels.size());
    EXPECT_EQ(self, cancels[0]) << "a dialog that goes tells the thread";
}

TEST(UpdateDialogText, SizeInMegabytes) {
    EXPECT_EQ("0", UpdateSizeText(0));
    EXPECT_EQ("1.00", UpdateSizeText(1024 * 1024));
    EXPECT_EQ("2.50", UpdateSizeText(5 * 512 * 1024));
}

TEST_F(SignInFrame, LoginFieldsTakeFortyCharactersAndASignInSavesThirtyTwo) {
    CLoginDlg dlg;
    EXPECT_EQ(40, dlg.PasswordBox()->maxLength());
    EXPECT_EQ(40, dlg.UserBox()->lineEdit()->maxLength());
    const QString typed(45, QChar('p'));
    QTest::keyClicks(dlg.PasswordBox(), typed);
    EXPECT_EQ(40, dlg.PasswordBox()->text().size());
    dlg.reject();

    // A password of 40 characters is saved as its first 32, and read back: the loader takes passwords
    // of up to 32 bytes (64 hexadecimal characters).
    shell::SavedLoginStore& store = shell::SavedLogins();
    shell::resetLoginInfo(store);
    store.savePassword = true;
    CMainFrame frame;
    g_strUserId = std::string(40, 'u');
    shell::g_strPassword = std::string(40, 'p');
    frame.LogoffReset(LOGIN_SIGNED_IN);
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    g_strUserId.clear();
    shell::g_strPassword.clear();
    shell::SavedLoginStore reread;
    shell::loadLoginInfo(reread, shell::Paths().savedLoginsPath);
    ASSERT_EQ(1u, reread.logins.size());
    EXPECT_EQ(std::string(32, 'u'), reread.logins[0].id);
    EXPECT_EQ(std::string(32, 'p'), reread.logins[0].pwd);
    EXPECT_EQ(std::string(32, 'p'), reread.lastLoginPwd);
}

TEST_F(SignInFrame, OnlyTheFirstUserBelowTheLastLoginCounts) {
    const std::string path = profile + "/lastlogin.xml";
    std::ofstream(path) << "<l><config/><brindle><user id='a'/><user id='b'/></brindle>"
                           "<lastlogin><user type='0'/><user id='b' type='0'/></lastlogin></l>";
    shell::SavedLoginStore s;
    shell::loadLoginInfo(s, path);
    EXPECT_TRUE(s.lastLoginId.empty()) << "the first user names no id: no last login";
    ASSERT_EQ(2u, s.logins.size());
    EXPECT_EQ("a", s.logins[0].id) << "so nothing moves to the front";
}

TEST_F(SignInFrame, HeadPictureChooserOpensWithTheCurrentPicture) {
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    struct Case {
        std::string panel;    // the picture the access server last confirmed; empty for none
        std::string preview;  // the file previewed when the chooser opens
    } const cases[] = {{"05.bmp", "05.bmp"}, {"", shell::Paths().defaultHeadPic}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.preview);
        shell::g_panelPicture = c.panel;
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto* dlg = qobject_cast<CHeadPicDlg*>(QApplication::activeModalWidget());
            ASSERT_NE(nullptr, dlg);
            EXPECT_EQ(&frame, dlg->parentWidget());
            // The chooser previews the current picture and lists it.
            EXPECT_FALSE(dlg->Preview()->isHidden());
            bool listed = false;
            for (int i = 0; i < dlg->List()->count(); ++i)
                listed |= dlg->List()->item(i)->data(Qt::UserRole).toString().toStdString() == c.preview;
            EXPECT_TRUE(listed);
            seen = true;
            dlg->reject();
        });
        EXPECT_EQ(QDialog::Rejected, frame.RunHeadPicDialog(nullptr));
        EXPECT_TRUE(seen);
    }
    shell::g_panelPicture.clear();
}

TEST_F(SignInFrame, TheOpenHeadPictureChooserTakesALanguageChange) {
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    shell::ApplyLanguageCode("eng");
    const QString english = shell::LangText("heads_pic", "title", ""), englishOk = shell::LangText("heads_pic", "ok", "");
    QString title, ok;
    QTimer::singleShot(0, [&] {
        auto* dlg = qobject_cast<CHeadPicDlg*>(QApplication::activeModalWidget());
        if (dlg) {
            EXPECT_EQ(english, dlg->windowTitle());
            shell::ApplyLanguageCode("chs");
            SendMessage(frame.Handle(), WM_LANGUAGE_CHANGED, 0, 0);
            title = dlg->windowTitle();
            for (QPushButton* b : dlg->findChildren<QPushButton*>())
                if (b->text() == shell::LangText("heads_pic", "ok", "x")) ok = b->text();
            dlg->reject();
        }
    });
    EXPECT_EQ(QDialog::Rejected, frame.RunHeadPicDialog(nullptr));
    EXPECT_EQ(shell::LangText("heads_pic", "title", ""), title);
    EXPECT_NE(english, title);
    EXPECT_FALSE(ok.isEmpty());
    EXPECT_NE(englishOk, ok);
    shell::ApplyLanguageCode("eng");
}

#include "shell_signin_frame_test.moc"
