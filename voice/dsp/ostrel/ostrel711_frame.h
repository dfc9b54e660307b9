// Ostrel711 frame coder: one 10-ms block of 80 seven-bit code values to one lossless frame of 15..71 bytes.
#pragma once

#include <cstdint>

// Frame layout (bytes in stream order; 16-bit fields most significant byte first):
// - compressed, 14 + n bytes (n = 1 .. 56):
//     bytes 0-1  bits 15..10: scale field (bit 4, value 16, set as the compressed marker; bits 3..0 the scale
//                code), bits 9..0: bits 15..6 of LPC word 2
//     bytes 2-3  LPC word 1
//     bytes 4-13 bit 0 of the 80 values, value 0 in the most significant bit of byte 4
//     bytes 14.. the range code of the 80 upper parts (value >> 1)
// - uncompressed, 71 bytes: byte 0 = 0, bytes 1-10 the raw bits, bytes 11-70 the 80 upper parts as 6-bit
//   fields, the first value in the most significant bits.
// A decoder tells the kinds apart by bit 6 of byte 0 (bit 14 of the first word).

constexpr int kOstrel711BlockValues = 80;
constexpr int kOstrel711FrameMaxBytes = 71;    // the uncompressed frame
constexpr int kOstrel711FrameMinBytes = 15;    // a compressed frame with a one-byte range code
constexpr int kOstrel711SecondFrameMaxBytes = 72;  // what a second-section frame is read from at most
constexpr int kOstrel711RangeMaxBytes = 56;
constexpr int kOstrel711CodingMaxBytes = 52;  // 26 words written while coding, before the flush
constexpr int kOstrel711LpcOrder = 6;

// GSM 06.10 piecewise-linear conversions between reflection coefficients (Q15) and log-area ratios.
int16_t Ostrel_RcToLar(int16_t k);
int16_t Ostrel_LarToRc(int16_t lar);

// LPC of one block: autocorrelation of the 80 samples, Schur reflection coefficients, log-area ratios
// quantised to the six codes, packed into lpcWords[0] (word 1) and lpcWords[1] (word 2), and the decoded
// reflection coefficients (the ones encoder and decoder both predict with) in refl[6].
void Ostrel711_AnalyzeLpc(const int16_t* samples, int16_t* refl, uint16_t* lpcWords);
// Decoded reflection coefficients of the two LPC words.
void Ostrel711_DecodeLpc(const uint16_t* lpcWords, int16_t* refl);

// Bit 0 of each value into rawBits (10 bytes, value 0 in the top bit of byte 0); the rest into upper[].
void Ostrel711_SplitLsb(uint8_t* rawBits, const int16_t* values, int16_t* upper);
// ORs the raw bits of a frame (either kind) into bit 0 of the values.
void Ostrel711_AddRawBits(int16_t* values, const uint8_t* frame);
void Ostrel711_PackUncompressed(const int16_t* upper, uint8_t* bytes60);
void Ostrel711_UnpackUncompressed(const uint8_t* bytes60, int16_t* upper);

// Range codes the 80 upper parts with the block's prediction. On success returns 0 and fills the code
// (at most kOstrel711RangeMaxBytes), its length and the scale code; non-zero when the block does not fit.
int Ostrel711_CompressFrame(const int16_t* upper, const int16_t* refl, int variant, uint8_t* rangeCode,
                            int* rangeBytes, int* scaleCode);

// Codes one block of 80 seven-bit values (variant 1: second-section coding, 0: first-section coding) into
// frame (at least kOstrel711FrameMaxBytes); returns its length: 14 + range-code bytes, or 71 uncompressed.
int Ostrel711_EncodeFrame(uint8_t* frame, const int16_t* values, const int16_t* refl, int variant,
                          const uint16_t* lpcWords);

// Decodes one frame of at most `announced` bytes into 80 values; returns its length, or 0 when the frame is
// malformed or longer than announced. The range code's budget is (announced - 13) / 2 words, so its reads
// may go on into the bytes after the frame: `readable` bytes of frame exist (the rest of its section; -1:
// announced), and positions beyond them read as 0.
int Ostrel711_DecodeFrameBits(int16_t* values, const uint8_t* frame, int variant, int announced, int readable = -1);

// Decodes the 80 upper parts from a range code with a budget of `budgetWords` 16-bit words shifted in after
// its first 32 bits; returns 0 and the consumed length, or 1 when the code is malformed or runs past the
// budget. Reads at most `readable` bytes of code; positions beyond them read as 0.
int Ostrel711_RangeDecode(int16_t* upper, int* length, int variant, const uint8_t* code, int budgetWords,
                          const int16_t* refl, int scaleCode, int readable);
