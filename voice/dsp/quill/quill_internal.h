// Quill internals: the instance layout and the building blocks shared by encoder, decoder and tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "voice/dsp/quill/quill.h"
#include "voice/dsp/quill/quill_tables.h"

// ---- Mixed-radix FFT ------------------------------------------------------------------------

inline constexpr int kQuillFftWork = 2048;
inline constexpr int kQuillFftMaxFactors = 11;

// Work space of one FFT copy; every instance owns its own, so channels never share scratch.
struct QuillFftWork {
  double cosines[kQuillFftWork];
  double sines[kQuillFftWork];
  double accRe[kQuillFftWork];
  double accIm[kQuillFftWork];
  int32_t perm[kQuillFftWork];
  int32_t factors[kQuillFftMaxFactors];
  int32_t factorCount;
  int32_t maxFactorSeen;   // recorded sizes (the largest asked for since the last reset)
  int32_t maxPermSeen;
};

// Encoder copy. dims: `ndim` lengths, or (ndim 0) a list ending with 0. isign: its sign gives the
// direction (negative: exp(-i)), its magnitude the element spacing. scaling: 0 or 1 none, > 0 divide
// by it, < 0 divide by the number of points. 0 or -1.
int fftn(QuillFftWork* ws, int ndim, const int dims[], double re[], double im[], int isign, double scaling);
int fftradix(QuillFftWork* ws, double re[], double im[], size_t ntotal, size_t npass, size_t nspan, int isign,
             int maxFactors, int maxPerm);
void fft_reset(QuillFftWork* ws);
// Decoder copy: the same routine with its own error texts.
int fftn2(QuillFftWork* ws, int ndim, const int dims[], double re[], double im[], int isign, double scaling);
int fftradix2(QuillFftWork* ws, double re[], double im[], size_t ntotal, size_t npass, size_t nspan, int isign,
              int maxFactors, int maxPerm);
void fft2_reset(QuillFftWork* ws);

// ---- Arithmetic coder -----------------------------------------------------------------------

struct QuillStream {
  uint8_t buffer[kQuillMaxPayloadBytes];
  uint32_t rangeWidth;    // 0xFFFFFFFF fresh; 0 marks a broken decoder stream
  uint32_t rangeValue;
  uint32_t bytePos;       // encoder: bytes written; decoder: index of the last byte read (0 fresh)
  double bitCheckpoints[30];
  int32_t checkpointCount;
  int32_t overflow;       // encoder: a byte fell past the buffer
};

void Quill_StreamReset(QuillStream* s);
// Interval of [cdfLow, cdfHigh) of 65535; cdfHigh must exceed cdfLow.
void Quill_EncodeInterval(QuillStream* s, uint32_t cdfLow, uint32_t cdfHigh);
void Quill_EncodeSymbols(QuillStream* s, const int* values, const uint16_t* const* tables, int count);
int Quill_DecodeSymbolsStep(int* values, QuillStream* s, const uint16_t* const* tables, const int* starts,
                            int count);
// sizes: per table a power of two at least its entries; each table must hold size - 1 readable entries.
int Quill_DecodeSymbolsBisect(int* values, QuillStream* s, const uint16_t* const* tables, const int* sizes,
                              int count);
int Quill_EncodeTerminate(QuillStream* s);
void Quill_BitCheckpoint(QuillStream* s);
double Quill_StreamBits(const QuillStream* s);
// Decoder helpers for model-based symbols: the scaled entry, the byte count after a field.
uint32_t Quill_ScaleEntry(uint32_t width, uint32_t value);
uint8_t Quill_DecoderNextByte(QuillStream* s);
int Quill_DecoderStart(QuillStream* s);  // loads the first four bytes when fresh; -2 when broken
int Quill_DecoderConsumed(const QuillStream* s);
// Narrows the decoder to [scaled low + 1, scaled high] and renormalises; -2 when the width collapses.
int Quill_DecoderNarrow(QuillStream* s, uint32_t scaledLow, uint32_t scaledHigh);

