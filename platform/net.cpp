// IPv4 socket helpers, resolution and the local address toward a destination.
#include "platform/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/sync.h"

namespace plat {
namespace {

sockaddr_in MakeAddr(uint32_t ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(ip);
  a.sin_port = htons(port);
  return a;
}

// Socket waits use the real clock: the peer is real even under a test clock.
uint64_t RealMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

int PollFor(int fd, short events, DWORD ms) {
  uint64_t deadline = ms == INFINITE ? UINT64_MAX : RealMs() + ms;
  for (;;) {
    int wait = -1;
    if (deadline != UINT64_MAX) {
      uint64_t now = RealMs();
      wait = now >= deadline ? 0 : static_cast<int>(deadline - now > 0x7FFFFFFF ? 0x7FFFFFFF : deadline - now);
    }
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, wait);
    if (r > 0) return 1;
    if (r == 0) return kNetTimeout;
    if (errno != EINTR) return kNetError;
  }
}

std::mutex& OverrideMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string& OverrideText() {
  static std::string* s = new std::string;
  return *s;
}

// Mask of the interface holding ip (host order); 0 when none.
uint32_t MaskOf(uint32_t ip) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  uint32_t mask = 0;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
    uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    if (a == ip) {
      mask = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
      break;
    }
  }
  ::freeifaddrs(list);
  return mask;
}

}  // namespace

int WSAStartup(WORD /*version*/, void* /*data*/) { return 0; }
int WSACleanup() { return 0; }

int UdpSocket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }
int TcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

void CloseSocket(int fd) {
  if (fd >= 0) ::close(fd);
}

bool SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

bool SetReuseAddress(int fd, bool on) {
  int v = on ? 1 : 0;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) == 0;
}

bool SetSendBuffer(int fd, int bytes) { return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0; }

bool SetReceiveBuffer(int fd, int bytes) {
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool Bind(int fd, uint32_t ip, uint16_t port) {
  sockaddr_in a = MakeAddr(ip, port);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

uint16_t BindFirstFreePort(int fd, uint32_t ip, uint16_t first, uint16_t last) {
  for (uint32_t p = first; p <= last && p != 0; ++p) {
    if (Bind(fd, ip, static_cast<uint16_t>(p))) return static_cast<uint16_t>(p);
    if (errno != EADDRINUSE && errno != EACCES) return 0;
  }
  return 0;
}

bool LocalEndpoint(int fd, uint32_t* ip, uint16_t* port) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return false;
  if (ip) *ip = ntohl(a.sin_addr.s_addr);
  if (port) *port = ntohs(a.sin_port);
  return true;
}

int ConnectWithTimeout(int fd, uint32_t ip, uint16_t port, DWORD ms) {
  sockaddr_in a = MakeAddr(ip, port);
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return kNetError;
  bool wasBlocking = (flags & O_NONBLOCK) == 0;
  if (wasBlocking) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int result = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (errno != EINPROGRESS) {
      result = kNetError;
    } else {
      int r = PollFor(fd, POLLOUT, ms);
      if (r != 1) {
        result = r;
      } else {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
          if (err) errno = err;
          result = kNetError;
        }
      }
    }
  }
  int saved = errno;
  if (wasBlocking) ::fcntl(fd, F_SETFL, flags);
  errno = saved;
  return result;
}

int WaitReadable(int fd, DWORD ms) { return PollFor(fd, POLLIN, ms); }

int WaitWritable(int fd, DWORD ms) { return PollFor(fd, POLLOUT, ms); }

int SendAll(int fd, const void* data, size_t len, DWORD ms) {
  const char* p = static_cast<const char*>(data);
  size_t left = len;
  uint64_t deadline = ms == INFINITE ? UINT64_MAX : RealMs() + ms;
  while (left > 0) {
    ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return kNetError;
    DWORD wait = INFINITE;
    if (deadline != UINT64_MAX) {
      uint64_t now = RealMs();
      if (now >= deadline) return kNetTimeout;
      wait = static_cast<DWORD>(deadline - now);
    }
    int r = PollFor(fd, POLLOUT, wait);
    if (r != 1) return r;
  }
  return static_cast<int>(len);
}

