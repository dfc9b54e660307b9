// Call-control event numbers, their name tables, and the records queued between call manager, connection controller and user agent.
#pragma once

#include <cstdint>

// Limits shared by the call manager, the connection controller and the user agent.
#define CM_MAX_CALL_NUM 16     // calls (and active-call slots)
#define CM_MAX_CNX_PER_CALL 5  // connections a call may hold
#define CC_MAX_CNX_NUM 16      // connections in the pool
#define CC_ALL_CNX 16          // connection id meaning "every connection of the call"
#define CC_MAX_URI 128         // peer URI field, terminator included

// Reason codes carried beside SIP status codes in the third word of events.
#define VOIP_CODE_NONE 65535          // "no code"
#define VOIP_CODE_NEW_CALL 1001       // a new incoming call
#define VOIP_CODE_REMOTE_BYE 1002     // the remote side sent BYE
#define VOIP_CODE_REG_FAILED 1008     // registration failed three times
#define VOIP_CODE_CNX_TIMEOUT 1009    // a connection timer ran out
#define VOIP_CODE_NO_PROVISIONAL 1010 // no answer before any provisional response
#define VOIP_CODE_NO_ANSWER 1011      // no answer while the remote side rang
#define VOIP_CODE_SELF_CALL 1012      // the number called is the user's own identity
#define VOIP_CODE_ALERT_SDP 919       // a provisional answer with SDP (transaction layer)

// Call-manager events.
enum CMEVT {
  CMEVT_NEWCALL = 0,
  CMEVT_DISCONNECT = 1,
  CMEVT_CONNECT = 2,
  CMEVT_HOLD = 3,
  CMEVT_UNHOLD = 4,
  CMEVT_MOVE = 5,
  CMEVT_DTMF = 6,
  CMEVT_INFO = 7,
  CMEVT_START = 8,
  CMEVT_STOP = 9,
  CMEVT_RELEASE = 10,
  CMEVT_REMOTE_NEWCALL = 11,
  CMEVT_REMOTE_DISCONNECT = 12,
  CMEVT_REMOTE_HOLD = 13,
  CMEVT_REMOTE_UNHOLD = 14,
  CMEVT_REMOTE_ALERT = 15,
  CMEVT_REMOTE_ALERT_SDP = 16,
  CMEVT_REMOTE_ANSWER = 17,
  CMEVT_REMOTE_CONTACT = 18,
  CMEVT_NO_RECORD_DEVICE = 19,
  CMEVT_OSIP_STARTED = 20,
  CMEVT_OSIP_STOPPED = 21,
  CMEVT_MAX = 22
};

// Connection-controller events.
enum CCEVT {
  CCEVT_NEWCALL = 0,
  CCEVT_DISCONNECT = 1,
  CCEVT_CONNECT = 2,
  CCEVT_HOLD = 3,
  CCEVT_UNHOLD = 4,
  CCEVT_DTMF = 5,
  CCEVT_INFO = 6,
  CCEVT_REMOTE_NEWCALL = 7,
  CCEVT_REMOTE_DISCONNECT = 8,
  CCEVT_REMOTE_HOLD = 9,
  CCEVT_REMOTE_UNHOLD = 10,
  CCEVT_REMOTE_ALERT = 11,
  CCEVT_REMOTE_ALERT_SDP = 12,
  CCEVT_REMOTE_ANSWER = 13,
  CCEVT_REMOTE_UPDATE = 14,
  CCEVT_REMOTE_INFO = 15,
  // 16 is never sent
  CCEVT_TIMEOUT = 17,
  CCEVT_START = 18,
  CCEVT_STOP = 19,
  CCEVT_MAX = 20
};

// User-agent events.
enum OSIP_UA_EVT {
  OSIP_UA_EVT_REGISTER = 0,
  OSIP_UA_EVT_UNREGISTER = 1,
  OSIP_UA_EVT_INVITE = 2,
  OSIP_UA_EVT_BYE = 3,
  OSIP_UA_EVT_CANCEL = 4,
  OSIP_UA_EVT_ACCEPT_INVITE = 5,
  OSIP_UA_EVT_REJECT_INVITE = 6,
  OSIP_UA_EVT_HOLD = 7,
  OSIP_UA_EVT_UNHOLD = 8,
  OSIP_UA_EVT_INFO = 9,
  OSIP_UA_EVT_TIMEOUT = 10,
  OSIP_UA_EVT_MAX = 11
};

