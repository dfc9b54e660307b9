// Component table and wrappers: the echo-canceller wrapper's argument rules, gain control steps, and the codec set.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "voice/codec_set.h"
#include "voice/components.h"
#include "voice/dsp/g711.h"
#include "voice/mic_gain.h"

namespace {

// An echo-canceller core that remembers what it was given.
struct FakeAec {
  int delay = -1;
  int farFrames = 0;
  int rate = 0;
};
void* AecCreate() { return new FakeAec; }
void AecRelease(void* p) { delete static_cast<FakeAec*>(p); }
int AecInit(void* p, int rate, int) {
  static_cast<FakeAec*>(p)->rate = rate;
  return 0;
}
int AecMode(void*, int) { return 0; }
int AecProcess(void* p, int16_t*, int, int delayMs) {
  static_cast<FakeAec*>(p)->delay = delayMs;
  return 0;
}
int AecFar(void* p, const int16_t*, int length) {
  if (length != 80) return -1;
  ++static_cast<FakeAec*>(p)->farFrames;
  return 0;
}
int AecActivity(void*) { return 42; }
const SonraAecPcCore kFakeAec = {AecCreate, AecRelease, AecInit, AecMode, AecProcess, AecFar, AecActivity};

TEST(AecPcWrapper, ArgumentRules) {
  Sonra_RegisterAecPc(nullptr);
  AecPcWrapper absent;
  int16_t in[160] = {}, out[160];
  EXPECT_EQ(-1, absent.Init(8000, 0));  // no core registered
  EXPECT_EQ(kAecPcNotInitialised, absent.ProcessNearEnd(in, out, 160, 100));
  EXPECT_EQ(kAecPcNotInitialised, absent.AddFarEnd(in, 80));
  EXPECT_EQ(kAecPcNotInitialised, absent.SetMode(0));

  Sonra_RegisterAecPc(&kFakeAec);
  {
    AecPcWrapper w;
    ASSERT_EQ(0, w.Init(16000, 1));
    struct Case {
      int delay, seen, result;
    };
    const Case cases[] = {{900, 150, kAecPcDelayClamped}, {801, 150, kAecPcDelayClamped}, {800, 500, kAecPcDelayClamped},
                          {600, 500, kAecPcDelayClamped}, {500, 500, 0},                  {120, 120, 0},
                          {-5, 0, kAecPcNegativeDelay}};
    // The core is reached through the wrapper only; its record is read back through a second core call.
    for (const Case& c : cases) {
      FakeAec probe;
      (void)probe;
      EXPECT_EQ(c.result, w.ProcessNearEnd(in, out, 160, c.delay)) << c.delay;
    }
    EXPECT_EQ(kAecPcBadLength, w.ProcessNearEnd(in, out, 120, 100));
    EXPECT_EQ(kAecPcBadLength, w.AddFarEnd(in, 120));
    EXPECT_EQ(0, w.AddFarEnd(in, 80));
    EXPECT_EQ(0, w.AddFarEnd(in, 160));
    EXPECT_EQ(kAecPcBadMode, w.SetMode(2));
    EXPECT_EQ(0, w.SetMode(1));
    EXPECT_EQ(42, w.Activity());
    char text[32];
    EXPECT_EQ(kAecPcVersionBuffer, w.Version(text, 10));
    ASSERT_EQ(0, w.Version(text, sizeof text));
    EXPECT_STREQ("Sonra AEC PC\t1.4.1", text);
  }
  Sonra_RegisterBuiltInComponents();
}

// The delays the core receives, seen through a core that copies them into the samples.
int AecProcessEcho(void*, int16_t* samples, int, int delayMs) {
  samples[0] = static_cast<int16_t>(delayMs);
  return 0;
}
const SonraAecPcCore kEchoingAec = {AecCreate, AecRelease, AecInit, AecMode, AecProcessEcho, AecFar, AecActivity};

TEST(AecPcWrapper, DelaysReachTheCoreClamped) {
  Sonra_RegisterAecPc(&kEchoingAec);
  AecPcWrapper w;
  ASSERT_EQ(0, w.Init(8000, 0));
  int16_t in[80] = {}, out[80];
  const int pairs[][2] = {{900, 150}, {600, 500}, {-3, 0}, {250, 250}};
  for (const auto& p : pairs) {
    w.ProcessNearEnd(in, out, 80, p[0]);
    EXPECT_EQ(p[1], out[0]) << p[0];
  }
  Sonra_RegisterBuiltInComponents();
}

TEST(AesFixAndVad, AbsentCoresAreReportedAbsent) {
  Sonra_RegisterAes(nullptr);
  Sonra_RegisterVad(nullptr);
  AesFixInst* aes = reinterpret_cast<AesFixInst*>(1);
  EXPECT_EQ(-1, AesFix_Create(&aes));
  EXPECT_EQ(nullptr, aes);
  char text[32];
  EXPECT_EQ(-101, AesFix_Version(text, 10));
  EXPECT_EQ(0, AesFix_Version(text, sizeof text));
  EXPECT_STREQ("AES FIX version\t1.0.9\n", text);
  SonraVadInst* vad = nullptr;
  EXPECT_EQ(-1, SonraVad_Create(&vad));
  EXPECT_EQ(-1, SonraVad_Process(nullptr, 8000, nullptr, 80));
  Sonra_RegisterBuiltInComponents();
}

// The built-in cores initialise whatever they warn about: the wrappers report the warning, and
// the canceller works on with the argument it put in place of the bad one.
TEST(EchoWrappers, InitWarningsAreReportedAndTheCancellerRuns) {
  Sonra_RegisterBuiltInComponents();
  AesFixInst* aes = nullptr;
  ASSERT_EQ(0, AesFix_Create(&aes));
  struct Case {
    int delayMs, aggressive, highPass, result;
  };
  const Case cases[] = {{100, 0, 0, 0}, {8, 0, 0, -103}, {300, 0, 0, -104}, {100, 2, 0, -102}, {100, 0, 3, -106}};
  int16_t in[80] = {}, out[80];
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, AesFix_Init(aes, c.delayMs, c.aggressive, c.highPass)) << c.delayMs;
    EXPECT_EQ(0, AesFix_AddFarEnd(aes, in, 0)) << c.delayMs;
    EXPECT_EQ(0, AesFix_Process(aes, in, out, 0, 40)) << c.delayMs;
  }
  AesFix_Free(aes);

  AecPcWrapper aec;
  EXPECT_EQ(11003, aec.Init(11025, 0));  // taken as 8000 Hz
  EXPECT_TRUE(aec.Ready());
  EXPECT_EQ(0, aec.SetMode(1));
  EXPECT_EQ(0, aec.AddFarEnd(in, 80));
  EXPECT_EQ(0, aec.ProcessNearEnd(in, out, 80, 40));
  EXPECT_EQ(0, aec.Init(16000, 0));
}

