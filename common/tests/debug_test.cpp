// Tests of the trace log: level filter, line length limit, log-file format and the ini levels.
#include "common/debug.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Captured {
    unsigned module;
    std::string text;
};

std::mutex g_captureMutex;
std::vector<Captured> g_captured;

void Capture(unsigned module, const char* text) {
    std::lock_guard<std::mutex> lock(g_captureMutex);
    g_captured.push_back({module, text});
}

std::string TempPath(const char* name) {
    return std::string(::testing::TempDir()) + "tessaly_debug_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

constexpr size_t kStampLength = 23;

// "YYYY/MM/DD hh:mm:ss    "
bool IsStamp(const std::string& s) {
    const char* shape = "dddd/dd/dd dd:dd:dd    ";
    if (s.size() != kStampLength) return false;
    for (size_t i = 0; i < kStampLength; ++i) {
        if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(s[i])) : s[i] != shape[i]) return false;
    }
    return true;
}

void WriteAll(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class CommonTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedEnable_ = debug_enable.load();
        savedAll_ = debug_all.load();
        savedOutput_ = g_debugOutput.load();
        DebugInit();
        debug_enable = 1;
        debug_all = 0;
        g_debugOutput = &Capture;
        g_captured.clear();
    }
    void TearDown() override {
        CloseTraceLog();
        DebugInit();
        debug_enable = savedEnable_;
        debug_all = savedAll_;
        g_debugOutput = savedOutput_;
    }
    int32_t savedEnable_ = 0;
    int32_t savedAll_ = 0;
    DebugOutputFn savedOutput_ = nullptr;
};

TEST_F(CommonTraceTest, FilterByGlobalAndModuleLevel) {
    struct Case {
        int enable;
        int all;
        int cmLevel;  // level of module 3 ("CM")
        unsigned module;
        unsigned level;
        bool written;
    };
    const Case cases[] = {
        {0, 3, 3, MOD_CM, 0, false},      // switch off: nothing, not even level 0
        {1, 0, 0, MOD_CM, 0, true},       // level 0 always passes when on
        {1, 0, 0, MOD_CM, 1, false},
        {1, 0, 0, MOD_SIP, 3, false},
        {1, 3, 0, MOD_SIP, 3, true},      // global level 3 lets everything through
        {1, 3, 0, 20, 3, true},
        {1, 0, 2, MOD_CM, 2, true},       // module level lets its own lines through
        {1, 0, 2, MOD_CM, 3, false},
        {1, 0, 2, MOD_CC, 1, false},      // but not other modules' lines
        {1, 0, 2, MOD_CC, 0, true},
        {1, 1, 2, MOD_CM, 2, true},       // either threshold is enough
        {1, 2, 0, MOD_CM, 2, true},
        {1, -1, 0, MOD_CM, 0, true},      // a negative global level still leaves level 0 to the module
        {1, -1, 0, MOD_CM, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "enable=" << c.enable << " all=" << c.all << " cm=" << c.cmLevel
                                          << " module=" << c.module << " level=" << c.level);
        DebugInit();
        debug_enable = c.enable;
        debug_all = c.all;
        DebugSetModLevel(MOD_CM, c.cmLevel);
        g_captured.clear();
        int result = DebugTrace(c.module, c.level, "line %d", 7);
        ASSERT_EQ(g_captured.size(), c.written ? 1u : 0u);
        if (c.written) {
            EXPECT_EQ(result, 6);
            EXPECT_EQ(g_captured[0].module, c.module);
            EXPECT_EQ(g_captured[0].text, "line 7");
        } else {
            EXPECT_EQ(result, 0);
        }
    }
}

TEST_F(CommonTraceTest, LineOf1022CharactersIsWholeAndLongerLinesAreCut) {
    debug_all = 3;
    for (size_t length : {1021u, 1022u, 1023u, 1024u, 5000u}) {
        SCOPED_TRACE(length);
        std::string line(length, 'x');
        line.back() = 'E';
        g_captured.clear();
        int result = DebugTrace(MOD_SYSTEM, 1, "%s", line.c_str());
        ASSERT_EQ(g_captured.size(), 1u);
        size_t expected = length <= 1022 ? length : 1022;
        EXPECT_EQ(static_cast<size_t>(result), expected);
        EXPECT_EQ(g_captured[0].text, line.substr(0, expected));
    }
}

