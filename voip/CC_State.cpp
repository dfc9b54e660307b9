// Connection state machine: the transition table of the ten connection states and its actions.
#include "voip/CC_State.h"

#include <cstdlib>
#include <cstring>

#include "common/debug.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/CM_Xml.h"
#include "voip/VoipCheck.h"
#include "voip/VoipUaQueue.h"

namespace {

const char kFile[] = "voip/CC_State";

// Short names of the actions as the table below lists them.
const CC_FSM_ACTION StartTimer = CC_ActStartTimer;
const CC_FSM_ACTION StopTimer = CC_ActStopTimer;
const CC_FSM_ACTION SetPeer = CC_ActSetPeer;
const CC_FSM_ACTION SendToUa = CC_ActSendToUa;
const CC_FSM_ACTION ReportToCm = CC_ActReportToCm;
const CC_FSM_ACTION StopMedia = CC_ActStopMedia;
const CC_FSM_ACTION StartMedia = CC_ActStartMedia;
const CC_FSM_ACTION ReleaseCnx = CC_ActReleaseCnx;
const CC_FSM_ACTION ApplyRemoteSdp = CC_ApplyRemoteSdp;
const CC_FSM_ACTION SendDtmf = CC_ActSendDtmf;
const CC_FSM_ACTION SendInfo = CC_ActSendInfo;
const CC_FSM_ACTION RemoteInfo = CC_ActRemoteInfo;

struct Row {
    int iState;
    int iEvent;
    CC_FSM_ACTION apfn[CC_FSM_ACTIONS];
    int iNext;
};

const int STAY = CC_FSM_STAY;

const Row kRows[] = {
    {CC_ST_IDLE, CCEVT_NEWCALL, {StartTimer, SendToUa, SetPeer}, CC_ST_CALLING},
    {CC_ST_IDLE, CCEVT_REMOTE_NEWCALL, {StartTimer, ReportToCm, SetPeer}, CC_ST_OFFERED},

    {CC_ST_CALLING, CCEVT_DISCONNECT, {SendToUa, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_CALLING, CCEVT_HOLD, {StopMedia, SendToUa}, CC_ST_CALLING_HELD},
    {CC_ST_CALLING, CCEVT_INFO, {SendInfo}, STAY},
    {CC_ST_CALLING, CCEVT_REMOTE_DISCONNECT, {ReportToCm, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_CALLING, CCEVT_REMOTE_ALERT, {StartTimer, ReportToCm}, CC_ST_ALERTING},
    {CC_ST_CALLING, CCEVT_REMOTE_ALERT_SDP, {StartTimer, ApplyRemoteSdp, StartMedia, ReportToCm}, CC_ST_ALERTING},
    {CC_ST_CALLING, CCEVT_REMOTE_ANSWER, {StopTimer, ApplyRemoteSdp, StartMedia, ReportToCm}, CC_ST_CONNECTED},
    {CC_ST_CALLING, CCEVT_REMOTE_INFO, {RemoteInfo}, STAY},
    {CC_ST_CALLING, CCEVT_TIMEOUT, {SendToUa, ReportToCm, ReleaseCnx}, CC_ST_IDLE},

    {CC_ST_ALERTING, CCEVT_DISCONNECT, {SendToUa, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_ALERTING, CCEVT_HOLD, {StopMedia, SendToUa}, CC_ST_ALERTING_HELD},
    {CC_ST_ALERTING, CCEVT_INFO, {SendInfo}, STAY},
    {CC_ST_ALERTING, CCEVT_REMOTE_DISCONNECT, {ReportToCm, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_ALERTING, CCEVT_REMOTE_ANSWER, {StopTimer, ApplyRemoteSdp, StartMedia, ReportToCm}, CC_ST_CONNECTED},
    {CC_ST_ALERTING, CCEVT_REMOTE_INFO, {RemoteInfo}, STAY},
    {CC_ST_ALERTING, CCEVT_TIMEOUT, {SendToUa, ReportToCm, ReleaseCnx}, CC_ST_IDLE},

    {CC_ST_OFFERED, CCEVT_DISCONNECT, {SendToUa, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_OFFERED, CCEVT_CONNECT, {StopTimer, StartMedia, SendToUa}, CC_ST_CONNECTED},
    {CC_ST_OFFERED, CCEVT_INFO, {SendInfo}, STAY},
    {CC_ST_OFFERED, CCEVT_REMOTE_DISCONNECT, {ReportToCm, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_OFFERED, CCEVT_REMOTE_HOLD, {StopMedia, ReportToCm}, CC_ST_OFFERED_REMOTE_HELD},
    {CC_ST_OFFERED, CCEVT_REMOTE_UPDATE, {ApplyRemoteSdp}, STAY},
    {CC_ST_OFFERED, CCEVT_REMOTE_INFO, {RemoteInfo}, STAY},
    {CC_ST_OFFERED, CCEVT_TIMEOUT, {SendToUa, ReportToCm, ReleaseCnx}, CC_ST_IDLE},

    {CC_ST_CONNECTED, CCEVT_DISCONNECT, {SendToUa, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_CONNECTED, CCEVT_HOLD, {StopMedia, SendToUa}, CC_ST_HELD},
    {CC_ST_CONNECTED, CCEVT_DTMF, {SendDtmf}, STAY},
    {CC_ST_CONNECTED, CCEVT_INFO, {SendInfo}, STAY},
    {CC_ST_CONNECTED, CCEVT_REMOTE_DISCONNECT, {ReportToCm, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_CONNECTED, CCEVT_REMOTE_HOLD, {StopMedia, ReportToCm}, CC_ST_REMOTE_HELD},
    {CC_ST_CONNECTED, CCEVT_REMOTE_UPDATE, {ApplyRemoteSdp}, STAY},
    {CC_ST_CONNECTED, CCEVT_REMOTE_INFO, {RemoteInfo}, STAY},

    {CC_ST_CALLING_HELD, CCEVT_DISCONNECT, {SendToUa, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_CALLING_HELD, CCEVT_UNHOLD, {SendToUa}, CC_ST_CALLING},
    {CC_ST_CALLING_HELD, CCEVT_INFO, {SendInfo}, STAY},
    {CC_ST_CALLING_HELD, CCEVT_REMOTE_DISCONNECT, {ReportToCm, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_CALLING_HELD, CCEVT_REMOTE_HOLD, {StopMedia, ReportToCm}, CC_ST_REMOTE_HELD},
    {CC_ST_CALLING_HELD, CCEVT_REMOTE_ALERT, {StartTimer, ReportToCm}, CC_ST_ALERTING_HELD},
    {CC_ST_CALLING_HELD, CCEVT_REMOTE_ALERT_SDP, {StartTimer, ApplyRemoteSdp, StartMedia, ReportToCm},
     CC_ST_ALERTING_HELD},
    {CC_ST_CALLING_HELD, CCEVT_REMOTE_ANSWER, {StopTimer, ApplyRemoteSdp, StartMedia, ReportToCm}, CC_ST_HELD},
    {CC_ST_CALLING_HELD, CCEVT_REMOTE_INFO, {RemoteInfo}, STAY},
    // The connection is released here, so it goes back to 0 like every other release.
    {CC_ST_CALLING_HELD, CCEVT_TIMEOUT, {SendToUa, ReportToCm, ReleaseCnx}, CC_ST_IDLE},

    {CC_ST_ALERTING_HELD, CCEVT_DISCONNECT, {SendToUa, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_ALERTING_HELD, CCEVT_UNHOLD, {SendToUa}, CC_ST_ALERTING},
    {CC_ST_ALERTING_HELD, CCEVT_INFO, {SendInfo}, STAY},
    // A failure or refusal while the held call rings ends it at once instead of waiting for the timer.
    {CC_ST_ALERTING_HELD, CCEVT_REMOTE_DISCONNECT, {ReportToCm, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_ALERTING_HELD, CCEVT_REMOTE_ANSWER, {StopTimer, ApplyRemoteSdp, ReportToCm}, CC_ST_HELD},
    {CC_ST_ALERTING_HELD, CCEVT_REMOTE_INFO, {RemoteInfo}, STAY},
    {CC_ST_ALERTING_HELD, CCEVT_TIMEOUT, {SendToUa, ReportToCm, ReleaseCnx}, CC_ST_IDLE},

    {CC_ST_HELD, CCEVT_DISCONNECT, {SendToUa, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_HELD, CCEVT_UNHOLD, {StartMedia, SendToUa}, CC_ST_CONNECTED},
    {CC_ST_HELD, CCEVT_INFO, {SendInfo}, STAY},
    {CC_ST_HELD, CCEVT_REMOTE_DISCONNECT, {ReportToCm, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_HELD, CCEVT_REMOTE_UPDATE, {ApplyRemoteSdp}, STAY},
    {CC_ST_HELD, CCEVT_REMOTE_INFO, {RemoteInfo}, STAY},

    {CC_ST_OFFERED_REMOTE_HELD, CCEVT_DISCONNECT, {SendToUa, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_OFFERED_REMOTE_HELD, CCEVT_CONNECT, {StopTimer, SendToUa}, CC_ST_REMOTE_HELD},
    {CC_ST_OFFERED_REMOTE_HELD, CCEVT_INFO, {SendInfo}, STAY},
    {CC_ST_OFFERED_REMOTE_HELD, CCEVT_REMOTE_DISCONNECT, {ReportToCm, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_OFFERED_REMOTE_HELD, CCEVT_REMOTE_UNHOLD, {ReportToCm}, CC_ST_OFFERED},
    {CC_ST_OFFERED_REMOTE_HELD, CCEVT_REMOTE_INFO, {RemoteInfo}, STAY},
    {CC_ST_OFFERED_REMOTE_HELD, CCEVT_TIMEOUT, {SendToUa, ReportToCm, ReleaseCnx}, CC_ST_IDLE},

    {CC_ST_REMOTE_HELD, CCEVT_DISCONNECT, {SendToUa, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_REMOTE_HELD, CCEVT_INFO, {SendInfo}, STAY},
    {CC_ST_REMOTE_HELD, CCEVT_REMOTE_DISCONNECT, {ReportToCm, ReleaseCnx}, CC_ST_IDLE},
    {CC_ST_REMOTE_HELD, CCEVT_REMOTE_UNHOLD, {StartMedia, ReportToCm}, CC_ST_CONNECTED},
    {CC_ST_REMOTE_HELD, CCEVT_REMOTE_INFO, {RemoteInfo}, STAY},
};

struct FsmTable {
    CC_FSM_ENTRY astEntry[static_cast<int>(CC_ST_NUM) * static_cast<int>(CCEVT_MAX)];
    FsmTable() {
        for (CC_FSM_ENTRY& entry : astEntry) {
            for (CC_FSM_ACTION& pfn : entry.apfnAction) pfn = nullptr;
            entry.ucNextState = CC_FSM_IGNORE;
        }
        for (const Row& row : kRows) {
            CC_FSM_ENTRY& entry = astEntry[row.iState * CCEVT_MAX + row.iEvent];
            for (int i = 0; i < CC_FSM_ACTIONS; ++i) entry.apfnAction[i] = row.apfn[i];
            entry.ucNextState = static_cast<uint8_t>(row.iNext);
        }
    }
};

// The connection of a block, with the checks every action makes.
CC_CNX* CheckedCnx(CC_FSM_BLK* pstCtrlBlkEntry, CC_MSG* pstMsg) {
    if (!VOIP_CHECK(NULL != pstCtrlBlkEntry, kFile)) return nullptr;
    if (!VOIP_CHECK(NULL != pstMsg, kFile)) return nullptr;
    CC_CNX* pstCnx = CC_GetCnx(pstCtrlBlkEntry->iCnxId);
    if (!VOIP_CHECK(NULL != pstCnx, kFile)) return nullptr;
    return pstCnx;
}

bool IsHeldState(int iState) {
    return iState == CC_ST_CALLING_HELD || iState == CC_ST_ALERTING_HELD || iState == CC_ST_HELD ||
           iState == CC_ST_OFFERED_REMOTE_HELD || iState == CC_ST_REMOTE_HELD;
}

// Heap copy of a URI text below CC_MAX_URI characters; null when missing, too long or out of memory.
char* CopyUri(const void* pValue) {
    if (!VOIP_CHECK(NULL != pValue, kFile)) return nullptr;
    const char* pszUri = static_cast<const char*>(pValue);
    size_t iLen = strnlen(pszUri, CC_MAX_URI);
    if (!VOIP_CHECK(CC_MAX_URI > iLen, kFile)) return nullptr;
    char* pszCopy = static_cast<char*>(malloc(iLen + 1));
    if (pszCopy == nullptr) return nullptr;
    memcpy(pszCopy, pszUri, iLen);
    pszCopy[iLen] = '\0';
    return pszCopy;
}

// SIP final status for refusing an offered call: 486 when busy, otherwise declined.
int RejectStatus(int iParam2) { return (iParam2 >= 400 && iParam2 <= 699) ? iParam2 : 603; }

// The user-agent event for (state, event), with its parameter; -1 when the pair sends nothing.
int UaEventFor(int iState, const CC_MSG* pstMsg, int* piParam) {
    int iEvent = pstMsg->iEvent;
    *piParam = pstMsg->iParam2;
    switch (iState) {
        case CC_ST_IDLE:
            return iEvent == CCEVT_NEWCALL ? OSIP_UA_EVT_INVITE : -1;
        case CC_ST_CALLING:
        case CC_ST_ALERTING:
            if (iEvent == CCEVT_DISCONNECT) return OSIP_UA_EVT_CANCEL;
            if (iEvent == CCEVT_HOLD) return OSIP_UA_EVT_HOLD;
            if (iEvent == CCEVT_TIMEOUT) return OSIP_UA_EVT_TIMEOUT;
            return -1;
        case CC_ST_OFFERED:
        case CC_ST_OFFERED_REMOTE_HELD:
            // An offered call is answered with a final response, never cancelled.
            if (iEvent == CCEVT_DISCONNECT) {
                *piParam = RejectStatus(pstMsg->iParam2);
                return OSIP_UA_EVT_REJECT_INVITE;
            }
            if (iEvent == CCEVT_CONNECT) return OSIP_UA_EVT_ACCEPT_INVITE;
            if (iEvent == CCEVT_TIMEOUT) {
                *piParam = 1;  // answer 480
                return OSIP_UA_EVT_TIMEOUT;
            }
            return -1;
        case CC_ST_CONNECTED:
            if (iEvent == CCEVT_DISCONNECT) return OSIP_UA_EVT_BYE;
            if (iEvent == CCEVT_HOLD) return OSIP_UA_EVT_HOLD;
            return -1;
        case CC_ST_CALLING_HELD:
            if (iEvent == CCEVT_DISCONNECT || iEvent == CCEVT_TIMEOUT) return OSIP_UA_EVT_CANCEL;
            if (iEvent == CCEVT_UNHOLD) return OSIP_UA_EVT_UNHOLD;
            return -1;
        case CC_ST_ALERTING_HELD:
            if (iEvent == CCEVT_DISCONNECT) return OSIP_UA_EVT_CANCEL;
            if (iEvent == CCEVT_UNHOLD) return OSIP_UA_EVT_UNHOLD;
            if (iEvent == CCEVT_TIMEOUT) return OSIP_UA_EVT_TIMEOUT;
            return -1;
        case CC_ST_HELD:
            if (iEvent == CCEVT_DISCONNECT) return OSIP_UA_EVT_BYE;
            if (iEvent == CCEVT_UNHOLD) return OSIP_UA_EVT_UNHOLD;
            return -1;
        case CC_ST_REMOTE_HELD:
            return iEvent == CCEVT_DISCONNECT ? OSIP_UA_EVT_BYE : -1;
        default:
            return -1;
    }
}

// The call-manager event for (state, event), with the code it carries; -1 when the pair reports nothing.
int CmEventFor(int iState, const CC_MSG* pstMsg, int* piCode) {
    int iEvent = pstMsg->iEvent;
    int iCode = pstMsg->iParam1;
    int iCmEvent = -1;
    // A 480 (no answer) says which stage the outgoing call had reached.
    int iNoAnswer = (iState == CC_ST_ALERTING || iState == CC_ST_ALERTING_HELD) ? VOIP_CODE_NO_ANSWER
                                                                                 : VOIP_CODE_NO_PROVISIONAL;
    switch (iEvent) {
        case CCEVT_REMOTE_NEWCALL:
            if (iState == CC_ST_IDLE) iCmEvent = CMEVT_REMOTE_NEWCALL;
            break;
        case CCEVT_REMOTE_DISCONNECT:
            if (iState >= CC_ST_CALLING && iState <= CC_ST_REMOTE_HELD) {
                iCmEvent = CMEVT_REMOTE_DISCONNECT;
                if (iCode == 480 && (iState == CC_ST_CALLING || iState == CC_ST_ALERTING ||
                                     iState == CC_ST_CALLING_HELD || iState == CC_ST_ALERTING_HELD)) {
                    iCode = iNoAnswer;
                }
            }
            break;
        case CCEVT_REMOTE_HOLD:
            if (iState == CC_ST_OFFERED || iState == CC_ST_CONNECTED) iCmEvent = CMEVT_REMOTE_HOLD;
            break;
        case CCEVT_REMOTE_UNHOLD:
            if (iState == CC_ST_OFFERED_REMOTE_HELD || iState == CC_ST_REMOTE_HELD) iCmEvent = CMEVT_REMOTE_UNHOLD;
            break;
        case CCEVT_REMOTE_ALERT:
            if (iState == CC_ST_CALLING || iState == CC_ST_CALLING_HELD) iCmEvent = CMEVT_REMOTE_ALERT;
            break;
        case CCEVT_REMOTE_ALERT_SDP:
            if (iState == CC_ST_CALLING || iState == CC_ST_CALLING_HELD) iCmEvent = CMEVT_REMOTE_ALERT_SDP;
            break;
        case CCEVT_REMOTE_ANSWER:
            if (iState == CC_ST_CALLING || iState == CC_ST_ALERTING || iState == CC_ST_CALLING_HELD ||
                iState == CC_ST_ALERTING_HELD) {
                iCmEvent = CMEVT_REMOTE_ANSWER;
            }
            break;
        case CCEVT_TIMEOUT:
            if (iState == CC_ST_CALLING) {
                iCmEvent = CMEVT_DISCONNECT;
                iCode = VOIP_CODE_NO_PROVISIONAL;
            } else if (iState == CC_ST_ALERTING) {
                iCmEvent = CMEVT_DISCONNECT;
                iCode = VOIP_CODE_NO_ANSWER;
            } else if (iState == CC_ST_OFFERED || iState == CC_ST_CALLING_HELD || iState == CC_ST_ALERTING_HELD ||
                       iState == CC_ST_OFFERED_REMOTE_HELD) {
                iCmEvent = CMEVT_DISCONNECT;
                iCode = VOIP_CODE_CNX_TIMEOUT;
            }
            break;
        default:
            break;
    }
    *piCode = iCode;
    return iCmEvent;
}

}  // namespace

const CC_FSM_ENTRY* CC_GetFsmTable() {
    static const FsmTable table;
    return table.astEntry;
}

void CC_StartFsm(CC_FSM_BLK* pstFsm) {
    pstFsm->ucCurState = CC_ST_IDLE;
    pstFsm->ucPrevState = CC_FSM_IGNORE;
    pstFsm->ucLastEvent = CC_FSM_IGNORE;
}

int CC_RunFsm(CC_FSM_BLK* pstFsm, int iEvent, CC_MSG* pstMsg) {
    if (!VOIP_CHECK(NULL != pstFsm, kFile) || pstFsm->pstTable == nullptr) return -1;
    int iState = pstFsm->ucCurState;
    if (iState >= CC_ST_NUM || iEvent < 0 || iEvent >= pstFsm->iEventNum) return 0;
    const CC_FSM_ENTRY& entry = pstFsm->pstTable[iState * pstFsm->iEventNum + iEvent];
    if (entry.ucNextState == CC_FSM_IGNORE) return 0;
    CC_CNX* pstCnx = CC_GetCnx(pstFsm->iCnxId);
    uint32_t uiGeneration = pstCnx ? pstCnx->uiGeneration : 0;
    for (CC_FSM_ACTION pfnAction : entry.apfnAction) {
        if (pfnAction != nullptr) pfnAction(pstFsm, entry.ucNextState, pstMsg);
    }
    if (entry.ucNextState < CC_ST_NUM) {
        CC_LockPool();
        // Another thread may have taken the released connection meanwhile; leave its new machine alone.
        if (pstCnx == nullptr || pstCnx->uiGeneration == uiGeneration) {
            pstFsm->ucLastEvent = static_cast<uint8_t>(iEvent);
            pstFsm->ucPrevState = static_cast<uint8_t>(iState);
            pstFsm->ucCurState = entry.ucNextState;
        }
        CC_UnlockPool();
    }
    return 0;
}

int CC_ActStartTimer(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    return CC_StartCnxTimer(pstCnx->iCnxId, pstMsg->iEvent);
}

int CC_ActStopTimer(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    return CC_StopCnxTimer(pstCnx->iCnxId);
}

int CC_ActSetPeer(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    if (!VOIP_CHECK(NULL != pstMsg->pValue, kFile)) return -1;
    const char* pszUri = static_cast<const char*>(pstMsg->pValue);
    size_t iLen = strnlen(pszUri, CC_MAX_URI);
    if (iLen >= CC_MAX_URI) {
        // A peer address from the network may be longer than the field: keep its first 127 characters.
        VOIP_CHECK_LOG("CC_MAX_URI > iLen", kFile);
        iLen = CC_MAX_URI - 1;
    }
    CC_LockPool();
    memcpy(pstCnx->szPeerUri, pszUri, iLen);
    pstCnx->szPeerUri[iLen] = '\0';
    CC_UnlockPool();
    CC_SetCnxDirection(pstCnx->iCnxId, pstMsg->iEvent);
    return 0;
}

int CC_ActSendToUa(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    int iState = pstFsm->ucCurState;
    int iParam = 0;
    int iUaEvent = UaEventFor(iState, pstMsg, &iParam);
    if (iUaEvent < 0) return -1;
    void* pValue = nullptr;
    if (iState == CC_ST_IDLE) {
        pValue = CopyUri(pstMsg->pValue);
        if (pValue == nullptr) return -1;
    }
    return VOIP_SendUaEvent(pstCnx->iCnxId, iUaEvent, iParam, pValue);
}

int CC_ActReportToCm(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    int iState = pstFsm->ucCurState;
    int iCode = VOIP_CODE_NONE;
    int iCmEvent = CmEventFor(iState, pstMsg, &iCode);
    if (iCmEvent < 0) return -1;
    int iCallId = pstCnx->iCallId;
    void* pValue = nullptr;
    if (iState == CC_ST_IDLE) {
        // The call manager gets its own copy of the caller; the message keeps the original.
        iCallId = pstMsg->iParam2;
        if (!VOIP_CHECK(NULL != pstMsg->pValue, kFile)) return -1;
        size_t iLen = strnlen(static_cast<const char*>(pstMsg->pValue), CC_MAX_URI);
        char* pszCopy = static_cast<char*>(malloc(iLen + 1));
        if (pszCopy == nullptr) return -1;
        memcpy(pszCopy, pstMsg->pValue, iLen);
        pszCopy[iLen] = '\0';
        pValue = pszCopy;
    }
    return CM_SendEvent(iCallId, pstCnx->iCnxId, iCmEvent, iCode, -1, pValue);
}

int CC_ActStopMedia(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    if (!VOIP_CHECK(NULL != pstMsg && CC_IsValidCnxId(pstMsg->iCnxId), kFile)) return -1;
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    CC_CnxStopSend(pstCnx->iCnxId);
    CC_CnxStopPlayout(pstCnx->iCnxId);
    return 0;
}

int CC_ActStartMedia(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg) {
    if (!VOIP_CHECK(NULL != pstMsg && CC_IsValidCnxId(pstMsg->iCnxId), kFile)) return -1;
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    int iCnxId = pstCnx->iCnxId;
    // A held connection gets no media until it is taken off hold.
    if (IsHeldState(iNextState)) return 0;
    CC_CnxStartListen(iCnxId);
    // Early media runs both ways: a peer's announcement may ask for an answer or tones before it answers.
    CC_CnxStopSend(iCnxId);
    CC_CnxStartSend(iCnxId);
    CC_CnxStartPlayout(iCnxId);
    return 0;
}

int CC_ActReleaseCnx(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    int iCnxId = pstCnx->iCnxId;
    CM_SendEvent(pstCnx->iCallId, iCnxId, CMEVT_RELEASE, VOIP_CODE_NONE, -1, nullptr);
    CC_CnxStopSend(iCnxId);
    CC_CnxStopPlayout(iCnxId);
    CC_FreeCnxInCC(iCnxId);
    return 0;
}

int CC_ApplyRemoteSdp(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    if (!VOIP_CHECK(NULL != pstMsg->pValue, kFile)) return -1;
    const auto* pstMedia = static_cast<const CC_REMOTE_MEDIA*>(pstMsg->pValue);
    if (pstMedia->iValid != 1) return -1;
    int iCnxId = pstCnx->iCnxId;
    CC_LockPool();
    pstCnx->uiRemoteIp = pstMedia->uiRemoteIp;
    pstCnx->iRemotePort = pstMedia->iRemotePort;
    pstCnx->iSendPayload = pstMedia->iPayload;
    pstCnx->iPtime = pstMedia->iPtime;
    bool bWasSending = pstCnx->bSending != 0 || pstCnx->bSendDue != 0;
    pstCnx->bNoSend = pstMedia->bNoSend != 0;
    CC_UnlockPool();
    CC_CnxStopSend(iCnxId);
    CC_SetCnxSendAddr(iCnxId, pstMedia->uiRemoteIp, pstMedia->iRemotePort);
    CC_SetCnxSendCodec(iCnxId, pstMedia->iPayload);
    // A peer that numbers our codec with a dynamic payload type of its own.
    const int iPeerNumber = pstMedia->aiSdpPriv[0];
    if (iPeerNumber >= 96 && iPeerNumber <= 127 && iPeerNumber != pstMedia->iPayload) {
        CC_SetCnxPayloadNumber(iCnxId, pstMedia->iPayload, iPeerNumber);
    }
    // Telephone events go under the peer's number for them; a peer that names none keeps ours.
    const int iPeerEvents = pstMedia->aiSdpPriv[1];
    if (iPeerEvents >= 96 && iPeerEvents <= 127) CC_SetCnxDtmfPayload(iCnxId, iPeerEvents);
    // Only a connection that was already sending (answered, not held) resumes with the new media,
    // and only while the peer's direction lets it.
    if (bWasSending && !IsHeldState(pstFsm->ucCurState)) CC_CnxStartSend(iCnxId);
    return 0;
}

int CC_ActSendDtmf(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    int iDigit = pstMsg->iParam2;
    if (iDigit < 0 || iDigit > CC_DTMF_MAX) return -1;
    return CC_CnxSendDtmf(pstCnx->iCnxId, iDigit);
}

int CC_ActSendInfo(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    if (!VOIP_CHECK(NULL != pstMsg->pValue, kFile)) return -1;
    char* pszCopy = strdup(static_cast<const char*>(pstMsg->pValue));
    if (pszCopy == nullptr) return -1;
    return VOIP_SendUaEvent(pstCnx->iCnxId, OSIP_UA_EVT_INFO, VOIP_INFO_CONTACT, pszCopy);
}

int CC_ActRemoteInfo(CC_FSM_BLK* pstFsm, int, CC_MSG* pstMsg) {
    CC_CNX* pstCnx = CheckedCnx(pstFsm, pstMsg);
    if (pstCnx == nullptr) return -1;
    if (pstMsg->iParam2 != VOIP_INFO_CONTACT) return -1;
    if (!VOIP_CHECK(NULL != pstMsg->pValue, kFile)) return -1;
    CM_CONTACT astContact[CM_MAX_CONTACT_NUM];
    int iCount = CM_XmlParse(CM_XML_CONTACT, static_cast<const char*>(pstMsg->pValue), astContact,
                             CM_MAX_CONTACT_NUM);
    if (iCount < 1) return -1;
    for (int i = 0; i < iCount; ++i) {
        // Each record handed on is the call manager's own.
        auto* pstCopy = static_cast<CM_CONTACT*>(malloc(sizeof(CM_CONTACT)));
        if (pstCopy == nullptr) return -1;
        *pstCopy = astContact[i];
        CM_SendEvent(pstCnx->iCallId, pstCnx->iCnxId, CMEVT_REMOTE_CONTACT, VOIP_CODE_NONE, 0, pstCopy);
    }
    return 0;
}
