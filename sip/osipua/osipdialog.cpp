// SIP dialogs: the dialog list, building and sending every request and response of the user
// agent, ending calls, and the 2xx/ACK bookkeeping of INVITE dialogs.
#include "sip/osipua/osipdialog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/random.h"
#include "sip/osipparser2/osip_rack.h"
#include "sip/osipua/authentication.h"
#include "sip/osipua/bodyhandler.h"
#include "sip/osipua/osip_alloc.h"
#include "sip/osipua/osipmanager.h"
#include "sip/osipua/osipua.h"
#include "sip/osipua/uatrace.h"
#include "sip/osipua/uatransaction.h"
#include "sip/osipua/utils.h"

namespace {

constexpr const char* kFile = "sip/osipua/osipdialog";
constexpr int kBuckets = 256;
constexpr uint32_t kT1 = 500;
constexpr uint32_t kT2 = 4000;

std::recursive_mutex g_listMutex;
OsipDialog* g_buckets[kBuckets];
int g_listCount = 0;

std::string RandomText() {
    char buf[OSIP_RANDOM_LEN + 1];
    OSIP_RandomString(buf, OSIP_RANDOM_LEN);
    return buf;
}

bool SameText(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return strcmp(a, b) == 0;
}

bool SameHost(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return osip_strcasecmp(a, b) == 0;
}

// The "tag" parameter of a From or To.
int GetTag(osip_from_t* f, osip_generic_param_t** p) {
    static char kTag[] = "tag";
    return osip_generic_param_get_byname(&f->gen_params, kTag, p);
}

const char* TagOf(osip_from_t* f) {
    osip_generic_param_t* p = nullptr;
    if (f == nullptr || GetTag(f, &p) != 0 || p == nullptr) return nullptr;
    return p->gvalue;
}

void SetTag(osip_from_t* f, const char* tag) {
    if (f == nullptr || tag == nullptr) return;
    osip_generic_param_t* p = nullptr;
    if (GetTag(f, &p) == 0 && p != nullptr) {
        osip_free(p->gvalue);
        p->gvalue = UA_STRDUP(tag);
    } else {
        osip_from_set_tag(f, UA_STRDUP(tag));
    }
}

unsigned CseqNumber(osip_message_t* msg) {
    if (msg == nullptr || msg->cseq == nullptr || msg->cseq->number == nullptr) return 0;
    return static_cast<unsigned>(strtoul(msg->cseq->number, nullptr, 10));
}

bool IsMethod(osip_message_t* msg, const char* method) {
    return msg != nullptr && msg->sip_method != nullptr && strcmp(msg->sip_method, method) == 0;
}

// "SIP/2.0/UDP %s:%i;rport;branch=z9hG4bK<32 random>" (rport may be left out).
void AddVia(osip_message_t* msg, const char* ip, int port, bool rport) {
    char via[200];
    snprintf(via, sizeof via, rport ? "SIP/2.0/UDP %s:%i;rport;branch=z9hG4bK%s" : "SIP/2.0/UDP %s:%i;branch=z9hG4bK%s",
             ip, port, RandomText().c_str());
    osip_message_set_via(msg, via);
}

// Clone of the user agent's default identity with its host replaced by the local address.
void AddContact(OsipUa* ua, osip_message_t* msg, const char* localAddress) {
    if (ua == nullptr || ua->local_address == nullptr) return;
    osip_from_t* c = nullptr;
    if (osip_from_clone(ua->local_address, &c) != 0 || c == nullptr) return;
    if (c->url != nullptr && localAddress != nullptr) {
        osip_free(c->url->host);
        c->url->host = UA_STRDUP(localAddress);
    }
    osip_list_add(&msg->contacts, c, -1);
}

void AddRoute(osip_message_t* msg, const osip_uri_t* uri) {
    osip_route_t* r = nullptr;
    if (osip_route_init(&r) != 0) return;
    if (osip_uri_clone(uri, &r->url) != 0) {
        osip_route_free(r);
        return;
    }
    osip_list_add(&msg->routes, r, -1);
}

bool HasLr(const osip_uri_t* uri) {
    osip_uri_param_t* p = nullptr;
    return uri != nullptr && osip_uri_param_get_byname(const_cast<osip_list_t*>(&uri->url_params), const_cast<char*>("lr"), &p) == 0 && p != nullptr;
}

void SetCallId(osip_message_t* msg, const char* number, const char* host) {
    osip_call_id_t* cid = nullptr;
    if (osip_call_id_init(&cid) != 0) return;
    osip_call_id_set_number(cid, UA_STRDUP(number));
    if (host != nullptr) osip_call_id_set_host(cid, UA_STRDUP(host));
    msg->call_id = cid;
}

void SetCseq(osip_message_t* msg, unsigned number, const char* method) {
    osip_cseq_t* c = nullptr;
    if (osip_cseq_init(&c) != 0) return;
    char num[16];
    snprintf(num, sizeof num, "%u", number);
    osip_cseq_set_number(c, UA_STRDUP(num));
    osip_cseq_set_method(c, UA_STRDUP(method));
    msg->cseq = c;
}

// New message with method and version.
osip_message_t* NewRequest(const char* method) {
    osip_message_t* msg = nullptr;
    if (osip_message_init(&msg) != 0) return nullptr;
    osip_message_set_method(msg, UA_STRDUP(method));
    osip_message_set_version(msg, UA_STRDUP("SIP/2.0"));
    return msg;
}

void RemoveAllHeaders(osip_list_t* list, void (*freefn)(void*)) {
    while (!osip_list_eol(list, 0)) {
        void* h = osip_list_get(list, 0);
        osip_list_remove(list, 0);
        freefn(h);
    }
}

void FreeAuth(void* p) { osip_authorization_free(static_cast<osip_authorization_t*>(p)); }
void FreeVia(void* p) { osip_via_free(static_cast<osip_via_t*>(p)); }
void FreeBody(void* p) { osip_body_free(static_cast<osip_body_t*>(p)); }
void FreeContact(void* p) { osip_contact_free(static_cast<osip_contact_t*>(p)); }

// Builds an out-of-dialog INVITE or REGISTER.
int BuildOutOfDialog(OsipDialog* d, const char* method, const char* callee, RegCtxt* ctx, osip_message_t** out) {
    *out = nullptr;
    OsipUa* ua = d->ua;
    bool isRegister = strcmp(method, "REGISTER") == 0;
    if (isRegister && ctx == nullptr) return -1;
    if (ctx != nullptr && ctx->call_id == nullptr) ctx->call_id = UA_STRDUP(RandomText().c_str());
    if (ctx != nullptr && ctx->from_tag == nullptr) ctx->from_tag = UA_STRDUP(RandomText().c_str());
    if (d->from == nullptr) return -1;

    osip_message_t* req = NewRequest(method);
    if (req == nullptr) return -1;
    osip_from_clone(d->from, &req->from);
    if (isRegister) {
        osip_to_clone(reinterpret_cast<osip_to_t*>(d->from), &req->to);
        if (req->to != nullptr) {
            osip_generic_param_t* p = nullptr;
            while (GetTag(req->to, &p) == 0 && p != nullptr) {
                OSIP_ListRemove(&req->to->gen_params, p);
                osip_generic_param_free(p);
                p = nullptr;
            }
        }
        SetTag(req->from, ctx->from_tag);
        osip_uri_t* rurl = nullptr;
        if (osip_uri_init(&rurl) != 0 || osip_uri_parse(rurl, ctx->registrar) != 0) {
            osip_uri_free(rurl);
            osip_message_free(req);
            return -1;
        }
        osip_message_set_uri(req, rurl);
    } else {
        SetTag(req->from, RandomText().c_str());
        if (osip_to_init(&req->to) != 0 || osip_to_parse(req->to, callee) != 0 || req->to->url == nullptr) {
            osip_message_free(req);
            return -1;
        }
        osip_uri_t* rurl = nullptr;
        osip_uri_t* proxy = ua->outbound_proxy;
        if (proxy != nullptr && proxy->host != nullptr && !SameHost(proxy->host, req->to->url->host)) {
            if (HasLr(proxy)) {
                osip_uri_clone(req->to->url, &rurl);
                AddRoute(req, proxy);
            } else {
                osip_uri_clone(proxy, &rurl);
                AddRoute(req, req->to->url);
            }
        } else {
            osip_uri_clone(req->to->url, &rurl);
        }
        osip_message_set_uri(req, rurl);
    }
    UA_FREE(d->local_address);
    d->local_address = UA_STRDUP(ua->ip != nullptr ? ua->ip : "127.0.0.1");
    if (isRegister) {
        SetCallId(req, ctx->call_id, d->local_address);
        SetCseq(req, ctx->cseq_number, method);
    } else {
        SetCallId(req, RandomText().c_str(), d->local_address);
        SetCseq(req, static_cast<unsigned>(plat::rand15()), method);
    }
    osip_message_set_max_forwards(req, "70");
    AddVia(req, d->local_address, ua->port, true);
    AddContact(ua, req, d->local_address);
    if (isRegister) {
        char exp[16];
        snprintf(exp, sizeof exp, "%i", ctx->expires);
        osip_message_set_expires(req, exp);
    }
    osip_message_set_user_agent(req, OSIP_USER_AGENT);
    *out = req;
    return 0;
}

// Builds a request inside the dialog (ACK, BYE, PRACK, re-INVITE).
int BuildInDialog(OsipDialog* d, const char* method, osip_message_t** out) {
    *out = nullptr;
    osip_dialog_t* od = d->dialog;
    if (od == nullptr || (od->remote_contact_uri == nullptr && od->remote_uri == nullptr)) return -1;
    osip_message_t* req = NewRequest(method);
    if (req == nullptr) return -1;
    osip_uri_t* rurl = nullptr;
    const osip_uri_t* target = od->remote_contact_uri != nullptr && od->remote_contact_uri->url != nullptr
                                   ? od->remote_contact_uri->url
                                   : (od->remote_uri != nullptr ? od->remote_uri->url : nullptr);
    if (target == nullptr || osip_uri_clone(target, &rurl) != 0) {
        osip_message_free(req);
        return -1;
    }
    osip_message_set_uri(req, rurl);
    for (int pos = 0; !osip_list_eol(&od->route_set, pos); ++pos) {
        auto* r = static_cast<osip_route_t*>(osip_list_get(&od->route_set, pos));
        osip_route_t* copy = nullptr;
        if (r != nullptr && osip_from_clone(r, &copy) == 0) osip_list_add(&req->routes, copy, -1);
    }
    osip_to_clone(od->remote_uri, &req->to);
    osip_from_clone(od->local_uri, &req->from);
    if (od->remote_tag != nullptr) SetTag(req->to, od->remote_tag);
    if (od->local_tag != nullptr) SetTag(req->from, od->local_tag);
    osip_message_set_call_id(req, od->call_id);
    unsigned number = 0;
    if (strcmp(method, "ACK") == 0) {
        number = d->invite_cseq;
    } else {
        od->local_cseq = od->local_cseq < 0 ? 1 : od->local_cseq + 1;
        number = static_cast<unsigned>(od->local_cseq);
    }
    SetCseq(req, number, method);
    osip_message_set_max_forwards(req, "70");
    OsipUa* ua = d->ua;
    const char* local = d->local_address != nullptr ? d->local_address : ua->ip;
    AddVia(req, local, ua->port, true);
    if (strcmp(method, "INVITE") == 0) AddContact(ua, req, local);
    if (strcmp(method, "PRACK") == 0) {
        char rack[64];
        snprintf(rack, sizeof rack, "%u %u INVITE", d->pending_rseq, d->invite_cseq);
        osip_message_set_rack(req, rack);
    }
    osip_message_set_user_agent(req, OSIP_USER_AGENT);
    *out = req;
    return 0;
}

// Host and port a request inside the dialog goes to when no transaction decides it: the first
// Route (port 5060 when it has none), else the request URI.
void RequestTarget(osip_message_t* req, std::string* host, int* port) {
    auto* route = static_cast<osip_route_t*>(osip_list_get(&req->routes, 0));
    const osip_uri_t* uri = (route != nullptr && route->url != nullptr) ? route->url : req->req_uri;
    *host = (uri != nullptr && uri->host != nullptr) ? uri->host : "";
    *port = (uri != nullptr && uri->port != nullptr) ? atoi(uri->port) : 5060;
    if (*port <= 0) *port = 5060;
}

// CANCEL from a copy of our INVITE (same request URI, Call-ID, From, To, Via, CSeq number).
int SendCancel(OsipDialog* d) {
    osip_transaction_t* inv = d->tr[SLOT_OUT_INVITE];
    if (inv == nullptr || inv->orig_request == nullptr) {
        UA_TRACE(1, "osip_dialog_bye: Can't cancel last transaction.");
        return -1;
    }
    osip_message_t* cancel = nullptr;
    if (osip_message_clone(inv->orig_request, &cancel) != 0 || cancel == nullptr) return -1;
    osip_free(cancel->sip_method);
    cancel->sip_method = UA_STRDUP("CANCEL");
    if (cancel->cseq != nullptr) {
        osip_free(cancel->cseq->method);
        cancel->cseq->method = UA_STRDUP("CANCEL");
    }
    RemoveAllHeaders(&cancel->bodies, FreeBody);
    if (cancel->content_type != nullptr) {
        osip_content_type_free(cancel->content_type);
        cancel->content_type = nullptr;
    }
    if (cancel->content_length != nullptr) {
        osip_content_length_free(cancel->content_length);
        cancel->content_length = nullptr;
    }
    osip_message_force_update(cancel);
    d->state = DLG_CANCELLING;
    return osip_dialog_send_request(d, cancel) < 0 ? -1 : 0;
}

}  // namespace

