// Tidepool concealment: pitch and LPC analysis, expansion of the speech history, background noise.
#include <array>
#include <cstring>

#include "voice/dsp/spl.h"
#include "voice/tidepool/tidepool_internal.h"

namespace tidepool {

namespace {

// Lag weights for 8-kHz lags 20 .. 119, Q15.
constexpr std::array<int16_t, 100> MakeLagWeights() {
  std::array<int16_t, 100> w{};
  const int16_t head[7] = {32767, 29287, 25777, 22268, 18759, 15249, 11740};
  for (int i = 0; i < 7; ++i) w[i] = head[i];
  for (int i = 7; i < 60; ++i) w[i] = 8191;
  // Lags 80 .. 119 rise linearly from 8537 to 22036 (8537, 8884, 9230, ... 21690, 22036).
  w[60] = 8537;
  for (int k = 1; k < 40; ++k) w[60 + k] = static_cast<int16_t>(8884 + ((k - 1) * 13152 + 19) / 38);
  return w;
}
constexpr std::array<int16_t, 100> kLagWeights = MakeLagWeights();

const int16_t kMuteTargets[11] = {13926, 11796, 9994, 8192, 6717, 5439, 4194, 3080, 1999, 819, 0};
const int16_t kVoicedWeight[3] = {16384, 10923, 5461};
const int16_t kNoiseWeight[3] = {0, 12212, 15447};

// Uniformly spread 16-bit values with a mean near zero.
constexpr std::array<int16_t, 512> MakeRandomTable() {
  std::array<int16_t, 512> t{};
  t[0] = -22540;
  t[1] = 20816;
  t[2] = 25921;
  t[3] = 32339;
  uint32_t x = 0x2545f491u;
  for (int i = 4; i < 512; ++i) {
    x = x * 1664525u + 1013904223u;
    t[i] = static_cast<int16_t>(static_cast<uint16_t>(x >> 16));
  }
  return t;
}
constexpr std::array<int16_t, 512> kRandom = MakeRandomTable();

int32_t ShiftW32(int32_t v, int shift) {  // right for positive counts, left (saturating) otherwise
  if (shift >= 0) return shift > 31 ? (v < 0 ? -1 : 0) : (v >> shift);
  const int left = -shift;
  const int64_t r = static_cast<int64_t>(v) << (left > 40 ? 40 : left);
  return Spl_SatW32(r);
}

// Energy per sample shifted back by the energy's scale, saturating.
int32_t PerSampleEnergy(const int16_t* x, int n) {
  int sc = 0;
  const int32_t e = Spl_EnergyW16(x, n, &sc);
  const int32_t p = Spl_DivW32ByW16(e, static_cast<int16_t>(n));
  return Spl_SatW32(static_cast<int64_t>(p) << sc);
}

int16_t Sat16(int32_t v) { return Spl_SatW16(v); }

}  // namespace

void ReadRandom(uint32_t* index, int16_t* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = kRandom[(*index + static_cast<uint32_t>(i)) & 511u];
  *index = (*index + static_cast<uint32_t>(n)) & 511u;
}

const int16_t kDecimateA[7] = {-273, 512, 1297, 1697, 1297, 512, -273};
const int16_t kDecimateB[7] = {583, 882, 584, 1026, 584, 882, 583};

int Tidepool_Decimate(const int16_t* x, int n, int d, const int16_t* filter, int16_t* out) {
  const int step = 1 << d;
  const int count = n >> d;
  for (int k = 0; k < count; ++k) {
    int32_t sum = 2048;
    for (int j = 0; j < 7; ++j) {
      const int idx = 3 + k * step - j;
      if (idx >= 0 && idx < n) sum += filter[j] * x[idx];
    }
    out[k] = Sat16(sum >> 12);
  }
  return count;
}

int Spl_MinValueIndexW16(const int16_t* v, int n, int16_t* value) {
  int best = 0;
  for (int i = 1; i < n; ++i)
    if (v[i] < v[best]) best = i;
  if (value) *value = n > 0 ? v[best] : 0;
  return best;
}

int Spl_MaxValueIndexW16(const int16_t* v, int n, int16_t* value) {
  int best = 0;
  for (int i = 1; i < n; ++i)
    if (v[i] > v[best]) best = i;
  if (value) *value = n > 0 ? v[best] : 0;
  return best;
}

int16_t Spl_MinValueW16(const int16_t* v, int n) {
  int16_t value = 0;
  Spl_MinValueIndexW16(v, n, &value);
  return value;
}

void Spl_ShiftVectorW16(int16_t* out, const int16_t* in, int n, int k) {
  for (int i = 0; i < n; ++i)
    out[i] = k >= 1 ? static_cast<int16_t>(in[i] >> k)
                    : static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(in[i]) << -k));
}

