// Designs Quill's quantiser tables from speech and writes quill_tables_gen.cpp.

// Usage:
//   quill_gen bootstrap <out.cpp>            analytic starting tables (no training data)
//   quill_gen lpc <out.cpp> <wav>...          pitch-gain, pitch-lag and LPC class tables
//   quill_gen env <out.cpp> <wav>...          spectral-envelope tables (runs the encoder with the
//                                             LPC and lag tables currently linked)
// Each stage copies the tables it does not design from the ones linked into this program, so the
// stages run one after the other with a rebuild in between (see regen.sh). WAVs: 16 kHz mono 16-bit.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "voice/dsp/quill/quill_internal.h"

namespace {

// ---- In-memory tables -------------------------------------------------------------------------

struct LpcClassData {
  double gainMean[12] = {};
  double shapeMean[108] = {};
  double t2[2][2] = {};
  double t18[18][18] = {};
  double gainMat[6][6] = {};
  double shapeMat[6][6] = {};
  int offset[120] = {};
  std::vector<double> levels[120];
  std::vector<double> bits[120];
  std::vector<uint16_t> cdf[120];
};

struct LagClassData {
  double step = 1.0;
  int low[4] = {}, high[4] = {};
  std::vector<double> levels[3];
  std::vector<uint16_t> cdf[4];
  int bisectSize = 0;
  int start[3] = {};
};

struct EnvData {
  std::vector<int16_t> levels, bounds;
  std::vector<uint16_t> cdf;
  int start = 0;
};
struct EnvGainData {
  std::vector<int32_t> levels, bounds;
  std::vector<uint16_t> cdf;
  int start = 0;
};

struct Tables {
  LpcClassData lpc[3];
  LagClassData lag[3];
  std::vector<uint16_t> pitchGainCdf;  // 145 entries
  EnvData refl[6];
  EnvGainData gain;
};

// Copies the means and matrices of an LPC class, which the library's layout and ours share field for field.
template <typename To, typename From>
void copyLpcMatrices(To& to, const From& from) {
  static_assert(sizeof(to.gainMean) == sizeof(from.gainMean) && sizeof(to.shapeMean) == sizeof(from.shapeMean) &&
                sizeof(to.t2) == sizeof(from.t2) && sizeof(to.t18) == sizeof(from.t18) &&
                sizeof(to.gainMat) == sizeof(from.gainMat) && sizeof(to.shapeMat) == sizeof(from.shapeMat));
  std::memcpy(to.gainMean, from.gainMean, sizeof(to.gainMean));
  std::memcpy(to.shapeMean, from.shapeMean, sizeof(to.shapeMean));
  std::memcpy(to.t2, from.t2, sizeof(to.t2));
  std::memcpy(to.t18, from.t18, sizeof(to.t18));
  std::memcpy(to.gainMat, from.gainMat, sizeof(to.gainMat));
  std::memcpy(to.shapeMat, from.shapeMat, sizeof(to.shapeMat));
}

// A view of in-memory class data in the library's layout (for the library's own quantiser code).
struct LpcView {
  QuillLpcClass c{};
  std::vector<double> levels, bits;
  std::vector<const uint16_t*> cdf;
  explicit LpcView(const LpcClassData& d) {
    copyLpcMatrices(c, d);
    for (int i = 0; i < 120; ++i) {
      c.offset[i] = static_cast<int16_t>(d.offset[i]);
      c.maxIndex[i] = static_cast<int16_t>(d.levels[i].size() - 1);
      c.levelPos[i] = static_cast<int16_t>(levels.size());
      levels.insert(levels.end(), d.levels[i].begin(), d.levels[i].end());
      bits.insert(bits.end(), d.bits[i].begin(), d.bits[i].end());
      cdf.push_back(d.cdf[i].data());
    }
    c.levels = levels.data();
    c.bits = bits.data();
    c.cdf = cdf.data();
  }
};

// ---- Helpers ------------------------------------------------------------------------------------

// Cumulative table from counts: every symbol keeps a non-empty interval.
std::vector<uint16_t> makeCdf(const std::vector<double>& counts, double smoothing) {
  const int n = static_cast<int>(counts.size());
  std::vector<double> raw(n);
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += raw[i] = counts[i] + smoothing;
  const int spare = 65535 - n;
  std::vector<int> step(n);
  int used = 0;
  for (int i = 0; i < n; ++i) {
    step[i] = 1 + static_cast<int>(std::floor(raw[i] / sum * spare));
    used += step[i];
  }
  // The rounding remainder goes to the most probable symbol.
  const int top = static_cast<int>(std::max_element(raw.begin(), raw.end()) - raw.begin());
  step[top] += 65535 - used;
  std::vector<uint16_t> cdf(n + 1);
  int acc = 0;
  cdf[0] = 0;
  for (int i = 0; i < n; ++i) {
    acc += step[i];
    cdf[i + 1] = static_cast<uint16_t>(acc);
  }
  return cdf;
}

std::vector<double> bitsOf(const std::vector<uint16_t>& cdf) {
  std::vector<double> b(cdf.size() - 1);
  for (size_t i = 0; i + 1 < cdf.size(); ++i) b[i] = -std::log2((cdf[i + 1] - cdf[i]) / 65535.0);
  return b;
}

std::vector<double> laplace(int n, int centre, double scale) {
  std::vector<double> c(n);
  for (int i = 0; i < n; ++i) c[i] = 1000.0 * std::exp(-std::fabs(i - centre) / scale);
  return c;
}

// Jacobi eigen decomposition of a symmetric matrix: eigenvalues and eigenvectors (columns of v).
void jacobi(std::vector<double> a, int n, std::vector<double>& vals, std::vector<double>& v) {
  v.assign(n * n, 0.0);
  for (int i = 0; i < n; ++i) v[i * n + i] = 1.0;
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0.0;
    for (int p = 0; p < n; ++p)
      for (int q = p + 1; q < n; ++q) off += a[p * n + q] * a[p * n + q];
    if (off < 1e-22) break;
    for (int p = 0; p < n; ++p) {
      for (int q = p + 1; q < n; ++q) {
        const double apq = a[p * n + q];
        if (std::fabs(apq) < 1e-300) continue;
        const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (int k = 0; k < n; ++k) {
          const double akp = a[k * n + p], akq = a[k * n + q];
          a[k * n + p] = c * akp - s * akq;
          a[k * n + q] = s * akp + c * akq;
        }
        for (int k = 0; k < n; ++k) {
          const double apk = a[p * n + k], aqk = a[q * n + k];
          a[p * n + k] = c * apk - s * aqk;
          a[q * n + k] = s * apk + c * aqk;
        }
        for (int k = 0; k < n; ++k) {
          const double vkp = v[k * n + p], vkq = v[k * n + q];
          v[k * n + p] = c * vkp - s * vkq;
          v[k * n + q] = s * vkp + c * vkq;
        }
      }
    }
  }
  vals.resize(n);
  for (int i = 0; i < n; ++i) vals[i] = a[i * n + i];
}

