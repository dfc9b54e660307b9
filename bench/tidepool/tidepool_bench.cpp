// Tidepool figures: CPU per 10 ms of insert + playout, and delay and concealment on network traces.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "voice/dsp/g711.h"
#include "voice/tidepool/tidepool.h"
#include "voice/tidepool/tidepool_internal.h"

namespace {

constexpr int kFrame = 160;        // 20-ms PCMU packets
constexpr int kBaseDelayMs = 20;   // the network's fixed one-way delay
constexpr uint32_t kTs0 = 5000;

// Speech-like content: a harmonic series with a wandering pitch and syllable-rate envelope.
std::vector<uint8_t> MakeUlaw(int packets) {
  std::vector<int16_t> pcm(static_cast<size_t>(packets) * kFrame);
  double phase = 0;
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0, 150);
  for (size_t i = 0; i < pcm.size(); ++i) {
    const double t = static_cast<double>(i) / 8000;
    const double f0 = 120 + 25 * std::sin(2 * M_PI * 0.7 * t);
    phase += 2 * M_PI * f0 / 8000;
    double v = 0;
    for (int h = 1; h <= 10; ++h) v += std::sin(h * phase) / h;
    const double env = 0.55 + 0.45 * std::sin(2 * M_PI * 3.5 * t);
    pcm[i] = static_cast<int16_t>(std::clamp(5000 * env * v + noise(rng), -32000.0, 32000.0));
  }
  std::vector<uint8_t> codes(pcm.size());
  for (size_t off = 0; off < pcm.size(); off += 8000)
    G711_LinearToUlaw(pcm.data() + off, static_cast<int16_t>(std::min<size_t>(8000, pcm.size() - off)), codes.data() + off);
  return codes;
}

std::vector<uint8_t> RtpPacket(const std::vector<uint8_t>& codes, int k) {
  std::vector<uint8_t> p(12 + kFrame);
  const uint16_t seq = static_cast<uint16_t>(k);
  const uint32_t ts = kTs0 + static_cast<uint32_t>(k * kFrame);
  p[0] = 0x80;
  p[1] = 0;
  p[2] = static_cast<uint8_t>(seq >> 8);
  p[3] = static_cast<uint8_t>(seq);
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
  p[8] = 0x12;
  p[11] = 0x34;
  memcpy(p.data() + 12, codes.data() + static_cast<size_t>(k) * kFrame, kFrame);
  return p;
}

// One packet's trip: sent every 20 ms, delayed by the base plus a uniform jitter, or lost.
struct Trip {
  int k;
  double arrivalMs;
};

std::vector<Trip> MakeTrace(int packets, int jitterMs, double loss, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> jitter(0.0, std::max(jitterMs, 0) * 1.0);
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  std::vector<Trip> trips;
  for (int k = 0; k < packets; ++k) {
    const double extra = jitterMs > 0 ? jitter(rng) : 0.0;
    if (coin(rng) < loss) continue;
    trips.push_back({k, 20.0 * k + kBaseDelayMs + extra});
  }
  std::stable_sort(trips.begin(), trips.end(), [](const Trip& a, const Trip& b) { return a.arrivalMs < b.arrivalMs; });
  return trips;
}

