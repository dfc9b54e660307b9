// Tests of the mixed-radix FFT against a direct DFT, with dimensions, strides, scaling and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "voice/dsp/quill/quill_internal.h"
#include "voice/dsp/quill/tests/quill_dft.h"

namespace {

using quilltest::Cvec;
using quilltest::dft;
using quilltest::randomVec;
using quilltest::relError;

struct Work {
  std::unique_ptr<QuillFftWork> ws = std::make_unique<QuillFftWork>();
};

TEST(QuillFft, EverySizeUpTo512MatchesDirectDftBothCopiesBothDirections) {
  Work w;
  for (int n = 1; n <= 512; ++n) {
    const Cvec x = randomVec(n, n);
    for (int sign : {-1, 1}) {
      const Cvec ref = dft(x, sign);
      for (int copy = 0; copy < 2; ++copy) {
        std::vector<double> re(n), im(n);
        for (int i = 0; i < n; ++i) re[i] = x[i].real(), im[i] = x[i].imag();
        const int dims[1] = {n};
        const int r = copy == 0 ? fftn(w.ws.get(), 1, dims, re.data(), im.data(), sign, 1.0)
                                : fftn2(w.ws.get(), 1, dims, re.data(), im.data(), sign, 1.0);
        ASSERT_EQ(r, 0) << n;
        ASSERT_LT(relError(re, im, ref), 1e-12) << "n=" << n << " sign=" << sign << " copy=" << copy;
      }
    }
  }
}

TEST(QuillFft, LargerSizesWithinTheWorkSpace) {
  Work w;
  // Large primes (general odd butterfly), a long middle permutation, powers of two and mixed lengths.
  for (int n : {2039, 2048, 1155, 2002, 1728, 4096, 3000, 6561, 15625}) {
    const Cvec x = randomVec(n, n);
    const Cvec ref = dft(x, -1);
    std::vector<double> re(n), im(n);
    for (int i = 0; i < n; ++i) re[i] = x[i].real(), im[i] = x[i].imag();
    const int dims[1] = {n};
    ASSERT_EQ(fftn(w.ws.get(), 1, dims, re.data(), im.data(), -1, 1.0), 0) << n;
    EXPECT_LT(relError(re, im, ref), 1e-11) << n;
  }
}

TEST(QuillFft, ForwardThenScaledInverseRestores240) {
  Work w;
  const Cvec x = randomVec(240, 7);
  std::vector<double> re(240), im(240);
  for (int i = 0; i < 240; ++i) re[i] = x[i].real(), im[i] = x[i].imag();
  const int dims[1] = {240};
  ASSERT_EQ(fftn(w.ws.get(), 1, dims, re.data(), im.data(), -1, 1.0), 0);
  EXPECT_EQ(w.ws->factorCount, 4);
  EXPECT_EQ(w.ws->factors[0], 4);
  EXPECT_EQ(w.ws->factors[1], 3);
  EXPECT_EQ(w.ws->factors[2], 5);
  EXPECT_EQ(w.ws->factors[3], 4);
  ASSERT_EQ(fftn2(w.ws.get(), 1, dims, re.data(), im.data(), 1, 240.0), 0);
  for (int i = 0; i < 240; ++i) {
    EXPECT_NEAR(re[i], x[i].real(), 1e-13);
    EXPECT_NEAR(im[i], x[i].imag(), 1e-13);
  }
}

TEST(QuillFft, TwoDimensionsWithStrideAndZeroTerminatedLengths) {
  Work w;
  const int n0 = 12, n1 = 20, n = n0 * n1;
  const Cvec x = randomVec(n, 3);
  // Reference: transform along dimension 0 (fastest), then dimension 1.
  Cvec ref = x;
  for (int j = 0; j < n1; ++j) {
    Cvec row(n0);
    for (int i = 0; i < n0; ++i) row[i] = ref[j * n0 + i];
    row = dft(row, -1);
    for (int i = 0; i < n0; ++i) ref[j * n0 + i] = row[i];
  }
  for (int i = 0; i < n0; ++i) {
    Cvec col(n1);
    for (int j = 0; j < n1; ++j) col[j] = ref[j * n0 + i];
    col = dft(col, -1);
    for (int j = 0; j < n1; ++j) ref[j * n0 + i] = col[j];
  }
  // Interleaved storage with the element spacing 2 given by the sign's magnitude.
  std::vector<double> re(2 * n, 99.0), im(2 * n, 99.0);
  for (int i = 0; i < n; ++i) re[2 * i] = x[i].real(), im[2 * i] = x[i].imag();
  const int dims[3] = {n0, n1, 0};
  ASSERT_EQ(fftn(w.ws.get(), 0, dims, re.data(), im.data(), -2, 1.0), 0);
  std::vector<double> r2(n), i2(n);
  for (int i = 0; i < n; ++i) {
    r2[i] = re[2 * i];
    i2[i] = im[2 * i];
    EXPECT_EQ(re[2 * i + 1], 99.0);  // the gaps are not touched
  }
  EXPECT_LT(relError(r2, i2, ref), 1e-12);
}

TEST(QuillFft, ScalingRules) {
  Work w;
  const int dims[1] = {30};
  for (double scaling : {-1.0, -2.0, 0.0, 1.0, 5.0}) {
    std::vector<double> re(30, 1.0), im(30, 0.0);
    ASSERT_EQ(fftn(w.ws.get(), 1, dims, re.data(), im.data(), -1, scaling), 0);
    const double expect = scaling < 0 ? 1.0 : (scaling == 0.0 || scaling == 1.0 ? 30.0 : 6.0);
    EXPECT_NEAR(re[0], expect, 1e-12) << scaling;
  }
  // Stride 2: every element of the transform is scaled, not only those below the point count.
  std::vector<double> re(60, 0.0), im(60, 0.0);
  for (int i = 0; i < 30; ++i) re[2 * i] = 1.0;
  ASSERT_EQ(fftn(w.ws.get(), 1, dims, re.data(), im.data(), 2, -1.0), 0);
  EXPECT_NEAR(re[0], 1.0, 1e-12);
  // A first length of 0: no transform, only the scaling (of one point).
  std::vector<double> one{4.0}, zero{2.0};
  const int none[1] = {0};
  ASSERT_EQ(fftn(w.ws.get(), 1, none, one.data(), zero.data(), -1, 2.0), 0);
  EXPECT_EQ(one[0], 2.0);
  EXPECT_EQ(zero[0], 1.0);
}

TEST(QuillFft, LengthOneAndRadixPassBelowTwoLeaveDataAlone) {
  Work w;
  double re[2] = {3.0, 5.0}, im[2] = {4.0, 6.0};
  const int dims[1] = {1};
  ASSERT_EQ(fftn(w.ws.get(), 1, dims, re, im, -1, 1.0), 0);
  EXPECT_EQ(re[0], 3.0);
  EXPECT_EQ(fftradix(w.ws.get(), re, im, 2, 1, 1, -1, 1, 1), 0);
  EXPECT_EQ(fftradix2(w.ws.get(), re, im, 2, 0, 1, -1, 1, 1), 0);
  EXPECT_EQ(re[1], 5.0);
}

struct Refusal {
  int length;
  bool encoderCopy;
  const char* text;
};

TEST(QuillFft, RefusedLengthsPrintTheirCopysTextsAndResetTheRecordedSizes) {
  Work w;
  const Refusal cases[] = {
      {1 << 23, true, "Error: fftradix() - exceeded number of factors\nError: fftradix() - insufficient memory.\n"},
      {1 << 23, false, "Error: fftradix2() - exceeded number of factors\nError: fftradix2() - insufficient memory.\n"},
      {2053, true, "Error: fftradix() - insufficient memory.\n"},            // prime above the work space
      {2 * 3 * 5 * 7 * 11, false, "Error: fftradix2() - insufficient memory.\n"},  // permutation too long
      {-4, true, "Error: fftn() - dimension error\n"},
      {-4, false, "Error: fftn2() - dimension error\n"},
  };
  for (const Refusal& c : cases) {
    // Refused before any element is touched: a one-element array (ASan would see a stray access).
    std::vector<double> re(1, 0.0), im(1, 0.0);
    const int dims[2] = {c.length, 0};
    testing::internal::CaptureStderr();
    const int r = c.encoderCopy ? fftn(w.ws.get(), c.length < 0 ? 0 : 1, dims, re.data(), im.data(), -1, 1.0)
                                : fftn2(w.ws.get(), c.length < 0 ? 0 : 1, dims, re.data(), im.data(), -1, 1.0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -1) << c.length;
    EXPECT_EQ(err, c.text) << c.length;
    EXPECT_EQ(w.ws->maxFactorSeen, 0);
    EXPECT_EQ(w.ws->maxPermSeen, 0);
  }
  // A length of 0 among given dimensions is a dimension error too.
  double re[1] = {0}, im[1] = {0};
  const int dims[2] = {4, 0};
  testing::internal::CaptureStderr();
  EXPECT_EQ(fftn(w.ws.get(), 2, dims, re, im, -1, 1.0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: fftn() - dimension error\n");
}

TEST(QuillFft, SeparateWorkSpacesTransformAtTheSameTime) {
  const Cvec x = randomVec(240, 11);
  const Cvec ref = dft(x, -1);
  auto run = [&](double* err) {
    Work w;
    double worst = 0.0;
    for (int rep = 0; rep < 200; ++rep) {
      std::vector<double> re(240), im(240);
      for (int i = 0; i < 240; ++i) re[i] = x[i].real(), im[i] = x[i].imag();
      const int dims[1] = {240};
      fftn(w.ws.get(), 1, dims, re.data(), im.data(), -1, 1.0);
      worst = std::max(worst, relError(re, im, ref));
    }
    *err = worst;
  };
  double e1 = 1, e2 = 1;
  std::thread t1(run, &e1), t2(run, &e2);
  t1.join();
  t2.join();
  EXPECT_LT(e1, 1e-12);
  EXPECT_LT(e2, 1e-12);
}

}  // namespace
