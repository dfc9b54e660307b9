// Internal routines and constants of the iLBC codec shared by the encoder, decoder and tests.
#pragma once

#include <cstdint>

#include "voice/dsp/ilbc/ilbc.h"

constexpr int kIlbcOrder = 10;
constexpr int kIlbcLpcLen = 11;
constexpr int kIlbcSubLength = 40;
constexpr int kIlbcStateLength = 80;   // the two start sub-blocks
constexpr int kIlbcCbMemLength = 147;
constexpr int kIlbcExtMemLength = 85;  // memory of the state extension
constexpr int kIlbcStages = 3;
constexpr int kIlbcMaxBlocks = 5;      // state extension + at most 4 further sub-blocks
constexpr int kIlbcEnhBufLength = 640;

// Parameters of one frame, as packed into the bit stream.
struct IlbcFrameParams {
  int16_t lsf[6];
  int16_t cbIndex[kIlbcMaxBlocks * kIlbcStages];    // block 0: state extension; then sub-blocks
  int16_t gainIndex[kIlbcMaxBlocks * kIlbcStages];
  int16_t idxForMax;
  int16_t stateFirst;
  int16_t idxVec[58];
  int16_t start;  // start sub-block, 1-based
};

void Ilbc_SetConstants(IlbcFrameConstants* c, int mode);

// ---- LPC layer ----
void Ilbc_AnalysisFilter(const int16_t* in, const int16_t* a, int16_t* out, int n);
void Ilbc_SynthesisFilter(const int16_t* in, int16_t* out, const int16_t* a, int len, int n);
void Ilbc_LpcAnalysis(int16_t* lsf, const int16_t* block, IlbcEncoder* enc);
void Ilbc_PolyToLsf(int16_t* lsf, const int16_t* a);
void Ilbc_LsfToPoly(int16_t* a, const int16_t* lsf);
void Ilbc_QuantizeLsf(int16_t* lsfDeq, int16_t* index, const int16_t* lsf, int vectors);
void Ilbc_DequantizeLsf(int16_t* lsfDeq, const int16_t* index, int vectors);
int Ilbc_CheckLsf(int16_t* lsf, int dim, int vectors);
void Ilbc_InterpolateLsf(int16_t* out, const int16_t* a, const int16_t* b, int16_t weight, int n);
void Ilbc_ExpandBandwidth(int16_t* out, const int16_t* in, const int16_t* chirp, int n);
// Encoder: one synthesis and one weighting polynomial per sub-block.
void Ilbc_EncoderInterpolate(int16_t* synt, int16_t* weight, const int16_t* lsf, const int16_t* lsfDeq,
                             IlbcEncoder* enc);
void Ilbc_DecoderInterpolate(int16_t* synt, const int16_t* lsfDeq, IlbcDecoder* dec);

// ---- Start state ----
int Ilbc_ClassifyFrame(const IlbcFrameConstants* c, const int16_t* residual);
void Ilbc_SearchState(const IlbcFrameConstants* c, IlbcFrameParams* p, const int16_t* residual,
                      const int16_t* synt, const int16_t* weight);
int Ilbc_SortSq(int16_t x, const int16_t* levels, int n);
void Ilbc_ConstructState(int idxForMax, const int16_t* idxVec, const int16_t* synt, int16_t* out, int len);

// ---- Codebook ----
void Ilbc_SearchCodebook(int16_t* index, int16_t* gainIndex, const int16_t* target, const int16_t* mem,
                         int memLength, int targetLength, const int16_t* weight, int block);
void Ilbc_ConstructCodebook(int16_t* out, const int16_t* index, const int16_t* gainIndex, const int16_t* mem,
                            int memLength, int length);
void Ilbc_GetCodebookVector(int16_t* out, const int16_t* mem, int index, int memLength, int length);
void Ilbc_AugmentVector(int lag, const int16_t* memEnd, int16_t* out);
int16_t Ilbc_QuantizeGain(int16_t gain, int16_t scale, int stage, int16_t* index);
int16_t Ilbc_DequantizeGain(int index, int16_t scale, int stage);
// Codebook size (both sections) for a memory and target length.
int Ilbc_CodebookSize(int memLength, int length);

// ---- Excitation construction shared by encoder and decoder ----
// Rebuilds the excitation of one block from its parameters (start state and all codebook blocks).
void Ilbc_DecodeResidual(const IlbcFrameConstants* c, const IlbcFrameParams* p, int16_t* excitation,
                         const int16_t* synt);

// ---- Bit stream ----
void Ilbc_PackFrame(uint8_t* frame, const IlbcFrameParams* p, int mode);
int Ilbc_UnpackFrame(const uint8_t* frame, IlbcFrameParams* p, int mode);  // returns the last bit
void Ilbc_ConvertIndexEnc(int16_t* index);
void Ilbc_ConvertIndexDec(int16_t* index);

// ---- Encoder / decoder blocks ----
void Ilbc_HighPassInput(int16_t* x, const int16_t* b, const int16_t* a, int16_t* xMem, int16_t* yMem, int n);
void Ilbc_HighPassOutput(int16_t* x, const int16_t* b, const int16_t* a, int16_t* xMem, int16_t* yMem, int n);
// Encodes one block; when `params`/`residual` are given, also returns the parameters and the decoded
// excitation the decoder will rebuild.
void Ilbc_EncodeBlock(uint8_t* frame, const int16_t* block, IlbcEncoder* enc, IlbcFrameParams* params = nullptr,
                      int16_t* decodedResidual = nullptr);
// mode 1: decode the frame; mode 0: conceal. `excitationOut` (optional) receives the excitation.
void Ilbc_DecodeBlock(int16_t* out, const uint8_t* frame, IlbcDecoder* dec, int mode,
                      int16_t* excitationOut = nullptr);
int Ilbc_EstimateLag(const int16_t* target, const int16_t* signal, int length, int lags, int firstLag);

// ---- Concealment ----
int Ilbc_ConcealBlock(int16_t* excitation, int16_t* lpc, int lost, const int16_t* decoded,
                      const int16_t* decodedLpc, int lag, IlbcDecoder* dec);
void Ilbc_CompCorr(int32_t* corr, int32_t* energy, const int16_t* signal, int lag, int length, int span,
                   int scale);

// ---- Enhancer ----
int Ilbc_Enhance(int16_t* out, const int16_t* excitation, IlbcDecoder* dec);
int Ilbc_DownSample(const int16_t* in, int inLength, int16_t* out, int outLength, const int16_t* filter,
                    int filterLength, int factor, int delay);
// Smooths one 80-sample block towards its surround (the weighted segments around it).
void Ilbc_Smooth(int16_t* out, const int16_t* current, const int16_t* surround);
void Ilbc_EnhanceBlock(int16_t* out, const int16_t* buffer, int bufferLength, int blockStart,
                       const int16_t* period, const int16_t* plocs, int history);
