// The session registry and the chat window's logic with a fake window: chat ids, finding and opening
// sessions, the routing of incoming messages, sending and receiving with their history copies.
#include <gtest/gtest.h>

#include <set>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/account.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "common/presence_link.h"
#include "platform/fs.h"
#include "platform/sync.h"
#include "ui/chat/chat_session_registry.h"
#include "ui/chat/chat_transport.h"

namespace {

PresenceBuddyRecord Buddy(int id, const char* name, int online = 0) {
    PresenceBuddyRecord b;
    b.id = id;
    b.online = online;
    presence_copy_field(b.name, sizeof b.name, name);
    return b;
}

struct Sent {
    std::string text;
    std::vector<int> to;
    std::string thid;
    int kind;
};
std::vector<Sent> g_sent;
int g_sendResult = 0;

int RecordSend(PresenceConnectionRec*, const char* text, std::vector<PresenceBuddyRecord>* recipients, const char* thid,
               int kind) {
    Sent s{text ? text : "", {}, thid ? thid : "", kind};
    for (auto& b : *recipients) s.to.push_back(b.id);
    recipients->clear();
    g_sent.push_back(s);
    return g_sendResult;
}

class FakeWindow : public ChatWindowBase {
 public:
    std::vector<std::string> view;
    std::vector<std::string> lines;  // voice lines
    std::vector<std::pair<int64_t, bool>> notices;  // each notice's time and whether a heading came first
    RecipientChoice choice;
    std::vector<UINT> messages;
    bool shown = false;
    static int alive;
    FakeWindow() { ++alive; }
    ~FakeWindow() override { --alive; }
    void ShowChatWindow() override { shown = true; }
    LRESULT SendChatMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        messages.push_back(message);
        auto* record = reinterpret_cast<PresenceMessageRecord*>(lParam);
        if (message == WM_PRESENCE_TEXT) return OnReceiveText(reinterpret_cast<const char*>(wParam), record);
        if (message == WM_PRESENCE_VOICE) return OnReceiveVoice(static_cast<int>(wParam), record);
        if (message == WM_VOICE_ECHO) return OnVoiceEcho(static_cast<int>(wParam), record);
        return 0;
    }

 protected:
    void ViewHeader(const std::string& s, const std::string& r, int64_t, bool priv) override {
        view.push_back("H:" + s + ">" + r + (priv ? " (private)" : ""));
    }
    void ViewBody(const std::string& t) override { view.push_back("B:" + t); }
    void ViewSystemNotice(const std::string& t, int64_t time, bool headed) override {
        view.push_back("N:" + t);
        notices.push_back({time, headed});
    }
    void ViewNoticeHeader(int64_t time) override { view.push_back("T:" + std::to_string(time)); }
    void ViewOffline() override { view.push_back("offline"); }
    void ViewVoice(VoiceMessageEntry* e, const std::string& line) override { view.push_back("V:" + std::to_string(e->id)); lines.push_back(line); }
    void PlayVoice(int id) override { view.push_back("play " + std::to_string(id)); }
    RecipientChoice ViewRecipientChoice() const override { return choice; }
};
int FakeWindow::alive = 0;

class ChatSession : public ::testing::Test {
 protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/chatsesXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root_ = tmpl;
        records_.SetRoot(root_);
        account_ = Account_New("10001", ACCOUNT_TYPE_SERVICE);
        presence_setting_set_int(&account_->settings, "uid", nullptr, 10001);
        Account_Add(account_);
        registry_.SetFactory([this] {
            auto* w = new FakeWindow;
            w->SetRecords(&records_);
            w->SetOwnName("Me");
            return w;
        });
        registry_.SetCounter(65534);
        g_sent.clear();
        g_sendResult = 0;
        ChatSetSendFunction(RecordSend);
        ChatWindowCore::SetRobotId(900);
        // The user's first identity, which a room knows the user by; "Me" is the name the windows show.
        ChatWindowCore::SetNicknameSource([] { return std::string("Nick"); });
    }
    void TearDown() override {
        ChatWindowCore::SetNicknameSource(nullptr);
        registry_.CloseAll(0);
        ChatSetSendFunction(nullptr);
        Account_Remove(account_);
        Account_Free(account_);
        std::system(("rm -rf " + root_).c_str());
    }
    std::vector<ChatRecordRow> Day(int peer) {
        std::vector<ChatRecordRow> rows;
        for (const auto& f : records_.ListDayFiles(peer)) records_.LoadRecordFile(std::to_string(peer) + "/" + f, {}, &rows);
        return rows;
    }
    FakeWindow* Open(int type, std::vector<PresenceBuddyRecord> members) {
        EXPECT_EQ(1, registry_.OpenChat(type, &members, nullptr, nullptr, 1));
        return static_cast<FakeWindow*>(registry_.Windows().back());
    }
    // A room window for "R12", and a record addressed to it from the room's robot.
    FakeWindow* OpenRoom(PresenceMessageRecord* r) {
        if (registry_.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1) != 1) return nullptr;
        auto* room = static_cast<FakeWindow*>(registry_.Windows().back());
        presence_copy_field(r->chatId, sizeof r->chatId, room->m_szChatId.c_str());
        r->sender = Buddy(900, "robot");
        return room;
    }
    // Delivers a message the way the messaging glue does: the text is the receiver's.
    LRESULT Deliver(const char* text, PresenceMessageRecord record) {
        return RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(text)), &record);
    }
    std::string root_;
    ChatRecordFile records_;
    Account* account_ = nullptr;
    CChatSessionRegistry registry_;
};

// The first serial of a run cannot be read off the clock: registries made within the same second start
// apart (eight draws from 32768 values give fewer than five different ones about once in 10^10 runs).
TEST_F(ChatSession, TheFirstChatIdIsNotTheStartTime) {
    std::set<uint16_t> starts;
    for (int i = 0; i < 8; ++i) {
        CChatSessionRegistry fresh;
        EXPECT_LE(fresh.Counter(), 32767);
        starts.insert(fresh.Counter());
    }
    EXPECT_GE(starts.size(), 5u);
}

TEST_F(ChatSession, ChatIdsCountAndWrap) {
    EXPECT_EQ("0_10001_65534", registry_.MakeChatId(0));
    EXPECT_EQ("4_10001_65535", registry_.MakeChatId(4));
    EXPECT_EQ("4_10001_0", registry_.MakeChatId(4));
    CChatSessionRegistry fresh;
    EXPECT_LE(fresh.Counter(), 32767);
    Account_Remove(account_);
    EXPECT_EQ("2_null_1", registry_.MakeChatId(2));
    EXPECT_EQ(nullptr, registry_.CreateChatDialog(0, 1, nullptr));
    EXPECT_EQ(0, FakeWindow::alive);  // nothing made without an account
    Account_Add(account_);
    // A long user id never lets a chat id pass 32 characters.
    Account* longer = Account_New("123456789012345678901234567890", ACCOUNT_TYPE_SERVICE);
    Account_Add(longer);
    std::string id = registry_.MakeChatId(4);
    EXPECT_LE(id.size(), 32u);
    EXPECT_EQ("_2", id.substr(id.size() - 2));
    Account_Remove(longer);
    Account_Free(longer);
}

TEST_F(ChatSession, SplitChatIdForms) {
    struct Row {
        const char* id;
        const char* base;
        int number, priv;
    } rows[] = {{"17#42", "17", 42, 0}, {"17#SMSG#42", "17", 42, 1}, {"4_x_7#12", "4_x_7", 12, 0}, {"0_abc", "0_abc", 0, 0}};
    for (auto& r : rows) {
        int n = -1, p = -1;
        EXPECT_EQ(r.base, CChatSessionRegistry::SplitChatId(r.id, &n, &p)) << r.id;
        EXPECT_EQ(r.number, n) << r.id;
        EXPECT_EQ(r.priv, p) << r.id;
    }
}

