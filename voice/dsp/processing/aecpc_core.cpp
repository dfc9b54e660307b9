// Adaptive core of the AEC PC echo canceller: whitened NLMS filter, level tracking, residual suppression.
#include "voice/dsp/processing/aecpc_core.h"

#include <algorithm>
#include <iterator>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "voice/dsp/processing/comfort_noise.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int16_t kHighPass8k[5] = {3798, -7596, 3798, 7807, -3733};
constexpr int16_t kHighPass16k[5] = {4012, -8024, 4012, 8002, -3913};
constexpr int32_t kPowerInit = 2605;
constexpr int32_t kMinimumInit = 26054;
constexpr int32_t kLoudPower = 2605373;        // about -26 dBFS per sample
constexpr int32_t kQuietCap = 260537;
constexpr int32_t kSmallFar = 260538;
constexpr int32_t kVeryLoudFar = 260537280;
constexpr int32_t kStepInitial = 0x36666666;   // 0.425 in Q31
constexpr int32_t kStepSmall = 0x10000000;     // 0.125
constexpr int32_t kStepMedium = 0x15555532;    // 1/6
constexpr int32_t kStepLarge = 0x20000000;     // 0.25
constexpr int32_t kRegulariserPerTap = 26054;
constexpr int32_t kTapEnergyLimit = 66317770;  // Q21: diverged
constexpr int32_t kDoubleTalkStart = 52678076;
constexpr int32_t kCngInitialTarget = 5221;    // sqrt(26) << 10
constexpr int32_t kAdaptFloor = 64;            // per-sample reference energy below which nothing adapts
constexpr int kWhitenWindow = 80;
constexpr int64_t kWhitenRegulariser = int64_t{300000} << 8;
constexpr int kMaxOutGain = 512;
constexpr int kTrainMax = 1200;
constexpr int kYoungFilter = 480;              // adapted sub-blocks before cancellation is asked for
constexpr int kUnconfirmRun = 750;             // 1.5 s of a useless filter (sub-blocks per B): the echo has gone
constexpr int kCheckBlocks = 5;                // the tap snapshot is renewed every 50 ms (5 B blocks)
constexpr int32_t kFarActive = 2605;            // per-sample far-end power of a playing far end
constexpr int kNearRunLimit = 1500;            // 3 s of sub-blocks (per B) without a pause of the near talker

int64_t i64(int32_t v) { return v; }

// Shift that brings the larger of two non-negative values to a 16-bit mantissa.
int mantissaShift(int64_t a, int64_t b) {
  const uint64_t m = static_cast<uint64_t>(std::max<int64_t>(std::max<int64_t>(a, b), 0));
  return std::max(0, static_cast<int>(std::bit_width(m)) - 15);
}

// a > b, judged on 16-bit mantissas with a common shift.
bool mantissaAbove(int64_t a, int64_t b) {
  const int s = mantissaShift(a, b);
  return (a >> s) > (b >> s);
}

int blocksPer10ms(const AecPcCore* c) { return c->rate == 16000 ? 2 : 1; }

// Delay-line entry `age` sub-blocks old (0 = newest); ages beyond the line read its oldest entry.
int32_t delayedPower(const AecPcCore* c, int age) {
  age = std::clamp(age, 0, kAecPcDelayLine - 1);
  int idx = c->delayLineIndex - age;
  if (idx < 0) idx += kAecPcDelayLine;
  return c->delayLine[idx];
}

int delayedIndex(const AecPcCore* c) { return std::min(c->delayEstimate >> 4, 200); }

int32_t minOf(const int32_t* v, int n) { return *std::min_element(v, v + n); }

// Span of the filter at the last sample of sub-block i: history[start .. start + N).
int spanStart(const AecPcCore* c, int i) { return 64 - kAecPcSubBlock * i + c->delayEstimate; }

int64_t sumSquares(const int16_t* v, int n) {
  int64_t s = 0;
  for (int k = 0; k < n; ++k) s += int32_t{v[k]} * v[k];
  return s;
}

// Both sliding energies share one exponent; their mantissas stay at or below 2^30.
void normaliseEnergies(AecPcCore* c, int64_t far, int64_t ref) {
  int e = c->energyExp;
  while ((far > (int64_t{1} << 30) || ref > (int64_t{1} << 30))) {
    far >>= 1;
    ref >>= 1;
    ++e;
  }
  while (e > 0 && far <= (int64_t{1} << 29) && ref <= (int64_t{1} << 29)) {
    far <<= 1;
    ref <<= 1;
    --e;
  }
  c->farEnergy = static_cast<int32_t>(far);
  c->refEnergy = static_cast<int32_t>(ref);
  c->energyExp = static_cast<int16_t>(e);
}

void rewindowEnergies(AecPcCore* c, int i) {
  const int s = spanStart(c, i);
  c->energyExp = 0;
  normaliseEnergies(c, sumSquares(c->buf.history + s, c->taps), sumSquares(c->buf.reference + s, c->taps));
}

// Advances both sliding energies by one sub-block: the newest 16 samples in, the oldest 16 out, at the
// energies' exponent.
void slideEnergies(AecPcCore* c, int i) {
  const int s = spanStart(c, i);
  const int n = c->taps;
  const int e = c->energyExp;
  int64_t far = c->farEnergy + (sumSquares(c->buf.history + s, kAecPcSubBlock) >> e) -
                (sumSquares(c->buf.history + s + n, kAecPcSubBlock) >> e);
  int64_t ref = c->refEnergy + (sumSquares(c->buf.reference + s, kAecPcSubBlock) >> e) -
                (sumSquares(c->buf.reference + s + n, kAecPcSubBlock) >> e);
  // Truncation at a changing exponent can take a sum below 0: the previous value stands then.
  if (far < 0) far = c->farEnergy;
  if (ref < 0) ref = c->refEnergy;
  normaliseEnergies(c, far, ref);
}

// The reference energy as a plain number.
int64_t referenceEnergy(const AecPcCore* c) { return int64_t{c->refEnergy} << c->energyExp; }

void setTapCount(AecPcCore* c, int n, int i) {
  if (n > c->taps) std::fill(c->buf.taps + c->taps, c->buf.taps + n, int16_t{0});
  c->taps = static_cast<int16_t>(n);
  c->regulariser = n * kRegulariserPerTap;
  rewindowEnergies(c, i);
  AecPcCore_TapEnergies(c);
}

