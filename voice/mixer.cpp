// Playout mixer: decoding through the jitter buffers, file play and recording, limiting, far-end feed and 48-kHz output.
#include "voice/mixer.h"

#include <cmath>
#include <cstring>

#include "platform/fs.h"
#include "voice/codec_set.h"
#include "voice/components.h"
#include "voice/file_stream.h"
#include "voice/send_path.h"
#include "voice/trace.h"

namespace {
TraceSink* T() { return EngineTrace(); }

// The limiter's curve x * cos(x / 90000) rises up to this input and falls beyond it.
constexpr int32_t kLimiterPeak = 77430;

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
}  // namespace

Mixer::Mixer() = default;

Mixer::~Mixer() {
  for (int c = 0; c < kSonraMaxChannels; ++c)
    if (recordTemp_[c]) StopRecording(c);
}

int16_t Mixer::Limit(int32_t sum) {
  // Held inside the rising part of the curve, then saturated: louder input never comes out
  // quieter, and nothing wraps.
  const int32_t x = sum > kLimiterPeak ? kLimiterPeak : (sum < -kLimiterPeak ? -kLimiterPeak : sum);
  const float y = static_cast<float>(x) * std::cos(static_cast<float>(x) * 1.1111111e-5f);
  return SonraSat16(static_cast<int32_t>(y));
}

int Mixer::StartPlaying(int channel) {
  if (channel < 0 || channel >= kSonraMaxChannels) return playingCount_;
  if (!playing_[channel]) {
    playing_[channel] = true;
    ++playingCount_;
    doubler_[channel].Reset();
    farHalver_[channel].Reset();
  }
  return playingCount_;
}

int Mixer::StopPlaying(int channel) {
  if (channel < 0 || channel >= kSonraMaxChannels) return playingCount_;
  if (playing_[channel]) {
    playing_[channel] = false;
    --playingCount_;
  }
  StopPlayingFile(channel);
  return playingCount_;
}

void Mixer::Reset() {
  for (auto& d : doubler_) d.Reset();
  up48_.Reset();
  for (auto& h : farHalver_) h.Reset();
  meter_.Reset();
}

void Mixer::StartDtmfTone(int digit, int durationMs) {
  toneDigit_ = digit;
  toneRemaining_ = durationMs > 0 ? durationMs * 16 : 0;
  tone_.Restart();
}

int Mixer::playAudio(int channel, int16_t* buffer, bool start, InStream* stream) {
  if (channel < 0 || channel >= kSonraMaxChannels) return -1;
  if (start) {
    if (file_[channel] || !stream) {
      T()->Print(kTraceError, "Mixer::playAudio: Already playing another file", -1, -1);
      return -1;
    }
    file_[channel] = stream;
    return 0;
  }
  InStream* s = file_[channel];
  if (!s || !buffer) return -1;
  uint8_t bytes[320];
  const int got = s->Read(bytes, 320);
  const int kept = got > 0 ? got : 0;
  if (kept < 320) {
    std::memset(bytes + kept, 0, static_cast<size_t>(320 - kept));
    file_[channel] = nullptr;
  }
  for (int i = 0; i < kWbBlockSamples; ++i)
    buffer[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i]) | (static_cast<uint16_t>(bytes[2 * i + 1]) << 8));
  return got;
}

InStream* Mixer::StopPlayingFile(int channel) {
  if (channel < 0 || channel >= kSonraMaxChannels) return nullptr;
  InStream* s = file_[channel];
  file_[channel] = nullptr;
  return s;
}

int Mixer::StartRecording(int channel, const std::string& name) {
  if (channel < 0 || channel >= kSonraMaxChannels || recordTemp_[channel] || name.empty()) return -1;
  FILE* temp = plat::OpenRegularStream(name + ".tmp", "w+b");
  if (!temp) return -1;
  FILE* finalFile = plat::OpenRegularStream(name, "wb");
  if (!finalFile) {
    std::fclose(temp);
    plat::RemoveFile(name + ".tmp");
    return -1;
  }
  recordFinal_[channel] = finalFile;
  recordTemp_[channel] = temp;
  recordName_[channel] = name;
  recordSamples_[channel] = 0;
  return 0;
}

int Mixer::StopRecording(int channel) {
  if (channel < 0 || channel >= kSonraMaxChannels || !recordTemp_[channel]) return -1;
  FILE* temp = recordTemp_[channel];
  FILE* out = recordFinal_[channel];
  recordTemp_[channel] = nullptr;
  recordFinal_[channel] = nullptr;
  const uint32_t samples = recordSamples_[channel];
  uint8_t h[44];
  std::memcpy(h, "RIFF", 4);
  Put32(h + 4, samples * 2 + 36);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  Put32(h + 16, 16);
  Put16(h + 20, 1);
  Put16(h + 22, 1);
  Put32(h + 24, 16000);
  Put32(h + 28, 32000);
  Put16(h + 32, 2);
  Put16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  Put32(h + 40, samples * 2);
  bool ok = std::fwrite(h, 1, sizeof h, out) == sizeof h;
  std::rewind(temp);
  uint8_t piece[160];
  size_t n;
  while (ok && (n = std::fread(piece, 1, sizeof piece, temp)) > 0) ok = std::fwrite(piece, 1, n, out) == n;
  ok = std::fclose(out) == 0 && ok;
  std::fclose(temp);
  plat::RemoveFile(recordName_[channel] + ".tmp");
  return ok ? 0 : -1;
}

