// The built-in components: all registered with their versions, each codec through two codec sets, and echo and gain control in the send path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "platform/wave.h"
#include "voice/codec_set.h"
#include "voice/components.h"
#include "voice/dsp/g711.h"
#include "voice/dsp/processing/agc.h"
#include "voice/file_stream.h"
#include "voice/mic_gain.h"
#include "voice/processing.h"
#include "voice/rtp_sender.h"
#include "voice/send_path.h"

namespace {

class BuiltIn : public ::testing::Test {
 protected:
  void SetUp() override { Sonra_RegisterBuiltInComponents(); }
};

// A voiced, speech-like signal: a 110-130 Hz pulse train through two formant resonators, its
// loudness moving at a syllable rate; peak about `peak`.
std::vector<int16_t> Vowels(int rate, int samples, double peak, uint32_t seed = 1) {
  std::vector<double> y(samples);
  double y1 = 0, y2 = 0, z1 = 0, z2 = 0, phase = 0;
  auto coef = [rate](double f, double bw, double* a1, double* a2) {
    const double r = std::exp(-M_PI * bw / rate);
    *a1 = 2 * r * std::cos(2 * M_PI * f / rate);
    *a2 = -r * r;
  };
  double a1, a2, b1, b2;
  coef(700, 90, &a1, &a2);
  coef(1700, 120, &b1, &b2);
  double maxAbs = 1;
  for (int n = 0; n < samples; ++n) {
    const double pitch = 120 + 10 * std::sin(2 * M_PI * 0.7 * n / rate);
    phase += pitch / rate;
    seed = seed * 1103515245u + 12345u;
    double x = (phase >= 1) ? 1.0 : 0.0;
    if (phase >= 1) phase -= 1;
    x += ((seed >> 16) % 2001 - 1000) / 40000.0;  // a little breath
    const double v = x + a1 * y1 + a2 * y2;
    y2 = y1;
    y1 = v;
    const double w = v + b1 * z1 + b2 * z2;
    z2 = z1;
    z1 = w;
    const double env = 0.55 + 0.45 * std::sin(2 * M_PI * 3.0 * n / rate);
    y[n] = (v + 0.6 * w) * env;
    maxAbs = std::max(maxAbs, std::fabs(y[n]));
  }
  std::vector<int16_t> out(samples);
  for (int n = 0; n < samples; ++n) out[n] = static_cast<int16_t>(y[n] / maxAbs * peak);
  return out;
}

double Corr(const int16_t* a, const int16_t* b, size_t n) {
  double num = 0, ea = 0, eb = 0;
  for (size_t i = 0; i < n; ++i) {
    num += static_cast<double>(a[i]) * b[i];
    ea += static_cast<double>(a[i]) * a[i];
    eb += static_cast<double>(b[i]) * b[i];
  }
  return ea > 0 && eb > 0 ? num / std::sqrt(ea * eb) : 0.0;
}

// Median over 100-ms windows of `sent` (from `from`) of the best correlation with `got` at a lag
// of 0..maxLag samples.
double MedianCorrelation(const std::vector<int16_t>& sent, const std::vector<int16_t>& got, int rate, size_t from,
                         int maxLag) {
  const size_t w = static_cast<size_t>(rate / 10);
  std::vector<double> scores;
  for (size_t at = from; at + w + static_cast<size_t>(maxLag) <= std::min(sent.size(), got.size()); at += w) {
    double best = -1;
    for (int lag = 0; lag <= maxLag; ++lag) best = std::max(best, Corr(&sent[at], &got[at + lag], w));
    scores.push_back(best);
  }
  if (scores.empty()) return 0;
  std::sort(scores.begin(), scores.end());
  return scores[scores.size() / 2];
}

TEST_F(BuiltIn, EveryComponentIsRegisteredWithItsVersion) {
  for (int kind = 0; kind < kCodecKindCount; ++kind) EXPECT_TRUE(Sonra_CodecPresent(kind)) << kind;
  EXPECT_NE(nullptr, Sonra_VadCore());
  EXPECT_NE(nullptr, Sonra_AgcCore());
  EXPECT_NE(nullptr, Sonra_AesCore());
  EXPECT_NE(nullptr, Sonra_AecPcCore());
  char list[2048];
  ASSERT_GT(Sonra_ComponentVersionList(list, sizeof list), 0);
  const std::string v(list);
  EXPECT_EQ(std::string::npos, v.find("not present")) << v;
  for (const char* line : {"Tidepool\t\t2.2.5\n", "Ostrel711A\t\t2.1.24\n", "Ostrel711U\t\t2.1.24\n",
                           "OSTRELWB\t\t2.1.24\n", "ILBC\t\t1.0.4\n", "QUILL\t\t2.2.0\n"})
    EXPECT_NE(std::string::npos, v.find(line)) << line;
  // The receive side picks its lines by their keys.
  ChannelCodecSet set(0);
  char rx[600];
  ASSERT_EQ(0, set.ReceiveVersions(rx, sizeof rx));
  const std::string r(rx);
  for (const char* line : {"OSTRELWB\t\t2.1.24\n", "ILBC\t\t1.0.4\n", "QUILL\t\t2.2.0\n"})
    EXPECT_NE(std::string::npos, r.find(line)) << line;
  MicGainControl g;
  ASSERT_TRUE(g.Create(Sonra_AgcCore()));
  char agc[64];
  ASSERT_EQ(0, g.Version(agc, sizeof agc));
  EXPECT_STREQ("Sonra AGC\t\t1.3.0", agc);
  SonraVadInst* vad = nullptr;
  ASSERT_EQ(0, SonraVad_Create(&vad));
  ASSERT_EQ(0, SonraVad_Init(vad));
  int16_t frame[240] = {};
  EXPECT_EQ(-1, SonraVad_Process(vad, 8000, frame, 200));
  EXPECT_EQ(0, SonraVad_Process(vad, 8000, frame, 240));
  SonraVad_Free(vad);
  AesFixInst* aes = nullptr;
  ASSERT_EQ(0, AesFix_Create(&aes));
  EXPECT_EQ(0, AesFix_Init(aes, 100, 0, 0));
  AesFix_Free(aes);
}

struct LoopCase {
  int kind;
  const char* name;
  int rate;
  int frame;   // registration frame size, as the engine registers the codec
  int packet;  // send packet size
  int pt;
  double floor;
};

// One channel's codec set encodes as the send path does; a second one's jitter buffer decodes what
// arrives, one packet per packet time on a test clock. Returns what was played (at the codec's rate).
std::vector<int16_t> Loop(const LoopCase& c, const std::vector<int16_t>& in) {
  plat::TestClock clock(1000);
  ChannelCodecSet a(0), b(1);
  for (ChannelCodecSet* s : {&a, &b}) {
    EXPECT_EQ(0, s->InitJitterBuffer(8000));
    EXPECT_EQ(0, s->RegisterCodec(c.kind, true, c.frame, c.pt)) << c.name;
  }
  const int ilbcFrame = (c.packet == 160 || c.packet == 320) ? 160 : 240;
  EXPECT_EQ(0, a.InitEncoder(c.kind, c.kind == kCodecIlbc ? ilbcFrame : c.packet)) << c.name;
  const int tenMs = c.rate / 100;
  std::vector<int16_t> out;
  std::vector<int16_t> store;
  uint16_t seq = 7;
  uint32_t packetStart = 0;
  uint8_t payload[rtpsender::kMaxPayload];
  for (size_t at = 0; at + static_cast<size_t>(tenMs) <= in.size(); at += static_cast<size_t>(tenMs)) {
    int bytes = 0;
    if (c.kind == kCodecIlbc) {
      store.insert(store.end(), in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at) + tenMs);
      if (static_cast<int>(store.size()) >= c.packet) {
        bytes = a.Encode(c.kind, store.data(), c.packet, payload, sizeof payload);
        store.clear();
      }
    } else {
      bytes = a.Encode(c.kind, &in[at], tenMs, payload, sizeof payload);
    }
    EXPECT_GE(bytes, 0) << c.name << " at " << at;
    if (bytes > 0) {
      std::vector<uint8_t> p(12 + static_cast<size_t>(bytes));
      p[0] = 0x80;
      p[1] = static_cast<uint8_t>(c.pt);
      p[2] = static_cast<uint8_t>(seq >> 8);
      p[3] = static_cast<uint8_t>(seq);
      for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(packetStart >> (24 - 8 * i));
      p[11] = 0x21;
      std::memcpy(p.data() + 12, payload, static_cast<size_t>(bytes));
      EXPECT_EQ(0, b.PutPacket(p.data(), static_cast<int>(p.size()), c.rate)) << c.name << " " << b.JitterLastError();
      ++seq;
      packetStart = static_cast<uint32_t>(at) + static_cast<uint32_t>(tenMs);
    }
    clock.advance(10);
    int16_t got[160];
    int16_t n = 0;
    b.TakeTenMs(got, &n);
    // Until the first wideband packet the jitter buffer still plays at 8000 Hz.
    if (n != tenMs) {
      EXPECT_EQ(0u, seq - 7u) << c.name;
      std::fill(got, got + 160, 0);
    }
    out.insert(out.end(), got, got + tenMs);
  }
  return out;
}

