// Trace-driven tests of Tidepool playout: packet arrival schedules in, 10-ms blocks out.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "voice/dsp/cng.h"
#include "voice/tests/tidepool_fixture.h"

namespace {

using namespace tidepool_test;

constexpr int kPackets = 80;
constexpr int kTicks = 2 * kPackets + 10;
constexpr int kTail = 5;  // samples held back at 8000 Hz

std::vector<Arrival> Schedule(const Stream& st, const std::function<int(int)>& arrivalMs) {
  std::vector<Arrival> v;
  for (int k = 0; k < kPackets; ++k) {
    const int at = arrivalMs(k);
    if (at >= 0) v.push_back({at, st.Packet(k)});
  }
  return v;
}

std::vector<int16_t> Slice(const std::vector<int16_t>& v, int from, int count) {
  return std::vector<int16_t>(v.begin() + from, v.begin() + from + count);
}

// Best normalised correlation of `needle` with any stretch of `hay` between `from` and `to`.
double BestCorrelation(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle, int from, int to) {
  double best = 0;
  const int last = std::min<int>(to, static_cast<int>(hay.size())) - static_cast<int>(needle.size());
  for (int off = std::max(from, 0); off <= last; ++off) {
    double xy = 0;
    double xx = 0;
    double yy = 0;
    for (size_t i = 0; i < needle.size(); ++i) {
      const double x = hay[static_cast<size_t>(off) + i];
      const double y = needle[i];
      xy += x * y;
      xx += x * x;
      yy += y * y;
    }
    if (xx > 0 && yy > 0) best = std::max(best, xy / std::sqrt(xx * yy));
  }
  return best;
}

// Output offset of packet `k` when it and the `packets` - 1 after it play on sample-exact.
int ExactFrom(const Driver& d, const Stream& st, int k, int packets = 10) {
  const int at = Find(d.out(), Slice(st.decoded, k * 160, 160));
  if (at < 0) return -1;
  const int count = packets * 160;
  if (static_cast<size_t>(at + count) > d.out().size()) return -1;
  for (int i = 0; i < count; ++i)
    if (d.out()[static_cast<size_t>(at + i)] != st.decoded[static_cast<size_t>(k * 160 + i)]) return -1;
  return at;
}

void ExpectTenMilliseconds(const Driver& d, int samples = 80) {
  for (size_t t = 0; t < d.ticks().size(); ++t) {
    EXPECT_EQ(d.ticks()[t].count, samples) << "tick " << t;
    EXPECT_EQ(d.ticks()[t].result, 0) << "tick " << t;
  }
}

TEST(TidepoolPlayout, CleanStreamIsBitExactAfterStartUp) {
  // Playout may start before the first packet (it plays silence, then fades the stream in over two
  // frames) or with it (no fade). Either way the stream then plays sample-exact.
  struct Case {
    int firstArrivalMs;
    int exactFromPacket;
  };
  for (const Case c : {Case{0, 0}, Case{35, 2}}) {
    Stream st(kPackets);
    Driver d;
    d.Run(Schedule(st, [&](int k) { return c.firstArrivalMs + 20 * k; }), kTicks);
    ExpectTenMilliseconds(d);
    const int at = Find(d.out(), Slice(st.decoded, c.exactFromPacket * 160, 160));
    ASSERT_GE(at, 0) << c.firstArrivalMs;
    // The start-up delay: the 10-ms tick the first packet lands in, plus the 5-sample held-back tail.
    EXPECT_EQ(at - c.exactFromPacket * 160, (c.firstArrivalMs + 9) / 10 * 80 + kTail) << c.firstArrivalMs;
    for (int i = c.exactFromPacket * 160; i < (kPackets - 1) * 160; ++i)
      ASSERT_EQ(d.out()[static_cast<size_t>(at - c.exactFromPacket * 160 + i)], st.decoded[static_cast<size_t>(i)])
          << c.firstArrivalMs << " sample " << i;
    EXPECT_EQ(d.inst()->playout.mergeCount, 0u);
    EXPECT_EQ(d.inst()->playout.accelerateCount, 0u);
  }
}

TEST(TidepoolPlayout, LostPacketIsConcealedAndMergedWithoutAJump) {
  Stream st(kPackets);
  Driver d;
  d.Run(Schedule(st, [](int k) { return k == 30 ? -1 : 20 * k; }), kTicks);
  ExpectTenMilliseconds(d);
  for (int i = 2 * 160; i < 30 * 160 - kTail; ++i)
    ASSERT_EQ(d.out()[static_cast<size_t>(i + kTail)], st.decoded[static_cast<size_t>(i)]) << i;
  // Playout resumes sample-exact a little later; the gap is concealed by less than two frames.
  const int resumed = ExactFrom(d, st, 32);
  ASSERT_GT(resumed, 0);
  EXPECT_GE(resumed - (32 * 160 + kTail), 0);
  EXPECT_LT(resumed - (32 * 160 + kTail), 160);
  EXPECT_GT(d.inst()->playout.concealedTotal, 0u);
  EXPECT_EQ(d.inst()->playout.mergeCount, 1u);
  bool expanded = false;
  bool merged = false;
  for (const auto& t : d.ticks()) {
    expanded |= t.lastOp == tidepool::kOpExpand;
    merged |= expanded && t.lastOp == tidepool::kOpMerge;
  }
  EXPECT_TRUE(expanded);
  EXPECT_TRUE(merged);
  // No step across the concealment and the joins is larger than the stream's own around it.
  const int sourceStep = LargestStep(st.decoded, 26 * 160, 36 * 160);
  EXPECT_LE(LargestStep(d.out(), 28 * 160, static_cast<size_t>(resumed + 160)), sourceStep * 11 / 10);
}

TEST(TidepoolPlayout, LatePacketsUpToOneFrameArePlayed) {
  struct Case {
    int lateMs;
    bool played;
  };
  const std::vector<Case> cases = {{5, true}, {10, true}, {15, true}, {20, true}, {30, false}};
  for (const auto& c : cases) {
    Stream st(kPackets);
    st.MakeDistinct(30);
    Driver d;
    d.Run(Schedule(st, [&](int k) { return 20 * k + (k == 30 ? c.lateMs : 0); }), kTicks);
    ExpectTenMilliseconds(d);
    const int later = ExactFrom(d, st, 33);
    ASSERT_GT(later, 0) << c.lateMs;
    // The late frame's second half, possibly ramped back from a faded concealment.
    const double likeness = BestCorrelation(d.out(), Slice(st.decoded, 30 * 160 + 80, 70), 29 * 160, later);
    if (c.played)
      EXPECT_GT(likeness, 0.99) << c.lateMs << " ms late";
    else
      EXPECT_LT(likeness, 0.9) << c.lateMs << " ms late";
  }
}

TEST(TidepoolPlayout, ReorderedPacketsBothPlay) {
  Stream st(kPackets);
  st.MakeDistinct(30);
  Driver d;
  // Packet 31 overtakes packet 30.
  d.Run(Schedule(st, [](int k) { return k == 31 ? 600 : k == 30 ? 605 : 20 * k; }), kTicks);
  ExpectTenMilliseconds(d);
  const int at31 = ExactFrom(d, st, 31);
  ASSERT_GT(at31, 0);
  EXPECT_GT(BestCorrelation(d.out(), Slice(st.decoded, 30 * 160 + 80, 70), 29 * 160, at31), 0.99);
}

TEST(TidepoolPlayout, DuplicatesChangeNothing) {
  Stream st(kPackets);
  Driver clean;
  clean.Run(Schedule(st, [](int k) { return 20 * k; }), kTicks);
  std::vector<Arrival> twice = Schedule(st, [](int k) { return 20 * k; });
  const auto again = Schedule(st, [](int k) { return 20 * k + 3; });
  twice.insert(twice.end(), again.begin(), again.end());
  Driver d;
  d.Run(twice, kTicks);
  EXPECT_EQ(d.out(), clean.out());
}

TEST(TidepoolPlayout, NewSourcePlaysOnWithoutAGap) {
  Stream st(kPackets);
  std::vector<Arrival> arrivals;
  for (int k = 0; k < kPackets; ++k) {
    auto p = st.Packet(k);
    if (k >= 30) {  // another SSRC with its own sequence numbers and timeline
      Rtp r;
      r.pt = 0;
      r.seq = static_cast<uint16_t>(9000 + k);
      r.ts = 0x70000000u + static_cast<uint32_t>(k * 160);
      r.ssrc = 0xabcdef;
      r.payload.assign(p.begin() + 12, p.end());
      p = Build(r);
    }
    arrivals.push_back({20 * k, p});
  }
  Driver d;
  d.Run(arrivals, kTicks);
  ExpectTenMilliseconds(d);
  for (int i = 2 * 160; i < (kPackets - 1) * 160; ++i)
    ASSERT_EQ(d.out()[static_cast<size_t>(i + kTail)], st.decoded[static_cast<size_t>(i)]) << i;
}

TEST(TidepoolPlayout, BurstOverflowKeepsTheNewestAndPlaysOn) {
  Stream st(kPackets);
  Driver d;
  // Packets 20 .. 39 are held up in the network and arrive together.
  d.Run(Schedule(st, [](int k) { return (k >= 20 && k < 40) ? 790 : 20 * k; }), kTicks);
  ExpectTenMilliseconds(d);
  EXPECT_GT(d.inst()->playout.discardedTotal, 0u);
  EXPECT_EQ(d.inst()->playout.discardedTotal % 160, 0u);
  EXPECT_LE(d.inst()->control.peakPackets, 10);
  // The oldest of the burst were dropped; the newest play and the stream goes on unchanged.
  EXPECT_LT(Find(d.out(), Slice(st.decoded, 20 * 160 + 40, 80)), 0);
  EXPECT_GT(ExactFrom(d, st, 45), 0);
}

TEST(TidepoolPlayout, TelephoneEventPlaysItsToneOnce) {
  Stream st(kPackets);
  Driver d;
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(d.inst(), "audio/telephone-event", 8000, 101), 0);
  const uint32_t start = st.ts0 + 20 * 160;
  std::vector<Arrival> arrivals;
  for (int k = 0; k < kPackets; ++k)
    if (k < 20 || k >= 25) arrivals.push_back({20 * k, st.Packet(k)});
  // Digit 5 at -10 dBm0 for 800 samples, with the end bit, sent three times as RFC 4733 asks.
  const std::vector<uint8_t> event = {5, 0x80 | 10, 0x03, 0x20};
  for (int r = 0; r < 3; ++r) {
    Rtp e;
    e.pt = 101;
    e.seq = static_cast<uint16_t>(st.seq0 + 20 + r);
    e.ts = start;
    e.payload = event;
    arrivals.push_back({400 + 5 * r, Build(e)});
  }
  d.Run(arrivals, kTicks);
  ExpectTenMilliseconds(d);