TEST_F(ChatSession, FindingSessions) {
    FakeWindow* one = Open(CHAT_ONE, {Buddy(5, "Ann")});
    FakeWindow* several = Open(CHAT_SEVERAL, {Buddy(5, "Ann"), Buddy(6, "Bob")});
    EXPECT_NE(one, several);
    // Opening again raises the same window; members in another order match.
    std::vector<PresenceBuddyRecord> swapped{Buddy(6, "Bob"), Buddy(5, "Ann")};
    EXPECT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &swapped, nullptr, nullptr, 1));
    EXPECT_EQ(2u, registry_.Windows().size());
    // Same members but another type is another session.
    std::vector<PresenceBuddyRecord> ann{Buddy(5, "Ann")};
    EXPECT_EQ(several, registry_.FindByMembers(CHAT_SEVERAL, &swapped, nullptr, nullptr));
    EXPECT_EQ(one, registry_.FindByMembers(CHAT_ONE, &ann, nullptr, nullptr));
    EXPECT_EQ(nullptr, registry_.FindByMembers(CHAT_SEVERAL, &ann, nullptr, nullptr));
    EXPECT_EQ(nullptr, registry_.FindByMembers(5, &ann, nullptr, nullptr));
    // Chat ids with a thread suffix, and a one-to-one window turned multi-user by a type-4 id.
    std::string base = one->m_szChatId.substr(1);
    EXPECT_EQ(one, registry_.FindByChatId(one->m_szChatId + "#12"));
    EXPECT_EQ(one, registry_.FindByChatId("4" + base));
    EXPECT_EQ(CHAT_SEVERAL, one->m_chatType);
    EXPECT_EQ(nullptr, registry_.FindByChatId(std::string(33, '4')));
    // An empty list opens a type-4 window with no members.
    EXPECT_EQ(1, OpenChatWithUsers(&registry_, {}));
    EXPECT_EQ(3u, registry_.Windows().size());
    EXPECT_TRUE(registry_.Windows().back()->m_members.empty());
}

// A temporary group the user starts takes in only the members online now, and asks only them.
TEST_F(ChatSession, ATemporaryGroupStartsWithTheOnlineMembers) {
    FakeWindow* w = Open(CHAT_TEMP_GROUP, {Buddy(5, "Ann", 1), Buddy(6, "Bob", 0), Buddy(7, "Cy", 1)});
    ASSERT_EQ(2u, w->m_members.size());
    EXPECT_EQ(5, w->m_members[0].id);
    EXPECT_EQ(7, w->m_members[1].id);
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ("#@#START##Nick###5#7", g_sent[0].text);
}

// A temporary group this side did not open takes nobody in and asks no room for a session.
TEST_F(ChatSession, ATemporaryGroupOpenedForAnotherSideAddsNobody) {
    std::vector<PresenceBuddyRecord> m{Buddy(1, "A"), Buddy(2, "B")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_TEMP_GROUP, &m, nullptr, nullptr, 0));
    auto* w = static_cast<FakeWindow*>(registry_.Windows().back());
    EXPECT_TRUE(w->m_members.empty());
    EXPECT_TRUE(g_sent.empty());
}

TEST_F(ChatSession, RoomsOpenHiddenAndStartAtTheRobot) {
    ChatSessionRecord record;
    presence_copy_field(record.name, sizeof record.name, "Lobby");
    presence_copy_field(record.tail, sizeof record.tail, " ");
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", &record, 1));
    auto* room = static_cast<FakeWindow*>(registry_.Windows().back());
    EXPECT_FALSE(room->shown);
    EXPECT_EQ(room, record.window);
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ("#@#START##Nick#R12# ", g_sent[0].text);
    EXPECT_EQ(std::vector<int>{900}, g_sent[0].to);
    EXPECT_EQ(room->m_szChatId, g_sent[0].thid);
    record.isNew = 1;
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", &record, 1));
    EXPECT_EQ(0, record.isNew);
    EXPECT_TRUE(room->shown);
    EXPECT_EQ(1u, registry_.Windows().size());
    // Group chats carry their name and key.
    ASSERT_EQ(1, OpenGroupChat(&registry_, "G7", "Friends"));
    EXPECT_EQ("#@#START##Nick#G7# ", g_sent.back().text);
    EXPECT_EQ("Friends", registry_.Windows().back()->m_szRoomName);
    // The name comes from the record, even an empty one; only without a record from the key.
    ASSERT_EQ(1, OpenGroupChat(&registry_, "G8", nullptr));
    EXPECT_EQ("", registry_.Windows().back()->m_szRoomName);
    ASSERT_EQ(1, registry_.OpenChat(CHAT_GROUP, nullptr, "G9", nullptr, 1));
    EXPECT_EQ("G9", registry_.Windows().back()->m_szRoomName);
    // Without a robot in the settings the START still goes out, to nobody: the wait says the rest.
    ChatWindowCore::SetRobotId(0);
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R13", nullptr, 1));
    EXPECT_EQ("#@#START##Nick#R13# ", g_sent.back().text);
    EXPECT_EQ(std::vector<int>{0}, g_sent.back().to);
}

// A line of the room itself (no speaker in its chat id) is headed once with the system tip at the line's
// own time, its notice or text following; a speaker the room has not listed is not heard, even one the
// window holds as a member.
TEST_F(ChatSession, ARoomsOwnLinesAreHeadedAtTheirTimeAndOnlyListedSpeakersAreHeard) {
    FakeWindow* group = Open(CHAT_TEMP_GROUP, {Buddy(5, "Ann", 1)});
    ASSERT_EQ(1u, group->m_members.size());
    PresenceMessageRecord r;
    r.sender = Buddy(900, "robot");
    r.time = 1700000000;
    presence_copy_field(r.chatId, sizeof r.chatId, group->m_szChatId.c_str());
    r.sender = Buddy(9001, "room");
    Deliver("#@#START#0#THUPDATE", r);
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
    const std::string heading = "T:1700000000";
    struct Case {
        const char* text;
        std::string shown;
    } cases[] = {
        {"#@#RESULT#12", "N:You are in block list"},
        {"#@#NOTIFY#2#77,Zed", "N:Zed leave"},
        {"welcome", "B:welcome"},
    };
    for (const Case& c : cases) {
        group->view.clear();
        group->notices.clear();
        Deliver(c.text, r);
        EXPECT_EQ((std::vector<std::string>{heading, c.shown}), group->view) << c.text;
        for (const auto& [time, headed] : group->notices) {
            EXPECT_EQ(1700000000, time) << c.text;
            EXPECT_TRUE(headed) << c.text;
        }
    }
    // Ann is a member of the window but not yet of the room's list: her line is dropped, unrecorded.
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#5");
    r.sender = Buddy(9001, "room");
    group->view.clear();
    Deliver("too early", r);
    EXPECT_TRUE(group->view.empty());
    EXPECT_TRUE(Day(5).empty());
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
    Deliver("#@#LIST#5,Ann", r);
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#5");
    Deliver("now listed", r);
    EXPECT_EQ("B:now listed", group->view.back());
    EXPECT_EQ(1u, Day(5).size());
    // The room lists at most 1000 rows, however many entries come.
    for (int id = 100; id < 1200; ++id) group->OnRoomNotice(1, 0, std::to_string(id) + ",m" + std::to_string(id));
    EXPECT_EQ(1000u, group->m_roomMembers.size());
    group->OnRoomNotice(2, 1, "1300,late");
    EXPECT_EQ(1000u, group->m_roomMembers.size());
}

