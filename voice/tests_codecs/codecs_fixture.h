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
#include "voice/tests/tidepool_fixture.h"
#include "voice/tidepool/assign_codecs.h"
#include "voice/tidepool/tidepool.h"
#include "voice/tidepool/tidepool_internal.h"

namespace codecs_test {

using tidepool_test::Arrival;
using tidepool_test::Find;
using tidepool_test::Tick;

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
  return tidepool_test::Build({pt, seq, ts, ssrc, payload});
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

// Ostrel packets: whole blocks of `block` samples fed to the encoder (encode as Ostrel711_EncodeCore).
template <size_t MaxBytes, typename Codec, typename Encode>
Encoded EncodeOstrelBlocks(Codec* enc, Encode encode, const std::vector<int16_t>& pcm, size_t block,
                           int packetSamples) {
  Encoded e;
  e.packetSamples = packetSamples;
  for (size_t at = 0; at + block <= pcm.size(); at += block) {
    uint8_t packet[MaxBytes];
    int16_t bytes = 0;
    int16_t needed = 0;
    encode(enc, pcm.data() + at, packet, &bytes, &needed);
    if (bytes > 0) e.payloads.emplace_back(packet, packet + bytes);
  }
  return e;
}

inline Encoded EncodeOstrel711(const std::vector<int16_t>& pcm, int law, int packetSamples) {
  auto enc = std::make_unique<Ostrel711Codec>();
  Ostrel711_Init(enc.get(), static_cast<int16_t>(law), kOstrelInputLinear, static_cast<int16_t>(packetSamples));
  return EncodeOstrelBlocks<kOstrel711MaxPacketBytes>(enc.get(), Ostrel711_EncodeCore, pcm, 80, packetSamples);
}

inline Encoded EncodeOstrelWb(const std::vector<int16_t>& pcm, int packetSamples) {
  auto enc = std::make_unique<OstrelWbCodec>();
  OstrelWb_Init(enc.get(), static_cast<int16_t>(packetSamples));
  return EncodeOstrelBlocks<kOstrelWbMaxPacketBytes>(enc.get(), OstrelWb_Encode, pcm, 160, packetSamples);
}

// One receive path as the engine sets it up: the jitter buffer initialised at 8000 Hz, every codec's
// decoder attached and its payload type registered, comfort noise and DTMF handling on. Every 10 ms
// the packets that have arrived go in, then 10 ms come out.
class Receiver : public tidepool_test::Driver {
 public:
  Receiver() : Driver(8000) {
    Ilbc_CreateDecoder(&ilbc_);
    Cng_CreateDecoder(&cng_);
    TidepoolInst* t = inst();
    ok_ = TIDEPOOL_SONRA_10MS16B_AssignOSTREL711U(t, u_.get()) == 0 &&
          TIDEPOOL_SONRA_10MS16B_RegisterPayload(t, "OSTREL711U", 8000, kPtOstrel711U) == 0 &&
          Ostrel711_Init(u_.get(), 0, kOstrelInputLinear, 160) == 0 &&
          TIDEPOOL_SONRA_10MS16B_AssignOSTREL711A(t, a_.get()) == 0 &&
          TIDEPOOL_SONRA_10MS16B_RegisterPayload(t, "OSTREL711A", 8000, kPtOstrel711A) == 0 &&
          Ostrel711_Init(a_.get(), 1, kOstrelInputLinear, 160) == 0 &&
          TIDEPOOL_SONRA_10MS16B_AssignOSTRELWB(t, wb_.get()) == 0 &&
          TIDEPOOL_SONRA_10MS16B_RegisterPayload(t, "OSTRELWB", 16000, kPtOstrelWb) == 0 &&
          OstrelWb_Init(wb_.get(), 320) == 0 &&
          TIDEPOOL_SONRA_10MS16B_AssignILBC(t, ilbc_) == 0 &&
          TIDEPOOL_SONRA_10MS16B_RegisterPayload(t, "ILBC", 8000, kPtIlbc) == 0 &&
          TIDEPOOL_SONRA_10MS16B_AssignCN(t, cng_) == 0;
  }
  ~Receiver() {
    Ilbc_FreeDecoder(ilbc_);
    Cng_FreeDecoder(cng_);
  }

  bool ok() const { return ok_; }
  IlbcDecoder* ilbc() const { return ilbc_; }

 private:
  IlbcDecoder* ilbc_ = nullptr;
  CngDecoderInst* cng_ = nullptr;
  std::unique_ptr<Ostrel711Codec> u_ = std::make_unique<Ostrel711Codec>();
  std::unique_ptr<Ostrel711Codec> a_ = std::make_unique<Ostrel711Codec>();
  std::unique_ptr<OstrelWbCodec> wb_ = std::make_unique<OstrelWbCodec>();
  bool ok_ = false;
};

inline std::vector<int16_t> Slice(const std::vector<int16_t>& v, int from, int count) {
  return std::vector<int16_t>(v.begin() + from, v.begin() + from + count);
}

}  // namespace codecs_test
