// Rate converters, file resampler, G.711 sample converters, level meter, high-pass filter and DTMF tones.
#include "voice/processing.h"

#include <cstring>

#include "platform/random.h"
#include "voice/dsp/g711.h"
#include "voice/dsp/resample.h"
#include "voice/engine_defs.h"

// ---------------------------------------------------------------------------
// 48 <-> 16 kHz
// ---------------------------------------------------------------------------

void Rate48To16::Reset() {
  std::memset(lowpassState_, 0, sizeof lowpassState_);
  std::memset(downState_, 0, sizeof downState_);
  std::memset(carry_, 0, sizeof carry_);
}

void Rate48To16::Convert(const int16_t* in, int count, int16_t* out) {
  for (int done = 0; done + kCardBlockSamples <= count; done += kCardBlockSamples) {
    int32_t lowpass[kCardBlockSamples + 8];
    std::memcpy(lowpass, carry_, sizeof carry_);
    Resample_LowpassBy2(in + done, kCardBlockSamples, lowpass + 8, lowpassState_);
    int32_t at32k[320];
    Resample_3To2(lowpass, at32k, 160);
    std::memcpy(carry_, lowpass + kCardBlockSamples, sizeof carry_);
    Resample_DownBy2Int(at32k, 320, out + done / 3, downState_);
  }
}

void Rate16To48::Reset() {
  std::memset(upState_, 0, sizeof upState_);
  std::memset(upOutState_, 0, sizeof upOutState_);
  std::memset(carry_, 0, sizeof carry_);
}

void Rate16To48::Convert(const int16_t* in, int16_t* out) {
  int32_t at32k[320 + 8];
  std::memcpy(at32k, carry_, sizeof carry_);
  Resample_UpBy2ShortToInt(in, kWbBlockSamples, at32k + 8, upState_);
  int32_t at24k[240];
  Resample_4To3(at32k, at24k, 80);
  std::memcpy(carry_, at32k + 320, sizeof carry_);
  Resample_UpBy2IntToShort(at24k, 240, out, upOutState_);
}

// ---------------------------------------------------------------------------
// Doubling and halving
// ---------------------------------------------------------------------------

namespace {

// Three first-order all-pass sections in a chain, each y = x_prev + c * (x - y_prev) / 65536,
// where a section's input history is the previous section's last output.
// s: {previous input, y1, y2, y3}.
inline int32_t AllPassChain(int32_t v, const uint32_t* c, int32_t* s) {
  const int32_t y1 = static_cast<int32_t>(s[0] + ((static_cast<int64_t>(v) - s[1]) * c[0] >> 16));
  const int32_t y2 = static_cast<int32_t>(s[1] + ((static_cast<int64_t>(y1) - s[2]) * c[1] >> 16));
  const int32_t y3 = static_cast<int32_t>(s[2] + ((static_cast<int64_t>(y2) - s[3]) * c[2] >> 16));
  s[0] = v;
  s[1] = y1;
  s[2] = y2;
  s[3] = y3;
  return y3;
}

// state: eight words, four per branch.
void DoubleRate(int32_t* state, const int16_t* in, int count, int16_t* out) {
  static const uint32_t kFirst[3] = {3284, 24441, 49528};
  static const uint32_t kSecond[3] = {12199, 37471, 60255};
  for (int i = 0; i < count; ++i) {
    const int32_t v = static_cast<int32_t>(in[i]) * 1024;
    const int32_t a = AllPassChain(v, kFirst, state);
    const int32_t b = AllPassChain(v, kSecond, state + 4);
    out[2 * i] = SonraSat16((a + 512) >> 10);
    out[2 * i + 1] = SonraSat16((b + 512) >> 10);
  }
}

}  // namespace

void RateDoubler::Reset() { std::memset(state_, 0, sizeof state_); }

void RateDoubler::Process(const int16_t* in, int count, int16_t* out) { DoubleRate(state_, in, count, out); }

void RateHalver::Reset() { std::memset(state_, 0, sizeof state_); }

void RateHalver::Process(const int16_t* in, int count, int16_t* out) { Resample_DownBy2(in, count, out, state_); }

// ---------------------------------------------------------------------------
// Resampler to 16000 Hz
// ---------------------------------------------------------------------------

