// Tables of the Ostrel codecs (computed by gen/gen_ostrel_tables.py, which says how each is derived).
#pragma once

#include <cstdint>

// Reconstruction tables, row 0 mu-law, row 1 A-law: 2 (E[q'] + M[q]) is the level of position
// p = 2q + ((q & 1) ^ (q' & 1)); 4 M[q] and 4 E[q'] approximate a position from one coding alone.
extern const int16_t kOstrelRecM[2][128];
extern const int16_t kOstrelRecE[2][129];

// Frame coder, row = coding variant (0 first-section coding q', 1 second-section coding q): the linear
// value of each 6-bit upper part, and the 65 edges between the linear intervals of the upper parts.
extern const int16_t kOstrelCodeToLinear[2][64];
extern const int16_t kOstrelEdge[2][65];

// Frame coder, row 0 normal and row 1 steep: cumulative curve over -32 .. 32 table units (point 32 is
// 32768, point 64 is 65535), its slopes, its inverse (residual in units times 1024 at each 1024th of the
// probability range) and the inverse's slopes.
extern const int32_t kOstrelCum[2][65];
extern const int32_t kOstrelCumSlope[2][64];
extern const int32_t kOstrelInvCum[2][65];
extern const int32_t kOstrelInvCumSlope[2][64];

// Upper band of the wideband codec: the 128 excitation gains and the 40-point rising analysis window.
extern const int16_t kOstrelWbGain[128];
extern const int16_t kOstrelWbWindow[40];
