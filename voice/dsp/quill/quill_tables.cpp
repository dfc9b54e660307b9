// Quill's fixed model constants and the tables derived from them at first use.
#include <algorithm>
#include <cmath>

#include "voice/dsp/quill/quill_tables.h"

const float kQuillRateLevels[13] = {0.0f,     10000.0f, 11115.3f, 12355.1f, 13733.1f, 15264.8f, 16967.3f,
                                    18859.8f, 20963.3f, 23301.4f, 25900.3f, 28789.0f, 32000.0f};

const uint16_t kQuillFrameLengthCdf[4] = {0, 21845, 43690, 65535};
const uint16_t kQuillBandwidthCdf[25] = {0,     2731,  5461,  8192,  10923, 13653, 16384, 19114, 21845,
                                         24576, 27306, 30037, 32768, 35498, 38229, 40959, 43690, 46421,
                                         49151, 51882, 54613, 57343, 60074, 62804, 65535};
const uint16_t kQuillLpcClassCdf[4] = {0, 15434, 37548, 65535};

const double kQuillFracDelay[8][9] = {
    {-0.022392, 0.066533, -0.165159, 0.607013, 0.646714, -0.20249, 0.099265, -0.047659, 0.017542},
    {-0.019856, 0.058161, -0.139913, 0.445604, 0.79117, -0.202661, 0.095853, -0.045333, 0.016541},
    {-0.014633, 0.042299, -0.09897, 0.282843, 0.903853, -0.16977, 0.077043, -0.035842, 0.012958},
    {-0.007649, 0.02184, -0.049856, 0.130833, 0.97545, -0.101778, 0.044009, -0.020107, 0.007198},
    {0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0},
    {0.007198, -0.020107, 0.044009, -0.101778, 0.97545, 0.130833, -0.049856, 0.02184, -0.007649},
    {0.012958, -0.035842, 0.077043, -0.16977, 0.903853, 0.282843, -0.09897, 0.042299, -0.014633},
    {0.016541, -0.045333, 0.095853, -0.202661, 0.79117, 0.445604, -0.139913, 0.058161, -0.019856},
};

const double kQuillPitchSmooth[5] = {-0.07, 0.25, 0.64, 0.25, -0.07};

const double kQuillGainSmoothness[4][5] = {
    {-0.30857142857143, 0.67428571428571, -0.27142857142857, -0.14571428571429, 0.05142857142857},
    {-0.05714285714286, -0.27142857142857, 0.65714285714286, -0.27142857142857, -0.05714285714286},
    {0.05142857142857, -0.14571428571429, -0.27142857142857, 0.67428571428571, -0.30857142857143},
    {0.01714285714286, 0.05142857142857, -0.05714285714286, -0.30857142857143, 0.29714285714286},
};

const double kQuillHalfSampleInterp[8] = {-0.0006755602864, 0.02184247643159, -0.12203175715679, 0.6008648410116,
                                          0.6008648410116,  -0.12203175715679, 0.02184247643159, -0.0006755602864};

const double kQuillPitchTransform[4][4] = {
    {-0.5, -0.5, -0.5, -0.5},
    {0.67082039, 0.2236068, -0.2236068, -0.67082039},
    {0.5, -0.5, -0.5, 0.5},
    {0.2236068, -0.67082039, 0.67082039, -0.2236068},
};

const int32_t kQuillModelValue[51] = {0,     2,     4,     6,     8,     10,    12,    14,    16,    18,    20,
                                      22,    24,    29,    38,    57,    92,    153,   279,   559,   994,   1983,
                                      4408,  10097, 18682, 33336, 48105, 56005, 61313, 63636, 64560, 64998, 65262,
                                      65389, 65447, 65481, 65497, 65510, 65512, 65514, 65516, 65518, 65520, 65522,
                                      65524, 65526, 65528, 65530, 65532, 65534, 65535};
const int32_t kQuillModelSlope[51] = {5,     5,     5,     5,     5,     5,     5,    5,    5,    5,    5,
                                      5,     13,    23,    47,    87,    154,   315,  700,  1088, 2471, 6064,
                                      14221, 21463, 36634, 36924, 19750, 13270, 5806, 2312, 1095, 660,  316,
                                      145,   86,    41,    32,    5,     5,     5,     5,    5,    5,    5,
                                      5,     5,     5,     5,     5,     2,     0};

const uint32_t kQuillSpectrumCost[100] = {
    14495, 14295, 14112, 13944, 13788, 13643, 13459, 13276, 13195, 13239, 13243, 13191, 13133, 13216, 13263,
    13330, 13316, 13242, 13191, 13106, 12942, 12669, 12291, 11840, 11361, 10795, 10192, 9561,  8934,  8335,
    7750,  7161,  6589,  6062,  5570,  5048,  4548,  4069,  3587,  3143,  2717,  2305,  1915,  1557,  1235,
    963,   720,   541,   423,   366,   369,   435,   561,   750,   1001,  1304,  1626,  1989,  2381,  2793,
    3219,  3656,  4134,  4612,  5106,  5629,  6122,  6644,  7216,  7801,  8386,  8987,  9630,  10255, 10897,
    11490, 11950, 12397, 12752, 12999, 13175, 13258, 13323, 13290, 13296, 13335, 13113, 13255, 13347, 13355,
    13298, 13247, 13313, 13155, 13267, 13313, 13374, 13446, 13525, 13609};

