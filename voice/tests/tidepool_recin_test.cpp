// Tests of the Tidepool receive side: registration, RTP parsing, splitting, insert rules, statistics.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "voice/tests/tidepool_fixture.h"

namespace {

using namespace tidepool_test;
using tidepool::kKindSpeech;

class Jb {
 public:
  explicit Jb(int rate = 8000) {
    EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_create(&inst), 0);
    EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_Init(inst, rate), 0);
  }
  ~Jb() { TIDEPOOL_SONRA_10MS16B_free(inst); }
  Jb(const Jb&) = delete;
  Jb& operator=(const Jb&) = delete;

  int16_t In(const std::vector<uint8_t>& packet, uint32_t arrival = 0) {
    // An exactly sized heap copy, so that any read past the end is caught by the sanitizer.
    std::vector<uint8_t> exact(packet);
    return TIDEPOOL_SONRA_10MS16B_RecIn(inst, exact.empty() ? nullptr : exact.data(),
                                        static_cast<int32_t>(exact.size()), arrival);
  }
  int16_t Error() { return TIDEPOOL_SONRA_10MS16B_GetLastError(inst); }
  int Count() { return inst->buffer->count; }
  // Buffered speech frames as (timestamp, length), oldest first.
  std::vector<std::pair<uint32_t, int>> Frames(uint16_t kind = kKindSpeech) {
    std::vector<std::pair<uint32_t, int>> v;
    for (const auto& s : inst->buffer->slots)
      if (s.length != 0 && s.kind == kind) v.emplace_back(s.timestamp, s.length);
    std::sort(v.begin(), v.end(), [](auto a, auto b) { return static_cast<int32_t>(a.first - b.first) < 0; });
    return v;
  }
  int16_t Out(int16_t* samples = nullptr) {
    int16_t buf[160];
    int16_t count = 0;
    const int16_t r = TIDEPOOL_SONRA_10MS16B_RecOut(inst, samples ? samples : buf, &count);
    EXPECT_EQ(count, 80 << inst->playout.shift);
    return r;
  }

  TidepoolInst* inst = nullptr;
};

std::vector<uint8_t> Pcmu(uint16_t seq, uint32_t ts, int bytes, uint8_t pt = 0, uint32_t ssrc = 0x1234) {
  Rtp r;
  r.pt = pt;
  r.seq = seq;
  r.ts = ts;
  r.ssrc = ssrc;
  r.payload.assign(static_cast<size_t>(bytes), 0xd5);
  return Build(r);
}

// A stand-in decoder registered the way a real codec would be: it writes one sample per byte.
struct FakeDecoder {
  int initResult = 0;
  int inits = 0;
  int altInits = 0;
  int decodes = 0;
  int arrivals = 0;
  bool fail = false;
};
int FakeDecode(void* d, const uint8_t*, int length, int16_t* out, int capacity, int16_t* st) {
  auto* f = static_cast<FakeDecoder*>(d);
  ++f->decodes;
  if (f->fail) return -1;
  const int n = length * 4 < capacity ? length * 4 : capacity;
  for (int i = 0; i < n; ++i) out[i] = 100;
  *st = kTidepoolSpeech;
  return n;
}
int FakeInit(void* d) {
  ++static_cast<FakeDecoder*>(d)->inits;
  return static_cast<FakeDecoder*>(d)->initResult;
}
int FakeAltInit(void* d) {
  ++static_cast<FakeDecoder*>(d)->altInits;
  return 0;
}
int FakeArrival(void* d, const uint8_t*, int, uint16_t, uint32_t) {
  ++static_cast<FakeDecoder*>(d)->arrivals;
  return 0;
}
const TidepoolDecoderOps kFakeOps = {FakeDecode, nullptr, FakeInit, nullptr, nullptr,
                                     FakeDecode, FakeAltInit, FakeArrival, kTidepoolKindOther, 8000};

