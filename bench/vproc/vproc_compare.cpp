// Echo, gain and activity figures of the voice-processing components on test signals.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "voice/dsp/processing/aecpc.h"
#include "voice/dsp/processing/aes.h"
#include "voice/dsp/processing/agc.h"
#include "voice/dsp/processing/tests/test_signals.h"
#include "voice/dsp/processing/vad.h"

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
  std::printf("%-10s %-12s %s\n", "peak dBFS", "input act.", "this AGC");
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
    std::printf("%-10.0f %6.1f dBFS  %6.1f dBFS, %5d\n", db, gainOf(x, x).outDbFs, ours.outDbFs, ours.fullScale);
  }
}

void vadTable() {
  std::printf("\n== Voice activity (8 kHz, 10-ms frames): speech at -26 dBFS active in white or pink noise; hit rate\n"
              "   on frames within 30 dB of the loudest, false alarms on noise at least 150 ms from speech\n");
  std::printf("%-8s %-6s %s\n", "SNR dB", "noise", "this VAD hit / FA");
  for (double snr : {30.0, 20.0, 15.0, 10.0}) {
    for (bool pink : {false, true}) {
      double hit = 0, fa = 0;
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
        VadInst vad;
        Vad_Init(&vad, 0);
        int h = 0, sp = 0, a = 0, ns = 0;
        for (size_t f = 0; f < labels.size(); ++f) {
          const int d = Vad_ProcessBands(&vad, mix.data() + f * 80, 80) > 0;
          if (f < 100) continue;
          if (labels[f]) {
            ++sp;
            h += d;
          } else if (dist[f] > 15) {
            ++ns;
            a += d;
          }
        }
        hit += 0.5 * h / sp;
        fa += 0.5 * a / ns;
      }
      std::printf("%-8.0f %-6s %8.3f / %.3f\n", snr, pink ? "pink" : "white", hit, fa);
    }
  }
}

// ---- The conditions users meet ------------------------------------------------------------------

// One scene: far-end speech for 20 s through a room; the path may change halfway; near-end speech may
// talk over it for 10 s; the canceller may be given a delay off the true one.
struct Condition {
  const char* name;
  int delayMs;
  double tailMs;
  int hintOffMs;
  int pathChangeMs;  // 0: the path stays; else the new room's echo comes this much later
  bool doubleTalk;
  int driftPpm = 0;      // the microphone's clock against the loudspeaker's
  bool clipping = false; // a loudspeaker that saturates softly on loud far-end speech
};

struct ConditionScene {
  int rate;
  Samples far, echo, mic, nearSpeech;
  size_t change = 0;            // first sample of the changed path (0: none)
  size_t dtStart = 0, dtEnd = 0;
};

ConditionScene makeCondition(int rate, const Condition& c, double noiseRms) {
  ConditionScene s;
  s.rate = rate;
  const auto once = speech(rate, 0, 3000);
  const size_t total = static_cast<size_t>(20 * rate);
  while (s.far.size() < total) s.far.insert(s.far.end(), once.begin(), once.end());
  s.far.resize(total);
  // What the loudspeaker plays, as the microphone's clock samples it.
  Samples played = s.far;
  if (c.clipping)
    for (auto& v : played) v = static_cast<int16_t>(std::lround(9000 * std::tanh(v / 9000.0)));
  if (c.driftPpm != 0) {
    const Samples src = played;
    const double step = 1 + c.driftPpm * 1e-6;
    for (size_t i = 0; i < played.size(); ++i) {
      const double t = static_cast<double>(i) * step;
      const size_t k = static_cast<size_t>(t);
      const double a = t - static_cast<double>(k);
      const double x0 = k < src.size() ? src[k] : 0, x1 = k + 1 < src.size() ? src[k + 1] : 0;
      played[i] = static_cast<int16_t>(std::lround((1 - a) * x0 + a * x1));
    }
  }
  s.echo = EchoOf(played, rate, c.delayMs * rate / 1000, c.tailMs, 10, 5);
  if (c.pathChangeMs != 0) {
    // Someone moves: a different room response, its echo later or earlier.
    s.change = total / 2;
    const auto other = EchoOf(s.far, rate, (c.delayMs + c.pathChangeMs) * rate / 1000, c.tailMs, 10, 11);
    std::copy(other.begin() + static_cast<long>(s.change), other.end(), s.echo.begin() + static_cast<long>(s.change));
  }
  s.nearSpeech.assign(total, 0);
  if (c.doubleTalk) {
    const auto n = speech(rate, 1, 3000);
    s.dtStart = static_cast<size_t>(6 * rate);
    s.dtEnd = s.dtStart + static_cast<size_t>(10 * rate);
    for (size_t i = s.dtStart; i < s.dtEnd; ++i) s.nearSpeech[i] = n[(i - s.dtStart) % n.size()];
  }
  s.mic = Add(s.echo, s.nearSpeech);
  if (noiseRms > 0) s.mic = Add(s.mic, WhiteNoise(total, noiseRms, 9));
  return s;
}

