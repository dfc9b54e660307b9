// UA transactions and the libosip2 callbacks: what each received message or time-out does to
// the dialog, which response goes back, and what the user agent is told.
#include "sip/osipua/uatransaction.h"
#include "sip/osipua/osip_alloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "sip/osipparser2/osip_rack.h"
#include "sip/osipua/bodyhandler.h"
#include "sip/osipua/osipdialog.h"
#include "sip/osipua/osipmanager.h"
#include "sip/osipua/osipua.h"
#include "sip/osipua/uatrace.h"
#include "sip/osipua/utils.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"

namespace {

constexpr const char* kFile = "sip/osipua/uatransaction";
constexpr int kMaxExpires = 0x7FFFFFFF / 1000;  // a Min-Expires beyond this is not a registrar's
constexpr int kMaxAuthResends = 2;  // the third challenge of a REGISTER or BYE is a failure
// A proxy may rotate its nonce on each try: an INVITE is resent three times, the fourth challenge fails.
constexpr int kMaxInviteAuthResends = 3;
// What the user agent takes: methods, body types, and option tags (none as a server).
constexpr const char* kAllow = "INVITE, ACK, CANCEL, BYE, OPTIONS, INFO";
constexpr const char* kAccept = "application/sdp, information/contact, information/action";
constexpr const char* kSupported = "";

std::atomic<int> g_registerTimeouts{0};

OsipManager* ManagerOf(osip_transaction_t* tr) {
    if (tr != nullptr && tr->config != nullptr) {
        auto* m = static_cast<OsipManager*>(osip_get_application_context(static_cast<osip_t*>(tr->config)));
        if (m != nullptr) return m;
    }
    return osip_manager_get();
}

bool IsMethod(osip_message_t* msg, const char* method) {
    return msg != nullptr && msg->sip_method != nullptr && strcmp(msg->sip_method, method) == 0;
}

int CallUa(int which, OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int* code) {
    OsipUa* ua = d != nullptr ? d->ua : OSIP_GetUa();
    if (ua == nullptr || ua->callbacks[which] == nullptr) return -1;
    return ua->callbacks[which](d, tr, msg, code);
}

void ReportFailure(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int status) {
    int code = status;
    CallUa(UA_CB_FAILURE, d, tr, msg, &code);
    if (d != nullptr) d->failure_reported = 1;
}

// A response sent outside any dialog (the transaction has none).
void Respond(osip_transaction_t* tr, int status) { OSIP_SendResponse(OSIP_GetUa(), tr, status); }

// 405 with the methods the user agent takes.
void RespondNotAllowed(osip_transaction_t* tr) {
    osip_message_t* resp = nullptr;
    if (tr == nullptr || osip_dialog_build_response(nullptr, 405, tr->orig_request, &resp) != 0) return;
    osip_message_set_allow(resp, kAllow);
    osip_uatransaction_send_response(tr, resp);
}

const char* BodyType(osip_message_t* msg, osip_body_t* body, char** owned) {
    *owned = nullptr;
    const osip_content_type_t* ct = body->content_type != nullptr ? body->content_type : msg->content_type;
    *owned = OSIP_ContentTypeText(ct);
    return *owned;
}

void FreeEarlyDialog(OsipDialog* d) {
    if (d != nullptr && d->dialog != nullptr && d->dialog->state == DIALOG_EARLY) {
        osip_dialog_free(d->dialog);
        d->dialog = nullptr;
    }
}

void UpdateDialogAsUac(OsipDialog* d, osip_message_t* msg) {
    if (d->dialog == nullptr) {
        if (osip_dialog_init_as_uac(&d->dialog, msg) != 0) d->dialog = nullptr;
        return;
    }
    if (d->dialog->state == DIALOG_EARLY) {
        osip_dialog_update_route_set_as_uac(d->dialog, msg);
        osip_dialog_update_tag_as_uac(d->dialog, msg);
    }
}

// Number in an "RSeq" header, or the response number of a "RAck" header; 0 when neither.
unsigned ReliableNumber(osip_message_t* msg) {
    osip_header_t* h = nullptr;
    if (osip_message_header_get_byname(msg, "rseq", 0, &h) >= 0 && h != nullptr && h->hvalue != nullptr) {
        unsigned long v = strtoul(h->hvalue, nullptr, 10);
        if (v > 0 && v <= 0xFFFFFFFFul) return static_cast<unsigned>(v);
    }
    osip_rack_t* rack = nullptr;
    if (osip_message_get_rack(msg, &rack) == 0) {
        unsigned long v = strtoul(rack->response_number, nullptr, 10);
        osip_rack_free(rack);
        if (v > 0 && v <= 0xFFFFFFFFul) return static_cast<unsigned>(v);
    }
    return 0;
}

// A re-INVITE of an established call that fails leaves the call as it is; only 481 and 408
// (the peer no longer knows the dialog, or never answered) end it.
bool ReinviteFailed(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int status, int reported = 0) {
    if (d == nullptr || d->state != DLG_ESTABLISHED) return false;
    UA_TRACE(2, "re-INVITE answered %d", status);
    if (status == 481 || status == 408) {
        osip_dialog_bye(d);
        ReportFailure(d, tr, msg, reported != 0 ? reported : status);
        d->cnx_id = -1;
        d->call_id = -1;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// INVITE client transaction

void ict_1xx_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    OsipDialog* d = osip_uatransaction_dialog(tr);
    if (d == nullptr) {
        UA_TRACE(2, "1xx response for an inexistant call leg! \n");
        return;
    }
    int status = msg->status_code;
    if (d->cancel_pending) {
        // The call was ended before any provisional answer: cancel it now.
        d->cancel_pending = 0;
        osip_dialog_cancel_now(d);
        return;
    }
    bool body = false;
    if (status >= 180 && status <= 189) {
        ++d->provisional_count;
        for (int pos = 0; !osip_list_eol(&msg->bodies, pos); ++pos) {
            auto* b = static_cast<osip_body_t*>(osip_list_get(&msg->bodies, pos));
            char* type = nullptr;
            BodyType(msg, b, &type);
            if (type == nullptr) {
                UA_TRACE(2, "The content-type is not explicitely set.\n");
                continue;
            }
            UA_TRACE(3, "Found body %s\n", type);
            BodyContext* ctx = osip_dialog_get_body_context(d, type, true);
            if (ctx == nullptr) {
                UA_TRACE(2, "Could not find a body handler.\n");
            } else {
                ctx->klass->notify_inc_resp(ctx, msg, b->body);
                body = true;
            }
            osip_free(type);
        }
        UpdateDialogAsUac(d, msg);
        if (d->dialog == nullptr) {
            UA_TRACE(2, "180  is probably incomplete!\n");
            return;
        }
        // After the first, only the next in order is acknowledged (RFC 3262): a repeat, a late
        // earlier one or one past a gap gets no PRACK, which the callee would refuse with 481.
        unsigned rseq = ReliableNumber(msg);
        if (rseq != 0 && (d->last_rseq == 0 || rseq == d->last_rseq + 1)) {
            d->pending_rseq = rseq;
            d->last_rseq = rseq;
            osip_dialog_prack(d);
        }
    }
    if (d->provisional_count < 2) {
        int code = body ? VOIP_CODE_ALERT_SDP : status;
        CallUa(UA_CB_RESPONSE, d, tr, msg, &code);
    }
}

// ACK and BYE for a 2xx nobody wants (after our CANCEL, or with an unusable answer).
void AckAndBye(OsipDialog* d, osip_message_t* msg) {
    osip_dialog_ack(d, msg);
    d->state = DLG_ESTABLISHED;
    osip_dialog_bye(d);
}

void ict_2xx_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    OsipDialog* d = osip_uatransaction_dialog(tr);
    if (d == nullptr) {
        UA_TRACE(2, "200 OK for an inexistant call-leg !\n");
        return;
    }
    UpdateDialogAsUac(d, msg);
    if (d->dialog == nullptr) return;
    osip_dialog_set_state(d->dialog, DIALOG_CONFIRMED);
    if (d->state == DLG_CANCELLING || d->cancel_pending || d->cnx_id < 0) {
        d->cancel_pending = 0;
        UA_TRACE(2, "ict_2xx_received: 2xx after CANCEL: ACK and BYE.");
        AckAndBye(d, msg);
        return;
    }
    d->state = DLG_ESTABLISHED;
    if (IsMethod(tr->orig_request, "INVITE")) {
        for (int pos = 0; !osip_list_eol(&msg->bodies, pos); ++pos) {
            auto* b = static_cast<osip_body_t*>(osip_list_get(&msg->bodies, pos));
            char* type = nullptr;
            BodyType(msg, b, &type);
            BodyContext* ctx = type != nullptr ? osip_dialog_get_body_context(d, type, true) : nullptr;
            osip_free(type);
            int rc = ctx != nullptr ? ctx->klass->notify_inc_resp(ctx, msg, b->body) : -1;
            if (ctx == nullptr) UA_TRACE(2, "Could not find a body handler.\n");
            if (rc != 0) {
                int code = rc == 500 ? -111 : -112;
                AckAndBye(d, msg);
                ReportFailure(d, tr, msg, code);
                d->cnx_id = -1;
                d->call_id = -1;
                return;
            }
        }
        CallUa(UA_CB_ANSWER, d, tr, msg, nullptr);
    }
    UA_TRACE(3, "ict_2xx_received: Sending ACK!");
    UA_TRACE(3, "Sending ACK!\n");
    osip_dialog_ack(d, msg);
}

void ict_2xx_received_again(int, osip_transaction_t* tr, osip_message_t*) {
    OsipDialog* d = osip_uatransaction_dialog(tr);
    osip_dialog_resend_ack(d);
}

void ict_3xx_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    UA_TRACE(2, "OnEvent_New_Incoming3xxResponse!\n");
    OsipDialog* d = osip_uatransaction_dialog(tr);
    if (d == nullptr || ReinviteFailed(d, tr, msg, msg->status_code)) return;
    FreeEarlyDialog(d);
    osip_contact_t* contact = nullptr;
    osip_message_get_contact(msg, 0, &contact);
    if (msg->status_code == 302 && contact != nullptr && contact->url != nullptr && d->cnx_id >= 0 &&
        d->body_count > 0) {
        UA_TRACE(2, "User has moved temporarily.\n");
        char* target = nullptr;
        osip_uri_to_str(contact->url, &target);
        const char* mime = body_handler_mime(d->bodies[0]->handler);
        d->state = DLG_NEW;
        int rc = target != nullptr ? osip_dialog_build_invite(d, target, mime) : -1;
        osip_free(target);
        if (rc == 0) return;
    }
    ReportFailure(d, tr, msg, msg->status_code);
    osip_dialog_release(d);
}

