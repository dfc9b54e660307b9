// Tests of Tidepool's signal operations: expansion, its analysis and fades, time stretching, tones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "voice/tests/tidepool_fixture.h"

namespace {

using namespace tidepool;

class Signal : public ::testing::Test {
 protected:
  void Make(int rate) {
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_create(&inst), 0);
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_Init(inst, rate), 0);
  }
  void TearDown() override { TIDEPOOL_SONRA_10MS16B_free(inst); }

  // Fills the history with a periodic pulse train of the given period, softened by a short filter.
  void Periodic(int period, int amplitude = 12000) {
    PlayoutState& p = inst->playout;
    const int H = 320 << p.shift;
    for (int i = 0; i < H; ++i) {
      const int phase = i % period;
      double v = 0;
      for (int j = -3; j <= 3; ++j)
        if (phase == (j + period) % period) v += (4 - std::abs(j)) / 4.0;
      v += 0.3 * std::sin(2 * M_PI * i / period);
      p.history[i] = static_cast<int16_t>(amplitude * v / 1.5);
    }
    p.outputStarted = 1;
  }

  int Expand(int count, int16_t* out) {
    PlayoutState& p = inst->playout;
    const int n = 160 << p.shift;
    const int H = 320 << p.shift;
    p.concealCount = count;
    return Tidepool_Expand(inst, p.history + H - n, n, count, &p.mute, p.history, 1, out);
  }

  TidepoolInst* inst = nullptr;
};

TEST_F(Signal, ExpansionBeforeTheFirstPacketIsShortSilence) {
  for (int rate : {8000, 16000}) {
    if (inst) TIDEPOOL_SONRA_10MS16B_free(inst);
    Make(rate);
    int16_t out[kOutMax];
    for (auto& v : out) v = 77;
    const int n = Expand(0, out);
    EXPECT_EQ(n, 40 << inst->playout.shift) << rate;
    for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], 0) << rate;
    EXPECT_EQ(inst->playout.mute, 0) << rate;
  }
}

TEST_F(Signal, SilentHistoryGivesTheShortestLagUnvoiced) {
  for (int rate : {8000, 16000}) {
    if (inst) TIDEPOOL_SONRA_10MS16B_free(inst);
    Make(rate);
    PlayoutState& p = inst->playout;
    p.outputStarted = 1;
    const int H = 320 << p.shift;
    Tidepool_ExpandAnalysis(inst, p.history + H - (160 << p.shift), 160 << p.shift, 0, p.history);
    EXPECT_EQ(p.lag, 20 << p.shift) << rate;
    EXPECT_EQ(p.voiced, 0) << rate;
  }
}

TEST_F(Signal, PeriodicHistoryGivesItsPeriod) {
  struct Case {
    int rate;
    int period;
  };
  for (const Case c : {Case{8000, 40}, Case{8000, 57}, Case{8000, 100}, Case{16000, 100}, Case{16000, 150}}) {
    if (inst) TIDEPOOL_SONRA_10MS16B_free(inst);
    Make(c.rate);
    Periodic(c.period);
    PlayoutState& p = inst->playout;
    const int H = 320 << p.shift;
    Tidepool_ExpandAnalysis(inst, p.history + H - (160 << p.shift), 160 << p.shift, 0, p.history);
    EXPECT_NEAR(p.lag, c.period, 1 << p.shift) << c.rate << " " << c.period;
    EXPECT_EQ(p.voiced, 1) << c.rate << " " << c.period;
    // The expansion repeats the last period.
    int16_t out[kOutMax];
    const int n = Expand(0, out);
    EXPECT_EQ(n, p.lag);
    for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], p.history[H - n + i]);
  }
}

