// The user agent against a scripted peer: time-outs, ending calls early, bounded retries, answers
// to every request, the receive filters, 2xx/ACK handling, routes and information bodies.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "sip_harness.h"

using namespace siptest;

namespace {

const std::string kPcmu = Sdp(40000, "0", "a=rtpmap:0 PCMU/8000\r\n");
const std::string kIlbc = Sdp(40000, "102", "a=rtpmap:102 iLBC/8000\r\n");
const std::string kIlbc97 = Sdp(40000, "97", "a=rtpmap:97 iLBC/8000\r\n");

// Moves the expiry of every client transaction's time-out timer (B or F) into the past.
void ExpireClientTimers(bool invite) {
    OsipManager* m = OSIP_GetOsip();
    osip_manager_lock(m);
    osip_list_t* l = invite ? &m->osip->osip_ict_transactions : &m->osip->osip_nict_transactions;
    for (int i = 0; !osip_list_eol(l, i); ++i) {
        auto* tr = static_cast<osip_transaction_t*>(osip_list_get(l, i));
        if (invite && tr->ict_context != nullptr) tr->ict_context->timer_b_start.tv_sec -= 3600;
        if (!invite && tr->nict_context != nullptr) tr->nict_context->timer_f_start.tv_sec -= 3600;
    }
    osip_manager_unlock(m);
    osip_manager_wake(m);
}

// Moves the expiry of timer D of every completed INVITE client transaction into the past.
void ExpireTimerD() {
    OsipManager* m = OSIP_GetOsip();
    osip_manager_lock(m);
    for (int i = 0; !osip_list_eol(&m->osip->osip_ict_transactions, i); ++i) {
        auto* tr = static_cast<osip_transaction_t*>(osip_list_get(&m->osip->osip_ict_transactions, i));
        if (tr->state == ICT_COMPLETED && tr->ict_context != nullptr) tr->ict_context->timer_d_start.tv_sec -= 3600;
    }
    osip_manager_unlock(m);
    osip_manager_wake(m);
}

// Whether an INVITE client transaction has taken a provisional answer.
bool InviteProceeding() {
    OsipManager* m = OSIP_GetOsip();
    osip_manager_lock(m);
    bool found = false;
    for (int i = 0; !osip_list_eol(&m->osip->osip_ict_transactions, i); ++i) {
        auto* tr = static_cast<osip_transaction_t*>(osip_list_get(&m->osip->osip_ict_transactions, i));
        found = found || tr->state == ICT_PROCEEDING;
    }
    osip_manager_unlock(m);
    return found;
}

template <typename F>
bool Eventually(F cond, int ms = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void Quiet(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A request sent by the peer to the user agent.
std::string Request(const std::string& method, const std::string& callId, int cseq, int uaPort, int peerPort,
                    const std::string& body = "", const std::string& extra = "", const std::string& toTag = "",
                    const std::string& ctype = "application/sdp", const std::string& branch = "") {
    std::string b = branch.empty() ? "z9hG4bK" + callId + std::to_string(cseq) + method : branch;
    std::string r = method + " sip:alice@127.0.0.1:" + std::to_string(uaPort) + " SIP/2.0\r\n";
    r += "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peerPort) + ";branch=" + b + "\r\n";
    r += "From: <sip:carol@127.0.0.1>;tag=carol1\r\n";
    r += "To: <sip:alice@127.0.0.1>" + (toTag.empty() ? "" : ";tag=" + toTag) + "\r\n";
    r += "Call-ID: " + callId + "\r\nCSeq: " + std::to_string(cseq) + " " + (method == "ACK" ? "INVITE" : method) + "\r\n";
    if (method == "ACK") r.replace(r.find(" INVITE\r\n"), 9, " ACK\r\n");
    r += "Contact: <sip:carol@127.0.0.1:" + std::to_string(peerPort) + ">\r\nMax-Forwards: 70\r\n" + extra;
    if (!body.empty()) r += "Content-Type: " + ctype + "\r\n";
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return r;
}

class SipUaTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (wantClock) clock = std::make_unique<plat::TestClock>(5000000);
        h.Start();
    }
    void TearDown() override {
        h.Stop();
        clock.reset();
    }
    // Registers at the peer and answers 200.
    void RegisterAt(Peer& p, const char* domain = "127.0.0.1", const char* expires = "1800") {
        h.Register("alice", "secret", p.port(), domain);
        std::string r = p.RecvRequest("REGISTER");
        ASSERT_FALSE(r.empty());
        p.Reply(Respond(r, 200, "OK", std::string("Expires: ") + expires + "\r\n"));
        ASSERT_TRUE(h.WaitFor(VOIPEVT_START));
    }
    // The callee's 200 to an INVITE: its contact and the SDP answer.
    std::string Answer(const std::string& inv, const std::string& sdp) {
        return Respond(inv, 200, "OK", "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n", sdp);
    }
    // Calls bob and hangs up as soon as the INVITE is out, before any answer; *inv gets the INVITE.
    void CallAndHangUpAtOnce(std::string* inv) {
        int call = -1;
        int cnx = h.Call("bob", &call);
        *inv = peer.RecvRequest("INVITE");
        ASSERT_FALSE(inv->empty());
        CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
        ASSERT_TRUE(h.WaitFor(VOIPEVT_RELEASE_CALL));
    }
    struct OutCall {
        int call = -1;
        int cnx = -1;
        std::string inv;  // the INVITE
        std::string ok;   // its 200
    };
    // Calls bob and lets him ring.
    void CallUntilRinging(OutCall* c) {
        c->cnx = h.Call("bob", &c->call);
        c->inv = peer.RecvRequest("INVITE");
        peer.Reply(Respond(c->inv, 180, "Ringing"));
        ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ALERT));
    }
    // Establishes an outgoing call whose answer carries `answer`.
    OutCall Establish(const std::string& answer) {
        OutCall c;
        c.cnx = h.Call("bob", &c.call);
        c.inv = peer.RecvRequest("INVITE");
        c.ok = Answer(c.inv, answer);
        peer.Reply(c.ok);
        EXPECT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER));
        EXPECT_FALSE(peer.RecvRequest("ACK").empty());
        return c;
    }
    bool wantClock = false;
    std::unique_ptr<plat::TestClock> clock;
    Harness h;
    Peer peer;
};

class SipUaClockTest : public SipUaTest {
protected:
    SipUaClockTest() { wantClock = true; }
};

// ----------------------------------------------------------------------------------------------
// Time-outs

