// Digest authentication: challenge checks, HA1/response computation and the credential headers.
#include "sip/osipua/authentication.h"
#include "sip/osipua/osip_alloc.h"

#include <osipparser2/osip_md5.h>
#include <osipparser2/osip_parser.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <random>
#include <string>

#include "sip/osipua/uatrace.h"

namespace {

void CvtHex(const unsigned char bin[16], HASHHEX hex) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        hex[i * 2] = digits[(bin[i] >> 4) & 0xF];
        hex[i * 2 + 1] = digits[bin[i] & 0xF];
    }
    hex[32] = '\0';
}

void Update(osip_MD5_CTX* ctx, const char* text) {
    if (text == nullptr) return;
    osip_MD5Update(ctx, reinterpret_cast<unsigned char*>(const_cast<char*>(text)),
                   static_cast<unsigned>(strlen(text)));
}

void Colon(osip_MD5_CTX* ctx) { Update(ctx, ":"); }

// MD5 of the texts joined with ':' (a null text adds nothing but keeps its separators), as lower-case hex.
void Md5Hex(std::initializer_list<const char*> parts, HASHHEX out) {
    osip_MD5_CTX ctx;
    unsigned char bin[16];
    osip_MD5Init(&ctx);
    bool first = true;
    for (const char* part : parts) {
        if (!first) Colon(&ctx);
        Update(&ctx, part);
        first = false;
    }
    osip_MD5Final(bin, &ctx);
    CvtHex(bin, out);
}

std::string Unquote(const char* text) {
    if (text == nullptr) return {};
    std::string s(text);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

bool HasToken(const std::string& list, const char* token) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(start, end - start);
        size_t b = item.find_first_not_of(" \t");
        size_t e = item.find_last_not_of(" \t");
        if (b != std::string::npos && item.substr(b, e - b + 1) == token) return true;
        start = end + 1;
    }
    return false;
}

void RandomCnonce(char out[33]) {
    static std::mutex m;
    static std::random_device rd;
    static std::mt19937_64 gen(rd());
    std::lock_guard<std::mutex> lock(m);
    uint64_t a = gen() ^ (static_cast<uint64_t>(rd()) << 32);
    uint64_t b = gen() ^ rd();
    snprintf(out, 33, "%016llx%016llx", static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
}

std::mutex g_countMutex;
void (*g_cnonceSource)(char out[33]) = nullptr;

// Nonce counts of the few most recent nonces.
constexpr int kNonceSlots = 8;
struct NonceCount {
    std::string nonce;
    unsigned count = 0;
    unsigned long age = 0;
};
NonceCount g_counts[kNonceSlots];
unsigned long g_clock = 0;

unsigned NextNonceCount(const std::string& nonce) {
    std::lock_guard<std::mutex> lock(g_countMutex);
    ++g_clock;
    NonceCount* oldest = &g_counts[0];
    for (auto& slot : g_counts) {
        if (slot.count != 0 && slot.nonce == nonce) {
            slot.age = g_clock;
            return ++slot.count;
        }
        if (slot.age < oldest->age) oldest = &slot;
    }
    oldest->nonce = nonce;
    oldest->count = 1;
    oldest->age = g_clock;
    return 1;
}

// Checks the challenge and fills the credential header; `proxy` only changes the trace texts.
int BuildCredentials(osip_www_authenticate_t* challenge, bool proxy, const char* method, const char* uri,
                     const char* user, const char* password, const char* body, osip_authorization_t** out) {
    *out = nullptr;
    if (challenge == nullptr || challenge->auth_type == nullptr || challenge->realm == nullptr ||
        challenge->nonce == nullptr) {
        if (proxy && challenge != nullptr && challenge->auth_type != nullptr && challenge->realm != nullptr) {
            UA_TRACE(1, "No nonce...");
        } else {
            UA_TRACE(1, "www_authenticate header is not acceptable.\n");
        }
        return -1;
    }
    if (osip_strcasecmp("Digest", challenge->auth_type) != 0) {
        UA_TRACE(1, "Authentication method not supported. (Digest only).\n");
        return -1;
    }
    if (challenge->algorithm != nullptr && osip_strcasecmp("MD5", challenge->algorithm) != 0) {
        UA_TRACE(1, proxy ? "Authentication method not supported. (MD5 Digest only).\n"
                          : "Authentication method not supported. (Digest only).\n");
        return -1;
    }
    if (password == nullptr) {
        UA_TRACE(1, "Unable to get a password: no registration context.");
        return -1;
    }
    if (method == nullptr || uri == nullptr || user == nullptr) return -1;

    std::string realm = Unquote(challenge->realm);
    std::string nonce = Unquote(challenge->nonce);
    std::string qop;
    if (challenge->qop_options != nullptr) {
        std::string offered = Unquote(challenge->qop_options);
        if (HasToken(offered, "auth")) {
            qop = "auth";
        } else if (HasToken(offered, "auth-int")) {
            qop = "auth-int";
        } else {
            UA_TRACE(1, "Authentication qop not supported: %s\n", offered.c_str());
            return -1;
        }
    }

    osip_authorization_t* auth = nullptr;
    if (osip_authorization_init(&auth) != 0) {
        UA_TRACE(1, "allocation with authorization_init failed.\n");
        return -1;
    }

    char cnonce[33] = {0};
    char nc[9] = {0};
    if (!qop.empty()) {
        (g_cnonceSource != nullptr ? g_cnonceSource : RandomCnonce)(cnonce);
        snprintf(nc, sizeof nc, "%08x", NextNonceCount(nonce));
    }

    HASHHEX ha1;
    HASHHEX hentity = {0};
    HASHHEX response;
    DigestCalcHA1("MD5", user, realm.c_str(), password, nonce.c_str(), cnonce, ha1);
    if (qop == "auth-int") Md5Hex({body != nullptr ? body : ""}, hentity);
    DigestCalcResponse(ha1, nonce.c_str(), nc, cnonce, qop.c_str(), method, uri, hentity, response);
    UA_TRACE(3, proxy ? "Response in proxy_authorization |%s|\n" : "Response in authorization |%s|\n", response);

    osip_authorization_set_auth_type(auth, UA_STRDUP("Digest"));
    osip_authorization_set_username(auth, UA_STRDUP(Quote(user).c_str()));
    osip_authorization_set_realm(auth, UA_STRDUP(challenge->realm));
    osip_authorization_set_nonce(auth, UA_STRDUP(challenge->nonce));
    osip_authorization_set_uri(auth, UA_STRDUP(Quote(uri).c_str()));
    osip_authorization_set_response(auth, UA_STRDUP(Quote(response).c_str()));
    osip_authorization_set_algorithm(auth, UA_STRDUP("MD5"));
    if (challenge->opaque != nullptr) osip_authorization_set_opaque(auth, UA_STRDUP(challenge->opaque));
    if (!qop.empty()) {
        osip_authorization_set_message_qop(auth, UA_STRDUP(qop.c_str()));
        osip_authorization_set_nonce_count(auth, UA_STRDUP(nc));
        osip_authorization_set_cnonce(auth, UA_STRDUP(Quote(cnonce).c_str()));
    }
    *out = auth;
    return 0;
}

const char* CseqMethod(osip_message_t* response) {
    return (response != nullptr && response->cseq != nullptr) ? response->cseq->method : nullptr;
}

}  // namespace