TEST_F(Signal, FadeSequenceByDecoderKind) {
  // Own-concealment codecs fade from the first expansion; G.711 keeps three expansions at full level.
  const std::vector<int16_t> other = {13926, 11796, 9994, 8192, 6717, 5439, 4194, 3080, 1999, 819, 0, 0};
  const std::vector<int16_t> g711 = {16384, 16384, 16384, 13926, 11796, 9994, 8192, 6717, 5439, 4194, 3080, 1999};
  for (int kind : {kTidepoolKindOther, kTidepoolKindG711}) {
    if (inst) TIDEPOOL_SONRA_10MS16B_free(inst);
    Make(8000);
    Periodic(50);
    inst->playout.decoder.kind = static_cast<int16_t>(kind);
    const auto& expected = kind == kTidepoolKindOther ? other : g711;
    int16_t out[kOutMax];
    for (size_t k = 0; k < expected.size(); ++k) {
      const int16_t before = inst->playout.mute;
      const int n = Expand(static_cast<int>(k), out);
      EXPECT_EQ(inst->playout.mute, expected[k]) << "kind " << kind << " expansion " << k;
      // The fade ends near the new level: the last sample's gain is the target relative to before.
      if (expected[k] < before && before > 0) {
        int16_t peak = 0;
        for (int i = 0; i < n; ++i) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(out[i])));
        EXPECT_LE(peak, 12000 * before / 16384 + 50);
      }
    }
  }
}

TEST_F(Signal, VeryLongConcealmentForgetsTheSpeech) {
  Make(8000);
  Periodic(100);
  PlayoutState& p = inst->playout;
  p.lag = 100;
  p.bgScale = 1024;
  int16_t out[kOutMax];
  p.concealCount = 56;  // 56 * 100 = 5600: not yet
  Tidepool_Expand(inst, p.history + 160, 160, 56, &p.mute, p.history, 1, out);
  EXPECT_EQ(p.concealCount, 56);
  p.concealCount = 57;
  Tidepool_Expand(inst, p.history + 160, 160, 57, &p.mute, p.history, 1, out);
  EXPECT_EQ(p.concealCount, 1000);
  EXPECT_EQ(p.bgScale, 1023);
  for (int i = 0; i < 320; ++i) ASSERT_EQ(p.history[i], 0);
}

TEST(TidepoolCrossFade, FullOverlapReplacesA) {
  std::vector<int16_t> a(64, 1000);
  std::vector<int16_t> b(64, 1000);
  std::vector<int16_t> out(a);
  EXPECT_EQ(Tidepool_CrossFade(a.data(), 64, b.data(), 64, out.data(), 64), 64);
  for (int16_t v : out) EXPECT_NEAR(v, 1000, 12);
  // A falls and B rises across the overlap.
  std::vector<int16_t> zero(64, 0);
  out = a;
  Tidepool_CrossFade(a.data(), 64, zero.data(), 64, out.data(), 64);
  EXPECT_GT(out.front(), 980);
  EXPECT_LT(out.back(), 20);
}

TEST(TidepoolCrossFade, PartialOverlapKeepsBothEnds) {
  std::vector<int16_t> a(100);
  std::vector<int16_t> b(50);
  for (int i = 0; i < 100; ++i) a[static_cast<size_t>(i)] = static_cast<int16_t>(i);
  for (int i = 0; i < 50; ++i) b[static_cast<size_t>(i)] = static_cast<int16_t>(-i);
  std::vector<int16_t> out(200, 0);
  std::copy(a.begin(), a.end(), out.begin());
  EXPECT_EQ(Tidepool_CrossFade(a.data(), 100, b.data(), 50, out.data(), 20), 130);
  EXPECT_EQ(out[79], 79);
  EXPECT_EQ(out[100], -20);
  EXPECT_EQ(out[129], -49);
}

class Stretch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_create(&inst), 0);
    ASSERT_EQ(TIDEPOOL_SONRA_10MS16B_Init(inst, 8000), 0);
  }
  void TearDown() override { TIDEPOOL_SONRA_10MS16B_free(inst); }
  TidepoolInst* inst = nullptr;
};

