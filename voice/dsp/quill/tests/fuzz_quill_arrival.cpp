// Fuzz target: arrival sequences into the bandwidth estimator, with an encoder reading its figures.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "voice/dsp/quill/quill_internal.h"

// Input: records of [sequence 2][arrival step 2][length 1][payload]. Every few records the encoder of
// the same instance codes a frame, reading the send figures and the index to report.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QuillInstance* q = nullptr;
  if (Quill_Create(&q) != 0) std::abort();
  // The arrival routine before any encoder init: the estimator was started at create.
  if (Quill_DecoderInit(q) != 0) std::abort();
  const bool encoder = size > 0 && (data[0] & 1);
  if (encoder && Quill_EncoderInit(q, 0) != 0) std::abort();
  std::vector<int16_t> block(160, 0);
  uint16_t packet[300];
  uint32_t arrival = 0;
  size_t pos = 1;
  int records = 0;
  while (pos + 5 <= size && records++ < 200) {
    const uint16_t seq = static_cast<uint16_t>(data[pos] | (data[pos + 1] << 8));
    const uint16_t step = static_cast<uint16_t>(data[pos + 2] | (data[pos + 3] << 8));
    // Mostly forward in time, sometimes back (reordering) or across the 32-bit wrap.
    arrival += (step & 0x8000) ? static_cast<uint32_t>(-(step & 0x7FFF)) : step * 16u;
    size_t len = data[pos + 4];
    pos += 5;
    if (len > size - pos) len = size - pos;
    std::vector<uint8_t> payload(data + pos, data + pos + len);
    pos += len;
    const int r = QuillOps_Arrival(q, payload.empty() ? nullptr : payload.data(), static_cast<int>(len), seq, arrival);
    if (r != 0 && r != -1) std::abort();
    const QuillRateEstimator& e = q->rateEstimator;
    const int inRate = Quill_RateEstInRate(&e), outRate = Quill_RateEstOutRate(&e);
    const int inDelay = Quill_RateEstInDelay(&e), outDelay = Quill_RateEstOutDelay(&e);
    if (inRate < 10000 || inRate > 32000 || outRate < 10000 || outRate > 32000) std::abort();
    if (inDelay < 5 || inDelay > 25 || outDelay < 5 || outDelay > 25) std::abort();
    if (encoder && (records % 3) == 0) {
      for (int b = 0; b < 6; ++b) {
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int16_t>((i * 37 + seq) & 0x3FF);
        const int n = Quill_Encode(q, block.data(), packet);
        if (n < 0 || n > 600) std::abort();
      }
    }
  }
  Quill_Free(q);
  return 0;
}
