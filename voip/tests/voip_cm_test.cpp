// Call-manager scenarios driven through CM_SendEvent: notices to the frame, user-agent traffic, media and pools.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "voip/CM_Xml.h"
#include "voip_test_support.h"

namespace voiptest {
namespace {

using Notice = std::pair<int, int>;   // (VOIPEVT, p3)

std::vector<Notice> Notices() {
    std::vector<Notice> v;
    for (const UiEvent& ev : UiEvents()) v.push_back({ev.iEvent, ev.iParam3});
    return v;
}

const int N = VOIP_CODE_NONE;
const DWORD kBeatMs = 50;   // the controller thread's wait when a timer is (nearly) due

class VoipCallManager : public CallControlTest {};

TEST_F(VoipCallManager, OutgoingCallAnsweredAndEnded) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    ASSERT_EQ(1u, UaEvents().size());
    EXPECT_EQ(OSIP_UA_EVT_INVITE, UaEvents()[0].iEvent);
    EXPECT_EQ(iCnx, UaEvents()[0].iId);
    EXPECT_EQ("bob@example.com", UaEvents()[0].text);
    EXPECT_EQ(CC_ST_CALLING, CC_GetCnxState(iCnx));
    EXPECT_EQ(CC_DIR_OUTGOING, CC_GetCnxDirection(iCnx));
    EXPECT_EQ(iCall, CM_GetCurrentCallId());
    EXPECT_FALSE(bridge.Sending(Channel(iCnx)));   // nothing leaves before the answer
    EXPECT_TRUE(UiEvents().empty());

    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_ALERT, 180, -1, nullptr);
    Pump();
    EXPECT_EQ(CC_ST_ALERTING, CC_GetCnxState(iCnx));
    Answer(iCnx, "10.0.0.2", 30000, 102);
    int iChannel = Channel(iCnx);
    EXPECT_EQ(CC_ST_CONNECTED, CC_GetCnxState(iCnx));
    EXPECT_TRUE(bridge.Sending(iChannel));
    EXPECT_TRUE(bridge.Playing(iChannel));
    EXPECT_EQ(Ip("10.0.0.2"), bridge.channels[iChannel].uiSendIp);
    EXPECT_EQ(30000, bridge.channels[iChannel].iSendPort);
    EXPECT_EQ(6, bridge.channels[iChannel].iCodecIndex);

    CM_SendEvent(iCall, iCnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(OSIP_UA_EVT_BYE, UaEvents().back().iEvent);
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_ALERT, 180},
                                   {VOIPEVT_REMOTE_ANSWER, 200},
                                   {VOIPEVT_RELEASE_CNX, N},
                                   {VOIPEVT_RELEASE_CALL, N}}),
              Notices());
    EXPECT_EQ(-1, UiEvents().back().iCnxId);
    EXPECT_EQ(iCall, UiEvents().back().iCallId);
    EXPECT_FALSE(CC_IsCnxInUse(iCnx));
    EXPECT_EQ(CC_ST_IDLE, CC_GetCnxState(iCnx));
    EXPECT_EQ(0, CM_GetActiveCallNum());
    EXPECT_EQ(-1, CM_GetCurrentCallId());
    EXPECT_TRUE(bridge.channels.empty());
}

TEST_F(VoipCallManager, IncomingCallAnsweredAndEndedByThePeer) {
    int iCall, iCnx;
    Incoming(&iCall, &iCnx, "carol@example.com");
    ASSERT_EQ(1u, UiEvents().size());
    EXPECT_EQ(VOIPEVT_REMOTE_NEWCALL, UiEvents()[0].iEvent);
    EXPECT_EQ(VOIP_CODE_NEW_CALL, UiEvents()[0].iParam3);
    EXPECT_EQ(iCall, UiEvents()[0].iCallId);
    EXPECT_EQ(iCnx, UiEvents()[0].iCnxId);
    EXPECT_EQ("carol@example.com", UiEvents()[0].text);
    EXPECT_EQ(CC_ST_OFFERED, CC_GetCnxState(iCnx));
    EXPECT_EQ(CC_DIR_INCOMING, CC_GetCnxDirection(iCnx));
    EXPECT_EQ(iCnx, CC_GetCnxIdByUri("carol@example.com"));
    EXPECT_EQ(iCall, CC_GetCallIdByUri("carol@example.com"));
    int iChannel = Channel(iCnx);
    // Ringing: the caller's media address is known, but no microphone audio goes out.
    EXPECT_EQ(40000, bridge.channels[iChannel].iSendPort);
    EXPECT_FALSE(bridge.Sending(iChannel));

    CM_SendEvent(iCall, iCnx, CMEVT_CONNECT, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(OSIP_UA_EVT_ACCEPT_INVITE, UaEvents().back().iEvent);
    EXPECT_EQ(CC_ST_CONNECTED, CC_GetCnxState(iCnx));
    EXPECT_TRUE(bridge.Sending(iChannel));
    EXPECT_EQ(iCall, CM_GetCurrentCallId());

    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    Pump();
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_NEWCALL, 1001},
                                   {VOIPEVT_REMOTE_DISCONNECT, 1002},
                                   {VOIPEVT_RELEASE_CNX, N},
                                   {VOIPEVT_RELEASE_CALL, N}}),
              Notices());
    EXPECT_EQ(16, CC_GetIdleCnxNum());
    EXPECT_EQ(0, CM_GetActiveCallNum());
}

