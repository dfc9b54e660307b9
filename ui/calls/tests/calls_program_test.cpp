// Two copies of the program under Xvfb, signed in as alice and bob, calling each other through
// kamailio with the file audio device: carol, whom alice blocked, calls her and is refused without a
// page; alice calls from her start page's dial bar and bob declines;
// then bob's page rings and is answered from its window, each hears the other's spoken WAV, alice holds
// and resumes from her page's menu (both hear the silence, kept in their playout files), a third caller
// joins and bob sees the conference's members, the call ends from alice's window and both call logs hold
// it all; a standard phone (baresip) hears the dial page's keys whichever side places the call; two
// copies talking iLBC exchange the digits of the call page's keypad window; on a 1024 x 768 screen the
// answering side sends a message from its call page, and the keypad stands on the screen and goes with
// its call.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "common/calllog.h"
#include "shell_services.h"
#include "ui/shell/instance_guard.h"

namespace {

using shelltest::Slurp;
using shelltest::WaitText;
using shelltest::Run;
using shelltest::ReadCallLog;
using shelltest::WaitCallLog;
using shelltest::WaitCount;

// The program's main window on the display: its geometry, from the window of that process that
// has the largest area.
bool FrameGeometry(const std::string& display, pid_t pid, int* x, int* y, int* w, int* h, std::string* window = nullptr) {
    const std::string env = "DISPLAY=" + display + " ";
    std::stringstream ids(Run(env + "xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"));
    long best = 0;
    for (std::string id; ids >> id;) {
        const std::string g = Run(env + "xdotool getwindowgeometry --shell " + id + " 2>/dev/null");
        int gx = 0, gy = 0, gw = 0, gh = 0;
        std::stringstream s(g);
        for (std::string line; std::getline(s, line);) {
            if (line.rfind("X=", 0) == 0) gx = atoi(line.c_str() + 2);
            if (line.rfind("Y=", 0) == 0) gy = atoi(line.c_str() + 2);
            if (line.rfind("WIDTH=", 0) == 0) gw = atoi(line.c_str() + 6);
            if (line.rfind("HEIGHT=", 0) == 0) gh = atoi(line.c_str() + 7);
        }
        if (static_cast<long>(gw) * gh > best) {
            best = static_cast<long>(gw) * gh;
            *x = gx, *y = gy, *w = gw, *h = gh;
            if (window) *window = id;
        }
    }
    return best > 0;
}

// The dial bar above the status bar: the dial and hang-up buttons (76 x 30) either side of the
// middle, and the 60-pixel status page under them.
constexpr int kStatusBarHeight = 26;
struct BarPoints {
    int dialX, hangupX, buttonY;
};
BarPoints DialBar(int x, int y, int w, int h) {
    const int bottom = y + h - kStatusBarHeight;
    const int buttonY = bottom - 4 - 60 - 4 - 15;
    return {x + w / 2 - 20 - 38, x + w / 2 + 20 + 38, buttonY};
}
// The middle of the Dial page's number field, from the window's top: below the menu bar, the tool
// bar and the sheet's tab row.
constexpr int kDialFieldY = 116;

// Clicks the dial bar's dial (or hang-up) button. Programs open their windows at the same place: the
// one clicked is raised first.
bool ClickBarButton(const std::string& display, pid_t pid, bool hangup) {
    int x, y, w, h;
    std::string id;
    if (!FrameGeometry(display, pid, &x, &y, &w, &h, &id)) return false;
    Run("DISPLAY=" + display + " xdotool windowraise " + id);
    const BarPoints bar = DialBar(x, y, w, h);
    const int cx = hangup ? bar.hangupX : bar.dialX;
    Run("DISPLAY=" + display + " xdotool mousemove " + std::to_string(cx) + " " + std::to_string(bar.buttonY) + " click 1");
    return true;
}

// Chooses an item of the active call page's right-click menu: a right click over the sheet, then the
// arrow keys (disabled items are skipped) and Return.
bool CallPageMenu(const std::string& display, pid_t pid, int downs) {
    int x, y, w, h;
    std::string id;
    if (!FrameGeometry(display, pid, &x, &y, &w, &h, &id)) return false;
    const std::string env = "DISPLAY=" + display + " ";
    Run(env + "xdotool windowraise " + id);
    Run(env + "xdotool mousemove " + std::to_string(x + w / 2) + " " + std::to_string(y + h / 2) + " click 3");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the menu opens
    std::string keys;
    for (int i = 0; i < downs; ++i) keys += " Down";
    Run(env + "xdotool key" + keys + " Return");
    return true;
}

// The longest stretch of near silence, in seconds, that has speech on both sides (20 ms windows).
double LongestInnerQuiet(const std::vector<int16_t>& s, int rate) {
    const size_t win = static_cast<size_t>(rate / 50);
    std::vector<bool> loud;
    for (size_t i = 0; i + win <= s.size(); i += win) {
        double e = 0;
        for (size_t k = i; k < i + win; ++k) e += static_cast<double>(s[k]) * s[k];
        loud.push_back(std::sqrt(e / static_cast<double>(win)) > 200.0);
    }
    size_t best = 0, run = 0;
    bool spoke = false;
    for (bool l : loud) {
        if (l) {
            if (spoke) best = std::max(best, run);
            spoke = true;
            run = 0;
        } else {
            ++run;
        }
    }
    return static_cast<double>(best) * 0.02;
}

// Answers Yes to the program's question box (the new caller to add): the pointer over it, Return.
bool AnswerQuestion(const std::string& display, pid_t pid, int ms) {
    const std::string env = "DISPLAY=" + display + " ";
    for (int waited = 0; waited < ms; waited += 200) {
        std::stringstream ids(Run(env + "xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"));
        std::vector<std::string> windows;
        for (std::string id; ids >> id;) windows.push_back(id);
        for (const std::string& id : windows) {
            const std::string name = Run(env + "xdotool getwindowname " + id + " 2>/dev/null");
            if (name.find("Information") == std::string::npos && name.find("Infomation") == std::string::npos) continue;
            Run(env + "xdotool mousemove --window " + id + " 20 20 && " + env + "xdotool windowfocus --sync " + id +
                " key --clearmodifiers Return");
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

// A picture of the program's main window, to look at when a step fails.
void Snap(const std::string& display, pid_t pid, const std::string& path) {
    int x, y, w, h;
    std::string id;
    if (!e2e::HaveTool("import") || !FrameGeometry(display, pid, &x, &y, &w, &h, &id)) return;
    Run("DISPLAY=" + display + " import -window root -crop " + std::to_string(w) + "x" + std::to_string(h) + "+" +
        std::to_string(x) + "+" + std::to_string(y) + " '" + path + "' 2>/dev/null");
}

// Opens the Dial page (View, Dial pad), types a number into its field and clicks the dial bar's
// dial button, as a user does.
bool DialFromDialPage(const std::string& display, pid_t pid, const std::string& number) {
    int x, y, w, h;
    std::string id;
    if (!FrameGeometry(display, pid, &x, &y, &w, &h, &id)) return false;
    const std::string env = "DISPLAY=" + display + " ";
    Run(env + "xdotool windowraise " + id);
    if (!shelltest::ChooseFromMenu(display, pid, "v", "d")) return false;
    Run(env + "xdotool mousemove " + std::to_string(x + 60) + " " + std::to_string(y + kDialFieldY) + " click 1");
    Run(env + "xdotool type --delay 50 " + number);  // each key sets the dial button from the field
    return ClickBarButton(display, pid, false);
}

// Clicks the dial bar's dial (or hang-up) button, again while the log does not hold the text n times
// (the bar follows a ringing page as it opens); false when it never does.
bool ClickBarUntil(const std::string& display, pid_t pid, bool hangup, const std::string& log, const std::string& text,
                   size_t n = 1) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!ClickBarButton(display, pid, hangup)) return false;
        if (WaitCount(log, text, n, 3000)) return true;
    }
    return false;
}

// Answers the ringing page with the dial bar's dial button; true once the answering program's log
// shows the answer.
bool AnswerFromBar(const std::string& display, pid_t pid, const std::string& log) {
    return ClickBarUntil(display, pid, false, log, "CMEVT_CONNECT");
}

// Call control's notices as the frame is sent them.
const char* const kRegistered = "), VOIPEVT_START,";
const char* const kRinging = "VOIPEVT_REMOTE_NEWCALL";
const char* const kAnswered = "VOIPEVT_REMOTE_ANSWER";
const char* const kReleased = "VOIPEVT_RELEASE_CALL";

}  // namespace

