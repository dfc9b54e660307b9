// The frame's access-server answers and presence notices offscreen: each failed request's box, the
// store after each answer, the address book's error texts, buddies the book does not hold, the first
// buddy list's additions, group actions and a message's window without a notification area.
#include <gtest/gtest.h>

#include <algorithm>

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QTest>
#include <cstring>
#include <functional>

#include "shell_test_app.h"
#include "common/account.h"
#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/grouprecord.h"
#include "platform/fs.h"
#include "platform/msgqueue.h"
#include "platform/sound.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/presence_core.h"
#include "service/presence_notice.h"
#include "service/service_msgs.h"
#include "ui/shell/book_results.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/shell_config.h"

namespace {

// A messaging plug-in that records the buddies it is asked to add and remove.
std::vector<std::string> g_added;
std::vector<int> g_removed;
int RecordAdd(PresenceConnectionRec*, const char* name) {
    g_added.emplace_back(name);
    return 0;
}
void RecordRemove(PresenceConnectionRec*, int uid) { g_removed.push_back(uid); }
PresenceProtocolOps g_ops = {6, 4, nullptr, {"png", 0, 0, 96, 96, 2}, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, RecordAdd, RecordRemove, nullptr, nullptr};
PresencePluginInfo g_info = {4, 2, ACCOUNT_TYPE_SERVICE, "KX", "1", "", "", "", "", nullptr, nullptr, &g_ops};
PresencePlugin g_plugin = {&g_info};
PresencePlugin* const g_registry[] = {&g_plugin, nullptr};

char* Dup(const char* s) { return s ? strdup(s) : nullptr; }

AsRequest* Request(int command, int result, const char* s1, const char* s2, const char* s3, const char* s4 = nullptr) {
    auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
    p->str1 = Dup(s1);
    p->str2 = Dup(s2);
    p->str3 = Dup(s3);
    p->str4 = Dup(s4);
    auto* r = static_cast<AsRequest*>(calloc(1, sizeof(AsRequest)));
    *r = AsRequest{command, result, p, nullptr, AS_DATA_PARAMS};
    return r;
}

class FrameNotices : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        app = shelltest::StartOffscreenApp();
        profile = shelltest::NewTempFolder("notices");
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, profile, false);
        shell::ApplyLanguageCode("eng");
        QDir::setCurrent(TESSALY_BINARY_DIR);
    }
    static void TearDownTestSuite() { std::system(("rm -rf '" + profile + "'").c_str()); }

    void SetUp() override {
        AddrBook_Init();
        friends = Group("g-friends", "Friends", g_addrBookRoots[0]);
        work = Group("g-work", "Work", g_addrBookRoots[0]);
        bob = AddrBook_NewContact("Bob", nullptr, "bob");
        ASSERT_EQ(1, AddrBook_AttachContact(bob, friends, nullptr));
        AddrContact* card = AddrBook_NewContact("Dentist", nullptr, "l-dentist");
        ASSERT_EQ(1, AddrBook_AttachContact(card, g_addrBookRoots[2], nullptr));
        AddrBook_SetKind7(card);
        frame = std::make_unique<CMainFrame>();
        frame->showBox = [this](const QString& text, const QString& title) { boxes.emplace_back(text, title); };
    }
    void TearDown() override {
        frame.reset();
        ChatHooks() = ChatFrameHooks();
        BookHooks() = FrameBookHooks();
        AddrBook_Destroy();
    }
    static AddrGroup* Group(const char* id, const char* name, AddrNode* parent) {
        AddrGroup* g = AddrBook_NewGroup(name, id);
        EXPECT_EQ(1, AddrBook_AttachGroup(g, parent, nullptr));
        return g;
    }
    // The language file's text with the name in its "%s", where it has one.
    static QString Failure(const char* key, const char* arg) {
        const QString text = shell::LangText("profile_status", key, "");
        return text.contains("%s") ? shell::FillFormat(text, {QString::fromUtf8(arg)}) : text;
    }

    static inline QApplication* app = nullptr;
    static inline std::string profile;
    AddrGroup *friends = nullptr, *work = nullptr;
    AddrContact* bob = nullptr;
    std::unique_ptr<CMainFrame> frame;
    std::vector<std::pair<QString, QString>> boxes;
};

}  // namespace