TEST_F(ChatSession, MemberRules) {
    FakeWindow* w = Open(CHAT_ONE, {Buddy(1, "A")});
    EXPECT_TRUE(w->AddMember(&w->m_members[0]));
    EXPECT_EQ(1u, w->m_members.size());
    PresenceBuddyRecord b = Buddy(2, "B");
    presence_copy_field(b.status, sizeof b.status, "busy");
    w->AddMember(&b);
    EXPECT_EQ(CHAT_SEVERAL, w->m_chatType);
    EXPECT_EQ(1, w->m_members[0].id);
    EXPECT_EQ('\0', w->m_members[1].status[0]);
    std::vector<PresenceBuddyRecord> many;
    for (int id = 3; id <= 25; ++id) many.push_back(Buddy(id, "x"));
    EXPECT_EQ(18, w->AddMembers(many));
    EXPECT_EQ(20u, w->m_members.size());
    EXPECT_EQ(20, w->m_members.back().id);
    EXPECT_FALSE(w->AddMember(&many.back()));
}

// The set-up takes a one-to-one or several-user window's kind from the people it is given, and a reused
// window starts again from them.
TEST_F(ChatSession, TheSetUpTakesTheKindFromThePeopleGiven) {
    FakeWindow* one = Open(CHAT_SEVERAL, {Buddy(1, "A")});
    EXPECT_EQ(CHAT_ONE, one->m_chatType);
    EXPECT_EQ(1, one->m_bSessionActive);
    FakeWindow* two = Open(CHAT_ONE, {Buddy(2, "B"), Buddy(3, "C")});
    EXPECT_EQ(CHAT_SEVERAL, two->m_chatType);
    EXPECT_EQ(2u, two->m_members.size());
    std::vector<PresenceBuddyRecord> again{Buddy(4, "D")};
    two->SetupSession(&again, nullptr, nullptr);
    EXPECT_EQ(CHAT_ONE, two->m_chatType);
    ASSERT_EQ(1u, two->m_members.size());
    EXPECT_EQ(4, two->m_members[0].id);
}

// A direct line that reads like a room command goes out with a blank before it, so the peer's program
// shows it as the line it is instead of dropping it as a command from a stranger.
TEST_F(ChatSession, ADirectLineThatReadsLikeACommandArrivesAsText) {
    for (const int type : {CHAT_ONE, CHAT_SEVERAL}) {
        std::vector<PresenceBuddyRecord> people{Buddy(5, "Ann")};
        if (type == CHAT_SEVERAL) people.push_back(Buddy(6, "Bob"));
        FakeWindow* w = Open(type, people);
        g_sent.clear();
        ASSERT_EQ(SendOutcome::Sent, w->SendText("#@#RESULT#0")) << type;
        ASSERT_EQ(1u, g_sent.size());
        EXPECT_EQ(" #@#RESULT#0", g_sent[0].text) << type;
        PresenceMessageRecord r;
        presence_copy_field(r.chatId, sizeof r.chatId, w->m_szChatId.c_str());
        r.sender = Buddy(5, "Ann");
        w->view.clear();
        Deliver(g_sent[0].text.c_str(), r);
        ASSERT_FALSE(w->view.empty()) << type;
        EXPECT_EQ("B: #@#RESULT#0", w->view.back()) << type;
    }
}

TEST_F(ChatSession, SendingRoutesEchoesAndRecordsOnlyWhatWasSent) {
    FakeWindow* one = Open(CHAT_ONE, {Buddy(5, "Ann")});
    EXPECT_EQ(SendOutcome::Empty, one->SendText("   "));
    EXPECT_TRUE(g_sent.empty());
    ASSERT_EQ(SendOutcome::Sent, one->SendText("  hello 你好 "));
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ("hello 你好", g_sent[0].text);
    EXPECT_EQ(std::vector<int>{5}, g_sent[0].to);
    EXPECT_EQ(one->m_szChatId, g_sent[0].thid);
    EXPECT_EQ(0, g_sent[0].kind);
    EXPECT_EQ((std::vector<std::string>{"H:Me>Ann", "B:hello 你好"}), one->view);
    auto own = Day(0), peer = Day(5);
    ASSERT_EQ(1u, own.size());
    ASSERT_EQ(1u, peer.size());
    EXPECT_EQ("Me", own[0].sender);
    EXPECT_EQ("Ann", own[0].receivers);
    EXPECT_EQ("Me", records_.GetOwnerName(0));
    EXPECT_EQ("Ann", records_.GetOwnerName(5));

    // A failed send is shown as not sent and never recorded: no link (-1), no session at the core (1).
    for (const int answer : {-1, 1}) {
        g_sendResult = answer;
        one->view.clear();
        EXPECT_EQ(SendOutcome::NotSent, one->SendText("lost")) << answer;
        EXPECT_EQ((std::vector<std::string>{"N:以下消息未被发送", "B:lost"}), one->view) << answer;
        EXPECT_EQ(1u, Day(0).size()) << answer;
    }
    g_sendResult = 0;

    // Several users: with no entry chosen everyone gets it, with no header line and no record.
    FakeWindow* several = Open(CHAT_SEVERAL, {Buddy(5, "Ann"), Buddy(6, "Bob")});
    g_sent.clear();
    const size_t ownBefore = Day(0).size();
    ASSERT_EQ(SendOutcome::Sent, several->SendText("nobody chosen"));
    EXPECT_EQ((std::vector<int>{5, 6}), g_sent[0].to);
    EXPECT_EQ((std::vector<std::string>{"B:nobody chosen"}), several->view);
    EXPECT_EQ(ownBefore, Day(0).size());
    EXPECT_TRUE(Day(6).empty());
    // The everyone entry chosen: one message with every id, its header and a record in every folder.
    several->choice = {true, 0, "All"};
    ASSERT_EQ(SendOutcome::Sent, several->SendText("to all"));
    EXPECT_EQ((std::vector<int>{5, 6}), g_sent[1].to);
    EXPECT_EQ("H:Me>All", several->view.at(1));
    EXPECT_EQ(2u, Day(5).size());
    EXPECT_EQ("Ann;Bob", Day(6)[0].receivers);
    several->choice = {true, 6, "Bob"};
    ASSERT_EQ(SendOutcome::Sent, several->SendText("just Bob"));
    EXPECT_EQ(std::vector<int>{6}, g_sent[2].to);
    auto bob = Day(6);
    EXPECT_EQ(0, bob.back().priv);
    EXPECT_EQ(1, Day(0).back().priv);
    EXPECT_EQ(2u, Day(5).size());  // Ann's folder did not get the private line

    // A window with nobody to send to refuses visibly.
    EXPECT_EQ(1, OpenChatWithUsers(&registry_, {}));
    auto* empty = static_cast<FakeWindow*>(registry_.Windows().back());
    g_sent.clear();
    EXPECT_EQ(SendOutcome::NoRecipient, empty->SendText("anyone?"));
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ("N:No recipient: the message was not sent", empty->view.back());
}

TEST_F(ChatSession, RoomTextGoesToTheRobotAndPrivateLinesCarryTheirThread) {
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1));
    auto* room = static_cast<FakeWindow*>(registry_.Windows().back());
    room->SetThreadNumber(77, false);
    EXPECT_EQ("77#", room->m_szChatId);
    g_sent.clear();
    room->choice = {true, 31, "Cat"};
    ASSERT_EQ(SendOutcome::Sent, room->SendText("psst"));
    EXPECT_EQ(std::vector<int>{77}, g_sent[0].to);
    EXPECT_EQ("77#SMSG#31", g_sent[0].thid);
    room->choice = {};
    ASSERT_EQ(SendOutcome::Sent, room->SendText("#@#KICK#31"));
    EXPECT_EQ(" #@#KICK#31", g_sent[1].text);
    EXPECT_EQ("77#", g_sent[1].thid);
    // Closing leaves the room; one-to-one windows send nothing.
    room->LeaveSession();
    EXPECT_EQ("#@#QUIT", g_sent.back().text);
    FakeWindow* one = Open(CHAT_ONE, {Buddy(5, "Ann")});
    size_t before = g_sent.size();
    one->LeaveSession();
    EXPECT_EQ(before, g_sent.size());
}