  tidepool::DtmfState ref;
  tidepool::Tidepool_DtmfInit(&ref, 8000);
  ASSERT_EQ(tidepool::Tidepool_DtmfAddEvent(&ref, event.data(), 4, start), 0);
  std::vector<int16_t> tone;
  int frames = 0;
  for (uint32_t t = start; ref.queued > 0; t += 160, ++frames) {
    int16_t buf[160];
    ASSERT_EQ(tidepool::Tidepool_DtmfGenerate(&ref, t, buf), 160);
    tone.insert(tone.end(), buf, buf + 160);
  }
  EXPECT_EQ(frames, 5);
  // The tone's last 5 samples are still held back when the speech after it is merged.
  const int at = Find(d.out(), Slice(tone, 0, 800 - kTail));
  ASSERT_GT(at, 19 * 160);
  EXPECT_LT(Find(d.out(), Slice(tone, 0, 160), at + 1), 0) << "the repeated end packets restarted the tone";
  EXPECT_GT(ExactFrom(d, st, 26), at + 800);
  // The loss before the tone is still being concealed: the speech after it is merged with the
  // concealed signal, not played as if nothing had been lost.
  bool merged = false;
  for (size_t t = static_cast<size_t>(at + 800) / 80; t < static_cast<size_t>(at + 800) / 80 + 4; ++t)
    merged = merged || d.ticks()[t].lastOp == tidepool::kOpMerge;
  EXPECT_TRUE(merged);