// Near-end speech through the canceller's own high-pass, for the output to be compared against.
Samples highPassed(int rate, Samples x) {
  const int16_t hp8[5] = {3798, -7596, 3798, 7807, -3733}, hp16[5] = {4012, -8024, 4012, 8002, -3913};
  int16_t hi[2] = {0, 0}, lo[2] = {0, 0}, in[2] = {0, 0};
  AecPcCore_HighPass(x.data(), rate == 16000 ? hp16 : hp8, hi, lo, in, static_cast<int>(x.size()));
  return x;
}

struct ConditionResult {
  double erle1 = 0, erle3 = 0, steady = 0;  // far end only; after the change when the path changes
  double dtRemoved = NAN, nearCorr = NAN, nearLevel = NAN;
};

// During double talk: the echo left in the near talker's pauses (20-ms windows without near-end speech),
// and, in 0.25-s windows where the near end talks, the output split by least squares into the near end
// (raw and high-passed, whichever the canceller kept better) and the rest.
ConditionResult measureCondition(const ConditionScene& s, const Samples& out) {
  ConditionResult r;
  const size_t sec = static_cast<size_t>(s.rate);
  const size_t origin = s.change;
  auto farOnly = [&](size_t from, size_t to) {
    // Seconds of far end only: skip the double talk.
    if (s.dtEnd > s.dtStart && from < s.dtEnd && to > s.dtStart) return false;
    return to <= out.size();
  };
  if (farOnly(origin + sec, origin + 2 * sec)) r.erle1 = erle(s.echo, out, origin + sec, origin + 2 * sec);
  if (farOnly(origin + 3 * sec, origin + 4 * sec)) r.erle3 = erle(s.echo, out, origin + 3 * sec, origin + 4 * sec);
  // Steady: the last 4 s before the change, or of the scene.
  const size_t steadyEnd = s.change != 0 ? s.change : out.size();
  r.steady = erle(s.echo, out, steadyEnd - 4 * sec, steadyEnd);
  if (s.dtEnd > s.dtStart) {
    r.erle1 = erle(s.echo, out, sec, 2 * sec);
    r.erle3 = erle(s.echo, out, 3 * sec, 4 * sec);
    r.steady = erle(s.echo, out, out.size() - 4 * sec, out.size());
    const Samples hp = highPassed(s.rate, s.nearSpeech);
    const size_t w = sec / 4;
    double echoE = 0, restE = 0, keptE = 0, nearE = 0;
    std::vector<double> corr;
    for (size_t o = s.dtStart; o + w <= s.dtEnd; o += w) {
      const int16_t* y = out.data() + o;
      double best = 0, bestKept = 0, bestRest = Energy(y, w);
      for (const Samples* ref : {&s.nearSpeech, &hp}) {
        const int16_t* x = ref->data() + o;
        double xy = 0, xx = 0;
        for (size_t i = 0; i < w; ++i) {
          xy += double(x[i]) * y[i];
          xx += double(x[i]) * x[i];
        }
        if (xx <= 0) continue;
        const double a = xy / xx;
        const double rest = std::max(Energy(y, w) - a * a * xx, 0.0);
        if (rest <= bestRest) {
          bestRest = rest;
          bestKept = a * a * xx;
          best = xy / std::sqrt(xx * std::max(Energy(y, w), 1.0));
        }
      }
      if (Rms(s.nearSpeech.data() + o, w) > 3000 / 4.0) {
        corr.push_back(best);
        keptE += bestKept;
        nearE += Energy(s.nearSpeech.data() + o, w);
      }
    }
    const size_t p = sec / 50;
    for (size_t o = s.dtStart; o + p <= s.dtEnd; o += p) {
      if (Rms(s.nearSpeech.data() + o, p) > 10) continue;
      echoE += Energy(s.echo.data() + o, p);
      restE += Energy(out.data() + o, p);
    }
    r.dtRemoved = 10 * std::log10(std::max(echoE, 1.0) / std::max(restE, 1.0));
    if (!corr.empty()) {
      std::sort(corr.begin(), corr.end());
      r.nearCorr = corr[corr.size() / 2];
      r.nearLevel = 10 * std::log10(std::max(keptE, 1.0) / std::max(nearE, 1.0));
    }
  }
  return r;
}

