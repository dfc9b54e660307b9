// Ostrel711 frame coder: LPC of a block, prediction, range coding of the upper parts, raw low bits.
#include "voice/dsp/ostrel/ostrel711_frame.h"

#include <cstdlib>
#include <cstring>

#include "voice/dsp/ostrel/ostrel_range.h"
#include "voice/dsp/ostrel/ostrel_tables.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int kN = kOstrel711BlockValues;
constexpr int kOrder = kOstrel711LpcOrder;

// Log-area-ratio quantisers of the six reflection coefficients.
constexpr int16_t kLarScale[kOrder] = {44, 30, 18, 21, 22, 13};
constexpr int16_t kLarOffset[kOrder] = {35, 14, 8, 6, 7, 4};
constexpr int16_t kLarLargest[kOrder] = {63, 31, 15, 15, 15, 7};
constexpr int16_t kLarStep[kOrder] = {369, 536, 881, 759, 733, 1178};
constexpr int16_t kLarBase[kOrder] = {-12902, -7141, -6903, -4551, -4691, -3729};

// Scale codes from 10 use the steep table with shift = code - 10.
constexpr int kSteepScale = 10;
constexpr int kMaxShift = 9;

// Prediction polynomials of orders 1..6 (Q10, 32-bit so no coefficient wraps), from the decoded
// reflection coefficients by the step-up recursion; the order grows over the first six samples.
struct Predictor {
  int32_t a[kOrder + 1][kOrder + 1];

  explicit Predictor(const int16_t* k) {
    int32_t cur[kOrder + 1] = {1024};
    for (int m = 0; m < kOrder; ++m) {
      int32_t next[kOrder + 1];
      std::memcpy(next, cur, sizeof cur);
      for (int j = 1; j <= m; ++j) next[j] = cur[j] + static_cast<int32_t>((int64_t{cur[m + 1 - j]} * k[m]) >> 15);
      next[m + 1] = k[m] >> 5;
      std::memcpy(cur, next, sizeof cur);
      std::memcpy(a[m + 1], cur, sizeof cur);
    }
  }

  // The negated prediction of value n from the earlier linear values (0 for the first), in -8191..8191.
  int32_t NegPrediction(const int32_t* lin, int n) const {
    const int m = n < kOrder ? n : kOrder;
    if (m == 0) return 0;
    int64_t sum = 0;
    for (int j = 1; j <= m; ++j) sum += int64_t{a[m][j]} * lin[n - j];
    sum >>= 10;
    return static_cast<int32_t>(sum > 8191 ? 8191 : (sum < -8191 ? -8191 : sum));
  }
};

// Cumulative bound (0..65535) of a residual edge e in the table `steep` at `shift`.
uint32_t CumBound(int32_t e, int steep, int shift) {
  const int32_t idx = e >> shift;
  if (idx < -32) return 0;
  if (idx >= 32) return 65535;
  const int i = idx + 32;
  const uint32_t frac = (static_cast<uint32_t>(e) << (10 - shift)) & 1023u;
  return static_cast<uint32_t>(kOstrelCum[steep][i]) + ((static_cast<uint32_t>(kOstrelCumSlope[steep][i]) * frac) >> 8);
}

// A 16-bit bound scaled by the range, from the range's two 16-bit halves.
uint32_t Scale(uint32_t range, uint32_t bound) {
  return (range >> 16) * bound + (((range & 0xFFFFu) * bound) >> 16);
}

void SplitScale(int scaleCode, int* steep, int* shift) {
  *steep = scaleCode >= kSteepScale ? 1 : 0;
  *shift = scaleCode >= kSteepScale ? scaleCode - kSteepScale : scaleCode;
}

