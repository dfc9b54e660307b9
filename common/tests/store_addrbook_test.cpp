// Tests of the address-book tree: linking, counters on every ancestor, texts, walk, deletion and
// the local configuration of group flags.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/account.h"
#include "common/addrbook.h"
#include "platform/ini.h"
#include "store_fixture.h"

namespace {

using storetest::StoreTest;

struct Counts {
    uint32_t contacts, service, online;
    bool operator==(const Counts&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Counts& c) {
    return os << "{" << c.contacts << ", " << c.service << ", " << c.online << "}";
}

Counts Of(const AddrNode* node) {
    const AddrCounted* c = static_cast<const AddrCounted*>(node);
    return {c->contactCount, c->serviceCount, c->onlineCount};
}

class CommonStoreAddrBook : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        service = AddAccount("me", ACCOUNT_TYPE_SERVICE);
        Connect(service, PRESENCE_CONNECTED);
        sip = AddAccount("me", ACCOUNT_TYPE_SIP);
        root = g_addrBookRoots[0];
    }
    AddrGroup* Group(const char* id, AddrNode* parent) {
        AddrGroup* g = AddrBook_NewGroup(id, id);
        EXPECT_EQ(AddrBook_AttachGroup(g, parent, nullptr), 1);
        return g;
    }
    AddrContact* Contact(const char* id, AddrNode* group) {
        AddrContact* c = AddrBook_NewContact(nullptr, nullptr, id);
        EXPECT_EQ(AddrBook_AttachContact(c, group, nullptr), 1);
        return c;
    }
    AddrIdentity* Identity(const char* id, AddrNode* contact, uint32_t type, Account* account, uint32_t online) {
        AddrIdentity* i = AddrBook_NewIdentity(account, id, nullptr, id);
        AddrBook_SetIdentityType(i, type);
        AddrBook_SetIdentityOnline(i, online);
        EXPECT_EQ(AddrBook_AttachIdentity(i, contact, nullptr), 1);
        return i;
    }
    std::vector<std::string> ChildIds(const AddrNode* parent) {
        std::vector<std::string> ids;
        for (const AddrNode* c = parent->child; c; c = c->next) {
            ids.push_back(c->id);
            EXPECT_EQ(c->parent, parent);
            if (c->next) {
                EXPECT_EQ(c->next->prev, c);
            }
        }
        return ids;
    }

    Account* service = nullptr;
    Account* sip = nullptr;
    AddrNode* root = nullptr;
};

TEST_F(CommonStoreAddrBook, OnlineIdentityRaisesGroupAndRootOnce) {
    AddrGroup* group = Group("g", root);
    AddrContact* contact = AddrBook_NewContact("carol", nullptr, "c");
    AddrIdentity* identity = Identity("100", contact, ADDR_TYPE_SERVICE, service, 1);
    EXPECT_EQ(Of(contact), (Counts{0, 1, 1}));
    ASSERT_EQ(AddrBook_AttachContact(contact, group, nullptr), 1);
    EXPECT_EQ(Of(contact), (Counts{1, 1, 1}));
    EXPECT_EQ(Of(group), (Counts{1, 1, 1}));
    EXPECT_EQ(Of(root), (Counts{1, 1, 1}));

    AddrIdentity* second = Identity("101", contact, ADDR_TYPE_SERVICE, service, 0);
    AddrBook_SetIdentityOnline(second, 1);  // a second online identity does not count the contact twice
    EXPECT_EQ(Of(contact), (Counts{1, 2, 2}));
    EXPECT_EQ(Of(group), (Counts{1, 2, 1}));

    AddrBook_SetIdentityOnline(identity, 0);
    EXPECT_EQ(Of(group).online, 1u);
    AddrBook_SetIdentityOnline(second, 0);
    EXPECT_EQ(Of(group), (Counts{1, 2, 0}));
    EXPECT_EQ(Of(root), (Counts{1, 2, 0}));
}

// Counting is symmetric: whatever sequence of attach, state change and detach an identity goes
// through, detaching it leaves every counter where it was before it came.
struct IdentityStory {
    const char* name;
    uint32_t type;
    bool accountOnlineAtAttach;
    bool accountOnlineAtDetach;
    uint32_t onlineAtAttach;
    std::vector<uint32_t> statesWhileAttached;
    uint32_t typeWhileAttached;  // 0: unchanged
};

