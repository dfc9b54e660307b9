// The user agent against sipp on loopback: registration with Digest, outgoing calls, PRACK.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "platform/md5.h"
#include "sip_harness.h"
#include "sipp_runner.h"

using namespace siptest;

namespace {

// The Digest response a server computes from the credentials header and the shared secret.
std::string ServerResponse(const std::string& auth, const std::string& method, const std::string& password) {
    std::string ha1 = plat::Md5Hex(AuthParam(auth, "username") + ":" + AuthParam(auth, "realm") + ":" + password);
    std::string ha2 = plat::Md5Hex(method + ":" + AuthParam(auth, "uri"));
    std::string nonce = AuthParam(auth, "nonce");
    std::string qop = AuthParam(auth, "qop");
    if (qop.empty()) return plat::Md5Hex(ha1 + ":" + nonce + ":" + ha2);
    return plat::Md5Hex(ha1 + ":" + nonce + ":" + AuthParam(auth, "nc") + ":" + AuthParam(auth, "cnonce") + ":" + qop +
                        ":" + ha2);
}

class SippTest : public ::testing::Test {
public:
    void SetUp() override {
        if (Sipp::Binary().empty()) GTEST_SKIP() << "sipp is not installed";
        clock = std::make_unique<plat::TestClock>(1000000);
        h.Start();
    }
    void TearDown() override {
        if (clock) {
            h.Stop();
            clock.reset();
        }
    }
    // Our address, for scenarios where sipp sends requests to us.
    std::string Us() const { return "127.0.0.1:" + std::to_string(h.sipPort); }
    // Registers through the sipp scenario's REGISTER branch.
    void Register() {
        h.Register("alice", "secret", sipp.port);
        ASSERT_TRUE(h.WaitFor(VOIPEVT_START)) << sipp.Errors();
    }
    // Registers, answers the call the scenario offers, waits for its end and returns the SDP of our
    // 200 to the INVITE (empty when there was none).
    std::string AnswerOfferedCall() {
        h.Register("alice", "secret", sipp.port);
        Notice call;
        if (!h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &call)) return {};
        CM_SendEvent(call.call, call.cnx, CMEVT_CONNECT, -1, -1, nullptr);
        EXPECT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT)) << sipp.Errors();
        EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
        std::string answer;
        for (const std::string& m : SentMessages("200"))
            if (Header(m, "CSeq").find("INVITE") != std::string::npos) answer = m;
        return answer.empty() ? std::string() : Body(answer);
    }
    std::unique_ptr<plat::TestClock> clock;
    Harness h;
    Sipp sipp;
};

// ----------------------------------------------------------------------------------------------
// Registration

struct RegCase {
    const char* scenario;
    const char* qop;
    const char* authHeader;
};
void PrintTo(const RegCase& c, std::ostream* os) { *os << c.scenario << (c.qop[0] != '\0' ? " qop" : " no-qop"); }

class SippRegisterTest : public SippTest, public ::testing::WithParamInterface<RegCase> {};

TEST_P(SippRegisterTest, ChallengedAcceptedAndRefreshedInTheSameRegistration) {
    const RegCase& c = GetParam();
    ASSERT_TRUE(sipp.Start(c.scenario, {"-key", "challenge_nonce", "5e1f00d", "-key", "challenge_qop", c.qop}));
    h.Register("alice", "secret", sipp.port);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_START, nullptr, 8000)) << sipp.Errors();
    // expires 60: refreshed after 30 s of the clock.
    clock->advance(31000);
    ASSERT_TRUE(WaitSent("REGISTER", 3)) << sipp.Errors();
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();

    std::vector<std::string> regs = SentMessages("REGISTER");
    ASSERT_GE(regs.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(Header(regs[0], "Call-ID"), Header(regs[i], "Call-ID"));
        EXPECT_EQ(Param(Header(regs[0], "From"), "tag"), Param(Header(regs[i], "From"), "tag"));
        EXPECT_EQ(CseqNumber(regs[i - 1]) + 1, CseqNumber(regs[i]));
    }
    EXPECT_EQ("1800", Header(regs[0], "Expires"));
    std::string auth = Header(regs[1], c.authHeader);
    ASSERT_FALSE(auth.empty()) << regs[1];
    EXPECT_EQ(ServerResponse(auth, "REGISTER", "secret"), AuthParam(auth, "response"));
    EXPECT_EQ("5e1f00d", AuthParam(auth, "nonce"));
    EXPECT_EQ("MD5", AuthParam(auth, "algorithm"));
    if (std::string(c.qop).empty()) {
        EXPECT_EQ("", AuthParam(auth, "qop"));
    } else {
        EXPECT_EQ("auth", AuthParam(auth, "qop"));
        EXPECT_EQ("00000001", AuthParam(auth, "nc"));
    }
    EXPECT_EQ(1, h.Count(VOIPEVT_START));
}