// Eigenvectors sorted by rising eigenvalue; each vector's largest component made positive.
std::vector<std::vector<double>> sortedBasis(const std::vector<double>& cov, int n) {
  std::vector<double> vals, v;
  jacobi(cov, n, vals, v);
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return vals[x] < vals[y]; });
  std::vector<std::vector<double>> basis;
  for (int idx : order) {
    std::vector<double> col(n);
    int big = 0;
    for (int k = 0; k < n; ++k) {
      col[k] = v[k * n + idx];
      if (std::fabs(col[k]) > std::fabs(col[big]) + 1e-12) big = k;
    }
    if (col[big] < 0)
      for (double& x : col) x = -x;
    basis.push_back(col);
  }
  return basis;
}

std::vector<int16_t> readWav(const std::string& path) {
  std::vector<int16_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(1);
  }
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) data.insert(data.end(), buf, buf + n);
  std::fclose(f);
  if (data.size() < 12 || std::memcmp(data.data(), "RIFF", 4) != 0 || std::memcmp(data.data() + 8, "WAVE", 4) != 0) {
    std::fprintf(stderr, "%s: not a WAV file\n", path.c_str());
    std::exit(1);
  }
  size_t pos = 12;
  int channels = 0, rate = 0, bitsPerSample = 0;
  while (pos + 8 <= data.size()) {
    const uint32_t size = data[pos + 4] | (data[pos + 5] << 8) | (data[pos + 6] << 16) | (uint32_t(data[pos + 7]) << 24);
    const size_t body = pos + 8;
    if (std::memcmp(data.data() + pos, "fmt ", 4) == 0 && body + 16 <= data.size()) {
      channels = data[body + 2] | (data[body + 3] << 8);
      rate = data[body + 4] | (data[body + 5] << 8) | (data[body + 6] << 16);
      bitsPerSample = data[body + 14] | (data[body + 15] << 8);
    } else if (std::memcmp(data.data() + pos, "data", 4) == 0) {
      const size_t end = std::min(data.size(), body + size);
      for (size_t i = body; i + 1 < end; i += 2) out.push_back(static_cast<int16_t>(data[i] | (data[i + 1] << 8)));
      break;
    }
    pos = body + size + (size & 1);
  }
  if (channels != 1 || rate != 16000 || bitsPerSample != 16) {
    std::fprintf(stderr, "%s: need 16 kHz mono 16-bit\n", path.c_str());
    std::exit(1);
  }
  return out;
}

// ---- Tables from the linked library -------------------------------------------------------------

Tables linked() {
  Tables t;
  for (int c = 0; c < 3; ++c) {
    const QuillLpcClass& s = kQuillLpcClasses[c];
    LpcClassData& d = t.lpc[c];
    copyLpcMatrices(d, s);
    for (int i = 0; i < 120; ++i) {
      d.offset[i] = s.offset[i];
      const int n = s.maxIndex[i] + 1;
      d.levels[i].assign(s.levels + s.levelPos[i], s.levels + s.levelPos[i] + n);
      d.bits[i].assign(s.bits + s.levelPos[i], s.bits + s.levelPos[i] + n);
      d.cdf[i].assign(s.cdf[i], s.cdf[i] + n + 1);
    }
  }
  for (int c = 0; c < 3; ++c) {
    const QuillLagClass& s = kQuillLagClasses[c];
    LagClassData& d = t.lag[c];
    d.step = s.step;
    for (int r = 0; r < 4; ++r) {
      d.low[r] = s.low[r];
      d.high[r] = s.high[r];
      const int n = s.high[r] - s.low[r] + 1;
      d.cdf[r].assign(s.cdf[r], s.cdf[r] + n + 1);
      if (r > 0) d.levels[r - 1].assign(s.levels[r - 1], s.levels[r - 1] + n);
    }
    d.bisectSize = s.bisectSize;
    for (int r = 0; r < 3; ++r) d.start[r] = s.start[r];
  }
  t.pitchGainCdf.assign(kQuillPitchGainCdf, kQuillPitchGainCdf + 145);
  for (int i = 0; i < 6; ++i) {
    const QuillEnvTable& s = kQuillEnvRefl[i];
    t.refl[i].levels.assign(s.levels, s.levels + s.count);
    t.refl[i].bounds.assign(s.bounds, s.bounds + s.count - 1);
    t.refl[i].cdf.assign(s.cdf, s.cdf + s.count + 1);
    t.refl[i].start = s.start;
  }
  t.gain.levels.assign(kQuillEnvGain.levels, kQuillEnvGain.levels + kQuillEnvGain.count);
  t.gain.bounds.assign(kQuillEnvGain.bounds, kQuillEnvGain.bounds + kQuillEnvGain.count - 1);
  t.gain.cdf.assign(kQuillEnvGain.cdf, kQuillEnvGain.cdf + kQuillEnvGain.count + 1);
  t.gain.start = kQuillEnvGain.start;
  return t;
}

// ---- Analytic starting tables -------------------------------------------------------------------

void defaultLag(LagClassData& d, int cls) {
  static constexpr double kStep[3] = {2.0, 1.0, 0.5};
  static constexpr int kLow[3][4] = {{-140, -9, 0, -4}, {-280, -17, 0, -9}, {-552, -34, 0, -16}};
  static constexpr int kHigh[3][4] = {{-20, 9, 0, 4}, {-40, 17, 0, 9}, {-80, 32, 0, 17}};
  d.step = kStep[cls];
  for (int r = 0; r < 4; ++r) {
    d.low[r] = kLow[cls][r];
    d.high[r] = kHigh[cls][r];
    const int n = d.high[r] - d.low[r] + 1;
    d.cdf[r] = makeCdf(r == 0 ? std::vector<double>(n, 1.0) : laplace(n, -d.low[r], 2.0), 0.5);
    if (r > 0) {
      d.levels[r - 1].resize(n);
      for (int i = 0; i < n; ++i) d.levels[r - 1][i] = (d.low[r] + i) * d.step;
      d.start[r - 1] = -d.low[r];
    }
  }
  int size = 1;
  while (size < static_cast<int>(d.cdf[0].size())) size *= 2;
  d.bisectSize = size;
}

