// Speech quality of iLBC at 0/5/10/20 % frame loss beside G.711 and GSM 06.10, as segmental SNR.
//
// Speech is made with espeak-ng and sox (telephone band, 8000 Hz) in the current folder.
// Usage: bench_ilbc_quality                 prints the table
//        bench_ilbc_quality --count OP MODE N  calls one entry point N times (for callgrind.sh)
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "voice/dsp/g711.h"
#include "voice/dsp/ilbc/ilbc.h"
#include "voice/dsp/ilbc/ilbc_internal.h"
#ifdef HAVE_LIBGSM
#include <gsm/gsm.h>
#endif

namespace {

std::vector<int16_t> Speech() {
  const std::string base = "ilbc_bench_speech_" + std::to_string(getpid());
  const std::string cmd =
      "espeak-ng -w " + base + ".wav 'The quick brown fox jumps over the lazy dog. A journey of a thousand "
      "miles begins with a single step. Seven slippery seals swam south.' >/dev/null 2>&1 && sox " + base +
      ".wav -r 8000 -c 1 -b 16 -e signed " + base + ".raw sinc 200-3400 >/dev/null 2>&1";
  std::vector<int16_t> x;
  if (std::system(cmd.c_str()) == 0) {
    if (FILE* f = std::fopen((base + ".raw").c_str(), "rb")) {
      int16_t buf[4096];
      size_t n;
      while ((n = std::fread(buf, 2, 4096, f)) > 0) x.insert(x.end(), buf, buf + n);
      std::fclose(f);
    }
  }
  std::remove((base + ".wav").c_str());
  std::remove((base + ".raw").c_str());
  return x;
}

double SegSnr(const std::vector<int16_t>& ref, const std::vector<int16_t>& out, int delay) {
  double sum = 0;
  int segs = 0;
  for (size_t i = 0; i + delay + 160 <= ref.size() && i + delay + 160 <= out.size(); i += 160) {
    double s = 0, e = 0;
    for (int k = 0; k < 160; ++k) {
      const double a = ref[i + k], b = out[i + k + delay];
      s += a * a;
      e += (a - b) * (a - b);
    }
    if (s < 160.0 * 100 * 100) continue;
    double v = 10 * std::log10((s + 1) / (e + 1));
    sum += v > 35 ? 35 : (v < -10 ? -10 : v);
    ++segs;
  }
  return segs ? sum / segs : 0;
}

std::vector<bool> LossPattern(size_t frames, int percent, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<bool> lost(frames);
  for (size_t i = 0; i < frames; ++i) lost[i] = std::uniform_int_distribution<int>(0, 99)(rng) < percent;
  return lost;
}

std::vector<int16_t> RunIlbc(const std::vector<int16_t>& x, int mode, int percent) {
  IlbcEncoder enc;
  IlbcDecoder dec;
  Ilbc_EncoderInit(&enc, static_cast<int16_t>(mode));
  Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
  const size_t bl = static_cast<size_t>(enc.c.blockLength);
  const auto lost = LossPattern(x.size() / bl, percent, 100u + static_cast<unsigned>(percent));
  std::vector<int16_t> y(x.size(), 0);
  for (size_t f = 0; f < lost.size(); ++f) {
    uint8_t frame[50];
    int16_t type;
    Ilbc_Encode(&enc, &x[f * bl], static_cast<int16_t>(bl), frame);
    if (lost[f]) {
      Ilbc_DecodePlc(&dec, &y[f * bl], 1);
    } else {
      Ilbc_Decode(&dec, frame, enc.c.frameBytes, &y[f * bl], &type);
    }
  }
  return y;
}

// G.711 mu-law in 20-ms packets; no concealment: a lost packet plays silence.
std::vector<int16_t> RunG711(const std::vector<int16_t>& x, int percent) {
  const auto lost = LossPattern(x.size() / 160, percent, 100u + static_cast<unsigned>(percent));
  std::vector<int16_t> y(x.size(), 0);
  for (size_t f = 0; f < lost.size(); ++f) {
    uint8_t code[160];
    G711_LinearToUlaw(&x[f * 160], 160, code);
    if (!lost[f]) G711_UlawToLinear(code, &y[f * 160], 160);
  }
  return y;
}

#ifdef HAVE_LIBGSM
// GSM 06.10 full rate in 20-ms frames; libgsm has no concealment: a lost frame plays silence.
std::vector<int16_t> RunGsm(const std::vector<int16_t>& x, int percent) {
  const auto lost = LossPattern(x.size() / 160, percent, 100u + static_cast<unsigned>(percent));
  gsm enc = gsm_create();
  gsm dec = gsm_create();
  std::vector<int16_t> y(x.size(), 0);
  std::vector<int16_t> in(160);
  for (size_t f = 0; f < lost.size(); ++f) {
    gsm_frame frame;
    std::memcpy(in.data(), &x[f * 160], 320);
    gsm_encode(enc, in.data(), frame);
    if (!lost[f]) gsm_decode(dec, frame, &y[f * 160]);
  }
  gsm_destroy(enc);
  gsm_destroy(dec);
  return y;
}
#endif

int Count(const char* op, int mode, int n) {
  std::vector<int16_t> x(static_cast<size_t>(240 * (n + 1)));
  uint32_t seed = 1;
  double phase = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    phase += 2 * M_PI * 140 / 8000;
    seed = seed * 69069u + 1u;
    x[i] = static_cast<int16_t>(6000 * std::sin(phase) + 2500 * std::sin(3 * phase) + ((seed >> 20) & 1023) - 512);
  }
  IlbcEncoder enc;
  IlbcDecoder dec;
  Ilbc_EncoderInit(&enc, static_cast<int16_t>(mode));
  Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
  const int bl = enc.c.blockLength;
  const int fb = enc.c.frameBytes;
  std::vector<uint8_t> frames(static_cast<size_t>(fb * n));
  int16_t out[240];
  int16_t type;
  if (std::strcmp(op, "encode") == 0) {
    for (int i = 0; i < n; ++i) Ilbc_Encode(&enc, &x[static_cast<size_t>(i * bl)], static_cast<int16_t>(bl), &frames[static_cast<size_t>(i * fb)]);
    return 0;
  }
  IlbcEncoder pre = enc;
  for (int i = 0; i < n; ++i) Ilbc_EncodeBlock(&frames[static_cast<size_t>(i * fb)], &x[static_cast<size_t>(i * bl)], &pre);
  if (std::strcmp(op, "decode") == 0) {
    for (int i = 0; i < n; ++i) Ilbc_Decode(&dec, &frames[static_cast<size_t>(i * fb)], static_cast<int16_t>(fb), out, &type);
    return 0;
  }
  // Concealment: every other frame lost.
  for (int i = 0; i < n; ++i) {
    Ilbc_DecodeBlock(out, &frames[static_cast<size_t>(i * fb)], &dec, 1);
    Ilbc_DecodePlc(&dec, out, 1);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--count") == 0) return Count(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  const auto x = Speech();
  if (x.size() < 8000) {
    std::fprintf(stderr, "espeak-ng or sox missing\n");
    return 1;
  }
  const auto hp = [&] {
    std::vector<int16_t> r(x);
    int16_t xm[2] = {}, ym[4] = {}, xm2[2] = {}, ym2[4] = {};
    const int16_t bi[3] = {3798, -7596, 3798}, ai[2] = {7807, -3733};
    const int16_t bo[3] = {3849, -7699, 3849}, ao[2] = {7918, -3833};
    Ilbc_HighPassInput(r.data(), bi, ai, xm, ym, static_cast<int>(r.size()));
    Ilbc_HighPassOutput(r.data(), bo, ao, xm2, ym2, static_cast<int>(r.size()));
    return r;
  }();
  std::printf("Segmental SNR (dB) on %.1f s of espeak-ng speech, 200-3400 Hz, random frame loss\n", x.size() / 8000.0);
  std::printf("(iLBC measured against the input through its own high-pass filters, and against the input;\n"
              " G.711 and GSM have no concealment here: a lost frame plays silence)\n\n");
  std::printf("%-28s %7s %7s %7s %7s\n", "codec", "0%", "5%", "10%", "20%");
  const int losses[4] = {0, 5, 10, 20};
  for (int mode : {20, 30}) {
    double a[4], b[4];
    for (int k = 0; k < 4; ++k) {
      const auto y = RunIlbc(x, mode, losses[k]);
      a[k] = SegSnr(hp, y, mode == 30 ? 80 : 40);
      b[k] = SegSnr(x, y, mode == 30 ? 80 : 40);
    }
    std::printf("iLBC %d ms (vs high-passed)   %7.2f %7.2f %7.2f %7.2f\n", mode, a[0], a[1], a[2], a[3]);
    std::printf("iLBC %d ms (vs input)         %7.2f %7.2f %7.2f %7.2f\n", mode, b[0], b[1], b[2], b[3]);
  }
  double g[4];
  for (int k = 0; k < 4; ++k) g[k] = SegSnr(x, RunG711(x, losses[k]), 0);
  std::printf("G.711 mu-law                 %7.2f %7.2f %7.2f %7.2f\n", g[0], g[1], g[2], g[3]);
#ifdef HAVE_LIBGSM
  for (int k = 0; k < 4; ++k) g[k] = SegSnr(x, RunGsm(x, losses[k]), 0);
  std::printf("GSM 06.10 (libgsm)           %7.2f %7.2f %7.2f %7.2f\n", g[0], g[1], g[2], g[3]);
#endif
  return 0;
}
