// Tests of what iLBC frames mean, against values worked out from the RFC 3951 equations and an independent float decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/tests/ilbc_test_util.h"
#include "voice/dsp/spl.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Published floating-point tables, read from the generator's input so that nothing here depends on
// the fixed-point scaling of the library's tables.

using Table = std::vector<double>;

const std::map<std::string, Table>& Published() {
  static const std::map<std::string, Table> tables = [] {
    std::map<std::string, Table> t;
    FILE* f = std::fopen(TESSALY_SOURCE_DIR "/voice/dsp/ilbc/gen/tables.txt", "r");
    if (!f) return t;
    std::string name;
    char line[4096];
    while (std::fgets(line, sizeof(line), f)) {
      std::string s(line);
      if (s.rfind("# name:", 0) == 0) {
        name = s.substr(7);
        name.erase(0, name.find_first_not_of(' '));
        name.erase(name.find_last_not_of(" \r\n") + 1);
        continue;
      }
      if (s.empty() || s[0] == '#' || name.empty()) continue;
      std::istringstream in(s);
      double v;
      while (in >> v) t[name].push_back(v);
    }
    std::fclose(f);
    return t;
  }();
  return tables;
}

const Table& T(const char* name) {
  static const Table empty;
  auto it = Published().find(name);
  return it == Published().end() ? empty : it->second;
}

// ---------------------------------------------------------------------------------------------
// The bit allocation of RFC 3951 Table 3.2, written out here: every parameter with its bits in
// classes 1, 2 and 3, in the order of the table. The stream carries all class-1 bits, then all
// class-2 bits, then all class-3 bits; a parameter's class-1 bits are its most significant ones.

struct Frame {
  int lsf[6] = {};
  int start = 1;
  int first = 0;
  int scale = 0;
  int state[58] = {};
  int cb[15] = {};    // block 0 (the 22/23 samples), then sub-blocks in coding order; 3 stages each
  int gain[15] = {};  // the same; cb indices as they travel (7 bits for stages 2, 3 of sub-block 1)
};

struct Field {
  int* value;
  int bits[3];
};

std::vector<Field> Layout(Frame& f, int mode) {
  const bool m30 = mode == 30;
  std::vector<Field> l;
  auto add = [&](int* v, int c1, int c2, int c3) { l.push_back({v, {c1, c2, c3}}); };
  for (int s = 0; s < (m30 ? 2 : 1); ++s) {
    add(&f.lsf[3 * s], 6, 0, 0);
    add(&f.lsf[3 * s + 1], 7, 0, 0);
    add(&f.lsf[3 * s + 2], 7, 0, 0);
  }
  add(&f.start, m30 ? 3 : 2, 0, 0);  // block class
  add(&f.first, 1, 0, 0);            // position of the 22/23-sample segment
  add(&f.scale, 6, 0, 0);            // scale factor of the state coder
  for (int k = 0; k < (m30 ? 58 : 57); ++k) add(&f.state[k], 0, 1, 2);
  if (m30) {
    add(&f.cb[0], 4, 2, 1);
    add(&f.cb[1], 0, 0, 7);
    add(&f.cb[2], 0, 0, 7);
    add(&f.gain[0], 1, 1, 3);
    add(&f.gain[1], 1, 1, 2);
    add(&f.gain[2], 0, 0, 3);
    add(&f.cb[3], 6, 1, 1);
    add(&f.cb[4], 0, 0, 7);
    add(&f.cb[5], 0, 0, 7);
    for (int b = 2; b <= 4; ++b) {
      add(&f.cb[3 * b], 0, 7, 1);
      add(&f.cb[3 * b + 1], 0, 0, 8);
      add(&f.cb[3 * b + 2], 0, 0, 8);
    }
    add(&f.gain[3], 1, 2, 2);
    add(&f.gain[4], 1, 2, 1);
    add(&f.gain[5], 0, 0, 3);
    add(&f.gain[6], 0, 2, 3);
    add(&f.gain[7], 0, 2, 2);
    add(&f.gain[8], 0, 0, 3);
    for (int b = 3; b <= 4; ++b) {
      add(&f.gain[3 * b], 0, 1, 4);
      add(&f.gain[3 * b + 1], 0, 1, 3);
      add(&f.gain[3 * b + 2], 0, 0, 3);
    }
  } else {
    add(&f.cb[0], 6, 0, 1);
    add(&f.cb[1], 0, 0, 7);
    add(&f.cb[2], 0, 0, 7);
    add(&f.gain[0], 2, 0, 3);
    add(&f.gain[1], 1, 1, 2);
    add(&f.gain[2], 0, 0, 3);
    add(&f.cb[3], 7, 0, 1);
    add(&f.cb[4], 0, 0, 7);
    add(&f.cb[5], 0, 0, 7);
    add(&f.cb[6], 0, 0, 8);
    add(&f.cb[7], 0, 0, 8);
    add(&f.cb[8], 0, 0, 8);
    add(&f.gain[3], 1, 2, 2);
    add(&f.gain[4], 1, 1, 2);
    add(&f.gain[5], 0, 0, 3);
    add(&f.gain[6], 1, 1, 3);
    add(&f.gain[7], 0, 2, 2);
    add(&f.gain[8], 0, 0, 3);
  }
  return l;
}

