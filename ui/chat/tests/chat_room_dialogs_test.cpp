// The chat-room list, joining a room and the wait dialog, offscreen with a recording send.
#include <gtest/gtest.h>

#include <memory>

#include <QApplication>
#include <QTest>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <cstdlib>
#include <cstring>

#include "common/account.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/chat/chat_transport.h"
#include "ui/chat/chat_window.h"
#include "ui/shell/identity_dialogs.h"
#include "ui/shell/dialog_box.h"
#include "service/as_records.h"
#include <QLineEdit>
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
        SetProfiles({"Alice"});
        shell::SetDialogBoxHook([this](const QString& t, const QString&) { boxes_ << t; });
        CChatRoomDlg::SetHooks([this](QDialog* d) { return RunDialog(d); },
                               [this](const QString& t) { boxes_ << t; },
                               [this](CChatWaitDlg* wait) { if (onWait_) onWait_(wait); });
    }
    void TearDown() override {
        g_profileList.Clear();
        shell::SetDialogBoxHook(nullptr);
        registry_.CloseAll(0);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        CChatRoomDlg::SetHooks(nullptr, nullptr, nullptr);
        CChatRoomDlg::SetListRequest(nullptr);
        ChatSetSendFunction(nullptr);
        Account_Remove(account_);
        Account_Free(account_);
        std::system(("rm -rf " + root_).c_str());
    }
    void Answer(const std::string& chatId, const char* text, int sender = 900) {  // 900: the robot
        PresenceMessageRecord r;
        presence_copy_field(r.chatId, sizeof r.chatId, chatId.c_str());
        r.sender.id = sender;
        RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(text)), &r);
    }
    static void SetProfiles(const std::vector<const char*>& names) {
        g_profileList.Clear();
        int n = 0;
        for (const char* name : names) {
            auto* e = new AsProfileEntry;
            e->id = strdup(("p" + std::to_string(++n)).c_str());
            e->name = strdup(name);
            g_profileList.entries.push_back(e);
        }
    }
    // The identity and password dialogs as a user answers them: the password typed (none: cancelled),
    // the identity row chosen (-1: none clicked). Each shown dialog is noted.
    int RunDialog(QDialog* d) {
        shown_ << d->objectName();
        if (auto* pw = qobject_cast<CPasswordDlg*>(d)) {
            if (password_.empty()) return QDialog::Rejected;
            pw->PasswordEdit()->setText(QString::fromStdString(password_));
            return pw->OnOK() ? QDialog::Accepted : QDialog::Rejected;
        }
        if (auto* id = qobject_cast<CSelectIdentityDlg*>(d)) {
            passwordAsked_ = id->PasswordEdit()->isEnabled();
            if (cancelIdentity_) return QDialog::Rejected;
            for (int i = 0; i < id->List()->topLevelItemCount(); ++i)
                if (id->List()->topLevelItem(i)->text(0) == identityPick_) id->List()->setCurrentItem(id->List()->topLevelItem(i));
            id->PasswordEdit()->setText(QString::fromStdString(password_));
            return id->OnOK() ? QDialog::Accepted : QDialog::Rejected;
        }
        return QDialog::Rejected;
    }
    QStringList shown_;
    bool passwordAsked_ = false, cancelIdentity_ = false;
    QString identityPick_;  // the identity row clicked; empty: none
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

TEST_F(ChatRooms, ANewListReplacesTheRowsAndAnEmptyOneSaysNothing) {
    CChatRoomDlg dlg(&registry_);
    dlg.OnRoomList(0, &rooms_);
    const std::vector<ChatRoomEntry> one{{"q-x", "X", 0}};
    dlg.OnRoomList(0, &one);
    ASSERT_EQ(1, dlg.Tree()->topLevelItemCount());
    EXPECT_EQ("X", dlg.Tree()->topLevelItem(0)->text(0));
    const std::vector<ChatRoomEntry> none;
    dlg.OnRoomList(0, &none);
    EXPECT_EQ(0, dlg.Tree()->topLevelItemCount());
    EXPECT_TRUE(boxes_.isEmpty());
}

// The list's hint names its Enter button as the button reads, in either language.
TEST_F(ChatRooms, TheHintNamesTheEnterButtonAsItReads) {
    for (const char* language : {"eng", "chs"}) {
        shell::ApplyLanguageCode(language);
        CChatRoomDlg dlg(&registry_);
        QString button, hint;
        for (QPushButton* b : dlg.findChildren<QPushButton*>())
            if (b->isDefault()) button = b->text().remove(QRegularExpression("\\(&.\\)|&"));
        for (QLabel* l : dlg.findChildren<QLabel*>()) hint += l->text();
        ASSERT_FALSE(button.isEmpty()) << language;
        EXPECT_TRUE(hint.contains(button)) << language << ": " << hint.toStdString() << " / " << button.toStdString();
    }
    shell::ApplyLanguageCode("eng");
}

