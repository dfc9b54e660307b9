// Ostrel711 codec: packets of 1..4 blocks, each block coded twice so a packet completes the previous one.
#include "voice/dsp/ostrel/ostrel711.h"

#include <cstring>

#include "voice/dsp/g711.h"
#include "voice/dsp/ostrel/ostrel_sections.h"
#include "voice/dsp/ostrel/ostrel_tables.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int kN = kOstrel711BlockSamples;

// Code position: rises with the amplitude (mu-law 0..254 with both zeros at 127, A-law 0..255).
// G.711's code correspondence between the two laws (its mu-law to A-law and A-law to mu-law
// tables), indexed by the code as sent. Transcoding a code through linear would not give the same
// codes: half-way levels and the mu-law zero of either sign are settled differently.
constexpr uint8_t kUlawToAlaw[256] = {
    42, 43, 40, 41, 46, 47, 44, 45, 34, 35, 32, 33, 38, 39, 36, 37,
    58, 59, 56, 57, 62, 63, 60, 61, 50, 51, 48, 49, 54, 55, 52, 53,
    10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7, 4, 26,
    27, 24, 25, 30, 31, 28, 29, 18, 19, 16, 17, 22, 23, 20, 21, 106,
    104, 105, 110, 111, 108, 109, 98, 99, 96, 97, 102, 103, 100, 101, 122, 120,
    126, 127, 124, 125, 114, 115, 112, 113, 118, 119, 116, 117, 75, 73, 79, 77,
    66, 67, 64, 65, 70, 71, 68, 69, 90, 91, 88, 89, 94, 95, 92, 93,
    82, 82, 83, 83, 80, 80, 81, 81, 86, 86, 87, 87, 84, 84, 85, 85,
    170, 171, 168, 169, 174, 175, 172, 173, 162, 163, 160, 161, 166, 167, 164, 165,
    186, 187, 184, 185, 190, 191, 188, 189, 178, 179, 176, 177, 182, 183, 180, 181,
    138, 139, 136, 137, 142, 143, 140, 141, 130, 131, 128, 129, 134, 135, 132, 154,
    155, 152, 153, 158, 159, 156, 157, 146, 147, 144, 145, 150, 151, 148, 149, 234,
    232, 233, 238, 239, 236, 237, 226, 227, 224, 225, 230, 231, 228, 229, 250, 248,
    254, 255, 252, 253, 242, 243, 240, 241, 246, 247, 244, 245, 203, 201, 207, 205,
    194, 195, 192, 193, 198, 199, 196, 197, 218, 219, 216, 217, 222, 223, 220, 221,
    210, 210, 211, 211, 208, 208, 209, 209, 214, 214, 215, 215, 212, 212, 213, 213,
};
constexpr uint8_t kAlawToUlaw[256] = {
    42, 43, 40, 41, 46, 47, 44, 45, 34, 35, 32, 33, 38, 39, 36, 37,
    57, 58, 55, 56, 61, 62, 59, 60, 49, 50, 47, 48, 53, 54, 51, 52,
    10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7, 4, 5,
    26, 27, 24, 25, 30, 31, 28, 29, 18, 19, 16, 17, 22, 23, 20, 21,
    98, 99, 96, 97, 102, 103, 100, 101, 93, 93, 92, 92, 95, 95, 94, 94,
    116, 118, 112, 114, 124, 126, 120, 122, 106, 107, 104, 105, 110, 111, 108, 109,
    72, 73, 70, 71, 76, 77, 74, 75, 64, 65, 63, 63, 68, 69, 66, 67,
    86, 87, 84, 85, 90, 91, 88, 89, 79, 79, 78, 78, 82, 83, 80, 81,
    170, 171, 168, 169, 174, 175, 172, 173, 162, 163, 160, 161, 166, 167, 164, 165,
    185, 186, 183, 184, 189, 190, 187, 188, 177, 178, 175, 176, 181, 182, 179, 180,
    138, 139, 136, 137, 142, 143, 140, 141, 130, 131, 128, 129, 134, 135, 132, 133,
    154, 155, 152, 153, 158, 159, 156, 157, 146, 147, 144, 145, 150, 151, 148, 149,
    226, 227, 224, 225, 230, 231, 228, 229, 221, 221, 220, 220, 223, 223, 222, 222,
    244, 246, 240, 242, 252, 254, 248, 250, 234, 235, 232, 233, 238, 239, 236, 237,
    200, 201, 198, 199, 204, 205, 202, 203, 192, 193, 191, 191, 196, 197, 194, 195,
    214, 215, 212, 213, 218, 219, 216, 217, 207, 207, 206, 206, 210, 211, 208, 209,
};