// Test names show the case's name rather than its bytes.
void PrintTo(const IdentityStory& c, std::ostream* os) { *os << c.name; }

class CommonStoreIdentityStory : public CommonStoreAddrBook, public ::testing::WithParamInterface<IdentityStory> {};

TEST_P(CommonStoreIdentityStory, DetachRestoresEveryCounter) {
    const IdentityStory& s = GetParam();
    AddrGroup* group = Group("g", root);
    AddrContact* contact = Contact("c", group);
    Identity("other", contact, ADDR_TYPE_SERVICE, service, 1);  // a neighbour that stays
    const Counts before[] = {Of(contact), Of(group), Of(root)};

    Account_SetConnectionParam(service, s.accountOnlineAtAttach ? PRESENCE_CONNECTED : PRESENCE_DISCONNECTED);
    AddrIdentity* identity = Identity("x", contact, s.type, service, s.onlineAtAttach);
    for (uint32_t state : s.statesWhileAttached) AddrBook_SetIdentityOnline(identity, state);
    if (s.typeWhileAttached) AddrBook_SetIdentityType(identity, s.typeWhileAttached);
    Account_SetConnectionParam(service, s.accountOnlineAtDetach ? PRESENCE_CONNECTED : PRESENCE_DISCONNECTED);
    AddrBook_DetachIdentity(identity);
    AddrBook_FreeIdentity(identity);

    EXPECT_EQ(Of(contact), before[0]);
    EXPECT_EQ(Of(group), before[1]);
    EXPECT_EQ(Of(root), before[2]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonStoreIdentityStory,
    ::testing::Values(
        // A non-service identity that comes online used to leave the online count raised.
        IdentityStory{"SipComesOnline", 2, true, true, 0, {1}, 0},
        // One attached online and then set offline used to wrap the counter below zero.
        IdentityStory{"SipAttachedOnlineGoesOffline", 2, true, true, 1, {0}, 0},
        IdentityStory{"ServiceAccountGoesOffline", 9, true, false, 1, {}, 0},
        IdentityStory{"ServiceAccountComesOnline", 9, false, true, 0, {1, 0, 1}, 0},
        IdentityStory{"TypeChangedTo9", 3, true, true, 1, {}, 9},
        IdentityStory{"TypeChangedFrom9", 9, true, true, 1, {0, 1}, 2},
        IdentityStory{"StateOtherThanOne", 9, true, true, 0, {2, 1, 2, 0}, 0}),
    [](const ::testing::TestParamInfo<IdentityStory>& info) { return std::string(info.param.name); });

TEST_F(CommonStoreAddrBook, CountersNeverDropBelowZero) {
    AddrGroup* group = Group("g", root);
    AddrContact* contact = Contact("c", group);
    AddrIdentity* identity = Identity("x", contact, ADDR_TYPE_SERVICE, service, 1);
    // Someone writes the counters directly; later changes must not wrap them.
    static_cast<AddrCounted*>(group)->onlineCount = 0;
    static_cast<AddrCounted*>(group)->serviceCount = 0;
    storetest::TraceCapture trace;
    AddrBook_DetachIdentity(identity);
    AddrBook_FreeIdentity(identity);
    EXPECT_EQ(Of(group), (Counts{1, 0, 0}));
    EXPECT_TRUE(trace.Contains("below 0"));
}

TEST_F(CommonStoreAddrBook, ContactIdIsUniqueInAGroupWithoutRegardToCase) {
    AddrGroup* group = Group("g", root);
    Contact("Carol", group);
    AddrContact* again = AddrBook_NewContact(nullptr, nullptr, "CAROL");
    EXPECT_EQ(AddrBook_AttachContact(again, group, nullptr), 0);
    EXPECT_EQ(again->parent, nullptr);
    EXPECT_EQ(Of(group).contacts, 1u);
    AddrGroup* other = Group("h", root);
    EXPECT_EQ(AddrBook_AttachContact(again, other, nullptr), 1);  // fine in another group
    EXPECT_EQ(Of(root).contacts, 2u);
}

TEST_F(CommonStoreAddrBook, MoveKeepsTheCountersOfBothGroups) {
    AddrGroup* from = Group("from", root);
    AddrGroup* to = Group("to", root);
    AddrContact* contact = Contact("c", from);
    Identity("x", contact, ADDR_TYPE_SERVICE, service, 1);
    ASSERT_EQ(AddrBook_MoveContact(contact, to), 1);
    EXPECT_EQ(Of(from), (Counts{0, 0, 0}));
    EXPECT_EQ(Of(to), (Counts{1, 1, 1}));
    EXPECT_EQ(Of(root), (Counts{1, 1, 1}));

    AddrGroup* inner = Group("inner", to);
    ASSERT_EQ(AddrBook_MoveGroup(to, from), 1);
    EXPECT_EQ(Of(from), (Counts{1, 1, 1}));
    EXPECT_EQ(Of(root), (Counts{1, 1, 1}));
    // A group cannot go below itself: the tree stays as it was.
    EXPECT_EQ(AddrBook_MoveGroup(from, inner), 0);
    EXPECT_EQ(from->parent, root);
    EXPECT_EQ(AddrBook_MoveGroup(to, to), 0);
    EXPECT_EQ(AddrBook_MoveGroup(root, from), 0);
    EXPECT_EQ(Of(root), (Counts{1, 1, 1}));
}

TEST_F(CommonStoreAddrBook, RenameRules) {
    AddrGroup* a = Group("a", root);
    AddrBook_RenameGroup(a, "Friends");
    AddrGroup* b = Group("b", root);
    AddrBook_RenameGroup(b, "Work");
    AddrContact* c = Contact("c1", a);
    AddrContact* d = Contact("c2", a);
    AddrBook_RenameContact(c, "Carol");

    EXPECT_EQ(AddrBook_RenameGroup(b, "FRIENDS"), 0);  // a sibling has it
    EXPECT_STREQ(b->name, "Work");
    EXPECT_EQ(AddrBook_RenameGroup(a, "friends"), 1);  // its own name: no change
    EXPECT_STREQ(a->name, "Friends");
    EXPECT_EQ(AddrBook_RenameGroup(b, "Family"), 1);
    EXPECT_STREQ(b->name, "Family");
    EXPECT_EQ(AddrBook_RenameContact(d, "carol"), 0);
    EXPECT_EQ(AddrBook_RenameContact(d, "Friends"), 1);  // groups are not the same kind
    EXPECT_EQ(AddrBook_RenameContact(d, nullptr), 0);
}

TEST_F(CommonStoreAddrBook, DisplayNames) {
    AddrContact* contact = AddrBook_NewContact(nullptr, nullptr, "c-id");
    EXPECT_STREQ(contact->name, "c-id");  // the id when created without a name
    AddrBook_RenameContact(contact, "Carol");
    AddrIdentity* serviceIdentity = AddrBook_NewIdentity(service, "1001", nullptr, "i1");
    AddrIdentity* sipIdentity = AddrBook_NewIdentity(sip, "sip:c@x", "nick", "i2");
    EXPECT_EQ(serviceIdentity->flags & ADDR_FLAG_SERVICE, ADDR_FLAG_SERVICE);
    EXPECT_EQ(sipIdentity->flags & ADDR_FLAG_SERVICE, 0u);
    AddrBook_AttachIdentity(serviceIdentity, contact, nullptr);
    AddrBook_AttachIdentity(sipIdentity, contact, nullptr);

    EXPECT_STREQ(AddrBook_GetDisplayName(contact), "Carol");
    EXPECT_STREQ(AddrBook_GetDisplayName(serviceIdentity), "Carol");
    AddrBook_SetContactNick(contact, "Caz");
    EXPECT_STREQ(AddrBook_GetDisplayName(sipIdentity), "Caz");
    AddrBook_SetContactNick(contact, "");
    EXPECT_EQ(contact->nick, nullptr);

    EXPECT_STREQ(AddrBook_GetIdentityDisplayName(serviceIdentity), "Carol");
    AddrBook_SetIdentityAltName(serviceIdentity, "Second");
    EXPECT_STREQ(AddrBook_GetIdentityDisplayName(serviceIdentity), "Second");
    AddrBook_SetIdentityAltName(serviceIdentity, "");
    EXPECT_EQ(serviceIdentity->altName, nullptr);
    EXPECT_STREQ(AddrBook_GetIdentityDisplayName(sipIdentity), "Carol");  // no service flag: the contact's name
    AddrBook_RenameContact(contact, "");
    EXPECT_STREQ(AddrBook_GetIdentityDisplayName(serviceIdentity), "1001");
    EXPECT_STREQ(AddrBook_GetDisplayName(contact), "");  // an empty name is set: the id is not shown
    AddrContact* unnamed = AddrBook_NewContact("", nullptr, "u-id");
    EXPECT_STREQ(unnamed->name, "");  // only a missing name defaults to the id
    AddrBook_DeleteSubtree(unnamed);

    AddrBook_SetContactExtra(contact, "memo");
    EXPECT_STREQ(contact->extra, "memo");
    AddrBook_SetContactExtra(contact, nullptr);
    EXPECT_EQ(contact->extra, nullptr);
    AddrBook_DeleteSubtree(contact);
}

TEST_F(CommonStoreAddrBook, CreatorsNeedAnId) {
    EXPECT_EQ(AddrBook_NewGroup("x", nullptr), nullptr);
    EXPECT_EQ(AddrBook_NewContact("x", nullptr, nullptr), nullptr);
    EXPECT_EQ(AddrBook_NewIdentity(service, "x", nullptr, nullptr), nullptr);
    AddrIdentity* identity = AddrBook_NewIdentity(nullptr, nullptr, "", "i");
    ASSERT_NE(identity, nullptr);
    EXPECT_STREQ(identity->address, "");
    EXPECT_EQ(identity->nick, nullptr);
    AddrBook_SetIdentityType(identity, ADDR_TYPE_PHONE);
    EXPECT_EQ(identity->flags & ADDR_FLAG_TYPED, ADDR_FLAG_TYPED);
    AddrBook_FreeIdentity(identity);
}

TEST_F(CommonStoreAddrBook, InsertChildPlacesAfterTheSibling) {
    AddrGroup* parent = AddrBook_NewGroup("p", "p");
    AddrGroup* a = AddrBook_NewGroup("a", "a");
    AddrGroup* b = AddrBook_NewGroup("b", "b");
    AddrGroup* c = AddrBook_NewGroup("c", "c");
    AddrGroup* d = AddrBook_NewGroup("d", "d");
    AddrBook_InsertChild(a, parent, nullptr);
    AddrBook_InsertChild(b, parent, a);  // after the last child: appended
    AddrBook_InsertChild(c, parent, nullptr);  // no sibling: first
    AddrBook_InsertChild(d, parent, a);  // between a and b
    EXPECT_EQ(ChildIds(parent), (std::vector<std::string>{"c", "a", "d", "b"}));
    AddrBook_UnlinkNode(d);
    EXPECT_EQ(ChildIds(parent), (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ(d->parent, nullptr);
    AddrBook_UnlinkNode(c);
    EXPECT_EQ(ChildIds(parent), (std::vector<std::string>{"a", "b"}));
    AddrBook_FreeGroup(c);
    AddrBook_FreeGroup(d);
    AddrBook_DeleteSubtree(parent);
}

TEST_F(CommonStoreAddrBook, DeleteSubtreeOfARootEmptiesIt) {
    AddrGroup* g = Group("g", root);
    AddrGroup* h = Group("h", g);
    AddrContact* c = Contact("c", h);
    Identity("x", c, ADDR_TYPE_SERVICE, service, 1);
    Identity("y", Contact("d", g), ADDR_TYPE_SMS, sip, 1);
    ASSERT_EQ(Of(root), (Counts{2, 1, 2}));
    AddrBook_DeleteSubtree(root);
    EXPECT_EQ(root->child, nullptr);
    EXPECT_EQ(Of(root), (Counts{0, 0, 0}));
    EXPECT_STREQ(root->id, "0");  // a root itself stays
}

TEST_F(CommonStoreAddrBook, DeletingALinkedSubtreeDetachesItFirst) {
    AddrGroup* g = Group("g", root);
    AddrGroup* h = Group("h", g);
    Identity("x", Contact("c", h), ADDR_TYPE_SERVICE, service, 1);
    AddrBook_DeleteSubtree(h);
    EXPECT_EQ(g->child, nullptr);
    EXPECT_EQ(Of(g), (Counts{0, 0, 0}));
    EXPECT_EQ(Of(root), (Counts{0, 0, 0}));
    AddrContact* c = Contact("c2", g);
    AddrBook_FreeContact(c);  // freeing a linked contact unlinks it too
    EXPECT_EQ(g->child, nullptr);
    EXPECT_EQ(Of(root).contacts, 0u);
}

int Record(AddrNode* node, void* a, void*) {
    static_cast<std::vector<std::string>*>(a)->push_back(node->id);
    return 1;
}

int StopAt(AddrNode* node, void* a, void*) { return std::string(node->id) != static_cast<const char*>(a); }

TEST_F(CommonStoreAddrBook, WalkIsPreOrderAndStaysInsideTheSubtree) {
    AddrGroup* g = Group("g", root);
    AddrGroup* h = Group("h", root);  // h is now the first child of the root
    AddrContact* c = Contact("c", g);
    Identity("i", c, 2, sip, 0);
    Contact("d", g);  // d is before c
    Group("k", g);
    Contact("e", h);

    std::vector<std::string> seen;
    EXPECT_EQ(AddrBook_Walk(root, Record, &seen, nullptr), nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"0", "h", "e", "g", "k", "d", "c", "i"}));

    seen.clear();
    EXPECT_EQ(AddrBook_Walk(g, Record, &seen, nullptr), nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"g", "k", "d", "c", "i"}));

    seen.clear();
    AddrBook_Walk(c, Record, &seen, nullptr);  // its next sibling is not visited
    EXPECT_EQ(seen, (std::vector<std::string>{"c", "i"}));

    AddrNode* found = AddrBook_Walk(root, StopAt, const_cast<char*>("d"), nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->id, "d");
    EXPECT_EQ(AddrBook_Walk(nullptr, Record, &seen, nullptr), nullptr);
}

