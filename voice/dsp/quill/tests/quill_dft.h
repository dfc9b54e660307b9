// Reference for the FFT tests: a direct DFT, random complex vectors and the relative error of a result.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace quilltest {

using Cvec = std::vector<std::complex<double>>;

// y[k] = sum over t of x[t] e^(sign 2 pi i k t / n), by the definition.
inline Cvec dft(const Cvec& x, int sign) {
  const size_t n = x.size();
  Cvec w(n);
  for (size_t m = 0; m < n; ++m) {
    const double a = sign * 2.0 * M_PI * static_cast<double>(m) / static_cast<double>(n);
    w[m] = {std::cos(a), std::sin(a)};
  }
  Cvec y(n);
  for (size_t k = 0; k < n; ++k) {
    std::complex<double> acc = 0.0;
    size_t m = 0;
    for (size_t t = 0; t < n; ++t) {
      acc += x[t] * w[m];
      m += k;
      if (m >= n) m -= n;
    }
    y[k] = acc;
  }
  return y;
}

// n values with real and imaginary parts drawn uniformly from [-1, 1).
inline Cvec randomVec(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Cvec x(n);
  for (auto& v : x) v = {u(rng), u(rng)};
  return x;
}

inline Cvec randomVec(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  return randomVec(n, rng);
}

// Largest error relative to the largest magnitude of the reference.
inline double relError(const std::vector<double>& re, const std::vector<double>& im, const Cvec& ref) {
  double err = 0.0, mag = 1e-300;
  for (size_t i = 0; i < ref.size(); ++i) {
    err = std::max(err, std::abs(std::complex<double>(re[i], im[i]) - ref[i]));
    mag = std::max(mag, std::abs(ref[i]));
  }
  return err / mag;
}

}  // namespace quilltest
