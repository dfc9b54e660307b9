// iLBC entry points: instances, initialisation, multi-frame payloads and concealment.
#include <cstdlib>
#include <cstring>
#include <new>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/ilbc_tables.h"

void Ilbc_SetConstants(IlbcFrameConstants* c, int mode) {
  const bool m30 = mode == 30;
  c->mode = static_cast<int16_t>(m30 ? 30 : 20);
  c->blockLength = static_cast<int16_t>(m30 ? 240 : 160);
  c->subBlocks = static_cast<int16_t>(m30 ? 6 : 4);
  c->searchBlocks = static_cast<int16_t>(m30 ? 4 : 2);
  c->frameBytes = static_cast<int16_t>(m30 ? 50 : 38);
  c->frameWords = static_cast<int16_t>(m30 ? 25 : 19);
  c->lpcAnalyses = static_cast<int16_t>(m30 ? 2 : 1);
  c->stateShortLength = static_cast<int16_t>(m30 ? 58 : 57);
}

int16_t Ilbc_CreateEncoder(IlbcEncoder** out) {
  if (!out) return -1;
  *out = new (std::nothrow) IlbcEncoder();
  return *out ? 0 : -1;
}

int16_t Ilbc_CreateDecoder(IlbcDecoder** out) {
  if (!out) return -1;
  *out = new (std::nothrow) IlbcDecoder();
  return *out ? 0 : -1;
}

void Ilbc_FreeEncoder(IlbcEncoder* enc) { delete enc; }
void Ilbc_FreeDecoder(IlbcDecoder* dec) { delete dec; }

int16_t Ilbc_EncoderInit(IlbcEncoder* enc, int16_t mode) {
  if (!enc || (mode != 20 && mode != 30)) return -1;
  std::memset(enc, 0, sizeof(*enc));
  Ilbc_SetConstants(&enc->c, mode);
  std::memcpy(enc->lsfOld, kIlbcLsfMean, sizeof(enc->lsfOld));
  std::memcpy(enc->lsfDeqOld, kIlbcLsfMean, sizeof(enc->lsfDeqOld));
  return 0;
}

int16_t Ilbc_Encode(IlbcEncoder* enc, const int16_t* samples, int16_t length, uint8_t* out) {
  if (!enc || !samples || !out || enc->c.blockLength == 0) return -1;
  const int bl = enc->c.blockLength;
  if (length < bl || length % bl != 0 || length / bl > 3) return -1;
  const int frames = length / bl;
  for (int i = 0; i < frames; ++i) Ilbc_EncodeBlock(out + i * enc->c.frameBytes, samples + i * bl, enc);
  return static_cast<int16_t>(frames * enc->c.frameBytes);
}

int16_t Ilbc_DecoderInit(IlbcDecoder* dec, int16_t mode) {
  if (!dec || (mode != 20 && mode != 30)) return -1;
  std::memset(dec, 0, sizeof(*dec));
  Ilbc_SetConstants(&dec->c, mode);
  std::memcpy(dec->lsfDeqOld, kIlbcLsfMean, sizeof(dec->lsfDeqOld));
  for (int i = 0; i < 6; ++i) dec->oldLpc[i * kIlbcLpcLen] = 4096;
  dec->lastLag = 20;
  dec->prevLag = 120;
  dec->prevLpc[0] = 4096;
  dec->seed = 777;
  dec->enhancer = 1;
  for (int16_t& p : dec->enhPeriod) p = 160;
  return 0;
}

int16_t Ilbc_DecoderInit20ms(IlbcDecoder* dec) { return Ilbc_DecoderInit(dec, 20); }
int16_t Ilbc_DecoderInit30ms(IlbcDecoder* dec) { return Ilbc_DecoderInit(dec, 30); }

static int16_t decodeFrames(IlbcDecoder* dec, const uint8_t* payload, int16_t bytes, int16_t* out,
                            int16_t* speechType, int maxFrames) {
  if (!dec || !out || dec->c.blockLength == 0) return -1;
  const int fb = dec->c.frameBytes;
  if (!payload || bytes < fb || bytes % fb != 0 || bytes / fb > maxFrames) return -1;
  const int frames = bytes / fb;
  for (int i = 0; i < frames; ++i) Ilbc_DecodeBlock(out + i * dec->c.blockLength, payload + i * fb, dec, 1);
  if (speechType) *speechType = 1;
  return static_cast<int16_t>(frames * dec->c.blockLength);
}

int16_t Ilbc_Decode(IlbcDecoder* dec, const uint8_t* payload, int16_t bytes, int16_t* out, int16_t* speechType) {
  return decodeFrames(dec, payload, bytes, out, speechType, 3);
}

int16_t Ilbc_DecodeUpTo2(IlbcDecoder* dec, const uint8_t* payload, int16_t bytes, int16_t* out,
                         int16_t* speechType) {
  return decodeFrames(dec, payload, bytes, out, speechType, 2);
}

int16_t Ilbc_DecodePlc(IlbcDecoder* dec, int16_t* out, int16_t frames) {
  if (!dec || !out || dec->c.blockLength == 0) return -1;
  if (frames < 1) return 0;
  for (int i = 0; i < frames; ++i) Ilbc_DecodeBlock(out + i * dec->c.blockLength, nullptr, dec, 0);
  return static_cast<int16_t>(frames * dec->c.blockLength);
}

int16_t Ilbc_Version(char* text) {
  if (!text) return -1;
  std::memcpy(text, "1.0.4", 6);
  return 0;
}
