// The voice activity detector, gain control, echo suppressor and AEC PC canceller as the engine's processing cores.
#include <new>

#include "voice/builtin_components.h"
#include "voice/components.h"
#include "voice/dsp/processing/aecpc.h"
#include "voice/dsp/processing/aes.h"
#include "voice/dsp/processing/agc.h"
#include "voice/dsp/processing/vad.h"

namespace {

// ---- VAD ------------------------------------------------------------------------------------------

void* VadCreate() { return new (std::nothrow) VadInst{}; }
void VadRelease(void* p) { delete static_cast<VadInst*>(p); }
int VadInitCore(void* p, int mode) { return Vad_Init(static_cast<VadInst*>(p), mode); }
// 16000 Hz frames are halved by the detector itself; 8000 Hz frames go straight to its bands.
int VadProcessCore(void* p, int rate, const int16_t* frame, int length) {
  auto* v = static_cast<VadInst*>(p);
  if (rate == 16000) return Vad_Process(v, frame, length);
  if (rate == 8000) return Vad_ProcessBands(v, frame, length);
  return -1;
}

const SonraVadCore kVadCore = {VadCreate, VadRelease, VadInitCore, VadProcessCore};

// ---- Gain control -----------------------------------------------------------------------------------

// The digital gain and the microphone level's speech detector each analyse the near end in a state of
// their own: one shared state would be advanced twice every 10 ms.
struct AgcCoreInst {
  AgcInst gain;
  AgcBandState detector;
};

int AgcInitCore(void* p) {
  auto* a = static_cast<AgcCoreInst*>(p);
  if (a == nullptr) return -1;
  Agc_InitBand(&a->detector);
  return Agc_Init(&a->gain);
}
void* AgcCreate() {
  auto* a = new (std::nothrow) AgcCoreInst{};
  if (a) AgcInitCore(a);
  return a;
}
void AgcRelease(void* p) { delete static_cast<AgcCoreInst*>(p); }
int AgcProcessCore(const int16_t* in, int16_t* out, void* p, int rate) {
  return Agc_Process(in, out, &static_cast<AgcCoreInst*>(p)->gain, rate);
}
int AgcFarCore(const int16_t* samples, void* p, int rate) {
  return Agc_AddFarEnd(samples, &static_cast<AgcCoreInst*>(p)->gain, rate);
}
int AgcDetectCore(void* p, const int16_t* samples, int length, int) {
  return Agc_AnalyzeFrame(samples, &static_cast<AgcCoreInst*>(p)->detector, length);
}
int AgcDeviationCore(void* p) { return static_cast<AgcCoreInst*>(p)->detector.longDeviation; }
void AgcVersionCore(char* text) { Agc_Version(text); }

const SonraAgcCore kAgcCore = {AgcCreate,     AgcRelease,       AgcInitCore,   AgcProcessCore,
                               AgcFarCore,    AgcDetectCore,    AgcDeviationCore, AgcVersionCore};

// ---- AES FIX echo suppressor ------------------------------------------------------------------------

void* AesCreate() { return new (std::nothrow) SonraAEC{}; }
void AesRelease(void* p) { delete static_cast<SonraAEC*>(p); }
int AesInitCore(void* p, int level, int flag1, int flag2) {
  return SonraAEC_Init(static_cast<SonraAEC*>(p), level, flag1, flag2);
}
int AesProcessCore(void* p, const int16_t* nearEnd, int16_t* out, int wideband, int delayMs) {
  return SonraAEC_Process(nearEnd, out, static_cast<SonraAEC*>(p), wideband, delayMs);
}
int AesFarCore(void* p, const int16_t* samples, int wideband) {
  return SonraAEC_AddToFarEndBuffer(samples, static_cast<SonraAEC*>(p), wideband);
}

const SonraAesCore kAesCore = {AesCreate, AesRelease, AesInitCore, AesProcessCore, AesFarCore};

// ---- AEC PC echo canceller --------------------------------------------------------------------------

void* AecCreate() {
  auto* a = new (std::nothrow) AecPc;
  if (a && a->Create() != 0) {
    delete a;
    a = nullptr;
  }
  return a;
}
void AecRelease(void* p) { delete static_cast<AecPc*>(p); }
int AecInitCore(void* p, int rate, int option) { return static_cast<AecPc*>(p)->Init(rate, option); }
int AecModeCore(void* p, int mode) { return static_cast<AecPc*>(p)->SetMode(mode); }
int AecProcessCore(void* p, int16_t* samples, int length, int delayMs) {
  return static_cast<AecPc*>(p)->ProcessNearEnd(samples, length, delayMs);
}
int AecFarCore(void* p, const int16_t* samples, int length) { return static_cast<AecPc*>(p)->Process(samples, length); }
int AecActivityCore(void* p) { return static_cast<AecPc*>(p)->EchoActivity(); }

const SonraAecPcCore kAecPcCore = {AecCreate,      AecRelease, AecInitCore,    AecModeCore,
                                   AecProcessCore, AecFarCore, AecActivityCore};

}  // namespace

const SonraVadCore* Sonra_BuiltInVad() { return &kVadCore; }
const SonraAgcCore* Sonra_BuiltInAgc() { return &kAgcCore; }
const SonraAesCore* Sonra_BuiltInAes() { return &kAesCore; }
const SonraAecPcCore* Sonra_BuiltInAecPc() { return &kAecPcCore; }
