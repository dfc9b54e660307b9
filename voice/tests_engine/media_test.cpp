// Media paths: RTP packets and telephone events, the playout mixer's limiter and tones, and the send path's mixes.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "voice/codec_set.h"
#include "voice/components.h"
#include "voice/dsp/g711.h"
#include "voice/file_stream.h"
#include "voice/mixer.h"
#include "voice/rtp_sender.h"
#include "voice/send_path.h"
#include "voice/tests_engine/trace_capture.h"
#include "voice/trace.h"

namespace {

using Packet = std::vector<uint8_t>;

void Collect(void* user, const uint8_t* p, int n) { static_cast<std::vector<Packet>*>(user)->emplace_back(p, p + n); }

uint16_t Seq(const Packet& p) { return static_cast<uint16_t>((p[2] << 8) | p[3]); }
uint32_t Ts(const Packet& p) { return (uint32_t{p[4]} << 24) | (uint32_t{p[5]} << 16) | (uint32_t{p[6]} << 8) | p[7]; }
uint32_t Ssrc(const Packet& p) { return (uint32_t{p[8]} << 24) | (uint32_t{p[9]} << 16) | (uint32_t{p[10]} << 8) | p[11]; }
int Pt(const Packet& p) { return p[1] & 0x7F; }
bool Marker(const Packet& p) { return (p[1] & 0x80) != 0; }

// A sender with its own sockets whose packets are collected instead of sent.
struct TappedSender {
  rtpsender sender;
  RtcpSession rtcp;
  ChannelCodecSet codecs{0};
  std::vector<Packet> packets;
  explicit TappedSender(int port = 40000, const char* address = "127.0.0.1") {
    EXPECT_EQ(0, Init(port, address));
    sender.setTap(&Collect, &packets);
  }
  int Init(int port, const char* address) {
    return sender.init(UdpRecvSocket::CreateSocket(false, 0), UdpRecvSocket::CreateSocket(false, 0), address, port, 0,
                       false, 0, 0, &codecs, &rtcp);
  }
};

TEST(RtpSender, PcmuOf20MsMakesOnePacketPerTwoFrames) {
  TappedSender t;
  RTPtransmitter tx;
  tx.initialise(&t.sender, &t.codecs);
  tx.setCoder("pcmu", 0, 8000, 160, true);
  int16_t frame[80];
  for (int i = 0; i < 80; ++i) frame[i] = static_cast<int16_t>(1000 * (i % 7));
  int sent = 0;
  for (int i = 0; i < 10; ++i) {
    const int r = tx.send(0, frame, 80, 0, 8000, 0);
    ASSERT_GE(r, 0);
    sent += r > 0 ? 1 : 0;
  }
  ASSERT_EQ(5u, t.packets.size());
  EXPECT_EQ(5, sent);
  for (size_t i = 0; i < t.packets.size(); ++i) {
    const Packet& p = t.packets[i];
    ASSERT_EQ(172u, p.size());
    EXPECT_EQ(0x80, p[0]);
    EXPECT_EQ(0, Pt(p));
    EXPECT_EQ(Ssrc(t.packets[0]), Ssrc(p));
    if (i > 0) {
      EXPECT_EQ(static_cast<uint16_t>(Seq(t.packets[i - 1]) + 1), Seq(p));
      EXPECT_EQ(Ts(t.packets[i - 1]) + 160u, Ts(p));
    }
    EXPECT_EQ(G711_UlawEncodeSample(frame[0]), p[12]);
    EXPECT_EQ(G711_UlawEncodeSample(frame[79]), p[12 + 159]);
  }
}

TEST(RtpSender, TelephoneEventOf100MsWith20MsPackets) {
  TappedSender t;
  RTPtransmitter tx;
  tx.initialise(&t.sender, &t.codecs);
  tx.setCoder("pcmu", 0, 8000, 160, true);
  t.sender.setEventPayloadType(101);
  int16_t frame[80] = {};
  tx.send(0, frame, 80, 0, 8000, 0);
  tx.send(0, frame, 80, 0, 8000, 0);
  ASSERT_EQ(1u, t.packets.size());
  const uint32_t start = Ts(t.packets[0]) + 160;
  ASSERT_EQ(0, t.sender.startDtmf(5, 100));
  EXPECT_EQ(-1, t.sender.startDtmf(6, 100));  // one event at a time
  for (int i = 0; i < 20; ++i) tx.send(0, frame, 80, 0, 8000, 0);
  ASSERT_EQ(11u, t.packets.size());
  // Five updates, then the end packet three times over: same timestamp and duration, end bit set,
  // a new sequence number each.
  const int durations[8] = {160, 320, 480, 640, 800, 960, 960, 960};
  for (int i = 0; i < 8; ++i) {
    const Packet& p = t.packets[1 + i];
    SCOPED_TRACE(i);
    ASSERT_EQ(16u, p.size());
    EXPECT_EQ(101, Pt(p));
    EXPECT_EQ(i == 0, Marker(p));
    EXPECT_EQ(start, Ts(p));
    EXPECT_EQ(5, p[12]);
    EXPECT_EQ(i >= 5 ? 138 : 10, p[13]);
    EXPECT_EQ(durations[i], (p[14] << 8) | p[15]);
    EXPECT_EQ(static_cast<uint16_t>(Seq(t.packets[i]) + 1), Seq(p));
  }
  // Voice resumes after the last end packet, its timestamp where the sound would be by then.
  EXPECT_EQ(0, Pt(t.packets[9]));
  EXPECT_EQ(start + 960 + 2 * 160, Ts(t.packets[9]));
  EXPECT_EQ(Ts(t.packets[9]) + 160, Ts(t.packets[10]));
}

TEST(RtpSender, EventsKeepTheirLengthWithWidebandPackets) {
  TappedSender t;
  t.sender.setEventPayloadType(101);
  ASSERT_EQ(0, t.sender.startDtmf(9, 100));
  uint8_t payload[100] = {};
  // 20-ms packets of a 16000-Hz codec: timestamps step by 320, the event clock by 160.
  for (int i = 0; i < 8; ++i) EXPECT_EQ(0, t.sender.send(0, payload, 100, 320, 16));
  ASSERT_EQ(8u, t.packets.size());
  for (int i = 5; i < 8; ++i) {
    EXPECT_EQ(960, (t.packets[i][14] << 8) | t.packets[i][15]);
    EXPECT_EQ(138, t.packets[i][13]);
  }
  EXPECT_FALSE(t.sender.dtmfActive());
  // The voice after it sits 8 packets of 320 after the event's start.
  EXPECT_EQ(100, t.sender.send(0, payload, 100, 320, 16));
  EXPECT_EQ(Ts(t.packets[0]) + 8 * 320, Ts(t.packets[8]));
}

TEST(RtpSender, QueuedDigitsFollowEachOther) {
  TappedSender t;
  t.sender.setEventPayloadType(101);
  ASSERT_EQ(0, t.sender.queueDtmf(1, 40));
  ASSERT_EQ(0, t.sender.queueDtmf(2, 40));
  uint8_t payload[160] = {};
  for (int i = 0; i < 14; ++i) t.sender.send(0, payload, 160, 160, 8);
  std::string digits;
  for (const Packet& p : t.packets)
    if (Pt(p) == 101 && p[13] == 138) digits += static_cast<char>('0' + p[12]);
  EXPECT_EQ("111222", digits);
  // The second digit starts after the first one's last end packet, on a timestamp of its own.
  ASSERT_EQ(14u, t.packets.size());
  EXPECT_TRUE(Marker(t.packets[5]));
  EXPECT_EQ(2, t.packets[5][12]);
  EXPECT_EQ(Ts(t.packets[0]) + 5 * 160, Ts(t.packets[5]));
  rtpsender none;
  EXPECT_EQ(-1, none.queueDtmf(1, 40));  // no telephone-event type set
}

TEST(RtpSender, SourceIdentityChangesOnlyWithThePeer) {
  TappedSender t(40010);
  uint8_t payload[160] = {};
  t.sender.send(0, payload, 160, 160, 8);
  const uint32_t ssrc = t.sender.ssrc();
  const uint16_t seq = t.sender.sequence();
  ASSERT_EQ(0, t.Init(40010, "127.0.0.1"));
  EXPECT_EQ(ssrc, t.sender.ssrc());
  EXPECT_EQ(seq, t.sender.sequence());
  ASSERT_EQ(0, t.Init(40012, "127.0.0.1"));
  EXPECT_NE(ssrc, t.sender.ssrc());
  EXPECT_EQ(-1, t.Init(40012, "not.an.address"));
  EXPECT_EQ(-1, t.sender.init(nullptr, nullptr, "127.0.0.1", 40012, 0, false, 0, 0, nullptr, nullptr));
}

TEST(RtpSender, PayloadLengthLimit) {
  TappedSender t;
  std::vector<uint8_t> payload(1501, 0x55);
  EXPECT_EQ(-1, t.sender.send(0, payload.data(), 1501, 160, 8));
  EXPECT_EQ(-1, t.sender.send(0, payload.data(), -1, 160, 8));
  EXPECT_TRUE(t.packets.empty());
  EXPECT_EQ(1500, t.sender.send(0, payload.data(), 1500, 160, 8));
  ASSERT_EQ(1u, t.packets.size());
  EXPECT_EQ(1512u, t.packets[0].size());
}

TEST(RtpSender, SrtpProtectsEvenTheLargestPacket) {
  TappedSender t;
  unsigned char key[30];
  for (int i = 0; i < 30; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
  SrtpPolicy out;
  out.cipherType = kSrtpAesIcm128;
  out.cipherKeyLength = 30;
  out.authType = kSrtpHmacSha1;
  out.authKeyLength = 20;
  out.authTagLength = 10;
  out.securityServices = kSrtpSecServConfAndAuth;
  out.key = key;
  out.direction = kSrtpAnyOutbound;
  ASSERT_EQ(0, t.sender.enableSRTP(out));
  std::vector<uint8_t> payload(1500);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(1500, t.sender.send(0, payload.data(), 1500, 160, 8));
  t.sender.setEventPayloadType(101);
  ASSERT_EQ(0, t.sender.startDtmf(3, 10));
  t.sender.send(0, payload.data(), 160, 160, 8);
  ASSERT_EQ(2u, t.packets.size());
  EXPECT_EQ(1522u, t.packets[0].size());
  EXPECT_EQ(26u, t.packets[1].size());
  SrtpPolicy in = out;
  in.direction = kSrtpAnyInbound;
  auto session = SrtpSession::Create(in);
  ASSERT_NE(nullptr, session);
  for (size_t k = 0; k < 2; ++k) {
    Packet p = t.packets[k];
    int len = static_cast<int>(p.size());
    ASSERT_EQ(0, session->Unprotect(p.data(), &len)) << k;
    EXPECT_EQ(k == 0 ? 1512 : 16, len);
    if (k == 0) {
      EXPECT_EQ(0, std::memcmp(p.data() + 12, payload.data(), 1500));
    }
  }
}

class BadHook : public SonraVE_Encryption {
 public:
  void encrypt(int, unsigned char*, unsigned char*, int, int* out) override { *out = kSonraHookBufferBytes + 1; }
  void decrypt(int, unsigned char*, unsigned char*, int, int* out) override { *out = -1; }
};

TEST(RtpSender, AHookThatFailsDropsThePacket) {
  TappedSender t;
  BadHook hook;
  t.sender.setEncryptionHook(&hook, true);
  uint8_t payload[160] = {};
  EXPECT_EQ(-1, t.sender.send(0, payload, 160, 160, 8));
  EXPECT_TRUE(t.packets.empty());
  EXPECT_EQ(1u, t.sender.dropped());
}

// Each codec's packets leave a STREAM line naming the codec and the packet's size.
TEST(RtpSender, EveryCodecTracesItsPackets) {
  Sonra_RegisterBuiltInComponents();
  voicetest::TraceCapture capture(kTraceStream);
  struct Case {
    const char* coder;
    int pt, rate, packet;
    const char* line;
  };
  const Case cases[] = {
      {"pcmu", 0, 8000, 160, "Sent PCMU packet 160 bytes"},
      {"ostrel711u", 100, 8000, 160, "Sent Ostrel711U packet"},
      {"ostrel711a", 101, 8000, 160, "Sent Ostrel711A packet"},
      {"ostrelwb", 97, 16000, 320, "Sent Ostrel-wb packet"},
      {"ilbc", 102, 8000, 240, "Sent iLBC packet 50 bytes"},
      {"quill", 103, 16000, 480, "Sent Quill packet"},
  };
  for (const Case& c : cases) {
    TappedSender t;
    RTPtransmitter tx;
    tx.initialise(&t.sender, &t.codecs);
    tx.setCoder(c.coder, c.pt, c.rate, c.packet, true);
    const int n = c.rate / 100;
    std::vector<int16_t> frame(static_cast<size_t>(n));
    for (int f = 0; f < 30; ++f) {
      for (int i = 0; i < n; ++i) frame[static_cast<size_t>(i)] = static_cast<int16_t>(3000 * std::sin(0.3 * (f * n + i)));
      ASSERT_GE(tx.send(0, frame.data(), n, 0, c.rate, 0), 0) << c.coder;
    }
    EXPECT_FALSE(t.packets.empty()) << c.coder;
  }
  const std::string text = capture.Text();
  for (const Case& c : cases) EXPECT_NE(std::string::npos, text.find(c.line)) << c.line;
}

TEST(RtpSender, MulticastDestinationGetsTtl64) {
  rtpsender s;
  RtcpSession rtcp;
  UdpSocketRef rtp = UdpRecvSocket::CreateSocket(false, 0);
  ASSERT_EQ(0, s.init(rtp, UdpRecvSocket::CreateSocket(false, 0), "239.1.2.3", 40020, 0, false, 0, 0, nullptr, &rtcp));
  unsigned char ttl = 0;
  socklen_t len = sizeof ttl;
  ASSERT_EQ(0, getsockopt(rtp->fd(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len));
  EXPECT_EQ(64, ttl);
}

// A voice activity detector that hears only silence.
void* FakeVadCreate() { return new int(0); }
void FakeVadRelease(void* p) { delete static_cast<int*>(p); }
int FakeVadInit(void*, int) { return 0; }
int FakeVadSilence(void*, int, const int16_t*, int) { return 0; }
const SonraVadCore kSilentVad = {FakeVadCreate, FakeVadRelease, FakeVadInit, FakeVadSilence};

TEST(RtpSender, SilenceSendsOnlyComfortNoise) {
  Sonra_RegisterVad(&kSilentVad);
  TappedSender t;
  RTPtransmitter tx;
  tx.initialise(&t.sender, &t.codecs);
  tx.setCoder("pcmu", 0, 8000, 160, true);
  tx.setCNPayloadType(13);
  tx.setVAD(true);
  const uint32_t ts0 = t.sender.timestamp();
  int16_t frame[80];
  for (int i = 0; i < 80; ++i) frame[i] = static_cast<int16_t>((i * 37) % 200 - 100);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(0, tx.send(0, frame, 80, 0, 8000, 0));
  Sonra_RegisterBuiltInComponents();
  ASSERT_FALSE(t.packets.empty());
  for (const Packet& p : t.packets) {
    EXPECT_EQ(13, Pt(p));
    EXPECT_LE(p.size(), 12u + 13u);
  }
  // Every silent frame moves the timeline on by 10 ms, sent or not.
  EXPECT_EQ(ts0 + 30u * 80u, t.sender.timestamp());
  EXPECT_EQ(ts0, Ts(t.packets[0]));
}

// ---------------------------------------------------------------------------
// Playout mixer
// ---------------------------------------------------------------------------

TEST(PlayoutMixer, LimiterSaturatesAndNeverWraps) {
  struct Case {
    int32_t in;
    int16_t out;
  };
  const Case cases[] = {{0, 0},          {1000, 999},      {65534, 32767},  {-65534, -32767 - 1},
                        {100000, 32767}, {300000, 32767},  {-300000, -32768}, {2147483647, 32767}};
  for (const Case& c : cases) EXPECT_EQ(c.out, Mixer::Limit(c.in)) << c.in;
  int16_t last = Mixer::Limit(0);
  for (int32_t x = 0; x <= 400000; x += 97) {
    const int16_t y = Mixer::Limit(x);
    EXPECT_GE(y, last) << x;
    last = y;
  }
}

// Feeds a codec set with 20-ms PCMU packets of a sine, one per two mixed blocks, on a test clock.
struct PcmuFeed {
  ChannelCodecSet set;
  double level;
  double freq;
  uint16_t seq = 1;
  uint32_t ts = 1000;
  int phase = 0;
  PcmuFeed(int channel, double lvl, double f) : set(channel), level(lvl), freq(f) { set.InitJitterBuffer(8000); }
  void Put() {
    std::vector<uint8_t> p(12 + 160);
    p[0] = 0x80;
    p[1] = 0;
    p[2] = static_cast<uint8_t>(seq >> 8);
    p[3] = static_cast<uint8_t>(seq);
    for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
    p[11] = 0x42;
    for (int i = 0; i < 160; ++i) {
      const double v = freq > 0 ? level * std::sin(2 * M_PI * freq * (phase + i) / 8000.0) : level;
      p[12 + i] = G711_UlawEncodeSample(static_cast<int16_t>(v));
    }
    set.PutPacket(p.data(), static_cast<int>(p.size()), 8000);
    ++seq;
    ts += 160;
    phase += 160;
  }
};

std::vector<int16_t> MixBlocks(Mixer& m, std::vector<PcmuFeed*> feeds, int blocks, plat::TestClock& clock) {
  std::vector<int16_t> out;
  for (int b = 0; b < blocks; ++b) {
    if (b % 2 == 0)
      for (PcmuFeed* f : feeds) f->Put();
    clock.advance(10);
    int16_t block[480];
    int rate = 0;
    EXPECT_EQ(480, m.Mix(block, &rate));
    EXPECT_EQ(8000, rate);
    out.insert(out.end(), block, block + 480);
  }
  return out;
}

TEST(PlayoutMixer, TwoFullScaleChannelsStayInPhase) {
  plat::TestClock clock(1000);
  PcmuFeed one(0, 32000, 400), two(1, 32000, 400);
  Mixer both;
  both.SetJitter(0, &one.set);
  both.SetJitter(1, &two.set);
  both.StartPlaying(0);
  EXPECT_EQ(2, both.StartPlaying(1));
  const std::vector<int16_t> mixed = MixBlocks(both, {&one, &two}, 60, clock);
  // The same stream alone, on the same timeline.
  PcmuFeed alone2(3, 32000, 400);
  Mixer solo;
  solo.SetJitter(3, &alone2.set);
  EXPECT_EQ(1, solo.StartPlaying(3));
  const std::vector<int16_t> ref = MixBlocks(solo, {&alone2}, 60, clock);
  double num = 0, ea = 0, eb = 0;
  int16_t peak = 0;
  for (size_t i = 480 * 20; i < mixed.size(); ++i) {
    num += static_cast<double>(mixed[i]) * ref[i];
    ea += static_cast<double>(mixed[i]) * mixed[i];
    eb += static_cast<double>(ref[i]) * ref[i];
    peak = std::max<int16_t>(peak, mixed[i]);
  }
  // A wrapped sum would turn the loudest parts upside down.
  EXPECT_GT(num / std::sqrt(ea * eb), 0.9);
  EXPECT_GT(peak, 30000);
}

TEST(PlayoutMixer, FeedbackToneOf100MsLastsTenBlocks) {
  plat::TestClock clock(1000);
  PcmuFeed quiet(0, 0, 0);
  Mixer m;
  m.SetJitter(0, &quiet.set);
  m.StartPlaying(0);
  MixBlocks(m, {&quiet}, 10, clock);
  m.StartDtmfTone(4, 100);
  EXPECT_EQ(1600, m.DtmfToneRemaining());
  for (int b = 0; b < 10; ++b) {
    EXPECT_GT(m.DtmfToneRemaining(), 0) << b;
    const std::vector<int16_t> out = MixBlocks(m, {&quiet}, 1, clock);
    int16_t peak = 0;
    for (size_t i = 240; i < out.size(); ++i) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(out[i])));
    EXPECT_GT(peak, 3000) << b;
  }
  EXPECT_EQ(0, m.DtmfToneRemaining());
  MixBlocks(m, {&quiet}, 1, clock);
  const std::vector<int16_t> after = MixBlocks(m, {&quiet}, 1, clock);
  int16_t peak = 0;
  for (int16_t v : after) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(v)));
  EXPECT_LT(peak, 200);
}

