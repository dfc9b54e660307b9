// The real program under Xvfb, driven from outside: it starts, signs in by itself, registers at kamailio
// (a call from another phone reaches it), answers dial requests on its local socket, lets a second start
// activate it without touching its log, and closes leaving nothing running. Every seeded user sees their
// own name in the title and keeps the messaging store in their own profile; busy stays their own.
// Signed out, the address book's commands are greyed and the status commands set nothing.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <dirent.h>
#include <sys/stat.h>

#include <future>
#include <utility>

#include "platform/codepage.h"
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

// The screen the program must fit.
const char* const kScreen = "1024x768x24";

using shelltest::ChooseFromMenu;
using shelltest::FindWindow;

// When the file was last written (0 when it is not there).
time_t Written(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

}  // namespace

TEST(ShellProgram, EverySeededUserSeesTheirOwnNameKeepsTheirOwnStoreAndKeepsBusyToThemselves) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool"))
        GTEST_SKIP() << "kamailio, python3, Xvfb and xdotool are needed";
    struct User {
        std::string id, name;  // the access server's display name, UTF-8
        std::string profile;
        e2e::Child program;
    } users[] = {{"alice", "Alice", {}, {}},
                 {"bob", "Bob", {}, {}},
                 {"zhangwei", "\xe5\xbc\xa0\xe4\xbc\x9f", {}, {}},  // 张伟
                 {"lina", "\xe6\x9d\x8e\xe5\xa8\x9c", {}, {}},      // 李娜
                 {"carol", "Carol", {}, {}}};
    shelltest::Services services;
    services.msgUsers = {"1001:alice:secret:Alice", "1002:bob:secret:Bob", "1003:zhangwei:secret:\xe5\xbc\xa0\xe4\xbc\x9f",
                         "1004:lina:secret:\xe6\x9d\x8e\xe5\xa8\x9c", "1005:carol:secret:Carol"};
    ASSERT_TRUE(services.Start("shellnames"));
    e2e::XServer x;
    ASSERT_TRUE(x.Start(services.dir, kScreen)) << x.process.Output();
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    // The installation's folder is every profile's working directory: the store must not land there.
    const std::string sharedStore = std::string(TESSALY_BINARY_DIR) + "/mervane/config/Username";
    const time_t sharedBefore = Written(sharedStore);
    const std::vector<std::string> env = {"DISPLAY=" + x.display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=manual"};
    for (User& u : users) {
        u.profile = services.Profile(u.id, u.id, u.id + "123", true);
        ASSERT_TRUE(u.program.Start({app, "--app-folder", services.AppFolder(), "--profile", u.profile, "/nosplash"}, services.dir + "/" + u.id + ".out", env));
    }
    for (User& u : users) {
        SCOPED_TRACE(u.id);
        ASSERT_TRUE(WaitText(u.profile + "/tessaly.log", "Login state 6", 60000)) << Slurp(u.profile + "/tessaly.log");
        const std::string want = " - " + u.name;
        std::string title;
        for (int waited = 0; waited < 10000; waited += 100) {
            title = FindWindow(x.display, u.program.pid, "Tessaly").second;
            if (title.size() >= want.size() && title.compare(title.size() - want.size(), want.size(), want) == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ("Tessaly" + want, title) << "the title names the user as the access server does";
        // The messaging library keeps its files in this profile, under this user's name.
        const std::string stored = Slurp(u.profile + "/mervane/config/Username");
        EXPECT_EQ(u.id, stored.size() > 2 ? stored.substr(2) : std::string()) << "the store of this profile";
    }
    EXPECT_EQ(sharedBefore, Written(sharedStore)) << "nothing written to the installation's store";

    // Busy and back from the Status menu: the user's own status only; the messaging service hears
    // nothing of it.
    User& alice = users[0];
    const std::string aliceLog = alice.profile + "/tessaly.log";
    const std::string server = services.dir + "/msgserver.log";
    const size_t busyBefore = shelltest::CountText(aliceLog, ": busy");
    ASSERT_TRUE(ChooseFromMenu(x.display, alice.program.pid, "t", "b"));
    EXPECT_TRUE(shelltest::WaitCount(aliceLog, ": busy", busyBefore + 1, 15000)) << Slurp(aliceLog);
    const size_t onlineBefore = shelltest::CountText(aliceLog, ": online");
    ASSERT_TRUE(ChooseFromMenu(x.display, alice.program.pid, "t", "o"));
    EXPECT_TRUE(shelltest::WaitCount(aliceLog, ": online", onlineBefore + 1, 15000)) << Slurp(aliceLog);
    EXPECT_EQ(std::string::npos, Slurp(server).find("visibility alice")) << "the server was told a status";
    for (User& u : users) {
        kill(u.program.pid, SIGTERM);
        EXPECT_EQ(0, u.program.Wait(20000)) << u.id;
    }
    x.process.Stop();
    services.Stop();
}

TEST(ShellProgram, StartsSignsInAnswersDialRequestsAndClosesCleanly) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb")) GTEST_SKIP() << "kamailio, python3 and Xvfb are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("shellprogram"));
    e2e::XServer x;
    ASSERT_TRUE(x.Start(services.dir, kScreen)) << x.process.Output();
    const std::string profile = services.Profile("alice", "alice", "alice123", true);
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    const std::string log = profile + "/tessaly.log";
    const std::vector<std::string> env = {"DISPLAY=" + x.display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=manual"};

    e2e::Child program;
    ASSERT_TRUE(program.Start({app, "--app-folder", services.AppFolder(), "--profile", profile, "/nosplash"}, services.dir + "/program.out", env));
    ASSERT_TRUE(WaitText(log, "Login state 6", 60000)) << Slurp(log);
    // The window is up and signed in, its dial bar's local page in the browser engine (whose helper
    // processes are the program's children).
    bool engine = false;
    for (int waited = 0; waited < 30000 && !(engine = !ChildrenOf(program.pid).empty()); waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(engine) << "the dial bar's page runs in the engine";

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
    // The window, where the skin places it (100 pixels down), fits the 768-pixel screen, status bar and all.
    if (e2e::HaveTool("xdotool")) {
        const std::string id = shelltest::WaitWindow(x.display, program.pid, "Tessaly", 15000).first;
        ASSERT_FALSE(id.empty());
        std::stringstream g(shelltest::Run("DISPLAY=" + x.display + " xdotool getwindowgeometry --shell " + id));
        int top = -1, height = 0;
        for (std::string line; std::getline(g, line);) {
            if (line.rfind("Y=", 0) == 0) top = std::atoi(line.c_str() + 2);
            if (line.rfind("HEIGHT=", 0) == 0) height = std::atoi(line.c_str() + 7);
        }
        EXPECT_EQ(100, top);
        EXPECT_LE(top + height, 768) << "height " << height;
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
    EXPECT_TRUE(WaitText(log, "VOIPEVT_REMOTE_NEWCALL", 20000)) << bob.Output();
    bob.Wait(20000);
    ASSERT_TRUE(WaitText(log, "VOIPEVT_RELEASE_CALL", 20000)) << bob.Output();
    // The unanswered call is in the call log under the contact's name (not the remark name alice gave him).
    const std::vector<CallLogEntry> calls = shelltest::WaitCallLog(profile + "/individual/alice/calllog.dat", 1, 20000);
    ASSERT_EQ(1u, calls.size());
    EXPECT_STREQ("Bob", calls[0].name);
    EXPECT_EQ(CALLLOG_MISSED, calls[0].typeFlags);
    // After the call the user opens the service page from the View menu: it shows the skin's local page in
    // the program's language.
    ASSERT_TRUE(e2e::HaveTool("xdotool"));
    const std::string windowBefore = FindWindow(x.display, program.pid, "Tessaly").first;
    ASSERT_TRUE(ChooseFromMenu(x.display, program.pid, "v", "s"));
    const std::string servicePage = "file://" + services.AppFolder() + "/skin/default/service.htm#eng";
    EXPECT_TRUE(WaitText(log, "Service page shown: " + servicePage + ", title \"Tessaly services\"", 20000))
        << LinesWith(Slurp(log), "Service page");
    // The page's first view leaves the main window as it was: the same window, never taken off the screen.
    EXPECT_EQ(windowBefore, FindWindow(x.display, program.pid, "Tessaly").first);
    EXPECT_EQ(std::string::npos, Slurp(log).find("Service page could not load"));

    // A dial request for the user's own address meets the box a call to oneself shows, and is answered 3
    // once the box is closed.
    auto own = std::async(std::launch::async, [&] { return shell::SendDialRequest(profile, "alice", 60000); });
    std::string box;
    for (int waited = 0; waited < 20000 && box.empty(); waited += 100) {
        box = FindWindow(x.display, program.pid, "Dial").first;
        if (box.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_FALSE(box.empty()) << "the box of a call to oneself";
    shelltest::Run("DISPLAY=" + x.display + " xdotool key --window " + box + " Escape 2>/dev/null");
    EXPECT_EQ(3, own.get());

    // Dial requests over the local socket, answered on the requester's connection; carol answers.
    e2e::Child carol;
    ASSERT_TRUE(carol.Start({peer, "call", "--sip-port", std::to_string(e2e::FreePortPair(59)), "--user", "carol",
                             "--remote-port", std::to_string(services.kamPort), "--seconds", "8"},
                            services.dir + "/carol.log", {"TESSALY_AUDIO=manual"}));
    ASSERT_TRUE(carol.WaitFor("ready", 30000));
    EXPECT_EQ(0, shell::SendDialRequest(profile, "12;rm -rf /")) << "only number characters";
    EXPECT_EQ(0, shell::SendDialRequest(profile, QByteArray(400, '1'))) << "bounded";
    EXPECT_EQ(3, shell::SendDialRequest(profile, "carol")) << "signed in and idle: dialled";
    ASSERT_TRUE(WaitText(log, "VOIPEVT_REMOTE_ANSWER", 15000)) << carol.Output();
    EXPECT_EQ(1, shell::SendDialRequest(profile, "carol")) << "its call page exists";
    EXPECT_EQ(2, shell::SendDialRequest(profile, "bob")) << "talking elsewhere";

    // A second start activates the first and ends without touching its log.
    const size_t logSize = Slurp(log).size();
    e2e::Child second;
    ASSERT_TRUE(second.Start({app, "--app-folder", services.AppFolder(), "--profile", profile}, services.dir + "/second.out", env));
    EXPECT_EQ(0, second.Wait(30000));  // a start of its own, slow on a busy machine
    EXPECT_TRUE(WaitText(log, "Activated by a second start", 20000));
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
                              "Worker threads stopped", "Plug-ins unloaded", "STA_FsmDone"};
    at = 0;
    for (const char* line : shutdown) {
        const size_t p = end.find(line, at);
        EXPECT_NE(std::string::npos, p) << line << " missing or out of order";
        if (p != std::string::npos) at = p;
    }
    EXPECT_EQ(0, shell::SendDialRequest(profile, "1", 500) + 1) << "nobody answers after the close";
    carol.Stop();
    x.process.Stop();
    services.Stop();
}

// Signed out, the address book's commands are greyed (choosing one opens nothing), busy sets nothing and
// online asks who signs in; the About box of the same menu bar opens as it should.
TEST(ShellProgram, SignedOutTheContactsCommandsAreGreyedAndStatusCommandsSetNothing) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool"))
        GTEST_SKIP() << "kamailio, python3, Xvfb and xdotool are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("shellgreyed"));
    e2e::XServer x;
    ASSERT_TRUE(x.Start(services.dir, kScreen)) << x.process.Output();
    // A saved user without automatic sign-in: the program starts signed out and opens no dialog.
    const std::string profile = services.Profile("alice", "alice", "alice123", false);
    const std::string log = profile + "/tessaly.log";
    const std::vector<std::string> env = {"DISPLAY=" + x.display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=manual"};
    e2e::Child program;
    ASSERT_TRUE(program.Start({std::string(TESSALY_BINARY_DIR) + "/tessaly", "--app-folder", services.AppFolder(), "--profile", profile, "/nosplash"},
                              services.dir + "/program.out", env));
    ASSERT_TRUE(WaitText(log, "Main frame shown", 30000)) << Slurp(log);
    const std::string xdo = "DISPLAY=" + x.display + " xdotool ";
    auto waitWindow = [&](const std::string& title, int ms) {
        for (int waited = 0; waited < ms; waited += 100) {
            const std::string id = FindWindow(x.display, program.pid, title).first;
            if (!id.empty()) return id;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return std::string();
    };

    const std::string count = xdo + "search --onlyvisible --pid " + std::to_string(program.pid) + " 2>/dev/null | wc -l";
    const int baseline = std::atoi(shelltest::Run(count).c_str());
    // Escape on the main window until no menu is open any more.
    auto closeMenus = [&] {
        const std::string main = FindWindow(x.display, program.pid, "Tessaly").first;
        for (int tries = 0; tries < 20 && std::atoi(shelltest::Run(count).c_str()) > baseline; ++tries) {
            shelltest::Run(xdo + "key --window " + main + " Escape 2>/dev/null");
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        return std::atoi(shelltest::Run(count).c_str()) == baseline;
    };

    // The menu bar works: Help, About opens the about box.
    ASSERT_TRUE(ChooseFromMenu(x.display, program.pid, "h", "a"));
    const std::string about = waitWindow("About Tessaly", 5000);
    ASSERT_FALSE(about.empty()) << "the about box";
    shelltest::Run(xdo + "key --window " + about + " Escape 2>/dev/null");
    bool gone = false;
    for (int waited = 0; waited < 5000 && !gone; waited += 100) {
        gone = FindWindow(x.display, program.pid, "About Tessaly").first.empty();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(gone) << "the about box closes with Escape";

    // Contacts, Add contact: greyed, so the key picks nothing and no dialog asks the server.
    ASSERT_TRUE(ChooseFromMenu(x.display, program.pid, "c", "a"));
    EXPECT_TRUE(waitWindow("Add a buddy", 1500).empty()) << "add contact is greyed while signed out";
    ASSERT_TRUE(closeMenus());

    // Status, Busy: nothing is set; Status, Online: the sign-in asks who signs in.
    ASSERT_TRUE(ChooseFromMenu(x.display, program.pid, "t", "b"));
    EXPECT_TRUE(WaitText(log, "Status command 3116 in sign-in state 0: nothing", 5000)) << LinesWith(Slurp(log), "Status command");
    ASSERT_TRUE(ChooseFromMenu(x.display, program.pid, "t", "o"));
    EXPECT_TRUE(WaitText(log, "Status command 3114 in sign-in state 0: sign in", 5000)) << LinesWith(Slurp(log), "Status command");
    const std::string signIn = waitWindow("Sign in to Tessaly", 10000);
    EXPECT_FALSE(signIn.empty()) << "the login dialog";
    if (!signIn.empty()) shelltest::Run(xdo + "key --window " + signIn + " Escape 2>/dev/null");
    const auto commands = services.AccessCommands();
    EXPECT_EQ(commands.end(), std::find(commands.begin(), commands.end(), "ADD")) << "no request while signed out";

    kill(program.pid, SIGTERM);
    EXPECT_EQ(0, program.Wait(20000)) << Slurp(log);
    x.process.Stop();
    services.Stop();
}

// Send SMS opens the SMS window through the real chat side; signing out takes the signed-out user's
// windows with it: the SMS window, the chat-room list, the chat-record browser and the search window.
TEST(ShellProgram, SendSmsOpensItsWindowAndSignOutTakesTheUsersWindows) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool"))
        GTEST_SKIP() << "kamailio, python3, Xvfb and xdotool are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("shellwindows"));
    e2e::XServer x;
    ASSERT_TRUE(x.Start(services.dir, kScreen)) << x.process.Output();
    const std::string profile = services.Profile("alice", "alice", "alice123", true);
    const std::string log = profile + "/tessaly.log";
    const std::vector<std::string> env = {"DISPLAY=" + x.display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=manual"};
    e2e::Child program;
    ASSERT_TRUE(program.Start({std::string(TESSALY_BINARY_DIR) + "/tessaly", "--app-folder", services.AppFolder(), "--profile", profile, "/nosplash"},
                              services.dir + "/program.out", env));
    ASSERT_TRUE(WaitText(log, "Login state 6", 60000)) << Slurp(log);
    // Until the window with the title shows (true) or is gone (false); false when it never came to be so.
    auto await = [&](const std::string& title, bool shown) {
        for (int waited = 0; waited < 30000; waited += 100) {
            if (FindWindow(x.display, program.pid, title).first.empty() != shown) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    // The titles of the program's windows, for a failure's message.
    auto titles = [&] {
        std::string all;
        std::stringstream ids(shelltest::Run("DISPLAY=" + x.display + " xdotool search --onlyvisible --pid " +
                                             std::to_string(program.pid) + " 2>/dev/null"));
        for (std::string id; ids >> id;)
            all += "[" + shelltest::Run("DISPLAY=" + x.display + " xdotool getwindowname " + id + " 2>/dev/null") + "]";
        return all;
    };

    // View, Send SMS: the window opens with no recipient.
    ASSERT_TRUE(ChooseFromMenu(x.display, program.pid, "v", "m"));
    EXPECT_TRUE(await("Send SMS", true)) << "the SMS window" << titles();
    // The chat rooms, the chat history and the search window of the same menu.
    const std::pair<const char*, const char*> others[] = {{"r", "Chat rooms"}, {"h", "Message management"}, {"f", "Search"}};
    for (const auto& [key, title] : others) {
        ASSERT_TRUE(ChooseFromMenu(x.display, program.pid, "v", key)) << title;
        EXPECT_TRUE(await(title, true)) << title << titles();
    }

    // File, Sign out: each of them goes.
    ASSERT_TRUE(ChooseFromMenu(x.display, program.pid, "f", "o"));
    for (const char* title : {"Send SMS", "Chat rooms", "Message management", "Search"})
        EXPECT_TRUE(await(title, false)) << title << " still open after signing out";
    EXPECT_FALSE(FindWindow(x.display, program.pid, "Tessaly").first.empty()) << "the main window stays";

    kill(program.pid, SIGTERM);
    EXPECT_EQ(0, program.Wait(20000)) << Slurp(log);
    x.process.Stop();
    services.Stop();
}

// Command lines the program cannot follow end with a word on the error output and a non-zero code; a FIFO
// or a device where the profile's files belong is never opened, so the start goes on without them.
TEST(ShellProgram, BadCommandLinesAndFilesInTheWayAreRefusedWithAWord) {
    const std::string dir = e2e::TempDir("shellargs");
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "TESSALY_AUDIO=manual"};
    const std::string profile = dir + "/profile", file = dir + "/file";
    std::ofstream(file) << "x";
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    } cases[] = {
        {{"--profile"}, 2, "tessaly: --profile needs a folder"},
        {{"-p", "--dial", "12"}, 2, "tessaly: -p needs a folder"},
        {{"--profile", profile, "--dial"}, 2, "tessaly: --dial needs a number"},
        {{"--profile", profile, "--dial", "12\nACTIVATE"}, 2, "tessaly: --dial: \"12?ACTIVATE\" is not a number"},
        {{"--profile", file}, 2, "tessaly: profile folder " + file + ": not a folder"},
        {{"--profile", "/dev/null"}, 2, "tessaly: profile folder /dev/null: not a folder"},
        {{"--profile", dir + "/" + std::string(300, 'a')}, 2, ": cannot be made: File name too long"},
        {{"--profile", dir + "/" + std::string(2000, 'b')}, 2, ": path too long (2"},
        {{"--profile", profile, "--dial", "12"}, 2, "tessaly: no running copy for this profile"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {app};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.says);
        e2e::Child program;
        ASSERT_TRUE(program.Start(args, dir + "/out.txt", env));
        EXPECT_EQ(c.code, program.Wait(20000));
        EXPECT_NE(std::string::npos, program.Output().find(c.says)) << program.Output();
    }

    // No display at all: a word and exit code 2, not an abort.
    {
        e2e::Child program;
        ASSERT_TRUE(program.Start({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", app,
                                   "--profile", profile, "--dial", "12"},
                                  dir + "/nodisplay.out"));
        EXPECT_EQ(2, program.Wait(20000)) << program.Output();
        EXPECT_NE(std::string::npos, program.Output().find("tessaly: cannot open the display")) << program.Output();
    }

    // A FIFO where the settings belong: the start goes on with the built-in settings (tracing off, so
    // nothing is logged), answers a second start and ends normally.
    const std::string settings = profile + "/usrcfg.ini";
    ASSERT_EQ(0, mkfifo(settings.c_str(), 0600));
    {
        e2e::Child program;
        ASSERT_TRUE(program.Start({app, "--profile", profile, "/nosplash"}, dir + "/program.out", env));
        const std::string door = shell::InstanceSocketPath(profile);
        for (int waited = 0; waited < 30000 && access(door.c_str(), F_OK) != 0; waited += 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(0, access(door.c_str(), F_OK)) << "the first copy listens";
        e2e::Child second;
        ASSERT_TRUE(second.Start({app, "--profile", profile}, dir + "/second.out", env));
        EXPECT_EQ(0, second.Wait(60000)) << second.Output();
        kill(program.pid, SIGTERM);
        EXPECT_EQ(0, program.Wait(20000)) << program.Output();
        struct stat st {};
        ASSERT_EQ(0, lstat(settings.c_str(), &st));
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        unlink(settings.c_str());
    }

    // FIFOs where the saved logins, the account file and the settings XML (in the installation) belong:
    // each is named in the log, none is opened or replaced.
    const std::string install = dir + "/app";
    ASSERT_TRUE(testsupport::LinkInstallation(install));
    const std::string fifos[] = {profile + "/usrInfo.xml", profile + "/account.ini", install + "/tessaly.xml"};
    for (const std::string& f : fifos) ASSERT_EQ(0, mkfifo(f.c_str(), 0600));
    const std::string log = profile + "/tessaly.log";
    unlink(log.c_str());
    e2e::Child program;
    ASSERT_TRUE(program.Start({app, "--app-folder", install, "--profile", profile, "/nosplash"}, dir + "/program.out", env));
    ASSERT_TRUE(WaitText(log, "Main frame shown", 30000)) << program.Output() << Slurp(log);
    for (const std::string& f : fifos) {
        EXPECT_NE(std::string::npos, Slurp(log).find(f + " is not a regular file: not read, kept as it is")) << f;
    }
    EXPECT_TRUE(WaitText(log, "Saved logins " + profile + "/usrInfo.xml: not a regular file", 10000));
    e2e::Child second;
    ASSERT_TRUE(second.Start({app, "--app-folder", install, "--profile", profile}, dir + "/second.out", env));
    EXPECT_EQ(0, second.Wait(20000)) << second.Output();  // the first copy's event loop runs
    kill(program.pid, SIGTERM);
    EXPECT_EQ(0, program.Wait(20000)) << Slurp(log);
    for (const std::string& f : fifos) {
        struct stat st {};
        ASSERT_EQ(0, lstat(f.c_str(), &st));
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << f;
    }
}
