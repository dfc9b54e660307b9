// Ostrel wideband upper band: frame format, gain and LPC quantisers, range coder and synthesis.
#pragma once

#include <cstdint>

// Frame layout (bytes in stream order; a frame may start at any byte of the packet):
// - compressed, 4 + n bytes (n = 1 .. 25): byte 0 = 0x80 | gain index; byte 1 = mode << 5 | LPC bits 20..16;
//   bytes 2-3 LPC bits 15..0; from byte 4 the range code of the 40 values.
// - uncompressed, 29 bytes: byte 0 = gain index (< 128); bytes 1-3 = LPC bits 20..0 followed by three zero
//   bits; bytes 4-28 the 40 values as 5-bit fields (value + 16, first value in the most significant bits).
// The 21 LPC bits hold codes of 5, 5, 4, 4 and 3 bits, the first code in the most significant bits.

constexpr int kOstrelWbUpperSamples = 80;
constexpr int kOstrelWbUpperValues = 40;
constexpr int kOstrelWbUpperMaxBytes = 29;
constexpr int kOstrelWbUpperRangeMaxBytes = 25;
constexpr int kOstrelWbUpperOrder = 5;
constexpr int kOstrelWbModes = 4;

// One unpacked upper-band frame.
struct OstrelWbUpperFrame {
  int16_t gainIndex;
  int16_t mode;                            // 0..3; compressed frames only
  uint32_t lpcBits;                        // 21 bits
  int16_t values[kOstrelWbUpperValues];    // -16..15
  int16_t refl[kOstrelWbUpperOrder];       // decoded reflection coefficients (Q15)
  int16_t lpc[kOstrelWbUpperOrder + 1];    // order-5 polynomial (Q12)
};

// Synthesis filter state of the decoder (5 high and 5 low values of the split-precision all-pole filter).
struct OstrelWbSynthState {
  int16_t high[kOstrelWbUpperOrder];
  int16_t low[kOstrelWbUpperOrder];
};

// Largest mode value: 6, 7, 10, 15 for modes 0..3.
int OstrelWb_ModeLimit(int mode);

// The largest gain-table entry g with 80 g^2 <= energy (compared in 64 bits), and its index; index 0 when
// the energy is below the first entry's.
void OstrelWb_QuantizeGain(int64_t energy, int16_t* gain, int16_t* index);

// A residual energy (80 samples summed in 32 bits) passing this marks a transient, whose gain index
// starts here instead of following the energy.
constexpr int32_t kOstrelWbTransientEnergy = 1440000000;
constexpr int kOstrelWbTransientIndex = 124;
// Gain of the 80 residual samples of a frame: by the transient rule, else from their energy.
void OstrelWb_UpperGain(const int16_t* residual, int16_t* gain, int16_t* index, bool* transient);
// The 80 residual samples divided by the gain (through its normalised inverse), rounded and limited
// to -15..15; returns the largest magnitude.
int OstrelWb_ScaleResidual(const int16_t* residual, int16_t gain, int16_t* values);

// LPC of the 80 windowed upper-band samples: the decoded reflection coefficients and the 21 code bits.
void OstrelWb_AnalyzeLpc5(const int16_t* samples, int16_t* refl, uint32_t* lpcBits);
// Decoded reflection coefficients of the 21 LPC bits.
void OstrelWb_DecodeLar5(uint32_t lpcBits, int16_t* refl);

// Writes one frame (at most 29 bytes) of 40 values in -15..15 (mode 0..3 must cover them); returns its
// length: 4 + range-code bytes, or 29 when the compressed form does not fit.
int OstrelWb_PackUpperFrame(uint8_t* frame, int gainIndex, int mode, uint32_t lpcBits, const int16_t* values);
// Writes the uncompressed 29-byte form (values limited to -16..15); returns 29.
int OstrelWb_PackUncompressedUpperFrame(uint8_t* frame, int gainIndex, uint32_t lpcBits, const int16_t* values);
// Reads one frame from the `available` bytes at frame; returns its length, or 0 when it is malformed or
// longer than available. The range code's budget is (available - 3) / 2 words, so its reads may go on past
// the available bytes: `readable` bytes of frame exist (the rest of its section; -1: available), and
// positions beyond them read as 0.
int OstrelWb_UnpackUpperFrame(OstrelWbUpperFrame* out, const uint8_t* frame, int available, int readable = -1);
// Range decodes 40 values of a mode with a budget of `budgetWords` 16-bit words shifted in after the code's
// first 32 bits; 0 with the length, or 1 on failure. Reads at most `readable` bytes of code (later
// positions read as 0).
int OstrelWb_RangeDecode40(int16_t* values, int* length, const uint8_t* code, int budgetWords, int mode, int readable);

// 80 samples from one frame alone: phase 1 puts its values at the even positions (a first-section frame),
// phase 0 at the odd positions (a held second-section frame); the other positions are 0.
void OstrelWb_SynthesizeHalf(OstrelWbSynthState* state, const OstrelWbUpperFrame& frame, int phase, int16_t* out);
// 80 samples from both codings of a block: the held frame's values at the even positions, the current
// frame's at the odd ones, with the held frame's gain and filter.
void OstrelWb_SynthesizeFull(OstrelWbSynthState* state, const OstrelWbUpperFrame& held,
                             const OstrelWbUpperFrame& current, int16_t* out);
