// Connection controller: connection pool, event queue, "tCallCtrl" thread, connection timers and media helpers.
#include "voip/CC_Main.h"

#include <arpa/inet.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "common/debug.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/wave.h"
#include "voip/VoipCheck.h"
#include "voip/VoipLock.h"
#include "voip/VoipUaQueue.h"

namespace {

const char kFile[] = "voip/CC_Main";
// The connection timers are counted when a wait of this long passes without a message.
const DWORD kThreadWaitMs = 50;

struct CC_CTRL_BLK {
    std::atomic<int> bStarted{0};
    std::atomic<int> bRunning{0};
    plat::Thread* pstThread = nullptr;
    std::mutex fifoMutex;
    std::deque<CC_MSG*> fifo;
    plat::Semaphore* pstSemEvent = nullptr;
    plat::Semaphore* pstSemThread = nullptr;
    plat::RecursiveMutex* pstMutexCnxPool = nullptr;
    CC_CNX astCnx[CC_MAX_CNX_NUM];
    DWORD dwLastTick = 0;
    bool bInit = false;
};

CC_CTRL_BLK g_stCc;
std::atomic<CC_RECORD_PROBE> g_pfnProbe{nullptr};

// Connection timers: the event that arms one, its id and its length.
struct TimerRow {
    int iEvent;
    int iTimerId;
    int iMs;
};
const TimerRow kTimerTable[] = {
    {CCEVT_NEWCALL, 0, CC_CNX_TIMER_MS},
    {CCEVT_REMOTE_NEWCALL, 1, CC_CNX_TIMER_MS},
    {CCEVT_REMOTE_ALERT, 2, CC_CNX_TIMER_MS},
    {CCEVT_REMOTE_ALERT_SDP, 2, CC_CNX_TIMER_MS},
    {255, 0, 0},
};

// Holds the connection pool's mutex.
class PoolLock : public VoipLock {
public:
    PoolLock() : VoipLock(g_stCc.pstMutexCnxPool) {}
};

uint32_t ResetRemoteIp() {
    uint32_t uiHost = 0;
    plat::ParseIPv4(CC_RESET_REMOTE_IP, &uiHost);
    return htonl(uiHost);
}

uint32_t LocalIpNetOrder() { return htonl(plat::LocalAddressFor(0)); }

void InitLocalMedia(CC_CNX* pstCnx) {
    pstCnx->uiLocalIp = LocalIpNetOrder();
    for (int i = 0; i < SONRA_PAYLOAD_LIST_LEN; ++i) pstCnx->aiPayload[i] = Sonra_GetDefaultPayload(i);
    pstCnx->iPayloadNum = SONRA_PAYLOAD_LIST_LEN;
    pstCnx->iCnPayload = CC_CN_PAYLOAD;
}

void ResetCnx(CC_CNX* pstCnx) {
    pstCnx->stTimer = CC_CNX_TIMER();
    memset(pstCnx->szPeerUri, 0, sizeof(pstCnx->szPeerUri));
    pstCnx->uiRemoteIp = ResetRemoteIp();
    pstCnx->iRemotePort = CC_RESET_REMOTE_PORT;
    pstCnx->aiMedia1[0] = pstCnx->aiMedia1[1] = -1;
    pstCnx->iMedia2 = 0;
    pstCnx->iSendPayload = -1;
    pstCnx->iPtime = 0;
    pstCnx->aiMedia3[0] = pstCnx->aiMedia3[1] = 0;
    pstCnx->iMedia4 = -1;
    pstCnx->stFsm.ucLastEvent = CC_FSM_IGNORE;
    pstCnx->stFsm.ucPrevState = CC_FSM_IGNORE;
    pstCnx->stFsm.ucCurState = CC_FSM_IGNORE;
    if (pstCnx->iChannel >= 0) {
        Sonra_StopSend(pstCnx->iChannel);
        Sonra_StopPlayout(pstCnx->iChannel);
    }
    pstCnx->bSending = 0;
    pstCnx->bNoSend = 0;
    pstCnx->bSendDue = 0;
    pstCnx->iCallId = -1;
    pstCnx->bInUse = 0;
    pstCnx->iDirection = CC_DIR_NONE;
}

CC_CNX* CnxOf(int iCnxId) {
    if (!CC_IsValidCnxId(iCnxId)) return nullptr;
    return &g_stCc.astCnx[iCnxId];
}

// The connection's channel, or -1.
int ChannelOf(int iCnxId) {
    CC_CNX* pstCnx = CnxOf(iCnxId);
    return pstCnx ? pstCnx->iChannel : -1;
}

void FreeMsg(CC_MSG* pstMsg) {
    if (pstMsg == nullptr) return;
    free(pstMsg->pValue);
    free(pstMsg);
}

CC_MSG* PopMsg() {
    std::lock_guard<std::mutex> guard(g_stCc.fifoMutex);
    if (g_stCc.fifo.empty()) return nullptr;
    CC_MSG* pstMsg = g_stCc.fifo.front();
    g_stCc.fifo.pop_front();
    return pstMsg;
}

void RunTimers() {
    DWORD dwNow = GetTickCount();
    DWORD dwElapsed = plat::TickElapsed(dwNow, g_stCc.dwLastTick);
    g_stCc.dwLastTick = dwNow;
    CC_TimerTick(dwElapsed);
}

bool DefaultProbe() {
    WAVEFORMATEX stFormat;
    memset(&stFormat, 0, sizeof(stFormat));
    stFormat.wFormatTag = WAVE_FORMAT_PCM;
    stFormat.nChannels = 1;
    stFormat.nSamplesPerSec = 22050;
    stFormat.wBitsPerSample = 16;
    stFormat.nBlockAlign = 2;
    stFormat.nAvgBytesPerSec = 22050 * 2;
    HWAVEIN hWaveIn = nullptr;
    if (waveInOpen(&hWaveIn, WAVE_MAPPER, &stFormat, 0, 0, CALLBACK_NULL) != 0) return false;
    waveInClose(hWaveIn);
    return true;
}

void ThreadMain() {
    while (g_stCc.bRunning) {
        g_stCc.pstSemThread->wait(INFINITE);
        CC_ThreadRound(CC_NextWaitMs());
        g_stCc.pstSemThread->release();
        Sleep(0);
    }
}

}  // namespace