TEST_F(Stretch, SilenceIsLeftUnchanged) {
  std::vector<int16_t> buf(kOutMax, 0);
  int len = 0;
  Tidepool_TimeStretch(inst, buf.data(), 160, buf.data() + 160, 160, 54358180, -1, 20, 1, buf.data(), &len);
  EXPECT_EQ(len, 320);
  EXPECT_EQ(inst->playout.lastOp, kOpUnchanged);
}

TEST_F(Stretch, PeriodicSignalLosesWholePeriods) {
  for (int period : {32, 40, 55}) {
    std::vector<int16_t> buf(kOutMax, 0);
    for (int i = 0; i < 320; ++i)
      buf[static_cast<size_t>(i)] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * i / period) +
                                                         3000 * std::sin(4 * M_PI * i / period + 0.5));
    const std::vector<int16_t> source(buf.begin(), buf.begin() + 320);
    int len = 0;
    Tidepool_TimeStretch(inst, buf.data(), 160, buf.data() + 160, 160, 54358180, -1, 20, 1, buf.data(), &len);
    EXPECT_EQ(inst->playout.lastOp, kOpStretched) << period;
    const int removed = 320 - len;
    EXPECT_GE(removed, period) << period;
    EXPECT_NEAR(removed % period == 0 ? 0 : std::min(removed % period, period - removed % period), 0, 1) << period;
    // What remains still continues the same wave: its last samples are the source's last ones.
    for (int i = 1; i <= 20; ++i) ASSERT_EQ(buf[static_cast<size_t>(len - i)], source[static_cast<size_t>(320 - i)]);
  }
}

TEST_F(Stretch, UncorrelatedPiecesAreLeftUnchanged) {
  std::vector<int16_t> buf(kOutMax, 0);
  uint32_t seed = 99;
  for (int i = 0; i < 320; ++i) {
    seed = seed * 1103515245u + 12345u;
    buf[static_cast<size_t>(i)] = static_cast<int16_t>(static_cast<int32_t>((seed >> 16) & 0x3fff) - 8192);
  }
  int len = 0;
  Tidepool_TimeStretch(inst, buf.data(), 160, buf.data() + 160, 160, 54358180, -1, 20, 1, buf.data(), &len);
  EXPECT_EQ(len, 320);
  EXPECT_EQ(inst->playout.lastOp, kOpUnchanged);
}

TEST(TidepoolDtmf, EndedEventGivesFiveFramesThenLeaves) {
  DtmfState d;
  Tidepool_DtmfInit(&d, 8000);
  const uint8_t event[4] = {1, 0x80 | 6, 0x03, 0x20};  // digit 1, end bit, duration 800
  ASSERT_EQ(Tidepool_DtmfAddEvent(&d, event, 4, 4000), 0);
  int16_t out[320];
  EXPECT_EQ(Tidepool_DtmfGenerate(&d, 3840, out), 0);  // not yet started
  for (int f = 0; f < 5; ++f) {
    ASSERT_EQ(d.queued, 1) << f;
    EXPECT_EQ(Tidepool_DtmfGenerate(&d, 4000 + 160u * f, out), 160) << f;
  }
  EXPECT_EQ(d.queued, 0);
  EXPECT_EQ(Tidepool_DtmfGenerate(&d, 4800, out), 0);
}

TEST(TidepoolDtmf, RefusedAndIgnoredPayloads) {
  DtmfState d;
  Tidepool_DtmfInit(&d, 16000);
  const uint8_t five[5] = {1, 0, 0, 160, 0};
  EXPECT_EQ(Tidepool_DtmfAddEvent(&d, five, 5, 0), -1);
  const uint8_t event16[4] = {16, 0, 0, 160};
  const uint8_t volume36[4] = {3, 36, 0, 160};
  EXPECT_EQ(Tidepool_DtmfAddEvent(&d, event16, 4, 0), 0);
  EXPECT_EQ(Tidepool_DtmfAddEvent(&d, volume36, 4, 0), 0);
  EXPECT_EQ(d.queued, 0);
  // At 16 kHz a tone frame is 320 samples.
  const uint8_t ok[4] = {3, 0, 0, 160};
  ASSERT_EQ(Tidepool_DtmfAddEvent(&d, ok, 4, 0), 0);
  int16_t out[320];
  EXPECT_EQ(Tidepool_DtmfGenerate(&d, 0, out), 320);
}

