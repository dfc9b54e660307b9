// Operating-system wrapper of the messaging library: UDP socket, files, text and time conversion.
#include "pellico/kxplatform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/codepage.h"
#include "platform/fs.h"
#include "platform/sync.h"

namespace fs = std::filesystem;

namespace pellico {

namespace {
constexpr size_t kConvBufferBytes = 16192;
constexpr size_t kMaxUtf16Units = kConvBufferBytes / 2 - 1;  // 8095 units plus the terminator
constexpr size_t kMaxUtf8Bytes = kConvBufferBytes - 1;       // 16191 bytes plus the terminator
constexpr size_t kFewFiles = 8;
}  // namespace

// The platform's clock, so that a host scheduling its ticks on it and the engine agree on every due time.
uint32_t SystemMillis() { return GetTickCount(); }

bool UdpSocket::Open() {
  Close();
  m_log("ResetSocket: Opening socket");
  m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (m_fd < 0) return false;
  int flags = fcntl(m_fd, F_GETFL, 0);
  if (flags < 0 || fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    m_log("MERVANE FAILED TO PUT SOCKET IN NON-BLOCKING MODE");
    ::close(m_fd);
    m_fd = -1;
    return false;
  }
  int size = 262144;
  char line[96];
  if (setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
    snprintf(line, sizeof line, "Error setting sndbuf SockOpt Value: %ld", static_cast<long>(size));
    m_log(line);
  }
  if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
    snprintf(line, sizeof line, "Error setting rcvbuf SockOpt Value: %ld", static_cast<long>(size));
    m_log(line);
  }
  return true;
}

void UdpSocket::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

int UdpSocket::SendTo(const uint8_t* data, size_t len, uint32_t addr, uint16_t port) {
  if (m_fd < 0) return -EBADF;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(port);
  ssize_t n = ::sendto(m_fd, data, len, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (n < 0) return errno == EWOULDBLOCK ? -EAGAIN : -errno;
  return static_cast<int>(n);
}

int UdpSocket::RecvFrom(uint8_t* buf, size_t size, uint32_t* addr, uint16_t* port) {
  if (m_fd < 0) return -EBADF;
  sockaddr_in sa{};
  socklen_t slen = sizeof sa;
  ssize_t n = ::recvfrom(m_fd, buf, size, 0, reinterpret_cast<sockaddr*>(&sa), &slen);
  if (n < 0) return errno == EWOULDBLOCK ? -EAGAIN : -errno;
  *addr = ntohl(sa.sin_addr.s_addr);
  *port = ntohs(sa.sin_port);
  return static_cast<int>(n);
}

KxPlatform::KxPlatform(Logger log, bool useFiles) : m_log(std::move(log)), m_useFiles(useFiles), m_clock(SystemMillis) {
  auto tid = std::hash<std::thread::id>{}(std::this_thread::get_id());
  m_rand.Seed(static_cast<uint32_t>(tid) + static_cast<uint32_t>(time(nullptr)));
  m_socket = std::make_unique<UdpSocket>([this](const std::string& s) { m_log(s.c_str()); });
  m_waitFd = ::epoll_create1(EPOLL_CLOEXEC);
  m_signalFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_waitFd >= 0 && m_signalFd >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_signalFd;
    ::epoll_ctl(m_waitFd, EPOLL_CTL_ADD, m_signalFd, &ev);
  }
}

KxPlatform::~KxPlatform() {
  if (m_socket) m_socket->Close();
  if (m_waitFd >= 0) ::close(m_waitFd);
  if (m_signalFd >= 0) ::close(m_signalFd);
}

void KxPlatform::SetSocket(std::unique_ptr<KxSocket> socket) {
  m_socket = std::move(socket);
  WatchSocket();
}

bool KxPlatform::OpenSocket() {
  m_receiveEnabled = false;
  m_extraSources.clear();
  bool ok = m_socket && m_socket->Open();
  WatchSocket();
  return ok;
}

