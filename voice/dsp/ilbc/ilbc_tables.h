// Declarations of the generated fixed-point iLBC tables (ilbc_tables.cpp).
#pragma once

#include <cstdint>

extern const int16_t kIlbcLsfMean[10];
extern const int16_t kIlbcLsfCb[1088];
extern const int16_t kIlbcLpcWin[240];
extern const int16_t kIlbcLpcAsymWin[240];
extern const int32_t kIlbcLpcLagWin[11];
extern const int16_t kIlbcChirpSynt[11];
extern const int16_t kIlbcChirpWeight[11];
extern const int16_t kIlbcLsfWeight20[4];
extern const int16_t kIlbcLsfWeight30[6];
extern const int16_t kIlbcCos[64];
extern const int16_t kIlbcCosSlope[64];
extern const int16_t kIlbcLsfGrid[61];
extern const int16_t kIlbcAcosSlope[64];
extern const int16_t kIlbcStateSq3[8];
extern const int16_t kIlbcStateEncScale[64];
extern const int16_t kIlbcStateDecScale[64];
extern const int32_t kIlbcStateThresholds[63];
extern const int16_t kIlbcGainSq5[32];
extern const int16_t kIlbcGainSq4[16];
extern const int16_t kIlbcGainSq3[8];
extern const int16_t kIlbcGainSq5Sq[32];
extern const int16_t kIlbcCbFilter[8];
extern const int16_t kIlbcSearchRange[15];
extern const int16_t kIlbcLpFilt[7];
extern const int16_t kIlbcPolyphase[28];
extern const int16_t kIlbcEnhPlocs[8];
extern const int8_t kIlbcUlp20LsfBits[30];
extern const int8_t kIlbcUlp20StartBits[5];
extern const int8_t kIlbcUlp20StartfirstBits[5];
extern const int8_t kIlbcUlp20ScaleBits[5];
extern const int8_t kIlbcUlp20StateBits[5];
extern const int8_t kIlbcUlp20ExtraCbIndex[15];
extern const int8_t kIlbcUlp20ExtraCbGain[15];
extern const int8_t kIlbcUlp20CbIndex[60];
extern const int8_t kIlbcUlp20CbGain[60];
extern const int8_t kIlbcUlp30LsfBits[30];
extern const int8_t kIlbcUlp30StartBits[5];
extern const int8_t kIlbcUlp30StartfirstBits[5];
extern const int8_t kIlbcUlp30ScaleBits[5];
extern const int8_t kIlbcUlp30StateBits[5];
extern const int8_t kIlbcUlp30ExtraCbIndex[15];
extern const int8_t kIlbcUlp30ExtraCbGain[15];
extern const int8_t kIlbcUlp30CbIndex[60];
extern const int8_t kIlbcUlp30CbGain[60];
