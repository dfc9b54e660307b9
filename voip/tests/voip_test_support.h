// Test doubles for call control: a recording voice-engine bridge, the user-agent queue, the frame window and the trace.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/debug.h"
#include "platform/msgqueue.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/Sonra_Bridge.h"
#include "voip/VoipEvent.h"
#include "voip/VoipUaQueue.h"
#include "voip/VoipUi.h"

namespace voiptest {

// Voice-engine bridge that records every call and keeps each channel's media state.
class FakeBridge : public SonraBridge {
public:
    struct Channel {
        bool bListening = false;
        bool bSending = false;
        bool bPlaying = false;
        bool bInConference = false;
        int iRecPort = 0;
        unsigned uiSendIp = 0;
        int iSendPort = 0;
        int iCodecIndex = -1;
        int iPeerNumber = 0;  // the peer's dynamic payload number for the codec (0 none)
        int iCnPayload = -1;
        int iDtmfPayload = 0;  // the peer's telephone-event number (0 none given)
        std::vector<int> dtmf;
    };

    std::map<int, Channel> channels;   // live channels
    std::vector<std::string> calls;    // "StartSend(2)" ...
    int iDeleted = 0;
    bool bFailCreate = false;
    std::vector<std::string> refused;  // starts refused as already running: "StartListen(2)" ...
    std::set<int> failingPorts;        // SetRecPort fails for these
    bool bFailAllPorts = false;
    int iSetRecPortCalls = 0;
    std::recursive_mutex mu;           // "tCallCtrl" and the test thread both call in
    std::function<void()> onDeleteChannel;  // runs first in DeleteChannel, outside the bridge's lock

    int CreateChannel() override {
        std::lock_guard<std::recursive_mutex> guard(mu);
        calls.push_back("CreateChannel");
        if (bFailCreate) return -1;
        for (int ch = 0; ch < SONRA_MAX_CHANNELS; ++ch) {
            if (!channels.count(ch)) {
                channels[ch] = Channel();
                return ch;
            }
        }
        return -1;
    }
    int DeleteChannel(int ch) override {
        if (onDeleteChannel) onDeleteChannel();
        std::lock_guard<std::recursive_mutex> guard(mu);
        Log("DeleteChannel", ch);
        if (!channels.erase(ch)) return -1;
        iDeleted++;
        return 0;
    }
    int SetSendCodec(int ch, int idx) override {
        return Logged("SetSendCodec", ch, [&](Channel& c) { c.iCodecIndex = idx; });
    }
    int SetPayloadNumber(int ch, int idx, int pltype) override {
        return Logged("SetPayloadNumber", ch, [&](Channel& c) {
            c.iCodecIndex = idx;
            c.iPeerNumber = pltype;
        });
    }
    int SetDtmfPayloadType(int ch, int pltype) override {
        return Logged("SetDtmfPayloadType", ch, [&](Channel& c) { c.iDtmfPayload = pltype; });
    }
    int SetRecPort(int ch, int port, int) override {
        std::lock_guard<std::recursive_mutex> guard(mu);
        iSetRecPortCalls++;
        if (bFailAllPorts || failingPorts.count(port)) return -1;
        // Like the engine, whose receive sockets are bound here: a port another channel holds is refused.
        for (const auto& [other, c] : channels)
            if (other != ch && c.iRecPort == port) return -1;
        return With(ch, [&](Channel& c) { c.iRecPort = port; });
    }
    int GetRecPort(int ch) override {
        std::lock_guard<std::recursive_mutex> guard(mu);
        auto it = channels.find(ch);
        return it == channels.end() ? -1 : it->second.iRecPort;
    }
    int SetSendAddr(int ch, unsigned ip, int port) override {
        return Logged("SetSendAddr", ch, [&](Channel& c) {
            c.uiSendIp = ip;
            c.iSendPort = port;
        });
    }
    // Like the engine, a second start of listening or playout on a channel is refused.
    int StartListen(int ch) override { return Once("StartListen", ch, &Channel::bListening); }
    int StartPlayout(int ch) override { return Once("StartPlayout", ch, &Channel::bPlaying); }
    int StartSend(int ch) override { return Logged("StartSend", ch, [](Channel& c) { c.bSending = true; }); }
    int StopPlayout(int ch) override { return Logged("StopPlayout", ch, [](Channel& c) { c.bPlaying = false; }); }
    int StopSend(int ch) override { return Logged("StopSend", ch, [](Channel& c) { c.bSending = false; }); }
    int SendDTMF(int ch, int digit, int) override {
        return Logged("SendDTMF", ch, [&](Channel& c) { c.dtmf.push_back(digit); });
    }
    int SetSendCNPayloadType(int ch, int pt) override {
        std::lock_guard<std::recursive_mutex> guard(mu);
        return With(ch, [&](Channel& c) { c.iCnPayload = pt; });
    }
    int AddToConference(int ch) override {
        return Logged("AddToConference", ch, [](Channel& c) { c.bInConference = true; });
    }
    int DelFromConference(int ch) override {
        return Logged("DelFromConference", ch, [](Channel& c) { c.bInConference = false; });
    }

