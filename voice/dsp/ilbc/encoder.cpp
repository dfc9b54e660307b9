// iLBC block encoder and the excitation reconstruction it shares with the decoder.
#include <cstring>

#include "voice/dsp/ilbc/ilbc_internal.h"
#include "voice/dsp/ilbc/ilbc_tables.h"
#include "voice/dsp/spl.h"

namespace {

constexpr int16_t kHpInZeros[3] = {3798, -7596, 3798};
constexpr int16_t kHpInPoles[2] = {7807, -3733};

int64_t clampAcc(int64_t v, int64_t limit) {
  if (v < -limit) return -limit;
  if (v > limit - 1) return limit - 1;
  return v;
}

// Second-order section in split precision; outShift 13 halves the signal, 11 doubles it back.
void highPass(int16_t* x, const int16_t* b, const int16_t* a, int16_t* xMem, int16_t* yMem, int n, int outShift) {
  for (int i = 0; i < n; ++i) {
    const int16_t in = x[i];
    int64_t acc = int64_t{b[0]} * in + int64_t{b[1]} * xMem[0] + int64_t{b[2]} * xMem[1];
    acc += 2 * (int64_t{yMem[0]} * a[0] + int64_t{yMem[2]} * a[1] +
                ((int64_t{yMem[1]} * a[0] + int64_t{yMem[3]} * a[1]) >> 15));
    const int64_t round = int64_t{1} << (outShift - 1);
    const int64_t outLimit = int64_t{1} << (outShift + 15);
    x[i] = static_cast<int16_t>(clampAcc(acc + round, outLimit) >> outShift);
    xMem[1] = xMem[0];
    xMem[0] = in;
    yMem[2] = yMem[0];
    yMem[3] = yMem[1];
    const int64_t accC = clampAcc(acc, int64_t{1} << 28);
    yMem[0] = static_cast<int16_t>(accC >> 13);
    yMem[1] = static_cast<int16_t>((static_cast<uint64_t>(accC) & 0x1fffu) << 2);
  }
}

// The encoder's view of one codebook block: search the target, then rebuild it as the decoder will.
void codeBlock(int16_t* decoded, int16_t* index, int16_t* gain, const int16_t* target, const int16_t* mem,
               int memLength, int length, const int16_t* weight, int block) {
  Ilbc_SearchCodebook(index, gain, target, mem, memLength, length, weight, block);
  Ilbc_ConstructCodebook(decoded, index, gain, mem, memLength, length);
}

}  // namespace

void Ilbc_HighPassInput(int16_t* x, const int16_t* b, const int16_t* a, int16_t* xMem, int16_t* yMem, int n) {
  highPass(x, b, a, xMem, yMem, n, 13);
}

void Ilbc_HighPassOutput(int16_t* x, const int16_t* b, const int16_t* a, int16_t* xMem, int16_t* yMem, int n) {
  highPass(x, b, a, xMem, yMem, n, 11);
}

// Start-state position inside the two start sub-blocks.
static int statePosition(const IlbcFrameConstants* c, const IlbcFrameParams* p) {
  return (p->start - 1) * kIlbcSubLength + (p->stateFirst ? 0 : kIlbcStateLength - c->stateShortLength);
}

