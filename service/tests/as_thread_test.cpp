// Access-client thread against a scripted loopback server: results, re-sends, rejected and cut replies.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "common/netsocket.h"
#include "platform/msgqueue.h"
#include "platform/sync.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/tests/loopback.h"
#include "service/tests/service_support.h"
#include "service/tests/services.h"

namespace {

using servicetest::FrameDouble;
using servicetest::PumpUntil;
using servicetest::ServiceProcess;
using servicetest::TcpResponder;
using storetest::ScratchFolder;

const char kChallenge[] = "0123456789abcdef0123456789abcdef";

std::string Name(const std::string& request) {
    if (request.find('<') == std::string::npos) return "";
    size_t a = request.find("?>");
    a = request.find('<', a == std::string::npos ? 0 : a + 2);
    size_t b = request.find_first_of(" >/", a + 1);
    return request.substr(a + 1, b - a - 1);
}

std::string Trid(const std::string& request) {
    size_t a = request.find("Trid=\"");
    if (a == std::string::npos) return "";
    return request.substr(a + 6, request.find('"', a + 6) - a - 6);
}

class AsThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        frame.keepRecords = true;
        AS_SetReplyWaitMs(3000);
        ASSERT_TRUE(AS_StartThread());
    }
    void TearDown() override {
        EXPECT_TRUE(AS_StopThread(5000));
        AS_SetReplyWaitMs(0);
    }
    void Configure(const char* host, int port, const char* password = "secret") {
        ASSERT_TRUE(PostThreadMessage(g_idAsThread, WM_AS_CONFIG, 0,
                                      reinterpret_cast<LPARAM>(AsServerConfig_New("alice", password, host, port, 0))));
    }
    // Queues a command and waits for its answer.
    AsRequest* Run(int command, void* data = nullptr, uint32_t kind = AS_DATA_NONE) {
        size_t before = frame.Of(WM_AS_RESULT).size();
        EXPECT_EQ(1, AS_PostRequest(command, data, kind));
        AsRequest* answer = nullptr;
        PumpUntil([&] {
            auto got = frame.Of(WM_AS_RESULT);
            if (got.size() > before) answer = reinterpret_cast<AsRequest*>(got.back().lParam);
            return answer != nullptr;
        }, 10000);
        return answer;
    }
    FrameDouble frame;
};

// Answers each request by a script: reply(index, name, trid) gives the segments.
TcpResponder Server(std::function<std::vector<std::string>(int, const std::string&, const std::string&)> reply) {
    return TcpResponder([reply](int i, const std::string& request) { return reply(i, Name(request), Trid(request)); });
}

TEST_F(AsThreadTest, LoginThenCommandsWithTheirResults) {
    TcpResponder server([](int, const std::string& request) {
        std::string name = Name(request), trid = Trid(request);
        std::string open = "<" + name + " Trid=\"" + trid + "\"";
        if (name == "LGN") return std::vector<std::string>{open + " Rcd=\"101\"><CHG>" + kChallenge + "</CHG></LGN>"};
        if (name == "ADG") return std::vector<std::string>{open + " Rcd=\"0\"><GID>g5</GID></ADG>"};
        return std::vector<std::string>{open + " Rcd=\"4\"/>"};
    });
    Configure("127.0.0.1", server.Port());
    AsRequest* lgn = Run(AS_LGN);
    ASSERT_NE(nullptr, lgn);
    EXPECT_EQ(0, lgn->result);
    ASSERT_EQ(1, AS_SendCommand(AS_ADG, "", "0", 0, "friends", nullptr, 0));
    ASSERT_TRUE(PumpUntil([&] { return frame.Of(WM_AS_RESULT).size() == 2; }));
    auto* adg = reinterpret_cast<AsRequest*>(frame.Of(WM_AS_RESULT)[1].lParam);
    EXPECT_EQ(0, adg->result);
    EXPECT_STREQ("g5", static_cast<AsParams*>(adg->data)->str1);
    AsRequest* lgt = Run(AS_LGT);
    EXPECT_EQ(4, lgt->result);
    auto requests = server.Requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].find("<PWD>5ebe2294ecd0e0f08eab7690d2a6ee69</PWD>"));
    EXPECT_NE(std::string::npos, requests[1].find("<PWD>14de2d5da652c6991bcd71ea1f0922a3</PWD>"));
}

