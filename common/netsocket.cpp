// Blocking socket record, name resolution with retries and posts to the access-client thread.
#include "common/netsocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <vector>

#include "common/appenv.h"
#include "common/debug.h"
#include "platform/msgqueue.h"
#include "platform/net.h"
#include "platform/sync.h"

namespace {

std::atomic<DWORD> s_secondMs{1000};
std::atomic<HostLookupFn> s_lookup{nullptr};

// Milliseconds of count time-out seconds, clamped below INFINITE.
DWORD WaitMs(int seconds, unsigned factor) {
    if (seconds <= 0) return 0;
    uint64_t ms = static_cast<uint64_t>(seconds) * factor * s_secondMs.load();
    return ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
}

bool SystemLookup(const char* hostName, uint32_t* addressNetOrder) {
    uint32_t ip = 0;
    if (!plat::ResolveIPv4(hostName, &ip, 1, 0)) return false;
    *addressNetOrder = htonl(ip);
    return true;
}

int RecvTcp(NetSocket* s, char* buffer, int bufferSize, int flags, int timeoutSeconds) {
    const DWORD waitMs = WaitMs(timeoutSeconds, 3);
    int total = 0;
    for (;;) {
        if (plat::WaitReadable(s->socket, waitMs) != 1) return -1;
        ssize_t n = ::recv(s->socket, buffer + total, static_cast<size_t>(bufferSize - total), flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        total += static_cast<int>(n);
        if (total >= bufferSize || n == 0) return total;
    }
}

// True when the datagram came from the peer the request was sent to (IPv4 address and port).
bool FromPeer(const NetSocket* s, const sockaddr_in& from) {
    if (!s->peer || s->peer->sa_family != AF_INET || s->peerLength < static_cast<int32_t>(sizeof(sockaddr_in))) return true;
    const auto* peer = reinterpret_cast<const sockaddr_in*>(s->peer);
    return from.sin_family == AF_INET && from.sin_addr.s_addr == peer->sin_addr.s_addr && from.sin_port == peer->sin_port;
}

int RecvUdp(NetSocket* s, char* buffer, int bufferSize, int requestLength, int timeoutSeconds) {
    const DWORD waitMs = WaitMs(timeoutSeconds, 1);
    if (requestLength < 0) requestLength = 0;
    if (requestLength > bufferSize) requestLength = bufferSize;
    // The reply is taken into a scratch buffer so the request stays intact for the resends.
    std::vector<char> scratch(static_cast<size_t>(bufferSize));
    int attempts = 0;
    for (;;) {
        if (plat::WaitReadable(s->socket, waitMs) == 1) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            ssize_t n = ::recvfrom(s->socket, scratch.data(), scratch.size(), MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n > 0 && !FromPeer(s, from)) {
                // The local port is taken again by every exchange: a late datagram of another one lands here.
                DebugTrace(MOD_BOOTSTRAP, 1, "UDP reply from %08x:%u, not the server asked, dropped",
                           ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
            } else if (n > bufferSize) {
                DebugTrace(MOD_BOOTSTRAP, 1, "UDP reply of %d bytes does not fit %d, dropped",
                           static_cast<int>(n), bufferSize);
            } else if (n > 0) {
                std::copy(scratch.begin(), scratch.begin() + n, buffer);
                return static_cast<int>(n);
            }
        }
        if (++attempts >= 3) return -1;
        DebugTrace(MOD_BOOTSTRAP, 3, "UDP Timeout, Send Again %d", attempts);
        if (s->peer)
            ::sendto(s->socket, buffer, static_cast<size_t>(requestLength), 0, s->peer,
                     static_cast<socklen_t>(s->peerLength));
    }
}

}  // namespace

NetSocket* NetSocket_Create(int tcp) {
    int fd = tcp ? plat::TcpSocket() : plat::UdpSocket();
    if (fd < 0) return nullptr;
    NetSocket* s = new (std::nothrow) NetSocket{fd, tcp ? 1 : 0, nullptr, 0};
    if (!s) plat::CloseSocket(fd);
    return s;
}

int NetSocket_SetOpt(NetSocket* s, int level, int option, const void* value, int length) {
    if (!s || length < 0) return SOCKET_ERROR;
    return ::setsockopt(s->socket, level, option, value, static_cast<socklen_t>(length));
}

int NetSocket_Connect(NetSocket* s, const sockaddr* address, int addressLength) {
    if (!s) return SOCKET_ERROR;
    if (s->tcp) {
        if (!address || addressLength <= 0) return SOCKET_ERROR;
        int r;
        do {
            r = ::connect(s->socket, address, static_cast<socklen_t>(addressLength));
        } while (r < 0 && errno == EINTR);
        return r;
    }
    return plat::BindFirstFreePort(s->socket, 0, 1024, 65534) != 0 ? 0 : SOCKET_ERROR;
}

int NetSocket_Send(NetSocket* s, const void* buffer, int length, int flags, const sockaddr* peer,
                   int peerLength) {
    if (!s || !buffer || length < 0) return SOCKET_ERROR;
    s->peer = peer;
    s->peerLength = peerLength;
    ssize_t n;
    if (s->tcp) {
        // A peer that has gone away must fail the call, not raise SIGPIPE.
        n = ::send(s->socket, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    } else {
        if (!peer || peerLength <= 0) return SOCKET_ERROR;
        n = ::sendto(s->socket, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL, peer,
                     static_cast<socklen_t>(peerLength));
    }
    return static_cast<int>(n);
}

int NetSocket_Recv(NetSocket* s, char* buffer, int bufferSize, int requestLength, int flags,
                   int timeoutSeconds) {
    if (!s || !buffer || bufferSize <= 0) return -1;
    if (s->tcp) return RecvTcp(s, buffer, bufferSize, flags, timeoutSeconds);
    return RecvUdp(s, buffer, bufferSize, requestLength, timeoutSeconds);
}

int NetSocket_Close(NetSocket* s) {
    if (!s) return 0;
    int r = ::close(s->socket);
    delete s;
    return r;
}

uint32_t ResolveHost(const char* hostName, int maxTries) {
    if (!hostName || !*hostName) return 0;
    HostLookupFn lookup = s_lookup.load();
    if (!lookup) lookup = SystemLookup;
    for (int failures = 0;;) {
        uint32_t address = 0;
        if (lookup(hostName, &address)) return address;
        if (++failures >= std::max(maxTries, 1)) return 0;
        DebugTrace(MOD_AS, 3, "DNS(%s) Timeout(%d), request again", hostName, failures);
        Sleep(1000);
    }
}

BOOL PostToAccessThread(UINT message, LPARAM parameter, void (*freeParameter)(LPARAM)) {
    if (PostThreadMessage(g_idAsThread.load(), message, 0, parameter)) return TRUE;
    DebugTrace(MOD_AS, 1, "Post message %u to access client thread failed", message);
    if (freeParameter) freeParameter(parameter);
    return FALSE;
}

void NetSocket_SetSecondLength(DWORD milliseconds) {
    s_secondMs.store(milliseconds ? milliseconds : 1000);
}

void ResolveHost_SetLookup(HostLookupFn lookup) {
    s_lookup.store(lookup);
}
