// Ostrel wideband upper band: frame packing, gain and LPC quantisers, range coder and synthesis.
#include "voice/dsp/ostrel/ostrelwb_upper.h"

#include <cstring>

#include "voice/dsp/ostrel/ostrel711_frame.h"
#include "voice/dsp/ostrel/ostrel_range.h"
#include "voice/dsp/ostrel/ostrel_tables.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int kOrder = kOstrelWbUpperOrder;
constexpr int kValues = kOstrelWbUpperValues;

constexpr int32_t kLagWindow[kOrder + 1] = {32005, 31260, 30532, 29821, 29126, 28448};
constexpr int16_t kLarScale[kOrder] = {24, 27, 16, 18, 10};
constexpr int16_t kLarOffset[kOrder] = {16, 17, 8, 8, 4};
constexpr int16_t kLarLargest[kOrder] = {31, 31, 15, 15, 7};
constexpr int16_t kLarStep[kOrder] = {682, 593, 1011, 864, 1505};
constexpr int16_t kLarBase[kOrder] = {-10278, -9552, -8027, -6171, -5439};
constexpr int kCodeBits[kOrder] = {5, 5, 4, 4, 3};

// Cumulative frequencies (Q15) of the four modes; symbol s takes entries centre + s .. centre + s + 1.
constexpr int32_t kCum0[] = {0, 7, 29, 107, 430, 2014, 8957, 24703, 30953, 32363, 32664, 32739, 32761, 32768};
constexpr int32_t kCum1[] = {0, 4, 9, 30, 108, 469, 2272, 9609, 24122, 30766, 32344, 32668, 32740, 32759, 32764, 32768};
constexpr int32_t kCum2[] = {0,     1,     3,     7,     10,    16,    38,    146,   739,   3411,  11444,
                             24215, 30568, 32324, 32672, 32738, 32753, 32758, 32761, 32765, 32767, 32768};
constexpr int32_t kCum3[] = {0,     1,     2,     4,     12,    26,    28,    36,    52,    87,    94,
                             117,   198,   512,   6897,  11667, 23889, 26826, 27505, 32623, 32676, 32693,
                             32701, 32722, 32732, 32735, 32736, 32758, 32764, 32766, 32767, 32768};
constexpr const int32_t* kCum[kOstrelWbModes] = {kCum0, kCum1, kCum2, kCum3};
constexpr int kCentre[kOstrelWbModes] = {6, 7, 10, 15};

// A Q15 cumulative entry scaled by the range, from the range's two 16-bit halves.
uint32_t Bound(uint32_t range, int32_t c) {
  const uint32_t cu = static_cast<uint32_t>(c);
  return (((range & 0xFFFFu) * cu) >> 15) + (range >> 16) * cu * 2u;
}

void UnpackCodes(uint32_t bits, int* c) {
  int shift = 21;
  for (int i = 0; i < kOrder; ++i) {
    shift -= kCodeBits[i];
    c[i] = static_cast<int>((bits >> shift) & ((1u << kCodeBits[i]) - 1));
  }
}

void Synthesize(OstrelWbSynthState* state, const OstrelWbUpperFrame& frame, const int16_t* values40, int phaseEven,
                const int16_t* others40, int16_t* out) {
  const int32_t g = kOstrelWbGain[frame.gainIndex & 127];
  const int32_t gr = g - ((g * 3276 + 32768) >> 16);
  int16_t exc[kOstrelWbUpperSamples];
  for (int i = 0; i < kValues; ++i) {
    // A loud transient could pass the 16-bit range: saturate rather than wrap.
    const int16_t a = Spl_SatW16(int32_t{values40[i]} * gr);
    const int16_t b = others40 ? Spl_SatW16(int32_t{others40[i]} * gr) : 0;
    exc[2 * i + (phaseEven ? 0 : 1)] = a;
    exc[2 * i + (phaseEven ? 1 : 0)] = b;
  }
  int16_t low[kOstrelWbUpperSamples];
  Spl_FilterAR(frame.lpc, kOrder + 1, exc, kOstrelWbUpperSamples, state->high, kOrder, state->low, kOrder, out, low);
}

}  // namespace

