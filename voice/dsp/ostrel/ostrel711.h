// Ostrel711: compressed G.711 at 8000 Hz (OSTREL711U, payload type 100; OSTREL711A, payload type 101).
#pragma once

#include <cstdint>

#include "voice/dsp/ostrel/ostrel711_frame.h"

// Packet layout (bytes in stream order; the header is a bit string from the first byte's top bit):
//   frames N - 1 (2 bits), length - 14 of frames 1..N (6 bits each), second-section length S - 14 N (6, 7, 8,
//   8 bits for N = 1..4), pad flag (1 bit; a set flag skips one byte after the header), zero bits to the end
//   of the N + 1 header bytes; then the first section (the N frames coded during the previous packet period,
//   first-section coding) and the second section (the current period's blocks, second-section coding).
// A packet is at most (N + 1) + 2 * 71 * N bytes; a decoder never reads past the payload it is given and
// never changes it.

enum Ostrel711Error : int16_t {
  kOstrelErrPacketLength = 2020,  // packet length in samples not 80, 160, 240 or 320 (80 is used)
  kOstrelErrLaw = 2030,           // law neither 0 (mu-law) nor 1 (A-law)
  kOstrelErrInputKind = 2040,     // input kind not 0, 1 or 2 (0 is used)
  kOstrelErrMalformed = 2050,     // malformed packet or frame
  kOstrelErrPending = 2060,       // a new packet while frames of the current one are pending
};

enum Ostrel711InputKind : int16_t { kOstrelInputLinear = 0, kOstrelInputAlaw = 1, kOstrelInputUlaw = 2 };

constexpr int kOstrel711BlockSamples = 80;
constexpr int kOstrel711MaxFrames = 4;
constexpr int kOstrel711SectionBytes = kOstrel711MaxFrames * kOstrel711FrameMaxBytes;  // 284
constexpr int kOstrel711MaxPacketBytes = 1 + kOstrel711MaxFrames + 2 * kOstrel711SectionBytes;  // 573
constexpr int kOstrel711MaxPayloadBytes = kOstrel711MaxPacketBytes + 1;  // with the pad byte
constexpr int kOstrel711MaxDecodedSamples = kOstrel711MaxFrames * kOstrel711BlockSamples;  // 320

// Largest packet for N frames a packet, as the layout allows.
constexpr int Ostrel711_MaxPacketBytes(int frames) { return frames + 1 + 2 * kOstrel711FrameMaxBytes * frames; }

// One direction of one channel's codec. Every field is set by Ostrel711_Init except wrapperWord.
struct Ostrel711Codec {
  int16_t blockLength;      // 80
  int16_t law;              // 0 mu-law, 1 A-law
  int16_t inputKind;        // Ostrel711InputKind
  int16_t framesPerPacket;  // N, 1..4
  uint16_t headerTop;       // (N - 1) << 14
  int16_t maxPacketBytes;   // Ostrel711_MaxPacketBytes(N)

  // Encoder: first-section codings of the current and the previous period (swapped at every packet),
  // the current period's second section, and the blocks collected.
  int16_t encCur;
  uint8_t encFirst[2][kOstrel711SectionBytes];
  int16_t encFirstBytes[2];
  int16_t encFrameLengths[2][kOstrel711MaxFrames];
  uint8_t encSecond[kOstrel711SectionBytes];
  int16_t encSecondBytes;
  int16_t encCollected;

  // Decoder: the current packet's first section, and the second sections of the current and the previous
  // packet (swapped at every packet) with the frames of each not yet used.
  uint8_t decFirst[kOstrel711SectionBytes];
  int16_t decFirstOffset[kOstrel711MaxFrames];
  int16_t decFirstLength[kOstrel711MaxFrames];
  int16_t decFrames;   // N of the current packet
  int16_t decPending;  // its first-section frames not yet decoded
  int16_t decCur;      // index of the current packet's second section
  uint8_t decSecond[2][kOstrel711SectionBytes + kOstrel711MaxFrames];
  int16_t decSecondBytes[2];
  int16_t decSecondLeft[2];
  int16_t decSecondPos[2];
  int16_t lastKind;    // -1 silence, 0 from both sections, 1 from one section alone