    bool Sending(int ch) const { return Flag(ch, &Channel::bSending); }
    bool Playing(int ch) const { return Flag(ch, &Channel::bPlaying); }
    bool InConference(int ch) const { return Flag(ch, &Channel::bInConference); }

private:
    void Log(const char* pszName, int ch) { calls.push_back(std::string(pszName) + "(" + std::to_string(ch) + ")"); }
    bool Flag(int ch, bool Channel::*flag) const {
        auto it = channels.find(ch);
        return it != channels.end() && it->second.*flag;
    }
    int Once(const char* pszName, int ch, bool Channel::*flag) {
        std::lock_guard<std::recursive_mutex> guard(mu);
        Log(pszName, ch);
        auto it = channels.find(ch);
        if (it == channels.end()) return -1;
        if (it->second.*flag) {
            refused.push_back(calls.back());
            return -1;
        }
        it->second.*flag = true;
        return 0;
    }
    // A logged call on one channel: fn changes the channel; -1 when there is no such channel.
    template <typename F>
    int Logged(const char* pszName, int ch, F fn) {
        std::lock_guard<std::recursive_mutex> guard(mu);
        Log(pszName, ch);
        return With(ch, fn);
    }
    template <typename F>
    int With(int ch, F fn) {
        auto it = channels.find(ch);
        if (it == channels.end()) return -1;
        fn(it->second);
        return 0;
    }
};

// One event handed to the user agent.
struct UaEvent {
    int iId;
    int iEvent;
    int iParam;
    std::string text;   // INVITE / INFO text
    bool bHadValue;
};

inline std::vector<UaEvent>& UaEvents() {
    static std::vector<UaEvent> events;
    return events;
}

inline std::mutex& CaptureMutex() {
    static std::mutex mu;
    return mu;
}

// The user agent's put function as tests see it: records and frees.
inline int CaptureUaPut(int iId, int iEvent, int iParam, void* pValue) {
    UaEvent ev{iId, iEvent, iParam, "", pValue != nullptr};
    if (iEvent == OSIP_UA_EVT_REGISTER) {
        CM_RegInfoFree(static_cast<CM_REG_INFO*>(pValue));
    } else {
        if (pValue && (iEvent == OSIP_UA_EVT_INVITE || iEvent == OSIP_UA_EVT_INFO)) {
            ev.text = static_cast<const char*>(pValue);
        }
        free(pValue);
    }
    std::lock_guard<std::mutex> guard(CaptureMutex());
    UaEvents().push_back(ev);
    return 0;
}

// One notice the frame received.
struct UiEvent {
    int iCallId;
    int iCnxId;
    int iEvent;
    int iParam3;
    int iParam4;
    std::string text;    // caller text, or the contact's URI
    CM_CONTACT contact;  // for VOIPEVT_REMOTE_CONTACT
};

inline std::vector<UiEvent>& UiEvents() {
    static std::vector<UiEvent> events;
    return events;
}

inline LRESULT FrameHandler(HWND, UINT msg, WPARAM, LPARAM lParam) {
    if (msg != WM_VOIP_EVENT) return 0;
    auto* pstMsg = reinterpret_cast<VOIP_UI_MSG*>(lParam);
    UiEvent ev{pstMsg->iCallId, pstMsg->iCnxId, pstMsg->iEvent, pstMsg->iParam3, pstMsg->iParam4, "", {}};
    if (pstMsg->pValue) {
        if (pstMsg->iEvent == VOIPEVT_REMOTE_CONTACT) {
            ev.contact = *static_cast<CM_CONTACT*>(pstMsg->pValue);
            ev.text = ev.contact.szUri;
        } else {
            ev.text = static_cast<const char*>(pstMsg->pValue);
        }
    }
    VOIP_FreeUiMsg(pstMsg);
    UiEvents().push_back(ev);
    return 0;
}

// Trace lines of the call manager's event log ("CM_ProcessEvent: ...").
inline std::vector<std::string>& TraceLines() {
    static std::vector<std::string> lines;
    return lines;
}

inline void CaptureTrace(unsigned, const char* pszText) {
    std::lock_guard<std::mutex> guard(CaptureMutex());
    TraceLines().push_back(pszText);
}

inline bool& ProbeResult() {
    static bool result = true;
    return result;
}
inline bool FakeProbe() { return ProbeResult(); }

inline uint32_t Ip(const char* pszDotted) {
    uint32_t ip = 0;
    plat::ParseIPv4(pszDotted, &ip);
    return htonl(ip);
}

inline CC_REMOTE_MEDIA* NewMedia(const char* pszIp, int iPort, int iPayload, int iPtime = 20) {
    auto* p = static_cast<CC_REMOTE_MEDIA*>(calloc(1, sizeof(CC_REMOTE_MEDIA)));
    p->iValid = 1;
    p->uiRemoteIp = Ip(pszIp);
    p->iRemotePort = iPort;
    p->iPayload = iPayload;
    p->iPtime = iPtime;
    return p;
}

inline CM_REG_INFO* NewRegInfo(const char* pszUser = "alice", const char* pszDomain = "example.com") {
    auto* p = static_cast<CM_REG_INFO*>(calloc(1, sizeof(CM_REG_INFO)));
    std::string identity = std::string(pszUser) + "@" + pszDomain;
    p->pszDisplayName = strdup(pszUser);
    p->pszUserName = strdup(pszUser);
    p->pszIdentity = strdup(identity.c_str());
    p->pszPassword = strdup("secret");
    p->pszLocalIp = strdup("127.0.0.1");
    p->iLocalPort = 5060;
    p->pszRegistrar = strdup(pszDomain);
    p->iRegistrarPort = 5060;
    p->pszProxy = strdup(pszDomain);
    p->iProxyPort = 5060;
    p->pszDomain = strdup(pszDomain);
    p->iPort2 = 5060;
    p->iExpires = 1800;
    return p;
}

// Call control started with doubles on every seam; "tCallCtrl" is replaced by Pump().
class CallControlTest : public ::testing::Test {
protected:
    FakeBridge bridge;
    HWND hFrame = nullptr;
    bool bStartThread = false;
    std::unique_ptr<plat::TestClock> clock;   // connection timers run on test time