// Order-5 prediction of the newest far-end samples; whitens the 80 new samples of the reference.
void whiten(AecPcCore* c) {
  const int16_t* x = c->buf.history;
  int64_t R[kAecPcWhitenOrder + 1];
  for (int k = 0; k <= kAecPcWhitenOrder; ++k) {
    int64_t s = 0;
    for (int n = 0; n + k < kWhitenWindow; ++n) s += int32_t{x[n]} * x[n + k];
    R[k] = s;
  }
  R[0] += std::max<int64_t>(R[0] >> 6, 0) + kWhitenRegulariser;
  const int shift = std::max(0, static_cast<int>(std::bit_width(static_cast<uint64_t>(R[0]))) - 31);
  int32_t r32[kAecPcWhitenOrder + 1];
  for (int k = 0; k <= kAecPcWhitenOrder; ++k) r32[k] = static_cast<int32_t>(R[k] >> shift);
  int16_t k[kAecPcWhitenOrder];
  Spl_AutoCorrToRefl(r32, kAecPcWhitenOrder, k);

  int32_t err = 32767;
  for (int m = 0; m < kAecPcWhitenOrder; ++m) err = (err * (32767 - ((int32_t{k[m]} * k[m]) >> 15))) >> 15;
  const int32_t gain = 32768 / std::max(err, int32_t{1});
  c->whitenScale = static_cast<int16_t>((Spl_BitLength32(static_cast<uint32_t>(gain)) - 1) / 2);

  int32_t a[kAecPcWhitenOrder + 1] = {0};
  a[1] = k[0] >> 2;
  for (int m = 1; m < kAecPcWhitenOrder; ++m) {
    int32_t next[kAecPcWhitenOrder + 1];
    for (int j = 1; j <= m; ++j) next[j] = a[j] + ((a[m + 1 - j] * k[m]) >> 15);
    for (int j = 1; j <= m; ++j) a[j] = next[j];
    a[m + 1] = k[m] >> 2;
  }
  for (int j = 1; j <= kAecPcWhitenOrder; ++j) c->whitenLpc[j] = Spl_SatW16(a[j]);

  const int s = c->whitenScale;
  for (int n = 0; n < kAecPcBlock; ++n) {
    int32_t p = 4096;
    for (int j = 1; j <= kAecPcWhitenOrder; ++j) p += int32_t{c->whitenLpc[j]} * (x[n + j] >> s);
    c->buf.reference[n] = Spl_AddSatW16(static_cast<int16_t>(x[n] >> s), Spl_SatW16(p >> 13));
  }
}

// near2 > m2 * t / 2^21, with 16-bit mantissas of m2 and t.
bool doubleTalkSample(int32_t near2, int32_t m2, int32_t t) {
  const int n1 = Spl_NormW32(m2), n2 = Spl_NormW32(t);
  const int32_t product = (Spl_ShlWrapW32(m2, n1) >> 16) * (Spl_ShlWrapW32(t, n2) >> 16);
  const int shift = n1 + n2 - 11;
  if (shift >= 0) return near2 > (product >> shift);
  return (near2 >> 6) > ((int64_t{product} << -shift) >> 6);
}

// Far-end activity (double-talk) detector for sub-block i; sets the holds and feeds the peak history.
void detectDoubleTalk(AecPcCore* c, int i) {
  const int h = 128 * blocksPer10ms(c);
  const int start = c->delayEstimate >> 4;
  const int count = c->taps / 32;
  int32_t m = 0;
  for (int k = start; k < start + count && k < kAecPcPeakEntries; ++k) m = std::max<int32_t>(m, c->buf.peaks[k]);
  m = std::max(m, Spl_SqrtW32(c->noiseFloor));

  int dtSamples = 0;
  for (int j = 0; j < kAecPcSubBlock; ++j) {
    const int idx = 79 - kAecPcSubBlock * i + c->delayEstimate - j;
    m = std::max(m, std::abs(int32_t{c->buf.history[idx]}));
    const int32_t nearSample = c->nearBlock[kAecPcSubBlock * i + j];
    const bool dt = doubleTalkSample(nearSample * nearSample, m * m, c->dtThreshold);
    if (dt) {
      ++dtSamples;
      int hang = c->dtHangover;
      if (dtSamples == 1)
        hang = hang >= h / 4 ? std::max(hang, h) : std::max(hang, h / 4);
      else if (dtSamples <= 7)
        hang = std::max(hang, h);
      else
        hang = 2 * h;
      c->dtHangover = static_cast<int16_t>(hang);
    } else if (c->dtHangover > 0) {
      --c->dtHangover;
    }
  }
  if (c->dtHangover > 0) c->hold[i] = 1;
  if (dtSamples >= 1 && i >= 1) c->hold[i - 1] = 1;
  if (dtSamples >= 2 && i >= 2) c->hold[i - 2] = 1;

  // Newest first: shift the peak history and put this sub-block's far-end peak in front.
  const int len = std::min((c->filterLength + c->delayEstimate) / 16 + 1, kAecPcPeakEntries);
  std::memmove(c->buf.peaks + 1, c->buf.peaks, sizeof(int16_t) * static_cast<size_t>(len - 1));
  c->buf.peaks[0] = Spl_MaxAbsValueW16(c->buf.history + 64 - kAecPcSubBlock * i, kAecPcSubBlock);
}

// The microphone holds far more than the echo a confirmed filter predicts: the near end talks. (A
// changed path of about the same loss still adapts; the echo-gone case shows a small microphone.)
// Only a filter that has once removed 9 dB predicts the echo well enough to tell. A talker pauses between sentences; a microphone above that bound for seconds on end is an echo
// louder than the filter knows (a changed path), which must be learnt.
bool nearTalks(const AecPcCore* c) {
  return c->nearHang > 0 && c->echoConfirmed && c->echoProven && c->nearRun < kNearRunLimit * blocksPer10ms(c);
}

// Once per sub-block, after filtering: the microphone against the echo that the last filter proved good
// predicts, with what that filter leaves and 3 dB to spare. The near talker is taken to talk on for a
// while: adaptation waits for the next sub-blocks.
void detectNearTalk(AecPcCore* c, int i) {
  AecPcCore_Smooth(&c->priorEchoPower, c->priorEcho + kAecPcSubBlock * i, kAecPcSubBlock, c->powerShift);
  const int64_t p = c->priorEchoPower;
  const int64_t bound = p + p * c->cancelResidual / std::max<int64_t>(c->cancelNear, 1);
  if (c->nearPower > 2 * bound + 4 * i64(c->noiseFloor))
    c->nearHang = static_cast<int16_t>(32 * blocksPer10ms(c));
  else if (c->nearHang > 0)
    --c->nearHang;
  // Runs count while the far end plays; a pause of both says nothing.
  if (delayedPower(c, delayedIndex(c)) < kFarActive) return;
  if (c->nearHang == 0)
    c->nearRun = 0;
  else if (c->nearRun < INT16_MAX)
    ++c->nearRun;
}

