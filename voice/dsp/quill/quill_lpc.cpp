// Quill LPC analysis of both bands per 40-sample sub-block, and the class, shape and gain quantisers.
#include <cmath>
#include <cstring>

#include "voice/dsp/quill/quill_internal.h"

namespace {

constexpr double kLoScale = 2.0999999046325684;
constexpr double kHiScale = 0.44999998807907104;
constexpr double kLoUnscale = 0.47619049781574513;
constexpr double kHiUnscale = 2.2222222810910086;
constexpr double kMaxRefl = 0.9999;

double clampRefl(double k) {
  if (!(k == k)) return 0.0;
  return k > kMaxRefl ? kMaxRefl : (k < -kMaxRefl ? -kMaxRefl : k);
}

// Polynomial 1, a1..aN -> reflection coefficients k1..kN by the step-down.
void polyToRefl(const double* a, int order, double* k) {
  double c[kQuillOrderLo + 1];
  for (int i = 1; i <= order; ++i) c[i] = a[i - 1];
  for (int m = order; m >= 1; --m) {
    const double km = clampRefl(c[m]);
    k[m - 1] = km;
    const double e = 1.0 - km * km;
    double t[kQuillOrderLo + 1];
    for (int j = 1; j < m; ++j) t[j] = (c[j] - km * c[m - j]) / e;
    for (int j = 1; j < m; ++j) c[j] = t[j];
  }
}

// Reflection coefficients -> polynomial a1..aN by the forward order recursion.
void reflToPoly(const double* k, int order, double* a) {
  double c[kQuillOrderLo + 1] = {1.0};
  for (int m = 1; m <= order; ++m) {
    double t[kQuillOrderLo + 1];
    for (int i = 1; i < m; ++i) t[i] = c[i] + k[m - 1] * c[m - i];
    for (int i = 1; i < m; ++i) c[i] = t[i];
    c[m] = k[m - 1];
  }
  for (int i = 1; i <= order; ++i) a[i - 1] = c[i];
}

double shapeOf(double k) { return std::log((1.0 + k) / (1.0 - k)); }
double reflOf(double x) { return std::tanh(0.5 * x); }  // (e^x - 1) / (e^x + 1)

}  // namespace

void Quill_LpcStateInit(QuillLpcState* st) {
  std::memset(st, 0, sizeof(*st));
  st->lastBlockEnergy = 10.0;
}

void Quill_Autocorr(double* r, const double* x, int n, int lags) {
  for (int l = 0; l <= lags; ++l) {
    double s = 0.0;
    for (int i = 0; i + l < n; ++i) s += x[i] * x[i + l];
    r[l] = s;
  }
}

double Quill_LpcShapingFactor(const double* lo, const int16_t* gainsQ12, double* lastBlockEnergy) {
  double e[4];
  for (int b = 0; b < 4; ++b) {
    double s = 0.0001;
    for (int n = 12 + 60 * b; n <= 71 + 60 * b; ++n) s += lo[n] * lo[n];
    e[b] = s;
  }
  const double prev = *lastBlockEnergy > 0.0 ? *lastBlockEnergy : 0.0001;
  const double fluct = (std::fabs(10.0 * std::log10(e[0] / prev)) + std::fabs(10.0 * std::log10(e[3] / e[2])) +
                        std::fabs(10.0 * std::log10(e[2] / e[1])) + std::fabs(10.0 * std::log10(e[1] / e[0]))) *
                       0.25;
  double m = 0.0;
  for (int j = 0; j < 4; ++j) m += gainsQ12[j] * (1.0 / 4096.0);
  m *= 0.25;
  *lastBlockEnergy = e[3];
  return std::exp(-1.4 * std::exp(-200.0 * m * m * m) / (1.0 + 0.4 * fluct));
}

