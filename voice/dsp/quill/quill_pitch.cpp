// Quill pitch analysis of the lower band (whitening, two-lag map, gain refinement) and the lag field.
#include <cmath>
#include <cstring>

#include "voice/dsp/quill/quill_internal.h"

namespace {

constexpr int kSubFrame = 60;
constexpr int kLags = 65;        // decimated lags 8..72
constexpr int kMinLag = 8;
constexpr int kRows = 23;        // lag differences +11 .. -11
constexpr int kMaxDiff = 11;

// Order-6 filters on doubles over one block.
void allZero(const double* b, const double* x, double* y, int n) {
  for (int i = 0; i < n; ++i) {
    double s = 0.0;
    for (int j = 0; j <= 6; ++j) s += b[j] * x[i - j];
    y[i] = s;
  }
}
void allPole(const double* a, double* y, int n, double* mem) {
  const bool unit = a[0] >= 0.9999 && a[0] < 1.0001;
  const double inv = unit ? 1.0 : 1.0 / a[0];
  double hist[6 + kSubFrame];
  for (int j = 0; j < 6; ++j) hist[j] = mem[j];
  for (int i = 0; i < n; ++i) {
    double s = y[i];
    for (int j = 1; j <= 6; ++j) s -= a[j] * hist[6 + i - j];
    if (!unit) s *= inv;
    hist[6 + i] = s;
    y[i] = s;
  }
  for (int j = 0; j < 6; ++j) mem[j] = hist[n + j];
}

// Map of start lag s and end lag e (indices 0..64), stored by row d = e - s.
struct LagMap {
  double v[kRows][kLags];
  bool has(int s, int e) const {
    const int d = e - s;
    return d >= -kMaxDiff && d <= kMaxDiff && s >= 0 && s < kLags && e >= 0 && e < kLags;
  }
  double at(int s, int e) const { return has(s, e) ? v[kMaxDiff - (e - s)][s] : 0.0; }
};

// Value at a half-sample point (a, b), both half-integers: h over the 8 row entries around it.
double halfPoint(const LagMap& map, double a, double b) {
  const int d = static_cast<int>(std::lround(b - a));
  const int sLow = static_cast<int>(std::floor(a));
  double s = 0.0;
  for (int t = 0; t < 8; ++t) {
    const int si = sLow - 3 + t;
    s += kQuillHalfSampleInterp[t] * map.at(si, si + d);
  }
  return s;
}

struct Candidate {
  double s, e, value;
};

// Quadratic refinement of a candidate (s, e) (indices) around its map peak.
Candidate refine(const LagMap& map, int s, int e) {
  const double v0 = map.at(s, e);
  const double ds = s, de = e;
  const double dmp = halfPoint(map, ds - 0.5, de + 0.5);
  const double dmm = halfPoint(map, ds - 0.5, de - 0.5);
  const double dpp = halfPoint(map, ds + 0.5, de + 0.5);
  const double dpm = halfPoint(map, ds + 0.5, de - 0.5);
  double cs = ds, ce = de, v = v0;
  double Dmp, Dmm, Dpp, Dpm, As1, As0, Ae1, Ae0;
  double best = dmp;
  int which = 0;
  if (dmm > best) best = dmm, which = 1;
  if (dpp > best) best = dpp, which = 2;
  if (dpm > best) best = dpm, which = 3;
  if (best >= v0) {
    static constexpr double kMoveS[4] = {-0.5, -0.5, 0.5, 0.5};
    static constexpr double kMoveE[4] = {0.5, -0.5, 0.5, -0.5};
    cs = ds + kMoveS[which];
    ce = de + kMoveE[which];
    v = best;
    auto entry = [&](double a, double b) { return map.at(static_cast<int>(std::lround(a)), static_cast<int>(std::lround(b))); };
    Dmp = entry(cs - 0.5, ce + 0.5);
    Dmm = entry(cs - 0.5, ce - 0.5);
    Dpp = entry(cs + 0.5, ce + 0.5);
    Dpm = entry(cs + 0.5, ce - 0.5);
    As1 = halfPoint(map, cs + 1.0, ce);
    As0 = halfPoint(map, cs - 1.0, ce);
    Ae1 = halfPoint(map, cs, ce + 1.0);
    Ae0 = halfPoint(map, cs, ce - 1.0);
  } else {
    Dmp = dmp;
    Dmm = dmm;
    Dpp = dpp;
    Dpm = dpm;
    As1 = map.at(s + 1, e);
    As0 = map.at(s - 1, e);
    Ae1 = map.at(s, e + 1);
    Ae0 = map.at(s, e - 1);
  }
  const double gs = (Dpm + Dpp - Dmm - Dmp) / 2.0;
  const double ge = (Dpp + Dmp - Dmm - Dpm) / 2.0;
  const double x = -(Dpp + Dmm - Dmp - Dpm) / 2.0;
  const double qs = (As1 + As0) / 2.0 - v;
  const double qe = (Ae1 + Ae0) / 2.0 - v;
  const double k = (Dmm + Dmp + Dpm + Dpp - 4.0 * v - qs - qe) / 2.0;
  const double hs = -qs - k;
  const double he = -qe - k;
  Candidate c{cs, ce, v};
  if (hs < 1e-7 || hs * he - x * x < 1e-7) return c;
  // Cholesky of [[hs, x], [x, he]], then half the solution.
  const double l11 = std::sqrt(hs);
  const double l21 = x / l11;
  const double l22 = std::sqrt(he - l21 * l21);
  const double z1 = gs / l11;
  const double z2 = (ge - l21 * z1) / l22;
  double me = z2 / l22;
  double ms = (z1 - l21 * me) / l11;
  ms *= 0.5;
  me *= 0.5;
  const double n2 = ms * ms + me * me;
  if (n2 > 1.0) {
    ms /= n2;
    me /= n2;
  }
  c.value = v + (ms * gs + me * ge) / 2.0;
  c.s = cs + ms;
  c.e = ce + me;
  return c;
}

double clampLag(double v) { return v < 20.0 ? 20.0 : (v > 140.0 ? 140.0 : v); }

// Solves M y = -c (4x4 symmetric) by an LDL decomposition; a vanishing pivot leaves its unknown at 0.
void solveLdl(const double m[4][4], const double* c, double* y) {
  double l[4][4] = {};
  double d[4];
  for (int j = 0; j < 4; ++j) {
    double dj = m[j][j];
    for (int k = 0; k < j; ++k) dj -= l[j][k] * l[j][k] * d[k];
    d[j] = dj;
    for (int i = j + 1; i < 4; ++i) {
      double s = m[i][j];
      for (int k = 0; k < j; ++k) s -= l[i][k] * l[j][k] * d[k];
      l[i][j] = std::fabs(dj) > 1e-12 ? s / dj : 0.0;
    }
  }
  double z[4];
  for (int i = 0; i < 4; ++i) {
    double s = -c[i];
    for (int k = 0; k < i; ++k) s -= l[i][k] * z[k];
    z[i] = s;
  }
  for (int i = 0; i < 4; ++i) z[i] = std::fabs(d[i]) > 1e-12 ? z[i] / d[i] : 0.0;
  for (int i = 3; i >= 0; --i) {
    double s = z[i];
    for (int k = i + 1; k < 4; ++k) s -= l[k][i] * y[k];
    y[i] = s;
  }
}

}  // namespace

