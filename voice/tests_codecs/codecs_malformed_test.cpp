// Assigning the decoders, and malformed payloads of every codec through the decoder routines and the jitter buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "voice/tests_codecs/codecs_fixture.h"

namespace {

using namespace codecs_test;

// A decoder instance of one codec with what the tests need to know about it.
struct Subject {
  Codec codec;
  const TidepoolDecoderOps* ops;
  TidepoolCodec entry;
  std::function<int16_t(TidepoolInst*, void*)> assign;
  Encoded stream;  // valid packets
  int kind;
  int rate;
};

struct Instances {
  std::unique_ptr<IlbcDecoder> ilbc = std::make_unique<IlbcDecoder>();
  std::unique_ptr<Ostrel711Codec> u = std::make_unique<Ostrel711Codec>();
  std::unique_ptr<Ostrel711Codec> a = std::make_unique<Ostrel711Codec>();
  std::unique_ptr<OstrelWbCodec> wb = std::make_unique<OstrelWbCodec>();

  void* Of(Codec c) {
    switch (c) {
      case Codec::kIlbc: return ilbc.get();
      case Codec::kOstrel711U: return u.get();
      case Codec::kOstrel711A: return a.get();
      case Codec::kOstrelWb: return wb.get();
    }
    return nullptr;
  }
};

std::vector<Subject> Subjects() {
  const auto nb = Voiced(2 * 8000, 8000);
  const auto wb = Voiced(2 * 16000, 16000);
  std::vector<Subject> s;
  s.push_back({Codec::kIlbc, &kTidepoolIlbcOps, kTidepoolIlbc,
               [](TidepoolInst* i, void* d) { return TIDEPOOL_SONRA_10MS16B_AssignILBC(i, static_cast<IlbcDecoder*>(d)); },
               EncodeIlbc(nb, 30, 1), kTidepoolKindOther, 8000});
  s.push_back({Codec::kIlbc, &kTidepoolIlbcOps, kTidepoolIlbc,
               [](TidepoolInst* i, void* d) { return TIDEPOOL_SONRA_10MS16B_AssignILBC(i, static_cast<IlbcDecoder*>(d)); },
               EncodeIlbc(nb, 20, 2), kTidepoolKindOther, 8000});
  s.push_back({Codec::kOstrel711U, &kTidepoolOstrel711UOps, kTidepoolOstrel711U,
               [](TidepoolInst* i, void* d) {
                 return TIDEPOOL_SONRA_10MS16B_AssignOSTREL711U(i, static_cast<Ostrel711Codec*>(d));
               },
               EncodeOstrel711(nb, 0, 320), kTidepoolKindOstrel, 8000});
  s.push_back({Codec::kOstrel711A, &kTidepoolOstrel711AOps, kTidepoolOstrel711A,
               [](TidepoolInst* i, void* d) {
                 return TIDEPOOL_SONRA_10MS16B_AssignOSTREL711A(i, static_cast<Ostrel711Codec*>(d));
               },
               EncodeOstrel711(nb, 1, 160), kTidepoolKindOstrel, 8000});
  s.push_back({Codec::kOstrelWb, &kTidepoolOstrelWbOps, kTidepoolOstrelWb,
               [](TidepoolInst* i, void* d) { return TIDEPOOL_SONRA_10MS16B_AssignOSTRELWB(i, static_cast<OstrelWbCodec*>(d)); },
               EncodeOstrelWb(wb, 640), kTidepoolKindOstrel, 16000});
  return s;
}

// Malformed variants of a valid payload: every truncation, trailing bytes, corrupted bytes, and noise
// of the same and of other lengths.
std::vector<std::vector<uint8_t>> Malformed(const std::vector<uint8_t>& valid, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::vector<uint8_t>> v;
  for (size_t n = 1; n < valid.size(); ++n) v.emplace_back(valid.begin(), valid.begin() + static_cast<long>(n));
  for (const int extra : {1, 2, 7, 64}) {
    auto p = valid;
    for (int i = 0; i < extra; ++i) p.push_back(static_cast<uint8_t>(rng()));
    v.push_back(p);
  }
  for (size_t i = 0; i < valid.size(); ++i) {
    for (const uint8_t x : {uint8_t{0x00}, uint8_t{0xff}}) {
      auto p = valid;
      p[i] = x;
      v.push_back(p);
    }
  }
  for (int round = 0; round < 200; ++round) {
    const size_t n = round < 100 ? valid.size() : 1 + rng() % 900;
    std::vector<uint8_t> p(n);
    for (auto& b : p) b = static_cast<uint8_t>(rng());
    v.push_back(p);
  }
  return v;
}

void Reset(const Subject& s, void* dec) {
  if (s.codec == Codec::kOstrelWb) OstrelWb_Init(static_cast<OstrelWbCodec*>(dec), 160);
  if (s.codec == Codec::kOstrel711U || s.codec == Codec::kOstrel711A)
    Ostrel711_Init(static_cast<Ostrel711Codec*>(dec), s.codec == Codec::kOstrel711A ? 1 : 0, kOstrelInputLinear, 80);
  ASSERT_EQ(s.ops->init(dec), 0);
}

// Decodes `payload` from an exact-size heap copy into an exact-size heap output of `capacity` samples.
// Returns the decode result; checks it stays within the output and that the payload is left as it was.
int DecodeExact(const Subject& s, void* dec, const std::vector<uint8_t>& payload, int capacity, const std::string& what) {
  std::unique_ptr<uint8_t[]> in(payload.empty() ? nullptr : new uint8_t[payload.size()]);
  if (in) std::memcpy(in.get(), payload.data(), payload.size());
  std::unique_ptr<int16_t[]> out(new int16_t[static_cast<size_t>(capacity)]);
  int16_t type = 0;
  const int n = s.ops->decode(dec, in.get(), static_cast<int>(payload.size()), out.get(), capacity, &type);
  EXPECT_GE(n, -1) << what;
  EXPECT_LE(n, capacity) << what;
  if (in) {
    EXPECT_EQ(std::memcmp(in.get(), payload.data(), payload.size()), 0) << what << ": payload changed";
  }
  return n;
}

TEST(VoiceCodecsAssign, EachAssignInitialisesAndAttachesItsDecoder) {
  for (const Subject& s : Subjects()) {
    const std::string what = Name(s.codec);
    Instances dec;
    void* d = dec.Of(s.codec);
    TidepoolInst* inst = nullptr;
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_create(&inst), 0);
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_Init(inst, 8000), 0);

