// Quill CPU per frame: encode and decode of 30-ms and 60-ms frames of speech at two rates.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/quill/speech.h"
#include "voice/dsp/quill/quill_internal.h"

namespace {

const std::vector<int16_t>& pcm() {
  static const std::vector<int16_t> s = quillbench::speech();
  return s;
}

// Mode 1 gives 30-ms frames at a set rate; mode 0 (with the peer's default reports) 60-ms frames.
QuillInstance* encoder(int mode, double rate) {
  QuillInstance* q = nullptr;
  Quill_Create(&q);
  Quill_EncoderInit(q, static_cast<int16_t>(mode));
  Quill_DecoderInit(q);
  if (mode == 1) q->rate = rate;
  return q;
}

void BM_Encode(benchmark::State& state) {
  QuillInstance* q = encoder(static_cast<int>(state.range(0)), static_cast<double>(state.range(1)));
  const std::vector<int16_t>& s = pcm();
  uint16_t packet[300];
  size_t pos = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    int n = 0;
    while (n == 0) {
      if (pos + 160 > s.size()) pos = 0;
      n = Quill_Encode(q, &s[pos], packet);
      pos += 160;
    }
    benchmark::DoNotOptimize(n);
    ++frames;
  }
  state.counters["us_per_frame"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  Quill_Free(q);
}

void BM_Decode(benchmark::State& state) {
  QuillInstance* q = encoder(static_cast<int>(state.range(0)), static_cast<double>(state.range(1)));
  const std::vector<int16_t>& s = pcm();
  std::vector<std::vector<uint16_t>> packets;
  std::vector<int> lengths;
  uint16_t packet[300];
  for (size_t pos = 0; pos + 160 <= s.size() && packets.size() < 200; pos += 160) {
    const int n = Quill_Encode(q, &s[pos], packet);
    if (n > 0) {
      packets.emplace_back(packet, packet + (n + 1) / 2);
      lengths.push_back(n);
    }
  }
  int16_t out[960], type;
  size_t i = 0;
  for (auto _ : state) {
    const int n = Quill_Decode(q, packets[i].data(), static_cast<int16_t>(lengths[i]), out, &type);
    benchmark::DoNotOptimize(n);
    i = (i + 1) % packets.size();
  }
  state.SetItemsProcessed(state.iterations());
  Quill_Free(q);
}

}  // namespace

// Arguments: mode (1: 30-ms frames, 0: 60-ms frames), rate in bit/s (mode 1).
BENCHMARK(BM_Encode)->Args({1, 16000})->Args({1, 32000})->Args({0, 22000})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode)->Args({1, 16000})->Args({1, 32000})->Args({0, 22000})->Unit(benchmark::kMicrosecond);