TEST_F(SipUaClockTest, EveryThirdRegisterTimeoutReports1008) {
    RegisterAt(peer, "127.0.0.1", "60");
    unsigned last = 0;
    for (int i = 1; i <= 3; ++i) {
        clock->advance(31000);
        std::string r;
        while (r.empty() || CseqNumber(r) <= last) {
            r = peer.RecvRequest("REGISTER");
            ASSERT_FALSE(r.empty()) << "refresh " << i;
        }
        last = CseqNumber(r);
        ExpireClientTimers(false);
        ASSERT_TRUE(Eventually([&] { return nict_register_timeout_count() == i % 3; })) << i;
        if (i < 3) {
            Quiet(50);
            EXPECT_FALSE(h.Seen(VOIPEVT_STOP)) << i;
        }
    }
    Notice n;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_STOP, &n));
    EXPECT_EQ(VOIP_CODE_REG_FAILED, n.p3);
}

struct RefreshCase {
    int expires;
    int interval;
};
void PrintTo(const RefreshCase& c, std::ostream* os) { *os << "expires " << c.expires; }
class SipUaRefreshTest : public SipUaClockTest, public ::testing::WithParamInterface<RefreshCase> {};

TEST_P(SipUaRefreshTest, RefreshFollowsTheGrantedExpiry) {
    RegisterAt(peer, "127.0.0.1", std::to_string(GetParam().expires).c_str());
    clock->advance(static_cast<uint64_t>(GetParam().interval - 1) * 1000u);
    EXPECT_TRUE(peer.RecvRequest("REGISTER", 300).empty());
    clock->advance(1000);
    EXPECT_FALSE(peer.RecvRequest("REGISTER").empty());
}

INSTANTIATE_TEST_SUITE_P(Expiries, SipUaRefreshTest,
                         ::testing::Values(RefreshCase{3600, 300}, RefreshCase{600, 300}, RefreshCase{120, 60},
                                           RefreshCase{40, 30}, RefreshCase{20, 10}));

// The registrar's 200 to an unregistration lists the bindings that remain (other devices'):
// whatever their expiries, the registration is over and is not reported as a new one.
struct UnregisterCase {
    const char* name;
    std::string headers;  // of the 200
};
void PrintTo(const UnregisterCase& c, std::ostream* os) { *os << c.name; }
class SipUaUnregisterTest : public SipUaTest, public ::testing::WithParamInterface<UnregisterCase> {};

TEST_P(SipUaUnregisterTest, TwoHundredListingOtherDevicesEndsTheRegistration) {
    RegisterAt(peer);
    ASSERT_TRUE(OSIP_IsRegisterActive());
    OSIP_SendUaEvent(-1, OSIP_UA_EVT_UNREGISTER, 0, nullptr);
    std::string r = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r.empty());
    ASSERT_EQ("0", Header(r, "Expires"));
    peer.Reply(Respond(r, 200, "OK", GetParam().headers));
    EXPECT_TRUE(Eventually([] { return !OSIP_IsRegisterActive(); }));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SipUaUnregisterTest,
    ::testing::Values(UnregisterCase{"OtherContact", "Contact: <sip:alice@192.0.2.50:5062>;expires=3600\r\n"},
                      UnregisterCase{"OtherContactAndExpires",
                                     "Contact: <sip:alice@192.0.2.50:5062>\r\nExpires: 3600\r\n"}),
    [](const ::testing::TestParamInfo<UnregisterCase>& i) { return std::string(i.param.name); });

// Timer B ends an unanswered INVITE whatever provisional answers came; once one came, the
// ringing is cancelled and the 487 acknowledged.
struct TimerBCase {
    int provisional;  // 0: none
    int code;         // what call control hears
};
void PrintTo(const TimerBCase& c, std::ostream* os) { *os << "provisional " << c.provisional; }
class SipUaTimerBTest : public SipUaTest, public ::testing::WithParamInterface<TimerBCase> {};

TEST_P(SipUaTimerBTest, UnansweredInviteEndsOnTimerB) {
    const TimerBCase c = GetParam();
    RegisterAt(peer);
    h.Call("bob");
    std::string inv = peer.RecvRequest("INVITE");
    ASSERT_FALSE(inv.empty());
    if (c.provisional != 0) {
        peer.Reply(Respond(inv, c.provisional, c.provisional == 100 ? "Trying" : "Ringing"));
        ASSERT_TRUE(Eventually(InviteProceeding));
        if (c.provisional == 180) {
            ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ALERT));
        }
    }
    ExpireClientTimers(true);
    Notice n;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &n));
    EXPECT_EQ(c.code, n.p3);
    EXPECT_TRUE(TraceHas("osip_ict_timeout_b_event"));
    if (c.provisional == 0) {
        Quiet(200);
        EXPECT_TRUE(SentMessages("CANCEL").empty());
    } else {
        std::string cancel = peer.RecvRequest("CANCEL");
        ASSERT_FALSE(cancel.empty());
        peer.Reply(Respond(cancel, 200, "OK"));
        peer.Reply(Respond(inv, 487, "Request Terminated"));
        ASSERT_FALSE(peer.RecvRequest("ACK").empty());
        ASSERT_TRUE(h.WaitFor(VOIPEVT_RELEASE_CALL));
        EXPECT_EQ(1u, SentMessages("CANCEL").size());
    }
    EXPECT_EQ(1, h.Count(VOIPEVT_REMOTE_DISCONNECT));
    EXPECT_FALSE(TraceHas("CMEVT_DISCONNECT, 1011"));
}

INSTANTIATE_TEST_SUITE_P(Provisionals, SipUaTimerBTest,
                         ::testing::Values(TimerBCase{0, VOIP_CODE_NO_PROVISIONAL},
                                           TimerBCase{100, VOIP_CODE_NO_PROVISIONAL},
                                           TimerBCase{180, VOIP_CODE_NO_ANSWER}));

// The connection's 60 s timer (test clock) ends a ringing call with a CANCEL too.
TEST_F(SipUaClockTest, RingingCallEndsOnTheConnectionTimerWithCancel) {
    RegisterAt(peer);
    h.Call("bob");
    std::string inv = peer.RecvRequest("INVITE");
    ASSERT_FALSE(inv.empty());
    peer.Reply(Respond(inv, 100, "Trying"));
    peer.Reply(Respond(inv, 180, "Ringing"));
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ALERT));
    peer.Reply(Respond(inv, 180, "Ringing"));  // a second 180 is not reported
    // Call control may arm its timer just after the alert is reported: advance again until it runs.
    std::string cancel;
    for (int i = 0; i < 4 && cancel.empty(); ++i) {
        clock->advance(61000);
        cancel = peer.RecvRequest("CANCEL", 700);
    }
    ASSERT_FALSE(cancel.empty());
    peer.Reply(Respond(cancel, 200, "OK"));
    peer.Reply(Respond(inv, 487, "Request Terminated"));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    EXPECT_TRUE(Eventually([] { return TraceHas("CMEVT_DISCONNECT, 1011"); }));
    EXPECT_EQ(1, h.Count(VOIPEVT_REMOTE_ALERT));
    EXPECT_FALSE(TraceHas("osip_ict_timeout_b_event"));
}

