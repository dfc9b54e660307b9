// Address-book replies against alice's synchronisation as the access test server sends it
// (data/alice_syn.xml, recorded from tools/accessserver with its seeded database).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/debug.h"
#include "common/grouprecord.h"
#include "common/xmldoc.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/msgqueue.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/presence_core.h"
#include "ui/contacts/addrbook_logic.h"
#include "ui/contacts/addrbook_replies.h"
#include "ui/contacts/tests/book_fixture.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/shell_messages.h"

using namespace contacts;
using booktest::Find;
using booktest::NewRequest;
using booktest::Parsed;
using booktest::Recorded;

namespace {

std::vector<std::string> Labels(AddrNode* root, int tree) {
    std::vector<std::string> out;
    for (const PlanItem& p : RebuildPlan(root, root, tree, false, BookWords())) out.push_back(p.label.toStdString());
    return out;
}

// Collects the trace lines (module and text) while it lives.
struct TraceCapture {
    TraceCapture() {
        lines().clear();
        debug_enable = 1;
        debug_all = DBG_LOW;
        g_debugOutput = [](unsigned module, const char* text) { lines().emplace_back(module, text); };
    }
    ~TraceCapture() {
        g_debugOutput = nullptr;
        debug_enable = enabled;
        debug_all = all;
    }
    static std::vector<std::pair<unsigned, std::string>>& lines() {
        static std::vector<std::pair<unsigned, std::string>> held;
        return held;
    }
    // The module of the first line holding the text, or -1.
    static int ModuleOf(const std::string& part) {
        for (const auto& [module, text] : lines())
            if (text.find(part) != std::string::npos) return static_cast<int>(module);
        return -1;
    }
    const int32_t enabled = debug_enable.load();
    const int32_t all = debug_all.load();
};

class BookReplies : public booktest::BookTest {
protected:
    void SetUp() override {
        BookTest::SetUp();
        DropAccounts();
        frame = plat::RegisterWindowTarget([this](HWND, UINT m, WPARAM, LPARAM l) -> LRESULT {
            if (m == WM_AS_GROUP_LIST) {
                auto* g = reinterpret_cast<GroupRecord*>(l);
                lists.push_back({g->words[1], g->entries.size()});
                GroupRecord_Free(g);
            }
            return 0;
        });
        g_hMainWnd = frame;
        Hooks() = ReplyHooks();
        Hooks().rebuildBuddy = [this](const char* id) { rebuilt.push_back(std::string("buddy:") + (id ? id : "*")); };
        Hooks().rebuildCard = [this](const char* id) { rebuilt.push_back(std::string("card:") + (id ? id : "*")); };
        Hooks().forgetNode = [this](AddrNode* n) { forgotten.push_back(n->id); };
    }
    void TearDown() override {
        Hooks() = ReplyHooks();
        plat::PumpWindowMessages(frame);
        g_hMainWnd = nullptr;
        plat::UnregisterWindowTarget(frame);
        BookTest::TearDown();
    }
    void Sync() {
        AsRequest* r = Parsed(AS_SYN, Recorded());
        EXPECT_EQ(0, OnAsSyncReply(r));
        EXPECT_EQ(nullptr, r->data);
        AS_FreeRequest(r);
        plat::PumpWindowMessages(frame);
    }
    HWND frame = nullptr;
    std::vector<std::pair<int, size_t>> lists;
    std::vector<std::string> rebuilt, forgotten;
};

TEST_F(BookReplies, RecordedSyncFillsTheStore) {
    g_strUserId = "alice";
    // Expanded groups come back from the local configuration written at the last log-off.
    const std::string conf = LocalConfPath();
    WritePrivateProfileStringA("localconf", "g-work", "1", conf.c_str());
    Sync();
    ASSERT_NE(nullptr, Account_FindByType(ACCOUNT_TYPE_SERVICE));
    ASSERT_NE(nullptr, Account_FindByType(ACCOUNT_TYPE_SIP));
    EXPECT_EQ("Alice", Own().displayName);
    AddrNode* friends = Find(Root(0), "g-friends");
    AddrNode* team = Find(Root(0), "g-team");
    ASSERT_NE(nullptr, friends);
    ASSERT_NE(nullptr, team);
    EXPECT_EQ("g-work", std::string(team->parent->id));
    EXPECT_TRUE(Find(Root(0), "g-work")->flags & FLAG_EXPANDED);
    EXPECT_FALSE(friends->flags & FLAG_EXPANDED);
    AddrNode* carol = Find(Root(0), "carol");
    ASSERT_NE(nullptr, carol);
    EXPECT_TRUE(carol->flags & ADDR_FLAG_BLOCKED);
    AddrNode* bob = Find(Root(0), "bob");
    ASSERT_NE(nullptr, bob);
    EXPECT_STREQ("Bobby", ContactNick(bob));
    EXPECT_STREQ("head1.bmp", static_cast<AddrContact*>(bob)->extra);
    // bob: his two accounts (9 messaging, 8 SIP) and a mobile.
    std::vector<uint32_t> types;
    for (AddrNode* c = bob->child; c; c = c->next) types.push_back(c->type);
    std::sort(types.begin(), types.end());
    EXPECT_EQ((std::vector<uint32_t>{3, 8, 9}), types);
    // The cards: a type outside 2-5 becomes 2 in a sync.
    AddrNode* dentist = Find(Root(2), "l-dentist");
    ASSERT_NE(nullptr, dentist);
    EXPECT_EQ(ADDR_KIND_LIST, dentist->kind);
    EXPECT_EQ("Dentist", ItemLabel(dentist, TREE_CARD, BookWords()).toStdString());
    // The two chat-group lists went to the frame: created and joined.
    ASSERT_EQ(2u, lists.size());
    EXPECT_EQ(1, lists[0].first);
    EXPECT_EQ(2, lists[1].first);
    EXPECT_EQ(2u, lists[0].second + lists[1].second);  // 开发讨论 and Lunch club
    // What the My-contacts tree shows of it.
    const auto labels = Labels(Root(0), TREE_BUDDY);
    EXPECT_NE(labels.end(), std::find(labels.begin(), labels.end(), "Bobby(Bob)--Offline"));
}

// The local configuration stays inside the profile whatever the typed user id holds.
TEST_F(BookReplies, LocalConfigurationPathKeepsTheUserIdInsideTheProfile) {
    const std::string profile = shell::Paths().profileFolder;
    for (const char* id : {"../../outside", "a/b", "..", "x\\y"}) {
        g_strUserId = id;
        const std::string path = LocalConfPath();
        if (path.empty()) continue;  // nothing left of the id: no file at all
        const std::string folder = plat::PathJoin(profile, "individual") + "/";
        ASSERT_EQ(0u, path.rfind(folder, 0)) << path;
        const std::string rest = path.substr(folder.size());  // user id, "/", user id
        EXPECT_EQ(1, std::count(rest.begin(), rest.end(), '/')) << path;
        EXPECT_EQ(std::string::npos, rest.find("..")) << path;
    }
    g_strUserId.clear();
}

// Every account the sync makes is handed back in order, for the open accounts dialog.
TEST_F(BookReplies, SyncHandsBackEveryAccountItMakes) {
    AsRequest* r = Parsed(AS_SYN, Recorded());
    std::vector<Account*> added;
    EXPECT_EQ(0, FillFromSync(static_cast<CAsSyncResult*>(r->data), r->result, &added));
    AS_FreeRequest(r);
    plat::PumpWindowMessages(frame);
    ASSERT_EQ(2u, added.size());
    EXPECT_NE(added.end(), std::find(added.begin(), added.end(), Account_FindByType(ACCOUNT_TYPE_SERVICE)));
    EXPECT_NE(added.end(), std::find(added.begin(), added.end(), Account_FindByType(ACCOUNT_TYPE_SIP)));
    // A service of a kind the program does not know is made an account all the same, of kind 0; one
    // without an account name is passed over.
    r = Parsed(AS_SYN,
               "<SYN Rcd=\"0\"><SRV><SRVID>7777</SRVID><SRVACCT>other</SRVACCT><SRVPWD>p</SRVPWD></SRV>"
               "<SRV><SRVID>8888</SRVID><SRVPWD>p</SRVPWD></SRV></SYN>");
    added.clear();
    EXPECT_EQ(0, FillFromSync(static_cast<CAsSyncResult*>(r->data), r->result, &added));
    AS_FreeRequest(r);
    plat::PumpWindowMessages(frame);
    ASSERT_EQ(1u, added.size());
    EXPECT_STREQ("other", added[0]->userName);
    EXPECT_EQ(0u, added[0]->type);
}

TEST_F(BookReplies, SyncOrderAndMissingGroups) {
    TraceCapture trace;
    AsRequest* r = Parsed(AS_SYN,
        "<SYN Rcd=\"0\"><SRV><SRVID>8888</SRVID><SRVACCT>a</SRVACCT><SRVPWD>p</SRVPWD></SRV>"
        "<LSG><GID>child</GID><GNAME>Child</GNAME><PGID>parent</PGID></LSG>"
        "<LSG><GID>parent</GID><GNAME>Parent</GNAME><PGID>0</PGID></LSG>"
        "<LSL><LID>l1</LID><LNAME>Web</LNAME><CTI CTIType=\"6\" CTIValue=\"http://x\"/></LSL>"
        "<LST><UID>u1</UID><NNAME/><DNAME>U</DNAME><LOGO/><GID>nowhere</GID><LSTTYPE>0</LSTTYPE></LST></SYN>");
    EXPECT_EQ(0, OnAsSyncReply(r));
    AS_FreeRequest(r);
    EXPECT_NE(nullptr, Find(Root(0), "parent"));
    EXPECT_EQ(nullptr, Find(Root(0), "child"));  // its parent came later in the list
    EXPECT_EQ(nullptr, Find(Root(0), "u1"));     // a buddy of a missing group is dropped
    AddrNode* card = Find(Root(2), "l1");
    ASSERT_NE(nullptr, card);
    EXPECT_EQ(2u, card->child->type);
    // A chain of groups deeper than the limit stops at it.
    std::string chain = "<SYN Rcd=\"0\"><SRV><SRVID>8888</SRVID><SRVACCT>a</SRVACCT><SRVPWD>p</SRVPWD></SRV>";
    for (int i = 0; i < 40; ++i)
        chain += "<LSG><GID>d" + std::to_string(i) + "</GID><GNAME>D</GNAME><PGID>" + (i ? "d" + std::to_string(i - 1) : "0") + "</PGID></LSG>";
    r = Parsed(AS_SYN, chain + "</SYN>");
    EXPECT_EQ(0, OnAsSyncReply(r));
    AS_FreeRequest(r);
    EXPECT_NE(nullptr, Find(Root(0), "d31"));
    EXPECT_EQ(nullptr, Find(Root(0), "d32"));
    EXPECT_EQ(int(MOD_QZ), trace.ModuleOf("group d32 skipped, nested deeper than 32"));
    // Without any service the sync fails, and its record is still released.
    r = Parsed(AS_SYN, "<SYN Rcd=\"0\"><DNAME>x</DNAME></SYN>");
    EXPECT_EQ(1, OnAsSyncReply(r));
    EXPECT_EQ(nullptr, r->data);
    AS_FreeRequest(r);
}

// A buddy's entry of a service the program does not know becomes a VoIP identity bound to the account
// of that kind; a card's VoIP number and service id keep their kinds through a sync, so that the card's
// rename and edit send them back as they came.
TEST_F(BookReplies, SyncKeepsUnknownServicesAndCardVoipEntries) {
    AsRequest* r = Parsed(AS_SYN,
        "<SYN Rcd=\"0\"><SRV><SRVID>8888</SRVID><SRVACCT>a</SRVACCT><SRVPWD>p</SRVPWD></SRV>"
        "<SRV><SRVID>7777</SRVID><SRVACCT>a-other</SRVACCT><SRVPWD>p</SRVPWD></SRV>"
        "<LSG><GID>g</GID><GNAME>G</GNAME><PGID>0</PGID></LSG>"
        "<LST><UID>u1</UID><NNAME>N</NNAME><DNAME>D</DNAME><LOGO/><GID>g</GID><LSTTYPE>0</LSTTYPE>"
        "<SRV><SRVID>7777</SRVID><SRVACCT>u1-other</SRVACCT></SRV>"
        "<SRV><SRVID>8886</SRVID><SRVACCT>u1</SRVACCT></SRV>"  // no messaging account: left out
        "<SRV><SRVID>8888</SRVID><SRVACCT>u1</SRVACCT></SRV></LST>"
        "<LSL><LID>l1</LID><LNAME>Card</LNAME><CTI CTIType=\"3\" CTIValue=\"139\"/><CTI CTIType=\"8\" CTIValue=\"1000\"/>"
        "<CTI CTIType=\"9\" CTIValue=\"svc-1\"/><CTI CTIType=\"6\" CTIValue=\"http://x\"/></LSL></SYN>");
    EXPECT_EQ(0, OnAsSyncReply(r));
    AS_FreeRequest(r);
    AddrNode* u1 = Find(Root(0), "u1");
    ASSERT_NE(nullptr, u1);
    std::vector<std::pair<uint32_t, uint32_t>> identities;  // identity type, account kind
    for (AddrNode* c = u1->child; c; c = c->next) {
        auto* id = static_cast<AddrIdentity*>(c);
        identities.emplace_back(c->type, id->account ? id->account->type : 99u);
    }
    EXPECT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{8, 0}, {8, ACCOUNT_TYPE_SIP}}), identities);
    EXPECT_STREQ("a-other", static_cast<AddrIdentity*>(u1->child)->account->userName);

    AddrNode* card = Find(Root(2), "l1");
    ASSERT_NE(nullptr, card);
    std::vector<uint32_t> types;
    for (AddrNode* c = card->child; c; c = c->next) types.push_back(c->type);
    EXPECT_EQ((std::vector<uint32_t>{3, 8, 9, 2}), types);  // only the type outside the card's kinds becomes 2
    std::unique_ptr<CAsList> renamed(CardListFromNode(card, "Card 2"));
    ASSERT_NE(nullptr, renamed);
    std::vector<std::pair<int32_t, std::string>> sent;
    for (const CAsCtiEntry* e : renamed->ctiEntries) sent.emplace_back(e->type, e->value);
    EXPECT_EQ((std::vector<std::pair<int32_t, std::string>>{{3, "139"}, {8, "1000"}, {9, "svc-1"}, {2, "http://x"}}), sent);
}