void ict_4xx_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    OsipDialog* d = osip_uatransaction_dialog(tr);
    if (d == nullptr) return;
    int status = msg->status_code;
    int prior = d->state;
    if ((status == 401 || status == 407) && d->invite_auth_count < kMaxInviteAuthResends && d->cnx_id >= 0) {
        UA_TRACE(2, "User need to authenticate to INVITE!\n");
        d->state = DLG_NEW;
        if (osip_dialog_invite_with_authentication(d, msg, d->ua->password) == 0) {
            ++d->invite_auth_count;
            if (prior == DLG_ESTABLISHED) d->state = DLG_ESTABLISHED;
            return;
        }
        d->state = prior;
    }
    if (ReinviteFailed(d, tr, msg, status)) return;
    FreeEarlyDialog(d);
    ReportFailure(d, tr, msg, status);
    osip_dialog_release(d);
}

void failure_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    UA_TRACE(2, msg->status_code >= 600 ? "OnEvent_New_Incoming6xxResponse!\n"
                : msg->status_code >= 500 ? "ict_5xx_received():\n" : "nict_3xx_received():\n");
    OsipDialog* d = osip_uatransaction_dialog(tr);
    if (d == nullptr) return;
    if (tr->ctx_type == ICT && ReinviteFailed(d, tr, msg, msg->status_code)) return;
    if (tr->ctx_type == ICT) FreeEarlyDialog(d);
    ReportFailure(d, tr, msg, msg->status_code);
    osip_dialog_release(d);
}

