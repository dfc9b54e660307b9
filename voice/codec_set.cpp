// Channel codec set: the jitter buffer and codec instances of one receive path, and the encoders they share.
#include "voice/codec_set.h"

#include <cstring>
#include <string>

#include "platform/sync.h"
#include "voice/components.h"
#include "voice/dsp/cng.h"
#include "voice/dsp/g711.h"
#include "voice/trace.h"

ChannelCodecSet::ChannelCodecSet(int channel) : channel_(channel) {
  if (TIDEPOOL_SONRA_10MS16B_create(&jitter_) != 0) {
    EngineTrace()->Print(kTraceMemory, "TIDEPOOL_SONRA_10MS16B_create() failed (error code = %d)",
                         jitter_ ? static_cast<int>(TIDEPOOL_SONRA_10MS16B_GetLastError(jitter_)) : static_cast<int>(kTidepoolErrBufferInsert), -1);
    if (jitter_) TIDEPOOL_SONRA_10MS16B_free(jitter_);
    jitter_ = nullptr;
  }
  for (int kind = 0; kind < kCodecKindCount; ++kind) {
    const SonraCodecComponent* c = Sonra_CodecComponent(kind);
    if (!c) continue;
    Slot& s = slots_[kind];
    s.instance = c->create ? c->create() : nullptr;
    if (!s.instance) {
      if (kind == kCodecOstrel711A || kind == kCodecOstrel711U)
        EngineTrace()->Print(kTraceMemory,
                             kind == kCodecOstrel711A ? "OSTREL711A_SONRA_10MS16B_create() failed (error code = %d)"
                                                      : "OSTREL711U_SONRA_10MS16B_create() failed (error code = %d)",
                             2010, -1);
      continue;
    }
    s.decoder = s.instance;
    if (c->createDecoder) {
      s.decoder = c->createDecoder();
      if (!s.decoder) {
        c->release(s.instance);
        s.instance = nullptr;
        continue;
      }
    }
    s.component = c;
  }
  if (Cng_CreateDecoder(&cng_) != 0) cng_ = nullptr;
}

ChannelCodecSet::~ChannelCodecSet() {
  for (Slot& s : slots_) {
    if (!s.component) continue;
    if (s.decoder && s.decoder != s.instance && s.component->releaseDecoder) s.component->releaseDecoder(s.decoder);
    if (s.instance) s.component->release(s.instance);
    s = Slot{};
  }
  if (jitter_) TIDEPOOL_SONRA_10MS16B_free(jitter_);
  jitter_ = nullptr;
  if (cng_) Cng_FreeDecoder(cng_);
  cng_ = nullptr;
}

ChannelCodecSet::Slot* ChannelCodecSet::SlotOf(int kind) {
  if (kind < 0 || kind >= kCodecKindCount || !slots_[kind].component) return nullptr;
  return &slots_[kind];
}
const ChannelCodecSet::Slot* ChannelCodecSet::SlotOf(int kind) const {
  if (kind < 0 || kind >= kCodecKindCount || !slots_[kind].component) return nullptr;
  return &slots_[kind];
}

bool ChannelCodecSet::Has(int kind) const {
  switch (kind) {
    case kCodecPcmu:
    case kCodecPcma:
    case kCodecTelephoneEvent: return true;
    case kCodecCn: return cng_ != nullptr;
    default: return SlotOf(kind) != nullptr;
  }
}

int ChannelCodecSet::InitJitterBuffer(int rate) {
  if (!jitter_) return -1;
  if (TIDEPOOL_SONRA_10MS16B_Init(jitter_, rate) != 0) return -1;
  TIDEPOOL_SONRA_10MS16B_SetDTMFHandling(jitter_, 1);
  std::memset(reserved_, 0, sizeof reserved_);
  reservedFlag_ = 0;
  return 0;
}

int ChannelCodecSet::RegisterCodec(int kind, bool flag, int frameSamples, int payloadType) {
  Slot* s = SlotOf(kind);
  if (!s || !jitter_) return -1;
  const SonraCodecComponent* c = s->component;
  if (flag) {
    if (!c->decoderOps || TIDEPOOL_SONRA_10MS16B_AssignDecoder(jitter_, c->tidepoolCodec, c->decoderOps, s->decoder) < 0)
      return -1;
    // A refused payload type leaves the codec unregistered for receiving (the jitter buffer keeps
    // the reason); the shared instance is still initialised, since the send path encodes with it.
    TIDEPOOL_SONRA_10MS16B_RegisterPayload(jitter_, c->registerName, c->rate, static_cast<int16_t>(payloadType));
  }
  // A decoder of its own is initialised first; the encoder's init gives the result.
  if (c->initDecoder && s->decoder != s->instance) c->initDecoder(s->decoder, frameSamples);
  return c->initEncoder ? c->initEncoder(s->instance, frameSamples) : 0;
}

int ChannelCodecSet::RegisterCn(bool flag, int payloadType) {
  if (!jitter_) return -1;
  if (flag && (!cng_ || TIDEPOOL_SONRA_10MS16B_AssignCN(jitter_, cng_) != 0)) return -1;
  if (payloadType > 96) TIDEPOOL_SONRA_10MS16B_RegisterPayload(jitter_, "CN", 8000, static_cast<int16_t>(payloadType));
  return 0;
}

