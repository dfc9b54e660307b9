// G.711 A-law and mu-law companding of 16-bit linear samples.
#include "voice/dsp/g711.h"

uint8_t G711_AlawEncodeSample(int16_t x) {
  // 12 magnitude bits; negatives are measured by their one's complement.
  int32_t v = (x >= 0 ? x : ~int32_t{x}) >> 4;
  int32_t code;
  if (v <= 15) {
    code = v;
  } else {
    int32_t seg = 1;
    while (v > 31) {
      v >>= 1;
      ++seg;
    }
    code = (v - 16) + 16 * seg;
  }
  if (x >= 0) code |= 0x80;
  return static_cast<uint8_t>(code ^ 0x55);
}

uint8_t G711_UlawEncodeSample(int16_t x) {
  int32_t v = ((x >= 0 ? x : ~int32_t{x}) >> 2) + 33;
  if (v > 8191) v = 8191;
  int32_t s = 1;
  for (int32_t t = v >> 6; t != 0; t >>= 1) ++s;
  const int32_t mantissa = (v >> s) & 15;
  int32_t code = (15 - mantissa) | (128 - 16 * s);
  if (x >= 0) code |= 0x80;
  return static_cast<uint8_t>(code);
}

int16_t G711_AlawDecodeSample(uint8_t code) {
  const int32_t t = (code ^ 0x55) & 0x7f;
  const int32_t seg = t >> 4;
  const int32_t mantissa = t & 15;
  int32_t mag;
  if (seg == 0) {
    mag = mantissa * 16 + 8;
  } else {
    mag = ((mantissa + 16) * 16 + 8) << (seg - 1);
  }
  return static_cast<int16_t>(code > 127 ? mag : -mag);
}

int16_t G711_UlawDecodeSample(uint8_t code) {
  const int32_t u = ~code & 0xff;
  const int32_t mantissa = u & 15;
  const int32_t seg = (u >> 4) & 7;
  const int32_t mag = (((mantissa << 3) + 132) << seg) - 132;
  return static_cast<int16_t>(code < 128 ? -mag : mag);
}

// Codes are stored one byte at a time so that an odd count never touches the byte after the output.
int16_t G711_LinearToAlaw(const int16_t* in, int16_t n, uint8_t* out) {
  for (int16_t i = 0; i < n; ++i) out[i] = G711_AlawEncodeSample(in[i]);
  return n;
}

int16_t G711_LinearToUlaw(const int16_t* in, int16_t n, uint8_t* out) {
  for (int16_t i = 0; i < n; ++i) out[i] = G711_UlawEncodeSample(in[i]);
  return n;
}

int16_t G711_AlawToLinear(const uint8_t* in, int16_t* out, int16_t n) {
  for (int16_t i = 0; i < n; ++i) out[i] = G711_AlawDecodeSample(in[i]);
  return n;
}

int16_t G711_UlawToLinear(const uint8_t* in, int16_t* out, int16_t n) {
  for (int16_t i = 0; i < n; ++i) out[i] = G711_UlawDecodeSample(in[i]);
  return n;
}

int16_t G711_DecodePlc(void*, int16_t*, int16_t) { return -1; }

int16_t G711_Version(char* text) {
  if (text) text[0] = '\0';
  return 0;
}