void ict_timer_b_expired(int, osip_transaction_t* tr, osip_message_t*) {
    UA_TRACE(1, "\r\n osip_ict_timeout_b_event %d, evt:%d", tr->transactionid, static_cast<int>(TIMEOUT_B));
    OsipDialog* d = osip_uatransaction_dialog(tr);
    // A re-INVITE nobody answered ends the call as a 408 does; its failure is reported as timer B's.
    if (d == nullptr || ReinviteFailed(d, tr, nullptr, 408, 480)) return;
    d->cancel_pending = 0;
    ReportFailure(d, tr, nullptr, 480);
    if (tr->state == ICT_PROCEEDING) {
        // The callee rang but never answered: its ringing is cancelled; the 487 and its ACK end the
        // dialog. Call control has released it already, so this cannot wait for its hang-up.
        osip_dialog_cancel_now(d);
        d->cnx_id = -1;
        d->call_id = -1;
        return;
    }
    osip_dialog_release(d);
}

// ---------------------------------------------------------------------------------------------
// INVITE server transaction

void on_first_invite(osip_transaction_t* tr, osip_message_t* msg) {
    OsipUa* ua = OSIP_GetUa();
    UA_TRACE(3, "Sending 100 trying.\n");
    Respond(tr, 100);
    OsipDialog* d = osip_dialog_new_from_request(tr);
    if (d == nullptr) {
        UA_TRACE(1, "on_first_invite: error - could not create a new dialog.");
        return;
    }
    // Our own identity calling us: refused.
    osip_from_t* self = OSIP_FirstIdentity(ua);
    if (self != nullptr && self->url != nullptr && msg->from != nullptr && msg->from->url != nullptr &&
        self->url->username != nullptr && msg->from->url->username != nullptr &&
        strcmp(self->url->username, msg->from->url->username) == 0 && self->url->host != nullptr &&
        msg->from->url->host != nullptr && osip_strcasecmp(self->url->host, msg->from->url->host) == 0) {
        osip_dialog_respond(d, tr, 403);
        osip_dialog_release(d);
        return;
    }
    if (ua->invite_status != 200) {
        osip_message_t* resp = nullptr;
        if (osip_dialog_build_response(d, ua->invite_status, msg, &resp) != 0 || resp == nullptr) {
            UA_TRACE(1, "Could not create response for current status\n");
        } else {
            int st = ua->invite_status;
            if ((st == 486 || st == 480 || st == 600) && ua->retry_after > 0) {
                char v[16];
                snprintf(v, sizeof v, "%i", ua->retry_after);
                osip_message_set_header(resp, "Retry-After", v);
            }
            if ((st == 302 || st == 380) && ua->forward_contact != nullptr) {
                if (osip_message_set_contact(resp, ua->forward_contact) != 0) {
                    UA_TRACE(1, "Error in contact url: %s\n", ua->forward_contact);
                }
            }
            osip_uatransaction_send_response(tr, resp);
        }
        osip_dialog_release(d);
        return;
    }
    if (osip_list_eol(&msg->bodies, 0)) {
        osip_dialog_respond(d, tr, 400);
        osip_dialog_release(d);
        return;
    }
    int callId = -1;
    int cnxId = -1;
    auto freeCall = [&]() {
        if (cnxId >= 0) CC_FreeCnx(cnxId);
        if (callId >= 0) CM_FreeCall(callId);
        cnxId = callId = -1;
        d->cnx_id = d->call_id = -1;
    };
    for (int pos = 0; !osip_list_eol(&msg->bodies, pos); ++pos) {
        auto* b = static_cast<osip_body_t*>(osip_list_get(&msg->bodies, pos));
        char* type = nullptr;
        BodyType(msg, b, &type);
        if (type == nullptr) {
            UA_TRACE(2, "There is no content-type !");
            break;
        }
        BodyHandler* h = OSIP_FindBodyHandler(ua, type);
        osip_free(type);
        if (h == nullptr) {
            UA_TRACE(2, "Could not find a body handler .\n");
            freeCall();
            osip_dialog_respond(d, tr, 415);
            osip_dialog_release(d);
            return;
        }
        BodyContext* ctx = osip_dialog_get_body_context(d, body_handler_mime(h), true);
        UA_TRACE(3, "Creating a new body context.\n");
        if (ctx == nullptr) continue;
        if (pos == 0) {
            callId = CM_AllocCall();
            cnxId = callId >= 0 ? CC_AllocCnx() : -1;
            if (callId < 0 || cnxId < 0) {
                bool noDevice = cnxId == -2;
                if (cnxId < 0) cnxId = -1;
                freeCall();
                if (noDevice) CM_SendEvent(-1, -1, CMEVT_NO_RECORD_DEVICE, VOIP_CODE_NONE, 0, nullptr);
                osip_dialog_respond(d, tr, 486);
                osip_dialog_release(d);
                return;
            }
            d->call_id = callId;
            d->cnx_id = cnxId;
            d->media_port = CC_GetCnxRecPort(cnxId);
        }
        int rc = ctx->klass->notify_inc_req(ctx, msg, b->body);
        if (rc == 606 || rc == -1) {
            freeCall();
            osip_dialog_respond(d, tr, rc == 606 ? 606 : 480);
            osip_dialog_release(d);
            return;
        }
    }
    if (CallUa(UA_CB_NEW_CALL, d, tr, nullptr, nullptr) != 0) {
        // No acceptable media: the offer is refused and everything taken for it is given back.
        UA_TRACE(2, "on_first_invite: offer not acceptable, answering 488.");
        freeCall();
        osip_dialog_respond(d, tr, 488);
        osip_dialog_release(d);
        return;
    }
    if (osip_dialog_respond(d, tr, 180) != 0) UA_TRACE(1, "on_first_invite: error - could not create a 180 Ringing.");
}