void Quill_LpcAnalysis(const double* lo264, const double* hi240, QuillLpcState* st, double quantOffset,
                       const int16_t* gainsQ12, QuillLoRecords lo, QuillHiRecords hi) {
  const QuillDerivedTables& tab = Quill_Tables();
  const double pFloor = std::pow(10.0, -1.4);
  const double q = 0.28901734104046245 * std::pow(10.0, 0.05 * quantOffset);
  const double y = Quill_LpcShapingFactor(lo264, gainsQ12, &st->lastBlockEnergy);
  const double f = (y + 1.0) * 0.5 * 0.35;
  for (int i = 0; i < kQuillDelay; ++i) st->lpcBufLo[232 + i] = lo264[i];
  for (int k = 0; k < kQuillSubBlocks; ++k) {
    std::memmove(st->lpcBufLo, st->lpcBufLo + 40, 216 * sizeof(double));
    std::memmove(st->lpcBufHi, st->lpcBufHi + 40, 216 * sizeof(double));
    for (int i = 0; i < 40; ++i) {
      st->lpcBufLo[216 + i] = lo264[40 * k + 24 + i];
      st->lpcBufHi[216 + i] = hi240[40 * k + i];
    }
    double wlo[256], whi[256];
    for (int i = 0; i < 256; ++i) {
      wlo[i] = st->lpcBufLo[i] * tab.lpcWindow[i];
      whi[i] = st->lpcBufHi[i] * tab.lpcWindow[i];
    }
    double rlo[14], rhi[7];
    Quill_Autocorr(rlo, wlo, 256, 13);
    Quill_Autocorr(rhi, whi, 256, 6);
    double Rlo[13], Rhi[7];
    const double f2 = 1.0 + f * f;
    Rlo[0] = f2 * rlo[0] - 2.0 * f * rlo[1];
    for (int l = 1; l <= 12; ++l) Rlo[l] = f2 * rlo[l] - f * (rlo[l - 1] + rlo[l + 1]);
    const double hf = (1.0 + f) * (1.0 + f);
    for (int l = 0; l <= 6; ++l) Rhi[l] = rhi[l] * hf;
    Rlo[0] += 1e-6;
    Rhi[0] += 1e-6;
    for (int l = 0; l <= 12; ++l) {
      st->lpcAcfLo[l] = 0.01 * st->lpcAcfLo[l] + Rlo[l];
      Rlo[l] = 0.0099 * st->lpcAcfLo[l] + 0.99 * Rlo[l];
    }
    for (int l = 0; l <= 6; ++l) {
      st->lpcAcfHi[l] = 0.01 * st->lpcAcfHi[l] + Rhi[l];
      Rhi[l] = 0.0099 * st->lpcAcfHi[l] + 0.99 * Rhi[l];
    }
    double alo[13], ahi[7], kk[12];
    SimpleLevinson(alo, kk, Rlo, 12);
    SimpleLevinson(ahi, kk, Rhi, 6);
    double bw = 1.0;
    for (int i = 1; i <= 12; ++i) alo[i] *= (bw *= 0.9);
    bw = 1.0;
    for (int i = 1; i <= 6; ++i) ahi[i] *= (bw *= 0.8);
    auto residual = [](const double* a, const double* R, int n) {
      double e = 0.0;
      for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) e += a[i] * a[j] * R[i > j ? i - j : j - i];
      return e > 0.0 ? e : 0.0;
    };
    lo[k][0] = q / (std::sqrt(residual(alo, Rlo, 12)) / y + pFloor);
    hi[k][0] = q / (std::sqrt(residual(ahi, Rhi, 6)) / y + pFloor);
    for (int i = 1; i <= 12; ++i) lo[k][i] = alo[i];
    for (int i = 1; i <= 6; ++i) hi[k][i] = ahi[i];
  }
}

void Quill_LpcToShapeVectors(const QuillLoRecords lo, const QuillHiRecords hi, double vec[6][20]) {
  for (int sb = 0; sb < kQuillSubBlocks; ++sb) {
    vec[sb][0] = lo[sb][0];
    vec[sb][1] = hi[sb][0];
    double k[kQuillOrderLo];
    polyToRefl(&lo[sb][1], kQuillOrderLo, k);
    for (int i = 0; i < kQuillOrderLo; ++i) vec[sb][2 + i] = shapeOf(k[i]);
    polyToRefl(&hi[sb][1], kQuillOrderHi, k);
    for (int i = 0; i < kQuillOrderHi; ++i) vec[sb][14 + i] = shapeOf(k[i]);
  }
}

