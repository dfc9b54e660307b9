// Fixed-point resampling blocks: polyphase FIR stages and all-pass half-band filters.
#include "voice/dsp/resample.h"

#include "voice/dsp/spl.h"

namespace {

// Products and sums wrap to 32 bits like the fixed-point hardware they model (never signed overflow).
int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint64_t>(v)); }

template <int N>
int64_t dot(const int32_t (&h)[N], const int32_t* x) {
  int64_t s = 0;
  for (int k = 0; k < N; ++k) s += int64_t{h[k]} * x[k];
  return s;
}
template <int N>
int64_t dotBackward(const int32_t (&h)[N], const int32_t* xEnd) {
  int64_t s = 0;
  for (int k = 0; k < N; ++k) s += int64_t{h[k]} * xEnd[-k];
  return s;
}

constexpr int32_t kRound = 16384;

// Q16 all-pass coefficients (branch A, branch B).
constexpr int32_t kQ16A[3] = {12199, 37471, 60255};
constexpr int32_t kQ16B[3] = {3284, 24441, 49528};
// Q14 all-pass coefficients.
constexpr int32_t kQ14A[3] = {3050, 9368, 15063};
constexpr int32_t kQ14B[3] = {821, 6110, 12382};

int64_t mulQ16(int64_t d, int32_t q) { return (d >> 16) * q + (((d & 0xffff) * q) >> 16); }

// Three Q16 sections; s = {input of section 1, outputs of sections 1, 2, 3}.
int32_t branchQ16(int32_t x, int32_t* s, const int32_t* q) {
  const int64_t y1 = s[0] + mulQ16(int64_t{x} - s[1], q[0]);
  s[0] = x;
  const int64_t y2 = s[1] + mulQ16(y1 - s[2], q[1]);
  s[1] = Spl_SatW32(y1);
  const int64_t y3 = s[2] + mulQ16(y2 - s[3], q[2]);
  s[2] = Spl_SatW32(y2);
  s[3] = Spl_SatW32(y3);
  return s[3];
}

// Sections 2 and 3 truncate the scaled difference toward zero.
int64_t diffQ14(int64_t d) {
  int64_t t = d >> 14;
  if (t < 0) t += 1;
  return t;
}

int32_t branchQ14(int32_t x, int32_t* s, const int32_t* q) {
  const int64_t y1 = s[0] + ((int64_t{x} - s[1] + 8192) >> 14) * q[0];
  s[0] = x;
  const int64_t y2 = s[1] + diffQ14(y1 - s[2]) * q[1];
  s[1] = Spl_SatW32(y1);
  const int64_t y3 = s[2] + diffQ14(y2 - s[3]) * q[2];
  s[2] = Spl_SatW32(y2);
  s[3] = Spl_SatW32(y3);
  return s[3];
}

int32_t scaleShort(int16_t x) { return int32_t{x} * 32768 + 16384; }

}  // namespace

void Resample_3To2(const int32_t* in, int32_t* out, int blocks) {
  static constexpr int32_t h0[8] = {778, -2050, 1087, 23285, 12903, -3783, 441, 222};
  static constexpr int32_t h1[8] = {222, 441, -3783, 12903, 23285, 1087, -2050, 778};
  for (int b = 0; b < blocks; ++b, in += 3, out += 2) {
    out[0] = wrap32(dot(h0, in) + kRound);
    out[1] = wrap32(dot(h1, in + 1) + kRound);
  }
}

void Resample_4To3(const int32_t* in, int32_t* out, int blocks) {
  static constexpr int32_t h0[8] = {767, -2362, 2434, 24406, 10620, -3838, 721, 90};
  static constexpr int32_t h1[8] = {386, -381, -2646, 19062, 19062, -2646, -381, 386};
  static constexpr int32_t h2[8] = {90, 721, -3838, 10620, 24406, 2434, -2362, 767};
  for (int b = 0; b < blocks; ++b, in += 4, out += 3) {
    out[0] = wrap32(dot(h0, in) + kRound);
    out[1] = wrap32(dot(h1, in + 1) + kRound);
    out[2] = wrap32(dot(h2, in + 2) + kRound);
  }
}

