// The address book against the access test server (tools/accessserver, bob's seeded address book):
// search and add a buddy, block and unblock, add and edit a local contact and find it saved.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QTreeWidget>
#include <chrono>
#include <deque>
#include <thread>

#include "e2e_support.h"
#include "platform/msgqueue.h"
#include "service/as_client.h"
#include "service/as_records.h"
#include "service/service_msgs.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/addrbook_results.h"
#include "ui/contacts/book_dialogs.h"
#include "ui/contacts/tests/book_fixture.h"
#include "ui/contacts/tests/fake_host.h"
#include "ui/shell/book_results.h"
#include "ui/shell/shell_messages.h"

using namespace contacts;
using booktest::Find;

namespace {

class BookServer : public booktest::BookTest {
protected:
    void SetUp() override {
        BookTest::SetUp();
        if (!e2e::HaveTool("python3")) GTEST_SKIP() << "python3 is missing";
        DropAccounts();
        dir = e2e::TempDir("book-server");
        ASSERT_TRUE(server.Start({"/usr/bin/python3", std::string(TESSALY_SOURCE_DIR) + "/tools/accessserver/accessserver.py",
                                  "--port", "0"},
                                 dir + "/access.log"));
        ASSERT_TRUE(server.WaitFor("PORT ", 10000));
        const std::string out = server.Output();
        port = std::stoi(out.substr(out.find("PORT ") + 5));
        frame = plat::RegisterWindowTarget([this](HWND, UINT m, WPARAM, LPARAM l) -> LRESULT {
            if (m == WM_AS_RESULT) answers.push_back(reinterpret_cast<AsRequest*>(l));
            if (m == WM_AS_GROUP_LIST) OnGroupList(reinterpret_cast<GroupRecord*>(l));
            return 0;
        });
        g_hMainWnd = frame;
        AS_SetReplyWaitMs(5000);
        ASSERT_TRUE(AS_StartThread());
        ASSERT_TRUE(PostThreadMessage(g_idAsThread, WM_AS_CONFIG, 0,
                                      reinterpret_cast<LPARAM>(AsServerConfig_New("bob", "bob123", "127.0.0.1", port, 0))));
        g_strUserId = "bob";
        host.sendThrough = [](const booktest::FakeHost::Command& c) {
            auto p = [](const std::string& s) { return s == "(null)" ? nullptr : s.c_str(); };
            return AS_SendCommand(c.command, p(c.s1), p(c.s2), c.i1, p(c.s3), p(c.s4), c.i2);
        };
        host.postThrough = [](const booktest::FakeHost::Request& r) { return AS_PostRequest(r.command, r.data, r.kind); };
        // Signing in, then the synchronisation fills the store.
        AsRequest* lgn = Run(AS_LGN);
        ASSERT_NE(nullptr, lgn);
        ASSERT_EQ(0, lgn->result);
        AS_FreeRequest(lgn);
        AsRequest* syn = Run(AS_SYN);
        ASSERT_NE(nullptr, syn);
        ASSERT_EQ(0, OnSyncResult(syn));
        AS_FreeRequest(syn);
        page = new contacts::CAddressBookDlg(&host);
        page->RebuildBuddyTree(nullptr);
    }
    void TearDown() override {
        delete page;
        if (CSearchDlg* s = SearchDialog()) delete s;
        if (g_idAsThread) EXPECT_TRUE(AS_StopThread(5000));
        AS_SetReplyWaitMs(0);
        Pump();
        for (AsRequest* r : answers) AS_FreeRequest(r);
        if (frame) {
            g_hMainWnd = nullptr;
            plat::UnregisterWindowTarget(frame);
        }
        server.Stop();
        BookTest::TearDown();
    }
    void Pump() {
        plat::PumpWindowMessages(frame);
        QCoreApplication::sendPostedEvents();
    }
    // Waits for the next answer of the access client.
    AsRequest* Next(int ms = 10000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (answers.empty() && std::chrono::steady_clock::now() < end) {
            Pump();
            if (answers.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (answers.empty()) return nullptr;
        AsRequest* r = answers.front();
        answers.pop_front();
        return r;
    }
    AsRequest* Run(int command, void* data = nullptr, uint32_t kind = AS_DATA_NONE) {
        EXPECT_EQ(1, AS_PostRequest(command, data, kind));
        return Next();
    }
    // The frame's own part for removals and new groups: the store takes the answer, the page rebuilds.
    int DeliverToFrame() {
        AsRequest* r = Next();
        if (!r) return -1000;
        const int result = r->result;
        const shell::BookResultEffect e = shell::ApplyBookResult(r);
        EXPECT_TRUE(e.handled) << r->command;
        if (e.boxKey) host.Box(QString::fromStdString(e.boxKey), QString::fromStdString(e.boxArg));
        if (e.rebuild & shell::REBUILD_BUDDIES) page->RebuildBuddyTree(nullptr);
        if (e.rebuild & shell::REBUILD_CARDS) page->RebuildContactTree(nullptr);
        AS_FreeRequest(r);
        Pump();
        return result;
    }
    // The frame's part: the next answer goes to the address book.
    int Deliver() {
        AsRequest* r = Next();
        if (!r) return -1000;
        const int command = r->command, result = r->result;
        EXPECT_TRUE(OnAddressBookResult(r, &host)) << command;
        Pump();
        return result;
    }
    std::string dir;
    e2e::Child server;
    int port = 0;
    HWND frame = nullptr;
    std::deque<AsRequest*> answers;
    booktest::FakeHost host;
    contacts::CAddressBookDlg* page = nullptr;
};

TEST_F(BookServer, SearchAndAddABuddy) {
    EXPECT_TRUE(page->BuddyTree()->AllLabels().contains("  Alice--Offline")) << page->BuddyTree()->AllLabels().join("|").toStdString();
    EXPECT_EQ(nullptr, Find(Root(0), "lina"));
    CSearchDlg* search = OpenSearch(&host);
    search->SetContactMode();
    search->ByNick()->click();
    search->NickEdit()->setText("li");
    search->FindUsers();
    ASSERT_EQ(0, Deliver());
    QTreeWidgetItem* lina = nullptr;
    for (int i = 0; i < search->Results()->topLevelItemCount(); ++i)
        if (search->Results()->topLevelItem(i)->text(0) == "lina") lina = search->Results()->topLevelItem(i);
    ASSERT_NE(nullptr, lina);
    EXPECT_EQ(QString("李娜"), lina->text(1));
    search->Results()->setCurrentItem(lina);
    search->AddBuddy();
    ASSERT_EQ(0, Deliver());
    AddrNode* added = Find(Root(0), "lina");
    ASSERT_NE(nullptr, added);
    EXPECT_STREQ("g-friends", added->parent->id);
    EXPECT_TRUE(page->BuddyTree()->AllLabels().contains("  李娜--Offline"));
    // A second add is refused by the server and reported.
    search->AddBuddy();
    EXPECT_EQ(201, Deliver());
    ASSERT_FALSE(host.boxes.empty());
}

TEST_F(BookServer, BlockAndUnblock) {
    CBlockListDlg blockList(&host);
    ASSERT_EQ(2, blockList.AccessList()->count());
    EXPECT_EQ(0, blockList.BlockedList()->count());
    page->BuddyTree()->setCurrentItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "carol")));
    page->BuddyTree()->OnMenuCommand(32884);
    Pump();
    ASSERT_EQ(0, Deliver());
    AddrNode* carol = Find(Root(0), "carol");
    EXPECT_TRUE(carol->flags & ADDR_FLAG_BLOCKED);
    EXPECT_EQ(IMG_BLOCK_OFFLINE, page->BuddyTree()->ItemOfNode(carol)->data(0, Qt::UserRole).toInt());
    EXPECT_EQ(1, blockList.BlockedList()->count());
    EXPECT_EQ(QString("Carol"), blockList.BlockedList()->item(0)->text());
    // Back from the block list.
    blockList.BlockedList()->setCurrentRow(0);
    blockList.Unblock();
    ASSERT_EQ(0, Deliver());
    EXPECT_FALSE(carol->flags & ADDR_FLAG_BLOCKED);
    EXPECT_EQ(2, blockList.AccessList()->count());
    EXPECT_EQ(IMG_OFFLINE, page->BuddyTree()->ItemOfNode(carol)->data(0, Qt::UserRole).toInt());
    // The chat windows heard of both requests and both answers.
    int notices = 0;
    for (const std::string& l : host.log) notices += l.rfind("broadcast", 0) == 0;
    EXPECT_EQ(4, notices);
}

