// iLBC bit stream: packing and unpacking of frame parameters in the three protection classes.
#include <cstring>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/ilbc_tables.h"

namespace {

struct Ulp {
  const int8_t* lsf;
  const int8_t* start;
  const int8_t* startFirst;
  const int8_t* scale;
  const int8_t* state;
  const int8_t* extraIndex;
  const int8_t* extraGain;
  const int8_t* cbIndex;
  const int8_t* cbGain;
  int lsfCount;
  int stateLength;
  int subBlocks;  // coded 40-sample sub-blocks
};

Ulp ulpFor(int mode) {
  if (mode == 30) {
    return {kIlbcUlp30LsfBits,       kIlbcUlp30StartBits,    kIlbcUlp30StartfirstBits,
            kIlbcUlp30ScaleBits,     kIlbcUlp30StateBits,    kIlbcUlp30ExtraCbIndex,
            kIlbcUlp30ExtraCbGain,   kIlbcUlp30CbIndex,      kIlbcUlp30CbGain,
            6,                       58,                     4};
  }
  return {kIlbcUlp20LsfBits,     kIlbcUlp20StartBits,  kIlbcUlp20StartfirstBits,
          kIlbcUlp20ScaleBits,   kIlbcUlp20StateBits,  kIlbcUlp20ExtraCbIndex,
          kIlbcUlp20ExtraCbGain, kIlbcUlp20CbIndex,    kIlbcUlp20CbGain,
          3,                     57,                   2};
}

// One parameter's allocation: the bits it has in each class (5 columns, 3 used).
int bitsIn(const int8_t* row, int cls) { return row[cls]; }
int bitsBelow(const int8_t* row, int cls) {
  int n = 0;
  for (int k = cls + 1; k < 5; ++k) n += row[k];
  return n;
}

// Visits every parameter piece of one class in stream order.
template <typename F>
void forEachPiece(const Ulp& u, IlbcFrameParams* p, int cls, F&& f) {
  for (int k = 0; k < u.lsfCount; ++k) f(&p->lsf[k], u.lsf + 5 * k, cls);
  f(&p->start, u.start, cls);
  f(&p->stateFirst, u.startFirst, cls);
  f(&p->idxForMax, u.scale, cls);
  for (int k = 0; k < u.stateLength; ++k) f(&p->idxVec[k], u.state, cls);
  for (int k = 0; k < kIlbcStages; ++k) f(&p->cbIndex[k], u.extraIndex + 5 * k, cls);
  for (int k = 0; k < kIlbcStages; ++k) f(&p->gainIndex[k], u.extraGain + 5 * k, cls);
  for (int i = 0; i < u.subBlocks; ++i)
    for (int k = 0; k < kIlbcStages; ++k)
      f(&p->cbIndex[kIlbcStages * (i + 1) + k], u.cbIndex + 15 * i + 5 * k, cls);
  for (int i = 0; i < u.subBlocks; ++i)
    for (int k = 0; k < kIlbcStages; ++k)
      f(&p->gainIndex[kIlbcStages * (i + 1) + k], u.cbGain + 15 * i + 5 * k, cls);
}

}  // namespace

void Ilbc_PackFrame(uint8_t* frame, const IlbcFrameParams* params, int mode) {
  const Ulp u = ulpFor(mode);
  const int bytes = mode == 30 ? 50 : 38;
  std::memset(frame, 0, static_cast<size_t>(bytes));
  IlbcFrameParams p = *params;
  int pos = 0;
  auto put = [&](int16_t* value, const int8_t* row, int cls) {
    const int n = bitsIn(row, cls);
    if (n == 0) return;
    const unsigned v = (static_cast<unsigned>(static_cast<uint16_t>(*value)) >> bitsBelow(row, cls)) & ((1u << n) - 1u);
    for (int b = n - 1; b >= 0; --b, ++pos)
      if ((v >> b) & 1u) frame[pos >> 3] = static_cast<uint8_t>(frame[pos >> 3] | (0x80u >> (pos & 7)));
  };
  for (int cls = 0; cls < 3; ++cls) forEachPiece(u, &p, cls, put);
  // The last bit (empty-frame indicator) stays 0.
}

int Ilbc_UnpackFrame(const uint8_t* frame, IlbcFrameParams* p, int mode) {
  const Ulp u = ulpFor(mode);
  const int bytes = mode == 30 ? 50 : 38;
  std::memset(p, 0, sizeof(*p));
  int pos = 0;
  auto get = [&](int16_t* value, const int8_t* row, int cls) {
    const int n = bitsIn(row, cls);
    if (n == 0) return;
    unsigned v = static_cast<uint16_t>(*value);
    for (int b = 0; b < n; ++b, ++pos) v = (v << 1) | ((frame[pos >> 3] >> (7 - (pos & 7))) & 1u);
    *value = static_cast<int16_t>(v);
  };
  for (int cls = 0; cls < 3; ++cls) forEachPiece(u, p, cls, get);
  const int last = bytes * 8 - 1;
  return (frame[last >> 3] >> (7 - (last & 7))) & 1;
}

// The first coded 40-sample sub-block searches only part of its codebook in stages 2 and 3
// (regular and augmented vectors of both sections), so its indices travel in 7 bits.
void Ilbc_ConvertIndexEnc(int16_t* index) {
  for (int k = 1; k < kIlbcStages; ++k) {
    if (index[k] >= 108 && index[k] < 172) {
      index[k] = static_cast<int16_t>(index[k] - 64);
    } else if (index[k] >= 236) {
      index[k] = static_cast<int16_t>(index[k] - 128);
    }
  }
}

void Ilbc_ConvertIndexDec(int16_t* index) {
  for (int k = 1; k < kIlbcStages; ++k) {
    if (index[k] >= 44 && index[k] < 108) {
      index[k] = static_cast<int16_t>(index[k] + 64);
    } else if (index[k] >= 108 && index[k] < 128) {
      index[k] = static_cast<int16_t>(index[k] + 128);
    }
  }
}