TEST_F(VoipCallManager, DecliningARingingCallAnswersWithAFinalResponse) {
    int iCall, iCnx;
    Incoming(&iCall, &iCnx);
    CM_SendEvent(iCall, iCnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    Pump();
    ASSERT_FALSE(UaEvents().empty());
    EXPECT_EQ(OSIP_UA_EVT_REJECT_INVITE, UaEvents().back().iEvent);
    EXPECT_EQ(603, UaEvents().back().iParam);
    for (const UaEvent& ev : UaEvents()) EXPECT_NE(OSIP_UA_EVT_CANCEL, ev.iEvent);

    // Put on hold by the caller before the answer, then declined: still a final response.
    Incoming(&iCall, &iCnx);
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_HOLD, -1, 0, strdup("<ACT>HOLD</ACT>\n"));
    Pump();
    EXPECT_EQ(CC_ST_OFFERED_REMOTE_HELD, CC_GetCnxState(iCnx));
    CM_SendEvent(iCall, iCnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(OSIP_UA_EVT_REJECT_INVITE, UaEvents().back().iEvent);
    EXPECT_EQ(16, CC_GetIdleCnxNum());
}

TEST_F(VoipCallManager, HoldAndUnhold) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    Answer(iCnx);
    int iChannel = Channel(iCnx);
    UiEvents().clear();
    UaEvents().clear();

    // The frame holds and resumes whole calls (connection 16).
    CM_SendEvent(iCall, CC_ALL_CNX, CMEVT_HOLD, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(CC_ST_HELD, CC_GetCnxState(iCnx));
    EXPECT_FALSE(bridge.Sending(iChannel));
    EXPECT_FALSE(bridge.Playing(iChannel));
    EXPECT_EQ(-1, CM_GetCurrentCallId());
    EXPECT_EQ((std::vector<int>{OSIP_UA_EVT_HOLD}), UaEventNumbers());

    CM_SendEvent(iCall, CC_ALL_CNX, CMEVT_UNHOLD, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(CC_ST_CONNECTED, CC_GetCnxState(iCnx));
    EXPECT_TRUE(bridge.Sending(iChannel));
    EXPECT_TRUE(bridge.Playing(iChannel));
    EXPECT_EQ(iCall, CM_GetCurrentCallId());
    EXPECT_EQ((std::vector<int>{OSIP_UA_EVT_HOLD, OSIP_UA_EVT_UNHOLD}), UaEventNumbers());

    // One connection at a time.
    CM_SendEvent(iCall, iCnx, CMEVT_HOLD, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(CC_ST_HELD, CC_GetCnxState(iCnx));
    EXPECT_EQ(-1, CM_GetCurrentCallId());
    CM_SendEvent(iCall, iCnx, CMEVT_UNHOLD, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(CC_ST_CONNECTED, CC_GetCnxState(iCnx));
    EXPECT_EQ(iCall, CM_GetCurrentCallId());
    EXPECT_TRUE(bridge.Sending(iChannel));
    EXPECT_TRUE(UiEvents().empty());

    // Holding a call that is not current is refused.
    CM_SendEvent(iCall, CC_ALL_CNX, CMEVT_HOLD, -1, -1, nullptr);
    EXPECT_EQ(-1, CM_SendEvent(iCall, CC_ALL_CNX, CMEVT_HOLD, -1, -1, nullptr));
}

TEST_F(VoipCallManager, RemoteHoldStopsTheMedia) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    Answer(iCnx);
    UiEvents().clear();
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_HOLD, -1, 0, strdup("<ACT>HOLD</ACT>\n"));
    Pump();
    EXPECT_EQ(CC_ST_REMOTE_HELD, CC_GetCnxState(iCnx));
    EXPECT_FALSE(bridge.Sending(Channel(iCnx)));
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_HOLD, -1}}), Notices());
    EXPECT_EQ(-1, CM_GetCurrentCallId());
}

TEST_F(VoipCallManager, DtmfKeysZeroToNineStarAndHash) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    Answer(iCnx);
    // The keypads' twelve keys: 0-9, then 10 for * and 11 for #.
    for (int iDigit : {7, 10, 12, -1, 11, 0}) CM_SendEvent(iCall, iCnx, CMEVT_DTMF, -1, iDigit, nullptr);
    Pump();
    EXPECT_EQ((std::vector<int>{7, 10, 11, 0}), bridge.channels[Channel(iCnx)].dtmf);
}

