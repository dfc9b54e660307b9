// Scripted loopback peers of the service unit tests: a UDP responder and a TCP responder that reads one
// XML document per connection, answers with scripted segments and closes.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/xmldoc.h"
#include "platform/msgqueue.h"
#include "platform/net.h"

namespace servicetest {

// Pumps the frame's messages until the predicate holds or ms pass; the predicate's last value.
template <class Pred>
bool PumpUntil(Pred pred, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        plat::PumpWindowMessages();
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

inline uint16_t BoundPort(int fd) {
    uint32_t ip = 0;
    uint16_t port = 0;
    plat::LocalEndpoint(fd, &ip, &port);
    return port;
}

// Answers datagram n (from 0) with reply(n, request); an empty reply is no answer.
class UdpResponder {
public:
    using Reply = std::function<std::string(int index, const std::string& request)>;
    explicit UdpResponder(Reply reply) : m_reply(std::move(reply)) {
        m_fd = plat::UdpSocket();
        plat::Bind(m_fd, 0x7F000001, 0);
        m_port = BoundPort(m_fd);
        m_thread = std::thread([this] { Run(); });
    }
    ~UdpResponder() {
        m_stop = true;
        m_thread.join();
        plat::CloseSocket(m_fd);
    }
    uint16_t Port() const { return m_port; }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_requests;
    }

private:
    void Run() {
        char buffer[65536];
        while (!m_stop) {
            uint32_t ip = 0;
            uint16_t port = 0;
            int n = plat::RecvFromWithTimeout(m_fd, buffer, sizeof(buffer), 20, &ip, &port, nullptr);
            if (n <= 0) continue;
            std::string request(buffer, static_cast<size_t>(n));
            int index;
            {
                std::lock_guard<std::mutex> g(m_lock);
                index = static_cast<int>(m_requests.size());
                m_requests.push_back(request);
            }
            std::string reply = m_reply(index, request);
            if (!reply.empty()) plat::SendTo(m_fd, reply.data(), reply.size(), ip, port);
        }
    }
    Reply m_reply;
    int m_fd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::string> m_requests;
};

// Serves connections one by one: reads until the request parses as a whole document (or, for an HTTP
// GET, until its headers end), then sends the
// segments serve(n, request) gives (each with its own send) and closes.
class TcpResponder {
public:
    using Serve = std::function<std::vector<std::string>(int index, const std::string& request)>;
    // gapMs: the pause between the segments of a reply.
    explicit TcpResponder(Serve serve, int gapMs = 1) : m_serve(std::move(serve)), m_gapMs(gapMs) {
        m_listen = plat::TcpSocket();
        plat::SetReuseAddress(m_listen, true);
        plat::Bind(m_listen, 0x7F000001, 0);
        ::listen(m_listen, 8);
        m_port = BoundPort(m_listen);
        m_thread = std::thread([this] { Run(); });
    }
    ~TcpResponder() {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    uint16_t Port() const { return m_port; }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_requests;
    }
    int Connections() {
        std::lock_guard<std::mutex> g(m_lock);
        return static_cast<int>(m_requests.size());
    }

private:
    static bool Complete(const std::string& text) {
        if (text.compare(0, 4, "GET ") == 0) return text.find("\r\n\r\n") != std::string::npos;
        CXmlDocument doc("UTF-8");
        doc.SetText(text);
        return doc.Parse();
    }
    void Run() {
        while (!m_stop) {
            if (plat::WaitReadable(m_listen, 20) <= 0) continue;
            int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0) continue;
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            std::string request;
            char buffer[4096];
            while (!Complete(request)) {
                int n = plat::RecvWithTimeout(fd, buffer, sizeof(buffer), 2000);
                if (n <= 0) break;
                request.append(buffer, static_cast<size_t>(n));
            }
            int index;
            {
                std::lock_guard<std::mutex> g(m_lock);
                index = static_cast<int>(m_requests.size());
                m_requests.push_back(request);
            }
            for (const std::string& segment : m_serve(index, request)) {
                plat::SendAll(fd, segment.data(), segment.size(), 2000);
                std::this_thread::sleep_for(std::chrono::milliseconds(m_gapMs));  // separate segments
            }
            ::close(fd);
        }
    }
    Serve m_serve;
    int m_gapMs = 1;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::string> m_requests;
};

}  // namespace servicetest
