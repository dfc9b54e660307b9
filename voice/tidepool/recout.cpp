// Tidepool playout: packet selection, decoding, concealment, comfort noise, tones and 10-ms output.
#include <cstring>

#include "voice/dsp/cng.h"
#include "voice/dsp/spl.h"
#include "voice/tidepool/tidepool_internal.h"

namespace tidepool {

namespace {

enum SelectFlags : int { kSelectRestart = 2, kSelectTone = 4 };
enum SideKind : int { kSideNone = 0, kSideLate, kSideEvent, kSideComfortNoise };

struct Selection {
  DecoderRecord record;
  uint32_t lastTimestamp;
  uint8_t main[kMaxFrameBytes];
  int mainLen;
  uint32_t mainTs;
  uint8_t side[kMaxFrameBytes + 4];
  int sideLen;
  int sideKind;
  int32_t jump;
  bool exact;
  bool nextPresent;
  bool more;
  int packets;
};

int32_t Diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

int16_t SetError(TidepoolInst* inst, int16_t code) {
  inst->playout.error = code;
  inst->lastError = code;
  return -1;
}

// `reach` is how far ahead of T a restart may jump: the span already concealed.
void SelectPacket(TidepoolControl* c, uint32_t T, int32_t F, int shift, int flags, int64_t reach,
                  Selection* sel) {
  PacketBuffer* pb = c->buffer;
  sel->record = c->decoder;
  sel->lastTimestamp = c->lastTimestamp;
  sel->mainLen = 0;
  sel->sideLen = 0;
  sel->sideKind = kSideNone;
  sel->jump = 0;
  sel->exact = false;
  sel->nextPresent = false;
  sel->more = false;

  if (F != c->playoutFrameSize) {
    PacketBufferSetMax(pb, F >> shift);
    c->playoutFrameSize = F;
  }
  const uint32_t late = T - static_cast<uint32_t>(F);
  if (flags & kSelectTone) {
    sel->sideLen = PacketBufferExtractKind(pb, late, kKindEvent, sel->side, sizeof sel->side);
    if (sel->sideLen > 0) sel->sideKind = kSideEvent;
    sel->packets = pb->count;
    return;
  }

  if (PacketBufferContains(pb, late, kKindSpeech)) {
    const int n = PacketBufferExtractSpeech(pb, late, sel->side + 4, kMaxFrameBytes);
    if (n > 0) {
      sel->sideLen = n + 4;
      sel->sideKind = kSideLate;
    }
  } else {
    sel->sideLen = PacketBufferExtractKind(pb, late, kKindEvent, sel->side, sizeof sel->side);
    if (sel->sideLen > 0) sel->sideKind = kSideEvent;
  }

  const uint32_t twoLate = T - 2u * static_cast<uint32_t>(F);
  if (PacketBufferContains(pb, twoLate, kKindSpeech)) {
    sel->mainLen = PacketBufferExtractSpeech(pb, twoLate, sel->main, sizeof sel->main);
    sel->mainTs = twoLate;
    sel->packets = pb->count;
    return;
  }

  sel->mainLen = PacketBufferExtractSpeech(pb, T, sel->main, sizeof sel->main);
  if (sel->mainLen > 0) {
    sel->mainTs = T;
    sel->exact = true;
    sel->nextPresent = PacketBufferContains(pb, T + static_cast<uint32_t>(F), kKindSpeech);
  } else {
    uint32_t oldest = 0;
    // Only speech can restart the timeline; a waiting SID or tone event is not a frame to decode.
    // A concealment restarts at the next packet once it has covered the gap to it, so a packet that
    // is merely late is still played when it comes. After an overflow flush the gap is deliberate:
    // one expansion, then the join to the oldest frame kept.
    const bool found = PacketBufferOldestOfKind(pb, kKindSpeech, &oldest);
    const bool reached = found && Diff(oldest, T) <= reach;
    if (((flags & kSelectRestart) && found && (reached || c->flushed)) || (c->codecChanged && found)) {
      sel->mainLen = PacketBufferExtractSpeech(pb, oldest, sel->main, sizeof sel->main);
      sel->mainTs = oldest;
      sel->jump = Diff(oldest, T);
      c->playoutTimestamp = oldest;
      c->codecChanged = 0;
      c->flushed = 0;
    } else if (pb->cnCount > 0 && sel->sideKind == kSideNone) {
      sel->sideLen = PacketBufferExtractKind(pb, T, kKindComfortNoise, sel->side, sizeof sel->side);
      if (sel->sideLen > 0) sel->sideKind = kSideComfortNoise;
    }
    sel->more = pb->count > 0;
  }
  sel->packets = pb->count;
}

// Appends processed samples to the output through the held-back tail, and keeps the history.
void Emit(TidepoolInst* inst, const int16_t* samples, int n) {
  PlayoutState& p = inst->playout;
  if (n <= 0) return;
  const int o = 5 << p.shift;
  const int H = 320 << p.shift;
  static thread_local int16_t joined[kOutMax + kTailMax];
  if (n > kOutMax) n = kOutMax;
  memcpy(joined, p.tail, sizeof(int16_t) * static_cast<size_t>(o));
  memcpy(joined + o, samples, sizeof(int16_t) * static_cast<size_t>(n));
  int room = kOutMax - p.outLen;
  const int put = n < room ? n : room;
  memcpy(p.out + p.outLen, joined, sizeof(int16_t) * static_cast<size_t>(put));
  p.outLen += put;
  if (n >= H) {
    memcpy(p.history, joined + n - H, sizeof(int16_t) * static_cast<size_t>(H));
  } else {
    memmove(p.history, p.history + n, sizeof(int16_t) * static_cast<size_t>(H - n));
    memcpy(p.history + H - n, joined, sizeof(int16_t) * static_cast<size_t>(n));
  }
  memcpy(p.tail, joined + n, sizeof(int16_t) * static_cast<size_t>(o));
}

void SwitchDecoder(TidepoolInst* inst, const DecoderRecord& record, uint32_t timestamp) {
  PlayoutState& p = inst->playout;
  if ((record.rate == 8000 || record.rate == 16000) && record.rate != p.rate) {
    // Another rate: nothing of the old signal carries over, except the comfort-noise decoder.
    CngDecoderInst* cng = p.cng;
    PlayoutInit(inst, record.rate);
    p.cng = cng;
  }
  p.decoder = record;
  inst->control.playoutTimestamp = timestamp;
  p.returnedTimestamp = timestamp;
  inst->control.codecChanged = 0;
  RecordInit(record);
}

int HandleSidePayload(TidepoolInst* inst, const Selection& sel) {
  PlayoutState& p = inst->playout;
  const uint8_t* body = sel.side + 4;
  const int length = sel.sideLen - 4;
  const uint32_t ts = (static_cast<uint32_t>(sel.side[0]) << 24) | (static_cast<uint32_t>(sel.side[1]) << 16) |
                      (static_cast<uint32_t>(sel.side[2]) << 8) | sel.side[3];
  switch (sel.sideKind) {
    case kSideLate:
      // Only an Ostrel decoder uses a frame that comes one frame late; for the others it is dropped.
      if (p.decoder.kind == kTidepoolKindOstrel && p.decoder.ops->lateFrame &&
          p.decoder.ops->lateFrame(p.decoder.instance, body, length) < 0)
        return SetError(inst, kTidepoolErrLateFrame);
      return 0;
    case kSideEvent:
      // The repeated end packets of an event already played must not start it again.
      if (length >= 1 && p.dtmf.finishedValid && p.dtmf.finishedStart == ts && p.dtmf.finishedEvent == body[0])
        return 0;
      Tidepool_DtmfAddEvent(&p.dtmf, body, length, ts);
      return 0;
    case kSideComfortNoise:
      if (!p.cng) return SetError(inst, kTidepoolErrNoDecoder);
      if (length < 1 || length > 32767 || Cng_UpdateSid(p.cng, body, static_cast<int16_t>(length)) < 0)
        return SetError(inst, kTidepoolErrPacket);
      p.cnAvailable = 1;
      if (!p.cnActive) p.cnStarted = 1;
      p.cnMode = 1;
      return 0;
    default:
      return 0;
  }
}

int32_t BufferLevel(const TidepoolInst* inst) {
  return inst->playout.frameSize * inst->buffer->count + inst->playout.outLen;
}

// Decodes the packet for the playout timestamp into out; the sample count (0 when there is no
// packet, or when it decodes to nothing), -1 on failure. `present` tells whether a packet was taken.
int DecodeNext(TidepoolInst* inst, int16_t* out, int capacity, bool* present) {
  TidepoolControl& c = inst->control;
  uint8_t payload[kMaxFrameBytes];
  const uint32_t T = c.playoutTimestamp;
  if (present) *present = false;
  if (!PacketBufferContains(inst->buffer, T, kKindSpeech)) return 0;
  const int len = PacketBufferExtractSpeech(inst->buffer, T, payload, sizeof payload);
  if (len <= 0) return 0;
  if (present) *present = true;
  int16_t st = 0;
  const int n = RecordDecode(inst->playout.decoder, payload, len, out, capacity, &st);
  if (n < 0 || n > capacity) return -1;
  c.playoutTimestamp = T + static_cast<uint32_t>(n);
  return n;
}

// Shortens the buffered signal by about one pitch period. Returns 1 when the frame was handled,
// 0 when it goes through normal processing, -1 on a decoding failure.
int Accelerate(TidepoolInst* inst, int16_t* dec, int n) {
  PlayoutState& p = inst->playout;
  const int s = p.shift;
  int total = n;
  int split;
  if ((n >> s) < 241) {
    bool present = false;
    const int n2 = DecodeNext(inst, dec + total, kDecodeMax, &present);
    if (n2 < 0) return -1;
    if (!present) return 0;
    if (n2 == 0) {
      // The next frame held nothing to play: the first goes out as it was decoded.
      p.lastOp = kOpUnchanged;
      Emit(inst, dec, n);
      return 1;
    }
    total += n2;
    split = n;
    if (total < (160 << s)) {
      const int n3 = DecodeNext(inst, dec + total, kDecodeMax, nullptr);
      if (n3 < 0) return -1;
      total += n3;
      split += n3 / 2;
    }
  } else {
    split = n / 2;
  }
  const int activity = Tidepool_UpdateLevels(inst, dec, total);
  const int part = 160 << s;
  const int aStart = split > part ? split - part : 0;
  const int nA = split - aStart;
  const int nB = (total - split) < part ? (total - split) : part;
  const int rest = total - split - nB;

  static thread_local int16_t work[kOutMax];
  static thread_local int16_t suffix[kOutMax];
  memcpy(suffix, dec + split + nB, sizeof(int16_t) * static_cast<size_t>(rest));
  memcpy(work, dec, sizeof(int16_t) * static_cast<size_t>(aStart));
  int len = 0;
  Tidepool_TimeStretch(inst, dec + aStart, nA, dec + split, nB, 54358180, -1, 20 << s, activity,
                       work + aStart, &len);
  memcpy(work + aStart + len, suffix, sizeof(int16_t) * static_cast<size_t>(rest));
  const int produced = aStart + len + rest;
  if (p.lastOp == kOpStretched || p.lastOp == kOpQuietFade) {
    ++p.accelerateCount;
    p.acceleratedSamples += static_cast<uint32_t>(total - produced);
  }
  p.concealCount = 0;
  p.mute = 16384;
  p.bgRecompute = 1;
  p.cnActive = 0;
  Emit(inst, work, produced);
  return 1;
}

bool ShouldFeedNoiseModel(TidepoolInst* inst, const int16_t* frame, int n, int activity) {
  PlayoutState& p = inst->playout;
  const int s = p.shift;
  const bool sized = n > (159 << s) || ((inst->control.playoutTimestamp >> (7 + s)) & 1u);
  if (!sized) return false;
  if (activity == 0) return true;
  const int H = 320 << s;
  const int L = n < H ? n : H;
  int s1 = 0;
  int s2 = 0;
  int32_t e1 = Spl_EnergyW16(frame, n, &s1);
  int32_t e2 = Spl_EnergyW16(p.history + H - L, L, &s2);
  if (s1 > s2)
    e2 >>= (s1 - s2);
  else
    e1 >>= (s2 - s1);
  return e1 < e2;
}

int ProcessFrame(TidepoolInst* inst) {
  PlayoutState& p = inst->playout;
  TidepoolControl& c = inst->control;
  int s = p.shift;
  static thread_local Selection sel;
  static thread_local int16_t dec[4 * kDecodeMax];
  static thread_local int16_t work[kOutMax];

  // A telephone event that is due plays as a tone instead of a decoded frame.
  if (p.dtmf.queued > 0) {
    const uint32_t start = p.dtmf.queue[0].start;
    // A tone that starts after the speech stopped begins once the concealment has reached it.
    const bool concealing = p.concealCount > 0 || p.cnMode;
    const int32_t ahead = Diff(start, c.playoutTimestamp);
    if (concealing && ahead > 0 && (p.cnMode || ahead <= p.concealSpan + (p.lag >> 1)))
      c.playoutTimestamp = start;
    if (Diff(c.playoutTimestamp, start) >= 0) {
      const int n = Tidepool_DtmfGenerate(&p.dtmf, c.playoutTimestamp, work);
      if (n > 0) {
        Emit(inst, work, n);
        c.playoutTimestamp += static_cast<uint32_t>(n);
        p.lastOp = kOpNormal;
        p.afterTone = 1;
        p.concealSpan = 0;
        SelectPacket(&c, c.playoutTimestamp, p.frameSize, s, kSelectTone, 0, &sel);
        // A codec change that arrives during the tone is taken over now, not when the tone ends.
        if (!SameDecode(sel.record, p.decoder)) SwitchDecoder(inst, sel.record, sel.lastTimestamp);
        if (sel.sideLen > 0) return HandleSidePayload(inst, sel);
        return 0;
      }
    }
  }

  // Speech after a tone.
  bool afterTone = false;
  if (p.afterTone) {
    p.afterTone = 0;
    afterTone = true;
    if (p.decoder.kind == kTidepoolKindOstrel) RecordInit(p.decoder);
  }

  // The packet due.
  int flags = 0;
  int64_t reach = p.concealSpan + (p.lag >> 1);
  if (p.outputStarted && (p.concealCount > 0 || p.cnMode)) flags |= kSelectRestart;
  if (p.cnMode || afterTone) {
    // After a silence described by comfort noise, or a tone, the next talk spurt starts at once.
    flags |= kSelectRestart;
    reach = INT32_MAX;
  }
  SelectPacket(&c, c.playoutTimestamp, p.frameSize, s, flags, reach, &sel);
  // Without a packet of the new codec yet, the timeline moves to the packet that brought it.
  if (!SameDecode(sel.record, p.decoder))
    SwitchDecoder(inst, sel.record, sel.mainLen > 0 ? sel.mainTs : sel.lastTimestamp);
  s = p.shift;  // a decoder of another rate changes every length below
  const int H = 320 << s;
  const int o = 160 << s;  // the signal an expansion continues

  // Side payloads. One that fails fails the frame, but the frame's own packet is still played:
  // it has left the buffer already.
  const bool sideFailed = sel.sideLen > 0 && HandleSidePayload(inst, sel) < 0;
  auto done = [&]() { return sideFailed ? -1 : 0; };
  auto decodeFailed = [&]() { return sideFailed ? -1 : SetError(inst, kTidepoolErrDecode); };

  // Decode.
  int n = 0;
  int16_t speechType = 0;
  if (sel.mainLen > 0) {
    n = RecordDecode(p.decoder, sel.main, sel.mainLen, dec, kDecodeMax, &speechType);
    if (n < 0 || n > kDecodeMax) return decodeFailed();
    if (speechType == kTidepoolSpeech) p.cnMode = 0;
    if (speechType == kTidepoolComfortNoise) p.cnMode = 1;
    c.playoutTimestamp = sel.mainTs + static_cast<uint32_t>(n);
  } else if (p.decoder.kind == kTidepoolKindOstrel) {
    n = RecordDecode(p.decoder, nullptr, 0, dec, kDecodeMax, &speechType);
    if (n < 0 || n > kDecodeMax) return decodeFailed();
    c.playoutTimestamp += static_cast<uint32_t>(n);
  } else if (p.cnMode) {
    n = RecordDecode(p.decoder, nullptr, 0, dec, kDecodeMax, &speechType);
    if (n < 0 || n > kDecodeMax) return decodeFailed();
  } else {
    // The codec's own concealment keeps its state in step; the audio comes from the expansion.
    if (RecordConceal(p.decoder, dec, kDecodeMax) < 0) return decodeFailed();
  }
  if (n > 0) p.frameSize = n;

  // Buffer level filter.
  const int32_t level = BufferLevel(inst);
  p.levelFilter = ((p.levelFilter * 511) >> 9) + level;
  if ((level >> (s + 3)) > p.levelPeak) p.levelPeak = level >> (s + 3);

  // No packet decoded: conceal.
  if (n == 0) {
    if (p.cnMode) {
      const int nc = 160 << s;
      if (p.cng)
        Cng_Generate(p.cng, dec, static_cast<int16_t>(nc), static_cast<int16_t>(p.cnStarted ? 1 : 0));
      else
        memset(dec, 0, sizeof(int16_t) * static_cast<size_t>(nc));
      int len = nc;
      if (!p.cnActive && p.outputStarted) {
        // Comfort noise after speech fades in from one more period of the speech.
        int16_t m2 = p.mute;
        int np = Tidepool_Expand(inst, p.history + H - o, o, p.concealCount, &m2, p.history, 0, work);
        if (np > nc) np = nc;
        len = Tidepool_CrossFade(work, np, dec, nc, work, np);
      } else {
        memcpy(work, dec, sizeof(int16_t) * static_cast<size_t>(nc));
      }
      p.cnActive = 1;
      p.cnStarted = 0;
      p.lastOp = kOpComfortNoise;
      p.concealSpan += len;
      Emit(inst, work, len);
      return done();
    }
    const int np = Tidepool_Expand(inst, p.history + H - o, o, p.concealCount, &p.mute, p.history, 0, work);
    if (p.outputStarted) {
      ++p.concealCount;
      p.concealSpan += np;
      p.concealedTotal += static_cast<uint32_t>(np);
      p.lastOp = p.concealCount >= 13 ? kOpComfortNoise : kOpExpand;
    } else {
      p.lastOp = kOpExpand;
    }
    Emit(inst, work, np);
    return done();
  }

  // A decoded frame.
  p.concealSpan = 0;
  const bool wasStarted = p.outputStarted != 0;
  p.outputStarted = 1;
  p.cnActive = 0;
  const int activity = Tidepool_UpdateLevels(inst, dec, n);

  if (wasStarted && p.concealCount > 0) {
    int len;
    if (p.voiced == 0 && p.concealCount >= 2) {
      // Unvoiced: fade the frame in from one more period, keeping the frame's length.
      int16_t m2 = p.mute;
      int np = Tidepool_Expand(inst, p.history + H - o, o, p.concealCount, &m2, p.history, activity, work);
      if (np > n) np = n;
      if (p.mute < 16384) Tidepool_MuteRamp(dec, n, &p.mute);
      len = Tidepool_CrossFade(work, np, dec, n, work, np);
      p.cnMode = 0;
      p.lastOp = kOpMerge;
    } else {
      const int na = Tidepool_Expand(inst, p.history + H - o, o, p.concealCount, &p.mute, p.history, activity, work);
      len = Tidepool_Merge(inst, work, na, dec, n, &p.mute, sel.jump, activity, work);
      p.lastOp = p.cnMode ? kOpComfortNoise : kOpMerge;
    }
    p.concealCount = 0;
    p.bgRecompute = 1;
    ++p.mergeCount;
    Emit(inst, work, len);
    return done();
  }

  // Accelerate when the buffer has stayed full.
  const int info = (p.decoder.ops->info && p.decoder.kind == kTidepoolKindOstrel) ? p.decoder.ops->info(p.decoder.instance) : 0;
  if (p.allowance >= 398001 && p.concealCount == 0 && info == 0) {
    const int handled = Accelerate(inst, dec, n);
    if (handled < 0) return decodeFailed();
    if (handled > 0) return done();
  }

  // Recover from a muted concealment.
  if (p.mute < 16384) Tidepool_MuteRamp(dec, n, &p.mute);
  if (ShouldFeedNoiseModel(inst, dec, n, activity)) {
    const int m = n < (160 << s) ? n : (160 << s);
    Tidepool_UpdateNoiseModel(inst, dec + n - m, m);
  }
  p.bgRecompute = 1;
  p.lastOp = kOpNormal;
  Emit(inst, dec, n);
  return done();
}

}  // namespace

void PlayoutInit(TidepoolInst* inst, int32_t rate) {
  PlayoutState& p = inst->playout;
  memset(&p, 0, sizeof p);
  p.decoder = NullRecord();
  p.rate = rate;
  p.shift = rate == 16000 ? 1 : 0;
  p.frameSize = 480 << p.shift;
  p.mode = 2;
  p.mute = 16384;
  p.noiseIndex = 777;
  p.lag = 50 << p.shift;
  p.voiced = 1;
  for (int i = 0; i < 50; ++i) {
    p.bgPoly[i][0] = 4096;
    p.bgEnergy[i] = 0x7fffffff;
  }
  p.bgCount = 50;
  Tidepool_DtmfInit(&p.dtmf, rate);
  // Prime the background model with low-level noise so the first concealment has a floor.
  int16_t prime[320];
  uint32_t index = 0;
  ReadRandom(&index, prime, 320);
  for (auto& v : prime) v = static_cast<int16_t>(v >> 13);
  Tidepool_UpdateNoiseModel(inst, prime, 320);
}

}  // namespace tidepool

