// Quill's arithmetic coder over 16-bit cumulative tables, and the header and pitch-gain fields.
#include <cmath>
#include <cstring>

#include "voice/dsp/quill/quill_internal.h"

namespace {

constexpr uint32_t kTop = 1u << 24;

void putByte(QuillStream* s, uint32_t byte) {
  if (s->bytePos < kQuillMaxPayloadBytes) {
    s->buffer[s->bytePos] = static_cast<uint8_t>(byte);
  } else {
    s->overflow = 1;
  }
  ++s->bytePos;
}

// Adds the carry out of rangeValue to the bytes already written.
void propagateCarry(QuillStream* s) {
  uint32_t i = s->bytePos;
  while (i > 0) {
    --i;
    if (i >= kQuillMaxPayloadBytes) continue;  // dropped bytes (stream already overflowed)
    if (++s->buffer[i] != 0) return;
  }
}

void addToValue(QuillStream* s, uint32_t add) {
  const uint32_t v = s->rangeValue + add;
  if (v < add) propagateCarry(s);
  s->rangeValue = v;
}

}  // namespace

uint32_t Quill_ScaleEntry(uint32_t width, uint32_t value) {
  return (width >> 16) * value + (((width & 0xFFFFu) * value) >> 16);
}

void Quill_StreamReset(QuillStream* s) {
  s->rangeWidth = 0xFFFFFFFFu;
  s->rangeValue = 0;
  s->bytePos = 0;
  s->checkpointCount = 0;
  s->overflow = 0;
  for (double& c : s->bitCheckpoints) c = 0.0;
}

void Quill_EncodeInterval(QuillStream* s, uint32_t cdfLow, uint32_t cdfHigh) {
  uint32_t w = s->rangeWidth;
  const uint32_t lo = Quill_ScaleEntry(w, cdfLow) + 1;
  const uint32_t hi = Quill_ScaleEntry(w, cdfHigh);
  w = hi - lo;
  addToValue(s, lo);
  while (w < kTop) {
    putByte(s, s->rangeValue >> 24);
    w <<= 8;
    s->rangeValue <<= 8;
  }
  s->rangeWidth = w;
}

void Quill_EncodeSymbols(QuillStream* s, const int* values, const uint16_t* const* tables, int count) {
  for (int i = 0; i < count; ++i) Quill_EncodeInterval(s, tables[i][values[i]], tables[i][values[i] + 1]);
}

int Quill_EncodeTerminate(QuillStream* s) {
  if (s->rangeWidth < (1u << 25)) {
    addToValue(s, 1u << 16);
    putByte(s, s->rangeValue >> 24);
    putByte(s, (s->rangeValue >> 16) & 0xFF);
  } else {
    addToValue(s, 1u << 24);
    putByte(s, s->rangeValue >> 24);
  }
  return static_cast<int>(s->bytePos);
}

double Quill_StreamBits(const QuillStream* s) {
  return 8.0 * s->bytePos + 32.0 - std::log2(static_cast<double>(s->rangeWidth == 0 ? 1 : s->rangeWidth));
}

void Quill_BitCheckpoint(QuillStream* s) {
  if (s->checkpointCount < 30) s->bitCheckpoints[s->checkpointCount++] = Quill_StreamBits(s);
}

// ---- Decoder --------------------------------------------------------------------------------

uint8_t Quill_DecoderNextByte(QuillStream* s) {
  ++s->bytePos;
  // Bytes past the buffer read as 0; the length check then refuses the payload.
  return s->bytePos < kQuillMaxPayloadBytes ? s->buffer[s->bytePos] : 0;
}

int Quill_DecoderStart(QuillStream* s) {
  if (s->rangeWidth == 0) return -2;
  if (s->bytePos == 0) {
    s->rangeValue = (uint32_t{s->buffer[0]} << 24) | (uint32_t{s->buffer[1]} << 16) |
                    (uint32_t{s->buffer[2]} << 8) | s->buffer[3];
    s->bytePos = 3;
  }
  return 0;
}

int Quill_DecoderConsumed(const QuillStream* s) {
  return static_cast<int>(s->bytePos) - (s->rangeWidth >= (1u << 25) ? 2 : 1);
}

int Quill_DecoderNarrow(QuillStream* s, uint32_t scaledLow, uint32_t scaledHigh) {
  uint32_t w = scaledHigh - (scaledLow + 1);
  if (scaledHigh <= scaledLow) w = 0;
  s->rangeValue -= scaledLow + 1;
  while (w < kTop) {
    if (w == 0) {
      s->rangeWidth = 0;
      return -2;
    }
    s->rangeValue = (s->rangeValue << 8) | Quill_DecoderNextByte(s);
    w <<= 8;
  }
  s->rangeWidth = w;
  return 0;
}

int Quill_DecodeSymbolsStep(int* values, QuillStream* s, const uint16_t* const* tables, const int* starts,
                            int count) {
  if (Quill_DecoderStart(s) != 0) return -2;
  for (int i = 0; i < count; ++i) {
    const uint16_t* t = tables[i];
    const uint32_t w = s->rangeWidth;
    const uint32_t v = s->rangeValue;
    int pos = starts[i];
    int k;
    if (v > Quill_ScaleEntry(w, t[pos])) {
      do {
        if (t[pos] == 65535) return -3;
        ++pos;
      } while (v > Quill_ScaleEntry(w, t[pos]));
      k = pos - 1;
    } else {
      do {
        if (pos == 0) return -3;
        --pos;
      } while (v <= Quill_ScaleEntry(w, t[pos]));
      k = pos;
    }
    values[i] = k;
    if (Quill_DecoderNarrow(s, Quill_ScaleEntry(w, t[k]), Quill_ScaleEntry(w, t[k + 1])) != 0) return -2;
  }
  return Quill_DecoderConsumed(s);
}

