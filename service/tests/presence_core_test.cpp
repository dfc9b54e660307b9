// Presence core and its notices, with fake protocol plug-ins and a pumped window target.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/account.h"
#include "common/addrbook.h"
#include "platform/msgqueue.h"
#include "service/presence_core.h"
#include "service/presence_notice.h"

namespace {

struct Seen {
    UINT msg;
    WPARAM w;
    LPARAM l;
};

// What the fake plug-ins were asked to do.
struct Calls {
    int loads = 0, unloads = 0, logins = 0, closes = 0, sends = 0;
    size_t lastRecipients = 0;
    std::string lastText;
} g_calls;

bool g_failLoad = false;

bool g_loginReports = false;

// With g_loginReports the log-in reports its state at once, as a plug-in's pump may.
int FakeLogin(Account* account) {
    if (g_loginReports) presence_post_connection_state(presence_rec(account->connection), 1);
    return ++g_calls.logins, 0;
}
void FakeClose(PresenceConnectionRec*) { ++g_calls.closes; }
int FakeSend(PresenceConnectionRec*, std::vector<PresenceBuddyRecord>* r, const char* text, const char*, int) {
    ++g_calls.sends;
    g_calls.lastRecipients = r->size();
    g_calls.lastText = text ? text : "";
    return 7;
}
bool FakeLoad(PresencePlugin*) { return ++g_calls.loads, !g_failLoad; }
bool FakeUnload(PresencePlugin*) { return ++g_calls.unloads, true; }

PresenceProtocolOps g_opsA = {6, 4, nullptr, {"png", 0, 0, 96, 96, 2}, nullptr, nullptr, nullptr,
                              FakeLogin, FakeClose, FakeSend, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
// Protocol 2 signs in without a password and has no send operation.
PresenceProtocolOps g_opsB = {6, 0x100, nullptr, {"png", 0, 0, 96, 96, 2}, nullptr, nullptr, nullptr,
                              FakeLogin, FakeClose, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
PresencePluginInfo g_infoA = {4, 2, 1, "A", "1", "a", "a", "v", "h", FakeLoad, FakeUnload, &g_opsA};
PresencePluginInfo g_infoB = {4, 2, 2, "B", "1", "b", "b", "v", "h", FakeLoad, nullptr, &g_opsB};
PresencePlugin g_a = {&g_infoA};
PresencePlugin g_b = {&g_infoB};
PresencePlugin* const g_fakes[] = {&g_a, &g_b, nullptr};

class PresenceCore : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls = Calls{};
        g_failLoad = false;
        g_loginReports = false;
        presence_use_plugins(g_fakes);
        presence_core_register(true);
        window = plat::RegisterWindowTarget([this](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
            seen.push_back({m, w, l});
            if (m == WM_PRESENCE_BUDDY) delete reinterpret_cast<PresenceBuddyRecord*>(l);
            if (m == WM_PRESENCE_ERROR) std::free(reinterpret_cast<char*>(l));
            return 0;
        });
        presence_set_ui_window(window);
    }
    void TearDown() override {
        for (Account* a : accounts) {
            Account_Logout(a);
            Account_Free(a);
        }
        plat::PumpWindowMessages();
        plat::UnregisterWindowTarget(window);
        presence_set_ui_window(nullptr);
        presence_core_register(false);
        presence_use_plugins(nullptr);
    }
    Account* NewAccount(uint32_t type, const char* password) {
        Account* a = Account_New("alice", type);
        if (password) Account_SetPassword(a, password);
        accounts.push_back(a);
        return a;
    }
    std::vector<UINT> Pump() {
        seen.clear();
        plat::PumpWindowMessages();
        std::vector<UINT> msgs;
        for (const Seen& s : seen) msgs.push_back(s.msg);
        return msgs;
    }
    HWND window = nullptr;
    std::vector<Seen> seen;
    std::vector<Account*> accounts;
};

TEST_F(PresenceCore, SignInPathsFollowPluginAndPassword) {
    struct Case {
        uint32_t type;
        const char* password;
        bool connects;   // Account_Login leaves a connection on the live list, connecting
        bool linked;     // the account keeps a connection
        int loginResult;  // presence_serv_login
        int pluginCalls;  // log-ins, and closes at log-out
        std::vector<UINT> posted;
    };
    const Case cases[] = {
        {1, "pw", true, true, 0, 1, {}},
        {1, nullptr, false, false, -1, 0, {}},  // needs a password: the connection is discarded
        {2, nullptr, true, true, 0, 1, {}},     // protocol 2 signs in without one
        {5, "pw", false, true, -1, 0, {WM_PRESENCE_NO_CORE}},  // no plug-in serves the type
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        g_calls = Calls{};
        Account* a = NewAccount(c.type, c.password);
        PresenceConnection* conn = Account_Login(a);
        EXPECT_EQ(c.linked, conn != nullptr);
        EXPECT_EQ(c.connects, presence_connection_is_valid(conn));
        if (c.connects) {
            EXPECT_EQ(PRESENCE_CONNECTING, conn->state);
        }
        EXPECT_EQ(c.loginResult, presence_serv_login(a, window));
        EXPECT_EQ(c.pluginCalls, g_calls.logins);
        EXPECT_EQ(c.posted, Pump());
        Account_Logout(a);
        EXPECT_EQ(c.pluginCalls, g_calls.closes);
        EXPECT_EQ(nullptr, a->connection);
    }
    EXPECT_EQ(0u, presence_live_count());
}

TEST_F(PresenceCore, ANoticeOfTheFirstLoginReachesTheWindow) {
    presence_set_ui_window(nullptr);  // no sign-in yet in this run
    g_loginReports = true;
    Account* a = NewAccount(1, "pw");
    ASSERT_NE(nullptr, Account_Login(a));
    EXPECT_EQ(0, presence_serv_login(a, window));
    EXPECT_EQ(std::vector<UINT>{WM_PRESENCE_STATE}, Pump());
}

TEST_F(PresenceCore, MissingPasswordAtLoginIsReportedToTheWindow) {
    Account* a = NewAccount(1, "pw");
    ASSERT_NE(nullptr, Account_Login(a));
    Account_SetPassword(a, nullptr);
    EXPECT_EQ(-1, presence_serv_login(a, window));
    EXPECT_EQ(std::vector<UINT>{WM_PRESENCE_NO_PASSWORD}, Pump());
    EXPECT_EQ(0, g_calls.logins);
}

TEST_F(PresenceCore, DisconnectWaitsForTheAccountToLetGo) {
    Account* a = NewAccount(1, "pw");
    auto* conn = presence_rec(Account_Login(a));
    ASSERT_NE(nullptr, conn);
    presence_connection_disconnect(conn);  // the account still links to it: nothing happens
    EXPECT_TRUE(presence_connection_is_valid(conn));
    EXPECT_EQ(0, g_calls.closes);
    presence_connection_set_state(conn, PRESENCE_CONNECTED);
    EXPECT_NE(0, conn->connectedAt);
    EXPECT_TRUE(Account_IsOnline(a));
    Account_Logout(a);
    EXPECT_EQ(1, g_calls.closes);
    EXPECT_EQ(nullptr, a->connection);
    EXPECT_EQ(0u, presence_live_count());
}

TEST_F(PresenceCore, SendImConsumesTheRecipientListOnEveryPath) {
    Account* a = NewAccount(1, "pw");
    auto* conn = presence_rec(Account_Login(a));
    std::vector<PresenceBuddyRecord> list(3);
    EXPECT_EQ(-1, presence_serv_send_im(conn, "hi", &list, nullptr, 0));
    EXPECT_TRUE(list.empty());
    list.resize(2);
    EXPECT_EQ(7, presence_serv_send_im(conn, "hi", &list, "", 0));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(2u, g_calls.lastRecipients);
    EXPECT_EQ("hi", g_calls.lastText);
    list.resize(1);
    EXPECT_EQ(-1, presence_serv_send_im(nullptr, "hi", &list, "t", 0));
    EXPECT_TRUE(list.empty());

    Account* b = NewAccount(2, nullptr);  // protocol without a send operation
    auto* connB = presence_rec(Account_Login(b));
    list.resize(1);
    EXPECT_EQ(-1, presence_serv_send_im(connB, "hi", &list, "t", 0));
    EXPECT_TRUE(list.empty());
}

TEST_F(PresenceCore, AFailingLoadStopsTheLaterPlugins) {
    g_failLoad = true;
    EXPECT_FALSE(presence_plugins_load_all());
    EXPECT_EQ(1, g_calls.loads);
    g_failLoad = false;
    EXPECT_TRUE(presence_plugins_load_all());
    EXPECT_EQ(3, g_calls.loads);
    EXPECT_TRUE(presence_plugins_unload_all());
    EXPECT_EQ(1, g_calls.unloads);  // the second has no unload
    EXPECT_EQ(nullptr, presence_find_plugin(0));
    EXPECT_EQ(&g_b, presence_find_plugin(2));
}

TEST_F(PresenceCore, BuddyListReachesTheWindowInOrderAndEveryRecordIsFreedOnce) {
    Account* a = NewAccount(1, "pw");
    auto* conn = presence_rec(Account_Login(a));
    presence_post_list_begin(conn);
    for (int id : {11, 12}) {
        auto* r = new PresenceBuddyRecord();
        r->id = id;
        presence_post_buddy_update(conn, r);
    }
    presence_post_list_end(conn);
    presence_post_connection_state(conn, 1);
    presence_post_server_error(conn, strdup("busy"));
    // Nothing reaches the window for a missing connection, and the records do not leak.
    presence_post_buddy_update(nullptr, new PresenceBuddyRecord());
    presence_post_server_error(nullptr, strdup("lost"));
    presence_post_list_begin(nullptr);
    seen.clear();
    plat::PumpWindowMessages();
    ASSERT_EQ(6u, seen.size());
    const UINT want[] = {WM_PRESENCE_LIST_BEGIN, WM_PRESENCE_BUDDY, WM_PRESENCE_BUDDY, WM_PRESENCE_LIST_END,
                         WM_PRESENCE_STATE, WM_PRESENCE_ERROR};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(want[i], seen[i].msg);
        EXPECT_EQ(reinterpret_cast<WPARAM>(conn), seen[i].w);
    }
    EXPECT_EQ(1, seen[4].l);
    EXPECT_EQ(1230u, WM_PRESENCE_STATE);
    EXPECT_EQ(1546u, WM_PRESENCE_TEXT);
    EXPECT_EQ(1548u, WM_PRESENCE_VOICE);
}