// Whether sub-block i adapts; may grow the filter.
bool adaptationControl(AecPcCore* c, int i) {
  if (c->adaptCount > c->filterLength * 10 / 32 && c->targetTaps != c->filterLength) c->targetTaps = c->filterLength;
  if (c->targetTaps != c->taps) {
    setTapCount(c, c->targetTaps, i);
    c->lengthChanged = 1;
  }
  if (!c->adaptEnabled || c->hold[i] || c->blocks <= 1 || c->lengthChanged) return false;
  if (nearTalks(c)) return false;
  if (c->adaptCount > 1600 && c->echoPower < 6000) return false;
  if (referenceEnergy(c) < int64_t{c->energyThreshold} * c->taps) return false;
  // Past its first steps, a filter whose snapshot removes nothing of what the microphone hears is
  // learning the near-end talker (no echo, or double talk): it takes only every eighth step, enough to
  // find an echo that appears later.
  if (c->adaptCount > kYoungFilter && c->cancelResidual >= c->cancelNear) {
    if ((++c->slowAdaptCount & 7) != 0) return false;
  }
  return true;
}

// NLMS step and its exponent from the sliding reference energy.
void stepSize(const AecPcCore* c, int16_t* g16, int* stepExp) {
  const int eExp = c->energyExp;
  const int32_t eMant = c->refEnergy;
  const int32_t d = Spl_AddSatW32(eMant >> 1, c->regulariser >> std::min(eExp + 1, 31));
  const int nd = Spl_NormW32(d);
  const int16_t d16 = static_cast<int16_t>(Spl_ShlWrapW32(d, nd) >> 16);
  const int32_t g = Spl_DivW32ByW16(c->stepConstant, d16);
  const int ng = Spl_NormW32(g);
  *g16 = static_cast<int16_t>(Spl_ShlWrapW32(g, ng) >> 16);
  *stepExp = 14 - ng + nd - eExp;
}

void nlms(AecPcCore* c, int i, bool adapt) {
  int16_t g16 = 0;
  int stepExp = 0;
  if (adapt) stepSize(c, &g16, &stepExp);
  const int n = c->taps;
  int16_t* w = c->buf.taps;
  for (int j = 0; j < kAecPcSubBlock; ++j) {
    const int s = kAecPcSubBlock * i + j;
    const int base = 79 - s + c->delayEstimate;
    const int16_t* x = c->buf.history + base;
    int64_t acc = 0;  // up to 1024 products of 16 x 16 bits: wider than 32 bits
    for (int k = 0; k < n; ++k) acc += int32_t{w[k]} * x[k];
    int16_t y;
    if (acc < -((int64_t{1} << 30) - 1))
      y = -32768;
    else
      y = static_cast<int16_t>(std::min<int64_t>(acc, (int64_t{1} << 30) - 1) >> 15);
    const int16_t e = Spl_SubSatW16(c->nearBlock[s], y);
    int64_t check = 0;
    for (int k = 0; k < n; ++k) check += int32_t{c->checkTaps[k]} * x[k];
    c->checkError[s] = Spl_SubSatW16(c->nearBlock[s], Spl_SatW16(std::clamp<int64_t>(check, INT32_MIN, INT32_MAX) >> 15));
    int64_t prior = 0;
    for (int k = 0; k < n; ++k) prior += int32_t{c->priorTaps[k]} * x[k];
    c->priorEcho[s] = Spl_SatW16(std::clamp<int64_t>(prior, INT32_MIN, INT32_MAX) >> 15);
    c->echoBlock[s] = y;
    c->errorBlock[s] = e;
    if (!adapt || e == 0) continue;
    int64_t t = int64_t{e} * g16;
    if (stepExp >= 0) {
      t = stepExp >= 32 ? (t > 0 ? 0x7fff0000 : -0x7fff0000) : t * (int64_t{1} << stepExp);
      t = std::clamp<int64_t>(t, -0x7fff0000, 0x7fff0000);
    } else {
      t = -stepExp >= 63 ? (t < 0 ? -1 : 0) : t >> -stepExp;
    }
    int32_t u;
    if (std::llabs(t) >= 0x3fff4000)
      u = t > 0 ? 32767 : -32768;
    else
      u = static_cast<int32_t>((t + 16384) >> 15);
    const int16_t* r = c->buf.reference + base;
    for (int k = 0; k < n; ++k) w[k] = Spl_SatW16(w[k] + ((int32_t{r[k]} * u + 32768) >> 16));
  }
}

void stepConstantControl(AecPcCore* c, bool adapted) {
  if (!adapted) {
    c->stepRuns[0] = c->stepRuns[1] = c->stepRuns[2] = 0;
    return;
  }
  if (c->adaptCount <= c->filterLength * 15 / 16) return;
  int64_t x = c->residualPower;
  int64_t f4 = std::max<int64_t>(4 * i64(c->noiseFloor), 3);
  if ((c->noiseFloor >> 29) != 0) {
    x >>= 2;
    f4 >>= 2;
  }
  const int which = x < f4 ? 0 : (x < 4 * f4 ? 1 : 2);
  for (int k = 0; k < 3; ++k)
    if (k != which) c->stepRuns[k] = 0;
  if (++c->stepRuns[which] > 10) {
    static constexpr int32_t kSteps[3] = {kStepSmall, kStepMedium, kStepLarge};
    c->stepConstant = kSteps[which];
    c->stepRuns[which] = 0;
  }
}