// A gain-control core: unity gain, and a speech detector that always hears speech.
void* AgcCreate() { return new int(0); }
void AgcRelease(void* p) { delete static_cast<int*>(p); }
int AgcInit(void*) { return 0; }
int AgcProcess(const int16_t* in, int16_t* out, void*, int rate) {
  std::memmove(out, in, sizeof(int16_t) * static_cast<size_t>(rate / 100));
  return 0;
}
int AgcFar(const int16_t*, void*, int) { return 0; }
int AgcDetect(void*, const int16_t*, int, int) { return 4000; }
int AgcDeviation(void*) { return 8000; }
void AgcVersion(char* t) { std::strcpy(t, "fake"); }
const SonraAgcCore kFakeAgc = {AgcCreate, AgcRelease, AgcInit, AgcProcess, AgcFar, AgcDetect, AgcDeviation, AgcVersion};

TEST(MicGainControl, LevelStepsInTheMixersUnits) {
  MicGainControl g;
  ASSERT_TRUE(g.Create(&kFakeAgc));
  ASSERT_EQ(0, g.Init(0, 65535));
  EXPECT_EQ(5, g.LevelShift());
  EXPECT_EQ(2047, g.CardMaxLevel());
  EXPECT_EQ(2687, g.TopLevel());
  std::vector<int16_t> frame(80, 0), out(80);
  int32_t level = 0;
  // A microphone left at the minimum is raised at once to about a tenth of the range.
  ASSERT_EQ(0, g.AddNearEnd(frame.data(), 80, 8000));
  ASSERT_EQ(0, g.Process(frame.data(), 80, out.data(), 0, &level, 8000));
  EXPECT_EQ(267 << 5, level);

  // A clipping talker: the level falls by 15 % as soon as the saturation sum passes its limit.
  MicGainControl c;
  ASSERT_TRUE(c.Create(&kFakeAgc));
  ASSERT_EQ(0, c.Init(0, 65535));
  std::vector<int16_t> loud(80);
  for (int i = 0; i < 80; ++i) loud[i] = i % 2 ? 32767 : -32767;
  int32_t l = 40000;
  ASSERT_EQ(0, c.AddNearEnd(loud.data(), 80, 8000));
  ASSERT_EQ(0, c.Process(loud.data(), 80, out.data(), l, &l, 8000));
  const int32_t before = c.WantedLevel();
  EXPECT_EQ(40000 >> 5, before);
  ASSERT_EQ(0, c.AddNearEnd(loud.data(), 80, 8000));
  ASSERT_EQ(0, c.Process(loud.data(), 80, out.data(), l, &l, 8000));
  EXPECT_EQ(before * 27853 / 32768, c.WantedLevel());
  EXPECT_EQ(c.WantedLevel() << 5, l);
}