TEST_F(BookServer, AddAndEditALocalContactAndFindItSaved) {
    host.exec = [](QDialog* d) {
        auto* add = static_cast<CAddUserDlg*>(d);
        // A new card starts with the language's default name.
        EXPECT_EQ(shell::LangText("addrbook_dialog", "newuser", "User"), add->Edit(1022)->text());
        add->Edit(1022)->setText("Dr. Wu");
        add->Edit(1026)->setText("13911112222");
        add->Edit(1027)->setText("wu@clinic.example");
        add->Edit(1030)->setText("8001");
        add->Edit(1028)->setText("wu.clinic");
        add->accept();
        return add->result();
    };
    OnNewUser(&host);
    ASSERT_EQ(0, Deliver());
    ASSERT_TRUE(page->CardTree()->AllLabels().contains("Dr. Wu")) << page->CardTree()->AllLabels().join("|").toStdString();
    AddrNode* card = Root(2)->child;
    ASSERT_NE(nullptr, card);
    // Every filled field reached the card, the VoIP number and the service id as well.
    for (auto [type, address] : std::vector<std::pair<uint32_t, const char*>>{
             {3, "13911112222"}, {4, "wu@clinic.example"}, {8, "8001"}, {9, "wu.clinic"}}) {
        std::string got = "(none)";
        for (AddrNode* c = card->child; c; c = c->next)
            if (c->kind == ADDR_KIND_IDENTITY && c->type == type) got = contacts::IdentityAddress(c);
        EXPECT_EQ(address, got) << "type " << type;
    }
    page->ShowCardPane();
    page->FinishSlide();
    page->CardTree()->setCurrentItem(page->CardTree()->ItemOfNode(card));
    host.exec = [](QDialog* d) {
        auto* edit = static_cast<CAddUserDlg*>(d);
        EXPECT_EQ(QString("13911112222"), edit->Edit(1026)->text());
        EXPECT_EQ(QString("8001"), edit->Edit(1030)->text());
        EXPECT_EQ(QString("wu.clinic"), edit->Edit(1028)->text());
        edit->Edit(1026)->setText("13700000000");
        edit->Edit(1025)->setText("010-1234");
        edit->accept();
        return edit->result();
    };
    page->EditSelectedCard();
    ASSERT_EQ(0, Deliver());
    const QStringList cards = page->CardTree()->AllLabels();
    EXPECT_TRUE(cards.contains("  13700000000")) << cards.join("|").toStdString();
    EXPECT_TRUE(cards.contains("  010-1234"));
    EXPECT_FALSE(cards.contains("  13911112222"));
    // The server kept it: a fresh synchronisation lists the card with its new numbers.
    AsRequest* syn = Run(AS_SYN);
    ASSERT_NE(nullptr, syn);
    auto* sync = static_cast<CAsSyncResult*>(syn->data);
    ASSERT_EQ(1u, sync->lists.size());
    EXPECT_STREQ("Dr. Wu", sync->lists[0]->listName);
    std::vector<std::pair<int, std::string>> ctis;
    for (const CAsCtiEntry* e : sync->lists[0]->ctiEntries) ctis.push_back({e->type, e->value});
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{{4, "wu@clinic.example"}, {3, "13700000000"}, {5, "010-1234"}, {8, "8001"}, {9, "wu.clinic"}}), ctis);
    AS_FreeRequest(syn);
}