INSTANTIATE_TEST_SUITE_P(Challenges, SippRegisterTest,
                         ::testing::Values(RegCase{"reg_www_auth.xml", ", qop=\"auth\"", "Authorization"},
                                           RegCase{"reg_www_auth.xml", "", "Authorization"},
                                           RegCase{"reg_proxy_auth.xml", ", qop=\"auth\"", "Proxy-Authorization"},
                                           RegCase{"reg_proxy_auth.xml", "", "Proxy-Authorization"}));

TEST_F(SippTest, RegisterRefusedWith403StopsTheService) {
    ASSERT_TRUE(sipp.Start("reg_forbidden.xml"));
    h.Register("alice", "secret", sipp.port);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!TraceHas("CMEVT_OSIP_STOPPED, 403") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(TraceHas("CMEVT_OSIP_STOPPED, 403"));
    EXPECT_FALSE(h.Seen(VOIPEVT_START));
}

// ----------------------------------------------------------------------------------------------
// Outgoing calls

TEST_F(SippTest, OutgoingCallAnsweredThenPeerHangsUp) {
    ASSERT_TRUE(sipp.Start("out_answered_peer_bye.xml", {}, "", 2));
    Register();
    int call = -1;
    int cnx = h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ALERT)) << sipp.Errors();
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER)) << sipp.Errors();
    Notice n;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &n)) << sipp.Errors();
    EXPECT_EQ(VOIP_CODE_REMOTE_BYE, n.p3);
    EXPECT_EQ(cnx, n.cnx);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();

    std::vector<std::string> invites = SentMessages("INVITE");
    ASSERT_EQ(1u, invites.size());
    const std::string& inv = invites[0];
    EXPECT_TRUE(inv.rfind("INVITE sip:bob@127.0.0.1 SIP/2.0\r\n", 0) == 0) << inv;
    EXPECT_EQ("70", Header(inv, "Max-Forwards"));
    EXPECT_TRUE(IsOurVia(Header(inv, "Via"), true)) << Header(inv, "Via");
    EXPECT_EQ("VORLIK/Quorel-1.0", Header(inv, "User-Agent"));
    EXPECT_EQ(32u, Param(Header(inv, "From"), "tag").size());
    std::string sdp = Body(inv);
    EXPECT_NE(std::string::npos, sdp.find("s=A conversation\r\n")) << sdp;
    EXPECT_TRUE(IsAudioLine(MediaLine(sdp), "102 0 106")) << sdp;
    EXPECT_NE(std::string::npos, sdp.find("a=rtpmap:102 iLBC/8000")) << sdp;
    EXPECT_NE(std::string::npos, sdp.find("a=rtpmap:0 pcmu/8000")) << sdp;
    EXPECT_NE(std::string::npos, sdp.find("a=rtpmap:106 telephone-event/8000\r\na=fmtp:106 0-15\r\n")) << sdp;
    std::vector<std::string> acks = SentMessages("ACK");
    ASSERT_EQ(1u, acks.size());
    EXPECT_EQ(CseqNumber(inv), CseqNumber(acks[0]));
    EXPECT_EQ(1u, SentMessages("200").size());  // our 200 to the peer's BYE
}

// An answer's telephone events, before or after its codec, give the number ours go out under.
struct EventAnswerCase {
    const char* name;
    const char* payloads;
};
void PrintTo(const EventAnswerCase& c, std::ostream* os) { *os << c.name; }
class SippEventAnswerTest : public SippTest, public ::testing::WithParamInterface<EventAnswerCase> {};

TEST_P(SippEventAnswerTest, GivesThePeersNumberToTheEngine) {
    ASSERT_TRUE(sipp.Start("out_event_answer.xml",
                           {"-key", "answer_payloads", GetParam().payloads, "-key", "event_pt", "101"}, "", 2));
    Register();
    int call = -1;
    h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER)) << sipp.Errors();
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT)) << sipp.Errors();
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    std::lock_guard<std::mutex> g(h.bridge.mu);
    ASSERT_EQ(1u, h.bridge.dtmfPayload.size());
    EXPECT_EQ(101, h.bridge.dtmfPayload.begin()->second);
}

INSTANTIATE_TEST_SUITE_P(Answers, SippEventAnswerTest,
                         ::testing::Values(EventAnswerCase{"EventsFirst", "101 0"}, EventAnswerCase{"EventsLast", "0 101"}),
                         [](const ::testing::TestParamInfo<EventAnswerCase>& i) { return std::string(i.param.name); });

TEST_F(SippTest, EarlyMediaIsReportedAsAlertWithSdp) {
    ASSERT_TRUE(sipp.Start("out_early_media.xml", {}, "", 2));
    Register();
    int call = -1;
    int cnx = h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ALERT_SDP)) << sipp.Errors();
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER)) << sipp.Errors();
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_ALERT));
    EXPECT_TRUE(TraceHas("CCEVT_REMOTE_ALERT_SDP"));
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    EXPECT_EQ(1u, SentMessages("BYE").size());
}

