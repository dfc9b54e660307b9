// iLBC start state: block classification, scalar quantisation of the state and its reconstruction.
#include <cstring>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/ilbc_tables.h"
#include "voice/dsp/spl.h"

namespace {

// Circular convolution with the all-pass filter A~(z)/A(z) (numerator = the reversed polynomial,
// each coefficient shifted right by `shift`): out[k] = f[k] + f[k + len] over 2 x len samples.
void allPass(const int16_t* in, const int16_t* synt, int shift, int16_t* f, int len) {
  int16_t num[kIlbcLpcLen];
  for (int k = 0; k < kIlbcLpcLen; ++k) num[k] = static_cast<int16_t>(synt[kIlbcOrder - k] >> shift);
  int16_t x[kIlbcOrder + 2 * 58] = {};
  int16_t tmp[2 * 58];
  int16_t y[kIlbcOrder + 2 * 58] = {};
  std::memcpy(x + kIlbcOrder, in, sizeof(int16_t) * static_cast<size_t>(len));
  Ilbc_AnalysisFilter(x + kIlbcOrder, num, tmp, 2 * len);
  Ilbc_SynthesisFilter(tmp, y + kIlbcOrder, synt, kIlbcLpcLen, 2 * len);
  std::memcpy(f, y + kIlbcOrder, sizeof(int16_t) * static_cast<size_t>(2 * len));
}

}  // namespace

int Ilbc_ClassifyFrame(const IlbcFrameConstants* c, const int16_t* residual) {
  const int16_t m = Spl_MaxAbsValueW16(residual, c->blockLength);
  int s = Spl_BitLength32(static_cast<uint32_t>(int32_t{m} * m)) - 24;
  if (s < 0) s = 0;
  int32_t e[5];
  const int n = c->subBlocks - 1;
  for (int i = 0; i < n; ++i) e[i] = Spl_DotProductShift(residual + 40 * i + 2, residual + 40 * i + 2, 76, s);
  int t = Spl_BitLength32(static_cast<uint32_t>(Spl_MaxValueW32(e, n))) - 20;
  if (t < 0) t = 0;
  static constexpr int16_t kWin20[3] = {1843, 2048, 1843};
  static constexpr int16_t kWin30[5] = {1638, 1843, 2048, 1843, 1638};
  const int16_t* w = c->mode == 30 ? kWin30 : kWin20;
  for (int i = 0; i < n; ++i) e[i] = (e[i] >> t) * w[i];
  return Spl_MaxValueIndexW32(e, n) + 1;
}

int Ilbc_SortSq(int16_t x, const int16_t* levels, int n) {
  if (x <= levels[0]) return 0;
  int i = 0;
  while (i < n - 1 && x > levels[i]) ++i;
  if (x <= ((int32_t{levels[i - 1]} + levels[i] + 1) >> 1)) return i - 1;
  return i;
}

