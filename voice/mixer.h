// Playout mixer: 10 ms from every playing channel's jitter buffer, summed through a limiter, to 48000 Hz.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "voice/engine_defs.h"
#include "voice/processing.h"

class AecPcBase;
struct AesFixInst;
class ChannelCodecSet;
class InStream;
class TX;

class Mixer {
 public:
  Mixer();
  ~Mixer();
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  // Mixes one block: 480 samples at 48000 Hz into out, and the playout rate of the last channel.
  // Returns 480.
  int Mix(int16_t* out, int* rate);

  // Adds or removes a channel from playout; returns the number of channels playing.
  int StartPlaying(int channel);
  int StopPlaying(int channel);
  bool Playing(int channel) const { return playing_[channel]; }
  int PlayingCount() const { return playingCount_; }
  void SetHold(int channel, bool on) { hold_[channel] = on; }
  bool Hold(int channel) const { return hold_[channel]; }

  void SetJitter(int channel, ChannelCodecSet* set) { jitter_[channel] = set; }
  void SetAecPc(AecPcBase* aec) { aec_ = aec; }
  void SetAesFix(AesFixInst* aes) { aes_ = aes; }
  void SetTX(TX* tx) { tx_ = tx; }
  // Whether the canceller may follow the stream's rate (8000 or 16000 Hz).
  void SetMultiRate(bool on) { multiRate_ = on; }
  bool MultiRate() const { return multiRate_; }
  void SetNarrowband(bool on) { narrowband_ = on; }
  bool Narrowband() const { return narrowband_; }

  void Reset();

  // Local DTMF feedback tone: digit and duration in ms (duration * 16 samples at 16000 Hz).
  void StartDtmfTone(int digit, int durationMs);
  void StopDtmfTone() { toneRemaining_ = 0; }
  int DtmfToneRemaining() const { return toneRemaining_; }

  int OutputLevel() const { return meter_.Level(); }

  // A file played into a channel: with start begins (-1 when one plays or no stream); without,
  // reads the next 10 ms (160 samples at 16000 Hz) into buffer.
  int playAudio(int channel, int16_t* buffer, bool start, InStream* stream);
  bool IsPlayingFile(int channel) const { return file_[channel] != nullptr; }
  // Stops a file play; returns the stream so its owner can release it.
  InStream* StopPlayingFile(int channel);

  // Records a channel's received audio to a 16-kHz WAV file; 0 or -1.
  int StartRecording(int channel, const std::string& name);
  int StopRecording(int channel);
  bool Recording(int channel) const { return recordTemp_[channel] != nullptr; }

  // The soft limiter applied when two or more channels play (saturating, never wrapping).
  static int16_t Limit(int32_t sum);

 private:
  bool playing_[kSonraMaxChannels] = {};
  bool hold_[kSonraMaxChannels] = {};
  int playingCount_ = 0;
  ChannelCodecSet* jitter_[kSonraMaxChannels] = {};
  RateDoubler doubler_[kSonraMaxChannels];
  InStream* file_[kSonraMaxChannels] = {};
  FILE* recordTemp_[kSonraMaxChannels] = {};
  std::string recordName_[kSonraMaxChannels];
  FILE* recordFinal_[kSonraMaxChannels] = {};
  uint32_t recordSamples_[kSonraMaxChannels] = {};

  AecPcBase* aec_ = nullptr;
  AesFixInst* aes_ = nullptr;
  TX* tx_ = nullptr;
  bool cancellerAt8000_ = false;
  bool multiRate_ = true;
  bool narrowband_ = false;

  LevelMeter meter_;
  DtmfToneGenerator tone_;
  int toneDigit_ = 0;
  int toneRemaining_ = 0;
  Rate16To48 up48_;
  // Each playing channel's far-end copy: the sum up to and including it, limited, at 8000 Hz.
  RateHalver farHalver_[kSonraMaxChannels];
  int16_t far8_[kSonraMaxChannels][kNbBlockSamples] = {};
};
