// libFuzzer target: arbitrary payloads and concealment requests through one iLBC decoder mode.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "voice/dsp/ilbc/ilbc.h"

#ifndef ILBC_FUZZ_MODE
#define ILBC_FUZZ_MODE 20
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static IlbcDecoder dec;
  static bool ready = false;
  if (!ready || (size > 0 && data[0] == 0xff)) {
    Ilbc_DecoderInit(&dec, ILBC_FUZZ_MODE);
    ready = true;
  }
  // The first byte chooses between a concealment and decoding the rest as one payload, so that the
  // decoder sees mixed histories across runs.
  int16_t out[3 * 240];
  int16_t type = 0;
  if (size > 0 && (data[0] & 0x0f) == 0) {
    Ilbc_DecodePlc(&dec, out, static_cast<int16_t>(1 + (data[0] >> 6) % 3));
    return 0;
  }
  // An exact-size copy so that any read past the payload is caught.
  std::vector<uint8_t> payload(data + (size ? 1 : 0), data + size);
  const int16_t bytes = static_cast<int16_t>(payload.size() > 200 ? 200 : payload.size());
  Ilbc_Decode(&dec, payload.data(), bytes, out, &type);
  Ilbc_DecodeUpTo2(&dec, payload.data(), bytes, out, &type);
  return 0;
}
