// iLBC linear prediction: order-10 filters, LPC analysis, LSF conversion, quantisation and interpolation.
#include <cstdlib>
#include <cstring>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/ilbc_tables.h"
#include "voice/dsp/spl.h"

namespace {

// Limits a filter sum so that the rounded Q12 result always fits 16 bits.
int32_t satFilter(int64_t v) {
  if (v < -134217728) return -134217728;
  if (v > 134215679) return 134215679;
  return static_cast<int32_t>(v);
}

// Mean LSF vector in the cosine domain (Q15), used when the root search fails.
constexpr int16_t kMeanCos[10] = {31476, 29565, 25819, 18725, 10276, 1236, -9049, -17600, -25884, -30618};

// Chebyshev series sum c0/2-style evaluation of an order-5 symmetric polynomial at x (Q15).
// f holds the 6 half-polynomial coefficients (Q10); the result is scaled to 16 bits by the caller's shift.
int64_t chebyshev(int64_t x, const int32_t* f) {
  // Clenshaw on T-series: value = f0 T5 + f1 T4 + f2 T3 + f3 T2 + f4 T1 + f5 / 2, in Q25.
  int64_t b1 = 0;
  int64_t b2 = 0;
  for (int k = 0; k < 5; ++k) {
    const int64_t b0 = (int64_t{f[k]} << 15) + ((2 * x * b1) >> 15) - b2;
    b2 = b1;
    b1 = b0;
  }
  return (int64_t{f[5]} << 14) + ((x * b1) >> 15) - b2;
}

int sign(int64_t v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

// Cosine-domain roots (from the tenth to the first) to LSF in Q13, through the inverse of the cosine table.
void CosinesToLsf(const int16_t* cosines, int16_t* lsf) {
  for (int i = 9; i >= 0; --i) {
    int k = 63;
    while (k > 0 && kIlbcCos[k] < cosines[i]) --k;
    const int32_t diff = int32_t{cosines[i]} - kIlbcCos[k];
    int32_t v = ((int32_t{kIlbcAcosSlope[k]} * diff) >> 11) + (k << 9);
    if (v < 0) v = 0;
    if (v > 32767) v = 32767;
    lsf[i] = static_cast<int16_t>((v * 3217) >> 12);
  }
}

}  // namespace

void Ilbc_AnalysisFilter(const int16_t* in, const int16_t* a, int16_t* out, int n) {
  for (int i = 0; i < n; ++i) {
    int64_t s = 0;
    for (int j = 0; j <= kIlbcOrder; ++j) s += int64_t{a[j]} * in[i - j];
    out[i] = static_cast<int16_t>((satFilter(s) + 2048) >> 12);
  }
}

void Ilbc_SynthesisFilter(const int16_t* in, int16_t* out, const int16_t* a, int len, int n) {
  for (int i = 0; i < n; ++i) {
    int64_t s = int64_t{a[0]} * in[i];
    for (int j = 1; j < len; ++j) s -= int64_t{a[j]} * out[i - j];
    out[i] = static_cast<int16_t>((satFilter(s) + 2048) >> 12);
  }
}

void Ilbc_ExpandBandwidth(int16_t* out, const int16_t* in, const int16_t* chirp, int n) {
  out[0] = in[0];
  for (int i = 1; i < n; ++i) out[i] = static_cast<int16_t>((int32_t{in[i]} * chirp[i] + 16384) >> 15);
}

void Ilbc_InterpolateLsf(int16_t* out, const int16_t* a, const int16_t* b, int16_t weight, int n) {
  for (int i = 0; i < n; ++i)
    out[i] = static_cast<int16_t>((int32_t{a[i]} * weight + int32_t{b[i]} * (16384 - weight) + 8192) >> 14);
}

void Ilbc_LpcAnalysis(int16_t* lsf, const int16_t* block, IlbcEncoder* enc) {
  const int bl = enc->c.blockLength;
  std::memcpy(enc->lpcBuffer + 300 - bl, block, sizeof(int16_t) * static_cast<size_t>(bl));
  for (int k = 0; k < enc->c.lpcAnalyses; ++k) {
    int16_t windowed[240];
    if (k < enc->c.lpcAnalyses - 1) {
      Spl_MulVectorsShift(windowed, enc->lpcBuffer, kIlbcLpcWin, 240, 15);
    } else {
      Spl_MulVectorsShift(windowed, enc->lpcBuffer + 60, kIlbcLpcAsymWin, 240, 15);
    }
    int32_t r[kIlbcLpcLen];
    int scale = 0;
    Spl_AutoCorrScaled(windowed, 240, kIlbcOrder, r, &scale);
    // Lag window (Q31) on the normalised correlation, in split 16-bit precision (the low halves
    // taken as 15 bits), then back to the correlation's own scale.
    const int norm = Spl_NormW32(r[0]);
    for (int i = 0; i < kIlbcLpcLen; ++i) {
      const int32_t x = Spl_ShlWrapW32(r[i], norm);
      const int32_t w = kIlbcLpcLagWin[i];
      const int32_t xh = x >> 16, xl = (x & 0xffff) >> 1;
      const int32_t wh = w >> 16, wl = (w & 0xffff) >> 1;
      const int32_t y = xh * wh * 2 + ((xh * wl) >> 14) + ((xl * wh) >> 14);
      r[i] = y >> norm;
    }
    int16_t a[kIlbcLpcLen];
    int16_t refl[kIlbcOrder];
    if (r[0] <= 0 || Spl_LevinsonDurbin(r, a, refl, kIlbcOrder) != 1) {
      // No spectrum to describe: the flat polynomial, whose line spectrum the root search does not
      // bracket, gives the mean LSF vector.
      CosinesToLsf(kMeanCos, lsf + k * kIlbcOrder);
      continue;
    }
    int16_t expanded[kIlbcLpcLen];
    Ilbc_ExpandBandwidth(expanded, a, kIlbcChirpSynt, kIlbcLpcLen);
    Ilbc_PolyToLsf(lsf + k * kIlbcOrder, expanded);
  }
  std::memmove(enc->lpcBuffer, enc->lpcBuffer + bl, sizeof(int16_t) * static_cast<size_t>(300 - bl));
}

void Ilbc_PolyToLsf(int16_t* lsf, const int16_t* a) {
  // Symmetric (p) and antisymmetric (q) half polynomials with the trivial roots removed (Q10).
  int32_t f[2][6];
  f[0][0] = f[1][0] = 1024;
  for (int i = 1; i <= 5; ++i) {
    f[0][i] = ((int32_t{a[i]} + a[11 - i]) >> 2) - f[0][i - 1];
    f[1][i] = ((int32_t{a[i]} - a[11 - i]) >> 2) + f[1][i - 1];
  }
  int16_t cosines[10];
  int found = 0;
  int poly = 0;
  int64_t xLow = kIlbcLsfGrid[0];
  int64_t yLow = chebyshev(xLow, f[poly]);
  int j = 1;
  while (j < 60 && found < 10) {
    const int64_t xHigh = kIlbcLsfGrid[j];
    const int64_t yHigh = chebyshev(xHigh, f[poly]);
    if (sign(yLow) * sign(yHigh) > 0) {
      xLow = xHigh;
      yLow = yHigh;
      ++j;
      continue;
    }
    // Root between xLow and xHigh: 4 bisections, then linear interpolation.
    int64_t lo = xLow;
    int64_t hi = xHigh;
    int64_t ylo = yLow;
    int64_t yhi = yHigh;
    for (int b = 0; b < 4; ++b) {
      const int64_t mid = (lo >> 1) + (hi >> 1);
      const int64_t ymid = chebyshev(mid, f[poly]);
      if (sign(ylo) * sign(ymid) <= 0) {
        hi = mid;
        yhi = ymid;
      } else {
        lo = mid;
        ylo = ymid;
      }
    }
    int64_t x = lo;
    if (yhi != ylo) x = lo - ylo * (hi - lo) / (yhi - ylo);
    if (x > lo) x = lo;
    if (x < hi) x = hi;
    cosines[found++] = static_cast<int16_t>(x);
    // The roots of the two polynomials alternate: continue from this root on the other one.
    poly ^= 1;
    xLow = x;
    yLow = chebyshev(xLow, f[poly]);
    if (x <= xHigh) ++j;
  }
  if (found < 10) std::memcpy(cosines, kMeanCos, sizeof(cosines));
  CosinesToLsf(cosines, lsf);
}

void Ilbc_LsfToPoly(int16_t* a, const int16_t* lsf) {
  int16_t cosv[10];
  for (int i = 0; i < 10; ++i) {
    int32_t t = (int32_t{lsf[i] < 0 ? int16_t{0} : lsf[i]} * 20861) >> 15;
    int k = t >> 8;
    if (k > 63) k = 63;
    cosv[i] = Spl_SatW16(int32_t{kIlbcCos[k]} + ((int32_t{kIlbcCosSlope[k]} * (t & 255)) >> 12));
  }
  // Product polynomials (Q24) of the even- and odd-numbered cosines; both are symmetric of order 10,
  // so only their first 6 coefficients are kept. Each factor's cos x f is formed in split precision
  // (high half times cos, plus the low half's product shifted down), the coefficients held in 64 bits
  // so that none wraps.
  auto cosTimes = [](int64_t cv, int64_t fv) { return 4 * ((fv >> 16) * cv + (((fv & 0xffff) * cv) >> 16)); };
  int64_t f[2][6];
  for (int s = 0; s < 2; ++s) {
    f[s][0] = int64_t{1} << 24;
    for (int j = 1; j < 6; ++j) f[s][j] = 0;
    for (int m = 0; m < 5; ++m) {
      const int64_t cv = cosv[s + 2 * m];
      for (int j = 5; j >= 2; --j) f[s][j] += f[s][j - 2] - cosTimes(cv, f[s][j - 1]);
      f[s][1] -= cosTimes(cv, f[s][0]);
    }
  }
  for (int i = 5; i >= 1; --i) {
    f[0][i] += f[0][i - 1];
    f[1][i] -= f[1][i - 1];
  }
  a[0] = 4096;
  for (int i = 1; i <= 5; ++i) {
    a[i] = Spl_SatW16((f[0][i] + f[1][i] + 4096) >> 13);
    a[11 - i] = Spl_SatW16((f[0][i] - f[1][i] + 4096) >> 13);
  }
}

void Ilbc_QuantizeLsf(int16_t* lsfDeq, int16_t* index, const int16_t* lsf, int vectors) {
  static constexpr int kDim[3] = {3, 3, 4};
  static constexpr int kSize[3] = {64, 128, 128};
  for (int v = 0; v < vectors; ++v) {
    const int16_t* x = lsf + 10 * v;
    int16_t* y = lsfDeq + 10 * v;
    const int16_t* cb = kIlbcLsfCb;
    int off = 0;
    for (int s = 0; s < 3; ++s) {
      int best = 0;
      int64_t bestErr = INT64_MAX;
      for (int e = 0; e < kSize[s]; ++e) {
        int64_t err = 0;
        for (int d = 0; d < kDim[s]; ++d) {
          const int64_t diff = int64_t{x[off + d]} - cb[e * kDim[s] + d];
          err += diff * diff;
        }
        if (err < bestErr) {
          bestErr = err;
          best = e;
        }
      }
      index[3 * v + s] = static_cast<int16_t>(best);
      for (int d = 0; d < kDim[s]; ++d) y[off + d] = cb[best * kDim[s] + d];
      cb += kSize[s] * kDim[s];
      off += kDim[s];
    }
  }
}

void Ilbc_DequantizeLsf(int16_t* lsfDeq, const int16_t* index, int vectors) {
  static constexpr int kDim[3] = {3, 3, 4};
  static constexpr int kSize[3] = {64, 128, 128};
  for (int v = 0; v < vectors; ++v) {
    const int16_t* cb = kIlbcLsfCb;
    int off = 0;
    for (int s = 0; s < 3; ++s) {
      int idx = index[3 * v + s];
      if (idx < 0) idx = 0;
      if (idx >= kSize[s]) idx = kSize[s] - 1;
      for (int d = 0; d < kDim[s]; ++d) lsfDeq[10 * v + off + d] = cb[idx * kDim[s] + d];
      cb += kSize[s] * kDim[s];
      off += kDim[s];
    }
  }
}

int Ilbc_CheckLsf(int16_t* lsf, int dim, int vectors) {
  constexpr int16_t kEps = 319;
  constexpr int16_t kEps2 = 160;
  constexpr int16_t kMin = 82;
  constexpr int16_t kMax = 25723;
  int changed = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (int v = 0; v < vectors; ++v) {
      int16_t* x = lsf + v * dim;
      for (int k = 0; k < dim - 1; ++k) {
        if (int32_t{x[k + 1]} - x[k] < kEps) {
          if (x[k + 1] < x[k]) {
            x[k + 1] = Spl_SatW16(int32_t{x[k]} + kEps2);
          } else {
            x[k] = Spl_SatW16(int32_t{x[k]} - kEps2);
            x[k + 1] = Spl_SatW16(int32_t{x[k + 1]} + kEps2);
          }
          changed = 1;
        }
        if (x[k] < kMin) {
          x[k] = kMin;
          changed = 1;
        } else if (x[k] > kMax) {
          x[k] = kMax;
          changed = 1;
        }
      }
    }
  }
  return changed;
}

