// The voice-engine bridge over the real engine: start-up settings, the offered payloads, codec lookup and logged failures.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/debug.h"
#include "platform/tests/test_ports.h"
#include "platform/wave.h"
#include "voip/CC_State.h"
#include "voip/Sonra_Main.h"
#include "voip/tests/voip_test_support.h"

namespace {

std::mutex g_mu;
std::vector<std::string> g_lines;

void Capture(unsigned, const char* text) {
  std::lock_guard<std::mutex> g(g_mu);
  g_lines.emplace_back(text);
}

bool Logged(const std::string& text) {
  std::lock_guard<std::mutex> g(g_mu);
  for (const std::string& l : g_lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetAudioBackend(plat::AudioBackend::File);
    plat::SetWaveInFile("");
    plat::SetWaveOutFile("");
    g_debugOutput.store(Capture);
    debug_enable.store(1);
    debug_all.store(3);
    ASSERT_EQ(0, Sonra_Init());
  }
  void TearDown() override {
    Sonra_Destroy();
    g_debugOutput.store(nullptr);
  }
};

TEST_F(Bridge, StartAppliesTheCallSettingsAndOffersIlbcThenPcmu) {
  SonraVE* ve = Sonra_GetEngine();
  EXPECT_EQ(Sonra_MainBridge(), Sonra_GetBridge());
  EXPECT_EQ(0, ve->SonraVE_GetNetworkStatus());
  EXPECT_EQ(2, ve->SonraVE_GetECStatus());
  EXPECT_EQ(0, ve->SonraVE_GetVADStatus());
  EXPECT_EQ(0, ve->SonraVE_GetECType());
  EXPECT_EQ(1, ve->SonraVE_GetAGCStatus());
  ASSERT_TRUE(Sonra_CodecPresent(kCodecIlbc));
  EXPECT_EQ(102, Sonra_GetDefaultPayload(0));
  EXPECT_EQ(0, Sonra_GetDefaultPayload(1));
  for (int i = 2; i < SONRA_PAYLOAD_LIST_LEN; ++i) EXPECT_EQ(SONRA_PAYLOAD_NONE, Sonra_GetDefaultPayload(i));
  // Every payload offered can be set as the send codec.
  const int ch = Sonra_CreateChannel();
  ASSERT_GE(ch, 0);
  for (int i = 0; i < SONRA_PAYLOAD_LIST_LEN; ++i) {
    const int pt = Sonra_GetDefaultPayload(i);
    if (pt == SONRA_PAYLOAD_NONE) continue;
    ASSERT_EQ(0, Sonra_SetSendCodec(ch, Sonra_PayloadToCodecIndex(pt))) << pt;
    Codecinst c{};
    ASSERT_EQ(0, ve->SonraVE_GetCurrentSendCodec(ch, c));
    EXPECT_EQ(pt, c.pltype);
  }
}

TEST_F(Bridge, CodecsAreFoundByTheirPayloadType) {
  SonraVE* ve = Sonra_GetEngine();
  const int ch = Sonra_CreateChannel();
  ASSERT_EQ(0, Sonra_SetSendCodec(ch, Sonra_PayloadToCodecIndex(8)));
  Codecinst c{};
  ve->SonraVE_GetCurrentSendCodec(ch, c);
  EXPECT_STREQ("PCMA", c.plname);
  ASSERT_EQ(0, Sonra_SetSendCodec(ch, Sonra_PayloadToCodecIndex(0)));
  ve->SonraVE_GetCurrentSendCodec(ch, c);
  EXPECT_STREQ("PCMU", c.plname);
  // telephone-event is listed but never a send codec.
  EXPECT_EQ(-1, Sonra_SetSendCodec(ch, Sonra_PayloadToCodecIndex(106)));
  EXPECT_TRUE(Logged("SonraVE_SetSendCodec error: 8007"));
  // Every codec of the payload map is built in and found by its type.
  const struct {
    int pt;
    const char* name;
  } kMap[] = {{97, "OSTRELWB"}, {103, "QUILL"}, {100, "OSTREL711U"}, {101, "OSTREL711A"}, {102, "iLBC"}};
  for (const auto& m : kMap) {
    ASSERT_EQ(0, Sonra_SetSendCodec(ch, Sonra_PayloadToCodecIndex(m.pt))) << m.pt;
    ve->SonraVE_GetCurrentSendCodec(ch, c);
    EXPECT_STREQ(m.name, c.plname);
    EXPECT_EQ(m.pt, c.pltype);
  }
  Codecinst out{};
  EXPECT_EQ(-1, Sonra_GetCodec(8, &out));
  EXPECT_EQ(-1, Sonra_GetCodec(0, nullptr));
}

// A peer numbering iLBC 96: sent under 96, and received under it while not yet listening.
TEST_F(Bridge, PeersDynamicNumberIsUsedBothWays) {
  SonraVE* ve = Sonra_GetEngine();
  const int ch = Sonra_CreateChannel();
  ASSERT_GE(ch, 0);
  const int index = Sonra_PayloadToCodecIndex(102);
  ASSERT_EQ(0, Sonra_SetPayloadNumber(ch, index, 96));
  Codecinst c{};
  ASSERT_EQ(0, ve->SonraVE_GetCurrentSendCodec(ch, c));
  EXPECT_STREQ("iLBC", c.plname);
  EXPECT_EQ(96, c.pltype);
  EXPECT_FALSE(Logged("SonraVE_SetRecPayloadType error"));
  EXPECT_EQ(-1, Sonra_SetPayloadNumber(ch, index, 95));
  EXPECT_EQ(-1, Sonra_SetPayloadNumber(ch, index, 128));
}

// Telephone events under the peer's number (baresip's 101, our Ostrel711A): sent and received under
// it, the codec that had the number moving out of its way.
TEST_F(Bridge, PeersTelephoneEventNumberIsUsedBothWays) {
  SonraVE* ve = Sonra_GetEngine();
  const int ch = Sonra_CreateChannel();
  ASSERT_GE(ch, 0);
  auto received = [&](int kind) { return ve->ReceivePayloadType(ch, kind); };
  EXPECT_EQ(106, received(kCodecTelephoneEvent));
  EXPECT_EQ(101, received(kCodecOstrel711A));
  ASSERT_EQ(0, Sonra_SetDtmfPayloadType(ch, 101));
  EXPECT_EQ(101, ve->DTMFPayloadType(ch));
  EXPECT_EQ(101, received(kCodecTelephoneEvent));
  EXPECT_NE(101, received(kCodecOstrel711A));
  EXPECT_FALSE(Logged("SonraVE_SetRecPayloadType error"));
}

TEST_F(Bridge, AddressesAndFailuresAreLoggedWithTheLastError) {
  SonraVE* ve = Sonra_GetEngine();
  const int ch = Sonra_CreateChannel();
  ASSERT_EQ(0, Sonra_SetSendAddr(ch, htonl(0x7F000001u), 40000));
  char ip[64] = {};
  ve->SonraVE_GetSendIP(ch, ip);
  EXPECT_STREQ("127.0.0.1", ip);
  EXPECT_EQ(40000, ve->SonraVE_GetSendPort(ch));
  EXPECT_EQ(-1, Sonra_SetRecPort(ch, 1000, 0));
  EXPECT_TRUE(Logged("Sonra_SetRecPort error: 8006"));
  EXPECT_EQ(-1, Sonra_SetSendAddr(ch, htonl(0x7F000001u), 80));
  EXPECT_TRUE(Logged("SonraVE_SetSendPort error: 8006"));
  EXPECT_EQ(-1, Sonra_SendDTMF(ch, 3, 1));
  EXPECT_TRUE(Logged("Sonra_SendDTMF error: 8027"));
  EXPECT_EQ(-1, Sonra_StartSend(16));  // refused before the engine
  Sonra_Destroy();
  EXPECT_EQ(-1, Sonra_CreateChannel());
  EXPECT_TRUE(Logged("Sonra_CreateChannel error: 8026"));
}

TEST_F(Bridge, EngineNoticesReachTheLog) {
  Sonra_GetEngine()->SoundCard().RaiseSlowFlag();
  for (int i = 0; i < 100 && !Logged("error_handler: 9013"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(Logged("error_handler: 9013"));
}

// Call control over the real engine (the recording bridge of the fixture is replaced by the
// engine's own once call control runs).
class BridgeUnderCallControl : public voiptest::CallControlTest {
 protected:
  void SetUp() override {
    plat::SetAudioBackend(plat::AudioBackend::File);
    plat::SetWaveInFile("");
    plat::SetWaveOutFile("");
    CallControlTest::SetUp();
    ASSERT_EQ(0, Sonra_Init());
    ASSERT_EQ(Sonra_MainBridge(), Sonra_GetBridge());
  }
  void TearDown() override {
    CallControlTest::TearDown();
    Sonra_Destroy();
  }
  void Run(CC_CNX* cnx, int call, int event) {
    CC_MSG msg{call, cnx->iCnxId, event, VOIP_CODE_NONE, -1, nullptr, 0};
    if (event == CCEVT_REMOTE_ALERT_SDP || event == CCEVT_REMOTE_ANSWER) {
      msg.iParam1 = event == CCEVT_REMOTE_ANSWER ? 200 : 183;
      msg.pValue = voiptest::NewMedia("127.0.0.1", 40000, 0);
    }
    CC_RunFsm(&cnx->stFsm, event, &msg);
    free(msg.pValue);
  }
};

TEST_F(BridgeUnderCallControl, EarlyMediaAnswerHoldAndResumeLogOnlyRepeatedStarts) {
  const int call = CM_AllocCall();
  const int id = CC_AllocCnx();
  ASSERT_GE(id, 0);
  CC_SetCnxCallId(call, id);
  CC_CNX* cnx = CC_GetCnx(id);
  const int ch = cnx->iChannel;
  // A reserved port, so a parallel test's engine cannot take the call's port before it listens.
  const int port = test_ports::Reserve(2);
  ASSERT_GT(port, 0);
  ASSERT_EQ(0, Sonra_SetRecPort(ch, port, 0));
  cnx->iLocalRtpPort = port;
  cnx->stFsm.ucCurState = CC_ST_CALLING;
  // Ports a parallel test holds are skipped with a logged refusal while the connection is made; only
  // what the call's steps log counts here.
  {
    std::lock_guard<std::mutex> g(voiptest::CaptureMutex());
    voiptest::TraceLines().clear();
  }
  SonraVE* ve = Sonra_GetEngine();
  struct Step {
    int event;
    int state;
  };
  for (Step step : {Step{CCEVT_REMOTE_ALERT_SDP, CC_ST_ALERTING}, Step{CCEVT_REMOTE_ANSWER, CC_ST_CONNECTED},
                    Step{CCEVT_HOLD, CC_ST_HELD}, Step{CCEVT_UNHOLD, CC_ST_CONNECTED}, Step{CCEVT_HOLD, CC_ST_HELD},
                    Step{CCEVT_UNHOLD, CC_ST_CONNECTED}}) {
    SCOPED_TRACE(CC_GetEventName(step.event));
    Run(cnx, call, step.event);
    EXPECT_EQ(step.state, cnx->stFsm.ucCurState);
    EXPECT_EQ(step.event != CCEVT_HOLD, ve->PlayoutMixer().Playing(ch));
    EXPECT_EQ(step.state == CC_ST_CONNECTED || step.state == CC_ST_ALERTING, cnx->bSending != 0);
  }
  // Each media start asks the engine again to listen and to play, which it refuses on a running
  // channel; no other step fails.
  for (const std::string& line : voiptest::TraceLines())
    if (line.find("Sonra_StartListen error") == std::string::npos && line.find("Sonra_StartPlayout error") == std::string::npos)
      EXPECT_EQ(std::string::npos, line.find(" error: ")) << line;
  CC_FreeCnx(id);
  CM_FreeCall(call);
  Pump();
}

}  // namespace
