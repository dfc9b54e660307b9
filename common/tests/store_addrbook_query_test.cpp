// Tests of the address-book finders, collections and the actions sent to the messaging service.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "store_fixture.h"

namespace {

using storetest::StoreTest;

class CommonStoreAddrQuery : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        service = AddAccount("me", ACCOUNT_TYPE_SERVICE);
        sip = AddAccount("me", ACCOUNT_TYPE_SIP);
        root = g_addrBookRoots[0];
    }
    AddrGroup* Group(const char* id, const char* name, AddrNode* parent) {
        AddrGroup* g = AddrBook_NewGroup(name, id);
        AddrBook_AttachGroup(g, parent, nullptr);
        return g;
    }
    // Contacts are appended, so the tree reads in creation order.
    AddrContact* Contact(const char* id, const char* name, AddrNode* group) {
        AddrContact* c = AddrBook_NewContact(name, nullptr, id);
        AddrNode* last = group->child;
        while (last && last->next) last = last->next;
        EXPECT_EQ(AddrBook_AttachContact(c, group, last), 1);
        return c;
    }
    AddrIdentity* Identity(AddrNode* contact, Account* account, uint32_t type, const char* address, int uid = 0,
                           uint32_t online = 0) {
        AddrIdentity* i = AddrBook_NewIdentity(account, address, nullptr, (std::string("i-") + address).c_str());
        AddrBook_SetIdentityType(i, type);
        if (uid) presence_setting_set_int(&i->settings, "uid", nullptr, uid);
        AddrBook_SetIdentityOnline(i, online);
        AddrNode* last = contact->child;
        while (last && last->next) last = last->next;
        AddrBook_AttachIdentity(i, contact, last);
        return i;
    }

    Account* service = nullptr;
    Account* sip = nullptr;
    AddrNode* root = nullptr;
};

TEST_F(CommonStoreAddrQuery, FindById) {
    EXPECT_EQ(AddrBook_FindById(root, "0"), root);
    AddrGroup* g = Group("G1", "friends", root);
    AddrContact* c = Contact("C1", "carol", g);
    AddrGroup* h = Group("G2", "work", root);
    AddrContact* c2 = Contact("C1", "carol at work", h);  // same id in another group
    EXPECT_EQ(AddrBook_FindById(root, "c1"), c2);  // pre-order: G2 was attached in front of G1
    EXPECT_EQ(AddrBook_FindByIdInParent(root, "C1", "g1"), c);
    EXPECT_EQ(AddrBook_FindByIdInParent(root, "C1", ""), c2);
    EXPECT_EQ(AddrBook_FindByIdInParent(root, "C1", "nope"), nullptr);
    EXPECT_EQ(AddrBook_FindContactById(g, "C1"), c);
    EXPECT_EQ(AddrBook_FindContactById(root, "G1"), nullptr);  // not a contact
    EXPECT_EQ(AddrBook_FindById(root, nullptr), nullptr);
    EXPECT_EQ(AddrBook_FindById(nullptr, "0"), nullptr);
}

TEST_F(CommonStoreAddrQuery, ChildFinders) {
    AddrGroup* g = Group("g", "Friends", root);
    AddrContact* c = Contact("c", "Carol", root);
    AddrContact* list = Contact("l", "List", root);
    AddrBook_SetKind7(list);
    AddrIdentity* phone = Identity(c, sip, ADDR_TYPE_PHONE, "555");
    AddrIdentity* buddy = Identity(c, service, ADDR_TYPE_SERVICE, "1001", 1001);
    Contact("deep", "Deep", g);

    EXPECT_EQ(AddrBook_FindChildGroupByName(root, "friends"), g);
    EXPECT_EQ(AddrBook_FindChildContactByName(root, "CAROL"), c);
    EXPECT_EQ(AddrBook_FindChildContactByName(root, "Deep"), nullptr);  // only direct children
    EXPECT_EQ(AddrBook_FindChildContactById(root, "C"), c);
    EXPECT_EQ(AddrBook_FindChildContactById(root, "l"), nullptr);  // a list is not a contact
    EXPECT_EQ(AddrBook_FindChildKind7ById(root, "L"), list);
    EXPECT_EQ(AddrBook_FindType8Identity(c), phone);
    EXPECT_EQ(AddrBook_FindType9Identity(c), buddy);
    EXPECT_EQ(AddrBook_FindChildIdentityOfType(c, ADDR_TYPE_SERVICE), buddy);
    EXPECT_EQ(AddrBook_FindChildIdentityOfType(c, ADDR_TYPE_SMS), nullptr);
    EXPECT_STREQ(AddrBook_GetIdentityAddress(c, ADDR_TYPE_PHONE), "555");
    EXPECT_EQ(AddrBook_GetIdentityAddress(c, ADDR_TYPE_SMS), nullptr);
}

