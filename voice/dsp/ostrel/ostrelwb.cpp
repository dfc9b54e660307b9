// Ostrel wideband codec: band split, lower band through Ostrel711, upper band coded twice like the lower.
#include "voice/dsp/ostrel/ostrelwb.h"

#include <cstring>

#include "voice/dsp/ostrel/ostrel_sections.h"
#include "voice/dsp/ostrel/ostrel_tables.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int kHalf = kOstrelWbUpperSamples;  // 80
constexpr int kOrder = kOstrelWbUpperOrder;

// All-pass coefficients (unsigned Q16) of the two polyphase branches.
constexpr uint32_t kCoefP[3] = {6418, 36982, 57261};
constexpr uint32_t kCoefQ[3] = {21333, 49062, 63010};

// Smoothing filter (Q12, sum 4098) for frames whose upper band is missing.
constexpr int32_t kSmooth[16] = {2, 19, -50, 11, 181, -357, 25, 2218, 2218, 25, -357, 181, 11, -50, 19, 2};

int32_t Sat32(int64_t v) { return Spl_SatW32(v); }

// Three first-order all-pass sections y[n] = x[n-1] + c (x[n] - y[n-1]).
int32_t AllPass(OstrelWbAllPass* s, const uint32_t* c, int32_t x) {
  for (int k = 0; k < 3; ++k) {
    const int64_t d = int64_t{x} - s->y[k];
    const int32_t y = Sat32(int64_t{s->x[k]} + ((d * int64_t{c[k]}) >> 16));
    s->x[k] = x;
    s->y[k] = y;
    x = y;
  }
  return x;
}

void FailWb(OstrelWbCodec* inst, int16_t code) {
  inst->errorCode = code;
  inst->decPending = 0;
  inst->decSecondLeft[0] = inst->decSecondLeft[1] = 0;
  inst->lower.decPending = 0;
  inst->lower.decSecondLeft[0] = inst->lower.decSecondLeft[1] = 0;
}

struct UpperLayout {
  bool present;
  int headerBytes;
  int lengths[kOstrelWbMaxFrames];
  int firstBytes;
  int secondBytes;
};

bool ParseUpper(const uint8_t* p, int rest, int frames, UpperLayout* l) {
  l->present = rest > 0 && rest <= OstrelWb_MaxUpperBytes(frames);
  if (!l->present) return true;
  l->headerBytes = (5 * frames + 7) / 8;
  if (rest < l->headerBytes) return false;
  l->firstBytes = 0;
  for (int i = 0; i < frames; ++i) {
    int v = 0;
    for (int b = 5 * i; b < 5 * i + 5; ++b) v = (v << 1) | ((p[b >> 3] >> (7 - (b & 7))) & 1);
    if (v > kOstrelWbUpperMaxBytes) return false;
    l->lengths[i] = v;
    l->firstBytes += v;
  }
  if (l->headerBytes + l->firstBytes > rest) return false;
  l->secondBytes = rest - l->headerBytes - l->firstBytes;
  return true;
}

int16_t TakeWb(OstrelWbCodec* inst, const uint8_t* payload, int32_t bytes, bool late) {
  if (inst->decPending > 0) {
    // As in the lower band: refused, and the current packet's frames are dropped.
    inst->errorCode = kOstrelErrPending;
    inst->decPending = 0;
    inst->lower.decPending = 0;
    return -1;
  }
  int16_t frames = 0;
  const int32_t lowerBytes = Ostrel711_PacketLength(payload, bytes, &frames);
  UpperLayout l;
  if (lowerBytes < 0 || !ParseUpper(payload + lowerBytes, bytes - lowerBytes, frames, &l)) {
    FailWb(inst, kOstrelErrMalformed);
    return -1;
  }
  const int16_t r = late ? Ostrel711_StartLatePacket(&inst->lower, payload, lowerBytes)
                         : Ostrel711_StartPacket(&inst->lower, payload, lowerBytes);
  if (r < 0) {
    FailWb(inst, inst->lower.errorCode);
    return -1;
  }
  const uint8_t* upper = payload + lowerBytes;
  inst->decCur = static_cast<int16_t>(inst->decCur ^ 1);
  const int cur = inst->decCur;
  inst->decSecondPos[cur] = 0;
  inst->decSecondBytes[cur] = static_cast<int16_t>(l.present ? l.secondBytes : 0);
  inst->decSecondLeft[cur] = static_cast<int16_t>(l.present ? frames : 0);
  if (l.present) std::memcpy(inst->decSecond[cur], upper + l.headerBytes + l.firstBytes, static_cast<size_t>(l.secondBytes));
  inst->decFrames = frames;
  if (late) {
    inst->decSecondLeft[cur ^ 1] = 0;
    inst->decPending = 0;
    return 0;
  }
  inst->decUpperPresent = l.present ? 1 : 0;
  if (l.present) {
    std::memcpy(inst->decFirst, upper + l.headerBytes, static_cast<size_t>(l.firstBytes));
    int off = 0;
    for (int i = 0; i < frames; ++i) {
      inst->decFirstOffset[i] = static_cast<int16_t>(off);
      inst->decFirstLength[i] = static_cast<int16_t>(l.lengths[i]);
      off += l.lengths[i];
    }
  }
  inst->decPending = frames;
  return 0;
}