void Ilbc_SearchState(const IlbcFrameConstants* c, IlbcFrameParams* p, const int16_t* residual,
                      const int16_t* synt, const int16_t* weight) {
  const int len = c->stateShortLength;
  int s = Spl_BitLength32(static_cast<uint32_t>(Spl_MaxAbsValueW16(residual, len))) - 12;
  if (s < 0) s = 0;
  int16_t f[2 * 58];
  allPass(residual, synt, s, f, len);
  for (int k = 0; k < len; ++k) f[k] = Spl_AddSatW16(f[k], f[k + len]);

  // Maximum (full scale, squared) against the thresholds of the scale quantiser.
  const int32_t m = Spl_MaxAbsValueW16(f, len);
  int64_t full = int64_t{m} << s;
  int64_t v = full >= 23170 ? INT32_MAX : 4 * full * full;
  int index = 0;
  while (index < 63 && v >= kIlbcStateThresholds[index]) ++index;
  p->idxForMax = static_cast<int16_t>(index);

  int16_t scaled[58];
  const int shift = index < 27 ? 4 - s : 9 - s;
  for (int k = 0; k < len; ++k) {
    const int64_t prod = int64_t{f[k]} * kIlbcStateEncScale[index];
    scaled[k] = Spl_SatW16(shift >= 0 ? prod >> shift : prod << -shift);
  }

  // Weighted scalar quantisation, sample by sample with the weighting filter's prediction.
  const int first = p->stateFirst ? kIlbcSubLength : len - kIlbcSubLength;
  int16_t in[kIlbcOrder + 58] = {};
  int16_t* x = in + kIlbcOrder;
  Ilbc_SynthesisFilter(scaled, x, weight, kIlbcLpcLen, first);
  Ilbc_SynthesisFilter(scaled + first, x + first, weight + kIlbcLpcLen, kIlbcLpcLen, len - first);
  int16_t syn[kIlbcOrder + 58] = {};
  int16_t* y = syn + kIlbcOrder;
  for (int n = 0; n < len; ++n) {
    const int16_t* w = n < first ? weight : weight + kIlbcLpcLen;
    const int16_t zero = 0;
    int16_t pred;
    Ilbc_SynthesisFilter(&zero, y + n, w, kIlbcLpcLen, 1);
    pred = y[n];
    const int32_t q = int32_t{x[n]} - pred;
    int idx;
    if (q < -7577) {
      idx = 0;
    } else if (q > 8151) {
      idx = 7;
    } else {
      idx = Ilbc_SortSq(Spl_SatW16(int64_t{q} * 4), kIlbcStateSq3, 8);
    }
    p->idxVec[n] = static_cast<int16_t>(idx);
    y[n] = Spl_SatW16(((int32_t{kIlbcStateSq3[idx]} + 2) >> 2) + pred);
  }
}

void Ilbc_ConstructState(int idxForMax, const int16_t* idxVec, const int16_t* synt, int16_t* out, int len) {
  if (idxForMax < 0) idxForMax = 0;
  if (idxForMax > 63) idxForMax = 63;
  const int64_t g = kIlbcStateDecScale[idxForMax];
  int shift = 22;
  if (idxForMax >= 59) {
    shift = 17;
  } else if (idxForMax >= 37) {
    shift = 19;
  }
  // The dispersion filter A~r(z) / A~(z) runs as one recursion on samples with kFrac fractional bits:
  // rounding to whole samples inside it would be amplified by 1 / A(z), up to 15 % of a quiet,
  // strongly resonant state, and the state would drift from the one RFC 3951 defines and another
  // decoder builds from the same frame (the codebook memory of the whole block starts from it).
  constexpr int kFrac = 6;
  int64_t x[2 * 58] = {};
  int64_t y[2 * 58] = {};
  for (int k = 0; k < len; ++k) {
    const int idx = idxVec[len - 1 - k] & 7;
    x[k] = (int64_t{kIlbcStateSq3[idx]} * g + (int64_t{1} << (shift - kFrac - 1))) >> (shift - kFrac);
  }
  for (int n = 0; n < 2 * len; ++n) {
    int64_t acc = 0;
    for (int k = 0; k <= kIlbcOrder && k <= n; ++k) acc += int64_t{synt[kIlbcOrder - k]} * x[n - k];
    for (int k = 1; k <= kIlbcOrder && k <= n; ++k) acc -= int64_t{synt[k]} * y[n - k];
    y[n] = (acc + 2048) >> 12;
    // An unstable or overloaded filter must not run away; the output is limited to 16 bits anyway.
    constexpr int64_t kLimit = int64_t{1} << (15 + kFrac + 4);
    if (y[n] > kLimit) y[n] = kLimit;
    if (y[n] < -kLimit) y[n] = -kLimit;
  }
  for (int k = 0; k < len; ++k) {
    const int64_t v = y[len - 1 - k] + y[2 * len - 1 - k];
    out[k] = Spl_SatW16((v + (int64_t{1} << (kFrac - 1))) >> kFrac);
  }
}
