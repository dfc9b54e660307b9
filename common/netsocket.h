// Blocking socket record with time-outs and UDP resends, name resolution, posts to the access-client thread.
#pragma once

#include <cstdint>

#include <sys/socket.h>

#include "platform/wintypes.h"

inline constexpr int SOCKET_ERROR = -1;

// One socket of the bootstrap or access-client thread (heap record, freed by NetSocket_Close).
struct NetSocket {
    int socket;                 // descriptor
    int32_t tcp;                // non-zero: stream socket; 0: datagram socket
    const sockaddr* peer;       // the caller's address last given to NetSocket_Send (not a copy)
    int32_t peerLength;
};

// New IPv4 socket, stream for a non-zero tcp flag, datagram otherwise; null on failure.
NetSocket* NetSocket_Create(int tcp);
// setsockopt on the record's socket; its result (-1 for a null record).
int NetSocket_SetOpt(NetSocket* s, int level, int option, const void* value, int length);
// TCP: blocking connect to the address, its result. UDP: the address is not used; the socket is
// bound to any local address on the first free port from 1024 to 65534. 0 on success, else
// SOCKET_ERROR.
int NetSocket_Connect(NetSocket* s, const sockaddr* address, int addressLength);
// Remembers the peer, then TCP send / UDP sendto; the platform call's result.
int NetSocket_Send(NetSocket* s, const void* buffer, int length, int flags, const sockaddr* peer,
                   int peerLength);
// TCP: reads until the buffer is full or the peer closes, each wait at most 3 x timeoutSeconds;
// a time-out returns -1 even when part of the data arrived. UDP: buffer holds the request
// (requestLength bytes) on entry; waits timeoutSeconds for a datagram from the remembered peer
// (one from elsewhere is dropped and ends that wait, as a reply too large does) and sends the
// request again to it, at most three waits in all. Bytes received, or -1.
int NetSocket_Recv(NetSocket* s, char* buffer, int bufferSize, int requestLength, int flags,
                   int timeoutSeconds);
// Closes the socket and frees the record; the close result (0 for a null record).
int NetSocket_Close(NetSocket* s);

// First IPv4 address of the host in network byte order, or 0 when it cannot be resolved; a name
// is asked at most maxTries times (the bootstrap four, the access client three), one second apart.
uint32_t ResolveHost(const char* hostName, int maxTries = 4);

// Posts (message, 0, parameter) to the access-client thread. TRUE when posted; otherwise logs the
// failure, hands the parameter to freeParameter (when given) and returns FALSE.
BOOL PostToAccessThread(UINT message, LPARAM parameter, void (*freeParameter)(LPARAM) = nullptr);

// Test seams. Length in milliseconds of one time-out second of NetSocket_Recv (1000; 0 restores).
void NetSocket_SetSecondLength(DWORD milliseconds);
// Name lookup used by ResolveHost: true with the address in network byte order. Null restores the
// system resolver.
using HostLookupFn = bool (*)(const char* hostName, uint32_t* addressNetOrder);
void ResolveHost_SetLookup(HostLookupFn lookup);