// Header and pitch-gain fields.
int Quill_EncodeFrameLength(QuillStream* s, int frameLength);    // 0 or -6430
int Quill_DecodeFrameLength(QuillStream* s, int* frameLength);   // bytes so far, or -6640 / -6630
void Quill_EncodeBandwidth(QuillStream* s, int index);
int Quill_DecodeBandwidth(QuillStream* s, int* index);           // bytes so far, or -6650
// Quantises four Q12 gains in place to their reconstruction, writes the field and a checkpoint.
void Quill_EncodePitchGains(QuillStream* s, int16_t gains[4]);
int Quill_PitchGainIndex(const int16_t gains[4]);
int Quill_DecodePitchGains(QuillStream* s, int16_t gains[4]);    // bytes so far, or -6660

// ---- Bandwidth estimator --------------------------------------------------------------------

struct QuillRateEstimator {
  int32_t lastFrameMs;
  int32_t lastSeqNo;
  uint32_t lastArrival;
  float lastPacketRate;
  uint32_t lastMeasureTime;
  uint32_t decayFrom;
  int32_t measureCount;
  int32_t inBandwidth;
  float inSecondsPerBit;
  float inRateAvg;
  float reportedLevelAvg;
  float inJitter;
  float inExcessAvg;
  float inExcessAbsAvg;
  float inMaxDelay;
  float reportedDelayAvg;
  float headerRate;
  float outRateAvg;
  float outDelayAvg;
};

int Quill_RateEstInit(QuillRateEstimator* e);
int Quill_RateEstArrival(QuillRateEstimator* e, QuillStream* firstBytes, int payloadBytes, uint16_t seq,
                         uint32_t arrival);
int Quill_RateEstUpdate(QuillRateEstimator* e, int seq, int frameMs, uint32_t arrival, int payloadBytes,
                        int index);
int Quill_RateEstReportIndex(QuillRateEstimator* e);
int Quill_RateEstInRate(const QuillRateEstimator* e);
int Quill_RateEstInDelay(const QuillRateEstimator* e);
int Quill_RateEstOutRate(const QuillRateEstimator* e);
int Quill_RateEstOutDelay(const QuillRateEstimator* e);

// ---- Band split and transform ---------------------------------------------------------------

inline constexpr int kQuillHalf = 480;   // samples of one coded half (30 ms)
inline constexpr int kQuillBand = 240;   // samples of one band of a half
inline constexpr int kQuillDelay = 24;   // delay of the coded bands (half-rate samples)

struct QuillAnalysisBank {
  float hp[2];
  float codedA[2], codedB[2];     // forward all-pass states of the coded split
  double aheadA[2], aheadB[2];    // look-ahead split
  float carryA[kQuillDelay], carryB[kQuillDelay];
};
struct QuillSynthesisBank {
  float a[2], b[2];
  float hp1[2], hp2[2];
};

// 480 input samples -> coded bands (delayed 24) and look-ahead bands.
void Quill_AnalysisBank(QuillAnalysisBank* st, const float* in, float* lo, float* hi, double* aheadLo,
                        double* aheadHi);
void Quill_SynthesisBank(QuillSynthesisBank* st, const float* lo, const float* hi, float* out);
// Forward transform: bands -> P, Q (Q7, 16-bit). Inverse: X, Y -> bands.
void Quill_ForwardTransform(QuillFftWork* ws, const double* lo, const double* hi, int16_t* p, int16_t* q);
void Quill_InverseTransform(QuillFftWork* ws, const double* x, const double* y, double* lo, double* hi);

// ---- Lattice LPC filters --------------------------------------------------------------------

inline constexpr int kQuillOrderLo = 12;
inline constexpr int kQuillOrderHi = 6;
inline constexpr int kQuillSubBlocks = 6;   // 40-sample LPC sub-blocks of a band

// Step-down of a polynomial (a1..aN) to lattice coefficients. false when a coefficient reaches
// magnitude 1 (the lattice would divide by zero): the outputs then describe a pass-through.
bool Quill_PolyToLattice(const double* a, int order, float* latSin, float* latCos);
// records: 6 x (order + 1) doubles [gain, a1..aN]; state: order + 1 floats.
void Quill_AnalysisLattice(const double* records, int order, float* state, const float* in, double* out);
void Quill_SynthesisLattice(const double* records, int order, float* state, const double* in, float* out);
double SimpleLevinson(double* a, double* k, const double* r, int order);

// ---- Pitch filters --------------------------------------------------------------------------