int ChannelCodecSet::RegisterTelephoneEvents(int payloadType) {
  if (!jitter_) return -1;
  const int r = TIDEPOOL_SONRA_10MS16B_RegisterPayload(jitter_, "audio/telephone-event", 8000,
                                                       static_cast<int16_t>(payloadType));
  TIDEPOOL_SONRA_10MS16B_SetDTMFHandling(jitter_, 1);
  return r;
}

int ChannelCodecSet::PutPacket(const uint8_t* packet, int length, int rate) {
  if (!jitter_) return -1;
  return TIDEPOOL_SONRA_10MS16B_RecIn(jitter_, packet, length, Tidepool_ArrivalTime(plat::NowMs(), rate));
}

int ChannelCodecSet::TakeTenMs(int16_t* out, int16_t* count) {
  if (!jitter_) return -1;
  return TIDEPOOL_SONRA_10MS16B_RecOut(jitter_, out, count);
}

int ChannelCodecSet::EncodeG711(bool ulaw, const int16_t* samples, int count, uint8_t* payload, int* length) {
  if (!samples || !payload || !length || count < 1 || count > 32767) {
    if (length) *length = 0;
    return -1;
  }
  *length = ulaw ? G711_LinearToUlaw(samples, static_cast<int16_t>(count), payload)
                 : G711_LinearToAlaw(samples, static_cast<int16_t>(count), payload);
  return 0;
}

int ChannelCodecSet::InitEncoder(int kind, int packetSamples) {
  Slot* s = SlotOf(kind);
  if (!s || !s->component->initEncoder) return -1;
  return s->component->initEncoder(s->instance, packetSamples);
}

int ChannelCodecSet::Encode(int kind, const int16_t* samples, int count, uint8_t* payload, int capacity) {
  Slot* s = SlotOf(kind);
  if (!s || !s->component->encode) return -1;
  return s->component->encode(s->instance, samples, count, payload, capacity);
}

int ChannelCodecSet::DecodeFrame(int kind, const uint8_t* payload, int length, int16_t* out, int capacity) {
  Slot* s = SlotOf(kind);
  if (!s || !s->component->decodeFrame) return -1;
  return s->component->decodeFrame(s->decoder, payload, length, out, capacity);
}

int ChannelCodecSet::InitDecoder(int kind, int frameSamples) {
  Slot* s = SlotOf(kind);
  if (!s || !s->component->initDecoder) return -1;
  return s->component->initDecoder(s->decoder, frameSamples);
}

int ChannelCodecSet::JitterLastError() const { return jitter_ ? TIDEPOOL_SONRA_10MS16B_GetLastError(jitter_) : -1; }

int ChannelCodecSet::CodecLastError(int kind) const {
  const Slot* s = SlotOf(kind);
  if (!s || !s->component->lastError) return -1;
  return s->component->lastError(s->instance);
}

int ChannelCodecSet::RtcpStats(uint16_t* fractionLost, uint32_t* cumulativeLost, uint32_t* extendedHighest,
                               uint32_t* jitter) {
  if (!jitter_) return -1;
  TIDEPOOL_SONRA_10MS16B_GetRTCPStats(jitter_, fractionLost, cumulativeLost, extendedHighest, jitter);
  return 0;
}

int ChannelCodecSet::RtcpStats(TidepoolStatsInterval* interval, uint16_t* fractionLost, uint32_t* cumulativeLost,
                               uint32_t* extendedHighest, uint32_t* jitter) {
  if (!jitter_) return -1;
  return Tidepool_ReceiveStats(jitter_, interval, fractionLost, cumulativeLost, extendedHighest, jitter);
}

int ChannelCodecSet::PeakPackets() const { return jitter_ ? Tidepool_PeakPackets(jitter_) : 0; }

int ChannelCodecSet::BufferedMs() const { return jitter_ ? Tidepool_BufferedMs(jitter_) : 0; }

uint32_t ChannelCodecSet::PlayoutTimestamp() const {
  uint32_t ts = 0;
  if (jitter_) TIDEPOOL_SONRA_10MS16B_GetPlayoutTimestamp(jitter_, &ts);
  return ts;
}

int ChannelCodecSet::ReceiveVersions(char* text, int size) const {
  if (!text || size < 500) return -1;
  char list[2048];
  if (Sonra_ComponentVersionList(list, sizeof list) < 0) return -1;
  const std::string all(list);
  std::string out;
  static const char* const kKeys[] = {"Tidepool", "G711\n", "OSTREL711A", "OSTREL711U", "OSTRELWB",
                                      "ILBC",     "QUILL",  "CNG",        "audio/telephone-event"};
  for (const char* key : kKeys) {
    size_t lineStart = 0;
    while (lineStart < all.size()) {
      size_t lineEnd = all.find('\n', lineStart);
      if (lineEnd == std::string::npos) lineEnd = all.size() - 1;
      const std::string line = all.substr(lineStart, lineEnd - lineStart + 1);
      const size_t at = line.find(key);
      if (at != std::string::npos) {
        out += line.substr(at);
        break;
      }
      lineStart = lineEnd + 1;
    }
  }
  if (out.size() + 1 > static_cast<size_t>(size)) return -1;
  std::memcpy(text, out.c_str(), out.size() + 1);
  return 0;
}
