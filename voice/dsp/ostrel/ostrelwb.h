// Ostrel wideband (OSTRELWB, payload type 97, 16000 Hz): split-band codec over 10-ms frames of 160 samples.
#pragma once

#include <cstdint>

#include "voice/dsp/ostrel/ostrel711.h"
#include "voice/dsp/ostrel/ostrelwb_upper.h"

// Packet layout: the complete Ostrel711 packet of the lower band (mu-law), then, from the next byte, the
// upper-band section: N frame lengths of 5 bits (0..29; header 1, 2, 2 or 3 bytes for N = 1..4, first frame
// in the most significant bits), the N upper-band frames coded during the previous period, and the current
// period's second section of upper-band frames running to the end of the payload. A payload with no bytes
// after the lower packet, or more than the upper section can hold, is decoded with a silent upper band.

constexpr int kOstrelWbFrameSamples = 160;
constexpr int kOstrelWbMaxFrames = 4;
constexpr int kOstrelWbUpperSectionBytes = kOstrelWbMaxFrames * kOstrelWbUpperMaxBytes;  // 116
constexpr int kOstrelWbMaxDecodedSamples = kOstrelWbMaxFrames * kOstrelWbFrameSamples;   // 640

// Largest upper-band section for N frames: 59, 118, 176, 235 bytes for N = 1..4.
constexpr int OstrelWb_MaxUpperBytes(int frames) { return (5 * frames + 7) / 8 + 2 * kOstrelWbUpperMaxBytes * frames; }
// Largest packet for N frames (808 bytes for N = 4).
constexpr int OstrelWb_MaxPacketBytes(int frames) { return Ostrel711_MaxPacketBytes(frames) + OstrelWb_MaxUpperBytes(frames); }
constexpr int kOstrelWbMaxPacketBytes = OstrelWb_MaxPacketBytes(kOstrelWbMaxFrames);

// State of one first-order all-pass section chain (three sections).
struct OstrelWbAllPass {
  int32_t x[3];  // previous input of each section
  int32_t y[3];  // previous output of each section
};

struct OstrelWbCodec {
  int16_t framesPerPacket;
  int16_t maxPacketBytes;

  // Encoder: band-splitting states, the residual filter's memory, and the upper band's first sections of
  // the current and previous period (swapped at every packet) and the current second section.
  OstrelWbAllPass splitP;
  OstrelWbAllPass splitQ;
  int16_t encResidualState[kOstrelWbUpperOrder];
  int16_t encCur;
  uint8_t encFirst[2][kOstrelWbUpperSectionBytes];
  int16_t encFirstBytes[2];
  int16_t encFrameLengths[2][kOstrelWbMaxFrames];
  uint8_t encSecond[kOstrelWbUpperSectionBytes];
  int16_t encSecondBytes;
  int16_t encCollected;

  // Decoder: upper-band sections of the current packet and the second sections of the current and the
  // previous packet, band-merging and smoothing states, and the upper band's synthesis filter.
  int16_t decFrames;
  int16_t decPending;
  int16_t decUpperPresent;  // the current packet has an upper-band section
  uint8_t decFirst[kOstrelWbUpperSectionBytes];
  int16_t decFirstOffset[kOstrelWbMaxFrames];
  int16_t decFirstLength[kOstrelWbMaxFrames];
  int16_t decCur;
  // The second section runs to the end of the payload: up to the whole upper section less its header.
  uint8_t decSecond[2][OstrelWb_MaxUpperBytes(kOstrelWbMaxFrames)];
  int16_t decSecondBytes[2];
  int16_t decSecondPos[2];
  int16_t decSecondLeft[2];
  OstrelWbAllPass mergeP;
  OstrelWbAllPass mergeQ;
  int16_t smoothState[15];
  OstrelWbSynthState synth;
  int16_t lastKind;

  int16_t errorCode;
  Ostrel711Codec lower;
  int32_t wrapperWord;  // belongs to the engine's wrapper
};

// 160, 320, 480 or 640 samples a packet (others: 160 is used and the result is -1).
int16_t OstrelWb_Init(OstrelWbCodec* inst, int16_t packetSamples);
// Clears the decoder (and its filters) and resets the lower-band decoder; the encoder is left as it is.
int16_t OstrelWb_Reset(OstrelWbCodec* inst);
// One 10-ms frame of 160 samples; *packetBytes is 0 until a packet (at most inst->maxPacketBytes) is written.
int16_t OstrelWb_Encode(OstrelWbCodec* inst, const int16_t* in, uint8_t* packet, int16_t* packetBytes,
                        int16_t* framesNeeded);
// Like Ostrel711_DecodeFrame with 160 samples a call.
int16_t OstrelWb_DecodeFrame(OstrelWbCodec* inst, const uint8_t* payload, int16_t* out, int32_t payloadBytes,
                             int16_t* framesLeft);
int16_t OstrelWb_Decode(OstrelWbCodec* inst, const uint8_t* payload, int32_t payloadBytes, int16_t* out,
                        int16_t* speechType, int capacity = kOstrelWbMaxDecodedSamples);
// Starts a packet: the lower band's packet, then the upper-band section. 0, or -1 with 2050 or 2060.
int16_t OstrelWb_DecodeSplitBand(OstrelWbCodec* inst, const uint8_t* payload, int32_t payloadBytes);
// A packet that arrived after its turn was concealed: only its second sections are kept.
int16_t OstrelWb_StartLatePacket(OstrelWbCodec* inst, const uint8_t* payload, int32_t payloadBytes);
// The kind of the last decoded frame and the frames still pending in the current packet.
int16_t OstrelWb_GetDecoderInfo(const OstrelWbCodec* inst, int16_t* lastKind, int16_t* pendingFrames);

// Band splitting and merging of one frame (exposed for tests): 160 samples <-> 80 lower + 80 upper.
void OstrelWb_SplitBands(OstrelWbAllPass* p, OstrelWbAllPass* q, const int16_t* in, int16_t* lower, int16_t* upper);
void OstrelWb_MergeBands(OstrelWbAllPass* p, OstrelWbAllPass* q, const int16_t* lower, const int16_t* upper,
                         int16_t* out);
