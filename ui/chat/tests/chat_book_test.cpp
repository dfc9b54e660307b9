// What the chat windows read from the address book: the contact of a member id, its blocked flag, its
// telephone number and the messaging records of chosen nodes.
#include <gtest/gtest.h>

#include <string>

#include "common/account.h"
#include "common/addrbook.h"
#include "service/presence_core.h"
#include "service/presence_notice.h"
#include "ui/chat/chat_book.h"
#include "ui/chat/chat_session_registry.h"
#include "ui/chat/chat_transport.h"

namespace {

class ChatBook : public ::testing::Test {
 protected:
    void SetUp() override {
        AddrBook_Init();
        ann = Contact("c-ann", "Ann");
        annChat = Identity(ann, ADDR_TYPE_SERVICE, "ann@im", "i-ann-im", 5, 1);
        Identity(ann, ADDR_TYPE_PHONE, "2001", "i-ann-tel");
        bob = Contact("c-bob", "Bob");
        Identity(bob, ADDR_TYPE_SERVICE, "bob@im", "i-bob-im", 6, 0);
        bob->flags |= ADDR_FLAG_BLOCKED;
    }
    void TearDown() override { AddrBook_Destroy(); }
    AddrNode* Contact(const char* id, const char* name) {
        AddrContact* c = AddrBook_NewContact(name, nullptr, id);
        AddrNode* last = g_addrBookRoots[0]->child;
        while (last && last->next) last = last->next;
        EXPECT_EQ(1, AddrBook_AttachContact(c, g_addrBookRoots[0], last));
        return c;
    }
    AddrNode* Identity(AddrNode* contact, uint32_t type, const char* address, const char* id, int uid = 0, uint32_t online = 0) {
        AddrIdentity* i = AddrBook_NewIdentity(nullptr, address, nullptr, id);
        AddrBook_SetIdentityType(i, type);
        if (uid) presence_setting_set_int(&i->settings, "uid", nullptr, uid);
        AddrNode* last = contact->child;
        while (last && last->next) last = last->next;
        AddrBook_AttachIdentity(i, contact, last);
        AddrBook_SetIdentityOnline(i, online);
        return i;
    }
    AddrNode* ann = nullptr;
    AddrNode* annChat = nullptr;
    AddrNode* bob = nullptr;
};

TEST_F(ChatBook, StateAndNumberByContactOrIdentityId) {
    struct Case {
        const char* id;
        int state;
        const char* number;
    } cases[] = {
        {"c-ann", 0, "2001"}, {"i-ann-im", 0, "2001"}, {"c-bob", 1, ""}, {"nobody", -1, ""}, {"", -1, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.state, chat::BookState(c.id)) << c.id;
        EXPECT_EQ(c.number, chat::BookPhoneNumber(c.id)) << c.id;
    }
}

TEST_F(ChatBook, MembersCarryUidContactIdAndOnlineState) {
    AddrNode* card = Contact("c-card", "No messaging");
    const auto members = chat::BookMembers({annChat, bob, card});
    ASSERT_EQ(2u, members.size());
    EXPECT_EQ(5, members[0].id);
    EXPECT_STREQ("c-ann", members[0].userId);  // what block requests name
    EXPECT_EQ(1, members[0].online);
    EXPECT_EQ(6, members[1].id);
    EXPECT_EQ(0, members[1].online);
}

TEST_F(ChatBook, AMemberByUidTakesTheBooksNameContactAndPresence) {
    PresenceBuddyRecord member;
    member.id = 5;
    presence_copy_field(member.name, sizeof member.name, "ann-from-the-wire");
    presence_copy_field(member.account, sizeof member.account, "ann@im");
    ASSERT_TRUE(chat::BookMemberByUid(5, &member));
    EXPECT_EQ(5, member.id);
    EXPECT_STREQ("Ann", member.name);
    EXPECT_STREQ("c-ann", member.userId);
    EXPECT_STREQ("ann@im", member.account);
    EXPECT_EQ(1, member.online);
    PresenceBuddyRecord stranger;
    stranger.id = 99;
    presence_copy_field(stranger.name, sizeof stranger.name, "zed");
    EXPECT_FALSE(chat::BookMemberByUid(99, &stranger));
    EXPECT_STREQ("zed", stranger.name);  // untouched
    EXPECT_FALSE(chat::BookMemberByUid(0, &stranger));
}

}  // namespace

TEST_F(ChatBook, APictureIsTheContactsExtraText) {
    AddrBook_SetContactExtra(ann, "07.bmp");
    EXPECT_EQ("07.bmp", chat::BookPicture("c-ann"));
    EXPECT_EQ("07.bmp", chat::BookPicture("i-ann-im"));  // through the identity
    EXPECT_EQ("", chat::BookPicture("c-bob"));
    EXPECT_EQ("", chat::BookPicture("nobody"));
    chat::BookContactInfo info;
    ASSERT_TRUE(chat::BookContactDetails("i-ann-im", &info));
    EXPECT_EQ("c-ann", info.id);
    EXPECT_EQ("Ann", info.name);
    EXPECT_EQ("", info.mobile);
    EXPECT_FALSE(chat::BookContactDetails("nobody", &info));
}