namespace {

void gainCoordinates(const QuillLpcClass& c, const double vec[6][20], double* coords) {
  double u[6][2];
  for (int sb = 0; sb < 6; ++sb) {
    double g[2];
    for (int b = 0; b < 2; ++b) {
      const double gain = vec[sb][b] > 1e-300 ? vec[sb][b] : 1e-300;
      g[b] = 4.0 * (std::log(gain) - c.gainMean[2 * sb + b]);
    }
    for (int r = 0; r < 2; ++r) u[sb][r] = c.t2[0][r] * g[0] + c.t2[1][r] * g[1];
  }
  for (int j = 0; j < 6; ++j) {
    for (int r = 0; r < 2; ++r) {
      double w = 0.0;
      for (int k = 0; k < 6; ++k) w += c.gainMat[j][k] * u[k][r];
      coords[2 * j + r] = w;
    }
  }
}

void shapeCoordinates(const QuillLpcClass& c, const double vec[6][20], double* coords) {
  double v[6][18];
  for (int sb = 0; sb < 6; ++sb) {
    double s[18];
    for (int j = 0; j < 18; ++j) {
      const double scale = j < 12 ? kLoScale : kHiScale;
      s[j] = (vec[sb][2 + j] - c.shapeMean[18 * sb + j]) * scale;
    }
    for (int r = 0; r < 18; ++r) {
      double a = 0.0;
      for (int j = 0; j < 18; ++j) a += c.t18[j][r] * s[j];
      v[sb][r] = a;
    }
  }
  for (int j = 0; j < 6; ++j) {
    for (int r = 0; r < 18; ++r) {
      double w = 0.0;
      for (int k = 0; k < 6; ++k) w += c.shapeMat[j][k] * v[k][r];
      coords[18 * j + r] = w;
    }
  }
}

}  // namespace

void Quill_LpcCoordinates(const QuillLpcClass& c, const double vec[6][20], double coords[120]) {
  gainCoordinates(c, vec, coords);
  shapeCoordinates(c, vec, coords + kQuillLpcGainCoords);
}

double Quill_LpcChooseLevels(const QuillLpcClass& c, const double* coords, int first, int count, int* idx) {
  double bits = 0.0;
  for (int i = first; i < first + count; ++i) {
    const double v = std::isfinite(coords[i - first]) ? coords[i - first] : 0.0;
    const double r = std::nearbyint(v < -1e6 ? -1e6 : (v > 1e6 ? 1e6 : v));
    int level = static_cast<int>(r) + c.offset[i];
    if (level < 0) level = 0;
    if (level > c.maxIndex[i]) level = c.maxIndex[i];
    idx[i - first] = level;
    bits += c.bits[c.levelPos[i] + level];
  }
  return bits;
}

void Quill_LpcReconstructShapes(int cls, const int* shapeIdx, QuillLoRecords lo, QuillHiRecords hi) {
  const QuillLpcClass& c = kQuillLpcClasses[cls];
  double w[6][18];
  for (int j = 0; j < 6; ++j)
    for (int r = 0; r < 18; ++r) {
      const int i = kQuillLpcGainCoords + 18 * j + r;
      w[j][r] = c.levels[c.levelPos[i] + shapeIdx[18 * j + r]];
    }
  for (int sb = 0; sb < 6; ++sb) {
    double v[18];
    for (int r = 0; r < 18; ++r) {
      double a = 0.0;
      for (int j = 0; j < 6; ++j) a += c.shapeMat[j][sb] * w[j][r];
      v[r] = a;
    }
    double k[18];
    for (int j = 0; j < 18; ++j) {
      double s = 0.0;
      for (int r = 0; r < 18; ++r) s += c.t18[j][r] * v[r];
      const double x = s * (j < 12 ? kLoUnscale : kHiUnscale) + c.shapeMean[18 * sb + j];
      k[j] = clampRefl(reflOf(x));
    }
    reflToPoly(k, kQuillOrderLo, &lo[sb][1]);
    reflToPoly(k + 12, kQuillOrderHi, &hi[sb][1]);
  }
}

void Quill_LpcReconstructGains(int cls, const int* gainIdx, QuillLoRecords lo, QuillHiRecords hi) {
  const QuillLpcClass& c = kQuillLpcClasses[cls];
  double w[6][2];
  for (int j = 0; j < 6; ++j)
    for (int r = 0; r < 2; ++r) w[j][r] = c.levels[c.levelPos[2 * j + r] + gainIdx[2 * j + r]];
  for (int sb = 0; sb < 6; ++sb) {
    double u[2];
    for (int r = 0; r < 2; ++r) {
      double a = 0.0;
      for (int j = 0; j < 6; ++j) a += c.gainMat[j][sb] * w[j][r];
      u[r] = a;
    }
    for (int b = 0; b < 2; ++b) {
      const double g = c.t2[b][0] * u[0] + c.t2[b][1] * u[1];
      double e = 0.25 * g + c.gainMean[2 * sb + b];
      if (e > 60.0) e = 60.0;
      if (e < -60.0) e = -60.0;
      (b == 0 ? lo[sb][0] : hi[sb][0]) = std::exp(e);
    }
  }
}

