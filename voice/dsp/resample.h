// Fixed-point resampling blocks: polyphase FIR stages (3:2, 4:3, 11:8) and all-pass half-band filters.
#pragma once

#include <cstdint>

// FIR stages. Input is 32-bit at sample scale; outputs are 32-bit, still carrying the Q15 gain and a
// rounding offset of 16384 (the caller shifts right by 15 and saturates). No state; each reads
// beyond its last block: 3:2 and 4:3 read 6 samples further, 11:8 reads 7 further.
void Resample_3To2(const int32_t* in, int32_t* out, int blocks);   // 3 in -> 2 out per block
void Resample_4To3(const int32_t* in, int32_t* out, int blocks);   // 4 in -> 3 out per block
void Resample_11To8(const int32_t* in, int32_t* out, int blocks);  // 11 in -> 8 out per block

// Half-band filters of two all-pass branches. `state` arrays are caller-owned, zeroed before first
// use, and carried between calls: 8 words (16 for Resample_LowpassBy2).
inline constexpr int kResampleStateWords = 8;
inline constexpr int kResampleLowpassStateWords = 16;

// Halving: `count` inputs (pairs; below 2 does nothing) give count / 2 saturated 16-bit outputs.
void Resample_DownBy2(const int16_t* in, int count, int16_t* out, int32_t* state);
// 32-bit input at Q15 scale; the input buffer is overwritten with the branch outputs.
void Resample_DownBy2Int(int32_t* in, int count, int16_t* out, int32_t* state);
// `scratch` holds `count` 32-bit values.
void Resample_DownBy2Short(const int16_t* in, int count, int16_t* out, int32_t* scratch, int32_t* state);

// Doubling: `count` inputs (below 1 does nothing) give 2 * count outputs.
void Resample_UpBy2ShortToInt(const int16_t* in, int count, int32_t* out, int32_t* state);  // 32-bit, sample scale
void Resample_UpBy2IntToShort(const int32_t* in, int count, int16_t* out, int32_t* state);  // Q15 in, saturated out

// Half-band low-pass at the same rate: `count` inputs (pairs) give `count` 32-bit outputs at sample scale.
void Resample_LowpassBy2(const int16_t* in, int count, int32_t* out, int32_t* state);
