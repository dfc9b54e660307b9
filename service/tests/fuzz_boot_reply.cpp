// Fuzz target: any bootstrap answer is checked and parses without harm into a bounded host and valid ports.
#include <cstddef>
#include <cstdint>

#include "service/bootstrap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CBootRequest request;
    request.kind = BOOT_KIND_SIP;
    request.account = "alice";
    BootReplyIsFor(reinterpret_cast<const char*>(data), size, request);
    ParseBootReply(reinterpret_cast<const char*>(data), size, request);
    if (request.server.size() > BOOT_SERVER_MAX) __builtin_trap();
    for (const PortCandidate& c : request.servers)
        if (c.port < 1 || c.port > 65535 || c.protocol < 0 || c.protocol > 2) __builtin_trap();
    return 0;
}