TEST_F(CommonTraceTest, OutOfRangeModuleOrLevelFormatsNothing) {
    debug_all = 5;  // a global level above every level a line can have passes the filter
    EXPECT_EQ(DebugTrace(256, 1, "never"), 0);
    EXPECT_EQ(DebugTrace(0xFFFFFFFFu, 0, "never"), 0);
    EXPECT_EQ(DebugTrace(MOD_CM, 4, "never"), 0);
    EXPECT_TRUE(g_captured.empty());
}

TEST_F(CommonTraceTest, SetModLevelRejectsBadValues) {
    DebugSetModLevel(MOD_CM, 2);
    DebugSetModLevel(MOD_CM, 4);
    DebugSetModLevel(MOD_CM, -1);
    DebugSetModLevel(300, 1);
    EXPECT_EQ(DebugGetModLevel(MOD_CM), 2u);
    ASSERT_EQ(g_captured.size(), 3u);
    EXPECT_NE(g_captured[0].text.find("ASSERT(lvl>=DBG_NONE && lvl<=DBG_LOW) FAILED!\ncommon/debug #"),
              std::string::npos);
    EXPECT_NE(g_captured[2].text.find("ASSERT(id<MOD_MAX_NUM) FAILED!\ncommon/debug #"), std::string::npos);

    // With tracing off the failed check is silent and the value still not stored.
    debug_enable = 0;
    g_captured.clear();
    DebugSetModLevel(MOD_CC, 9);
    EXPECT_TRUE(g_captured.empty());
    EXPECT_EQ(DebugGetModLevel(MOD_CC), 0u);
}

TEST_F(CommonTraceTest, LogFileLinesCarryStampAndModuleName) {
    std::string path = TempPath("trace.log");
    WriteAll(path, "old content that must go\n");
    ASSERT_TRUE(OpenTraceLog(path.c_str()));
    EXPECT_EQ(g_debugOutput.load(), &WriteTraceToLogFile);
    debug_all = 3;
    DebugTrace(MOD_CM, 1, "call %d up", 4);
    DebugTrace(MOD_SIP, 2, "REGISTER sent");
    DebugTrace(20, 1, "module without a row");
    DebugSetModLevel(MOD_CM, 7);  // failed check: its text ends in a newline
    CloseTraceLog();
    DebugTrace(MOD_CM, 1, "after close");  // dropped, no crash

    // Each line: "YYYY/MM/DD hh:mm:ss" and four blanks, then the module's name and the text.
    std::string text = ReadAll(path);
    const std::string bodies[] = {
        "CM: call 4 up\n",
        "SIP: REGISTER sent\n",
        "module without a row\n",
        "SYSTEM: !---: ASSERT(lvl>=DBG_NONE && lvl<=DBG_LOW) FAILED!\ncommon/debug #",
    };
    size_t pos = 0;
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        ASSERT_LE(pos + kStampLength, text.size());
        EXPECT_TRUE(IsStamp(text.substr(pos, kStampLength))) << text.substr(pos, kStampLength);
        pos += kStampLength;
        ASSERT_EQ(text.compare(pos, body.size(), body), 0) << text.substr(pos);
        pos += body.size();
    }
    // The failed check's own newline leaves an empty line after it.
    while (pos < text.size() && isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
    EXPECT_EQ(text.substr(pos), "\n\n");
    remove(path.c_str());
}

