// Comfort noise: SID analysis (energy index and reflection coefficients) and noise synthesis from a SID.
#include "voice/dsp/cng.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "voice/dsp/spl.h"

namespace {

constexpr char kVersion[] = "Sonra CNG 1.0.4\n";

// Energy per sample for each SID index, in 1-dB steps.
constexpr int32_t kLevels[94] = {
    1081109975, 858756178, 682134279, 541838517, 430397633, 341876992,
    271562548, 215709799, 171344384, 136103682, 108110997, 85875618,
    68213428, 54183852, 43039763, 34187699, 27156255, 21570980,
    17134438, 13610368, 10811100, 8587562, 6821343, 5418385,
    4303976, 3418770, 2715625, 2157098, 1713444, 1361037,
    1081110, 858756, 682134, 541839, 430398, 341877,
    271563, 215710, 171344, 136104, 108111, 85876,
    68213, 54184, 43040, 34188, 27156, 21571,
    17134, 13610, 10811, 8588, 6821, 5418,
    4304, 3419, 2716, 2157, 1713, 1361,
    1081, 859, 682, 542, 430, 342,
    272, 216, 171, 136, 108, 86,
    68, 54, 43, 34, 27, 22,
    17, 14, 11, 9, 7, 5,
    4, 3, 3, 2, 2, 1,
    1, 1, 1, 1,
};

// Lag window for lags 1..12, Q15.
constexpr int32_t kLagWindow[12] = {32702, 32636, 32570, 32505, 32439, 32374,
                                    32309, 32244, 32179, 32114, 32049, 31985};

constexpr int kSynthOrder = 12;
constexpr int kChunk = 160;

// Energy per sample of a frame, without 32-bit overflow on loud frames.
int32_t energyPerSample(const int16_t* x, int n) {
  int scale = 0;
  const int32_t e = Spl_EnergyW16(x, n, &scale);
  int64_t energy = static_cast<uint32_t>(e);  // a sum of non-negative terms
  if (scale > 5) {
    energy <<= (scale - 5);
    scale = 5;
  }
  int count = n >> scale;
  if (count < 1) count = 1;
  return Spl_SatW32(energy / count);
}

// Reflection coefficients of a frame; false when the recursion fails.
bool analyse(const int16_t* x, int n, int order, int16_t* k) {
  int16_t window[kCngMaxFrame];
  int16_t weighted[kCngMaxFrame];
  const int half = n / 2;
  Spl_FillHannWindow(window, half);
  for (int i = 0; i < half; ++i) window[n - 1 - i] = window[i];
  if (n & 1) window[half] = 16384;
  for (int i = 0; i < n; ++i) weighted[i] = static_cast<int16_t>(Spl_MulW16(x[i], window[i]) >> 14);

  int32_t r[kCngMaxOrder + 1];
  Spl_AutoCorr(weighted, n, order, r);
  if (r[0] == 0) r[0] = 32767;
  for (int i = 1; i <= order; ++i) {
    const int64_t mag = (std::llabs(int64_t{r[i]}) * kLagWindow[i - 1]) >> 15;
    r[i] = static_cast<int32_t>(r[i] < 0 ? -mag : mag);
  }
  int16_t a[kCngMaxOrder + 1];
  return Spl_LevinsonDurbin(r, a, k, order) == 1;
}

}  // namespace

int16_t Cng_Version(char* text) {
  if (!text) return -1;
  std::memcpy(text, kVersion, sizeof(kVersion));
  return 0;
}

int16_t Cng_CreateEncoder(CngEncoderInst** inst) {
  if (!inst) return -1;
  *inst = new (std::nothrow) CngEncoderInst{};
  return *inst ? 0 : -1;
}

int16_t Cng_CreateDecoder(CngDecoderInst** inst) {
  if (!inst) return -1;
  *inst = new (std::nothrow) CngDecoderInst{};
  return *inst ? 0 : -1;
}

int16_t Cng_FreeEncoder(CngEncoderInst* inst) {
  delete inst;
  return 0;
}

int16_t Cng_FreeDecoder(CngDecoderInst* inst) {
  delete inst;
  return 0;
}

int16_t Cng_EncoderInit(CngEncoderInst* inst, int16_t rate, int16_t sidIntervalMs, int16_t order) {
  if (!inst) return -1;
  // The lag window and the coefficient arrays hold 12 coefficients: a larger order is refused.
  if (order < 1 || order > kCngMaxOrder) {
    inst->initMarker = 0;
    inst->errorCode = CNG_ERROR_BAD_ORDER;
    return -1;
  }
  if (rate < 1 || sidIntervalMs < 1) {
    inst->initMarker = 0;
    inst->errorCode = CNG_ERROR_BAD_ARGUMENT;
    return -1;
  }
  *inst = CngEncoderInst{};
  inst->order = order;
  inst->rate = rate;
  inst->sidIntervalMs = sidIntervalMs;
  inst->initMarker = kCngInitMarker;
  return 0;
}

int16_t Cng_DecoderInit(CngDecoderInst* inst) {
  if (!inst) return -1;
  *inst = CngDecoderInst{};
  inst->initMarker = kCngInitMarker;
  inst->order = 5;
  inst->seed = 777;
  return 0;
}

