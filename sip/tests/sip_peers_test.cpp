// The user agent with real peers on loopback: kamailio as registrar and loose-routing proxy with
// Digest, sipp behind it, and baresip as a phone that calls us and that we call.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "peer_configs.h"
#include "sip_harness.h"
#include "sipp_runner.h"

using namespace siptest;

namespace {

std::string TempDir(const char* name) {
    std::string tmpl = std::string("/tmp/") + name + "_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : "/tmp";
}

bool WaitForText(const std::string& file, const std::string& text, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (ReadAll(file).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// kamailio on a loopback port with a generated configuration.
class Kamailio {
public:
    int port = 0;
    std::string dir;
    ~Kamailio() {
        child_.Stop();
        RemoveScratch(dir);
    }
    static std::string Binary() { return FindProgram("kamailio"); }
    bool Start(const std::map<std::string, int>& fixed = {}) {
        port = FreeUdpPort();
        dir = TempDir("sip_kamailio");
        std::ofstream(dir + "/kamailio.cfg") << KamailioConfig(port, "secret", fixed);
        bool ok = child_.Start({Binary(), "-f", dir + "/kamailio.cfg", "-DD", "-E", "-Y", dir, "-w", dir, "-m", "32",
                                "-M", "4", "-a", "no"},
                               dir + "/kamailio.log");
        // Ready once it has bound its port.
        return ok && WaitForText(dir + "/kamailio.log", "INFO: <core>", 5000) && Ready();
    }
    void Stop() { child_.Stop(); }
    std::string Log() const { return ReadAll(dir + "/kamailio.log").substr(0, 6000); }

private:
    bool Ready() { return test_ports::WaitUdpBound(port, 10000); }
    Child child_;
};

class KamailioTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (Kamailio::Binary().empty()) GTEST_SKIP() << "kamailio is not installed";
        if (Sipp::Binary().empty()) GTEST_SKIP() << "sipp is not installed";
        h.Start();
    }
    void TearDown() override {
        if (!Kamailio::Binary().empty() && !Sipp::Binary().empty()) {
            h.Stop();
            kam.Stop();
        }
    }
    Harness h;
    Kamailio kam;
};

TEST_F(KamailioTest, RegistersWithDigest) {
    ASSERT_TRUE(kam.Start()) << kam.Log();
    h.Register("alice", "secret", kam.port);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_START, nullptr, 8000)) << kam.Log();
    std::vector<std::string> regs = SentMessages("REGISTER");
    ASSERT_EQ(2u, regs.size());
    std::string auth = Header(regs[1], "Authorization");
    EXPECT_NE(std::string::npos, auth.find("qop=auth")) << auth;
    EXPECT_NE(std::string::npos, auth.find("realm=\"127.0.0.1\"")) << auth;
    EXPECT_NE(std::string::npos, Header(regs[1], "Contact").find(":" + std::to_string(h.sipPort) + ">"));
}

TEST_F(KamailioTest, WrongPasswordIsReportedAfterBoundedRetries) {
    ASSERT_TRUE(kam.Start()) << kam.Log();
    h.Register("alice", "not-the-secret", kam.port);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!TraceHas("CMEVT_OSIP_STOPPED, 401") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(TraceHas("CMEVT_OSIP_STOPPED, 401"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(3u, SentMessages("REGISTER").size());
}

TEST_F(KamailioTest, CallThroughTheProxyAndBackFollowsTheRouteSet) {
    int bobPort = FreeUdpPort();
    ASSERT_TRUE(kam.Start({{"bob", bobPort}})) << kam.Log();
    h.Register("alice", "secret", kam.port);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_START, nullptr, 8000)) << kam.Log();
    std::string proxy = "127.0.0.1:" + std::to_string(kam.port);

    // Out: alice -> kamailio -> bob (sipp), ACK and BYE along the recorded route.
    Sipp bob;
    ASSERT_TRUE(bob.Start("kam_bob_uas.xml", {}, "", 1, 20, bobPort));
    int call = -1;
    int cnx = h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER, nullptr, 8000)) << bob.Errors() << kam.Log();
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    EXPECT_EQ(0, bob.Wait()) << bob.Errors() << kam.Log();
    std::vector<std::string> acks = SentMessages("ACK");
    std::vector<std::string> byes = SentMessages("BYE");
    ASSERT_EQ(1u, acks.size());
    ASSERT_EQ(1u, byes.size());
    std::string route = "<sip:" + proxy + ";lr";
    EXPECT_EQ(0u, Header(acks[0], "Route").find(route)) << acks[0];
    EXPECT_EQ(0u, Header(byes[0], "Route").find(route)) << byes[0];
    EXPECT_EQ(0u, acks[0].find("ACK sip:bob@127.0.0.1:" + std::to_string(bob.port))) << acks[0];
    EXPECT_EQ(0u, byes[0].find("BYE sip:bob@127.0.0.1:" + std::to_string(bob.port))) << byes[0];
    EXPECT_EQ(proxy, Destinations("ACK").at(0));
    EXPECT_EQ(proxy, Destinations("BYE").at(0));

    // Back: carol (sipp) -> kamailio -> alice, who answers; carol's ACK and BYE come through the proxy.
    Sipp carol;
    ASSERT_TRUE(carol.Start("kam_carol_uac.xml", {}, proxy));
    Notice in;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &in, 8000)) << carol.Errors() << kam.Log();
    CM_SendEvent(in.call, in.cnx, CMEVT_CONNECT, -1, -1, nullptr);
    Notice bye;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &bye, 8000)) << carol.Errors() << kam.Log();
    EXPECT_EQ(VOIP_CODE_REMOTE_BYE, bye.p3);
    EXPECT_EQ(0, carol.Wait()) << carol.Errors();
    std::string answer;
    for (const std::string& m : SentMessages("200")) {
        if (Header(m, "CSeq").find("INVITE") != std::string::npos) answer = m;
    }
    EXPECT_EQ(0u, Header(answer, "Record-Route").find(route)) << answer;
}