void UnpackLpcCodes(const uint16_t* w, int16_t* c) {
  c[0] = static_cast<int16_t>((w[0] >> 10) & 63);
  c[1] = static_cast<int16_t>((w[0] >> 5) & 31);
  c[2] = static_cast<int16_t>((w[0] >> 1) & 15);
  c[3] = static_cast<int16_t>(((w[0] & 1) << 3) | ((w[1] >> 13) & 7));
  c[4] = static_cast<int16_t>((w[1] >> 9) & 15);
  c[5] = static_cast<int16_t>((w[1] >> 6) & 7);
}

void CodesToRefl(const int16_t* c, int16_t* refl) {
  for (int i = 0; i < kOrder; ++i) {
    const int32_t lar = int32_t{kLarStep[i]} + 2 * (int32_t{kLarStep[i]} * c[i] + kLarBase[i]);
    refl[i] = Ostrel_LarToRc(Spl_SatW16(lar));
  }
}

}  // namespace

int16_t Ostrel_RcToLar(int16_t k) {
  const int32_t a = std::abs(int32_t{k});
  int32_t lar;
  if (a < 22118) {
    lar = a >> 1;
  } else if (a < 31130) {
    lar = a - 11059;
  } else {
    lar = static_cast<int16_t>(static_cast<uint16_t>(4 * a - 104448));
  }
  return static_cast<int16_t>(k < 0 ? -lar : lar);
}

int16_t Ostrel_LarToRc(int16_t lar) {
  const int32_t a = std::abs(int32_t{lar});
  int32_t k;
  if (a < 11059) {
    k = a << 1;
  } else if (a < 20070) {
    k = a + 11059;
  } else {
    k = (a >> 2) + 26112;
    if (k > 32767) k = 32767;
  }
  return static_cast<int16_t>(lar < 0 ? -k : k);
}

void Ostrel711_AnalyzeLpc(const int16_t* samples, int16_t* refl, uint16_t* lpcWords) {
  int32_t r[kOrder + 1];
  int16_t k[kOrder] = {};
  Spl_AutoCorr(samples, kN, kOrder, r);
  Spl_AutoCorrToRefl(r, kOrder, k);
  int16_t c[kOrder];
  for (int i = 0; i < kOrder; ++i) {
    const int32_t lar = Ostrel_RcToLar(k[i]);
    int32_t code = ((kLarScale[i] * lar) >> 15) + kLarOffset[i];
    if (code < 0) code = 0;
    if (code > kLarLargest[i]) code = kLarLargest[i];
    c[i] = static_cast<int16_t>(code);
  }
  lpcWords[0] = static_cast<uint16_t>((c[0] << 10) | (c[1] << 5) | (c[2] << 1) | (c[3] >> 3));
  lpcWords[1] = static_cast<uint16_t>(((c[3] & 7) << 13) | (c[4] << 9) | (c[5] << 6));
  CodesToRefl(c, refl);
}

void Ostrel711_DecodeLpc(const uint16_t* lpcWords, int16_t* refl) {
  int16_t c[kOrder];
  UnpackLpcCodes(lpcWords, c);
  CodesToRefl(c, refl);
}

void Ostrel711_SplitLsb(uint8_t* rawBits, const int16_t* values, int16_t* upper) {
  std::memset(rawBits, 0, 10);
  for (int j = 0; j < kN; ++j) {
    if (values[j] & 1) rawBits[j >> 3] = static_cast<uint8_t>(rawBits[j >> 3] | (0x80 >> (j & 7)));
    upper[j] = static_cast<int16_t>((values[j] >> 1) & 63);
  }
}

void Ostrel711_AddRawBits(int16_t* values, const uint8_t* frame) {
  const uint8_t* raw = (frame[0] & 0x40) ? frame + 4 : frame + 1;
  for (int j = 0; j < kN; ++j) values[j] = static_cast<int16_t>(values[j] | ((raw[j >> 3] >> (7 - (j & 7))) & 1));
}

