// Tests of the iLBC codec end to end: entry points, encoder/decoder agreement, speech quality and losses.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "voice/dsp/ilbc/ilbc.h"
#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/tests/ilbc_test_util.h"

namespace {

using ilbc_test::HighPassReference;
using ilbc_test::SegSnr;
using ilbc_test::Speech;

struct Codec {
  IlbcEncoder enc;
  IlbcDecoder dec;
  explicit Codec(int mode) {
    EXPECT_EQ(0, Ilbc_EncoderInit(&enc, static_cast<int16_t>(mode)));
    EXPECT_EQ(0, Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode)));
  }
};

// Speech frames of one mode, encoded once per test process.
std::vector<std::vector<uint8_t>> EncodedSpeech(int mode) {
  Codec c(mode);
  const auto& x = Speech();
  const int bl = c.enc.c.blockLength;
  std::vector<std::vector<uint8_t>> frames;
  for (size_t i = 0; i + bl <= x.size(); i += bl) {
    std::vector<uint8_t> f(c.enc.c.frameBytes);
    EXPECT_EQ(c.enc.c.frameBytes, Ilbc_Encode(&c.enc, &x[i], static_cast<int16_t>(bl), f.data()));
    frames.push_back(std::move(f));
  }
  return frames;
}

// Decodes the frames, concealing those marked lost.
std::vector<int16_t> DecodeWithLoss(int mode, const std::vector<std::vector<uint8_t>>& frames,
                                    const std::vector<bool>& lost) {
  IlbcDecoder dec;
  Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
  const int bl = dec.c.blockLength;
  std::vector<int16_t> y(frames.size() * bl);
  for (size_t i = 0; i < frames.size(); ++i) {
    int16_t type = 0;
    if (lost[i]) {
      EXPECT_EQ(bl, Ilbc_DecodePlc(&dec, &y[i * bl], 1));
    } else {
      EXPECT_EQ(bl, Ilbc_Decode(&dec, frames[i].data(), static_cast<int16_t>(frames[i].size()), &y[i * bl], &type));
      EXPECT_EQ(1, type);
    }
  }
  return y;
}

class CodecTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (Speech().size() < 8000) GTEST_SKIP() << "espeak-ng or sox missing";
  }
};

TEST_P(CodecTest, DecoderRebuildsTheEncodersExcitation) {
  const int mode = GetParam();
  Codec c(mode);
  const auto& x = Speech();
  const int bl = c.enc.c.blockLength;
  int starts[6] = {};
  int firsts[2] = {};
  for (size_t i = 0; i + bl <= x.size(); i += bl) {
    uint8_t frame[50];
    IlbcFrameParams p;
    int16_t encoded[240];
    int16_t decoded[240];
    int16_t out[240];
    Ilbc_EncodeBlock(frame, &x[i], &c.enc, &p, encoded);
    ASSERT_GE(p.start, 1);
    ASSERT_LE(p.start, c.enc.c.subBlocks - 1) << "the start state never begins in the last sub-block";
    ++starts[p.start];
    ++firsts[p.stateFirst];
    EXPECT_EQ(0, frame[c.enc.c.frameBytes - 1] & 1);
    Ilbc_DecodeBlock(out, frame, &c.dec, 1, decoded);
    ASSERT_EQ(0, std::memcmp(encoded, decoded, sizeof(int16_t) * bl)) << "frame " << i / bl;
  }
  // The material exercises every start position and both state placements.
  for (int s = 1; s < c.enc.c.subBlocks; ++s) EXPECT_GT(starts[s], 0) << "start " << s;
  EXPECT_GT(firsts[0], 0);
  EXPECT_GT(firsts[1], 0);
}

// Segmental SNR against the input through the codec's own high-pass filters (the band the codec
// keeps). Measured on this material with 0/5/10/20 % random loss: 20 ms 11.3 / 10.7 / 9.3 / 8.0 dB,
// 30 ms 11.0 / 10.4 / 9.3 / 7.8 dB (the test prints them); the thresholds leave about 0.8 dB.
struct LossCase {
  int percent;
  double minSnr20;
  double minSnr30;
};

