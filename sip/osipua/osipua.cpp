// SIP user agent core: start and stop, the "sipua" event thread and re-registration tick, the
// handlers of call-control events, and the callbacks that report back to call control.
#include "sip/osipua/osipua.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/net.h"
#include "platform/random.h"
#include "platform/sync.h"
#include "sip/osipua/osip_alloc.h"
#include "sip/osipua/payloadtype.h"
#include "sip/osipua/sdphandler.h"
#include "sip/osipua/uatrace.h"
#include "sip/osipua/uatransaction.h"
#include "sip/osipua/utils.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/Sonra_Bridge.h"
#include "voip/VoipUaQueue.h"

namespace {

constexpr const char* kFile = "sip/osipua/osipua";

struct UaControl {
    std::atomic<int> started{0};
    std::atomic<int> running{0};
    std::atomic<int> third{0};
    std::atomic<int> registered{0};
    OsipUa* ua = nullptr;
    OsipManager* manager = nullptr;
};
UaControl g_ctl;
int g_basePort = 5060;

// An information body waiting for the dialog's INVITE transaction to end.
struct Deferred {
    OSIP_UA_MSG* msg;
};
std::vector<Deferred> g_deferred;  // touched under the stack mutex only

void FreeUaValue(int event, void* value) {
    if (value == nullptr) return;
    if (event == OSIP_UA_EVT_REGISTER) {
        CM_RegInfoFree(static_cast<CM_REG_INFO*>(value));
    } else {
        free(value);
    }
}

char* MallocCopy(const char* text) {
    if (text == nullptr) return nullptr;
    size_t n = strlen(text);
    auto* copy = static_cast<char*>(malloc(n + 1));
    if (copy != nullptr) memcpy(copy, text, n + 1);
    return copy;
}

CC_REMOTE_MEDIA* MediaCopy(const OsipDialog* d) {
    auto* m = static_cast<CC_REMOTE_MEDIA*>(malloc(sizeof(CC_REMOTE_MEDIA)));
    if (m != nullptr) *m = d->remote_media;
    return m;
}

// Display names go between quotes: quotes, backslashes and line breaks would end them early.
std::string CleanDisplay(const char* text) {
    std::string out;
    if (text == nullptr) return out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '"' && *p != '\\' && *p != '\r' && *p != '\n') out += *p;
    }
    return out;
}

const char* Or(const char* a, const char* b) { return (a != nullptr && a[0] != '\0') ? a : b; }

osip_uri_t* ParseUri(const std::string& text) {
    osip_uri_t* uri = nullptr;
    if (osip_uri_init(&uri) != 0) return nullptr;
    if (osip_uri_parse(uri, text.c_str()) != 0) {
        osip_uri_free(uri);
        return nullptr;
    }
    return uri;
}

osip_from_t* ParseFrom(const char* text) {
    osip_from_t* f = nullptr;
    if (text == nullptr || osip_from_init(&f) != 0) return nullptr;
    if (osip_from_parse(f, text) != 0) {
        osip_from_free(f);
        return nullptr;
    }
    return f;
}

bool SameIdentity(const osip_from_t* a, const osip_from_t* b) {
    if (a == nullptr || b == nullptr || a->url == nullptr || b->url == nullptr) return false;
    const char* ua = a->url->username != nullptr ? a->url->username : "";
    const char* ub = b->url->username != nullptr ? b->url->username : "";
    const char* ha = a->url->host != nullptr ? a->url->host : "";
    const char* hb = b->url->host != nullptr ? b->url->host : "";
    return strcmp(ua, ub) == 0 && osip_strcasecmp(ha, hb) == 0;
}

void FreeUri(osip_uri_t** uri) {
    if (*uri != nullptr) osip_uri_free(*uri);
    *uri = nullptr;
}

OsipDialog* FindByCnx(OsipUa* ua, int cnx) {
    if (ua == nullptr || cnx < 0) return nullptr;
    for (auto it = ua->dialogs.rbegin(); it != ua->dialogs.rend(); ++it) {
        if ((*it)->cnx_id == cnx) return *it;
    }
    return nullptr;
}

void Detach(OsipDialog* d) {
    d->cnx_id = -1;
    d->call_id = -1;
}

// ---------------------------------------------------------------------------------------------
// SDP negotiation callbacks

bool InLocalList(int pt) {
    for (int i = 0; i < SONRA_PAYLOAD_LIST_LEN; ++i) {
        if (Sonra_GetDefaultPayload(i) == pt) return true;
    }
    return false;
}

// Keypad digits travel as telephone events, offered under this number.
constexpr int kEventPayload = 106;
constexpr char kEventRtpmap[] = "telephone-event/8000";
constexpr char kEventFmtp[] = "0-15";

void WriteOfferAudio(SdpHandler* h, SdpContext* ctx) {
    OsipDialog* d = ctx->dialog;
    for (int i = 0; i < SONRA_PAYLOAD_LIST_LEN; ++i) {
        int pt = Sonra_GetDefaultPayload(i);
        if (pt < 0 || pt > 126) break;
        SdpPayload p;
        memset(&p, 0, sizeof p);
        char rtpmap[64];
        p.line = 0;
        p.pt = pt;
        p.localport = d->media_port;
        if (payload_type_get_rtpmap(pt, rtpmap, sizeof rtpmap)) p.a_rtpmap = rtpmap;
        sdp_handler_add_audio_payload(h, ctx, &p);
    }
    // After the codecs: a peer that does not know the events skips them.
    SdpPayload p;
    memset(&p, 0, sizeof p);
    p.pt = kEventPayload;
    p.localport = d->media_port;
    p.a_rtpmap = kEventRtpmap;
    p.a_fmtp = kEventFmtp;
    sdp_handler_add_audio_payload(h, ctx, &p);
}

