// Address-book decisions: labels, sibling order, rebuild plans, dial choice, rename, drops, checks.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/appenv.h"
#include "service/as_records.h"
#include "ui/contacts/addrbook_host.h"
#include "ui/contacts/addrbook_logic.h"
#include "ui/contacts/tests/book_fixture.h"

using namespace contacts;

namespace {

class BookLogic : public booktest::BookTest {};

TEST_F(BookLogic, ContactLabelsFollowTheEditionAndPresence) {
    AddrGroup* friends = Group("g1", "Friends", Root(0));
    AddrContact* bob = Contact("bob", "Bob", friends, "Bobby");
    AddrContact* ann = Contact("ann", nullptr, friends);
    AddrIdentity* qz = Identity(bob, 9, "bob");
    BookWords w;
    struct Case { const AddrNode* node; const char* edition; const char* label; } const cases[] = {
        {bob, "business", "Bobby(Bob)--Offline"},
        {bob, "free", "Bob(Bobby)--Offline"},
        {ann, "business", "ann--Offline"},
        {ann, "free", "ann--Offline"},
        {friends, "business", "Friends(0/2)"},
    };
    for (const Case& c : cases) {
        w.edition = c.edition;
        EXPECT_EQ(QString(c.label), ItemLabel(c.node, TREE_BUDDY, w)) << c.label;
    }
    AddrBook_SetIdentityOnline(qz, 1);
    w.edition = "business";
    EXPECT_EQ(QString("Bobby(Bob)--Online"), ItemLabel(bob, TREE_BUDDY, w));
    EXPECT_EQ(QString("Friends(1/2)"), ItemLabel(friends, TREE_BUDDY, w));
    EXPECT_EQ(IMG_ONLINE, ItemImage(bob, TREE_BUDDY));
    bob->flags |= ADDR_FLAG_BLOCKED;
    EXPECT_EQ(IMG_BLOCK_ONLINE, ItemImage(bob, TREE_BUDDY));
    EXPECT_EQ(IMG_OFFLINE, ItemImage(ann, TREE_BUDDY));
    ann->flags |= ADDR_FLAG_BLOCKED;
    EXPECT_EQ(IMG_BLOCK_OFFLINE, ItemImage(ann, TREE_BUDDY));
    // The same nodes in the other trees.
    // The Groups tree shows a group's member count (the server's), not the contacts loaded below it.
    EXPECT_EQ(QString("Friends(2)"), ItemLabel(friends, TREE_CARD, w));
    EXPECT_EQ(QString("Friends"), ItemLabel(friends, TREE_GROUP, w));
    friends->memberCount = 5;
    EXPECT_EQ(QString("Friends(5)"), ItemLabel(friends, TREE_GROUP, w));
    EXPECT_EQ(IMG_MEMBER, ItemImage(bob, TREE_GROUP));
    EXPECT_EQ(QString("Bob"), ItemLabel(bob, TREE_GROUP, w));
}

// A contact reads online or offline, busy or not; the refresh after a presence change runs its display
// text and the word together.
TEST_F(BookLogic, PresenceGivesTheContactsWordAndImage) {
    AddrGroup* friends = Group("g1", "Friends", Root(0));
    AddrContact* bob = Contact("bob", "Bob", friends, "Bobby");
    AddrIdentity* qz = Identity(bob, 9, "bob");
    BookWords w;
    w.online = "On";
    struct Case { uint32_t online; bool busy; bool blocked; const char* label; const char* refreshed; int image; int qzImage; } const cases[] = {
        {1, false, false, "Bobby(Bob)--On", "BobbyOn", IMG_ONLINE, IMG_QZ_ONLINE},
        {1, true, false, "Bobby(Bob)--On", "BobbyOn", IMG_ONLINE, IMG_QZ_ONLINE},  // busy is online
        {0, true, false, "Bobby(Bob)--Offline", "BobbyOffline", IMG_OFFLINE, IMG_QZ_OFFLINE},
        {0, false, false, "Bobby(Bob)--Offline", "BobbyOffline", IMG_OFFLINE, IMG_QZ_OFFLINE},
        {1, true, true, "Bobby(Bob)--On", "BobbyOn", IMG_BLOCK_ONLINE, IMG_QZ_ONLINE},
        {0, true, true, "Bobby(Bob)--Offline", "BobbyOffline", IMG_BLOCK_OFFLINE, IMG_QZ_OFFLINE},
    };
    for (const Case& c : cases) {
        AddrBook_SetIdentityOnline(qz, c.online);
        AddrBook_SetIdentityBusy(qz, c.busy);
        bob->flags = c.blocked ? (bob->flags | ADDR_FLAG_BLOCKED) : (bob->flags & ~ADDR_FLAG_BLOCKED);
        EXPECT_EQ(QString(c.label), ItemLabel(bob, TREE_BUDDY, w)) << c.online << c.busy << c.blocked;
        EXPECT_EQ(QString(c.refreshed), RefreshedContactLabel(bob, w)) << c.online << c.busy << c.blocked;
        EXPECT_EQ(c.image, ItemImage(bob, TREE_BUDDY)) << c.online << c.busy << c.blocked;
        EXPECT_EQ(c.qzImage, ItemImage(qz, TREE_BUDDY)) << c.online << c.busy << c.blocked;
        EXPECT_EQ(QString(c.online ? "Friends(1/1)" : "Friends(0/1)"), ItemLabel(friends, TREE_BUDDY, w));
        EXPECT_EQ(IMG_MEMBER, ItemImage(bob, TREE_GROUP));
    }
    // Without a remark name the store's display text is the name, else the id.
    AddrContact* ann = Contact("ann", "Ann", friends);
    AddrContact* cid = Contact("cid", nullptr, friends);
    EXPECT_EQ(QString("AnnOffline"), RefreshedContactLabel(ann, w));
    EXPECT_EQ(QString("cidOffline"), RefreshedContactLabel(cid, w));
}

TEST_F(BookLogic, OnlineNeedsAnOnlineIdentityWithTheServiceOrTheBlockedFlag) {
    AddrGroup* g = Group("g1", "G", Root(0));
    AddrContact* c = Contact("c", "Carol", g);
    AddrIdentity* phone = Identity(c, 8, "carol@sip", 1);
    c->flags |= ADDR_FLAG_BLOCKED;  // the contact's own mark is no presence
    EXPECT_FALSE(IsOnline(c));
    EXPECT_EQ(IMG_BLOCK_OFFLINE, ItemImage(c, TREE_BUDDY));
    phone->flags |= ADDR_FLAG_BLOCKED;
    EXPECT_TRUE(IsOnline(c));
    phone->flags &= ~ADDR_FLAG_BLOCKED;
    EXPECT_FALSE(IsOnline(c));
    Identity(c, 9, "carol", 1);
    EXPECT_TRUE(IsOnline(c));
}

TEST_F(BookLogic, IdentityImagesPerTree) {
    AddrGroup* g = Group("g1", "G", Root(0));
    AddrContact* c = Contact("c", "C", g);
    struct Case { uint32_t type; int buddy, group; } const cases[] = {
        {2, IMG_OFFICE, IMG_PHONE}, {3, IMG_MOBILE, IMG_MOBILE}, {4, IMG_EMAIL, IMG_EMAIL}, {5, IMG_PHONE, IMG_GROUP_OPEN},
        {6, IMG_WEB, IMG_WEB}, {8, IMG_VOIP, IMG_VOIP}, {9, IMG_QZ_OFFLINE, IMG_QZ_OFFLINE}, {7, IMG_NONE, IMG_GROUP_OPEN},
    };
    for (const Case& k : cases) {
        AddrIdentity* i = Identity(c, k.type, ("a" + std::to_string(k.type)).c_str());
        EXPECT_EQ(k.buddy, ItemImage(i, TREE_BUDDY)) << k.type;
        EXPECT_EQ(k.group, ItemImage(i, TREE_GROUP)) << k.type;
    }
}

TEST_F(BookLogic, SiblingOrder) {
    AddrGroup* g = Group("g1", "G", Root(0));
    AddrGroup* sub = Group("g2", "alpha", g);
    AddrContact* zed = Contact("z", "zed", g);
    AddrContact* amy = Contact("a", "Amy", g);
    AddrContact* blockedOnline = Contact("b", "Bea", g);
    Identity(blockedOnline, 9, "bea", 1);
    blockedOnline->flags |= ADDR_FLAG_BLOCKED;
    AddrContact* online = Contact("y", "Yan", g);
    Identity(online, 9, "yan", 1);
    AddrIdentity* mail = Identity(zed, 4, "z@x");
    AddrIdentity* office = Identity(zed, 2, "1");
    struct Case { const AddrNode *a, *b; int tree, sort, sign; const char* why; } const cases[] = {
        {sub, zed, TREE_BUDDY, 0, -1, "groups before contacts"},
        {amy, zed, TREE_BUDDY, 0, -1, "by display text"},
        {online, amy, TREE_BUDDY, 0, 1, "no presence order without sort type 2"},
        {online, amy, TREE_BUDDY, 2, -1, "online first with sort type 2"},
        {blockedOnline, zed, TREE_BUDDY, 2, 1, "a blocked online contact after an unblocked offline one"},
        {blockedOnline, zed, TREE_GROUP, 2, -1, "members order online first only"},
        {office, mail, TREE_BUDDY, 0, -1, "identities by type"},
        {zed, office, TREE_BUDDY, 0, -1, "contacts before identities"},
        {amy, amy, TREE_BUDDY, 2, 0, "equal"},
    };
    for (const Case& c : cases) {
        const int r = CompareNodes(c.a, c.b, c.tree, c.sort);
        EXPECT_EQ(c.sign, (r > 0) - (r < 0)) << c.why;
    }
}

TEST_F(BookLogic, RebuildPlanSkipsHiddenAndTypeSevenIdentities) {
    AddrGroup* g = Group("g1", "G", Root(0));
    g->flags |= FLAG_EXPANDED;
    AddrContact* c = Contact("c", "C", g);
    Identity(c, 9, "c9");
    Identity(c, 8, "c8");
    Identity(c, 7, "c7");
    Identity(c, 3, "c3");
    auto labels = [&](bool accountDisplay) {
        std::vector<std::string> out;
        for (const PlanItem& p : RebuildPlan(Root(0), Root(0), TREE_BUDDY, accountDisplay, BookWords()))
            out.push_back(p.label.toStdString() + (p.parent ? "<" + std::string(p.parent->id) : "") + (p.expanded ? "+" : ""));
        return out;
    };
    EXPECT_EQ((std::vector<std::string>{"G(0/1)+", "C--Offline<g1", "c3<c"}), labels(false));
    EXPECT_EQ((std::vector<std::string>{"G(0/1)+", "C--Offline<g1", "C<c", "c8<c", "c3<c"}), labels(true));
    // A subtree rebuild starts at its node.
    auto sub = RebuildPlan(c, Root(0), TREE_BUDDY, false, BookWords());
    ASSERT_EQ(2u, sub.size());
    EXPECT_EQ(c, sub[0].node);
    EXPECT_EQ(g, sub[0].parent);
}

TEST_F(BookLogic, DialChoice) {
    AddrGroup* g = Group("g1", "G", Root(0));
    AddrContact* c = Contact("c", "C", g);
    AddrIdentity* voip = Identity(c, 8, "c@sip");
    AddrIdentity* mobile = Identity(c, 3, "138");
    AddrIdentity* mail = Identity(c, 4, "c@x.org");
    AddrIdentity* web = Identity(c, 6, "https://c.example");
    AddrIdentity* qz = Identity(c, 9, "cqz");
    AddrContact* card = Card("l1", "Card");
    Identity(card, 4, "card@x.org");
    AddrIdentity* cardPhone = Identity(card, 5, "020");
    AddrContact* bare = Contact("d", "D", g);
    struct Case { AddrNode* node; uint32_t t; DialAction action; AddrNode* identity; uint32_t type; } const cases[] = {
        {c, 0, DIAL_CALL, voip, 8},
        {c, 3, DIAL_CALL, mobile, 3},
        {c, 4, DIAL_MAIL, mail, 4},
        {c, 6, DIAL_WEB, web, 6},
        {qz, 0, DIAL_CHAT, qz, 9},
        {card, 0, DIAL_CALL, cardPhone, 5},
        {g, 0, DIAL_NONE, nullptr, 0},
        {bare, 0, DIAL_NONE, nullptr, 0},
        {c, 2, DIAL_NONE, nullptr, 0},
    };
    for (const Case& k : cases) {
        DialChoice d = ChooseDial(k.node, k.t);
        EXPECT_EQ(k.action, d.action) << k.node->id << " " << k.t;
        EXPECT_EQ(k.identity, d.identity) << k.node->id << " " << k.t;
        if (k.identity) EXPECT_EQ(k.type, d.type);
    }
}

TEST_F(BookLogic, OnlyWebAndMailAddressesOpen) {
    // The settings file's addresses: web pages and mail.
    struct Case { const char* address; bool opens; } const settings[] = {
        {"https://example.org/share", true}, {"http://example.org", true}, {"mailto:share@example.org", true},
        {"MAILTO:share@example.org", true}, {"mailto:", false}, {"file:///etc/passwd", false}, {"/usr/bin/xterm", false},
        {"javascript:alert(1)", false}, {"", false},
    };
    for (const Case& c : settings) EXPECT_EQ(c.opens, IsOpenableSettingsAddress(c.address)) << c.address;
    EXPECT_TRUE(IsOpenableAddress("https://example.org/x", false));
    EXPECT_TRUE(IsOpenableAddress("http://example.org", false));
    EXPECT_FALSE(IsOpenableAddress("file:///etc/passwd", false));
    EXPECT_FALSE(IsOpenableAddress("/usr/bin/xterm", false));
    EXPECT_FALSE(IsOpenableAddress("", false));
    EXPECT_TRUE(IsOpenableAddress("bob@example.org", true));
    EXPECT_FALSE(IsOpenableAddress("bob@example.org?attach=/etc/passwd", true));
}

// A 128-byte printf result: 127 ANSI bytes, cut before a double-byte character that does not fit.
TEST_F(BookLogic, FitAnsiBufferKeepsWholeCharactersOfTheBuffer) {
    const QString zu = QString::fromUtf8("\u7ec4");  // 组: two bytes in the ANSI code page
    struct Case {
        QString text;
        QString kept;
    } const cases[] = {
        {QString(127, 'x'), QString(127, 'x')},
        {QString(128, 'x'), QString(127, 'x')},
        {QString(200, 'x'), QString(127, 'x')},
        {zu.repeated(63) + "a", zu.repeated(63) + "a"},
        {zu.repeated(64), zu.repeated(63)},  // the 64th would need bytes 127 and 128
        {"a" + zu.repeated(64), "a" + zu.repeated(63)},
        {"", ""},
    };
    for (const Case& c : cases) {
        const QString kept = FitAnsiBuffer(c.text, 128);
        EXPECT_EQ(c.kept, kept) << c.text.size();
        EXPECT_LE(ToAnsi(kept).size(), 127u);
    }
}

TEST_F(BookLogic, RenameIsCheckedAndCountedOverTheSiblingsLabels) {
    EXPECT_FALSE(IsValidRename(""));
    EXPECT_FALSE(IsValidRename(QString(41, 'x')));
    EXPECT_TRUE(IsValidRename(QString(40, 'x')));
    for (const char* blank : {"", " ", " \t\r\n "}) EXPECT_TRUE(IsBlankLabel(blank)) << blank;
    for (const char* name : {" a ", "\u3000", "\xc2\xa0"}) EXPECT_FALSE(IsBlankLabel(QString::fromUtf8(name))) << name;
    // One pass in order: each label equal to the candidate bumps the counter.
    struct Case {
        QStringList labels;
        const char* text;
        const char* sent;
    } const cases[] = {
        {{"Other", "Fresh1"}, "Fresh", "Fresh"},
        {{"Team", "Team1", "Other"}, "Team", "Team2"},
        {{"Team1", "Team"}, "Team", "Team1"},  // a label earlier in the list is not looked at again
        {{"team"}, "Team", "Team"},            // labels are compared as they are written
        {{"Team(0/2)"}, "Team", "Team"},       // a My-contacts group's label carries its counts
    };
    for (const Case& c : cases) EXPECT_EQ(QString(c.sent), RenameWithCounter(c.labels, c.text)) << c.text;
}

// The own-account check is the frame's: the number, with the account's domain when it has none,
// against the SIP account (not the messaging user id).
TEST_F(BookLogic, OwnAccountCheckIsTheSipAddress) {
    struct Host : BookHost {
        std::vector<QString> boxes;
        void Box(const QString& text, const QString&, int) override { boxes.push_back(text); }
    } host;
    DropAccounts();
    sip = AddAccount("alice@example.com", ACCOUNT_TYPE_SIP);
    service = AddAccount("me", ACCOUNT_TYPE_SERVICE);
    g_strUserId = "me";
    struct {
        const char* number;
        bool self;
    } const cases[] = {{"alice", true}, {"ALICE@Example.com", true}, {"alice@other.org", false}, {"me", false}};
    for (const auto& c : cases) EXPECT_EQ(c.self, host.IsCallingSelf(c.number)) << c.number;
    EXPECT_EQ((std::vector<QString>{"Can't call yourself!", "Can't call yourself!"}), host.boxes);
}

TEST_F(BookLogic, DropDecisions) {
    AddrGroup* friends = Group("g1", "Friends", Root(0));
    AddrGroup* work = Group("g2", "Work", Root(0));
    AddrGroup* team = Group("g3", "Team", work);
    AddrGroup* otherTeam = Group("g4", "Team", friends);
    AddrContact* bob = Contact("bob", "Bob", friends);
    Contact("bob", "Bob", team);
    AddrContact* top = Contact("top", "Top", Root(0));
    AddrIdentity* bobPhone = Identity(bob, 8, "bob@sip");
    struct Case { AddrNode* source; AddrNode* target; DropKind kind; const char* why; } const cases[] = {
        {work, team, DROP_NONE, "onto its own child"},
        {team, work, DROP_NONE, "onto its current parent"},
        {work, work, DROP_NONE, "onto itself"},
        {otherTeam, work, DROP_DUP_GROUP, "a group of that name is there"},
        {team, friends, DROP_DUP_GROUP, "the same, the other way"},
        {work, friends, DROP_MOVE_GROUP, "a group move"},
        {bob, team, DROP_DUP_CONTACT, "the contact is there"},
        {bob, work, DROP_MOVE_CONTACT, "a contact move"},
        {bob, nullptr, DROP_MOVE_CONTACT, "to the top level"},
        {top, nullptr, DROP_NONE, "already at the top level"},
        {bobPhone, work, DROP_NONE, "identities do not move"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.kind, DecideDrop(c.source, c.target, Root(0)).kind) << c.why;
    DropDecision d = DecideDrop(bob, work, Root(0));
    EXPECT_EQ("bob", d.id);
    EXPECT_EQ("g2", d.targetId);
    EXPECT_EQ("Bob", d.name);
    EXPECT_EQ("g1", d.oldParentId);
    d = DecideDrop(bob, nullptr, Root(0));
    EXPECT_EQ("0", d.targetId);
    // Where a drop lands for the node under the cursor.
    EXPECT_EQ(friends, DropTargetFor(bobPhone, Root(0)));
    EXPECT_EQ(friends, DropTargetFor(bob, Root(0)));
    EXPECT_EQ(nullptr, DropTargetFor(top, Root(0)));
    EXPECT_EQ(team, DropTargetFor(team, Root(0)));
    EXPECT_FALSE(CanStartDrag(bob, 59));
    EXPECT_TRUE(CanStartDrag(bob, 60));
    EXPECT_FALSE(CanStartDrag(bobPhone, 500));
}

TEST(BookLogicDrag, EdgeScrollSpeedsUpWithTheDistanceFromTheEdge) {
    // Client height 200: the bands are y < 10 and y > 190.
    struct Case { int y; uint32_t tick; int lines; } const cases[] = {
        {100, 6, 0},  {10, 6, 0},   {190, 6, 0},   // inside: never
        {9, 5, 0},    {9, 6, -1},   {0, 12, -1},   // in the band: every 6th tick
        {-30, 8, -1}, {-30, 6, 0},                 // 40 px above the line: every 4th tick
        {-200, 1, -1}, {-200, 7, -1},              // far out: every tick
        {191, 6, 1},  {191, 7, 0},  {250, 6, 1}, {250, 4, 0},  // below: the same downwards
    };
    for (const Case& c : cases) EXPECT_EQ(c.lines, DragScrollLines(c.y, 200, c.tick)) << "y " << c.y << " tick " << c.tick;
}

TEST_F(BookLogic, CardListsAndDialEntries) {
    AddrContact* card = Card("l1", "Family");
    Identity(card, 3, "139");
    Identity(card, 6, "https://x");
    Identity(card, 2, "010");
    std::unique_ptr<CAsList> list(CardListFromNode(card, "Home"));
    ASSERT_EQ(2u, list->ctiEntries.size());
    EXPECT_STREQ("l1", list->listId);
    EXPECT_STREQ("Home", list->listName);
    EXPECT_EQ(3, list->ctiEntries[0]->type);
    EXPECT_EQ(2, list->ctiEntries[1]->type);
    CardFields f;
    f.name = "N";
    list.reset(CardListFromFields("l1", f));
    EXPECT_TRUE(list->ctiEntries.empty());  // no numbers: still a list
    f.home = "5";
    f.email = "e@x";
    list.reset(CardListFromFields("l1", f));
    ASSERT_EQ(2u, list->ctiEntries.size());
    EXPECT_EQ(4, list->ctiEntries[0]->type);
    EXPECT_EQ(5, list->ctiEntries[1]->type);

    auto entries = DialEntries(card);
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(32881, entries[0].command);
    EXPECT_EQ(QString("139"), entries[0].number);
    EXPECT_EQ(32880, entries[1].command);
    AddrContact* empty = Card("l2", "Empty");
    entries = DialEntries(empty);
    ASSERT_EQ(1u, entries.size());
    EXPECT_TRUE(entries[0].greyed);
    AddrContact* phoneOnly = Card("l3", "P");
    Identity(phoneOnly, 5, "020");
    entries = DialEntries(phoneOnly);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(32882, entries[0].command);
}

TEST_F(BookLogic, SmsTargetsAndGroupClasses) {
    AddrGroup* g = Group("g1", "G", Root(0));
    AddrContact* c = Contact("c", "C", g);
    AddrIdentity* i = Identity(c, 3, "138");
    AddrContact* card = Card("l1", "L");
    int op = -1;
    std::string id;
    ASSERT_TRUE(SmsTarget(g, &op, &id));
    EXPECT_EQ(0, op);
    ASSERT_TRUE(SmsTarget(i, &op, &id));
    EXPECT_EQ(1, op);
    EXPECT_EQ("c", id);
    ASSERT_TRUE(SmsTarget(card, &op, &id));
    EXPECT_EQ(2, op);
    // An identity goes as its parent, with op 1 also under a card.
    AddrIdentity* cardNumber = Identity(card, 3, "139");
    ASSERT_TRUE(SmsTarget(cardNumber, &op, &id));
    EXPECT_EQ(1, op);
    EXPECT_EQ("l1", id);

    AddrGroup* created = Group("1", "Created", Root(1));
    AddrGroup* joined = Group("2", "Joined", Root(1));
    AddrGroup* room = Group("q1", "Room", created);
    AddrContact* member = Contact("m", "M", room);
    AddrGroup* other = Group("q2", "Other", joined);
    EXPECT_EQ(0, GroupClass(created));
    EXPECT_EQ(1, GroupClass(room));
    EXPECT_EQ(1, GroupClass(member));
    EXPECT_EQ(2, GroupClass(other));
    EXPECT_EQ(room, ChatGroupOf(member));
    EXPECT_EQ(room, ChatGroupOf(room));
    EXPECT_TRUE(IsDefaultGroup(created));
    EXPECT_FALSE(IsDefaultGroup(room));
}

TEST_F(BookLogic, AddUserChecksInOrder) {
    Card("l1", "ANNA");
    struct Case { const char* name; const char* mobile; const char* mail; const char* qz; bool edit, sip, svc; AddUserCheck r; const char* why; } const cases[] = {
        {"   ", "", "", "", false, true, true, ADDUSER_EMPTY_NAME, "blanks only"},
        {"Anna", "", "", "", false, true, true, ADDUSER_DUPLICATE, "same name without case"},
        {"Anna", "", "", "", true, true, true, ADDUSER_OK, "edit mode has no duplicate check"},
        {" Bo ", "", "b@x", "", false, false, true, ADDUSER_OK, "no SIP account, e-mail only"},
        {"Bo", "138", "", "", false, false, true, ADDUSER_NO_SIP, "no SIP account, a mobile"},
        {"Bo", "138", "", "77", false, false, false, ADDUSER_NO_SIP, "the SIP check comes first"},
        {"Bo", "", "", "77", false, true, false, ADDUSER_NO_SERVICE, "no service account"},
    };
    for (const Case& c : cases) {
        AddUserFields f;
        f.name = c.name;
        f.mobile = c.mobile;
        f.email = c.mail;
        f.serviceId = c.qz;
        EXPECT_EQ(c.r, CheckAddUser(f, c.edit, Root(2), c.sip, c.svc)) << c.why;
    }
    AddUserFields f;
    f.name = "  Bo  ";
    CheckAddUser(f, false, Root(2), true, true);
    EXPECT_EQ(QString("Bo"), f.name);
    EXPECT_TRUE(IsValidDisplayName(QString(40, 'x')));
    EXPECT_FALSE(IsValidDisplayName(QString(41, 'x')));
}

TEST_F(BookLogic, SearchTextsAndJoinRecords) {
    EXPECT_STREQ("findnone", UserSearchFailure(200).key);
    EXPECT_STREQ("findfailed", UserSearchFailure(500).key);
    EXPECT_STREQ("zero_search_rusult", GroupSearchFailure(300).key);
    EXPECT_STREQ("errmsg", GroupSearchFailure(1).key);
    EXPECT_STREQ("oper_succ", JoinOutcome(0).key);
    EXPECT_STREQ("oper_exceeded", JoinOutcome(204).key);
    EXPECT_STREQ("oper_fail", JoinOutcome(5).key);
    const std::pair<int, const char*> add[] = {{200, "user_not_find"}, {201, "user_duplicate"}, {204, "user_limitation_exceeded"},
                                               {205, "user_already_exist"}, {206, "localbuddy_not_find"}, {207, "user_add_self"},
                                               {202, "user_add_err"}, {9, "user_add_err"}};
    for (const auto& [code, key] : add) EXPECT_STREQ(key, AddBuddyFailure(code).key) << code;

    CAsChatQueue q;
    q.SetQueueId("q9");
    q.SetName("Family");
    q.type = 1;
    std::unique_ptr<CAsChatQueue> j(JoinRecord(q, "pf-2", "1234"));
    EXPECT_STREQ("q9", j->queueId);
    EXPECT_STREQ("1234", j->uiText1);
    EXPECT_STREQ("pf-2", j->uiText2);
    q.type = 0;
    j.reset(JoinRecord(q, "pf-1", "ignored"));
    EXPECT_EQ(nullptr, j->uiText1);
    EXPECT_STREQ("pf-1", j->uiText2);
}

TEST_F(BookLogic, BlockListMovesEveryLineOfThatId) {
    std::vector<NamedEntry> access{{"bob", "Bob"}, {"ann", "Ann"}, {"BOB", "Bob again"}};
    std::vector<NamedEntry> blocked{{"carol", "Carol"}};
    EXPECT_EQ(2, MoveEntries(&access, &blocked, "Bob"));
    ASSERT_EQ(1u, access.size());
    EXPECT_EQ(QString("ann"), access[0].id);
    ASSERT_EQ(3u, blocked.size());
    EXPECT_EQ(QString("Bob again"), blocked[2].name);
    EXPECT_EQ(0, MoveEntries(&access, &blocked, "nobody"));
    EXPECT_EQ(1u, access.size());
}

}  // namespace

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include "platform/ini.h"

namespace {

TEST(BookTexts, BothLanguageFilesHoldEveryTextTheWindowsRead) {
    QSet<QString> used;
    const QRegularExpression sectioned(R"re(\b(?:Lang|Fill|LangText|LangFormatText)\(\s*"([^"]+)",\s*"([^"]+)")re");
    const QRegularExpression book(R"re(\b(?:BookText|Text)\(\s*"([^"]+)")re");
    QDirIterator it(QStringLiteral(TESSALY_SOURCE_DIR "/ui/contacts"), {"*.cpp"}, QDir::Files);
    while (it.hasNext()) {
        QFile f(it.next());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        for (auto m = sectioned.globalMatch(text); m.hasNext();) {
            const auto match = m.next();
            used.insert(match.captured(1) + "/" + match.captured(2));
        }
        for (auto m = book.globalMatch(text); m.hasNext();) used.insert("addrbook_dialog/" + m.next().captured(1));
    }
    for (const char* k : {"findnone", "findfailed"}) used.insert(QString("findcontact_dlg/") + k);
    for (const char* k : {"zero_search_rusult", "errmsg"}) used.insert(QString("find_group_dlg/") + k);
    for (const char* k : {"oper_succ", "oper_fail", "oper_exceeded"}) used.insert(QString("group_search/") + k);
    for (const char* k : {"user_not_find", "user_duplicate", "user_limitation_exceeded", "user_already_exist", "localbuddy_not_find",
                          "user_add_self", "user_add_err", "error_adl", "error_edl"})
        used.insert(QString("as_code/") + k);
    used.insert("group_dlg/groupcreate");
    used.insert("group_dlg/groupjoin");
    used.remove("common/edition");  // a deployment choice: "business" unless the file says otherwise
    ASSERT_GT(used.size(), 100);
    for (const char* lang : {"zyeng.ini", "zychs.ini"}) {
        const std::string file = std::string(TESSALY_SOURCE_DIR) + "/ui/shell/install/language/" + lang;
        for (const QString& sk : used) {
            const QStringList p = sk.split('/');
            std::string value;
            EXPECT_TRUE(plat::IniGetString(file, p[0].toStdString(), p[1].toStdString(), &value) && !value.empty())
                << lang << " lacks [" << p[0].toStdString() << "] " << p[1].toStdString();
        }
    }
}

}  // namespace
