// Tidepool receive side: instance lifecycle, RTP parsing, frame splitting and insertion, statistics.
#include <cstdlib>
#include <cstring>
#include <new>

#include "voice/tidepool/codec_table.h"
#include "voice/tidepool/tidepool_internal.h"

namespace tidepool {

namespace {

int16_t Fail(TidepoolInst* inst, int16_t code) {
  inst->control.error = code;
  inst->lastError = code;
  return -1;
}

int32_t SignedDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

uint32_t Read32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Codec table entry of a payload type: a registered type first, then the static ones.
int EntryOfPayloadType(const TidepoolControl& c, int pt) {
  for (int e = 0; e < kTidepoolCodecCount; ++e)
    if (c.codecs[e].payloadType == pt) return e;
  for (int e = 0; e < kTidepoolCodecCount; ++e) {
    const CodecRow* row = RowOfCodec(e);
    if (row && row->staticPayloadType == pt) return e;
  }
  return -1;
}

bool IsSideType(const TidepoolControl& c, int pt) {
  return pt == c.eventPayloadType || pt == c.cnPayloadType || pt == 13;
}

// Installs the decoder record of a new payload type; returns 0 or an error code.
int16_t SwitchDecoder(TidepoolControl& c, int pt, uint32_t timestamp) {
  DecoderRecord rec = NullRecord();
  const CodecRow* row = nullptr;
  if (pt == 0 || pt == c.pcmuPayloadType) {
    rec = DecoderRecord{&kPcmuOps, false, false, nullptr, kTidepoolKindG711, 8000};
    row = RowOfKind(kRowPcmu);
  } else if (pt == 8 || pt == c.pcmaPayloadType) {
    rec = DecoderRecord{&kPcmaOps, false, false, nullptr, kTidepoolKindG711, 8000};
    row = RowOfKind(kRowPcma);
  } else {
    const int e = EntryOfPayloadType(c, pt);
    if (e < 0) return kTidepoolErrUnknownPayload;
    if (!c.codecs[e].instance || !c.codecs[e].ops) return kTidepoolErrNoDecoder;
    row = RowOfCodec(e);
    const TidepoolDecoderOps* ops = c.codecs[e].ops;
    int16_t kind = ops->kind;
    if (kind == kTidepoolKindNone)
      kind = (e == kTidepoolOstrel711A || e == kTidepoolOstrel711U || e == kTidepoolOstrelWb)
                 ? kTidepoolKindOstrel
                 : kTidepoolKindOther;
    rec = DecoderRecord{ops, false, false, c.codecs[e].instance, kind, row->rate};
  }
  c.decoder = rec;
  c.wideband = rec.rate == 16000 ? 1 : 0;
  c.lastTimestamp = timestamp;
  c.bytesPerFrame = row->bytesPerFrame;
  c.samplesPerFrame = row->samplesPerFrame;
  c.frameRule = row->frameRule;
  c.g722Doubling = row->kindOfRow == kRowCodec && row->entry == kTidepoolG722;
  c.codecChanged = 1;
  // Buffered frames belong to the old codec and cannot be decoded by the new one.
  PacketBufferReset(c.buffer);
  c.currentPayloadType = static_cast<uint16_t>(pt);
  return 0;
}

void UpdateStatistics(TidepoolControl& c, uint16_t seq, uint32_t ts, uint32_t arrival) {
  if (!c.statsStarted) {
    c.lastInOrderTimestamp = ts;
    c.highestSeq = seq;
    c.baseSeq = seq;
  }
  ++c.received;
  c.statsStarted = 1;
  const int16_t advance = static_cast<int16_t>(static_cast<uint16_t>(seq - c.highestSeq));
  if (advance >= 0) {
    if (seq < c.highestSeq) ++c.cycles;
    c.highestSeq = seq;
    const int64_t tsAdvance = SignedDiff(ts, c.lastInOrderTimestamp);
    if (tsAdvance > static_cast<int64_t>(c.lastPacketSamples) * advance) c.timestampGap = 1;
    c.lastInOrderTimestamp = ts;
  }

  // Interarrival jitter in sixteenths of a sample; the transit difference is taken as 16 bits.
  const uint32_t transit = ts - arrival;
  if (c.received > 1) {
    int32_t d = static_cast<int16_t>(static_cast<uint16_t>(c.lastTransit - transit));
    if (d < 0) d = -d;
    const int64_t j = c.jitter;
    const int64_t diff = 16 * int64_t{d} - j;
    int64_t next = diff >= 0 ? j + ((diff + 8) >> 4) : j - ((8 - diff) >> 4);
    if (next < 0) next = 0;
    c.jitter = static_cast<uint32_t>(next);
  }
  c.lastTransit = transit;
}

int KeepAfterOverflow(int32_t frame, int32_t wideband) {
  if (frame <= (40 << wideband)) return 12;
  if (frame <= (80 << wideband)) return 7;
  if (frame <= (160 << wideband)) return 5;
  if (frame <= (240 << wideband)) return 3;
  if (frame <= (320 << wideband)) return 2;
  return 1;
}

}  // namespace

int FrameInsert(TidepoolControl* c, const uint8_t* payload, int length, uint32_t timestamp,
                uint16_t payloadType) {
  PacketBuffer* pb = c->buffer;
  const int32_t frame = c->playoutFrameSize;
  if (pb->count >= pb->maxPackets) {
    const int32_t before = pb->count;
    PacketBufferDiscardOldest(pb, KeepAfterOverflow(frame, c->wideband));
    c->overflowDiscarded = (before - pb->count) * frame;
    // The flush drops the oldest frames on purpose: playout joins the oldest one kept rather than
    // concealing the whole hole it left.
    if (before != pb->count) c->flushed = 1;
  }
  uint16_t kind;
  if (payloadType == c->cnPayloadType || payloadType == 13) {
    kind = kKindComfortNoise;
  } else if (payloadType == c->eventPayloadType && c->dtmfHandling) {
    kind = kKindEvent;
  } else {
    const int32_t late = SignedDiff(timestamp, c->playoutTimestamp);
    if (late >= -20 * frame && late < 0 && late != -frame) return 0;  // too late to be played
    if (length == 0 || PacketBufferContains(pb, timestamp, kKindSpeech)) return 0;  // duplicate
    kind = kKindSpeech;
  }
  if (PacketBufferInsert(pb, payload, length, timestamp, kind) != 0) {
    c->error = kTidepoolErrBufferInsert;
    return -1;
  }
  return 0;
}

namespace {

// Splits a payload into codec frames and inserts each; returns 0, or -1 with the error set.
int SplitAndInsert(TidepoolControl& c, const uint8_t* payload, int length, uint32_t ts, uint16_t pt) {
  if (length <= 0) return 0;  // nothing to store (a header-only packet still counts in the statistics)
  if (IsSideType(c, pt) || c.frameRule == kFrameRuleWhole) {
    c.lastPacketSamples = c.playoutFrameSize;
    return FrameInsert(&c, payload, length, ts, pt);
  }
  int result = 0;
  switch (c.frameRule) {
    case kFrameRuleSamples: {
      const int shift = c.samplesPerFrame;  // 1 for G.711, 0 for G.722
      int chunk = length;
      while (chunk >= ((160 << shift) << c.wideband)) chunk >>= 1;
      if (chunk > 1) chunk &= ~1;
      int pos = 0;
      int i = 0;
      while (length - pos >= 2 * chunk) {
        result = FrameInsert(&c, payload + pos, chunk, ts + static_cast<uint32_t>((2 * i * chunk) >> shift), pt);
        if (result != 0) return -1;
        pos += chunk;
        ++i;
      }
      result = FrameInsert(&c, payload + pos, length - pos, ts + static_cast<uint32_t>((2 * i * chunk) >> shift), pt);
      c.lastPacketSamples = length << (1 - shift);
      return result;
    }
    case kFrameRuleTyped: {
      int pos = 0;
      int i = 0;
      while (pos < length) {
        static const int kTypedBytes[4] = {24, 20, 4, 0};
        const int bytes = kTypedBytes[payload[pos] & 3];
        if (bytes == 0 || pos + bytes > length) {
          c.error = kTidepoolErrPacket;
          return -1;
        }
        result = FrameInsert(&c, payload + pos, bytes, ts + static_cast<uint32_t>(240 * i), pt);
        if (result != 0) return -1;
        pos += bytes;
        ++i;
      }
      c.lastPacketSamples = 240 * i;
      return 0;
    }
    case kFrameRuleIlbc: {
      int bytes;
      int samples;
      if (length == 38 || length == 76 || length == 114 || length == 152) {
        bytes = 38;
        samples = 160;
        c.decoder.useAlt = true;
      } else if (length == 50 || length == 100 || length == 150) {
        bytes = 50;
        samples = 240;
        c.decoder.useAlt = false;
      } else {
        c.error = kTidepoolErrPacket;
        return -1;
      }
      c.bytesPerFrame = static_cast<uint16_t>(bytes);
      c.samplesPerFrame = static_cast<uint16_t>(samples);
      const int frames = length / bytes;
      for (int i = 0; i < frames; ++i) {
        result = FrameInsert(&c, payload + i * bytes, bytes, ts + static_cast<uint32_t>(samples * i), pt);
        if (result != 0) return -1;
      }
      c.lastPacketSamples = samples * frames;
      return 0;
    }
    case kFrameRuleFixed:
    default: {
      const int bytes = c.bytesPerFrame;
      const int samples = c.samplesPerFrame;
      if (bytes <= 0) {
        c.error = kTidepoolErrPacket;
        return -1;
      }
      const int whole = length / bytes;
      int i = 0;
      for (; i < whole; ++i) {
        result = FrameInsert(&c, payload + i * bytes, bytes, ts + static_cast<uint32_t>(samples * i), pt);
        if (result != 0) return -1;
      }
      if (length > whole * bytes)
        result = FrameInsert(&c, payload + whole * bytes, length - whole * bytes,
                             ts + static_cast<uint32_t>(samples * i), pt);
      c.lastPacketSamples = samples * whole;
      return result;
    }
  }
}

}  // namespace

void ControlInit(TidepoolControl* c, TidepoolInst* owner, PacketBuffer* pb) {
  *c = TidepoolControl{};
  c->decoder = NullRecord();
  c->firstPacket = 1;
  c->currentPayloadType = kNoPayloadType;
  c->playoutFrameSize = 960;
  c->eventPayloadType = kNoPayloadType;
  c->cnPayloadType = kNoPayloadType;
  c->pcmuPayloadType = kNoPayloadType;
  c->pcmaPayloadType = kNoPayloadType;
  c->buffer = pb;
  c->owner = owner;
  c->lastPacketSamples = 960;
  c->frameRule = kFrameRuleWhole;
  for (auto& e : c->codecs) e = CodecEntry{nullptr, nullptr, -1};
  PacketBufferReset(pb);
  pb->maxPackets = 4;
}

}  // namespace tidepool

