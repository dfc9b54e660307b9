// Shared helpers of the iLBC tests: generated speech, the codec's reference response and segmental SNR.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "voice/dsp/ilbc/ilbc_internal.h"

namespace ilbc_test {

// Speech made with espeak-ng and converted by sox to 8000 Hz, telephone band (200-3400 Hz), without
// dither so that every run sees the same samples. Generated into the build folder on first use by each
// test process; empty when the tools are missing.
inline const std::vector<int16_t>& Speech() {
  static std::vector<int16_t> speech = [] {
    const char* bin = std::getenv("TESSALY_BINARY_DIR");
    std::string dir = bin ? bin : ".";
    const std::string base = dir + "/ilbc_speech_" + std::to_string(getpid());
    const std::string cmd =
        "espeak-ng -w '" + base + ".wav' 'The quick brown fox jumps over the lazy dog. "
        "A journey of a thousand miles begins with a single step. Seven slippery seals swam south.' "
        ">/dev/null 2>&1 && sox -D '" + base + ".wav' -r 8000 -c 1 -b 16 -e signed '" + base +
        ".raw' sinc 200-3400 >/dev/null 2>&1";
    std::vector<int16_t> out;
    if (std::system(cmd.c_str()) == 0) {
      if (FILE* f = std::fopen((base + ".raw").c_str(), "rb")) {
        int16_t buf[4096];
        size_t n;
        while ((n = std::fread(buf, sizeof(int16_t), 4096, f)) > 0) out.insert(out.end(), buf, buf + n);
        std::fclose(f);
      }
    }
    std::remove((base + ".wav").c_str());
    std::remove((base + ".raw").c_str());
    return out;
  }();
  return speech;
}

// The input through the codec's own input and output high-pass filters: what a perfect coder returns.
inline std::vector<int16_t> HighPassReference(const std::vector<int16_t>& x) {
  std::vector<int16_t> r(x);
  int16_t xm[2] = {}, ym[4] = {}, xm2[2] = {}, ym2[4] = {};
  static const int16_t bi[3] = {3798, -7596, 3798}, ai[2] = {7807, -3733};
  static const int16_t bo[3] = {3849, -7699, 3849}, ao[2] = {7918, -3833};
  Ilbc_HighPassInput(r.data(), bi, ai, xm, ym, static_cast<int>(r.size()));
  Ilbc_HighPassOutput(r.data(), bo, ao, xm2, ym2, static_cast<int>(r.size()));
  return r;
}

// Segmental SNR over 20-ms segments of `ref` against `out` delayed by `delay` samples; segments quieter
// than an RMS of 100 are left out, each segment's value is limited to -10 .. 35 dB.
inline double SegSnr(const std::vector<int16_t>& ref, const std::vector<int16_t>& out, int delay) {
  double sum = 0;
  int segs = 0;
  for (size_t i = 0; i + static_cast<size_t>(delay) + 160 <= ref.size() && i + delay + 160 <= out.size(); i += 160) {
    double s = 0, e = 0;
    for (int k = 0; k < 160; ++k) {
      const double a = ref[i + k], b = out[i + k + delay];
      s += a * a;
      e += (a - b) * (a - b);
    }
    if (s < 160.0 * 100 * 100) continue;
    double v = 10 * std::log10((s + 1) / (e + 1));
    v = v > 35 ? 35 : (v < -10 ? -10 : v);
    sum += v;
    ++segs;
  }
  return segs ? sum / segs : 0;
}

}  // namespace ilbc_test