void Tidepool_FilterMA4(const int16_t* a, const int16_t* x, int n, int16_t* state, int16_t* out) {
  // state holds the previous four inputs, oldest first.
  for (int i = 0; i < n; ++i) {
    int64_t sum = 2048;
    for (int j = 0; j <= 4; ++j) {
      const int idx = i - j;
      const int16_t v = idx >= 0 ? x[idx] : state[4 + idx];
      sum += static_cast<int64_t>(a[j]) * v;
    }
    out[i] = Spl_SatW16(sum >> 12);
  }
  int16_t next[4];
  for (int k = 0; k < 4; ++k) {
    const int idx = n - 4 + k;
    next[k] = idx >= 0 ? x[idx] : state[4 + idx];
  }
  memcpy(state, next, sizeof next);
}

void Tidepool_FilterAR4(const int16_t* a, const int16_t* x, int n, int16_t* high, int16_t* low,
                        int16_t* out) {
  int16_t lowOut[kDecodeMax];
  int done = 0;
  while (done < n) {
    const int chunk = n - done > kDecodeMax ? kDecodeMax : n - done;
    Spl_FilterAR(a, 5, x + done, chunk, high, 4, low, 4, out + done, lowOut);
    done += chunk;
  }
}

void Tidepool_LpcOfBlock(const int16_t* x, int n, int16_t* poly) {
  int32_t r[5];
  int16_t k[4];
  Spl_AutoCorr(x, n, 4, r);
  if (r[0] == 0) r[0] = 32767;
  Spl_AutoCorrToRefl(r, 4, k);
  Spl_ReflToLpc(k, 4, poly);
}

void Tidepool_VoicingDecision(const int16_t* w, int16_t r, int32_t* voiced, int16_t* best,
                              int16_t* work) {
  int16_t search[100];
  memcpy(search, w, sizeof search);
  memcpy(work, w, 100 * sizeof(int16_t));
  const int16_t ceiling = static_cast<int16_t>(20 * r);
  int cands[3];
  int found = 0;
  for (int it = 0; it < 3; ++it) {
    int16_t v = 0;
    const int i = Spl_MinValueIndexW16(search, 100, &v);
    if (v >= ceiling) break;
    cands[found++] = i;
    for (int j = i - 5; j <= i + 5; ++j)
      if (j >= 0 && j < 100) search[j] = ceiling;
  }
  // Widen each valley in the working copy, the last one found first.
  for (int c = found - 1; c >= 0; --c) {
    const int i = cands[c];
    auto at = [&](int j) { return work[j]; };
    if (i - 4 >= 0) work[i - 4] = at(i - 2);
    if (i - 3 >= 0) work[i - 3] = at(i - 1);
    if (i + 3 < 100) work[i + 3] = at(i + 1);
    if (i + 4 < 100) work[i + 4] = at(i + 2);
    for (int j = i - 2; j <= i + 2; ++j)
      if (j >= 0 && j < 100) work[j] = work[i];
  }
  *voiced = 0;
  *best = found > 0 ? work[cands[0]] : ceiling;
  for (int a = 0; a < found; ++a)
    for (int b = a + 1; b < found; ++b)
      if (cands[b] < cands[a]) {
        const int t = cands[a];
        cands[a] = cands[b];
        cands[b] = t;
      }
  bool peakSeen = false;
  bool valleyOpen = true;
  int events = 0;
  int prev = 0;
  const int32_t R = r;
  for (int c = 0; c < found; ++c) {
    const int i = cands[c];
    if (i != prev) {
      const int16_t m = Spl_MaxValueW16(work + prev, i - prev);
      if (m > 15 * R) {
        peakSeen = true;
        valleyOpen = true;
      }
    }
    const int32_t v = 10 * work[i];
    if (peakSeen && v < 82 * R) {
      peakSeen = false;
      ++events;
    }
    if (valleyOpen && (v < 58 * R || (v < 65 * R && i > 28))) {
      valleyOpen = false;
      ++events;
    }
    prev = i;
    if (events > 1) {
      *voiced = 1;
      break;
    }
  }
}