TEST_F(ChatSession, IncomingTextFindsOrCreatesItsWindow) {
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "0_20002_5");
    r.sender = Buddy(5, "Ann");
    r.time = 1173089700;
    ASSERT_EQ(1, Deliver("hi there", r));
    ASSERT_EQ(1u, registry_.Windows().size());
    auto* w = static_cast<FakeWindow*>(registry_.Windows()[0]);
    EXPECT_EQ("0_20002_5", w->m_szChatId);
    EXPECT_EQ(CHAT_ONE, w->m_chatType);
    EXPECT_TRUE(w->shown);
    EXPECT_EQ((std::vector<std::string>{"H:Ann>Me", "B:hi there"}), w->view);
    auto rows = Day(5);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("2007-03-05 10:15", rows[0].time);
    EXPECT_EQ("Me", records_.GetOwnerName(0));
    // The same session again goes to the same window.
    Deliver("again", r);
    EXPECT_EQ(1u, registry_.Windows().size());
    EXPECT_EQ("B:again", w->view.back());
    // Another buddy's command is neither obeyed nor shown.
    Deliver("#@#QUIT", r);
    Deliver("#@#NOTIFY#7#5,Ann", r);
    EXPECT_EQ(0, w->m_bKicked);
    Deliver("#@#START#0#THUPDATE", r);
    EXPECT_EQ("0_20002_5", w->m_szChatId);
    EXPECT_EQ("B:again", w->view.back());
    // A text that only begins like one is the buddy's text.
    Deliver("#@#quit, said the robot", r);
    EXPECT_EQ("B:#@#quit, said the robot", w->view.back());
    // An own echo is not shown as a message.
    PresenceMessageRecord echo = r;
    echo.sender.id = 0;
    Deliver("echo", echo);
    EXPECT_EQ("B:#@#quit, said the robot", w->view.back());
}

// The trace of an arrival counts the members: the sender and the recipients.
TEST_F(ChatSession, TheArrivalsTraceCountsTheSenderWithTheRecipients) {
    static std::vector<std::string> traced;
    traced.clear();
    const auto enabled = debug_enable.load();
    const auto all = debug_all.load();
    debug_enable = 1;
    debug_all = DBG_LOW;
    g_debugOutput = [](unsigned, const char* text) { traced.emplace_back(text); };
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "0_20002_5");
    r.sender = Buddy(5, "Ann");
    Deliver("hi", r);
    r.recipients = {Buddy(6, "Bob"), Buddy(7, "Cid")};
    presence_copy_field(r.chatId, sizeof r.chatId, "4_20002_6");
    Deliver("hi all", r);
    g_debugOutput = nullptr;
    debug_enable = enabled;
    debug_all = all;
    auto saw = [](const std::string& part) {
        for (const std::string& l : traced)
            if (l.find(part) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(saw("Rcv TEXT Msg, ChatUID 0_20002_5 User 1"));
    EXPECT_TRUE(saw("Rcv TEXT Msg, ChatUID 4_20002_6 User 3"));
}

// No command text ever reaches a window as a message: from a stranger, for a room no window is in, or
// one the windows have no notice for. Each case leaves no new window and no "#@#" line anywhere.
TEST_F(ChatSession, CommandsAreNeverShownAsText) {
    PresenceMessageRecord r;
    FakeWindow* room = OpenRoom(&r);
    ASSERT_NE(nullptr, room);
    r.sender = Buddy(9001, "Lounge");  // the room's thread answers the join
    Deliver("#@#START#0#THUPDATE", r);
    ASSERT_EQ("9001#", room->m_szChatId);
    struct Case {
        const char* what;
        int sender;
        const char* chatId;
        const char* text;
    } cases[] = {
        {"a room that was left long ago tells of a leaver", 9002, "9002#", "#@#NOTIFY#2#1001,Alice"},
        {"a room that was left long ago lists its members", 9002, "9002#", "#@#LIST#1001,Alice"},
        {"a buddy pretends to be the room", 5, "9001#", "#@#NOTIFY#7#0,Me"},
        {"a buddy's command in a new chat", 5, "0_20002_9", "#@#LIST#5,Ann"},
    };
    for (const Case& c : cases) {
        const size_t windows = registry_.Windows().size();
        const std::vector<std::string> before = room->view;
        presence_copy_field(r.chatId, sizeof r.chatId, c.chatId);
        r.sender = Buddy(c.sender, "x");
        RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(c.text)), &r);
        EXPECT_EQ(windows, registry_.Windows().size()) << c.what;
        EXPECT_EQ(before, room->view) << c.what;
        EXPECT_EQ(0, room->m_bKicked) << c.what;
    }
    for (ChatWindowBase* w : registry_.Windows())
        for (const std::string& line : static_cast<FakeWindow*>(w)->view) EXPECT_EQ(std::string::npos, line.find("#@#")) << line;
}

// The robot's command for a chat no window here holds is routed like any message: a window is found by
// its members or made, and it shows what the command says.
TEST_F(ChatSession, TheRobotsCommandForNoWindowOpensOne) {
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "3_10001_7");
    r.sender = Buddy(900, "robot");
    Deliver("#@#RESULT#13", r);
    ASSERT_EQ(1u, registry_.Windows().size());
    auto* w = static_cast<FakeWindow*>(registry_.Windows().back());
    ASSERT_FALSE(w->view.empty());
    EXPECT_EQ(std::string::npos, w->view.back().find("#@#")) << w->view.back();
    // The next one finds the same window.
    Deliver("#@#LIST#31,Cat", r);
    EXPECT_EQ(1u, registry_.Windows().size());
}

// The answer's "THUPDATE" is read without regard to case.
TEST_F(ChatSession, AThreadUpdateInSmallLettersStillNamesTheThread) {
    PresenceMessageRecord r;
    FakeWindow* room = OpenRoom(&r);
    ASSERT_NE(nullptr, room);
    r.sender = Buddy(9001, "Lounge");
    Deliver("#@#START#0#thupdate", r);
    EXPECT_EQ(9001, room->m_threadNumber);
}

// THUPDATE, SMSG and JOIN carry nothing to obey: whoever sends one, its window gets the text as it came,
// with command number -1, as a plain line; nothing about the room changes.
TEST_F(ChatSession, CommandsWithNothingToObeyPassAsTheyCame) {
    PresenceMessageRecord r;
    FakeWindow* room = OpenRoom(&r);
    ASSERT_NE(nullptr, room);
    r.sender = Buddy(9001, "Lounge");  // the room's thread answers the join
    Deliver("#@#START#0#THUPDATE", r);
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
    r.sender = Buddy(9001, "Lounge");
    Deliver("#@#LIST#31,Cat", r);
    struct Case {
        const char* what;
        int sender;
        const char* chatId;
        const char* text;
    } const cases[] = {
        {"the robot's own thread update", 900, "9001#", "#@#THUPDATE#1"},
        {"the room's private-message mark", 9001, "9001#", "#@#SMSG#31"},
        {"a join mark", 9001, "9001#", "#@#JOIN#31"},
        {"a member's join mark", 31, "9001#31", "#@#JOIN#32"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        presence_copy_field(r.chatId, sizeof r.chatId, c.chatId);
        r.sender = Buddy(c.sender, "x");
        r.command = 0;
        RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(c.text)), &r);
        EXPECT_EQ(1u, registry_.Windows().size());
        EXPECT_EQ(-1, r.command);
        EXPECT_EQ(std::string("B:") + c.text, room->view.back());
        EXPECT_EQ("9001#", room->m_szChatId);
        EXPECT_EQ(9001, room->m_threadNumber);
        EXPECT_EQ(2u, room->m_roomMembers.size());
    }
    // In a one-to-one chat the same text is the buddy's line.
    presence_copy_field(r.chatId, sizeof r.chatId, "0_20002_5");
    r.sender = Buddy(5, "Ann");
    Deliver("#@#SMSG#7", r);
    ASSERT_EQ(2u, registry_.Windows().size());
    EXPECT_EQ("B:#@#SMSG#7", static_cast<FakeWindow*>(registry_.Windows().back())->view.back());
}

