// CPU cost of one iLBC frame: encode and decode in 20-ms and 30-ms modes, and one concealed frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "voice/dsp/ilbc/ilbc.h"

namespace {

// A voiced test signal (two harmonics with a slow vibrato and some noise); deterministic.
std::vector<int16_t> Signal(int n) {
  std::vector<int16_t> x(static_cast<size_t>(n));
  uint32_t seed = 1;
  double phase = 0;
  for (int i = 0; i < n; ++i) {
    phase += 2 * M_PI * (140 + 20 * std::sin(i * 0.0007)) / 8000;
    seed = seed * 69069u + 1u;
    const double noise = (static_cast<int>(seed >> 20) - 2048) * 0.5;
    x[static_cast<size_t>(i)] =
        static_cast<int16_t>(6000 * std::sin(phase) + 3000 * std::sin(3 * phase + 0.3) + noise);
  }
  return x;
}

void BM_Encode(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  IlbcEncoder enc;
  Ilbc_EncoderInit(&enc, static_cast<int16_t>(mode));
  const int bl = enc.c.blockLength;
  const auto x = Signal(bl * 50);
  uint8_t frame[50];
  int i = 0;
  for (auto _ : state) {
    Ilbc_Encode(&enc, &x[static_cast<size_t>(i * bl)], static_cast<int16_t>(bl), frame);
    benchmark::DoNotOptimize(frame);
    i = (i + 1) % 50;
  }
}

void BM_Decode(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  IlbcEncoder enc;
  IlbcDecoder dec;
  Ilbc_EncoderInit(&enc, static_cast<int16_t>(mode));
  Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
  const int bl = enc.c.blockLength;
  const int fb = enc.c.frameBytes;
  const auto x = Signal(bl * 50);
  std::vector<uint8_t> frames(static_cast<size_t>(fb * 50));
  for (int i = 0; i < 50; ++i) Ilbc_Encode(&enc, &x[static_cast<size_t>(i * bl)], static_cast<int16_t>(bl), &frames[static_cast<size_t>(i * fb)]);
  int16_t out[240];
  int16_t type;
  int i = 0;
  for (auto _ : state) {
    Ilbc_Decode(&dec, &frames[static_cast<size_t>(i * fb)], static_cast<int16_t>(fb), out, &type);
    benchmark::DoNotOptimize(out);
    i = (i + 1) % 50;
  }
}

void BM_Conceal(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  IlbcEncoder enc;
  IlbcDecoder dec;
  Ilbc_EncoderInit(&enc, static_cast<int16_t>(mode));
  Ilbc_DecoderInit(&dec, static_cast<int16_t>(mode));
  const int bl = enc.c.blockLength;
  const auto x = Signal(bl * 4);
  uint8_t frame[50];
  int16_t out[240];
  int16_t type;
  for (int i = 0; i < 4; ++i) {
    Ilbc_Encode(&enc, &x[static_cast<size_t>(i * bl)], static_cast<int16_t>(bl), frame);
    Ilbc_Decode(&dec, frame, enc.c.frameBytes, out, &type);
  }
  const IlbcDecoder saved = dec;
  for (auto _ : state) {
    dec = saved;  // always the first loss after speech
    Ilbc_DecodePlc(&dec, out, 1);
    benchmark::DoNotOptimize(out);
  }
}

}  // namespace

BENCHMARK(BM_Encode)->Arg(20)->Arg(30);
BENCHMARK(BM_Decode)->Arg(20)->Arg(30);
BENCHMARK(BM_Conceal)->Arg(20)->Arg(30);