TEST(PlayoutMixer, RecordingAChannelMakesAWavFileAndMutesIt) {
  plat::TestClock clock(1000);
  PcmuFeed voice(0, 12000, 500);
  Mixer m;
  m.SetJitter(0, &voice.set);
  m.StartPlaying(0);
  const std::string name = "/tmp/tessaly_rec_" + std::to_string(getpid()) + ".wav";
  ASSERT_EQ(0, m.StartRecording(0, name));
  EXPECT_EQ(-1, m.StartRecording(0, name));
  const std::vector<int16_t> heard = MixBlocks(m, {&voice}, 100, clock);
  ASSERT_EQ(0, m.StopRecording(0));
  int16_t peak = 0;
  for (int16_t v : heard) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(v)));
  EXPECT_EQ(0, peak);
  FILE* f = std::fopen(name.c_str(), "rb");
  ASSERT_NE(nullptr, f);
  std::vector<uint8_t> bytes(70000);
  const size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  std::remove(name.c_str());
  ASSERT_EQ(44u + 32000u, n);
  EXPECT_EQ(0, std::memcmp(bytes.data(), "RIFF", 4));
  EXPECT_EQ(32036u, bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | (bytes[7] << 24));
  EXPECT_EQ(16000u, bytes[24] | (bytes[25] << 8) | (bytes[26] << 16));
  EXPECT_EQ(32000u, bytes[40] | (bytes[41] << 8) | (bytes[42] << 16) | (bytes[43] << 24));
  EXPECT_NE(0, access((name + ".tmp").c_str(), F_OK));
}

