// iLBC and Ostrel RTP streams through the jitter buffer: what plays out against what the decoders give alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "voice/dsp/g711.h"
#include "voice/dsp/ostrel/ostrel_entries.h"
#include "voice/tests_codecs/codecs_fixture.h"

namespace {

using namespace codecs_test;

constexpr int kTail = 5;  // samples the playout holds back at 8000 Hz (10 at 16000 Hz)

std::vector<Arrival> Schedule(const Encoded& e, uint8_t pt, int rate, int lost = -1, int late = -1,
                              uint32_t ts0 = 1000, uint16_t seq0 = 0, int startMs = 0) {
  const int ms = e.packetSamples * 1000 / rate;
  std::vector<Arrival> v;
  for (int k = 0; k < static_cast<int>(e.payloads.size()); ++k) {
    if (k == lost) continue;
    // A late packet comes after its turn has passed, before the next packet's.
    const int at = startMs + k * ms + (k == late ? ms - 5 : 0);
    v.push_back({at, RtpPacket(pt, static_cast<uint16_t>(seq0 + k),
                               ts0 + static_cast<uint32_t>(k * e.packetSamples), e.payloads[static_cast<size_t>(k)])});
  }
  return v;
}

int Ticks(const Encoded& e, int rate) { return static_cast<int>(e.payloads.size()) * e.packetSamples * 100 / rate + 10; }

void ExpectEveryTickTenMs(const Receiver& r, int rate, const std::string& what) {
  for (size_t t = 0; t < r.ticks().size(); ++t) {
    ASSERT_EQ(r.ticks()[t].result, 0) << what << " tick " << t << " error "
                                      << TIDEPOOL_SONRA_10MS16B_GetLastError(r.inst());
    ASSERT_EQ(r.ticks()[t].count, rate / 100) << what << " tick " << t;
  }
}

// Number of samples from `from` on where out[i + offset] equals ref[i], up to the first difference.
int ExactRun(const std::vector<int16_t>& out, const std::vector<int16_t>& ref, int offset, int from) {
  int n = 0;
  for (int i = from; i < static_cast<int>(ref.size()) && i + offset < static_cast<int>(out.size()); ++i, ++n)
    if (out[static_cast<size_t>(i + offset)] != ref[static_cast<size_t>(i)]) break;
  return n;
}

double Energy(const std::vector<int16_t>& v, int from, int count) {
  double e = 0;
  for (int i = from; i < from + count; ++i) e += static_cast<double>(v[static_cast<size_t>(i)]) * v[static_cast<size_t>(i)];
  return e;
}

double Correlation(const std::vector<int16_t>& a, int aFrom, const std::vector<int16_t>& b, int bFrom, int count) {
  double xy = 0, xx = 0, yy = 0;
  for (int i = 0; i < count; ++i) {
    const double x = a[static_cast<size_t>(aFrom + i)];
    const double y = b[static_cast<size_t>(bFrom + i)];
    xy += x * y;
    xx += x * x;
    yy += y * y;
  }
  return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
}

// Best correlation of b[bFrom, bFrom + count) with a stretch of a starting between aFrom and aTo.
double BestCorrelation(const std::vector<int16_t>& a, int aFrom, int aTo, const std::vector<int16_t>& b, int bFrom,
                       int count) {
  double best = -1;
  for (int off = std::max(aFrom, 0); off <= aTo && off + count <= static_cast<int>(a.size()); ++off)
    best = std::max(best, Correlation(a, off, b, bFrom, count));
  return best;
}

// ---------------------------------------------------------------------------------------------------------
// iLBC
// ---------------------------------------------------------------------------------------------------------

// What the decoder gives for the whole stream on its own, started in the stream's mode.
std::vector<int16_t> IlbcAlone(const Encoded& e, int mode) {
  IlbcDecoder dec{};
  Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
  std::vector<int16_t> pcm;
  for (const auto& p : e.payloads) {
    int16_t out[720];
    int16_t type = 0;
    const int n = Ilbc_Decode(&dec, p.data(), static_cast<int16_t>(p.size()), out, &type);
    EXPECT_GT(n, 0);
    pcm.insert(pcm.end(), out, out + (n > 0 ? n : 0));
  }
  return pcm;
}

TEST(VoiceCodecsIlbc, StreamPlaysSampleExactAsTheDecoderAlone) {
  struct Case {
    int mode;
    int frames;  // per packet
  };
  for (const Case c : {Case{20, 1}, Case{20, 2}, Case{30, 1}, Case{30, 3}}) {
    const std::string what = std::to_string(c.mode) + " ms x " + std::to_string(c.frames);
    const auto pcm = Voiced(8000 * 3, 8000);
    const Encoded e = EncodeIlbc(pcm, c.mode, c.frames);
    ASSERT_EQ(e.payloads.front().size(), static_cast<size_t>(c.frames * (c.mode == 30 ? 50 : 38))) << what;
    const auto alone = IlbcAlone(e, c.mode);

    Receiver r;
    ASSERT_TRUE(r.ok());
    r.Run(Schedule(e, kPtIlbc, 8000), Ticks(e, 8000));
    ExpectEveryTickTenMs(r, 8000, what);
    EXPECT_EQ(r.ilbc()->c.mode, c.mode) << what;
    // The first packet plays at once; only the held-back tail delays it. Every packet then plays
    // sample-exact (the stream's end is concealed, so the comparison stops at its last packet).
    EXPECT_EQ(Find(r.out(), Slice(alone, 0, 160)), kTail) << what;
    const int compared = static_cast<int>(alone.size()) - kTail;
    EXPECT_EQ(ExactRun(r.out(), alone, kTail, 0), compared) << what;
    EXPECT_EQ(r.inst()->playout.mergeCount, 0u) << what;
    EXPECT_EQ(r.inst()->playout.accelerateCount, 0u) << what;
  }
}

TEST(VoiceCodecsIlbc, LostPacketIsConcealedAndPlayoutRecovers) {
  struct Case {
    int mode;
    int frames;
    int lost;
  };
  for (const Case c : {Case{20, 1, 12}, Case{30, 1, 15}, Case{20, 2, 9}, Case{30, 2, 8}}) {
    const std::string what = std::to_string(c.mode) + " ms x " + std::to_string(c.frames);
    const auto pcm = Voiced(8000 * 3, 8000);
    const Encoded e = EncodeIlbc(pcm, c.mode, c.frames);
    const auto alone = IlbcAlone(e, c.mode);
    const int P = e.packetSamples;
    const int ms = P / 8;

    Receiver r;
    ASSERT_TRUE(r.ok());
    // Up to the lost packet's turn, then on to the end.
    const auto arrivals = Schedule(e, kPtIlbc, 8000, c.lost);
    const int turnTicks = c.lost * ms / 10 + 1;
    std::vector<Arrival> before;
    std::vector<Arrival> rest;
    for (const auto& a : arrivals) (a.atMs < turnTicks * 10 ? before : rest).push_back(a);
    r.Run(before, turnTicks);
    // The decoder's own concealment ran for the missing frame, keeping its state in step.
    EXPECT_EQ(r.ilbc()->prevConcealed, 1) << what;
    r.Run(rest, Ticks(e, 8000) - turnTicks);
    ExpectEveryTickTenMs(r, 8000, what);

    // Untouched up to the loss.
    EXPECT_GE(ExactRun(r.out(), alone, kTail, 0), c.lost * P - kTail) << what;
    const auto& p = r.inst()->playout;
    EXPECT_GT(p.concealedTotal, 0u) << what;
    EXPECT_EQ(p.mergeCount, 1u) << what;
    // The gap is a continuation of the speech, not silence. Concealing and merging move the
    // timeline by less than a packet, so the comparisons search that far.
    const int gap = c.lost * P + kTail;
    EXPECT_GT(Energy(r.out(), gap, P), 0.1 * Energy(alone, c.lost * P, P)) << what;
    EXPECT_GT(BestCorrelation(r.out(), gap - P, gap + P, alone, c.lost * P, P), 0.8) << what;
    const int after = (c.lost + 1) * P;
    EXPECT_GT(BestCorrelation(r.out(), after + kTail - P, after + kTail + P, alone, after, 2 * P), 0.9) << what;
    // The decoder, fed on through the concealed state, ends up sample-exact again, a little later.
    const int last = static_cast<int>(e.payloads.size()) - 2;
    const int at = Find(r.out(), Slice(alone, last * P, P), after);
    ASSERT_GE(at, 0) << what;
    EXPECT_GT(at - last * P, kTail) << what;
    EXPECT_LE(at - last * P, kTail + P) << what;
  }
}

TEST(VoiceCodecsIlbc, ModeChangeAndComfortNoisePlayOn) {
  // One second of 30-ms frames, then the sender switches to 20-ms frames on the same timeline (the
  // first of them arriving early, while 30-ms frames still wait), then stops talking and sends a SID.
  const auto pcm = Voiced(8000 * 2, 8000);
  const std::vector<int16_t> first(pcm.begin(), pcm.begin() + 8160);
  const std::vector<int16_t> second(pcm.begin() + 8160, pcm.end());
  const Encoded e30 = EncodeIlbc(first, 30, 1);
  const Encoded e20 = EncodeIlbc(second, 20, 1);
  ASSERT_EQ(e30.payloads.size() * 240, 8160u);
  const int switchMs = 8160 / 8;
  auto arrivals = Schedule(e30, kPtIlbc, 8000);
  for (auto& a : Schedule(e20, kPtIlbc, 8000, -1, -1, 1000 + 8160, 34, switchMs)) {
    if (a.atMs < switchMs + 40) a.atMs -= 50;
    arrivals.push_back(a);
  }

  CngEncoderInst* cng = nullptr;
  ASSERT_EQ(Cng_CreateEncoder(&cng), 0);
  ASSERT_EQ(Cng_EncoderInit(cng, 8000, 100, 8), 0);
  std::vector<int16_t> hiss(80);
  for (size_t i = 0; i < hiss.size(); ++i) hiss[i] = static_cast<int16_t>(((i * 7919u) % 601u) - 300);
  uint8_t sid[16];
  int16_t sidLength = 0;
  ASSERT_GT(Cng_Encode(cng, hiss.data(), 80, sid, &sidLength, 1), 0);
  Cng_FreeEncoder(cng);
  const int endMs = switchMs + static_cast<int>(e20.payloads.size()) * 20;
  arrivals.push_back({endMs, RtpPacket(kPtCn, 200, 1000 + static_cast<uint32_t>(pcm.size()),
                                       std::vector<uint8_t>(sid, sid + sidLength))});

  Receiver r;
  ASSERT_TRUE(r.ok());
  r.Run(arrivals, endMs / 10 + 60);
  ExpectEveryTickTenMs(r, 8000, "mode change and SID");
  // After the switch the 20-ms frames play as a 20-ms decoder alone gives them.
  const auto alone20 = IlbcAlone(e20, 20);
  const int at = Find(r.out(), Slice(alone20, 0, 160), 8000);
  ASSERT_GE(at, 0);
  EXPECT_LE(at, 8160 + 160 + kTail);
  EXPECT_EQ(ExactRun(r.out(), alone20, at, 0), static_cast<int>(alone20.size()) - kTail);
  EXPECT_EQ(r.ilbc()->c.mode, 20);
  // The silence after the talk spurt is comfort noise: not digital silence.
  EXPECT_EQ(r.ticks().back().lastOp, tidepool::kOpComfortNoise);
  EXPECT_GT(Energy(r.out(), static_cast<int>(r.out().size()) - 400, 400), 0.0);
}

// ---------------------------------------------------------------------------------------------------------
// Ostrel711 and Ostrel wideband
// ---------------------------------------------------------------------------------------------------------

struct OstrelCase {
  Codec codec;
  int packetSamples;
  int lost;  // packet index, -1 for none
  int late;  // packet index arriving after its turn, -1 for none
};

std::string Describe(const OstrelCase& c) {
  return std::string(Name(c.codec)) + " " + std::to_string(c.packetSamples) + " lost " + std::to_string(c.lost) +
         " late " + std::to_string(c.late);
}

// What the decoder entries give alone for the stream as the jitter buffer sees it: a lost packet's turn
// decodes the held section; a late packet only hands its held section on.
std::vector<int16_t> OstrelAlone(const OstrelCase& c, const Encoded& e) {
  auto u = std::make_unique<Ostrel711Codec>();
  auto wb = std::make_unique<OstrelWbCodec>();
  const bool wide = c.codec == Codec::kOstrelWb;
  void* dec = wide ? static_cast<void*>(wb.get()) : static_cast<void*>(u.get());
  if (wide) {
    OstrelWb_Init(wb.get(), 160);
    OstrelWb_EntryInit(wb.get());
  } else {
    Ostrel711_Init(u.get(), 0, kOstrelInputLinear, 80);
    c.codec == Codec::kOstrel711A ? Ostrel711A_EntryInit(u.get()) : Ostrel711U_EntryInit(u.get());
  }
  auto decode = wide ? OstrelWb_EntryDecode : Ostrel711_EntryDecode;
  auto lateFrame = wide ? OstrelWb_EntryLateFrame : Ostrel711_EntryLateFrame;
  std::vector<int16_t> pcm;
  for (int k = 0; k < static_cast<int>(e.payloads.size()); ++k) {
    const auto& p = e.payloads[static_cast<size_t>(k)];
    int16_t out[2048];
    int16_t type = 0;
    const bool missing = k == c.lost || k == c.late;
    const int n = decode(dec, missing ? nullptr : p.data(), missing ? 0 : static_cast<int>(p.size()), out, 2048, &type);
    EXPECT_GE(n, 0);
    pcm.insert(pcm.end(), out, out + (n > 0 ? n : 0));
    if (k == c.late) {
      EXPECT_EQ(lateFrame(dec, p.data(), static_cast<int>(p.size())), 0);
    }
  }
  return pcm;
}

// The G.711 level of every input sample, and the largest distance from it to a neighbouring level.
struct G711Levels {
  std::vector<int16_t> level;
  std::vector<int> step;
};

G711Levels LevelsOf(const std::vector<int16_t>& pcm, bool alaw) {
  std::set<int> all;
  for (int code = 0; code < 256; ++code)
    all.insert(alaw ? G711_AlawDecodeSample(static_cast<uint8_t>(code)) : G711_UlawDecodeSample(static_cast<uint8_t>(code)));
  G711Levels g;
  for (const int16_t x : pcm) {
    const int16_t v = alaw ? G711_AlawDecodeSample(G711_AlawEncodeSample(x)) : G711_UlawDecodeSample(G711_UlawEncodeSample(x));
    const auto it = all.find(v);
    int step = 0;
    if (it != all.begin()) step = std::max(step, v - *std::prev(it));
    if (std::next(it) != all.end()) step = std::max(step, *std::next(it) - v);
    g.level.push_back(v);
    g.step.push_back(step);
  }
  return g;
}

TEST(VoiceCodecsOstrel, StreamsPlayAsTheDecoderAloneAndOstrel711GivesTheG711Levels) {
  const OstrelCase cases[] = {
      {Codec::kOstrel711U, 160, -1, -1}, {Codec::kOstrel711A, 160, -1, -1}, {Codec::kOstrel711U, 80, -1, -1},
      {Codec::kOstrel711A, 320, -1, -1}, {Codec::kOstrel711U, 320, 10, -1}, {Codec::kOstrel711A, 160, 20, -1},
      {Codec::kOstrel711U, 160, -1, 14}, {Codec::kOstrelWb, 320, -1, -1},   {Codec::kOstrelWb, 160, -1, -1},
      {Codec::kOstrelWb, 640, 7, -1},    {Codec::kOstrelWb, 320, -1, 12},
  };
  for (const OstrelCase& c : cases) {
    const std::string what = Describe(c);
    const int rate = Rate(c.codec);
    const int tail = kTail * rate / 8000;
    const auto pcm = Voiced(rate * 3, rate);
    const bool alaw = c.codec == Codec::kOstrel711A;
    const Encoded e = c.codec == Codec::kOstrelWb ? EncodeOstrelWb(pcm, c.packetSamples)
                                                  : EncodeOstrel711(pcm, alaw ? 1 : 0, c.packetSamples);
    ASSERT_GT(e.payloads.size(), 20u) << what;
    const auto alone = OstrelAlone(c, e);
    const int P = e.packetSamples;

    Receiver r;
    ASSERT_TRUE(r.ok());
    r.Run(Schedule(e, PayloadType(c.codec), rate, c.lost, c.late), Ticks(e, rate), rate);
    // Every call gives 10 ms at the codec's rate: 160 samples for the wideband codec, from the first.
    ExpectEveryTickTenMs(r, rate, what);
    EXPECT_EQ(r.inst()->playout.rate, rate) << what;
    // Sample-exact from the first packet, through losses and late packets, to the end of the stream
    // (the first packet has no earlier period to carry: it plays silence).
    EXPECT_EQ(Find(r.out(), Slice(alone, P, 160)), P + tail) << what;
    EXPECT_GE(ExactRun(r.out(), alone, tail, 0), static_cast<int>(alone.size()) - tail) << what;
    EXPECT_EQ(r.inst()->playout.mergeCount, 0u) << what;

    if (c.codec == Codec::kOstrelWb) {
      // A lossy codec: the decoded stream (one packet behind the input) follows the 16-kHz input
      // closely, which it could not at any other rate.
      const int from = 2 * P;
      EXPECT_GT(Correlation(r.out(), from + P + tail, pcm, from, static_cast<int>(pcm.size()) - 3 * P), 0.9) << what;
      continue;
    }
    // Ostrel711 is lossless against G.711: each packet carries the previous packet period, so the
    // output is the G.711 levels of the input one packet late. Where a packet is missing or late,
    // the blocks of the period before it and of its own come from one coding alone and lie within
    // one level step.
    const G711Levels g = LevelsOf(pcm, alaw);
    const int gap = c.lost >= 0 ? c.lost : c.late;
    for (int i = 0; i + P + tail < static_cast<int>(r.out().size()) && i < static_cast<int>(pcm.size()) - P; ++i) {
      const int v = r.out()[static_cast<size_t>(i + P + tail)];
      const bool approximated = gap >= 0 && i >= (gap - 1) * P && i < (gap + 1) * P;
      if (approximated)
        ASSERT_LE(std::abs(v - g.level[static_cast<size_t>(i)]), g.step[static_cast<size_t>(i)]) << what << " sample " << i;
      else
        ASSERT_EQ(v, g.level[static_cast<size_t>(i)]) << what << " sample " << i;
    }
  }
}

}  // namespace
