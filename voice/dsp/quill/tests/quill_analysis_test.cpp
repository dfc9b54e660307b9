// Tests of Quill's encoder analyses: pitch lags and gains, the lag field, LPC analysis and its fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "voice/dsp/quill/quill_internal.h"
#include "voice/dsp/quill/tests/quill_speech.h"

namespace {

QuillStream decoderOf(const QuillStream& enc, int bytes) {
  QuillStream d;
  Quill_StreamReset(&d);
  std::memset(d.buffer, 0, sizeof(d.buffer));
  std::memcpy(d.buffer, enc.buffer, static_cast<size_t>(bytes));
  return d;
}

// Lower-band pulse train (period in half-rate samples) with a little noise.
std::vector<double> pulses(int n, double period, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 30.0);
  std::vector<double> x(n);
  for (int i = 0; i < n; ++i) {
    const double ph = std::fmod(i, period);
    x[i] = 3000.0 * std::exp(-ph / 6.0) * std::cos(ph * 0.9) + nd(rng);
  }
  return x;
}

TEST(QuillPitch, FindsThePeriodOfAPulseTrainAndKeepsGainsInRange) {
  for (double period : {36.0, 57.0, 80.0, 118.0}) {
    auto st = std::make_unique<QuillPitchState>();
    Quill_PitchStateInit(st.get());
    const std::vector<double> x = pulses(240 * 20, period, 1);
    double lags[4] = {}, gains[4] = {};
    double analysed[264];
    for (int half = 0; half < 20; ++half) {
      Quill_PitchAnalysis(&x[240 * half], analysed, st.get(), lags, gains);
      for (int j = 0; j < 4; ++j) {
        ASSERT_GE(gains[j], 0.0);
        ASSERT_LE(gains[j], 0.45);
        ASSERT_LE(static_cast<int>(gains[j] * 4096.0), 1843);
        ASSERT_GE(lags[j], 20.0);
        ASSERT_LE(lags[j], 140.0);
      }
    }
    // The lag value is the period (the fractional-delay read sits two samples short of it and the
    // smoothing's centre tap two samples back).
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(lags[j], period, 1.0) << period;
    EXPECT_GT(gains[0] + gains[1] + gains[2] + gains[3], 4 * 0.3) << period;
  }
}

TEST(QuillPitch, SilenceGivesDefinedLagsAndNoGain) {
  auto st = std::make_unique<QuillPitchState>();
  Quill_PitchStateInit(st.get());
  const std::vector<double> zero(240, 0.0);
  double lags[4], gains[4], analysed[264];
  for (int half = 0; half < 3; ++half) Quill_PitchAnalysis(zero.data(), analysed, st.get(), lags, gains);
  for (int j = 0; j < 4; ++j) {
    EXPECT_GE(lags[j], 20.0);
    EXPECT_LE(lags[j], 140.0);
    EXPECT_LE(gains[j], 0.45);
    EXPECT_TRUE(std::isfinite(gains[j]));
  }
}

TEST(QuillPitch, LagClassBoundariesGoToTheHigherClass) {
  struct Case {
    int16_t g[4];
    int cls;
  };
  const Case cases[] = {
      {{819, 819, 819, 819}, 0},      // mean 0.19995
      {{819, 819, 819, 820}, 1},      // mean 0.20001
      {{1638, 1638, 1638, 1638}, 1},  // mean 0.39990
      {{1639, 1638, 1638, 1639}, 2},
      {{1843, 1843, 1843, 1843}, 2},
      {{0, 0, 0, 0}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Quill_LagClass(c.g), c.cls);
}

TEST(QuillPitch, LagFieldReconstructionIsTheSameOnBothSidesAndClampsAtTheRangeEnds) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> lagU(20.0, 140.0), jitter(-11.0, 11.0);
  const int16_t gainSets[3][4] = {{100, 200, 300, 100}, {1200, 1100, 1300, 1000}, {1843, 1800, 1700, 1843}};
  for (int trial = 0; trial < 300; ++trial) {
    const int16_t* g = gainSets[trial % 3];
    double lags[4];
    const double s = lagU(rng), e = std::clamp(s + jitter(rng), 20.0, 140.0);
    lags[0] = lags[1] = s;
    lags[2] = lags[3] = e;
    QuillStream enc;
    Quill_StreamReset(&enc);
    Quill_EncodePitchLags(lags, g, &enc);
    const int bytes = Quill_EncodeTerminate(&enc);
    QuillStream dec = decoderOf(enc, bytes);
    double got[4];
    ASSERT_EQ(Quill_DecodePitchLags(&dec, g, got), bytes);
    for (int j = 0; j < 4; ++j) {
      EXPECT_EQ(got[j], lags[j]);
      EXPECT_NEAR(got[j], j < 2 ? s : e, 6.0);
    }
  }
  // Far outside every range: coded at the ends, the mean lag at most 140.
  double far[4] = {400, 400, 400, 400};
  QuillStream enc;
  Quill_StreamReset(&enc);
  Quill_EncodePitchLags(far, gainSets[0], &enc);
  EXPECT_NEAR((far[0] + far[1] + far[2] + far[3]) / 4, 140.0, 1e-9);
}

