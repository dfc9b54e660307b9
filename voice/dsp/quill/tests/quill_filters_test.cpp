// Tests of Quill's filters: band split and transform, lattice LPC filters and Levinson, pitch filters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "voice/dsp/quill/quill_internal.h"
#include "voice/dsp/quill/tests/quill_speech.h"

namespace {

std::vector<int16_t> noise16(int n, double rms, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, rms);
  std::vector<int16_t> x(n);
  for (auto& v : x) v = static_cast<int16_t>(std::lround(std::clamp(nd(rng), -32768.0, 32767.0)));
  return x;
}

TEST(QuillBands, AnalysisThenSynthesisIsTheFixedHighPassDelayedBy48) {
  const std::vector<int16_t> x = noise16(48000, 3000.0, 1);
  QuillAnalysisBank a{};
  QuillSynthesisBank s{};
  std::vector<int16_t> y;
  for (size_t pos = 0; pos + kQuillHalf <= x.size(); pos += kQuillHalf) {
    float in[kQuillHalf], lo[kQuillBand], hi[kQuillBand], out[kQuillHalf];
    double alo[kQuillBand], ahi[kQuillBand];
    for (int i = 0; i < kQuillHalf; ++i) in[i] = x[pos + i];
    Quill_AnalysisBank(&a, in, lo, hi, alo, ahi);
    Quill_SynthesisBank(&s, lo, hi, out);
    for (float v : out) y.push_back(static_cast<int16_t>(std::lrint(v)));
  }
  const std::vector<double> ref = quilltest::fixedFilters(x);
  double e = 0, p = 0;
  for (size_t i = 4800; i + 48 < y.size(); ++i) {
    const double d = ref[i] - y[i + 48];
    e += d * d;
    p += ref[i] * ref[i];
  }
  EXPECT_GT(10 * std::log10(p / e), 50.0);  // the rest is the rounding of the output to integers
}

double bandPower(const float* v, int n) {
  double p = 0;
  for (int i = 0; i < n; ++i) p += double(v[i]) * v[i];
  return p;
}

TEST(QuillBands, ToneEnergyLandsInItsBandAndDcIsRemoved) {
  struct Case {
    double hz;
    bool lower;
  };
  for (const Case c : {Case{1000.0, true}, Case{6000.0, false}}) {
    QuillAnalysisBank a{};
    double loP = 0, hiP = 0, aheadLoP = 0, aheadHiP = 0;
    for (int half = 0; half < 20; ++half) {
      float in[kQuillHalf], lo[kQuillBand], hi[kQuillBand];
      double alo[kQuillBand], ahi[kQuillBand];
      for (int i = 0; i < kQuillHalf; ++i) in[i] = static_cast<float>(8000.0 * std::sin(2 * M_PI * c.hz * (half * kQuillHalf + i) / 16000.0));
      Quill_AnalysisBank(&a, in, lo, hi, alo, ahi);
      if (half < 4) continue;
      loP += bandPower(lo, kQuillBand);
      hiP += bandPower(hi, kQuillBand);
      for (int i = 0; i < kQuillBand; ++i) aheadLoP += alo[i] * alo[i], aheadHiP += ahi[i] * ahi[i];
    }
    const double ratio = c.lower ? loP / hiP : hiP / loP;
    const double aheadRatio = c.lower ? aheadLoP / aheadHiP : aheadHiP / aheadLoP;
    EXPECT_GT(10 * std::log10(ratio), 30.0) << c.hz;
    EXPECT_GT(10 * std::log10(aheadRatio), 30.0) << c.hz;
  }
  QuillAnalysisBank a{};
  float lo[kQuillBand], hi[kQuillBand];
  double alo[kQuillBand], ahi[kQuillBand];
  float dc[kQuillHalf];
  for (float& v : dc) v = 10000.0f;
  for (int half = 0; half < 30; ++half) Quill_AnalysisBank(&a, dc, lo, hi, alo, ahi);
  // The input high-pass holds a constant 32 dB down (its zeros sit just off DC).
  EXPECT_LT(std::sqrt(bandPower(lo, kQuillBand) / kQuillBand), 10000.0 * 0.03);
  EXPECT_LT(std::sqrt(bandPower(hi, kQuillBand) / kQuillBand), 1.0);
}

