// UDP sockets of a voice channel: a shared handle closed once, and the receive socket with its thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/thread.h"
#include "voice/net/encryption.h"
#include "voice/net/srtp_glue.h"

// One UDP socket shared by a channel's sender and receive socket. The descriptor is
// closed exactly once, when the last holder lets go, so stopping the receive side
// never closes the socket the sender still sends from (and no descriptor is closed twice).
class UdpSocketHandle {
 public:
  explicit UdpSocketHandle(int fd) : fd_(fd) {}
  ~UdpSocketHandle();
  UdpSocketHandle(const UdpSocketHandle&) = delete;
  UdpSocketHandle& operator=(const UdpSocketHandle&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};
using UdpSocketRef = std::shared_ptr<UdpSocketHandle>;

class UdpRecvSocket;

// Receive entry called on the receive thread for each accepted datagram: the engine and
// the three context values given to Init, the socket, the datagram (in the socket's
// buffer, or the decryption hook's output) with its length, and the channel.
using UdpRecvEntry = void (*)(void* engine, void* context1, void* context2, void* context3,
                              UdpRecvSocket* socket, const uint8_t* data, int length, int channel);

class UdpRecvSocket {
 public:
  static constexpr int kBufferSize = 1024;

  UdpRecvSocket() = default;
  ~UdpRecvSocket();  // Close()
  UdpRecvSocket(const UdpRecvSocket&) = delete;
  UdpRecvSocket& operator=(const UdpRecvSocket&) = delete;

  // Creates a channel socket: an ordinary UDP socket; with QoS on, the socket also gets a
  // raised send priority for the service type (no QoS provider exists here). Null on failure.
  static UdpSocketRef CreateSocket(bool qos, int serviceType);

  // Prepares the socket: clears the expected source port, closes a previous socket (its
  // thread is stopped and joined first), binds the new one to port on any address (a socket
  // already bound to that port is kept as it is) and, with a multicast group given, joins it
  // on any interface; finally resolves this host's name. 0; -1 for a missing socket or a failed
  // bind; -2 when the group cannot be joined (the socket is let go in both failures).
  int Init(void* engine, UdpSocketRef socket, uint16_t port, void* context1, void* context2,
           void* context3, UdpRecvEntry entry, int channel, const char* multicastAddress = nullptr);

  // Starts the receive thread (priority above normal for RTP, below normal otherwise).
  // -1 when the socket is not prepared, the thread runs already or cannot be created.
  int StartThread(bool rtp);

  // Stops the receive thread and waits for it (it never calls the entry afterwards), then
  // lets the socket go. Safe to call again, and from the entry itself (then without waiting).
  void Close();

  // SRTP for received packets (inbound policy). Enable releases an enabled session first;
  // -1 when none can be created.
  int EnableSRTP(const SrtpPolicy& policy) { return srtp_.Enable(policy); }
  void DisableSRTP() { srtp_.Disable(); }
  bool SRTPEnabled() const { return srtp_.Enabled(); }

  // External decryption hook (not owned).
  void SetDecryptionHook(SonraVE_Encryption* hook, bool enabled);

  // Datagrams from another source port are dropped; 0 accepts all.
  void SetExpectedFromPort(uint16_t port) { expectedFromPort_.store(port); }
  uint16_t GetExpectedFromPort() const { return expectedFromPort_.load(); }
  // Source port of the last datagram received.
  uint16_t GetFromPort() const { return fromPort_.load(); }

  uint16_t LocalPort() const { return localPort_; }
  // The descriptor, or -1 when not prepared.
  int Socket() const;
  bool ThreadRunning() const;
  // IPv4 address (host order) of this host by its name, resolved by Init; 0 when it could not be.
  uint32_t LocalHostAddress() const;

  // The receive buffer and the length of the last datagram.
  const uint8_t* Buffer() const { return buffer_; }
  int Length() const { return length_; }

  // Handles one received datagram as the thread does (source port filter, SRTP, hook,
  // entry); the datagram must lie in a buffer of at least kBufferSize bytes. Returns 1 when
  // it reached the entry, 0 when dropped.
  int HandleDatagram(uint8_t* data, int length, uint16_t fromPort);

  // Datagrams dropped since construction: wrong source port, too long, SRTP or hook failure.
  uint32_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  uint32_t Delivered() const { return delivered_.load(std::memory_order_relaxed); }

 private:
  struct ThreadState;
  void ThreadProc(const std::shared_ptr<ThreadState>& state);

  mutable std::mutex lock_;  // socket, thread and stop state against API calls
  UdpSocketRef socket_;
  uint16_t localPort_ = 0;
  void* engine_ = nullptr;
  void* context1_ = nullptr;
  void* context2_ = nullptr;
  void* context3_ = nullptr;
  UdpRecvEntry entry_ = nullptr;
  int channel_ = -1;

  plat::Thread thread_;
  std::shared_ptr<ThreadState> threadState_;  // the socket, stop flag and wake-up the thread holds

  uint8_t buffer_[kBufferSize] = {};
  uint8_t hookBuffer_[kSonraHookBufferBytes] = {};
  int length_ = 0;
  std::atomic<uint16_t> fromPort_{0};
  std::atomic<uint16_t> expectedFromPort_{0};

  SrtpSlot srtp_;
  std::mutex hookLock_;
  SonraVE_Encryption* hook_ = nullptr;
  bool hookEnabled_ = false;

  uint32_t localHost_ = 0;

  std::atomic<uint32_t> dropped_{0};
  std::atomic<uint32_t> delivered_{0};
};