// A refused INVITE's transaction waits out timer D for repeats of the refusal, then ends with its
// trace line; a transaction ended otherwise writes none.
TEST_F(SipUaTest, RefusedInviteEndsOnTimerDWithItsTraceLine) {
    RegisterAt(peer);
    const OutCall answered = Establish(kPcmu);
    CM_SendEvent(answered.call, answered.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    peer.Reply(Respond(bye, 200, "OK"));
    ASSERT_TRUE(Eventually([] { return TraceHas("Ict-Transaction"); }));

    h.Call("bob");
    std::string inv = peer.RecvRequest("INVITE");
    ASSERT_FALSE(inv.empty());
    peer.Reply(Respond(inv, 486, "Busy Here"));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    Notice n;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &n));
    EXPECT_EQ(486, n.p3);
    EXPECT_FALSE(TraceHas("osip_ict_timeout_d_event"));
    ExpireTimerD();
    EXPECT_TRUE(Eventually([] { return TraceHas("\r\n osip_ict_timeout_d_event "); }));
}

// ----------------------------------------------------------------------------------------------
// Ending a call early

TEST_F(SipUaTest, HangUpBeforeAnyAnswerCancelsOnTheFirstProvisional) {
    RegisterAt(peer);
    std::string inv;
    ASSERT_NO_FATAL_FAILURE(CallAndHangUpAtOnce(&inv));
    Quiet(200);
    EXPECT_TRUE(SentMessages("CANCEL").empty());
    peer.Reply(Respond(inv, 180, "Ringing"));
    std::string cancel = peer.RecvRequest("CANCEL");
    ASSERT_FALSE(cancel.empty());
    EXPECT_EQ(CseqNumber(inv), CseqNumber(cancel));
    peer.Reply(Respond(cancel, 200, "OK"));
    peer.Reply(Respond(inv, 487, "Request Terminated"));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_ALERT));
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_DISCONNECT));
}

TEST_F(SipUaTest, AnAnswerToAnAbandonedCallIsAcknowledgedAndEnded) {
    RegisterAt(peer);
    std::string inv;
    ASSERT_NO_FATAL_FAILURE(CallAndHangUpAtOnce(&inv));
    peer.Reply(Answer(inv, kPcmu));
    std::string ack = peer.RecvRequest("ACK");
    ASSERT_FALSE(ack.empty());
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    EXPECT_EQ(Header(inv, "Call-ID"), Header(bye, "Call-ID"));
    peer.Reply(Respond(bye, 200, "OK"));
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_ANSWER));
}

TEST_F(SipUaTest, AnswerArrivingAfterOurCancelIsAcknowledgedAndEnded) {
    RegisterAt(peer);
    OutCall c;
    ASSERT_NO_FATAL_FAILURE(CallUntilRinging(&c));
    CM_SendEvent(c.call, c.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    std::string cancel = peer.RecvRequest("CANCEL");
    ASSERT_FALSE(cancel.empty());
    // The callee answered before the CANCEL reached it.
    peer.Reply(Answer(c.inv, kPcmu));
    peer.Reply(Respond(cancel, 481, "Call/Transaction Does Not Exist"));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    peer.Reply(Respond(bye, 200, "OK"));
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_ANSWER));
}

// ----------------------------------------------------------------------------------------------
// Bounded authentication

TEST_F(SipUaTest, WrongPasswordStopsAfterTheThirdChallenge) {
    h.Register("alice", "wrong", peer.port());
    for (int i = 0; i < 3; ++i) {
        std::string r = peer.RecvRequest("REGISTER");
        ASSERT_FALSE(r.empty()) << i;
        peer.Reply(Respond(r, 401, "Unauthorized",
                           "WWW-Authenticate: Digest realm=\"t\", nonce=\"n" + std::to_string(i) + "\"\r\n"));
    }
    EXPECT_TRUE(Eventually([] { return TraceHas("CMEVT_OSIP_STOPPED, 401"); }));
    EXPECT_TRUE(peer.RecvRequest("REGISTER", 700).empty());
    EXPECT_EQ(3u, SentMessages("REGISTER").size());
}

// A proxy that rotates its nonce on every try: the INVITE is resent with fresh credentials up to
// three times; a fourth challenge ends the call with the challenge's status.
struct ChallengeCase {
    int challenges;
    int status;
};
void PrintTo(const ChallengeCase& c, std::ostream* os) { *os << c.challenges << " x " << c.status; }
class SipUaInviteChallengeTest : public SipUaTest, public ::testing::WithParamInterface<ChallengeCase> {};

TEST_P(SipUaInviteChallengeTest, RotatingNonceIsAnsweredThreeTimes) {
    const ChallengeCase c = GetParam();
    RegisterAt(peer);
    h.Call("bob");
    std::string inv;
    for (int i = 0; i < c.challenges; ++i) {
        inv = peer.RecvRequest("INVITE");
        ASSERT_FALSE(inv.empty()) << i;
        if (i > 0) {
            EXPECT_NE(std::string::npos, inv.find("nonce=\"m" + std::to_string(i - 1) + "\"")) << i;
        }
        std::string nonce = "nonce=\"m" + std::to_string(i) + "\"\r\n";
        peer.Reply(c.status == 401
                       ? Respond(inv, 401, "Unauthorized", "WWW-Authenticate: Digest realm=\"t\", " + nonce)
                       : Respond(inv, 407, "Proxy Authentication Required",
                                 "Proxy-Authenticate: Digest realm=\"t\", " + nonce));
    }
    if (c.challenges <= 3) {
        inv = peer.RecvRequest("INVITE");
        ASSERT_FALSE(inv.empty());
        const char* header = c.status == 401 ? "Authorization: Digest" : "Proxy-Authorization: Digest";
        EXPECT_NE(std::string::npos, inv.find(header));
        peer.Reply(Answer(inv, kPcmu));
        ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER));
        EXPECT_FALSE(peer.RecvRequest("ACK").empty());
        EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_DISCONNECT));
    } else {
        Notice n;
        ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &n));
        EXPECT_EQ(c.status, n.p3);
        EXPECT_TRUE(peer.RecvRequest("INVITE", 300).empty());
    }
    EXPECT_EQ(static_cast<size_t>(std::min(c.challenges, 3) + 1), SentMessages("INVITE").size());
}

