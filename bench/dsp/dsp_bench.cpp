// Benchmarks: CPU per 10-ms frame of G.711, comfort noise, the 48/16 kHz converters and core primitives.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "voice/dsp/cng.h"
#include "voice/dsp/g711.h"
#include "voice/dsp/resample.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int kFrame8k = 80;  // 10 ms at 8 kHz

std::vector<int16_t> speechLike(int n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0.0, 3000.0);
  std::vector<int16_t> x(n);
  double y = 0;
  for (int i = 0; i < n; ++i) {
    y = 0.9 * y + nd(rng);
    x[i] = static_cast<int16_t>(std::lround(std::clamp(y, -32768.0, 32767.0)));
  }
  return x;
}

void G711Encode(benchmark::State& state, int16_t (*enc)(const int16_t*, int16_t, uint8_t*)) {
  const auto x = speechLike(kFrame8k);
  std::vector<uint8_t> out(kFrame8k);
  for (auto _ : state) {
    enc(x.data(), kFrame8k, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrame8k);
}

void G711Decode(benchmark::State& state, int16_t (*dec)(const uint8_t*, int16_t*, int16_t)) {
  std::vector<uint8_t> in(kFrame8k);
  for (int i = 0; i < kFrame8k; ++i) in[i] = static_cast<uint8_t>(i * 37);
  std::vector<int16_t> out(kFrame8k);
  for (auto _ : state) {
    dec(in.data(), out.data(), kFrame8k);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrame8k);
}

BENCHMARK_CAPTURE(G711Encode, Alaw10ms, G711_LinearToAlaw);
BENCHMARK_CAPTURE(G711Encode, Ulaw10ms, G711_LinearToUlaw);
BENCHMARK_CAPTURE(G711Decode, Alaw10ms, G711_AlawToLinear);
BENCHMARK_CAPTURE(G711Decode, Ulaw10ms, G711_UlawToLinear);

void CngEncode10ms(benchmark::State& state) {
  CngEncoderInst enc{};
  Cng_EncoderInit(&enc, 8000, 100, 12);
  const auto x = speechLike(kFrame8k);
  uint8_t sid[13];
  int16_t len = 0;
  for (auto _ : state) {
    Cng_Encode(&enc, x.data(), kFrame8k, sid, &len, 1);
    benchmark::DoNotOptimize(sid);
  }
}
BENCHMARK(CngEncode10ms);

void CngGenerate10ms(benchmark::State& state) {
  CngDecoderInst dec{};
  Cng_DecoderInit(&dec);
  const uint8_t sid[13] = {50, 0xA0, 0x30, 0xF0, 0x10, 0x08, 0xF8, 0x04, 0xFC, 0x02, 0xFE, 0x01, 0xFF};
  Cng_UpdateSid(&dec, sid, 13);
  std::vector<int16_t> out(kFrame8k);
  for (auto _ : state) {
    Cng_Generate(&dec, out.data(), kFrame8k, 0);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(CngGenerate10ms);

void Resample48To16_10ms(benchmark::State& state) {
  const auto x = speechLike(480);
  int32_t lp[kResampleLowpassStateWords] = {};
  int32_t dn[kResampleStateWords] = {};
  std::vector<int32_t> buf(488, 0), mid(320);
  std::vector<int16_t> y(160);
  for (auto _ : state) {
    Resample_LowpassBy2(x.data(), 480, buf.data() + 8, lp);
    Resample_3To2(buf.data(), mid.data(), 160);
    std::copy(buf.end() - 8, buf.end(), buf.begin());
    Resample_DownBy2Int(mid.data(), 320, y.data(), dn);
    benchmark::DoNotOptimize(y.data());
  }
}
BENCHMARK(Resample48To16_10ms);

void Resample16To48_10ms(benchmark::State& state) {
  const auto x = speechLike(160);
  int32_t u1[kResampleStateWords] = {}, u2[kResampleStateWords] = {};
  std::vector<int32_t> buf(328, 0), mid(240);
  std::vector<int16_t> y(480);
  for (auto _ : state) {
    Resample_UpBy2ShortToInt(x.data(), 160, buf.data() + 8, u1);
    Resample_4To3(buf.data(), mid.data(), 80);
    std::copy(buf.end() - 8, buf.end(), buf.begin());
    Resample_UpBy2IntToShort(mid.data(), 240, y.data(), u2);
    benchmark::DoNotOptimize(y.data());
  }
}
BENCHMARK(Resample16To48_10ms);

void SplAutoCorr160Order12(benchmark::State& state) {
  const auto x = speechLike(160);
  int32_t r[13];
  for (auto _ : state) {
    Spl_AutoCorr(x.data(), 160, 12, r);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(SplAutoCorr160Order12);

void SplFilterAR160Order12(benchmark::State& state) {
  const int16_t k[12] = {-20000, 12000, -5000, 3000, -1000, 500, -300, 200, -100, 50, -20, 10};
  int16_t a[13];
  Spl_ReflToLpc(k, 12, a);
  const auto x = speechLike(160);
  int16_t hs[12] = {}, ls[12] = {};
  std::vector<int16_t> hi(160), lo(160);
  for (auto _ : state) {
    Spl_FilterAR(a, 13, x.data(), 160, hs, 12, ls, 12, hi.data(), lo.data());
    benchmark::DoNotOptimize(hi.data());
  }
}
BENCHMARK(SplFilterAR160Order12);

void SplSqrtW32(benchmark::State& state) {
  int32_t v = 123456789;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Spl_SqrtW32(v));
    v = Spl_AddWrapW32(v, 7919) & 0x7fffffff;
  }
}
BENCHMARK(SplSqrtW32);

void SplLevinsonOrder12(benchmark::State& state) {
  const auto x = speechLike(160);
  int32_t r[13];
  Spl_AutoCorr(x.data(), 160, 12, r);
  int16_t a[13], k[12];
  for (auto _ : state) {
    benchmark::DoNotOptimize(Spl_LevinsonDurbin(r, a, k, 12));
  }
}
BENCHMARK(SplLevinsonOrder12);

}  // namespace
