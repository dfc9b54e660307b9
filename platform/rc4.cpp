// RC4 and the 40-bit key layout of the default RSA provider.
#include "platform/rc4.h"

#include <cstring>
#include <utility>

namespace plat {

Rc4::Rc4(const uint8_t* key, size_t keyLen) {
  for (int k = 0; k < 256; ++k) s_[k] = static_cast<uint8_t>(k);
  if (!key || keyLen == 0) return;
  uint8_t j = 0;
  for (int k = 0; k < 256; ++k) {
    j = static_cast<uint8_t>(j + s_[k] + key[static_cast<size_t>(k) % keyLen]);
    std::swap(s_[k], s_[j]);
  }
}

void Rc4::crypt(uint8_t* data, size_t len) {
  for (size_t n = 0; n < len; ++n) {
    i_ = static_cast<uint8_t>(i_ + 1);
    j_ = static_cast<uint8_t>(j_ + s_[i_]);
    std::swap(s_[i_], s_[j_]);
    data[n] ^= s_[static_cast<uint8_t>(s_[i_] + s_[j_])];
  }
}

void DeriveRc4Key40(const uint8_t md5[16], uint8_t key[16]) {
  std::memcpy(key, md5, 5);
  std::memset(key + 5, 0, 11);
}

}  // namespace plat
