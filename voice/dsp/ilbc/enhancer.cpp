// iLBC decoder enhancer: pitch-synchronous smoothing of the excitation and the blend after a concealment.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/ilbc_tables.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int kBlock = 80;
constexpr int kHalfLength = 3;  // segments on either side of the current block
constexpr int16_t kSmoothWeights[7] = {4800, 16384, 27968, 0, 27968, 16384, 4800};
constexpr int64_t kAlpha0 = 819;  // 0.05 in Q14
// (alpha0 - alpha0^2 / 4) in Q34 and 1 - alpha0 / 2 in Q30.
constexpr int64_t kPowerConstraint = 848256041;
constexpr int64_t kOneMinusHalfAlpha = 1046898278;
// Below this (Q16, about 0.0001) the surround and the block are too alike for the constraint.
constexpr int64_t kMinDenominator = 8;

int nearest(const int16_t* locs, int32_t pos, int n) {
  int best = 0;
  int64_t bestD = INT64_MAX;
  for (int i = 0; i < n; ++i) {
    const int64_t d = int64_t{locs[i]} - pos;
    if (d * d < bestD) {
      bestD = d * d;
      best = i;
    }
  }
  return best;
}

int16_t bufferAt(const int16_t* buf, int len, int i) { return i >= 0 && i < len ? buf[i] : int16_t{0}; }

// Places one segment near `estimate` (Q2) to a quarter sample by the upsampled correlation with the
// current block, and reads it through the polyphase filter of its fraction.
int32_t refine(int16_t* seg, const int16_t* buf, int len, int centerStart, int32_t estimate) {
  int lo = ((estimate + 2) >> 2) - 2;
  int hi = lo + 4;
  if (lo < 0) lo = 0;
  if (hi > len - kBlock - 1) hi = len - kBlock - 1;
  if (hi < lo) hi = lo;
  const int n = hi - lo + 1;
  // Correlations with a shift that keeps the 80 products inside 31 bits, then brought to 16 bits
  // for the upsampling.
  const int16_t* cur = buf + centerStart;
  int16_t peak = Spl_MaxAbsValueW16(cur, kBlock);
  const int16_t around = Spl_MaxAbsValueW16(buf + lo, n - 1 + kBlock);
  if (around > peak) peak = around;
  int shift = 2 * Spl_BitLength32(static_cast<uint32_t>(peak)) + Spl_BitLength32(kBlock) - 31;
  if (shift < 0) shift = 0;
  int32_t corr[5];
  int32_t largest = 0;
  for (int k = 0; k < n; ++k) {
    corr[k] = Spl_DotProductShift(cur, buf + lo + k, kBlock, shift);
    const int32_t m = corr[k] < 0 ? -corr[k] : corr[k];
    if (m > largest) largest = m;
  }
  int down = Spl_BitLength32(static_cast<uint32_t>(largest)) - 15;
  if (down < 0) down = 0;
  int16_t corr16[5];
  for (int k = 0; k < n; ++k) corr16[k] = static_cast<int16_t>(corr[k] >> down);
  int best = 0;
  int32_t bestV = INT32_MIN;
  for (int u = 0; u <= 4 * (n - 1); ++u) {
    const int k = u >> 2;
    const int f = u & 3;
    int32_t v = 0;
    for (int j = 0; j < 7; ++j) {
      const int idx = k + 3 - j;
      if (idx >= 0 && idx < n) v += Spl_MulW16(corr16[idx], kIlbcPolyphase[7 * f + j]);
    }
    if (v > bestV) {
      bestV = v;
      best = u;
    }
  }
  const int base = lo + (best >> 2);
  const int f = best & 3;
  for (int i = 0; i < kBlock; ++i) {
    int64_t s = 0;
    for (int j = 0; j < 7; ++j) s += int64_t{kIlbcPolyphase[7 * f + j]} * bufferAt(buf, len, base + i + 3 - j);
    seg[i] = Spl_SatW16((s + 2048) >> 12);
  }
  return 4 * lo + best;
}

}  // namespace

