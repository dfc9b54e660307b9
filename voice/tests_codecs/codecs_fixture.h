// Test helpers: codec streams as RTP packets, and a jitter buffer with every codec attached as the engine does it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "voice/dsp/cng.h"
#include "voice/dsp/ilbc/ilbc.h"
#include "voice/dsp/ostrel/ostrel711.h"
#include "voice/dsp/ostrel/ostrelwb.h"
#include "voice/tidepool/assign_codecs.h"
#include "voice/tidepool/tidepool.h"
#include "voice/tidepool/tidepool_internal.h"

namespace codecs_test {

// The engine's receive payload types.
constexpr uint8_t kPtOstrelWb = 97;
constexpr uint8_t kPtOstrel711U = 100;
constexpr uint8_t kPtOstrel711A = 101;
constexpr uint8_t kPtIlbc = 102;
constexpr uint8_t kPtCn = 13;

enum class Codec { kIlbc, kOstrel711U, kOstrel711A, kOstrelWb };

inline const char* Name(Codec c) {
  switch (c) {
    case Codec::kIlbc: return "iLBC";
    case Codec::kOstrel711U: return "OSTREL711U";
    case Codec::kOstrel711A: return "OSTREL711A";
    case Codec::kOstrelWb: return "OSTRELWB";
  }
  return "?";
}

inline uint8_t PayloadType(Codec c) {
  switch (c) {
    case Codec::kIlbc: return kPtIlbc;
    case Codec::kOstrel711U: return kPtOstrel711U;
    case Codec::kOstrel711A: return kPtOstrel711A;
    case Codec::kOstrelWb: return kPtOstrelWb;
  }
  return 0;
}

inline int Rate(Codec c) { return c == Codec::kOstrelWb ? 16000 : 8000; }

inline std::vector<uint8_t> RtpPacket(uint8_t pt, uint16_t seq, uint32_t ts, const std::vector<uint8_t>& payload,
                                      uint32_t ssrc = 0x5eed) {
  std::vector<uint8_t> p(12);
  p[0] = 0x80;
  p[1] = pt & 0x7f;
  p[2] = static_cast<uint8_t>(seq >> 8);
  p[3] = static_cast<uint8_t>(seq);
  for (int i = 0; i < 4; ++i) p[static_cast<size_t>(4 + i)] = static_cast<uint8_t>(ts >> (24 - 8 * i));
  for (int i = 0; i < 4; ++i) p[static_cast<size_t>(8 + i)] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

// A voiced, speech-like signal: a harmonic series on a gliding pitch under an uneven envelope, with a
// little noise so no stretch of it repeats.
inline std::vector<int16_t> Voiced(int samples, int rate, double level = 8000.0) {
  std::vector<int16_t> s(static_cast<size_t>(samples));
  uint32_t seed = 4711;
  double phase = 0;
  for (int i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double f0 = 120.0 + 25.0 * std::sin(2 * M_PI * 0.7 * t);
    phase += 2 * M_PI * f0 / rate;
    double v = 0;
    for (int h = 1; h <= 8 && h * f0 < rate / 2.0 - 200; ++h) v += std::sin(h * phase + 0.4 * h) / h;
    const double env = 0.65 + 0.25 * std::sin(2 * M_PI * 1.7 * t) + 0.1 * std::sin(2 * M_PI * 4.3 * t + 1.0);
    seed = seed * 1103515245u + 12345u;
    const double noise = (static_cast<double>((seed >> 16) & 0x7fff) / 32768.0 - 0.5) * 0.05;
    s[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(level * 0.6 * (env * v + noise)));
  }
  return s;
}

// One codec's stream: the payloads of consecutive packets and the samples each covers.
struct Encoded {
  std::vector<std::vector<uint8_t>> payloads;
  int packetSamples = 0;
};

// iLBC packets of `frames` frames of `mode` ms each.
inline Encoded EncodeIlbc(const std::vector<int16_t>& pcm, int mode, int frames) {
  IlbcEncoder enc{};
  Ilbc_EncoderInit(&enc, static_cast<int16_t>(mode));
  Encoded e;
  e.packetSamples = frames * (mode == 30 ? 240 : 160);
  for (size_t at = 0; at + static_cast<size_t>(e.packetSamples) <= pcm.size(); at += static_cast<size_t>(e.packetSamples)) {
    std::vector<uint8_t> payload(static_cast<size_t>(frames * 50));
    const int n = Ilbc_Encode(&enc, pcm.data() + at, static_cast<int16_t>(e.packetSamples), payload.data());
    payload.resize(static_cast<size_t>(n < 0 ? 0 : n));
    e.payloads.push_back(payload);
  }
  return e;
}

inline Encoded EncodeOstrel711(const std::vector<int16_t>& pcm, int law, int packetSamples) {
  auto enc = std::make_unique<Ostrel711Codec>();
  Ostrel711_Init(enc.get(), static_cast<int16_t>(law), kOstrelInputLinear, static_cast<int16_t>(packetSamples));
  Encoded e;
  e.packetSamples = packetSamples;
  for (size_t at = 0; at + 80 <= pcm.size(); at += 80) {
    uint8_t packet[kOstrel711MaxPacketBytes];
    int16_t bytes = 0;
    int16_t needed = 0;
    Ostrel711_EncodeCore(enc.get(), pcm.data() + at, packet, &bytes, &needed);
    if (bytes > 0) e.payloads.emplace_back(packet, packet + bytes);
  }
  return e;
}

inline Encoded EncodeOstrelWb(const std::vector<int16_t>& pcm, int packetSamples) {
  auto enc = std::make_unique<OstrelWbCodec>();
  OstrelWb_Init(enc.get(), static_cast<int16_t>(packetSamples));
  Encoded e;
  e.packetSamples = packetSamples;
  for (size_t at = 0; at + 160 <= pcm.size(); at += 160) {
    uint8_t packet[kOstrelWbMaxPacketBytes];
    int16_t bytes = 0;
    int16_t needed = 0;
    OstrelWb_Encode(enc.get(), pcm.data() + at, packet, &bytes, &needed);
    if (bytes > 0) e.payloads.emplace_back(packet, packet + bytes);
  }
  return e;
}

struct Arrival {
  int atMs;
  std::vector<uint8_t> packet;
};

struct Tick {
  int16_t count = 0;
  int16_t result = 0;
  int32_t lastOp = 0;
};

// One receive path as the engine sets it up: the jitter buffer initialised at 8000 Hz, every codec's
// decoder attached and its payload type registered, comfort noise and DTMF handling on. Every 10 ms
// the packets that have arrived go in, then 10 ms come out.
class Receiver {
 public:
  Receiver() {
    TIDEPOOL_SONRA_10MS16B_create(&inst_);
    Ilbc_CreateDecoder(&ilbc_);
    Cng_CreateDecoder(&cng_);
    TIDEPOOL_SONRA_10MS16B_Init(inst_, 8000);
    TIDEPOOL_SONRA_10MS16B_SetDTMFHandling(inst_, 1);
    ok_ = TIDEPOOL_SONRA_10MS16B_AssignOSTREL711U(inst_, u_.get()) == 0 &&
          TIDEPOOL_SONRA_10MS16B_RegisterPayload(inst_, "OSTREL711U", 8000, kPtOstrel711U) == 0 &&
          Ostrel711_Init(u_.get(), 0, kOstrelInputLinear, 160) == 0 &&
          TIDEPOOL_SONRA_10MS16B_AssignOSTREL711A(inst_, a_.get()) == 0 &&
          TIDEPOOL_SONRA_10MS16B_RegisterPayload(inst_, "OSTREL711A", 8000, kPtOstrel711A) == 0 &&
          Ostrel711_Init(a_.get(), 1, kOstrelInputLinear, 160) == 0 &&
          TIDEPOOL_SONRA_10MS16B_AssignOSTRELWB(inst_, wb_.get()) == 0 &&
          TIDEPOOL_SONRA_10MS16B_RegisterPayload(inst_, "OSTRELWB", 16000, kPtOstrelWb) == 0 &&
          OstrelWb_Init(wb_.get(), 320) == 0 &&
          TIDEPOOL_SONRA_10MS16B_AssignILBC(inst_, ilbc_) == 0 &&
          TIDEPOOL_SONRA_10MS16B_RegisterPayload(inst_, "ILBC", 8000, kPtIlbc) == 0 &&
          TIDEPOOL_SONRA_10MS16B_AssignCN(inst_, cng_) == 0;
  }
  ~Receiver() {
    TIDEPOOL_SONRA_10MS16B_free(inst_);
    Ilbc_FreeDecoder(ilbc_);
    Cng_FreeDecoder(cng_);
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  bool ok() const { return ok_; }
  TidepoolInst* inst() const { return inst_; }
  IlbcDecoder* ilbc() const { return ilbc_; }

  // `rate` is the stream's RTP clock, in which arrival times are given.
  void Run(std::vector<Arrival> arrivals, int ticks, int rate = 8000) {
    std::stable_sort(arrivals.begin(), arrivals.end(), [](const Arrival& x, const Arrival& y) { return x.atMs < y.atMs; });
    size_t next = 0;
    for (int t = 0; t < ticks; ++t) {
      const int now = clock_ + 10 * t;
      while (next < arrivals.size() && arrivals[next].atMs <= now) {
        // An exact-size heap copy, so a read past the packet is caught.
        const auto& src = arrivals[next++].packet;
        std::unique_ptr<uint8_t[]> packet(new uint8_t[src.size()]);
        std::copy(src.begin(), src.end(), packet.get());
        TIDEPOOL_SONRA_10MS16B_RecIn(inst_, packet.get(), static_cast<int32_t>(src.size()),
                                     Tidepool_ArrivalTime(static_cast<uint64_t>(now), rate));
      }
      int16_t buf[160];
      Tick tick;
      tick.result = TIDEPOOL_SONRA_10MS16B_RecOut(inst_, buf, &tick.count);
      tick.lastOp = inst_->playout.lastOp;
      ticks_.push_back(tick);
      out_.insert(out_.end(), buf, buf + tick.count);
    }
    clock_ += 10 * ticks;
  }

  const std::vector<int16_t>& out() const { return out_; }
  const std::vector<Tick>& ticks() const { return ticks_; }

 private:
  TidepoolInst* inst_ = nullptr;
  IlbcDecoder* ilbc_ = nullptr;
  CngDecoderInst* cng_ = nullptr;
  std::unique_ptr<Ostrel711Codec> u_ = std::make_unique<Ostrel711Codec>();
  std::unique_ptr<Ostrel711Codec> a_ = std::make_unique<Ostrel711Codec>();
  std::unique_ptr<OstrelWbCodec> wb_ = std::make_unique<OstrelWbCodec>();
  bool ok_ = false;
  int clock_ = 0;
  std::vector<int16_t> out_;
  std::vector<Tick> ticks_;
};

// Offset of the first occurrence of `needle` in `hay` at or after `from`, or -1.
inline int Find(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle, int from = 0) {
  if (needle.empty() || hay.size() < needle.size()) return -1;
  for (size_t i = static_cast<size_t>(std::max(from, 0)); i + needle.size() <= hay.size(); ++i)
    if (std::equal(needle.begin(), needle.end(), hay.begin() + static_cast<long>(i))) return static_cast<int>(i);
  return -1;
}

inline std::vector<int16_t> Slice(const std::vector<int16_t>& v, int from, int count) {
  return std::vector<int16_t>(v.begin() + from, v.begin() + from + count);
}

}  // namespace codecs_test