inline constexpr int kQuillPitchHistory = 190;
struct QuillPitchFilterState {
  double history[kQuillPitchHistory];
  double lastLag;
  double lastGain;
  double smooth[5];   // newest first
};
// Per-sample lag, fraction row and gain of the filter over 240 samples (then held for any further
// samples), and each gain's weight in the interpolated gain (for the gain refinement).
struct QuillPitchTrack {
  int lagInt[264];
  int row[264];
  double gain[264];
  double weight[4][264];
};
void Quill_PitchTrackOf(const QuillPitchFilterState* st, const double* lags, const double* gains, int count,
                        QuillPitchTrack* track);
// gains as fractions (not Q12). post = true: post-filter (gains x 1.3, contribution added).
void Quill_PitchFilter(QuillPitchFilterState* st, const double* in, double* out, const double* lags,
                       const double* gains, bool post);
// Pre-filter over the first 240 of 264 samples (advancing the state), then 24 more with the lag, row and
// gain reached at sample 239, without advancing the state.
void Quill_PitchPreFilterAhead(QuillPitchFilterState* st, const double* in, double* out, const double* lags,
                               const double* gains);

// ---- LPC analysis and quantisation ----------------------------------------------------------

struct QuillLpcState {
  double lpcBufLo[256];
  double lpcBufHi[256];
  double lpcAcfLo[13];
  double lpcAcfHi[7];
  double lastBlockEnergy;
};
using QuillLoRecords = double[kQuillSubBlocks][kQuillOrderLo + 1];
using QuillHiRecords = double[kQuillSubBlocks][kQuillOrderHi + 1];

void Quill_LpcStateInit(QuillLpcState* st);
void Quill_Autocorr(double* r, const double* x, int n, int lags);
double Quill_LpcShapingFactor(const double* lo, const int16_t* gainsQ12, double* lastBlockEnergy);
void Quill_LpcAnalysis(const double* lo264, const double* hi240, QuillLpcState* st, double quantOffset,
                       const int16_t* gainsQ12, QuillLoRecords lo, QuillHiRecords hi);
// Parameter vectors (6 x 20: gain lo, gain hi, 12 lower shapes, 6 upper shapes) from records.
void Quill_LpcToShapeVectors(const QuillLoRecords lo, const QuillHiRecords hi, double vec[6][20]);
// Transformed coordinates (12 gain then 108 shape) of parameter vectors under a class.
void Quill_LpcCoordinates(const QuillLpcClass& c, const double vec[6][20], double coords[120]);
// Level indices (clamped) and the estimated bits of coordinates [first, first + count).
double Quill_LpcChooseLevels(const QuillLpcClass& c, const double* coords, int first, int count, int* idx);
// Rebuilds records from level indices of class c: shapes (polynomials) and/or gains.
void Quill_LpcReconstructShapes(int c, const int* shapeIdx, QuillLoRecords lo, QuillHiRecords hi);
void Quill_LpcReconstructGains(int c, const int* gainIdx, QuillLoRecords lo, QuillHiRecords hi);
int Quill_EncodeLpcModel(QuillLoRecords lo, QuillHiRecords hi, int* cls, double* bits, QuillStream* s);
double Quill_QuantiseLpcGains(QuillLoRecords lo, QuillHiRecords hi, int cls);
void Quill_EncodeLpcGains(QuillLoRecords lo, QuillHiRecords hi, int cls, QuillStream* s);
int Quill_DecodeLpc(QuillStream* s, QuillLoRecords lo, QuillHiRecords hi);  // bytes so far, or -6680

// ---- Pitch analysis and lag quantisation ----------------------------------------------------

struct QuillPitchState {
  double pitchDecHistory[72];
  double decA[2], decB[2];   // decimator all-pass states
  double decLast;            // last whitened sample of the previous half
  double hp[2];
  double gainRefineCarry[kQuillDelay];
  double lookAheadCarry[kQuillDelay];
  QuillPitchFilterState refinePreFilter;
  QuillPitchFilterState aheadPreFilter;
  double whitenPrev[kQuillBand];   // previous 240 high-passed samples
  double whitenPzMem[6];           // output memory of the whitening pole-zero filter
};

void Quill_PitchStateInit(QuillPitchState* st);
void Quill_PitchAnalysis(const double* in, double* analysed264, QuillPitchState* st, double* lags,
                         double* gains);
