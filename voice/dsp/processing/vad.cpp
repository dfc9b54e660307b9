// Voice activity detector: sub-band features, two-Gaussian noise and speech models, hangover.
#include "voice/dsp/processing/vad.h"

#include <algorithm>
#include <iterator>
#include <cstdlib>

#include "voice/dsp/spl.h"

namespace {

// Model tables: the first Gaussians of bands 0..5, then the second ones (means and deviations Q7 dB).
constexpr int16_t kNoiseMeans[kVadModelSize] = {6738, 4892, 7065, 6715, 6771, 3369,
                                                7646, 3863, 7820, 7266, 5020, 4362};
constexpr int16_t kSpeechMeans[kVadModelSize] = {8306, 10085, 10078, 11823, 11843, 6309,
                                                 9473, 9571, 10879, 7581, 8180, 7483};
constexpr int16_t kNoiseStds[kVadModelSize] = {378, 1064, 493, 582, 688, 593, 474, 697, 475, 688, 421, 455};
constexpr int16_t kSpeechStds[kVadModelSize] = {555, 505, 567, 524, 585, 1231,
                                                509, 828, 492, 1540, 1079, 850};
// Mixture weights, Q7; each band's pair sums to 128.
constexpr int16_t kNoiseWeights[kVadModelSize] = {34, 62, 72, 66, 53, 25, 94, 66, 56, 62, 75, 103};
constexpr int16_t kSpeechWeights[kVadModelSize] = {48, 82, 45, 87, 50, 47, 80, 46, 83, 41, 78, 81};
constexpr int16_t kBandWeights[kVadBands] = {6, 8, 10, 12, 14, 16};
constexpr int16_t kMinSeparation[kVadBands] = {544, 544, 576, 576, 576, 576};
constexpr int16_t kNoiseCeiling[kVadBands] = {11392, 11392, 11520, 11520, 11520, 11520};
// Feature offsets for each band's decimation (Q4 dB).
constexpr int16_t kBandOffset[kVadBands] = {368, 368, 272, 176, 176, 176};

// Mode thresholds per frame length (10, 20, 30 ms).
constexpr int16_t kOverHangShort[2][3] = {{10, 5, 4}, {9, 5, 3}};
constexpr int16_t kOverHangLong[2][3] = {{8, 4, 3}, {11, 7, 5}};
constexpr int16_t kIndividual[2][3] = {{27, 16, 16}, {40, 31, 26}};
constexpr int16_t kTotal[2][3] = {{85, 66, 66}, {90, 84, 80}};

constexpr int16_t kSplitEven = 20972;  // all-pass coefficient (Q15) of the branch fed with even samples
constexpr int16_t kSplitOdd = 5571;
constexpr int16_t kDownEven = 5243;    // 16 -> 8 kHz decimator
constexpr int16_t kDownOdd = 1392;

constexpr int16_t kMinStd = 384;
constexpr int kLlrLimit = 94;
constexpr int kMinimumAge = 100;  // frames a tracked minimum stays valid
constexpr int16_t kEmptyMinimum = 10000;

// Adaptation rates, Q15 (the model's own choice of step sizes).
constexpr int32_t kNoiseMeanRate = 655;     // about 2 % per frame
constexpr int32_t kSpeechMeanRate = 3277;   // about 10 %
constexpr int32_t kNoiseStdRate = 655;
constexpr int32_t kSpeechStdRate = 983;     // about 3 %
constexpr int32_t kLongTermPull = 655;      // noise means up towards the long-term minimum estimate
constexpr int32_t kStartPull = 6554;        // the same during the first frames (about 20 %)
constexpr int kStartFrames = 50;
constexpr int32_t kMinFall = 6553;          // weight of the old estimate when the minimum falls
constexpr int32_t kMinRise = 32439;         // and when it rises

int16_t sat16(int32_t v) { return Spl_SatW16(v); }

// One first-order all-pass section y = c x + s, s' = x - c y (Q15 coefficient).
int16_t allPass(int16_t x, int16_t c, int16_t* state) {
  const int32_t y = ((int32_t{c} * x) >> 15) + *state;
  const int16_t ys = sat16(y);
  *state = sat16(x - ((int32_t{c} * ys) >> 15));
  return ys;
}

// Half-band split of n samples into n/2 low-band and n/2 high-band samples.
void split(const int16_t* in, int n, int16_t* low, int16_t* high, int16_t* evenState, int16_t* oddState) {
  for (int i = 0; i < n / 2; ++i) {
    const int32_t a = allPass(in[2 * i], kSplitEven, evenState);
    const int32_t b = allPass(in[2 * i + 1], kSplitOdd, oddState);
    low[i] = sat16((a + b) >> 1);
    high[i] = sat16((b - a) >> 1);
  }
}

// Log energy of a band in Q4 dB (before its offset); adds to the total energy while it is small.
int16_t logEnergy(const int16_t* v, int n, int16_t offset, int32_t* total) {
  int shift = 0;
  const int32_t e = Spl_EnergyW16(v, n, &shift);
  int32_t feature = 0;
  if (e > 0) {
    const uint32_t u = static_cast<uint32_t>(e);
    const int z = Spl_NormU32(u);
    const int32_t mant = static_cast<int32_t>((u << z) >> 21) & 0x3ff;  // 10 bits after the leading one
    const int32_t l = ((31 - z) << 10) + mant;                          // log2(e), Q10
    feature = ((l * 24660) >> 19) + ((shift * 24660) >> 9);
    if (feature < 0) feature = 0;
  }
  if (*total < 11) {
    if (shift > 0 || e > 10)
      *total = 11;
    else
      *total += e;
  }
  return static_cast<int16_t>(feature + offset);
}

// The lowest band's high-pass biquad, in place.
void highPass(int16_t* v, int n, int16_t* st) {
  for (int i = 0; i < n; ++i) {
    const int32_t acc = 6631 * v[i] - 13262 * st[0] + 6631 * st[1] + 7756 * st[2] - 5620 * st[3];
    const int16_t y = sat16(acc >> 14);
    st[1] = st[0];
    st[0] = v[i];
    st[3] = st[2];
    st[2] = y;
    v[i] = y;
  }
}

// Weighted Gaussian density w * N(x; m, s) in an arbitrary fixed scale (x, m, s in Q7, w in Q7):
// (1/s) * 2^(-y log2 e) with y = d^2 / (2 s^2). Zero beyond about 5.8 deviations.
int32_t weightedGaussian(int32_t x7, int16_t m, int16_t s, int16_t w) {
  const int64_t d = x7 - m;
  const int64_t yQ10 = (d * d * 1024) / (2 * int64_t{s} * s);
  const int64_t t = (yQ10 * 1477) >> 10;  // times log2(e)
  if (t >= (24 << 10)) return 0;
  const int ip = static_cast<int>(t >> 10);
  const int64_t f = t & 1023;
  // 2^(-f) on [0, 1) by a quadratic exact at 0, 1/2 and 1 (Q15).
  const int64_t mant = 32768 - ((22007 * f) >> 10) + ((5623 * f * f) >> 20);
  const int64_t val = mant >> ip;
  return static_cast<int32_t>(((val << 12) / s) * w);
}

int32_t weightedMean(const int16_t* means, const int16_t* weights, int b) {
  return (int32_t{weights[b]} * means[b] + int32_t{weights[b + kVadBands]} * means[b + kVadBands]) >> 7;
}

// Keeps the 16 smallest features of the last 100 frames for band b and smooths their median into the
// band's long-term noise estimate.
void trackMinimum(VadInst* inst, int b, int16_t feature) {
  int16_t* values = inst->lowValues + b * kVadTrackedMinima;
  int16_t* ages = inst->lowAges + b * kVadTrackedMinima;
  // Age the entries and drop the expired ones, keeping the order.
  int kept = 0;
  for (int i = 0; i < kVadTrackedMinima; ++i) {
    if (ages[i] == 0) continue;
    if (ages[i] >= kMinimumAge) continue;
    values[kept] = values[i];
    ages[kept] = static_cast<int16_t>(ages[i] + 1);
    ++kept;
  }
  for (int i = kept; i < kVadTrackedMinima; ++i) {
    values[i] = kEmptyMinimum;
    ages[i] = 0;
  }
  // Insert the new feature in order when it belongs among the smallest.
  int pos = kept;
  while (pos > 0 && values[pos - 1] > feature) --pos;
  if (pos < kVadTrackedMinima) {
    const int last = std::min(kept, kVadTrackedMinima - 1);
    for (int i = last; i > pos; --i) {
      values[i] = values[i - 1];
      ages[i] = ages[i - 1];
    }
    values[pos] = feature;
    ages[pos] = 1;
    if (kept < kVadTrackedMinima) ++kept;
  }
  // Median of the (up to) five smallest values.
  const int16_t median = kept >= 5 ? values[2] : values[0];
  const int32_t old = inst->meanValue[b];
  const int32_t alpha = median < old ? kMinFall : kMinRise;
  int32_t next = (alpha * old + (32768 - alpha) * median + 16384) >> 15;
  // Small differences would round away with the slow weight: move at least one unit.
  if (next == old && median != old) next += median > old ? 1 : -1;
  inst->meanValue[b] = static_cast<int16_t>(next);
}

int frameIndex(int count) { return count == 80 ? 0 : (count == 160 ? 1 : 2); }

// Features of one 8-kHz frame; returns the total energy indicator (above 10 when worth deciding).
int32_t features(VadInst* inst, const int16_t* in, int n, int16_t* feat) {
  int16_t hp1[120], lp1[120], b5[60], b4[60], b3[60], lp2[60], b2[30], lp3[30], b1[15], b0[15];
  int32_t total = 0;
  split(in, n, lp1, hp1, &inst->upperState[0], &inst->lowerState[0]);
  // The decimated high band is mirrored: its low half holds 3-4 kHz.
  split(hp1, n / 2, b5, b4, &inst->upperState[1], &inst->lowerState[1]);
  feat[5] = logEnergy(b5, n / 4, kBandOffset[5], &total);
  feat[4] = logEnergy(b4, n / 4, kBandOffset[4], &total);
  split(lp1, n / 2, lp2, b3, &inst->upperState[2], &inst->lowerState[2]);
  feat[3] = logEnergy(b3, n / 4, kBandOffset[3], &total);
  split(lp2, n / 4, lp3, b2, &inst->upperState[3], &inst->lowerState[3]);
  feat[2] = logEnergy(b2, n / 8, kBandOffset[2], &total);
  split(lp3, n / 8, b0, b1, &inst->upperState[4], &inst->lowerState[4]);
  feat[1] = logEnergy(b1, n / 16, kBandOffset[1], &total);
  highPass(b0, n / 16, inst->hpState);
  feat[0] = logEnergy(b0, n / 16, kBandOffset[0], &total);
  return total;
}

// Scores the features against the models, adapts the models; returns 1 for speech.
int decideAndAdapt(VadInst* inst, const int16_t* feat, int fi) {
  int32_t respNoise[kVadModelSize];
  int32_t respSpeech[kVadModelSize];
  int32_t sum = 0;
  int speech = 0;
  for (int b = 0; b < kVadBands; ++b) {
    const int32_t x7 = int32_t{feat[b]} << 3;
    int32_t gn[2];
    int32_t gs[2];
    for (int k = 0; k < 2; ++k) {
      const int idx = b + k * kVadBands;
      gn[k] = weightedGaussian(x7, inst->noiseMeans[idx], inst->noiseStds[idx], kNoiseWeights[idx]);
      gs[k] = weightedGaussian(x7, inst->speechMeans[idx], inst->speechStds[idx], kSpeechWeights[idx]);
    }
    const int32_t hn = gn[0] + gn[1];
    const int32_t hs = gs[0] + gs[1];
    int ratio;
    if (hn > 0 && hs > 0) {
      ratio = Spl_NormW32(hn) - Spl_NormW32(hs);
    } else if (hn > 0) {
      ratio = -kLlrLimit;
    } else if (hs > 0) {
      ratio = kLlrLimit;
    } else {
      ratio = x7 > weightedMean(inst->speechMeans, kSpeechWeights, b) ? kLlrLimit : -kLlrLimit;
    }
    // A band quieter than the noise model is no evidence of speech, however broad the speech model.
    if (x7 <= weightedMean(inst->noiseMeans, kNoiseWeights, b)) ratio = std::min(ratio, 0);
    sum += kBandWeights[b] * ratio;
    if (4 * ratio > inst->individualThreshold[fi]) speech = 1;
    for (int k = 0; k < 2; ++k) {
      const int idx = b + k * kVadBands;
      respNoise[idx] = hn > 0 ? static_cast<int32_t>((int64_t{gn[k]} << 14) / hn) : 8192;
      respSpeech[idx] = hs > 0 ? static_cast<int32_t>((int64_t{gs[k]} << 14) / hs) : 8192;
    }
  }
  if (sum >= inst->totalThreshold[fi]) speech = 1;

  for (int b = 0; b < kVadBands; ++b) {
    const int32_t x7 = int32_t{feat[b]} << 3;
    for (int k = 0; k < 2; ++k) {
      const int idx = b + k * kVadBands;
      int16_t* means = speech ? inst->speechMeans : inst->noiseMeans;
      int16_t* stds = speech ? inst->speechStds : inst->noiseStds;
      const int32_t resp = speech ? respSpeech[idx] : respNoise[idx];
      const int32_t meanRate = speech ? kSpeechMeanRate : kNoiseMeanRate;
      const int32_t stdRate = speech ? kSpeechStdRate : kNoiseStdRate;
      const int32_t d = x7 - means[idx];
      const int32_t s = stds[idx];
      // Deviation towards |d|: s += rate * resp * (d^2 / s - s).
      const int64_t ds = (int64_t{d} * d) / s - s;
      int64_t ns = s + ((((ds * resp) >> 14) * stdRate) >> 15);
      stds[idx] = static_cast<int16_t>(std::clamp<int64_t>(ns, kMinStd, INT16_MAX));
      int32_t nm = means[idx] + static_cast<int32_t>(((int64_t{d} * resp >> 14) * meanRate) >> 15);
      if (!speech) nm = std::clamp(nm, (k + 5) * 128, (72 - k) * 128);
      means[idx] = sat16(nm);
    }
    trackMinimum(inst, b, feat[b]);
    // Noise that rises under continuous activity is never scored as noise, so the model is pulled up
    // towards the long-term minimum estimate (falling noise is learnt from the frames without speech).
    const int32_t target = int32_t{inst->meanValue[b]} << 3;
    const int32_t rate = inst->minFrameCounter < kStartFrames ? kStartPull : kLongTermPull;
    const int32_t pull =
        std::max(0, ((target - weightedMean(inst->noiseMeans, kNoiseWeights, b)) * rate) >> 15);
    for (int k = 0; k < 2; ++k) {
      const int idx = b + k * kVadBands;
      inst->noiseMeans[idx] = sat16(std::clamp(inst->noiseMeans[idx] + pull, (k + 5) * 128, (72 - k) * 128));
    }
    // Keep speech above noise by a minimum distance: speech moves up by 13/4 and noise down by 3/4
    // of the shortfall.
    const int32_t gs = weightedMean(inst->speechMeans, kSpeechWeights, b);
    int32_t gn = weightedMean(inst->noiseMeans, kNoiseWeights, b);
    const int32_t shortfall = kMinSeparation[b] - (gs - gn);
    if (shortfall > 0) {
      const int32_t up = (13 * shortfall) >> 2;
      const int32_t down = (3 * shortfall) >> 2;
      for (int k = 0; k < 2; ++k) {
        const int idx = b + k * kVadBands;
        inst->speechMeans[idx] = sat16(inst->speechMeans[idx] + up);
        inst->noiseMeans[idx] = sat16(inst->noiseMeans[idx] - down);
      }
      gn -= down;
    }
    if (gn > kNoiseCeiling[b]) {
      for (int k = 0; k < 2; ++k) {
        const int idx = b + k * kVadBands;
        inst->noiseMeans[idx] = sat16(inst->noiseMeans[idx] - (gn - kNoiseCeiling[b]));
      }
    }
  }
  ++inst->minFrameCounter;
  return speech;
}

bool validInst(const VadInst* inst) { return inst != nullptr && inst->initMarker == kVadInitMarker; }

}  // namespace