TEST_F(FrameNotices, EachFailedRequestShowsItsBoxAndLeavesTheStore) {
    struct Case {
        const char* what;
        int command, result;
        const char *id, *target, *name;
        const char* key;  // the [profile_status] text expected; none: a success that finds nothing to change
    } cases[] = {
        {"rename refused", AS_REB, 5, "bob", "", "Bobby", "fail_glms_error"},
        {"rename of nobody", AS_REB, 0, "nobody", "", "Bobby", "fail_glms_error"},
        {"move refused", AS_MVB, 7, "bob", "g-work", "Bob", "fail_move_contact"},
        {"move the server could not do", AS_MVB, 1, "bob", "g-work", "Bob", "server_err"},
        {"move to no group", AS_MVB, 0, "bob", "g-none", "Bob", nullptr},
        {"group move refused", AS_MVG, 3, "g-work", "g-friends", "Work", "fail_move_group"},
        {"group move into itself", AS_MVG, 0, "g-friends", "g-friends", "Friends", nullptr},
        {"group rename refused", AS_RNG, 9, "g-work", "", "Job", "fail_update_group"},
        {"group rename of no group", AS_RNG, 0, "bob", "", "Job", nullptr},
        {"removal refused", AS_REM, 2, "bob", "", "Bob", "fail_del_contact"},
        {"removal of nobody", AS_REM, 0, "g-work", "", "Work", "fail_del_contact"},
        {"group removal refused", AS_RMG, 2, "g-work", "", "Work", "fail_del_group"},
        {"card removal refused", AS_RML, 2, "l-dentist", "", "Dentist", "fail_del_contact"},
        {"group addition refused", AS_ADG, 4, "g-new", "g-friends", "New", "fail_add_group"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        boxes.clear();
        frame->Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(Request(c.command, c.result, c.id, c.target, c.name, "g-friends")));
        ASSERT_EQ(c.key ? 1u : 0u, boxes.size());
        if (c.key) {
            EXPECT_EQ(Failure(c.key, c.name).toStdString(), boxes[0].first.toStdString());
            EXPECT_FALSE(boxes[0].first.isEmpty());
            EXPECT_EQ(shell::LangText("profile_status", "fail_title", ""), boxes[0].second);
            EXPECT_FALSE(boxes[0].first.contains('%'));
        }
        // Nothing changed.
        EXPECT_EQ(friends, bob->parent);
        EXPECT_EQ(nullptr, bob->nick);
        EXPECT_STREQ("Work", work->name);
        EXPECT_EQ(g_addrBookRoots[0], work->parent);
        EXPECT_NE(nullptr, AddrBook_FindById(g_addrBookRoots[2], "l-dentist"));
    }
}

TEST_F(FrameNotices, AnsweredRequestsChangeTheStoreAndTellTheChatWindows) {
    std::vector<int> seenByChats;
    ChatHooks().asResult = [&](const AsRequest* r) { seenByChats.push_back(r->command); };
    frame->Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(Request(AS_REB, 0, "bob", "", "Bobby")));
    EXPECT_STREQ("Bobby", bob->nick);
    frame->Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(Request(AS_RNG, 0, "g-work", "", "Job")));
    EXPECT_STREQ("Job", work->name);
    frame->Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(Request(AS_MVB, 0, "bob", "g-work", "Bob", "g-friends")));
    EXPECT_EQ(static_cast<AddrNode*>(work), bob->parent);
    frame->Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(Request(AS_MVG, 0, "g-work", "g-friends", "Job")));
    EXPECT_EQ(static_cast<AddrNode*>(friends), work->parent);
    EXPECT_TRUE(boxes.empty());
    // A new panel picture and a removed contact reach the chat windows.
    frame->Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(Request(AS_REL, 0, "", "", "panel7.bmp")));
    EXPECT_EQ("panel7.bmp", shell::g_panelPicture);
    frame->Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(Request(AS_REM, 0, "bob", "", "Bob")));
    EXPECT_EQ(nullptr, AddrBook_FindById(g_addrBookRoots[0], "bob"));
    EXPECT_EQ((std::vector<int>{AS_REL, AS_REM}), seenByChats);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(FrameNotices, AddressBookErrorsByCode) {
    const std::pair<int, const char*> cases[] = {
        {201, "nogroupID"}, {202, "gid_not_in_group"}, {203, "reject_look"}, {204, "reject_join"}, {301, "uid_not_exist"}};
    for (const auto& [code, key] : cases) {
        boxes.clear();
        frame->ShowAsErrorBox(code);
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(shell::LangText("addrbook_dialog", key, ""), boxes[0].first) << code;
        EXPECT_FALSE(boxes[0].first.isEmpty()) << code;
        EXPECT_EQ(shell::LangText("update", "msgboxtitle", ""), boxes[0].second);
    }
    boxes.clear();
    frame->ShowAsErrorBox(500);
    ASSERT_EQ(1u, boxes.size());
    EXPECT_TRUE(boxes[0].first.isEmpty()) << "another code has no text";
}

