// Access-server protocol: digest chain, the request of every command, the reply check and the parsers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/grouprecord.h"
#include "common/tests/store_fixture.h"
#include "common/xmldoc.h"
#include "platform/codepage.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"

namespace {

// Digests computed apart from the client (Python hashlib): md5("secret"), md5("secret" + kChallenge),
// md5("secret" + the previous digest), md5("").
const char kChallenge[] = "0123456789abcdef0123456789abcdef";
const char kPwdPlain[] = "5ebe2294ecd0e0f08eab7690d2a6ee69";
const char kPwdFirst[] = "14de2d5da652c6991bcd71ea1f0922a3";
const char kPwdSecond[] = "0d2b58dcf0eed05b47474447661159b5";
const char kPwdEmpty[] = "d41d8cd98f00b204e9800998ecf8427e";

// "张三" in the ANSI code page 936 and in UTF-8.
const char kZhangGbk[] = "\xd5\xc5\xc8\xfd";
const char kZhangUtf8[] = "\xe5\xbc\xa0\xe4\xb8\x89";

std::string Pwd(const std::string& text) {
    size_t a = text.find("<PWD>");
    return a == std::string::npos ? "" : text.substr(a + 5, 32);
}

CXmlDocument* Parsed(const std::string& text) {
    auto* doc = new CXmlDocument("UTF-8");
    doc->SetText(text);
    EXPECT_TRUE(doc->Parse()) << text;
    return doc;
}

class AsProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_cp = GetACP();
        plat::SetAnsiCodePage(936);
        session.Configure("alice", "secret");
        g_profileList.Clear();
    }
    void TearDown() override {
        plat::SetAnsiCodePage(m_cp);
        g_profileList.Clear();
    }
    AsRequest* Request(int command, void* data = nullptr, uint32_t kind = AS_DATA_NONE) {
        auto* r = static_cast<AsRequest*>(calloc(1, sizeof(AsRequest)));
        r->command = command;
        r->data = data;
        r->kind = kind;
        m_requests.emplace_back(r, &AS_FreeRequest);
        return r;
    }
    AsRequest* WithParams(int command, const char* s1, const char* s2, int i1, const char* s3, const char* s4) {
        auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
        p->str1 = s1 ? strdup(s1) : nullptr;
        p->str2 = s2 ? strdup(s2) : nullptr;
        p->str3 = s3 ? strdup(s3) : nullptr;
        p->str4 = s4 ? strdup(s4) : nullptr;
        p->int1 = i1;
        return Request(command, p, AS_DATA_PARAMS);
    }
    // Checks a reply to request (sent with Trid 0).
    AsSession::Outcome Check(AsRequest* r, const std::string& reply) {
        std::unique_ptr<CXmlDocument> doc(Parsed(reply));
        return session.CheckReply(*doc, r, 0);
    }

    AsSession session;
    UINT m_cp = 0;
    std::vector<std::unique_ptr<AsRequest, void (*)(AsRequest*)>> m_requests;
};

TEST_F(AsProtocolTest, DigestChainMovesWithEveryRequest) {
    std::string text;
    int32_t trid = 0;
    ASSERT_TRUE(session.BuildRequest(Request(AS_LGN), text, trid));
    EXPECT_EQ(kPwdPlain, Pwd(text));
    EXPECT_EQ(0, trid);
    EXPECT_EQ(AsSession::kRenewed,
              Check(Request(AS_LGN), std::string("<LGN Trid=\"0\" Rcd=\"101\"><CHG>") + kChallenge + "</CHG></LGN>"));
    EXPECT_TRUE(session.challengeHeld);
    ASSERT_TRUE(session.BuildRequest(Request(AS_SYN), text, trid));
    EXPECT_EQ(kPwdFirst, Pwd(text));
    EXPECT_EQ(1, trid);
    ASSERT_TRUE(session.BuildRequest(Request(AS_LGT), text, trid));
    EXPECT_EQ(kPwdSecond, Pwd(text));
    EXPECT_EQ(2, trid);

    // A new configuration drops the challenge; the counter goes on.
    session.Configure("alice", "");
    ASSERT_TRUE(session.BuildRequest(Request(AS_LGN), text, trid));
    EXPECT_EQ(kPwdEmpty, Pwd(text));
    EXPECT_EQ(3, trid);
}