void backupAndDivergence(AecPcCore* c, int i, bool adapted) {
  if (!adapted) return;
  int64_t q = c->nearPower;
  int64_t x = c->residualPower;
  int64_t f = c->noiseFloor;
  int64_t loud = kLoudPower;
  if ((f >> 29) != 0) {
    q >>= 2;
    x >>= 2;
    f >>= 2;
    loud >>= 2;
  }
  if (q > std::min<int64_t>(4 * f, loud)) {
    if (x < q * 5169 / 8192) {
      if (c->goodCount < 32767) ++c->goodCount;
    } else if (q < x) {
      c->goodCount = 0;
    }
    const int limit = c->adaptCount > 1600 ? c->filterLength / 2 : c->filterLength / 4;
    if (c->goodCount > limit) {
      std::memcpy(c->buf.backupTaps, c->buf.taps, sizeof(int16_t) * static_cast<size_t>(c->taps));
      c->backupDelay = c->delayEstimate;
      c->backupTapsCount = c->taps;
      c->backupValid = 1;
      c->goodCount = 0;
    }
  }
  bool divergedNow = false;
  bool divergedSlow = false;
  if (q > std::min<int64_t>((f * 32535) >> 12, loud)) {
    if (x > q * 20431 / 1024) {
      divergedNow = true;
    } else if (c->adaptCount > 480) {
      if (x > q * 20528 / 4096) {
        if (++c->slowDivergeRun > 10) {
          divergedSlow = true;
          c->slowDivergeRun = 0;
        }
      } else {
        c->slowDivergeRun = 0;
      }
    }
  }
  if (c->tapEnergy >= kTapEnergyLimit || divergedNow || (divergedSlow && c->adaptCount <= 960)) {
    c->resetRequest = 1;
  } else if (divergedSlow && c->backupValid) {
    std::memcpy(c->buf.taps, c->buf.backupTaps, sizeof(int16_t) * static_cast<size_t>(c->backupTapsCount));
    c->delayEstimate = c->backupDelay;
    c->taps = c->backupTapsCount;
    c->targetTaps = c->taps;
    setTapCount(c, c->taps, i);
    ++c->restoreCount;
  }
  // Double-talk threshold from the filter's energy: stricter as the filter matures.
  const int32_t e = c->tapEnergy;
  if (c->adaptCount > 1600) {
    c->dtThreshold = static_cast<int32_t>(std::min<int64_t>(6 * i64(e), INT32_MAX));
  } else if (c->adaptCount > 480) {
    c->dtThreshold = static_cast<int32_t>(std::min<int64_t>(4 * i64(e), INT32_MAX));
    c->dtStageReached = 1;
  } else {
    c->dtThreshold = c->dtStageReached ? static_cast<int32_t>(std::min<int64_t>(2 * i64(e), INT32_MAX))
                                       : kDoubleTalkStart;
  }
}

// Follows the power of the near end and of the snapshot's error while the delayed far end plays,
// slowly enough that a moment of double talk does not decide it. The confirmation holds through
// double talk (the error is then the near end, still below the microphone) and through a moment of
// misfit, and is lost when the filter has added more than it removed for seconds.
void trackCancellation(AecPcCore* c, int i) {
  const int64_t p = delayedPower(c, delayedIndex(c));
  if (p <= 4 * i64(c->farFloor) || p < kFarActive) return;
  // The near talker dominates the microphone: nothing to learn about the echo here.
  if (c->hold[i] || nearTalks(c)) return;
  const int first = kAecPcSubBlock * i;
  const int64_t nearMean = sumSquares(c->nearBlock + first, kAecPcSubBlock) / kAecPcSubBlock;
  const int64_t checkMean = sumSquares(c->checkError + first, kAecPcSubBlock) / kAecPcSubBlock;
  const int k = 5 + blocksPer10ms(c);  // about 130 ms at either rate
  c->cancelNear += (nearMean - c->cancelNear) >> k;
  c->cancelResidual += (checkMean - c->cancelResidual) >> k;
  if (8 * c->cancelResidual < c->cancelNear) c->echoProven = 1;
  if (2 * c->cancelResidual < c->cancelNear) {
    c->echoConfirmed = 1;
    c->unconfirmRun = 0;
  } else if (8 * c->cancelResidual >= 9 * c->cancelNear ||
             (!c->echoProven && 8 * c->cancelResidual >= 7 * c->cancelNear)) {
    // Adding to what the microphone hears: a delay jump or a changed path spoils the filter for a
    // moment; an echo that has gone (a headset plugged in) leaves it so for seconds. A near talker
    // over a good filter never looks like this: the error is then the near end, below the microphone.
    // A filter that removes nothing counts too unless it has proven good enough to tell (and skip) a
    // near talker: after a reset, with no echo left, it would otherwise be kept for ever.
    if (c->unconfirmRun < INT16_MAX) ++c->unconfirmRun;
    if (c->unconfirmRun > kUnconfirmRun * blocksPer10ms(c)) c->echoConfirmed = c->echoProven = 0;
  }
}

// The filter has shown that it removes an echo. Until then an echo estimate is no reason to output
// the error or to suppress: it may be the near-end talker the filter has wrongly learnt.
bool filterCancels(const AecPcCore* c) { return c->echoConfirmed != 0; }

void residualSuppression(AecPcCore* c, int i) {
  const int B = blocksPer10ms(c);
  const int64_t S = (i64(c->echoPower) >> 4) + (i64(c->noiseFloor) >> 4);
  const int64_t q = c->nearPower >> 2;
  int state = c->suppState;
  int cnt = c->suppCounter;
  const int64_t f1 = c->suppFactor[0], f2 = c->suppFactor[1], f3 = c->suppFactor[2], f4 = c->suppFactor[3];
  switch (state) {
    case 1:
      if (q > f1 * S) {
        if (cnt > c->suppLimit[0]) {
          state = 2;
          cnt = 10;
        } else if (q > 4 * f1 * S && q > 26054) {
          cnt += 5;
        } else if (q > 2 * f1 * S && q > 26054) {
          cnt += 2;
        } else {
          cnt += 1;
        }
      } else {
        cnt = std::max(cnt - 1, 0);
      }
      break;
    case 2:
      ++cnt;
      if (q > f2 * S) {
        if (cnt > c->suppLimit[2]) {
          state = 3;
          cnt = 0;
        }
      } else if (cnt < 1) {
        state = 1;
        cnt = 0;
      } else {
        cnt -= 2;
      }
      break;
    case 3:
      ++cnt;
      if (q >= f3 * S) {
        cnt = 0;
      } else if (cnt > c->suppLimit[1]) {
        state = 4;
        cnt = 0;
      }
      break;
    default:  // 4
      if (q > f4 * S) {
        cnt -= 10;
        if (cnt < 1) {
          state = 3;
          cnt = 0;
        }
      } else if (q > (f4 / 2) * S) {
        cnt = std::max(cnt - 1, 0);
      } else if (++cnt > c->suppLimit[3]) {
        state = 1;
        cnt = 0;
      }
      break;
  }
  const int32_t delayedFar = delayedPower(c, delayedIndex(c));
  if (delayedFar > kVeryLoudFar) {
    state = 1;
    cnt = 0;
  }
  c->suppCounter = static_cast<int16_t>(std::clamp(cnt, -32768, 32762));

  c->fullSuppress[i] = state == 1 ? 1 : 0;
  bool sup = false;
  if (state == 1) {
    const int64_t f = c->noiseFloor;
    const int64_t pe = c->echoPower;
    if (c->outPower > f * 11 / 32 && std::min<int64_t>(f, 26054) < pe && filterCancels(c)) {
      sup = true;
      c->suppHold = static_cast<int16_t>(50 * B);
    }
    // Near end far above every recent far-end power: near-end speech.
    const int entries = std::min((240 * B + c->delayEstimate) >> 4, 100);
    int32_t farMax = 0;
    for (int k = 0; k < entries; ++k) farMax = std::max(farMax, delayedPower(c, k));
    if (mantissaAbove((i64(c->nearPower) >> 6) * 64, 100 * i64(farMax)) && std::min<int64_t>(f, 26054) < pe) {
      state = 3;
      c->suppCounter = 0;
    }
  }
  if (!sup && c->suppHold > 0) {
    sup = true;
    --c->suppHold;
  }
  c->suppress[i] = sup ? 1 : 0;
  c->suppState = static_cast<int16_t>(state);
}

