// Adaptive core of the AEC PC echo canceller: whitened NLMS filter, level tracking, residual suppression.
#pragma once

#include <cstdint>

inline constexpr int16_t kAecPcInitMarker = 12345;
inline constexpr int kAecPcBlock = 80;           // samples per core call
inline constexpr int kAecPcSubBlock = 16;
inline constexpr int kAecPcSubBlocks = 5;
inline constexpr int kAecPcMaxTaps = 1024;       // the largest filter length
inline constexpr int kAecPcHistory = 9104;       // far-end history, samples
inline constexpr int kAecPcReference = 9109;     // whitened reference: the history and 5 older samples
inline constexpr int kAecPcPeakEntries = 569;    // peak history entries (9109 * 2 / 16 bytes)
inline constexpr int kAecPcMaxDelay = 2048;      // largest far-end offset, samples
inline constexpr int kAecPcDelayLine = 201;      // past far-end powers, one per sub-block
inline constexpr int kAecPcMinWindows = 200;
inline constexpr int kAecPcWhitenOrder = 5;
inline constexpr int kAecPcCngOrder = 8;

// Memory the core works in, allocated by its owner (AecPc::Create).
struct AecPcCoreBuffers {
  int16_t* taps;        // kAecPcMaxTaps, Q15
  int16_t* backupTaps;  // kAecPcMaxTaps
  int16_t* history;     // kAecPcHistory, newest first
  int16_t* reference;   // kAecPcReference, newest first
  int16_t* peaks;       // kAecPcPeakEntries, largest far-end magnitude per sub-block, newest first
};

struct AecPcCore {
  int16_t initMarker;         // kAecPcInitMarker after init
  int16_t adaptEnabled;
  int16_t suppressEnabled;
  int16_t cngEnabled;
  int16_t filterLength;       // L: 128, 256, 512 or 1024
  int16_t highPassEnabled;
  int16_t whitenEnabled;
  int16_t option;
  int16_t taps;               // N
  int16_t targetTaps;
  int16_t rate;               // 8000 or 16000
  int16_t blocksPer10ms;      // B

  int32_t blocks;             // processed blocks
  int16_t subBlock;           // current sub-block 0..4
  int16_t firstSample, lastSample;

  AecPcCoreBuffers buf;
  int16_t nearBlock[kAecPcBlock];
  int16_t errorBlock[kAecPcBlock];
  int16_t echoBlock[kAecPcBlock];
  int16_t outBlock[kAecPcBlock];
  int16_t cngBlock[2 * kAecPcBlock];  // quiet output kept for the comfort-noise analysis at 16 kHz
  int16_t cngBlockHalf;               // 1 when the first half of cngBlock is filled

  int16_t delayEstimate;      // far-end offset, samples (0 .. kAecPcMaxDelay)
  // Sliding energies over the filter span in block floating point: mantissas (at most 2^30) and
  // their shared exponent.
  int32_t farEnergy;
  int32_t refEnergy;
  int16_t energyExp;
  // Tap energies (Q21: sum of w^2 >> 9).
  int32_t tapEnergyHead, tapEnergyTail, tapEnergyRest, tapEnergy;
  int32_t regulariser;        // N * 26054

  // Powers per sample, smoothed per 16-sample sub-block (floor 1).
  int32_t farPower;           // Pf
  int32_t nearPower;          // Q
  int32_t residualPower;      // X
  int32_t echoPower;          // Pe
  int32_t outPower;           // Po
  int32_t slowResidual;
  int32_t delayLine[kAecPcDelayLine];  // past Pf, one per sub-block
  int16_t delayLineIndex;              // slot of the newest
  int32_t farMinima[kAecPcMinWindows];
  int32_t outMinima[kAecPcMinWindows];
  int16_t farMinIndex, farMinCount;
  int16_t outMinIndex, outMinCount;
  int32_t farFloor;
  int32_t noiseFloor;         // F

  // Training and bypass.
  int16_t active;
  int16_t mode;
  int16_t trainCounter;       // 0 .. 1200

  // Near-end high-pass (Q12 coefficients b0, b1, b2, a1, a2), previous outputs in split precision.
  int16_t hpCoef[5];
  int16_t hpIn[2];
  int16_t hpOutHigh[2];
  int16_t hpOutLow[2];

  // Decisions per sub-block.
  int16_t hold[kAecPcSubBlocks];
  int16_t suppress[kAecPcSubBlocks];
  int16_t fullSuppress[kAecPcSubBlocks];
  int16_t showsEcho[kAecPcSubBlocks];
  int16_t adaptNow;
  int16_t lengthChanged;      // no more adaptation in this block
  int16_t dtHangover;         // double-talk hangover, samples
  int32_t dtThreshold;
  int16_t dtStageReached;     // the adapt count has passed 480 once

  // Adaptation.
  int16_t adaptCount;         // adapted sub-blocks, saturating
  int32_t stepConstant;       // Q31
  int16_t stepRuns[3];        // small, medium, large
  int16_t goodCount;
  int16_t slowDivergeRun;
  int16_t restoreCount;
  int16_t backupTapsCount;
  int16_t backupDelay;
  int16_t backupValid;
  int16_t resetRequest;
  int16_t energyThreshold;    // per-sample reference energy below which nothing adapts
  int16_t whitenLpc[kAecPcWhitenOrder + 1];  // a[1..5], Q13
  int16_t whitenScale;