TEST(CallsProgram, TwoProgramsCallEachOtherThroughKamailio) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool") ||
        !e2e::HaveTool("espeak-ng") || !e2e::HaveTool("sox"))
        GTEST_SKIP() << "kamailio, python3, Xvfb, xdotool, espeak-ng and sox are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("callsprogram"));
    e2e::XServer xserver;
    ASSERT_TRUE(xserver.Start(services.dir)) << xserver.process.Output();
    const std::string display = xserver.display;
    e2e::Child& xvfb = xserver.process;

    const std::string aliceWav = services.dir + "/alice_says.wav", bobWav = services.dir + "/bob_says.wav";
    ASSERT_TRUE(e2e::MakeSpeech(services.dir, "hello bob, this is alice calling about the weekly report", aliceWav, 16000, 0.5, 1));
    ASSERT_TRUE(e2e::MakeSpeech(services.dir, "hi alice, bob here, the numbers look fine", bobWav, 16000, 0.5, 1));
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    struct Side {
        std::string name, profile, heard;
        e2e::Child program;
    } alice{"alice", services.Profile("alice", "alice", "alice123", true), services.dir + "/alice_heard.wav", {}},
        bob{"bob", services.Profile("bob", "bob", "bob123", true), services.dir + "/bob_heard.wav", {}};
    for (Side* s : {&alice, &bob}) {
        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file",
                                              "TESSALY_WAVE_IN=" + (s == &alice ? aliceWav : bobWav), "TESSALY_WAVE_IN_LOOP=1",
                                              "TESSALY_WAVE_OUT=" + s->heard};
        ASSERT_TRUE(s->program.Start({app, "--app-folder", services.AppFolder(), "--profile", s->profile, "/nosplash"}, services.dir + "/" + s->name + ".out", env));
    }
    for (Side* s : {&alice, &bob}) ASSERT_TRUE(WaitText(s->profile + "/tessaly.log", "Login state 6", 60000)) << s->name;
    for (Side* s : {&alice, &bob}) ASSERT_TRUE(WaitText(s->profile + "/tessaly.log", kRegistered, 20000)) << s->name;
    {  // side by side, so that each is seen and clicked on its own
        int x, y, w, h;
        std::string id;
        ASSERT_TRUE(FrameGeometry(display, bob.program.pid, &x, &y, &w, &h, &id));
        shelltest::Run("DISPLAY=" + display + " xdotool windowmove --sync " + id + " 640 " + std::to_string(y));
    }

    const std::string peer = std::string(TESSALY_BINARY_DIR) + "/tools/voicepeer/voicepeer";
    {
        // Carol is blocked in alice's address book: her call is refused, no page rings.
        e2e::Child carol;
        ASSERT_TRUE(carol.Start({peer, "call", "--sip-port", std::to_string(e2e::FreePortPair(61)), "--user", "carol", "--remote-port",
                                 std::to_string(services.kamPort), "--call", "alice", "--seconds", "2"},
                                services.dir + "/carol.log", {"TESSALY_AUDIO=manual"}));
        ASSERT_TRUE(WaitText(alice.profile + "/tessaly.log", "refused: the contact is blocked", 20000)) << carol.Output();
        carol.Wait(20000);  // the peer gives up after ten seconds
        EXPECT_NE(std::string::npos, carol.Output().find("no answer"));  // no page rang: alice's call log has no entry of hers (below)
    }

    // Alice calls bob from her Dial page: the number in its field, then the dial bar's dial button;
    // bob declines.
    Snap(display, alice.program.pid, services.dir + "/alice_home.png");
    ASSERT_TRUE(DialFromDialPage(display, alice.program.pid, "bob"));
    Snap(display, alice.program.pid, services.dir + "/alice_dial.png");
    ASSERT_TRUE(WaitText(bob.profile + "/tessaly.log", kRinging, 20000)) << Slurp(alice.profile + "/tessaly.log");
    ASSERT_TRUE(ClickBarUntil(display, bob.program.pid, true, bob.profile + "/tessaly.log", kReleased)) << Slurp(bob.profile + "/tessaly.log");
    ASSERT_EQ(1u, WaitCallLog(alice.profile + "/individual/alice/calllog.dat", 1, 15000).size()) << Slurp(alice.profile + "/tessaly.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));  // both pages close

    // Alice dials bob; bob's page rings and he answers with his window's dial button.
    EXPECT_EQ(3, shell::SendDialRequest(alice.profile, "bob"));
    ASSERT_TRUE(WaitCount(bob.profile + "/tessaly.log", kRinging, 2, 20000)) << Slurp(bob.profile + "/tessaly.log");
    ASSERT_TRUE(AnswerFromBar(display, bob.program.pid, bob.profile + "/tessaly.log")) << Slurp(bob.profile + "/tessaly.log");
    ASSERT_TRUE(WaitText(alice.profile + "/tessaly.log", kAnswered, 15000)) << Slurp(alice.profile + "/tessaly.log");
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    const Clock::time_point talking = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));  // both speak

    // Alice holds the call from her page's menu (the second item) and resumes it after 3 seconds.
    // Holding stops her media and tells bob nothing. The hold's true length lies between what the
    // test saw of it: from its line in the log to the resume asked for, and from the hold asked for
    // to the resume's line.
    const Clock::time_point holdAsked = Clock::now();
    ASSERT_TRUE(CallPageMenu(display, alice.program.pid, 2));
    ASSERT_TRUE(WaitText(alice.profile + "/tessaly.log", "CMEVT_HOLD", 20000)) << Slurp(alice.profile + "/tessaly.log");
    const Clock::time_point holdSeen = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    const Clock::time_point resumeAsked = Clock::now();
    ASSERT_TRUE(CallPageMenu(display, alice.program.pid, 2));  // now "Resume"
    ASSERT_TRUE(WaitText(alice.profile + "/tessaly.log", "CMEVT_UNHOLD", 20000));
    const double holdAtLeast = seconds(resumeAsked - holdSeen), holdAtMost = seconds(Clock::now() - holdAsked);
    // They speak again.
    std::this_thread::sleep_for(std::chrono::milliseconds(7000));
    EXPECT_EQ(std::string::npos, Slurp(bob.profile + "/tessaly.log").find("CMEVT_REMOTE_HOLD"));

    // Lina calls alice, who takes her into the call as a conference member.
    e2e::Child lina;
    ASSERT_TRUE(lina.Start({peer, "call", "--sip-port", std::to_string(e2e::FreePortPair(61)), "--user", "lina", "--remote-port",
                            std::to_string(services.kamPort), "--call", "alice", "--seconds", "6"},
                           services.dir + "/lina.log", {"TESSALY_AUDIO=manual"}));
    ASSERT_TRUE(AnswerQuestion(display, alice.program.pid, 15000)) << lina.Output();
    EXPECT_TRUE(WaitText(alice.profile + "/tessaly.log", "CMEVT_MOVE", 10000));
    // Bob, a member of alice's conference, is told its members: alice as its host, then lina (his
    // page shows them with himself, see the snapshot). (Lina leaves after 6 seconds: alice ends the
    // call before that.)
    for (const char* member : {"VOIPEVT_REMOTE_CONTACT, 65535, 0, alice", "VOIPEVT_REMOTE_CONTACT, 65535, 0, lina"})
        EXPECT_TRUE(WaitText(bob.profile + "/tessaly.log", member, 20000)) << member;
    Snap(display, bob.program.pid, services.dir + "/bob_conference.png");
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));

    // Alice hangs up from her window; both pages end and log the call.
    const double talked = seconds(Clock::now() - talking);
    ASSERT_TRUE(ClickBarButton(display, alice.program.pid, true));
    ASSERT_GE(WaitCallLog(bob.profile + "/individual/bob/calllog.dat", 2, 15000).size(), 2u);
    ASSERT_GE(WaitCallLog(alice.profile + "/individual/alice/calllog.dat", 3, 15000).size(), 3u);
    std::this_thread::sleep_for(std::chrono::milliseconds(6000));  // the pages close and the logs are written
    lina.Stop();

    for (Side* s : {&alice, &bob}) {
        kill(s->program.pid, SIGTERM);
        EXPECT_EQ(0, s->program.Wait(20000)) << s->name;
    }
    const std::vector<CallLogEntry> aliceLog = ReadCallLog(alice.profile + "/individual/alice/calllog.dat");
    const std::vector<CallLogEntry> bobLog = ReadCallLog(bob.profile + "/individual/bob/calllog.dat");
    ASSERT_EQ(3u, aliceLog.size());  // bob from the dial bar, then bob, then lina as a member (carol left none)
    ASSERT_EQ(2u, bobLog.size());
    EXPECT_EQ(CALLLOG_OUTGOING, aliceLog[0].typeFlags);
    EXPECT_STREQ("bob", aliceLog[0].number);
    EXPECT_EQ(0u, aliceLog[0].duration);
    EXPECT_EQ(CALLLOG_MISSED, bobLog[0].typeFlags);  // declined: incoming, not answered
    // The conference page logs its two members as they leave, in whichever order their ends arrive.
    const auto entryOf = [&](const char* number) {
        for (size_t i = 1; i < aliceLog.size(); ++i)
            if (std::strcmp(aliceLog[i].number, number) == 0) return aliceLog[i];
        return CallLogEntry{};
    };
    const CallLogEntry withBob = entryOf("bob"), withLina = entryOf("lina@127.0.0.1");
    EXPECT_EQ(CALLLOG_OUTGOING, withBob.typeFlags);
    EXPECT_EQ(CALLLOG_INCOMING, withLina.typeFlags);
    EXPECT_EQ(CALLLOG_INCOMING, bobLog[1].typeFlags);
    EXPECT_GE(withBob.duration, 6u);
    EXPECT_GE(bobLog[1].duration, 6u);

    // Each heard the other: the spoken WAV is found in what the other side played out.
    for (auto [sent, heard] : {std::pair{aliceWav, bob.heard}, std::pair{bobWav, alice.heard}}) {
        const std::string heard16 = heard + ".16k.wav";
        ASSERT_EQ(0, std::system(("sox '" + heard + "' -r 16000 -c 1 -b 16 '" + heard16 + "' >/dev/null 2>&1").c_str())) << heard;
        std::vector<int16_t> a, b;
        DWORD ra = 0, rb = 0;
        ASSERT_TRUE(e2e::ReadMono(sent, &a, &ra));
        ASSERT_TRUE(e2e::ReadMono(heard16, &b, &rb)) << heard;
        a.resize(std::min<size_t>(a.size(), 3 * 16000));  // the first three seconds of speech, found in the call
        const e2e::Alignment al = e2e::Align(a, b, 0, static_cast<long>(b.size()));
        std::printf("%s: lag %.2f s, median correlation %.2f over %d windows\n", heard.c_str(), al.lag / 16000.0, al.median,
                    al.windows);
        EXPECT_GT(al.median, 0.5) << heard;
        // Each heard the hold as silence of its length (alice's media stopped both ways with it) and
        // speech again after it. The silence may take in a pause of the looped speech on either side
        // of the hold, and the media path's buffering at both ends (half a second all told).
        std::vector<int16_t> twice;
        ASSERT_TRUE(e2e::ReadMono(sent, &twice, &ra));
        twice.insert(twice.end(), twice.begin(), twice.end());
        const double pause = LongestInnerQuiet(twice, 16000);
        const double gap = LongestInnerQuiet(b, 16000);
        std::printf("%s: longest silence between speech %.2f s; hold %.2f-%.2f s, speech pauses up to %.2f s\n",
                    heard.c_str(), gap, holdAtLeast, holdAtMost, pause);
        EXPECT_GE(gap, holdAtLeast - 0.5) << heard;
        EXPECT_LE(gap, holdAtMost + 2 * pause + 0.5) << heard;
        // The playout file keeps the whole call, the hold included: at least the time the test saw
        // the call run (a stall of the program's clock under load is not made up: a second's slack).
        EXPECT_GE(static_cast<double>(b.size()) / 16000.0, talked - 1.0) << heard;
    }
    xvfb.Stop();
    services.Stop();
}