using namespace tidepool;

int16_t TIDEPOOL_SONRA_10MS16B_create(TidepoolInst** inst) {
  if (!inst) return -1;
  *inst = nullptr;
  auto* created = static_cast<TidepoolInst*>(calloc(1, sizeof(TidepoolInst)));
  if (!created) return -1;
  auto* pb = static_cast<PacketBuffer*>(calloc(1, sizeof(PacketBuffer)));
  if (!pb) {
    free(created);
    return -1;
  }
  pb->maxPackets = 10;
  created->buffer = pb;
  created->control.buffer = pb;
  created->control.owner = created;
  created->control.decoder = NullRecord();
  created->playout.decoder = NullRecord();
  *inst = created;
  return 0;
}

int16_t TIDEPOOL_SONRA_10MS16B_free(TidepoolInst* inst) {
  if (!inst) return -1;
  free(inst->buffer);
  free(inst);
  return 0;
}

int16_t TIDEPOOL_SONRA_10MS16B_Init(TidepoolInst* inst, int32_t rate) {
  if (!inst) return -1;
  if (rate != 8000 && rate != 16000) return Fail(inst, kTidepoolErrRate);
  ControlInit(&inst->control, inst, inst->buffer);
  inst->control.wideband = rate == 16000 ? 1 : 0;
  PlayoutInit(inst, rate);
  inst->lastError = 0;
  return 0;
}

