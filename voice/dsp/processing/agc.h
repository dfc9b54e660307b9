// Digital automatic gain control: speech-likelihood scoring, envelope tracking and a limited gain curve.
#pragma once

#include <cstdint>

inline constexpr char kAgcVersion[] = "1.3.0";

// Per-direction analysis state (near end and far end).
struct AgcBandState {
  int32_t downState[8];   // half-band decimator
  int16_t filterMemory;   // detection filter
  int16_t counter;        // frames seen, 3 .. 250
  int16_t score;          // speech likelihood, -2048 .. 2048
  int16_t longMean;       // log energy, Q11
  int32_t longMeanSquare;
  int16_t longDeviation;
  int16_t shortMean;
  int32_t shortMeanSquare;
  int16_t shortDeviation;
};

struct AgcInst {
  int32_t envelope;     // smoothed squared peak
  int32_t peakTracker;
  int32_t lastGain;     // Q16, the gain at the end of the previous frame
  int16_t gate;
  AgcBandState nearState;
  AgcBandState farState;
};

int Agc_Init(AgcInst* inst);            // 0; -1 for a null instance
void Agc_InitBand(AgcBandState* state);
// Copies "1.3.0" with its terminator (6 bytes).
void Agc_Version(char* text);

// Analyses a far-end frame of 10 ms at `rate` (8000: 80 samples, 16000: 160). 0, or -1 for another rate.
int Agc_AddFarEnd(const int16_t* samples, AgcInst* inst, int rate);
// Levels one 10-ms frame from `in` into `out` (which may be the same buffer). 0, or -1 for another rate
// (nothing is written then).
int Agc_Process(const int16_t* in, int16_t* out, AgcInst* inst, int rate);
// Speech score of one frame of 80 or 160 samples, updating the band's statistics (-2048 .. 2048).
int16_t Agc_AnalyzeFrame(const int16_t* samples, AgcBandState* state, int length);