void Ilbc_DecodeResidual(const IlbcFrameConstants* c, const IlbcFrameParams* p, int16_t* dec, const int16_t* synt) {
  const int len = c->stateShortLength;
  const int diff = kIlbcStateLength - len;
  const int start = p->start;
  const int pos = statePosition(c, p);
  Ilbc_ConstructState(p->idxForMax, p->idxVec, synt + (start - 1) * kIlbcLpcLen, dec + pos, len);

  int16_t mem[kIlbcCbMemLength];
  int16_t rev[4 * kIlbcSubLength];
  if (p->stateFirst) {
    std::memset(mem, 0, sizeof(mem));
    std::memcpy(mem + kIlbcCbMemLength - len, dec + pos, sizeof(int16_t) * static_cast<size_t>(len));
    Ilbc_ConstructCodebook(dec + pos + len, p->cbIndex, p->gainIndex, mem + kIlbcCbMemLength - kIlbcExtMemLength,
                           kIlbcExtMemLength, diff);
  } else {
    std::memset(mem, 0, sizeof(mem));
    for (int k = 0; k < len; ++k) mem[kIlbcCbMemLength - 1 - k] = dec[pos + k];
    Ilbc_ConstructCodebook(rev, p->cbIndex, p->gainIndex, mem + kIlbcCbMemLength - kIlbcExtMemLength,
                           kIlbcExtMemLength, diff);
    for (int k = 0; k < diff; ++k) dec[pos - 1 - k] = rev[k];
  }

  int block = 1;
  const int nFor = c->subBlocks - start - 1;
  if (nFor > 0) {
    std::memset(mem, 0, sizeof(mem));
    std::memcpy(mem + kIlbcCbMemLength - kIlbcStateLength, dec + (start - 1) * kIlbcSubLength,
                sizeof(int16_t) * kIlbcStateLength);
    for (int sf = 0; sf < nFor; ++sf, ++block) {
      int16_t* out = dec + (start + 1 + sf) * kIlbcSubLength;
      Ilbc_ConstructCodebook(out, p->cbIndex + 3 * block, p->gainIndex + 3 * block, mem, kIlbcCbMemLength,
                             kIlbcSubLength);
      std::memmove(mem, mem + kIlbcSubLength, sizeof(int16_t) * (kIlbcCbMemLength - kIlbcSubLength));
      std::memcpy(mem + kIlbcCbMemLength - kIlbcSubLength, out, sizeof(int16_t) * kIlbcSubLength);
    }
  }
  const int nBack = start - 1;
  if (nBack > 0) {
    int got = kIlbcSubLength * (c->subBlocks + 1 - start);
    if (got > kIlbcCbMemLength) got = kIlbcCbMemLength;
    std::memset(mem, 0, sizeof(mem));
    for (int k = 0; k < got; ++k) mem[kIlbcCbMemLength - 1 - k] = dec[(start - 1) * kIlbcSubLength + k];
    for (int sf = 0; sf < nBack; ++sf, ++block) {
      int16_t* out = rev + sf * kIlbcSubLength;
      Ilbc_ConstructCodebook(out, p->cbIndex + 3 * block, p->gainIndex + 3 * block, mem, kIlbcCbMemLength,
                             kIlbcSubLength);
      std::memmove(mem, mem + kIlbcSubLength, sizeof(int16_t) * (kIlbcCbMemLength - kIlbcSubLength));
      std::memcpy(mem + kIlbcCbMemLength - kIlbcSubLength, out, sizeof(int16_t) * kIlbcSubLength);
    }
    for (int i = 0; i < kIlbcSubLength * nBack; ++i) dec[kIlbcSubLength * nBack - 1 - i] = rev[i];
  }
}

