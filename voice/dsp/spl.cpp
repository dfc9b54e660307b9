// Shared fixed-point primitives: saturation, normalisation, division, roots, vectors and linear prediction.
#include "voice/dsp/spl.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace {

int32_t sat32(int64_t v) { return Spl_SatW32(v); }

// Splits a 32-bit value into (high, low) with value = high * 65536 + low * 2.
struct Split {
  int32_t hi;
  int32_t lo;
};
Split split(int32_t v) {
  int32_t hi = v >> 16;
  int32_t lo = static_cast<int32_t>((static_cast<uint32_t>(v) & 0xffffu) >> 1);
  return {hi, lo};
}
int32_t join(const Split& s) {
  return Spl_AddWrapW32(Spl_ShlWrapW32(s.hi, 16), s.lo * 2);
}
// Product of two split values where `a` is Q31-relative and `b` any Q: (a * b) at b's Q.
int32_t mulSplit(const Split& a, const Split& b) {
  int32_t t = Spl_AddWrapW32(a.hi * b.hi, (a.hi * b.lo) >> 15);
  t = Spl_AddWrapW32(t, (a.lo * b.hi) >> 15);
  return Spl_ShlWrapW32(t, 1);
}

// Square root by Taylor series; v is in [2^30, 2^31] (Q31 of [0.5, 1]), result Q31 + 32768.
int64_t sqrtTaylor64(int64_t v) {
  const int64_t y = ((v >> 1) - (int64_t{1} << 30)) >> 16;  // x/2 in Q15, x = v - 1
  const int64_t y2 = (y * y) >> 15;
  const int64_t y3 = (y2 * y) >> 15;
  const int64_t y4 = (y3 * y) >> 15;
  const int64_t y5 = (y4 * y) >> 15;
  int64_t s = int64_t{1} << 31;
  s += y << 16;
  s -= y2 << 15;
  s += y3 << 15;
  s -= 40960 * y4;
  s += 57344 * y5;
  return s + 32768;
}

}  // namespace