int CC_Init(bool bStartThread) {
    if (g_stCc.bInit) return -1;
    for (int i = 0; i < CC_MAX_CNX_NUM; ++i) {
        CC_CNX* pstCnx = &g_stCc.astCnx[i];
        *pstCnx = CC_CNX();
        pstCnx->iCnxId = i;
        pstCnx->iChannel = -1;
        ResetCnx(pstCnx);
        pstCnx->stFsm.pstTable = CC_GetFsmTable();
        pstCnx->stFsm.iEventNum = CCEVT_MAX;
        pstCnx->stFsm.iCnxId = i;
        InitLocalMedia(pstCnx);
    }
    g_stCc.bStarted = 0;
    g_stCc.bRunning = 1;
    g_stCc.pstSemEvent = new plat::Semaphore(0, LONG_MAX);
    g_stCc.pstSemThread = new plat::Semaphore(1, 1);
    g_stCc.pstMutexCnxPool = new plat::RecursiveMutex();
    g_stCc.dwLastTick = GetTickCount();
    g_stCc.bInit = true;
    if (bStartThread) {
        g_stCc.pstThread = new plat::Thread();
        if (!g_stCc.pstThread->start("tCallCtrl", ThreadMain)) {
            VOIP_CHECK_LOG("0 != pstCtrlBlk->pstThread->h", kFile);
            delete g_stCc.pstThread;
            g_stCc.pstThread = nullptr;
            return -1;
        }
    }
    return 0;
}

void CC_Exit() {
    if (!g_stCc.bInit) return;
    g_stCc.bStarted = 0;
    g_stCc.bRunning = 0;
    if (g_stCc.pstThread != nullptr) {
        g_stCc.pstSemEvent->release();  // ends the thread's wait at once
        g_stCc.pstThread->join();
        delete g_stCc.pstThread;
        g_stCc.pstThread = nullptr;
    }
    while (CC_MSG* pstMsg = PopMsg()) FreeMsg(pstMsg);
    for (int i = 0; i < CC_MAX_CNX_NUM; ++i) {
        if (g_stCc.astCnx[i].bInUse) CC_FreeCnxInCC(i);
    }
    delete g_stCc.pstSemEvent;
    delete g_stCc.pstSemThread;
    delete g_stCc.pstMutexCnxPool;
    g_stCc.pstSemEvent = nullptr;
    g_stCc.pstSemThread = nullptr;
    g_stCc.pstMutexCnxPool = nullptr;
    g_stCc.bInit = false;
}

