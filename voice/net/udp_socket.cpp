// UDP sockets of a voice channel: the shared handle, binding, multicast, and the receive thread.
#include "voice/net/udp_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/net.h"
#include "voice/trace.h"

namespace {
// Datagrams taken per wake-up before the stop flag and the wait are looked at again.
constexpr int kDrainLimit = 64;
// Back-off after a receive error other than a closed socket.
constexpr int kErrorBackoffMs = 5;
}  // namespace

UdpSocketHandle::~UdpSocketHandle() { plat::CloseSocket(fd_); }

// What the receive thread holds for its whole life: its socket stays open and its
// wake-up descriptor valid until it has ended, whoever lets go of them first.
struct UdpRecvSocket::ThreadState {
  UdpSocketRef socket;
  int wakeFd = -1;
  std::atomic<bool> stop{false};
  ~ThreadState() {
    if (wakeFd >= 0) close(wakeFd);
  }
  void Wake() {
    const uint64_t one = 1;
    ssize_t ignored = write(wakeFd, &one, sizeof one);
    (void)ignored;
  }
};

UdpSocketRef UdpRecvSocket::CreateSocket(bool qos, int serviceType) {
  const int fd = plat::UdpSocket();
  if (fd < 0) return nullptr;
  auto handle = std::make_shared<UdpSocketHandle>(fd);
  if (qos) {
    // No QoS provider here: a guaranteed or controlled-load service gets the highest
    // unprivileged socket priority, so the host's queues favour the voice packets.
    const int priority = serviceType >= 2 ? 6 : 5;
    if (setsockopt(fd, SOL_SOCKET, SO_PRIORITY, &priority, sizeof priority) != 0) return nullptr;
  }
  return handle;
}

UdpRecvSocket::~UdpRecvSocket() { Close(); }

int UdpRecvSocket::Init(void* engine, UdpSocketRef socket, uint16_t port, void* context1, void* context2,
                        void* context3, UdpRecvEntry entry, int channel, const char* multicastAddress) {
  Close();
  std::lock_guard<std::mutex> hold(lock_);
  expectedFromPort_.store(0);
  engine_ = engine;
  context1_ = context1;
  context2_ = context2;
  context3_ = context3;
  entry_ = entry;
  channel_ = channel;
  localPort_ = 0;

  if (!socket || socket->fd() < 0) {
    EngineTrace()->Print(kTraceError, "\tsocket() failed", -1, -1);
    return -1;
  }
  const int fd = socket->fd();
  uint32_t boundIp = 0;
  uint16_t boundPort = 0;
  // The sender may have bound the shared socket to this port already; a socket cannot be bound twice.
  const bool alreadyBound = plat::LocalEndpoint(fd, &boundIp, &boundPort) && boundPort != 0 && boundPort == port;
  if (!alreadyBound && !plat::Bind(fd, 0, port)) {
    // -1 is the trace's "no value": the failed return value goes into the text itself.
    EngineTrace()->Print(kTraceError, "\tbind() failed (return value -1)", -1, -1);
    return -1;
  }
  if (multicastAddress && multicastAddress[0]) {
    uint32_t group = 0;
    ip_mreq request{};
    int error = EINVAL;
    if (plat::ParseIPv4(multicastAddress, &group)) {
      request.imr_multiaddr.s_addr = htonl(group);
      request.imr_interface.s_addr = htonl(INADDR_ANY);
      error = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0 ? 0 : errno;
    }
    if (error != 0) {
      EngineTrace()->Print(kTraceError, "\tsetsockopt() for multicast failed (WSAGetLastError: %d)", error, -1);
      return -2;
    }
  }
  socket_ = std::move(socket);
  localPort_ = port;
  const std::string host = plat::HostName();
  if (host.empty() || !plat::ResolveIPv4(host, &localHost_, 1)) localHost_ = 0;
  return 0;
}

int UdpRecvSocket::StartThread(bool rtp) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!socket_ || thread_.joinable()) return -1;
  auto state = std::make_shared<ThreadState>();
  state->socket = socket_;
  state->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state->wakeFd < 0) return -1;
  const std::string name = std::string(rtp ? "ve_rtp" : "ve_rtcp") + std::to_string(channel_);
  const bool started = thread_.start(name, [this, state, rtp] {
    plat::SetCurrentThreadPriority(rtp ? THREAD_PRIORITY_ABOVE_NORMAL : THREAD_PRIORITY_BELOW_NORMAL);
    ThreadProc(state);
  });
  if (!started) return -1;
  threadState_ = std::move(state);
  return 0;
}

