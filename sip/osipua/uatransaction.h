// UA transactions: client transactions of outgoing requests, their place in the dialog, and the
// libosip2 callbacks that turn what transactions receive into dialog work and user-agent reports.
#pragma once

#include "sip/osipua/osipstack.h"

struct OsipDialog;
struct OsipManager;

// Registers every message, kill and transport-error callback and the send callback.
void osip_uatransaction_register_callbacks(osip_t* osip);
// Timer B for an INVITE that has had a provisional answer: the stack stops its own timer B there.
void osip_uatransaction_proceeding_timeout(osip_transaction_t* tr);

osip_transaction_t* osip_uatransaction_new(OsipDialog* d, osip_message_t* request);
int osip_uatransaction_get_dest(osip_transaction_t* tr, char** host, int* port);
void osip_uatransaction_set_dest(osip_transaction_t* tr, const char* host, int port);
// Adds an event to the transaction's FIFO, taking the stack mutex unless the caller is "sipd".
int osip_uatransaction_add_event(osip_transaction_t* tr, osip_event_t* evt);
// Hands a built response to its server transaction: 0, or -1 (the response freed) when no event can be made.
int osip_uatransaction_send_response(osip_transaction_t* tr, osip_message_t* resp);
// The dialog a transaction belongs to (null when detached).
OsipDialog* osip_uatransaction_dialog(osip_transaction_t* tr);
void osip_uatransaction_set_dialog(osip_transaction_t* tr, OsipDialog* d);
// Transaction removal (kill callbacks).
void osip_uatransaction_removed(osip_transaction_t* tr);

// REGISTER time-outs counted over the whole run (every third reports 1008).
void nict_register_failed(osip_transaction_t* tr);
int nict_register_timeout_count();
void nict_register_timeout_reset();

// Incoming messages without a transaction (dispatched by "sipd"): a retransmitted 2xx to our
// INVITE is ACKed again, an ACK of our 2xx stops its retransmission, a retransmitted INVITE of
// an established dialog gets our 2xx again. True when the message was handled this way.
bool osip_ua_handle_stray(OsipManager* m, osip_event_t* evt);
