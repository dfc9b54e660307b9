// External encryption hook of a channel: transforms outgoing and incoming RTP packets.
#pragma once

// Room in the buffer a hook writes its output to.
inline constexpr int kSonraHookBufferBytes = 2048;

// Installed by the engine's user; the engine never owns it. Each operation writes at most
// kSonraHookBufferBytes bytes to the output buffer and sets *bytesOut (0..kSonraHookBufferBytes);
// any other length makes the packet dropped.
class SonraVE_Encryption {
 public:
  virtual ~SonraVE_Encryption() = default;
  // Operation 0: an outgoing packet of the channel.
  virtual void encrypt(int channel, unsigned char* in, unsigned char* out, int bytesIn, int* bytesOut) = 0;
  // Operation 1: an incoming datagram of the channel (the output buffer comes first).
  virtual void decrypt(int channel, unsigned char* out, unsigned char* in, int bytesIn, int* bytesOut) = 0;
};