void Quill_PitchStateInit(QuillPitchState* st) { std::memset(st, 0, sizeof(*st)); }

void Quill_PitchWhiten(const double* hp240, double* whitened, double* refine, QuillPitchState* st) {
  const QuillDerivedTables& tab = Quill_Tables();
  double buf[2 * kQuillBand];
  std::memcpy(buf, st->whitenPrev, sizeof(st->whitenPrev));
  std::memcpy(buf + kQuillBand, hp240, kQuillBand * sizeof(double));
  for (int s = 0; s < 4; ++s) {
    const int begin = kQuillBand + kSubFrame * s;        // first sample of the sub-frame
    const int end = begin + kSubFrame;                   // one past its last
    double xw[kQuillBand];
    for (int i = 0; i < kQuillBand; ++i) xw[i] = buf[end - kQuillBand + i] * tab.pitchWindow[i];
    double r[7];
    Quill_Autocorr(r, xw, kQuillBand, 6);
    r[0] = 1.01 * r[0] + 1.0;
    double a[7], k[6];
    SimpleLevinson(a, k, r, 6);
    double aw[7];
    double f = 1.0;
    for (int i = 0; i <= 6; ++i) {
      aw[i] = a[i] * f;
      f *= 0.9;
    }
    allZero(a, buf + begin, whitened + kSubFrame * s, kSubFrame);
    allPole(aw, whitened + kSubFrame * s, kSubFrame, st->whitenPzMem);
    allZero(aw, buf + begin, refine + kSubFrame * s, kSubFrame);
  }
  std::memcpy(st->whitenPrev, hp240, sizeof(st->whitenPrev));
}

