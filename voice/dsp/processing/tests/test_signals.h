// Test signals for the voice-processing tests: synthetic speech, noise, tones, echo paths and measures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vproc_test {

// Speech spoken by espeak-ng and resampled by sox to `rate` (8000 or 16000), cached in the build tree.
// `talker` 0 and 1 are two different voices and texts. Empty (with *error set) when the tools fail.
std::vector<int16_t> Speech(int rate, int talker, std::string* error);

// Seeded Gaussian white noise of the given RMS.
std::vector<int16_t> WhiteNoise(size_t n, double rms, uint32_t seed);
// Seeded noise with a 1/f-like spectrum (sum of a few one-pole low-passed noises), given RMS.
std::vector<int16_t> PinkNoise(size_t n, double rms, uint32_t seed);
std::vector<int16_t> Tone(size_t n, int rate, double hz, double amplitude);

// x scaled so that its RMS over the active (non-silent) part is `rms`.
std::vector<int16_t> ScaleToActiveRms(const std::vector<int16_t>& x, double rms);
std::vector<int16_t> Add(const std::vector<int16_t>& a, const std::vector<int16_t>& b);

double Rms(const int16_t* x, size_t n);
double Rms(const std::vector<int16_t>& x);
double Energy(const int16_t* x, size_t n);
double DbFs(double rms);  // 20 log10(rms / 32768)

// Per-frame speech labels of a clean signal: frames whose RMS is within 30 dB of the loudest frame.
std::vector<int> SpeechLabels(const std::vector<int16_t>& clean, int frame);

// Echo of `far` through a room: `delay` samples of pure delay, then an exponentially decaying random
// impulse response of `tailMs` (T60) at `rate`, scaled to an echo return loss of `erlDb` dB.
std::vector<int16_t> EchoOf(const std::vector<int16_t>& far, int rate, int delay, double tailMs, double erlDb,
                            uint32_t seed);

}  // namespace vproc_test
