// Tests of the voice engine trace: sink choice, line forms, level mask, rollover and scrambling.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "voice/trace.h"

namespace {

uint32_t g_now = 0;
uint32_t FakeClock() { return g_now; }

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tessaly_trace_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "trace.txt").string();
    g_now = 1000;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Plain (unscrambled) file output on the test clock.
  static void PlainFileOutput(TraceManager& manager) {
    manager.SetClock(FakeClock);
    manager.SetScramble(0);
    manager.SetMode(kTraceModeFile);
  }

  // Every file opens with the date, the time and a blank line.
  static void ExpectFileHead(const std::vector<std::string>& lines) {
    EXPECT_EQ(lines[0].rfind("Date: ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("Time: ", 0), 0u);
    EXPECT_EQ(lines[2], "");
  }

  std::vector<std::string> Lines() {
    std::ifstream in(path_, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(TraceTest, DefaultModeWritesNothingAndCreatesNoFile) {
  TraceManager manager(path_);
  manager.SetClock(FakeClock);
  EXPECT_EQ(manager.GetMode(), kTraceModeNone);
  EXPECT_EQ(manager.GetLevelMask(), 175);
  EXPECT_EQ(manager.GetScramble(), 1);
  manager.GetSink()->Print(kTraceInfo, "hello %d", 5, -1);
  manager.GetSink()->Print(kTraceApiCall, "VEobj.SonraVE_Init();", -1, -1);
  // A mode other than file output behaves as none.
  manager.SetMode(1);
  manager.GetSink()->Print(kTraceError, "x", -1, -1);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(TraceTest, FileLinesCarryTheLevelPrefixAndTimes) {
  TraceManager manager(path_);
  PlainFileOutput(manager);
  TraceSink* sink = manager.GetSink();
  g_now = 1000;
  sink->Print(kTraceApiCall, "VEobj.SonraVE_GetNofCodecs();", -1, -1);
  g_now = 1030;
  sink->Print(kTraceInfo, "SonraVE_GetNofCodecs()", -1, -1);
  g_now = 1100;
  sink->Print(kTraceWarning, "value %d", 7, -1);
  g_now = 1105;
  sink->Print(kTraceError, "pair %d %d", 3, 4);
  g_now = 1250;
  sink->Print(kTraceApiCall, "VEobj.SonraVE_Terminate();", -1, -1);
  manager.FileSink().Close();

  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 9u);
  ExpectFileHead(lines);
  EXPECT_EQ(lines[3], "Build info: Mar 28 2005 11:10:06 r");
  EXPECT_EQ(lines[4], "APICALL   sleep(0); VEobj.SonraVE_GetNofCodecs();");
  EXPECT_EQ(lines[5], "INFO     (1030 |   30): SonraVE_GetNofCodecs()");
  EXPECT_EQ(lines[6], "WARNING  (1100 |   70): value 7");
  EXPECT_EQ(lines[7], "ERROR    (1105 |    5): pair 3 4");
  EXPECT_EQ(lines[8], "APICALL   sleep(250); VEobj.SonraVE_Terminate();");
}

TEST_F(TraceTest, LevelMaskShutsOutMemoryAndStreamByDefault) {
  TraceManager manager(path_);
  PlainFileOutput(manager);
  manager.GetSink()->Print(kTraceStream, "stream", -1, -1);
  manager.GetSink()->Print(kTraceMemory, "memory", -1, -1);
  manager.GetSink()->Print(kTraceTimer, "timer", -1, -1);
  manager.SetLevelMask(kTraceDefaultMask | kTraceStream);
  manager.GetSink()->Print(kTraceStream, "stream again", -1, -1);
  manager.FileSink().Close();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "TIMER    (1000 |    0): timer");
  EXPECT_EQ(lines[5], "STREAM   (1000 |    0): stream again");
}

TEST_F(TraceTest, LongMessagesAreCutToTheLineLimit) {
  TraceManager manager(path_);
  PlainFileOutput(manager);
  const std::string longText(300, 'x');
  manager.GetSink()->Print(kTraceInfo, longText.c_str(), -1, -1);
  manager.FileSink().Close();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[4].size(), 119u);
  EXPECT_EQ(lines[4].rfind("INFO     (1000 |    0): xxx", 0), 0u);
}

TEST_F(TraceTest, FreshFileWithoutBuildLineAfter200000Lines) {
  TraceManager manager(path_);
  PlainFileOutput(manager);
  TraceSink* sink = manager.GetSink();
  for (int i = 0; i < 200000; ++i) sink->Print(kTraceInfo, "line %d", i, -1);
  {
    std::ifstream in(path_);
    int count = 0;
    std::string line;
    while (std::getline(in, line)) ++count;
    EXPECT_EQ(count, 200000 + 4);
  }
  sink->Print(kTraceInfo, "after rollover", -1, -1);
  manager.FileSink().Close();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  ExpectFileHead(lines);
  EXPECT_EQ(lines[3], "INFO     (1000 |    0): after rollover");
}

TEST_F(TraceTest, OpenFailureEndsFileOutputSilently) {
  TraceManager manager((dir_ / "missing" / "trace.txt").string());
  manager.SetMode(kTraceModeFile);
  for (int i = 0; i < 3; ++i) manager.GetSink()->Print(kTraceError, "lost", -1, -1);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

// The scrambling rule, written out independently of the sink.
std::vector<unsigned char> Expected(const std::string& text, int pos) {
  std::vector<unsigned char> out;
  for (unsigned char c : text) {
    const int8_t x = static_cast<int8_t>(static_cast<unsigned char>(TraceFileSink::Key()[pos]) ^ c);
    if (x <= 31) {
      out.push_back(1);
      out.push_back(static_cast<unsigned char>(127 - x));
    } else if (x == 127) {
      out.push_back(2);
      out.push_back(c);
    } else {
      out.push_back(static_cast<unsigned char>(x));
    }
    pos = (pos + 1) % TraceFileSink::kKeyLength;
  }
  return out;
}

TEST(TraceScramble, MappingCases) {
  const char* key = TraceFileSink::Key();
  struct Case {
    const char* name;
    unsigned char c;
    std::vector<unsigned char> bytes;
  };
  const unsigned char k0 = static_cast<unsigned char>(key[0]);
  const std::vector<Case> cases = {
      {"equal to the key character: x = 0", k0, {1, 127}},
      {"x = 31", static_cast<unsigned char>(k0 ^ 31), {1, 96}},
      {"x = 32 is written as is", static_cast<unsigned char>(k0 ^ 32), {32}},
      {"x = 127 escapes the character", static_cast<unsigned char>(k0 ^ 127), {2, static_cast<unsigned char>(k0 ^ 127)}},
      {"x >= 128 counts as negative", static_cast<unsigned char>(k0 ^ 0x80), {1, 255}},
      {"x = 0xff", static_cast<unsigned char>(k0 ^ 0xff), {1, 128}},
  };
  for (const auto& c : cases) {
    unsigned char out[4];
    int pos = 0;
    const char in = static_cast<char>(c.c);
    const int n = TraceFileSink::Scramble(&in, 1, &pos, out);
    EXPECT_EQ(std::vector<unsigned char>(out, out + n), c.bytes) << c.name;
    EXPECT_EQ(pos, 1) << c.name;
  }
}

TEST_F(TraceTest, ScrambledLinesContinueTheKeyPositionAcrossLines) {
  TraceManager manager(path_);
  manager.SetClock(FakeClock);
  manager.SetMode(kTraceModeFile);  // scrambling on, as the engine starts
  manager.GetSink()->Print(kTraceInfo, "first", -1, -1);
  manager.GetSink()->Print(kTraceInfo, "second", -1, -1);
  manager.FileSink().Close();

  std::ifstream in(path_, std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) pos = all.find('\n', pos) + 1;  // date, time, blank line stay plain
  EXPECT_EQ(all.rfind("Date: ", 0), 0u);

  int keyPos = 0;
  std::vector<unsigned char> expected;
  for (const std::string& line : {std::string("Build info: Mar 28 2005 11:10:06 r"),
                                 std::string("INFO     (1000 |    0): first"),
                                 std::string("INFO     (1000 |    0): second")}) {
    const auto bytes = Expected(line, keyPos);
    keyPos = (keyPos + static_cast<int>(line.size())) % TraceFileSink::kKeyLength;
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    expected.push_back('\n');
  }
  EXPECT_EQ(std::vector<unsigned char>(all.begin() + static_cast<long>(pos), all.end()), expected);
}

TEST(TraceManagerTest, EngineTraceIsTheNullSinkUntilFileModeIsChosen) {
  TraceManager& manager = EngineTraceManager();
  EXPECT_EQ(manager.GetMode(), kTraceModeNone);
  EXPECT_NE(EngineTrace(), nullptr);
  EXPECT_NE(EngineTrace(), static_cast<TraceSink*>(&manager.FileSink()));
}

}  // namespace
