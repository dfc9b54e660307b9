// Echo, gain and activity figures of the voice-processing components beside libspeexdsp, same signals.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "voice/dsp/processing/aecpc.h"
#include "voice/dsp/processing/aes.h"
#include "voice/dsp/processing/agc.h"
#include "voice/dsp/processing/tests/test_signals.h"
#include "voice/dsp/processing/vad.h"

#ifdef VPROC_WITH_SPEEXDSP
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include "bench/vproc/speex_vad.h"
#endif

namespace {

using namespace vproc_test;
using Samples = std::vector<int16_t>;

Samples speech(int rate, int talker, double rms) {
  std::string err;
  auto s = Speech(rate, talker, &err);
  if (s.empty()) {
    std::fprintf(stderr, "%s\n", err.c_str());
    std::exit(1);
  }
  return ScaleToActiveRms(s, rms);
}

// A canceller: given the far end and microphone of one 10-ms frame, writes the output.
using Canceller = std::function<void(const int16_t* far, const int16_t* mic, int16_t* out)>;

struct EchoScene {
  int rate;
  int delayMs;
  double tailMs;
  Samples far, echo, mic, nearSpeech;
  size_t dtStart = 0, dtEnd = 0;
};

EchoScene makeScene(int rate, int delayMs, double tailMs, bool doubleTalk) {
  EchoScene s{rate, delayMs, tailMs, {}, {}, {}, {}};
  const auto once = speech(rate, 0, 3000);
  for (int i = 0; i < 3; ++i) s.far.insert(s.far.end(), once.begin(), once.end());
  s.echo = EchoOf(s.far, rate, delayMs * rate / 1000, tailMs, 10, 5);
  s.nearSpeech.assign(s.far.size(), 0);
  if (doubleTalk) {
    const auto n = speech(rate, 1, 3000);
    s.dtStart = once.size();
    s.dtEnd = std::min(s.far.size(), s.dtStart + n.size());
    std::copy(n.begin(), n.begin() + static_cast<long>(s.dtEnd - s.dtStart), s.nearSpeech.begin() + static_cast<long>(s.dtStart));
  }
  s.mic = Add(Add(s.echo, WhiteNoise(s.far.size(), 30, 9)), s.nearSpeech);
  return s;
}

Samples runCanceller(const EchoScene& s, const Canceller& c) {
  const int n = s.rate / 100;
  Samples out(s.far.size() / n * n);
  for (size_t f = 0; f < out.size() / n; ++f) c(s.far.data() + f * n, s.mic.data() + f * n, out.data() + f * n);
  return out;
}

double erle(const Samples& echo, const Samples& out, size_t from, size_t to) {
  return 10 * std::log10(std::max(Energy(echo.data() + from, to - from), 1.0) /
                         std::max(Energy(out.data() + from, to - from), 1.0));
}

// First time (s) at which a half-second window with echo above -50 dBFS shows an ERLE of `db`; -1 if never.
double timeTo(const EchoScene& s, const Samples& out, double db) {
  const size_t w = static_cast<size_t>(s.rate / 2);
  const double minEnergy = std::pow(32768 * std::pow(10.0, -50 / 20.0), 2) * static_cast<double>(w);
  for (size_t o = 0; o + w <= out.size(); o += w) {
    if (Energy(s.echo.data() + o, w) < minEnergy) continue;
    if (erle(s.echo, out, o, o + w) >= db) return static_cast<double>(o) / s.rate;
  }
  return -1;
}

Canceller aecPc(int rate, int delayMs, std::vector<std::shared_ptr<void>>& keep) {
  auto a = std::make_shared<AecPc>();
  a->Create();
  a->Init(rate, 0);
  keep.push_back(a);
  const int n = rate / 100;
  return [a, n, delayMs](const int16_t* far, const int16_t* mic, int16_t* out) {
    for (int k = 0; k < n / 80; ++k) a->Process(far + 80 * k, 80);
    std::memcpy(out, mic, sizeof(int16_t) * n);
    a->ProcessNearEnd(out, n, delayMs);
  };
}

// The AEC PC's linear filter alone: its error signal, before the residual suppressor (8 kHz, where a
// frame is one core block).
Canceller aecPcError(int delayMs, std::vector<std::shared_ptr<void>>& keep) {
  auto a = std::make_shared<AecPc>();
  a->Create();
  a->Init(8000, 0);
  keep.push_back(a);
  return [a, delayMs](const int16_t* far, const int16_t* mic, int16_t* out) {
    a->Process(far, 80);
    int16_t buf[80];
    std::memcpy(buf, mic, sizeof(buf));
    a->ProcessNearEnd(buf, 80, delayMs);
    std::memcpy(out, a->Settling() ? mic : a->Core().errorBlock, sizeof(buf));
  };
}

Canceller suppressor(int rate, int delayMs, std::vector<std::shared_ptr<void>>& keep) {
  auto a = std::make_shared<SonraAEC>();
  SonraAEC_Init(a.get(), delayMs, 0, 0);
  keep.push_back(a);
  const int wide = rate == 16000;
  return [a, wide, delayMs](const int16_t* far, const int16_t* mic, int16_t* out) {
    SonraAEC_AddToFarEndBuffer(far, a.get(), wide);
    SonraAEC_Process(mic, out, a.get(), wide, delayMs);
  };
}

#ifdef VPROC_WITH_SPEEXDSP
// libspeexdsp's canceller with a filter of `filterMs`, optionally followed by its residual suppressor.
Canceller speexEcho(int rate, int filterMs, bool residual, std::vector<std::shared_ptr<void>>& keep) {
  const int n = rate / 100;
  std::shared_ptr<SpeexEchoState> echo(speex_echo_state_init(n, rate * filterMs / 1000), speex_echo_state_destroy);
  int r = rate;
  speex_echo_ctl(echo.get(), SPEEX_ECHO_SET_SAMPLING_RATE, &r);
  std::shared_ptr<SpeexPreprocessState> pre(speex_preprocess_state_init(n, rate), speex_preprocess_state_destroy);
  int off = 0;
  speex_preprocess_ctl(pre.get(), SPEEX_PREPROCESS_SET_DENOISE, &off);
  speex_preprocess_ctl(pre.get(), SPEEX_PREPROCESS_SET_ECHO_STATE, echo.get());
  keep.push_back(echo);
  keep.push_back(pre);
  return [echo, pre, residual](const int16_t* far, const int16_t* mic, int16_t* out) {
    speex_echo_cancellation(echo.get(), mic, far, out);
    if (residual) speex_preprocess_run(pre.get(), out);
  };
}
#endif

void echoTable() {
  std::printf("\n== Echo: far-end speech (-21 dBFS active) through delay + exponential tail, 10 dB echo return loss,\n"
              "   noise -61 dBFS (the best ERLE a linear filter can show is about 29 dB). ERLE of half-second windows.\n");
  std::printf("%-6s %-9s %-34s %9s %9s %12s\n", "rate", "path", "canceller", "t(10 dB)", "t(20 dB)", "ERLE >= 5 s");
  struct Path {
    int delayMs;
    double tailMs;
  };
  for (int rate : {8000, 16000}) {
    for (const Path p : {Path{60, 40}, Path{120, 100}}) {
      const EchoScene s = makeScene(rate, p.delayMs, p.tailMs, false);
      std::vector<std::shared_ptr<void>> keep;
      std::vector<std::pair<std::string, Canceller>> list;
      list.emplace_back("AEC PC (output)", aecPc(rate, p.delayMs, keep));
      if (rate == 8000) list.emplace_back("AEC PC (filter error)", aecPcError(p.delayMs, keep));
      list.emplace_back("echo suppressor (output)", suppressor(rate, p.delayMs, keep));
#ifdef VPROC_WITH_SPEEXDSP
      list.emplace_back("speexdsp echo 256 ms", speexEcho(rate, 256, false, keep));
      list.emplace_back("speexdsp echo 256 ms + preprocess", speexEcho(rate, 256, true, keep));
#endif
      char path[32];
      std::snprintf(path, sizeof(path), "%d+%.0f", p.delayMs, p.tailMs);
      for (auto& [name, c] : list) {
        const Samples out = runCanceller(s, c);
        const size_t from = static_cast<size_t>(5 * rate);
        std::printf("%-6d %-9s %-34s %9.1f %9.1f %9.1f dB\n", rate, path, name.c_str(), timeTo(s, out, 10),
                    timeTo(s, out, 20), erle(s.echo, out, from, out.size()));
      }
    }
  }
  std::printf("   (t = -1: never reached)\n");
}

void doubleTalkTable() {
  std::printf("\n== Double talk: near-end speech at the far end's level over the echo (60 ms + 40 ms path)\n");
  std::printf("%-6s %-34s %18s %22s\n", "rate", "canceller", "near end kept (dB)", "ERLE 1-2 s after (dB)");
  for (int rate : {8000, 16000}) {
    const EchoScene s = makeScene(rate, 60, 40, true);
    std::vector<std::shared_ptr<void>> keep;
    std::vector<std::pair<std::string, Canceller>> list;
    list.emplace_back("AEC PC", aecPc(rate, 60, keep));
    list.emplace_back("echo suppressor", suppressor(rate, 60, keep));
#ifdef VPROC_WITH_SPEEXDSP
    list.emplace_back("speexdsp echo 256 ms + preprocess", speexEcho(rate, 256, true, keep));
#endif
    for (auto& [name, c] : list) {
      const Samples out = runCanceller(s, c);
      const double kept = 10 * std::log10(Energy(out.data() + s.dtStart, s.dtEnd - s.dtStart) /
                                          Energy(s.nearSpeech.data() + s.dtStart, s.dtEnd - s.dtStart));
      const size_t a = s.dtEnd + rate, b = std::min(out.size(), s.dtEnd + 2 * static_cast<size_t>(rate));
      std::printf("%-6d %-34s %18.1f %22.1f\n", rate, name.c_str(), kept, b > a ? erle(s.echo, out, a, b) : 0.0);
    }
  }
}

struct GainResult {
  double outDbFs;
  int fullScale;
};

GainResult gainOf(const Samples& x, const Samples& y) {
  double e = 0;
  size_t n = 0;
  int clipped = 0;
  for (size_t i = 0; i < y.size(); ++i) {
    if (std::abs(x[i]) > 16) {
      e += double(y[i]) * y[i];
      ++n;
    }
    clipped += (y[i] == 32767 || y[i] == -32768);
  }
  return {DbFs(std::sqrt(e / std::max<size_t>(n, 1))), clipped};
}

void agcTable() {
  std::printf("\n== Gain control on speech (8 kHz), input scaled to a peak level: active output level and samples\n"
              "   at full scale\n");
  std::printf("%-10s %-12s %-22s %-22s\n", "peak dBFS", "input act.", "this AGC", "speexdsp AGC");
  const auto base = speech(8000, 0, 3000);
  int peak = 1;
  for (auto v : base) peak = std::max(peak, std::abs(int{v}));
  for (double db : {-40.0, -30.0, -20.0, -12.0, -6.0}) {
    Samples x(base.size());
    const double g = 32767 * std::pow(10.0, db / 20) / peak;
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>(std::lround(base[i] * g));
    Samples y(x.size() / 80 * 80);
    AgcInst agc;
    Agc_Init(&agc);
    for (size_t f = 0; f < y.size() / 80; ++f) Agc_Process(x.data() + f * 80, y.data() + f * 80, &agc, 8000);
    const GainResult ours = gainOf(x, y);
    char theirs[64] = "n/a";
#ifdef VPROC_WITH_SPEEXDSP
    SpeexPreprocessState* pre = speex_preprocess_state_init(80, 8000);
    int on = 1, off = 0;
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DENOISE, &off);
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_AGC, &on);
    Samples z(y.size());
    for (size_t f = 0; f < z.size() / 80; ++f) {
      std::memcpy(z.data() + f * 80, x.data() + f * 80, 160);
      speex_preprocess_run(pre, z.data() + f * 80);
    }
    speex_preprocess_state_destroy(pre);
    const GainResult sp = gainOf(x, z);
    std::snprintf(theirs, sizeof(theirs), "%6.1f dBFS, %5d", sp.outDbFs, sp.fullScale);
#endif
    std::printf("%-10.0f %6.1f dBFS  %6.1f dBFS, %5d     %s\n", db, gainOf(x, x).outDbFs, ours.outDbFs, ours.fullScale,
                theirs);
  }
}