INSTANTIATE_TEST_SUITE_P(Resends, SipUaInviteChallengeTest,
                         ::testing::Values(ChallengeCase{1, 401}, ChallengeCase{2, 407}, ChallengeCase{3, 401},
                                           ChallengeCase{3, 407}, ChallengeCase{4, 401}, ChallengeCase{4, 407}));

// ----------------------------------------------------------------------------------------------
// Every request gets an answer; the receive filters

struct AnswerCase {
    const char* method;
    int status;
};
void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.method << " " << c.status; }
class SipUaAnswerTest : public SipUaTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(SipUaAnswerTest, RequestOutsideADialogIsAnswered) {
    RegisterAt(peer);
    peer.Send(Request(GetParam().method, "stray-1", 5, h.sipPort, peer.port()), h.sipPort);
    std::string resp = peer.RecvStatus(GetParam().status);
    ASSERT_FALSE(resp.empty());
    if (GetParam().status == 405) {
        EXPECT_NE(std::string::npos, Header(resp, "Allow").find("INVITE"));
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, SipUaAnswerTest,
                         ::testing::Values(AnswerCase{"INFO", 200}, AnswerCase{"CANCEL", 481}, AnswerCase{"BYE", 481},
                                           AnswerCase{"REGISTER", 405}, AnswerCase{"MESSAGE", 501},
                                           AnswerCase{"SUBSCRIBE", 501}, AnswerCase{"OPTIONS", 200}));

// sipp cannot take a response whose CSeq names another method than its request's.
TEST_F(SipUaTest, RequestWhoseCseqNamesAnotherMethodIsRefused400) {
    RegisterAt(peer);
    std::string options = Request("OPTIONS", "cseq-mix", 3, h.sipPort, peer.port());
    options.replace(options.find("CSeq: 3 OPTIONS"), 15, "CSeq: 3 INVITE");
    peer.Send(options, h.sipPort);
    std::string resp = peer.RecvStatus(400);
    ASSERT_FALSE(resp.empty());
    EXPECT_TRUE(SentMessages("200").empty());
}

// A second RAck, or one that does not read, fails the parse: the request is answered 400 like any
// other that cannot be parsed, and nothing else is answered.
TEST_F(SipUaTest, RequestsWithTwoRacksOrABadOneAreRefused400) {
    RegisterAt(peer);
    const char* cases[] = {"RAck: 1 1 INVITE\r\nRAck: 2 1 INVITE\r\n", "RAck: one INVITE\r\n"};
    int n = 0;
    for (const char* racks : cases) {
        SCOPED_TRACE(racks);
        std::string options = Request("OPTIONS", "rack-" + std::to_string(++n), 3, h.sipPort, peer.port());
        options.insert(options.find("Content-Length"), racks);
        peer.Send(options, h.sipPort);
        ASSERT_FALSE(peer.RecvStatus(400).empty());
    }
    EXPECT_TRUE(SentMessages("200").empty());
}

TEST_F(SipUaTest, NothingIsReadBeforeTheFirstRegisterAndOversizedDatagramsAreDropped) {
    peer.Send(Request("OPTIONS", "early-1", 1, h.sipPort, peer.port()), h.sipPort);
    EXPECT_TRUE(peer.Recv(300).empty());
    RegisterAt(peer);
    std::string options = Request("OPTIONS", "size-1", 2, h.sipPort, peer.port());
    std::string pad = "X-Pad: ";
    std::string big = options;
    big.insert(big.find("Content-Length"), pad + std::string(4000 - options.size() - pad.size() - 2, 'a') + "\r\n");
    ASSERT_EQ(4000u, big.size());
    peer.Send(big, h.sipPort);
    EXPECT_TRUE(peer.Recv(300).empty());
    std::string fits = options;
    fits.insert(fits.find("Content-Length"), pad + std::string(3999 - options.size() - pad.size() - 2, 'a') + "\r\n");
    ASSERT_EQ(3999u, fits.size());
    peer.Send(fits, h.sipPort);
    EXPECT_EQ(200, Status(peer.Recv()));
    // An ACK that matches nothing is dropped without an answer.
    peer.Send(Request("ACK", "nothing-1", 1, h.sipPort, peer.port()), h.sipPort);
    EXPECT_TRUE(peer.Recv(300).empty());
}

// ----------------------------------------------------------------------------------------------
// INVITE retransmissions, our 2xx and its ACK

TEST_F(SipUaTest, RetransmissionsAreFilteredAndOur200IsRepeatedUntilTheAck) {
    RegisterAt(peer);
    std::string inv = Request("INVITE", "retx-1", 1, h.sipPort, peer.port(), kPcmu);
    peer.Send(inv, h.sipPort);
    peer.Send(inv, h.sipPort);  // within 500 ms: dropped before the transaction
    Notice call;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &call));
    ASSERT_TRUE(WaitSent("180"));
    Quiet(200);
    EXPECT_EQ(1u, SentMessages("100").size());
    EXPECT_EQ(1u, SentMessages("180").size());
    CM_SendEvent(call.call, call.cnx, CMEVT_CONNECT, -1, -1, nullptr);
    // Our 200 is repeated (T1, then 2*T1) while no ACK comes.
    ASSERT_TRUE(WaitSent("200", 3, 3000));
    std::string ok = SentMessages("200").at(0);
    // The caller did not see it and repeats its INVITE: the 200 again, no second call.
    peer.Send(inv, h.sipPort);
    ASSERT_TRUE(WaitSent("200", 4, 2000));
    EXPECT_EQ(1, h.Count(VOIPEVT_REMOTE_NEWCALL));
    std::string tag = Param(Header(ok, "To"), "tag");
    peer.Send(Request("ACK", "retx-1", 1, h.sipPort, peer.port(), "", "", tag), h.sipPort);
    Quiet(300);
    size_t after = SentMessages("200").size();
    Quiet(1500);
    EXPECT_EQ(after, SentMessages("200").size());
    // A CANCEL of the answered INVITE gets 200 and changes nothing.
    while (!peer.Recv(100).empty()) {
    }
    peer.Send(Request("CANCEL", "retx-1", 1, h.sipPort, peer.port(), "", "", "", "", "z9hG4bKretx-11INVITE"), h.sipPort);
    std::string cancelOk = peer.RecvStatus(200);
    EXPECT_NE(std::string::npos, Header(cancelOk, "CSeq").find("CANCEL"));
    EXPECT_TRUE(SentMessages("487").empty());
    // A BYE with the INVITE's CSeq number matches no dialog.
    peer.Send(Request("BYE", "retx-1", 1, h.sipPort, peer.port(), "", "", tag), h.sipPort);
    EXPECT_FALSE(peer.RecvStatus(481).empty());
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_DISCONNECT));
    peer.Send(Request("BYE", "retx-1", 2, h.sipPort, peer.port(), "", "", tag), h.sipPort);
    Notice bye;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &bye));
    EXPECT_EQ(VOIP_CODE_REMOTE_BYE, bye.p3);
}

