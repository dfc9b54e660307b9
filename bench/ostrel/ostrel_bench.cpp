// Ostrel benchmarks: bytes per second against raw G.711, CPU per 10 ms, wideband quality.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "voice/dsp/g711.h"
#include "voice/dsp/ostrel/ostrel711.h"
#include "voice/dsp/ostrel/ostrelwb.h"

namespace {

const char* kSentence =
    "The quick brown fox jumps over the lazy dog. She sells sea shells by the sea shore, "
    "and the shells she sells are surely sea shells. Five hundred and sixty six.";

// Speech from espeak-ng resampled by sox; empty when either is missing.
std::vector<int16_t> Speech(int rate) {
  const std::string wav = "/tmp/ostrel_bench_speech.wav";
  const std::string raw = "/tmp/ostrel_bench_speech_" + std::to_string(rate) + ".raw";
  const std::string cmd = std::string("espeak-ng -w ") + wav + " '" + kSentence + "' >/dev/null 2>&1 && sox " + wav +
                          " -r " + std::to_string(rate) + " -b 16 -c 1 -e signed " + raw + " >/dev/null 2>&1";
  std::vector<int16_t> x;
  if (std::system(cmd.c_str()) != 0) return x;
  if (FILE* f = std::fopen(raw.c_str(), "rb")) {
    int16_t s;
    while (std::fread(&s, 2, 1, f) == 1) x.push_back(s);
    std::fclose(f);
  }
  std::remove(raw.c_str());
  return x;
}

std::vector<int16_t> Noise(int n, double sigma) {
  std::mt19937 rng(1);
  std::normal_distribution<double> nd(0.0, sigma);
  std::vector<int16_t> x(static_cast<size_t>(n));
  for (auto& v : x) v = static_cast<int16_t>(std::lround(std::clamp(nd(rng), -32768.0, 32767.0)));
  return x;
}

// Speech when available, else a filtered noise of similar level.
const std::vector<int16_t>& SpeechOr(int rate) {
  static std::vector<int16_t> s8 = Speech(8000), s16 = Speech(16000);
  auto& s = rate == 8000 ? s8 : s16;
  if (s.empty()) s = Noise(rate * 3, 2000.0);
  return s;
}

// ---- Figures ----------------------------------------------------------------------------------------

void Ostrel711Figures(const char* name, std::vector<int16_t> x, int law) {
  x.resize(x.size() / 320 * 320);
  static Ostrel711Codec enc;
  Ostrel711_Init(&enc, static_cast<int16_t>(law), 0, 320);
  long bytes = 0;
  long frames = 0;
  long raw = 0;
  for (size_t b = 0; b < x.size(); b += 80) {
    uint8_t p[kOstrel711MaxPacketBytes];
    int16_t n, need;
    Ostrel711_EncodeCore(&enc, &x[b], p, &n, &need);
    if (n == 0) continue;
    bytes += n;
    // First-section length codes: 57 marks an uncompressed frame.
    for (int i = 0; i < 4; ++i) {
      const int bit = 2 + 6 * i;
      const int code = ((((p[bit >> 3] << 8) | p[(bit >> 3) + 1]) >> (10 - (bit & 7))) & 63);
      ++frames;
      if (code == 57) ++raw;
    }
  }
  // A general-purpose compressor on the G.711 byte stream, as a floor for comparison.
  std::string xzText = "n/a";
  {
    const char* path = "/tmp/ostrel_bench_codes.bin";
    if (FILE* f = std::fopen(path, "wb")) {
      for (int16_t s : x) {
        const uint8_t c = law ? G711_AlawEncodeSample(s) : G711_UlawEncodeSample(s);
        std::fwrite(&c, 1, 1, f);
      }
      std::fclose(f);
      if (FILE* p = popen("xz -9e -c /tmp/ostrel_bench_codes.bin 2>/dev/null | wc -c", "r")) {
        long n = 0;
        if (std::fscanf(p, "%ld", &n) == 1 && n > 0) {
          char buf[64];
          std::snprintf(buf, sizeof buf, "%.0f", n * 8000.0 / x.size());
          xzText = buf;
        }
        pclose(p);
      }
      std::remove(path);
    }
  }
  const double bps = bytes * 8000.0 / static_cast<double>(x.size());
  std::printf("  %-8s %-6s %8.0f B/s  %5.1f %% of G.711 (8000 B/s)  uncompressed frames %5.1f %%  xz of G.711 codes %s B/s\n",
              name, law ? "A-law" : "mu-law", bps, 100.0 * bps / 8000.0, 100.0 * raw / std::max(1L, frames), xzText.c_str());
}

double SnrBestLag(const std::vector<double>& ref, const std::vector<int16_t>& test, int maxLag, int* lagOut) {
  double best = -1e9;
  for (int lag = 0; lag <= maxLag; ++lag) {
    double s = 0, e = 0;
    for (size_t i = 0; i + static_cast<size_t>(lag) < test.size() && i < ref.size(); ++i) {
      const double d = ref[i] - test[i + static_cast<size_t>(lag)];
      s += ref[i] * ref[i];
      e += d * d;
    }
    const double snr = 10 * std::log10(s / (e + 1e-9));
    if (snr > best) {
      best = snr;
      *lagOut = lag;
    }
  }
  return best;
}

// Mean log-spectral distance (dB) over 256-sample Hann-windowed frames with some energy in the reference.
double Lsd(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, int lag) {
  const int n = 256;
  const double pi = std::acos(-1.0);
  double total = 0;
  int count = 0;
  for (size_t start = 0; start + n + static_cast<size_t>(lag) <= test.size() && start + n <= ref.size(); start += n) {
    double energy = 0;
    for (int i = 0; i < n; ++i) energy += double(ref[start + i]) * ref[start + i];
    if (energy < n * 100.0 * 100.0) continue;  // skip pauses
    double sum = 0;
    for (int k = 1; k < n / 2; ++k) {
      double ar = 0, ai = 0, br = 0, bi = 0;
      for (int i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * pi * i / n);
        const double c = std::cos(2 * pi * k * i / n), s = std::sin(2 * pi * k * i / n);
        ar += w * ref[start + i] * c;
        ai += w * ref[start + i] * s;
        br += w * test[start + lag + i] * c;
        bi += w * test[start + lag + i] * s;
      }
      const double d = 10 * std::log10((ar * ar + ai * ai + 1.0) / (br * br + bi * bi + 1.0));
      sum += d * d;
    }
    total += std::sqrt(sum / (n / 2 - 1));
    ++count;
  }
  return count ? total / count : 0.0;
}

