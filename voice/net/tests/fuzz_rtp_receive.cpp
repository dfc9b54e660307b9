// Fuzz target: the receive path of a channel socket (port filter, SRTP unprotect, entry) on raw datagrams.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "voice/net/tests/srtp_policy.h"
#include "voice/net/udp_socket.h"

namespace {
volatile uint32_t g_sink;
void Entry(void*, void*, void*, void*, UdpRecvSocket*, const uint8_t* data, int length, int) {
  uint32_t sum = 0;
  for (int i = 0; i < length; ++i) sum += data[i];  // touches every byte the entry is given
  g_sink = sum;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const unsigned char key[30] = {1, 2, 3};
  static UdpRecvSocket plain;
  static UdpRecvSocket secured;
  static bool ready = false;
  if (!ready) {
    secured.EnableSRTP(vnet_test::AesPolicy(key, kSrtpAnyInbound));
    for (UdpRecvSocket* s : {&plain, &secured})
      s->Init(nullptr, UdpRecvSocket::CreateSocket(false, 0), 0, nullptr, nullptr, nullptr, Entry, 0);
    ready = true;
  }
  if (size > UdpRecvSocket::kBufferSize) size = UdpRecvSocket::kBufferSize;
  uint8_t buffer[UdpRecvSocket::kBufferSize];
  std::memcpy(buffer, data, size);
  plain.HandleDatagram(buffer, static_cast<int>(size), 5004);
  std::memcpy(buffer, data, size);
  secured.HandleDatagram(buffer, static_cast<int>(size), 5004);
  return 0;
}
