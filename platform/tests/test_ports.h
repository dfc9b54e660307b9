// Loopback ports for test servers and the programs tests start, reserved across parallel test processes.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace test_ports {

// Reservations are lock files: a port is ours while this process holds the lock on its file,
// and the kernel drops the lock when the process ends, however it ends. The range lies below the
// kernel's ephemeral ports, so no bind to port 0 and no outgoing connection takes a port between
// our check and the moment the program we hand it to binds it.
constexpr int kFirst = 10000;
constexpr int kLast = 20000;  // exclusive
inline const char* LockFolder() { return "/tmp/tessaly-test-ports"; }

inline bool FreeFor(int type, int port) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0) return false;
  const int on = 1;
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

inline int LockPort(int port) {
  const std::string path = std::string(LockFolder()) + "/" + std::to_string(port);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The first of count consecutive ports, each free for UDP and TCP on every address now and held
// for this process until it ends; 0 when none is left.
inline int Reserve(int count = 1) {
  static std::mutex mu;
  static int next = kFirst + static_cast<int>(getpid() * 37 % (kLast - kFirst));
  std::lock_guard<std::mutex> g(mu);
  mkdir(LockFolder(), 01777);
  chmod(LockFolder(), 01777);
  const int span = kLast - kFirst;
  for (int tried = 0; tried < span; ++tried) {
    const int first = next;
    next = next + count >= kLast ? kFirst : next + count;
    if (first + count > kLast) continue;
    int fds[64];
    int held = 0;
    bool ok = count <= 64;
    for (int k = 0; k < count && ok; ++k) {
      fds[held] = LockPort(first + k);
      ok = fds[held] >= 0;
      if (ok) ++held;
      ok = ok && FreeFor(SOCK_DGRAM, first + k) && FreeFor(SOCK_STREAM, first + k);
    }
    if (ok) return first;  // the locks stay open until the process ends
    for (int k = 0; k < held; ++k) close(fds[k]);
  }
  return 0;
}

// True once something has bound the UDP port (read from the kernel's socket table, so the check
// never holds the port itself at the moment the server binds it).
inline bool UdpBound(int port) {
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X", port);
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      // "  sl  local_address rem_address ...": the local address is the second field.
      const size_t start = line.find_first_not_of(' ', line.find(':') + 1);
      const size_t end = line.find(' ', start);
      if (start == std::string::npos || end == std::string::npos) continue;
      const std::string local = line.substr(start, end - start);
      if (local.size() >= 5 && local.compare(local.size() - 5, 5, hex) == 0) return true;
    }
  }
  return false;
}

// Waits until the UDP port is bound; false after timeoutMs.
inline bool WaitUdpBound(int port, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!UdpBound(port)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace test_ports