bool CC_IsStarted() { return g_stCc.bStarted != 0; }

int CC_SendEvent(int iCallId, int iCnxId, int iEvent, int iParam1, int iParam2, void* pValue) {
    if (!g_stCc.bInit) {
        free(pValue);
        return -1;
    }
    uint32_t uiGeneration = 0;
    if (iEvent != CCEVT_START && iEvent != CCEVT_STOP) {
        PoolLock lock;
        CC_CNX* pstCnx = CnxOf(iCnxId);
        if (pstCnx == nullptr || !pstCnx->bInUse) {
            DebugTrace(MOD_CC, 2, "CC_SendEvent: %s for connection %d dropped, not in use", CC_GetEventName(iEvent),
                       iCnxId);
            free(pValue);
            return -1;
        }
        uiGeneration = pstCnx->uiGeneration;
    }
    auto* pstMsg = static_cast<CC_MSG*>(malloc(sizeof(CC_MSG)));
    if (!VOIP_CHECK(NULL != pstMsg, kFile)) {
        free(pValue);
        return -1;
    }
    pstMsg->iCallId = iCallId;
    pstMsg->iCnxId = iCnxId;
    pstMsg->iEvent = iEvent;
    pstMsg->iParam1 = iParam1;
    pstMsg->iParam2 = iParam2;
    pstMsg->pValue = pValue;
    pstMsg->uiGeneration = uiGeneration;
    {
        std::lock_guard<std::mutex> guard(g_stCc.fifoMutex);
        g_stCc.fifo.push_back(pstMsg);
    }
    g_stCc.pstSemEvent->release();
    return 0;
}

int CC_ProcessEvent(CC_MSG* pstMsg) {
    if (!VOIP_CHECK(NULL != pstMsg, kFile)) return -1;
    DebugTrace(MOD_CC, 3, "CC_ProcessEvent: (%d, %d), %s, %d, %d, %s", pstMsg->iCallId, pstMsg->iCnxId,
               CC_GetEventName(pstMsg->iEvent), pstMsg->iParam1, pstMsg->iParam2,
               pstMsg->pValue == nullptr ? "NULL"
               : (pstMsg->iEvent == CCEVT_NEWCALL || pstMsg->iEvent == CCEVT_REMOTE_NEWCALL ||
                  pstMsg->iEvent == CCEVT_INFO || pstMsg->iEvent == CCEVT_REMOTE_INFO ||
                  pstMsg->iEvent == CCEVT_REMOTE_HOLD)
                   ? static_cast<const char*>(pstMsg->pValue)
                   : "(value)");
    if (pstMsg->iEvent == CCEVT_START || pstMsg->iEvent == CCEVT_STOP) {
        {
            PoolLock lock;
            g_stCc.bStarted = (pstMsg->iEvent == CCEVT_START) ? 1 : 0;
            for (int i = 0; i < CC_MAX_CNX_NUM; ++i) CC_FreeCnxInCC(i);
        }
        if (pstMsg->iEvent == CCEVT_STOP) VOIP_SendUaEvent(-1, OSIP_UA_EVT_UNREGISTER, 0, nullptr);
        return 0;
    }
    if (!g_stCc.bStarted) return -1;
    CC_CNX* pstCnx = CnxOf(pstMsg->iCnxId);
    if (pstCnx == nullptr || pstMsg->iEvent < 0 || pstMsg->iEvent >= CCEVT_MAX) return -1;
    {
        // An event queued for an earlier use of this connection must not act on the current one.
        PoolLock lock;
        if (!pstCnx->bInUse || pstCnx->uiGeneration != pstMsg->uiGeneration) {
            DebugTrace(MOD_CC, 2, "CC_ProcessEvent: %s for connection %d dropped, the connection was released",
                       CC_GetEventName(pstMsg->iEvent), pstMsg->iCnxId);
            return -1;
        }
    }
    return CC_RunFsm(&pstCnx->stFsm, pstMsg->iEvent, pstMsg);
}

