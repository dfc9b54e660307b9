// Tidepool packet buffer: 30 slots over a circular payload memory, with extraction by timestamp.
#include <cstring>

#include "voice/tidepool/tidepool_internal.h"

namespace tidepool {

namespace {

void FreeSlot(PacketBuffer* pb, int i) {
  if (pb->slots[i].length == 0) return;
  if (pb->slots[i].kind == kKindComfortNoise && pb->cnCount > 0) --pb->cnCount;
  pb->slots[i].length = 0;
  --pb->count;
}

// Older by 1 .. 4799 samples, in the timestamps' wrapping arithmetic.
bool RecentlyOlder(uint32_t ts, uint32_t reference) {
  const uint32_t d = reference - ts;
  return d >= 1 && d <= 4799;
}

int32_t SignedDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

}  // namespace

void PacketBufferReset(PacketBuffer* pb) {
  for (auto& slot : pb->slots) slot = PacketSlot{0, 0, 0, 0};
  pb->count = 0;
  pb->cnCount = 0;
  pb->writePos = 0;
}

void PacketBufferSetMax(PacketBuffer* pb, int32_t frameSize) {
  if (frameSize < 80)
    pb->maxPackets = 30;
  else if (frameSize < 160)
    pb->maxPackets = 15;
  else if (frameSize < 240)
    pb->maxPackets = 10;
  else if (frameSize < 320)
    pb->maxPackets = 7;
  else if (frameSize < 400)
    pb->maxPackets = 5;
  else
    pb->maxPackets = 4;
}

int PacketBufferInsert(PacketBuffer* pb, const uint8_t* payload, int length, uint32_t timestamp,
                       uint16_t kind) {
  // A zero length would mark the slot free; such a frame cannot be stored.
  if (pb->count >= pb->maxPackets || length > kMaxFrameBytes || length <= 0) return -1;
  int slot = -1;
  for (int i = 0; i < kSlots; ++i) {
    if (pb->slots[i].length == 0) {
      slot = i;
      break;
    }
  }
  if (slot < 0 || slot > pb->maxPackets) {
    PacketBufferReset(pb);
    return -1;
  }
  const int space = (length + 1) & ~1;
  if (pb->writePos + space > kPayloadLimit) pb->writePos = 0;
  const int begin = pb->writePos;
  const int end = begin + space;
  for (const auto& s : pb->slots) {
    if (s.length == 0) continue;
    const int sBegin = s.offset;
    const int sEnd = s.offset + ((s.length + 1) & ~1);
    if (begin < sEnd && sBegin < end) {
      // The ring has caught up with a payload still waiting: start over rather than corrupt it.
      PacketBufferReset(pb);
      slot = 0;
      break;
    }
  }
  pb->writePos = end;
  memcpy(pb->memory + begin, payload, static_cast<size_t>(length));
  pb->slots[slot] = PacketSlot{begin, timestamp, static_cast<uint16_t>(length), kind};
  ++pb->count;
  if (kind == kKindComfortNoise) ++pb->cnCount;
  if (kind == kKindSpeech) {
    // Speech supersedes any comfort-noise description still waiting.
    for (int i = 0; i < kSlots; ++i)
      if (pb->slots[i].length != 0 && pb->slots[i].kind == kKindComfortNoise) FreeSlot(pb, i);
    pb->cnCount = 0;
  }
  return 0;
}

int PacketBufferExtractSpeech(PacketBuffer* pb, uint32_t timestamp, uint8_t* out, int capacity) {
  int found = -1;
  for (int i = 0; i < kSlots; ++i) {
    const PacketSlot& s = pb->slots[i];
    if (s.length == 0) continue;
    if (found < 0 && s.kind == kKindSpeech && s.timestamp == timestamp) {
      found = i;
    } else if (RecentlyOlder(s.timestamp, timestamp)) {
      FreeSlot(pb, i);
    }
  }
  if (found < 0) return 0;
  const int length = pb->slots[found].length;
  if (length > capacity) {
    FreeSlot(pb, found);
    return 0;
  }
  memcpy(out, pb->memory + pb->slots[found].offset, static_cast<size_t>(length));
  FreeSlot(pb, found);
  return length;
}

int PacketBufferExtractKind(PacketBuffer* pb, uint32_t timestamp, uint16_t kind, uint8_t* out,
                            int capacity) {
  int found = -1;
  for (int i = 0; i < kSlots; ++i) {
    const PacketSlot& s = pb->slots[i];
    if (s.length == 0) continue;
    if (s.kind == kind) found = i;
    else if (s.kind == kKindSpeech && RecentlyOlder(s.timestamp, timestamp)) FreeSlot(pb, i);
  }
  if (found < 0) return 0;
  const PacketSlot s = pb->slots[found];
  FreeSlot(pb, found);
  if (s.length + 4 > capacity) return 0;
  out[0] = static_cast<uint8_t>(s.timestamp >> 24);
  out[1] = static_cast<uint8_t>(s.timestamp >> 16);
  out[2] = static_cast<uint8_t>(s.timestamp >> 8);
  out[3] = static_cast<uint8_t>(s.timestamp);
  memcpy(out + 4, pb->memory + s.offset, s.length);
  return s.length + 4;
}

bool PacketBufferContains(const PacketBuffer* pb, uint32_t timestamp, uint16_t kind) {
  for (const auto& s : pb->slots)
    if (s.length != 0 && s.timestamp == timestamp && s.kind == kind) return true;
  return false;
}

uint32_t PacketBufferOldest(const PacketBuffer* pb) {
  bool any = false;
  uint32_t oldest = 0;
  for (const auto& s : pb->slots) {
    if (s.length == 0) continue;
    if (!any || SignedDiff(s.timestamp, oldest) < 0) oldest = s.timestamp;
    any = true;
  }
  return oldest;
}

bool PacketBufferOldestOfKind(const PacketBuffer* pb, uint16_t kind, uint32_t* timestamp) {
  bool any = false;
  for (const auto& s : pb->slots) {
    if (s.length == 0 || s.kind != kind) continue;
    if (!any || SignedDiff(s.timestamp, *timestamp) < 0) *timestamp = s.timestamp;
    any = true;
  }
  return any;
}

void PacketBufferDiscardOldest(PacketBuffer* pb, int32_t keep) {
  if (keep < 0) keep = 0;
  while (pb->count > keep) {
    int oldest = -1;
    for (int i = 0; i < kSlots; ++i) {
      if (pb->slots[i].length == 0) continue;
      if (oldest < 0 || SignedDiff(pb->slots[i].timestamp, pb->slots[oldest].timestamp) < 0) oldest = i;
    }
    if (oldest < 0) break;
    FreeSlot(pb, oldest);
  }
}

}  // namespace tidepool
