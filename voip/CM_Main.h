// Call manager: groups connections into calls and conferences and reports to the user interface.
#pragma once

#include <vector>
#include "voip/VoipEvent.h"
#include "voip/CM_Xml.h"

// One call: a two-party call or a conference of at most 5 connections.
struct CM_CALL {
    int iIndex = 0;                  // 0-15, fixed
    int bInUse = 0;
    int bCurrent = 0;                // 1 while this call talks (not held)
    int aiCnxId[CC_MAX_CNX_NUM];     // members in order of joining, unused -1 (at most 5 used)
    int abHeld[CC_MAX_CNX_NUM];      // per member slot: 1 once told to hold (locally or by the peer)
    int iCnxNum = 0;                 // 0-5
    int iActiveNum = 0;              // members not held
    int iParentCnxId = -1;           // connection through which this call joined another party's conference
    int iConfLevel = -1;             // -1 below two members, 0 host, parent's level + 1 when joined
    std::vector<CM_CONTACT> contacts;  // conference members reported by the peers
};

#define CM_MAX_CONTACTS_KEPT 32   // conference members remembered per call

// Start and stop of the call manager (at the voip start and stop).
int CM_Init();
void CM_Exit();

// Hands one event to the call manager; the handler runs at once on the calling thread.
// pValue must be malloc'd (a CM_REG_INFO for CMEVT_START, freed with CM_RegInfoFree) and the call
// manager takes ownership of it in every case: it keeps, passes on or frees it. Before
// CMEVT_START only CMEVT_START and CMEVT_STOP are accepted; others return -1.
int CM_SendEvent(int iCallId, int iCnxId, int iEvent, int iParam1, int iParam2, void* pValue);
int CM_ProcessEvent(int iCallId, int iCnxId, int iEvent, int iParam1, int iParam2, void* pValue);

int CM_AllocCall();          // call id, or -1
int CM_FreeCall(int iCallId);

int CM_GetCurrentCallId();   // -1 when no call is active
bool CM_IsConfCall(int iCallId);
int CM_GetFreeSeatNum(int iCallId);   // 5 - members
int CM_GetConfLevel(int iCallId);
bool CM_IsStarted();

// Member list helpers; the caller holds the call-manager lock (they take it themselves too).
int CM_AddCnxToCall(int iCallId, int iCnxId);
int CM_RemoveCnxFromCall(int iCallId, int iCnxId);

// Conference notices sent to the members in state 4 as CCEVT_INFO bodies.
void CM_TellOthersNewsInfo(int iCallId, int iCnxId);
void CM_TellNewOthersInfo(int iCallId, int iCnxId);
void CM_TellOthersleavesInfo(int iCallId, int iCnxId);

// A copy of a call record (for the user interface's checks and for tests); false for a bad id.
bool CM_GetCallSnapshot(int iCallId, CM_CALL* pstOut);
int CM_GetActiveCallNum();
int CM_GetConfCallNum();
