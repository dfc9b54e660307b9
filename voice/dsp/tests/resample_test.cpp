// Tests of the resampling blocks and of the rate chains the engine builds from them, measured on tones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "voice/dsp/resample.h"
#include "voice/dsp/spl.h"

namespace {

using Signal = std::vector<int16_t>;
using Chain = std::function<Signal(const Signal&)>;

// ---- Chains as the engine builds them ------------------------------------------------------------

// Halving with the Q16 filters, in 10-ms blocks of the input.
Chain halve(int blockIn) {
  return [blockIn](const Signal& x) {
    int32_t st[kResampleStateWords] = {};
    Signal y(x.size() / 2);
    for (size_t p = 0; p + blockIn <= x.size(); p += blockIn) Resample_DownBy2(x.data() + p, blockIn, y.data() + p / 2, st);
    return y;
  };
}

Signal halveShort(const Signal& x) {
  int32_t st[kResampleStateWords] = {};
  std::vector<int32_t> scratch(160);
  Signal y(x.size() / 2);
  for (size_t p = 0; p + 160 <= x.size(); p += 160)
    Resample_DownBy2Short(x.data() + p, 160, y.data() + p / 2, scratch.data(), st);
  return y;
}

Signal doubleToShort(const Signal& x) {
  int32_t st[kResampleStateWords] = {};
  std::vector<int32_t> t(160);
  Signal y(x.size() * 2);
  for (size_t p = 0; p + 80 <= x.size(); p += 80) {
    Resample_UpBy2ShortToInt(x.data() + p, 80, t.data(), st);
    for (int i = 0; i < 160; ++i) y[2 * p + i] = Spl_SatW16(t[i]);
  }
  return y;
}

// 48 kHz -> 16 kHz in 10-ms blocks: low-pass, 3:2 with an 8-sample carry-over, halving.
Signal from48To16(const Signal& x) {
  int32_t lp[kResampleLowpassStateWords] = {};
  int32_t dn[kResampleStateWords] = {};
  std::vector<int32_t> buf(8 + 480, 0), mid(320);
  Signal y(x.size() / 3);
  for (size_t p = 0; p + 480 <= x.size(); p += 480) {
    Resample_LowpassBy2(x.data() + p, 480, buf.data() + 8, lp);
    Resample_3To2(buf.data(), mid.data(), 160);
    std::copy(buf.end() - 8, buf.end(), buf.begin());
    Resample_DownBy2Int(mid.data(), 320, y.data() + p / 3, dn);
  }
  return y;
}

// 16 kHz -> 48 kHz in 10-ms blocks: doubling, 4:3 with an 8-sample carry-over, doubling.
Signal from16To48(const Signal& x) {
  int32_t up1[kResampleStateWords] = {};
  int32_t up2[kResampleStateWords] = {};
  std::vector<int32_t> buf(8 + 320, 0), mid(240);
  Signal y(x.size() * 3);
  for (size_t p = 0; p + 160 <= x.size(); p += 160) {
    Resample_UpBy2ShortToInt(x.data() + p, 160, buf.data() + 8, up1);
    Resample_4To3(buf.data(), mid.data(), 80);
    std::copy(buf.end() - 8, buf.end(), buf.begin());
    Resample_UpBy2IntToShort(mid.data(), 240, y.data() + p * 3, up2);
  }
  return y;
}

// The fractional stage of the file resampler: buffers inputs until a block can be filtered.
Signal fractional(const std::vector<int32_t>& in, int need, int advance, int outCount,
                  void (*stage)(const int32_t*, int32_t*, int)) {
  Signal y;
  std::vector<int32_t> buf;
  int32_t out[8];
  for (int32_t v : in) {
    buf.push_back(v);
    if (static_cast<int>(buf.size()) >= need) {
      stage(buf.data(), out, 1);
      for (int i = 0; i < outCount; ++i) y.push_back(Spl_SatW16(out[i] >> 15));
      buf.erase(buf.begin(), buf.begin() + advance);
    }
  }
  return y;
}

std::vector<int32_t> widen(const Signal& x) { return {x.begin(), x.end()}; }
std::vector<int32_t> doubled(const Signal& x) {
  int32_t st[kResampleStateWords] = {};
  std::vector<int32_t> y(x.size() * 2);
  for (size_t p = 0; p < x.size(); p += 80) {
    const int n = static_cast<int>(std::min<size_t>(80, x.size() - p));
    Resample_UpBy2ShortToInt(x.data() + p, n, y.data() + 2 * p, st);
  }
  return y;
}
Signal by11To8(const std::vector<int32_t>& x) { return fractional(x, 18, 11, 8, Resample_11To8); }
Signal by3To2(const std::vector<int32_t>& x) { return fractional(x, 9, 3, 2, Resample_3To2); }

// ---- Measurements ----------------------------------------------------------------------------------

Signal tone(int rate, double f, double amp, int n) {
  Signal x(n);
  for (int i = 0; i < n; ++i) x[i] = static_cast<int16_t>(std::lround(amp * std::sin(2 * M_PI * f * i / rate)));
  return x;
}

// Least-squares fit of a sinusoid at f; returns its amplitude and the RMS of what is left.
struct Fit {
  double amplitude;
  double residualRms;
};
Fit fitTone(const Signal& y, int rate, double f, size_t start) {
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (size_t i = start; i < y.size(); ++i) {
    const double s = std::sin(2 * M_PI * f * i / rate), c = std::cos(2 * M_PI * f * i / rate);
    ss += s * s;
    cc += c * c;
    sc += s * c;
    ys += y[i] * s;
    yc += y[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  double p = 0;
  for (size_t i = start; i < y.size(); ++i) {
    const double e = y[i] - a * std::sin(2 * M_PI * f * i / rate) - b * std::cos(2 * M_PI * f * i / rate);
    p += e * e;
  }
  return {std::hypot(a, b), std::sqrt(p / double(y.size() - start))};
}

double rmsFrom(const Signal& y, size_t start) {
  double p = 0;
  for (size_t i = start; i < y.size(); ++i) p += double(y[i]) * y[i];
  return std::sqrt(p / double(y.size() - start));
}

double db(double ratio) { return 20 * std::log10(ratio + 1e-12); }

struct RatePair {
  std::string name;
  int inRate, outRate;
  Chain chain;
  std::vector<double> passTones;  // Hz, kept: gain within maxRippleDb, residual below maxResidualDb
  double maxRippleDb;
  double maxResidualDb;           // images, aliases and rounding left beside a passband tone
  std::vector<double> stopTones;  // Hz, above the new band: output at least minRejectionDb down
  double minRejectionDb;
};

// Every rate pair the engine converts. The file paths through the fractional 11:8 and 3:2 stages have
// no anti-alias filter of their own, so only their halving or doubling stage is held to a rejection.
std::vector<RatePair> ratePairs() {
  const std::vector<double> narrow = {100, 300, 1000, 2000, 3000, 3400};
  const std::vector<double> wide = {100, 300, 1000, 2000, 3400, 5000, 6000, 7000};
  const std::vector<double> fileBand = {100, 300, 1000, 2000, 3400, 5000};
  return {
      {"16k->8k halve", 16000, 8000, halve(160), narrow, 0.05, -70, {4500, 5000, 6000, 7000}, 60},
      {"16k->8k halve short", 16000, 8000, halveShort, narrow, 0.05, -70, {4500, 5000, 6000, 7000}, 60},
      {"32k->16k halve", 32000, 16000, halve(320), wide, 0.05, -70, {9000, 10000, 12000, 15000}, 60},
      {"8k->16k double", 8000, 16000, doubleToShort, narrow, 0.05, -70, {}, 0},
      {"48k->16k", 48000, 16000, from48To16, wide, 0.1, -60, {9000, 10000, 12000, 16000, 20000, 23000}, 60},
      {"16k->48k", 16000, 48000, from16To48, wide, 0.15, -60, {}, 0},
      {"22k->16k file", 22000, 16000, [](const Signal& x) { return by11To8(widen(x)); }, fileBand, 0.05, -60, {}, 0},
      {"24k->16k file", 24000, 16000, [](const Signal& x) { return by3To2(widen(x)); }, fileBand, 0.1, -60, {}, 0},
      {"11k->16k file", 11000, 16000, [](const Signal& x) { return by11To8(doubled(x)); }, fileBand, 0.05, -60, {}, 0},
      {"12k->16k file", 12000, 16000, [](const Signal& x) { return by3To2(doubled(x)); }, fileBand, 0.1, -60, {}, 0},
      {"44k->16k file", 44000, 16000, [](const Signal& x) { return by11To8(widen(halve(440)(x))); }, fileBand, 0.05,
       -60, {12000, 14000, 16000, 20000}, 60},
      {"48k->16k file", 48000, 16000, [](const Signal& x) { return by3To2(widen(halve(480)(x))); }, fileBand, 0.1,
       -60, {14000, 16000, 20000}, 60},
  };
}

TEST(DspResample, EveryRatePairPassesItsBandAndRejectsAliases) {
  constexpr double kAmp = 16000;  // -6 dBFS peak
  for (const RatePair& r : ratePairs()) {
    const size_t settle = r.outRate / 20;  // skip 50 ms of filter start-up
    for (double f : r.passTones) {
      const Signal y = r.chain(tone(r.inRate, f, kAmp, r.inRate / 2));
      ASSERT_GT(y.size(), settle * 4) << r.name;
      const Fit fit = fitTone(y, r.outRate, f, settle);
      EXPECT_NEAR(db(fit.amplitude / kAmp), 0.0, r.maxRippleDb) << r.name << " at " << f << " Hz";
      EXPECT_LT(db(fit.residualRms / (kAmp / std::sqrt(2.0))), r.maxResidualDb) << r.name << " at " << f << " Hz";
    }
    for (double f : r.stopTones) {
      const Signal y = r.chain(tone(r.inRate, f, kAmp, r.inRate / 2));
      EXPECT_LT(db(rmsFrom(y, settle) / (kAmp / std::sqrt(2.0))), -r.minRejectionDb) << r.name << " at " << f << " Hz";
    }
  }
}

TEST(DspResample, ConstantInputKeepsItsLevel) {
  const Signal dc(4800, 1000);
  for (const RatePair& r : ratePairs()) {
    const Signal y = r.chain(Signal(r.inRate / 5, 1000));
    ASSERT_FALSE(y.empty()) << r.name;
    EXPECT_NEAR(y.back(), 1000, 5) << r.name;  // the FIR stages' DC gain is up to 32883/32768
  }
  Signal y(2400);
  int32_t st[kResampleStateWords] = {};
  Resample_DownBy2(dc.data(), 4800, y.data(), st);
  EXPECT_EQ(y.back(), 1000);
}

TEST(DspResample, FirStagesCarryTheirDcGainAndRounding) {
  std::vector<int32_t> in(40, 1000);
  std::vector<int32_t> out(24);
  Resample_3To2(in.data(), out.data(), 2);
  EXPECT_EQ(out[0], 1000 * 32883 + 16384);
  EXPECT_EQ(out[3], 1000 * 32883 + 16384);
  Resample_4To3(in.data(), out.data(), 2);
  EXPECT_EQ(out[0], 1000 * 32838 + 16384);
  EXPECT_EQ(out[1], 1000 * 32842 + 16384);
  EXPECT_EQ(out[5], 1000 * 32838 + 16384);
  Resample_11To8(in.data(), out.data(), 2);
  for (int i : {0, 1, 2, 3, 5, 6, 7, 8, 15}) EXPECT_EQ(out[i], 1000 * 32768 + 16384) << i;
  EXPECT_EQ(out[4], 1000 * 32770 + 16384);
  EXPECT_EQ(out[12], 1000 * 32770 + 16384);
  // Zero blocks write nothing.
  std::fill(out.begin(), out.end(), 7);
  Resample_3To2(in.data(), out.data(), 0);
  Resample_4To3(in.data(), out.data(), 0);
  Resample_11To8(in.data(), out.data(), 0);
  EXPECT_EQ(out, std::vector<int32_t>(24, 7));
}

// Feeding a signal in uneven pieces gives exactly what one call gives: the state carries everything.
TEST(DspResample, PiecewiseEqualsOneShot) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> d(-32768, 32767);
  Signal x(960);
  for (auto& v : x) v = static_cast<int16_t>(d(rng));
  const std::vector<int> pieces = {2, 6, 160, 80, 2, 318, 392};  // even, sum 960

  auto halving = [&](auto run) {
    Signal one(480), parts(480);
    int32_t s1[kResampleStateWords] = {}, s2[kResampleStateWords] = {};
    run(x.data(), 960, one.data(), s1);
    for (int pos = 0; int n : pieces) {
      run(x.data() + pos, n, parts.data() + pos / 2, s2);
      pos += n;
    }
    EXPECT_EQ(one, parts);
  };
  halving([](const int16_t* in, int n, int16_t* out, int32_t* st) { Resample_DownBy2(in, n, out, st); });
  halving([](const int16_t* in, int n, int16_t* out, int32_t* st) {
    std::vector<int32_t> scratch(n);
    Resample_DownBy2Short(in, n, out, scratch.data(), st);
  });
  halving([](const int16_t* in, int n, int16_t* out, int32_t* st) {
    std::vector<int32_t> wide(n);
    for (int i = 0; i < n; ++i) wide[i] = in[i] * 32768 + 16384;
    Resample_DownBy2Int(wide.data(), n, out, st);
  });

  {
    std::vector<int32_t> one(960), parts(960);
    int32_t s1[kResampleLowpassStateWords] = {}, s2[kResampleLowpassStateWords] = {};
    Resample_LowpassBy2(x.data(), 960, one.data(), s1);
    for (int pos = 0; int n : pieces) {
      Resample_LowpassBy2(x.data() + pos, n, parts.data() + pos, s2);
      pos += n;
    }
    EXPECT_EQ(one, parts);
  }
  {
    std::vector<int32_t> one(1920), parts(1920);
    int32_t s1[kResampleStateWords] = {}, s2[kResampleStateWords] = {};
    Resample_UpBy2ShortToInt(x.data(), 960, one.data(), s1);
    for (int pos = 0; int n : {1, 7, 160, 3, 789}) {
      Resample_UpBy2ShortToInt(x.data() + pos, n, parts.data() + 2 * pos, s2);
      pos += n;
    }
    EXPECT_EQ(one, parts);

    Signal o1(3840), o2(3840);
    int32_t t1[kResampleStateWords] = {}, t2[kResampleStateWords] = {};
    Resample_UpBy2IntToShort(one.data(), 1920, o1.data(), t1);
    for (int pos = 0; int n : {1, 919, 1000}) {
      Resample_UpBy2IntToShort(one.data() + pos, n, o2.data() + 2 * pos, t2);
      pos += n;
    }
    EXPECT_EQ(o1, o2);
  }
}

TEST(DspResample, ShortCountsDoNothing) {
  const int16_t in[2] = {1000, -1000};
  const int32_t in32[2] = {1000, -1000};
  int16_t out[4] = {7, 7, 7, 7};
  int32_t out32[4] = {7, 7, 7, 7};
  int32_t scratch[2] = {7, 7};
  int32_t st[kResampleLowpassStateWords] = {};
  int32_t wide[2] = {1, 2};
  Resample_DownBy2(in, 1, out, st);
  Resample_DownBy2Short(in, 1, out, scratch, st);
  Resample_DownBy2Int(wide, 1, out, st);
  Resample_LowpassBy2(in, 1, out32, st);
  Resample_UpBy2ShortToInt(in, 0, out32, st);
  Resample_UpBy2IntToShort(in32, 0, out, st);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(out[i], 7);
    EXPECT_EQ(out32[i], 7);
  }
  EXPECT_EQ(wide[0], 1);
  for (int32_t s : st) EXPECT_EQ(s, 0);
}

// Full-scale input clips at the 16-bit limits and never wraps: the output of a full-scale signal equals
// twice the output of the same signal at half scale, clipped, within rounding.
TEST(DspResample, FullScaleInputSaturatesWithoutWrapping) {
  Signal square(3840), nyquist(3840);
  for (size_t i = 0; i < square.size(); ++i) {
    square[i] = (i / 48) % 2 ? int16_t{-32768} : int16_t{32767};
    nyquist[i] = (i % 2) ? int16_t{-32768} : int16_t{32767};
  }
  const std::vector<std::pair<std::string, Chain>> chains = {
      {"halve", halve(160)},       {"halve short", halveShort}, {"double", doubleToShort},
      {"48k->16k", from48To16},    {"16k->48k", from16To48},
      {"22k->16k file", [](const Signal& x) { return by11To8(widen(x)); }}};
  for (const auto& [name, chain] : chains) {
    for (const Signal* input : {&square, &nyquist}) {
      Signal half(input->size());
      for (size_t i = 0; i < half.size(); ++i) half[i] = static_cast<int16_t>((*input)[i] / 2);
      const Signal full = chain(*input);
      const Signal small = chain(half);
      ASSERT_EQ(full.size(), small.size());
      int worst = 0;
      for (size_t j = 0; j < full.size(); ++j)
        worst = std::max(worst, std::abs(full[j] - Spl_SatW16(2 * int32_t{small[j]})));
      EXPECT_LE(worst, 8) << name << (input == &square ? " square" : " alternating");
    }
    const Signal y = chain(square);
    EXPECT_EQ(*std::max_element(y.begin(), y.end()), 32767) << name;  // the ringing overshoot is clipped
    EXPECT_EQ(*std::min_element(y.begin(), y.end()), -32768) << name;
  }
}

}  // namespace