// ----------------------------------------------------------------------------------------------
// Rejections

// The refusal carries the status call control asks for (603 when the user declines, 486 busy).
TEST_F(SipUaTest, RefusalsCarryTheRequestedStatus) {
    RegisterAt(peer);
    peer.Send(Request("INVITE", "decline-1", 1, h.sipPort, peer.port(), kPcmu), h.sipPort);
    Notice call;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &call));
    CM_SendEvent(call.call, call.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    EXPECT_FALSE(peer.RecvStatus(603).empty());

    peer.Send(Request("INVITE", "busy-1", 1, h.sipPort, peer.port(), kPcmu), h.sipPort);
    Notice second;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &second));
    OSIP_SendUaEvent(second.cnx, OSIP_UA_EVT_REJECT_INVITE, 486, nullptr);
    EXPECT_FALSE(peer.RecvStatus(486).empty());

    // A callee cannot cancel: an incoming call ended with CANCEL is declined.
    peer.Send(Request("INVITE", "cancel-in-1", 1, h.sipPort, peer.port(), kPcmu), h.sipPort);
    Notice third;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &third));
    OSIP_SendUaEvent(third.cnx, OSIP_UA_EVT_CANCEL, 0, nullptr);
    EXPECT_FALSE(peer.RecvStatus(603).empty());
}

TEST_F(SipUaTest, BusyStatusAnswersFirstInvitesWithRetryAfter) {
    RegisterAt(peer);
    OSIP_SetInviteStatus(486, 60);
    peer.Send(Request("INVITE", "busy-ra-1", 1, h.sipPort, peer.port(), kPcmu), h.sipPort);
    std::string busy = peer.RecvStatus(486);
    ASSERT_FALSE(busy.empty());
    EXPECT_EQ("60", Header(busy, "Retry-After"));
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_NEWCALL));
    EXPECT_EQ(CC_MAX_CNX_NUM, h.IdleConnections());
}

TEST_F(SipUaTest, OurOwnIdentityCallingIsRefused403) {
    RegisterAt(peer);
    std::string inv = Request("INVITE", "self-1", 1, h.sipPort, peer.port(), kPcmu);
    inv.replace(inv.find("<sip:carol@127.0.0.1>"), 21, "<sip:alice@127.0.0.1>");
    peer.Send(inv, h.sipPort);
    EXPECT_FALSE(peer.RecvStatus(403).empty());
    EXPECT_TRUE(SentMessages("180").empty());
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_NEWCALL));
    EXPECT_EQ(CC_MAX_CNX_NUM, h.IdleConnections());
}

TEST_F(SipUaTest, DialogLimitRefusesThe33rd) {
    OsipUa* ua = OSIP_GetUa();
    OsipManager* m = OSIP_GetOsip();
    osip_manager_lock(m);
    std::vector<OsipDialog*> made;
    for (int i = 0; i < OSIP_UA_MAX_DIALOGS; ++i) made.push_back(osip_dialog_new(ua));
    for (OsipDialog* d : made) EXPECT_NE(nullptr, d);
    EXPECT_EQ(nullptr, osip_dialog_new(ua));
    for (OsipDialog* d : made) osip_dialog_destroy(d);
    EXPECT_EQ(0, ua->num_dialogs);
    osip_manager_unlock(m);
}

// ----------------------------------------------------------------------------------------------
// Routes, information bodies, BYE credentials, name resolution

TEST_F(SipUaTest, ProxyWithoutLrBecomesTheRequestUriAndTheCalleeTheLastRoute) {
    RegisterAt(peer, "example.test");
    EXPECT_EQ(0u, SentMessages("REGISTER").at(0).find("REGISTER sip:example.test SIP/2.0"));
    h.Call("bob");
    std::string inv = peer.RecvRequest("INVITE");
    ASSERT_FALSE(inv.empty());
    EXPECT_EQ(0u, inv.find("INVITE sip:127.0.0.1:" + std::to_string(peer.port()) + " SIP/2.0")) << inv;
    EXPECT_NE(std::string::npos, Header(inv, "Route").find("sip:bob@example.test")) << inv;
    EXPECT_NE(std::string::npos, Header(inv, "To").find("sip:bob@example.test"));
    peer.Reply(Respond(inv, 486, "Busy Here"));
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT));
}

// With no usable registrar host, requests other than REGISTER go to the account's proxy before
// the first Route or the request URI.
TEST_F(SipUaTest, WithoutAnOutboundProxyTheSecondProxyTakesTheInvite) {
    Peer proxy;
    std::string domain = "127.0.0.1:" + std::to_string(peer.port());
    h.Register("alice", "secret", peer.port(), domain.c_str(), 1800, ";", nullptr, "127.0.0.1", proxy.port());
    std::string r = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r.empty());
    peer.Reply(Respond(r, 200, "OK", "Expires: 1800\r\n"));
    ASSERT_TRUE(h.WaitFor(VOIPEVT_START));
    h.Call("bob");
    std::string inv = proxy.RecvRequest("INVITE");
    ASSERT_FALSE(inv.empty());
    EXPECT_EQ(0u, inv.find("INVITE sip:bob@" + domain + " SIP/2.0")) << inv;
    EXPECT_TRUE(peer.RecvRequest("INVITE", 300).empty());
}

TEST_F(SipUaTest, DialledSipUriIsTheTargetAsItStands) {
    RegisterAt(peer, "example.test");
    h.Call("sip:carol@far.example.test");
    std::string inv = peer.RecvRequest("INVITE");
    ASSERT_FALSE(inv.empty());
    EXPECT_NE(std::string::npos, Header(inv, "To").find("<sip:carol@far.example.test>")) << inv;
    EXPECT_EQ(std::string::npos, inv.find("sip:sip:")) << inv;
    peer.Reply(Respond(inv, 486, "Busy Here"));
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT));
}

