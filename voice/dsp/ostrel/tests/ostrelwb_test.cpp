// Tests of the Ostrel wideband codec: band split and merge, upper-band frames, packets and hostile input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "voice/dsp/ostrel/ostrel_range.h"
#include "voice/dsp/ostrel/ostrel_tables.h"
#include "voice/dsp/ostrel/ostrelwb.h"
#include "voice/dsp/ostrel/tests/ostrel_signals.h"

namespace {

using ostrel_test::Sine;
using ostrel_test::SpeechLike;

double SnrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, size_t from = 0) {
  double s = 0;
  double e = 0;
  for (size_t i = from; i < ref.size() && i < test.size(); ++i) {
    s += static_cast<double>(ref[i]) * ref[i];
    e += (static_cast<double>(ref[i]) - test[i]) * (static_cast<double>(ref[i]) - test[i]);
  }
  return 10 * std::log10(s / (e + 1e-9));
}

// Split then merge with no coding in between.
std::vector<int16_t> SplitMerge(const std::vector<int16_t>& x) {
  OstrelWbAllPass sp{}, sq{}, mp{}, mq{};
  std::vector<int16_t> y(x.size());
  for (size_t f = 0; f + 160 <= x.size(); f += 160) {
    int16_t lo[80], up[80];
    OstrelWb_SplitBands(&sp, &sq, &x[f], lo, up);
    OstrelWb_MergeBands(&mp, &mq, lo, up, &y[f]);
  }
  return y;
}

// The same all-pass cascade in double precision: what a perfect split and merge gives.
std::vector<double> AllPassReference(const std::vector<int16_t>& x) {
  const double c[6] = {6418, 36982, 57261, 21333, 49062, 63010};
  double xs[2][6] = {}, ys[2][6] = {};
  std::vector<double> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const int ph = static_cast<int>(i & 1);
    double v = x[i];
    for (int k = 0; k < 6; ++k) {
      const double out = xs[ph][k] + c[k] / 65536.0 * (v - ys[ph][k]);
      xs[ph][k] = v;
      ys[ph][k] = out;
      v = out;
    }
    y[i] = v;
  }
  return y;
}

struct Coded {
  std::vector<std::vector<uint8_t>> packets;
};

Coded Encode(int frames, const std::vector<int16_t>& x) {
  OstrelWbCodec enc;
  EXPECT_EQ(OstrelWb_Init(&enc, static_cast<int16_t>(160 * frames)), 0);
  Coded c;
  for (size_t f = 0; f + 160 <= x.size(); f += 160) {
    uint8_t packet[kOstrelWbMaxPacketBytes];
    int16_t bytes = -1, needed = -1;
    EXPECT_EQ(OstrelWb_Encode(&enc, &x[f], packet, &bytes, &needed), 0);
    EXPECT_LE(bytes, enc.maxPacketBytes);
    if (bytes > 0) c.packets.emplace_back(packet, packet + bytes);
  }
  return c;
}

std::vector<int16_t> Decode(const Coded& c) {
  OstrelWbCodec dec;
  EXPECT_EQ(OstrelWb_Init(&dec, 160), 0);
  std::vector<int16_t> out;
  for (const auto& p : c.packets) {
    std::vector<uint8_t> payload(p);
    int16_t pcm[640];
    int16_t type = 0;
    const int r = OstrelWb_Decode(&dec, payload.data(), static_cast<int32_t>(payload.size()), pcm, &type);
    EXPECT_GT(r, 0) << "error " << dec.errorCode;
    if (r <= 0) break;
    EXPECT_EQ(type, 1);
    out.insert(out.end(), pcm, pcm + r);
    EXPECT_EQ(payload, p) << "the decoder changed the caller's payload";
  }
  return out;
}

// ---- Band split and merge ------------------------------------------------------------------------

TEST(OstrelWbBands, SplitMergeMatchesTheAllPassReference) {
  const auto x = SpeechLike(16000, 16000);
  const auto y = SplitMerge(x);
  const auto ref = AllPassReference(x);
  double s = 0, e = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    s += ref[i] * ref[i];
    e += (ref[i] - y[i]) * (ref[i] - y[i]);
  }
  const double snr = 10 * std::log10(s / e);
  EXPECT_GT(snr, 50.0) << "split and merge add only rounding";
}