TEST(TidepoolDtmf, UpdatesExtendTheEventAndAnOpenEventTimesOut) {
  DtmfState d;
  Tidepool_DtmfInit(&d, 8000);
  const uint8_t first[4] = {9, 10, 0, 160};   // no end bit yet
  const uint8_t longer[4] = {9, 10, 0x01, 0x40};  // 320
  ASSERT_EQ(Tidepool_DtmfAddEvent(&d, first, 4, 1000), 0);
  ASSERT_EQ(Tidepool_DtmfAddEvent(&d, longer, 4, 1000), 0);
  ASSERT_EQ(d.queued, 1);
  EXPECT_EQ(d.queue[0].end, 1320u);
  // Without an end packet the tone goes on until 1500 samples past the last known end.
  int16_t out[160];
  int frames = 0;
  for (uint32_t t = 1000; d.queued > 0 && frames < 100; t += 160) frames += Tidepool_DtmfGenerate(&d, t, out) > 0;
  EXPECT_EQ(frames, (1320 - 1000 + 1500) / 160 + 2);
}

// The tone after an ended event starts from the oscillators' start values; after an event given up
// on (no end packet: overrun, or the next event due) it carries on from the running oscillators.
struct NextToneCase {
  const char* name;
  uint8_t firstEndBit;  // 0x80 when the first event's end packet came
  uint32_t secondAt;    // start of the second event (added once the first has left)
  bool afresh;
};

TEST(TidepoolDtmf, NextToneStartsAfreshOnlyAfterAnEndedEvent) {
  const NextToneCase cases[] = {{"ended", 0x80, 320, true},
                                {"next event due", 0x00, 320, false},
                                {"overrun", 0x00, 4000, false}};
  for (const NextToneCase& c : cases) {
    DtmfState d;
    Tidepool_DtmfInit(&d, 8000);
    const uint8_t first[4] = {1, static_cast<uint8_t>(c.firstEndBit | 10), 0x01, 0x40};  // digit 1, 320 samples
    const uint8_t second[4] = {5, 0x80 | 10, 0x01, 0x40};                               // digit 5, ended
    ASSERT_EQ(Tidepool_DtmfAddEvent(&d, first, 4, 0), 0);
    if (c.secondAt == 320) ASSERT_EQ(Tidepool_DtmfAddEvent(&d, second, 4, 320), 0);
    int16_t out[160];
    uint32_t t = 0;
    for (; d.queue[0].event == 1 && t < 8000; t += 160) Tidepool_DtmfGenerate(&d, t, out);
    ASSERT_NE(d.queue[0].event, 1) << c.name;
    if (c.secondAt != 320) {
      ASSERT_EQ(Tidepool_DtmfAddEvent(&d, second, 4, c.secondAt), 0);
      t = c.secondAt;
    }
    ASSERT_EQ(Tidepool_DtmfGenerate(&d, t, out), 160) << c.name;
    DtmfState fresh;
    Tidepool_DtmfInit(&fresh, 8000);
    ASSERT_EQ(Tidepool_DtmfAddEvent(&fresh, second, 4, t), 0);
    int16_t ref[160];
    ASSERT_EQ(Tidepool_DtmfGenerate(&fresh, t, ref), 160);
    EXPECT_EQ(std::equal(out, out + 160, ref), c.afresh) << c.name;
  }
}

}  // namespace