TEST_F(SipUaTest, InformationBodiesGoOnlyToIlbcPeersAsReInvites) {
    // iLBC under another number is iLBC all the same: the body goes to such a peer too.
    RegisterAt(peer);
    {
        const OutCall other = Establish(kIlbc97);
        OSIP_SendUaEvent(other.cnx, OSIP_UA_EVT_INFO, VOIP_INFO_CONTACT, strdup("<URI>z</URI>\n"));
        std::string re = peer.RecvRequest("INVITE");
        ASSERT_FALSE(re.empty());
        EXPECT_EQ("<URI>z</URI>\n", Body(re));
        peer.Reply(Respond(re, 200, "OK"));
        peer.RecvRequest("ACK");
        CM_SendEvent(other.call, other.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
        std::string bye = peer.RecvRequest("BYE");
        peer.Reply(Respond(bye, 200, "OK"));
    }
    const OutCall pcmu = Establish(kPcmu);
    OSIP_SendUaEvent(pcmu.cnx, OSIP_UA_EVT_INFO, VOIP_INFO_CONTACT, strdup("<URI>x</URI>\n"));
    EXPECT_TRUE(peer.RecvRequest("INVITE", 400).empty());
    CM_SendEvent(pcmu.call, pcmu.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    std::string bye = peer.RecvRequest("BYE");
    peer.Reply(Respond(bye, 200, "OK"));

    const OutCall ilbc = Establish(kIlbc);
    // The 2xx of our re-INVITE is an answer like the first one: call control hears of it again.
    const std::string answerLine = "(-1, " + std::to_string(ilbc.cnx) + "), CCEVT_REMOTE_ANSWER";
    auto answers = [&answerLine] {
        std::lock_guard<std::mutex> g(CaptureMutex());
        return std::count_if(Trace().begin(), Trace().end(),
                             [&](const std::string& l) { return l.find(answerLine) != std::string::npos; });
    };
    ASSERT_TRUE(Eventually([&] { return answers() > 0; }));
    const auto answersBefore = answers();
    OSIP_SendUaEvent(ilbc.cnx, OSIP_UA_EVT_INFO, VOIP_INFO_CONTACT, strdup("<URI>x</URI>\n"));
    std::string re = peer.RecvRequest("INVITE");
    ASSERT_FALSE(re.empty());
    EXPECT_EQ("information/contact", Header(re, "Content-Type"));
    EXPECT_EQ("<URI>x</URI>\n", Body(re));
    EXPECT_EQ(Header(ilbc.inv, "Call-ID"), Header(re, "Call-ID"));
    EXPECT_EQ(Param(Header(ilbc.ok, "To"), "tag"), Param(Header(re, "To"), "tag"));
    EXPECT_LT(CseqNumber(ilbc.inv), CseqNumber(re));
    peer.Reply(Respond(re, 200, "OK"));
    std::string ack = peer.RecvRequest("ACK");
    ASSERT_FALSE(ack.empty());
    EXPECT_EQ(CseqNumber(re), CseqNumber(ack));
    EXPECT_TRUE(Eventually([&] { return answers() == answersBefore + 1; }));
}

TEST_F(SipUaTest, RefusedReInviteLeavesTheCallUpUnlessTheDialogIsGone) {
    RegisterAt(peer);
    const int cnx = Establish(kIlbc).cnx;
    OSIP_SendUaEvent(cnx, OSIP_UA_EVT_INFO, VOIP_INFO_CONTACT, strdup("<URI>x</URI>\n"));
    std::string re = peer.RecvRequest("INVITE");
    ASSERT_FALSE(re.empty());
    peer.Reply(Respond(re, 415, "Unsupported Media Type"));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    Quiet(200);
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_DISCONNECT));
    EXPECT_TRUE(SentMessages("BYE").empty());

    OSIP_SendUaEvent(cnx, OSIP_UA_EVT_INFO, VOIP_INFO_CONTACT, strdup("<URI>y</URI>\n"));
    re = peer.RecvRequest("INVITE");
    ASSERT_FALSE(re.empty());
    peer.Reply(Respond(re, 481, "Call/Transaction Does Not Exist"));
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    peer.Reply(Respond(bye, 200, "OK"));
    Notice n;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &n));
    EXPECT_EQ(481, n.p3);
}

TEST_F(SipUaTest, UnansweredReInviteEndsTheCallReportedAsTimerB) {
    RegisterAt(peer);
    const int cnx = Establish(kIlbc).cnx;
    OSIP_SendUaEvent(cnx, OSIP_UA_EVT_INFO, VOIP_INFO_CONTACT, strdup("<URI>x</URI>\n"));
    ASSERT_FALSE(peer.RecvRequest("INVITE").empty());
    ExpireClientTimers(true);
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    peer.Reply(Respond(bye, 200, "OK"));
    Notice n;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &n));
    EXPECT_EQ(480, n.p3);
}

TEST_F(SipUaTest, DialledTextThatCannotBeAUriIsRefusedBeforeAnyTraffic) {
    RegisterAt(peer);
    h.Call("bob smith");
    Notice n;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT, &n));
    EXPECT_EQ(400, n.p3);
    EXPECT_TRUE(SentMessages("INVITE").empty());
}