TEST_F(BookReplies, AddBuddyAddListAndUpdateList) {
    Sync();
    rebuilt.clear();
    const std::string buddy = "<ADD Rcd=\"0\"><BUID>lina2</BUID><NNAME/><DNAME>Lina</DNAME><LOGO/><GID>%s</GID><LSTTYPE>1</LSTTYPE>"
                              "<SRV><SRVID>8886</SRVID><SRVACCT>lina2</SRVACCT></SRV><CTI CTIType=\"9\" CTIValue=\"5\"/></ADD>";
    std::string missing = buddy;
    missing.replace(missing.find("%s"), 2, "nowhere");
    AsRequest* r = Parsed(AS_ADD, missing);
    EXPECT_EQ(1, OnAsAddBuddyReply(r));  // a missing group fails an ADD
    AS_FreeRequest(r);
    std::string good = buddy;
    good.replace(good.find("%s"), 2, "g-team");
    r = Parsed(AS_ADD, good);
    EXPECT_EQ(0, OnAsAddBuddyReply(r));
    AS_FreeRequest(r);
    AddrNode* lina = Find(Root(0), "lina2");
    ASSERT_NE(nullptr, lina);
    EXPECT_FALSE(lina->flags & ADDR_FLAG_BLOCKED);  // no blocked flag from ADD
    ASSERT_NE(nullptr, lina->child);
    EXPECT_EQ(9u, lina->child->type);                // the messaging account, then
    EXPECT_EQ(2u, lina->child->next->type);          // CTI 9, out of 2-7: 2
    EXPECT_EQ((std::vector<std::string>{"buddy:lina2"}), rebuilt);

    // ADL keeps the type as received.
    auto* list = new CAsList;
    list->SetListName("Shop");
    auto* e = new CAsCtiEntry;
    e->type = 6;
    e->SetValue("https://shop");
    list->ctiEntries.push_back(e);
    r = Parsed(AS_ADL, "<ADL Rcd=\"0\"><LID>l-shop</LID></ADL>", list, AS_DATA_LIST);
    EXPECT_EQ(0, OnAsAddListReply(r));
    AS_FreeRequest(r);
    AddrNode* shop = Find(Root(2), "l-shop");
    ASSERT_NE(nullptr, shop);
    EXPECT_EQ(6u, shop->child->type);

    // UDL of an unknown card fails and touches nothing.
    auto* unknown = new CAsList;
    unknown->SetListId("l-none");
    unknown->SetListName("None");
    const auto before = Labels(Root(2), TREE_CARD);
    r = NewRequest(AS_UDL, unknown, AS_DATA_LIST);
    EXPECT_EQ(1, OnAsUpdateListReply(r));
    AS_FreeRequest(r);
    EXPECT_EQ(before, Labels(Root(2), TREE_CARD));
    EXPECT_TRUE(forgotten.empty());

    // UDL of a known card: the tree forgets the old nodes before they are freed, then rebuilds.
    auto* update = new CAsList;
    update->SetListId("l-shop");
    update->SetListName("Shop 2");
    r = NewRequest(AS_UDL, update, AS_DATA_LIST);
    rebuilt.clear();
    EXPECT_EQ(0, OnAsUpdateListReply(r));
    AS_FreeRequest(r);
    EXPECT_EQ((std::vector<std::string>{"l-shop"}), forgotten);
    EXPECT_EQ((std::vector<std::string>{"card:*"}), rebuilt);
    EXPECT_EQ("Shop 2", ItemLabel(Find(Root(2), "l-shop"), TREE_CARD, BookWords()).toStdString());
}