struct Analysed {
  QuillLoRecords lo;
  QuillHiRecords hi;
};

// LPC models of a few halves of speech.
std::vector<Analysed> speechModels(double quantOffset) {
  const std::vector<int16_t> pcm = quilltest::speech(0);
  std::vector<Analysed> out;
  auto bank = std::make_unique<QuillAnalysisBank>();
  auto pitch = std::make_unique<QuillPitchState>();
  auto lpc = std::make_unique<QuillLpcState>();
  std::memset(bank.get(), 0, sizeof(QuillAnalysisBank));
  Quill_PitchStateInit(pitch.get());
  Quill_LpcStateInit(lpc.get());
  for (size_t pos = 0; pos + kQuillHalf <= pcm.size() && out.size() < 60; pos += kQuillHalf) {
    float in[kQuillHalf], lo[kQuillBand], hi[kQuillBand];
    double alo[kQuillBand], ahi[kQuillBand], an[264], lags[4], gains[4];
    for (int i = 0; i < kQuillHalf; ++i) in[i] = pcm[pos + i];
    Quill_AnalysisBank(bank.get(), in, lo, hi, alo, ahi);
    Quill_PitchAnalysis(alo, an, pitch.get(), lags, gains);
    int16_t gq[4];
    for (int j = 0; j < 4; ++j) gq[j] = static_cast<int16_t>(gains[j] * 4096);
    Analysed a;
    Quill_LpcAnalysis(an, ahi, lpc.get(), quantOffset, gq, a.lo, a.hi);
    out.push_back(a);
  }
  return out;
}

// The quantiser classes have the sizes the format fixes, and class 0 the values it states.
TEST(QuillPitch, LagClassZeroLevelsHaveTheFixedEnds) {
  const QuillLagClass& c = kQuillLagClasses[0];
  EXPECT_EQ(c.high[1] - c.low[1] + 1, 19);
  EXPECT_EQ(c.high[2] - c.low[2] + 1, 1);
  EXPECT_EQ(c.high[3] - c.low[3] + 1, 9);
  EXPECT_DOUBLE_EQ(c.levels[0][0], -17.2138507);
  EXPECT_DOUBLE_EQ(c.levels[0][18], 17.10976611);
  EXPECT_DOUBLE_EQ(c.levels[1][0], 0.0);
  EXPECT_DOUBLE_EQ(c.levels[2][0], -7.76246496);
  EXPECT_DOUBLE_EQ(c.levels[2][8], 7.78434291);
}