TEST(MicGainControl, QuietSpeechAtTheTopIsAmplifiedByAtMostThreeDecibels) {
  MicGainControl g;
  ASSERT_TRUE(g.Create(&kFakeAgc));
  ASSERT_EQ(0, g.Init(0, 65535));
  std::vector<int16_t> quiet(80), out(80);
  for (int i = 0; i < 80; ++i) quiet[i] = static_cast<int16_t>(i % 2 ? 100 : -100);
  int32_t level = 65535;
  g.SetSlowLevel(1000);  // long below the lower hard limit
  for (int i = 0; i < 3000; ++i) {
    std::vector<int16_t> f = quiet;
    ASSERT_EQ(0, g.AddNearEnd(f.data(), 80, 8000));
    ASSERT_EQ(0, g.Process(f.data(), 80, out.data(), level, &level, 8000));
    ASSERT_LE(level, 2047 << 5);
  }
  EXPECT_GT(g.WantedLevel(), g.CardMaxLevel());
  EXPECT_LE(g.WantedLevel(), g.TopLevel());
  std::vector<int16_t> f(80, 1000);
  ASSERT_EQ(0, g.AddNearEnd(f.data(), 80, 8000));
  EXPECT_GT(f[0], 1000);
  EXPECT_LE(f[0], 1000 * 5786 / 4096);
  EXPECT_EQ(-1, g.AddNearEnd(f.data(), 100, 8000));
  EXPECT_EQ(-1, g.Process(f.data(), 80, out.data(), level, &level, 11025));
}

