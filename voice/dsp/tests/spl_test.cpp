// Tests of the fixed-point primitives against 64-bit and floating-point references.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "voice/dsp/spl.h"

namespace {

// Reflection coefficients and predictor by the textbook recursion in double precision.
struct DoubleLpc {
  std::vector<double> k;
  std::vector<double> a;  // a[0] = 1
};
DoubleLpc levinsonDouble(const std::vector<double>& r, int order) {
  DoubleLpc out;
  out.a.assign(order + 1, 0.0);
  out.a[0] = 1.0;
  double err = r[0];
  for (int i = 1; i <= order; ++i) {
    double acc = r[i];
    for (int j = 1; j < i; ++j) acc += out.a[j] * r[i - j];
    const double k = -acc / err;
    std::vector<double> next = out.a;
    for (int j = 1; j < i; ++j) next[j] = out.a[j] + k * out.a[i - j];
    next[i] = k;
    out.a = next;
    out.k.push_back(k);
    err *= (1 - k * k);
  }
  return out;
}

// AR(2) noise with a clear spectral peak, 16-bit.
std::vector<int16_t> arNoise(int n, double amp, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<int16_t> x(n);
  double y1 = 0, y2 = 0;
  for (int i = 0; i < n; ++i) {
    const double y = 1.3 * y1 - 0.6 * y2 + nd(rng);
    y2 = y1;
    y1 = y;
    x[i] = static_cast<int16_t>(std::lround(std::clamp(y * amp, -32768.0, 32767.0)));
  }
  return x;
}

std::vector<int32_t> autocorr64(const std::vector<int16_t>& x, int order, int shift) {
  std::vector<int32_t> r(order + 1);
  for (int k = 0; k <= order; ++k) {
    int64_t s = 0;
    for (size_t i = 0; i + k < x.size(); ++i) s += (int32_t{x[i]} * x[i + k]) >> shift;
    r[k] = static_cast<int32_t>(static_cast<uint32_t>(s));
  }
  return r;
}

TEST(DspSpl, StatedEdgeValues) {
  EXPECT_EQ(Spl_DivW32ByW16(1234, 0), 0x7fffffff);
  EXPECT_EQ(Spl_DivW32ByW16ToW16(1234, 0), 32767);
  EXPECT_EQ(Spl_DivW32ByW16ToW16(70000, 1), 4464);
  EXPECT_EQ(Spl_DivW32ByW16(-7, 2), -3);
  EXPECT_EQ(Spl_NormW32(0), 0);
  EXPECT_EQ(Spl_NormW32(-1), 31);
  EXPECT_EQ(Spl_NormW32(1), 30);
  EXPECT_EQ(Spl_NormW32(0x40000000), 0);
  EXPECT_EQ(Spl_NormW32(INT32_MIN), 0);
  EXPECT_EQ(Spl_NormU32(0), 0);
  EXPECT_EQ(Spl_NormU32(1), 31);
  EXPECT_EQ(Spl_BitLength32(0), 0);
  EXPECT_EQ(Spl_BitLength32(1), 1);
  EXPECT_EQ(Spl_BitLength32(0xffffffffu), 32);
  EXPECT_EQ(Spl_AddSatW16(30000, 10000), 32767);
  EXPECT_EQ(Spl_SubSatW16(-30000, 10000), -32768);
  EXPECT_EQ(Spl_SubSatW32(INT32_MIN, 1), INT32_MIN);
  EXPECT_EQ(Spl_AddSatW32(INT32_MAX, 1), INT32_MAX);
  EXPECT_EQ(Spl_AddSatW32(INT32_MIN, -1), INT32_MIN);
  EXPECT_EQ(Spl_SubSatW32(INT32_MAX, -1), INT32_MAX);
  // Zero minus the most negative value is the largest positive one, not a wrap to the most negative.
  EXPECT_EQ(Spl_SubSatW32(0, INT32_MIN), INT32_MAX);
  EXPECT_EQ(Spl_SqrtW32(0), 0);
  uint32_t seed = 1;
  EXPECT_EQ(Spl_NextRandSeed(&seed), 69070u);
  EXPECT_EQ(seed, 69070u);
  EXPECT_EQ(Spl_HannTable[0], 1);
  EXPECT_EQ(Spl_HannTable[127], 8192);
  EXPECT_EQ(Spl_HannTable[255], 16384);
}

TEST(DspSpl, SaturationAndNormMatchWideReference) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int32_t> d32(INT32_MIN, INT32_MAX);
  std::uniform_int_distribution<int> d16(-32768, 32767);
  for (int t = 0; t < 200000; ++t) {
    const int32_t a = d32(rng) >> (t % 31);
    const int32_t b = d32(rng) >> ((t / 7) % 31);
    ASSERT_EQ(Spl_AddSatW32(a, b), std::clamp<int64_t>(int64_t{a} + b, INT32_MIN, INT32_MAX));
    ASSERT_EQ(Spl_SubSatW32(a, b), std::clamp<int64_t>(int64_t{a} - b, INT32_MIN, INT32_MAX));
    const int16_t x = static_cast<int16_t>(d16(rng)), y = static_cast<int16_t>(d16(rng));
    ASSERT_EQ(Spl_AddSatW16(x, y), std::clamp(x + y, -32768, 32767));
    ASSERT_EQ(Spl_SubSatW16(x, y), std::clamp(x - y, -32768, 32767));
    if (a > 0) {
      const int n = Spl_NormW32(a);
      const int64_t shifted = int64_t{a} << n;
      ASSERT_GE(shifted, int64_t{1} << 30);
      ASSERT_LT(shifted, int64_t{1} << 31);
      ASSERT_EQ(Spl_NormU32(static_cast<uint32_t>(a)), n + 1);
      ASSERT_EQ(Spl_BitLength32(static_cast<uint32_t>(a)), 31 - n);
    }
    if (b != 0) {
      ASSERT_EQ(Spl_DivW32ByW16(a, static_cast<int16_t>(b >> 16 | 1)), a / static_cast<int16_t>(b >> 16 | 1));
    }
  }
}