void Quill_NormXcorr(const double* sig, double* out) {
  const double* d = sig + 72;
  for (int lag = kMinLag; lag < kMinLag + kLags; ++lag) {
    double num = 0.0, den = 1e-13;
    for (int n = 0; n < kSubFrame; ++n) {
      num += d[n] * d[n - lag];
      den += d[n - lag] * d[n - lag];
    }
    out[lag - kMinLag] = num / std::sqrt(den);
  }
}

void Quill_PitchLagSearch(const double* whitened, double prevLag, double prevGain, QuillPitchState* st,
                          double* lags) {
  // Decimation by 2 through the half-band all-pass pair.
  static constexpr double kA[2] = {0.0347, 0.3826};
  static constexpr double kB[2] = {0.1544, 0.744};
  double ext[72 + 120];
  std::memcpy(ext, st->pitchDecHistory, sizeof(st->pitchDecHistory));
  double* d = ext + 72;
  for (int i = 0; i < 120; ++i) {
    double xa = whitened[2 * i];
    double xb = i == 0 ? st->decLast : whitened[2 * i - 1];
    for (int sec = 0; sec < 2; ++sec) {
      double y = kA[sec] * xa + st->decA[sec];
      st->decA[sec] = xa - kA[sec] * y;
      xa = y;
      y = kB[sec] * xb + st->decB[sec];
      st->decB[sec] = xb - kB[sec] * y;
      xb = y;
    }
    d[i] = xa + xb;
  }
  st->decLast = whitened[kQuillBand - 1];
  for (int n = 0; n < 120; ++n) d[n] = d[n] + 0.75 * d[n - 1] - 0.25 * d[n - 2];
  std::memcpy(st->pitchDecHistory, ext + 120, sizeof(st->pitchDecHistory));

  double c1[kLags], c2[kLags];
  Quill_NormXcorr(ext, c1);
  Quill_NormXcorr(ext + 60, c2);
  double b = 4.0 * prevGain * prevGain;
  if (b > 0.8) b = 0.8;
  if (prevLag > 0.0 && b > 0.0) {
    for (int i = 0; i < kLags; ++i) {
      const double l = std::log((i + kMinLag) / (0.5 * prevLag));
      c1[i] *= 1.0 + b * std::exp(-5.0 * l * l);
    }
  }
  static constexpr double kEdge[3] = {0.2, 0.5, 0.98};
  for (int i = 0; i < 3; ++i) {
    c1[i] *= kEdge[i];
    c2[i] *= kEdge[i];
    c1[kLags - 1 - i] *= kEdge[i];
    c2[kLags - 1 - i] *= kEdge[i];
  }

  LagMap map;
  double maxValue = 0.0;
  int maxS = -1, maxE = -1;
  for (int row = 0; row < kRows; ++row) {
    const int dd = kMaxDiff - row;
    const int ad = dd < 0 ? -dd : dd;
    for (int s = 0; s < kLags; ++s) {
      const int e = s + dd;
      if (e < 0 || e >= kLags) {
        map.v[row][s] = 0.0;
        continue;
      }
      double w = 1.0;
      if (ad != 0) {
        const double m = (s < e ? s : e) + kMinLag;
        const double q = (m + 4.0) / (m + 4.0 + ad);
        w = (2.0 - q) * q;
        if (ad == 10) w *= 0.9;
        if (ad == 11) w *= 0.2;
      }
      const double value = (c1[s] + c2[e]) * w;
      map.v[row][s] = value;
      if (value > maxValue) {
        maxValue = value;
        maxS = s;
        maxE = e;
      }
    }
  }

  int candS[10], candE[10];
  int count = 0;
  auto scanRow = [&](int dd) {
    const int sMin = dd < 0 ? -dd : 0;
    const int sMax = dd > 0 ? kLags - 1 - dd : kLags - 1;
    for (int s = sMin + 2; s <= sMax - 2 && count < 10; ++s) {
      const int e = s + dd;
      const double v = map.at(s, e);
      if (v > 0.6 * maxValue && v > map.at(s, e + 1) && v > map.at(s, e - 1) && v > map.at(s - 1, e) &&
          v > map.at(s + 1, e)) {
        candS[count] = s;
        candE[count] = e;
        ++count;
      }
    }
  };
  for (int dd = 10; dd >= 0; --dd) scanRow(dd);
  for (int dd = -1; dd >= -10; --dd) scanRow(dd);

  double bestScore = 0.0;
  double bestS = -1.0, bestE = -1.0;
  for (int i = 0; i < count; ++i) {
    const Candidate c = refine(map, candS[i], candE[i]);
    const double sLag = c.s + kMinLag, eLag = c.e + kMinLag;
    const double score = std::pow(0.85, std::log(sLag + eLag)) * c.value;
    if (score > bestScore) {
      bestScore = score;
      bestS = sLag;
      bestE = eLag;
    }
  }
  if (bestS < 0.0) {
    if (maxS >= 0) {
      bestS = maxS + kMinLag;
      bestE = maxE + kMinLag;
    } else {
      // Nothing correlates: keep the previous track (or the shortest lag at the start).
      bestS = bestE = (prevLag > 0.0 ? prevLag : 20.0) * 0.5;
    }
  }
  lags[0] = lags[1] = clampLag(2.0 * bestS);
  lags[2] = lags[3] = clampLag(2.0 * bestE);
}