    void SetUp() override {
        clock = std::make_unique<plat::TestClock>(1000);
        plat::SetLocalAddressOverride("127.0.0.1");
        UaEvents().clear();
        UiEvents().clear();
        TraceLines().clear();
        ProbeResult() = true;
        CC_SetRecordDeviceProbe(FakeProbe);
        Sonra_SetBridge(&bridge);
        OSIP_RegisterUaQueue(CaptureUaPut);
        hFrame = plat::RegisterWindowTarget(FrameHandler);
        VOIP_SetUiWindow(hFrame);
        debug_enable = 1;
        debug_all = 3;
        g_debugOutput = CaptureTrace;
        ASSERT_EQ(0, CM_Init());
        ASSERT_EQ(0, CC_Init(bStartThread));
        if (!bStartThread) {
            ASSERT_EQ(0, CM_SendEvent(-1, -1, CMEVT_START, -1, 0, NewRegInfo()));
            Pump();
            ASSERT_TRUE(CC_IsStarted());
            UaEvents().clear();
            TraceLines().clear();
        }
    }

    void TearDown() override {
        if (CM_IsStarted()) CM_SendEvent(-1, -1, CMEVT_STOP, -1, 0, nullptr);
        if (!bStartThread) Pump();
        CC_Exit();
        CM_Exit();
        VOIP_SetUiWindow(nullptr);
        plat::PumpWindowMessages(hFrame);
        plat::UnregisterWindowTarget(hFrame);
        OSIP_RegisterUaQueue(nullptr);
        Sonra_SetBridge(nullptr);
        CC_SetRecordDeviceProbe(nullptr);
        g_debugOutput = nullptr;
        debug_enable = 0;
        plat::SetLocalAddressOverride("");
        clock.reset();
    }