// Whether an rtpmap value ("name/rate[/channels]") names the profile entry: same encoding name
// (case aside) and clock rate.
bool RtpmapNames(const char* rtpmap, const PayloadType* known) {
    if (rtpmap == nullptr || known == nullptr) return false;
    size_t n = strlen(known->mime_type);
    if (osip_strncasecmp(rtpmap, known->mime_type, n) != 0) return false;
    if (rtpmap[n] == '\0') return true;
    if (rtpmap[n] != '/') return false;
    return atoi(rtpmap + n + 1) == known->clock_rate;
}

// The local payload type an offered one means: a static number as it stands; a dynamic one
// (96 and up) by its rtpmap's encoding name and clock rate; -1 when none of ours.
int LocalPayloadFor(const SdpPayload* p) {
    if (p->pt < 96 || p->a_rtpmap == nullptr) return InLocalList(p->pt) ? p->pt : -1;
    for (int i = 0; i < SONRA_PAYLOAD_LIST_LEN; ++i) {
        int pt = Sonra_GetDefaultPayload(i);
        if (pt >= 96 && pt <= 126 && RtpmapNames(p->a_rtpmap, rtp_profile_get_payload(pt))) return pt;
    }
    return -1;
}

bool IsTelephoneEvent(const SdpPayload* p) {
    return p->pt >= 96 && p->pt <= 127 && RtpmapNames(p->a_rtpmap, rtp_profile_get_payload(kEventPayload));
}

bool PtimeTaken(int ptime) { return ptime == 0 || (ptime >= 10 && ptime <= 30); }

// Whether the remote media line of the payload carries a codec of ours anywhere on it. The answer
// is kept for the line: a line of many event payloads is searched once, not once for each.
bool LineHasCodec(SdpContext* ctx, const SdpPayload* p) {
    sdp_message_t* sdp = ctx->remote;
    if (sdp == nullptr || !PtimeTaken(p->ptime)) return false;
    if (ctx->codec_line == p->line + 1) return ctx->codec_line_found != 0;
    bool found = false;
    for (int k = 0; !found; ++k) {
        const char* number = sdp_message_m_payload_get(sdp, p->line, k);
        if (number == nullptr) break;
        SdpPayload c;
        memset(&c, 0, sizeof c);
        c.pt = atoi(number);
        c.a_rtpmap = OSIP_SdpAttrForPayload(sdp, p->line, c.pt, "rtpmap");
        found = !IsTelephoneEvent(&c) && LocalPayloadFor(&c) >= 0;
    }
    ctx->codec_line = p->line + 1;
    ctx->codec_line_found = found ? 1 : 0;
    return found;
}

// Telephone events ride along with a codec of ours on the same media line, wherever they stand on
// it (a peer may list them first): the number the peer gave them is the one our events go out under.
int TakeTelephoneEvent(SdpContext* ctx, const SdpPayload* p) {
    OsipDialog* d = ctx->dialog;
    if (d->remote_media.aiSdpPriv[1] != 0 || !LineHasCodec(ctx, p)) return -1;
    d->remote_media.aiSdpPriv[1] = p->pt;
    return 0;
}

int AcceptCodec(OsipDialog* d, SdpPayload* p) {
    if (!PtimeTaken(p->ptime)) return -1;
    int local = LocalPayloadFor(p);
    if (local < 0) return -1;
    // The answer keeps the offerer's number (p->pt); the engine is told our codec.
    p->localport = d->media_port;
    if (d->remote_media.iValid != 1) {
        d->remote_media.iValid = 1;
        d->remote_media.iLocalPort = d->media_port;
        in_addr addr {};
        d->remote_media.uiRemoteIp = (p->c_addr != nullptr && inet_pton(AF_INET, p->c_addr, &addr) == 1) ? addr.s_addr : 0;
        d->remote_media.iRemotePort = p->remoteport;
        d->remote_media.iPayload = local;
        d->remote_media.iPtime = p->ptime;
        d->remote_media.aiSdpPriv[0] = p->pt;  // the number on the wire
    }
    return 0;
}

// Answering an offer: events are answered under the offer's number (RFC 3264), which both sides
// then send them under.
int AcceptAudio(SdpHandler* /*h*/, SdpContext* ctx, SdpPayload* p) {
    OsipDialog* d = ctx->dialog;
    if (!IsTelephoneEvent(p)) return AcceptCodec(d, p);
    if (TakeTelephoneEvent(ctx, p) != 0) return -1;
    p->localport = d->media_port;
    p->a_rtpmap = kEventRtpmap;
    p->a_fmtp = kEventFmtp;
    p->b_as_bandwidth = 0;
    return 0;
}

// Reading the answer to our offer.
int ReadAnswerAudio(SdpHandler* /*h*/, SdpContext* ctx, SdpPayload* p) {
    OsipDialog* d = ctx->dialog;
    if (IsTelephoneEvent(p)) return TakeTelephoneEvent(ctx, p);
    return AcceptCodec(d, p);
}

// ---------------------------------------------------------------------------------------------
// Configuration and registration

