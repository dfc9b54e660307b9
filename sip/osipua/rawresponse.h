// Stateless answers built from a request's raw text, for requests the message parser refuses.
#pragma once

#include <cstddef>
#include <string>

struct OsipRawResponse {
    std::string text;    // the whole response, ready to send
    std::string method;  // of the request
    std::string host;    // where the response goes
    int port = 0;
};

// Builds the response with status and reason to the request in buf (len bytes) that came from
// srcHost:srcPort: its Via headers (the top one marked with received and rport), From, To (with
// toTag when it has no tag), Call-ID and CSeq are copied. False, with nothing built, when buf
// is not a request, is an ACK, or lacks one of those headers in a readable form.
bool OSIP_BuildRawResponse(const char* buf, size_t len, int status, const char* reason, const char* srcHost,
                           int srcPort, const char* toTag, OsipRawResponse* out);
