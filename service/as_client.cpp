// Access-server client: the request frame, the digest chain, the reply check and the client thread.
#include "service/as_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/appenv.h"
#include "common/debug.h"
#include "common/grouprecord.h"
#include "common/netsocket.h"
#include "common/textconv.h"
#include "common/xmldoc.h"
#include "platform/codepage.h"
#include "platform/msgqueue.h"
#include "platform/thread.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/login_fsm.h"
#include "service/service_msgs.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

std::atomic<DWORD> g_replyWaitMs{AS_WAIT_MS};
plat::Thread g_asThread;
// Set by AS_StopThread once its wait has passed: the exchange in progress ends and what is still queued is
// answered unsent, as the end of the process would end the thread.
std::atomic<bool> g_stopping{false};
// Readable once a stop is asked for; wakes the thread out of a wait on the server.
std::atomic<int> g_wakeFd{-1};

char* CopyOrNull(const char* text) { return text ? strdup(text) : nullptr; }

bool CopyBounded(char* field, size_t size, const char* text) {
    size_t length = text ? strlen(text) : 0;
    if (length >= size) return false;
    if (length) memcpy(field, text, length);
    field[length] = '\0';
    return true;
}

// Thread state.
struct ClientState {
    AsSession session;
    std::string host;
    int port = 0;
    char buffer[AS_BUFFER_SIZE];
};

enum class Wait { kReady, kTimeout, kStopped, kError };