void UdpRecvSocket::Close() {
  plat::Thread thread;
  std::shared_ptr<ThreadState> state;
  UdpSocketRef socket;
  {
    std::lock_guard<std::mutex> hold(lock_);
    thread = std::move(thread_);
    thread_ = plat::Thread();
    state = std::move(threadState_);
    socket = std::move(socket_);
    localPort_ = 0;
  }
  if (state) {
    state->stop.store(true, std::memory_order_release);
    state->Wake();
  }
  if (thread.joinable()) {
    // From the entry itself the thread ends once the entry returns; it cannot wait for itself.
    if (thread.id() == GetCurrentThreadId())
      thread.detach();
    else
      thread.join();
  }
  // The socket is let go only now: this holder's reference goes after the thread has ended.
}

void UdpRecvSocket::SetDecryptionHook(SonraVE_Encryption* hook, bool enabled) {
  std::lock_guard<std::mutex> hold(hookLock_);
  hook_ = hook;
  hookEnabled_ = enabled;
}

int UdpRecvSocket::Socket() const {
  std::lock_guard<std::mutex> hold(lock_);
  return socket_ ? socket_->fd() : -1;
}

bool UdpRecvSocket::ThreadRunning() const {
  std::lock_guard<std::mutex> hold(lock_);
  return thread_.joinable() && !thread_.finished();
}

uint32_t UdpRecvSocket::LocalHostAddress() const {
  std::lock_guard<std::mutex> hold(lock_);
  return localHost_;
}

int UdpRecvSocket::HandleDatagram(uint8_t* data, int length, uint16_t fromPort) {
  if (!data || length < 0 || length > kBufferSize) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  length_ = length;
  fromPort_.store(fromPort);
  const uint16_t expected = expectedFromPort_.load();
  if (expected != 0 && expected != fromPort) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  if (srtp_.Enabled()) {
    int len = length;
    if (srtp_.Unprotect(data, &len) != 0 || len < 0 || len > length) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return 0;
    }
    length = len;
  }
  const uint8_t* out = data;
  {
    std::lock_guard<std::mutex> hold(hookLock_);
    if (hookEnabled_ && hook_) {
      int outLength = -1;
      hook_->decrypt(channel_, hookBuffer_, data, length, &outLength);
      if (outLength < 0 || outLength > static_cast<int>(sizeof hookBuffer_)) {
        EngineTrace()->Print(kTraceWarning, "\tdecryption gave a bad length (%d), packet dropped", outLength, -1);
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return 0;
      }
      out = hookBuffer_;
      length = outLength;
    }
  }
  length_ = length;
  if (!entry_) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  entry_(engine_, context1_, context2_, context3_, this, out, length, channel_);
  delivered_.fetch_add(1, std::memory_order_relaxed);
  return 1;
}

void UdpRecvSocket::ThreadProc(const std::shared_ptr<ThreadState>& state) {
  const int fd = state->socket->fd();
  pollfd fds[2] = {{fd, POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
  while (!state->stop.load(std::memory_order_acquire)) {
    fds[0].revents = fds[1].revents = 0;
    const int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      poll(&fds[1], 1, kErrorBackoffMs);
      continue;
    }
    if (fds[1].revents != 0 || state->stop.load(std::memory_order_acquire)) break;
    if (fds[0].revents & POLLNVAL) break;  // the socket is gone: nothing more to receive
    for (int i = 0; i < kDrainLimit && !state->stop.load(std::memory_order_acquire); ++i) {
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      // MSG_TRUNC gives the datagram's real length, so an oversize one is dropped, not cut.
      const ssize_t n = recvfrom(fd, buffer_, kBufferSize, MSG_TRUNC | MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == EINTR) continue;
        if (errno == EBADF || errno == ENOTSOCK) return;
        // Errors such as an ICMP report from an earlier send: pause briefly, stay alive.
        poll(&fds[1], 1, kErrorBackoffMs);
        break;
      }
      if (n > kBufferSize) {
        EngineTrace()->Print(kTraceWarning, "\tDatagram of %d bytes dropped (longer than %d bytes)",
                             static_cast<int>(n), kBufferSize);
        dropped_.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      HandleDatagram(buffer_, static_cast<int>(n), ntohs(from.sin_port));
    }
  }
}