const Condition kConditions[] = {
    {"60+40 ms, right delay", 60, 40, 0, 0, false},
    {"60+40 ms, delay 30 ms short", 60, 40, -30, 0, false},
    {"60+40 ms, delay 30 ms long", 60, 40, 30, 0, false},
    {"100+40 ms, delay 50 ms short", 100, 40, -50, 0, false},
    {"100+40 ms, delay 50 ms long", 100, 40, 50, 0, false},
    {"60+150 ms room", 60, 150, 0, 0, false},
    {"60+40 ms, path change at 10 s", 60, 40, 0, 20, false},
    {"60+40 ms, path 20 ms earlier", 60, 40, 0, -20, false},
    {"60+40 ms, 10 s double talk", 60, 40, 0, 0, true},
    {"70+40 ms, hint 40 ms, double talk", 70, 40, -30, 0, true},
    {"70+150 ms, hint 40 ms, double talk", 70, 150, -30, 0, true},
    {"70+250 ms, hint 40 ms, double talk", 70, 250, -30, 0, true},
    {"70+150 ms, right hint, double talk", 70, 150, 0, 0, true},
    {"60+150 ms, drift +100 ppm", 60, 150, 0, 0, false, 100},
    {"60+150 ms, drift -100 ppm", 60, 150, 0, 0, false, -100},
    {"60+150 ms, clipping speaker", 60, 150, 0, 0, false, 0, true},
    {"70+150 ms, hint 40, DT, drift", 70, 150, -30, 0, true, 100},
    {"70+150 ms, hint 40, DT, clipping", 70, 150, -30, 0, true, 0, true},
};

// One row of the conditions at one rate, AEC PC only: every half second the echo removed (the output
// against the high-passed near end) and the core's state, to see where a row goes wrong.
void traceCondition(int rate, const std::string& row, bool noisy) {
  for (const Condition& c : kConditions) {
    if (std::string(c.name).find(row) == std::string::npos) continue;
    const ConditionScene s = makeCondition(rate, c, noisy ? 30 : 0);
    auto a = std::make_shared<AecPc>();
    a->Create();
    a->Init(rate, 0);
    const Samples hp = highPassed(rate, s.nearSpeech);
    const size_t n = static_cast<size_t>(rate / 100), half = static_cast<size_t>(rate / 2);
    Samples out(s.mic.size());
    std::printf("%s (%d Hz)\n   t  removed  pauses  lin  window   taps  conf proven adapted step  tail\n",
                c.name, rate);
    double echoE = 0, restE = 0, pauseEchoE = 0, pauseRestE = 0, linEchoE = 0, linRestE = 0;
    const size_t p = static_cast<size_t>(rate / 50);
    for (size_t o = 0; o + n <= s.mic.size(); o += n) {
      for (size_t k = 0; k < n / 80; ++k) a->Process(s.far.data() + o + 80 * k, 80);
      std::memcpy(out.data() + o, s.mic.data() + o, n * sizeof(int16_t));
      a->ProcessNearEnd(out.data() + o, static_cast<int>(n), c.delayMs + c.hintOffMs);
      for (size_t i = o; i < o + n; ++i) {
        echoE += double(s.echo[i]) * s.echo[i];
        const double r = double(out[i]) - hp[i];
        restE += r * r;
      }
      // The filter's own error there ("lin"), from the core's last block of each frame.
      if (Rms(s.nearSpeech.data() + o, n) <= 10) {
        linEchoE += Energy(s.echo.data() + o + n - 80, 80);
        linRestE += Energy(a->Core().errorBlock, 80);
      }
      // The near talker's pauses, as the table measures them: 20-ms windows without near-end speech.
      if ((o + n) % p == 0 && o + n >= p && Rms(s.nearSpeech.data() + o + n - p, p) <= 10) {
        pauseEchoE += Energy(s.echo.data() + o + n - p, p);
        pauseRestE += Energy(out.data() + o + n - p, p);
      }
      if ((o + n) % half == 0) {
        const AecPcCore& k = a->Core();
        std::printf("%4.1f %8.1f %7.1f %5.1f %7d %6d %5d %6d %7d %5.3f %5.1f\n", double(o + n) / rate,
                    10 * std::log10(std::max(echoE, 1.0) / std::max(restE, 1.0)),
                    10 * std::log10(std::max(pauseEchoE, 1.0) / std::max(pauseRestE, 1.0)),
                    10 * std::log10(std::max(linEchoE, 1.0) / std::max(linRestE, 1.0)),
                    k.delayEstimate + 80 * a->Queue().Count(), k.taps, k.echoConfirmed, k.echoProven, k.adaptCount, k.stepConstant / 2147483648.0,
                    10 * std::log10(std::max(k.tapEnergyTail, 1) / std::max(double(k.tapEnergy), 1.0)));
        echoE = restE = pauseEchoE = pauseRestE = linEchoE = linRestE = 0;
      }
    }
  }
}

