// iLBC packet-loss concealment: pitch repetition of the previous excitation mixed with noise.
#include <cstring>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int16_t kThreshold[6] = {839, 1343, 2048, 2998, 4247, 5849};
constexpr int16_t kSlope[6] = {26667, 18729, 13653, 10258, 7901, 6214};
constexpr int16_t kOffset[6] = {0, 5462, 10922, 16384, 21846, 27306};

int32_t shiftTo16(int32_t v, int shift) {
  const int64_t r = shift >= 0 ? (int64_t{v} << shift) : (int64_t{v} >> -shift);
  return Spl_SatW16(r);
}

// A lag candidate's correlation squared and energy, each brought to 16 bits, with the exponent
// (2 x the correlation's shift - the energy's) that the comparison compensates.
struct LagMeasure {
  int32_t cc;  // (C >> n)^2 >> 15
  int32_t e;   // E >> m
  int exponent;
};

LagMeasure MeasureLag(int32_t c, int32_t e) {
  const int n = Spl_BitLength32(static_cast<uint32_t>(c < 0 ? -int64_t{c} : c)) - 15;
  const int m = Spl_BitLength32(static_cast<uint32_t>(e)) - 15;
  const int32_t c16 = static_cast<int16_t>(n >= 0 ? c >> n : c << -n);
  LagMeasure r;
  r.cc = (c16 * c16) >> 15;
  r.e = static_cast<int16_t>(m >= 0 ? e >> m : e << -m);
  r.exponent = 2 * n - m;
  return r;
}

// Candidate b beats a when cc_b / e_b > cc_a / e_a, the normalisations compensated by a right
// shift of one side (at most 31).
bool BetterLag(const LagMeasure& b, const LagMeasure& a) {
  int s1 = 0, s2 = 0;
  if (b.exponent >= a.exponent)
    s2 = b.exponent - a.exponent;
  else
    s1 = a.exponent - b.exponent;
  if (s1 > 31) s1 = 31;
  if (s2 > 31) s2 = 31;
  return ((int64_t{b.cc} * a.e) >> s1) > ((int64_t{a.cc} * b.e) >> s2);
}

}  // namespace

void Ilbc_CompCorr(int32_t* corr, int32_t* energy, const int16_t* signal, int lag, int length, int span,
                   int scale) {
  const int16_t* last = signal + length - span;
  const int16_t* earlier = last - lag;
  *corr = Spl_DotProductShift(last, earlier, span, scale);
  *energy = Spl_DotProductShift(earlier, earlier, span, scale);
  if (*energy == 0) {
    *corr = 0;
    *energy = 1;
  }
}