// Window table in Q14 and the generator's noise table, back to back.
const int16_t Spl_WindowNoiseTables[2][256] = {
    {
    1, 2, 6, 10, 15, 22, 30, 39, 50, 62, 75, 89,
    104, 121, 138, 157, 178, 199, 222, 246, 271, 297, 324, 353,
    383, 413, 446, 479, 513, 549, 586, 624, 663, 703, 744, 787,
    830, 875, 920, 967, 1015, 1064, 1114, 1165, 1218, 1271, 1325, 1381,
    1437, 1494, 1553, 1612, 1673, 1734, 1796, 1859, 1924, 1989, 2055, 2122,
    2190, 2259, 2329, 2399, 2471, 2543, 2617, 2691, 2765, 2841, 2918, 2995,
    3073, 3152, 3232, 3312, 3393, 3475, 3558, 3641, 3725, 3809, 3895, 3980,
    4067, 4154, 4242, 4330, 4419, 4509, 4599, 4689, 4781, 4872, 4964, 5057,
    5150, 5244, 5338, 5432, 5527, 5622, 5718, 5814, 5910, 6007, 6104, 6202,
    6299, 6397, 6495, 6594, 6693, 6791, 6891, 6990, 7090, 7189, 7289, 7389,
    7489, 7589, 7690, 7790, 7890, 7991, 8091, 8192, 8293, 8393, 8494, 8594,
    8694, 8795, 8895, 8995, 9095, 9195, 9294, 9394, 9493, 9593, 9691, 9790,
    9889, 9987, 10085, 10182, 10280, 10377, 10474, 10570, 10666, 10762, 10857, 10952,
    11046, 11140, 11234, 11327, 11420, 11512, 11603, 11695, 11785, 11875, 11965, 12054,
    12142, 12230, 12317, 12404, 12489, 12575, 12659, 12743, 12826, 12909, 12991, 13072,
    13152, 13232, 13311, 13389, 13466, 13543, 13619, 13693, 13767, 13841, 13913, 13985,
    14055, 14125, 14194, 14262, 14329, 14395, 14460, 14525, 14588, 14650, 14711, 14772,
    14831, 14890, 14947, 15003, 15059, 15113, 15166, 15219, 15270, 15320, 15369, 15417,
    15464, 15509, 15554, 15597, 15640, 15681, 15721, 15760, 15798, 15835, 15871, 15905,
    15938, 15971, 16001, 16031, 16060, 16087, 16113, 16138, 16162, 16185, 16206, 16227,
    16246, 16263, 16280, 16295, 16309, 16322, 16334, 16345, 16354, 16362, 16369, 16374,
    16378, 16382, 16383, 16384,
    },
    {
    -6276, 9449, -6170, -5461, 6276, -4159, -899, 2219, 3380, 7521, 5560, 4427,
    -822, -9610, 184, 3983, -14465, -4701, -11068, 7281, -8154, -1681, -356, -7521,
    -10479, 4337, 261, 4794, 1426, 3550, -2551, -5659, -6382, 2470, -1602, -5759,
    -5963, -11498, 12757, 6709, -7644, -10116, -743, 30, 5759, -18402, -6066, 3722,
    -5075, -9293, 1741, -2879, 10668, 5171, -3895, -2318, -8560, 1114, 3128, -8287,
    5075, 15392, -7281, 10116, -8844, -7768, 7768, 5267, 8287, 6490, -3212, 3045,
    -3045, -22760, -3808, 7400, -4248, 10479, 11965, 5461, 14903, 1192, 2300, 1505,
    -6490, 4248, -13703, -1211, 18402, -4887, -12479, 12216, -588, -4518, 7644, -1760,
    -12216, 2879, 8844, -11965, 4609, 880, -5171, -977, 1348, 6821, 2551, -6821,
    10295, -7048, -11279, 958, 11498, 3296, 8154, 338, -11726, 5364, 4070, -4794,
    648, -5267, -279, 1900, -9774, -13052, -2715, -3722, -14903, 15949, -48, -125,
    -19862, 2389, 17388, -2797, -7400, -3128, -8701, 4518, 5963, -202, 14068, -4981,
    -2633, 8701, 725, -2389, 9293, 2797, 7895, -1919, 2139, -3296, -4070, 2715,
    -1133, 11279, -8990, 8990, -3550, -1289, 4981, 2633, -2470, 3636, -8422, 570,
    1979, -511, -2158, -1367, -2238, 2962, 8023, -1055, 4159, 9610, -13366, -6599,
    13703, 13052, 13366, -9140, -4609, 8560, -17388, 6066, 4887, -2078, -3465, -8023,
    1583, -4337, -5861, -15949, 7048, 3808, -14068, 1036, 11726, 6382, -5364, -666,
    -12757, 3465, 416, 1820, -2962, -1524, -16600, 107, 8422, 11068, -10295, 3895,
    23319, 14465, 6599, 2059, 1662, 5861, -3380, -7895, -10668, 803, 9140, 7164,
    -1998, -15392, 4701, 10865, 493, 9943, -5560, -1445, -6709, -7164, -4427, 16600,
    6934, -434, 9774, 12479, -6934, 6170, 5659, 3212, -1839, 1270, -3983, -9943,
    19862, -9449, -10865, -3636,
    },
};

int16_t Spl_AddSatW16(int16_t a, int16_t b) { return Spl_SatW16(int32_t{a} + b); }
int16_t Spl_SubSatW16(int16_t a, int16_t b) { return Spl_SatW16(int32_t{a} - b); }
int32_t Spl_AddSatW32(int32_t a, int32_t b) { return sat32(int64_t{a} + b); }
int32_t Spl_SubSatW32(int32_t a, int32_t b) { return sat32(int64_t{a} - b); }

int16_t Spl_BitLength32(uint32_t v) { return static_cast<int16_t>(32 - std::countl_zero(v)); }

int16_t Spl_NormW32(int32_t v) {
  if (v == 0) return 0;
  uint32_t m = static_cast<uint32_t>(v < 0 ? ~v : v);
  if (m == 0) return 31;  // -1
  return static_cast<int16_t>(std::countl_zero(m) - 1);
}

int16_t Spl_NormU32(uint32_t v) { return v == 0 ? 0 : static_cast<int16_t>(std::countl_zero(v)); }

int32_t Spl_DivW32ByW16(int32_t num, int16_t den) {
  if (den == 0) return INT32_MAX;
  if (num == INT32_MIN && den == -1) return INT32_MAX;
  return num / den;
}

int16_t Spl_DivW32ByW16ToW16(int32_t num, int16_t den) {
  if (den == 0) return 32767;
  if (num == INT32_MIN && den == -1) return 32767;
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(num / den)));
}