// A short stretch just below the band (between the lower hard and soft limits) adds to the too-low
// time only: the in-band time towards slow mode and the too-high time towards a step down run on.
TEST(MicGainControl, JustBelowTheBandOnlyTheTooLowTimeCounts) {
  struct Phase {
    int64_t slowLevel;
    int calls;
  };
  struct Case {
    const char* name;
    std::vector<Phase> phases;
    bool slowMode;
    bool lowered;
  };
  const int64_t inBand = 20000000, justBelow = 10000000, aboveSoft = 30000000;
  const std::vector<Case> cases = {
      {"in band 3 s, below, in band 1.1 s", {{inBand, 300}, {justBelow, 1}, {inBand, 110}}, true, false},
      {"too high 400 ms, below, too high 130 ms", {{aboveSoft, 40}, {justBelow, 1}, {aboveSoft, 13}}, false, true},
  };
  for (const Case& c : cases) {
    MicGainControl g;
    ASSERT_TRUE(g.Create(&kFakeAgc));
    ASSERT_EQ(0, g.Init(0, 65535));
    std::vector<int16_t> speech(80), out(80);
    for (int i = 0; i < 80; ++i) speech[i] = static_cast<int16_t>(i % 2 ? 1000 : -1000);
    int32_t level = 40000;
    auto run = [&](int64_t slowLevel, int calls) {
      for (int i = 0; i < calls; ++i) {
        g.SetSlowLevel(slowLevel);  // held where the case puts it; one call moves it by under 1 %
        std::vector<int16_t> f = speech;
        ASSERT_EQ(0, g.AddNearEnd(f.data(), 80, 8000));
        ASSERT_EQ(0, g.Process(f.data(), 80, out.data(), level, &level, 8000));
      }
    };
    run(justBelow, 30);  // the first 250 ms of speech set the slow level once; no step yet
    const int32_t before = g.WantedLevel();
    for (const Phase& ph : c.phases) run(ph.slowLevel, ph.calls);
    EXPECT_EQ(c.slowMode, g.SlowMode()) << c.name;
    EXPECT_EQ(c.lowered ? static_cast<int32_t>(static_cast<int64_t>(before) * 31621 / 32768) : before, g.WantedLevel())
        << c.name;
  }
}

// A step down from above the upper hard limit clears every counter, the speech time with the
// maximum: the next 250 ms of speech set the slow level afresh from the talker's level now.
TEST(MicGainControl, HardStepDownTakesTheFirstSpeechLevelAgain) {
  MicGainControl g;
  ASSERT_TRUE(g.Create(&kFakeAgc));
  ASSERT_EQ(0, g.Init(0, 65535));
  std::vector<int16_t> speech(80), out(80);
  for (int i = 0; i < 80; ++i) speech[i] = static_cast<int16_t>(i % 2 ? 1000 : -1000);
  int32_t level = 40000;
  auto call = [&]() {
    std::vector<int16_t> f = speech;
    ASSERT_EQ(0, g.AddNearEnd(f.data(), 80, 8000));
    ASSERT_EQ(0, g.Process(f.data(), 80, out.data(), level, &level, 8000));
  };
  for (int i = 0; i < 30; ++i) call();  // the first speech sets the slow level
  const int64_t first = g.SlowLevel();
  const int32_t before = g.WantedLevel();
  int calls = 0;
  while (g.WantedLevel() == before && calls < 100) {
    g.SetSlowLevel(100000000);  // far above the upper hard limit
    call();
    ++calls;
  }
  const int32_t stepped = g.WantedLevel();
  ASSERT_EQ(static_cast<int32_t>(static_cast<int64_t>(before) * 15565 / 16384), stepped);
  // Kept from before the step, the slow level would stay above the hard limit for seconds and
  // lower the level again and again.
  for (int i = 0; i < 100; ++i) call();
  EXPECT_LT(g.SlowLevel(), 2 * first);
  EXPECT_EQ(stepped, g.WantedLevel());
}

// The far end goes to the core 10 ms at a time, and the result is the sum of the core's results.
int AgcFarFails(const int16_t*, void*, int) { return -1; }
TEST(MicGainControl, FarEndResultIsTheSumOfItsPieces) {
  SonraAgcCore failing = kFakeAgc;
  failing.addFarEnd = AgcFarFails;
  MicGainControl g;
  ASSERT_TRUE(g.Create(&failing));
  ASSERT_EQ(0, g.Init(0, 65535));
  std::vector<int16_t> far(320, 0);
  EXPECT_EQ(-1, g.AddFarEnd(far.data(), 80, 8000));
  EXPECT_EQ(-2, g.AddFarEnd(far.data(), 160, 8000));
  EXPECT_EQ(-2, g.AddFarEnd(far.data(), 320, 16000));
  EXPECT_EQ(-1, g.AddFarEnd(far.data(), 100, 8000));  // a length no rate has
}

