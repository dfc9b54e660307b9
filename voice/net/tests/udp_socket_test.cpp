// Tests of the channel UDP sockets: binding, the receive thread's delivery and filters, stopping, sharing, SRTP.
#include "voice/net/udp_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/tests/test_ports.h"
#include "voice/net/tests/srtp_policy.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// Collects what the receive entry is given.
struct Recorder {
  std::mutex lock;
  std::condition_variable cv;
  std::vector<std::vector<uint8_t>> packets;
  std::vector<int> channels;
  std::atomic<int> count{0};
  std::atomic<int> inside{0};
  int sleepMs = 0;
  void* engine = nullptr;
  void* ctx2 = nullptr;
  void* ctx3 = nullptr;

  bool WaitFor(int n, int ms = 3000) {
    std::unique_lock<std::mutex> hold(lock);
    return cv.wait_for(hold, std::chrono::milliseconds(ms), [&] { return static_cast<int>(packets.size()) >= n; });
  }
};

void Entry(void* engine, void* ctx1, void* ctx2, void* ctx3, UdpRecvSocket* socket, const uint8_t* data,
           int length, int channel) {
  auto* r = static_cast<Recorder*>(ctx1);
  r->inside.fetch_add(1);
  EXPECT_NE(socket, nullptr);
  if (r->sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(r->sleepMs));
  {
    std::lock_guard<std::mutex> hold(r->lock);
    r->engine = engine;
    r->ctx2 = ctx2;
    r->ctx3 = ctx3;
    r->packets.emplace_back(data, data + length);
    r->channels.push_back(channel);
  }
  r->count.fetch_add(1);
  r->inside.fetch_sub(1);
  r->cv.notify_all();
}

// A free port, held for this test process so a parallel test cannot take it before the socket
// under test binds it.
uint16_t FreePort() { return static_cast<uint16_t>(test_ports::Reserve(1)); }

// A sender socket bound to its own port on loopback.
struct Sender {
  int fd = plat::UdpSocket();
  uint16_t port = 0;
  Sender() {
    uint32_t ip = 0;
    EXPECT_TRUE(plat::Bind(fd, kLoopback, 0));
    EXPECT_TRUE(plat::LocalEndpoint(fd, &ip, &port));
  }
  ~Sender() { plat::CloseSocket(fd); }
  void Send(uint16_t to, const std::vector<uint8_t>& data) const {
    ASSERT_EQ(plat::SendTo(fd, data.data(), data.size(), kLoopback, to), static_cast<int>(data.size()));
  }
};

bool FdOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

class VnetUdpSocket : public ::testing::Test {
 protected:
  // Prepares rs on a fresh socket bound to a free port and starts its thread.
  void Open(UdpRecvSocket& rs, Recorder& rec, int channel = 3) {
    socket = UdpRecvSocket::CreateSocket(false, 0);
    ASSERT_TRUE(socket);
    port = FreePort();
    ASSERT_EQ(rs.Init(&engine, socket, port, &rec, &ctx2, &ctx3, Entry, channel), 0);
    ASSERT_EQ(rs.StartThread(true), 0);
  }
  int engine = 0, ctx2 = 0, ctx3 = 0;
  UdpSocketRef socket;
  uint16_t port = 0;
};

TEST_F(VnetUdpSocket, DeliversDatagramsWithTheEntrysValues) {
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  EXPECT_EQ(rs.LocalHostAddress(), 0u);
  Open(rs, rec, 7);
  EXPECT_EQ(rs.LocalPort(), port);
  EXPECT_EQ(rs.Socket(), socket->fd());
  // The host's own address is looked up when the socket is prepared.
  uint32_t host = 0;
  if (plat::ResolveIPv4(plat::HostName(), &host)) {
    EXPECT_EQ(rs.LocalHostAddress(), host);
  }
  Sender s;
  s.Send(port, {0x80, 0, 1, 2});
  s.Send(port, {0x80, 0, 3, 4, 5});
  ASSERT_TRUE(rec.WaitFor(2));
  std::lock_guard<std::mutex> hold(rec.lock);
  EXPECT_EQ(rec.packets[0], (std::vector<uint8_t>{0x80, 0, 1, 2}));
  EXPECT_EQ(rec.packets[1], (std::vector<uint8_t>{0x80, 0, 3, 4, 5}));
  EXPECT_EQ(rec.channels[0], 7);
  EXPECT_EQ(rec.engine, &engine);
  EXPECT_EQ(rec.ctx2, &ctx2);
  EXPECT_EQ(rec.ctx3, &ctx3);
  EXPECT_EQ(rs.GetFromPort(), s.port);
  EXPECT_EQ(rs.Length(), 5);
}