TEST_F(BuiltIn, EachCodecCarriesVoiceFromOneCodecSetToAnother) {
  // Measured medians of 100-ms windows of the synthetic vowels: iLBC 30 ms 0.726, 20 ms 0.737,
  // OSTREL711U/A 1.000, OSTRELWB 0.998, QUILL 0.719 (the parametric coders keep the formants, not
  // the breath noise). A codec that garbles or drops its frames scores below 0.3.
  const LoopCase cases[] = {
      {kCodecIlbc, "iLBC 30 ms", 8000, 240, 240, 102, 0.63},
      {kCodecIlbc, "iLBC 20 ms", 8000, 240, 320, 102, 0.63},
      {kCodecOstrel711U, "OSTREL711U", 8000, 160, 160, 100, 0.95},
      {kCodecOstrel711A, "OSTREL711A", 8000, 160, 240, 101, 0.95},
      {kCodecOstrelWb, "OSTRELWB", 16000, 320, 320, 97, 0.95},
      {kCodecQuill, "QUILL", 16000, 480, 480, 103, 0.62},
  };
  for (const LoopCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<int16_t> in = Vowels(c.rate, c.rate * 2, 12000);
    const std::vector<int16_t> out = Loop(c, in);
    ASSERT_EQ(in.size() / static_cast<size_t>(c.rate / 100) * static_cast<size_t>(c.rate / 100), out.size());
    const double m = MedianCorrelation(in, out, c.rate, static_cast<size_t>(c.rate / 2), c.rate / 4);
    std::printf("%s: median window correlation %.3f\n", c.name, m);
    EXPECT_GE(m, c.floor);
  }
}

