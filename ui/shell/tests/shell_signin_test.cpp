// The whole start and sign-in chain in process against the test services: automatic sign-in from saved
// logins, log-off, the login dialog, a wrong password, the access and bootstrap servers down and back,
// and closing while signed in; the user's own account file through every way a run can go.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <sys/stat.h>

#include "common/account.h"
#include "common/appenv.h"
#include "platform/ini.h"
#include "service/login_fsm.h"
#include "shell_services.h"
#include "ui/shell/app_start.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"

namespace {

int g_argc = 1;
char g_arg0[] = "shell_signin_test";
char* g_argv[] = {g_arg0, nullptr};

bool AnyAccount() {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
    return g_accountList != nullptr;
}

}  // namespace

TEST(ShellSignIn, SavedLoginDialogFailuresAccessServerBackAndClose) {
    if (!shelltest::Services::Available()) GTEST_SKIP() << "kamailio and python3 are needed";
    qputenv("QT_QPA_PLATFORM", "offscreen");
    setenv("TESSALY_AUDIO", "manual", 1);
    QApplication app(g_argc, g_argv);
    app.setQuitOnLastWindowClosed(false);

    shelltest::Services services;
    ASSERT_TRUE(services.Start("shellsignin")) << services.boot.Output();
    const std::string profile = services.Profile("alice", "alice", "alice123", true);

    shell::StartOptions options;
    options.appFolder = services.AppFolder();
    options.profileFolder = profile;
    options.showSplash = false;
    std::vector<std::pair<QString, QString>> boxes;
    int dialogRuns = 0;
    std::vector<std::pair<QString, QString>> dialogAnswers;
    {
        shell::CCorvinaApp corvina(options);
        bool run = false;
        ASSERT_EQ(0, corvina.InitInstance(&run));
        ASSERT_TRUE(run);
        CMainFrame* frame = corvina.Frame();
        ASSERT_NE(nullptr, frame);
        frame->showBox = [&](const QString& text, const QString&) { boxes.emplace_back(text, QString()); };
        frame->runLoginDialog = [&](QString* user, QString* password) {
            ++dialogRuns;
            if (dialogAnswers.empty()) return false;
            *user = dialogAnswers.front().first;
            *password = dialogAnswers.front().second;
            dialogAnswers.erase(dialogAnswers.begin());
            return true;
        };

        // Automatic sign-in from the saved login: profile, SIP registration and messaging all done.
        ASSERT_TRUE(QTest::qWaitFor([&] { return frame->m_nLoginState == LOGIN_SIGNED_IN; }, 60000))
            << "state " << STA_GetState();
        EXPECT_FALSE(shell::g_interactiveLogin) << "a start without splash signs in silently";
        const auto commands = services.AccessCommands();
        EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), "LGN"));
        EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), "SYN"));
        EXPECT_EQ(4, frame->SyncedBuddyCount()) << "alice's seeded buddies";
        EXPECT_EQ(STATUS_ONLINE, frame->StatusBar()->GetStatus());
        EXPECT_EQ(ST_online, STA_GetState());

        // Log-off: the machine back to idle, accounts gone, pages removed.
        frame->Command(ID_LOGOFF);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frame->m_nLoginState == LOGIN_SIGNED_OUT && STA_GetState() == ST_initial; }, 10000));
        EXPECT_FALSE(AnyAccount());
        EXPECT_EQ(nullptr, frame->ContactsPage());
        EXPECT_EQ(1, frame->Sheet()->count());

        // The login dialog with another seeded user; the sign-in is saved as the last login.
        dialogAnswers = {{"bob", "bob123"}};
        frame->Command(ID_LOGIN_AS);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frame->m_nLoginState == LOGIN_SIGNED_IN; }, 60000));
        EXPECT_EQ("bob", g_strUserId);
        shell::SavedLoginStore stored;
        shell::loadLoginInfo(stored, profile + "/usrInfo.xml");
        EXPECT_EQ("bob", stored.lastLoginId);
        EXPECT_EQ("bob123", stored.lastLoginPwd);
        EXPECT_TRUE(plat::IsDirectory(profile + "/chatrecord/bob"));
        frame->Command(ID_LOGOFF);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frame->m_nLoginState == LOGIN_SIGNED_OUT && STA_GetState() == ST_initial; }, 10000));

        // A wrong password: the failure text, then the dialog again (cancelled here).
        boxes.clear();
        dialogRuns = 0;
        dialogAnswers = {{"alice", "wrong"}};
        frame->Command(ID_LOGIN_AS);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialogRuns >= 2; }, 30000)) << "the dialog opens again after the failure";
        ASSERT_FALSE(boxes.empty());
        EXPECT_EQ(shell::LangText("login_err", "badroute", ""), boxes.front().first);
        EXPECT_EQ(LOGIN_SIGNED_OUT, frame->m_nLoginState);
        ASSERT_TRUE(QTest::qWaitFor([&] { return STA_GetState() == ST_initial; }, 10000));

        // The access server down: the sign-in fails with the profile text; back up, the next sign-in works.
        services.access.Stop();
        boxes.clear();
        dialogRuns = 0;
        g_strUserId = "alice";
        shell::g_strPassword = "alice123";
        frame->Command(ID_LOGIN);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 90000)) << "state " << STA_GetState();
        EXPECT_EQ(shell::LangText("login", "txt_login_fail", ""), boxes.front().first);
        ASSERT_TRUE(QTest::qWaitFor([&] { return STA_GetState() == ST_initial && dialogRuns >= 1; }, 10000));
        EXPECT_EQ(LOGIN_SIGNED_OUT, frame->m_nLoginState);
        ASSERT_TRUE(services.StartAccess());
        g_strUserId = "alice";
        shell::g_strPassword = "alice123";
        frame->Command(ID_LOGIN);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frame->m_nLoginState == LOGIN_SIGNED_IN; }, 60000));

        // The bootstrap server down: the sign-in fails with the bootstrap text.
        frame->Command(ID_LOGOFF);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frame->m_nLoginState == LOGIN_SIGNED_OUT && STA_GetState() == ST_initial; }, 10000));
        services.boot.Stop();
        boxes.clear();
        frame->Command(ID_LOGIN);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 90000)) << "state " << STA_GetState();
        EXPECT_EQ(shell::LangText("login", "txt_bootstrap_fail", ""), boxes.front().first);
        ASSERT_TRUE(QTest::qWaitFor([&] { return STA_GetState() == ST_initial; }, 10000));
        ASSERT_TRUE(services.RestartBoot());
        frame->Command(ID_LOGIN);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frame->m_nLoginState == LOGIN_SIGNED_IN; }, 60000));

        // Closing signed in: the window goes, ten turns of 500 ms pass for the sign-out, and the close is
        // over when close() returns.
        QElapsedTimer t;
        t.start();
        frame->close();
        EXPECT_GE(t.elapsed(), 5000);
        EXPECT_FALSE(frame->isVisible());
        EXPECT_TRUE(frame->ClosingDone());
    }
    services.Stop();
    std::ifstream f(profile + "/tessaly.log");
    std::stringstream s;
    s << f.rdbuf();
    const std::string text = s.str();
    // Shutdown order in the trace.
    const char* order[] = {"Main frame closing", "Sign-out wait over", "Presence core ending", "Worker threads stopped",
                           "Plug-ins unloaded", "STA_FsmDone"};
    size_t at = 0;
    for (const char* line : order) {
        const size_t p = text.find(line, at);
        EXPECT_NE(std::string::npos, p) << line << " missing or out of order";
        if (p != std::string::npos) at = p;
    }
}