TEST(QuillLpc, ClassTablesHaveTheFixedSizesAndValues) {
  const int gainLevels[3][12] = {{7, 13, 9, 15, 11, 20, 13, 32, 23, 57, 53, 139},
                                 {7, 12, 8, 15, 11, 20, 13, 31, 23, 57, 52, 138},
                                 {7, 13, 8, 16, 11, 20, 14, 32, 24, 57, 55, 140}};
  const int gainTotal[3] = {392, 387, 397}, shapeTotal[3] = {578, 574, 583}, singles[3] = {29, 27, 25};
  const double t2[3][2] = {{0.79742827, 0.60341375}, {0.8137239, 0.58125159}, {0.71832547, 0.69570721}};
  for (int c = 0; c < 3; ++c) {
    SCOPED_TRACE(c);
    const QuillLpcClass& k = kQuillLpcClasses[c];
    int gains = 0, shapes = 0, single = 0, widest = 0;
    for (int i = 0; i < 120; ++i) {
      const int n = k.maxIndex[i] + 1;
      EXPECT_GE(k.offset[i], 0);
      EXPECT_LE(k.offset[i], k.maxIndex[i]);
      EXPECT_EQ(65535, k.cdf[i][n]);
      if (i < 12) {
        EXPECT_EQ(gainLevels[c][i], n) << i;
        gains += n;
      } else {
        shapes += n;
        single += n == 1;
        widest = std::max(widest, n);
      }
    }
    EXPECT_EQ(gainTotal[c], gains);
    EXPECT_EQ(shapeTotal[c], shapes);
    EXPECT_EQ(singles[c], single);
    EXPECT_LE(widest, 50);
    EXPECT_DOUBLE_EQ(-t2[c][0], k.t2[0][0]);
    EXPECT_DOUBLE_EQ(t2[c][1], k.t2[0][1]);
    EXPECT_DOUBLE_EQ(t2[c][1], k.t2[1][0]);
    EXPECT_DOUBLE_EQ(t2[c][0], k.t2[1][1]);
  }
  const QuillLpcClass& k0 = kQuillLpcClasses[0];
  EXPECT_DOUBLE_EQ(-6.86881911, k0.gainMean[0]);
  EXPECT_DOUBLE_EQ(-5.35075273, k0.gainMean[1]);
  EXPECT_DOUBLE_EQ(-0.91232981, k0.shapeMean[0]);
  EXPECT_DOUBLE_EQ(0.26258634, k0.shapeMean[1]);
  const double levels[7] = {-2.78, -1.77, -0.78, -0.004, 0.80, 1.82, 2.81};
  const double bits[7] = {12.30, 7.83, 4.26, 0.17, 4.28, 7.67, 10.48};
  EXPECT_EQ(3, k0.offset[0]);
  for (int l = 0; l < 7; ++l) {
    EXPECT_DOUBLE_EQ(levels[l], k0.levels[k0.levelPos[0] + l]) << l;
    EXPECT_DOUBLE_EQ(bits[l], k0.bits[k0.levelPos[0] + l]) << l;
    // The cumulative table codes each level at close to its stated cost.
    EXPECT_NEAR(bits[l], -std::log2((k0.cdf[0][l + 1] - k0.cdf[0][l]) / 65535.0), 0.05) << l;
  }
  EXPECT_EQ((std::vector<uint16_t>{0, 15434, 37548, 65535}),
            std::vector<uint16_t>(kQuillLpcClassCdf, kQuillLpcClassCdf + 4));
}

TEST(QuillLpc, EncoderReconstructionEqualsTheDecoders) {
  for (const Analysed& a0 : speechModels(-10.0)) {
    Analysed a = a0;
    QuillStream enc;
    Quill_StreamReset(&enc);
    int cls = -1;
    double bits = 0;
    Quill_EncodeLpcModel(a.lo, a.hi, &cls, &bits, &enc);
    ASSERT_GE(cls, 0);
    ASSERT_LE(cls, 2);
    const double gainBits = Quill_QuantiseLpcGains(a.lo, a.hi, cls);
    EXPECT_GT(gainBits, 0.0);
    Quill_EncodeLpcGains(a.lo, a.hi, cls, &enc);
    EXPECT_EQ(enc.checkpointCount, 2);
    const int bytes = Quill_EncodeTerminate(&enc);
    QuillStream dec = decoderOf(enc, bytes);
    Analysed d;
    ASSERT_EQ(Quill_DecodeLpc(&dec, d.lo, d.hi), bytes);
    EXPECT_EQ(std::memcmp(d.lo, a.lo, sizeof(d.lo)), 0);
    EXPECT_EQ(std::memcmp(d.hi, a.hi, sizeof(d.hi)), 0);
    // The quantised models stay close to the analysed ones and strictly stable.
    for (int sb = 0; sb < kQuillSubBlocks; ++sb) {
      EXPECT_NEAR(std::log(a.lo[sb][0] / a0.lo[sb][0]), 0.0, 1.0);
      float ls[12], lc[12];
      EXPECT_TRUE(Quill_PolyToLattice(&a.lo[sb][1], 12, ls, lc));
    }
  }
}

TEST(QuillLpc, SilentHalfStillWritesEverySymbol) {
  auto lpc = std::make_unique<QuillLpcState>();
  Quill_LpcStateInit(lpc.get());
  const std::vector<double> zero(264, 0.0);
  const int16_t g[4] = {0, 0, 0, 0};
  Analysed a;
  Quill_LpcAnalysis(zero.data(), zero.data(), lpc.get(), -10.0, g, a.lo, a.hi);
  for (int sb = 0; sb < kQuillSubBlocks; ++sb) EXPECT_TRUE(std::isfinite(a.lo[sb][0]));
  QuillStream enc;
  Quill_StreamReset(&enc);
  int cls;
  double bits;
  Quill_EncodeLpcModel(a.lo, a.hi, &cls, &bits, &enc);
  Quill_EncodeLpcGains(a.lo, a.hi, cls, &enc);
  const int bytes = Quill_EncodeTerminate(&enc);
  QuillStream dec = decoderOf(enc, bytes);
  Analysed d;
  EXPECT_EQ(Quill_DecodeLpc(&dec, d.lo, d.hi), bytes);
}