int FrameBits(int mode) { return mode == 30 ? 400 : 304; }

std::vector<uint8_t> Write(Frame f, int mode, int emptyFlag = 0) {
  std::vector<uint8_t> out(static_cast<size_t>(FrameBits(mode) / 8), 0);
  int pos = 0;
  auto bit = [&](int b) {
    if (b) out[static_cast<size_t>(pos >> 3)] = static_cast<uint8_t>(out[static_cast<size_t>(pos >> 3)] | (0x80 >> (pos & 7)));
    ++pos;
  };
  const auto layout = Layout(f, mode);
  for (int c = 0; c < 3; ++c) {
    for (const Field& fl : layout) {
      int below = 0;
      for (int d = c + 1; d < 3; ++d) below += fl.bits[d];
      for (int b = fl.bits[c] - 1; b >= 0; --b) bit((*fl.value >> (below + b)) & 1);
    }
  }
  EXPECT_EQ(FrameBits(mode) - 1, pos) << "all but the empty-frame indicator";
  bit(emptyFlag);
  return out;
}

Frame Read(const uint8_t* data, int mode, int* emptyFlag) {
  Frame f;
  int pos = 0;
  auto bit = [&] {
    const int b = (data[pos >> 3] >> (7 - (pos & 7))) & 1;
    ++pos;
    return b;
  };
  const auto layout = Layout(f, mode);
  for (const Field& fl : layout) *fl.value = 0;
  for (int c = 0; c < 3; ++c)
    for (const Field& fl : layout)
      for (int b = 0; b < fl.bits[c]; ++b) *fl.value = (*fl.value << 1) | bit();
  *emptyFlag = bit();
  return f;
}

IlbcFrameParams ToParams(const Frame& f) {
  IlbcFrameParams p;
  std::memset(&p, 0, sizeof(p));
  for (int k = 0; k < 6; ++k) p.lsf[k] = static_cast<int16_t>(f.lsf[k]);
  p.start = static_cast<int16_t>(f.start);
  p.stateFirst = static_cast<int16_t>(f.first);
  p.idxForMax = static_cast<int16_t>(f.scale);
  for (int k = 0; k < 58; ++k) p.idxVec[k] = static_cast<int16_t>(f.state[k]);
  for (int k = 0; k < 15; ++k) {
    p.cbIndex[k] = static_cast<int16_t>(f.cb[k]);
    p.gainIndex[k] = static_cast<int16_t>(f.gain[k]);
  }
  return p;
}

Frame RandomFrame(int mode, std::mt19937& rng, int minScale, int maxScale) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const bool m30 = mode == 30;
  Frame f;
  for (int k = 0; k < (m30 ? 6 : 3); ++k) f.lsf[k] = pick(0, k % 3 == 0 ? 63 : 127);
  f.start = pick(1, m30 ? 5 : 3);
  f.first = pick(0, 1);
  f.scale = pick(minScale, maxScale);
  for (int k = 0; k < (m30 ? 58 : 57); ++k) f.state[k] = pick(0, 7);
  // The 22/23-sample codebook has 2 x (85 - length + 1) vectors: 126 in 20-ms mode, 128 in 30-ms mode.
  for (int k = 0; k < 3; ++k) f.cb[k] = pick(0, m30 ? 127 : 125);
  for (int b = 1; b < (m30 ? 5 : 3); ++b)
    for (int k = 0; k < 3; ++k) f.cb[3 * b + k] = pick(0, b == 1 && k > 0 ? 127 : 255);
  for (int b = 0; b < (m30 ? 5 : 3); ++b) {
    f.gain[3 * b] = pick(0, 31);
    f.gain[3 * b + 1] = pick(0, 15);
    f.gain[3 * b + 2] = pick(0, 7);
  }
  return f;
}

// ---------------------------------------------------------------------------------------------
// An independent floating-point decoder of the excitation, written from the equations and figures
// of RFC 3951 sections 3.2.5-3.2.7, 3.5, 3.6.3, 3.6.4.2 and 4.1-4.4 (full scale; the library works
// at half scale).

using Poly = std::vector<double>;  // 11 coefficients, a[0] = 1

Poly LsfToPoly(const double* w) {
  std::vector<double> p = {1.0}, q = {1.0};
  auto mul = [](std::vector<double>& f, const std::vector<double>& g) {
    std::vector<double> r(f.size() + g.size() - 1, 0.0);
    for (size_t i = 0; i < f.size(); ++i)
      for (size_t j = 0; j < g.size(); ++j) r[i + j] += f[i] * g[j];
    f = r;
  };
  for (int k = 0; k < 10; ++k) mul(k % 2 == 0 ? p : q, {1.0, -2 * std::cos(w[k]), 1.0});
  mul(p, {1.0, 1.0});
  mul(q, {1.0, -1.0});
  Poly a(11);
  for (int i = 0; i <= 10; ++i) a[i] = (p[i] + q[i]) / 2;
  return a;
}

