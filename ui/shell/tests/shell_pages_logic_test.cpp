// Logic under the shell's remaining windows: the menu file, the marks, the mixer's selection rules,
// the crash report of a crashing child, and account changes that outlive a restart.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/account.h"
#include "common/appenv.h"
#include "platform/fs.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/crash_report.h"
#include "ui/shell/frame_menus.h"
#include "ui/shell/mixer_control.h"
#include "ui/shell/nav_pages.h"

using namespace shell;

namespace {

// A menu tree as text: "[Title(id)* a b - ]" for popups (* the skin popup), ids for items, "-" separators.
std::string Show(const std::vector<MenuNode>& nodes) {
    std::string s;
    for (const MenuNode& n : nodes) {
        if (!s.empty()) s += ' ';
        if (n.kind == kMenuKindSeparator) s += '-';
        else if (n.kind == kMenuKindItem) s += std::to_string(n.id) + ":" + n.text;
        else s += "[" + n.text + (n.skinPopup ? "*" : "") + (n.children.empty() ? "" : " " + Show(n.children)) + "]";
    }
    return s;
}

}  // namespace

TEST(MenuFile, ParsedIntoPopups) {
    const struct {
        const char* name;
        const char* file;
        const char* tree;
    } cases[] = {
        {"plain", "1,0,File\n2,2919,Login\n4,0,\n2,2922,Exit\n8,0,\n", "[File 2919:Login - 2922:Exit]"},
        {"comments, blanks and CR LF", "  \t// 1,0,Hidden\r\n\r\n   \r\n1,0,  View\r\n2,2923,\tAlways on top\r\n8,0,\r\n",
         "[View 2923:Always on top]"},
        {"skin popup is id 1", "1,0,View\n1,1,Skins\n8,0,\n8,0,\n", "[View [Skins*]]"},
        {"kind in hexadecimal, unknown kinds ignored", "1,0,A\n3,5,odd\n10,6,odd\n2,7,x\n8,0,\n", "[A 7:x]"},
        {"text keeps commas", "1,0,A\n2,9,Hello, world\n8,0,\n", "[A 9:Hello, world]"},
        {"three levels are kept", "1,0,A\n1,0,B\n1,0,C\n2,5,deep\n8,0,\n8,0,\n8,0,\n", "[A [B [C 5:deep]]]"},
        {"a fourth level is left out with its items",
         "1,0,A\n1,0,B\n1,0,C\n1,0,D\n2,6,too deep\n8,0,\n2,7,in C\n8,0,\n8,0,\n2,8,in A\n8,0,\n",
         "[A [B [C 7:in C]] 8:in A]"},
        {"a stray end mark is ignored", "8,0,\n1,0,A\n2,5,x\n8,0,\n8,0,\n1,0,B\n8,0,\n", "[A 5:x] [B]"},
        {"popups open at the end are closed", "1,0,A\n1,0,B\n2,5,x\n", "[A [B 5:x]]"},
        {"lines without numbers are skipped", "garbage\n1,x,bad\n1,0,A\n8,0,\n", "[A]"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.tree, Show(ParseMenuFile(c.file))) << c.name;
}

TEST(MenuFile, LongLinesAreCutAndAMissingFileBuildsNothing) {
    const std::string longText(400, 'x');
    const auto nodes = ParseMenuFile("1,0," + longText + "\n8,0,\n");
    ASSERT_EQ(1u, nodes.size());
    EXPECT_EQ(static_cast<size_t>(kMenuMaxLine) - 4, nodes[0].text.size());
    std::vector<MenuNode> bar{MenuNode{}};
    EXPECT_FALSE(ReadMenuFile("/nonexistent/zymenueng.ini", &bar));
    EXPECT_EQ(1u, bar.size());
}

TEST(MenuMarks, LanguageSortSkinTopAndLogin) {
    MenuMarkState s;
    s.langType = "ENG";
    s.sortType = 1;
    s.skins = {"default", "Blue", "green"};
    s.skinType = "blue";
    s.alwaysOnTop = true;
    s.loginState = 2;
    MenuMarks m = ComputeMenuMarks(s);
    EXPECT_FALSE(m.checked[2927]);
    EXPECT_TRUE(m.checked[2928]);
    EXPECT_TRUE(m.checked[2924]);
    EXPECT_FALSE(m.checked[2925]);
    EXPECT_TRUE(m.checked[2923]);
    EXPECT_TRUE(m.loginCancels);
    int checkedSkins = 0;
    for (int id = 3014; id <= 3045; ++id) checkedSkins += m.checked.count(id) && m.checked[id];
    EXPECT_EQ(1, checkedSkins);
    EXPECT_TRUE(m.checked[3015]);

    s.langType = "chs";
    s.sortType = 2;
    s.skinType = "missing";
    s.alwaysOnTop = false;
    s.loginState = 1;
    m = ComputeMenuMarks(s);
    EXPECT_TRUE(m.checked[2927]);
    EXPECT_TRUE(m.checked[2925]);
    EXPECT_FALSE(m.checked[2923]);
    EXPECT_FALSE(m.loginCancels);
    for (int id = 3014; id <= 3045; ++id) EXPECT_FALSE(m.checked[id]) << id;
}

// ---------------------------------------------------------------------------------------------
namespace {

// A mixer of the tests: sources with their values, a speaker mute, and the count of writes.
class TestMixer : public MixerDevice {
public:
    int devices = 1;
    bool speaker = true;
    int speakerMute = 0;
    uint32_t type = kSelectorTypeMux;
    std::vector<MixerSource> sources;
    std::vector<int> values;
    int DeviceCount() override { return devices; }
    bool Open() override { return true; }
    void Close() override {}
    bool HasSpeakerMute() override { return speaker; }
    bool GetSpeakerMute(int* v) override {
        *v = speakerMute;
        return speaker;
    }
    bool SetSpeakerMute(int v) override {
        speakerMute = v;
        return speaker;
    }
    bool GetSelector(uint32_t* t, std::vector<MixerSource>* s) override {
        *t = type;
        *s = sources;
        return true;
    }
    bool GetSelectorValues(std::vector<int>* v) override {
        *v = values;
        return true;
    }
    bool SetSelectorValues(const std::vector<int>& v) override {
        values = v;
        return true;
    }
};

}  // namespace

TEST(Mixer, SelectionRulesOfBothSelectorKinds) {
    const struct {
        const char* name;
        uint32_t type;
        std::vector<int> before;
        int mode;
        std::vector<int> after;
    } cases[] = {
        // Sources: line, microphone, cd. The other source is the first (the microphone is not first).
        {"mux select mic clears the rest", kSelectorTypeMux, {1, 0, 0}, 1, {0, 1, 0}},
        {"mux mode 2 moves to the other", kSelectorTypeMux, {0, 1, 0}, 2, {1, 0, 0}},
        {"mux mode 0 cannot leave it without a source", kSelectorTypeMux, {0, 1, 0}, 0, {0, 1, 0}},
        {"mixer mode 0 keeps the others", kSelectorTypeMixer, {1, 1, 1}, 0, {1, 0, 1}},
        {"mixer mode 1 adds the mic", kSelectorTypeMixer, {0, 0, 1}, 1, {0, 1, 1}},
        {"mixer mode 2 adds the other", kSelectorTypeMixer, {0, 1, 0}, 2, {1, 1, 0}},
    };
    for (const auto& c : cases) {
        auto dev = std::make_unique<TestMixer>();
        TestMixer* t = dev.get();
        t->type = c.type;
        t->sources = {{"Line", 0}, {"Mic", kComponentMicrophone}, {"CD", 0}};
        t->values = c.before;
        CMicrophoneMixer mixer(std::move(dev));
        ASSERT_EQ(1, mixer.OpenMicrophoneMixer()) << c.name;
        EXPECT_EQ(1, mixer.m_nMicIndex);
        EXPECT_EQ(0, mixer.m_nOtherIndex);
        const bool refused = c.type == kSelectorTypeMux && c.mode == 0;
        EXPECT_EQ(refused ? 0 : 1, mixer.SetMicrophone(c.mode)) << c.name;
        EXPECT_EQ(c.after, t->values) << c.name;
    }
}

TEST(Mixer, FindingTheMicrophoneAndTheNotFoundPath) {
    {  // Found by name, first: the other source is the last.
        auto dev = std::make_unique<TestMixer>();
        dev->sources = {{"Microphone", 0}, {"Line", 0}, {"CD", 0}};
        dev->values = {1, 0, 0};
        CMicrophoneMixer mixer(std::move(dev));
        EXPECT_EQ(1, mixer.OpenMicrophoneMixer());
        EXPECT_EQ(0, mixer.m_nMicIndex);
        EXPECT_EQ(2, mixer.m_nOtherIndex);
    }
    // No microphone, or no speaker mute: every call answers 0 and changes nothing, the speaker's too.
    for (const bool speaker : {true, false}) {
        auto dev = std::make_unique<TestMixer>();
        TestMixer* t = dev.get();
        dev->speaker = speaker;
        dev->sources = speaker ? std::vector<MixerSource>{{"Line", 0}, {"mic", 0}}
                               : std::vector<MixerSource>{{"Line", 0}, {"Mic", kComponentMicrophone}};
        dev->values = {1, 0};
        CMicrophoneMixer mixer(std::move(dev));
        EXPECT_EQ(0, mixer.OpenMicrophoneMixer()) << speaker;
        int v = -1;
        EXPECT_EQ(0, mixer.GetMicrophoneSelected(&v));
        EXPECT_EQ(0, mixer.SetMicrophone(1));
        EXPECT_EQ((std::vector<int>{1, 0}), t->values);
        EXPECT_EQ(0, mixer.SetSpeakerMute(1)) << speaker;
        EXPECT_EQ(0, mixer.GetSpeakerMute(&v)) << speaker;
        EXPECT_EQ(0, t->speakerMute);
    }
    {  // No mixer device at all, and no device object.
        auto dev = std::make_unique<TestMixer>();
        dev->devices = 0;
        CMicrophoneMixer mixer(std::move(dev));
        EXPECT_EQ(0, mixer.OpenMicrophoneMixer());
        EXPECT_FALSE(mixer.m_bOpen);
        int v;
        EXPECT_EQ(0, mixer.GetSpeakerMute(&v));
        CMicrophoneMixer none;
        EXPECT_EQ(0, none.OpenMicrophoneMixer());
        EXPECT_EQ(0, none.SetSpeakerMute(1));
    }
}

// ---------------------------------------------------------------------------------------------
TEST(CrashReport, StackDumpLinesAndDescriptions) {
    uint8_t bytes[20];
    for (int i = 0; i < 20; ++i) bytes[i] = static_cast<uint8_t>('A' + i);
    bytes[4] = 0x01;
    CrashWriter w(-1);
    WriteStackDump(w, 0x1000, bytes, 20);
    const std::string text(w.Text(), w.Size());
    EXPECT_EQ("0x00001000: 44434241 48474601 4c4b4a49 504f4e4d ABCD.FGHIJKLMNOP\r\n"
              "0x00001010: 54535251                            QRST\r\n",
              text);
    uint32_t code = 0;
    EXPECT_STREQ("an Access Violation", CrashDescription(SIGSEGV, SEGV_MAPERR, &code));
    EXPECT_EQ(0xC0000005u, code);
    EXPECT_STREQ("an Integer Divide by Zero", CrashDescription(SIGFPE, FPE_INTDIV, &code));
    EXPECT_EQ(0xC0000094u, code);
    EXPECT_STREQ("an Unknown exception type", CrashDescription(SIGABRT, 0, &code));
    CrashWriter big(-1);
    for (int i = 0; i < 3000; ++i) big.Str("abc");
    EXPECT_LE(big.Size(), 8192u);  // flushed above 7168
}

__attribute__((noinline)) void CrashHere(volatile int* p) { *p = 7; }

TEST(CrashReport, ACrashingChildLeavesTheReportAndTheDumpAndStartsTheReportProgram) {
    char pattern[] = "/tmp/tessaly_crash_XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string marker = dir + "/reported";
    const std::string script = dir + "/CrashReport";
    {
        std::ofstream s(script);
        s << "#!/bin/sh\necho \"$1\" > " << marker << ".tmp && mv " << marker << ".tmp " << marker << "\n";
    }
    chmod(script.c_str(), 0755);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstallCrashReport(dir, "/opt/tessaly/tessaly.bin", script);
        CrashHere(reinterpret_cast<volatile int*>(0x10));
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));  // the crash stays visible to the system
    EXPECT_EQ(SIGSEGV, WTERMSIG(status));
    std::string report;
    ASSERT_TRUE(plat::ReadFile(dir + "/ERRORLOG.TXT", &report));
    EXPECT_EQ(0u, report.find("tessaly caused an Access Violation (0xc0000005) \r\nin module ")) << report.substr(0, 200);
    EXPECT_NE(std::string::npos, report.find("Exception handler called in ExceptionAttacher - AfxWinMain.\r\n"));
    EXPECT_NE(std::string::npos, report.find("Write to location 00000010 caused an access violation.\r\n"));
    EXPECT_NE(std::string::npos, report.find("\r\nContext:\r\nRDI:    0x"));
    EXPECT_NE(std::string::npos, report.find("Bytes at CS:EIP:\r\n"));
    EXPECT_NE(std::string::npos, report.find("\r\n\r\nStack:\r\n0x"));
    EXPECT_NE(std::string::npos, report.find(" MBytes paging file free.\r\n"));
    const size_t space = report.find(" MBytes user address space.\r\n");
    ASSERT_NE(std::string::npos, space);
    EXPECT_NE(std::string::npos, report.find(" MBytes user address space free.\r\n", space));
    EXPECT_EQ(std::string::npos, report.find("Call stack:"));  // the call chain is the dump's
    EXPECT_NE(std::string::npos, report.find("Module 1\r\n"));
    // The file size is left-aligned in ten places before the file time.
    const size_t fileSize = report.find("File Size:  ");
    ASSERT_NE(std::string::npos, fileSize);
    EXPECT_EQ(fileSize + 12 + 10, report.find("  File Time:  ", fileSize)) << report.substr(fileSize, 80);
    EXPECT_NE(std::string::npos, report.find("libc.so"));
    // The program's own module carries its version block; the others are read from their files.
    EXPECT_NE(std::string::npos, report.find("   Product:    Tessaly\r\n   FileDesc:   Tessaly communicator\r\n"
                                             "   FileVer:    0.9.6.0\r\n   ProdVer:    0.9.6.0\r\n"));
    // The module list, whole, then the closing line end the report.
    const size_t lastModule = report.rfind("\r\nModule ");
    ASSERT_NE(std::string::npos, lastModule);
    EXPECT_NE(std::string::npos, report.find("   ProdVer:    ", lastModule));
    const std::string end = "\r\n\r\n===== [end of ERRORLOG.TXT] =====\r\n";
    ASSERT_GE(report.size(), end.size());
    EXPECT_EQ(end, report.substr(report.size() - end.size()));
    // Beside it the debugger's dump: the frames by module and offset, the stack words, the mappings.
    std::string dump;
    ASSERT_TRUE(plat::ReadFile(dir + "/CRASH.DMP", &dump));
    EXPECT_EQ(0u, dump.find("Tessaly crash dump 1\nprogram /opt/tessaly/tessaly.bin\nsignal 11\npc 0x")) << dump.substr(0, 200);
    const size_t frames = dump.find("\n\nframes\n0x"), stack = dump.find("\n\nstack\n0x"), maps = dump.find("\n\nmaps\n");
    ASSERT_NE(std::string::npos, frames);
    ASSERT_NE(std::string::npos, stack);
    ASSERT_NE(std::string::npos, maps);
    EXPECT_LT(frames, stack);
    EXPECT_LT(stack, maps);
    EXPECT_NE(std::string::npos, dump.find("shell_pages_logic_test +0x", frames)) << dump.substr(frames, 600);
    EXPECT_NE(std::string::npos, dump.find("[stack]", maps));
    // The report program was started with the program's file name; it is not waited for.
    std::string arg;
    for (int i = 0; i < 500 && !plat::ReadFile(marker, &arg); ++i) usleep(10000);
    EXPECT_EQ("tessaly.bin\n", arg);
}