TEST(TidepoolRegistration, SequenceOfRegistrations) {
  Jb jb;
  struct Step {
    const char* name;
    int32_t rate;
    int16_t pt;
    int16_t result;
    int16_t error;
  };
  const std::vector<Step> steps = {
      {"ILBC", 8000, 102, 0, 0},
      {"ilbc", 8000, 102, 0, 0},          // same codec under its own type again
      {"QUILL", 16000, 102, -1, 1040},    // another codec under a type in use
      {"QUILL", 16000, 103, 0, 0},
      {"Ilbc", 8000, 104, -1, 1100},      // names match in upper or lower case only
      {"ILBC", 16000, 104, -1, 1100},     // right name, wrong rate
      {"ILBC", 11025, 104, -1, 1030},
      {"PCMU", 8000, 0, -1, 1050},        // static types need no registration
      {"OSTREL711U", 8000, 95, -1, 1050},
      {"OSTREL711U", 8000, 128, -1, 1050},
      {"CN", 16000, 107, 0, 0},           // comfort noise: any rate
      {"audio/telephone-event", 8000, 101, 0, 0},
      {"G729", 8000, 110, 0, 0},
      {"NOSUCH", 8000, 111, -1, 1100},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb.inst, s.name, s.rate, s.pt), s.result) << s.name << " " << s.pt;
    EXPECT_EQ(jb.Error(), s.error) << s.name << " " << s.pt;
  }
  EXPECT_EQ(jb.inst->control.codecs[kTidepoolIlbc].payloadType, 102);
  EXPECT_EQ(jb.inst->control.codecs[kTidepoolQuill].payloadType, 103);
  EXPECT_EQ(jb.inst->control.cnPayloadType, 107);
  EXPECT_EQ(jb.inst->control.eventPayloadType, 101);
  // A failed re-registration leaves the codec unregistered.
  EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb.inst, "AUDIO/TELEPHONE-EVENT", 16000, 107), -1);
  EXPECT_EQ(jb.Error(), 1040);
  EXPECT_EQ(jb.inst->control.eventPayloadType, 65535);
  EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb.inst, "G729", 8000, 103), -1);
  EXPECT_EQ(jb.inst->control.codecs[kTidepoolG729].payloadType, -1);

  // Init clears every registration.
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_Init(jb.inst, 8000), 0);
  EXPECT_EQ(jb.inst->control.codecs[kTidepoolIlbc].payloadType, -1);
  EXPECT_EQ(jb.inst->control.eventPayloadType, 65535);
  EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_Init(jb.inst, 44100), -1);
  EXPECT_EQ(jb.Error(), 1030);
}

TEST(TidepoolRecIn, MalformedPacketsAreRejectedBeforeAnythingIsRead) {
  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  for (int n = 0; n < 12; ++n) cases.push_back({"short " + std::to_string(n), Pcmu(1, 0, 0)});
  for (int n = 0; n < 12; ++n) cases[static_cast<size_t>(n)].bytes.resize(static_cast<size_t>(n));
  {
    auto p = Pcmu(1, 0, 8);  // 15 CSRCs claimed, 8 bytes present
    p[0] |= 0x0f;
    cases.push_back({"csrc count past the end", p});
  }
  {
    auto p = Pcmu(1, 0, 2);  // extension bit, no room for the extension header
    p[0] |= 0x10;
    cases.push_back({"extension header past the end", p});
  }
  {
    auto p = Pcmu(1, 0, 0);
    p[0] |= 0x12;  // two CSRCs and an extension whose header would start after them
    p.insert(p.end(), {0, 0, 0, 1, 0, 0, 0, 2});
    cases.push_back({"extension after csrcs past the end", p});
  }
  {
    auto p = Pcmu(1, 0, 0);
    p[0] |= 0x10;
    p.insert(p.end(), {0xbe, 0xde, 0x00, 0x05, 1, 2, 3, 4});  // 5 words claimed, 1 present
    cases.push_back({"extension length past the end", p});
  }
  {
    auto p = Pcmu(1, 0, 4);
    p[0] |= 0x20;
    p.back() = 20;  // 20 bytes of padding in a 4-byte payload
    cases.push_back({"padding larger than the payload", p});
  }
  {
    auto p = Pcmu(1, 0, 0);
    p[0] |= 0x20;
    p.push_back(255);
    cases.push_back({"padding byte alone claims 255", p});
  }
  cases.push_back({"payload above 4242 bytes", Pcmu(1, 0, 4243)});

  for (const auto& c : cases) {
    Jb jb;
    EXPECT_EQ(jb.In(c.bytes), -1) << c.name;
    EXPECT_EQ(jb.Error(), 1070) << c.name;
    EXPECT_EQ(jb.Count(), 0) << c.name;
    EXPECT_EQ(jb.inst->control.received, 0u) << c.name;
    EXPECT_EQ(jb.inst->control.ssrc, 0u) << c.name;  // nothing of the header was taken
    // The instance stays usable.
    EXPECT_EQ(jb.In(Pcmu(2, 160, 160)), 0) << c.name;
    EXPECT_EQ(jb.Count(), 1) << c.name;
  }
}