TEST_F(AsThreadTest, ErrorPaths) {
    struct Case {
        const char* name;
        std::function<std::vector<std::string>(int, const std::string&, const std::string&)> reply;
        int result;
        int connections;
    } const cases[] = {
        {"server code passes", [](int, const std::string& n, const std::string& t) {
             return std::vector<std::string>{"<" + n + " Trid=\"" + t + "\" Rcd=\"12\"/>"}; }, 12, 1},
        {"101 then ok", [](int i, const std::string& n, const std::string& t) {
             return std::vector<std::string>{i == 0 ? "<" + n + " Rcd=\"101\"><CHG>" + kChallenge + "</CHG></" + n + ">"
                                                    : "<" + n + " Trid=\"" + t + "\" Rcd=\"0\"/>"}; }, 0, 2},
        {"101 twice", [](int, const std::string& n, const std::string&) {
             return std::vector<std::string>{"<" + n + " Rcd=\"101\"><CHG>" + kChallenge + "</CHG></" + n + ">"}; }, -100, 2},
        {"101 with a short challenge", [](int, const std::string& n, const std::string&) {
             return std::vector<std::string>{"<" + n + " Rcd=\"101\"><CHG>abc</CHG></" + n + ">"}; }, -100, 1},
        {"wrong root", [](int, const std::string&, const std::string&) {
             return std::vector<std::string>{"<Other Rcd=\"0\"/>"}; }, -100, 1},
        {"wrong Trid", [](int, const std::string& n, const std::string&) {
             return std::vector<std::string>{"<" + n + " Trid=\"999\" Rcd=\"0\"/>"}; }, -100, 1},
        {"malformed", [](int, const std::string& n, const std::string&) {
             return std::vector<std::string>{"<" + n + " Rcd=\"0\"></Wrong>"}; }, -100, 1},
        {"close without data", [](int, const std::string&, const std::string&) {
             return std::vector<std::string>{}; }, -100, 1},
        {"cut off by the close", [](int, const std::string& n, const std::string& t) {
             return std::vector<std::string>{"<" + n + " Trid=\"" + t + "\" Rcd=\"0\"><SRV><SRVID>8886</SRVID>"}; }, -100, 1},
        {"tiny segments", [](int, const std::string& n, const std::string& t) {
             std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><" + n + " Trid=\"" + t + "\" Rcd=\"0\"><DNAME>me</DNAME></" + n + ">";
             std::vector<std::string> parts;
             for (char c : text) parts.push_back(std::string(1, c));
             return parts; }, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpResponder server = Server(c.reply);
        Configure("127.0.0.1", server.Port());
        AsRequest* answer = Run(AS_SYN);
        ASSERT_NE(nullptr, answer);
        EXPECT_EQ(c.result, answer->result);
        if (c.result != 0) {
            EXPECT_EQ(AS_DATA_NONE, answer->kind);  // nothing partial is handed over
        }
        EXPECT_EQ(c.connections, server.Connections());
    }
}

// A server that closes without a word, or in the middle of its reply, gave no answer the check can take.
TEST_F(AsThreadTest, ReplyEndedEarlyIsAResponseError) {
    for (const char* sent : {"", "<SYN Rcd=\"0\"><DNAME>me"}) {
        SCOPED_TRACE(sent);
        TcpResponder server([sent](int, const std::string&) {
            return *sent ? std::vector<std::string>{sent} : std::vector<std::string>{};
        });
        Configure("127.0.0.1", server.Port());
        storetest::TraceCapture trace;
        AsRequest* answer = Run(AS_SYN);
        ASSERT_NE(nullptr, answer);
        EXPECT_EQ(-100, answer->result);
        EXPECT_TRUE(trace.Contains("access server response error"));
        EXPECT_FALSE(trace.Contains("rcv timeout or bad data format"));
    }
}

TEST_F(AsThreadTest, SilentServerTimesOut) {
    AS_SetReplyWaitMs(200);
    std::atomic<bool> release{false};
    TcpResponder server([&](int, const std::string&) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return std::vector<std::string>{};
    });
    Configure("127.0.0.1", server.Port());
    AsRequest* answer = Run(AS_LGT);
    release = true;
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(-100, answer->result);
}