TEST(OstrelWbBands, SinesKeepTheirLevel) {
  for (double hz : {300.0, 1000.0, 3000.0, 3900.0, 4100.0, 5000.0, 7000.0}) {
    const auto x = Sine(16000, 16000, hz, 10000.0);
    const auto y = SplitMerge(x);
    double px = 0, py = 0;
    for (size_t i = 4000; i < x.size(); ++i) {
      px += static_cast<double>(x[i]) * x[i];
      py += static_cast<double>(y[i]) * y[i];
    }
    EXPECT_NEAR(10 * std::log10(py / px), 0.0, 0.1) << hz << " Hz";
  }
}

TEST(OstrelWbBands, LowAndHighToneLandInTheirBands) {
  for (auto [hz, lowBand] : {std::pair{500.0, true}, std::pair{7000.0, false}}) {
    const auto x = Sine(3200, 16000, hz, 10000.0);
    OstrelWbAllPass p{}, q{};
    double el = 0, eu = 0;
    for (size_t f = 0; f + 160 <= x.size(); f += 160) {
      int16_t lo[80], up[80];
      OstrelWb_SplitBands(&p, &q, &x[f], lo, up);
      if (f < 1600) continue;
      for (int i = 0; i < 80; ++i) {
        el += static_cast<double>(lo[i]) * lo[i];
        eu += static_cast<double>(up[i]) * up[i];
      }
    }
    EXPECT_GT(lowBand ? el / eu : eu / el, 1000.0) << hz;
  }
}

// ---- Upper-band frames ---------------------------------------------------------------------------

// A reset clears the band-splitting filters too: after it the encoder splits as a fresh one does.
TEST(OstrelWbBands, ResetClearsTheSplitFilters) {
  const auto noise = ostrel_test::WhiteNoise(480, 8000.0);
  OstrelWbCodec used{};
  OstrelWbCodec fresh{};
  ASSERT_EQ(OstrelWb_Init(&used, 160), 0);
  ASSERT_EQ(OstrelWb_Init(&fresh, 160), 0);
  uint8_t packet[kOstrelWbMaxPacketBytes];
  int16_t bytes = 0, needed = 0;
  for (int f = 0; f < 3; ++f) OstrelWb_Encode(&used, noise.data() + 160 * f, packet, &bytes, &needed);
  ASSERT_EQ(OstrelWb_Reset(&used), 0);
  int16_t lowA[80], highA[80], lowB[80], highB[80];
  OstrelWb_SplitBands(&used.splitP, &used.splitQ, noise.data(), lowA, highA);
  OstrelWb_SplitBands(&fresh.splitP, &fresh.splitQ, noise.data(), lowB, highB);
  EXPECT_EQ(0, std::memcmp(lowA, lowB, sizeof lowA));
  EXPECT_EQ(0, std::memcmp(highA, highB, sizeof highA));
}

TEST(OstrelWbUpper, GainTableEnds) {
  for (int i = 0; i <= 32; ++i) EXPECT_EQ(kOstrelWbGain[i], i + 4);
  EXPECT_EQ(kOstrelWbGain[121], 1392);
  EXPECT_EQ(kOstrelWbGain[127], 17184);
  for (int i = 0; i < 127; ++i) EXPECT_LT(kOstrelWbGain[i], kOstrelWbGain[i + 1]);
  EXPECT_EQ(kOstrelWbWindow[0], 2621);
  EXPECT_EQ(kOstrelWbWindow[39], 17248);
}

TEST(OstrelWbUpper, GainQuantiserMatchesASearchIn64Bits) {
  auto brute = [](int64_t e) {
    int best = 0;
    for (int i = 0; i < 128; ++i)
      if (80 * int64_t{kOstrelWbGain[i]} * kOstrelWbGain[i] <= e) best = i;
    return best;
  };
  std::vector<int64_t> energies = {0, 1, 1279, 1280, 1999, 2000, 80LL * 17184 * 17184 - 1, 80LL * 17184 * 17184,
                                   INT64_C(1) << 40, 1440000000, 2147483647};
  for (int i = 0; i < 128; ++i) {
    const int64_t b = 80 * int64_t{kOstrelWbGain[i]} * kOstrelWbGain[i];
    energies.insert(energies.end(), {b - 1, b, b + 1});
  }
  for (int64_t e : energies) {
    int16_t g, idx;
    OstrelWb_QuantizeGain(e, &g, &idx);
    EXPECT_EQ(idx, brute(e)) << e;
    EXPECT_EQ(g, kOstrelWbGain[idx]);
  }
  int16_t g, idx;
  OstrelWb_QuantizeGain(1999, &g, &idx);
  EXPECT_EQ(idx, 0);
  OstrelWb_QuantizeGain(80LL * 17184 * 17184, &g, &idx);
  EXPECT_EQ(idx, 127);
}

