// MD5 message digest (RFC 1321), one-shot and incremental.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

class Md5 {
 public:
  Md5();
  // Adds bytes to the message.
  void update(const void* data, size_t len);
  void update(std::string_view s) { update(s.data(), s.size()); }
  // Ends the message and writes the 16-byte digest; the object then starts afresh.
  void final(uint8_t digest[16]);
  // Ends the message and returns the digest as 32 lower-case hex characters.
  std::string final_hex();

 private:
  void block(const uint8_t* p);
  uint32_t state_[4];
  uint64_t bytes_;
  uint8_t buf_[64];
  size_t used_;
};

// Digest of data.
void Md5Digest(const void* data, size_t len, uint8_t digest[16]);
// Lower-case hex digest of text.
std::string Md5Hex(std::string_view text);
// Lower-case hex of any bytes.
std::string HexLower(const uint8_t* data, size_t len);

}  // namespace plat