using namespace tidepool;

int16_t TIDEPOOL_SONRA_10MS16B_AssignCN(TidepoolInst* inst, CngDecoderInst* cngDecoder) {
  if (!inst) return -1;
  if (!cngDecoder) return SetError(inst, kTidepoolErrNoDecoder);
  const int16_t result = Cng_DecoderInit(cngDecoder);
  if (result != 0) return SetError(inst, kTidepoolErrNoDecoder);
  inst->playout.cng = cngDecoder;
  inst->lastError = 0;
  return result;
}

int16_t TIDEPOOL_SONRA_10MS16B_RecOut(TidepoolInst* inst, int16_t* out, int16_t* count) {
  if (!inst || !out || !count) return -1;
  PlayoutState& p = inst->playout;
  const int64_t cap = static_cast<int64_t>(p.shift ? 625 : 1250) * BufferLevel(inst);
  int64_t allowance = static_cast<int64_t>(p.allowance) + 5000;
  if (allowance > cap) allowance = cap;
  p.allowance = static_cast<int32_t>(allowance);
  p.error = 0;

  // Every frame adds samples, so a handful always fills 10 ms; the bound only guards the loop.
  // 10 ms is taken at the rate in force once the frames are processed (a decoder may switch it).
  for (int guard = 0; p.outLen < (80 << p.shift) && guard < 256; ++guard) {
    if (ProcessFrame(inst) < 0) {
      const int need = 80 << p.shift;
      memset(out, 0, sizeof(int16_t) * static_cast<size_t>(need));
      *count = static_cast<int16_t>(need);
      return -1;
    }
  }
  const int need = 80 << p.shift;
  if (p.outLen < need) {
    memset(p.out + p.outLen, 0, sizeof(int16_t) * static_cast<size_t>(need - p.outLen));
    p.outLen = need;
  }
  memcpy(out, p.out, sizeof(int16_t) * static_cast<size_t>(need));
  p.outLen -= need;
  memmove(p.out, p.out + need, sizeof(int16_t) * static_cast<size_t>(p.outLen));
  *count = static_cast<int16_t>(need);

  const uint32_t played = inst->control.playoutTimestamp - static_cast<uint32_t>(p.outLen + (5 << p.shift));
  if (!p.returnedStarted || Diff(played, p.returnedTimestamp) > 0) {
    p.returnedTimestamp = played;
    p.returnedStarted = 1;
  }
  inst->lastError = 0;
  return 0;
}

int16_t TIDEPOOL_SONRA_10MS16B_GetPlayoutTimestamp(TidepoolInst* inst, uint32_t* timestamp) {
  if (!inst || !timestamp) return -1;
  *timestamp = inst->playout.returnedTimestamp;
  inst->lastError = 0;
  return 0;
}

int32_t Tidepool_BufferedMs(const TidepoolInst* inst) {
  if (!inst || !inst->buffer) return 0;
  const PlayoutState& p = inst->playout;
  const int32_t rate = p.rate > 0 ? p.rate : 8000;
  const int64_t samples = static_cast<int64_t>(p.frameSize) * inst->buffer->count + p.outLen;
  return static_cast<int32_t>(samples * 1000 / rate);
}