TEST_F(PresenceCore, BuddyUpdateForAConnectionWithoutPluginPostsNothing) {
    PresenceConnectionRec orphan;
    presence_post_buddy_update(&orphan, new PresenceBuddyRecord());
    EXPECT_TRUE(Pump().empty());
}

// A message notice is sent from another thread and handled on the window's thread.
TEST_F(PresenceCore, MessageNoticesCarryTheRecordAndItsRecipientsInOrder) {
    Account* a = NewAccount(1, "pw");
    auto* conn = presence_rec(Account_Login(a));
    std::vector<int> recipientIds;
    std::string text;
    Account* owner = nullptr;
    std::vector<UINT> handled;
    plat::UnregisterWindowTarget(window);
    window = plat::RegisterWindowTarget([&](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        handled.push_back(m);
        auto* rec = reinterpret_cast<PresenceMessageRecord*>(l);
        owner = rec->account;
        recipientIds.clear();
        for (const PresenceBuddyRecord& r : rec->recipients) recipientIds.push_back(r.id);
        if (m == WM_PRESENCE_TEXT) {
            text = reinterpret_cast<char*>(w);
            std::free(reinterpret_cast<char*>(w));
        }
        return 0;
    });
    presence_set_ui_window(window);
    PresenceMessageRecord record;
    for (int id : {3, 1, 2}) {
        PresenceBuddyRecord r;
        r.id = id;
        record.recipients.push_back(r);
    }
    bool textDelivered = false, voiceDelivered = false;
    std::thread sender([&] {
        textDelivered = presence_notify_text_message(conn, strdup("你好 hello"), record);
        voiceDelivered = presence_notify_voice_message(conn, 42, record);
    });
    while (handled.size() < 2) plat::PumpWindowMessages();
    sender.join();
    EXPECT_TRUE(textDelivered);
    EXPECT_TRUE(voiceDelivered);
    EXPECT_EQ((std::vector<UINT>{WM_PRESENCE_TEXT, WM_PRESENCE_VOICE}), handled);
    EXPECT_EQ((std::vector<int>{3, 1, 2}), recipientIds);
    EXPECT_EQ("你好 hello", text);
    EXPECT_EQ(a, owner);
    // Without a connection nothing is sent and the text is freed (checked by the leak checker).
    EXPECT_FALSE(presence_notify_text_message(nullptr, strdup("x"), record));
}

