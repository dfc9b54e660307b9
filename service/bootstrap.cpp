// Bootstrap client: builds the question, reads the answer, and runs the bootstrap thread.
#include "service/bootstrap.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/debug.h"
#include "common/netsocket.h"
#include "common/xmldoc.h"
#include "platform/msgqueue.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "service/service_msgs.h"
#include "voip/CM_Plugin.h"

std::atomic<DWORD> g_idBootThread{0};

namespace {

std::mutex g_hostLock;
std::string g_bootHost;
std::atomic<uint32_t> g_serverAddress{0};  // network byte order; resolved once by the bootstrap thread
// Failed name resolutions, kept across questions: the fourth failure in a row ends the question.
int g_dnsFailures = 0;
plat::Thread g_bootThread;

int ServiceKey(uint32_t kind) {
    switch (kind) {
    case BOOT_KIND_SERVICE: return 8886;
    case BOOT_KIND_SIP: return 8888;
    case BOOT_KIND_PROFILE: return 8890;
    default: return 0;
    }
}

struct ReplySearch {
    CBootRequest* request;
    bool found;
};

void CollectPorts(const CXmlNode* node, PortCandidateList& out) {
    for (CXmlNode* child : node->GetChildren()) {
        if (child->GetType() != XML_NODE_ELEMENT) continue;
        auto* element = static_cast<CXmlElement*>(child);
        if (element->GetName() == "ServerPort" && element->GetAttributes().size() >= 2) {
            int port = 0;
            std::string type;
            bool hasPort = element->GetAttributeInt("port", port);
            element->GetAttribute("type", type);
            if (hasPort && port >= 1 && port <= 65535) out.push_back(PortCandidate{port, STA_ProtocolFromName(type.c_str())});
        }
        CollectPorts(element, out);
    }
}

// Takes the first ServerIP under ServerItem, whatever it holds.
bool OnServerIp(CXmlElement* element, void* context) {
    auto* search = static_cast<ReplySearch*>(context);
    const auto& attributes = element->GetAttributes();
    if (!attributes.empty() && attributes[0]->GetName() == "server") {
        const std::string& host = attributes[0]->GetValue();
        if (host.size() > BOOT_SERVER_MAX) {
            DebugTrace(MOD_BOOTSTRAP, 1, "server name too long (%zu bytes), answer dropped\n", host.size());
        } else {
            search->request->server = host;
            CollectPorts(element, search->request->servers);
            search->found = true;
        }
    }
    return true;
}

// The question an answer repeats beside its ServerIP, when the server repeats it.
struct AnswerTag {
    bool found = false;
    bool hasKey = false, hasAccount = false;
    std::string key, account;
};

bool OnTaggedServerIp(CXmlElement* element, void* context) {
    auto* tag = static_cast<AnswerTag*>(context);
    tag->found = true;
    if (CXmlNode* item = element->GetParent()) {
        CXmlElement* child = nullptr;
        if (item->FindChild("ServiceKey", child)) {
            tag->hasKey = true;
            child->GetText(tag->key);
        }
        if (item->FindChild("Account", child)) {
            tag->hasAccount = true;
            child->GetText(tag->account);
        }
    }
    return true;
}

void PostFsmEvent(int event) { STA_PostEvent(event); }

// Most answers to other questions dropped while one question waits.
constexpr int kMaxForeignAnswers = 3;

// Handles one question; true when the record went to the frame.
bool HandleRequest(CBootRequest* request, char* buffer) {
    DebugTrace(MOD_BOOTSTRAP, 3, "port: %d protocol:%d\n", request->port, request->protocol);
    if (g_serverAddress == 0) {
        std::string host = Boot_GetServerHost();
        if (host.empty()) {
            DebugTrace(MOD_BOOTSTRAP, 3, "miss bootstrap server config !\n");
            PostFsmEvent(EV_error);
            return false;
        }
        uint32_t address = 0;
        while ((address = ResolveHost(host.c_str(), 1)) == 0) {
            if (g_dnsFailures > 2) {
                g_dnsFailures = 0;
                DebugTrace(MOD_BOOTSTRAP, 2, "DNS(%s) Timeout reach Max time %d!\n", host.c_str(), 3);
                PostFsmEvent(EV_error);
                return false;
            }
            ++g_dnsFailures;
            DebugTrace(MOD_BOOTSTRAP, 2, "DNS Timeout, wait 1 s and retry again\n");
            Sleep(1000);
        }
        g_serverAddress = address;
        DebugTrace(MOD_BOOTSTRAP, 2, "BootStrap server ip = %08x\n", ntohl(address));
    }
    NetSocket* s = NetSocket_Create(request->protocol == PROTO_UDP ? 0 : 1);
    if (s == nullptr) {
        DebugTrace(MOD_BOOTSTRAP, 1, "Create socket error\n");
        PostFsmEvent(EV_error);
        return false;
    }
    int size = BOOT_BUFFER_SIZE;
    NetSocket_SetOpt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    NetSocket_SetOpt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = g_serverAddress.load();
    peer.sin_port = htons(static_cast<uint16_t>(request->port));
    uint32_t local = 0;
    if (GetLocalAddressFor(ntohl(peer.sin_addr.s_addr), &local) != 0) {
        DebugTrace(MOD_BOOTSTRAP, 1, "get local ip address error\n");
        NetSocket_Close(s);
        PostFsmEvent(EV_error);
        return false;
    }
    int length = BuildBootRequestXml(*request, buffer, BOOT_BUFFER_SIZE, local);
    if (length < 0) {
        DebugTrace(MOD_BOOTSTRAP, 1, "request too long\n");
        NetSocket_Close(s);
        PostFsmEvent(EV_error);
        return false;
    }
    const auto* address = reinterpret_cast<const sockaddr*>(&peer);
    if (NetSocket_Connect(s, address, sizeof(peer)) != 0) {
        DebugTrace(MOD_BOOTSTRAP, 1, "connect server error\n");
        NetSocket_Close(s);
        PostFsmEvent(EV_unreachable);
        return false;
    }
    NetSocket_Send(s, buffer, length, 0, address, sizeof(peer));
    int received = NetSocket_Recv(s, buffer, BOOT_BUFFER_SIZE, length, 0, 3);
    // Every UDP question binds the same local port, so a late answer to an earlier question can land
    // here: only the answer to this one is taken, and the wait goes on for it.
    for (int foreign = 0; received >= 0 && request->protocol == PROTO_UDP &&
                          !BootReplyIsFor(buffer, static_cast<size_t>(received), *request);) {
        DebugTrace(MOD_BOOTSTRAP, 1, "answer to another question dropped\n");
        if (++foreign >= kMaxForeignAnswers) {
            received = -1;
            break;
        }
        length = BuildBootRequestXml(*request, buffer, BOOT_BUFFER_SIZE, local);  // resent from the buffer
        received = NetSocket_Recv(s, buffer, BOOT_BUFFER_SIZE, length, 0, 3);
    }
    if (received < 0) {
        DebugTrace(MOD_BOOTSTRAP, 1, "recv packet timeout\n");
        NetSocket_Close(s);
        PostFsmEvent(EV_unreachable);
        return false;
    }
    buffer[received] = '\0';
    request->servers.clear();
    ParseBootReply(buffer, static_cast<size_t>(received), *request);
    bool posted = STA_PostToMainFrame(WM_BOOT_REQUEST, reinterpret_cast<WPARAM>(request), 0);
    NetSocket_Close(s);
    return posted;
}

}  // namespace