void Ilbc_EncoderInterpolate(int16_t* synt, int16_t* weight, const int16_t* lsf, const int16_t* lsfDeq,
                             IlbcEncoder* enc) {
  int16_t lsfI[10];
  int16_t lp[kIlbcLpcLen];
  auto one = [&](int sub, const int16_t* a, const int16_t* b, const int16_t* aq, const int16_t* bq, int16_t w) {
    Ilbc_InterpolateLsf(lsfI, aq, bq, w, 10);
    Ilbc_LsfToPoly(synt + sub * kIlbcLpcLen, lsfI);
    Ilbc_InterpolateLsf(lsfI, a, b, w, 10);
    Ilbc_LsfToPoly(lp, lsfI);
    Ilbc_ExpandBandwidth(weight + sub * kIlbcLpcLen, lp, kIlbcChirpWeight, kIlbcLpcLen);
  };
  if (enc->c.mode == 30) {
    one(0, enc->lsfOld, lsf, enc->lsfDeqOld, lsfDeq, kIlbcLsfWeight30[0]);
    for (int i = 1; i < 6; ++i) one(i, lsf, lsf + 10, lsfDeq, lsfDeq + 10, kIlbcLsfWeight30[i]);
    std::memcpy(enc->lsfOld, lsf + 10, sizeof(enc->lsfOld));
    std::memcpy(enc->lsfDeqOld, lsfDeq + 10, sizeof(enc->lsfDeqOld));
  } else {
    for (int i = 0; i < 4; ++i) one(i, enc->lsfOld, lsf, enc->lsfDeqOld, lsfDeq, kIlbcLsfWeight20[i]);
    std::memcpy(enc->lsfOld, lsf, sizeof(enc->lsfOld));
    std::memcpy(enc->lsfDeqOld, lsfDeq, sizeof(enc->lsfDeqOld));
  }
}