void ApplyConfig(OsipUa* ua, const CM_REG_INFO* cfg) {
    CM_REG_INFO* copy = CM_RegInfoDup(cfg);
    if (copy == nullptr) return;
    if (ua->config != nullptr) CM_RegInfoFree(ua->config);
    ua->config = copy;

    UA_FREE(ua->ip);
    if (copy->pszLocalIp != nullptr && OSIP_IsDotted(copy->pszLocalIp)) {
        ua->ip = UA_STRDUP(copy->pszLocalIp);
    } else {
        ua->ip = UA_STRDUP(plat::FormatIPv4(plat::LocalAddressFor(0)).c_str());
    }
    std::string display = CleanDisplay(copy->pszDisplayName);
    const char* user = Or(copy->pszUserName, "");
    const char* registrarHost = Or(copy->pszRegistrar, "");
    const char* domain = Or(copy->pszDomain, "");
    int regPort = copy->iRegistrarPort;
    int proxyPort = copy->iProxyPort;

    char text[512];
    snprintf(text, sizeof text, "\"%s\"<sip:%s@%s:%d>", display.c_str(), user, ua->ip, ua->port);
    if (ua->local_address != nullptr) osip_from_free(ua->local_address);
    ua->local_address = ParseFrom(text);
    if (!UA_CHECK(NULL != ua->local_address, kFile)) return;

    snprintf(text, sizeof text, "\"%s\"<sip:%s@%s>", display.c_str(), user, domain);
    OSIP_AddContact(ua, text);

    FreeUri(&ua->outbound_proxy);
    UA_FREE(ua->proxy_ip);
    snprintf(text, sizeof text, "sip:%s:%i", registrarHost, regPort);
    ua->outbound_proxy = ParseUri(text);
    if (ua->outbound_proxy != nullptr && ua->outbound_proxy->host != nullptr) {
        uint32_t ip = 0;
        if (plat::ParseIPv4(ua->outbound_proxy->host, &ip)) ua->proxy_ip = UA_STRDUP(ua->outbound_proxy->host);
    }
    FreeUri(&ua->proxy2);
    snprintf(text, sizeof text, "sip:%s:%i", Or(copy->pszProxy, ""), proxyPort);
    ua->proxy2 = ParseUri(text);
    FreeUri(&ua->registrar);
    snprintf(text, sizeof text, "sip:%s@%s", user, domain);
    ua->registrar = ParseUri(text);
    UA_FREE(ua->password);
    ua->password = copy->pszPassword != nullptr ? UA_STRDUP(copy->pszPassword) : nullptr;

    RegCtxt* ctx = reg_ctxt_new();
    if (!UA_CHECK(NULL != ctx, kFile)) return;
    snprintf(text, sizeof text, "sip:%s", domain);
    reg_ctxt_set_registrar(ctx, text);
    if (UA_CHECK(NULL != ua->registrar, kFile)) {
        snprintf(text, sizeof text, "sip:%s@%s", Or(ua->registrar->username, user), Or(ua->registrar->host, domain));
        reg_ctxt_set_aor(ctx, text);
    }
    reg_ctxt_set_password(ctx, ua->password);
    ctx->expires = copy->iExpires;
    char random[OSIP_RANDOM_LEN + 1];
    OSIP_RandomString(random, OSIP_RANDOM_LEN);
    ctx->call_id = UA_STRDUP(random);
    OSIP_RandomString(random, OSIP_RANDOM_LEN);
    ctx->from_tag = UA_STRDUP(random);
    ctx->cseq_number = (GetTickCount() % 1000u) * (static_cast<unsigned>(OSIP_Random()) % 1000u);
    reg_ctxt_unref(ua->regctxt);
    ua->regctxt = ctx;
}

// A REGISTER of the registration: a refresh in the registration dialog, or a new one; 0 / -1.
int SendRegister(OsipUa* ua) {
    if (ua->regctxt == nullptr) return -1;
    if (ua->reg_dialog != nullptr && ua->reg_dialog->regctxt == ua->regctxt) {
        return osip_dialog_register_refresh(ua->reg_dialog, ua->regctxt);
    }
    if (ua->reg_dialog != nullptr) osip_dialog_destroy(ua->reg_dialog);
    OsipDialog* d = osip_dialog_new_register(ua);
    return d != nullptr ? osip_dialog_register(d, ua->regctxt) : -1;
}

void DestroyAllDialogs(OsipUa* ua) {
    std::vector<OsipDialog*> all = ua->dialogs;
    for (OsipDialog* d : all) osip_dialog_destroy(d);
    if (ua->reg_dialog != nullptr) osip_dialog_destroy(ua->reg_dialog);
}

void DropDeferred() {
    for (Deferred& e : g_deferred) {
        free(e.msg->pValue);
        free(e.msg);
    }
    g_deferred.clear();
}

// ---------------------------------------------------------------------------------------------
// Handlers of the user-agent events (on "sipua", under the stack mutex)

int HandleRegister(int, int, void* value) {
    OsipUa* ua = g_ctl.ua;
    auto* cfg = static_cast<CM_REG_INFO*>(value);
    if (!UA_CHECK(NULL != cfg, kFile)) return -1;
    DropDeferred();
    DestroyAllDialogs(ua);
    ua->reg_timer = OsipRegTimer{0, cfg->iExpires, plat::NowSeconds()};
    ApplyConfig(ua, cfg);
    g_ctl.registered.store(1);
    int rc = SendRegister(ua);
    ua->reg_timer = OsipRegTimer{1, cfg->iExpires, plat::NowSeconds()};
    if (rc != 0) UA_TRACE(1, "OSIP_ProcUaEvent: REGISTER could not be sent.");
    return rc;
}

int HandleUnregister(int, int, void*) {
    OsipUa* ua = g_ctl.ua;
    if (ua->regctxt == nullptr || ua->config == nullptr) return -1;
    ua->config->iExpires = 0;
    ua->regctxt->expires = 0;
    int rc = SendRegister(ua);
    ua->reg_timer.state = 0;
    return rc;
}