void WidebandFigures() {
  std::vector<int16_t> x = SpeechOr(16000);
  x.resize(x.size() / 640 * 640);
  std::vector<double> xd(x.begin(), x.end());
  // Uncoded split and merge: the codec's own transparent reference.
  OstrelWbAllPass sp{}, sq{}, mp{}, mq{};
  std::vector<int16_t> sm(x.size());
  for (size_t f = 0; f < x.size(); f += 160) {
    int16_t lo[80], up[80];
    OstrelWb_SplitBands(&sp, &sq, &x[f], lo, up);
    OstrelWb_MergeBands(&mp, &mq, lo, up, &sm[f]);
  }
  int lag = 0;
  std::printf("\nOstrel wideband on %zu ms of 16-kHz speech\n", x.size() / 16);
  const double smSnr = SnrBestLag(xd, sm, 40, &lag);
  std::printf("  split+merge, no coding: SNR %.1f dB at lag %d (all-pass phase), LSD %.2f dB\n", smSnr, lag, Lsd(x, sm, lag));
  for (int frames : {1, 2, 4}) {
    static OstrelWbCodec enc, dec;
    OstrelWb_Init(&enc, static_cast<int16_t>(160 * frames));
    OstrelWb_Init(&dec, 160);
    std::vector<int16_t> out;
    long bytes = 0;
    for (size_t f = 0; f < x.size(); f += 160) {
      uint8_t p[kOstrelWbMaxPacketBytes];
      int16_t n, need;
      OstrelWb_Encode(&enc, &x[f], p, &n, &need);
      if (n == 0) continue;
      bytes += n;
      int16_t pcm[640], type;
      const int r = OstrelWb_Decode(&dec, p, n, pcm, &type);
      if (r > 0) out.insert(out.end(), pcm, pcm + r);
    }
    const size_t delay = 160u * frames;
    std::vector<int16_t> aligned(out.begin() + static_cast<long>(delay), out.end());
    std::vector<double> smd(sm.begin(), sm.end());
    int l2 = 0;
    const double vsSm = SnrBestLag(smd, aligned, 0, &l2);
    int l3 = 0;
    const double vsIn = SnrBestLag(xd, aligned, 40, &l3);
    std::printf("  OSTRELWB %d frame(s)/packet: %6.0f B/s (%.0f kbit/s); SNR against uncoded split+merge %.1f dB; "
                "against input %.1f dB (lag %d); LSD %.2f dB\n",
                frames, bytes * 16000.0 / x.size(), bytes * 16000.0 * 8 / x.size() / 1000, vsSm, vsIn, l3, Lsd(x, aligned, l3));
  }
}

