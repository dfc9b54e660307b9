// Tidepool codec table: payload registration, decoder attachment and the built-in decoder records.
#include <cstring>

#include "voice/dsp/g711.h"
#include "voice/tidepool/codec_table.h"
#include "voice/tidepool/tidepool_internal.h"

namespace tidepool {

namespace {

int NullDecode(void*, const uint8_t*, int, int16_t*, int, int16_t* speechType) {
  if (speechType) *speechType = 0;
  return 0;
}

int G711Decode(bool ulaw, const uint8_t* payload, int length, int16_t* out, int capacity,
               int16_t* speechType) {
  if (length < 0 || length > capacity || length > 32767) return -1;
  if (ulaw)
    G711_UlawToLinear(payload, out, static_cast<int16_t>(length));
  else
    G711_AlawToLinear(payload, out, static_cast<int16_t>(length));
  if (speechType) *speechType = kTidepoolSpeech;
  return length;
}

int PcmuDecode(void*, const uint8_t* payload, int length, int16_t* out, int capacity, int16_t* st) {
  return G711Decode(true, payload, length, out, capacity, st);
}
int PcmaDecode(void*, const uint8_t* payload, int length, int16_t* out, int capacity, int16_t* st) {
  return G711Decode(false, payload, length, out, capacity, st);
}

}  // namespace

int SilenceConceal(void*, int16_t* out, int capacity) {
  const int n = capacity < 80 ? capacity : 80;
  for (int i = 0; i < n; ++i) out[i] = 0;
  return n;
}

int TestSignalDecode(void*, const uint8_t*, int, int16_t* out, int capacity, int16_t* speechType) {
  if (capacity < 80) return -1;
  for (int i = 0; i < 80; ++i) out[i] = static_cast<int16_t>(((i % 40) - 20) * 1000);
  if (speechType) *speechType = kTidepoolSpeech;
  return 80;
}

const TidepoolDecoderOps kNullDecoderOps = {NullDecode, SilenceConceal, nullptr, nullptr, nullptr,
                                            nullptr,    nullptr,        nullptr, kTidepoolKindNone, 0};
const TidepoolDecoderOps kPcmuOps = {PcmuDecode, SilenceConceal, nullptr, nullptr, nullptr,
                                     nullptr,    nullptr,        nullptr, kTidepoolKindG711, 8000};
const TidepoolDecoderOps kPcmaOps = {PcmaDecode, SilenceConceal, nullptr, nullptr, nullptr,
                                     nullptr,    nullptr,        nullptr, kTidepoolKindG711, 8000};

// Registration rows in the order names are compared.
const CodecRow kRows[] = {
    {"PCMU", "pcmu", 8000, 0, kFrameSampleBased, 1, kFrameRuleSamples, -1, kRowPcmu},
    {"PCMA", "pcma", 8000, 8, kFrameSampleBased, 1, kFrameRuleSamples, -1, kRowPcma},
    {"G722", "g722", 16000, 9, kFrameSampleBased, 0, kFrameRuleSamples, kTidepoolG722, kRowCodec},
    {"G722.1_16", "g722.1_16", 16000, -1, 40, 320, kFrameRuleFixed, kTidepoolG7221_16, kRowCodec},
    {"G722.1_24", "g722.1_24", 16000, -1, 60, 320, kFrameRuleFixed, kTidepoolG7221_24, kRowCodec},
    {"G722.1_32", "g722.1_32", 16000, -1, 80, 320, kFrameRuleFixed, kTidepoolG7221_32, kRowCodec},
    {"G729", "g729", 8000, 18, 10, 80, kFrameRuleFixed, kTidepoolG729, kRowCodec},
    {"G723", "g723", 8000, 4, kFrameTyped, 240, kFrameRuleTyped, kTidepoolG723, kRowCodec},
    {"OSTREL711A", "ostrel711a", 8000, -1, kFrameWhole, 0, kFrameRuleWhole, kTidepoolOstrel711A, kRowCodec},
    {"OSTREL711U", "ostrel711u", 8000, -1, kFrameWhole, 0, kFrameRuleWhole, kTidepoolOstrel711U, kRowCodec},
    {"OSTRELWB", "ostrelwb", 16000, -1, kFrameWhole, 0, kFrameRuleWhole, kTidepoolOstrelWb, kRowCodec},
    {"AMR", "amr", 8000, -1, kFrameWhole, 0, kFrameRuleWhole, kTidepoolAmr, kRowCodec},
    {"ILBC", "ilbc", 8000, -1, 50, 240, kFrameRuleIlbc, kTidepoolIlbc, kRowCodec},
    {"QUILL", "quill", 16000, -1, kFrameWhole, 0, kFrameRuleWhole, kTidepoolQuill, kRowCodec},
    {"GSM", "gsm", 8000, 3, 33, 160, kFrameRuleFixed, kTidepoolGsm, kRowCodec},
    {"GSMEFR", "gsmefr", 8000, -1, 32, 160, kFrameRuleFixed, kTidepoolGsmEfr, kRowCodec},
    {"CN", "cn", 0, 13, kFrameWhole, 0, kFrameRuleWhole, -1, kRowCn},
    {"AUDIO/TELEPHONE-EVENT", "audio/telephone-event", 0, -1, kFrameWhole, 0, kFrameRuleWhole, -1,
     kRowEvent},
};
const int kRowCount = sizeof(kRows) / sizeof(kRows[0]);

const CodecRow* RowOfCodec(int codec) {
  for (const auto& row : kRows)
    if (row.kindOfRow == kRowCodec && row.entry == codec) return &row;
  return nullptr;
}

const CodecRow* RowOfKind(int kindOfRow) {
  for (const auto& row : kRows)
    if (row.kindOfRow == kindOfRow) return &row;
  return nullptr;
}

bool SameDecode(const DecoderRecord& a, const DecoderRecord& b) {
  return a.ops == b.ops && a.useAlt == b.useAlt && a.testSignal == b.testSignal && a.instance == b.instance;
}

int RecordDecode(const DecoderRecord& r, const uint8_t* payload, int length, int16_t* out, int capacity,
                 int16_t* speechType) {
  if (r.testSignal) return TestSignalDecode(r.instance, payload, length, out, capacity, speechType);
  auto fn = (r.useAlt && r.ops->decodeAlt) ? r.ops->decodeAlt : r.ops->decode;
  if (!fn) return -1;
  return fn(r.instance, payload, length, out, capacity, speechType);
}

int RecordInit(const DecoderRecord& r) {
  auto fn = (r.useAlt && r.ops->initAlt) ? r.ops->initAlt : r.ops->init;
  return fn ? fn(r.instance) : 0;
}

int RecordConceal(const DecoderRecord& r, int16_t* out, int capacity) {
  if (r.ops->conceal) return r.ops->conceal(r.instance, out, capacity);
  return SilenceConceal(r.instance, out, capacity);
}

DecoderRecord NullRecord() { return DecoderRecord{&kNullDecoderOps, false, false, nullptr, 0, 0}; }

}  // namespace tidepool