void Ilbc_EncodeBlock(uint8_t* frame, const int16_t* block, IlbcEncoder* enc, IlbcFrameParams* paramsOut,
                      int16_t* decodedOut) {
  const IlbcFrameConstants* c = &enc->c;
  const int bl = c->blockLength;
  const int len = c->stateShortLength;
  const int diff = kIlbcStateLength - len;
  IlbcFrameParams p;
  std::memset(&p, 0, sizeof(p));

  int16_t buf[kIlbcOrder + 240];
  int16_t* data = buf + kIlbcOrder;
  std::memcpy(data, block, sizeof(int16_t) * static_cast<size_t>(bl));
  Ilbc_HighPassInput(data, kHpInZeros, kHpInPoles, enc->hpIn, enc->hpOut, bl);

  int16_t lsf[20];
  int16_t lsfDeq[20];
  Ilbc_LpcAnalysis(lsf, data, enc);
  Ilbc_QuantizeLsf(lsfDeq, p.lsf, lsf, c->lpcAnalyses);
  Ilbc_CheckLsf(lsfDeq, 10, c->lpcAnalyses);
  int16_t synt[6 * kIlbcLpcLen];
  int16_t weight[6 * kIlbcLpcLen];
  Ilbc_EncoderInterpolate(synt, weight, lsf, lsfDeq, enc);

  int16_t residual[240];
  std::memcpy(buf, enc->analysisMemory, sizeof(enc->analysisMemory));
  for (int n = 0; n < c->subBlocks; ++n)
    Ilbc_AnalysisFilter(data + n * kIlbcSubLength, synt + n * kIlbcLpcLen, residual + n * kIlbcSubLength,
                        kIlbcSubLength);
  std::memcpy(enc->analysisMemory, data + bl - kIlbcOrder, sizeof(enc->analysisMemory));

  const int start = Ilbc_ClassifyFrame(c, residual);
  p.start = static_cast<int16_t>(start);
  {
    const int16_t* two = residual + (start - 1) * kIlbcSubLength;
    const int16_t m = Spl_MaxAbsValueW16(two, kIlbcStateLength);
    int s = Spl_BitLength32(static_cast<uint32_t>(int32_t{m} * m)) - 25;
    if (s < 0) s = 0;
    const int32_t e1 = Spl_DotProductShift(two, two, len, s);
    const int32_t e2 = Spl_DotProductShift(two + diff, two + diff, len, s);
    p.stateFirst = e1 > e2 ? 1 : 0;
  }
  const int pos = statePosition(c, &p);
  Ilbc_SearchState(c, &p, residual + pos, synt + (start - 1) * kIlbcLpcLen, weight + (start - 1) * kIlbcLpcLen);

  int16_t dec[240] = {};
  Ilbc_ConstructState(p.idxForMax, p.idxVec, synt + (start - 1) * kIlbcLpcLen, dec + pos, len);

  // State extension: the rest of the two start sub-blocks.
  int16_t mem[kIlbcCbMemLength];
  int16_t revTarget[4 * kIlbcSubLength];
  int16_t rev[4 * kIlbcSubLength];
  std::memset(mem, 0, sizeof(mem));
  if (p.stateFirst) {
    std::memcpy(mem + kIlbcCbMemLength - len, dec + pos, sizeof(int16_t) * static_cast<size_t>(len));
    codeBlock(dec + pos + len, p.cbIndex, p.gainIndex, residual + pos + len,
              mem + kIlbcCbMemLength - kIlbcExtMemLength, kIlbcExtMemLength, diff, weight + start * kIlbcLpcLen, 0);
  } else {
    for (int k = 0; k < diff; ++k) revTarget[k] = residual[pos - 1 - k];
    for (int k = 0; k < len; ++k) mem[kIlbcCbMemLength - 1 - k] = dec[pos + k];
    codeBlock(rev, p.cbIndex, p.gainIndex, revTarget, mem + kIlbcCbMemLength - kIlbcExtMemLength,
              kIlbcExtMemLength, diff, weight + (start - 1) * kIlbcLpcLen, 0);
    for (int k = 0; k < diff; ++k) dec[pos - 1 - k] = rev[k];
  }

  // Sub-blocks after the start state, forwards in time.
  int blockNo = 1;
  const int nFor = c->subBlocks - start - 1;
  if (nFor > 0) {
    std::memset(mem, 0, sizeof(mem));
    std::memcpy(mem + kIlbcCbMemLength - kIlbcStateLength, dec + (start - 1) * kIlbcSubLength,
                sizeof(int16_t) * kIlbcStateLength);
    for (int sf = 0; sf < nFor; ++sf, ++blockNo) {
      const int sub = start + 1 + sf;
      int16_t* out = dec + sub * kIlbcSubLength;
      codeBlock(out, p.cbIndex + 3 * blockNo, p.gainIndex + 3 * blockNo, residual + sub * kIlbcSubLength, mem,
                kIlbcCbMemLength, kIlbcSubLength, weight + sub * kIlbcLpcLen, blockNo);
      std::memmove(mem, mem + kIlbcSubLength, sizeof(int16_t) * (kIlbcCbMemLength - kIlbcSubLength));
      std::memcpy(mem + kIlbcCbMemLength - kIlbcSubLength, out, sizeof(int16_t) * kIlbcSubLength);
    }
  }

  // Sub-blocks before the start state, backwards in time.
  const int nBack = start - 1;
  if (nBack > 0) {
    for (int n = 0; n < nBack; ++n)
      for (int k = 0; k < kIlbcSubLength; ++k)
        revTarget[n * kIlbcSubLength + k] = residual[(start - 1) * kIlbcSubLength - 1 - n * kIlbcSubLength - k];
    int got = kIlbcSubLength * (c->subBlocks + 1 - start);
    if (got > kIlbcCbMemLength) got = kIlbcCbMemLength;
    std::memset(mem, 0, sizeof(mem));
    for (int k = 0; k < got; ++k) mem[kIlbcCbMemLength - 1 - k] = dec[(start - 1) * kIlbcSubLength + k];
    for (int sf = 0; sf < nBack; ++sf, ++blockNo) {
      int16_t* out = rev + sf * kIlbcSubLength;
      codeBlock(out, p.cbIndex + 3 * blockNo, p.gainIndex + 3 * blockNo, revTarget + sf * kIlbcSubLength, mem,
                kIlbcCbMemLength, kIlbcSubLength, weight + (start - 2 - sf) * kIlbcLpcLen, blockNo);
      std::memmove(mem, mem + kIlbcSubLength, sizeof(int16_t) * (kIlbcCbMemLength - kIlbcSubLength));
      std::memcpy(mem + kIlbcCbMemLength - kIlbcSubLength, out, sizeof(int16_t) * kIlbcSubLength);
    }
    for (int i = 0; i < kIlbcSubLength * nBack; ++i) dec[kIlbcSubLength * nBack - 1 - i] = rev[i];
  }

  IlbcFrameParams packed = p;
  Ilbc_ConvertIndexEnc(packed.cbIndex + kIlbcStages);
  Ilbc_PackFrame(frame, &packed, c->mode);
  if (paramsOut) *paramsOut = p;
  if (decodedOut) std::memcpy(decodedOut, dec, sizeof(int16_t) * static_cast<size_t>(bl));
}