// ------------------------------------------------------------------------------------------
// Dialog list

unsigned osip_dialog_callid_hash(const char* number) {
    unsigned h = 0;
    if (number == nullptr) return 0;
    for (int i = 0; i < 31 && number[i] != '\0'; ++i) h = static_cast<unsigned char>(number[i]) - h;
    return h;
}

int osip_dialog_add_to_list(OsipDialog* d) {
    if (d == nullptr || d->callid_number == nullptr) {
        UA_TRACE(1, "osip_dialog_add_to_list: add call- %p, %s@%s, fail.", static_cast<void*>(d),
                 d != nullptr && d->callid_number != nullptr ? d->callid_number : "",
                 d != nullptr && d->callid_host != nullptr ? d->callid_host : "");
        return -1;
    }
    std::lock_guard<std::recursive_mutex> lock(g_listMutex);
    if (d->flags & 1) return 0;
    unsigned bucket = osip_dialog_callid_hash(d->callid_number) % kBuckets;
    d->hash_next = g_buckets[bucket];
    g_buckets[bucket] = d;
    d->flags |= 1;
    ++g_listCount;
    UA_TRACE(3, "osip_dialog_add_to_list: add call- %p, %s@%s, ok.", static_cast<void*>(d), d->callid_number,
             d->callid_host != nullptr ? d->callid_host : "");
    return 0;
}

