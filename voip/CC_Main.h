// Connection controller: the pool of 16 connections and the "tCallCtrl" thread that runs their state machines.
#pragma once

#include <cstdint>
#include "platform/wintypes.h"
#include "voip/VoipEvent.h"
#include "voip/CC_State.h"
#include "voip/Sonra_Bridge.h"

#define CC_DIR_OUTGOING 0
#define CC_DIR_INCOMING 1
#define CC_DIR_NONE 255

#define CC_CN_PAYLOAD 13             // comfort-noise payload type
#define CC_RTP_PORT_FIRST 3000
#define CC_RTP_PORT_LAST 65000
#define CC_RESET_REMOTE_IP "127.0.0.1"
#define CC_RESET_REMOTE_PORT 24000
#define CC_DTMF_MAX 11               // telephone events 0-9, 10 for *, 11 for #: the keypads' keys

struct CC_CNX_TIMER {
    int iTimerId = CC_TIMER_NONE;
    int bArmed = 0;
    int iInitMs = -1;
    int iRemainMs = -1;
};

// One connection = one SIP dialog with its voice channel.
struct CC_CNX {
    int iCnxId = 0;                  // 0-15, fixed
    int iCallId = -1;
    int bInUse = 0;
    int iChannel = -1;
    int iDirection = CC_DIR_NONE;
    uint32_t uiLocalIp = 0;          // network order
    int iLocalRtpPort = 0;
    int aiPayload[SONRA_PAYLOAD_LIST_LEN] = {};
    int iPayloadNum = SONRA_PAYLOAD_LIST_LEN;
    char szPeerUri[CC_MAX_URI] = {};
    uint32_t uiRemoteIp = 0;         // network order, reset to 127.0.0.1
    int iRemotePort = CC_RESET_REMOTE_PORT;
    int aiMedia1[2] = {-1, -1};      // stored only
    int iMedia2 = 0;                 // stored only
    int iSendPayload = -1;           // from the remote SDP
    int iPtime = 0;                  // fourth remote SDP value, stored only
    int iCnPayload = CC_CN_PAYLOAD;
    int aiMedia3[2] = {0, 0};        // stored only
    int iMedia4 = -1;                // stored only
    int bSending = 0;                // the channel is sending (media only leaves once answered)
    int bNoSend = 0;                 // the peer holds the call by its SDP direction: nothing is sent
    int bSendDue = 0;                // sending would run but bNoSend holds it back
    uint32_t uiGeneration = 0;       // grows at every allocation; stale events carry an old value
    CC_CNX_TIMER stTimer;
    CC_FSM_BLK stFsm;
};

// Start and stop of the controller (at the voip start and stop). bStartThread false leaves the
// queue to be run by CC_PumpEvents / CC_ThreadRound (tests).
int CC_Init(bool bStartThread = true);
void CC_Exit();

// Queues an event for "tCallCtrl". Accepted for a connection in use, or for CCEVT_START/STOP.
// Takes ownership of pValue (malloc'd) in every case: refused events free it at once.
int CC_SendEvent(int iCallId, int iCnxId, int iEvent, int iParam1, int iParam2, void* pValue);
// Runs one message (on "tCallCtrl"); the caller frees pValue and the message afterwards.
int CC_ProcessEvent(CC_MSG* pstMsg);

// Pool.
int CC_AllocCnx();        // id 0-15; -1 not started / none free / no channel; -2 no recording device
int CC_FreeCnx(int iCnxId);
int CC_FreeCnxInCC(int iCnxId);   // inside the controller, no lock
bool CC_IsStarted();

// Queries (under the pool lock).
int CC_GetCnxState(int iCnxId);   // 255 when free or invalid
bool CC_IsCnxActive(int iCnxId);        // state 1-4
bool CC_IsCnxLocalHeld(int iCnxId);     // state 5-7
bool CC_IsCnxRemoteHeld(int iCnxId);    // state 8-9
int CC_GetCnxRecPort(int iCnxId);
bool CC_IsCnxInUse(int iCnxId);
int CC_GetCnxDirection(int iCnxId);
bool CC_IsCnxPayloadPcmu(int iCnxId);
int CC_GetCnxPeerUri(int iCnxId, char* pszBuf);   // pszBuf holds CC_MAX_URI bytes; 0 or -1
int CC_SetCnxCallId(int iCallId, int iCnxId);
int CC_GetCnxCallId(int iCnxId);
int CC_GetIdleCnxNum();
int CC_GetCnxIdByUri(const char* pszUri);
int CC_GetCallIdByUri(const char* pszUri);
int CC_FindCnxByChannel(int iChannel, uint32_t* puiIp, int* piPort);
bool CC_GetCnxSnapshot(int iCnxId, CC_CNX* pstOut);   // a copy of the record

// Conference membership of a connection's channel (under the pool lock).
int CC_ConfAddCnx(int iCnxId);
int CC_ConfDelCnx(int iCnxId);

// Media helpers used by the state machine (no lock; -1, or 0 for the stops, without a channel).
int CC_CnxStartListen(int iCnxId);
int CC_CnxStartSend(int iCnxId);
int CC_CnxStopSend(int iCnxId);
int CC_CnxStartPlayout(int iCnxId);
int CC_CnxStopPlayout(int iCnxId);
int CC_SetCnxSendCodec(int iCnxId, int iPayloadType);
// The peer's dynamic number for the codec of iPayloadType (sending and receiving).
int CC_SetCnxPayloadNumber(int iCnxId, int iPayloadType, int iPeerNumber);
// The peer's number (96..127) for telephone events we send.
int CC_SetCnxDtmfPayload(int iCnxId, int iPeerNumber);
int CC_SetCnxSendAddr(int iCnxId, uint32_t uiIpNetOrder, int iPort);
int CC_CnxSendDtmf(int iCnxId, int iDigit);
int CC_SetCnxPeerUri(int iCnxId, const char* pszUri);
int CC_SetCnxDirection(int iCnxId, int iEvent);
int CC_StartCnxTimer(int iCnxId, int iEvent);
int CC_StopCnxTimer(int iCnxId);
CC_CNX* CC_GetCnx(int iCnxId);   // the record itself, for the state machine's actions
// The pool lock (recursive), for the state machine's writes to a connection record.
void CC_LockPool();
void CC_UnlockPool();

// Connection timers: counts every armed timer down by the elapsed milliseconds.
void CC_TimerTick(uint32_t uiElapsedMs);

// How long "tCallCtrl" waits for a message: until the earliest running connection timer is due,
// at least the 50-ms beat on which the timers are counted; INFINITE while no timer runs.
DWORD CC_NextWaitMs();
// One round of the "tCallCtrl" loop: waits at most dwWaitMs for a message; on time-out runs the
// timers with the elapsed tick count, else processes one message (after running the timers when
// the wait lasted a beat or more). Used by the thread and tests.
void CC_ThreadRound(DWORD dwWaitMs);
// Processes every queued message on the calling thread (tests without the thread); returns the count.
int CC_PumpEvents();
int CC_GetQueuedNum();

// Microphone probe: true when a recording device can be opened. Replaceable (no sound card in CI);
// nullptr restores the platform probe.
typedef bool (*CC_RECORD_PROBE)();
void CC_SetRecordDeviceProbe(CC_RECORD_PROBE pfnProbe);
bool CC_ProbeRecordDevice();
