// Tidepool time stretching: pitch-synchronous merge after concealment, accelerate, and the cross-fade.
#include <cstring>

#include "voice/dsp/spl.h"
#include "voice/tidepool/tidepool_internal.h"

namespace tidepool {

namespace {

constexpr int kNotEvaluated = -10000;

int Min3(int a, int b, int c) {
  int m = a < b ? a : b;
  return m < c ? m : c;
}

int Abs(int v) { return v < 0 ? -v : v; }

// Shifts left for a positive count and right otherwise, saturating to 32 bits.
int32_t ShiftSigned(int32_t v, int count) {
  if (v == 0) return 0;
  if (count >= 0) {
    if (count > 40) count = 40;
    return Spl_SatW32(static_cast<int64_t>(v) << count);
  }
  const int right = -count;
  return right > 31 ? (v < 0 ? -1 : 0) : (v >> right);
}

int32_t Mantissa(int32_t v, int* shift) {
  *shift = Spl_NormW32(v) - 16;
  return *shift > 0 ? (v << *shift) : (v >> -*shift);
}

// Normalised correlation sign(X) X^2 2^26 / (Ea Eb) for 4-kHz lags lo .. hi; each value is kept for
// the two 8-kHz lags it stands for.
void CrossCorrelation(const int16_t* a, int na, const int16_t* b, int nb, int lo, int hi, int32_t* table) {
  for (int l = lo; l <= hi; ++l) {
    const int count = l > 10 ? l : 10;
    int32_t x = 0;
    int32_t ea = 0;
    int32_t eb = 0;
    bool inRange = count <= nb && l <= na;
    for (int k = 0; inRange && k < count; ++k) {
      const int ia = k < l ? na - l + k : k - l;
      if (ia < 0 || ia >= na) {
        inRange = false;
        break;
      }
      const int32_t av = a[ia];
      const int32_t bv = b[k];
      x = Spl_AddWrapW32(x, av * bv);
      ea = Spl_AddWrapW32(ea, av * av);
      eb = Spl_AddWrapW32(eb, bv * bv);
    }
    int32_t value = -5000;
    if (inRange) {
      int xs = 0;
      int as = 0;
      int bs = 0;
      const int32_t x16 = Mantissa(x, &xs);
      const int32_t a16 = Mantissa(ea, &as);
      const int32_t b16 = Mantissa(eb, &bs);
      const int32_t prod = a16 * b16;
      if (prod > 0) {
        int ps = 0;
        const int32_t p16 = Mantissa(prod, &ps);
        const int32_t q = Spl_DivW32ByW16(x16 * x16, static_cast<int16_t>(p16));
        value = ShiftSigned(q, ps + 2 * (13 - xs) + as + bs);
        if (x < 0) value = -value;
      }
    }
    if (2 * l - 1 >= 0 && 2 * l - 1 < kLagTable) table[2 * l - 1] = value;
    if (2 * l < kLagTable) table[2 * l] = value;
  }
}

int32_t ValueOf(const int32_t* table, int lag) {
  return (lag >= 1 && lag <= kLagTable) ? table[lag - 1] : kNotEvaluated;
}

// Best lag in [lo, hi] (first on ties).
int BestIn(const int32_t* table, int lo, int hi) {
  int best = lo;
  for (int l = lo + 1; l <= hi; ++l)
    if (ValueOf(table, l) > ValueOf(table, best)) best = l;
  return best;
}

int32_t Scaled(int32_t v) { return (v >> 1) * 3; }

void PitchAlignedJoin(TidepoolInst* inst, const int16_t* A, int nA, const int16_t* B, int nB, int P,
                      int16_t* out, int* outLen) {
  const int s = inst->playout.shift;
  const int o = 5 << s;
  int16_t peak = 0;
  const int iA = Spl_MaxValueIndexW16(A, nA, &peak);
  const int iB = Spl_MaxValueIndexW16(B, P < nB ? P : nB, &peak);
  // t = B from its peak to the period's end, then all of B.
  static thread_local int16_t t[kOutMax];
  const int tl = (P - iB) + nB;
  if (tl > kOutMax || 2 * nA + nB > kOutMax) {  // cannot happen with engine frame sizes
    memmove(out + nA, B, sizeof(int16_t) * static_cast<size_t>(nB));
    *outLen = nA + nB;
    return;
  }
  for (int i = 0; i < P - iB; ++i) t[i] = (iB + i < nB) ? B[iB + i] : 0;
  memcpy(t + (P - iB), B, sizeof(int16_t) * static_cast<size_t>(nB));
  if (nB - P >= o) {
    int16_t mixed[kTailMax];
    Tidepool_CrossFade(B + P, o, B, o, mixed, o);
    memcpy(t + (P - iB), mixed, sizeof(int16_t) * static_cast<size_t>(o));
  }
  // A once more behind itself; the held-back tail leads into the first copy's end.
  memmove(out, A, sizeof(int16_t) * static_cast<size_t>(nA));
  memmove(out + nA, out, sizeof(int16_t) * static_cast<size_t>(nA));
  if (nA >= o) {
    int16_t mixed[kTailMax];
    Tidepool_CrossFade(out + nA - o, o, inst->playout.tail, o, mixed, o);
    memcpy(out + nA - o, mixed, sizeof(int16_t) * static_cast<size_t>(o));
  }
  static thread_local int16_t w[kOutMax];
  Spl_FillHannWindow(w, nA + 1);
  for (int i = 0; i < nA && iA + 1 + i < 2 * nA; ++i)
    out[iA + 1 + i] = static_cast<int16_t>((out[iA + 1 + i] * static_cast<int32_t>(w[nA - 1 - i])) >> 14);
  for (int i = 0; i < nA && i < tl; ++i) t[i] = static_cast<int16_t>((t[i] * static_cast<int32_t>(w[i])) >> 14);
  int S = iA + 1 - P + nA;
  if (S < 0) S = 0;
  int summed = nA + iA - S + 1;
  if (summed > tl) summed = tl;
  if (summed > 0) Spl_AddVectorsShift(out + S, out + S, t, summed, 0);
  if (tl > summed) memcpy(out + S + summed, t + summed, sizeof(int16_t) * static_cast<size_t>(tl - summed));
  *outLen = tl + S;
}

}  // namespace

int Tidepool_CrossFade(const int16_t* a, int nA, const int16_t* b, int nB, int16_t* out, int l) {
  if (l > nA) l = nA;
  if (l > nB) l = nB;
  if (l < 0) l = 0;
  if (l > kDecodeMax) l = kDecodeMax;
  int16_t w[kDecodeMax + 1];
  if (l > 0) {
    const int wl = l + 1 > kDecodeMax + 1 ? kDecodeMax + 1 : l + 1;
    Spl_FillHannWindow(w, wl);
  }
  for (int i = 0; i < l; ++i) {
    const int32_t v = (b[i] * static_cast<int32_t>(w[i]) + a[nA - l + i] * static_cast<int32_t>(w[l - 1 - i])) >> 14;
    out[nA - l + i] = Spl_SatW16(v);
  }
  if (nB > l) memmove(out + nA, b + l, sizeof(int16_t) * static_cast<size_t>(nB - l));
  return nA - l + nB;
}

int Tidepool_AutocorrPeakLag(const int16_t* x, int n, int lo, int hi, int s) {
  int sc = 0;
  const int32_t e = Spl_EnergyW16(x, n, &sc);
  if (e == 0) return (lo + hi) >> 1;
  if (lo < 1) lo = 1;
  const int top = (hi < n ? hi : n) + 1;
  if (lo >= top) return lo;
  int best = lo;
  int32_t bestValue = 0;
  for (int l = lo; l < top; l += s + 1) {
    int32_t r = 0;
    for (int k = 0; k < n - l; k += s + 1) r = Spl_AddWrapW32(r, (x[k + l] * x[k]) >> sc);
    if (r > bestValue) {
      bestValue = r;
      best = l;
    }
  }
  return best;
}

void Tidepool_TimeStretch(TidepoolInst* inst, int16_t* A, int nA, const int16_t* Bin, int nB,
                          int32_t threshold, int hint, int minLag, int activity, int16_t* out,
                          int* outLen) {
  PlayoutState& p = inst->playout;
  const int s = p.shift;
  // B may sit right behind A in the output buffer: keep a copy before anything is written there.
  static thread_local int16_t Bcopy[kOutMax];
  const int16_t* B = Bin;
  if (nB > 0) {
    memmove(Bcopy, Bin, sizeof(int16_t) * static_cast<size_t>(nB));
    B = Bcopy;
  }
  if (out != A) memmove(out, A, sizeof(int16_t) * static_cast<size_t>(nA));

  auto unchanged = [&](int op) {
    memmove(out + nA, B, sizeof(int16_t) * static_cast<size_t>(nB));
    *outLen = nA + nB;
    p.lastOp = op;
  };
  if (nA < 1 || nB < 1) {
    unchanged(kOpUnchanged);
    return;
  }

  // Work at 4 kHz.
  int16_t a4[kOutMax / 2];
  int16_t b4[kOutMax / 2];
  const int d = s ? 2 : 1;
  const int16_t* filter = s ? kDecimateB : kDecimateA;
  const int na = Tidepool_Decimate(A, nA, d, filter, a4);
  const int nb = Tidepool_Decimate(B, nB, d, filter, b4);
  if (s) {
    if (hint > 0) hint >>= 1;
    minLag >>= 1;
  }
  minLag >>= 1;
  if (minLag == 0) minLag = 1;

  // The correlation table; lags outside the search keep a value no lag can lose to.
  int32_t table[kLagTable];
  const int M = Min3(na, 60, nb);
  for (int i = 0; i < kLagTable; ++i) table[i] = 0;
  for (int i = 0; i <= 2 * minLag - 2 && i < kLagTable; ++i) table[i] = kNotEvaluated;
  for (int i = 2 * M; i < kLagTable; ++i) table[i] = kNotEvaluated;

  // Headroom for the correlation sums.
  auto headroom = [&](int16_t* v, int n, const int16_t* part, int pn) {
    if (pn < 1) return;
    const int32_t mx = Spl_MaxValueW16(part, pn);
    const int32_t mn = Spl_MinValueW16(part, pn);
    const int32_t peak = mx > -mn ? mx : -mn;
    int k = Spl_BitLength32(static_cast<uint32_t>(M)) - Spl_NormW32(peak * peak);
    if (k > 0) Spl_ShiftVectorW16(v, v, n, k);
  };
  if (M > 0) {
    headroom(a4, na, a4 + na - M, M);
    headroom(b4, nb, b4, M);
  }

  // Correlation over the 4-kHz lags.
  if (M >= minLag) CrossCorrelation(a4, na, b4, nb, minLag, M, table);
  int best = 1 + Spl_MaxValueIndexW32(table, kLagTable);

  // Refine at the full rate.
  if (best > 19 && best + 1 < (nA >> s) && static_cast<int64_t>(best + 1) * (s + 1) <= nB) {
    const int span = best << s;
    const int16_t mA = Spl_MaxValueW16(A + nA - ((best + 1) << s), span);
    const int16_t mB = Spl_MaxValueW16(B, span);
    int k = 6 - Spl_NormW32(static_cast<int32_t>(mA) * mB);
    if (k < 0 || static_cast<int32_t>(mA) * mB == 0) k = 0;
    int winner = best - 1;
    int32_t winnerValue = 0;
    for (int l = best - 1; l <= best + 1; ++l) {
      int32_t c = 0;
      for (int j = 0; j < l; ++j)
        c = Spl_AddWrapW32(c, (A[nA - (l << s) + j * (s + 1)] * static_cast<int32_t>(B[j * (s + 1)])) >> k);
      if (l == best - 1 || c > winnerValue) {
        winnerValue = c;
        winner = l;
      }
    }
    table[winner - 1] = Spl_AddSatW32(table[best - 1], 2);
    best = winner;
  }

  if (best > 120) best = 120;
  const int N8 = nA >> s;

  // The lag T and its score Z.
  int T = best;
  int32_t Z = ValueOf(table, best);
  if (hint >= 0) {
    const int h = hint;
    if (h >= 9 && h + 8 < N8) {
      if (Abs(best - h) <= 8) {
        Z = Scaled(ValueOf(table, best));
      } else {
        const int tp = BestIn(table, h - 8, h + 8);
        const int32_t zp = Scaled(ValueOf(table, tp));
        if (ValueOf(table, best) <= zp) {
          T = tp;
          Z = zp;
        }
      }
    } else {
      int dd = h < 9 ? 9 - h : N8 - h + 9;
      if (dd < 0) dd = 0;
      if (dd > 17) dd = 17;
      const int topLo = N8 - dd + 1;
      const int bottomHi = 17 - dd;
      const bool inWindow = (best >= topLo && best <= N8) || (best >= 1 && best <= bottomHi);
      if (!inWindow) {
        Z = ValueOf(table, best);
        if (dd > 0) {
          const int tp = BestIn(table, topLo, N8);
          if (Z <= Scaled(ValueOf(table, tp))) {
            T = tp;
            Z = Scaled(ValueOf(table, tp));
          }
        }
        if (bottomHi >= 1) {
          const int tp = BestIn(table, 1, bottomHi);
          if (Z <= Scaled(ValueOf(table, tp))) {
            T = tp;
            Z = Scaled(ValueOf(table, tp));
          }
        }
      } else {
        Z = Scaled(ValueOf(table, best));
      }
    }
  }

  // A quiet signal is cross-faded at its best long lag, whatever the threshold.
  if (activity == 0) {
    const int hi = N8 < 120 ? N8 : 120;
    int lo = hi - 30;
    if (lo < 1) lo = 1;
    if (hi >= lo) {
      const int l8 = BestIn(table, lo, hi);
      if (static_cast<int64_t>(Scaled(ValueOf(table, l8))) >= 2686321) {
        *outLen = Tidepool_CrossFade(out, nA, B, nB, out, Min3(l8 << s, nA, nB));
        p.lastOp = kOpQuietFade;
        return;
      }
    }
  }

  // Too little likeness: leave the pieces as they are.
  if (Z < threshold) {
    unchanged(kOpUnchanged);
    return;
  }

  if (hint >= 0) {
    // Merge.
    int period = nA;
    int overlap;
    if (Z < 0) {
      overlap = nA >> 1;
    } else {
      overlap = T << s;
      if (activity != 0 && nA + (3 << s) < nB)
        period = Tidepool_AutocorrPeakLag(B, nB, nA - (3 << s), nA + (3 << s), s);
    }
    if (activity == 1 && Abs(nA - period) > (2 << s)) {
      PitchAlignedJoin(inst, A, nA, B, nB, period, out, outLen);
    } else {
      *outLen = Tidepool_CrossFade(out, nA, B, nB, out, Min3(overlap, nA, nB));
    }
    p.lastOp = kOpStretched;
    return;
  }

  // Accelerate: remove one period when both pieces agree on it.
  const int T8 = T << s;
  const int pa = Tidepool_AutocorrPeakLag(A, nA, T8 - (3 << s), T8 + (3 << s), s);
  const int pb = Tidepool_AutocorrPeakLag(B, nB, T8 - (3 << s), T8 + (3 << s), s);
  if (Abs(pa - pb) > (2 << s)) {
    unchanged(kOpUnchanged);
    return;
  }
  *outLen = Tidepool_CrossFade(out, nA, B, nB, out, Min3(T8, nA, nB));
  p.lastOp = kOpStretched;
}

int Tidepool_Merge(TidepoolInst* inst, int16_t* a, int nA, const int16_t* b, int nB, int16_t* mute,
                   int32_t jump, int activity, int16_t* out) {
  PlayoutState& p = inst->playout;
  const int s = p.shift;
  if (nA < 1) {
    memmove(out, b, sizeof(int16_t) * static_cast<size_t>(nB));
    return nB;
  }
  // The packet's phase within the expansion period; unknown for a backward or very long jump.
  int32_t u = (jump >= 0 && jump < 3201) ? jump : (nA >> 1);
  while (u >= nA) u -= nA;
  int dHint = nA - u;

  static thread_local int16_t bb[kOutMax];
  memmove(bb, b, sizeof(int16_t) * static_cast<size_t>(nB));
  if (*mute != 16384) Tidepool_MuteRamp(bb, nB, mute);

  int nA2 = nA;
  if (dHint > nB - 5) {
    nA2 = u + (nB >> 1);
    if (nA2 > nA) nA2 = nA;
    dHint = nB >> 1;
  }
  const int part = 160 << s;
  int length = 0;
  if (nB > part) {
    Tidepool_TimeStretch(inst, a, nA2, bb, part, -32768, dHint, 1, activity, out, &length);
    memmove(out + length, bb + part, sizeof(int16_t) * static_cast<size_t>(nB - part));
    length += nB - part;
  } else {
    Tidepool_TimeStretch(inst, a, nA2, bb, nB, -32768, dHint, 1, activity, out, &length);
  }
  return length;
}

}  // namespace tidepool