// A large reply that keeps coming finishes although it takes longer than one wait: the exchange's bound
// grows with what arrives.
TEST_F(AsThreadTest, LongLiveReplyFinishes) {
    using Clock = std::chrono::steady_clock;
    const DWORD waitMs = 300;
    AS_SetReplyWaitMs(waitMs);
    TcpResponder server([&](int, const std::string& request) {
        std::vector<std::string> parts{"<?xml version=\"1.0\" encoding=\"UTF-8\"?><" + Name(request) + " Trid=\"" +
                                       Trid(request) + "\" Rcd=\"0\">"};
        for (int i = 0; i < 40; ++i) parts.push_back(std::string(4000, ' '));
        parts.push_back("<DNAME>me</DNAME></" + Name(request) + ">");
        return parts;
    }, 25);
    Configure("127.0.0.1", server.Port());
    auto start = Clock::now();
    AsRequest* answer = Run(AS_SYN);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_NE(nullptr, answer);
    ASSERT_GT(took, static_cast<long>(waitMs));  // longer than one wait, else the case proves nothing
    EXPECT_EQ(0, answer->result);
}

int LineCount(const std::string& path) {
    std::ifstream f(path);
    int n = 0;
    for (std::string line; std::getline(f, line);) ++n;
    return n;
}

// A server that never ends its reply, fast or slow: the exchange ends by the reply's size or its time.
TEST_F(AsThreadTest, EndlessOrDrippingReplyEndsTheExchange) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* fault;
        DWORD exchangeMs;
        int maxSeconds;  // far below what the server would take to stop by itself (never)
    } const cases[] = {
        {"SYN:endless", 30000, 8},    // ended by the size cap long before the deadline
        {"SYN:drip=0.05", 700, 5},    // a byte every 50 ms never lets a wait time out: ended by the deadline
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        AS_SetReplyWaitMs(c.exchangeMs);
        ServiceProcess server("accessserver", {"--fault", c.fault});
        ASSERT_NE(0, server.Port());
        Configure("127.0.0.1", server.Port(), "alice123");
        ASSERT_EQ(0, Run(AS_LGN)->result);
        auto start = Clock::now();
        AsRequest* syn = Run(AS_SYN);
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        ASSERT_NE(nullptr, syn);
        EXPECT_EQ(-100, syn->result);
        EXPECT_EQ(AS_DATA_NONE, syn->kind);
        EXPECT_LT(took, c.maxSeconds * 1000);
        if (c.exchangeMs < 30000) {
            EXPECT_GE(took, static_cast<long>(c.exchangeMs) - 50);
        }
    }
}

// At shutdown the requests queued before the quit still reach the server, in order; only what outlasts the
// wait is cut off, as the end of the process would cut it.
TEST_F(AsThreadTest, StopServesTheQueueAndCutsOnlyWhatOutlastsTheWait) {
    ScratchFolder folder;
    std::string log = folder.File("access.log");
    {
        ServiceProcess server("accessserver", {"--log", log});
        ASSERT_NE(0, server.Port());
        Configure("127.0.0.1", server.Port(), "alice123");
        ASSERT_EQ(0, Run(AS_LGN)->result);
        ASSERT_EQ(1, AS_PostRequest(AS_SYN, nullptr, AS_DATA_NONE));
        ASSERT_EQ(1, AS_PostRequest(AS_LGT, nullptr, AS_DATA_NONE));
        EXPECT_TRUE(AS_StopThread(10000));
        auto answers = frame.Of(WM_AS_RESULT);
        ASSERT_EQ(3u, answers.size());
        for (size_t i = 1; i < 3; ++i) EXPECT_EQ(0, reinterpret_cast<AsRequest*>(answers[i].lParam)->result) << i;
        EXPECT_EQ(3, LineCount(log)) << "both queued requests reached the server";
        ASSERT_TRUE(AS_StartThread());
    }
    AS_SetReplyWaitMs(0);  // the full exchange time: only the stop can end it within the test
    std::string dripLog = folder.File("drip.log");
    ServiceProcess server("accessserver", {"--fault", "SYN:drip=5", "--log", dripLog});
    ASSERT_NE(0, server.Port());
    Configure("127.0.0.1", server.Port(), "alice123");
    size_t before = frame.Of(WM_AS_RESULT).size();
    ASSERT_EQ(0, Run(AS_LGN)->result);
    ASSERT_EQ(1, AS_PostRequest(AS_SYN, nullptr, AS_DATA_NONE));
    ASSERT_EQ(1, AS_PostRequest(AS_LGT, nullptr, AS_DATA_NONE));
    ASSERT_TRUE(PumpUntil([&] { return LineCount(dripLog) == 2; }));  // the server has the SYN and drips
    EXPECT_FALSE(AS_StopThread(500)) << "the dripping exchange outlasts the wait";
    auto answers = frame.Of(WM_AS_RESULT);
    ASSERT_EQ(before + 3, answers.size());  // every request is answered once, the last one unsent
    for (size_t i = before + 1; i < before + 3; ++i) EXPECT_EQ(-100, reinterpret_cast<AsRequest*>(answers[i].lParam)->result);
    EXPECT_EQ(2, LineCount(dripLog));
    ASSERT_TRUE(AS_StartThread());  // a new thread serves again
    Configure("127.0.0.1", server.Port(), "alice123");
    AsRequest* again = Run(AS_LGN);
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(0, again->result);
}

