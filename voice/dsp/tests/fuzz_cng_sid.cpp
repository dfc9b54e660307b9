// Fuzz target: comfort-noise SID payloads of any length and content, each followed by noise generation.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "voice/dsp/cng.h"

// Input: a sequence of [length byte][payload]; the length byte's top bit starts a new noise period and
// selects 16-kHz frames. A length past the end of the input takes what is left.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CngDecoderInst dec;
  if (Cng_DecoderInit(&dec) != 0) std::abort();
  std::vector<int16_t> out(320);
  size_t pos = 0;
  int payloads = 0;
  while (pos < size && payloads++ < 64) {
    const uint8_t head = data[pos++];
    size_t len = head & 0x3f;
    if (len > size - pos) len = size - pos;
    // Copy to an exact-size buffer so that any read past the payload is caught.
    std::vector<uint8_t> sid(data + pos, data + pos + len);
    pos += len;
    const int16_t r = Cng_UpdateSid(&dec, sid.empty() ? nullptr : sid.data(), static_cast<int16_t>(len));
    if ((len == 0) != (r == -1)) std::abort();
    const int16_t count = (head & 0x40) ? 320 : 80;
    if (Cng_Generate(&dec, out.data(), count, (head & 0x80) ? 1 : 0) != 0) std::abort();
  }
  // The whole input as one SID.
  if (size > 0 && size < 32768) {
    std::vector<uint8_t> sid(data, data + size);
    if (Cng_UpdateSid(&dec, sid.data(), static_cast<int16_t>(size)) != 0) std::abort();
    if (Cng_Generate(&dec, out.data(), 160, 0) != 0) std::abort();
  }
  return 0;
}