Tables bootstrap() {
  Tables t;
  static constexpr double kT2[3][2] = {{0.79742827, 0.60341375}, {0.8137239, 0.58125159}, {0.71832547, 0.69570721}};
  for (int c = 0; c < 3; ++c) {
    LpcClassData& d = t.lpc[c];
    for (int sb = 0; sb < 6; ++sb) {
      d.gainMean[2 * sb] = -6.0;
      d.gainMean[2 * sb + 1] = -5.0;
    }
    d.t2[0][0] = -kT2[c][0];
    d.t2[0][1] = kT2[c][1];
    d.t2[1][0] = kT2[c][1];
    d.t2[1][1] = kT2[c][0];
    for (int i = 0; i < 18; ++i) d.t18[i][i] = 1.0;
    for (int i = 0; i < 6; ++i) d.gainMat[i][i] = d.shapeMat[i][i] = 1.0;
    for (int i = 0; i < 120; ++i) {
      const int half = i < 12 ? 20 : 6;
      const int n = 2 * half + 1;
      d.offset[i] = half;
      d.levels[i].resize(n);
      for (int k = 0; k < n; ++k) d.levels[i][k] = k - half;
      d.cdf[i] = makeCdf(laplace(n, half, 3.0), 0.5);
      d.bits[i] = bitsOf(d.cdf[i]);
    }
  }
  for (int c = 0; c < 3; ++c) defaultLag(t.lag[c], c);
  t.pitchGainCdf = makeCdf(std::vector<double>(144, 1.0), 0.0);
  static constexpr int kCount[6] = {32, 24, 20, 16, 16, 12};
  for (int i = 0; i < 6; ++i) {
    EnvData& e = t.refl[i];
    const int n = kCount[i];
    for (int k = 0; k < n; ++k) e.levels.push_back(static_cast<int16_t>(-30000 + 60000.0 * k / (n - 1)));
    for (int k = 0; k + 1 < n; ++k) e.bounds.push_back(static_cast<int16_t>((e.levels[k] + e.levels[k + 1]) / 2));
    e.cdf = makeCdf(std::vector<double>(n, 1.0), 0.0);
    e.start = n / 2;
  }
  for (int k = 0; k <= 48; ++k) t.gain.levels.push_back(static_cast<int32_t>(std::lround(std::pow(2.0, k * 0.5))));
  t.gain.levels.erase(std::unique(t.gain.levels.begin(), t.gain.levels.end()), t.gain.levels.end());
  for (size_t k = 0; k + 1 < t.gain.levels.size(); ++k)
    t.gain.bounds.push_back(static_cast<int32_t>(std::sqrt(double(t.gain.levels[k]) * t.gain.levels[k + 1])));
  t.gain.cdf = makeCdf(std::vector<double>(t.gain.levels.size(), 1.0), 0.0);
  t.gain.start = 11;
  return t;
}

// ---- Training: pitch and LPC --------------------------------------------------------------------

struct HalfStats {
  int pitchIndex;
  int lagClass;
  double lagCoef[4];   // K . lags, in lag units
  double vec[6][20];   // LPC parameter vectors
};

struct Analyser {
  QuillAnalysisBank bank{};
  QuillPitchState pitch{};
  QuillLpcState lpc{};
  Analyser() {
    Quill_PitchStateInit(&pitch);
    Quill_LpcStateInit(&lpc);
  }
};

// One coded half after the band split and the pitch analysis, as the encoder makes it.
struct AnalysedHalf {
  float lo[kQuillBand], hi[kQuillBand];
  double aLo[kQuillBand], aHi[kQuillBand];
  double analysed[264], lags[4], gains[4];
  int16_t gq[4];  // pitch gains in Q12
};

// Analyses the half at pcm (kQuillHalf samples scaled by level, clipped, with the encoder's dither).
void analyseHalf(Analyser& a, const int16_t* pcm, double level, AnalysedHalf* h) {
  float in[kQuillHalf];
  for (int i = 0; i < kQuillHalf; ++i) in[i] = static_cast<float>(std::clamp(pcm[i] * level, -32768.0, 32767.0));
  in[0] += 0.0012345533f;
  Quill_AnalysisBank(&a.bank, in, h->lo, h->hi, h->aLo, h->aHi);
  Quill_PitchAnalysis(h->aLo, h->analysed, &a.pitch, h->lags, h->gains);
  for (int j = 0; j < 4; ++j) h->gq[j] = static_cast<int16_t>(h->gains[j] * 4096.0);
}

std::vector<HalfStats> analyse(const std::vector<int16_t>& pcm, double level, double quantOffset) {
  std::vector<HalfStats> out;
  Analyser a;
  QuillStream scratch;
  for (size_t pos = 0; pos + kQuillHalf <= pcm.size(); pos += kQuillHalf) {
    AnalysedHalf x;
    analyseHalf(a, &pcm[pos], level, &x);
    HalfStats h{};
    h.pitchIndex = Quill_PitchGainIndex(x.gq);
    Quill_StreamReset(&scratch);
    Quill_EncodePitchGains(&scratch, x.gq);
    h.lagClass = Quill_LagClass(x.gq);
    for (int r = 0; r < 4; ++r) {
      double c = 0.0;
      for (int j = 0; j < 4; ++j) c += kQuillPitchTransform[r][j] * x.lags[j];
      h.lagCoef[r] = c;
    }
    QuillLoRecords loRec;
    QuillHiRecords hiRec;
    Quill_LpcAnalysis(x.analysed, x.aHi, &a.lpc, quantOffset, x.gq, loRec, hiRec);
    Quill_LpcToShapeVectors(loRec, hiRec, h.vec);
    out.push_back(h);
  }
  return out;
}

void trainLag(LagClassData& d, const std::vector<const HalfStats*>& halves) {
  for (int r = 0; r < 4; ++r) {
    const int n = d.high[r] - d.low[r] + 1;
    std::vector<double> counts(n, 0.0), sums(n, 0.0);
    for (const HalfStats* h : halves) {
      double idx = std::nearbyint(h->lagCoef[r] / d.step);
      idx = std::clamp(idx, double(d.low[r]), double(d.high[r]));
      const int s = static_cast<int>(idx) - d.low[r];
      counts[s] += 1.0;
      sums[s] += h->lagCoef[r];
    }
    d.cdf[r] = makeCdf(counts, r == 0 ? 0.3 : 0.5);
    if (r > 0) {
      d.levels[r - 1].resize(n);
      int best = 0;
      for (int i = 0; i < n; ++i) {
        const double nominal = (d.low[r] + i) * d.step;
        // Centroids, but only where there is enough data and never past the neighbouring cell.
        double v = counts[i] >= 8 ? sums[i] / counts[i] : nominal;
        v = std::clamp(v, nominal - 0.5 * d.step, nominal + 0.5 * d.step);
        d.levels[r - 1][i] = v;
        if (counts[i] > counts[best]) best = i;
      }
      if (n == 1) d.levels[r - 1][0] = 0.0;
      d.start[r - 1] = best;
    }
  }
}