// The text of a message's first "application/sdp" body, or null.
const char* SdpBodyOf(osip_message_t* msg) {
    for (int pos = 0; !osip_list_eol(&msg->bodies, pos); ++pos) {
        auto* b = static_cast<osip_body_t*>(osip_list_get(&msg->bodies, pos));
        char* type = nullptr;
        BodyType(msg, b, &type);
        bool sdp = type != nullptr && osip_strcasecmp(type, "application/sdp") == 0;
        osip_free(type);
        if (sdp && b->body != nullptr) return b->body;
    }
    return nullptr;
}

// A new offer inside the call: answered from the offer (its direction answered, our o= version
// raised); a changed address, port, codec or direction goes to call control, which moves, stops
// or resumes our RTP. An offer we cannot take is refused with 488 and the call goes on as it was.
void AnswerReoffer(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, const char* offer) {
    BodyContext* ctx = osip_dialog_get_body_context(d, "application/sdp", true);
    CC_REMOTE_MEDIA before = d->remote_media;
    d->remote_media.iValid = 0;
    d->remote_media.aiSdpPriv[1] = 0;  // the new offer's events, if any
    int rc = ctx != nullptr ? ctx->klass->notify_inc_req(ctx, msg, offer) : -1;
    if (rc != 200 || d->remote_media.iValid != 1) {
        UA_TRACE(2, "re-INVITE offer not acceptable (%d), answering 488.", rc);
        d->remote_media = before;
        osip_dialog_respond(d, tr, 488);
        return;
    }
    osip_dialog_respond(d, tr, 200);
    CC_REMOTE_MEDIA& now = d->remote_media;
    // A held peer may give 0.0.0.0 or port 0: our RTP keeps its last destination then.
    if (now.uiRemoteIp == 0 || now.iRemotePort <= 0) {
        now.uiRemoteIp = before.uiRemoteIp;
        now.iRemotePort = before.iRemotePort;
    }
    bool changed = now.uiRemoteIp != before.uiRemoteIp || now.iRemotePort != before.iRemotePort ||
                   now.iPayload != before.iPayload || now.aiSdpPriv[0] != before.aiSdpPriv[0] ||
                   now.aiSdpPriv[1] != before.aiSdpPriv[1] || now.bNoSend != before.bNoSend;
    if (changed && d->cnx_id >= 0) OSIP_OnRemoteUpdate(d);
}

void ist_invite_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    OsipDialog* d = osip_dialog_find_by_request(msg);
    if (d == nullptr) {
        on_first_invite(tr, msg);
        return;
    }
    UA_TRACE(2, "Receiving new invite for an existent call-leg!\n");
    osip_dialog_set_slot(d, SLOT_IN_INVITE, tr);
    if (d->dialog != nullptr) osip_dialog_update_osip_cseq_as_uas(d->dialog, msg);
    const char* offer = SdpBodyOf(msg);
    if (offer != nullptr) {
        AnswerReoffer(d, tr, msg, offer);
        return;
    }
    osip_dialog_respond(d, tr, 200);
    CallUa(UA_CB_IN_DIALOG_REQUEST, d, tr, msg, nullptr);
}

