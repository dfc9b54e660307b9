// SDP handler and per-dialog SDP context: offer, answer, and reading the peer's offer or answer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sync.h"
#include "sip/osipua/osip_alloc.h"
#include "sip/osipua/osipdialog.h"
#include "sip/osipua/osipua.h"
#include "sip/osipua/sdphandler.h"
#include "sip/osipua/uatrace.h"
#include "sip/osipua/utils.h"

namespace {

char* Dup(const std::string& s) { return UA_STRDUP(s.c_str()); }
std::string Int(int v) { return std::to_string(v); }

BodyContext* CreateContext(BodyHandler* handler, OsipDialog* dialog);
void DestroyHandler(BodyHandler* /*handler*/) {}
void DestroyContext(BodyContext* ctx);

const BodyHandlerClass kSdpHandlerClass = {"application/sdp", CreateContext, DestroyHandler};
const BodyContextClass kSdpContextClass = {DestroyContext, sdp_context_notify_inc_req, sdp_context_notify_inc_resp,
                                           sdp_context_gen_out_req, sdp_context_gen_out_resp};

BodyContext* CreateContext(BodyHandler* handler, OsipDialog* dialog) {
    auto* ctx = static_cast<SdpContext*>(UA_MALLOC(sizeof(SdpContext)));
    if (ctx == nullptr) return nullptr;
    memset(static_cast<void*>(ctx), 0, sizeof *ctx);
    ctx->klass = &kSdpContextClass;
    ctx->handler = handler;
    ctx->dialog = dialog;
    return ctx;
}

void FreeSdp(sdp_message_t** sdp) {
    if (*sdp != nullptr) sdp_message_free(*sdp);
    *sdp = nullptr;
}

void DestroyContext(BodyContext* base) {
    auto* ctx = static_cast<SdpContext*>(base);
    if (ctx == nullptr) return;
    FreeSdp(&ctx->offer);
    FreeSdp(&ctx->answer);
    FreeSdp(&ctx->remote);
    UA_FREE(ctx);
}

// v=0, o=<identity user> <tick> <tick> IN IP4 A, s=A conversation, c=IN IP4 A, t=0 0.
sdp_message_t* MakeTemplate(SdpContext* ctx) {
    OsipDialog* d = ctx->dialog;
    OsipUa* ua = d != nullptr ? d->ua : nullptr;
    if (ua == nullptr) {
        UA_TRACE(1, "SdpHandler: ua is NULL");
        return nullptr;
    }
    const char* addr = d->local_address != nullptr ? d->local_address : (ua->ip != nullptr ? ua->ip : "127.0.0.1");
    const char* user = "-";
    osip_from_t* id = OSIP_FirstIdentity(ua);
    if (id != nullptr && id->url != nullptr && id->url->username != nullptr) user = id->url->username;
    sdp_message_t* sdp = nullptr;
    if (sdp_message_init(&sdp) != 0) {
        UA_TRACE(1, "SdpHandler: ua is NULL");
        return nullptr;
    }
    // The first SDP of the dialog takes its session id and version from the tick; every later
    // one keeps the id and raises the version.
    char tick[16];
    snprintf(tick, sizeof tick, "%u", static_cast<unsigned>(GetTickCount()));
    char version[16];
    if (ctx->origin_id[0] == '\0') {
        snprintf(ctx->origin_id, sizeof ctx->origin_id, "%s", tick);
        ctx->origin_version = static_cast<unsigned>(strtoul(tick, nullptr, 10));
    } else {
        ++ctx->origin_version;
    }
    snprintf(version, sizeof version, "%u", ctx->origin_version);
    sdp_message_v_version_set(sdp, UA_STRDUP("0"));
    sdp_message_o_origin_set(sdp, UA_STRDUP(user), UA_STRDUP(ctx->origin_id), UA_STRDUP(version),
                             UA_STRDUP("IN"), UA_STRDUP("IP4"), UA_STRDUP(addr));
    sdp_message_s_name_set(sdp, UA_STRDUP("A conversation"));
    sdp_message_c_connection_add(sdp, -1, UA_STRDUP("IN"), UA_STRDUP("IP4"), UA_STRDUP(addr), nullptr, nullptr);
    sdp_message_t_time_descr_add(sdp, UA_STRDUP("0"), UA_STRDUP("0"));
    return sdp;
}

bool ValidPtime(int ptime) { return ptime >= 10 && ptime <= 30; }

// libosip2's SDP parser reads one byte past the end of a body whose last line is an m= line
// without payloads ended by a bare LF: it is given a copy with room behind the terminator.
int ParseSdp(sdp_message_t* sdp, const char* body) {
    size_t n = strlen(body);
    std::string copy;
    copy.reserve(n + 4);
    copy.assign(body, n);
    copy.append(3, '\0');
    return sdp_message_parse(sdp, copy.c_str());
}

// Appends the payload (number, rtpmap, fmtp, bandwidth) to media line `line` of sdp.
void AddPayloadLines(sdp_message_t* sdp, int line, const SdpPayload* p) {
    sdp_message_m_payload_add(sdp, line, Dup(Int(p->pt)));
    if (p->a_rtpmap != nullptr) sdp_message_a_attribute_add(sdp, line, UA_STRDUP("rtpmap"), Dup(Int(p->pt) + " " + p->a_rtpmap));
    if (p->a_fmtp != nullptr) sdp_message_a_attribute_add(sdp, line, UA_STRDUP("fmtp"), Dup(Int(p->pt) + " " + p->a_fmtp));
    if (p->b_as_bandwidth != 0) {
        sdp_message_b_bandwidth_add(sdp, line, UA_STRDUP("AS"), Dup(Int(p->pt) + " " + Int(p->b_as_bandwidth)));
    }
}

int AddOfferPayload(SdpHandler* /*h*/, SdpContext* ctx, SdpPayload* p, const char* media) {
    if (ctx == nullptr || p == nullptr || !ctx->incb || ctx->offer == nullptr) {
        UA_TRACE(1, "You must not call sdp_handler_add_*_payload outside the write_offer callback\n");
        return -1;
    }
    sdp_message_t* sdp = ctx->offer;
    if (sdp_message_m_media_get(sdp, p->line) == nullptr) {
        const char* proto = p->proto != nullptr ? p->proto : "RTP/AVP";
        sdp_message_m_media_add(sdp, UA_STRDUP(media), Dup(Int(p->localport)), nullptr, UA_STRDUP(proto));
        if (ValidPtime(p->ptime)) sdp_message_a_attribute_add(sdp, p->line, UA_STRDUP("ptime"), Dup(Int(p->ptime)));
    }
    AddPayloadLines(sdp, p->line, p);
    return 0;
}

// Sets the printed SDP as the message's body with its content type.
int SetBody(osip_message_t* msg, sdp_message_t* sdp) {
    char* text = nullptr;
    if (sdp_message_to_str(sdp, &text) != 0 || text == nullptr) return -1;
    int rc = osip_message_set_body(msg, text, strlen(text));
    osip_free(text);
    if (rc != 0) return -1;
    return osip_message_set_content_type(msg, "application/sdp") == 0 ? 0 : -1;
}

// Port-0 line of the same media and protocol for a refused media line.
void RefuseLine(sdp_message_t* answer, sdp_message_t* remote, int line) {
    const char* media = sdp_message_m_media_get(remote, line);
    const char* proto = sdp_message_m_proto_get(remote, line);
    sdp_message_m_media_add(answer, UA_STRDUP(media != nullptr ? media : "audio"), UA_STRDUP("0"), nullptr,
                            UA_STRDUP(proto != nullptr ? proto : "RTP/AVP"));
    const char* first = sdp_message_m_payload_get(remote, line, 0);
    if (first != nullptr) sdp_message_m_payload_add(answer, line, UA_STRDUP(first));
}

const char* ConnectionAddress(sdp_message_t* sdp, int line) {
    const char* addr = sdp_message_c_addr_get(sdp, line, 0);
    if (addr == nullptr) addr = sdp_message_c_addr_get(sdp, -1, 0);
    return addr;
}

int ReadPtime(sdp_message_t* sdp, int line) {
    const char* v = OSIP_SdpFindAttr(sdp, line, "ptime");
    if (v == nullptr) v = OSIP_SdpFindAttr(sdp, -1, "ptime");
    return v != nullptr ? atoi(v) : 0;
}

// Fills the descriptor of payload `k` of media line `line`.
bool Describe(sdp_message_t* sdp, int line, int k, SdpPayload* p) {
    const char* number = sdp_message_m_payload_get(sdp, line, k);
    if (number == nullptr) return false;
    const char* port = sdp_message_m_port_get(sdp, line);
    memset(p, 0, sizeof *p);
    p->line = line;
    p->pt = atoi(number);
    p->remoteport = port != nullptr ? atoi(port) : 0;
    p->proto = sdp_message_m_proto_get(sdp, line);
    if (p->proto == nullptr) p->proto = "RTP/AVP";
    p->c_addr = ConnectionAddress(sdp, line);
    p->a_rtpmap = OSIP_SdpAttrForPayload(sdp, line, p->pt, "rtpmap");
    p->a_fmtp = OSIP_SdpAttrForPayload(sdp, line, p->pt, "fmtp");
    p->b_as_bandwidth = OSIP_SdpBandwidthFor(sdp, line, p->pt);
    p->ptime = ReadPtime(sdp, line);
    return true;
}

// The direction an offer gives a media line (its own attribute, else the session's); null when
// it gives none.
const char* OfferedDirection(sdp_message_t* sdp, int line) {
    static const char* const kDirections[] = {"sendrecv", "sendonly", "recvonly", "inactive"};
    for (int level : {line, -1}) {
        for (const char* dir : kDirections) {
            if (OSIP_SdpFindAttr(sdp, level, dir) != nullptr) return dir;
        }
    }
    return nullptr;
}

// What we answer to an offered direction: our side of it.
const char* AnsweredDirection(const char* offered) {
    if (offered == nullptr) return nullptr;
    if (strcmp(offered, "sendonly") == 0) return "recvonly";
    if (strcmp(offered, "recvonly") == 0) return "sendonly";
    return offered;
}

// Builds ctx->answer from ctx->remote; returns 200 or 415.
int BuildAnswer(SdpContext* ctx) {
    auto* h = static_cast<SdpHandler*>(ctx->handler);
    FreeSdp(&ctx->answer);
    sdp_message_t* answer = MakeTemplate(ctx);
    if (answer == nullptr) return 415;
    sdp_message_t* remote = ctx->remote;
    int accepted = 0;
    int noSend = 0;
    for (int line = 0; sdp_message_m_media_get(remote, line) != nullptr; ++line) {
        const char* media = sdp_message_m_media_get(remote, line);
        int ptime = ReadPtime(remote, line);
        if (ptime != 0 && !ValidPtime(ptime)) {
            UA_TRACE(2, "sdp_context: ptime %d refused", ptime);
            sdp_message_free(answer);
            return 415;
        }
        SdpAcceptFn accept = nullptr;
        if (strcmp(media, "audio") == 0) accept = h->accept_audio;
        if (strcmp(media, "video") == 0) accept = h->accept_video;
        if (accept == nullptr) {
            RefuseLine(answer, remote, line);
            continue;
        }
        bool added = false;
        SdpPayload p;
        for (int k = 0; Describe(remote, line, k, &p); ++k) {
            if (accept(h, ctx, &p) != 0 || p.localport <= 0) continue;
            if (!added) {
                sdp_message_m_media_add(answer, UA_STRDUP(media), Dup(Int(p.localport)), nullptr, UA_STRDUP(p.proto));
                if (ValidPtime(p.ptime)) sdp_message_a_attribute_add(answer, line, UA_STRDUP("ptime"), Dup(Int(p.ptime)));
                const char* dir = AnsweredDirection(OfferedDirection(remote, line));
                if (dir != nullptr) sdp_message_a_attribute_add(answer, line, UA_STRDUP(dir), nullptr);
                // The first stream taken is the one we send on.
                if (accepted == 0 && strcmp(media, "audio") == 0) {
                    noSend = dir != nullptr && (strcmp(dir, "recvonly") == 0 || strcmp(dir, "inactive") == 0);
                }
                added = true;
            }
            AddPayloadLines(answer, line, &p);
        }
        if (added) {
            ++accepted;
        } else {
            RefuseLine(answer, remote, line);
        }
    }
    ctx->answer = answer;
    // An answerer does not send on a stream it answers recvonly or inactive (RFC 3264 6.1).
    if (ctx->dialog != nullptr) ctx->dialog->remote_media.bNoSend = noSend;
    return accepted > 0 ? 200 : 415;
}

}  // namespace