// The user's own account file ("[common] config_manual=1") through every way a run can go: signing in,
// out, failing, closing while signing in. Each run leaves the accounts as it found them, passwords included.
namespace {

enum class Step { SignIn, SignInStarted, SignOut, WrongPassword, Close };

struct AccountPath {
    const char* name;
    std::vector<Step> steps;
};

// Test names show the path's name rather than its bytes.
void PrintTo(const AccountPath& p, std::ostream* os) { *os << p.name; }

class ShellAccountFile : public ::testing::TestWithParam<AccountPath> {};

// The installation's settings with manual configuration switched on.
void WriteManualSettings(const std::string& profile) {
    std::string seed;
    if (plat::ReadFile(std::string(TESSALY_BINARY_DIR) + "/usrcfg.ini", &seed)) plat::WriteFileAtomic(profile + "/usrcfg.ini", seed);
    ASSERT_TRUE(WritePrivateProfileString("common", "config_manual", "1", (profile + "/usrcfg.ini").c_str()));
}

using Keys = std::vector<std::pair<std::string, std::string>>;

// The keys of a section that a run must keep (the server and port follow the bootstrap, the alias
// the profile's display name).
Keys KeptKeys(const std::string& path, const char* section) {
    Keys out;
    for (const auto& kv : plat::IniReadSection(path, section))
        if (kv.first == "username" || kv.first == "password" || kv.first == "autologin") out.push_back(kv);
    return out;
}

}  // namespace

