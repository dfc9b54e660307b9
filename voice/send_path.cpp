// Send path: microphone conversion, filtering, echo cancelling, gain control, and the per-channel send mix.
#include "voice/send_path.h"

#include <cstring>

#include "platform/wave.h"
#include "voice/codec_set.h"
#include "voice/components.h"
#include "voice/file_stream.h"
#include "voice/trace.h"

namespace {
TraceSink* T() { return EngineTrace(); }

// Adds b into a with saturation.
void AddSaturated(int16_t* a, const int16_t* b, int n) {
  for (int i = 0; i < n; ++i) a[i] = SonraSat16(static_cast<int32_t>(a[i]) + b[i]);
}
}  // namespace

TX::TX() { agc_.Create(Sonra_AgcCore()); }

TX::~TX() = default;

int TX::SendingCount() const {
  int n = 0;
  for (bool s : sending_) n += s ? 1 : 0;
  return n;
}

int TX::SetEchoStatus(int status) {
  if (status < 0 || status > 2) return -1;
  echoStatus_ = status == 2 ? 1 : status;
  echoOption_ = status == 2 ? 1 : 0;
  if (EchoOn()) {
    if (aec_) aec_->Init(workingRate_, echoOption_);
    if (aes_) AesFix_Init(aes_, 100, 0, 0);
  }
  return 0;
}

int TX::SetEchoType(int type) {
  // An unknown type would leave the microphone with no canceller at all.
  if (type != 0 && type != 1) return -1;
  if (type == 0) {
    if (aec_) aec_->Init(workingRate_, echoOption_);
  } else if (type == 1) {
    if (aes_) AesFix_Init(aes_, 100, 0, 0);
  }
  echoType_ = type;
  return 0;
}

int TX::EchoActivity() { return aec_ ? aec_->Activity() : 0; }

void TX::SetAgcStatus(int status) {
  agcStatus_ = status;
  if (status > 0 && agc_.HasCore())
    agc_.Init(static_cast<int32_t>(plat::kMixerVolumeMin), static_cast<int32_t>(plat::kMixerVolumeMax));
}

void TX::Reset() {
  std::memset(conf16_, 0, sizeof conf16_);
  std::memset(conf8_, 0, sizeof conf8_);
  for (int c = 0; c < kSonraMaxChannels; ++c) {
    confDoubler_[c].Reset();
    confHalver_[c].Reset();
    fileHalver_[c].Reset();
  }
  highPass_.Reset();
  down48_.Reset();
  halver_.Reset();
  doubler_.Reset();
  meter_.Reset();
}

int TX::playAudioAsMic(int channel, int16_t* buffer, bool start, bool mixWithMic, InStream* stream) {
  if (channel < 0 || channel >= kSonraMaxChannels) return -1;
  if (start) {
    if (fileAsMic_[channel] || !stream) {
      T()->Print(kTraceError, "Mixer::playAudio: Already playing another file", -1, -1);
      return -1;
    }
    fileAsMic_[channel] = stream;
    mixWithMic_[channel] = mixWithMic;
    fileHalver_[channel].Reset();
    return 0;
  }
  InStream* s = fileAsMic_[channel];
  if (!s || !buffer) return -1;
  uint8_t bytes[320];
  const int got = s->Read(bytes, 320);
  if (got < 320) {
    std::memset(bytes + (got > 0 ? got : 0), 0, static_cast<size_t>(320 - (got > 0 ? got : 0)));
    StopPlayingFileAsMic(channel);
  }
  for (int i = 0; i < kWbBlockSamples; ++i)
    buffer[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i]) | (static_cast<uint16_t>(bytes[2 * i + 1]) << 8));
  return got;
}

void TX::StopPlayingFileAsMic(int channel) {
  if (channel < 0 || channel >= kSonraMaxChannels) return;
  // The stream belongs to whoever started the play; the engine releases the ones it opened.
  fileAsMic_[channel] = nullptr;
}

int TX::StartRecordingMic(OutStream* stream) {
  if (recordStream_ || !stream) {
    T()->Print(kTraceError, "Mixer::playAudio: Already recording another file", -1, -1);
    return -1;
  }
  recordStream_ = stream;
  return 0;
}

void TX::StopRecordingMic() { recordStream_ = nullptr; }

void TX::SendFrames(int channel, const int16_t* signal, int length, int delayMs) {
  RTPtransmitter& t = trans_[channel];
  const int frame = length == kWbBlockSamples ? kWbBlockSamples : kNbBlockSamples;
  for (int at = 0; at + frame <= length; at += frame)
    t.send(channel, signal + at, frame, delayMs, workingRate_, echoStatus_ + echoOption_);
}

