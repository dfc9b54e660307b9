// Sound-card stream on the manual wave device and a test clock: priming, the playout queue's adaptation, record steps.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/wave.h"
#include "voice/soundcard.h"
#include "voice/tests_engine/trace_capture.h"

namespace {

class SoundCard : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetAudioBackend(plat::AudioBackend::Manual);
    plat::ManualWave::ResetFaults();
  }
  void TearDown() override {
    plat::ManualWave::ResetFaults();
    plat::SetAudioBackend(plat::AudioBackend::Default);
  }
  // Opens playout and lets the sound-card thread prime it; returns once the priming wake has also run
  // its playout steps (the hand-shake comes before them).
  static void StartPlayout(SndCardStream& s) {
    const uint32_t before = s.PlaySteps();
    ASSERT_EQ(0, s.initPlayback());
    ASSERT_TRUE(s.StartThread());
    ASSERT_EQ(0, s.start_play());
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (s.PlaySteps() < before + 2 && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
    ASSERT_EQ(before + 2, s.PlaySteps());
  }
  static int Step(SndCardStream& s) {
    std::lock_guard<plat::RecursiveMutex> lock(s.Lock());
    return s.PlayProc();
  }
  // Plays everything queued: the card runs dry.
  static void Drain() { plat::ManualWave::Playout(48000); }
};

// The priming wake queues three blocks of silence and, the last playout step being long past, runs two
// steps at once: playout starts with 50 ms queued and its target stays where it started.
TEST_F(SoundCard, PrimingWakeQueuesFiftyMillisecondsAndKeepsTheTarget) {
  voicetest::TraceCapture capture;
  plat::TestClock clock(5000);
  SndCardStream s;
  StartPlayout(s);
  EXPECT_TRUE(s.Playing());
  EXPECT_EQ(50, s.msecleft());
  EXPECT_EQ(5, s.PlayInterval());
  EXPECT_EQ(1702, s.WaitCounter());
  // A card that plays as it is fed, one step per 10 ms played: the queue holds, the target stays.
  std::vector<int16_t> played;
  for (int i = 0; i < 100; ++i) {
    plat::ManualWave::Playout(480, &played);
    ASSERT_EQ(0, Step(s));
    ASSERT_EQ(50, s.msecleft()) << i;
  }
  for (int16_t v : played) ASSERT_EQ(0, v);  // no mixer: silence throughout
  EXPECT_EQ(80, s.BufferSize());
  EXPECT_EQ(25, s.MinBuffer());
  EXPECT_EQ(0u, s.Underruns());
  EXPECT_EQ(std::string::npos, capture.Text().find("Playout status: er<minBuffer"));
}

// A restart after a stop finds the previous call's last step long past as well.
TEST_F(SoundCard, EveryPlayoutStartRunsTheFirstStepsAtOnce) {
  plat::TestClock clock(5000);
  SndCardStream s;
  StartPlayout(s);
  ASSERT_EQ(0, s.stop_play());
  clock.advance(1000);
  StartPlayout(s);
  EXPECT_EQ(50, s.msecleft());
  s.shutDown();
}

TEST_F(SoundCard, RunningDryRaisesTheQueueStepByStep) {
  plat::TestClock clock(5000);
  SndCardStream s;
  StartPlayout(s);
  struct Expect {
    int buffersize, minBuffer, waitCounter;
  };
  // Once waitCounter has passed 30: +15/+10, then +15/+20, then +30/+25 with the count cleared
  // (minBuffer held at 65).
  const Expect ladder[] = {{95, 35, 50}, {110, 55, 50}, {140, 65, 0}};
  s.SetPlayoutControl(80, 25, 30);
  for (const Expect& e : ladder) {
    Drain();
    ASSERT_EQ(0, Step(s));
    EXPECT_EQ(e.buffersize, s.BufferSize());
    EXPECT_EQ(e.minBuffer, s.MinBuffer());
    EXPECT_EQ(e.waitCounter, s.WaitCounter());
  }
  EXPECT_EQ(3u, s.Underruns());
  // Dry again before waitCounter passes 30: nothing moves.
  Drain();
  ASSERT_EQ(0, Step(s));
  EXPECT_EQ(140, s.BufferSize());
  // The queue target never passes 150.
  s.SetPlayoutControl(148, 25, 31);
  Drain();
  ASSERT_EQ(0, Step(s));
  EXPECT_EQ(150, s.BufferSize());
}

