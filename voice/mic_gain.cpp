// Microphone gain control: envelope and energy analysis, saturation and dead-microphone guards, and level steps.
#include "voice/mic_gain.h"

#include <cstdio>
#include <cstring>

#include "voice/components.h"
#include "voice/dsp/resample.h"
#include "voice/engine_defs.h"

namespace {

// 4096 * 10^(i/80): 0.25 dB per step, up to about 3 dB.
const int32_t kVirtualGain[13] = {4096, 4216, 4339, 4465, 4596, 4730, 4868, 5010, 5157, 5307, 5462, 5622, 5786};
const int32_t kHardA[8] = {25395, 23911, 22206, 20737, 19612, 18805, 17951, 17367};
const int32_t kHardB[8] = {21793, 12517, 7189, 4129, 2372, 1362, 472, 78};
const int32_t kSoftA[8] = {18432, 18379, 18290, 18177, 18052, 17920, 17670, 17286};
const int32_t kSoftB[8] = {2063, 1731, 1452, 1218, 1021, 857, 597, 337};

int BitLength(uint32_t v) {
  int n = 0;
  while (v) {
    ++n;
    v >>= 1;
  }
  return n;
}

int32_t Energy16(const int16_t* x) {
  int64_t e = 0;
  for (int i = 0; i < 16; ++i) e += static_cast<int32_t>(x[i]) * x[i];
  return e > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(e);
}

bool LengthOk(int length, int rate) {
  if (rate == 8000) return length == 80 || length == 160;
  if (rate == 16000) return length == 160 || length == 320;
  return false;
}

}  // namespace

MicGainControl::MicGainControl() {
  for (int32_t& r : ring_) r = 1000;
}

MicGainControl::~MicGainControl() {
  if (core_ && inst_) core_->release(inst_);
}

bool MicGainControl::Create(const SonraAgcCore* core) {
  if (core_ && inst_) core_->release(inst_);
  core_ = core;
  inst_ = core ? core->create() : nullptr;
  if (!inst_) core_ = nullptr;
  return HasCore();
}

int MicGainControl::Init(int32_t minLevel, int32_t maxLevel) {
  if (minLevel < 0 || minLevel >= maxLevel || maxLevel >= (1 << 26)) return -1;
  const int32_t range = maxLevel - minLevel;
  levelShift_ = 22 - BitLength(static_cast<uint32_t>(range + range * 10 / 32));
  if (levelShift_ < 0) levelShift_ = 0;
  lowLevel_ = minLevel >> levelShift_;
  cardMaxLevel_ = maxLevel >> levelShift_;
  topLevel_ = (maxLevel + range * 10 / 32) >> levelShift_;
  startTopLevel_ = topLevel_;
  floorLevel_ = lowLevel_ + (topLevel_ - lowLevel_) * 10 / 256;
  wantedLevel_ = lowLevel_;
  mode_ = 3;
  threshold_ = 207;
  tooLow_ = tooHigh_ = inBand_ = zero_ = 0;
  firstCall_ = true;
  speechTime_ = 0;
  RestoreFastLimits();
  upperHard_ = 78122800;
  lowerHard_ = 4929200;
  for (int32_t& r : ring_) r = 1000;
  ringPos_ = 0;
  ringSum_ = 1250;
  lowpass_ = 16284;
  maxEnergy_ = 0;
  slowLevel_ = 19623600;
  std::memset(envelope_, 0, sizeof envelope_);
  std::memset(energy_, 0, sizeof energy_);
  pending_ = 0;
  saturation_ = 0;
  if (HasCore() && core_->init) core_->init(inst_);
  return 0;
}

void MicGainControl::RestoreFastLimits() {
  slowMode_ = false;
  softHold_ = 520;
  hardHold_ = 340;
  upperSoft_ = 24704700;
  lowerSoft_ = 15587500;
}