TEST_P(CodecTest, SpeechQualityWithAndWithoutLoss) {
  const int mode = GetParam();
  const auto frames = EncodedSpeech(mode);
  const auto ref = HighPassReference(Speech());
  const int delay = mode == 30 ? 80 : 40;  // the enhancer's delay
  const int bl = mode == 30 ? 240 : 160;
  const LossCase cases[] = {{0, 10.5, 10.2}, {5, 9.9, 9.6}, {10, 8.5, 8.5}, {20, 7.2, 7.0}};
  int cleanBoundaryJump = 0;
  for (const LossCase& lc : cases) {
    std::mt19937 rng(static_cast<unsigned>(100 + lc.percent));
    std::vector<bool> lost(frames.size());
    int count = 0;
    for (size_t i = 0; i < lost.size(); ++i) {
      lost[i] = std::uniform_int_distribution<int>(0, 99)(rng) < lc.percent;
      count += lost[i];
    }
    const auto y = DecodeWithLoss(mode, frames, lost);
    const double snr = SegSnr(ref, y, delay);
    std::printf("iLBC %d ms, %d %% loss (%d of %zu frames): segmental SNR %.2f dB\n", mode, lc.percent, count,
                frames.size(), snr);
    EXPECT_GT(snr, mode == 30 ? lc.minSnr30 : lc.minSnr20);
    // No clicks: the largest step between neighbouring samples at a frame boundary stays within the
    // largest step inside frames and close to the loss-free decode's boundaries.
    int intra = 0;
    int boundary = 0;
    for (size_t i = 1; i < y.size(); ++i) {
      const int d = std::abs(y[i] - y[i - 1]);
      if (i % bl == 0) {
        boundary = std::max(boundary, d);
      } else {
        intra = std::max(intra, d);
      }
    }
    if (lc.percent == 0) cleanBoundaryJump = boundary;
    EXPECT_LE(boundary, intra);
    EXPECT_LE(boundary, cleanBoundaryJump * 3 / 2) << lc.percent << " % loss";
  }
}

TEST_P(CodecTest, MultiFramePayloadsMatchSingleFrames) {
  const int mode = GetParam();
  const auto frames = EncodedSpeech(mode);
  ASSERT_GE(frames.size(), 30u);
  const int fb = static_cast<int>(frames[0].size());
  const int bl = mode == 30 ? 240 : 160;
  IlbcDecoder one;
  IlbcDecoder three;
  Ilbc_DecoderInit(&one, static_cast<int16_t>(mode));
  Ilbc_DecoderInit(&three, static_cast<int16_t>(mode));
  for (size_t i = 0; i + 3 <= 30; i += 3) {
    std::vector<uint8_t> payload;
    for (int k = 0; k < 3; ++k) payload.insert(payload.end(), frames[i + k].begin(), frames[i + k].end());
    const std::vector<uint8_t> copy = payload;
    int16_t a[720];
    int16_t b[720];
    int16_t type;
    for (int k = 0; k < 3; ++k)
      ASSERT_EQ(bl, Ilbc_Decode(&one, frames[i + k].data(), static_cast<int16_t>(fb), a + k * bl, &type));
    ASSERT_EQ(3 * bl, Ilbc_Decode(&three, payload.data(), static_cast<int16_t>(3 * fb), b, &type));
    EXPECT_EQ(0, std::memcmp(a, b, sizeof(int16_t) * 3 * bl));
    EXPECT_EQ(copy, payload) << "the payload is only read";
  }
  // Encoding three blocks at once gives the same bytes as one block at a time.
  IlbcEncoder e1;
  IlbcEncoder e3;
  Ilbc_EncoderInit(&e1, static_cast<int16_t>(mode));
  Ilbc_EncoderInit(&e3, static_cast<int16_t>(mode));
  const auto& x = Speech();
  uint8_t f1[150];
  uint8_t f3[150];
  for (int k = 0; k < 3; ++k) Ilbc_Encode(&e1, &x[4000 + k * bl], static_cast<int16_t>(bl), f1 + k * fb);
  ASSERT_EQ(3 * fb, Ilbc_Encode(&e3, &x[4000], static_cast<int16_t>(3 * bl), f3));
  EXPECT_EQ(0, std::memcmp(f1, f3, static_cast<size_t>(3 * fb)));
}

