// Shared fixed-point primitives (the Spl_ family) used by the codecs, signal processing and the jitter buffer.
#pragma once

#include <cstdint>

// Conventions:
// - samples are int16_t, accumulators int32_t; lengths are int and a length below 1 means "do nothing";
// - Qn means value * 2^n; LPC polynomials are Q12 with a[0] = 4096, reflection coefficients Q15;
// - a "split" 32-bit value is (high, low) with value = high * 65536 + low * 2 (low in 0..32767);
// - sums documented as wrapping wrap modulo 2^32 through the unsigned helpers below, never signed overflow.

// ---- Explicit wrap-around and saturation helpers ----------------------------------------------

inline int32_t Spl_AddWrapW32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t Spl_SubWrapW32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t Spl_MulWrapW32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
inline int32_t Spl_NegWrapW32(int32_t a) { return static_cast<int32_t>(0u - static_cast<uint32_t>(a)); }
// Left shift keeping the low 32 bits; a shift of 32 or more gives 0.
inline int32_t Spl_ShlWrapW32(int32_t a, int shift) {
  return shift >= 32 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(a) << shift);
}
// 16 x 16 -> 32 product; never overflows.
inline int32_t Spl_MulW16(int16_t a, int16_t b) { return static_cast<int32_t>(a) * b; }
// Saturates a 32-bit (or wider) value to the 16-bit range.
inline int16_t Spl_SatW16(int64_t v) {
  return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}
// Saturates a 64-bit value to the 32-bit range.
inline int32_t Spl_SatW32(int64_t v) {
  return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : v));
}

// ---- Tables -----------------------------------------------------------------------------------

// Row 0: Spl_HannTable, rising half of a Hann window in Q14 (entry i = round(16384 sin^2(pi (i+1) / 512))).
// Row 1: Spl_NoiseTable, zero-mean normal noise, standard deviation about 7880. Stored back to back.
extern const int16_t Spl_WindowNoiseTables[2][256];
inline constexpr const int16_t (&Spl_HannTable)[256] = Spl_WindowNoiseTables[0];
inline constexpr const int16_t (&Spl_NoiseTable)[256] = Spl_WindowNoiseTables[1];

// ---- Saturation and normalisation -------------------------------------------------------------

int16_t Spl_AddSatW16(int16_t a, int16_t b);
int16_t Spl_SubSatW16(int16_t a, int16_t b);
int32_t Spl_AddSatW32(int32_t a, int32_t b);
int32_t Spl_SubSatW32(int32_t a, int32_t b);
int16_t Spl_BitLength32(uint32_t v);   // 0 for 0, 32 for values from 2^31
int16_t Spl_NormW32(int32_t v);        // shifts bringing the top magnitude bit to bit 30; 0 for 0, 31 for -1
int16_t Spl_NormU32(uint32_t v);       // leading zero bits; 0 for 0

// ---- Division and roots -----------------------------------------------------------------------

int32_t Spl_DivW32ByW16(int32_t num, int16_t den);          // truncating; 0x7fffffff when den is 0
int16_t Spl_DivW32ByW16ToW16(int32_t num, int16_t den);     // low 16 bits of the quotient; 32767 when den is 0
int32_t Spl_DivW32HiLow(int32_t num, int16_t den_high, int16_t den_low);  // num / den in Q31 terms
int32_t Spl_SqrtW32(int32_t v);                             // square root, 0..46340; 0 for 0
int32_t Spl_SqrtTaylor(int32_t v);                          // v in Q31 within [0.5, 1): sqrt in Q31 + 32768
uint64_t Spl_SqrtFloorU64(uint64_t v);                      // exact floor of the square root

// ---- Vectors ----------------------------------------------------------------------------------
// "shift" is an arithmetic right shift of each 32-bit product or sum before it is stored as 16 bits
// (keeping the low 16 bits).