int16_t TIDEPOOL_SONRA_10MS16B_RecIn(TidepoolInst* inst, const uint8_t* packet, int32_t length,
                                     uint32_t arrival) {
  if (!inst) return -1;
  TidepoolControl& c = inst->control;
  c.error = 0;
  // Every length is checked before the bytes it covers are read.
  if (!packet || length < 12) return Fail(inst, kTidepoolErrPacket);
  const int csrcCount = packet[0] & 0x0f;
  const bool extension = (packet[0] & 0x10) != 0;
  const bool padding = (packet[0] & 0x20) != 0;
  const uint16_t pt = packet[1] & 0x7f;
  const uint16_t seq = static_cast<uint16_t>((packet[2] << 8) | packet[3]);
  uint32_t ts = Read32(packet + 4);
  const uint32_t ssrc = Read32(packet + 8);

  int32_t header = 12 + 4 * csrcCount;
  if (header > length) return Fail(inst, kTidepoolErrPacket);
  bool testSignal = false;
  if (extension) {
    // The extension header follows the CSRC list.
    if (header + 4 > length) return Fail(inst, kTidepoolErrPacket);
    const int32_t words = (packet[header + 2] << 8) | packet[header + 3];
    const int32_t extEnd = header + 4 + 4 * words;
    if (extEnd > length) return Fail(inst, kTidepoolErrPacket);
    testSignal = words == 1 && memcmp(packet + header + 4, "tavk", 4) == 0;
    header = extEnd;
  }
  const int32_t pad = padding ? packet[length - 1] : 0;
  const int32_t payloadLength = length - header - pad;
  if (payloadLength < 0 || payloadLength > kPayloadLimit) return Fail(inst, kTidepoolErrPacket);
  const uint8_t* payload = packet + header;

  if (testSignal) c.decoder.testSignal = true;
  if (ssrc != c.ssrc) {
    c.ssrc = ssrc;
    c.currentPayloadType = kNoPayloadType;
    c.newSource = 1;
  }

  // A codec that watches arrivals (bandwidth estimation) sees the payload once it is known valid.
  const int watched = EntryOfPayloadType(c, pt);
  if (!IsSideType(c, pt) && watched >= 0 && c.codecs[watched].ops && c.codecs[watched].ops->arrival &&
      c.codecs[watched].instance) {
    c.codecs[watched].ops->arrival(c.codecs[watched].instance, payload, payloadLength, seq, arrival);
  }

  if (pt != c.currentPayloadType && !IsSideType(c, pt)) {
    const int16_t err = SwitchDecoder(c, pt, ts);
    if (err) return Fail(inst, err);
  }

  if (c.g722Doubling && pt == c.currentPayloadType) ts *= 2u;
  // A new source brings its own timeline; measured against the old one its packets would look
  // late and be dropped.
  if (c.firstPacket || (c.newSource && !IsSideType(c, pt))) {
    c.playoutTimestamp = ts;
    c.firstPacket = 0;
    c.newSource = 0;
  }
  UpdateStatistics(c, seq, ts, arrival);

  const int result = SplitAndInsert(c, payload, payloadLength, ts, pt);
  if (c.buffer->count > c.peakPackets) c.peakPackets = c.buffer->count;
  if (c.overflowDiscarded) {
    inst->playout.discardedTotal += static_cast<uint32_t>(c.overflowDiscarded);
    c.overflowDiscarded = 0;
  }
  if (result != 0) return Fail(inst, c.error ? c.error : static_cast<int16_t>(kTidepoolErrBufferInsert));
  inst->lastError = 0;
  return 0;
}

