// Quill bandwidth estimator: receive bottleneck and jitter, the index reported back, the send figures.
#include <cmath>
#include <cstdlib>

#include "voice/dsp/quill/quill_internal.h"

namespace {

int clampInt(double v, int lo, int hi) {
  if (!(v == v)) return lo;  // NaN
  if (v < lo) return lo;
  if (v > hi) return hi;
  return static_cast<int>(v);  // truncation toward zero (v is within lo..hi here)
}

// Signed distance a - b of two 32-bit clock values that may wrap.
double clockDiff(uint32_t a, uint32_t b) { return static_cast<double>(static_cast<int32_t>(a - b)); }

}  // namespace

int Quill_RateEstInit(QuillRateEstimator* e) {
  e->lastFrameMs = 60;
  e->lastSeqNo = 0;
  e->lastArrival = 0;
  e->lastPacketRate = 1.0f;
  e->lastMeasureTime = 0;
  e->decayFrom = 0;
  e->measureCount = -9;
  e->inBandwidth = 22000;
  e->inSecondsPerBit = 3.75e-5f;
  e->inRateAvg = 26666.67f;
  e->reportedLevelAvg = 22000.0f;
  e->inJitter = 10.0f;
  e->inExcessAvg = 0.0f;
  e->inExcessAbsAvg = 5.0f;
  e->inMaxDelay = 10.0f;
  e->reportedDelayAvg = 10.0f;
  e->headerRate = 4666.67f;
  e->outRateAvg = 22000.0f;
  e->outDelayAvg = 10.0f;
  return 0;
}

int Quill_RateEstUpdate(QuillRateEstimator* e, int seq, int frameMs, uint32_t arrival, int payloadBytes,
                        int index) {
  if (index < 0 || index > 23) return -QUILL_ERR_BANDWIDTH_INDEX;
  if (frameMs <= 0) frameMs = 30;  // the frame-length field allows 20, 30 and 60 ms only
  int x = index;
  if (x >= 12) {
    e->outDelayAvg = 0.9f * e->outDelayAvg + 2.5f;
    x -= 12;
  } else {
    e->outDelayAvg = 0.9f * e->outDelayAvg + 0.5f;
  }
  e->outRateAvg = 0.9f * e->outRateAvg + 0.1f * kQuillRateLevel[x];

  const double packetRate = payloadBytes * 8000.0 / frameMs + e->headerRate;
  const float r = static_cast<float>(packetRate);

  if (arrival < e->lastArrival) {
    // Late or reordered: restart the time stamps only.
    e->lastArrival = arrival;
    e->lastMeasureTime = arrival;
    e->decayFrom = arrival + 48000u;
    e->lastFrameMs = frameMs;
    e->lastPacketRate = r;
    e->lastSeqNo = seq & 0xFFFF;
    return 0;
  }

  if (e->measureCount < 1) {
    e->lastMeasureTime = arrival;
    e->decayFrom = arrival + 48000u;
    e->measureCount += 1;
  } else {
    if ((arrival - e->lastMeasureTime) / 16u > 3000u) {
      // Long silence slowly lowers the estimate.
      double ms = clockDiff(arrival, e->decayFrom) / 16.0;
      if (ms < 0.0) ms = 0.0;
      e->inSecondsPerBit = static_cast<float>(e->inSecondsPerBit / std::pow(0.99995, ms));
      e->decayFrom = arrival;
    }
    if (frameMs != e->lastFrameMs) {
      e->headerRate = static_cast<float>(280000.0 / frameMs);
      e->measureCount = 10;
    }
    if (seq == e->lastSeqNo + 1 && e->lastPacketRate > e->inRateAvg && r > e->inRateAvg) {
      const int oldCount = e->measureCount;
      e->measureCount += 1;
      const double w = oldCount <= 99 ? 1.0 / e->measureCount : 0.01;
      double t = static_cast<double>(arrival - e->lastArrival);
      const double tMax = frameMs * 16.0 + 400.0;
      if (t > tMax) t = tMax;
      e->decayFrom = arrival + 48000u;
      e->lastMeasureTime = arrival;
      e->inSecondsPerBit =
          static_cast<float>(w * t / ((payloadBytes + 35.0) * 128000.0) + (1.0 - w) * e->inSecondsPerBit);
      const double d = t / 16.0 - (payloadBytes + 35.0) * 8000.0 / e->inRateAvg;
      double jitter = (1.0 - w) * e->inJitter + w * std::fabs(d);
      if (jitter > 10.0) jitter = 10.0;
      e->inJitter = static_cast<float>(jitter);
      e->inExcessAbsAvg = static_cast<float>(0.95 * e->inExcessAbsAvg + 0.05 * std::fabs(d));
      e->inExcessAvg = static_cast<float>(0.95 * e->inExcessAvg + 0.05 * d);
    }
  }

  const float limit = static_cast<float>(1.0 / (e->headerRate + 10000.0));
  if (e->inSecondsPerBit > limit) e->inSecondsPerBit = limit;
  e->lastFrameMs = frameMs;
  e->lastPacketRate = r;
  e->lastSeqNo = seq & 0xFFFF;
  if (e->lastArrival != 0xFFFFFFFFu) e->inMaxDelay = 3.0f * e->inJitter;
  e->lastArrival = arrival;
  const double bw = 1.0 / e->inSecondsPerBit - e->headerRate;
  e->inBandwidth = bw > 2.0e9 ? 2000000000 : static_cast<int32_t>(bw);
  return 0;
}