TEST_F(VoipCallManager, ConferenceOfFiveAndTheSixthRefused) {
    int iCall = CM_AllocCall();
    std::vector<int> cnx;
    for (int i = 0; i < CM_MAX_CNX_PER_CALL; ++i) {
        int iCnx;
        int iDummy;
        Dial(&iDummy, &iCnx, ("m" + std::to_string(i) + "@example.com").c_str(), iCall);
        Answer(iCnx);
        cnx.push_back(iCnx);
        EXPECT_EQ(CM_MAX_CNX_PER_CALL - i - 1, CM_GetFreeSeatNum(iCall));
    }
    EXPECT_TRUE(CM_IsConfCall(iCall));
    EXPECT_EQ(0, CM_GetConfLevel(iCall));
    EXPECT_EQ(1, CM_GetConfCallNum());
    for (int iCnx : cnx) {
        EXPECT_TRUE(bridge.InConference(Channel(iCnx)));
        EXPECT_TRUE(bridge.Sending(Channel(iCnx)));
    }

    // Members already talking heard of each newcomer; each newcomer heard of the others.
    int iInfoToFirst = 0;
    std::string lastToFifth;
    for (const UaEvent& ev : UaEvents()) {
        if (ev.iEvent != OSIP_UA_EVT_INFO) continue;
        EXPECT_EQ(VOIP_INFO_CONTACT, ev.iParam);
        if (ev.iId == cnx[0]) iInfoToFirst++;
        if (ev.iId == cnx[4]) lastToFifth = ev.text;
    }
    EXPECT_EQ(4, iInfoToFirst);   // members 2-5 each announced once
    CM_CONTACT members[CM_MAX_CONTACT_NUM];
    ASSERT_EQ(5, CM_XmlParse(CM_XML_CONTACT, lastToFifth.c_str(), members));
    EXPECT_STREQ("alice@example.com", members[0].szUri);   // the host's own line
    EXPECT_STREQ("NULL", members[0].szParent);
    EXPECT_EQ(0, members[0].iLevel);
    EXPECT_STREQ("m0@example.com", members[1].szUri);
    EXPECT_STREQ("alice@example.com", members[1].szParent);
    EXPECT_EQ(1, members[1].iLevel);
    EXPECT_EQ(4, members[1].iStatus);

    // The sixth: refused before any signalling; the caller releases its connection.
    int iSixth = CC_AllocCnx();
    ASSERT_GE(iSixth, 0);
    size_t iUaBefore = UaEvents().size();
    EXPECT_EQ(-1, CM_SendEvent(iCall, iSixth, CMEVT_NEWCALL, -1, -1, strdup("m5@example.com")));
    Pump();
    EXPECT_EQ(iUaBefore, UaEvents().size());
    EXPECT_EQ(0, CM_GetFreeSeatNum(iCall));
    EXPECT_EQ(CC_ST_IDLE, CC_GetCnxState(iSixth));
    EXPECT_GE(CC_FreeCnx(iSixth), 0);

    // One member leaves: the others hear it, the conference stays.
    UaEvents().clear();
    CC_SendEvent(-1, cnx[2], CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    Pump();
    int iLeaveNotices = 0;
    for (const UaEvent& ev : UaEvents()) {
        CM_CONTACT left[CM_MAX_CONTACT_NUM];
        if (ev.iEvent == OSIP_UA_EVT_INFO && CM_XmlParse(CM_XML_CONTACT, ev.text.c_str(), left) == 1 &&
            strcmp(left[0].szUri, "m2@example.com") == 0 && left[0].iStatus == 0) {
            iLeaveNotices++;
        }
    }
    EXPECT_EQ(4, iLeaveNotices);
    EXPECT_EQ(1, CM_GetFreeSeatNum(iCall));
    EXPECT_FALSE(bridge.channels.count(Channel(cnx[2])));

    // Hanging up the whole call ends every member.
    CM_SendEvent(iCall, CC_ALL_CNX, CMEVT_DISCONNECT, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(16, CC_GetIdleCnxNum());
    EXPECT_EQ(0, CM_GetActiveCallNum());
    EXPECT_EQ(0, CM_GetConfCallNum());
    EXPECT_TRUE(bridge.channels.empty());
    int iReleaseCall = 0;
    for (const UiEvent& ev : UiEvents()) iReleaseCall += ev.iEvent == VOIPEVT_RELEASE_CALL;
    EXPECT_EQ(1, iReleaseCall);
}

TEST_F(VoipCallManager, MoveMergesCalls) {
    int iCallA, iCnxA;
    Dial(&iCallA, &iCnxA, "bob@example.com");
    Answer(iCnxA);
    // A second call while the first talks starts held.
    int iCallB, iCnxB;
    Dial(&iCallB, &iCnxB, "carol@example.com");
    EXPECT_EQ(CC_ST_CALLING_HELD, CC_GetCnxState(iCnxB));
    Answer(iCnxB);
    EXPECT_EQ(CC_ST_HELD, CC_GetCnxState(iCnxB));
    EXPECT_FALSE(bridge.Sending(Channel(iCnxB)));
    UiEvents().clear();
    UaEvents().clear();

    EXPECT_EQ(0, CM_SendEvent(iCallB, CC_ALL_CNX, CMEVT_MOVE, -1, iCallA, nullptr));
    Pump();
    EXPECT_EQ(CC_ST_CONNECTED, CC_GetCnxState(iCnxB));
    EXPECT_TRUE(bridge.Sending(Channel(iCnxB)));
    EXPECT_EQ(iCallA, CC_GetCnxCallId(iCnxB));
    EXPECT_TRUE(CM_IsConfCall(iCallA));
    EXPECT_TRUE(bridge.InConference(Channel(iCnxA)));
    EXPECT_TRUE(bridge.InConference(Channel(iCnxB)));
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_RELEASE_CALL, N}}), Notices());
    EXPECT_EQ(iCallB, UiEvents()[0].iCallId);
    EXPECT_EQ(1, CM_GetActiveCallNum());
    int iInfo = 0;
    for (const UaEvent& ev : UaEvents()) iInfo += ev.iEvent == OSIP_UA_EVT_INFO;
    EXPECT_EQ(2, iInfo);   // the old member hears of the new one, the new one of the call

    // A merge that would pass five members is refused.
    // The limit counts both calls whole, also when only one connection is moved.
    int iCallC = CM_AllocCall();
    int iCnxC = -1;
    for (int i = 0; i < 4; ++i) {
        int iDummy;
        Dial(&iDummy, &iCnxC, ("c" + std::to_string(i) + "@example.com").c_str(), iCallC);
    }
    EXPECT_EQ(-1, CM_SendEvent(iCallC, CC_ALL_CNX, CMEVT_MOVE, -1, iCallA, nullptr));
    EXPECT_EQ(-1, CM_SendEvent(iCallC, iCnxC, CMEVT_MOVE, -1, iCallA, nullptr));
    EXPECT_EQ(2, 5 - CM_GetFreeSeatNum(iCallA));
    EXPECT_EQ(iCallC, CC_GetCnxCallId(iCnxC));
}

