// iLBC adaptive codebook: vector construction, gain quantisation and the encoder's three-stage search.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/ilbc_tables.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int16_t kAugWeights[4] = {6554, 13107, 19661, 26214};
// The stretch of the memory that is weighted and filtered, by block number; earlier samples are zeros.
constexpr int kFilterRange[5] = {63, 85, 125, 147, 147};
constexpr int kResRange = 34;
constexpr int16_t kGainLimit = 21299;

const int16_t* gainTable(int stage, int* size) {
  if (stage <= 0) {
    *size = 32;
    return kIlbcGainSq5;
  }
  if (stage == 1) {
    *size = 16;
    return kIlbcGainSq4;
  }
  *size = 8;
  return kIlbcGainSq3;
}

int16_t satRound12(int64_t v) {
  if (v < -134217728) v = -134217728;
  if (v > 134215679) v = 134215679;
  return static_cast<int16_t>((v + 2048) >> 12);
}

// The memory filtered by the codebook filter: F[p] = sum of filter[j] x mem[p + 4 - j], zeros outside.
void filterMemory(const int16_t* mem, int memLength, int16_t* out) {
  for (int p = 0; p < memLength; ++p) {
    int64_t s = 0;
    for (int j = 0; j < 8; ++j) {
      const int q = p + 4 - j;
      if (q >= 0 && q < memLength) s += int64_t{kIlbcCbFilter[j]} * mem[q];
    }
    out[p] = satRound12(s);
  }
}

struct Sections {
  int base;     // regular vectors of one section
  int aug;      // augmented vectors of one section (20 for 40-sample targets)
  int section;  // base + aug
};

Sections sectionsFor(int memLength, int length) {
  Sections s;
  s.base = memLength - length + 1;
  s.aug = length == kIlbcSubLength ? 20 : 0;
  s.section = s.base + s.aug;
  return s;
}

// Vector of one section by index (regular first, then augmented), cut from `src`.
void sectionVector(int16_t* out, const int16_t* src, int index, int memLength, int length, const Sections& s) {
  if (index < s.base) {
    std::memcpy(out, src + memLength - index - length, sizeof(int16_t) * static_cast<size_t>(length));
  } else {
    Ilbc_AugmentVector(20 + index - s.base, src + memLength, out);
  }
}

// A candidate's search criterion C^2 / E in normalised fixed point: `crit` x 2^`exponent`, and its
// gain C / E in Q14.
struct Crit {
  int64_t crit = 0;
  int exponent = 0;
  int32_t gain = 0;
};

// From the correlation c (shifted by the section's common shift cs to 16 bits) and the energy e.
Crit criterion(int32_t c, int32_t e, int cs) {
  const int es = Spl_NormW32(e);
  const int32_t mantissa = static_cast<int32_t>((static_cast<uint32_t>(e) << es) >> 16);
  const int32_t inverse = Spl_DivW32ByW16(0x1fffffff, static_cast<int16_t>(mantissa < 16384 ? 16384 : mantissa));
  const int32_t q = static_cast<int32_t>((static_cast<int64_t>(c) << cs) >> 16);
  Crit r;
  r.crit = ((int64_t{q} * q) >> 16) * inverse;
  r.exponent = 2 * (16 - cs) + es;
  int64_t g = (int64_t{c} * inverse) >> (31 - es);
  if (g > kGainLimit) g = kGainLimit;
  if (g < -kGainLimit) g = -kGainLimit;
  r.gain = static_cast<int32_t>(g);
  return r;
}

// Strictly greater once the exponents are aligned (the shift limited to 31).
bool better(const Crit& cand, const Crit& best) {
  int64_t a = cand.crit, b = best.crit;
  if (cand.exponent >= best.exponent)
    b >>= std::min(cand.exponent - best.exponent, 31);
  else
    a >>= std::min(best.exponent - cand.exponent, 31);
  return a > b;
}

// The common shift that brings the largest correlation magnitude of a section to the top of 32 bits.
int commonShift(const int32_t* c, int n) {
  int32_t m = 0;
  for (int i = 0; i < n; ++i) m = std::max(m, c[i] < 0 ? (c[i] == INT32_MIN ? INT32_MAX : -c[i]) : c[i]);
  return Spl_NormW32(m);
}

}  // namespace

int Ilbc_CodebookSize(int memLength, int length) { return 2 * sectionsFor(memLength, length).section; }

