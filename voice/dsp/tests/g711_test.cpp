// Tests of G.711 companding: exhaustive comparison with reference tables built from the segment tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "voice/dsp/g711.h"

namespace {

struct Reference {
  std::vector<uint8_t> alawEncode, ulawEncode;  // index x + 32768
  std::vector<int16_t> alawDecode, ulawDecode;  // index code
};

std::string fixturePath() {
  if (const char* src = std::getenv("TESSALY_SOURCE_DIR")) {
    return std::string(src) + "/voice/dsp/tests/fixtures/g711_tables.txt";
  }
  return std::string(DSP_FIXTURE_DIR) + "/g711_tables.txt";
}

// Expands the runs "first_input code" into a full 65536-entry table.
std::vector<uint8_t> readRuns(std::istream& in, int runs) {
  std::vector<std::pair<int, int>> r(runs);
  for (auto& [first, code] : r) in >> first >> code;
  std::vector<uint8_t> table(65536);
  for (int i = 0; i < runs; ++i) {
    const int end = i + 1 < runs ? r[i + 1].first : 32768;
    for (int x = r[i].first; x < end; ++x) table[x + 32768] = static_cast<uint8_t>(r[i].second);
  }
  EXPECT_EQ(r.front().first, -32768);
  return table;
}

const Reference& reference() {
  static const Reference ref = [] {
    Reference r;
    std::ifstream f(fixturePath());
    EXPECT_TRUE(f.good()) << fixturePath();
    std::string line, name;
    int count = 0;
    while (f >> name) {
      if (name[0] == '#') {
        std::getline(f, line);
        continue;
      }
      f >> count;
      if (name == "alaw_encode") r.alawEncode = readRuns(f, count);
      if (name == "ulaw_encode") r.ulawEncode = readRuns(f, count);
      if (name == "alaw_decode" || name == "ulaw_decode") {
        auto& t = name == "alaw_decode" ? r.alawDecode : r.ulawDecode;
        t.resize(count);
        for (auto& v : t) f >> v;
      }
    }
    return r;
  }();
  return ref;
}

std::vector<int16_t> allInputs() {
  std::vector<int16_t> x(65536);
  for (int i = 0; i < 65536; ++i) x[i] = static_cast<int16_t>(i - 32768);
  return x;
}

std::vector<uint8_t> allCodes() {
  std::vector<uint8_t> c(256);
  for (int i = 0; i < 256; ++i) c[i] = static_cast<uint8_t>(i);
  return c;
}

using Encoder = int16_t (*)(const int16_t*, int16_t, uint8_t*);
using Decoder = int16_t (*)(const uint8_t*, int16_t*, int16_t);

// Encodes every 16-bit input through the block routine in the largest blocks it takes.
std::vector<uint8_t> encodeAll(Encoder enc) {
  const auto x = allInputs();
  std::vector<uint8_t> out(65536);
  for (int pos = 0; pos < 65536; pos += 16384) EXPECT_EQ(enc(x.data() + pos, 16384, out.data() + pos), 16384);
  return out;
}

TEST(DspG711, EveryInputEncodesAsTheReferenceTable) {
  const Reference& ref = reference();
  ASSERT_EQ(ref.alawEncode.size(), 65536u);
  ASSERT_EQ(ref.ulawEncode.size(), 65536u);
  const auto a = encodeAll(G711_LinearToAlaw);
  const auto u = encodeAll(G711_LinearToUlaw);
  int diffA = 0, diffU = 0;
  for (int i = 0; i < 65536; ++i) {
    if (a[i] != ref.alawEncode[i] && diffA++ < 5) ADD_FAILURE() << "A-law x=" << i - 32768;
    if (u[i] != ref.ulawEncode[i] && diffU++ < 5) ADD_FAILURE() << "mu-law x=" << i - 32768;
  }
  EXPECT_EQ(diffA, 0);
  EXPECT_EQ(diffU, 0);
}

TEST(DspG711, EveryCodeDecodesAsTheReferenceTable) {
  const Reference& ref = reference();
  ASSERT_EQ(ref.alawDecode.size(), 256u);
  ASSERT_EQ(ref.ulawDecode.size(), 256u);
  const auto codes = allCodes();
  std::vector<int16_t> a(256), u(256);
  EXPECT_EQ(G711_AlawToLinear(codes.data(), a.data(), 256), 256);
  EXPECT_EQ(G711_UlawToLinear(codes.data(), u.data(), 256), 256);
  EXPECT_EQ(a, ref.alawDecode);
  EXPECT_EQ(u, ref.ulawDecode);
  EXPECT_EQ(*std::max_element(a.begin(), a.end()), 32256);
  EXPECT_EQ(*std::min_element(a.begin(), a.end()), -32256);
  EXPECT_EQ(*std::max_element(u.begin(), u.end()), 32124);
  EXPECT_EQ(*std::min_element(u.begin(), u.end()), -32124);
}

TEST(DspG711, DecodedValuesReencodeToTheirOwnCode) {
  for (int c = 0; c < 256; ++c) {
    const auto code = static_cast<uint8_t>(c);
    EXPECT_EQ(G711_AlawEncodeSample(G711_AlawDecodeSample(code)), code) << c;
    // mu-law has two zeros; the negative one (0x7F) decodes to 0, which codes as 0xFF.
    const uint8_t expect = c == 0x7F ? 0xFF : code;
    EXPECT_EQ(G711_UlawEncodeSample(G711_UlawDecodeSample(code)), expect) << c;
  }
}

TEST(DspG711, StatedEdgeCodes) {
  struct Case {
    int16_t x;
    uint8_t alaw, ulaw;
  };
  const Case cases[] = {{0, 0xD5, 0xFF}, {-1, 0x55, 0x7F}, {32767, 0xAA, 0x80}, {-32768, 0x2A, 0x00}};
  for (const Case& c : cases) {
    EXPECT_EQ(G711_AlawEncodeSample(c.x), c.alaw) << c.x;
    EXPECT_EQ(G711_UlawEncodeSample(c.x), c.ulaw) << c.x;
  }
  EXPECT_EQ(G711_AlawDecodeSample(0xD5), 8);
  EXPECT_EQ(G711_AlawDecodeSample(0x55), -8);
  EXPECT_EQ(G711_UlawDecodeSample(0xFF), 0);
  EXPECT_EQ(G711_UlawDecodeSample(0x7F), 0);
}

TEST(DspG711, OddAndEmptyCountsStayInsideTheBuffers) {
  const int16_t in[3] = {1000, -1000, 32767};
  for (Encoder enc : {G711_LinearToAlaw, G711_LinearToUlaw}) {
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(enc(in, 3, out), 3);
    EXPECT_EQ(out[3], 0xEE);  // the byte after an odd count is not touched
    uint8_t untouched[2] = {0xEE, 0xEE};
    EXPECT_EQ(enc(in, 0, untouched), 0);
    EXPECT_EQ(enc(in, -4, untouched), -4);
    EXPECT_EQ(untouched[0], 0xEE);
  }
  EXPECT_EQ(G711_AlawEncodeSample(1000), [&] {
    uint8_t o[3];
    G711_LinearToAlaw(in, 3, o);
    return o[0];
  }());
  const uint8_t codes[3] = {0x12, 0x34, 0x56};
  for (Decoder dec : {G711_AlawToLinear, G711_UlawToLinear}) {
    int16_t out[4] = {77, 77, 77, 77};
    EXPECT_EQ(dec(codes, out, 3), 3);
    EXPECT_EQ(out[3], 77);
    EXPECT_EQ(dec(codes, out, 0), 0);
    EXPECT_EQ(dec(codes, out, -1), -1);
  }
}

TEST(DspG711, VersionIsEmptyAndThereIsNoConcealment) {
  char text[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(G711_Version(text), 0);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(text[1], 'x');
  int16_t out[80];
  EXPECT_EQ(G711_DecodePlc(nullptr, out, 1), -1);
}

// Signal-to-quantisation-noise of a 1 kHz tone over a range of levels; G.711 keeps about 38 dB.
TEST(DspG711, ToneSnrAcrossLevels) {
  for (double dbfs : {-10.0, -20.0, -30.0}) {
    const double amp = 32767.0 * std::pow(10.0, dbfs / 20.0) * std::sqrt(2.0);  // RMS at dbfs
    std::vector<int16_t> x(8000);
    for (int i = 0; i < 8000; ++i) x[i] = static_cast<int16_t>(std::lround(amp * std::sin(2 * M_PI * 1000.5 * i / 8000)));
    for (auto [enc, dec] : {std::pair<Encoder, Decoder>{G711_LinearToAlaw, G711_AlawToLinear},
                            std::pair<Encoder, Decoder>{G711_LinearToUlaw, G711_UlawToLinear}}) {
      std::vector<uint8_t> c(8000);
      std::vector<int16_t> y(8000);
      enc(x.data(), 8000, c.data());
      dec(c.data(), y.data(), 8000);
      double s = 0, n = 0;
      for (int i = 0; i < 8000; ++i) {
        s += double(x[i]) * x[i];
        n += double(x[i] - y[i]) * (x[i] - y[i]);
      }
      const double snr = 10 * std::log10(s / n);
      EXPECT_GT(snr, 33.0) << dbfs << " dBFS";
      EXPECT_LT(snr, 42.0) << dbfs << " dBFS";
    }
  }
}

}  // namespace
