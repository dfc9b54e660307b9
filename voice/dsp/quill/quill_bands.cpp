// Quill two-band all-pass filter banks and the 240-point complex transform pair of the two bands.
#include <cmath>

#include "voice/dsp/quill/quill_internal.h"

namespace {

constexpr float kBranchA[2] = {0.0347f, 0.3826f};
constexpr float kBranchB[2] = {0.1544f, 0.7440f};
constexpr float kChain4[4] = {0.0347f, 0.1544f, 0.3826f, 0.7440f};

constexpr double kCorrA1[4] = {-0.0015867851, 0.0012715781, -0.0010480568, 0.00084837247};
constexpr double kCorrA2[4] = {-0.0010480568, 0.00084837247, 0.0013446799, -0.0010775655};
constexpr double kCorrB1[4] = {-0.0017068604, 0.0013678011, -0.0011273653, 0.00091257057};
constexpr double kCorrB2[4] = {-0.0011273653, 0.00091257057, 0.0010309428, -0.00082615076};

// One first-order all-pass section over a block, in place: y = c x + s; s = x - c y.
template <typename T>
void allpass(T* x, int n, float c, T* state) {
  T s = *state;
  for (int i = 0; i < n; ++i) {
    const T y = c * x[i] + s;
    s = x[i] - c * y;
    x[i] = y;
  }
  *state = s;
}

// Backward pass (four-section chain, zero states), state correction, then forward pass.
void codedBranch(const float* x, float* carry, const float* coef, float* states, const double* w1,
                 const double* w2, float* out) {
  float r[kQuillBand + kQuillDelay];
  for (int i = 0; i < kQuillBand; ++i) r[i] = x[kQuillBand - 1 - i];
  for (int i = 0; i < kQuillDelay; ++i) r[kQuillBand + i] = carry[kQuillDelay - 1 - i];
  double st[4];
  for (int sec = 0; sec < 4; ++sec) {
    float s = 0.0f;
    allpass(r, kQuillBand, kChain4[sec], &s);
    st[sec] = s;
    allpass(r + kQuillBand, kQuillDelay, kChain4[sec], &s);
  }
  for (int i = 0; i < kQuillDelay; ++i) carry[i] = x[kQuillBand - kQuillDelay + i];
  float u[kQuillBand];
  for (int i = 0; i < kQuillBand; ++i) u[i] = r[kQuillBand + kQuillDelay - 1 - i];
  double c1 = 0.0, c2 = 0.0;
  for (int i = 0; i < 4; ++i) {
    c1 += w1[i] * st[i];
    c2 += w2[i] * st[i];
  }
  states[0] = static_cast<float>(states[0] + c1);
  states[1] = static_cast<float>(states[1] + c2);
  allpass(u, kQuillBand, coef[0], &states[0]);
  allpass(u, kQuillBand, coef[1], &states[1]);
  for (int i = 0; i < kQuillBand; ++i) out[i] = u[i];
}

}  // namespace

void Quill_AnalysisBank(QuillAnalysisBank* st, const float* in, float* lo, float* hi, double* aheadLo,
                        double* aheadHi) {
  float y[kQuillHalf];
  float s1 = st->hp[0], s2 = st->hp[1];
  for (int i = 0; i < kQuillHalf; ++i) {
    const float x = in[i];
    y[i] = x - 0.05101826f * s1 + 0.05015484f * s2;
    const float n1 = x + 1.9489596f * s1 - 0.94984514f * s2;
    s2 = s1;
    s1 = n1;
  }
  st->hp[0] = s1;
  st->hp[1] = s2;

  float xa[kQuillBand], xb[kQuillBand];
  for (int k = 0; k < kQuillBand; ++k) {
    xa[k] = y[2 * k + 1];
    xb[k] = y[2 * k];
  }
  float a[kQuillBand], b[kQuillBand];
  codedBranch(xa, st->carryA, kBranchA, st->codedA, kCorrA1, kCorrA2, a);
  codedBranch(xb, st->carryB, kBranchB, st->codedB, kCorrB1, kCorrB2, b);
  for (int k = 0; k < kQuillBand; ++k) {
    lo[k] = (a[k] + b[k]) * 0.5f;
    hi[k] = (a[k] - b[k]) * 0.5f;
  }

  double da[kQuillBand], db[kQuillBand];
  for (int k = 0; k < kQuillBand; ++k) {
    da[k] = xa[k];
    db[k] = xb[k];
  }
  allpass(da, kQuillBand, kBranchA[0], &st->aheadA[0]);
  allpass(da, kQuillBand, kBranchA[1], &st->aheadA[1]);
  allpass(db, kQuillBand, kBranchB[0], &st->aheadB[0]);
  allpass(db, kQuillBand, kBranchB[1], &st->aheadB[1]);
  for (int k = 0; k < kQuillBand; ++k) {
    aheadLo[k] = (da[k] + db[k]) * 0.5;
    aheadHi[k] = (da[k] - db[k]) * 0.5;
  }
}