// A member its peer holds stays out of the mix and counted held through the whole call's hold and
// resume, and when it is moved into a talking conference; members held here rejoin as they resume.
TEST_F(VoipCallManager, MemberHeldByItsPeerStaysOutOfTheConference) {
    int iCall = CM_AllocCall();
    std::vector<int> cnx;
    for (const char* pszWho : {"a@example.com", "b@example.com", "c@example.com"}) {
        int iDummy, iCnx;
        Dial(&iDummy, &iCnx, pszWho, iCall);
        Answer(iCnx);
        cnx.push_back(iCnx);
    }
    const int iPeerHeld = cnx[2];
    CC_SendEvent(-1, iPeerHeld, CCEVT_REMOTE_HOLD, -1, 0, strdup("<ACT>HOLD</ACT>\n"));
    Pump();
    ASSERT_EQ(CC_ST_REMOTE_HELD, CC_GetCnxState(iPeerHeld));
    EXPECT_FALSE(bridge.InConference(Channel(iPeerHeld)));
    auto activeNum = [&] {
        CM_CALL snapshot;
        EXPECT_TRUE(CM_GetCallSnapshot(iCall, &snapshot));
        return snapshot.iActiveNum;
    };
    EXPECT_EQ(2, activeNum());

    CM_SendEvent(iCall, CC_ALL_CNX, CMEVT_HOLD, -1, -1, nullptr);
    Pump();
    CM_SendEvent(iCall, CC_ALL_CNX, CMEVT_UNHOLD, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(iCall, CM_GetCurrentCallId());
    for (int iCnx : {cnx[0], cnx[1]}) {
        EXPECT_EQ(CC_ST_CONNECTED, CC_GetCnxState(iCnx));
        EXPECT_TRUE(bridge.InConference(Channel(iCnx)));
    }
    EXPECT_EQ(CC_ST_REMOTE_HELD, CC_GetCnxState(iPeerHeld));
    EXPECT_FALSE(bridge.InConference(Channel(iPeerHeld)));
    EXPECT_EQ(2, activeNum());

    // The whole call held, then one member resumed alone: only that member is mixed.
    CM_SendEvent(iCall, CC_ALL_CNX, CMEVT_HOLD, -1, -1, nullptr);
    Pump();
    CM_SendEvent(iCall, cnx[0], CMEVT_UNHOLD, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(iCall, CM_GetCurrentCallId());
    EXPECT_TRUE(bridge.InConference(Channel(cnx[0])));
    EXPECT_FALSE(bridge.InConference(Channel(cnx[1])));
    EXPECT_FALSE(bridge.InConference(Channel(iPeerHeld)));
    CM_SendEvent(iCall, cnx[1], CMEVT_UNHOLD, -1, -1, nullptr);
    Pump();
    EXPECT_TRUE(bridge.InConference(Channel(cnx[1])));
    EXPECT_FALSE(bridge.InConference(Channel(iPeerHeld)));
    EXPECT_EQ(2, activeNum());

    // An incoming call its caller holds, answered on hold and merged into the talking conference.
    int iCallIn, iCnxIn;
    Incoming(&iCallIn, &iCnxIn, "d@example.com");
    CC_SendEvent(-1, iCnxIn, CCEVT_REMOTE_HOLD, -1, 0, strdup("<ACT>HOLD</ACT>\n"));
    CM_SendEvent(iCallIn, iCnxIn, CMEVT_CONNECT, -1, -1, nullptr);
    Pump();
    ASSERT_EQ(CC_ST_REMOTE_HELD, CC_GetCnxState(iCnxIn));
    EXPECT_EQ(0, CM_SendEvent(iCallIn, CC_ALL_CNX, CMEVT_MOVE, -1, iCall, nullptr));
    Pump();
    EXPECT_EQ(iCall, CC_GetCnxCallId(iCnxIn));
    EXPECT_FALSE(bridge.InConference(Channel(iCnxIn)));
    EXPECT_EQ(2, activeNum());
}

TEST_F(VoipCallManager, NoAnswerBeforeAnyProvisional) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    Elapse(59999);
    EXPECT_EQ(CC_ST_CALLING, CC_GetCnxState(iCnx));
    Elapse(1);
    EXPECT_EQ((std::vector<int>{OSIP_UA_EVT_INVITE, OSIP_UA_EVT_TIMEOUT}), UaEventNumbers());
    EXPECT_EQ(0, UaEvents()[1].iParam);
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_DISCONNECT, 1010}, {VOIPEVT_RELEASE_CNX, N}, {VOIPEVT_RELEASE_CALL, N}}),
              Notices());
    EXPECT_FALSE(CC_IsCnxInUse(iCnx));
    EXPECT_EQ(CC_ST_IDLE, CC_GetCnxState(iCnx));

    // The same from the user agent's 480.
    UiEvents().clear();
    Dial(&iCall, &iCnx);
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_DISCONNECT, 480, -1, nullptr);
    Pump();
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_DISCONNECT, 1010}, {VOIPEVT_RELEASE_CNX, N}, {VOIPEVT_RELEASE_CALL, N}}),
              Notices());
}

TEST_F(VoipCallManager, NoAnswerWhileRinging) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    Elapse(30000);
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_ALERT, 180, -1, nullptr);
    Pump();
    Elapse(59999);   // the ring restarted the timer
    EXPECT_EQ(CC_ST_ALERTING, CC_GetCnxState(iCnx));
    Elapse(1);
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_ALERT, 180},
                                   {VOIPEVT_REMOTE_DISCONNECT, 1011},
                                   {VOIPEVT_RELEASE_CNX, N},
                                   {VOIPEVT_RELEASE_CALL, N}}),
              Notices());
    EXPECT_EQ(OSIP_UA_EVT_TIMEOUT, UaEvents().back().iEvent);
    EXPECT_EQ(2, UaEvents().back().iParam);   // the ring's timer: the user agent ends the dialog

    UiEvents().clear();
    Dial(&iCall, &iCnx);
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_ALERT, 180, -1, nullptr);
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_DISCONNECT, 480, -1, nullptr);
    Pump();
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_ALERT, 180},
                                   {VOIPEVT_REMOTE_DISCONNECT, 1011},
                                   {VOIPEVT_RELEASE_CNX, N},
                                   {VOIPEVT_RELEASE_CALL, N}}),
              Notices());
}

TEST_F(VoipCallManager, AnsweredCallHasNoTimeout) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    Answer(iCnx);
    Elapse(600000);
    EXPECT_EQ(CC_ST_CONNECTED, CC_GetCnxState(iCnx));
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_ANSWER, 200}}), Notices());
}

TEST_F(VoipCallManager, ConnectionTimerOfAnUnansweredIncomingCall) {
    int iCall, iCnx;
    Incoming(&iCall, &iCnx);
    Elapse(60000);
    ASSERT_FALSE(UaEvents().empty());
    EXPECT_EQ(OSIP_UA_EVT_TIMEOUT, UaEvents().back().iEvent);
    EXPECT_EQ(1, UaEvents().back().iParam);   // the user agent answers 480
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_NEWCALL, 1001},
                                   {VOIPEVT_REMOTE_DISCONNECT, 1009},
                                   {VOIPEVT_RELEASE_CNX, N},
                                   {VOIPEVT_RELEASE_CALL, N}}),
              Notices());
    EXPECT_EQ(16, CC_GetIdleCnxNum());
}

TEST_F(VoipCallManager, HeldOutgoingCallTimesOutToStateZero) {
    int iCallA, iCnxA;
    Dial(&iCallA, &iCnxA);
    Answer(iCnxA);
    int iCallB, iCnxB;
    Dial(&iCallB, &iCnxB, "carol@example.com");
    ASSERT_EQ(CC_ST_CALLING_HELD, CC_GetCnxState(iCnxB));
    UaEvents().clear();
    UiEvents().clear();
    Elapse(60000);
    EXPECT_FALSE(CC_IsCnxInUse(iCnxB));
    EXPECT_EQ(CC_ST_IDLE, CC_GetCnxState(iCnxB));
    EXPECT_FALSE(CC_IsCnxLocalHeld(iCnxB));
    // One CANCEL, and no second release from the DISCONNECT queued meanwhile.
    EXPECT_EQ((std::vector<int>{OSIP_UA_EVT_CANCEL}), UaEventNumbers());
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_DISCONNECT, 1009}, {VOIPEVT_RELEASE_CNX, N}, {VOIPEVT_RELEASE_CALL, N}}),
              Notices());
    EXPECT_EQ(CC_ST_CONNECTED, CC_GetCnxState(iCnxA));
}

