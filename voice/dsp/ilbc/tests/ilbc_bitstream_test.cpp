// Tests of the iLBC bit stream: packing round trips, the class allocation and the index conversion.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <cstring>
#include <vector>
#include <random>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/ilbc_tables.h"

namespace {

struct Widths {
  int lsf[6];
  int start, first, scale, state;
  int cb[15];
  int gain[15];
  int lsfCount, stateLength, blocks;
};

int total(const int8_t* row) { return row[0] + row[1] + row[2] + row[3] + row[4]; }

Widths widthsFor(int mode) {
  Widths w{};
  const bool m30 = mode == 30;
  const int8_t* lsf = m30 ? kIlbcUlp30LsfBits : kIlbcUlp20LsfBits;
  w.lsfCount = m30 ? 6 : 3;
  for (int k = 0; k < w.lsfCount; ++k) w.lsf[k] = total(lsf + 5 * k);
  w.start = total(m30 ? kIlbcUlp30StartBits : kIlbcUlp20StartBits);
  w.first = total(m30 ? kIlbcUlp30StartfirstBits : kIlbcUlp20StartfirstBits);
  w.scale = total(m30 ? kIlbcUlp30ScaleBits : kIlbcUlp20ScaleBits);
  w.state = total(m30 ? kIlbcUlp30StateBits : kIlbcUlp20StateBits);
  w.stateLength = m30 ? 58 : 57;
  w.blocks = m30 ? 5 : 3;
  for (int k = 0; k < 3; ++k) {
    w.cb[k] = total((m30 ? kIlbcUlp30ExtraCbIndex : kIlbcUlp20ExtraCbIndex) + 5 * k);
    w.gain[k] = total((m30 ? kIlbcUlp30ExtraCbGain : kIlbcUlp20ExtraCbGain) + 5 * k);
  }
  for (int b = 1; b < w.blocks; ++b)
    for (int k = 0; k < 3; ++k) {
      w.cb[3 * b + k] = total((m30 ? kIlbcUlp30CbIndex : kIlbcUlp20CbIndex) + 15 * (b - 1) + 5 * k);
      w.gain[3 * b + k] = total((m30 ? kIlbcUlp30CbGain : kIlbcUlp20CbGain) + 15 * (b - 1) + 5 * k);
    }
  return w;
}

IlbcFrameParams randomParams(const Widths& w, std::mt19937& rng, bool allOnes = false) {
  IlbcFrameParams p;
  std::memset(&p, 0, sizeof(p));
  auto pick = [&](int bits) {
    const int max = (1 << bits) - 1;
    return static_cast<int16_t>(allOnes ? max : std::uniform_int_distribution<int>(0, max)(rng));
  };
  for (int k = 0; k < w.lsfCount; ++k) p.lsf[k] = pick(w.lsf[k]);
  p.start = pick(w.start);
  p.stateFirst = pick(w.first);
  p.idxForMax = pick(w.scale);
  for (int k = 0; k < w.stateLength; ++k) p.idxVec[k] = pick(w.state);
  for (int k = 0; k < 3 * w.blocks; ++k) {
    p.cbIndex[k] = pick(w.cb[k]);
    p.gainIndex[k] = pick(w.gain[k]);
  }
  return p;
}

class BitstreamTest : public ::testing::TestWithParam<int> {};

TEST_P(BitstreamTest, RandomParametersSurvivePackAndUnpack) {
  const int mode = GetParam();
  const int bytes = mode == 30 ? 50 : 38;
  const Widths w = widthsFor(mode);
  std::mt19937 rng(static_cast<unsigned>(mode));
  for (int trial = 0; trial < 500; ++trial) {
    const IlbcFrameParams p = randomParams(w, rng);
    uint8_t frame[50];
    std::memset(frame, 0xAA, sizeof(frame));
    Ilbc_PackFrame(frame, &p, mode);
    IlbcFrameParams q;
    EXPECT_EQ(0, Ilbc_UnpackFrame(frame, &q, mode));
    EXPECT_EQ(0, frame[bytes - 1] & 1) << "empty-frame bit";
    ASSERT_EQ(0, std::memcmp(&p, &q, sizeof(p))) << "trial " << trial;
    if (mode == 20) {
      EXPECT_EQ(0xAA, frame[38]) << "wrote past a 20-ms frame";
    }
  }
}

TEST_P(BitstreamTest, AllocationFillsEveryBitButTheLast) {
  const int mode = GetParam();
  const int bytes = mode == 30 ? 50 : 38;
  std::mt19937 rng(1);
  const IlbcFrameParams p = randomParams(widthsFor(mode), rng, true);
  uint8_t frame[50];
  Ilbc_PackFrame(frame, &p, mode);
  for (int i = 0; i < bytes - 1; ++i) EXPECT_EQ(0xFF, frame[i]) << "byte " << i;
  EXPECT_EQ(0xFE, frame[bytes - 1]);
}

TEST_P(BitstreamTest, ClassOneBitsComeFirst) {
  // The most sensitive bits lead the frame: the first LSF index (all class 1) fills the first 6 bits,
  // and only the most significant part of a split parameter sits in an earlier class.
  const int mode = GetParam();
  IlbcFrameParams p;
  std::memset(&p, 0, sizeof(p));
  p.lsf[0] = 0x2D;  // 101101
  uint8_t frame[50];
  Ilbc_PackFrame(frame, &p, mode);
  EXPECT_EQ(0xB4, frame[0]);
  // A state sample has 1 bit in class 2 and 2 bits in class 3: with every other field zero, value 4
  // sets one bit in the class-2 area and nothing in class 3.
  std::memset(&p, 0, sizeof(p));
  p.idxVec[0] = 4;
  Ilbc_PackFrame(frame, &p, mode);
  int set = 0;
  int where = -1;
  for (int bit = 0; bit < (mode == 30 ? 400 : 304); ++bit)
    if ((frame[bit >> 3] >> (7 - (bit & 7))) & 1) {
      ++set;
      where = bit;
    }
  EXPECT_EQ(1, set);
  // Class-1 bits in all: 48 (20 ms) and 64 (30 ms), as the published allocation adds up.
  const int class1Bits = mode == 30 ? 64 : 48;
  EXPECT_EQ(class1Bits, where) << "state sample 0 is the first class-2 bit";
}

INSTANTIATE_TEST_SUITE_P(Ilbc, BitstreamTest, ::testing::Values(20, 30));

TEST(IlbcIndexConversion, SevenBitIndicesMapBothWays) {
  // Every 7-bit index of the first sub-block's later stages names one codebook vector, and the
  // encoder's mapping inverts the decoder's.
  std::vector<int> seen;
  for (int i = 0; i < 128; ++i) {
    int16_t idx[3] = {0, static_cast<int16_t>(i), static_cast<int16_t>(i)};
    Ilbc_ConvertIndexDec(idx);
    seen.push_back(idx[1]);
    EXPECT_LT(idx[1], 256);
    Ilbc_ConvertIndexEnc(idx);
    EXPECT_EQ(i, idx[1]);
    EXPECT_EQ(i, idx[2]);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen.end(), std::adjacent_find(seen.begin(), seen.end()));
  // Decoded: the first 44 vectors of each section and the 20 augmented ones of each.
  EXPECT_EQ(0, seen[0]);
  EXPECT_EQ(43, seen[43]);
  EXPECT_EQ(108, seen[44]);
  EXPECT_EQ(171, seen[107]);
  EXPECT_EQ(236, seen[108]);
  EXPECT_EQ(255, seen[127]);
}

}  // namespace

namespace {

std::string ReadFile(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}

TEST(IlbcTables, CommittedTablesMatchTheGenerator) {
  const char* src = std::getenv("TESSALY_SOURCE_DIR");
  if (!src) GTEST_SKIP() << "TESSALY_SOURCE_DIR not set";
  const std::string dir = std::string(src) + "/voice/dsp/ilbc";
  const std::string out = "ilbc_tables_check_" + std::to_string(getpid()) + ".cpp";
  const std::string cmd = "python3 '" + dir + "/gen/gen_tables.py' '" + dir + "/gen/tables.txt' '" + out + "'";
  if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "python3 missing";
  const std::string hdr = out.substr(0, out.size() - 4) + ".h";
  EXPECT_EQ(ReadFile(dir + "/ilbc_tables.cpp"), ReadFile(out));
  EXPECT_EQ(ReadFile(dir + "/ilbc_tables.h"), ReadFile(hdr));
  std::remove(out.c_str());
  std::remove(hdr.c_str());
}

}  // namespace
