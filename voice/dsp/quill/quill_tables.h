// Quill's constant tables: fixed model constants, and the quantiser tables made by gen/quill_gen.
#pragma once

#include <cstdint>

// ---- Fixed constants ------------------------------------------------------------------------

extern const float kQuillRateLevels[13];  // [0] is the 0.0 read as level -1; levels 0..11 follow
inline const float* const kQuillRateLevel = kQuillRateLevels + 1;

extern const uint16_t kQuillFrameLengthCdf[4];
extern const uint16_t kQuillBandwidthCdf[25];
extern const uint16_t kQuillLpcClassCdf[4];

extern const double kQuillFracDelay[8][9];   // fractional-delay rows, row 4 the identity
extern const double kQuillPitchSmooth[5];    // smoothing taps
extern const double kQuillGainSmoothness[4][5];
extern const double kQuillHalfSampleInterp[8];
extern const double kQuillPitchTransform[4][4];  // K (encoder); the decoder uses its transpose

extern const int32_t kQuillModelValue[51];   // spectrum model: cumulative value at each knot
extern const int32_t kQuillModelSlope[51];   // slope after each knot, Q15
extern const uint32_t kQuillSpectrumCost[100];

// Derived at first use and immutable afterwards (thread-safe static initialisation).
struct QuillDerivedTables {
  double lpcWindow[256];           // LPC analysis window, sums to 1
  double pitchWindow[240];         // sin^2 window of the pitch whitening
  double preRotCos[240], preRotSin[240];
  double postRotCos[120], postRotSin[120];
  int16_t envCos[6][60];           // round(512 cos(k pi (m + 0.5) / 120)), k = 1..6
  int16_t pitchGain[4][144];       // Q12 reconstruction of the joint pitch-gain index
};
const QuillDerivedTables& Quill_Tables();

// The knots the LPC analysis window passes through (index, value); the window is drawn through them.
struct QuillWindowKnot {
  int index;
  double value;
};
extern const QuillWindowKnot kQuillLpcWindowKnots[];
extern const int kQuillLpcWindowKnotCount;

// ---- Generated quantiser tables (quill_tables_gen.cpp) --------------------------------------

inline constexpr int kQuillLpcGainCoords = 12;
inline constexpr int kQuillLpcShapeCoords = 108;

// One LPC quantiser class. Coordinates: gain c = 2 j + r (j the across-sub-block index, r the 2x2
// index); shape c = 18 j + r (r the 18x18 index).
struct QuillLpcClass {
  double gainMean[12];     // per sub-block: lower, upper
  double shapeMean[108];   // per sub-block: 12 lower, 6 upper
  double t2[2][2];
  double t18[18][18];
  double gainMat[6][6];
  double shapeMat[6][6];
  int16_t offset[120];     // level index of the value 0 (gain coordinates first, then shape)
  int16_t maxIndex[120];   // largest level index
  int16_t levelPos[120];   // first level of the coordinate in `levels` / `bits`
  const double* levels;    // reconstruction values
  const double* bits;      // estimated bits of each level
  const uint16_t* const* cdf;  // 120 cumulative tables
};
extern const QuillLpcClass kQuillLpcClasses[3];

// One pitch-lag quantiser class (chosen by the mean pitch gain).
struct QuillLagClass {
  double step;
  int16_t low[4], high[4];      // index range of each coefficient
  const double* levels[3];      // reconstruction of coefficients 1..3, by symbol
  const uint16_t* cdf[4];       // cdf[0] is padded with 65535 to `bisectSize` entries
  int16_t bisectSize;
  int16_t start[3];             // starting guesses of symbols 1..3
};
extern const QuillLagClass kQuillLagClasses[3];

extern const uint16_t kQuillPitchGainCdf[256];  // 145 entries, padded with 65535

// Spectral envelope: six reflection coefficients (Q15) and the envelope gain.
struct QuillEnvTable {
  int16_t count;
  const int16_t* levels;      // rising
  const int16_t* bounds;      // count - 1 decision boundaries
  const uint16_t* cdf;
  int16_t start;
};
extern const QuillEnvTable kQuillEnvRefl[6];
struct QuillEnvGainTable {
  int16_t count;
  const int32_t* levels;      // rising
  const int32_t* bounds;      // count - 1 decision boundaries
  const uint16_t* cdf;
  int16_t start;
};
extern const QuillEnvGainTable kQuillEnvGain;