// The upper band's gain: a residual whose running energy passes 1440000000 is a transient, and each
// later passing raises the gain index from 124; below the mark the gain follows the energy.
TEST(OstrelWbUpper, TransientGainRule) {
  struct Case {
    int loud;          // leading samples at 32767, the rest 0
    int16_t level;     // or, with loud 0, every sample at this level
    bool transient;
    int index;
  };
  const Case cases[] = {
      {1, 0, false, -1},    // 1073676289: below the mark
      {2, 0, true, 124},    // passes once
      {3, 0, true, 125},
      {4, 0, true, 126},
      {5, 0, true, 127},
      {12, 0, true, 127},   // the index stops at the table's end
      {0, 4000, false, 124},  // 80 x 4000^2 = 1280000000: from the energy, 80 x 3000^2 <= it
      {0, 4300, true, 124},   // passes at the 78th sample and not again
      {0, 0, false, 0},
  };
  for (const Case& c : cases) {
    int16_t res[80];
    for (int n = 0; n < 80; ++n) res[n] = c.loud ? (n < c.loud ? 32767 : 0) : c.level;
    int16_t gain = 0, index = 0;
    bool transient = !c.transient;
    OstrelWb_UpperGain(res, &gain, &index, &transient);
    EXPECT_EQ(c.transient, transient) << c.loud << "/" << c.level;
    if (c.index >= 0) {
      EXPECT_EQ(c.index, index) << c.loud << "/" << c.level;
    } else {
      int64_t energy = 0;
      for (int16_t r : res) energy += int32_t{r} * r;
      int16_t g2, i2;
      OstrelWb_QuantizeGain(energy, &g2, &i2);
      EXPECT_EQ(i2, index);
    }
    EXPECT_EQ(kOstrelWbGain[index], gain);
  }
}

// The residual divided by the gain through its normalised inverse 0x3FFFFFFF / gain, rounded, and
// limited to -15..15.
TEST(OstrelWbUpper, ResidualScaling) {
  struct Case {
    int16_t residual, gain, value;
  };
  const Case cases[] = {
      {100, 10, 10}, {16, 10, 2},  {14, 10, 1},   {-16, 10, -2},  {15, 10, 1},  // the inverse is truncated: 1.5 gives 1
      {-15, 10, -1}, {0, 4, 0},    {9, 4, 2},     {1000, 4, 15},  {-1000, 4, -15},
      {32767, 17184, 2}, {-32768, 17184, -2}, {3000, 3000, 1},
  };
  for (const Case& c : cases) {
    int16_t res[80] = {};
    res[7] = c.residual;
    int16_t v[80];
    const int peak = OstrelWb_ScaleResidual(res, c.gain, v);
    EXPECT_EQ(c.value, v[7]) << c.residual << " / " << c.gain;
    EXPECT_EQ(c.value < 0 ? -c.value : c.value, peak);
  }
}