int CC_AllocCnx() {
    if (!CC_ProbeRecordDevice()) {
        bool bTalking = false;
        {
            PoolLock lock;
            for (const CC_CNX& cnx : g_stCc.astCnx) {
                if (cnx.bInUse && cnx.stFsm.ucCurState == CC_ST_CONNECTED) bTalking = true;
            }
        }
        if (!bTalking) {
            DebugTrace(MOD_CC, 1, "CC_AllocCnx: Windows record device is not available!!!");
            return -2;
        }
    }
    if (!g_stCc.bStarted || !g_stCc.bInit) return -1;
    PoolLock lock;
    for (int i = 0; i < CC_MAX_CNX_NUM; ++i) {
        CC_CNX* pstCnx = &g_stCc.astCnx[i];
        if (pstCnx->bInUse) continue;
        ResetCnx(pstCnx);
        CC_StartFsm(&pstCnx->stFsm);
        int iChannel = Sonra_CreateChannel();
        DebugTrace(MOD_CC, 3, "CC_AllocCnx, iChannel: %d\n", iChannel);
        if (iChannel == -1) {
            pstCnx->stFsm.ucCurState = CC_FSM_IGNORE;
            return -1;
        }
        pstCnx->iChannel = iChannel;
        Sonra_SetSendCNPayloadType(iChannel, CC_CN_PAYLOAD);
        int iPort = CC_RTP_PORT_FIRST;
        while (Sonra_SetRecPort(iChannel, iPort, 0) != 0 && iPort < CC_RTP_PORT_LAST)
            iPort += 2;
        pstCnx->iLocalRtpPort = Sonra_GetRecPort(iChannel);
        InitLocalMedia(pstCnx);
        CC_SetCnxSendAddr(i, pstCnx->uiRemoteIp, pstCnx->iRemotePort);
        CC_SetCnxSendCodec(i, pstCnx->iSendPayload);
        // Sending starts only once the call is answered: nothing leaves before the peer is known.
        pstCnx->uiGeneration++;
        pstCnx->bInUse = 1;
        return i;
    }
    DebugTrace(MOD_CC, 1, "CC_AllocCnx: not enough cnx resource!!!");
    return -1;
}

int CC_FreeCnx(int iCnxId) {
    if (!g_stCc.bStarted) return -1;
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    if (!VOIP_CHECK(NULL != pstCnx, kFile)) return -1;
    if (!pstCnx->bInUse) return -1;
    ResetCnx(pstCnx);
    int rc = Sonra_DeleteChannel(pstCnx->iChannel);
    pstCnx->iChannel = -1;
    return rc;
}

int CC_FreeCnxInCC(int iCnxId) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    if (!VOIP_CHECK(NULL != pstCnx, kFile)) return -1;
    int rc = 0;
    if (pstCnx->bInUse && pstCnx->iChannel >= 0) {
        int iChannel = pstCnx->iChannel;
        Sonra_StopSend(iChannel);
        Sonra_StopPlayout(iChannel);
        rc = Sonra_DeleteChannel(iChannel);
        DebugTrace(MOD_CC, 3, "CC_FreeCnxInCCrc = %d\n", rc);
        if (rc < 0) VOIP_CHECK_LOG("0 <= rc", kFile);
        pstCnx->iChannel = -1;
    }
    ResetCnx(pstCnx);
    return rc;
}

// ---- queries ----

int CC_GetCnxState(int iCnxId) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    return pstCnx ? pstCnx->stFsm.ucCurState : CC_FSM_IGNORE;
}

bool CC_IsCnxActive(int iCnxId) {
    int iState = CC_GetCnxState(iCnxId);
    return iState >= CC_ST_CALLING && iState <= CC_ST_CONNECTED;
}

bool CC_IsCnxLocalHeld(int iCnxId) {
    int iState = CC_GetCnxState(iCnxId);
    return iState >= CC_ST_CALLING_HELD && iState <= CC_ST_HELD;
}

bool CC_IsCnxRemoteHeld(int iCnxId) {
    int iState = CC_GetCnxState(iCnxId);
    return iState == CC_ST_OFFERED_REMOTE_HELD || iState == CC_ST_REMOTE_HELD;
}