bool TakeUpperSecond(OstrelWbCodec* inst, int which, OstrelWbUpperFrame* f) {
  const int pos = inst->decSecondPos[which];
  const int len = OstrelWb_UnpackUpperFrame(f, inst->decSecond[which] + pos, inst->decSecondBytes[which] - pos);
  if (len == 0) return false;
  inst->decSecondPos[which] = static_cast<int16_t>(pos + len);
  inst->decSecondLeft[which]--;
  return true;
}

}  // namespace

void OstrelWb_UpperGain(const int16_t* residual, int16_t* gain, int16_t* index, bool* transient) {
  // The energy is summed in 32 bits. Passing the mark makes the frame a transient; each later
  // passing quarters the sum and counts, and the count raises the gain index from 124.
  int32_t energy = 0;
  int decreases = 0;
  *transient = false;
  for (int n = 0; n < kHalf; ++n) {
    const int32_t sq = int32_t{residual[n]} * residual[n];
    if (energy > kOstrelWbTransientEnergy - sq) {
      if (*transient) ++decreases;
      *transient = true;
      energy >>= 2;
    }
    energy += sq;
  }
  if (*transient) {
    const int i = kOstrelWbTransientIndex + decreases;
    *index = static_cast<int16_t>(i > 127 ? 127 : i);
    *gain = kOstrelWbGain[*index];
    return;
  }
  OstrelWb_QuantizeGain(energy, gain, index);
}

int OstrelWb_ScaleResidual(const int16_t* residual, int16_t gain, int16_t* values) {
  // Division by the gain as a multiplication: the gain is normalised to 16384..32767 and its
  // inverse taken from 0x3FFFFFFF, so value = residual * inverse >> (30 - shift), rounded.
  const int shift = Spl_NormW32(gain) - 16;
  const int32_t normalised = int32_t{gain} << shift;
  const int32_t inverse = 0x3FFFFFFF / normalised;
  const int down = 30 - shift;
  int peak = 0;
  for (int n = 0; n < kHalf; ++n) {
    int32_t q = static_cast<int32_t>((int64_t{residual[n]} * inverse + (int64_t{1} << (down - 1))) >> down);
    q = q > 15 ? 15 : (q < -15 ? -15 : q);
    values[n] = static_cast<int16_t>(q);
    if ((q < 0 ? -q : q) > peak) peak = q < 0 ? -q : q;
  }
  return peak;
}

