// Quill spectrum field: dithered quantiser, envelope model, model-coded values, and the bit estimate.
#include <cmath>
#include <cstring>

#include "voice/dsp/spl.h"
#include "voice/dsp/quill/quill_internal.h"

// The integer parts are computed in 64 bits, so nothing overflows whatever the spectrum.
namespace {

constexpr int kValues = 480;
constexpr int kGroups = 120;
constexpr int32_t kZLimit = 327680;
constexpr int kEnvGainSearchStart = 11;  // the encoder's gain search; the decoder starts at the table's guess

// Cumulative frequency of the spectrum model at z (boundary times envelope scale).
int32_t model(int64_t z) {
  if (z < -kZLimit) z = -kZLimit;
  if (z > kZLimit) z = kZLimit;
  const int32_t zi = static_cast<int32_t>(z);
  const int i = ((zi + kZLimit) * 5) >> 16;
  const int32_t knot = -kZLimit + (131072 * i) / 10;
  return (((zi - knot) * kQuillModelSlope[i]) >> 15) + kQuillModelValue[i];
}

int16_t sat16(int32_t v) { return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v)); }

// r(z): z + 64 with its low 7 bits cleared, taken in 32 bits (the caller holds the result to 16).
int32_t roundStep(int32_t z) { return (z + 64) & ~127; }

int bitLength64(uint64_t v) {
  int n = 0;
  while (v) {
    ++n;
    v >>= 1;
  }
  return n;
}

// Autocorrelation of the group powers by the cosine table (lags 0..6).
void envelopeAutocorr(const int16_t* v, int64_t* r) {
  const QuillDerivedTables& t = Quill_Tables();
  uint32_t p[kGroups];
  for (int m = 0; m < kGroups; ++m) {
    uint32_t s = 0;
    for (int i = 0; i < 4; ++i) s += static_cast<uint32_t>(int32_t{v[4 * m + i]} * v[4 * m + i]);
    p[m] = s >> 2;
  }
  int64_t S[60], D[60];
  for (int m = 0; m < 60; ++m) {
    S[m] = (int64_t{p[m]} + p[119 - m] + 16) >> 5;
    D[m] = (int64_t{p[m]} - p[119 - m] + 16) >> 5;
  }
  r[0] = 2;
  for (int m = 0; m < 60; ++m) r[0] += S[m];
  for (int k = 1; k <= 6; ++k) {
    int64_t s = 0;
    const int64_t* src = (k & 1) ? D : S;
    for (int m = 0; m < 60; ++m) s += (t.envCos[k - 1][m] * src[m] + 256) >> 9;
    r[k] = s;
  }
}

// Normalises seven lags so that lag 0 has its top bit at bit 12; returns the shift (left when > 0).
int normaliseLags(const int64_t* r, int32_t* out) {
  const int k = 13 - bitLength64(static_cast<uint64_t>(r[0] > 0 ? r[0] : 1));
  for (int i = 0; i <= 6; ++i) {
    const int64_t v = k > 0 ? r[i] * (int64_t{1} << k) : (r[i] >> -k);
    out[i] = static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : v));
  }
  return k;
}

// Gain of the envelope whose predictor is c (Q12), from the normalised lags and their shift: 120
// divided by the prediction error energy.
uint32_t envelopeGain(const int16_t* c, const int32_t* rn, int shift) {
  int64_t e = 0;
  for (int i = 0; i <= 6; ++i) {
    for (int k = 0; k <= 6; ++k) {
      const int64_t a = (int64_t{c[k]} * rn[i > k ? i - k : k - i] + 256) >> 9;
      e += (a * c[i] + 4) >> 3;
    }
  }
  e = shift > 0 ? (e >> shift) : e * (int64_t{1} << -shift);
  return Quill_GainDivide(120, e > 0 ? static_cast<uint64_t>(e) : 0);
}

// Level index of a value in an envelope table: searched across the boundaries from level `start`.
template <typename Table, typename Value>
int levelIndex(const Table& t, Value value, int start) {
  int i = start;
  while (i < t.count - 1 && value > t.bounds[i]) ++i;
  while (i > 0 && value <= t.bounds[i - 1]) --i;
  return i;
}

uint16_t isqrtStep(int64_t p, uint32_t* x) {
  if (p <= 0) {
    *x = 1;
    return 1;
  }
  uint64_t v = *x ? *x : 1;
  const uint64_t up = static_cast<uint64_t>(p);
  for (int step = 0; step <= 10; ++step) {
    const uint64_t next = (up / v + v) >> 1;
    if (next == v) break;
    v = next ? next : 1;
  }
  *x = static_cast<uint32_t>(v > 0xFFFFFFFFu ? 0xFFFFFFFFu : v);
  return static_cast<uint16_t>(v > 65535 ? 65535 : v);
}

}  // namespace