  // The tone is the digit's two frequencies (770 and 1336 Hz), not its neighbours'.
  auto power = [&](double f) {
    double s1 = 0;
    double s2 = 0;
    const double c = 2 * std::cos(2 * M_PI * f / 8000);
    for (int16_t v : tone) {
      const double s0 = v + c * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
  };
  EXPECT_GT(power(770), 100 * power(697));
  EXPECT_GT(power(770), 100 * power(852));
  EXPECT_GT(power(1336), 100 * power(1209));
  EXPECT_GT(power(1336), 100 * power(1477));
}

TEST(TidepoolPlayout, ComfortNoiseFillsTheSilenceBetweenTalkSpurts) {
  Stream st(kPackets);
  Driver d;
  CngDecoderInst* cng = nullptr;
  ASSERT_EQ(Cng_CreateDecoder(&cng), 0);
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_AssignCN(d.inst(), cng), 0);
  std::vector<Arrival> arrivals;
  for (int k = 0; k < kPackets; ++k)
    if (k < 20 || k >= 40) arrivals.push_back({20 * k, st.Packet(k)});
  for (int k = 20; k < 40; k += 5) {  // a SID at -40 dBov every 100 ms
    Rtp r;
    r.pt = 13;
    r.seq = static_cast<uint16_t>(st.seq0 + k);
    r.ts = st.ts0 + static_cast<uint32_t>(k * 160);
    r.payload = {40, 128, 128, 128, 128};
    arrivals.push_back({20 * k, Build(r)});
  }
  d.Run(arrivals, kTicks);
  ExpectTenMilliseconds(d);
  int noiseTicks = 0;
  double energy = 0;
  int samples = 0;
  for (size_t t = 0; t < d.ticks().size(); ++t) {
    if (d.ticks()[t].lastOp != tidepool::kOpComfortNoise || t < 45 || t > 75) continue;
    ++noiseTicks;
    for (int i = 0; i < 80; ++i) {
      const double v = d.out()[t * 80 + static_cast<size_t>(i)];
      energy += v * v;
      ++samples;
    }
  }
  EXPECT_GT(noiseTicks, 20);
  ASSERT_GT(samples, 0);
  const double rms = std::sqrt(energy / samples);
  EXPECT_GT(rms, 30.0);    // noise, not silence
  EXPECT_LT(rms, 3000.0);  // and far below the speech
  EXPECT_GT(ExactFrom(d, st, 42), 0);
  Cng_FreeDecoder(cng);
}