// Waits until the socket reports `events`, the deadline passes or a stop is asked for. The deadline is
// on the real clock: the server is a real peer.
Wait WaitSocket(int fd, short events, SteadyClock::time_point deadline) {
    for (;;) {
        if (g_stopping.load()) return Wait::kStopped;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        if (left <= 0) return Wait::kTimeout;
        pollfd fds[2] = {{fd, events, 0}, {g_wakeFd.load(), POLLIN, 0}};
        int r = poll(fds, fds[1].fd >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return Wait::kError;
        if (g_stopping.load()) return Wait::kStopped;
        if (r > 0 && fds[0].revents != 0) return Wait::kReady;
    }
}

// Connects without blocking past the deadline; the socket stays non-blocking.
bool ConnectBefore(NetSocket* s, const sockaddr* peer, socklen_t length, SteadyClock::time_point deadline) {
    int flags = fcntl(s->socket, F_GETFL, 0);
    if (flags < 0 || fcntl(s->socket, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    if (::connect(s->socket, peer, length) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;
    if (WaitSocket(s->socket, POLLOUT, deadline) != Wait::kReady) return false;
    int error = 0;
    socklen_t size = sizeof(error);
    return getsockopt(s->socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// Sends the whole request (one send unless the kernel takes less) before the deadline.
bool SendBefore(NetSocket* s, const std::string& text, SteadyClock::time_point deadline) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(s->socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            WaitSocket(s->socket, POLLOUT, deadline) == Wait::kReady)
            continue;
        return false;
    }
    return true;
}

enum class Reply { kComplete, kFailed, kCut };

// Reads the reply and feeds it to the parser until the server closes. Each wait for data is bounded by
// `waitMs`; the whole exchange by `waitMs` plus `waitMs` for every buffer's worth that has arrived, so a
// transfer that keeps coming finishes and a server that drips its reply is still cut off. A reply past
// AS_MAX_REPLY is refused. kCut: the server closed before the document was whole.
Reply ReceiveReply(NetSocket* s, CXmlDocument& reply, char* buffer, SteadyClock::time_point start, DWORD waitMs) {
    size_t total = 0;
    for (;;) {
        auto budget = std::chrono::milliseconds(waitMs) +
                      std::chrono::milliseconds(static_cast<long long>(waitMs) * static_cast<long long>(total) /
                                                AS_BUFFER_SIZE);
        auto deadline = std::min(start + budget, SteadyClock::now() + std::chrono::milliseconds(waitMs));
        Wait w = WaitSocket(s->socket, POLLIN, deadline);
        if (w == Wait::kStopped) {
            DebugTrace(MOD_AS, 2, "exchange abandoned: the client is stopping\n");
            return Reply::kFailed;
        }
        if (w != Wait::kReady) return Reply::kFailed;
        ssize_t n = recv(s->socket, buffer, AS_BUFFER_SIZE, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < 0) return Reply::kFailed;
        total += static_cast<size_t>(n);
        if (total > AS_MAX_REPLY) {
            DebugTrace(MOD_AS, 1, "reply larger than %d bytes, dropped\n", AS_MAX_REPLY);
            return Reply::kFailed;
        }
        // The end of the connection ends the document: a reply cut short is no answer.
        if (n == 0) return reply.ParseChunk(buffer, 0, true) ? Reply::kComplete : Reply::kCut;
        if (!reply.ParseChunk(buffer, static_cast<int>(n), false)) {
            DebugTrace(MOD_BOOTSTRAP, 3, "AS %s", ("Parse error at line " + std::to_string(reply.GetErrorLine()) + ":\n" +
                                                    reply.GetErrorText() + "\n").c_str());
            return Reply::kFailed;
        }
    }
}

void Answer(AsRequest* request) {
    DebugTrace(MOD_AS, 2, "AS Response <%s> %d \n",
               request->command >= 0 && request->command < AS_COMMAND_COUNT ? g_asCommandTable[request->command].name : "?",
               request->result);
    if (!STA_PostToMainFrame(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(request))) AS_FreeRequest(request);
}

void HandleRequest(ClientState& st, AsRequest* request) {
    request->result = AS_RESULT_NONE;
    if (request->command < 0 || request->command >= AS_COMMAND_COUNT) {
        DebugTrace(MOD_AS, 2, "BAD access command\n");
        Answer(request);
        return;
    }
    if (g_stopping.load()) {
        Answer(request);
        return;
    }
    const AsCommandRow& row = g_asCommandTable[request->command];
    int attempts = 2;
    st.session.lastCode = -1;
    DebugTrace(MOD_AS, 2, "Send <%s> to Access server \n", row.name);
    uint32_t address = ResolveHost(st.host.c_str(), AS_RESOLVE_TRIES);
    if (address == 0) {
        DebugTrace(MOD_AS, 1, "DNS %s failed\n", st.host.c_str());
        Answer(request);
        return;
    }
    for (;;) {
        NetSocket* s = NetSocket_Create(1);
        if (s == nullptr) {
            DebugTrace(MOD_AS, 1, "Create socket failed\n");
            break;
        }
        int size = AS_BUFFER_SIZE;
        NetSocket_SetOpt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        NetSocket_SetOpt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = address;
        peer.sin_port = htons(static_cast<uint16_t>(st.port));
        const auto* sa = reinterpret_cast<const sockaddr*>(&peer);
        DWORD waitMs = g_replyWaitMs.load();
        auto start = SteadyClock::now();
        if (!ConnectBefore(s, sa, sizeof(peer), start + std::chrono::milliseconds(waitMs))) {
            DebugTrace(MOD_AS, 1, "Socket connect failed\n");
            NetSocket_Close(s);
            break;
        }
        std::string text;
        int32_t trid = 0;
        if (!st.session.BuildRequest(request, text, trid)) {
            DebugTrace(MOD_AS, 1, "CMD(%d) Too Big or param error, buffer overflow\n", static_cast<int>(text.size()));
            NetSocket_Close(s);
            break;
        }
        if (!SendBefore(s, text, SteadyClock::now() + std::chrono::milliseconds(waitMs))) {
            DebugTrace(MOD_AS, 1, "send packet fail\n");
            NetSocket_Close(s);
            break;
        }
        CXmlDocument reply("UTF-8");
        reply.Reset();
        Reply got = ReceiveReply(s, reply, st.buffer, SteadyClock::now(), waitMs);
        if (got == Reply::kFailed) {
            DebugTrace(MOD_AS, 1, "rcv timeout or bad data format\n");
            NetSocket_Close(s);
            break;
        }
        if (got == Reply::kCut) {
            DebugTrace(MOD_AS, 1, "access server response error\n");
            NetSocket_Close(s);
            break;
        }
        NetSocket_Close(s);
        AsSession::Outcome outcome = st.session.CheckReply(reply, request, trid);
        if (outcome == AsSession::kRejected) {
            DebugTrace(MOD_AS, 1, "access server response error\n");
            request->result = AS_RESULT_NONE;
            break;
        }
        if (outcome == AsSession::kAccepted) {
            request->result = st.session.lastCode;
            break;
        }
        if (request->command == AS_LGN) {
            request->result = 0;
            break;
        }
        if (--attempts == 0) break;
    }
    Answer(request);
}

void HandleConfig(ClientState& st, AsServerConfig* config) {
    st.session.Configure(config->userId, config->password);
    if (config->port != 0) {
        st.host = config->host;
        st.port = config->port;
    }
    free(config);
}

}  // namespace

AsServerConfig* AsServerConfig_New(const char* userId, const char* password, const char* host, int port, int flag) {
    auto* c = static_cast<AsServerConfig*>(calloc(1, sizeof(AsServerConfig)));
    if (c == nullptr) return nullptr;
    if (!CopyBounded(c->host, sizeof(c->host), host) || !CopyBounded(c->userId, sizeof(c->userId), userId) ||
        !CopyBounded(c->password, sizeof(c->password), password)) {
        free(c);
        return nullptr;
    }
    c->port = port;
    c->flag = flag;
    return c;
}

int AS_PostRequest(int command, void* data, uint32_t kind) {
    auto* r = static_cast<AsRequest*>(calloc(1, sizeof(AsRequest)));
    if (r == nullptr) return 0;
    r->command = command;
    r->data = data;
    r->kind = kind;
    DWORD thread = g_idAsThread.load();
    if (thread == 0 || !PostThreadMessage(thread, WM_AS_REQUEST, 0, reinterpret_cast<LPARAM>(r))) {
        // Nothing was queued: the caller keeps its data.
        DebugTrace(MOD_AS, 1, "post request %d to access client thread failed\n", command);
        free(r);
        return 0;
    }
    return 1;
}

int AS_SendCommand(int command, const char* str1, const char* str2, int int1, const char* str3, const char* str4,
                   int int2) {
    auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
    if (p == nullptr) return 0;
    p->str1 = CopyOrNull(str1);
    p->str2 = CopyOrNull(str2);
    p->str3 = CopyOrNull(str3);
    p->str4 = CopyOrNull(str4);
    p->int1 = int1;
    p->int2 = int2;
    if ((str1 && !p->str1) || (str2 && !p->str2) || (str3 && !p->str3) || (str4 && !p->str4) ||
        !AS_PostRequest(command, p, AS_DATA_PARAMS)) {
        AS_FreeParams(p);
        return 0;
    }
    return 1;
}

void AS_FreeParams(AsParams* params) {
    if (params == nullptr) return;
    free(params->str1);
    free(params->str2);
    free(params->str3);
    free(params->str4);
    free(params->reserved1);
    free(params);
}

void AS_FreeRequest(AsRequest* request) {
    if (request == nullptr) return;
    void* d = request->data;
    switch (request->kind) {
    case AS_DATA_PARAMS: AS_FreeParams(static_cast<AsParams*>(d)); break;
    case AS_DATA_GROUP: GroupRecord_Free(static_cast<GroupRecord*>(d)); break;
    case AS_DATA_LIST: delete static_cast<CAsList*>(d); break;
    case AS_DATA_SYNC: delete static_cast<CAsSyncResult*>(d); break;
    case AS_DATA_BUDDY: delete static_cast<CAsBuddy*>(d); break;
    case AS_DATA_LCR:
        if (auto* l = static_cast<CAsResultList*>(d)) {
            for (void* e : l->records) delete static_cast<AsLcrEntry*>(e);
            delete l;
        }
        break;
    case AS_DATA_QUEUES:
        if (auto* l = static_cast<CAsResultList*>(d)) {
            for (void* e : l->records) delete static_cast<CAsChatQueue*>(e);
            delete l;
        }
        break;
    case AS_DATA_SEARCH: delete static_cast<CAsNameList*>(d); break;
    case AS_DATA_SMS: delete static_cast<AsSmsMessage*>(d); break;
    case AS_DATA_JOIN: delete static_cast<CAsChatQueue*>(d); break;
    case AS_DATA_JOINED:
        if (auto* j = static_cast<AsJoinedQueues*>(d)) {
            GroupRecord_Free(j->created);
            GroupRecord_Free(j->joined);
            delete j;
        }
        break;
    default: break;
    }
    free(request->extra);
    free(request);
}

namespace {
// The server holds the password in the ANSI code page, as every other text of the program: the user
// types it in UTF-8. Bytes that are not UTF-8 are the ANSI form already and go as they are.
std::string AnsiPassword(const std::string& password) {
    if (password.empty()) return password;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, password.data(), static_cast<int>(password.size()),
                            static_cast<uint16_t*>(nullptr), 0) <= 0)
        return password;
    return plat::Utf8ToAnsi(password);
}
}  // namespace

void AsSession::Configure(const char* user, const char* pass) {
    userId = user ? user : "";
    password = pass ? pass : "";
    challengeHeld = false;
}

bool AsSession::BuildRequest(AsRequest* request, std::string& text, int32_t& sentTrid) {
    text.clear();
    if (request->command < 0 || request->command >= AS_COMMAND_COUNT) return false;
    const AsCommandRow& row = g_asCommandTable[request->command];
    sentTrid = trid++;
    CXmlDocument doc("UTF-8");
    doc.Reset();
    doc.GetRoot()->SetDeclaration(new CXmlDeclaration{"1.0", "UTF-8", -1});
    doc.OpenElement(row.name);
    doc.AddAttribute("Trid", std::to_string(sentTrid).c_str());
    doc.OpenElement("UID");
    doc.CloseElement(userId.c_str());
    std::string material = AnsiPassword(password);
    if (challengeHeld) material.append(challenge, sizeof(challenge));
    uint8_t digest[16];
    Md5Digest(digest, material.data(), material.size());
    char hex[33];
    HexEncode(digest, hex, 16);
    hex[32] = '\0';
    doc.OpenElement("PWD");
    doc.CloseElement(hex);
    if (challengeHeld) memcpy(challenge, hex, sizeof(challenge));
    for (AsBuilder builder : row.builders) {
        if (builder == nullptr) break;
        if (builder(doc, request) != 0) return false;
    }
    text = doc.Write();
    return text.size() < static_cast<size_t>(AS_BUFFER_SIZE);
}

AsSession::Outcome AsSession::CheckReply(CXmlDocument& reply, AsRequest* request, int32_t sentTrid) {
    lastCode = 0;
    const AsCommandRow& row = g_asCommandTable[request->command];
    CXmlDocumentNode* root = reply.GetRoot();
    CXmlElement* command = nullptr;
    if (root != nullptr && !root->GetChildren().empty() && root->GetChildren()[0]->GetType() == XML_NODE_ELEMENT)
        command = static_cast<CXmlElement*>(root->GetChildren()[0]);
    if (command == nullptr) {
        DebugTrace(MOD_AS, 2, "BAD XML Data\n");
        return kRejected;
    }
    if (command->GetName() != row.name) {
        DebugTrace(MOD_AS, 2, "BAD CMD, Request(%s), Recv(%s)\n", row.name, command->GetName().c_str());
        return kRejected;
    }
    int value = 0;
    if (command->GetAttributeInt("Trid", value) && value != sentTrid) {
        DebugTrace(MOD_AS, 2, "BAD TRID Code Request(%d),Recv(%d)\n", sentTrid + 1, value);
        return kRejected;
    }
    if (command->GetAttributeInt("Rcd", value)) lastCode = value;
    if (lastCode == AS_CODE_CHALLENGE) {
        CXmlElement* chg = nullptr;
        std::string text;
        // A CHG of the wrong length still counts as held: the old challenge goes on.
        if (command->FindChild("CHG", chg)) {
            chg->GetText(text);
            challengeHeld = true;
        }
        if (text.size() != sizeof(challenge)) {
            DebugTrace(MOD_AS, 2, "server challenge(len:%d) error\n", static_cast<int>(text.size()));
            return kRejected;
        }
        memcpy(challenge, text.data(), sizeof(challenge));
        DebugTrace(MOD_AS, 2, "Recv <CHG>%s</CHG> update command\n", text.c_str());
        return kRenewed;
    }
    DebugTrace(MOD_AS, 2, "AS Response <%s> RCD %d \n", row.name, lastCode);
    if (lastCode == 0 && row.parser != nullptr && row.parser(command, request) != 0) return kRejected;
    return kAccepted;
}

DWORD AccessClientThreadProc() {
    DebugTrace(MOD_AS, 2, "Start access client thread\n");
    auto* st = new ClientState;
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0)) {
        if (msg.message == WM_AS_CONFIG) {
            if (msg.lParam == 0) {
                DebugTrace(MOD_AS, 2, "BAD lparam NULL\n");
                continue;
            }
            HandleConfig(*st, reinterpret_cast<AsServerConfig*>(msg.lParam));
        } else if (msg.message == WM_AS_REQUEST) {
            if (msg.lParam == 0) {
                DebugTrace(MOD_AS, 2, "BAD lparam NULL\n");
                continue;
            }
            HandleRequest(*st, reinterpret_cast<AsRequest*>(msg.lParam));
        }
    }
    // Records still queued belong to this thread.
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_AS_REQUEST) AS_FreeRequest(reinterpret_cast<AsRequest*>(msg.lParam));
        if (msg.message == WM_AS_CONFIG) free(reinterpret_cast<void*>(msg.lParam));
    }
    delete st;
    DebugTrace(MOD_AS, 2, "Quit access client thread\n");
    g_idAsThread.store(0);
    return 0;
}

