// Tidepool internals: instance layout, packet buffer, and the playout-side signal operations.
#pragma once

#include <cstdint>

#include "voice/tidepool/tidepool.h"

namespace tidepool {

constexpr int kSlots = 30;
constexpr int kPayloadMemory = 4244;
constexpr int kPayloadLimit = 4242;  // largest payload RecIn accepts, and the ring's usable end
constexpr int kMaxFrameBytes = 808;

constexpr uint16_t kNoPayloadType = 65535;
constexpr uint16_t kFrameWhole = 65535;
constexpr uint16_t kFrameSampleBased = 65534;
constexpr uint16_t kFrameTyped = 65533;

// Packet kinds stored per slot.
constexpr uint16_t kKindSpeech = 8;
constexpr uint16_t kKindComfortNoise = 1;
constexpr uint16_t kKindEvent = 4;

// Playout-side sizes (samples at 16000 Hz, the larger rate).
constexpr int kHistoryMax = 640;     // 320 << s
constexpr int kTailMax = 10;         // 5 << s
constexpr int kDecodeMax = 2048;     // one decoded frame (sample-based payloads up to 808 bytes,
                                     // doubled for 16-kHz clocks)
constexpr int kOutMax = 8192;        // output buffer: leftovers plus one processed frame
constexpr int kLagTable = 121;

// Playout operations reported as the last operation.
enum LastOp : int32_t {
  kOpNormal = 0,
  kOpExpand = 1,
  kOpMerge = 2,
  kOpStretched = 3,
  kOpUnchanged = 4,
  kOpComfortNoise = 5,
  kOpQuietFade = 6,
};

struct PacketSlot {
  int32_t offset;      // start of the payload in the payload memory
  uint32_t timestamp;
  uint16_t length;     // 0 = slot free
  uint16_t kind;
};

struct PacketBuffer {
  uint8_t memory[kPayloadMemory];
  int32_t writePos;
  PacketSlot slots[kSlots];
  int32_t count;
  int32_t cnCount;
  int32_t maxPackets;
};

// What RecIn installs and the playout side copies: one codec's routines plus its instance.
struct DecoderRecord {
  const TidepoolDecoderOps* ops;  // never null after init (the null decoder)
  bool useAlt;                    // decode/init through the alternate frame mode (iLBC 20 ms)
  bool testSignal;                // the test-signal decoder replaces decode
  void* instance;
  int16_t kind;
  int32_t rate;
};

bool SameDecode(const DecoderRecord& a, const DecoderRecord& b);
int RecordDecode(const DecoderRecord& r, const uint8_t* payload, int length, int16_t* out, int capacity,
                 int16_t* speechType);
int RecordInit(const DecoderRecord& r);
int RecordConceal(const DecoderRecord& r, int16_t* out, int capacity);
DecoderRecord NullRecord();

struct CodecEntry {
  const TidepoolDecoderOps* ops;  // null = no decoder attached
  void* instance;
  int16_t payloadType;            // -1 = not registered
};

// Receive-side control block.
struct TidepoolControl {
  DecoderRecord decoder;
  uint32_t lastTimestamp;
  int32_t codecChanged;
  uint32_t playoutTimestamp;
  int32_t firstPacket;
  uint16_t currentPayloadType;
  int32_t playoutFrameSize;
  int32_t wideband;
  int32_t peakPackets;
  int32_t statsStarted;
  uint32_t ssrc;
  int16_t error;
  uint16_t samplesPerFrame;
  uint16_t bytesPerFrame;
  int32_t frameRule;
  uint16_t eventPayloadType;
  uint16_t cnPayloadType;
  int32_t dtmfHandling;
  PacketBuffer* buffer;
  TidepoolInst* owner;
  // receive statistics
  uint16_t cycles;
  uint16_t highestSeq;
  uint16_t baseSeq;
  uint32_t expectedPrior;
  uint32_t receivedPrior;
  uint32_t received;
  uint32_t jitter;  // sixteenths of a sample
  uint32_t lastTransit;
  int32_t overflowDiscarded;
  uint32_t lastInOrderTimestamp;
  int16_t timestampGap;
  int32_t lastPacketSamples;
  uint16_t pcmuPayloadType;
  uint16_t pcmaPayloadType;
  CodecEntry codecs[kTidepoolCodecCount];
  bool g722Doubling;
  int32_t flushed;    // an overflow dropped the oldest frames; playout restarts at the oldest kept
  int32_t newSource;  // the SSRC changed and no speech of the new source has set the timeline yet
};

struct DtmfEvent {
  uint16_t event;   // 65535 = empty
  uint16_t volume;
  uint16_t endFlag;
  uint32_t start;
  uint32_t end;
};

struct DtmfState {
  int32_t rate;
  int16_t newTone;
  int16_t rowHist[2];  // y[n-1], y[n-2]
  int16_t colHist[2];
  int32_t overrun;
  int32_t maxOverrun;
  DtmfEvent queue[4];
  int32_t queued;
  // The last event that finished playing, so its repeated end packets do not start it again.
  int32_t finishedValid;
  uint16_t finishedEvent;
  uint32_t finishedStart;
};

struct PlayoutState {
  int16_t history[kHistoryMax];
  int16_t tail[kTailMax];
  int16_t out[kOutMax];
  int32_t outLen;
  DecoderRecord decoder;
  int32_t rate;
  int32_t shift;
  uint32_t returnedTimestamp;
  int32_t returnedStarted;
  int32_t frameSize;  // samples per decoded frame
  int32_t mode;
  int32_t lastOp;
  int32_t concealCount;
  int64_t concealSpan;  // samples produced since the last decoded frame
  int16_t mute;       // Q14
  int32_t cnMode;
  int32_t cnStarted;
  int32_t cnActive;
  int32_t outputStarted;
  int32_t allowance;
  int32_t levelFilter;
  int32_t levelPeak;
  uint32_t concealedTotal;
  uint32_t discardedTotal;
  uint32_t noiseIndex;
  int32_t afterTone;
  // expand analysis
  int32_t lag;        // P
  int32_t voiced;
  int16_t rising;
  int16_t speechPoly[5];
  int16_t maState[4];
  int16_t arHigh[4];
  int16_t arLow[4];
  // background-noise model
  int16_t bgPoly[50][5];
  int32_t bgEnergy[50];
  int32_t bgWrite;
  int32_t bgCount;
  int16_t bgHigh[4];
  int16_t bgLow[4];
  int16_t bgScale;
  int16_t bgRecompute;
  int32_t longLevel;
  int32_t shortLevel;
  int32_t prefetch;
  int16_t cnAvailable;  // a SID has described the background
  CngDecoderInst* cng;
  DtmfState dtmf;
  int16_t error;
  // counters for figures (not part of the decision logic)
  uint32_t accelerateCount;
  uint32_t acceleratedSamples;
  uint32_t mergeCount;
};

}  // namespace tidepool