TEST_F(SipUaTest, MessageTooLargeForOneDatagramIsNotSent) {
    RegisterAt(peer);
    const OutCall c = Establish(kIlbc);
    std::string body(5000, 'x');
    OSIP_SendUaEvent(c.cnx, OSIP_UA_EVT_INFO, VOIP_INFO_CONTACT, strdup(body.c_str()));
    EXPECT_TRUE(peer.RecvRequest("INVITE", 500).empty());
    EXPECT_TRUE(TraceHas("osip_udp_send: message of"));
    // The dialog still works.
    CM_SendEvent(c.call, c.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    peer.Reply(Respond(bye, 200, "OK"));
}

TEST_F(SipUaTest, InformationBodyWaitsForTheRunningInvite) {
    RegisterAt(peer);
    OutCall c;
    ASSERT_NO_FATAL_FAILURE(CallUntilRinging(&c));
    OSIP_SendUaEvent(c.cnx, OSIP_UA_EVT_INFO, VOIP_INFO_ACTION, strdup("<ACT>HOLD</ACT>\n"));
    // Nothing but (late) copies of the first INVITE while it runs.
    for (std::string m = peer.Recv(300); !m.empty(); m = peer.Recv(300)) {
        EXPECT_EQ(CseqNumber(c.inv), CseqNumber(m)) << m;
    }
    peer.Reply(Answer(c.inv, kIlbc));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    std::string re = peer.RecvRequest("INVITE");
    ASSERT_FALSE(re.empty());
    EXPECT_EQ("information/action", Header(re, "Content-Type"));
    peer.Reply(Respond(re, 200, "OK"));
}

TEST_F(SipUaTest, ChallengedByeIsSentAgainWithCredentials) {
    RegisterAt(peer);
    const OutCall c = Establish(kPcmu);
    CM_SendEvent(c.call, c.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    peer.Reply(Respond(bye, 401, "Unauthorized", "WWW-Authenticate: Digest realm=\"t\", nonce=\"b1\"\r\n"));
    std::string again = peer.RecvRequest("BYE");
    ASSERT_FALSE(again.empty());
    EXPECT_FALSE(Header(again, "Authorization").empty());
    EXPECT_EQ(CseqNumber(bye) + 1, CseqNumber(again));
    EXPECT_EQ(std::string::npos, Header(again, "Via").find("rport"));
    peer.Reply(Respond(again, 200, "OK"));
}

// An INVITE that met two challenges on its way (a proxy's, then the callee's) leaves the hang-up's
// BYE its own resend with credentials: otherwise the peer stays in a call we have left.
TEST_F(SipUaTest, ByeIsAnsweredWithCredentialsAfterAnInviteChallengedTwice) {
    RegisterAt(peer);
    int call = -1;
    const int cnx = h.Call("bob", &call);
    std::string inv = peer.RecvRequest("INVITE");
    ASSERT_FALSE(inv.empty());
    peer.Reply(Respond(inv, 407, "Proxy Authentication Required",
                       "Proxy-Authenticate: Digest realm=\"p\", nonce=\"i1\"\r\n"));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    std::string inv2 = peer.RecvRequest("INVITE");
    ASSERT_FALSE(inv2.empty());
    peer.Reply(Respond(inv2, 401, "Unauthorized", "WWW-Authenticate: Digest realm=\"t\", nonce=\"i2\"\r\n"));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    std::string inv3 = peer.RecvRequest("INVITE");
    ASSERT_FALSE(inv3.empty());
    EXPECT_FALSE(Header(inv3, "Authorization").empty());
    peer.Reply(Answer(inv3, kPcmu));
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    peer.Reply(Respond(bye, 401, "Unauthorized", "WWW-Authenticate: Digest realm=\"t\", nonce=\"b1\"\r\n"));
    std::string again = peer.RecvRequest("BYE");
    ASSERT_FALSE(again.empty()) << "the BYE's challenge was left unanswered";
    EXPECT_FALSE(Header(again, "Authorization").empty());
    peer.Reply(Respond(again, 200, "OK"));
}

// A challenge to our PRACK does not touch the call: the callee's answer is still taken.
TEST_F(SipUaTest, ChallengedPrackLeavesTheCallToItsAnswer) {
    RegisterAt(peer);
    int call = -1;
    h.Call("bob", &call);
    std::string inv = peer.RecvRequest("INVITE");
    ASSERT_FALSE(inv.empty());
    const std::string contact = "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n";
    peer.Reply(Respond(inv, 180, "Ringing", contact + "Require: 100rel\r\nRSeq: 1\r\n"));
    std::string prack = peer.RecvRequest("PRACK");
    ASSERT_FALSE(prack.empty());
    peer.Reply(Respond(prack, 407, "Proxy Authentication Required",
                       "Proxy-Authenticate: Digest realm=\"t\", nonce=\"p1\"\r\n"));
    ASSERT_TRUE(Eventually([] { return TraceHas("Authentification aborted."); }));
    peer.Reply(Answer(inv, kPcmu));
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_ANSWER));
    EXPECT_FALSE(peer.RecvRequest("ACK").empty());
    EXPECT_TRUE(peer.RecvRequest("BYE", 300).empty());
    EXPECT_FALSE(h.Seen(VOIPEVT_REMOTE_DISCONNECT));
}

// A re-INVITE resent with credentials keeps the call established, and the hang-up that follows is
// a BYE numbered above the resent re-INVITE (a peer refuses a number it has seen).
TEST_F(SipUaTest, ChallengedReInviteIsResentAndTheByeThatFollowsTakesTheNextNumber) {
    RegisterAt(peer);
    const OutCall c = Establish(kIlbc);
    OSIP_SendUaEvent(c.cnx, OSIP_UA_EVT_INFO, VOIP_INFO_CONTACT, strdup("<URI>x</URI>\n"));
    std::string re = peer.RecvRequest("INVITE");
    ASSERT_FALSE(re.empty());
    peer.Reply(Respond(re, 401, "Unauthorized", "WWW-Authenticate: Digest realm=\"t\", nonce=\"r1\"\r\n"));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    std::string again = peer.RecvRequest("INVITE");
    ASSERT_FALSE(again.empty());
    EXPECT_FALSE(Header(again, "Authorization").empty());
    EXPECT_EQ(CseqNumber(re) + 1, CseqNumber(again));
    peer.Reply(Respond(again, 200, "OK"));
    ASSERT_FALSE(peer.RecvRequest("ACK").empty());
    CM_SendEvent(c.call, c.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    EXPECT_GT(CseqNumber(bye), CseqNumber(again));
    EXPECT_TRUE(SentMessages("CANCEL").empty());
    peer.Reply(Respond(bye, 200, "OK"));
}

// The account's display name goes between quotes: what would end them early or start a header
// line is left out, and the requests still go out.
TEST_F(SipUaTest, DisplayNameCannotBreakTheAddress) {
    h.Register("alice", "secret", peer.port(), "127.0.0.1", 1800, "127.0.0.1", "Al \"B\" \\C\r\nX-Evil: 1");
    std::string r = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(0u, Header(r, "Contact").find("\"Al B CX-Evil: 1\" <sip:alice@127.0.0.1:")) << r;
    EXPECT_TRUE(Headers(r, "X-Evil").empty()) << r;
}

TEST_F(SipUaTest, RegistrarThatIsNotAUriSendsNothing) {
    h.Register("alice", "secret", peer.port(), ";");
    EXPECT_TRUE(peer.RecvRequest("REGISTER", 400).empty());
    EXPECT_TRUE(SentMessages("REGISTER").empty());
}

TEST_F(SipUaTest, RegistrarNamedByHostIsResolvedAndTheResolverStopsWithTheAgent) {
    h.Register("alice", "secret", peer.port(), "localhost", 1800, "localhost");
    std::string r = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(0u, r.find("REGISTER sip:localhost SIP/2.0"));
    peer.Reply(Respond(r, 200, "OK", "Expires: 1800\r\n"));
    ASSERT_TRUE(h.WaitFor(VOIPEVT_START));
    EXPECT_TRUE(TraceHas("Entering name resolution thread."));
    // TearDown stops the agent: the resolver thread is woken and joined.
}

TEST_F(SipUaTest, OversizedConferenceBodyInAReInviteIsHandledSafely) {
    RegisterAt(peer);
    peer.Send(Request("INVITE", "conf-1", 1, h.sipPort, peer.port(), kIlbc), h.sipPort);
    Notice call;
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_NEWCALL, &call));
    CM_SendEvent(call.call, call.cnx, CMEVT_CONNECT, -1, -1, nullptr);
    ASSERT_TRUE(WaitSent("200"));
    std::string tag = Param(Header(SentMessages("200").at(0), "To"), "tag");
    peer.Send(Request("ACK", "conf-1", 1, h.sipPort, peer.port(), "", "", tag), h.sipPort);
    std::string body;
    for (int i = 0; i < 11; ++i) {
        body += "<URI>" + std::string(300, 'u') + "</URI><PARENT>" + std::string(300, 'p') +
                "</PARENT><LEVEL> 1</LEVEL><STATUS> 4</STATUS>\n";
    }
    peer.Send(Request("INVITE", "conf-1", 2, h.sipPort, peer.port(), body.substr(0, 3000), "", tag, "information/contact"),
              h.sipPort);
    EXPECT_FALSE(peer.RecvStatus(200).empty());
    peer.Send(Request("BYE", "conf-1", 3, h.sipPort, peer.port(), "", "", tag), h.sipPort);
    ASSERT_TRUE(h.WaitFor(VOIPEVT_REMOTE_DISCONNECT));
}

}  // namespace

