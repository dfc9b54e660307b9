// SRTP sessions over libsrtp2.
#include "voice/net/srtp_glue.h"

#include <srtp2/crypto_types.h>
#include <srtp2/srtp.h>

#include <cstring>

static_assert(kSrtpMaxTrailer == SRTP_MAX_TRAILER_LEN, "trailer room must match the library");
static_assert(kSrtpNullCipher == SRTP_NULL_CIPHER && kSrtpAesIcm128 == SRTP_AES_ICM_128);
static_assert(kSrtpNullAuth == SRTP_NULL_AUTH && kSrtpHmacSha1 == SRTP_HMAC_SHA1);
static_assert(kSrtpAnyInbound == ssrc_any_inbound && kSrtpAnyOutbound == ssrc_any_outbound);
static_assert(kSrtpSecServConfAndAuth == sec_serv_conf_and_auth);

int SRTP_Init() {
  // The library keeps global state; start it once however many engines or tests ask.
  static const int result = srtp_init() == srtp_err_status_ok ? 0 : -1;
  return result;
}

std::unique_ptr<SrtpSession> SrtpSession::Create(const SrtpPolicy& p) {
  if (p.cipherType != kSrtpNullCipher && p.cipherType != kSrtpAesIcm128) return nullptr;
  if (p.authType != kSrtpNullAuth && p.authType != kSrtpHmacSha1) return nullptr;
  if (p.securityServices < kSrtpSecServNone || p.securityServices > kSrtpSecServConfAndAuth) return nullptr;
  if (p.direction != kSrtpAnyInbound && p.direction != kSrtpAnyOutbound) return nullptr;
  if (!p.key || p.cipherKeyLength < 0 || p.authKeyLength < 0 || p.authTagLength < 0) return nullptr;
  if (SRTP_Init() != 0) return nullptr;

  srtp_policy_t policy;
  std::memset(&policy, 0, sizeof policy);  // window 0 = the default, no key array, no next
  srtp_crypto_policy_set_rtp_default(&policy.rtp);
  srtp_crypto_policy_set_rtcp_default(&policy.rtcp);
  for (srtp_crypto_policy_t* c : {&policy.rtp, &policy.rtcp}) {
    c->cipher_type = static_cast<srtp_cipher_type_id_t>(p.cipherType);
    c->cipher_key_len = p.cipherKeyLength;
    c->auth_type = static_cast<srtp_auth_type_id_t>(p.authType);
    c->auth_key_len = p.authKeyLength;
    c->auth_tag_len = p.authTagLength;
    c->sec_serv = static_cast<srtp_sec_serv_t>(p.securityServices);
  }
  policy.ssrc.type = static_cast<srtp_ssrc_type_t>(p.direction);
  policy.key = const_cast<unsigned char*>(p.key);  // read only by srtp_create
  policy.next = nullptr;

  srtp_t session = nullptr;
  const srtp_err_status_t status = srtp_create(&session, &policy);
  if (status != srtp_err_status_ok || !session) return nullptr;
  return std::unique_ptr<SrtpSession>(new SrtpSession(session));
}

SrtpSession::~SrtpSession() {
  if (handle_) srtp_dealloc(static_cast<srtp_t>(handle_));
}

int SrtpSession::Protect(uint8_t* packet, int* length, size_t capacity) {
  if (!packet || !length || *length < 12) return -1;
  // The library writes its trailer after the packet without knowing the buffer's size.
  if (capacity < static_cast<size_t>(*length) + kSrtpMaxTrailer) return -1;
  return srtp_protect(static_cast<srtp_t>(handle_), packet, length) == srtp_err_status_ok ? 0 : -1;
}

int SrtpSession::Unprotect(uint8_t* packet, int* length) {
  if (!packet || !length || *length < 12) return -1;
  return srtp_unprotect(static_cast<srtp_t>(handle_), packet, length) == srtp_err_status_ok ? 0 : -1;
}

int SrtpSlot::Enable(const SrtpPolicy& policy) {
  std::lock_guard<std::mutex> hold(lock_);
  enabled_.store(false, std::memory_order_release);
  session_.reset();
  session_ = SrtpSession::Create(policy);
  if (!session_) return -1;
  enabled_.store(true, std::memory_order_release);
  return 0;
}

void SrtpSlot::Disable() {
  std::lock_guard<std::mutex> hold(lock_);
  enabled_.store(false, std::memory_order_release);
  session_.reset();
}

int SrtpSlot::Protect(uint8_t* packet, int* length, size_t capacity) {
  std::lock_guard<std::mutex> hold(lock_);
  if (session_ && session_->Protect(packet, length, capacity) == 0) return 0;
  failures_.fetch_add(1, std::memory_order_relaxed);
  return -1;
}

int SrtpSlot::Unprotect(uint8_t* packet, int* length) {
  std::lock_guard<std::mutex> hold(lock_);
  if (session_ && session_->Unprotect(packet, length) == 0) return 0;
  failures_.fetch_add(1, std::memory_order_relaxed);
  return -1;
}