TEST_F(VnetUdpSocket, ExpectedSourcePortFiltersOthers) {
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  Open(rs, rec);
  Sender wanted, other;
  rs.SetExpectedFromPort(wanted.port);
  EXPECT_EQ(rs.GetExpectedFromPort(), wanted.port);
  other.Send(port, {1});
  wanted.Send(port, {2});
  ASSERT_TRUE(rec.WaitFor(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(rec.count.load(), 1);
  EXPECT_EQ(rec.packets[0], std::vector<uint8_t>{2});
  EXPECT_EQ(rs.Dropped(), 1u);
  EXPECT_EQ(rs.GetFromPort(), wanted.port);
  rs.SetExpectedFromPort(0);  // accept all again
  other.Send(port, {3});
  ASSERT_TRUE(rec.WaitFor(2));
}

// A datagram longer than the receive buffer is dropped whole, never handed on cut short.
TEST_F(VnetUdpSocket, OversizeDatagramsAreDropped) {
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  Open(rs, rec);
  Sender s;
  for (size_t size : {size_t{1025}, size_t{1500}, size_t{1024}, size_t{0}, size_t{1}}) s.Send(port, std::vector<uint8_t>(size, 0xAB));
  ASSERT_TRUE(rec.WaitFor(3));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::lock_guard<std::mutex> hold(rec.lock);
  ASSERT_EQ(rec.packets.size(), 3u);
  EXPECT_EQ(rec.packets[0].size(), 1024u);
  EXPECT_EQ(rec.packets[1].size(), 0u);
  EXPECT_EQ(rec.packets[2].size(), 1u);
  EXPECT_EQ(rs.Dropped(), 2u);
}

// Close waits for an entry call in progress and no entry call follows it, even under a flood.
TEST_F(VnetUdpSocket, CloseJoinsTheThreadAndNoEntryFollows) {
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  rec.sleepMs = 30;
  Open(rs, rec);
  Sender s;
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    while (flooding.load()) {
      s.Send(port, {0x80, 1});
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  ASSERT_TRUE(rec.WaitFor(1));
  rs.Close();
  EXPECT_EQ(rec.inside.load(), 0);
  EXPECT_FALSE(rs.ThreadRunning());
  EXPECT_EQ(rs.Socket(), -1);
  const int after = rec.count.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  EXPECT_EQ(rec.count.load(), after);
  flooding.store(false);
  flood.join();
  rs.Close();  // a second close is harmless
}

// Stopping and starting again many times while packets arrive: each thread is gone before
// the next starts, so a freed context is never used (run under the sanitizers).
TEST_F(VnetUdpSocket, RepeatedStartAndStopUnderTraffic) {
  UdpRecvSocket rs;
  Sender s;
  socket = UdpRecvSocket::CreateSocket(false, 0);
  port = FreePort();
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    while (flooding.load()) s.Send(port, {0x80, 2, 3});
  });
  for (int i = 0; i < 100; ++i) {
    auto rec = std::make_unique<Recorder>();
    ASSERT_EQ(rs.Init(&engine, socket, port, rec.get(), nullptr, nullptr, Entry, 0), 0);
    ASSERT_EQ(rs.StartThread(i % 2 == 0), 0);
    if (i % 10 == 0) rec->WaitFor(1, 500);
    rs.Close();
    EXPECT_EQ(rec->inside.load(), 0);
    // rec is freed here: the stopped thread must not touch it again.
  }
  flooding.store(false);
  flood.join();
}

// The socket is shared with the sender: stopping the receive side leaves it open for sending,
// and it is closed once, when the last holder lets go.
TEST_F(VnetUdpSocket, SharedSocketClosesOnceWithTheLastHolder) {
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  Open(rs, rec);
  const int fd = socket->fd();
  rs.Close();
  ASSERT_TRUE(FdOpen(fd));
  Sender peer;
  ASSERT_EQ(plat::SendTo(fd, "x", 1, kLoopback, peer.port), 1);  // the sender still sends from the local port
  uint16_t from = 0;
  char buf[8];
  ASSERT_EQ(plat::RecvFromWithTimeout(peer.fd, buf, sizeof buf, 2000, nullptr, &from, nullptr), 1);
  EXPECT_EQ(from, port);
  socket.reset();
  EXPECT_FALSE(FdOpen(fd));
}

TEST_F(VnetUdpSocket, InitFailures) {
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  EXPECT_EQ(rs.Init(&engine, nullptr, FreePort(), &rec, nullptr, nullptr, Entry, 0), -1);
  EXPECT_EQ(rs.StartThread(true), -1);  // nothing prepared
  // A port another socket holds.
  Sender holder;
  EXPECT_EQ(rs.Init(&engine, UdpRecvSocket::CreateSocket(false, 0), holder.port, &rec, nullptr, nullptr, Entry, 0), -1);
  EXPECT_EQ(rs.Socket(), -1);
  // A socket bound to another port cannot be bound again.
  UdpSocketRef bound = UdpRecvSocket::CreateSocket(false, 0);
  ASSERT_TRUE(plat::Bind(bound->fd(), 0, 0));
  uint32_t ip = 0;
  uint16_t boundPort = 0;
  ASSERT_TRUE(plat::LocalEndpoint(bound->fd(), &ip, &boundPort));
  EXPECT_EQ(rs.Init(&engine, bound, static_cast<uint16_t>(boundPort == 65535 ? 65534 : boundPort + 1), &rec,
                    nullptr, nullptr, Entry, 0),
            -1);
  // The same socket on its own port is kept as it is (the sender bound it first).
  EXPECT_EQ(rs.Init(&engine, bound, boundPort, &rec, nullptr, nullptr, Entry, 0), 0);
  EXPECT_EQ(rs.StartThread(false), 0);
  EXPECT_EQ(rs.StartThread(false), -1);  // runs already
}

TEST_F(VnetUdpSocket, ReinitStopsThePreviousThread) {
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  Open(rs, rec);
  EXPECT_TRUE(rs.ThreadRunning());
  rs.SetExpectedFromPort(1234);
  ASSERT_EQ(rs.Init(&engine, socket, port, &rec, nullptr, nullptr, Entry, 0), 0);
  EXPECT_FALSE(rs.ThreadRunning());
  EXPECT_EQ(rs.GetExpectedFromPort(), 0);
}

TEST_F(VnetUdpSocket, MulticastGroups) {
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  for (const char* bad : {"1.2.3.4", "not an address", "239.1.2"}) {
    EXPECT_EQ(rs.Init(&engine, UdpRecvSocket::CreateSocket(false, 0), FreePort(), &rec, nullptr, nullptr, Entry, 0, bad), -2)
        << bad;
    EXPECT_EQ(rs.Socket(), -1) << bad;
  }
  // Joining on any interface needs a multicast-capable route; a bare sandbox has none.
  const int probe = plat::UdpSocket();
  ip_mreq m{};
  m.imr_multiaddr.s_addr = htonl(0xEFFF2A63);
  m.imr_interface.s_addr = htonl(INADDR_ANY);
  const bool canJoin = setsockopt(probe, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
  plat::CloseSocket(probe);
  if (!canJoin) GTEST_SKIP() << "no multicast route on this machine";
  const uint16_t groupPort = FreePort();
  ASSERT_EQ(rs.Init(&engine, UdpRecvSocket::CreateSocket(false, 0), groupPort, &rec, nullptr, nullptr, Entry, 0,
                    "239.255.42.99"),
            0);
  ASSERT_EQ(rs.StartThread(true), 0);
  // The group was joined before the first datagram: one sent to it (looped back) arrives.
  const int out = plat::UdpSocket();  // unbound: leaves from the group's interface, looped back to us
  const uint8_t packet[] = {0x80, 0x00, 0x12};
  const int sent = plat::SendTo(out, packet, sizeof packet, 0xEFFF2A63, groupPort);
  plat::CloseSocket(out);
  if (sent != 3) GTEST_SKIP() << "cannot send to the group";
  ASSERT_TRUE(rec.WaitFor(1));
  EXPECT_EQ(rec.packets[0], (std::vector<uint8_t>{0x80, 0x00, 0x12}));
}

// XORs with 0x55 into the output buffer, which comes before the datagram; a datagram starting 0xEE
// asks for length -1, one starting 0xEF for an oversize length.
class XorHook : public SonraVE_Encryption {
 public:
  void encrypt(int, unsigned char*, unsigned char*, int, int* out) override { *out = 0; }
  void decrypt(int channel, unsigned char* out, unsigned char* in, int n, int* outLength) override {
    EXPECT_EQ(channel, 3);
    for (int i = 0; i < n; ++i) out[i] = in[i] ^ 0x55;
    *outLength = n > 0 && in[0] == 0xEE ? -1 : n > 0 && in[0] == 0xEF ? kSonraHookBufferBytes + 1 : n;
  }
};

TEST_F(VnetUdpSocket, DecryptionHookTransformsAndBadLengthsDrop) {
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  Open(rs, rec);
  XorHook hook;
  rs.SetDecryptionHook(&hook, true);
  Sender s;
  s.Send(port, {0xEE, 1});
  s.Send(port, {0xEF, 2});
  s.Send(port, {0x00, 0x55});
  ASSERT_TRUE(rec.WaitFor(1));
  EXPECT_EQ(rec.packets[0], (std::vector<uint8_t>{0x55, 0x00}));
  EXPECT_EQ(rs.Dropped(), 2u);
  rs.SetDecryptionHook(&hook, false);
  s.Send(port, {9});
  ASSERT_TRUE(rec.WaitFor(2));
  EXPECT_EQ(rec.packets[1], std::vector<uint8_t>{9});
}

TEST_F(VnetUdpSocket, EntryMayCloseItsOwnSocket) {
  UdpRecvSocket rs;
  struct Ctx {
    UdpRecvSocket* rs;
    std::atomic<int> calls{0};
  } ctx{&rs};
  socket = UdpRecvSocket::CreateSocket(false, 0);
  port = FreePort();
  auto closer = [](void*, void* c, void*, void*, UdpRecvSocket* s, const uint8_t*, int, int) {
    auto* x = static_cast<Ctx*>(c);
    x->calls.fetch_add(1);
    EXPECT_EQ(s, x->rs);
    s->Close();
  };
  ASSERT_EQ(rs.Init(&engine, socket, port, &ctx, nullptr, nullptr, closer, 0), 0);
  ASSERT_EQ(rs.StartThread(true), 0);
  Sender sender;
  sender.Send(port, {1});
  sender.Send(port, {2});
  for (int i = 0; i < 300 && ctx.calls.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ctx.calls.load(), 1);
  EXPECT_EQ(rs.Socket(), -1);
}

// Two channels protect their RTP for each other over real sockets; the sender sends from the
// socket its receive side listens on. A tampered packet never reaches the entry.
TEST_F(VnetUdpSocket, SrtpBetweenTwoChannels) {
  static const unsigned char keyA[30] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                         16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30};
  static const unsigned char keyB[30] = {30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                                         15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
  auto policy = vnet_test::AesPolicy;
  struct Channel {
    UdpSocketRef socket = UdpRecvSocket::CreateSocket(false, 0);
    uint16_t port = FreePort();
    Recorder rec;
    UdpRecvSocket recv;
    SrtpSlot send;
  } a, b;
  int engine = 0;
  for (Channel* c : {&a, &b}) {
    ASSERT_EQ(c->recv.Init(&engine, c->socket, c->port, &c->rec, nullptr, nullptr, Entry, 3), 0);
    ASSERT_EQ(c->recv.StartThread(true), 0);
  }
  ASSERT_EQ(a.send.Enable(policy(keyA, kSrtpAnyOutbound)), 0);
  ASSERT_EQ(b.recv.EnableSRTP(policy(keyA, kSrtpAnyInbound)), 0);
  ASSERT_EQ(b.send.Enable(policy(keyB, kSrtpAnyOutbound)), 0);
  ASSERT_EQ(a.recv.EnableSRTP(policy(keyB, kSrtpAnyInbound)), 0);

  auto rtp = [](uint16_t seq) {
    std::vector<uint8_t> v(12 + 160);
    v[0] = 0x80;
    v[3] = static_cast<uint8_t>(seq);
    v[11] = 0x42;
    for (size_t i = 12; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i + seq);
    return v;
  };
  auto sendProtected = [&](Channel& from, Channel& to, uint16_t seq, bool tamper) {
    std::vector<uint8_t> plain = rtp(seq);
    std::vector<uint8_t> buf(plain.size() + kSrtpMaxTrailer);
    std::memcpy(buf.data(), plain.data(), plain.size());
    int len = static_cast<int>(plain.size());
    ASSERT_EQ(from.send.Protect(buf.data(), &len, buf.size()), 0);
    if (tamper) buf[20] ^= 0x80;
    ASSERT_EQ(plat::SendTo(from.socket->fd(), buf.data(), len, kLoopback, to.port), len);
  };
  for (uint16_t seq = 1; seq <= 5; ++seq) {
    sendProtected(a, b, seq, seq == 3);
    sendProtected(b, a, seq, false);
  }
  ASSERT_TRUE(b.rec.WaitFor(4));
  ASSERT_TRUE(a.rec.WaitFor(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(b.rec.count.load(), 4);
  EXPECT_EQ(b.recv.Dropped(), 1u);
  EXPECT_EQ(b.rec.packets[2], rtp(4));
  EXPECT_EQ(a.rec.packets[4], rtp(5));
  EXPECT_EQ(b.recv.GetFromPort(), a.port);  // sent from a's receive port
  // Without the right session, protected packets are dropped.
  b.recv.EnableSRTP(policy(keyB, kSrtpAnyInbound));
  sendProtected(a, b, 6, false);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(b.rec.count.load(), 4);
}

// Hostile datagrams through the receive path with SRTP on: none reaches the entry.
TEST_F(VnetUdpSocket, MalformedDatagramsWithSrtpAreDropped) {
  static const unsigned char key[30] = {7};
  const SrtpPolicy p = vnet_test::AesPolicy(key, kSrtpAnyInbound);
  Recorder rec;  // outlives the socket, whose thread uses it
  UdpRecvSocket rs;
  ASSERT_EQ(rs.EnableSRTP(p), 0);
  socket = UdpRecvSocket::CreateSocket(false, 0);
  ASSERT_EQ(rs.Init(&engine, socket, FreePort(), &rec, nullptr, nullptr, Entry, 0), 0);
  std::mt19937 rng(5);
  uint8_t buf[UdpRecvSocket::kBufferSize];
  for (int i = 0; i < 3000; ++i) {
    const int n = static_cast<int>(rng() % (sizeof buf + 1));
    for (int k = 0; k < n; ++k) buf[k] = static_cast<uint8_t>(rng());
    if (n > 0 && i % 2) buf[0] = 0x80;
    EXPECT_EQ(rs.HandleDatagram(buf, n, 1), 0);
  }
  EXPECT_EQ(rs.HandleDatagram(buf, -1, 1), 0);
  EXPECT_EQ(rs.HandleDatagram(buf, UdpRecvSocket::kBufferSize + 1, 1), 0);
  EXPECT_EQ(rec.count.load(), 0);
  EXPECT_EQ(rs.Dropped(), 3002u);
}

TEST(VnetUdpSocketCreate, QosSocketGetsAPriority) {
  UdpSocketRef s = UdpRecvSocket::CreateSocket(true, 2);
  ASSERT_TRUE(s);
  int priority = -1;
  socklen_t len = sizeof priority;
  ASSERT_EQ(getsockopt(s->fd(), SOL_SOCKET, SO_PRIORITY, &priority, &len), 0);
  EXPECT_EQ(priority, 6);
  UdpSocketRef plain = UdpRecvSocket::CreateSocket(false, 0);
  ASSERT_TRUE(plain);
  ASSERT_EQ(getsockopt(plain->fd(), SOL_SOCKET, SO_PRIORITY, &priority, &len), 0);
  EXPECT_EQ(priority, 0);
}

}  // namespace