void Quill_SpectrumDither(uint32_t seed, int meanGainQ12, int16_t* d) {
  auto draw = [&seed]() {
    seed = seed * 196314165u + 907633515u;
    return static_cast<int32_t>(seed + (1u << 24)) >> 25;
  };
  if (meanGainQ12 < 614) {
    for (int g = 0; g < 160; ++g) {
      const int16_t a = static_cast<int16_t>(draw());
      const int16_t b = static_cast<int16_t>(draw());
      const uint32_t sel = (seed >> 25) & 15u;
      int16_t* o = d + 3 * g;
      if (sel < 5) {
        o[0] = a, o[1] = b, o[2] = 0;
      } else if (sel < 10) {
        o[0] = a, o[1] = 0, o[2] = b;
      } else {
        o[0] = 0, o[1] = a, o[2] = b;
      }
    }
  } else {
    const int32_t amp = static_cast<int16_t>(22528 - 10 * meanGainQ12);
    for (int i = 0; i < 240; ++i) {
      const int32_t dd = draw();
      const uint32_t bit = (seed >> 25) & 1u;
      const int16_t v = static_cast<int16_t>((dd * amp + 8192) >> 14);
      d[2 * i] = bit ? 0 : v;
      d[2 * i + 1] = bit ? v : 0;
    }
  }
}

void Quill_QuantiseSpectrum(const int16_t* p, const int16_t* q, const int16_t* d, int16_t* v) {
  for (int j = 0; j < kGroups; ++j) {
    const int16_t src[4] = {p[2 * j], q[2 * j], p[2 * j + 1], q[2 * j + 1]};
    for (int i = 0; i < 4; ++i) {
      const int32_t di = d[4 * j + i];
      v[4 * j + i] = sat16(roundStep(int32_t{src[i]} + di) - di);
    }
  }
}

void Quill_EnvelopeFit(const int16_t* values, QuillEnvelopeFit* fit) {
  // The unquantised envelope (for designing the quantiser tables): coefficients and gain value.
  int64_t r[7];
  envelopeAutocorr(values, r);
  int32_t rn[7];
  const int shift = normaliseLags(r, rn);
  Spl_AutoCorrToRefl(rn, 6, fit->refl);
  int16_t c[7];
  Spl_ReflToLpc(fit->refl, 6, c);
  fit->gainValue = static_cast<int32_t>(envelopeGain(c, rn, shift));
}

void Quill_EnvelopeScales(const int16_t* refl, int32_t gain, int64_t* power, uint16_t* scales) {
  const QuillDerivedTables& t = Quill_Tables();
  int16_t c[7];
  Spl_ReflToLpc(refl, 6, c);
  int64_t r0 = 0;
  for (int j = 0; j <= 6; ++j) r0 += int64_t{c[j]} * c[j];
  const int64_t e0 = ((((r0 >> 6) * 65 + 32768) >> 16) * gain + 256) >> 9;
  int64_t rk[7];
  for (int k = 1; k <= 6; ++k) {
    int64_t s = 16384;
    for (int j = 0; j + k <= 6; ++j) s += int64_t{c[j]} * c[j + k];
    rk[k] = (((s >> 15) * gain) + 256) >> 9;
  }
  for (int m = 0; m < 60; ++m) {
    int64_t pe = 128 * e0, po = 0;
    for (int k = 2; k <= 6; k += 2) pe += (t.envCos[k - 1][m] * rk[k] + 2) >> 2;
    for (int k = 1; k <= 5; k += 2) po += (t.envCos[k - 1][m] * rk[k] + 2) >> 2;
    power[m] = pe + po;
    power[119 - m] = pe - po;
  }
  uint32_t x = 1u << (bitLength64(static_cast<uint64_t>(power[0] > 0 ? power[0] : 0)) / 2);
  for (int m = 0; m < kGroups; ++m) {
    scales[m] = isqrtStep(power[m], &x);
    if (scales[m] == 0) scales[m] = 1;
  }
}

