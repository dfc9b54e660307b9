// Quill pitch pre-filter and post-filter: interpolated fractional lag and gain, 5-tap smoothing.
#include <cmath>
#include <cstring>

#include "voice/dsp/quill/quill_internal.h"

namespace {

constexpr int kSubFrame = 60;
constexpr int kSteps = 12;  // lag and gain move every 12 samples

double finiteOr(double v, double fallback) { return std::isfinite(v) ? v : fallback; }

}  // namespace

void Quill_PitchTrackOf(const QuillPitchFilterState* st, const double* lags, const double* gains, int count,
                        QuillPitchTrack* track) {
  double lag, gain;
  const double l0 = finiteOr(lags[0], 20.0);
  if (l0 > 1.5 * st->lastLag || l0 < 0.67 * st->lastLag) {
    lag = l0;
    gain = finiteOr(gains[0], 0.0);
  } else {
    lag = st->lastLag;
    gain = st->lastGain;
  }
  int lagInt = 0, row = 4;
  double w[4] = {0, 0, 0, 0};
  for (int s = 0; s < 4; ++s) {
    const double lagStep = (finiteOr(lags[s], 20.0) - lag) * 0.2;
    const double gainStep = (finiteOr(gains[s], 0.0) - gain) * 0.2;
    for (int n = 0; n < kSubFrame; ++n) {
      if (n % kSteps == 0) {
        gain += gainStep;
        lag += lagStep;
        w[s] += 0.2;
        if (w[s] > 1.0) w[s] = 1.0;
        if (s > 0) {
          w[s - 1] -= 0.2;
          if (w[s - 1] < 0.0) w[s - 1] = 0.0;
        }
        double li = std::nearbyint(lag + 2.0);
        // The history holds 190 values and the 9 taps reach 4 past the integer lag.
        if (li < 9.0) li = 9.0;
        if (li > 185.0) li = 185.0;
        lagInt = static_cast<int>(li);
        const double r = std::nearbyint((li - (lag + 1.5)) * 8.0 - 0.5);
        row = r < 0.0 ? 0 : (r > 7.0 ? 7 : static_cast<int>(r));
      }
      const int i = s * kSubFrame + n;
      track->lagInt[i] = lagInt;
      track->row[i] = row;
      track->gain[i] = gain;
      for (int j = 0; j < 4; ++j) track->weight[j][i] = w[j];
    }
  }
  for (int i = 4 * kSubFrame; i < count; ++i) {
    track->lagInt[i] = lagInt;
    track->row[i] = row;
    track->gain[i] = gain;
    for (int j = 0; j < 4; ++j) track->weight[j][i] = w[j];
  }
}

namespace {

// Runs the filter over `count` samples (240 advance the state; the rest, if any, do not).
void run(QuillPitchFilterState* st, const double* in, double* out, const double* lags, const double* gains,
         bool post, int count) {
  double g[4];
  for (int j = 0; j < 4; ++j) g[j] = gains[j] * (post ? 1.3 : 1.0);
  QuillPitchTrack track;
  Quill_PitchTrackOf(st, lags, g, count, &track);
  double buf[kQuillPitchHistory + 264];
  std::memcpy(buf, st->history, sizeof(st->history));
  double smooth[5];
  std::memcpy(smooth, st->smooth, sizeof(smooth));
  QuillPitchFilterState saved{};
  for (int n = 0; n < count; ++n) {
    if (n == kQuillBand) {
      std::memcpy(saved.history, buf + kQuillBand, sizeof(saved.history));
      std::memcpy(saved.smooth, smooth, sizeof(smooth));
    }
    const int p = kQuillPitchHistory + n;
    for (int u = 4; u > 0; --u) smooth[u] = smooth[u - 1];
    const double* taps = kQuillFracDelay[track.row[n]];
    const double* src = buf + p - track.lagInt[n];
    double c = 0.0;
    for (int t = 0; t < 9; ++t) c += taps[t] * src[t];
    c *= track.gain[n];
    smooth[0] = c;
    double sm = 0.0;
    for (int u = 0; u < 5; ++u) sm += kQuillPitchSmooth[u] * smooth[u];
    const double x = in[n];
    const double y = post ? x + sm : x - sm;
    out[n] = y;
    buf[p] = y + x;
  }
  if (count == kQuillBand) {
    std::memcpy(saved.history, buf + kQuillBand, sizeof(saved.history));
    std::memcpy(saved.smooth, smooth, sizeof(smooth));
  }
  std::memcpy(st->history, saved.history, sizeof(st->history));
  std::memcpy(st->smooth, saved.smooth, sizeof(st->smooth));
  st->lastLag = finiteOr(lags[3], 20.0);
  st->lastGain = finiteOr(g[3], 0.0);
  // A corrupt model can make the history blow up; start afresh rather than carry inf or NaN on.
  for (double v : st->history) {
    if (!std::isfinite(v)) {
      std::memset(st, 0, sizeof(*st));
      break;
    }
  }
}

}  // namespace

void Quill_PitchFilter(QuillPitchFilterState* st, const double* in, double* out, const double* lags,
                       const double* gains, bool post) {
  run(st, in, out, lags, gains, post, kQuillBand);
}

void Quill_PitchPreFilterAhead(QuillPitchFilterState* st, const double* in, double* out, const double* lags,
                               const double* gains) {
  run(st, in, out, lags, gains, false, kQuillBand + kQuillDelay);
}