TEST(TidepoolPlayout, LongLossFadesAndReportsNoiseLevelConcealment) {
  Stream st(kPackets);
  Driver d;
  d.Run(Schedule(st, [](int k) { return k < 20 ? 20 * k : -1; }), 80);
  ExpectTenMilliseconds(d);
  int expands = 0;
  int noiseLevel = 0;
  for (const auto& t : d.ticks()) {
    expands += t.lastOp == tidepool::kOpExpand;
    noiseLevel += t.lastOp == tidepool::kOpComfortNoise;
  }
  EXPECT_GT(expands, 0);
  EXPECT_GT(noiseLevel, 20);
  double early = 0;
  double late = 0;
  for (int i = 0; i < 800; ++i) {
    early += std::fabs(static_cast<double>(d.out()[static_cast<size_t>(20 * 160 + 200 + i)]));
    late += std::fabs(static_cast<double>(d.out()[static_cast<size_t>(80 * 80 - 800 + i)]));
  }
  EXPECT_LT(late, early / 20);
}

TEST(TidepoolPlayout, EveryCallGivesTenMillisecondsWhateverArrives) {
  struct Case {
    const char* name;
    int rate;
    std::function<int(int)> arrival;
  };
  const std::vector<Case> cases = {
      {"nothing at all", 8000, [](int) { return -1; }},
      {"nothing at 16 kHz", 16000, [](int) { return -1; }},
      {"every third lost", 8000, [](int k) { return k % 3 == 2 ? -1 : 20 * k; }},
      {"heavy jitter", 8000, [](int k) { return 20 * k + (k * 37) % 90; }},
      {"all at once", 8000, [](int) { return 0; }},
      {"G.711 into a 16-kHz instance", 16000, [](int k) { return 20 * k; }},
  };
  for (const auto& c : cases) {
    Stream st(kPackets);
    Driver d(c.rate);
    d.Run(Schedule(st, c.arrival), kTicks);
    for (size_t t = 0; t < d.ticks().size(); ++t) {
      EXPECT_EQ(d.ticks()[t].count, d.ticks()[t].tenMs) << c.name << " tick " << t;
      EXPECT_EQ(d.ticks()[t].result, 0) << c.name << " tick " << t;
    }
    EXPECT_EQ(d.ticks().back().tenMs, (c.rate == 16000 && std::string(c.name).rfind("nothing", 0) == 0) ? 160 : 80)
        << c.name;
  }
}

// A wideband codec stand-in: the payload carries the frame number, the decoder writes that frame of
// a fixed 16-kHz signal.
std::vector<int16_t> WidebandSignal() {
  static const std::vector<int16_t> signal = Speech(kPackets * 320, 16000);
  return signal;
}
int WidebandDecode(void*, const uint8_t* payload, int length, int16_t* out, int capacity, int16_t* st) {
  if (length < 2 || capacity < 320) return -1;
  const int k = (payload[0] << 8) | payload[1];
  if (k >= kPackets) return -1;
  const auto& s = WidebandSignal();
  std::copy(s.begin() + k * 320, s.begin() + (k + 1) * 320, out);
  *st = kTidepoolSpeech;
  return 320;
}
const TidepoolDecoderOps kWidebandOps = {WidebandDecode, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, kTidepoolKindOther, 16000};