void Ostrel711_PackUncompressed(const int16_t* upper, uint8_t* bytes60) {
  std::memset(bytes60, 0, 60);
  for (int j = 0; j < kN; ++j) {
    const int bit = 6 * j;
    const uint32_t v = static_cast<uint32_t>(upper[j] & 63) << (10 - (bit & 7));  // 6 bits placed in 16
    bytes60[bit >> 3] = static_cast<uint8_t>(bytes60[bit >> 3] | (v >> 8));
    if ((bit >> 3) + 1 < 60) bytes60[(bit >> 3) + 1] = static_cast<uint8_t>(bytes60[(bit >> 3) + 1] | (v & 0xFF));
  }
}

void Ostrel711_UnpackUncompressed(const uint8_t* bytes60, int16_t* upper) {
  for (int j = 0; j < kN; ++j) {
    const int bit = 6 * j;
    const int b = bit >> 3;
    const uint32_t w = (uint32_t{bytes60[b]} << 8) | (b + 1 < 60 ? bytes60[b + 1] : 0u);
    upper[j] = static_cast<int16_t>((w >> (10 - (bit & 7))) & 63);
  }
}

int Ostrel711_CompressFrame(const int16_t* upper, const int16_t* refl, int variant, uint8_t* rangeCode,
                            int* rangeBytes, int* scaleCode) {
  const int16_t* lin = kOstrelCodeToLinear[variant & 1];
  const int16_t* edge = kOstrelEdge[variant & 1];
  const Predictor pred(refl);

  int32_t x[kN];
  int32_t np[kN];
  for (int j = 0; j < kN; ++j) x[j] = lin[upper[j] & 63];
  int64_t energy = 0;
  int32_t m = 0;
  for (int j = 0; j < kN; ++j) {
    np[j] = pred.NegPrediction(x, j);
    const int64_t r = int64_t{x[j]} + np[j];
    energy += r * r;
    const int32_t lo = edge[upper[j] & 63] + np[j];
    const int32_t hi = edge[(upper[j] & 63) + 1] + np[j];
    if (hi > m) m = hi;
    if (~lo > m) m = ~lo;
  }
  energy >>= 2;

  int shift = Spl_BitLength32(static_cast<uint32_t>(m)) - 5;
  if (shift < 0) shift = 0;
  if (shift > kMaxShift) return 1;
  int steep = 0;
  if (int64_t{m} * m > energy && shift < 6) steep = 1;

  // At most 26 words while coding, 56 bytes with the flush.
  ostrel::RangeEncoder enc(rangeCode, kOstrel711RangeMaxBytes, kOstrel711CodingMaxBytes);
  for (int j = 0; j < kN && !enc.failed(); ++j) {
    const int u = upper[j] & 63;
    const uint32_t bl = CumBound(edge[u] + np[j], steep, shift);
    const uint32_t bh = CumBound(edge[u + 1] + np[j], steep, shift);
    enc.Encode(Scale(enc.range(), bl), Scale(enc.range(), bh));
  }
  const int n = enc.Finish(kOstrel711RangeMaxBytes);
  if (n < 1) return 1;
  *rangeBytes = n;
  *scaleCode = steep ? kSteepScale + shift : shift;
  return 0;
}

int Ostrel711_EncodeFrame(uint8_t* frame, const int16_t* values, const int16_t* refl, int variant,
                          const uint16_t* lpcWords) {
  int16_t upper[kN];
  uint8_t raw[10];
  Ostrel711_SplitLsb(raw, values, upper);
  uint8_t code[kOstrel711RangeMaxBytes + 4];
  int n = 0;
  int scale = 0;
  if (Ostrel711_CompressFrame(upper, refl, variant, code, &n, &scale) == 0) {
    const uint16_t wordA = static_cast<uint16_t>(((16 | scale) << 10) | (lpcWords[1] >> 6));
    frame[0] = static_cast<uint8_t>(wordA >> 8);
    frame[1] = static_cast<uint8_t>(wordA);
    frame[2] = static_cast<uint8_t>(lpcWords[0] >> 8);
    frame[3] = static_cast<uint8_t>(lpcWords[0]);
    std::memcpy(frame + 4, raw, 10);
    std::memcpy(frame + 14, code, static_cast<size_t>(n));
    return 14 + n;
  }
  frame[0] = 0;
  std::memcpy(frame + 1, raw, 10);
  Ostrel711_PackUncompressed(upper, frame + 11);
  return kOstrel711FrameMaxBytes;
}

