// Two copies of the program under Xvfb, signed in as alice and bob, chatting through the messaging test
// server: alice opens a chat with bob from her address book and sends English and Chinese text, bob
// answers from the window his program opened by itself, and alice holds her press-to-talk button for
// a voice message; both record the exchange.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/codepage.h"
#include "platform/fs.h"
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

// Polls until the condition holds; false once ms have passed without it.
bool Until(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string Xdo(const std::string& display, const std::string& args) {
    return Run("DISPLAY=" + display + " xdotool " + args + " 2>/dev/null");
}

void X(const std::string& display, const std::string& args) { Xdo(display, args); }

// Types text into the focused window. A character outside the keyboard map is typed through a spare key
// that xdotool maps for it and maps back, so those go one at a time, slowly enough for a loaded machine
// to read each key before its mapping changes.
void TypeText(const std::string& display, const std::string& utf8) {
    size_t at = 0;
    while (at < utf8.size()) {
        size_t end = at;
        const bool ascii = static_cast<unsigned char>(utf8[at]) < 0x80;
        while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) < 0x80) == ascii) ++end;
        X(display, std::string("type --delay ") + (ascii ? "40" : "250") + " '" + utf8.substr(at, end - at) + "'");
        at = end;
    }
}

using e2e::XServer;

// The process's visible windows (menus included).
std::vector<std::string> Windows(const std::string& display, pid_t pid) {
    std::vector<std::string> ids;
    std::stringstream out(Xdo(display, "search --onlyvisible --pid " + std::to_string(pid)));
    for (std::string id; out >> id;) ids.push_back(id);
    return ids;
}

Box Geometry(const std::string& display, const std::string& id) {
    Box b;
    b.id = id;
    std::stringstream g(Xdo(display, "getwindowgeometry --shell " + id));
    for (std::string line; std::getline(g, line);) {
        if (line.rfind("X=", 0) == 0) b.x = atoi(line.c_str() + 2);
        if (line.rfind("Y=", 0) == 0) b.y = atoi(line.c_str() + 2);
        if (line.rfind("WIDTH=", 0) == 0) b.w = atoi(line.c_str() + 6);
        if (line.rfind("HEIGHT=", 0) == 0) b.h = atoi(line.c_str() + 7);
    }
    return b;
}

// The visible window of that process whose title holds the text (the largest when several do).
Box FindWindow(const std::string& display, pid_t pid, const std::string& title, int ms) {
    Box best;
    Until(
        [&] {
            for (const std::string& id : Windows(display, pid)) {
                if (Xdo(display, "getwindowname " + id).find(title) == std::string::npos) continue;
                const Box b = Geometry(display, id);
                if (b.w * b.h > best.w * best.h) best = b;
            }
            return !best.id.empty();
        },
        ms);
    return best;
}

// The window of the process that shows after the windows listed (a menu that opens).
Box NewWindow(const std::string& display, pid_t pid, const std::vector<std::string>& before, int ms) {
    std::string id;
    Until(
        [&] {
            for (const std::string& w : Windows(display, pid))
                if (std::find(before.begin(), before.end(), w) == before.end()) id = w;
            return !id.empty();
        },
        ms);
    return id.empty() ? Box{} : Geometry(display, id);
}

// Every window of the process whose title holds the text.
int CountWindows(const std::string& display, pid_t pid, const std::string& title) {
    int n = 0;
    for (const std::string& id : Windows(display, pid)) n += Xdo(display, "getwindowname " + id).find(title) != std::string::npos;
    return n;
}

bool WaitWindowCount(const std::string& display, pid_t pid, const std::string& title, int n, int ms) {
    return Until([&] { return CountWindows(display, pid, title) == n; }, ms);
}

// Waits until that part of the window shows something (more than one colour), as a list once its rows
// have come.
bool Drawn(const std::string& display, const Box& window, int x, int y, int w, int h, int ms) {
    const std::string cmd = "import -display " + display + " -window " + window.id + " -crop " + std::to_string(w) + "x" +
                            std::to_string(h) + "+" + std::to_string(x) + "+" + std::to_string(y) + " +repage -format %k info: 2>/dev/null";
    return Until([&] { return atoi(Run(cmd).c_str()) > 1; }, ms);
}