struct TidepoolInst {
  tidepool::PlayoutState playout;
  tidepool::TidepoolControl control;
  tidepool::PacketBuffer* buffer;
  int16_t lastError;
};

namespace tidepool {

// Packet buffer.
void PacketBufferReset(PacketBuffer* pb);
void PacketBufferSetMax(PacketBuffer* pb, int32_t frameSize);
int PacketBufferInsert(PacketBuffer* pb, const uint8_t* payload, int length, uint32_t timestamp,
                       uint16_t kind);
int PacketBufferExtractSpeech(PacketBuffer* pb, uint32_t timestamp, uint8_t* out, int capacity);
int PacketBufferExtractKind(PacketBuffer* pb, uint32_t timestamp, uint16_t kind, uint8_t* out,
                            int capacity);
bool PacketBufferContains(const PacketBuffer* pb, uint32_t timestamp, uint16_t kind);
uint32_t PacketBufferOldest(const PacketBuffer* pb);
bool PacketBufferOldestOfKind(const PacketBuffer* pb, uint16_t kind, uint32_t* timestamp);
void PacketBufferDiscardOldest(PacketBuffer* pb, int32_t keep);

// Codec table and receive side.
void ControlInit(TidepoolControl* c, TidepoolInst* owner, PacketBuffer* pb);
int FrameInsert(TidepoolControl* c, const uint8_t* payload, int length, uint32_t timestamp,
                uint16_t payloadType);
extern const TidepoolDecoderOps kNullDecoderOps;
extern const TidepoolDecoderOps kPcmuOps;
extern const TidepoolDecoderOps kPcmaOps;

// Playout side.
void PlayoutInit(TidepoolInst* inst, int32_t rate);

// DTMF tones.
void Tidepool_DtmfInit(DtmfState* d, int32_t rate);
int Tidepool_DtmfAddEvent(DtmfState* d, const uint8_t* payload, int length, uint32_t timestamp);
int Tidepool_DtmfGenerate(DtmfState* d, uint32_t timestamp, int16_t* out);
void Tidepool_DtmfPopEvent(DtmfState* d);

// Random values: reads n values of the 512-entry table from *index and advances it.
void ReadRandom(uint32_t* index, int16_t* out, int n);

// Expand (concealment) and its analysis.
int Tidepool_Expand(TidepoolInst* inst, const int16_t* signal, int n, int count, int16_t* mute,
                    const int16_t* history, int activity, int16_t* out);
void Tidepool_ExpandAnalysis(TidepoolInst* inst, const int16_t* signal, int n, int mode,
                             const int16_t* history);
void Tidepool_UpdateNoiseModel(TidepoolInst* inst, const int16_t* samples, int n);
int Tidepool_UpdateLevels(TidepoolInst* inst, const int16_t* samples, int n);
void Tidepool_MuteRamp(int16_t* x, int n, int16_t* mute);
void Tidepool_FadeToTarget(int16_t* x, int n, int16_t target);
void Tidepool_LpcOfBlock(const int16_t* x, int n, int16_t* poly);
void Tidepool_FilterMA4(const int16_t* a, const int16_t* x, int n, int16_t* state, int16_t* out);
void Tidepool_FilterAR4(const int16_t* a, const int16_t* x, int n, int16_t* high, int16_t* low,
                        int16_t* out);
int Tidepool_Decimate(const int16_t* x, int n, int d, const int16_t* filter, int16_t* out);
extern const int16_t kDecimateA[7];
extern const int16_t kDecimateB[7];
void Tidepool_VoicingDecision(const int16_t* w, int16_t r, int32_t* voiced, int16_t* best,
                              int16_t* work);

// Merge, accelerate and the cross-fade.
int Tidepool_CrossFade(const int16_t* a, int nA, const int16_t* b, int nB, int16_t* out, int l);
void Tidepool_TimeStretch(TidepoolInst* inst, int16_t* a, int nA, const int16_t* b, int nB,
                          int32_t threshold, int hint, int minLag, int activity, int16_t* out,
                          int* outLen);
int Tidepool_Merge(TidepoolInst* inst, int16_t* a, int nA, const int16_t* b, int nB, int16_t* mute,
                   int32_t jump, int activity, int16_t* out);
int Tidepool_AutocorrPeakLag(const int16_t* x, int n, int lo, int hi, int s);

// Vector helpers the jitter buffer adds to the shared primitives.
int Spl_MinValueIndexW16(const int16_t* v, int n, int16_t* value);
int Spl_MaxValueIndexW16(const int16_t* v, int n, int16_t* value);
int16_t Spl_MinValueW16(const int16_t* v, int n);
void Spl_ShiftVectorW16(int16_t* out, const int16_t* in, int n, int k);

}  // namespace tidepool
