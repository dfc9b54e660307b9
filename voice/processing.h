// Small signal-processing pieces of the engine's paths: rate converters, level meter, high-pass filter, DTMF tones, VAD.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// 48000 <-> 16000 Hz converters between the sound card and the engine.
// ---------------------------------------------------------------------------
class Rate48To16 {
 public:
  Rate48To16() { Reset(); }
  void Reset();
  // 480 samples at 48000 Hz (any multiple of 480 is taken piece by piece) become count / 3 samples.
  void Convert(const int16_t* in, int count, int16_t* out);

 private:
  int32_t lowpassState_[16];
  int32_t downState_[8];
  int32_t carry_[8];  // last low-pass results, read again by the next block's 3-to-2 stage
};

class Rate16To48 {
 public:
  Rate16To48() { Reset(); }
  void Reset();
  // 160 samples at 16000 Hz become 480 at 48000 Hz.
  void Convert(const int16_t* in, int16_t* out);

 private:
  int32_t upState_[8];
  int32_t upOutState_[8];
  int32_t carry_[8];
};

// ---------------------------------------------------------------------------
// Rate doubling (8000 -> 16000 Hz) and halving (16000 -> 8000 Hz).
// ---------------------------------------------------------------------------
// Two branches of three first-order all-pass sections; n inputs give 2n outputs.
class RateDoubler {
 public:
  RateDoubler() { Reset(); }
  void Reset();
  void Process(const int16_t* in, int count, int16_t* out);

 private:
  int32_t state_[8];
};

class RateHalver {
 public:
  RateHalver() { Reset(); }
  void Reset();
  // count inputs (even) give count / 2 outputs.
  void Process(const int16_t* in, int count, int16_t* out);

 private:
  int32_t state_[8];
};

// ---------------------------------------------------------------------------
// Resampler of any file rate to 16000 Hz.
// ---------------------------------------------------------------------------
struct SonraResamplerTo16 {
  int mode = 0;              // input rate in kHz: 8, 11, 12, 16, 22, 24, 32, 44 or 48
  int needed = 0;            // fractional stage: inputs needed, advance, outputs
  int advance = 0;
  int produced = 0;
  int32_t upState[8] = {};
  int32_t downState[8] = {};
  int32_t buffer[64] = {};   // inputs waiting for the fractional stage
  int buffered = 0;
};

// 0, or -1 for a mode not in the list.
int Sonra_ResamplerTo16_init(SonraResamplerTo16* state, int mode);
// Resamples count inputs; writes the outputs (at most capacity) and their count. 0 or -1.
int Sonra_ResamplerTo16(SonraResamplerTo16* state, const int16_t* in, int count, int16_t* out,
                        int* outCount, int capacity);

// ---------------------------------------------------------------------------
// G.711 sample converters for files: count samples, or -1 for a negative count.
// ---------------------------------------------------------------------------
int Sonra_AlawToLinear(const uint8_t* in, int16_t* out, int count);
int Sonra_UlawToLinear(const uint8_t* in, int16_t* out, int count);
int Sonra_LinearToAlaw(const int16_t* in, uint8_t* out, int count);
int Sonra_LinearToUlaw(const int16_t* in, uint8_t* out, int count);

// ---------------------------------------------------------------------------
// Peak level meter, 0..9, updated every 11th block.
// ---------------------------------------------------------------------------
class LevelMeter {
 public:
  void Reset();
  void Process(const int16_t* samples, int count);
  int Level() const { return level_; }

 private:
  int32_t peak_ = 0;
  int calls_ = 0;
  int level_ = 0;
};

// ---------------------------------------------------------------------------
// Fifth-order high-pass filter of the microphone (8000 and 16000 Hz).
// ---------------------------------------------------------------------------
class HighPassFilter {
 public:
  HighPassFilter() { Reset(); }
  void Reset();
  // Filters in place; returns the count, or 65535 for a rate other than 8000/16000 or more than 320 samples.
  int Filter(int16_t* frame, int count, int rate);

 private:
  double x_[2][5];
  double y_[2][5];
};

// ---------------------------------------------------------------------------
// DTMF tone generator: two resonators, the row 3 dB below the column.
// ---------------------------------------------------------------------------
class DtmfToneGenerator {
 public:
  DtmfToneGenerator() { Restart(); }
  void Restart();
  // Writes count samples of the digit's tone (digit 0..15, attenuation 0..35 dB) over frame.
  // 0, or -1 for a rate other than 8000/16000 or a digit outside 0..15.
  int Tone(int16_t* frame, int digit, int attenuationDb, int count, int rate);

 private:
  int32_t row_[2];
  int32_t column_[2];
  bool newTone_ = true;
};

// Row and column frequencies of a digit (10 = *, 11 = #, 12..15 = A..D).
void Sonra_DtmfFrequencies(int digit, int* rowHz, int* columnHz);
