// The messaging plug-in through the presence core against the messaging test server and a second client.
#include <gtest/gtest.h>

#include <pellico/pellico.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "common/account.h"
#include "common/appenv.h"
#include "platform/codepage.h"
#include "platform/mmtimer.h"
#include "platform/msgqueue.h"
#include "platform/sync.h"
#include "platform/wave.h"
#include "servers.h"
#include "service/castrel/castrel_plugin.h"
#include "service/presence_core.h"
#include "service/presence_notice.h"

namespace {

std::string MakeDir(const char* tag) {
    std::string pattern = std::string("/tmp/tessaly_") + tag + "_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const char* d = mkdtemp(buf.data());
    return d ? d : "/tmp";
}

void WriteToneWav(const std::string& path, double seconds) {
    const int rate = 8000;
    std::vector<int16_t> tone(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / rate));
    plat::WriteWavFile(path, tone, rate, 1);
}

struct Notice {
    UINT msg;
    int state = -1;
    PresenceBuddyRecord buddy;
    std::string text;
    int entryId = 0;
    int senderId = -1;
    std::vector<int> recipients;
    Account* account = nullptr;
};

// A second user: a bare library client driven from the test's thread.
struct Bob {
    CMervane ctx;
    CKxCore* core;
    CKxCoreNotifier notifier;
    explicit Bob(const std::string& dir, int port, const char* user = "bob", const char* password = "pw2") {
        core = new CKxCore(&ctx, dir.c_str());
        ctx.m_core = core;  // its log beside its files, not in the working directory
        core->SetNotifier(&notifier);
        CKxCoreSettings* s = core->GetSettings();
        s->SetSettingsString_Free(KX_OPT_USERNAME, CKxCore::Utf8Create(user));
        s->SetSettingsString_Free(KX_OPT_PASSWORD, CKxCore::Utf8Create(password));
        s->SetSettingsString_Free(KX_OPT_SERVER_IP, CKxCore::Utf8Create("127.0.0.1"));
        s->SetSettingsInt(KX_OPT_PORT, port);
    }
    ~Bob() { delete core; }
    Message_t* To(int id) {
        Message_t* m = CKxCore::MessageNewM();
        kx_recipient* r = CKxCore::RecipientNewM();
        r->id = id;
        CKxCore::MessageAddRecipient(m, r);
        return m;
    }
    Message_t* Last() {
        Message_t* m = nullptr;
        const int n = core->GetMessageListCount();
        return n && core->ReadMessageByIndex(n - 1, &m) == KX_OK ? m : nullptr;
    }
    // How this client sees a contact: presence and visibility, or -1, -1 when it does not know it.
    std::pair<int, int> Sees(int id) {
        kx_contact* c = nullptr;
        if (core->FindContact(KX_SEARCH_BY_ID, id, nullptr, &c) != KX_OK || !c) return {-1, -1};
        return {c->presence, c->visibility};
    }
};

std::string Utf16(const WStr_t* w) {
    if (!w) return {};
    Utf8_t* u = CKxCore::NewUtf8FromWStr(const_cast<WStr_t*>(w));
    std::string s = u && u->data ? u->data : "";
    CKxCore::Utf8Free(u);
    return s;
}

class CastrelPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        dir = MakeDir("castrel");
        WriteToneWav(dir + "/say.wav", 2.0);
        setenv("PELLICO_QUIET", "1", 1);
        setenv("TESSALY_AUDIO", "file", 1);
        setenv("TESSALY_WAVE_IN", (dir + "/say.wav").c_str(), 1);
        setenv("TESSALY_WAVE_OUT", (dir + "/heard.wav").c_str(), 1);
        castrel_set_base_path((dir + "/alice").c_str());
        window = plat::RegisterWindowTarget([this](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
            Notice n{m};
            if (m == WM_PRESENCE_STATE) n.state = static_cast<int>(l);
            if (m == WM_PRESENCE_BUDDY) {
                n.buddy = *reinterpret_cast<PresenceBuddyRecord*>(l);
                delete reinterpret_cast<PresenceBuddyRecord*>(l);
            }
            if (m == WM_PRESENCE_ERROR) std::free(reinterpret_cast<char*>(l));
            if (m == WM_PRESENCE_TEXT || m == WM_PRESENCE_VOICE) {
                auto* rec = reinterpret_cast<PresenceMessageRecord*>(l);
                n.senderId = rec->sender.id;
                n.account = rec->account;
                for (const PresenceBuddyRecord& r : rec->recipients) n.recipients.push_back(r.id);
                if (m == WM_PRESENCE_TEXT) {
                    n.text = reinterpret_cast<char*>(w);
                    std::free(reinterpret_cast<char*>(w));
                } else {
                    n.entryId = static_cast<int>(w);
                }
            }
            notices.push_back(n);
            return 0;
        });
        presence_set_ui_window(window);
        presence_use_plugins(plugins);
        presence_core_register(true);
        ASSERT_TRUE(presence_plugins_load_all());
    }
    void TearDown() override {
        if (alice) {
            Account_Logout(alice);
            Account_Free(alice);
        }
        presence_plugins_unload_all();
        plat::PumpWindowMessages();
        plat::UnregisterWindowTarget(window);
        presence_set_ui_window(nullptr);
        presence_core_register(false);
        presence_use_plugins(nullptr);
        castrel_set_base_path(nullptr);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    // Pumps the window (and ticks bob) until pred holds; false after ms.
    bool Until(const std::function<bool()>& pred, Bob* bob = nullptr, int ms = 10000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            plat::PumpWindowMessages();
            if (bob) bob->core->TickCore();
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    const Notice* Find(const std::function<bool(const Notice&)>& pred) const {
        for (const Notice& n : notices)
            if (pred(n)) return &n;
        return nullptr;
    }
    void SignInAlice(int port) {
        alice = Account_New("alice", ACCOUNT_TYPE_SERVICE);
        Account_SetPassword(alice, "secret");
        presence_setting_set_string(&alice->settings, "server", nullptr, "127.0.0.1");
        presence_setting_set_int(&alice->settings, "port", nullptr, port);
        ASSERT_NE(nullptr, Account_Login(alice));
        ASSERT_EQ(0, presence_serv_login(alice, window));
    }

    PresencePlugin* const plugins[2] = {&g_castrelPlugin, nullptr};
    std::string dir;
    HWND window = nullptr;
    std::vector<Notice> notices;
    Account* alice = nullptr;
};

TEST_F(CastrelPlugin, SignsInReportsBuddiesAndCarriesTextAndVoiceBothWays) {
    pt::ServerProcess server("tools/msgserver/msgserver.py",
                             {"--user", "1001:alice:secret:Alice", "--user", "1002:bob:pw2:\xe9\xb2\x8d\xe5\x8b\x83"});
    ASSERT_GT(server.Port(), 0);
    SignInAlice(server.Port());
    auto* conn = presence_rec(alice->connection);
    ASSERT_TRUE(Until([&] { return Find([](const Notice& n) { return n.msg == WM_PRESENCE_LIST_END; }); }));
    const Notice* state = Find([](const Notice& n) { return n.msg == WM_PRESENCE_STATE; });
    ASSERT_NE(nullptr, state);
    EXPECT_EQ(1, state->state);
    const Notice* buddy = Find([](const Notice& n) { return n.msg == WM_PRESENCE_BUDDY && n.buddy.id == 1002; });
    ASSERT_NE(nullptr, buddy);
    EXPECT_EQ(0, buddy->buddy.online);
    EXPECT_EQ(plat::Utf8ToAnsi("\xe9\xb2\x8d\xe5\x8b\x83"), buddy->buddy.name);  // Chinese name, ANSI code page
    // The library's log lies in the session's folder from its first line on, never in the working directory.
    std::ifstream log(dir + "/alice/mervane/mervane.log");
    std::string logText((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, logText.find("ResetSocket: Opening socket"));
    EXPECT_NE(std::string::npos, logText.find("CONNECT_REQUEST"));

    Bob bob(dir + "/bob", server.Port());
    ASSERT_EQ(KX_OK, bob.core->SignIn(KX_VISIBILITY_VISIBLE));
    ASSERT_TRUE(Until([&] {
        return Find([](const Notice& n) { return n.msg == WM_PRESENCE_BUDDY && n.buddy.id == 1002 && n.buddy.online; });
    }, &bob)) << "bob is seen online";
    ASSERT_TRUE(Until([&] { return bob.core->GetConnectionState() == KX_ONLINE; }, &bob));
    ASSERT_EQ(KX_OK, bob.core->RefreshContactList(0));

    // Text from bob.
    Message_t* m = bob.To(1001);
    Utf8_t* t = CKxCore::Utf8Create("\xe4\xbd\xa0\xe5\xa5\xbd Alice");
    m->text = CKxCore::NewWStrFromUtf8(t);
    CKxCore::Utf8Free(t);
    ASSERT_EQ(KX_OK, bob.core->SendMessage(m, 0));
    ASSERT_TRUE(Until([&] { return Find([](const Notice& n) { return n.msg == WM_PRESENCE_TEXT && n.senderId == 1002; }); }, &bob));
    const Notice* text = Find([](const Notice& n) { return n.msg == WM_PRESENCE_TEXT && n.senderId == 1002; });
    EXPECT_EQ(plat::Utf8ToAnsi("\xe4\xbd\xa0\xe5\xa5\xbd Alice"), text->text);
    EXPECT_EQ(alice, text->account);
    ASSERT_EQ(1u, text->recipients.size());

    // A voice message from bob, recorded from the file device.
    ASSERT_EQ(KX_OK, bob.core->SendMessage(bob.To(1001), 1));
    Until([] { return false; }, &bob, 1100);
    ASSERT_EQ(KX_OK, bob.core->StopAudio());
    ASSERT_TRUE(Until([&] { return Find([](const Notice& n) { return n.msg == WM_PRESENCE_VOICE && n.senderId == 1002; }); }, &bob, 15000));

    // Alice answers through the presence core: a text, then a voice message.
    std::vector<PresenceBuddyRecord> to(1);
    to[0].id = 1002;
    EXPECT_EQ(0, presence_serv_send_im(conn, plat::Utf8ToAnsi("\xe5\x9b\x9e\xe5\xa4\x8d reply").c_str(), &to, "", 0));
    ASSERT_TRUE(Until([&] {
        Message_t* last = bob.Last();
        return last && last->authorId == 1001 && last->state == KX_MSG_TEXT;
    }, &bob));
    EXPECT_EQ("\xe5\x9b\x9e\xe5\xa4\x8d reply", Utf16(bob.Last()->text));

    to.resize(1);
    to[0].id = 1002;
    EXPECT_EQ(0, presence_serv_send_im(conn, nullptr, &to, "", 3));
    Until([] { return false; }, &bob, 1100);
    presence_serv_stop_audio(conn);
    ASSERT_TRUE(Until([&] {
        Message_t* last = bob.Last();
        return last && last->authorId == 1001 && last->state == KX_MSG_VOICE_STORED;
    }, &bob, 15000)) << "bob holds alice's clip";
    EXPECT_GT(bob.core->GetAudioDuration(static_cast<int>(bob.Last()->entryId)), 0.8f);

    // Sign-out stops the pump before the library signs out; bob sees alice leave.
    Account_Logout(alice);
    ASSERT_NE(nullptr, castrel_session());
    EXPECT_FALSE(castrel_session()->Pumping());
    EXPECT_EQ(nullptr, castrel_session()->m_notifier->m_connection);
    Account_Free(alice);
    alice = nullptr;
    kx_contact* seen = nullptr;
    ASSERT_TRUE(Until([&] {
        return bob.core->FindContact(KX_SEARCH_BY_ID, 1001, nullptr, &seen) == KX_OK && seen && seen->presence == 0;
    }, &bob)) << "the sign-out reached the server";
    bob.core->SignOut();
}

// The pump ticks only at the beats where the library has something due or something came, and on the
// same beats as a tick every 100 ms would: after a sign-in the server leaves unanswered, the next tick is
// the one at the 5-s beat, when the request falls due for its resend; the server's answer is taken at the
// next beat. The beats run on the test clock (the library, a shared object, keeps the machine's).
TEST_F(CastrelPlugin, PumpTicksOnlyAtTheBeatsWithSomethingToDo) {
    int server = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(server, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    ASSERT_EQ(0, bind(server, reinterpret_cast<sockaddr*>(&at), sizeof at));
    ASSERT_EQ(0, getsockname(server, reinterpret_cast<sockaddr*>(&at), &len));
    fcntl(server, F_SETFL, O_NONBLOCK);
    // Sign-in requests the client has sent by now; the client's address.
    sockaddr_in client{};
    auto requests = [&] {
        int n = 0;
        uint8_t buf[1500];
        socklen_t clen = sizeof client;
        while (recvfrom(server, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&client), &clen) > 8) {
            if (buf[8] == 1) ++n;
            clen = sizeof client;
        }
        return n;
    };
    {
        plat::TestClock clock(1000000);
        SignInAlice(ntohs(at.sin_port));
        CCastrelSession* session = castrel_session();
        ASSERT_NE(nullptr, session);
        ASSERT_EQ(1, requests());
        clock.advance(4800);
        EXPECT_EQ(0, session->m_ticks.load()) << "nothing was due before the request's resend";
        clock.advance(200);
        EXPECT_EQ(1, session->m_ticks.load()) << "the beat of the resend";

        const size_t armed = plat::PendingTimerCount();
        std::string answer("\0\0\0\x64\0\0\0\x4d\x02\0\0\x03\0\0\0\0\0\0", 18);  // CONNECT_RESPONSE, session 77
        ASSERT_EQ(18, sendto(server, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&client), sizeof client));
        ASSERT_TRUE(Until([&] { return plat::PendingTimerCount() > armed; })) << "the datagram asks for a tick";
        clock.advance(100);
        EXPECT_EQ(2, session->m_ticks.load());
        int state = -1;
        session->WithCore([&](CCastrelCore* core) { state = core->GetConnectionState(); });
        EXPECT_EQ(KX_ONLINE, state);
        Account_Logout(alice);
        Account_Free(alice);
        alice = nullptr;
    }
    close(server);
}

// A text the pump's tick is still handing to a busy window when the user signs out is not lost: the
// sign-out, which waits for that tick, delivers it, with the account it came for.
TEST_F(CastrelPlugin, TextWaitingForTheWindowAtSignOutIsStillDelivered) {
    pt::ServerProcess server("tools/msgserver/msgserver.py",
                             {"--user", "1001:alice:secret:Alice", "--user", "1002:bob:pw2:Bob"});
    ASSERT_GT(server.Port(), 0);
    SignInAlice(server.Port());
    ASSERT_TRUE(Until([&] { return Find([](const Notice& n) { return n.msg == WM_PRESENCE_LIST_END; }); }));
    Bob bob(dir + "/bob", server.Port());
    ASSERT_EQ(KX_OK, bob.core->SignIn(KX_VISIBILITY_VISIBLE));
    ASSERT_TRUE(Until([&] {
        return Find([](const Notice& n) { return n.msg == WM_PRESENCE_BUDDY && n.buddy.id == 1002 && n.buddy.online; });
    }, &bob));
    ASSERT_TRUE(Until([&] { return bob.core->GetConnectionState() == KX_ONLINE; }, &bob));
    ASSERT_EQ(KX_OK, bob.core->RefreshContactList(0));

    Message_t* m = bob.To(1001);
    Utf8_t* t = CKxCore::Utf8Create("just before you go");
    m->text = CKxCore::NewWStrFromUtf8(t);
    CKxCore::Utf8Free(t);
    ASSERT_EQ(KX_OK, bob.core->SendMessage(m, 0));
    // The window is not pumped: once alice's core holds the text, her tick waits in its send.
    CCastrelSession* session = castrel_session();
    bool inCore = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        bob.core->TickCore();
        session->WithCore([&](CCastrelCore* core) {
            Message_t* last = nullptr;
            const int n = core->GetMessageListCount();
            inCore = n && core->ReadMessageByIndex(n - 1, &last) == KX_OK && last && last->authorId == 1002;
        });
        if (inCore && plat::PendingWindowMessages(window) > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(inCore);

    Account_Logout(alice);
    plat::PumpWindowMessages();
    const Notice* text = Find([](const Notice& n) { return n.msg == WM_PRESENCE_TEXT && n.senderId == 1002; });
    ASSERT_NE(nullptr, text) << "the text reached the window";
    EXPECT_EQ("just before you go", text->text);
    EXPECT_EQ(alice, text->account);
    bob.core->SignOut();
}

// A voice message that arrives as a stored item is reported as started, as any voice message; what is
// not voice and carries a stored item is only fetched.
TEST_F(CastrelPlugin, StoredVoiceItemIsReportedAsStarted) {
    pt::ServerProcess server("tools/msgserver/msgserver.py", {"--user", "1001:alice:secret:Alice"});
    ASSERT_GT(server.Port(), 0);
    SignInAlice(server.Port());
    ASSERT_TRUE(Until([&] { return Find([](const Notice& n) { return n.msg == WM_PRESENCE_LIST_END; }); }));
    CCastrelSession* session = castrel_session();
    ASSERT_NE(nullptr, session);
    for (uint16_t state : {uint16_t(KX_MSG_VOICE), uint16_t(KX_MSG_TEXT)}) {
        SCOPED_TRACE(state);
        notices.clear();
        Message_t* m = CKxCore::MessageNewM();
        m->state = state;
        m->entryId = 4242;
        m->authorId = 1002;
        m->attachment = CKxCore::AttachmentSAFNewM(CKxCore::Utf8Create("item-7"));
        session->WithCore([&](CCastrelCore*) { session->m_notifier->MessageUpdateNotify(m, 1); });
        CKxCore::MessageFree(m);
        plat::PumpWindowMessages();
        const Notice* voice = Find([](const Notice& n) { return n.msg == WM_PRESENCE_VOICE; });
        if (state == KX_MSG_VOICE) {
            ASSERT_NE(nullptr, voice);
            EXPECT_EQ(4242, voice->entryId);
            EXPECT_EQ(1002, voice->senderId);
        } else {
            EXPECT_EQ(nullptr, voice);
            EXPECT_EQ(nullptr, Find([](const Notice& n) { return n.msg == WM_PRESENCE_TEXT; }));
        }
    }
}

TEST_F(CastrelPlugin, SecondLoginReplacesTheSessionAndDefaultsThePort) {
    pt::ServerProcess server("tools/msgserver/msgserver.py", {"--user", "1001:alice:secret:Alice"});
    ASSERT_GT(server.Port(), 0);
    SignInAlice(server.Port());
    CCastrelSession* first = castrel_session();
    ASSERT_NE(nullptr, first);
    ASSERT_TRUE(Until([&] { return Find([](const Notice& n) { return n.msg == WM_PRESENCE_STATE && n.state == 1; }); }));
    // Signing in again replaces the session (its pump stopped first) without a leak or a hang.
    presence_setting_free_all(&alice->settings);
    // An address nobody listens on: the default port may be a messaging server the user runs beside the
    // tests, and signing in there as alice would take over that alice's session.
    presence_setting_set_string(&alice->settings, "server", nullptr, "127.0.0.2");
    g_strLangType = "chs";
    Account_Logout(alice);
    ASSERT_NE(nullptr, Account_Login(alice));
    ASSERT_EQ(0, presence_serv_login(alice, window));
    ASSERT_NE(nullptr, castrel_session());
    CCastrelSession* second = castrel_session();
    int port = 0, language = 0;
    second->WithCore([&](CCastrelCore* core) {
        port = core->GetSettings()->GetSettingsInt(KX_OPT_PORT);
        language = core->GetSettings()->GetSettingsInt(KX_OPT_LANGUAGE);
    });
    g_strLangType = "eng";
    EXPECT_EQ(CASTREL_DEFAULT_PORT, port) << "an account without a port signs in to 9999";
    EXPECT_EQ(6, language) << "the Chinese program asks for the Chinese service texts";

    // A long host name the bootstrap server gave reaches the library whole.
    std::string host(200, 'h');
    host += ".invalid";
    presence_setting_set_string(&alice->settings, "server", nullptr, host.c_str());
    Account_Logout(alice);
    ASSERT_NE(nullptr, Account_Login(alice));
    ASSERT_EQ(0, presence_serv_login(alice, window));
    std::string used;
    castrel_session()->WithCore([&](CCastrelCore* core) {
        Utf8_t* u = core->GetSettings()->GetSettingsStringM(KX_OPT_SERVER_IP);
        used = u && u->data ? std::string(u->data, u->len) : std::string();
        CKxCore::Utf8Free(u);
    });
    EXPECT_EQ(host, used);
}

TEST_F(CastrelPlugin, BusyIsNoneOfTheServersAndAContactsBusyShowsOnline) {
    pt::ServerProcess server("tools/msgserver/msgserver.py", {"--user", "1001:alice:secret:Alice", "--user", "1002:bob:pw2:Bob"});
    ASSERT_GT(server.Port(), 0);
    SignInAlice(server.Port());
    ASSERT_TRUE(Until([&] { return Find([](const Notice& n) { return n.msg == WM_PRESENCE_LIST_END; }); }));
    EXPECT_EQ(0, access((dir + "/alice/mervane/config").c_str(), F_OK)) << "the store lies under the base path";

    // A contact finds alice simply visible: the plug-in never tells the server a status of its own.
    Bob bob(dir + "/bob", server.Port());
    ASSERT_EQ(KX_OK, bob.core->SignIn(KX_VISIBILITY_VISIBLE));
    ASSERT_TRUE(Until([&] { return bob.core->GetConnectionState() == KX_ONLINE; }, &bob));
    ASSERT_EQ(KX_OK, bob.core->RefreshContactList(0));
    ASSERT_TRUE(Until([&] { return bob.Sees(1001).first == 1; }, &bob));
    EXPECT_EQ(std::make_pair(1, 1), bob.Sees(1001));

    // Bob's own busy reaches alice's window as bob online, nothing more.
    auto bobOnline = [&] {
        return Find([](const Notice& n) { return n.msg == WM_PRESENCE_BUDDY && n.buddy.id == 1002 && n.buddy.online; });
    };
    ASSERT_TRUE(Until([&] { return bobOnline() != nullptr; }, &bob));
    notices.clear();
    ASSERT_EQ(KX_OK, bob.core->ChangeVisibility(static_cast<ESetVisibility_t>(2)));
    EXPECT_TRUE(Until([&] { return bobOnline() != nullptr; }, &bob)) << "bob busy is bob online";
    bob.core->SignOut();
}

// Texts of every kind from the window's code page to another client and back, emoji included.
TEST_F(CastrelPlugin, TextsOutsideGbkTravelBothWaysUnchanged) {
    pt::ServerProcess server("tools/msgserver/msgserver.py", {"--user", "1001:alice:secret:Alice", "--user", "1002:bob:pw2:Bob"});
    ASSERT_GT(server.Port(), 0);
    SignInAlice(server.Port());
    auto* conn = presence_rec(alice->connection);
    ASSERT_TRUE(Until([&] { return Find([](const Notice& n) { return n.msg == WM_PRESENCE_LIST_END; }); }));
    Bob bob(dir + "/bob", server.Port());
    ASSERT_EQ(KX_OK, bob.core->SignIn(KX_VISIBILITY_VISIBLE));
    ASSERT_TRUE(Until([&] { return bob.core->GetConnectionState() == KX_ONLINE; }, &bob));

    const char* texts[] = {
        "plain ASCII, #@# and all",
        "\xe6\x9d\x8e\xe5\xa8\x9c\xe4\xbd\xa0\xe5\xa5\xbd",                        // Chinese
        "\xf0\x9f\x91\x8d",                                                        // thumbs-up
        "ok \xe5\xa5\xbd\xf0\x9f\x98\x80\xf0\x9f\x8e\x89 \xf0\xa0\x80\x80 \xe2\x82\xac" "5",  // mixed
    };
    for (const char* utf8 : texts) {
        SCOPED_TRACE(utf8);
        // Alice's window hands the core text in its code page; bob's library reads it as sent.
        std::vector<PresenceBuddyRecord> to(1);
        to[0].id = 1002;
        const int before = bob.core->GetMessageListCount();
        ASSERT_EQ(0, presence_serv_send_im(conn, plat::Utf8ToAnsi(utf8).c_str(), &to, "", 0));
        ASSERT_TRUE(Until([&] { return bob.core->GetMessageListCount() > before && bob.Last()->authorId == 1001; }, &bob));
        EXPECT_EQ(utf8, Utf16(bob.Last()->text));

        // Bob answers with the same text: alice's window gets it in its code page, nothing lost.
        notices.clear();
        Message_t* m = bob.To(1001);
        Utf8_t* t = CKxCore::Utf8Create(utf8);
        m->text = CKxCore::NewWStrFromUtf8(t);
        CKxCore::Utf8Free(t);
        ASSERT_EQ(KX_OK, bob.core->SendMessage(m, 0));
        ASSERT_TRUE(Until([&] { return Find([](const Notice& n) { return n.msg == WM_PRESENCE_TEXT && n.senderId == 1002; }); }, &bob));
        const Notice* got = Find([](const Notice& n) { return n.msg == WM_PRESENCE_TEXT && n.senderId == 1002; });
        EXPECT_EQ(utf8, plat::AnsiToUtf8(got->text));
        EXPECT_EQ(std::string::npos, got->text.find('?'));
    }
    bob.core->SignOut();
}

}  // namespace
