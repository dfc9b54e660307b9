// External encryption hook of a channel: transforms outgoing and incoming RTP packets.
#pragma once

// Installed by the engine's user; the engine never owns it. Each operation writes at
// most outCapacity bytes to out and sets *bytesOut (0..outCapacity); any other length
// makes the packet dropped.
class SonraVE_Encryption {
 public:
  virtual ~SonraVE_Encryption() = default;
  // Operation 0: an outgoing packet of the channel.
  virtual void encrypt(int channel, unsigned char* in, unsigned char* out, int bytesIn,
                       int outCapacity, int* bytesOut) = 0;
  // Operation 1: an incoming datagram of the channel.
  virtual void decrypt(int channel, unsigned char* in, unsigned char* out, int bytesIn,
                       int outCapacity, int* bytesOut) = 0;
};
