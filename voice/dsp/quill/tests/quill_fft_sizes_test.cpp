// Tests the FFT against a direct DFT for every length from 513 to 2048 (the rest are in quill_fft_test).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

#include "voice/dsp/quill/quill_internal.h"

namespace {

TEST(QuillFftSizes, EveryLengthFrom513To2048MatchesDirectDft) {
  auto ws = std::make_unique<QuillFftWork>();
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n = 513; n <= 2048; ++n) {
    std::vector<std::complex<double>> x(n), w(n);
    for (auto& v : x) v = {u(rng), u(rng)};
    for (int m = 0; m < n; ++m) w[m] = std::polar(1.0, -2.0 * M_PI * m / n);
    std::vector<double> re(n), im(n);
    for (int i = 0; i < n; ++i) re[i] = x[i].real(), im[i] = x[i].imag();
    const int dims[1] = {n};
    ASSERT_EQ((n & 1) ? fftn2(ws.get(), 1, dims, re.data(), im.data(), -1, 1.0)
                      : fftn(ws.get(), 1, dims, re.data(), im.data(), -1, 1.0),
              0)
        << n;
    double err = 0.0, mag = 0.0;
    for (int k = 0; k < n; ++k) {
      std::complex<double> acc = 0.0;
      int m = 0;
      for (int t = 0; t < n; ++t) {
        acc += x[t] * w[m];
        m += k;
        if (m >= n) m -= n;
      }
      err = std::max(err, std::abs(std::complex<double>(re[k], im[k]) - acc));
      mag = std::max(mag, std::abs(acc));
    }
    ASSERT_LT(err / mag, 1e-11) << "n=" << n;
  }
}

}  // namespace