int HandleInvite(int cnx, int, void* value) {
    OsipUa* ua = g_ctl.ua;
    auto* callee = static_cast<const char*>(value);
    if (!UA_CHECK(NULL != callee && strlen(callee) > 0, kFile)) {
        CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, 400, -1, nullptr);
        return -1;
    }
    // The dialled text becomes part of a URI: blanks, control characters and header delimiters
    // have no place in it.
    for (const char* p = callee; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c == 0x7F || c == '<' || c == '>' || c == '"') {
            UA_TRACE(1, "OSIP_ProcUaEvent: unusable callee text refused.");
            CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, 400, -1, nullptr);
            return -1;
        }
    }
    if (ua->num_dialogs >= ua->max_dialogs) {
        UA_TRACE(1, "OSIP_ProcUaEvent: %d dialogs, INVITE refused.", ua->num_dialogs);
        CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, 486, -1, nullptr);
        return -1;
    }
    OsipDialog* d = osip_dialog_new(ua);
    if (!UA_CHECK(NULL != d, kFile)) {
        CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, 500, -1, nullptr);
        return -1;
    }
    d->cnx_id = cnx;
    std::string target;
    if (strncmp(callee, "sip:", 4) == 0) {
        target = callee;
    } else if (strchr(callee, '@') != nullptr) {
        target = std::string("sip:") + callee;
    } else {
        const char* domain = (ua->config != nullptr) ? Or(ua->config->pszDomain, "") : "";
        target = std::string("sip:") + callee + "@" + domain;
    }
    d->media_port = CC_GetCnxRecPort(cnx);
    if (osip_dialog_build_invite(d, target.c_str(), "application/sdp") != 0) {
        UA_TRACE(1, "OSIP_ProcUaEvent: INVITE to %s could not be built.", target.c_str());
        osip_dialog_destroy(d);
        CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, 400, -1, nullptr);
        return -1;
    }
    return 0;
}

int HandleBye(int cnx, int, void*) {
    OsipDialog* d = FindByCnx(g_ctl.ua, cnx);
    if (!UA_CHECK(NULL != d, kFile)) return -1;
    int rc = osip_dialog_bye(d);
    Detach(d);
    return rc;
}

int HandleAccept(int cnx, int, void*) {
    OsipDialog* d = FindByCnx(g_ctl.ua, cnx);
    if (!UA_CHECK(NULL != d, kFile)) return -1;
    if (d->tr[SLOT_IN_INVITE] == nullptr || d->state != DLG_INVITED) return -1;
    osip_dialog_accept_invite(d, d->tr[SLOT_IN_INVITE]);
    return 0;
}

int HandleReject(int cnx, int param, void*) {
    OsipDialog* d = FindByCnx(g_ctl.ua, cnx);
    if (!UA_CHECK(NULL != d, kFile)) return -1;
    int status = (param >= 400 && param <= 699) ? param : 403;
    int rc = osip_dialog_reject_invite(d, status);
    Detach(d);
    return rc;
}

bool InviteRunning(OsipDialog* d) {
    osip_transaction_t* in = d->tr[SLOT_IN_INVITE];
    osip_transaction_t* out = d->tr[SLOT_OUT_INVITE];
    bool inRunning = in != nullptr && in->state != IST_COMPLETED && in->state != IST_TERMINATED;
    bool outRunning = out != nullptr && out->state != ICT_COMPLETED && out->state != ICT_TERMINATED;
    return inRunning || outRunning || d->r2xx_active;
}

int SendInfo(OsipDialog* d, int kind, const char* body) {
    const char* subtype = OSIP_InfoSubtype(kind);
    if (subtype == nullptr || body == nullptr) return -1;
    // Only a peer of ours reads these bodies, and such a peer talks iLBC (whatever number it gives it).
    if (d->remote_media.iPayload != 102) {
        UA_TRACE(2, "OSIP_ProcUaEvent: no information body for payload %d.", d->remote_media.iPayload);
        return -1;
    }
    char mime[64];
    snprintf(mime, sizeof mime, "%s/%s", "information", subtype);
    return osip_dialog_info(d, mime, body);
}

int HandleInfo(int cnx, int param, void* value) {
    OsipDialog* d = FindByCnx(g_ctl.ua, cnx);
    if (!UA_CHECK(NULL != d, kFile)) return -1;
    if (InviteRunning(d)) {
        // Tried again on the tick once the INVITE transaction has ended.
        auto* msg = static_cast<OSIP_UA_MSG*>(malloc(sizeof(OSIP_UA_MSG)));
        if (msg == nullptr) return -1;
        *msg = OSIP_UA_MSG{cnx, OSIP_UA_EVT_INFO, param, MallocCopy(static_cast<const char*>(value))};
        g_deferred.push_back(Deferred{msg});
        return 0;
    }
    return SendInfo(d, param, static_cast<const char*>(value));
}

int HandleTimeout(int cnx, int param, void*) {
    OsipDialog* d = FindByCnx(g_ctl.ua, cnx);
    if (!UA_CHECK(NULL != d, kFile)) return -1;
    int rc = param == 1 ? osip_dialog_reject_invite(d, 480) : osip_dialog_bye(d);
    Detach(d);
    return rc;
}

struct Handler {
    int event;
    int (*fn)(int, int, void*);
};
const Handler kHandlers[] = {
    {OSIP_UA_EVT_REGISTER, HandleRegister},   {OSIP_UA_EVT_UNREGISTER, HandleUnregister},
    {OSIP_UA_EVT_INVITE, HandleInvite},       {OSIP_UA_EVT_BYE, HandleBye},
    {OSIP_UA_EVT_CANCEL, HandleBye},          {OSIP_UA_EVT_ACCEPT_INVITE, HandleAccept},
    {OSIP_UA_EVT_REJECT_INVITE, HandleReject}, {OSIP_UA_EVT_INFO, HandleInfo},
    {OSIP_UA_EVT_TIMEOUT, HandleTimeout},     {255, nullptr},
};