TEST_F(SippTest, BusyCalleeEndsTheCallWith486) {
    ASSERT_TRUE(sipp.Start("out_busy.xml", {}, "", 2));
    Register();
    h.Call("bob");
    Notice n;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &n)) << sipp.Errors();
    EXPECT_EQ(486, n.p3);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    EXPECT_TRUE(h.WaitFor(VOIPEVT_RELEASE_CALL));
}

struct AuthCase {
    const char* scenario;
    const char* credentials;
};
void PrintTo(const AuthCase& c, std::ostream* os) { *os << c.scenario; }
class SippInviteAuthTest : public SippTest, public ::testing::WithParamInterface<AuthCase> {};

TEST_P(SippInviteAuthTest, ChallengedInviteIsSentAgainWithCredentials) {
    const AuthCase& c = GetParam();
    ASSERT_TRUE(sipp.Start(c.scenario, {}, "", 2));
    Register();
    h.Call("bob");
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER)) << sipp.Errors();
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT)) << sipp.Errors();
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    std::vector<std::string> invites = SentMessages("INVITE");
    ASSERT_EQ(2u, invites.size());
    EXPECT_EQ(CseqNumber(invites[0]) + 1, CseqNumber(invites[1]));
    EXPECT_EQ(Header(invites[0], "Call-ID"), Header(invites[1], "Call-ID"));
    EXPECT_NE(Param(Header(invites[0], "Via"), "branch"), Param(Header(invites[1], "Via"), "branch"));
    std::string auth = Header(invites[1], c.credentials);
    ASSERT_FALSE(auth.empty()) << invites[1];
    EXPECT_EQ(ServerResponse(auth, "INVITE", "secret"), AuthParam(auth, "response"));
    EXPECT_FALSE(Body(invites[1]).empty());
}

INSTANTIATE_TEST_SUITE_P(Challenges, SippInviteAuthTest,
                         ::testing::Values(AuthCase{"out_challenged_401.xml", "Authorization"},
                                           AuthCase{"out_challenged_407.xml", "Proxy-Authorization"}));

TEST_F(SippTest, A200SentTwiceIsAcknowledgedTwice) {
    ASSERT_TRUE(sipp.Start("out_double_200.xml", {}, "", 2));
    Register();
    int call = -1;
    int cnx = h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER)) << sipp.Errors();
    ASSERT_TRUE(WaitSent("ACK", 2)) << sipp.Errors();
    std::vector<std::string> acks = SentMessages("ACK");
    EXPECT_EQ(CseqNumber(acks[0]), CseqNumber(acks[1]));
    EXPECT_EQ(Header(acks[0], "Call-ID"), Header(acks[1], "Call-ID"));
    EXPECT_EQ(1, h.Count(VOIPEVT_REMOTE_ANSWER));
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
}

TEST_F(SippTest, HangingUpWhileRingingCancelsTheInvite) {
    ASSERT_TRUE(sipp.Start("out_cancel.xml", {}, "", 2));
    Register();
    int call = -1;
    int cnx = h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ALERT)) << sipp.Errors();
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    std::vector<std::string> cancels = SentMessages("CANCEL");
    ASSERT_EQ(1u, cancels.size());
    std::string inv = SentMessages("INVITE").at(0);
    EXPECT_EQ(CseqNumber(inv), CseqNumber(cancels[0]));
    EXPECT_EQ(Param(Header(inv, "Via"), "branch"), Param(Header(cancels[0], "Via"), "branch"));
    EXPECT_TRUE(Body(cancels[0]).empty());
    ASSERT_TRUE(WaitSent("ACK", 1));  // the ACK of the 487
    EXPECT_TRUE(SentMessages("BYE").empty());
}

TEST_F(SippTest, EveryReliableProvisionalIsPracked) {
    ASSERT_TRUE(sipp.Start("out_prack.xml", {}, "", 2));
    Register();
    int call = -1;
    int cnx = h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER)) << sipp.Errors();
    std::vector<std::string> pracks = SentMessages("PRACK");
    ASSERT_EQ(2u, pracks.size());
    std::string inv = SentMessages("INVITE").at(0);
    EXPECT_EQ("1 " + std::to_string(CseqNumber(inv)) + " INVITE", Header(pracks[0], "RAck"));
    EXPECT_EQ("2 " + std::to_string(CseqNumber(inv)) + " INVITE", Header(pracks[1], "RAck"));
    EXPECT_LT(CseqNumber(inv), CseqNumber(pracks[0]));
    EXPECT_LT(CseqNumber(pracks[0]), CseqNumber(pracks[1]));
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
}

// RSeq 1, then 3 (a gap), a late repeat of 1, then 2: only 1 and 2 are acknowledged. A PRACK for
// 3 or for the repeat would be refused 481, which ends the INVITE's dialog before its 200.
TEST_F(SippTest, OnlyTheNextReliableProvisionalInOrderIsPracked) {
    ASSERT_TRUE(sipp.Start("out_prack_order.xml", {}, "", 2));
    Register();
    int call = -1;
    int cnx = h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER)) << sipp.Errors();
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_DISCONNECT));
    std::vector<std::string> pracks = SentMessages("PRACK");
    ASSERT_EQ(2u, pracks.size());
    std::string inv = SentMessages("INVITE").at(0);
    EXPECT_EQ("1 " + std::to_string(CseqNumber(inv)) + " INVITE", Header(pracks[0], "RAck"));
    EXPECT_EQ("2 " + std::to_string(CseqNumber(inv)) + " INVITE", Header(pracks[1], "RAck"));
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    EXPECT_EQ(1u, SentMessages("ACK").size());
    EXPECT_EQ(1u, SentMessages("BYE").size());
}

