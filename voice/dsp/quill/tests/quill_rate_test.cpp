// Tests of Quill's bandwidth estimator: reported index, send figures, and arrival sequences.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "voice/dsp/quill/quill_internal.h"

namespace {

QuillRateEstimator fresh() {
  QuillRateEstimator e;
  std::memset(&e, 0xA5, sizeof(e));
  Quill_RateEstInit(&e);
  return e;
}

TEST(QuillRate, WithNoPacketsTheFirstIndexComesFromTheInitialEstimate) {
  QuillRateEstimator e = fresh();
  EXPECT_EQ(Quill_RateEstInRate(&e), 22000);
  EXPECT_EQ(Quill_RateEstInDelay(&e), 10);
  // 22000 lies between levels 7 and 8; the average of earlier reports (22000) pulls it to 7, and the
  // delay of 10 ms is reported as low delay.
  EXPECT_EQ(Quill_RateEstReportIndex(&e), 7);
  EXPECT_NEAR(e.reportedLevelAvg, 0.9f * 22000.0f + 0.1f * 20963.3f, 0.01);
  EXPECT_NEAR(e.reportedDelayAvg, 9.5f, 1e-6);
  EXPECT_EQ(Quill_RateEstOutRate(&e), 22000);
  EXPECT_EQ(Quill_RateEstOutDelay(&e), 10);
}

TEST(QuillRate, ReportsFollowTheReceiveEstimateWithHysteresis) {
  QuillRateEstimator e = fresh();
  e.inBandwidth = 32000;
  int index = 0;
  for (int i = 0; i < 60; ++i) index = Quill_RateEstReportIndex(&e);
  EXPECT_EQ(index, 11);
  e.inBandwidth = 10000;
  for (int i = 0; i < 60; ++i) index = Quill_RateEstReportIndex(&e);
  EXPECT_EQ(index, 0);
  // A large jitter reports high delay (the index moves up by 12).
  e.inMaxDelay = 24.0f;
  for (int i = 0; i < 60; ++i) index = Quill_RateEstReportIndex(&e);
  EXPECT_EQ(index, 12);
}

TEST(QuillRate, PeerReportsSetTheSendRateAndDelayWithinLimits) {
  QuillRateEstimator e = fresh();
  uint32_t t = 0;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(Quill_RateEstUpdate(&e, i, 30, t += 480, 60, 11 + 12), 0);
  EXPECT_GE(Quill_RateEstOutRate(&e), 31990);  // the average approaches 32000
  EXPECT_GE(Quill_RateEstOutDelay(&e), 24);
  for (int i = 100; i < 300; ++i) ASSERT_EQ(Quill_RateEstUpdate(&e, i, 30, t += 480, 60, 0), 0);
  EXPECT_EQ(Quill_RateEstOutRate(&e), 10000);
  EXPECT_EQ(Quill_RateEstOutDelay(&e), 5);
}

TEST(QuillRate, AnIndexAbove23ChangesNothing) {
  QuillRateEstimator e = fresh();
  const QuillRateEstimator before = e;
  EXPECT_EQ(Quill_RateEstUpdate(&e, 1, 30, 480, 60, 24), -QUILL_ERR_BANDWIDTH_INDEX);
  EXPECT_EQ(std::memcmp(&before, &e, sizeof(e)), 0);
}

// Packets of `bytes` every frame, arriving `spacing` units apart (a bottleneck), consecutive numbers.
void stream(QuillRateEstimator& e, int count, int bytes, uint32_t spacing, uint32_t& t, int& seq) {
  for (int i = 0; i < count; ++i) {
    Quill_RateEstUpdate(&e, seq & 0xFFFF, 30, t += spacing, bytes, 7);
    ++seq;
  }
}

TEST(QuillRate, ConvergesToTheBottleneckOfTheArrivals) {
  QuillRateEstimator e = fresh();
  uint32_t t = 1000;
  int seq = 0;
  // 120-byte packets (plus 35 bytes of headers) spaced for a 28000-bit/s bottleneck.
  const double bottleneck = 28000.0;
  const uint32_t spacing = static_cast<uint32_t>(std::lround(155 * 8 / bottleneck * 16000));
  stream(e, 300, 120, spacing, t, seq);
  EXPECT_NEAR(1.0 / e.inSecondsPerBit, bottleneck, bottleneck * 0.02);
  // The header rate keeps its start value (35 bytes per 60 ms) until the frame duration changes.
  EXPECT_NEAR(e.inBandwidth, 1.0 / e.inSecondsPerBit - e.headerRate, 1.0);
  EXPECT_GE(Quill_RateEstInRate(&e), 10000);
  EXPECT_LE(Quill_RateEstInRate(&e), 32000);
}

TEST(QuillRate, TheFirstTenArrivalsOnlyStampTimes) {
  QuillRateEstimator e = fresh();
  uint32_t t = 1000;
  int seq = 0;
  stream(e, 10, 120, 700, t, seq);
  EXPECT_EQ(e.measureCount, 1);
  EXPECT_FLOAT_EQ(e.inSecondsPerBit, 3.75e-5f);
  stream(e, 1, 120, 700, t, seq);
  EXPECT_NE(e.inSecondsPerBit, 3.75e-5f);
}

TEST(QuillRate, AnEarlierArrivalOnlyResetsTheTimeStamps) {
  QuillRateEstimator e = fresh();
  uint32_t t = 100000;
  int seq = 0;
  stream(e, 40, 120, 700, t, seq);
  const QuillRateEstimator before = e;
  ASSERT_EQ(Quill_RateEstUpdate(&e, seq, 30, t - 5000, 120, 7), 0);
  EXPECT_EQ(e.lastArrival, t - 5000);
  EXPECT_EQ(e.lastMeasureTime, t - 5000);
  EXPECT_EQ(e.decayFrom, t - 5000 + 48000);
  EXPECT_EQ(e.measureCount, before.measureCount);
  EXPECT_EQ(e.inSecondsPerBit, before.inSecondsPerBit);
  EXPECT_EQ(e.inBandwidth, before.inBandwidth);
}

TEST(QuillRate, ALongSilenceLowersTheEstimateSlowlyAndNeverBelowTheFloor) {
  QuillRateEstimator e = fresh();
  uint32_t t = 1000;
  int seq = 0;
  stream(e, 100, 120, 700, t, seq);
  const float before = e.inSecondsPerBit;
  // 4 s later, not consecutive: only the decay applies, counted from 3 s after the last measurement.
  ASSERT_EQ(Quill_RateEstUpdate(&e, seq + 5, 30, t + 64000, 120, 7), 0);
  EXPECT_NEAR(e.inSecondsPerBit / before, 1.0 / std::pow(0.99995, 1000.0), 1e-4);
  // A minute more: held at 10000 bit/s plus headers.
  ASSERT_EQ(Quill_RateEstUpdate(&e, seq + 9, 30, t + 64000 + 960000, 120, 7), 0);
  EXPECT_NEAR(e.inBandwidth, 10000, 1);
}

TEST(QuillRate, SequenceWrapBreaksOneMeasurement) {
  QuillRateEstimator e = fresh();
  uint32_t t = 1000;
  int seq = 65500;
  stream(e, 36, 120, 700, t, seq);  // up to 65535
  const int count = e.measureCount;
  ASSERT_EQ(Quill_RateEstUpdate(&e, 0, 30, t += 700, 120, 7), 0);
  EXPECT_EQ(e.measureCount, count);
  ASSERT_EQ(Quill_RateEstUpdate(&e, 1, 30, t += 700, 120, 7), 0);
  EXPECT_EQ(e.measureCount, count + 1);
}

TEST(QuillRate, ArrivalReadsTheHeaderFieldsOfAPacket) {
  QuillStream s;
  Quill_StreamReset(&s);
  ASSERT_EQ(Quill_EncodeFrameLength(&s, 960), 0);
  Quill_EncodeBandwidth(&s, 23);
  Quill_EncodeTerminate(&s);
  QuillStream head;
  Quill_StreamReset(&head);
  std::memset(head.buffer, 0, sizeof(head.buffer));
  std::memcpy(head.buffer, s.buffer, 10);
  QuillRateEstimator e = fresh();
  ASSERT_EQ(Quill_RateEstArrival(&e, &head, 100, 1, 1000), 0);
  EXPECT_EQ(e.lastFrameMs, 60);
  EXPECT_NEAR(e.outDelayAvg, 11.5f, 1e-5);                 // high delay reported
  EXPECT_NEAR(e.outRateAvg, 0.9f * 22000 + 3200.0f, 0.01);  // level 11
}

}  // namespace