int Quill_RateEstArrival(QuillRateEstimator* e, QuillStream* firstBytes, int payloadBytes, uint16_t seq,
                         uint32_t arrival) {
  int frameLength = 0;
  int r = Quill_DecodeFrameLength(firstBytes, &frameLength);
  if (r < 0) return r;
  int index = 0;
  r = Quill_DecodeBandwidth(firstBytes, &index);
  if (r < 0) return r;
  return Quill_RateEstUpdate(e, seq, frameLength * 1000 / 16000, arrival, payloadBytes, index);
}

int Quill_RateEstInRate(const QuillRateEstimator* e) {
  // The ratio of the signed to the absolute excess delay; both 0 means no excess at all.
  const double j = e->inExcessAbsAvg > 0.0f ? e->inExcessAvg / e->inExcessAbsAvg : 0.0;
  const double v = (1.0 - (0.15 * j * j + 0.15) * j) * e->inBandwidth;
  return clampInt(std::trunc(v), 10000, 32000);
}

int Quill_RateEstInDelay(const QuillRateEstimator* e) { return clampInt(std::trunc(e->inMaxDelay), 5, 25); }
int Quill_RateEstOutRate(const QuillRateEstimator* e) { return clampInt(std::trunc(e->outRateAvg), 10000, 32000); }
int Quill_RateEstOutDelay(const QuillRateEstimator* e) { return clampInt(std::trunc(e->outDelayAvg), 5, 25); }

int Quill_RateEstReportIndex(QuillRateEstimator* e) {
  const float r = static_cast<float>(Quill_RateEstInRate(e));
  e->inRateAvg = 0.1f * (r + e->headerRate) + 0.9f * e->inRateAvg;
  int i = 1;
  while (i < 11 && r > kQuillRateLevel[i]) ++i;
  const float lev = 0.9f * e->reportedLevelAvg;
  if ((r - lev - 0.1f * kQuillRateLevel[i - 1]) < (0.1f * kQuillRateLevel[i] + lev - r)) --i;
  e->reportedLevelAvg = lev + 0.1f * kQuillRateLevel[i];
  const float d = static_cast<float>(Quill_RateEstInDelay(e));
  const float m = 0.9f * e->reportedDelayAvg;
  if ((d - m - 0.5f) < (m + 2.5f - d)) {
    e->reportedDelayAvg = m + 0.5f;
    return i;
  }
  e->reportedDelayAvg = m + 2.5f;
  return i + 12;
}
