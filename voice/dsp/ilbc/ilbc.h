// iLBC speech codec (RFC 3951 bit stream, 20-ms and 30-ms frames at 8000 Hz) in 16-bit fixed point.
#pragma once

#include <cstdint>

// Frame constants shared by both instance kinds; set by the init operations.
struct IlbcFrameConstants {
  int16_t mode;            // 20 or 30 (ms)
  int16_t blockLength;     // 160 or 240 samples
  int16_t subBlocks;       // 4 or 6
  int16_t searchBlocks;    // sub-blocks of the adaptive codebook search: 2 or 4
  int16_t frameBytes;      // 38 or 50
  int16_t frameWords;      // 19 or 25
  int16_t lpcAnalyses;     // 1 or 2
  int16_t stateShortLength;  // 57 or 58
};

struct IlbcEncoder {
  IlbcFrameConstants c;
  int16_t analysisMemory[10];   // last 10 high-passed samples of the previous block
  int16_t lsfOld[10];           // previous unquantised LSF vector (Q13)
  int16_t lsfDeqOld[10];        // previous quantised LSF vector (Q13)
  int16_t lpcBuffer[300];       // LPC analysis buffer
  int16_t hpIn[2];              // input high-pass memory: previous two inputs
  int16_t hpOut[4];             // previous two outputs as (high, low) pairs
};

struct IlbcDecoder {
  IlbcFrameConstants c;
  int16_t synthMemory[10];
  int16_t lsfDeqOld[10];        // previous dequantised LSF vector (Q13)
  int16_t oldLpc[6 * 11];       // LPC polynomials of the previous frame (Q12)
  int16_t lastLag;              // lag left for the next concealment
  // Concealment state.
  int16_t consecutiveLosses;
  int16_t prevLost;
  int16_t prevLag;
  int16_t prevVoicing;
  int16_t corrScale;
  int16_t prevLpc[11];
  int16_t prevResidual[240];
  uint16_t seed;
  int16_t hpOut[6];             // output high-pass memory: two inputs, two (high, low) outputs
  int16_t enhancer;             // 1: post-processing on (always, as the engine initialises it)
  int16_t enhBuffer[643];
  int16_t enhPeriod[8];         // Q2
  int16_t prevConcealed;        // the previous block was concealed
};

// Allocation; the engine releases an instance with Ilbc_FreeEncoder / Ilbc_FreeDecoder.
int16_t Ilbc_CreateEncoder(IlbcEncoder** out);
int16_t Ilbc_CreateDecoder(IlbcDecoder** out);
void Ilbc_FreeEncoder(IlbcEncoder* enc);
void Ilbc_FreeDecoder(IlbcDecoder* dec);

// mode 20 or 30: 0; anything else: -1 with the instance untouched.
int16_t Ilbc_EncoderInit(IlbcEncoder* enc, int16_t mode);
// Encodes 1, 2 or 3 blocks (length = blocks x block length) into consecutive frames; returns the bytes
// written, or -1 for any other length. `out` holds at least 3 frames.
int16_t Ilbc_Encode(IlbcEncoder* enc, const int16_t* samples, int16_t length, uint8_t* out);

int16_t Ilbc_DecoderInit(IlbcDecoder* dec, int16_t mode);  // enhancer on; -1 for a bad mode
int16_t Ilbc_DecoderInit20ms(IlbcDecoder* dec);
int16_t Ilbc_DecoderInit30ms(IlbcDecoder* dec);
// Decodes a payload of 1 to 3 whole frames (bytes a multiple of the frame size) into block length x
// frames samples; -1 for any other size. An invalid frame inside the payload is concealed. The payload
// is only read. speechType is set to 1.
int16_t Ilbc_Decode(IlbcDecoder* dec, const uint8_t* payload, int16_t bytes, int16_t* out, int16_t* speechType);
// The same with at most 2 frames a payload.
int16_t Ilbc_DecodeUpTo2(IlbcDecoder* dec, const uint8_t* payload, int16_t bytes, int16_t* out,
                         int16_t* speechType);
// n blocks of concealment; returns block length x n (0 and nothing written for n < 1).
int16_t Ilbc_DecodePlc(IlbcDecoder* dec, int16_t* out, int16_t frames);
// Writes "1.0.4" with its terminating zero (6 bytes).
int16_t Ilbc_Version(char* text);