int MicGainControl::AddNearEnd(int16_t* frame, int length, int rate) {
  if (!frame || !LengthOk(length, rate)) return -1;
  const int perMs = rate / 1000;
  const int tenMs = perMs * 10;
  // Virtual volume: the part of the wanted level above the card's maximum is applied here.
  if (wantedLevel_ > cardMaxLevel_ && cardMaxLevel_ > lowLevel_) {
    int index = static_cast<int>(((wantedLevel_ - cardMaxLevel_) * 40) / (cardMaxLevel_ - lowLevel_));
    if (index > 12) index = 12;
    const int32_t g = kVirtualGain[index];
    for (int i = 0; i < length; ++i) frame[i] = SonraSat16((frame[i] * g) >> 12);
  }
  for (int piece = 0; piece < length / tenMs; ++piece) {
    const int16_t* p = frame + piece * tenMs;
    const int set = pending_ >= 1 ? 1 : 0;
    for (int k = 0; k < 10; ++k) {
      int32_t m = 0;
      for (int j = 0; j < perMs; ++j) {
        const int32_t s = static_cast<int32_t>(p[k * perMs + j]) * p[k * perMs + j];
        if (s > m) m = s;
      }
      envelope_[set][k] = m;
    }
    int16_t nb[80];
    if (rate == 16000) {
      int32_t state[8] = {};  // a short, self-contained halving is enough for an energy figure
      Resample_DownBy2(p, 160, nb, state);
    } else {
      std::memcpy(nb, p, sizeof nb);
    }
    for (int k = 0; k < 5; ++k) energy_[set][k] = Energy16(nb + 16 * k);
    pending_ = pending_ == 0 ? 1 : 2;
    if (HasCore() && core_->detect) {
      logRatio_ = core_->detect(inst_, p, tenMs, rate);
      deviation_ = core_->longTermDeviation ? core_->longTermDeviation(inst_) : 0;
    }
  }
  return 0;
}

int MicGainControl::AddFarEnd(const int16_t* frame, int length, int rate) {
  if (!frame || !LengthOk(length, rate)) return -1;
  if (!HasCore() || !core_->addFarEnd) return 0;
  const int tenMs = rate / 100;
  int sum = 0;
  for (int piece = 0; piece < length / tenMs; ++piece) {
    sum += core_->addFarEnd(frame + piece * tenMs, inst_, rate);
  }
  return sum;
}

int MicGainControl::Process(const int16_t* in, int length, int16_t* out, int32_t inLevel, int32_t* outLevel,
                            int rate) {
  if (!in || !out || !outLevel || !LengthOk(length, rate)) return -1;
  const int tenMs = rate / 100;
  int32_t level = inLevel;
  for (int piece = 0; piece < length / tenMs; ++piece) {
    const int16_t* src = in + piece * tenMs;
    int16_t* dst = out + piece * tenMs;
    if (mode_ >= 2 && HasCore() && core_->process) {
      if (core_->process(src, dst, inst_, rate) != 0) return -1;
    } else if (dst != src) {
      std::memmove(dst, src, sizeof(int16_t) * static_cast<size_t>(tenMs));
    }
    if (Adapt(level, &level) != 0) return -1;
    if (pending_ == 2) {
      std::memcpy(envelope_[0], envelope_[1], sizeof envelope_[0]);
      std::memcpy(energy_[0], energy_[1], sizeof energy_[0]);
    }
    if (pending_ > 0) --pending_;
  }
  *outLevel = level;
  return 0;
}

void MicGainControl::Raise(const int32_t* a, const int32_t* b) {
  const int32_t span = startTopLevel_ - lowLevel_;
  if (span <= 0) return;
  const int32_t f = static_cast<int32_t>((static_cast<int64_t>(wantedLevel_ - lowLevel_) << 14) / span);
  int k = 0;
  if (f >= 12125) k = 7;
  else if (f >= 7865) k = 6;
  else if (f >= 6555) k = 5;
  else if (f >= 5244) k = 4;
  else if (f >= 3933) k = 3;
  else if (f >= 2622) k = 2;
  else if (f >= 1312) k = 1;
  const int64_t factor = a[k] - static_cast<int64_t>(b[k]) * f / 8192;
  wantedLevel_ = static_cast<int32_t>(wantedLevel_ * factor / 16384);
}