TEST(QuillBands, SynthesisOfSilenceDecaysFromItsStates) {
  QuillSynthesisBank s{};
  s.hp1[0] = 1000.0f;
  s.hp2[0] = -500.0f;
  s.a[0] = 300.0f;
  float zero[kQuillBand] = {};
  float out[kQuillHalf];
  Quill_SynthesisBank(&s, zero, zero, out);
  const double first = bandPower(out, kQuillHalf);
  for (int i = 0; i < 20; ++i) Quill_SynthesisBank(&s, zero, zero, out);
  const double later = bandPower(out, kQuillHalf);
  EXPECT_GT(first, 0.0);
  EXPECT_LT(later, first * 0.1);
}

TEST(QuillTransform, ForwardThenInverseRestoresTheBandsWithinSpectralRounding) {
  auto ws = std::make_unique<QuillFftWork>();
  std::mt19937 rng(4);
  std::normal_distribution<double> nd(0.0, 40.0);
  double lo[kQuillBand], hi[kQuillBand];
  for (int i = 0; i < kQuillBand; ++i) lo[i] = nd(rng), hi[i] = nd(rng);
  int16_t p[kQuillBand], q[kQuillBand];
  Quill_ForwardTransform(ws.get(), lo, hi, p, q);
  double x[kQuillBand], y[kQuillBand], lo2[kQuillBand], hi2[kQuillBand];
  for (int i = 0; i < kQuillBand; ++i) x[i] = p[i] / 128.0, y[i] = q[i] / 128.0;
  Quill_InverseTransform(ws.get(), x, y, lo2, hi2);
  double worst = 0.0;
  for (int i = 0; i < kQuillBand; ++i) worst = std::max({worst, std::fabs(lo[i] - lo2[i]), std::fabs(hi[i] - hi2[i])});
  // Each spectral value is rounded by at most 1/256; the transform pair is orthogonal up to a factor 2.
  EXPECT_LT(worst, 0.05);
  EXPECT_GT(worst, 0.0);
  // Energy: the spectrum carries half the bands' energy (Q7 scale aside).
  double eb = 0, es = 0;
  for (int i = 0; i < kQuillBand; ++i) eb += lo[i] * lo[i] + hi[i] * hi[i], es += x[i] * x[i] + y[i] * y[i];
  EXPECT_NEAR(es / eb, 0.5, 0.01);
}

// Random stable polynomial of the given order from reflection coefficients below 0.95.
void randomModel(std::mt19937& rng, int order, double* rec, double gain) {
  std::uniform_real_distribution<double> u(-0.95, 0.95);
  double a[13] = {1.0};
  for (int m = 1; m <= order; ++m) {
    const double k = u(rng);
    double t[13];
    for (int i = 1; i < m; ++i) t[i] = a[i] + k * a[m - i];
    for (int i = 1; i < m; ++i) a[i] = t[i];
    a[m] = k;
  }
  rec[0] = gain;
  for (int i = 1; i <= order; ++i) rec[i] = a[i];
}

TEST(QuillLattice, SynthesisUndoesAnalysisForTheSameModels) {
  std::mt19937 rng(8);
  for (int order : {kQuillOrderLo, kQuillOrderHi}) {
    std::vector<double> recs(kQuillSubBlocks * (order + 1));
    float encState[13] = {}, decState[13] = {};
    std::normal_distribution<double> nd(0.0, 1000.0);
    double worst = 0.0;
    for (int half = 0; half < 10; ++half) {
      for (int sb = 0; sb < kQuillSubBlocks; ++sb)
        randomModel(rng, order, &recs[sb * (order + 1)], 0.01 + 0.1 * (sb + 1));
      float in[kQuillBand], out[kQuillBand];
      double res[kQuillBand];
      for (float& v : in) v = static_cast<float>(nd(rng));
      Quill_AnalysisLattice(recs.data(), order, encState, in, res);
      Quill_SynthesisLattice(recs.data(), order, decState, res, out);
      for (int i = 0; i < kQuillBand; ++i) worst = std::max(worst, std::fabs(double(in[i]) - out[i]) / 1000.0);
    }
    EXPECT_LT(worst, 1e-3) << order;
  }
}

