// Voice activity detector: six sub-band log energies scored against adaptive noise and speech models.
#pragma once

#include <cstdint>

inline constexpr char kVadVersion[] = "Sonra VAD FIP\t1.0.2\n";
inline constexpr int kVadBands = 6;
inline constexpr int kVadGaussians = 2;                          // per band and model
inline constexpr int kVadModelSize = kVadBands * kVadGaussians;  // first Gaussians of bands 0..5, then the second
inline constexpr int kVadTrackedMinima = 16;                     // per band
inline constexpr int16_t kVadInitMarker = 42;

// Caller-owned detector state. Log energies are in dB: features in Q4, model means and deviations in Q7.
// Band 0 is the lowest band (about 80-250 Hz), band 5 the highest (3-4 kHz).
struct VadInst {
  int16_t lastDecision;
  int32_t downState[2];                 // 16 -> 8 kHz input decimator
  int16_t noiseMeans[kVadModelSize];
  int16_t speechMeans[kVadModelSize];
  int16_t noiseStds[kVadModelSize];
  int16_t speechStds[kVadModelSize];
  int16_t lowValues[kVadBands * kVadTrackedMinima];  // per band, ascending
  int16_t lowAges[kVadBands * kVadTrackedMinima];    // frames since each value entered; 0 = free slot
  int16_t upperState[5];                // split filters: the branch fed with even samples
  int16_t lowerState[5];                // and the one fed with odd samples
  int16_t hpState[4];                   // lowest-band high-pass: x[n-1], x[n-2], y[n-1], y[n-2]
  int32_t frameCounter;
  int16_t meanValue[kVadBands];         // long-term noise estimate per band (Q4)
  int16_t overHang;                     // hangover frames left
  int16_t numOfSpeech;                  // consecutive speech frames
  int32_t minFrameCounter;              // frames seen by the minimum tracker
  int16_t overHangShort[3];             // per frame length 10 / 20 / 30 ms
  int16_t overHangLong[3];
  int16_t individualThreshold[3];
  int16_t totalThreshold[3];
  int16_t initMarker;                   // kVadInitMarker after Vad_Init
};

// Copies the model tables, clears the trackers and sets the thresholds of `mode` (0, any other value
// meaning 1). Returns 0, or -1 for a null instance.
int Vad_Init(VadInst* inst, int mode);

// 16-kHz input of 160, 320 or 480 samples: halved in rate, then Vad_ProcessBands.
// Returns the decision, or -1 for a bad count, a null pointer or an uninitialised instance.
int Vad_Process(VadInst* inst, const int16_t* samples, int count);

// 8-kHz input of 80, 160 or 240 samples. Returns 0 (no speech), 1 (speech) or 2 and more (hangover:
// the frames left before this one + 2); -1 for a bad count, a null pointer or an uninitialised instance.
int Vad_ProcessBands(VadInst* inst, const int16_t* samples, int count);
