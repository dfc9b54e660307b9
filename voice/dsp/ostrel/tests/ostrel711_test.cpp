// Tests of the Ostrel711 codec and its frame coder: losslessness, layout, errors and hostile packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "voice/dsp/g711.h"
#include "voice/dsp/ostrel/ostrel711.h"
#include "voice/dsp/ostrel/ostrel_tables.h"
#include "voice/dsp/ostrel/tests/ostrel_signals.h"

namespace {

using ostrel_test::SpeechLike;
using ostrel_test::WhiteNoise;

int16_t G711Level(int law, int16_t x) {
  return law ? G711_AlawDecodeSample(G711_AlawEncodeSample(x)) : G711_UlawDecodeSample(G711_UlawEncodeSample(x));
}

// Level of code position p (positions rise with the amplitude).
int LevelOfPosition(int law, int p) {
  if (law) return G711_AlawDecodeSample(static_cast<uint8_t>((p >= 128 ? p : 127 - p) ^ 0x55));
  return G711_UlawDecodeSample(static_cast<uint8_t>(p < 128 ? p : 382 - p));
}

struct Stream {
  std::vector<std::vector<uint8_t>> packets;
};

// Encodes blocks of 80 samples; inputKind 1/2 feeds the samples as A-law/mu-law codes.
Stream Encode(int law, int inputKind, int frames, const std::vector<int16_t>& x) {
  Ostrel711Codec enc;
  enc.wrapperWord = 0;
  EXPECT_EQ(Ostrel711_Init(&enc, static_cast<int16_t>(law), static_cast<int16_t>(inputKind),
                           static_cast<int16_t>(80 * frames)), 0);
  Stream s;
  for (size_t b = 0; b + 80 <= x.size(); b += 80) {
    int16_t block[80];
    if (inputKind == 0) {
      std::memcpy(block, &x[b], sizeof block);
    } else {
      uint8_t codes[80];
      for (int i = 0; i < 80; ++i)
        codes[i] = inputKind == 1 ? G711_AlawEncodeSample(x[b + i]) : G711_UlawEncodeSample(x[b + i]);
      std::memcpy(block, codes, sizeof codes);
    }
    uint8_t packet[kOstrel711MaxPacketBytes];
    int16_t bytes = -1;
    int16_t needed = -1;
    EXPECT_EQ(Ostrel711_EncodeCore(&enc, block, packet, &bytes, &needed), 0);
    EXPECT_LE(bytes, enc.maxPacketBytes);
    if (bytes > 0) s.packets.emplace_back(packet, packet + bytes);
  }
  return s;
}

std::vector<int16_t> DecodeAll(int law, const Stream& s, std::vector<int16_t>* kinds = nullptr) {
  Ostrel711Codec dec;
  dec.wrapperWord = 0;
  EXPECT_EQ(Ostrel711_Init(&dec, static_cast<int16_t>(law), 0, 80), 0);
  std::vector<int16_t> out;
  for (const auto& p : s.packets) {
    // An exact-size copy, so any read past the payload is caught by the address sanitizer.
    std::vector<uint8_t> payload(p);
    int16_t left = 1;
    bool first = true;
    while (left > 0) {
      int16_t pcm[80];
      const int r = Ostrel711_DecodeFrame(&dec, first ? payload.data() : nullptr, pcm, first ? static_cast<int32_t>(payload.size()) : 0, &left);
      EXPECT_EQ(r, 80) << "error " << dec.errorCode;
      if (r != 80) return out;
      first = false;
      out.insert(out.end(), pcm, pcm + 80);
      int16_t kind;
      int16_t held;
      Ostrel711_GetDecoderInfo(&dec, &kind, &held);
      if (kinds) kinds->push_back(kind);
    }
    EXPECT_EQ(payload, p) << "the decoder changed the caller's payload";
  }
  return out;
}

// ---- Tables -------------------------------------------------------------------------------------

TEST(Ostrel711Tables, BothCodingsGiveEveryLevelExactly) {
  for (int law = 0; law < 2; ++law) {
    const int top = law ? 255 : 254;
    for (int p = 0; p <= top; ++p) {
      const int q = p >> 1;
      const int q1 = (p + 1) >> 1 == 128 ? 126 : (p + 1) >> 1;
      const int f = q1 & 1;
      EXPECT_EQ(2 * (kOstrelRecE[law][q + ((q & 1) ^ f)] + kOstrelRecM[law][q]), LevelOfPosition(law, p)) << law << " " << p;
    }
  }
}

TEST(Ostrel711Tables, OneCodingLiesBetweenItsTwoLevels) {
  for (int law = 0; law < 2; ++law) {
    const int top = law ? 255 : 254;
    for (int q = 0; 2 * q + 1 <= top; ++q) {
      EXPECT_GE(4 * kOstrelRecM[law][q], LevelOfPosition(law, 2 * q));
      EXPECT_LE(4 * kOstrelRecM[law][q], LevelOfPosition(law, 2 * q + 1));
    }
    for (int q = 1; q < 128; ++q) {
      EXPECT_GE(4 * kOstrelRecE[law][q], LevelOfPosition(law, 2 * q - 1));
      EXPECT_LE(4 * kOstrelRecE[law][q], LevelOfPosition(law, 2 * q));
    }
  }
  EXPECT_EQ(kOstrelRecM[1][0], -7936);
  EXPECT_EQ(kOstrelRecM[0][0], -7903);
}

// ---- Frame coder --------------------------------------------------------------------------------

TEST(Ostrel711Frame, LogAreaRatioRules) {
  EXPECT_EQ(Ostrel_RcToLar(32767), 26620);
  EXPECT_EQ(Ostrel_LarToRc(26620), 32767);
  EXPECT_EQ(Ostrel_RcToLar(-32767), -26620);
  EXPECT_EQ(Ostrel_LarToRc(-32768), -32767);
  EXPECT_EQ(Ostrel_RcToLar(20000), 10000);
  EXPECT_EQ(Ostrel_LarToRc(10000), 20000);
  EXPECT_EQ(Ostrel_RcToLar(30000), 30000 - 11059);
  EXPECT_EQ(Ostrel_LarToRc(15000), 15000 + 11059);
}

TEST(Ostrel711Frame, RoundTripIsExactForEveryKindOfBlock) {
  std::mt19937 rng(11);
  const auto speech = SpeechLike(8000, 8000);
  struct Case {
    const char* name;
    std::vector<int16_t> values;
  };
  std::vector<Case> cases;
  cases.push_back({"constant", std::vector<int16_t>(80, 64)});
  cases.push_back({"extremes", std::vector<int16_t>(80, 0)});
  cases.back().values[7] = 127;
  std::vector<int16_t> random(80);
  for (auto& v : random) v = static_cast<int16_t>(rng() & 127);
  cases.push_back({"random", random});
  for (int b = 0; b < 40; ++b) {
    std::vector<int16_t> v(80);
    for (int i = 0; i < 80; ++i) v[i] = static_cast<int16_t>(G711_UlawEncodeSample(speech[b * 80 + i]) < 128
                                                                 ? G711_UlawEncodeSample(speech[b * 80 + i]) >> 1
                                                                 : (382 - G711_UlawEncodeSample(speech[b * 80 + i])) >> 1);
    cases.push_back({"speech", v});
  }
  for (const auto& c : cases) {
    std::vector<int16_t> lin(80);
    for (int i = 0; i < 80; ++i) lin[i] = kOstrelCodeToLinear[1][c.values[i] >> 1];
    int16_t refl[6];
    uint16_t words[2];
    Ostrel711_AnalyzeLpc(lin.data(), refl, words);
    for (int variant = 0; variant < 2; ++variant) {
      uint8_t frame[kOstrel711FrameMaxBytes];
      const int len = Ostrel711_EncodeFrame(frame, c.values.data(), refl, variant, words);
      ASSERT_GE(len, kOstrel711FrameMinBytes) << c.name;
      ASSERT_LE(len, kOstrel711FrameMaxBytes) << c.name;
      int16_t back[80];
      ASSERT_EQ(Ostrel711_DecodeFrameBits(back, frame, variant, len), len) << c.name;
      EXPECT_EQ(std::vector<int16_t>(back, back + 80), c.values) << c.name << " variant " << variant;
      // Cut short, a frame is read only as far as it goes and never reported longer than that.
      std::vector<uint8_t> cut(frame, frame + len - 1);
      EXPECT_LE(Ostrel711_DecodeFrameBits(back, cut.data(), variant, len - 1), len - 1) << c.name;
      if (len == kOstrel711FrameMaxBytes) {
        EXPECT_EQ(Ostrel711_DecodeFrameBits(back, cut.data(), variant, len - 1), 0);
      }
    }
  }
}

TEST(Ostrel711Frame, ConstantBlockCompressesAndRandomBlockTravelsUncompressed) {
  int16_t refl[6] = {};
  uint16_t words[2] = {};
  std::vector<int16_t> lin(80, kOstrelCodeToLinear[1][32]);
  Ostrel711_AnalyzeLpc(lin.data(), refl, words);
  uint8_t frame[kOstrel711FrameMaxBytes];
  std::vector<int16_t> constant(80, 64);
  const int small = Ostrel711_EncodeFrame(frame, constant.data(), refl, 1, words);
  EXPECT_LT(small, 20);
  EXPECT_TRUE(frame[0] & 0x40);

  std::mt19937 rng(5);
  std::vector<int16_t> random(80);
  for (auto& v : random) v = static_cast<int16_t>(rng() & 127);
  EXPECT_EQ(Ostrel711_EncodeFrame(frame, random.data(), refl, 1, words), 71);
  EXPECT_EQ(frame[0], 0);
}

// ---- Codec --------------------------------------------------------------------------------------

TEST(Ostrel711, InitChecksKeepTheLastFailure) {
  struct Case {
    int16_t law, kind, samples;
    int16_t result, error, frames, useLaw, useKind;
  } cases[] = {
      {0, 0, 80, 0, 0, 1, 0, 0},
      {1, 2, 320, 0, 0, 4, 1, 2},
      {0, 1, 240, 0, 0, 3, 0, 1},
      {0, 0, 100, -1, kOstrelErrPacketLength, 1, 0, 0},
      {2, 0, 160, -1, kOstrelErrLaw, 2, 0, 0},
      {1, 3, 160, -1, kOstrelErrInputKind, 2, 1, 0},
      {5, 7, 100, -1, kOstrelErrInputKind, 1, 0, 0},
      {-1, 0, 0, -1, kOstrelErrLaw, 1, 0, 0},
  };
  for (const auto& c : cases) {
    Ostrel711Codec inst;
    inst.wrapperWord = 1234;
    EXPECT_EQ(Ostrel711_Init(&inst, c.law, c.kind, c.samples), c.result);
    EXPECT_EQ(inst.errorCode, c.error);
    EXPECT_EQ(inst.framesPerPacket, c.frames);
    EXPECT_EQ(inst.law, c.useLaw);
    EXPECT_EQ(inst.inputKind, c.useKind);
    EXPECT_EQ(inst.headerTop, (c.frames - 1) << 14);
    EXPECT_EQ(inst.maxPacketBytes, c.frames + 1 + 142 * c.frames);
    EXPECT_EQ(inst.wrapperWord, 1234) << "the wrapper's word is not the codec's";
  }
  Ostrel711Codec inst;
  EXPECT_EQ(Ostrel711_Reset(&inst, 3), -1);
  EXPECT_EQ(inst.errorCode, kOstrelErrLaw);
}

TEST(Ostrel711, EncoderReportsBlocksStillNeeded) {
  Ostrel711Codec enc;
  ASSERT_EQ(Ostrel711_Init(&enc, 0, 0, 160), 0);
  const auto x = SpeechLike(160, 8000);
  uint8_t packet[kOstrel711MaxPacketBytes];
  int16_t bytes = -1;
  int16_t needed = -1;
  ASSERT_EQ(Ostrel711_EncodeCore(&enc, x.data(), packet, &bytes, &needed), 0);
  EXPECT_EQ(bytes, 0);
  EXPECT_EQ(needed, 1);
  ASSERT_EQ(Ostrel711_EncodeCore(&enc, x.data() + 80, packet, &bytes, &needed), 0);
  EXPECT_GT(bytes, 0);
  EXPECT_EQ(needed, 0);
  EXPECT_EQ(packet[0] >> 6, 1) << "frames - 1 in the top bits";
}

// Every frame decodes to the exact G.711 level of its input, for both laws and all input kinds, after the
// one packet period the two sections need.
TEST(Ostrel711, LosslessAgainstG711) {
  const auto speech = SpeechLike(8000, 8000);
  const auto noise = WhiteNoise(2400, 6000.0);
  std::vector<int16_t> x(speech);
  x.insert(x.end(), noise.begin(), noise.end());
  x.insert(x.end(), 800, 0);
  for (int v : {-32768, 32767, -1, 1, -32768, 32767}) x.insert(x.end(), 80, static_cast<int16_t>(v));
  x.resize(x.size() / 960 * 960);
  for (int law = 0; law < 2; ++law) {
    for (int kind = 0; kind < 3; ++kind) {
      for (int frames = 1; frames <= 4; ++frames) {
        const Stream s = Encode(law, kind, frames, x);
        ASSERT_EQ(s.packets.size(), x.size() / (80u * frames));
        std::vector<int16_t> kinds;
        const auto out = DecodeAll(law, s, &kinds);
        ASSERT_EQ(out.size(), x.size());
        const size_t delay = 80u * frames;
        int wrong = 0;
        for (size_t i = 0; i + delay < out.size(); ++i) {
          // The input codes, in the instance's law through G.711's code tables when they are of the other.
          int16_t want = G711Level(law, x[i]);
          if (kind == 1)
            want = law ? G711Level(1, x[i]) : G711_UlawDecodeSample(Ostrel711_OtherLawCode(0, G711_AlawEncodeSample(x[i])));
          if (kind == 2)
            want = law ? G711_AlawDecodeSample(Ostrel711_OtherLawCode(1, G711_UlawEncodeSample(x[i]))) : G711Level(0, x[i]);
          if (out[i + delay] != want) ++wrong;
        }
        EXPECT_EQ(wrong, 0) << "law " << law << " kind " << kind << " frames " << frames;
        for (size_t k = static_cast<size_t>(frames); k < kinds.size(); ++k) ASSERT_EQ(kinds[k], 0);
      }
    }
  }
}

// Codes of the other law go through G.711's code tables: every code lands on a level of the
// instance's law within one step of its own, both zeros keep their sign, and half-way levels are
// settled as G.711 settles them, not as a round trip through linear would.
TEST(Ostrel711, OtherLawCodesFollowG711sTables) {
  struct Case {
    int law;
    uint8_t in, out;
  };
  const Case cases[] = {
      {1, 255, 213}, {1, 127, 85},  // mu-law +0 and -0: A-law +8 and -8
      {1, 119, 81},               // mu-law -64: A-law -72 (not -56)
      {0, 128, 170}, {0, 0, 42},    // A-law +-5504, half-way: mu-law +-5372 (not 5628)
      {1, 170, 128}, {0, 213, 254},  // and back; A-law +8 is mu-law +8
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, Ostrel711_OtherLawCode(static_cast<int16_t>(c.law), c.in)) << int(c.in);
  for (int code = 0; code < 256; ++code) {
    const int16_t fromU = G711_UlawDecodeSample(static_cast<uint8_t>(code));
    const int16_t toA = G711_AlawDecodeSample(Ostrel711_OtherLawCode(1, static_cast<uint8_t>(code)));
    EXPECT_LE(std::abs(toA - fromU), std::max(16, std::abs(fromU) / 16)) << code;
    EXPECT_EQ(code >= 128, toA > 0) << code;
    const int16_t fromA = G711_AlawDecodeSample(static_cast<uint8_t>(code));
    const int16_t toU = G711_UlawDecodeSample(Ostrel711_OtherLawCode(0, static_cast<uint8_t>(code)));
    EXPECT_LE(std::abs(toU - fromA), std::max(16, std::abs(fromA) / 16)) << code;
    EXPECT_EQ(fromA > 0, toU > 0) << code;
  }
  // The encoder takes A-law input on a mu-law instance through the same table.
  std::vector<int16_t> x(160);
  for (int i = 0; i < 160; ++i) x[i] = static_cast<int16_t>((i % 2 ? 1 : -1) * (5504 + 128 * (i % 7)));
  const Stream viaTable = Encode(0, 1, 1, x);
  const auto out = DecodeAll(0, viaTable);
  ASSERT_EQ(out.size(), x.size());
  for (int i = 0; i < 80; ++i)
    EXPECT_EQ(G711_UlawDecodeSample(Ostrel711_OtherLawCode(0, G711_AlawEncodeSample(x[i]))), out[i + 80]) << i;
}

TEST(Ostrel711, IncompressibleBlocksTravelUncompressed) {
  const auto noise = WhiteNoise(960, 20000.0, 9);
  const Stream s = Encode(0, 0, 4, noise);
  ASSERT_EQ(s.packets.size(), 3u);
  const auto& p = s.packets[2];
  // Header: frames, four first-section lengths of 71 (code 57), second section of 4 x 71.
  int bit = 0;
  auto read = [&](int n) {
    int v = 0;
    for (int i = 0; i < n; ++i, ++bit) v = (v << 1) | ((p[bit >> 3] >> (7 - (bit & 7))) & 1);
    return v;
  };
  EXPECT_EQ(read(2), 3);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(read(6), 57);
  EXPECT_EQ(read(8), 4 * 71 - 56);
  EXPECT_EQ(p.size(), 5u + 8 * 71);
  EXPECT_EQ(p[5], 0) << "an uncompressed frame starts with 0";
}

TEST(Ostrel711, SilenceCompressesWell) {
  const Stream s = Encode(0, 0, 2, std::vector<int16_t>(1600, 0));
  for (size_t i = 1; i < s.packets.size(); ++i) EXPECT_LT(s.packets[i].size(), 80u) << "160 bytes of G.711";
}

TEST(Ostrel711, DecodeGivesAllFramesOfAPacket) {
  const Stream s = Encode(1, 0, 3, SpeechLike(720, 8000));
  ASSERT_EQ(s.packets.size(), 3u);
  Ostrel711Codec dec;
  ASSERT_EQ(Ostrel711_Init(&dec, 1, 0, 80), 0);
  int16_t out[320];
  int16_t type = 0;
  EXPECT_EQ(Ostrel711_Decode(&dec, s.packets[0].data(), static_cast<int32_t>(s.packets[0].size()), out, &type), 240);
  EXPECT_EQ(type, 1);
  // Too small an output takes what fits and leaves the rest pending.
  EXPECT_EQ(Ostrel711_Decode(&dec, s.packets[1].data(), static_cast<int32_t>(s.packets[1].size()), out, &type, 160), 160);
  EXPECT_EQ(dec.decPending, 1);
  // A new packet now is refused, and the frame left over is dropped so that the next payload starts afresh.
  EXPECT_EQ(Ostrel711_StartPacket(&dec, s.packets[2].data(), static_cast<int32_t>(s.packets[2].size())), -1);
  EXPECT_EQ(dec.errorCode, kOstrelErrPending);
  EXPECT_EQ(dec.decPending, 0);
  EXPECT_EQ(Ostrel711_Decode(&dec, s.packets[2].data(), static_cast<int32_t>(s.packets[2].size()), out, &type), 240);
  int16_t kind = 0, held = 0;
  Ostrel711_GetDecoderInfo(&dec, &kind, &held);
  EXPECT_EQ(kind, 0);  // still completed from the held section of the packet before
  char text[7];
  EXPECT_EQ(Ostrel_Version(text, sizeof text), 0);
  EXPECT_STREQ(text, "2.1.24");
  EXPECT_EQ(Ostrel_Version(text, 6), -1);
}

// A lost packet is bridged from the held section; the next packet is then decoded from its own section;
// the lost packet arriving late restores exact decoding of the next one.
TEST(Ostrel711, LossAndLatePacket) {
  const auto x = SpeechLike(80 * 12, 8000, 21);
  const Stream s = Encode(0, 0, 2, x);
  ASSERT_EQ(s.packets.size(), 6u);
  for (bool late : {false, true}) {
    Ostrel711Codec dec;
    ASSERT_EQ(Ostrel711_Init(&dec, 0, 0, 80), 0);
    std::vector<int16_t> out;
    int16_t pcm[320];
    int16_t type;
    for (size_t k = 0; k < s.packets.size(); ++k) {
      if (k == 3) {
        // Lost: the held second section of packet 2 stands in (one coding alone).
        ASSERT_EQ(Ostrel711_Decode(&dec, nullptr, 0, pcm, &type), 160);
        int16_t kind, held;
        Ostrel711_GetDecoderInfo(&dec, &kind, &held);
        EXPECT_EQ(kind, 1);
        EXPECT_EQ(held, 0);
        for (int i = 0; i < 160; ++i) {
          const int16_t ref = G711Level(0, x[2 * 160 + i]);  // packet 2's period: blocks 4 and 5
          EXPECT_NEAR(pcm[i], ref, std::abs(ref) / 8 + 300) << i;
        }
        if (late) {
          ASSERT_EQ(Ostrel711_StartLatePacket(&dec, s.packets[3].data(), static_cast<int32_t>(s.packets[3].size())), 0);
        }
        continue;
      }
      ASSERT_EQ(Ostrel711_Decode(&dec, s.packets[k].data(), static_cast<int32_t>(s.packets[k].size()), pcm, &type), 160);
      int16_t kind, held;
      Ostrel711_GetDecoderInfo(&dec, &kind, &held);
      if (k == 4) {
        EXPECT_EQ(kind, late ? 0 : 1);
        for (int i = 0; i < 160; ++i) {
          const int16_t ref = G711Level(0, x[3 * 160 + i]);
          if (late) {
            EXPECT_EQ(pcm[i], ref);
          } else {
            EXPECT_NEAR(pcm[i], ref, std::abs(ref) / 8 + 300);
          }
        }
      }
    }
  }
}

// ---- Hostile packets ----------------------------------------------------------------------------

std::vector<uint8_t> ValidPacket(int frames) {
  const Stream s = Encode(0, 0, frames, SpeechLike(80 * frames * 3, 8000, 4));
  return s.packets[2];
}

TEST(Ostrel711, MalformedHeadersAreRefused) {
  auto p = ValidPacket(1);
  struct Case {
    const char* name;
    std::vector<uint8_t> payload;
  };
  std::vector<Case> cases;
  auto withLengthCode58 = p;
  withLengthCode58[0] = 58;  // frames - 1 = 0 in the top 2 bits, then the first length code
  cases.push_back({"length code 58", withLengthCode58});
  auto bigSecond = p;
  // N = 1: second-section code is the top 6 bits of byte 1; S = code + 14 > 72.
  bigSecond[1] = static_cast<uint8_t>((bigSecond[1] & 0x03) | (63 << 2));
  cases.push_back({"second section above 72 N", bigSecond});
  cases.push_back({"one byte", std::vector<uint8_t>(p.begin(), p.begin() + 1)});
  cases.push_back({"header only", std::vector<uint8_t>(p.begin(), p.begin() + 2)});
  cases.push_back({"cut by one", std::vector<uint8_t>(p.begin(), p.end() - 1)});
  for (auto& c : cases) {
    Ostrel711Codec dec;
    ASSERT_EQ(Ostrel711_Init(&dec, 0, 0, 80), 0);
    int16_t out[80];
    std::fill(out, out + 80, int16_t{77});
    int16_t left = 5;
    const auto copy = c.payload;
    EXPECT_EQ(Ostrel711_DecodeFrame(&dec, c.payload.data(), out, static_cast<int32_t>(c.payload.size()), &left), -1) << c.name;
    EXPECT_EQ(dec.errorCode, kOstrelErrMalformed) << c.name;
    EXPECT_EQ(left, 0);
    EXPECT_EQ(dec.decPending, 0);
    for (int16_t v : out) ASSERT_EQ(v, 0) << c.name;
    EXPECT_EQ(c.payload, copy);
  }
}

// Every prefix and every single-byte corruption of valid packets is either decoded or refused, never read
// past; an odd length is handled like any other.
TEST(Ostrel711, TruncatedAndCorruptedPacketsStayInBounds) {
  std::mt19937 rng(17);
  for (int frames = 1; frames <= 4; ++frames) {
    const auto p = ValidPacket(frames);
    for (size_t n = 0; n <= p.size() + 3; ++n) {
      std::vector<uint8_t> payload(p.begin(), p.begin() + std::min(n, p.size()));
      payload.resize(n, 0xA5);
      Ostrel711Codec dec;
      ASSERT_EQ(Ostrel711_Init(&dec, 0, 0, 80), 0);
      int16_t out[320];
      int16_t type;
      const int r = Ostrel711_Decode(&dec, payload.empty() ? nullptr : payload.data(), static_cast<int32_t>(payload.size()), out, &type);
      if (n < p.size()) {
        EXPECT_EQ(r, n == 0 ? 0 : -1) << frames << " " << n;
      } else {
        EXPECT_EQ(r, 80 * frames) << "trailing bytes are ignored";
      }
    }
    for (int trial = 0; trial < 300; ++trial) {
      auto payload = p;
      payload[rng() % payload.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      Ostrel711Codec dec;
      ASSERT_EQ(Ostrel711_Init(&dec, 1, 0, 80), 0);
      int16_t out[320];
      int16_t type;
      const int r = Ostrel711_Decode(&dec, payload.data(), static_cast<int32_t>(payload.size()), out, &type);
      EXPECT_TRUE(r == -1 || r == 80 * frames);
      if (r == -1) {
        EXPECT_EQ(dec.errorCode, kOstrelErrMalformed);
      }
    }
  }
}

TEST(Ostrel711, PadFlagSkipsOneByte) {
  auto p = ValidPacket(1);
  // N = 1: pad flag is bit 1 of byte 1.
  std::vector<uint8_t> padded(p.begin(), p.begin() + 2);
  padded[1] = static_cast<uint8_t>(padded[1] | 0x02);
  padded.push_back(0xEE);
  padded.insert(padded.end(), p.begin() + 2, p.end());
  Ostrel711Codec a;
  Ostrel711Codec b;
  ASSERT_EQ(Ostrel711_Init(&a, 0, 0, 80), 0);
  ASSERT_EQ(Ostrel711_Init(&b, 0, 0, 80), 0);
  int16_t outA[80], outB[80], type;
  ASSERT_EQ(Ostrel711_Decode(&a, p.data(), static_cast<int32_t>(p.size()), outA, &type), 80);
  ASSERT_EQ(Ostrel711_Decode(&b, padded.data(), static_cast<int32_t>(padded.size()), outB, &type), 80);
  EXPECT_EQ(std::vector<int16_t>(outA, outA + 80), std::vector<int16_t>(outB, outB + 80));
}

TEST(Ostrel711, NothingToDecodeGivesSilence) {
  Ostrel711Codec dec;
  ASSERT_EQ(Ostrel711_Init(&dec, 0, 0, 80), 0);
  int16_t out[80];
  std::fill(out, out + 80, int16_t{5});
  int16_t left = 3;
  EXPECT_EQ(Ostrel711_DecodeFrame(&dec, nullptr, out, 0, &left), 0);
  EXPECT_EQ(left, 0);
  for (int16_t v : out) EXPECT_EQ(v, 0);
  int16_t kind, held;
  Ostrel711_GetDecoderInfo(&dec, &kind, &held);
  EXPECT_EQ(kind, -1);
}

}  // namespace

// The largest layout: four frames of 71 bytes, a pad byte and a second section of 72 x 4 bytes (padded
// beyond its frames): 578 bytes, a packet the format allows.
TEST(Ostrel711, TheLargestLayoutIsAPacket) {
  std::string bits = "11";
  for (int i = 0; i < 4; ++i) bits += "111001";  // length code 57: 71 bytes
  bits += "11101000";                            // 232 + 14 x 4 = 288 bytes
  bits += "1";                                   // pad byte
  bits.resize(40, '0');
  std::vector<uint8_t> p(578, 0);
  for (int i = 0; i < 40; ++i)
    if (bits[i] == '1') p[i / 8] = static_cast<uint8_t>(p[i / 8] | (0x80 >> (i % 8)));
  int16_t frames = 0;
  EXPECT_EQ(Ostrel711_PacketLength(p.data(), static_cast<int32_t>(p.size()), &frames), 578);
  EXPECT_EQ(frames, 4);
  EXPECT_EQ(Ostrel711_PacketLength(p.data(), 577, &frames), -1) << "longer than its payload";
}