void ist_ack_received(int, osip_transaction_t* tr, osip_message_t*) {
    OsipDialog* d = osip_uatransaction_dialog(tr);
    if (d == nullptr) {
        UA_TRACE(2, "Ack for an inexistant call-leg !\n");
        return;
    }
    if (d->state == DLG_INVITED && d->dialog != nullptr) {
        osip_dialog_set_state(d->dialog, DIALOG_CONFIRMED);
        d->state = DLG_ESTABLISHED;
    } else if (d->state != DLG_ENDED) {
        UA_TRACE(2, "ist_ack_received: dialog in bad state (%i)\n", d->state);
    }
}

// ---------------------------------------------------------------------------------------------
// Non-INVITE client transaction

void nict_1xx_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    OsipDialog* d = osip_uatransaction_dialog(tr);
    int code = msg->status_code;
    if (d != nullptr) CallUa(UA_CB_RESPONSE, d, tr, msg, &code);
}

void nict_2xx_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    OsipDialog* d = osip_uatransaction_dialog(tr);
    if (d == nullptr || !IsMethod(tr->orig_request, "REGISTER")) return;
    DebugTrace(MOD_SIP, 2, "REGISTER succeed!");
    d->auth_count = 0;
    d->interval_retried = 0;
    char* aor = nullptr;
    if (tr->orig_request->to != nullptr) osip_to_to_str(tr->orig_request->to, &aor);
    if (aor != nullptr && d->ua != nullptr) {
        if (d->regctxt != nullptr && d->regctxt->expires != 0) {
            OSIP_AddContact(d->ua, aor);
        } else {
            OSIP_RemoveContact(d->ua, aor);
        }
    }
    osip_free(aor);
    int code = 200;
    CallUa(UA_CB_RESPONSE, d, tr, msg, &code);
}


void nict_4xx_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    OsipDialog* d = osip_uatransaction_dialog(tr);
    if (d == nullptr) return;
    int status = msg->status_code;
    if (status == 423 && IsMethod(tr->orig_request, "REGISTER") && d->regctxt != nullptr && !d->interval_retried) {
        // Interval too brief: asked again once with the registrar's minimum.
        osip_header_t* h = nullptr;
        long min = -1;
        if (osip_message_header_get_byname(msg, "min-expires", 0, &h) >= 0 && h != nullptr && h->hvalue != nullptr) {
            char* end = nullptr;
            min = strtol(h->hvalue, &end, 10);
            if (end == h->hvalue || min <= d->regctxt->expires || min > kMaxExpires) min = -1;
        }
        if (min > 0) {
            UA_TRACE(2, "REGISTER interval too brief: asked again with %ld s.", min);
            d->interval_retried = 1;
            d->regctxt->expires = static_cast<int>(min);
            if (d->ua != nullptr && d->ua->config != nullptr) d->ua->config->iExpires = static_cast<int>(min);
            if (osip_dialog_register_resend(d) == 0) return;
        }
    }
    if (status == 401 || status == 407) {
        if (IsMethod(tr->orig_request, "BYE")) {
            if (d->auth_count < kMaxAuthResends && !d->bye_auth) {
                UA_TRACE(2, "User need to authenticate to BYE!\n");
                d->state = DLG_NEW;
                ++d->auth_count;
                osip_dialog_bye_with_authentication(d, msg, d->ua->password);
                return;
            }
            UA_TRACE(2, "Authentification aborted.\n");
            osip_dialog_release(d);
            return;
        }
        if (IsMethod(tr->orig_request, "REGISTER")) {
            if (d->auth_count < kMaxAuthResends && d->regctxt != nullptr) {
                DebugTrace(MOD_SIP, 2, "call osip_dialog_register_with_authentication().");
                d->state = DLG_NEW;
                ++d->auth_count;
                if (osip_dialog_register_with_authentication(d, msg, d->regctxt->password) == 0) return;
            }
            // Credentials refused again (or none could be built): a failed registration.
            ReportFailure(d, tr, msg, status);
            osip_dialog_release(d);
            return;
        }
        // A challenged PRACK or CANCEL is not answered: the call's INVITE goes on and ends by its
        // own final response.
        UA_TRACE(2, "Authentification aborted.\n");
        return;
    }
    ReportFailure(d, tr, msg, status);
    osip_dialog_release(d);
}

void nict_timer_expired(int, osip_transaction_t* tr, osip_message_t*) { nict_register_failed(tr); }

// ---------------------------------------------------------------------------------------------
// Non-INVITE server transaction

void nist_register_received(int, osip_transaction_t* tr, osip_message_t*) {
    UA_TRACE(2, "nist_register_received: not fully implemented");
    RespondNotAllowed(tr);
}

void nist_bye_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    OsipDialog* d = osip_dialog_find_by_request(msg);
    if (d == nullptr) {
        UA_TRACE(2, "Bye for an inexistant dialog !\n");
        Respond(tr, 481);
        return;
    }
    osip_transaction_t* invite = d->tr[SLOT_IN_INVITE];
    osip_dialog_set_slot(d, SLOT_IN_BYE, tr);
    if (d->dialog != nullptr) osip_dialog_update_osip_cseq_as_uas(d->dialog, msg);
    d->r2xx_active = 0;
    CallUa(UA_CB_REMOTE_BYE, d, tr, msg, nullptr);
    osip_dialog_respond(d, tr, 200);
    // A BYE in the early dialog leaves the INVITE still to be answered (RFC 3261 15.1.2).
    if (invite != nullptr && d->state == DLG_INVITED &&
        (invite->state == IST_PRE_PROCEEDING || invite->state == IST_PROCEEDING)) {
        osip_dialog_respond(d, invite, 487);
    }
    osip_dialog_release(d);
}