namespace {

void PitchAnalysis(TidepoolInst* inst, const int16_t* x, int n, const int16_t* h) {
  PlayoutState& p = inst->playout;
  const int s = p.shift;
  const int H = 320 << s;

  // Rising energy at the end of the history.
  int sc1 = 0;
  int sc2 = 0;
  int32_t e1 = Spl_EnergyW16(h + (270 << s), 50 << s, &sc1);
  int32_t e2 = Spl_EnergyW16(h + (120 << s), 150 << s, &sc2);
  if (sc1 > sc2)
    e2 >>= (sc1 - sc2);
  else
    e1 >>= (sc2 - sc1);
  p.rising = e2 < 3 * (e1 >> 2) ? 1 : 0;

  // Squared-difference curve over the 8-kHz lags 20 .. 119.
  int16_t y8[kHistoryMax];
  const int16_t* y = x;
  int m = n;
  if (s) {
    m = Tidepool_Decimate(x, n, 1, kDecimateA, y8);
    y = y8;
  }
  int32_t D[100];
  const int16_t* g = y + m - 10;
  for (int k = 20; k < 120; ++k) {
    int32_t sum = 0;
    const int base = m - 10 - k;
    for (int i = 0; i < 10; ++i) {
      const int idx = base + i;
      const int32_t diff = Spl_SubSatW16(g[i], idx >= 0 ? y[idx] : 0);
      sum += (diff * diff) >> 5;
    }
    D[k - 20] = sum;
  }
  const int32_t dmax = Spl_MaxValueW32(D, 100);
  const int z = Spl_NormW32(dmax);
  if (z != 16) Spl_ShiftVectorW32(D, 100, D, 16 - z);

  // The history at 4 kHz, newest first.
  int16_t r4[160];
  {
    int16_t q[160];
    if (s) {
      Tidepool_Decimate(h, H, 2, kDecimateA, q);
    } else {
      for (int i = 0; i < 159; ++i) q[i] = h[2 * i];
    }
    for (int i = 0; i < 159; ++i) r4[158 - i] = q[i];
  }

  // Autocorrelation of the 4-kHz signal for lags 10 .. 59 (8-kHz lags 20 .. 119).
  int sc = 0;
  const int32_t energy = Spl_EnergyW16(r4, 159, &sc);
  int32_t E = energy >> 1;
  if (E == 0) E = 1;
  int32_t K[100];
  for (int j = 0; j < 50; ++j) {
    const int terms = (149 - j + 1) / 2;
    int32_t sum = 0;
    for (int mm = 0; mm < terms; ++mm) sum = Spl_AddWrapW32(sum, (r4[10 + j + 2 * mm] * r4[2 * mm]) >> sc);
    K[2 * j] = sum;
    K[2 * j + 1] = sum;
  }

  // Smoothing.
  int32_t S[100];
  S[0] = (K[0] >> 1) + (K[1] >> 2);
  for (int i = 1; i < 99; ++i) S[i] = (K[i - 1] >> 2) + (K[i] >> 1) + (K[i + 1] >> 2);
  S[99] = (K[98] >> 2) + (K[99] >> 1);

  // Inverse correlation: small for a strong correlation, at most 20 R.
  const int ze = Spl_NormW32(E);
  const int32_t E16 = ze >= 16 ? (E << (ze - 16)) : (E >> (16 - ze));
  const int16_t R = static_cast<int16_t>(
      Spl_DivW32ByW16(0x7fffffff, static_cast<int16_t>((E16 * E16) >> 20)) >> 13);
  const int32_t weak = ze >= 1 ? ((E16 * 7327) >> (ze - 1)) : ((E16 * 7327) << 1);
  const int32_t ceiling = 20 * static_cast<int32_t>(R);
  int16_t W[100];
  for (int i = 0; i < 100; ++i) {
    const int32_t u = S[i];
    if (u <= weak) {
      W[i] = static_cast<int16_t>(ceiling);
    } else {
      const int64_t u16 = ze >= 16 ? (static_cast<int64_t>(u) << (ze - 16)) : (static_cast<int64_t>(u) >> (16 - ze));
      int64_t sq = (u16 * u16) >> 20;
      if (sq > 32767) sq = 32767;
      int32_t w = sq <= 0 ? ceiling : (Spl_DivW32ByW16(0x7fffffff, static_cast<int16_t>(sq)) >> 13);
      if (w > ceiling) w = ceiling;
      W[i] = static_cast<int16_t>(w);
    }
  }

  // Voicing.
  int16_t best = 0;
  int16_t work[100];
  Tidepool_VoicingDecision(W, R, &p.voiced, &best, work);

  // Weight the distortion curve.
  if (10 * static_cast<int32_t>(best) < 120 * static_cast<int32_t>(R)) {
    int16_t V[100];
    Spl_MulVectorsShift(V, work, kLagWeights.data(), 100, 15);
    const int16_t vmax = Spl_MaxValueW16(V, 100);
    const int t = Spl_NormW32(static_cast<int32_t>(vmax) * vmax);
    for (int i = 0; i < 100; ++i) {
      const int16_t sq = static_cast<int16_t>(ShiftW32(static_cast<int32_t>(V[i]) * V[i], 16 - t));
      D[i] = sq * static_cast<int16_t>(D[i]);
    }
  } else {
    for (int i = 0; i < 100; ++i) {
      const int16_t sq = static_cast<int16_t>((static_cast<int32_t>(kLagWeights[i]) * kLagWeights[i]) >> 15);
      D[i] = sq * static_cast<int16_t>(D[i]);
    }
  }

  // The lag of least distortion.
  int32_t P = (Spl_MinValueIndexW32(D, 100) + 20) << s;

  // Refine at the full rate.
  if (s && p.voiced == 1 && P > 41 && P < 238) {
    int32_t best5 = 0;
    int bestIdx = 0;
    for (int c = 0; c < 5; ++c) {
      const int lag = P - 2 + c;
      int32_t sum = 0;
      for (int i = 0; i < 20; ++i) {
        const int32_t diff = Spl_SubSatW16(x[n - 20 + i], x[n - 20 - lag + i]);
        sum += (diff * diff) >> 5;
      }
      if (c == 0 || sum < best5) {
        best5 = sum;
        bestIdx = c;
      }
    }
    P += bestIdx - 2;
  }
  p.lag = P;

  // A period much weaker than the signal before it is not voiced.
  if (p.voiced == 1) {
    int s1 = 0;
    int s2 = 0;
    const int32_t ea = Spl_EnergyW16(h + H - P, P, &s1);
    const int32_t eb = Spl_EnergyW16(h, H - P, &s2);
    const int32_t p1 = Spl_DivW32ByW16(ea >> s2, static_cast<int16_t>(P));
    const int32_t p2 = Spl_DivW32ByW16(eb >> s1, static_cast<int16_t>(H - P));
    if (static_cast<int64_t>(15) * p1 < p2) p.voiced = 0;
  }
}

void LpcAnalysis(TidepoolInst* inst, const int16_t* h) {
  PlayoutState& p = inst->playout;
  const int H = 320 << p.shift;
  Tidepool_LpcOfBlock(h + H - 100, 100, p.speechPoly);
  memset(p.maState, 0, sizeof p.maState);
  memset(p.arHigh, 0, sizeof p.arHigh);
  memset(p.arLow, 0, sizeof p.arLow);
  int16_t res[50];
  int16_t back[50];
  Tidepool_FilterMA4(p.speechPoly, h + H - 50, 50, p.maState, res);
  Tidepool_FilterAR4(p.speechPoly, res, 50, p.arHigh, p.arLow, back);
}

}  // namespace

