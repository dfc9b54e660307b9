// RTP profile: the payload types the user agent knows, indexed by payload type number.
#pragma once

struct PayloadType {
    int clock_rate;
    int bytes_per_sample;
    char silence_byte;
    int silence_length;
    int normal_bitrate;
    const char* mime_type;  // encoding name
};

constexpr int RTP_PROFILE_SLOTS = 127;

// Fills the profile once (later calls do nothing).
void rtp_profile_init();
// The entry of a payload type, or null outside 0..126 or for an empty slot.
const PayloadType* rtp_profile_get_payload(int pt);
// "%s/%i" (encoding name, clock rate) into buf; false when the type has no entry.
bool payload_type_get_rtpmap(int pt, char* buf, int size);