TEST_F(SoundCard, CalmPlayoutShrinksTheQueueSlowly) {
  plat::TestClock clock(5000);
  SndCardStream s;
  StartPlayout(s);
  // A full queue: the steps write nothing and wake every 2 ms.
  for (int i = 0; i < 20; ++i) Step(s);
  s.SetPlayoutControl(80, 25, 2000);
  ASSERT_EQ(0, Step(s));
  EXPECT_EQ(79, s.BufferSize());
  EXPECT_EQ(1991, s.WaitCounter());
  for (int i = 0; i < 9; ++i) Step(s);
  EXPECT_EQ(79, s.BufferSize());
  Step(s);
  EXPECT_EQ(78, s.BufferSize());
}

TEST_F(SoundCard, ShortCaptureBlockIsUsedOnlyAtItsFifthSighting) {
  SndCardStream s;
  ASSERT_EQ(0, s.initRecord());
  ASSERT_EQ(0, s.start_rec());
  std::vector<int16_t> samples(480, 100);
  ASSERT_EQ(250u, plat::ManualWave::Capture(samples.data(), 250));
  ASSERT_TRUE(plat::ManualWave::CompleteCurrentCaptureHeader());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(0, s.RecordProc()) << i;
  EXPECT_EQ(500, s.RecordProc());
  EXPECT_EQ(1u, s.ShortBlocksDropped());
  ASSERT_EQ(480u, plat::ManualWave::Capture(samples.data(), 480));
  EXPECT_EQ(960, s.RecordProc());
  EXPECT_EQ(0, s.RecordProc());  // nothing more recorded yet
  EXPECT_EQ(0, s.stop_recording());
  EXPECT_FALSE(plat::ManualWave::InputOpen());
}

TEST_F(SoundCard, FailedHandBacksGrowThePutBackDelayThenRaiseTheFlag) {
  SndCardStream s;
  ASSERT_EQ(0, s.initRecord());
  ASSERT_EQ(0, s.start_rec());
  std::vector<int16_t> block(480, 7);
  for (int i = 0; i < 4; ++i) {
    plat::ManualWave::Capture(block.data(), 480);
    ASSERT_EQ(960, s.RecordProc());
  }
  EXPECT_EQ(4, s.PutBackDelay());
  plat::ManualWave::FailNext("waveInAddBuffer", MMSYSERR_NOMEM, 1000);
  plat::ManualWave::Capture(block.data(), 480);
  ASSERT_EQ(960, s.RecordProc());
  EXPECT_EQ(5, s.PutBackDelay());
  EXPECT_FALSE(s.TakeRecordErrorFlag());
  for (int i = 0; i < 60; ++i) {
    plat::ManualWave::Capture(block.data(), 480);
    s.RecordProc();
  }
  EXPECT_EQ(SndCardStream::kMaxPutBackDelay, s.PutBackDelay());
  EXPECT_TRUE(s.TakeRecordErrorFlag());
  EXPECT_FALSE(s.TakeRecordErrorFlag());
}

// Cards whose position counters wrap, at 2^32 or below it: the playout queue and the capture delay
// keep their true values across several wraps.
TEST_F(SoundCard, PositionCountersWrappingAreFollowed) {
  struct Case {
    int bits;
    uint64_t offset;  // added to the capture position, to reach a wrap soon
  };
  const Case cases[] = {{16, 0}, {17, 0}, {24, (1u << 24) - 30000}, {32, 0xFFFFFFFFull - 30000}};
  for (const Case& c : cases) {
    plat::ManualWave::ResetFaults();
    plat::ManualWave::SetPositionBits(c.bits, c.bits);
    // The playout position starts at 0 with the device, as the stream expects; it reaches its wrap
    // only with fewer bits.
    plat::ManualWave::SetPositionOffset(c.offset, 0);
    plat::TestClock clock(5000);
    {
      SndCardStream s;
      StartPlayout(s);
      ASSERT_EQ(50, s.msecleft());
      // 3 s of playout, 10 ms at a time, against one block written per step.
      for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(0, Step(s));
        plat::ManualWave::Playout(480);
        ASSERT_EQ(50, s.msecleft()) << c.bits << " bits, step " << i;
      }
      s.shutDown();
    }
    {
      // Capture without the sound-card thread: the test takes every block itself.
      SndCardStream s;
      ASSERT_EQ(0, s.initRecord());
      ASSERT_EQ(0, s.start_rec());
      std::vector<int16_t> block(480, 3);
      for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(480u, plat::ManualWave::Capture(block.data(), 480));
        ASSERT_EQ(10, s.RecordDelay()) << c.bits << " bits, block " << i;
        ASSERT_EQ(960, s.RecordProc());
        ASSERT_EQ(0, s.RecordDelay()) << c.bits << " bits, block " << i;
      }
    }
  }
}

