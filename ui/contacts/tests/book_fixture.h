// Test helpers of the address-book tests: a store with accounts and a builder for groups, contacts,
// identities and cards.
#pragma once

#include <gtest/gtest.h>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/tests/store_fixture.h"
#include "common/xmldoc.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include "ui/shell/shell_config.h"

namespace booktest {

// A request record as the access client allocates it.
inline AsRequest* NewRequest(int command, void* data, uint32_t kind) {
    auto* r = static_cast<AsRequest*>(calloc(1, sizeof(AsRequest)));
    *r = AsRequest{command, 0, data, nullptr, kind};
    return r;
}

// A request as the access client hands it over after parsing the reply text.
inline AsRequest* Parsed(int command, const std::string& text, void* data = nullptr, uint32_t kind = AS_DATA_NONE) {
    CXmlDocument doc;
    doc.SetText(text);
    EXPECT_TRUE(doc.Parse());
    CXmlElement* element = nullptr;
    EXPECT_TRUE(doc.GetRoot()->FindChild(g_asCommandTable[command].name, element));
    AsRequest* r = NewRequest(command, data, kind);
    EXPECT_EQ(0, g_asCommandTable[command].parser(element, r));
    return r;
}

inline std::string Recorded() {
    std::ifstream in(std::string(TESSALY_SOURCE_DIR) + "/ui/contacts/tests/data/alice_syn.xml");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline AddrNode* Find(AddrNode* n, const char* id) {
    if (!n) return nullptr;
    if (n->id && !strcmp(n->id, id)) return n;
    for (AddrNode* c = n->child; c; c = c->next)
        if (AddrNode* f = Find(c, id)) return f;
    return nullptr;
}



class BookTest : public storetest::StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        shell::Paths().profileFolder = folder.Path();
        service = AddAccount("alice", ACCOUNT_TYPE_SERVICE);
        sip = AddAccount("alice", ACCOUNT_TYPE_SIP);
    }
    AddrNode* Root(int i) { return g_addrBookRoots[i]; }
    // The synchronisation brings its own accounts.
    void DropAccounts() {
        for (Account** a : {&service, &sip}) {
            Account_Remove(*a);
            Account_Free(*a);
            *a = nullptr;
        }
    }
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
