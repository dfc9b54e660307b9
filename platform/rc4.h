// RC4 stream cipher, and the 40-bit key derivation used for saved passwords.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

class Rc4 {
 public:
  // Key of 1..256 bytes.
  Rc4(const uint8_t* key, size_t keyLen);
  // Encrypts or decrypts in place (the same operation).
  void crypt(uint8_t* data, size_t len);

 private:
  uint8_t s_[256];
  uint8_t i_ = 0;
  uint8_t j_ = 0;
};

// 16-byte RC4 key as the default RSA provider derives a 40-bit key from an MD5
// hash: the first 5 bytes of the hash followed by 11 zero salt bytes.
void DeriveRc4Key40(const uint8_t md5[16], uint8_t key[16]);

}  // namespace plat
