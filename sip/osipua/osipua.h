// SIP user agent: turns call-control events into SIP requests and responses and reports the
// results of its dialogs and transactions back as connection and call-manager events.
#pragma once

#include "sip/osipua/osipstack.h"

#include <cstdint>
#include <vector>

#include "sip/osipua/osipdialog.h"
#include "sip/osipua/osipmanager.h"
#include "voip/VoipEvent.h"

struct BodyHandler;

// User-agent callbacks (dialog, transaction, message or null, code or null).
typedef int (*OsipUaCallback)(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int* code);
enum {
    UA_CB_NEW_CALL = 0,
    UA_CB_ANSWER = 1,
    UA_CB_REMOTE_BYE = 2,
    UA_CB_FAILURE = 3,
    UA_CB_RESPONSE = 4,
    UA_CB_IN_DIALOG_REQUEST = 5,
    UA_CB_COUNT = 6,
};

constexpr int OSIP_UA_MAX_DIALOGS = 32;
constexpr const char* OSIP_USER_AGENT = "VORLIK/Quorel-1.0";

struct OsipRegTimer {
    int state;          // 0 idle, 1 registered
    int interval;       // refresh interval in seconds
    uint64_t last;      // seconds of the clock at the last REGISTER
};

struct OsipUa {
    CM_REG_INFO* config = nullptr;           // copy of the registration record
    OsipManager* manager = nullptr;
    osip_from_t* local_address = nullptr;    // "\"%s\"<sip:%s@%s:%d>"
    std::vector<osip_from_t*> contacts;      // identities ("\"%s\"<sip:%s@%s>")
    std::vector<OsipDialog*> dialogs;
    int max_dialogs = OSIP_UA_MAX_DIALOGS;
    int num_dialogs = 0;
    osip_uri_t* registrar = nullptr;         // "sip:%s@%s" (user, domain)
    osip_uri_t* outbound_proxy = nullptr;    // "sip:%s:%i" (registrar host, port)
    osip_uri_t* proxy2 = nullptr;            // "sip:%s:%i" (proxy host, port)
    char* password = nullptr;
    char* proxy_ip = nullptr;
    RegCtxt* regctxt = nullptr;
    OsipDialog* reg_dialog = nullptr;
    OsipUaCallback callbacks[UA_CB_COUNT] = {};
    int invite_status = 200;                 // status that answers first INVITEs
    int retry_after = 0;
    char* forward_contact = nullptr;
    int reg_fail_mark = 0;
    OsipRegTimer reg_timer = {0, 0, 0};
    std::vector<BodyHandler*> body_handlers;
    char* ip = nullptr;                      // local IP text
    int port = 0;                            // bound SIP port
    std::vector<OSIP_UA_MSG*> deferred;      // information bodies waiting for a running INVITE
};

// Start and stop.
int OSIP_Init();
int OSIP_Start();
// The user agent's shutdown (also the voip stop's "CM_Destroy").
void CM_Destroy();
void OSIP_Destroy();
bool OSIP_IsStarted();

// Queues an event for "sipua"; takes ownership of value (malloc'd) in every case.
int OSIP_SendUaEvent(int id, int event, int param, void* value);
// Handles one event (on "sipua"); the caller frees the value afterwards.
int OSIP_ProcUaEvent(OSIP_UA_MSG* msg);

OsipUa* OSIP_GetUa();
OsipManager* OSIP_GetOsip();

// Registration gate of "sipd": set when a REGISTER is sent, cleared when an unregistration is
// accepted. Datagrams are only parsed while it is set.
bool OSIP_IsRegisterActive();

// Body handlers.
int OSIP_AddBodyHandler(OsipUa* ua, BodyHandler* handler);
BodyHandler* OSIP_FindBodyHandler(OsipUa* ua, const char* mime);
// Contacts (identities).
int OSIP_AddContact(OsipUa* ua, const char* text);
int OSIP_RemoveContact(OsipUa* ua, const char* text);
// The agent's first identity (its identity list, else its default identity).
osip_from_t* OSIP_FirstIdentity(OsipUa* ua);

void OSIP_OnRegisterOk(OsipUa* ua, int expires, int status);
// Sets "received" on the top Via when its host differs from the source or it carries "rport",
// and fills an empty "rport" with the source port (host order).
void OSIP_SetReceived(osip_message_t* msg, const char* host, int port);
int OSIP_Random();
const char* OSIP_InfoSubtype(int kind);
// Frees the dialogs that have ended and hold no transaction any more (each run of "sipd").
void OSIP_CollectDialogs(OsipUa* ua);
// One run of the tick: the registration refresh when due, information bodies whose INVITE has
// ended. "sipua" runs it when its wait for an event times out or is woken without one.
void OSIP_Tick();
// End of a round of "sipd" (stack mutex held): wakes "sipua" while information bodies wait.
void OSIP_RoundDone();

// The user agent's callbacks, exported for the transaction layer and tests.
int OSIP_OnRemoteNewCall(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int* code);
int OSIP_OnRemoteAnswer(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int* code);
// A new offer inside the call changed the peer's media: call control gets the new record.
int OSIP_OnRemoteUpdate(OsipDialog* d);
int OSIP_OnRemoteBye(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int* code);
int OSIP_OnRemoteFailure(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int* code);
int OSIP_OnResponse(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int* code);
int OSIP_OnInfoBody(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int* code);

// Test seams: the first SIP port tried (5060), and the status of first INVITEs.
void OSIP_SetBasePort(int port);
void OSIP_SetInviteStatus(int status, int retryAfter);
