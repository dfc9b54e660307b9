// Tests of the socket record (TCP and UDP exchanges with a loopback peer), name resolution and
// posting to the access-client thread.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/appenv.h"
#include "common/netsocket.h"
#include "platform/msgqueue.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "store_fixture.h"

namespace {

using storetest::TraceCapture;

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t BoundPort(int fd) {
    uint32_t ip = 0;
    uint16_t port = 0;
    plat::LocalEndpoint(fd, &ip, &port);
    return port;
}

// A listening TCP socket on loopback whose single connection is served by a thread.
class TcpPeer {
public:
    template <class Serve>
    explicit TcpPeer(Serve serve) {
        m_listen = plat::TcpSocket();
        plat::Bind(m_listen, INADDR_LOOPBACK, 0);
        ::listen(m_listen, 1);
        m_port = BoundPort(m_listen);
        m_thread = std::thread([this, serve] {
            int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd >= 0) {
                serve(fd);
                ::close(fd);
            }
        });
    }
    ~TcpPeer() {
        ::shutdown(m_listen, SHUT_RDWR);
        if (m_thread.joinable()) m_thread.join();
        ::close(m_listen);
    }
    uint16_t Port() const { return m_port; }

private:
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
};

class CommonStoreNetSocket : public ::testing::Test {
protected:
    void SetUp() override { NetSocket_SetSecondLength(50); }
    void TearDown() override { NetSocket_SetSecondLength(0); }
};

NetSocket* ConnectedTcp(uint16_t port) {
    NetSocket* s = NetSocket_Create(1);
    EXPECT_NE(s, nullptr);
    sockaddr_in peer = Loopback(port);
    EXPECT_EQ(NetSocket_Connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0);
    return s;
}

TEST_F(CommonStoreNetSocket, TcpPeerThatSendsAndClosesGivesWhatArrived) {
    TcpPeer peer([](int fd) {
        char request[5] = {};
        ::recv(fd, request, 4, MSG_WAITALL);
        if (std::string(request) != "ping") return;
        std::string reply(100, 'r');
        ::send(fd, reply.data(), 60, 0);
        ::usleep(20000);
        ::send(fd, reply.data() + 60, 40, 0);
    });
    NetSocket* s = ConnectedTcp(peer.Port());
    sockaddr_in address = Loopback(peer.Port());
    ASSERT_EQ(NetSocket_Send(s, "ping", 4, 0, reinterpret_cast<sockaddr*>(&address), sizeof address), 4);
    char buffer[512];
    EXPECT_EQ(NetSocket_Recv(s, buffer, sizeof buffer, 0, 0, 2), 100);
    EXPECT_EQ(std::string(buffer, 100), std::string(100, 'r'));
    EXPECT_EQ(NetSocket_Close(s), 0);
}

TEST_F(CommonStoreNetSocket, TcpReplyThatFillsTheBufferReturnsItsSize) {
    std::atomic<bool> done{false};
    TcpPeer peer([&](int fd) {
        std::string reply(64, 'x');
        ::send(fd, reply.data(), 30, 0);
        ::usleep(10000);
        ::send(fd, reply.data() + 30, 34, 0);
        while (!done) ::usleep(1000);  // stays open: only the full buffer may end the receive
    });
    NetSocket* s = ConnectedTcp(peer.Port());
    char buffer[64];
    EXPECT_EQ(NetSocket_Recv(s, buffer, sizeof buffer, 0, 0, 2), 64);
    done = true;
    NetSocket_Close(s);
}

TEST_F(CommonStoreNetSocket, TcpTimeOutFailsEvenWithPartialData) {
    std::atomic<bool> done{false};
    TcpPeer peer([&](int fd) {
        ::send(fd, "part", 4, 0);
        while (!done) ::usleep(1000);
    });
    NetSocket* s = ConnectedTcp(peer.Port());
    char buffer[64];
    uint64_t start = plat::NowMs();
    EXPECT_EQ(NetSocket_Recv(s, buffer, sizeof buffer, 0, 0, 1), -1);
    EXPECT_GE(plat::NowMs() - start, 140u);  // three time-out seconds of 50 ms
    done = true;
    NetSocket_Close(s);
}

TEST_F(CommonStoreNetSocket, TcpSendToClosedPeerFailsWithoutSignal) {
    TcpPeer peer([](int) {});
    NetSocket* s = ConnectedTcp(peer.Port());
    ::usleep(20000);
    std::string data(65536, 'z');
    int last = 0;
    for (int i = 0; i < 50 && last >= 0; ++i) last = NetSocket_Send(s, data.data(), static_cast<int>(data.size()), 0, nullptr, 0);
    EXPECT_EQ(last, -1);  // reached only because SIGPIPE did not end the process
    NetSocket_Close(s);
}