namespace {

// Codes the upper band of one frame into the second section and the next packet's first section.
void EncodeUpper(OstrelWbCodec* inst, const int16_t* upper) {
  int16_t windowed[kHalf];
  for (int n = 0; n < kHalf; ++n) {
    const int32_t w = kOstrelWbWindow[n < 40 ? n : kHalf - 1 - n];
    windowed[n] = static_cast<int16_t>((int32_t{upper[n]} * w) >> 15);
  }
  int16_t refl[kOrder];
  uint32_t bits = 0;
  OstrelWb_AnalyzeLpc5(windowed, refl, &bits);
  int16_t a[kOrder + 1];
  Spl_ReflToLpc(refl, kOrder, a);

  int16_t res[kHalf];
  int16_t* mem = inst->encResidualState;  // the last kOrder inputs, oldest first
  for (int n = 0; n < kHalf; ++n) {
    int64_t acc = int64_t{a[0]} * upper[n];
    for (int j = 1; j <= kOrder; ++j) acc += int64_t{a[j]} * (n - j >= 0 ? upper[n - j] : mem[kOrder + n - j]);
    res[n] = Spl_SatW16((acc + 2048) >> 12);
  }
  std::memcpy(mem, upper + kHalf - kOrder, sizeof(int16_t) * kOrder);

  int16_t gain;
  int16_t index;
  bool transient;
  OstrelWb_UpperGain(res, &gain, &index, &transient);
  int16_t v[kHalf];
  const int peak = OstrelWb_ScaleResidual(res, gain, v);
  // A transient's gain is set by rule, not fitted to its energy: it takes the widest table.
  const int mode = transient || peak >= 11 ? 3 : (peak <= 6 ? 0 : (peak <= 7 ? 1 : 2));
  int16_t even[kOstrelWbUpperValues];
  int16_t odd[kOstrelWbUpperValues];
  for (int i = 0; i < kOstrelWbUpperValues; ++i) {
    even[i] = v[2 * i];
    odd[i] = v[2 * i + 1];
  }
  const int cur = inst->encCur;
  inst->encSecondBytes = static_cast<int16_t>(
      inst->encSecondBytes + OstrelWb_PackUpperFrame(inst->encSecond + inst->encSecondBytes, index, mode, bits, even));
  const int len = OstrelWb_PackUpperFrame(inst->encFirst[cur] + inst->encFirstBytes[cur], index, mode, bits, odd);
  inst->encFrameLengths[cur][inst->encCollected] = static_cast<int16_t>(len);
  inst->encFirstBytes[cur] = static_cast<int16_t>(inst->encFirstBytes[cur] + len);
  inst->encCollected++;
}

// Appends the upper-band section of a completed packet at out; returns its length.
int WriteUpperSection(OstrelWbCodec* inst, uint8_t* out) {
  const int frames = inst->framesPerPacket;
  const int prev = inst->encCur ^ 1;
  const int hb = (5 * frames + 7) / 8;
  std::memset(out, 0, static_cast<size_t>(hb));
  for (int i = 0; i < frames; ++i) {
    const int v = inst->encFrameLengths[prev][i];
    for (int b = 0; b < 5; ++b) {
      const int bit = 5 * i + b;
      if ((v >> (4 - b)) & 1) out[bit >> 3] = static_cast<uint8_t>(out[bit >> 3] | (0x80 >> (bit & 7)));
    }
  }
  return hb + Ostrel_WriteSections(inst, out + hb);
}

void ClearDecoder(OstrelWbCodec* inst) {
  inst->decFrames = 0;
  inst->decPending = 0;
  inst->decUpperPresent = 0;
  for (int i = 0; i < 2; ++i) {
    inst->decSecondBytes[i] = 0;
    inst->decSecondPos[i] = 0;
    inst->decSecondLeft[i] = 0;
  }
  std::memset(&inst->mergeP, 0, sizeof inst->mergeP);
  std::memset(&inst->mergeQ, 0, sizeof inst->mergeQ);
  std::memset(inst->smoothState, 0, sizeof inst->smoothState);
  std::memset(&inst->synth, 0, sizeof inst->synth);
  inst->lastKind = -1;
}

}  // namespace

void OstrelWb_SplitBands(OstrelWbAllPass* p, OstrelWbAllPass* q, const int16_t* in, int16_t* lower, int16_t* upper) {
  for (int i = 0; i < kHalf; ++i) {
    const int64_t e = AllPass(q, kCoefQ, int32_t{in[2 * i]} * 1024);
    const int64_t o = AllPass(p, kCoefP, int32_t{in[2 * i + 1]} * 1024);
    lower[i] = Spl_SatW16((o + e + 1024) >> 11);
    upper[i] = Spl_SatW16((o - e + 1024) >> 11);
  }
}

void OstrelWb_MergeBands(OstrelWbAllPass* p, OstrelWbAllPass* q, const int16_t* lower, const int16_t* upper,
                         int16_t* out) {
  for (int i = 0; i < kHalf; ++i) {
    const int32_t sum = (int32_t{lower[i]} + upper[i]) * 1024;
    const int32_t diff = (int32_t{lower[i]} - upper[i]) * 1024;
    const int64_t odd = AllPass(q, kCoefQ, sum);
    const int64_t even = AllPass(p, kCoefP, diff);
    out[2 * i] = Spl_SatW16((even + 512) >> 10);
    out[2 * i + 1] = Spl_SatW16((odd + 512) >> 10);
  }
}