// ----------------------------------------------------------------------------------------------
// Incoming calls (sipp registers us first: datagrams are only read once a REGISTER went out)

TEST_F(SippTest, IncomingCallAnsweredWithAnSdpAnswer) {
    ASSERT_TRUE(sipp.Start("in_answered.xml", {}, Us()));
    h.Register("alice", "secret", sipp.port);
    Notice call;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &call)) << sipp.Errors();
    EXPECT_EQ("carol@127.0.0.1", call.text);
    EXPECT_EQ(VOIP_CODE_NEW_CALL, call.p3);
    ASSERT_TRUE(WaitSent("180"));
    CM_SendEvent(call.call, call.cnx, CMEVT_CONNECT, -1, -1, nullptr);
    Notice bye;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &bye)) << sipp.Errors();
    EXPECT_EQ(VOIP_CODE_REMOTE_BYE, bye.p3);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();

    std::vector<std::string> oks = SentMessages("200");
    std::string answer;
    for (const std::string& m : oks) {
        if (Header(m, "CSeq").find("INVITE") != std::string::npos) answer = m;
    }
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ("application/sdp", Header(answer, "Content-Type"));
    std::string sdp = Body(answer);
    EXPECT_TRUE(IsAudioLine(MediaLine(sdp), "0")) << sdp;
    EXPECT_NE(std::string::npos, sdp.find("s=A conversation")) << sdp;
    EXPECT_EQ(Param(Header(SentMessages("180").at(0), "To"), "tag"), Param(Header(answer, "To"), "tag"));
    EXPECT_FALSE(Header(answer, "Contact").empty());
    // The 100 has a tag of its own; responses carry no User-Agent.
    ASSERT_FALSE(SentMessages("100").empty());
    EXPECT_EQ(32u, Param(Header(SentMessages("100").at(0), "To"), "tag").size());
    EXPECT_TRUE(Header(answer, "User-Agent").empty()) << answer;
}

// A ringing incoming call that the caller's scenario ends: the end reaches call control as the
// peer's, the INVITE is answered 487 once, and every connection is free again. The 487 is returned.
std::string RingingCallEndedByThePeer(SippTest& t, const char* scenario) {
    EXPECT_TRUE(t.sipp.Start(scenario, {}, t.Us()));
    t.h.Register("alice", "secret", t.sipp.port);
    EXPECT_TRUE(t.h.WaitFor(VOIPEVT_REMOTE_NEWCALL)) << t.sipp.Errors();
    Notice n;
    EXPECT_TRUE(t.h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &n)) << t.sipp.Errors();
    EXPECT_EQ(VOIP_CODE_REMOTE_BYE, n.p3);
    EXPECT_EQ(0, t.sipp.Wait()) << t.sipp.Errors();
    const std::vector<std::string> answers = SentMessages("487");
    EXPECT_EQ(1u, answers.size());
    EXPECT_TRUE(t.h.WaitFor(VOIPEVT_RELEASE_CALL));
    EXPECT_EQ(CC_MAX_CNX_NUM, t.h.IdleConnections());
    return answers.empty() ? std::string() : answers[0];
}

TEST_F(SippTest, IncomingCallCancelledWhileRinging) { RingingCallEndedByThePeer(*this, "in_cancel.xml"); }

// A BYE in the early dialog ends the call, and the INVITE still waiting gets its 487 (RFC 3261
// 15.1.2): the scenario waits for both.
TEST_F(SippTest, ByeWhileRingingIsAnsweredAndTheInviteGets487) {
    const std::string answer = RingingCallEndedByThePeer(*this, "in_early_bye.xml");
    EXPECT_NE(std::string::npos, Header(answer, "CSeq").find("INVITE"));
}

TEST_F(SippTest, IncomingInviteWithoutBodyIsRefusedWith400) {
    ASSERT_TRUE(sipp.Start("in_no_body.xml", {}, Us()));
    h.Register("alice", "secret", sipp.port);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    EXPECT_EQ(1u, SentMessages("400").size());
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_NEWCALL));
}

struct OfferCase {
    const char* payloads;
    const char* attrs;
};
void PrintTo(const OfferCase& c, std::ostream* os) { *os << "m=audio " << c.payloads << " " << c.attrs; }
class SippBadOfferTest : public SippTest, public ::testing::WithParamInterface<OfferCase> {};

