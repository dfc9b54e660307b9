// Small helpers of the user agent: random texts, responses, name resolution, content types,
// SDP attribute look-ups and the local address.
#pragma once

#include "sip/osipua/osipstack.h"
#include <osipparser2/sdp_message.h>

#include <cstdint>

struct OsipUa;
struct OsipManager;

// n characters of "0-9A-Z" into buf (which holds n + 1 bytes).
void OSIP_RandomString(char* buf, int n);
// Builds the response with the status for the request and sends it in the transaction.
int OSIP_SendResponse(OsipUa* ua, osip_transaction_t* tr, int status);
// Name resolution on "sip_resv": of a transaction's destination (returns its id), or of a host
// for a raw message.
int OSIP_ResolveTransaction(OsipManager* m, osip_transaction_t* tr, osip_event_t* evt);
int OSIP_ResolveHost(OsipManager* m, const char* host, int port, osip_message_t* msg);
int OSIP_ListRemove(osip_list_t* list, void* element);
// "%s/%s" of a content type (heap, osip_free), null when a part is missing.
char* OSIP_ContentTypeText(const osip_content_type_t* ct);
// "%i" in a 16-byte heap text (osip_free).
char* OSIP_IntText(int n);
// The value after "<payload> " of the first attribute `name` whose number is the payload.
const char* OSIP_SdpAttrForPayload(sdp_message_t* sdp, int media, int payload, const char* name);
const char* OSIP_SdpFindAttr(sdp_message_t* sdp, int media, const char* name);
int OSIP_SdpBandwidthFor(sdp_message_t* sdp, int media, int n);
// Dotted text of an address text (resolving a name); 0 / -1. out is a 16-byte heap text.
int OSIP_DottedAddress(const char* text, char** out);
// Local address and mask (host order) toward the destination (host order, 0 = default route); 0, or
// -1 when no interface routes there.
int OSIP_GetLocalAddress(uint32_t dest, uint32_t* ip, uint32_t* mask);
void OSIP_IpToText(uint32_t ip, char* buf);
// True for a dotted IPv4 literal.
bool OSIP_IsDotted(const char* host);