namespace {



// The visible windows of the process.
size_t VisibleWindows(const std::string& display, pid_t pid) {
    std::stringstream ids(Run("DISPLAY=" + display + " xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"));
    size_t n = 0;
    for (std::string id; ids >> id;) ++n;
    return n;
}
// Waits until the process shows n visible windows (a menu closed); false after ms.
bool WaitVisibleWindows(const std::string& display, pid_t pid, size_t n, int ms) {
    for (int waited = 0; waited < ms; waited += 50) {
        if (VisibleWindows(display, pid) == n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A window's position and size on the display.
void WindowGeometry(const std::string& display, const std::string& id, int* x, int* y, int* w, int* h) {
    std::stringstream s(Run("DISPLAY=" + display + " xdotool getwindowgeometry --shell " + id + " 2>/dev/null"));
    for (std::string line; std::getline(s, line);) {
        if (line.rfind("X=", 0) == 0) *x = atoi(line.c_str() + 2);
        if (line.rfind("Y=", 0) == 0) *y = atoi(line.c_str() + 2);
        if (line.rfind("WIDTH=", 0) == 0) *w = atoi(line.c_str() + 6);
        if (line.rfind("HEIGHT=", 0) == 0) *h = atoi(line.c_str() + 7);
    }
}

// Chooses an item of the active call page's right-click menu with the keys given (disabled items
// are skipped), once the menu shows.
bool CallPageMenuKeys(const std::string& display, pid_t pid, const std::string& keys) {
    int x, y, w, h;
    std::string id;
    if (!FrameGeometry(display, pid, &x, &y, &w, &h, &id)) return false;
    const std::string env = "DISPLAY=" + display + " ";
    Run(env + "xdotool windowraise " + id);
    const size_t before = VisibleWindows(display, pid);
    Run(env + "xdotool mousemove " + std::to_string(x + w / 2) + " " + std::to_string(y + h / 2) + " click 3");
    bool open = false;
    for (int waited = 0; waited < 15000 && !open; waited += 50) {
        open = VisibleWindows(display, pid) > before;
        if (!open) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (open) Run(env + "xdotool key " + keys);
    return open;
}
// The last item (Up from no item).
bool CallPageMenuLastItem(const std::string& display, pid_t pid) { return CallPageMenuKeys(display, pid, "Up Return"); }

}  // namespace

// Alice talks with bob; "Add to the call" on carol in alice's address book calls carol into the call,
// carol answers from her window, bob sees her among the members, and every call log holds the call.
TEST(CallsProgram, AddToTheCallBringsAThirdProgramIn) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool") || !e2e::HaveTool("espeak-ng"))
        GTEST_SKIP() << "kamailio, python3, Xvfb, xdotool and espeak-ng are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("callsadd", false));
    // Carol, blocked in alice's book of the seed data, is an ordinary contact here.
    std::string db = Slurp(services.src + "/tools/accessserver/userdb.json");
    const std::string blocked = "{\"uid\": \"carol\", \"gid\": \"g-friends\", \"nname\": \"\", \"blocked\": true}";
    ASSERT_NE(std::string::npos, db.find(blocked));
    db.replace(db.find(blocked), blocked.size(), "{\"uid\": \"carol\", \"gid\": \"g-friends\", \"nname\": \"\", \"blocked\": false}");
    std::ofstream(services.dir + "/userdb.json") << db;
    ASSERT_TRUE(services.access.Start({"/usr/bin/python3", services.src + "/tools/accessserver/accessserver.py", "--port",
                                       std::to_string(services.accessPort), "--db", services.dir + "/userdb.json"},
                                      services.dir + "/access.log"));
    ASSERT_NE(0, shelltest::WaitPorts(services.access, 1));
    e2e::XServer xserver;
    ASSERT_TRUE(xserver.Start(services.dir)) << xserver.process.Output();
    const std::string display = xserver.display;
    e2e::Child& xvfb = xserver.process;

    const std::string speech = services.dir + "/says.wav";
    ASSERT_TRUE(e2e::MakeSpeech(services.dir, "one two three four five six seven", speech, 16000, 0.5, 1));
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    struct Side {
        std::string name, profile;
        e2e::Child program;
        std::string Log() const { return profile + "/tessaly.log"; }
    } alice{"alice", services.Profile("alice", "alice", "alice123", true), {}},
        bob{"bob", services.Profile("bob", "bob", "bob123", true), {}},
        carol{"carol", services.Profile("carol", "carol", "carol123", true), {}};
    for (Side* s : {&alice, &bob, &carol}) {
        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file",
                                              "TESSALY_WAVE_IN=" + speech, "TESSALY_WAVE_IN_LOOP=1",
                                              "TESSALY_WAVE_OUT=" + services.dir + "/" + s->name + "_heard.wav"};
        // Carol signs in once alice has her contacts, so that alice hears her come online.
        if (s == &carol) ASSERT_TRUE(WaitText(alice.Log(), "mervane buddy list receive end", 60000)) << Slurp(alice.Log());
        ASSERT_TRUE(s->program.Start({app, "--app-folder", services.AppFolder(), "--profile", s->profile, "/nosplash"}, services.dir + "/" + s->name + ".out", env));
    }
    for (Side* s : {&alice, &bob, &carol}) ASSERT_TRUE(WaitText(s->Log(), "Login state 6", 60000)) << s->name;
    for (Side* s : {&alice, &bob, &carol}) ASSERT_TRUE(WaitText(s->Log(), kRegistered, 20000)) << s->name;
    ASSERT_TRUE(WaitText(alice.Log(), "Olden core:contact Carol update status to online", 20000)) << Slurp(alice.Log());
    {  // bob and carol beside alice, so that each is seen and clicked on its own
        int x, y, w, h;
        std::string id;
        ASSERT_TRUE(FrameGeometry(display, bob.program.pid, &x, &y, &w, &h, &id));
        shelltest::Run("DISPLAY=" + display + " xdotool windowmove --sync " + id + " 440 0");
        ASSERT_TRUE(FrameGeometry(display, carol.program.pid, &x, &y, &w, &h, &id));
        shelltest::Run("DISPLAY=" + display + " xdotool windowmove --sync " + id + " 880 0");
    }

    // Alice calls bob, who answers with his window's dial button.
    EXPECT_EQ(3, shell::SendDialRequest(alice.profile, "bob"));
    ASSERT_TRUE(WaitText(bob.Log(), kRinging, 20000)) << Slurp(bob.Log());
    ASSERT_TRUE(AnswerFromBar(display, bob.program.pid, bob.Log())) << Slurp(bob.Log());
    ASSERT_TRUE(WaitText(alice.Log(), kAnswered, 15000)) << Slurp(alice.Log());

    // Alice: her Contacts page (View, Contacts: the call's tab has scrolled the tab row), the first
    // group opened, carol's row (after bob's) and its menu's "Add to the call" (the call item above it
    // is greyed while she talks).
    int x, y, w, h;
    std::string aliceWindow;
    ASSERT_TRUE(FrameGeometry(display, alice.program.pid, &x, &y, &w, &h, &aliceWindow));
    const std::string env = "DISPLAY=" + display + " ";
    auto at = [&](int dx, int dy) { return std::to_string(x + dx) + " " + std::to_string(y + dy); };
    shelltest::Run(env + "xdotool windowraise " + aliceWindow);
    ASSERT_TRUE(shelltest::ChooseFromMenu(display, alice.program.pid, "v", "c"));
    shelltest::Run(env + "xdotool mousemove " + at(60, 133) + " click 1 key plus");
    shelltest::Run(env + "xdotool mousemove " + at(110, 183) + " click 1");
    Snap(display, alice.program.pid, services.dir + "/alice_book.png");
    shelltest::Run(env + "xdotool mousemove " + at(110, 183) + " click 3");
    // The menu: the smallest visible window of alice's program; its third item, below the greyed call.
    int mx = 0, my = 0, mw = 0, mh = 0;
    for (int waited = 0; waited < 10000 && mw == 0; waited += 100) {
        std::stringstream ids(shelltest::Run(env + "xdotool search --onlyvisible --pid " + std::to_string(alice.program.pid)));
        for (std::string id; ids >> id;) {
            if (id == aliceWindow) continue;
            std::stringstream g(shelltest::Run(env + "xdotool getwindowgeometry --shell " + id));
            int gx = 0, gy = 0, gw = 0, gh = 0;
            for (std::string line; std::getline(g, line);) {
                if (line.rfind("X=", 0) == 0) gx = atoi(line.c_str() + 2);
                if (line.rfind("Y=", 0) == 0) gy = atoi(line.c_str() + 2);
                if (line.rfind("WIDTH=", 0) == 0) gw = atoi(line.c_str() + 6);
                if (line.rfind("HEIGHT=", 0) == 0) gh = atoi(line.c_str() + 7);
            }
            if (gw > 0 && gh > 100 && (mw == 0 || gw * gh < mw * mh)) mx = gx, my = gy, mw = gw, mh = gh;
        }
        if (mw == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GT(mw, 0) << "no menu on carol's row";
    Snap(display, alice.program.pid, services.dir + "/alice_menu.png");
    shelltest::Run(env + "xdotool mousemove " + std::to_string(mx + 60) + " " + std::to_string(my + 63) + " click 1");

    // Carol's page rings; she answers from her window, and bob, a member, sees her in the conference.
    ASSERT_TRUE(WaitText(carol.Log(), kRinging, 20000)) << Slurp(alice.Log());
    ASSERT_TRUE(WaitText(alice.Log(), "CMEVT_NEWCALL, -1, -1, carol", 10000)) << Slurp(alice.Log());
    const bool answered = AnswerFromBar(display, carol.program.pid, carol.Log());
    Snap(display, carol.program.pid, services.dir + "/carol_call.png");
    ASSERT_TRUE(answered) << Slurp(carol.Log());
    EXPECT_TRUE(WaitText(bob.Log(), "VOIPEVT_REMOTE_CONTACT, 65535, 0, carol", 15000)) << Slurp(bob.Log());
    Snap(display, alice.program.pid, services.dir + "/alice_conference.png");

    // Alice ends the call: each side's page ends and writes its call log.
    ASSERT_TRUE(ClickBarButton(display, alice.program.pid, true));
    const std::vector<CallLogEntry> aliceLog = WaitCallLog(alice.profile + "/individual/alice/calllog.dat", 2, 20000);
    const std::vector<CallLogEntry> bobLog = WaitCallLog(bob.profile + "/individual/bob/calllog.dat", 1, 20000);
    const std::vector<CallLogEntry> carolLog = WaitCallLog(carol.profile + "/individual/carol/calllog.dat", 1, 20000);
    ASSERT_EQ(2u, aliceLog.size());
    ASSERT_EQ(1u, bobLog.size());
    ASSERT_EQ(1u, carolLog.size());
    std::set<std::string> called;
    for (const CallLogEntry& e : aliceLog) {
        EXPECT_EQ(CALLLOG_OUTGOING, e.typeFlags) << e.number;
        called.insert(e.number);
    }
    EXPECT_EQ((std::set<std::string>{"bob", "carol"}), called);
    EXPECT_EQ(CALLLOG_INCOMING, bobLog[0].typeFlags);
    EXPECT_EQ(CALLLOG_INCOMING, carolLog[0].typeFlags);
    EXPECT_EQ(0, std::strncmp(carolLog[0].number, "alice", 5)) << carolLog[0].number;  // as the caller's header names her

    for (Side* s : {&alice, &bob, &carol}) {
        kill(s->program.pid, SIGTERM);
        EXPECT_EQ(0, s->program.Wait(20000)) << s->name;
    }
    xvfb.Stop();
    services.Stop();
}

// Alice talks with lina when her messaging server goes away: the sign-out that follows hangs the call
// up (lina's end hears it), ends alice's page and writes the call to her log once with the time it ran.
TEST(CallsProgram, ALostMessagingLinkEndsTheCallAndLogsItOnce) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool") || !e2e::HaveTool("espeak-ng"))
        GTEST_SKIP() << "kamailio, python3, Xvfb, xdotool and espeak-ng are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("callslinklost"));
    e2e::XServer xserver;
    ASSERT_TRUE(xserver.Start(services.dir)) << xserver.process.Output();
    const std::string display = xserver.display;
    e2e::Child& xvfb = xserver.process;
    const std::string speech = services.dir + "/says.wav";
    ASSERT_TRUE(e2e::MakeSpeech(services.dir, "one two three four five six seven", speech, 16000, 0.5, 1));
    const std::string profile = services.Profile("alice", "alice", "alice123", true);
    const std::string log = profile + "/tessaly.log";
    e2e::Child alice;
    ASSERT_TRUE(alice.Start({std::string(TESSALY_BINARY_DIR) + "/tessaly", "--app-folder", services.AppFolder(), "--profile", profile, "/nosplash"}, services.dir + "/alice.out",
                            {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file", "TESSALY_WAVE_IN=" + speech,
                             "TESSALY_WAVE_IN_LOOP=1", "TESSALY_WAVE_OUT=" + services.dir + "/alice_heard.wav"}));
    ASSERT_TRUE(WaitText(log, "Login state 6", 60000)) << Slurp(log);
    ASSERT_TRUE(WaitText(log, kRegistered, 20000)) << Slurp(log);

    e2e::Child lina;
    ASSERT_TRUE(lina.Start({std::string(TESSALY_BINARY_DIR) + "/tools/voicepeer/voicepeer", "call", "--sip-port",
                            std::to_string(e2e::FreePortPair(61)), "--user", "lina", "--remote-port", std::to_string(services.kamPort),
                            "--call", "alice", "--seconds", "120"},
                           services.dir + "/lina.log", {"TESSALY_AUDIO=manual"}));
    ASSERT_TRUE(WaitText(log, kRinging, 20000)) << lina.Output();
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(AnswerFromBar(display, alice.pid, log)) << Slurp(log);
    ASSERT_TRUE(lina.WaitFor("talking", 10000)) << lina.Output();
    std::this_thread::sleep_for(std::chrono::seconds(4));  // they talk

    // The server goes; the messaging library notices once its keep-alive goes unanswered, and the
    // sign-out hangs the call up.
    services.msg.Stop();
    ASSERT_TRUE(lina.WaitFor("done", 90000)) << "the call was not hung up: " << lina.Output() << Slurp(log);
    const auto lost = std::chrono::steady_clock::now();
    // Written once; its length runs from the answer to the sign-out.
    const std::string file = profile + "/individual/alice/calllog.dat";
    std::vector<CallLogEntry> entries = ReadCallLog(file);
    ASSERT_EQ(1u, entries.size()) << "the call is not in the log once the link is lost";
    EXPECT_EQ(CALLLOG_INCOMING, entries[0].typeFlags);
    EXPECT_NE(std::string::npos, std::string(entries[0].number).find("lina")) << entries[0].number;
    const auto seconds = [](auto d) { return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(d).count()); };
    EXPECT_GE(entries[0].duration, 4u);
    EXPECT_LE(entries[0].duration, seconds(lost - asked) + 3u + 1u);  // the log adds 3 s to a talk
    kill(alice.pid, SIGTERM);
    EXPECT_EQ(0, alice.Wait(20000));
    entries = ReadCallLog(file);
    ASSERT_EQ(1u, entries.size()) << "the call was logged again at exit";
    lina.Stop();
    xvfb.Stop();
    services.Stop();
}

// A standard phone (baresip, answering by itself) hears the dial page's keys, * and # included, as
// telephone events whichever side places the call: alice calls it and keys 1*5#, then it calls alice,
// she answers, and keys 2#0*.
TEST(CallsProgram, BaresipHearsTheDialPagesKeysInBothCallDirections) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool") ||
        !e2e::HaveTool("espeak-ng") || !e2e::HaveTool("baresip"))
        GTEST_SKIP() << "kamailio, python3, Xvfb, xdotool, espeak-ng and baresip are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("callskeys"));
    e2e::XServer xserver;
    ASSERT_TRUE(xserver.Start(services.dir)) << xserver.process.Output();
    const std::string display = xserver.display;
    e2e::Child& xvfb = xserver.process;
    const std::string speech = services.dir + "/says.wav";
    ASSERT_TRUE(e2e::MakeSpeech(services.dir, "one two three four five six seven", speech, 16000, 0.5, 1));
    const std::string profile = services.Profile("alice", "alice", "alice123", true);
    const std::string log = profile + "/tessaly.log";
    e2e::Child alice;
    ASSERT_TRUE(alice.Start({std::string(TESSALY_BINARY_DIR) + "/tessaly", "--app-folder", services.AppFolder(), "--profile", profile, "/nosplash"},
                            services.dir + "/alice.out",
                            {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file", "TESSALY_WAVE_IN=" + speech,
                             "TESSALY_WAVE_IN_LOOP=1", "TESSALY_WAVE_OUT=" + services.dir + "/alice_heard.wav"}));
    ASSERT_TRUE(WaitText(log, "Login state 6", 60000)) << Slurp(log);
    ASSERT_TRUE(WaitText(log, kRegistered, 20000)) << Slurp(log);