int32_t Spl_DivW32HiLow(int32_t num, int16_t den_high, int16_t den_low) {
  // Initial 1/den from the high part, then one Newton-Raphson step: x' = x (2 - den x).
  const int32_t approx = static_cast<int16_t>(static_cast<uint16_t>(Spl_DivW32ByW16(0x1fffffff, den_high)));
  int32_t t = Spl_AddWrapW32(den_high * approx, (den_low * approx) >> 15);
  t = Spl_SubWrapW32(0x7fffffff, Spl_ShlWrapW32(t, 1));
  const Split e = split(t);
  t = Spl_AddWrapW32((e.lo * approx) >> 15, e.hi * approx);
  const Split inv = split(Spl_ShlWrapW32(t, 1));
  const Split n = split(num);
  t = Spl_AddWrapW32(n.hi * inv.hi, (n.lo * inv.hi) >> 15);
  t = Spl_AddWrapW32(t, (n.hi * inv.lo) >> 15);
  return Spl_ShlWrapW32(t, 3);
}

int32_t Spl_SqrtTaylor(int32_t v) { return static_cast<int32_t>(sqrtTaylor64(v)); }

uint64_t Spl_SqrtFloorU64(uint64_t v) {
  uint64_t r = 0;
  uint64_t bit = uint64_t{1} << 62;
  while (bit > v) bit >>= 2;
  while (bit != 0) {
    if (v >= r + bit) {
      v -= r + bit;
      r = (r >> 1) + bit;
    } else {
      r >>= 1;
    }
    bit >>= 2;
  }
  return r;
}

int32_t Spl_SqrtW32(int32_t v) {
  if (v == 0) return 0;
  const int s = Spl_NormW32(v);
  int64_t t = int64_t{Spl_ShlWrapW32(v, s)} + 32768;
  t &= ~int64_t{0xffff};
  if (t < 0) t = -t;  // at most 2^31: handled in 64 bits
  uint32_t r = static_cast<uint32_t>(sqrtTaylor64(t) >> 16);
  if ((s & 1) == 0) r = ((r * 46340u + 32768u) >> 15) & ~1u;  // times sqrt(2) in Q15
  return static_cast<int32_t>((r & 0xffffu) >> (s >> 1));
}

int32_t Spl_DotProductShift(const int16_t* a, const int16_t* b, int n, int shift) {
  uint32_t sum = 0;
  for (int i = 0; i < n; ++i) sum += static_cast<uint32_t>(Spl_MulW16(a[i], b[i]) >> shift);
  return static_cast<int32_t>(sum);
}

void Spl_MulVectorsShift(int16_t* out, const int16_t* a, const int16_t* b, int n, int shift) {
  for (int i = 0; i < n; ++i) out[i] = static_cast<int16_t>(Spl_MulW16(a[i], b[i]) >> shift);
}

void Spl_MulReversedShift(int16_t* out, const int16_t* a, const int16_t* b, int n, int shift) {
  for (int i = 0; i < n; ++i) out[i] = static_cast<int16_t>(Spl_MulW16(a[i], *(b - i)) >> shift);
}

void Spl_AddVectorsShift(int16_t* out, const int16_t* a, const int16_t* b, int n, int shift) {
  for (int i = 0; i < n; ++i) out[i] = static_cast<int16_t>((int32_t{a[i]} + b[i]) >> shift);
}

void Spl_ScaleVectorShift(const int16_t* in, int16_t* out, int16_t gain, int n, int shift) {
  for (int i = 0; i < n; ++i) out[i] = static_cast<int16_t>(Spl_MulW16(in[i], gain) >> shift);
}

void Spl_ScaleAddVectors(const int16_t* a, int16_t g1, int s1, const int16_t* b, int16_t g2, int s2,
                         int16_t* out, int n) {
  for (int i = 0; i < n; ++i)
    out[i] = static_cast<int16_t>((Spl_MulW16(a[i], g1) >> s1) + (Spl_MulW16(b[i], g2) >> s2));
}

void Spl_ShiftVectorW32(int32_t* out, int n, const int32_t* in, int shift) {
  if (shift >= 1) {
    if (shift > 31) shift = 31;
    for (int i = 0; i < n; ++i) out[i] = in[i] >> shift;
  } else {
    for (int i = 0; i < n; ++i) out[i] = Spl_ShlWrapW32(in[i], -shift);
  }
}

void Spl_FillW16(int16_t* v, int16_t value, int n) {
  for (int i = 0; i < n; ++i) v[i] = value;
}

int Spl_ZeroW16(int16_t* v, int n) {
  Spl_FillW16(v, 0, n);
  return n;
}

void Spl_FillW32(int32_t* v, int32_t value, int n) {
  for (int i = 0; i < n; ++i) v[i] = value;
}

