// Component table of the engine, the echo-canceller, suppressor and VAD wrappers, and the version list.
#include "voice/components.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "voice/builtin_components.h"
#include "voice/dsp/cng.h"
#include "voice/dsp/g711.h"

namespace {

std::atomic<const SonraCodecComponent*> g_codecs[kCodecKindCount];
std::atomic<const SonraVadCore*> g_vad{nullptr};
std::atomic<const SonraAgcCore*> g_agc{nullptr};
std::atomic<const SonraAesCore*> g_aes{nullptr};
std::atomic<const SonraAecPcCore*> g_aecpc{nullptr};

// Copies text with its end into out; false when it does not fit.
bool CopyText(char* out, int size, const char* text) {
  const size_t n = std::strlen(text);
  if (!out || size < 0 || n + 1 > static_cast<size_t>(size)) return false;
  std::memcpy(out, text, n + 1);
  return true;
}

}  // namespace

void Sonra_RegisterCodec(int kind, const SonraCodecComponent* component) {
  if (kind < 0 || kind >= kCodecKindCount) return;
  if (kind == kCodecPcmu || kind == kCodecPcma || kind == kCodecTelephoneEvent || kind == kCodecCn) return;
  g_codecs[kind].store(component);
}
void Sonra_RegisterVad(const SonraVadCore* core) { g_vad.store(core); }
void Sonra_RegisterAgc(const SonraAgcCore* core) { g_agc.store(core); }
void Sonra_RegisterAes(const SonraAesCore* core) { g_aes.store(core); }
void Sonra_RegisterAecPc(const SonraAecPcCore* core) { g_aecpc.store(core); }

void Sonra_RegisterBuiltInComponents() {
  Sonra_RegisterCodec(kCodecIlbc, Sonra_BuiltInCodec(kCodecIlbc));
  Sonra_RegisterCodec(kCodecOstrel711U, Sonra_BuiltInCodec(kCodecOstrel711U));
  Sonra_RegisterCodec(kCodecOstrel711A, Sonra_BuiltInCodec(kCodecOstrel711A));
  Sonra_RegisterCodec(kCodecOstrelWb, Sonra_BuiltInCodec(kCodecOstrelWb));
  Sonra_RegisterCodec(kCodecQuill, Sonra_BuiltInCodec(kCodecQuill));
  Sonra_RegisterVad(Sonra_BuiltInVad());
  Sonra_RegisterAgc(Sonra_BuiltInAgc());
  Sonra_RegisterAes(Sonra_BuiltInAes());
  Sonra_RegisterAecPc(Sonra_BuiltInAecPc());
}

const SonraCodecComponent* Sonra_CodecComponent(int kind) {
  if (kind < 0 || kind >= kCodecKindCount) return nullptr;
  return g_codecs[kind].load();
}

bool Sonra_CodecPresent(int kind) {
  switch (kind) {
    case kCodecPcmu:
    case kCodecPcma:
    case kCodecTelephoneEvent:
    case kCodecCn: return true;
    default: return Sonra_CodecComponent(kind) != nullptr;
  }
}

const SonraVadCore* Sonra_VadCore() { return g_vad.load(); }
const SonraAgcCore* Sonra_AgcCore() { return g_agc.load(); }
const SonraAesCore* Sonra_AesCore() { return g_aes.load(); }
const SonraAecPcCore* Sonra_AecPcCore() { return g_aecpc.load(); }

// ---------------------------------------------------------------------------
// AEC PC wrapper
// ---------------------------------------------------------------------------

AecPcWrapper::~AecPcWrapper() {
  if (core_ && inst_) core_->release(inst_);
}

int AecPcWrapper::Init(int rate, int option) {
  const SonraAecPcCore* core = Sonra_AecPcCore();
  if (core != core_) {
    if (core_ && inst_) core_->release(inst_);
    inst_ = nullptr;
    core_ = core;
    marker_ = 0;
  }
  if (!core_) return -1;
  if (!inst_) inst_ = core_->create();
  if (!inst_) return -1;
  // The core initialises whatever it reports (a replaced rate, a failed inner filter); only a core
  // that could not run at all (-1) leaves the wrapper uninitialised.
  const int result = core_->init(inst_, rate, option);
  marker_ = result == -1 ? 0 : kInitMarker;
  return result;
}

int AecPcWrapper::SetMode(int mode) {
  if (!Ready()) return kAecPcNotInitialised;
  if (mode != 0 && mode != 1) return kAecPcBadMode;
  return core_->setMode ? core_->setMode(inst_, mode) : 0;
}

int AecPcWrapper::ProcessNearEnd(const int16_t* in, int16_t* out, int length, int delayMs) {
  if (!Ready()) return kAecPcNotInitialised;
  if (length != 80 && length != 160) return kAecPcBadLength;
  int own = 0;
  if (delayMs < 0) {
    delayMs = 0;
    own = kAecPcNegativeDelay;
  } else if (delayMs > 800) {
    delayMs = 150;
    own = kAecPcDelayClamped;
  } else if (delayMs > 500) {
    delayMs = 500;
    own = kAecPcDelayClamped;
  }
  if (out != in) std::memmove(out, in, sizeof(int16_t) * static_cast<size_t>(length));
  const int result = core_->process(inst_, out, length, delayMs);
  return own ? own : result;
}

int AecPcWrapper::AddFarEnd(const int16_t* samples, int length) {
  if (!Ready()) return kAecPcNotInitialised;
  if (length == 80) return core_->addFarEnd(inst_, samples, 80);
  if (length == 160) {
    const int a = core_->addFarEnd(inst_, samples, 80);
    const int b = core_->addFarEnd(inst_, samples + 80, 80);
    if (a == -1 && b == -1) return -1;
    return a + b;
  }
  return kAecPcBadLength;
}

