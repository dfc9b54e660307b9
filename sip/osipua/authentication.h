// Digest authentication (RFC 2617 with MD5): credentials that answer a 401 or 407 challenge.
#pragma once

#include <osipparser2/osip_message.h>

typedef char HASHHEX[33];

// HA1 = MD5(user ":" realm ":" password) (MD5-sess adds ":" nonce ":" cnonce).
void DigestCalcHA1(const char* alg, const char* user, const char* realm, const char* password,
                   const char* nonce, const char* cnonce, HASHHEX out);
// The response over HA1, nonce, nc, cnonce, qop, method, uri and H(entity) (used for
// "auth-int"). With an empty or null qop the RFC 2069 form MD5(HA1:nonce:HA2) is used.
void DigestCalcResponse(const HASHHEX ha1, const char* nonce, const char* nc, const char* cnonce,
                        const char* qop, const char* method, const char* uri, const HASHHEX hentity,
                        HASHHEX out);

// Credentials for the first WWW-Authenticate (401) or Proxy-Authenticate (407) challenge of
// the response. uri is the request URI text; body the request body (for "auth-int"), or null.
// From a qop list "auth" is chosen; the client nonce is random for each request and the nonce
// count is counted per nonce. 0 and a new header, or -1 with a trace line.
int osip_build_authorization(osip_message_t* response, const char* uri, const char* user,
                             const char* password, const char* body, osip_authorization_t** out);
int osip_build_proxy_authorization(osip_message_t* response, const char* uri, const char* user,
                                   const char* password, const char* body,
                                   osip_proxy_authorization_t** out);

// Test seam: replaces the client-nonce source (null restores the random one).
void osip_digest_set_cnonce_source(void (*source)(char out[33]));
// Forgets the nonce counts (tests).
void osip_digest_reset_counts();