namespace {

enum PrePath { kPreNone, kPreDouble, kPreHalve };

PrePath PreOf(int mode) {
  switch (mode) {
    case 8:
    case 11:
    case 12: return kPreDouble;
    case 32:
    case 44:
    case 48: return kPreHalve;
    default: return kPreNone;
  }
}

// Feeds samples to the fractional stage (or copies them when there is none).
void Fractional(SonraResamplerTo16* st, const int16_t* in, int count, int16_t* out, int* outCount,
                int capacity) {
  if (st->needed == 0) {
    for (int i = 0; i < count && *outCount < capacity; ++i) out[(*outCount)++] = in[i];
    return;
  }
  for (int i = 0; i < count; ++i) {
    st->buffer[st->buffered++] = in[i];
    while (st->buffered >= st->needed) {
      int32_t result[8];
      if (st->needed == 18)
        Resample_11To8(st->buffer, result, 1);
      else
        Resample_3To2(st->buffer, result, 1);
      for (int k = 0; k < st->produced && *outCount < capacity; ++k) out[(*outCount)++] = SonraSat16(result[k] >> 15);
      std::memmove(st->buffer, st->buffer + st->advance, sizeof(int32_t) * static_cast<size_t>(st->buffered - st->advance));
      st->buffered -= st->advance;
    }
  }
}

}  // namespace

int Sonra_ResamplerTo16_init(SonraResamplerTo16* state, int mode) {
  if (!state) return -1;
  *state = SonraResamplerTo16{};
  switch (mode) {
    case 8:
    case 16:
    case 32:
      break;
    case 11:
    case 22:
    case 44:
      state->needed = 18;
      state->advance = 11;
      state->produced = 8;
      break;
    case 12:
    case 24:
    case 48:
      state->needed = 9;
      state->advance = 3;
      state->produced = 2;
      break;
    default:
      return -1;
  }
  state->mode = mode;
  return 0;
}

