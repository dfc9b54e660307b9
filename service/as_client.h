// Access-server client: requests, their parameters, the server configuration and the client thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/wintypes.h"

inline constexpr int AS_RESULT_NONE = -100;
inline constexpr int AS_COMMAND_COUNT = 29;
inline constexpr int AS_BUFFER_SIZE = 10240;
inline constexpr int AS_CODE_CHALLENGE = 101;
// Times the server's name is looked up for one request before it is answered unsent.
inline constexpr int AS_RESOLVE_TRIES = 3;
// Time one wait on the server (connect, send, each piece of the reply) may take, in milliseconds. The
// whole reply gets this much again for every AS_BUFFER_SIZE bytes that arrive.
inline constexpr DWORD AS_WAIT_MS = 30000;
// Largest reply taken: a synchronisation of a large address book (some 20,000 contacts at about 400
// bytes each) fits; anything longer is refused rather than held in memory.
inline constexpr int AS_MAX_REPLY = 8 * 1024 * 1024;

// Kinds of AsRequest::data.
enum : uint32_t {
    AS_DATA_NONE = 0,
    AS_DATA_PARAMS = 1,
    AS_DATA_GROUP = 2,
    AS_DATA_LIST = 3,
    AS_DATA_SYNC = 4,
    AS_DATA_BUDDY = 5,
    AS_DATA_LCR = 6,
    AS_DATA_QUEUES = 7,
    AS_DATA_SEARCH = 8,
    AS_DATA_SMS = 9,
    AS_DATA_JOIN = 10,
    AS_DATA_JOINED = 11,
};

struct AsRequest {
    int32_t command;
    int32_t result;
    void* data;
    void* extra;     // never set by the client; the frame frees it when set
    uint32_t kind;
};

struct AsParams {
    char* str1;
    char* str2;
    char* str3;
    int32_t int1;
    char* str4;
    int32_t int2;
    void* reserved1;
    void* reserved2;
};

struct AsServerConfig {
    char host[260];
    int32_t port;
    int32_t flag;
    char userId[257];
    char password[259];
};

// A configuration with copies of the texts; null when a text does not fit its field (or memory runs out).
AsServerConfig* AsServerConfig_New(const char* userId, const char* password, const char* host, int port, int flag);

// Queues a request to the access-client thread: 1, or 0 when nothing was queued (the caller keeps data).
int AS_PostRequest(int command, void* data, uint32_t kind);
// Queues a command with text and number parameters (copied); 1, or 0.
int AS_SendCommand(int command, const char* str1, const char* str2, int int1, const char* str3, const char* str4,
                   int int2);
void AS_FreeParams(AsParams* params);
// Frees a request's data by its kind, then the request (the frame's clean-up; tests).
void AS_FreeRequest(AsRequest* request);

// The thread procedure; ends on WM_QUIT.
DWORD AccessClientThreadProc();
bool AS_StartThread();
// Posts WM_QUIT and waits up to timeoutMs while the thread serves what was queued before it. Past the wait
// the exchange in progress is cut and the rest answered unsent (as the process's end would); false then.
bool AS_StopThread(DWORD timeoutMs);

// Time one wait on the server may take in milliseconds (AS_WAIT_MS; 0 restores). Tests shorten it.
void AS_SetReplyWaitMs(DWORD ms);

class CXmlDocument;
class CXmlElement;

// The authentication and framing state of the client: user, password, challenge, transaction counter.
class AsSession {
public:
    enum Outcome { kAccepted, kRenewed, kRejected };

    std::string userId;
    std::string password;
    char challenge[32] = {0};
    bool challengeHeld = false;
    int32_t trid = 0;
    int32_t lastCode = -1;  // result code of the last checked reply

    // Takes a configuration's user and password and drops the challenge.
    void Configure(const char* user, const char* pass);
    // The request text of a command (declaration, frame, the command's children); false when a builder
    // refused or the text reaches AS_BUFFER_SIZE. sentTrid receives the transaction number used.
    bool BuildRequest(AsRequest* request, std::string& text, int32_t& sentTrid);
    // Checks a fully parsed reply and runs the command's parser when the code is 0.
    Outcome CheckReply(CXmlDocument& reply, AsRequest* request, int32_t sentTrid);
};