void Resample_11To8(const int32_t* in, int32_t* out, int blocks) {
  static constexpr int32_t h17[9] = {117, -669, 2245, -6183, 26267, 13529, -3245, 845, -138};
  static constexpr int32_t h26[9] = {-101, 612, -2283, 8532, 29790, -5138, 1789, -524, 91};
  static constexpr int32_t h35[9] = {50, -292, 1016, -3064, 32010, 3933, -1147, 315, -53};
  static constexpr int32_t h4[9] = {-156, 974, -3863, 18603, 21691, -6246, 2353, -712, 126};
  for (int b = 0; b < blocks; ++b, in += 11, out += 8) {
    out[0] = wrap32(int64_t{in[3]} * 32768 + kRound);
    out[1] = wrap32(dot(h17, in + 0) + kRound);
    out[7] = wrap32(dotBackward(h17, in + 17) + kRound);
    out[2] = wrap32(dot(h26, in + 2) + kRound);
    out[6] = wrap32(dotBackward(h26, in + 15) + kRound);
    out[3] = wrap32(dot(h35, in + 3) + kRound);
    out[5] = wrap32(dotBackward(h35, in + 14) + kRound);
    out[4] = wrap32(dot(h4, in + 5) + kRound);
  }
}

void Resample_DownBy2(const int16_t* in, int count, int16_t* out, int32_t* state) {
  for (int i = 0; i < count / 2; ++i) {
    const int64_t a = branchQ16(int32_t{in[2 * i]} * 1024, state, kQ16A);
    const int64_t b = branchQ16(int32_t{in[2 * i + 1]} * 1024, state + 4, kQ16B);
    out[i] = Spl_SatW16((a + b + 1024) >> 11);
  }
}

void Resample_DownBy2Int(int32_t* in, int count, int16_t* out, int32_t* state) {
  for (int i = 0; i < count / 2; ++i) {
    in[2 * i] = branchQ14(in[2 * i], state, kQ14A) >> 1;
    in[2 * i + 1] = branchQ14(in[2 * i + 1], state + 4, kQ14B) >> 1;
    out[i] = Spl_SatW16((int64_t{in[2 * i]} + in[2 * i + 1]) >> 15);
  }
}

void Resample_DownBy2Short(const int16_t* in, int count, int16_t* out, int32_t* scratch, int32_t* state) {
  for (int i = 0; i < count / 2; ++i) {
    scratch[2 * i] = branchQ14(int32_t{in[2 * i]} * 16384, state, kQ14A) >> 1;
    scratch[2 * i + 1] = branchQ14(int32_t{in[2 * i + 1]} * 16384, state + 4, kQ14B) >> 1;
    out[i] = Spl_SatW16((int64_t{scratch[2 * i]} + scratch[2 * i + 1] + 8192) >> 14);
  }
}

void Resample_UpBy2ShortToInt(const int16_t* in, int count, int32_t* out, int32_t* state) {
  for (int i = 0; i < count; ++i) {
    const int32_t v = scaleShort(in[i]);
    out[2 * i] = branchQ14(v, state + 4, kQ14B) >> 15;
    out[2 * i + 1] = branchQ14(v, state, kQ14A) >> 15;
  }
}

void Resample_UpBy2IntToShort(const int32_t* in, int count, int16_t* out, int32_t* state) {
  for (int i = 0; i < count; ++i) {
    out[2 * i] = Spl_SatW16(branchQ14(in[i], state + 4, kQ14B) >> 15);
    out[2 * i + 1] = Spl_SatW16(branchQ14(in[i], state, kQ14A) >> 15);
  }
}

void Resample_LowpassBy2(const int16_t* in, int count, int32_t* out, int32_t* state) {
  int32_t* a1 = state;
  int32_t* b1 = state + 4;
  int32_t* a2 = state + 8;
  int32_t* b2 = state + 12;  // b2[0] is the last odd input, x[-1] of the next pair
  for (int i = 0; i < count / 2; ++i) {
    const int32_t even = scaleShort(in[2 * i]);
    const int32_t odd = scaleShort(in[2 * i + 1]);
    const int32_t prevOdd = b2[0];
    out[2 * i] = static_cast<int32_t>(
        ((int64_t{branchQ14(prevOdd, a1, kQ14A) >> 1}) + (branchQ14(even, b1, kQ14B) >> 1)) >> 15);
    out[2 * i + 1] = static_cast<int32_t>(
        ((int64_t{branchQ14(even, a2, kQ14A) >> 1}) + (branchQ14(odd, b2, kQ14B) >> 1)) >> 15);
  }
}
