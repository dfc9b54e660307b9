// Tidepool DTMF tones: the telephone-event queue and the two-oscillator tone generator.
#include "voice/tidepool/tidepool_internal.h"

namespace tidepool {

namespace {

// Q14 oscillator coefficients (2 cos w) and start values for 697, 770, 852, 941, 1209, 1336, 1477,
// 1633 Hz; first row at 8000 Hz, second at 16000 Hz.
const int16_t kCoef[2][8] = {{27978, 26956, 25701, 24219, 19073, 16325, 13085, 9314},
                             {31548, 31281, 30951, 30556, 29144, 28361, 27409, 26258}};
const int16_t kStart[2][8] = {{8527, 9315, 10163, 11036, 13322, 14206, 15021, 15708},
                              {4429, 4879, 5380, 5918, 7490, 8207, 8979, 9801}};
// Attenuation by volume 0..35 (-dBm0), Q14.
const int16_t kVolume[36] = {16141, 14386, 12821, 11427, 10184, 9077, 8090, 7210, 6426, 5727, 5104, 4549,
                             4054,  3614,  3221,  2870,  2558,  2280, 2032, 1811, 1614, 1439, 1282, 1143,
                             1018,  908,   809,   721,   643,   573,  510,  455,  405,  361,  322,  287};

int RowOf(int event) {
  switch (event) {
    case 1: case 2: case 3: case 12: return 0;
    case 4: case 5: case 6: case 13: return 1;
    case 7: case 8: case 9: case 14: return 2;
    default: return 3;  // 0, 10, 11, 15
  }
}

int ColumnOf(int event) {
  switch (event) {
    case 1: case 4: case 7: case 10: return 4;
    case 2: case 5: case 8: case 0: return 5;
    case 3: case 6: case 9: case 11: return 6;
    default: return 7;  // 12..15
  }
}

int32_t Diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

}  // namespace

void Tidepool_DtmfInit(DtmfState* d, int32_t rate) {
  *d = DtmfState{};
  d->rate = rate;
  d->newTone = 1;
  d->maxOverrun = 1500;
  for (auto& e : d->queue) e = DtmfEvent{65535, 0, 0, 0, 0};
}

int Tidepool_DtmfAddEvent(DtmfState* d, const uint8_t* payload, int length, uint32_t timestamp) {
  if (!payload || length != 4) return -1;
  const uint16_t event = payload[0];
  const uint16_t endFlag = (payload[1] & 0x80) ? 1 : 0;
  const uint16_t volume = payload[1] & 0x3f;
  const uint32_t duration = (static_cast<uint32_t>(payload[2]) << 8) | payload[3];
  if (event > 15 || volume > 35) return 0;
  const uint32_t end = timestamp + duration;
  for (int i = 0; i < d->queued; ++i) {
    DtmfEvent& e = d->queue[i];
    if (e.event != event) continue;
    const bool within = Diff(timestamp, e.start) >= 0 && Diff(timestamp, e.end + 240) <= 0;
    const bool startsInside = Diff(e.start, timestamp) >= 0 && Diff(e.start, end) <= 0;
    if (within || startsInside) {
      e.volume = volume;
      if (Diff(end, e.end) > 0) e.end = end;
      if (Diff(timestamp, e.start) < 0) e.start = timestamp;
      if (endFlag) e.endFlag = 1;
      return 0;
    }
  }
  const DtmfEvent added{event, volume, endFlag, timestamp, end};
  if (d->queued == 4)
    d->queue[3] = added;
  else
    d->queue[d->queued++] = added;
  return 0;
}

void Tidepool_DtmfPopEvent(DtmfState* d) {
  if (d->queued == 0) return;
  d->finishedValid = 1;
  d->finishedEvent = d->queue[0].event;
  d->finishedStart = d->queue[0].start;
  for (int i = 0; i + 1 < d->queued; ++i) d->queue[i] = d->queue[i + 1];
  --d->queued;
  d->queue[d->queued] = DtmfEvent{65535, 0, 0, 0, 0};
  d->overrun = 0;
}

int Tidepool_DtmfGenerate(DtmfState* d, uint32_t timestamp, int16_t* out) {
  if (d->queued == 0 || Diff(timestamp, d->queue[0].start) < 0) return 0;
  const int wide = d->rate == 16000 ? 1 : 0;
  const int frame = 160 << wide;
  const DtmfEvent ev = d->queue[0];
  const int row = RowOf(ev.event);
  const int col = ColumnOf(ev.event);
  if (d->newTone) {
    d->rowHist[0] = kStart[wide][row];
    d->rowHist[1] = 0;
    d->colHist[0] = kStart[wide][col];
    d->colHist[1] = 0;
    d->newTone = 0;
  }
  const int32_t cr = kCoef[wide][row];
  const int32_t cc = kCoef[wide][col];
  const int32_t gain = kVolume[ev.volume];
  for (int i = 0; i < frame; ++i) {
    const int32_t yr = ((cr * d->rowHist[0] + 8192) >> 14) - d->rowHist[1];
    const int32_t yc = ((cc * d->colHist[0] + 8192) >> 14) - d->colHist[1];
    d->rowHist[1] = d->rowHist[0];
    d->rowHist[0] = static_cast<int16_t>(yr);
    d->colHist[1] = d->colHist[0];
    d->colHist[0] = static_cast<int16_t>(yc);
    const int32_t mix = (23171 * yr + 32768 * yc + 16384) >> 15;
    const int32_t sample = (mix * gain + 8192) >> 14;
    out[i] = static_cast<int16_t>(sample > 32767 ? 32767 : (sample < -32768 ? -32768 : sample));
  }

  const uint32_t frameEnd = timestamp + static_cast<uint32_t>(frame);
  // Only an event that ended as its sender said starts the next one afresh; an event given up
  // on hands the running oscillators to the next.
  if (Diff(ev.end, frameEnd) >= 0) {
    if (ev.end == frameEnd && ev.endFlag) {
      Tidepool_DtmfPopEvent(d);
      d->newTone = 1;
    }
  } else if (ev.endFlag) {
    Tidepool_DtmfPopEvent(d);
    d->newTone = 1;
  } else {
    // No end seen yet: keep the tone going a while, in case the updates are late.
    d->overrun = Diff(timestamp, ev.end);
    if (d->overrun > d->maxOverrun || (d->queued > 1 && Diff(d->queue[1].start, frameEnd) < 0))
      Tidepool_DtmfPopEvent(d);
  }
  return frame;
}

}  // namespace tidepool
