// Tests of the iLBC building blocks: LPC layer, codebook, gains, start state, concealment and enhancer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/ilbc_tables.h"
#include "voice/dsp/spl.h"

namespace {

TEST(IlbcLsf, StabilityCheckLimitsAllButTheTenth) {
  int16_t lsf[10] = {0, 1000, 3000, 5000, 7000, 9000, 11000, 13000, 15000, 30000};
  EXPECT_EQ(1, Ilbc_CheckLsf(lsf, 10, 1));
  EXPECT_EQ(82, lsf[0]);
  EXPECT_EQ(30000, lsf[9]) << "the tenth coefficient is never limited";
  int16_t high[10] = {1000, 3000, 5000, 7000, 9000, 11000, 13000, 15000, 30000, 31000};
  Ilbc_CheckLsf(high, 10, 1);
  EXPECT_EQ(25723, high[8]);
  // Too close neighbours are pushed apart; crossed ones are put back in order.
  int16_t close[10] = {2000, 2100, 5000, 4000, 9000, 11000, 13000, 15000, 17000, 19000};
  Ilbc_CheckLsf(close, 10, 1);
  for (int k = 0; k < 9; ++k) EXPECT_LT(close[k], close[k + 1]) << k;
  int16_t fine[10] = {2308, 3652, 5434, 7885, 10255, 12559, 15160, 17513, 20328, 22752};
  EXPECT_EQ(0, Ilbc_CheckLsf(fine, 10, 1));
}

TEST(IlbcLsf, InterpolationEndpoints) {
  const int16_t a[3] = {100, -200, 30000};
  const int16_t b[3] = {900, 400, -30000};
  int16_t out[3];
  Ilbc_InterpolateLsf(out, a, b, 16384, 3);
  EXPECT_EQ(0, std::memcmp(out, a, sizeof(a)));
  Ilbc_InterpolateLsf(out, a, b, 0, 3);
  EXPECT_EQ(0, std::memcmp(out, b, sizeof(b)));
  Ilbc_InterpolateLsf(out, a, b, 8192, 3);
  EXPECT_EQ(500, out[0]);
  EXPECT_EQ(100, out[1]);
}

TEST(IlbcLsf, PolynomialRoundTrip) {
  // Random stable LSF sets: LSF -> polynomial -> LSF comes back within a few Q13 steps, and the
  // polynomial matches a double-precision product of the same roots.
  std::mt19937 rng(3);
  for (int trial = 0; trial < 200; ++trial) {
    int16_t lsf[10];
    double pos = 0;
    for (int k = 0; k < 10; ++k) {
      pos += 0.15 + std::uniform_real_distribution<double>(0, 0.25)(rng);
      lsf[k] = static_cast<int16_t>(std::lround(pos * 8192));
    }
    if (lsf[9] > 25000) continue;
    int16_t a[11];
    Ilbc_LsfToPoly(a, lsf);
    EXPECT_EQ(4096, a[0]);
    // Double reference: P, Q products of second-order factors with the trivial roots.
    std::vector<double> p = {1.0}, q = {1.0};
    auto mul = [](std::vector<double>& f, std::vector<double> g) {
      std::vector<double> r(f.size() + g.size() - 1, 0.0);
      for (size_t i = 0; i < f.size(); ++i)
        for (size_t j = 0; j < g.size(); ++j) r[i + j] += f[i] * g[j];
      f = r;
    };
    for (int k = 0; k < 10; ++k) mul(k % 2 == 0 ? p : q, {1.0, -2 * std::cos(lsf[k] / 8192.0), 1.0});
    mul(p, {1.0, 1.0});
    mul(q, {1.0, -1.0});
    bool representable = true;
    for (int i = 1; i <= 10; ++i) representable &= std::fabs(4096 * (p[i] + q[i]) / 2) < 32000;
    if (!representable) continue;
    for (int i = 1; i <= 10; ++i)
      EXPECT_NEAR(a[i], 4096 * (p[i] + q[i]) / 2, 24 + std::fabs(a[i]) * 0.004) << "trial " << trial << " i " << i;
    int16_t back[10];
    Ilbc_PolyToLsf(back, a);
    for (int k = 0; k < 10; ++k) EXPECT_NEAR(lsf[k], back[k], 40) << "trial " << trial << " k " << k;
  }
}

TEST(IlbcLsf, SilentBlockGivesTheMeanLsf) {
  // Levinson-Durbin fails on silence; the block's LSF are then the mean vector (RFC 3951's
  // lsfmeanTbl in Q13), reached through its cosine-domain form.
  const int16_t mean[10] = {2308, 3652, 5434, 7885, 10255, 12559, 15160, 17513, 20328, 22752};
  for (int mode : {20, 30}) {
    IlbcEncoder enc;
    Ilbc_EncoderInit(&enc, mode);
    int16_t block[240] = {};
    int16_t lsf[20];
    Ilbc_LpcAnalysis(lsf, block, &enc);
    for (int k = 0; k < 10 * (mode == 30 ? 2 : 1); ++k) EXPECT_NEAR(mean[k % 10], lsf[k], 8) << mode << " " << k;
  }
}

TEST(IlbcFilters, StayWithinSixteenBits) {
  std::mt19937 rng(5);
  int16_t a[11] = {4096, -8000, 9000, -7000, 6000, -5000, 4000, -3000, 2000, -1000, 500};
  int16_t in[10 + 200];
  for (auto& v : in) v = static_cast<int16_t>((rng() & 1) ? 32767 : -32768);
  int16_t out[200];
  Ilbc_AnalysisFilter(in + 10, a, out, 200);
  int16_t syn[10 + 200] = {};
  Ilbc_SynthesisFilter(in + 10, syn + 10, a, 11, 200);
  SUCCEED();  // any overflow would have been caught by the sanitizer run

  // An all-zero excitation synthesises to silence and the output filter keeps it at zero.
  int16_t zeros[10 + 40] = {};
  int16_t y[10 + 40] = {};
  Ilbc_SynthesisFilter(zeros + 10, y + 10, a, 11, 40);
  int16_t xm[2] = {}, ym[4] = {};
  const int16_t bo[3] = {3849, -7699, 3849}, ao[2] = {7918, -3833};
  Ilbc_HighPassOutput(y + 10, bo, ao, xm, ym, 40);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(0, y[10 + i]);
  // A full-scale square wave through the output filter saturates instead of wrapping.
  int16_t sq[400];
  for (int i = 0; i < 400; ++i) sq[i] = (i / 20) % 2 ? 30000 : -30000;
  int16_t xm2[2] = {}, ym2[4] = {};
  Ilbc_HighPassOutput(sq, bo, ao, xm2, ym2, 400);
  int maxv = 0;
  for (int i = 0; i < 400; ++i) maxv = std::max(maxv, std::abs(int{sq[i]}));
  EXPECT_EQ(32767, std::min(maxv, 32767));
  for (int i = 21; i < 400; i += 40) EXPECT_GT(sq[i], 0) << "no wrap-around at " << i;
}

// Independent transcription of the codebook vectors: regular cuts, augmented vectors with the
// 0.2-step cross-fade, and both from the memory filtered by the 8-tap codebook filter.
std::vector<double> referenceVector(const std::vector<double>& mem, int index, int len) {
  const int lMem = static_cast<int>(mem.size());
  const int base = lMem - len + 1;
  const int section = base + (len == 40 ? 20 : 0);
  std::vector<double> src = mem;
  if (index >= section) {
    static const double h[8] = {-0.034180, 0.108887, -0.184326, 0.806152, 0.713379, -0.144043, 0.083740, -0.033691};
    for (int p = 0; p < lMem; ++p) {
      double s = 0;
      for (int j = 0; j < 8; ++j) {
        const int q = p + 4 - j;
        if (q >= 0 && q < lMem) s += h[j] * mem[q];
      }
      src[p] = s;
    }
    index -= section;
  }
  std::vector<double> v(len);
  if (index < base) {
    for (int i = 0; i < len; ++i) v[i] = src[lMem - index - len + i];
  } else {
    const int lag = 20 + index - base;
    for (int j = 0; j < lag - 5; ++j) v[j] = src[lMem - lag + j];
    double alfa = 0;
    for (int j = lag - 5; j < lag; ++j, alfa += 0.2) v[j] = (1 - alfa) * src[lMem - lag + j] + alfa * src[lMem - 2 * lag + j];
    for (int j = lag; j < len; ++j) v[j] = src[lMem - 2 * lag + j];
  }
  return v;
}

TEST(IlbcCodebook, VectorsMatchAnIndependentTranscription) {
  std::mt19937 rng(11);
  for (int len : {22, 23, 40}) {
    const int lMem = len == 40 ? 147 : 85;
    std::vector<int16_t> mem(lMem);
    std::vector<double> memd(lMem);
    for (int i = 0; i < lMem; ++i) memd[i] = mem[i] = static_cast<int16_t>(std::uniform_int_distribution<int>(-8000, 8000)(rng));
    const int size = Ilbc_CodebookSize(lMem, len);
    EXPECT_EQ(len == 40 ? 256 : 2 * (lMem - len + 1), size);
    for (int index = 0; index < size; ++index) {
      int16_t v[40];
      Ilbc_GetCodebookVector(v, mem.data(), index, lMem, len);
      const auto ref = referenceVector(memd, index, len);
      for (int i = 0; i < len; ++i) ASSERT_NEAR(ref[i], v[i], 3.0) << "len " << len << " index " << index << " i " << i;
    }
  }
}

TEST(IlbcCodebook, GainQuantiser) {
  int16_t idx;
  // Half-way between two levels (Q14 0.5 and 0.75 of the 8-level table at scale 1) goes down.
  EXPECT_EQ(Ilbc_DequantizeGain(5, 16384, 2), Ilbc_QuantizeGain(10240, 16384, 2, &idx));
  EXPECT_EQ(5, idx);
  // A previous gain of 0 scales by 0.1, never by 0.
  EXPECT_EQ((kIlbcGainSq4[15] * 1638 + 8192) >> 14, Ilbc_DequantizeGain(15, 0, 1));
  EXPECT_EQ((kIlbcGainSq4[0] * 1638 + 8192) >> 14, Ilbc_DequantizeGain(0, -100, 1));
  // Quantise then dequantise agree for every level of every stage.
  for (int stage = 0; stage < 3; ++stage)
    for (int i = 0; i < (32 >> stage); ++i) {
      const int16_t g = Ilbc_DequantizeGain(i, 12000, stage);
      EXPECT_EQ(g, Ilbc_QuantizeGain(g, 12000, stage, &idx));
      EXPECT_EQ(g, Ilbc_DequantizeGain(idx, 12000, stage));
    }
}

TEST(IlbcCodebook, ZeroTargetTakesTheSmallestFirstGain) {
  int16_t mem[147];
  for (int i = 0; i < 147; ++i) mem[i] = static_cast<int16_t>(1000 * std::sin(i * 0.3));
  const int16_t target[40] = {};
  const int16_t unit[11] = {4096};
  int16_t index[3];
  int16_t gain[3];
  Ilbc_SearchCodebook(index, gain, target, mem, 147, 40, unit, 2);
  EXPECT_EQ(0, gain[0]) << "the smallest first-stage level";
}

TEST(IlbcCodebook, FindsACopiedSegment) {
  // A target cut from the memory is found at its lag with the expected gain.
  std::mt19937 rng(2);
  int16_t mem[147];
  for (auto& v : mem) v = static_cast<int16_t>(std::uniform_int_distribution<int>(-3000, 3000)(rng));
  const int16_t unit[11] = {4096};
  for (int offset : {0, 17, 60}) {
    int16_t target[40];
    for (int i = 0; i < 40; ++i) target[i] = mem[147 - 40 - offset + i];
    int16_t index[3];
    int16_t gain[3];
    Ilbc_SearchCodebook(index, gain, target, mem, 147, 40, unit, 3);
    EXPECT_EQ(offset, index[0]);
    int16_t out[40];
    Ilbc_ConstructCodebook(out, index, gain, mem, 147, 40);
    double e = 0, s = 0;
    for (int i = 0; i < 40; ++i) {
      s += double(target[i]) * target[i];
      e += double(target[i] - out[i]) * (target[i] - out[i]);
    }
    EXPECT_GT(10 * std::log10(s / e), 20.0) << offset;
  }
}

TEST(IlbcState, SortAndConstruct) {
  const int16_t levels[4] = {-100, 0, 100, 200};
  EXPECT_EQ(0, Ilbc_SortSq(-500, levels, 4));
  EXPECT_EQ(0, Ilbc_SortSq(-50, levels, 4)) << "the midpoint goes down";
  EXPECT_EQ(1, Ilbc_SortSq(-49, levels, 4));
  EXPECT_EQ(3, Ilbc_SortSq(500, levels, 4));
  // Scalar-quantised random states come back close to the residual they coded.
  IlbcFrameConstants c;
  Ilbc_SetConstants(&c, 30);
  const int16_t synt[22] = {4096, -3000, 1500, -400, 100, 0, 0, 0, 0, 0, 0, 4096};
  const int16_t weight[22] = {4096, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4096};
  std::mt19937 rng(9);
  for (int amp : {300, 3000}) {
    for (int first = 0; first < 2; ++first) {
      int16_t res[58];
      for (auto& v : res) v = static_cast<int16_t>(std::uniform_int_distribution<int>(-amp, amp)(rng));
      IlbcFrameParams p{};
      p.stateFirst = static_cast<int16_t>(first);
      Ilbc_SearchState(&c, &p, res, synt, weight);
      int16_t out[58];
      Ilbc_ConstructState(p.idxForMax, p.idxVec, synt, out, 58);
      double s = 0, e = 0;
      for (int i = 0; i < 58; ++i) {
        s += double(res[i]) * res[i];
        e += double(res[i] - out[i]) * (res[i] - out[i]);
      }
      EXPECT_GT(10 * std::log10(s / e), 10.0) << "amp " << amp;
    }
  }
  // A full-scale residual takes the largest scale index.
  int16_t loud[58];
  for (int i = 0; i < 58; ++i) loud[i] = i % 2 ? 32767 : -32768;
  IlbcFrameParams p{};
  Ilbc_SearchState(&c, &p, loud, weight, weight);
  EXPECT_EQ(63, p.idxForMax);
}

TEST(IlbcConceal, SilentHistoryConcealsSilently) {
  IlbcDecoder dec;
  Ilbc_DecoderInit(&dec, 20);
  int16_t exc[160];
  int16_t lpc[11];
  const uint16_t seed = dec.seed;
  Ilbc_ConcealBlock(exc, lpc, 1, nullptr, nullptr, dec.lastLag, &dec);
  for (int16_t v : exc) EXPECT_EQ(0, v);
  EXPECT_EQ(0, dec.prevVoicing);
  EXPECT_EQ(4096, lpc[0]);
  // The seed advanced once per sample.
  uint16_t s = seed;
  for (int i = 0; i < 160; ++i) s = static_cast<uint16_t>(s * 31821u + 13849u);
  EXPECT_EQ(s, dec.seed);
}

TEST(IlbcConceal, RunsReuseTheFirstLossAndFadeOut) {
  for (int mode : {20, 30}) {
    IlbcDecoder dec;
    Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
    const int bl = dec.c.blockLength;
    // A voiced history: pulses every 50 samples.
    int16_t good[240] = {};
    for (int i = 0; i < bl; i += 50) good[i] = 8000;
    const int16_t lpcIn[11] = {4096, -1000};
    int16_t exc[240];
    int16_t lpc[11];
    Ilbc_ConcealBlock(exc, lpc, 0, good, lpcIn, 50, &dec);
    EXPECT_EQ(0, std::memcmp(exc, good, sizeof(int16_t) * bl));
    EXPECT_EQ(0, dec.consecutiveLosses);
    double prevEnergy = 1e30;
    int lag = -1;
    int voicing = -1;
    for (int n = 1; n <= 4; ++n) {
      Ilbc_ConcealBlock(exc, lpc, 1, nullptr, nullptr, 50, &dec);
      EXPECT_EQ(n, dec.consecutiveLosses);
      EXPECT_EQ(0, std::memcmp(lpc, lpcIn, sizeof(lpc))) << "the last good LPC is reused";
      if (n == 1) {
        lag = dec.prevLag;
        voicing = dec.prevVoicing;
        EXPECT_NEAR(50, lag, 3);
        EXPECT_GT(voicing, 7869) << "a pulse train is fully voiced";
      } else {
        EXPECT_EQ(lag, dec.prevLag);
        EXPECT_EQ(voicing, dec.prevVoicing);
      }
      double e = 0;
      for (int i = 0; i < bl; ++i) e += double(exc[i]) * exc[i];
      EXPECT_LE(e, prevEnergy * 1.01) << "mode " << mode << " loss " << n;
      prevEnergy = e;
    }
    // A good block ends the run.
    Ilbc_ConcealBlock(exc, lpc, 0, good, lpcIn, 50, &dec);
    EXPECT_EQ(0, dec.consecutiveLosses);
    EXPECT_EQ(0, dec.prevLost);
  }
}

TEST(IlbcConceal, SearchesThreeBelowToThreeAboveTheGivenLag) {
  // Pulses every P samples; the search around `lag` finds P exactly when it lies in lag - 3 .. lag + 3.
  // The enhancer gives 19 after a concealed block with a period of 20.
  struct Case {
    int period;
    int lag;
  };
  for (const Case c : {Case{16, 19}, Case{22, 19}, Case{130, 133}, Case{154, 153}}) {
    IlbcDecoder dec;
    Ilbc_DecoderInit(&dec, 20);
    int16_t good[160] = {};
    for (int i = 159; i >= 0; i -= c.period) good[i] = 8000;
    for (int i = 158; i >= 0; i -= c.period) good[i] = -3000;
    const int16_t lpcIn[11] = {4096};
    int16_t exc[160];
    int16_t lpc[11];
    Ilbc_ConcealBlock(exc, lpc, 0, good, lpcIn, c.lag, &dec);
    Ilbc_ConcealBlock(exc, lpc, 1, nullptr, nullptr, c.lag, &dec);
    EXPECT_EQ(c.period, dec.prevLag) << "period " << c.period << " lag " << c.lag;
  }
}

TEST(IlbcEnhancer, SilenceStaysSilentAndPeriodsStayPut) {
  for (int mode : {20, 30}) {
    IlbcDecoder dec;
    Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
    int16_t zeros[240] = {};
    int16_t out[240];
    for (int n = 0; n < 6; ++n) {
      Ilbc_Enhance(out, zeros, &dec);
      for (int i = 0; i < dec.c.blockLength; ++i) ASSERT_EQ(0, out[i]);
    }
    for (int16_t p : dec.enhPeriod) EXPECT_EQ(160, p) << "mode " << mode;
  }
}

TEST(IlbcEnhancer, PeriodHistoryFollowsAPulseTrain) {
  for (int mode : {20, 30}) {
    IlbcDecoder dec;
    Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
    const int bl = dec.c.blockLength;
    int16_t in[240];
    int16_t out[240];
    int phase = 0;
    int lag = 0;
    double ei = 0, eo = 0;
    for (int n = 0; n < 8; ++n) {
      for (int i = 0; i < bl; ++i, ++phase) in[i] = static_cast<int16_t>(phase % 64 < 3 ? 6000 : 0);
      lag = Ilbc_Enhance(out, in, &dec);
      for (int i = 0; n >= 3 && i < bl; ++i) {
        ei += double(in[i]) * in[i];
        eo += double(out[i]) * out[i];
      }
    }
    EXPECT_NEAR(64, lag, 2);
    for (int16_t p : dec.enhPeriod) EXPECT_NEAR(4 * 64, p, 8) << "mode " << mode;
    // The enhanced output keeps the pulse train's energy.
    EXPECT_NEAR(1.0, eo / ei, 0.3);
  }
}

// The smoothing step in its fixed point: a surround of almost no energy, an error counted in steps
// of 8, and the matched surround C x surround with C in Q11.
TEST(IlbcEnhancer, SmoothingRules) {
  struct Case {
    const char* name;
    int16_t cur[2];  // even and odd samples
    int16_t sur[2];
    int16_t out[2];
  };
  const Case cases[] = {
      // The surround's normalised energy is below 65: C is 1, the first try is silence, far from the
      // block; the two are too alike for the constraint, so the block stays.
      {"faint surround", {20000, -20000}, {39, -40}, {20000, -20000}},
      // A block of values below 8 next to a silent surround has no error in steps of 8: the
      // surround (silence) is taken.
      {"small block, silent surround", {5, 5}, {0, 0}, {0, 0}},
      // Orthogonal to the block: no cross energy, the block stays.
      {"orthogonal surround", {8000, -8000}, {8000, 8000}, {8000, -8000}},
  };
  for (const Case& c : cases) {
    int16_t cur[80], sur[80], out[80];
    for (int i = 0; i < 80; ++i) {
      cur[i] = c.cur[i & 1];
      sur[i] = c.sur[i & 1];
    }
    Ilbc_Smooth(out, cur, sur);
    for (int i = 0; i < 80; ++i) ASSERT_EQ(c.out[i & 1], out[i]) << c.name << " at " << i;
  }
  // A third of the block: energies 2000000000 and 222177760 (shift 2), normalised 30517 and 3390,
  // C = sqrt((30517 << 6) / 3390 << 16) in Q11, about 3.0; out = (C x surround + 1024) >> 11.
  int16_t cur[80], sur[80], out[80];
  for (int i = 0; i < 80; ++i) {
    cur[i] = static_cast<int16_t>(i & 1 ? -10000 : 10000);
    sur[i] = static_cast<int16_t>(i & 1 ? -3333 : 3333);
  }
  Ilbc_Smooth(out, cur, sur);
  const int32_t c = Spl_SqrtW32(576 << 16);
  EXPECT_NEAR(6144, c, 2);
  for (int i = 0; i < 80; ++i) ASSERT_EQ((c * sur[i] + 1024) >> 11, out[i]) << i;
}

// A full-scale periodic excitation: the refiner's correlations stay inside their 32 bits and the
// block comes back as it was.
TEST(IlbcEnhancer, FullScalePeriodicBlockKeepsItsShape) {
  int16_t buffer[kIlbcEnhBufLength];
  for (int i = 0; i < kIlbcEnhBufLength; ++i) buffer[i] = static_cast<int16_t>(i % 40 < 20 ? 32000 : -32000);
  int16_t period[8];
  for (int16_t& p : period) p = 160;  // 40 samples in Q2
  int16_t out[80];
  Ilbc_EnhanceBlock(out, buffer, kIlbcEnhBufLength, 440, period, kIlbcEnhPlocs, 8);
  for (int i = 0; i < 80; ++i) ASSERT_NEAR(buffer[440 + i], out[i], 800) << i;
}

TEST(IlbcEnhancer, DownSampleRefusesShortInput) {
  int16_t in[20] = {};
  int16_t out[20];
  EXPECT_EQ(0, Ilbc_DownSample(in + 3, 17, out, 9, kIlbcLpFilt, 7, 2, 3));
  EXPECT_EQ(-1, Ilbc_DownSample(in + 3, 17, out, 10, kIlbcLpFilt, 7, 2, 3));
}

}  // namespace