void nist_cancel_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    OsipDialog* d = osip_dialog_find_by_request(msg);
    if (d == nullptr) {
        Respond(tr, 481);
        return;
    }
    osip_dialog_set_slot(d, SLOT_IN_CANCEL, tr);
    osip_dialog_respond(d, tr, 200);
    // Only an INVITE we received can be cancelled (RFC 3261 9.2).
    if (d->tr[SLOT_IN_INVITE] == nullptr || d->state == DLG_ESTABLISHED) {
        UA_TRACE(2, "null invite request!\n");
        return;
    }
    d->state = DLG_CANCELLED;
    CallUa(UA_CB_REMOTE_BYE, d, tr, msg, nullptr);
    osip_dialog_respond(d, d->tr[SLOT_IN_INVITE], 487);
    osip_dialog_release(d);
}

void nist_options_received(int, osip_transaction_t* tr, osip_message_t* msg) {
    UA_TRACE(3, "nist_options_received(): not fully implemented.\n");
    OsipDialog* d = osip_dialog_find_by_request(msg);
    osip_message_t* resp = nullptr;
    if (osip_dialog_build_response(d, 200, msg, &resp) != 0 || resp == nullptr) {
        UA_TRACE(1, "nist_options_received: error - could not create a 200 ok.");
        return;
    }
    if (osip_list_eol(&resp->contacts, 0)) {
        OsipUa* ua = OSIP_GetUa();
        if (ua != nullptr && ua->local_address != nullptr) {
            osip_from_t* c = nullptr;
            if (osip_from_clone(ua->local_address, &c) == 0) osip_list_add(&resp->contacts, c, -1);
        }
    }
    osip_message_set_allow(resp, kAllow);
    osip_message_set_accept(resp, kAccept);
    osip_message_set_supported(resp, kSupported);
    osip_uatransaction_send_response(tr, resp);
}

void nist_info_received(int, osip_transaction_t* tr, osip_message_t*) { Respond(tr, 200); }

void nist_unknown_received(int, osip_transaction_t* tr, osip_message_t*) { Respond(tr, 501); }

// ---------------------------------------------------------------------------------------------

void empty_message_cb(int, osip_transaction_t*, osip_message_t*) {}

void transport_error_cb(int, osip_transaction_t*, int) {}

void kill_ict(int, osip_transaction_t* tr) {
    // The stack ends timer D without a callback of its own; only that timer leaves its length at -1.
    if (tr->ict_context != nullptr && tr->ict_context->timer_d_length == -1) {
        UA_TRACE(1, "\r\n osip_ict_timeout_d_event %d, ", tr->transactionid);
    }
    UA_TRACE(3, "\r\n Ict-Transaction %i killed.\n", tr->transactionid);
    osip_uatransaction_removed(tr);
}
void kill_ist(int, osip_transaction_t* tr) {
    UA_TRACE(3, "\r\n Ist-Transaction %i killed.\n", tr->transactionid);
    osip_uatransaction_removed(tr);
}
void kill_nict(int, osip_transaction_t* tr) {
    UA_TRACE(3, "\r\n Nict-Transaction %p %i killed.\n", static_cast<void*>(tr), tr->transactionid);
    osip_uatransaction_removed(tr);
}
void kill_nist(int, osip_transaction_t* tr) {
    UA_TRACE(3, "\r\n Nist-Transaction %i killed.\n", tr->transactionid);
    osip_uatransaction_removed(tr);
}

const char* TagOfTo(osip_message_t* msg) {
    osip_generic_param_t* p = nullptr;
    static char kTag[] = "tag";
    if (msg->to == nullptr || osip_generic_param_get_byname(&msg->to->gen_params, kTag, &p) != 0 || p == nullptr) {
        return nullptr;
    }
    return p->gvalue;
}

bool SameCseq(osip_message_t* a, int number) {
    return a != nullptr && a->cseq != nullptr && a->cseq->number != nullptr && atoi(a->cseq->number) == number;
}

}  // namespace

void osip_uatransaction_proceeding_timeout(osip_transaction_t* tr) {
    if (tr != nullptr) ict_timer_b_expired(0, tr, nullptr);
}