TEST_F(FrameNotices, GroupListsOfFailedRequestsAndUnknownKindsAreFreedOnly) {
    // Each record is freed (the sanitizer build would see a leak); nothing is shown.
    for (int kind : {0, 3, 7}) {
        GroupRecord* failed = GroupRecord_New();
        failed->words[0] = 404;
        EXPECT_EQ(0, frame->Dispatch(WM_AS_GROUP_LIST, kind, reinterpret_cast<LPARAM>(failed)));
    }
    EXPECT_EQ(1, frame->Dispatch(WM_AS_GROUP_LIST, 7, reinterpret_cast<LPARAM>(GroupRecord_New())));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(FrameNotices, GroupActionOpensTheGroupChatAndFreesTheRecord) {
    Group("q-42", "Lunch club", g_addrBookRoots[1]);
    std::vector<std::pair<std::string, std::string>> opened;
    ChatHooks().openGroupChat = [&](const char* id, const char* name) { opened.emplace_back(id, name); };
    auto record = [](const char* id) {
        GroupRecord* r = GroupRecord_New();
        if (id) std::strcpy(r->texts[2], id);
        return reinterpret_cast<LPARAM>(r);
    };
    EXPECT_EQ(0, frame->Dispatch(WM_GROUP_ACTION, 0, record("q-42")));
    EXPECT_EQ(0, frame->Dispatch(WM_GROUP_ACTION, 0, record(nullptr)));  // no group: nothing opens
    EXPECT_EQ(0, frame->Dispatch(WM_GROUP_ACTION, 0, 0));
    ASSERT_EQ(1u, opened.size());
    EXPECT_EQ("q-42", opened[0].first);
    EXPECT_EQ("Lunch club", opened[0].second);
}

// Presence notices of one messaging connection, by kind.
class FramePresence : public FrameNotices {
protected:
    void SetUp() override {
        FrameNotices::SetUp();
        presence_use_plugins(g_registry);
        presence_core_register(true);
        account = Account_New("alice", ACCOUNT_TYPE_SERVICE);
        Account_SetPassword(account, "secret");
        {
            std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
            ASSERT_EQ(1, Account_Add(account));
        }
        ASSERT_NE(nullptr, Account_Login(account));
        connection = account->connection;
        Identity(bob, "bob");
        carol = AddrBook_NewContact("Carol", nullptr, "carol");
        ASSERT_EQ(1, AddrBook_AttachContact(carol, work, nullptr));
        Identity(carol, "carol");
        g_added.clear();
        g_removed.clear();
    }
    void TearDown() override {
        frame.reset();
        Account_Logout(account);
        {
            std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
            Account_Remove(account);
        }
        Account_Free(account);
        presence_core_register(false);
        presence_use_plugins(nullptr);
        FrameNotices::TearDown();
    }
    AddrIdentity* Identity(AddrContact* contact, const char* address) {
        AddrIdentity* i = AddrBook_NewIdentity(account, address, nullptr, ("i-" + std::string(address)).c_str());
        AddrBook_SetIdentityType(i, ADDR_TYPE_SERVICE);
        EXPECT_EQ(1, AddrBook_AttachIdentity(i, contact, nullptr));
        return i;
    }
    void Buddy(int id, const char* address, const char* name, int online) {
        auto* r = new PresenceBuddyRecord;
        r->id = id;
        std::strcpy(r->account, address);
        std::strcpy(r->name, name);
        r->online = online;
        frame->Dispatch(WM_PRESENCE_BUDDY, reinterpret_cast<WPARAM>(connection), reinterpret_cast<LPARAM>(r));
    }
    Account* account = nullptr;
    PresenceConnection* connection = nullptr;
    AddrContact* carol = nullptr;
};

TEST_F(FramePresence, BuddyNoticesByKind) {
    struct Case {
        const char* what;
        bool accountOnline;
        int id;
        const char* address;
        bool removedAtServer;  // the service forgets the buddy
        bool heard;            // the chat windows hear the record
    } cases[] = {
        {"a buddy the book holds", true, 1002, "bob", false, true},
        {"the same with the service's domain", true, 1002, "bob@im.example", false, true},
        {"a stranger while online", true, 1009, "mallory", true, false},
        {"a stranger while offline", false, 1010, "trent", false, false},
        {"a stranger without a number", true, 0, "eve", false, false},
    };
    std::vector<std::pair<WPARAM, std::string>> chats;  // what the chat windows heard
    ChatHooks().buddyState = [&](WPARAM c, LPARAM r) {
        chats.emplace_back(c, reinterpret_cast<const PresenceBuddyRecord*>(r)->account);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Account_SetConnectionParam(account, c.accountOnline ? PRESENCE_CONNECTED : PRESENCE_DISCONNECTED);
        g_removed.clear();
        chats.clear();
        Buddy(c.id, c.address, "Name", 1);
        EXPECT_EQ(c.removedAtServer ? std::vector<int>{c.id} : std::vector<int>{}, g_removed);
        using Heard = std::vector<std::pair<WPARAM, std::string>>;
        const Heard heard = c.heard ? Heard{{reinterpret_cast<WPARAM>(connection), c.address}} : Heard{};
        EXPECT_EQ(heard, chats);
    }
    // A connection that is gone, or none: nothing reaches the book, the service or the chat windows.
    int booked = 0;
    BookHooks().filter = [&](UINT m, WPARAM w, LPARAM) { return m == WM_PRESENCE_BUDDY && w && ++booked < 0; };
    for (WPARAM gone : {WPARAM(0x1234), WPARAM(0)}) {
        chats.clear();
        auto* r = new PresenceBuddyRecord;
        r->id = 1003;
        std::strcpy(r->account, "carol");
        r->online = 1;
        frame->Dispatch(WM_PRESENCE_BUDDY, gone, reinterpret_cast<LPARAM>(r));
        EXPECT_TRUE(chats.empty());
        EXPECT_TRUE(g_removed.empty());
    }
    EXPECT_EQ(0, booked);
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        EXPECT_EQ(0, presence_setting_get_int(&shell::FindBuddyIdentity(connection, "carol")->settings, "uid", 0));
    }
    // The book's identity took the buddy's number and name.
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    auto* identity = shell::FindBuddyIdentity(connection, "bob");
    ASSERT_NE(nullptr, identity);
    EXPECT_EQ(1002, presence_setting_get_int(&identity->settings, "uid", 0));
    EXPECT_STREQ("Name", identity->altName);
    EXPECT_TRUE(g_added.empty());
}