TEST(QuillLattice, AZeroModelWithGainOnePassesTheSignal) {
  double rec[kQuillSubBlocks][13] = {};
  for (auto& r : rec) r[0] = 1.0;
  float state[13] = {}, in[kQuillBand], out[kQuillBand];
  double res[kQuillBand];
  for (int i = 0; i < kQuillBand; ++i) in[i] = static_cast<float>(i * 3 - 200);
  Quill_AnalysisLattice(&rec[0][0], kQuillOrderLo, state, in, res);
  for (int i = 0; i < kQuillBand; ++i) EXPECT_EQ(res[i], in[i]);
  float dstate[13] = {};
  Quill_SynthesisLattice(&rec[0][0], kQuillOrderLo, dstate, res, out);
  for (int i = 0; i < kQuillBand; ++i) EXPECT_EQ(out[i], in[i]);
}

TEST(QuillLattice, AReflectionOfMagnitudeOneIsHeldInsideAndOutputsStayFinite) {
  // a6 = 1 (and worse) as a corrupt payload could describe.
  for (double k : {1.0, -1.0, 3.0, std::nan("")}) {
    double rec[kQuillSubBlocks][7] = {};
    for (auto& r : rec) {
      r[0] = 1.0;
      r[6] = k;
      r[1] = 0.5;
    }
    float ls[6], lc[6];
    EXPECT_FALSE(Quill_PolyToLattice(&rec[0][1], 6, ls, lc));
    for (int i = 0; i < 6; ++i) {
      EXPECT_TRUE(std::isfinite(ls[i]));
      EXPECT_GT(lc[i], 0.0f);
    }
    float state[7] = {}, dstate[7] = {}, in[kQuillBand], out[kQuillBand];
    double res[kQuillBand];
    for (int i = 0; i < kQuillBand; ++i) in[i] = static_cast<float>((i % 7) * 100);
    Quill_AnalysisLattice(&rec[0][0], 6, state, in, res);
    Quill_SynthesisLattice(&rec[0][0], 6, dstate, res, out);
    for (int i = 0; i < kQuillBand; ++i) ASSERT_TRUE(std::isfinite(out[i]));
  }
}

