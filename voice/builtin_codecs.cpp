// The iLBC, Ostrel711, Ostrel wideband and Quill codecs as the engine's codec components.
#include "voice/builtin_components.h"

#include <cstring>
#include <new>

#include "voice/components.h"
#include "voice/dsp/ilbc/ilbc.h"
#include "voice/dsp/ostrel/ostrel711.h"
#include "voice/dsp/ostrel/ostrelwb.h"
#include "voice/dsp/quill/quill.h"
#include "voice/tidepool/assign_codecs.h"

namespace {

// Version texts of the cores end without a line break; the list adds it.
int CopyVersion(const char* v, char* text, int size) {
  const size_t n = std::strlen(v);
  if (!text || size < 0 || n + 1 > static_cast<size_t>(size)) return -1;
  std::memcpy(text, v, n + 1);
  return 0;
}

// ---- iLBC: separate encoder and decoder instances, 20- or 30-ms frames -------------------------

void* IlbcCreate() {
  IlbcEncoder* e = nullptr;
  return Ilbc_CreateEncoder(&e) == 0 ? e : nullptr;
}
void IlbcRelease(void* p) { Ilbc_FreeEncoder(static_cast<IlbcEncoder*>(p)); }
void* IlbcCreateDecoder() {
  IlbcDecoder* d = nullptr;
  return Ilbc_CreateDecoder(&d) == 0 ? d : nullptr;
}
void IlbcReleaseDecoder(void* p) { Ilbc_FreeDecoder(static_cast<IlbcDecoder*>(p)); }

// The frame mode is the packet's (or frame's) samples / 8: 160 -> 20 ms, 240 -> 30 ms.
int IlbcInitEncoder(void* p, int samples) {
  if (!p) return -1;
  return Ilbc_EncoderInit(static_cast<IlbcEncoder*>(p), static_cast<int16_t>(samples / 8)) == 0 ? 0 : -1;
}
int IlbcInitDecoder(void* p, int samples) {
  if (!p) return -1;
  return Ilbc_DecoderInit(static_cast<IlbcDecoder*>(p), static_cast<int16_t>(samples / 8)) == 0 ? 0 : -1;
}

int IlbcEncode(void* p, const int16_t* samples, int count, uint8_t* payload, int capacity) {
  auto* e = static_cast<IlbcEncoder*>(p);
  if (!e || !samples || !payload || e->c.blockLength <= 0) return -1;
  const int frames = count / e->c.blockLength;
  if (frames < 1 || frames > 3 || frames * e->c.blockLength != count) return -1;
  if (frames * e->c.frameBytes > capacity) return -1;
  const int r = Ilbc_Encode(e, samples, static_cast<int16_t>(count), payload);
  return r < 0 ? -1 : r;
}

int IlbcDecodeFrame(void* p, const uint8_t* payload, int length, int16_t* out, int capacity) {
  auto* d = static_cast<IlbcDecoder*>(p);
  if (!d || !payload || !out || d->c.frameBytes <= 0 || length <= 0) return -1;
  const int frames = length / d->c.frameBytes;
  if (frames < 1 || frames > 3 || frames * d->c.frameBytes != length) return -1;
  if (frames * d->c.blockLength > capacity) return -1;
  int16_t type = 0;
  const int r = Ilbc_Decode(d, payload, static_cast<int16_t>(length), out, &type);
  return r < 0 ? -1 : r;
}

int IlbcVersion(char* text, int size) {
  char v[16] = {};
  Ilbc_Version(v);
  return CopyVersion(v, text, size);
}

// ---- Ostrel711 (mu-law and A-law) and Ostrel wideband: one instance encodes and decodes ---------
// The instance's wrapper word is the wrapper's last error: 0 after a success, the core's code after
// a failure.

void* Ostrel711Create() { return new (std::nothrow) Ostrel711Codec{}; }
void Ostrel711Release(void* p) { delete static_cast<Ostrel711Codec*>(p); }

// Both Ostrel codecs encode the same way: the core writes into a packet of its largest size, the wrapper
// keeps the last error in the instance and copies the packet out when it fits.
template <typename Codec, int kBlock, int kMaxBytes, int16_t (*EncodeFn)(Codec*, const int16_t*, uint8_t*, int16_t*, int16_t*)>
int OstrelEncode(void* p, const int16_t* samples, int count, uint8_t* payload, int capacity) {
  auto* c = static_cast<Codec*>(p);
  if (!c || !samples || !payload || count != kBlock) return -1;
  uint8_t packet[kMaxBytes];
  int16_t bytes = 0, needed = 0;
  if (EncodeFn(c, samples, packet, &bytes, &needed) < 0) {
    c->wrapperWord = c->errorCode;
    return -1;
  }
  c->wrapperWord = 0;
  if (bytes < 0 || bytes > capacity) return -1;
  std::memcpy(payload, packet, static_cast<size_t>(bytes));
  return bytes;
}

int Ostrel711Init(void* p, int samples, int16_t law) {
  auto* c = static_cast<Ostrel711Codec*>(p);
  if (!c) return -1;
  const int r = Ostrel711_Init(c, law, kOstrelInputLinear, static_cast<int16_t>(samples));
  c->wrapperWord = r < 0 ? c->errorCode : 0;
  return r < 0 ? -1 : 0;
}
int Ostrel711UInit(void* p, int samples) { return Ostrel711Init(p, samples, 0); }
int Ostrel711AInit(void* p, int samples) { return Ostrel711Init(p, samples, 1); }

constexpr auto Ostrel711Encode =
    OstrelEncode<Ostrel711Codec, kOstrel711BlockSamples, kOstrel711MaxPacketBytes, Ostrel711_EncodeCore>;

int Ostrel711LastError(void* p) { return p ? static_cast<Ostrel711Codec*>(p)->wrapperWord : -1; }

void* OstrelWbCreate() { return new (std::nothrow) OstrelWbCodec{}; }
void OstrelWbRelease(void* p) { delete static_cast<OstrelWbCodec*>(p); }

int OstrelWbInit(void* p, int samples) {
  auto* c = static_cast<OstrelWbCodec*>(p);
  if (!c) return -1;
  const int r = OstrelWb_Init(c, static_cast<int16_t>(samples));
  c->wrapperWord = r < 0 ? c->errorCode : 0;
  return r < 0 ? -1 : 0;
}

constexpr auto OstrelWbEncode = OstrelEncode<OstrelWbCodec, kOstrelWbFrameSamples, kOstrelWbMaxPacketBytes, OstrelWb_Encode>;

int OstrelWbLastError(void* p) { return p ? static_cast<OstrelWbCodec*>(p)->wrapperWord : -1; }

int OstrelVersion(char* text, int size) {
  char v[16] = {};
  if (Ostrel_Version(v, sizeof v) < 0) return -1;
  return CopyVersion(v, text, size);
}

// ---- Quill: one instance is the encoder, the jitter buffer's decoder and the bandwidth estimator.
// The send path and the receive thread both reach it; the engine calls both under the sound card's
// lock.

void* QuillCreate() {
  QuillInstance* q = nullptr;
  return Quill_Create(&q) == 0 ? q : nullptr;
}
void QuillRelease(void* p) { Quill_Free(static_cast<QuillInstance*>(p)); }
// Channel-adaptive mode whatever the packet size: the frame length follows the estimate.
int QuillInit(void* p, int) { return p && Quill_EncoderInit(static_cast<QuillInstance*>(p), 0) == 0 ? 0 : -1; }

int QuillEncode(void* p, const int16_t* samples, int count, uint8_t* payload, int capacity) {
  auto* q = static_cast<QuillInstance*>(p);
  if (!q || !samples || !payload || count != kQuillBlockSamples) return -1;
  uint16_t words[kQuillMaxPayloadBytes / 2] = {};
  const int bytes = Quill_Encode(q, samples, words);
  if (bytes <= 0) return bytes < 0 ? -1 : 0;
  if (bytes > capacity || bytes > kQuillMaxPayloadBytes) return -1;
  // The earlier byte of each word is its low half.
  for (int i = 0; i < bytes; ++i) payload[i] = static_cast<uint8_t>(words[i / 2] >> (8 * (i % 2)));
  return bytes;
}

int QuillLastError(void* p) { return p ? Quill_GetErrorCode(static_cast<QuillInstance*>(p)) : -1; }

int QuillVersion(char* text, int size) {
  char v[16] = {};
  Quill_Version(v);
  return CopyVersion(v, text, size);
}

const SonraCodecComponent kIlbcComponent = {
    kCodecIlbc,        kTidepoolIlbc,      "ILBC",          8000,          IlbcCreate,        IlbcRelease,
    IlbcInitEncoder,   IlbcEncode,         true,            IlbcCreateDecoder, IlbcReleaseDecoder, IlbcInitDecoder,
    &kTidepoolIlbcOps, IlbcDecodeFrame,    nullptr,         IlbcVersion};

const SonraCodecComponent kOstrel711UComponent = {
    kCodecOstrel711U,         kTidepoolOstrel711U, "OSTREL711U", 8000,    Ostrel711Create,    Ostrel711Release,
    Ostrel711UInit,           Ostrel711Encode,     false,        nullptr, nullptr,            nullptr,
    &kTidepoolOstrel711UOps,  nullptr,             Ostrel711LastError,    OstrelVersion};

const SonraCodecComponent kOstrel711AComponent = {
    kCodecOstrel711A,         kTidepoolOstrel711A, "OSTREL711A", 8000,    Ostrel711Create,    Ostrel711Release,
    Ostrel711AInit,           Ostrel711Encode,     false,        nullptr, nullptr,            nullptr,
    &kTidepoolOstrel711AOps,  nullptr,             Ostrel711LastError,    OstrelVersion};

const SonraCodecComponent kOstrelWbComponent = {
    kCodecOstrelWb,          kTidepoolOstrelWb, "OSTRELWB", 16000,   OstrelWbCreate, OstrelWbRelease,
    OstrelWbInit,            OstrelWbEncode,    false,      nullptr, nullptr,        nullptr,
    &kTidepoolOstrelWbOps,   nullptr,           OstrelWbLastError,   OstrelVersion};

const SonraCodecComponent kQuillComponent = {
    kCodecQuill,         kTidepoolQuill, "QUILL", 16000,   QuillCreate, QuillRelease,
    QuillInit,           QuillEncode,    false,   nullptr, nullptr,     nullptr,
    &kTidepoolQuillOps,  nullptr,        QuillLastError,   QuillVersion};

}  // namespace

const SonraCodecComponent* Sonra_BuiltInCodec(int kind) {
  switch (kind) {
    case kCodecIlbc: return &kIlbcComponent;
    case kCodecOstrel711U: return &kOstrel711UComponent;
    case kCodecOstrel711A: return &kOstrel711AComponent;
    case kCodecOstrelWb: return &kOstrelWbComponent;
    case kCodecQuill: return &kQuillComponent;
    default: return nullptr;
  }
}
