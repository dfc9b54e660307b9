// Thin IPv4 socket helpers, name resolution and the local address toward a destination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/wintypes.h"

// Conventions: IPv4 addresses are uint32_t in HOST byte order (127.0.0.1 =
// 0x7F000001) and ports are host-order uint16_t, unless a name says otherwise.
// Sockets are plain file descriptors; -1 is "no socket". Socket time-outs run on
// the real clock (the peer is real even under a TestClock); retry sleeps use Sleep. Functions returning int
// counts use these codes for failures:
namespace plat {

inline constexpr int kNetError = -1;     // errno tells why
inline constexpr int kNetTimeout = -2;   // nothing happened within the time-out

// No-op stand-ins for Winsock start and stop (kept so the call sites read naturally).
int WSAStartup(WORD version, void* data);
int WSACleanup();

// New UDP (SOCK_DGRAM) or TCP (SOCK_STREAM) IPv4 socket with close-on-exec; -1 on failure.
int UdpSocket();
int TcpSocket();
// Closes a socket (ignores -1).
void CloseSocket(int fd);
// Switches O_NONBLOCK.
bool SetNonBlocking(int fd, bool on);
// SO_REUSEADDR on or off.
bool SetReuseAddress(int fd, bool on);
// SO_SNDBUF / SO_RCVBUF (the kernel may double or cap them).
bool SetSendBuffer(int fd, int bytes);
bool SetReceiveBuffer(int fd, int bytes);
// Binds to ip:port (ip 0 = any address, port 0 = any port).
bool Bind(int fd, uint32_t ip, uint16_t port);
// Binds to the first free port in [first, last]; returns the port, 0 when none.
uint16_t BindFirstFreePort(int fd, uint32_t ip, uint16_t first, uint16_t last);
// Port and address the socket is bound to (host order); false on failure.
bool LocalEndpoint(int fd, uint32_t* ip, uint16_t* port);
// Connects within ms (INFINITE = the system's own limit); the socket's blocking mode
// is kept. 0 = connected, kNetTimeout, or kNetError.
int ConnectWithTimeout(int fd, uint32_t ip, uint16_t port, DWORD ms);
// Waits up to ms for the socket to become readable (or to report an error or close):
// 1 = ready, kNetTimeout, kNetError. Uses poll(), so any descriptor number works.
int WaitReadable(int fd, DWORD ms);
// Waits up to ms until the socket accepts more data: 1, kNetTimeout, kNetError.
int WaitWritable(int fd, DWORD ms);
// Sends all len bytes on a stream socket within ms overall: len, kNetTimeout or kNetError.
int SendAll(int fd, const void* data, size_t len, DWORD ms);
// Receives up to len bytes within ms: count (> 0), 0 = peer closed, kNetTimeout, kNetError.
int RecvWithTimeout(int fd, void* buf, size_t len, DWORD ms);
// Sends one datagram: bytes sent or kNetError.
int SendTo(int fd, const void* data, size_t len, uint32_t ip, uint16_t port);
// Receives one datagram within ms (0 = only what is waiting). A datagram longer than
// len is cut and reported with *truncated = true (Windows refuses it; callers drop it).
// Returns the bytes stored, kNetTimeout or kNetError; ip/port/truncated may be null.
int RecvFromWithTimeout(int fd, void* buf, size_t len, DWORD ms, uint32_t* ip, uint16_t* port,
                        bool* truncated);

// Parses a dotted IPv4 literal ("a.b.c.d", each 0..255, nothing else); false otherwise.
bool ParseIPv4(const std::string& text, uint32_t* ip);
// Formats "a.b.c.d".
std::string FormatIPv4(uint32_t ip);
// Resolves a host name or literal to its first IPv4 address. A literal is used as it
// is; a name is looked up (getaddrinfo, AF_INET) up to tries times with sleepMs
// (Sleep of sync.h) between failed tries. Thread-safe.
bool ResolveIPv4(const std::string& host, uint32_t* ip, int tries = 1, DWORD sleepMs = 1000);
// Host name of this machine ("" on failure).
std::string HostName();

// Local IPv4 address (and its interface mask) that traffic toward dest would leave
// from; dest 0 = the default route:
//  1. the override (SetLocalAddressOverride), with the mask of the interface holding
//     it or 255.255.255.0;
//  2. else the kernel's route choice (a connected UDP socket and getsockname; no packet
//     is sent) with the mask of that interface (getifaddrs).
// False, with ip and mask untouched, when no interface routes toward dest. ip and mask may be null.
bool FindLocalAddress(uint32_t dest, uint32_t* ip, uint32_t* mask);
// FindLocalAddress, or 127.0.0.1 / 255.0.0.0 when there is no route. mask may be null.
uint32_t LocalAddressFor(uint32_t dest, uint32_t* mask = nullptr);
// Sets (dotted text) or clears (empty) the local address override; false for bad text.
bool SetLocalAddressOverride(const std::string& dotted);

}  // namespace plat