int osip_dialog_remove_from_list(OsipDialog* d) {
    if (d == nullptr) return -1;
    std::lock_guard<std::recursive_mutex> lock(g_listMutex);
    if (!(d->flags & 1) || d->callid_number == nullptr) return -1;
    unsigned bucket = osip_dialog_callid_hash(d->callid_number) % kBuckets;
    for (OsipDialog** p = &g_buckets[bucket]; *p != nullptr; p = &(*p)->hash_next) {
        if (*p == d) {
            *p = d->hash_next;
            d->hash_next = nullptr;
            d->flags &= static_cast<unsigned char>(~1u);
            --g_listCount;
            UA_TRACE(3, "osip_dialog_add_to_list: del call- %p, %s@%s, ok.", static_cast<void*>(d), d->callid_number,
                     d->callid_host != nullptr ? d->callid_host : "");
            return 0;
        }
    }
    UA_TRACE(1, "osip_dialog_add_to_list: del call- %p, %s@%s, fail.", static_cast<void*>(d), d->callid_number,
             d->callid_host != nullptr ? d->callid_host : "");
    return -1;
}

int osip_dialog_list_count() {
    std::lock_guard<std::recursive_mutex> lock(g_listMutex);
    return g_listCount;
}

namespace {

// Local and remote tags of the dialog as this side sees them.
const char* LocalTag(OsipDialog* d) {
    if (d->dialog != nullptr) return d->dialog->local_tag;
    return d->local_tag;
}
const char* RemoteTag(OsipDialog* d) {
    if (d->dialog != nullptr) return d->dialog->remote_tag;
    return TagOf(d->from);
}
int RemoteCseq(OsipDialog* d) { return d->dialog != nullptr ? d->dialog->remote_cseq : d->remote_cseq; }

bool SameCallId(OsipDialog* d, osip_message_t* msg) {
    if (msg->call_id == nullptr || d->callid_number == nullptr) return false;
    if (!SameText(d->callid_number, msg->call_id->number)) return false;
    return SameText(d->callid_host, msg->call_id->host);
}

}  // namespace

OsipDialog* osip_dialog_find_by_request(osip_message_t* request) {
    if (request == nullptr || request->call_id == nullptr || request->call_id->number == nullptr) return nullptr;
    std::lock_guard<std::recursive_mutex> lock(g_listMutex);
    unsigned bucket = osip_dialog_callid_hash(request->call_id->number) % kBuckets;
    const char* fromTag = TagOf(request->from);
    const char* toTag = TagOf(request->to);
    int cseq = static_cast<int>(CseqNumber(request));
    bool ackOrCancel = IsMethod(request, "ACK") || IsMethod(request, "CANCEL");
    for (OsipDialog* d = g_buckets[bucket]; d != nullptr; d = d->hash_next) {
        if (!SameCallId(d, request)) continue;
        if (d->regctxt != nullptr) continue;
        const char* remote = RemoteTag(d);
        if (remote != nullptr && !SameText(remote, fromTag)) continue;
        const char* local = LocalTag(d);
        if (toTag != nullptr && (local == nullptr || !SameText(local, toTag))) continue;
        if (toTag == nullptr && !ackOrCancel && d->dialog != nullptr && d->dialog->state == DIALOG_CONFIRMED) continue;
        int rc = RemoteCseq(d);
        if (ackOrCancel ? cseq < rc : cseq <= rc) continue;
        return d;
    }
    return nullptr;
}