// Lines of a room no window here is in (the program ended without leaving it) open no chat with the
// room: this side leaves the room once and drops them.
TEST_F(ChatSession, AStaleRoomIsLeftNotOpenedAsAChat) {
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "9002#1001");
    r.sender = Buddy(9002, "Lounge");
    Deliver("anyone here?", r);
    EXPECT_TRUE(registry_.Windows().empty());
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ("#@#QUIT", g_sent[0].text);
    EXPECT_EQ(std::vector<int>{9002}, g_sent[0].to);
    EXPECT_EQ("9002#", g_sent[0].thid);
    presence_copy_field(r.chatId, sizeof r.chatId, "9002#SMSG#1001");
    Deliver("psst", r);
    RouteIncomingMessage(&registry_, WM_PRESENCE_VOICE, 7, &r);
    EXPECT_TRUE(registry_.Windows().empty());
    EXPECT_EQ(1u, g_sent.size());  // left once
    // A one-to-one chat is no room.
    presence_copy_field(r.chatId, sizeof r.chatId, "0_ann_12");
    r.sender = Buddy(5, "Ann");
    Deliver("hi", r);
    EXPECT_EQ(1u, registry_.Windows().size());
}

// The messaging service lists this user among the recipients of a group message; without a known own
// id the service's name for the account tells which entry it is, so the user is no member of the window.
TEST_F(ChatSession, TheUserIsNoMemberOfAGroupWindow) {
    Account_Remove(account_);
    Account* carol = Account_New("carol", ACCOUNT_TYPE_SERVICE);
    Account_Add(carol);
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "4_alice_3");
    r.sender = Buddy(1001, "Alice");
    r.recipients = {Buddy(1002, "bob"), Buddy(1005, "Carol")};
    Deliver("team?", r);
    ASSERT_EQ(1u, registry_.Windows().size());
    auto* w = static_cast<FakeWindow*>(registry_.Windows()[0]);
    EXPECT_EQ(CHAT_SEVERAL, w->m_chatType);
    std::vector<int> ids;
    for (const auto& m : w->m_members) ids.push_back(m.id);
    EXPECT_EQ((std::vector<int>{1001, 1002}), ids);
    EXPECT_EQ(1, w->m_members[0].online);  // the sender has just spoken, book or not
    EXPECT_EQ(0, w->m_members[1].online);
    EXPECT_EQ(1005, presence_setting_get_int(&carol->settings, "uid", 0));
    // Learnt once, it keeps the user out of later additions too.
    EXPECT_TRUE(w->AddMember(&r.recipients[1]));
    EXPECT_EQ(2u, w->m_members.size());
    registry_.CloseAll(0);
    Account_Remove(carol);
    Account_Free(carol);
    Account_Add(account_);
}

// The members of a window an incoming message opens take their name, contact and picture from the
// address book; the id and presence stay as the message gave them, except that the sender is online.
TEST_F(ChatSession, MembersTakeNameContactAndPictureFromTheBook) {
    registry_.SetNameLookup([](int uid, PresenceBuddyRecord* member) {
        PresenceBuddyRecord found;
        found.id = uid + 100;  // the contact's first messaging identity may be another one
        found.online = 1;
        presence_copy_field(found.name, sizeof found.name, uid == 5 ? "Annie" : "Robert");
        presence_copy_field(found.userId, sizeof found.userId, uid == 5 ? "c-ann" : "c-bob");
        presence_copy_field(found.status, sizeof found.status, "face3.bmp");
        *member = found;
        return true;
    });
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "4_ann_3");
    r.sender = Buddy(5, "Ann");
    r.recipients = {Buddy(6, "bob")};
    std::vector<PresenceBuddyRecord> members;
    ASSERT_EQ(1, registry_.ResolveMembers(CHAT_SEVERAL, &r, &members));
    ASSERT_EQ(2u, members.size());
    const std::tuple<int, const char*, const char*, int> expected[] = {{5, "Annie", "c-ann", 1}, {6, "Robert", "c-bob", 0}};
    for (size_t i = 0; i < 2; ++i) {
        const auto& [id, name, contact, online] = expected[i];
        EXPECT_EQ(id, members[i].id);
        EXPECT_STREQ(name, members[i].name);
        EXPECT_STREQ(contact, members[i].userId);
        EXPECT_STREQ("face3.bmp", members[i].status);
        EXPECT_EQ(online, members[i].online) << "the book's presence is not taken";
    }
}

// An identity of the book without a contact gives its name alone: the picture is cleared and the
// contact id stays as the message gave it.
TEST_F(ChatSession, AMemberWithoutAContactTakesTheBooksNameOnly) {
    registry_.SetNameLookup([](int uid, PresenceBuddyRecord* member) {
        presence_copy_field(member->name, sizeof member->name, "Booked");
        if (uid != 5) return 2;
        presence_copy_field(member->userId, sizeof member->userId, "c-ann");
        presence_copy_field(member->status, sizeof member->status, "face3.bmp");
        return 1;
    });
    PresenceMessageRecord r;
    r.sender = Buddy(7, "Gus");
    presence_copy_field(r.sender.userId, sizeof r.sender.userId, "wire-id");
    presence_copy_field(r.sender.status, sizeof r.sender.status, "wire.bmp");
    std::vector<PresenceBuddyRecord> members;
    ASSERT_EQ(1, registry_.ResolveMembers(CHAT_ONE, &r, &members));
    ASSERT_EQ(1u, members.size());
    EXPECT_STREQ("Booked", members[0].name);
    EXPECT_STREQ("wire-id", members[0].userId);
    EXPECT_STREQ("", members[0].status);
}

TEST_F(ChatSession, RobotCommandsDriveTheRoom) {
    PresenceMessageRecord r;
    FakeWindow* room = OpenRoom(&r);
    ASSERT_NE(nullptr, room);
    Deliver("#@#START#0#THUPDATE", r);
    EXPECT_EQ(900, room->m_roomCmd.recipient());
    EXPECT_EQ("900#", room->m_szChatId);
    EXPECT_EQ(1, room->m_bSessionActive);
    EXPECT_EQ("N:You are join session succeeded, please speak any time", room->view.back());
    presence_copy_field(r.chatId, sizeof r.chatId, "900#");
    const size_t shown = room->view.size();
    Deliver("#@#LIST#31,Cat#32,Dan", r);
    ASSERT_EQ(3u, room->m_roomMembers.size());  // own row plus two
    EXPECT_EQ(shown, room->view.size()) << "a room's member list shows no line, not even an empty tip";
    EXPECT_STREQ("Cat", room->m_roomMembers[1].name);
    // A member's line: thread "#" sender id; a private one with SMSG#.
    presence_copy_field(r.chatId, sizeof r.chatId, "900#31");
    Deliver("hello room", r);
    EXPECT_EQ("B:hello room", room->view.back());
    EXPECT_EQ("H:Cat>All", room->view[room->view.size() - 2]);
    presence_copy_field(r.chatId, sizeof r.chatId, "900#SMSG#32");
    Deliver("just you", r);
    EXPECT_EQ("H:Dan>Me (private)", room->view[room->view.size() - 2]);
    EXPECT_EQ(1, Day(32).back().priv);
    // A stranger's line in the room is dropped.
    presence_copy_field(r.chatId, sizeof r.chatId, "900#99");
    size_t before = room->view.size();
    Deliver("who am I", r);
    EXPECT_EQ(before, room->view.size());
    // NOTIFY kinds.
    presence_copy_field(r.chatId, sizeof r.chatId, "900#");
    Deliver("#@#NOTIFY#2#32,Dan", r);
    EXPECT_EQ("N:Dan leave", room->view.back());
    EXPECT_EQ(2u, room->m_roomMembers.size());
    Deliver("#@#NOTIFY#7#0,Me", r);
    EXPECT_EQ(1, room->m_bKicked);
    EXPECT_EQ(SendOutcome::Refused, room->SendText("still here?"));
    EXPECT_EQ("N:You are kicked by admin or starter", room->view.back());
    Deliver("#@#NOTIFY#1#33,Eve", r);
    EXPECT_EQ(0, room->m_bKicked);
    // QUIT and END from the robot are dropped; RESULT codes map to their texts.
    before = room->view.size();
    Deliver("#@#QUIT", r);
    EXPECT_EQ(before, room->view.size());
    Deliver("#@#RESULT#13", r);
    EXPECT_EQ("N:Password is invalid", room->view.back());
    Deliver("#@#KICK#0", r);
    EXPECT_EQ("N:You kick users succeeded", room->view.back());
    Deliver("#@#RESULT#99", r);
    EXPECT_EQ("N:Unknown error", room->view.back());
    // Renames, invitations and the end of the room.
    ASSERT_EQ(1u, room->m_roomMembers.size());  // emptied by the kick, then Eve came in
    Deliver("#@#NOTIFY#4#33,Evie", r);
    EXPECT_STREQ("Evie", room->m_roomMembers[0].name);
    Deliver("#@#INVITE#5,Ann,0,join us", r);
    EXPECT_EQ("N:5,Ann,0,join us", room->view.back());
    g_sent.clear();
    EXPECT_EQ(0, room->AcceptInvitation());
    EXPECT_EQ("#@#ACCEPT#Nick", g_sent.back().text);
    Deliver("#@#NOTIFY#5#0,x", r);
    EXPECT_EQ(2, room->m_roomState);
}

