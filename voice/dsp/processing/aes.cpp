// Fixed-point echo suppressor: far-end energy ring, echo index decisions and comfort-noise fill.
#include "voice/dsp/processing/aes.h"

#include <algorithm>
#include <iterator>
#include <cstring>

#include "voice/dsp/processing/comfort_noise.h"
#include "voice/dsp/resample.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int kFrame = kAesBlocksPerFrame * kAesBlockSamples;  // 80 low-band samples per 10 ms
constexpr int kMaxIndex = 80;
constexpr int kFadeSteps = 32;
constexpr int32_t kCngInitialGain = 5221;  // sqrt(26) * 1024

// Energy of a 2-ms block at the common scale (true energy / 128).
int32_t blockEnergy(const int16_t* x) {
  int scale = 0;
  const int32_t e = Spl_EnergyW16(x, kAesBlockSamples, &scale);
  const int s = scale - 7;
  return s >= 0 ? Spl_ShlWrapW32(e, s) : (e >> -s);
}

int32_t lapsAhead(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

// Puts the write position `delay` blocks after the read position.
void placeWrite(SonraAEC* a) {
  int pos = a->readPos + a->delay;
  if (pos > kAesRingSize - 1) {
    pos -= kAesRingSize;
    a->writeLaps = a->readLaps + 1u;
  } else {
    a->writeLaps = a->readLaps;
  }
  a->writePos = static_cast<int16_t>(pos);
}

void restartDrift(SonraAEC* a) {
  a->driftSum = 0;
  a->driftCount = 0;
  a->driftStable = 0;
}

void advanceWrite(SonraAEC* a) {
  const int32_t ahead = lapsAhead(a->writeLaps, a->readLaps);
  const bool allowed = ahead == 0 || (ahead > 0 && a->writePos <= a->readPos - 2);
  if (!allowed) {
    ++a->overflowCount;
    return;
  }
  if (++a->writePos >= kAesRingSize) {
    a->writePos = 0;
    ++a->writeLaps;
  }
}

void advanceRead(SonraAEC* a) {
  const int32_t ahead = lapsAhead(a->writeLaps, a->readLaps);
  const bool refused = ahead < 0 || (ahead == 1 && a->readPos == kAesRingSize - 1 && a->writePos == 0) ||
                       (ahead == 0 && a->readPos > a->writePos - 2);
  if (refused) {
    ++a->underflowCount;
    return;
  }
  if (++a->readPos >= kAesRingSize) {
    a->readPos = 0;
    ++a->readLaps;
  }
}

// The far end running too far ahead for several seconds realigns the write position.
void trackDrift(SonraAEC* a) {
  int dist = a->writePos - a->readPos;
  if (dist < 0) dist += kAesRingSize;
  a->driftSum += dist;
  if (++a->driftCount < 512) return;
  const int32_t avg = a->driftSum >> 9;
  a->driftSum = 0;
  a->driftCount = 0;
  const bool stable = avg > 2 * a->delay && std::abs(avg - a->driftLastAverage) <= 10 && avg >= 51;
  a->driftLastAverage = avg;
  if (!stable) {
    a->driftStable = 0;
    return;
  }
  if (++a->driftStable >= 5) {
    placeWrite(a);
    ++a->realignCount;
    a->driftStable = 0;
  }
}

// Minimum ring: each slot keeps the smallest value of 5 frames; 30 slots.
void pushMinimum(int32_t* ring, int16_t* index, int16_t* count, int32_t v) {
  if (*count == 0)
    ring[*index] = v;
  else
    ring[*index] = std::min(ring[*index], v);
  if (++*count >= 5) {
    *count = 0;
    *index = static_cast<int16_t>((*index + 1) % kAesMinSlots);
  }
}

int32_t updateFloor(int32_t floor, int64_t m) {
  const int64_t f = floor;
  const int64_t next = 4 * m <= f ? (m + 7 * f) >> 3 : (m + 63 * f) >> 6;
  return static_cast<int32_t>(next);
}

int32_t pushMaximum(int32_t* ring, int16_t* index, int32_t v) {
  ring[*index] = v;
  *index = static_cast<int16_t>((*index + 1) % kAesMaxSlots);
  return *std::max_element(ring, ring + kAesMaxSlots);
}

// Second-order high-pass with its previous outputs kept in split precision (integer and Q16 fraction).
void highPass(SonraAEC* a, int16_t* x, int n) {
  for (int i = 0; i < n; ++i) {
    const int32_t in = x[i];
    int32_t acc = 3798 * (in - 2 * int32_t{a->hpIn[0]} + a->hpIn[1]);
    acc = Spl_AddSatW32(acc, 7807 * int32_t{a->hpOut[0]} + ((7807 * int64_t{a->hpFrac[0]}) >> 16));
    acc = Spl_AddSatW32(acc, -3733 * int32_t{a->hpOut[1]} + ((-3733 * int64_t{a->hpFrac[1]}) >> 16));
    acc = Spl_AddSatW32(acc, 2048);
    const int32_t y = acc >> 12;
    const int16_t ys = Spl_SatW16(y);
    a->hpIn[1] = a->hpIn[0];
    a->hpIn[0] = static_cast<int16_t>(in);
    a->hpOut[1] = a->hpOut[0];
    a->hpFrac[1] = a->hpFrac[0];
    a->hpOut[0] = ys;
    // The remainder below the rounded output, so the feedback sees the full-precision value.
    a->hpFrac[0] = ys == y ? ((acc & 0xfff) - 2048) << 4 : 0;
    x[i] = ys;
  }
}

// Updates the comfort-noise model from 80 quiet low-band samples.
void updateCng(SonraAecCng* c, const int16_t* x) {
  int32_t r[kAesCngOrder + 1];
  int scale = 0;
  Spl_AutoCorrScaled(x, kFrame, kAesCngOrder, r, &scale);
  if (r[0] < 1) r[0] = 1;
  int16_t k[kAesCngOrder];
  Spl_AutoCorrToRefl(r, kAesCngOrder, k);
  // Normalised prediction error (Q15) of this frame's coefficients.
  int32_t err = 32767;
  for (int i = 0; i < kAesCngOrder; ++i) {
    c->refl[i] = static_cast<int16_t>((int32_t{c->reflSmooth} * c->refl[i] + k[i]) >> 5);
    err = (err * (32767 - ((int32_t{k[i]} * k[i]) >> 15))) >> 15;
  }
  Spl_ReflToLpc(c->refl, kAesCngOrder, c->lpc);
  const uint64_t energy = ((static_cast<uint64_t>(r[0]) << scale) * static_cast<uint64_t>(err)) >> 15;
  const uint64_t perSample = energy / kFrame;
  if (c->averageCount <= c->firstFrames) {
    // The first gain is the average level of the first updates. The level is taken in Q2 so that
    // 192 x level is the same 3/4 of the excitation RMS (Q10) the running update below converges to;
    // a level in whole samples would start the noise 12 dB low and step up once learnt.
    c->levelSum += static_cast<int32_t>(Spl_SqrtFloorU64(perSample << 4));
    if (c->averageCount == c->firstFrames) c->gain = ((c->levelSum / c->firstFrames) * 192) & ~0x3ff;
    ++c->averageCount;
  } else {
    const int64_t levelQ6 = static_cast<int64_t>(Spl_SqrtFloorU64(perSample << 12));
    const int64_t target = ((3 * levelQ6) / 4) << 4;
    c->gain = static_cast<int32_t>((int64_t{c->gainSmooth} * c->gain + target) >> 6);
  }
}

// Comfort noise of n samples at the model's gain, through 1/A(z).
void generateCng(SonraAecCng* c, int16_t* out, int n) {
  ComfortNoise_Generate(&c->seed, c->gain, c->lpc, kAesCngOrder, c->synthHigh, c->synthLow, out, n);
}

void initCng(SonraAecCng* c) {
  std::memset(c, 0, sizeof(*c));
  c->seed = 777;
  c->firstFrames = 20;
  c->averageCount = 1;
  c->gain = kCngInitialGain;
  c->lpc[0] = 4096;
  c->reflSmooth = 31;
  c->gainSmooth = 63;
}

// Echo index step for one block from the near-end sum, the far-end sum near the read position and the
// maxima and floors of both sides.
void updateEchoIndex(SonraAEC* a, int64_t n, int64_t f) {
  const int64_t fmax = a->farMaxValue;
  const int64_t nmax = a->nearMaxValue;
  const int64_t lf = a->farFloor;
  const int64_t ln = a->nearFloor;
  int idx = a->echoIndex;
  if (!a->aggressive && ((nmax >> 4) > fmax || (nmax >> 10) > f) && (n > 32 * ln || n >= 400001)) {
    // Near-end speech clearly above the far end.
    if ((n >> 6) > f)
      idx -= 4;
    else if ((n >> 5) > f)
      idx -= 3;
    else
      idx -= 1;
  } else if (f <= 32 * lf || f < 16001) {
    // Far end quiet.
    if (fmax <= 32 * lf || fmax < 16001) {
      const int64_t both = std::max(f, fmax);
      if ((nmax >> 2) > both && n > 32 * ln) {
        if ((n >> 7) > fmax)
          idx -= 4;
        else if ((n >> 6) > fmax)
          idx -= 3;
        else
          idx -= 1;
      } else if (both >= 3 * lf && fmax >= 4080) {
        // stays
      } else {
        idx -= 1;
      }
    } else if (a->echoState == 1) {
      idx += 1;
    }
  } else {
    // Far end loud.
    if (a->aggressive && f >= 1200001) idx = std::min(idx + 20, kMaxIndex);
    if (f > 128 * lf && f >= 400001) {
      idx += 8;
    } else if (f <= 64 * lf) {
      if (!(a->aggressive && a->echoState == 0 && idx >= 60)) idx += 1;
    } else {
      idx += 4;
    }
  }
  a->echoIndex = static_cast<int16_t>(std::clamp(idx, 0, kMaxIndex));
}

// Largest far-end sum around the read position (the ring is indexed modulo its size).
int32_t farAroundRead(const SonraAEC* a) {
  int dist = a->writePos - a->readPos;
  if (dist < 0 && dist >= -900) return a->farRing[a->readPos];
  if (dist < -900) dist += kAesRingSize;
  int start;
  int len;
  if (a->readPos < 4) {
    start = 0;
    len = std::min(a->readPos + dist, 18);
  } else {
    start = a->readPos - 5;
    len = std::min(dist + 5, 18);
  }
  if (len < 1) return a->farRing[a->readPos];
  int32_t m = 0;
  for (int i = 0; i < len; ++i) m = std::max(m, a->farRing[(start + i + kAesRingSize) % kAesRingSize]);
  return m;
}

void updateDelay(SonraAEC* a, int cardDelayMs) {
  const int32_t d = std::clamp(cardDelayMs, 0, 200);
  a->smoothedCardDelay = ((a->smoothedCardDelay * 127 + 64) >> 7) + d;
  const int target = a->smoothedCardDelay >> 8;
  if (std::abs(target - a->delay) < 11) return;
  int delay = a->delay;
  if (target > delay)
    delay += 10;
  else if (delay >= 11)
    delay -= 10;
  else
    return;
  a->delay = static_cast<int16_t>(std::clamp(delay, 5, 100));
  placeWrite(a);
  restartDrift(a);
}

}  // namespace