// Comfort-noise model from quiet output (80 samples at 8 kHz, 160 at 16 kHz).
void analyseNoise(AecPcCore* c, const int16_t* x, int n) {
  int32_t r[kAecPcCngOrder + 1];
  int scale = 0;
  Spl_AutoCorrScaled(x, n, kAecPcCngOrder, r, &scale);
  if (r[0] == 0) r[0] = 1;
  int16_t k[kAecPcCngOrder];
  Spl_AutoCorrToRefl(r, kAecPcCngOrder, k);
  int32_t err = 32767;
  for (int m = 0; m < kAecPcCngOrder; ++m) {
    err = (err * (32767 - ((int32_t{k[m]} * k[m]) >> 15))) >> 15;
    c->cngRefl[m] = Spl_AddSatW16(static_cast<int16_t>((c->cngReflWeight * int32_t{c->cngRefl[m]}) >> 5),
                                  static_cast<int16_t>(k[m] >> 5));
  }
  Spl_ReflToLpc(c->cngRefl, kAecPcCngOrder, c->cngLpc);
  const uint64_t power = ((static_cast<uint64_t>(static_cast<uint32_t>(r[0])) << scale) * static_cast<uint32_t>(err) >> 15) /
                         static_cast<uint64_t>(n);
  const int32_t l = static_cast<int32_t>(std::min<uint64_t>(Spl_SqrtFloorU64(power), 32767));
  int32_t scaled;
  if (c->cngMode == 1)
    scaled = l / 4;
  else if (c->cngMode == 2)
    scaled = 3 * (l / 4);
  else
    scaled = l / 32;
  if (c->cngCount < 20) {
    c->cngLevelSum += l;
    if (++c->cngCount == 20) c->cngTarget = ((3 * c->cngLevelSum / 20) & 0x3fffff0) << 6;
  } else {
    c->cngTarget = c->cngTarget - (c->cngTarget >> 6) + 16 * scaled;
  }
}

void generateNoise(AecPcCore* c, int16_t* out, int n) {
  ComfortNoise_Generate(&c->cngSeed, c->cngTarget, c->cngLpc, kAecPcCngOrder, c->cngStateHigh, c->cngStateLow, out,
                        n);
}

// Minimum statistics and the two floors, once per sub-block.
void updateFloors(AecPcCore* c, int i) {
  const int B = blocksPer10ms(c);
  if (c->blocks >= 81) {
    AecPcCore_TrackMinimum(c->farMinima, &c->farMinIndex, &c->farMinCount, c->farPower, c->minWindowLong);
  } else if (c->blocks >= 6 && c->farPower < kLoudPower) {
    AecPcCore_TrackMinimum(c->farMinima, &c->farMinIndex, &c->farMinCount, c->farPower, c->minWindowShort);
  }
  if (c->blocks >= 21) {
    if (!c->hold[i])
      AecPcCore_TrackMinimum(c->outMinima, &c->outMinIndex, &c->outMinCount, c->outPower, c->minWindowLong);
  } else if (c->blocks >= 6 && c->outPower < kLoudPower) {
    AecPcCore_TrackMinimum(c->outMinima, &c->outMinIndex, &c->outMinCount, c->outPower, 10 * B);
  }
  const int kf = c->blocks <= 100 ? c->floorShift[0] : c->floorShift[1];
  const int64_t targetF = (i64(minOf(c->outMinima, kAecPcMinWindows)) * 17203) >> 13;
  c->noiseFloor = static_cast<int32_t>(std::clamp<int64_t>(
      c->noiseFloor + (((int64_t{1} << (kf - 1)) - c->noiseFloor + targetF) >> kf), 1, INT32_MAX));
  const int kr = c->blocks <= 700 ? c->farFloorShift[0] : c->farFloorShift[1];
  const int64_t targetR = (i64(minOf(c->farMinima, kAecPcMinWindows)) * 9011) >> 13;
  c->farFloor = static_cast<int32_t>(std::clamp<int64_t>(
      c->farFloor + (((int64_t{1} << (kr - 1)) - c->farFloor + targetR) >> kr), 1, INT32_MAX));
}

void pushDelayLine(AecPcCore* c, int32_t v) {
  c->delayLineIndex = static_cast<int16_t>((c->delayLineIndex + 1) % kAecPcDelayLine);
  c->delayLine[c->delayLineIndex] = v;
}

void smoothEcho(AecPcCore* c, const int16_t* y) {
  int32_t p = c->echoPower;
  for (int j = 0; j < kAecPcSubBlock; ++j) {
    const int32_t r = p > 8 ? 8 : 0;
    p += (int32_t{y[j]} * y[j] - p + r) >> 5;
  }
  c->echoPower = std::max(p, int32_t{1});
}

void keepFloorOne(int32_t* p) {
  if (*p < 1) *p = 1;
}

bool biggerFloorBits(int32_t f) { return (f >> 30) != 0; }

}  // namespace

void AecPcCore_HighPass(int16_t* x, const int16_t* coef, int16_t* outHigh, int16_t* outLow, int16_t* in, int n) {
  for (int i = 0; i < n; ++i) {
    int64_t o = int64_t{coef[0]} * x[i] + int64_t{coef[1]} * in[0] + int64_t{coef[2]} * in[1];
    const int64_t fb1 = ((int64_t{outLow[0]} * coef[3]) >> 15) + int64_t{outHigh[0]} * coef[3];
    const int64_t fb2 = ((int64_t{outLow[1]} * coef[4]) >> 15) + int64_t{outHigh[1]} * coef[4];
    o += 2 * (fb1 + fb2);
    const int64_t lim = std::clamp<int64_t>(o + 2048, -(int64_t{1} << 27), (int64_t{1} << 27) - 1);
    o = lim - 2048;
    in[1] = in[0];
    in[0] = x[i];
    outHigh[1] = outHigh[0];
    outLow[1] = outLow[0];
    outHigh[0] = static_cast<int16_t>(o >> 13);
    outLow[0] = static_cast<int16_t>((o & 0x1fff) * 4);
    x[i] = static_cast<int16_t>(lim >> 12);
  }
}