// START and ACCEPT name the user by the first identity of the profile list, not by the name the windows
// show; with no identity yet, by the user id.
TEST_F(ChatSession, StartAndAcceptCarryTheFirstIdentityElseTheUserId) {
    const std::string saved = g_strUserId;
    g_strUserId = "alice";
    struct Case {
        std::string identity, nickname;
    } const cases[] = {{"Boss", "Boss"}, {"", "alice"}, {std::string(300, 'n'), std::string(255, 'n')}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nickname.substr(0, 8));
        ChatWindowCore::SetNicknameSource([&c] { return c.identity; });
        g_sent.clear();
        ASSERT_EQ(1, OpenGroupChat(&registry_, ("G" + c.nickname.substr(0, 4)).c_str(), "Friends"));
        ASSERT_EQ(1u, g_sent.size());
        EXPECT_EQ("#@#START##" + c.nickname + "#G" + c.nickname.substr(0, 4) + "# ", g_sent[0].text);
        EXPECT_EQ(0, registry_.Windows().back()->AcceptInvitation());
        EXPECT_EQ("#@#ACCEPT#" + c.nickname, g_sent.back().text);
        EXPECT_EQ("Me", registry_.Windows().back()->OwnName());
    }
    g_strUserId = saved;
}

TEST_F(ChatSession, ARoomThatNeverAnswersSaysSoAfterAMinute) {
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1));
    auto* room = static_cast<FakeWindow*>(registry_.Windows().back());
    for (int i = 1; i < ChatWindowCore::kSessionTicks; ++i) ASSERT_TRUE(room->SessionTick());
    EXPECT_TRUE(room->view.empty());
    EXPECT_FALSE(room->SessionTick());
    EXPECT_EQ("N:会话建立超时", room->view.back());
    EXPECT_FALSE(room->SessionTick());  // said once
    // An answer ends the wait.
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R13", nullptr, 1));
    auto* other = static_cast<FakeWindow*>(registry_.Windows().back());
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, other->m_szChatId.c_str());
    r.sender = Buddy(900, "robot");
    Deliver("#@#START#0#THUPDATE", r);
    EXPECT_FALSE(other->SessionTick());
}

TEST_F(ChatSession, ARoomThreadIsTrustedAndNobodyElse) {
    PresenceMessageRecord r;
    FakeWindow* room = OpenRoom(&r);
    ASSERT_NE(nullptr, room);
    r.sender = Buddy(9001, "Lounge");  // the room's thread answers the join
    Deliver("#@#START#0#THUPDATE", r);
    EXPECT_EQ("9001#", room->m_szChatId);
    EXPECT_EQ(9001, room->m_roomCmd.recipient());
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
    r.sender = Buddy(9001, "Lounge");
    Deliver("#@#LIST#31,Cat", r);
    EXPECT_EQ(2u, room->m_roomMembers.size());
    // A buddy who knows the thread cannot kick this user out.
    r.sender = Buddy(31, "Cat");
    Deliver("#@#NOTIFY#7#0,Me", r);
    EXPECT_EQ(0, room->m_bKicked);
    EXPECT_EQ(2u, room->m_roomMembers.size());
}

// A member list too long for the command's field list lists the entries that fit; a longer command of
// another kind is dropped. Neither shows as the raw command text.
TEST_F(ChatSession, AnOverlongMemberListListsWhatFitsAndNoRawCommandShows) {
    PresenceMessageRecord r;
    FakeWindow* room = OpenRoom(&r);
    ASSERT_NE(nullptr, room);
    r.sender = Buddy(9001, "Lounge");
    Deliver("#@#START#0#THUPDATE", r);
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
    auto list = [](int members) {
        std::string text = "#@#LIST";
        for (int i = 0; i < members; ++i) text += "#" + std::to_string(1000 + i) + ",Member " + std::to_string(10 + i);
        return text;
    };
    // Each entry takes 15 bytes of the 512: "LIST" and 33 entries fit.
    for (const int members : {40, 80}) {
        SCOPED_TRACE(members);
        const size_t before = room->view.size();
        Deliver(list(members).c_str(), r);
        EXPECT_EQ(34u, room->m_roomMembers.size());  // the own row and the 33
        EXPECT_EQ(1032, room->m_roomMembers.back().id);
        for (size_t i = before; i < room->view.size(); ++i) EXPECT_EQ(std::string::npos, room->view[i].find("#@#"));
    }
    const size_t before = room->view.size();
    Deliver(("#@#RESULT#" + std::string(600, '1')).c_str(), r);
    Deliver(("#@#NOTIFY#2#1000," + std::string(600, 'x')).c_str(), r);
    EXPECT_EQ(before, room->view.size());
    EXPECT_EQ(34u, room->m_roomMembers.size());
}