TEST(DspSpl, SquareRootWithinSeriesPrecision) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int32_t> d(1, INT32_MAX);
  std::vector<int32_t> vs = {1, 2, 3, 4, 15, 16, 255, 256, 65535, 65536, 1 << 30, INT32_MAX, 0x7fff8000};
  for (int i = 0; i < 200000; ++i) vs.push_back(d(rng) >> (i % 31));
  for (int32_t v : vs) {
    if (v <= 0) continue;
    const double exact = std::sqrt(static_cast<double>(v));
    const int32_t got = Spl_SqrtW32(v);
    // Five-term series and cleared low bits: within 0.2 % plus one unit.
    const double err = std::fabs(got - exact);
    ASSERT_LE(err, 1.0 + exact * 2e-3) << "v=" << v << " got=" << got;
  }
  EXPECT_EQ(Spl_SqrtW32(-4), 2);  // magnitude of a negative input
}

TEST(DspSpl, SquareRootFloorIsExactOver64Bits) {
  const uint64_t cases[][2] = {{0, 0},
                               {1, 1},
                               {3, 1},
                               {4, 2},
                               {99, 9},
                               {100, 10},
                               {(uint64_t{1} << 32) - 1, 65535},
                               {uint64_t{1} << 32, 65536},
                               {4294967295ull * 4294967295ull, 4294967295ull},
                               {UINT64_MAX, 4294967295ull}};
  for (const auto& c : cases) EXPECT_EQ(Spl_SqrtFloorU64(c[0]), c[1]) << c[0];
}