// rows: only the rows whose name holds this text (all when empty).
void conditionsTable(const std::string& rows = "") {
  std::printf("\n== Echo in the conditions users meet: 20 s of far-end speech (-21 dBFS active), 10 dB echo return\n"
              "   loss, noise -61 dBFS. ERLE (dB) in the 2nd and 4th second (after the change when the path changes)\n"
              "   and over the last 4 s before the change or the end; double talk from 6 s to 16 s, near end at the\n"
              "   far end's level: echo removed in the near talker's pauses, median near-end correlation (0.25-s\n"
              "   windows), near-end level (dB). The noise bounds ERLE at about 30 dB for a canceller that keeps the\n"
              "   background (AEC PC's comfort noise): \"quiet\" gives ERLE 1s, 3s and steady, and the echo removed\n"
              "   in double talk (\"quiet DT\"), of the same scene without noise.\n");
  std::printf("%-6s %-34s %-10s %7s %7s %7s %8s %8s %7s %9s %9s %7s %8s\n", "rate", "condition", "canceller", "ERLE 1s",
              "ERLE 3s", "steady", "quiet 1s", "quiet 3s", "quiet", "DT echo", "quiet DT", "DT corr", "DT level");
  for (int rate : {8000, 16000}) {
    for (const Condition& c : kConditions) {
      if (!rows.empty() && std::string(c.name).find(rows) == std::string::npos) continue;
      const ConditionScene s = makeCondition(rate, c, 30);
      const ConditionScene quiet = makeCondition(rate, c, 0);
      // Each canceller with the latency of its output.
      std::vector<std::shared_ptr<void>> keep;
      auto cancellers = [&] {
        std::vector<std::tuple<std::string, Canceller, size_t>> list;
        list.emplace_back("AEC PC", aecPc(rate, c.delayMs + c.hintOffMs, keep), 0);
        return list;
      };
      auto run = [&](const ConditionScene& scene, const Canceller& canceller, size_t latency) {
        Samples out = runCanceller({rate, 0, 0, scene.far, {}, scene.mic, {}}, canceller);
        out.erase(out.begin(), out.begin() + static_cast<long>(latency));
        out.resize(out.size() + latency, 0);
        return measureCondition(scene, out);
      };
      auto noisy = cancellers(), clean = cancellers();
      for (size_t k = 0; k < noisy.size(); ++k) {
        const ConditionResult r = run(s, std::get<1>(noisy[k]), std::get<2>(noisy[k]));
        const ConditionResult q = run(quiet, std::get<1>(clean[k]), std::get<2>(clean[k]));
        std::printf("%-6d %-34s %-10s %7.1f %7.1f %7.1f %8.1f %8.1f %7.1f %9.1f %9.1f %7.3f %8.1f\n", rate, c.name,
                    std::get<0>(noisy[k]).c_str(), r.erle1, r.erle3, r.steady, q.erle1, q.erle3, q.steady, r.dtRemoved,
                    q.dtRemoved,
                    r.nearCorr, r.nearLevel);
      }
    }
  }
}

}  // namespace

// conditions [row]: the echo table; trace <rate> <row> [quiet]: one row of it over time, AEC PC only.
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  if (only == "conditions") {
    conditionsTable(argc > 2 ? argv[2] : "");
    return 0;
  }
  if (only == "trace" && argc > 3) {
    traceCondition(std::atoi(argv[2]), argv[3], argc < 5 || std::string(argv[4]) != "quiet");
    return 0;
  }
  echoTable();
  doubleTalkTable();
  conditionsTable();
  agcTable();
  vadTable();
  return 0;
}