void Ilbc_AugmentVector(int lag, const int16_t* memEnd, int16_t* out) {
  for (int j = 0; j < lag; ++j) out[j] = memEnd[-lag + j];
  for (int j = 0; j < 4; ++j) {
    out[lag - 4 + j] = static_cast<int16_t>(((int32_t{memEnd[-4 + j]} * kAugWeights[3 - j]) >> 15) +
                                            ((int32_t{memEnd[-lag - 4 + j]} * kAugWeights[j]) >> 15));
  }
  for (int j = 0; j < kIlbcSubLength - lag; ++j) out[lag + j] = memEnd[-lag + j];
}

void Ilbc_GetCodebookVector(int16_t* out, const int16_t* mem, int index, int memLength, int length) {
  const Sections s = sectionsFor(memLength, length);
  if (index < 0) index = 0;
  if (index >= 2 * s.section) index = 2 * s.section - 1;
  if (index < s.section) {
    sectionVector(out, mem, index, memLength, length, s);
    return;
  }
  int16_t filtered[kIlbcCbMemLength];
  filterMemory(mem, memLength, filtered);
  sectionVector(out, filtered, index - s.section, memLength, length, s);
}

int16_t Ilbc_DequantizeGain(int index, int16_t scale, int stage) {
  int size;
  const int16_t* t = gainTable(stage, &size);
  if (index < 0) index = 0;
  if (index >= size) index = size - 1;
  int32_t s = std::abs(int32_t{scale});
  if (s < 1638) s = 1638;
  return static_cast<int16_t>((t[index] * s + 8192) >> 14);
}

int16_t Ilbc_QuantizeGain(int16_t gain, int16_t scale, int stage, int16_t* index) {
  int size;
  const int16_t* t = gainTable(stage, &size);
  int32_t s = std::abs(int32_t{scale});
  if (s < 1638) s = 1638;
  const int64_t x = int64_t{gain} * 16384;
  int best = 0;
  int64_t bestErr = INT64_MAX;
  for (int i = 0; i < size; ++i) {
    const int64_t err = std::llabs(x - int64_t{t[i]} * s);
    if (err < bestErr) {  // ties keep the lower level
      bestErr = err;
      best = i;
    }
  }
  *index = static_cast<int16_t>(best);
  return static_cast<int16_t>((t[best] * s + 8192) >> 14);
}

void Ilbc_ConstructCodebook(int16_t* out, const int16_t* index, const int16_t* gainIndex, const int16_t* mem,
                            int memLength, int length) {
  const int16_t g1 = Ilbc_DequantizeGain(gainIndex[0], 16384, 0);
  const int16_t g2 = Ilbc_DequantizeGain(gainIndex[1], g1, 1);
  const int16_t g3 = Ilbc_DequantizeGain(gainIndex[2], g2, 2);
  int16_t v1[kIlbcSubLength];
  int16_t v2[kIlbcSubLength];
  int16_t v3[kIlbcSubLength];
  Ilbc_GetCodebookVector(v1, mem, index[0], memLength, length);
  Ilbc_GetCodebookVector(v2, mem, index[1], memLength, length);
  Ilbc_GetCodebookVector(v3, mem, index[2], memLength, length);
  for (int j = 0; j < length; ++j) {
    const int64_t s = int64_t{v1[j]} * g1 + int64_t{v2[j]} * g2 + int64_t{v3[j]} * g3 + 8192;
    out[j] = Spl_SatW16(s >> 14);
  }
}

