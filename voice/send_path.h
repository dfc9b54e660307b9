// Send path: each 10-ms microphone block is converted, filtered, echo-cancelled, levelled and sent on every sending channel.
#pragma once

#include <cstdint>

#include "voice/engine_defs.h"
#include "voice/mic_gain.h"
#include "voice/processing.h"
#include "voice/rtp_sender.h"

class AecPcBase;
struct AesFixInst;
class ChannelCodecSet;
class InStream;
class OutStream;

class TX {
 public:
  TX();
  ~TX();
  TX(const TX&) = delete;
  TX& operator=(const TX&) = delete;

  // One block of count samples (a multiple of 480) at 48000 Hz. micLevel is the microphone
  // volume (mixer units, 0 with gain control off). Returns the new volume when gain control
  // changed it, else 0.
  int recordMicrophone(const int16_t* samples, int count, int delayMs, int micLevel);

  RTPtransmitter& Transmitter(int channel) { return trans_[channel]; }
  void StartSending(int channel) { sending_[channel] = true; }
  void StopSending(int channel) { sending_[channel] = false; }
  bool Sending(int channel) const { return sending_[channel]; }
  int SendingCount() const;
  void SetHold(int channel, bool on) { hold_[channel] = on; }
  bool Hold(int channel) const { return hold_[channel]; }
  void SetConference(int channel, bool on) { conference_[channel] = on; }
  bool Conference(int channel) const { return conference_[channel]; }
  // The channel's second jitter buffer (read for the conference mix).
  void SetJitterB(int channel, ChannelCodecSet* set) { jitterB_[channel] = set; }

  int WorkingRate() const { return workingRate_; }
  void SetWorkingRate(int rate) { workingRate_ = rate; }

  // Echo control: status 0, 1 or 2 (2 = on with the option flag); type 0 AEC PC, 1 AES FIX.
  int SetEchoStatus(int status);
  int EchoStatus() const { return echoStatus_; }
  int EchoOption() const { return echoOption_; }
  bool EchoOn() const { return echoStatus_ + echoOption_ != 0; }
  int SetEchoType(int type);
  int EchoType() const { return echoType_; }
  int EchoActivity();
  void SetAecPc(AecPcBase* aec) { aec_ = aec; }
  void SetAesFix(AesFixInst* aes) { aes_ = aes; }
  AecPcBase* AecPc() const { return aec_; }
  AesFixInst* AesFix() const { return aes_; }

  // Gain control.
  void SetAgcStatus(int status);
  int AgcStatus() const { return agcStatus_; }
  // On only when a gain-control core is present.
  bool AgcOn() const { return agcStatus_ > 0 && agc_.HasCore(); }
  MicGainControl& Agc() { return agc_; }

  void Reset();
  int InputLevel() const { return meter_.Level(); }

  // File played as a channel's microphone. With start: begins (-1 when one plays or no stream);
  // without: fills buffer with the next 10 ms at 16000 Hz (160 samples).
  int playAudioAsMic(int channel, int16_t* buffer, bool start, bool mixWithMic, InStream* stream);
  bool IsPlayingFileAsMic(int channel) const { return fileAsMic_[channel] != nullptr; }
  void StopPlayingFileAsMic(int channel);
  // The microphone recorded to a stream (16000 Hz raw PCM): start (-1 when one records or no stream), stop.
  int StartRecordingMic(OutStream* stream);
  void StopRecordingMic();
  bool RecordingMic() const { return recordStream_ != nullptr; }

 private:
  void SendFrames(int channel, const int16_t* signal, int length, int delayMs);

  RTPtransmitter trans_[kSonraMaxChannels];
  bool sending_[kSonraMaxChannels] = {};
  bool hold_[kSonraMaxChannels] = {};
  bool conference_[kSonraMaxChannels] = {};
  InStream* fileAsMic_[kSonraMaxChannels] = {};
  bool mixWithMic_[kSonraMaxChannels] = {};
  ChannelCodecSet* jitterB_[kSonraMaxChannels] = {};
  int16_t conf16_[kSonraMaxChannels][kWbBlockSamples] = {};
  int16_t conf8_[kSonraMaxChannels][kNbBlockSamples] = {};
  RateDoubler confDoubler_[kSonraMaxChannels];
  RateHalver confHalver_[kSonraMaxChannels];
  RateHalver fileHalver_[kSonraMaxChannels];

  int workingRate_ = 16000;
  int echoStatus_ = 0;
  int echoOption_ = 0;
  int echoType_ = 0;
  AecPcBase* aec_ = nullptr;
  AesFixInst* aes_ = nullptr;
  int agcStatus_ = 0;
  MicGainControl agc_;

  LevelMeter meter_;
  HighPassFilter highPass_;
  Rate48To16 down48_;
  RateHalver halver_;
  RateDoubler doubler_;
  OutStream* recordStream_ = nullptr;
};