void Boot_SetServerHost(const std::string& host) {
    std::lock_guard<std::mutex> g(g_hostLock);
    g_bootHost = host;
}

std::string Boot_GetServerHost() {
    std::lock_guard<std::mutex> g(g_hostLock);
    return g_bootHost;
}

void Boot_ResetCache() {
    g_serverAddress = 0;
    g_dnsFailures = 0;
}

int BuildBootRequestXml(const CBootRequest& request, char* buffer, size_t size, uint32_t localAddress) {
    CXmlDocument doc("UTF-8");
    doc.Reset();
    doc.GetRoot()->SetDeclaration(new CXmlDeclaration{"1.0", "UTF-8", -1});
    char ip[32];
    std::snprintf(ip, sizeof(ip), "%u.%u.%u.%u", (localAddress >> 24) & 0xFF, (localAddress >> 16) & 0xFF,
                  (localAddress >> 8) & 0xFF, localAddress & 0xFF);
    char key[16];
    std::snprintf(key, sizeof(key), "%d", ServiceKey(request.kind));
    std::string user = STA_GetLoginUser();
    doc.OpenElement("root");
    doc.OpenElement("UUID");
    doc.CloseElement(user.c_str());
    doc.OpenElement("LocalIP");
    doc.CloseElement(ip);
    doc.OpenElement("ClientVersion");
    doc.CloseElement("0.2");
    doc.OpenElement("Service");
    doc.OpenElement("ServiceItem");
    doc.OpenElement("Account");
    doc.CloseElement(request.account.c_str());
    doc.OpenElement("ServiceKey");
    doc.CloseElement(key);
    doc.LeaveElement();
    doc.LeaveElement();
    doc.LeaveElement();
    std::string text = doc.Write();
    if (text.size() + 1 > size) return -1;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return static_cast<int>(text.size());
}