void osip_uatransaction_register_callbacks(osip_t* osip) {
    for (int type = 0; type < OSIP_MESSAGE_CALLBACK_COUNT; ++type) osip_set_message_callback(osip, type, empty_message_cb);
    osip_set_message_callback(osip, OSIP_ICT_STATUS_1XX_RECEIVED, ict_1xx_received);
    osip_set_message_callback(osip, OSIP_ICT_STATUS_2XX_RECEIVED, ict_2xx_received);
    osip_set_message_callback(osip, OSIP_ICT_STATUS_2XX_RECEIVED_AGAIN, ict_2xx_received_again);
    osip_set_message_callback(osip, OSIP_ICT_STATUS_3XX_RECEIVED, ict_3xx_received);
    osip_set_message_callback(osip, OSIP_ICT_STATUS_4XX_RECEIVED, ict_4xx_received);
    osip_set_message_callback(osip, OSIP_ICT_STATUS_5XX_RECEIVED, failure_received);
    osip_set_message_callback(osip, OSIP_ICT_STATUS_6XX_RECEIVED, failure_received);
    osip_set_message_callback(osip, OSIP_IST_INVITE_RECEIVED, ist_invite_received);
    osip_set_message_callback(osip, OSIP_IST_ACK_RECEIVED, ist_ack_received);
    osip_set_message_callback(osip, OSIP_NICT_STATUS_1XX_RECEIVED, nict_1xx_received);
    osip_set_message_callback(osip, OSIP_NICT_STATUS_2XX_RECEIVED, nict_2xx_received);
    // A REGISTER or BYE is not redirected: a 3xx is its failure.
    osip_set_message_callback(osip, OSIP_NICT_STATUS_3XX_RECEIVED, failure_received);
    osip_set_message_callback(osip, OSIP_NICT_STATUS_4XX_RECEIVED, nict_4xx_received);
    osip_set_message_callback(osip, OSIP_NICT_STATUS_5XX_RECEIVED, failure_received);
    osip_set_message_callback(osip, OSIP_NICT_STATUS_6XX_RECEIVED, failure_received);
    osip_set_message_callback(osip, OSIP_NIST_REGISTER_RECEIVED, nist_register_received);
    osip_set_message_callback(osip, OSIP_NIST_BYE_RECEIVED, nist_bye_received);
    osip_set_message_callback(osip, OSIP_NIST_OPTIONS_RECEIVED, nist_options_received);
    osip_set_message_callback(osip, OSIP_NIST_CANCEL_RECEIVED, nist_cancel_received);
    osip_set_message_callback(osip, OSIP_NIST_INFO_RECEIVED, nist_info_received);
    osip_set_message_callback(osip, OSIP_NIST_NOTIFY_RECEIVED, nist_unknown_received);
    osip_set_message_callback(osip, OSIP_NIST_SUBSCRIBE_RECEIVED, nist_unknown_received);
    osip_set_message_callback(osip, OSIP_NIST_UNKNOWN_REQUEST_RECEIVED, nist_unknown_received);
    osip_set_message_callback(osip, OSIP_ICT_STATUS_TIMEOUT, ict_timer_b_expired);
    osip_set_message_callback(osip, OSIP_NICT_STATUS_TIMEOUT, nict_timer_expired);
    osip_set_kill_transaction_callback(osip, OSIP_ICT_KILL_TRANSACTION, kill_ict);
    osip_set_kill_transaction_callback(osip, OSIP_IST_KILL_TRANSACTION, kill_ist);
    osip_set_kill_transaction_callback(osip, OSIP_NICT_KILL_TRANSACTION, kill_nict);
    osip_set_kill_transaction_callback(osip, OSIP_NIST_KILL_TRANSACTION, kill_nist);
    for (int type = 0; type < OSIP_TRANSPORT_ERROR_CALLBACK_COUNT; ++type) {
        osip_set_transport_error_callback(osip, type, transport_error_cb);
    }
    osip_set_cb_send_message(osip, osip_udp_send);
}

osip_transaction_t* osip_uatransaction_new(OsipDialog* d, osip_message_t* request) {
    if (!UA_CHECK(NULL != d && NULL != request, kFile)) return nullptr;
    if (d->ua == nullptr || d->ua->manager == nullptr) return nullptr;
    OsipUa* ua = d->ua;
    osip_fsm_type_t type = IsMethod(request, "INVITE") ? ICT : NICT;
    osip_transaction_t* tr = nullptr;
    if (osip_transaction_init(&tr, type, ua->manager->osip, request) != 0 || tr == nullptr) return nullptr;
    osip_transaction_set_out_socket(tr, ua->manager->main_socket);
    // Destination: the proxy, the registrar for REGISTER, the second proxy, the first Route, the
    // request URI.
    const osip_uri_t* dest = ua->outbound_proxy;
    if (dest == nullptr && IsMethod(request, "REGISTER")) dest = ua->registrar;
    if (dest == nullptr) dest = ua->proxy2;
    if (dest == nullptr) {
        auto* route = static_cast<osip_route_t*>(osip_list_get(&request->routes, 0));
        if (route != nullptr) dest = route->url;
    }
    if (dest == nullptr) dest = request->req_uri;
    const char* host = (dest != nullptr && dest->host != nullptr) ? dest->host : "";
    int port = (dest != nullptr && dest->port != nullptr) ? atoi(dest->port) : 5060;
    if (port <= 0) port = 5060;
    osip_uatransaction_set_dest(tr, host, port);
    int slot = SLOT_SPARE;
    if (IsMethod(request, "INVITE")) slot = SLOT_OUT_INVITE;
    if (IsMethod(request, "REGISTER")) slot = SLOT_OUT_REGISTER;
    if (IsMethod(request, "BYE")) slot = SLOT_OUT_BYE;
    if (IsMethod(request, "CANCEL")) slot = SLOT_OUT_CANCEL;
    if (IsMethod(request, "PRACK")) slot = SLOT_OUT_PRACK;
    osip_dialog_set_slot(d, slot, tr);
    return tr;
}

int osip_uatransaction_get_dest(osip_transaction_t* tr, char** host, int* port) {
    *host = nullptr;
    *port = 0;
    if (tr == nullptr) return -1;
    if (tr->ctx_type == ICT && tr->ict_context != nullptr) {
        *host = tr->ict_context->destination;
        *port = tr->ict_context->port;
        return 0;
    }
    if (tr->ctx_type == NICT && tr->nict_context != nullptr) {
        *host = tr->nict_context->destination;
        *port = tr->nict_context->port;
        return 0;
    }
    return -1;
}