TEST_F(BookServer, NewGroupsAndDeletions) {
    // Two new groups: the second takes the next free name, both get the server's ids.
    host.BookHost::FrameCommand(CMD_NEW_GROUP, nullptr);
    ASSERT_EQ(0, DeliverToFrame());
    host.BookHost::FrameCommand(CMD_NEW_GROUP, nullptr);
    ASSERT_EQ(0, DeliverToFrame());
    const std::string base = ToAnsi(shell::LangText("addrbook_dialog", "newgroup", "Group"));
    std::vector<AddrNode*> made;
    for (AddrNode* n = Root(0)->child; n; n = n->next)
        if (n->kind == ADDR_KIND_GROUP && n->id && strcmp(n->id, "g-friends") != 0) made.push_back(n);
    ASSERT_EQ(2u, made.size());
    if (base == NodeName(made[1])) std::swap(made[0], made[1]);
    EXPECT_EQ(base, NodeName(made[0]));
    EXPECT_EQ(base + "1", NodeName(made[1]));
    EXPECT_NE(std::string(made[0]->id), made[1]->id);
    const std::string second = made[1]->id;
    ASSERT_NE(nullptr, page->BuddyTree()->ItemOfNode(made[1]));
    // The empty group goes after one question.
    host.questions.clear();
    host.BookHost::FrameCommand(CMD_DELETE_GROUP, made[1]);
    EXPECT_EQ(1u, host.questions.size());
    ASSERT_EQ(0, DeliverToFrame());
    EXPECT_EQ(nullptr, Find(Root(0), second.c_str()));
    // A buddy through the page's selection: the server removes it from its group.
    page->BuddyTree()->setCurrentItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "carol")));
    host.BookHost::FrameCommand(CMD_DELETE_USER, page->GetSelectedItemData());
    ASSERT_EQ(0, DeliverToFrame());
    EXPECT_EQ(nullptr, Find(Root(0), "carol"));
    EXPECT_FALSE(page->BuddyTree()->AllLabels().contains("  Carol--Offline"));
    // A group the server does not know is refused and reported.
    Group("g-gone", "Gone", Root(0));
    host.BookHost::FrameCommand(CMD_DELETE_GROUP, Find(Root(0), "g-gone"));
    EXPECT_NE(0, DeliverToFrame());
    ASSERT_FALSE(host.boxes.empty());
    EXPECT_EQ(QString("fail_del_group"), host.boxes.back().first);
    EXPECT_NE(nullptr, Find(Root(0), "g-gone"));
    // The server's address book agrees: the first new group stays, the second and carol are gone.
    AsRequest* syn = Run(AS_SYN);
    ASSERT_NE(nullptr, syn);
    const auto* sync = syn->kind == AS_DATA_SYNC ? static_cast<const CAsSyncResult*>(syn->data) : nullptr;
    ASSERT_NE(nullptr, sync);
    std::vector<std::string> groups, buddies;
    for (const AsGroupRecord* g : sync->groups) groups.push_back(g->name ? g->name : "");
    for (const CAsBuddy* b : sync->buddies) buddies.push_back(b->uid ? b->uid : "");
    EXPECT_EQ((std::vector<std::string>{"Friends", base}), groups);
    EXPECT_EQ((std::vector<std::string>{"alice"}), buddies);
    AS_FreeRequest(syn);
}

}  // namespace
