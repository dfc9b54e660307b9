// Test harness of the SIP user agent: call control with a recording engine bridge, the frame's
// notices, a scripted UDP peer, and helpers to read and answer SIP text.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/debug.h"
#include "platform/msgqueue.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/tests/test_ports.h"
#include "sip/osipua/authentication.h"
#include "sip/osipua/osipua.h"
#include "sip/osipua/uatransaction.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/Sonra_Bridge.h"
#include "voip/VoipEvent.h"
#include "voip/VoipUi.h"

namespace siptest {

// How long a test waits for something that must happen: a bound, not an expected time, so a
// loaded machine (the whole suite in parallel, sanitizers) passes where a quiet one does.
constexpr int kEventWaitMs = 15000;

// Engine bridge that only keeps channels and their receive ports. It holds each port pair (RTP,
// RTCP) as the engine would, so call control moves past ports other processes use, and the media
// a real peer sends to our offer lands here rather than in another test's call.
class QuietBridge : public SonraBridge {
public:
    std::mutex mu;
    std::map<int, int> ports;   // channel -> receive port
    std::map<int, bool> sending;
    ~QuietBridge() override {
        for (auto& [ch, fds] : held_) Release(fds);
    }
    int CreateChannel() override {
        std::lock_guard<std::mutex> g(mu);
        for (int ch = 0; ch < SONRA_MAX_CHANNELS; ++ch) {
            if (!ports.count(ch)) {
                ports[ch] = 0;
                return ch;
            }
        }
        return -1;
    }
    int DeleteChannel(int ch) override {
        std::lock_guard<std::mutex> g(mu);
        sending.erase(ch);
        Drop(ch);
        return ports.erase(ch) ? 0 : -1;
    }
    std::map<int, int> codec;                          // channel -> codec index
    std::map<int, int> peerNumber;                     // channel -> the peer's dynamic payload number
    std::map<int, int> dtmfPayload;                    // channel -> the peer's telephone-event number
    std::map<int, std::pair<unsigned, int>> sendAddr;  // channel -> (ip, port)
    int SetSendCodec(int ch, int index) override {
        std::lock_guard<std::mutex> g(mu);
        codec[ch] = index;
        return 0;
    }
    int SetRecPort(int ch, int port, int) override {
        std::lock_guard<std::mutex> g(mu);
        for (auto& [c, p] : ports) {
            if (c != ch && p == port) return -1;
        }
        if (ports[ch] != port) {
            std::pair<int, int> fds{plat::UdpSocket(), plat::UdpSocket()};
            if (!plat::Bind(fds.first, 0, static_cast<uint16_t>(port)) ||
                !plat::Bind(fds.second, 0, static_cast<uint16_t>(port + 1))) {
                Release(fds);
                return -1;
            }
            Drop(ch);
            held_[ch] = fds;
        }
        ports[ch] = port;
        return 0;
    }
    int GetRecPort(int ch) override {
        std::lock_guard<std::mutex> g(mu);
        auto it = ports.find(ch);
        return it == ports.end() ? -1 : it->second;
    }
    int SetPayloadNumber(int ch, int index, int pltype) override {
        std::lock_guard<std::mutex> g(mu);
        codec[ch] = index;
        peerNumber[ch] = pltype;
        return 0;
    }
    int SetDtmfPayloadType(int ch, int pltype) override {
        std::lock_guard<std::mutex> g(mu);
        dtmfPayload[ch] = pltype;
        return 0;
    }
    int SetSendAddr(int ch, unsigned ip, int port) override {
        std::lock_guard<std::mutex> g(mu);
        sendAddr[ch] = {ip, port};
        return 0;
    }
    int Codec(int ch) {
        std::lock_guard<std::mutex> g(mu);
        auto it = codec.find(ch);
        return it == codec.end() ? -1 : it->second;
    }
    int SendPort(int ch) {
        std::lock_guard<std::mutex> g(mu);
        auto it = sendAddr.find(ch);
        return it == sendAddr.end() ? -1 : it->second.second;
    }
    int StartListen(int) override { return 0; }
    int StartPlayout(int) override { return 0; }
    std::vector<std::pair<int, bool>> sendLog;         // (channel, sending) at every start and stop
    int StartSend(int ch) override {
        std::lock_guard<std::mutex> g(mu);
        sending[ch] = true;
        sendLog.emplace_back(ch, true);
        return 0;
    }
    // The changes of a channel's sending, from not sending, in order.
    std::vector<bool> SendChanges(int ch) {
        std::lock_guard<std::mutex> g(mu);
        std::vector<bool> out;
        bool on = false;
        for (const auto& [c, s] : sendLog) {
            if (c != ch || s == on) continue;
            on = s;
            out.push_back(s);
        }
        return out;
    }
    int StopPlayout(int) override { return 0; }
    int StopSend(int ch) override {
        std::lock_guard<std::mutex> g(mu);
        sending[ch] = false;
        sendLog.emplace_back(ch, false);
        return 0;
    }
    int SendDTMF(int, int, int) override { return 0; }
    int SetSendCNPayloadType(int, int) override { return 0; }
    int AddToConference(int) override { return 0; }
    int DelFromConference(int) override { return 0; }
    size_t Channels() {
        std::lock_guard<std::mutex> g(mu);
        return ports.size();
    }

private:
    static void Release(std::pair<int, int>& fds) {
        plat::CloseSocket(fds.first);
        plat::CloseSocket(fds.second);
        fds = {-1, -1};
    }
    void Drop(int ch) {
        auto it = held_.find(ch);
        if (it == held_.end()) return;
        Release(it->second);
        held_.erase(it);
    }
    std::map<int, std::pair<int, int>> held_;   // channel -> bound RTP and RTCP sockets
};

// Every datagram the user agent sent or received, and the trace lines, in order.
struct Datagram {
    bool sent;
    std::string text;
    std::string host;
    int port;
};

inline std::mutex& CaptureMutex() {
    static std::mutex m;
    return m;
}
inline std::vector<Datagram>& Traffic() {
    static std::vector<Datagram> t;
    return t;
}
inline std::vector<std::string>& Trace() {
    static std::vector<std::string> t;
    return t;
}
inline void TapTraffic(bool sent, const char* text, int len, const char* host, int port) {
    std::lock_guard<std::mutex> g(CaptureMutex());
    Traffic().push_back(Datagram{sent, std::string(text, static_cast<size_t>(len)), host != nullptr ? host : "", port});
}
// Where the user agent sent the messages of a kind ("host:port" each).
inline std::vector<std::string> Destinations(const std::string& method) {
    std::vector<std::string> out;
    std::lock_guard<std::mutex> g(CaptureMutex());
    for (const Datagram& d : Traffic()) {
        if (d.sent && d.text.rfind(method + " ", 0) == 0) out.push_back(d.host + ":" + std::to_string(d.port));
    }
    return out;
}
inline void CaptureTrace(unsigned, const char* text) {
    if (getenv("SIP_TEST_TRACE") != nullptr) fprintf(stderr, "%s\n", text);
    std::lock_guard<std::mutex> g(CaptureMutex());
    Trace().push_back(text);
}
inline bool TraceHas(const std::string& needle) {
    std::lock_guard<std::mutex> g(CaptureMutex());
    for (const std::string& l : Trace()) {
        if (l.find(needle) != std::string::npos) return true;
    }
    return false;
}
// Requests of a method (or responses with a status when method is a number) the user agent sent.
inline std::vector<std::string> SentMessages(const std::string& what, bool sent = true) {
    std::vector<std::string> out;
    std::lock_guard<std::mutex> g(CaptureMutex());
    for (const Datagram& d : Traffic()) {
        if (d.sent != sent) continue;
        bool isStatus = !what.empty() && isdigit(static_cast<unsigned char>(what[0]));
        if (isStatus ? d.text.rfind("SIP/2.0 " + what, 0) == 0 : d.text.rfind(what + " ", 0) == 0) out.push_back(d.text);
    }
    return out;
}
inline std::vector<std::string> ReceivedMessages(const std::string& what) { return SentMessages(what, false); }
// Waits until the user agent has sent count messages of the kind; false on time-out.
inline bool WaitSent(const std::string& what, size_t count = 1, int ms = kEventWaitMs, bool sent = true) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (SentMessages(what, sent).size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct Notice {
    int call;
    int cnx;
    int event;
    int p3;
    int p4;
    std::string text;
};

inline bool ProbeOk() { return true; }

// Call control and the user agent of one test, on loopback.
class Harness {
public:
    QuietBridge bridge;
    HWND window = nullptr;
    int sipPort = 0;

    void Start() {
        {
            std::lock_guard<std::mutex> g(CaptureMutex());
            Traffic().clear();
            Trace().clear();
        }
        g_debugOutput.store(CaptureTrace);
        debug_enable.store(1);
        debug_all.store(3);
        osip_manager_set_tap(TapTraffic);
        osip_digest_reset_counts();
        nict_register_timeout_reset();
        plat::SetLocalAddressOverride("127.0.0.1");
        Sonra_SetBridge(&bridge);
        CC_SetRecordDeviceProbe(ProbeOk);
        CM_Init();
        CC_Init(true);
        plat::WindowTarget target;
        target.handler = [this](HWND, UINT msg, WPARAM, LPARAM lParam) -> LRESULT {
            if (msg != WM_VOIP_EVENT) return 0;
            auto* m = reinterpret_cast<VOIP_UI_MSG*>(lParam);
            Notice n{m->iCallId, m->iCnxId, m->iEvent, m->iParam3, m->iParam4, ""};
            if (m->pValue != nullptr && m->iEvent != VOIPEVT_REMOTE_CONTACT) n.text = static_cast<const char*>(m->pValue);
            if (m->pValue != nullptr && m->iEvent == VOIPEVT_REMOTE_CONTACT) n.text = static_cast<CM_CONTACT*>(m->pValue)->szUri;
            VOIP_FreeUiMsg(m);
            {
                std::lock_guard<std::mutex> g(mu_);
                notices_.push_back(n);
            }
            cv_.notify_all();
            return 0;
        };
        target.poster = [](std::function<void()> task) { task(); };
        target.discard = [](HWND, UINT, WPARAM, LPARAM lParam) { VOIP_FreeUiMsg(reinterpret_cast<VOIP_UI_MSG*>(lParam)); };
        window = plat::RegisterWindowTarget(target);
        VOIP_SetUiWindow(window);
        OSIP_SetBasePort(BasePort());
        ASSERT_EQ(0, OSIP_Init());
        sipPort = OSIP_GetUa()->port;
    }

    void Stop() {
        CM_Destroy();
        CC_Exit();
        CM_Exit();
        VOIP_SetUiWindow(nullptr);
        if (window != nullptr) plat::UnregisterWindowTarget(window);
        window = nullptr;
        Sonra_SetBridge(nullptr);
        CC_SetRecordDeviceProbe(nullptr);
        osip_manager_set_tap(nullptr);
        g_debugOutput.store(nullptr);
        debug_enable.store(0);
    }

    // Registers user@domain with the registrar at 127.0.0.1:port.
    void Register(const char* user, const char* password, int port, const char* domain = "127.0.0.1",
                  int expires = 1800, const char* registrar = "127.0.0.1", const char* display = nullptr,
                  const char* proxy = nullptr, int proxyPort = 0) {
        auto* info = static_cast<CM_REG_INFO*>(calloc(1, sizeof(CM_REG_INFO)));
        info->pszDisplayName = strdup(display != nullptr ? display : user);
        info->pszUserName = strdup(user);
        info->pszIdentity = strdup((std::string(user) + "@" + domain).c_str());
        info->pszPassword = password != nullptr ? strdup(password) : nullptr;
        info->pszLocalIp = strdup("127.0.0.1");
        info->iLocalPort = 5060;
        info->pszRegistrar = strdup(registrar);
        info->iRegistrarPort = port;
        info->pszProxy = strdup(proxy != nullptr ? proxy : registrar);
        info->iProxyPort = proxyPort != 0 ? proxyPort : port;
        info->pszDomain = strdup(domain);
        info->iPort2 = port;
        info->iExpires = expires;
        CM_SendEvent(-1, -1, CMEVT_START, -1, 0, info);
        WaitStarted();
    }

    // The connection controller starts on its own thread after CMEVT_START; a loaded machine may
    // take a while to run it.
    static void WaitStarted() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!CC_IsStarted() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Connections idle once call control has freed them (it tells the call manager first, so
    // the release notice can come before the connection is back in the pool); waits up to the
    // bound for all of them.
    static int IdleConnections() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventWaitMs);
        while (CC_GetIdleCnxNum() != CC_MAX_CNX_NUM && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return CC_GetIdleCnxNum();
    }

    // Places a call the way the dial page does; returns the connection id.
    int Call(const char* callee, int* callId = nullptr) {
        WaitStarted();
        int call = CM_AllocCall();
        int cnx = CC_AllocCnx();
        EXPECT_GE(call, 0);
        EXPECT_GE(cnx, 0);
        if (callId != nullptr) *callId = call;
        CM_SendEvent(call, cnx, CMEVT_NEWCALL, -1, -1, strdup(callee));
        return cnx;
    }

    // Waits for a notice of the event (after the ones already taken); false on time-out.
    bool WaitFor(int event, Notice* out = nullptr, int ms = kEventWaitMs) {
        std::unique_lock<std::mutex> lock(mu_);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            for (size_t i = taken_; i < notices_.size(); ++i) {
                if (notices_[i].event == event) {
                    if (out != nullptr) *out = notices_[i];
                    taken_ = i + 1;
                    return true;
                }
            }
            if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) return false;
        }
    }