INSTANTIATE_TEST_SUITE_P(Ilbc, CodecTest, ::testing::Values(20, 30));

TEST(IlbcApi, SizesAndModes) {
  IlbcDecoder d20;
  IlbcDecoder d30;
  ASSERT_EQ(0, Ilbc_DecoderInit20ms(&d20));
  ASSERT_EQ(0, Ilbc_DecoderInit30ms(&d30));
  std::vector<uint8_t> payload(160, 0);
  std::vector<int16_t> out(720);
  int16_t type = 0;
  struct Case {
    IlbcDecoder* dec;
    int bytes;
    int decode;
    int upTo2;
  };
  const Case cases[] = {
      {&d20, 38, 160, 160}, {&d20, 76, 320, 320}, {&d20, 114, 480, -1}, {&d20, 152, -1, -1},
      {&d20, 57, -1, -1},   {&d20, 0, -1, -1},    {&d20, 37, -1, -1},   {&d20, 50, -1, -1},
      {&d30, 50, 240, 240}, {&d30, 100, 480, 480}, {&d30, 150, 720, -1}, {&d30, 38, -1, -1},
      {&d30, -50, -1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.decode, Ilbc_Decode(c.dec, payload.data(), static_cast<int16_t>(c.bytes), out.data(), &type))
        << c.bytes;
    EXPECT_EQ(c.upTo2, Ilbc_DecodeUpTo2(c.dec, payload.data(), static_cast<int16_t>(c.bytes), out.data(), &type))
        << c.bytes;
  }
  EXPECT_EQ(0, Ilbc_DecodePlc(&d20, out.data(), 0));
  EXPECT_EQ(320, Ilbc_DecodePlc(&d20, out.data(), 2));
  EXPECT_EQ(-1, Ilbc_DecoderInit(&d20, 25));

  IlbcEncoder enc;
  ASSERT_EQ(0, Ilbc_EncoderInit(&enc, 30));
  const IlbcEncoder before = enc;
  EXPECT_EQ(-1, Ilbc_EncoderInit(&enc, 10));
  EXPECT_EQ(0, std::memcmp(&before, &enc, sizeof(enc))) << "a bad mode leaves the instance untouched";
  std::vector<int16_t> samples(720, 0);
  std::vector<uint8_t> bytes(150);
  EXPECT_EQ(100, Ilbc_Encode(&enc, samples.data(), 480, bytes.data()));
  EXPECT_EQ(-1, Ilbc_Encode(&enc, samples.data(), 160, bytes.data()));
  EXPECT_EQ(-1, Ilbc_Encode(&enc, samples.data(), 960, bytes.data()));
  EXPECT_EQ(-1, Ilbc_Encode(&enc, samples.data(), 0, bytes.data()));

  char version[8];
  std::memset(version, 'x', sizeof(version));
  EXPECT_EQ(0, Ilbc_Version(version));
  EXPECT_STREQ("1.0.4", version);
  EXPECT_EQ('x', version[6]);

  IlbcEncoder* pe = nullptr;
  IlbcDecoder* pd = nullptr;
  ASSERT_EQ(0, Ilbc_CreateEncoder(&pe));
  ASSERT_EQ(0, Ilbc_CreateDecoder(&pd));
  Ilbc_FreeEncoder(pe);
  Ilbc_FreeDecoder(pd);
}