// The final file is opened for writing when the recording starts: a name that cannot be created
// fails there, leaving nothing behind, and an existing file is replaced by the recording.
TEST(PlayoutMixer, RecordingRefusesANameThatCannotBeCreated) {
  Mixer m;
  const std::string dir = "/tmp/tessaly_recdir_" + std::to_string(getpid());
  ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
  EXPECT_EQ(-1, m.StartRecording(0, dir));  // a directory is no file
  EXPECT_FALSE(m.Recording(0));
  EXPECT_NE(0, access((dir + ".tmp").c_str(), F_OK));
  EXPECT_EQ(-1, m.StartRecording(0, dir + "/missing/x.wav"));
  rmdir(dir.c_str());

  const std::string name = dir + ".wav";
  {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fputs("old", f);
    std::fclose(f);
  }
  ASSERT_EQ(0, m.StartRecording(0, name));
  ASSERT_EQ(0, m.StopRecording(0));
  struct stat st{};
  ASSERT_EQ(0, stat(name.c_str(), &st));
  EXPECT_EQ(44, st.st_size);  // nothing mixed: a header alone
  std::remove(name.c_str());
}

// A codec whose decoder always fails.
void* BadCreate() { return new int(0); }
void BadRelease(void* p) { delete static_cast<int*>(p); }
int BadDecode(void*, const uint8_t*, int, int16_t*, int, int16_t*) { return -1; }
const TidepoolDecoderOps kBadOps = {BadDecode, nullptr, nullptr, nullptr, nullptr,
                                    nullptr,   nullptr, nullptr, kTidepoolKindOther, 16000};