TEST_F(CommonStoreAddrBook, LocalConfigurationHoldsOneKeyPerGroup) {
    g_strLocalConfPath = folder.File("me.ini");
    AddrGroup* g = Group("g1", root);
    g->flags = 0x1203;  // only the low byte is saved
    AddrGroup* h = Group("g2", g);
    h->flags = 0xFF;
    Contact("c", h)->flags = 7;
    static_cast<AddrGroup*>(root)->flags = 5;
    AddrBook_Walk(root, LocalConf_SaveGroupFlags, nullptr, nullptr);
    using Keys = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(plat::IniReadSection(g_strLocalConfPath, "localconf"), (Keys{{"g1", "3"}, {"g2", "255"}}));
}

// Random sequences of changes, each followed by a full recount of every counter.
class CommonStoreCounters : public CommonStoreAddrBook, public ::testing::WithParamInterface<unsigned> {
protected:
    // Expected counters of node, checked against the stored ones; returns what it passes up.
    Counts Recount(const AddrNode* node, bool* ok) {
        Counts sum{0, 0, 0};
        for (const AddrNode* c = node->child; c; c = c->next) {
            if (c->kind == ADDR_KIND_IDENTITY) {
                const AddrIdentity* i = static_cast<const AddrIdentity*>(c);
                if (i->type == ADDR_TYPE_SERVICE && Account_IsOnline(i->account)) ++sum.service;
                if (i->online == 1) ++sum.online;
                continue;
            }
            Counts child = Recount(c, ok);
            sum.contacts += child.contacts;
            sum.service += child.service;
            sum.online += c->kind == ADDR_KIND_CONTACT ? (child.online ? 1 : 0) : child.online;
        }
        if (node->kind == ADDR_KIND_CONTACT) sum.contacts = 1;
        if (!(Of(node) == sum)) {
            *ok = false;
            ADD_FAILURE() << "node " << node->id << " holds " << Of(node) << ", recount " << sum;
        }
        return sum;
    }
    void CheckAll(int step) {
        bool ok = true;
        for (AddrGroup* r : g_addrBookRoots) Recount(r, &ok);
        ASSERT_TRUE(ok) << "after step " << step;
    }
    std::vector<AddrNode*> Nodes(uint32_t kind) {
        std::vector<AddrNode*> found;
        for (AddrGroup* r : g_addrBookRoots) {
            AddrBook_Walk(r, [](AddrNode* n, void* a, void* k) {
                if (n->kind == *static_cast<uint32_t*>(k)) static_cast<std::vector<AddrNode*>*>(a)->push_back(n);
                return 1;
            }, &found, &kind);
        }
        return found;
    }
};

