// Digital automatic gain control: frame analysis, envelope, gate, limiter and gain ramps.
#include "voice/dsp/processing/agc.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "voice/dsp/resample.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int kSubFrames = 10;
// Gain curve (Q16) by the envelope's leading zero count; entry 0 is the value before G[0].
constexpr int32_t kGainCurve[33] = {2112120, 47170,  65536,  90660,  118670, 129666, 130696,
                                    130758,  130761, 130761, 130762, 130762, 130762, 130762,
                                    130762,  130762, 130762, 130762, 130762, 130762, 130762,
                                    130762,  130762, 130762, 130762, 130762, 130762, 130762,
                                    130762,  130762, 130762, 130762, 130762};
constexpr int32_t kGainFloor = 47170;  // G[0]

int32_t gainCurve(int z) { return kGainCurve[z + 1]; }

// Leading zeros of a non-negative 32-bit value; an empty value counts as the quietest (31).
int leadingZeros(int32_t v) {
  if (v <= 0) return 31;
  return std::min(31, std::countl_zero(static_cast<uint32_t>(v)));
}

// log2 estimate in Q9 as 512 * leading zeros minus the next 9 mantissa bits (larger = quieter).
int32_t negLog2Q9(int32_t v) {
  const int z = leadingZeros(v);
  if (v <= 0) return 512 * z;
  const uint32_t n = static_cast<uint32_t>(v) << z;
  return 512 * z - static_cast<int32_t>((n >> 22) & 0x1ff);
}

// Lowers a Q16 gain in steps of 253/256 until it keeps the squared peak within full scale.
int32_t limitGain(int32_t gain, int32_t peak) {
  const int64_t p = (int64_t{peak} >> 12) + 1;
  for (;;) {
    const int64_t g = (int64_t{gain} >> 10) + 1;
    if (((g * g * p) >> 13) <= 0x1fffc) return gain;
    gain = static_cast<int32_t>((int64_t{gain} * 253) >> 8);
  }
}

// Q16 product a * b >> 16 formed at 64 bits.
int32_t mulQ16(int64_t a, int64_t b) { return static_cast<int32_t>((a * b) >> 16); }

}  // namespace

void Agc_InitBand(AgcBandState* s) {
  std::memset(s, 0, sizeof(*s));
  s->counter = 3;
  s->longMean = 15360;
  s->longMeanSquare = 128000;
  s->shortMean = 15360;
  s->shortMeanSquare = 128000;
}

int Agc_Init(AgcInst* inst) {
  if (inst == nullptr) return -1;
  inst->envelope = 0x8000000;
  inst->peakTracker = 0;
  inst->lastGain = 0x10000;
  inst->gate = 0;
  Agc_InitBand(&inst->nearState);
  Agc_InitBand(&inst->farState);
  return 0;
}

void Agc_Version(char* text) {
  if (text != nullptr) std::memcpy(text, kAgcVersion, sizeof(kAgcVersion));
}

int16_t Agc_AnalyzeFrame(const int16_t* samples, AgcBandState* s, int length) {
  if (samples == nullptr || s == nullptr) return 0;
  if (length != 80 && length != 160) return s->score;
  const bool wide = length == 160;
  uint32_t energy = 0;
  for (int b = 0; b < kSubFrames; ++b) {
    int16_t block[8];
    if (wide) {
      const int16_t* p = samples + 16 * b;
      for (int i = 0; i < 8; ++i) block[i] = static_cast<int16_t>((int32_t{p[2 * i]} + p[2 * i + 1]) >> 1);
    } else {
      std::memcpy(block, samples + 8 * b, sizeof(block));
    }
    int16_t half[4];
    Resample_DownBy2(block, 8, half, s->downState);
    for (int i = 0; i < 4; ++i) {
      const int32_t v = int32_t{half[i]} + s->filterMemory;
      energy += static_cast<uint32_t>((int64_t{v} * v) >> 6);
      s->filterMemory = Spl_SatW16(((600 * v) >> 10) - half[i]);
    }
  }

  // Log energy, Q11. An empty frame takes the lowest level rather than wrapping to the highest.
  int32_t level;
  if (energy == 0) {
    level = -32768;
  } else {
    // The normalised value always has its top bit set, so the correction term is 0.
    const int z = std::countl_zero(energy);
    level = (15 - z) * 2048;
  }

  if (s->counter < 250) ++s->counter;
  const int32_t n = s->counter;

  auto deviation = [](int32_t meanSquare, int32_t mean) {
    // A radicand driven below zero by rounding means no deviation.
    const int64_t r = (int64_t{meanSquare} << 12) - int64_t{mean} * mean;
    if (r <= 0) return int16_t{0};
    const int32_t d = Spl_SqrtW32(static_cast<int32_t>(std::min<int64_t>(r, INT32_MAX)));
    return static_cast<int16_t>(std::min(d, int32_t{32767}));
  };

  const int32_t sq = (level * level) >> 12;
  s->shortMean = static_cast<int16_t>((level + 15 * int32_t{s->shortMean}) >> 4);
  s->shortMeanSquare = (sq + 15 * s->shortMeanSquare) >> 4;
  s->shortDeviation = deviation(s->shortMeanSquare, s->shortMean);

  s->longMean = static_cast<int16_t>((n * s->longMean + level) / (n + 1));
  s->longMeanSquare = static_cast<int32_t>((int64_t{n} * s->longMeanSquare + sq) / (n + 1));
  s->longDeviation = deviation(s->longMeanSquare, s->longMean);

  // A steady level makes the deviation 0; it is taken as 1 so the score never divides by zero.
  const int32_t dev = std::max<int32_t>(s->longDeviation, 1);
  int32_t score = (((level - s->longMean) * 12288) / dev + ((int32_t{s->score} * 53248) >> 10)) >> 6;
  score = std::clamp(score, -2048, 2048);
  s->score = static_cast<int16_t>(score);
  return s->score;
}

