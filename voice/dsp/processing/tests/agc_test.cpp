// Tests of the digital gain control: gain curve on tones and speech, limiter, silence, steady input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "voice/dsp/processing/agc.h"
#include "voice/dsp/processing/tests/test_signals.h"

namespace {

using namespace vproc_test;

constexpr double kMaxGainDb = 6.03;  // the curve's top, 130762 / 65536

struct Outcome {
  std::vector<int16_t> out;
  int fullScale = 0;       // output samples at +32767 or -32768
  int fullScaleLater = 0;  // of those, the ones outside a frame's first sub-frame
};

Outcome process(const std::vector<int16_t>& in, int rate) {
  AgcInst agc;
  EXPECT_EQ(Agc_Init(&agc), 0);
  const size_t n = static_cast<size_t>(rate / 100);
  Outcome r;
  r.out.resize(in.size() / n * n);
  for (size_t f = 0; f < in.size() / n; ++f) EXPECT_EQ(Agc_Process(in.data() + f * n, r.out.data() + f * n, &agc, rate), 0);
  const size_t sub = n / 10;
  for (size_t i = 0; i < r.out.size(); ++i) {
    const bool full = r.out[i] == 32767 || r.out[i] == -32768;
    r.fullScale += full;
    r.fullScaleLater += full && i % n >= sub;
  }
  return r;
}

std::vector<int16_t> scaleToPeak(const std::vector<int16_t>& x, double peakDbFs) {
  int peak = 1;
  for (auto v : x) peak = std::max(peak, std::abs(int{v}));
  const double g = 32767 * std::pow(10.0, peakDbFs / 20) / peak;
  std::vector<int16_t> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = static_cast<int16_t>(std::lround(x[i] * g));
  return y;
}

TEST(VprocAgc, VersionAndBadRates) {
  char text[8] = {};
  Agc_Version(text);
  EXPECT_STREQ(text, "1.3.0");
  AgcInst agc;
  ASSERT_EQ(Agc_Init(&agc), 0);
  const AgcInst before = agc;
  std::vector<int16_t> in(160, 1000), out(160, 7);
  for (int rate : {0, 11025, 32000, 48000, -8000}) {
    EXPECT_EQ(Agc_Process(in.data(), out.data(), &agc, rate), -1) << rate;
    EXPECT_EQ(Agc_AddFarEnd(in.data(), &agc, rate), -1) << rate;
  }
  for (auto v : out) ASSERT_EQ(v, 7);
  EXPECT_EQ(std::memcmp(&before, &agc, sizeof(agc)), 0);
  EXPECT_EQ(Agc_Process(in.data(), out.data(), nullptr, 8000), -1);
  EXPECT_EQ(Agc_AddFarEnd(in.data(), &agc, 16000), 0);
  EXPECT_EQ(agc.farState.counter, 4);
}

TEST(VprocAgc, DigitalSilenceStaysSilentAtTheTopOfTheCurve) {
  for (int rate : {8000, 16000}) {
    AgcInst agc;
    Agc_Init(&agc);
    std::vector<int16_t> zero(static_cast<size_t>(rate / 100), 0), out(zero.size(), 1);
    for (int f = 0; f < 2000; ++f) {
      ASSERT_EQ(Agc_Process(zero.data(), out.data(), &agc, rate), 0);
      for (auto v : out) ASSERT_EQ(v, 0);
    }
    // The envelope has decayed or stayed: the gain sits in the curve's top region, not at its floor.
    EXPECT_GT(agc.lastGain, 90000) << rate;
    // An empty frame is the lowest level, not the highest.
    EXPECT_LT(agc.nearState.shortMean, 0) << rate;
  }
}

// Tones from -40 to -6 dBFS peak: the gain is between unity and +6 dB, louder input gives louder
// output, and no sample reaches full scale.
TEST(VprocAgc, GainCurveOnTones) {
  for (int rate : {8000, 16000}) {
    double lastOut = -1e9;
    for (double db : {-40.0, -30.0, -20.0, -15.0, -12.0, -9.0, -6.0}) {
      const auto x = Tone(static_cast<size_t>(rate * 3), rate, 440, 32767 * std::pow(10.0, db / 20));
      const Outcome r = process(x, rate);
      const size_t tail = static_cast<size_t>(rate);  // the last second, settled
      const double gainDb = 20 * std::log10(Rms(r.out.data() + r.out.size() - tail, tail) /
                                            Rms(x.data() + x.size() - tail, tail));
      const double outDb = DbFs(Rms(r.out.data() + r.out.size() - tail, tail));
      SCOPED_TRACE(testing::Message() << rate << " Hz, tone at " << db << " dBFS peak: gain " << gainDb << " dB");
      EXPECT_GE(gainDb, 0.0);
      EXPECT_LE(gainDb, kMaxGainDb);
      EXPECT_GT(outDb, lastOut);
      EXPECT_EQ(r.fullScale, 0);
      lastOut = outDb;
    }
  }
}

// Speech from -40 to -6 dBFS peak: raised by at most 6 dB; loud speech is held by the limiter just
// below full scale. Only the ramp out of the previous frame's gain, which the limiter does not
// check, may reach full scale, and only in a frame's first sub-frame.
TEST(VprocAgc, GainCurveOnSpeech) {
  for (int rate : {8000, 16000}) {
    std::string err;
    const auto speech = Speech(rate, 0, &err);
    ASSERT_FALSE(speech.empty()) << err;
    for (double db : {-40.0, -30.0, -20.0, -12.0, -6.0}) {
      const auto x = scaleToPeak(speech, db);
      const Outcome r = process(x, rate);
      double ei = 0, eo = 0;
      for (size_t i = 0; i < r.out.size(); ++i) {
        if (std::abs(x[i]) > 16) {
          ei += double(x[i]) * x[i];
          eo += double(r.out[i]) * r.out[i];
        }
      }
      const double gainDb = 10 * std::log10(eo / ei);
      SCOPED_TRACE(testing::Message() << rate << " Hz, speech at " << db << " dBFS peak: gain " << gainDb << " dB");
      EXPECT_LE(gainDb, kMaxGainDb);
      if (db <= -20) {
        EXPECT_GE(gainDb, 5.0);
      }
      int peak = 0;
      for (auto v : r.out) peak = std::max(peak, std::abs(int{v}));
      if (db >= -6) {
        EXPECT_GE(peak, 29000);
      }
      EXPECT_EQ(r.fullScaleLater, 0);
    }
  }
}

// A full-scale square wave straight after a long quiet stretch (the gain near its top): the onset's
// first sub-frame, ramped out of the quiet frame's gain, saturates; the limiter brings every later
// sample below full scale, and no product wraps around.
TEST(VprocAgc, FullScaleOnsetAfterSilenceSaturatesOnlyItsFirstSubFrame) {
  for (int rate : {8000, 16000}) {
    std::vector<int16_t> x(static_cast<size_t>(rate * 2), 0);
    for (int i = 0; i < rate; ++i) x.push_back((i / 20) % 2 ? 32767 : -32767);
    const Outcome r = process(x, rate);
    EXPECT_GT(r.fullScale, 0) << rate;
    EXPECT_EQ(r.fullScaleLater, 0) << rate;
    for (size_t i = 0; i < r.out.size(); ++i) {
      if (x[i] == 0) continue;
      ASSERT_EQ(r.out[i] > 0, x[i] > 0) << "sign flipped at " << i;
    }
  }
}

// Statistics where the mean square has fallen below the squared mean (rounding makes this happen under
// a steady level): the deviation is 0 and the score must neither divide by it nor take a negative root.
TEST(VprocAgc, ZeroDeviationDoesNotDivideByZero) {
  AgcBandState band;
  Agc_InitBand(&band);
  band.counter = 250;
  band.longMean = -32768;
  band.longMeanSquare = 0;
  const std::vector<int16_t> zero(80, 0);
  const int16_t s = Agc_AnalyzeFrame(zero.data(), &band, 80);
  EXPECT_EQ(band.longDeviation, 0);
  EXPECT_GE(s, -2048);
  EXPECT_LE(s, 2048);
}

TEST(VprocAgc, SteadyLevelForMinutesKeepsWorking) {
  const auto tone = Tone(80, 8000, 500, 3000);  // whole periods: every frame is the same
  AgcInst agc;
  Agc_Init(&agc);
  std::vector<int16_t> out(80);
  for (int f = 0; f < 12000; ++f) {
    ASSERT_EQ(Agc_Process(tone.data(), out.data(), &agc, 8000), 0);
    ASSERT_GE(agc.nearState.score, -2048);
    ASSERT_LE(agc.nearState.score, 2048);
  }
  EXPECT_GT(Rms(out), Rms(tone));
}

// In place: the output may be the input buffer.
TEST(VprocAgc, ProcessesInPlace) {
  const auto x = Tone(1600, 16000, 300, 2000);
  const Outcome ref = process(x, 16000);
  AgcInst agc;
  Agc_Init(&agc);
  auto y = x;
  for (size_t f = 0; f < y.size() / 160; ++f) Agc_Process(y.data() + f * 160, y.data() + f * 160, &agc, 16000);
  EXPECT_EQ(y, ref.out);
}

}  // namespace