void Quill_GainSensitivity(const double* sig264, double* residual, double sens[4][264],
                           const QuillPitchFilterState* st, const double* lags, const double* gains) {
  constexpr int kN = kQuillBand + kQuillDelay;
  QuillPitchTrack track;
  Quill_PitchTrackOf(st, lags, gains, kN, &track);
  double buf[kQuillPitchHistory + kN];
  double dbuf[4][kQuillPitchHistory + kN];
  std::memcpy(buf, st->history, sizeof(st->history));
  for (auto& row : dbuf) std::memset(row, 0, sizeof(double) * kQuillPitchHistory);
  double smooth[5], dsmooth[4][5] = {};
  std::memcpy(smooth, st->smooth, sizeof(smooth));
  for (int n = 0; n < kN; ++n) {
    const int p = kQuillPitchHistory + n;
    const double* taps = kQuillFracDelay[track.row[n]];
    const int off = p - track.lagInt[n];
    double h = 0.0;
    for (int t = 0; t < 9; ++t) h += taps[t] * buf[off + t];
    for (int u = 4; u > 0; --u) smooth[u] = smooth[u - 1];
    smooth[0] = track.gain[n] * h;
    double sm = 0.0;
    for (int u = 0; u < 5; ++u) sm += kQuillPitchSmooth[u] * smooth[u];
    const double x = sig264[n];
    const double y = x - sm;
    residual[n] = y;
    buf[p] = y + x;
    for (int i = 0; i < 4; ++i) {
      double dh = 0.0;
      for (int t = 0; t < 9; ++t) dh += taps[t] * dbuf[i][off + t];
      for (int u = 4; u > 0; --u) dsmooth[i][u] = dsmooth[i][u - 1];
      dsmooth[i][0] = track.weight[i][n] * h + track.gain[n] * dh;
      double dsm = 0.0;
      for (int u = 0; u < 5; ++u) dsm += kQuillPitchSmooth[u] * dsmooth[i][u];
      sens[i][n] = -dsm;
      dbuf[i][p] = -dsm;
    }
  }
}

