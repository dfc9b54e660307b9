// Operating-system wrapper of the messaging library: datagram socket, files, text and time conversion, random.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pellico/pellico.h"

namespace pellico {

// Monotonic milliseconds that wrap at 2^32; replaceable so that tests drive time.
using ClockFn = std::function<uint32_t()>;
uint32_t SystemMillis();

// True when tick a is at or after tick b (wrap-safe).
inline bool TickAtOrAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) >= 0; }

// The datagram transport; the real one is a non-blocking UDP socket, tests supply their own.
class KxSocket {
 public:
  virtual ~KxSocket() = default;
  virtual bool Open() = 0;
  virtual void Close() = 0;
  // Bytes sent, or the negated errno (-EAGAIN when it would block).
  virtual int SendTo(const uint8_t* data, size_t len, uint32_t addr, uint16_t port) = 0;
  // Bytes received, or the negated errno (-EAGAIN when nothing waits). addr/port in host order.
  virtual int RecvFrom(uint8_t* buf, size_t size, uint32_t* addr, uint16_t* port) = 0;
  // The descriptor that polls readable when a datagram waits (-1: none to poll).
  virtual int Descriptor() const { return -1; }
};

class UdpSocket : public KxSocket {
 public:
  using Logger = std::function<void(const std::string&)>;
  explicit UdpSocket(Logger log) : m_log(std::move(log)) {}
  ~UdpSocket() override { Close(); }
  bool Open() override;
  void Close() override;
  int SendTo(const uint8_t* data, size_t len, uint32_t addr, uint16_t port) override;
  int RecvFrom(uint8_t* buf, size_t size, uint32_t* addr, uint16_t* port) override;
  int Descriptor() const override { return m_fd; }

 private:
  Logger m_log;
  int m_fd = -1;
};

// Private 15-bit generator (0..32767) with the classic linear congruence; rand() of glibc is wider.
class Rand15 {
 public:
  void Seed(uint32_t seed) { m_state = seed; }
  int Next() {
    m_state = m_state * 214013u + 2531011u;
    return static_cast<int>((m_state >> 16) & 0x7FFFu);
  }

 private:
  uint32_t m_state = 1;
};

class KxPlatform {
 public:
  using Logger = std::function<void(const char*)>;
  KxPlatform(Logger log, bool useFiles);
  ~KxPlatform();

  // Clock and random.
  void SetClock(ClockFn clock) { m_clock = std::move(clock); }
  uint32_t Now() const { return m_clock(); }
  int Rand() { return m_rand.Next(); }
  void SeedRand(uint32_t seed) { m_rand.Seed(seed); }

  // Socket.
  void SetSocket(std::unique_ptr<KxSocket> socket);
  bool OpenSocket();
  // A dotted address is used as is; a name is resolved; a failed lookup keeps the old address; port 0 keeps the old port.
  void SetDestination(const std::string& host, uint16_t port);
  uint32_t DestAddr() const { return m_destAddr; }
  uint16_t DestPort() const { return m_destPort; }
  int Send(const uint8_t* data, size_t len);
  // Bytes received or negated errno. fromServer tells whether the datagram came from an accepted server address.
  int Receive(uint8_t* buf, size_t size, bool* fromServer);
  bool ReceiveEnabled() const { return m_receiveEnabled; }
  void AcceptSource(uint32_t addr, uint16_t port);  // another address datagrams are accepted from
  // A descriptor that polls readable while a datagram or a signal waits (-1 when it could not be made), for
  // a host that sleeps between ticks. Signal comes from other threads (a finished transfer); the tick takes it.
  int WaitDescriptor() const { return m_waitFd; }
  void Signal();
  void TakeSignal();

  // Files; with files off reads fail, writes pretend to succeed and nothing touches the disk.
  bool FilesOn() const { return m_useFiles; }
  bool ReadFile(const std::string& path, std::vector<uint8_t>& out, size_t maxBytes = 64u << 20);
  // Through a temporary file flushed to disk and renamed; a secret file is readable by its owner only.
  bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, bool secret = false);
  // A batch of rewrites: each file goes to a temporary file beside its target, all of them reach the disk
  // (a large batch with one sync of the file system), and then each replaces its target in the order given.
  // A kill or a crash leaves every target as it was or whole, and a burst costs one sync, not one per file. When
  // the first file cannot be written, none is. ok and error (errno) tell each file's outcome. Without sync the
  // files are whole after a kill all the same, but a crash of the system may leave the old ones.
  struct FileWrite {
    std::string path;
    std::vector<uint8_t> bytes;
    bool ok = false;
    int error = 0;
  };
  void WriteFiles(std::vector<FileWrite>& files, bool sync = true);
  bool AppendFile(const std::string& path, const uint8_t* data, size_t len);
  bool CreateEmpty(const std::string& path);
  int Remove(const std::string& path);  // 0 on success, -1 on failure
  bool Exists(const std::string& path);
  bool Move(const std::string& from, const std::string& to);
  void MakeDirectory(const std::string& path);  // with parents
  void EmptyDirectory(const std::string& path);  // removes the files in it, never changes directory

  // Text.
  static WStr_t* Utf8ToWStr(const Utf8_t* s);  // length counts the terminator; too long gives an empty record
  static Utf8_t* WStrToUtf8(const WStr_t* s);  // stops at the first zero unit; too long gives an empty record

  // Wire time (7 bytes) to seconds since 1970 by the local calendar; -1 for a date mktime rejects.
  static int64_t WireTimeToSeconds(const uint8_t* t);
  // "TS=YYYYMMDD?HHMMSS" in a text to server seconds; false when absent or malformed.
  static bool ParseServerTime(const std::string& text, int64_t* serverSeconds);

 private:
  Logger m_log;
  bool m_useFiles;
  ClockFn m_clock;
  Rand15 m_rand;
  std::unique_ptr<KxSocket> m_socket;
  uint32_t m_destAddr = 0;
  uint16_t m_destPort = 0;
  std::vector<std::pair<uint32_t, uint16_t>> m_extraSources;
  bool m_receiveEnabled = false;
  int m_waitFd = -1;    // epoll set: the socket and m_signalFd
  int m_signalFd = -1;  // eventfd
  int m_polledSocket = -1;
  void WatchSocket();
};

// UTF-8 <-> UTF-16 by the platform's code-page conversion (no terminators; invalid input becomes U+FFFD).
std::u16string Utf8ToUtf16(const char* s, size_t len);
std::string Utf16ToUtf8(const uint16_t* s, size_t units);

// The bytes of a UTF-8 record ("" for none).
std::string Str(const Utf8_t* s);
// A new UTF-8 record holding the text (at most 65535 bytes); null for an empty text or when memory runs out.
Utf8_t* MakeUtf8(const std::string& s);

}  // namespace pellico