TEST(TidepoolRecIn, HeaderVariantsFindThePayload) {
  struct Case {
    const char* name;
    int csrc;
    int extWords;  // -1: no extension
    int padding;
  };
  const std::vector<Case> cases = {
      {"plain", 0, -1, 0},
      {"two csrcs", 2, -1, 0},
      {"extension", 0, 2, 0},
      {"csrcs and extension", 3, 1, 0},
      {"padding", 0, -1, 4},
      {"everything", 15, 3, 7},
  };
  for (const auto& c : cases) {
    Jb jb;
    std::vector<uint8_t> p(12);
    p[0] = static_cast<uint8_t>(0x80 | c.csrc | (c.extWords >= 0 ? 0x10 : 0) | (c.padding ? 0x20 : 0));
    p[1] = 0;
    p[7] = 0x40;  // timestamp 64
    p[11] = 9;
    for (int i = 0; i < c.csrc; ++i) p.insert(p.end(), {0, 0, 0x12, static_cast<uint8_t>(i)});
    if (c.extWords >= 0) {
      p.insert(p.end(), {0xbe, 0xde, 0, static_cast<uint8_t>(c.extWords)});
      for (int i = 0; i < 4 * c.extWords; ++i) p.push_back(0xee);
    }
    for (int i = 0; i < 160; ++i) p.push_back(static_cast<uint8_t>(i));
    for (int i = 0; i < c.padding; ++i) p.push_back(static_cast<uint8_t>(i + 1 == c.padding ? c.padding : 0));
    ASSERT_EQ(jb.In(p), 0) << c.name;
    const auto frames = jb.Frames();
    ASSERT_EQ(frames.size(), 1u) << c.name;
    EXPECT_EQ(frames[0].first, 64u) << c.name;
    EXPECT_EQ(frames[0].second, 160) << c.name;
    const auto& slot = jb.inst->buffer->slots[0];
    EXPECT_EQ(jb.inst->buffer->memory[slot.offset], 0) << c.name;
    EXPECT_EQ(jb.inst->buffer->memory[slot.offset + 159], 159) << c.name;
  }
}

TEST(TidepoolRecIn, TestSignalExtensionReplacesTheDecoder) {
  Jb jb;
  ASSERT_EQ(jb.In(Pcmu(1, 0, 160)), 0);
  int16_t out[80];
  jb.Out(out);  // packet 1 with the G.711 decoder
  auto p = Pcmu(2, 160, 0);
  p[0] |= 0x10;
  p.insert(p.end(), {0, 0, 0, 1, 't', 'a', 'v', 'k'});
  for (int i = 0; i < 160; ++i) p.push_back(0xd5);
  ASSERT_EQ(jb.In(p), 0);
  EXPECT_TRUE(jb.inst->control.decoder.testSignal);
  jb.Out(out);
  jb.Out(out);  // the test signal: ((i mod 40) - 20) * 1000, behind the 5-sample tail
  EXPECT_EQ(out[5], -20000);
  EXPECT_EQ(out[6], -19000);
  EXPECT_EQ(out[45], -20000);
}

TEST(TidepoolRecIn, HeaderOnlyPacketCountsButStoresNothing) {
  Jb jb;
  EXPECT_EQ(jb.In(Pcmu(5, 0, 0)), 0);
  EXPECT_EQ(jb.Error(), 0);
  EXPECT_EQ(jb.Count(), 0);
  EXPECT_EQ(jb.inst->control.received, 1u);
}