void Spl_CopyTailW16(const int16_t* in, int n, int m, int16_t* out, int capacity) {
  if (m > capacity) m = capacity;
  if (m > n) m = n;
  if (m < 1) return;
  std::memmove(out, in + (n - m), sizeof(int16_t) * static_cast<size_t>(m));
}

void Spl_CopyReversedW16(int16_t* out_last, const int16_t* in, int n) {
  for (int i = 0; i < n; ++i) *(out_last - i) = in[i];
}

int Spl_GetScalingSquare(const int16_t* v, int n, int times) {
  int32_t m = 0;
  for (int i = 0; i < n; ++i) {
    const int32_t a = std::abs(int32_t{v[i]});
    if (a > m) m = a;
  }
  if (m == 0) return 0;
  const int t = Spl_BitLength32(static_cast<uint32_t>(times)) - Spl_NormW32(m * m);
  return t > 0 ? t : 0;
}

int32_t Spl_EnergyW16(const int16_t* v, int n, int* scale) {
  const int shift = n < 1 ? 0 : Spl_GetScalingSquare(v, n, n);
  uint32_t sum = 0;
  for (int i = 0; i < n; ++i) sum += static_cast<uint32_t>(Spl_MulW16(v[i], v[i]) >> shift);
  if (scale) *scale = shift;
  return static_cast<int32_t>(sum);
}

int16_t Spl_MaxValueW16(const int16_t* v, int n) {
  if (n < 1) return 0;
  int16_t m = v[0];
  for (int i = 1; i < n; ++i)
    if (v[i] > m) m = v[i];
  return m;
}

int16_t Spl_MaxAbsValueW16(const int16_t* v, int n) {
  int32_t m = 0;
  for (int i = 0; i < n; ++i) {
    const int32_t a = std::abs(int32_t{v[i]});
    if (a > m) m = a;
  }
  return static_cast<int16_t>(m > 32767 ? 32767 : m);
}

int32_t Spl_MaxValueW32(const int32_t* v, int n) {
  if (n < 1) return 0;
  int32_t m = v[0];
  for (int i = 1; i < n; ++i)
    if (v[i] > m) m = v[i];
  return m;
}

int32_t Spl_MinValueW32(const int32_t* v, int n) {
  if (n < 1) return 0;
  int32_t m = v[0];
  for (int i = 1; i < n; ++i)
    if (v[i] < m) m = v[i];
  return m;
}

int Spl_MaxValueIndexW32(const int32_t* v, int n) {
  int idx = 0;
  for (int i = 1; i < n; ++i)
    if (v[i] > v[idx]) idx = i;
  return idx;
}

int Spl_MinValueIndexW32(const int32_t* v, int n) {
  int idx = 0;
  for (int i = 1; i < n; ++i)
    if (v[i] < v[idx]) idx = i;
  return idx;
}

int Spl_AutoCorrScaled(const int16_t* in, int n, int order, int32_t* out, int* scale) {
  if (n < 1) {
    if (scale) *scale = 0;
    return 0;
  }
  if (order < 0) order = n;
  int32_t m = 0;
  for (int i = 0; i < n; ++i) {
    const int32_t a = std::abs(int32_t{in[i]});
    if (a > m) m = a;
  }
  int shift = 0;
  if (m != 0) {
    shift = Spl_BitLength32(static_cast<uint32_t>(n)) - Spl_NormW32(m * m);
    if (shift < 0) shift = 0;
  }
  for (int k = 0; k <= order; ++k) {
    uint32_t sum = 0;
    for (int i = 0; i < n - k; ++i) sum += static_cast<uint32_t>(Spl_MulW16(in[i], in[i + k]) >> shift);
    out[k] = static_cast<int32_t>(sum);
  }
  if (scale) *scale = shift;
  return order + 1;
}

int Spl_AutoCorr(const int16_t* in, int n, int order, int32_t* out) {
  return Spl_AutoCorrScaled(in, n, order, out, nullptr);
}