int UlawPosition(uint8_t c) { return c < 128 ? c : 382 - c; }
int AlawPosition(uint8_t c) {
  const int t = c ^ 0x55;
  return (t & 0x80) ? t : 127 - t;
}

int SecondSectionBits(int frames) { return frames == 1 ? 6 : (frames == 2 ? 7 : 8); }

class BitReader {
 public:
  BitReader(const uint8_t* p, int bytes) : p_(p), bits_(8 * bytes) {}
  bool Read(int n, int* v) {
    if (pos_ + n > bits_) return false;
    int r = 0;
    for (int i = 0; i < n; ++i, ++pos_) r = (r << 1) | ((p_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1);
    *v = r;
    return true;
  }

 private:
  const uint8_t* p_;
  int bits_;
  int pos_ = 0;
};

void PutBits(uint8_t* p, int* pos, int n, int v) {
  for (int i = n - 1; i >= 0; --i, ++(*pos)) {
    if ((v >> i) & 1) p[*pos >> 3] = static_cast<uint8_t>(p[*pos >> 3] | (0x80 >> (*pos & 7)));
  }
}

// The parsed layout of a packet.
struct PacketLayout {
  int frames;
  int firstOffset[kOstrel711MaxFrames];
  int firstLength[kOstrel711MaxFrames];
  int firstStart;
  int firstBytes;
  int secondStart;
  int secondBytes;
  int total;
};

bool ParseLayout(const uint8_t* p, int bytes, PacketLayout* l) {
  BitReader br(p, bytes < 5 ? bytes : 5);
  int v;
  if (!br.Read(2, &v)) return false;
  l->frames = v + 1;
  const int n = l->frames;
  if (bytes < n + 1) return false;
  l->firstBytes = 0;
  for (int i = 0; i < n; ++i) {
    if (!br.Read(6, &v) || v > 57) return false;
    l->firstLength[i] = v + 14;
    l->firstBytes += v + 14;
  }
  if (!br.Read(SecondSectionBits(n), &v)) return false;
  l->secondBytes = v + 14 * n;
  if (l->secondBytes > 72 * n) return false;
  int pad;
  if (!br.Read(1, &pad)) return false;
  l->firstStart = n + 1 + pad;
  int off = l->firstStart;
  for (int i = 0; i < n; ++i) {
    l->firstOffset[i] = off - l->firstStart;
    off += l->firstLength[i];
  }
  l->secondStart = off;
  l->total = off + l->secondBytes;
  return l->total <= bytes;
}

void FailDecoder(Ostrel711Codec* inst, int16_t code) {
  inst->errorCode = code;
  inst->decPending = 0;
  // A packet lost in the middle breaks the pairing of sections: nothing held may complete the next one.
  inst->decSecondLeft[0] = inst->decSecondLeft[1] = 0;
}

// Parses the payload (read only) and takes its sections; `late` keeps only the second section.
int16_t TakePacket(Ostrel711Codec* inst, const uint8_t* payload, int32_t bytes, bool late) {
  if (inst->decPending > 0) {
    // Refused, and the current packet's frames are dropped, so that the next payload starts afresh;
    // the held second section still completes the packet after this one.
    inst->errorCode = kOstrelErrPending;
    inst->decPending = 0;
    return -1;
  }
  PacketLayout l;
  if (payload == nullptr || bytes < 2 || !ParseLayout(payload, bytes, &l)) {
    FailDecoder(inst, kOstrelErrMalformed);
    return -1;
  }
  inst->decCur = static_cast<int16_t>(inst->decCur ^ 1);
  const int cur = inst->decCur;
  std::memcpy(inst->decSecond[cur], payload + l.secondStart, static_cast<size_t>(l.secondBytes));
  inst->decSecondBytes[cur] = static_cast<int16_t>(l.secondBytes);
  inst->decSecondLeft[cur] = static_cast<int16_t>(l.frames);
  inst->decSecondPos[cur] = 0;
  inst->decFrames = static_cast<int16_t>(l.frames);
  if (late) {
    // Its own turn has been concealed already; what is older than it can complete nothing any more.
    inst->decSecondLeft[cur ^ 1] = 0;
    inst->decPending = 0;
    return 0;
  }
  std::memcpy(inst->decFirst, payload + l.firstStart, static_cast<size_t>(l.firstBytes));
  for (int i = 0; i < l.frames; ++i) {
    inst->decFirstOffset[i] = static_cast<int16_t>(l.firstOffset[i]);
    inst->decFirstLength[i] = static_cast<int16_t>(l.firstLength[i]);
  }
  inst->decPending = static_cast<int16_t>(l.frames);
  return 0;
}

// Bytes of the current packet's first section from frame i on.
int FirstSectionRest(const Ostrel711Codec* inst, int i) {
  const int last = inst->decFrames - 1;
  return inst->decFirstOffset[last] + inst->decFirstLength[last] - inst->decFirstOffset[i];
}

// Next frame of a second section (second-section coding): its 80 values, or false when malformed.
bool TakeSecondFrame(Ostrel711Codec* inst, int which, int16_t* q) {
  const int pos = inst->decSecondPos[which];
  const int rest = inst->decSecondBytes[which] - pos;
  const int avail = rest > kOstrel711SecondFrameMaxBytes ? kOstrel711SecondFrameMaxBytes : rest;
  const int len = avail > 0 ? Ostrel711_DecodeFrameBits(q, inst->decSecond[which] + pos, 1, avail, rest) : 0;
  if (len == 0) return false;
  inst->decSecondPos[which] = static_cast<int16_t>(pos + len);
  inst->decSecondLeft[which]--;
  return true;
}

}  // namespace

