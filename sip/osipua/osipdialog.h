// SIP dialogs of the user agent: the dialog record, the dialog list, and how every request and
// response the user agent sends is built and handed to a transaction.
#pragma once

#include "sip/osipua/osipstack.h"

#include <cstdint>

#include "sip/osipua/regctxt.h"
#include "voip/VoipEvent.h"

struct OsipUa;
struct BodyContext;

// Dialog states (stored and compared as numbers).
enum {
    DLG_NEW = 0,
    DLG_INVITING = 1,
    DLG_INVITED = 2,
    DLG_ESTABLISHED = 3,
    DLG_CANCELLING = 4,
    DLG_CANCELLED = 5,
    DLG_ENDED = 6,
    DLG_ENDING = 7,
};

// Transaction slots.
enum {
    SLOT_IN_INVITE = 0,
    SLOT_OUT_INVITE = 1,
    SLOT_IN_BYE = 2,
    SLOT_OUT_BYE = 3,
    SLOT_IN_CANCEL = 4,
    SLOT_OUT_CANCEL = 5,
    SLOT_OUT_REGISTER = 6,
    SLOT_OUT_PRACK = 7,
    SLOT_IN_OPTIONS = 8,
    SLOT_SPARE = 9,
    SLOT_COUNT = 10,
};

constexpr int OSIP_DIALOG_MAX_BODIES = 4;
constexpr int OSIP_RANDOM_LEN = 32;

struct OsipDialog {
    osip_from_t* from;               // From of the dialog's first request
    osip_uri_t* remote_target;       // the callee's URL
    int state;
    osip_uri_t* route;
    osip_dialog_t* dialog;           // libosip2 dialog
    char* peer_address;              // where the peer's request came from
    char* local_address;             // local IP text used in Via and SDP
    osip_transaction_t* tr[SLOT_COUNT];
    RegCtxt* regctxt;                // registration dialog only
    int auth_count;                  // REGISTER and BYE requests resent with credentials
    int invite_auth_count;           // INVITEs resent with credentials, counted apart so a BYE can still answer
    int bye_auth;                    // a 401/407 to BYE is not answered again
    int interval_retried;            // a 423 to REGISTER has been answered with Min-Expires
    int provisional_count;           // 180-189 received on our INVITE
    unsigned char flags;             // bit 1: in the dialog list
    int cnx_id;                      // connection controller id, -1 none
    int call_id;                     // call manager id, -1 none
    OsipUa* ua;
    BodyContext* bodies[OSIP_DIALOG_MAX_BODIES];
    int body_count;
    char* callid_number;             // call-leg key
    char* callid_host;
    int media_port;                  // the connection's RTP receive port
    CC_REMOTE_MEDIA remote_media;    // negotiated remote media
    // Bookkeeping beyond the record above.
    char* local_tag;                 // To tag of our responses before a libosip2 dialog exists
    int remote_cseq;                 // CSeq of the peer's first request (before a libosip2 dialog)
    unsigned invite_cseq;            // CSeq number of our last INVITE
    unsigned last_rseq;              // last RSeq answered with PRACK (0 none)
    unsigned pending_rseq;           // RSeq to acknowledge in the next PRACK
    int cancel_pending;              // ended before any provisional answer: CANCEL on the first 1xx
    int failure_reported;            // the connection has been told about the end of this dialog
    osip_message_t* last_ack;        // ACK of our INVITE's 2xx, sent again for a retransmitted 2xx
    char* ack_host;
    int ack_port;
    osip_message_t* last_2xx;        // our 2xx to an INVITE, sent again until its ACK
    int r2xx_active;
    uint64_t r2xx_next_ms;
    uint32_t r2xx_interval_ms;
    uint64_t r2xx_deadline_ms;
    int r2xx_cseq;                   // CSeq number of the INVITE the 2xx answers
    OsipDialog* hash_next;           // dialog-list bucket chain
};

// The dialog-list hash of a Call-ID number (unsigned; at most the first 31 characters).
unsigned osip_dialog_callid_hash(const char* number);