    bool Seen(int event) {
        std::lock_guard<std::mutex> g(mu_);
        for (const Notice& n : notices_) {
            if (n.event == event) return true;
        }
        return false;
    }

    int Count(int event) {
        std::lock_guard<std::mutex> g(mu_);
        int c = 0;
        for (const Notice& n : notices_) c += n.event == event;
        return c;
    }

    std::vector<Notice> Notices() {
        std::lock_guard<std::mutex> g(mu_);
        return notices_;
    }

    // First SIP port to try: spread over a range so parallel test processes rarely meet.
    static int BasePort() {
        static int base = test_ports::Reserve(1);
        return base;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Notice> notices_;
    size_t taken_ = 0;
};

// ----------------------------------------------------------------------------------------------
// SIP text helpers

inline bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

// Values of the header lines called name (head of the message only), in order.
inline std::vector<std::string> Headers(const std::string& msg, const std::string& name) {
    std::vector<std::string> out;
    size_t head = msg.find("\r\n\r\n");
    size_t pos = 0;
    while (pos < msg.size() && (head == std::string::npos || pos < head)) {
        size_t eol = msg.find("\r\n", pos);
        if (eol == std::string::npos) eol = msg.size();
        std::string line = msg.substr(pos, eol - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string key = line.substr(0, colon);
            while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
            if (SameNoCase(key, name)) {
                size_t v = line.find_first_not_of(" \t", colon + 1);
                out.push_back(v == std::string::npos ? "" : line.substr(v));
            }
        }
        pos = eol + 2;
    }
    return out;
}

inline std::string Header(const std::string& msg, const std::string& name) {
    std::vector<std::string> all = Headers(msg, name);
    return all.empty() ? "" : all.front();
}

// Value of ";name=value" in a header.
inline std::string Param(const std::string& header, const std::string& name) {
    std::string lower = header;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::string key = ";" + name + "=";
    for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    size_t p = lower.find(key);
    if (p == std::string::npos) return "";
    p += key.size();
    size_t e = header.find_first_of(";>, \t", p);
    return header.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

// Value of "name=value" in Digest credentials (quotes removed).
inline std::string AuthParam(const std::string& header, const std::string& name) {
    for (size_t p = header.find(name + "="); p != std::string::npos; p = header.find(name + "=", p + 1)) {
        if (p > 0 && header[p - 1] != ' ' && header[p - 1] != ',') continue;
        size_t v = p + name.size() + 1;
        if (v < header.size() && header[v] == '"') {
            size_t e = header.find('"', v + 1);
            return header.substr(v + 1, e == std::string::npos ? std::string::npos : e - v - 1);
        }
        size_t e = header.find_first_of(", ", v);
        return header.substr(v, e == std::string::npos ? std::string::npos : e - v);
    }
    return "";
}

// The first "m=" line of an SDP body (without its line end).
inline std::string MediaLine(const std::string& sdp) {
    size_t p = sdp.rfind("m=", 0) == 0 ? 0 : sdp.find("\nm=");
    if (p == std::string::npos) return "";
    if (p != 0) ++p;
    size_t e = sdp.find_first_of("\r\n", p);
    return sdp.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

// "m=audio <digits> RTP/AVP <formats>".
inline bool IsAudioLine(const std::string& line, const std::string& formats) {
    const std::string head = "m=audio ";
    const std::string tail = " RTP/AVP " + formats;
    if (line.rfind(head, 0) != 0 || line.size() <= head.size() + tail.size()) return false;
    if (line.compare(line.size() - tail.size(), tail.size(), tail) != 0) return false;
    std::string port = line.substr(head.size(), line.size() - head.size() - tail.size());
    return !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
}

// A Via of ours: "SIP/2.0/UDP 127.0.0.1:<port>[;rport];branch=z9hG4bK" and 32 of [0-9A-Z].
inline bool IsOurVia(const std::string& via, bool rport) {
    const std::string head = "SIP/2.0/UDP 127.0.0.1:";
    const std::string mid = rport ? ";rport;branch=z9hG4bK" : ";branch=z9hG4bK";
    if (via.rfind(head, 0) != 0) return false;
    size_t m = via.find(mid);
    if (m == std::string::npos) return false;
    std::string port = via.substr(head.size(), m - head.size());
    std::string branch = via.substr(m + mid.size());
    return !port.empty() && port.find_first_not_of("0123456789") == std::string::npos && branch.size() == 32 &&
           branch.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos;
}

inline std::string Method(const std::string& msg) { return msg.substr(0, msg.find(' ')); }

inline int Status(const std::string& msg) {
    if (msg.rfind("SIP/2.0 ", 0) != 0) return 0;
    return atoi(msg.c_str() + 8);
}

inline std::string Body(const std::string& msg) {
    size_t p = msg.find("\r\n\r\n");
    return p == std::string::npos ? "" : msg.substr(p + 4);
}

inline unsigned CseqNumber(const std::string& msg) { return static_cast<unsigned>(strtoul(Header(msg, "CSeq").c_str(), nullptr, 10)); }

// Response to a request: Via, From, To (with a tag when it has none), Call-ID and CSeq copied.
inline std::string Respond(const std::string& req, int status, const std::string& reason,
                           const std::string& extra = "", const std::string& body = "",
                           const std::string& toTag = "peertag1") {
    std::string out = "SIP/2.0 " + std::to_string(status) + " " + reason + "\r\n";
    for (const std::string& v : Headers(req, "Via")) out += "Via: " + v + "\r\n";
    out += "From: " + Header(req, "From") + "\r\n";
    std::string to = Header(req, "To");
    if (Param(to, "tag").empty() && status > 100) to += ";tag=" + toTag;
    out += "To: " + to + "\r\n";
    out += "Call-ID: " + Header(req, "Call-ID") + "\r\n";
    out += "CSeq: " + Header(req, "CSeq") + "\r\n";
    out += extra;
    if (!body.empty()) out += "Content-Type: application/sdp\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return out;
}

inline std::string Sdp(int port, const std::string& payloads, const std::string& extra = "") {
    std::string s = "v=0\r\no=peer 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n";
    s += "m=audio " + std::to_string(port) + " RTP/AVP " + payloads + "\r\n" + extra;
    return s;
}

// A UDP peer on 127.0.0.1 that the test scripts.
class Peer {
public:
    Peer() {
        fd_ = plat::UdpSocket();
        plat::Bind(fd_, 0x7F000001u, 0);
        uint32_t ip = 0;
        uint16_t port = 0;
        plat::LocalEndpoint(fd_, &ip, &port);
        port_ = port;
    }
    ~Peer() { plat::CloseSocket(fd_); }
    int port() const { return port_; }

    // Next datagram within ms ("" on time-out); from receives the sender's port.
    std::string Recv(int ms = 3000, int* from = nullptr) {
        char buf[8192];
        uint16_t port = 0;
        int n = plat::RecvFromWithTimeout(fd_, buf, sizeof buf - 1, static_cast<DWORD>(ms), nullptr, &port, nullptr);
        if (n <= 0) return "";
        if (from != nullptr) *from = port;
        lastFrom_ = port;
        return std::string(buf, static_cast<size_t>(n));
    }
    // Next message within ms that `wanted` accepts (others are skipped); "" on time-out.
    template <typename Pred>
    std::string RecvMatching(Pred wanted, int ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            if (left <= 0) return "";
            std::string m = Recv(left);
            if (!m.empty() && wanted(m)) return m;
        }
    }
    // Next request of the method (responses and other requests are skipped).
    std::string RecvRequest(const std::string& method, int ms = 3000) {
        return RecvMatching([&](const std::string& m) { return Method(m) == method; }, ms);
    }
    std::string RecvStatus(int status, int ms = 3000) {
        return RecvMatching([&](const std::string& m) { return Status(m) == status; }, ms);
    }
    void Send(const std::string& text, int port) {
        plat::SendTo(fd_, text.data(), text.size(), 0x7F000001u, static_cast<uint16_t>(port));
    }
    void Reply(const std::string& text) { Send(text, lastFrom_); }

private:
    int fd_ = -1;
    int port_ = 0;
    int lastFrom_ = 0;
};

}  // namespace siptest