TEST_F(CommonStoreAddrQuery, IdentityFinders) {
    AddrContact* c = Contact("c", "Carol", root);
    AddrIdentity* buddy = Identity(c, service, ADDR_TYPE_SERVICE, "1001", 1001);
    AddrIdentity* sipId = Identity(c, sip, 2, "sip:carol@example.com");
    EXPECT_EQ(AddrBook_FindIdentity(root, service, "1001"), buddy);
    EXPECT_EQ(AddrBook_FindIdentity(root, sip, "1001"), nullptr);
    EXPECT_EQ(AddrBook_FindIdentityByUid(root, 1001), buddy);
    EXPECT_EQ(AddrBook_FindIdentityByUid(root, 1002), nullptr);
    EXPECT_EQ(AddrBook_FindSipIdentity(root, "SIP:Carol@Example.com"), sipId);
    EXPECT_EQ(AddrBook_FindSipIdentity(root, "1001"), nullptr);

    Connect(service, PRESENCE_CONNECTED);
    EXPECT_EQ(AddrBook_FindIdentityForRecord(root, service->connection, "1001"), buddy);
    EXPECT_EQ(AddrBook_FindIdentityForRecord(root, service->connection, "sip:carol@example.com"), nullptr);
    EXPECT_EQ(AddrBook_FindIdentityForRecord(root, nullptr, "1001"), nullptr);
}

TEST_F(CommonStoreAddrQuery, HasIdentityTypeNeedsAUidForType9) {
    AddrGroup* g = Group("g", "g", root);
    AddrGroup* inner = Group("h", "h", g);
    AddrContact* c = Contact("c", "Carol", inner);
    AddrIdentity* buddy = Identity(c, service, ADDR_TYPE_SERVICE, "1001");  // no uid yet
    Identity(c, sip, ADDR_TYPE_PHONE, "555");
    EXPECT_FALSE(AddrBook_HasIdentityType(g, ADDR_TYPE_SERVICE));
    EXPECT_FALSE(AddrBook_HasIdentityType(c, ADDR_TYPE_SERVICE));
    EXPECT_FALSE(AddrBook_HasIdentityType(buddy, ADDR_TYPE_SERVICE));
    EXPECT_TRUE(AddrBook_HasIdentityType(g, ADDR_TYPE_PHONE));
    EXPECT_TRUE(AddrBook_HasIdentityType(c, ADDR_TYPE_PHONE));
    presence_setting_set_int(&buddy->settings, "uid", nullptr, 1001);
    EXPECT_TRUE(AddrBook_HasIdentityType(g, ADDR_TYPE_SERVICE));
    EXPECT_TRUE(AddrBook_HasIdentityType(c, ADDR_TYPE_SERVICE));
    EXPECT_TRUE(AddrBook_HasIdentityType(buddy, ADDR_TYPE_SERVICE));
    EXPECT_FALSE(AddrBook_HasIdentityType(g, ADDR_TYPE_SMS));
    EXPECT_FALSE(AddrBook_HasIdentityType(nullptr, ADDR_TYPE_SMS));
}