    // No decoder: refused, nothing attached.
    EXPECT_EQ(s.assign(inst, nullptr), -1) << what;
    EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_GetLastError(inst), kTidepoolErrNoDecoder) << what;
    EXPECT_EQ(inst->control.codecs[s.entry].instance, nullptr) << what;

    // A decoder left in another state is initialised as the jitter buffer starts it.
    Ilbc_DecoderInit(dec.ilbc.get(), 20);
    Ostrel711_Init(dec.u.get(), 1, kOstrelInputLinear, 80);
    Ostrel711_Init(dec.a.get(), 0, kOstrelInputLinear, 80);
    OstrelWb_Init(dec.wb.get(), 160);
    dec.wb->decPending = 3;
    dec.wb->lower.decPending = 3;
    EXPECT_EQ(s.assign(inst, d), 0) << what;
    EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_GetLastError(inst), 0) << what;
    EXPECT_EQ(inst->control.codecs[s.entry].instance, d) << what;
    EXPECT_EQ(inst->control.codecs[s.entry].ops, s.ops) << what;
    switch (s.codec) {
      case Codec::kIlbc: EXPECT_EQ(dec.ilbc->c.mode, 30); break;
      case Codec::kOstrel711U: EXPECT_EQ(dec.u->law, 0); break;
      case Codec::kOstrel711A: EXPECT_EQ(dec.a->law, 1); break;
      case Codec::kOstrelWb:
        EXPECT_EQ(dec.wb->decPending, 0);
        EXPECT_EQ(dec.wb->lower.decPending, 0);
        break;
    }
    EXPECT_EQ(s.ops->kind, s.kind) << what;
    EXPECT_EQ(s.ops->rate, s.rate) << what;

    // Registered, the codec's first packet installs its decoder at its rate.
    const char* name = s.codec == Codec::kIlbc ? "ILBC" : Name(s.codec);
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(inst, name, s.rate, PayloadType(s.codec)), 0) << what;
    const auto packet = RtpPacket(PayloadType(s.codec), 1, 160, s.stream.payloads[1]);
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RecIn(inst, packet.data(), static_cast<int32_t>(packet.size()), 0), 0) << what;
    EXPECT_EQ(inst->control.decoder.instance, d) << what;
    EXPECT_EQ(inst->control.decoder.kind, s.kind) << what;
    EXPECT_EQ(inst->control.wideband, s.rate == 16000 ? 1 : 0) << what;
    TIDEPOOL_SONRA_10MS16B_free(inst);
  }
}

TEST(VoiceCodecsMalformed, DecodeRoutinesStayWithinExactSizeBuffers) {
  unsigned seed = 1;
  for (const Subject& s : Subjects()) {
    const std::string what = Name(s.codec);
    Instances dec;
    void* d = dec.Of(s.codec);
    Reset(s, d);
    const auto& valid = s.stream.payloads;

    // The valid stream decodes to whole packets, with room for exactly that much.
    for (size_t k = 0; k < 6; ++k)
      EXPECT_EQ(DecodeExact(s, d, valid[k], s.stream.packetSamples, what), s.stream.packetSamples) << what << " " << k;
    // Nothing given: iLBC has nothing held back; the Ostrel codecs may give their held section.
    EXPECT_GE(DecodeExact(s, d, {}, 2048, what + " empty"), 0);

    for (const auto& bad : Malformed(valid[3], seed++)) {
      for (const int capacity : {2048, s.stream.packetSamples, 80})
        DecodeExact(s, d, bad, capacity, what + " length " + std::to_string(bad.size()));
      if (HasFatalFailure()) return;
    }

    // Restarted, the decoder is as good as new.
    Reset(s, d);
    for (size_t k = 0; k < 3; ++k)
      EXPECT_EQ(DecodeExact(s, d, valid[k], 2048, what + " after"), s.stream.packetSamples) << what;
  }
}

