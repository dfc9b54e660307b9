// AEC PC echo canceller: far-end queue, settling-phase delay estimation, delay tracking, core calls.
#include "voice/dsp/processing/aecpc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {

constexpr int kFilterLength = 512;
// The most the far-end queue holds (its oldest slot is emptied when a write catches up): a larger target
// would never be met and the settling phase would never end.
constexpr int kMaxTarget = AecPcFarQueue::kSlots - 1;
constexpr int kMaxOffset = 2048;

}  // namespace

// ---- Far-end queue ------------------------------------------------------------------------------

AecPcFarQueue::AecPcFarQueue() {
  std::memset(samples_, 0, sizeof(samples_));
  std::memset(lengths_, 0, sizeof(lengths_));
}

AecPcFarQueue::~AecPcFarQueue() = default;

int AecPcFarQueue::Write(const int16_t* samples, int n) {
  if (samples == nullptr || n < 1 || n > kSlotSamples) return -1;
  std::memcpy(samples_[writeIndex_], samples, sizeof(int16_t) * static_cast<size_t>(n));
  lengths_[writeIndex_] = static_cast<int16_t>(n);
  writeIndex_ = static_cast<int16_t>((writeIndex_ + 1) % kSlots);
  if (writeIndex_ == readIndex_) {
    // Full: the oldest frame is dropped now, so reading never returns it after newer ones.
    lengths_[readIndex_] = 0;
    readIndex_ = static_cast<int16_t>((readIndex_ + 1) % kSlots);
  }
  return 0;
}

int AecPcFarQueue::Read(int16_t* out) {
  const int len = lengths_[readIndex_];
  if (len == 0) {
    std::memset(out, 0, sizeof(int16_t) * kSlotSamples);
    return -1;
  }
  std::memcpy(out, samples_[readIndex_], sizeof(int16_t) * static_cast<size_t>(len));
  if (len < kSlotSamples) std::memset(out + len, 0, sizeof(int16_t) * static_cast<size_t>(kSlotSamples - len));
  lengths_[readIndex_] = 0;
  if (readIndex_ != writeIndex_) readIndex_ = static_cast<int16_t>((readIndex_ + 1) % kSlots);
  return len;
}

int AecPcFarQueue::Count() const {
  int n = 0;
  for (int i = 0; i < kSlots; ++i)
    if (lengths_[i] != 0) ++n;
  return n;
}

void AecPcFarQueue::Reposition(int keep) {
  keep = std::clamp(keep, 0, kSlots);
  readIndex_ = static_cast<int16_t>(((writeIndex_ - keep) % kSlots + kSlots) % kSlots);
  // Slots from the read index up to (not including) the write index are kept; a full queue keeps all.
  for (int i = 0; i < kSlots - keep; ++i) lengths_[(writeIndex_ + i) % kSlots] = 0;
}

// ---- The canceller -------------------------------------------------------------------------------

AecPc::AecPc() = default;

AecPc::~AecPc() = default;

int AecPc::Create() {
  taps_.reset(new (std::nothrow) int16_t[kAecPcMaxTaps]);
  backupTaps_.reset(new (std::nothrow) int16_t[kAecPcMaxTaps]);
  history_.reset(new (std::nothrow) int16_t[kAecPcHistory]);
  reference_.reset(new (std::nothrow) int16_t[kAecPcReference]);
  peaks_.reset(new (std::nothrow) int16_t[kAecPcPeakEntries]);
  mode_ = 0;
  if (!taps_ || !backupTaps_ || !history_ || !reference_ || !peaks_) {
    taps_.reset();
    backupTaps_.reset();
    history_.reset();
    reference_.reset();
    peaks_.reset();
    core_.buf = AecPcCoreBuffers{};
    core_.initMarker = 0;
    initMarker_ = 0;
    return -1;
  }
  core_.buf = AecPcCoreBuffers{taps_.get(), backupTaps_.get(), history_.get(), reference_.get(), peaks_.get()};
  // New buffers hold nothing yet: Init must run before the next frame.
  core_.initMarker = 0;
  initMarker_ = 0;
  return 0;
}

int AecPc::Init(int rate, int option) {
  int result = 0;
  if (rate != 8000 && rate != 16000) {
    rate = 8000;
    result = AECPC_WARN_BAD_RATE;
  }
  // The far-end offset, its smoothed excess and the last far-end blocks outlive a new Init at the same
  // rate; at another rate they count samples of the old one.
  const bool rateChanged = !Initialised() || rate_ != rate;
  rate_ = static_cast<int16_t>(rate);
  samplesPer10ms_ = static_cast<int16_t>(std::trunc(rate * 0.01));
  blocksPer10ms_ = static_cast<int16_t>(samplesPer10ms_ / 80);
  settling_ = 1;
  estimating_ = 1;
  resync_ = 0;
  referenceDelay_ = 0;
  stableCount_ = 0;
  stableSum_ = 0;
  framesSeen_ = 0;
  target_ = 0;
  checkCounter_ = 0;
  riseCounter_ = 0;
  offsetChanged_[0] = offsetChanged_[1] = 0;
  overflowCounter_ = 0;
  resetRequest_ = 0;
  if (rateChanged) {
    smoothedExcess_ = 0.0;
    offset_ = 0;
    std::memset(lastBlock_, 0, sizeof(lastBlock_));
    // Frames queued at the old rate are no far end of the new one.
    queue_.Reposition(0);
  }
  option_ = static_cast<int16_t>(option);

  core_.rate = rate_;
  if (AecPcCore_Init(&core_, kFilterLength, option, mode_) == -1 && result == 0) result = AECPC_ERROR_CORE_INIT;
  initMarker_ = kAecPcInitMarker;
  return result;
}