TEST(PlayoutMixer, AFailingStreamDoesNotSilenceTheOthers) {
  SonraCodecComponent bad{};
  bad.kind = kCodecQuill;
  bad.tidepoolCodec = kTidepoolQuill;
  bad.registerName = "QUILL";
  bad.rate = 16000;
  bad.create = BadCreate;
  bad.release = BadRelease;
  bad.decoderOps = &kBadOps;
  Sonra_RegisterCodec(kCodecQuill, &bad);
  {
    plat::TestClock clock(1000);
    PcmuFeed broken(0, 0, 0), good(1, 12000, 500);
    ASSERT_EQ(0, broken.set.RegisterCodec(kCodecQuill, true, 480, 103));
    Mixer m;
    m.SetJitter(0, &broken.set);
    m.SetJitter(1, &good.set);
    m.StartPlaying(0);
    m.StartPlaying(1);
    int failures = 0;
    for (int b = 0; b < 60; ++b) {
      if (b % 2 == 0 && b >= 30) {
        std::vector<uint8_t> p(12 + 40, 0x33);
        p[0] = 0x80;
        p[1] = 103;
        p[2] = static_cast<uint8_t>(b >> 8);
        p[3] = static_cast<uint8_t>(b);
        const uint32_t ts = static_cast<uint32_t>(b) * 160u;
        for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
        broken.set.PutPacket(p.data(), static_cast<int>(p.size()), 16000);
      }
      const std::vector<int16_t> out = MixBlocks(m, {&good}, 1, clock);
      if (broken.set.JitterLastError() == kTidepoolErrDecode) ++failures;
      if (b < 20) continue;
      int16_t peak = 0;
      for (int16_t v : out) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(v)));
      EXPECT_GT(peak, 5000) << b;
    }
    EXPECT_GT(failures, 0) << "the broken stream never failed";
  }
  Sonra_RegisterBuiltInComponents();
}