TEST_F(SoundCard, LateWakesRestartTheTimer) {
  plat::TestClock clock(5000);
  SndCardStream s;
  ASSERT_EQ(0, s.initRecord());
  ASSERT_EQ(0, s.start_rec());
  s.Wake();
  clock.advance(2);
  s.Wake();
  EXPECT_EQ(0, s.LateWakes());
  for (int i = 1; i <= 5; ++i) {
    clock.advance(8);
    s.Wake();
  }
  EXPECT_EQ(0u, s.TimerRestarts());
  clock.advance(8);
  s.Wake();
  EXPECT_EQ(1u, s.TimerRestarts());
  EXPECT_EQ(-10, s.LateWakes());
  for (int i = 0; i < 15; ++i) {
    clock.advance(9);
    s.Wake();
  }
  EXPECT_EQ(1u, s.TimerRestarts());
  clock.advance(9);
  s.Wake();
  EXPECT_EQ(2u, s.TimerRestarts());
  // A wake in time starts the count again.
  clock.advance(2);
  s.Wake();
  EXPECT_EQ(0, s.LateWakes());
  s.shutDown();
}

TEST_F(SoundCard, FiveSecondsOfAudioTakingTooLongMarksASlowCard) {
  for (const int stepMs : {10, 12}) {
    plat::TestClock clock(5000);
    SndCardStream s;
    ASSERT_EQ(0, s.initRecord());
    ASSERT_EQ(0, s.start_rec());
    std::vector<int16_t> block(480, 1);
    s.Wake();
    for (int i = 0; i < 510; ++i) {
      plat::ManualWave::Capture(block.data(), 480);
      clock.advance(static_cast<uint64_t>(stepMs));
      s.Wake();
    }
    EXPECT_EQ(stepMs == 12, s.TakeSlowFlag()) << stepMs;
    s.shutDown();
    s.stop_recording();
  }
}

TEST_F(SoundCard, VolumesMapOntoTheMixer) {
  SndCardStream s;
  ASSERT_EQ(0, s.SetSpeakerVolume(255));
  EXPECT_EQ(65535u, plat::GetSpeakerVolume());
  EXPECT_EQ(255, s.GetSpeakerVolume());
  EXPECT_EQ(-1, s.SetSpeakerVolume(256));
  ASSERT_EQ(0, s.setMicLevel(128));
  EXPECT_EQ(128u * 256u, plat::GetMicVolume());
  EXPECT_EQ(128, s.getMicLevel());
  s.SetSpeakerVolume(255);
  s.setMicLevel(128);
}

// Opening names the device, the wave mapper's -1 included, and the mapper's id; stopping traces every
// header it could not unprepare, whatever the error.
TEST_F(SoundCard, DeviceLinesAndFailedUnpreparesAreTraced) {
  voicetest::TraceCapture capture;
  {
    SndCardStream s;
    ASSERT_EQ(0, s.initRecord());
    ASSERT_EQ(0, s.start_rec());
    plat::ManualWave::FailNext("waveInUnprepareHeader", MMSYSERR_INVALPARAM, 2);
    EXPECT_EQ(0, s.stop_recording());
    ASSERT_EQ(0, s.initPlayback());
    EXPECT_EQ(0, s.stop_play());
  }
  const std::string text = capture.Text();
  for (const char* line : {"\t in_device = -1 WAVE_MAPPER = -1\n", "\twaveInOpen() performed (in_device=-1)\n",
                           "\t out_device = -1 WAVE_MAPPER = -1\n", "\twaveOutOpen() performed (out_device=-1)\n"})
    EXPECT_NE(std::string::npos, text.find(line)) << line << text;
  for (const char* line : {"   waveInUnprepareHeader() [0] failed (error code = 11)\n",
                           "   waveInUnprepareHeader() [1] failed (error code = 11)\n"})
    EXPECT_NE(std::string::npos, text.find(line)) << line;
}

}  // namespace