void Quill_PitchAnalysis(const double* in, double* analysed264, QuillPitchState* st, double* lags,
                         double* gains) {
  constexpr int kN = kQuillBand + kQuillDelay;
  double hp[kQuillBand];
  double s1 = st->hp[0], s2 = st->hp[1];
  for (int i = 0; i < kQuillBand; ++i) {
    const double x = in[i];
    const double y = x + s1;
    s1 = -1.9952459171827 * x + 1.86864659625574 * y + s2;
    s2 = 0.996004 * x - 0.8836 * y;
    hp[i] = y;
  }
  st->hp[0] = s1;
  st->hp[1] = s2;

  double whitened[kQuillBand], refineSig[kQuillBand];
  Quill_PitchWhiten(hp, whitened, refineSig, st);
  Quill_PitchLagSearch(whitened, st->refinePreFilter.lastLag, st->refinePreFilter.lastGain, st, lags);

  double sig[kN];
  std::memcpy(sig, st->gainRefineCarry, sizeof(st->gainRefineCarry));
  std::memcpy(sig + kQuillDelay, refineSig, sizeof(refineSig));
  double energy = 0.0;
  for (double v : sig) energy += v * v;
  if (energy < 1e-9) energy = 1e-9;

  for (int j = 0; j < 4; ++j) gains[j] = 0.27;
  double sens[4][264];
  double residual[kN];
  const double lastGain = st->refinePreFilter.lastGain;
  for (int pass = 0; pass < 2; ++pass) {
    Quill_GainSensitivity(sig, residual, sens, &st->refinePreFilter, lags, gains);
    double c[4], m[4][4];
    for (int i = 0; i < 4; ++i) {
      double a = 0.0;
      for (int n = 0; n < kN; ++n) a += residual[n] * sens[i][n];
      c[i] = a / energy;
      for (int j = 0; j <= i; ++j) {
        double b = 0.0;
        for (int n = 0; n < kN; ++n) b += sens[i][n] * sens[j][n];
        m[i][j] = m[j][i] = b / energy;
      }
    }
    for (int i = 0; i < 4; ++i) {
      double sm = kQuillGainSmoothness[i][0] * lastGain;
      for (int j = 0; j < 4; ++j) {
        sm += kQuillGainSmoothness[i][j + 1] * gains[j];
        m[i][j] += 3.0 * kQuillGainSmoothness[i][j + 1];
      }
      c[i] += 3.0 * sm;
    }
    for (int i = 0; i < 4; ++i) {
      const double t = 1.0 / (1.0 - gains[i]);
      const double p = 0.005 * t * t;
      if (i < 3) {
        c[i] += p;
        m[i][i] += 2.0 * p * t;
      } else {
        c[i] += 1.33 * p;
        m[i][i] += 2.66 * p * t;
      }
    }
    double y[4];
    solveLdl(m, c, y);
    for (int i = 0; i < 4; ++i) {
      double g = gains[i] + (std::isfinite(y[i]) ? y[i] : 0.0);
      if (g > 0.45) g = 0.45;
      if (g < 0.0) g = 0.0;
      gains[i] = g;
    }
  }

  double unused[kQuillBand];
  Quill_PitchFilter(&st->refinePreFilter, sig, unused, lags, gains, false);
  std::memcpy(st->gainRefineCarry, sig + kQuillBand, sizeof(st->gainRefineCarry));

  double ahead[kN];
  std::memcpy(ahead, st->lookAheadCarry, sizeof(st->lookAheadCarry));
  std::memcpy(ahead + kQuillDelay, in, kQuillBand * sizeof(double));
  Quill_PitchPreFilterAhead(&st->aheadPreFilter, ahead, analysed264, lags, gains);
  std::memcpy(st->lookAheadCarry, in + kQuillBand - kQuillDelay, sizeof(st->lookAheadCarry));
}