void Tidepool_ExpandAnalysis(TidepoolInst* inst, const int16_t* signal, int n, int mode,
                             const int16_t* history) {
  if (mode == 0 || mode == -1) PitchAnalysis(inst, signal, n, history);
  if (mode == 1 || mode == -1) LpcAnalysis(inst, history);
}

void Tidepool_MuteRamp(int16_t* x, int n, int16_t* mute) {
  if (n < 1) return;
  int16_t w[kDecodeMax];
  const int len = n > kDecodeMax ? kDecodeMax : n;
  Spl_FillHannWindow(w, len);
  const int32_t m = *mute;
  const int32_t target = m < 4915 ? 4915 : 16384;
  for (int i = 0; i < n; ++i) {
    const int32_t wi = i < len ? w[i] : 16384;
    const int32_t gain = ((wi * (target - m)) >> 14) + m;
    x[i] = Sat16((gain * x[i]) >> 14);
  }
  *mute = static_cast<int16_t>(target);
}

void Tidepool_FadeToTarget(int16_t* x, int n, int16_t target) {
  if (n < 1) return;
  int16_t w[kDecodeMax];
  const int len = n > kDecodeMax ? kDecodeMax : n;
  Spl_FillHannWindow(w, len);
  const int32_t g = target;
  for (int i = 0; i < n; ++i) {
    const int32_t wi = (n - 1 - i) < len ? w[n - 1 - i] : 16384;
    const int32_t gain = ((wi * (16384 - g)) >> 14) + g;
    x[i] = Sat16((gain * x[i]) >> 14);
  }
}