// The lag levels the format fixes: class 0's outermost levels of coefficients 1 and 3.
void pinLagLevels(LagClassData& d, int cls) {
  if (cls != 0) return;
  d.levels[0].front() = -17.2138507;
  d.levels[0].back() = 17.10976611;
  d.levels[2].front() = -7.76246496;
  d.levels[2].back() = 7.78434291;
}

struct Vec120 {
  double v[6][20];
};

double classBits(const LpcView& view, const double vec[6][20]) {
  double coords[120];
  int idx[120];
  Quill_LpcCoordinates(view.c, vec, coords);
  return Quill_LpcChooseLevels(view.c, coords, 0, 120, idx);
}

// The sizes and values the codec's description fixes for each class; everything else is trained.
struct FixedClass {
  int gainLevels[12];       // level count of each gain coordinate
  int shapeLevels;          // level count of all 108 shape coordinates together
  int shapeSingles;         // shape coordinates with a single level
  double t2a, t2b;          // T2 = ((-a, b), (b, a))
  bool stated;              // class 0: the means and the first gain coordinate below are fixed too
};
const FixedClass kFixedClasss[3] = {
    {{7, 13, 9, 15, 11, 20, 13, 32, 23, 57, 53, 139}, 578, 29, 0.79742827, 0.60341375, true},
    {{7, 12, 8, 15, 11, 20, 13, 31, 23, 57, 52, 138}, 574, 27, 0.8137239, 0.58125159, false},
    {{7, 13, 8, 16, 11, 20, 14, 32, 24, 57, 55, 140}, 583, 25, 0.71832547, 0.69570721, false},
};
// Class 0's stated values: the first gain and shape means (lower, upper) and the first gain
// coordinate's seven levels with their bit costs.
const double kStatedGainMean[2] = {-6.86881911, -5.35075273};
const double kStatedShapeMean[2] = {-0.91232981, 0.26258634};
const double kStatedFirstLevels[7] = {-2.78, -1.77, -0.78, -0.004, 0.80, 1.82, 2.81};
const double kStatedFirstBits[7] = {12.30, 7.83, 4.26, 0.17, 4.28, 7.67, 10.48};
constexpr int kMaxShapeLevels = 50;

// Level counts of the 108 shape coordinates: the `singles` narrowest get one level, the others share
// `total` - `singles` levels in proportion to the range their values need (2 to 50 each).
std::vector<int> shapeCounts(const std::vector<int>& natural, int total, int singles) {
  const int n = static_cast<int>(natural.size());
  std::vector<int> order(n);
  for (int i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return natural[a] < natural[b]; });
  std::vector<int> count(n, 1);
  std::vector<double> want(n, 0.0);
  double sum = 0.0;
  for (int k = singles; k < n; ++k) sum += natural[order[k]];
  const int share = total - singles;
  int used = 0;
  for (int k = singles; k < n; ++k) {
    const int i = order[k];
    want[i] = natural[i] * share / std::max(sum, 1.0);
    count[i] = std::clamp(static_cast<int>(std::lround(want[i])), 2, kMaxShapeLevels);
    used += count[i];
  }
  while (used != share) {
    int best = -1;
    double bestGap = 0.0;
    for (int k = singles; k < n; ++k) {
      const int i = order[k];
      const double gap = want[i] - count[i];
      if (used < share && count[i] < kMaxShapeLevels && (best < 0 || gap > bestGap)) best = i, bestGap = gap;
      if (used > share && count[i] > 2 && (best < 0 || gap < bestGap)) best = i, bestGap = gap;
    }
    if (best < 0) break;
    count[best] += used < share ? 1 : -1;
    used += used < share ? 1 : -1;
  }
  return count;
}

// The window of n consecutive level indices around 0 that holds most of the coordinate's values.
int placeWindow(const std::vector<double>& xs, int n) {
  int bestLo = 0, bestHeld = -1;
  for (int lo = -(n - 1); lo <= 0; ++lo) {
    int held = 0;
    for (double x : xs) {
      const long r = std::lrint(x);
      if (r >= lo && r <= lo + n - 1) ++held;
    }
    // On equal cover the window nearer the middle.
    if (held > bestHeld || (held == bestHeld && std::abs(2 * lo + n - 1) < std::abs(2 * bestLo + n - 1)))
      bestLo = lo, bestHeld = held;
  }
  return bestLo;
}