TEST_F(FramePresence, TheFirstCompleteListAddsTheBooksUnlistedBuddiesOnce) {
    Account_SetConnectionParam(account, PRESENCE_CONNECTED);
    auto list = [&](std::function<void()> buddies) {
        frame->Dispatch(WM_PRESENCE_LIST_BEGIN, reinterpret_cast<WPARAM>(connection), 0);
        buddies();
        frame->Dispatch(WM_PRESENCE_LIST_END, reinterpret_cast<WPARAM>(connection), 0);
    };
    // Carol was reported by an earlier refresh only: the list's begin forgets that.
    Buddy(1003, "carol", "Carol", 1);
    list([&] { Buddy(1002, "bob@im.example", "Bob", 1); });
    EXPECT_EQ(std::vector<std::string>{"carol"}, g_added);
    list([] {});
    EXPECT_EQ(std::vector<std::string>{"carol"}, g_added) << "a second list adds nothing";
    // A list of a connection that is gone changes nothing either.
    frame->Dispatch(WM_PRESENCE_LIST_BEGIN, 0x1234, 0);
    frame->Dispatch(WM_PRESENCE_LIST_END, 0x1234, 0);
    EXPECT_EQ(1u, g_added.size());
}

TEST_F(FramePresence, AReportMarksTheOneIdentityItFindsSeen) {
    // Carol's book entry has a second identity with bob's address: the report of bob marks the identity
    // found for it, and the other one is still unseen at the list's end.
    AddrIdentity* second = AddrBook_NewIdentity(account, "bob", nullptr, "i-bob-2");
    AddrBook_SetIdentityType(second, ADDR_TYPE_SERVICE);
    ASSERT_EQ(1, AddrBook_AttachIdentity(second, carol, nullptr));
    Account_SetConnectionParam(account, PRESENCE_CONNECTED);
    frame->Dispatch(WM_PRESENCE_LIST_BEGIN, reinterpret_cast<WPARAM>(connection), 0);
    Buddy(1002, "bob", "Bob", 1);
    frame->Dispatch(WM_PRESENCE_LIST_END, reinterpret_cast<WPARAM>(connection), 0);
    std::vector<std::string> added = g_added;
    std::sort(added.begin(), added.end());
    EXPECT_EQ((std::vector<std::string>{"bob", "carol"}), added);
}

