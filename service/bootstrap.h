// Bootstrap client: one XML question per request over UDP or TCP, answered to the frame.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/wintypes.h"
#include "service/login_fsm.h"

// Kinds of question.
inline constexpr uint32_t BOOT_KIND_SERVICE = 1;
inline constexpr uint32_t BOOT_KIND_SIP = 2;
inline constexpr uint32_t BOOT_KIND_PROFILE = 3;

inline constexpr int BOOT_BUFFER_SIZE = 4096;
// Longest host text kept from an answer (the access-server configuration holds at most 259 characters).
inline constexpr size_t BOOT_SERVER_MAX = 259;

class CBootRequest {
public:
    uint32_t sequence = 0;
    uint32_t port = 0;
    std::string account;
    uint32_t kind = 0;
    uint32_t protocol = 0;
    std::string server;
    PortCandidateList servers;
};

// Thread id where WM_BOOT_REQUEST is posted (0 while the thread does not run).
extern std::atomic<DWORD> g_idBootThread;
// Bootstrap host name from the settings file.
void Boot_SetServerHost(const std::string& host);
std::string Boot_GetServerHost();
// Forgets the cached server address and the failure count (tests).
void Boot_ResetCache();

// Writes the request document into buffer (at most size-1 bytes and a terminator); its length, or -1
// when it does not fit. localAddress is in host byte order.
int BuildBootRequestXml(const CBootRequest& request, char* buffer, size_t size, uint32_t localAddress);
// Parses an answer into request.server and request.servers; true when a usable answer element was found.
bool ParseBootReply(const char* text, size_t length, CBootRequest& request);

// False when the answer names another question than this one: a ServiceKey or an Account beside its
// ServerIP that differ from the request's (a server that repeats neither answers whatever was asked).
bool BootReplyIsFor(const char* text, size_t length, const CBootRequest& request);

// The thread procedure; ends on WM_QUIT.
DWORD BootstrapThreadProc();
// Starts the thread (queue ready on return) and publishes its id; false when it cannot start.
bool Boot_StartThread();
// Posts WM_QUIT and waits at most timeoutMs for the end; true when it ended.
bool Boot_StopThread(DWORD timeoutMs);