int CC_GetCnxRecPort(int iCnxId) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    return pstCnx ? pstCnx->iLocalRtpPort : -1;
}

bool CC_IsCnxInUse(int iCnxId) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    return pstCnx != nullptr && pstCnx->bInUse;
}

int CC_GetCnxDirection(int iCnxId) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    return pstCnx ? pstCnx->iDirection : CC_DIR_NONE;
}

bool CC_IsCnxPayloadPcmu(int iCnxId) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    return pstCnx != nullptr && pstCnx->iSendPayload == 0;
}

int CC_GetCnxPeerUri(int iCnxId, char* pszBuf) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    if (!VOIP_CHECK(NULL != pstCnx && NULL != pszBuf, kFile)) return -1;
    memcpy(pszBuf, pstCnx->szPeerUri, CC_MAX_URI);
    pszBuf[CC_MAX_URI - 1] = '\0';
    return 0;
}

int CC_SetCnxCallId(int iCallId, int iCnxId) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    if (!VOIP_CHECK(NULL != pstCnx && CM_IsValidCallId(iCallId), kFile)) return -1;
    pstCnx->iCallId = iCallId;
    return 0;
}

int CC_GetCnxCallId(int iCnxId) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    return pstCnx ? pstCnx->iCallId : -1;
}

int CC_GetIdleCnxNum() {
    PoolLock lock;
    int iCount = 0;
    for (const CC_CNX& cnx : g_stCc.astCnx) {
        if (!cnx.bInUse) iCount++;
    }
    return iCount;
}

int CC_GetCnxIdByUri(const char* pszUri) {
    if (!VOIP_CHECK(NULL != pszUri, kFile)) return -1;
    PoolLock lock;
    size_t iLen = strlen(pszUri);
    for (const CC_CNX& cnx : g_stCc.astCnx) {
        if (cnx.bInUse && strnlen(cnx.szPeerUri, CC_MAX_URI) == iLen && memcmp(cnx.szPeerUri, pszUri, iLen) == 0) {
            return cnx.iCnxId;
        }
    }
    return -1;
}

int CC_GetCallIdByUri(const char* pszUri) {
    PoolLock lock;
    int iCnxId = CC_GetCnxIdByUri(pszUri);
    return iCnxId >= 0 ? g_stCc.astCnx[iCnxId].iCallId : -1;
}

int CC_FindCnxByChannel(int iChannel, uint32_t* puiIp, int* piPort) {
    if (iChannel < 0) return -1;
    for (const CC_CNX& cnx : g_stCc.astCnx) {
        if (cnx.bInUse && cnx.iChannel == iChannel) {
            if (puiIp) *puiIp = cnx.uiRemoteIp;
            if (piPort) *piPort = cnx.iRemotePort;
            return cnx.iCnxId;
        }
    }
    return -1;
}

bool CC_GetCnxSnapshot(int iCnxId, CC_CNX* pstOut) {
    PoolLock lock;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    if (pstCnx == nullptr || pstOut == nullptr) return false;
    *pstOut = *pstCnx;
    return true;
}

CC_CNX* CC_GetCnx(int iCnxId) { return CnxOf(iCnxId); }

void CC_LockPool() {
    if (g_stCc.pstMutexCnxPool) g_stCc.pstMutexCnxPool->lock();
}

void CC_UnlockPool() {
    if (g_stCc.pstMutexCnxPool) g_stCc.pstMutexCnxPool->unlock();
}

// ---- conference membership ----

int CC_ConfAddCnx(int iCnxId) {
    PoolLock lock;
    int iChannel = ChannelOf(iCnxId);
    return iChannel >= 0 ? Sonra_AddToConference(iChannel) : -1;
}

int CC_ConfDelCnx(int iCnxId) {
    PoolLock lock;
    int iChannel = ChannelOf(iCnxId);
    return iChannel >= 0 ? Sonra_DelFromConference(iChannel) : -1;
}

// ---- media helpers ----

int CC_CnxStartListen(int iCnxId) {
    int iChannel = ChannelOf(iCnxId);
    if (iChannel < 0) return -1;
    return Sonra_StartListen(iChannel);
}