namespace {

// Quantises the envelope of the values and writes its seven symbols; fills power and scales.
void encodeEnvelope(QuillStream* s, const int16_t* values, int64_t* power, uint16_t* scales) {
  int64_t r[7];
  envelopeAutocorr(values, r);
  int32_t rn[7];
  const int shift = normaliseLags(r, rn);
  int16_t refl[6];
  Spl_AutoCorrToRefl(rn, 6, refl);
  int sym[7];
  int16_t q[6];
  for (int i = 0; i < 6; ++i) {
    sym[i] = levelIndex(kQuillEnvRefl[i], refl[i], kQuillEnvRefl[i].start);
    q[i] = kQuillEnvRefl[i].levels[sym[i]];
  }
  int16_t c[7];
  Spl_ReflToLpc(q, 6, c);
  const uint32_t g = envelopeGain(c, rn, shift);
  sym[6] = levelIndex(kQuillEnvGain, static_cast<int32_t>(g), kEnvGainSearchStart);
  const uint16_t* tables[7];
  for (int i = 0; i < 6; ++i) tables[i] = kQuillEnvRefl[i].cdf;
  tables[6] = kQuillEnvGain.cdf;
  Quill_EncodeSymbols(s, sym, tables, 7);
  Quill_EnvelopeScales(q, kQuillEnvGain.levels[sym[6]], power, scales);
}

void encodeValue(QuillStream* s, int32_t v, uint16_t e) {
  int32_t lower = model(int64_t{v - 64} * e), upper = model(int64_t{v + 64} * e);
  for (int guard = 0; lower + 1 >= upper && guard < 1024; ++guard) {
    v = v > 0 ? v - 128 : v + 128;
    lower = model(int64_t{v - 64} * e);
    upper = model(int64_t{v + 64} * e);
  }
  if (lower + 1 >= upper) {  // cannot happen for e >= 1: the cell around 0 is always wide
    lower = 0;
    upper = 65535;
  }
  Quill_EncodeInterval(s, static_cast<uint32_t>(lower), static_cast<uint32_t>(upper));
}

}  // namespace

void Quill_EncodeSpectrum(QuillStream* s, const int16_t* p, const int16_t* q, int meanGainQ12) {
  int16_t d[kValues], v[kValues];
  Quill_SpectrumDither(s->rangeWidth, meanGainQ12, d);
  Quill_QuantiseSpectrum(p, q, d, v);
  int64_t power[kGroups];
  uint16_t scales[kGroups];
  encodeEnvelope(s, v, power, scales);
  for (int i = 0; i < kValues; ++i) encodeValue(s, v[i], scales[i >> 2]);
}

int Quill_DecodeSpectrum(QuillStream* s, int meanGainQ12, double* x, double* y, int32_t* decoded) {
  if (Quill_DecoderStart(s) != 0) return -QUILL_ERR_SPECTRUM_FIELD;
  int16_t d[kValues];
  Quill_SpectrumDither(s->rangeWidth, meanGainQ12, d);
  const uint16_t* tables[7];
  int starts[7];
  for (int i = 0; i < 6; ++i) {
    tables[i] = kQuillEnvRefl[i].cdf;
    starts[i] = kQuillEnvRefl[i].start;
  }
  tables[6] = kQuillEnvGain.cdf;
  starts[6] = kQuillEnvGain.start;
  int sym[7];
  if (Quill_DecodeSymbolsStep(sym, s, tables, starts, 7) < 0) return -QUILL_ERR_SPECTRUM_FIELD;
  int16_t refl[6];
  for (int i = 0; i < 6; ++i) {
    if (sym[i] >= kQuillEnvRefl[i].count) return -QUILL_ERR_SPECTRUM_FIELD;
    refl[i] = kQuillEnvRefl[i].levels[sym[i]];
  }
  if (sym[6] >= kQuillEnvGain.count) return -QUILL_ERR_SPECTRUM_FIELD;
  int64_t power[kGroups];
  uint16_t scales[kGroups];
  Quill_EnvelopeScales(refl, kQuillEnvGain.levels[sym[6]], power, scales);

  int32_t values[kValues];
  for (int i = 0; i < kValues; ++i) {
    const int64_t e = scales[i >> 2];
    const uint32_t w = s->rangeWidth;
    const uint32_t v = s->rangeValue;
    int32_t b = 64 - d[i];
    uint32_t bound = Quill_ScaleEntry(w, static_cast<uint32_t>(model(b * e)));
    uint32_t low, high;
    if (v > bound) {
      for (;;) {
        b += 128;
        const uint32_t next = Quill_ScaleEntry(w, static_cast<uint32_t>(model(b * e)));
        if (next == bound) return -QUILL_ERR_SPECTRUM_FIELD;
        low = bound;
        high = next;
        bound = next;
        if (v <= next) break;
      }
      values[i] = b - 64;
    } else {
      for (;;) {
        b -= 128;
        const uint32_t next = Quill_ScaleEntry(w, static_cast<uint32_t>(model(b * e)));
        if (next == bound) return -QUILL_ERR_SPECTRUM_FIELD;
        high = bound;
        low = next;
        bound = next;
        if (v > next) break;
      }
      values[i] = b + 64;
    }
    if (Quill_DecoderNarrow(s, low, high) != 0) return -QUILL_ERR_SPECTRUM_FIELD;
  }
  const int consumed = Quill_DecoderConsumed(s);
  if (consumed < 1) return -QUILL_ERR_SPECTRUM_FIELD;
  if (decoded != nullptr) std::memcpy(decoded, values, sizeof(values));

  for (int j = 0; j < kGroups; ++j) {
    const int64_t bias = meanGainQ12 > 614 ? 0x288000 : 0x218000;
    int64_t den = (power[j] + bias) >> 16;
    // 36864 / 1 would not fit the 16-bit factor either.
    const int64_t lowest = meanGainQ12 > 614 ? 2 : 1;
    if (den < lowest) den = lowest;
    if (den > 32767) den = 32767;
    const int32_t factor = Spl_DivW32ByW16ToW16(meanGainQ12 > 614 ? 36864 : 30720, static_cast<int16_t>(den));
    double out[4];
    for (int i = 0; i < 4; ++i) {
      int64_t v = values[4 * j + i];
      if (v > 32767) v = 32767;
      if (v < -32768) v = -32768;
      out[i] = static_cast<double>((v * factor + 512) >> 10) / 128.0;
    }
    x[2 * j] = out[0];
    y[2 * j] = out[1];
    x[2 * j + 1] = out[2];
    y[2 * j + 1] = out[3];
  }
  return consumed;
}