void KxPlatform::WatchSocket() {
  if (m_waitFd < 0) return;
  // A closed socket has left the set by itself; its number may be the new one's.
  if (m_polledSocket >= 0) ::epoll_ctl(m_waitFd, EPOLL_CTL_DEL, m_polledSocket, nullptr);
  m_polledSocket = m_socket ? m_socket->Descriptor() : -1;
  if (m_polledSocket < 0) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = m_polledSocket;
  if (::epoll_ctl(m_waitFd, EPOLL_CTL_ADD, m_polledSocket, &ev) != 0) m_polledSocket = -1;
}

void KxPlatform::Signal() {
  if (m_signalFd < 0) return;
  uint64_t one = 1;
  if (::write(m_signalFd, &one, sizeof one) < 0) {
    // Full (never in practice) or closed: the tick finds the work when it runs anyway.
  }
}

void KxPlatform::TakeSignal() {
  if (m_signalFd < 0) return;
  uint64_t count = 0;
  if (::read(m_signalFd, &count, sizeof count) < 0) {
    // Nothing signalled.
  }
}

void KxPlatform::SetDestination(const std::string& host, uint16_t port) {
  if (!host.empty()) {
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
      m_destAddr = ntohl(a.s_addr);
    } else {
      char line[600];
      snprintf(line, sizeof line, "Looking up host %.500s", host.c_str());
      m_log(line);
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_DGRAM;
      addrinfo* res = nullptr;
      if (getaddrinfo(host.c_str(), nullptr, &hints, &res) == 0 && res) {
        auto* sin = reinterpret_cast<sockaddr_in*>(res->ai_addr);
        m_destAddr = ntohl(sin->sin_addr.s_addr);
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sin->sin_addr, ip, sizeof ip);
        snprintf(line, sizeof line, "Looked up IP %s from name %.500s", ip, host.c_str());
        m_log(line);
        freeaddrinfo(res);
      } else {
        snprintf(line, sizeof line, "Error! Unable to lookup %.500s", host.c_str());
        m_log(line);
      }
    }
  }
  if (port != 0) m_destPort = port;
}

void KxPlatform::AcceptSource(uint32_t addr, uint16_t port) { m_extraSources.emplace_back(addr, port); }

int KxPlatform::Send(const uint8_t* data, size_t len) {
  if (!m_socket) return -EBADF;
  // No address was ever found: Linux would deliver to this machine for 0.0.0.0, where Windows refuses it.
  if (m_destAddr == 0) return -EDESTADDRREQ;
  int n = m_socket->SendTo(data, len, m_destAddr, m_destPort);
  if (n >= 0) m_receiveEnabled = true;
  return n;
}

int KxPlatform::Receive(uint8_t* buf, size_t size, bool* fromServer) {
  if (!m_socket) return -EBADF;
  uint32_t addr = 0;
  uint16_t port = 0;
  int n = m_socket->RecvFrom(buf, size, &addr, &port);
  if (n < 0 && n != -EAGAIN) m_receiveEnabled = false;
  if (n >= 0) {
    bool ok = addr == m_destAddr && port == m_destPort;
    for (auto& s : m_extraSources)
      if (s.first == addr && s.second == port) ok = true;
    *fromServer = ok;
  }
  return n;
}

bool KxPlatform::ReadFile(const std::string& path, std::vector<uint8_t>& out, size_t maxBytes) {
  out.clear();
  if (!m_useFiles) return false;
  // A FIFO or device in a store file's place is refused at once rather than waited on.
  std::string bytes;
  if (!plat::ReadFile(path, &bytes, maxBytes)) return false;
  out.assign(bytes.begin(), bytes.end());
  return true;
}

bool KxPlatform::WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, bool secret) {
  if (!m_useFiles) return true;
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!plat::WriteFileAtomic(path, text, secret ? plat::FileAccess::OwnerOnly : plat::FileAccess::Keep)) return false;
  // Earlier versions wrote through "<path>.tmp"; one left by a crash goes now.
  std::remove((path + ".tmp").c_str());
  return true;
}

