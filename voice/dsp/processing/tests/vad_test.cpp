// Tests of the voice activity detector: argument checks, hangover, labelled speech-plus-noise mixes.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "voice/dsp/processing/tests/test_signals.h"
#include "voice/dsp/processing/vad.h"

namespace {

using namespace vproc_test;

constexpr double kSpeechRms = 1600;  // about -26 dBFS active speech

std::vector<int16_t> speechOrFail(int rate, int talker) {
  std::string err;
  auto s = Speech(rate, talker, &err);
  EXPECT_FALSE(s.empty()) << err;
  return s;
}

// Hit rate on labelled speech frames and false-alarm rate on noise frames at least 150 ms from speech.
struct Scores {
  double hit = 0;
  double falseAlarm = 0;
};

Scores score(const std::vector<int>& labels, const std::vector<int>& decisions, int framesPer10ms, int skip) {
  const int n = static_cast<int>(labels.size());
  std::vector<int> dist(static_cast<size_t>(n), 1 << 20);
  int last = -(1 << 20);
  for (int f = 0; f < n; ++f) {
    if (labels[f]) last = f;
    dist[f] = f - last;
  }
  last = 1 << 21;
  for (int f = n - 1; f >= 0; --f) {
    if (labels[f]) last = f;
    dist[f] = std::min(dist[f], last - f);
  }
  int hits = 0, speech = 0, fa = 0, noise = 0;
  for (int f = skip; f < n; ++f) {
    const int d = decisions[f] > 0 ? 1 : 0;
    if (labels[f]) {
      ++speech;
      hits += d;
    } else if (dist[f] > 15 / framesPer10ms) {
      ++noise;
      fa += d;
    }
  }
  return {speech ? double(hits) / speech : 0, noise ? double(fa) / noise : 0};
}

// Two seconds of noise, the talker, two more seconds of noise; the first second is not scored.
Scores runMix(int mode, int talker, double snrDb, bool pink, int frame) {
  auto clean = ScaleToActiveRms(speechOrFail(8000, talker), kSpeechRms);
  std::vector<int16_t> s(16000, 0);
  s.insert(s.end(), clean.begin(), clean.end());
  s.insert(s.end(), 16000, 0);
  const double noiseRms = kSpeechRms / std::pow(10.0, snrDb / 20);
  const auto noise = pink ? PinkNoise(s.size(), noiseRms, 7) : WhiteNoise(s.size(), noiseRms, 7);
  const auto mix = Add(s, noise);
  const auto labels = SpeechLabels(s, frame);
  VadInst vad;
  EXPECT_EQ(Vad_Init(&vad, mode), 0);
  std::vector<int> decisions(labels.size());
  for (size_t f = 0; f < labels.size(); ++f) decisions[f] = Vad_ProcessBands(&vad, mix.data() + f * frame, frame);
  return score(labels, decisions, frame / 80, 8000 / frame);
}

TEST(VprocVad, RefusesBadArgumentsAndCounts) {
  VadInst vad{};
  std::vector<int16_t> x(480, 100);
  EXPECT_EQ(Vad_ProcessBands(&vad, x.data(), 80), -1) << "uninitialised";
  EXPECT_EQ(Vad_Init(nullptr, 0), -1);
  ASSERT_EQ(Vad_Init(&vad, 0), 0);
  for (int count : {0, -80, 79, 81, 100, 200, 320, 480}) EXPECT_EQ(Vad_ProcessBands(&vad, x.data(), count), -1) << count;
  for (int count : {0, 80, 159, 240, 640}) EXPECT_EQ(Vad_Process(&vad, x.data(), count), -1) << count;
  EXPECT_EQ(Vad_ProcessBands(&vad, nullptr, 80), -1);
  for (int count : {80, 160, 240}) EXPECT_GE(Vad_ProcessBands(&vad, x.data(), count), 0) << count;
  for (int count : {160, 320, 480}) EXPECT_GE(Vad_Process(&vad, x.data(), count), 0) << count;
}

TEST(VprocVad, DigitalSilenceIsNoSpeech) {
  VadInst vad;
  Vad_Init(&vad, 0);
  std::vector<int16_t> zero(240, 0);
  for (int f = 0; f < 300; ++f) ASSERT_EQ(Vad_ProcessBands(&vad, zero.data(), 80 * (1 + f % 3)), 0) << f;
}

// A loud burst after silence is speech; silence then counts down the hangover of the mode and frame
// length (after the frames in which the band filters still ring with the burst).
TEST(VprocVad, HangoverByModeAndFrameLength) {
  struct Case {
    int mode, frame, burst, hangover;
  };
  const Case cases[] = {
      {0, 80, 3, 10}, {0, 160, 3, 5}, {0, 240, 3, 4}, {0, 80, 10, 8},  {0, 160, 10, 4}, {0, 240, 10, 3},
      {1, 80, 3, 9},  {1, 160, 3, 5}, {1, 240, 3, 3}, {1, 80, 10, 11}, {1, 160, 10, 7}, {1, 240, 10, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << " frame " << c.frame << " burst " << c.burst);
    VadInst vad;
    Vad_Init(&vad, c.mode);
    const std::vector<int16_t> zero(static_cast<size_t>(c.frame), 0);
    const auto loud = WhiteNoise(static_cast<size_t>(c.frame * c.burst), 6000, 3);
    for (int f = 0; f < 20; ++f) Vad_ProcessBands(&vad, zero.data(), c.frame);
    for (int f = 0; f < c.burst; ++f) ASSERT_EQ(Vad_ProcessBands(&vad, loud.data() + f * c.frame, c.frame), 1) << f;
    int d = Vad_ProcessBands(&vad, zero.data(), c.frame);
    int ringing = 0;
    while (d == 1 && ringing < 5) {
      ++ringing;
      d = Vad_ProcessBands(&vad, zero.data(), c.frame);
    }
    ASSERT_LT(ringing, 5);
    for (int h = c.hangover; h >= 1; --h) {
      ASSERT_EQ(d, h + 2);
      d = Vad_ProcessBands(&vad, zero.data(), c.frame);
    }
    EXPECT_EQ(d, 0);
    EXPECT_EQ(vad.numOfSpeech, 0);
  }
}

// Measured on this detector: no false alarms down to 10 dB SNR; the hits missed are the weakest frames
// of the words (within 30 dB of the loudest frame but close to the noise).
TEST(VprocVad, HitAndFalseAlarmRatesOnSpeechInNoise) {
  struct Case {
    double snr;
    double minHit;
  };
  const Case cases[] = {{30, 0.85}, {20, 0.82}, {15, 0.75}, {10, 0.65}};
  for (int talker : {0, 1}) {
    for (bool pink : {false, true}) {
      for (const auto& c : cases) {
        const Scores s = runMix(0, talker, c.snr, pink, 80);
        SCOPED_TRACE(testing::Message() << "talker " << talker << (pink ? " pink" : " white") << " noise, SNR "
                                        << c.snr << " dB: hit " << s.hit << " false alarm " << s.falseAlarm);
        EXPECT_GE(s.hit, c.minHit);
        EXPECT_LE(s.falseAlarm, 0.05);
      }
    }
  }
}

TEST(VprocVad, LongerFramesAndTheOtherMode) {
  for (int frame : {160, 240}) {
    const Scores s = runMix(0, 0, 20, false, frame);
    EXPECT_GE(s.hit, 0.8) << frame;
    EXPECT_LE(s.falseAlarm, 0.05) << frame;
  }
  const Scores s = runMix(1, 1, 20, true, 80);
  EXPECT_GE(s.hit, 0.8);
  EXPECT_LE(s.falseAlarm, 0.05);
}

// The 16-kHz entry halves the rate itself and decides like the 8-kHz path on the same speech.
TEST(VprocVad, SixteenKilohertzPathAgreesWithEightKilohertz) {
  auto s16 = ScaleToActiveRms(speechOrFail(16000, 0), kSpeechRms);
  auto s8 = ScaleToActiveRms(speechOrFail(8000, 0), kSpeechRms);
  const auto n16 = WhiteNoise(s16.size(), 50, 4);
  const auto n8 = WhiteNoise(s8.size(), 50, 4);
  s16 = Add(s16, n16);
  s8 = Add(s8, n8);
  VadInst a, b;
  Vad_Init(&a, 0);
  Vad_Init(&b, 0);
  const size_t frames = std::min(s16.size() / 160, s8.size() / 80);
  int agree = 0;
  for (size_t f = 0; f < frames; ++f) {
    const int d16 = Vad_Process(&a, s16.data() + f * 160, 160) > 0;
    const int d8 = Vad_ProcessBands(&b, s8.data() + f * 80, 80) > 0;
    agree += d16 == d8;
  }
  EXPECT_GE(double(agree) / frames, 0.9);
}

// Background noise that rises by 10 dB is at first taken for speech, then learnt within a few seconds.
TEST(VprocVad, RecoversFromARiseInBackgroundNoise) {
  auto x = WhiteNoise(8000 * 5, 50, 1);
  const auto louder = PinkNoise(8000 * 10, 158, 2);
  x.insert(x.end(), louder.begin(), louder.end());
  VadInst vad;
  Vad_Init(&vad, 0);
  int lateAlarms = 0;
  for (size_t f = 0; f < x.size() / 80; ++f) {
    const int d = Vad_ProcessBands(&vad, x.data() + f * 80, 80);
    if (f >= 1000) lateAlarms += d > 0;  // from 5 s after the rise
  }
  EXPECT_EQ(lateAlarms, 0);
}

}  // namespace