void Ilbc_Smooth(int16_t* out, const int16_t* cur, const int16_t* sur) {
  // Energies with one shift for all three; a block whose sums would still pass 31 bits (80 samples
  // all near full scale) takes one more.
  int16_t peak = Spl_MaxAbsValueW16(cur, kBlock);
  const int16_t surPeak = Spl_MaxAbsValueW16(sur, kBlock);
  if (surPeak > peak) peak = surPeak;
  int shift = 2 * Spl_BitLength32(static_cast<uint32_t>(peak)) - 26;
  if (shift < 0) shift = 0;
  int32_t w00, w11, w10;
  for (;; ++shift) {
    int64_t e00 = 0, e11 = 0, e10 = 0;
    for (int i = 0; i < kBlock; ++i) {
      e00 += Spl_MulW16(cur[i], cur[i]) >> shift;
      e11 += Spl_MulW16(sur[i], sur[i]) >> shift;
      e10 += Spl_MulW16(sur[i], cur[i]) >> shift;
    }
    if (e00 <= INT32_MAX && e11 <= INT32_MAX && e10 <= INT32_MAX && e10 >= INT32_MIN) {
      w00 = static_cast<int32_t>(e00);
      w11 = static_cast<int32_t>(e11);
      w10 = static_cast<int32_t>(e10);
      break;
    }
  }

  // Matched energy first: out = C x surround, C = sqrt(w00 / w11) in Q11 from the jointly
  // normalised energies; a surround of (almost) no energy gives C = 1.
  const int norm = Spl_NormW32(w00 > w11 ? w00 : w11);
  const int32_t w00n = (w00 << norm) >> 16;
  const int32_t w11n = (w11 << norm) >> 16;
  int32_t c = 1;
  if (w11n >= 65) c = Spl_SqrtW32(((w00n << 6) / w11n) << 16);
  int32_t err = 0;
  for (int i = 0; i < kBlock; ++i) {
    out[i] = Spl_SatW16((c * sur[i] + 1024) >> 11);
    const int32_t d = (int32_t{cur[i]} - out[i]) >> 3;
    err = Spl_AddSatW32(err, d * d);
  }
  // The error counts (x >> 3)^2, the energies x^2 >> shift: alpha0 x w00 on the error's scale.
  const int64_t scaled = (int64_t{w00} * kAlpha0) >> 14;
  const int64_t limit = shift >= 6 ? scaled << (shift - 6) : scaled >> (6 - shift);
  if (err <= limit) return;

  // Too far from the current block: the power-constrained mix A x surround + B x current.
  int32_t a = 0;
  int32_t b = 16384;
  if (w00 > 0 && w10 > 0) {
    // (w11 w00 - w10^2) / w00^2 = w11 / w00 - (w10 / w00)^2, in Q16.
    const int64_t r11 = (int64_t{w11} << 16) / w00;
    const int64_t r10 = (int64_t{w10} << 16) / w00;
    const int64_t denominator = r11 - ((r10 * r10) >> 16);
    if (denominator >= kMinDenominator) {
      const int64_t quotient = kPowerConstraint / denominator;
      a = Spl_SqrtW32(static_cast<int32_t>(quotient > INT32_MAX ? INT32_MAX : quotient));  // Q9
      const int64_t product = int64_t{a} * ((int64_t{w10} << 21) / w00);                   // Q30
      b = product > INT32_MAX ? 0 : static_cast<int32_t>((kOneMinusHalfAlpha - product) >> 16);
    }
  }
  for (int i = 0; i < kBlock; ++i)
    out[i] = Spl_SatW16((int64_t{sur[i]} * a >> 9) + (int64_t{cur[i]} * b >> 14));
}

namespace {

}  // namespace

int Ilbc_DownSample(const int16_t* in, int inLength, int16_t* out, int outLength, const int16_t* filter,
                    int filterLength, int factor, int delay) {
  if (outLength < 1 || factor * (outLength - 1) >= inLength) return -1;
  for (int i = 0; i < outLength; ++i) {
    int64_t s = 0;
    for (int j = 0; j < filterLength; ++j) {
      const int idx = factor * i + delay - j;
      if (idx < inLength) s += int64_t{filter[j]} * in[idx];  // future samples count as zero
    }
    out[i] = Spl_SatW16((s + 2048) >> 12);
  }
  return 0;
}