// How often the file holds the text.
int Occurrences(const std::string& path, const std::string& text) {
    const std::string all = Slurp(path);
    int n = 0;
    for (size_t at = 0; (at = all.find(text, at)) != std::string::npos; at += text.size()) ++n;
    return n;
}

// The chat records of one peer in a program's record tree, as the record browser reads them.
std::vector<ChatRecordRow> PeerRecords(const std::string& root, int peer) {
    std::vector<ChatRecordRow> rows;
    ChatRecordFile(root).ScanFolder(peer, {}, &rows);
    return rows;
}

// Waits until the file holds `then` somewhere after `first`; false after ms.
bool WaitTextAfter(const std::string& path, const std::string& first, const std::string& then, int ms) {
    return Until(
        [&] {
            const std::string all = Slurp(path);
            const size_t at = all.find(first);
            return at != std::string::npos && all.find(then, at + first.size()) != std::string::npos;
        },
        ms);
}

// Waits for a record of that peer with the content (voice: any voice record).
bool WaitRecord(const std::string& root, int peer, const std::string& content, bool voice, int ms) {
    const bool found = Until(
        [&] {
            for (const ChatRecordRow& r : PeerRecords(root, peer))
                if (voice ? r.voice == 1 : (r.voice == 0 && r.content == content)) return true;
            return false;
        },
        ms);
    if (!found) {  // what there is instead, for the failure's report
        std::cerr << root << " holds for " << peer << ":\n";
        for (const ChatRecordRow& r : PeerRecords(root, peer))
            std::cerr << "  " << (r.voice ? "voice " : "") << plat::AnsiToUtf8(r.content) << "\n";
    }
    return found;
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

// A run of link-coloured pixels on one row of a window (a link's underline).
struct Span {
    int x1 = 0, x2 = 0, y = 0;
};

// A window's pixels as the X server shows them (a P6 picture read whole); false when the shot fails.
struct Shot {
    std::string data;
    int w = 0, h = 0;
    size_t start = 0;
    const unsigned char* At(int x, int y) const {
        return reinterpret_cast<const unsigned char*>(data.data() + start + (static_cast<size_t>(y) * w + x) * 3);
    }
};
bool TakeShot(const std::string& display, const Box& window, const std::string& path, Shot* shot) {
    std::remove(path.c_str());
    shelltest::Run("import -display " + display + " -window " + window.id + " -depth 8 " + path + " 2>/dev/null");
    shot->data = Slurp(path);
    std::istringstream head(shot->data);
    std::string magic;
    int max = 0;
    head >> magic >> shot->w >> shot->h >> max;
    if (magic != "P6" || shot->w <= 0 || shot->h <= 0 || max != 255) return false;
    shot->start = static_cast<size_t>(head.tellg()) + 1;
    return shot->data.size() >= shot->start + static_cast<size_t>(shot->w) * shot->h * 3;
}

// The underlines of the links the history view of a chat window shows (pure blue, the system's link
// colour) in reading order; a link the line wraps shows as two. None while the window shows no link.
std::vector<Span> LinkUnderlines(const std::string& display, const Box& window, const std::string& dir) {
    Shot shot;
    if (!TakeShot(display, window, dir + "/links.ppm", &shot)) return {};
    const int w = shot.w, h = shot.h;
    auto blue = [&](int x, int y) {
        const auto* p = shot.At(x, y);
        return p[0] == 0 && p[1] == 0 && p[2] == 255;
    };
    // The history view lies below the tool bar and left of the side panes; an underline two pixels thick
    // is one underline.
    std::vector<Span> spans;
    for (int y = 70; y < h * 2 / 3; ++y)
        for (int x = 0; x < w - 150; ++x) {
            if (!blue(x, y)) continue;
            int end = x;
            while (end + 1 < w - 150 && blue(end + 1, y)) ++end;
            const bool below = std::any_of(spans.begin(), spans.end(), [&](const Span& s) {
                return y - s.y <= 2 && s.x1 <= end && x <= s.x2;
            });
            if (end - x >= 9 && !below) spans.push_back({x, end, y});
            x = end;
        }
    return spans;
}

// The smallest box around the window's pixels of exactly that colour within rows top to bottom (an empty
// box when there are none), as a focused box's frame shows.
Box ColourBox(const std::string& display, const Box& window, const std::string& dir, int rgb, int top, int bottom) {
    Shot shot;
    if (!TakeShot(display, window, dir + "/colour.ppm", &shot)) return {};
    const int w = shot.w, h = shot.h;
    int x1 = w, y1 = h, x2 = -1, y2 = -1;
    for (int y = std::max(0, top); y < std::min(h, bottom); ++y)
        for (int x = 0; x < w; ++x) {
            const auto* p = shot.At(x, y);
            if (((p[0] << 16) | (p[1] << 8) | p[2]) != rgb) continue;
            x1 = std::min(x1, x), x2 = std::max(x2, x), y1 = std::min(y1, y), y2 = std::max(y2, y);
        }
    if (x2 < 0) return {};
    Box b;
    b.id = window.id;
    b.x = x1, b.y = y1, b.w = x2 - x1 + 1, b.h = y2 - y1 + 1;
    return b;
}

// Clicks the middle of a link just above its underline.
void ClickLink(const std::string& display, const Box& window, const Span& link) {
    X(display, "mousemove " + std::to_string(window.x + (link.x1 + link.x2) / 2) + " " + std::to_string(window.y + link.y - 8) +
                   " click 1");
}

// Joins the first room of the list (开发讨论, no password) from the frame's View menu; with chooses, the
// identity chooser comes up and its first identity is taken. A room window is captioned with the chat
// windows' own text alone.
bool JoinFirstRoom(const std::string& display, pid_t pid, bool chooses) {
    const Box frame = FindWindow(display, pid, "Tessaly", 10000);
    if (frame.id.empty()) return false;
    X(display, "mousemove 1279 899");  // no tool tip of ours comes up as a window meanwhile
    X(display, "windowfocus --sync " + frame.id);
    const std::vector<std::string> before = Windows(display, pid);
    X(display, "key alt+v");
    if (NewWindow(display, pid, before, 10000).id.empty()) return false;
    X(display, "key r");
    const Box rooms = FindWindow(display, pid, "Chat rooms", 10000);
    if (rooms.id.empty()) return false;
    // The list comes from the access server: its first row shows once it is there.
    if (!Drawn(display, rooms, 16, 33, 140, 16, 15000)) return false;
    X(display, "mousemove " + std::to_string(rooms.x + 62) + " " + std::to_string(rooms.y + 41) + " click --repeat 2 --delay 80 1");
    if (chooses) {
        const Box identity = FindWindow(display, pid, "Choose an identity", 10000);
        if (identity.id.empty()) return false;
        X(display, "windowfocus --sync " + identity.id);
        X(display, "key Return");
    }
    return !FindWindow(display, pid, "Messages", 15000).id.empty();
}

}  // namespace