int MicGainControl::Adapt(int32_t inLevel, int32_t* outLevel) {
  const int32_t in = inLevel >> levelShift_;
  if (in > cardMaxLevel_ || in < lowLevel_) return -1;
  const int32_t tenPercent = lowLevel_ + (topLevel_ - lowLevel_) * 51 / 512;
  if (mode_ != 0) {
    if (firstCall_) {
      wantedLevel_ = in > tenPercent ? in : tenPercent;
      firstCall_ = false;
    } else if (in == cardMaxLevel_ && wantedLevel_ > cardMaxLevel_) {
      // The card is at its top and the rest is applied digitally: nothing moved from outside.
    } else if (in != wantedLevel_) {
      int32_t moved = in;
      if (moved < floorLevel_) moved = tenPercent;
      if (moved < wantedLevel_) {
        tooHigh_ = 0;
        speechTime_ = 0;
        maxEnergy_ = 0;
      } else {
        tooLow_ = 0;
      }
      inBand_ = 0;
      RestoreFastLimits();
      wantedLevel_ = moved;
    }
  }
  // Saturation of the microphone.
  const int set = 0;
  for (int k = 0; k < 10; ++k) {
    const int32_t e = envelope_[set][k] >> 20;
    if (e > 875) saturation_ += e;
    if (e > 77) tooLow_ = -300;
    saturation_ = static_cast<int32_t>(static_cast<int64_t>(saturation_) * 32735 / 32768);
  }
  if (saturation_ >= 14001) {
    saturation_ = -10000;
    tooHigh_ = -100;
    speechTime_ = 0;
    maxEnergy_ = 0;
    slowLevel_ = slowLevel_ / 4 * 3;
    topLevel_ = (3 * (wantedLevel_ + 1) + topLevel_) / 4;
    wantedLevel_ = static_cast<int32_t>(static_cast<int64_t>(wantedLevel_) * 27853 / 32768);
  }
  if (mode_ != 0) {
    int32_t sum = 0;
    for (int k = 0; k < 10; ++k) sum += envelope_[set][k] > 11 ? 11 : envelope_[set][k];
    if (sum < 11) {
      zero_ += 10;
    } else {
      zero_ = 0;
    }
    if (zero_ > 400 && wantedLevel_ < (topLevel_ - lowLevel_) / 2) {
      zero_ = 0;
      wantedLevel_ = wantedLevel_ * 1229 / 1024;
    }
    const int32_t d = deviation_;
    threshold_ = d < 4000 ? 3000 : (d >= 7000 ? 207 : 207 + (7000 - d) / 8);
    for (int k = 0; k < 5; ++k) {
      const int32_t e = energy_[set][k];
      ringSum_ += e / 8 - ring_[ringPos_] / 8;
      ring_[ringPos_] = e;
      ringPos_ = (ringPos_ + 1) % 10;
      lowpass_ += e / 64 - lowpass_ / 64;
      if (logRatio_ <= threshold_) continue;
      if (speechTime_ < 250) {
        speechTime_ += 2;
        if (lowpass_ > maxEnergy_) maxEnergy_ = lowpass_;
        if (speechTime_ >= 250) {
          speechTime_ = 252;
          slowLevel_ = maxEnergy_ / 8 * 10;
        }
      }
      slowLevel_ += ringSum_ / 2048 - slowLevel_ / 2048;
      if (slowLevel_ > upperHard_) {
        tooHigh_ += 2;
        tooLow_ = 0;
        inBand_ = 0;
        if (tooHigh_ > hardHold_) {
          // Every counter, the speech time too: the level is estimated afresh from the next speech.
          tooHigh_ = tooLow_ = inBand_ = zero_ = speechTime_ = 0;
          maxEnergy_ = 0;
          slowLevel_ = 53 * (slowLevel_ / 64);
          topLevel_ = (3 * (topLevel_ + 1) + wantedLevel_) / 4;
          wantedLevel_ = static_cast<int32_t>(static_cast<int64_t>(wantedLevel_) * 15565 / 16384);
        }
      } else if (slowLevel_ > upperSoft_) {
        tooHigh_ += 2;
        tooLow_ = 0;
        inBand_ = 0;
        if (tooHigh_ > softHold_) {
          tooHigh_ = 0;
          slowLevel_ = 53 * (slowLevel_ / 64);
          topLevel_ = (3 * (topLevel_ + 1) + wantedLevel_) / 4;
          wantedLevel_ = static_cast<int32_t>(static_cast<int64_t>(wantedLevel_) * 31621 / 32768);
        }
      } else if (slowLevel_ < lowerHard_) {
        tooLow_ += 2;
        tooHigh_ = 0;
        inBand_ = 0;
        if (tooLow_ > hardHold_) {
          tooLow_ = 0;
          Raise(kHardA, kHardB);
        }
      } else if (slowLevel_ >= lowerSoft_) {
        if (inBand_ <= 4000) {
          inBand_ += 2;
          if (inBand_ > 4000) {
            slowMode_ = true;
            softHold_ = 1000;
            hardHold_ = 500;
            upperSoft_ = 34896200;
            lowerSoft_ = 11035100;
          }
        }
        tooLow_ = 0;
        tooHigh_ = 0;
      } else {
        // Just below the band: only the too-low time counts; the other counters run on.
        tooLow_ += 2;
        if (tooLow_ > softHold_) {
          tooLow_ = 0;
          Raise(kSoftA, kSoftB);
        }
      }
    }
  }
  if (wantedLevel_ < floorLevel_) wantedLevel_ = floorLevel_;
  if (wantedLevel_ > topLevel_) wantedLevel_ = topLevel_;
  const int32_t shown = wantedLevel_ > cardMaxLevel_ ? cardMaxLevel_ : wantedLevel_;
  *outLevel = shown << levelShift_;
  return 0;
}

int MicGainControl::Version(char* text, int size) const {
  char core[16] = "not present";
  if (core_ && core_->version) core_->version(core);
  const int n = std::snprintf(text, static_cast<size_t>(size > 0 ? size : 0), "Sonra AGC\t\t%s", core);
  return (n < 0 || n >= size) ? -1 : 0;
}