void Tidepool_UpdateNoiseModel(TidepoolInst* inst, const int16_t* samples, int n) {
  PlayoutState& p = inst->playout;
  if (n < 1) return;
  int sc = 0;
  const int32_t e = Spl_EnergyW16(samples, n, &sc);
  const int64_t shifted = static_cast<int64_t>(e) << sc;
  if (shifted > INT32_MAX) return;  // the energy would not survive being shifted back
  Tidepool_LpcOfBlock(samples, n, p.bgPoly[p.bgWrite]);
  p.bgEnergy[p.bgWrite] = static_cast<int32_t>(shifted);
  if (++p.bgWrite >= p.bgCount) p.bgWrite = 0;
}

int Tidepool_UpdateLevels(TidepoolInst* inst, const int16_t* samples, int n) {
  PlayoutState& p = inst->playout;
  if (n < 1 || n > 32767) return 0;
  const int64_t power = PerSampleEnergy(samples, n);
  int64_t S = p.longLevel;
  int64_t Q = p.shortLevel;
  if (S < 2000000 && power < 420000000)
    S = ((S * 1019) >> 10) + ((power * 5) >> 10);
  else
    S = (S >> 10) * 1019 + (power >> 10) * 5;
  if (Q < 6900000 && power < 2900000)
    Q = ((Q * 307) >> 10) + ((power * 717) >> 10);
  else
    Q = (Q >> 10) * 307 + (power >> 10) * 717;
  if (S < (Q >> 10) * 50) S = (Q >> 10) * 50;
  p.longLevel = Spl_SatW32(S);
  p.shortLevel = Spl_SatW32(Q);
  return (p.longLevel >> 8) <= static_cast<int64_t>(p.shortLevel >> 8) * 53 ? 1 : 0;
}