TEST_P(SippBadOfferTest, OfferWithoutAcceptableCodecIsRefusedAndNothingLeaks) {
    ASSERT_TRUE(sipp.Start("in_bad_offer.xml", {"-key", "offer_payloads", GetParam().payloads, "-key", "offer_attrs",
                                                GetParam().attrs},
                           Us()));
    h.Register("alice", "secret", sipp.port);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    EXPECT_EQ(1u, SentMessages("488").size());
    EXPECT_TRUE(SentMessages("180").empty());
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_NEWCALL));
    EXPECT_EQ(CC_MAX_CNX_NUM, h.IdleConnections());
    EXPECT_EQ(0, CM_GetActiveCallNum());
    EXPECT_EQ(0u, h.bridge.Channels());
}

INSTANTIATE_TEST_SUITE_P(Offers, SippBadOfferTest,
                         ::testing::Values(OfferCase{"8", "a=rtpmap:8 PCMA/8000"},
                                           OfferCase{"0", "a=ptime:40"},
                                           OfferCase{"102", "a=rtpmap:102 opus/48000/2"},
                                           OfferCase{"96", "a=rtpmap:96 iLBC/16000"},
                                           OfferCase{"101", "a=rtpmap:101 telephone-event/8000"},
                                           OfferCase{"101 8", "a=rtpmap:101 telephone-event/8000"}));

// A dynamic payload number means our codec when its rtpmap names it (encoding name and clock
// rate); the answer keeps the offerer's number.
class SippDynamicOfferTest : public SippTest, public ::testing::WithParamInterface<OfferCase> {};

TEST_P(SippDynamicOfferTest, IlbcOnAnyDynamicNumberIsAcceptedUnderThatNumber) {
    ASSERT_TRUE(sipp.Start("in_dynamic_offer.xml",
                           {"-key", "offer_payloads", GetParam().payloads, "-key", "offer_attrs", GetParam().attrs}, Us()));
    const std::string sdp = AnswerOfferedCall();
    ASSERT_FALSE(sdp.empty()) << sipp.Errors();
    EXPECT_TRUE(IsAudioLine(MediaLine(sdp), GetParam().payloads)) << sdp;
    std::string lower = sdp;
    for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    EXPECT_NE(std::string::npos, lower.find("a=rtpmap:" + std::string(GetParam().payloads) + " ilbc/8000")) << sdp;
    // The engine is told iLBC.
    std::lock_guard<std::mutex> g(h.bridge.mu);
    ASSERT_EQ(1u, h.bridge.codec.size());
    EXPECT_EQ(Sonra_PayloadToCodecIndex(102), h.bridge.codec.begin()->second);
    // ...sending and receiving it under the offerer's number.
    ASSERT_EQ(1u, h.bridge.peerNumber.size());
    EXPECT_EQ(atoi(GetParam().payloads), h.bridge.peerNumber.begin()->second);
}

INSTANTIATE_TEST_SUITE_P(Offers, SippDynamicOfferTest,
                         ::testing::Values(OfferCase{"96", "a=rtpmap:96 iLBC/8000"},
                                           OfferCase{"97", "a=rtpmap:97 iLBC/8000"},
                                           OfferCase{"98", "a=rtpmap:98 ILBC/8000"}));

// Telephone events offered beside a codec, before or after it, are answered under the offer's own
// number, which ours go out under; events on a line without a codec of ours are not answered.
struct EventOfferCase {
    const char* name;
    const char* payloads;
    const char* eventPt;
    const char* attrs;
    const char* answered;  // formats of our answer
    int answeredEvents;    // our number for the events in the answer (0: not answered)
    int sentUnder;         // number our events go out under (0: the engine is not told)
};
void PrintTo(const EventOfferCase& c, std::ostream* os) { *os << c.name; }
class SippEventOfferTest : public SippTest, public ::testing::WithParamInterface<EventOfferCase> {};

