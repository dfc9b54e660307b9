// Ostrel decoder entries with untyped instances, for a jitter buffer's table of decoder routines.
#include "voice/dsp/ostrel/ostrel_entries.h"

#include "voice/dsp/ostrel/ostrel711.h"
#include "voice/dsp/ostrel/ostrelwb.h"

int Ostrel711_EntryDecode(void* inst, const uint8_t* payload, int length, int16_t* out, int capacity,
                          int16_t* speechType) {
  return Ostrel711_Decode(static_cast<Ostrel711Codec*>(inst), length > 0 ? payload : nullptr, length, out, speechType,
                          capacity);
}

int OstrelWb_EntryDecode(void* inst, const uint8_t* payload, int length, int16_t* out, int capacity,
                         int16_t* speechType) {
  return OstrelWb_Decode(static_cast<OstrelWbCodec*>(inst), length > 0 ? payload : nullptr, length, out, speechType,
                         capacity);
}

int Ostrel711U_EntryInit(void* inst) { return Ostrel711U_Reset(static_cast<Ostrel711Codec*>(inst)); }
int Ostrel711A_EntryInit(void* inst) { return Ostrel711A_Reset(static_cast<Ostrel711Codec*>(inst)); }
int OstrelWb_EntryInit(void* inst) { return OstrelWb_Reset(static_cast<OstrelWbCodec*>(inst)); }

int Ostrel711_EntryLateFrame(void* inst, const uint8_t* payload, int length) {
  return Ostrel711_StartLatePacket(static_cast<Ostrel711Codec*>(inst), payload, length);
}

int OstrelWb_EntryLateFrame(void* inst, const uint8_t* payload, int length) {
  return OstrelWb_StartLatePacket(static_cast<OstrelWbCodec*>(inst), payload, length);
}

int Ostrel711_EntryInfo(void* inst) { return static_cast<Ostrel711Codec*>(inst)->decPending; }
int OstrelWb_EntryInfo(void* inst) { return static_cast<OstrelWbCodec*>(inst)->decPending; }
