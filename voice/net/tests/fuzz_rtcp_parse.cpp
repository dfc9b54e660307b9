// Fuzz target: the RTCP compound-packet reader.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "voice/net/rtcp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static RtcpSession session;
  static bool primed = false;
  if (!primed) {
    // A report of ours, so blocks and metrics about us are read too.
    uint8_t report[RtcpSession::kMaxReportLength];
    session.BuildReport(report, sizeof report, false, 0x01020304, {}, 8);
    primed = true;
  }
  // An exact-size copy, so any read past the datagram is caught.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  session.Parse(copy.get(), size);
  char cname[300];
  session.GetPeerCname(cname, sizeof cname);
  return 0;
}