TEST_P(SippEventOfferTest, IsAnsweredAndReachesTheEngine) {
    const EventOfferCase& c = GetParam();
    ASSERT_TRUE(sipp.Start("in_event_offer.xml",
                           {"-key", "offer_payloads", c.payloads, "-key", "event_pt", c.eventPt, "-key", "offer_attrs",
                            c.attrs},
                           Us()));
    const std::string sdp = AnswerOfferedCall();
    ASSERT_FALSE(sdp.empty()) << sipp.Errors();
    EXPECT_TRUE(IsAudioLine(MediaLine(sdp), c.answered)) << sdp;
    std::string events = std::to_string(c.answeredEvents);
    if (c.answeredEvents != 0) {
        EXPECT_NE(std::string::npos, sdp.find("a=rtpmap:" + events + " telephone-event/8000\r\na=fmtp:" + events + " 0-15\r\n"))
            << sdp;
    } else {
        EXPECT_EQ(std::string::npos, sdp.find("telephone-event")) << sdp;
    }
    std::lock_guard<std::mutex> g(h.bridge.mu);
    EXPECT_EQ(Sonra_PayloadToCodecIndex(0), h.bridge.codec.begin()->second);
    if (c.sentUnder == 0) {
        EXPECT_TRUE(h.bridge.dtmfPayload.empty());
    } else {
        ASSERT_EQ(1u, h.bridge.dtmfPayload.size());
        EXPECT_EQ(c.sentUnder, h.bridge.dtmfPayload.begin()->second);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Offers, SippEventOfferTest,
    ::testing::Values(EventOfferCase{"OnTheCommonNumber", "0 101", "101", "a=sendrecv", "0 101", 101, 101},
                      EventOfferCase{"OnOurNumber", "0 106", "106", "a=sendrecv", "0 106", 106, 106},
                      EventOfferCase{"OurNumberTakenByAnotherFormat", "0 106 101", "101", "a=rtpmap:106 opus/48000/2",
                                     "0 101", 101, 101},
                      EventOfferCase{"BeforeTheCodec", "101 0", "101", "a=sendrecv", "101 0", 101, 101},
                      EventOfferCase{"BeforeAForeignCodecAndOurs", "101 8 0", "101", "a=sendrecv", "101 0", 101, 101}),
    [](const ::testing::TestParamInfo<EventOfferCase>& i) { return std::string(i.param.name); });

TEST_F(SippTest, OptionsOutsideADialogIsAnswered200) {
    ASSERT_TRUE(sipp.Start("in_options.xml", {}, Us()));
    h.Register("alice", "secret", sipp.port);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    std::vector<std::string> oks = SentMessages("200");
    ASSERT_EQ(1u, oks.size());
    EXPECT_NE(std::string::npos, Header(oks[0], "CSeq").find("OPTIONS"));
    EXPECT_EQ(0, OSIP_GetUa()->num_dialogs);
    EXPECT_EQ("INVITE, ACK, CANCEL, BYE, OPTIONS, INFO", Header(oks[0], "Allow"));
    EXPECT_NE(std::string::npos, Header(oks[0], "Accept").find("application/sdp"));
    EXPECT_EQ(1u, Headers(oks[0], "Supported").size()) << oks[0];
}

// Requests the transactions must never see, answered at once and statelessly.
struct RefusedCase {
    const char* name;
    int status;
    const char* method;  // scenario in_refused_<status>_<method>.xml (sipp takes no key there)
    const char* cseq;
    const char* extra;
    const char* clen;
    const char* unsupported;  // expected Unsupported header of a 420
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }
class SippRefusedTest : public SippTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(SippRefusedTest, IsAnsweredWithTheRightStatus) {
    const RefusedCase& c = GetParam();
    std::string scenario = "in_refused_" + std::to_string(c.status) + "_" + c.method + ".xml";
    ASSERT_TRUE(sipp.Start(scenario, {"-key", "request_cseq", c.cseq, "-key", "extra", c.extra, "-key", "clen", c.clen},
                           Us()));
    h.Register("alice", "secret", sipp.port);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    std::vector<std::string> sent = SentMessages(std::to_string(c.status));
    ASSERT_FALSE(sent.empty());
    if (c.unsupported != nullptr) {
        EXPECT_EQ(c.unsupported, Header(sent[0], "Unsupported"));
    }
    EXPECT_TRUE(SentMessages("180").empty());
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_NEWCALL));
    EXPECT_EQ(0, OSIP_GetUa()->num_dialogs);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SippRefusedTest,
    ::testing::Values(
        RefusedCase{"ContentLengthBeyondTheBody", 400, "options", "1 OPTIONS", "X-Case: plain", "120", nullptr},
        RefusedCase{"InviteContentLengthBeyondTheBody", 400, "invite", "1 INVITE", "X-Case: plain", "300", nullptr},
        // With a body the parser itself refuses the request: the answer is built from its text.
        RefusedCase{"InviteContentLengthBeyondItsSdpBody", 400, "invite_sdp", "1 INVITE", "X-Case: plain", "400",
                    nullptr},
        RefusedCase{"InviteContentLengthSlightlyBeyondItsSdpBody", 400, "invite_sdp", "1 INVITE", "X-Case: plain", "100",
                    nullptr},
        RefusedCase{"CseqNumberBeyond32Bits", 400, "options", "4294967296 OPTIONS", "X-Case: plain", "0", nullptr},
        RefusedCase{"InviteCseqNumberBeyond32Bits", 400, "invite", "99999999999 INVITE", "X-Case: plain", "0", nullptr},
        RefusedCase{"SipVersionThree", 505, "options", "1 OPTIONS", "X-Case: plain", "0", nullptr},
        RefusedCase{"InviteSipVersionThree", 505, "invite", "1 INVITE", "X-Case: plain", "0", nullptr},
        RefusedCase{"OptionsRequiringAnUnknownTag", 420, "options", "1 OPTIONS", "Require: foo", "0", "foo"},
        RefusedCase{"InviteRequiring100rel", 420, "invite", "1 INVITE", "Require: 100rel", "0", "100rel"},
        RefusedCase{"InviteRequiringTwoTags", 420, "invite", "1 INVITE", "Require: 100rel, timer", "0",
                    "100rel, timer"}),
    [](const ::testing::TestParamInfo<RefusedCase>& i) { return std::string(i.param.name); });

