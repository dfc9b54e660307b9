// Quill normalised lattice filters (analysis and synthesis per 40-sample sub-block) and Levinson.
#include <cmath>
#include <cstdio>

#include "voice/dsp/quill/quill_internal.h"

namespace {
constexpr int kSub = 40;
// A reflection coefficient of magnitude 1 makes the lattice divide by zero; models from a corrupt
// payload are held just inside.
constexpr double kMaxRefl = 0.99999;
}  // namespace

bool Quill_PolyToLattice(const double* a, int order, float* latSin, float* latCos) {
  double c[kQuillOrderLo + 1];
  for (int i = 1; i <= order; ++i) c[i] = a[i - 1];
  bool ok = true;
  auto limit = [&](double k) {
    if (!(k == k)) {
      ok = false;
      return 0.0;
    }
    if (k > kMaxRefl || k < -kMaxRefl) {
      ok = false;
      return k > 0 ? kMaxRefl : -kMaxRefl;
    }
    return k;
  };
  double k = limit(c[order]);
  latSin[order - 1] = static_cast<float>(k);
  double e = 1.0 - k * k;
  latCos[order - 1] = static_cast<float>(std::sqrt(e));
  for (int m = order - 1; m >= 1; --m) {
    float t[kQuillOrderLo];
    for (int j = 0; j < m; ++j) t[j] = static_cast<float>((c[j + 1] - c[m - j] * k) / e);
    for (int j = 0; j < m; ++j) c[j + 1] = t[j];
    k = limit(t[m - 1]);
    latSin[m - 1] = static_cast<float>(k);
    e = 1.0 - k * k;
    latCos[m - 1] = static_cast<float>(std::sqrt(e));
  }
  return ok;
}

void Quill_AnalysisLattice(const double* records, int order, float* state, const float* in, double* out) {
  for (int sb = 0; sb < kQuillSubBlocks; ++sb) {
    const double* rec = records + sb * (order + 1);
    float ls[kQuillOrderLo], lc[kQuillOrderLo];
    Quill_PolyToLattice(rec + 1, order, ls, lc);
    double g = rec[0];
    double inv[kQuillOrderLo];
    for (int i = 0; i < order; ++i) {
      g *= lc[i];
      inv[i] = 1.0 / lc[i];
    }
    float f[kSub], b[kSub];
    for (int n = 0; n < kSub; ++n) f[n] = b[n] = in[sb * kSub + n];
    for (int i = 0; i < order; ++i) {
      float prev = state[i];
      for (int n = 0; n < kSub; ++n) {
        const float bi = b[n];
        const float fn = static_cast<float>((f[n] + ls[i] * static_cast<double>(prev)) * inv[i]);
        b[n] = static_cast<float>(ls[i] * static_cast<double>(fn) + lc[i] * static_cast<double>(prev));
        f[n] = fn;
        prev = bi;
      }
      state[i] = prev;  // b_i(39)
    }
    for (int n = 0; n < kSub; ++n) out[sb * kSub + n] = g * f[n];
  }
}

void Quill_SynthesisLattice(const double* records, int order, float* state, const double* in, float* out) {
  for (int sb = 0; sb < kQuillSubBlocks; ++sb) {
    const double* rec = records + sb * (order + 1);
    float ls[kQuillOrderLo], lc[kQuillOrderLo];
    Quill_PolyToLattice(rec + 1, order, ls, lc);
    double g = rec[0];
    for (int i = 0; i < order; ++i) g *= lc[i];
    const double invG = (g > 1e-30 && std::isfinite(g)) ? 1.0 / g : 0.0;
    for (int n = 0; n < kSub; ++n) {
      float f = static_cast<float>(in[sb * kSub + n] * invG);
      for (int i = order - 1; i >= 0; --i) {
        const double bPrev = state[i];
        const float fi = static_cast<float>(lc[i] * static_cast<double>(f) - ls[i] * bPrev);
        state[i + 1] = static_cast<float>(lc[i] * bPrev + ls[i] * static_cast<double>(f));
        f = fi;
      }
      state[0] = f;
      out[sb * kSub + n] = f;
    }
  }
}

double SimpleLevinson(double* a, double* k, const double* r, int order) {
  a[0] = 1.0;
  if (!(r[0] >= 1e-10)) {
    if (r[0] != 0.0) std::fputs("Ill condition in SimpleLevinson\n", stderr);
    for (int i = 1; i <= order; ++i) a[i] = 0.0;
    for (int i = 0; i < order; ++i) k[i] = 0.0;
    return 0.0;
  }
  k[0] = -r[1] / r[0];
  a[1] = k[0];
  double err = r[0] + r[1] * k[0];
  for (int m = 1; m < order; ++m) {
    double s = r[m + 1];
    for (int i = 1; i <= m; ++i) s += a[i] * r[m + 1 - i];
    k[m] = -s / err;
    err += k[m] * s;
    for (int i = 1; i <= (m + 1) / 2; ++i) {
      const double ai = a[i], aj = a[m + 1 - i];
      a[i] = ai + k[m] * aj;
      a[m + 1 - i] = aj + k[m] * ai;
    }
    a[m + 1] = k[m];
  }
  return err;
}