TEST_P(CommonStoreCounters, CountersEqualARecount) {
    std::mt19937 rng(GetParam());
    Account* offlineService = Account_New("away", ACCOUNT_TYPE_SERVICE);  // stays offline
    Account* accounts[] = {service, sip, offlineService, nullptr};
    auto pick = [&](const std::vector<AddrNode*>& v) { return v[rng() % v.size()]; };
    int serial = 0;
    size_t largest = 0;
    for (int step = 0; step < 400; ++step) {
        std::string id = "n" + std::to_string(++serial);
        std::vector<AddrNode*> groups = Nodes(ADDR_KIND_GROUP);
        std::vector<AddrNode*> contacts = Nodes(ADDR_KIND_CONTACT);
        std::vector<AddrNode*> identities = Nodes(ADDR_KIND_IDENTITY);
        switch (rng() % 10) {
        case 0: {  // new group
            AddrGroup* g = AddrBook_NewGroup(id.c_str(), id.c_str());
            AddrBook_AttachGroup(g, pick(groups), nullptr);
            break;
        }
        case 1:
        case 2: {  // new contact (ids repeat now and then, so some are refused)
            std::string cid = "c" + std::to_string(rng() % 40);
            AddrContact* c = AddrBook_NewContact(nullptr, nullptr, cid.c_str());
            if (!AddrBook_AttachContact(c, pick(groups), nullptr)) AddrBook_FreeContact(c);
            break;
        }
        case 3:
        case 4: {  // new identity, maybe online before it is attached
            if (contacts.empty()) break;
            const uint32_t types[] = {2, 3, 8, 9};
            AddrIdentity* i = AddrBook_NewIdentity(accounts[rng() % 4], id.c_str(), nullptr, id.c_str());
            AddrBook_SetIdentityType(i, types[rng() % 4]);
            if (rng() % 2) AddrBook_SetIdentityOnline(i, 1);
            AddrBook_AttachIdentity(i, pick(contacts), nullptr);
            break;
        }
        case 5:
        case 6: {  // presence change
            if (identities.empty()) break;
            AddrBook_SetIdentityOnline(pick(identities), rng() % 3);
            break;
        }
        case 7: {  // move a contact or a group
            if (rng() % 2 && !contacts.empty()) {
                AddrNode* c = pick(contacts);
                if (!AddrBook_MoveContact(c, pick(groups))) AddrBook_FreeContact(c);
            } else {
                AddrNode* g = pick(groups);
                AddrBook_MoveGroup(g, pick(groups));  // refused for roots and loops
            }
            break;
        }
        case 8: {  // identity moves to another contact or goes
            if (identities.empty()) break;
            AddrNode* i = pick(identities);
            if (rng() % 2 && !contacts.empty()) {
                AddrBook_AttachIdentity(i, pick(contacts), nullptr);
            } else {
                AddrBook_DetachIdentity(i);
                AddrBook_FreeIdentity(i);
            }
            break;
        }
        case 9: {  // delete a contact or a whole group
            AddrNode* victim = rng() % 3 == 0 ? pick(groups) : (contacts.empty() ? nullptr : pick(contacts));
            if (victim) AddrBook_DeleteSubtree(victim);
            break;
        }
        }
        CheckAll(step);
        largest = std::max(largest, Nodes(ADDR_KIND_CONTACT).size() + Nodes(ADDR_KIND_IDENTITY).size());
    }
    EXPECT_GE(largest, 20u);  // the sequence really built a tree worth checking
    for (AddrGroup* r : g_addrBookRoots) AddrBook_DeleteSubtree(r);
    CheckAll(-1);
    for (AddrGroup* r : g_addrBookRoots) EXPECT_EQ(Of(r), (Counts{0, 0, 0}));
    Account_Free(offlineService);
}

INSTANTIATE_TEST_SUITE_P(Seeds, CommonStoreCounters, ::testing::Values(1u, 2u, 3u, 42u, 2024u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                             return "Seed" + std::to_string(info.param);
                         });

}  // namespace