TEST(TidepoolRecIn, SampleBasedSplitting) {
  struct Case {
    int bytes;
    std::vector<std::pair<uint32_t, int>> frames;
  };
  const std::vector<Case> cases = {
      {160, {{1000, 160}}},
      {80, {{1000, 80}}},
      {161, {{1000, 161}}},
      {320, {{1000, 160}, {1160, 160}}},
      {480, {{1000, 240}, {1240, 240}}},
      {640, {{1000, 160}, {1160, 160}, {1320, 160}, {1480, 160}}},
      {1, {{1000, 1}}},
  };
  for (const auto& c : cases) {
    Jb jb;
    ASSERT_EQ(jb.In(Pcmu(1, 1000, c.bytes)), 0) << c.bytes;
    EXPECT_EQ(jb.Frames(), c.frames) << c.bytes;
  }
}

TEST(TidepoolRecIn, RegisteredDecodersSplitByTheirFrameRules) {
  struct Case {
    const char* name;
    TidepoolCodec codec;
    int32_t rate;
    int bytes;
    std::vector<uint8_t> firstBytes;  // first byte of each typed frame
    int16_t result;
    std::vector<std::pair<uint32_t, int>> frames;
  };
  const std::vector<Case> cases = {
      {"ILBC", kTidepoolIlbc, 8000, 76, {}, 0, {{0, 38}, {160, 38}}},
      {"ILBC", kTidepoolIlbc, 8000, 150, {}, 0, {{0, 50}, {240, 50}, {480, 50}}},
      {"ILBC", kTidepoolIlbc, 8000, 60, {}, -1, {}},
      {"G723", kTidepoolG723, 8000, 48, {0, 1, 2}, 0, {{0, 24}, {240, 20}, {480, 4}}},
      {"G723", kTidepoolG723, 8000, 24, {3}, -1, {}},
      {"G723", kTidepoolG723, 8000, 20, {0}, -1, {}},  // a 24-byte frame cut short
      {"GSM", kTidepoolGsm, 8000, 66, {}, 0, {{0, 33}, {160, 33}}},
      {"G729", kTidepoolG729, 8000, 25, {}, 0, {{0, 10}, {80, 10}, {160, 5}}},
      {"QUILL", kTidepoolQuill, 16000, 300, {}, 0, {{0, 300}}},
  };
  for (const auto& c : cases) {
    Jb jb;
    FakeDecoder fake;
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_AssignDecoder(jb.inst, c.codec, &kFakeOps, &fake), 0);
    EXPECT_EQ(fake.inits, 1);
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb.inst, c.name, c.rate, 100), 0);
    Rtp r;
    r.pt = 100;
    r.payload.assign(static_cast<size_t>(c.bytes), 0);
    size_t at = 0;
    for (uint8_t b : c.firstBytes) {
      r.payload[at] = b;
      at += (b & 3) == 0 ? 24 : (b & 3) == 1 ? 20 : 4;
    }
    EXPECT_EQ(jb.In(Build(r)), c.result) << c.name << " " << c.bytes;
    if (c.result == 0) {
      EXPECT_EQ(jb.Frames(), c.frames) << c.name << " " << c.bytes;
    }
    EXPECT_EQ(fake.arrivals, 1) << c.name;
  }
}

TEST(TidepoolRecIn, TwentyMillisecondIlbcUsesTheAlternateEntries) {
  Jb jb;
  FakeDecoder fake;
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_AssignDecoder(jb.inst, kTidepoolIlbc, &kFakeOps, &fake), 0);
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb.inst, "ILBC", 8000, 102), 0);
  Rtp r;
  r.pt = 102;
  r.payload.assign(38, 0);
  ASSERT_EQ(jb.In(Build(r)), 0);
  EXPECT_TRUE(jb.inst->control.decoder.useAlt);
  jb.Out();
  EXPECT_EQ(fake.altInits, 1);
  EXPECT_EQ(fake.decodes, 1);
}

TEST(TidepoolRecIn, CodecWithoutDecoderAndUnknownTypes) {
  Jb jb;
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb.inst, "ILBC", 8000, 102), 0);
  EXPECT_EQ(jb.In(Pcmu(1, 0, 50, 102)), -1);
  EXPECT_EQ(jb.Error(), 1090);
  EXPECT_EQ(jb.In(Pcmu(2, 0, 20, 9)), -1);  // G.722's static type: known, no decoder
  EXPECT_EQ(jb.Error(), 1090);
  EXPECT_EQ(jb.In(Pcmu(3, 0, 20, 99)), -1);
  EXPECT_EQ(jb.Error(), 1100);
  EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_AssignDecoder(jb.inst, kTidepoolIlbc, &kFakeOps, nullptr), -1);
  EXPECT_EQ(jb.Error(), 1090);
}