TEST_F(AsProtocolTest, DigestTakesThePasswordInTheAnsiCodePage) {
    // Digests computed apart from the client (Python hashlib over the GBK bytes).
    struct Case {
        const char* name;
        std::string password;
        bool withChallenge;
        const char* pwd;
    } const cases[] = {
        {"typed in UTF-8", kZhangUtf8, false, "894152fff4f97e8fb2b8f304c5c56ebb"},
        {"already ANSI", kZhangGbk, false, "894152fff4f97e8fb2b8f304c5c56ebb"},
        {"with the challenge", kZhangUtf8, true, "b710f7166012303681d7dd2ae7c94254"},
        {"beyond GBK", "pw\xf0\x9f\x98\x80", false, "f102fbb3b363f26fa85a96509fd0dac2"},
        {"plain ASCII", "secret", false, kPwdPlain},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        session.Configure("alice", c.password.c_str());
        if (c.withChallenge) {
            memcpy(session.challenge, kChallenge, 32);
            session.challengeHeld = true;
        }
        std::string text;
        int32_t trid = 0;
        ASSERT_TRUE(session.BuildRequest(Request(AS_LGN), text, trid));
        EXPECT_EQ(c.pwd, Pwd(text));
    }
}

TEST_F(AsProtocolTest, EveryCommandBuildsItsRequest) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    auto frame = [&](const char* name, const std::string& children) {
        return head + "<" + name + " Trid=\"7\"><UID>alice</UID><PWD>" + kPwdPlain + "</PWD>" + children + "</" + name + ">";
    };
    GroupRecord* group = GroupRecord_New();
    strcpy(group->texts[2], "q1");
    strcpy(group->texts[3], "sq1");
    GroupRecord* group2 = GroupRecord_New();
    strcpy(group2->texts[2], "q2");
    strcpy(group2->texts[3], "sq2");
    auto* join = new CAsChatQueue;
    join->SetQueueId("q3");
    join->SetSubQueueId("sq3");
    join->SetUiText2("pf1");
    auto* joinPwd = new CAsChatQueue;
    joinPwd->SetQueueId("q4");
    joinPwd->SetSubQueueId("sq4");
    joinPwd->SetUiText1("pass");
    joinPwd->SetUiText2("pf2");
    auto* list = new CAsList;
    list->SetListName(kZhangGbk);
    for (int i = 1; i <= 2; ++i) {
        auto* e = new CAsCtiEntry;
        e->type = i;
        e->SetValue(i == 1 ? "13800000000" : "bob");
        list->ctiEntries.push_back(e);
    }
    auto* list2 = new CAsList;
    list2->SetListId("L9");
    list2->SetListName("friends");
    auto* sms = new AsSmsMessage;
    sms->source = strdup("1001");
    sms->text = strdup(kZhangGbk);
    sms->destinations = {strdup("13800000001"), strdup("13800000002")};
    const std::string cti = "<CTI CTIType=\"1\" CTIValue=\"13800000000\"/><CTI CTIType=\"2\" CTIValue=\"bob\"/>";
    const std::string zhang = kZhangUtf8;

    struct Case {
        AsRequest* request;
        std::string expected;
    } const cases[] = {
        {Request(AS_LGN), frame("LGN", "")},
        {Request(AS_LGT), frame("LGT", "")},
        {Request(AS_SYN), frame("SYN", "")},
        {Request(AS_SYQ, group, AS_DATA_GROUP), frame("SYQ", "<QID>q1</QID><SQID>sq1</SQID>")},
        {WithParams(AS_SQI, kZhangGbk, nullptr, 0, nullptr, nullptr), frame("SQI", "<QNAME>" + zhang + "</QNAME>")},
        {WithParams(AS_SQN, "room", nullptr, 0, nullptr, nullptr), frame("SQN", "<QDNAME>room</QDNAME>")},
        {Request(AS_JNQ, join, AS_DATA_JOIN), frame("JNQ", "<SQID>sq3</SQID><QID>q3</QID><PFID>pf1</PFID>")},
        {Request(AS_JNQ, joinPwd, AS_DATA_JOIN),
         frame("JNQ", "<SQID>sq4</SQID><QID>q4</QID><PFID>pf2</PFID><QPWD>pass</QPWD>")},
        {Request(AS_QTQ, group2, AS_DATA_GROUP), frame("QTQ", "<QID>q2</QID><SQID>sq2</SQID>")},
        {Request(AS_SYJQ), frame("SYJQ", "")},
        {WithParams(AS_REA, nullptr, nullptr, 0, kZhangGbk, nullptr), frame("REA", "<DNAME>" + zhang + "</DNAME>")},
        {WithParams(AS_ADD, nullptr, nullptr, 0, "1002", nullptr), frame("ADD", "<BUID>1002</BUID>")},
        {WithParams(AS_REM, "1002", nullptr, 0, "g1", nullptr), frame("REM", "<BUID>1002</BUID><GID>g1</GID>")},
        {WithParams(AS_REB, "1002", nullptr, 0, kZhangGbk, nullptr), frame("REB", "<BUID>1002</BUID><NNAME>" + zhang + "</NNAME>")},
        {WithParams(AS_BLK, "1003", nullptr, 0, nullptr, nullptr), frame("BLK", "<BUID>1003</BUID>")},
        {WithParams(AS_UBLK, "1003", nullptr, 0, nullptr, nullptr), frame("UBLK", "<BUID>1003</BUID>")},
        {WithParams(AS_MVB, "1002", "g2", 0, nullptr, "g1"), frame("MVB", "<BUID>1002</BUID><GID>g2</GID><SRCGID>g1</SRCGID>")},
        {WithParams(AS_ADG, "", "0", 0, kZhangGbk, nullptr), frame("ADG", "<GNAME>" + zhang + "</GNAME><PGID>0</PGID>")},
        {WithParams(AS_RMG, "g1", nullptr, 0, nullptr, nullptr), frame("RMG", "<GID>g1</GID>")},
        {WithParams(AS_MVG, "g1", "g0", 0, nullptr, nullptr), frame("MVG", "<GID>g1</GID><PGID>g0</PGID>")},
        {WithParams(AS_RNG, "g1", nullptr, 0, "work", nullptr), frame("RNG", "<GID>g1</GID><GNAME>work</GNAME>")},
        {Request(AS_ADL, list, AS_DATA_LIST), frame("ADL", "<LNAME>" + zhang + "</LNAME>" + cti)},
        {WithParams(AS_RML, "L1", nullptr, 0, nullptr, nullptr), frame("RML", "<LID>L1</LID>")},
        {Request(AS_UDL, list2, AS_DATA_LIST), frame("UDL", "<LID>L9</LID><LNAME>friends</LNAME>")},
        {WithParams(AS_SRB, "1004", nullptr, 0, nullptr, nullptr), frame("SRB", "<BUID>1004</BUID>")},
        {WithParams(AS_SRUL, kZhangGbk, nullptr, 0, nullptr, nullptr), frame("SRUL", "<DNAME>" + zhang + "</DNAME>")},
        {Request(AS_GCR), frame("GCR", "")},
        {Request(AS_SND, sms, AS_DATA_SMS),
         frame("SND", "<SRC>1001</SRC><DEST>13800000001</DEST><DEST>13800000002</DEST><MSG>" + zhang + "</MSG>")},
        {WithParams(AS_SUD, "sipuser", nullptr, 8888, nullptr, nullptr), frame("SUD", "<SRVID>8888</SRVID><SRVACCT>sipuser</SRVACCT>")},
        {WithParams(AS_REL, nullptr, nullptr, 0, "logo1", nullptr), frame("REL", "<LOGO>logo1</LOGO>")},
    };
    int commands[AS_COMMAND_COUNT] = {0};
    for (const Case& c : cases) {
        SCOPED_TRACE(g_asCommandTable[c.request->command].name);
        ++commands[c.request->command];
        session.trid = 7;
        std::string text;
        int32_t trid = 0;
        ASSERT_TRUE(session.BuildRequest(c.request, text, trid));
        EXPECT_EQ(c.expected, text);
    }
    for (int i = 0; i < AS_COMMAND_COUNT; ++i) EXPECT_GE(commands[i], 1) << g_asCommandTable[i].name;
}