OsipDialog* osip_dialog_new(OsipUa* ua);
OsipDialog* osip_dialog_new_register(OsipUa* ua);
OsipDialog* osip_dialog_new_from_request(osip_transaction_t* tr);
int osip_dialog_build_invite(OsipDialog* d, const char* callee, const char* mime);
int osip_dialog_register(OsipDialog* d, RegCtxt* ctx);
int osip_dialog_register_refresh(OsipDialog* d, RegCtxt* ctx);
// The REGISTER again at once with the next CSeq number (its answer asked for another interval).
int osip_dialog_register_resend(OsipDialog* d);
int osip_dialog_register_with_authentication(OsipDialog* d, osip_message_t* challenge, const char* password);
void osip_dialog_accept_invite(OsipDialog* d, osip_transaction_t* tr);
int osip_dialog_reject_invite(OsipDialog* d, int status);
int osip_dialog_bye(OsipDialog* d);
int osip_dialog_bye_with_authentication(OsipDialog* d, osip_message_t* challenge, const char* password);
int osip_dialog_invite_with_authentication(OsipDialog* d, osip_message_t* challenge, const char* password);
int osip_dialog_info(OsipDialog* d, const char* mime, const char* body);
// Sends the CANCEL of our INVITE at once (a provisional answer has arrived).
int osip_dialog_cancel_now(OsipDialog* d);
int osip_dialog_prack(OsipDialog* d);
void osip_dialog_ack(OsipDialog* d, osip_message_t* response);
int osip_dialog_send_request(OsipDialog* d, osip_message_t* request);
int osip_dialog_complete_answer(OsipDialog* d, osip_message_t* response, osip_message_t* request);
int osip_dialog_add_body_to_request(OsipDialog* d, osip_message_t* request, const char* mime);
int osip_dialog_build_response(OsipDialog* d, int status, osip_message_t* request, osip_message_t** out);
// Answers the transaction's request with the status: 0, or -1 when no response could be made.
int osip_dialog_respond(OsipDialog* d, osip_transaction_t* tr, int status);
void osip_dialog_destroy(OsipDialog* d);
void osip_dialog_release(OsipDialog* d);
int osip_dialog_add_to_list(OsipDialog* d);
int osip_dialog_remove_from_list(OsipDialog* d);
OsipDialog* osip_dialog_find_by_request(osip_message_t* request);
// The dialog of a response or an out-of-transaction request by Call-ID and tags only.
OsipDialog* osip_dialog_find_by_callleg(osip_message_t* msg);
// The dialog of a response by Call-ID, our tag (From) and the peer's tag (To).
OsipDialog* osip_dialog_find_by_response_tags(osip_message_t* msg);
// A 2xx to our INVITE from another fork: acknowledged and ended with BYE in a dialog of its own
// (its To tag, its Contact as request URI).
int osip_dialog_end_fork(OsipDialog* d, osip_message_t* response);
// Puts a transaction into the slot of its kind (detaching the previous one).
void osip_dialog_set_slot(OsipDialog* d, int slot, osip_transaction_t* tr);
// The body context of a MIME type, created from the user agent's handler when missing.
BodyContext* osip_dialog_get_body_context(OsipDialog* d, const char* mime, bool create);
// Number of dialogs in the process-wide list (tests).
int osip_dialog_list_count();
// Sends the kept 2xx again when its time has come (called on every round of "sipd").
void osip_dialog_retransmit_2xx(OsipDialog* d, uint64_t now_ms);
// When the kept 2xx is next due (its repeat or its last-chance deadline); 0 when none is kept.
uint64_t osip_dialog_next_2xx_ms(const OsipDialog* d);
// Kept ACK sent again for a retransmitted 2xx.
void osip_dialog_resend_ack(OsipDialog* d);
// Kept 2xx sent again, straight to where it was sent (its transaction has ended).
void osip_dialog_resend_2xx(OsipDialog* d);
