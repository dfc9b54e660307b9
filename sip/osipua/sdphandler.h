// SDP offer/answer: the "application/sdp" body handler, its per-dialog context and payload descriptor.
#pragma once

#include <osipparser2/sdp_message.h>

#include "sip/osipua/bodyhandler.h"

// Filled per payload (zeroed first).
struct SdpPayload {
    int line;              // media line index
    int pt;                // payload type number
    int localport;
    int remoteport;
    int b_as_bandwidth;
    const char* proto;     // "RTP/AVP" by default
    const char* c_addr;    // remote connection address
    const char* a_rtpmap;
    const char* a_fmtp;
    int ptime;             // a=ptime in ms (0 when absent)
};

struct SdpHandler;
struct SdpContext;

typedef int (*SdpAcceptFn)(SdpHandler* handler, SdpContext* ctx, SdpPayload* payload);
typedef void (*SdpWriteOfferFn)(SdpHandler* handler, SdpContext* ctx);

struct SdpHandler : BodyHandler {
    SdpAcceptFn accept_audio;
    SdpAcceptFn accept_video;
    SdpWriteOfferFn write_offer_audio;
    SdpWriteOfferFn write_offer_video;
    SdpAcceptFn read_answer_audio;
    SdpAcceptFn read_answer_video;
};

struct SdpContext : BodyContext {
    int incb;                // the write-offer callbacks are running
    sdp_message_t* offer;    // our offer
    sdp_message_t* answer;   // our answer
    sdp_message_t* remote;   // the peer's offer or answer
    int negoc_status;        // 200 or 415
    int state;               // 0 none, 1 offer made or received, 2 answer done
    char origin_id[24];      // o= session id of our first SDP ("" before it)
    unsigned origin_version; // o= version of our last SDP
    int codec_line;          // for the user agent: 1 + the remote media line last searched for a codec (0 none)
    int codec_line_found;    // and whether it holds one
};

// Creates a zeroed handler bound to nothing; the user agent ties it with OSIP_AddBodyHandler.
SdpHandler* sdp_handler_new();
void sdp_handler_free(SdpHandler* handler);
void sdp_handler_set_accept_callbacks(SdpHandler* h, SdpAcceptFn audio, SdpAcceptFn video);
void sdp_handler_set_write_offer_callbacks(SdpHandler* h, SdpWriteOfferFn audio, SdpWriteOfferFn video);
void sdp_handler_set_read_answer_callbacks(SdpHandler* h, SdpAcceptFn audio, SdpAcceptFn video);

// Adds a payload to the offer; only inside the write-offer callbacks.
int sdp_handler_add_audio_payload(SdpHandler* h, SdpContext* ctx, SdpPayload* payload);
int sdp_handler_add_video_payload(SdpHandler* h, SdpContext* ctx, SdpPayload* payload);

// The context operations (also reachable through the context class).
int sdp_context_gen_out_req(BodyContext* ctx, osip_message_t* msg);
int sdp_context_notify_inc_req(BodyContext* ctx, osip_message_t* msg, const char* body);
int sdp_context_gen_out_resp(BodyContext* ctx, osip_message_t* msg);
int sdp_context_notify_inc_resp(BodyContext* ctx, osip_message_t* msg, const char* body);
