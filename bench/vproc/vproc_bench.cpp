// Benchmarks: CPU per 10-ms frame of VAD, gain control and both echo cancellers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "voice/dsp/processing/aecpc.h"
#include "voice/dsp/processing/aes.h"
#include "voice/dsp/processing/agc.h"
#include "voice/dsp/processing/vad.h"

namespace {

// Speech-like signal: low-passed Gaussian noise with a syllable-rate envelope.
std::vector<int16_t> speechLike(size_t n, int rate, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 3000.0);
  std::vector<int16_t> x(n);
  double y = 0;
  for (size_t i = 0; i < n; ++i) {
    y = 0.9 * y + nd(rng);
    const double env = 0.55 + 0.45 * std::sin(2 * M_PI * 4.0 * static_cast<double>(i) / rate);
    x[i] = static_cast<int16_t>(std::lround(std::clamp(y * env, -32768.0, 32767.0)));
  }
  return x;
}

// Echo: 40 ms of delay, a short decaying path, 10 dB down.
std::vector<int16_t> echoOf(const std::vector<int16_t>& far, int rate) {
  const int delay = rate / 25;
  const double taps[4] = {0.25, -0.12, 0.06, 0.03};
  std::vector<int16_t> y(far.size());
  for (size_t n = 0; n < far.size(); ++n) {
    double acc = 0;
    for (int k = 0; k < 4; ++k) {
      const long i = static_cast<long>(n) - delay - 3 * k;
      if (i >= 0) acc += taps[k] * far[static_cast<size_t>(i)];
    }
    y[n] = static_cast<int16_t>(std::lround(acc));
  }
  return y;
}

constexpr int kSeconds = 4;

void Vad10ms(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const int n = rate / 100;
  const auto x = speechLike(static_cast<size_t>(rate * kSeconds), rate, 1);
  VadInst vad;
  Vad_Init(&vad, 0);
  size_t f = 0;
  const size_t frames = x.size() / n;
  for (auto _ : state) {
    const int16_t* p = x.data() + (f++ % frames) * n;
    benchmark::DoNotOptimize(rate == 8000 ? Vad_ProcessBands(&vad, p, n) : Vad_Process(&vad, p, n));
  }
}
BENCHMARK(Vad10ms)->Arg(8000)->Arg(16000)->Unit(benchmark::kMicrosecond);

void Agc10ms(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const int n = rate / 100;
  const auto x = speechLike(static_cast<size_t>(rate * kSeconds), rate, 1);
  const auto far = speechLike(x.size(), rate, 2);
  AgcInst agc;
  Agc_Init(&agc);
  std::vector<int16_t> out(static_cast<size_t>(n));
  size_t f = 0;
  const size_t frames = x.size() / n;
  for (auto _ : state) {
    const size_t o = (f++ % frames) * n;
    Agc_AddFarEnd(far.data() + o, &agc, rate);
    Agc_Process(x.data() + o, out.data(), &agc, rate);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(Agc10ms)->Arg(8000)->Arg(16000)->Unit(benchmark::kMicrosecond);

void EchoSuppressor10ms(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const int n = rate / 100;
  const auto far = speechLike(static_cast<size_t>(rate * kSeconds), rate, 1);
  const auto mic = echoOf(far, rate);
  SonraAEC aes;
  SonraAEC_Init(&aes, 40, 0, 0);
  std::vector<int16_t> out(static_cast<size_t>(n));
  size_t f = 0;
  const size_t frames = far.size() / n;
  for (auto _ : state) {
    const size_t o = (f++ % frames) * n;
    SonraAEC_AddToFarEndBuffer(far.data() + o, &aes, rate == 16000);
    SonraAEC_Process(mic.data() + o, out.data(), &aes, rate == 16000, 40);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(EchoSuppressor10ms)->Arg(8000)->Arg(16000)->Unit(benchmark::kMicrosecond);

void AecPc10ms(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const int n = rate / 100;
  const auto far = speechLike(static_cast<size_t>(rate * kSeconds), rate, 1);
  const auto mic = echoOf(far, rate);
  AecPc aec;
  aec.Create();
  aec.Init(rate, 0);
  std::vector<int16_t> buf(static_cast<size_t>(n));
  size_t f = 0;
  const size_t frames = far.size() / n;
  auto step = [&] {
    const size_t o = (f++ % frames) * n;
    for (int k = 0; k < n / 80; ++k) aec.Process(far.data() + o + 80 * k, 80);
    std::memcpy(buf.data(), mic.data() + o, sizeof(int16_t) * n);
    aec.ProcessNearEnd(buf.data(), n, 40);
  };
  for (int i = 0; i < 300; ++i) step();  // past settling, full-length filter
  for (auto _ : state) {
    step();
    benchmark::DoNotOptimize(buf.data());
  }
}
BENCHMARK(AecPc10ms)->Arg(8000)->Arg(16000)->Unit(benchmark::kMicrosecond);

}  // namespace