void Ilbc_DecoderInterpolate(int16_t* synt, const int16_t* lsfDeq, IlbcDecoder* dec) {
  // The synthesis polynomials are those of the quantised LSF as the encoder uses them: the
  // bandwidth expansion already happened before quantisation.
  int16_t lsfI[10];
  if (dec->c.mode == 30) {
    Ilbc_InterpolateLsf(lsfI, dec->lsfDeqOld, lsfDeq, kIlbcLsfWeight30[0], 10);
    Ilbc_LsfToPoly(synt, lsfI);
    for (int i = 1; i < 6; ++i) {
      Ilbc_InterpolateLsf(lsfI, lsfDeq, lsfDeq + 10, kIlbcLsfWeight30[i], 10);
      Ilbc_LsfToPoly(synt + i * kIlbcLpcLen, lsfI);
    }
    std::memcpy(dec->lsfDeqOld, lsfDeq + 10, sizeof(dec->lsfDeqOld));
  } else {
    for (int i = 0; i < 4; ++i) {
      Ilbc_InterpolateLsf(lsfI, dec->lsfDeqOld, lsfDeq, kIlbcLsfWeight20[i], 10);
      Ilbc_LsfToPoly(synt + i * kIlbcLpcLen, lsfI);
    }
    std::memcpy(dec->lsfDeqOld, lsfDeq, sizeof(dec->lsfDeqOld));
  }
}
