// Quill codec interface: instance lifecycle, frame assembly and rate control, decode and arrival.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "voice/dsp/quill/quill_internal.h"

namespace {

constexpr int16_t kFlagDecoder = 1;
constexpr int16_t kFlagEncoder = 2;

int16_t fail(QuillInstance* inst, int code) {
  inst->errorCode = static_cast<int16_t>(code < 0 ? -code : code);
  return -1;
}

void clearDecoder(QuillDecoderSide* dec) {
  std::memset(dec->latticeLo, 0, sizeof(dec->latticeLo));
  std::memset(dec->latticeHi, 0, sizeof(dec->latticeHi));
  std::memset(&dec->bank, 0, sizeof(dec->bank));
  std::memset(&dec->postFilter, 0, sizeof(dec->postFilter));
  fft2_reset(&dec->fft);
}

// Filler bytes of a padded packet: the low 8 bits of the run-time library's generator.
uint8_t padByte() { return static_cast<uint8_t>(std::rand() & 0xFF); }

// The encoder's float stage values can never be inf or NaN for 16-bit input, but a decoder fed a
// hostile payload can drive its filters there: reset rather than carry it into later frames.
bool finite(const float* v, int n) {
  for (int i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

}  // namespace

// ---- Rate control ---------------------------------------------------------------------------

int Quill_FrameLengthChoice(int length, double rate) {
  switch (length) {
    case 320: return rate < 20000.0 ? 480 : 320;
    case 480: return rate < 18000.0 ? 960 : (rate > 1000000.0 ? 320 : 480);
    case 960: return rate >= 27000.0 ? 480 : 960;
    default: return length;
  }
}

double Quill_QuantOffset(int length, double rate) {
  switch (length) {
    case 320: return rate * 0.0008 - 30.0;
    case 480: return rate * 0.00048 - 23.0;
    case 960: return rate * 0.00053 - 23.0;
    default: return rate;
  }
}

double Quill_TargetBits(const QuillRateState* rs, int length, double rate, double delay) {
  const double l = length;
  if (rs->startFrames >= 1 && rs->startFrames <= 5) return l * 24000.0 / 16000.0;
  if (delay * 2.0 / 3.0 > rs->bufferMs) return (delay * 16.0 / (3.0 * l) + 1.0) * rate * 1.02 * l / 16000.0;
  double r = ((delay - rs->bufferMs) * 16.0 / l + 1.0) * rate;
  if (r < rate * 0.8) r = rate * 0.8;
  return r * 1.02 * l / 16000.0;
}

int Quill_PaddingMinimum(QuillRateState* rs, int length, double rate, double delay, int bytes) {
  const double l = length;
  double m = 0.0;
  if (rs->startFrames > 0) {
    const int old = rs->startFrames--;
    m = old <= 5 ? 24000.0 : 0.0;
  } else if (rs->minRateFrames > 0) {
    if (delay * 2.0 / 3.0 > rs->bufferMs) {
      m = (delay * 16.0 / (3.0 * l) + 1.0) * rate;
    } else {
      m = ((delay - rs->bufferMs) * 16.0 / l + 1.0) * rate;
      if (m < rate * 1.04) m = rate * 1.04;
    }
    rs->minRateFrames--;
  }
  int minimum = static_cast<int>(l * m / 128000.0);
  // The padding count is one byte, and the packet must fit the peer's 600-byte buffer.
  if (minimum > bytes + 255) minimum = bytes + 255;
  if (minimum > kQuillMaxPayloadBytes) minimum = kQuillMaxPayloadBytes;
  const int sentBytes = bytes > minimum ? bytes : minimum;
  const double sentRate = sentBytes * 128000.0 / l;
  const int frameMs = length * 1000 / 16000;
  if (rate * 1.01 >= sentRate) {
    rs->overFlag = 0;
    rs->withinMs += frameMs;
  } else if (rs->overFlag) {
    rs->withinMs -= 250;
    if (rs->withinMs < 0) rs->withinMs = 0;
  } else {
    rs->overFlag = 1;
    rs->withinMs += frameMs;
  }
  if (rs->withinMs > 500 && rs->minRateFrames == 0) rs->minRateFrames = rs->overFlag ? 2 : 3;
  rs->bufferMs += sentBytes * 8000.0 / rate - frameMs;
  if (rs->bufferMs < 0.0) rs->bufferMs = 0.0;
  return minimum;
}

// ---- One 30-ms half ---------------------------------------------------------------------------

int Quill_EncodeHalf(QuillInstance* inst, const float* samples, double budget) {
  QuillEncoderSide& enc = inst->enc;
  QuillStream* s = &enc.stream;
  float lo[kQuillBand], hi[kQuillBand];
  double aheadLo[kQuillBand], aheadHi[kQuillBand];
  Quill_AnalysisBank(&enc.bank, samples, lo, hi, aheadLo, aheadHi);

  double analysed[kQuillBand + kQuillDelay], lags[4], gains[4];
  Quill_PitchAnalysis(aheadLo, analysed, &enc.pitch, lags, gains);
  int16_t gq[4];
  for (int j = 0; j < 4; ++j) gq[j] = static_cast<int16_t>(gains[j] * 4096.0);
  Quill_EncodePitchGains(s, gq);
  Quill_EncodePitchLags(lags, gq, s);

  QuillLoRecords loRec;
  QuillHiRecords hiRec;
  Quill_LpcAnalysis(analysed, aheadHi, &enc.lpc, inst->quantOffset, gq, loRec, hiRec);
  int cls = 0;
  double modelBits = 0.0;
  Quill_EncodeLpcModel(loRec, hiRec, &cls, &modelBits, s);
  const double shapeBits = s->bitCheckpoints[s->checkpointCount - 1];

  float savedLo[kQuillOrderLo + 1], savedHi[kQuillOrderHi + 1];
  std::memcpy(savedLo, enc.latticeLo, sizeof(savedLo));
  std::memcpy(savedHi, enc.latticeHi, sizeof(savedHi));
  const QuillPitchFilterState savedPre = enc.preFilter;
  double gainLo[kQuillSubBlocks], gainHi[kQuillSubBlocks];
  for (int sb = 0; sb < kQuillSubBlocks; ++sb) {
    gainLo[sb] = loRec[sb][0];
    gainHi[sb] = hiRec[sb][0];
  }
  double pg[4];
  for (int j = 0; j < 4; ++j) pg[j] = gq[j] / 4096.0;
  const int meanGain = (gq[0] + gq[1] + gq[2] + gq[3]) >> 2;

  int16_t p[kQuillBand], q[kQuillBand];
  for (int pass = 0;; ++pass) {
    if (pass > 0) {
      std::memcpy(enc.latticeLo, savedLo, sizeof(savedLo));
      std::memcpy(enc.latticeHi, savedHi, sizeof(savedHi));
      enc.preFilter = savedPre;
    }
    QuillLoRecords lo2;
    QuillHiRecords hi2;
    std::memcpy(lo2, loRec, sizeof(lo2));
    std::memcpy(hi2, hiRec, sizeof(hi2));
    for (int sb = 0; sb < kQuillSubBlocks; ++sb) {
      lo2[sb][0] = gainLo[sb];
      hi2[sb][0] = gainHi[sb];
    }
    const double gainBits = Quill_QuantiseLpcGains(lo2, hi2, cls);
    double resLo[kQuillBand], resHi[kQuillBand], pre[kQuillBand];
    Quill_AnalysisLattice(&lo2[0][0], kQuillOrderLo, enc.latticeLo, lo, resLo);
    Quill_AnalysisLattice(&hi2[0][0], kQuillOrderHi, enc.latticeHi, hi, resHi);
    Quill_PitchFilter(&enc.preFilter, resLo, pre, lags, pg, false);
    Quill_ForwardTransform(&enc.fft, pre, resHi, p, q);
    const double estimate = shapeBits + 0.25 * Quill_SpectrumBitEstimate(p, q, s, meanGain) + gainBits;
    if (estimate < budget || pass == 5) break;
    const double factor = 0.97 * std::pow(0.25, (estimate - budget) / 2880.0);
    for (int sb = 0; sb < kQuillSubBlocks; ++sb) {
      gainLo[sb] *= factor;
      gainHi[sb] *= factor;
    }
  }
  for (int sb = 0; sb < kQuillSubBlocks; ++sb) {
    loRec[sb][0] = gainLo[sb];
    hiRec[sb][0] = gainHi[sb];
  }
  Quill_EncodeLpcGains(loRec, hiRec, cls, s);
  Quill_EncodeSpectrum(s, p, q, meanGain);
  return s->overflow ? -QUILL_ERR_SPECTRUM_FIELD : 0;
}

int Quill_DecodeHalf(QuillDecoderSide* dec, float* out) {
  QuillStream* s = &dec->stream;
  int16_t gq[4];
  int r = Quill_DecodePitchGains(s, gq);
  if (r < 0) return r;
  double lags[4];
  r = Quill_DecodePitchLags(s, gq, lags);
  if (r < 0) return r;
  QuillLoRecords loRec;
  QuillHiRecords hiRec;
  r = Quill_DecodeLpc(s, loRec, hiRec);
  if (r < 0) return r;
  const int meanGain = (gq[0] + gq[1] + gq[2] + gq[3]) >> 2;
  double x[kQuillBand], y[kQuillBand];
  r = Quill_DecodeSpectrum(s, meanGain, x, y);
  if (r < 0) return r;

  double lo[kQuillBand], hi[kQuillBand], post[kQuillBand];
  Quill_InverseTransform(&dec->fft, x, y, lo, hi);
  double pg[4];
  for (int j = 0; j < 4; ++j) pg[j] = gq[j] / 4096.0;
  Quill_PitchFilter(&dec->postFilter, lo, post, lags, pg, true);
  const double scale = 1.0 - 0.45 * ((gq[0] + gq[1] + gq[2] + gq[3]) / 4.0 / 4096.0);
  for (double& v : post) v *= scale;
  float loOut[kQuillBand], hiOut[kQuillBand];
  Quill_SynthesisLattice(&loRec[0][0], kQuillOrderLo, dec->latticeLo, post, loOut);
  Quill_SynthesisLattice(&hiRec[0][0], kQuillOrderHi, dec->latticeHi, hi, hiOut);
  Quill_SynthesisBank(&dec->bank, loOut, hiOut, out);
  if (!finite(out, kQuillHalf) || !finite(dec->latticeLo, kQuillOrderLo + 1) ||
      !finite(dec->latticeHi, kQuillOrderHi + 1)) {
    clearDecoder(dec);
    std::memset(out, 0, kQuillHalf * sizeof(float));
  }
  for (int i = 0; i < kQuillHalf; ++i) {
    if (out[i] >= 32767.0f) out[i] = 32767.0f;
    if (out[i] < -32768.0f) out[i] = -32768.0f;
  }
  return r;
}

// ---- Entry points ---------------------------------------------------------------------------

int16_t Quill_Create(QuillInstance** inst) {
  if (inst == nullptr) return -1;
  QuillInstance* q = new (std::nothrow) QuillInstance();
  *inst = q;
  if (q == nullptr) return -1;
  q->errorCode = 0;
  q->flags = 0;
  // The arrival routine may run before any encoder init: start the estimator now.
  Quill_RateEstInit(&q->rateEstimator);
  return 0;
}

int16_t Quill_Free(QuillInstance* inst) {
  delete inst;
  return 0;
}

int16_t Quill_EncoderInit(QuillInstance* inst, int16_t mode) {
  if (inst == nullptr) return -1;
  inst->flags |= kFlagEncoder;
  int16_t result = 0;
  if (mode == 0) {
    inst->nextFrameLength = 960;
  } else if (mode == 1) {
    inst->nextFrameLength = 480;
  } else {
    inst->errorCode = QUILL_ERR_BAD_MODE;
    result = -1;
  }
  inst->mode = mode;
  QuillEncoderSide& enc = inst->enc;
  Quill_StreamReset(&enc.stream);
  Quill_LpcStateInit(&enc.lpc);
  std::memset(enc.latticeLo, 0, sizeof(enc.latticeLo));
  std::memset(enc.latticeHi, 0, sizeof(enc.latticeHi));
  std::memset(&enc.bank, 0, sizeof(enc.bank));
  std::memset(&enc.preFilter, 0, sizeof(enc.preFilter));
  Quill_PitchStateInit(&enc.pitch);
  fft_reset(&enc.fft);
  Quill_RateEstInit(&inst->rateEstimator);
  inst->rateState = QuillRateState{0, 0, 0, 15, 1.0};
  inst->samplesInFrame = 0;
  inst->secondHalf = 0;
  inst->quantOffset = 0.0;
  inst->targetBits = 0.0;
  inst->frameLength = 0;
  inst->rate = 32000.0;
  inst->maxDelay = 10.0;
  return result;
}

int16_t Quill_Encode(QuillInstance* inst, const int16_t* speech, uint16_t* packet) {
  if (inst == nullptr) return -1;
  if (!(inst->flags & kFlagEncoder)) return fail(inst, QUILL_ERR_ENCODER_NOT_INIT);
  // An encoder whose last init named an unknown mode stays refused until a good init.
  if (inst->mode != 0 && inst->mode != 1) return fail(inst, QUILL_ERR_BAD_MODE);
  if (inst->samplesInFrame == 0) inst->frameLength = inst->nextFrameLength;
  const int halves = inst->frameLength / 960;

  float* dst = inst->frame + inst->samplesInFrame;
  for (int i = 0; i < kQuillBlockSamples; ++i) dst[i] = speech[i];
  dst[0] += 0.0012345533f;
  dst[1] += -0.0020432423f;
  dst[2] += 0.0019085496f;
  dst[9] += 0.0018485488f;
  inst->samplesInFrame += kQuillBlockSamples;
  if (inst->samplesInFrame < kQuillHalf) return 0;
  inst->samplesInFrame = 0;

  QuillStream* s = &inst->enc.stream;
  if (halves == 0 || inst->secondHalf == 0) {
    Quill_StreamReset(s);
    if (inst->mode == 0) {
      inst->rate = Quill_RateEstOutRate(&inst->rateEstimator);
      inst->maxDelay = Quill_RateEstOutDelay(&inst->rateEstimator);
      if (halves == 0) inst->nextFrameLength = static_cast<int16_t>(Quill_FrameLengthChoice(inst->frameLength, inst->rate));
    }
    inst->quantOffset = Quill_QuantOffset(inst->frameLength, inst->rate);
    const int r = Quill_EncodeFrameLength(s, inst->frameLength);
    if (r < 0) return fail(inst, r);
    Quill_EncodeBandwidth(s, Quill_RateEstReportIndex(&inst->rateEstimator));
    inst->targetBits = Quill_TargetBits(&inst->rateState, inst->frameLength, inst->rate, inst->maxDelay);
  }
  const double budget = (halves == 1 && inst->secondHalf == 0) ? inst->targetBits * 0.55 : inst->targetBits;
  const int r = Quill_EncodeHalf(inst, inst->frame, budget);
  if (r < 0) {
    inst->secondHalf = 0;
    return fail(inst, r);
  }
  if (halves == 1) {
    if (inst->secondHalf == 0) {
      inst->secondHalf = 1;
      return 0;
    }
    inst->secondHalf = 0;
    if (inst->mode == 0)
      inst->nextFrameLength = static_cast<int16_t>(Quill_FrameLengthChoice(inst->frameLength, inst->rate));
  }
  int bytes = Quill_EncodeTerminate(s);
  if (s->overflow || bytes > kQuillMaxPayloadBytes) return fail(inst, QUILL_ERR_SPECTRUM_FIELD);
  if (inst->mode == 0) {
    const int minimum =
        Quill_PaddingMinimum(&inst->rateState, inst->frameLength, inst->rate, inst->maxDelay, bytes);
    if (bytes < minimum) {
      for (int i = bytes; i < minimum; ++i) s->buffer[i] = padByte();
      s->buffer[bytes] = static_cast<uint8_t>(minimum - bytes);
      bytes = minimum;
    }
  } else {
    inst->rateState.startFrames = 0;
    inst->rateState.bufferMs += bytes * 8000.0 / inst->rate - inst->frameLength * 1000 / 16000;
    if (inst->rateState.bufferMs < 0.0) inst->rateState.bufferMs = 0.0;
  }
  for (int i = 0; i < (bytes + 1) / 2; ++i) {
    const uint16_t lo = s->buffer[2 * i];
    const uint16_t hi = 2 * i + 1 < bytes ? s->buffer[2 * i + 1] : 0;
    packet[i] = static_cast<uint16_t>(lo | (hi << 8));
  }
  return static_cast<int16_t>(bytes);
}

int16_t Quill_DecoderInit(QuillInstance* inst) {
  if (inst == nullptr) return -1;
  inst->flags |= kFlagDecoder;
  clearDecoder(&inst->dec);
  return 0;
}

namespace {

int16_t decodeBytes(QuillInstance* inst, const uint8_t* payload, int length, int16_t* out, int16_t* speechType) {
  if (!(inst->flags & kFlagDecoder)) return fail(inst, QUILL_ERR_DECODER_NOT_INIT);
  if (length <= 0) return fail(inst, QUILL_ERR_EMPTY_PAYLOAD);
  // Longer than the stream buffer: refused before anything is copied.
  if (length > kQuillMaxPayloadBytes) return fail(inst, QUILL_ERR_PAYLOAD_LENGTH);
  QuillDecoderSide& dec = inst->dec;
  QuillStream* s = &dec.stream;
  std::memcpy(s->buffer, payload, static_cast<size_t>(length));
  std::memset(s->buffer + length, 0, sizeof(s->buffer) - static_cast<size_t>(length));
  if (speechType != nullptr) *speechType = 1;
  Quill_StreamReset(s);

  int frameLength = 0;
  int r = Quill_DecodeFrameLength(s, &frameLength);
  if (r < 0) return fail(inst, r);
  // 320-sample frames are never produced by this encoder and cannot be built from 30-ms halves.
  if (frameLength == 320) return fail(inst, QUILL_ERR_FRAME_LENGTH_SYMBOL);
  int bw = 0;
  r = Quill_DecodeBandwidth(s, &bw);
  float samples[kQuillMaxFrameSamples];
  const int halves = frameLength / kQuillHalf;
  if (r >= 0) {
    for (int h = 0; h < halves && r >= 0; ++h) r = Quill_DecodeHalf(&dec, samples + h * kQuillHalf);
  }
  if (r < 0) {
    std::memset(out, 0, static_cast<size_t>(frameLength) * sizeof(int16_t));
    return fail(inst, r);
  }
  const bool exact = length == r;
  const bool padded = r < kQuillMaxPayloadBytes && s->buffer[r] != 0 && length == r + s->buffer[r];
  if (!exact && !padded) {
    std::memset(out, 0, static_cast<size_t>(frameLength) * sizeof(int16_t));
    return fail(inst, QUILL_ERR_PAYLOAD_LENGTH);
  }
  for (int i = 0; i < frameLength; ++i) {
    const float v = samples[i];
    out[i] = static_cast<int16_t>(std::isfinite(v) ? std::lrint(v) : 0);
  }
  return static_cast<int16_t>(frameLength);
}

int16_t arrivalBytes(QuillInstance* inst, const uint8_t* payload, int length, uint16_t sequence,
                     uint32_t arrival) {
  if (!(inst->flags & kFlagDecoder)) return fail(inst, QUILL_ERR_DECODER_NOT_INIT);
  if (length <= 0) return fail(inst, QUILL_ERR_EMPTY_PAYLOAD);
  QuillStream head;
  std::memset(head.buffer, 0, sizeof(head.buffer));
  std::memcpy(head.buffer, payload, static_cast<size_t>(length < 10 ? length : 10));
  Quill_StreamReset(&head);
  const int r = Quill_RateEstArrival(&inst->rateEstimator, &head, length, sequence, arrival);
  if (r < 0) return fail(inst, r);
  return 0;
}

// Byte k of a payload held as words: the low 8 bits of word k / 2 for even k, the high for odd.
void unpackWords(const uint16_t* words, int bytes, uint8_t* out) {
  for (int k = 0; k < bytes; ++k) out[k] = static_cast<uint8_t>((k & 1) ? (words[k / 2] >> 8) : (words[k / 2] & 0xFF));
}

}  // namespace

int16_t Quill_PacketArrived(QuillInstance* inst, const uint16_t* payload, int32_t lengthBytes, uint16_t sequence,
                            uint32_t arrivalTime) {
  if (inst == nullptr) return -1;
  uint8_t head[10] = {};
  if (lengthBytes > 0 && payload != nullptr) unpackWords(payload, lengthBytes < 10 ? lengthBytes : 10, head);
  return arrivalBytes(inst, head, lengthBytes, sequence, arrivalTime);
}

int16_t Quill_Decode(QuillInstance* inst, const uint16_t* payload, int16_t lengthBytes, int16_t* out,
                     int16_t* speechType) {
  if (inst == nullptr) return -1;
  uint8_t bytes[kQuillMaxPayloadBytes];
  if (lengthBytes > 0 && lengthBytes <= kQuillMaxPayloadBytes && payload != nullptr)
    unpackWords(payload, lengthBytes, bytes);
  return decodeBytes(inst, bytes, lengthBytes, out, speechType);
}

int16_t Quill_DecodedSamples(QuillInstance* inst, int16_t* out, int16_t frames) {
  (void)inst;
  (void)out;
  return static_cast<int16_t>(480 * frames);
}

int16_t Quill_Version(char* text) {
  std::memcpy(text, "2.2.0", 6);
  return 0;
}

int16_t Quill_GetErrorCode(const QuillInstance* inst) { return inst == nullptr ? 0 : inst->errorCode; }

int QuillOps_Decode(void* decoder, const uint8_t* payload, int length, int16_t* out, int capacity,
                    int16_t* speechType) {
  auto* inst = static_cast<QuillInstance*>(decoder);
  if (inst == nullptr) return -1;
  if (length > kQuillMaxPayloadBytes) return fail(inst, QUILL_ERR_PAYLOAD_LENGTH);
  int16_t samples[kQuillMaxFrameSamples];
  const int n = decodeBytes(inst, payload, length, samples, speechType);
  if (n < 0) {
    // The zeroed frame is still the frame's length of silence.
    return -1;
  }
  if (n > capacity) return -1;
  std::memcpy(out, samples, static_cast<size_t>(n) * sizeof(int16_t));
  return n;
}

int QuillOps_Conceal(void* decoder, int16_t* out, int capacity) {
  // One frame of silence when it fits: the caller is never told of samples its buffer cannot hold.
  const int n = Quill_DecodedSamples(static_cast<QuillInstance*>(decoder), out, 1);
  if (decoder == nullptr || out == nullptr || n > capacity) return -1;
  std::memset(out, 0, static_cast<size_t>(n) * sizeof(int16_t));
  return n;
}

int QuillOps_Init(void* decoder) { return Quill_DecoderInit(static_cast<QuillInstance*>(decoder)); }

int QuillOps_Arrival(void* decoder, const uint8_t* payload, int length, uint16_t sequence, uint32_t arrival) {
  auto* inst = static_cast<QuillInstance*>(decoder);
  if (inst == nullptr) return -1;
  if (length > 0 && payload == nullptr) return -1;
  return arrivalBytes(inst, payload, length, sequence, arrival);
}