bool ParseBootReply(const char* text, size_t length, CBootRequest& request) {
    CXmlDocument doc("UTF-8");
    doc.SetText(std::string(text, length));
    if (!doc.Parse()) return false;
    ReplySearch search{&request, false};
    CXmlDocument::FindElement(doc.GetRoot()->GetChildren(), "ServerItem", "ServerIP", OnServerIp, &search);
    return search.found;
}

bool BootReplyIsFor(const char* text, size_t length, const CBootRequest& request) {
    CXmlDocument doc("UTF-8");
    doc.SetText(std::string(text, length));
    if (!doc.Parse()) return true;
    AnswerTag tag;
    CXmlDocument::FindElement(doc.GetRoot()->GetChildren(), "ServerItem", "ServerIP", OnTaggedServerIp, &tag);
    if (!tag.found) return true;
    if (tag.hasKey && std::atoi(tag.key.c_str()) != ServiceKey(request.kind)) return false;
    if (tag.hasAccount && tag.account != request.account) return false;
    return true;
}

DWORD BootstrapThreadProc() {
    DebugTrace(MOD_BOOTSTRAP, 2, "BootStrap thread start\n");
    // A full answer and its terminator.
    static thread_local char buffer[BOOT_BUFFER_SIZE + 1];
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0)) {
        DebugTrace(MOD_BOOTSTRAP, 3, "Get request\n");
        if (msg.lParam == 0) continue;
        auto* request = reinterpret_cast<CBootRequest*>(msg.lParam);
        if (!HandleRequest(request, buffer)) delete request;
    }
    // Questions still queued are never answered; their records are ours.
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE))
        if (msg.message == WM_BOOT_REQUEST) delete reinterpret_cast<CBootRequest*>(msg.lParam);
    DebugTrace(MOD_BOOTSTRAP, 2, "Bootstrap thread End\n");
    g_idBootThread.store(0);
    return 0;
}

bool Boot_StartThread() {
    if (g_bootThread.joinable()) return false;
    plat::ThreadOptions options;
    options.messageQueue = true;
    if (!g_bootThread.start("bootstrap", [] { BootstrapThreadProc(); }, options)) return false;
    g_idBootThread.store(g_bootThread.id());
    return true;
}

bool Boot_StopThread(DWORD timeoutMs) {
    if (!g_bootThread.joinable()) return true;
    PostThreadMessage(g_bootThread.id(), WM_QUIT, 0, 0);
    if (!g_bootThread.join_for(timeoutMs)) return false;
    g_bootThread = plat::Thread();
    return true;
}
