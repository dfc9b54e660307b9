// Double talk through the AEC PC canceller: echo left in the near talker's pauses, by the output and by the filter alone.
//
// The scenes of the canceller's condition tests: far-end speech through a room, noise at -61 dBFS, and
// near-end speech for ten seconds from the fourth second, driven as the engine drives the canceller.
// Per rate and variation of the signal it prints, in dB of echo over what is left in the near talker's
// pauses (20-ms windows without near speech): the output, the microphone over the output (and the share
// of pause windows where the output is more than 1 dB louder than the microphone), and the linear filter's error; then the
// near end kept (median correlation, level) and the output's ERLE in the last second, after the talk.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "voice/dsp/processing/aecpc.h"
#include "voice/dsp/processing/tests/test_signals.h"

namespace {

using namespace vproc_test;
using Samples = std::vector<int16_t>;

Samples speech(int rate, int talker, double rms, uint32_t variation) {
  std::string err;
  auto s = Speech(rate, talker, &err);
  if (s.empty()) {
    std::fprintf(stderr, "%s\n", err.c_str());
    std::exit(1);
  }
  s = ScaleToActiveRms(s, rms);
  return variation == 0 ? s : Add(s, WhiteNoise(s.size(), 1.0, variation));
}

Samples repeated(const Samples& once, size_t n) {
  Samples x;
  while (x.size() < n) x.insert(x.end(), once.begin(), once.end());
  x.resize(n);
  return x;
}

struct Room {
  const char* name;
  int delayMs;
  double tailMs;
  int hintOffMs;  // the sound-card delay handed in, off the true one
};

struct Result {
  double pauseOut = 0, pauseMic = 0, louder = 0, pauseError = 0, nearMedian = 0, nearLevelDb = 0, lastSecond = 0;
};

double correlation(const int16_t* a, const int16_t* b, size_t n) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < n; ++i) {
    ab += double(a[i]) * b[i];
    aa += double(a[i]) * a[i];
    bb += double(b[i]) * b[i];
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

Result run(const Room& room, int rate, uint32_t variation) {
  const size_t sec = static_cast<size_t>(rate);
  const size_t total = 18 * sec, dtStart = 4 * sec, dtEnd = 14 * sec;
  const Samples far = repeated(speech(rate, 0, 3000, variation), total);
  const Samples echo = EchoOf(far, rate, room.delayMs * rate / 1000, room.tailMs, 10, 5);
  Samples nearSpeech(total, 0);
  const Samples talk = speech(rate, 1, 3000, variation == 0 ? 0 : variation + 100);
  for (size_t i = dtStart; i < dtEnd; ++i) nearSpeech[i] = talk[(i - dtStart) % talk.size()];
  const Samples mic = Add(Add(echo, WhiteNoise(total, 30, 9)), nearSpeech);

  AecPc a;
  a.Create();
  a.Init(rate, 0);
  const size_t n = sec / 100;
  Samples out(total), err(total, 0);
  std::vector<bool> errKept(total, false);
  for (size_t f = 0; f < total / n; ++f) {
    for (size_t k = 0; k < n / 80; ++k) a.Process(far.data() + f * n + 80 * k, 80);
    std::memcpy(out.data() + f * n, mic.data() + f * n, sizeof(int16_t) * n);
    a.ProcessNearEnd(out.data() + f * n, static_cast<int>(n), room.delayMs + room.hintOffMs);
    // The core keeps the error of its last block of the frame (the whole frame at 8 kHz).
    if (!a.Settling()) {
      std::memcpy(err.data() + f * n + (n - 80), a.Core().errorBlock, sizeof(int16_t) * 80);
      for (size_t i = f * n + (n - 80); i < (f + 1) * n; ++i) errKept[i] = true;
    }
  }

  Result r;
  const size_t w = sec / 50;
  double e = 0, m = 0, o = 0, ee = 0, er = 0;
  int windows = 0, louderWindows = 0;
  for (size_t t = dtStart; t + w <= dtEnd; t += w) {
    if (Rms(nearSpeech.data() + t, w) > 10) continue;
    e += Energy(echo.data() + t, w);
    const double mw = Energy(mic.data() + t, w), ow = Energy(out.data() + t, w);
    m += mw;
    o += ow;
    ++windows;
    if (ow > 1.26 * mw) ++louderWindows;
    for (size_t i = t; i < t + w; ++i) {
      if (!errKept[i]) continue;
      ee += double(echo[i]) * echo[i];
      er += double(err[i]) * err[i];
    }
  }
  r.pauseOut = 10 * std::log10(e / std::max(o, 1.0));
  r.pauseMic = 10 * std::log10(m / std::max(o, 1.0));
  r.louder = windows > 0 ? 100.0 * louderWindows / windows : 0;
  r.pauseError = 10 * std::log10(ee / std::max(er, 1.0));

  // The near end against itself high-passed as the canceller does, in 0.25-s windows where it talks.
  Samples reference = nearSpeech;
  int16_t hpHigh[2] = {0, 0}, hpLow[2] = {0, 0}, hpIn[2] = {0, 0};
  AecPcCore_HighPass(reference.data(), a.Core().hpCoef, hpHigh, hpLow, hpIn, static_cast<int>(reference.size()));
  std::vector<double> c;
  double kept = 0, spoken = 0;
  for (size_t t = dtStart; t + sec / 4 <= dtEnd; t += sec / 4) {
    if (Rms(nearSpeech.data() + t, sec / 4) < 3000 / 4.0) continue;
    c.push_back(correlation(out.data() + t, reference.data() + t, sec / 4));
    double xy = 0, xx = 0;
    for (size_t i = t; i < t + sec / 4; ++i) {
      xy += double(reference[i]) * out[i];
      xx += double(reference[i]) * reference[i];
    }
    kept += xy * xy / xx;
    spoken += xx;
  }
  std::sort(c.begin(), c.end());
  r.nearMedian = c.empty() ? 0 : c[c.size() / 2];
  r.nearLevelDb = 10 * std::log10(kept / std::max(spoken, 1.0));
  r.lastSecond = 10 * std::log10(Energy(echo.data() + total - sec, sec) / std::max(Energy(out.data() + total - sec, sec), 1.0));
  return r;
}

}  // namespace

int main() {
  const Room rooms[] = {{"small room (60-ms delay, 40-ms tail)", 60, 40, 0},
                        {"larger room (70-ms delay, 150-ms tail, card delay 30 ms short)", 70, 150, -30}};
  for (const Room& room : rooms) {
    std::printf("%s\n", room.name);
    std::printf("  rate  var  pauses:out  pauses:mic  louder%%  pauses:filter  near:median  near:level  after:out\n");
    for (int rate : {8000, 16000}) {
      double sumOut = 0, sumErr = 0, minOut = 1e9, minErr = 1e9;
      for (uint32_t v = 0; v < 8; ++v) {
        const Result r = run(room, rate, v);
        std::printf("  %5d  %3u  %10.1f  %10.1f  %7.1f  %13.1f  %11.3f  %10.1f  %9.1f\n", rate, v, r.pauseOut, r.pauseMic, r.louder,
                    r.pauseError,
                    r.nearMedian, r.nearLevelDb, r.lastSecond);
        sumOut += r.pauseOut;
        sumErr += r.pauseError;
        minOut = std::min(minOut, r.pauseOut);
        minErr = std::min(minErr, r.pauseError);
      }
      std::printf("  %5d  mean %6.1f (least %.1f)  filter mean %.1f (least %.1f)\n", rate, sumOut / 8, minOut,
                  sumErr / 8, minErr);
    }
  }
  return 0;
}
