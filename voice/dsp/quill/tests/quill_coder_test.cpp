// Tests of Quill's arithmetic coder: round trips, carries, termination, corrupt streams, header fields.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "voice/dsp/quill/quill_internal.h"

namespace {

// A random cumulative table of n symbols, padded with 65535 to `padTo` entries.
std::vector<uint16_t> randomCdf(int n, std::mt19937& rng, int padTo = 0) {
  std::vector<double> w(n);
  std::exponential_distribution<double> e(1.0);
  double sum = 0;
  for (double& v : w) sum += v = e(rng) + 0.001;
  std::vector<uint16_t> cdf(n + 1);
  int acc = 0;
  const int spare = 65535 - n;
  for (int i = 0; i < n; ++i) {
    cdf[i] = static_cast<uint16_t>(acc);
    acc += 1 + static_cast<int>(w[i] / sum * spare);
  }
  cdf[n] = 65535;
  if (padTo > n + 1) cdf.resize(padTo, 65535);
  return cdf;
}

// A decoding stream over the first `bytes` bytes an encoding stream wrote (the rest of its buffer zero).
QuillStream readerOf(const QuillStream& enc, int bytes) {
  QuillStream d;
  Quill_StreamReset(&d);
  std::memset(d.buffer, 0, sizeof(d.buffer));
  std::memcpy(d.buffer, enc.buffer, static_cast<size_t>(bytes));
  return d;
}

std::vector<int> randomSymbols(const std::vector<uint16_t>& cdf, int n, int count, std::mt19937& rng) {
  std::uniform_int_distribution<int> u(0, 65534);
  std::vector<int> out(count);
  for (int& s : out) {
    const int r = u(rng);
    int k = 0;
    while (k + 1 < n && cdf[k + 1] <= r) ++k;
    s = k;
  }
  return out;
}

TEST(QuillCoder, RandomStreamsRoundTripWithBothDecodersAndTheLengthAgrees) {
  std::mt19937 rng(1);
  for (int trial = 0; trial < 300; ++trial) {
    const int count = 1 + static_cast<int>(rng() % 300);
    std::vector<std::vector<uint16_t>> tables;
    std::vector<int> sizes, starts, values;
    for (int i = 0; i < count; ++i) {
      const int n = 1 + static_cast<int>(rng() % 40);
      int size = 2;
      while (size < n + 1) size *= 2;
      tables.push_back(randomCdf(n, rng, size));
      sizes.push_back(size);
      starts.push_back(static_cast<int>(rng() % n));
      values.push_back(randomSymbols(tables.back(), n, 1, rng)[0]);
    }
    std::vector<const uint16_t*> ptrs;
    for (auto& t : tables) ptrs.push_back(t.data());
    QuillStream enc;
    Quill_StreamReset(&enc);
    Quill_EncodeSymbols(&enc, values.data(), ptrs.data(), count);
    const int length = Quill_EncodeTerminate(&enc);
    ASSERT_EQ(enc.overflow, 0);
    ASSERT_LE(length, kQuillMaxPayloadBytes);

    for (int bisect = 0; bisect < 2; ++bisect) {
      QuillStream dec = readerOf(enc, length);
      std::vector<int> got(count);
      int consumed = 0;
      // Decode in a few calls to exercise the resumed state.
      for (int at = 0; at < count;) {
        const int chunk = std::min(count - at, 1 + static_cast<int>(rng() % 7));
        consumed = bisect ? Quill_DecodeSymbolsBisect(got.data() + at, &dec, ptrs.data() + at, sizes.data() + at, chunk)
                          : Quill_DecodeSymbolsStep(got.data() + at, &dec, ptrs.data() + at, starts.data() + at, chunk);
        ASSERT_GE(consumed, 0);
        at += chunk;
      }
      EXPECT_EQ(got, values) << "trial " << trial;
      EXPECT_EQ(consumed, length) << "trial " << trial;
    }
  }
}

TEST(QuillCoder, CodingCostIsCloseToTheIdealEntropy) {
  std::mt19937 rng(5);
  const auto cdf = randomCdf(16, rng);
  const auto symbols = randomSymbols(cdf, 16, 1000, rng);
  double ideal = 0.0;
  for (int s : symbols) ideal -= std::log2((cdf[s + 1] - cdf[s]) / 65535.0);
  std::vector<const uint16_t*> ptrs(symbols.size(), cdf.data());
  QuillStream enc;
  Quill_StreamReset(&enc);
  Quill_EncodeSymbols(&enc, symbols.data(), ptrs.data(), static_cast<int>(symbols.size()));
  const int bytes = Quill_EncodeTerminate(&enc);
  ASSERT_EQ(enc.overflow, 0);
  EXPECT_LT(bytes * 8.0, ideal * 1.01 + 16);
}

TEST(QuillCoder, CarryRunsThroughBytesOfFF) {
  QuillStream s;
  Quill_StreamReset(&s);
  s.buffer[0] = 0x12;
  s.buffer[1] = 0xFF;
  s.buffer[2] = 0xFF;
  s.bytePos = 3;
  s.rangeValue = 0xFFFFFF00u;
  s.rangeWidth = 0xFFFFFFFFu;
  // The low end of this interval is above 256, so the sum wraps and the carry runs back.
  Quill_EncodeInterval(&s, 30000, 30001);
  EXPECT_EQ(s.buffer[0], 0x13);
  EXPECT_EQ(s.buffer[1], 0x00);
  EXPECT_EQ(s.buffer[2], 0x00);
}

TEST(QuillCoder, TerminationWritesOneByteForAWideIntervalAndTwoOtherwise) {
  QuillStream s;
  Quill_StreamReset(&s);
  EXPECT_EQ(Quill_EncodeTerminate(&s), 1);  // fresh: width 0xFFFFFFFF
  Quill_StreamReset(&s);
  s.rangeWidth = (1u << 25) - 1;
  EXPECT_EQ(Quill_EncodeTerminate(&s), 2);
}

TEST(QuillCoder, CheckpointsCountTheBitsWritten) {
  QuillStream s;
  Quill_StreamReset(&s);
  Quill_BitCheckpoint(&s);
  EXPECT_NEAR(s.bitCheckpoints[0], 0.0, 1e-6);
  const uint16_t half[3] = {0, 32768, 65535};
  const uint16_t* t[1] = {half};
  for (int i = 0; i < 40; ++i) {
    const int v = i & 1;
    Quill_EncodeSymbols(&s, &v, t, 1);
  }
  Quill_BitCheckpoint(&s);
  EXPECT_NEAR(s.bitCheckpoints[1], 40.0, 0.5);
  EXPECT_EQ(s.checkpointCount, 2);
  for (int i = 0; i < 40; ++i) Quill_BitCheckpoint(&s);
  EXPECT_EQ(s.checkpointCount, 30);  // the list holds 30
}

TEST(QuillCoder, CorruptStreamsGiveErrorsAndStayInsideTheBuffer) {
  // A value beyond the table's last symbol: every byte 0xFF reads above any scaled entry.
  const uint16_t small[3] = {0, 100, 65535};  // the very top of the range belongs to no symbol
  const uint16_t* t[1] = {small};
  QuillStream s;
  Quill_StreamReset(&s);
  std::memset(s.buffer, 0xFF, sizeof(s.buffer));
  int v = 0, start = 0;
  EXPECT_EQ(Quill_DecodeSymbolsStep(&v, &s, t, &start, 1), -3);
  // A broken stream (width 0) is refused.
  Quill_StreamReset(&s);
  s.rangeWidth = 0;
  EXPECT_EQ(Quill_DecodeSymbolsStep(&v, &s, t, &start, 1), -2);
  const int size = 4;
  EXPECT_EQ(Quill_DecodeSymbolsBisect(&v, &s, t, &size, 1), -2);
  // Reading on past the buffer yields zeros, never a read outside it (ASan watches).
  Quill_StreamReset(&s);
  std::mt19937 rng(3);
  for (auto& b : s.buffer) b = static_cast<uint8_t>(rng());
  const uint16_t even[3] = {0, 32768, 65535};
  const uint16_t* tt[1] = {even};
  int consumed = 0;
  for (int i = 0; i < 6000 && consumed >= 0; ++i) consumed = Quill_DecodeSymbolsStep(&v, &s, tt, &start, 1);
  EXPECT_GE(static_cast<int>(s.bytePos), kQuillMaxPayloadBytes);
}

TEST(QuillCoder, HeaderFieldsRoundTripAndBadValuesAreRefused) {
  QuillStream s;
  Quill_StreamReset(&s);
  EXPECT_EQ(Quill_EncodeFrameLength(&s, 640), -QUILL_ERR_BAD_FRAME_LENGTH);
  for (int len : {320, 480, 960}) {
    for (int bw : {0, 7, 23}) {
      Quill_StreamReset(&s);
      ASSERT_EQ(Quill_EncodeFrameLength(&s, len), 0);
      Quill_EncodeBandwidth(&s, bw);
      const int bytes = Quill_EncodeTerminate(&s);
      QuillStream d = readerOf(s, bytes);
      int gotLen = 0, gotBw = 0;
      ASSERT_GE(Quill_DecodeFrameLength(&d, &gotLen), 0);
      EXPECT_EQ(Quill_DecodeBandwidth(&d, &gotBw), bytes);
      EXPECT_EQ(gotLen, len);
      EXPECT_EQ(gotBw, bw);
    }
  }
  // A frame-length value of 3 does not exist: all-ones bytes point past the table.
  QuillStream d;
  Quill_StreamReset(&d);
  std::memset(d.buffer, 0xFF, sizeof(d.buffer));
  int len = 0;
  EXPECT_EQ(Quill_DecodeFrameLength(&d, &len), -QUILL_ERR_FRAME_LENGTH_FIELD);
}

TEST(QuillCoder, PitchGainFieldQuantisesAndReconstructsAlike) {
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> g(0, 1843);
  for (int trial = 0; trial < 200; ++trial) {
    int16_t gains[4] = {static_cast<int16_t>(g(rng)), static_cast<int16_t>(g(rng)), static_cast<int16_t>(g(rng)),
                        static_cast<int16_t>(g(rng))};
    const int16_t original[4] = {gains[0], gains[1], gains[2], gains[3]};
    QuillStream s;
    Quill_StreamReset(&s);
    Quill_EncodePitchGains(&s, gains);
    const int bytes = Quill_EncodeTerminate(&s);
    QuillStream d = readerOf(s, bytes);
    int16_t got[4];
    EXPECT_EQ(Quill_DecodePitchGains(&d, got), bytes);
    for (int j = 0; j < 4; ++j) {
      EXPECT_EQ(got[j], gains[j]);
      EXPECT_GE(got[j], 0);
      if (j < 3) {
        EXPECT_LE(got[j], 1843);
      }
    }
    // The quantiser keeps the mean gain within a step of the transform (1/8 rad over 4 gains).
    double m0 = 0, m1 = 0;
    for (int j = 0; j < 4; ++j) m0 += original[j], m1 += gains[j];
    EXPECT_NEAR(m1 / 4, m0 / 4, 300.0);
  }
}

}  // namespace