void PrintFigures() {
  std::printf("Ostrel711 bytes per second (4 blocks a packet; each block travels twice, once in each section)\n");
  const auto& speech = SpeechOr(8000);
  for (int law = 0; law < 2; ++law) {
    Ostrel711Figures("speech", speech, law);
    Ostrel711Figures("silence", std::vector<int16_t>(8000 * 3, 0), law);
    Ostrel711Figures("noise", Noise(8000 * 3, 3000.0), law);
  }
  WidebandFigures();
  std::printf("\n");
}

// ---- CPU per 10 ms ------------------------------------------------------------------------------------

// Encodes x `block` samples a call, then decodes one of the packets an iteration, round robin.
template <size_t MaxBytes, int OutSamples, typename Codec>
void DecodeEncodedSpeech(benchmark::State& state, const std::vector<int16_t>& x, size_t block, Codec* enc, Codec* dec,
                         int16_t (*encode)(Codec*, const int16_t*, uint8_t*, int16_t*, int16_t*),
                         int16_t (*decode)(Codec*, const uint8_t*, int32_t, int16_t*, int16_t*, int)) {
  std::vector<std::vector<uint8_t>> packets;
  for (size_t b = 0; b + block <= x.size(); b += block) {
    uint8_t p[MaxBytes];
    int16_t n, need;
    encode(enc, &x[b], p, &n, &need);
    packets.emplace_back(p, p + n);
  }
  size_t k = 0;
  for (auto _ : state) {
    int16_t out[OutSamples], type;
    decode(dec, packets[k].data(), static_cast<int32_t>(packets[k].size()), out, &type, OutSamples);
    benchmark::DoNotOptimize(out);
    k = (k + 1) % packets.size();
  }
}

void BM_Ostrel711Encode(benchmark::State& state) {
  const auto& x = SpeechOr(8000);
  static Ostrel711Codec enc;
  Ostrel711_Init(&enc, 0, 0, 80);
  uint8_t p[kOstrel711MaxPacketBytes];
  size_t b = 0;
  for (auto _ : state) {
    int16_t n, need;
    Ostrel711_EncodeCore(&enc, &x[b], p, &n, &need);
    benchmark::DoNotOptimize(p);
    b = (b + 80 + 80 <= x.size()) ? b + 80 : 0;
  }
  state.SetLabel("one 10-ms block");
}
BENCHMARK(BM_Ostrel711Encode)->Unit(benchmark::kMicrosecond);

void BM_Ostrel711Decode(benchmark::State& state) {
  const auto& x = SpeechOr(8000);
  static Ostrel711Codec enc, dec;
  Ostrel711_Init(&enc, 0, 0, 80);
  Ostrel711_Init(&dec, 0, 0, 80);
  DecodeEncodedSpeech<kOstrel711MaxPacketBytes, kOstrel711MaxDecodedSamples>(state, x, 80, &enc, &dec,
                                                                            Ostrel711_EncodeCore, Ostrel711_Decode);
  state.SetLabel("one 10-ms block");
}
BENCHMARK(BM_Ostrel711Decode)->Unit(benchmark::kMicrosecond);

void BM_OstrelWbEncode(benchmark::State& state) {
  const auto& x = SpeechOr(16000);
  static OstrelWbCodec enc;
  OstrelWb_Init(&enc, 160);
  uint8_t p[kOstrelWbMaxPacketBytes];
  size_t f = 0;
  for (auto _ : state) {
    int16_t n, need;
    OstrelWb_Encode(&enc, &x[f], p, &n, &need);
    benchmark::DoNotOptimize(p);
    f = (f + 320 <= x.size()) ? f + 160 : 0;
  }
  state.SetLabel("one 10-ms frame");
}
BENCHMARK(BM_OstrelWbEncode)->Unit(benchmark::kMicrosecond);

void BM_OstrelWbDecode(benchmark::State& state) {
  const auto& x = SpeechOr(16000);
  static OstrelWbCodec enc, dec;
  OstrelWb_Init(&enc, 160);
  OstrelWb_Init(&dec, 160);
  DecodeEncodedSpeech<kOstrelWbMaxPacketBytes, kOstrelWbMaxDecodedSamples>(state, x, 160, &enc, &dec, OstrelWb_Encode,
                                                                          OstrelWb_Decode);
  state.SetLabel("one 10-ms frame");
}
BENCHMARK(BM_OstrelWbDecode)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  PrintFigures();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
