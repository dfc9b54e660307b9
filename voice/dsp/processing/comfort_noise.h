// Comfort-noise synthesis shared by the echo suppressor and the AEC PC echo canceller.
#pragma once

#include <cstdint>

// Longest run one call shapes as a block; longer requests are made of such blocks.
inline constexpr int kComfortNoiseBlock = 32;

// n samples of Gaussian excitation, normalised to unit level per block and scaled to `level` (the
// wanted level times 1024), through the all-pole filter 1/A(z): lpc holds order + 1 Q12 coefficients,
// stateHigh and stateLow the filter's `order` previous outputs each.
void ComfortNoise_Generate(uint32_t* seed, int32_t level, const int16_t* lpc, int order, int16_t* stateHigh,
                           int16_t* stateLow, int16_t* out, int n);