TEST(ChannelCodecSet, G711WorksWithoutTheOtherCodecs) {
  const int kOthers[] = {kCodecIlbc, kCodecQuill, kCodecOstrelWb, kCodecOstrel711A, kCodecOstrel711U};
  for (int kind : kOthers) Sonra_RegisterCodec(kind, nullptr);
  ChannelCodecSet set(3);
  ASSERT_EQ(0, set.InitJitterBuffer(8000));
  for (int kind : kOthers) {
    EXPECT_FALSE(Sonra_CodecPresent(kind)) << kind;
    EXPECT_FALSE(set.Has(kind)) << kind;
    EXPECT_EQ(-1, set.RegisterCodec(kind, true, 160, 120)) << kind;
    EXPECT_EQ(-1, set.Encode(kind, nullptr, 0, nullptr, 0));
  }
  EXPECT_TRUE(set.Has(kCodecPcmu));
  EXPECT_EQ(0, set.RegisterCn(true, 107));
  EXPECT_EQ(0, set.RegisterTelephoneEvents(106));
  int16_t pcm[160];
  for (int i = 0; i < 160; ++i) pcm[i] = static_cast<int16_t>(8000 * ((i / 10) % 2 ? 1 : -1));
  uint8_t payload[160];
  int n = 0;
  ASSERT_EQ(0, set.EncodeG711(true, pcm, 160, payload, &n));
  EXPECT_EQ(160, n);
  EXPECT_EQ(-1, set.EncodeG711(true, pcm, 0, payload, &n));
  EXPECT_EQ(0, n);
  std::vector<uint8_t> packet(12 + 160);
  packet[0] = 0x80;
  std::memcpy(packet.data() + 12, payload, 160);
  ASSERT_EQ(0, set.PutPacket(packet.data(), static_cast<int>(packet.size()), 8000));
  int16_t out[160];
  int16_t count = 0;
  bool heard = false;
  for (int i = 0; i < 6; ++i) {
    set.TakeTenMs(out, &count);
    EXPECT_EQ(80, count);
    for (int k = 0; k < count; ++k) heard = heard || out[k] != 0;
  }
  EXPECT_TRUE(heard);
  char text[600];
  EXPECT_EQ(-1, set.ReceiveVersions(text, 499));
  ASSERT_EQ(0, set.ReceiveVersions(text, 500));
  const std::string v(text);
  EXPECT_EQ(0u, v.find("Tidepool\t\t2.2.5\nG711\n"));
  EXPECT_NE(std::string::npos, v.find("CNG\t\t"));
  EXPECT_NE(std::string::npos, v.find("audio/telephone-event\n"));
  Sonra_RegisterBuiltInComponents();
}

// A codec component joins with one registration (here a fake in place of the built-in Quill): the
// codec set then creates, registers and encodes with it.
struct FakeCodec {
  int packet = 0;
  int encoded = 0;
};
void* FcCreate() { return new FakeCodec; }
void FcRelease(void* p) { delete static_cast<FakeCodec*>(p); }
int FcInit(void* p, int packet) {
  static_cast<FakeCodec*>(p)->packet = packet;
  return 0;
}
int FcEncode(void* p, const int16_t*, int count, uint8_t* out, int capacity) {
  auto* c = static_cast<FakeCodec*>(p);
  c->encoded += count;
  if (c->encoded < c->packet || capacity < 4) return 0;
  c->encoded = 0;
  std::memcpy(out, "QUIL", 4);
  return 4;
}
int FcDecode(void*, const uint8_t*, int, int16_t* out, int capacity, int16_t* type) {
  const int n = capacity < 160 ? capacity : 160;
  for (int i = 0; i < n; ++i) out[i] = 0;
  if (type) *type = kTidepoolSpeech;
  return n;
}
const TidepoolDecoderOps kFcOps = {FcDecode, nullptr, nullptr, nullptr, nullptr,
                                   nullptr,  nullptr, nullptr, kTidepoolKindOther, 16000};

// The fake codec registered as Quill.
SonraCodecComponent FakeQuill() {
  SonraCodecComponent c{};
  c.kind = kCodecQuill;
  c.tidepoolCodec = kTidepoolQuill;
  c.registerName = "QUILL";
  c.rate = 16000;
  c.create = FcCreate;
  c.release = FcRelease;
  c.initEncoder = FcInit;
  c.encode = FcEncode;
  c.decoderOps = &kFcOps;
  return c;
}

