// Tests of the account list, sign-in and sign-off through the presence core and "account.ini".
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "common/account.h"
#include "common/addrbook.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "store_fixture.h"

namespace {

using storetest::StoreTest;

class CommonStoreAccount : public StoreTest {
protected:
    std::string IniPath() const { return folder.File("account.ini"); }
    void WriteIni(const std::string& text) { ASSERT_TRUE(plat::WriteFileAtomic(IniPath(), text)); }
    static std::string Server(const Account* a) {
        char buffer[128];
        return presence_setting_get_string(&a->settings, "server", "<none>", buffer, sizeof buffer);
    }
    static int Port(const Account* a) { return presence_setting_get_int(&a->settings, "port", -1); }
};

struct LoadCase {
    const char* name;
    const char* ini;
    uint32_t type;
    bool exists;
    const char* password;  // read as it stands: a missing key gives an empty text
    const char* alias;
    const char* server;    // "<none>": no setting
    int port;
    uint32_t autoLogin;
};

// Test names show the case's name rather than its bytes.
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class CommonStoreAccountLoad : public CommonStoreAccount, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(CommonStoreAccountLoad, ReadsTheSectionWithItsDefaults) {
    const LoadCase& c = GetParam();
    storetest::TraceCapture trace;
    WriteIni(c.ini);
    g_configManual = 1;
    presence.discardWithoutPassword = false;
    ASSERT_EQ(Account_LoadAll(), 1);
    Account* a = Account_FindByType(c.type);
    ASSERT_EQ(a != nullptr, c.exists);
    if (!a) return;
    EXPECT_STREQ(a->password, c.password);
    EXPECT_STREQ(a->alias, c.alias);
    EXPECT_EQ(Server(a), c.server);
    EXPECT_EQ(Port(a), c.port);
    EXPECT_EQ(a->autoLogin, c.autoLogin);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonStoreAccountLoad,
    ::testing::Values(
        LoadCase{"ServiceDefaults", "[qz]\r\nusername=alice\r\n", 1, true, "", "", "<none>", 9999, 1},
        LoadCase{"SipDefaults", "[sip]\r\nusername=bob\r\n", 2, true, "", "", "<none>", 5060, 1},
        LoadCase{"ServiceFull",
                 "[qz]\r\nusername=alice\r\npassword=pw\r\nalias=Al\r\nserver=10.0.0.1\r\nport=8000\r\nautologin=0\r\n",
                 1, true, "pw", "Al", "10.0.0.1", 8000, 0},
        LoadCase{"SipFull", "[SIP]\r\nUserName=bob\r\npassword=s3\r\nserver=sip.example\r\nport=5070\r\n", 2, true,
                 "s3", "", "sip.example", 5070, 1},
        LoadCase{"NoUserName", "[qz]\r\npassword=pw\r\n", 1, false, nullptr, nullptr, "", 0, 0},
        LoadCase{"EmptyUserName", "[sip]\r\nusername=\r\n", 2, false, nullptr, nullptr, "", 0, 0},
        LoadCase{"PortOutOfRange", "[qz]\r\nusername=alice\r\nport=70000\r\n", 1, true, "", "", "<none>",
                 9999, 1},
        LoadCase{"PortNotNumeric", "[sip]\r\nusername=bob\r\nport=abc\r\n", 2, true, "", "", "<none>", 0, 1},
        LoadCase{"PortNegative", "[sip]\r\nusername=bob\r\nport=-5\r\n", 2, true, "", "", "<none>", 5060, 1}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

TEST_F(CommonStoreAccount, LongValuesAreCutTo127Characters) {
    WriteIni("[qz]\r\nusername=" + std::string(300, 'u') + "\r\npassword=" + std::string(200, 'p') + "\r\n");
    g_configManual = 1;
    Account_LoadAll();
    Account* a = Account_FindByType(1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::string(a->userName), std::string(127, 'u'));
    EXPECT_EQ(std::string(a->password), std::string(127, 'p'));
}

TEST_F(CommonStoreAccount, SaveWritesKeysInOrderWithDefaults) {
    g_configManual = 1;
    Account* service = AddAccount("alice", ACCOUNT_TYPE_SERVICE);
    Account_SetPassword(service, "pw");
    Account_SetAutoLogin(service, 0);
    Account* sip = AddAccount("bob", ACCOUNT_TYPE_SIP);
    Account_SetAlias(sip, "Bobby");
    Account_SetAutoLogin(sip, 1);
    presence_setting_set_string(&sip->settings, "server", nullptr, "sip.example");
    Account* other = Account_New("carol", 5);  // no section for this type
    Account_Add(other);

    ASSERT_EQ(Account_SaveAll(), 1);
    EXPECT_EQ(g_accountList, nullptr);

    using Keys = std::vector<std::pair<std::string, std::string>>;
    // The list is walked front to back: the last added account comes first.
    EXPECT_EQ(plat::IniSectionNames(IniPath()), (std::vector<std::string>{"sip", "qz"}));
    EXPECT_EQ(plat::IniReadSection(IniPath(), "qz"),
              (Keys{{"username", "alice"}, {"password", "pw"}, {"autologin", "0"},
                    {"server", ACCOUNT_DEFAULT_SERVICE_SERVER}, {"port", "9999"}}));
    EXPECT_EQ(plat::IniReadSection(IniPath(), "sip"),
              (Keys{{"username", "bob"}, {"alias", "Bobby"}, {"autologin", "1"}, {"server", "sip.example"},
                    {"port", "5060"}}));
    EXPECT_FALSE(plat::FileExists(IniPath() + ".new"));
}

TEST_F(CommonStoreAccount, SaveThenLoadGivesTheSameAccounts) {
    g_configManual = 1;
    Account* service = AddAccount("Alice", ACCOUNT_TYPE_SERVICE);
    Account_SetPassword(service, "secret");
    Account_SetAlias(service, "\xD6\xD0\xCE\xC4");  // GBK text stays as it is
    Account_SetAutoLogin(service, 0);
    presence_setting_set_int(&service->settings, "port", nullptr, 8080);
    presence_setting_set_string(&service->settings, "server", nullptr, "192.0.2.7");
    Account* sip = AddAccount("bob", ACCOUNT_TYPE_SIP);
    Account_SetAutoLogin(sip, 0);
    Account_SaveAll();

    Account_LoadAll();
    Account* a = Account_Find("alice", ACCOUNT_TYPE_SERVICE);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->userName, "Alice");
    EXPECT_STREQ(a->password, "secret");
    EXPECT_STREQ(a->alias, "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(a->autoLogin, 0u);
    EXPECT_EQ(Port(a), 8080);
    EXPECT_EQ(Server(a), "192.0.2.7");
    Account* b = Account_Find("bob", ACCOUNT_TYPE_SIP);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->password, "");  // no key written, an empty text read back
    EXPECT_STREQ(b->alias, "");
    EXPECT_EQ(Port(b), 5060);
    EXPECT_EQ(Server(b), ACCOUNT_DEFAULT_SIP_HOST);
}

TEST_F(CommonStoreAccount, WithoutManualConfigurationNoFileIsTouched) {
    const std::string original = "[qz]\r\nusername=alice\r\n";
    WriteIni(original);
    g_configManual = 0;
    Account_LoadAll();
    EXPECT_EQ(g_accountList, nullptr);

    Account* a = AddAccount("zed", ACCOUNT_TYPE_SERVICE);
    Connect(a, PRESENCE_CONNECTED);
    presence.ClearCalls();
    Account_SaveAll();
    EXPECT_EQ(g_accountList, nullptr);
    EXPECT_EQ(presence.Ops(), (std::vector<std::string>{"disconnect"}));  // signed off all the same
    std::string content;
    ASSERT_TRUE(plat::ReadFile(IniPath(), &content));
    EXPECT_EQ(content, original);
}

TEST_F(CommonStoreAccount, FailedSaveKeepsThePreviousFile) {
    const std::string original = "[qz]\r\nusername=old\r\n";
    WriteIni(original);
    ASSERT_EQ(::mkdir((IniPath() + ".new").c_str(), 0755), 0);  // the temporary file cannot be made
    g_configManual = 1;
    AddAccount("new", ACCOUNT_TYPE_SERVICE);
    storetest::TraceCapture trace;
    Account_SaveAll();
    std::string content;
    ASSERT_TRUE(plat::ReadFile(IniPath(), &content));
    EXPECT_EQ(content, original);
    EXPECT_TRUE(trace.Contains("Cannot write"));
    EXPECT_EQ(g_accountList, nullptr);
}

TEST_F(CommonStoreAccount, SavedFileIsReadableByTheOwnerOnly) {
    // An old save left the file readable by all, and a killed one its temporary file.
    WriteIni("[qz]\r\nusername=old\r\n");
    ASSERT_EQ(::chmod(IniPath().c_str(), 0644), 0);
    ASSERT_TRUE(plat::WriteFileAtomic(IniPath() + ".new", "[qz]\r\npassword=half\r\n"));
    ASSERT_EQ(::chmod((IniPath() + ".new").c_str(), 0644), 0);
    g_configManual = 1;
    Account* a = AddAccount("alice", ACCOUNT_TYPE_SERVICE);
    Account_SetPassword(a, " secret with blanks ");
    ASSERT_EQ(Account_SaveAll(), 1);
    struct stat st;
    ASSERT_EQ(::stat(IniPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    for (const std::string& name : plat::ListDirectory(folder.Path()))
        EXPECT_EQ(name.find("account.ini."), std::string::npos) << name << " left behind";
    // A password with blanks at its ends comes back whole.
    Account_LoadAll();
    Account* back = Account_Find("alice", ACCOUNT_TYPE_SERVICE);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->password, " secret with blanks ");
}

TEST_F(CommonStoreAccount, LoadSignsInAutomaticAccountsSipFirst) {
    WriteIni("[qz]\r\nusername=alice\r\npassword=pw\r\n[sip]\r\nusername=bob\r\npassword=pw\r\n");
    g_configManual = 1;
    HWND window = reinterpret_cast<HWND>(0x1234);
    g_hMainWnd = window;
    Account_LoadAll();
    Account* sip = Account_FindByType(ACCOUNT_TYPE_SIP);
    Account* service = Account_FindByType(ACCOUNT_TYPE_SERVICE);
    ASSERT_EQ(g_accountList, sip);
    EXPECT_EQ(presence.Ops(), (std::vector<std::string>{"new", "connect", "serv_login", "new", "connect", "serv_login"}));
    EXPECT_EQ(presence.Calls()[2].account, sip);
    EXPECT_EQ(presence.Calls()[2].window, window);
    EXPECT_EQ(presence.Calls()[5].account, service);
    EXPECT_TRUE(sip->connection && sip->connection->state == PRESENCE_CONNECTING);
}

TEST_F(CommonStoreAccount, LoadSkipsAccountsWithoutAutomaticLogin) {
    WriteIni("[qz]\r\nusername=alice\r\nautologin=0\r\n");
    g_configManual = 1;
    Account_LoadAll();
    EXPECT_TRUE(presence.Ops().empty());
    EXPECT_EQ(Account_FindByType(1)->connection, nullptr);
}

TEST_F(CommonStoreAccount, DuplicatesAreRefusedByNameAndType) {
    Account* first = AddAccount("Alice", ACCOUNT_TYPE_SERVICE);
    Account* sameName = Account_New("ALICE", ACCOUNT_TYPE_SERVICE);
    EXPECT_EQ(Account_Add(sameName), 0);
    Account_Free(sameName);
    Account* otherType = Account_New("alice", ACCOUNT_TYPE_SIP);
    EXPECT_EQ(Account_Add(otherType), 1);
    EXPECT_EQ(Account_Add(otherType), 0);  // already listed
    EXPECT_EQ(Account_Add(nullptr), 0);
    EXPECT_EQ(Account_Find("aLiCe", ACCOUNT_TYPE_SERVICE), first);
    EXPECT_EQ(Account_Find("alice", ACCOUNT_TYPE_SIP), otherType);
    EXPECT_EQ(Account_Find("alice", 3), nullptr);
    EXPECT_EQ(Account_Find(nullptr, 1), nullptr);
    EXPECT_EQ(g_accountList, otherType);  // new accounts go to the front
    EXPECT_EQ(Account_New(nullptr, 1), nullptr);
}

TEST_F(CommonStoreAccount, OnlineAndOfflineFollowTheConnectionState) {
    Account* a = AddAccount("alice", ACCOUNT_TYPE_SERVICE);
    EXPECT_FALSE(Account_IsOnline(a));
    EXPECT_TRUE(Account_IsOffline(a));
    ASSERT_NE(Account_Login(a), nullptr);
    const std::pair<uint32_t, std::pair<bool, bool>> states[] = {
        {PRESENCE_DISCONNECTED, {false, true}},
        {PRESENCE_CONNECTED, {true, false}},
        {PRESENCE_CONNECTING, {false, false}},  // neither while connecting
    };
    for (const auto& [state, expected] : states) {
        Account_SetConnectionParam(a, state);
        EXPECT_EQ(Account_IsOnline(a), expected.first) << "state " << state;
        EXPECT_EQ(Account_IsOffline(a), expected.second) << "state " << state;
    }
}

TEST_F(CommonStoreAccount, LoginAndLogout) {
    Account* a = AddAccount("alice", ACCOUNT_TYPE_SERVICE);
    PresenceConnection* c = Account_Login(a);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(a->connection, c);
    EXPECT_EQ(c->account, a);
    EXPECT_EQ(Account_Login(a), nullptr);  // already has one
    EXPECT_EQ(Account_Login(nullptr), nullptr);

    Account_Logout(a);
    EXPECT_EQ(a->connection, nullptr);
    EXPECT_FALSE(presence.accountStillLinked);  // cleared before the presence core was asked
    EXPECT_EQ(presence.LiveConnections(), 0u);
    Account_Logout(a);  // nothing left to do
    EXPECT_EQ(presence.Ops(), (std::vector<std::string>{"new", "connect", "disconnect"}));

    presence.failNew = true;
    EXPECT_EQ(Account_Login(a), nullptr);
    presence.failNew = false;
    presence.discardWithoutPassword = true;  // the presence core drops it while connecting
    EXPECT_EQ(Account_Login(a), nullptr);
    EXPECT_EQ(a->connection, nullptr);
}

TEST_F(CommonStoreAccount, TextSettersReportTheCopiedLength) {
    Account* a = AddAccount("alice", ACCOUNT_TYPE_SERVICE);
    EXPECT_EQ(Account_SetPassword(a, "pw"), 3);
    EXPECT_STREQ(a->password, "pw");
    EXPECT_EQ(Account_SetAlias(a, ""), 1);
    EXPECT_STREQ(a->alias, "");
    EXPECT_EQ(Account_SetPassword(a, nullptr), 0);
    EXPECT_EQ(a->password, nullptr);
}

TEST_F(CommonStoreAccount, RemoveTakesTheAccountsIdentitiesOutOfTheFirstRoot) {
    Account* a = AddAccount("alice", ACCOUNT_TYPE_SERVICE);
    Account* b = AddAccount("bob", ACCOUNT_TYPE_SIP);
    Connect(a, PRESENCE_CONNECTED);
    AddrNode* root = g_addrBookRoots[0];
    AddrGroup* group = AddrBook_NewGroup("friends", "g1");
    AddrBook_AttachGroup(group, root, nullptr);
    AddrContact* contact = AddrBook_NewContact("carol", nullptr, "c1");
    AddrBook_AttachContact(contact, group, nullptr);
    AddrIdentity* ofA = AddrBook_NewIdentity(a, "1001", nullptr, "i1");
    AddrBook_SetIdentityType(ofA, ADDR_TYPE_SERVICE);
    AddrBook_SetIdentityOnline(ofA, 1);
    AddrBook_AttachIdentity(ofA, contact, nullptr);
    AddrIdentity* ofB = AddrBook_NewIdentity(b, "sip:carol@x", nullptr, "i2");
    AddrBook_AttachIdentity(ofB, contact, nullptr);
    // An identity of the account in another root keeps no pointer to the removed account.
    AddrContact* elsewhere = AddrBook_NewContact("dave", nullptr, "c2");
    AddrBook_AttachContact(elsewhere, g_addrBookRoots[1], nullptr);
    AddrIdentity* ofAElsewhere = AddrBook_NewIdentity(a, "1002", nullptr, "i3");
    AddrBook_AttachIdentity(ofAElsewhere, elsewhere, nullptr);
    ASSERT_EQ(static_cast<AddrGroup*>(root)->onlineCount, 1u);
    ASSERT_EQ(static_cast<AddrGroup*>(root)->serviceCount, 1u);

    Account_Remove(a);
    EXPECT_EQ(Account_Find("alice", ACCOUNT_TYPE_SERVICE), nullptr);
    EXPECT_EQ(contact->child, ofB);
    EXPECT_EQ(ofB->next, nullptr);
    EXPECT_EQ(static_cast<AddrGroup*>(root)->onlineCount, 0u);
    EXPECT_EQ(static_cast<AddrGroup*>(root)->serviceCount, 0u);
    EXPECT_EQ(ofAElsewhere->account, nullptr);
    EXPECT_STREQ(a->userName, "alice");  // still valid until freed
    Account_Logout(a);
    Account_Free(a);
}

}  // namespace

// Signing out with and without the user's own account file: the accounts are signed off and lose their
// address-book identities either way; only the file's stay listed, in their order, for the save at exit.
TEST_F(CommonStoreAccount, LogoffKeepsTheAccountFilesAccountsForTheSaveAtExit) {
    for (int manual : {0, 1}) {
        SCOPED_TRACE(manual ? "manual configuration" : "accounts of the sign-in");
        WriteIni("[qz]\r\nusername=alice\r\npassword=pw\r\nautologin=0\r\n[sip]\r\nusername=bob\r\npassword=s3\r\n");
        g_configManual = 1;
        Account_LoadAll();
        g_configManual = manual;
        Account* sip = Account_FindByType(ACCOUNT_TYPE_SIP);
        Account* service = Account_FindByType(ACCOUNT_TYPE_SERVICE);
        ASSERT_TRUE(sip && service);
        Connect(service, PRESENCE_CONNECTED);
        const std::string n = std::to_string(manual);
        AddrContact* contact = AddrBook_NewContact("carol", nullptr, ("c" + n).c_str());
        AddrBook_AttachContact(contact, g_addrBookRoots[0], nullptr);
        AddrBook_AttachIdentity(AddrBook_NewIdentity(service, "1001", nullptr, ("i" + n).c_str()), contact, nullptr);
        ASSERT_NE(contact->child, nullptr);
        presence.ClearCalls();

        Account_LogoffAll();
        EXPECT_EQ(presence.LiveConnections(), 0u) << "every account signed off";
        EXPECT_EQ(contact->child, nullptr) << "identities go with the sign-out";
        if (!manual) {
            EXPECT_EQ(g_accountList, nullptr);
            continue;
        }
        ASSERT_EQ(g_accountList, sip);
        ASSERT_EQ(sip->next, service);
        EXPECT_EQ(service->next, nullptr);
        EXPECT_TRUE(Account_IsOffline(service));

        Account_SaveAll();
        EXPECT_EQ(g_accountList, nullptr);
        using Keys = std::vector<std::pair<std::string, std::string>>;
        EXPECT_EQ(plat::IniReadSection(IniPath(), "qz"),
                  (Keys{{"username", "alice"}, {"password", "pw"}, {"alias", ""}, {"autologin", "0"},
                        {"server", ACCOUNT_DEFAULT_SERVICE_SERVER}, {"port", "9999"}}));
        EXPECT_EQ(plat::IniReadSection(IniPath(), "sip"),
                  (Keys{{"username", "bob"}, {"password", "s3"}, {"alias", ""}, {"autologin", "1"},
                        {"server", ACCOUNT_DEFAULT_SIP_HOST},
                        {"port", "5060"}}));
    }
}

// Two accounts of one type share one section: the one listed last (the earliest added, the file's own)
// is written whole, without the password or alias of the other.
TEST_F(CommonStoreAccount, TwoAccountsOfOneTypeDoNotMixTheirKeys) {
    g_configManual = 1;
    Account* own = AddAccount("frank", ACCOUNT_TYPE_SERVICE);
    Account_SetAutoLogin(own, 0);
    Account* synced = AddAccount("alice", ACCOUNT_TYPE_SERVICE);
    Account_SetPassword(synced, "secret");
    Account_SetAlias(synced, "Alice");
    Account_SetAutoLogin(synced, 1);
    Account_SaveAll();
    using Keys = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(plat::IniReadSection(IniPath(), "qz"),
              (Keys{{"username", "frank"}, {"autologin", "0"}, {"server", ACCOUNT_DEFAULT_SERVICE_SERVER}, {"port", "9999"}}));
}