TEST(OstrelWbUpper, FramesRoundTripInBothForms) {
  std::mt19937 rng(3);
  for (int mode = 0; mode < 4; ++mode) {
    const int lim = OstrelWb_ModeLimit(mode);
    for (int trial = 0; trial < 50; ++trial) {
      int16_t v[40];
      // Mostly small values, as a gain near the residual's level gives, with a few at the mode's limit.
      for (auto& x : v) x = static_cast<int16_t>(static_cast<int>(rng() % 5) - 2);
      if (trial % 5 == 0) v[rng() % 40] = static_cast<int16_t>(trial % 2 ? lim : -lim);
      if (trial % 7 == 0)
        for (auto& x : v) x = static_cast<int16_t>(static_cast<int>(rng() % (2 * lim + 1)) - lim);
      const uint32_t lpc = rng() & 0x1FFFFF;
      const int gain = static_cast<int>(rng() % 128);
      uint8_t frame[kOstrelWbUpperMaxBytes + 8];
      const int len = OstrelWb_PackUpperFrame(frame, gain, mode, lpc, v);
      ASSERT_GE(len, 5);
      ASSERT_LE(len, kOstrelWbUpperMaxBytes);
      EXPECT_EQ(len == kOstrelWbUpperMaxBytes, frame[0] < 128) << "byte 0 below 128 means 29 bytes";
      OstrelWbUpperFrame f;
      ASSERT_EQ(OstrelWb_UnpackUpperFrame(&f, frame, len), len);
      EXPECT_EQ(f.gainIndex, gain);
      EXPECT_EQ(f.lpcBits, lpc);
      for (int i = 0; i < 40; ++i) ASSERT_EQ(f.values[i], v[i]);
      std::vector<uint8_t> cut(frame, frame + len - 1);
      EXPECT_LE(OstrelWb_UnpackUpperFrame(&f, cut.data(), len - 1), len - 1) << "read only as far as it goes";
      if (len == kOstrelWbUpperMaxBytes) {
        EXPECT_EQ(OstrelWb_UnpackUpperFrame(&f, cut.data(), len - 1), 0);
      }
    }
  }
  // Values outside every compressed mode's symbols still travel, uncompressed.
  int16_t v[40] = {};
  v[3] = -16;
  uint8_t frame[kOstrelWbUpperMaxBytes];
  ASSERT_EQ(OstrelWb_PackUpperFrame(frame, 5, 3, 0, v), 29);
  OstrelWbUpperFrame f;
  ASSERT_EQ(OstrelWb_UnpackUpperFrame(&f, frame, 29), 29);
  EXPECT_EQ(f.values[3], -16);
}

// A compressed frame is read with a budget from the bytes left, not from the 29 bytes an encoder writes
// at most: a range code of 26 bytes or more decodes wherever the bytes left hold it, and a frame longer
// than the bytes left is refused.
TEST(OstrelWbUpper, RangeCodeBudgetFollowsTheBytesLeft) {
  static constexpr int32_t kMode3[] = {0,     1,     2,     4,     12,    26,    28,    36,    52,    87,    94,
                                       117,   198,   512,   6897,  11667, 23889, 26826, 27505, 32623, 32676, 32693,
                                       32701, 32722, 32732, 32735, 32736, 32758, 32764, 32766, 32767, 32768};
  auto bound = [](uint32_t range, int32_t c) {
    const uint32_t cu = static_cast<uint32_t>(c);
    return (((range & 0xFFFFu) * cu) >> 15) + (range >> 16) * cu * 2u;
  };
  std::mt19937 rng(11);
  int16_t v[40];
  uint8_t frame[120] = {};
  int n = 0;
  for (int trial = 0; trial < 1000 && (n < 26 || n > 30); ++trial) {
    for (auto& x : v) x = static_cast<int16_t>(static_cast<int>(rng() % 13) - 6);
    ostrel::RangeEncoder enc(frame + 4, 100);
    for (int16_t x : v) enc.Encode(bound(enc.range(), kMode3[15 + x]), bound(enc.range(), kMode3[15 + x + 1]));
    n = enc.Finish(100);
  }
  ASSERT_GE(n, 26);
  ASSERT_LE(n, 30);
  frame[0] = 0x80 | 9;
  frame[1] = 3 << 5;
  // The frame alone, the frame in a longer section, and a section one byte short of it.
  struct Case {
    int available;
    int length;
  } cases[] = {{4 + n, 4 + n}, {static_cast<int>(sizeof frame), 4 + n}, {4 + n - 1, 0}};
  for (const Case& c : cases) {
    OstrelWbUpperFrame f;
    ASSERT_EQ(OstrelWb_UnpackUpperFrame(&f, frame, c.available), c.length) << c.available;
    if (c.length == 0) continue;
    EXPECT_EQ(f.mode, 3);
    EXPECT_EQ(f.gainIndex, 9);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(f.values[i], v[i]) << i;
  }
}