// Stability check: neighbours at least 0.039 rad apart, pushed by 0.0195; limits 0.01 .. 3.14.
void CheckLsf(double* lsf) {
  for (int pass = 0; pass < 2; ++pass)
    for (int k = 0; k < 9; ++k) {
      if (lsf[k + 1] - lsf[k] < 0.039) {
        if (lsf[k + 1] < lsf[k]) {
          lsf[k + 1] = lsf[k] + 0.0195;
        } else {
          lsf[k] -= 0.0195;
          lsf[k + 1] += 0.0195;
        }
      }
      lsf[k] = std::min(std::max(lsf[k], 0.01), 3.14);
    }
}

// The filtered ("expanded") codebook memory: exp(k) = sum_i cbfiltersTbl(i) x(k - i + 4), x zero
// outside the memory.
std::vector<double> Expand(const std::vector<double>& x) {
  const Table& h = T("cbfiltersTbl");
  const int n = static_cast<int>(x.size());
  std::vector<double> y(x.size(), 0.0);
  for (int k = 0; k < n; ++k)
    for (int i = 0; i < 8; ++i) {
      const int j = k - i + 4;
      if (j >= 0 && j < n) y[k] += h[i] * x[j];
    }
  return y;
}

// One codebook vector. Each section holds `base` vectors cut from the memory (index n: samples
// lMem - len - n .. lMem - n - 1) and, for 40-sample targets, 20 augmented vectors for the sample
// delays 20 .. 39; the second section is the same from the filtered memory.
std::vector<double> CodebookVector(const std::vector<double>& mem, int len, int index, int base) {
  const int lMem = static_cast<int>(mem.size());
  const int section = base + (len == 40 ? 20 : 0);
  const std::vector<double> src = index >= section ? Expand(mem) : mem;
  if (index >= section) index -= section;
  std::vector<double> v(static_cast<size_t>(len));
  if (index < base) {
    for (int j = 0; j < len; ++j) v[j] = src[lMem - len - index + j];
    return v;
  }
  // Augmented vector for delay k: pp points k samples back, pi k + 5, po 5. Segment i: k - 5 samples
  // from pp; segment ii: 5 samples from pi (weights 0 .. 0.8) and po (weights 1 .. 0.2); segment
  // iii: 40 - k samples from pp.
  const int k = 20 + index - base;
  for (int j = 0; j < k - 5; ++j) v[j] = src[lMem - k + j];
  for (int t = 0; t < 5; ++t) v[k - 5 + t] = 0.2 * t * src[lMem - k - 5 + t] + (1.0 - 0.2 * t) * src[lMem - 5 + t];
  for (int j = 0; j < len - k; ++j) v[k + j] = src[lMem - k + j];
  return v;
}

// Three stages: gain 1 from the 5-bit table, gains 2 and 3 from the 4- and 3-bit tables scaled by the
// previous stage's gain magnitude, never below 0.1.
std::vector<double> Gains(const int* idx) {
  const double g1 = T("gain_sq5Tbl")[idx[0]];
  const double g2 = T("gain_sq4Tbl")[idx[1]] * std::max(0.1, std::fabs(g1));
  const double g3 = T("gain_sq3Tbl")[idx[2]] * std::max(0.1, std::fabs(g2));
  return {g1, g2, g3};
}

std::vector<double> Construct(const std::vector<double>& mem, int len, const int* cb, const int* gain,
                              const int* base) {
  const auto g = Gains(gain);
  std::vector<double> out(static_cast<size_t>(len), 0.0);
  for (int s = 0; s < 3; ++s) {
    const auto v = CodebookVector(mem, len, cb[s], base[s]);
    for (int j = 0; j < len; ++j) out[j] += g[s] * v[j];
  }
  return out;
}

// Start state: table look-up, times 10^qmax / 4.5, time reversal, the dispersion filter
// A~r(z) / A~(z) by circular convolution, time reversal.
std::vector<double> StartState(const Frame& f, int len, const Poly& a) {
  const double scale = std::pow(10.0, T("state_frgqTbl")[f.scale]) / 4.5;
  std::vector<double> in(2 * len, 0.0), filtered(2 * len, 0.0);
  for (int k = 0; k < len; ++k) in[k] = T("state_sq3Tbl")[f.state[len - 1 - k]] * scale;
  for (int n = 0; n < 2 * len; ++n) {
    double s = 0;
    for (int i = 0; i <= 10 && i <= n; ++i) s += a[10 - i] * in[n - i] - (i > 0 ? a[i] * filtered[n - i] : 0.0);
    filtered[n] = s;
  }
  std::vector<double> out(static_cast<size_t>(len));
  for (int k = 0; k < len; ++k) out[k] = filtered[len - 1 - k] + filtered[2 * len - 1 - k];
  return out;
}

struct ReferenceDecoder {
  int mode;
  double lsfOld[10];
  std::vector<Poly> lpc;     // the last frame's synthesis polynomials
  double synthMemory[10] = {};

  explicit ReferenceDecoder(int m) : mode(m) {
    for (int k = 0; k < 10; ++k) lsfOld[k] = T("lsfmeanTbl")[k];
  }