int Agc_AddFarEnd(const int16_t* samples, AgcInst* inst, int rate) {
  if (inst == nullptr || samples == nullptr) return -1;
  if (rate != 8000 && rate != 16000) return -1;
  Agc_AnalyzeFrame(samples, &inst->farState, rate / 100);
  return 0;
}

int Agc_Process(const int16_t* in, int16_t* out, AgcInst* inst, int rate) {
  if (inst == nullptr || in == nullptr || out == nullptr) return -1;
  if (rate != 8000 && rate != 16000) return -1;
  const int length = rate / 100;
  const int sub = length / kSubFrames;      // 8 or 16 samples
  const int shift = rate == 8000 ? 3 : 4;   // log2(sub)

  if (out != in) std::memmove(out, in, sizeof(int16_t) * length);

  // 1. Speech score, lowered by the far end's so that echo is not taken for near-end speech.
  int32_t score = Agc_AnalyzeFrame(out, &inst->nearState, length);
  if (inst->farState.counter > 10) score = (3 * score - inst->farState.score) >> 2;

  // 2. Envelope decay factor: faster for speech-like frames, none for steady signals.
  int32_t decay;
  if (score > 1024)
    decay = -131;
  else if (score >= 100)
    decay = ((100 - score) * 145) >> 10;
  else
    decay = 0;
  const int32_t v = inst->nearState.longDeviation;
  if (v < 4000)
    decay = 0;
  else if (v < 8096)
    decay = ((v - 4000) * decay) >> 12;

  // 3. Squared peak of each sub-frame.
  int32_t peak[kSubFrames];
  for (int k = 0; k < kSubFrames; ++k) {
    int32_t m = 0;
    for (int i = 0; i < sub; ++i) {
      const int32_t x = out[k * sub + i];
      m = std::max(m, x * x);
    }
    peak[k] = m;
  }

  // 4. Peak tracker, envelope and the gain curve.
  int32_t gain[kSubFrames];
  for (int k = 0; k < kSubFrames; ++k) {
    int32_t t = inst->peakTracker - mulQ16(inst->peakTracker, 1500);
    inst->peakTracker = std::max(t, peak[k]);
    if (peak[k] > inst->envelope)
      inst->envelope += mulQ16(int64_t{peak[k]} - inst->envelope, 500);
    else
      inst->envelope += mulQ16(inst->envelope, decay);
    if (inst->envelope < 0) inst->envelope = 0;
    const int z = leadingZeros(inst->envelope);
    const uint32_t norm = inst->envelope > 0 ? static_cast<uint32_t>(inst->envelope) << z : 0;
    const int64_t frac = (norm >> 19) & 0xfff;
    gain[k] = static_cast<int32_t>(gainCurve(z) + ((frac * (int64_t{gainCurve(z - 1)} - gainCurve(z))) >> 12));
  }

  // 5. Gate: in pauses (envelope well above the current peak) pull the gains towards G[0].
  const int32_t d32 = negLog2Q9(inst->peakTracker) - inst->nearState.shortDeviation -
                      negLog2Q9(inst->envelope) + 1000;
  const int32_t d = Spl_SatW16(d32);
  if (d >= 0)
    inst->gate = static_cast<int16_t>((7 * int32_t{inst->gate} + d) >> 3);
  else
    inst->gate = 0;
  if (d > 0) {
    const int32_t f = d < 2500 ? 178 + ((2500 - d) >> 5) : 178;
    for (int k = 0; k < kSubFrames; ++k) gain[k] = (((gain[k] - kGainFloor) * f) >> 8) + kGainFloor;
  }

  // 6. Limiter: (gain * peak) must stay within full scale.
  for (int k = 0; k < kSubFrames; ++k) gain[k] = limitGain(gain[k], peak[k]);

  // 7. Look ahead one sub-frame.
  for (int k = 0; k < kSubFrames - 1; ++k) gain[k] = std::min(gain[k], gain[k + 1]);

  // 8. Apply with a linear ramp per sub-frame. The ramp out of the previous frame's gain is not
  // limited for this frame's first peak, so the first sub-frame saturates; the later ones stay
  // within the limiter's bound.
  int32_t prev = inst->lastGain;
  for (int k = 0; k < kSubFrames; ++k) {
    int64_t g16 = int64_t{prev} << 4;
    const int64_t step = (int64_t{gain[k]} - prev) * (int64_t{1} << (4 - shift));
    for (int i = 0; i < sub; ++i) {
      int16_t& x = out[k * sub + i];
      x = Spl_SatW16((int64_t{x} * (g16 >> 4)) >> 16);
      g16 += step;
    }
    prev = gain[k];
  }
  inst->lastGain = prev;
  return 0;
}