    // Lets test time pass and runs the connection timers as "tCallCtrl" would between messages.
    void Elapse(uint64_t ms) {
        Pump();
        clock->advance(ms);
        CC_ThreadRound(0);
        Pump();
    }

    // Runs every queued connection event and delivers the frame's notices.
    void Pump() {
        for (int i = 0; i < 100; ++i) {
            int n = CC_PumpEvents();
            size_t m = plat::PumpWindowMessages(hFrame);
            if (n == 0 && m == 0) break;
        }
    }

    int Channel(int iCnxId) {
        CC_CNX cnx;
        CC_GetCnxSnapshot(iCnxId, &cnx);
        return cnx.iChannel;
    }

    // The user interface places a call: call, connection, CMEVT_NEWCALL.
    void Dial(int* piCall, int* piCnx, const char* pszCallee = "bob@example.com", int iCall = -1) {
        *piCall = iCall >= 0 ? iCall : CM_AllocCall();
        ASSERT_GE(*piCall, 0);
        *piCnx = CC_AllocCnx();
        ASSERT_GE(*piCnx, 0);
        CM_SendEvent(*piCall, *piCnx, CMEVT_NEWCALL, -1, -1, strdup(pszCallee));
        Pump();
    }

    // The user agent reports an incoming INVITE, as its callback does.
    void Incoming(int* piCall, int* piCnx, const char* pszCaller = "carol@example.com") {
        *piCall = CM_AllocCall();
        ASSERT_GE(*piCall, 0);
        *piCnx = CC_AllocCnx();
        ASSERT_GE(*piCnx, 0);
        CC_SendEvent(-1, *piCnx, CCEVT_REMOTE_NEWCALL, VOIP_CODE_NEW_CALL, *piCall, strdup(pszCaller));
        CC_SendEvent(-1, *piCnx, CCEVT_REMOTE_UPDATE, VOIP_CODE_NONE, -1, NewMedia("10.0.0.9", 40000, 102));
        Pump();
    }

    // The peer answers an outgoing connection.
    void Answer(int iCnx, const char* pszIp = "10.0.0.2", int iPort = 30000, int iPayload = 102) {
        CC_SendEvent(-1, iCnx, CCEVT_REMOTE_ANSWER, 200, -1, NewMedia(pszIp, iPort, iPayload));
        Pump();
    }

    std::vector<int> UiEventNumbers() const {
        std::vector<int> v;
        for (const UiEvent& ev : UiEvents()) v.push_back(ev.iEvent);
        return v;
    }

    std::vector<int> UaEventNumbers() const {
        std::vector<int> v;
        for (const UaEvent& ev : UaEvents()) v.push_back(ev.iEvent);
        return v;
    }
};

}  // namespace voiptest