int16_t OstrelWb_Init(OstrelWbCodec* inst, int16_t packetSamples) {
  const int32_t wrapper = inst->wrapperWord;
  std::memset(inst, 0, sizeof *inst);
  inst->wrapperWord = wrapper;
  int16_t result = 0;
  if (packetSamples != 160 && packetSamples != 320 && packetSamples != 480 && packetSamples != 640) {
    packetSamples = 160;
    inst->errorCode = kOstrelErrPacketLength;
    result = -1;
  }
  inst->framesPerPacket = static_cast<int16_t>(packetSamples / kOstrelWbFrameSamples);
  inst->maxPacketBytes = static_cast<int16_t>(OstrelWb_MaxPacketBytes(inst->framesPerPacket));
  inst->lastKind = -1;

  // The first packet's upper band, in place of a previous period: 29-byte frames of silence (the
  // uncompressed form with gain index 0 and values 0).
  int16_t zeros[kOstrelWbUpperValues] = {};
  uint8_t frame[kOstrelWbUpperMaxBytes];
  const uint32_t neutral = (16u << 16) | (17u << 11) | (8u << 7) | (8u << 3) | 4u;  // each code at its offset
  Ostrel_FillPreviousSection(inst, frame, OstrelWb_PackUncompressedUpperFrame(frame, 0, neutral, zeros));

  if (Ostrel711_Init(&inst->lower, 0, kOstrelInputLinear, static_cast<int16_t>(packetSamples / 2)) < 0) {
    inst->errorCode = inst->lower.errorCode;
    result = -1;
  }
  return result;
}

int16_t OstrelWb_Reset(OstrelWbCodec* inst) {
  ClearDecoder(inst);
  std::memset(&inst->splitP, 0, sizeof inst->splitP);
  std::memset(&inst->splitQ, 0, sizeof inst->splitQ);
  if (Ostrel711_Reset(&inst->lower, 0) < 0) {
    inst->errorCode = inst->lower.errorCode;
    return -1;
  }
  return 0;
}

int16_t OstrelWb_Encode(OstrelWbCodec* inst, const int16_t* in, uint8_t* packet, int16_t* packetBytes,
                        int16_t* framesNeeded) {
  int16_t lower[kHalf];
  int16_t upper[kHalf];
  OstrelWb_SplitBands(&inst->splitP, &inst->splitQ, in, lower, upper);
  int16_t lowerBytes = 0;
  const int16_t r = Ostrel711_EncodeCore(&inst->lower, lower, packet, &lowerBytes, framesNeeded);
  if (r < 0) {
    inst->errorCode = inst->lower.errorCode;
    *packetBytes = 0;
    return -1;
  }
  EncodeUpper(inst, upper);
  if (lowerBytes == 0) {
    *packetBytes = 0;
    return 0;
  }
  *packetBytes = static_cast<int16_t>(lowerBytes + WriteUpperSection(inst, packet + lowerBytes));
  return 0;
}

int16_t OstrelWb_DecodeSplitBand(OstrelWbCodec* inst, const uint8_t* payload, int32_t payloadBytes) {
  if (payload == nullptr || payloadBytes < 1) {
    FailWb(inst, kOstrelErrMalformed);
    return -1;
  }
  return TakeWb(inst, payload, payloadBytes, false);
}

int16_t OstrelWb_StartLatePacket(OstrelWbCodec* inst, const uint8_t* payload, int32_t payloadBytes) {
  if (payload == nullptr || payloadBytes < 1) {
    inst->errorCode = kOstrelErrMalformed;
    return -1;
  }
  return TakeWb(inst, payload, payloadBytes, true);
}

