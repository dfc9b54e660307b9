// Chat windows end to end: alice's program side (presence core, messaging plug-in, registry and chat
// windows) against the messaging test server with its chat-room robot; bob and carol are bare library
// clients. Text in Chinese and English both ways, push-to-talk voice both ways, a room joined through
// the robot, and the history written on the way.
#include <gtest/gtest.h>

#include <memory>

#include <pellico/pellico.h>

#include <QApplication>
#include <QTest>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "common/account.h"
#include "platform/codepage.h"
#include "platform/msgqueue.h"
#include "platform/wave.h"
#include "servers.h"
#include "service/castrel/castrel_plugin.h"
#include "service/presence_core.h"
#include "common/addrbook.h"
#include "ui/chat/chat_book.h"
#include "ui/chat/chat_record_frame.h"
#include "ui/chat/chat_window.h"
#include <QFile>
#include <QTreeWidget>
#include "ui/controls/control_messages.h"
#include "ui/controls/rich_edit.h"
#include "ui/shell/shell_config.h"
#include "tools/testsupport/install_copy.h"

namespace {

std::string MakeDir() {
    char tmpl[] = "/tmp/tessaly_chate2e_XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

void WriteToneWav(const std::string& path, double seconds) {
    const int rate = 8000;
    std::vector<int16_t> tone(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / rate));
    plat::WriteWavFile(path, tone, rate, 1);
}

// A second user: a bare library client.
struct Peer {
    CMervane ctx;
    CKxCore* core;
    CKxCoreNotifier notifier;
    Peer(const std::string& dir, const char* user, const char* password, int port) {
        core = new CKxCore(&ctx, dir.c_str());
        ctx.m_core = core;  // its log beside its files, not in the working directory
        core->SetNotifier(&notifier);
        CKxCoreSettings* s = core->GetSettings();
        s->SetSettingsString_Free(KX_OPT_USERNAME, CKxCore::Utf8Create(user));
        s->SetSettingsString_Free(KX_OPT_PASSWORD, CKxCore::Utf8Create(password));
        s->SetSettingsString_Free(KX_OPT_SERVER_IP, CKxCore::Utf8Create("127.0.0.1"));
        s->SetSettingsInt(KX_OPT_PORT, port);
    }
    ~Peer() { delete core; }
    EKxErrorCode_t Send(int to, const std::string& utf8, const std::string& tag) {
        Message_t* m = CKxCore::MessageNewM();
        kx_recipient* r = CKxCore::RecipientNewM();
        r->id = to;
        CKxCore::MessageAddRecipient(m, r);
        Utf8_t* t = CKxCore::Utf8Create(utf8.c_str());
        m->text = CKxCore::NewWStrFromUtf8(t);
        CKxCore::Utf8Free(t);
        if (!tag.empty()) m->tag = CKxCore::Utf8Create(tag.c_str());
        return core->SendMessage(m, 0);
    }
    // The newest message from someone else, or null.
    Message_t* LastFrom(uint32_t author) {
        Message_t* m = nullptr;
        for (int i = core->GetMessageListCount() - 1; i >= 0; --i)
            if (core->ReadMessageByIndex(i, &m) == KX_OK && m && m->authorId == author) return m;
        return nullptr;
    }
    static std::string Text(const Message_t* m) {
        if (!m || !m->text) return {};
        Utf8_t* u = CKxCore::NewUtf8FromWStr(const_cast<WStr_t*>(m->text));
        std::string s = u && u->data ? u->data : "";
        CKxCore::Utf8Free(u);
        return s;
    }
    static std::string Tag(const Message_t* m) { return m && m->tag && m->tag->data ? m->tag->data : ""; }
};

class ChatEndToEnd : public ::testing::Test {
 protected:
    void SetUp() override {
        setenv("TESSALY_SOURCE_DIR", TESSALY_SOURCE_DIR, 0);
        dir_ = MakeDir();
        WriteToneWav(dir_ + "/say.wav", 2.0);
        setenv("PELLICO_QUIET", "1", 1);
        setenv("TESSALY_AUDIO", "file", 1);
        setenv("TESSALY_WAVE_IN", (dir_ + "/say.wav").c_str(), 1);
        setenv("TESSALY_WAVE_OUT", (dir_ + "/heard.wav").c_str(), 1);
        shell::LoadConfigPaths(install_.Path(), dir_, false);
        shell::ApplyLanguageCode("eng");
        castrel_set_base_path((dir_ + "/alice").c_str());
        records_.SetRoot(dir_ + "/chatrecord/alice");
        registry_.SetFactory([this] {
            auto* w = new CIMDlg;
            w->SetRecords(&records_);
            w->SetOwnName("Alice");
            return static_cast<ChatWindowBase*>(w);
        });
        ChatWindowCore::SetRobotId(900);
        // The frame's part: every incoming message goes through the registry's routing.
        window_ = plat::RegisterWindowTarget([this](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
            if (m == WM_PRESENCE_TEXT || m == WM_PRESENCE_VOICE) {
                if (m == WM_PRESENCE_VOICE) ++voices_;
                if (getenv("CHAT_E2E_TRACE")) { auto* rec = reinterpret_cast<PresenceMessageRecord*>(l); fprintf(stderr, "in %u from %d [%s] %s\n", m, rec->sender.id, rec->chatId, m == WM_PRESENCE_TEXT ? reinterpret_cast<char*>(w) : ""); }
                return RouteIncomingMessage(&registry_, m, w, reinterpret_cast<PresenceMessageRecord*>(l));
            }
            if (m == WM_PRESENCE_BUDDY) delete reinterpret_cast<PresenceBuddyRecord*>(l);
            if (m == WM_PRESENCE_ERROR) std::free(reinterpret_cast<char*>(l));
            if (m == WM_PRESENCE_STATE) online_ = l == 1;
            return 0;
        });
        presence_set_ui_window(window_);
        presence_use_plugins(plugins_);
        presence_core_register(true);
        ASSERT_TRUE(presence_plugins_load_all());
    }
    void TearDown() override {
        registry_.CloseAll(0);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (alice_) {
            Account_Remove(alice_);
            Account_Logout(alice_);
            Account_Free(alice_);
        }
        presence_plugins_unload_all();
        plat::PumpWindowMessages();
        plat::UnregisterWindowTarget(window_);
        presence_set_ui_window(nullptr);
        presence_core_register(false);
        presence_use_plugins(nullptr);
        castrel_set_base_path(nullptr);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    bool Until(const std::function<bool()>& pred, std::vector<Peer*> peers = {}, int ms = 10000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            plat::PumpWindowMessages();
            QApplication::processEvents();
            for (Peer* p : peers) p->core->TickCore();
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    void SignIn(int port) {
        alice_ = Account_New("alice", ACCOUNT_TYPE_SERVICE);
        Account_SetPassword(alice_, "secret");
        presence_setting_set_string(&alice_->settings, "server", nullptr, "127.0.0.1");
        presence_setting_set_int(&alice_->settings, "port", nullptr, port);
        Account_Add(alice_);
        ASSERT_NE(nullptr, Account_Login(alice_));
        ASSERT_EQ(0, presence_serv_login(alice_, window_));
        ASSERT_TRUE(Until([&] { return online_; }));
    }
    void Online(Peer& p) {
        ASSERT_EQ(KX_OK, p.core->SignIn(KX_VISIBILITY_VISIBLE));
        ASSERT_TRUE(Until([&] { return p.core->GetConnectionState() == KX_ONLINE; }, {&p}));
    }
    CIMDlg* WindowWith(const QString& text) {
        for (ChatWindowBase* w : registry_.Windows())
            if (static_cast<CIMDlg*>(w)->HistoryText().contains(text)) return static_cast<CIMDlg*>(w);
        return nullptr;
    }

    PresencePlugin* const plugins_[2] = {&g_castrelPlugin, nullptr};
    std::string dir_;
    HWND window_ = nullptr;
    bool online_ = false;
    int voices_ = 0;
    Account* alice_ = nullptr;
    ChatRecordFile records_;
    CChatSessionRegistry registry_;
    testsupport::InstallCopy install_;  // the windows write beside the skin
};

const char* kHello = "\xe4\xbd\xa0\xe5\xa5\xbd Alice, hello!";        // 你好 Alice, hello!
const char* kReply = "\xe6\x94\xb6\xe5\x88\xb0 got it";              // 收到 got it
const char* kRoomLine = "\xe5\xa4\xa7\xe5\xae\xb6\xe5\xa5\xbd everyone";  // 大家好 everyone

TEST_F(ChatEndToEnd, TextAndVoiceBothWaysAndARoomThroughTheRobot) {
    pt::ServerProcess server("tools/msgserver/msgserver.py",
                             {"--user", "1001:alice:secret:Alice", "--user", "1002:bob:pw2:Bob", "--user",
                              "1003:carol:pw3:Carol", "--robot", "900", "--room", "R12:Lounge"});
    ASSERT_GT(server.Port(), 0);
    SignIn(server.Port());
    Peer bob(dir_ + "/bob", "bob", "pw2", server.Port());
    Online(bob);

    // Bob writes first: alice's program opens a window for him and shows the text.
    ASSERT_EQ(KX_OK, bob.Send(1001, kHello, "0_bob_1"));
    ASSERT_TRUE(Until([&] { return WindowWith(QString::fromUtf8(kHello)) != nullptr; }, {&bob}));
    CIMDlg* w = WindowWith(QString::fromUtf8(kHello));
    EXPECT_EQ(CHAT_ONE, w->m_chatType);
    EXPECT_TRUE(w->isVisible());

    // Alice answers in the window.
    w->Input()->insertPlainText(QString::fromUtf8(kReply));
    QTest::keyClick(w->Input(), Qt::Key_Return);
    ASSERT_TRUE(Until([&] { return Peer::Text(bob.LastFrom(1001)) == kReply; }, {&bob}));
    EXPECT_EQ("0_bob_1", Peer::Tag(bob.LastFrom(1001)));
    std::vector<ChatRecordRow> rows;
    records_.ScanFolder(1002, {}, &rows);
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(plat::Utf8ToAnsi(kHello), rows[0].content);
    EXPECT_EQ(plat::Utf8ToAnsi(kReply), rows[1].content);

    // Bob sends a voice message; alice's window registers and shows it.
    Message_t* clip = CKxCore::MessageNewM();
    kx_recipient* r = CKxCore::RecipientNewM();
    r->id = 1001;
    CKxCore::MessageAddRecipient(clip, r);
    clip->tag = CKxCore::Utf8Create("0_bob_1");
    ASSERT_EQ(KX_OK, bob.core->SendMessage(clip, 1));
    Until([] { return false; }, {&bob}, 1100);
    ASSERT_EQ(KX_OK, bob.core->StopAudio());
    ASSERT_TRUE(Until([&] { return voices_ >= 1 && !w->m_voiceMsgs.empty(); }, {&bob}, 15000));

    // Alice holds the talk button for a second: bob gets her clip; her echo records it.
    CIMDlg::SetCaptureProbe([] { return 0; });
    w->OnPttPress();
    Until([] { return false; }, {&bob}, 1100);
    w->OnPttRelease();
    ASSERT_TRUE(Until([&] {
        Message_t* last = bob.LastFrom(1001);
        return last && last->state == KX_MSG_VOICE_STORED;
    }, {&bob}, 15000)) << "bob holds alice's clip";
    CIMDlg::SetCaptureProbe(nullptr);

    // A room through the robot: alice opens it, carol joins, lines go both ways through the thread.
    Peer carol(dir_ + "/carol", "carol", "pw3", server.Port());
    Online(carol);
    ChatSessionRecord room;
    presence_copy_field(room.name, sizeof room.name, "Lounge");
    presence_copy_field(room.tail, sizeof room.tail, " ");
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", &room, 1));
    auto* lounge = static_cast<CIMDlg*>(static_cast<ChatWindowBase*>(room.window));
    ASSERT_NE(nullptr, lounge);
    ASSERT_TRUE(Until([&] { return lounge->m_threadNumber == 9001; }, {&bob, &carol}));
    EXPECT_EQ("9001#", lounge->m_szChatId);
    EXPECT_EQ(1, lounge->m_bSessionActive);
    ASSERT_EQ(KX_OK, carol.Send(900, "#@#START##Carol#R12# ", "0_carol_1"));
    ASSERT_TRUE(Until([&] {
        return std::any_of(lounge->m_roomMembers.begin(), lounge->m_roomMembers.end(), [](auto& m) { return m.id == 1003; });
    }, {&bob, &carol})) << "alice sees carol come in";
    ASSERT_TRUE(Until([&] { return Peer::Text(carol.LastFrom(9001)).rfind("#@#LIST#1001,Alice", 0) == 0; }, {&carol}));
    ASSERT_EQ(KX_OK, carol.Send(9001, kRoomLine, "9001#"));
    ASSERT_TRUE(Until([&] { return lounge->HistoryText().contains(QString::fromUtf8(kRoomLine)); }, {&bob, &carol}));
    lounge->Input()->insertPlainText("welcome Carol");
    lounge->OnSend();
    ASSERT_TRUE(Until([&] { return Peer::Text(carol.LastFrom(9001)) == "welcome Carol"; }, {&carol}));
    EXPECT_EQ("9001#1001", Peer::Tag(carol.LastFrom(9001)));
    rows.clear();
    records_.ScanFolder(1003, {}, &rows);
    // Carol's line, and the line to everyone kept in her folder too, with its receivers.
    ASSERT_EQ(2u, rows.size());
    const bool both = (rows[0].content == plat::Utf8ToAnsi(kRoomLine) && rows[1].content == "welcome Carol") ||
                      (rows[1].content == plat::Utf8ToAnsi(kRoomLine) && rows[0].content == "welcome Carol");
    EXPECT_TRUE(both);
    for (const auto& row : rows)
        if (row.content == "welcome Carol") EXPECT_NE(std::string::npos, row.receivers.find("Carol")) << row.receivers;
    // Closing the room leaves it: carol is told.
    lounge->close();
    ASSERT_TRUE(Until([&] { return Peer::Text(carol.LastFrom(9001)) == "#@#NOTIFY#2#1001,Alice"; }, {&carol}));

    // The history of it all: browsed by peer, searched in Chinese, exported.
    CChatRecordFrame browser(&records_, [](int n) { return n == 0 ? std::string("Alice") : std::string(); });
    ASSERT_TRUE(browser.SelectRecordOwner(1002));
    EXPECT_EQ(4, browser.List()->topLevelItemCount());  // two lines and the two voice messages
    browser.Search(QString::fromUtf8("\xe6\x94\xb6\xe5\x88\xb0"));  // 收到
    ASSERT_EQ(1, browser.List()->topLevelItemCount());
    const QString exported = QString::fromStdString(dir_) + "/history.txt";
    ASSERT_TRUE(browser.ExportTo(exported));
    QFile file(exported);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // Written in the records' code page.
    EXPECT_TRUE(QString::fromStdString(plat::AnsiToUtf8(file.readAll().toStdString())).contains(QString::fromUtf8(kReply)));
}

// A group message from the address book: each member gets a message to it alone, all under one chat
// id; with the messaging account signed off nothing goes.
TEST_F(ChatEndToEnd, GroupMessageReachesEveryMember) {
    pt::ServerProcess server("tools/msgserver/msgserver.py",
                             {"--user", "1001:alice:secret:Alice", "--user", "1002:bob:pw2:Bob", "--user", "1003:carol:pw3:Carol"});
    ASSERT_GT(server.Port(), 0);
    SignIn(server.Port());
    Account_SetConnectionParam(alice_, 1);  // what the frame does on the connected notice
    Peer bob(dir_ + "/bob", "bob", "pw2", server.Port());
    Online(bob);
    Peer carol(dir_ + "/carol", "carol", "pw3", server.Port());
    Online(carol);
    std::vector<AddrContact*> contacts;
    auto member = [&](const char* id, const char* name, int uid) -> AddrNode* {
        AddrContact* c = AddrBook_NewContact(name, nullptr, id);
        EXPECT_EQ(1, AddrBook_AttachContact(c, g_addrBookRoots[0], nullptr));
        contacts.push_back(c);
        AddrIdentity* i = AddrBook_NewIdentity(alice_, id, nullptr, id);
        AddrBook_SetIdentityType(i, ADDR_TYPE_SERVICE);
        presence_setting_set_int(&i->settings, "uid", nullptr, uid);
        EXPECT_EQ(1, AddrBook_AttachIdentity(i, c, nullptr));
        return i;
    };
    const std::vector<AddrNode*> members{member("bob", "Bob", 1002), member("carol", "Carol", 1003)};

    EXPECT_EQ(2, chat::SendGroupText(&registry_, plat::Utf8ToAnsi(kRoomLine), members));
    ASSERT_TRUE(Until([&] {
        return Peer::Text(bob.LastFrom(1001)) == kRoomLine && Peer::Text(carol.LastFrom(1001)) == kRoomLine;
    }, {&bob, &carol}));
    const std::string thread = Peer::Tag(bob.LastFrom(1001));
    EXPECT_EQ(0u, thread.rfind("0_alice_", 0)) << thread;
    EXPECT_EQ(thread, Peer::Tag(carol.LastFrom(1001)));
    // Neither sees the other among its recipients.
    EXPECT_EQ(1, bob.LastFrom(1001)->recipientCount);
    EXPECT_EQ(1, carol.LastFrom(1001)->recipientCount);

    Account_Logout(alice_);
    EXPECT_EQ(0, chat::SendGroupText(&registry_, "anyone?", members));
    for (AddrContact* c : contacts) {
        AddrBook_DetachContact(c);
        AddrBook_FreeContact(c);
    }
}

}  // namespace
