// Deterministic test signals for the Ostrel codec tests and fuzz seeds.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace ostrel_test {

inline int16_t Clip(double v) { return static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0))); }

// Voiced bursts (a resonant filter driven by pitch pulses and a little noise) between pauses of near silence.
inline std::vector<int16_t> SpeechLike(int n, int rate, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<int16_t> x(static_cast<size_t>(n));
  const double pi = std::acos(-1.0);
  double y1 = 0, y2 = 0, z1 = 0, z2 = 0;
  const int period = rate / 120;
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double envelope = std::max(0.0, std::sin(2 * pi * 1.3 * t)) * (0.6 + 0.4 * std::sin(2 * pi * 0.31 * t));
    const double excitation = (i % period == 0 ? 9000.0 : 0.0) + 300.0 * noise(rng);
    // Two resonances (about 700 Hz and 1800 Hz, or 700 Hz and 2500 Hz at 16 kHz).
    const double f1 = 700.0, f2 = rate > 8000 ? 2500.0 : 1800.0, r = 0.96;
    const double y = excitation + 2 * r * std::cos(2 * pi * f1 / rate) * y1 - r * r * y2;
    y2 = y1;
    y1 = y;
    const double z = y + 2 * r * std::cos(2 * pi * f2 / rate) * z1 - r * r * z2;
    z2 = z1;
    z1 = z;
    x[static_cast<size_t>(i)] = Clip(0.05 * envelope * z + 20.0 * noise(rng));
  }
  return x;
}

inline std::vector<int16_t> WhiteNoise(int n, double sigma, unsigned seed = 3) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, sigma);
  std::vector<int16_t> x(static_cast<size_t>(n));
  for (auto& v : x) v = Clip(nd(rng));
  return x;
}

inline std::vector<int16_t> Sine(int n, int rate, double hz, double amplitude) {
  std::vector<int16_t> x(static_cast<size_t>(n));
  const double pi = std::acos(-1.0);
  for (int i = 0; i < n; ++i) x[static_cast<size_t>(i)] = Clip(amplitude * std::sin(2 * pi * hz * i / rate));
  return x;
}

}  // namespace ostrel_test
