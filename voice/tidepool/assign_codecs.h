// Attaching the iLBC, Ostrel and Quill decoders to the Tidepool jitter buffer's codec table.
#pragma once

#include <cstdint>

#include "voice/tidepool/tidepool.h"

struct IlbcDecoder;
struct Ostrel711Codec;
struct OstrelWbCodec;
struct QuillInstance;

// The decoder routines of each codec as the jitter buffer calls them. The channel's codec components
// hand these to TIDEPOOL_SONRA_10MS16B_AssignDecoder; the Assign functions below do the same.
//
// iLBC: decode takes one to three whole frames of either mode (38 or 50 bytes each) and checks that
// the samples fit before anything is decoded; an empty payload decodes to nothing. init starts the
// decoder in 30-ms mode, initAlt in 20-ms mode (the jitter buffer picks by payload length); conceal
// produces one block of the decoder's own concealment. Kind "other", 8000 Hz.
extern const TidepoolDecoderOps kTidepoolIlbcOps;
// Ostrel711 mu-law and A-law (8000 Hz) and Ostrel wideband (16000 Hz): kind Ostrel, no concealment
// routine of their own (the held second section is decoded through decode with an empty payload).
extern const TidepoolDecoderOps kTidepoolOstrel711UOps;
extern const TidepoolDecoderOps kTidepoolOstrel711AOps;
extern const TidepoolDecoderOps kTidepoolOstrelWbOps;

// Each attaches a caller-created decoder to its codec entry and initialises it (iLBC in 30-ms mode,
// Ostrel711 reset with its law, Ostrel wideband reset); the decoder is attached only when that
// succeeds. Returns the init result, or -1 with error 1090 when no decoder is given or init fails.
int16_t TIDEPOOL_SONRA_10MS16B_AssignILBC(TidepoolInst* inst, IlbcDecoder* decoder);
int16_t TIDEPOOL_SONRA_10MS16B_AssignOSTREL711U(TidepoolInst* inst, Ostrel711Codec* decoder);
int16_t TIDEPOOL_SONRA_10MS16B_AssignOSTREL711A(TidepoolInst* inst, Ostrel711Codec* decoder);
int16_t TIDEPOOL_SONRA_10MS16B_AssignOSTRELWB(TidepoolInst* inst, OstrelWbCodec* decoder);

// Quill (16000 Hz, kind other): decode, conceal (keeps the decoder in step; the jitter buffer plays its
// own expansion), init, and the arrival routine that feeds the bandwidth estimator. The instance is the
// channel's encoder too, since encoder and estimator share it.
extern const TidepoolDecoderOps kTidepoolQuillOps;
int16_t TIDEPOOL_SONRA_10MS16B_AssignQUILL(TidepoolInst* inst, QuillInstance* decoder);
