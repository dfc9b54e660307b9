// The engine's API as tables: codec lists and send codecs per network status, channel limits, errors and lifecycle.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/wave.h"
#include "voice/codec_set.h"
#include "voice/engine.h"
#include "voice/tests_engine/trace_capture.h"
#include "voice/trace.h"

namespace {

class EngineApi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Silent file devices: no sound card is needed.
    plat::SetAudioBackend(plat::AudioBackend::File);
    plat::SetWaveInFile("/dev/null/none");
    plat::SetWaveOutFile("");
  }
  void SetUp() override {
    plat::SetWaveInFile("");
    ve = GetVEobj();
    ASSERT_EQ(0, ve->SonraVE_Init());
    ve->SonraVE_SetNetworkStatus(0);
  }
  void TearDown() override {
    ve->SonraVE_SetNetworkStatus(0);
    ve->SonraVE_Terminate();
  }
  static Codecinst Codec(const char* name, int freq, int pacsize, int pt, int channels = 1) {
    Codecinst c{};
    c.pltype = pt;
    std::snprintf(c.plname, sizeof c.plname, "%s", name);
    c.plfreq = freq;
    c.pacsize = pacsize;
    c.channels = channels;
    c.rate = 64000;
    return c;
  }
  SonraVE* ve = nullptr;
};

// The codec lists by network status, as the full engine has them, by payload name.
const std::vector<std::vector<std::string>> kFullLists = {
    {"OSTRELWB", "QUILL", "OSTREL711U", "OSTREL711A", "PCMU", "PCMA", "iLBC", "telephone-event", "CN"},
    {"OSTRELWB", "QUILL", "OSTREL711U", "OSTREL711A", "PCMU", "PCMA", "iLBC", "telephone-event", "CN"},
    {"QUILL", "OSTRELWB", "OSTREL711U", "OSTREL711A", "PCMU", "PCMA", "iLBC", "telephone-event", "CN"},
    {"QUILL", "iLBC", "telephone-event", "CN"},
};

int KindOf(const std::string& name) {
  static const char* kNames[] = {"PCMU", "PCMA", "OSTRELWB", "iLBC", "OSTREL711U", "OSTREL711A", "QUILL",
                                 "telephone-event", "CN"};
  for (int k = 0; k < kCodecKindCount; ++k)
    if (name == kNames[k]) return k;
  return -1;
}

// What the engine lists: the full list, every codec being built in.
std::vector<std::string> ExpectedList(int status) {
  for (const std::string& n : kFullLists[status]) EXPECT_TRUE(Sonra_CodecPresent(KindOf(n))) << n;
  return kFullLists[status];
}

TEST_F(EngineApi, CodecListsPerNetworkStatus) {
  ASSERT_TRUE(Sonra_CodecPresent(kCodecPcmu));
  ASSERT_TRUE(Sonra_CodecPresent(kCodecPcma));
  for (int status = 0; status < 4; ++status) {
    SCOPED_TRACE("status " + std::to_string(status));
    ASSERT_EQ(0, ve->SonraVE_SetNetworkStatus(status));
    EXPECT_EQ(status, ve->SonraVE_GetNetworkStatus());
    const std::vector<std::string> want = ExpectedList(status);
    ASSERT_EQ(static_cast<int>(want.size()), ve->SonraVE_GetNofCodecs());
    for (size_t i = 0; i < want.size(); ++i) {
      Codecinst c{};
      ASSERT_EQ(0, ve->SonraVE_GetCodec(static_cast<short>(i), c));
      EXPECT_STREQ(want[i].c_str(), c.plname);
      EXPECT_EQ(1, c.channels);
    }
    Codecinst c{};
    EXPECT_EQ(-1, ve->SonraVE_GetCodec(static_cast<short>(want.size()), c));
    EXPECT_EQ(VE_NO_CODEC, ve->SonraVE_GetLastError());
    EXPECT_EQ(-1, ve->SonraVE_GetCodec(-1, c));
    EXPECT_EQ(VE_NO_CODEC, ve->SonraVE_GetLastError());
  }
  // The record of a listed codec is the table's.
  ASSERT_EQ(0, ve->SonraVE_SetNetworkStatus(0));
  for (int i = 0; i < ve->SonraVE_GetNofCodecs(); ++i) {
    Codecinst c{};
    ve->SonraVE_GetCodec(static_cast<short>(i), c);
    if (std::string(c.plname) == "PCMU") {
      EXPECT_EQ(0, c.pltype);
      EXPECT_EQ(8000, c.plfreq);
      EXPECT_EQ(160, c.pacsize);
      EXPECT_EQ(64000, c.rate);
    }
    if (std::string(c.plname) == "CN") {
      EXPECT_EQ(107, c.pltype);
    }
    if (std::string(c.plname) == "telephone-event") {
      EXPECT_EQ(106, c.pltype);
    }
  }
}

TEST_F(EngineApi, RefusedNetworkStatusKeepsTheOldOne) {
  ASSERT_EQ(0, ve->SonraVE_SetNetworkStatus(2));
  for (int bad : {4, -1, 100}) {
    EXPECT_EQ(-1, ve->SonraVE_SetNetworkStatus(bad));
    EXPECT_EQ(VE_INVALID_VALUE, ve->SonraVE_GetLastError());
    EXPECT_EQ(2, ve->SonraVE_GetNetworkStatus());
  }
}

TEST_F(EngineApi, UnknownEchoTypeIsRefusedAndKnownOnesAreKept) {
  for (int type : {1, 0}) {
    ASSERT_EQ(0, ve->SonraVE_SetECType(type));
    EXPECT_EQ(type, ve->SonraVE_GetECType());
    for (int bad : {-1, 2, 3, 255}) {
      EXPECT_EQ(-1, ve->SonraVE_SetECType(bad)) << bad;
      EXPECT_EQ(VE_INVALID_VALUE, ve->SonraVE_GetLastError()) << bad;
      EXPECT_EQ(type, ve->SonraVE_GetECType()) << bad;
    }
  }
}

struct SendCodecCase {
  int status;
  const char* name;
  int freq;
  int pacsize;
  int pt;
  int channels;
  int error;  // expected last error (0 = success)
};