TEST_F(AsProtocolTest, BuilderMissingTextRefusesTheCommand) {
    std::string text;
    int32_t trid = 0;
    EXPECT_FALSE(session.BuildRequest(WithParams(AS_REM, "1002", nullptr, 0, nullptr, nullptr), text, trid));
    EXPECT_FALSE(session.BuildRequest(WithParams(AS_ADG, nullptr, "0", 0, "g", nullptr), text, trid));
    EXPECT_FALSE(session.BuildRequest(Request(AS_ADD), text, trid));
    std::string huge(AS_BUFFER_SIZE, 'x');
    EXPECT_FALSE(session.BuildRequest(WithParams(AS_BLK, huge.c_str(), nullptr, 0, nullptr, nullptr), text, trid));
}

TEST_F(AsProtocolTest, ReplyCheck) {
    struct Case {
        const char* name;
        int command;
        std::string reply;
        AsSession::Outcome outcome;
        int code;
        bool held = false;  // a CHG element, of any length, marks the challenge held
    } const cases[] = {
        {"ok", AS_LGT, "<LGT Trid=\"0\" Rcd=\"0\"/>", AsSession::kAccepted, 0},
        {"server code passes", AS_LGT, "<LGT Trid=\"0\" Rcd=\"403\"/>", AsSession::kAccepted, 403},
        {"no Trid, no Rcd", AS_LGT, "<LGT/>", AsSession::kAccepted, 0},
        {"name differs in case", AS_LGT, "<lgt Trid=\"0\"/>", AsSession::kRejected, 0},
        {"other command", AS_LGT, "<LGN Trid=\"0\"/>", AsSession::kRejected, 0},
        {"wrong Trid", AS_LGT, "<LGT Trid=\"5\" Rcd=\"0\"/>", AsSession::kRejected, 0},
        {"101 without CHG", AS_LGT, "<LGT Trid=\"0\" Rcd=\"101\"/>", AsSession::kRejected, 101},
        {"101 with short CHG", AS_LGT, "<LGT Trid=\"0\" Rcd=\"101\"><CHG>abc</CHG></LGT>", AsSession::kRejected, 101, true},
        {"101 renews", AS_LGT, std::string("<LGT Rcd=\"101\"><CHG>") + kChallenge + "</CHG></LGT>", AsSession::kRenewed, 101, true},
        {"parser fails", AS_ADG, "<ADG Trid=\"0\" Rcd=\"0\"/>", AsSession::kRejected, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        session.challengeHeld = false;
        AsRequest* r = c.command == AS_ADG ? WithParams(AS_ADG, "x", "0", 0, "g", nullptr) : Request(c.command);
        EXPECT_EQ(c.outcome, Check(r, c.reply));
        EXPECT_EQ(c.code, session.lastCode);
        EXPECT_EQ(c.held, session.challengeHeld);
    }
    // A refused command keeps its parameters (the parser never ran).
    AsRequest* add = WithParams(AS_ADD, nullptr, nullptr, 0, "1002", nullptr);
    EXPECT_EQ(AsSession::kAccepted, Check(add, "<ADD Trid=\"0\" Rcd=\"7\"><BUID>1002</BUID></ADD>"));
    EXPECT_EQ(AS_DATA_PARAMS, add->kind);
}

TEST_F(AsProtocolTest, SynchronisationIsParsedIntoTheResult) {
    const std::string z = kZhangUtf8;
    std::string reply =
        "<SYN Trid=\"0\" Rcd=\"0\">"
        "<SRV><SRVID>8886</SRVID><SRVACCT>1001</SRVACCT><SRVPWD>p1</SRVPWD></SRV>"
        "<SRV><SRVID>8888</SRVID><SRVACCT>alice</SRVACCT><SRVPWD>p2</SRVPWD></SRV>"
        "<SRV><SRVID>8888</SRVID><SRVACCT>nopwd</SRVACCT></SRV>"
        "<LSG><GID>g1</GID><GNAME>" + z + "</GNAME><PGID>0</PGID></LSG><LSG><GID>g2</GID></LSG>"
        "<LSL><LID>L1</LID><LNAME>list</LNAME><CTI CTIType=\"1\" CTIValue=\"" + z + "\"/></LSL>"
        "<CTI CTIType=\"3\" CTIValue=\"x@y\"/><CTI CTIType=\"4\"/>"
        "<LST><UID>1002</UID><NNAME>" + z + "</NNAME><DNAME>Bob</DNAME><GID>g1</GID><LSTTYPE>2</LSTTYPE>"
        "<SRV><SRVID>8886</SRVID><SRVACCT>1002</SRVACCT></SRV><SRV><SRVID>1</SRVID><SRVACCT>b</SRVACCT></SRV>"
        "<CTI CTIType=\"1\" CTIValue=\"139\"/></LST><LST><NNAME>no id</NNAME></LST>"
        "<LSQ><QID>q1</QID><QNAME>" + z + "</QNAME><ISCREATOR>1</ISCREATOR><CTYPE>2</CTYPE><MNUM>5</MNUM></LSQ>"
        "<LSQ><QID>q2</QID><ISCREATOR>2</ISCREATOR></LSQ><LSQ><QNAME>no id</QNAME></LSQ>"
        "<DNAME>" + z + "</DNAME><LOGO>3</LOGO><PFID>pf9</PFID>"
        "<LSP><PFID>pf1</PFID><PFNAME>work</PFNAME><LOGO>1</LOGO></LSP><LSP><PFID>pf2</PFID></LSP>"
        "</SYN>";
    AsRequest* r = Request(AS_SYN);
    ASSERT_EQ(AsSession::kAccepted, Check(r, reply));
    ASSERT_EQ(AS_DATA_SYNC, r->kind);
    auto* s = static_cast<CAsSyncResult*>(r->data);
    ASSERT_EQ(2u, s->services.size());
    EXPECT_EQ(1, s->services[0]->serviceId);
    EXPECT_STREQ("1001", s->services[0]->account);
    EXPECT_EQ(2, s->services[1]->serviceId);
    EXPECT_STREQ("p2", s->services[1]->password);
    ASSERT_EQ(1u, s->groups.size());
    EXPECT_STREQ(kZhangGbk, s->groups[0]->name);
    EXPECT_STREQ("0", s->groups[0]->parentId);
    ASSERT_EQ(1u, s->lists.size());
    ASSERT_EQ(1u, s->lists[0]->ctiEntries.size());
    EXPECT_STREQ(kZhangGbk, s->lists[0]->ctiEntries[0]->value);
    ASSERT_EQ(1u, s->ctiEntries.size());
    EXPECT_EQ(3, s->ctiEntries[0]->type);
    ASSERT_EQ(1u, s->buddies.size());
    CAsBuddy* b = s->buddies[0];
    EXPECT_STREQ("1002", b->uid);
    EXPECT_STREQ(kZhangGbk, b->nickName);
    EXPECT_EQ(2, b->listType);
    ASSERT_EQ(2u, b->services.size());
    EXPECT_EQ(1, b->services[0]->serviceId);
    EXPECT_EQ(0, b->services[1]->serviceId);
    ASSERT_EQ(1u, b->ctiEntries.size());
    ASSERT_EQ(1u, s->queueRoots[0]->entries.size());
    ASSERT_EQ(1u, s->queueRoots[1]->entries.size());
    auto* q = static_cast<CAsChatQueue*>(s->queueRoots[0]->entries[0]);
    EXPECT_STREQ(kZhangGbk, q->name);
    EXPECT_EQ(5, q->memberCount);
    EXPECT_STREQ(kZhangGbk, s->displayName);
    EXPECT_STREQ("pf9", s->profileId);
    // Profiles go into the result; the frame installs them, with the user's own profile appended.
    EXPECT_TRUE(g_profileList.entries.empty());
    AS_InstallProfiles(s);
    ASSERT_EQ(2u, g_profileList.entries.size());
    EXPECT_STREQ("pf1", g_profileList.entries.front()->id);
    EXPECT_STREQ("pf9", g_profileList.entries.back()->id);
    EXPECT_STREQ(kZhangGbk, g_profileList.entries.back()->name);
    EXPECT_TRUE(g_profileList.MoveToFront("PF9"));
    EXPECT_STREQ("pf9", g_profileList.entries.front()->id);
    EXPECT_FALSE(g_profileList.MoveToFront("none"));

    AsRequest* empty = Request(AS_SYN);
    ASSERT_EQ(AsSession::kAccepted, Check(empty, "<SYN/>"));
    auto* e = static_cast<CAsSyncResult*>(empty->data);
    EXPECT_EQ(nullptr, e->displayName);
    EXPECT_TRUE(e->buddies.empty());
    AS_InstallProfiles(e);
    EXPECT_TRUE(g_profileList.entries.empty());
}

TEST_F(AsProtocolTest, OtherRepliesAreParsedIntoTheirRecords) {
    const std::string z = kZhangUtf8;
    const std::string queue = "<QID>q</QID><SQID>s</SQID><DES>d</DES><QNAME>" + z +
                              "</QNAME><QDNAME>qd</QDNAME><FNAME>f</FNAME><CTYPE>1</CTYPE><MNUM>3</MNUM>";
    AsRequest* sqi = WithParams(AS_SQI, "x", nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(AsSession::kAccepted, Check(sqi, "<SQI>" + queue + "</SQI>"));
    ASSERT_EQ(AS_DATA_QUEUES, sqi->kind);
    auto* queues = static_cast<CAsResultList*>(sqi->data);
    ASSERT_EQ(1u, queues->GetCount());
    EXPECT_STREQ(kZhangGbk, static_cast<CAsChatQueue*>(queues->GetAt(0))->name);
    EXPECT_EQ(nullptr, queues->GetAt(1));
    AsRequest* sqiShort = WithParams(AS_SQI, "x", nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(AsSession::kAccepted, Check(sqiShort, "<SQI><QID>q</QID></SQI>"));
    EXPECT_EQ(0u, static_cast<CAsResultList*>(sqiShort->data)->GetCount());

    AsRequest* sqn = WithParams(AS_SQN, "x", nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(AsSession::kAccepted,
              Check(sqn, "<SQN><SNTOL>12</SNTOL><SNCUR>2</SNCUR><LSQ>" + queue + "</LSQ><LSQ>" + queue + "</LSQ></SQN>"));
    auto* found = static_cast<CAsResultList*>(sqn->data);
    EXPECT_EQ(2u, found->GetCount());
    EXPECT_EQ(12, found->total);
    EXPECT_EQ(2, found->current);
    AsRequest* sqnBare = WithParams(AS_SQN, "x", nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(AsSession::kAccepted, Check(sqnBare, "<SQN><LSQ>" + queue + "</LSQ></SQN>"));
    EXPECT_EQ(0, static_cast<CAsResultList*>(sqnBare->data)->total);
    EXPECT_EQ(0, static_cast<CAsResultList*>(sqnBare->data)->current);

    AsRequest* add = WithParams(AS_ADD, nullptr, nullptr, 0, "1002", nullptr);
    ASSERT_EQ(AsSession::kAccepted, Check(add, "<ADD><BUID>1002</BUID><DNAME>" + z + "</DNAME><LSTTYPE>1</LSTTYPE></ADD>"));
    ASSERT_EQ(AS_DATA_BUDDY, add->kind);
    EXPECT_STREQ(kZhangGbk, static_cast<CAsBuddy*>(add->data)->displayName);
    AsRequest* addNoId = WithParams(AS_ADD, nullptr, nullptr, 0, "1002", nullptr);
    EXPECT_EQ(AsSession::kRejected, Check(addNoId, "<ADD><DNAME>x</DNAME></ADD>"));

    AsRequest* adg = WithParams(AS_ADG, "old", "0", 0, "g", nullptr);
    ASSERT_EQ(AsSession::kAccepted, Check(adg, "<ADG><GID>g7</GID></ADG>"));
    EXPECT_STREQ("g7", static_cast<AsParams*>(adg->data)->str1);

    auto* list = new CAsList;
    list->SetListName("n");
    AsRequest* adl = Request(AS_ADL, list, AS_DATA_LIST);
    ASSERT_EQ(AsSession::kAccepted, Check(adl, "<ADL Rcd=\"0\"><LID>L5</LID></ADL>"));
    EXPECT_EQ(list, adl->data);
    EXPECT_STREQ("L5", list->listId);

    AsRequest* srul = WithParams(AS_SRUL, "x", nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(AsSession::kAccepted,
              Check(srul, "<SRUL><LST><UID>1</UID><NNAME>" + z + "</NNAME></LST><LST><NNAME>x</NNAME></LST></SRUL>"));
    auto* names = static_cast<CAsNameList*>(srul->data);
    ASSERT_EQ(1u, names->results.size());
    EXPECT_STREQ(kZhangGbk, names->results[0]->name);

    AsRequest* gcr = Request(AS_GCR);
    ASSERT_EQ(AsSession::kAccepted,
              Check(gcr, "<GCR><LCR CTYPE=\"4\"><QID>q</QID><QNAME>" + z + "</QNAME><CTYPE>5</CTYPE></LCR>"
                         "<LCR><QID>q2</QID><QNAME>n</QNAME></LCR></GCR>"));
    auto* rooms = static_cast<CAsResultList*>(gcr->data);
    ASSERT_EQ(1u, rooms->GetCount());
    EXPECT_EQ(4, static_cast<AsLcrEntry*>(rooms->GetAt(0))->attributeType);
    EXPECT_EQ(5, static_cast<AsLcrEntry*>(rooms->GetAt(0))->type);

    AsRequest* sud = WithParams(AS_SUD, "a", nullptr, 8888, nullptr, nullptr);
    ASSERT_EQ(AsSession::kAccepted, Check(sud, "<SUD><X><UDOU>42</UDOU></X></SUD>"));
    EXPECT_EQ(42, static_cast<AsParams*>(sud->data)->int1);

    GroupRecord* group = GroupRecord_New();
    strcpy(group->texts[2], "q");
    strcpy(group->texts[3], "s");
    AsRequest* syq = Request(AS_SYQ, group, AS_DATA_GROUP);
    storetest::TraceCapture trace;
    ASSERT_EQ(AsSession::kAccepted,
              Check(syq, "<SYQ><LSQ><SQID>s1</SQID><QNAME>room</QNAME><MNUM>2</MNUM></LSQ><LST><UID>7</UID><NNAME>" + z +
                             "</NNAME><SRV><SRVID>8888</SRVID><SRVACCT>a</SRVACCT><FCID>3</FCID></SRV></LST></SYQ>"));
    EXPECT_EQ(group, syq->data);
    EXPECT_TRUE(trace.Contains("QNAME room"));  // each queue is logged with its name
    ASSERT_EQ(1u, group->entries.size());
    ASSERT_EQ(1u, group->members.size());
    EXPECT_STREQ(kZhangGbk, group->members[0]->second);
    ASSERT_EQ(1u, group->members[0]->items.size());
    EXPECT_EQ(2, group->members[0]->items[0]->value);

    AsRequest* syjq = Request(AS_SYJQ);
    ASSERT_EQ(AsSession::kAccepted,
              Check(syjq, "<SYJQ><LSQ><QID>a</QID><ISCREATOR>1</ISCREATOR></LSQ><LSQ><QID>b</QID></LSQ></SYJQ>"));
    auto* joined = static_cast<AsJoinedQueues*>(syjq->data);
    EXPECT_EQ(1u, joined->created->entries.size());
    EXPECT_EQ(1u, joined->joined->entries.size());
}

TEST(AsRecords, CopiesAndSetters) {
    CAsChatQueue a;
    a.SetQueueId("q");
    a.SetName("n");
    a.type = 3;
    a = a;  // self-assignment keeps the texts
    EXPECT_STREQ("q", a.queueId);
    CAsChatQueue b(a);
    EXPECT_STREQ("n", b.name);
    EXPECT_NE(a.name, b.name);
    EXPECT_EQ(3, b.type);
    EXPECT_TRUE(b.SetName(b.name));  // a field given its own text stays intact
    EXPECT_STREQ("n", b.name);
    CAsStringList s;
    EXPECT_TRUE(s.Append("x"));
    EXPECT_FALSE(s.Append(nullptr));
    EXPECT_EQ(1u, s.texts.size());
}

}  // namespace
