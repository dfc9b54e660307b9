// The real program under Xvfb with a notification area: signed in as alice, a message from bob arrives
// while no chat with him is open. His window waits hidden behind the blinking message icon until a
// click on the icon shows it; the icon then goes.
#include <gtest/gtest.h>

#include <pellico/pellico.h>

#include <chrono>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "shell_services.h"

namespace {

using shelltest::Run;
using shelltest::Slurp;
using shelltest::WaitText;

bool Until(const std::function<bool()>& done, int ms, const std::function<void()>& meanwhile = {}) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (meanwhile) meanwhile();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

using e2e::XServer;

// The icons the notification area docked, in order, and those that went.
std::vector<std::string> Lines(const e2e::Child& host, const std::string& word) {
    std::vector<std::string> ids;
    std::stringstream out(host.Output());
    for (std::string w, id; out >> w >> id;)
        if (w == word) ids.push_back(id);
    return ids;
}

// The titles of the process's visible windows.
std::vector<std::string> Titles(const std::string& display, pid_t pid) {
    const std::string xdo = "DISPLAY=" + display + " xdotool ";
    std::vector<std::string> titles;
    std::stringstream ids(Run(xdo + "search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"));
    for (std::string id; ids >> id;) titles.push_back(Run(xdo + "getwindowname " + id + " 2>/dev/null"));
    return titles;
}

bool AnyTitleWith(const std::string& display, pid_t pid, const std::string& part) {
    for (const std::string& t : Titles(display, pid))
        if (t.find(part) != std::string::npos) return true;
    return false;
}

// Bob: a bare messaging-library client.
struct Bob {
    CMervane ctx;
    CKxCore* core;
    CKxCoreNotifier notifier;
    Bob(const std::string& dir, int port) {
        core = new CKxCore(&ctx, dir.c_str());
        ctx.m_core = core;
        core->SetNotifier(&notifier);
        CKxCoreSettings* s = core->GetSettings();
        s->SetSettingsString_Free(KX_OPT_USERNAME, CKxCore::Utf8Create("bob"));
        s->SetSettingsString_Free(KX_OPT_PASSWORD, CKxCore::Utf8Create("secret"));
        s->SetSettingsString_Free(KX_OPT_SERVER_IP, CKxCore::Utf8Create("127.0.0.1"));
        s->SetSettingsInt(KX_OPT_PORT, port);
    }
    ~Bob() { delete core; }
    EKxErrorCode_t Send(int to, const char* text) {
        Message_t* m = CKxCore::MessageNewM();
        kx_recipient* r = CKxCore::RecipientNewM();
        r->id = to;
        CKxCore::MessageAddRecipient(m, r);
        Utf8_t* t = CKxCore::Utf8Create(text);
        m->text = CKxCore::NewWStrFromUtf8(t);
        CKxCore::Utf8Free(t);
        return core->SendMessage(m, 0);
    }
};

}  // namespace

TEST(ShellNoticeProgram, AMessageForNoOpenChatWaitsBehindTheBlinkingIconUntilClicked) {
    const std::string trayhost = std::string(TESSALY_BINARY_DIR) + "/tools/trayhost/trayhost";
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool") || !e2e::HaveTool("import") ||
        access(trayhost.c_str(), X_OK) != 0)
        GTEST_SKIP() << "kamailio, python3, Xvfb, xdotool, ImageMagick and the test notification area are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("noticeprogram"));
    XServer x;
    ASSERT_TRUE(x.Start(services.dir)) << x.process.Output();
    e2e::Child area;
    ASSERT_TRUE(area.Start({trayhost}, services.dir + "/trayhost.out", {"DISPLAY=" + x.display}));
    ASSERT_TRUE(area.WaitFor("READY", 10000)) << area.Output();

    const std::string profile = services.Profile("alice", "alice", "alice123", true);
    const std::string log = profile + "/tessaly.log";
    e2e::Child program;
    // No session bus: the icons go to the X notification area.
    const std::vector<std::string> env = {"DISPLAY=" + x.display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=manual",
                                          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + services.dir + "/no-bus"};
    ASSERT_TRUE(program.Start({std::string(TESSALY_BINARY_DIR) + "/tessaly", "--app-folder", services.AppFolder(), "--profile", profile, "/nosplash"},
                              services.dir + "/program.out", env));
    ASSERT_TRUE(WaitText(log, "Login state 6", 60000)) << Slurp(log);
    ASSERT_TRUE(WaitText(log, "mervane buddy list receive end", 20000)) << Slurp(log);
    ASSERT_TRUE(Until([&] { return Lines(area, "DOCK").size() == 1; }, 10000)) << "the program's own icon\n" << area.Output();

    Bob bob(services.dir + "/bob", services.msgPort);
    auto tick = [&] { bob.core->TickCore(); };
    ASSERT_EQ(KX_OK, bob.core->SignIn(KX_VISIBILITY_VISIBLE));
    ASSERT_TRUE(Until([&] { return bob.core->GetConnectionState() == KX_ONLINE; }, 10000, tick));
    ASSERT_EQ(KX_OK, bob.Send(1001, "are you there, alice?"));
    ASSERT_TRUE(Until([&] { return Slurp(log).find("Rcv TEXT Msg") != std::string::npos; }, 15000, tick)) << Slurp(log);

    // The message icon comes beside the program's icon, and no chat window shows.
    ASSERT_TRUE(Until([&] { return Lines(area, "DOCK").size() == 2; }, 10000, tick)) << area.Output();
    const std::string icon = Lines(area, "DOCK")[1];
    EXPECT_TRUE(WaitText(log, "A new chat waits behind the message icon", 5000));
    EXPECT_FALSE(AnyTitleWith(x.display, program.pid, "Messages")) << "the window waits hidden";

    // It blinks: its picture changes while it waits.
    std::set<std::string> pictures;
    const std::string grab = "import -display " + x.display + " -window " + icon + " -format %# info: 2>/dev/null";
    EXPECT_TRUE(Until([&] { pictures.insert(shelltest::Run(grab)); return pictures.size() >= 2; }, 5000)) << "one picture only";
    EXPECT_FALSE(AnyTitleWith(x.display, program.pid, "Messages")) << "still hidden";

    // A click shows bob's window, and the icon goes with the last notice.
    shelltest::Run("DISPLAY=" + x.display + " xdotool mousemove --window " + icon + " 11 11 click 1 2>/dev/null");
    EXPECT_TRUE(Until([&] { return AnyTitleWith(x.display, program.pid, "Messages - Bob"); }, 10000))
        << Slurp(log);
    EXPECT_TRUE(Until([&] { return !Lines(area, "GONE").empty() && Lines(area, "GONE").back() == icon; }, 5000))
        << area.Output();

    kill(program.pid, SIGTERM);
    EXPECT_EQ(0, program.Wait(20000));
    area.Stop();
    x.process.Stop();
    services.Stop();
}