TEST_F(BookReplies, DefaultGroupsOnceAndChatGroups) {
    CreateDefaultGroups();
    CreateDefaultGroups();
    int count = 0;
    for (AddrNode* c = Root(1)->child; c; c = c->next) ++count;
    EXPECT_EQ(2, count);
    GroupRecord* g = GroupRecord_New();
    auto* q = new CAsChatQueue;
    q->SetQueueId("q-dev");
    q->SetDisplayName("Dev");
    g->entries.push_back(q);
    AddChatGroups(g, 1);
    AddChatGroups(g, 1);
    AddrNode* dev = Find(Root(1), "q-dev");
    ASSERT_NE(nullptr, dev);
    EXPECT_STREQ("1", dev->parent->id);
    EXPECT_EQ(nullptr, dev->next);
    auto* m = new GroupMember;
    m->first = strdup("bob");
    m->second = strdup("Bob");
    g->members.push_back(m);
    // A member with its accounts: the messaging one carries the member's user number.
    auto* dave = new GroupMember;
    dave->first = strdup("dave");
    dave->second = strdup("Dave");
    dave->value = 1007;
    dave->items.push_back(new GroupItem{1, strdup("dave")});
    dave->items.push_back(new GroupItem{2, strdup("dave")});
    g->members.push_back(dave);
    EXPECT_TRUE(AddGroupMembers(g, "q-dev"));
    EXPECT_FALSE(AddGroupMembers(g, "q-none"));
    AddrNode* daveNode = Find(dev, "dave");
    ASSERT_NE(nullptr, daveNode);
    auto uidOf = [&](uint32_t type) {
        for (AddrNode* c = daveNode->child; c; c = c->next)
            if (c->kind == ADDR_KIND_IDENTITY && c->type == type) return presence_setting_get_int(&static_cast<AddrIdentity*>(c)->settings, "uid", 0);
        return -1;
    };
    EXPECT_EQ(1007, uidOf(9));
    EXPECT_EQ(0, uidOf(8));
    EXPECT_TRUE(dev->flags & FLAG_EXPANDED);
    EXPECT_EQ(QString("Dev(2)"), ItemLabel(dev, TREE_GROUP, BookWords())) << "no count from the server: its members";
    GroupRecord_Free(g);
}