// The send path as the sound-card thread drives it: the mixer hands the far end to the canceller,
// then the microphone block (carrying the far end's echo) goes through TX to a PCMU channel.
struct SendRig {
  TX tx;
  AecPcWrapper aec;
  rtpsender sender;
  RtcpSession rtcp;
  ChannelCodecSet codecs{0};
  std::vector<int16_t> sent;  // decoded PCMU, 8000 Hz
  Rate16To48 up;

  static void Collect(void* user, const uint8_t* p, int n) {
    auto* self = static_cast<SendRig*>(user);
    for (int i = 12; i < n; ++i) self->sent.push_back(G711_UlawDecodeSample(p[i]));
  }
  SendRig(int echoStatus, int agcStatus) {
    EXPECT_EQ(0, sender.init(UdpRecvSocket::CreateSocket(false, 0), UdpRecvSocket::CreateSocket(false, 0), "127.0.0.1",
                             40300, 0, false, 0, 0, &codecs, &rtcp));
    sender.setTap(&Collect, this);
    tx.SetAecPc(&aec);
    tx.SetWorkingRate(16000);
    tx.SetEchoType(0);
    tx.SetEchoStatus(echoStatus);
    tx.SetAgcStatus(agcStatus);
    RTPtransmitter& t = tx.Transmitter(0);
    t.initialise(&sender, &codecs);
    t.setCoder("pcmu", 0, 8000, 160, true);
    tx.StartSending(0);
  }
  // One 10-ms block: far (16 kHz, 160 samples) played, mic (16 kHz) captured. Returns TX's result.
  int Block(const int16_t* far, const int16_t* mic16, int delayMs, int micLevel) {
    if (tx.EchoOn()) aec.AddFarEnd(far, 160);
    int16_t mic48[480];
    up.Convert(mic16, mic48);
    return tx.recordMicrophone(mic48, 480, delayMs, micLevel);
  }
};