int CC_CnxStartSend(int iCnxId) {
    int iChannel = ChannelOf(iCnxId);
    if (iChannel < 0) return -1;
    CC_CNX* pstCnx = CnxOf(iCnxId);
    // A peer holding the call (sendonly or inactive) must get nothing from us (RFC 3264 6.1).
    if (pstCnx->bNoSend) {
        pstCnx->bSendDue = 1;
        return 0;
    }
    int rc = Sonra_StartSend(iChannel);
    if (rc != -1) pstCnx->bSending = 1;
    return rc;
}

int CC_CnxStopSend(int iCnxId) {
    int iChannel = ChannelOf(iCnxId);
    if (iChannel < 0) return 0;
    CnxOf(iCnxId)->bSending = 0;
    CnxOf(iCnxId)->bSendDue = 0;
    return Sonra_StopSend(iChannel);
}

int CC_CnxStartPlayout(int iCnxId) {
    int iChannel = ChannelOf(iCnxId);
    if (iChannel < 0) return -1;
    return Sonra_StartPlayout(iChannel);
}

int CC_CnxStopPlayout(int iCnxId) {
    int iChannel = ChannelOf(iCnxId);
    if (iChannel < 0) return 0;
    return Sonra_StopPlayout(iChannel);
}

int CC_SetCnxSendCodec(int iCnxId, int iPayloadType) {
    int iChannel = ChannelOf(iCnxId);
    if (iChannel < 0) return -1;
    int iIndex = Sonra_PayloadToCodecIndex(iPayloadType);
    if (iIndex == SONRA_CODEC_NONE) return -1;
    return Sonra_SetSendCodec(iChannel, iIndex);
}

int CC_SetCnxPayloadNumber(int iCnxId, int iPayloadType, int iPeerNumber) {
    int iChannel = ChannelOf(iCnxId);
    if (iChannel < 0) return -1;
    int iIndex = Sonra_PayloadToCodecIndex(iPayloadType);
    if (iIndex == SONRA_CODEC_NONE) return -1;
    return Sonra_SetPayloadNumber(iChannel, iIndex, iPeerNumber);
}

int CC_SetCnxDtmfPayload(int iCnxId, int iPeerNumber) {
    int iChannel = ChannelOf(iCnxId);
    return iChannel >= 0 ? Sonra_SetDtmfPayloadType(iChannel, iPeerNumber) : -1;
}

int CC_SetCnxSendAddr(int iCnxId, uint32_t uiIpNetOrder, int iPort) {
    int iChannel = ChannelOf(iCnxId);
    return iChannel >= 0 ? Sonra_SetSendAddr(iChannel, uiIpNetOrder, iPort) : -1;
}

int CC_CnxSendDtmf(int iCnxId, int iDigit) {
    int iChannel = ChannelOf(iCnxId);
    if (iChannel < 0 || iDigit < 0 || iDigit > CC_DTMF_MAX) return -1;
    return Sonra_SendDTMF(iChannel, iDigit, 1);
}

int CC_SetCnxPeerUri(int iCnxId, const char* pszUri) {
    CC_CNX* pstCnx = CnxOf(iCnxId);
    if (!VOIP_CHECK(NULL != pstCnx && NULL != pszUri, kFile)) return -1;
    size_t iLen = strnlen(pszUri, CC_MAX_URI);
    if (!VOIP_CHECK(CC_MAX_URI > iLen, kFile)) return -1;
    PoolLock lock;
    memcpy(pstCnx->szPeerUri, pszUri, iLen);
    pstCnx->szPeerUri[iLen] = '\0';
    return 0;
}

int CC_SetCnxDirection(int iCnxId, int iEvent) {
    CC_CNX* pstCnx = CnxOf(iCnxId);
    if (pstCnx == nullptr) return -1;
    if (iEvent == CCEVT_NEWCALL) pstCnx->iDirection = CC_DIR_OUTGOING;
    if (iEvent == CCEVT_REMOTE_NEWCALL) pstCnx->iDirection = CC_DIR_INCOMING;
    return 0;
}

