// Tests of the echo suppressor: arguments, high-pass, echo index, suppression of a synthetic echo, ring.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "voice/dsp/processing/aes.h"
#include "voice/dsp/processing/tests/test_signals.h"

namespace {

using namespace vproc_test;

std::unique_ptr<SonraAEC> make(int delayMs = 100, int aggressive = 0, int highPass = 0) {
  auto a = std::make_unique<SonraAEC>();
  SonraAEC_Init(a.get(), delayMs, aggressive, highPass);
  return a;
}

std::vector<int16_t> speechOrFail(int rate, int talker, double activeRms) {
  std::string err;
  auto s = Speech(rate, talker, &err);
  EXPECT_FALSE(s.empty()) << err;
  return ScaleToActiveRms(s, activeRms);
}

TEST(VprocAes, InitWarningsLastBadArgumentWins) {
  struct Case {
    int delay, aggressive, highPass;
    int result, blocks, aggressiveKept, highPassKept;
  };
  const Case cases[] = {
      {100, 0, 0, 0, 50, 0, 0},
      {8, 0, 0, AES_WARN_DELAY_LOW, 5, 0, 0},
      {300, 1, 1, AES_WARN_DELAY_HIGH, 100, 1, 1},
      {100, 2, 1, AES_WARN_AGGRESSIVE, 50, 0, 1},
      {100, 1, -1, AES_WARN_HIGHPASS, 50, 1, 0},
      {8, 2, 2, AES_WARN_HIGHPASS, 5, 0, 0},
      {300, 7, 0, AES_WARN_AGGRESSIVE, 100, 0, 0},
  };
  for (const auto& c : cases) {
    SonraAEC a;
    EXPECT_EQ(SonraAEC_Init(&a, c.delay, c.aggressive, c.highPass), c.result) << c.delay;
    EXPECT_EQ(a.initialised, 1);
    EXPECT_EQ(a.delay, c.blocks);
    EXPECT_EQ(a.aggressive, c.aggressiveKept);
    EXPECT_EQ(a.highPassEnabled, c.highPassKept);
  }
  EXPECT_EQ(SonraAEC_Init(nullptr, 100, 0, 0), -1);
}

TEST(VprocAes, RefusesUninitialisedInstanceAndBadWidebandFlags) {
  SonraAEC a{};
  std::vector<int16_t> in(160, 100), out(160, 7);
  EXPECT_EQ(SonraAEC_AddToFarEndBuffer(in.data(), &a, 0), AES_ERROR_NOT_INITIALISED);
  EXPECT_EQ(SonraAEC_Process(in.data(), out.data(), &a, 0, 50), AES_ERROR_NOT_INITIALISED);
  SonraAEC_Init(&a, 100, 0, 0);
  EXPECT_EQ(SonraAEC_AddToFarEndBuffer(in.data(), &a, 3), AES_WARN_WIDEBAND);
  EXPECT_EQ(SonraAEC_Process(in.data(), out.data(), &a, 2, 50), AES_ERROR_BAD_WIDEBAND);
  EXPECT_EQ(SonraAEC_Process(in.data(), out.data(), &a, -1, 50), AES_ERROR_BAD_WIDEBAND);
  for (auto v : out) ASSERT_EQ(v, 7);
  EXPECT_EQ(SonraAEC_Process(in.data(), out.data(), &a, 1, 50), 0);
}

// The high-pass keeps its previous outputs with their fractional parts: it matches the exact biquad
// within rounding, removes DC, and passes speech frequencies (an unstable feedback would blow up).
TEST(VprocAes, HighPassIsStableAndMatchesTheExactFilter) {
  auto a = make(100, 0, 1);
  std::vector<int16_t> x(8000 * 2);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>(3000 + 8000 * std::sin(2 * M_PI * 1000 * i / 8000.0));
  std::vector<int16_t> y(x.size());
  for (size_t f = 0; f < x.size() / 80; ++f) SonraAEC_Process(x.data() + f * 80, y.data() + f * 80, a.get(), 0, 100);
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  double maxErr = 0;
  for (size_t n = 0; n < x.size(); ++n) {
    const double v = (3798.0 * (x[n] - 2 * x1 + x2) + 7807.0 * y1 - 3733.0 * y2) / 4096.0;
    x2 = x1;
    x1 = x[n];
    y2 = y1;
    y1 = v;
    maxErr = std::max(maxErr, std::abs(v - y[n]));
  }
  EXPECT_LE(maxErr, 2.0);
  // The last half second: no DC left, the tone through at about unity.
  const size_t tail = 4000;
  double mean = 0;
  for (size_t n = y.size() - tail; n < y.size(); ++n) mean += y[n];
  EXPECT_LT(std::abs(mean / tail), 5.0);
  EXPECT_NEAR(Rms(y.data() + y.size() - tail, tail) / (8000 / std::sqrt(2.0)), 1.0, 0.05);
}

// Silent far end: the echo index never rises and the microphone passes bit for bit.
TEST(VprocAes, NearEndSpeechWithSilentFarEndPassesUnchanged) {
  for (int wide : {0, 1}) {
    const int n = wide ? 160 : 80;
    const auto mic = speechOrFail(wide ? 16000 : 8000, 1, 3000);
    auto a = make(60);
    const std::vector<int16_t> far(static_cast<size_t>(n), 0);
    std::vector<int16_t> out(mic.size());
    for (size_t f = 0; f < mic.size() / n; ++f) {
      ASSERT_EQ(SonraAEC_AddToFarEndBuffer(far.data(), a.get(), wide), 0);
      ASSERT_EQ(SonraAEC_Process(mic.data() + f * n, out.data() + f * n, a.get(), wide, 60), 0);
      ASSERT_EQ(a->echoIndex, 0);
    }
    for (size_t i = 0; i < mic.size() / n * n; ++i) ASSERT_EQ(out[i], mic[i]) << "wideband " << wide << " at " << i;
  }
}

// Loud far end, quiet microphone: the index rises by 8 per block, reaches 80 at the 10th block, and the
// output then fades into comfort noise over 32 samples.
TEST(VprocAes, LoudFarEndRaisesTheIndexAndFadesToNoise) {
  auto a = make(10);
  const auto far = WhiteNoise(80 * 3, 3000, 5);
  const std::vector<int16_t> mic(80, 100);
  std::vector<int16_t> out(80);
  const int16_t expected[2] = {40, 80};
  for (int f = 0; f < 3; ++f) {
    SonraAEC_AddToFarEndBuffer(far.data() + 80 * f, a.get(), 0);
    SonraAEC_Process(mic.data(), out.data(), a.get(), 0, 10);
    if (f < 2) {
      ASSERT_EQ(a->echoIndex, expected[f]) << f;
    }
    if (f == 0) {
      for (auto v : out) ASSERT_EQ(v, 100);
    } else if (f == 1) {
      EXPECT_EQ(a->echoState, 1);
      for (int i = 0; i < 64; ++i) ASSERT_EQ(out[i], 100);
      for (int j = 0; j < 16; ++j) {
        const double micPart = 100.0 * (1024 - 32 * (j + 1)) / 1024;
        ASSERT_NEAR(out[64 + j], micPart, 20) << j;
      }
    } else {
      for (int j = 15; j < 80; ++j) ASSERT_LT(std::abs(out[j]), 40) << "microphone still heard at " << j;
      EXPECT_GT(Rms(out.data() + 16, 64), 0.5) << "comfort noise, not silence";
    }
  }
}

struct EchoRun {
  double suppressionDb;  // echo energy over output energy, far end only, after the first 2 s
  double nearLevelDb;    // output over near-end speech energy while the near end talks
};

EchoRun runEcho(int rate, bool doubleTalk) {
  const int n = rate / 100;
  auto far = speechOrFail(rate, 0, 3000);
  const auto once = far;
  far.insert(far.end(), once.begin(), once.end());
  const auto echo = EchoOf(far, rate, 60 * rate / 1000, 40, 10, 5);
  const auto noise = WhiteNoise(far.size(), 30, 9);
  std::vector<int16_t> nearSpeech(far.size(), 0);
  const size_t dtStart = once.size();
  if (doubleTalk) {
    const auto s = speechOrFail(rate, 1, 6000);
    for (size_t i = 0; i < s.size() && dtStart + i < far.size(); ++i) nearSpeech[dtStart + i] = s[i];
  }
  const auto mic = Add(Add(echo, noise), nearSpeech);
  auto a = make(60);
  std::vector<int16_t> out(far.size());
  const int wide = rate == 16000;
  for (size_t f = 0; f < far.size() / n; ++f) {
    EXPECT_EQ(SonraAEC_AddToFarEndBuffer(far.data() + f * n, a.get(), wide), 0);
    EXPECT_EQ(SonraAEC_Process(mic.data() + f * n, out.data() + f * n, a.get(), wide, 60), 0);
  }
  const size_t from = static_cast<size_t>(2 * rate);
  EchoRun r;
  r.suppressionDb = 10 * std::log10(Energy(echo.data() + from, dtStart - from) / Energy(out.data() + from, dtStart - from));
  if (doubleTalk) {
    const size_t len = far.size() / n * n - dtStart;
    r.nearLevelDb = 10 * std::log10(Energy(out.data() + dtStart, len) / Energy(nearSpeech.data() + dtStart, len));
  }
  return r;
}

// Far end only through a 60-ms, 40-ms-tail echo path at 10 dB echo return loss: measured about 30 dB of
// suppression at both rates.
// The comfort-noise gain learnt from the first quiet frames is the level the running update keeps
// afterwards: a steady background gives no step in the noise once learning ends.
TEST(VprocAes, ComfortNoiseGainHasNoStepAfterLearning) {
  for (double rms : {30.0, 300.0}) {
    auto a = make();
    const std::vector<int16_t> far(80, 0);
    const std::vector<int16_t> near = WhiteNoise(80 * 400, rms, 11);
    std::vector<int16_t> out(80);
    int32_t learnt = 0;
    for (int f = 0; f < 400; ++f) {
      SonraAEC_AddToFarEndBuffer(far.data(), a.get(), 0);
      SonraAEC_Process(near.data() + 80 * f, out.data(), a.get(), 0, 100);
      if (learnt == 0 && a->cng.averageCount > a->cng.firstFrames) learnt = a->cng.gain;
    }
    ASSERT_GT(learnt, 0) << rms;
    const double ratio = static_cast<double>(a->cng.gain) / learnt;
    EXPECT_GT(ratio, 0.7) << rms;
    EXPECT_LT(ratio, 1.4) << rms;
    // 3/4 of the background's excitation RMS, in Q10.
    EXPECT_LT(a->cng.gain, 1024 * rms) << rms;
    EXPECT_GT(a->cng.gain, 1024 * rms / 4) << rms;
  }
}

TEST(VprocAes, SuppressesASyntheticEcho) {
  for (int rate : {8000, 16000}) {
    const EchoRun r = runEcho(rate, false);
    EXPECT_GE(r.suppressionDb, 20.0) << rate;
  }
}

// Near-end speech 6 dB above the far end's: the suppressor lets most of it through (measured about
// -5 dB overall: the index needs up to 20 blocks to fall at each onset of near-end speech).
TEST(VprocAes, LouderNearEndTalkerBreaksThrough) {
  for (int rate : {8000, 16000}) {
    const EchoRun r = runEcho(rate, true);
    EXPECT_GE(r.nearLevelDb, -6.5) << rate;
  }
}

// Unequal call rates, delay jumps and a far end that runs ahead: positions stay inside the ring,
// overflow and underflow are counted, and a persistent lead is realigned.
TEST(VprocAes, RingBookkeepingUnderUnevenCallsAndDelayJumps) {
  auto a = make(40);
  const auto far = WhiteNoise(80, 2000, 1);
  const auto mic = WhiteNoise(80, 500, 2);
  std::vector<int16_t> out(80);
  auto check = [&] {
    ASSERT_GE(a->writePos, 0);
    ASSERT_LT(a->writePos, kAesRingSize);
    ASSERT_GE(a->readPos, 0);
    ASSERT_LT(a->readPos, kAesRingSize);
    ASSERT_GE(a->delay, 5);
    ASSERT_LE(a->delay, 100);
  };
  // The far end runs one frame ahead every fourth frame for a while: far ahead, realigned.
  for (int f = 0; f < 4000; ++f) {
    SonraAEC_AddToFarEndBuffer(far.data(), a.get(), 0);
    if (f % 4 == 0) SonraAEC_AddToFarEndBuffer(far.data(), a.get(), 0);
    SonraAEC_Process(mic.data(), out.data(), a.get(), 0, 40);
    check();
  }
  EXPECT_GT(a->realignCount + a->overflowCount, 0u);
  // Then the microphone runs ahead: reads are refused instead of passing the writes.
  for (int f = 0; f < 3000; ++f) {
    if (f % 3 != 0) SonraAEC_AddToFarEndBuffer(far.data(), a.get(), 0);
    SonraAEC_Process(mic.data(), out.data(), a.get(), 0, 40);
    check();
  }
  EXPECT_GT(a->underflowCount, 0u);
  // Sound-card delays jumping between extremes move the delay 10 blocks at a time.
  const int delays[] = {0, 200, 500, -30, 120, 7};
  for (int d : delays) {
    for (int f = 0; f < 400; ++f) {
      SonraAEC_AddToFarEndBuffer(far.data(), a.get(), 0);
      SonraAEC_Process(mic.data(), out.data(), a.get(), 0, d);
      check();
    }
  }
  // From 60 blocks (120 ms) towards 3 (7 ms) in steps of 10: it stops within 10 of the target.
  EXPECT_EQ(a->delay, 10);
}

}  // namespace