// A room's thread is the sender of the first answer to the window's own START, on its own chat id; no
// one else takes or moves the room. Each row is someone's try: while the window waits (on the window's
// chat id or another form of it) or once thread 9001 runs the room. None moves the thread, changes the
// members, kicks the user or turns the user's next line towards the sender.
TEST_F(ChatSession, AStrangerCannotTakeARoom) {
    struct Case {
        const char* what;
        bool named;         // thread 9001 has answered before the try
        int sender;
        const char* after;  // appended to the chat id the try comes on
        const char* text;
    } const cases[] = {
        {"lists members before the answer", false, 5, "", "#@#LIST#5,Mallory#6,Trudy"},
        {"kicks before the answer", false, 5, "", "#@#NOTIFY#7#0,Me"},
        {"answers on a member's line of the chat", false, 5, "#5", "#@#START#0#THUPDATE"},
        {"answers privately", false, 5, "#SMSG#5", "#@#START#0#THUPDATE"},
        {"moves the running room to itself", true, 5, "", "#@#START#0#THUPDATE"},
        {"replaces the members", true, 5, "", "#@#LIST#5,Mallory"},
        {"kicks the user", true, 5, "", "#@#NOTIFY#7#0,Me"},
        {"tells of a leaver", true, 5, "", "#@#NOTIFY#2#31,Cat"},
        {"the robot moves the running room", true, 900, "", "#@#START#0#THUPDATE"},
        {"the thread answers again", true, 9001, "", "#@#START#0#THUPDATE"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, ("Q" + std::to_string(++n)).c_str(), nullptr, 1));
        auto* room = static_cast<FakeWindow*>(registry_.Windows().back());
        const std::string first = room->m_szChatId;
        PresenceMessageRecord r;
        presence_copy_field(r.chatId, sizeof r.chatId, first.c_str());
        if (c.named) {
            r.sender = Buddy(9001, "Lounge");
            Deliver("#@#START#0#THUPDATE", r);
            presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
            Deliver("#@#LIST#31,Cat", r);
        }
        const std::string chatId = room->m_szChatId;
        const int thread = room->m_threadNumber, recipient = room->m_roomCmd.recipient();
        const size_t members = room->m_roomMembers.size();
        ASSERT_EQ(c.named ? 9001 : 0, thread);
        presence_copy_field(r.chatId, sizeof r.chatId, (chatId + c.after).c_str());
        r.sender = Buddy(c.sender, "x");
        Deliver(c.text, r);
        EXPECT_EQ(thread, room->m_threadNumber);
        EXPECT_EQ(chatId, room->m_szChatId);
        EXPECT_EQ(recipient, room->m_roomCmd.recipient());
        EXPECT_EQ(c.named ? 9001 : 900, room->m_roomCmd.recipient()) << "the user's lines go to the robot or its thread";
        EXPECT_EQ(members, room->m_roomMembers.size());
        EXPECT_EQ(0, room->m_bKicked);
        if (!c.named) {
            // The thread's own answer still joins the room.
            presence_copy_field(r.chatId, sizeof r.chatId, first.c_str());
            r.sender = Buddy(9001, "Lounge");
            Deliver("#@#START#0#THUPDATE", r);
            EXPECT_EQ(9001, room->m_threadNumber);
            EXPECT_EQ("9001#", room->m_szChatId);
        }
        room->LeaveSession();
        registry_.RemoveDialog(room);
    }
    // An answer after the wait has run out names no thread.
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "Q99", nullptr, 1));
    auto* late = static_cast<FakeWindow*>(registry_.Windows().back());
    while (late->SessionTick()) {
    }
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, late->m_szChatId.c_str());
    r.sender = Buddy(9001, "Lounge");
    Deliver("#@#START#0#THUPDATE", r);
    EXPECT_EQ(0, late->m_threadNumber);
}

// An invitation may come from the room's thread itself; the user's agreement goes to the robot, and the
// thread's answer to it moves the window into the room.
TEST_F(ChatSession, AnInvitationFromTheThreadLeadsIntoTheRoom) {
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
    r.sender = Buddy(9001, "Lounge");
    Deliver("#@#INVITE#9001,Cat,31,Lounge", r);
    ASSERT_EQ(1u, registry_.Windows().size());
    auto* w = static_cast<FakeWindow*>(registry_.Windows().back());
    ASSERT_FALSE(w->view.empty());
    EXPECT_NE(std::string::npos, w->view.back().find("Cat")) << w->view.back();
    // Before the user agrees, the thread's START is no answer to anything.
    Deliver("#@#START#0#THUPDATE", r);
    EXPECT_EQ(CHAT_ONE, w->m_chatType);
    g_sent.clear();
    EXPECT_EQ(0, w->AcceptInvitation());
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ(std::vector<int>{900}, g_sent[0].to);
    EXPECT_EQ("9001#", g_sent[0].thid);
    Deliver("#@#START#0#THUPDATE", r);
    EXPECT_EQ(CHAT_ROOM, w->m_chatType);
    EXPECT_EQ(9001, w->m_threadNumber);
    EXPECT_EQ(9001, w->m_roomCmd.recipient());
    Deliver("#@#LIST#31,Cat", r);
    EXPECT_EQ(2u, w->m_roomMembers.size());
}

TEST_F(ChatSession, SeveralUsersPrivateAndPublicLines) {
    FakeWindow* w = Open(CHAT_SEVERAL, {Buddy(5, "Ann"), Buddy(6, "Bob")});
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, w->m_szChatId.c_str());
    r.sender = Buddy(5, "Ann");
    Deliver("only me", r);
    EXPECT_EQ("H:Ann>Me (private)", w->view[0]);
    EXPECT_EQ(1, Day(5).back().priv);
    r.recipients.push_back(Buddy(6, "Bob"));
    r.recipients.push_back(Buddy(10001, "Me"));  // the service lists this user too
    Deliver("everyone", r);
    EXPECT_EQ("H:Ann>All", w->view[2]);
    EXPECT_EQ("Me;Bob", Day(5).back().receivers);
}

TEST_F(ChatSession, VoiceMessagesShowOnTheSecondArrival) {
    FakeWindow* w = Open(CHAT_ONE, {Buddy(5, "Ann")});
    w->m_bAutoPlay = 1;
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, w->m_szChatId.c_str());
    r.sender = Buddy(5, "Ann");
    EXPECT_EQ(1, RouteIncomingMessage(&registry_, WM_PRESENCE_VOICE, 42, &r));
    EXPECT_TRUE(w->view.empty());
    RouteIncomingMessage(&registry_, WM_PRESENCE_VOICE, 42, &r);
    EXPECT_EQ((std::vector<std::string>{"V:42", "play 42"}), w->view);
    EXPECT_EQ("  Ann发送语音短信(00:00:00, 1970-01-01)", w->lines.back());
    auto rows = Day(5);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(1, rows[0].voice);
    EXPECT_EQ("42", rows[0].content);
    RouteIncomingMessage(&registry_, WM_PRESENCE_VOICE, 42, &r);
    EXPECT_EQ(2, std::count(w->view.begin(), w->view.end(), "V:42"));
    // The own voice message: press sends kind 3, the echo records it.
    g_sent.clear();
    EXPECT_EQ(1, w->PttPress(0, 1000));
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ(3, g_sent[0].kind);
    uint32_t wait = 0;
    EXPECT_EQ(1, w->PttRelease(1200, &wait));
    EXPECT_EQ(300u, wait);
    EXPECT_EQ(1, w->PttRelease(1600, &wait));  // the press stays pending: a second release stops again
    EXPECT_EQ(0u, wait);
    PresenceMessageRecord echo = r;
    echo.sender.id = 0;
    RouteIncomingMessage(&registry_, WM_PRESENCE_VOICE, 43, &echo);
    w->view.clear();
    EXPECT_EQ(1, w->OnReceiveVoice(43, &r));  // the pair's second half shows it
    EXPECT_EQ("V:43", w->view.at(0));
    EXPECT_EQ(0, w->OnReceiveVoice(43, nullptr));
    // A press the send refuses (no link, no session, already recording, busy) leaves nothing to stop.
    for (const int answer : {-1, 1, 5, 8}) {
        g_sendResult = answer;
        EXPECT_EQ(1, w->PttPress(0, 1800)) << answer;
        EXPECT_EQ("N:以下消息未被发送", w->view.back()) << answer;
        EXPECT_EQ(0, w->PttRelease(2000, &wait)) << answer;
    }
    g_sendResult = 0;
    // A refused capture device: notice, and the release does nothing.
    EXPECT_EQ(0, w->PttPress(1, 2000));
    EXPECT_EQ("N:No Audio device!", w->view.back());
    EXPECT_EQ(0, w->PttRelease(2600, &wait));
}

