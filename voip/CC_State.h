// Connection state machine: states, the transition table and its actions.
#pragma once

#include <cstdint>
#include "voip/VoipEvent.h"

enum CC_STATE {
    CC_ST_IDLE = 0,
    CC_ST_CALLING = 1,
    CC_ST_ALERTING = 2,
    CC_ST_OFFERED = 3,
    CC_ST_CONNECTED = 4,
    CC_ST_CALLING_HELD = 5,
    CC_ST_ALERTING_HELD = 6,
    CC_ST_HELD = 7,
    CC_ST_OFFERED_REMOTE_HELD = 8,
    CC_ST_REMOTE_HELD = 9,
    CC_ST_NUM = 10
};

#define CC_FSM_STAY 254     // actions run, state unchanged
#define CC_FSM_IGNORE 255   // no action runs; also "free" as a current state
#define CC_FSM_ACTIONS 5

struct CC_FSM_BLK;
typedef int (*CC_FSM_ACTION)(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);

struct CC_FSM_ENTRY {
    CC_FSM_ACTION apfnAction[CC_FSM_ACTIONS];
    uint8_t ucNextState;
};

// State-machine block inside each connection.
struct CC_FSM_BLK {
    uint8_t ucLastEvent = CC_FSM_IGNORE;
    uint8_t ucPrevState = CC_FSM_IGNORE;
    uint8_t ucCurState = CC_FSM_IGNORE;
    const CC_FSM_ENTRY* pstTable = nullptr;   // CC_ST_NUM rows of iEventNum entries
    int iEventNum = CCEVT_MAX;
    int iCnxId = -1;                          // owner connection
};

// The transition table (CC_ST_NUM x CCEVT_MAX).
const CC_FSM_ENTRY* CC_GetFsmTable();
// Runs one event through the block's machine; returns 0.
int CC_RunFsm(CC_FSM_BLK* pstFsm, int iEvent, CC_MSG* pstMsg);
// Starts a machine at state 0 (last event and previous state 255).
void CC_StartFsm(CC_FSM_BLK* pstFsm);

// Actions.
int CC_ActStartTimer(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActStopTimer(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActSetPeer(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActSendToUa(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActReportToCm(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActStopMedia(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActStartMedia(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActReleaseCnx(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ApplyRemoteSdp(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActSendDtmf(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActSendInfo(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);
int CC_ActRemoteInfo(CC_FSM_BLK* pstFsm, int iNextState, CC_MSG* pstMsg);

// Connection timers armed by events: NEWCALL id 0, REMOTE_NEWCALL id 1, REMOTE_ALERT(_SDP) id 2.
#define CC_TIMER_NONE 255
#define CC_CNX_TIMER_MS 60000