TEST_F(CommonStoreAddrQuery, OnlineContactNeedsAnOnlineServiceOrBlockedIdentity) {
    AddrContact* c = Contact("c", "Carol", root);
    AddrIdentity* sipId = Identity(c, sip, 2, "sip:c@x", 0, 1);
    EXPECT_FALSE(AddrBook_IsContactOnline(c));  // online, but neither flag 0x200 nor 0x800
    AddrIdentity* buddy = Identity(c, service, ADDR_TYPE_SERVICE, "1001", 1001, 0);
    EXPECT_FALSE(AddrBook_IsContactOnline(c));
    AddrBook_SetIdentityOnline(buddy, 1);
    EXPECT_TRUE(AddrBook_IsContactOnline(c));
    AddrBook_SetIdentityOnline(buddy, 0);
    sipId->flags |= ADDR_FLAG_BLOCKED;  // an online identity with 0x800 counts as well
    EXPECT_TRUE(AddrBook_IsContactOnline(c));
    AddrBook_SetIdentityOnline(sipId, 0);
    EXPECT_FALSE(AddrBook_IsContactOnline(c));
    c->flags |= ADDR_FLAG_BLOCKED;
    AddrBook_SetIdentityOnline(buddy, 1);
    EXPECT_TRUE(AddrBook_IsContactOnline(c));  // a blocked buddy still shows its presence
}

TEST_F(CommonStoreAddrQuery, BusyContactIsOnlineAndBusyOnEveryOnlineServiceIdentity) {
    AddrGroup* g = Group("G", "friends", root);
    AddrContact* c = Contact("c", "Carol", g);
    AddrIdentity* sipId = Identity(c, sip, 2, "sip:c@x", 0, 1);
    AddrBook_SetIdentityBusy(sipId, true);
    EXPECT_FALSE(AddrBook_IsContactBusy(c));  // only the messaging identity carries presence
    AddrIdentity* buddy = Identity(c, service, ADDR_TYPE_SERVICE, "1001", 1001, 0);
    AddrBook_SetIdentityBusy(buddy, true);
    EXPECT_FALSE(AddrBook_IsIdentityBusy(buddy));  // an offline identity is not busy
    EXPECT_FALSE(AddrBook_IsContactBusy(c));
    AddrBook_SetIdentityOnline(buddy, 1);
    EXPECT_TRUE(AddrBook_IsIdentityBusy(buddy));
    EXPECT_TRUE(AddrBook_IsContactOnline(c));
    EXPECT_TRUE(AddrBook_IsContactBusy(c));
    EXPECT_EQ(g->onlineCount, 1u);  // busy still counts as online
    AddrIdentity* second = Identity(c, service, ADDR_TYPE_SERVICE, "1002", 1002, 1);
    EXPECT_FALSE(AddrBook_IsContactBusy(c));  // reachable on the second one
    AddrBook_SetIdentityOnline(second, 0);
    EXPECT_TRUE(AddrBook_IsContactBusy(c));
    AddrBook_SetIdentityBusy(buddy, false);
    EXPECT_FALSE(AddrBook_IsContactBusy(c));
    EXPECT_TRUE(AddrBook_IsContactOnline(c));
    EXPECT_EQ(g->onlineCount, 1u);
    EXPECT_FALSE(AddrBook_IsContactBusy(nullptr));
}

TEST_F(CommonStoreAddrQuery, IdentityRecordsListOnlineFirst) {
    AddrContact* a = Contact("a", "Anna", root);
    AddrContact* b = Contact("b", "Ben", root);
    AddrContact* c = Contact("c", std::string(100, 'C').c_str(), root);
    Identity(a, service, ADDR_TYPE_SERVICE, "1", 11, 0);
    Identity(b, service, ADDR_TYPE_SERVICE, "2", 22, 1);
    Identity(c, service, ADDR_TYPE_SERVICE, "3", 33, 1);
    Identity(a, service, ADDR_TYPE_SERVICE, "4", 0, 1);  // no uid: left out
    Identity(b, sip, ADDR_TYPE_SERVICE, "5", 55, 1);     // another account: left out
    Identity(c, service, ADDR_TYPE_SERVICE, "6", 66, 0);

    // Online ones are put at the front as they are met, the others at the back.
    std::vector<IdentityRecord> records = AddrBook_CollectIdentityRecords(root, service);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].uid, 33u);
    EXPECT_EQ(std::string(records[0].displayName), std::string(63, 'C'));  // cut to 63 characters
    EXPECT_EQ(records[1].uid, 22u);
    EXPECT_STREQ(records[1].displayName, "Ben");
    EXPECT_EQ(records[2].uid, 11u);
    EXPECT_EQ(records[3].uid, 66u);
}