// The log holds names, numbers and addresses: it is the user's alone, also one an older version left open.
TEST_F(CommonTraceTest, LogFileIsPrivate) {
    const mode_t savedMask = umask(022);
    const std::string path = TempPath("private.log");
    remove(path.c_str());
    for (const mode_t before : {0, 0644}) {
        SCOPED_TRACE(before);
        if (before) ASSERT_EQ(chmod(path.c_str(), before), 0);
        ASSERT_TRUE(OpenTraceLog(path.c_str()));
        CloseTraceLog();
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    umask(savedMask);
    remove(path.c_str());
}

TEST_F(CommonTraceTest, LogFileOpenFailureInstallsNothing) {
    g_debugOutput = nullptr;
    EXPECT_FALSE(OpenTraceLog("/nonexistent-folder/x/tessaly.log"));
    EXPECT_EQ(g_debugOutput.load(), nullptr);
    // Something other than a regular file in the log's place is refused at once and left alone.
    const std::string fifo = TempPath("fifo.log"), device = TempPath("null.log");
    remove(fifo.c_str());
    remove(device.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/null", device.c_str()), 0);
    for (const std::string& path : {fifo, device}) {
        EXPECT_FALSE(OpenTraceLog(path.c_str())) << path;
        EXPECT_EQ(g_debugOutput.load(), nullptr);
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_FALSE(S_ISREG(st.st_mode));
        remove(path.c_str());
    }
}

TEST_F(CommonTraceTest, LoadDebugConfigReadsLevelsByModuleName) {
    std::string path = TempPath("usrcfg.ini");
    WriteAll(path,
             "[common]\r\nconfig_manual=1\r\n"
             "[debug]\r\ndebug_enable=1\r\ndebug_all=0\r\nCM=7\r\nQZ=2\r\nSIP=3\r\nfsm=1\r\nADDRBOOK=-1\r\n");
    debug_enable = 0;
    LoadDebugConfig(path.c_str());

    EXPECT_EQ(debug_enable.load(), 1);
    EXPECT_EQ(debug_all.load(), 0);
    EXPECT_EQ(DebugGetModLevel(MOD_CM), 0u);        // 7 is out of range: left at 0
    EXPECT_EQ(DebugGetModLevel(MOD_QZ), 2u);        // "QZ" sets module 5
    EXPECT_EQ(DebugGetModLevel(MOD_SIP), 3u);       // "SIP" sets module 2
    EXPECT_EQ(DebugGetModLevel(MOD_FSM), 1u);       // keys are case-insensitive
    EXPECT_EQ(DebugGetModLevel(MOD_ADDRBOOK), 0u);
    EXPECT_EQ(DebugGetModLevel(MOD_PROFILE), 0u);   // missing key

    // Two failed checks, for CM=7 and ADDRBOOK=-1, at module 0.
    ASSERT_EQ(g_captured.size(), 2u);
    for (const Captured& c : g_captured) {
        EXPECT_EQ(c.module, MOD_SYSTEM);
        EXPECT_EQ(c.text.rfind("!---: ASSERT(lvl>=DBG_NONE && lvl<=DBG_LOW) FAILED!\ncommon/debug #", 0), 0u);
    }
    remove(path.c_str());
}

TEST_F(CommonTraceTest, MissingConfigLeavesTracingOff) {
    debug_enable = 1;
    DebugSetModLevel(MOD_CM, 3);
    LoadDebugConfig(TempPath("absent.ini").c_str());
    EXPECT_EQ(debug_enable.load(), 0);
    EXPECT_EQ(DebugGetModLevel(MOD_CM), 0u);
    DebugTrace(MOD_SYSTEM, 0, "silent");
    EXPECT_TRUE(g_captured.empty());
}

TEST_F(CommonTraceTest, ModuleTableOrderAndLookup) {
    const char* names[] = {"SYSTEM", "FSM", "CM", "CC", "SIP", "QZ", "PROFILE",
                           "BOOTSTRAP", "UPDATE", "PRESENCE", "ADDRBOOK", "MOD_AS", "QGROUP"};
    const unsigned numbers[] = {0, 1, 3, 4, 2, 5, 6, 7, 8, 9, 10, 11, 12};
    size_t i = 0;
    for (const DebugModuleRow* row = g_debugModuleTable; row->name; ++row, ++i) {
        ASSERT_LT(i, std::size(names));
        EXPECT_STREQ(row->name, names[i]);
        EXPECT_EQ(row->module, numbers[i]);
        EXPECT_EQ(row->reserved, 0u);
    }
    EXPECT_EQ(i, std::size(names));
}

}  // namespace