TEST_P(ShellAccountFile, AccountsSurviveTheRun) {
    if (!shelltest::Services::Available()) GTEST_SKIP() << "kamailio and python3 are needed";
    qputenv("QT_QPA_PLATFORM", "offscreen");
    setenv("TESSALY_AUDIO", "manual", 1);
    QApplication app(g_argc, g_argv);
    app.setQuitOnLastWindowClosed(false);

    shelltest::Services services;
    ASSERT_TRUE(services.Start("shellaccounts")) << services.boot.Output();
    const std::string profile = services.Profile("alice", "", "", false);
    WriteManualSettings(profile);
    const std::string accounts = profile + "/account.ini";
    ASSERT_TRUE(plat::WriteFileAtomic(accounts,
                                      "[qz]\r\nusername=alice\r\npassword=secret\r\nautologin=0\r\n"
                                      "[sip]\r\nusername=alice\r\npassword=secret\r\nalias=Alice at home\r\nautologin=1\r\n",
                                      plat::FileAccess::OwnerOnly));
    const Keys qz = KeptKeys(accounts, "qz"), sip = KeptKeys(accounts, "sip");
    ASSERT_EQ(3u, qz.size());
    ASSERT_EQ(3u, sip.size());

    shell::StartOptions options;
    options.appFolder = services.AppFolder();
    options.profileFolder = profile;
    options.showSplash = false;
    {
        shell::CCorvinaApp corvina(options);
        bool run = false;
        ASSERT_EQ(0, corvina.InitInstance(&run));
        ASSERT_TRUE(run);
        CMainFrame* frame = corvina.Frame();
        ASSERT_NE(nullptr, frame);
        frame->showBox = [](const QString&, const QString&) {};
        frame->runLoginDialog = [](QString*, QString*) { return false; };
        ASSERT_TRUE(AnyAccount()) << "the account file is loaded and stays listed while signed out";

        auto signIn = [&](const char* password) {
            g_strUserId = "alice";
            shell::g_strPassword = password;
            frame->Command(ID_LOGIN);
        };
        auto signedOut = [&] { return frame->m_nLoginState == LOGIN_SIGNED_OUT && STA_GetState() == ST_initial; };
        for (Step step : GetParam().steps) {
            switch (step) {
                case Step::SignIn:
                    signIn("alice123");
                    ASSERT_TRUE(QTest::qWaitFor([&] { return frame->m_nLoginState == LOGIN_SIGNED_IN; }, 60000))
                        << "state " << STA_GetState();
                    break;
                case Step::SignInStarted:
                    signIn("alice123");
                    ASSERT_TRUE(QTest::qWaitFor([&] { return STA_GetState() != ST_initial; }, 10000));
                    break;
                case Step::WrongPassword:
                    signIn("wrong");
                    ASSERT_TRUE(QTest::qWaitFor([&] { return STA_GetState() != ST_initial; }, 10000));
                    ASSERT_TRUE(QTest::qWaitFor(signedOut, 60000)) << "state " << STA_GetState();
                    break;
                case Step::SignOut:
                    frame->Command(ID_LOGOFF);
                    ASSERT_TRUE(QTest::qWaitFor(signedOut, 10000));
                    EXPECT_TRUE(AnyAccount());
                    break;
                case Step::Close:
                    frame->close();
                    ASSERT_TRUE(QTest::qWaitFor([&] { return frame->ClosingDone(); }, 15000));
                    break;
            }
        }
        // Until the exit writes it, the file is untouched.
        EXPECT_EQ(qz, KeptKeys(accounts, "qz"));
        EXPECT_EQ(sip, KeptKeys(accounts, "sip"));
    }
    services.Stop();
    EXPECT_EQ(qz, KeptKeys(accounts, "qz")) << shelltest::Slurp(accounts);
    EXPECT_EQ(sip, KeptKeys(accounts, "sip")) << shelltest::Slurp(accounts);
    struct stat st {};
    ASSERT_EQ(0, ::stat(accounts.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_FALSE(AnyAccount());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ShellAccountFile,
    ::testing::Values(AccountPath{"StartAndClose", {Step::Close}},
                      AccountPath{"SignInAndClose", {Step::SignIn, Step::Close}},
                      AccountPath{"SignInSignOutAndClose", {Step::SignIn, Step::SignOut, Step::Close}},
                      AccountPath{"SignInTwiceAndClose", {Step::SignIn, Step::SignOut, Step::SignIn, Step::Close}},
                      AccountPath{"WrongPasswordAndClose", {Step::WrongPassword, Step::Close}},
                      AccountPath{"CloseWhileSigningIn", {Step::SignInStarted, Step::Close}}),
    [](const ::testing::TestParamInfo<AccountPath>& info) { return std::string(info.param.name); });