int AecPcWrapper::Version(char* text, int size) {
  return CopyText(text, size, "Sonra AEC PC\t1.4.1") ? 0 : kAecPcVersionBuffer;
}

int AecPcWrapper::Activity() { return Ready() && core_->activity ? core_->activity(inst_) : 0; }

// ---------------------------------------------------------------------------
// AES FIX wrappers
// ---------------------------------------------------------------------------

// A wrapper around the registered core's own instance; -1 when no core is registered or memory is short.
template <typename Wrapper, typename Core>
int CreateWrapped(Wrapper** inst, const Core* core) {
  if (!inst) return -1;
  *inst = nullptr;
  if (!core) return -1;
  auto* w = new (std::nothrow) Wrapper;
  if (!w) return -1;
  w->core = core;
  w->inst = core->create();
  if (!w->inst) {
    delete w;
    return -1;
  }
  *inst = w;
  return 0;
}

int AesFix_Create(AesFixInst** inst) { return CreateWrapped(inst, Sonra_AesCore()); }

int AesFix_Init(AesFixInst* inst, int level, int flag1, int flag2) {
  if (!inst || !inst->core) return -1;
  // Warnings name an argument the core replaced; it is initialised all the same.
  const int result = inst->core->init(inst->inst, level, flag1, flag2);
  inst->ready = result != -1;
  return result;
}

int AesFix_Process(AesFixInst* inst, const int16_t* nearEnd, int16_t* out, int wideband, int delayMs) {
  if (!inst || !inst->ready) return -1;
  return inst->core->process(inst->inst, nearEnd, out, wideband, delayMs);
}

int AesFix_AddFarEnd(AesFixInst* inst, const int16_t* samples, int wideband) {
  if (!inst || !inst->ready) return -1;
  return inst->core->addFarEnd(inst->inst, samples, wideband);
}

void AesFix_Free(AesFixInst* inst) {
  if (!inst) return;
  if (inst->core && inst->inst) inst->core->release(inst->inst);
  delete inst;
}

int AesFix_Version(char* text, int size) { return CopyText(text, size, "AES FIX version\t1.0.9\n") ? 0 : -101; }

// ---------------------------------------------------------------------------
// VAD wrapper
// ---------------------------------------------------------------------------

int SonraVad_Create(SonraVadInst** inst) { return CreateWrapped(inst, Sonra_VadCore()); }

int SonraVad_Init(SonraVadInst* inst) {
  if (!inst || !inst->core) return -1;
  return inst->core->init(inst->inst, 0);
}

int SonraVad_Process(SonraVadInst* inst, int rate, const int16_t* frame, int length) {
  if (!inst || !inst->core || !frame) return -1;
  bool ok = false;
  if (rate == 8000) ok = length == 80 || length == 160 || length == 240;
  if (rate == 16000) ok = length == 160 || length == 320 || length == 480;
  if (!ok) return -1;
  const int r = inst->core->process(inst->inst, rate, frame, length);
  if (r < 0) return -1;
  return r > 0 ? 1 : 0;
}

void SonraVad_Free(SonraVadInst* inst) {
  if (!inst) return;
  if (inst->core && inst->inst) inst->core->release(inst->inst);
  delete inst;
}

int SonraVad_Version(char* text, int size) { return CopyText(text, size, "Sonra VAD FIP\t1.0.2\n") ? 0 : -1; }

// ---------------------------------------------------------------------------
// Version list
// ---------------------------------------------------------------------------

namespace {

// The version line of a codec kind: its component's text, or "not present".
std::string CodecVersionLine(int kind) {
  const SonraCodecComponent* c = Sonra_CodecComponent(kind);
  char text[128] = {};
  if (!c || !c->version || c->version(text, sizeof text) != 0) return "not present\n";
  std::string line(text);
  if (line.empty() || line.back() != '\n') line += '\n';
  return line;
}

}  // namespace

int Sonra_ComponentVersionList(char* text, int size) {
  std::string out;
  char buf[64] = {};
  TIDEPOOL_SONRA_10MS16B_Version(buf, sizeof buf);
  out += "Tidepool\t\t";
  out += buf;
  out += '\n';
  out += "Ostrel711A\t\t" + CodecVersionLine(kCodecOstrel711A);
  out += "Ostrel711U\t\t" + CodecVersionLine(kCodecOstrel711U);
  out += "OSTRELWB\t\t" + CodecVersionLine(kCodecOstrelWb);
  out += "ILBC\t\t" + CodecVersionLine(kCodecIlbc);
  out += "QUILL\t\t" + CodecVersionLine(kCodecQuill);
  std::memset(buf, 0, sizeof buf);
  G711_Version(buf);
  out += "G711\n";
  out += buf;
  out +=
      "G723\t\tnot Sonra\n"
      "G722.1 16kbps\tnot Sonra\n"
      "G722.1 24kbps\tnot Sonra\n"
      "G722.1 32kbps\tnot Sonra\n"
      "G722\t\tnot Sonra\n"
      "AMR\t\tnot Sonra\n"
      "GSMFR\t\tnot Sonra\n"
      "GSMEFR\t\tnot Sonra\n";
  std::memset(buf, 0, sizeof buf);
  Cng_Version(buf);
  out += "CNG\t\t";
  out += buf;
  out += "audio/telephone-event\n";
  if (!CopyText(text, size, out.c_str())) return -1;
  return static_cast<int>(out.size());
}
