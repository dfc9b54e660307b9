// Microphone gain control: moves the sound card's microphone volume to keep the talker's level in a target band.
#pragma once

#include <cstdint>

struct SonraAgcCore;

class MicGainControl {
 public:
  MicGainControl();
  ~MicGainControl();
  MicGainControl(const MicGainControl&) = delete;
  MicGainControl& operator=(const MicGainControl&) = delete;

  // Uses the given core (the registered one when null is passed to Create); false without one.
  bool Create(const SonraAgcCore* core);
  bool HasCore() const { return core_ != nullptr && inst_ != nullptr; }

  // The card's volume range, in the mixer's own units (0 <= min < max < 2^26); 0, or -1.
  int Init(int32_t minLevel, int32_t maxLevel);
  // Near-end analysis of 10 or 20 ms (8000 Hz: 80/160 samples, 16000 Hz: 160/320); 0 or -1.
  // With a wanted level above the card's maximum the samples are amplified in place.
  int AddNearEnd(int16_t* frame, int length, int rate);
  // Far-end analysis; the sum of the core's results, or -1.
  int AddFarEnd(const int16_t* frame, int length, int rate);
  // Digital gain and level adaptation; outLevel receives the volume to set (mixer units). 0 or -1.
  int Process(const int16_t* in, int length, int16_t* out, int32_t inLevel, int32_t* outLevel, int rate);
  // "Sonra AGC\t\t" and the core's version.
  int Version(char* text, int size) const;

  // Mode: 0 adaptation off, below 2 digital gain computed but not applied (starts at 3).
  void SetMode(int mode) { mode_ = mode; }

  // State for tests.
  int32_t WantedLevel() const { return wantedLevel_; }
  int32_t TopLevel() const { return topLevel_; }
  int32_t CardMaxLevel() const { return cardMaxLevel_; }
  int32_t LowLevel() const { return lowLevel_; }
  int LevelShift() const { return levelShift_; }
  bool SlowMode() const { return slowMode_; }
  int64_t SlowLevel() const { return slowLevel_; }
  void SetSlowLevel(int64_t v) { slowLevel_ = v; }

 private:
  int Adapt(int32_t inLevel, int32_t* outLevel);
  void RestoreFastLimits();
  void Raise(const int32_t* a, const int32_t* b);

  const SonraAgcCore* core_ = nullptr;
  void* inst_ = nullptr;

  int levelShift_ = 0;
  int32_t lowLevel_ = 0;
  int32_t cardMaxLevel_ = 0;
  int32_t topLevel_ = 0;
  int32_t startTopLevel_ = 0;
  int32_t floorLevel_ = 0;
  int32_t wantedLevel_ = 0;
  int mode_ = 3;
  int32_t threshold_ = 207;
  int32_t tooLow_ = 0;
  int32_t tooHigh_ = 0;
  int32_t inBand_ = 0;
  int32_t zero_ = 0;
  bool firstCall_ = true;
  int32_t speechTime_ = 0;
  bool slowMode_ = false;

  int32_t upperHard_ = 78122800;
  int32_t upperSoft_ = 24704700;
  int32_t lowerSoft_ = 15587500;
  int32_t lowerHard_ = 4929200;
  int32_t softHold_ = 520;
  int32_t hardHold_ = 340;

  int32_t ring_[10];
  int ringPos_ = 0;
  // Sums of sub-frame energies; loud input takes them past 32 bits.
  int64_t ringSum_ = 1250;
  int64_t lowpass_ = 16284;
  int64_t maxEnergy_ = 0;
  int64_t slowLevel_ = 19623600;

  int32_t envelope_[2][10] = {};
  int32_t energy_[2][5] = {};
  int pending_ = 0;
  int32_t saturation_ = 0;
  int32_t logRatio_ = 0;
  int32_t deviation_ = 0;
};