void RetryDeferred() {
    if (g_deferred.empty()) return;
    std::vector<Deferred> pending;
    pending.swap(g_deferred);
    for (Deferred& e : pending) {
        OsipDialog* d = FindByCnx(g_ctl.ua, e.msg->iId);
        if (d != nullptr && InviteRunning(d)) {
            g_deferred.push_back(e);
            continue;
        }
        if (d != nullptr && !InviteRunning(d)) SendInfo(d, e.msg->iParam, static_cast<const char*>(e.msg->pValue));
        free(e.msg->pValue);
        free(e.msg);
    }
}

// Wakes "sipua" without an event: it looks again at what the tick has to do.
void WakeUa() {
    OsipManager* m = g_ctl.manager;
    if (m != nullptr) m->ua_event_sem.release();
}

// When "sipua" must wake without an event: the registration refresh's due time on the program's
// clock (so a test clock moves it, even one moved before the wait began), none when nothing is due.
uint64_t TickDueMs(OsipManager* m) {
    constexpr uint64_t kNone = UINT64_MAX;
    if (!g_ctl.started.load() || g_ctl.ua == nullptr) return kNone;
    osip_manager_lock(m);
    const OsipRegTimer t = g_ctl.ua != nullptr ? g_ctl.ua->reg_timer : OsipRegTimer{0, 0, 0};
    osip_manager_unlock(m);
    if (t.state != 1 || t.interval <= 0) return kNone;
    return (t.last + static_cast<uint64_t>(t.interval)) * 1000u;
}

void* UaThreadMain(void* arg) {
    auto* m = static_cast<OsipManager*>(arg);
    while (g_ctl.running.load()) {
        m->ua_thread_sem.wait(INFINITE);
        OSIP_UA_MSG* msg = nullptr;
        if (m->ua_event_sem.wait_until(TickDueMs(m)) == WAIT_OBJECT_0) {
            std::lock_guard<std::mutex> lock(m->ua_fifo_mutex);
            if (!m->ua_fifo.empty()) {
                msg = m->ua_fifo.front();
                m->ua_fifo.pop_front();
            }
        }
        if (msg != nullptr) {
            OSIP_ProcUaEvent(msg);
            FreeUaValue(msg->iEvent, msg->pValue);
            free(msg);
        } else {
            // The refresh fell due, or "sipd" ended a round while information bodies wait.
            OSIP_Tick();
        }
        m->ua_thread_sem.release();
        std::this_thread::yield();
    }
    return nullptr;
}

void FreeUa(OsipUa* ua) {
    if (ua == nullptr) return;
    DropDeferred();
    DestroyAllDialogs(ua);
    for (osip_from_t* c : ua->contacts) osip_from_free(c);
    ua->contacts.clear();
    if (ua->local_address != nullptr) osip_from_free(ua->local_address);
    FreeUri(&ua->registrar);
    FreeUri(&ua->outbound_proxy);
    FreeUri(&ua->proxy2);
    UA_FREE(ua->password);
    UA_FREE(ua->proxy_ip);
    UA_FREE(ua->ip);
    UA_FREE(ua->forward_contact);
    reg_ctxt_unref(ua->regctxt);
    for (BodyHandler* h : ua->body_handlers) sdp_handler_free(static_cast<SdpHandler*>(h));
    ua->body_handlers.clear();
    if (ua->config != nullptr) CM_RegInfoFree(ua->config);
    delete ua;
}

std::string ValueText(int event, void* value) {
    if (value == nullptr) return "NULL";
    if (event == OSIP_UA_EVT_INVITE || event == OSIP_UA_EVT_INFO) return static_cast<const char*>(value);
    if (event == OSIP_UA_EVT_REGISTER) {
        auto* cfg = static_cast<CM_REG_INFO*>(value);
        return Or(cfg->pszIdentity, "(registration)");
    }
    return "(value)";
}

}  // namespace

// -------------------------------------------------------------------------------------------------

int OSIP_Init() {
    rtp_profile_init();
    return OSIP_Start();
}

int OSIP_Start() {
    if (g_ctl.started.load()) return 0;
    osip_alloc_install();
    rtp_profile_init();
    OsipManager* m = osip_manager_new();
    if (!UA_CHECK(NULL != m, kFile)) return -1;
    auto* ua = new OsipUa();
    ua->manager = m;
    m->ua = ua;
    SdpHandler* h = sdp_handler_new();
    if (h != nullptr) {
        sdp_handler_set_accept_callbacks(h, AcceptAudio, nullptr);
        sdp_handler_set_write_offer_callbacks(h, WriteOfferAudio, nullptr);
        sdp_handler_set_read_answer_callbacks(h, ReadAnswerAudio, nullptr);
        OSIP_AddBodyHandler(ua, h);
    }
    ua->callbacks[UA_CB_NEW_CALL] = OSIP_OnRemoteNewCall;
    ua->callbacks[UA_CB_ANSWER] = OSIP_OnRemoteAnswer;
    ua->callbacks[UA_CB_REMOTE_BYE] = OSIP_OnRemoteBye;
    ua->callbacks[UA_CB_FAILURE] = OSIP_OnRemoteFailure;
    ua->callbacks[UA_CB_RESPONSE] = OSIP_OnResponse;
    ua->callbacks[UA_CB_IN_DIALOG_REQUEST] = OSIP_OnInfoBody;

    int rc = -1;
    int port = 0;
    for (int n = 0; n < 100 && rc != 0; ++n) {
        port = g_basePort + n * (n + 3) / 2;
        if (port > 65535) break;
        rc = osip_manager_set_main_port(m, port);
    }
    if (!UA_CHECK(0 == rc, kFile)) {
        FreeUa(ua);
        m->ua = nullptr;
        osip_manager_destroy(m);
        return -1;
    }
    osip_manager_add_listening_port(m, port);
    ua->port = port;
    ua->ip = UA_STRDUP(plat::FormatIPv4(plat::LocalAddressFor(0)).c_str());
    UA_TRACE(2, "OSIP_Start: SIP port %d", port);

    g_ctl.ua = ua;
    g_ctl.manager = m;
    g_ctl.registered.store(0);
    g_ctl.started.store(1);
    g_ctl.running.store(1);
    g_ctl.third.store(1);
    osip_daemon_start(m);
    m->ua_thread = osip_thread_create("sipua", 20480, UaThreadMain, m);
    UA_CHECK(NULL != m->ua_thread, kFile);
    OSIP_RegisterUaQueue(OSIP_SendUaEvent);
    return 0;
}

