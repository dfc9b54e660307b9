// Tests of comfort noise: SID timing and content, refused input, and the level kept through SID and noise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "voice/dsp/cng.h"

namespace {

struct Encoder {
  CngEncoderInst* inst = nullptr;
  Encoder() { EXPECT_EQ(Cng_CreateEncoder(&inst), 0); }
  ~Encoder() { Cng_FreeEncoder(inst); }
};
struct Decoder {
  CngDecoderInst* inst = nullptr;
  Decoder() {
    EXPECT_EQ(Cng_CreateDecoder(&inst), 0);
    EXPECT_EQ(Cng_DecoderInit(inst), 0);
  }
  ~Decoder() { Cng_FreeDecoder(inst); }
};

// Noise at a given RMS level in dBFS (0 dBFS = RMS of 32767); colour > 0 gives a low-pass tilt.
std::vector<int16_t> noise(int n, double dbfs, double colour, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<double> v(n);
  double y = 0;
  for (int i = 0; i < n; ++i) v[i] = y = colour * y + nd(rng);
  double p = 0;
  for (double s : v) p += s * s;
  const double gain = 32767.0 * std::pow(10.0, dbfs / 20.0) / std::sqrt(p / n);
  std::vector<int16_t> x(n);
  for (int i = 0; i < n; ++i) x[i] = static_cast<int16_t>(std::lround(std::clamp(v[i] * gain, -32768.0, 32767.0)));
  return x;
}

double lagOneCorrelation(const int16_t* x, int n) {
  double r0 = 0, r1 = 0;
  for (int i = 1; i < n; ++i) {
    r0 += double(x[i]) * x[i];
    r1 += double(x[i]) * x[i - 1];
  }
  return r0 > 0 ? r1 / r0 : 0;
}

double levelDbfs(const int16_t* x, int n) {
  double p = 0;
  for (int i = 0; i < n; ++i) p += double(x[i]) * x[i];
  return 10 * std::log10(p / n / (32767.0 * 32767.0) + 1e-20);
}

TEST(DspCng, VersionText) {
  char text[32];
  EXPECT_EQ(Cng_Version(text), 0);
  EXPECT_STREQ(text, "Sonra CNG 1.0.4\n");
}

TEST(DspCng, EncoderInitRefusesOrdersOutsideTheLagWindow) {
  Encoder e;
  EXPECT_EQ(Cng_EncoderInit(e.inst, 8000, 100, 13), -1);
  EXPECT_EQ(e.inst->errorCode, CNG_ERROR_BAD_ORDER);
  // A refused init leaves no usable encoder behind.
  int16_t frame[80] = {};
  uint8_t sid[16];
  int16_t len = 5;
  EXPECT_EQ(Cng_Encode(e.inst, frame, 80, sid, &len, 1), -1);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(Cng_EncoderInit(e.inst, 8000, 100, 0), -1);
  EXPECT_EQ(Cng_EncoderInit(e.inst, 8000, 100, 12), 0);
  EXPECT_EQ(e.inst->initMarker, 7777);
  EXPECT_EQ(Cng_Encode(e.inst, frame, 80, sid, &len, 1), 13);
  EXPECT_EQ(len, 13);
  // Frames longer than the analysis buffer are refused, not overrun.
  std::vector<int16_t> big(kCngMaxFrame + 1, 0);
  EXPECT_EQ(Cng_Encode(e.inst, big.data(), static_cast<int16_t>(big.size()), sid, &len, 1), -1);
  EXPECT_EQ(len, 0);
}

TEST(DspCng, UpdateSidRefusesEmptyPayload) {
  Decoder d;
  const uint8_t sid[3] = {40, 10, 20};
  ASSERT_EQ(Cng_UpdateSid(d.inst, sid, 3), 0);
  const int32_t target = d.inst->targetEnergy;
  EXPECT_EQ(Cng_UpdateSid(d.inst, sid, 0), -1);
  EXPECT_EQ(d.inst->errorCode, CNG_ERROR_EMPTY_SID);
  EXPECT_EQ(Cng_UpdateSid(d.inst, nullptr, 3), -1);
  EXPECT_EQ(Cng_UpdateSid(d.inst, sid, -2), -1);
  // The refused payloads changed nothing.
  EXPECT_EQ(d.inst->order, 2);
  EXPECT_EQ(d.inst->targetEnergy, target);
  EXPECT_EQ(d.inst->targetRefl[0], 10 << 8);

  CngDecoderInst raw{};
  EXPECT_EQ(Cng_UpdateSid(&raw, sid, 3), -1);  // never initialised
  int16_t out[80];
  EXPECT_EQ(Cng_Generate(&raw, out, 80, 1), -1);
}

TEST(DspCng, SidTimingAtTheInterval) {
  Encoder e;
  ASSERT_EQ(Cng_EncoderInit(e.inst, 8000, 100, 12), 0);
  const auto x = noise(80 * 40, -50, 0.5, 1);
  uint8_t sid[13];
  std::vector<int> sidFrames;
  for (int f = 1; f <= 40; ++f) {
    int16_t len = -1;
    const int16_t r = Cng_Encode(e.inst, x.data() + (f - 1) * 80, 80, sid, &len, 0);
    EXPECT_EQ(r, len);
    if (len > 0) {
      EXPECT_EQ(len, 13);
      sidFrames.push_back(f);
    }
  }
  EXPECT_EQ(sidFrames, (std::vector<int>{11, 21, 31}));

  // A forced SID goes out at once and restarts the interval.
  int16_t len = 0;
  EXPECT_EQ(Cng_Encode(e.inst, x.data(), 80, sid, &len, 1), 13);
  for (int f = 1; f <= 9; ++f) {
    Cng_Encode(e.inst, x.data(), 80, sid, &len, 0);
    EXPECT_EQ(len, 0) << f;
  }
  Cng_Encode(e.inst, x.data(), 80, sid, &len, 0);
  EXPECT_EQ(len, 13);
}

TEST(DspCng, SilentFrameGivesIndex94AndZeroCoefficients) {
  Encoder e;
  ASSERT_EQ(Cng_EncoderInit(e.inst, 8000, 100, 12), 0);
  int16_t frame[80] = {};
  uint8_t sid[13];
  std::memset(sid, 0xAA, sizeof sid);
  int16_t len = 0;
  ASSERT_EQ(Cng_Encode(e.inst, frame, 80, sid, &len, 1), 13);
  EXPECT_EQ(sid[0], 94);
  for (int i = 1; i < 13; ++i) EXPECT_EQ(sid[i], 0) << i;
}

TEST(DspCng, LoudFrameDoesNotOverflowTheEnergy) {
  Encoder e;
  ASSERT_EQ(Cng_EncoderInit(e.inst, 8000, 100, 12), 0);
  for (int n : {80, 160, 320, 640}) {
    // Full-scale square-ish noise: energy per sample near 2^30.
    std::vector<int16_t> x(n);
    std::mt19937 rng(n);
    for (auto& v : x) v = (rng() & 1) ? 32767 : -32768;
    uint8_t sid[13];
    int16_t len = 0;
    ASSERT_EQ(Cng_Encode(e.inst, x.data(), static_cast<int16_t>(n), sid, &len, 1), 13) << n;
    EXPECT_EQ(sid[0], 1) << n;
    EXPECT_GT(e.inst->energy, 1000000000) << n;
  }
}

TEST(DspCng, CoefficientNearPlusOneDoesNotWrapInTheSid) {
  Encoder e;
  ASSERT_EQ(Cng_EncoderInit(e.inst, 8000, 100, 1), 0);
  // An alternating signal: the first reflection coefficient is just below +1.
  std::vector<int16_t> x(160);
  for (int i = 0; i < 160; ++i) x[i] = static_cast<int16_t>((i & 1) ? -12000 : 12000);
  uint8_t sid[2];
  int16_t len = 0;
  ASSERT_EQ(Cng_Encode(e.inst, x.data(), 160, sid, &len, 1), 2);
  EXPECT_GT(e.inst->refl[0], 32640);  // would round up to 128 and wrap
  EXPECT_EQ(sid[1], 0x7F);
}

TEST(DspCng, DecoderReadsIndexAndCoefficients) {
  Decoder d;
  // Energy index above 93 plays at 93.
  const uint8_t loud[1] = {120};
  ASSERT_EQ(Cng_UpdateSid(d.inst, loud, 1), 0);
  const int32_t at120 = d.inst->targetEnergy;
  const uint8_t idx93[1] = {93};
  ASSERT_EQ(Cng_UpdateSid(d.inst, idx93, 1), 0);
  EXPECT_EQ(d.inst->targetEnergy, at120);
  const uint8_t idx0[1] = {0};
  ASSERT_EQ(Cng_UpdateSid(d.inst, idx0, 1), 0);
  EXPECT_EQ(d.inst->targetEnergy, 1081109975 / 2 + 1081109975 / 2 / 4);

  // A 20-byte SID uses its first 12 coefficients; bytes are signed upper bytes.
  std::vector<uint8_t> sid(20);
  sid[0] = 50;
  for (int i = 1; i < 20; ++i) sid[i] = static_cast<uint8_t>(i * 13);
  ASSERT_EQ(Cng_UpdateSid(d.inst, sid.data(), 20), 0);
  EXPECT_EQ(d.inst->order, 19);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(d.inst->targetRefl[i], static_cast<int16_t>(sid[i + 1] << 8)) << i;
  EXPECT_EQ(d.inst->targetRefl[12], 0);
  EXPECT_LT(d.inst->targetRefl[9], 0);  // byte 130 is negative

  // A 1-byte SID clears every coefficient: white noise.
  ASSERT_EQ(Cng_UpdateSid(d.inst, idx93, 1), 0);
  for (int i = 0; i < 13; ++i) EXPECT_EQ(d.inst->targetRefl[i], 0);
}

// Loud comfort noise needs a gain above 16 bits; it must keep its level rather than wrap.
TEST(DspCng, LoudSidPlaysAtItsLevel) {
  Decoder d;
  const uint8_t sid[1] = {3};
  ASSERT_EQ(Cng_UpdateSid(d.inst, sid, 1), 0);
  std::vector<int16_t> out(8000);
  for (int f = 0; f < 100; ++f) ASSERT_EQ(Cng_Generate(d.inst, out.data() + f * 80, 80, f == 0), 0);
  EXPECT_GT(d.inst->curGain, 32767);
  // Target: 5/8 of index 3's energy per sample.
  const double expect = 10 * std::log10(0.625 * 541838517.0 / (32767.0 * 32767.0));
  EXPECT_NEAR(levelDbfs(out.data() + 4000, 4000), expect, 1.5);
}

TEST(DspCng, OneByteSidPlaysWhiteNoise) {
  Decoder d;
  const uint8_t sid[1] = {40};
  ASSERT_EQ(Cng_UpdateSid(d.inst, sid, 1), 0);
  std::vector<int16_t> out(8000);
  Cng_Generate(d.inst, out.data(), 80, 1);
  for (int f = 0; f < 100; ++f) ASSERT_EQ(Cng_Generate(d.inst, out.data() + f * 80, 80, 0), 0);
  double r0 = 0, r1 = 0;
  for (int i = 1; i < 8000; ++i) {
    r0 += double(out[i]) * out[i];
    r1 += double(out[i]) * out[i - 1];
  }
  EXPECT_GT(r0, 0);
  EXPECT_LT(std::fabs(r1 / r0), 0.05);
}

// SID encode -> decode keeps the level from -30 to -70 dBFS, for white and coloured noise, at 8 and 16 kHz.
// The decoder aims at 5/8 of the SID level's energy, so the noise plays about 2.5 dB below the input;
// integer rounding of the gain at the quietest levels costs up to 2 dB more.
TEST(DspCng, LevelSurvivesSidRoundTrip) {
  constexpr double kNominalDb = -2.5;
  constexpr double kToleranceDb = 2.5;
  struct Case {
    int rate;
    double colour;
  };
  for (const Case c : {Case{8000, 0.0}, Case{8000, 0.8}, Case{16000, 0.0}, Case{16000, 0.9}}) {
    const int frame = c.rate / 100;
    for (double dbfs : {-30.0, -40.0, -50.0, -60.0, -70.0}) {
      Encoder e;
      Decoder d;
      ASSERT_EQ(Cng_EncoderInit(e.inst, static_cast<int16_t>(c.rate), 100, 12), 0);
      const auto x = noise(frame * 50, dbfs, c.colour, static_cast<unsigned>(-dbfs));
      std::vector<int16_t> out(frame * 200);
      bool first = true;
      int produced = 0;
      for (int f = 0; f < 50; ++f) {
        uint8_t sid[13];
        int16_t len = 0;
        ASSERT_GE(Cng_Encode(e.inst, x.data() + f * frame, static_cast<int16_t>(frame), sid, &len, first ? 1 : 0),
                  0);
        if (len > 0) {
          ASSERT_EQ(Cng_UpdateSid(d.inst, sid, len), 0);
        }
        ASSERT_EQ(Cng_Generate(d.inst, out.data() + produced, static_cast<int16_t>(frame), first ? 1 : 0), 0);
        produced += frame;
        first = false;
      }
      for (int f = 50; f < 200; ++f, produced += frame)
        ASSERT_EQ(Cng_Generate(d.inst, out.data() + produced, static_cast<int16_t>(frame), 0), 0);
      // Measure after the smoothing has settled.
      const double got = levelDbfs(out.data() + frame * 40, frame * 160);
      const double in = levelDbfs(x.data(), static_cast<int>(x.size()));
      EXPECT_NEAR(got - in, kNominalDb, kToleranceDb) << "rate " << c.rate << " colour " << c.colour << " at " << dbfs;
      // The spectral tilt comes through as well.
      EXPECT_NEAR(lagOneCorrelation(out.data() + frame * 40, frame * 160),
                  lagOneCorrelation(x.data(), static_cast<int>(x.size())), 0.15)
          << "rate " << c.rate << " colour " << c.colour << " at " << dbfs;
    }
  }
}

TEST(DspCng, LongFramesAndZeroCounts) {
  Decoder a, b;
  const uint8_t sid[5] = {45, 0xA0, 0x30, 0xF0, 0x10};
  ASSERT_EQ(Cng_UpdateSid(a.inst, sid, 5), 0);
  ASSERT_EQ(Cng_UpdateSid(b.inst, sid, 5), 0);
  // 480 samples (longer than the internal block) in one call; a zero count before it changes nothing.
  std::vector<int16_t> one(480), other(480, 5);
  ASSERT_EQ(Cng_Generate(a.inst, one.data(), 480, 1), 0);
  EXPECT_EQ(Cng_Generate(b.inst, other.data(), 0, 1), 0);
  EXPECT_EQ(other, std::vector<int16_t>(480, 5));
  ASSERT_EQ(Cng_Generate(b.inst, other.data(), 480, 1), 0);
  EXPECT_EQ(one, other);
  // The second half is as loud as the first: the filter memory runs on across internal blocks.
  EXPECT_NEAR(levelDbfs(one.data() + 240, 240), levelDbfs(one.data(), 240), 3.0);
}

}  // namespace