SdpHandler* sdp_handler_new() {
    auto* h = static_cast<SdpHandler*>(UA_MALLOC(sizeof(SdpHandler)));
    if (h == nullptr) return nullptr;
    memset(static_cast<void*>(h), 0, sizeof *h);
    h->klass = &kSdpHandlerClass;
    return h;
}

void sdp_handler_free(SdpHandler* handler) {
    if (handler == nullptr) return;
    handler->klass->destroy(handler);
    UA_FREE(handler);
}

void sdp_handler_set_accept_callbacks(SdpHandler* h, SdpAcceptFn audio, SdpAcceptFn video) {
    h->accept_audio = audio;
    h->accept_video = video;
}
void sdp_handler_set_write_offer_callbacks(SdpHandler* h, SdpWriteOfferFn audio, SdpWriteOfferFn video) {
    h->write_offer_audio = audio;
    h->write_offer_video = video;
}
void sdp_handler_set_read_answer_callbacks(SdpHandler* h, SdpAcceptFn audio, SdpAcceptFn video) {
    h->read_answer_audio = audio;
    h->read_answer_video = video;
}

int sdp_handler_add_audio_payload(SdpHandler* h, SdpContext* ctx, SdpPayload* payload) {
    return AddOfferPayload(h, ctx, payload, "audio");
}
int sdp_handler_add_video_payload(SdpHandler* h, SdpContext* ctx, SdpPayload* payload) {
    return AddOfferPayload(h, ctx, payload, "video");
}