int16_t Ostrel711_InitCore(Ostrel711Codec* inst, int16_t law, int16_t inputKind, int16_t blockLength,
                           int16_t packetSamples) {
  const int32_t wrapper = inst->wrapperWord;
  std::memset(inst, 0, sizeof *inst);
  inst->wrapperWord = wrapper;
  int16_t error = 0;
  if (blockLength != kN || (packetSamples != 80 && packetSamples != 160 && packetSamples != 240 && packetSamples != 320)) {
    error = kOstrelErrPacketLength;
    packetSamples = 80;
  }
  if (law != 0 && law != 1) {
    error = kOstrelErrLaw;
    law = 0;
  }
  if (inputKind < 0 || inputKind > 2) {
    error = kOstrelErrInputKind;
    inputKind = kOstrelInputLinear;
  }
  inst->blockLength = kN;
  inst->law = law;
  inst->inputKind = inputKind;
  inst->framesPerPacket = static_cast<int16_t>(packetSamples / kN);
  inst->headerTop = static_cast<uint16_t>((inst->framesPerPacket - 1) << 14);
  inst->maxPacketBytes = static_cast<int16_t>(Ostrel711_MaxPacketBytes(inst->framesPerPacket));

  // The first packet carries, in place of a previous period, coded silence (code position 127.5: q' = 64).
  int16_t silence[kN];
  int16_t lin[kN];
  Spl_FillW16(silence, 64, kN);
  Spl_FillW16(lin, kOstrelCodeToLinear[1][31], kN);
  int16_t refl[kOstrel711LpcOrder];
  uint16_t words[2];
  Ostrel711_AnalyzeLpc(lin, refl, words);
  uint8_t frame[kOstrel711FrameMaxBytes];
  Ostrel_FillPreviousSection(inst, frame, Ostrel711_EncodeFrame(frame, silence, refl, 0, words));

  inst->lastKind = -1;
  inst->errorCode = error;
  return error ? -1 : 0;
}

int16_t Ostrel711_Init(Ostrel711Codec* inst, int16_t law, int16_t inputKind, int16_t packetSamples) {
  return Ostrel711_InitCore(inst, law, inputKind, kN, packetSamples);
}

int16_t Ostrel711_ResetCore(Ostrel711Codec* inst, int16_t law, int16_t blockLength) {
  inst->blockLength = blockLength;
  inst->decPending = 0;
  inst->decFrames = 0;
  for (int i = 0; i < 2; ++i) {
    inst->decSecondLeft[i] = 0;
    inst->decSecondPos[i] = 0;
    inst->decSecondBytes[i] = 0;
  }
  inst->lastKind = -1;
  if (law != 0 && law != 1) {
    inst->errorCode = kOstrelErrLaw;
    return -1;
  }
  inst->law = law;
  return 0;
}