TEST(DspSpl, DivHiLowIsAccurateForNormalisedDenominators) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int32_t> dden(0x40010000, INT32_MAX);
  double worst = 0;
  for (int i = 0; i < 100000; ++i) {
    const int32_t den = dden(rng);
    std::uniform_int_distribution<int32_t> dnum(0, den - 1);
    const int32_t num = dnum(rng);
    const int16_t hi = static_cast<int16_t>(den >> 16);
    const int16_t lo = static_cast<int16_t>((den & 0xffff) >> 1);
    const double exact = static_cast<double>(num) / den * 2147483648.0;
    const double err = std::fabs(Spl_DivW32HiLow(num, hi, lo) - exact) / 2147483648.0;
    worst = std::max(worst, err);
  }
  EXPECT_LT(worst, 2e-4);
}

TEST(DspSpl, VectorOperationsKeepLow16BitsAndWrapSums) {
  const std::vector<int16_t> a = {32767, -32768, 1000, -5, 12345};
  const std::vector<int16_t> b = {32767, -32768, -1000, 3, 2};
  const int n = static_cast<int>(a.size());
  std::vector<int16_t> out(n);

  Spl_MulVectorsShift(out.data(), a.data(), b.data(), n, 2);
  for (int i = 0; i < n; ++i) EXPECT_EQ(out[i], static_cast<int16_t>((a[i] * b[i]) >> 2));
  Spl_MulReversedShift(out.data(), a.data(), b.data() + n - 1, n, 1);
  for (int i = 0; i < n; ++i) EXPECT_EQ(out[i], static_cast<int16_t>((a[i] * b[n - 1 - i]) >> 1));
  Spl_AddVectorsShift(out.data(), a.data(), b.data(), n, 0);
  for (int i = 0; i < n; ++i) EXPECT_EQ(out[i], static_cast<int16_t>(a[i] + b[i]));
  Spl_ScaleVectorShift(a.data(), out.data(), -16384, n, 14);
  for (int i = 0; i < n; ++i) EXPECT_EQ(out[i], static_cast<int16_t>((a[i] * -16384) >> 14));
  Spl_ScaleAddVectors(a.data(), 16384, 15, b.data(), 8192, 14, out.data(), n);
  for (int i = 0; i < n; ++i)
    EXPECT_EQ(out[i], static_cast<int16_t>(((a[i] * 16384) >> 15) + ((b[i] * 8192) >> 14)));

  // Two products of 2^30 wrap the 32-bit sum.
  EXPECT_EQ(Spl_DotProductShift(a.data(), b.data(), 2, 0),
            static_cast<int32_t>(uint32_t{0x3fff0001} + uint32_t{0x40000000}));
  EXPECT_EQ(Spl_DotProductShift(a.data(), b.data(), 0, 0), 0);

  std::vector<int32_t> w = {-8, 7, 0x40000000};
  std::vector<int32_t> wo(3);
  Spl_ShiftVectorW32(wo.data(), 3, w.data(), 2);
  EXPECT_EQ(wo, (std::vector<int32_t>{-2, 1, 0x10000000}));
  Spl_ShiftVectorW32(wo.data(), 3, w.data(), -2);
  EXPECT_EQ(wo, (std::vector<int32_t>{-32, 28, 0}));

  std::vector<int16_t> rev(4, 0);
  const int16_t src[3] = {1, 2, 3};
  Spl_CopyReversedW16(rev.data() + 3, src, 3);
  EXPECT_EQ(rev, (std::vector<int16_t>{0, 3, 2, 1}));
}

