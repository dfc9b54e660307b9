// The engine's component table (codecs and processing cores, each present once registered) and their wrappers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "voice/engine_defs.h"
#include "voice/tidepool/tidepool.h"

// ---------------------------------------------------------------------------
// Component table
// ---------------------------------------------------------------------------
// G.711, comfort noise and telephone events are always present. Every other codec and
// processing core is present once registered; Sonra_RegisterBuiltInComponents registers this
// build's (voice/builtin_*.cpp), and tests may swap one for a fake. An unregistered codec is
// left out of the codec lists, refused as a send codec, not registered with the jitter buffer,
// and named "not present" in the version list.

// A codec beyond G.711: one instance serves encoding and, when decoderOps is given, decoding
// through the jitter buffer (a separate decoder instance when createDecoder is given).
struct SonraCodecComponent {
  int kind;                 // SonraCodecKind
  TidepoolCodec tidepoolCodec;
  const char* registerName;  // name registered with the jitter buffer
  int rate;                 // 8000 or 16000
  void* (*create)();
  void (*release)(void* instance);
  // Encoder init for the packet size in samples (0 or -1).
  int (*initEncoder)(void* instance, int packetSamples);
  // Encodes samples (one 10-ms frame, or a whole packet for collecting codecs); returns the
  // payload bytes (0 while a packet is not complete) or -1.
  int (*encode)(void* instance, const int16_t* samples, int count, uint8_t* payload, int capacity);
  // Whether the send path collects 10-ms frames into whole packets before encoding (iLBC).
  bool collectsFrames;
  // Decoder instance, when separate from the encoder's.
  void* (*createDecoder)();
  void (*releaseDecoder)(void* decoder);
  // Decoder init for a frame size in samples (0 or -1).
  int (*initDecoder)(void* decoder, int frameSamples);
  const TidepoolDecoderOps* decoderOps;
  // Decodes one stored frame (file conversion); samples or -1.
  int (*decodeFrame)(void* decoder, const uint8_t* payload, int length, int16_t* out, int capacity);
  int (*lastError)(void* instance);
  // Writes the version text (one line with its end); 0 or -1 when size is too small.
  int (*version)(char* text, int size);
};

// Voice activity detector core.
struct SonraVadCore {
  void* (*create)();
  void (*release)(void* inst);
  int (*init)(void* inst, int mode);
  // 1 or more for speech, 0 for silence, -1 on error.
  int (*process)(void* inst, int rate, const int16_t* frame, int length);
};

// Gain-control core: digital gain, far-end analysis, speech detector and sub-frame energy.
struct SonraAgcCore {
  void* (*create)();
  void (*release)(void* inst);
  int (*init)(void* inst);
  int (*process)(const int16_t* in, int16_t* out, void* inst, int rate);  // 10 ms; 0 or -1
  int (*addFarEnd)(const int16_t* samples, void* inst, int rate);          // 10 ms; 0 or -1
  // Speech detector on 10 ms at rate: updates and returns the log ratio.
  int (*detect)(void* inst, const int16_t* samples, int length, int rate);
  int (*longTermDeviation)(void* inst);
  void (*version)(char* text);  // at most 15 characters with the end
};

// Fixed-point echo suppressor (AES FIX).
struct SonraAesCore {
  void* (*create)();
  void (*release)(void* inst);
  int (*init)(void* inst, int level, int flag1, int flag2);
  int (*process)(void* inst, const int16_t* nearEnd, int16_t* out, int wideband, int delayMs);
  int (*addFarEnd)(void* inst, const int16_t* samples, int wideband);
};

// Floating-point echo canceller core (AEC PC).
struct SonraAecPcCore {
  void* (*create)();
  void (*release)(void* inst);
  int (*init)(void* inst, int rate, int option);
  int (*setMode)(void* inst, int mode);
  int (*process)(void* inst, int16_t* samples, int length, int delayMs);  // in place
  int (*addFarEnd)(void* inst, const int16_t* samples, int length);       // one 80-sample frame
  int (*activity)(void* inst);
};