using namespace tidepool;

namespace {

int16_t Fail(TidepoolInst* inst, int16_t code) {
  inst->control.error = code;
  inst->lastError = code;
  return -1;
}

int16_t Succeed(TidepoolInst* inst) {
  inst->lastError = 0;
  return 0;
}

// The payload-type field a registration row writes.
int32_t RowPayloadType(const TidepoolControl& c, const CodecRow& row) {
  switch (row.kindOfRow) {
    case kRowPcmu: return c.pcmuPayloadType == kNoPayloadType ? -1 : c.pcmuPayloadType;
    case kRowPcma: return c.pcmaPayloadType == kNoPayloadType ? -1 : c.pcmaPayloadType;
    case kRowCn: return c.cnPayloadType == kNoPayloadType ? -1 : c.cnPayloadType;
    case kRowEvent: return c.eventPayloadType == kNoPayloadType ? -1 : c.eventPayloadType;
    default: return c.codecs[row.entry].payloadType;
  }
}

void SetRowPayloadType(TidepoolControl& c, const CodecRow& row, int32_t pt) {
  const uint16_t u = pt < 0 ? kNoPayloadType : static_cast<uint16_t>(pt);
  switch (row.kindOfRow) {
    case kRowPcmu: c.pcmuPayloadType = u; break;
    case kRowPcma: c.pcmaPayloadType = u; break;
    case kRowCn: c.cnPayloadType = u; break;
    case kRowEvent: c.eventPayloadType = u; break;
    default: c.codecs[row.entry].payloadType = static_cast<int16_t>(pt < 0 ? -1 : pt); break;
  }
}

}  // namespace

int16_t TIDEPOOL_SONRA_10MS16B_RegisterPayload(TidepoolInst* inst, const char* name, int32_t rate,
                                               int16_t payloadType) {
  if (!inst) return -1;
  if (rate != 8000 && rate != 16000) return Fail(inst, kTidepoolErrRate);
  if (!name) return Fail(inst, kTidepoolErrUnknownPayload);
  TidepoolControl& c = inst->control;
  bool registered = false;
  for (const auto& row : kRows) {
    const bool nameMatches = strcmp(name, row.upper) == 0 || strcmp(name, row.lower) == 0;
    if (!nameMatches || (row.rate != 0 && row.rate != rate)) continue;
    // Clear our own field first so re-registering under the same type does not collide with itself.
    SetRowPayloadType(c, row, -1);
    for (const auto& other : kRows) {
      if (RowPayloadType(c, other) == payloadType) return Fail(inst, kTidepoolErrPayloadInUse);
    }
    if (payloadType < 96 || payloadType > 127) return Fail(inst, kTidepoolErrPayloadRange);
    SetRowPayloadType(c, row, payloadType);
    registered = true;
  }
  if (!registered) return Fail(inst, kTidepoolErrUnknownPayload);
  return Succeed(inst);
}

int16_t TIDEPOOL_SONRA_10MS16B_AssignDecoder(TidepoolInst* inst, TidepoolCodec codec,
                                             const TidepoolDecoderOps* ops, void* decoder) {
  if (!inst) return -1;
  if (codec < 0 || codec >= kTidepoolCodecCount || !ops || !ops->decode || !decoder)
    return Fail(inst, kTidepoolErrNoDecoder);
  const int result = ops->init ? ops->init(decoder) : 0;
  // An iLBC decoder that refused its mode is left out (its frames would be decoded in no mode);
  // any other decoder is attached whatever its initialisation said, and the caller gets the result.
  if (result != 0 && codec == kTidepoolIlbc) {
    Fail(inst, kTidepoolErrNoDecoder);
    return static_cast<int16_t>(result);
  }
  inst->control.codecs[codec].ops = ops;
  inst->control.codecs[codec].instance = decoder;
  if (result != 0) {
    inst->control.error = static_cast<int16_t>(result);
    inst->lastError = static_cast<int16_t>(result);
  } else {
    Succeed(inst);
  }
  return static_cast<int16_t>(result);
}