TEST(OstrelWbUpper, RangeDecoderEdges) {
  int16_t v[40];
  int len = 0;
  const uint8_t zeros[8] = {};
  EXPECT_EQ(OstrelWb_RangeDecode40(v, &len, zeros, 2, 0, 8), 1) << "a code value of 0 is refused";
  // Just above the bound of the centre entry of mode 0 (8957 / 32768 of the range): the value 0.
  const uint32_t code = static_cast<uint32_t>((uint64_t{0xFFFFFFFFu} * 8957) >> 15) + 2;
  uint8_t buf[25];
  for (int i = 0; i < 25; ++i) buf[i] = 0x80;
  buf[0] = static_cast<uint8_t>(code >> 24);
  buf[1] = static_cast<uint8_t>(code >> 16);
  buf[2] = static_cast<uint8_t>(code >> 8);
  buf[3] = static_cast<uint8_t>(code);
  OstrelWb_RangeDecode40(v, &len, buf, 10, 0, 25);
  EXPECT_EQ(v[0], 0);
}

// ---- Codec ---------------------------------------------------------------------------------------

TEST(OstrelWb, InitSetsFramesAndTheLowerBand) {
  OstrelWbCodec inst;
  inst.wrapperWord = 99;
  EXPECT_EQ(OstrelWb_Init(&inst, 320), 0);
  EXPECT_EQ(inst.framesPerPacket, 2);
  EXPECT_EQ(inst.lower.framesPerPacket, 2);
  EXPECT_EQ(inst.lower.law, 0);
  EXPECT_EQ(inst.lower.inputKind, 0);
  EXPECT_EQ(inst.maxPacketBytes, 287 + 118);
  EXPECT_EQ(inst.wrapperWord, 99);
  EXPECT_EQ(OstrelWb_Init(&inst, 200), -1);
  EXPECT_EQ(inst.framesPerPacket, 1);
  EXPECT_EQ(inst.errorCode, kOstrelErrPacketLength);
  EXPECT_EQ(OstrelWb_Init(&inst, 640), 0);
  EXPECT_EQ(inst.maxPacketBytes, 808);
}

TEST(OstrelWb, SilenceInSilenceOut) {
  const std::vector<int16_t> x(160 * 8, 0);
  OstrelWbAllPass p{}, q{};
  int16_t lo[80], up[80];
  OstrelWb_SplitBands(&p, &q, x.data(), lo, up);
  for (int i = 0; i < 80; ++i) {
    EXPECT_EQ(lo[i], 0);
    EXPECT_EQ(up[i], 0);
  }
  // The first packet has only one coding of the silence before it (half a mu-law step, 4, in the lower
  // band), and the merging filters settle from that within a packet; from then on the output is exactly 0.
  const auto out = Decode(Encode(2, x));
  ASSERT_EQ(out.size(), x.size());
  for (size_t i = 0; i < out.size(); ++i) {
    if (i < 640) {
      ASSERT_LE(std::abs(out[i]), 8) << i;
    } else {
      ASSERT_EQ(out[i], 0) << i;
    }
  }
}

// The first packet has no previous period: its upper-band first section carries the default frame in
// every slot, 29 bytes each (the uncompressed form of a silent frame); later packets carry coded frames.
TEST(OstrelWb, FirstPacketCarriesTheDefaultFrames) {
  for (int frames = 1; frames <= 4; ++frames) {
    const Coded c = Encode(frames, SpeechLike(160 * frames * 2, 16000, 3));
    ASSERT_EQ(c.packets.size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
      const auto& p = c.packets[k];
      int16_t n = 0;
      const int32_t lower = Ostrel711_PacketLength(p.data(), static_cast<int32_t>(p.size()), &n);
      ASSERT_GT(lower, 0);
      ASSERT_EQ(n, frames);
      const uint8_t* upper = p.data() + lower;
      int offset = (5 * frames + 7) / 8;
      for (int i = 0; i < frames; ++i) {
        int len = 0;
        for (int b = 5 * i; b < 5 * i + 5; ++b) len = (len << 1) | ((upper[b >> 3] >> (7 - (b & 7))) & 1);
        if (k == 0) {
          EXPECT_EQ(len, 29) << frames << " frames, slot " << i;
          EXPECT_LT(upper[offset], 128) << "uncompressed";
          OstrelWbUpperFrame f;
          ASSERT_EQ(OstrelWb_UnpackUpperFrame(&f, upper + offset, len), 29);
          EXPECT_EQ(f.gainIndex, 0);
          for (int v : f.values) ASSERT_EQ(v, 0);
        } else {
          EXPECT_LT(len, 29) << "a coded speech frame compresses";
        }
        offset += len;
      }
    }
  }
}