void vadTable() {
  std::printf("\n== Voice activity (8 kHz, 10-ms frames): speech at -26 dBFS active in white or pink noise; hit rate\n"
              "   on frames within 30 dB of the loudest, false alarms on noise at least 150 ms from speech\n");
  std::printf("%-8s %-6s %-22s %-22s\n", "SNR dB", "noise", "this VAD hit / FA", "speexdsp VAD hit / FA");
  for (double snr : {30.0, 20.0, 15.0, 10.0}) {
    for (bool pink : {false, true}) {
      double hit[2] = {0, 0}, fa[2] = {0, 0};
      for (int talker : {0, 1}) {
        const auto clean = speech(8000, talker, 1600);
        Samples s(16000, 0);
        s.insert(s.end(), clean.begin(), clean.end());
        s.insert(s.end(), 16000, 0);
        const double nr = 1600 / std::pow(10.0, snr / 20);
        const auto mix = Add(s, pink ? PinkNoise(s.size(), nr, 7) : WhiteNoise(s.size(), nr, 7));
        const auto labels = SpeechLabels(s, 80);
        std::vector<int> dist(labels.size(), 1 << 20);
        int last = -(1 << 20);
        for (size_t f = 0; f < labels.size(); ++f) {
          if (labels[f]) last = static_cast<int>(f);
          dist[f] = static_cast<int>(f) - last;
        }
        last = 1 << 21;
        for (size_t f = labels.size(); f-- > 0;) {
          if (labels[f]) last = static_cast<int>(f);
          dist[f] = std::min(dist[f], last - static_cast<int>(f));
        }
        for (int which = 0; which < 2; ++which) {
          VadInst vad;
          Vad_Init(&vad, 0);
#ifdef VPROC_WITH_SPEEXDSP
          SpeexPreprocessState* pre = speex_preprocess_state_init(80, 8000);
          EnableSpeexVadQuietly(pre);
#else
          if (which == 1) continue;
#endif
          int h = 0, sp = 0, a = 0, ns = 0;
          for (size_t f = 0; f < labels.size(); ++f) {
            int d;
            if (which == 0) {
              d = Vad_ProcessBands(&vad, mix.data() + f * 80, 80) > 0;
            } else {
#ifdef VPROC_WITH_SPEEXDSP
              Samples buf(mix.begin() + static_cast<long>(f * 80), mix.begin() + static_cast<long>(f * 80 + 80));
              d = speex_preprocess_run(pre, buf.data()) != 0;
#else
              d = 0;
#endif
            }
            if (f < 100) continue;
            if (labels[f]) {
              ++sp;
              h += d;
            } else if (dist[f] > 15) {
              ++ns;
              a += d;
            }
          }
#ifdef VPROC_WITH_SPEEXDSP
          speex_preprocess_state_destroy(pre);
#endif
          hit[which] += 0.5 * h / sp;
          fa[which] += 0.5 * a / ns;
        }
      }
      std::printf("%-8.0f %-6s %8.3f / %-8.3f     %8.3f / %-8.3f\n", snr, pink ? "pink" : "white", hit[0], fa[0], hit[1],
                  fa[1]);
    }
  }
}

}  // namespace

int main() {
  echoTable();
  doubleTalkTable();
  agcTable();
  vadTable();
  return 0;
}