void Spl_AutoCorrToRefl(const int32_t* r, int order, int16_t* k) {
  if (order < 1) return;
  constexpr int kMaxOrder = 64;
  if (order > kMaxOrder) order = kMaxOrder;
  int16_t p[kMaxOrder + 1];
  int16_t w[kMaxOrder + 1];
  const int s = Spl_NormW32(r[0]);
  // A lag larger than lag 0 saturates instead of wrapping, so it is seen as unstable below.
  for (int i = 0; i <= order; ++i) p[i] = w[i] = static_cast<int16_t>(sat32(int64_t{r[i]} << s) >> 16);

  for (int n = 1; n <= order; ++n) {
    const int32_t num = std::abs(int32_t{p[1]});
    // A degenerate (zero-energy) or unstable correlation ends the recursion.
    if (p[0] <= 0 || num > p[0]) {
      for (int i = n - 1; i < order; ++i) k[i] = 0;
      return;
    }
    // 15-step restoring division: equal magnitudes give 32767.
    int32_t rem = num;
    int32_t q = 0;
    for (int b = 0; b < 15; ++b) {
      rem <<= 1;
      q <<= 1;
      if (rem >= p[0]) {
        rem -= p[0];
        q += 1;
      }
    }
    const int32_t kk = p[1] > 0 ? -q : q;
    k[n - 1] = static_cast<int16_t>(kk);
    if (n == order) return;

    p[0] = Spl_SatW16(int32_t{p[0]} + ((p[1] * kk + 16384) >> 15));
    for (int i = 1; i <= order - n; ++i) {
      const int32_t pNext = p[i + 1];
      const int32_t wi = w[i];
      p[i] = Spl_SatW16(pNext + ((wi * kk + 16384) >> 15));
      w[i] = Spl_SatW16(wi + ((pNext * kk + 16384) >> 15));
    }
  }
}

int16_t Spl_LevinsonDurbin(const int32_t* r, int16_t* a, int16_t* k, int order) {
  constexpr int kMaxOrder = 20;
  if (order < 1 || order > kMaxOrder || r[0] <= 0) return 0;

  Split R[kMaxOrder + 1];
  Split A[kMaxOrder + 1];
  Split Anew[kMaxOrder + 1];
  const int norm = Spl_NormW32(r[0]);
  for (int i = 0; i <= order; ++i) R[i] = split(Spl_ShlWrapW32(r[i], norm));

  // 1 - K^2 (Q31) for a Q31 coefficient K.
  auto oneMinusSquare = [](int32_t K) {
    const Split ks = split(K);
    int32_t sq = Spl_ShlWrapW32(Spl_AddWrapW32(ks.hi * ks.hi, (ks.hi * ks.lo) >> 14), 1);
    sq = sq < 0 ? Spl_NegWrapW32(sq) : sq;
    return Spl_SubWrapW32(0x7fffffff, sq);
  };

  // First order.
  int32_t r1 = join(R[1]);
  int32_t K = Spl_DivW32HiLow(r1 < 0 ? Spl_NegWrapW32(r1) : r1, static_cast<int16_t>(R[0].hi),
                              static_cast<int16_t>(R[0].lo));
  if (r1 > 0) K = Spl_NegWrapW32(K);
  k[0] = static_cast<int16_t>(K >> 16);
  if (std::abs(int32_t{k[0]}) > 32750) return 0;
  A[1] = split(K >> 4);

  int32_t alpha = mulSplit(R[0], split(oneMinusSquare(K)));
  int alphaExp = Spl_NormW32(alpha);
  Split Alpha = split(Spl_ShlWrapW32(alpha, alphaExp));

  for (int i = 2; i <= order; ++i) {
    int32_t sum = 0;
    for (int j = 1; j < i; ++j) sum = Spl_AddWrapW32(sum, mulSplit(R[j], A[i - j]));
    sum = Spl_AddWrapW32(Spl_ShlWrapW32(sum, 4), join(R[i]));

    K = Spl_DivW32HiLow(sum < 0 ? Spl_NegWrapW32(sum) : sum, static_cast<int16_t>(Alpha.hi),
                        static_cast<int16_t>(Alpha.lo));
    if (sum > 0) K = Spl_NegWrapW32(K);
    const int kn = Spl_NormW32(K);
    if (alphaExp <= kn) {
      K = Spl_ShlWrapW32(K, alphaExp);
    } else {
      K = K > 0 ? INT32_MAX : INT32_MIN;
    }
    k[i - 1] = static_cast<int16_t>(K >> 16);
    if (std::abs(int32_t{k[i - 1]}) > 32750) return 0;

    const Split Ks = split(K);
    for (int j = 1; j < i; ++j) Anew[j] = split(Spl_AddWrapW32(join(A[j]), mulSplit(Ks, A[i - j])));
    Anew[i] = split(K >> 4);
    for (int j = 1; j <= i; ++j) A[j] = Anew[j];

    alpha = mulSplit(Alpha, split(oneMinusSquare(K)));
    const int an = Spl_NormW32(alpha);
    alphaExp += an;
    Alpha = split(Spl_ShlWrapW32(alpha, an));
  }

  a[0] = 4096;
  for (int j = 1; j <= order; ++j)
    a[j] = static_cast<int16_t>(Spl_AddWrapW32(Spl_ShlWrapW32(join(A[j]), 1), 32768) >> 16);
  return 1;
}

