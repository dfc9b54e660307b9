// Two copies of the program under Xvfb, signed in as alice and bob, chatting through the messaging test
// server: alice opens a chat with bob from her address book and sends English and Chinese text, bob
// answers from the window his program opened by itself, and alice holds her press-to-talk button for
// a voice message; both record the exchange.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/codepage.h"
#include "ui/chat/chat_record_store.h"
#include "shell_services.h"

namespace {

using shelltest::Slurp;
using shelltest::WaitText;
using shelltest::Run;

struct Box {
    std::string id;
    int x = 0, y = 0, w = 0, h = 0;
};

// The visible window of that process whose title holds the text (the largest when several do).
Box FindWindow(const std::string& display, pid_t pid, const std::string& title, int ms) {
    const std::string env = "DISPLAY=" + display + " ";
    for (int waited = 0; waited < ms; waited += 200) {
        Box best;
        std::stringstream ids(Run(env + "xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"));
        for (std::string id; ids >> id;) {
            if (Run(env + "xdotool getwindowname " + id + " 2>/dev/null").find(title) == std::string::npos) continue;
            Box b;
            b.id = id;
            std::stringstream g(Run(env + "xdotool getwindowgeometry --shell " + id + " 2>/dev/null"));
            for (std::string line; std::getline(g, line);) {
                if (line.rfind("X=", 0) == 0) b.x = atoi(line.c_str() + 2);
                if (line.rfind("Y=", 0) == 0) b.y = atoi(line.c_str() + 2);
                if (line.rfind("WIDTH=", 0) == 0) b.w = atoi(line.c_str() + 6);
                if (line.rfind("HEIGHT=", 0) == 0) b.h = atoi(line.c_str() + 7);
            }
            if (b.w * b.h > best.w * best.h) best = b;
        }
        if (!best.id.empty()) return best;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return {};
}

void X(const std::string& display, const std::string& args) { Run("DISPLAY=" + display + " xdotool " + args + " >/dev/null 2>&1"); }

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The chat records of one peer in a program's record tree, as the record browser reads them.
std::vector<ChatRecordRow> PeerRecords(const std::string& root, int peer) {
    std::vector<ChatRecordRow> rows;
    ChatRecordFile(root).ScanFolder(peer, {}, &rows);
    return rows;
}

// Waits for a record of that peer with the content (voice: any voice record).
bool WaitRecord(const std::string& root, int peer, const std::string& content, bool voice, int ms) {
    for (int waited = 0; waited < ms; waited += 100) {
        for (const ChatRecordRow& r : PeerRecords(root, peer))
            if (voice ? r.voice == 1 : (r.voice == 0 && r.content == content)) return true;
        Pause(100);
    }
    return false;
}

// The messaging server's arguments as the run command starts it (chat robot and rooms included), with
// the script and port of this test.
std::vector<std::string> RunCommandMessagingServer(const std::string& src, int port) {
    std::string text = Slurp(src + "/tools/run.sh");
    for (size_t at; (at = text.find("\\\n")) != std::string::npos;) text.replace(at, 2, " ");
    std::string line;
    std::stringstream lines(text);
    while (std::getline(lines, line) && line.find("tools/msgserver/msgserver.py") == std::string::npos) {}
    if (line.empty()) return {};
    const size_t from = line.find("tools/msgserver/msgserver.py");
    const std::string words = line.substr(from, line.find('>', from) - from);
    const std::string script = e2e::TempDir("runargs") + "/args.sh";
    std::ofstream(script) << "set -- " << words << "\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done\n";
    std::vector<std::string> args = {"/usr/bin/python3"};
    std::stringstream split(Run("sh " + script));
    for (std::string a; std::getline(split, a);) args.push_back(a);
    if (args.size() < 2) return {};
    args[1] = src + "/tools/msgserver/msgserver.py";
    for (size_t i = 2; i + 1 < args.size(); ++i)
        if (args[i] == "--port") args[i + 1] = std::to_string(port);
    return args;
}

// Every window of the process whose title holds the text.
int CountWindows(const std::string& display, pid_t pid, const std::string& title) {
    int n = 0;
    std::stringstream ids(Run("DISPLAY=" + display + " xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"));
    for (std::string id; ids >> id;)
        n += Run("DISPLAY=" + display + " xdotool getwindowname " + id + " 2>/dev/null").find(title) != std::string::npos;
    return n;
}

}  // namespace

// The profile the run command makes names the chat robot its messaging server runs: a room joins in
// seconds, the wait ends with the answer, and nothing of the room's commands reaches the user as text.
// A copy that ended without leaving the room leaves it when the room next speaks, opening no chat.
TEST(ChatProgram, ARoomJoinsFromTheRunCommandsProfile) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool"))
        GTEST_SKIP() << "kamailio, python3, Xvfb and xdotool are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("chatroomprogram"));
    const std::vector<std::string> msgArgs = RunCommandMessagingServer(services.src, services.msgPort);
    ASSERT_NE(msgArgs.end(), std::find(msgArgs.begin(), msgArgs.end(), "--robot")) << "the run command starts no robot";
    services.msg.Stop();
    ASSERT_TRUE(services.msg.Start(msgArgs, services.dir + "/msgserver-run.log"));
    ASSERT_TRUE(services.msg.WaitFor("PORT", 10000));
    const std::string display = ":" + std::to_string(200 + (getpid() + 7) % 500);
    e2e::Child xvfb;
    ASSERT_TRUE(xvfb.Start({"/usr/bin/Xvfb", display, "-screen", "0", "1280x900x24", "-nolisten", "tcp"}, services.dir + "/xvfb.log"));
    const std::string sock = "/tmp/.X11-unix/X" + display.substr(1);
    for (int waited = 0; waited < 5000 && access(sock.c_str(), F_OK) != 0; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    struct Side {
        std::string name, profile;
        e2e::Child program;
        int left;
    } alice{"alice", services.dir + "/profile-alice", {}, 100}, bob{"bob", services.dir + "/profile-bob", {}, 520};
    auto start = [&](Side* s) {
        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file"};
        return s->program.Start({app, "--profile", s->profile, "/nosplash"}, services.dir + "/" + s->name + ".out", env) &&
               WaitText(s->profile + "/tessaly.log", "Login state 6", 60000);
    };
    for (Side* s : {&alice, &bob}) {
        // As the run command makes it.
        ASSERT_EQ(0, std::system(("python3 " + services.src + "/tools/profile/make_profile.py " + s->profile + " --user " + s->name +
                                  " --password " + s->name + "123 --left " + std::to_string(s->left) + " --boot-udp " +
                                  std::to_string(services.bootUdp) + " --boot-tcp " + std::to_string(services.bootTcp) +
                                  " --update 127.0.0.1:" + std::to_string(services.updatePort)).c_str()));
        ASSERT_TRUE(start(s)) << s->name << Slurp(s->profile + "/tessaly.log");
    }
    // Joins the first room of the list (开发讨论, no password) from the frame's View menu.
    auto join = [&](Side* s) {
        const Box frame = FindWindow(display, s->program.pid, "Tessaly", 10000);
        if (frame.id.empty()) return false;
        X(display, "windowfocus --sync " + frame.id);
        Pause(300);
        X(display, "key alt+v");
        Pause(500);
        X(display, "key r");
        const Box rooms = FindWindow(display, s->program.pid, "Chat rooms", 10000);
        if (rooms.id.empty()) return false;
        Pause(1500);  // the list from the access server
        X(display, "mousemove " + std::to_string(rooms.x + 62) + " " + std::to_string(rooms.y + 41) + " click --repeat 2 --delay 80 1");
        return !FindWindow(display, s->program.pid, "(Chat room)", 15000).id.empty();
    };
    const std::string roomName = "\xe5\xbc\x80\xe5\x8f\x91\xe8\xae\xa8\xe8\xae\xba";  // 开发讨论
    ASSERT_TRUE(join(&alice)) << Slurp(alice.profile + "/tessaly.log");
    EXPECT_TRUE(WaitText(alice.profile + "/tessaly.log", "Packet=#@#START##Alice#q-dev#", 1000));
    EXPECT_TRUE(WaitText(services.dir + "/msgserver-run.log", "robot: alice to 900", 5000));
    EXPECT_EQ(0, CountWindows(display, alice.program.pid, "Please wait")) << "the wait ends with the room's answer";
    ASSERT_TRUE(join(&bob)) << Slurp(bob.profile + "/tessaly.log");
    EXPECT_EQ(1, CountWindows(display, bob.program.pid, "(Chat room) " + roomName));

    // Bob speaks in the room: Alice's room window shows and records it under Bob, and her Recent
    // activity names him; no room command reaches it.
    const Box bobRoom = FindWindow(display, bob.program.pid, "(Chat room)", 5000);
    X(display, "windowmove --sync " + bobRoom.id + " 640 460");
    X(display, "windowfocus --sync " + bobRoom.id);
    Pause(300);
    X(display, "type --delay 40 'hello room'");
    X(display, "key Return");
    EXPECT_TRUE(WaitText(alice.profile + "/tessaly.log", "Recent activity: Bob: hello room", 10000)) << Slurp(alice.profile + "/tessaly.log");
    EXPECT_TRUE(WaitRecord(alice.profile + "/chatrecord/alice", 1002, "hello room", false, 5000));
    for (Side* s : {&alice, &bob}) {
        std::stringstream log(Slurp(s->profile + "/tessaly.log"));
        for (std::string line; std::getline(log, line);)
            if (line.find("Recent activity:") != std::string::npos) EXPECT_EQ(std::string::npos, line.find("#@#")) << line;
    }

    // Bob's copy ends without leaving; started again, it leaves the room when Alice speaks there.
    kill(bob.program.pid, SIGKILL);
    bob.program.Wait(5000);
    ASSERT_TRUE(start(&bob)) << Slurp(bob.profile + "/tessaly.log");
    // The server has the new copy's session before Alice speaks.
    auto signIns = [&] {
        const std::string log = Slurp(services.dir + "/msgserver-run.log");
        int n = 0;
        for (size_t at = 0; (at = log.find("signed in bob", at)) != std::string::npos; ++at) ++n;
        return n;
    };
    for (int waited = 0; waited < 10000 && signIns() < 2; waited += 100) Pause(100);
    ASSERT_EQ(2, signIns());
    Pause(1000);
    const Box aliceRoom = FindWindow(display, alice.program.pid, "(Chat room)", 5000);
    X(display, "windowfocus --sync " + aliceRoom.id);
    Pause(300);
    X(display, "type --delay 40 'still there'");
    X(display, "key Return");
    EXPECT_TRUE(WaitText(bob.profile + "/tessaly.log", "is in no window here: left it", 10000)) << Slurp(bob.profile + "/tessaly.log");
    EXPECT_TRUE(WaitText(services.dir + "/msgserver-run.log", "robot: bob to", 5000));
    Pause(1000);
    EXPECT_EQ(0, CountWindows(display, bob.program.pid, roomName)) << "no chat opens for a room Bob is not in";
    EXPECT_EQ(0, CountWindows(display, bob.program.pid, "Messages"));

    for (Side* s : {&alice, &bob}) {
        kill(s->program.pid, SIGTERM);
        EXPECT_EQ(0, s->program.Wait(20000)) << s->name;
    }
    xvfb.Stop();
    services.Stop();
}

TEST(ChatProgram, TwoProgramsExchangeTextAndVoice) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool") || !e2e::HaveTool("espeak-ng") ||
        !e2e::HaveTool("sox"))
        GTEST_SKIP() << "kamailio, python3, Xvfb, xdotool, espeak-ng and sox are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("chatprogram"));
    const std::string display = ":" + std::to_string(200 + getpid() % 500);
    e2e::Child xvfb;
    ASSERT_TRUE(xvfb.Start({"/usr/bin/Xvfb", display, "-screen", "0", "1280x900x24", "-nolisten", "tcp"}, services.dir + "/xvfb.log"));
    const std::string sock = "/tmp/.X11-unix/X" + display.substr(1);
    for (int waited = 0; waited < 5000 && access(sock.c_str(), F_OK) != 0; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string speech = services.dir + "/alice_says.wav";
    ASSERT_TRUE(e2e::MakeSpeech(services.dir, "hello bob, a voice note from alice", speech, 16000, 0.3, 1));
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    struct Side {
        std::string name, profile;
        e2e::Child program;
    } alice{"alice", services.Profile("alice", "alice", "alice123", true), {}}, bob{"bob", services.Profile("bob", "bob", "bob123", true), {}};
    for (Side* s : {&alice, &bob}) {
        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file",
                                              "TESSALY_WAVE_IN=" + speech, "TESSALY_WAVE_IN_LOOP=1",
                                              "TESSALY_WAVE_OUT=" + services.dir + "/" + s->name + "_heard.wav"};
        ASSERT_TRUE(s->program.Start({app, "--profile", s->profile, "/nosplash"}, services.dir + "/" + s->name + ".out", env));
    }
    for (Side* s : {&alice, &bob}) ASSERT_TRUE(WaitText(s->profile + "/tessaly.log", "Login state 6", 60000)) << s->name;
    // Side by side: both frames open at the same place.
    const Box aliceFrame = FindWindow(display, alice.program.pid, "Tessaly", 10000);
    const Box bobFrame = FindWindow(display, bob.program.pid, "Tessaly", 10000);
    ASSERT_FALSE(aliceFrame.id.empty());
    ASSERT_FALSE(bobFrame.id.empty());
    X(display, "windowmove --sync " + bobFrame.id + " 700 400");
    X(display, "windowactivate --sync " + aliceFrame.id);
    Pause(500);

    // Alice opens a chat with Bob from her Contacts page: the page's tab, the first group, Bob's
    // context menu and its Send IM item.
    auto at = [&](int dx, int dy) { return std::to_string(aliceFrame.x + dx) + " " + std::to_string(aliceFrame.y + dy); };
    X(display, "mousemove " + at(115, 77) + " click 1");
    Pause(700);
    X(display, "mousemove " + at(8, 133) + " click 1");
    Pause(700);
    X(display, "mousemove " + at(110, 158) + " click 3");
    Pause(700);
    X(display, "mousemove " + at(180, 200) + " click 1");
    const Box aliceChat = FindWindow(display, alice.program.pid, "Messages", 10000);
    ASSERT_FALSE(aliceChat.id.empty()) << Slurp(alice.profile + "/tessaly.log");

    // English and Chinese text, Alice to Bob: Bob's program opens the window itself and records it.
    const std::string toBob = "hello bob \xe4\xbd\xa0\xe5\xa5\xbd\xe9\xb2\x8d\xe5\x8b\x83";  // "hello bob 你好鲍勃"
    X(display, "windowactivate --sync " + aliceChat.id);
    X(display, "windowfocus --sync " + aliceChat.id);
    Pause(300);
    X(display, "type --delay 40 '" + toBob + "'");
    Pause(300);
    X(display, "key Return");
    ASSERT_TRUE(WaitText(bob.profile + "/tessaly.log", "Rcv TEXT Msg", 15000)) << Slurp(bob.profile + "/tessaly.log");
    // Each side keeps the exchange under the other's number, in the messaging code page.
    const std::string bobRecords = bob.profile + "/chatrecord/bob", aliceRecords = alice.profile + "/chatrecord/alice";
    EXPECT_TRUE(WaitRecord(bobRecords, 1001, plat::Utf8ToAnsi(toBob), false, 10000));
    EXPECT_TRUE(WaitRecord(aliceRecords, 1002, plat::Utf8ToAnsi(toBob), false, 10000));

    // Bob answers from the window that opened.
    const Box bobChat = FindWindow(display, bob.program.pid, "Messages", 10000);
    ASSERT_FALSE(bobChat.id.empty());
    X(display, "windowmove --sync " + bobChat.id + " 660 10");
    X(display, "windowactivate --sync " + bobChat.id);
    X(display, "windowfocus --sync " + bobChat.id);
    Pause(300);
    const std::string toAlice = "hi alice \xe6\x94\xb6\xe5\x88\xb0";  // "hi alice 收到"
    X(display, "type --delay 40 '" + toAlice + "'");
    Pause(300);
    X(display, "key Return");
    ASSERT_TRUE(WaitText(alice.profile + "/tessaly.log", "Rcv TEXT Msg", 15000)) << Slurp(alice.profile + "/tessaly.log");
    EXPECT_TRUE(WaitRecord(aliceRecords, 1002, plat::Utf8ToAnsi(toAlice), false, 10000));
    EXPECT_TRUE(WaitRecord(bobRecords, 1001, plat::Utf8ToAnsi(toAlice), false, 10000));

    // Alice holds her press-to-talk button for three seconds: Bob receives a voice message.
    X(display, "windowactivate --sync " + aliceChat.id);
    Pause(300);
    X(display, "mousemove " + std::to_string(aliceChat.x + 313) + " " + std::to_string(aliceChat.y + 373) + " mousedown 1");
    Pause(3000);
    X(display, "mouseup 1");
    ASSERT_TRUE(WaitText(bob.profile + "/tessaly.log", "Rcv PTT Msg", 20000)) << Slurp(bob.profile + "/tessaly.log")
                                                                             << Slurp(alice.profile + "/tessaly.log");
    EXPECT_TRUE(WaitRecord(bobRecords, 1001, {}, true, 10000));
    for (Side* s : {&alice, &bob}) {
        kill(s->program.pid, SIGTERM);
        EXPECT_EQ(0, s->program.Wait(20000)) << s->name;
    }
    xvfb.Stop();
    services.Stop();
}