TEST_F(ChatSession, RemovalDuringABroadcastDefersTheDelete) {
    class ClosingWindow : public FakeWindow {
     public:
        CChatSessionRegistry* reg = nullptr;
        bool pending = false;
        LRESULT SendChatMessage(UINT message, WPARAM, LPARAM) override {
            if (message == WM_IM_CLOSE) reg->RemoveDialog(this);  // the window closes itself
            return 0;
        }
        void DestroyLater() override { pending = true; }
    };
    auto* a = new ClosingWindow;
    a->reg = &registry_;
    registry_.SetFactory([a] { return a; });
    ASSERT_NE(nullptr, registry_.CreateChatDialog(0, 1, nullptr));
    // A window that leaves from inside a broadcast under the lock asks for the lock again, which is not
    // re-entrant: it waits its two seconds, then the window is removed without it.
    plat::TestClock clock(1000);
    std::atomic<bool> done{false};
    std::atomic<bool> locked{false};
    std::thread closing([&] {
        locked = !registry_.Lock();
        if (locked) {
            registry_.Broadcast(WM_IM_CLOSE, 0, 0);
            registry_.Unlock();
        }
        done = true;
    });
    EXPECT_TRUE(clock.wait_for_waiters(1));
    clock.advance(1999);
    EXPECT_FALSE(done.load());
    clock.advance(1);
    closing.join();
    EXPECT_TRUE(locked.load());
    EXPECT_TRUE(a->pending);
    EXPECT_EQ(0, registry_.ContainsDialog(a));
    delete a;
    // The lock is free again afterwards: the timed-out inner request released nothing it did not hold.
    ASSERT_FALSE(registry_.Lock());
    registry_.Unlock();
}

}  // namespace

TEST_F(ChatSession, IncomingMessagesTakeTheProgramsChatSemaphore) {
    plat::Semaphore shared(1, 1);
    registry_.UseSharedSemaphore([&shared] { return &shared; });
    ASSERT_FALSE(registry_.Lock());
    EXPECT_EQ(0, shared.count());  // the program's, not the registry's own
    registry_.Unlock();
    EXPECT_EQ(1, shared.count());
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "0_20002_5");
    r.sender = Buddy(20002, "Ann");
    EXPECT_EQ(1, Deliver("hi", r));
    EXPECT_EQ(1u, registry_.Windows().size());
    EXPECT_EQ(1, shared.count());
    // Someone else holds it: the routing gives up after its two seconds and opens nothing.
    ASSERT_TRUE(shared.try_acquire());
    presence_copy_field(r.chatId, sizeof r.chatId, "0_20003_6");
    r.sender = Buddy(20003, "Bob");
    {
        plat::TestClock clock(1000);
        std::atomic<LRESULT> result{-1};
        std::thread routing([&] { result = Deliver("hello", r); });
        ASSERT_TRUE(clock.wait_for_waiters(1));
        clock.advance(1999);
        EXPECT_EQ(-1, result.load());  // still waiting
        clock.advance(1);
        routing.join();
        EXPECT_EQ(0, result.load());
    }
    EXPECT_EQ(1u, registry_.Windows().size());
    shared.release(1);
    // Without the program's semaphore (no start ran) the registry has its own.
    registry_.UseSharedSemaphore([] { return static_cast<plat::Semaphore*>(nullptr); });
    ASSERT_FALSE(registry_.Lock());
    EXPECT_EQ(1, shared.count());
    registry_.Unlock();
    registry_.UseSharedSemaphore(nullptr);
}

TEST_F(ChatSession, ARoomTextToEveryoneIsKeptInEachMembersFolder) {
    PresenceMessageRecord r;
    FakeWindow* room = OpenRoom(&r);
    ASSERT_NE(nullptr, room);
    Deliver("#@#START#0#THUPDATE", r);
    presence_copy_field(r.chatId, sizeof r.chatId, "900#");
    Deliver("#@#LIST#31,Cat#32,Dan", r);
    room->choice = {true, 0, "All"};
    ASSERT_EQ(SendOutcome::Sent, room->SendText("hello all"));
    for (int peer : {0, 31, 32}) {
        const auto rows = Day(peer);
        ASSERT_EQ(1u, rows.size()) << peer;
        EXPECT_EQ("Cat;Dan", rows[0].receivers) << peer;
        EXPECT_EQ("hello all", rows[0].content);
    }
    EXPECT_EQ("Dan", records_.GetOwnerName(32));
    // A line to one member goes to that member's folder only.
    room->choice = {true, 31, "Cat"};
    ASSERT_EQ(SendOutcome::Sent, room->SendText("just Cat"));
    EXPECT_EQ(2u, Day(31).size());
    EXPECT_EQ(1u, Day(32).size());
}

// A voice message's line: the texts joined as they are, with blanks only where the line puts them.
TEST_F(ChatSession, VoiceLinesJoinTheirTextsAsTheyStand) {
    const std::string time = "(00:00:00, 1970-01-01)";
    FakeWindow* several = Open(CHAT_SEVERAL, {Buddy(5, "Ann"), Buddy(6, "Bob")});
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, several->m_szChatId.c_str());
    r.sender = Buddy(5, "Ann");
    auto twice = [&](FakeWindow* w, int id, const PresenceMessageRecord& m) {
        w->OnReceiveVoice(id, &m);
        w->OnReceiveVoice(id, &m);
        return w->lines.empty() ? std::string("(none)") : w->lines.back();
    };
    EXPECT_EQ(" Ann privacy 发送语音短信ToMe " + time, twice(several, 1, r));  // nobody else listed: private
    r.recipients.push_back(Buddy(6, "Bob"));
    EXPECT_EQ("  Ann发送语音短信" + time, twice(several, 2, r));

    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1));
    auto* room = static_cast<FakeWindow*>(registry_.Windows().back());
    PresenceMessageRecord robot;
    presence_copy_field(robot.chatId, sizeof robot.chatId, room->m_szChatId.c_str());
    robot.sender = Buddy(900, "robot");
    Deliver("#@#START#0#THUPDATE", robot);
    presence_copy_field(robot.chatId, sizeof robot.chatId, "900#");
    Deliver("#@#LIST#31,Cat#32,Dan", robot);
    PresenceMessageRecord cat;
    cat.sender = Buddy(31, "Cat");
    presence_copy_field(cat.chatId, sizeof cat.chatId, "900#31");
    EXPECT_EQ(" Cat发送语音短信 " + time, twice(room, 3, cat));
    presence_copy_field(cat.chatId, sizeof cat.chatId, "900#SMSG#31");
    EXPECT_EQ(" Cat privacy 发送语音短信ToMe " + time, twice(room, 4, cat));
    // A room's voice message with no speaker in its chat id still gets its icon (to be played), no line.
    presence_copy_field(cat.chatId, sizeof cat.chatId, "900#");
    EXPECT_EQ("", twice(room, 8, cat));
    EXPECT_EQ("V:8", room->view.back());

    // The user's own voice message, shown when its echo and the message have both arrived.
    auto echoed = [&](FakeWindow* w, int id) {
        PresenceMessageRecord own;
        w->OnVoiceEcho(id, &own);
        w->OnVoiceEcho(id, &own);
        return w->lines.empty() ? std::string("(none)") : w->lines.back();
    };
    FakeWindow* one = Open(CHAT_ONE, {Buddy(7, "Eve")});
    EXPECT_EQ(0u, echoed(one, 5).rfind("  Me 发送了一条语音消息(", 0)) << one->lines.back();
    several->choice = {true, 6, "Bob"};
    EXPECT_EQ(0u, echoed(several, 6).rfind(" Me Privacy 发送了一条语音消息ToBob (", 0)) << several->lines.back();
    // With no recipient chosen the echo shows the icon alone.
    several->choice = {};
    EXPECT_EQ("", echoed(several, 9));
    EXPECT_EQ("V:9", several->view.back());
}

TEST_F(ChatSession, TimeStampsNameTheDayOnlyWhenItIsNotToday) {
    // TZ is UTC here. 2006-05-01 12:00:00 = 1146484800.
    struct Case {
        int64_t time, now;
        const char* stamp;
    } cases[] = {
        {1146484800, 1146484800 + 3600, "(12:00:00)"},
        {1146484800, 1146484800 + 86400, "(12:00:00, 2006-05-01)"},
        {-1, 1146484800, "(12:00:00)"},
        {1146484800 - 43201, 1146484800, "(23:59:59, 2006-04-30)"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.stamp, ChatTimeStamp(c.time, c.now)) << c.time;
}