TEST(PlayoutMixer, FilePlayEndsWithItsStream) {
  Mixer m;
  MemoryInStream in(std::vector<uint8_t>(700, 0x11));
  ASSERT_EQ(0, m.playAudio(2, nullptr, true, &in));
  EXPECT_EQ(-1, m.playAudio(2, nullptr, true, &in));
  int16_t buf[160];
  EXPECT_EQ(320, m.playAudio(2, buf, false, nullptr));
  EXPECT_EQ(320, m.playAudio(2, buf, false, nullptr));
  EXPECT_TRUE(m.IsPlayingFile(2));
  EXPECT_EQ(60, m.playAudio(2, buf, false, nullptr));
  EXPECT_EQ(0x1111, buf[29]);
  EXPECT_EQ(0, buf[30]);
  EXPECT_FALSE(m.IsPlayingFile(2));
}

// ---------------------------------------------------------------------------
// Send path
// ---------------------------------------------------------------------------

struct SendChannel {
  TappedSender out;
  PcmuFeed in;
  SendChannel(int ch, double level) : out(40100 + 2 * ch), in(ch, level, 0) {}
  // Decoded samples of the packets sent so far.
  std::vector<int16_t> Sent() const {
    std::vector<int16_t> s;
    for (const Packet& p : out.packets)
      for (size_t i = 12; i < p.size(); ++i) s.push_back(G711_UlawDecodeSample(p[i]));
    return s;
  }
};