TEST_F(CommonStoreAddrQuery, ContactsByBlockFlag) {
    AddrContact* a = Contact("a", "Anna", root);
    AddrContact* b = Contact("b", "Ben", root);
    AddrBook_SetContactNick(b, "Benny");
    a->flags |= ADDR_FLAG_BLOCKED;
    b->flags |= ADDR_FLAG_BLOCKED;
    Contact("c", "Cid", root);
    std::vector<std::unique_ptr<CBuddyNamePair>> blocked, free;
    AddrBook_CollectContactsByBlock(root, &blocked, 1);
    AddrBook_CollectContactsByBlock(root, &free, 0);
    ASSERT_EQ(blocked.size(), 2u);
    EXPECT_STREQ(blocked[0]->First(), "a");
    EXPECT_STREQ(blocked[0]->Second(), "Anna");
    EXPECT_STREQ(blocked[1]->Second(), "Benny");
    ASSERT_EQ(free.size(), 1u);
    EXPECT_STREQ(free[0]->First(), "c");
}

struct FilterCase {
    const char* label;
    const char* filter;
    std::vector<std::string> numbers;
};

// Test names show the case's name rather than its bytes.
void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.label; }

class CommonStoreType3Filter : public CommonStoreAddrQuery, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(CommonStoreType3Filter, SearchesNamesOrNumbers) {
    AddrContact* a = Contact("a", "Anna 12", root);
    AddrBook_SetContactNick(a, "Annie 13");  // the nick is the display name
    AddrContact* b = Contact("b", "Bob", root);
    Identity(a, sip, ADDR_TYPE_SMS, "13800138000");
    Identity(a, sip, ADDR_TYPE_PHONE, "555");  // not a text-message number
    Identity(b, sip, ADDR_TYPE_SMS, "13912345678");
    std::vector<Type3Record> records;
    AddrBook_CollectType3Records(root, &records, GetParam().filter);
    std::vector<std::string> numbers;
    for (const Type3Record& r : records) numbers.push_back(r.number);
    EXPECT_EQ(numbers, GetParam().numbers);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonStoreType3Filter,
    ::testing::Values(FilterCase{"None", nullptr, {"13800138000", "13912345678"}},
                      FilterCase{"Empty", "", {"13800138000", "13912345678"}},
                      FilterCase{"Name", "Bob", {"13912345678"}},
                      FilterCase{"NameOtherCase", "bob", {}},         // case-sensitive
                      FilterCase{"SmallNumberInName", "13", {"13800138000"}},  // below 130: names ("Annie 13")
                      FilterCase{"NotTheContactName", "12", {}},      // the display name is the nick
                      FilterCase{"NumberPrefix", "138", {"13800138000"}},  // 130 or more: numbers
                      FilterCase{"OtherNumberPrefix", "139", {"13912345678"}},
                      FilterCase{"WholeNumber", "13800138000", {"13800138000"}},
                      FilterCase{"HugeNumber", "99999999999999999999", {}},
                      FilterCase{"Negative", "-5", {}}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.label); });

TEST_F(CommonStoreAddrQuery, Type3RecordFields) {
    AddrContact* a = Contact(std::string(80, 'i').c_str(), std::string(200, 'n').c_str(), root);
    Identity(a, sip, ADDR_TYPE_SMS, std::string(90, '1').c_str());
    std::vector<Type3Record> records;
    AddrBook_CollectType3Records(root, &records, nullptr);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::string(records[0].contactId), std::string(64, 'i'));
    EXPECT_EQ(std::string(records[0].displayName), std::string(128, 'n'));
    EXPECT_EQ(std::string(records[0].number), std::string(64, '1'));
}