TEST_F(AsThreadTest, UnsentRequestsAreStillAnswered) {
    // Before any configuration: no host.
    AsRequest* early = Run(AS_LGT);
    ASSERT_NE(nullptr, early);
    EXPECT_EQ(-100, early->result);
    for (int bad : {AS_COMMAND_COUNT, -1}) {
        AsRequest* r = Run(bad);
        ASSERT_NE(nullptr, r);
        EXPECT_EQ(-100, r->result);
    }
    // Refused connection.
    int closedPort;
    {
        TcpResponder gone([](int, const std::string&) { return std::vector<std::string>{}; });
        closedPort = gone.Port();
    }
    Configure("127.0.0.1", closedPort);
    EXPECT_EQ(-100, Run(AS_LGT)->result);
    // A builder missing its text: nothing is sent.
    TcpResponder server = Server([](int, const std::string& n, const std::string&) {
        return std::vector<std::string>{"<" + n + "/>"}; });
    Configure("127.0.0.1", server.Port());
    EXPECT_EQ(-100, Run(AS_ADD, nullptr, AS_DATA_NONE)->result);
    ASSERT_TRUE(PumpUntil([&] { return server.Connections() == 1; }));  // the server notes the close after our answer
    EXPECT_EQ("", server.Requests()[0]);
    // A configuration with port 0 keeps host and port.
    Configure("nowhere.invalid", 0);
    EXPECT_EQ(0, Run(AS_LGT)->result);
    EXPECT_EQ(2, server.Connections());
}

TEST_F(AsThreadTest, AnswerWithoutFrameIsFreedByTheThread) {
    TcpResponder server = Server([](int, const std::string& n, const std::string&) {
        return std::vector<std::string>{"<" + n + " Rcd=\"0\"><GID>g</GID></" + n + ">"}; });
    Configure("127.0.0.1", server.Port());
    g_hMainWnd = nullptr;
    ASSERT_EQ(1, AS_SendCommand(AS_ADG, "", "0", 0, "g", nullptr, 0));
    ASSERT_TRUE(PumpUntil([&] { return server.Connections() == 1; }));
    EXPECT_TRUE(AS_StopThread(5000));  // the unposted answer and its parameters are freed by the thread
    g_hMainWnd = frame.Window();
    EXPECT_TRUE(frame.Of(WM_AS_RESULT).empty());
    ASSERT_TRUE(AS_StartThread());
}

std::atomic<int> g_lookups{0};
bool FailingLookup(const char*, uint32_t*) {
    ++g_lookups;
    return false;
}

TEST_F(AsThreadTest, UnresolvableServerIsLookedUpThreeTimes) {
    plat::TestClock clock;
    clock.set_sleep_advances(true);  // the pauses between lookups take no time
    g_lookups = 0;
    ResolveHost_SetLookup(FailingLookup);
    Configure("access.invalid", 7100);
    AsRequest* answer = Run(AS_LGN);
    ResolveHost_SetLookup(nullptr);
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(AS_RESULT_NONE, answer->result);
    EXPECT_EQ(3, g_lookups.load());
}

TEST(AsServerConfig, TextsAreBounded) {
    std::string host(259, 'h');
    AsServerConfig* ok = AsServerConfig_New("u", "p", host.c_str(), 1, 0);
    ASSERT_NE(nullptr, ok);
    EXPECT_EQ(host, ok->host);
    free(ok);
    host += 'h';
    EXPECT_EQ(nullptr, AsServerConfig_New("u", "p", host.c_str(), 1, 0));
    EXPECT_EQ(nullptr, AsServerConfig_New(std::string(257, 'u').c_str(), "p", "h", 1, 0));
    EXPECT_EQ(nullptr, AsServerConfig_New("u", std::string(259, 'p').c_str(), "h", 1, 0));
}

TEST(AsPost, NoThreadKeepsTheCallersData) {
    DWORD saved = g_idAsThread;
    g_idAsThread = 0;
    EXPECT_EQ(0, AS_PostRequest(AS_LGT, nullptr, 0));
    EXPECT_EQ(0, AS_SendCommand(AS_BLK, "1", nullptr, 0, nullptr, nullptr, 0));
    g_idAsThread = saved;
}

}  // namespace