// "tCallCtrl" waits for ever while no connection timer runs, else until the earliest is due. A
// message that ends a long wait has the timers counted first, so a timer it starts counts from then.
TEST_F(VoipCallManager, ControllerSleepsUntilTheEarliestTimer) {
    EXPECT_EQ(INFINITE, CC_NextWaitMs());
    // One round of the thread, parked on the test clock until the test has let time pass.
    auto round = [this](DWORD dwWaitMs, const std::function<void()>& meanwhile) {
        const int iParkedBefore = clock->waiters();
        std::thread thread([dwWaitMs] { CC_ThreadRound(dwWaitMs); });
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (clock->waiters() == iParkedBefore && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
        EXPECT_GT(clock->waiters(), iParkedBefore);
        meanwhile();
        thread.join();
    };
    int iCall = CM_AllocCall();
    int iCnx = CC_AllocCnx();
    round(3600000, [&] {
        clock->advance(100000);
        CM_SendEvent(iCall, iCnx, CMEVT_NEWCALL, -1, -1, strdup("bob@example.com"));
    });
    EXPECT_EQ(CC_ST_CALLING, CC_GetCnxState(iCnx));
    EXPECT_EQ(60000u, CC_NextWaitMs());
    Pump();

    // Half way, an incoming call starts a second timer.
    int iCall2 = CM_AllocCall();
    int iCnx2 = CC_AllocCnx();
    round(CC_NextWaitMs(), [&] {
        clock->advance(30000);
        CC_SendEvent(-1, iCnx2, CCEVT_REMOTE_NEWCALL, VOIP_CODE_NEW_CALL, iCall2, strdup("carol@example.com"));
    });
    EXPECT_EQ(CC_ST_OFFERED, CC_GetCnxState(iCnx2));
    EXPECT_EQ(30000u, CC_NextWaitMs());
    Pump();
    Elapse(30000);
    EXPECT_FALSE(CC_IsCnxInUse(iCnx));
    EXPECT_EQ(CC_ST_OFFERED, CC_GetCnxState(iCnx2));
    EXPECT_EQ(30000u, CC_NextWaitMs());
    Elapse(29999);
    EXPECT_EQ(CC_ST_OFFERED, CC_GetCnxState(iCnx2));
    EXPECT_EQ(kBeatMs, CC_NextWaitMs());  // never below the beat the timers are counted on
    Elapse(1);
    EXPECT_FALSE(CC_IsCnxInUse(iCnx2));
    EXPECT_EQ(INFINITE, CC_NextWaitMs());
}

// One's own identity, and a callee longer than the connection's field, are refused before any signalling.
TEST_F(VoipCallManager, CallingOnesOwnIdentity) {
    const struct {
        std::string callee;
        int iCode;
    } cases[] = {{"alice@example.com", 1012}, {"alice", 1012}, {std::string(CC_MAX_URI, 'x'), 414}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.callee);
        UiEvents().clear();
        int iCall = CM_AllocCall();
        int iCnx = CC_AllocCnx();
        CM_SendEvent(iCall, iCnx, CMEVT_NEWCALL, -1, -1, strdup(c.callee.c_str()));
        Pump();
        EXPECT_TRUE(UaEvents().empty());
        EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_DISCONNECT, c.iCode}, {VOIPEVT_RELEASE_CNX, N}, {VOIPEVT_RELEASE_CALL, N}}),
                  Notices());
        EXPECT_EQ(iCnx, UiEvents()[1].iCnxId);
        EXPECT_EQ(-1, UiEvents()[2].iCnxId);
        EXPECT_EQ(16, CC_GetIdleCnxNum());
        EXPECT_EQ(0, CM_GetActiveCallNum());
        EXPECT_EQ(-1, CM_GetCurrentCallId());
        EXPECT_TRUE(bridge.channels.empty());
    }
}

TEST_F(VoipCallManager, ExitWaitsForAHandlerStillRunning) {
    // A handler on another thread is held midway (its refusal deletes the connection's channel).
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bridge.onDeleteChannel = [&] {
        entered.set_value();
        released.wait();
    };
    int iCall = CM_AllocCall();
    int iCnx = CC_AllocCnx();
    std::thread handler([&] { CM_SendEvent(iCall, iCnx, CMEVT_NEWCALL, -1, -1, strdup("alice")); });
    entered.get_future().wait();
    bridge.onDeleteChannel = nullptr;
    std::future<void> exited = std::async(std::launch::async, [] { CM_Exit(); });
    // The exit must not destroy the mutex the handler holds; the wait can only miss a fault, never invent one.
    EXPECT_EQ(std::future_status::timeout, exited.wait_for(std::chrono::milliseconds(200)));
    release.set_value();
    handler.join();
    exited.wait();
    EXPECT_FALSE(CM_IsStarted());
    EXPECT_EQ(-1, CM_AllocCall());
}

TEST_F(VoipCallManager, SelfCallIntoAConferenceKeepsTheCall) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    Answer(iCnx);
    UiEvents().clear();
    int iSelf = CC_AllocCnx();
    CM_SendEvent(iCall, iSelf, CMEVT_NEWCALL, -1, -1, strdup("alice@example.com"));
    Pump();
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_DISCONNECT, 1012}, {VOIPEVT_RELEASE_CNX, N}}), Notices());
    EXPECT_EQ(CC_ST_CONNECTED, CC_GetCnxState(iCnx));
    EXPECT_EQ(iCall, CM_GetCurrentCallId());
    EXPECT_EQ(4, CM_GetFreeSeatNum(iCall));
}

// A peer's body may name any level: ours stays one below it without running past the largest number, so
// we still count as inside a conference (incoming calls refused) and a member added below gets a level.
TEST_F(VoipCallManager, TheHighestLevelAPeerCanNameStillPutsUsInAConference) {
    int iCall, iBob;
    Dial(&iCall, &iBob, "bob@example.com");
    Answer(iBob);
    CC_SendEvent(-1, iBob, CCEVT_REMOTE_INFO, -1, VOIP_INFO_CONTACT,
                 strdup("<URI>bob@example.com</URI><PARENT>NULL</PARENT><LEVEL>2147483647</LEVEL><STATUS> 4</STATUS>\n"));
    Pump();
    EXPECT_GE(CM_GetConfLevel(iCall), 1);
    EXPECT_LT(CM_GetConfLevel(iCall), INT32_MAX);
}

