// Fuzz target: single Ostrel711 and upper-band frames of any content, as the section decoders see them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "voice/dsp/ostrel/ostrel711_frame.h"
#include "voice/dsp/ostrel/ostrelwb_upper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int variant = data[0] & 1;
  std::vector<uint8_t> frame(data + 1, data + size);
  if (frame.empty()) return 0;
  int16_t values[kOstrel711BlockValues];
  const int announced = static_cast<int>(frame.size() > kOstrel711FrameMaxBytes ? kOstrel711FrameMaxBytes : frame.size());
  Ostrel711_DecodeFrameBits(values, frame.data(), variant, announced);
  OstrelWbUpperFrame upper;
  const int avail = static_cast<int>(frame.size() > kOstrelWbUpperMaxBytes ? kOstrelWbUpperMaxBytes : frame.size());
  if (OstrelWb_UnpackUpperFrame(&upper, frame.data(), avail) > 0) {
    OstrelWbSynthState state{};
    int16_t out[kOstrelWbUpperSamples];
    OstrelWb_SynthesizeFull(&state, upper, upper, out);
  }
  return 0;
}