  // Synthesis polynomials, one per sub-block (sections 4.1, 3.2.6, 3.2.7).
  std::vector<Poly> Lpc(const Frame& f) {
    const bool m30 = mode == 30;
    const Table& cb = T("lsfCbTbl");
    double lsf[2][10];
    for (int s = 0; s < (m30 ? 2 : 1); ++s) {
      static const int dim[3] = {3, 3, 4}, size[3] = {64, 128, 128};
      int off = 0, pos = 0;
      for (int part = 0; part < 3; ++part) {
        for (int d = 0; d < dim[part]; ++d) lsf[s][pos + d] = cb[off + f.lsf[3 * s + part] * dim[part] + d];
        off += size[part] * dim[part];
        pos += dim[part];
      }
      CheckLsf(lsf[s]);
    }
    std::vector<Poly> out;
    auto interp = [&](const double* x, const double* y, double w) {
      double l[10];
      for (int k = 0; k < 10; ++k) l[k] = w * x[k] + (1 - w) * y[k];
      out.push_back(LsfToPoly(l));
    };
    if (m30) {
      const Table& w = T("lsf_weightTbl_30ms");
      interp(lsfOld, lsf[0], w[0]);
      for (int i = 1; i < 6; ++i) interp(lsf[0], lsf[1], w[i]);
      std::memcpy(lsfOld, lsf[1], sizeof(lsfOld));
    } else {
      const Table& w = T("lsf_weightTbl_20ms");
      for (int i = 0; i < 4; ++i) interp(lsfOld, lsf[0], w[i]);
      std::memcpy(lsfOld, lsf[0], sizeof(lsfOld));
    }
    return out;
  }

  // The excitation of one frame (section 4.3): start state, the 22/23 samples, the sub-blocks after
  // the state forwards in time, then those before it backwards in time.
  std::vector<double> Excitation(const Frame& f) {
    const bool m30 = mode == 30;
    const int nsub = m30 ? 6 : 4;
    const int len = m30 ? 58 : 57;
    const int diff = 80 - len;
    lpc = Lpc(f);
    std::vector<double> x(static_cast<size_t>(40 * nsub), 0.0);
    const int pos = (f.start - 1) * 40 + (f.first ? 0 : diff);
    const auto state = StartState(f, len, lpc[f.start - 1]);
    for (int k = 0; k < len; ++k) x[pos + k] = state[k];

    std::vector<double> mem(85, 0.0);
    const int full22[3] = {85 - diff + 1, 85 - diff + 1, 85 - diff + 1};
    if (f.first) {
      for (int k = 0; k < len; ++k) mem[85 - len + k] = state[k];
      const auto e = Construct(mem, diff, f.cb, f.gain, full22);
      for (int k = 0; k < diff; ++k) x[pos + len + k] = e[k];
    } else {
      for (int k = 0; k < len; ++k) mem[84 - k] = state[k];
      const auto e = Construct(mem, diff, f.cb, f.gain, full22);
      for (int k = 0; k < diff; ++k) x[pos - 1 - k] = e[k];
    }

    // Sub-block 1 in coding order searches only 44 regular vectors in stages 2 and 3: its 7-bit
    // indices address a codebook of two sections of 44 + 20 vectors.
    int block = 1;
    auto bases = [&] {
      static const int first[3] = {108, 44, 44}, other[3] = {108, 108, 108};
      return block == 1 ? first : other;
    };
    mem.assign(147, 0.0);
    for (int k = 0; k < 80; ++k) mem[67 + k] = x[(f.start - 1) * 40 + k];
    for (int sb = f.start + 1; sb < nsub; ++sb, ++block) {
      const auto e = Construct(mem, 40, f.cb + 3 * block, f.gain + 3 * block, bases());
      for (int k = 0; k < 40; ++k) x[40 * sb + k] = e[k];
      mem.erase(mem.begin(), mem.begin() + 40);
      mem.insert(mem.end(), e.begin(), e.end());
    }
    if (f.start > 1) {
      mem.assign(147, 0.0);
      const int avail = std::min(147, 40 * (nsub - f.start + 1));
      for (int k = 0; k < avail; ++k) mem[146 - k] = x[(f.start - 1) * 40 + k];
      for (int sb = f.start - 2; sb >= 0; --sb, ++block) {
        const auto e = Construct(mem, 40, f.cb + 3 * block, f.gain + 3 * block, bases());
        for (int k = 0; k < 40; ++k) x[40 * sb + 39 - k] = e[k];
        mem.erase(mem.begin(), mem.begin() + 40);
        mem.insert(mem.end(), e.begin(), e.end());
      }
    }
    return x;
  }

  // Speech from the last frame's excitation: each sub-block through 1 / A(z) with its own polynomial
  // (no enhancer), the filter state running on across sub-blocks and frames.
  std::vector<double> Synthesize(const std::vector<double>& x) {
    std::vector<double> y(x.size());
    for (size_t n = 0; n < x.size(); ++n) {
      const Poly& a = lpc[n / 40];
      double v = x[n];
      for (int k = 1; k <= 10; ++k) v -= a[k] * (static_cast<int>(n) - k >= 0 ? y[n - k] : synthMemory[10 - k + n]);
      y[n] = v;
    }
    for (int k = 0; k < 10; ++k) synthMemory[k] = y[x.size() - 10 + k];
    return y;
  }
};

