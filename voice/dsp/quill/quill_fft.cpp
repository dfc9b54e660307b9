// Mixed-radix in-place complex FFT of any length and dimension (Singleton's factorisation), two copies.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "voice/dsp/quill/quill_internal.h"

namespace {

struct FftNames {
  const char* dimension;
  const char* factors;
  const char* memory;
};
constexpr FftNames kEncoderNames = {"Error: fftn() - dimension error\n",
                                    "Error: fftradix() - exceeded number of factors\n",
                                    "Error: fftradix() - insufficient memory.\n"};
constexpr FftNames kDecoderNames = {"Error: fftn2() - dimension error\n",
                                    "Error: fftradix2() - exceeded number of factors\n",
                                    "Error: fftradix2() - insufficient memory.\n"};

constexpr int32_t kLeader = 1 << 30;
constexpr int32_t kVisited = 1 << 29;
constexpr int32_t kIndexMask = kVisited - 1;

void resetSizes(QuillFftWork* ws) {
  ws->maxFactorSeen = 0;
  ws->maxPermSeen = 0;
}

// Factor list with the square factors at both ends (so most of the reordering is pairwise swaps).
// Returns the number of factors (may exceed the list), and the count of square factors.
int factorise(size_t n, int32_t* out, int* squares) {
  int count = 0;
  auto push = [&](size_t f) {
    if (count < kQuillFftMaxFactors) out[count] = static_cast<int32_t>(f);
    ++count;
  };
  while (n % 16 == 0) {
    push(4);
    n /= 16;
  }
  for (size_t j = 3; j * j <= n; j += 2) {
    while (n % (j * j) == 0) {
      push(j);
      n /= j * j;
    }
  }
  int sq;
  if (n <= 4) {
    sq = count;
    if (n != 1) push(n);
  } else {
    if (n % 4 == 0) {
      push(2);
      n /= 4;
    }
    sq = count;
    for (size_t j = 2; j <= n; j = (j == 2) ? 3 : j + 2) {
      if (n % j == 0) {
        push(j);
        n /= j;
      }
    }
  }
  for (int i = sq - 1; i >= 0; --i) push(i < kQuillFftMaxFactors ? static_cast<size_t>(out[i]) : 1);
  *squares = sq;
  return count;
}

struct Cx {
  double re, im;
};
inline Cx mul(Cx a, Cx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }

// One vector of n points at re[idx(p)], im[idx(p)], idx(p) = (base + p * step) * inc.
struct Vec {
  double* re;
  double* im;
  size_t base, step, inc;
  size_t at(size_t p) const { return (base + p * step) * inc; }
};

// Decimation in frequency over the factor list; the result is left in digit-reversed order.
void butterflies(QuillFftWork* ws, const Vec& v, size_t n, const int32_t* factors, int nf, int sign) {
  const double s = sign < 0 ? -1.0 : 1.0;
  const double sin60 = s * 0.86602540378443864676;
  const double c72 = 0.30901699437494742410, s72 = s * 0.95105651629515357212;
  const double c144 = -0.80901699437494742410, s144 = s * 0.58778525229247312917;
  size_t span = n;
  for (int fi = 0; fi < nf; ++fi) {
    const size_t f = static_cast<size_t>(factors[fi]);
    const size_t m = span / f;
    if (f > 5) {
      for (size_t j = 0; j < f; ++j) {
        const double a = 2.0 * M_PI * static_cast<double>(j) / static_cast<double>(f);
        ws->cosines[j] = std::cos(a);
        ws->sines[j] = s * std::sin(a);
      }
    }
    // Rotation by the base angle 2 pi / span, advanced by recurrence.
    const double theta = s * 2.0 * M_PI / static_cast<double>(span);
    const double sh = std::sin(0.5 * theta);
    const double cd = 2.0 * sh * sh;
    const double sd = std::sin(theta);
    Cx w{1.0, 0.0};
    for (size_t k = 0; k < m; ++k) {
      Cx wf = w;  // w^f, for the general odd radix
      if (f > 5) {
        wf = {1.0, 0.0};
        for (size_t e = 0; e < f; ++e) wf = mul(wf, w);
      }
      for (size_t block = 0; block < n; block += span) {
        const size_t b = block + k;
        Cx y[5];
        if (f == 2) {
          const Cx x0{v.re[v.at(b)], v.im[v.at(b)]}, x1{v.re[v.at(b + m)], v.im[v.at(b + m)]};
          y[0] = {x0.re + x1.re, x0.im + x1.im};
          y[1] = {x0.re - x1.re, x0.im - x1.im};
        } else if (f == 3) {
          const Cx x0{v.re[v.at(b)], v.im[v.at(b)]}, x1{v.re[v.at(b + m)], v.im[v.at(b + m)]},
              x2{v.re[v.at(b + 2 * m)], v.im[v.at(b + 2 * m)]};
          const Cx t{x1.re + x2.re, x1.im + x2.im}, d{x1.re - x2.re, x1.im - x2.im};
          const Cx c{x0.re - 0.5 * t.re, x0.im - 0.5 * t.im};
          y[0] = {x0.re + t.re, x0.im + t.im};
          y[1] = {c.re - sin60 * d.im, c.im + sin60 * d.re};
          y[2] = {c.re + sin60 * d.im, c.im - sin60 * d.re};
        } else if (f == 4) {
          const Cx x0{v.re[v.at(b)], v.im[v.at(b)]}, x1{v.re[v.at(b + m)], v.im[v.at(b + m)]},
              x2{v.re[v.at(b + 2 * m)], v.im[v.at(b + 2 * m)]}, x3{v.re[v.at(b + 3 * m)], v.im[v.at(b + 3 * m)]};
          const Cx a{x0.re + x2.re, x0.im + x2.im}, c{x0.re - x2.re, x0.im - x2.im};
          const Cx bb{x1.re + x3.re, x1.im + x3.im}, d{x1.re - x3.re, x1.im - x3.im};
          // W4 = s i: y1 = c + s i d, y3 = c - s i d.
          y[0] = {a.re + bb.re, a.im + bb.im};
          y[2] = {a.re - bb.re, a.im - bb.im};
          y[1] = {c.re - s * d.im, c.im + s * d.re};
          y[3] = {c.re + s * d.im, c.im - s * d.re};
        } else if (f == 5) {
          Cx x[5];
          for (size_t j = 0; j < 5; ++j) x[j] = {v.re[v.at(b + j * m)], v.im[v.at(b + j * m)]};
          const Cx a1{x[1].re + x[4].re, x[1].im + x[4].im}, b1{x[1].re - x[4].re, x[1].im - x[4].im};
          const Cx a2{x[2].re + x[3].re, x[2].im + x[3].im}, b2{x[2].re - x[3].re, x[2].im - x[3].im};
          y[0] = {x[0].re + a1.re + a2.re, x[0].im + a1.im + a2.im};
          const Cx r1{x[0].re + c72 * a1.re + c144 * a2.re, x[0].im + c72 * a1.im + c144 * a2.im};
          const Cx i1{s72 * b1.re + s144 * b2.re, s72 * b1.im + s144 * b2.im};
          const Cx r2{x[0].re + c144 * a1.re + c72 * a2.re, x[0].im + c144 * a1.im + c72 * a2.im};
          const Cx i2{s144 * b1.re - s72 * b2.re, s144 * b1.im - s72 * b2.im};
          y[1] = {r1.re - i1.im, r1.im + i1.re};
          y[4] = {r1.re + i1.im, r1.im - i1.re};
          y[2] = {r2.re - i2.im, r2.im + i2.re};
          y[3] = {r2.re + i2.im, r2.im - i2.re};
        } else {
          // General odd radix through the work arrays.
          for (size_t j = 0; j < f; ++j) {
            ws->accRe[j] = v.re[v.at(b + j * m)];
            ws->accIm[j] = v.im[v.at(b + j * m)];
          }
          double sumRe = 0.0, sumIm = 0.0;
          for (size_t j = 0; j < f; ++j) {
            sumRe += ws->accRe[j];
            sumIm += ws->accIm[j];
          }
          v.re[v.at(b)] = sumRe;
          v.im[v.at(b)] = sumIm;
          const size_t half = (f - 1) / 2;
          Cx wr = w;  // w^r for r = 1..
          for (size_t r = 1; r <= half; ++r) {
            double aRe = ws->accRe[0], aIm = ws->accIm[0], bRe = 0.0, bIm = 0.0;
            size_t jr = 0;
            for (size_t j = 1; j <= half; ++j) {
              jr += r;
              if (jr >= f) jr -= f;
              const double pr = ws->accRe[j] + ws->accRe[f - j], pi = ws->accIm[j] + ws->accIm[f - j];
              const double mr = ws->accRe[j] - ws->accRe[f - j], mi = ws->accIm[j] - ws->accIm[f - j];
              aRe += ws->cosines[jr] * pr;
              aIm += ws->cosines[jr] * pi;
              bRe += ws->sines[jr] * mr;
              bIm += ws->sines[jr] * mi;
            }
            // y_r = a + i b, y_{f-r} = a - i b.
            Cx yr{aRe - bIm, aIm + bRe}, yf{aRe + bIm, aIm - bRe};
            if (k != 0) {
              yr = mul(yr, wr);
              yf = mul(yf, mul(wf, Cx{wr.re, -wr.im}));  // w^(f-r)
            }
            v.re[v.at(b + r * m)] = yr.re;
            v.im[v.at(b + r * m)] = yr.im;
            v.re[v.at(b + (f - r) * m)] = yf.re;
            v.im[v.at(b + (f - r) * m)] = yf.im;
            wr = mul(wr, w);
          }
          continue;
        }
        v.re[v.at(b)] = y[0].re;
        v.im[v.at(b)] = y[0].im;
        Cx wr = w;
        for (size_t r = 1; r < f; ++r) {
          const Cx o = k == 0 ? y[r] : mul(y[r], wr);
          v.re[v.at(b + r * m)] = o.re;
          v.im[v.at(b + r * m)] = o.im;
          wr = mul(wr, w);
        }
      }
      // w <- w * exp(i theta), in the form that keeps the rounding small.
      const double nr = w.re - (cd * w.re + sd * w.im);
      const double ni = w.im + (sd * w.re - cd * w.im);
      w = {nr, ni};
    }
    span = m;
  }
}

inline void swapAt(const Vec& v, size_t a, size_t b) {
  std::swap(v.re[v.at(a)], v.re[v.at(b)]);
  std::swap(v.im[v.at(a)], v.im[v.at(b)]);
}

// Moves the element at position p to its frequency index (mixed-radix digit reversal).
void reorder(QuillFftWork* ws, const Vec& v, const int32_t* f, int nf, int squares) {
  size_t a = 1;
  for (int i = 0; i < squares; ++i) a *= static_cast<size_t>(f[i]);
  size_t b = 1;
  for (int i = squares; i < nf - squares; ++i) b *= static_cast<size_t>(f[i]);
  const size_t ba = b * a;

  // Square factors: (high, low) -> (reversed low, reversed high) is its own inverse.
  if (squares > 0) {
    for (size_t h = 0; h < a; ++h) {
      // High slot digits, most significant first, radices f[0..sq-1]; reversed into the low slot.
      size_t rest = h, hrev = 0;
      for (int i = squares - 1; i >= 0; --i) {
        const size_t d = rest % static_cast<size_t>(f[i]);
        rest /= static_cast<size_t>(f[i]);
        hrev = hrev * static_cast<size_t>(f[i]) + d;
      }
      for (size_t l = 0; l < a; ++l) {
        // Low slot radices f[nf-sq..nf-1] = f[sq-1..0]; its least significant digit has radix f[0].
        size_t restL = l, lrev = 0;
        for (int i = 0; i < squares; ++i) {
          const size_t d = restL % static_cast<size_t>(f[i]);
          restL /= static_cast<size_t>(f[i]);
          lrev = lrev * static_cast<size_t>(f[i]) + d;
        }
        const size_t from = h * a + l, to = lrev * a + hrev;
        if (to <= from) continue;
        for (size_t mid = 0; mid < b; ++mid) swapAt(v, h * ba + mid * a + l, lrev * ba + mid * a + hrev);
      }
    }
  }

  // Middle factors: a general permutation applied by cycles.
  if (nf - 2 * squares < 2) return;
  for (size_t mid = 0; mid < b; ++mid) {
    // Position digits are most significant first; the frequency index weights digit i by the
    // product of the factors before it.
    size_t k = 0, w = 1, rest = mid;
    int32_t digits[kQuillFftMaxFactors];
    for (int i = nf - squares - 1; i >= squares; --i) {
      digits[i] = static_cast<int32_t>(rest % static_cast<size_t>(f[i]));
      rest /= static_cast<size_t>(f[i]);
    }
    for (int i = squares; i < nf - squares; ++i) {
      k += static_cast<size_t>(digits[i]) * w;
      w *= static_cast<size_t>(f[i]);
    }
    ws->perm[mid] = static_cast<int32_t>(k);
  }
  for (size_t i = 0; i < b; ++i) {
    if (ws->perm[i] & kVisited) continue;
    if (static_cast<size_t>(ws->perm[i] & kIndexMask) == i) {
      ws->perm[i] |= kVisited;
      continue;
    }
    ws->perm[i] |= kLeader;
    size_t j = i;
    do {
      ws->perm[j] |= kVisited;
      j = static_cast<size_t>(ws->perm[j] & kIndexMask);
    } while (j != i);
  }
  for (size_t h = 0; h < a; ++h) {
    for (size_t l = 0; l < a; ++l) {
      const size_t base = h * ba + l;
      for (size_t i = 0; i < b; ++i) {
        if (!(ws->perm[i] & kLeader)) continue;
        double curRe = v.re[v.at(base + i * a)], curIm = v.im[v.at(base + i * a)];
        size_t j = static_cast<size_t>(ws->perm[i] & kIndexMask);
        while (j != i) {
          const size_t at = v.at(base + j * a);
          std::swap(curRe, v.re[at]);
          std::swap(curIm, v.im[at]);
          j = static_cast<size_t>(ws->perm[j] & kIndexMask);
        }
        v.re[v.at(base + i * a)] = curRe;
        v.im[v.at(base + i * a)] = curIm;
      }
    }
  }
}

int radixPass(QuillFftWork* ws, double re[], double im[], size_t ntotal, size_t npass, size_t nspan, int isign,
              int maxFactors, int maxPerm, const FftNames& names) {
  if (npass < 2) return 0;
  if (maxFactors > ws->maxFactorSeen) ws->maxFactorSeen = maxFactors;
  if (maxPerm > ws->maxPermSeen) ws->maxPermSeen = maxPerm;
  if (isign == 0 || nspan % npass != 0 || ntotal % nspan != 0) {
    std::fputs(names.dimension, stderr);
    resetSizes(ws);
    return -1;
  }
  int squares = 0;
  const int nf = factorise(npass, ws->factors, &squares);
  if (nf > kQuillFftMaxFactors) {
    std::fputs(names.factors, stderr);
    std::fputs(names.memory, stderr);
    resetSizes(ws);
    return -1;
  }
  ws->factorCount = nf;
  // The work space is fixed: refuse an odd factor or a middle permutation beyond it.
  size_t middle = 1;
  for (int i = 0; i < nf; ++i) {
    if (ws->factors[i] > kQuillFftWork) {
      std::fputs(names.memory, stderr);
      resetSizes(ws);
      return -1;
    }
    if (i >= squares && i < nf - squares) middle *= static_cast<size_t>(ws->factors[i]);
  }
  if (nf - 2 * squares >= 2 && middle > static_cast<size_t>(kQuillFftWork)) {
    std::fputs(names.memory, stderr);
    resetSizes(ws);
    return -1;
  }
  const size_t inc = static_cast<size_t>(std::abs(isign));
  const size_t step = nspan / npass;
  for (size_t outer = 0; outer < ntotal; outer += nspan) {
    for (size_t inner = 0; inner < step; ++inner) {
      const Vec v{re, im, outer + inner, step, inc};
      butterflies(ws, v, npass, ws->factors, nf, isign);
      reorder(ws, v, ws->factors, nf, squares);
    }
  }
  return 0;
}

int fftnImpl(QuillFftWork* ws, int ndim, const int dims[], double re[], double im[], int isign, double scaling,
             const FftNames& names) {
  int lengths[64];
  int count = 0;
  bool bad = false;
  if (ndim == 0 || (dims != nullptr && dims[0] == 0)) {
    for (int i = 0; dims != nullptr && dims[i] != 0; ++i) {
      if (dims[i] < 0 || count >= 64) {
        bad = true;
        break;
      }
      lengths[count++] = dims[i];
    }
  } else if (ndim < 0 || ndim > 64 || dims == nullptr) {
    bad = true;
  } else {
    for (int i = 0; i < ndim; ++i) {
      if (dims[i] < 1) {
        bad = true;
        break;
      }
      lengths[count++] = dims[i];
    }
  }
  size_t total = 1;
  int largest = 1;
  for (int i = 0; i < count && !bad; ++i) {
    total *= static_cast<size_t>(lengths[i]);
    if (total > (size_t{1} << 31)) bad = true;
    if (lengths[i] > largest) largest = lengths[i];
  }
  if (bad || isign == 0) {
    std::fputs(names.dimension, stderr);
    resetSizes(ws);
    return -1;
  }
  size_t span = 1;
  for (int i = 0; i < count; ++i) {
    span *= static_cast<size_t>(lengths[i]);
    const int r = radixPass(ws, re, im, total, static_cast<size_t>(lengths[i]), span, isign, largest, largest, names);
    if (r != 0) return r;
  }
  if (scaling != 0.0 && scaling != 1.0) {
    const double by = scaling < 0.0 ? static_cast<double>(total) : scaling;
    const double f = 1.0 / by;
    const size_t inc = static_cast<size_t>(std::abs(isign));
    for (size_t i = 0; i < total; ++i) {
      re[i * inc] *= f;
      im[i * inc] *= f;
    }
  }
  return 0;
}

}  // namespace

int fftn(QuillFftWork* ws, int ndim, const int dims[], double re[], double im[], int isign, double scaling) {
  return fftnImpl(ws, ndim, dims, re, im, isign, scaling, kEncoderNames);
}
int fftradix(QuillFftWork* ws, double re[], double im[], size_t ntotal, size_t npass, size_t nspan, int isign,
             int maxFactors, int maxPerm) {
  return radixPass(ws, re, im, ntotal, npass, nspan, isign, maxFactors, maxPerm, kEncoderNames);
}
void fft_reset(QuillFftWork* ws) { resetSizes(ws); }

int fftn2(QuillFftWork* ws, int ndim, const int dims[], double re[], double im[], int isign, double scaling) {
  return fftnImpl(ws, ndim, dims, re, im, isign, scaling, kDecoderNames);
}
int fftradix2(QuillFftWork* ws, double re[], double im[], size_t ntotal, size_t npass, size_t nspan, int isign,
              int maxFactors, int maxPerm) {
  return radixPass(ws, re, im, ntotal, npass, nspan, isign, maxFactors, maxPerm, kDecoderNames);
}
void fft2_reset(QuillFftWork* ws) { resetSizes(ws); }