TEST(DspSpl, ZeroLengthLeavesOutputsUntouched) {
  std::vector<int16_t> out(4, 77);
  std::vector<int32_t> out32(4, 77);
  const int16_t in[4] = {1, 2, 3, 4};
  const int32_t in32[4] = {1, 2, 3, 4};
  Spl_MulVectorsShift(out.data(), in, in, 0, 0);
  Spl_AddVectorsShift(out.data(), in, in, -1, 0);
  Spl_ScaleVectorShift(in, out.data(), 3, 0, 0);
  Spl_ScaleAddVectors(in, 1, 0, in, 1, 0, out.data(), 0);
  Spl_FillW16(out.data(), 5, 0);
  Spl_FillHannWindow(out.data(), 0);
  Spl_CopyTailW16(in, 4, 0, out.data(), 4);
  Spl_ShiftVectorW32(out32.data(), 0, in32, 1);
  Spl_FillW32(out32.data(), 9, -3);
  EXPECT_EQ(Spl_ZeroW16(out.data(), 0), 0);
  EXPECT_EQ(out, std::vector<int16_t>(4, 77));
  EXPECT_EQ(out32, std::vector<int32_t>(4, 77));
  EXPECT_EQ(Spl_ZeroW16(out.data(), 3), 3);
  EXPECT_EQ(out, (std::vector<int16_t>{0, 0, 0, 77}));
  EXPECT_EQ(Spl_MaxAbsValueW16(in, 0), 0);
  EXPECT_EQ(Spl_AutoCorr(in, 0, 2, out32.data()), 0);
  EXPECT_EQ(out32, std::vector<int32_t>(4, 77));
}

TEST(DspSpl, CopyTailNeverWritesPastCapacity) {
  const int16_t in[6] = {1, 2, 3, 4, 5, 6};
  int16_t out[5] = {0, 0, 0, -1, -1};
  Spl_CopyTailW16(in, 6, 3, out, 3);
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(out[2], 6);
  EXPECT_EQ(out[3], -1);
  // Asked for more than fits: only the newest `capacity` values.
  Spl_CopyTailW16(in, 6, 5, out, 3);
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(out[2], 6);
  EXPECT_EQ(out[3], -1);
}

TEST(DspSpl, ExtremaTiesKeepEarliest) {
  const int32_t v[6] = {3, 9, -4, 9, -4, 1};
  EXPECT_EQ(Spl_MaxValueW32(v, 6), 9);
  EXPECT_EQ(Spl_MinValueW32(v, 6), -4);
  EXPECT_EQ(Spl_MaxValueIndexW32(v, 6), 1);
  EXPECT_EQ(Spl_MinValueIndexW32(v, 6), 2);
  EXPECT_EQ(Spl_MaxValueIndexW32(v, 1), 0);
  const int16_t s[4] = {-7, 5, -32768, 5};
  EXPECT_EQ(Spl_MaxValueW16(s, 4), 5);
  EXPECT_EQ(Spl_MaxValueW16(s, 1), -7);
  // -32768 has no 16-bit magnitude: the largest one is reported.
  EXPECT_EQ(Spl_MaxAbsValueW16(s, 4), 32767);
}

TEST(DspSpl, AutoCorrScalingKeepsSumsInRange) {
  for (double amp : {3.0, 300.0, 3000.0, 12000.0}) {
    const auto x = arNoise(240, amp, 5);
    int32_t m = 0;
    for (int16_t v : x) m = std::max(m, std::abs(int32_t{v}));
    const int expectShift = std::max(0, Spl_BitLength32(240) - Spl_NormW32(m * m));
    std::vector<int32_t> r(11);
    int scale = -1;
    EXPECT_EQ(Spl_AutoCorrScaled(x.data(), 240, 10, r.data(), &scale), 11);
    EXPECT_EQ(scale, expectShift);
    EXPECT_EQ(r, autocorr64(x, 10, scale));
    EXPECT_GT(r[0], 0);
    int es = -1;
    const int32_t e = Spl_EnergyW16(x.data(), 240, &es);
    EXPECT_EQ(es, expectShift);
    EXPECT_EQ(e, r[0]);
  }
  // An order below 0 means every lag; the last one has no terms.
  const int16_t s[3] = {100, 200, 300};
  std::vector<int32_t> r(4, -1);
  EXPECT_EQ(Spl_AutoCorr(s, 3, -1, r.data()), 4);
  EXPECT_EQ(r, (std::vector<int32_t>{140000, 80000, 30000, 0}));
}