int Quill_DecodeSymbolsBisect(int* values, QuillStream* s, const uint16_t* const* tables, const int* sizes,
                              int count) {
  if (Quill_DecoderStart(s) != 0) return -2;
  for (int i = 0; i < count; ++i) {
    const uint16_t* t = tables[i];
    const uint32_t w = s->rangeWidth;
    const uint32_t v = s->rangeValue;
    int pos = sizes[i] / 2 - 1;
    for (int step = sizes[i] / 4; step >= 1; step /= 2) pos += v > Quill_ScaleEntry(w, t[pos]) ? step : -step;
    const int k = v > Quill_ScaleEntry(w, t[pos]) ? pos : pos - 1;
    // A value at or above the last entry (65535) has no symbol: a corrupt stream.
    if (k < 0 || t[k] == 65535) return -3;
    values[i] = k;
    if (Quill_DecoderNarrow(s, Quill_ScaleEntry(w, t[k]), Quill_ScaleEntry(w, t[k + 1])) != 0) return -2;
  }
  return Quill_DecoderConsumed(s);
}

// ---- Header fields --------------------------------------------------------------------------

int Quill_EncodeFrameLength(QuillStream* s, int frameLength) {
  int v;
  switch (frameLength) {
    case 320: v = 0; break;
    case 480: v = 1; break;
    case 960: v = 2; break;
    default: return -QUILL_ERR_BAD_FRAME_LENGTH;
  }
  const uint16_t* t[1] = {kQuillFrameLengthCdf};
  Quill_EncodeSymbols(s, &v, t, 1);
  return 0;
}

int Quill_DecodeFrameLength(QuillStream* s, int* frameLength) {
  const uint16_t* t[1] = {kQuillFrameLengthCdf};
  const int start = 1;
  int v = 0;
  const int r = Quill_DecodeSymbolsStep(&v, s, t, &start, 1);
  if (r < 0) return -QUILL_ERR_FRAME_LENGTH_FIELD;
  static constexpr int kLengths[3] = {320, 480, 960};
  if (v < 0 || v > 2) return -QUILL_ERR_FRAME_LENGTH_SYMBOL;
  *frameLength = kLengths[v];
  return r;
}

void Quill_EncodeBandwidth(QuillStream* s, int index) {
  const uint16_t* t[1] = {kQuillBandwidthCdf};
  Quill_EncodeSymbols(s, &index, t, 1);
  Quill_BitCheckpoint(s);
}

int Quill_DecodeBandwidth(QuillStream* s, int* index) {
  const uint16_t* t[1] = {kQuillBandwidthCdf};
  const int start = 7;
  const int r = Quill_DecodeSymbolsStep(index, s, t, &start, 1);
  return r < 0 ? -QUILL_ERR_BANDWIDTH_FIELD : r;
}

// ---- Pitch gains ----------------------------------------------------------------------------

int Quill_PitchGainIndex(const int16_t gains[4]) {
  static constexpr int kLow[3] = {-7, -2, -1};
  static constexpr int kHigh[3] = {0, 3, 1};
  double u[4];
  for (int j = 0; j < 4; ++j) {
    double g = gains[j] / 4096.0;
    if (g > 1.0) g = 1.0;
    if (g < -1.0) g = -1.0;
    u[j] = std::asin(g);
  }
  int q[3];
  for (int r = 0; r < 3; ++r) {
    double t = 0.0;
    for (int j = 0; j < 4; ++j) t += kQuillPitchTransform[r][j] * u[j];
    int v = static_cast<int>(std::lround(8.0 * t));
    if (v < kLow[r]) v = kLow[r];
    if (v > kHigh[r]) v = kHigh[r];
    q[r] = v - kLow[r];
  }
  return 18 * q[0] + 3 * q[1] + q[2];
}

namespace {
void pitchGainsFromIndex(int index, int16_t gains[4]) {
  const QuillDerivedTables& t = Quill_Tables();
  for (int j = 0; j < 4; ++j) {
    int16_t g = t.pitchGain[j][index];
    if (j < 3) {
      if (g < 0) g = 0;
      if (g > 1843) g = 1843;
    }
    gains[j] = g;
  }
}
}  // namespace

void Quill_EncodePitchGains(QuillStream* s, int16_t gains[4]) {
  int index = Quill_PitchGainIndex(gains);
  const uint16_t* t[1] = {kQuillPitchGainCdf};
  Quill_EncodeSymbols(s, &index, t, 1);
  Quill_BitCheckpoint(s);
  pitchGainsFromIndex(index, gains);
}

int Quill_DecodePitchGains(QuillStream* s, int16_t gains[4]) {
  const uint16_t* t[1] = {kQuillPitchGainCdf};
  const int size = 256;
  int index = 0;
  const int r = Quill_DecodeSymbolsBisect(&index, s, t, &size, 1);
  if (r < 0 || index > 143) return -QUILL_ERR_PITCH_GAIN_FIELD;
  pitchGainsFromIndex(index, gains);
  return r;
}
