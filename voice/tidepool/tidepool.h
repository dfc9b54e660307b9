// Tidepool: the engine's adaptive jitter buffer; RTP packets in, exactly 10 ms of 16-bit audio out.
#pragma once

#include <cstdint>

struct TidepoolInst;
struct CngDecoderInst;

// Error codes kept in the instance (TIDEPOOL_SONRA_10MS16B_GetLastError).
enum TidepoolError : int16_t {
  kTidepoolOk = 0,
  kTidepoolErrBufferInsert = 1010,    // a frame could not be stored in the packet buffer
  kTidepoolErrRate = 1030,            // sampling rate other than 8000 or 16000
  kTidepoolErrPayloadInUse = 1040,    // payload type already used by another codec
  kTidepoolErrPayloadRange = 1050,    // payload type outside 96..127 at registration
  kTidepoolErrDecode = 1060,          // the decoder's decode or conceal entry failed
  kTidepoolErrPacket = 1070,          // malformed packet, payload length out of range, refused SID
  kTidepoolErrNoDecoder = 1090,       // no decoder instance for the codec, or none given
  kTidepoolErrUnknownPayload = 1100,  // payload type (or registration name) not in the codec table
  kTidepoolErrLateFrame = 1120,       // the late-frame entry of an Ostrel decoder failed
};

// The codec table's entries, in table order. PCMU, PCMA, CN and telephone events have no entry.
enum TidepoolCodec : int {
  kTidepoolOstrel711A = 0,
  kTidepoolOstrel711U,
  kTidepoolOstrelWb,
  kTidepoolG722,
  kTidepoolG7221_16,
  kTidepoolG7221_24,
  kTidepoolG7221_32,
  kTidepoolAmr,
  kTidepoolIlbc,
  kTidepoolQuill,
  kTidepoolG729,
  kTidepoolG723,
  kTidepoolGsm,
  kTidepoolGsmEfr,
  kTidepoolCodecCount
};

// Decoder kinds of a decoder record.
enum TidepoolDecoderKind : int16_t {
  kTidepoolKindNone = 0,
  kTidepoolKindG711 = 1,
  kTidepoolKindOstrel = 2,
  kTidepoolKindOther = 4,
};

// Speech types a decode entry reports.
enum TidepoolSpeechType : int16_t { kTidepoolSpeech = 1, kTidepoolComfortNoise = 2 };

// The routines of one decoder, as a codec registers them with the jitter buffer. Adding a codec is
// filling one of these and attaching it with TIDEPOOL_SONRA_10MS16B_AssignDecoder; the jitter buffer
// itself does not change. Every entry may be null except decode.
struct TidepoolDecoderOps {
  // Decodes one frame into at most `capacity` samples; returns the count, or -1.
  int (*decode)(void* decoder, const uint8_t* payload, int length, int16_t* out, int capacity,
                int16_t* speechType);
  // Produces audio for one missing frame (at most `capacity` samples); returns the count, or -1.
  // Null means silence.
  int (*conceal)(void* decoder, int16_t* out, int capacity);
  // Resets the decoder for a new stream; returns 0 or -1.
  int (*init)(void* decoder);
  // Ostrel family: core decode of a frame that arrived one frame late (0 or -1).
  int (*lateFrame)(void* decoder, const uint8_t* payload, int length);
  // Ostrel family: the decoder's information counter (0 when it holds nothing back).
  int (*info)(void* decoder);
  // A second frame mode chosen by payload length (iLBC's 20-ms frames): its decode and init.
  int (*decodeAlt)(void* decoder, const uint8_t* payload, int length, int16_t* out, int capacity,
                   int16_t* speechType);
  int (*initAlt)(void* decoder);
  // Called with every arriving payload of the codec before it is buffered (Quill's bandwidth
  // estimation); the result is ignored.
  int (*arrival)(void* decoder, const uint8_t* payload, int length, uint16_t sequence, uint32_t arrival);
  int16_t kind;   // TidepoolDecoderKind
  int32_t rate;   // 8000 or 16000
};