    // Baresip registers as dave through the same proxy and answers at once.
    const std::string phoneDir = services.dir + "/baresip";
    ASSERT_EQ(0, mkdir(phoneDir.c_str(), 0755));
    const int rtp = test_ports::Reserve(20);
    {
        std::ofstream config(phoneDir + "/config");
        config << "poll_method\t\tepoll\nsip_listen\t\t127.0.0.1:" << e2e::FreePortPair(67) << "\nsip_trans_def\t\tudp\n"
               << "module_path\t\t/usr/lib/baresip/modules\nmodule\t\t\tg711.so\nmodule\t\t\tausine.so\nmodule\t\t\taufile.so\n"
               << "module_app\t\taccount.so\nmodule_app\t\tmenu.so\naudio_player\t\taufile," << phoneDir << "/heard.wav\n"
               << "audio_source\t\tausine,440\nausrc_srate\t\t48000\nausrc_channels\t\t2\nauplay_srate\t\t48000\n"
               << "rtp_ports\t\t" << rtp << "-" << (rtp + 19) << "\nnet_interface\t\t127.0.0.1\n";
        std::ofstream(phoneDir + "/accounts") << "<sip:dave@127.0.0.1>;auth_pass=secret;outbound=\"sip:127.0.0.1:"
                                              << services.kamPort << "\";regint=600;audio_codecs=PCMU;answermode=auto\n";
    }
    e2e::Child phone;
    ASSERT_TRUE(phone.Start({"/usr/bin/baresip", "-f", phoneDir}, phoneDir + "/out.log"));
    ASSERT_TRUE(phone.WaitFor("200 OK", 10000)) << phone.Output();