void trainLpcClass(LpcClassData& d, const std::vector<const Vec120*>& vs, const double t2Sign[2],
                   const FixedClass* fixed = nullptr) {
  const double n = static_cast<double>(vs.size());
  // Means pooled over the sub-blocks.
  double gm[2] = {0, 0}, sm[18] = {};
  for (const Vec120* v : vs)
    for (int sb = 0; sb < 6; ++sb) {
      for (int b = 0; b < 2; ++b) gm[b] += std::log(std::max(v->v[sb][b], 1e-300));
      for (int j = 0; j < 18; ++j) sm[j] += v->v[sb][2 + j];
    }
  for (int sb = 0; sb < 6; ++sb) {
    for (int b = 0; b < 2; ++b) d.gainMean[2 * sb + b] = gm[b] / (6 * n);
    for (int j = 0; j < 18; ++j) d.shapeMean[18 * sb + j] = sm[j] / (6 * n);
    if (fixed && fixed->stated) {
      for (int b = 0; b < 2; ++b) d.gainMean[2 * sb + b] = kStatedGainMean[b];
      for (int j = 0; j < 2; ++j) d.shapeMean[18 * sb + j] = kStatedShapeMean[j];
    }
  }
  // Within-sub-block bases.
  std::vector<double> c2(4, 0.0), c18(18 * 18, 0.0);
  for (const Vec120* v : vs)
    for (int sb = 0; sb < 6; ++sb) {
      double g[2], s[18];
      for (int b = 0; b < 2; ++b) g[b] = 4.0 * (std::log(std::max(v->v[sb][b], 1e-300)) - d.gainMean[2 * sb + b]);
      for (int j = 0; j < 18; ++j)
        s[j] = (v->v[sb][2 + j] - d.shapeMean[18 * sb + j]) * (j < 12 ? 2.0999999046325684 : 0.44999998807907104);
      for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 2; ++b) c2[a * 2 + b] += g[a] * g[b];
      for (int a = 0; a < 18; ++a)
        for (int b = 0; b < 18; ++b) c18[a * 18 + b] += s[a] * s[b];
    }
  auto b2 = sortedBasis(c2, 2);
  // The 2x2 basis in the form ((-a, b), (b, a)): a difference and a sum of the two band gains.
  const double a = fixed ? fixed->t2a : std::fabs(b2[0][0]), b = fixed ? fixed->t2b : std::fabs(b2[0][1]);
  (void)t2Sign;
  d.t2[0][0] = -a;
  d.t2[1][0] = b;
  d.t2[0][1] = b;
  d.t2[1][1] = a;
  auto b18 = sortedBasis(c18, 18);
  for (int r = 0; r < 18; ++r)
    for (int j = 0; j < 18; ++j) d.t18[j][r] = b18[r][j];
  // Across-sub-block bases, pooled over the coordinates with each normalised to unit power.
  std::vector<double> cg(36, 0.0), cs(36, 0.0);
  std::vector<double> ug[2], us[18];
  for (auto& x : ug) x.assign(36, 0.0);
  for (auto& x : us) x.assign(36, 0.0);
  for (const Vec120* v : vs) {
    double u[6][2], w[6][18];
    for (int sb = 0; sb < 6; ++sb) {
      double g[2], s[18];
      for (int bb = 0; bb < 2; ++bb) g[bb] = 4.0 * (std::log(std::max(v->v[sb][bb], 1e-300)) - d.gainMean[2 * sb + bb]);
      for (int j = 0; j < 18; ++j)
        s[j] = (v->v[sb][2 + j] - d.shapeMean[18 * sb + j]) * (j < 12 ? 2.0999999046325684 : 0.44999998807907104);
      for (int r = 0; r < 2; ++r) u[sb][r] = d.t2[0][r] * g[0] + d.t2[1][r] * g[1];
      for (int r = 0; r < 18; ++r) {
        double acc = 0.0;
        for (int j = 0; j < 18; ++j) acc += d.t18[j][r] * s[j];
        w[sb][r] = acc;
      }
    }
    for (int r = 0; r < 2; ++r)
      for (int p = 0; p < 6; ++p)
        for (int q = 0; q < 6; ++q) ug[r][p * 6 + q] += u[p][r] * u[q][r];
    for (int r = 0; r < 18; ++r)
      for (int p = 0; p < 6; ++p)
        for (int q = 0; q < 6; ++q) us[r][p * 6 + q] += w[p][r] * w[q][r];
  }
  auto pool = [](std::vector<double>& dst, const std::vector<double>& m) {
    double tr = 0.0;
    for (int i = 0; i < 6; ++i) tr += m[i * 6 + i];
    if (tr <= 0.0) return;
    for (int i = 0; i < 36; ++i) dst[i] += m[i] / tr;
  };
  for (auto& m : ug) pool(cg, m);
  for (auto& m : us) pool(cs, m);
  auto bg = sortedBasis(cg, 6), bs = sortedBasis(cs, 6);
  for (int j = 0; j < 6; ++j)
    for (int k = 0; k < 6; ++k) {
      d.gainMat[j][k] = bg[j][k];
      d.shapeMat[j][k] = bs[j][k];
    }

  // Coordinates, level ranges, centroids and costs.
  QuillLpcClass shell{};
  std::memcpy(shell.gainMean, d.gainMean, sizeof(d.gainMean));
  std::memcpy(shell.shapeMean, d.shapeMean, sizeof(d.shapeMean));
  std::memcpy(shell.t2, d.t2, sizeof(d.t2));
  std::memcpy(shell.t18, d.t18, sizeof(d.t18));
  std::memcpy(shell.gainMat, d.gainMat, sizeof(d.gainMat));
  std::memcpy(shell.shapeMat, d.shapeMat, sizeof(d.shapeMat));
  std::vector<std::vector<double>> coords(120);
  for (const Vec120* v : vs) {
    double c[120];
    Quill_LpcCoordinates(shell, v->v, c);
    for (int i = 0; i < 120; ++i) coords[i].push_back(c[i]);
  }
  // The range each coordinate's values need (99.9 % of them), and the fixed counts where they are given.
  std::vector<int> natural(120);
  for (int i = 0; i < 120; ++i) {
    std::vector<double> sorted = coords[i];
    std::sort(sorted.begin(), sorted.end());
    const double qlo = sorted[static_cast<size_t>(0.0005 * (sorted.size() - 1))];
    const double qhi = sorted[static_cast<size_t>(0.9995 * (sorted.size() - 1))];
    natural[i] = std::max(static_cast<int>(std::nearbyint(qhi)), 0) - std::min(static_cast<int>(std::nearbyint(qlo)), 0) + 1;
  }
  std::vector<int> fixedCounts;
  if (fixed) {
    fixedCounts.assign(fixed->gainLevels, fixed->gainLevels + 12);
    const std::vector<int> shapes =
        shapeCounts(std::vector<int>(natural.begin() + 12, natural.end()), fixed->shapeLevels, fixed->shapeSingles);
    fixedCounts.insert(fixedCounts.end(), shapes.begin(), shapes.end());
  }
  for (int i = 0; i < 120; ++i) {
    std::vector<double> sorted = coords[i];
    std::sort(sorted.begin(), sorted.end());
    const double qlo = sorted[static_cast<size_t>(0.0005 * (sorted.size() - 1))];
    const double qhi = sorted[static_cast<size_t>(0.9995 * (sorted.size() - 1))];
    int lo = static_cast<int>(std::nearbyint(qlo)), hi = static_cast<int>(std::nearbyint(qhi));
    lo = std::min(lo, 0);
    hi = std::max(hi, 0);
    if (fixed) {
      lo = placeWindow(coords[i], fixedCounts[i]);
      hi = lo + fixedCounts[i] - 1;
    }
    const int limit = i < 12 ? 160 : 50;
    while (hi - lo + 1 > limit) {
      if (-lo > hi) ++lo;
      else --hi;
    }
    const int n = hi - lo + 1;
    d.offset[i] = -lo;
    std::vector<double> counts(n, 0.0), sums(n, 0.0);
    for (double x : coords[i]) {
      const int k = std::clamp(static_cast<int>(std::nearbyint(x)), lo, hi) - lo;
      counts[k] += 1.0;
      sums[k] += x;
    }
    d.levels[i].resize(n);
    for (int k = 0; k < n; ++k) {
      const double nominal = lo + k;
      double v = counts[k] >= 4 ? sums[k] / counts[k] : nominal;
      d.levels[i][k] = std::clamp(v, nominal - 0.5, nominal + 0.5);
    }
    if (n == 1) d.levels[i][0] = 0.0;
    d.cdf[i] = makeCdf(counts, 0.3);
    d.bits[i] = bitsOf(d.cdf[i]);
    if (fixed && fixed->stated && i == 0) {
      // The stated levels and costs; the cumulative table carries the costs' probabilities.
      d.offset[0] = 3;
      d.levels[0].assign(kStatedFirstLevels, kStatedFirstLevels + 7);
      d.bits[0].assign(kStatedFirstBits, kStatedFirstBits + 7);
      std::vector<double> p(7);
      for (int k = 0; k < 7; ++k) p[k] = 1e6 * std::exp2(-kStatedFirstBits[k]);
      d.cdf[0] = makeCdf(p, 0.0);
    }
  }
}