double Energy(const std::vector<int16_t>& v, size_t from) {
  double e = 0;
  for (size_t i = from; i < v.size(); ++i) e += static_cast<double>(v[i]) * v[i];
  return e;
}

TEST_F(BuiltIn, EchoCancellerInTheSendPathRemovesASyntheticEcho) {
  // The loudspeaker's sound returns to the microphone 40 ms later at half its level; nobody talks.
  const int kSeconds = 6;
  const int kDelay = 640;  // 40 ms at 16 kHz
  const std::vector<int16_t> far = Vowels(16000, 16000 * kSeconds, 16000, 3);
  std::vector<int16_t> echo(far.size(), 0);
  for (size_t i = kDelay; i < far.size(); ++i) echo[i] = static_cast<int16_t>(far[i - kDelay] / 2);
  double energy[2] = {};
  for (int ec = 0; ec < 2; ++ec) {
    SendRig rig(ec ? 2 : 0, 0);
    for (size_t at = 0; at + 160 <= far.size(); at += 160) rig.Block(&far[at], &echo[at], 40, 0);
    ASSERT_GT(rig.sent.size(), 8000u * (kSeconds - 1));
    energy[ec] = Energy(rig.sent, rig.sent.size() - 8000 * 2);  // the last two seconds
  }
  const double erleDb = 10 * std::log10(energy[0] / std::max(energy[1], 1.0));
  std::printf("echo sent without the canceller %.3g, with it %.3g: %.1f dB less\n", energy[0], energy[1], erleDb);
  // Measured: 48.8 dB less.
  EXPECT_GT(erleDb, 20.0);
}

struct GainRun {
  int lowestLevel = 0;
  int peak = 0;
  size_t clipped = 0;       // samples at full scale next to another one (a flattened top)
  size_t clippedLater = 0;  // of those, the ones outside the first 1-ms sub-frame of a 10-ms block
  size_t samples = 0;
};

