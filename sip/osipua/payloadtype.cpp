// RTP profile ("AV profile") of the payload types offered and accepted in SDP.
#include "sip/osipua/payloadtype.h"

#include <cstdio>
#include <mutex>

namespace {

PayloadType g_profile[RTP_PROFILE_SLOTS];
bool g_present[RTP_PROFILE_SLOTS];
std::once_flag g_once;

void Set(int pt, const char* name, int rate, int bitrate, char silence) {
    g_profile[pt] = PayloadType{rate, 1, silence, 1, bitrate, name};
    g_present[pt] = true;
}

}  // namespace

void rtp_profile_init() {
    std::call_once(g_once, [] {
        Set(0, "pcmu", 8000, 64000, 0x7F);
        Set(2, "G726", 8000, 32000, 0x7F);
        Set(4, "G723", 8000, 8000, 0x7F);
        Set(8, "pcma", 8000, 64000, static_cast<char>(0xD5));
        Set(15, "G728", 8000, 16000, 0x7F);
        Set(18, "G729", 8000, 8000, 0x7F);
        Set(97, "OSTRELWB", 16000, 128000, 0x7F);
        Set(100, "Ostrel711U", 8000, 64000, 0x7F);
        Set(101, "Ostrel711A", 8000, 64000, 0x7F);
        Set(102, "iLBC", 8000, 16000, 0x7F);
        Set(103, "QUILL", 16000, 32000, 0x7F);
        Set(106, "telephone-event", 8000, 64000, 0x7F);
    });
}

const PayloadType* rtp_profile_get_payload(int pt) {
    rtp_profile_init();
    if (pt < 0 || pt >= RTP_PROFILE_SLOTS || !g_present[pt]) return nullptr;
    return &g_profile[pt];
}

bool payload_type_get_rtpmap(int pt, char* buf, int size) {
    const PayloadType* p = rtp_profile_get_payload(pt);
    if (p == nullptr || buf == nullptr || size <= 0) return false;
    snprintf(buf, static_cast<size_t>(size), "%s/%i", p->mime_type, p->clock_rate);
    return true;
}