void CM_Destroy() {
    OsipManager* m = g_ctl.manager;
    if (m == nullptr) return;
    OSIP_RegisterUaQueue(nullptr);
    osip_manager_lock(m);
    g_ctl.started.store(0);
    g_ctl.running.store(0);
    osip_manager_unlock(m);
    UA_TRACE(2, "CM_Destroy:");
    if (g_ctl.registered.load()) {
        // The unregistration's answer, for about a second at most.
        for (int i = 0; i < 100 && g_ctl.registered.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        UA_TRACE(2, "CM_Destroy:");
    }
    g_ctl.third.store(0);
    UA_TRACE(2, "OSIP_Destroy...");
    m->ua_event_sem.release();
    osip_thread_join_free(m->ua_thread);
    m->ua_thread = nullptr;
    osip_daemon_stop(m);
    osip_resolver_stop(m);
    {
        std::lock_guard<std::mutex> lock(m->ua_fifo_mutex);
        for (OSIP_UA_MSG* msg : m->ua_fifo) {
            FreeUaValue(msg->iEvent, msg->pValue);
            free(msg);
        }
        m->ua_fifo.clear();
    }
    osip_manager_lock(m);
    FreeUa(g_ctl.ua);
    m->ua = nullptr;
    osip_manager_unlock(m);
    g_ctl.ua = nullptr;
    g_ctl.manager = nullptr;
    g_ctl.registered.store(0);
    osip_manager_destroy(m);
}

void OSIP_Destroy() { CM_Destroy(); }

bool OSIP_IsStarted() { return g_ctl.started.load() != 0; }
bool OSIP_IsRegisterActive() { return g_ctl.registered.load() != 0; }
OsipUa* OSIP_GetUa() { return g_ctl.ua; }
OsipManager* OSIP_GetOsip() { return g_ctl.manager; }
void OSIP_SetBasePort(int port) { g_basePort = port > 0 ? port : 5060; }

void OSIP_SetInviteStatus(int status, int retryAfter) {
    OsipUa* ua = g_ctl.ua;
    if (ua == nullptr) return;
    osip_manager_lock(g_ctl.manager);
    ua->invite_status = status;
    ua->retry_after = retryAfter;
    osip_manager_unlock(g_ctl.manager);
}

int OSIP_SendUaEvent(int id, int event, int param, void* value) {
    OsipManager* m = g_ctl.manager;
    if (!g_ctl.started.load() || m == nullptr) {
        FreeUaValue(event, value);
        return -1;
    }
    if (event < 0 || event >= OSIP_UA_EVT_MAX) {
        FreeUaValue(event, value);
        return -1;
    }
    auto* msg = static_cast<OSIP_UA_MSG*>(malloc(sizeof(OSIP_UA_MSG)));
    if (msg == nullptr) {
        FreeUaValue(event, value);
        return -1;
    }
    *msg = OSIP_UA_MSG{id, event, param, value};
    {
        std::lock_guard<std::mutex> lock(m->ua_fifo_mutex);
        m->ua_fifo.push_back(msg);
    }
    m->ua_event_sem.release();
    return 0;
}

int OSIP_ProcUaEvent(OSIP_UA_MSG* msg) {
    if (!UA_CHECK(NULL != msg, kFile)) return -1;
    if (!g_ctl.started.load() || g_ctl.ua == nullptr) return -1;
    const Handler* h = nullptr;
    for (const Handler* p = kHandlers; p->event != 255; ++p) {
        if (p->event == msg->iEvent) h = p;
    }
    if (h == nullptr) return -1;
    std::string value = ValueText(msg->iEvent, msg->pValue);
    UA_TRACE(2, "OSIP_ProcUaEvent: (*, %d), %s, %d, %s", msg->iId, OSIP_GetUaEventName(msg->iEvent), msg->iParam,
             value.c_str());
    osip_manager_lock(g_ctl.manager);
    int rc = h->fn(msg->iId, msg->iParam, msg->pValue);
    osip_manager_unlock(g_ctl.manager);
    osip_manager_wake(g_ctl.manager);
    return rc;
}

void OSIP_Tick() {
    if (!g_ctl.started.load() || g_ctl.ua == nullptr) return;
    OsipManager* m = g_ctl.manager;
    osip_manager_lock(m);
    OsipUa* ua = g_ctl.ua;
    uint64_t now = plat::NowSeconds();
    if (ua->reg_timer.state == 1 && ua->reg_timer.interval > 0 &&
        now - ua->reg_timer.last >= static_cast<uint64_t>(ua->reg_timer.interval)) {
        ua->reg_timer.last = now;
        UA_TRACE(2, "REGISTER... ");
        SendRegister(ua);
    }
    RetryDeferred();
    osip_manager_unlock(m);
    // Whatever the tick sent has already woken "sipd" through its transaction.
}

void OSIP_CollectDialogs(OsipUa* ua) {
    if (ua == nullptr) return;
    auto idle = [](OsipDialog* d) {
        for (osip_transaction_t* t : d->tr) {
            if (t != nullptr) return false;
        }
        return !d->r2xx_active;
    };
    std::vector<OsipDialog*> all = ua->dialogs;
    for (OsipDialog* d : all) {
        if (d->state >= DLG_CANCELLING && d->state <= DLG_ENDING && idle(d)) osip_dialog_destroy(d);
    }
    OsipDialog* r = ua->reg_dialog;
    if (r != nullptr && (r->state == DLG_ENDED || r->state == DLG_ENDING) && idle(r)) osip_dialog_destroy(r);
}

int OSIP_AddBodyHandler(OsipUa* ua, BodyHandler* handler) {
    if (ua == nullptr || handler == nullptr) return -1;
    handler->ua = ua;
    ua->body_handlers.push_back(handler);
    return 0;
}

BodyHandler* OSIP_FindBodyHandler(OsipUa* ua, const char* mime) {
    if (ua == nullptr || mime == nullptr) return nullptr;
    for (BodyHandler* h : ua->body_handlers) {
        if (osip_strcasecmp(body_handler_mime(h), mime) == 0) return h;
    }
    return nullptr;
}

int OSIP_AddContact(OsipUa* ua, const char* text) {
    if (!UA_CHECK(NULL != ua, kFile)) return -1;
    osip_from_t* c = ParseFrom(text);
    if (c == nullptr) return -1;
    for (osip_from_t* e : ua->contacts) {
        if (SameIdentity(e, c)) {
            osip_from_free(c);
            return 0;
        }
    }
    ua->contacts.push_back(c);
    return 0;
}

int OSIP_RemoveContact(OsipUa* ua, const char* text) {
    if (ua == nullptr) return -1;
    osip_from_t* c = ParseFrom(text);
    if (c == nullptr) return -1;
    int rc = -1;
    for (auto it = ua->contacts.begin(); it != ua->contacts.end(); ++it) {
        if (SameIdentity(*it, c)) {
            osip_from_free(*it);
            ua->contacts.erase(it);
            rc = 0;
            break;
        }
    }
    osip_from_free(c);
    return rc;
}

osip_from_t* OSIP_FirstIdentity(OsipUa* ua) {
    if (ua == nullptr) return nullptr;
    return ua->contacts.empty() ? ua->local_address : ua->contacts.front();
}

void OSIP_OnRegisterOk(OsipUa* ua, int expires, int status) {
    if (ua == nullptr) return;
    int interval = 0;
    if (expires != 0) {
        interval = std::clamp(expires / 2, 30, 300);
        // A short grant is refreshed before it lapses.
        if (expires > 0 && interval >= expires) interval = std::max(1, expires / 2);
        if (status == 200) CM_SendEvent(-1, -1, CMEVT_OSIP_STARTED, 200, -1, nullptr);
    } else if (status == 200) {
        g_ctl.registered.store(0);
    }
    ua->reg_timer.interval = interval;
    // "sipua" waits for the refresh it knew of.
    WakeUa();
}

void OSIP_RoundDone() {
    if (!g_deferred.empty()) WakeUa();
}

void OSIP_SetReceived(osip_message_t* msg, const char* host, int port) {
    if (msg == nullptr || host == nullptr) return;
    auto* via = static_cast<osip_via_t*>(osip_list_get(&msg->vias, 0));
    if (via == nullptr) return;
    osip_generic_param_t* rport = nullptr;
    osip_via_param_get_byname(via, const_cast<char*>("rport"), &rport);
    // A sender asking for rport gets received even from its own address (RFC 3581 4).
    if (rport == nullptr && via->host != nullptr && strcmp(via->host, host) == 0) return;
    osip_generic_param_t* received = nullptr;
    if (osip_via_param_get_byname(via, const_cast<char*>("received"), &received) == 0 && received != nullptr) {
        osip_free(received->gvalue);
        received->gvalue = UA_STRDUP(host);
    } else {
        osip_via_set_received(via, UA_STRDUP(host));
    }
    if (rport != nullptr && rport->gvalue == nullptr) {
        char text[16];
        snprintf(text, sizeof text, "%d", port);
        rport->gvalue = UA_STRDUP(text);
    }
}

int OSIP_Random() {
    static std::once_flag seeded;
    std::call_once(seeded, [] { plat::srand15(GetTickCount()); });
    unsigned a = static_cast<unsigned>(plat::rand15());
    unsigned b = static_cast<unsigned>(plat::rand15());
    return static_cast<int>((a * 2u) ^ b);
}

const char* OSIP_InfoSubtype(int kind) {
    if (kind == VOIP_INFO_ACTION) return "action";
    if (kind == VOIP_INFO_CONTACT) return "contact";
    return nullptr;
}

// -------------------------------------------------------------------------------------------------
// Callbacks to call control

int OSIP_OnRemoteNewCall(OsipDialog* d, osip_transaction_t* tr, osip_message_t*, int*) {
    auto* ctx = static_cast<SdpContext*>(osip_dialog_get_body_context(d, "application/sdp", false));
    if (ctx == nullptr || ctx->negoc_status != 200 || d->remote_media.iValid != 1) return -1;
    osip_message_t* req = tr != nullptr ? tr->orig_request : nullptr;
    char caller[CC_MAX_URI];
    caller[0] = '\0';
    if (req != nullptr && req->from != nullptr && req->from->url != nullptr) {
        const osip_uri_t* u = req->from->url;
        if (u->username != nullptr) {
            snprintf(caller, sizeof caller, "%s@%s", u->username, u->host != nullptr ? u->host : "");
        } else {
            snprintf(caller, sizeof caller, "%s", u->host != nullptr ? u->host : "");
        }
    }
    CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_NEWCALL, VOIP_CODE_NEW_CALL, d->call_id, MallocCopy(caller));
    CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_UPDATE, VOIP_CODE_NONE, -1, MediaCopy(d));
    return 0;
}