TEST(QuillLattice, SimpleLevinsonSolvesTheNormalEquations) {
  std::mt19937 rng(2);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<double> x(400);
  double prev = 0;
  for (double& v : x) v = prev = 0.8 * prev + nd(rng);
  double r[7];
  Quill_Autocorr(r, x.data(), 400, 6);
  double a[7], k[6];
  const double err = SimpleLevinson(a, k, r, 6);
  EXPECT_EQ(a[0], 1.0);
  // sum_j a_j r[|i - j|] = 0 for i = 1..6, and err for i = 0.
  for (int i = 0; i <= 6; ++i) {
    double s = 0;
    for (int j = 0; j <= 6; ++j) s += a[j] * r[std::abs(i - j)];
    EXPECT_NEAR(s, i == 0 ? err : 0.0, 1e-9 * r[0]) << i;
  }
  EXPECT_NEAR(k[5], a[6], 1e-15);
  // Ill-conditioned: zero polynomial, and a complaint unless r[0] is exactly 0.
  const double tiny[7] = {1e-12, 0, 0, 0, 0, 0, 0};
  testing::internal::CaptureStderr();
  EXPECT_EQ(SimpleLevinson(a, k, tiny, 6), 0.0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Ill condition in SimpleLevinson\n");
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(a[i], 0.0);
  const double zero[7] = {};
  testing::internal::CaptureStderr();
  SimpleLevinson(a, k, zero, 6);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(QuillPitchFilters, PostFilterWithGainsOver13UndoesThePreFilter) {
  std::mt19937 rng(6);
  std::normal_distribution<double> nd(0.0, 500.0);
  QuillPitchFilterState pre{}, post{};
  const double lagSets[3][4] = {{40.0, 41.3, 42.7, 44.0}, {44.0, 44.0, 44.0, 44.0}, {90.0, 91.0, 60.0, 58.5}};
  const double gains[4] = {0.3, 0.45, 0.2, 0.4};
  double postGains[4];
  for (int j = 0; j < 4; ++j) postGains[j] = gains[j] / 1.3;
  double worst = 0;
  for (int half = 0; half < 9; ++half) {
    double x[kQuillBand], y[kQuillBand], z[kQuillBand];
    for (double& v : x) v = nd(rng);
    Quill_PitchFilter(&pre, x, y, lagSets[half % 3], gains, false);
    Quill_PitchFilter(&post, y, z, lagSets[half % 3], postGains, true);
    for (int i = 0; i < kQuillBand; ++i) worst = std::max(worst, std::fabs(x[i] - z[i]));
  }
  EXPECT_LT(worst, 1e-9);
  EXPECT_DOUBLE_EQ(post.lastGain, gains[3]);
}

TEST(QuillPitchFilters, ZeroGainsPassTheSignal) {
  QuillPitchFilterState st{};
  const double lags[4] = {50, 50, 50, 50}, gains[4] = {0, 0, 0, 0};
  double x[kQuillBand], y[kQuillBand];
  for (int i = 0; i < kQuillBand; ++i) x[i] = std::sin(i * 0.3) * 100;
  Quill_PitchFilter(&st, x, y, lags, gains, false);
  for (int i = 0; i < kQuillBand; ++i) EXPECT_EQ(y[i], x[i]);
}

TEST(QuillPitchFilters, TrackRowsAndIntegerLags) {
  QuillPitchFilterState st{};
  st.lastLag = 50.0;
  st.lastGain = 0.3;
  QuillPitchTrack tr;
  // A constant whole-number lag: row 4 and integer lag K + 2 throughout.
  const double steady[4] = {50, 50, 50, 50}, g[4] = {0.3, 0.3, 0.3, 0.3};
  Quill_PitchTrackOf(&st, steady, g, 264, &tr);
  for (int n = 0; n < 264; ++n) {
    ASSERT_EQ(tr.row[n], 4);
    ASSERT_EQ(tr.lagInt[n], 52);
    ASSERT_DOUBLE_EQ(tr.gain[n], 0.3);
  }
  // A lag whose integer part rounds half-way up would ask for row 8: held at 7.
  st.lastLag = 37.5;
  const double half[4] = {37.5, 37.5, 37.5, 37.5};
  Quill_PitchTrackOf(&st, half, g, 240, &tr);
  EXPECT_EQ(tr.lagInt[0], 40);
  EXPECT_EQ(tr.row[0], 7);
  // A jump of the lag restarts the interpolation from the new values.
  st.lastLag = 30.0;
  st.lastGain = 0.0;
  const double jump[4] = {60, 60, 60, 60};
  Quill_PitchTrackOf(&st, jump, g, 240, &tr);
  EXPECT_EQ(tr.lagInt[0], 62);
  EXPECT_DOUBLE_EQ(tr.gain[0], 0.3);
  // Gain weights rise by 0.2 every 12 samples in their sub-frame and fall in the next.
  EXPECT_NEAR(tr.weight[0][0], 0.2, 1e-12);
  EXPECT_NEAR(tr.weight[0][59], 1.0, 1e-12);
  EXPECT_NEAR(tr.weight[0][60], 0.8, 1e-12);
  EXPECT_NEAR(tr.weight[1][60], 0.2, 1e-12);
  EXPECT_NEAR(tr.weight[0][119], 0.0, 1e-12);
}

TEST(QuillPitchFilters, TheLookAheadTailDoesNotAdvanceTheState) {
  QuillPitchFilterState a{}, b{};
  const double lags[4] = {45, 46, 47, 48}, gains[4] = {0.2, 0.3, 0.4, 0.3};
  double x[264], y[264], z[240];
  for (int i = 0; i < 264; ++i) x[i] = std::cos(i * 0.21) * 300;
  Quill_PitchPreFilterAhead(&a, x, y, lags, gains);
  Quill_PitchFilter(&b, x, z, lags, gains, false);
  for (int i = 0; i < 240; ++i) EXPECT_EQ(y[i], z[i]);
  EXPECT_EQ(std::memcmp(&a, &b, sizeof(a)), 0);
}

}  // namespace