void DigestCalcHA1(const char* alg, const char* user, const char* realm, const char* password,
                   const char* nonce, const char* cnonce, HASHHEX out) {
    Md5Hex({user, realm, password}, out);
    if (alg != nullptr && osip_strcasecmp(alg, "md5-sess") == 0) {
        HASHHEX first;
        memcpy(first, out, sizeof first);
        Md5Hex({first, nonce, cnonce}, out);
    }
}

void DigestCalcResponse(const HASHHEX ha1, const char* nonce, const char* nc, const char* cnonce,
                        const char* qop, const char* method, const char* uri, const HASHHEX hentity,
                        HASHHEX out) {
    HASHHEX ha2;
    bool withQop = qop != nullptr && qop[0] != '\0';
    if (withQop && strcmp(qop, "auth-int") == 0) {
        Md5Hex({method, uri, hentity}, ha2);
    } else {
        Md5Hex({method, uri}, ha2);
    }
    if (withQop) {
        Md5Hex({ha1, nonce, nc, cnonce, qop, ha2}, out);
    } else {
        Md5Hex({ha1, nonce, ha2}, out);
    }
}

int osip_build_authorization(osip_message_t* response, const char* uri, const char* user,
                             const char* password, const char* body, osip_authorization_t** out) {
    if (out == nullptr) return -1;
    *out = nullptr;
    if (response == nullptr) return -1;
    auto* challenge = static_cast<osip_www_authenticate_t*>(osip_list_get(&response->www_authenticates, 0));
    return BuildCredentials(challenge, false, CseqMethod(response), uri, user, password, body, out);
}

int osip_build_proxy_authorization(osip_message_t* response, const char* uri, const char* user,
                                   const char* password, const char* body,
                                   osip_proxy_authorization_t** out) {
    if (out == nullptr) return -1;
    *out = nullptr;
    if (response == nullptr) return -1;
    auto* challenge = static_cast<osip_proxy_authenticate_t*>(osip_list_get(&response->proxy_authenticates, 0));
    return BuildCredentials(challenge, true, CseqMethod(response), uri, user, password, body, out);
}

void osip_digest_set_cnonce_source(void (*source)(char out[33])) {
    std::lock_guard<std::mutex> lock(g_countMutex);
    g_cnonceSource = source;
}

void osip_digest_reset_counts() {
    std::lock_guard<std::mutex> lock(g_countMutex);
    for (auto& slot : g_counts) slot = NonceCount{};
    g_clock = 0;
}