namespace {

// The record browser names a peer's folder by the contact whose messaging identity has its uid: the
// contact's name, else its id; nothing for a uid no contact has.
TEST_F(ChatBook, AFoldersNameIsTheContactWithThatUid) {
    AddrNode* nameless = Contact("c-nameless", "");
    Identity(nameless, ADDR_TYPE_SERVICE, "nn@im", "i-nn", 8);
    const struct {
        int uid;
        const char* name;
    } cases[] = {{5, "Ann"}, {6, "Bob"}, {8, "c-nameless"}, {99, ""}, {0, ""}};
    for (const auto& c : cases) EXPECT_EQ(c.name, chat::BookNameByUid(c.uid)) << c.uid;
}

// The sender of an incoming message by its uid: the identity's display text as its name; its contact's
// id and picture only when the identity sits under a contact (else 2, name only); 0 for a uid nobody has.
TEST_F(ChatBook, ASenderTakesTheContactOnlyWhenItsIdentityHasOne) {
    AddrBook_SetContactExtra(ann, "07.bmp");
    AddrGroup* team = AddrBook_NewGroup("Team", "g-team");
    ASSERT_EQ(1, AddrBook_AttachGroup(team, g_addrBookRoots[0], nullptr));
    AddrIdentity* loose = AddrBook_NewIdentity(nullptr, "loose@im", nullptr, "i-loose");
    AddrBook_SetIdentityType(loose, ADDR_TYPE_SERVICE);
    presence_setting_set_int(&loose->settings, "uid", nullptr, 9);
    ASSERT_EQ(1, AddrBook_AttachIdentity(loose, team, nullptr));
    const struct {
        int uid, answer;
        const char *name, *contact, *picture;
    } cases[] = {
        {5, 1, "Ann", "c-ann", "07.bmp"},
        {6, 1, "Bob", "c-bob", ""},
        {9, 2, "Team", "wire-id", "wire.bmp"},  // the identity's display text is its parent's
        {99, 0, "wire", "wire-id", "wire.bmp"},
        {0, 0, "wire", "wire-id", "wire.bmp"},
    };
    for (const auto& c : cases) {
        PresenceBuddyRecord m;
        m.id = c.uid;
        presence_copy_field(m.name, sizeof m.name, "wire");
        presence_copy_field(m.userId, sizeof m.userId, "wire-id");
        presence_copy_field(m.status, sizeof m.status, "wire.bmp");
        EXPECT_EQ(c.answer, chat::BookSenderByUid(c.uid, &m)) << c.uid;
        EXPECT_STREQ(c.name, m.name) << c.uid;
        EXPECT_STREQ(c.contact, m.userId) << c.uid;
        EXPECT_STREQ(c.picture, m.status) << c.uid;
    }
}

struct GroupSend {
    std::vector<int> to;
    std::string thread;
};
std::vector<GroupSend> g_groupSends;
int g_groupResult = 0;
int RecordGroupSend(PresenceConnectionRec*, const char*, std::vector<PresenceBuddyRecord>* recipients, const char* thread, int) {
    GroupSend s{{}, thread ? thread : ""};
    for (const PresenceBuddyRecord& r : *recipients) s.to.push_back(r.id);
    recipients->clear();
    g_groupSends.push_back(s);
    return g_groupResult;
}

// A group message goes to each member as a message to it alone, all under one chat id; a refused
// send does not keep the others from theirs, and nothing goes while the account is offline.
TEST_F(ChatBook, AGroupMessageGoesToEachMemberOnItsOwn) {
    Account* own = Account_New("alice", ACCOUNT_TYPE_SERVICE);
    ASSERT_TRUE(Account_Add(own));
    PresenceConnectionRec* connection = presence_connection_new(own);
    ASSERT_NE(nullptr, connection);
    connection->state = PRESENCE_CONNECTED;
    ChatSetSendFunction(RecordGroupSend);
    CChatSessionRegistry registry;
    const std::vector<AddrNode*> members{annChat, bob->child};
    struct Case {
        int sendResult;
        int expected;
    } cases[] = {{0, 2}, {-1, 0}};
    for (const Case& c : cases) {
        g_groupSends.clear();
        g_groupResult = c.sendResult;
        EXPECT_EQ(c.expected, chat::SendGroupText(&registry, "hello", members)) << c.sendResult;
        ASSERT_EQ(2u, g_groupSends.size());
        EXPECT_EQ((std::vector<int>{5}), g_groupSends[0].to);
        EXPECT_EQ((std::vector<int>{6}), g_groupSends[1].to);
        EXPECT_EQ(0u, g_groupSends[0].thread.rfind("0_alice_", 0)) << g_groupSends[0].thread;
        EXPECT_EQ(g_groupSends[0].thread, g_groupSends[1].thread);
    }
    g_groupResult = 0;
    g_groupSends.clear();
    connection->state = PRESENCE_DISCONNECTED;
    EXPECT_EQ(0, chat::SendGroupText(&registry, "hello", members));
    EXPECT_TRUE(g_groupSends.empty());
    ChatSetSendFunction(nullptr);
    Account_Remove(own);
    presence_connection_destroy(connection);
    Account_Free(own);
}

}  // namespace