// How far the library's (half-scale) excitation is from the reference: the error's RMS as a fraction of
// the reference's RMS, after allowing for the 16-bit half-scale rounding (an RMS error of 2 at full
// scale). What remains comes from the fixed-point LPC polynomials (table cosines): about 0.05 % on
// these frames and 0.4 % on speech, at most about 3 % on a strongly resonant start state. Given the
// library's own polynomials the float decoder matches it to within the rounding. A frame read or built
// differently (a wrong bit, sample, index, gain or filter alignment) is off by tens of percent: a
// codebook filter shifted by one sample gives 23 to 87 %.
double Mismatch(const std::vector<double>& ref, const int16_t* half) {
  double s = 0, e = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    s += ref[i] * ref[i];
    e += (ref[i] - 2.0 * half[i]) * (ref[i] - 2.0 * half[i]);
  }
  const double n = static_cast<double>(ref.size());
  const double err = std::sqrt(std::max(0.0, e / n - 4.0));
  return err / std::sqrt(s / n + 1);
}

bool HaveTables() { return T("cbfiltersTbl").size() == 8 && T("lsfCbTbl").size() == 1088; }

class IlbcRfc : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!HaveTables()) GTEST_SKIP() << "gen/tables.txt not readable";
  }
};

class IlbcRfcHand : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTables()) GTEST_SKIP() << "gen/tables.txt not readable";
  }
};

// ---------------------------------------------------------------------------------------------
// Bit stream.

TEST_P(IlbcRfc, PackingFollowsTheAllocationTable) {
  const int mode = GetParam();
  std::mt19937 rng(static_cast<unsigned>(40 + mode));
  for (int trial = 0; trial < 300; ++trial) {
    const Frame f = RandomFrame(mode, rng, 0, 63);
    const auto want = Write(f, mode);
    uint8_t got[50];
    const IlbcFrameParams p = ToParams(f);
    Ilbc_PackFrame(got, &p, mode);
    ASSERT_EQ(0, std::memcmp(want.data(), got, want.size())) << "trial " << trial;
    IlbcFrameParams q;
    ASSERT_EQ(0, Ilbc_UnpackFrame(want.data(), &q, mode));
    ASSERT_EQ(0, std::memcmp(&p, &q, sizeof(p))) << "trial " << trial;
  }
  // The empty-frame indicator is the frame's very last bit.
  Frame f;
  const auto flagged = Write(f, mode, 1);
  EXPECT_EQ(1, flagged.back());
  int empty = 0;
  Read(flagged.data(), mode, &empty);
  EXPECT_EQ(1, empty);
  IlbcFrameParams q;
  EXPECT_EQ(1, Ilbc_UnpackFrame(flagged.data(), &q, mode));
}

// A hand-made 20-ms frame, byte by byte: block class 3 with the state last, scale index 45, every
// state sample 5 (binary 101: class 2 gets 1, class 3 gets 01), all other fields 0.
TEST_F(IlbcRfcHand, HandPackedTwentyMillisecondFrame) {
  IlbcFrameParams p;
  std::memset(&p, 0, sizeof(p));
  p.start = 3;
  p.idxForMax = 45;
  for (int k = 0; k < 57; ++k) p.idxVec[k] = 5;
  uint8_t got[38];
  Ilbc_PackFrame(got, &p, 20);
  // Class 1 (48 bits): 20 LSF bits 0, start 11, position 0, scale 101101, then 19 zero bits.
  // Class 2 (64 bits): 57 ones, then 7 zero bits. Class 3 (192 bits): 57 x "01", then 77 zero bits
  // and the empty-frame bit.
  std::vector<int> bits;
  for (int i = 0; i < 20; ++i) bits.push_back(0);
  for (int b : {1, 1, 0, 1, 0, 1, 1, 0, 1}) bits.push_back(b);
  while (bits.size() < 48) bits.push_back(0);
  for (int i = 0; i < 57; ++i) bits.push_back(1);
  while (bits.size() < 112) bits.push_back(0);
  for (int i = 0; i < 57; ++i) {
    bits.push_back(0);
    bits.push_back(1);
  }
  while (bits.size() < 304) bits.push_back(0);
  for (int byte = 0; byte < 38; ++byte) {
    int v = 0;
    for (int b = 0; b < 8; ++b) v = (v << 1) | bits[static_cast<size_t>(8 * byte + b)];
    EXPECT_EQ(v, got[byte]) << "byte " << byte;
  }
  EXPECT_EQ(0x0D, got[2]) << "the last 4 LSF bits, start 11, position 0, the first scale bit";
  EXPECT_EQ(0x68, got[3]) << "the other 5 scale bits";
}

// ---------------------------------------------------------------------------------------------
// Codebook construction, by hand.

