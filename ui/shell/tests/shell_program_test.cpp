// The real program under Xvfb, driven from outside: it starts, signs in by itself, registers at kamailio
// (a call from another phone reaches it), answers dial requests on its local socket, lets a second start
// activate it without touching its log, and closes leaving nothing running.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <dirent.h>

#include "shell_services.h"
#include "ui/shell/instance_guard.h"

namespace {

using shelltest::Slurp;
using shelltest::WaitText;

// Children of a process (any process whose parent is pid).
std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        const pid_t p = static_cast<pid_t>(atoi(e->d_name));
        if (p <= 0) continue;
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::stringstream s(line.substr(close + 2));
        char state;
        pid_t ppid = 0;
        s >> state >> ppid;
        if (ppid == pid) out.push_back(p);
    }
    closedir(d);
    return out;
}

std::string LinesWith(const std::string& text, const std::string& part) {
    std::stringstream in(text), out;
    for (std::string line; std::getline(in, line);)
        if (line.find(part) != std::string::npos) out << line << "\n";
    return out.str().empty() ? "no line with \"" + part + "\"" : out.str();
}

struct Xvfb {
    e2e::Child server;
    std::string display;
    bool Start(const std::string& dir) {
        for (int n = 140; n < 200; ++n) {
            const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
            if (access(sock.c_str(), F_OK) == 0 || access(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), F_OK) == 0) continue;
            display = ":" + std::to_string(n);
            if (!server.Start({"/usr/bin/Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, dir + "/xvfb.log"))
                return false;
            for (int waited = 0; waited < 5000; waited += 20) {
                if (access(sock.c_str(), F_OK) == 0) return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            return false;
        }
        return false;
    }
};

}  // namespace

TEST(ShellProgram, StartsSignsInAnswersDialRequestsAndClosesCleanly) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb")) GTEST_SKIP() << "kamailio, python3 and Xvfb are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("shellprogram"));
    Xvfb x;
    ASSERT_TRUE(x.Start(services.dir));
    const std::string profile = services.Profile("alice", "alice", "alice123", true);
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    const std::string log = profile + "/tessaly.log";
    const std::vector<std::string> env = {"DISPLAY=" + x.display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=manual"};

    e2e::Child program;
    ASSERT_TRUE(program.Start({app, "--profile", profile, "/nosplash"}, services.dir + "/program.out", env));
    ASSERT_TRUE(WaitText(log, "Login state 6", 60000)) << Slurp(log);

    // Start order in the trace: the log opens after the instance test, the threads after the frame.
    const std::string start = Slurp(log);
    const char* order[] = {"System Start", "Presence core started", "Set language type", "Set skin", "Main frame shown",
                           "Create bootstrap thread", "Create update thread", "Create access client thread",
                           "Send login message to main window", "call server_login proc login"};
    size_t at = 0;
    for (const char* line : order) {
        const size_t p = start.find(line, at);
        EXPECT_NE(std::string::npos, p) << line << " missing or out of order";
        if (p != std::string::npos) at = p;
    }
    const auto commands = services.AccessCommands();
    EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), "LGN"));
    EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), "SYN"));

    // Registered at kamailio: another phone's call through it reaches the program.
    e2e::Child bob;
    const std::string peer = std::string(TESSALY_BINARY_DIR) + "/tools/voicepeer/voicepeer";
    ASSERT_TRUE(bob.Start({peer, "call", "--sip-port", std::to_string(e2e::FreePortPair(57)), "--user", "bob", "--remote-port",
                           std::to_string(services.kamPort), "--call", "alice", "--seconds", "3"},
                          services.dir + "/bob.log", {"TESSALY_AUDIO=manual"}));
    EXPECT_TRUE(WaitText(log, "UI event: Incoming call from", 20000)) << bob.Output();
    bob.Wait(20000);
    ASSERT_TRUE(WaitText(log, "UI event: Call with bob@127.0.0.1 ended", 20000)) << bob.Output();
    // After the call the user opens the service page from the View menu: it shows the skin's local page in
    // the program's language.
    ASSERT_TRUE(e2e::HaveTool("xdotool"));
    const std::string xdo = "DISPLAY=" + x.display + " xdotool ";
    EXPECT_EQ(0, std::system((xdo + "search --sync --onlyvisible --limit 1 --name '^Tessaly' windowfocus --sync key alt+v").c_str()));
    // The menu closes on the key, before the tool's own release of it reaches the menu: no status to check.
    std::system((xdo + "sleep 0.3 key s 2>/dev/null").c_str());
    const std::string servicePage = "file://" + std::string(TESSALY_BINARY_DIR) + "/skin/default/service.htm#eng";
    EXPECT_TRUE(WaitText(log, "Service page shown: " + servicePage + ", title \"Tessaly services\"", 20000))
        << LinesWith(Slurp(log), "Service page");
    EXPECT_EQ(std::string::npos, Slurp(log).find("Service page could not load"));

    // Dial requests over the local socket, answered on the requester's connection; carol answers.
    e2e::Child carol;
    ASSERT_TRUE(carol.Start({peer, "call", "--sip-port", std::to_string(e2e::FreePortPair(59)), "--user", "carol",
                             "--remote-port", std::to_string(services.kamPort), "--seconds", "8"},
                            services.dir + "/carol.log", {"TESSALY_AUDIO=manual"}));
    ASSERT_TRUE(carol.WaitFor("ready", 10000));
    EXPECT_EQ(0, shell::SendDialRequest(profile, "12;rm -rf /")) << "only number characters";
    EXPECT_EQ(0, shell::SendDialRequest(profile, QByteArray(400, '1'))) << "bounded";
    EXPECT_EQ(3, shell::SendDialRequest(profile, "carol")) << "signed in and idle: dialled";
    ASSERT_TRUE(WaitText(log, "UI event: In a call with carol", 15000)) << carol.Output();
    EXPECT_EQ(1, shell::SendDialRequest(profile, "carol")) << "its call page exists";
    EXPECT_EQ(2, shell::SendDialRequest(profile, "bob")) << "talking elsewhere";

    // A second start activates the first and ends without touching its log.
    const size_t logSize = Slurp(log).size();
    e2e::Child second;
    ASSERT_TRUE(second.Start({app, "--profile", profile}, services.dir + "/second.out", env));
    EXPECT_EQ(0, second.Wait(10000));
    EXPECT_TRUE(WaitText(log, "Activated by a second start", 5000));
    const std::string after = Slurp(log);
    EXPECT_GE(after.size(), logSize);
    EXPECT_EQ(after.find("System Start"), after.rfind("System Start")) << "one start in the log";

    // Close as a session end does: signed out, threads stopped, nothing left running.
    const pid_t pid = program.pid;
    kill(pid, SIGTERM);
    EXPECT_EQ(0, program.Wait(20000)) << Slurp(log);
    EXPECT_TRUE(ChildrenOf(pid).empty());
    const std::string end = Slurp(log);
    const char* shutdown[] = {"Main frame closing", "Signing out before exit", "Sign-out wait over", "Presence core ending",
                              "Worker threads stopped", "Plug-ins unloaded", "STA_FsmDone", "System Exit"};
    at = 0;
    for (const char* line : shutdown) {
        const size_t p = end.find(line, at);
        EXPECT_NE(std::string::npos, p) << line << " missing or out of order";
        if (p != std::string::npos) at = p;
    }
    EXPECT_EQ(0, shell::SendDialRequest(profile, "1", 500) + 1) << "nobody answers after the close";
    carol.Stop();
    x.server.Stop();
    services.Stop();
}