OsipDialog* osip_dialog_find_by_callleg(osip_message_t* msg) {
    if (msg == nullptr || msg->call_id == nullptr || msg->call_id->number == nullptr) return nullptr;
    std::lock_guard<std::recursive_mutex> lock(g_listMutex);
    unsigned bucket = osip_dialog_callid_hash(msg->call_id->number) % kBuckets;
    bool response = MSG_IS_RESPONSE(msg);
    const char* fromTag = TagOf(msg->from);
    for (OsipDialog* d = g_buckets[bucket]; d != nullptr; d = d->hash_next) {
        if (!SameCallId(d, msg)) continue;
        const char* tag = response ? (d->dialog != nullptr ? d->dialog->local_tag : TagOf(d->from)) : RemoteTag(d);
        if (tag != nullptr && !SameText(tag, fromTag)) continue;
        return d;
    }
    return nullptr;
}

OsipDialog* osip_dialog_find_by_response_tags(osip_message_t* msg) {
    if (msg == nullptr || msg->call_id == nullptr || msg->call_id->number == nullptr) return nullptr;
    const char* fromTag = TagOf(msg->from);
    const char* toTag = TagOf(msg->to);
    if (fromTag == nullptr || toTag == nullptr) return nullptr;
    std::lock_guard<std::recursive_mutex> lock(g_listMutex);
    unsigned bucket = osip_dialog_callid_hash(msg->call_id->number) % kBuckets;
    for (OsipDialog* d = g_buckets[bucket]; d != nullptr; d = d->hash_next) {
        if (!SameCallId(d, msg) || d->dialog == nullptr) continue;
        if (SameText(d->dialog->local_tag, fromTag) && SameText(d->dialog->remote_tag, toTag)) return d;
    }
    return nullptr;
}

// ------------------------------------------------------------------------------------------
// Creation and destruction

namespace {

OsipDialog* AllocDialog(OsipUa* ua) {
    auto* d = static_cast<OsipDialog*>(UA_MALLOC(sizeof(OsipDialog)));
    if (d == nullptr) return nullptr;
    memset(static_cast<void*>(d), 0, sizeof *d);
    d->state = DLG_NEW;
    d->cnx_id = -1;
    d->call_id = -1;
    d->ua = ua;
    d->remote_cseq = -1;
    osip_from_t* id = OSIP_FirstIdentity(ua);
    if (id != nullptr) osip_from_clone(id, &d->from);
    if (ua->outbound_proxy != nullptr) osip_uri_clone(ua->outbound_proxy, &d->route);
    d->local_address = UA_STRDUP(ua->ip != nullptr ? ua->ip : "127.0.0.1");
    return d;
}

}  // namespace

OsipDialog* osip_dialog_new(OsipUa* ua) {
    if (!UA_CHECK(NULL != ua, kFile)) return nullptr;
    if (ua->num_dialogs >= ua->max_dialogs) {
        UA_TRACE(1, "osip_dialog_new: %d dialogs already, refused.", ua->num_dialogs);
        return nullptr;
    }
    OsipDialog* d = AllocDialog(ua);
    if (d == nullptr) return nullptr;
    ua->dialogs.push_back(d);
    ++ua->num_dialogs;
    return d;
}

OsipDialog* osip_dialog_new_register(OsipUa* ua) {
    if (!UA_CHECK(NULL != ua, kFile)) return nullptr;
    OsipDialog* d = AllocDialog(ua);
    if (d == nullptr) return nullptr;
    ua->reg_dialog = d;
    return d;
}

OsipDialog* osip_dialog_new_from_request(osip_transaction_t* tr) {
    OsipUa* ua = OSIP_GetUa();
    if (tr == nullptr || tr->orig_request == nullptr || ua == nullptr) return nullptr;
    osip_message_t* req = tr->orig_request;
    if (ua->num_dialogs >= ua->max_dialogs) {
        OSIP_SendResponse(ua, tr, 486);
        return nullptr;
    }
    int slot = -1;
    int state = DLG_NEW;
    if (IsMethod(req, "INVITE")) {
        slot = SLOT_IN_INVITE;
        state = DLG_INVITED;
    } else if (IsMethod(req, "BYE")) {
        slot = SLOT_IN_BYE;
        state = DLG_ENDING;
    } else if (IsMethod(req, "OPTIONS")) {
        slot = SLOT_IN_OPTIONS;
        state = DLG_ENDING;
    }
    if (slot < 0 || !MSG_IS_REQUEST(req)) {
        OSIP_SendResponse(ua, tr, 501);
        return nullptr;
    }
    OsipDialog* d = osip_dialog_new(ua);
    if (d == nullptr) return nullptr;
    d->state = state;
    if (d->from != nullptr) osip_from_free(d->from);
    d->from = nullptr;
    osip_from_clone(req->from, &d->from);
    if (req->call_id == nullptr || req->call_id->number == nullptr) {
        osip_dialog_destroy(d);
        return nullptr;
    }
    d->callid_number = UA_STRDUP(req->call_id->number);
    if (req->call_id->host != nullptr) d->callid_host = UA_STRDUP(req->call_id->host);
    d->remote_cseq = static_cast<int>(CseqNumber(req));
    osip_dialog_set_slot(d, slot, tr);
    osip_dialog_add_to_list(d);
    auto* via = static_cast<osip_via_t*>(osip_list_get(&req->vias, 0));
    if (via != nullptr) {
        osip_generic_param_t* received = nullptr;
        osip_via_param_get_byname(via, const_cast<char*>("received"), &received);
        const char* peer = (received != nullptr && received->gvalue != nullptr) ? received->gvalue : via->host;
        if (peer != nullptr) d->peer_address = UA_STRDUP(peer);
    }
    UA_FREE(d->local_address);
    d->local_address = UA_STRDUP(ua->ip != nullptr ? ua->ip : "127.0.0.1");
    return d;
}

void osip_dialog_set_slot(OsipDialog* d, int slot, osip_transaction_t* tr) {
    if (d == nullptr || slot < 0 || slot >= SLOT_COUNT) return;
    osip_transaction_t* old = d->tr[slot];
    if (old != nullptr && old != tr && osip_uatransaction_dialog(old) == d) osip_uatransaction_set_dialog(old, nullptr);
    d->tr[slot] = tr;
    if (tr != nullptr) {
        osip_uatransaction_set_dialog(tr, d);
        if (d->ua != nullptr && d->ua->manager != nullptr) {
            osip_transaction_set_out_socket(tr, d->ua->manager->main_socket);
        }
    }
}