// ----------------------------------------------------------------------------------------------
// baresip

class Baresip {
public:
    int port = 0;
    std::string dir;
    ~Baresip() {
        child_.Stop();
        RemoveScratch(dir);
    }
    static std::string Binary() { return FindProgram("baresip"); }
    bool Start(const std::string& user, int proxyPort, bool autoAnswer, const std::vector<std::string>& extra = {}) {
        port = FreeUdpTcpPort();
        const int rtp = test_ports::Reserve(kBaresipRtpPorts);
        dir = TempDir("sip_baresip");
        WriteBaresipConfig(dir, port, rtp, user, "secret", proxyPort, autoAnswer);
        std::vector<std::string> args = {Binary(), "-4", "-f", dir};
        for (const std::string& e : extra) args.push_back(e);
        return child_.Start(args, dir + "/baresip.log");
    }
    bool Registered(int ms = 8000) { return WaitForText(dir + "/baresip.log", "200 OK", ms); }
    int Wait(int ms) { return child_.Wait(ms); }
    void Stop() { child_.Stop(); }
    std::string Log() const { return ReadAll(dir + "/baresip.log").substr(0, 6000); }

private:
    Child child_;
};

class BaresipTest : public KamailioTest {
protected:
    void SetUp() override {
        if (Baresip::Binary().empty()) GTEST_SKIP() << "baresip is not installed";
        KamailioTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(kam.Start()) << kam.Log();
        h.Register("alice", "secret", kam.port);
        ASSERT_TRUE(h.WaitFor(VOIPEVT_START, nullptr, 8000)) << kam.Log();
    }
    void TearDown() override {
        phone.Stop();
        if (!Baresip::Binary().empty()) KamailioTest::TearDown();
    }
    Baresip phone;
};

std::string InviteAnswer() {
    for (const std::string& m : SentMessages("200")) {
        if (Header(m, "CSeq").find("INVITE") != std::string::npos) return m;
    }
    return "";
}

TEST_F(BaresipTest, BaresipCallsUsWeAnswerWithPcmuAndItHangsUp) {
    // baresip dials at once and quits (hanging up) after a few seconds.
    ASSERT_TRUE(phone.Start("bob", kam.port, false, {"-e", "/dial sip:alice@127.0.0.1", "-t", "4"}));
    Notice in;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &in, 8000)) << phone.Log() << kam.Log();
    EXPECT_EQ("bob@127.0.0.1", in.text);
    std::string offer = ReceivedMessages("INVITE").at(0);
    EXPECT_NE(std::string::npos, Body(offer).find("PCMU/8000")) << offer;
    CM_SendEvent(in.call, in.cnx, CMEVT_CONNECT, -1, -1, nullptr);
    Notice bye;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &bye, 10000)) << phone.Log();
    EXPECT_EQ(VOIP_CODE_REMOTE_BYE, bye.p3);
    // Its telephone events are answered under its own number, which ours go out under.
    std::string answer = InviteAnswer();
    std::string events = Body(offer).substr(0, Body(offer).find(" telephone-event/8000"));
    events = events.substr(events.rfind(':') + 1);
    EXPECT_TRUE(IsAudioLine(MediaLine(Body(answer)), "0 " + events)) << answer;
    EXPECT_NE(std::string::npos, Body(answer).find("a=rtpmap:" + events + " telephone-event/8000")) << answer;
    {
        std::lock_guard<std::mutex> g(h.bridge.mu);
        ASSERT_EQ(1u, h.bridge.dtmfPayload.size()) << offer;
        EXPECT_EQ(atoi(events.c_str()), h.bridge.dtmfPayload.begin()->second) << offer;
    }
    EXPECT_EQ(0, phone.Wait(5000)) << phone.Log();
}

TEST_F(BaresipTest, WeCallBaresipItAnswersWithPcmuAndWeHangUp) {
    ASSERT_TRUE(phone.Start("bob", kam.port, true));
    ASSERT_TRUE(phone.Registered()) << phone.Log() << kam.Log();
    int call = -1;
    int cnx = h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER, nullptr, 8000)) << phone.Log() << kam.Log();
    std::string ok;
    for (const std::string& m : ReceivedMessages("200")) {
        if (Header(m, "CSeq").find("INVITE") != std::string::npos) ok = m;
    }
    EXPECT_TRUE(IsAudioLine(MediaLine(Body(ok)), "0 106")) << ok;
    {
        std::lock_guard<std::mutex> g(h.bridge.mu);
        ASSERT_EQ(1u, h.bridge.dtmfPayload.size()) << ok;
        EXPECT_EQ(106, h.bridge.dtmfPayload.begin()->second);
    }
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    ASSERT_TRUE(WaitSent("BYE"));
    // baresip answers the BYE (through the proxy).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool answered = false;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        for (const std::string& m : ReceivedMessages("200")) answered = answered || Header(m, "CSeq").find("BYE") != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(answered) << phone.Log();
}

}  // namespace
