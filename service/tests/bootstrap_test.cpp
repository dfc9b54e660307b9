// Bootstrap client: the request document, answer parsing, and the thread over UDP and TCP.
#include <gtest/gtest.h>

#include <string>

#include "common/netsocket.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "service/bootstrap.h"
#include "service/login_fsm.h"
#include "service/tests/loopback.h"
#include "service/tests/service_support.h"

namespace {

using servicetest::FrameDouble;
using servicetest::PumpUntil;
using servicetest::TcpResponder;
using servicetest::UdpResponder;

TEST(BootstrapRequest, DocumentIsBuiltExactly) {
    STA_SetLoginUser("alice", "pw");
    struct Case {
        uint32_t kind;
        const char* account;
        uint32_t local;
        const char* expected;
    } const cases[] = {
        {BOOT_KIND_PROFILE, "", 0xC0A80114,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><root><UUID>alice</UUID><LocalIP>192.168.1.20</LocalIP>"
         "<ClientVersion>0.2</ClientVersion><Service><ServiceItem><Account/><ServiceKey>8890</ServiceKey>"
         "</ServiceItem></Service></root>"},
        {BOOT_KIND_SERVICE, "1001", 0x0A000001,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><root><UUID>alice</UUID><LocalIP>10.0.0.1</LocalIP>"
         "<ClientVersion>0.2</ClientVersion><Service><ServiceItem><Account>1001</Account><ServiceKey>8886</ServiceKey>"
         "</ServiceItem></Service></root>"},
        {BOOT_KIND_SIP, "a&b", 0x7F000001,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><root><UUID>alice</UUID><LocalIP>127.0.0.1</LocalIP>"
         "<ClientVersion>0.2</ClientVersion><Service><ServiceItem><Account>a&amp;b</Account><ServiceKey>8888</ServiceKey>"
         "</ServiceItem></Service></root>"},
    };
    for (const Case& c : cases) {
        CBootRequest r;
        r.kind = c.kind;
        r.account = c.account;
        char buffer[BOOT_BUFFER_SIZE];
        int n = BuildBootRequestXml(r, buffer, sizeof(buffer), c.local);
        EXPECT_EQ(std::string(c.expected), std::string(buffer, n > 0 ? n : 0));
    }
    CBootRequest huge;
    huge.account.assign(5000, 'x');
    char small[BOOT_BUFFER_SIZE];
    EXPECT_EQ(-1, BuildBootRequestXml(huge, small, sizeof(small), 0));
}

TEST(BootstrapReply, AnswersAreParsed) {
    struct Case {
        const char* name;
        const char* text;
        bool found;
        const char* server;
        PortCandidateList ports;
    } const cases[] = {
        {"two ports", "<R><ServerItem><ServerIP server=\"10.1.2.3\"><ServerPort port=\"7101\" type=\"tcp\"/>"
                      "<ServerPort port=\"7102\" type=\"udp\"/></ServerIP></ServerItem></R>",
         true, "10.1.2.3", {{7101, PROTO_TCP}, {7102, PROTO_UDP}}},
        {"first ServerIP only", "<R><ServerItem><ServerIP server=\"a\"><ServerPort port=\"1\" type=\"HTTP\"/></ServerIP>"
                                "<ServerIP server=\"b\"><ServerPort port=\"2\" type=\"tcp\"/></ServerIP></ServerItem></R>",
         true, "a", {{1, PROTO_HTTP}}},
        {"ports deeper and out of range", "<R><X><ServerItem><ServerIP server=\"h\"><G><ServerPort port=\"0\" type=\"tcp\"/>"
                                          "<ServerPort port=\"70000\" type=\"tcp\"/><ServerPort port=\"9\" type=\"TCP\"/>"
                                          "<ServerPort port=\"10\" type=\"smtp\"/><ServerPort port=\"11\"/>"
                                          "</G></ServerIP></ServerItem></X></R>",
         true, "h", {{9, PROTO_TCP}, {10, PROTO_UDP}}},
        {"not under ServerItem", "<R><ServerIP server=\"x\"><ServerPort port=\"1\" type=\"tcp\"/></ServerIP></R>", false, "", {}},
        {"first attribute not server", "<R><ServerItem><ServerIP id=\"1\" server=\"x\"><ServerPort port=\"1\" type=\"tcp\"/>"
                                       "</ServerIP><ServerIP server=\"y\"><ServerPort port=\"2\" type=\"tcp\"/></ServerIP>"
                                       "</ServerItem></R>",
         false, "", {}},
        {"malformed", "<R><ServerItem><ServerIP server=\"x\">", false, "", {}},
        {"empty", "", false, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CBootRequest r;
        EXPECT_EQ(c.found, ParseBootReply(c.text, strlen(c.text), r));
        EXPECT_EQ(c.server, r.server);
        ASSERT_EQ(c.ports.size(), r.servers.size());
        for (size_t i = 0; i < c.ports.size(); ++i) {
            EXPECT_EQ(c.ports[i].port, r.servers[i].port);
            EXPECT_EQ(c.ports[i].protocol, r.servers[i].protocol);
        }
    }
    std::string longHost = "<R><ServerItem><ServerIP server=\"" + std::string(300, 'h') +
                           "\"><ServerPort port=\"1\" type=\"tcp\"/></ServerIP></ServerItem></R>";
    CBootRequest r;
    EXPECT_FALSE(ParseBootReply(longHost.data(), longHost.size(), r));
    EXPECT_TRUE(r.server.empty());
    EXPECT_TRUE(r.servers.empty());
}

TEST(BootstrapReply, OnlyTheAnswerToTheQuestionAskedIsTaken) {
    auto answer = [](const std::string& item) {
        return "<root><Service><ServerItem>" + item + "<ServerIP server=\"h\"><ServerPort port=\"1\" type=\"tcp\"/>"
               "</ServerIP></ServerItem></Service></root>";
    };
    struct Case {
        const char* name;
        uint32_t kind;
        const char* account;
        std::string text;
        bool taken;
    } const cases[] = {
        {"nothing repeated", BOOT_KIND_SIP, "alice", answer(""), true},
        {"same question", BOOT_KIND_SIP, "alice", answer("<Account>alice</Account><ServiceKey>8888</ServiceKey>"), true},
        {"profile, empty account", BOOT_KIND_PROFILE, "", answer("<Account/><ServiceKey>8890</ServiceKey>"), true},
        {"another service", BOOT_KIND_SIP, "alice", answer("<Account>alice</Account><ServiceKey>8886</ServiceKey>"), false},
        {"the profile's answer", BOOT_KIND_SIP, "alice", answer("<Account/><ServiceKey>8890</ServiceKey>"), false},
        {"another account", BOOT_KIND_SERVICE, "1001", answer("<Account>1002</Account><ServiceKey>8886</ServiceKey>"), false},
        {"key only", BOOT_KIND_SERVICE, "1001", answer("<ServiceKey>8886</ServiceKey>"), true},
        {"no ServerIP", BOOT_KIND_SIP, "alice", "<root><Result>none</Result></root>", true},
        {"not XML", BOOT_KIND_SIP, "alice", "<root", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CBootRequest r;
        r.kind = c.kind;
        r.account = c.account;
        EXPECT_EQ(c.taken, BootReplyIsFor(c.text.data(), c.text.size(), r));
    }
}

const char kAnswer[] = "<?xml version=\"1.0\"?><Reply><ServerItem><ServerIP server=\"127.0.0.1\">"
                       "<ServerPort port=\"7201\" type=\"tcp\"/></ServerIP></ServerItem></Reply>";

// The thread against loopback peers, driven by the login state machine as in a sign-in.
class BootstrapThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        NetSocket_SetSecondLength(100);
        plat::SetLocalAddressOverride("127.0.0.1");
        STA_SetConfigPath("");
        STA_SetLoginUser("alice", "pw");
        ASSERT_EQ(1, STA_FsmInit());
        Boot_ResetCache();
        Boot_SetServerHost("127.0.0.1");
        frame.keepRecords = true;
        ASSERT_TRUE(Boot_StartThread());
    }
    void TearDown() override {
        EXPECT_TRUE(Boot_StopThread(5000));
        STA_FsmDone();
        NetSocket_SetSecondLength(0);
        plat::SetLocalAddressOverride("");
        Boot_SetServerHost("");
        Boot_ResetCache();
    }
    CBootRequest* WaitAnswer() {
        CBootRequest* answer = nullptr;
        PumpUntil([&] {
            auto got = frame.Of(WM_BOOT_REQUEST);
            if (!got.empty()) answer = reinterpret_cast<CBootRequest*>(got[0].wParam);
            return answer != nullptr;
        });
        return answer;
    }
    FrameDouble frame;
};

TEST_F(BootstrapThreadTest, UdpQuestionIsSentAgainUntilAnswered) {
    UdpResponder peer([](int index, const std::string&) { return index == 0 ? std::string() : std::string(kAnswer); });
    STA_SetAvailPorts(SERVICE_BOOT, {{peer.Port(), PROTO_UDP}});
    STA_PostEvent(EV_login_in);
    CBootRequest* answer = WaitAnswer();
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ("127.0.0.1", answer->server);
    ASSERT_EQ(1u, answer->servers.size());
    EXPECT_EQ(7201, answer->servers[0].port);
    EXPECT_EQ(1u, answer->sequence);
    auto requests = peer.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(requests[0], requests[1]);
    EXPECT_NE(std::string::npos, requests[0].find("<LocalIP>127.0.0.1</LocalIP>"));
    EXPECT_NE(std::string::npos, requests[0].find("<ServiceKey>8890</ServiceKey>"));
}

TEST_F(BootstrapThreadTest, LateAnswerToAnotherQuestionIsDroppedAndTheRightOneWaitedFor) {
    // A late duplicate of an earlier question's answer (the SIP server's) reaches the port first.
    const std::string late = "<R><ServerItem><Account>alice</Account><ServiceKey>8888</ServiceKey>"
                             "<ServerIP server=\"10.9.9.9\"><ServerPort port=\"5060\" type=\"udp\"/></ServerIP>"
                             "</ServerItem></R>";
    const std::string right = "<R><ServerItem><Account/><ServiceKey>8890</ServiceKey>"
                              "<ServerIP server=\"127.0.0.1\"><ServerPort port=\"7201\" type=\"tcp\"/></ServerIP>"
                              "</ServerItem></R>";
    UdpResponder peer([&](int index, const std::string&) { return index == 0 ? late : right; });
    STA_SetAvailPorts(SERVICE_BOOT, {{peer.Port(), PROTO_UDP}});
    STA_PostEvent(EV_login_in);
    CBootRequest* answer = WaitAnswer();
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ("127.0.0.1", answer->server);
    ASSERT_EQ(1u, answer->servers.size());
    EXPECT_EQ(7201, answer->servers[0].port);
    EXPECT_EQ(PROTO_TCP, answer->servers[0].protocol);
    auto requests = peer.Requests();
    ASSERT_EQ(2u, requests.size());  // the question went out again for the right answer
    EXPECT_EQ(requests[0], requests[1]);
}

TEST_F(BootstrapThreadTest, TcpAnswerIsReadUntilTheServerCloses) {
    std::string text = kAnswer;
    TcpResponder peer([&](int, const std::string&) {
        return std::vector<std::string>{text.substr(0, 10), text.substr(10, 40), text.substr(50)};
    });
    STA_SetAvailPorts(SERVICE_BOOT, {{peer.Port(), PROTO_TCP}});
    STA_PostEvent(EV_login_in);
    CBootRequest* answer = WaitAnswer();
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ("127.0.0.1", answer->server);
    ASSERT_EQ(1u, answer->servers.size());
    EXPECT_EQ(PROTO_TCP, answer->servers[0].protocol);
}

TEST_F(BootstrapThreadTest, AnswerWithoutFrameIsFreedByTheThread) {
    std::atomic<int> served{0};
    TcpResponder peer([&](int, const std::string&) {
        ++served;
        return std::vector<std::string>{kAnswer};
    });
    STA_SetAvailPorts(SERVICE_BOOT, {{peer.Port(), PROTO_TCP}});
    g_hMainWnd = nullptr;  // the post fails: the record stays with the thread, which deletes it
    STA_PostEvent(EV_login_in);
    ASSERT_TRUE(PumpUntil([&] { return served == 1; }));
    EXPECT_TRUE(Boot_StopThread(5000));  // joins after the request was handled; leaks show under the sanitizer
    g_hMainWnd = frame.Window();
    ASSERT_TRUE(Boot_StartThread());
}

std::atomic<int> g_lookups{0};
bool FailingLookup(const char*, uint32_t*) {
    ++g_lookups;
    return false;
}

TEST_F(BootstrapThreadTest, UnresolvableHostIsTriedFourTimesThenAnError) {
    plat::TestClock clock;
    clock.set_sleep_advances(true);  // the one-second pauses between tries take no time
    g_lookups = 0;
    ResolveHost_SetLookup(FailingLookup);
    Boot_SetServerHost("boot.invalid");
    STA_SetAvailPorts(SERVICE_BOOT, {{7000, PROTO_UDP}, {7001, PROTO_UDP}});
    storetest::TraceCapture trace;
    STA_PostEvent(EV_login_in);
    ASSERT_TRUE(PumpUntil([&] { return frame.States().size() >= 3; }));
    EXPECT_EQ((std::vector<int>{ST_boot_profile, ST_closing, ST_initial}), frame.States());
    EXPECT_EQ(4, g_lookups.load());
    int retries = 0;
    for (const std::string& line : trace.Take()) {
        if (line.find("DNS Timeout, wait 1 s and retry again") != std::string::npos) ++retries;
        EXPECT_EQ(std::string::npos, line.find("request again")) << line;
    }
    EXPECT_EQ(3, retries);
    // The next login asks the name again from the start.
    STA_PostEvent(EV_login_in);
    ASSERT_TRUE(PumpUntil([&] { return frame.States().size() >= 6; }));
    EXPECT_EQ(8, g_lookups.load());
    ResolveHost_SetLookup(nullptr);
}

TEST_F(BootstrapThreadTest, FullBufferAnswerStaysInsideTheBuffer) {
    TcpResponder peer([](int, const std::string&) { return std::vector<std::string>{std::string(BOOT_BUFFER_SIZE, '<')}; });
    STA_SetAvailPorts(SERVICE_BOOT, {{peer.Port(), PROTO_TCP}});
    STA_PostEvent(EV_login_in);
    CBootRequest* answer = WaitAnswer();
    ASSERT_NE(nullptr, answer);
    EXPECT_TRUE(answer->server.empty());
    EXPECT_TRUE(answer->servers.empty());
}

TEST_F(BootstrapThreadTest, AnAnswerOfExactlyTheBuffersSizeIsReadWhole) {
    std::string text = kAnswer;
    text.resize(BOOT_BUFFER_SIZE, ' ');
    TcpResponder peer([&](int, const std::string&) { return std::vector<std::string>{text}; });
    STA_SetAvailPorts(SERVICE_BOOT, {{peer.Port(), PROTO_TCP}});
    STA_PostEvent(EV_login_in);
    CBootRequest* answer = WaitAnswer();
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ("127.0.0.1", answer->server);
    EXPECT_EQ(1u, answer->servers.size());
}

TEST_F(BootstrapThreadTest, SilenceAndRefusalAreUnreachableMissingHostIsAnError) {
    UdpResponder silent([](int, const std::string&) { return std::string(); });
    int closedPort;
    {
        TcpResponder gone([](int, const std::string&) { return std::vector<std::string>{}; });
        closedPort = gone.Port();
    }
    // Each unreachable candidate moves to the next; after the last the login ends with an error.
    STA_SetAvailPorts(SERVICE_BOOT, {{silent.Port(), PROTO_UDP}, {closedPort, PROTO_TCP}});
    STA_PostEvent(EV_login_in);
    ASSERT_TRUE(PumpUntil([&] { return frame.States().size() >= 5; }));
    EXPECT_EQ((std::vector<int>{ST_boot_profile, ST_boot_profile, ST_boot_profile, ST_closing, ST_initial}), frame.States());
    EXPECT_EQ(3u, silent.Requests().size());  // three waits, one datagram each

    frame.Clear();
    Boot_SetServerHost("");
    Boot_ResetCache();
    STA_SetAvailPorts(SERVICE_BOOT, {{silent.Port(), PROTO_UDP}});
    STA_PostEvent(EV_login_in);
    ASSERT_TRUE(PumpUntil([&] { return frame.States().size() >= 3; }));
    EXPECT_EQ((std::vector<int>{ST_boot_profile, ST_closing, ST_initial}), frame.States());
}

}  // namespace