bool AS_StartThread() {
    if (g_asThread.joinable()) return false;
    g_stopping.store(false);
    if (g_wakeFd.load() < 0) g_wakeFd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    plat::ThreadOptions options;
    options.messageQueue = true;
    if (!g_asThread.start("access", [] { AccessClientThreadProc(); }, options)) return false;
    g_idAsThread.store(g_asThread.id());
    return true;
}

bool AS_StopThread(DWORD timeoutMs) {
    if (!g_asThread.joinable()) return true;
    // The requests queued before the quit are still served, in order, within the wait.
    PostThreadMessage(g_asThread.id(), WM_QUIT, 0, 0);
    bool ended = g_asThread.join_for(timeoutMs);
    if (!ended) {
        g_stopping.store(true);
        if (int fd = g_wakeFd.load(); fd >= 0) {
            uint64_t one = 1;
            if (write(fd, &one, sizeof(one)) < 0) DebugTrace(MOD_AS, 1, "wake access client thread failed\n");
        }
        if (!g_asThread.join_for(timeoutMs)) return false;
    }
    g_asThread = plat::Thread();
    // The thread is gone: nothing waits on the wake descriptor any more.
    if (int fd = g_wakeFd.exchange(-1); fd >= 0) close(fd);
    return ended;
}

void AS_SetReplyWaitMs(DWORD ms) { g_replyWaitMs.store(ms ? ms : AS_WAIT_MS); }
