// Fuzz target: Quill payloads of any length and content through the decoder.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "voice/dsp/quill/quill.h"

namespace {
QuillInstance* instance() {
  static QuillInstance* q = [] {
    QuillInstance* inst = nullptr;
    if (Quill_Create(&inst) != 0 || Quill_DecoderInit(inst) != 0) std::abort();
    return inst;
  }();
  return q;
}

void check(int n) {
  if (n != -1 && n != 480 && n != 960) std::abort();
}
}  // namespace

// Input: [length byte][payload]... decoded one after another on one decoder (so its states carry
// corrupt history on), then the whole input as one payload.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QuillInstance* q = instance();
  int16_t out[960], type = 0;
  size_t pos = 0;
  int payloads = 0;
  while (pos < size && payloads++ < 16) {
    size_t len = data[pos++];
    if (len > size - pos) len = size - pos;
    // Exact-size copies, so a read past the payload is caught.
    std::vector<uint8_t> payload(data + pos, data + pos + len);
    pos += len;
    check(QuillOps_Decode(q, payload.empty() ? nullptr : payload.data(), static_cast<int>(len), out, 960, &type));
  }
  if (size <= 0x7FFF) {
    std::vector<uint16_t> words((size + 1) / 2 + 1, 0);
    for (size_t k = 0; k < size; ++k) words[k / 2] |= static_cast<uint16_t>(data[k] << ((k & 1) ? 8 : 0));
    const int n = Quill_Decode(q, words.data(), static_cast<int16_t>(size), out, &type);
    check(n);
    if (size > 600 && n != -1) std::abort();
  }
  if (Quill_DecoderInit(q) != 0) std::abort();
  return 0;
}