// A UDP peer on loopback read directly by the test.
struct UdpPeer {
    UdpPeer() {
        fd = plat::UdpSocket();
        plat::Bind(fd, INADDR_LOOPBACK, 0);
        address = Loopback(BoundPort(fd));
    }
    ~UdpPeer() { plat::CloseSocket(fd); }
    std::vector<std::string> Drain() {
        std::vector<std::string> got;
        char buffer[4096];
        for (;;) {
            int n = plat::RecvFromWithTimeout(fd, buffer, sizeof buffer, 0, nullptr, nullptr, nullptr);
            if (n < 0) break;
            got.emplace_back(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    int fd;
    sockaddr_in address;
};

NetSocket* BoundUdp() {
    NetSocket* s = NetSocket_Create(0);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(NetSocket_Connect(s, nullptr, 0), 0);
    return s;
}

TEST_F(CommonStoreNetSocket, UdpWithoutAnswerSendsThreeTimesThenFails) {
    TraceCapture trace;
    UdpPeer peer;
    NetSocket* s = BoundUdp();
    char buffer[512];
    std::memcpy(buffer, "request", 7);
    ASSERT_EQ(NetSocket_Send(s, buffer, 7, 0, reinterpret_cast<sockaddr*>(&peer.address), sizeof peer.address), 7);
    EXPECT_EQ(NetSocket_Recv(s, buffer, sizeof buffer, 7, 0, 1), -1);
    EXPECT_EQ(peer.Drain(), std::vector<std::string>(3, "request"));
    EXPECT_EQ(trace.Take(), (std::vector<std::string>{"UDP Timeout, Send Again 1", "UDP Timeout, Send Again 2"}));
    NetSocket_Close(s);
}

TEST_F(CommonStoreNetSocket, UdpAnswerToTheResentRequestIsReturned) {
    NetSocket_SetSecondLength(300);
    TraceCapture trace;
    UdpPeer peer;
    NetSocket* s = BoundUdp();
    std::thread server([&] {
        char in[4096];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        // The first request goes unanswered; the second gets a reply too long for the client's
        // buffer; the third gets the real answer. Each request must arrive intact.
        for (int i = 0; i < 3; ++i) {
            ssize_t n = ::recvfrom(peer.fd, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n != 7 || std::memcmp(in, "request", 7) != 0) return;
            if (i == 1) {
                std::string big(2000, 'b');
                ::sendto(peer.fd, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
            } else if (i == 2) {
                ::sendto(peer.fd, "answer", 6, 0, reinterpret_cast<sockaddr*>(&from), len);
            }
        }
    });
    char buffer[512];
    std::memcpy(buffer, "request", 7);
    NetSocket_Send(s, buffer, 7, 0, reinterpret_cast<sockaddr*>(&peer.address), sizeof peer.address);
    int n = NetSocket_Recv(s, buffer, sizeof buffer, 7, 0, 1);
    server.join();
    ASSERT_EQ(n, 6);
    EXPECT_EQ(std::string(buffer, 6), "answer");
    EXPECT_TRUE(trace.Contains("does not fit"));
    EXPECT_EQ(trace.Count("UDP Timeout, Send Again 2"), 1u);
    NetSocket_Close(s);
}

TEST_F(CommonStoreNetSocket, UdpReplyFromAnotherSenderIsDropped) {
    NetSocket_SetSecondLength(300);
    TraceCapture trace;
    UdpPeer asked, stranger;
    NetSocket* s = BoundUdp();
    std::thread server([&] {
        char in[4096];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        // Another socket answers the first request first; the server asked answers the resend.
        for (int i = 0; i < 2; ++i) {
            if (::recvfrom(asked.fd, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &len) != 7) return;
            const int fd = i == 0 ? stranger.fd : asked.fd;
            const char* text = i == 0 ? "forged" : "answer";
            ::sendto(fd, text, 6, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    char buffer[512];
    std::memcpy(buffer, "request", 7);
    NetSocket_Send(s, buffer, 7, 0, reinterpret_cast<sockaddr*>(&asked.address), sizeof asked.address);
    int n = NetSocket_Recv(s, buffer, sizeof buffer, 7, 0, 1);
    server.join();
    ASSERT_EQ(n, 6);
    EXPECT_EQ(std::string(buffer, 6), "answer");
    EXPECT_TRUE(trace.Contains("not the server asked"));
    NetSocket_Close(s);
}

TEST_F(CommonStoreNetSocket, UdpBindSkipsPortsInUse) {
    // Hold the first two free ports from 1024 (ports other programs hold are skipped the same way).
    std::vector<int> holders;
    std::vector<uint16_t> held;
    for (uint16_t port = 1024; held.size() < 2 && port < 1100; ++port) {
        int fd = plat::UdpSocket();
        if (plat::Bind(fd, 0, port)) {
            holders.push_back(fd);
            held.push_back(port);
        } else {
            plat::CloseSocket(fd);
        }
    }
    ASSERT_EQ(held.size(), 2u);
    NetSocket* s = BoundUdp();
    uint16_t port = BoundPort(s->socket);
    // Other test processes may take or free ports meanwhile, so only what this test holds is
    // certain: those ports are skipped and the scan stays near its start.
    EXPECT_GE(port, 1024);
    EXPECT_LT(port, 1200);
    EXPECT_NE(port, held[0]);
    EXPECT_NE(port, held[1]);
    NetSocket_Close(s);
    for (int fd : holders) plat::CloseSocket(fd);
}

TEST_F(CommonStoreNetSocket, RejectsBadArguments) {
    EXPECT_EQ(NetSocket_Recv(nullptr, nullptr, 0, 0, 0, 1), -1);
    EXPECT_EQ(NetSocket_Send(nullptr, "x", 1, 0, nullptr, 0), -1);
    EXPECT_EQ(NetSocket_Connect(nullptr, nullptr, 0), SOCKET_ERROR);
    NetSocket* s = NetSocket_Create(0);
    char buffer[8];
    EXPECT_EQ(NetSocket_Recv(s, buffer, 0, 0, 0, 1), -1);
    EXPECT_EQ(NetSocket_Send(s, "x", 1, 0, nullptr, 0), -1);  // UDP without a peer
    int on = 1;
    EXPECT_EQ(NetSocket_SetOpt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
    NetSocket_Close(s);
    EXPECT_EQ(NetSocket_Close(nullptr), 0);
}

std::atomic<int> s_lookups{0};
int s_succeedOn = 0;

bool ScriptedLookup(const char*, uint32_t* address) {
    int call = ++s_lookups;
    if (s_succeedOn && call >= s_succeedOn) {
        *address = htonl(0x0A000001);
        return true;
    }
    return false;
}

class CommonStoreResolveHost : public ::testing::Test {
protected:
    void SetUp() override {
        s_lookups = 0;
        ResolveHost_SetLookup(ScriptedLookup);
        clock.set_sleep_advances(true);
    }
    void TearDown() override { ResolveHost_SetLookup(nullptr); }
    plat::TestClock clock{0};
};

TEST_F(CommonStoreResolveHost, NameThatNeverResolvesIsAskedFourTimes) {
    s_succeedOn = 0;
    TraceCapture trace;
    EXPECT_EQ(ResolveHost("never.example"), 0u);
    EXPECT_EQ(s_lookups.load(), 4);
    EXPECT_EQ(clock.now(), 3000u);  // three pauses of one second
    EXPECT_EQ(trace.Take(), (std::vector<std::string>{"DNS(never.example) Timeout(1), request again",
                                                      "DNS(never.example) Timeout(2), request again",
                                                      "DNS(never.example) Timeout(3), request again"}));
}

TEST_F(CommonStoreResolveHost, LateAnswerIsUsed) {
    s_succeedOn = 3;
    TraceCapture trace;
    EXPECT_EQ(ResolveHost("late.example"), htonl(0x0A000001));
    EXPECT_EQ(s_lookups.load(), 3);
    EXPECT_EQ(clock.now(), 2000u);
    EXPECT_EQ(trace.Take().size(), 2u);
}

TEST_F(CommonStoreResolveHost, EmptyNameIsNotLookedUp) {
    EXPECT_EQ(ResolveHost(""), 0u);
    EXPECT_EQ(ResolveHost(nullptr), 0u);
    EXPECT_EQ(s_lookups.load(), 0);
}

TEST(CommonStoreResolveHostLiteral, LiteralAddressInNetworkOrder) {
    EXPECT_EQ(ResolveHost("127.0.0.1"), htonl(0x7F000001));
}

std::atomic<int> s_freed{0};

void FreeRecord(LPARAM parameter) {
    ++s_freed;
    delete reinterpret_cast<std::string*>(parameter);
}

TEST(CommonStorePostToAccessThread, DeliversToTheAccessThread) {
    std::vector<std::pair<UINT, std::string>> received;
    plat::Thread thread;
    plat::ThreadOptions options;
    options.messageQueue = true;
    ASSERT_TRUE(thread.start("as", [&] {
        MSG msg;
        while (GetMessage(&msg, nullptr, 0, 0)) {
            auto* text = reinterpret_cast<std::string*>(msg.lParam);
            received.emplace_back(msg.message, *text);
            delete text;
        }
    }, options));
    g_idAsThread = thread.id();
    s_freed = 0;
    EXPECT_TRUE(PostToAccessThread(WM_USER + 7, reinterpret_cast<LPARAM>(new std::string("login")), FreeRecord));
    PostThreadMessage(thread.id(), WM_QUIT, 0, 0);
    thread.join();
    g_idAsThread = 0;
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].first, WM_USER + 7);
    EXPECT_EQ(received[0].second, "login");
    EXPECT_EQ(s_freed.load(), 0);
}

TEST(CommonStorePostToAccessThread, FailedPostReportsAndFreesTheRecord) {
    TraceCapture trace;
    g_idAsThread = 0;
    s_freed = 0;
    EXPECT_FALSE(PostToAccessThread(WM_USER + 7, reinterpret_cast<LPARAM>(new std::string("lost")), FreeRecord));
    EXPECT_EQ(s_freed.load(), 1);
    EXPECT_TRUE(trace.Contains("access client thread failed"));
}

}  // namespace