int OSIP_OnRemoteAnswer(OsipDialog* d, osip_transaction_t*, osip_message_t*, int*) {
    return CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_ANSWER, 200, -1, MediaCopy(d));
}

int OSIP_OnRemoteUpdate(OsipDialog* d) {
    if (d == nullptr || d->cnx_id < 0) return -1;
    return CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_UPDATE, VOIP_CODE_NONE, -1, MediaCopy(d));
}

int OSIP_OnRemoteBye(OsipDialog* d, osip_transaction_t*, osip_message_t*, int*) {
    return CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
}

int OSIP_OnRemoteFailure(OsipDialog* d, osip_transaction_t* tr, osip_message_t*, int* code) {
    int status = code != nullptr ? *code : -1;
    const char* method = (tr != nullptr && tr->orig_request != nullptr && tr->orig_request->sip_method != nullptr)
                             ? tr->orig_request->sip_method
                             : "";
    if (strcmp(method, "INVITE") == 0) {
        if (d != nullptr) {
            CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_DISCONNECT, status, -1, nullptr);
            osip_dialog_release(d);
        }
        return 0;
    }
    if (strcmp(method, "REGISTER") == 0) {
        OsipUa* ua = g_ctl.ua;
        if (ua != nullptr && ua->reg_fail_mark != 2) ua->reg_fail_mark = 4;
        CM_SendEvent(-1, -1, CMEVT_OSIP_STOPPED, status, -1, nullptr);
        return 0;
    }
    UA_TRACE(2, "OSIP_OnRemoteFailure: %s failed with %d", method, status);
    return 0;
}

