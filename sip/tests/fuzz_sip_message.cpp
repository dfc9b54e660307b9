// Fuzz target: untrusted SIP text through the parser additions (RAck, Via update), the Digest
// challenge reader, the SDP offer/answer readers and the stateless answer to refused requests.
#include <osipparser2/osip_parser.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sip/osipparser2/osip_rack.h"
#include "sip/osipua/authentication.h"
#include "sip/osipua/osipdialog.h"
#include "sip/osipua/osipua.h"
#include "sip/osipua/rawresponse.h"
#include "sip/osipua/sdphandler.h"

namespace {

int Accept(SdpHandler*, SdpContext* ctx, SdpPayload* p) {
    if (p->pt != 0 && p->pt != 102) return -1;
    if (p->ptime != 0 && (p->ptime < 10 || p->ptime > 30)) return -1;
    p->localport = ctx->dialog->media_port;
    return 0;
}

struct World {
    OsipUa ua;
    SdpHandler* handler = nullptr;
    World() {
        parser_init();
        for (int level = 0; level < END_TRACE_LEVEL; ++level) osip_trace_disable_level(static_cast<osip_trace_level_t>(level));
        ua.ip = osip_strdup("192.0.2.7");
        osip_from_init(&ua.local_address);
        osip_from_parse(ua.local_address, "\"a\"<sip:a@192.0.2.7:5060>");
        handler = sdp_handler_new();
        sdp_handler_set_accept_callbacks(handler, Accept, Accept);
        sdp_handler_set_read_answer_callbacks(handler, Accept, nullptr);
        OSIP_AddBodyHandler(&ua, handler);
    }
};

void Negotiate(World& w, const char* body) {
    auto* d = static_cast<OsipDialog*>(calloc(1, sizeof(OsipDialog)));
    d->ua = &w.ua;
    d->media_port = 3000;
    BodyContext* ctx = osip_dialog_get_body_context(d, "application/sdp", true);
    if (ctx != nullptr) {
        ctx->klass->notify_inc_req(ctx, nullptr, body);
        osip_message_t* resp = nullptr;
        osip_message_init(&resp);
        osip_message_set_status_code(resp, 200);
        ctx->klass->gen_out_resp(ctx, resp);
        osip_message_free(resp);
        ctx->klass->notify_inc_resp(ctx, nullptr, body);
    }
    for (int i = 0; i < d->body_count; ++i) body_context_destroy(d->bodies[i]);
    free(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    if (size < 1 || size > 8000) return 0;
    // First byte: 'S' runs the rest as an SDP body alone; anything else appends the rest to a
    // well-formed head (extra header lines, then a body after an empty line).
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] == 'S') {
        Negotiate(world, rest.c_str());
        return 0;
    }
    if (data[0] == 'R') {
        // The rest as a whole datagram (its copied headers are the sender's own, good or bad).
        OsipRawResponse answer;
        if (OSIP_BuildRawResponse(rest.data(), rest.size(), 400, "Bad Request", "192.0.2.1", 5060, "t", &answer)) {
            osip_message_t* parsed = nullptr;
            if (osip_message_init(&parsed) == 0) {
                osip_message_parse(parsed, answer.text.data(), answer.text.size());
                osip_message_free(parsed);
            }
        }
        return 0;
    }
    std::string text = (data[0] & 1) ? "SIP/2.0 401 Unauthorized\r\n" : "INVITE sip:a@192.0.2.7 SIP/2.0\r\n";
    text += "Via: SIP/2.0/UDP 192.0.2.9:5060;rport;branch=z9hG4bK1\r\nFrom: <sip:b@x>;tag=1\r\nTo: <sip:a@x>\r\n"
            "Call-ID: c@x\r\nCSeq: 1 INVITE\r\n";
    text += rest;

    osip_message_t* msg = nullptr;
    if (osip_message_init(&msg) != 0) return 0;
    if (osip_message_parse(msg, text.c_str(), text.size()) == 0) {
        osip_rack_t* rack = nullptr;
        if (osip_message_get_rack(msg, &rack) == 0) {
            char* printed = nullptr;
            osip_rack_to_str(rack, &printed);
            osip_free(printed);
            osip_rack_free(rack);
        }
        osip_message_set_rack(msg, "1 314 INVITE");
        OSIP_SetReceived(msg, "192.0.2.1", 5060);
        osip_authorization_t* auth = nullptr;
        if (osip_build_authorization(msg, "sip:x", "u", "p", nullptr, &auth) == 0) osip_authorization_free(auth);
        osip_proxy_authorization_t* pauth = nullptr;
        if (osip_build_proxy_authorization(msg, "sip:x", "u", "p", nullptr, &pauth) == 0) osip_authorization_free(pauth);
        for (int pos = 0; !osip_list_eol(&msg->bodies, pos); ++pos) {
            auto* b = static_cast<osip_body_t*>(osip_list_get(&msg->bodies, pos));
            if (b != nullptr && b->body != nullptr) Negotiate(world, b->body);
        }
        char* out = nullptr;
        size_t len = 0;
        if (osip_message_to_str(msg, &out, &len) == 0) osip_free(out);
    }
    osip_message_free(msg);
    return 0;
}