// Attaching reports the decoder's own initialisation result; only iLBC is left out when it fails.
TEST(TidepoolRecIn, AttachingReportsTheDecodersInitResult) {
  struct Case {
    TidepoolCodec codec;
    const char* name;
    int32_t rate;
    int bytes;
    int16_t packetResult;
  };
  const Case cases[] = {
      {kTidepoolQuill, "QUILL", 16000, 40, 0},
      {kTidepoolIlbc, "ILBC", 8000, 50, -1},
  };
  for (const Case& c : cases) {
    Jb jb;
    FakeDecoder fake;
    fake.initResult = 7;
    EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_AssignDecoder(jb.inst, c.codec, &kFakeOps, &fake), 7) << c.name;
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb.inst, c.name, c.rate, 100), 0);
    EXPECT_EQ(jb.In(Pcmu(1, 0, c.bytes, 100)), c.packetResult) << c.name;
    if (c.packetResult != 0) {
      EXPECT_EQ(jb.Error(), 1090) << c.name;
    }
  }
}

// A late frame the Ostrel family's decoder refuses fails the 10 ms, but the frame due with it is
// still decoded and played: it has already left the buffer. The output then runs one 10-ms block
// behind that of a decoder that takes the late frame.
int FakeLateFails(void*, const uint8_t*, int) { return -1; }
int FakeLateTaken(void*, const uint8_t*, int) { return 0; }
const TidepoolDecoderOps kFakeOstrelFailing = {FakeDecode, nullptr, FakeInit, FakeLateFails, nullptr,
                                               nullptr,    nullptr, nullptr,  kTidepoolKindOstrel, 8000};
const TidepoolDecoderOps kFakeOstrelTaking = {FakeDecode, nullptr, FakeInit, FakeLateTaken, nullptr,
                                              nullptr,    nullptr, nullptr,  kTidepoolKindOstrel, 8000};

TEST(TidepoolRecOut, ARefusedLateFrameStillPlaysTheFrameDue) {
  struct Run {
    std::vector<int16_t> results;
    std::vector<std::vector<int16_t>> blocks;
    int16_t error = 0;
  };
  auto run = [](const TidepoolDecoderOps* ops) {
    Run r;
    Jb jb;
    FakeDecoder fake;
    EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_AssignDecoder(jb.inst, kTidepoolOstrel711U, ops, &fake), 0);
    EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb.inst, "OSTREL711U", 8000, 110), 0);
    EXPECT_EQ(jb.In(Pcmu(1, 0, 40, 110)), 0);  // 160 samples
    for (int i = 0; i < 3; ++i) EXPECT_EQ(jb.Out(), 0);  // the third conceals the missing frame
    const uint32_t due = jb.inst->control.playoutTimestamp;
    const uint32_t frame = static_cast<uint32_t>(jb.inst->control.playoutFrameSize);
    EXPECT_EQ(jb.In(Pcmu(2, due - frame, 40, 110)), 0);  // one frame late
    EXPECT_EQ(jb.In(Pcmu(3, due, 40, 110)), 0);
    for (int i = 0; i < 5; ++i) {
      std::vector<int16_t> out(80);
      r.results.push_back(jb.Out(out.data()));
      if (r.results.back() != 0) r.error = jb.Error();
      r.blocks.push_back(out);
    }
    return r;
  };
  const Run taken = run(&kFakeOstrelTaking);
  const Run refused = run(&kFakeOstrelFailing);
  EXPECT_EQ(taken.results, (std::vector<int16_t>{0, 0, 0, 0, 0}));
  ASSERT_EQ(refused.results, (std::vector<int16_t>{-1, 0, 0, 0, 0}));
  EXPECT_EQ(refused.error, 1120);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(refused.blocks[i + 1], taken.blocks[i]) << i;
}

class LateWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    // Decode one 20-ms frame so the playout frame size is 160 and the timeline is known.
    ASSERT_EQ(jb.In(Pcmu(1, 16000, 160)), 0);
    for (int i = 0; i < 3; ++i) jb.Out();
    ASSERT_EQ(jb.inst->control.playoutFrameSize, 160);
    T = jb.inst->control.playoutTimestamp;
    ASSERT_EQ(T, 16160u);
  }
  Jb jb;
  uint32_t T = 0;
};

TEST_F(LateWindow, OneFrameLateIsKeptTwoAreDroppedFarBehindIsANewStream) {
  struct Case {
    const char* name;
    int32_t lateness;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"on time", 0, true},           {"ahead", 160, true},
      {"one frame late", -160, true}, {"two frames late", -320, false},
      {"a sample late", -1, false},   {"twenty frames late", -3200, false},
      {"25 frames late", -4000, true},
  };
  uint16_t seq = 10;
  for (const auto& c : cases) {
    const int before = jb.Count();
    EXPECT_EQ(jb.In(Pcmu(seq++, T + static_cast<uint32_t>(c.lateness), 160)), 0) << c.name;
    EXPECT_EQ(jb.Count() - before, c.kept ? 1 : 0) << c.name;
  }
}

TEST_F(LateWindow, DuplicatesAreDropped) {
  EXPECT_EQ(jb.In(Pcmu(2, T, 160)), 0);
  EXPECT_EQ(jb.In(Pcmu(2, T, 160)), 0);
  EXPECT_EQ(jb.In(Pcmu(3, T, 80)), 0);
  EXPECT_EQ(jb.Count(), 1);
}

TEST_F(LateWindow, OverflowKeepsTheNewestAndCountsTheDiscardedSamples) {
  // 20-ms frames: at most 10 packets; an overflow keeps the 5 newest.
  for (int k = 0; k < 10; ++k) ASSERT_EQ(jb.In(Pcmu(static_cast<uint16_t>(2 + k), T + 160u * k, 160)), 0);
  EXPECT_EQ(jb.Count(), 10);
  ASSERT_EQ(jb.In(Pcmu(12, T + 1600, 160)), 0);
  const auto frames = jb.Frames();
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames.front().first, T + 800);
  EXPECT_EQ(frames.back().first, T + 1600);
  EXPECT_EQ(jb.inst->playout.discardedTotal, 5u * 160u);
  EXPECT_EQ(jb.inst->control.peakPackets, 10);
}

TEST_F(LateWindow, NewSourceOrCodecDropsWhatIsBuffered) {
  ASSERT_EQ(jb.In(Pcmu(2, T, 160)), 0);
  ASSERT_EQ(jb.In(Pcmu(3, T + 160, 160)), 0);
  EXPECT_EQ(jb.Count(), 2);
  // A new source: its own timeline, far from ours, must not be taken for late packets.
  ASSERT_EQ(jb.In(Pcmu(500, T - 1000, 160, 0, 0x9999)), 0);
  EXPECT_EQ(jb.Frames(), (std::vector<std::pair<uint32_t, int>>{{T - 1000, 160}}));
  // The same source switching to PCMA.
  ASSERT_EQ(jb.In(Pcmu(501, T - 840, 160, 8, 0x9999)), 0);
  EXPECT_EQ(jb.Frames(), (std::vector<std::pair<uint32_t, int>>{{T - 840, 160}}));
  EXPECT_EQ(jb.inst->control.codecChanged, 1);
}

TEST(TidepoolStatistics, LossWrapAndFraction) {
  Jb jb;
  uint16_t fraction = 0;
  uint32_t lost = 0;
  uint32_t highest = 0;
  uint32_t jitter = 0;
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_GetRTCPStats(jb.inst, &fraction, &lost, &highest, &jitter), 0);
  EXPECT_EQ(lost, 0u);  // nothing received, nothing lost
  // Sequence numbers 65530 .. 65535, 0 .. 3 with 65533 and 1 missing: 8 of 10 received.
  uint32_t ts = 0;
  for (uint32_t s = 65530; s < 65540; ++s) {
    const uint16_t seq = static_cast<uint16_t>(s);
    if (seq != 65533 && seq != 1) jb.In(Pcmu(seq, ts, 0), ts);
    ts += 160;
  }
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_GetRTCPStats(jb.inst, &fraction, &lost, &highest, &jitter), 0);
  EXPECT_EQ(highest, 65536u + 3u);
  EXPECT_EQ(lost, 2u);
  EXPECT_EQ(fraction, (2u << 8) / 10u);
  EXPECT_EQ(jitter, 0u);  // constant transit
  // The next interval: 2 more expected, 2 received.
  jb.In(Pcmu(4, ts, 0), ts);
  jb.In(Pcmu(5, ts + 160, 0), ts + 160);
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_GetRTCPStats(jb.inst, &fraction, &lost, &highest, &jitter), 0);
  EXPECT_EQ(fraction, 0);
  EXPECT_EQ(lost, 2u);
}