int sdp_context_gen_out_req(BodyContext* base, osip_message_t* msg) {
    auto* ctx = static_cast<SdpContext*>(base);
    if (ctx == nullptr || msg == nullptr || msg->sip_method == nullptr || strcmp(msg->sip_method, "INVITE") != 0) {
        return -1;
    }
    auto* h = static_cast<SdpHandler*>(ctx->handler);
    FreeSdp(&ctx->offer);
    ctx->offer = MakeTemplate(ctx);
    if (ctx->offer != nullptr) {
        ctx->incb = 1;
        if (h->write_offer_audio != nullptr) h->write_offer_audio(h, ctx);
        if (h->write_offer_video != nullptr) h->write_offer_video(h, ctx);
        ctx->incb = 0;
    }
    if (ctx->offer == nullptr) {
        UA_TRACE(1, "sdp_context_gen_out_req: unable to generate a sdp offer.\n");
        return -1;
    }
    if (SetBody(msg, ctx->offer) != 0) return -1;
    ctx->state = 1;
    return 0;
}

int sdp_context_notify_inc_req(BodyContext* base, osip_message_t* /*msg*/, const char* body) {
    auto* ctx = static_cast<SdpContext*>(base);
    if (ctx == nullptr || body == nullptr) return -1;
    sdp_message_t* sdp = nullptr;
    if (sdp_message_init(&sdp) != 0) return -1;
    if (ParseSdp(sdp, body) != 0) {
        UA_TRACE(1, "sdp_context_notify_inc_req: Could not parse incoming sdp message:%s\n", body);
        sdp_message_free(sdp);
        return -1;
    }
    FreeSdp(&ctx->remote);
    ctx->remote = sdp;
    ctx->codec_line = 0;
    ctx->state = 1;
    ctx->negoc_status = BuildAnswer(ctx);
    UA_TRACE(3, "sdp_context_notify_inc_req: negociation returned: %i\n", ctx->negoc_status);
    return ctx->negoc_status;
}

