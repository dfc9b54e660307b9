// G.711 A-law and mu-law companding (payload types PCMA 8 and PCMU 0, 8000 Hz, one byte a sample).
#pragma once

#include <cstdint>

// Coded buffers are bytes in stream order. Each routine handles n samples and returns n;
// with n < 1 nothing is written and n is returned. Exactly n bytes (or n samples) are written,
// also for an odd n.
int16_t G711_LinearToAlaw(const int16_t* in, int16_t n, uint8_t* out);
int16_t G711_LinearToUlaw(const int16_t* in, int16_t n, uint8_t* out);
int16_t G711_AlawToLinear(const uint8_t* in, int16_t* out, int16_t n);
int16_t G711_UlawToLinear(const uint8_t* in, int16_t* out, int16_t n);

// Single-sample forms of the same rules.
uint8_t G711_AlawEncodeSample(int16_t x);
uint8_t G711_UlawEncodeSample(int16_t x);
int16_t G711_AlawDecodeSample(uint8_t code);
int16_t G711_UlawDecodeSample(uint8_t code);

// Packet-loss concealment entry for the jitter buffer's decoder table: G.711 has none, always -1.
int16_t G711_DecodePlc(void* inst, int16_t* out, int16_t frames);

// Writes the (empty) version text: a single terminating zero byte. Returns 0.
int16_t G711_Version(char* text);