// Stopping the messaging pump must not wait forever on a tick blocked in a message notice.
TEST_F(PresenceCore, HeldNoticesGiveUpAndFreeTheirText) {
    Account* a = NewAccount(1, "pw");
    auto* conn = presence_rec(Account_Login(a));
    int handled = 0;
    plat::UnregisterWindowTarget(window);
    window = plat::RegisterWindowTarget([&](HWND, UINT, WPARAM w, LPARAM) -> LRESULT {
        ++handled;
        std::free(reinterpret_cast<char*>(w));
        return 0;
    });
    presence_set_ui_window(window);
    std::atomic<int> result{-1};
    std::thread sender([&] { result = presence_notify_text_message(conn, strdup("late"), {}) ? 1 : 0; });
    while (plat::PendingWindowMessages(window) == 0) std::this_thread::yield();
    presence_notices_hold(true);  // this thread does not pump: the sender must give up
    sender.join();
    presence_notices_hold(false);
    EXPECT_EQ(0, result.load());
    plat::PumpWindowMessages();  // the abandoned message never runs the handler
    EXPECT_EQ(0, handled);
}

// Keys of a settings list in order, each with its kind and value ("port=i5060", "server=tsip.example").
std::string Listing(const PresenceSettingList& list) {
    std::string out;
    for (const PresenceSetting& s : list) {
        if (!out.empty()) out += " ";
        out += std::string(s.key) + "=" + (s.kind == PRESENCE_SETTING_INT ? "i" + std::to_string(s.intValue)
                                                                           : "t" + std::string(s.textValue ? s.textValue : ""));
        if (s.label) out += "(" + std::string(s.label) + ")";
    }
    return out;
}