int Tidepool_Expand(TidepoolInst* inst, const int16_t* signal, int n, int count, int16_t* mute,
                    const int16_t* history, int /*activity*/, int16_t* out) {
  PlayoutState& p = inst->playout;
  const int s = p.shift;
  const int H = 320 << s;
  const int16_t muteBefore = *mute;

  // A very long concealment forgets the speech and decays to the background only.
  if (p.concealCount > 15 && ((static_cast<int64_t>(p.lag) * p.concealCount) >> s) > 5600) {
    p.bgScale = static_cast<int16_t>((p.bgScale * 1023) >> 10);
    p.concealCount = 1000;
    memset(p.history, 0, sizeof p.history);
  }

  // Nothing to continue before the first packet.
  if (!p.outputStarted) {
    const int len = 40 << s;
    memset(out, 0, static_cast<size_t>(len) * sizeof(int16_t));
    *mute = 0;
    return len;
  }

  // Analysis at the first two expansions of a run.
  if (p.prefetch != 1) {
    if (count == 0 || count == 1) Tidepool_ExpandAnalysis(inst, signal, n, count, history);
  }
  int P = p.lag;
  if (P < 1) P = 1;
  if (P > n) P = n;

  // Periodic copy of the last period.
  int16_t m = *mute;
  for (int i = 0; i < P; ++i) {
    const int16_t v = signal[n - P + i];
    out[i] = m == 16384 ? v : static_cast<int16_t>((static_cast<int32_t>(v) * m) >> 14);
  }

  // Let the held-back tail lead into the copied period.
  if (p.voiced == 1 || count == 0) {
    const int o = 5 << s;
    int16_t lead[kTailMax];
    const int start = H - o - P;
    for (int i = 0; i < o; ++i) {
      const int idx = start + i;
      const int16_t v = idx >= 0 ? history[idx] : 0;
      lead[i] = static_cast<int16_t>((static_cast<int32_t>(v) * m) >> 14);
    }
    int16_t mixed[kTailMax];
    memcpy(mixed, p.tail, sizeof(int16_t) * static_cast<size_t>(o));
    Tidepool_CrossFade(p.tail, o, lead, o, mixed, o);
    memcpy(p.tail, mixed, sizeof(int16_t) * static_cast<size_t>(o));
  }

  // Unvoiced sound: shape noise with the speech's LPC model.
  if (count > 0 && p.voiced == 0) {
    int16_t res[kHistoryMax];
    Tidepool_FilterMA4(p.speechPoly, out, P, p.maState, res);
    int sc = 0;
    const int32_t eres = Spl_EnergyW16(res, P, &sc);
    const int32_t g = Spl_SqrtW32(Spl_SatW32(static_cast<int64_t>(Spl_DivW32ByW16(eres, static_cast<int16_t>(P))) << sc));
    int32_t gv;
    int32_t gn;
    if (count < 3) {
      gv = kVoicedWeight[count];
      gn = kNoiseWeight[count];
    } else {
      gv = 0;
      gn = 16384;
    }
    const int q = (100 << s) + 1;
    const int32_t level = PerSampleEnergy(history + H - q, q);
    int32_t a;
    if ((static_cast<int64_t>(level >> 10) * 714) < p.longLevel || p.rising == 1) {
      gv = (gv * 205) >> 10;
      a = static_cast<int16_t>((gn * 410) >> 10) * g;
    } else {
      a = static_cast<int16_t>((gn * 307) >> 10) * g;
    }
    int16_t noise[kHistoryMax];
    ReadRandom(&p.noiseIndex, noise, P);
    const int z = Spl_NormW32(a);
    int shift;
    if (z < 17) {
      shift = z + 10;
      a >>= (17 - z);
    } else {
      shift = 27;
    }
    int16_t e[kHistoryMax];
    Spl_ScaleAddVectors(noise, static_cast<int16_t>(a), shift, res, static_cast<int16_t>(gv), 14, e, P);
    Tidepool_FilterAR4(p.speechPoly, e, P, p.arHigh, p.arLow, out);
  }

  // Fade over successive expansions; codecs with their own concealment fade at once.
  int index = -1;
  if (p.decoder.kind == kTidepoolKindOther)
    index = count < 10 ? count : 10;
  else if (count > 2)
    index = count - 3 < 10 ? count - 3 : 10;
  if (index >= 0) {
    const int16_t target = kMuteTargets[index];
    if (target < m) {
      Tidepool_FadeToTarget(out, P, Spl_DivW32ByW16ToW16(static_cast<int32_t>(target) << 14, m));
      m = target;
    }
  }

  // Background noise once the expansion is quieter than the background.
  if (count >= 1) {
    const int j = Spl_MinValueIndexW32(p.bgEnergy, p.bgCount);
    int64_t emin = p.bgEnergy[j];
    const int64_t F = p.frameSize;
    int sc = 0;
    const int32_t e = Spl_EnergyW16(out, P, &sc);
    int64_t po;
    if (e < (6500000 >> sc)) {
      po = Spl_DivW32ByW16(Spl_SatW32(F * e), static_cast<int16_t>(P));
    } else {
      po = Spl_DivW32ByW16(e, static_cast<int16_t>(P));
      po = po < 6700001 ? F * po : 0x7fffffff;
    }
    po = Spl_SatW32(Spl_SatW32(po) * (static_cast<int64_t>(1) << sc));
    const int64_t L = p.longLevel;
    if (L < 71000000) {
      if ((L >> 5) * F < emin) emin = (L >> 5) * F;
    } else if ((L >> 10) * F < (emin >> 5)) {
      emin = (L >> 5) * F;
    }
    emin = Spl_SatW32(emin);
    if (po < emin) {
      const int blocks = (P + 9) / 10;
      int16_t noise[kHistoryMax + 10];
      for (int b = 0; b < blocks; ++b) {
        Spl_NextRandSeed(&p.noiseIndex);
        ReadRandom(&p.noiseIndex, noise + 10 * b, 10);
      }
      for (int i = 0; i < P; ++i) noise[i] = static_cast<int16_t>(noise[i] >> 5);
      int16_t filtered[kHistoryMax];
      Tidepool_FilterAR4(p.bgPoly[j], noise, P, p.bgHigh, p.bgLow, filtered);
      if (p.bgRecompute == 1) {
        int scn = 0;
        const int32_t en = Spl_EnergyW16(filtered, P, &scn);
        int64_t pn = (static_cast<int64_t>(Spl_DivW32ByW16(en, static_cast<int16_t>(P))) << scn) * F;
        if (pn > INT32_MAX || pn < 0) pn = 0x7fffffff;
        const int32_t e32 = static_cast<int32_t>(emin);
        const int u = Spl_NormW32(e32);
        int32_t pn32 = ShiftW32(static_cast<int32_t>(pn), 26 - u);
        int t = Spl_BitLength32(static_cast<uint32_t>(pn32)) - 15;
        if (t < 0) t = 0;
        pn32 >>= t;
        int32_t ratio = 0;
        if ((pn32 & 0xffff) != 0)
          ratio = Spl_DivW32ByW16(Spl_ShlWrapW32(e32, u) >> t, static_cast<int16_t>(pn32));
        const int32_t root = Spl_SqrtW32(ratio);
        p.bgScale = static_cast<int16_t>(root > 32767 ? 32767 : root);
        p.bgRecompute = 0;
      }
      for (int i = 0; i < P; ++i)
        out[i] = Sat16(out[i] + ((filtered[i] * static_cast<int32_t>(p.bgScale) + 4096) >> 13));
      if (p.cnAvailable == 1 && p.concealCount > 10) p.cnMode = 1;
      m = muteBefore;  // the background keeps its level; only the speech part faded
    }
  }

  *mute = m;
  return P;
}

}  // namespace tidepool