// The connection through which we joined another party's conference leaves: the call has no parent
// any more, and a newcomer that takes the freed connection is described as an ordinary member.
TEST_F(VoipCallManager, ParentConnectionLeavingTheCall) {
    int iCall, iBob, iDummy, iCarol;
    Dial(&iCall, &iBob, "bob@example.com");
    Answer(iBob);
    CC_SendEvent(-1, iBob, CCEVT_REMOTE_INFO, -1, VOIP_INFO_CONTACT,
                 strdup("<URI>bob@example.com</URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\n"));
    Pump();
    Dial(&iDummy, &iCarol, "carol@example.com", iCall);
    Answer(iCarol);
    CM_CALL snapshot;
    ASSERT_TRUE(CM_GetCallSnapshot(iCall, &snapshot));
    ASSERT_EQ(iBob, snapshot.iParentCnxId);

    UaEvents().clear();
    CC_SendEvent(-1, iBob, CCEVT_REMOTE_DISCONNECT, 480, -1, nullptr);
    Pump();
    ASSERT_TRUE(CM_GetCallSnapshot(iCall, &snapshot));
    EXPECT_EQ(-1, snapshot.iParentCnxId);
    // Carol hears that Bob left as the one above us, at the call's level once he is out of it.
    std::string leave;
    for (const UaEvent& ev : UaEvents()) {
        if (ev.iEvent == OSIP_UA_EVT_INFO && ev.iId == iCarol) leave = ev.text;
    }
    CM_CONTACT left[CM_MAX_CONTACT_NUM];
    ASSERT_EQ(1, CM_XmlParse(CM_XML_CONTACT, leave.c_str(), left)) << leave;
    EXPECT_STREQ("bob@example.com", left[0].szUri);
    EXPECT_STREQ("NULL", left[0].szParent);
    EXPECT_EQ(CM_GetConfLevel(iCall) - 1, left[0].iLevel);
    EXPECT_EQ(CM_CONTACT_STATUS_LEFT, left[0].iStatus);

    UaEvents().clear();
    int iDave;
    Dial(&iDummy, &iDave, "dave@example.com", iCall);
    Answer(iDave);
    std::string toCarol;
    for (const UaEvent& ev : UaEvents()) {
        if (ev.iEvent == OSIP_UA_EVT_INFO && ev.iId == iCarol) toCarol = ev.text;
    }
    CM_CONTACT lines[CM_MAX_CONTACT_NUM];
    ASSERT_EQ(2, CM_XmlParse(CM_XML_CONTACT, toCarol.c_str(), lines));
    EXPECT_STREQ("NULL", lines[0].szParent);
    EXPECT_STREQ("dave@example.com", lines[1].szUri);
    EXPECT_STREQ("alice@example.com", lines[1].szParent);
    EXPECT_EQ(CM_GetConfLevel(iCall) + 1, lines[1].iLevel);
}

TEST_F(VoipCallManager, IncomingCallRefusedWhileInAnotherPartysConference) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx, "bob@example.com");
    Answer(iCnx);
    // Bob tells us he hosts the conference we are in.
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_INFO, -1, VOIP_INFO_CONTACT,
                 strdup("<URI>bob@example.com</URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\n"
                        "<URI>dave@example.com</URI><PARENT>bob@example.com</PARENT><LEVEL> 1</LEVEL><STATUS> 4</STATUS>\n"));
    Pump();
    EXPECT_EQ(1, CM_GetConfLevel(iCall));
    CM_CALL snapshot;
    ASSERT_TRUE(CM_GetCallSnapshot(iCall, &snapshot));
    EXPECT_EQ(iCnx, snapshot.iParentCnxId);
    ASSERT_EQ(1u, snapshot.contacts.size());
    EXPECT_STREQ("dave@example.com", snapshot.contacts[0].szUri);
    // Both records reach the frame, each as its own copy.
    ASSERT_EQ(3u, UiEvents().size());
    EXPECT_EQ(VOIPEVT_REMOTE_CONTACT, UiEvents()[1].iEvent);
    EXPECT_STREQ("bob@example.com", UiEvents()[1].contact.szUri);
    EXPECT_STREQ("dave@example.com", UiEvents()[2].contact.szUri);
    EXPECT_EQ(1, UiEvents()[2].contact.iLevel);
    UiEvents().clear();
    UaEvents().clear();

    int iCall2, iCnx2;
    Incoming(&iCall2, &iCnx2, "eve@example.com");
    ASSERT_FALSE(UaEvents().empty());
    EXPECT_EQ(OSIP_UA_EVT_REJECT_INVITE, UaEvents().back().iEvent);
    EXPECT_EQ(486, UaEvents().back().iParam);
    for (const UiEvent& ev : UiEvents()) EXPECT_NE(VOIPEVT_REMOTE_NEWCALL, ev.iEvent);
    EXPECT_FALSE(CC_IsCnxInUse(iCnx2));
    EXPECT_EQ(1, CM_GetActiveCallNum());

    // A member that leaves is dropped from the list.
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_INFO, -1, VOIP_INFO_CONTACT,
                 strdup("<URI>dave@example.com</URI><PARENT>bob@example.com</PARENT><LEVEL> 1</LEVEL><STATUS> 0</STATUS>\n"));
    Pump();
    ASSERT_TRUE(CM_GetCallSnapshot(iCall, &snapshot));
    EXPECT_TRUE(snapshot.contacts.empty());

    // A member not listed yet is appended whatever its state; a peer's notices fill at most 32 entries.
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_INFO, -1, VOIP_INFO_CONTACT,
                 strdup("<URI>frank@example.com</URI><PARENT>bob@example.com</PARENT><LEVEL> 1</LEVEL><STATUS> 0</STATUS>\n"));
    Pump();
    ASSERT_TRUE(CM_GetCallSnapshot(iCall, &snapshot));
    ASSERT_EQ(1u, snapshot.contacts.size());
    EXPECT_STREQ("frank@example.com", snapshot.contacts[0].szUri);
    EXPECT_EQ(0, snapshot.contacts[0].iStatus);
    for (int iBody = 0; iBody < 4; ++iBody) {
        std::string body;
        for (int i = 0; i < CM_MAX_CONTACT_NUM; ++i) {
            body += "<URI>m" + std::to_string(iBody * CM_MAX_CONTACT_NUM + i) +
                    "@example.com</URI><PARENT>bob@example.com</PARENT><LEVEL> 1</LEVEL><STATUS> 4</STATUS>\n";
        }
        CC_SendEvent(-1, iCnx, CCEVT_REMOTE_INFO, -1, VOIP_INFO_CONTACT, strdup(body.c_str()));
        Pump();
    }
    ASSERT_TRUE(CM_GetCallSnapshot(iCall, &snapshot));
    EXPECT_EQ(static_cast<size_t>(CM_MAX_CONTACTS_KEPT), snapshot.contacts.size());
}