void SetUpSender(TX& tx, int ch, SendChannel& c) {
  RTPtransmitter& t = tx.Transmitter(ch);
  t.initialise(&c.out.sender, &c.out.codecs);
  t.setCoder("pcmu", 0, 8000, 160, true);
  tx.SetJitterB(ch, &c.in.set);
  tx.StartSending(ch);
}

// Runs the send path for blocks of silent microphone, feeding every channel's received stream.
void RunSendPath(TX& tx, std::vector<SendChannel*> chans, int blocks, plat::TestClock& clock) {
  int16_t mic[480] = {};
  for (int b = 0; b < blocks; ++b) {
    if (b % 2 == 0)
      for (SendChannel* c : chans) c->in.Put();
    clock.advance(10);
    tx.recordMicrophone(mic, 480, 0, 0);
  }
}

double Mean(const std::vector<int16_t>& v, size_t from) {
  double s = 0;
  for (size_t i = from; i < v.size(); ++i) s += v[i];
  return v.size() > from ? s / static_cast<double>(v.size() - from) : 0;
}

TEST(SendPath, ConferenceSumsSaturateAndSkipHeldChannels) {
  plat::TestClock clock(1000);
  TX tx;
  tx.SetWorkingRate(8000);
  SendChannel a(0, 0), b(1, 20000), c(2, 20000);
  SetUpSender(tx, 0, a);
  SetUpSender(tx, 1, b);
  SetUpSender(tx, 2, c);
  for (int ch = 0; ch < 3; ++ch) tx.SetConference(ch, true);
  RunSendPath(tx, {&a, &b, &c}, 80, clock);
  // Channel 0 hears the two others: 40000 does not fit in 16 bits and must stay at the top.
  const std::vector<int16_t> sentA = a.Sent();
  ASSERT_GT(sentA.size(), 3000u);
  EXPECT_GT(Mean(sentA, sentA.size() / 2), 30000);
  for (size_t i = sentA.size() / 2; i < sentA.size(); ++i) ASSERT_GE(sentA[i], 0) << i;
  EXPECT_NEAR(20000, Mean(b.Sent(), b.Sent().size() / 2), 1500);
  // Channel 2 on hold: it sends nothing and no one hears it.
  tx.SetHold(2, true);
  a.out.packets.clear();
  const size_t sentByC = c.out.packets.size();
  RunSendPath(tx, {&a, &b, &c}, 60, clock);
  EXPECT_EQ(sentByC, c.out.packets.size());
  const std::vector<int16_t> heldA = a.Sent();
  EXPECT_NEAR(20000, Mean(heldA, heldA.size() / 2), 1500);
}

TEST(SendPath, AMutedChannelSendsEncodedSilence) {
  plat::TestClock clock(1000);
  TX tx;
  tx.SetWorkingRate(8000);
  SendChannel a(0, 0);
  SetUpSender(tx, 0, a);
  tx.Transmitter(0).setMute(true);
  int16_t mic[480];
  for (int i = 0; i < 480; ++i) mic[i] = static_cast<int16_t>(20000 * std::sin(2 * M_PI * 1000.0 * i / 48000.0));
  for (int b = 0; b < 20; ++b) tx.recordMicrophone(mic, 480, 0, 0);
  ASSERT_EQ(10u, a.out.packets.size());
  for (const Packet& p : a.out.packets)
    for (size_t i = 12; i < p.size(); ++i) ASSERT_EQ(0xFF, p[i]);
}

TEST(SendPath, FileAsMicrophoneEndsWithItsStream) {
  TX tx;
  MemoryInStream in(std::vector<uint8_t>(700, 0x22));
  ASSERT_EQ(0, tx.playAudioAsMic(1, nullptr, true, false, &in));
  EXPECT_EQ(-1, tx.playAudioAsMic(1, nullptr, true, false, &in));
  int16_t buf[160];
  EXPECT_EQ(320, tx.playAudioAsMic(1, buf, false, false, nullptr));
  EXPECT_EQ(320, tx.playAudioAsMic(1, buf, false, false, nullptr));
  EXPECT_EQ(60, tx.playAudioAsMic(1, buf, false, false, nullptr));
  EXPECT_EQ(0x2222, buf[29]);
  EXPECT_EQ(0, buf[30]);
  EXPECT_FALSE(tx.IsPlayingFileAsMic(1));
}