// The profile the run command makes names the chat robot its messaging server runs: a room joins in
// seconds, the wait ends with the answer, and nothing of the room's commands reaches the user as text.
// A room window closed with Escape leaves the room, which can be entered again. A copy that ended without leaving the room leaves it when the room next speaks, opening no chat.
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
    XServer xvfb;
    ASSERT_TRUE(xvfb.Start(services.dir)) << xvfb.process.Output();
    const std::string display = xvfb.display;
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    struct Side {
        std::string name, profile;
        e2e::Child program;
        int left;
    } alice{"alice", services.dir + "/profile-alice", {}, 100}, bob{"bob", services.dir + "/profile-bob", {}, 520};
    auto start = [&](Side* s) {
        // The log of a copy that ran before would answer the wait below at once.
        std::rename((s->profile + "/tessaly.log").c_str(), (s->profile + "/tessaly.log.before").c_str());
        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file"};
        return s->program.Start({app, "--app-folder", s->profile + "-app", "--profile", s->profile, "/nosplash"}, services.dir + "/" + s->name + ".out", env) &&
               WaitText(s->profile + "/tessaly.log", "Login state 6", 60000);
    };
    for (Side* s : {&alice, &bob}) {
        // As the run command makes it.
        ASSERT_EQ(0, std::system(("python3 " + services.src + "/tools/profile/make_profile.py " + s->profile + " --user " + s->name +
                                  " --app-folder " + s->profile + "-app --install " + TESSALY_BINARY_DIR +
                                  " --password " + s->name + "123 --left " + std::to_string(s->left) + " --boot-udp " +
                                  std::to_string(services.bootUdp) + " --boot-tcp " + std::to_string(services.bootTcp) +
                                  " --update 127.0.0.1:" + std::to_string(services.updatePort)).c_str()));
        ASSERT_TRUE(start(s)) << s->name << Slurp(s->profile + "/tessaly.log");
    }
    auto join = [&](Side* s, bool chooses) { return JoinFirstRoom(display, s->program.pid, chooses); };
    const std::string roomName = "\xe5\xbc\x80\xe5\x8f\x91\xe8\xae\xa8\xe8\xae\xba";  // 开发讨论
    ASSERT_TRUE(join(&alice, true)) << Slurp(alice.profile + "/tessaly.log");  // Alice has two identities
    EXPECT_TRUE(WaitText(alice.profile + "/tessaly.log", "Packet=#@#START##Alice", 1000));
    EXPECT_TRUE(WaitText(services.dir + "/msgserver-run.log", "robot: alice to 900", 5000));
    EXPECT_TRUE(WaitWindowCount(display, alice.program.pid, "Please wait", 0, 10000)) << "the wait ends with the room's answer";
    ASSERT_TRUE(join(&bob, false)) << Slurp(bob.profile + "/tessaly.log");
    EXPECT_TRUE(WaitWindowCount(display, bob.program.pid, "Messages", 1, 10000));

    // Bob speaks in the room: Alice's room window shows and records it under Bob; no room command
    // reaches it.
    const Box bobRoom = FindWindow(display, bob.program.pid, "Messages", 5000);
    X(display, "windowmove --sync " + bobRoom.id + " 640 460");
    X(display, "windowfocus --sync " + bobRoom.id);
    X(display, "type --delay 40 'hello room'");
    X(display, "key Return");
    EXPECT_TRUE(WaitRecord(alice.profile + "/chatrecord/alice", 1002, "hello room", false, 10000)) << Slurp(alice.profile + "/tessaly.log");
    EXPECT_TRUE(WaitText(bob.profile + "/tessaly.log", "Packet=hello room, Thid=", 1000)) << "every packet is traced";

    // Bob closes his room window with Escape: he leaves the room, and entering it again from the list
    // starts it afresh, the room's answer ending the wait.
    const std::string quit = "robot: bob to 9001 [9001#] #@#QUIT";
    X(display, "windowfocus --sync " + bobRoom.id);
    X(display, "key Escape");
    EXPECT_TRUE(WaitText(services.dir + "/msgserver-run.log", quit, 10000)) << "Escape leaves the room";
    EXPECT_TRUE(WaitWindowCount(display, bob.program.pid, "Messages", 0, 10000));
    ASSERT_TRUE(join(&bob, false)) << Slurp(bob.profile + "/tessaly.log");
    EXPECT_EQ(2, Occurrences(bob.profile + "/tessaly.log", "Packet=#@#START#")) << "the room is started again";
    EXPECT_TRUE(WaitWindowCount(display, bob.program.pid, "Please wait", 0, 10000)) << "the wait ends with the room's answer";

    // Bob's copy ends without leaving; started again, it leaves the room when Alice speaks there.
    kill(bob.program.pid, SIGKILL);
    bob.program.Wait(5000);
    ASSERT_TRUE(start(&bob)) << Slurp(bob.profile + "/tessaly.log");
    // The server has the new copy's session before Alice speaks.
    ASSERT_TRUE(Until([&] { return Occurrences(services.dir + "/msgserver-run.log", "signed in bob") == 2; }, 10000));
    const Box aliceRoom = FindWindow(display, alice.program.pid, "Messages", 5000);
    X(display, "windowfocus --sync " + aliceRoom.id);
    X(display, "type --delay 40 'still there'");
    X(display, "key Return");
    EXPECT_TRUE(WaitText(bob.profile + "/tessaly.log", "is in no window here: left it", 10000)) << Slurp(bob.profile + "/tessaly.log");
    EXPECT_TRUE(Until([&] { return Occurrences(services.dir + "/msgserver-run.log", quit) == 2; }, 5000));
    // The echo of Bob's leave is the last the room sends him: had anything opened a chat, it is there now.
    EXPECT_TRUE(WaitText(bob.profile + "/tessaly.log", "Rcv Msg Echo 9001#", 10000)) << Slurp(bob.profile + "/tessaly.log");
    EXPECT_EQ(0, CountWindows(display, bob.program.pid, roomName)) << "no chat opens for a room Bob is not in";
    EXPECT_EQ(0, CountWindows(display, bob.program.pid, "Messages"));

    // Alice signs out from the File menu with her room window open: the window closes and her program
    // goes on, signed out, until it is ended.
    const std::string aliceLog = alice.profile + "/tessaly.log";
    const int signedOut = Occurrences(aliceLog, "Login state 0");
    const Box aliceFrame = FindWindow(display, alice.program.pid, "Tessaly", 5000);
    ASSERT_FALSE(aliceFrame.id.empty());
    X(display, "mousemove 1279 899");
    X(display, "windowactivate --sync " + aliceFrame.id);
    X(display, "windowfocus --sync " + aliceFrame.id);
    const std::vector<std::string> beforeMenu = Windows(display, alice.program.pid);
    X(display, "key alt+f");
    ASSERT_FALSE(NewWindow(display, alice.program.pid, beforeMenu, 10000).id.empty()) << "no File menu";
    X(display, "key o");
    EXPECT_TRUE(Until([&] { return Occurrences(aliceLog, "Login state 0") > signedOut; }, 20000)) << Slurp(aliceLog);
    EXPECT_TRUE(WaitWindowCount(display, alice.program.pid, "Messages", 0, 10000));
    EXPECT_FALSE(plat::FileExists(alice.profile + "/ERRORLOG.TXT")) << Slurp(alice.profile + "/ERRORLOG.TXT");
    EXPECT_EQ(0, waitpid(alice.program.pid, nullptr, WNOHANG)) << "the program ended at the sign-out";

    for (Side* s : {&alice, &bob}) {
        kill(s->program.pid, SIGTERM);
        EXPECT_EQ(0, s->program.Wait(20000)) << s->name;
    }
    xvfb.process.Stop();
    services.Stop();
}

