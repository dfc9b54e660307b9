// Two copies of the program under Xvfb, signed in as alice and bob, chatting through the messaging test
// server: alice opens a chat with bob from her address book and sends English and Chinese text, bob
// answers from the window his program opened by itself, and alice holds her press-to-talk button for
// a voice message; both record the exchange.
#include <gtest/gtest.h>
#include <sys/wait.h>

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

}  // namespace

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
