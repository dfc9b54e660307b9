// User-agent utilities: random texts, responses along the top Via, resolution requests,
// content-type and number texts, SDP attribute look-ups, local address.
#include "sip/osipua/utils.h"
#include "sip/osipua/osip_alloc.h"

#include <cstdio>
#include <cstring>

#include "platform/net.h"
#include "platform/random.h"
#include "platform/sync.h"
#include "sip/osipua/osipdialog.h"
#include "sip/osipua/osipmanager.h"
#include "sip/osipua/osipua.h"
#include "sip/osipua/uatrace.h"
#include "sip/osipua/uatransaction.h"

namespace {
const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
}

void OSIP_RandomString(char* buf, int n) {
    if (buf == nullptr || n < 0) return;
    for (int i = 0; i < n; ++i) {
        uint32_t r1 = static_cast<uint32_t>(plat::rand15());
        uint32_t r2 = static_cast<uint32_t>(plat::rand15());
        uint32_t t = GetTickCount();
        buf[i] = kAlphabet[((r1 + t) * r2) % 36u];
    }
    buf[n] = '\0';
}

int OSIP_SendResponse(OsipUa* /*ua*/, osip_transaction_t* tr, int status) {
    if (tr == nullptr || tr->orig_request == nullptr) return -1;
    OsipDialog* d = osip_uatransaction_dialog(tr);
    osip_message_t* resp = nullptr;
    if (osip_dialog_build_response(d, status, tr->orig_request, &resp) != 0 || resp == nullptr) return -1;
    if (osip_list_get(&resp->vias, 0) == nullptr) {
        UA_TRACE(1, "Cannot send response because it has no via field");
        osip_message_free(resp);
        return -1;
    }
    return osip_uatransaction_send_response(tr, resp);
}

int OSIP_ResolveTransaction(OsipManager* m, osip_transaction_t* tr, osip_event_t* evt) {
    auto* req = static_cast<async_resolv_t*>(UA_MALLOC(sizeof(async_resolv_t)));
    if (req == nullptr) return -1;
    memset(req, 0, sizeof *req);
    req->tr = tr;
    req->evt = evt;
    osip_manager_queue_resolve(m, req);
    return tr != nullptr ? tr->transactionid : -1;
}

int OSIP_ResolveHost(OsipManager* m, const char* host, int port, osip_message_t* msg) {
    auto* req = static_cast<async_resolv_t*>(UA_MALLOC(sizeof(async_resolv_t)));
    if (req == nullptr) {
        if (msg != nullptr) osip_message_free(msg);
        return -1;
    }
    memset(req, 0, sizeof *req);
    req->host = UA_STRDUP(host);
    req->port = port;
    req->msg = msg;
    osip_manager_queue_resolve(m, req);
    return 0;
}

int OSIP_ListRemove(osip_list_t* list, void* element) {
    if (list == nullptr) return -1;
    for (int pos = 0; !osip_list_eol(list, pos); ++pos) {
        if (osip_list_get(list, pos) == element) {
            osip_list_remove(list, pos);
            return 0;
        }
    }
    return -1;
}

char* OSIP_ContentTypeText(const osip_content_type_t* ct) {
    if (ct == nullptr || ct->type == nullptr || ct->subtype == nullptr) return nullptr;
    size_t n = strlen(ct->type) + strlen(ct->subtype) + 2;
    auto* text = static_cast<char*>(UA_MALLOC(n));
    if (text != nullptr) snprintf(text, n, "%s/%s", ct->type, ct->subtype);
    return text;
}

char* OSIP_IntText(int n) {
    auto* text = static_cast<char*>(UA_MALLOC(16));
    if (text != nullptr) snprintf(text, 16, "%i", n);
    return text;
}

const char* OSIP_SdpAttrForPayload(sdp_message_t* sdp, int media, int payload, const char* name) {
    if (sdp == nullptr || name == nullptr) return nullptr;
    for (int pos = 0;; ++pos) {
        sdp_attribute_t* attr = sdp_message_attribute_get(sdp, media, pos);
        if (attr == nullptr) return nullptr;
        if (attr->a_att_field == nullptr || attr->a_att_value == nullptr) continue;
        if (strcmp(attr->a_att_field, name) != 0) continue;
        int number = -1;
        int consumed = 0;
        if (sscanf(attr->a_att_value, "%i %n", &number, &consumed) < 1) continue;
        if (number != payload) continue;
        const char* rest = attr->a_att_value + consumed;
        if (*rest == '\0') {
            UA_TRACE(2, "sdp has a strange a= line.");
            continue;
        }
        return rest;
    }
}

const char* OSIP_SdpFindAttr(sdp_message_t* sdp, int media, const char* name) {
    if (sdp == nullptr || name == nullptr) return nullptr;
    for (int pos = 0;; ++pos) {
        sdp_attribute_t* attr = sdp_message_attribute_get(sdp, media, pos);
        if (attr == nullptr) return nullptr;
        if (attr->a_att_field != nullptr && strcmp(attr->a_att_field, name) == 0) {
            return attr->a_att_value != nullptr ? attr->a_att_value : "";
        }
    }
}

int OSIP_SdpBandwidthFor(sdp_message_t* sdp, int media, int n) {
    if (sdp == nullptr) return 0;
    for (int pos = 0;; ++pos) {
        sdp_bandwidth_t* bw = sdp_message_bandwidth_get(sdp, media, pos);
        if (bw == nullptr) return 0;
        if (bw->b_bwtype == nullptr || bw->b_bandwidth == nullptr || strcmp(bw->b_bwtype, "AS") != 0) continue;
        int first = 0;
        int second = 0;
        if (sscanf(bw->b_bandwidth, "%i %i", &first, &second) == 2 && first == n) return second;
    }
}

int OSIP_DottedAddress(const char* text, char** out) {
    if (out == nullptr) return -1;
    *out = nullptr;
    uint32_t ip = 0;
    if (text == nullptr || !plat::ResolveIPv4(text, &ip)) return -1;
    *out = static_cast<char*>(UA_MALLOC(16));
    if (*out == nullptr) return -1;
    OSIP_IpToText(ip, *out);
    return 0;
}

int OSIP_GetLocalAddress(uint32_t dest, uint32_t* ip, uint32_t* mask) {
    return plat::FindLocalAddress(dest, ip, mask) ? 0 : -1;
}

void OSIP_IpToText(uint32_t ip, char* buf) {
    snprintf(buf, 16, "%u.%u.%u.%u", (ip >> 24) & 0xFFu, (ip >> 16) & 0xFFu, (ip >> 8) & 0xFFu, ip & 0xFFu);
}

bool OSIP_IsDotted(const char* host) {
    uint32_t ip = 0;
    return host != nullptr && plat::ParseIPv4(host, &ip);
}