// The filtered section: exp(k) = sum_i cbfiltersTbl(i) x(k - i + 4). For a memory holding one
// impulse of 4096 at sample 100, exp(k) = 4096 cbfiltersTbl(k - 96): the taps occupy samples 96 .. 103,
// the largest (0.806152, tap 3) one sample before the impulse. Vector 10 of a section covers memory
// samples 97 .. 136.
TEST_F(IlbcRfcHand, FilteredSectionLinesUpWithTheMemory) {
  int16_t mem[147] = {};
  mem[100] = 4096;
  int16_t v[40];
  Ilbc_GetCodebookVector(v, mem, 10, 147, 40);
  for (int j = 0; j < 40; ++j) EXPECT_EQ(j == 3 ? 4096 : 0, v[j]) << "regular vector, sample " << j;
  // Regular 108 + augmented 20 vectors make the first section; vector 10 of the second is index 138.
  Ilbc_GetCodebookVector(v, mem, 128 + 10, 147, 40);
  const int16_t taps[7] = {446, -755, 3302, 2922, -590, 343, -138};  // cbfiltersTbl(1 .. 7) x 4096
  for (int j = 0; j < 40; ++j) EXPECT_EQ(j < 7 ? taps[j] : 0, v[j]) << "filtered vector, sample " << j;
  // Vector 11 covers samples 96 .. 135 and so begins with tap 0 (-0.034180 x 4096).
  Ilbc_GetCodebookVector(v, mem, 128 + 11, 147, 40);
  EXPECT_EQ(-140, v[0]);
  EXPECT_EQ(446, v[1]);
  EXPECT_EQ(3302, v[3]);
}

// The 22/23-sample codebook (memory 85): lMem - lTarget + 1 regular vectors a section, no augmented
// ones, so the filtered section begins at 63 (20 ms, 23 samples) or 64 (30 ms, 22 samples). Its first
// vector ends with the last memory sample: with an impulse there, the taps 0 .. 4 fill its last five
// samples (taps 5 .. 7 fall after the memory's end).
TEST_F(IlbcRfcHand, StateExtensionSectionsAndFilterEdge) {
  for (int len : {23, 22}) {
    int16_t mem[85] = {};
    mem[84] = 4096;
    const int section = 85 - len + 1;
    ASSERT_EQ(2 * section, Ilbc_CodebookSize(85, len));
    int16_t v[40];
    Ilbc_GetCodebookVector(v, mem, section - 1, 85, len);
    for (int j = 0; j < len; ++j) EXPECT_EQ(0, v[j]) << "the oldest regular vector misses the impulse";
    Ilbc_GetCodebookVector(v, mem, 0, 85, len);
    EXPECT_EQ(4096, v[len - 1]);
    Ilbc_GetCodebookVector(v, mem, section, 85, len);
    const int16_t taps[5] = {-140, 446, -755, 3302, 2922};
    for (int j = 0; j < len; ++j) EXPECT_EQ(j >= len - 5 ? taps[j - (len - 5)] : 0, v[j]) << "len " << len << " j " << j;
  }
}

// Augmented vectors (RFC figures 3.5 and 3.6) on a ramp memory E[-n] = 10 (148 - n): for delay k the
// vector is E[-k .. -6], then five samples mixing E[-5 .. -1] (weights 1, 0.8, .. 0.2) with
// E[-k-5 .. -k-1] (weights 0, 0.2, .. 0.8), then E[-k .. -k + 39 - k].
TEST_F(IlbcRfcHand, AugmentedVectorsByHand) {
  int16_t mem[147];
  for (int i = 0; i < 147; ++i) mem[i] = static_cast<int16_t>(10 * (i + 1));
  auto E = [](int back) { return 10.0 * (148 - back); };
  for (int k : {20, 27, 39}) {
    int16_t v[40];
    Ilbc_GetCodebookVector(v, mem, 108 + (k - 20), 147, 40);
    for (int j = 0; j < k - 5; ++j) EXPECT_EQ(E(k - j), v[j]) << "k " << k << " j " << j;
    for (int t = 0; t < 5; ++t) {
      const double want = (1.0 - 0.2 * t) * E(5 - t) + 0.2 * t * E(k + 5 - t);
      EXPECT_NEAR(want, v[k - 5 + t], 1.0) << "k " << k << " t " << t;
    }
    for (int j = k; j < 40; ++j) EXPECT_EQ(E(k - (j - k)), v[j]) << "k " << k << " j " << j;
  }
  // Delay 20 spelled out: 1280 .. 1420, then 1430, 1400, 1370, 1340, 1310, then 1280 .. 1470.
  int16_t v[40];
  Ilbc_GetCodebookVector(v, mem, 108, 147, 40);
  EXPECT_EQ(1280, v[0]);
  EXPECT_EQ(1420, v[14]);
  EXPECT_EQ(1430, v[15]);
  EXPECT_NEAR(1400, v[16], 1);
  EXPECT_NEAR(1370, v[17], 1);
  EXPECT_NEAR(1340, v[18], 1);
  EXPECT_NEAR(1310, v[19], 1);
  EXPECT_EQ(1280, v[20]);
  EXPECT_EQ(1470, v[39]);
  // The filtered section's augmented vectors come from the filtered memory the same way; its delay-20
  // vector starts at filtered sample 127 = sum_i cbfiltersTbl(i) x(131 - i), x(j) = 10 (j + 1).
  Ilbc_GetCodebookVector(v, mem, 128 + 108, 147, 40);
  double want = 0;
  for (int i = 0; i < 8; ++i) want += T("cbfiltersTbl")[i] * 10 * (131 - i + 1);
  EXPECT_NEAR(want, v[0], 2);
}