TEST_F(EngineApi, SendCodecTable) {
  const SendCodecCase cases[] = {
      {0, "PCMU", 8000, 400, 0, 1, 0},
      {0, "pcmu", 8000, 160, 0, 1, 0},
      {0, "PCMA", 8000, 80, 8, 1, 0},
      {0, "PCMU", 8000, 100, 0, 1, VE_PACKET_SIZE},
      {0, "PCMU", 8000, 0, 0, 1, VE_PACKET_SIZE},
      {0, "PCMU", 16000, 160, 0, 1, VE_CODEC_FREQUENCY},
      {0, "PCMU", 8000, 160, 50, 1, VE_PAYLOAD_TYPE},
      {0, "PCMU", 8000, 160, 96, 1, 0},
      {0, "PCMU", 8000, 160, 127, 1, 0},
      {0, "PCMU", 8000, 160, 128, 1, VE_PAYLOAD_TYPE},
      {0, "PCMU", 8000, 160, 0, 2, VE_CODEC_CHANNELS},
      {0, "cn", 8000, 160, 107, 1, VE_CODEC_NAME},
      {0, "CN", 8000, 160, 107, 1, VE_CODEC_NAME},
      {0, "telephone-event", 8000, 1600, 106, 1, VE_CODEC_NAME},
      {0, "G729", 8000, 160, 18, 1, VE_CODEC_NAME},
      {0, "iLBC", 8000, 400, 102, 1, VE_PACKET_SIZE},
      {0, "iLBC", 8000, 240, 102, 1, 0},
      {0, "ilbc", 8000, 160, 102, 1, 0},
      {0, "iLBC", 8000, 480, 102, 1, 0},
      {0, "iLBC", 16000, 240, 102, 1, VE_CODEC_FREQUENCY},
      {0, "OSTRELWB", 8000, 320, 97, 1, VE_CODEC_FREQUENCY},
      {0, "OSTRELWB", 16000, 640, 97, 1, 0},
      {0, "OSTRELWB", 16000, 800, 97, 1, VE_PACKET_SIZE},
      {0, "OSTREL711U", 8000, 80, 100, 1, 0},
      {0, "OSTREL711A", 8000, 320, 101, 1, 0},
      {0, "OSTREL711A", 8000, 400, 101, 1, VE_PACKET_SIZE},
      {0, "QUILL", 16000, 480, 103, 1, 0},
      {0, "QUILL", 16000, 960, 103, 1, VE_PACKET_SIZE},
      {0, "QUILL", 8000, 480, 103, 1, VE_CODEC_FREQUENCY},
      // Status 3 lists no G.711 at all.
      {3, "PCMU", 8000, 160, 0, 1, VE_CODEC_NAME},
      {3, "QUILL", 16000, 480, 103, 1, 0},
      {3, "iLBC", 8000, 240, 102, 1, 0},
      {3, "OSTRELWB", 16000, 320, 97, 1, VE_CODEC_NAME},
  };
  const int ch = ve->SonraVE_CreateChannel();
  ASSERT_GE(ch, 0);
  for (const SendCodecCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.freq) + " " + std::to_string(c.pacsize) + " pt " +
                 std::to_string(c.pt) + " status " + std::to_string(c.status));
    ASSERT_EQ(0, ve->SonraVE_SetNetworkStatus(c.status));
    const int expected = c.error;
    const int before = ve->SonraVE_GetLastError();
    const int r = ve->SonraVE_SetSendCodec(ch, Codec(c.name, c.freq, c.pacsize, c.pt, c.channels));
    if (expected == 0) {
      EXPECT_EQ(0, r) << ve->SonraVE_GetLastError();
      // A success leaves the last error as it was.
      EXPECT_EQ(before, ve->SonraVE_GetLastError());
      Codecinst now{};
      ASSERT_EQ(0, ve->SonraVE_GetCurrentSendCodec(ch, now));
      EXPECT_EQ(c.pacsize, now.pacsize);
      EXPECT_EQ(c.pt, now.pltype);
    } else {
      EXPECT_EQ(-1, r);
      EXPECT_EQ(expected, ve->SonraVE_GetLastError());
    }
  }
  EXPECT_EQ(-1, ve->SonraVE_SetSendCodec(16, Codec("PCMU", 8000, 160, 0)));
  EXPECT_EQ(VE_CHANNEL_NOT_VALID, ve->SonraVE_GetLastError());
  EXPECT_EQ(-1, ve->SonraVE_SetSendCodec(ch + 1, Codec("PCMU", 8000, 160, 0)));
  EXPECT_EQ(VE_CHANNEL_NOT_VALID, ve->SonraVE_GetLastError());
}

TEST_F(EngineApi, ANewChannelSendsPcmuOf20Ms) {
  const int ch = ve->SonraVE_CreateChannel();
  Codecinst c{};
  ASSERT_EQ(0, ve->SonraVE_GetCurrentSendCodec(ch, c));
  EXPECT_STREQ("pcmu", c.plname);
  EXPECT_EQ(0, c.pltype);
  EXPECT_EQ(8000, c.plfreq);
  EXPECT_EQ(160, c.pacsize);
}

TEST_F(EngineApi, SixteenChannelsLowestFreeFirst) {
  EXPECT_EQ(16, ve->SonraVE_GetNoOfChannels());
  for (int i = 0; i < 16; ++i) EXPECT_EQ(i, ve->SonraVE_CreateChannel());
  EXPECT_EQ(-1, ve->SonraVE_CreateChannel());
  EXPECT_EQ(VE_CHANNEL_NOT_VALID, ve->SonraVE_GetLastError());
  EXPECT_EQ(3, ve->SonraVE_DeleteChannel(3));
  EXPECT_EQ(-1, ve->SonraVE_DeleteChannel(3));
  EXPECT_EQ(VE_CHANNEL_NOT_VALID, ve->SonraVE_GetLastError());
  EXPECT_EQ(3, ve->SonraVE_CreateChannel());
  EXPECT_EQ(-1, ve->SonraVE_DeleteChannel(-1));
  EXPECT_EQ(-1, ve->SonraVE_DeleteChannel(16));
}

TEST_F(EngineApi, CreateChannelNeedsInit) {
  ve->SonraVE_Terminate();
  EXPECT_EQ(-1, ve->SonraVE_CreateChannel());
  EXPECT_EQ(VE_NOT_INITIALIZED, ve->SonraVE_GetLastError());
  ASSERT_EQ(0, ve->SonraVE_Init());
  EXPECT_EQ(0, ve->SonraVE_CreateChannel());
}

TEST_F(EngineApi, FourChannelsPlayAtMost) {
  int ch[6];
  for (int& c : ch) c = ve->SonraVE_CreateChannel();
  EXPECT_EQ(-1, ve->SonraVE_StartPlayout(9));
  EXPECT_EQ(VE_PLAYOUT_NOT_CREATED, ve->SonraVE_GetLastError());
  for (int i = 0; i < 4; ++i) ASSERT_EQ(0, ve->SonraVE_StartPlayout(ch[i])) << ve->SonraVE_GetLastError();
  EXPECT_EQ(-1, ve->SonraVE_StartPlayout(ch[4]));
  EXPECT_EQ(VE_PLAYOUT_LIMIT, ve->SonraVE_GetLastError());
  EXPECT_EQ(-1, ve->SonraVE_StartPlayout(ch[0]));
  EXPECT_EQ(VE_PLAYOUT_RUNNING, ve->SonraVE_GetLastError());
  ASSERT_EQ(0, ve->SonraVE_StopPlayout(ch[1]));
  EXPECT_EQ(0, ve->SonraVE_StartPlayout(ch[4]));
  EXPECT_EQ(-1, ve->SonraVE_StartPlayout(16));
  EXPECT_EQ(VE_CHANNEL_NOT_VALID, ve->SonraVE_GetLastError());
  EXPECT_TRUE(ve->SoundCard().Playing());
  for (int c : ch) ve->SonraVE_StopPlayout(c);
  EXPECT_FALSE(ve->SoundCard().PlaybackInitialised());
}