int Sonra_ResamplerTo16(SonraResamplerTo16* state, const int16_t* in, int count, int16_t* out,
                        int* outCount, int capacity) {
  if (!state || state->mode == 0 || !out || !outCount || count < 0 || (count > 0 && !in)) return -1;
  *outCount = 0;
  const PrePath pre = PreOf(state->mode);
  int16_t stage[512];
  for (int done = 0; done < count;) {
    const int piece = count - done < 256 ? count - done : 256;
    const int16_t* src = in + done;
    int n = piece;
    if (pre == kPreDouble) {
      DoubleRate(state->upState, src, piece, stage);
      src = stage;
      n = piece * 2;
    } else if (pre == kPreHalve) {
      Resample_DownBy2(src, piece, stage, state->downState);
      src = stage;
      n = piece / 2;
    }
    Fractional(state, src, n, out, outCount, capacity);
    done += piece;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// G.711 sample converters
// ---------------------------------------------------------------------------

namespace {
template <typename F>
int Chunked(int count, F f) {
  if (count < 0) return -1;
  for (int done = 0; done < count;) {
    const int n = count - done < 16384 ? count - done : 16384;
    f(done, static_cast<int16_t>(n));
    done += n;
  }
  return count;
}
}  // namespace

int Sonra_AlawToLinear(const uint8_t* in, int16_t* out, int count) {
  return Chunked(count, [&](int at, int16_t n) { G711_AlawToLinear(in + at, out + at, n); });
}
int Sonra_UlawToLinear(const uint8_t* in, int16_t* out, int count) {
  return Chunked(count, [&](int at, int16_t n) { G711_UlawToLinear(in + at, out + at, n); });
}
int Sonra_LinearToAlaw(const int16_t* in, uint8_t* out, int count) {
  return Chunked(count, [&](int at, int16_t n) { G711_LinearToAlaw(in + at, n, out + at); });
}
int Sonra_LinearToUlaw(const int16_t* in, uint8_t* out, int count) {
  return Chunked(count, [&](int at, int16_t n) { G711_LinearToUlaw(in + at, n, out + at); });
}

// ---------------------------------------------------------------------------
// Level meter
// ---------------------------------------------------------------------------

void LevelMeter::Reset() {
  peak_ = 0;
  calls_ = 0;
  level_ = 0;
}

void LevelMeter::Process(const int16_t* samples, int count) {
  static const int kTable[33] = {0, 1, 2, 3, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 6, 7, 7,
                                 7, 7, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  int32_t high = 0;
  int32_t low = 0;
  for (int i = 0; i < count; ++i) {
    if (samples[i] > high) high = samples[i];
    if (samples[i] < low) low = samples[i];
  }
  const int32_t magnitude = high > -low ? high : -low;
  if (magnitude > peak_) peak_ = magnitude;
  if (++calls_ >= 11) {
    int index = peak_ / 1000;
    if (index > 32) index = 32;
    level_ = (index == 0 && peak_ >= 251) ? 1 : kTable[index];
    peak_ /= 2;
    calls_ = 0;
  }
}

// ---------------------------------------------------------------------------
// High-pass filter
// ---------------------------------------------------------------------------

void HighPassFilter::Reset() {
  std::memset(x_, 0, sizeof x_);
  std::memset(y_, 0, sizeof y_);
}

int HighPassFilter::Filter(int16_t* frame, int count, int rate) {
  static const double kB16[6] = {0.9222382996, -4.6111914982, 9.2223829964, -9.2223829964, 4.6111914982, -0.9222382996};
  static const double kA16[6] = {1, -4.8385893585, 9.3664502129, -9.0671690785, 4.3893628224, -0.850054116};
  static const double kB8[6] = {0.8385131773, -4.1925658863, 8.3851317726, -8.3851317726, 4.1925658863, -0.8385131773};
  static const double kA8[6] = {1, -4.6498428153, 8.6569021506, -8.0651281243, 3.7593195549, -0.7012290273};
  if ((rate != 8000 && rate != 16000) || count > 320 || count < 0 || (count > 0 && !frame)) return 65535;
  const int r = rate == 16000 ? 1 : 0;
  const double* b = r ? kB16 : kB8;
  const double* a = r ? kA16 : kA8;
  double* xh = x_[r];
  double* yh = y_[r];
  for (int n = 0; n < count; ++n) {
    double x = frame[n];
    if (n < 10) x += (plat::rand15() - 16383) * 1e-21;
    double y = b[0] * x;
    for (int k = 0; k < 5; ++k) y += b[k + 1] * xh[k] - a[k + 1] * yh[k];
    for (int k = 4; k > 0; --k) {
      xh[k] = xh[k - 1];
      yh[k] = yh[k - 1];
    }
    xh[0] = x;
    yh[0] = y;
    if (y > 32767.0)
      frame[n] = 32767;
    else if (y < -32768.0)
      frame[n] = -32768;
    else
      frame[n] = static_cast<int16_t>(y);
  }
  return count;
}

// ---------------------------------------------------------------------------
// DTMF tones
// ---------------------------------------------------------------------------

namespace {

int RowOf(int digit) {
  switch (digit) {
    case 1: case 2: case 3: case 12: return 0;
    case 4: case 5: case 6: case 13: return 1;
    case 7: case 8: case 9: case 14: return 2;
    default: return 3;  // 0, 10, 11, 15
  }
}

int ColumnOf(int digit) {
  switch (digit) {
    case 1: case 4: case 7: case 10: return 0;
    case 2: case 5: case 8: case 0: return 1;
    case 3: case 6: case 9: case 11: return 2;
    default: return 3;  // 12..15
  }
}

const int16_t kToneGain[36] = {16141, 14386, 12821, 11427, 10184, 9077, 8090, 7210, 6426, 5727, 5104, 4549,
                               4054,  3614,  3221,  2870,  2558,  2280, 2032, 1811, 1614, 1439, 1282, 1143,
                               1018,  908,   809,   721,   643,   573,  510,  455,  405,  361,  322,  287};

}  // namespace

void Sonra_DtmfFrequencies(int digit, int* rowHz, int* columnHz) {
  static const int kRows[4] = {697, 770, 852, 941};
  static const int kColumns[4] = {1209, 1336, 1477, 1633};
  if (rowHz) *rowHz = kRows[RowOf(digit)];
  if (columnHz) *columnHz = kColumns[ColumnOf(digit)];
}

void DtmfToneGenerator::Restart() {
  newTone_ = true;
  row_[0] = row_[1] = 0;
  column_[0] = column_[1] = 0;
}

int DtmfToneGenerator::Tone(int16_t* frame, int digit, int attenuationDb, int count, int rate) {
  static const int32_t kRowCoef[2][4] = {{27978, 26956, 25701, 24219}, {31548, 31281, 30951, 30556}};
  static const int32_t kColCoef[2][4] = {{19073, 16325, 13085, 9314}, {29144, 28361, 27409, 26258}};
  static const int32_t kRowStart[2][4] = {{8527, 9315, 10163, 11036}, {4429, 4879, 5380, 5918}};
  static const int32_t kColStart[2][4] = {{13322, 14206, 15021, 15708}, {7490, 8207, 8979, 9801}};
  if ((rate != 8000 && rate != 16000) || digit < 0 || digit > 15 || !frame || count < 0) return -1;
  if (attenuationDb < 0) attenuationDb = 0;
  if (attenuationDb > 35) attenuationDb = 35;
  const int r = rate == 16000 ? 1 : 0;
  const int ri = RowOf(digit);
  const int ci = ColumnOf(digit);
  if (newTone_) {
    row_[0] = 0;
    row_[1] = kRowStart[r][ri];
    column_[0] = 0;
    column_[1] = kColStart[r][ci];
    newTone_ = false;
  }
  const int32_t g = kToneGain[attenuationDb];
  for (int n = 0; n < count; ++n) {
    const int32_t row = ((kRowCoef[r][ri] * row_[0] + 8192) >> 14) - row_[1];
    row_[1] = row_[0];
    row_[0] = row;
    const int32_t col = ((kColCoef[r][ci] * column_[0] + 8192) >> 14) - column_[1];
    column_[1] = column_[0];
    column_[0] = col;
    const int32_t mixed = (row * 23171 + col * 32768 + 16384) >> 15;
    frame[n] = SonraSat16((mixed * g + 8192) >> 14);
  }
  return 0;
}
