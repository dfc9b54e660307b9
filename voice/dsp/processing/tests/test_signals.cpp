// Test signals for the voice-processing tests: synthetic speech, noise, tones, echo paths and measures.
#include "voice/dsp/processing/tests/test_signals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include <unistd.h>

namespace vproc_test {

namespace {

struct Talker {
  const char* voice;
  const char* pitch;
  const char* text;
};

// Sentences with natural pauses between them, so the clean signal has both speech and silence.
constexpr Talker kTalkers[] = {
    {"en-us", "50",
     "The quick brown fox jumps over the lazy dog. Please call me back tomorrow morning. "
     "We will meet at the station at half past nine. How much does the ticket cost?"},
    {"en+f3", "70",
     "Seven green apples were lying on the kitchen table. Could you open the window, please? "
     "The weather is getting colder every day. Thank you for your help."},
};

int16_t clip(double v) { return static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0))); }

std::filesystem::path cacheDir() {
  // Cached outside the build and source folders, for the user running the tests or benchmarks.
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("tessaly_vproc_speech_" + std::to_string(::getuid()));
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

std::vector<int16_t> readRaw(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::vector<int16_t> v;
  if (!f) return v;
  f.seekg(0, std::ios::end);
  const auto size = static_cast<size_t>(f.tellg());
  f.seekg(0);
  v.resize(size / 2);
  f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * 2));
  return v;
}

}  // namespace

std::vector<int16_t> Speech(int rate, int talker, std::string* error) {
  const Talker& t = kTalkers[talker % 2];
  const auto dir = cacheDir();
  // Without dither (sox -D) every generation is the same signal, so runs repeat; the name keeps files
  // from a dithering generation out.
  const auto target =
      dir / ("talker" + std::to_string(talker % 2) + "_" + std::to_string(rate) + "_nodither.raw");
  auto cached = readRaw(target);
  if (!cached.empty()) return cached;

  // Generate under unique names, then rename: parallel test processes may race for the same file.
  const std::string tag = std::to_string(::getpid()) + "_" + std::to_string(talker) + "_" + std::to_string(rate);
  const auto wav = dir / ("tmp_" + tag + ".wav");
  const auto raw = dir / ("tmp_" + tag + ".raw");
  const std::string cmd = std::string("espeak-ng -v ") + t.voice + " -p " + t.pitch + " -s 150 -w '" +
                          wav.string() + "' \"" + t.text + "\" >/dev/null 2>&1 && sox -D '" + wav.string() +
                          "' -r " + std::to_string(rate) + " -c 1 -b 16 -e signed-integer '" + raw.string() +
                          "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) {
    if (error) *error = "speech generation failed (needs espeak-ng and sox): " + cmd;
    return {};
  }
  std::error_code ec;
  std::filesystem::rename(raw, target, ec);
  std::filesystem::remove(wav, ec);
  auto v = readRaw(target);
  if (v.empty() && error) *error = "no speech written to " + target.string();
  return v;
}

std::vector<int16_t> WhiteNoise(size_t n, double rms, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, rms);
  std::vector<int16_t> v(n);
  for (auto& s : v) s = clip(nd(rng));
  return v;
}

std::vector<int16_t> PinkNoise(size_t n, double rms, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 1.0);
  // Three one-pole sections approximate a -3 dB/octave slope over the speech band.
  const double p[3] = {0.99, 0.9, 0.5};
  const double g[3] = {0.1, 0.3, 0.6};
  double st[3] = {0, 0, 0};
  std::vector<double> d(n);
  double e = 0;
  for (size_t i = 0; i < n; ++i) {
    const double w = nd(rng);
    double y = 0;
    for (int k = 0; k < 3; ++k) {
      st[k] = p[k] * st[k] + (1 - p[k]) * w;
      y += g[k] * st[k];
    }
    y += 0.05 * w;
    d[i] = y;
    e += y * y;
  }
  const double scale = e > 0 ? rms / std::sqrt(e / static_cast<double>(n)) : 0;
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = clip(d[i] * scale);
  return v;
}

std::vector<int16_t> Tone(size_t n, int rate, double hz, double amplitude) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = clip(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate));
  return v;
}

double Energy(const int16_t* x, size_t n) {
  double e = 0;
  for (size_t i = 0; i < n; ++i) e += static_cast<double>(x[i]) * x[i];
  return e;
}

double Rms(const int16_t* x, size_t n) { return n == 0 ? 0 : std::sqrt(Energy(x, n) / static_cast<double>(n)); }
double Rms(const std::vector<int16_t>& x) { return Rms(x.data(), x.size()); }
double DbFs(double rms) { return 20 * std::log10(std::max(rms, 1e-9) / 32768.0); }

std::vector<int16_t> ScaleToActiveRms(const std::vector<int16_t>& x, double rms) {
  double e = 0;
  size_t n = 0;
  for (auto s : x) {
    if (std::abs(s) > 64) {
      e += static_cast<double>(s) * s;
      ++n;
    }
  }
  const double cur = n ? std::sqrt(e / static_cast<double>(n)) : 0;
  std::vector<int16_t> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = clip(cur > 0 ? x[i] * rms / cur : 0);
  return y;
}

std::vector<int16_t> Add(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  std::vector<int16_t> y(std::max(a.size(), b.size()));
  for (size_t i = 0; i < y.size(); ++i) {
    const double va = i < a.size() ? a[i] : 0;
    const double vb = i < b.size() ? b[i] : 0;
    y[i] = clip(va + vb);
  }
  return y;
}

std::vector<int> SpeechLabels(const std::vector<int16_t>& clean, int frame) {
  const size_t frames = clean.size() / static_cast<size_t>(frame);
  std::vector<double> rms(frames);
  double top = 0;
  for (size_t f = 0; f < frames; ++f) {
    rms[f] = Rms(clean.data() + f * frame, static_cast<size_t>(frame));
    top = std::max(top, rms[f]);
  }
  std::vector<int> labels(frames);
  for (size_t f = 0; f < frames; ++f) labels[f] = rms[f] > top * std::pow(10.0, -30.0 / 20) ? 1 : 0;
  return labels;
}

std::vector<int16_t> EchoOf(const std::vector<int16_t>& far, int rate, int delay, double tailMs, double erlDb,
                            uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 1.0);
  const int len = std::max(1, static_cast<int>(tailMs * rate / 1000.0));
  std::vector<double> h(static_cast<size_t>(len));
  // Amplitude falls by 60 dB over the tail; a short direct part leads.
  double norm = 0;
  for (int k = 0; k < len; ++k) {
    const double env = std::pow(10.0, -3.0 * k / len);
    h[k] = nd(rng) * env * (k < rate / 2000 ? 3.0 : 1.0);
    norm += h[k] * h[k];
  }
  const double g = std::pow(10.0, -erlDb / 20) / std::sqrt(norm);
  for (auto& v : h) v *= g;
  std::vector<int16_t> y(far.size());
  for (size_t n = 0; n < far.size(); ++n) {
    double acc = 0;
    for (int k = 0; k < len; ++k) {
      const long idx = static_cast<long>(n) - delay - k;
      if (idx < 0) break;
      acc += h[k] * far[static_cast<size_t>(idx)];
    }
    y[n] = clip(acc);
  }
  return y;
}

}  // namespace vproc_test
