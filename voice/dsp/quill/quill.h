// Quill wideband speech codec (16 kHz, floating point): instance lifecycle, encode, decode, arrival.
#pragma once

#include <cstdint>

// Error codes kept in the instance (every failing entry point returns -1 and leaves its code).
inline constexpr int16_t QUILL_ERR_CREATE = 6010;
inline constexpr int16_t QUILL_ERR_ENCODER_NOT_INIT = 6410;
inline constexpr int16_t QUILL_ERR_BAD_MODE = 6420;
inline constexpr int16_t QUILL_ERR_BAD_FRAME_LENGTH = 6430;
inline constexpr int16_t QUILL_ERR_DECODER_NOT_INIT = 6610;
inline constexpr int16_t QUILL_ERR_EMPTY_PAYLOAD = 6620;
inline constexpr int16_t QUILL_ERR_FRAME_LENGTH_SYMBOL = 6630;
inline constexpr int16_t QUILL_ERR_FRAME_LENGTH_FIELD = 6640;
inline constexpr int16_t QUILL_ERR_BANDWIDTH_FIELD = 6650;
inline constexpr int16_t QUILL_ERR_PITCH_GAIN_FIELD = 6660;
inline constexpr int16_t QUILL_ERR_PITCH_LAG_FIELD = 6670;
inline constexpr int16_t QUILL_ERR_LPC_FIELD = 6680;
inline constexpr int16_t QUILL_ERR_SPECTRUM_FIELD = 6690;
// Also used for a payload longer than the 600-byte stream buffer, refused before it is copied.
inline constexpr int16_t QUILL_ERR_PAYLOAD_LENGTH = 6730;
inline constexpr int16_t QUILL_ERR_BANDWIDTH_INDEX = 6240;

inline constexpr int kQuillMaxPayloadBytes = 600;  // stream buffer; longer payloads are refused
inline constexpr int kQuillMaxFrameSamples = 960;  // 60 ms
inline constexpr int kQuillBlockSamples = 160;     // one Quill_Encode call (10 ms)
inline constexpr int kQuillSampleRate = 16000;
inline constexpr int kQuillPayloadType = 103;

struct QuillInstance;

// Allocates an instance; 0, or -1 (and a null handle) when memory is short. The bandwidth estimator
// starts at its initial values, so the arrival routine never reads an uninitialised estimator.
int16_t Quill_Create(QuillInstance** inst);
// Frees an instance made by Quill_Create (null is accepted).
int16_t Quill_Free(QuillInstance* inst);

// mode 0: channel-adaptive (rate and frame length follow the bandwidth estimate); mode 1: fixed.
int16_t Quill_EncoderInit(QuillInstance* inst, int16_t mode);
// Takes 160 samples. Returns the packet length in bytes once a frame is complete (0 before), or -1.
// The packet is written as (bytes + 1) / 2 words, the earlier byte in the low 8 bits of each word;
// `packet` must hold at least 300 words.
int16_t Quill_Encode(QuillInstance* inst, const int16_t* speech, uint16_t* packet);

int16_t Quill_DecoderInit(QuillInstance* inst);
// Feeds the bandwidth estimator with an arriving payload (only its first 10 bytes are read).
int16_t Quill_PacketArrived(QuillInstance* inst, const uint16_t* payload, int32_t lengthBytes,
                            uint16_t sequence, uint32_t arrivalTime);
// Decodes one packet into `out` (room for 960 samples). Returns 480 or 960, or -1.
int16_t Quill_Decode(QuillInstance* inst, const uint16_t* payload, int16_t lengthBytes, int16_t* out,
                     int16_t* speechType);
// Concealment entry: writes nothing and returns 480 x frames.
int16_t Quill_DecodedSamples(QuillInstance* inst, int16_t* out, int16_t frames);
// Copies "2.2.0" with its terminator (6 bytes).
int16_t Quill_Version(char* text);
// The code of the last failure (0 when none).
int16_t Quill_GetErrorCode(const QuillInstance* inst);

// Entry points shaped like the jitter buffer's decoder operations (payload as received bytes), so
// registering Quill is one call. `decoder` is a QuillInstance.
int QuillOps_Decode(void* decoder, const uint8_t* payload, int length, int16_t* out, int capacity,
                    int16_t* speechType);
int QuillOps_Conceal(void* decoder, int16_t* out, int capacity);
int QuillOps_Init(void* decoder);
int QuillOps_Arrival(void* decoder, const uint8_t* payload, int length, uint16_t sequence, uint32_t arrival);