int Mixer::Mix(int16_t* out, int* rate) {
  int32_t acc[kWbBlockSamples] = {};
  bool switchTo8000 = false;
  bool switchTo16000 = false;
  const bool echoOn = tx_ && tx_->EchoOn();
  int farChannel = -1;  // the channel whose far-end copy holds the whole sum
  for (int c = 0; c < kSonraMaxChannels; ++c) {
    if (!playing_[c] || !jitter_[c]) continue;
    int16_t got[kWbBlockSamples] = {};
    int16_t n = 0;
    if (jitter_[c]->TakeTenMs(got, &n) != 0) {
      // One failing stream must not silence the others: it plays what it gave (silence).
      T()->Print(kTraceError, "TIDEPOOL_SONRA_10MS16B_RecOut() error code = %d", jitter_[c]->JitterLastError(), -1);
    }
    int16_t block[kWbBlockSamples];
    if (n != kNbBlockSamples && n != kWbBlockSamples) {
      std::memset(block, 0, sizeof block);
    } else if (n == kNbBlockSamples) {
      if (rate) *rate = 8000;
      if (echoOn && !cancellerAt8000_) {
        switchTo8000 = true;
        cancellerAt8000_ = true;
      }
      doubler_[c].Process(got, kNbBlockSamples, block);
    } else {
      if (rate) *rate = 16000;
      if (playingCount_ < 2 && multiRate_ && cancellerAt8000_ && echoOn) switchTo16000 = true;
      cancellerAt8000_ = false;
      std::memcpy(block, got, sizeof block);
    }
    if (hold_[c]) std::memset(block, 0, sizeof block);
    if (recordTemp_[c]) {
      const size_t w = std::fwrite(block, sizeof(int16_t), kWbBlockSamples, recordTemp_[c]);
      recordSamples_[c] += static_cast<uint32_t>(w);
      if (w != kWbBlockSamples) StopRecording(c);
      // A channel being recorded is silent on the loudspeaker.
      std::memset(block, 0, sizeof block);
    }
    for (int i = 0; i < kWbBlockSamples; ++i) acc[i] += block[i];
    if (file_[c]) {
      int16_t f[kWbBlockSamples];
      if (playAudio(c, f, false, nullptr) < 0) T()->Print(kTraceError, "mixer::playAudio failed", -1, -1);
      for (int i = 0; i < kWbBlockSamples; ++i) acc[i] += f[i];
    }
    int16_t limited[kWbBlockSamples];
    for (int i = 0; i < kWbBlockSamples; ++i) limited[i] = Limit(acc[i]);
    farHalver_[c].Process(limited, kWbBlockSamples, far8_[c]);
    farChannel = c;
  }

  int16_t mixed[kWbBlockSamples];
  if (playingCount_ < 2) {
    for (int i = 0; i < kWbBlockSamples; ++i) mixed[i] = SonraSat16(acc[i]);
  } else {
    for (int i = 0; i < kWbBlockSamples; ++i) mixed[i] = Limit(acc[i]);
  }

  // The echo canceller's far end.
  if (echoOn) {
    const bool farAt8000 = playingCount_ < 2 && multiRate_ && cancellerAt8000_;
    int16_t far8[kNbBlockSamples] = {};
    if (farAt8000 && farChannel >= 0) std::memcpy(far8, far8_[farChannel], sizeof far8);
    if (tx_->EchoType() == 0 && aec_) {
      const int r = farAt8000 ? aec_->AddFarEnd(far8, kNbBlockSamples) : aec_->AddFarEnd(mixed, kWbBlockSamples);
      if (r != 0) T()->Print(kTraceError, "\tAEC SonraAEC_AddToFarEndBuffer error", -1, -1);
    } else if (tx_->EchoType() == 1 && aes_) {
      if (farAt8000)
        AesFix_AddFarEnd(aes_, far8, 0);
      else
        AesFix_AddFarEnd(aes_, mixed, 1);
    }
    if (switchTo8000 || switchTo16000) {
      const int newRate = switchTo8000 ? 8000 : 16000;
      tx_->SetWorkingRate(newRate);
      if (aec_) aec_->Init(newRate, tx_->EchoOption());
      if (aes_) AesFix_Init(aes_, 50, 0, 0);
    }
  }

  if (playingCount_ == 0) {
    std::memset(mixed, 0, sizeof mixed);
  } else {
    if (tx_ && tx_->AgcOn()) tx_->Agc().AddFarEnd(mixed, kWbBlockSamples, 16000);
    if (toneRemaining_ > 0) {
      int16_t t[kWbBlockSamples];
      tone_.Tone(t, toneDigit_, 10, kWbBlockSamples, 16000);
      for (int i = 0; i < kWbBlockSamples; ++i) mixed[i] = SonraSat16(static_cast<int32_t>(mixed[i]) + t[i]);
      toneRemaining_ -= kWbBlockSamples;
      if (toneRemaining_ < 0) toneRemaining_ = 0;
    }
  }
  meter_.Process(mixed, kWbBlockSamples);
  up48_.Convert(mixed, out);
  return kCardBlockSamples;
}