int16_t TIDEPOOL_SONRA_10MS16B_SetDTMFHandling(TidepoolInst* inst, int32_t flag) {
  if (!inst) return -1;
  inst->control.dtmfHandling = flag;
  inst->lastError = 0;
  return 0;
}

namespace {

int16_t ReceiveStats(TidepoolInst* inst, uint32_t* expectedPrior, uint32_t* receivedPrior, uint16_t* fractionLost,
                     uint32_t* cumulativeLost, uint32_t* extendedHighest, uint32_t* jitter) {
  if (!inst || !fractionLost || !cumulativeLost || !extendedHighest || !jitter) return -1;
  TidepoolControl& c = inst->control;
  inst->lastError = 0;
  if (!c.statsStarted) {
    // Nothing received yet: nothing expected, nothing lost.
    *fractionLost = 0;
    *cumulativeLost = 0;
    *extendedHighest = 0;
    *jitter = 0;
    *expectedPrior = 0;
    *receivedPrior = 0;
    return 0;
  }
  // A reader whose interval began before the buffer was initialised again starts from zero.
  if (*receivedPrior > c.received) {
    *expectedPrior = 0;
    *receivedPrior = 0;
  }
  const uint32_t extended = (static_cast<uint32_t>(c.cycles) << 16) + c.highestSeq;
  const uint32_t expected = extended - c.baseSeq + 1u;
  const int64_t lost = static_cast<int64_t>(expected) - static_cast<int64_t>(c.received);
  *cumulativeLost = lost > 0 ? static_cast<uint32_t>(lost > 0xffffff ? 0xffffff : lost) : 0;
  const uint32_t expectedInterval = expected - *expectedPrior;
  const uint32_t receivedInterval = c.received - *receivedPrior;
  *expectedPrior = expected;
  *receivedPrior = c.received;
  uint32_t fraction = 0;
  if (expectedInterval >= receivedInterval) {
    const uint32_t lostInterval = static_cast<uint16_t>(expectedInterval - receivedInterval);
    if (expectedInterval != 0 && lostInterval != 0) {
      fraction = static_cast<uint32_t>((static_cast<uint64_t>(lostInterval) << 8) / expectedInterval);
      if (fraction > 255) fraction = 255;
    }
  }
  *fractionLost = static_cast<uint16_t>(fraction);
  *extendedHighest = extended;
  *jitter = c.jitter >> 4;
  return 0;
}

}  // namespace