  int16_t errorCode;
  int32_t wrapperWord;  // belongs to the engine's wrapper
};

int16_t Ostrel711_Init(Ostrel711Codec* inst, int16_t law, int16_t inputKind, int16_t packetSamples);
int16_t Ostrel711_InitCore(Ostrel711Codec* inst, int16_t law, int16_t inputKind, int16_t blockLength,
                           int16_t packetSamples);
int16_t Ostrel711_Reset(Ostrel711Codec* inst, int16_t law);
int16_t Ostrel711U_Reset(Ostrel711Codec* inst);
int16_t Ostrel711A_Reset(Ostrel711Codec* inst);
int16_t Ostrel711_ResetCore(Ostrel711Codec* inst, int16_t law, int16_t blockLength);

// Codes one 10-ms block: 80 linear samples, or 80 G.711 codes as bytes in stream order (40 words).
// Until N blocks are collected *packetBytes is 0 and *blocksNeeded says how many more; at the N-th the packet
// (at most kOstrel711MaxPacketBytes, never more than inst->maxPacketBytes) is written. 0, or -1.
// A code of the other law turned into a code of `law` (0 mu-law, 1 A-law) by G.711's code tables.
uint8_t Ostrel711_OtherLawCode(int16_t law, uint8_t code);
int16_t Ostrel711_EncodeCore(Ostrel711Codec* inst, const int16_t* block, uint8_t* packet, int16_t* packetBytes,
                             int16_t* blocksNeeded);

// One frame a call: with nothing pending and a payload, starts the packet and returns its first frame; with
// frames pending, the next one (the payload is not looked at); with neither, a frame of the held second
// section, or 80 zeros and 0. Returns 80, 0, or -1 (error 2050 or 2060, 80 zeros written).
int16_t Ostrel711_DecodeFrame(Ostrel711Codec* inst, const uint8_t* payload, int16_t* out, int32_t payloadBytes,
                              int16_t* framesLeft);
// Starts a packet without decoding a frame (0, or -1 with 2050 or 2060; either failure drops the frames of the
// current packet still pending).
int16_t Ostrel711_StartPacket(Ostrel711Codec* inst, const uint8_t* payload, int32_t payloadBytes);
// Length of the packet at the start of a payload as its header gives it (at most the payload), or -1 when
// the header is malformed or the packet is longer than the payload. Reads only the payload.
int32_t Ostrel711_PacketLength(const uint8_t* payload, int32_t payloadBytes, int16_t* frames);
// A packet that arrived after its turn was concealed: only its second section is kept, to complete the next
// packet's frames. 0, or -1 with 2050 or 2060.
int16_t Ostrel711_StartLatePacket(Ostrel711Codec* inst, const uint8_t* payload, int32_t payloadBytes);
// All frames of a packet (or, without one, of the held section) into out, at most `capacity` samples;
// speech type 1. Returns the samples written, or -1.
int16_t Ostrel711_Decode(Ostrel711Codec* inst, const uint8_t* payload, int32_t payloadBytes, int16_t* out,
                         int16_t* speechType, int capacity = kOstrel711MaxDecodedSamples);
int16_t Ostrel711_DecodeFrames(Ostrel711Codec* inst, const uint8_t* payload, int32_t payloadBytes, int16_t* out,
                               int16_t* speechType, int capacity = kOstrel711MaxDecodedSamples);
// The kind of the last decoded frame and the frames of the current packet's second section still held.
int16_t Ostrel711_GetDecoderInfo(const Ostrel711Codec* inst, int16_t* lastKind, int16_t* heldFrames);

// Writes "2.1.24" (shared by Ostrel711 and the wideband codec); -1 when `size` cannot hold it.
int16_t Ostrel_Version(char* text, int size = 7);