TEST_F(VoipCallManager, RegistrationNoticesOncePerRegistration) {
    CM_SendEvent(-1, -1, CMEVT_OSIP_STARTED, 200, -1, nullptr);
    CM_SendEvent(-1, -1, CMEVT_OSIP_STARTED, 200, -1, nullptr);
    CM_SendEvent(-1, -1, CMEVT_OSIP_STOPPED, 403, -1, nullptr);
    CM_SendEvent(-1, -1, CMEVT_OSIP_STOPPED, 403, -1, nullptr);
    CM_SendEvent(-1, -1, CMEVT_NO_RECORD_DEVICE, VOIP_CODE_NONE, 0, nullptr);
    Pump();
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_START, 200}, {VOIPEVT_STOP, 403}, {VOIPEVT_NO_RECORD_DEVICE, N}}), Notices());
}

TEST_F(VoipCallManager, StopEndsEveryCallAndUnregisters) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    Answer(iCnx);
    int iCall2, iCnx2;
    Incoming(&iCall2, &iCnx2);
    UaEvents().clear();
    CM_SendEvent(-1, -1, CMEVT_STOP, -1, 0, nullptr);
    Pump();
    EXPECT_EQ((std::vector<int>{OSIP_UA_EVT_BYE, OSIP_UA_EVT_REJECT_INVITE, OSIP_UA_EVT_UNREGISTER}), UaEventNumbers());
    EXPECT_EQ(16, CC_GetIdleCnxNum());
    EXPECT_TRUE(bridge.channels.empty());
    EXPECT_FALSE(CC_IsStarted());
    EXPECT_FALSE(CM_IsStarted());
    EXPECT_EQ(-1, CM_AllocCall());
    EXPECT_EQ(-1, CC_AllocCnx());
    // Events after the stop are refused and their values freed.
    EXPECT_EQ(-1, CM_SendEvent(0, 0, CMEVT_NEWCALL, -1, -1, strdup("bob@example.com")));
}

TEST_F(VoipCallManager, PoolsOfSixteenExhaustAndComeBack) {
    std::vector<int> calls, cnxs;
    for (int i = 0; i < CM_MAX_CALL_NUM; ++i) {
        int iCall, iCnx;
        Dial(&iCall, &iCnx, ("p" + std::to_string(i) + "@example.com").c_str());
        Answer(iCnx);
        calls.push_back(iCall);
        cnxs.push_back(iCnx);
    }
    EXPECT_EQ(-1, CM_AllocCall());
    EXPECT_EQ(-1, CC_AllocCnx());
    EXPECT_EQ(0, CC_GetIdleCnxNum());
    EXPECT_EQ(16, CM_GetActiveCallNum());
    EXPECT_EQ(16u, bridge.channels.size());
    // Ports go up in steps of two from 3000.
    EXPECT_EQ(3000, CC_GetCnxRecPort(cnxs[0]));

    for (size_t i = 0; i < calls.size(); ++i) CM_SendEvent(calls[i], cnxs[i], CMEVT_DISCONNECT, -1, -1, nullptr);
    Pump();
    EXPECT_EQ(16, CC_GetIdleCnxNum());
    EXPECT_EQ(0, CM_GetActiveCallNum());
    EXPECT_TRUE(bridge.channels.empty());
    EXPECT_EQ(-1, CM_GetCurrentCallId());
    for (int i = 0; i < 16; ++i) EXPECT_EQ(CC_ST_IDLE, CC_GetCnxState(i));

    // Every record can be taken again.
    for (int i = 0; i < 16; ++i) {
        EXPECT_GE(CM_AllocCall(), 0);
        EXPECT_GE(CC_AllocCnx(), 0);
    }
    EXPECT_EQ(-1, CM_AllocCall());
    EXPECT_EQ(-1, CC_AllocCnx());
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(0, CC_FreeCnx(i));
        EXPECT_EQ(0, CM_FreeCall(i));
    }
    EXPECT_EQ(16, CC_GetIdleCnxNum());
    EXPECT_EQ(0, CM_GetActiveCallNum());
}

TEST_F(VoipCallManager, StaleEventDoesNotActOnAReusedConnection) {
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    // A hang-up is queued, but the connection is freed and taken again before it runs.
    CC_SendEvent(iCall, iCnx, CCEVT_DISCONNECT, VOIP_CODE_NONE, 0, nullptr);
    CC_FreeCnx(iCnx);
    int iReused = CC_AllocCnx();
    ASSERT_EQ(iCnx, iReused);
    UaEvents().clear();
    TraceLines().clear();
    Pump();
    EXPECT_TRUE(UaEvents().empty());
    EXPECT_TRUE(CC_IsCnxInUse(iReused));
    EXPECT_EQ(CC_ST_IDLE, CC_GetCnxState(iReused));
    bool bTraced = false;
    for (const std::string& line : TraceLines()) bTraced |= line.find("dropped, the connection was released") != std::string::npos;
    EXPECT_TRUE(bTraced);

    // And an event for a free connection is refused at once.
    CC_FreeCnx(iReused);
    EXPECT_EQ(-1, CC_SendEvent(-1, iReused, CCEVT_REMOTE_ANSWER, 200, -1, NewMedia("10.0.0.1", 1000, 0)));
    EXPECT_EQ(0, CC_GetQueuedNum());
}

TEST_F(VoipCallManager, NoMicrophoneRefusesUnlessACallTalks) {
    ProbeResult() = false;
    EXPECT_EQ(-2, CC_AllocCnx());
    ProbeResult() = true;
    int iCall, iCnx;
    Dial(&iCall, &iCnx);
    Answer(iCnx);
    ProbeResult() = false;   // the running call holds the device
    int iSecond = CC_AllocCnx();
    EXPECT_GE(iSecond, 0);
    CC_FreeCnx(iSecond);
}

