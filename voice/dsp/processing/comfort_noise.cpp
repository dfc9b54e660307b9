// Comfort-noise synthesis shared by the echo suppressor and the AEC PC echo canceller.
#include "voice/dsp/processing/comfort_noise.h"

#include <algorithm>

#include "voice/dsp/spl.h"

void ComfortNoise_Generate(uint32_t* seed, int32_t level, const int16_t* lpc, int order, int16_t* stateHigh,
                           int16_t* stateLow, int16_t* out, int n) {
  for (int done = 0; done < n;) {
    const int m = std::min(n - done, kComfortNoiseBlock);
    int16_t exc[kComfortNoiseBlock];
    int16_t low[kComfortNoiseBlock];
    int64_t energy = 0;
    for (int i = 0; i < m; ++i) {
      exc[i] = static_cast<int16_t>((Spl_RandGaussian(seed) + 16) >> 5);
      energy += int32_t{exc[i]} * exc[i];
    }
    const int64_t rms = static_cast<int64_t>(Spl_SqrtFloorU64(static_cast<uint64_t>(energy / m)));
    const int64_t g = rms > 0 ? (int64_t{level} << 5) / rms : 0;  // Q15 of level / 1024 / rms
    for (int i = 0; i < m; ++i) exc[i] = Spl_SatW16((exc[i] * g) >> 15);
    Spl_FilterAR(lpc, order + 1, exc, m, stateHigh, order, stateLow, order, out + done, low);
    done += m;
  }
}