void Ilbc_SearchCodebook(int16_t* index, int16_t* gainIndex, const int16_t* target, const int16_t* mem,
                         int memLength, int length, const int16_t* weight, int block) {
  if (block < 0) block = 0;
  if (block > 4) block = 4;
  const Sections s = sectionsFor(memLength, length);
  int range = kFilterRange[block];
  if (range > memLength) range = memLength;

  // Perceptual weighting of the memory (zero state) and of the target (continuing from it).
  int16_t wbuf[kIlbcOrder + kIlbcCbMemLength + kIlbcSubLength] = {};
  int16_t* wmem = wbuf + kIlbcOrder;
  Ilbc_SynthesisFilter(mem + memLength - range, wmem + memLength - range, weight, kIlbcLpcLen, range);
  int16_t* wtarget = wmem + memLength;
  Ilbc_SynthesisFilter(target, wtarget, weight, kIlbcLpcLen, length);
  int16_t fmem[kIlbcCbMemLength];
  filterMemory(wmem, memLength, fmem);

  int16_t orig[kIlbcSubLength];
  std::memcpy(orig, wtarget, sizeof(int16_t) * static_cast<size_t>(length));
  int16_t cur[kIlbcSubLength];
  std::memcpy(cur, wtarget, sizeof(int16_t) * static_cast<size_t>(length));

  // Candidates in lag order: for 40-sample targets the 20 augmented vectors come first.
  int searchRange = kIlbcSearchRange[3 * block];
  auto vectorAt = [&](int16_t* out, int sec, int t) {
    const int16_t* src = sec == 0 ? wmem : fmem;
    const int idx = s.aug ? (t < 20 ? s.base + t : t - 20) : t;
    sectionVector(out, src, idx, memLength, length, s);
  };
  auto rfcIndex = [&](int sec, int t) {
    const int idx = s.aug ? (t < 20 ? s.base + t : t - 20) : t;
    return sec == 0 ? idx : idx + s.section;
  };

  // One scale for every correlation and energy below, from the largest magnitudes of the weighted
  // memory and the weighted target.
  const int16_t m1 = Spl_MaxAbsValueW16(wmem + memLength - range, range);
  const int16_t m2 = Spl_MaxAbsValueW16(wtarget, length);
  int scale = 5;
  if (m1 != 0 && m2 != 0) {
    const int16_t m = std::max(m1, m2);
    scale = std::max(0, Spl_BitLength32(static_cast<uint32_t>(int32_t{m} * m)) - 25);
  }

  int16_t prevGain = 16384;
  int16_t firstGain = 0;
  for (int stage = 0; stage < kIlbcStages; ++stage) {
    searchRange = kIlbcSearchRange[3 * block + stage];
    if (searchRange > s.base) searchRange = s.base;
    const int n = searchRange + s.aug;
    int16_t v[kIlbcSubLength];
    // In the first stage a negative correlation counts as 0.
    auto correlate = [&](int sec, int t, int32_t* c, int32_t* e) {
      vectorAt(v, sec, t);
      *c = Spl_DotProductShift(cur, v, length, scale);
      *e = Spl_DotProductShift(v, v, length, scale);
      if (stage == 0 && *c < 0) *c = 0;
    };
    int32_t corr[kIlbcCbMemLength + 20];
    int32_t energy[kIlbcCbMemLength + 20];
    for (int t = 0; t < n; ++t) correlate(0, t, &corr[t], &energy[t]);
    int cs = commonShift(corr, n);
    int bestSec = 0;
    int bestT = 0;
    Crit best = criterion(corr[0], energy[0], cs);
    for (int t = 1; t < n; ++t) {
      const Crit c = criterion(corr[t], energy[t], cs);
      if (better(c, best)) {
        best = c;
        bestT = t;
      }
    }
    int sInd = bestT - kResRange / 2;
    if (sInd < 0) sInd = 0;
    int eInd = sInd + kResRange;
    if (eInd >= n) {
      eInd = n - 1;
      sInd = eInd - kResRange < 0 ? 0 : eInd - kResRange;
    }
    for (int t = sInd; t <= eInd; ++t) correlate(1, t, &corr[t - sInd], &energy[t - sInd]);
    cs = commonShift(corr, eInd - sInd + 1);
    for (int t = sInd; t <= eInd; ++t) {
      const Crit c = criterion(corr[t - sInd], energy[t - sInd], cs);
      if (better(c, best)) {
        best = c;
        bestSec = 1;
        bestT = t;
      }
    }
    const int16_t gq = Ilbc_QuantizeGain(static_cast<int16_t>(best.gain), prevGain, stage, &gainIndex[stage]);
    if (stage == 0) firstGain = gq;
    prevGain = gq;
    index[stage] = static_cast<int16_t>(rfcIndex(bestSec, bestT));
    vectorAt(v, bestSec, bestT);
    for (int i = 0; i < length; ++i)
      cur[i] = Spl_SatW16(int32_t{cur[i]} + ((int32_t{v[i]} * -gq + 8192) >> 14));
  }

  // Energy matching of the first gain: raise it while the coded energy stays below the target's,
  // both energies brought to 16 bits by one shift.
  int16_t coded[kIlbcSubLength];
  for (int i = 0; i < length; ++i) coded[i] = Spl_SatW16(int32_t{orig[i]} - cur[i]);
  const int32_t ec32 = Spl_DotProductShift(coded, coded, length, scale);
  const int32_t et32 = Spl_DotProductShift(orig, orig, length, scale);
  const int norm = Spl_NormW32(std::max(ec32, et32));
  const int64_t ec = (static_cast<int64_t>(ec32) << norm) >> 16;
  const int64_t et = (static_cast<int64_t>(et32) << norm) >> 16;
  int j = gainIndex[0];
  const int64_t g0sq = (int64_t{firstGain} * firstGain) >> 14;
  for (int i = gainIndex[0]; i < 32; ++i) {
    if (kIlbcGainSq5Sq[i] * ec < et * g0sq && kIlbcGainSq5[j] < 2 * firstGain - 2) j = i;
  }
  gainIndex[0] = static_cast<int16_t>(j);
}