TEST_F(FramePresence, TheRunsOneAdditionBelongsToTheFirstListEndEvenOfAConnectionGone) {
    Account_SetConnectionParam(account, PRESENCE_CONNECTED);
    frame->Dispatch(WM_PRESENCE_LIST_END, 0x1234, 0);
    frame->Dispatch(WM_PRESENCE_LIST_BEGIN, reinterpret_cast<WPARAM>(connection), 0);
    frame->Dispatch(WM_PRESENCE_LIST_END, reinterpret_cast<WPARAM>(connection), 0);
    EXPECT_TRUE(g_added.empty());
}

TEST_F(FramePresence, EveryStateOfAContactReachesTheChatWindowsRepeatsIncluded) {
    // The list refresh repeats every buddy's state; the chat windows hear each record as it came.
    Account_SetConnectionParam(account, PRESENCE_CONNECTED);
    std::vector<int> heard;  // online
    ChatHooks().buddyState = [&](WPARAM, LPARAM r) {
        heard.push_back(reinterpret_cast<const PresenceBuddyRecord*>(r)->online);
    };
    const std::vector<int> states{1, 1, 1, 0, 0};
    for (int online : states) Buddy(1002, "bob", "Bob", online);
    EXPECT_EQ(states, heard);
}

TEST_F(FrameNotices, AMessagesWindowShowsAtOnceWithoutANotificationArea) {
    // Offscreen there is no notification area: the window cannot wait behind an icon nobody sees.
    auto window = std::make_unique<QWidget>();
    frame->AddMessageNotice(window.get());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(0u, frame->PendingNoticeCount());
    EXPECT_FALSE(frame->MessageIconShown());
}

// The sounds are the skin folder's files the language file names, a name with a folder in it too.
TEST_F(FrameNotices, TheMessageSoundIsTheSkinFileTheLanguageFileNames) {
    const shell::ShellPaths saved = shell::Paths();
    const std::string skin = profile + "/skin";
    ASSERT_TRUE(plat::MakeDirectories(skin + "/sounds"));
    std::string wave;
    ASSERT_TRUE(plat::ReadFile(plat::PathJoin(saved.skinFolder, "msg.wav"), &wave));
    ASSERT_TRUE(plat::WriteFileAtomic(skin + "/sounds/new.wav", wave));
    ASSERT_TRUE(plat::WriteFileAtomic(profile + "/lang.ini", "[navigate_dialog]\nmsg_usersndfile=sounds\\new.wav\n"));
    shell::Paths().skinFolder = skin;
    shell::Paths().langFile = profile + "/lang.ini";
    auto window = std::make_unique<QWidget>();
    frame->AddMessageNotice(window.get());
    EXPECT_EQ(skin + "/sounds/new.wav", plat::CurrentSound());
    plat::StopSound();
    shell::Paths() = saved;
}