uint32_t Quill_GainDivide(uint32_t dividend, uint64_t divisor) {
  // floor(dividend * 2^31 / divisor) by 31 shift-and-subtract steps.
  if (dividend == 0) return 0;
  if (divisor <= (uint64_t{1} << 30)) {
    // The format's routine works on a signed 32-bit remainder: a divisor not above the dividend (0
    // included) doubles it past 31 bits, where it turns negative and sets no quotient bit.
    int32_t rem = static_cast<int32_t>(dividend);
    uint32_t quot = 0;
    const int32_t e = static_cast<int32_t>(divisor);
    for (int i = 0; i < 31; ++i) {
      rem = static_cast<int32_t>(static_cast<uint32_t>(rem) << 1);
      quot <<= 1;
      if (rem >= e) {
        rem -= e;
        quot |= 1;
      }
    }
    return quot;
  }
  // Larger divisors (an energy beyond 2^30, kept at 64 bits) give a quotient below the dividend.
  uint64_t rem = dividend;
  uint64_t quot = 0;
  for (int i = 0; i < 31; ++i) {
    rem <<= 1;
    quot <<= 1;
    if (rem >= divisor) {
      rem -= divisor;
      quot |= 1;
    }
  }
  return static_cast<uint32_t>(quot);
}

int64_t Quill_SpectrumCost(uint16_t scale, const int16_t* p, const int16_t* q) {
  int64_t sum = 0;
  for (int pass = 0; pass < 2; ++pass) {
    const int16_t* src = pass == 0 ? p : q;
    for (int i = 0; i < kQuillBand; ++i) {
      int64_t t = (int64_t{src[i]} * scale) >> 3;
      if (t < -10240) t = -10240;
      if (t > 10239) t = 10239;
      sum += kQuillSpectrumCost[(5 * t + 51200) >> 10];
    }
  }
  return sum;
}

int16_t Quill_SpectrumBitEstimate(const int16_t* p, const int16_t* q, const QuillStream* s, int meanGainQ12) {
  int16_t d[kValues], v[kValues];
  Quill_SpectrumDither(s->rangeWidth, meanGainQ12, d);
  Quill_QuantiseSpectrum(p, q, d, v);
  int64_t r[7];
  envelopeAutocorr(v, r);
  int32_t rn[7];
  normaliseLags(r, rn);
  int16_t refl[6];
  Spl_AutoCorrToRefl(rn, 6, refl);
  int16_t c[7];
  Spl_ReflToLpc(refl, 6, c);
  int64_t e = r[0] * 4096;
  for (int j = 1; j <= 6; ++j) e += int64_t{c[j]} * r[j];
  const uint32_t g = Quill_GainDivide(480, e > 0 ? static_cast<uint64_t>(e) : 0);
  int32_t sq = Spl_SqrtW32(static_cast<int32_t>(g));
  if (sq < 1) sq = 1;
  const uint16_t scale = static_cast<uint16_t>(sq > 65535 ? 65535 : sq);
  const int64_t sum = Quill_SpectrumCost(scale, p, q);
  const int z = Spl_NormU32(scale);
  const int32_t l = static_cast<int16_t>(((((uint32_t{scale} << z) >> 21) & 0x3FFu) + ((31u - z) << 10)));
  int64_t est = 722631 + (((int64_t{l} - 6144) * -402874) >> 10) + ((sum * 426) >> 10);
  if (est < 10240) est = 10240;
  est >>= 8;
  return static_cast<int16_t>(est > 32767 ? 32767 : est);
}
