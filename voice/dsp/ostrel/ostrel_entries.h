// Ostrel decoder entries with untyped instances, shaped for a jitter buffer's table of decoder routines.
#pragma once

#include <cstdint>

// Each takes the codec instance (Ostrel711Codec or OstrelWbCodec) as `inst`.
// Decode: with a payload, every frame of the packet (at most `capacity` samples); with length 0, the frames
// held back from the last packet, or 0 samples when there are none. Speech type 1. Samples, or -1.
int Ostrel711_EntryDecode(void* inst, const uint8_t* payload, int length, int16_t* out, int capacity,
                          int16_t* speechType);
int OstrelWb_EntryDecode(void* inst, const uint8_t* payload, int length, int16_t* out, int capacity,
                         int16_t* speechType);
// Init (reset for a new stream): mu-law, A-law, wideband. 0, or -1.
int Ostrel711U_EntryInit(void* inst);
int Ostrel711A_EntryInit(void* inst);
int OstrelWb_EntryInit(void* inst);
// A packet one frame late, after its turn was concealed: keeps what completes the next packet. 0, or -1.
int Ostrel711_EntryLateFrame(void* inst, const uint8_t* payload, int length);
int OstrelWb_EntryLateFrame(void* inst, const uint8_t* payload, int length);
// Frames of the current packet not yet decoded (0 when the decoder holds nothing back).
int Ostrel711_EntryInfo(void* inst);
int OstrelWb_EntryInfo(void* inst);
