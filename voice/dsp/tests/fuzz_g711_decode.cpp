// Fuzz target: G.711 A-law and mu-law decoding of arbitrary payload bytes, and re-encoding the result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "voice/dsp/g711.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int16_t n = static_cast<int16_t>(size > 32767 ? 32767 : size);
  // Exact-size buffers so that any write past the count is caught by the address sanitizer.
  std::vector<int16_t> pcm(static_cast<size_t>(n));
  std::vector<uint8_t> codes(static_cast<size_t>(n));
  const uint8_t* in = n > 0 ? data : nullptr;

  if (G711_AlawToLinear(in, pcm.data(), n) != n) std::abort();
  for (int16_t v : pcm)
    if (v < -32256 || v > 32256) std::abort();
  if (G711_LinearToAlaw(pcm.data(), n, codes.data()) != n) std::abort();
  for (int16_t i = 0; i < n; ++i)
    if (codes[i] != data[i]) std::abort();  // every A-law code is its own decoded value's code

  if (G711_UlawToLinear(in, pcm.data(), n) != n) std::abort();
  for (int16_t v : pcm)
    if (v < -32124 || v > 32124) std::abort();
  if (G711_LinearToUlaw(pcm.data(), n, codes.data()) != n) std::abort();
  return 0;
}