int Quill_EncodeLpcModel(QuillLoRecords lo, QuillHiRecords hi, int* cls, double* bits, QuillStream* s) {
  double vec[6][20];
  Quill_LpcToShapeVectors(lo, hi, vec);
  int best = 0;
  double bestBits = 0.0;
  int bestIdx[120];
  for (int c = 0; c < 3; ++c) {
    double coords[120];
    int idx[120];
    Quill_LpcCoordinates(kQuillLpcClasses[c], vec, coords);
    const double b = Quill_LpcChooseLevels(kQuillLpcClasses[c], coords, 0, 120, idx);
    if (c == 0 || b < bestBits) {
      best = c;
      bestBits = b;
      std::memcpy(bestIdx, idx, sizeof(idx));
    }
  }
  *cls = best;
  *bits = bestBits;
  const QuillLpcClass& c = kQuillLpcClasses[best];
  const uint16_t* classTable[1] = {kQuillLpcClassCdf};
  Quill_EncodeSymbols(s, &best, classTable, 1);
  Quill_EncodeSymbols(s, bestIdx + kQuillLpcGainCoords, c.cdf + kQuillLpcGainCoords, kQuillLpcShapeCoords);
  Quill_BitCheckpoint(s);
  Quill_LpcReconstructShapes(best, bestIdx + kQuillLpcGainCoords, lo, hi);
  return 0;
}

namespace {
double quantiseGains(QuillLoRecords lo, QuillHiRecords hi, int cls, int* idx) {
  double vec[6][20] = {};
  for (int sb = 0; sb < 6; ++sb) {
    vec[sb][0] = lo[sb][0];
    vec[sb][1] = hi[sb][0];
  }
  double coords[12];
  gainCoordinates(kQuillLpcClasses[cls], vec, coords);
  const double bits = Quill_LpcChooseLevels(kQuillLpcClasses[cls], coords, 0, kQuillLpcGainCoords, idx);
  Quill_LpcReconstructGains(cls, idx, lo, hi);
  return bits;
}
}  // namespace

double Quill_QuantiseLpcGains(QuillLoRecords lo, QuillHiRecords hi, int cls) {
  int idx[12];
  return quantiseGains(lo, hi, cls, idx);
}

void Quill_EncodeLpcGains(QuillLoRecords lo, QuillHiRecords hi, int cls, QuillStream* s) {
  int idx[12];
  quantiseGains(lo, hi, cls, idx);
  Quill_EncodeSymbols(s, idx, kQuillLpcClasses[cls].cdf, kQuillLpcGainCoords);
  Quill_BitCheckpoint(s);
}

int Quill_DecodeLpc(QuillStream* s, QuillLoRecords lo, QuillHiRecords hi) {
  const uint16_t* classTable[1] = {kQuillLpcClassCdf};
  const int classStart = 1;
  int cls = 0;
  if (Quill_DecodeSymbolsStep(&cls, s, classTable, &classStart, 1) < 0 || cls > 2) return -QUILL_ERR_LPC_FIELD;
  const QuillLpcClass& c = kQuillLpcClasses[cls];
  int starts[120];
  for (int i = 0; i < 120; ++i) starts[i] = c.offset[i];
  int idx[120];
  if (Quill_DecodeSymbolsStep(idx + kQuillLpcGainCoords, s, c.cdf + kQuillLpcGainCoords,
                              starts + kQuillLpcGainCoords, kQuillLpcShapeCoords) < 0)
    return -QUILL_ERR_LPC_FIELD;
  const int r = Quill_DecodeSymbolsStep(idx, s, c.cdf, starts, kQuillLpcGainCoords);
  if (r < 0) return -QUILL_ERR_LPC_FIELD;
  for (int i = 0; i < 120; ++i) {
    if (idx[i] > c.maxIndex[i]) return -QUILL_ERR_LPC_FIELD;
  }
  Quill_LpcReconstructShapes(cls, idx + kQuillLpcGainCoords, lo, hi);
  Quill_LpcReconstructGains(cls, idx, lo, hi);
  return r;
}