int SonraAEC_Init(SonraAEC* a, int delayMs, int aggressive, int highPass) {
  if (a == nullptr) return -1;
  std::memset(a, 0, sizeof(*a));
  int result = 0;
  int blocks = delayMs / 2;
  if (blocks < 5) {
    blocks = 5;
    result = AES_WARN_DELAY_LOW;
  } else if (blocks > 100) {
    blocks = 100;
    result = AES_WARN_DELAY_HIGH;
  }
  if (aggressive != 0 && aggressive != 1) {
    aggressive = 0;
    result = AES_WARN_AGGRESSIVE;
  }
  if (highPass != 0 && highPass != 1) {
    highPass = 0;
    result = AES_WARN_HIGHPASS;
  }
  a->cngEnabled = 1;
  a->suppressionEnabled = 1;
  a->highPassEnabled = static_cast<int16_t>(highPass);
  a->aggressive = static_cast<int16_t>(aggressive);
  a->delay = static_cast<int16_t>(blocks);
  a->initDelay = static_cast<int16_t>(blocks);
  a->smoothedCardDelay = delayMs * 128;
  initCng(&a->cng);
  a->farSum = 400;
  a->nearSum = 400;
  std::fill(std::begin(a->farMin), std::end(a->farMin), 1600);
  std::fill(std::begin(a->nearMin), std::end(a->nearMin), 1600);
  a->farFloor = 400;
  a->nearFloor = 400;
  a->readPos = 0;
  placeWrite(a);
  a->initialised = 1;
  return result;
}