int OstrelWb_ModeLimit(int mode) { return kCentre[mode & 3]; }

void OstrelWb_QuantizeGain(int64_t energy, int16_t* gain, int16_t* index) {
  auto below = [energy](int i) { return energy < 80 * int64_t{kOstrelWbGain[i]} * kOstrelWbGain[i]; };
  int i = 64;
  for (int step = 32; step >= 1; step >>= 1) i += below(i) ? -step : step;
  if (i > 0 && below(i)) --i;
  *index = static_cast<int16_t>(i);
  *gain = kOstrelWbGain[i];
}

void OstrelWb_AnalyzeLpc5(const int16_t* samples, int16_t* refl, uint32_t* lpcBits) {
  int32_t r[kOrder + 1];
  Spl_AutoCorr(samples, kOstrelWbUpperSamples, kOrder, r);
  for (int i = 0; i <= kOrder; ++i) {
    const int64_t m = r[i] < 0 ? -int64_t{r[i]} : int64_t{r[i]};
    const int64_t w = (m * kLagWindow[i]) >> 15;
    r[i] = static_cast<int32_t>(r[i] < 0 ? -w : w);
  }
  int16_t k[kOrder] = {};
  Spl_AutoCorrToRefl(r, kOrder, k);
  uint32_t bits = 0;
  for (int i = 0; i < kOrder; ++i) {
    int32_t c = ((kLarScale[i] * int32_t{Ostrel_RcToLar(k[i])}) >> 15) + kLarOffset[i];
    if (c < 0) c = 0;
    if (c > kLarLargest[i]) c = kLarLargest[i];
    bits = (bits << kCodeBits[i]) | static_cast<uint32_t>(c);
  }
  *lpcBits = bits;
  OstrelWb_DecodeLar5(bits, refl);
}

void OstrelWb_DecodeLar5(uint32_t lpcBits, int16_t* refl) {
  int c[kOrder];
  UnpackCodes(lpcBits, c);
  for (int i = 0; i < kOrder; ++i) {
    const int32_t lar = int32_t{kLarStep[i]} + 2 * (int32_t{kLarStep[i]} * c[i] + kLarBase[i]);
    refl[i] = Ostrel_LarToRc(Spl_SatW16(lar));
  }
}

int OstrelWb_PackUpperFrame(uint8_t* frame, int gainIndex, int mode, uint32_t lpcBits, const int16_t* values) {
  mode &= 3;
  const int32_t* cum = kCum[mode];
  const int centre = kCentre[mode];
  uint8_t code[kOstrelWbUpperRangeMaxBytes];
  ostrel::RangeEncoder enc(code, kOstrelWbUpperRangeMaxBytes);
  for (int i = 0; i < kValues && !enc.failed(); ++i) {
    const int v = values[i];
    if (v < -centre || v > centre) {
      enc.Fail();  // outside the mode's symbols: only the uncompressed form can carry it
      break;
    }
    const uint32_t range = enc.range();
    enc.Encode(Bound(range, cum[centre + v]), Bound(range, cum[centre + v + 1]));
  }
  const int n = enc.Finish(kOstrelWbUpperRangeMaxBytes);
  if (n >= 1) {
    frame[0] = static_cast<uint8_t>(0x80 | (gainIndex & 127));
    frame[1] = static_cast<uint8_t>((mode << 5) | ((lpcBits >> 16) & 31));
    frame[2] = static_cast<uint8_t>(lpcBits >> 8);
    frame[3] = static_cast<uint8_t>(lpcBits);
    std::memcpy(frame + 4, code, static_cast<size_t>(n));
    return 4 + n;
  }
  return OstrelWb_PackUncompressedUpperFrame(frame, gainIndex, lpcBits, values);
}