int Vad_Init(VadInst* inst, int mode) {
  if (inst == nullptr) return -1;
  *inst = VadInst{};
  std::copy(std::begin(kNoiseMeans), std::end(kNoiseMeans), inst->noiseMeans);
  std::copy(std::begin(kSpeechMeans), std::end(kSpeechMeans), inst->speechMeans);
  std::copy(std::begin(kNoiseStds), std::end(kNoiseStds), inst->noiseStds);
  std::copy(std::begin(kSpeechStds), std::end(kSpeechStds), inst->speechStds);
  std::fill(std::begin(inst->lowValues), std::end(inst->lowValues), kEmptyMinimum);
  std::fill(std::begin(inst->meanValue), std::end(inst->meanValue), int16_t{1600});
  const int m = mode == 0 ? 0 : 1;
  for (int i = 0; i < 3; ++i) {
    inst->overHangShort[i] = kOverHangShort[m][i];
    inst->overHangLong[i] = kOverHangLong[m][i];
    inst->individualThreshold[i] = kIndividual[m][i];
    inst->totalThreshold[i] = kTotal[m][i];
  }
  inst->initMarker = kVadInitMarker;
  return 0;
}

int Vad_ProcessBands(VadInst* inst, const int16_t* samples, int count) {
  if (!validInst(inst) || samples == nullptr) return -1;
  if (count != 80 && count != 160 && count != 240) return -1;
  const int fi = frameIndex(count);
  int16_t feat[kVadBands];
  const int32_t total = features(inst, samples, count, feat);
  ++inst->frameCounter;
  const int speech = total > 10 ? decideAndAdapt(inst, feat, fi) : 0;

  int decision;
  if (speech) {
    ++inst->numOfSpeech;
    if (inst->numOfSpeech < 7) {
      inst->overHang = inst->overHangShort[fi];
    } else {
      inst->numOfSpeech = 6;
      inst->overHang = inst->overHangLong[fi];
    }
    decision = 1;
  } else if (inst->overHang > 0) {
    decision = inst->overHang + 2;
    --inst->overHang;
  } else {
    inst->numOfSpeech = 0;
    decision = 0;
  }
  inst->lastDecision = static_cast<int16_t>(decision);
  return decision;
}

int Vad_Process(VadInst* inst, const int16_t* samples, int count) {
  if (!validInst(inst) || samples == nullptr) return -1;
  if (count != 160 && count != 320 && count != 480) return -1;
  int16_t half[240];
  for (int i = 0; i < count / 2; ++i) {
    // Two all-pass branches (Q14 input, Q12 feedback), each with half gain at DC.
    int32_t x = samples[2 * i];
    int32_t y0 = ((x * kDownEven) >> 14) + (inst->downState[0] >> 1);
    inst->downState[0] = x - ((kDownEven * y0) >> 12);
    x = samples[2 * i + 1];
    int32_t y1 = ((x * kDownOdd) >> 14) + (inst->downState[1] >> 1);
    inst->downState[1] = x - ((kDownOdd * y1) >> 12);
    half[i] = Spl_SatW16(int64_t{y0} + y1);
  }
  return Vad_ProcessBands(inst, half, count / 2);
}
