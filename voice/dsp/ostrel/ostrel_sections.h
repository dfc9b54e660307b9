// Section handling both Ostrel codecs share: every frame is coded into two successive packets.
#pragma once

#include <cstdint>
#include <cstring>

// Each frame goes into its packet's second section and again into the next packet's first section, so
// one packet completes the frames of the one before. Codec is Ostrel711Codec or OstrelWbCodec (their
// encoder fields have the same names and roles).

// Before the first packet: the previous period's first section holds `frame` (len bytes) for every frame.
template <typename Codec>
void Ostrel_FillPreviousSection(Codec* inst, const uint8_t* frame, int len) {
  const int prev = inst->encCur ^ 1;
  for (int i = 0; i < inst->framesPerPacket; ++i) {
    std::memcpy(inst->encFirst[prev] + i * len, frame, static_cast<size_t>(len));
    inst->encFrameLengths[prev][i] = static_cast<int16_t>(len);
  }
  inst->encFirstBytes[prev] = static_cast<int16_t>(len * inst->framesPerPacket);
}

// Writes the previous period's first section, then this period's second section, at out and starts
// the next period; returns the bytes written.
template <typename Codec>
int Ostrel_WriteSections(Codec* inst, uint8_t* out) {
  const int prev = inst->encCur ^ 1;
  int total = 0;
  std::memcpy(out + total, inst->encFirst[prev], static_cast<size_t>(inst->encFirstBytes[prev]));
  total += inst->encFirstBytes[prev];
  std::memcpy(out + total, inst->encSecond, static_cast<size_t>(inst->encSecondBytes));
  total += inst->encSecondBytes;
  inst->encCur = static_cast<int16_t>(prev);
  inst->encFirstBytes[prev] = 0;
  inst->encSecondBytes = 0;
  inst->encCollected = 0;
  return total;
}

// Decodes a payload frame by frame (decodeFrame as Ostrel711_DecodeFrame) while frames are left and
// another frame of frameSamples fits in capacity. Speech type 1. Samples, or -1.
template <typename Codec>
int16_t Ostrel_DecodePayload(Codec* inst, int16_t (*decodeFrame)(Codec*, const uint8_t*, int16_t*, int32_t, int16_t*),
                             int frameSamples, const uint8_t* payload, int32_t payloadBytes, int16_t* out,
                             int16_t* speechType, int capacity) {
  *speechType = 1;
  if (capacity < frameSamples) return -1;
  int16_t left = 0;
  int total = decodeFrame(inst, payload, out, payloadBytes, &left);
  if (total < 0) return -1;
  while (left > 0 && total > 0 && total + frameSamples <= capacity) {
    const int r = decodeFrame(inst, nullptr, out + total, 0, &left);
    if (r < 0) return -1;
    total += r;
  }
  return static_cast<int16_t>(total);
}