int16_t Cng_Encode(CngEncoderInst* inst, const int16_t* speech, int16_t count, uint8_t* sid,
                   int16_t* sidLength, int16_t forceSid) {
  if (!inst) return -1;
  if (sidLength) *sidLength = 0;
  if (inst->initMarker != kCngInitMarker) {
    inst->errorCode = CNG_ERROR_NOT_INITIALISED;
    return -1;
  }
  if (!speech || !sid || !sidLength || count < 1 || count > kCngMaxFrame) {
    inst->errorCode = CNG_ERROR_BAD_ARGUMENT;
    return -1;
  }
  const int order = inst->order;

  const int32_t energy = energyPerSample(speech, count);
  int16_t k[kCngMaxOrder] = {};
  if (energy > 1 && !analyse(speech, count, order, k)) {
    return 0;  // unstable frame: no SID, nothing updated
  }

  if (forceSid) {
    for (int i = 0; i < order; ++i) inst->refl[i] = k[i];
    inst->energy = energy;
  } else {
    for (int i = 0; i < order; ++i)
      inst->refl[i] = static_cast<int16_t>(((19661 * inst->refl[i]) >> 15) + ((13107 * k[i]) >> 15));
    const int32_t old = inst->energy;
    inst->energy = old / 2 + old / 4 + energy / 4;
  }
  if (inst->energy < 1) inst->energy = 1;

  const int32_t frameMs = static_cast<int32_t>(count) * 1000 / inst->rate;
  if (!forceSid && inst->elapsedMs <= inst->sidIntervalMs - 1) {
    inst->elapsedMs = static_cast<int16_t>(Spl_SatW16(int32_t{inst->elapsedMs} + frameMs));
    return 0;
  }

  int index = 94;
  for (int j = 1; j <= 92; ++j) {
    if (inst->energy > kLevels[j]) {
      index = j;
      break;
    }
  }
  sid[0] = static_cast<uint8_t>(index);
  for (int i = 0; i < order; ++i) {
    // The rounded upper byte; a coefficient near +1 must not wrap to -1.
    int32_t b = (int32_t{inst->refl[i]} + 128) >> 8;
    if (b > 127) b = 127;
    sid[1 + i] = static_cast<uint8_t>(static_cast<int8_t>(b));
  }
  inst->elapsedMs = static_cast<int16_t>(Spl_SatW16(frameMs));
  *sidLength = static_cast<int16_t>(order + 1);
  return *sidLength;
}

int16_t Cng_UpdateSid(CngDecoderInst* inst, const uint8_t* sid, int16_t length) {
  if (!inst) return -1;
  if (inst->initMarker != kCngInitMarker) {
    inst->errorCode = CNG_ERROR_NOT_INITIALISED;
    return -1;
  }
  // A SID needs at least its energy byte.
  if (!sid || length < 1) {
    inst->errorCode = CNG_ERROR_EMPTY_SID;
    return -1;
  }
  inst->order = static_cast<int16_t>(length - 1);
  int index = sid[0];
  if (index > 93) index = 93;
  const int32_t e = kLevels[index] / 2;
  inst->targetEnergy = e + e / 4;

  const int taken = (length < 13 ? length : 13) - 1;
  for (int i = 0; i < 13; ++i) {
    inst->targetRefl[i] =
        i < taken ? static_cast<int16_t>(static_cast<uint16_t>(sid[1 + i]) << 8) : int16_t{0};
  }
  inst->errorCode = 0;
  return 0;
}

int16_t Cng_Generate(CngDecoderInst* inst, int16_t* out, int16_t count, int16_t newPeriod) {
  if (!inst) return -1;
  if (inst->initMarker != kCngInitMarker) {
    inst->errorCode = CNG_ERROR_NOT_INITIALISED;
    return -1;
  }
  if (count < 1) return 0;
  if (!out) {
    inst->errorCode = CNG_ERROR_BAD_ARGUMENT;
    return -1;
  }
  const int32_t oldW = newPeriod ? 19661 : 26214;
  const int32_t newW = newPeriod ? 13107 : 6553;

  inst->smoothedEnergy = inst->targetEnergy / 2 + inst->smoothedEnergy / 2;
  for (int i = 0; i < 13; ++i) {
    inst->currentRefl[i] = static_cast<int16_t>(((inst->currentRefl[i] * oldW) >> 15) +
                                                ((inst->targetRefl[i] * newW) >> 15));
  }

  int16_t a[kSynthOrder + 1];
  Spl_ReflToLpc(inst->currentRefl, kSynthOrder, a);

  // Residual energy of the predictor, Q13.
  int32_t g = 8192;
  for (int i = 0; i < kSynthOrder; ++i) {
    const int32_t k = inst->currentRefl[i];
    g = ((32767 - ((k * k) >> 15)) * g) >> 15;
  }
  const int32_t root = static_cast<int16_t>(Spl_SqrtW32(g) * 64);
  const int32_t scaled = static_cast<int32_t>((int64_t{root} * 0x18000) >> 16);  // times 1.5
  inst->prevGain = inst->curGain;
  inst->curGain = static_cast<int32_t>((int64_t{scaled} * Spl_SqrtW32(inst->smoothedEnergy)) >> 12);

  int16_t excitation[kChunk];
  int16_t low[kChunk];
  for (int done = 0; done < count;) {
    const int n = count - done < kChunk ? count - done : kChunk;
    for (int i = 0; i < n; ++i) {
      const int32_t r = Spl_RandGaussian(&inst->seed) >> 1;
      excitation[i] = Spl_SatW16((int64_t{r} * inst->curGain) >> 13);
    }
    Spl_FilterAR(a, kSynthOrder + 1, excitation, n, inst->synthHigh, kSynthOrder, inst->synthLow, kSynthOrder,
                 out + done, low);
    done += n;
  }
  inst->errorCode = 0;
  return 0;
}
