// Every (state, event) cell of the connection state machine: next state, user-agent event, call-manager report, media.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "voip/CC_State.h"
#include "voip_test_support.h"

namespace voiptest {
namespace {

const int KEEP = -2;    // timer left as it was
const int NONE = -1;    // no user-agent event
const int kPresetTimer = 9;

struct Cell {
    int iState;
    int iEvent;
    int iNext;                                // final state
    bool bReleased;                           // the connection is free afterwards
    int iUaEvent;                             // NONE or an OSIP_UA_EVT
    int iUaParam;
    std::vector<std::pair<int, int>> cmReports;   // (CMEVT, code) in order
    int iTimer;                               // timer id afterwards, KEEP, or 255 disarmed
};

const int R = CMEVT_RELEASE;
const int N = VOIP_CODE_NONE;

// Every cell that does something; all other cells must be ignored.
const std::vector<Cell>& Cells() {
    static const std::vector<Cell> cells = {
        {0, CCEVT_NEWCALL, 1, false, OSIP_UA_EVT_INVITE, -1, {}, 0},
        {0, CCEVT_REMOTE_NEWCALL, 3, false, NONE, 0, {{CMEVT_REMOTE_NEWCALL, 1001}}, 1},

        {1, CCEVT_DISCONNECT, 0, true, OSIP_UA_EVT_CANCEL, 0, {{R, N}}, 255},
        {1, CCEVT_HOLD, 5, false, OSIP_UA_EVT_HOLD, 0, {}, KEEP},
        {1, CCEVT_INFO, 1, false, OSIP_UA_EVT_INFO, 1, {}, KEEP},
        {1, CCEVT_REMOTE_DISCONNECT, 0, true, NONE, 0, {{CMEVT_REMOTE_DISCONNECT, 1010}, {R, N}}, 255},
        {1, CCEVT_REMOTE_ALERT, 2, false, NONE, 0, {{CMEVT_REMOTE_ALERT, 180}}, 2},
        {1, CCEVT_REMOTE_ALERT_SDP, 2, false, NONE, 0, {{CMEVT_REMOTE_ALERT_SDP, 180}}, 2},
        {1, CCEVT_REMOTE_ANSWER, 4, false, NONE, 0, {{CMEVT_REMOTE_ANSWER, 200}}, 255},
        {1, CCEVT_REMOTE_INFO, 1, false, NONE, 0, {{CMEVT_REMOTE_CONTACT, N}}, KEEP},
        {1, CCEVT_TIMEOUT, 0, true, OSIP_UA_EVT_TIMEOUT, 0, {{CMEVT_DISCONNECT, 1010}, {R, N}}, 255},

        {2, CCEVT_DISCONNECT, 0, true, OSIP_UA_EVT_CANCEL, 0, {{R, N}}, 255},
        {2, CCEVT_HOLD, 6, false, OSIP_UA_EVT_HOLD, 0, {}, KEEP},
        {2, CCEVT_INFO, 2, false, OSIP_UA_EVT_INFO, 1, {}, KEEP},
        {2, CCEVT_REMOTE_DISCONNECT, 0, true, NONE, 0, {{CMEVT_REMOTE_DISCONNECT, 1011}, {R, N}}, 255},
        {2, CCEVT_REMOTE_ANSWER, 4, false, NONE, 0, {{CMEVT_REMOTE_ANSWER, 200}}, 255},
        {2, CCEVT_REMOTE_INFO, 2, false, NONE, 0, {{CMEVT_REMOTE_CONTACT, N}}, KEEP},
        {2, CCEVT_TIMEOUT, 0, true, OSIP_UA_EVT_TIMEOUT, 0, {{CMEVT_DISCONNECT, 1011}, {R, N}}, 255},

        {3, CCEVT_DISCONNECT, 0, true, OSIP_UA_EVT_REJECT_INVITE, 603, {{R, N}}, 255},
        {3, CCEVT_CONNECT, 4, false, OSIP_UA_EVT_ACCEPT_INVITE, -1, {}, 255},
        {3, CCEVT_INFO, 3, false, OSIP_UA_EVT_INFO, 1, {}, KEEP},
        {3, CCEVT_REMOTE_DISCONNECT, 0, true, NONE, 0, {{CMEVT_REMOTE_DISCONNECT, 480}, {R, N}}, 255},
        {3, CCEVT_REMOTE_HOLD, 8, false, NONE, 0, {{CMEVT_REMOTE_HOLD, -1}}, KEEP},
        {3, CCEVT_REMOTE_UPDATE, 3, false, NONE, 0, {}, KEEP},
        {3, CCEVT_REMOTE_INFO, 3, false, NONE, 0, {{CMEVT_REMOTE_CONTACT, N}}, KEEP},
        {3, CCEVT_TIMEOUT, 0, true, OSIP_UA_EVT_TIMEOUT, 1, {{CMEVT_DISCONNECT, 1009}, {R, N}}, 255},

        {4, CCEVT_DISCONNECT, 0, true, OSIP_UA_EVT_BYE, 0, {{R, N}}, 255},
        {4, CCEVT_HOLD, 7, false, OSIP_UA_EVT_HOLD, 0, {}, KEEP},
        {4, CCEVT_DTMF, 4, false, NONE, 0, {}, KEEP},
        {4, CCEVT_INFO, 4, false, OSIP_UA_EVT_INFO, 1, {}, KEEP},
        {4, CCEVT_REMOTE_DISCONNECT, 0, true, NONE, 0, {{CMEVT_REMOTE_DISCONNECT, 480}, {R, N}}, 255},
        {4, CCEVT_REMOTE_HOLD, 9, false, NONE, 0, {{CMEVT_REMOTE_HOLD, -1}}, KEEP},
        {4, CCEVT_REMOTE_UPDATE, 4, false, NONE, 0, {}, KEEP},
        {4, CCEVT_REMOTE_INFO, 4, false, NONE, 0, {{CMEVT_REMOTE_CONTACT, N}}, KEEP},

        {5, CCEVT_DISCONNECT, 0, true, OSIP_UA_EVT_CANCEL, 0, {{R, N}}, 255},
        {5, CCEVT_UNHOLD, 1, false, OSIP_UA_EVT_UNHOLD, 0, {}, KEEP},
        {5, CCEVT_INFO, 5, false, OSIP_UA_EVT_INFO, 1, {}, KEEP},
        {5, CCEVT_REMOTE_DISCONNECT, 0, true, NONE, 0, {{CMEVT_REMOTE_DISCONNECT, 1010}, {R, N}}, 255},
        {5, CCEVT_REMOTE_HOLD, 9, false, NONE, 0, {}, KEEP},
        {5, CCEVT_REMOTE_ALERT, 6, false, NONE, 0, {{CMEVT_REMOTE_ALERT, 180}}, 2},
        {5, CCEVT_REMOTE_ALERT_SDP, 6, false, NONE, 0, {{CMEVT_REMOTE_ALERT_SDP, 180}}, 2},
        {5, CCEVT_REMOTE_ANSWER, 7, false, NONE, 0, {{CMEVT_REMOTE_ANSWER, 200}}, 255},
        {5, CCEVT_REMOTE_INFO, 5, false, NONE, 0, {{CMEVT_REMOTE_CONTACT, N}}, KEEP},
        {5, CCEVT_TIMEOUT, 0, true, OSIP_UA_EVT_CANCEL, 0, {{CMEVT_DISCONNECT, 1009}, {R, N}}, 255},

        {6, CCEVT_DISCONNECT, 0, true, OSIP_UA_EVT_CANCEL, 0, {{R, N}}, 255},
        {6, CCEVT_UNHOLD, 2, false, OSIP_UA_EVT_UNHOLD, 0, {}, KEEP},
        {6, CCEVT_INFO, 6, false, OSIP_UA_EVT_INFO, 1, {}, KEEP},
        {6, CCEVT_REMOTE_DISCONNECT, 0, true, NONE, 0, {{CMEVT_REMOTE_DISCONNECT, 1011}, {R, N}}, 255},
        {6, CCEVT_REMOTE_ANSWER, 7, false, NONE, 0, {{CMEVT_REMOTE_ANSWER, 200}}, 255},
        {6, CCEVT_REMOTE_INFO, 6, false, NONE, 0, {{CMEVT_REMOTE_CONTACT, N}}, KEEP},
        {6, CCEVT_TIMEOUT, 0, true, OSIP_UA_EVT_TIMEOUT, 0, {{CMEVT_DISCONNECT, 1009}, {R, N}}, 255},

        {7, CCEVT_DISCONNECT, 0, true, OSIP_UA_EVT_BYE, 0, {{R, N}}, 255},
        {7, CCEVT_UNHOLD, 4, false, OSIP_UA_EVT_UNHOLD, 0, {}, KEEP},
        {7, CCEVT_INFO, 7, false, OSIP_UA_EVT_INFO, 1, {}, KEEP},
        {7, CCEVT_REMOTE_DISCONNECT, 0, true, NONE, 0, {{CMEVT_REMOTE_DISCONNECT, 480}, {R, N}}, 255},
        {7, CCEVT_REMOTE_UPDATE, 7, false, NONE, 0, {}, KEEP},
        {7, CCEVT_REMOTE_INFO, 7, false, NONE, 0, {{CMEVT_REMOTE_CONTACT, N}}, KEEP},

        {8, CCEVT_DISCONNECT, 0, true, OSIP_UA_EVT_REJECT_INVITE, 603, {{R, N}}, 255},
        {8, CCEVT_CONNECT, 9, false, OSIP_UA_EVT_ACCEPT_INVITE, -1, {}, 255},
        {8, CCEVT_INFO, 8, false, OSIP_UA_EVT_INFO, 1, {}, KEEP},
        {8, CCEVT_REMOTE_DISCONNECT, 0, true, NONE, 0, {{CMEVT_REMOTE_DISCONNECT, 480}, {R, N}}, 255},
        {8, CCEVT_REMOTE_UNHOLD, 3, false, NONE, 0, {{CMEVT_REMOTE_UNHOLD, -1}}, KEEP},
        {8, CCEVT_REMOTE_INFO, 8, false, NONE, 0, {{CMEVT_REMOTE_CONTACT, N}}, KEEP},
        {8, CCEVT_TIMEOUT, 0, true, OSIP_UA_EVT_TIMEOUT, 1, {{CMEVT_DISCONNECT, 1009}, {R, N}}, 255},

        {9, CCEVT_DISCONNECT, 0, true, OSIP_UA_EVT_BYE, 0, {{R, N}}, 255},
        {9, CCEVT_INFO, 9, false, OSIP_UA_EVT_INFO, 1, {}, KEEP},
        {9, CCEVT_REMOTE_DISCONNECT, 0, true, NONE, 0, {{CMEVT_REMOTE_DISCONNECT, 480}, {R, N}}, 255},
        {9, CCEVT_REMOTE_UNHOLD, 4, false, NONE, 0, {{CMEVT_REMOTE_UNHOLD, -1}}, KEEP},
        {9, CCEVT_REMOTE_INFO, 9, false, NONE, 0, {{CMEVT_REMOTE_CONTACT, N}}, KEEP},
    };
    return cells;
}

const char kContactBody[] = "<URI>dave@example.com</URI><PARENT>alice@example.com</PARENT><LEVEL> 1</LEVEL><STATUS> 4</STATUS>\n";

// The message each event arrives with (as the call manager, the timers or the user agent send it).
CC_MSG MakeMsg(int iCall, int iCnx, int iEvent) {
    CC_MSG msg{iCall, iCnx, iEvent, VOIP_CODE_NONE, 0, nullptr, 0};
    switch (iEvent) {
        case CCEVT_NEWCALL: msg.iParam2 = -1; msg.pValue = strdup("bob@example.com"); break;
        case CCEVT_CONNECT: msg.iParam2 = -1; break;
        case CCEVT_DTMF: msg.iParam2 = 5; break;
        case CCEVT_INFO: msg.pValue = strdup(kContactBody); break;
        case CCEVT_REMOTE_NEWCALL: msg.iParam1 = 1001; msg.iParam2 = iCall; msg.pValue = strdup("carol@example.com"); break;
        case CCEVT_REMOTE_DISCONNECT: msg.iParam1 = 480; msg.iParam2 = -1; break;
        case CCEVT_REMOTE_HOLD: msg.iParam1 = -1; msg.pValue = strdup("<ACT>HOLD</ACT>\n"); break;
        case CCEVT_REMOTE_UNHOLD: msg.iParam1 = -1; break;
        case CCEVT_REMOTE_ALERT: msg.iParam1 = 180; msg.iParam2 = -1; break;
        case CCEVT_REMOTE_ALERT_SDP: msg.iParam1 = 180; msg.iParam2 = -1; msg.pValue = NewMedia("10.1.1.1", 41000, 0); break;
        case CCEVT_REMOTE_ANSWER: msg.iParam1 = 200; msg.iParam2 = -1; msg.pValue = NewMedia("10.1.1.1", 41000, 0); break;
        case CCEVT_REMOTE_UPDATE: msg.iParam2 = -1; msg.pValue = NewMedia("10.1.1.2", 42000, 8); break;
        case CCEVT_REMOTE_INFO: msg.iParam1 = -1; msg.iParam2 = VOIP_INFO_CONTACT; msg.pValue = strdup(kContactBody); break;
        case CCEVT_TIMEOUT: msg.iParam1 = VOIP_CODE_CNX_TIMEOUT; msg.iParam2 = 0; break;
        default: break;
    }
    return msg;
}

// (event, code) pairs of the call manager's event log.
std::vector<std::pair<int, int>> CmReports() {
    std::vector<std::pair<int, int>> reports;
    for (const std::string& line : TraceLines()) {
        int iCall, iCnx, iCode;
        char szName[64];
        if (sscanf(line.c_str(), "CM_ProcessEvent: (%d, %d), %63[^,], %d", &iCall, &iCnx, szName, &iCode) != 4) continue;
        int iEvent = -1;
        for (int e = 0; e < CMEVT_MAX; ++e) {
            if (strcmp(CM_GetEventName(e), szName) == 0) iEvent = e;
        }
        reports.push_back({iEvent, iCode});
    }
    return reports;
}

class VoipConnectionFsm : public CallControlTest {};

TEST_F(VoipConnectionFsm, EveryCellOfTheTable) {
    int iChecked = 0;
    for (int iState = 0; iState < CC_ST_NUM; ++iState) {
        for (int iEvent = 0; iEvent < CCEVT_MAX; ++iEvent) {
            const Cell* pCell = nullptr;
            for (const Cell& c : Cells()) {
                if (c.iState == iState && c.iEvent == iEvent) pCell = &c;
            }
            Cell ignored{iState, iEvent, iState, false, NONE, 0, {}, KEEP};
            const Cell& cell = pCell ? *pCell : ignored;
            SCOPED_TRACE("state " + std::to_string(iState) + ", " + CC_GetEventName(iEvent));

            int iCall = CM_AllocCall();
            ASSERT_GE(iCall, 0);
            int iCnx = CC_AllocCnx();
            ASSERT_GE(iCnx, 0);
            CC_SetCnxCallId(iCall, iCnx);
            CC_CNX* pstCnx = CC_GetCnx(iCnx);
            pstCnx->stFsm.ucCurState = static_cast<uint8_t>(iState);
            pstCnx->stTimer.iTimerId = kPresetTimer;
            pstCnx->stTimer.bArmed = 1;
            pstCnx->stTimer.iRemainMs = pstCnx->stTimer.iInitMs = 30000;
            int iChannel = pstCnx->iChannel;
            if (iState == CC_ST_CONNECTED) {
                CC_CnxStartSend(iCnx);
                CC_CnxStartPlayout(iCnx);
            }
            UaEvents().clear();
            TraceLines().clear();
            bridge.calls.clear();

            CC_MSG msg = MakeMsg(iCall, iCnx, iEvent);
            CC_RunFsm(&pstCnx->stFsm, iEvent, &msg);
            free(msg.pValue);

            CC_CNX after;
            CC_GetCnxSnapshot(iCnx, &after);
            EXPECT_EQ(cell.iNext, after.stFsm.ucCurState);
            EXPECT_EQ(!cell.bReleased, after.bInUse != 0);
            if (cell.iUaEvent == NONE) {
                EXPECT_TRUE(UaEvents().empty()) << OSIP_GetUaEventName(UaEvents()[0].iEvent);
            } else {
                ASSERT_EQ(1u, UaEvents().size());
                EXPECT_STREQ(OSIP_GetUaEventName(cell.iUaEvent), OSIP_GetUaEventName(UaEvents()[0].iEvent));
                EXPECT_EQ(cell.iUaParam, UaEvents()[0].iParam);
                EXPECT_EQ(iCnx, UaEvents()[0].iId);
            }
            EXPECT_EQ(cell.cmReports, CmReports());
            int iTimer = cell.iTimer == KEEP ? kPresetTimer : cell.iTimer;
            EXPECT_EQ(iTimer, after.stTimer.iTimerId);
            // Audio leaves from a connected connection and from one hearing early media, never from a held one.
            EXPECT_EQ(after.bInUse && (after.stFsm.ucCurState == CC_ST_CONNECTED ||
                                       (pCell && after.stFsm.ucCurState == CC_ST_ALERTING && cell.iEvent == CCEVT_REMOTE_ALERT_SDP)),
                      bridge.Sending(iChannel));
            if (cell.bReleased) {
                EXPECT_EQ(0u, bridge.channels.count(iChannel));
            }
            if (pCell == nullptr) {
                EXPECT_TRUE(bridge.calls.empty());
            }
            // Every media start asks again for listening and playout, which a running channel refuses;
            // sending is stopped before it is started again, so it is never refused.
            for (const std::string& refused : bridge.refused)
                EXPECT_TRUE(refused.rfind("StartListen", 0) == 0 || refused.rfind("StartPlayout", 0) == 0) << refused;
            bridge.refused.clear();

            if (after.bInUse) CC_FreeCnx(iCnx);
            CM_FreeCall(iCall);
            Pump();
            UiEvents().clear();
            iChecked++;
        }
    }
    EXPECT_EQ(static_cast<int>(CC_ST_NUM) * static_cast<int>(CCEVT_MAX), iChecked);
    EXPECT_EQ(16, CC_GetIdleCnxNum());
}

TEST_F(VoipConnectionFsm, MediaDetailsOfTheMediaCells) {
    int iCall = CM_AllocCall();
    int iCnx = CC_AllocCnx();
    CC_SetCnxCallId(iCall, iCnx);
    CC_CNX* pstCnx = CC_GetCnx(iCnx);
    int iChannel = pstCnx->iChannel;

    // Early media while calling: heard, and the microphone goes out to the peer too.
    pstCnx->stFsm.ucCurState = CC_ST_CALLING;
    CC_MSG msg = MakeMsg(iCall, iCnx, CCEVT_REMOTE_ALERT_SDP);
    CC_RunFsm(&pstCnx->stFsm, CCEVT_REMOTE_ALERT_SDP, &msg);
    free(msg.pValue);
    EXPECT_TRUE(bridge.channels[iChannel].bListening);
    EXPECT_TRUE(bridge.Playing(iChannel));
    EXPECT_TRUE(bridge.Sending(iChannel));
    EXPECT_EQ(Ip("10.1.1.1"), bridge.channels[iChannel].uiSendIp);
    EXPECT_EQ(41000, bridge.channels[iChannel].iSendPort);
    EXPECT_EQ(4, bridge.channels[iChannel].iCodecIndex);  // PCMU
    EXPECT_TRUE(CC_IsCnxPayloadPcmu(iCnx));

    // The answer opens the microphone.
    msg = MakeMsg(iCall, iCnx, CCEVT_REMOTE_ANSWER);
    CC_RunFsm(&pstCnx->stFsm, CCEVT_REMOTE_ANSWER, &msg);
    free(msg.pValue);
    EXPECT_TRUE(bridge.Sending(iChannel));

    // A media update while talking moves the stream and keeps sending.
    msg = MakeMsg(iCall, iCnx, CCEVT_REMOTE_UPDATE);
    CC_RunFsm(&pstCnx->stFsm, CCEVT_REMOTE_UPDATE, &msg);
    free(msg.pValue);
    EXPECT_TRUE(bridge.Sending(iChannel));
    EXPECT_EQ(42000, bridge.channels[iChannel].iSendPort);
    EXPECT_EQ(5, bridge.channels[iChannel].iCodecIndex);  // PCMA

    // Held: an update does not resume sending; unhold does.
    msg = MakeMsg(iCall, iCnx, CCEVT_HOLD);
    CC_RunFsm(&pstCnx->stFsm, CCEVT_HOLD, &msg);
    EXPECT_FALSE(bridge.Sending(iChannel));
    EXPECT_FALSE(bridge.Playing(iChannel));
    msg = MakeMsg(iCall, iCnx, CCEVT_REMOTE_UPDATE);
    CC_RunFsm(&pstCnx->stFsm, CCEVT_REMOTE_UPDATE, &msg);
    free(msg.pValue);
    EXPECT_FALSE(bridge.Sending(iChannel));
    msg = MakeMsg(iCall, iCnx, CCEVT_UNHOLD);
    CC_RunFsm(&pstCnx->stFsm, CCEVT_UNHOLD, &msg);
    EXPECT_TRUE(bridge.Sending(iChannel));
    EXPECT_TRUE(bridge.Playing(iChannel));

    // DTMF: digits 0-9, * (10) and # (11) only.
    for (int iDigit : {0, 9, 10, 11, 12, -1}) {
        CC_MSG dtmf{iCall, iCnx, CCEVT_DTMF, VOIP_CODE_NONE, iDigit, nullptr, 0};
        CC_RunFsm(&pstCnx->stFsm, CCEVT_DTMF, &dtmf);
    }
    EXPECT_EQ((std::vector<int>{0, 9, 10, 11}), bridge.channels[iChannel].dtmf);

    // A remote media record that is not valid changes nothing.
    CC_REMOTE_MEDIA* pBad = NewMedia("10.9.9.9", 1, 0);
    pBad->iValid = 0;
    CC_MSG update{iCall, iCnx, CCEVT_REMOTE_UPDATE, VOIP_CODE_NONE, -1, pBad, 0};
    EXPECT_EQ(-1, CC_ApplyRemoteSdp(&pstCnx->stFsm, CC_FSM_STAY, &update));
    free(pBad);
    EXPECT_EQ(42000, bridge.channels[iChannel].iSendPort);
    CC_FreeCnx(iCnx);
}

// Media starts on early media and again on the answer and on every resume, each time asking the
// engine to listen, restart sending and play out (a second start the engine refuses changes
// nothing), and each resume brings sending and playout back.
TEST_F(VoipConnectionFsm, EveryMediaStartAsksForListenSendAndPlayout) {
    struct Step {
        int iEvent;
        bool bMediaOn;  // sending and playing afterwards
    };
    struct Path {
        const char* name;
        int iStart;
        std::vector<Step> steps;
    };
    const std::vector<Path> paths = {
        {"outgoing with early media", CC_ST_CALLING,
         {{CCEVT_REMOTE_ALERT_SDP, true}, {CCEVT_REMOTE_ANSWER, true}, {CCEVT_HOLD, false}, {CCEVT_UNHOLD, true},
          {CCEVT_HOLD, false}, {CCEVT_UNHOLD, true}, {CCEVT_REMOTE_HOLD, false}, {CCEVT_REMOTE_UNHOLD, true}}},
        {"outgoing answered at once", CC_ST_CALLING,
         {{CCEVT_REMOTE_ANSWER, true}, {CCEVT_REMOTE_HOLD, false}, {CCEVT_REMOTE_UNHOLD, true}, {CCEVT_HOLD, false},
          {CCEVT_UNHOLD, true}}},
        {"incoming", CC_ST_OFFERED, {{CCEVT_CONNECT, true}, {CCEVT_HOLD, false}, {CCEVT_UNHOLD, true}}},
    };
    for (const Path& path : paths) {
        SCOPED_TRACE(path.name);
        int iCall = CM_AllocCall();
        int iCnx = CC_AllocCnx();
        ASSERT_GE(iCnx, 0);
        CC_SetCnxCallId(iCall, iCnx);
        CC_CNX* pstCnx = CC_GetCnx(iCnx);
        int iChannel = pstCnx->iChannel;
        pstCnx->stFsm.ucCurState = static_cast<uint8_t>(path.iStart);
        const std::string ch = "(" + std::to_string(iChannel) + ")";
        const std::vector<std::string> mediaStart = {"StartListen" + ch, "StopSend" + ch, "StartSend" + ch,
                                                     "StartPlayout" + ch};
        for (const Step& step : path.steps) {
            SCOPED_TRACE(CC_GetEventName(step.iEvent));
            bridge.calls.clear();
            CC_MSG msg = MakeMsg(iCall, iCnx, step.iEvent);
            CC_RunFsm(&pstCnx->stFsm, step.iEvent, &msg);
            free(msg.pValue);
            if (step.bMediaOn) {
                ASSERT_GE(bridge.calls.size(), mediaStart.size());
                EXPECT_EQ(mediaStart, std::vector<std::string>(bridge.calls.end() - mediaStart.size(), bridge.calls.end()));
            }
            EXPECT_TRUE(bridge.channels[iChannel].bListening);
            EXPECT_EQ(step.bMediaOn, bridge.Sending(iChannel));
            EXPECT_EQ(step.bMediaOn, bridge.Playing(iChannel));
        }
        bridge.calls.clear();
        bridge.refused.clear();
        CC_FreeCnx(iCnx);
        CM_FreeCall(iCall);
        Pump();
    }
}

// A peer that holds the call by its SDP (sendonly or inactive, answered recvonly or inactive) gets
// nothing from us until a new offer lets us send; our own hold and unhold do not undo that.
TEST_F(VoipConnectionFsm, PeersSdpHoldKeepsUsFromSending) {
    struct Step {
        int iEvent;
        int bNoSend;   // of the update's media record
        bool bSending; // afterwards
    };
    struct Path {
        const char* name;
        int iStart;
        std::vector<Step> steps;
    };
    const std::vector<Path> paths = {
        {"held, then resumed", CC_ST_CONNECTED,
         {{CCEVT_REMOTE_UPDATE, 0, true}, {CCEVT_REMOTE_UPDATE, 1, false}, {CCEVT_REMOTE_UPDATE, 1, false},
          {CCEVT_REMOTE_UPDATE, 0, true}}},
        {"our hold inside the peer's", CC_ST_CONNECTED,
         {{CCEVT_REMOTE_UPDATE, 0, true}, {CCEVT_REMOTE_UPDATE, 1, false}, {CCEVT_HOLD, 0, false},
          {CCEVT_UNHOLD, 0, false}, {CCEVT_REMOTE_UPDATE, 0, true}}},
        {"resumed while we hold", CC_ST_CONNECTED,
         {{CCEVT_REMOTE_UPDATE, 1, false}, {CCEVT_HOLD, 0, false}, {CCEVT_REMOTE_UPDATE, 0, false},
          {CCEVT_UNHOLD, 0, true}}},
        {"offered on hold", CC_ST_OFFERED,
         {{CCEVT_REMOTE_UPDATE, 1, false}, {CCEVT_CONNECT, 0, false}, {CCEVT_REMOTE_UPDATE, 0, true}}},
    };
    for (const Path& path : paths) {
        SCOPED_TRACE(path.name);
        int iCall = CM_AllocCall();
        int iCnx = CC_AllocCnx();
        ASSERT_GE(iCnx, 0);
        CC_SetCnxCallId(iCall, iCnx);
        CC_CNX* pstCnx = CC_GetCnx(iCnx);
        int iChannel = pstCnx->iChannel;
        pstCnx->stFsm.ucCurState = static_cast<uint8_t>(path.iStart);
        if (path.iStart == CC_ST_CONNECTED) {
            CC_MSG start = MakeMsg(iCall, iCnx, CCEVT_CONNECT);
            CC_ActStartMedia(&pstCnx->stFsm, CC_ST_CONNECTED, &start);
        }
        for (size_t i = 0; i < path.steps.size(); ++i) {
            const Step& step = path.steps[i];
            SCOPED_TRACE(i);
            CC_MSG msg = MakeMsg(iCall, iCnx, step.iEvent);
            if (step.iEvent == CCEVT_REMOTE_UPDATE) static_cast<CC_REMOTE_MEDIA*>(msg.pValue)->bNoSend = step.bNoSend;
            CC_RunFsm(&pstCnx->stFsm, step.iEvent, &msg);
            free(msg.pValue);
            // Every media start asks again for listening and playout, which a running channel refuses;
            // sending is stopped before it is started again, so it is never refused.
            for (const std::string& refused : bridge.refused)
                EXPECT_TRUE(refused.rfind("StartListen", 0) == 0 || refused.rfind("StartPlayout", 0) == 0) << refused;
            EXPECT_EQ(step.bSending, bridge.Sending(iChannel));
        }
        CC_FreeCnx(iCnx);
        CM_FreeCall(iCall);
        Pump();
    }
}

// The SDP code matched our codec under the peer's own dynamic number: the engine sends and
// receives it under that number; our own numbers change nothing.
TEST_F(VoipConnectionFsm, PeersDynamicPayloadNumberReachesTheEngine) {
    struct Case {
        int iPayload;
        int iPeerNumber;
        int iExpected;
    };
    for (const Case& c : {Case{102, 96, 96}, Case{102, 98, 98}, Case{102, 102, 0}, Case{0, 0, 0}, Case{102, 200, 0}}) {
        int iCall = CM_AllocCall();
        int iCnx = CC_AllocCnx();
        ASSERT_GE(iCnx, 0);
        CC_CNX* pstCnx = CC_GetCnx(iCnx);
        int iChannel = pstCnx->iChannel;
        CC_REMOTE_MEDIA* pMedia = NewMedia("10.1.1.1", 40000, c.iPayload);
        pMedia->aiSdpPriv[0] = c.iPeerNumber;
        CC_MSG update{iCall, iCnx, CCEVT_REMOTE_UPDATE, VOIP_CODE_NONE, -1, pMedia, 0};
        EXPECT_EQ(0, CC_ApplyRemoteSdp(&pstCnx->stFsm, CC_FSM_STAY, &update));
        free(pMedia);
        EXPECT_EQ(c.iExpected, bridge.channels[iChannel].iPeerNumber) << c.iPayload << "/" << c.iPeerNumber;
        EXPECT_EQ(Sonra_PayloadToCodecIndex(c.iPayload), bridge.channels[iChannel].iCodecIndex);
        CC_FreeCnx(iCnx);
        CM_FreeCall(iCall);
    }
}

// Telephone events are sent under the number the peer gave them; a peer that names none (one of
// our own kind) leaves the engine's own number alone.
TEST_F(VoipConnectionFsm, PeersTelephoneEventNumberReachesTheEngine) {
    for (int iPeerEvents : {101, 106, 127, 0, 95, 128}) {
        int iCall = CM_AllocCall();
        int iCnx = CC_AllocCnx();
        ASSERT_GE(iCnx, 0);
        CC_CNX* pstCnx = CC_GetCnx(iCnx);
        int iChannel = pstCnx->iChannel;
        CC_REMOTE_MEDIA* pMedia = NewMedia("10.1.1.1", 40000, 0);
        pMedia->aiSdpPriv[1] = iPeerEvents;
        CC_MSG update{iCall, iCnx, CCEVT_REMOTE_UPDATE, VOIP_CODE_NONE, -1, pMedia, 0};
        EXPECT_EQ(0, CC_ApplyRemoteSdp(&pstCnx->stFsm, CC_FSM_STAY, &update));
        free(pMedia);
        bool bValid = iPeerEvents >= 96 && iPeerEvents <= 127;
        EXPECT_EQ(bValid ? iPeerEvents : 0, bridge.channels[iChannel].iDtmfPayload) << iPeerEvents;
        CC_FreeCnx(iCnx);
        CM_FreeCall(iCall);
    }
}

TEST_F(VoipConnectionFsm, RejectCarriesTheBusyStatus) {
    int iCall = CM_AllocCall();
    int iCnx = CC_AllocCnx();
    CC_SetCnxCallId(iCall, iCnx);
    CC_CNX* pstCnx = CC_GetCnx(iCnx);
    pstCnx->stFsm.ucCurState = CC_ST_OFFERED;
    CC_MSG msg{iCall, iCnx, CCEVT_DISCONNECT, VOIP_CODE_NONE, 486, nullptr, 0};
    CC_RunFsm(&pstCnx->stFsm, CCEVT_DISCONNECT, &msg);
    ASSERT_EQ(1u, UaEvents().size());
    EXPECT_EQ(OSIP_UA_EVT_REJECT_INVITE, UaEvents()[0].iEvent);
    EXPECT_EQ(486, UaEvents()[0].iParam);
}

TEST_F(VoipConnectionFsm, RemoteDisconnectCodesOtherThan480PassThrough) {
    int iCall = CM_AllocCall();
    int iCnx = CC_AllocCnx();
    CC_SetCnxCallId(iCall, iCnx);
    CC_CNX* pstCnx = CC_GetCnx(iCnx);
    pstCnx->stFsm.ucCurState = CC_ST_CALLING;
    CC_MSG msg{-1, iCnx, CCEVT_REMOTE_DISCONNECT, 486, -1, nullptr, 0};
    CC_RunFsm(&pstCnx->stFsm, CCEVT_REMOTE_DISCONNECT, &msg);
    auto reports = CmReports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(std::make_pair(static_cast<int>(CMEVT_REMOTE_DISCONNECT), 486), reports[0]);
}

TEST_F(VoipConnectionFsm, OverLongPeerUriFromTheNetworkIsCut) {
    int iCall = CM_AllocCall();
    int iCnx = CC_AllocCnx();
    std::string longUri(300, 'x');
    CC_SendEvent(-1, iCnx, CCEVT_REMOTE_NEWCALL, VOIP_CODE_NEW_CALL, iCall, strdup(longUri.c_str()));
    Pump();
    char szPeer[CC_MAX_URI];
    ASSERT_EQ(0, CC_GetCnxPeerUri(iCnx, szPeer));
    EXPECT_EQ(std::string(127, 'x'), szPeer);
    ASSERT_FALSE(UiEvents().empty());
    EXPECT_EQ(VOIPEVT_REMOTE_NEWCALL, UiEvents()[0].iEvent);
    EXPECT_EQ(std::string(127, 'x'), UiEvents()[0].text);
    EXPECT_EQ(CC_DIR_INCOMING, CC_GetCnxDirection(iCnx));
}

}  // namespace
}  // namespace voiptest