struct Figures {
  double meanDelayMs = 0;
  double p95DelayMs = 0;
  double concealedPct = 0;
  double acceleratedMs = 0;
  double discardedMs = 0;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

// Tidepool on a trace: 10-ms playout calls; delay = when a sample is played minus when it was sent,
// less the network's base delay.
Figures RunTidepool(const std::vector<uint8_t>& codes, const std::vector<Trip>& trips, int packets) {
  TidepoolInst* inst = nullptr;
  TIDEPOOL_SONRA_10MS16B_create(&inst);
  TIDEPOOL_SONRA_10MS16B_Init(inst, 8000);
  const int ticks = packets * 2;
  const int warmup = 300;  // 3 s
  size_t next = 0;
  std::vector<double> delays;
  uint32_t concealedAtWarmup = 0;
  uint32_t acceleratedAtWarmup = 0;
  uint32_t discardedAtWarmup = 0;
  int16_t out[160];
  int16_t count = 0;
  for (int t = 0; t < ticks; ++t) {
    const double now = 10.0 * t;
    while (next < trips.size() && trips[next].arrivalMs <= now) {
      const auto p = RtpPacket(codes, trips[next].k);
      TIDEPOOL_SONRA_10MS16B_RecIn(inst, p.data(), static_cast<int32_t>(p.size()),
                                   Tidepool_ArrivalTime(static_cast<uint64_t>(trips[next].arrivalMs), 8000));
      ++next;
    }
    TIDEPOOL_SONRA_10MS16B_RecOut(inst, out, &count);
    if (t == warmup) {
      concealedAtWarmup = inst->playout.concealedTotal;
      acceleratedAtWarmup = inst->playout.acceleratedSamples;
      discardedAtWarmup = inst->playout.discardedTotal;
    }
    if (t > warmup) {
      uint32_t ts = 0;
      TIDEPOOL_SONRA_10MS16B_GetPlayoutTimestamp(inst, &ts);
      const double sentMs = static_cast<int32_t>(ts - kTs0) / 8.0;
      delays.push_back(now + 10.0 - sentMs - kBaseDelayMs);
    }
  }
  Figures f;
  const double measured = static_cast<double>(ticks - warmup - 1) * 80.0;
  double sum = 0;
  for (double d : delays) sum += d;
  f.meanDelayMs = delays.empty() ? 0 : sum / static_cast<double>(delays.size());
  f.p95DelayMs = Percentile(delays, 0.95);
  f.concealedPct = 100.0 * (inst->playout.concealedTotal - concealedAtWarmup) / measured;
  f.acceleratedMs = (inst->playout.acceleratedSamples - acceleratedAtWarmup) / 8.0;
  f.discardedMs = (inst->playout.discardedTotal - discardedAtWarmup) / 8.0;
  TIDEPOOL_SONRA_10MS16B_free(inst);
  return f;
}

void PrintTable() {
  const int packets = 3000;  // 60 s
  const auto codes = MakeUlaw(packets);
  printf("\nJitter buffer on synthetic traces: 60 s of 20-ms PCMU, one-way delay %d ms + uniform jitter,\n", kBaseDelayMs);
  printf("independent loss; delay = play time - send time - %d ms, after 3 s of warm-up; mean of 3 seeds.\n", kBaseDelayMs);
  printf("conceal%% = concealed share of the audio played (expansion samples).\n\n");
  printf("%-7s %-5s | %-9s %-9s %-9s %-9s %-9s", "jitter", "loss", "TP mean", "TP p95", "TP conc%", "TP accel", "TP flush");
  printf("\n%-7s %-5s | %-9s %-9s %-9s %-9s %-9s\n", "(ms)", "(%)", "(ms)", "(ms)", "", "(ms)", "(ms)");
  for (int jitter : {0, 20, 60}) {
    for (double loss : {0.0, 0.05, 0.10}) {
      Figures tp;
      const int seeds = 3;
      for (int seed = 1; seed <= seeds; ++seed) {
        const auto trips = MakeTrace(packets, jitter, loss, static_cast<unsigned>(seed * 1000 + jitter * 10 + static_cast<int>(loss * 100)));
        const Figures a = RunTidepool(codes, trips, packets);
        tp.meanDelayMs += a.meanDelayMs / seeds;
        tp.p95DelayMs += a.p95DelayMs / seeds;
        tp.concealedPct += a.concealedPct / seeds;
        tp.acceleratedMs += a.acceleratedMs / seeds;
        tp.discardedMs += a.discardedMs / seeds;
      }
      printf("%-7d %-5.0f | %-9.1f %-9.1f %-9.2f %-9.0f %-9.0f\n", jitter, loss * 100, tp.meanDelayMs, tp.p95DelayMs,
             tp.concealedPct, tp.acceleratedMs, tp.discardedMs);
    }
  }
}

// A steady stream for the CPU figures: every benchmark iteration is one 10-ms playout call, with the
// packets of the trace that have arrived by then inserted first.
class Workload {
 public:
  Workload(int jitterMs, double loss) : codes_(MakeUlaw(kPackets)), trips_(MakeTrace(kPackets, jitterMs, loss, 42)) {
    TIDEPOOL_SONRA_10MS16B_create(&inst_);
    Restart();
    packets_.reserve(trips_.size());
    for (const auto& t : trips_) packets_.push_back(RtpPacket(codes_, t.k));
  }
  ~Workload() { TIDEPOOL_SONRA_10MS16B_free(inst_); }
  Workload(const Workload&) = delete;
  Workload& operator=(const Workload&) = delete;

  void Tick() {
    const double now = 10.0 * tick_;
    while (next_ < trips_.size() && trips_[next_].arrivalMs <= now) {
      const auto& p = packets_[next_];
      TIDEPOOL_SONRA_10MS16B_RecIn(inst_, p.data(), static_cast<int32_t>(p.size()),
                                   Tidepool_ArrivalTime(static_cast<uint64_t>(trips_[next_].arrivalMs), 8000));
      ++next_;
    }
    int16_t count = 0;
    TIDEPOOL_SONRA_10MS16B_RecOut(inst_, out_, &count);
    if (++tick_ >= 2 * kPackets) Restart();
  }

 private:
  static constexpr int kPackets = 1500;
  void Restart() {
    TIDEPOOL_SONRA_10MS16B_Init(inst_, 8000);
    tick_ = 0;
    next_ = 0;
  }
  std::vector<uint8_t> codes_;
  std::vector<Trip> trips_;
  std::vector<std::vector<uint8_t>> packets_;
  TidepoolInst* inst_ = nullptr;
  int tick_ = 0;
  size_t next_ = 0;
  int16_t out_[160];
};

void BM_InsertAndPlayout(benchmark::State& state) {
  Workload w(static_cast<int>(state.range(0)), static_cast<double>(state.range(1)) / 100.0);
  for (auto _ : state) w.Tick();
  state.counters["per_10ms"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel("jitter " + std::to_string(state.range(0)) + " ms, loss " + std::to_string(state.range(1)) + " %");
}
BENCHMARK(BM_InsertAndPlayout)->Args({0, 0})->Args({20, 5})->Args({60, 10})->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // --workload N: N playout calls of the jitter-20-ms, loss-5-% trace and nothing else; the fixed
  // work for an instruction count under callgrind (see README.md beside this file).
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--workload" && i + 1 < argc) {
      const int n = std::atoi(argv[i + 1]);
      Workload w(20, 0.05);
      for (int k = 0; k < n; ++k) w.Tick();
      printf("ran %d playout calls (%d ms of audio)\n", n, 10 * n);
      return 0;
    }
    if (std::string(argv[i]) == "--table") {
      PrintTable();
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintTable();
  return 0;
}