int16_t Ostrel711_Reset(Ostrel711Codec* inst, int16_t law) { return Ostrel711_ResetCore(inst, law, kN); }
int16_t Ostrel711U_Reset(Ostrel711Codec* inst) { return Ostrel711_Reset(inst, 0); }
int16_t Ostrel711A_Reset(Ostrel711Codec* inst) { return Ostrel711_Reset(inst, 1); }

uint8_t Ostrel711_OtherLawCode(int16_t law, uint8_t code) { return law == 1 ? kUlawToAlaw[code] : kAlawToUlaw[code]; }

int16_t Ostrel711_EncodeCore(Ostrel711Codec* inst, const int16_t* block, uint8_t* packet, int16_t* packetBytes,
                             int16_t* blocksNeeded) {
  const bool alaw = inst->law == 1;
  const uint8_t* codes = reinterpret_cast<const uint8_t*>(block);
  int16_t q[kN];
  int16_t q1[kN];
  int16_t lin[kN];
  for (int i = 0; i < kN; ++i) {
    uint8_t c;
    if (inst->inputKind == kOstrelInputLinear) {
      c = alaw ? G711_AlawEncodeSample(block[i]) : G711_UlawEncodeSample(block[i]);
    } else if (inst->inputKind == kOstrelInputAlaw) {
      c = alaw ? codes[i] : Ostrel711_OtherLawCode(0, codes[i]);
    } else {
      c = alaw ? Ostrel711_OtherLawCode(1, codes[i]) : codes[i];
    }
    const int p = alaw ? AlawPosition(c) : UlawPosition(c);
    q[i] = static_cast<int16_t>(p >> 1);
    const int qq = (p + 1) >> 1;
    q1[i] = static_cast<int16_t>(qq == 128 ? 126 : qq);  // keeps bit 0 and 7 bits
    lin[i] = kOstrelCodeToLinear[1][p >> 2];
  }
  int16_t refl[kOstrel711LpcOrder];
  uint16_t words[2];
  Ostrel711_AnalyzeLpc(lin, refl, words);

  const int cur = inst->encCur;
  const int n = inst->encCollected;
  inst->encSecondBytes = static_cast<int16_t>(
      inst->encSecondBytes + Ostrel711_EncodeFrame(inst->encSecond + inst->encSecondBytes, q, refl, 1, words));
  const int len = Ostrel711_EncodeFrame(inst->encFirst[cur] + inst->encFirstBytes[cur], q1, refl, 0, words);
  inst->encFrameLengths[cur][n] = static_cast<int16_t>(len);
  inst->encFirstBytes[cur] = static_cast<int16_t>(inst->encFirstBytes[cur] + len);
  inst->encCollected = static_cast<int16_t>(n + 1);

  const int frames = inst->framesPerPacket;
  if (inst->encCollected < frames) {
    *packetBytes = 0;
    *blocksNeeded = static_cast<int16_t>(frames - inst->encCollected);
    return 0;
  }

  const int prev = cur ^ 1;
  const int header = frames + 1;
  std::memset(packet, 0, static_cast<size_t>(header));
  packet[0] = static_cast<uint8_t>(inst->headerTop >> 8);
  int bit = 2;
  for (int i = 0; i < frames; ++i) PutBits(packet, &bit, 6, inst->encFrameLengths[prev][i] - 14);
  PutBits(packet, &bit, SecondSectionBits(frames), inst->encSecondBytes - 14 * frames);
  PutBits(packet, &bit, 1, 0);  // no pad byte
  const int total = header + Ostrel_WriteSections(inst, packet + header);
  *packetBytes = static_cast<int16_t>(total);
  *blocksNeeded = 0;
  return total > header ? 0 : -1;
}

int16_t Ostrel711_StartPacket(Ostrel711Codec* inst, const uint8_t* payload, int32_t payloadBytes) {
  return TakePacket(inst, payload, payloadBytes, false);
}

int32_t Ostrel711_PacketLength(const uint8_t* payload, int32_t payloadBytes, int16_t* frames) {
  PacketLayout l;
  if (payload == nullptr || payloadBytes < 2) return -1;
  if (!ParseLayout(payload, payloadBytes, &l))
    return -1;
  if (frames) *frames = static_cast<int16_t>(l.frames);
  return l.total;
}

