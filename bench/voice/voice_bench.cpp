// Benchmarks: CPU per 10-ms block of the engine's stages (capture, send path, playout mixer, jitter buffer) by channel count.
#include <benchmark/benchmark.h>

#include "voice_stages.h"

namespace {

using voicebench::Stages;

// Each iteration is one 10-ms block; the counter gives the share of real time the stage takes.
void Report(benchmark::State& state) {
  state.counters["per_10ms"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Capture(benchmark::State& state) {
  Stages s(1);
  for (auto _ : state) s.SendBlock();
  Report(state);
}
BENCHMARK(BM_Capture);

void BM_SendPath(benchmark::State& state) {
  Stages s(static_cast<int>(state.range(0)));
  s.SetSending(true);
  for (auto _ : state) s.SendBlock();
  benchmark::DoNotOptimize(s.BytesSent());
  Report(state);
}
BENCHMARK(BM_SendPath)->Arg(1)->Arg(4)->Arg(16);

void BM_PlayoutMixer(benchmark::State& state) {
  Stages s(static_cast<int>(state.range(0)));
  s.SetPlaying(true);
  for (int i = 0; i < 50; ++i) s.MixBlock();  // past the jitter buffers' start
  for (auto _ : state) s.MixBlock();
  Report(state);
}
BENCHMARK(BM_PlayoutMixer)->Arg(1)->Arg(4)->Arg(16);

void BM_JitterBuffer(benchmark::State& state) {
  Stages s(static_cast<int>(state.range(0)));
  for (int i = 0; i < 50; ++i) s.JitterBlock();
  for (auto _ : state) s.JitterBlock();
  Report(state);
}
BENCHMARK(BM_JitterBuffer)->Arg(1)->Arg(4)->Arg(16);

}  // namespace

BENCHMARK_MAIN();