TEST_F(SippTest, ResponseWithASecondViaIsDiscarded) {
    ASSERT_TRUE(sipp.Start("out_two_vias.xml", {}, "", 2));
    Register();
    h.Call("bob");
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER)) << sipp.Errors();
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT)) << sipp.Errors();
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_ALERT));
    EXPECT_TRUE(TraceHas("with 2 Via headers discarded"));
}

TEST_F(SippTest, ReInvitesWithConferenceAndHoldBodiesAreAnsweredAndReported) {
    ASSERT_TRUE(sipp.Start("in_reinvite_bodies.xml", {}, Us()));
    h.Register("alice", "secret", sipp.port);
    Notice call;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &call)) << sipp.Errors();
    CM_SendEvent(call.call, call.cnx, CMEVT_CONNECT, -1, -1, nullptr);
    Notice contact;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_CONTACT, &contact)) << sipp.Errors();
    EXPECT_EQ("dave@127.0.0.1", contact.text);
    Notice hold;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_HOLD, &hold)) << sipp.Errors();
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT)) << sipp.Errors();
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    int invite200 = 0;
    for (const std::string& m : SentMessages("200")) invite200 += Header(m, "CSeq").find("INVITE") != std::string::npos;
    EXPECT_EQ(3, invite200);
}

}  // namespace

namespace {

// ----------------------------------------------------------------------------------------------
// A re-INVITE with a new SDP offer: answered from that offer, the call goes on, and a new address
// or codec reaches the engine.

struct ReofferCase {
    const char* name;
    const char* port;
    const char* payloads;
    const char* attr1;
    const char* attr2;
    const char* answered;  // direction attribute the answer must carry ("" none)
    int payload;           // our codec afterwards
};
void PrintTo(const ReofferCase& c, std::ostream* os) { *os << c.name; }
class SippReofferTest : public SippTest, public ::testing::WithParamInterface<ReofferCase> {};

// "o=" fields 2 and 3 (session id, version) of an SDP body.
std::pair<std::string, unsigned long> Origin(const std::string& sdp) {
    size_t p = sdp.find("o=");
    if (p == std::string::npos) return {"", 0};
    std::string line = sdp.substr(p, sdp.find_first_of("\r\n", p) - p);
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string w; ss >> w;) f.push_back(w);
    if (f.size() < 3) return {"", 0};
    return {f[1], strtoul(f[2].c_str(), nullptr, 10)};
}

TEST_P(SippReofferTest, IsAnsweredAndTheCallGoesOn) {
    const ReofferCase& c = GetParam();
    ASSERT_TRUE(sipp.Start("in_reinvite_sdp.xml", {"-key", "reoffer_port", c.port, "-key", "reoffer_payloads", c.payloads,
                                                   "-key", "reoffer_attr1", c.attr1, "-key", "reoffer_attr2", c.attr2},
                           Us()));
    h.Register("alice", "secret", sipp.port);
    Notice call;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &call)) << sipp.Errors();
    CM_SendEvent(call.call, call.cnx, CMEVT_CONNECT, -1, -1, nullptr);
    Notice bye;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &bye)) << sipp.Errors();
    EXPECT_EQ(VOIP_CODE_REMOTE_BYE, bye.p3);  // ended by the caller's BYE, not by the re-INVITE
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    EXPECT_EQ(1, h.Count(VOIPEVT_REMOTE_DISCONNECT));
    EXPECT_TRUE(SentMessages("BYE").empty());

    std::string first, second;
    for (const std::string& m : SentMessages("200")) {
        if (Header(m, "CSeq") == "1 INVITE") first = m;
        if (Header(m, "CSeq") == "2 INVITE") second = m;
    }
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    std::string answer = Body(second);
    EXPECT_TRUE(IsAudioLine(MediaLine(answer), c.payloads)) << answer;
    auto o1 = Origin(Body(first));
    auto o2 = Origin(answer);
    EXPECT_EQ(o1.first, o2.first);
    EXPECT_EQ(o1.second + 1, o2.second);
    if (c.answered[0] != '\0') {
        EXPECT_NE(std::string::npos, answer.find(std::string("a=") + c.answered + "\r\n")) << answer;
    }
    for (const char* dir : {"a=sendonly", "a=recvonly", "a=inactive", "a=sendrecv"}) {
        if (c.answered[0] == '\0' || std::string("a=") + c.answered != dir) {
            EXPECT_EQ(std::string::npos, answer.find(dir)) << answer;
        }
    }
    std::lock_guard<std::mutex> g(h.bridge.mu);
    ASSERT_EQ(1u, h.bridge.sendAddr.size());
    EXPECT_EQ(atoi(c.port), h.bridge.sendAddr.begin()->second.second);
    EXPECT_EQ(Sonra_PayloadToCodecIndex(c.payload), h.bridge.codec.begin()->second);
}