TEST_F(CommonStoreAddrQuery, OnlineContactsBecomeInvitees) {
    AddrContact* a = Contact("a", "Anna", root);
    AddrBook_SetContactNick(a, "Annie");
    Identity(a, sip, ADDR_TYPE_PHONE, "555-1");
    Identity(a, service, ADDR_TYPE_SERVICE, "1001", 1001, 1);
    AddrContact* b = Contact("b", "Ben", root);
    Identity(b, service, ADDR_TYPE_SERVICE, "1002", 1002, 0);  // offline: not offered

    std::vector<std::unique_ptr<CInvitee>> invitees;
    AddrBook_CollectOnlineContacts(root, &invitees);
    ASSERT_EQ(invitees.size(), 1u);
    // The invitee keeps its own copy: deleting the tree leaves it intact.
    AddrBook_DeleteSubtree(root);
    EXPECT_STREQ(invitees[0]->Number(), "Anna");
    EXPECT_STREQ(invitees[0]->Name(), "555-1");
    EXPECT_EQ(invitees[0]->Flag(), 1001);
    ASSERT_NE(invitees[0]->Contact(), nullptr);
    EXPECT_STREQ(invitees[0]->Contact()->nick, "Annie");
    EXPECT_EQ(invitees[0]->Contact()->parent, nullptr);
    EXPECT_EQ(invitees[0]->Contact()->child, nullptr);
}

TEST_F(CommonStoreAddrQuery, BlockingSetsTheFlagAndAsksOnlyWhenOnline) {
    AddrContact* plain = Contact("p", "Plain", root);
    EXPECT_TRUE(AddrBook_BlockContact(plain));  // no service identity: flag only
    EXPECT_TRUE(plain->flags & ADDR_FLAG_BLOCKED);

    AddrContact* c = Contact("c", "Carol", root);
    Identity(c, service, ADDR_TYPE_SERVICE, "1001", 1001);
    EXPECT_TRUE(AddrBook_BlockContact(c));  // the service account is offline: nothing sent
    EXPECT_TRUE(c->flags & ADDR_FLAG_BLOCKED);
    EXPECT_TRUE(presence.Ops().empty());

    Connect(service, PRESENCE_CONNECTED);
    presence.ClearCalls();
    EXPECT_TRUE(AddrBook_UnblockContact(c));
    EXPECT_FALSE(c->flags & ADDR_FLAG_BLOCKED);
    EXPECT_TRUE(AddrBook_BlockContact(c));
    ASSERT_EQ(presence.Ops(), (std::vector<std::string>{"unblock", "block"}));
    EXPECT_EQ(presence.Calls()[1].uid, 1001);
    EXPECT_EQ(presence.Calls()[1].connection, service->connection);

    EXPECT_FALSE(AddrBook_BlockContact(root));  // only contacts
    Account_Logout(service);
    Account_Remove(service);
    Account_Free(service);
    AddrContact* d = Contact("d", "Dan", root);
    Identity(d, sip, ADDR_TYPE_SERVICE, "1003", 1003);
    EXPECT_FALSE(AddrBook_BlockContact(d));  // no service account at all
    EXPECT_TRUE(d->flags & ADDR_FLAG_BLOCKED);
}

TEST_F(CommonStoreAddrQuery, ServerContactsAreDeletedOnlyForOnlineAccounts) {
    Connect(service, PRESENCE_CONNECTED);
    Account* away = AddAccount("away", ACCOUNT_TYPE_SERVICE);
    AddrGroup* g = Group("g", "g", root);
    Identity(Contact("a", "A", g), service, ADDR_TYPE_SERVICE, "1", 11);
    Identity(Contact("b", "B", g), service, ADDR_TYPE_SERVICE, "2", 0);   // no uid
    Identity(Contact("c", "C", g), away, ADDR_TYPE_SERVICE, "3", 33);    // offline account
    Identity(Contact("d", "D", g), service, ADDR_TYPE_PHONE, "4", 44);   // not type 9
    Identity(Contact("e", "E", root), service, ADDR_TYPE_SERVICE, "5", 55);  // outside the subtree
    presence.ClearCalls();
    AddrBook_DeleteServerContacts(g);
    ASSERT_EQ(presence.Ops(), (std::vector<std::string>{"remove"}));
    EXPECT_EQ(presence.Calls()[0].uid, 11);
}

}  // namespace