TEST(VoiceCodecsMalformed, IlbcRoutinesRefuseWhatDoesNotFit) {
  const auto pcm = Voiced(8000, 8000);
  for (const int mode : {20, 30}) {
    const std::string what = std::to_string(mode) + " ms";
    const int block = mode == 30 ? 240 : 160;
    const Encoded e = EncodeIlbc(pcm, mode, 3);
    const Subject s{Codec::kIlbc, &kTidepoolIlbcOps, kTidepoolIlbc, nullptr, e, kTidepoolKindOther, 8000};
    auto dec = std::make_unique<IlbcDecoder>();
    ASSERT_EQ(Ilbc_DecoderInit(dec.get(), static_cast<int16_t>(mode)), 0);
    // Three frames need three blocks: one sample less is refused before anything is decoded.
    const IlbcDecoder before = *dec;
    EXPECT_EQ(DecodeExact(s, dec.get(), e.payloads[0], 3 * block - 1, what), -1);
    EXPECT_EQ(std::memcmp(&before, dec.get(), sizeof before), 0) << what << ": state changed";
    EXPECT_EQ(DecodeExact(s, dec.get(), e.payloads[0], 3 * block, what), 3 * block);
    // Four frames are never one payload for the decoder (the jitter buffer splits them).
    const int frameBytes = mode == 30 ? 50 : 38;
    auto four = e.payloads[1];
    four.insert(four.end(), e.payloads[2].begin(), e.payloads[2].begin() + frameBytes);
    EXPECT_EQ(DecodeExact(s, dec.get(), four, 2048, what), -1);
    // Concealment is one block, refused when it does not fit.
    for (const int capacity : {block - 1, block}) {
      std::unique_ptr<int16_t[]> out(new int16_t[static_cast<size_t>(capacity)]);
      EXPECT_EQ(kTidepoolIlbcOps.conceal(dec.get(), out.get(), capacity), capacity == block ? block : -1) << what;
    }
    EXPECT_EQ(kTidepoolIlbcOps.conceal(nullptr, nullptr, 2048), -1);
    EXPECT_EQ(kTidepoolIlbcOps.init(nullptr), -1);
    EXPECT_EQ(kTidepoolIlbcOps.initAlt(nullptr), -1);
  }
}

TEST(VoiceCodecsMalformed, JitterBufferPlaysOnThroughMalformedPackets) {
  for (const Subject& s : Subjects()) {
    const std::string what = Name(s.codec);
    const int P = s.stream.packetSamples;
    const int ms = P * 1000 / s.rate;
    const auto& valid = s.stream.payloads;
    const auto bad = Malformed(valid[4], 99);
    std::vector<Arrival> arrivals;
    // Valid packets, then a stretch where malformed payloads take the place of every other packet,
    // then valid packets again. Every packet goes in as an exact-size heap copy.
    const int n = static_cast<int>(valid.size());
    std::mt19937 rng(5);
    for (int k = 0; k < n; ++k) {
      const bool garbage = k >= 4 && k < n / 2 && k % 2 == 0;
      const auto& payload = garbage ? bad[rng() % bad.size()] : valid[static_cast<size_t>(k)];
      arrivals.push_back({k * ms, RtpPacket(PayloadType(s.codec), static_cast<uint16_t>(k),
                                            100 + static_cast<uint32_t>(k * P), payload)});
      // Packets cut short inside the RTP header and the payload, too.
      if (garbage) {
        auto cut = RtpPacket(PayloadType(s.codec), static_cast<uint16_t>(k), 100 + static_cast<uint32_t>(k * P), valid[3]);
        cut.resize(static_cast<size_t>(rng() % cut.size()));
        arrivals.push_back({k * ms, cut});
      }
    }
    Receiver r;
    ASSERT_TRUE(r.ok());
    const int ticks = n * ms / 10;
    r.Run(arrivals, ticks, s.rate);
    for (const auto& t : r.ticks()) ASSERT_EQ(t.count, s.rate / 100) << what;
    // Once valid packets flow again, playout recovers: the failing ticks (a payload that could not be
    // decoded plays as silence) end well before the stream does, and what follows is not silent.
    int lastFailure = -1;
    for (int t = 0; t < ticks; ++t)
      if (r.ticks()[static_cast<size_t>(t)].result != 0) lastFailure = t;
    EXPECT_LT(lastFailure, ticks - 10) << what;
    double energy = 0;
    const int perTick = s.rate / 100;
    for (int i = (lastFailure + 1) * perTick; i < ticks * perTick; ++i) {
      const double v = r.out()[static_cast<size_t>(i)];
      energy += v * v;
    }
    EXPECT_GT(energy, 0.0) << what;
  }
}

}  // namespace