int OSIP_OnResponse(OsipDialog* d, osip_transaction_t* tr, osip_message_t* msg, int* code) {
    int status = code != nullptr ? *code : 0;
    bool reg = tr != nullptr && tr->orig_request != nullptr && tr->orig_request->sip_method != nullptr &&
               strcmp(tr->orig_request->sip_method, "REGISTER") == 0;
    if (reg) {
        if (status != 200 || msg == nullptr) return 0;
        OsipUa* ua = d != nullptr ? d->ua : g_ctl.ua;
        // The 200 to an unregistration lists the bindings that remain, other devices' among them:
        // none of their expiries is ours.
        osip_header_t* asked = nullptr;
        if (osip_message_get_expires(tr->orig_request, 0, &asked) >= 0 && asked != nullptr && asked->hvalue != nullptr &&
            atoi(asked->hvalue) == 0) {
            OSIP_OnRegisterOk(ua, 0, 200);
            return 0;
        }
        // The grant for our binding is its Contact's expires parameter; when the registrar lists no
        // Contact of ours, the Expires header, then the first Contact's parameter.
        int expires = -1;
        osip_contact_t* first = nullptr;
        osip_contact_t* ours = nullptr;
        for (int pos = 0; !osip_list_eol(&msg->contacts, pos); ++pos) {
            auto* c = static_cast<osip_contact_t*>(osip_list_get(&msg->contacts, pos));
            if (first == nullptr) first = c;
            if (ours == nullptr && c != nullptr && c->url != nullptr && ua != nullptr && c->url->host != nullptr &&
                ua->ip != nullptr && strcmp(c->url->host, ua->ip) == 0 && c->url->port != nullptr &&
                atoi(c->url->port) == ua->port) {
                ours = c;
            }
        }
        auto contactExpires = [](osip_contact_t* c) {
            osip_generic_param_t* p = nullptr;
            if (c != nullptr && osip_contact_param_get_byname(c, const_cast<char*>("expires"), &p) == 0 && p != nullptr &&
                p->gvalue != nullptr) {
                return atoi(p->gvalue);
            }
            return -1;
        };
        expires = contactExpires(ours);
        osip_header_t* h = nullptr;
        if (expires < 0 && osip_message_get_expires(msg, 0, &h) >= 0 && h != nullptr && h->hvalue != nullptr) {
            expires = atoi(h->hvalue);
        }
        if (expires < 0 && ours == nullptr) expires = contactExpires(first);
        if (expires < 0) expires = (d != nullptr && d->regctxt != nullptr) ? d->regctxt->expires : 0;
        OSIP_OnRegisterOk(ua, expires, 200);
        return 0;
    }
    if (d == nullptr) return 0;
    if (status == 180) return CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_ALERT, 180, -1, nullptr);
    if (status == VOIP_CODE_ALERT_SDP) return CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_ALERT_SDP, 180, -1, MediaCopy(d));
    return 0;
}

int OSIP_OnInfoBody(OsipDialog* d, osip_transaction_t*, osip_message_t* msg, int*) {
    if (d == nullptr || msg == nullptr) return -1;
    for (int pos = 0; !osip_list_eol(&msg->bodies, pos); ++pos) {
        auto* b = static_cast<osip_body_t*>(osip_list_get(&msg->bodies, pos));
        const osip_content_type_t* ct = b->content_type != nullptr ? b->content_type : msg->content_type;
        if (ct == nullptr || ct->type == nullptr) {
            UA_TRACE(2, "There is no content-type !");
            continue;
        }
        if (osip_strcasecmp(ct->type, "information") != 0 || ct->subtype == nullptr || b->body == nullptr) continue;
        if (osip_strcasecmp(ct->subtype, "action") == 0) {
            CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_HOLD, -1, 0, MallocCopy(b->body));
        } else if (osip_strcasecmp(ct->subtype, "contact") == 0) {
            CC_SendEvent(-1, d->cnx_id, CCEVT_REMOTE_INFO, -1, VOIP_INFO_CONTACT, MallocCopy(b->body));
        }
    }
    return 0;
}
