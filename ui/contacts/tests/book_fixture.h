// Test helpers of the address-book tests: a store with accounts and a builder for groups, contacts,
// identities and cards.
#pragma once

#include <gtest/gtest.h>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/tests/store_fixture.h"
#include "ui/shell/shell_config.h"

namespace booktest {

class BookTest : public storetest::StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        shell::Paths().profileFolder = folder.Path();
        service = AddAccount("alice", ACCOUNT_TYPE_SERVICE);
        sip = AddAccount("alice", ACCOUNT_TYPE_SIP);
    }
    AddrNode* Root(int i) { return g_addrBookRoots[i]; }
    AddrGroup* Group(const char* id, const char* name, AddrNode* parent) {
        AddrGroup* g = AddrBook_NewGroup(name, id);
        EXPECT_EQ(1, AddrBook_AttachGroup(g, parent, nullptr));
        return g;
    }
    AddrContact* Contact(const char* id, const char* name, AddrNode* group, const char* nick = nullptr) {
        AddrContact* c = AddrBook_NewContact(name, nick, id);
        EXPECT_EQ(1, AddrBook_AttachContact(c, group, nullptr));
        return c;
    }
    AddrContact* Card(const char* id, const char* name) {
        AddrContact* c = Contact(id, name, Root(2));
        AddrBook_SetKind7(c);
        return c;
    }
    // Appended after the last child so the store order is the order of the calls.
    AddrIdentity* Identity(AddrNode* contact, uint32_t type, const char* address, uint32_t online = 0) {
        Account* account = type == 9 ? service : type == 4 ? nullptr : sip;
        AddrIdentity* i = AddrBook_NewIdentity(account, address, nullptr, address);
        AddrBook_SetIdentityType(i, type);
        AddrNode* last = contact->child;
        while (last && last->next) last = last->next;
        EXPECT_EQ(1, AddrBook_AttachIdentity(i, contact, last));
        if (online) AddrBook_SetIdentityOnline(i, online);
        return i;
    }
    Account* service = nullptr;
    Account* sip = nullptr;
};

}  // namespace booktest