// A chat group shows the server's member count before its members are fetched and keeps it after; the
// default group above counts the members of its groups.
TEST_F(BookReplies, GroupLabelsShowTheServersMemberCounts) {
    CreateDefaultGroups();
    auto* created = static_cast<AddrGroup*>(Find(Root(1), "1"));
    ASSERT_NE(nullptr, created);
    AddrBook_RenameGroup(created, "Mine");
    GroupRecord* g = GroupRecord_New();
    for (auto [id, count] : {std::pair{"q-dev", 7}, std::pair{"q-ops", 3}}) {
        auto* q = new CAsChatQueue;
        q->SetQueueId(id);
        q->SetDisplayName(id + 2);
        q->memberCount = count;
        g->entries.push_back(q);
    }
    AddChatGroups(g, 1);
    AddrNode* dev = Find(Root(1), "q-dev");
    ASSERT_NE(nullptr, dev);
    EXPECT_EQ(QString("dev(7)"), ItemLabel(dev, TREE_GROUP, BookWords()));
    EXPECT_EQ(QString("ops(3)"), ItemLabel(Find(Root(1), "q-ops"), TREE_GROUP, BookWords()));
    EXPECT_EQ(QString("Mine(10)"), ItemLabel(created, TREE_GROUP, BookWords()));
    EXPECT_TRUE(created->flags & FLAG_EXPANDED);
    auto* m = new GroupMember;
    m->first = strdup("bob");
    m->second = strdup("Bob");
    g->members.push_back(m);
    EXPECT_TRUE(AddGroupMembers(g, "q-dev"));
    EXPECT_EQ(QString("dev(7)"), ItemLabel(dev, TREE_GROUP, BookWords())) << "the server's count stays";
    GroupRecord_Free(g);
}