int AecPc::SetMode(int value) {
  if (!Initialised()) return AECPC_ERROR_NOT_INITIALISED;
  int result = 0;
  if (value != 0 && value != 1) {
    value = 0;
    result = AECPC_ERROR_BAD_MODE;
  }
  mode_ = static_cast<int16_t>(value);
  core_.mode = mode_;
  return result;
}

// The queue ran short of the expected delay: fill it back with copies of the last far-end blocks.
void AecPc::Refill() {
  const int B = blocksPer10ms_;
  const int expected = B * delayMs_ * 8;
  const int queued = 80 * queue_.Count();
  if (expected - queued <= 2048 - 80 * B) return;
  const int k = std::clamp((expected / 2 - queued) / 80, 1, 10);
  for (int j = k; j >= 1; --j) queue_.Write(lastBlock_[j % 2], 80);
  resync_ = 1;
}

int AecPc::Process(const int16_t* samples, int count) {
  if (!Initialised()) return AECPC_ERROR_NOT_INITIALISED;
  if (samples == nullptr || count != 80) return AECPC_ERROR_FAR_LENGTH;
  if (!settling_) Refill();
  queue_.Write(samples, count);
  return 0;
}

void AecPc::Settle(int count, int delayMs) {
  const double units = static_cast<double>(count) / samplesPer10ms_;  // 10-ms units per call
  const int B = blocksPer10ms_;
  if (estimating_) {
    ++framesSeen_;
    if (stableCount_ == 0) {
      referenceDelay_ = static_cast<int16_t>(delayMs);
      stableSum_ = delayMs;
      stableCount_ = 1;
    } else if (std::abs(delayMs - referenceDelay_) < std::max(0.2 * delayMs, 8.0)) {
      stableSum_ += delayMs;
      ++stableCount_;
    } else {
      stableCount_ = 0;
    }
    if (stableCount_ * units >= 6) {
      target_ = std::min(static_cast<int32_t>(std::trunc(stableSum_ * B * 0.75 / (stableCount_ * 10.0))), kMaxTarget);
      estimating_ = 0;
    } else if (framesSeen_ * units > 50) {
      target_ = std::min(static_cast<int32_t>(std::trunc(B * delayMs * 0.075)), kMaxTarget);
      estimating_ = 0;
    }
  }
  if (estimating_) return;
  const int queued = queue_.Count();
  if (queued == target_) {
    settling_ = 0;
  } else if (queued > target_) {
    queue_.Reposition(target_);
    settling_ = 0;
  }
}

void AecPc::DropOldest() {
  const int count = queue_.Count();
  if (count == 0) return;
  queue_.Reposition(count - 1);
}

void AecPc::TrackDelay() {
  const int B = blocksPer10ms_;
  const int count = queue_.Count();
  // Held to 16 bits: the low 16 bits of a delay above 4 s (2 s at 16 kHz) would read as a negative excess.
  const int16_t excess = static_cast<int16_t>(std::clamp(8 * (B * delayMs_ - 10 * count), -32768, 32767));
  if (excess < 0) DropOldest();
  if (excess >= smoothedExcess_)
    smoothedExcess_ = 0.9 * smoothedExcess_ + 0.1 * excess;
  else
    smoothedExcess_ = 0.8 * smoothedExcess_ + 0.2 * excess;
  if (smoothedExcess_ < 0) smoothedExcess_ = 0;

  if (++checkCounter_ < 20 * B && !resync_) return;
  if (checkCounter_ >= 20 * B) checkCounter_ = 0;
  if (smoothedExcess_ - offset_ > 50 * B || riseCounter_ > 5)
    ++riseCounter_;
  else
    riseCounter_ = 0;
  if (riseCounter_ > 20 || smoothedExcess_ < offset_) {
    riseCounter_ = 0;
    if (smoothedExcess_ <= kMaxOffset)
      offset_ = std::max(static_cast<int32_t>(std::trunc(smoothedExcess_)) - 25 * B, 0);
    else
      offset_ = kMaxOffset;
    checkCounter_ = 0;
    resync_ = 0;
    offsetChanged_[0] = offsetChanged_[1] = 1;
  }
}

int AecPc::ProcessNearEnd(int16_t* samples, int count, int delayMs) {
  if (!Initialised() || samples == nullptr) return -1;
  if (count != 80 && count != 160) return -1;
  if (rate_ != 8000 && rate_ != 16000) return -1;
  delayMs_ = static_cast<int16_t>(std::clamp(delayMs, 0, 32767));
  const int B = blocksPer10ms_;

  if (settling_) {
    Settle(count, delayMs_);
    return 0;
  }

  if (B * delayMs_ * 0.1 < queue_.Count()) DropOldest();

  for (int i = 0; i < count / 80; ++i) {
    int16_t far[80];
    if (queue_.Read(far) < 0)
      std::memcpy(far, lastBlock_[i], sizeof(far));
    else
      std::memcpy(lastBlock_[i], far, sizeof(far));
    if ((rate_ == 8000 && i == 0) || (rate_ == 16000 && i == 1)) TrackDelay();
    if (offsetChanged_[0]) {
      AecPcCore_SetDelay(&core_, offset_);
      offsetChanged_[0] = offsetChanged_[1] = 0;
    }
    int16_t* block = samples + 80 * i;
    AecPcCore_Process(far, block, block, &core_);
    if (core_.resetRequest) resetRequest_ = 1;
    if (80 * queue_.Count() > 8 * B * (delayMs_ + 20)) {
      if (++overflowCounter_ >= 10) resetRequest_ = 1;
    } else {
      overflowCounter_ = 0;
    }
  }

  if (resetRequest_) {
    AecPcCore_Reinit(&core_, option_, mode_);
    AecPcCore_SetDelay(&core_, offset_);
    resetRequest_ = 0;
  }
  return 0;
}