TEST(PresenceSettingList, ASetMovesTheChangedEntryToTheEnd) {
    struct Step {
        const char* key;
        const char* label;
        const char* text;  // null: an integer
        int value;
        const char* after;
    } const steps[] = {
        {"server", "Server", "sip.example", 0, "server=tsip.example(Server)"},
        {"port", nullptr, nullptr, 5060, "server=tsip.example(Server) port=i5060"},
        {"port", nullptr, nullptr, 5070, "server=tsip.example(Server) port=i5070"},  // already last
        {"SERVER", "Other", "10.0.0.1", 0, "port=i5070 server=t10.0.0.1(Server)"},    // label kept, moved
        {"uid", nullptr, nullptr, 7, "port=i5070 server=t10.0.0.1(Server) uid=i7"},
        {"Port", nullptr, "5080", 0, "server=t10.0.0.1(Server) uid=i7 port=t5080"},
        {"server", nullptr, nullptr, 3, "uid=i7 port=t5080 server=i3(Server)"},  // the text is freed
    };
    PresenceSettingList list;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.after);
        const int ok = s.text ? presence_setting_set_string(&list, s.key, s.label, s.text)
                              : presence_setting_set_int(&list, s.key, s.label, s.value);
        EXPECT_EQ(1, ok);
        EXPECT_EQ(s.after, Listing(list));
    }
    char buffer[16];
    EXPECT_EQ(5080, presence_setting_get_int(&list, "PORT", 0));
    EXPECT_STREQ("3", presence_setting_get_string(&list, "server", "-", buffer, sizeof buffer));
    EXPECT_STREQ("-", presence_setting_get_string(&list, "missing", "-", buffer, sizeof buffer));
    EXPECT_TRUE(presence_setting_has(&list, "Server"));
    EXPECT_FALSE(presence_setting_has(&list, "missing"));
    presence_setting_free_all(&list);
}

TEST(PresenceBuddyRecordTest, FilledFromTheContactsMessagingIdentity) {
    AddrContact* contact = AddrBook_NewContact(std::string(80, 'n').c_str(), nullptr, "c-17");
    AddrBook_SetContactExtra(contact, "away");
    PresenceBuddyRecord record;
    record.id = 99;
    EXPECT_EQ(0, presence_buddy_to_ui_record(&record, contact));  // no type-9 identity yet
    EXPECT_EQ(99, record.id);

    AddrIdentity* identity = AddrBook_NewIdentity(nullptr, "bob@x", nullptr, "i-1");
    AddrBook_SetIdentityType(identity, 9);
    AddrBook_InsertChild(identity, contact, nullptr);
    std::snprintf(record.name, sizeof record.name, "stale");
    EXPECT_EQ(0, presence_buddy_to_ui_record(&record, contact));  // a buddy without "uid"
    EXPECT_EQ(0, record.id);  // the buddy was found, so the record is cleared
    EXPECT_STREQ("", record.name);
    presence_setting_set_int(&identity->settings, "uid", nullptr, 1234);
    for (AddrNode* node : {static_cast<AddrNode*>(contact), static_cast<AddrNode*>(identity)}) {
        PresenceBuddyRecord r;
        ASSERT_EQ(1, presence_buddy_to_ui_record(&r, node));
        EXPECT_EQ(1234, r.id);
        EXPECT_EQ(std::string(64, 'n'), r.name);
        EXPECT_STREQ("c-17", r.userId);
        EXPECT_STREQ("away", r.status);
    }
    AddrBook_FreeContact(contact);
}

}  // namespace
