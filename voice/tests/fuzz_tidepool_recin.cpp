// Fuzz target: arbitrary datagrams into Tidepool's RecIn, with playout pulled between them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "voice/dsp/cng.h"
#include "voice/tidepool/tidepool.h"

namespace {

// Stand-in decoder for the codecs whose frame rules need one attached: one sample per byte.
int Decode(void*, const uint8_t*, int length, int16_t* out, int capacity, int16_t* speechType) {
  const int n = length < capacity ? length : capacity;
  for (int i = 0; i < n; ++i) out[i] = static_cast<int16_t>(i * 64);
  *speechType = 1;
  return n;
}
const TidepoolDecoderOps kOps = {Decode, nullptr, nullptr, nullptr, nullptr, Decode, nullptr, nullptr, 4, 8000};
int g_decoder = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TidepoolInst* inst = nullptr;
  if (TIDEPOOL_SONRA_10MS16B_create(&inst) != 0) return 0;
  CngDecoderInst* cng = nullptr;
  Cng_CreateDecoder(&cng);
  const int rate = (size > 0 && (data[0] & 1)) ? 16000 : 8000;
  TIDEPOOL_SONRA_10MS16B_Init(inst, rate);
  TIDEPOOL_SONRA_10MS16B_AssignCN(inst, cng);
  TIDEPOOL_SONRA_10MS16B_AssignDecoder(inst, kTidepoolIlbc, &kOps, &g_decoder);
  TIDEPOOL_SONRA_10MS16B_AssignDecoder(inst, kTidepoolG723, &kOps, &g_decoder);
  TIDEPOOL_SONRA_10MS16B_AssignDecoder(inst, kTidepoolGsm, &kOps, &g_decoder);
  TIDEPOOL_SONRA_10MS16B_AssignDecoder(inst, kTidepoolQuill, &kOps, &g_decoder);
  TIDEPOOL_SONRA_10MS16B_RegisterPayload(inst, "ILBC", 8000, 102);
  TIDEPOOL_SONRA_10MS16B_RegisterPayload(inst, "QUILL", 16000, 103);
  TIDEPOOL_SONRA_10MS16B_RegisterPayload(inst, "CN", 8000, 105);
  TIDEPOOL_SONRA_10MS16B_RegisterPayload(inst, "audio/telephone-event", 8000, 101);
  TIDEPOOL_SONRA_10MS16B_SetDTMFHandling(inst, 1);

  // Input: records of [length byte][arrival step byte][datagram]; each datagram gets its own exactly
  // sized buffer so a read past its end is caught.
  size_t pos = 1;
  uint32_t arrival = 0;
  int16_t out[160];
  int16_t count = 0;
  while (pos + 2 <= size) {
    const size_t len = data[pos];
    const uint32_t step = data[pos + 1];
    pos += 2;
    const size_t take = len < size - pos ? len : size - pos;
    std::vector<uint8_t> packet(data + pos, data + pos + take);
    pos += take;
    arrival += step * 8;
    TIDEPOOL_SONRA_10MS16B_RecIn(inst, packet.empty() ? nullptr : packet.data(),
                                 static_cast<int32_t>(packet.size()), arrival);
    for (uint32_t k = 0; k < (step & 3); ++k) TIDEPOOL_SONRA_10MS16B_RecOut(inst, out, &count);
  }
  for (int k = 0; k < 8; ++k) TIDEPOOL_SONRA_10MS16B_RecOut(inst, out, &count);
  uint16_t fraction;
  uint32_t lost, highest, jitter;
  TIDEPOOL_SONRA_10MS16B_GetRTCPStats(inst, &fraction, &lost, &highest, &jitter);
  TIDEPOOL_SONRA_10MS16B_free(inst);
  Cng_FreeDecoder(cng);
  return 0;
}