// A call whose playout stops while it lives on (held) keeps the playout file going for its return;
// once the last channel is gone, the next sound starts a file of its own.
TEST_F(EngineApi, PlayoutFileContinuesWhileACallOutlivesItsSound) {
  plat::SetWaveOutContinues(false);
  const int a = ve->SonraVE_CreateChannel(), b = ve->SonraVE_CreateChannel();
  ASSERT_EQ(0, ve->SonraVE_StartPlayout(a));
  ASSERT_EQ(0, ve->SonraVE_StartPlayout(b));
  ASSERT_EQ(0, ve->SonraVE_StopPlayout(a));
  EXPECT_FALSE(plat::WaveOutContinues());  // b still plays: the device stays open
  ASSERT_EQ(0, ve->SonraVE_StopPlayout(b));
  EXPECT_TRUE(plat::WaveOutContinues());
  ASSERT_EQ(0, ve->SonraVE_StartPlayout(a));
  ASSERT_GE(ve->SonraVE_DeleteChannel(a), 0);
  EXPECT_TRUE(plat::WaveOutContinues());  // b's call is held
  ASSERT_GE(ve->SonraVE_DeleteChannel(b), 0);
  EXPECT_FALSE(plat::WaveOutContinues());
}

// Runs fn on a thread and reports whether it finished within ms (a hang is a failure, not a stuck test).
bool FinishesWithin(int ms, const std::function<void()>& fn) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> f = done->get_future();
  std::thread([fn, done] {
    fn();
    done->set_value();
  }).detach();
  return f.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

TEST_F(EngineApi, PlayoutStartsAgainAfterTerminateAndInit) {
  std::atomic<int> second{-2};
  const bool finished = FinishesWithin(10000, [&] {
    const int ch = ve->SonraVE_CreateChannel();
    ve->SonraVE_StartPlayout(ch);
    ve->SonraVE_Terminate();
    ve->SonraVE_Init();
    const int again = ve->SonraVE_CreateChannel();
    second = ve->SonraVE_StartPlayout(again);
  });
  ASSERT_TRUE(finished) << "StartPlayout hung after Terminate and Init";
  EXPECT_EQ(0, second.load()) << ve->SonraVE_GetLastError();
}

TEST_F(EngineApi, PlayoutNeverWaitsForAMissingSoundCardThread) {
  const int ch = ve->SonraVE_CreateChannel();
  ve->SoundCard().shutDown();
  std::atomic<int> r{-2};
  ASSERT_TRUE(FinishesWithin(10000, [&] { r = ve->SonraVE_StartPlayout(ch); }));
  EXPECT_EQ(-1, r.load());
  EXPECT_EQ(VE_PLAYOUT_START_OTHER, ve->SonraVE_GetLastError());
  EXPECT_FALSE(ve->PlayoutMixer().Playing(ch));
}

TEST_F(EngineApi, InitAgainWhileRunningKeepsChannels) {
  const int ch = ve->SonraVE_CreateChannel();
  ASSERT_EQ(0, ve->SonraVE_StartPlayout(ch));
  std::atomic<int> r{-2};
  ASSERT_TRUE(FinishesWithin(10000, [&] { r = ve->SonraVE_Init(); }));
  EXPECT_EQ(0, r.load());
  EXPECT_TRUE(ve->NotificationThreadRunning());
  EXPECT_TRUE(ve->PlayoutMixer().Playing(ch));
  EXPECT_EQ(ch + 1, ve->SonraVE_CreateChannel());
}

TEST_F(EngineApi, TerminateAndInitKeepOneNotificationThread) {
  for (int i = 0; i < 3; ++i) {
    ve->SonraVE_Terminate();
    EXPECT_FALSE(ve->NotificationThreadRunning());
    EXPECT_FALSE(ve->SoundCard().ThreadRunning());
    ASSERT_EQ(0, ve->SonraVE_Init());
    EXPECT_TRUE(ve->NotificationThreadRunning());
    EXPECT_TRUE(ve->SoundCard().ThreadRunning());
  }
}

class RecordingObserver : public SonraVE_Observer {
 public:
  void error_handler(int code) override {
    std::lock_guard<std::mutex> g(mu);
    codes.push_back(code);
    heard.notify_all();
  }
  std::vector<int> Codes() {
    std::lock_guard<std::mutex> g(mu);
    return codes;
  }
  // The codes once `count` have come (what came by then after 10 s, when they never do).
  std::vector<int> WaitFor(size_t count) {
    std::unique_lock<std::mutex> g(mu);
    heard.wait_for(g, std::chrono::seconds(10), [&] { return codes.size() >= count; });
    return codes;
  }
  std::mutex mu;
  std::condition_variable heard;
  std::vector<int> codes;
};

// The notification thread looks at the sound card's flags 500 ms after its previous look, and sleeps
// without a time-out while none is raised.
TEST_F(EngineApi, ObserverHearsTheSoundCardFlagsOnce) {
  ve->SonraVE_Terminate();
  plat::TestClock clock(1000);
  ASSERT_EQ(0, ve->SonraVE_Init());  // the thread's first look is due at 1500
  RecordingObserver observer;
  EXPECT_EQ(-1, ve->SetObserver(nullptr));
  ASSERT_EQ(0, ve->SetObserver(&observer));
  auto parked = [&] { return clock.wait_for_waiters(1); };
  EXPECT_EQ(0, clock.waiters()) << "an idle engine waits for nothing on the clock";

  ve->SoundCard().RaiseSlowFlag();
  ASSERT_TRUE(parked());
  clock.advance(499);
  EXPECT_TRUE(observer.Codes().empty());
  clock.advance(1);
  EXPECT_EQ((std::vector<int>{VE_SLOW_SOUND_CARD}), observer.WaitFor(1));

  // Raised 200 ms after that look: reported on the next beat, at 2000.
  clock.advance(200);
  ve->SoundCard().RaiseRecordErrorFlag();
  ASSERT_TRUE(parked());
  clock.advance(299);
  EXPECT_EQ(1u, observer.Codes().size());
  clock.advance(1);
  EXPECT_EQ((std::vector<int>{VE_SLOW_SOUND_CARD, VE_RECORD_ERROR}), observer.WaitFor(2));

  // Both at once: one look reports each once; a flag raised later is the next code, no repeat before it.
  ve->SoundCard().RaiseRecordErrorFlag();
  ve->SoundCard().RaiseSlowFlag();
  ASSERT_TRUE(parked());
  clock.advance(500);
  EXPECT_EQ(4u, observer.WaitFor(4).size());
  clock.advance(1000);
  ve->SoundCard().RaiseRecordErrorFlag();
  ASSERT_TRUE(parked());
  clock.advance(500);
  EXPECT_EQ((std::vector<int>{VE_SLOW_SOUND_CARD, VE_RECORD_ERROR, VE_SLOW_SOUND_CARD, VE_RECORD_ERROR,
                              VE_RECORD_ERROR}),
            observer.WaitFor(5));
  ve->SonraVE_Terminate();
  static RecordingObserver quiet;
  ve->SetObserver(&quiet);
}