TEST(TidepoolPlayout, WidebandStreamThroughLossAndJitter) {
  int token = 0;
  Driver d(16000);
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_AssignDecoder(d.inst(), kTidepoolQuill, &kWidebandOps, &token), 0);
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(d.inst(), "QUILL", 16000, 103), 0);
  std::vector<Arrival> arrivals;
  for (int k = 0; k < kPackets; ++k) {
    if (k % 9 == 4 && k < 60) continue;  // lost
    Rtp r;
    r.pt = 103;
    r.seq = static_cast<uint16_t>(k);
    r.ts = 7000 + static_cast<uint32_t>(k * 320);
    r.payload = {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k), 0, 0};
    const int jitter = k < 60 ? (k * 53) % 45 : 0;
    arrivals.push_back({20 * k + jitter, Build(r)});
  }
  d.Run(arrivals, kTicks);
  for (const auto& t : d.ticks()) {
    EXPECT_EQ(t.count, 160);
    EXPECT_EQ(t.result, 0);
  }
  const auto& p = d.inst()->playout;
  EXPECT_GT(p.mergeCount, 0u);
  EXPECT_GT(p.concealedTotal, 0u);
  EXPECT_GT(p.accelerateCount, 0u);  // the delay the jitter built up is played out faster
  // Concealment, merges and accelerations join without a step larger than the signal's own.
  const auto& s = WidebandSignal();
  EXPECT_LE(LargestStep(d.out(), 640, d.out().size()), LargestStep(s, 0, s.size()) * 11 / 10);
}


// A narrowband codec stand-in: the payload carries the frame number and a flag; the decoder writes
// that frame of a fixed 8-kHz signal with the speech type it is set to, or nothing for flag 1.
struct FrameDecoder {
  int16_t speechType = kTidepoolSpeech;
  int inits = 0;
};
const std::vector<int16_t>& NarrowbandSignal() {
  static const std::vector<int16_t> signal = Speech(kPackets * 160);
  return signal;
}
int FrameDecode(void* d, const uint8_t* payload, int length, int16_t* out, int capacity, int16_t* st) {
  *st = static_cast<FrameDecoder*>(d)->speechType;
  if (length == 0) return 0;  // asked for comfort noise of its own: it has none
  if (length < 3 || capacity < 160) return -1;
  const int k = (payload[0] << 8) | payload[1];
  if (k >= kPackets) return -1;
  if (payload[2] == 1) return 0;
  const auto& s = NarrowbandSignal();
  std::copy(s.begin() + k * 160, s.begin() + (k + 1) * 160, out);
  return 160;
}
int FrameInit(void* d) {
  ++static_cast<FrameDecoder*>(d)->inits;
  return 0;
}
const TidepoolDecoderOps kFrameOps = {FrameDecode, nullptr, FrameInit, nullptr, nullptr,
                                      nullptr,     nullptr, nullptr,   kTidepoolKindOther, 8000};
constexpr uint8_t kFramePt = 120;

std::vector<uint8_t> FramePacket(int k, uint32_t ts, uint8_t flag = 0) {
  Rtp r;
  r.pt = kFramePt;
  r.seq = static_cast<uint16_t>(500 + k);
  r.ts = ts;
  r.payload = {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k), flag};
  return Build(r);
}

void AttachFrameDecoder(const Driver& d, FrameDecoder* fake) {
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_AssignDecoder(d.inst(), kTidepoolAmr, &kFrameOps, fake), 0);
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(d.inst(), "AMR", 8000, kFramePt), 0);
}

// Comfort noise the codec decodes itself is decoded audio like any other: a buffer that has stayed
// full is drained through it as through speech.
TEST(TidepoolPlayout, AFullBufferIsShortenedAlsoThroughTheCodecsOwnComfortNoise) {
  for (const int16_t type : {kTidepoolSpeech, kTidepoolComfortNoise}) {
    Driver d;
    FrameDecoder fake;
    fake.speechType = type;
    AttachFrameDecoder(d, &fake);
    std::vector<Arrival> arrivals;
    for (int k = 0; k < kPackets; ++k)  // six frames waiting from the start
      arrivals.push_back({k < 6 ? 0 : 20 * (k - 5), FramePacket(k, 1000 + 160u * static_cast<uint32_t>(k))});
    d.Run(arrivals, kTicks);
    ExpectTenMilliseconds(d);
    EXPECT_GT(d.inst()->playout.accelerateCount, 0u) << "speech type " << type;
  }
}

