// Fuzz target: Ostrel711 packets of any content and length through every decoder entry.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "voice/dsp/ostrel/ostrel711.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static Ostrel711Codec dec;
  Ostrel711_Init(&dec, data[0] & 1, 0, 80);
  // The rest is a run of packets, each preceded by a length byte; bit 7 of the length marks a late packet.
  size_t pos = 1;
  while (pos < size) {
    const bool late = (data[pos] & 0x80) != 0;
    size_t n = static_cast<size_t>(data[pos] & 0x7F) * 5;
    ++pos;
    if (n > size - pos) n = size - pos;
    std::vector<uint8_t> payload(data + pos, data + pos + n);  // exact size: reads past it are caught
    pos += n;
    int16_t out[kOstrel711MaxDecodedSamples];
    int16_t type;
    if (late) {
      Ostrel711_StartLatePacket(&dec, payload.data(), static_cast<int32_t>(payload.size()));
    } else {
      Ostrel711_Decode(&dec, payload.empty() ? nullptr : payload.data(), static_cast<int32_t>(payload.size()), out, &type);
    }
  }
  return 0;
}