TEST(ChannelCodecSet, ARegisteredCodecIsCreatedRegisteredAndEncodes) {
  SonraCodecComponent c = FakeQuill();
  Sonra_RegisterCodec(kCodecQuill, &c);
  {
    ChannelCodecSet set(0);
    ASSERT_EQ(0, set.InitJitterBuffer(8000));
    EXPECT_TRUE(set.Has(kCodecQuill));
    EXPECT_TRUE(Sonra_CodecPresent(kCodecQuill));
    ASSERT_EQ(0, set.RegisterCodec(kCodecQuill, true, 480, 103));
    int16_t frame[160] = {};
    uint8_t out[16];
    EXPECT_EQ(0, set.Encode(kCodecQuill, frame, 160, out, 16));
    EXPECT_EQ(0, set.Encode(kCodecQuill, frame, 160, out, 16));
    EXPECT_EQ(4, set.Encode(kCodecQuill, frame, 160, out, 16));
    char list[1024];
    ASSERT_GT(Sonra_ComponentVersionList(list, sizeof list), 0);
    EXPECT_EQ(0, set.JitterLastError());
    EXPECT_NE(std::string::npos, std::string(list).find("QUILL\t\tnot present\n"));  // it gives no version text
  }
  Sonra_RegisterCodec(kCodecQuill, nullptr);
  EXPECT_FALSE(Sonra_CodecPresent(kCodecQuill));
  Sonra_RegisterBuiltInComponents();
}

// A codec with a decoder of its own (as iLBC): registering initialises the decoder, then the encoder,
// and the result is the encoder's whatever the decoder's init gave.
int g_decoderInits = 0;
void* FcCreateDecoder() { return new FakeCodec; }
int FcInitDecoderFails(void*, int) { return ++g_decoderInits, -1; }
int FcInitFails(void*, int) { return -1; }

TEST(ChannelCodecSet, ASeparateDecoderIsInitialisedAndTheEncoderDecides) {
  struct Case {
    int (*initEncoder)(void*, int);
    int result;
  };
  for (const Case& k : {Case{FcInit, 0}, Case{FcInitFails, -1}}) {
    SonraCodecComponent c = FakeQuill();
    c.createDecoder = FcCreateDecoder;
    c.releaseDecoder = FcRelease;
    c.initDecoder = FcInitDecoderFails;
    c.initEncoder = k.initEncoder;
    Sonra_RegisterCodec(kCodecQuill, &c);
    {
      ChannelCodecSet set(0);
      ASSERT_EQ(0, set.InitJitterBuffer(8000));
      g_decoderInits = 0;
      EXPECT_EQ(k.result, set.RegisterCodec(kCodecQuill, true, 480, 103));
      EXPECT_EQ(1, g_decoderInits);
    }
    Sonra_RegisterCodec(kCodecQuill, nullptr);
  }
  Sonra_RegisterBuiltInComponents();
}

// A payload type the jitter buffer refuses leaves the codec unable to receive, but its shared
// instance is still initialised for sending, and the result is that of the initialisation.
TEST(ChannelCodecSet, ARefusedPayloadTypeStillInitialisesTheEncoder) {
  SonraCodecComponent c = FakeQuill();
  Sonra_RegisterCodec(kCodecQuill, &c);
  {
    ChannelCodecSet set(0);
    ASSERT_EQ(0, set.InitJitterBuffer(8000));
    EXPECT_EQ(0, set.RegisterCodec(kCodecQuill, true, 480, 8));  // a static type: refused
    EXPECT_EQ(1050, set.JitterLastError());
    int16_t frame[160] = {};
    uint8_t out[16];
    EXPECT_EQ(0, set.Encode(kCodecQuill, frame, 160, out, 16));
    EXPECT_EQ(0, set.Encode(kCodecQuill, frame, 160, out, 16));
    EXPECT_EQ(4, set.Encode(kCodecQuill, frame, 160, out, 16));
  }
  Sonra_RegisterCodec(kCodecQuill, nullptr);
  Sonra_RegisterBuiltInComponents();
}

}  // namespace