void osip_dialog_destroy(OsipDialog* d) {
    if (d == nullptr) return;
    OsipUa* ua = d->ua;
    if (d->flags & 1) {
        if (osip_dialog_remove_from_list(d) != 0) UA_TRACE(1, "osip_dialog_destroy: Could not remove dialog from list.");
    }
    if (ua != nullptr) {
        if (ua->reg_dialog == d) {
            ua->reg_dialog = nullptr;
        } else {
            auto it = std::find(ua->dialogs.begin(), ua->dialogs.end(), d);
            if (it == ua->dialogs.end()) {
                UA_TRACE(1, "osip_dialog_destroy: Could not remove dialog from ua list.");
            } else {
                ua->dialogs.erase(it);
                --ua->num_dialogs;
                UA_TRACE(3, "osip_dialog_destroy: Dialog is removed. It remains %i dialog(s) in the ua list.",
                         ua->num_dialogs);
            }
        }
    }
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (d->tr[i] != nullptr && osip_uatransaction_dialog(d->tr[i]) == d) osip_uatransaction_set_dialog(d->tr[i], nullptr);
        d->tr[i] = nullptr;
    }
    for (int i = 0; i < d->body_count; ++i) body_context_destroy(d->bodies[i]);
    if (d->dialog != nullptr) osip_dialog_free(d->dialog);
    if (d->from != nullptr) osip_from_free(d->from);
    if (d->remote_target != nullptr) osip_uri_free(d->remote_target);
    if (d->route != nullptr) osip_uri_free(d->route);
    if (d->last_ack != nullptr) osip_message_free(d->last_ack);
    if (d->last_2xx != nullptr) osip_message_free(d->last_2xx);
    reg_ctxt_unref(d->regctxt);
    UA_FREE(d->peer_address);
    UA_FREE(d->local_address);
    UA_FREE(d->callid_number);
    UA_FREE(d->callid_host);
    UA_FREE(d->local_tag);
    UA_FREE(d->ack_host);
    UA_FREE(d);
}

void osip_dialog_release(OsipDialog* d) {
    if (d == nullptr) return;
    d->state = DLG_ENDED;
    d->cnx_id = -1;
    d->call_id = -1;
}

BodyContext* osip_dialog_get_body_context(OsipDialog* d, const char* mime, bool create) {
    if (d == nullptr || mime == nullptr) return nullptr;
    for (int i = 0; i < d->body_count; ++i) {
        if (osip_strcasecmp(body_handler_mime(d->bodies[i]->handler), mime) == 0) return d->bodies[i];
    }
    if (!create || d->body_count >= OSIP_DIALOG_MAX_BODIES) return nullptr;
    BodyHandler* h = OSIP_FindBodyHandler(d->ua, mime);
    if (h == nullptr) return nullptr;
    BodyContext* ctx = h->klass->create_context(h, d);
    if (ctx != nullptr) d->bodies[d->body_count++] = ctx;
    return ctx;
}

// ------------------------------------------------------------------------------------------
// Requests

int osip_dialog_send_request(OsipDialog* d, osip_message_t* request) {
    if (d == nullptr || request == nullptr) return -1;
    if (!MSG_IS_REQUEST(request)) {
        UA_CHECK(MSG_IS_REQUEST(request), kFile);
        osip_message_free(request);
        return -1;
    }
    bool cancel = IsMethod(request, "CANCEL");
    static const char* kMethods[] = {"INVITE", "REGISTER", "BYE", "CANCEL", "PRACK", "OPTIONS", "INFO"};
    bool known = false;
    for (const char* m : kMethods) known = known || IsMethod(request, m);
    if (!known) {
        osip_message_free(request);
        return -1;
    }
    osip_event_t* evt = osip_new_outgoing_sipmessage(request);
    if (evt == nullptr) {
        osip_message_free(request);
        return cancel ? 0 : -1;
    }
    osip_transaction_t* tr = osip_uatransaction_new(d, request);
    if (tr == nullptr) {
        osip_event_free(evt);
        return cancel ? 0 : -1;
    }
    evt->transactionid = tr->transactionid;
    char* host = nullptr;
    int port = 0;
    osip_uatransaction_get_dest(tr, &host, &port);
    if (host != nullptr && OSIP_IsDotted(host)) {
        osip_uatransaction_add_event(tr, evt);
        return tr->transactionid;
    }
    return OSIP_ResolveTransaction(d->ua->manager, tr, evt);
}

int osip_dialog_add_body_to_request(OsipDialog* d, osip_message_t* request, const char* mime) {
    BodyContext* ctx = osip_dialog_get_body_context(d, mime, true);
    if (ctx == nullptr) return -1;
    return ctx->klass->gen_out_req(ctx, request);
}

int osip_dialog_build_invite(OsipDialog* d, const char* callee, const char* mime) {
    if (!UA_CHECK(NULL != d, kFile)) return -1;
    if (d->state != DLG_NEW || callee == nullptr) return -1;
    osip_uri_t* uri = nullptr;
    if (osip_uri_init(&uri) != 0 || osip_uri_parse(uri, callee) != 0) {
        osip_uri_free(uri);
        return -1;
    }
    osip_message_t* req = nullptr;
    if (BuildOutOfDialog(d, "INVITE", callee, nullptr, &req) != 0) {
        osip_uri_free(uri);
        return -1;
    }
    if (d->remote_target != nullptr) osip_uri_free(d->remote_target);
    d->remote_target = uri;
    if (d->flags & 1) osip_dialog_remove_from_list(d);
    UA_FREE(d->callid_number);
    UA_FREE(d->callid_host);
    d->callid_number = UA_STRDUP(req->call_id->number);
    if (req->call_id->host != nullptr) d->callid_host = UA_STRDUP(req->call_id->host);
    osip_dialog_add_to_list(d);
    if (mime != nullptr && osip_dialog_add_body_to_request(d, req, mime) != 0) {
        osip_message_free(req);
        return -1;
    }
    d->invite_cseq = CseqNumber(req);
    d->provisional_count = 0;
    d->last_rseq = 0;
    if (osip_dialog_send_request(d, req) < 0) return -1;
    d->state = DLG_INVITING;
    return 0;
}