// ---- Lag field ------------------------------------------------------------------------------

int Quill_LagClass(const int16_t* gainsQ12) {
  float sum = 0.0f;
  for (int j = 0; j < 4; ++j) sum += gainsQ12[j] * (1.0f / 4096.0f);
  const double m = sum * 0.25f;
  return m < 0.2 ? 0 : (m < 0.4 ? 1 : 2);
}

void Quill_EncodePitchLags(double* lags, const int16_t* gainsQ12, QuillStream* s) {
  const QuillLagClass& cl = kQuillLagClasses[Quill_LagClass(gainsQ12)];
  int sym[4];
  double c[4];
  for (int r = 0; r < 4; ++r) {
    double v = 0.0;
    for (int j = 0; j < 4; ++j) v += kQuillPitchTransform[r][j] * lags[j];
    v /= cl.step;
    double idx = std::nearbyint(std::isfinite(v) ? v : 0.0);
    if (idx < cl.low[r]) idx = cl.low[r];
    if (idx > cl.high[r]) idx = cl.high[r];
    sym[r] = static_cast<int>(idx) - cl.low[r];
    c[r] = r == 0 ? idx * cl.step : cl.levels[r - 1][sym[r]];
  }
  for (int j = 0; j < 4; ++j) {
    double v = 0.0;
    for (int r = 0; r < 4; ++r) v += c[r] * kQuillPitchTransform[r][j];
    lags[j] = v;
  }
  Quill_EncodeSymbols(s, sym, cl.cdf, 4);
  Quill_BitCheckpoint(s);
}

int Quill_DecodePitchLags(QuillStream* s, const int16_t* gainsQ12, double* lags) {
  const QuillLagClass& cl = kQuillLagClasses[Quill_LagClass(gainsQ12)];
  int sym[4];
  const int size = cl.bisectSize;
  if (Quill_DecodeSymbolsBisect(sym, s, cl.cdf, &size, 1) < 0) return -QUILL_ERR_PITCH_LAG_FIELD;
  if (sym[0] > cl.high[0] - cl.low[0]) return -QUILL_ERR_PITCH_LAG_FIELD;
  const int starts[3] = {cl.start[0], cl.start[1], cl.start[2]};
  const int r = Quill_DecodeSymbolsStep(sym + 1, s, cl.cdf + 1, starts, 3);
  if (r < 0) return -QUILL_ERR_PITCH_LAG_FIELD;
  double c[4];
  c[0] = (cl.low[0] + sym[0]) * cl.step;
  for (int i = 1; i < 4; ++i) {
    if (sym[i] > cl.high[i] - cl.low[i]) return -QUILL_ERR_PITCH_LAG_FIELD;
    c[i] = cl.levels[i - 1][sym[i]];
  }
  for (int j = 0; j < 4; ++j) {
    double v = 0.0;
    for (int r2 = 0; r2 < 4; ++r2) v += c[r2] * kQuillPitchTransform[r2][j];
    lags[j] = v;
  }
  return r;
}