  // Residual suppressor.
  int16_t suppState;          // 1 .. 4
  int16_t suppCounter;
  int16_t suppHold;
  int16_t suppFactor[4];
  int16_t suppLimit[4];
  int16_t modeSelector;       // tuning selector (1 at init)
  int16_t stepCount;
  int16_t outputMode;         // 0 echo-dependent, 1 error, 2 near end
  int16_t crossfade;          // 16 kHz output choice, 0 .. 32
  int16_t outGain;            // Q9, 0 .. 512

  // Comfort noise.
  uint32_t cngSeed;
  int32_t cngTarget;          // level times 1024
  int16_t cngRefl[kAecPcCngOrder];
  int16_t cngLpc[kAecPcCngOrder + 1];
  int16_t cngStateHigh[kAecPcCngOrder];
  int16_t cngStateLow[kAecPcCngOrder];
  int16_t cngCount;
  int32_t cngLevelSum;
  int16_t cngMode;            // 1: l / 4, 2: 3 l / 4, else l / 32
  int16_t cngReflWeight;      // 31 (of 32)
  int16_t cngGainWeight;      // 63 (of 64)

  // Tuning set from B.
  int16_t powerShift;
  int16_t floorShift[2];      // F: before and after block 100
  int16_t farFloorShift[2];   // far-end floor: before and after block 700
  int16_t slowRise, slowFall; // of 32768
  int16_t minWindowShort, minWindowLong;
  int16_t decayWeight;        // of 4096
  int16_t delayLineLive;      // 50 * B

  int16_t lastEchoActivity;   // sub-blocks of the last block that showed echo

  // What the filter really removes: a snapshot of the taps, refreshed every few blocks, filters the
  // later far end; the slow powers of the near end and of that snapshot's error while the far end
  // plays. A filter that only follows the near-end talker fits the moment, not the later signal.
  int16_t checkTaps[kAecPcMaxTaps];
  int16_t checkError[kAecPcBlock];
  int16_t checkAge;           // blocks since the snapshot
  // The snapshot before it: the echo it predicts is what near talk is judged against, since the
  // newest taps may already have learnt some of the near talker.
  int16_t priorTaps[kAecPcMaxTaps];
  int16_t nearHang;           // sub-blocks the near talker is still taken to talk
  int16_t nearRun;            // sub-blocks since the near talker last paused
  int16_t priorEcho[kAecPcBlock];  // the echo the snapshot before predicts
  int32_t priorEchoPower;

  int64_t cancelNear;
  int64_t cancelResidual;
  int16_t echoConfirmed;      // the snapshot removed 3 dB; cleared after 1.5 s of a useless filter
  int16_t echoProven;         // the snapshot once removed 9 dB: good enough to tell the near talker
  int16_t unconfirmRun;       // far-active sub-blocks since the last 3 dB in which it was useless
  uint16_t slowAdaptCount;    // adaptations offered while the filter shows no cancellation

};

// Sets every field for L taps (N = L / 2 to start) and zeroes the buffers. The owner attaches the
// buffers and sets `rate` (16000, any other value meaning 8000) first; both are kept.
// Returns 0, 65535 for a mode other than 0 or 1 (mode 0 is stored), -1 for a bad L or missing buffers.
int AecPcCore_Init(AecPcCore* core, int filterLength, int option, int mode);
// Suppression tuning of the tuning selector.
void AecPcCore_SetModeParams(AecPcCore* core);
// One block of 80 samples: far end, near end, echo-cancelled output.
void AecPcCore_Process(const int16_t* farEnd, const int16_t* nearEnd, int16_t* out, AecPcCore* core);
// Moves the far-end delay line to `offset` samples (0 .. kAecPcMaxDelay), keeping the echo model.
void AecPcCore_SetDelay(AecPcCore* core, int offset);
// The near talker dominates the microphone (as a filter that proved good tells).
bool AecPcCore_NearTalks(const AecPcCore* c);
// The filter's last snapshot removes 3 dB of what the microphone hears while the far end plays.
bool AecPcCore_Cancelling(const AecPcCore* c);
// Re-initialisation that keeps the delay estimate, the enables, output and comfort-noise modes and
// the tuning selector (a reset request, or the end of a bypass).
void AecPcCore_Reinit(AecPcCore* core, int option, int mode);

// Biquad high-pass in place: coefficients b0, b1, b2, a1, a2 (Q12), previous outputs in split precision.
void AecPcCore_HighPass(int16_t* x, const int16_t* coef, int16_t* outHigh, int16_t* outLow, int16_t* in, int n);
// power += (x^2 - power + r) >> k per sample, r = 2^(k-1) while the power exceeds it.
void AecPcCore_Smooth(int32_t* power, const int16_t* x, int n, int k);
// stored + (value - stored) * weight / 32768 on 16-bit mantissas; weight `rise` while value is above, else `fall`.
int32_t AecPcCore_SmoothAsym(int32_t stored, int32_t value, int16_t rise, int16_t fall);
// Minimum over 200 sub-windows of `windowLength` values; returns the smallest stored minimum.
int32_t AecPcCore_TrackMinimum(int32_t* ring, int16_t* index, int16_t* count, int32_t value, int windowLength);
void AecPcCore_TapEnergies(AecPcCore* core);
void AecPcCore_TrainingControl(AecPcCore* core);