void trainLpc(Tables& t, const std::vector<Vec120>& all) {
  const int n = static_cast<int>(all.size());
  // Start: terciles of the upper-to-lower band gain ratio (spectral tilt).
  std::vector<double> tilt(n);
  for (int i = 0; i < n; ++i) {
    double s = 0.0;
    for (int sb = 0; sb < 6; ++sb) s += std::log(std::max(all[i].v[sb][1], 1e-300)) - std::log(std::max(all[i].v[sb][0], 1e-300));
    tilt[i] = s;
  }
  std::vector<double> sorted = tilt;
  std::sort(sorted.begin(), sorted.end());
  const double c1 = sorted[n / 3], c2 = sorted[2 * n / 3];
  std::vector<int> cls(n);
  for (int i = 0; i < n; ++i) cls[i] = tilt[i] < c1 ? 0 : (tilt[i] < c2 ? 1 : 2);
  const double sign[2] = {1.0, 1.0};
  for (int iter = 0; iter < 8; ++iter) {
    for (int c = 0; c < 3; ++c) {
      std::vector<const Vec120*> members;
      for (int i = 0; i < n; ++i)
        if (cls[i] == c) members.push_back(&all[i]);
      if (members.size() < 50) {
        std::fprintf(stderr, "class %d has only %zu members\n", c, members.size());
        for (int i = 0; i < n; i += 3) members.push_back(&all[i]);
      }
      trainLpcClass(t.lpc[c], members, sign);
    }
    LpcView views[3] = {LpcView(t.lpc[0]), LpcView(t.lpc[1]), LpcView(t.lpc[2])};
    int changed = 0;
    double total = 0.0;
    for (int i = 0; i < n; ++i) {
      int best = 0;
      double bestBits = 0.0;
      for (int c = 0; c < 3; ++c) {
        const double b = classBits(views[c], all[i].v);
        if (c == 0 || b < bestBits) best = c, bestBits = b;
      }
      total += bestBits;
      if (best != cls[i]) ++changed;
      cls[i] = best;
    }
    std::fprintf(stderr, "lpc iteration %d: %.1f bits per half, %d moved\n", iter, total / n, changed);
  }
  // Order the classes by use, the most used last (its class symbol is the cheapest).
  int count[3] = {0, 0, 0};
  for (int c : cls) ++count[c];
  int order[3] = {0, 1, 2};
  std::sort(order, order + 3, [&](int a, int b) { return count[a] < count[b]; });
  std::fprintf(stderr, "class use: %d %d %d\n", count[order[0]], count[order[1]], count[order[2]]);
  // The final tables of each class, in that order, with the sizes and values fixed for it.
  for (int i = 0; i < 3; ++i) {
    std::vector<const Vec120*> members;
    for (int k = 0; k < n; ++k)
      if (cls[k] == order[i]) members.push_back(&all[k]);
    if (members.size() < 50)
      for (int k = 0; k < n; k += 3) members.push_back(&all[k]);
    trainLpcClass(t.lpc[i], members, sign, &kFixedClasss[i]);
  }
}

// ---- Training: spectral envelope ----------------------------------------------------------------

struct EnvSample {
  int16_t refl[6];
  int32_t gain;
};

std::vector<EnvSample> envSamples(const std::vector<int16_t>& pcm, double level, double quantOffset, uint32_t seed) {
  std::vector<EnvSample> out;
  Analyser a;
  float latLo[13] = {}, latHi[7] = {};
  QuillPitchFilterState pre{};
  static QuillFftWork fft;
  QuillStream s;
  for (size_t pos = 0; pos + kQuillHalf <= pcm.size(); pos += kQuillHalf) {
    AnalysedHalf x;
    analyseHalf(a, &pcm[pos], level, &x);
    int16_t* gq = x.gq;  // the encoder may quantise the gains in place
    Quill_StreamReset(&s);
    Quill_EncodePitchGains(&s, gq);
    Quill_EncodePitchLags(x.lags, gq, &s);
    QuillLoRecords loRec;
    QuillHiRecords hiRec;
    Quill_LpcAnalysis(x.analysed, x.aHi, &a.lpc, quantOffset, gq, loRec, hiRec);
    int cls;
    double bits;
    Quill_EncodeLpcModel(loRec, hiRec, &cls, &bits, &s);
    Quill_QuantiseLpcGains(loRec, hiRec, cls);
    double resLo[kQuillBand], resHi[kQuillBand], preLo[kQuillBand];
    Quill_AnalysisLattice(&loRec[0][0], 12, latLo, x.lo, resLo);
    Quill_AnalysisLattice(&hiRec[0][0], 6, latHi, x.hi, resHi);
    double pg[4];
    for (int j = 0; j < 4; ++j) pg[j] = gq[j] / 4096.0;
    Quill_PitchFilter(&pre, resLo, preLo, x.lags, pg, false);
    int16_t p[kQuillBand], q[kQuillBand];
    Quill_ForwardTransform(&fft, preLo, resHi, p, q);
    int16_t d[480], v[480];
    seed = seed * 69069u + 1u;
    Quill_SpectrumDither(seed, (gq[0] + gq[1] + gq[2] + gq[3]) >> 2, d);
    Quill_QuantiseSpectrum(p, q, d, v);
    QuillEnvelopeFit fit;
    Quill_EnvelopeFit(v, &fit);
    EnvSample e;
    std::memcpy(e.refl, fit.refl, sizeof(e.refl));
    e.gain = fit.gainValue;
    out.push_back(e);
  }
  return out;
}