int16_t OstrelWb_DecodeFrame(OstrelWbCodec* inst, const uint8_t* payload, int16_t* out, int32_t payloadBytes,
                             int16_t* framesLeft) {
  *framesLeft = 0;
  if (inst->decPending == 0 && payload != nullptr && payloadBytes > 0) {
    if (OstrelWb_DecodeSplitBand(inst, payload, payloadBytes) < 0) {
      Spl_ZeroW16(out, kOstrelWbFrameSamples);
      return -1;
    }
  }
  int16_t lower[kHalf];
  int16_t upper[kHalf] = {};
  int16_t left = 0;
  bool smooth = false;
  bool haveUpper = false;
  bool failed = false;
  const int r = Ostrel711_DecodeFrame(&inst->lower, nullptr, lower, 0, &left);
  if (r < 0) {
    FailWb(inst, inst->lower.errorCode);
    failed = true;
  } else if (inst->decPending > 0) {
    const int i = inst->decFrames - inst->decPending;
    if (inst->decUpperPresent) {
      OstrelWbUpperFrame held;
      OstrelWbUpperFrame cur;
      const int prev = inst->decCur ^ 1;
      bool hasHeld = false;
      bool hasCur = false;
      if (inst->decSecondLeft[prev] > 0) {
        hasHeld = TakeUpperSecond(inst, prev, &held);
        failed = !hasHeld;
      }
      if (!failed && inst->decFirstLength[i] > 0) {
        const int last = inst->decFrames - 1;
        const int rest = inst->decFirstOffset[last] + inst->decFirstLength[last] - inst->decFirstOffset[i];
        hasCur = OstrelWb_UnpackUpperFrame(&cur, inst->decFirst + inst->decFirstOffset[i], inst->decFirstLength[i],
                                           rest) == inst->decFirstLength[i];
        failed = !hasCur;
      }
      if (!failed) {
        if (hasHeld && hasCur) {
          OstrelWb_SynthesizeFull(&inst->synth, held, cur, upper);
        } else if (hasCur) {
          OstrelWb_SynthesizeHalf(&inst->synth, cur, 1, upper);
        } else if (hasHeld) {
          OstrelWb_SynthesizeHalf(&inst->synth, held, 0, upper);
        }
        haveUpper = hasHeld || hasCur;
      } else {
        FailWb(inst, kOstrelErrMalformed);
      }
    } else {
      smooth = true;
    }
    if (!failed) {
      inst->decPending--;
      left = inst->decPending;
    }
  } else {
    const int cur = inst->decCur;
    if (inst->decSecondLeft[cur] > 0) {
      OstrelWbUpperFrame held;
      if (TakeUpperSecond(inst, cur, &held)) {
        OstrelWb_SynthesizeHalf(&inst->synth, held, 0, upper);
        haveUpper = true;
      } else {
        FailWb(inst, kOstrelErrMalformed);
        failed = true;
      }
    }
    if (!failed && r == 0 && !haveUpper) {
      Spl_ZeroW16(out, kOstrelWbFrameSamples);
      inst->lastKind = -1;
      return 0;
    }
  }
  if (failed) {
    Spl_ZeroW16(out, kOstrelWbFrameSamples);
    return -1;
  }

  int16_t merged[kOstrelWbFrameSamples];
  OstrelWb_MergeBands(&inst->mergeP, &inst->mergeQ, lower, upper, merged);
  constexpr int kTaps = 16;
  constexpr int kMem = kTaps - 1;
  if (smooth) {
    for (int n = 0; n < kOstrelWbFrameSamples; ++n) {
      int64_t acc = 0;
      for (int j = 0; j < kTaps; ++j) {
        const int idx = n - j;
        acc += int64_t{kSmooth[j]} * (idx >= 0 ? merged[idx] : inst->smoothState[kMem + idx]);
      }
      out[n] = Spl_SatW16((acc + 2048) >> 12);
    }
  } else {
    std::memcpy(out, merged, sizeof merged);
  }
  std::memcpy(inst->smoothState, merged + kOstrelWbFrameSamples - kMem, sizeof(int16_t) * kMem);
  inst->lastKind = inst->lower.lastKind;
  *framesLeft = left;
  return kOstrelWbFrameSamples;
}

int16_t OstrelWb_Decode(OstrelWbCodec* inst, const uint8_t* payload, int32_t payloadBytes, int16_t* out,
                        int16_t* speechType, int capacity) {
  return Ostrel_DecodePayload(inst, OstrelWb_DecodeFrame, kOstrelWbFrameSamples, payload, payloadBytes, out, speechType,
                              capacity);
}

int16_t OstrelWb_GetDecoderInfo(const OstrelWbCodec* inst, int16_t* lastKind, int16_t* pendingFrames) {
  *lastKind = inst->lastKind;
  *pendingFrames = inst->decPending;
  return 0;
}