// A gain-control core of unity gain whose speech detector always hears speech.
void* UnityAgcCreate() { return new int(0); }
void UnityAgcRelease(void* p) { delete static_cast<int*>(p); }
int UnityAgcInit(void*) { return 0; }
int UnityAgcProcess(const int16_t* in, int16_t* out, void*, int rate) {
  std::memmove(out, in, sizeof(int16_t) * static_cast<size_t>(rate / 100));
  return 0;
}
int UnityAgcFar(const int16_t*, void*, int) { return 0; }
int UnityAgcDetect(void*, const int16_t*, int, int) { return 4000; }
int UnityAgcDeviation(void*) { return 8000; }
void UnityAgcVersion(char* t) { std::strcpy(t, "unity"); }
const SonraAgcCore kUnityAgc = {UnityAgcCreate, UnityAgcRelease, UnityAgcInit,      UnityAgcProcess,
                                UnityAgcFar,    UnityAgcDetect,  UnityAgcDeviation, UnityAgcVersion};

// An echo canceller that leaves the signal alone and counts its near-end frames.
struct CountingAec : AecPcBase {
  int inits = 0, frames = 0, farFrames = 0;
  int Init(int, int) override { return ++inits, 0; }
  int SetMode(int) override { return 0; }
  int ProcessNearEnd(const int16_t* in, int16_t* out, int length, int) override {
    std::memmove(out, in, sizeof(int16_t) * static_cast<size_t>(length));
    return ++frames, 0;
  }
  int AddFarEnd(const int16_t*, int) override { return ++farFrames, 0; }
  int Version(char*, int) override { return 0; }
  int Activity() override { return 0; }
};

// An echo suppressor core that counts what it is handed.
int g_aesFrames = 0;
void* CountingAesCreate() { return new int(0); }
void CountingAesRelease(void* p) { delete static_cast<int*>(p); }
int CountingAesInit(void*, int, int, int) { return 0; }
int CountingAesProcess(void*, const int16_t*, int16_t*, int, int) { return ++g_aesFrames, 0; }
int CountingAesFar(void*, const int16_t*, int) { return 0; }
const SonraAesCore kCountingAes = {CountingAesCreate, CountingAesRelease, CountingAesInit, CountingAesProcess,
                                   CountingAesFar};

// A quiet 1-kHz tone at 48 kHz, 10 ms.
void QuietTone(int16_t* mic, int block) {
  for (int i = 0; i < 480; ++i)
    mic[i] = static_cast<int16_t>(150 * std::sin(2 * M_PI * 1000.0 * (block * 480 + i) / 48000.0));
}

double Rms(const std::vector<uint8_t>& pcm) {
  double e = 0;
  const size_t n = pcm.size() / 2;
  for (size_t i = 0; i < n; ++i) {
    const double v = static_cast<int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
    e += v * v;
  }
  return n ? std::sqrt(e / static_cast<double>(n)) : 0;
}

// The microphone recorded over the last blocks of a quiet talker, gain control on or off.
struct GainOutcome {
  double rms = 0;
  double virtualGain = 1;  // what one pass of the analysis does to a sample at the end
};

GainOutcome QuietTalker(int rate, int echoStatus, bool agc) {
  TX tx;
  CountingAec aec;
  tx.SetAecPc(&aec);
  tx.SetWorkingRate(rate);
  tx.SetEchoType(0);
  tx.SetEchoStatus(echoStatus);
  EXPECT_TRUE(tx.Agc().Create(&kUnityAgc));
  tx.SetAgcStatus(agc ? 1 : 0);
  tx.Agc().SetSlowLevel(1000);  // long below the lower hard limit: the volume goes to the top
  MemoryOutStream rec;
  int level = 65535;
  int16_t mic[480];
  const int kBlocks = 2500, kRecorded = 200;
  for (int b = 0; b < kBlocks; ++b) {
    if (b == kBlocks - kRecorded) {
      EXPECT_EQ(0, tx.StartRecordingMic(&rec));
    }
    QuietTone(mic, b);
    const int r = tx.recordMicrophone(mic, 480, 0, agc ? level : 0);
    if (r != 0) level = r;
  }
  tx.StopRecordingMic();
  GainOutcome g;
  g.rms = Rms(rec.Data());
  if (agc) {
    int16_t probe[80];
    for (int16_t& v : probe) v = 1000;
    EXPECT_EQ(0, tx.Agc().AddNearEnd(probe, 80, 8000));
    g.virtualGain = probe[0] / 1000.0;
  }
  return g;
}