INSTANTIATE_TEST_SUITE_P(
    Offers, SippReofferTest,
    ::testing::Values(
        ReofferCase{"HoldWithSendonly", "47002", "0", "a=rtpmap:0 PCMU/8000", "a=sendonly", "recvonly", 0},
        ReofferCase{"HoldWithInactive", "47004", "0", "a=rtpmap:0 PCMU/8000", "a=inactive", "inactive", 0},
        ReofferCase{"ResumeWithSendrecv", "47006", "0", "a=rtpmap:0 PCMU/8000", "a=sendrecv", "sendrecv", 0},
        ReofferCase{"NewCodec", "47008", "102", "a=rtpmap:102 iLBC/8000", "a=ptime:20", "", 102}),
    [](const ::testing::TestParamInfo<ReofferCase>& i) { return std::string(i.param.name); });

}  // namespace

namespace {

// A peer holding the call with a re-INVITE of the same address (sendonly or inactive) gets no RTP
// from us until its re-INVITE with sendrecv (RFC 3264 6.1).
struct HoldCase {
    const char* name;
    const char* holdAttr;
    const char* answered;
};
void PrintTo(const HoldCase& c, std::ostream* os) { *os << c.name; }
class SippHoldTest : public SippTest, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(SippHoldTest, SendingStopsForTheHoldAndResumesAfter) {
    const HoldCase& c = GetParam();
    ASSERT_TRUE(sipp.Start("in_hold_resume.xml", {"-key", "hold_attr", c.holdAttr}, Us()));
    h.Register("alice", "secret", sipp.port);
    Notice call;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &call)) << sipp.Errors();
    CM_SendEvent(call.call, call.cnx, CMEVT_CONNECT, -1, -1, nullptr);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT)) << sipp.Errors();
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();
    ASSERT_TRUE(h.WaitFor(VOIPEVT_RELEASE_CALL));
    std::string hold;
    for (const std::string& m : SentMessages("200")) {
        if (Header(m, "CSeq") == "2 INVITE") hold = m;
    }
    EXPECT_NE(std::string::npos, Body(hold).find(std::string("a=") + c.answered + "\r\n")) << hold;
    int ch = -1;
    {
        std::lock_guard<std::mutex> g(h.bridge.mu);
        ASSERT_FALSE(h.bridge.sendLog.empty());
        ch = h.bridge.sendLog.front().first;
    }
    // Answered, held, resumed, hung up.
    EXPECT_EQ((std::vector<bool>{true, false, true, false}), h.bridge.SendChanges(ch));
}

INSTANTIATE_TEST_SUITE_P(Directions, SippHoldTest,
                         ::testing::Values(HoldCase{"Sendonly", "a=sendonly", "recvonly"},
                                           HoldCase{"Inactive", "a=inactive", "inactive"}),
                         [](const ::testing::TestParamInfo<HoldCase>& i) { return std::string(i.param.name); });

TEST_F(SippTest, SecondForksAnswerIsAcknowledgedAndEndedInItsOwnDialog) {
    ASSERT_TRUE(sipp.Start("out_forked_200.xml", {}, "", 2));
    Register();
    int call = -1;
    int cnx = h.Call("bob", &call);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER)) << sipp.Errors();
    ASSERT_TRUE(WaitSent("BYE", 1)) << sipp.Errors();
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_DISCONNECT));
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    EXPECT_EQ(0, sipp.Wait()) << sipp.Errors();

    std::vector<std::string> oks = ReceivedMessages("200");
    std::string tagA, tagB;
    for (const std::string& m : oks) {
        if (Header(m, "CSeq").find("INVITE") == std::string::npos) continue;
        std::string tag = Param(Header(m, "To"), "tag");
        if (tagA.empty()) tagA = tag;
        else if (tag != tagA) tagB = tag;
    }
    ASSERT_FALSE(tagA.empty());
    ASSERT_FALSE(tagB.empty());
    std::vector<std::string> acks = SentMessages("ACK");
    std::vector<std::string> byes = SentMessages("BYE");
    ASSERT_EQ(2u, byes.size());
    int acksA = 0;
    int acksB = 0;
    for (const std::string& a : acks) {
        std::string tag = Param(Header(a, "To"), "tag");
        if (tag == tagA) {
            ++acksA;
            EXPECT_EQ(0u, a.rfind("ACK sip:bob@", 0)) << a;
        } else if (tag == tagB) {
            ++acksB;
            EXPECT_EQ(0u, a.rfind("ACK sip:bob2@", 0)) << a;
        }
    }
    EXPECT_GE(acksA, 1);
    EXPECT_GE(acksB, 1);
    // The second fork is ended first, in its own dialog; the call itself when we hang up.
    EXPECT_EQ(tagB, Param(Header(byes[0], "To"), "tag"));
    EXPECT_EQ(0u, byes[0].rfind("BYE sip:bob2@", 0)) << byes[0];
    EXPECT_EQ(tagA, Param(Header(byes[1], "To"), "tag"));
    EXPECT_EQ(1, h.Count(VOIPEVT_REMOTE_ANSWER));
}

}  // namespace