TEST(DspSpl, SchurAndLevinsonAgreeWithDoubleRecursion) {
  for (unsigned seed : {1u, 2u, 3u}) {
    const auto x = arNoise(320, 800.0, seed);
    const int order = 10;
    std::vector<int32_t> r(order + 1);
    Spl_AutoCorr(x.data(), 320, order, r.data());
    const DoubleLpc ref = levinsonDouble(std::vector<double>(r.begin(), r.end()), order);

    std::vector<int16_t> kSchur(order), kLev(order), a(order + 1);
    Spl_AutoCorrToRefl(r.data(), order, kSchur.data());
    ASSERT_EQ(Spl_LevinsonDurbin(r.data(), a.data(), kLev.data(), order), 1);
    EXPECT_EQ(a[0], 4096);
    for (int i = 0; i < order; ++i) {
      EXPECT_NEAR(kLev[i] / 32768.0, ref.k[i], 2e-3) << "levinson k" << i;
      EXPECT_NEAR(kSchur[i] / 32768.0, ref.k[i], 3e-2) << "schur k" << i;  // 16-bit recursion
    }
    for (int j = 1; j <= order; ++j) EXPECT_NEAR(a[j] / 4096.0, ref.a[j], 3e-3) << "a" << j;

    // The polynomial rebuilt from the coefficients matches the direct one.
    std::vector<int16_t> a2(order + 1), a3(order + 1);
    Spl_ReflToLpcRounded(kLev.data(), order, a2.data());
    Spl_ReflToLpc(kLev.data(), order, a3.data());
    for (int j = 0; j <= order; ++j) {
      EXPECT_NEAR(a2[j], a[j], 3) << "rounded a" << j;
      EXPECT_NEAR(a3[j], a[j], 8) << "truncated a" << j;
    }
  }
}

TEST(DspSpl, SchurStopsOnUnstableOrBoundaryInput) {
  const int32_t bad[4] = {1000, -1001, 10, 10};
  int16_t k[3] = {5, 5, 5};
  Spl_AutoCorrToRefl(bad, 3, k);
  EXPECT_EQ(k[0], 0);
  EXPECT_EQ(k[1], 0);
  EXPECT_EQ(k[2], 0);
  // So large that normalising it would overflow.
  const int32_t huge[3] = {1000, -2000000, 10};
  k[0] = k[1] = 5;
  Spl_AutoCorrToRefl(huge, 2, k);
  EXPECT_EQ(k[0], 0);
  EXPECT_EQ(k[1], 0);

  const int32_t edge[2] = {1 << 20, -(1 << 20)};
  Spl_AutoCorrToRefl(edge, 1, k);
  EXPECT_EQ(k[0], 32767);

  const int32_t zero[3] = {0, 0, 0};
  Spl_AutoCorrToRefl(zero, 2, k);
  EXPECT_EQ(k[0], 0);
  EXPECT_EQ(k[1], 0);
}

TEST(DspSpl, LevinsonRefusesNearUnitCoefficient) {
  // Correlation of a pure tone: the second coefficient reaches 1.
  std::vector<int32_t> r(5);
  for (int i = 0; i < 5; ++i) r[i] = static_cast<int32_t>(std::lround((1 << 28) * std::cos(0.3 * i)));
  std::vector<int16_t> a(5, -99), k(4, -99);
  EXPECT_EQ(Spl_LevinsonDurbin(r.data(), a.data(), k.data(), 4), 0);
  EXPECT_NE(k[0], -99);                       // written before the stop
  EXPECT_EQ(a[0], -99);                       // the polynomial is not written
  EXPECT_GT(std::abs(int32_t{k[1]}), 32750);  // the coefficient that stopped it

  const int32_t zero[3] = {0, 0, 0};
  EXPECT_EQ(Spl_LevinsonDurbin(zero, a.data(), k.data(), 2), 0);
}