int Ostrel711_RangeDecode(int16_t* upper, int* length, int variant, const uint8_t* code, int budgetWords,
                          const int16_t* refl, int scaleCode, int readable) {
  int steep;
  int shift;
  SplitScale(scaleCode & 15, &steep, &shift);
  if (shift > kMaxShift) return 1;
  const int16_t* lin = kOstrelCodeToLinear[variant & 1];
  const int16_t* edge = kOstrelEdge[variant & 1];
  const Predictor pred(refl);
  const int budget = 2 * budgetWords;
  ostrel::RangeDecoder dec(code, readable);
  int32_t x[kN];

  for (int j = 0; j < kN; ++j) {
    const int32_t np = pred.NegPrediction(x, j);
    const uint32_t range = dec.range();
    const uint32_t c = dec.code();
    // First guess through the inverse curve; the forward curve then settles the symbol exactly.
    uint64_t t = (uint64_t{c} << 16) / (uint64_t{range} + 1);
    if (t > 65535) t = 65535;
    const int cell = static_cast<int>(t >> 10);
    const int32_t est = kOstrelInvCum[steep][cell] + ((kOstrelInvCumSlope[steep][cell] * static_cast<int32_t>(t & 1023)) >> 8);
    const int32_t guess = (est >> (10 - shift)) - np;
    int u = 0;
    for (int step = 32; step >= 1; step >>= 1) {
      if (u + step < 64 && edge[u + step] <= guess) u += step;
    }
    auto lower = [&](int s) { return Scale(range, CumBound(edge[s] + np, steep, shift)); };
    while (u > 0 && lower(u) >= c) --u;
    while (u < 63 && lower(u + 1) < c) ++u;
    if (!dec.Decode(lower(u), lower(u + 1))) return 1;
    // Shifted-in bytes never exceed the code's own bytes in a well-formed frame.
    if (dec.shifted() > budget) return 1;
    upper[j] = static_cast<int16_t>(u);
    x[j] = lin[u];
  }
  *length = dec.Length();
  return 0;
}

int Ostrel711_DecodeFrameBits(int16_t* values, const uint8_t* frame, int variant, int announced, int readable) {
  if (announced < 1) return 0;
  if (readable < 0) readable = announced;
  if ((frame[0] & 0x40) == 0) {
    if (announced < kOstrel711FrameMaxBytes) return 0;
    int16_t upper[kN];
    Ostrel711_UnpackUncompressed(frame + 11, upper);
    for (int j = 0; j < kN; ++j) values[j] = static_cast<int16_t>(upper[j] << 1);
    Ostrel711_AddRawBits(values, frame);
    return kOstrel711FrameMaxBytes;
  }
  if (announced < kOstrel711FrameMinBytes) return 0;
  const uint16_t wordA = static_cast<uint16_t>((frame[0] << 8) | frame[1]);
  const uint16_t words[2] = {static_cast<uint16_t>((frame[2] << 8) | frame[3]), static_cast<uint16_t>(wordA << 6)};
  int16_t refl[kOrder];
  Ostrel711_DecodeLpc(words, refl);
  const int scale = (wordA >> 10) & 15;
  int16_t upper[kN];
  int n = 0;
  if (Ostrel711_RangeDecode(upper, &n, variant, frame + 14, (announced - 13) / 2, refl, scale, readable - 14) != 0)
    return 0;
  if (14 + n > announced) return 0;
  for (int j = 0; j < kN; ++j) values[j] = static_cast<int16_t>(upper[j] << 1);
  Ostrel711_AddRawBits(values, frame);
  return 14 + n;
}