// Gains: stage 1 from the 5-bit table; stages 2 and 3 from the 4- and 3-bit tables scaled by the
// previous gain's magnitude, at least 0.1. One impulse of 10000 at memory sample 140 lies at sample 33
// of vector 0 (samples 107 .. 146), 34 of vector 1 and 35 of vector 2: each shows one stage's gain.
TEST_F(IlbcRfcHand, GainsByHand) {
  int16_t mem[147] = {};
  mem[140] = 10000;
  struct Case {
    int16_t idx[3];
    double g[3];
  };
  const Case cases[] = {
      // 1.200012; -1.049988 x 1.200012; 1.0 x 1.260000
      {{31, 0, 7}, {1.200012, -1.260000, 1.260000}},
      // 0.037476; 1.200012 x 0.1 (the floor); -1.0 x 0.1200012
      {{0, 15, 0}, {0.037476, 0.1200012, -0.1200012}},
      // 0.5625; 0.0 x 0.5625; 0.25 x 0.1 (the floor after a zero gain)
      {{14, 7, 4}, {0.5625, 0.0, 0.025}},
  };
  for (const Case& c : cases) {
    const int16_t index[3] = {0, 1, 2};
    int16_t out[40];
    Ilbc_ConstructCodebook(out, index, c.idx, mem, 147, 40);
    for (int s = 0; s < 3; ++s) EXPECT_NEAR(10000 * c.g[s], out[33 + s], 2.0) << "stage " << s + 1;
    for (int j = 0; j < 40; ++j) {
      if (j < 33 || j > 35) {
        EXPECT_EQ(0, out[j]) << j;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Start state, by hand. With A(z) = 1 the dispersion filter A~r(z) / A~(z) is a delay of 10 samples;
// time reversal, circular delay and time reversal make it a circular advance by 10, so decoded sample
// k is level[idx[(k + 10) mod len]] x 10^state_frgqTbl[scale] / 4.5 (half of it at the library's scale).
TEST_F(IlbcRfcHand, DequantisedStateByHand) {
  const int16_t unit[11] = {4096};
  std::mt19937 rng(4);
  for (int len : {57, 58}) {
    for (int scale : {0, 20, 36, 37, 58, 59, 63}) {
      int16_t idx[58];
      for (auto& v : idx) v = static_cast<int16_t>(std::uniform_int_distribution<int>(0, 7)(rng));
      int16_t out[58];
      Ilbc_ConstructState(scale, idx, unit, out, len);
      const double g = std::pow(10.0, T("state_frgqTbl")[scale]) / 4.5;
      for (int k = 0; k < len; ++k) {
        const double want = T("state_sq3Tbl")[idx[(k + 10) % len]] * g / 2;
        EXPECT_NEAR(want, out[k], 1.0 + std::fabs(want) * 0.002) << "len " << len << " scale " << scale << " k " << k;
      }
    }
  }
}

// The same construction through a strongly resonant A(z) (LSF pairs 0.03 rad apart, as a sharp
// formant gives): the dispersion filter's recursion amplifies any rounding inside it by 1 / A(z), so
// the library keeps fractional bits there. Measured: within the final rounding to whole samples
// (rounding to whole samples inside the filter was up to 15 % off).
TEST_F(IlbcRfcHand, ResonantStateStaysExact) {
  const double lsf[10] = {0.30, 0.33, 0.80, 0.83, 1.40, 1.43, 2.00, 2.03, 2.60, 2.63};
  int16_t lsfQ13[10];
  for (int k = 0; k < 10; ++k) lsfQ13[k] = static_cast<int16_t>(std::lround(lsf[k] * 8192));
  int16_t synt[11];
  Ilbc_LsfToPoly(synt, lsfQ13);
  Poly a(11);
  for (int k = 0; k < 11; ++k) a[k] = synt[k] / 4096.0;
  std::mt19937 rng(8);
  double worst = 0;
  for (int len : {57, 58}) {
    for (int scale : {5, 15, 25, 35, 45, 55}) {
      Frame f;
      f.scale = scale;
      int16_t idx[58];
      for (int k = 0; k < 58; ++k) idx[k] = static_cast<int16_t>(f.state[k] = std::uniform_int_distribution<int>(0, 7)(rng));
      int16_t out[58];
      Ilbc_ConstructState(scale, idx, synt, out, len);
      const auto want = StartState(f, len, a);
      double s = 0, e = 0;
      for (int k = 0; k < len; ++k) {
        s += want[k] * want[k];
        e += (want[k] - 2.0 * out[k]) * (want[k] - 2.0 * out[k]);
      }
      const double m = std::sqrt(std::max(0.0, e / len - 1.0)) / std::sqrt(s / len);
      worst = std::max(worst, m);
      EXPECT_LT(m, 0.005) << "len " << len << " scale " << scale;
    }
  }
  std::printf("resonant start states: largest relative error %.4f\n", worst);
}

// ---------------------------------------------------------------------------------------------
// Whole frames: the library's decoded excitation against the float decoder.

TEST_P(IlbcRfc, HandBuiltFramesDecodeAsTheStandardSays) {
  const int mode = GetParam();
  IlbcDecoder dec;
  Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
  ReferenceDecoder ref(mode);
  std::mt19937 rng(static_cast<unsigned>(mode));
  int compared = 0;
  double worst = 0;
  double sum = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const Frame f = RandomFrame(mode, rng, 20, 45);
    const auto bytes = Write(f, mode);
    const auto want = ref.Excitation(f);
    int16_t out[240];
    int16_t exc[240];
    Ilbc_DecodeBlock(out, bytes.data(), &dec, 1, exc);
    double peak = 0;
    for (double v : want) peak = std::max(peak, std::fabs(v));
    if (peak > 40000) continue;  // the library's 16-bit half scale would clip
    ++compared;
    const double m = Mismatch(want, exc);
    worst = std::max(worst, m);
    sum += m;
    EXPECT_LT(m, 0.06) << "trial " << trial << " start " << f.start << " first " << f.first;
  }
  ASSERT_GT(compared, 200);
  EXPECT_LT(sum / compared, 0.005);
  std::printf("iLBC %d ms: %d hand-built frames against the float decoder: relative error mean %.4f, largest %.4f\n",
              mode, compared, sum / compared, worst);
}

// Our encoder's frames through the float decoder: the excitation is the one the encoder meant, and
// the speech it synthesises (no enhancer; the output high-pass applied to it) is as close to the input
// as our own decoder's without the enhancer.
TEST_P(IlbcRfc, OurFramesDecodeAsTheEncoderMeantThem) {
  const auto& x = ilbc_test::Speech();
  if (x.size() < 8000) GTEST_SKIP() << "espeak-ng or sox missing";
  const int mode = GetParam();
  IlbcEncoder enc;
  Ilbc_EncoderInit(&enc, static_cast<int16_t>(mode));
  IlbcDecoder dec;
  Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
  dec.enhancer = 0;
  ReferenceDecoder ref(mode);
  const int bl = enc.c.blockLength;
  double worst = 0;
  double sum = 0;
  int n = 0;
  std::vector<int16_t> ours, theirs;
  int16_t hpX[2] = {}, hpY[4] = {};
  static const int16_t kHpZeros[3] = {3849, -7699, 3849}, kHpPoles[2] = {7918, -3833};
  for (size_t i = 0; i + static_cast<size_t>(bl) <= x.size(); i += static_cast<size_t>(bl)) {
    uint8_t frame[50];
    int16_t meant[240];
    Ilbc_EncodeBlock(frame, &x[i], &enc, nullptr, meant);
    int empty = 0;
    const Frame f = Read(frame, mode, &empty);
    ASSERT_EQ(0, empty);
    const auto got = ref.Excitation(f);
    const auto speech = ref.Synthesize(got);
    int16_t y[240];
    for (int k = 0; k < bl; ++k) y[k] = Spl_SatW16(std::lround(speech[k] / 2));
    Ilbc_HighPassOutput(y, kHpZeros, kHpPoles, hpX, hpY, bl);
    theirs.insert(theirs.end(), y, y + bl);
    Ilbc_DecodeBlock(y, frame, &dec, 1);
    ours.insert(ours.end(), y, y + bl);
    double e = 0;
    for (int k = 0; k < bl; ++k) e += double(meant[k]) * meant[k];
    if (e < bl * 25.0 * 25.0) continue;  // near-silent frames say little
    const double m = Mismatch(got, meant);
    worst = std::max(worst, m);
    sum += m;
    ++n;
    EXPECT_LT(m, 0.06) << "frame " << i / bl;
  }
  ASSERT_GT(n, 50);
  EXPECT_LT(sum / n, 0.01);
  const auto reference = ilbc_test::HighPassReference(std::vector<int16_t>(x.begin(), x.begin() + ours.size()));
  const double snrOurs = ilbc_test::SegSnr(reference, ours, 0);
  const double snrTheirs = ilbc_test::SegSnr(reference, theirs, 0);
  std::printf("iLBC %d ms: %d speech frames, float decoder against the encoder's excitation: relative error mean %.4f, "
              "largest %.4f; segmental SNR without the enhancer: ours %.2f dB, float decoder %.2f dB\n",
              mode, n, sum / n, worst, snrOurs, snrTheirs);
  EXPECT_GT(snrTheirs, snrOurs - 0.3);
  EXPECT_GT(snrTheirs, 9.0);
}

INSTANTIATE_TEST_SUITE_P(Ilbc, IlbcRfc, ::testing::Values(20, 30));

}  // namespace