TEST(TidepoolStatistics, JitterMovesBySixteenthsAndSurvivesClockWrap) {
  Jb jb;
  // Arrival times near the 32-bit wrap, as a long-running engine produces them.
  uint32_t arrival = 0xffffff00u;
  uint32_t ts = 5000;
  jb.In(Pcmu(1, ts, 0), arrival);
  // Every packet 32 samples later than its timestamp predicts: D = 32 each time.
  for (int k = 1; k <= 3; ++k) {
    ts += 160;
    arrival += 160 + 32;
    jb.In(Pcmu(static_cast<uint16_t>(1 + k), ts, 0), arrival);
  }
  // J += (16 D - J + 8) >> 4, three times from 0, in sixteenths.
  uint32_t expected = 0;
  for (int k = 0; k < 3; ++k) expected += (16 * 32 - expected + 8) >> 4;
  EXPECT_EQ(jb.inst->control.jitter, expected);
}

// The transit difference is taken as a signed 16-bit value: a change of 2^15 samples or more folds.
TEST(TidepoolStatistics, TransitDifferenceIsTakenAsSixteenBits) {
  struct Case {
    int64_t change;  // samples the second packet arrives later (negative: earlier) than its timestamp says
    uint32_t d;      // the difference the estimate takes
  };
  const Case cases[] = {{100, 100},        {-100, 100},   {32767, 32767}, {32768, 32768},
                        {40000, 25536},    {65536, 0},    {70000, 4464},  {-40000, 25536}};
  for (const Case& c : cases) {
    Jb jb;
    const uint32_t arrival = 0x7fff0000u;
    jb.In(Pcmu(1, 5000, 0), arrival);
    jb.In(Pcmu(2, 5160, 0), static_cast<uint32_t>(arrival + 160 + c.change));
    // From 0, one step of (16 D - J + 8) >> 4 gives D.
    EXPECT_EQ(jb.inst->control.jitter, c.d) << c.change;
  }
}

TEST(TidepoolStatistics, ArrivalTimeDoesNotOverflow) {
  // 50 days of milliseconds at 16 kHz exceed 32 bits many times over; consecutive values stay 16 apart.
  const uint64_t ms = 50ull * 24 * 3600 * 1000;
  EXPECT_EQ(Tidepool_ArrivalTime(ms + 1, 16000) - Tidepool_ArrivalTime(ms, 16000), 16u);
  EXPECT_EQ(Tidepool_ArrivalTime(1000, 8000), 8000u);
}

TEST(TidepoolVersion, CopiesTheVersionText) {
  char text[8];
  EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_Version(text, sizeof text), 0);
  EXPECT_STREQ(text, "2.2.5");
  EXPECT_EQ(TIDEPOOL_SONRA_10MS16B_Version(text, 5), -1);
}

TEST(TidepoolRecOut, DecoderFailureStillGivesTenMilliseconds) {
  Jb jb;
  FakeDecoder fake;
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_AssignDecoder(jb.inst, kTidepoolAmr, &kFakeOps, &fake), 0);
  ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_RegisterPayload(jb.inst, "AMR", 8000, 120), 0);
  fake.fail = true;
  ASSERT_EQ(jb.In(Pcmu(1, 0, 32, 120)), 0);
  int16_t out[80];
  for (auto& v : out) v = 1234;
  EXPECT_EQ(jb.Out(out), -1);
  EXPECT_EQ(jb.Error(), 1060);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[79], 0);
  EXPECT_EQ(jb.Out(out), 0);  // the failed frame is gone; playout goes on
}

}  // namespace