TEST(QuillLpc, CoordinatesBeyondTheLevelsAreClampedToTheEnds) {
  const QuillLpcClass& c = kQuillLpcClasses[0];
  double coords[120];
  int idx[120];
  for (int i = 0; i < 120; ++i) coords[i] = (i & 1) ? 1e9 : -1e9;
  Quill_LpcChooseLevels(c, coords, 0, 120, idx);
  for (int i = 0; i < 120; ++i) EXPECT_EQ(idx[i], (i & 1) ? c.maxIndex[i] : 0) << i;
  for (int i = 0; i < 120; ++i) coords[i] = std::nan("");
  Quill_LpcChooseLevels(c, coords, 0, 120, idx);
  for (int i = 0; i < 120; ++i) EXPECT_EQ(idx[i], std::clamp<int>(c.offset[i], 0, c.maxIndex[i]));
}

TEST(QuillLpc, QuantisationOffsetScalesTheGains) {
  const std::vector<int16_t> pcm = quilltest::speech(1);
  std::vector<double> lo(264), hi(240);
  for (int i = 0; i < 264; ++i) lo[i] = pcm[8000 + i];
  for (int i = 0; i < 240; ++i) hi[i] = pcm[9000 + i] * 0.1;
  const int16_t g[4] = {400, 500, 600, 700};
  auto s1 = std::make_unique<QuillLpcState>();
  Quill_LpcStateInit(s1.get());
  auto s2 = std::make_unique<QuillLpcState>(*s1);
  Analysed a, b;
  Quill_LpcAnalysis(lo.data(), hi.data(), s1.get(), -12.0, g, a.lo, a.hi);
  Quill_LpcAnalysis(lo.data(), hi.data(), s2.get(), 8.0, g, b.lo, b.hi);
  for (int sb = 0; sb < kQuillSubBlocks; ++sb) {
    EXPECT_NEAR(b.lo[sb][0] / a.lo[sb][0], 10.0, 1e-9);
    EXPECT_NEAR(b.hi[sb][0] / a.hi[sb][0], 10.0, 1e-9);
    for (int i = 1; i <= 12; ++i) EXPECT_EQ(a.lo[sb][i], b.lo[sb][i]);
  }
}

TEST(QuillLpc, ShapingFactorFollowsPitchGainAndLevelChanges) {
  std::vector<double> steady(264);
  for (int i = 0; i < 264; ++i) steady[i] = 1000.0 * std::sin(i * 0.37);
  double last = 0.0;
  for (int i = 12; i < 72; ++i) last += steady[i] * steady[i];
  last += 0.0001;
  double e = last;
  const int16_t none[4] = {0, 0, 0, 0}, strong[4] = {1843, 1843, 1843, 1843};
  EXPECT_NEAR(Quill_LpcShapingFactor(steady.data(), none, &e), std::exp(-1.4), 0.01);
  e = last;
  EXPECT_GT(Quill_LpcShapingFactor(steady.data(), strong, &e), 0.8);
  std::vector<double> burst = steady;
  for (int i = 132; i < 264; ++i) burst[i] *= 30.0;
  e = last;
  EXPECT_GT(Quill_LpcShapingFactor(burst.data(), none, &e), std::exp(-1.4) + 0.2);
}


TEST(QuillLpc, AnalysisWindowKeepsItsFixedValuesAndSumsToOne) {
  const double* w = Quill_Tables().lpcWindow;
  const struct {
    int index;
    double value;
  } fixed[] = {{0, 0.0},          {1, 1e-08},        {2, 4e-08},        {3, 1e-07},       {4, 2e-07},
               {40, 0.00012186},  {100, 0.00195799}, {128, 0.00398135}, {180, 0.00866822}, {201, 0.00949294},
               {220, 0.0084728},  {240, 0.00456935}, {250, 0.0015569},  {255, 0.00015881}};
  for (const auto& f : fixed) EXPECT_NEAR(w[f.index], f.value, 1e-12) << f.index;
  double sum = 0.0;
  for (int i = 0; i < 256; ++i) sum += w[i];
  EXPECT_NEAR(sum, 1.0, 1e-12);
  // Rising to the peak at 201, falling after it.
  for (int i = 1; i <= 201; ++i) EXPECT_GE(w[i], w[i - 1]) << i;
  for (int i = 202; i < 256; ++i) EXPECT_LE(w[i], w[i - 1]) << i;
}
}  // namespace