int RecvWithTimeout(int fd, void* buf, size_t len, DWORD ms) {
  int r = PollFor(fd, POLLIN, ms);
  if (r != 1) return r;
  for (;;) {
    ssize_t n = ::recv(fd, buf, len, MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kNetTimeout;
    return kNetError;
  }
}

int SendTo(int fd, const void* data, size_t len, uint32_t ip, uint16_t port) {
  sockaddr_in a = MakeAddr(ip, port);
  for (;;) {
    ssize_t n = ::sendto(fd, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return kNetError;
  }
}

int RecvFromWithTimeout(int fd, void* buf, size_t len, DWORD ms, uint32_t* ip, uint16_t* port, bool* truncated) {
  int r = PollFor(fd, POLLIN, ms);
  if (r != 1) return r;
  for (;;) {
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    ssize_t n = ::recvfrom(fd, buf, len, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&a), &alen);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return kNetTimeout;
      return kNetError;
    }
    if (ip) *ip = ntohl(a.sin_addr.s_addr);
    if (port) *port = ntohs(a.sin_port);
    bool cut = static_cast<size_t>(n) > len;
    if (truncated) *truncated = cut;
    return static_cast<int>(cut ? len : static_cast<size_t>(n));
  }
}

bool ParseIPv4(const std::string& text, uint32_t* ip) {
  uint32_t value = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    uint32_t part = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      part = part * 10u + static_cast<uint32_t>(text[i] - '0');
      if (++digits > 3) return false;
      ++i;
    }
    if (part > 255) return false;
    value = (value << 8) | part;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  if (ip) *ip = value;
  return true;
}

std::string FormatIPv4(uint32_t ip) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (ip >> 24) & 255u, (ip >> 16) & 255u, (ip >> 8) & 255u, ip & 255u);
  return buf;
}

bool ResolveIPv4(const std::string& host, uint32_t* ip, int tries, DWORD sleepMs) {
  if (ParseIPv4(host, ip)) return true;
  if (host.empty()) return false;
  if (tries < 1) tries = 1;
  for (int t = 0; t < tries; ++t) {
    if (t > 0) Sleep(sleepMs);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc == 0 && res) {
      uint32_t found = ntohl(reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
      ::freeaddrinfo(res);
      if (ip) *ip = found;
      return true;
    }
    if (res) ::freeaddrinfo(res);
    if (rc == EAI_NONAME) break;  // the name does not exist: retrying will not help
  }
  return false;
}

std::string HostName() {
  char buf[256];
  if (::gethostname(buf, sizeof buf) != 0) return "";
  buf[sizeof buf - 1] = '\0';
  return buf;
}

bool FindLocalAddress(uint32_t dest, uint32_t* ip, uint32_t* mask) {
  std::string over;
  {
    std::lock_guard<std::mutex> lk(OverrideMutex());
    over = OverrideText();
  }
  uint32_t found = 0;
  uint32_t m = 0;
  if (!over.empty() && ParseIPv4(over, &found)) {
    m = MaskOf(found);
    if (m == 0) m = 0xFFFFFF00u;
  } else {
    // Route choice by the kernel: connecting a UDP socket sends nothing.
    uint32_t target = dest ? dest : 0xC6336401u;  // 198.51.100.1 (documentation range) for "default route"
    int fd = UdpSocket();
    if (fd < 0) return false;
    sockaddr_in a = MakeAddr(target, 9);
    bool routed = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  LocalEndpoint(fd, &found, nullptr) && found != 0;
    CloseSocket(fd);
    if (!routed) return false;
    m = MaskOf(found);
    if (m == 0) m = 0xFFFFFFFFu;
  }
  if (ip) *ip = found;
  if (mask) *mask = m;
  return true;
}

uint32_t LocalAddressFor(uint32_t dest, uint32_t* mask) {
  uint32_t ip = 0;
  if (FindLocalAddress(dest, &ip, mask)) return ip;
  if (mask) *mask = 0xFF000000u;
  return 0x7F000001u;
}

bool SetLocalAddressOverride(const std::string& dotted) {
  if (!dotted.empty() && !ParseIPv4(dotted, nullptr)) return false;
  std::lock_guard<std::mutex> lk(OverrideMutex());
  OverrideText() = dotted;
  return true;
}

}  // namespace plat