int SonraAEC_AddToFarEndBuffer(const int16_t* samples, SonraAEC* a, int wideband) {
  if (a == nullptr || samples == nullptr) return -1;
  if (a->initialised != 1) return AES_ERROR_NOT_INITIALISED;
  int result = 0;
  int16_t low[kFrame];
  const int16_t* x = samples;
  if (wideband == 1) {
    int32_t scratch[2 * kFrame];
    Resample_DownBy2Short(samples, 2 * kFrame, low, scratch, a->farSplit);
    x = low;
  } else if (wideband != 0) {
    result = AES_WARN_WIDEBAND;
  }

  int32_t smallest = INT32_MAX;
  for (int b = 0; b < kAesBlocksPerFrame; ++b) {
    const int32_t e = blockEnergy(x + b * kAesBlockSamples);
    a->farSum = Spl_AddWrapW32(Spl_SubWrapW32(a->farSum, a->farBlocks[0]), e);
    std::memmove(a->farBlocks, a->farBlocks + 1, sizeof(int32_t) * (kAesBlocksPerFrame - 1));
    a->farBlocks[kAesBlocksPerFrame - 1] = e;
    a->farRing[a->writePos] = a->farSum;
    smallest = std::min(smallest, a->farSum);
    advanceWrite(a);
    trackDrift(a);
  }
  pushMinimum(a->farMin, &a->farMinIndex, &a->farMinCount, smallest);
  const int64_t slot = *std::min_element(a->farMin, a->farMin + kAesMinSlots);
  const int64_t m = std::min<int64_t>(std::min<int64_t>(4 * slot, a->farMaxValue), 800000);
  a->farFloor = updateFloor(a->farFloor, m);
  return result;
}