void osip_uatransaction_set_dest(osip_transaction_t* tr, const char* host, int port) {
    if (tr == nullptr || host == nullptr) return;
    if (tr->ctx_type == ICT && tr->ict_context != nullptr) osip_ict_set_destination(tr->ict_context, UA_STRDUP(host), port);
    if (tr->ctx_type == NICT && tr->nict_context != nullptr) osip_nict_set_destination(tr->nict_context, UA_STRDUP(host), port);
}

int osip_uatransaction_send_response(osip_transaction_t* tr, osip_message_t* resp) {
    osip_event_t* evt = osip_new_outgoing_sipmessage(resp);
    if (evt == nullptr) {
        osip_message_free(resp);
        return -1;
    }
    evt->transactionid = tr->transactionid;
    osip_uatransaction_add_event(tr, evt);
    return 0;
}

int osip_uatransaction_add_event(osip_transaction_t* tr, osip_event_t* evt) {
    if (tr == nullptr || evt == nullptr) return -1;
    OsipManager* m = ManagerOf(tr);
    bool onDaemon = osip_manager_on_daemon(m);
    if (!onDaemon && m != nullptr) osip_manager_lock(m);
    int rc = osip_transaction_add_event(tr, evt);
    if (!onDaemon && m != nullptr) osip_manager_unlock(m);
    osip_manager_wake(m);
    return rc;
}

OsipDialog* osip_uatransaction_dialog(osip_transaction_t* tr) {
    return tr != nullptr ? static_cast<OsipDialog*>(osip_transaction_get_reserved1(tr)) : nullptr;
}

void osip_uatransaction_set_dialog(osip_transaction_t* tr, OsipDialog* d) {
    if (tr != nullptr) osip_transaction_set_reserved1(tr, d);
}

void osip_uatransaction_removed(osip_transaction_t* tr) {
    OsipManager* m = ManagerOf(tr);
    if (m != nullptr) osip_remove_transaction(m->osip, tr);
    OsipDialog* d = osip_uatransaction_dialog(tr);
    if (d != nullptr) {
        bool empty = true;
        for (int i = 0; i < SLOT_COUNT; ++i) {
            if (d->tr[i] == tr) d->tr[i] = nullptr;
            empty = empty && d->tr[i] == nullptr;
        }
        osip_uatransaction_set_dialog(tr, nullptr);
        if (empty && d->state == DLG_INVITING) {
            if (tr->ctx_type == ICT && tr->last_response == nullptr && !d->failure_reported && d->cnx_id >= 0) {
                ReportFailure(d, tr, nullptr, -1);
            }
            osip_dialog_release(d);
        }
    }
    osip_manager_kill_transaction(m, tr);
}

void nict_register_failed(osip_transaction_t* tr) {
    if (tr == nullptr || !IsMethod(tr->orig_request, "REGISTER")) return;
    if (++g_registerTimeouts >= 3) {
        g_registerTimeouts = 0;
        OsipDialog* d = osip_uatransaction_dialog(tr);
        ReportFailure(d, tr, nullptr, VOIP_CODE_REG_FAILED);
    }
}

int nict_register_timeout_count() { return g_registerTimeouts; }
void nict_register_timeout_reset() { g_registerTimeouts = 0; }

bool osip_ua_handle_stray(OsipManager* m, osip_event_t* evt) {
    if (m == nullptr || m->ua == nullptr || evt == nullptr || evt->sip == nullptr) return false;
    osip_message_t* msg = evt->sip;
    if (MSG_IS_RESPONSE(msg)) {
        if (msg->status_code < 200 || msg->status_code >= 300 || msg->cseq == nullptr ||
            msg->cseq->method == nullptr || strcmp(msg->cseq->method, "INVITE") != 0) {
            return false;
        }
        OsipDialog* d = osip_dialog_find_by_response_tags(msg);
        if (d != nullptr) {
            if (d->last_ack != nullptr && SameCseq(d->last_ack, atoi(msg->cseq->number))) osip_dialog_resend_ack(d);
            return true;
        }
        d = osip_dialog_find_by_callleg(msg);
        if (d == nullptr) return false;
        if (d->dialog != nullptr && d->dialog->remote_tag != nullptr && TagOfTo(msg) != nullptr) {
            osip_dialog_end_fork(d, msg);
        } else if (d->last_ack != nullptr && SameCseq(d->last_ack, atoi(msg->cseq->number))) {
            osip_dialog_resend_ack(d);
        }
        return true;
    }
    if (IsMethod(msg, "ACK")) {
        OsipDialog* d = osip_dialog_find_by_callleg(msg);
        if (d == nullptr) return false;
        if (d->r2xx_active && SameCseq(msg, d->r2xx_cseq)) d->r2xx_active = 0;
        if (d->state == DLG_INVITED && d->dialog != nullptr) d->state = DLG_ESTABLISHED;
        return true;
    }
    if (IsMethod(msg, "INVITE")) {
        OsipDialog* d = osip_dialog_find_by_callleg(msg);
        if (d == nullptr || d->last_2xx == nullptr || !SameCseq(msg, d->r2xx_cseq)) return false;
        osip_dialog_resend_2xx(d);
        return true;
    }
    return false;
}
