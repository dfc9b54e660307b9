// Channel codec set: one jitter buffer with the codec instances of one receive path, behind one call per task.
#pragma once

#include <cstdint>

#include "voice/engine_defs.h"
#include "voice/tidepool/tidepool.h"

struct CngDecoderInst;
struct SonraCodecComponent;

class ChannelCodecSet {
 public:
  explicit ChannelCodecSet(int channel);
  virtual ~ChannelCodecSet();
  ChannelCodecSet(const ChannelCodecSet&) = delete;
  ChannelCodecSet& operator=(const ChannelCodecSet&) = delete;

  int Channel() const { return channel_; }
  TidepoolInst* Jitter() const { return jitter_; }
  // True when the codec's instance exists (G.711, CN and telephone events need none).
  bool Has(int kind) const;

  // Initialises the jitter buffer at rate with DTMF handling on; 0, or -1.
  int InitJitterBuffer(int rate);
  // Registers a component codec (Ostrel711, wideband, iLBC, Quill): attaches its decoder and
  // payload type when flag is set, then initialises its instance for the frame size.
  // The init result; -1 when the instance is missing or the attachment fails.
  int RegisterCodec(int kind, bool flag, int frameSamples, int payloadType);
  // Attaches the comfort-noise decoder; registers the payload type as "CN" when above 96.
  int RegisterCn(bool flag, int payloadType);
  // Registers telephone events at 8000 Hz and turns DTMF handling on.
  int RegisterTelephoneEvents(int payloadType);

  // Puts one RTP packet in, with the arrival time taken now in units of rate.
  int PutPacket(const uint8_t* packet, int length, int rate);
  // Takes 10 ms out (80 or 160 samples); 0 or -1 (the samples are then silence).
  int TakeTenMs(int16_t* out, int16_t* count);

  // G.711 compression; 0, or -1 with length 0.
  int EncodeG711(bool ulaw, const int16_t* samples, int count, uint8_t* payload, int* length);
  // Component encoders on this set's instance: init for a packet size, encode (bytes, 0, or -1).
  int InitEncoder(int kind, int packetSamples);
  int Encode(int kind, const int16_t* samples, int count, uint8_t* payload, int capacity);
  // Decodes one stored frame with the kind's decoder (file conversion); samples or -1.
  int DecodeFrame(int kind, const uint8_t* payload, int length, int16_t* out, int capacity);
  int InitDecoder(int kind, int frameSamples);

  int JitterLastError() const;
  int CodecLastError(int kind) const;
  int RtcpStats(uint16_t* fractionLost, uint32_t* cumulativeLost, uint32_t* extendedHighest, uint32_t* jitter);
  // The same over an interval the caller keeps (the engine's statistics query).
  int RtcpStats(TidepoolStatsInterval* interval, uint16_t* fractionLost, uint32_t* cumulativeLost,
                uint32_t* extendedHighest, uint32_t* jitter);
  int PeakPackets() const;
  int BufferedMs() const;
  uint32_t PlayoutTimestamp() const;
  // The receive-side lines of the version list; 0, or -1 when size is below 500.
  int ReceiveVersions(char* text, int size) const;

 private:
  struct Slot {
    const SonraCodecComponent* component = nullptr;
    void* instance = nullptr;
    void* decoder = nullptr;  // separate decoder instance, or the instance itself
  };
  Slot* SlotOf(int kind);
  const Slot* SlotOf(int kind) const;

  int channel_;
  TidepoolInst* jitter_ = nullptr;
  // Kept for the engine, cleared at jitter-buffer init.
  int32_t reserved_[3] = {};
  uint8_t reservedFlag_ = 0;
  Slot slots_[kCodecKindCount];
  CngDecoderInst* cng_ = nullptr;
};