void Quill_PitchWhiten(const double* hp240, double* whitened, double* refine, QuillPitchState* st);
void Quill_NormXcorr(const double* sig, double* out);
void Quill_PitchLagSearch(const double* whitened, double prevLag, double prevGain, QuillPitchState* st,
                          double* lags);
void Quill_GainSensitivity(const double* sig264, double* residual, double sens[4][264],
                           const QuillPitchFilterState* st, const double* lags, const double* gains);
int Quill_LagClass(const int16_t* gainsQ12);
void Quill_EncodePitchLags(double* lags, const int16_t* gainsQ12, QuillStream* s);
int Quill_DecodePitchLags(QuillStream* s, const int16_t* gainsQ12, double* lags);  // bytes, or -6670

// ---- Spectrum field and its bit estimate ----------------------------------------------------

void Quill_SpectrumDither(uint32_t seed, int meanGainQ12, int16_t* dither);
// Envelope fit of quantised values: unquantised reflection coefficients (Q15) and gain value.
struct QuillEnvelopeFit {
  int16_t refl[6];
  int32_t gainValue;
};
void Quill_QuantiseSpectrum(const int16_t* p, const int16_t* q, const int16_t* dither, int16_t* values);
void Quill_EnvelopeFit(const int16_t* values, QuillEnvelopeFit* fit);
// Envelope power and scales from quantised reflection coefficients and gain.
void Quill_EnvelopeScales(const int16_t* refl, int32_t gain, int64_t* power, uint16_t* scales);
void Quill_EncodeSpectrum(QuillStream* s, const int16_t* p, const int16_t* q, int meanGainQ12);
// Bytes so far, or -6690. `values` (may be null) receives the 480 decoded values before scaling.
int Quill_DecodeSpectrum(QuillStream* s, int meanGainQ12, double* x, double* y, int32_t* values = nullptr);
uint32_t Quill_GainDivide(uint32_t dividend, uint64_t divisor);
int16_t Quill_SpectrumBitEstimate(const int16_t* p, const int16_t* q, const QuillStream* s, int meanGainQ12);
int64_t Quill_SpectrumCost(uint16_t scale, const int16_t* p, const int16_t* q);

// ---- The instance ---------------------------------------------------------------------------

struct QuillRateState {
  int32_t overFlag;
  int32_t withinMs;
  int32_t minRateFrames;
  int32_t startFrames;
  double bufferMs;
};

struct QuillEncoderSide {
  QuillStream stream;
  QuillLpcState lpc;
  float latticeLo[kQuillOrderLo + 1];
  float latticeHi[kQuillOrderHi + 1];
  QuillAnalysisBank bank;
  QuillPitchFilterState preFilter;
  QuillPitchState pitch;
  QuillFftWork fft;
};

struct QuillDecoderSide {
  QuillStream stream;
  float latticeLo[kQuillOrderLo + 1];
  float latticeHi[kQuillOrderHi + 1];
  QuillSynthesisBank bank;
  QuillPitchFilterState postFilter;
  QuillFftWork fft;
};

struct QuillInstance {
  QuillEncoderSide enc;
  QuillRateState rateState;
  int32_t samplesInFrame;
  int16_t frameLength;
  float frame[kQuillMaxFrameSamples];
  int32_t secondHalf;
  double rate;
  double maxDelay;
  int16_t nextFrameLength;
  double quantOffset;
  double targetBits;
  QuillDecoderSide dec;
  QuillRateEstimator rateEstimator;
  int16_t mode;
  int16_t errorCode;
  int16_t flags;            // 1 decoder initialised, 2 encoder initialised
  int16_t encoderUsable;    // 0 after a refused encoder init on a fresh instance
};

// One 30-ms half: encoder (480 frame samples, budget in bits) and decoder (writes 480 samples).
int Quill_EncodeHalf(QuillInstance* inst, const float* samples, double budget);
int Quill_DecodeHalf(QuillDecoderSide* dec, float* out);
int Quill_FrameLengthChoice(int length, double rate);
double Quill_QuantOffset(int length, double rate);
double Quill_TargetBits(const QuillRateState* rs, int length, double rate, double delay);
int Quill_PaddingMinimum(QuillRateState* rs, int length, double rate, double delay, int bytes);
