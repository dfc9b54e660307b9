// Decoder routines of iLBC, the Ostrel codecs and Quill for the Tidepool jitter buffer, and their Assign calls.
#include "voice/tidepool/assign_codecs.h"

#include <initializer_list>

#include "voice/dsp/ilbc/ilbc.h"
#include "voice/dsp/ostrel/ostrel_entries.h"
#include "voice/dsp/quill/quill.h"

namespace {

constexpr int kIlbcMaxFrames = 3;

// The iLBC mode (20 or 30 ms) whose whole frames, one to three of them, make up `length` bytes;
// 0 when neither does. No length is a whole number of frames of both modes.
int IlbcModeOfLength(int length, int* frames) {
  for (const int mode : {30, 20}) {
    const int bytes = mode == 30 ? 50 : 38;
    if (length % bytes == 0 && length / bytes >= 1 && length / bytes <= kIlbcMaxFrames) {
      *frames = length / bytes;
      return mode;
    }
  }
  return 0;
}

int IlbcDecodeEntry(void* decoder, const uint8_t* payload, int length, int16_t* out, int capacity,
                    int16_t* speechType) {
  auto* dec = static_cast<IlbcDecoder*>(decoder);
  if (!dec || !out || length < 0) return -1;
  // Asked for audio without a packet (comfort-noise periods): iLBC has nothing held back.
  if (length == 0) {
    if (speechType) *speechType = 0;
    return 0;
  }
  if (!payload) return -1;
  int frames = 0;
  const int mode = IlbcModeOfLength(length, &frames);
  if (mode == 0) return -1;
  // Checked before decoding so a refused payload leaves the decoder as it was.
  if (frames * (mode == 30 ? 240 : 160) > capacity) return -1;
  // A frame of the other size means the sender changed its mode; its frames cannot be decoded in
  // the old one.
  if (dec->c.mode != mode && Ilbc_DecoderInit(dec, static_cast<int16_t>(mode)) != 0) return -1;
  return Ilbc_Decode(dec, payload, static_cast<int16_t>(length), out, speechType);
}

int IlbcConcealEntry(void* decoder, int16_t* out, int capacity) {
  auto* dec = static_cast<IlbcDecoder*>(decoder);
  if (!dec || !out || dec->c.blockLength <= 0 || dec->c.blockLength > capacity) return -1;
  return Ilbc_DecodePlc(dec, out, 1);
}

int IlbcInit30Entry(void* decoder) {
  return decoder ? Ilbc_DecoderInit30ms(static_cast<IlbcDecoder*>(decoder)) : -1;
}

int IlbcInit20Entry(void* decoder) {
  return decoder ? Ilbc_DecoderInit20ms(static_cast<IlbcDecoder*>(decoder)) : -1;
}

}  // namespace

const TidepoolDecoderOps kTidepoolIlbcOps = {
    IlbcDecodeEntry, IlbcConcealEntry, IlbcInit30Entry, nullptr, nullptr,
    IlbcDecodeEntry, IlbcInit20Entry,  nullptr,         kTidepoolKindOther, 8000};

const TidepoolDecoderOps kTidepoolOstrel711UOps = {
    Ostrel711_EntryDecode, nullptr, Ostrel711U_EntryInit, Ostrel711_EntryLateFrame, Ostrel711_EntryInfo,
    nullptr,               nullptr, nullptr,              kTidepoolKindOstrel,      8000};

const TidepoolDecoderOps kTidepoolOstrel711AOps = {
    Ostrel711_EntryDecode, nullptr, Ostrel711A_EntryInit, Ostrel711_EntryLateFrame, Ostrel711_EntryInfo,
    nullptr,               nullptr, nullptr,              kTidepoolKindOstrel,      8000};

const TidepoolDecoderOps kTidepoolOstrelWbOps = {
    OstrelWb_EntryDecode, nullptr, OstrelWb_EntryInit, OstrelWb_EntryLateFrame, OstrelWb_EntryInfo,
    nullptr,              nullptr, nullptr,            kTidepoolKindOstrel,     16000};

int16_t TIDEPOOL_SONRA_10MS16B_AssignILBC(TidepoolInst* inst, IlbcDecoder* decoder) {
  return TIDEPOOL_SONRA_10MS16B_AssignDecoder(inst, kTidepoolIlbc, &kTidepoolIlbcOps, decoder);
}

int16_t TIDEPOOL_SONRA_10MS16B_AssignOSTREL711U(TidepoolInst* inst, Ostrel711Codec* decoder) {
  return TIDEPOOL_SONRA_10MS16B_AssignDecoder(inst, kTidepoolOstrel711U, &kTidepoolOstrel711UOps, decoder);
}

int16_t TIDEPOOL_SONRA_10MS16B_AssignOSTREL711A(TidepoolInst* inst, Ostrel711Codec* decoder) {
  return TIDEPOOL_SONRA_10MS16B_AssignDecoder(inst, kTidepoolOstrel711A, &kTidepoolOstrel711AOps, decoder);
}

int16_t TIDEPOOL_SONRA_10MS16B_AssignOSTRELWB(TidepoolInst* inst, OstrelWbCodec* decoder) {
  return TIDEPOOL_SONRA_10MS16B_AssignDecoder(inst, kTidepoolOstrelWb, &kTidepoolOstrelWbOps, decoder);
}

const TidepoolDecoderOps kTidepoolQuillOps = {
    QuillOps_Decode, QuillOps_Conceal, QuillOps_Init, nullptr, nullptr,
    nullptr,         nullptr,          QuillOps_Arrival, kTidepoolKindOther, 16000};

int16_t TIDEPOOL_SONRA_10MS16B_AssignQUILL(TidepoolInst* inst, QuillInstance* decoder) {
  return TIDEPOOL_SONRA_10MS16B_AssignDecoder(inst, kTidepoolQuill, &kTidepoolQuillOps, decoder);
}
