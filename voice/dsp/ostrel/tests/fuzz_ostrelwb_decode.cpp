// Fuzz target: Ostrel wideband packets of any content and length through every decoder entry.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "voice/dsp/ostrel/ostrelwb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static OstrelWbCodec dec;
  OstrelWb_Init(&dec, 160);
  size_t pos = 1;
  while (pos < size) {
    const bool late = (data[pos] & 0x80) != 0;
    size_t n = static_cast<size_t>(data[pos] & 0x7F) * 7;
    ++pos;
    if (n > size - pos) n = size - pos;
    std::vector<uint8_t> payload(data + pos, data + pos + n);
    pos += n;
    int16_t out[kOstrelWbMaxDecodedSamples];
    int16_t type;
    if (late) {
      OstrelWb_StartLatePacket(&dec, payload.data(), static_cast<int32_t>(payload.size()));
    } else {
      OstrelWb_Decode(&dec, payload.empty() ? nullptr : payload.data(), static_cast<int32_t>(payload.size()), out, &type);
    }
  }
  return 0;
}