TEST(ChatProgram, TwoProgramsExchangeTextAndVoice) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool") || !e2e::HaveTool("espeak-ng") ||
        !e2e::HaveTool("sox"))
        GTEST_SKIP() << "kamailio, python3, Xvfb, xdotool, espeak-ng and sox are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("chatprogram"));
    XServer xvfb;
    ASSERT_TRUE(xvfb.Start(services.dir)) << xvfb.process.Output();
    const std::string display = xvfb.display;
    const std::string speech = services.dir + "/alice_says.wav";
    ASSERT_TRUE(e2e::MakeSpeech(services.dir, "hello bob, a voice note from alice", speech, 16000, 0.3, 1));
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    struct Side {
        std::string name, profile;
        e2e::Child program;
    } alice{"alice", services.Profile("alice", "alice", "alice123", true), {}}, bob{"bob", services.Profile("bob", "bob", "bob123", true), {}};
    const std::string aliceLog = alice.profile + "/tessaly.log";
    for (Side* s : {&alice, &bob}) {
        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file",
                                              "TESSALY_WAVE_IN=" + speech, "TESSALY_WAVE_IN_LOOP=1",
                                              "TESSALY_WAVE_OUT=" + services.dir + "/" + s->name + "_heard.wav"};
        ASSERT_TRUE(s->program.Start({app, "--app-folder", services.AppFolder(), "--profile", s->profile, "/nosplash"}, services.dir + "/" + s->name + ".out", env));
        ASSERT_TRUE(WaitText(s->profile + "/tessaly.log", "Login state 6", 60000)) << s->name;
        // Bob signs in once Alice has her contacts, so that she hears him come online.
        if (s == &alice) ASSERT_TRUE(WaitText(aliceLog, "mervane buddy list receive end", 20000)) << Slurp(aliceLog);
    }
    // Side by side: both frames open at the same place.
    const Box aliceFrame = FindWindow(display, alice.program.pid, "Tessaly", 10000);
    const Box bobFrame = FindWindow(display, bob.program.pid, "Tessaly", 10000);
    ASSERT_FALSE(aliceFrame.id.empty());
    ASSERT_FALSE(bobFrame.id.empty());
    X(display, "windowmove --sync " + bobFrame.id + " 700 400");
    // Bob is online among Alice's contacts: her frame has taken the news.
    ASSERT_TRUE(WaitTextAfter(aliceLog, "Olden core:contact Bob update status to online", "Buddy Bob(bob) state change", 20000))
        << Slurp(aliceLog);
    X(display, "windowactivate --sync " + aliceFrame.id);
    X(display, "windowfocus --sync " + aliceFrame.id);

    // Alice opens a chat with Bob from her Contacts page: the page's tab, the first group (chosen, and
    // opened with "+", which never closes it), Bob's context menu once it shows, and its Send IM item.
    auto at = [&](int dx, int dy) { return std::to_string(aliceFrame.x + dx) + " " + std::to_string(aliceFrame.y + dy); };
    X(display, "mousemove " + at(115, 77) + " click 1");
    X(display, "mousemove " + at(60, 133) + " click 1 key plus");
    const std::vector<std::string> before = Windows(display, alice.program.pid);
    X(display, "mousemove " + at(110, 158) + " click 3");
    const Box menu = NewWindow(display, alice.program.pid, before, 10000);
    ASSERT_FALSE(menu.id.empty()) << "no menu on Bob's row";
    X(display, "mousemove " + std::to_string(menu.x + 70) + " " + std::to_string(menu.y + 42) + " click 1");
    const Box aliceChat = FindWindow(display, alice.program.pid, "Messages", 10000);
    ASSERT_FALSE(aliceChat.id.empty()) << Slurp(alice.profile + "/tessaly.log");

    // English and Chinese text, Alice to Bob: Bob's program opens the window itself and records it.
    const std::string toBob = "hello bob \xe4\xbd\xa0\xe5\xa5\xbd\xe9\xb2\x8d\xe5\x8b\x83";  // "hello bob 你好鲍勃"
    X(display, "windowactivate --sync " + aliceChat.id);
    X(display, "windowfocus --sync " + aliceChat.id);
    TypeText(display, toBob);
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
    const std::string toAlice = "hi alice \xe6\x94\xb6\xe5\x88\xb0";  // "hi alice 收到"
    TypeText(display, toAlice);
    X(display, "key Return");
    ASSERT_TRUE(WaitText(alice.profile + "/tessaly.log", "Rcv TEXT Msg", 15000)) << Slurp(alice.profile + "/tessaly.log");
    EXPECT_TRUE(WaitRecord(aliceRecords, 1002, plat::Utf8ToAnsi(toAlice), false, 10000));
    EXPECT_TRUE(WaitRecord(bobRecords, 1001, plat::Utf8ToAnsi(toAlice), false, 10000));
    // Private messages: nobody but the user can read them.
    for (const std::string& root : {bobRecords, aliceRecords}) {
        std::vector<std::string> paths = {root};
        const std::string peer = root + (root == bobRecords ? "/1001" : "/1002");
        paths.push_back(peer);
        for (const std::string& name : plat::ListDirectory(peer)) paths.push_back(peer + "/" + name);
        for (const std::string& path : paths) {
            struct stat st {};
            ASSERT_EQ(0, stat(path.c_str(), &st)) << path;
            EXPECT_EQ(0, st.st_mode & 077) << path;
        }
    }

    // Alice holds her press-to-talk button: once the press has started a voice message she speaks for
    // three seconds (the hold is the message's length, not a wait), and Bob receives it.
    X(display, "windowraise " + aliceChat.id);
    X(display, "windowactivate --sync " + aliceChat.id);
    const int voices = Occurrences(aliceLog, "castrel: send voice");
    X(display, "mousemove " + std::to_string(aliceChat.x + 313) + " " + std::to_string(aliceChat.y + 373) + " mousedown 1");
    ASSERT_TRUE(Until([&] { return Occurrences(aliceLog, "castrel: send voice") > voices; }, 10000)) << Slurp(aliceLog);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    X(display, "mouseup 1");
    ASSERT_TRUE(WaitText(bob.profile + "/tessaly.log", "Rcv PTT Msg", 20000)) << Slurp(bob.profile + "/tessaly.log")
                                                                             << Slurp(alice.profile + "/tessaly.log");
    EXPECT_TRUE(WaitRecord(bobRecords, 1001, {}, true, 10000));

    // Alice opens her chat history from the View menu. At its opening size its tool bar holds the
    // keyword box, which has the focus, and the search button beside it: the search lists her
    // exchange with Bob.
    X(display, "windowactivate --sync " + aliceFrame.id);
    X(display, "windowfocus --sync " + aliceFrame.id);
    const std::vector<std::string> beforeMenu = Windows(display, alice.program.pid);
    X(display, "key alt+v");
    ASSERT_FALSE(NewWindow(display, alice.program.pid, beforeMenu, 10000).id.empty()) << "no View menu";
    X(display, "key h");
    const Box browser = FindWindow(display, alice.program.pid, "Message management", 10000);
    ASSERT_FALSE(browser.id.empty());
    EXPECT_EQ(820, browser.w);
    X(display, "windowfocus --sync " + browser.id);
    X(display, "type --delay 40 'hi alice'");
    // The keyword box's frame takes the focus colour; the search button follows it on the bar.
    Box keyword;
    ASSERT_TRUE(Until([&] { return (keyword = ColourBox(display, browser, services.dir, 0x2f6fd6, 0, 90)).w > 60; }, 10000))
        << "no keyword box on the tool bar";
    EXPECT_LT(keyword.x + keyword.w + 40, browser.w) << "the search button is off the bar";
    // The list's first row lies under its header, right of the tree.
    const int firstRow = keyword.y + keyword.h + 22;
    EXPECT_FALSE(Drawn(display, browser, 300, firstRow, 400, 16, 500)) << "the list shows rows before the search";
    X(display, "mousemove " + std::to_string(browser.x + keyword.x + keyword.w + 30) + " " +
                   std::to_string(browser.y + keyword.y + keyword.h / 2) + " click 1");
    EXPECT_TRUE(Drawn(display, browser, 300, firstRow, 400, 16, 10000)) << "the search lists no rows";
    for (Side* s : {&alice, &bob}) {
        kill(s->program.pid, SIGTERM);
        EXPECT_EQ(0, s->program.Wait(20000)) << s->name;
    }
    xvfb.process.Stop();
    services.Stop();
}