namespace {
void reflToLpc(const int16_t* k, int order, int16_t* a, bool rounded) {
  if (order < 1) return;
  constexpr int kMaxOrder = 64;
  if (order > kMaxOrder) order = kMaxOrder;
  int32_t cur[kMaxOrder + 1];
  int32_t next[kMaxOrder + 1];
  const int32_t rk = rounded ? 4 : 0;
  const int32_t rp = rounded ? 16384 : 0;
  cur[0] = 4096;
  cur[1] = (k[0] + rk) >> 3;
  for (int m = 1; m < order; ++m) {
    next[m + 1] = (k[m] + rk) >> 3;
    for (int j = 1; j <= m; ++j) next[j] = Spl_SatW16(cur[j] + ((cur[m + 1 - j] * k[m] + rp) >> 15));
    for (int j = 1; j <= m + 1; ++j) cur[j] = next[j];
  }
  for (int j = 0; j <= order; ++j) a[j] = Spl_SatW16(cur[j]);
}
}  // namespace

void Spl_ReflToLpc(const int16_t* k, int order, int16_t* a) { reflToLpc(k, order, a, false); }
void Spl_ReflToLpcRounded(const int16_t* k, int order, int16_t* a) { reflToLpc(k, order, a, true); }

int Spl_FilterAR(const int16_t* a, int na, const int16_t* x, int nx, int16_t* state_high, int ns_high,
                 int16_t* state_low, int ns_low, int16_t* out_high, int16_t* out_low) {
  if (nx < 1) return nx < 0 ? 0 : nx;
  for (int i = 0; i < nx; ++i) {
    int64_t o = int64_t{x[i]} * 4096;
    int64_t oLow = 0;
    for (int j = 1; j < na; ++j) {
      const int back = i - j;
      int32_t h;
      int32_t l;
      if (back >= 0) {
        h = out_high[back];
        l = out_low[back];
      } else {
        h = ns_high + back >= 0 ? state_high[ns_high + back] : 0;
        l = ns_low + back >= 0 ? state_low[ns_low + back] : 0;
      }
      o -= int64_t{a[j]} * h;
      oLow -= int64_t{a[j]} * l;
    }
    const int64_t acc = sat32(o + (oLow >> 12));
    const int64_t high = (acc + 2048) >> 12;
    const int16_t hs = Spl_SatW16(high);
    out_high[i] = hs;
    out_low[i] = hs == high ? static_cast<int16_t>(acc - (high << 12)) : 0;
  }
  // Keep the newest outputs, oldest first, newest at the end.
  auto keep = [nx](int16_t* state, int ns, const int16_t* out) {
    if (ns < 1) return;
    if (nx < ns) {
      std::memmove(state, state + nx, sizeof(int16_t) * static_cast<size_t>(ns - nx));
      std::memcpy(state + (ns - nx), out, sizeof(int16_t) * static_cast<size_t>(nx));
    } else {
      Spl_CopyTailW16(out, nx, ns, state, ns);
    }
  };
  keep(state_high, ns_high, out_high);
  keep(state_low, ns_low, out_low);
  return nx;
}

void Spl_FillHannWindow(int16_t* out, int n) {
  if (n < 1) return;
  const int32_t step = Spl_DivW32ByW16(int32_t{1} << 30, static_cast<int16_t>(n > 32767 ? 32767 : n));
  int32_t pos = n < 513 ? -(int32_t{1} << 21) : -(int32_t{1} << 20);
  for (int i = 0; i < n; ++i) {
    pos = Spl_AddWrapW32(pos, step);
    int idx = pos >> 22;
    if (idx < 0) idx = 0;
    if (idx > 255) idx = 255;
    out[i] = Spl_HannTable[idx];
  }
}

uint32_t Spl_NextRandSeed(uint32_t* seed) {
  *seed = (*seed * 69069u + 1u) & 0x7fffffffu;
  return *seed;
}

int16_t Spl_RandGaussian(uint32_t* seed) { return Spl_NoiseTable[Spl_NextRandSeed(seed) >> 23]; }