TEST_F(ChatRooms, TheListAsksOnceAndFillsTheTree) {
    QPointer<CChatRoomDlg> slot;
    slot = new CChatRoomDlg(&registry_, &slot);
    EXPECT_EQ(1, requests_);
    slot->OnRoomList(401, nullptr);
    EXPECT_EQ(QStringList{"There are no chat rooms at the moment."}, boxes_);
    slot->OnRoomList(0, &rooms_);
    ASSERT_EQ(2, slot->Tree()->topLevelItemCount());
    EXPECT_EQ(QString::fromUtf8("家庭"), slot->Tree()->topLevelItem(1)->text(0));
    slot->Join();  // nothing chosen
    EXPECT_EQ("Please choose a chat room.", boxes_.back());
    EXPECT_TRUE(registry_.Windows().empty());
    delete slot.data();
    EXPECT_TRUE(slot.isNull());
    // Escape ends the frame's list as closing does.
    slot = new CChatRoomDlg(&registry_, &slot);
    slot->show();
    QTest::keyClick(slot.data(), Qt::Key_Escape);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(slot.isNull());
}

TEST_F(ChatRooms, JoiningWaitsForTheRoomsAnswer) {
    CChatRoomDlg dlg(&registry_);
    dlg.OnRoomList(0, &rooms_);
    dlg.Tree()->setCurrentItem(dlg.Tree()->topLevelItem(0));
    bool answeredInside = false;
    onWait_ = [&](CChatWaitDlg* wait) {
        EXPECT_EQ(wait, registry_.waitDialog);
        EXPECT_EQ(QString::fromUtf8("Joining the room [开发讨论], please wait..."), wait->Text());
        ASSERT_EQ(1u, g_sent.size());
        EXPECT_EQ("#@#START##Alice#q-dev# ", g_sent[0].first);
        Answer(g_sent[0].second, "#@#START#0#THUPDATE", 9001);  // the room's thread
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
    dlg.OnRoomList(0, &rooms_);
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

// The identity step: one identity enters without a question (a password room asks only the password);
// several always bring the chooser, with its password field only for a password room; the chosen
// identity is the name the room hears in START.
TEST_F(ChatRooms, TheIdentityStepAsksWhatTheRoomAndTheAccountNeed) {
    struct Case {
        std::vector<const char*> profiles;
        int room;  // 0 open, 1 password
        std::string password;
        const char* pick;  // the identity clicked, "" none
        QStringList dialogs;
        bool passwordField;
        std::string start;  // "" nothing sent
    };
    const std::vector<Case> cases = {
        {{"Alice"}, 0, "", "", {}, false, "#@#START##Alice#q-dev# "},
        {{"Alice"}, 1, "77", "", {"passwordDlg"}, false, "#@#START#77#Alice#q-family# "},
        {{"Alice"}, 1, "", "", {"passwordDlg"}, false, ""},  // cancelled
        {{"Alice", "Boss"}, 0, "", "Boss", {"selectIdentityDlg"}, false, "#@#START##Boss#q-dev# "},
        {{"Alice", "Boss"}, 1, "9", "Alice", {"selectIdentityDlg"}, true, "#@#START#9#Alice#q-family# "},
        {{"Alice", "Boss"}, 1, "", "Alice", {"selectIdentityDlg"}, true, ""},  // refused in the dialog
        {{}, 0, "", "", {"selectIdentityDlg"}, false, ""},  // no identity at all
    };
    onWait_ = [](CChatWaitDlg* wait) { wait->Answered(); };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SetProfiles(c.profiles);
        shown_.clear();
        passwordAsked_ = false;
        g_sent.clear();
        password_ = c.password;
        identityPick_ = c.pick;
        CChatRoomDlg dlg(&registry_);
        dlg.OnRoomList(0, &rooms_);
        dlg.Tree()->setCurrentItem(dlg.Tree()->topLevelItem(c.room));
        dlg.Join();
        EXPECT_EQ(c.dialogs, shown_) << i;
        EXPECT_EQ(c.passwordField, passwordAsked_) << i;
        EXPECT_EQ(c.start, g_sent.empty() ? std::string() : g_sent[0].first) << i;
        registry_.CloseAll(0);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // Cancelling the chooser abandons the join before anything is sent.
    SetProfiles({"Alice", "Boss"});
    cancelIdentity_ = true;
    g_sent.clear();
    CChatRoomDlg dlg(&registry_);
    dlg.OnRoomList(0, &rooms_);
    dlg.Tree()->setCurrentItem(dlg.Tree()->topLevelItem(0));
    dlg.Join();
    EXPECT_TRUE(g_sent.empty());
    EXPECT_TRUE(registry_.Windows().empty());
}

TEST_F(ChatRooms, TheWaitTimesOutAfterAMinute) {
    CChatWaitDlg wait(&registry_);
    EXPECT_TRUE(wait.Animating());
    EXPECT_EQ("&Stop", wait.ButtonText());  // Alt+S stops the wait
    for (int i = 0; i < 599; ++i) wait.Tick();
    EXPECT_FALSE(wait.m_bEndedByUser);
    wait.Tick();
    EXPECT_TRUE(wait.m_bEndedByUser);
    EXPECT_EQ(CChatWaitDlg::kTimeoutMs, wait.Progress());
    EXPECT_EQ("Finish", wait.ButtonText());
    EXPECT_EQ("The room did not answer in time.", wait.Text());
    // Escape (a plain reject) ends it without the flag of a user's stop.
    CChatWaitDlg other(&registry_);
    other.reject();
    EXPECT_FALSE(other.m_bEndedByUser);
    EXPECT_FALSE(other.Animating());
}

}  // namespace
