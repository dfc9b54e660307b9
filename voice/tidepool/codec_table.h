// Tidepool codec table rows: names, rates, static payload types and the frame rule of each codec.
#pragma once

#include <cstdint>

namespace tidepool {

enum FrameRule : int {
  kFrameRuleWhole = 0,    // the whole payload is one frame
  kFrameRuleSamples = 1,  // sample-based (G.711, G.722): chunks of the payload
  kFrameRuleTyped = 2,    // G.723.1: frame length from the low bits of its first byte
  kFrameRuleIlbc = 3,     // 20- or 30-ms frames chosen by the payload length
  kFrameRuleFixed = 4,    // fixed frame bytes and samples
};

enum RowKind : int { kRowCodec = 0, kRowPcmu, kRowPcma, kRowCn, kRowEvent };

struct CodecRow {
  const char* upper;
  const char* lower;
  int32_t rate;            // 0 = any rate
  int16_t staticPayloadType;  // -1 = none
  uint16_t bytesPerFrame;
  uint16_t samplesPerFrame;
  int frameRule;
  int entry;               // codec table entry, -1 for the rows without one
  int kindOfRow;
};

extern const CodecRow kRows[];
extern const int kRowCount;
const CodecRow* RowOfCodec(int codec);
const CodecRow* RowOfKind(int kindOfRow);
int SilenceConceal(void*, int16_t* out, int capacity);
int TestSignalDecode(void*, const uint8_t*, int, int16_t* out, int capacity, int16_t* speechType);

}  // namespace tidepool
