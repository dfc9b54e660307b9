// Comfort noise: SID encoder (energy and reflection coefficients) and noise generator.
#pragma once

#include <cstdint>

inline constexpr int16_t kCngInitMarker = 7777;
inline constexpr int kCngMaxOrder = 12;      // reflection coefficients a SID can carry
inline constexpr int kCngMaxFrame = 640;     // samples per Cng_Encode call (40 ms at 16 kHz)

// Error codes kept in the instances.
inline constexpr int16_t CNG_ERROR_NOT_INITIALISED = 6110;
inline constexpr int16_t CNG_ERROR_BAD_ORDER = 6120;       // order above 12 (or below 1)
inline constexpr int16_t CNG_ERROR_BAD_ARGUMENT = 6130;    // null pointer, rate, or frame length
inline constexpr int16_t CNG_ERROR_EMPTY_SID = 6140;       // SID payload without its energy byte

struct CngEncoderInst {
  int16_t order;          // reflection coefficients sent per SID
  int16_t rate;           // sampling rate, Hz
  int16_t sidIntervalMs;
  int16_t elapsedMs;      // since the last SID
  int32_t energy;         // smoothed energy per sample
  int16_t refl[13];       // smoothed reflection coefficients, Q15
  int32_t work[13];
  int16_t initMarker;     // kCngInitMarker after init
  int16_t reserved;
  int16_t errorCode;
};

struct CngDecoderInst {
  int16_t initMarker;     // kCngInitMarker after init
  int32_t targetEnergy;
  int32_t smoothedEnergy;
  int16_t targetRefl[13];   // Q15
  int16_t currentRefl[13];  // Q15
  int16_t synthHigh[13];    // synthesis filter memory (high and low parts)
  int16_t synthLow[12];
  int16_t order;            // of the last SID
  int32_t prevGain;         // 32 bits: the gain of loud noise exceeds 16 bits
  int32_t curGain;
  uint32_t seed;            // noise generator
  int16_t errorCode;
};

// Copies "Sonra CNG 1.0.4\n" with its terminator (at least 17 bytes). Returns 0.
int16_t Cng_Version(char* text);

int16_t Cng_CreateEncoder(CngEncoderInst** inst);  // 0, or -1 when memory is short
int16_t Cng_CreateDecoder(CngDecoderInst** inst);
int16_t Cng_FreeEncoder(CngEncoderInst* inst);
int16_t Cng_FreeDecoder(CngDecoderInst* inst);

// Refuses (-1) an order outside 1..12, a rate below 1 and an interval below 1 ms.
int16_t Cng_EncoderInit(CngEncoderInst* inst, int16_t rate, int16_t sidIntervalMs, int16_t order);
int16_t Cng_DecoderInit(CngDecoderInst* inst);

// Analyses one frame (1..kCngMaxFrame samples). Writes a SID of order + 1 bytes into `sid` when one
// is due (or forced) and returns its length; otherwise writes nothing and returns 0. -1 on error.
int16_t Cng_Encode(CngEncoderInst* inst, const int16_t* speech, int16_t count, uint8_t* sid,
                   int16_t* sidLength, int16_t forceSid);

// Takes one SID payload (energy byte, then up to 12 coefficient bytes are used). 0, or -1 for an
// empty payload or an uninitialised decoder.
int16_t Cng_UpdateSid(CngDecoderInst* inst, const uint8_t* sid, int16_t length);

// Writes `count` samples of comfort noise; newPeriod = 1 at the start of a comfort-noise period.
int16_t Cng_Generate(CngDecoderInst* inst, int16_t* out, int16_t count, int16_t newPeriod);