// Notices from the call manager to the user interface.
enum VOIPEVT {
  VOIPEVT_REMOTE_NEWCALL = 0,
  VOIPEVT_REMOTE_ALERT = 1,
  VOIPEVT_REMOTE_ALERT_SDP = 2,
  VOIPEVT_REMOTE_FAILURE = 3,
  VOIPEVT_REMOTE_ANSWER = 4,
  VOIPEVT_REMOTE_DISCONNECT = 5,
  VOIPEVT_REMOTE_HOLD = 6,
  VOIPEVT_REMOTE_UNHOLD = 7,
  VOIPEVT_REMOTE_CONTACT = 8,
  VOIPEVT_RELEASE_CNX = 9,
  VOIPEVT_RELEASE_CALL = 10,
  VOIPEVT_CALL_HOLD = 11,
  VOIPEVT_CALL_UNHOLD = 12,
  VOIPEVT_TIMEOUT = 13,
  VOIPEVT_NO_RECORD_DEVICE = 14,
  VOIPEVT_START = 15,
  VOIPEVT_STOP = 16,
  VOIPEVT_MAX = 17
};

// INFO kinds carried in iParam2 of CCEVT_INFO / CCEVT_REMOTE_INFO and in the parameter of OSIP_UA_EVT_INFO.
#define VOIP_INFO_ACTION 0   // subtype "action"
#define VOIP_INFO_CONTACT 1  // subtype "contact"

// Name lookups for trace lines; an unknown number gives the table's sentinel name.
const char* CM_GetEventName(int iEvent);
const char* CC_GetEventName(int iEvent);
const char* OSIP_GetUaEventName(int iEvent);
const char* VOIP_GetUiEventName(int iEvent);
// The GB2312 descriptions kept beside the names (sentinel text for unknown numbers).
const char* CM_GetEventDesc(int iEvent);
const char* CC_GetEventDesc(int iEvent);
const char* OSIP_GetUaEventDesc(int iEvent);
const char* VOIP_GetUiEventDesc(int iEvent);

bool CM_IsValidCallId(int iCallId);  // 0 <= id < 16
bool CC_IsValidCnxId(int iCnxId);    // 0 <= id < 16

// Ownership of every value pointer below: allocated by the sender with malloc (or strdup),
// owned by the message, freed with free() by the consumer once it has processed the message.
// Never hand memory from osip_malloc across these queues.

// Record queued to "tCallCtrl".
struct CC_MSG {
  int iCallId;   // call id, -1 when the sender does not know it
  int iCnxId;    // 0-15, -1 for START/STOP
  int iEvent;    // CCEVT
  int iParam1;   // status or reason code; 65535 when none
  int iParam2;   // call id (REMOTE_NEWCALL), timer id (TIMEOUT), digit (DTMF), INFO kind, 486 for a busy refusal
  void* pValue;  // URI text, CC_REMOTE_MEDIA, information body text, or null
  uint32_t uiGeneration;  // set by CC_SendEvent: the connection's allocation it was meant for
};

// Remote media handed from the user agent with REMOTE_ALERT_SDP, REMOTE_ANSWER and REMOTE_UPDATE.
struct CC_REMOTE_MEDIA {
  int32_t iValid;        // must be 1
  int32_t aiSdpPriv[2];  // kept by the SDP code; [0] the payload number the peer uses (0 unknown),
                         // [1] the peer's number for telephone events (0 none)
  int32_t iLocalPort;    // the connection's local RTP port
  uint32_t uiRemoteIp;   // network byte order
  int32_t iRemotePort;
  int32_t iPayload;      // payload type chosen for sending
  int32_t iPtime;        // 0, or 10 to 30; stored only
  int32_t bNoSend;       // 1: the negotiated direction keeps us from sending (the peer holds the call)
};

// Record queued to "sipua".
struct OSIP_UA_MSG {
  int iId;       // dialog/connection id, -1 for REGISTER and UNREGISTER
  int iEvent;    // OSIP_UA_EVT, below 11
  int iParam;
  void* pValue;  // owned by the message
};

// Record posted to the main frame with WM_USER+204; the receiver frees pValue and the record.
struct VOIP_UI_MSG {
  int iCallId;
  int iCnxId;
  int iEvent;    // VOIPEVT
  int iParam3;
  int iParam4;
  void* pValue;  // caller text (REMOTE_NEWCALL), CM_CONTACT copy (REMOTE_CONTACT), or null
};

#define WM_VOIP_EVENT_OFFSET 204  // posted as WM_USER + 204

// Registration record built by the SIP plug-in; strings are malloc'd copies owned by the record.
struct CM_REG_INFO {
  char* pszDisplayName;  // user part of the account name
  char* pszUserName;     // the same user part
  char* pszIdentity;     // user@domain as stored
  char* pszPassword;     // null when the account has none
  char* pszLocalIp;      // dotted text
  int iLocalPort;        // 5060
  char* pszRegistrar;    // registrar host
  int iRegistrarPort;
  char* pszProxy;        // proxy host
  int iProxyPort;
  char* pszDomain;       // part after '@'
  int iPort2;            // second copy of the port setting
  int iExpires;          // seconds, 1800
};

// Deep copy (null on allocation failure); frees of the strings only; frees of strings and record.
CM_REG_INFO* CM_RegInfoDup(const CM_REG_INFO* pstSrc);
void CM_RegInfoFreeStrings(CM_REG_INFO* pstInfo);
void CM_RegInfoFree(CM_REG_INFO* pstInfo);
