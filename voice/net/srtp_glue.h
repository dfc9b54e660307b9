// SRTP sessions over libsrtp2: policies, protect and unprotect in place, and a lock-guarded slot per socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// Values accepted in a policy (the library's own ids).
inline constexpr int kSrtpNullCipher = 0;
inline constexpr int kSrtpAesIcm128 = 1;
inline constexpr int kSrtpNullAuth = 0;
inline constexpr int kSrtpHmacSha1 = 3;
// Security services: none, confidentiality, authentication, both.
inline constexpr int kSrtpSecServNone = 0;
inline constexpr int kSrtpSecServConf = 1;
inline constexpr int kSrtpSecServAuth = 2;
inline constexpr int kSrtpSecServConfAndAuth = 3;
// Direction, as the library's SSRC types: the receive side and the send side.
inline constexpr int kSrtpAnyInbound = 2;
inline constexpr int kSrtpAnyOutbound = 3;

// Writable bytes a packet buffer must have after the packet for protection
// (the library's SRTP_MAX_TRAILER_LEN: largest tag plus MKI).
inline constexpr int kSrtpMaxTrailer = 144;

// The eight values of a policy. The same crypto values serve RTP and RTCP.
// The key (master key followed by the salt, cipherKeyLength bytes) stays the
// caller's; the session copies what it needs when it is created.
struct SrtpPolicy {
  int cipherType = kSrtpNullCipher;       // kSrtpNullCipher or kSrtpAesIcm128
  int cipherKeyLength = 0;                // 30 for AES-ICM-128 with its 14-byte salt
  int authType = kSrtpNullAuth;           // kSrtpNullAuth or kSrtpHmacSha1
  int authKeyLength = 0;                  // 20 for HMAC-SHA1
  int authTagLength = 0;                  // 10 (or 4) for HMAC-SHA1
  int securityServices = kSrtpSecServNone;  // 0..3
  const unsigned char* key = nullptr;
  int direction = kSrtpAnyOutbound;       // kSrtpAnyInbound or kSrtpAnyOutbound
};

// Starts the library once for the process; later calls return the first result.
// 0 on success, -1 on any error status.
int SRTP_Init();

// One libsrtp2 session. Not thread-safe by itself: one thread at a time (see SrtpSlot).
class SrtpSession {
 public:
  ~SrtpSession();
  SrtpSession(const SrtpSession&) = delete;
  SrtpSession& operator=(const SrtpSession&) = delete;

  // A session for the policy, or null when a value is outside the accepted ones
  // (cipher 0/1, auth 0/3, services 0..3, direction 2/3, a key) or the library refuses.
  static std::unique_ptr<SrtpSession> Create(const SrtpPolicy& policy);

  // Protects the RTP packet in place; *length grows by the tag. capacity is the whole
  // buffer: protection is refused (-1) unless kSrtpMaxTrailer bytes follow the packet.
  // 0 on success, -1 on failure (the packet must then not be sent).
  int Protect(uint8_t* packet, int* length, size_t capacity);
  // Unprotects the received RTP packet in place; *length shrinks. 0, or -1 when the
  // packet is malformed, fails authentication or is a replay (drop it).
  int Unprotect(uint8_t* packet, int* length);

 private:
  explicit SrtpSession(void* handle) : handle_(handle) {}
  void* handle_;  // srtp_t
};

// The optional session of one sender or receive socket. Enable and Disable may come
// from an API thread while the media thread protects or unprotects: a lock keeps a
// session from being released while it is in use.
class SrtpSlot {
 public:
  // Releases an enabled session first, then creates one for the policy; -1 (and the
  // slot disabled) when none can be created.
  int Enable(const SrtpPolicy& policy);
  void Disable();
  bool Enabled() const { return enabled_.load(std::memory_order_acquire); }

  // As SrtpSession; -1 also when the slot is disabled. Failures are counted.
  int Protect(uint8_t* packet, int* length, size_t capacity);
  int Unprotect(uint8_t* packet, int* length);
  // Protect or unprotect failures since construction.
  uint32_t Failures() const { return failures_.load(std::memory_order_relaxed); }

 private:
  std::mutex lock_;
  std::unique_ptr<SrtpSession> session_;
  std::atomic<bool> enabled_{false};
  std::atomic<uint32_t> failures_{0};
};