// Accelerate decodes the next frame behind the one due; when that frame gives no samples, the one
// due is played as it was decoded.
TEST(TidepoolPlayout, AccelerateWhoseNextFrameIsEmptyPlaysTheFrameAsDecoded) {
  Driver d;
  FrameDecoder fake;
  AttachFrameDecoder(d, &fake);
  TidepoolInst* inst = d.inst();
  auto in = [&](const std::vector<uint8_t>& p) {
    std::vector<uint8_t> exact(p);
    return TIDEPOOL_SONRA_10MS16B_RecIn(inst, exact.data(), static_cast<int32_t>(exact.size()), 0);
  };
  std::vector<int16_t> out;
  auto take = [&]() {
    int16_t buf[80];
    int16_t count = 0;
    EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_RecOut(inst, buf, &count), 0);
    out.insert(out.end(), buf, buf + count);
  };
  for (int k = 0; k < 3; ++k) ASSERT_EQ(in(FramePacket(k, 1000 + 160u * static_cast<uint32_t>(k))), 0);
  for (int i = 0; i < 20 && (inst->buffer->count > 0 || inst->playout.outLen >= 80); ++i) take();
  ASSERT_EQ(inst->buffer->count, 0);
  const uint32_t T = inst->control.playoutTimestamp;
  ASSERT_EQ(in(FramePacket(10, T)), 0);
  ASSERT_EQ(in(FramePacket(11, T + 160, 1)), 0);
  inst->playout.allowance = 1000000;  // as after a long stretch of a full buffer
  const size_t from = out.size();
  take();
  EXPECT_EQ(inst->playout.lastOp, tidepool::kOpUnchanged);
  EXPECT_EQ(inst->playout.accelerateCount, 0u);
  EXPECT_EQ(inst->buffer->count, 0);
  EXPECT_EQ(inst->control.playoutTimestamp, T + 160);
  take();
  const auto& s = NarrowbandSignal();
  const std::vector<int16_t> frame(s.begin() + 10 * 160, s.begin() + 10 * 160 + 160 - kTail);
  EXPECT_EQ(Find(out, frame, static_cast<int>(from)), static_cast<int>(from) + kTail);
}

// A stream that changes codec while a tone plays: the new decoder is taken over with the next
// frame of the tone, and the timeline moves to the packet that brought it.
TEST(TidepoolPlayout, ACodecChangeDuringAToneIsTakenOverAtOnce) {
  Stream st(kPackets);
  Driver d;
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(d.inst(), "audio/telephone-event", 8000, 101), 0);
  FrameDecoder fake;
  AttachFrameDecoder(d, &fake);
  const int initsBefore = fake.inits;
  std::vector<Arrival> arrivals;
  for (int k = 0; k < 10; ++k) arrivals.push_back({20 * k, st.Packet(k)});
  Rtp e;  // digit 5 for one second, still running
  e.pt = 101;
  e.seq = static_cast<uint16_t>(st.seq0 + 5);
  e.ts = st.ts0 + 5 * 160;
  e.payload = {5, 10, 0x1f, 0x40};
  arrivals.push_back({60, Build(e)});
  d.Run(arrivals, 30);
  const auto& p = d.inst()->playout;
  ASSERT_GT(p.dtmf.queued, 0);
  ASSERT_EQ(d.ticks().back().lastOp, tidepool::kOpNormal);
  ASSERT_NE(p.decoder.instance, &fake);

  Rtp r;
  r.pt = kFramePt;
  r.seq = static_cast<uint16_t>(st.seq0 + 40);
  r.ts = st.ts0 + 40 * 160;
  r.payload = {0, 7, 0};
  d.Run({{300, Build(r)}}, 2);  // two 10-ms calls hold one new 20-ms tone frame
  EXPECT_GT(p.dtmf.queued, 0);
  EXPECT_EQ(p.decoder.instance, &fake);
  EXPECT_EQ(fake.inits, initsBefore + 1);
  EXPECT_EQ(d.inst()->control.playoutTimestamp, r.ts);
}

}  // namespace