namespace {

int SendRegister(OsipDialog* d, RegCtxt* ctx, osip_message_t* challenge, const char* password) {
    osip_message_t* req = nullptr;
    if (BuildOutOfDialog(d, "REGISTER", nullptr, ctx, &req) != 0) return -1;
    if (challenge != nullptr) {
        bool www = osip_list_get(&challenge->www_authenticates, 0) != nullptr;
        bool proxy = osip_list_get(&challenge->proxy_authenticates, 0) != nullptr;
        if (www && proxy) {
            osip_message_free(req);
            return -1;
        }
        char* uri = nullptr;
        osip_uri_to_str(req->req_uri, &uri);
        const char* user = (d->ua->config != nullptr) ? d->ua->config->pszUserName : nullptr;
        const char* pw = password != nullptr ? password : ctx->password;
        int rc = -1;
        if (www) {
            osip_authorization_t* auth = nullptr;
            rc = osip_build_authorization(challenge, uri, user, pw, nullptr, &auth);
            if (rc == 0) osip_list_add(&req->authorizations, auth, -1);
        } else if (proxy) {
            osip_proxy_authorization_t* auth = nullptr;
            rc = osip_build_proxy_authorization(challenge, uri, user, pw, nullptr, &auth);
            if (rc == 0) osip_list_add(&req->proxy_authorizations, auth, -1);
        }
        osip_free(uri);
        if (rc != 0) {
            osip_message_free(req);
            return -1;
        }
    }
    ++ctx->spare;
    return osip_dialog_send_request(d, req) < 0 ? -1 : 0;
}

}  // namespace

int osip_dialog_register(OsipDialog* d, RegCtxt* ctx) {
    if (d == nullptr || ctx == nullptr || ctx->registrar == nullptr) return -1;
    osip_uri_t* uri = nullptr;
    int rc = osip_uri_init(&uri);
    if (rc == 0) rc = osip_uri_parse(uri, ctx->registrar);
    osip_uri_free(uri);
    if (rc != 0) return rc;
    if (ctx->address_of_record != nullptr) {
        osip_from_t* aor = nullptr;
        rc = osip_from_init(&aor);
        if (rc == 0) rc = osip_from_parse(aor, ctx->address_of_record);
        if (rc != 0) {
            osip_from_free(aor);
            return rc;
        }
        if (d->from != nullptr) osip_from_free(d->from);
        d->from = aor;
    }
    if (d->regctxt != ctx) {
        reg_ctxt_unref(d->regctxt);
        d->regctxt = ctx;
        reg_ctxt_ref(ctx);
    }
    // A registration that already sent a REGISTER goes on with the next CSeq number.
    if (ctx->spare > 0) ++ctx->cseq_number;
    rc = SendRegister(d, ctx, nullptr, nullptr);
    d->state = DLG_ENDED;
    return rc;
}

int osip_dialog_register_refresh(OsipDialog* d, RegCtxt* ctx) {
    if (d == nullptr || ctx == nullptr) return -1;
    if (d->tr[SLOT_OUT_REGISTER] != nullptr && d->tr[SLOT_OUT_REGISTER]->state != NICT_TERMINATED &&
        d->tr[SLOT_OUT_REGISTER]->state != NICT_COMPLETED) {
        return 0;
    }
    ++ctx->cseq_number;
    if (SendRegister(d, ctx, nullptr, nullptr) != 0) {
        UA_TRACE(1, "osip_dialog_register_refresh: REGISTER could not be sent.");
        return -1;
    }
    return 0;
}

int osip_dialog_register_resend(OsipDialog* d) {
    if (d == nullptr || d->regctxt == nullptr) return -1;
    ++d->regctxt->cseq_number;
    return SendRegister(d, d->regctxt, nullptr, nullptr);
}

int osip_dialog_register_with_authentication(OsipDialog* d, osip_message_t* challenge, const char* password) {
    if (d == nullptr || d->regctxt == nullptr || challenge == nullptr) return -1;
    ++d->regctxt->cseq_number;
    int rc = SendRegister(d, d->regctxt, challenge, password);
    d->state = DLG_ENDING;
    return rc;
}

void osip_dialog_accept_invite(OsipDialog* d, osip_transaction_t* tr) {
    if (d == nullptr || tr == nullptr) return;
    d->state = DLG_ESTABLISHED;
    osip_dialog_respond(d, tr, 200);
}

int osip_dialog_reject_invite(OsipDialog* d, int status) {
    if (d == nullptr || d->tr[SLOT_IN_INVITE] == nullptr) return -1;
    if (d->state == DLG_ESTABLISHED) return 0;
    osip_dialog_respond(d, d->tr[SLOT_IN_INVITE], status);
    osip_dialog_release(d);
    return 0;
}

int osip_dialog_bye(OsipDialog* d) {
    if (!UA_CHECK(NULL != d, kFile)) return -1;
    if (d->state == DLG_ESTABLISHED && d->dialog != nullptr) {
        osip_message_t* bye = nullptr;
        if (BuildInDialog(d, "BYE", &bye) != 0) {
            UA_TRACE(1, "osip_dialog_bye: Could not generate BYE message.");
            return -1;
        }
        d->r2xx_active = 0;
        int rc = osip_dialog_send_request(d, bye) < 0 ? -1 : 0;
        // Without a transaction nothing will answer; the idle dialog is collected all the same.
        if (rc != 0) UA_TRACE(1, "osip_dialog_bye: BYE could not be sent.");
        d->state = DLG_ENDING;
        return rc;
    }
    if (d->state == DLG_INVITED) {
        // An incoming call cannot be cancelled by its callee: it is declined.
        return osip_dialog_reject_invite(d, 603);
    }
    osip_transaction_t* inv = d->tr[SLOT_OUT_INVITE];
    if (inv != nullptr) {
        if (inv->state == ICT_PRE_CALLING || inv->state == ICT_CALLING) {
            // No provisional answer yet: the CANCEL goes with the first one, and a 2xx is
            // acknowledged and ended with BYE.
            d->cancel_pending = 1;
            return 0;
        }
        return SendCancel(d);
    }
    UA_TRACE(1, "osip_dialog_bye: Can't cancel last transaction.");
    return -1;
}

int osip_dialog_cancel_now(OsipDialog* d) { return SendCancel(d); }