void trainEnv(Tables& t, const std::vector<EnvSample>& all) {
  static constexpr int kCount[6] = {32, 24, 20, 16, 16, 12};
  for (int i = 0; i < 6; ++i) {
    std::vector<double> x;
    for (const EnvSample& e : all) x.push_back(e.refl[i]);
    std::sort(x.begin(), x.end());
    const int n = kCount[i];
    // Lloyd-Max from quantile starting points.
    std::vector<double> lev(n);
    for (int k = 0; k < n; ++k) lev[k] = x[static_cast<size_t>((k + 0.5) / n * (x.size() - 1))];
    for (int iter = 0; iter < 50; ++iter) {
      std::vector<double> sum(n, 0.0), cnt(n, 0.0);
      size_t k = 0;
      for (double v : x) {
        while (k + 1 < static_cast<size_t>(n) && v > 0.5 * (lev[k] + lev[k + 1])) ++k;
        sum[k] += v;
        cnt[k] += 1.0;
      }
      for (int j = 0; j < n; ++j)
        if (cnt[j] > 0) lev[j] = sum[j] / cnt[j];
      std::sort(lev.begin(), lev.end());
    }
    EnvData& e = t.refl[i];
    e.levels.clear();
    for (double v : lev) {
      const int16_t q = static_cast<int16_t>(std::clamp(std::lround(v), -32000L, 32000L));
      if (e.levels.empty() || q > e.levels.back() + 8) e.levels.push_back(q);
    }
    e.bounds.clear();
    for (size_t k = 0; k + 1 < e.levels.size(); ++k)
      e.bounds.push_back(static_cast<int16_t>((int32_t{e.levels[k]} + e.levels[k + 1]) / 2));
    std::vector<double> counts(e.levels.size(), 0.0);
    for (const EnvSample& s : all) {
      size_t k = 0;
      while (k + 1 < e.levels.size() && s.refl[i] > e.bounds[k]) ++k;
      counts[k] += 1.0;
    }
    e.cdf = makeCdf(counts, 0.5);
    e.start = static_cast<int>(std::max_element(counts.begin(), counts.end()) - counts.begin());
  }
  // Envelope gain: levels a factor sqrt(2) apart from 1 (a residual 32 steps loud) to 2^24 (silence),
  // wide enough that a transient the rate loop leaves loud is still modelled, not clipped.
  std::vector<double> lg;
  for (const EnvSample& e : all) lg.push_back(std::log2(std::max(1, e.gain)));
  std::sort(lg.begin(), lg.end());
  const double lo = 0.0;
  const double hi = std::max(24.0, std::ceil(2.0 * lg[static_cast<size_t>(0.999 * (lg.size() - 1))]) / 2.0 + 1.5);
  EnvGainData& g = t.gain;
  g.levels.clear();
  for (double x = lo; x <= hi + 1e-9; x += 0.5) {
    const int32_t v = static_cast<int32_t>(std::lround(std::pow(2.0, x)));
    if (g.levels.empty() || v > g.levels.back()) g.levels.push_back(v);
  }
  g.bounds.clear();
  for (size_t k = 0; k + 1 < g.levels.size(); ++k)
    g.bounds.push_back(static_cast<int32_t>(std::sqrt(double(g.levels[k]) * g.levels[k + 1])));
  std::vector<double> counts(g.levels.size(), 0.0);
  for (const EnvSample& s : all) {
    size_t k = 0;
    while (k + 1 < g.levels.size() && s.gain > g.bounds[k]) ++k;
    counts[k] += 1.0;
  }
  g.cdf = makeCdf(counts, 0.5);
  g.start = static_cast<int>(std::max_element(counts.begin(), counts.end()) - counts.begin());
  std::fprintf(stderr, "envelope gain levels: %zu (2^%.1f .. 2^%.1f), start %d; training range 2^%.1f .. 2^%.1f\n",
               g.levels.size(), lo, hi, g.start, lg.front(), lg.back());
}

// ---- Writer -------------------------------------------------------------------------------------

struct Out {
  FILE* f;
  template <typename T>
  void array(const char* type, const std::string& name, const std::vector<T>& v, const char* fmt) {
    std::fprintf(f, "const %s %s[%zu] = {", type, name.c_str(), v.size());
    for (size_t i = 0; i < v.size(); ++i) {
      std::fprintf(f, i % 8 == 0 ? "\n    " : " ");
      std::fprintf(f, fmt, v[i]);
      if (i + 1 < v.size()) std::fprintf(f, ",");
    }
    std::fprintf(f, "};\n");
  }
  void doubles(const std::string& name, const std::vector<double>& v) { array("double", name, v, "%.17g"); }
  void cdf(const std::string& name, const std::vector<uint16_t>& v) {
    std::vector<unsigned> u(v.begin(), v.end());
    array("uint16_t", name, u, "%u");
  }
};

std::string matrix(const double* m, int rows, int cols) {
  std::string s = "{";
  char buf[64];
  for (int r = 0; r < rows; ++r) {
    s += "{";
    for (int c = 0; c < cols; ++c) {
      std::snprintf(buf, sizeof(buf), "%.17g%s", m[r * cols + c], c + 1 < cols ? ", " : "");
      s += buf;
    }
    s += r + 1 < rows ? "},\n      " : "}";
  }
  return s + "}";
}

// A braced initialiser of n values in the given format, perLine values to a line.
template <typename T>
std::string braced(const T* v, int n, const char* fmt, int perLine) {
  std::string s = "{";
  char buf[64];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof(buf), fmt, v[i]);
    s += buf;
    if (i + 1 < n) s += i % perLine == perLine - 1 ? ",\n      " : ", ";
  }
  return s + "}";
}

std::string list(const double* v, int n) { return braced(v, n, "%.17g", 6); }

std::string ints(const int* v, int n) { return braced(v, n, "%d", 20); }