TEST(OstrelWb, DecodeGivesAllFramesOfAPacket) {
  const Coded c = Encode(2, SpeechLike(640, 16000));
  OstrelWbCodec dec;
  ASSERT_EQ(OstrelWb_Init(&dec, 160), 0);
  int16_t out[640];
  int16_t type = 0;
  EXPECT_EQ(OstrelWb_Decode(&dec, c.packets[1].data(), static_cast<int32_t>(c.packets[1].size()), out, &type), 320);
  EXPECT_EQ(type, 1);
  int16_t kind, pending;
  OstrelWb_GetDecoderInfo(&dec, &kind, &pending);
  EXPECT_EQ(pending, 0);
  EXPECT_EQ(kind, 1) << "the first packet completes nothing held";
  EXPECT_EQ(OstrelWb_Decode(&dec, c.packets[0].data(), static_cast<int32_t>(c.packets[0].size()), out, &type), 320);
}

double CodedSnr(const std::vector<int16_t>& x, int frames) {
  const Coded c = Encode(frames, x);
  const auto out = Decode(c);
  const auto ref = SplitMerge(x);
  // The decoder gives each packet period one packet later.
  const size_t delay = 160u * frames;
  std::vector<int16_t> aligned(out.begin() + static_cast<long>(delay), out.end());
  return SnrDb(ref, aligned);
}

TEST(OstrelWb, SyntheticSpeechRoundTrip) {
  const auto x = SpeechLike(16000 * 2, 16000);
  for (int frames = 1; frames <= 4; ++frames) EXPECT_GT(CodedSnr(x, frames), 20.0) << frames;
}

// Real speech from espeak-ng, resampled to 16 kHz by sox.
TEST(OstrelWb, SpokenSentenceRoundTrip) {
  const char* bin = std::getenv("TESSALY_BINARY_DIR");
  const std::string dir = bin ? bin : ".";
  const std::string wav = dir + "/ostrelwb_speech.wav";
  const std::string raw = dir + "/ostrelwb_speech.raw";
  const std::string cmd = "espeak-ng -w '" + wav + "' 'Wideband speech keeps the sound of s and f.' >/dev/null 2>&1 && sox '" +
                          wav + "' -r 16000 -b 16 -c 1 -e signed '" + raw + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "espeak-ng or sox missing";
  std::ifstream in(raw, std::ios::binary);
  std::vector<int16_t> x;
  int16_t s;
  while (in.read(reinterpret_cast<char*>(&s), 2)) x.push_back(s);
  ASSERT_GT(x.size(), 16000u);
  x.resize(x.size() / 640 * 640);
  const double snr = CodedSnr(x, 2);
  RecordProperty("snr_db", std::to_string(snr));
  std::printf("coded against uncoded split and merge: %.1f dB\n", snr);
  // Measured about 25 dB against the uncoded split and merge: the lower band is lossless G.711.
  EXPECT_GT(snr, 20.0);
  std::remove(wav.c_str());
  std::remove(raw.c_str());
}

// ---- Hostile packets -----------------------------------------------------------------------------

std::vector<uint8_t> ValidPacket(int frames) {
  const Coded c = Encode(frames, SpeechLike(160 * frames * 3, 16000, 5));
  return c.packets[2];
}

int DecodeOnce(const std::vector<uint8_t>& payload, int16_t* error) {
  OstrelWbCodec dec;
  EXPECT_EQ(OstrelWb_Init(&dec, 160), 0);
  std::vector<uint8_t> copy(payload);
  int16_t out[640];
  int16_t type;
  const int r = OstrelWb_Decode(&dec, copy.empty() ? nullptr : copy.data(), static_cast<int32_t>(copy.size()), out, &type);
  EXPECT_EQ(copy, payload);
  *error = dec.errorCode;
  return r;
}