TEST_F(VoipCallManager, ReceivePortSearch) {
    bridge.failingPorts = {3000, 3002, 3004};
    int iCnx = CC_AllocCnx();
    ASSERT_GE(iCnx, 0);
    EXPECT_EQ(3006, CC_GetCnxRecPort(iCnx));
    CC_CNX cnx;
    CC_GetCnxSnapshot(iCnx, &cnx);
    EXPECT_EQ(13, bridge.channels[cnx.iChannel].iCnPayload);
    EXPECT_FALSE(bridge.Sending(cnx.iChannel));
    EXPECT_EQ(Ip("127.0.0.1"), cnx.uiLocalIp);
    EXPECT_EQ(102, cnx.aiPayload[0]);
    EXPECT_EQ(0, cnx.aiPayload[1]);
    EXPECT_EQ(255, cnx.aiPayload[2]);
    CC_FreeCnx(iCnx);

    // Every port failing: 3000 to 65000 are tried once each and the connection still stands.
    bridge.bFailAllPorts = true;
    bridge.iSetRecPortCalls = 0;
    iCnx = CC_AllocCnx();
    EXPECT_GE(iCnx, 0);
    EXPECT_EQ((65000 - 3000) / 2 + 1, bridge.iSetRecPortCalls);
    CC_FreeCnx(iCnx);

    bridge.bFailCreate = true;
    EXPECT_EQ(-1, CC_AllocCnx());
    EXPECT_EQ(16, CC_GetIdleCnxNum());
}

TEST_F(VoipCallManager, ReceivePortSearchMovesPastOurOwnConnectionsPorts) {
    // The engine refuses a port another channel holds; the second connection asks for it, is
    // refused and takes the next one.
    const int iFirst = CC_AllocCnx();
    ASSERT_GE(iFirst, 0);
    ASSERT_EQ(3000, CC_GetCnxRecPort(iFirst));
    bridge.iSetRecPortCalls = 0;
    const int iSecond = CC_AllocCnx();
    ASSERT_GE(iSecond, 0);
    EXPECT_EQ(3002, CC_GetCnxRecPort(iSecond));
    EXPECT_EQ(2, bridge.iSetRecPortCalls);
    CC_FreeCnx(iFirst);
    // A freed connection's port is taken again.
    const int iThird = CC_AllocCnx();
    ASSERT_GE(iThird, 0);
    EXPECT_EQ(3000, CC_GetCnxRecPort(iThird));
    CC_FreeCnx(iSecond);
    CC_FreeCnx(iThird);
}

TEST(VoipCallManagerNotStarted, EventsAreRefusedAndValuesFreed) {
    CC_SetRecordDeviceProbe(FakeProbe);
    ProbeResult() = true;
    ASSERT_EQ(0, CM_Init());
    EXPECT_TRUE(CM_IsStarted());  // ready from the start; a stop is what shuts it
    EXPECT_EQ(0, CM_SendEvent(-1, -1, CMEVT_STOP, -1, 0, nullptr));
    EXPECT_FALSE(CM_IsStarted());
    EXPECT_EQ(-1, CM_SendEvent(0, 0, CMEVT_NEWCALL, -1, -1, strdup("bob@example.com")));
    EXPECT_EQ(-1, CM_SendEvent(0, 0, CMEVT_REMOTE_CONTACT, -1, -1, calloc(1, sizeof(CM_CONTACT))));
    EXPECT_EQ(-1, CM_AllocCall());
    EXPECT_EQ(-1, CM_SendEvent(0, 0, 99, -1, -1, strdup("x")));
    CM_Exit();
    ASSERT_EQ(0, CC_Init(false));
    EXPECT_EQ(-1, CC_SendEvent(-1, 3, CCEVT_REMOTE_NEWCALL, 1001, 0, strdup("x")));
    EXPECT_EQ(-1, CC_AllocCnx());
    CC_Exit();
    // The user agent not running: its events are dropped and freed.
    OSIP_RegisterUaQueue(nullptr);
    EXPECT_EQ(-1, VOIP_SendUaEvent(0, OSIP_UA_EVT_INVITE, 0, strdup("bob")));
    EXPECT_EQ(-1, VOIP_SendUaEvent(-1, OSIP_UA_EVT_REGISTER, 0, NewRegInfo()));
    OSIP_RegisterUaQueue(CaptureUaPut);
    EXPECT_EQ(-1, VOIP_SendUaEvent(0, OSIP_UA_EVT_MAX, 0, strdup("bob")));
    OSIP_RegisterUaQueue(nullptr);
    // No frame window: the notice and its text are freed at once, and the caller is told nothing failed.
    VOIP_SetUiWindow(nullptr);
    EXPECT_EQ(0, PostVoipEventToUi(0, 0, VOIPEVT_REMOTE_NEWCALL, 1001, 0, strdup("carol")));
    CC_SetRecordDeviceProbe(nullptr);
}

// The real "tCallCtrl" thread, on test time: the 60 s timer ends an unanswered call.
class VoipCallControlThread : public CallControlTest {
protected:
    void SetUp() override {
        bStartThread = true;
        CallControlTest::SetUp();
        CM_SendEvent(-1, -1, CMEVT_START, -1, 0, NewRegInfo());
        ASSERT_TRUE(WaitFor([] { return CC_IsStarted(); }));
    }

    template <typename F>
    bool WaitFor(F done, int iTries = 2000) {
        for (int i = 0; i < iTries; ++i) {
            plat::PumpWindowMessages(hFrame);
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
};

TEST_F(VoipCallControlThread, TimerRunsOnTheControllerThread) {
    int iCall = CM_AllocCall();
    int iCnx = CC_AllocCnx();
    ASSERT_GE(iCnx, 0);
    CM_SendEvent(iCall, iCnx, CMEVT_NEWCALL, -1, -1, strdup("bob@example.com"));
    ASSERT_TRUE(WaitFor([&] { return CC_GetCnxState(iCnx) == CC_ST_CALLING; }));
    // Time moves in steps, as it does for the thread: a single jump could land between the
    // thread's arming of the timer and its next reading of the tick.
    bool bEnded = false;
    for (int iSecond = 0; iSecond < 62 && !bEnded; ++iSecond) {
        clock->advance(1000);
        bEnded = WaitFor([] { return UiEvents().size() >= 3; }, 20);
    }
    ASSERT_TRUE(bEnded);
    EXPECT_EQ((std::vector<Notice>{{VOIPEVT_REMOTE_DISCONNECT, 1010}, {VOIPEVT_RELEASE_CNX, N}, {VOIPEVT_RELEASE_CALL, N}}),
              Notices());
    EXPECT_TRUE(WaitFor([] { return CC_GetIdleCnxNum() == 16; }));
    CM_SendEvent(-1, -1, CMEVT_STOP, -1, 0, nullptr);
    EXPECT_TRUE(WaitFor([] {
        std::lock_guard<std::mutex> guard(CaptureMutex());
        for (const UaEvent& ev : UaEvents()) {
            if (ev.iEvent == OSIP_UA_EVT_UNREGISTER) return true;
        }
        return false;
    }));
}

}  // namespace
}  // namespace voiptest