TEST(IlbcApi, SilenceEncodesToAValidFrameAndDecodesToSilence) {
  for (int mode : {20, 30}) {
    Codec c(mode);
    const int bl = c.enc.c.blockLength;
    std::vector<int16_t> zeros(bl, 0);
    for (int n = 0; n < 5; ++n) {
      uint8_t frame[50];
      IlbcFrameParams p;
      Ilbc_EncodeBlock(frame, zeros.data(), &c.enc, &p);
      EXPECT_EQ(0, p.idxForMax);
      EXPECT_GE(p.start, 1);
      std::vector<int16_t> out(bl);
      Ilbc_DecodeBlock(out.data(), frame, &c.dec, 1);
      for (int16_t v : out) EXPECT_LE(std::abs(v), 8) << "mode " << mode;
    }
  }
}

// Malformed frames are concealed: the decoder's output equals that of a twin decoder told the frame
// was lost, and nothing is read outside the payload (the sanitizer run checks the latter).
TEST(IlbcApi, InvalidFramesAreConcealed) {
  for (int mode : {20, 30}) {
    if (Speech().size() < 8000) GTEST_SKIP() << "espeak-ng or sox missing";
    const auto frames = EncodedSpeech(mode);
    const int bl = mode == 30 ? 240 : 160;
    const int fb = mode == 30 ? 50 : 38;
    IlbcDecoder dec;
    Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
    int16_t out[240];
    int16_t type;
    for (int i = 0; i < 20; ++i) Ilbc_Decode(&dec, frames[i].data(), static_cast<int16_t>(fb), out, &type);

    auto withStart = [&](int start) {
      IlbcFrameParams p;
      Ilbc_UnpackFrame(frames[20].data(), &p, mode);
      p.start = static_cast<int16_t>(start);
      std::vector<uint8_t> f(static_cast<size_t>(fb));
      Ilbc_PackFrame(f.data(), &p, mode);
      return f;
    };
    std::vector<std::vector<uint8_t>> bad = {withStart(0), withStart(mode == 30 ? 6 : 4)};
    if (mode == 30) bad.push_back(withStart(7));
    std::vector<uint8_t> emptyFlag = frames[20];
    emptyFlag[static_cast<size_t>(fb - 1)] |= 1;
    bad.push_back(emptyFlag);
    for (const auto& f : bad) {
      IlbcDecoder a = dec;
      IlbcDecoder b = dec;
      int16_t ya[240];
      int16_t yb[240];
      ASSERT_EQ(bl, Ilbc_Decode(&a, f.data(), static_cast<int16_t>(fb), ya, &type)) << "not an error";
      ASSERT_EQ(bl, Ilbc_DecodePlc(&b, yb, 1));
      EXPECT_EQ(0, std::memcmp(ya, yb, sizeof(int16_t) * bl));
      EXPECT_EQ(0, std::memcmp(&a, &b, sizeof(a))) << "same decoder state afterwards";
    }
    // The same frame with a valid start is decoded, not concealed.
    IlbcDecoder a = dec;
    IlbcDecoder b = dec;
    int16_t ya[240];
    int16_t yb[240];
    Ilbc_Decode(&a, frames[20].data(), static_cast<int16_t>(fb), ya, &type);
    Ilbc_DecodePlc(&b, yb, 1);
    EXPECT_NE(0, std::memcmp(ya, yb, sizeof(int16_t) * bl));
  }
}

TEST(IlbcApi, RandomBytesNeverFail) {
  std::mt19937 rng(7);
  for (int mode : {20, 30}) {
    IlbcDecoder dec;
    Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
    const int fb = mode == 30 ? 50 : 38;
    std::vector<uint8_t> f(static_cast<size_t>(fb));
    int16_t out[240];
    int16_t type;
    for (int i = 0; i < 300; ++i) {
      for (auto& b : f) b = static_cast<uint8_t>(rng());
      ASSERT_EQ(mode == 30 ? 240 : 160, Ilbc_Decode(&dec, f.data(), static_cast<int16_t>(fb), out, &type));
    }
  }
}

}  // namespace