int sdp_context_gen_out_resp(BodyContext* base, osip_message_t* msg) {
    auto* ctx = static_cast<SdpContext*>(base);
    if (ctx == nullptr || msg == nullptr || msg->status_code != 200) return -1;
    if (ctx->answer == nullptr) {
        UA_TRACE(2, "sdp_context_gen_out_resp: there is no sdp answer!\n");
        return -1;
    }
    if (SetBody(msg, ctx->answer) != 0) return -1;
    ctx->state = 2;
    return 0;
}

int sdp_context_notify_inc_resp(BodyContext* base, osip_message_t* /*msg*/, const char* body) {
    auto* ctx = static_cast<SdpContext*>(base);
    if (ctx == nullptr || body == nullptr) return -2;
    sdp_message_t* sdp = nullptr;
    if (sdp_message_init(&sdp) != 0) return -2;
    if (ParseSdp(sdp, body) != 0) {
        UA_TRACE(1, "sdp_context_notify_inc_resp: could not parse sdp msg.\n");
        sdp_message_free(sdp);
        return -2;
    }
    FreeSdp(&ctx->remote);
    ctx->remote = sdp;
    ctx->codec_line = 0;
    auto* h = static_cast<SdpHandler*>(ctx->handler);
    int taken = 0;
    for (int line = 0; sdp_message_m_media_get(sdp, line) != nullptr; ++line) {
        const char* media = sdp_message_m_media_get(sdp, line);
        const char* port = sdp_message_m_port_get(sdp, line);
        if (port == nullptr || atoi(port) == 0) continue;
        SdpAcceptFn read = nullptr;
        if (strcmp(media, "audio") == 0) read = h->read_answer_audio;
        if (strcmp(media, "video") == 0) read = h->read_answer_video;
        if (read == nullptr) continue;
        SdpPayload p;
        for (int k = 0; Describe(sdp, line, k, &p); ++k) {
            if (read(h, ctx, &p) == 0) ++taken;
        }
    }
    ctx->state = 2;
    return taken > 0 ? 0 : 500;
}