TEST(CrashReport, NoReportProgramAndAnAbort) {
    char pattern[] = "/tmp/tessaly_crash_XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstallCrashReport(dir, "/opt/tessaly/tessaly", "");
        abort();
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGABRT, WTERMSIG(status));
    std::string report;
    ASSERT_TRUE(plat::ReadFile(dir + "/ERRORLOG.TXT", &report));
    EXPECT_EQ(0u, report.find("tessaly caused an Unknown exception type (0x00000000)"));
    EXPECT_EQ(std::string::npos, report.find("access violation"));
    EXPECT_NE(std::string::npos, report.find("\r\nModule 1\r\n")) << "written to its end";
    const std::string end = "\r\n\r\n===== [end of ERRORLOG.TXT] =====\r\n";
    EXPECT_EQ(report.size() - end.size(), report.rfind(end));
}

// Every crash signal ends the process by its default action after the report, a breakpoint too: returning
// from its handler would carry on after the int3.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((noinline)) void Breakpoint() { asm volatile("int3"); }
__attribute__((noinline)) void IllegalInstruction() { asm volatile("ud2"); }
__attribute__((noinline)) int DivideByZero() {
    volatile int zero = 0;
    return 7 / zero;
}

TEST(CrashReport, EachCrashSignalEndsTheProcessAfterItsReport) {
    const struct {
        void (*crash)();
        int signal;
        const char* head;
    } cases[] = {
        {[] { Breakpoint(); }, SIGTRAP, "tessaly caused a Breakpoint (0x80000003) \r\nin module "},
        {[] { IllegalInstruction(); }, SIGILL, "tessaly caused an Illegal Instruction (0xc000001d) \r\nin module "},
        {[] { (void)DivideByZero(); }, SIGFPE, "tessaly caused an Integer Divide by Zero (0xc0000094) \r\nin module "},
    };
    for (const auto& c : cases) {
        char pattern[] = "/tmp/tessaly_crash_XXXXXX";
        const std::string dir = mkdtemp(pattern);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            InstallCrashReport(dir, "/opt/tessaly/tessaly", "");
            c.crash();
            _exit(0);  // the program went on after the report
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFSIGNALED(status)) << c.head << " exit status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(c.signal, WTERMSIG(status));
        }
        std::string report;
        ASSERT_TRUE(plat::ReadFile(dir + "/ERRORLOG.TXT", &report));
        EXPECT_EQ(0u, report.find(c.head)) << report.substr(0, 120);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
}
#endif