namespace {
// One second-order section over the first half of the output, in place: x + b1 s1 - b2 s2 out,
// x + a1 s1 - a2 s2 into the state (s1 newest).
void highPassSection(float* v, float* state, float b1, float b2, float a1, float a2) {
  float s1 = state[0], s2 = state[1];
  for (int i = 0; i < kQuillHalf; ++i) {
    const float x = v[i];
    v[i] = x + b1 * s1 - b2 * s2;
    const float n1 = x + a1 * s1 - a2 * s2;
    s2 = s1;
    s1 = n1;
  }
  state[0] = s1;
  state[1] = s2;
}
}  // namespace

void Quill_SynthesisBank(QuillSynthesisBank* st, const float* lo, const float* hi, float* out) {
  float a[kQuillBand], b[kQuillBand];
  for (int k = 0; k < kQuillBand; ++k) {
    a[k] = lo[k] + hi[k];
    b[k] = lo[k] - hi[k];
  }
  allpass(a, kQuillBand, kBranchB[0], &st->a[0]);
  allpass(a, kQuillBand, kBranchB[1], &st->a[1]);
  allpass(b, kQuillBand, kBranchA[0], &st->b[0]);
  allpass(b, kQuillBand, kBranchA[1], &st->b[1]);
  for (int k = 0; k < kQuillBand; ++k) {
    out[2 * k] = b[k];
    out[2 * k + 1] = a[k];
  }
  highPassSection(out, st->hp1, 0.017010493f, 0.017042045f, 1.9970105f, 0.997142f);
  highPassSection(out, st->hp2, 0.006452945f, 0.0066243554f, 1.9864529f, 0.9867244f);
}

namespace {
int16_t toQ7(double v) {
  // Saturated rather than wrapped: a wrapped value would flip the sign of a loud spectral line.
  const double r = std::nearbyint(v * 128.0);
  if (!(r == r)) return 0;
  if (r > 32767.0) return 32767;
  if (r < -32768.0) return -32768;
  return static_cast<int16_t>(r);
}
}  // namespace

void Quill_ForwardTransform(QuillFftWork* ws, const double* lo, const double* hi, int16_t* p, int16_t* q) {
  const QuillDerivedTables& t = Quill_Tables();
  double re[kQuillBand], im[kQuillBand];
  const double f = 0.5 / std::sqrt(240.0);
  for (int k = 0; k < kQuillBand; ++k) {
    const double c = t.preRotCos[k], s = t.preRotSin[k];
    re[k] = (c * lo[k] + s * hi[k]) * f;
    im[k] = (c * hi[k] - s * lo[k]) * f;
  }
  const int dims[1] = {kQuillBand};
  fftn(ws, 1, dims, re, im, -1, 1.0);
  for (int k = 0; k < 120; ++k) {
    const double c = t.postRotCos[k], s = t.postRotSin[k];
    const int m = 239 - k;
    const double sr = re[m] + re[k], dr = re[m] - re[k];
    const double si = im[k] + im[m], di = im[k] - im[m];
    p[k] = toQ7(sr * c - di * s);
    q[k] = toQ7(sr * s + di * c);
    p[m] = toQ7(-si * s - dr * c);
    q[m] = toQ7(dr * s - si * c);
  }
}

void Quill_InverseTransform(QuillFftWork* ws, const double* x, const double* y, double* lo, double* hi) {
  const QuillDerivedTables& t = Quill_Tables();
  double re[kQuillBand], im[kQuillBand];
  for (int k = 0; k < 120; ++k) {
    const double c = t.postRotCos[k], s = t.postRotSin[k];
    const int m = 239 - k;
    const double a = c * x[k] + s * y[k];
    const double b = c * y[k] - s * x[k];
    const double g = -(c * y[m]) - s * x[m];
    const double d = s * y[m] - c * x[m];
    re[k] = a - d;
    re[m] = d + a;
    im[k] = g + b;
    im[m] = g - b;
  }
  const int dims[1] = {kQuillBand};
  fftn2(ws, 1, dims, re, im, 1, 240.0);
  const double r = std::sqrt(240.0);
  for (int k = 0; k < kQuillBand; ++k) {
    const double c = t.preRotCos[k], s = t.preRotSin[k];
    lo[k] = (c * re[k] - s * im[k]) * r;
    hi[k] = (c * im[k] + s * re[k]) * r;
  }
}
