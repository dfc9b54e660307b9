// Tests the FFT against a direct DFT for every length from 513 to 2048 (the rest are in quill_fft_test).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

#include "voice/dsp/quill/quill_internal.h"
#include "voice/dsp/quill/tests/quill_dft.h"

namespace {

TEST(QuillFftSizes, EveryLengthFrom513To2048MatchesDirectDft) {
  auto ws = std::make_unique<QuillFftWork>();
  std::mt19937 rng(17);
  for (int n = 513; n <= 2048; ++n) {
    const quilltest::Cvec x = quilltest::randomVec(n, rng);
    std::vector<double> re(n), im(n);
    for (int i = 0; i < n; ++i) re[i] = x[i].real(), im[i] = x[i].imag();
    const int dims[1] = {n};
    ASSERT_EQ((n & 1) ? fftn2(ws.get(), 1, dims, re.data(), im.data(), -1, 1.0)
                      : fftn(ws.get(), 1, dims, re.data(), im.data(), -1, 1.0),
              0)
        << n;
    ASSERT_LT(quilltest::relError(re, im, quilltest::dft(x, -1)), 1e-11) << "n=" << n;
  }
}

}  // namespace