// An invitation into a room, from the room's robot: Bob's program opens a window that shows it with its
// two answers. Refusing closes the window and tells nobody; accepting answers the robot in the room's
// session, and Bob is in the room: his line reaches Alice, who is there.
TEST(ChatProgram, AnInvitationIsRefusedOrAcceptedFromItsLinks) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool") || !e2e::HaveTool("import"))
        GTEST_SKIP() << "kamailio, python3, Xvfb, xdotool and ImageMagick are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("chatinvite"));
    std::vector<std::string> msgArgs = RunCommandMessagingServer(services.src, services.msgPort);
    ASSERT_NE(msgArgs.end(), std::find(msgArgs.begin(), msgArgs.end(), "--robot")) << "the run command starts no robot";
    const std::string control = services.dir + "/robot-control";
    std::ofstream(control).flush();
    msgArgs.push_back("--robot-control");
    msgArgs.push_back(control);
    services.msg.Stop();
    const std::string msgLog = services.dir + "/msgserver-run.log";
    ASSERT_TRUE(services.msg.Start(msgArgs, msgLog));
    ASSERT_TRUE(services.msg.WaitFor("PORT", 10000));
    XServer xvfb;
    ASSERT_TRUE(xvfb.Start(services.dir)) << xvfb.process.Output();
    const std::string display = xvfb.display;
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    struct Side {
        std::string name, profile;
        e2e::Child program;
        int left;
    } alice{"alice", services.dir + "/profile-alice", {}, 100}, bob{"bob", services.dir + "/profile-bob", {}, 520};
    for (Side* s : {&alice, &bob}) {
        ASSERT_EQ(0, std::system(("python3 " + services.src + "/tools/profile/make_profile.py " + s->profile + " --user " + s->name +
                                  " --app-folder " + s->profile + "-app --install " + TESSALY_BINARY_DIR +
                                  " --password " + s->name + "123 --left " + std::to_string(s->left) + " --boot-udp " +
                                  std::to_string(services.bootUdp) + " --boot-tcp " + std::to_string(services.bootTcp) +
                                  " --update 127.0.0.1:" + std::to_string(services.updatePort)).c_str()));
        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file"};
        ASSERT_TRUE(s->program.Start({app, "--app-folder", s->profile + "-app", "--profile", s->profile, "/nosplash"}, services.dir + "/" + s->name + ".out", env));
        ASSERT_TRUE(WaitText(s->profile + "/tessaly.log", "Login state 6", 60000)) << s->name << Slurp(s->profile + "/tessaly.log");
    }
    ASSERT_TRUE(JoinFirstRoom(display, alice.program.pid, true)) << Slurp(alice.profile + "/tessaly.log");
    ASSERT_TRUE(WaitText(msgLog, "robot: alice to 900", 5000));
    EXPECT_TRUE(WaitWindowCount(display, alice.program.pid, "Please wait", 0, 10000));
    // The room's first member (Alice) invites Bob, through the robot.
    int invitations = 0;
    auto invite = [&] {
        std::ofstream(control, std::ios::app) << "invite q-dev 1002\n";
        ++invitations;
    };
    // Bob's window of the invitation, once it shows its two answers.
    auto answers = [&](Box* window, std::vector<Span>* links) {
        return Until(
            [&] {
                *window = FindWindow(display, bob.program.pid, "Messages", 200);
                if (window->id.empty()) return false;
                *links = LinkUnderlines(display, *window, services.dir);
                return links->size() >= 2;
            },
            20000);
    };
    Box window;
    std::vector<Span> links;

    // Refused: the window closes and the robot hears nothing.
    invite();
    ASSERT_TRUE(answers(&window, &links)) << Slurp(bob.profile + "/tessaly.log");
    ClickLink(display, window, links.back());  // the refusal is the last link
    EXPECT_TRUE(WaitWindowCount(display, bob.program.pid, "Messages", 0, 10000)) << "the refused invitation's window stays";
    EXPECT_EQ(std::string::npos, Slurp(msgLog).find("#@#ACCEPT")) << Slurp(msgLog);

    // Accepted: the robot has the answer in the room's session, and Bob speaks in the room.
    invite();
    ASSERT_TRUE(answers(&window, &links)) << Slurp(bob.profile + "/tessaly.log");
    ClickLink(display, window, links[links.size() - 2]);  // the agreement comes before it
    ASSERT_TRUE(WaitText(msgLog, "robot: bob to 900 [9001#] #@#ACCEPT#", 10000)) << Slurp(msgLog) << Slurp(bob.profile + "/tessaly.log");
    // The answers are gone once the answer went out.
    EXPECT_TRUE(Until([&] { return LinkUnderlines(display, window, services.dir).empty(); }, 10000));
    // The room's answer (START with the thread, then its list) has made the window Bob's room window.
    const std::string bobLog = bob.profile + "/tessaly.log";
    ASSERT_TRUE(Until([&] { return Occurrences(bobLog, "Rcv TEXT Msg, ChatUID 9001#") >= invitations + 2; }, 10000)) << Slurp(bobLog);
    X(display, "windowactivate --sync " + window.id);
    X(display, "windowfocus --sync " + window.id);
    X(display, "type --delay 40 'in by invitation'");
    X(display, "key Return");
    EXPECT_TRUE(WaitRecord(alice.profile + "/chatrecord/alice", 1002, "in by invitation", false, 10000))
        << Slurp(bob.profile + "/tessaly.log") << Slurp(msgLog);
    EXPECT_EQ(2, invitations);

    for (Side* s : {&alice, &bob}) {
        kill(s->program.pid, SIGTERM);
        EXPECT_EQ(0, s->program.Wait(20000)) << s->name;
    }
    xvfb.process.Stop();
    services.Stop();
}