// A talker at `peak` with echo control on, as in a call, gain control on or off; the card's volume
// starts at the top and follows what the gain control asks for. What the send path made of the
// microphone is taken from its 16-kHz recording.
GainRun RunTalker(int agc, double peak) {
  GainRun g;
  SendRig rig(2, agc);
  MemoryOutStream rec;
  EXPECT_EQ(0, rig.tx.StartRecordingMic(&rec));
  const std::vector<int16_t> talk = Vowels(16000, 16000 * 4, peak, 5);
  const int16_t silence[160] = {};
  int level = static_cast<int>(plat::kMixerVolumeMax);
  g.lowestLevel = level;
  for (size_t at = 0; at + 160 <= talk.size(); at += 160) {
    const int r = rig.Block(silence, &talk[at], 40, level);
    if (r != 0) level = r;
    g.lowestLevel = std::min(g.lowestLevel, level);
  }
  rig.tx.StopRecordingMic();
  const std::vector<uint8_t>& bytes = rec.Data();
  std::vector<int> x(bytes.size() / 2);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  for (size_t i = 0; i < x.size(); ++i) {
    g.peak = std::max(g.peak, std::abs(x[i]));
    const bool top = x[i] >= 32767 || x[i] <= -32768;
    const bool nextTop = (i > 0 && x[i - 1] == x[i]) || (i + 1 < x.size() && x[i + 1] == x[i]);
    if (top && nextTop) {
      ++g.clipped;
      if (i % 160 >= 16) ++g.clippedLater;
    }
  }
  g.samples = x.size();
  return g;
}

// The microphone level's speech detector analyses the near end in a state of its own: the digital gain
// levels exactly as the core alone does, with the detector running beside it every 10 ms.
TEST_F(BuiltIn, TheLevelDetectorLeavesTheDigitalGainAlone) {
  for (const int rate : {8000, 16000}) {
    MicGainControl g;
    ASSERT_TRUE(g.Create(Sonra_AgcCore()));
    ASSERT_EQ(0, g.Init(0, 65535));
    AgcInst alone;
    ASSERT_EQ(0, Agc_Init(&alone));
    const int tenMs = rate / 100;
    std::vector<int16_t> frame(static_cast<size_t>(tenMs)), out(frame.size()), expected(frame.size());
    int32_t level = 32768;
    int differing = 0;
    for (int f = 0; f < 300; ++f) {
      // A tone switching between loud and quiet every 0.5 s: the score, envelope and gate all move.
      const double amplitude = (f / 50) % 2 == 0 ? 3000 : 150;
      for (int i = 0; i < tenMs; ++i)
        frame[static_cast<size_t>(i)] =
            static_cast<int16_t>(amplitude * std::sin(2 * M_PI * 440.0 * (f * tenMs + i) / rate));
      ASSERT_EQ(0, g.AddNearEnd(frame.data(), tenMs, rate));
      int32_t next = 0;
      ASSERT_EQ(0, g.Process(frame.data(), tenMs, out.data(), level, &next, rate));
      ASSERT_EQ(0, Agc_Process(frame.data(), expected.data(), &alone, rate));
      if (out != expected) ++differing;
      level = next;
    }
    EXPECT_EQ(0, differing) << rate;
  }
}

TEST_F(BuiltIn, GainControlWithEchoControlOnClipsOnlyOnsetsAndLowersALoudMicrophone) {
  // Measured: a talker close to full scale makes the gain control lower the volume 65535 -> 53280
  // and is flattened at full scale only at a vowel's onset (6 samples), in the first sub-frame of a
  // block, whose gain ramps out of the quieter block's before it without the limiter's check; a
  // talker at a third of it is raised by about 5.6 dB without reaching full scale.
  const GainRun loud = RunTalker(1, 32700);
  std::printf("loud talker: volume -> %d, peak %d, %zu clipped (%zu after a block's first sub-frame) of %zu\n",
              loud.lowestLevel, loud.peak, loud.clipped, loud.clippedLater, loud.samples);
  ASSERT_GT(loud.samples, 16000u * 3);
  EXPECT_LT(loud.lowestLevel, static_cast<int>(plat::kMixerVolumeMax));
  EXPECT_EQ(0u, loud.clippedLater);
  EXPECT_LT(loud.clipped, loud.samples / 1000);
  const GainRun normal = RunTalker(1, 12000);
  std::printf("normal talker: volume -> %d, peak %d, %zu clipped\n", normal.lowestLevel, normal.peak, normal.clipped);
  EXPECT_EQ(0u, normal.clipped);
  EXPECT_GT(normal.peak, 12000);
  EXPECT_LT(normal.peak, 32767);
}

}  // namespace