// Whether a UDP socket can take the port on any address now.
bool CanBind(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

TEST_F(EngineApi, ReceivePortsAndListening) {
  const int ch = ve->SonraVE_CreateChannel();
  for (int bad : {1023, 65536, 0, -5}) {
    EXPECT_EQ(-1, ve->SonraVE_SetRecPort(ch, bad));
    EXPECT_EQ(VE_PORT_RANGE, ve->SonraVE_GetLastError());
  }
  EXPECT_EQ(-1, ve->SonraVE_StartListen(ch));
  EXPECT_EQ(VE_PORT_NOT_SET, ve->SonraVE_GetLastError());
  int port = 0;
  for (int p = 41000; p < 42000 && port == 0; p += 2)
    if (ve->SonraVE_SetRecPort(ch, p) == 0) port = p;
  ASSERT_NE(0, port);
  EXPECT_EQ(port, ve->SonraVE_GetRecPort(ch));
  ASSERT_EQ(0, ve->SonraVE_StartListen(ch));
  EXPECT_EQ(-1, ve->SonraVE_StartListen(ch));
  EXPECT_EQ(VE_LISTENING, ve->SonraVE_GetLastError());
  EXPECT_EQ(-1, ve->SonraVE_SetRecPort(ch, port + 2));
  EXPECT_EQ(VE_LISTENING, ve->SonraVE_GetLastError());
  // The RTCP socket listens on the next port.
  const int other = ve->SonraVE_CreateChannel();
  EXPECT_EQ(-1, ve->SonraVE_SetRecPort(other, port + 1));
  EXPECT_EQ(VE_RECEIVE_SOCKET, ve->SonraVE_GetLastError());
  // Only the RTCP port taken: the RTP socket stays bound as prepared, and the next port still works.
  if (CanBind(port - 1)) {
    EXPECT_EQ(-1, ve->SonraVE_SetRecPort(other, port - 1));
    EXPECT_EQ(VE_RECEIVE_SOCKET, ve->SonraVE_GetLastError());
    EXPECT_FALSE(CanBind(port - 1));
    int next = 0;
    for (int p = port + 2; p < port + 200 && next == 0; p += 2)
      if (ve->SonraVE_SetRecPort(other, p) == 0) next = p;
    EXPECT_NE(0, next);
    EXPECT_TRUE(CanBind(port - 1));
  }
  EXPECT_EQ(0, ve->SonraVE_StopListen(ch));
  // Listening stopped on a channel that does not send: its ports are free again.
  EXPECT_TRUE(CanBind(port));
  EXPECT_TRUE(CanBind(port + 1));
  EXPECT_EQ(0, ve->SonraVE_SetRecPort(ch, port));
  EXPECT_EQ(0, ve->SonraVE_StartListen(ch));
}

TEST_F(EngineApi, SendingNeedsAddressAndPort) {
  const int ch = ve->SonraVE_CreateChannel();
  EXPECT_EQ(-1, ve->SonraVE_StartSend(ch));
  EXPECT_EQ(VE_SEND_ADDRESS, ve->SonraVE_GetLastError());
  for (const char* bad : {"1.2.3", "256.1.1.1", "1.2.3.4.5", "localhost", "1.2.3.4 ", "0001.002.003.0004"}) {
    EXPECT_EQ(-1, ve->SonraVE_SetSendIP(ch, bad)) << bad;
    EXPECT_EQ(VE_SEND_ADDRESS, ve->SonraVE_GetLastError());
  }
  ASSERT_EQ(0, ve->SonraVE_SetSendIP(ch, "127.0.0.1"));
  EXPECT_EQ(-1, ve->SonraVE_StartSend(ch));
  EXPECT_EQ(VE_PORT_NOT_SET, ve->SonraVE_GetLastError());
  EXPECT_EQ(-1, ve->SonraVE_SetSendPort(ch, 1023));
  EXPECT_EQ(VE_PORT_RANGE, ve->SonraVE_GetLastError());
  ASSERT_EQ(0, ve->SonraVE_SetSendPort(ch, 45000));
  EXPECT_EQ(45000, ve->SonraVE_GetSendPort(ch));
  ASSERT_EQ(0, ve->SonraVE_StartSend(ch)) << ve->SonraVE_GetLastError();
  EXPECT_TRUE(ve->SoundCard().Recording());
  EXPECT_EQ(-1, ve->SonraVE_StartSend(ch));
  EXPECT_EQ(VE_SENDING, ve->SonraVE_GetLastError());
  EXPECT_EQ(-1, ve->SonraVE_SetSendIP(ch, "127.0.0.2"));
  EXPECT_EQ(VE_SENDING, ve->SonraVE_GetLastError());
  EXPECT_EQ(-1, ve->SonraVE_SetSendPort(ch, 45002));
  EXPECT_EQ(VE_SENDING, ve->SonraVE_GetLastError());
  char ip[64] = {};
  ASSERT_EQ(0, ve->SonraVE_GetSendIP(ch, ip));
  EXPECT_STREQ("127.0.0.1", ip);
  ASSERT_EQ(0, ve->SonraVE_StopSend(ch));
  // The capture is released once no channel sends.
  EXPECT_FALSE(ve->SoundCard().RecordInitialised());
}

// Each step of starting to send is bracketed by its two STREAM lines, in the order of the steps.
TEST_F(EngineApi, StartingToSendTracesEachStep) {
  const int ch = ve->SonraVE_CreateChannel();
  ASSERT_EQ(0, ve->SonraVE_SetSendIP(ch, "127.0.0.1"));
  ASSERT_EQ(0, ve->SonraVE_SetSendPort(ch, 45000));
  voicetest::TraceCapture capture(kTraceStream);
  ASSERT_EQ(0, ve->SonraVE_StartSend(ch)) << ve->SonraVE_GetLastError();
  const std::string t = capture.Text();
  ve->SonraVE_StopSend(ch);
  size_t at = 0;
  for (const char* step : {"before enter critical section", "after enter critical section",
                           "before TX.sendChannel section", "after TX.sendChannel section",
                           "before soundCards.initRecord section", "after soundCards.initRecord section",
                           "before sendsock[channel].init section", "after sendsock[channel].init section",
                           "before TX.trans[channel].init section", "after TX.trans[channel].init section",
                           "before TX.trans[channel].setCoder section", "after TX.trans[channel].setCoder section",
                           "before soundCards.start_rec() section", "after soundCards.start_rec() section",
                           "before LEAVE_DSP_MUTEX", "after LEAVE_DSP_MUTEX"}) {
    const size_t found = t.find(std::string("\t\tSonraVE_StartSend() ") + step + "\n", at);
    ASSERT_NE(std::string::npos, found) << step << "\n" << t;
    at = found;
  }
}

// A stream whose every write fails, and which tells when the send path has tried one.
class FailingOutStream : public OutStream {
 public:
  bool Write(const void*, int) override {
    std::lock_guard<std::mutex> lock(m_);
    ++writes_;
    cv_.notify_all();
    return false;
  }
  bool WaitForWrite() {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [this] { return writes_ > 0; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int writes_ = 0;
};

TEST_F(EngineApi, AFailedWriteEndsTheRecording) {
  FailingOutStream bad;
  ASSERT_EQ(0, ve->SonraVE_StartSend(&bad)) << ve->SonraVE_GetLastError();
  ASSERT_TRUE(bad.WaitForWrite());
  // The recording is over: a new one starts, and once it stops nothing holds the capture.
  char dir[] = "/tmp/tessaly_rec_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string name = std::string(dir) + "/mic.pcm";
  EXPECT_EQ(0, ve->SonraVE_StartRecordingToFile(name.c_str())) << ve->SonraVE_GetLastError();
  EXPECT_EQ(0, ve->SonraVE_StopRecordingToFile());
  EXPECT_TRUE(std::filesystem::exists(name));
  EXPECT_FALSE(ve->SoundCard().RecordInitialised());
  std::filesystem::remove_all(dir);

  // A channel that sends keeps the capture after the recording failed; its stop releases it.
  FailingOutStream bad2;
  ASSERT_EQ(0, ve->SonraVE_StartSend(&bad2));
  ASSERT_TRUE(bad2.WaitForWrite());
  const int ch = ve->SonraVE_CreateChannel();
  ve->SonraVE_SetSendIP(ch, "127.0.0.1");
  ve->SonraVE_SetSendPort(ch, 45012);
  ASSERT_EQ(0, ve->SonraVE_StartSend(ch));
  ASSERT_EQ(0, ve->SonraVE_StopSend(ch));
  EXPECT_FALSE(ve->SoundCard().RecordInitialised());
}

TEST_F(EngineApi, DtmfRequests) {
  const int ch = ve->SonraVE_CreateChannel();
  for (int bad : {-1, 16}) {
    EXPECT_EQ(-1, ve->SonraVE_SendDTMF(ch, bad, 1));
    EXPECT_EQ(VE_DTMF_EVENT, ve->SonraVE_GetLastError());
  }
  EXPECT_EQ(-1, ve->SonraVE_SendDTMF(ch, 5, 1));
  EXPECT_EQ(VE_DTMF_NOT_SENDING, ve->SonraVE_GetLastError());
  ve->SonraVE_SetSendIP(ch, "127.0.0.1");
  ve->SonraVE_SetSendPort(ch, 45010);
  ASSERT_EQ(0, ve->SonraVE_StartSend(ch));
  // Telephone events go out with the channel's own type without being set first.
  EXPECT_EQ(106, ve->Sender(ch).eventPayloadType());
  EXPECT_EQ(0, ve->SonraVE_SendDTMF(ch, 5, 1));
  EXPECT_EQ(0, ve->SonraVE_SendDTMF(ch, 11, 0));
  {
    // One event runs and 16 wait behind it (the sound-card lock keeps the sender from draining
    // them); the next digit is refused as a full queue, not as a bad digit.
    std::lock_guard<plat::RecursiveMutex> hold(ve->SoundCard().Lock());
    for (int k = 0; k < rtpsender::kMaxQueuedEvents; ++k) EXPECT_EQ(0, ve->SonraVE_SendDTMF(ch, k % 10, 1)) << k;
    EXPECT_EQ(-1, ve->SonraVE_SendDTMF(ch, 3, 1));
    EXPECT_EQ(VE_DTMF_QUEUE_FULL, ve->SonraVE_GetLastError());
  }
  EXPECT_EQ(-1, ve->SonraVE_SetDTMFPayloadType(ch, 95));
  EXPECT_EQ(VE_PAYLOAD_TYPE, ve->SonraVE_GetLastError());
  EXPECT_EQ(0, ve->SonraVE_SetDTMFPayloadType(ch, 101));
  ve->SonraVE_StopSend(ch);
  ASSERT_EQ(0, ve->SonraVE_StartSend(ch));
  EXPECT_EQ(101, ve->Sender(ch).eventPayloadType());
  EXPECT_EQ(-1, ve->SonraVE_SetDTMFFeedbackStatus(2));
  EXPECT_EQ(VE_INVALID_VALUE, ve->SonraVE_GetLastError());
  EXPECT_EQ(1, ve->SonraVE_GetDTMFFeedbackStatus());
}

TEST_F(EngineApi, ReceivePayloadTypeClashesMoveToFreeDynamicTypes) {
  const int ch = ve->SonraVE_CreateChannel();
  // Codecs by their default types: OSTREL711U 100, iLBC 102, telephone-event 106, CN 107.
  int index[128];
  std::fill(std::begin(index), std::end(index), -1);
  for (int k = 0; k < kSonraMaxCodecs; ++k) {
    const int t = ve->ReceivePayloadType(ch, k);
    if (t >= 0 && t < 128) index[t] = k;
  }
  auto typeOf = [&](int defaultType) { return ve->ReceivePayloadType(ch, index[defaultType]); };
  // iLBC takes OSTREL711U's 100: OSTREL711U moves to the next dynamic type, 120; the next clash
  // (telephone-event on CN's 107) moves CN to 119.
  ASSERT_EQ(0, ve->SonraVE_SetRecPayloadType(ch, Codec("iLBC", 8000, 240, 100))) << ve->SonraVE_GetLastError();
  EXPECT_EQ(100, typeOf(102));
  EXPECT_EQ(120, typeOf(100));
  ASSERT_EQ(0, ve->SonraVE_SetRecPayloadType(ch, Codec("telephone-event", 8000, 1600, 107)));
  EXPECT_EQ(107, typeOf(106));
  EXPECT_EQ(119, typeOf(107));
  // Many swaps never run out of types nor hand out a taken or static one.
  for (int round = 0; round < 40; ++round) {
    const int pt = 96 + (round * 7) % 32;
    const char* name = round % 2 ? "CN" : "telephone-event";
    ASSERT_EQ(0, ve->SonraVE_SetRecPayloadType(ch, Codec(name, 8000, 160, pt))) << round;
    std::set<int> dynamic;
    for (int k = 0; k < kSonraMaxCodecs; ++k) {
      const int t = ve->ReceivePayloadType(ch, k);
      if (t >= 96) {
        EXPECT_TRUE(dynamic.insert(t).second) << "type " << t << " used twice";
      }
      EXPECT_TRUE(t == 0 || t == 8 || (t >= 96 && t <= 127)) << t;
    }
  }
  EXPECT_EQ(-1, ve->SonraVE_SetRecPayloadType(ch, Codec("CN", 8000, 160, 95)));
  EXPECT_EQ(VE_PAYLOAD_TYPE, ve->SonraVE_GetLastError());
  EXPECT_EQ(-1, ve->SonraVE_SetRecPayloadType(ch, Codec("NOSUCH", 8000, 160, 100)));
  EXPECT_EQ(VE_CODEC_NAME, ve->SonraVE_GetLastError());
  // Stopping listening restores the defaults.
  ASSERT_EQ(0, ve->SonraVE_StopListen(ch));
  bool sawCn = false;
  for (int k = 0; k < kSonraMaxCodecs; ++k) sawCn = sawCn || ve->ReceivePayloadType(ch, k) == 107;
  EXPECT_TRUE(sawCn);
}

std::vector<uint8_t> RtpPacket(uint8_t first, uint8_t pt, uint16_t seq, uint32_t ssrc, size_t payload) {
  std::vector<uint8_t> p(12 + payload, 0xFF);
  p[0] = first;
  p[1] = pt;
  p[2] = static_cast<uint8_t>(seq >> 8);
  p[3] = static_cast<uint8_t>(seq);
  std::memset(&p[4], 0, 4);
  p[8] = static_cast<uint8_t>(ssrc >> 24);
  p[9] = static_cast<uint8_t>(ssrc >> 16);
  p[10] = static_cast<uint8_t>(ssrc >> 8);
  p[11] = static_cast<uint8_t>(ssrc);
  return p;
}

TEST_F(EngineApi, ReceiveEntryTakesOnlyRtpVersionTwo) {
  const int ch = ve->SonraVE_CreateChannel();
  ChannelCodecSet* a = ve->JitterA(ch);
  ChannelCodecSet* b = ve->JitterB(ch);
  struct Case {
    std::vector<uint8_t> packet;
    bool taken;
  };
  const Case cases[] = {
      {RtpPacket(0x00, 0, 500, 0x11111111, 160), false},
      {RtpPacket(0x40, 0, 501, 0x22222222, 160), false},
      {RtpPacket(0xC0, 0, 502, 0x33333333, 160), false},
      {std::vector<uint8_t>{0x80, 0, 1, 2, 3}, false},  // shorter than a header
      {std::vector<uint8_t>{}, false},
      {RtpPacket(0x80, 0, 1000, 0xA1B2C3D4, 160), true},
  };
  for (const Case& c : cases) {
    const uint32_t ssrcBefore = ve->Rtcp(ch).PeerSsrc();
    SonraVE::RecProc(ve, a, b, &ve->SoundCard(), nullptr, c.packet.data(), static_cast<int>(c.packet.size()), ch);
    uint16_t fraction = 0;
    uint32_t lost = 0, highestA = 0, highestB = 0, jitter = 0;
    a->RtcpStats(&fraction, &lost, &highestA, &jitter);
    b->RtcpStats(&fraction, &lost, &highestB, &jitter);
    if (c.taken) {
      EXPECT_EQ(0xA1B2C3D4u, ve->Rtcp(ch).PeerSsrc());
      EXPECT_EQ(1000u, highestA & 0xFFFF);
      EXPECT_EQ(1000u, highestB & 0xFFFF);
    } else {
      EXPECT_EQ(ssrcBefore, ve->Rtcp(ch).PeerSsrc());
      EXPECT_EQ(0u, highestA);
    }
  }
}

// A PCMU packet of 20 ms with its timestamp.
std::vector<uint8_t> PcmuPacket(uint16_t seq, uint32_t ts, uint32_t ssrc = 0x5EED0001) {
  std::vector<uint8_t> p = RtpPacket(0x80, 0, seq, ssrc, 160);
  p[4] = static_cast<uint8_t>(ts >> 24);
  p[5] = static_cast<uint8_t>(ts >> 16);
  p[6] = static_cast<uint8_t>(ts >> 8);
  p[7] = static_cast<uint8_t>(ts);
  return p;
}

// The statistics query reads what the channel receives, with RTCP sending never switched on, and
// leaves the reports' own loss interval alone.
TEST_F(EngineApi, ReceiveStatisticsOfAKnownStream) {
  struct Arrival {
    uint16_t seq;
    uint32_t lateMs;  // beyond the 20-ms rhythm
  };
  struct Case {
    const char* name;
    std::vector<Arrival> stream;
    unsigned short fraction;
    unsigned int lost, highest, jitter;
  };
  const Case cases[] = {
      {"in order", {{100, 0}, {101, 0}, {102, 0}, {103, 0}, {104, 0}, {105, 0}, {106, 0}, {107, 0}, {108, 0}, {109, 0}},
       0, 0, 109, 0},
      // Two of ten missing: (2 << 8) / 10.
      {"two lost", {{100, 0}, {101, 0}, {102, 0}, {104, 0}, {105, 0}, {106, 0}, {108, 0}, {109, 0}}, 51, 2, 109, 0},
      {"sequence wrap", {{65533, 0}, {65534, 0}, {65535, 0}, {0, 0}, {1, 0}}, 0, 0, 65536 + 1, 0},
      // The third packet 10 ms (80 samples) late: (16 x 80 + 8) >> 4 = 80 sixteenths, 5 samples.
      {"one late", {{7, 0}, {8, 0}, {9, 10}}, 0, 0, 9, 5},
  };
  for (const Case& c : cases) {
    plat::TestClock clock(100000);
    const int ch = ve->SonraVE_CreateChannel();
    ASSERT_GE(ch, 0);
    const uint16_t first = c.stream.front().seq;
    for (const Arrival& a : c.stream) {
      const uint16_t k = static_cast<uint16_t>(a.seq - first);
      clock.set(100000 + 20u * k + a.lateMs);
      const std::vector<uint8_t> p = PcmuPacket(a.seq, 160u * k);
      SonraVE::RecProc(ve, ve->JitterA(ch), ve->JitterB(ch), &ve->SoundCard(), nullptr, p.data(),
                       static_cast<int>(p.size()), ch);
    }
    unsigned short fraction = 99;
    unsigned int lost = 99, highest = 0, jitter = 99;
    int peak = -1;
    ASSERT_EQ(0, ve->SonraVE_RTCPStat(ch, &fraction, &lost, &highest, &jitter, &peak)) << c.name;
    EXPECT_EQ(c.fraction, fraction) << c.name;
    EXPECT_EQ(c.lost, lost) << c.name;
    EXPECT_EQ(c.highest, highest) << c.name;
    EXPECT_EQ(c.jitter, jitter) << c.name;
    // Nothing has been played out, so the buffer's peak is what it holds.
    EXPECT_GT(peak, 0) << c.name;
    EXPECT_LE(peak, static_cast<int>(c.stream.size())) << c.name;
    // A second query covers an empty interval; the next report still covers the whole stream.
    ASSERT_EQ(0, ve->SonraVE_RTCPStat(ch, &fraction, &lost, &highest, &jitter, &peak));
    EXPECT_EQ(0, fraction) << c.name;
    EXPECT_EQ(c.lost, lost) << c.name;
    uint16_t reportFraction = 0;
    uint32_t reportLost = 0, reportHighest = 0, reportJitter = 0;
    ve->JitterA(ch)->RtcpStats(&reportFraction, &reportLost, &reportHighest, &reportJitter);
    EXPECT_EQ(c.fraction, reportFraction) << c.name;
    ve->SonraVE_DeleteChannel(ch);
  }
  unsigned short fraction = 0;
  unsigned int lost = 0, highest = 0, jitter = 0;
  int peak = 0;
  EXPECT_EQ(-1, ve->SonraVE_RTCPStat(3, &fraction, &lost, &highest, &jitter, &peak));
  EXPECT_EQ(VE_CHANNEL_NOT_VALID, ve->SonraVE_GetLastError());
}

// Comfort noise and telephone events inside a wideband stream arrive on the voice's clock: a side
// packet must not switch the arrival clock to its own 8000 Hz and make the jitter meaningless.
TEST_F(EngineApi, SidePacketsKeepTheWidebandArrivalClock) {
  const struct {
    const char* name;
    uint8_t pt;
    size_t payload;
  } sides[] = {{"registered comfort noise", 107, 1}, {"static comfort noise", 13, 1}, {"telephone event", 106, 4}};
  for (const auto& side : sides) {
    plat::TestClock clock(100000);
    const int ch = ve->SonraVE_CreateChannel();
    ASSERT_GE(ch, 0);
    for (uint16_t k = 0; k < 12; ++k) {
      clock.set(100000 + 20u * k);
      // Ostrel wideband, 20 ms at 16 kHz; the sixth packet is the side packet.
      std::vector<uint8_t> p = PcmuPacket(k, 320u * k);
      p[1] = k == 5 ? side.pt : 97;
      p.resize(12 + (k == 5 ? side.payload : 80));
      SonraVE::RecProc(ve, ve->JitterA(ch), ve->JitterB(ch), &ve->SoundCard(), nullptr, p.data(),
                       static_cast<int>(p.size()), ch);
    }
    unsigned short fraction = 0;
    unsigned int lost = 0, highest = 0, jitter = 99;
    int peak = 0;
    ASSERT_EQ(0, ve->SonraVE_RTCPStat(ch, &fraction, &lost, &highest, &jitter, &peak)) << side.name;
    EXPECT_EQ(11u, highest) << side.name;
    EXPECT_EQ(0u, jitter) << side.name;
    ve->SonraVE_DeleteChannel(ch);
  }
}

// The playout delay is what the channel's jitter buffer holds: whole packets of the playout frame
// and the decoded samples not yet played.
TEST_F(EngineApi, PlayoutDelayFollowsTheJitterBuffer) {
  plat::TestClock clock(200000);
  const int ch = ve->SonraVE_CreateChannel();
  ASSERT_GE(ch, 0);
  EXPECT_EQ(0, ve->SonraVE_GetPlayoutDelay(ch));
  ChannelCodecSet* a = ve->JitterA(ch);
  auto put = [&](uint16_t k) {
    clock.set(200000 + 20u * k);
    const std::vector<uint8_t> p = PcmuPacket(static_cast<uint16_t>(500 + k), 160u * k);
    SonraVE::RecProc(ve, a, ve->JitterB(ch), &ve->SoundCard(), nullptr, p.data(), static_cast<int>(p.size()), ch);
  };
  put(0);
  int16_t out[160];
  int16_t n = 0;
  ASSERT_EQ(0, a->TakeTenMs(out, &n));  // 20 ms decoded, 10 ms of it played
  ASSERT_EQ(80, n);
  struct Step {
    int put;    // packets put in before the reading
    int take;   // 10-ms blocks taken out
    int delay;  // ms
  };
  const Step steps[] = {
      {0, 0, 10},       // the half packet left in the output buffer
      {2, 0, 50},       // and two packets of 20 ms
      {0, 1, 40},
      {0, 1, 30},       // the next packet decoded, half of it played
      {1, 0, 50},
  };
  uint16_t next = 1;
  for (const Step& s : steps) {
    for (int i = 0; i < s.put; ++i) put(next++);
    for (int i = 0; i < s.take; ++i) ASSERT_EQ(0, a->TakeTenMs(out, &n));
    EXPECT_EQ(s.delay, ve->SonraVE_GetPlayoutDelay(ch)) << "after packet " << next;
  }
  EXPECT_EQ(-1, ve->SonraVE_GetPlayoutDelay(ch + 1));
}

TEST_F(EngineApi, UnsupportedOperations) {
  using Op = std::function<int()>;
  const Op ops[] = {
      [&] { return ve->SonraVE_Spare1(); },
      [&] { return ve->SonraVE_Spare2(1); },
      [&] { return ve->SonraVE_Spare3(1, 2); },
      [&] { return ve->SonraVE_Spare4(1, 2, 3); },
      [&] { return ve->SonraVE_Spare5(1, 2, 3, 4); },
      [&] { return ve->SonraVE_Spare6(); },
      [&] { return ve->SonraVE_StartPTTPlayout(0); },
      [&] { return ve->SonraVE_GetPTTActivity(0); },
      [&] { return ve->SonraVE_GetPTTSession(0, nullptr); },
  };
  for (const Op& op : ops) {
    EXPECT_EQ(-1, op());
    EXPECT_EQ(VE_NOT_SUPPORTED, ve->SonraVE_GetLastError());
  }
  EXPECT_EQ(-1, ve->SonraVE_SetSendTransport(0, nullptr));
  EXPECT_EQ(VE_TRANSPORT, ve->SonraVE_GetLastError());
  EXPECT_EQ(-1, ve->SonraVE_ReceivedRTPPacket(0, nullptr, 0));
  EXPECT_EQ(VE_TRANSPORT, ve->SonraVE_GetLastError());
}

TEST_F(EngineApi, VersionTextNamesEveryComponent) {
  char text[1024];
  ASSERT_EQ(0, ve->SonraVE_GetVersion(text, sizeof text));
  const std::string v(text);
  EXPECT_EQ(0u, v.find("Tonebox\t1.1.8\nTidepool\t\t2.2.5\nSonra AEC PC\t1.4.1\nOstrel711A"));
  EXPECT_NE(std::string::npos, v.find("G711\n"));
  EXPECT_NE(std::string::npos, v.find("G723\t\tnot Sonra\n"));
  EXPECT_NE(std::string::npos, v.find("CNG\t\t"));
  EXPECT_EQ(v.size() - std::strlen("audio/telephone-event\n"), v.rfind("audio/telephone-event\n"));
  // Every codec is built in, with its core's version.
  for (const char* line : {"Ostrel711A\t\t2.1.24\n", "Ostrel711U\t\t2.1.24\n", "OSTRELWB\t\t2.1.24\n",
                           "ILBC\t\t1.0.4\n", "QUILL\t\t2.2.0\n"})
    EXPECT_NE(std::string::npos, v.find(line)) << line;
  EXPECT_EQ(std::string::npos, v.find("not present"));
  EXPECT_LT(v.size(), 512u);  // call control reads it into 512 bytes
  EXPECT_EQ(-1, ve->SonraVE_GetVersion(text, 20));
  EXPECT_EQ(VE_VERSION_BUFFER, ve->SonraVE_GetLastError());
}

TEST_F(EngineApi, TraceFileHoldsCallLines) {
  voicetest::TraceCapture capture;
  ASSERT_EQ(0, ve->SonraVE_SetTrace(2));
  ve->SonraVE_GetNofCodecs();
  ve->SonraVE_GetFromPort(3);
  char ip[64];
  ve->SonraVE_GetSendIP(0, ip, "peer 5%");
  // Calls with three numbers show all three.
  ve->SonraVE_SendDTMF(0, 5, 1);
  ve->SonraVE_SetSendGQOS(0, 1, 2);
  static RecordingObserver quiet;  // the engine outlives the test
  ve->SetObserver(&quiet);
  Codecinst odd{0, "PC%dMU", 8000, 160, 1, 64000};
  ve->SonraVE_SetSendCodec(0, odd);
  // The file operations from playing a file on a channel to ending a recording write no call line.
  const int ch = ve->SonraVE_CreateChannel();
  ve->SonraVE_StartPlayingFileOnChannel(ch, "/nonexistent/voice.pcm");
  ve->SonraVE_StopPlayingFileOnChannel(ch);
  ve->SonraVE_StartSend(static_cast<OutStream*>(nullptr));
  ve->SonraVE_StartRecordingToFile("/nonexistent/mic.pcm");
  ve->SonraVE_StopRecordingToFile();
  // So do the stream forms of the file-playing queries.
  EXPECT_EQ(0, ve->SonraVE_IsPlayingFile(ch, static_cast<InStream*>(nullptr)));
  EXPECT_EQ(0, ve->SonraVE_IsPlayingFileAsMicrophone(ch, static_cast<InStream*>(nullptr)));
  ASSERT_EQ(0, ve->SonraVE_SetTrace(0));
  const std::string t = capture.Text();
  EXPECT_NE(std::string::npos, t.find("VEobj.SonraVE_GetNofCodecs();")) << t;
  EXPECT_NE(std::string::npos, t.find("): SonraVE_GetNofCodecs()")) << t;
  EXPECT_NE(std::string::npos, t.find("VEobj.SonraVE_GetFromPort(3);")) << t;
  // The third argument of the send-address query is shown in the call line only.
  EXPECT_NE(std::string::npos, t.find("VEobj.SonraVE_GetSendIP(0, ?, peer 5%);")) << t;
  EXPECT_NE(std::string::npos, t.find("): SonraVE_GetSendIP(0, ?)\n")) << t;
  EXPECT_EQ(t.find("peer 5%"), t.rfind("peer 5%")) << t;
  for (const char* untraced : {"SonraVE_StartPlayingFileOnChannel", "SonraVE_StopPlayingFileOnChannel",
                               "VEobj.SonraVE_StartSend(", "): SonraVE_StartSend(", "SonraVE_StartRecordingToFile",
                               "SonraVE_StopRecordingToFile", "SonraVE_IsPlayingFile"})
    EXPECT_EQ(std::string::npos, t.find(untraced)) << untraced;
  EXPECT_NE(std::string::npos, t.find("VEobj.SonraVE_SendDTMF(0, 5, 1);")) << t;
  EXPECT_NE(std::string::npos, t.find("): SonraVE_SendDTMF(0, 5, 1)\n")) << t;
  EXPECT_NE(std::string::npos, t.find("VEobj.SonraVE_SetSendGQOS(0, 1, 2);")) << t;
  EXPECT_NE(std::string::npos, t.find("VEobj.SetObserver(?];\n")) << t;
  // The send codec's line names the codec, a '%' in the name kept as text.
  EXPECT_NE(std::string::npos, t.find("): \tcodec = PC%dMU\n")) << t;
  EXPECT_EQ(-1, ve->SonraVE_SetTrace(1));
  EXPECT_EQ(VE_INVALID_VALUE, ve->SonraVE_GetLastError());
}

// The sender and the receive sockets share the channel's sockets: stopping the receive side
// must not close the socket the channel still sends from.
TEST_F(EngineApi, StoppingListeningKeepsSending) {
  const int sink = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a));
  socklen_t len = sizeof a;
  getsockname(sink, reinterpret_cast<sockaddr*>(&a), &len);
  timeval tv{0, 300000};
  setsockopt(sink, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto receivedWithin = [&](int ms) {
    int n = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[2048];
    while (std::chrono::steady_clock::now() < end)
      if (recv(sink, buf, sizeof buf, 0) > 0) ++n;
    return n;
  };
  const int ch = ve->SonraVE_CreateChannel();
  int port = 0;
  for (int p = 44000; p < 45000 && port == 0; p += 2)
    if (ve->SonraVE_SetRecPort(ch, p) == 0) port = p;
  ASSERT_NE(0, port);
  ASSERT_EQ(0, ve->SonraVE_StartListen(ch));
  ASSERT_EQ(0, ve->SonraVE_SetSendIP(ch, "127.0.0.1"));
  ASSERT_EQ(0, ve->SonraVE_SetSendPort(ch, ntohs(a.sin_port)));
  ASSERT_EQ(0, ve->SonraVE_StartSend(ch));
  EXPECT_GT(receivedWithin(400), 5);
  ASSERT_EQ(0, ve->SonraVE_StopListen(ch));
  receivedWithin(50);
  EXPECT_GT(receivedWithin(400), 5);
  ve->SonraVE_StopSend(ch);
  close(sink);
}

// Channels are torn down while datagrams pour into their port: the receive threads must be gone
// before the jitter buffers they feed (run under the sanitizers, a use after free shows here).
TEST_F(EngineApi, DeletingChannelsUnderAFloodOfPackets) {
  int port = 0;
  int ch = ve->SonraVE_CreateChannel();
  for (int p = 43000; p < 44000 && port == 0; p += 2)
    if (ve->SonraVE_SetRecPort(ch, p) == 0) port = p;
  ASSERT_NE(0, port);
  ASSERT_EQ(0, ve->SonraVE_StartListen(ch));
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint16_t seq = 0;
    while (!stop) {
      std::vector<uint8_t> p = RtpPacket(0x80, 0, seq++, 0x1234, 160);
      sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      if (seq % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(fd);
  });
  for (int round = 0; round < 30; ++round) {
    if (round % 2) {
      ASSERT_EQ(0, ve->SonraVE_StopListen(ch));
      ASSERT_EQ(0, ve->SonraVE_SetRecPort(ch, port)) << ve->SonraVE_GetLastError();
      ASSERT_EQ(0, ve->SonraVE_StartListen(ch));
    } else {
      ASSERT_EQ(ch, ve->SonraVE_DeleteChannel(ch));
      ch = ve->SonraVE_CreateChannel();
      ASSERT_GE(ch, 0);
      ASSERT_EQ(0, ve->SonraVE_SetRecPort(ch, port)) << ve->SonraVE_GetLastError();
      ASSERT_EQ(0, ve->SonraVE_StartListen(ch));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  flood.join();
}

}  // namespace