void KxPlatform::WriteFiles(std::vector<FileWrite>& files, bool sync) {
  for (auto& f : files) {
    f.ok = !m_useFiles;
    f.error = 0;
  }
  if (!m_useFiles || files.empty()) return;
  // Temporary names of the files written so far (empty: not written); each is closed once written, so a
  // batch of any size holds one descriptor at a time.
  std::vector<std::string> temps(files.size());
  std::string firstDir;
  // A few files are synced one by one; a larger batch with one sync of its file system, which also flushes
  // what others wrote there and so costs more than a few files' own syncs.
  const bool fewFiles = files.size() <= kFewFiles;
  for (size_t i = 0; i < files.size(); ++i) {
    FileWrite& f = files[i];
    const std::string path = plat::NormalizeSeparators(f.path);
    std::string dir = plat::PathDirName(path);
    if (dir.empty()) dir = ".";
    // The platform's name for a rewrite's temporary file, so that its clean-up takes one a kill left behind.
    std::string tmpl = dir + "/." + plat::PathBaseName(path) + ".tmp-XXXXXX";
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
      f.error = errno;
      if (i == 0) break;
      continue;
    }
    ::fchmod(fd, 0600);
    const uint8_t* p = f.bytes.data();
    size_t left = f.bytes.size();
    while (left > 0) {
      ssize_t n = ::write(fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      p += n;
      left -= static_cast<size_t>(n);
    }
    if (left > 0) f.error = errno ? errno : EIO;
    if (left == 0 && sync && fewFiles && ::fsync(fd) != 0) {
      f.error = errno;
      left = 1;
    }
    if (::close(fd) != 0 && left == 0) {
      f.error = errno;
      left = 1;
    }
    if (left > 0) {
      ::unlink(tmpl.c_str());
      if (i == 0) break;
      continue;
    }
    temps[i] = tmpl;
    if (firstDir.empty()) firstDir = dir;
  }
  bool synced = !temps[0].empty();
  int syncError = 0;
  if (synced && sync && !fewFiles) {
    int dirFd = ::open(firstDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    synced = dirFd >= 0 && ::syncfs(dirFd) == 0;
    syncError = synced ? 0 : errno;
    if (dirFd >= 0) ::close(dirFd);
  }
  std::set<std::string> dirs;
  for (size_t i = 0; i < files.size(); ++i) {
    if (temps[i].empty()) continue;
    FileWrite& f = files[i];
    const std::string path = plat::NormalizeSeparators(f.path);
    if (!synced || (i > 0 && !files[0].ok)) {
      f.error = synced ? 0 : syncError;
      ::unlink(temps[i].c_str());
      continue;
    }
    if (::rename(temps[i].c_str(), path.c_str()) == 0) {
      f.ok = true;
      dirs.insert(plat::PathDirName(path).empty() ? "." : plat::PathDirName(path));
    } else {
      f.error = errno;
      ::unlink(temps[i].c_str());
    }
  }
  // The new names on disk too.
  for (const auto& d : sync ? dirs : std::set<std::string>()) {
    int fd = ::open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    ::fsync(fd);
    ::close(fd);
  }
}

bool KxPlatform::AppendFile(const std::string& path, const uint8_t* data, size_t len) {
  if (!m_useFiles) return true;
  FILE* f = plat::OpenRegularStream(path, "ab");
  if (!f) return false;
  bool ok = len == 0 || fwrite(data, 1, len, f) == len;
  ok = (fclose(f) == 0) && ok;
  return ok;
}

bool KxPlatform::CreateEmpty(const std::string& path) {
  if (!m_useFiles) return true;
  FILE* f = plat::OpenRegularStream(path, "wb");
  if (!f) return false;
  return fclose(f) == 0;
}

int KxPlatform::Remove(const std::string& path) {
  if (!m_useFiles) return 0;
  return std::remove(path.c_str()) == 0 ? 0 : -1;
}

bool KxPlatform::Exists(const std::string& path) {
  if (!m_useFiles) return false;
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool KxPlatform::Move(const std::string& from, const std::string& to) {
  if (!m_useFiles) return true;
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void KxPlatform::MakeDirectory(const std::string& path) {
  if (!m_useFiles || path.empty()) return;
  // The store holds the user's messages and voice clips: its folders are closed to other users.
  plat::MakePrivateDirectory(path);
}

void KxPlatform::EmptyDirectory(const std::string& path) {
  if (!m_useFiles) return;
  std::error_code ec;
  fs::directory_iterator it(path, ec);
  if (ec) return;
  for (const auto& entry : it) {
    std::error_code ec2;
    if (entry.is_regular_file(ec2)) fs::remove(entry.path(), ec2);
  }
}

std::u16string Utf8ToUtf16(const char* s, size_t len) { return plat::ToUtf16(std::string_view(s, len), CP_UTF8); }

std::string Utf16ToUtf8(const uint16_t* s, size_t units) {
  return plat::FromUtf16(std::u16string(s, s + units), CP_UTF8);
}

WStr_t* KxPlatform::Utf8ToWStr(const Utf8_t* s) {
  if (!s) return nullptr;
  WStr_t* w = CKxCore::WStrNewM();
  if (!w || s->len == 0 || !s->data) return w;
  std::u16string u = Utf8ToUtf16(s->data, s->len);
  // Stop at an embedded zero as the C conversion does.
  size_t z = u.find(u'\0');
  if (z != std::u16string::npos) u.resize(z);
  if (u.empty() || u.size() > kMaxUtf16Units) return w;
  size_t bytes = 2 * (u.size() + 1);
  w->len = static_cast<uint16_t>(bytes);
  CKxCore::WStrAllocDataM(w);
  if (!w->data) {
    w->len = 0;
    return w;
  }
  memcpy(w->data, u.data(), u.size() * 2);
  return w;
}

Utf8_t* KxPlatform::WStrToUtf8(const WStr_t* s) {
  if (!s) return nullptr;
  Utf8_t* r = CKxCore::Utf8NewM();
  if (!r || s->len == 0 || !s->data) return r;
  size_t units = 0;
  size_t maxUnits = s->len / 2;
  while (units < maxUnits && s->data[units] != 0) ++units;
  std::string u8 = Utf16ToUtf8(s->data, units);
  if (u8.empty() || u8.size() > kMaxUtf8Bytes) return r;
  r->len = static_cast<uint16_t>(u8.size());
  CKxCore::Utf8AllocDataM(r);
  if (!r->data) {
    r->len = 0;
    return r;
  }
  memcpy(r->data, u8.data(), u8.size());
  return r;
}

int64_t KxPlatform::WireTimeToSeconds(const uint8_t* t) {
  struct tm tmv {};
  tmv.tm_year = ((t[0] << 8) | t[1]) - 1900;
  tmv.tm_mon = t[2] - 1;
  tmv.tm_mday = t[3];
  tmv.tm_hour = t[4];
  tmv.tm_min = t[5];
  tmv.tm_sec = t[6];
  tmv.tm_isdst = -1;
  time_t v = mktime(&tmv);
  return static_cast<int64_t>(v);
}

bool KxPlatform::ParseServerTime(const std::string& text, int64_t* serverSeconds) {
  size_t p = text.find("TS=");
  if (p == std::string::npos) return false;
  p += 3;
  if (p + 15 > text.size()) return false;
  auto num = [&](size_t at, size_t n, int* v) {
    int r = 0;
    for (size_t i = 0; i < n; ++i) {
      char c = text[at + i];
      if (c < '0' || c > '9') return false;
      r = r * 10 + (c - '0');
    }
    *v = r;
    return true;
  };
  int y, mo, d, h, mi, s;
  if (!num(p, 4, &y) || !num(p + 4, 2, &mo) || !num(p + 6, 2, &d) || !num(p + 9, 2, &h) || !num(p + 11, 2, &mi) ||
      !num(p + 13, 2, &s))
    return false;
  uint8_t t[7] = {static_cast<uint8_t>(y >> 8), static_cast<uint8_t>(y & 0xFF), static_cast<uint8_t>(mo),
                  static_cast<uint8_t>(d), static_cast<uint8_t>(h), static_cast<uint8_t>(mi), static_cast<uint8_t>(s)};
  int64_t v = WireTimeToSeconds(t);
  if (v == -1) return false;
  *serverSeconds = v;
  return true;
}

}  // namespace pellico