void write(const Tables& t, const char* path, const char* how) {
  FILE* f = std::fopen(path, "w");
  if (!f) {
    std::fprintf(stderr, "cannot write %s\n", path);
    std::exit(1);
  }
  Out o{f};
  std::fprintf(f, "// Quill quantiser tables written by gen/quill_gen (%s); regenerate, do not edit.\n", how);
  std::fprintf(f, "#include \"voice/dsp/quill/quill_tables.h\"\n\nnamespace {\n\n");
  // LPC classes.
  for (int c = 0; c < 3; ++c) {
    const LpcClassData& d = t.lpc[c];
    std::vector<double> levels, bits;
    for (int i = 0; i < 120; ++i) {
      levels.insert(levels.end(), d.levels[i].begin(), d.levels[i].end());
      bits.insert(bits.end(), d.bits[i].begin(), d.bits[i].end());
    }
    o.doubles("kLpc" + std::to_string(c) + "Levels", levels);
    o.doubles("kLpc" + std::to_string(c) + "Bits", bits);
    for (int i = 0; i < 120; ++i) o.cdf("kLpc" + std::to_string(c) + "Cdf" + std::to_string(i), d.cdf[i]);
    std::fprintf(f, "const uint16_t* const kLpc%dCdf[120] = {", c);
    for (int i = 0; i < 120; ++i) std::fprintf(f, "%skLpc%dCdf%d%s", i % 6 == 0 ? "\n    " : " ", c, i, i + 1 < 120 ? "," : "");
    std::fprintf(f, "};\n\n");
  }
  for (int c = 0; c < 3; ++c) {
    const LagClassData& d = t.lag[c];
    for (int r = 0; r < 3; ++r) o.doubles("kLag" + std::to_string(c) + "Levels" + std::to_string(r + 1), d.levels[r]);
    std::vector<uint16_t> c0 = d.cdf[0];
    c0.resize(d.bisectSize, 65535);
    o.cdf("kLag" + std::to_string(c) + "Cdf0", c0);
    for (int r = 1; r < 4; ++r) o.cdf("kLag" + std::to_string(c) + "Cdf" + std::to_string(r), d.cdf[r]);
  }
  for (int i = 0; i < 6; ++i) {
    const EnvData& e = t.refl[i];
    o.array("int16_t", "kRefl" + std::to_string(i) + "Levels", std::vector<int>(e.levels.begin(), e.levels.end()), "%d");
    o.array("int16_t", "kRefl" + std::to_string(i) + "Bounds", std::vector<int>(e.bounds.begin(), e.bounds.end()), "%d");
    o.cdf("kRefl" + std::to_string(i) + "Cdf", e.cdf);
  }
  o.array("int32_t", "kEnvGainLevels", std::vector<long>(t.gain.levels.begin(), t.gain.levels.end()), "%ld");
  o.array("int32_t", "kEnvGainBounds", std::vector<long>(t.gain.bounds.begin(), t.gain.bounds.end()), "%ld");
  o.cdf("kEnvGainCdf", t.gain.cdf);
  std::fprintf(f, "\n}  // namespace\n\n");

  std::fprintf(f, "const QuillLpcClass kQuillLpcClasses[3] = {\n");
  for (int c = 0; c < 3; ++c) {
    const LpcClassData& d = t.lpc[c];
    int maxIndex[120], pos[120];
    int acc = 0;
    for (int i = 0; i < 120; ++i) {
      maxIndex[i] = static_cast<int>(d.levels[i].size()) - 1;
      pos[i] = acc;
      acc += static_cast<int>(d.levels[i].size());
    }
    std::fprintf(f, "    {%s,\n     %s,\n     %s,\n     %s,\n     %s,\n     %s,\n     %s,\n     %s,\n     %s,\n",
                 list(d.gainMean, 12).c_str(), list(d.shapeMean, 108).c_str(), matrix(&d.t2[0][0], 2, 2).c_str(),
                 matrix(&d.t18[0][0], 18, 18).c_str(), matrix(&d.gainMat[0][0], 6, 6).c_str(),
                 matrix(&d.shapeMat[0][0], 6, 6).c_str(), ints(d.offset, 120).c_str(), ints(maxIndex, 120).c_str(),
                 ints(pos, 120).c_str());
    std::fprintf(f, "     kLpc%dLevels, kLpc%dBits, kLpc%dCdf},\n", c, c, c);
  }
  std::fprintf(f, "};\n\n");
  std::fprintf(f, "const QuillLagClass kQuillLagClasses[3] = {\n");
  for (int c = 0; c < 3; ++c) {
    const LagClassData& d = t.lag[c];
    std::fprintf(f, "    {%.17g, {%d, %d, %d, %d}, {%d, %d, %d, %d}, {kLag%dLevels1, kLag%dLevels2, kLag%dLevels3},\n",
                 d.step, d.low[0], d.low[1], d.low[2], d.low[3], d.high[0], d.high[1], d.high[2], d.high[3], c, c, c);
    std::fprintf(f, "     {kLag%dCdf0, kLag%dCdf1, kLag%dCdf2, kLag%dCdf3}, %d, {%d, %d, %d}},\n", c, c, c, c,
                 d.bisectSize, d.start[0], d.start[1], d.start[2]);
  }
  std::fprintf(f, "};\n\n");
  std::vector<uint16_t> pg = t.pitchGainCdf;
  pg.resize(256, 65535);
  {
    std::vector<unsigned> u(pg.begin(), pg.end());
    o.array("uint16_t", "kQuillPitchGainCdf", u, "%u");
  }
  std::fprintf(f, "\nconst QuillEnvTable kQuillEnvRefl[6] = {\n");
  for (int i = 0; i < 6; ++i)
    std::fprintf(f, "    {%zu, kRefl%dLevels, kRefl%dBounds, kRefl%dCdf, %d},\n", t.refl[i].levels.size(), i, i, i,
                 t.refl[i].start);
  std::fprintf(f, "};\n\nconst QuillEnvGainTable kQuillEnvGain = {%zu, kEnvGainLevels, kEnvGainBounds, kEnvGainCdf, %d};\n",
               t.gain.levels.size(), t.gain.start);
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: quill_gen bootstrap|lpc|env <out.cpp> [wav...]\n");
    return 2;
  }
  const std::string stage = argv[1];
  if (stage == "bootstrap") {
    write(bootstrap(), argv[2], "analytic starting tables");
    return 0;
  }
  std::vector<std::vector<int16_t>> speech;
  for (int i = 3; i < argc; ++i) speech.push_back(readWav(argv[i]));
  if (speech.empty()) {
    std::fprintf(stderr, "no training speech\n");
    return 2;
  }
  // Levels and rates the encoder meets: quantisation offsets of 10 to 32 kbit/s.
  const double levels[3] = {2.0, 1.0, 0.15};
  const double offsets[3] = {-17.0, -13.0, -9.0};
  Tables t = linked();
  if (stage == "lpc") {
    std::vector<HalfStats> halves;
    for (const auto& pcm : speech)
      for (double l : levels)
        for (double qo : offsets) {
          auto h = analyse(pcm, l, qo);
          halves.insert(halves.end(), h.begin(), h.end());
        }
    std::fprintf(stderr, "%zu halves\n", halves.size());
    std::vector<double> pgCounts(144, 0.0);
    for (const HalfStats& h : halves) pgCounts[h.pitchIndex] += 1.0;
    t.pitchGainCdf = makeCdf(pgCounts, 0.3);
    for (int c = 0; c < 3; ++c) {
      defaultLag(t.lag[c], c);
      std::vector<const HalfStats*> members;
      for (const HalfStats& h : halves)
        if (h.lagClass == c) members.push_back(&h);
      std::fprintf(stderr, "lag class %d: %zu halves\n", c, members.size());
      if (!members.empty()) trainLag(t.lag[c], members);
      pinLagLevels(t.lag[c], c);
    }
    std::vector<Vec120> vecs(halves.size());
    for (size_t i = 0; i < halves.size(); ++i) std::memcpy(vecs[i].v, halves[i].vec, sizeof(vecs[i].v));
    trainLpc(t, vecs);
    write(t, argv[2], "pitch and LPC tables trained on speech");
    return 0;
  }
  if (stage == "env") {
    std::vector<EnvSample> all;
    uint32_t seed = 12345;
    for (const auto& pcm : speech)
      for (double l : levels)
        for (double qo : offsets) {
          auto e = envSamples(pcm, l, qo, seed += 7919);
          all.insert(all.end(), e.begin(), e.end());
        }
    std::fprintf(stderr, "%zu envelope samples\n", all.size());
    trainEnv(t, all);
    write(t, argv[2], "all tables trained on speech");
    return 0;
  }
  std::fprintf(stderr, "unknown stage %s\n", stage.c_str());
  return 2;
}