void AecPcCore_Smooth(int32_t* power, const int16_t* x, int n, int k) {
  int32_t p = *power;
  const int32_t half = int32_t{1} << (k - 1);
  for (int j = 0; j < n; ++j) {
    const int32_t r = p > half ? half : 0;
    p += static_cast<int32_t>((i64(int32_t{x[j]} * x[j]) - p + r) >> k);
  }
  *power = p;
}

int32_t AecPcCore_SmoothAsym(int32_t stored, int32_t value, int16_t rise, int16_t fall) {
  const int64_t w = value > stored ? rise : fall;
  const int s = mantissaShift(std::llabs(i64(stored)), std::llabs(i64(value)));
  const int64_t step = ((((i64(value) >> s) - (i64(stored) >> s)) * w + 16384) >> 15) * (int64_t{1} << s);
  return static_cast<int32_t>(std::clamp<int64_t>(stored + step, INT32_MIN, INT32_MAX));
}

int32_t AecPcCore_TrackMinimum(int32_t* ring, int16_t* index, int16_t* count, int32_t value, int windowLength) {
  if (windowLength > 0) {
    if (*count == 0)
      ring[*index] = value;
    else
      ring[*index] = std::min(ring[*index], value);
    if (++*count >= windowLength) {
      *count = 0;
      *index = static_cast<int16_t>((*index + 1) % kAecPcMinWindows);
    }
  }
  return minOf(ring, kAecPcMinWindows);
}

void AecPcCore_TapEnergies(AecPcCore* c) {
  const int16_t* w = c->buf.taps;
  const int n = c->taps;
  int64_t head = 0;
  int64_t tail = 0;
  int64_t rest = 0;
  for (int k = 0; k < n; ++k) {
    const int64_t e = (int32_t{w[k]} * w[k]) >> 9;
    if (k < 32)
      head += e;
    else if (k >= n - 32)
      tail += e;
    else
      rest += e;
  }
  auto sat = [](int64_t v) { return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX)); };
  c->tapEnergyHead = sat(head);
  c->tapEnergyTail = sat(tail);
  c->tapEnergyRest = sat(rest);
  c->tapEnergy = sat(head + tail + rest);
}

void AecPcCore_SetModeParams(AecPcCore* c) {
  const int B = blocksPer10ms(c);
  if (c->modeSelector == 0) {
    c->stepCount = 4;
    c->suppLimit[0] = static_cast<int16_t>(B << 4);
  } else {
    c->stepCount = 6;
    c->suppLimit[0] = static_cast<int16_t>(B << 5);
  }
  c->suppLimit[1] = static_cast<int16_t>(B << 5);
  c->suppLimit[2] = static_cast<int16_t>(25 * B);
  c->suppLimit[3] = static_cast<int16_t>(100 * B);
}

int AecPcCore_Init(AecPcCore* c, int filterLength, int option, int mode) {
  if (c == nullptr) return -1;
  if (filterLength != 128 && filterLength != 256 && filterLength != 512 && filterLength != 1024) return -1;
  const AecPcCoreBuffers buf = c->buf;
  if (buf.taps == nullptr || buf.backupTaps == nullptr || buf.history == nullptr || buf.reference == nullptr ||
      buf.peaks == nullptr)
    return -1;
  const int16_t rate = c->rate == 16000 ? 16000 : 8000;
  std::memset(c, 0, sizeof(*c));
  c->buf = buf;
  c->rate = rate;
  std::memset(buf.taps, 0, sizeof(int16_t) * kAecPcMaxTaps);
  std::memset(buf.backupTaps, 0, sizeof(int16_t) * kAecPcMaxTaps);
  std::memset(buf.history, 0, sizeof(int16_t) * kAecPcHistory);
  std::memset(buf.reference, 0, sizeof(int16_t) * kAecPcReference);
  std::memset(buf.peaks, 0, sizeof(int16_t) * kAecPcPeakEntries);

  const int B = blocksPer10ms(c);
  c->blocksPer10ms = static_cast<int16_t>(B);
  c->adaptEnabled = 1;
  c->suppressEnabled = 1;
  c->cngEnabled = 1;
  c->filterLength = static_cast<int16_t>(filterLength);
  c->highPassEnabled = 1;
  c->whitenEnabled = 1;
  c->option = static_cast<int16_t>(option);
  c->taps = static_cast<int16_t>(filterLength / 2);
  c->targetTaps = c->taps;
  c->regulariser = c->taps * kRegulariserPerTap;

  c->farPower = c->nearPower = c->residualPower = c->echoPower = c->outPower = kPowerInit;
  c->slowResidual = kPowerInit;
  std::fill(std::begin(c->delayLine), std::end(c->delayLine), kPowerInit);
  std::fill(std::begin(c->farMinima), std::end(c->farMinima), kMinimumInit);
  std::fill(std::begin(c->outMinima), std::end(c->outMinima), kMinimumInit);
  c->farFloor = kMinimumInit;
  c->noiseFloor = kMinimumInit;

  c->active = 1;
  int result = 0;
  if (mode == 0 || mode == 1) {
    c->mode = static_cast<int16_t>(mode);
  } else {
    c->mode = 0;
    result = 65535;
  }
  std::memcpy(c->hpCoef, rate == 16000 ? kHighPass16k : kHighPass8k, sizeof(c->hpCoef));

  c->dtThreshold = kDoubleTalkStart;
  c->stepConstant = kStepInitial;

  c->suppState = 2;
  if (filterLength > 511) {
    const int16_t f[4] = {10, 8, 8, 16};
    std::memcpy(c->suppFactor, f, sizeof(f));
  } else if (rate == 8000) {
    const int16_t f[4] = {10, 8, 9, 10};
    std::memcpy(c->suppFactor, f, sizeof(f));
  } else {
    const int16_t f[4] = {8, 7, 8, 7};
    std::memcpy(c->suppFactor, f, sizeof(f));
  }
  c->modeSelector = 1;
  AecPcCore_SetModeParams(c);

  c->cngSeed = 777;
  c->cngTarget = kCngInitialTarget;
  c->cngLpc[0] = 4096;
  c->cngMode = 2;
  c->cngReflWeight = 31;
  c->cngGainWeight = 63;

  c->powerShift = static_cast<int16_t>(B == 1 ? 5 : 7);
  c->floorShift[0] = static_cast<int16_t>(B == 1 ? 4 : 5);
  c->floorShift[1] = static_cast<int16_t>(B == 1 ? 6 : 7);
  c->farFloorShift[0] = static_cast<int16_t>(B == 1 ? 4 : 5);
  c->farFloorShift[1] = static_cast<int16_t>(B == 1 ? 9 : 10);
  c->slowRise = static_cast<int16_t>(16 >> (B - 1));
  c->slowFall = static_cast<int16_t>(328 >> (B - 1));
  c->minWindowShort = static_cast<int16_t>(B);
  c->minWindowLong = static_cast<int16_t>(10 * B);
  c->decayWeight = static_cast<int16_t>(2 >> (B - 1));
  c->delayLineLive = static_cast<int16_t>(50 * B);
  c->energyThreshold = kAdaptFloor;

  c->initMarker = kAecPcInitMarker;
  return result;
}