void Ilbc_EnhanceBlock(int16_t* out, const int16_t* buffer, int bufferLength, int blockStart,
                       const int16_t* period, const int16_t* plocs, int history) {
  int16_t seg[2 * kHalfLength + 1][kBlock];
  bool valid[2 * kHalfLength + 1] = {};
  int32_t start[2 * kHalfLength + 1];
  int lagBlock[2 * kHalfLength + 1];

  start[kHalfLength] = 4 * blockStart;
  std::memcpy(seg[kHalfLength], buffer + blockStart, sizeof(int16_t) * kBlock);
  valid[kHalfLength] = true;
  lagBlock[kHalfLength] = nearest(plocs, 4 * blockStart + 158, history);

  for (int q = kHalfLength - 1; q >= 0; --q) {
    start[q] = start[q + 1] - period[lagBlock[q + 1]];
    lagBlock[q] = nearest(plocs, start[q] + 158, history);
    if (start[q] - 8 >= 0) {
      start[q] = refine(seg[q], buffer, bufferLength, blockStart, start[q]);
      valid[q] = true;
    }
  }
  int16_t plocs2[8];
  for (int i = 0; i < history && i < 8; ++i) plocs2[i] = static_cast<int16_t>(plocs[i] - period[i]);
  for (int q = kHalfLength + 1; q <= 2 * kHalfLength; ++q) {
    lagBlock[q] = nearest(plocs2, start[q - 1] + 158, history);
    start[q] = start[q - 1] + period[lagBlock[q]];
    if (start[q] + 4 * kBlock + 8 < 4 * bufferLength) {
      start[q] = refine(seg[q], buffer, bufferLength, blockStart, start[q]);
      valid[q] = true;
    }
  }
  // The surround: the segments around the block weighted by their distance from it.
  // The weights add up to about 3 in Q15, so full-scale segments pass 32 bits: sum wider, then saturate.
  int64_t acc[kBlock] = {};
  for (int q = 0; q < 2 * kHalfLength + 1; ++q)
    if (valid[q] && q != kHalfLength)
      for (int i = 0; i < kBlock; ++i) acc[i] += Spl_MulW16(kSmoothWeights[q], seg[q][i]);
  int16_t sur[kBlock];
  for (int i = 0; i < kBlock; ++i)
    sur[i] = static_cast<int16_t>(std::clamp<int64_t>(acc[i] >> 15, INT16_MIN, INT16_MAX));
  Ilbc_Smooth(out, seg[kHalfLength], sur);
}