int Ilbc_ConcealBlock(int16_t* excitation, int16_t* lpc, int lost, const int16_t* decoded,
                      const int16_t* decodedLpc, int lag, IlbcDecoder* dec) {
  const int bl = dec->c.blockLength;
  if (!lost) {
    std::memmove(excitation, decoded, sizeof(int16_t) * static_cast<size_t>(bl));
    std::memmove(lpc, decodedLpc, sizeof(int16_t) * kIlbcLpcLen);
    dec->consecutiveLosses = 0;
  } else {
    dec->consecutiveLosses = static_cast<int16_t>(dec->consecutiveLosses + 1);
    int useLag;
    int16_t voicing;
    if (!dec->prevLost) {
      const int16_t m = Spl_MaxAbsValueW16(dec->prevResidual, bl);
      int scale = 2 * Spl_BitLength32(static_cast<uint32_t>(m)) - 25;
      if (scale < 0) scale = 0;
      dec->corrScale = static_cast<int16_t>(scale);
      // Keep every candidate (lag - 3 .. lag + 3) a real lag and the span at least one sample.
      if (lag < 4) lag = 4;
      if (lag > bl - 4) lag = bl - 4;
      int span = bl - lag - 3;
      if (span > 60) span = 60;
      int32_t bestC;
      int32_t bestE;
      useLag = lag - 3;
      Ilbc_CompCorr(&bestC, &bestE, dec->prevResidual, useLag, bl, span, scale);
      LagMeasure best = MeasureLag(bestC, bestE);
      for (int l = lag - 2; l <= lag + 3; ++l) {
        int32_t cc;
        int32_t ee;
        Ilbc_CompCorr(&cc, &ee, dec->prevResidual, l, bl, span, scale);
        const LagMeasure m = MeasureLag(cc, ee);
        if (BetterLag(m, best)) {
          bestC = cc;
          bestE = ee;
          best = m;
          useLag = l;
        }
      }
      // Voicing: C^2 / (E0 x EL) in Q15.
      const int16_t* last = dec->prevResidual + bl - span;
      const int32_t e0 = Spl_DotProductShift(last, last, span, scale);
      voicing = 0;
      if (e0 > 0 && bestE > 0) {
        const int z0 = Spl_NormW32(e0) - 16;
        const int zl = Spl_NormW32(bestE) - 16;
        const int32_t den = (shiftTo16(bestE, zl) * shiftTo16(e0, z0)) >> 16;
        const int t = z0 + zl - 1;
        const int h = t >> 1;
        const int32_t num = shiftTo16(bestC, t - h) * shiftTo16(bestC, h);
        if (den > 0) {
          int32_t v = Spl_DivW32ByW16(num, static_cast<int16_t>(den > 32767 ? 32767 : den));
          if (v < 0) v = 0;
          if (v > 32767) v = 32767;
          voicing = static_cast<int16_t>(v);
        }
      }
      dec->prevLag = static_cast<int16_t>(useLag);
      dec->prevVoicing = voicing;
    } else {
      useLag = dec->prevLag;
      voicing = dec->prevVoicing;
    }
    const int scale = dec->corrScale;
    const int32_t gain = bl * dec->consecutiveLosses > 320 ? 29491 : 32767;
    int32_t pitch = 0;
    if (voicing >= 7869) {
      pitch = 32767;
    } else if (voicing >= 840) {
      int k = 5;
      while (k > 0 && kThreshold[k] > voicing) --k;
      pitch = (((int32_t{voicing} - kThreshold[k]) * kSlope[k]) >> 11) + kOffset[k];
      if (pitch > 32767) pitch = 32767;
    }
    int repLag = useLag < 80 ? 2 * useLag : useLag;
    if (repLag > bl) repLag = bl;
    if (repLag < 1) repLag = 1;

    int16_t noise[240];
    uint32_t energy = 0;
    for (int i = 0; i < bl; ++i) {
      dec->seed = static_cast<uint16_t>(dec->seed * 31821u + 13849u);
      const int r = 53 + (dec->seed & 63);
      int ni = i - r;
      if (ni < 0) ni += bl;
      noise[i] = dec->prevResidual[ni];
      const int16_t pp = i - repLag >= 0 ? excitation[i - repLag] : dec->prevResidual[bl + i - repLag];
      int32_t g = gain;
      if (i >= 160) {
        g = (gain * 29491) >> 15;
      } else if (i >= 80) {
        g = (gain * 31130) >> 15;
      }
      const int16_t mix = static_cast<int16_t>((pitch * pp + (32767 - pitch) * noise[i] + 16384) >> 15);
      excitation[i] = static_cast<int16_t>((int32_t{mix} * g) >> 15);
      energy += static_cast<uint32_t>((int32_t{excitation[i]} * excitation[i]) >> (scale + 1));
    }
    if (energy < static_cast<uint32_t>((bl * 900) >> (scale + 1)))
      std::memcpy(excitation, noise, sizeof(int16_t) * static_cast<size_t>(bl));
    std::memcpy(lpc, dec->prevLpc, sizeof(int16_t) * kIlbcLpcLen);
  }
  dec->prevLost = static_cast<int16_t>(lost);
  std::memmove(dec->prevLpc, lpc, sizeof(int16_t) * kIlbcLpcLen);
  std::memmove(dec->prevResidual, excitation, sizeof(int16_t) * static_cast<size_t>(bl));
  return lost;
}
