// Tests of the socket helpers and the local address choice.
#include "platform/net.h"

#include <stdlib.h>
#include <sys/socket.h>

#include <cstring>
#include <thread>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;

TEST(PlatformNet, ParseAndFormatIPv4) {
  struct {
    const char* text;
    bool ok;
    uint32_t ip;
  } cases[] = {{"127.0.0.1", true, kLoopback},  {"255.255.255.255", true, 0xFFFFFFFFu}, {"0.0.0.0", true, 0},
               {"256.0.0.1", false, 0},         {"1.2.3", false, 0},                    {"1.2.3.4.5", false, 0},
               {"1.2.3.4 ", false, 0},          {"a.b.c.d", false, 0},                  {"", false, 0},
               {"01.2.3.4", true, 0x01020304u}, {"1..3.4", false, 0},                   {"1234.1.1.1", false, 0}};
  for (auto& c : cases) {
    uint32_t ip = 0;
    EXPECT_EQ(plat::ParseIPv4(c.text, &ip), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(ip, c.ip) << c.text;
    }
  }
  EXPECT_EQ(plat::FormatIPv4(0xC0A80001u), "192.168.0.1");
}

TEST(PlatformNet, ResolveLiteralAndLocalhost) {
  uint32_t ip = 0;
  EXPECT_TRUE(plat::ResolveIPv4("10.1.2.3", &ip));
  EXPECT_EQ(ip, 0x0A010203u);
  EXPECT_TRUE(plat::ResolveIPv4("localhost", &ip, 2, 1));
  EXPECT_EQ(ip >> 24, 127u);
  EXPECT_FALSE(plat::ResolveIPv4("", &ip));
  EXPECT_FALSE(plat::ResolveIPv4("no-such-host.invalid", &ip, 2, 1));
}

TEST(PlatformNet, LocalAddressTowardLoopbackAndOverride) {
  plat::SetLocalAddressOverride("");
  uint32_t mask = 0;
  EXPECT_EQ(plat::LocalAddressFor(kLoopback, &mask), kLoopback);
  EXPECT_EQ(mask, 0xFF000000u);
  uint32_t ip = 0;
  EXPECT_TRUE(plat::FindLocalAddress(kLoopback, &ip, &mask));
  EXPECT_EQ(ip, kLoopback);
  // Default route: some address, never 0 (127.0.0.1 when the machine has no route).
  EXPECT_NE(plat::LocalAddressFor(0, &mask), 0u);
  // No interface routes toward a broadcast address without SO_BROADCAST: the look-up fails.
  ip = 1;
  EXPECT_FALSE(plat::FindLocalAddress(0xFFFFFFFFu, &ip, &mask));
  EXPECT_EQ(ip, 1u);
  EXPECT_EQ(plat::LocalAddressFor(0xFFFFFFFFu, &mask), kLoopback);
  EXPECT_EQ(mask, 0xFF000000u);

  EXPECT_TRUE(plat::SetLocalAddressOverride("10.9.8.7"));
  EXPECT_EQ(plat::LocalAddressFor(kLoopback, &mask), 0x0A090807u);
  EXPECT_EQ(mask, 0xFFFFFF00u);  // no interface holds it: a /24 guess
  EXPECT_TRUE(plat::SetLocalAddressOverride("127.0.0.1"));
  EXPECT_EQ(plat::LocalAddressFor(0x08080808u, &mask), kLoopback);
  EXPECT_EQ(mask, 0xFF000000u);
  EXPECT_FALSE(plat::SetLocalAddressOverride("not an address"));
  EXPECT_TRUE(plat::SetLocalAddressOverride(""));
}

TEST(PlatformNet, UdpRoundTripTimeoutAndTruncation) {
  int a = plat::UdpSocket();
  int b = plat::UdpSocket();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_TRUE(plat::Bind(a, kLoopback, 0));
  uint16_t port = plat::BindFirstFreePort(b, kLoopback, 20000, 20100);
  ASSERT_NE(port, 0);
  uint16_t aPort = 0;
  ASSERT_TRUE(plat::LocalEndpoint(a, nullptr, &aPort));
  char buf[8];
  EXPECT_EQ(plat::RecvFromWithTimeout(b, buf, sizeof buf, 20, nullptr, nullptr, nullptr), plat::kNetTimeout);
  EXPECT_EQ(plat::SendTo(a, "hello", 5, kLoopback, port), 5);
  uint32_t fromIp = 0;
  uint16_t fromPort = 0;
  bool cut = true;
  EXPECT_EQ(plat::RecvFromWithTimeout(b, buf, sizeof buf, 1000, &fromIp, &fromPort, &cut), 5);
  EXPECT_FALSE(cut);
  EXPECT_EQ(fromIp, kLoopback);
  EXPECT_EQ(fromPort, aPort);
  EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);
  // Oversize datagram: cut and reported.
  EXPECT_EQ(plat::SendTo(a, "0123456789abcdef", 16, kLoopback, port), 16);
  EXPECT_EQ(plat::RecvFromWithTimeout(b, buf, sizeof buf, 1000, nullptr, nullptr, &cut), 8);
  EXPECT_TRUE(cut);
  // The port taken: the scan moves on.
  int c = plat::UdpSocket();
  uint16_t next = plat::BindFirstFreePort(c, kLoopback, port, static_cast<uint16_t>(port + 50));
  EXPECT_GT(next, port);
  plat::CloseSocket(a);
  plat::CloseSocket(b);
  plat::CloseSocket(c);
}

TEST(PlatformNet, TcpConnectSendRecv) {
  int listener = plat::TcpSocket();
  ASSERT_TRUE(plat::Bind(listener, kLoopback, 0));
  ASSERT_EQ(::listen(listener, 1), 0);
  uint16_t port = 0;
  plat::LocalEndpoint(listener, nullptr, &port);
  int client = plat::TcpSocket();
  EXPECT_EQ(plat::ConnectWithTimeout(client, kLoopback, port, 1000), 0);
  int server = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  EXPECT_EQ(plat::SendAll(client, "ping", 4, 1000), 4);
  char buf[16];
  EXPECT_EQ(plat::RecvWithTimeout(server, buf, sizeof buf, 1000), 4);
  EXPECT_EQ(plat::RecvWithTimeout(server, buf, sizeof buf, 10), plat::kNetTimeout);
  plat::CloseSocket(client);
  EXPECT_EQ(plat::RecvWithTimeout(server, buf, sizeof buf, 1000), 0);  // peer closed
  plat::CloseSocket(server);
  plat::CloseSocket(listener);
  // Nobody listening: refused at once.
  int refused = plat::TcpSocket();
  EXPECT_EQ(plat::ConnectWithTimeout(refused, kLoopback, port, 1000), plat::kNetError);
  plat::CloseSocket(refused);
}

}  // namespace