int Ilbc_Enhance(int16_t* out, const int16_t* excitation, IlbcDecoder* dec) {
  const int bl = dec->c.blockLength;
  const int nNew = bl / kBlock;  // 2 or 3 new enhancement blocks
  int16_t* buf = dec->enhBuffer;
  std::memmove(buf, buf + bl, sizeof(int16_t) * static_cast<size_t>(kIlbcEnhBufLength - bl));
  std::memcpy(buf + kIlbcEnhBufLength - bl, excitation, sizeof(int16_t) * static_cast<size_t>(bl));
  std::memmove(dec->enhPeriod, dec->enhPeriod + nNew, sizeof(int16_t) * static_cast<size_t>(8 - nNew));

  // Pitch of each new block on the signal downsampled by 2.
  const int regionLength = bl + 120;
  int16_t ds[180];
  Ilbc_DownSample(buf + kIlbcEnhBufLength - regionLength, regionLength, ds, regionLength / 2, kIlbcLpFilt, 7, 2, 3);
  int lastLag = 40;
  for (int ib = 0; ib < nNew; ++ib) {
    const int16_t* blk = ds + 60 + 40 * ib;
    const int16_t m = Spl_MaxAbsValueW16(blk - 59, 99);
    int s = Spl_BitLength32(static_cast<uint32_t>(int32_t{m} * m)) - 25;
    if (s < 0) s = 0;
    int32_t cc[50];
    for (int l = 10; l < 60; ++l) cc[l - 10] = Spl_DotProductShift(blk, blk - l, 40, s);
    int cand[3];
    int32_t work[50];
    std::memcpy(work, cc, sizeof(work));
    for (int pass = 0; pass < 3; ++pass) {
      cand[pass] = Spl_MaxValueIndexW32(work, 50);
      for (int k = cand[pass] - 2; k <= cand[pass] + 2; ++k)
        if (k >= 0 && k < 50) work[k] = INT32_MIN;
    }
    // The largest C^2 / E wins, compared as a normalised mantissa with its exponent.
    int best = cand[0];
    bool periodic = false;
    int32_t bestMantissa = 0;
    int bestExponent = 0;
    for (int k = 0; k < 3; ++k) {
      const int l = cand[k] + 10;
      const int32_t e = Spl_DotProductShift(blk - l, blk - l, 40, s);
      const int32_t c = cc[cand[k]];
      if (c <= 0 || e <= 0) continue;
      const int nc = Spl_NormW32(c);
      const int ne = Spl_NormW32(e);
      const int32_t cm = (c << nc) >> 16;  // 16384..32767
      const int32_t em = (e << ne) >> 16;
      int32_t ratio = (cm * cm) / em;      // C^2 / E = ratio x 2^exponent
      int exponent = 2 * (16 - nc) - (16 - ne);
      const int nr = Spl_NormW32(ratio);
      ratio <<= nr;
      exponent -= nr;
      if (!periodic || exponent > bestExponent || (exponent == bestExponent && ratio > bestMantissa)) {
        best = cand[k];
        bestMantissa = ratio;
        bestExponent = exponent;
        periodic = true;
      }
    }
    const int slot = 8 - nNew + ib;
    if (periodic) {
      dec->enhPeriod[slot] = static_cast<int16_t>(8 * (best + 10));
    } else {
      dec->enhPeriod[slot] = dec->enhPeriod[slot - 1];  // nothing periodic: keep the last period
    }
    lastLag = dec->enhPeriod[slot] >> 2;
  }

  if (dec->prevConcealed) {
    // The old lookahead was concealed: blend it with a backward prediction from the new block.
    const int lb = dec->c.mode == 30 ? 80 : 40;
    const int inLag = dec->enhPeriod[8 - nNew] >> 2;
    const int shift = Spl_MaxAbsValueW16(excitation, bl) >= 5001 ? 2 : 0;
    int lag = inLag - 1;
    int32_t bestC = 0;
    for (int l = inLag - 1; l <= inLag + 1; ++l) {
      const int32_t c = Spl_DotProductShift(excitation, excitation + l, lb, shift);
      if (l == inLag - 1 || c > bestC) {
        bestC = c;
        lag = l;
      }
    }
    dec->enhPeriod[8 - nNew - 1] = static_cast<int16_t>(4 * lag);
    int16_t pred[80];
    const int oldEnd = kIlbcEnhBufLength - bl;  // first sample of the new block
    const int fromNew = lag > lb ? lb : lag;
    for (int k = 0; k < fromNew; ++k) pred[lb - 1 - k] = excitation[lag - 1 - k];
    for (int k = 0; k < lb - lag; ++k) pred[lb - 1 - lag - k] = buf[oldEnd - 1 - k];
    int16_t peak = Spl_MaxAbsValueW16(pred, lb);
    const int16_t bufPeak = Spl_MaxAbsValueW16(buf + oldEnd - lb, lb);
    if (bufPeak > peak) peak = bufPeak;
    int eshift = 19 - Spl_NormW32(peak);
    if (eshift < 0) eshift = 0;
    const int32_t ep = Spl_DotProductShift(pred, pred, lb, eshift);
    const int32_t eb = Spl_DotProductShift(buf + oldEnd - lb, buf + oldEnd - lb, lb, eshift);
    if (ep > 0 && ep / 4 > eb) {
      // g = 2 sqrt(eb / ep) in Q14, from the ratio in Q14 of the normalised energies.
      const int norm = Spl_NormW32(ep);
      const int32_t den = (ep << norm) >> 14;
      const int32_t ratio = den > 0 ? (eb << norm) / den : 0;
      const int32_t g = Spl_SqrtW32(ratio << 16);
      for (int i = 0; i < lb - 16; ++i) pred[i] = static_cast<int16_t>((pred[i] * g) >> 14);
      for (int i = lb - 16; i < lb; ++i) {
        const int32_t f = g + ((16384 - g) * (i - (lb - 16))) / 16;
        pred[i] = static_cast<int16_t>((pred[i] * f) >> 14);
      }
    }
    const int32_t step = lb == 80 ? 202 : 400;
    for (int i = 0; i < lb; ++i) {
      const int idx = oldEnd - 1 - i;
      const int32_t w = (i + 1) * step;
      buf[idx] = static_cast<int16_t>(((int32_t{buf[idx]} * w) >> 14) + ((int32_t{pred[lb - 1 - i]} * (16384 - w)) >> 14));
    }
    lastLag = lag;
  }

  const int first = dec->c.mode == 30 ? 320 : 440;
  for (int ib = 0; ib < nNew; ++ib)
    Ilbc_EnhanceBlock(out + kBlock * ib, buf, kIlbcEnhBufLength, first + kBlock * ib, dec->enhPeriod,
                      kIlbcEnhPlocs, 8);
  return lastLag;
}