TEST(DspSpl, FilterArMatchesDoubleAndCarriesStateAcrossCalls) {
  std::vector<int16_t> k = {-26000, 18000, -6000, 3000};
  const int order = 4;
  std::vector<int16_t> a(order + 1);
  Spl_ReflToLpcRounded(k.data(), order, a.data());
  const auto x = arNoise(400, 40.0, 9);

  // One call.
  std::vector<int16_t> hs(order, 0), ls(order, 0), hi(400), lo(400);
  EXPECT_EQ(Spl_FilterAR(a.data(), order + 1, x.data(), 400, hs.data(), order, ls.data(), order, hi.data(),
                         lo.data()),
            400);
  // The same signal in uneven pieces, some shorter than the state.
  std::vector<int16_t> hs2(order, 0), ls2(order, 0), hi2(400), lo2(400);
  for (int pos = 0, step = 1; pos < 400; pos += step, step = step % 37 + 2) {
    const int n = std::min(step, 400 - pos);
    Spl_FilterAR(a.data(), order + 1, x.data() + pos, n, hs2.data(), order, ls2.data(), order, hi2.data() + pos,
                 lo2.data() + pos);
  }
  EXPECT_EQ(hi, hi2);
  EXPECT_EQ(lo, lo2);
  EXPECT_EQ(hs, hs2);

  // Against a double-precision all-pole filter with the same Q12 coefficients.
  std::vector<double> y(400, 0.0);
  double worst = 0;
  for (int i = 0; i < 400; ++i) {
    double acc = x[i];
    for (int j = 1; j <= order; ++j)
      if (i - j >= 0) acc -= a[j] / 4096.0 * y[i - j];
    y[i] = acc;
    worst = std::max(worst, std::fabs(hi[i] + lo[i] / 4096.0 - acc));
  }
  EXPECT_LT(worst, 1.0);
}

TEST(DspSpl, HannWindowAndNoiseTable) {
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(Spl_HannTable[i], std::lround(16384 * std::pow(std::sin(M_PI * (i + 1) / 512), 2))) << i;
  std::vector<int16_t> w(256);
  Spl_FillHannWindow(w.data(), 256);
  EXPECT_TRUE(std::equal(w.begin(), w.end(), Spl_HannTable));
  Spl_FillHannWindow(w.data(), 128);
  for (int i = 0; i < 128; ++i) EXPECT_EQ(w[i], Spl_HannTable[2 * i + 1]);
  std::vector<int16_t> big(1000);
  Spl_FillHannWindow(big.data(), 1000);
  EXPECT_EQ(big[999], Spl_HannTable[255]);
  EXPECT_TRUE(std::is_sorted(big.begin(), big.end()));

  // The noise table follows the window table and has the stated statistics.
  EXPECT_EQ(&Spl_HannTable[0] + 256, &Spl_NoiseTable[0]);
  double sum = 0, sq = 0;
  for (int16_t v : Spl_NoiseTable) {
    sum += v;
    sq += static_cast<double>(v) * v;
  }
  EXPECT_NEAR(sum / 256, 0.0, 50.0);
  EXPECT_NEAR(std::sqrt(sq / 256), 7880.0, 100.0);
  EXPECT_EQ(*std::min_element(Spl_NoiseTable, Spl_NoiseTable + 256), -22760);
  EXPECT_EQ(*std::max_element(Spl_NoiseTable, Spl_NoiseTable + 256), 23319);
}

TEST(DspSpl, RandomGeneratorStaysIn31Bits) {
  uint32_t seed = 0x7fffffff;
  for (int i = 0; i < 100000; ++i) {
    const uint32_t prev = seed;
    const uint32_t next = Spl_NextRandSeed(&seed);
    ASSERT_EQ(next, (prev * 69069u + 1u) & 0x7fffffffu);
    ASSERT_EQ(next & 0x80000000u, 0u);
  }
  uint32_t s1 = 42, s2 = 42;
  const int16_t g = Spl_RandGaussian(&s1);
  EXPECT_EQ(g, Spl_NoiseTable[Spl_NextRandSeed(&s2) >> 23]);
  EXPECT_EQ(s1, s2);
}

}  // namespace
