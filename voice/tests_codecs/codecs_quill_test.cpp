// Quill through the jitter buffer: a stream plays as the decoder alone gives it, and a loss plays on.
#include <gtest/gtest.h>

#include <cstring>

#include "codecs_fixture.h"
#include "voice/dsp/quill/quill.h"

namespace codecs_test {
namespace {

constexpr uint8_t kPtQuill = 103;
constexpr int kRate = 16000;

struct QuillStream {
  std::vector<std::vector<uint8_t>> payloads;
  int packetSamples = 0;
};

QuillStream EncodeQuill(const std::vector<int16_t>& pcm) {
  QuillInstance* enc = nullptr;
  QuillStream s;
  if (Quill_Create(&enc) != 0 || Quill_EncoderInit(enc, 1) != 0) return s;
  uint16_t words[300];
  int pending = 0;
  for (size_t at = 0; at + kQuillBlockSamples <= pcm.size(); at += kQuillBlockSamples) {
    pending += kQuillBlockSamples;
    const int bytes = Quill_Encode(enc, &pcm[at], words);
    if (bytes <= 0) continue;
    std::vector<uint8_t> p(static_cast<size_t>(bytes));
    for (int i = 0; i < bytes; ++i) p[static_cast<size_t>(i)] = static_cast<uint8_t>(words[i / 2] >> (8 * (i % 2)));
    s.payloads.push_back(std::move(p));
    s.packetSamples = pending;
    pending = 0;
  }
  Quill_Free(enc);
  return s;
}

std::vector<Arrival> Schedule(const QuillStream& s, int lost) {
  std::vector<Arrival> v;
  const int ms = s.packetSamples * 1000 / kRate;
  for (int k = 0; k < static_cast<int>(s.payloads.size()); ++k) {
    if (k == lost) continue;
    v.push_back({k * ms, RtpPacket(kPtQuill, static_cast<uint16_t>(k), 1000 + static_cast<uint32_t>(k * s.packetSamples),
                                   s.payloads[static_cast<size_t>(k)])});
  }
  return v;
}

// One jitter buffer at 16000 Hz with only Quill attached; returns the samples of every 10-ms call.
std::vector<int16_t> Play(const QuillStream& s, int lost, std::vector<int>* counts) {
  TidepoolInst* jb = nullptr;
  QuillInstance* dec = nullptr;
  std::vector<int16_t> out;
  if (TIDEPOOL_SONRA_10MS16B_create(&jb) != 0 || Quill_Create(&dec) != 0) return out;
  TIDEPOOL_SONRA_10MS16B_Init(jb, kRate);
  EXPECT_EQ(0, TIDEPOOL_SONRA_10MS16B_AssignQUILL(jb, dec));
  EXPECT_EQ(0, TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb, "QUILL", kRate, kPtQuill));
  const auto arrivals = Schedule(s, lost);
  const int ticks = static_cast<int>(s.payloads.size()) * s.packetSamples / 160 + 10;
  size_t next = 0;
  for (int t = 0; t < ticks; ++t) {
    while (next < arrivals.size() && arrivals[next].atMs <= 10 * t) {
      const auto& src = arrivals[next++].packet;
      std::unique_ptr<uint8_t[]> packet(new uint8_t[src.size()]);
      std::memcpy(packet.get(), src.data(), src.size());
      TIDEPOOL_SONRA_10MS16B_RecIn(jb, packet.get(), static_cast<int32_t>(src.size()),
                                   Tidepool_ArrivalTime(static_cast<uint64_t>(10 * t), kRate));
    }
    int16_t buf[320];
    int16_t n = 0;
    EXPECT_EQ(0, TIDEPOOL_SONRA_10MS16B_RecOut(jb, buf, &n)) << "call " << t;
    counts->push_back(n);
    out.insert(out.end(), buf, buf + n);
  }
  TIDEPOOL_SONRA_10MS16B_free(jb);
  Quill_Free(dec);
  return out;
}

std::vector<int16_t> DecodeAlone(const QuillStream& s) {
  QuillInstance* dec = nullptr;
  std::vector<int16_t> out;
  if (Quill_Create(&dec) != 0 || Quill_DecoderInit(dec) != 0) return out;
  for (const auto& p : s.payloads) {
    std::vector<uint16_t> words((p.size() + 1) / 2, 0);
    for (size_t i = 0; i < p.size(); ++i) words[i / 2] |= static_cast<uint16_t>(p[i] << (8 * (i % 2)));
    int16_t pcm[kQuillMaxFrameSamples];
    int16_t type = 0;
    const int n = Quill_Decode(dec, words.data(), static_cast<int16_t>(p.size()), pcm, &type);
    if (n > 0) out.insert(out.end(), pcm, pcm + n);
  }
  Quill_Free(dec);
  return out;
}

// Largest normalised correlation of b[bFrom, +count) with a at offsets aFrom..aTo.
double BestMatch(const std::vector<int16_t>& a, int aFrom, int aTo, const std::vector<int16_t>& b, int bFrom, int count) {
  double best = -1;
  for (int off = aFrom; off <= aTo && off + count <= static_cast<int>(a.size()); ++off) {
    double ab = 0, aa = 0, bb = 0;
    for (int i = 0; i < count; ++i) {
      const double x = a[static_cast<size_t>(off + i)], y = b[static_cast<size_t>(bFrom + i)];
      ab += x * y;
      aa += x * x;
      bb += y * y;
    }
    if (aa > 0 && bb > 0) best = std::max(best, ab / std::sqrt(aa * bb));
  }
  return best;
}

TEST(VoiceCodecsQuill, StreamPlaysAsTheDecoderAloneAndALossPlaysOn) {
  const QuillStream s = EncodeQuill(Voiced(kRate * 3, kRate));
  ASSERT_GT(s.payloads.size(), 50u);
  ASSERT_EQ(s.packetSamples, 480);
  const auto alone = DecodeAlone(s);
  ASSERT_EQ(alone.size(), s.payloads.size() * 480);

  for (const int lost : {-1, 40}) {
    std::vector<int> counts;
    const auto out = Play(s, lost, &counts);
    for (size_t t = 0; t < counts.size(); ++t) ASSERT_EQ(counts[t], 160) << "lost " << lost << " call " << t;
    // Before the loss the playout is the decoder's own output, delayed by the held-back tail.
    const int from = 960, count = 480 * 30;
    EXPECT_GT(BestMatch(out, from, from + 64, alone, from, count), 0.999) << "lost " << lost;
  }
}

}  // namespace
}  // namespace codecs_test