// Registration (replaces an earlier one of the same kind; null removes it).
void Sonra_RegisterCodec(int kind, const SonraCodecComponent* component);
void Sonra_RegisterVad(const SonraVadCore* core);
void Sonra_RegisterAgc(const SonraAgcCore* core);
void Sonra_RegisterAes(const SonraAesCore* core);
void Sonra_RegisterAecPc(const SonraAecPcCore* core);
// Registers every component this build has (replacing any fake); called by the engine's construction.
void Sonra_RegisterBuiltInComponents();

const SonraCodecComponent* Sonra_CodecComponent(int kind);
// G.711, comfort noise and telephone events always; the others when registered.
bool Sonra_CodecPresent(int kind);
const SonraVadCore* Sonra_VadCore();
const SonraAgcCore* Sonra_AgcCore();
const SonraAesCore* Sonra_AesCore();
const SonraAecPcCore* Sonra_AecPcCore();

// ---------------------------------------------------------------------------
// Echo-canceller wrappers
// ---------------------------------------------------------------------------

enum AecPcError : int {
  kAecPcNotInitialised = 11001,
  kAecPcVersionBuffer = 11002,
  kAecPcBadLength = 11005,
  kAecPcNegativeDelay = 11006,
  kAecPcDelayClamped = 11007,
  kAecPcBadMode = 11010,
};

// The AEC PC echo canceller as the send path and the mixer see it.
class AecPcBase {
 public:
  virtual ~AecPcBase() = default;
  virtual int Init(int rate, int option) = 0;
  virtual int SetMode(int mode) = 0;
  virtual int ProcessNearEnd(const int16_t* in, int16_t* out, int length, int delayMs) = 0;
  virtual int AddFarEnd(const int16_t* samples, int length) = 0;
  virtual int Version(char* text, int size) = 0;
  virtual int Activity() = 0;
};

class AecPcWrapper : public AecPcBase {
 public:
  static constexpr int kInitMarker = 12345;
  AecPcWrapper() = default;
  ~AecPcWrapper() override;
  AecPcWrapper(const AecPcWrapper&) = delete;
  AecPcWrapper& operator=(const AecPcWrapper&) = delete;

  // The core's result (0, or its warning or error code); -1 when no core is present.
  int Init(int rate, int option) override;
  int SetMode(int mode) override;
  int ProcessNearEnd(const int16_t* in, int16_t* out, int length, int delayMs) override;
  int AddFarEnd(const int16_t* samples, int length) override;
  int Version(char* text, int size) override;
  int Activity() override;
  bool Ready() const { return marker_ == kInitMarker; }

 private:
  const SonraAecPcCore* core_ = nullptr;
  void* inst_ = nullptr;
  int marker_ = 0;
};

// AES FIX echo suppressor wrappers.
struct AesFixInst {
  const SonraAesCore* core = nullptr;
  void* inst = nullptr;
  bool ready = false;
};
int AesFix_Create(AesFixInst** inst);  // -1 when no core is present or memory is short
int AesFix_Init(AesFixInst* inst, int level, int flag1, int flag2);  // the core's 0 or warning; -1
int AesFix_Process(AesFixInst* inst, const int16_t* nearEnd, int16_t* out, int wideband, int delayMs);
int AesFix_AddFarEnd(AesFixInst* inst, const int16_t* samples, int wideband);
void AesFix_Free(AesFixInst* inst);
// Copies "AES FIX version\t1.0.9\n"; -101 when size is too small.
int AesFix_Version(char* text, int size);

// Voice activity detector wrapper ("Sonra VAD FIP\t1.0.2\n").
struct SonraVadInst {
  const SonraVadCore* core = nullptr;
  void* inst = nullptr;
};
int SonraVad_Create(SonraVadInst** inst);  // -1 when no core is present
int SonraVad_Init(SonraVadInst* inst);     // mode 0
// 1 speech, 0 silence, -1 for a bad rate or length or a core error.
int SonraVad_Process(SonraVadInst* inst, int rate, const int16_t* frame, int length);
void SonraVad_Free(SonraVadInst* inst);
int SonraVad_Version(char* text, int size);

// ---------------------------------------------------------------------------
// Version list
// ---------------------------------------------------------------------------
// The component version list, written into text (at most size bytes with its end);
// returns its length, or -1 when it does not fit.
int Sonra_ComponentVersionList(char* text, int size);
