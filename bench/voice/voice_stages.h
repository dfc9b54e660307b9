// The engine's per-block stages set up for measuring: capture, send path, playout mixer, jitter buffers.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sync.h"
#include "voice/codec_set.h"
#include "voice/dsp/g711.h"
#include "voice/mixer.h"
#include "voice/rtp_sender.h"
#include "voice/send_path.h"

namespace voicebench {

inline void Discard(void* user, const uint8_t*, int n) { *static_cast<uint64_t*>(user) += static_cast<uint64_t>(n); }

// Speech-like test signal: a harmonic series under a slow envelope, with a little noise.
inline std::vector<int16_t> Speech(int samples, int rate, double level = 8000.0) {
  std::vector<int16_t> s(static_cast<size_t>(samples));
  uint32_t seed = 12345;
  for (int i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / rate;
    double v = 0;
    for (int h = 1; h <= 6; ++h) v += std::sin(2 * M_PI * 131.0 * h * t + 0.3 * h) / h;
    const double env = 0.7 + 0.3 * std::sin(2 * M_PI * 1.3 * t);
    seed = seed * 1103515245u + 12345u;
    v = env * v + (static_cast<double>((seed >> 16) & 0x7fff) / 32768.0 - 0.5) * 0.05;
    s[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(level * 0.6 * v));
  }
  return s;
}

// Channels 0..n-1 of one engine's media paths, each sending PCMU of 20 ms and receiving a PCMU stream.
class Stages {
 public:
  explicit Stages(int channels) : channels_(channels), mic_(Speech(48000, 48000)), voice_(Speech(16000, 8000)) {
    tx_.SetWorkingRate(8000);
    mixer_.SetTX(&tx_);
    for (int c = 0; c < channels_; ++c) {
      sets_.push_back(std::make_unique<ChannelCodecSet>(c));
      sets_.back()->InitJitterBuffer(8000);
      senders_.push_back(std::make_unique<rtpsender>());
      rtcp_.push_back(std::make_unique<RtcpSession>());
      rtpsender& s = *senders_.back();
      s.init(UdpRecvSocket::CreateSocket(false, 0), UdpRecvSocket::CreateSocket(false, 0), "127.0.0.1",
             50000 + 2 * c, 0, false, 0, c, sets_.back().get(), rtcp_.back().get());
      s.setTap(&Discard, &bytesSent_);
      RTPtransmitter& t = tx_.Transmitter(c);
      t.initialise(&s, sets_.back().get());
      t.setCoder("pcmu", 0, 8000, 160, true);
      mixer_.SetJitter(c, sets_.back().get());
      seq_.push_back(static_cast<uint16_t>(100 * c));
      ts_.push_back(1000u * static_cast<uint32_t>(c));
    }
  }

  void SetSending(bool on) {
    for (int c = 0; c < channels_; ++c) on ? tx_.StartSending(c) : tx_.StopSending(c);
  }
  void SetPlaying(bool on) {
    for (int c = 0; c < channels_; ++c) on ? mixer_.StartPlaying(c) : mixer_.StopPlaying(c);
  }

  // 10 ms of microphone through the send path (capture alone when no channel sends).
  void SendBlock() {
    tx_.recordMicrophone(&mic_[micPos_], 480, 40, 0);
    micPos_ = (micPos_ + 480) % (mic_.size() - 480);
  }
  // 10 ms of playout: every second block a 20-ms packet arrives on each channel.
  void MixBlock() {
    Arrive();
    int16_t out[480];
    int rate = 0;
    mixer_.Mix(out, &rate);
  }
  // The jitter buffers alone: arrivals and one 10-ms take per channel.
  void JitterBlock() {
    Arrive();
    int16_t out[160];
    int16_t n = 0;
    for (int c = 0; c < channels_; ++c) sets_[static_cast<size_t>(c)]->TakeTenMs(out, &n);
  }
  uint64_t BytesSent() const { return bytesSent_; }

 private:
  void Arrive() {
    clock_.advance(10);
    if (++block_ % 2) return;
    for (int c = 0; c < channels_; ++c) {
      uint8_t p[12 + 160];
      p[0] = 0x80;
      p[1] = 0;
      p[2] = static_cast<uint8_t>(seq_[static_cast<size_t>(c)] >> 8);
      p[3] = static_cast<uint8_t>(seq_[static_cast<size_t>(c)]);
      const uint32_t ts = ts_[static_cast<size_t>(c)];
      for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
      for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<uint8_t>(c + i);
      G711_LinearToUlaw(&voice_[voicePos_], 160, p + 12);
      sets_[static_cast<size_t>(c)]->PutPacket(p, sizeof p, 8000);
      ++seq_[static_cast<size_t>(c)];
      ts_[static_cast<size_t>(c)] += 160;
    }
    voicePos_ = (voicePos_ + 160) % (voice_.size() - 160);
  }

  plat::TestClock clock_{1000};
  int channels_;
  TX tx_;
  Mixer mixer_;
  std::vector<std::unique_ptr<ChannelCodecSet>> sets_;
  std::vector<std::unique_ptr<rtpsender>> senders_;
  std::vector<std::unique_ptr<RtcpSession>> rtcp_;
  std::vector<uint16_t> seq_;
  std::vector<uint32_t> ts_;
  std::vector<int16_t> mic_;
  std::vector<int16_t> voice_;
  size_t micPos_ = 0;
  size_t voicePos_ = 0;
  int block_ = 0;
  uint64_t bytesSent_ = 0;
};

}  // namespace voicebench