// The analysis window rises slowly, peaks late (index 201) and falls steeply to the end.
const QuillWindowKnot kQuillLpcWindowKnots[] = {
    {0, 0.0},          {1, 1e-08},        {2, 4e-08},         {3, 1e-07},         {4, 2e-07},
    {40, 0.00012186},  {100, 0.00195799}, {128, 0.00398135},  {180, 0.00866822},  {201, 0.00949294},
    {220, 0.0084728},  {240, 0.00456935}, {250, 0.0015569},   {255, 0.00015881},
};
const int kQuillLpcWindowKnotCount = static_cast<int>(sizeof(kQuillLpcWindowKnots) / sizeof(kQuillLpcWindowKnots[0]));

namespace {

// Monotone cubic (Fritsch-Carlson) through the knots, evaluated at every index; the values between the
// knots are then scaled so that the window sums to 1 while the knots keep their fixed values.
void buildLpcWindow(double* w) {
  const int n = kQuillLpcWindowKnotCount;
  double slope[32];
  double d[32];
  for (int i = 0; i + 1 < n; ++i) {
    d[i] = (kQuillLpcWindowKnots[i + 1].value - kQuillLpcWindowKnots[i].value) /
           (kQuillLpcWindowKnots[i + 1].index - kQuillLpcWindowKnots[i].index);
  }
  slope[0] = d[0];
  slope[n - 1] = d[n - 2];
  for (int i = 1; i + 1 < n; ++i) {
    if (d[i - 1] * d[i] <= 0.0) {
      slope[i] = 0.0;
    } else {
      const double h0 = kQuillLpcWindowKnots[i].index - kQuillLpcWindowKnots[i - 1].index;
      const double h1 = kQuillLpcWindowKnots[i + 1].index - kQuillLpcWindowKnots[i].index;
      const double a = (2.0 * h1 + h0), b = (h1 + 2.0 * h0);
      slope[i] = (a + b) / (a / d[i - 1] + b / d[i]);
    }
  }
  double sum = 0.0;
  for (int i = 0; i + 1 < n; ++i) {
    const int x0 = kQuillLpcWindowKnots[i].index, x1 = kQuillLpcWindowKnots[i + 1].index;
    const double y0 = kQuillLpcWindowKnots[i].value, y1 = kQuillLpcWindowKnots[i + 1].value;
    const double h = x1 - x0;
    for (int x = x0; x < x1 || (i + 2 == n && x == x1); ++x) {
      const double t = (x - x0) / h;
      const double h00 = (1 + 2 * t) * (1 - t) * (1 - t), h10 = t * (1 - t) * (1 - t);
      const double h01 = t * t * (3 - 2 * t), h11 = t * t * (t - 1);
      w[x] = h00 * y0 + h10 * h * slope[i] + h01 * y1 + h11 * h * slope[i + 1];
      if (w[x] < 0.0) w[x] = 0.0;
    }
  }
  bool knot[256] = {};
  double knotSum = 0.0;
  for (int i = 0; i < n; ++i) {
    knot[kQuillLpcWindowKnots[i].index] = true;
    knotSum += kQuillLpcWindowKnots[i].value;
  }
  for (int i = 0; i < 256; ++i)
    if (!knot[i]) sum += w[i];
  const double scale = (1.0 - knotSum) / sum;
  for (int i = 0; i < 256; ++i)
    if (!knot[i]) w[i] *= scale;
}

QuillDerivedTables build() {
  QuillDerivedTables t{};
  buildLpcWindow(t.lpcWindow);
  for (int i = 0; i < 240; ++i) {
    const double x = i + 0.5;
    const double s = std::sin((0.00125 + 1.2152777777777777e-5 * x) * x * 3.14159265);
    t.pitchWindow[i] = s * s;
  }
  for (int k = 0; k < 240; ++k) {
    t.preRotCos[k] = std::cos(k * M_PI / 240.0);
    t.preRotSin[k] = std::sin(k * M_PI / 240.0);
  }
  double a = M_PI / 2.0 - M_PI / 480.0;
  const double step = M_PI - M_PI / 240.0;
  for (int k = 0; k < 120; ++k) {
    t.postRotCos[k] = std::cos(a);
    t.postRotSin[k] = std::sin(a);
    a += step;
  }
  for (int k = 1; k <= 6; ++k) {
    for (int m = 0; m < 60; ++m) {
      t.envCos[k - 1][m] = static_cast<int16_t>(std::lround(512.0 * std::cos(k * M_PI * (m + 0.5) / 120.0)));
    }
  }
  // Joint pitch-gain index 18 a + 3 b + c: the inverse of the encoder's transform of asin(gain).
  static constexpr int kLow[3] = {-7, -2, -1};
  for (int a0 = 0; a0 < 8; ++a0) {
    for (int b0 = 0; b0 < 6; ++b0) {
      for (int c0 = 0; c0 < 3; ++c0) {
        const int index = 18 * a0 + 3 * b0 + c0;
        const double q[3] = {(a0 + kLow[0]) / 8.0, (b0 + kLow[1]) / 8.0, (c0 + kLow[2]) / 8.0};
        for (int j = 0; j < 4; ++j) {
          double u = 0.0;
          for (int r = 0; r < 3; ++r) u += kQuillPitchTransform[r][j] * q[r];
          const long g = std::lround(4096.0 * std::sin(u));
          t.pitchGain[j][index] = static_cast<int16_t>(std::clamp(g, 0L, 4095L));
        }
      }
    }
  }
  return t;
}

}  // namespace

const QuillDerivedTables& Quill_Tables() {
  static const QuillDerivedTables tables = build();
  return tables;
}
