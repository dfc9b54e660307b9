// AEC PC echo canceller: far-end frame queue, delay estimation and tracking around the adaptive core.
#pragma once

#include <cstdint>
#include <memory>

#include "voice/dsp/processing/aecpc_core.h"

inline constexpr char kAecPcVersion[] = "Sonra AEC PC\t1.4.1";

// Results.
inline constexpr int AECPC_ERROR_NOT_INITIALISED = 11001;
inline constexpr int AECPC_WARN_BAD_RATE = 11003;      // init: rate not 8000/16000, 8000 used
inline constexpr int AECPC_ERROR_CORE_INIT = 11004;    // init: the core refused (no buffers)
inline constexpr int AECPC_ERROR_BAD_MODE = 11010;     // SetMode: value not 0/1, 0 stored
inline constexpr int AECPC_ERROR_FAR_LENGTH = 65535;   // far-end frame not of 80 samples

// Far-end frames waiting for their echo: 50 slots of up to 80 samples, oldest read first.
class AecPcFarQueue {
 public:
  static constexpr int kSlots = 50;
  static constexpr int kSlotSamples = 80;

  AecPcFarQueue();
  virtual ~AecPcFarQueue();
  AecPcFarQueue(const AecPcFarQueue&) = delete;
  AecPcFarQueue& operator=(const AecPcFarQueue&) = delete;

  // Stores 1..80 samples (others are refused with -1); a full queue loses its oldest frame. 0.
  int Write(const int16_t* samples, int n);
  // Copies the oldest frame into out (80 samples, zero-filled past its length) and empties its slot;
  // returns its length, or -1 with 80 zeros when the queue is empty.
  int Read(int16_t* out);
  int Count() const;  // non-empty slots
  // Keeps the newest `keep` frames (0..50) and empties every other slot.
  void Reposition(int keep);

 private:
  int16_t samples_[kSlots][kSlotSamples];
  int16_t lengths_[kSlots];
  int16_t readIndex_ = 0;
  int16_t writeIndex_ = 0;
};

class AecPc {
 public:
  AecPc();
  virtual ~AecPc();
  AecPc(const AecPc&) = delete;
  AecPc& operator=(const AecPc&) = delete;

  // Allocates the core's buffers and sets the mode to 0. 0, or -1 when memory is short.
  int Create();
  // rate 8000 or 16000 (else 8000 and AECPC_WARN_BAD_RATE); option is handed to the core.
  // 0, AECPC_WARN_BAD_RATE or AECPC_ERROR_CORE_INIT.
  int Init(int rate, int option);
  // 0 or 1; another value stores 0 and gives AECPC_ERROR_BAD_MODE; AECPC_ERROR_NOT_INITIALISED before Init.
  int SetMode(int value);
  // One far-end frame of 80 samples. 0, AECPC_ERROR_FAR_LENGTH, or AECPC_ERROR_NOT_INITIALISED.
  int Process(const int16_t* samples, int count);
  // One microphone frame of 80 or 160 samples, cancelled in place, with the sound card's delay in ms.
  // 0, or -1 for a bad length or before Init.
  int ProcessNearEnd(int16_t* samples, int count, int delayMs);

  bool Initialised() const { return initMarker_ == kAecPcInitMarker; }
  int Rate() const { return rate_; }
  // Sub-blocks of the last processed block (0..5) in which the canceller found echo.
  int EchoActivity() const { return core_.lastEchoActivity; }

  // For tests and diagnostics.
  const AecPcCore& Core() const { return core_; }
  const AecPcFarQueue& Queue() const { return queue_; }
  int TargetFrames() const { return target_; }
  bool Settling() const { return settling_ != 0; }
  bool Estimating() const { return estimating_ != 0; }
  int Offset() const { return offset_; }

 private:
  void Settle(int count, int delayMs);
  void TrackDelay();
  void Refill();
  void DropOldest();

  int16_t rate_ = 8000;
  int16_t samplesPer10ms_ = 80;
  int16_t blocksPer10ms_ = 1;
  uint8_t settling_ = 0;
  uint8_t estimating_ = 0;
  uint8_t resync_ = 0;
  int16_t referenceDelay_ = 0;
  int16_t stableCount_ = 0;
  int32_t stableSum_ = 0;
  int16_t framesSeen_ = 0;
  int16_t delayMs_ = 0;
  int32_t target_ = 0;
  double smoothedExcess_ = 0.0;
  int32_t checkCounter_ = 0;
  int32_t riseCounter_ = 0;
  int32_t offset_ = 0;
  int16_t offsetChanged_[2] = {0, 0};
  int32_t overflowCounter_ = 0;
  int16_t resetRequest_ = 0;
  int16_t lastBlock_[2][80] = {};
  AecPcFarQueue queue_;
  int16_t initMarker_ = 0;
  int16_t mode_ = 0;
  int16_t option_ = 0;
  AecPcCore core_{};
  std::unique_ptr<int16_t[]> taps_, backupTaps_, history_, reference_, peaks_;
};