int TX::recordMicrophone(const int16_t* samples, int count, int delayMs, int micLevel) {
  int level = micLevel;
  for (int block = 0; block + kCardBlockSamples <= count; block += kCardBlockSamples) {
    // 1. Conference snapshot from each conference channel's second jitter buffer.
    for (int c = 0; c < kSonraMaxChannels; ++c) {
      if (!conference_[c] || !jitterB_[c]) continue;
      int16_t got[kWbBlockSamples];
      int16_t n = 0;
      jitterB_[c]->TakeTenMs(got, &n);
      if (hold_[c] || (n != kNbBlockSamples && n != kWbBlockSamples)) {
        std::memset(conf8_[c], 0, sizeof conf8_[c]);
        std::memset(conf16_[c], 0, sizeof conf16_[c]);
      } else if (n == kNbBlockSamples) {
        std::memcpy(conf8_[c], got, sizeof conf8_[c]);
        confDoubler_[c].Process(got, kNbBlockSamples, conf16_[c]);
      } else {
        std::memcpy(conf16_[c], got, sizeof conf16_[c]);
        confHalver_[c].Process(got, kWbBlockSamples, conf8_[c]);
      }
    }

    // 2-3. 48000 -> 16000 Hz and the high-pass filter.
    int16_t wide[kWbBlockSamples];
    down48_.Convert(samples + block, kCardBlockSamples, wide);
    if (highPass_.Filter(wide, kWbBlockSamples, 16000) > 65534)
      T()->Print(kTraceError, "\tHP-filter error (nrOfSamples = %d)", kWbBlockSamples, -1);
    int16_t wideClean[kWbBlockSamples];
    std::memcpy(wideClean, wide, sizeof wide);

    const bool agcOn = AgcOn();
    const bool echoOn = EchoOn();
    // The analysis may amplify the block (virtual volume): it runs once per block.
    bool agcFed = false;
    int16_t narrow[kNbBlockSamples];
    bool haveNarrow = false;
    if (workingRate_ == 16000) {
      // 4. Echo cancelling at 16000 Hz.
      if (echoOn) {
        if (agcOn) {
          agc_.AddNearEnd(wide, kWbBlockSamples, 16000);
          agcFed = true;
        }
        if (echoType_ == 0 && aec_) {
          const int r = aec_->ProcessNearEnd(wide, wide, kWbBlockSamples, delayMs);
          if (r != 0)
            T()->Print(kTraceError, "\tAEC error (returnVal = %d msecInSndCardOutBuf = %d)", r, delayMs);
        } else if (echoType_ == 1 && aes_) {
          AesFix_Process(aes_, wide, wide, 1, delayMs);
        }
      }
    } else {
      // 5. Working rate 8000: halve, then cancel in 80-sample frames.
      halver_.Process(wide, kWbBlockSamples, narrow);
      haveNarrow = true;
      if (agcOn) {
        agc_.AddNearEnd(narrow, kNbBlockSamples, 8000);
        agcFed = true;
      }
      if (echoOn) {
        if (echoType_ == 0 && aec_) {
          const int r = aec_->ProcessNearEnd(narrow, narrow, kNbBlockSamples, delayMs);
          if (r != 0)
            T()->Print(kTraceError, "\tAEC error (returnVal = %d msecInSndCardOutBuf = %d)", r, delayMs);
        } else if (echoType_ == 1 && aes_) {
          AesFix_Process(aes_, narrow, narrow, 0, delayMs);
        }
      }
    }

    // 6. Gain control.
    int16_t* work = workingRate_ == 16000 ? wide : narrow;
    const int workLength = workingRate_ == 16000 ? kWbBlockSamples : kNbBlockSamples;
    if (agcOn) {
      if (!agcFed) agc_.AddNearEnd(work, workLength, workingRate_);
      int32_t out = level;
      if (agc_.Process(work, workLength, work, level, &out, workingRate_) == 0) level = out;
    }

    // 7. Input level.
    meter_.Process(work, workLength);

    // 8. Microphone recording (16000 Hz).
    if (recordStream_) {
      int16_t rec[kWbBlockSamples];
      if (workingRate_ == 16000)
        std::memcpy(rec, wide, sizeof rec);
      else
        doubler_.Process(narrow, kNbBlockSamples, rec);
      if (!recordStream_->Write(rec, sizeof rec)) {
        T()->Print(kTraceError, "TX::recordMicrophone failed", -1, -1);
        recordStream_ = nullptr;
      }
    }

    // 9. Each sending channel not on hold.
    for (int c = 0; c < kSonraMaxChannels; ++c) {
      if (!sending_[c] || hold_[c]) continue;
      RTPtransmitter& t = trans_[c];
      const bool nb = t.codecRate() == 8000;
      if (fileAsMic_[c]) {
        int16_t sig[kWbBlockSamples];
        if (playAudioAsMic(c, sig, false, false, nullptr) < 0) T()->Print(kTraceError, "TX::playAudioAsMic failed", -1, -1);
        if (mixWithMic_[c]) AddSaturated(sig, workingRate_ == 16000 ? wide : wideClean, kWbBlockSamples);
        if (t.muted()) std::memset(sig, 0, sizeof sig);
        if (nb) {
          int16_t half[kNbBlockSamples];
          fileHalver_[c].Process(sig, kWbBlockSamples, half);
          SendFrames(c, half, kNbBlockSamples, delayMs);
        } else {
          SendFrames(c, sig, kWbBlockSamples, delayMs);
        }
        continue;
      }
      if (nb) {
        if (!haveNarrow) {
          halver_.Process(wide, kWbBlockSamples, narrow);
          haveNarrow = true;
        }
        int16_t sig[kNbBlockSamples];
        if (t.muted())
          std::memset(sig, 0, sizeof sig);
        else
          std::memcpy(sig, narrow, sizeof sig);
        if (conference_[c]) {
          for (int o = 0; o < kSonraMaxChannels; ++o)
            if (o != c && conference_[o] && jitterB_[o]) AddSaturated(sig, conf8_[o], kNbBlockSamples);
        }
        SendFrames(c, sig, kNbBlockSamples, delayMs);
      } else {
        int16_t sig[kWbBlockSamples];
        if (t.muted())
          std::memset(sig, 0, sizeof sig);
        else
          std::memcpy(sig, workingRate_ == 16000 ? wide : wideClean, sizeof sig);
        if (conference_[c]) {
          for (int o = 0; o < kSonraMaxChannels; ++o)
            if (o != c && conference_[o] && jitterB_[o]) AddSaturated(sig, conf16_[o], kWbBlockSamples);
        }
        SendFrames(c, sig, kWbBlockSamples, delayMs);
      }
    }
  }
  return level != micLevel ? level : 0;
}