int OstrelWb_PackUncompressedUpperFrame(uint8_t* frame, int gainIndex, uint32_t lpcBits, const int16_t* values) {
  frame[0] = static_cast<uint8_t>(gainIndex & 127);
  frame[1] = static_cast<uint8_t>(lpcBits >> 13);
  frame[2] = static_cast<uint8_t>(lpcBits >> 5);
  frame[3] = static_cast<uint8_t>((lpcBits & 31) << 3);
  std::memset(frame + 4, 0, 25);
  for (int i = 0; i < kValues; ++i) {
    int v = values[i];
    v = v < -16 ? -16 : (v > 15 ? 15 : v);
    const uint32_t f = static_cast<uint32_t>(v + 16);
    const int bit = 5 * i;
    const uint32_t w = f << (11 - (bit & 7));  // 5 bits placed in 16
    frame[4 + (bit >> 3)] = static_cast<uint8_t>(frame[4 + (bit >> 3)] | (w >> 8));
    if ((bit >> 3) + 1 < 25) frame[5 + (bit >> 3)] = static_cast<uint8_t>(frame[5 + (bit >> 3)] | (w & 0xFF));
  }
  return kOstrelWbUpperMaxBytes;
}

int OstrelWb_RangeDecode40(int16_t* values, int* length, const uint8_t* code, int budgetWords, int mode, int readable) {
  mode &= 3;
  const int32_t* cum = kCum[mode];
  const int centre = kCentre[mode];
  const int last = 2 * centre;  // highest symbol index
  const int budget = 2 * budgetWords;
  ostrel::RangeDecoder dec(code, readable);
  if (dec.code() == 0) return 1;
  for (int i = 0; i < kValues; ++i) {
    const uint32_t range = dec.range();
    const uint32_t c = dec.code();
    int s = centre;
    while (s < last && c > Bound(range, cum[s + 1])) ++s;
    while (s > 0 && c <= Bound(range, cum[s])) --s;
    if (!dec.Decode(Bound(range, cum[s]), Bound(range, cum[s + 1]))) return 1;
    if (dec.shifted() > budget) return 1;
    values[i] = static_cast<int16_t>(s - centre);
  }
  *length = dec.Length();
  return 0;
}

int OstrelWb_UnpackUpperFrame(OstrelWbUpperFrame* out, const uint8_t* frame, int available, int readable) {
  if (available < 1) return 0;
  if (readable < 0) readable = available;
  int length;
  out->gainIndex = static_cast<int16_t>(frame[0] & 127);
  if (frame[0] & 0x80) {
    if (available < 5) return 0;
    out->mode = static_cast<int16_t>((frame[1] >> 5) & 3);
    out->lpcBits = (uint32_t{frame[1] & 31u} << 16) | (uint32_t{frame[2]} << 8) | frame[3];
    int n = 0;
    if (OstrelWb_RangeDecode40(out->values, &n, frame + 4, (available - 3) / 2, out->mode, readable - 4) != 0) return 0;
    length = 4 + n;
    if (length > available) return 0;
  } else {
    if (available < kOstrelWbUpperMaxBytes) return 0;
    out->mode = 3;
    out->lpcBits = (uint32_t{frame[1]} << 13) | (uint32_t{frame[2]} << 5) | (uint32_t{frame[3]} >> 3);
    for (int i = 0; i < kValues; ++i) {
      const int bit = 5 * i;
      const int b = 4 + (bit >> 3);
      const uint32_t w = (uint32_t{frame[b]} << 8) | (b + 1 < kOstrelWbUpperMaxBytes ? frame[b + 1] : 0u);
      out->values[i] = static_cast<int16_t>(static_cast<int>((w >> (11 - (bit & 7))) & 31) - 16);
    }
    length = kOstrelWbUpperMaxBytes;
  }
  OstrelWb_DecodeLar5(out->lpcBits, out->refl);
  Spl_ReflToLpc(out->refl, kOrder, out->lpc);
  return length;
}

void OstrelWb_SynthesizeHalf(OstrelWbSynthState* state, const OstrelWbUpperFrame& frame, int phase, int16_t* out) {
  Synthesize(state, frame, frame.values, phase == 1, nullptr, out);
}

void OstrelWb_SynthesizeFull(OstrelWbSynthState* state, const OstrelWbUpperFrame& held,
                             const OstrelWbUpperFrame& current, int16_t* out) {
  Synthesize(state, held, held.values, 1, current.values, out);
}