int SonraAEC_Process(const int16_t* in, int16_t* out, SonraAEC* a, int wideband, int cardDelayMs) {
  if (a == nullptr || in == nullptr || out == nullptr) return -1;
  if (a->initialised != 1) return AES_ERROR_NOT_INITIALISED;
  if (wideband != 0 && wideband != 1) return AES_ERROR_BAD_WIDEBAND;
  const int n = wideband ? 2 * kFrame : kFrame;
  const int blockLen = wideband ? 2 * kAesBlockSamples : kAesBlockSamples;

  int16_t full[2 * kFrame];
  std::memcpy(full, in, sizeof(int16_t) * n);
  if (a->highPassEnabled) highPass(a, full, n);
  int16_t lowBuf[kFrame];
  const int16_t* low = full;
  if (wideband) {
    int32_t scratch[2 * kFrame];
    Resample_DownBy2Short(full, n, lowBuf, scratch, a->nearSplit);
    low = lowBuf;
  }

  updateDelay(a, cardDelayMs);

  bool allQuiet = true;
  int32_t smallest = INT32_MAX;
  for (int b = 0; b < kAesBlocksPerFrame; ++b) {
    const int32_t e = blockEnergy(low + b * kAesBlockSamples);
    a->nearSum = Spl_AddWrapW32(Spl_SubWrapW32(a->nearSum, a->nearBlocks[0]), e);
    std::memmove(a->nearBlocks, a->nearBlocks + 1, sizeof(int32_t) * (kAesBlocksPerFrame - 1));
    a->nearBlocks[kAesBlocksPerFrame - 1] = e;
    const int32_t nsum = a->nearSum;
    smallest = std::min(smallest, nsum);

    a->farMaxValue = pushMaximum(a->farMax, &a->farMaxIndex, a->farRing[a->readPos]);
    a->nearMaxValue = pushMaximum(a->nearMax, &a->nearMaxIndex, nsum);
    const int32_t f = farAroundRead(a);
    updateEchoIndex(a, nsum, f);
    if (a->echoIndex == kMaxIndex) a->echoState = 1;
    if (a->echoIndex == 0) a->echoState = 0;
    a->blockEcho[b] = a->echoState;
    if (!(int64_t{nsum} < 2 * int64_t{a->nearFloor} && a->echoState == 0)) allQuiet = false;
    advanceRead(a);
  }

  pushMinimum(a->nearMin, &a->nearMinIndex, &a->nearMinCount, smallest);
  const int64_t slot = *std::min_element(a->nearMin, a->nearMin + kAesMinSlots);
  a->nearFloor = updateFloor(a->nearFloor, std::min<int64_t>(4 * slot, 160000));

  if (allQuiet && a->nearSum < 160000) updateCng(&a->cng, low);

  for (int b = 0; b < kAesBlocksPerFrame; ++b) {
    int16_t* src = full + b * blockLen;
    int16_t* dst = out + b * blockLen;
    if ((a->blockEcho[b] == 1 || a->fade > 0) && a->suppressionEnabled) {
      int16_t noise[2 * kAesBlockSamples];
      if (a->cngEnabled)
        generateCng(&a->cng, noise, blockLen);
      else
        std::memset(noise, 0, sizeof(noise));
      for (int i = 0; i < blockLen; ++i) {
        if (a->blockEcho[b] == 1)
          a->fade = static_cast<int16_t>(std::min(a->fade + 1, kFadeSteps));
        else
          a->fade = static_cast<int16_t>(std::max(a->fade - 1, 0));
        const int32_t g = a->fade;
        if (g == kFadeSteps)
          dst[i] = noise[i];
        else
          dst[i] = static_cast<int16_t>((src[i] * (1024 - 32 * g) + noise[i] * 32 * g) >> 10);
      }
    } else {
      std::memcpy(dst, src, sizeof(int16_t) * blockLen);
    }
  }
  return 0;
}
