// The SRTP policy the network tests use: AES-128 counter mode with HMAC-SHA1 (80-bit tag), both services.
#pragma once

#include "voice/net/srtp_glue.h"

namespace vnet_test {

// key: 30 bytes (16 of key, 14 of salt); direction kSrtpAnyInbound or kSrtpAnyOutbound.
inline SrtpPolicy AesPolicy(const unsigned char* key, int direction) {
  SrtpPolicy p;
  p.cipherType = kSrtpAesIcm128;
  p.cipherKeyLength = 30;
  p.authType = kSrtpHmacSha1;
  p.authKeyLength = 20;
  p.authTagLength = 10;
  p.securityServices = kSrtpSecServConfAndAuth;
  p.key = key;
  p.direction = direction;
  return p;
}

}  // namespace vnet_test