int16_t Ostrel711_StartLatePacket(Ostrel711Codec* inst, const uint8_t* payload, int32_t payloadBytes) {
  return TakePacket(inst, payload, payloadBytes, true);
}

int16_t Ostrel711_DecodeFrame(Ostrel711Codec* inst, const uint8_t* payload, int16_t* out, int32_t payloadBytes,
                              int16_t* framesLeft) {
  *framesLeft = 0;
  const int law = inst->law == 1 ? 1 : 0;
  const int16_t* M = kOstrelRecM[law];
  const int16_t* E = kOstrelRecE[law];
  if (inst->decPending == 0 && payload != nullptr && payloadBytes > 0) {
    if (Ostrel711_StartPacket(inst, payload, payloadBytes) < 0) {
      Spl_ZeroW16(out, kN);
      return -1;
    }
  }
  int16_t q[kN];
  if (inst->decPending > 0) {
    const int i = inst->decFrames - inst->decPending;
    const uint8_t* first = inst->decFirst + inst->decFirstOffset[i];
    const int announced = inst->decFirstLength[i];
    const int prev = inst->decCur ^ 1;
    bool ok;
    if (inst->decSecondLeft[prev] > 0) {
      // The previous packet's coding of this block gives q = p >> 1; this packet's coding adds bit 0 of q'.
      const bool compressed = (first[0] & 0x40) != 0;
      ok = announced >= (compressed ? kOstrel711FrameMinBytes : kOstrel711FrameMaxBytes) && TakeSecondFrame(inst, prev, q);
      if (ok) {
        int16_t f[kN] = {};
        Ostrel711_AddRawBits(f, first);
        for (int j = 0; j < kN; ++j) out[j] = Spl_SatW16(2 * (int32_t{E[q[j] + ((q[j] & 1) ^ f[j])]} + M[q[j]]));
        inst->lastKind = 0;
      }
    } else {
      // The header gives this frame's length: a frame that decodes to another length is corrupt.
      ok = Ostrel711_DecodeFrameBits(q, first, 0, announced, FirstSectionRest(inst, i)) == announced;
      if (ok) {
        for (int j = 0; j < kN; ++j) out[j] = Spl_SatW16(4 * int32_t{E[q[j]]});
        inst->lastKind = 1;
      }
    }
    if (!ok) {
      FailDecoder(inst, kOstrelErrMalformed);
      Spl_ZeroW16(out, kN);
      return -1;
    }
    inst->decPending--;
    *framesLeft = inst->decPending;
    return kN;
  }
  const int cur = inst->decCur;
  if (inst->decSecondLeft[cur] > 0) {
    if (!TakeSecondFrame(inst, cur, q)) {
      FailDecoder(inst, kOstrelErrMalformed);
      Spl_ZeroW16(out, kN);
      return -1;
    }
    for (int j = 0; j < kN; ++j) out[j] = Spl_SatW16(4 * int32_t{M[q[j]]});
    inst->lastKind = 1;
    *framesLeft = inst->decSecondLeft[cur];
    return kN;
  }
  Spl_ZeroW16(out, kN);
  inst->lastKind = -1;
  return 0;
}

int16_t Ostrel711_DecodeFrames(Ostrel711Codec* inst, const uint8_t* payload, int32_t payloadBytes, int16_t* out,
                               int16_t* speechType, int capacity) {
  return Ostrel_DecodePayload(inst, Ostrel711_DecodeFrame, kN, payload, payloadBytes, out, speechType, capacity);
}

int16_t Ostrel711_Decode(Ostrel711Codec* inst, const uint8_t* payload, int32_t payloadBytes, int16_t* out,
                         int16_t* speechType, int capacity) {
  return Ostrel711_DecodeFrames(inst, payload, payloadBytes, out, speechType, capacity);
}

int16_t Ostrel711_GetDecoderInfo(const Ostrel711Codec* inst, int16_t* lastKind, int16_t* heldFrames) {
  *lastKind = inst->lastKind;
  *heldFrames = inst->decSecondLeft[inst->decCur];
  return 0;
}

int16_t Ostrel_Version(char* text, int size) {
  static const char kVersion[] = "2.1.24";
  if (text == nullptr || size < static_cast<int>(sizeof kVersion)) return -1;
  std::memcpy(text, kVersion, sizeof kVersion);
  return 0;
}