int CC_StartCnxTimer(int iCnxId, int iEvent) {
    CC_CNX* pstCnx = CnxOf(iCnxId);
    if (pstCnx == nullptr) return -1;
    for (const TimerRow& row : kTimerTable) {
        if (row.iEvent == 255) break;
        if (row.iEvent != iEvent) continue;
        PoolLock lock;
        pstCnx->stTimer.iTimerId = row.iTimerId;
        pstCnx->stTimer.bArmed = 1;
        pstCnx->stTimer.iInitMs = row.iMs;
        pstCnx->stTimer.iRemainMs = row.iMs;
        return 0;
    }
    return -1;
}

int CC_StopCnxTimer(int iCnxId) {
    CC_CNX* pstCnx = CnxOf(iCnxId);
    if (pstCnx == nullptr) return -1;
    PoolLock lock;
    pstCnx->stTimer = CC_CNX_TIMER();
    return 0;
}

// ---- thread and timers ----

void CC_TimerTick(uint32_t uiElapsedMs) {
    int64_t llElapsed = uiElapsedMs;
    PoolLock lock;
    for (CC_CNX& cnx : g_stCc.astCnx) {
        if (!cnx.bInUse || !cnx.stTimer.bArmed) continue;
        int64_t llRemain = static_cast<int64_t>(cnx.stTimer.iRemainMs) - llElapsed;
        if (llRemain < 1) {
            int iTimerId = cnx.stTimer.iTimerId;
            cnx.stTimer = CC_CNX_TIMER();
            CC_SendEvent(cnx.iCallId, cnx.iCnxId, CCEVT_TIMEOUT, VOIP_CODE_CNX_TIMEOUT, iTimerId, nullptr);
        } else {
            cnx.stTimer.iRemainMs = static_cast<int>(llRemain);
        }
    }
}

DWORD CC_NextWaitMs() {
    if (!g_stCc.bInit) return kThreadWaitMs;
    int64_t llRemain = -1;
    {
        PoolLock lock;
        for (const CC_CNX& cnx : g_stCc.astCnx) {
            if (!cnx.bInUse || !cnx.stTimer.bArmed) continue;
            if (llRemain < 0 || cnx.stTimer.iRemainMs < llRemain) llRemain = cnx.stTimer.iRemainMs;
        }
    }
    if (llRemain < 0) return INFINITE;
    // The timers were last counted at dwLastTick; the earliest falls due once that much more has passed.
    int64_t llWait = llRemain - static_cast<int64_t>(plat::TickElapsed(GetTickCount(), g_stCc.dwLastTick));
    return llWait > static_cast<int64_t>(kThreadWaitMs) ? static_cast<DWORD>(llWait) : kThreadWaitMs;
}

void CC_ThreadRound(DWORD dwWaitMs) {
    if (!g_stCc.bInit) return;
    DWORD dwStart = GetTickCount();
    DWORD rc = g_stCc.pstSemEvent->wait(dwWaitMs);
    if (rc != WAIT_OBJECT_0) {
        RunTimers();
        return;
    }
    // A message that ends a wait longer than the beat comes after a quiet beat: the timers are
    // counted first, so that one started by the message counts from now.
    if (plat::TickElapsed(GetTickCount(), dwStart) >= kThreadWaitMs) RunTimers();
    if (CC_MSG* pstMsg = PopMsg()) {
        CC_ProcessEvent(pstMsg);
        FreeMsg(pstMsg);
    }
}

int CC_PumpEvents() {
    if (!g_stCc.bInit) return 0;
    int iCount = 0;
    while (g_stCc.pstSemEvent->try_acquire()) {
        CC_MSG* pstMsg = PopMsg();
        if (pstMsg == nullptr) continue;
        CC_ProcessEvent(pstMsg);
        FreeMsg(pstMsg);
        iCount++;
    }
    return iCount;
}

int CC_GetQueuedNum() {
    std::lock_guard<std::mutex> guard(g_stCc.fifoMutex);
    return static_cast<int>(g_stCc.fifo.size());
}

// ---- microphone probe ----

void CC_SetRecordDeviceProbe(CC_RECORD_PROBE pfnProbe) { g_pfnProbe.store(pfnProbe); }

bool CC_ProbeRecordDevice() {
    CC_RECORD_PROBE pfnProbe = g_pfnProbe.load();
    return pfnProbe ? pfnProbe() : DefaultProbe();
}