namespace {

// Clone of the last request with CSeq + 1, a new Via and fresh credentials.
int ResendWithCredentials(OsipDialog* d, osip_transaction_t* last, osip_message_t* challenge, const char* password,
                          bool rport) {
    if (last == nullptr || last->orig_request == nullptr || challenge == nullptr) return -1;
    bool www = osip_list_get(&challenge->www_authenticates, 0) != nullptr;
    bool proxy = osip_list_get(&challenge->proxy_authenticates, 0) != nullptr;
    if (www && proxy) return -1;
    osip_message_t* req = nullptr;
    if (osip_message_clone(last->orig_request, &req) != 0 || req == nullptr) return -1;
    unsigned number = CseqNumber(req) + 1;
    char num[16];
    snprintf(num, sizeof num, "%u", number);
    osip_free(req->cseq->number);
    req->cseq->number = UA_STRDUP(num);
    RemoveAllHeaders(&req->vias, FreeVia);
    RemoveAllHeaders(&req->authorizations, FreeAuth);
    RemoveAllHeaders(&req->proxy_authorizations, FreeAuth);
    const char* local = d->local_address != nullptr ? d->local_address : d->ua->ip;
    AddVia(req, local, d->ua->port, rport);
    char* uri = nullptr;
    osip_uri_to_str(req->req_uri, &uri);
    const char* user = d->ua->config != nullptr ? d->ua->config->pszUserName : nullptr;
    const char* body = nullptr;
    auto* b = static_cast<osip_body_t*>(osip_list_get(&req->bodies, 0));
    if (b != nullptr) body = b->body;
    int rc = -1;
    if (www) {
        osip_authorization_t* auth = nullptr;
        rc = osip_build_authorization(challenge, uri, user, password, body, &auth);
        if (rc == 0) osip_list_add(&req->authorizations, auth, -1);
        else UA_TRACE(1, "osip_dialog_bye_with_authentication: Could not build the www_authorization header.");
    } else if (proxy) {
        osip_proxy_authorization_t* auth = nullptr;
        rc = osip_build_proxy_authorization(challenge, uri, user, password, body, &auth);
        if (rc == 0) osip_list_add(&req->proxy_authorizations, auth, -1);
        else UA_TRACE(1, "osip_dialog_bye_with_authentication: Could not build the proxy-authorization header.");
    }
    osip_free(uri);
    if (rc != 0) {
        osip_message_free(req);
        return -1;
    }
    osip_message_force_update(req);
    if (IsMethod(req, "INVITE")) d->invite_cseq = number;
    // The next request of the dialog must take a higher number than this one.
    if (d->dialog != nullptr && static_cast<int>(number) > d->dialog->local_cseq) {
        d->dialog->local_cseq = static_cast<int>(number);
    }
    return osip_dialog_send_request(d, req) < 0 ? -1 : 0;
}

}  // namespace

int osip_dialog_bye_with_authentication(OsipDialog* d, osip_message_t* challenge, const char* password) {
    if (d == nullptr) return -1;
    int rc = ResendWithCredentials(d, d->tr[SLOT_OUT_BYE], challenge, password, false);
    d->state = DLG_ENDING;
    return rc;
}

int osip_dialog_invite_with_authentication(OsipDialog* d, osip_message_t* challenge, const char* password) {
    if (d == nullptr) return -1;
    int rc = ResendWithCredentials(d, d->tr[SLOT_OUT_INVITE], challenge, password, true);
    if (rc == 0) d->state = DLG_INVITING;
    return rc;
}

int osip_dialog_info(OsipDialog* d, const char* mime, const char* body) {
    if (d == nullptr || mime == nullptr || body == nullptr) return -1;
    osip_message_t* req = nullptr;
    if (BuildInDialog(d, "INVITE", &req) != 0) {
        UA_TRACE(1, "osip_dialog_info: Could not generate INFO message.");
        return -1;
    }
    osip_message_set_content_type(req, mime);
    osip_message_set_body(req, body, strlen(body));
    d->invite_cseq = CseqNumber(req);
    return osip_dialog_send_request(d, req) < 0 ? -1 : 0;
}

int osip_dialog_prack(OsipDialog* d) {
    if (d == nullptr) return -1;
    if (d->state != DLG_INVITING) {
        if (d->tr[SLOT_OUT_PRACK] != nullptr) {
            UA_TRACE(1, "osip_dialog_prack: Can't create prack transaction twice with the same dialog.");
        } else {
            UA_TRACE(1, "osip_dialog_prack: Can't create prack transaction.");
        }
        return -1;
    }
    osip_message_t* prack = nullptr;
    if (BuildInDialog(d, "PRACK", &prack) != 0) {
        UA_TRACE(1, "osip_dialog_prack: Could not generate BYE message.");
        return -1;
    }
    return osip_dialog_send_request(d, prack) < 0 ? -1 : 0;
}

void osip_dialog_ack(OsipDialog* d, osip_message_t* response) {
    if (d == nullptr) return;
    if (response != nullptr && response->cseq != nullptr) d->invite_cseq = CseqNumber(response);
    osip_message_t* ack = nullptr;
    if (BuildInDialog(d, "ACK", &ack) != 0) {
        UA_TRACE(1, "osip_dialog_ack: Could not generate ACK message.");
        return;
    }
    std::string host;
    int port = 5060;
    RequestTarget(ack, &host, &port);
    if (d->last_ack != nullptr) osip_message_free(d->last_ack);
    d->last_ack = nullptr;
    osip_message_clone(ack, &d->last_ack);
    UA_FREE(d->ack_host);
    d->ack_host = UA_STRDUP(host.c_str());
    d->ack_port = port;
    osip_manager_send_raw(d->ua->manager, ack, host.c_str(), port);
}

int osip_dialog_end_fork(OsipDialog* d, osip_message_t* response) {
    if (d == nullptr || response == nullptr || d->ua == nullptr) return -1;
    OsipDialog* f = osip_dialog_new(d->ua);
    if (f == nullptr) return -1;
    if (osip_dialog_init_as_uac(&f->dialog, response) != 0) {
        f->dialog = nullptr;
        osip_dialog_destroy(f);
        return -1;
    }
    osip_dialog_set_state(f->dialog, DIALOG_CONFIRMED);
    f->state = DLG_ESTABLISHED;
    f->invite_cseq = CseqNumber(response);
    UA_FREE(f->local_address);
    f->local_address = UA_STRDUP(d->local_address != nullptr ? d->local_address : d->ua->ip);
    f->callid_number = UA_STRDUP(d->callid_number);
    if (d->callid_host != nullptr) f->callid_host = UA_STRDUP(d->callid_host);
    osip_dialog_add_to_list(f);
    UA_TRACE(2, "osip_dialog: a 2xx from another fork (tag %s): ACK and BYE in its own dialog.",
             f->dialog->remote_tag != nullptr ? f->dialog->remote_tag : "");
    osip_dialog_ack(f, response);
    return osip_dialog_bye(f);
}