int32_t Spl_DotProductShift(const int16_t* a, const int16_t* b, int n, int shift);
void Spl_MulVectorsShift(int16_t* out, const int16_t* a, const int16_t* b, int n, int shift);
// b points at the element paired with a[0] and is read backwards: out[i] = (a[i] * b[-i]) >> shift.
void Spl_MulReversedShift(int16_t* out, const int16_t* a, const int16_t* b, int n, int shift);
void Spl_AddVectorsShift(int16_t* out, const int16_t* a, const int16_t* b, int n, int shift);
void Spl_ScaleVectorShift(const int16_t* in, int16_t* out, int16_t gain, int n, int shift);
void Spl_ScaleAddVectors(const int16_t* a, int16_t g1, int s1, const int16_t* b, int16_t g2, int s2,
                         int16_t* out, int n);
// shift >= 1: arithmetic right shift; shift <= 0: left shift by -shift (low 32 bits kept).
void Spl_ShiftVectorW32(int32_t* out, int n, const int32_t* in, int shift);
void Spl_FillW16(int16_t* v, int16_t value, int n);
int Spl_ZeroW16(int16_t* v, int n);  // returns n
void Spl_FillW32(int32_t* v, int32_t value, int n);
// Copies in[n-m] .. in[n-1] to out[0] .. out[m-1]; never writes more than `capacity` elements
// (when m exceeds it, only the newest `capacity` elements are copied).
void Spl_CopyTailW16(const int16_t* in, int n, int m, int16_t* out, int capacity);
// out_last[-i] = in[i] for i = 0 .. n-1.
void Spl_CopyReversedW16(int16_t* out_last, const int16_t* in, int n);
// Energy with automatic scaling; the shift used is stored in *scale (may be null).
int32_t Spl_EnergyW16(const int16_t* v, int n, int* scale);
int Spl_GetScalingSquare(const int16_t* v, int n, int times);

// ---- Extrema (ties keep the earliest element; n < 1 gives 0, or index 0) ------------------------

int16_t Spl_MaxValueW16(const int16_t* v, int n);
int16_t Spl_MaxAbsValueW16(const int16_t* v, int n);  // 0 when n < 1; |-32768| gives 32767
int32_t Spl_MaxValueW32(const int32_t* v, int n);
int32_t Spl_MinValueW32(const int32_t* v, int n);
int Spl_MaxValueIndexW32(const int32_t* v, int n);
int Spl_MinValueIndexW32(const int32_t* v, int n);

// ---- Correlation and linear prediction --------------------------------------------------------

// order + 1 lags; an order below 0 means order = n. Returns order + 1.
int Spl_AutoCorr(const int16_t* in, int n, int order, int32_t* out);
int Spl_AutoCorrScaled(const int16_t* in, int n, int order, int32_t* out, int* scale);
// Reflection coefficients (Q15, `order` values) by the Schur recursion from order + 1 lags.
void Spl_AutoCorrToRefl(const int32_t* r, int order, int16_t* k);
// a: order + 1 values (Q12); k: order values (Q15). 1 on success, 0 when |k| passes 32750
// (coefficients written before stay).
int16_t Spl_LevinsonDurbin(const int32_t* r, int16_t* a, int16_t* k, int order);
void Spl_ReflToLpc(const int16_t* k, int order, int16_t* a);         // a: order + 1 values
void Spl_ReflToLpcRounded(const int16_t* k, int order, int16_t* a);
// All-pole filter 1/A(z) in split precision. a: na coefficients (Q12, a[0] = 4096); x: nx samples;
// state_high/state_low: previous outputs, oldest first, newest at the end (ns_high / ns_low each,
// at least na - 1); out_high/out_low: nx outputs (out_low holds the Q12 remainder). Returns nx.
int Spl_FilterAR(const int16_t* a, int na, const int16_t* x, int nx, int16_t* state_high, int ns_high,
                 int16_t* state_low, int ns_low, int16_t* out_high, int16_t* out_low);
void Spl_FillHannWindow(int16_t* out, int n);
// seed = (seed * 69069 + 1) & 0x7fffffff; returns the new seed.
uint32_t Spl_NextRandSeed(uint32_t* seed);
int16_t Spl_RandGaussian(uint32_t* seed);