namespace {

// ----------------------------------------------------------------------------------------------
// A REGISTER or BYE answered with a redirection has failed, and the user agent learns it.

TEST_F(SipUaTest, RegisterRedirectedIsAFailedRegistration) {
    h.Register("alice", "secret", peer.port());
    std::string r = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r.empty());
    peer.Reply(Respond(r, 302, "Moved Temporarily", "Contact: <sip:elsewhere@127.0.0.1:9>\r\n"));
    EXPECT_TRUE(Eventually([] { return TraceHas("CMEVT_OSIP_STOPPED, 302"); }));
    EXPECT_FALSE(h.Seen(VOIPEVT_START));
    EXPECT_TRUE(peer.RecvRequest("REGISTER", 300).empty());
}

TEST_F(SipUaTest, ByeRedirectedEndsTheDialogAsFailed) {
    RegisterAt(peer);
    const OutCall c = Establish(kPcmu);
    CM_SendEvent(c.call, c.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    std::string bye = peer.RecvRequest("BYE");
    ASSERT_FALSE(bye.empty());
    peer.Reply(Respond(bye, 301, "Moved Permanently", "Contact: <sip:elsewhere@127.0.0.1:9>\r\n"));
    EXPECT_TRUE(Eventually([] { return TraceHas("OSIP_OnRemoteFailure: BYE failed with 301"); }));
    // Released at once; it goes when its BYE transaction has ended.
    osip_manager_lock(OSIP_GetOsip());
    for (OsipDialog* d : OSIP_GetUa()->dialogs) EXPECT_EQ(DLG_ENDED, d->state);
    osip_manager_unlock(OSIP_GetOsip());
}

}  // namespace

namespace {

// ----------------------------------------------------------------------------------------------
// The granted interval: our Contact's expires parameter first, then the Expires header.

struct GrantCase {
    const char* name;
    const char* contactParam;  // appended to our Contact in the 200 ("" for none)
    const char* expiresHeader; // "" for none
    int interval;              // seconds until the refresh
};
void PrintTo(const GrantCase& c, std::ostream* os) { *os << c.name; }
class SipUaGrantTest : public SipUaClockTest, public ::testing::WithParamInterface<GrantCase> {};

TEST_P(SipUaGrantTest, RefreshComesBeforeTheGrantRunsOut) {
    const GrantCase& c = GetParam();
    h.Register("alice", "secret", peer.port());
    std::string r = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r.empty());
    std::string extra = "Contact: " + Header(r, "Contact") + c.contactParam + "\r\n";
    if (c.expiresHeader[0] != '\0') extra += std::string("Expires: ") + c.expiresHeader + "\r\n";
    peer.Reply(Respond(r, 200, "OK", extra));
    ASSERT_TRUE(h.WaitFor(VOIPEVT_START));
    clock->advance(static_cast<uint64_t>(c.interval - 1) * 1000u);
    EXPECT_TRUE(peer.RecvRequest("REGISTER", 300).empty());
    clock->advance(1000);
    EXPECT_FALSE(peer.RecvRequest("REGISTER").empty());
}

INSTANTIATE_TEST_SUITE_P(Grants, SipUaGrantTest,
                         ::testing::Values(GrantCase{"ContactParamOverExpiresHeader", ";expires=40", "3600", 30},
                                           GrantCase{"ContactParamAlone", ";expires=120", "", 60},
                                           GrantCase{"ExpiresHeaderAlone", "", "40", 30},
                                           GrantCase{"ShortContactGrant", ";expires=20", "600", 10},
                                           // A negative grant is none: the expiry asked for holds.
                                           GrantCase{"NegativeGrant", ";expires=-1", "-1", 300}),
                         [](const ::testing::TestParamInfo<GrantCase>& i) { return std::string(i.param.name); });

TEST_F(SipUaTest, IntervalTooBriefIsAskedAgainOnceWithMinExpires) {
    h.Register("alice", "secret", peer.port());
    std::string r1 = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r1.empty());
    EXPECT_EQ("1800", Header(r1, "Expires"));
    peer.Reply(Respond(r1, 423, "Interval Too Brief", "Min-Expires: 3600\r\n"));
    std::string r2 = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r2.empty());
    EXPECT_EQ("3600", Header(r2, "Expires"));
    EXPECT_EQ(CseqNumber(r1) + 1, CseqNumber(r2));
    EXPECT_EQ(Header(r1, "Call-ID"), Header(r2, "Call-ID"));
    // A second 423 is a failed registration: no third REGISTER.
    peer.Reply(Respond(r2, 423, "Interval Too Brief", "Min-Expires: 7200\r\n"));
    EXPECT_TRUE(Eventually([] { return TraceHas("CMEVT_OSIP_STOPPED, 423"); }));
    EXPECT_TRUE(peer.RecvRequest("REGISTER", 300).empty());
    EXPECT_FALSE(h.Seen(VOIPEVT_START));
}

TEST_F(SipUaTest, MinExpiresGrantedRegisters) {
    h.Register("alice", "secret", peer.port());
    std::string r1 = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r1.empty());
    peer.Reply(Respond(r1, 423, "Interval Too Brief", "Min-Expires: 3600\r\n"));
    std::string r2 = peer.RecvRequest("REGISTER");
    ASSERT_FALSE(r2.empty());
    peer.Reply(Respond(r2, 200, "OK", "Expires: 3600\r\n"));
    EXPECT_TRUE(h.WaitFor(VOIPEVT_START));
}

}  // namespace