    // The dial page (View > Dial pad), then its keys: the keypad's rows lie 40 pixels apart, its
    // columns 45, the "1" key's middle at (144, 200).
    const std::string env = "DISPLAY=" + display + " ";
    auto keyDigits = [&](const std::string& keys) {
        int x, y, w, h;
        std::string window;
        if (!FrameGeometry(display, alice.pid, &x, &y, &w, &h, &window)) return false;
        auto at = [&](int dx, int dy) { return std::to_string(x + dx) + " " + std::to_string(y + dy); };
        shelltest::Run(env + "xdotool windowraise " + window);
        // View > Dial pad.
        shelltest::Run(env + "xdotool windowfocus --sync " + window + " key --clearmodifiers alt+v");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the menu opens
        shelltest::Run(env + "xdotool key d");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        Snap(display, alice.pid, services.dir + "/dial_" + keys + ".png");
        const std::string pad = "123456789*0#";
        for (char k : keys) {
            const size_t i = pad.find(k);
            // The pointer rests on the key before the click, as a hand's does.
            shelltest::Run(env + "xdotool mousemove " + at(144 + 45 * static_cast<int>(i % 3), 200 + 40 * static_cast<int>(i / 3)) +
                           " sleep 0.2 click 1");
            std::this_thread::sleep_for(std::chrono::milliseconds(400));  // each event lasts 200 ms and its ends
        }
        return true;
    };
    // The digits whose end the phone reported, in order (its repeated end packets are one end).
    auto heard = [](const std::string& out) {
        std::string digits;
        const std::string mark = "received event: '";
        for (size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1))
            if (out.compare(at + mark.size() + 1, 10, "' (end=1)\n") == 0) digits += out[at + mark.size()];
        return digits;
    };
    auto waitHeard = [&](const e2e::Child& c, const std::string& digits) {
        for (int waited = 0; waited < 10000 && heard(c.Output()) != digits; waited += 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return heard(c.Output());
    };

    // Alice calls the phone and keys 1*5#.
    EXPECT_EQ(3, shell::SendDialRequest(profile, "dave"));
    ASSERT_TRUE(WaitText(log, kAnswered, 20000)) << Slurp(log) << phone.Output();
    ASSERT_TRUE(keyDigits("1*5#"));
    EXPECT_EQ("1*5#", waitHeard(phone, "1*5#")) << phone.Output();
    EXPECT_EQ(std::string::npos, Slurp(log).find("Dialdialog:")) << Slurp(log);  // the keys dial nothing
    Snap(display, alice.pid, services.dir + "/keyed_out.png");
    ASSERT_TRUE(ClickBarButton(display, alice.pid, true));
    const std::string calls = profile + "/individual/alice/calllog.dat";
    ASSERT_EQ(1u, WaitCallLog(calls, 1, 15000).size()) << Slurp(log);
    phone.Stop();

    // The phone calls alice, who answers from her window and keys 2#0*.
    e2e::Child caller;
    ASSERT_TRUE(caller.Start({"/usr/bin/baresip", "-f", phoneDir, "-e", "/dial sip:alice@127.0.0.1", "-t", "40"},
                             phoneDir + "/out2.log"));
    ASSERT_TRUE(WaitText(log, kRinging, 20000)) << Slurp(log) << caller.Output();
    ASSERT_TRUE(AnswerFromBar(display, alice.pid, log)) << Slurp(log);
    ASSERT_TRUE(keyDigits("2#0*"));
    EXPECT_EQ("2#0*", waitHeard(caller, "2#0*")) << caller.Output();
    EXPECT_EQ(std::string::npos, Slurp(log).find("Dialdialog:")) << Slurp(log);
    Snap(display, alice.pid, services.dir + "/keyed_in.png");
    ASSERT_TRUE(ClickBarButton(display, alice.pid, true));
    ASSERT_EQ(2u, WaitCallLog(calls, 2, 15000).size()) << Slurp(log);
    caller.Stop();
    kill(alice.pid, SIGTERM);
    EXPECT_EQ(0, alice.Wait(20000));
    xvfb.Stop();
    services.Stop();
}