TEST(OstrelWb, UpperLengthAbove29IsRefused) {
  auto p = ValidPacket(1);
  const int32_t lower = Ostrel711_PacketLength(p.data(), static_cast<int32_t>(p.size()), nullptr);
  ASSERT_GT(lower, 0);
  p[static_cast<size_t>(lower)] = static_cast<uint8_t>((30 << 3) | (p[static_cast<size_t>(lower)] & 7));
  int16_t error = 0;
  EXPECT_EQ(DecodeOnce(p, &error), -1);
  EXPECT_EQ(error, kOstrelErrMalformed);
}

// The upper band's second section runs to the end of the payload; only the upper section's own
// bound limits it, not 29 bytes a frame.
TEST(OstrelWb, LongSecondSectionWithinTheSectionBoundIsDecoded) {
  auto p = ValidPacket(1);
  const int32_t lower = Ostrel711_PacketLength(p.data(), static_cast<int32_t>(p.size()), nullptr);
  ASSERT_GT(lower, 0);
  const int first = p[static_cast<size_t>(lower)] >> 3;
  const size_t longest = static_cast<size_t>(lower + OstrelWb_MaxUpperBytes(1));
  ASSERT_GT(static_cast<int>(longest) - lower - 1 - first, 29) << "the second section can pass 29 bytes";
  p.resize(longest, 0);
  int16_t error = 0;
  EXPECT_EQ(DecodeOnce(p, &error), 160);
  EXPECT_EQ(error, 0);
}

TEST(OstrelWb, MissingOrOversizedUpperSectionDecodesTheLowerBand) {
  auto p = ValidPacket(2);
  const int32_t lower = Ostrel711_PacketLength(p.data(), static_cast<int32_t>(p.size()), nullptr);
  std::vector<uint8_t> lowerOnly(p.begin(), p.begin() + lower);
  std::vector<uint8_t> oversized(lowerOnly);
  oversized.resize(lowerOnly.size() + OstrelWb_MaxUpperBytes(2) + 1, 0x11);
  int16_t error = 0;
  EXPECT_EQ(DecodeOnce(lowerOnly, &error), 320);
  EXPECT_EQ(DecodeOnce(oversized, &error), 320);
}

TEST(OstrelWb, TruncatedAndCorruptedPacketsStayInBounds) {
  std::mt19937 rng(23);
  for (int frames = 1; frames <= 4; ++frames) {
    const auto p = ValidPacket(frames);
    for (size_t n = 0; n <= p.size(); ++n) {
      int16_t error = 0;
      const int r = DecodeOnce(std::vector<uint8_t>(p.begin(), p.begin() + static_cast<long>(n)), &error);
      EXPECT_TRUE(r == -1 || r == 160 * frames || (n == 0 && r == 0)) << frames << " " << n << " " << r;
    }
    for (int trial = 0; trial < 300; ++trial) {
      auto q = p;
      q[rng() % q.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      int16_t error = 0;
      const int r = DecodeOnce(q, &error);
      EXPECT_TRUE(r == -1 || r == 160 * frames);
      if (r == -1) {
        EXPECT_EQ(error, kOstrelErrMalformed);
      }
    }
  }
}

TEST(OstrelWb, NewPacketWhileFramesPendingIsRefused) {
  const auto p = ValidPacket(3);
  OstrelWbCodec dec;
  ASSERT_EQ(OstrelWb_Init(&dec, 160), 0);
  int16_t out[160], left = 0;
  ASSERT_EQ(OstrelWb_DecodeFrame(&dec, p.data(), out, static_cast<int32_t>(p.size()), &left), 160);
  EXPECT_EQ(left, 2);
  EXPECT_EQ(OstrelWb_DecodeSplitBand(&dec, p.data(), static_cast<int32_t>(p.size())), -1);
  EXPECT_EQ(dec.errorCode, kOstrelErrPending);
  // The frames left over are dropped: the next payload starts afresh.
  EXPECT_EQ(dec.decPending, 0);
  EXPECT_EQ(dec.lower.decPending, 0);
  int16_t all[640], type = 0;
  EXPECT_EQ(OstrelWb_Decode(&dec, p.data(), static_cast<int32_t>(p.size()), all, &type), 480);
}

}  // namespace
