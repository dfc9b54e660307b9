// The chat-room list, joining a room and the wait dialog, offscreen with a recording send.
#include <gtest/gtest.h>

#include <memory>

#include <QApplication>
#include <QPushButton>
#include <QTreeWidget>
#include <cstdlib>
#include <cstring>

#include "common/account.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/chat/chat_transport.h"
#include "ui/chat/chat_window.h"
#include "ui/shell/shell_config.h"
#include "tools/testsupport/install_copy.h"

namespace {

std::vector<std::pair<std::string, std::string>> g_sent;  // text, thread

int RecordSend(PresenceConnectionRec*, const char* text, std::vector<PresenceBuddyRecord>* r, const char* thid, int) {
    r->clear();
    g_sent.push_back({text ? text : "", thid ? thid : ""});
    return 0;
}

class ChatRooms : public ::testing::Test {
 protected:
    void SetUp() override {
        char tmpl[] = "/tmp/chatroomsXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root_ = tmpl;
        shell::LoadConfigPaths(install_.Path(), root_, false);
        shell::ApplyLanguageCode("eng");
        account_ = Account_New("alice", ACCOUNT_TYPE_SERVICE);
        Account_Add(account_);
        registry_.SetFactory([] {
            auto* w = new CIMDlg;
            w->SetOwnName("Alice");
            return static_cast<ChatWindowBase*>(w);
        });
        ChatWindowCore::SetRobotId(900);
        ChatSetSendFunction(RecordSend);
        g_sent.clear();
        CChatRoomDlg::SetListRequest([this] { ++requests_; });
        CChatRoomDlg::SetHooks([this](const QString&, std::string* pw) { *pw = password_; return !password_.empty(); },
                               [this](const QString& t) { boxes_ << t; },
                               [this](CChatWaitDlg* wait) { if (onWait_) onWait_(wait); });
    }
    void TearDown() override {
        registry_.CloseAll(0);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        CChatRoomDlg::SetHooks(nullptr, nullptr, nullptr);
        CChatRoomDlg::SetListRequest(nullptr);
        ChatSetSendFunction(nullptr);
        Account_Remove(account_);
        Account_Free(account_);
        std::system(("rm -rf " + root_).c_str());
    }
    void Answer(const std::string& chatId, const char* text) {
        PresenceMessageRecord r;
        presence_copy_field(r.chatId, sizeof r.chatId, chatId.c_str());
        r.sender.id = 9001;
        RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(text)), &r);
    }
    std::string root_;
    Account* account_ = nullptr;
    CChatSessionRegistry registry_;
    testsupport::InstallCopy install_;  // the windows write beside the skin
    int requests_ = 0;
    std::string password_;
    QStringList boxes_;
    std::function<void(CChatWaitDlg*)> onWait_;
    const std::vector<ChatRoomEntry> rooms_{{"q-dev", QString::fromUtf8("开发讨论"), 0}, {"q-family", QString::fromUtf8("家庭"), 1}};
};

TEST_F(ChatRooms, TheListAsksOnceAndFillsTheTree) {
    QPointer<CChatRoomDlg> slot;
    slot = new CChatRoomDlg(&registry_, &slot);
    EXPECT_EQ(1, requests_);
    slot->OnRoomList(401, {});
    EXPECT_EQ(QStringList{"There are no chat rooms at the moment."}, boxes_);
    slot->OnRoomList(0, rooms_);
    ASSERT_EQ(2, slot->Tree()->topLevelItemCount());
    EXPECT_EQ(QString::fromUtf8("家庭"), slot->Tree()->topLevelItem(1)->text(0));
    slot->Join();  // nothing chosen
    EXPECT_EQ("Please choose a chat room.", boxes_.back());
    EXPECT_TRUE(registry_.Windows().empty());
    delete slot.data();
    EXPECT_TRUE(slot.isNull());
}

TEST_F(ChatRooms, JoiningWaitsForTheRoomsAnswer) {
    CChatRoomDlg dlg(&registry_);
    dlg.OnRoomList(0, rooms_);
    dlg.Tree()->setCurrentItem(dlg.Tree()->topLevelItem(0));
    bool answeredInside = false;
    onWait_ = [&](CChatWaitDlg* wait) {
        EXPECT_EQ(wait, registry_.waitDialog);
        EXPECT_EQ(QString::fromUtf8("Joining the room [开发讨论], please wait..."), wait->Text());
        ASSERT_EQ(1u, g_sent.size());
        EXPECT_EQ("#@#START##Alice#q-dev# ", g_sent[0].first);
        Answer(g_sent[0].second, "#@#START#0#THUPDATE");
        answeredInside = wait->result() == QDialog::Accepted && !wait->m_bEndedByUser;
    };
    dlg.Join();
    EXPECT_TRUE(answeredInside);
    EXPECT_EQ(nullptr, registry_.waitDialog);
    ASSERT_EQ(1u, registry_.Windows().size());
    EXPECT_EQ("9001#", registry_.Windows()[0]->m_szChatId);  // the window stays, joined
}

TEST_F(ChatRooms, APasswordRoomAsksAndStoppingClosesTheWindow) {
    CChatRoomDlg dlg(&registry_);
    dlg.OnRoomList(0, rooms_);
    dlg.Tree()->setCurrentItem(dlg.Tree()->topLevelItem(1));
    dlg.Join();  // the password question cancelled: nothing sent
    EXPECT_TRUE(g_sent.empty());
    EXPECT_TRUE(registry_.Windows().empty());
    password_ = "1234";
    onWait_ = [&](CChatWaitDlg* wait) {
        for (int i = 0; i < 100; ++i) wait->Tick();  // ten seconds, then Stop
        EXPECT_EQ(10000, wait->Progress());
        wait->findChild<QPushButton*>()->click();
    };
    dlg.Join();
    ASSERT_GE(g_sent.size(), 1u);
    EXPECT_EQ("#@#START#1234#Alice#q-family# ", g_sent[0].first);
    EXPECT_EQ("#@#QUIT", g_sent.back().first);  // the room's window left and closed
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(registry_.Windows().empty());
}

TEST_F(ChatRooms, TheWaitTimesOutAfterAMinute) {
    CChatWaitDlg wait(&registry_);
    for (int i = 0; i < 599; ++i) wait.Tick();
    EXPECT_FALSE(wait.m_bEndedByUser);
    wait.Tick();
    EXPECT_TRUE(wait.m_bEndedByUser);
    EXPECT_EQ(CChatWaitDlg::kTimeoutMs, wait.Progress());
    EXPECT_EQ("Finish", wait.ButtonText());
    EXPECT_EQ("The room did not answer in time.", wait.Text());
    // Ticks that come late (a busy program) do not stretch the minute: the clock decides.
    qint64 now = 1000;
    CChatWaitDlg::SetClock([&now] { return now; });
    CChatWaitDlg late(&registry_);
    now += 30000;
    late.Tick();
    EXPECT_EQ(30000, late.Progress());
    EXPECT_FALSE(late.m_bEndedByUser);
    now += 30000;
    late.Tick();
    EXPECT_TRUE(late.m_bEndedByUser);
    EXPECT_EQ("Finish", late.ButtonText());
    EXPECT_EQ("The room did not answer in time.", late.Text());
    CChatWaitDlg::SetClock(nullptr);
    // Escape (a plain reject) ends it without the flag of a user's stop.
    CChatWaitDlg other(&registry_);
    other.reject();
    EXPECT_FALSE(other.m_bEndedByUser);
}

}  // namespace
