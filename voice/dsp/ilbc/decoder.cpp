// iLBC block decoder: frame validation, excitation decoding or concealment, enhancer, synthesis, output filter.
#include <cstring>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/spl.h"

namespace {
constexpr int16_t kHpOutZeros[3] = {3849, -7699, 3849};
constexpr int16_t kHpOutPoles[2] = {7918, -3833};
}  // namespace

int Ilbc_EstimateLag(const int16_t* target, const int16_t* signal, int length, int lags, int firstLag) {
  (void)signal;
  int m = 0;
  for (int i = -(firstLag + lags - 1); i < length; ++i) {
    const int a = target[i] < 0 ? -target[i] : target[i];
    if (a > m) m = a;
  }
  const int shift = m >= 5001 ? 2 : 0;
  // Correlation and energy each normalised to 16 bits; a candidate wins when C^2 / E is larger,
  // compared as (C^2 >> 16) x E_best against C_best^2 x E with the exponents aligned.
  int best = 0;
  int32_t bestCc = 0;
  int32_t bestE = 1;
  int bestExp = 0;
  bool have = false;
  for (int k = 0; k < lags; ++k) {
    const int16_t* cand = target - (firstLag + k);
    const int32_t c = Spl_DotProductShift(target, cand, length, shift);
    const int32_t e = Spl_DotProductShift(cand, cand, length, shift);
    if (c <= 0 || e <= 0) continue;
    const int zc = Spl_NormW32(c) - 16;
    const int ze = Spl_NormW32(e) - 16;
    const int32_t cn = zc >= 0 ? c << zc : c >> -zc;
    const int32_t en = ze >= 0 ? e << ze : e >> -ze;
    const int32_t cc = static_cast<int32_t>((int64_t{cn} * cn) >> 16);
    const int exponent = ze - 2 * zc;  // C^2 / E = cc / en x 2^(exponent + 16)
    bool wins = !have;
    if (have) {
      int s1 = 0, s2 = 0;
      if (exponent >= bestExp)
        s2 = exponent - bestExp;
      else
        s1 = bestExp - exponent;
      if (s1 > 31) s1 = 31;
      if (s2 > 31) s2 = 31;
      wins = ((int64_t{cc} * bestE) >> s1) > ((int64_t{bestCc} * en) >> s2);
    }
    if (wins) {
      have = true;
      best = k;
      bestCc = cc;
      bestE = en;
      bestExp = exponent;
    }
  }
  return best + firstLag;
}

void Ilbc_DecodeBlock(int16_t* out, const uint8_t* frame, IlbcDecoder* dec, int mode, int16_t* excitationOut) {
  const IlbcFrameConstants* c = &dec->c;
  const int bl = c->blockLength;
  const int nsub = c->subBlocks;
  IlbcFrameParams p;
  int16_t synt[6 * kIlbcLpcLen];
  int16_t exc[240];

  if (mode == 1) {
    if (frame == nullptr) {
      mode = 0;
    } else {
      const int last = Ilbc_UnpackFrame(frame, &p, c->mode);
      const int maxStart = c->mode == 30 ? 5 : 3;
      if (last != 0 || p.start < 1 || p.start > maxStart) mode = 0;
    }
  }
  if (mode == 1) {
    Ilbc_ConvertIndexDec(p.cbIndex + kIlbcStages);
    int16_t lsfDeq[20];
    Ilbc_DequantizeLsf(lsfDeq, p.lsf, c->lpcAnalyses);
    Ilbc_CheckLsf(lsfDeq, 10, c->lpcAnalyses);
    Ilbc_DecoderInterpolate(synt, lsfDeq, dec);
    int16_t decoded[240];
    Ilbc_DecodeResidual(c, &p, decoded, synt);
    int16_t lpc[kIlbcLpcLen];
    Ilbc_ConcealBlock(exc, lpc, 0, decoded, synt + (nsub - 1) * kIlbcLpcLen, dec->lastLag, dec);
  } else {
    int16_t lpc[kIlbcLpcLen];
    Ilbc_ConcealBlock(exc, lpc, 1, nullptr, nullptr, dec->lastLag, dec);
    for (int i = 0; i < nsub; ++i) std::memcpy(synt + i * kIlbcLpcLen, lpc, sizeof(lpc));
  }
  if (excitationOut) std::memcpy(excitationOut, exc, sizeof(int16_t) * static_cast<size_t>(bl));

  int16_t data[kIlbcOrder + 240];
  std::memcpy(data, dec->synthMemory, sizeof(dec->synthMemory));
  int16_t* y = data + kIlbcOrder;
  if (dec->enhancer) {
    int16_t enh[240];
    dec->lastLag = static_cast<int16_t>(Ilbc_Enhance(enh, exc, dec));
    // The enhancer delays the block by one sub-block (20 ms) or two (30 ms): so do the polynomials.
    const int delay = c->mode == 30 ? 2 : 1;
    for (int i = 0; i < nsub; ++i) {
      const int16_t* a = i < delay ? dec->oldLpc + (nsub - delay + i) * kIlbcLpcLen : synt + (i - delay) * kIlbcLpcLen;
      Ilbc_SynthesisFilter(enh + i * kIlbcSubLength, y + i * kIlbcSubLength, a, kIlbcLpcLen, kIlbcSubLength);
    }
  } else {
    // Lags 20 .. 119, as far as the block reaches back (20 .. 80 in a 160-sample block).
    const int lags = bl - 80 - 20 + 1 < 100 ? bl - 80 - 20 + 1 : 100;
    dec->lastLag = static_cast<int16_t>(Ilbc_EstimateLag(exc + bl - 80, exc, 80, lags, 20));
    for (int i = 0; i < nsub; ++i)
      Ilbc_SynthesisFilter(exc + i * kIlbcSubLength, y + i * kIlbcSubLength, synt + i * kIlbcLpcLen, kIlbcLpcLen,
                           kIlbcSubLength);
  }
  std::memcpy(dec->synthMemory, y + bl - kIlbcOrder, sizeof(dec->synthMemory));
  Ilbc_HighPassOutput(y, kHpOutZeros, kHpOutPoles, dec->hpOut, dec->hpOut + 2, bl);
  std::memcpy(out, y, sizeof(int16_t) * static_cast<size_t>(bl));
  std::memcpy(dec->oldLpc, synt, sizeof(int16_t) * static_cast<size_t>(nsub * kIlbcLpcLen));
  dec->prevConcealed = mode == 0 ? 1 : 0;
}