int16_t TIDEPOOL_SONRA_10MS16B_GetRTCPStats(TidepoolInst* inst, uint16_t* fractionLost,
                                            uint32_t* cumulativeLost, uint32_t* extendedHighest,
                                            uint32_t* jitter) {
  if (!inst) return -1;
  return ReceiveStats(inst, &inst->control.expectedPrior, &inst->control.receivedPrior, fractionLost,
                      cumulativeLost, extendedHighest, jitter);
}

int16_t Tidepool_ReceiveStats(TidepoolInst* inst, TidepoolStatsInterval* interval, uint16_t* fractionLost,
                              uint32_t* cumulativeLost, uint32_t* extendedHighest, uint32_t* jitter) {
  if (!interval) return -1;
  return ReceiveStats(inst, &interval->expectedPrior, &interval->receivedPrior, fractionLost, cumulativeLost,
                      extendedHighest, jitter);
}

int32_t Tidepool_PeakPackets(const TidepoolInst* inst) { return inst ? inst->control.peakPackets : 0; }

int16_t TIDEPOOL_SONRA_10MS16B_GetLastError(TidepoolInst* inst) { return inst ? inst->lastError : -1; }

int16_t TIDEPOOL_SONRA_10MS16B_Version(char* text, int size) {
  static const char kVersion[] = "2.2.5";
  if (!text || size < static_cast<int>(sizeof kVersion)) return -1;
  memcpy(text, kVersion, sizeof kVersion);
  return 0;
}
