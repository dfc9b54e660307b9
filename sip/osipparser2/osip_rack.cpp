// RAck header: parsing, printing and the message-level accessors over libosip2's generic headers.
#include "sip/osipparser2/osip_rack.h"

#include <osipparser2/osip_parser.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sip/osipua/osip_alloc.h"

namespace {

char* CopyRange(const char* begin, size_t n) {
    auto* out = static_cast<char*>(UA_MALLOC(n + 1));
    if (out == nullptr) return nullptr;
    memcpy(out, begin, n);
    out[n] = '\0';
    return out;
}

void Replace(char** field, char* value) {
    UA_FREE(*field);
    *field = value;
}

bool IsRackName(const char* name) { return name != nullptr && osip_strcasecmp(name, "rack") == 0; }

}  // namespace

int osip_rack_init(osip_rack_t** rack) {
    if (rack == nullptr) return -1;
    auto* r = static_cast<osip_rack_t*>(UA_MALLOC(sizeof(osip_rack_t)));
    if (r == nullptr) {
        *rack = nullptr;
        return -1;
    }
    r->method = nullptr;
    r->cseq_number = nullptr;
    r->response_number = nullptr;
    *rack = r;
    return 0;
}

int osip_rack_parse(osip_rack_t* rack, const char* hvalue) {
    if (rack == nullptr || hvalue == nullptr) return -1;
    const char* first = strchr(hvalue, ' ');
    if (first == nullptr) return -1;
    const char* second = strchr(first + 1, ' ');
    if (second == nullptr) return -1;
    size_t respLen = static_cast<size_t>(first - hvalue);
    size_t cseqLen = static_cast<size_t>(second - (first + 1));
    size_t methodLen = strlen(second + 1);
    if (respLen == 0 || cseqLen == 0 || methodLen == 0) return -1;
    char* resp = CopyRange(hvalue, respLen);
    char* cseq = CopyRange(first + 1, cseqLen);
    char* method = CopyRange(second + 1, methodLen);
    if (resp == nullptr || cseq == nullptr || method == nullptr) {
        UA_FREE(resp);
        UA_FREE(cseq);
        UA_FREE(method);
        return -1;
    }
    Replace(&rack->response_number, resp);
    Replace(&rack->cseq_number, cseq);
    Replace(&rack->method, method);
    return 0;
}

void osip_rack_free(osip_rack_t* rack) {
    if (rack == nullptr) return;
    UA_FREE(rack->method);
    UA_FREE(rack->cseq_number);
    UA_FREE(rack->response_number);
    UA_FREE(rack);
}

void osip_rack_set_method(osip_rack_t* rack, char* value) {
    if (rack != nullptr) Replace(&rack->method, value);
}
void osip_rack_set_cseq_number(osip_rack_t* rack, char* value) {
    if (rack != nullptr) Replace(&rack->cseq_number, value);
}
void osip_rack_set_response_number(osip_rack_t* rack, char* value) {
    if (rack != nullptr) Replace(&rack->response_number, value);
}

int osip_rack_to_str(const osip_rack_t* rack, char** dest) {
    if (dest == nullptr) return -1;
    *dest = nullptr;
    if (rack == nullptr || rack->response_number == nullptr || rack->cseq_number == nullptr ||
        rack->method == nullptr) {
        return -1;
    }
    std::string text = std::string(rack->response_number) + " " + rack->cseq_number + " " + rack->method;
    *dest = UA_STRDUP(text.c_str());
    return *dest != nullptr ? 0 : -1;
}

int osip_message_rack_count(const osip_message_t* sip) {
    if (sip == nullptr) return 0;
    int count = 0;
    int pos = 0;
    auto* headers = const_cast<osip_list_t*>(&sip->headers);
    while (!osip_list_eol(headers, pos)) {
        auto* h = static_cast<osip_header_t*>(osip_list_get(headers, pos));
        if (h != nullptr && IsRackName(h->hname)) ++count;
        ++pos;
    }
    return count;
}

int osip_message_get_rack(const osip_message_t* sip, osip_rack_t** rack) {
    if (rack == nullptr) return -1;
    *rack = nullptr;
    if (sip == nullptr) return -1;
    auto* headers = const_cast<osip_list_t*>(&sip->headers);
    for (int pos = 0; !osip_list_eol(headers, pos); ++pos) {
        auto* h = static_cast<osip_header_t*>(osip_list_get(headers, pos));
        if (h == nullptr || !IsRackName(h->hname)) continue;
        osip_rack_t* r = nullptr;
        if (osip_rack_init(&r) != 0) return -1;
        if (osip_rack_parse(r, h->hvalue) != 0) {
            osip_rack_free(r);
            return -1;
        }
        *rack = r;
        return 0;
    }
    return -1;
}

int osip_message_set_rack(osip_message_t* sip, const char* hvalue) {
    if (sip == nullptr) return -1;
    if (hvalue == nullptr || hvalue[0] == '\0') return 0;
    if (osip_message_rack_count(sip) > 0) return -1;
    osip_rack_t* r = nullptr;
    if (osip_rack_init(&r) != 0) return -1;
    int rc = osip_rack_parse(r, hvalue);
    osip_rack_free(r);
    if (rc != 0) return -1;
    return osip_message_set_header(sip, "RAck", hvalue) == 0 ? 0 : -1;
}