void AecPcCore_Reinit(AecPcCore* c, int option, int mode) {
  const int16_t delay = c->delayEstimate;
  const int16_t adapt = c->adaptEnabled, supp = c->suppressEnabled, cng = c->cngEnabled;
  const int16_t outputMode = c->outputMode, cngMode = c->cngMode, selector = c->modeSelector;
  const int64_t cancelNear = c->cancelNear;
  // The new filter has confirmed nothing: its estimate is whatever it learns first, the near talker
  // too, so it neither outputs its error nor suppresses until it has removed an echo itself.
  AecPcCore_Init(c, c->filterLength ? c->filterLength : 512, option, mode);
  // Its snapshot has removed nothing yet.
  c->cancelNear = cancelNear;
  c->cancelResidual = cancelNear;
  c->delayEstimate = delay;
  c->adaptEnabled = adapt;
  c->suppressEnabled = supp;
  c->cngEnabled = cng;
  c->outputMode = outputMode;
  c->cngMode = cngMode;
  c->modeSelector = selector;
  AecPcCore_SetModeParams(c);
}

bool AecPcCore_NearTalks(const AecPcCore* c) { return nearTalks(c); }

bool AecPcCore_Cancelling(const AecPcCore* c) { return c->cancelNear > 2 * c->cancelResidual; }

void AecPcCore_SetDelay(AecPcCore* c, int offset) {
  offset = std::clamp(offset, 0, kAecPcMaxDelay);
  const int delta = offset - c->delayEstimate;
  if (delta == 0) return;
  const int n = c->taps;
  // The snapshot moves with the taps, or it would judge the filter on a misaligned copy.
  for (int16_t* w : {c->buf.taps, c->checkTaps, c->priorTaps}) {
    if (delta > 0) {
      for (int k = 0; k < n; ++k) w[k] = k + delta < n ? w[k + delta] : 0;
    } else {
      for (int k = n - 1; k >= 0; --k) w[k] = k + delta >= 0 ? w[k + delta] : 0;
    }
  }
  c->delayEstimate = static_cast<int16_t>(offset);
  // Taps moved out of the window: the filter has to prove itself again before it tells a near talker.
  c->echoProven = 0;
  rewindowEnergies(c, kAecPcSubBlocks - 1);
  AecPcCore_TapEnergies(c);
}

void AecPcCore_TrainingControl(AecPcCore* c) {
  const int a = c->active ? 5 : 3;
  const int b = c->active ? 2 : 6;
  const int64_t p = delayedPower(c, delayedIndex(c));
  const int64_t q = c->nearPower;
  const int64_t f = c->noiseFloor;
  const bool small = p < kSmallFar;
  const bool strong = q <= 4294967 ? p > 500 * q : q < (p >> 16) * 131;
  int cnt = c->trainCounter;
  if (strong && !small) {
    if (3 * (f >> 2) < (q >> 2))
      cnt -= a;
    else if ((q >> 2) <= 2 * (f >> 2))
      cnt += 5;
  } else if ((q <= 4294967 ? p <= 100 * q : (p >> 14) * 164 <= q) || small) {
    if (c->suppState == 1) {
      if (!small && (p < q || (f >> 4) * 10 < (q >> 4)))
        cnt -= 2 * a;
      else if ((q >> 4) * 10 <= (p >> 4) || small)
        ;  // stays
      else
        cnt -= 1;
    }
  } else {
    if (3 * (f >> 2) < (q >> 2))
      cnt -= a;
    else if ((q >> 2) <= 2 * (f >> 2))
      cnt += b;
    else
      cnt -= 1;
  }
  c->trainCounter = static_cast<int16_t>(std::clamp(cnt, 0, kTrainMax));
  if (c->active && c->mode == 1 && c->trainCounter > 1000 && c->blocks > 1500) {
    c->active = 0;
    c->suppState = 1;
  } else if (!c->active && c->trainCounter == 0) {
    AecPcCore_Reinit(c, 0, 1);
    c->active = 1;
    c->trainCounter = 0;
  }
}