// A list whose entry the tree holds already stops there, with the trace's word for it; so does a member
// that cannot be added, and members of a group the tree lacks.
TEST_F(BookReplies, GroupListsStopAtTheFirstEntryThatCannotBeAdded) {
    TraceCapture trace;
    auto saw = [&trace](const std::string& part) { return trace.ModuleOf(part) >= 0; };
    CreateDefaultGroups();
    auto queue = [](const char* id) {
        auto* q = new CAsChatQueue;
        q->SetQueueId(id);
        q->SetDisplayName(id);
        return q;
    };
    GroupRecord* first = GroupRecord_New();
    first->entries = {queue("q-a")};
    AddChatGroups(first, 1);
    GroupRecord* again = GroupRecord_New();
    again->entries = {queue("q-a"), queue("q-b")};
    AddChatGroups(again, 2);
    EXPECT_NE(nullptr, Find(Root(1), "q-a"));
    EXPECT_EQ(nullptr, Find(Root(1), "q-b")) << "nothing after the entry the tree holds";
    EXPECT_TRUE(saw("AS Return QID Wrong !!"));

    auto member = [](const char* uid, const char* name) {
        auto* m = new GroupMember;
        m->first = strdup(uid);
        m->second = strdup(name);
        return m;
    };
    GroupRecord* members = GroupRecord_New();
    members->members = {member("bob", "Bob")};
    EXPECT_TRUE(AddGroupMembers(members, "q-a"));
    GroupRecord* more = GroupRecord_New();
    more->members = {member("bob", "Bob"), member("carol", "Carol")};
    EXPECT_TRUE(AddGroupMembers(more, "q-a"));
    EXPECT_EQ(nullptr, Find(Find(Root(1), "q-a"), "carol")) << "nothing after the member the group holds";
    EXPECT_TRUE(saw("QGroup Add ERROR"));
    EXPECT_FALSE(AddGroupMembers(more, "q-none"));
    EXPECT_TRUE(saw("QContact ERROR q-none name Bob uid bob"));
    for (GroupRecord* r : {first, again, members, more}) GroupRecord_Free(r);
}

}  // namespace