// Component operations. Each returns 0 (or a count) on success and -1 on failure with the reason
// kept in the instance.
int16_t TIDEPOOL_SONRA_10MS16B_create(TidepoolInst** inst);
int16_t TIDEPOOL_SONRA_10MS16B_free(TidepoolInst* inst);
int16_t TIDEPOOL_SONRA_10MS16B_Init(TidepoolInst* inst, int32_t rate);
int16_t TIDEPOOL_SONRA_10MS16B_RegisterPayload(TidepoolInst* inst, const char* name, int32_t rate,
                                               int16_t payloadType);
// Attaches a caller-created decoder to its codec entry and runs its init; the decoder is attached
// only when init succeeds. Returns the init result (0 when there is none).
int16_t TIDEPOOL_SONRA_10MS16B_AssignDecoder(TidepoolInst* inst, TidepoolCodec codec,
                                             const TidepoolDecoderOps* ops, void* decoder);
// Attaches the comfort-noise decoder (voice/dsp/cng.h) and initialises it; its init result.
int16_t TIDEPOOL_SONRA_10MS16B_AssignCN(TidepoolInst* inst, CngDecoderInst* cngDecoder);

// Inserts one RTP packet; `arrival` is the arrival time in samples of the codec clock
// (see Tidepool_ArrivalTime).
int16_t TIDEPOOL_SONRA_10MS16B_RecIn(TidepoolInst* inst, const uint8_t* packet, int32_t length,
                                     uint32_t arrival);
// Writes exactly 10 ms (80 samples at 8000 Hz, 160 at 16000 Hz) and the count. On -1 the samples are
// silence and the count is still the 10 ms.
int16_t TIDEPOOL_SONRA_10MS16B_RecOut(TidepoolInst* inst, int16_t* out, int16_t* count);
int16_t TIDEPOOL_SONRA_10MS16B_SetDTMFHandling(TidepoolInst* inst, int32_t flag);
int16_t TIDEPOOL_SONRA_10MS16B_GetRTCPStats(TidepoolInst* inst, uint16_t* fractionLost,
                                            uint32_t* cumulativeLost, uint32_t* extendedHighest,
                                            uint32_t* jitter);
// The same statistics over an interval the caller keeps, so a reader of its own (the engine's
// statistics query) does not shorten the interval of the next RTCP report.
struct TidepoolStatsInterval {
  uint32_t expectedPrior = 0;
  uint32_t receivedPrior = 0;
};
int16_t Tidepool_ReceiveStats(TidepoolInst* inst, TidepoolStatsInterval* interval, uint16_t* fractionLost,
                              uint32_t* cumulativeLost, uint32_t* extendedHighest, uint32_t* jitter);
// The most packets the buffer has held since init.
int32_t Tidepool_PeakPackets(const TidepoolInst* inst);
// Audio held for playout, in ms: buffered packets times the playout frame plus the output buffer.
int32_t Tidepool_BufferedMs(const TidepoolInst* inst);
int16_t TIDEPOOL_SONRA_10MS16B_GetPlayoutTimestamp(TidepoolInst* inst, uint32_t* timestamp);
int16_t TIDEPOOL_SONRA_10MS16B_GetLastError(TidepoolInst* inst);
// Copies "2.2.5" with its terminator; -1 when `size` is below 6.
int16_t TIDEPOOL_SONRA_10MS16B_Version(char* text, int size = 6);

// Arrival time in samples of a `rate` clock from a millisecond time, computed in 64 bits and kept
// modulo 2^32 so it never overflows however long the program runs.
inline uint32_t Tidepool_ArrivalTime(uint64_t milliseconds, int32_t rate) {
  return static_cast<uint32_t>(milliseconds * static_cast<uint64_t>(rate < 0 ? 0 : rate) / 1000u);
}