// The report's times are the local time of each instant, across a change of daylight-saving time.
TEST(CrashReport, TimesAreTheLocalTimeOfEachInstant) {
    const char* before = std::getenv("TZ");
    const std::string saved = before ? before : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    TakeCrashTimeZone();
    const struct {
        time_t utc;
        const char* local;
    } cases[] = {
        {1610712000, "1/15/2021 13:00:00"},   // winter
        {1626350400, "7/15/2021 14:00:00"},   // summer
        {1616893198, "3/28/2021 01:59:58"},   // the last seconds before the clocks go forward
        {1616893200, "3/28/2021 03:00:00"},
        {1635641998, "10/31/2021 02:59:58"},  // and back
        {1635642000, "10/31/2021 02:00:00"},
    };
    for (const auto& c : cases) {
        CrashWriter w(-1);
        WriteCrashTime(w, c.utc);
        EXPECT_EQ(c.local, std::string(w.Text(), w.Size())) << c.utc;
    }
    if (before) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    TakeCrashTimeZone();
}

// A FIFO where the report belongs: the dying program writes nothing there and still ends.
TEST(CrashReport, AFifoInTheReportsPlaceDoesNotHoldTheCrash) {
    char pattern[] = "/tmp/tessaly_crash_XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string fifo = dir + "/ERRORLOG.TXT";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstallCrashReport(dir, "/opt/tessaly/tessaly", "");
        abort();
    }
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 2000 && !ended; ++i) {  // up to 20 s
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!ended) usleep(10000);
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended) << "the crash waits on the FIFO";
    EXPECT_TRUE(WIFSIGNALED(status));
    struct stat st {};
    ASSERT_EQ(0, lstat(fifo.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// ---------------------------------------------------------------------------------------------
TEST(Accounts, AddEditDeleteOutliveARestart) {
    char pattern[] = "/tmp/tessaly_accounts_XXXXXX";
    const std::string dir = mkdtemp(pattern);
    plat::SetBaseFolder(dir);
    g_configManual = 1;
    Account_LoadAll();
    AccountValues sip{"alice", "pw1", "Alice", "proxy.example", 5070, false};
    AccountValues svc{"alice", "pw2", "", "10.0.0.1", 9999, false};
    EXPECT_EQ(0, CheckAccountValues(sip, ACCOUNT_TYPE_SIP, true, 1));
    ASSERT_TRUE(AddAccount(ACCOUNT_TYPE_SIP, sip));
    ASSERT_TRUE(AddAccount(ACCOUNT_TYPE_SERVICE, svc));  // same name, other type
    EXPECT_EQ(2, CheckAccountValues(sip, ACCOUNT_TYPE_SIP, true, 1));
    EXPECT_EQ(0, CheckAccountValues(sip, ACCOUNT_TYPE_SIP, false, 1));  // editing: no duplicate
    EXPECT_FALSE(AddAccount(ACCOUNT_TYPE_SIP, sip));
    // The list shows the last listed account first.
    auto rows = AccountRows();
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(ACCOUNT_TYPE_SIP, rows[0].type);
    EXPECT_EQ(ACCOUNT_TYPE_SERVICE, rows[1].type);

    sip.password = "pw9";
    sip.alias = "Alice B";
    sip.port = 5080;
    ASSERT_TRUE(UpdateAccount(ACCOUNT_TYPE_SIP, sip));
    ASSERT_TRUE(DeleteAccount("alice", ACCOUNT_TYPE_SERVICE));
    EXPECT_FALSE(DeleteAccount("alice", ACCOUNT_TYPE_SERVICE));

    Account_SaveAll();  // the end of the run
    EXPECT_EQ(nullptr, g_accountList);
    Account_LoadAll();  // the next run
    Account* a = Account_Find("alice", ACCOUNT_TYPE_SIP);
    ASSERT_NE(nullptr, a);
    EXPECT_STREQ("pw9", a->password);
    EXPECT_STREQ("Alice B", a->alias);
    EXPECT_EQ(5080, presence_setting_get_int(&a->settings, "port", 0));
    char server[64];
    presence_setting_get_string(&a->settings, "server", "", server, sizeof server);
    EXPECT_STREQ("proxy.example", server);
    EXPECT_EQ(nullptr, Account_Find("alice", ACCOUNT_TYPE_SERVICE));
    Account_SaveAll();
    g_configManual = 0;
}

TEST(Accounts, IncompleteValues) {
    const struct {
        AccountValues v;
        int minPort;
        int want;
    } cases[] = {
        {{"u", "p", "", "s", 1, false}, 0, 0},
        {{"", "p", "", "s", 1, false}, 0, 1},
        {{"u", "", "", "s", 1, false}, 0, 1},
        {{"u", "p", "", "", 1, false}, 0, 1},
        {{"u", "p", "", " ", 1, false}, 0, 0},  // taken as typed: a blank is not an empty field
        {{"u", "p", "", "s", 0, false}, 0, 1},
        // The port is read before the rest is checked: a bad port has its own message even when more is missing.
        {{"u", "p", "", "s", 65536, false}, 1, 4},
        {{"u", "p", "", "s", 65536, false}, 0, 4},
        {{"u", "p", "", "s", 0, false}, 1, 4},
        {{"", "p", "", "s", -1, false}, 0, 4},
        {{"u", "p", "", "s", 65535, false}, 1, 0},
        {{"u", "p", "", "s", 0, false, false}, 0, 3},
        {{"", "", "", "", 0, false, false}, 1, 3},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, CheckAccountValues(c.v, ACCOUNT_TYPE_SIP, false, c.minPort));
}

// ---------------------------------------------------------------------------------------------
TEST(StartPage, TextsAndTheModeTable) {
    // No language file: the built-in texts; an empty version format leaves the update link empty.
    EXPECT_EQ("No Missed Call", MissedCallText(0));
    EXPECT_EQ("2 Missed Call", MissedCallText(2));
    EXPECT_EQ("No Contact Online", OnlineContactText(0));
    EXPECT_EQ("1 Contact Online", OnlineContactText(1));
    EXPECT_EQ("2 Contacts Online", OnlineContactText(2));
    EXPECT_TRUE(UpdateVersionText(1, 2, 3).isEmpty());

    const NavigateVisibility out = NavigateModeTable(0, true);
    EXPECT_EQ((std::vector<int>{NAV_LOGIN}), out.shown);
    EXPECT_EQ(11u, out.hidden.size());
    const NavigateVisibility in = NavigateModeTable(1, false), inUpdate = NavigateModeTable(1, true);
    EXPECT_EQ(8u, in.shown.size());
    EXPECT_EQ(10u, inUpdate.shown.size());
    EXPECT_EQ((std::vector<int>{NAV_LOGIN, NAV_LOGINING}), in.hidden);
    EXPECT_EQ((std::vector<int>{NAV_LOGINING}), NavigateModeTable(2, false).shown);
    EXPECT_EQ(7u, NavigateModeTable(3, false).shown.size());
    EXPECT_TRUE(NavigateModeTable(4, true).shown.empty() && NavigateModeTable(-1, true).hidden.empty());
}

TEST(ServicePage, LocalFirstRemoteOnceAndAFallBackThatCannotLoop) {
    ServicePageNavigator nav;
    std::vector<std::string> log;
    nav.local = QUrl("file:///skin/service.htm");
    nav.remote = QUrl("http://service.example/");
    nav.navigate = [&](const QUrl& u) { log.push_back(u.toString().toStdString()); };
    nav.startTimer = [&] { log.push_back("timer"); };
    nav.Init();
    nav.DownloadComplete();
    nav.Timer();
    nav.NavigateError(nav.remote);  // the remote page fails: back to the local one
    nav.DownloadComplete();         // not the first load: no remote again
    nav.NavigateError(nav.local);   // the local page itself fails: no endless reloading
    EXPECT_EQ((std::vector<std::string>{"file:///skin/service.htm", "timer", "http://service.example/",
                                        "file:///skin/service.htm"}),
              log);
    ServicePageNavigator none;
    none.local = nav.local;
    none.navigate = nav.navigate;
    log.clear();
    none.Timer();  // no service address: the local page stays
    EXPECT_TRUE(log.empty());
    // A skin without its local page: the failed first load still leads on to the service's page, once.
    ServicePageNavigator missing;
    missing.local = nav.local;
    missing.remote = nav.remote;
    missing.navigate = nav.navigate;
    missing.startTimer = nav.startTimer;
    log.clear();
    missing.Init();
    missing.Loaded(missing.local, false);
    missing.Timer();
    missing.Loaded(missing.remote, false);  // the service's page fails too: back to the local page
    missing.Loaded(missing.local, false);   // which fails again: nothing more
    EXPECT_EQ((std::vector<std::string>{"file:///skin/service.htm", "timer", "http://service.example/",
                                        "file:///skin/service.htm"}),
              log);
}
