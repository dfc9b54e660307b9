// Fixed-point echo suppressor: block energy decisions against a delayed far-end energy history.
#pragma once

#include <cstdint>

inline constexpr char kAesVersion[] = "AES FIX version\t1.0.9\n";

// Results.
inline constexpr int16_t AES_WARN_WIDEBAND = -101;      // far end: bad wideband flag, taken as narrowband
inline constexpr int16_t AES_WARN_AGGRESSIVE = -102;    // init: aggressive flag not 0/1, taken as 0
inline constexpr int16_t AES_WARN_DELAY_LOW = -103;     // init: delay below 10 ms, 5 blocks used
inline constexpr int16_t AES_WARN_DELAY_HIGH = -104;    // init: delay above 201 ms, 100 blocks used
inline constexpr int16_t AES_ERROR_NOT_INITIALISED = -105;
inline constexpr int16_t AES_WARN_HIGHPASS = -106;      // init: high-pass flag not 0/1, taken as 0
inline constexpr int16_t AES_ERROR_BAD_WIDEBAND = -107; // near end: wideband flag not 0/1, frame refused

inline constexpr int kAesBlocksPerFrame = 5;    // 2-ms blocks per 10 ms
inline constexpr int kAesBlockSamples = 16;     // at 8 kHz (the low band at 16 kHz)
inline constexpr int kAesRingSize = 1000;       // far-end energy ring: 2 s of blocks
inline constexpr int kAesMinSlots = 30;
inline constexpr int kAesMaxSlots = 50;
inline constexpr int kAesCngOrder = 8;

struct SonraAecCng {
  uint32_t seed;
  int16_t firstFrames;      // updates averaged for the first gain (20)
  int16_t averageCount;     // 1 .. firstFrames + 1
  int32_t levelSum;
  int32_t gain;             // Q10: excitation RMS times 1024
  int16_t refl[kAesCngOrder];       // smoothed reflection coefficients, Q15
  int16_t lpc[kAesCngOrder + 1];    // Q12
  int16_t synthHigh[kAesCngOrder];  // synthesis filter memory
  int16_t synthLow[kAesCngOrder];
  int16_t reflSmooth;       // 31 (of 32)
  int16_t gainSmooth;       // 63 (of 64)
};

struct SonraAEC {
  int16_t initialised;      // 1 after SonraAEC_Init
  int16_t cngEnabled;
  int16_t suppressionEnabled;
  int16_t highPassEnabled;
  int16_t aggressive;
  int16_t echoState;
  int16_t blockEcho[kAesBlocksPerFrame];
  int16_t delay;            // current echo-path delay, blocks (5..100)
  int16_t initDelay;        // blocks
  int32_t smoothedCardDelay;  // 1/256 block
  SonraAecCng cng;
  int16_t echoIndex;        // 0..80
  int16_t fade;             // 0..32
  int32_t farSum;           // 10-ms energy sums
  int32_t nearSum;
  int32_t farBlocks[kAesBlocksPerFrame];   // latest block energies, oldest first
  int32_t nearBlocks[kAesBlocksPerFrame];
  int32_t farRing[kAesRingSize];
  int32_t farMin[kAesMinSlots];
  int32_t nearMin[kAesMinSlots];
  int16_t farMinIndex, nearMinIndex;
  int16_t farMinCount, nearMinCount;
  int32_t farFloor;
  int32_t nearFloor;
  int32_t farMax[kAesMaxSlots];
  int32_t nearMax[kAesMaxSlots];
  int16_t farMaxIndex, nearMaxIndex;
  int32_t farMaxValue, nearMaxValue;
  int32_t farSplit[8];      // 16 -> 8 kHz decimator states
  int32_t nearSplit[8];
  int16_t writePos, readPos;
  uint32_t writeLaps, readLaps;
  uint32_t overflowCount, underflowCount, realignCount;
  int32_t driftSum;
  int32_t driftCount;
  int32_t driftLastAverage;
  int16_t driftStable;
  int16_t hpIn[2];          // x[n-1], x[n-2]
  int16_t hpOut[2];         // y[n-1], y[n-2]
  int32_t hpFrac[2];        // fractional parts (Q16) of y[n-1], y[n-2]
};

// Initialises the instance in every case. delay in ms (blocks = delay / 2, kept to 5..100);
// aggressive and highPass are 0 or 1. Returns 0 or the warning of the last bad argument
// (tested in the order delay, aggressive, high-pass); -1 for a null instance.
int SonraAEC_Init(SonraAEC* inst, int delayMs, int aggressive, int highPass);
// One 10-ms far-end frame: wideband 1 = 160 samples at 16 kHz, 0 = 80 samples at 8 kHz; another value
// takes 80 samples and returns AES_WARN_WIDEBAND. AES_ERROR_NOT_INITIALISED before init.
int SonraAEC_AddToFarEndBuffer(const int16_t* samples, SonraAEC* inst, int wideband);
// One 10-ms microphone frame (80 or 160 samples by `wideband`) with the sound card's delay in ms;
// writes as many samples to `out` (may equal `in`). 0, AES_ERROR_NOT_INITIALISED, or
// AES_ERROR_BAD_WIDEBAND for a wideband value other than 0 or 1 (nothing written).
int SonraAEC_Process(const int16_t* in, int16_t* out, SonraAEC* inst, int wideband, int cardDelayMs);