TEST(SendPath, GainControlAmplifiesEachBlockOnce) {
  // Above the card's top the gain control amplifies digitally while it analyses a block; a block
  // analysed twice would be amplified twice.
  struct Case {
    int rate, echoStatus;
  };
  for (const Case c : {Case{8000, 0}, Case{8000, 2}, Case{16000, 0}, Case{16000, 2}}) {
    const std::string what = std::to_string(c.rate) + " Hz, echo status " + std::to_string(c.echoStatus);
    const GainOutcome plain = QuietTalker(c.rate, c.echoStatus, false);
    const GainOutcome gained = QuietTalker(c.rate, c.echoStatus, true);
    ASSERT_GT(plain.rms, 50) << what;
    ASSERT_GT(gained.virtualGain, 1.3) << what << ": the virtual volume never came in";
    EXPECT_NEAR(gained.rms / plain.rms, gained.virtualGain, 0.03) << what;
  }
}

TEST(SendPath, EachKnownEchoTypeRunsItsCanceller) {
  Sonra_RegisterAes(&kCountingAes);
  AesFixInst* aes = nullptr;
  ASSERT_EQ(0, AesFix_Create(&aes));
  for (const int rate : {8000, 16000}) {
    for (const int type : {0, 1}) {
      for (const int status : {1, 2}) {
        const std::string what =
            std::to_string(rate) + " Hz, type " + std::to_string(type) + ", status " + std::to_string(status);
        TX tx;
        CountingAec aec;
        tx.SetAecPc(&aec);
        tx.SetAesFix(aes);
        tx.SetWorkingRate(rate);
        ASSERT_EQ(0, tx.SetEchoType(type)) << what;
        ASSERT_EQ(0, tx.SetEchoStatus(status)) << what;
        // Unknown types are refused and change nothing.
        for (const int bad : {-1, 2, 7}) EXPECT_EQ(-1, tx.SetEchoType(bad)) << what;
        EXPECT_EQ(type, tx.EchoType()) << what;
        g_aesFrames = 0;
        int16_t mic[480];
        for (int b = 0; b < 10; ++b) {
          QuietTone(mic, b);
          tx.recordMicrophone(mic, 480, 40, 0);
        }
        EXPECT_EQ(type == 0 ? 10 : 0, aec.frames) << what;
        EXPECT_EQ(type == 1 ? 10 : 0, g_aesFrames) << what;
      }
    }
  }
  AesFix_Free(aes);
  Sonra_RegisterBuiltInComponents();
}

// An echo canceller that is not initialised: it refuses every call and keeps the far end it is handed.
struct UnreadyAec : AecPcBase {
  std::vector<int16_t> far;
  int Init(int, int) override { return 0; }
  int SetMode(int) override { return kAecPcNotInitialised; }
  int ProcessNearEnd(const int16_t*, int16_t*, int, int) override { return kAecPcNotInitialised; }
  int AddFarEnd(const int16_t* samples, int length) override {
    far.insert(far.end(), samples, samples + length);
    return kAecPcNotInitialised;
  }
  int Version(char*, int) override { return 0; }
  int Activity() override { return 0; }
};

// Every failure of the canceller leaves its line, "not initialised" (11001) too, on either path.
TEST(SendPath, EveryCancellerFailureIsTraced) {
  for (const int rate : {8000, 16000}) {
    voicetest::TraceCapture capture;
    TX tx;
    UnreadyAec aec;
    tx.SetAecPc(&aec);
    tx.SetWorkingRate(rate);
    ASSERT_EQ(0, tx.SetEchoType(0));
    ASSERT_EQ(0, tx.SetEchoStatus(1));
    int16_t mic[480];
    QuietTone(mic, 0);
    tx.recordMicrophone(mic, 480, 40, 0);
    plat::TestClock clock(1000);
    PcmuFeed voice(0, 8000, 400);
    Mixer m;
    m.SetTX(&tx);
    m.SetAecPc(&aec);
    m.SetJitter(0, &voice.set);
    m.StartPlaying(0);
    MixBlocks(m, {&voice}, 1, clock);
    const std::string text = capture.Text();
    EXPECT_NE(std::string::npos, text.find("\tAEC error (returnVal = 11001 msecInSndCardOutBuf = 40)")) << rate;
    EXPECT_NE(std::string::npos, text.find("\tAEC SonraAEC_AddToFarEndBuffer error")) << rate;
  }
}

// With one channel playing at 8000 Hz the canceller's far end is the channel's sum through the soft
// limiter, halved: a full-scale tone comes to it at the limiter's level, not saturated.
TEST(PlayoutMixer, TheFarEndIsTheLimitedSum) {
  plat::TestClock clock(1000);
  TX tx;
  UnreadyAec aec;
  tx.SetAecPc(&aec);
  ASSERT_EQ(0, tx.SetEchoType(0));
  ASSERT_EQ(0, tx.SetEchoStatus(1));
  PcmuFeed loud(0, 32000, 400);
  Mixer m;
  m.SetTX(&tx);
  m.SetAecPc(&aec);
  m.SetJitter(0, &loud.set);
  m.StartPlaying(0);
  MixBlocks(m, {&loud}, 40, clock);
  ASSERT_EQ(40u * 80u, aec.far.size());  // 80 samples a block: the 8000-Hz copy
  int16_t peak = 0;
  for (size_t i = aec.far.size() / 2; i < aec.far.size(); ++i)
    peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(aec.far[i])));
  // 32000 x cos(32000 / 90000) = 29997; the saturated sum would give about 32000.
  EXPECT_GT(peak, 29000);
  EXPECT_LT(peak, 30600);
}

}  // namespace