void osip_dialog_resend_ack(OsipDialog* d) {
    if (d == nullptr || d->last_ack == nullptr || d->ack_host == nullptr) return;
    osip_message_t* copy = nullptr;
    if (osip_message_clone(d->last_ack, &copy) != 0) return;
    UA_TRACE(3, "ict_2xx_received_again: Sending ACK!");
    osip_manager_send_raw(d->ua->manager, copy, d->ack_host, d->ack_port);
}

// ------------------------------------------------------------------------------------------
// Responses

int osip_dialog_build_response(OsipDialog* d, int status, osip_message_t* request, osip_message_t** out) {
    *out = nullptr;
    if (request == nullptr) return -1;
    osip_message_t* resp = nullptr;
    if (osip_message_init(&resp) != 0) return -1;
    osip_message_set_status_code(resp, status);
    const char* reason = osip_message_get_reason(status);
    osip_message_set_reason_phrase(resp, UA_STRDUP(reason != nullptr ? reason : "Unkown status code"));
    osip_message_set_version(resp, UA_STRDUP("SIP/2.0"));
    osip_from_clone(request->from, &resp->from);
    osip_to_clone(request->to, &resp->to);
    if (resp->to != nullptr && TagOf(resp->to) == nullptr) {
        // Every answer of a dialog carries its one tag; a 100 creates no dialog.
        const char* tag = d != nullptr && status != 100 ? LocalTag(d) : nullptr;
        std::string fresh;
        if (tag == nullptr) {
            fresh = RandomText();
            tag = fresh.c_str();
            if (d != nullptr && status != 100) {
                UA_FREE(d->local_tag);
                d->local_tag = UA_STRDUP(tag);
            }
        }
        SetTag(resp->to, tag);
    }
    osip_call_id_clone(request->call_id, &resp->call_id);
    osip_cseq_clone(request->cseq, &resp->cseq);
    for (int pos = 0; !osip_list_eol(&request->vias, pos); ++pos) {
        osip_via_t* via = nullptr;
        if (osip_via_clone(static_cast<osip_via_t*>(osip_list_get(&request->vias, pos)), &via) == 0) {
            osip_list_add(&resp->vias, via, -1);
        }
    }
    bool invite = IsMethod(request, "INVITE");
    if (d != nullptr && invite && status > 100 && status < 300) osip_dialog_complete_answer(d, resp, request);
    if (d != nullptr && status == 200 && (invite || IsMethod(request, "OPTIONS"))) {
        for (int i = 0; i < d->body_count; ++i) d->bodies[i]->klass->gen_out_resp(d->bodies[i], resp);
    }
    *out = resp;
    return 0;
}

int osip_dialog_complete_answer(OsipDialog* d, osip_message_t* response, osip_message_t* request) {
    if (d == nullptr || response == nullptr || request == nullptr) return -1;
    for (int pos = 0; !osip_list_eol(&request->record_routes, pos); ++pos) {
        auto* rr = static_cast<osip_record_route_t*>(osip_list_get(&request->record_routes, pos));
        osip_record_route_t* copy = nullptr;
        if (rr != nullptr && osip_from_clone(rr, &copy) == 0) osip_list_add(&response->record_routes, copy, -1);
    }
    RemoveAllHeaders(&response->contacts, FreeContact);
    AddContact(d->ua, response, d->local_address);
    if (d->dialog == nullptr) {
        if (osip_dialog_init_as_uas(&d->dialog, request, response) != 0) {
            UA_TRACE(1, "osip_dialog_complete_answer: could not create a new OsipDialog->osip_dialog_t.");
            d->dialog = nullptr;
        }
    }
    return 0;
}

int osip_dialog_respond(OsipDialog* d, osip_transaction_t* tr, int status) {
    if (tr == nullptr || tr->orig_request == nullptr) return -1;
    osip_message_t* resp = nullptr;
    if (osip_dialog_build_response(d, status, tr->orig_request, &resp) != 0 || resp == nullptr) return -1;
    if (d != nullptr && status >= 200 && status < 300 && IsMethod(tr->orig_request, "INVITE")) {
        // libosip2 ends the server transaction with its 2xx: the dialog repeats it until the ACK.
        if (d->last_2xx != nullptr) osip_message_free(d->last_2xx);
        d->last_2xx = nullptr;
        osip_message_clone(resp, &d->last_2xx);
        d->r2xx_active = d->last_2xx != nullptr;
        d->r2xx_interval_ms = kT1;
        uint64_t now = osip_now_ms();
        d->r2xx_next_ms = now + kT1;
        d->r2xx_deadline_ms = now + 64u * kT1;
        d->r2xx_cseq = static_cast<int>(CseqNumber(tr->orig_request));
        if (d->dialog != nullptr) osip_dialog_set_state(d->dialog, DIALOG_CONFIRMED);
    }
    return osip_uatransaction_send_response(tr, resp);
}

void osip_dialog_retransmit_2xx(OsipDialog* d, uint64_t now_ms) {
    if (d == nullptr || !d->r2xx_active || d->last_2xx == nullptr) return;
    if (now_ms >= d->r2xx_deadline_ms) {
        d->r2xx_active = 0;
        UA_TRACE(2, "osip_dialog: no ACK for our 2xx.");
        return;
    }
    if (now_ms < d->r2xx_next_ms) return;
    d->r2xx_interval_ms = std::min<uint32_t>(d->r2xx_interval_ms * 2u, kT2);
    d->r2xx_next_ms = now_ms + d->r2xx_interval_ms;
    osip_dialog_resend_2xx(d);
}

uint64_t osip_dialog_next_2xx_ms(const OsipDialog* d) {
    if (d == nullptr || !d->r2xx_active || d->last_2xx == nullptr) return 0;
    return std::min(d->r2xx_next_ms, d->r2xx_deadline_ms);
}

void osip_dialog_resend_2xx(OsipDialog* d) {
    if (d == nullptr || d->last_2xx == nullptr) return;
    char* host = nullptr;
    int port = 5060;
    osip_response_get_destination(d->last_2xx, &host, &port);
    if (host != nullptr) {
        osip_udp_send(nullptr, d->last_2xx, host, port, -1);
        osip_free(host);
    }
}