void AecPcCore_Process(const int16_t* farEnd, const int16_t* nearEnd, int16_t* out, AecPcCore* c) {
  if (c == nullptr || farEnd == nullptr || nearEnd == nullptr || out == nullptr) return;
  if (c->initMarker != kAecPcInitMarker || c->buf.taps == nullptr || c->buf.history == nullptr) {
    if (out != nearEnd) std::memmove(out, nearEnd, sizeof(int16_t) * kAecPcBlock);
    return;
  }
  ++c->blocks;
  std::memcpy(c->nearBlock, nearEnd, sizeof(c->nearBlock));
  if (c->highPassEnabled) AecPcCore_HighPass(c->nearBlock, c->hpCoef, c->hpOutHigh, c->hpOutLow, c->hpIn, kAecPcBlock);
  const int B = blocksPer10ms(c);

  if (!c->active && c->mode == 1) {
    // Bypass: follow the levels only.
    for (int i = 0; i < kAecPcSubBlocks; ++i) {
      AecPcCore_Smooth(&c->farPower, farEnd + kAecPcSubBlock * i, kAecPcSubBlock, c->powerShift);
      AecPcCore_Smooth(&c->nearPower, c->nearBlock + kAecPcSubBlock * i, kAecPcSubBlock, c->powerShift);
      AecPcCore_Smooth(&c->outPower, c->nearBlock + kAecPcSubBlock * i, kAecPcSubBlock, c->powerShift);
      keepFloorOne(&c->farPower);
      keepFloorOne(&c->nearPower);
      keepFloorOne(&c->outPower);
      pushDelayLine(c, c->farPower);
      updateFloors(c, i);
    }
    std::memcpy(out, c->nearBlock, sizeof(c->nearBlock));
    AecPcCore_TrainingControl(c);
    return;
  }

  // Far-end history, newest first.
  std::memmove(c->buf.history + kAecPcBlock, c->buf.history, sizeof(int16_t) * (kAecPcHistory - kAecPcBlock));
  std::memmove(c->buf.reference + kAecPcBlock, c->buf.reference,
               sizeof(int16_t) * (kAecPcReference - kAecPcBlock));
  for (int n = 0; n < kAecPcBlock; ++n) c->buf.history[kAecPcBlock - 1 - n] = farEnd[n];
  if (c->whitenEnabled)
    whiten(c);
  else
    std::memcpy(c->buf.reference, c->buf.history, sizeof(int16_t) * kAecPcBlock);
  if (c->blocks == 1) rewindowEnergies(c, -1);

  if (++c->checkAge >= kCheckBlocks * B) {
    std::memcpy(c->priorTaps, c->checkTaps, sizeof(c->checkTaps));
    std::memcpy(c->checkTaps, c->buf.taps, sizeof(c->checkTaps));
    c->checkAge = 0;
  }
  for (int i = 0; i < kAecPcSubBlocks; ++i) c->hold[i] = 0;
  for (int i = 0; i < kAecPcSubBlocks; ++i) detectDoubleTalk(c, i);

  c->lengthChanged = 0;
  bool allQuiet = true;
  int echoSubBlocks = 0;
  for (int i = 0; i < kAecPcSubBlocks; ++i) {
    const int first = kAecPcSubBlock * i;
    c->subBlock = static_cast<int16_t>(i);
    c->firstSample = static_cast<int16_t>(first);
    c->lastSample = static_cast<int16_t>(first + kAecPcSubBlock - 1);
    slideEnergies(c, i);
    const bool adapt = adaptationControl(c, i);
    c->adaptNow = adapt ? 1 : 0;

    AecPcCore_Smooth(&c->farPower, farEnd + first, kAecPcSubBlock, c->powerShift);
    AecPcCore_Smooth(&c->nearPower, c->nearBlock + first, kAecPcSubBlock, c->powerShift);
    keepFloorOne(&c->farPower);
    keepFloorOne(&c->nearPower);
    pushDelayLine(c, c->farPower);

    nlms(c, i, adapt);
    detectNearTalk(c, i);
    if (adapt && c->adaptCount < 32767) ++c->adaptCount;
    AecPcCore_TapEnergies(c);

    AecPcCore_Smooth(&c->residualPower, c->errorBlock + first, kAecPcSubBlock, c->powerShift);
    keepFloorOne(&c->residualPower);
    smoothEcho(c, c->echoBlock + first);
    if (!c->hold[i]) c->slowResidual = AecPcCore_SmoothAsym(c->slowResidual, c->residualPower, c->slowRise, c->slowFall);

    // Echo check and output choice.
    int64_t q = c->nearPower, x = c->residualPower, f2 = 2 * i64(c->noiseFloor), loud = kLoudPower;
    if (biggerFloorBits(c->noiseFloor)) {
      q >>= 1;
      x >>= 1;
      f2 >>= 1;
      loud >>= 1;
    }
    const bool echo = q > std::min<int64_t>(f2, loud) && x < q && filterCancels(c);
    c->showsEcho[i] = echo ? 1 : 0;
    if (echo) ++echoSubBlocks;
    for (int j = 0; j < kAecPcSubBlock; ++j) {
      const int s = first + j;
      int16_t v;
      if (c->outputMode == 1) {
        v = c->errorBlock[s];
      } else if (c->outputMode == 2) {
        v = c->nearBlock[s];
      } else if (B == 1) {
        v = echo ? c->errorBlock[s] : c->nearBlock[s];
      } else {
        c->crossfade = static_cast<int16_t>(echo ? std::min(c->crossfade + 1, 32) : std::max(c->crossfade - 1, 0));
        const int32_t cf = c->crossfade;
        v = static_cast<int16_t>((c->nearBlock[s] * (32 - cf) + c->errorBlock[s] * cf + 16) >> 5);
      }
      c->outBlock[s] = v;
    }
    AecPcCore_Smooth(&c->outPower, c->outBlock + first, kAecPcSubBlock, c->powerShift);
    keepFloorOne(&c->outPower);
    updateFloors(c, i);

    stepConstantControl(c, adapt);
    backupAndDivergence(c, i, adapt);
    trackCancellation(c, i);
    if (c->suppressEnabled) {
      residualSuppression(c, i);
    } else {
      c->suppress[i] = 0;
      c->fullSuppress[i] = 0;
    }

    int64_t qq = c->nearPower, ff = 2 * i64(c->noiseFloor), cap = kQuietCap;
    if (biggerFloorBits(c->noiseFloor)) {
      qq >>= 1;
      ff >>= 1;
      cap >>= 1;
    }
    if (c->suppress[i] != 0 || qq >= std::min(ff, cap)) allQuiet = false;
  }
  c->lastEchoActivity = static_cast<int16_t>(echoSubBlocks);

  // Comfort-noise model from quiet output.
  if (allQuiet) {
    if (B == 1) {
      analyseNoise(c, c->outBlock, kAecPcBlock);
    } else if (c->cngBlockHalf == 0) {
      std::memcpy(c->cngBlock, c->outBlock, sizeof(c->outBlock));
      c->cngBlockHalf = 1;
    } else {
      std::memcpy(c->cngBlock + kAecPcBlock, c->outBlock, sizeof(c->outBlock));
      c->cngBlockHalf = 0;
      analyseNoise(c, c->cngBlock, 2 * kAecPcBlock);
    }
  } else {
    c->cngBlockHalf = 0;
  }

  // Output stage: the gain moves by 4 per sample towards the sub-block's target.
  for (int i = 0; i < kAecPcSubBlocks; ++i) {
    const int first = kAecPcSubBlock * i;
    if (!c->suppressEnabled) {
      std::memcpy(out + first, c->outBlock + first, sizeof(int16_t) * kAecPcSubBlock);
      continue;
    }
    const int target = c->suppress[i] == 0 ? 0 : (c->fullSuppress[i] ? kMaxOutGain : kMaxOutGain / 2);
    int16_t noise[kAecPcSubBlock] = {0};
    if (c->cngEnabled) generateNoise(c, noise, kAecPcSubBlock);
    for (int j = 0; j < kAecPcSubBlock; ++j) {
      int g = c->outGain;
      g = g < target ? std::min(g + 4, target) : std::max(g - 4, target);
      c->outGain = static_cast<int16_t>(g);
      const int32_t e = c->outBlock[first + j];
      int32_t v;
      if (c->cngEnabled)
        v = (noise[j] * g + 256 + (kMaxOutGain - g) * e) >> 9;
      else
        v = ((kMaxOutGain - g) * e + 256) >> 9;
      out[first + j] = Spl_SatW16(v);
    }
  }

  AecPcCore_TrainingControl(c);
}