// Two copies of the program talk iLBC, on which the Dial page's keys send nothing: alice opens the
// keypad window from her call page's menu and keys 1 * 5 # 0 into the call, and bob hears each digit
// as its tone, in order.
TEST(CallsProgram, TheCallPagesKeypadSendsDigitsBetweenTwoProgramsOnIlbc) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool"))
        GTEST_SKIP() << "kamailio, python3, Xvfb and xdotool are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("callskeypad"));
    e2e::XServer xserver;
    ASSERT_TRUE(xserver.Start(services.dir)) << xserver.process.Output();
    const std::string display = xserver.display;
    e2e::Child& xvfb = xserver.process;
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    struct Side {
        std::string name, profile, heard;
        e2e::Child program;
        std::string Log() const { return profile + "/tessaly.log"; }
    } alice{"alice", services.Profile("alice", "alice", "alice123", true), services.dir + "/alice_heard.wav", {}},
        bob{"bob", services.Profile("bob", "bob", "bob123", true), services.dir + "/bob_heard.wav", {}};
    for (Side* s : {&alice, &bob}) {
        // No microphone file: both send silence, so the tones stand alone in what bob plays.
        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file",
                                              "TESSALY_WAVE_OUT=" + s->heard};
        ASSERT_TRUE(s->program.Start({app, "--app-folder", services.AppFolder(), "--profile", s->profile, "/nosplash"}, services.dir + "/" + s->name + ".out", env));
    }
    for (Side* s : {&alice, &bob}) ASSERT_TRUE(WaitText(s->Log(), "Login state 6", 60000)) << s->name;
    for (Side* s : {&alice, &bob}) ASSERT_TRUE(WaitText(s->Log(), kRegistered, 20000)) << s->name;
    {  // bob beside alice
        int x, y, w, h;
        std::string id;
        ASSERT_TRUE(FrameGeometry(display, bob.program.pid, &x, &y, &w, &h, &id));
        shelltest::Run("DISPLAY=" + display + " xdotool windowmove --sync " + id + " 700 " + std::to_string(y));
    }

    EXPECT_EQ(3, shell::SendDialRequest(alice.profile, "bob"));
    ASSERT_TRUE(WaitText(bob.Log(), kRinging, 20000)) << Slurp(alice.Log());
    ASSERT_TRUE(AnswerFromBar(display, bob.program.pid, bob.Log())) << Slurp(bob.Log());
    ASSERT_TRUE(WaitText(alice.Log(), kAnswered, 15000)) << Slurp(alice.Log());

    // The Keypad item, the last of the call page's menu.
    ASSERT_TRUE(CallPageMenuLastItem(display, alice.program.pid));
    const std::string env = "DISPLAY=" + display + " ";
    std::string keypad;
    for (int waited = 0; waited < 15000 && keypad.empty(); waited += 100) {
        keypad = shelltest::FindWindow(display, alice.program.pid, "Keypad").first;
        if (keypad.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_FALSE(keypad.empty()) << "no keypad window";
    // It slides out 50 pixels every 100 ms; the keys stand still in it once it stops growing.
    int kx = 0, ky = 0, kw = 0;
    for (int waited = 0, same = 0; waited < 15000 && same < 5; waited += 100) {
        int x = 0, y = 0, w = 0, h = 0;
        WindowGeometry(display, keypad, &x, &y, &w, &h);
        same = w >= 160 && w == kw ? same + 1 : 0;
        kx = x, ky = y, kw = w;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GE(kw, 160) << "the keypad never opened out";
    Snap(display, alice.program.pid, services.dir + "/alice_keypad.png");
    // Keys of 40 pixels, 8 apart, centred in rows of three from 12 pixels below the top: 1 2 3 / 4 5 6 /
    // 7 8 9 / * 0 #; each is sent as its value (* 10, # 11).
    const std::string pad = "123456789*0#";
    const int x0 = (kw - 136) / 2;
    auto key = [&](char k) {
        const int i = static_cast<int>(pad.find(k));
        shelltest::Run(env + "xdotool mousemove " + std::to_string(kx + x0 + (i % 3) * 48 + 20) + " " +
                       std::to_string(ky + 12 + (i / 3) * 48 + 20) + " click 1");
    };
    size_t sent = 0;
    for (char k : std::string("1*5#")) {
        const int value = k == '*' ? 10 : k == '#' ? 11 : k - '0';
        key(k);
        ASSERT_TRUE(WaitCount(alice.Log(), "CMEVT_DTMF, -1, " + std::to_string(value) + ",", 1, 10000))
            << k << " not sent" << Slurp(alice.Log());
        ASSERT_EQ(++sent, shelltest::CountText(alice.Log(), "CMEVT_DTMF,"));
    }
    // The Dial page's 9 (View > Dial pad, its keys 45 pixels apart from the "1" at (144, 200)) sends
    // nothing on this call; the keypad's 0 after it does.
    const size_t windows = VisibleWindows(display, alice.program.pid);
    ASSERT_TRUE(shelltest::ChooseFromMenu(display, alice.program.pid, "v", "d"));
    {
        int x, y, w, h;
        ASSERT_TRUE(FrameGeometry(display, alice.program.pid, &x, &y, &w, &h));
        ASSERT_TRUE(WaitVisibleWindows(display, alice.program.pid, windows, 15000)) << "the menu stays open";
        shelltest::Run(env + "xdotool mousemove " + std::to_string(x + 144 + 90) + " " + std::to_string(y + 200 + 80) + " click 1");
    }
    key('0');
    ASSERT_TRUE(WaitCount(alice.Log(), "CMEVT_DTMF, -1, 0,", 1, 10000)) << Slurp(alice.Log());
    EXPECT_EQ(sent + 1, shelltest::CountText(alice.Log(), "CMEVT_DTMF,")) << "the Dial page sent a key on iLBC";
    Snap(display, alice.program.pid, services.dir + "/alice_dialpage.png");
    if (e2e::HaveTool("import"))  // alice's window with its keypad beside it, and bob's
        shelltest::Run(env + "import -window root '" + services.dir + "/screen_keypad.png' 2>/dev/null");
    // Alice hangs up once bob has heard every digit: a digit's event takes 300 ms with its end packets,
    // so keys pressed faster wait their turn at alice's side, and a hang-up ends whatever still waits.
    std::string heardSoFar;
    for (int waited = 0; waited < 20000; waited += 100) {
        std::vector<int16_t> played;
        DWORD playedRate = 0;
        if (e2e::ReadPlayoutSoFar(bob.heard, &played, &playedRate)) heardSoFar = e2e::DetectDtmf(played, playedRate);
        if (heardSoFar == "1*5#0") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ("1*5#0", heardSoFar) << "bob's playout during the call";

    ASSERT_TRUE(ClickBarButton(display, alice.program.pid, true));
    ASSERT_EQ(1u, WaitCallLog(alice.profile + "/individual/alice/calllog.dat", 1, 15000).size()) << Slurp(alice.Log());
    ASSERT_EQ(1u, WaitCallLog(bob.profile + "/individual/bob/calllog.dat", 1, 15000).size()) << Slurp(bob.Log());
    for (Side* s : {&alice, &bob}) {
        kill(s->program.pid, SIGTERM);
        EXPECT_EQ(0, s->program.Wait(20000)) << s->name;
    }
    std::vector<int16_t> heard;
    DWORD rate = 0;
    ASSERT_TRUE(e2e::ReadMono(bob.heard, &heard, &rate)) << bob.heard;
    EXPECT_EQ("1*5#0", e2e::DetectDtmf(heard, rate));
    xvfb.Stop();
    services.Stop();
}

// A new user's call on a 1024 x 768 screen. Bob answers alice and sends her a message from his call
// page (her address carries the host her entry in his book lacks). Alice opens the keypad from her
// page: it stands on the screen, is called "Keypad" as its menu item is, Escape leaves it and its
// keys go out; when the call ends it goes. Her call log names bob by his name, not her remark.
TEST(CallsProgram, ANewUsersCallOnASmallScreen) {
    if (!shelltest::Services::Available() || !e2e::HaveTool("Xvfb") || !e2e::HaveTool("xdotool"))
        GTEST_SKIP() << "kamailio, python3, Xvfb and xdotool are needed";
    shelltest::Services services;
    ASSERT_TRUE(services.Start("callssmall"));
    e2e::XServer xserver;
    ASSERT_TRUE(xserver.Start(services.dir, "1024x768x24")) << xserver.process.Output();
    const std::string display = xserver.display;
    e2e::Child& xvfb = xserver.process;
    const std::string app = std::string(TESSALY_BINARY_DIR) + "/tessaly";
    struct Side {
        std::string name, profile;
        e2e::Child program;
        std::string Log() const { return profile + "/tessaly.log"; }
    } alice{"alice", services.Profile("alice", "alice", "alice123", true), {}},
        bob{"bob", services.Profile("bob", "bob", "bob123", true), {}};
    for (Side* s : {&alice, &bob}) {
        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "TESSALY_AUDIO=file",
                                              "TESSALY_WAVE_OUT=" + services.dir + "/" + s->name + "_heard.wav"};
        ASSERT_TRUE(s->program.Start({app, "--app-folder", services.AppFolder(), "--profile", s->profile, "/nosplash"},
                                     services.dir + "/" + s->name + ".out", env));
    }
    for (Side* s : {&alice, &bob}) ASSERT_TRUE(WaitText(s->Log(), "Login state 6", 60000)) << s->name;
    for (Side* s : {&alice, &bob}) ASSERT_TRUE(WaitText(s->Log(), kRegistered, 20000)) << s->name;

    EXPECT_EQ(3, shell::SendDialRequest(alice.profile, "bob"));
    ASSERT_TRUE(WaitText(bob.Log(), kRinging, 20000)) << Slurp(alice.Log());
    ASSERT_TRUE(AnswerFromBar(display, bob.program.pid, bob.Log())) << Slurp(bob.Log());
    ASSERT_TRUE(WaitText(alice.Log(), kAnswered, 15000)) << Slurp(alice.Log());

    // Bob: Hang up, Hold, Send message.
    ASSERT_TRUE(CallPageMenuKeys(display, bob.program.pid, "Down Down Down Return"));
    EXPECT_TRUE(WaitText(bob.Log(), "Create ChatID", 15000)) << "no chat with alice opened";
    Snap(display, bob.program.pid, services.dir + "/bob_call.png");

    // Alice, her window at the screen's right edge: the Keypad item, the last of her page's menu.
    const std::string env = "DISPLAY=" + display + " ";
    {
        int x, y, w, h;
        std::string id;
        ASSERT_TRUE(FrameGeometry(display, alice.program.pid, &x, &y, &w, &h, &id));
        shelltest::Run(env + "xdotool windowmove --sync " + id + " " + std::to_string(1024 - w) + " " + std::to_string(y));
    }
    Snap(display, alice.program.pid, services.dir + "/alice_call.png");
    ASSERT_TRUE(CallPageMenuLastItem(display, alice.program.pid));
    const std::string keypad = shelltest::WaitWindow(display, alice.program.pid, "Keypad", 15000).first;
    ASSERT_FALSE(keypad.empty()) << "no keypad window called Keypad";
    int kx = 0, ky = 0, kw = 0, kh = 0;
    for (int waited = 0, same = 0; waited < 15000 && same < 5; waited += 100) {
        int x = 0, y = 0, w = 0, h = 0;
        WindowGeometry(display, keypad, &x, &y, &w, &h);
        same = w >= 160 && w == kw ? same + 1 : 0;
        kx = x, ky = y, kw = w, kh = h;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GE(kw, 160) << "the keypad never opened out";
    if (e2e::HaveTool("import")) shelltest::Run(env + "import -window root '" + services.dir + "/screen_keypad.png' 2>/dev/null");
    EXPECT_GE(kx, 0);
    EXPECT_GE(ky, 0);
    EXPECT_LE(kx + kw, 1024) << "the keypad stands off the screen's right edge";
    EXPECT_LE(ky + kh, 768);
    // Escape leaves it open: its 1 (the first key, 12 pixels below its top) is still sent after it.
    shelltest::Run(env + "xdotool windowfocus --sync " + keypad + " key Escape");
    shelltest::Run(env + "xdotool mousemove " + std::to_string(kx + (kw - 136) / 2 + 20) + " " + std::to_string(ky + 12 + 20) +
                   " click 1");
    EXPECT_TRUE(WaitText(alice.Log(), "CMEVT_DTMF, -1, 1,", 10000)) << Slurp(alice.Log());

    // Alice hangs up: the keypad goes with the call.
    ASSERT_TRUE(ClickBarButton(display, alice.program.pid, true));
    bool gone = false;
    for (int waited = 0; waited < 15000 && !gone; waited += 100) {
        gone = shelltest::FindWindow(display, alice.program.pid, "Keypad").first.empty();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(gone) << "the keypad outlived its call";
    const std::vector<CallLogEntry> log = WaitCallLog(alice.profile + "/individual/alice/calllog.dat", 1, 15000);
    ASSERT_EQ(1u, log.size()) << Slurp(alice.Log());
    EXPECT_STREQ("Bob", log[0].name);
    for (Side* s : {&alice, &bob}) {
        kill(s->program.pid, SIGTERM);
        EXPECT_EQ(0, s->program.Wait(20000)) << s->name;
    }
    xvfb.Stop();
    services.Stop();
}
