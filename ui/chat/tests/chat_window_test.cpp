// The chat window offscreen: typing and sending through a fake messaging connection, receiving through
// the router, Enter against Ctrl+Enter, emoticons both ways, links that need a yes, closing a room.
#include <gtest/gtest.h>

#include <memory>

#include <QApplication>
#include <QComboBox>
#include <QTest>
#include <QTextDocument>
#include <QUrl>
#include <cstdlib>
#include <cstring>

#include "common/account.h"
#include "platform/codepage.h"
#include "ui/chat/chat_emoticon_popup.h"
#include "ui/chat/chat_transport.h"
#include "ui/chat/chat_window.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/rich_edit.h"
#include "ui/shell/shell_config.h"
#include "skin_ini_guard.h"

namespace {

struct Sent {
    std::string text;
    std::vector<int> to;
    std::string thid;
    int kind;
};
std::vector<Sent> g_sent;

int RecordSend(PresenceConnectionRec*, const char* text, std::vector<PresenceBuddyRecord>* recipients, const char* thid,
               int kind) {
    Sent s{text ? text : "", {}, thid ? thid : "", kind};
    for (auto& b : *recipients) s.to.push_back(b.id);
    recipients->clear();
    g_sent.push_back(s);
    return 0;
}

PresenceBuddyRecord Buddy(int id, const char* name, int online = 1) {
    PresenceBuddyRecord b;
    b.id = id;
    b.online = online;
    presence_copy_field(b.name, sizeof b.name, plat::Utf8ToAnsi(name).c_str());
    return b;
}

class ChatWindow : public ::testing::Test {
 protected:
    void SetUp() override {
        char tmpl[] = "/tmp/chatwinXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root_ = tmpl;
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, root_, false);
        shell::ApplyLanguageCode("eng");
        skinGuard_ = std::make_unique<SkinIniGuard>();
        records_.SetRoot(root_ + "/records");
        account_ = Account_New("10001", ACCOUNT_TYPE_SERVICE);
        Account_Add(account_);
        registry_.SetFactory([this] {
            auto* w = new CIMDlg;
            w->SetRecords(&records_);
            w->SetOwnName(plat::Utf8ToAnsi("Me"));
            return static_cast<ChatWindowBase*>(w);
        });
        g_sent.clear();
        ChatSetSendFunction(RecordSend);
        ChatWindowCore::SetRobotId(900);
    }
    void TearDown() override {
        registry_.CloseAll(0);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ChatSetSendFunction(nullptr);
        Account_Remove(account_);
        Account_Free(account_);
        chat::SetLinkHooks(nullptr, nullptr);
        std::system(("rm -rf " + root_).c_str());
    }
    CIMDlg* OpenOne() {
        std::vector<PresenceBuddyRecord> m{Buddy(5, "Ann")};
        EXPECT_EQ(1, registry_.OpenChat(CHAT_ONE, &m, nullptr, nullptr, 1));
        return static_cast<CIMDlg*>(registry_.Windows().back());
    }
    std::string root_;
    ChatRecordFile records_;
    Account* account_ = nullptr;
    CChatSessionRegistry registry_;
    std::unique_ptr<SkinIniGuard> skinGuard_;
};

TEST_F(ChatWindow, TypedTextIsSentShownAndRecorded) {
    CIMDlg* w = OpenOne();
    ASSERT_TRUE(w->isVisible());
    EXPECT_GE(w->minimumWidth(), 540);
    EXPECT_GE(w->minimumHeight(), 390);
    EXPECT_EQ("Messages - Ann", w->Caption());
    w->Input()->setFocus();
    QTest::keyClicks(w->Input(), "hello ");
    w->Input()->insertPlainText(QString::fromUtf8("你好"));
    QTest::keyClick(w->Input(), Qt::Key_Return);
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ(plat::Utf8ToAnsi("hello 你好"), g_sent[0].text);  // the messaging code page
    EXPECT_EQ(std::vector<int>{5}, g_sent[0].to);
    EXPECT_EQ(0, g_sent[0].kind);
    EXPECT_TRUE(w->Input()->toPlainText().isEmpty());
    EXPECT_TRUE(w->HistoryText().contains(QString::fromUtf8("hello 你好")));
    EXPECT_TRUE(w->HistoryText().contains("Me"));
    std::vector<ChatRecordRow> rows;
    records_.ScanFolder(5, {}, &rows);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(plat::Utf8ToAnsi("hello 你好"), rows[0].content);

    // Ctrl+Enter adds a line while Enter sends; the other way round after the switch.
    QTest::keyClicks(w->Input(), "two");
    QTest::keyClick(w->Input(), Qt::Key_Return, Qt::ControlModifier);
    QTest::keyClicks(w->Input(), "lines");
    EXPECT_EQ(1u, g_sent.size());
    EXPECT_EQ("two\nlines", w->Input()->toPlainText());
    w->m_bEnterSends = 0;
    QTest::keyClick(w->Input(), Qt::Key_Return);
    EXPECT_EQ(1u, g_sent.size());
    QTest::keyClick(w->Input(), Qt::Key_Return, Qt::ControlModifier);
    ASSERT_EQ(2u, g_sent.size());
    EXPECT_EQ("two\nlines", g_sent[1].text);
}

TEST_F(ChatWindow, PlacementStaysOnTheScreen) {
    const QRect screen(0, 0, 1024, 768);
    EXPECT_EQ(QRect(1, 1, 623, 398), chat::PlaceChatWindow(0, -5, 623, 398, screen));
    EXPECT_EQ(QRect(1024 - 623, 768 - 27 - 398, 623, 398), chat::PlaceChatWindow(900, 700, 623, 398, screen));
    EXPECT_EQ(QRect(10, 10, 540, 390), chat::PlaceChatWindow(10, 10, 100, 100, screen));
}

TEST_F(ChatWindow, ReceivedTextAppearsInTheRightWindow) {
    CIMDlg* w = OpenOne();
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, w->m_szChatId.c_str());
    r.sender = Buddy(5, "Ann");
    r.time = static_cast<int32_t>(time(nullptr));
    char* text = strdup(plat::Utf8ToAnsi("早上好 /:) see http://example.com/a").c_str());
    EXPECT_EQ(1, RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(text), &r));
    EXPECT_EQ(1u, registry_.Windows().size());
    EXPECT_TRUE(w->HistoryText().contains(QString::fromUtf8("早上好")));
    EXPECT_TRUE(w->History()->toHtml().contains("emoticon:0"));
    EXPECT_TRUE(w->History()->toHtml().contains("http://example.com/a"));

    // A new peer opens a window of its own.
    presence_copy_field(r.chatId, sizeof r.chatId, "0_20002_9");
    r.sender = Buddy(6, "Bob");
    RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup("hi")), &r);
    ASSERT_EQ(2u, registry_.Windows().size());
    auto* bob = static_cast<CIMDlg*>(registry_.Windows().back());
    EXPECT_TRUE(bob->isVisible());
    EXPECT_TRUE(bob->HistoryText().contains("hi"));
    EXPECT_EQ("Messages - Bob", bob->Caption());
}

TEST_F(ChatWindow, LinksOpenOnlyAfterAYesAndOnlyForTheWeb) {
    QStringList asked;
    std::vector<QUrl> opened;
    bool answer = false;
    chat::SetLinkHooks([&](const QString& link) { asked << link; return answer; },
                       [&](const QUrl& url) { opened.push_back(url); });
    EXPECT_FALSE(chat::ConfirmAndOpenLink(nullptr, "file:///etc/passwd"));
    EXPECT_FALSE(chat::ConfirmAndOpenLink(nullptr, "javascript:alert(1)"));
    EXPECT_TRUE(asked.isEmpty());
    EXPECT_FALSE(chat::ConfirmAndOpenLink(nullptr, "http://example.com"));
    EXPECT_EQ(1, asked.size());
    EXPECT_TRUE(opened.empty());
    answer = true;
    EXPECT_TRUE(chat::ConfirmAndOpenLink(nullptr, "www.example.com"));
    EXPECT_TRUE(chat::ConfirmAndOpenLink(nullptr, "mailto:ann@example.com"));
    ASSERT_EQ(2u, opened.size());
    EXPECT_EQ("http://www.example.com", opened[0].toString());
}

TEST_F(ChatWindow, EmoticonsGoInAsPicturesAndOutAsCodes) {
    CIMDlg* w = OpenOne();
    CEmoticonPopup popup(w, 1);
    EXPECT_EQ(QSize(302, 152), popup.size());
    EXPECT_EQ(5, popup.Rows());
    EXPECT_EQ(-1, popup.CellAt(QPoint(0, 0)));
    EXPECT_EQ(11, popup.CellAt(QPoint(40, 40)));
    EXPECT_EQ(QPoint(1000 - 302, 480 - 152 - 20),
              CEmoticonPopup::Placed(QPoint(900, 480), popup.size(), QRect(0, 0, 1000, 500), 20));
    // A click on a cell chooses it even without a move over it first.
    popup.show();
    QTest::mouseClick(&popup, Qt::LeftButton, {}, popup.CellRect(3).center());
    QApplication::sendPostedEvents(w);
    EXPECT_EQ(1u, w->Input()->ImageCodeCount());
    EXPECT_EQ("/:(", w->Input()->GetTextWithImageCodes(false, nullptr));
    // Typed codes become pictures in characters, so Chinese text before them is untouched.
    w->Input()->clear();
    w->Input()->insertPlainText(QString::fromUtf8("中文/:D好"));
    EXPECT_EQ(1, w->InsertEmoticonImages(0, 100));
    EXPECT_EQ(plat::Utf8ToAnsi("中文/:D好"), w->Input()->GetTextWithImageCodes(false, nullptr));
    EXPECT_EQ(QString::fromUtf8("中文"), w->Input()->toPlainText().left(2));
}

TEST_F(ChatWindow, ClosingARoomLeavesItAndAOneToOneChatSendsNothing) {
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1));
    auto* room = static_cast<CIMDlg*>(registry_.Windows().back());
    EXPECT_FALSE(room->isVisible());
    EXPECT_TRUE(room->Caption().contains("Chat room"));
    g_sent.clear();
    room->close();
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ("#@#QUIT", g_sent[0].text);
    EXPECT_EQ(0, registry_.ContainsDialog(room));
    CIMDlg* one = OpenOne();
    one->close();
    EXPECT_EQ(1u, g_sent.size());
}

TEST_F(ChatWindow, PushToTalkSendsAVoiceMessageAndRespectsTheDevice) {
    CIMDlg* w = OpenOne();
    int device = 0;
    CIMDlg::SetCaptureProbe([&] { return device; });
    QApplication::sendEvent(w, new WindowMessageEvent(WM_PTT_PRESS, 0, 0));
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ(3, g_sent[0].kind);
    device = 1;
    WindowMessageEvent press(WM_PTT_PRESS, 0, 0);
    QApplication::sendEvent(w, &press);
    EXPECT_EQ(1u, g_sent.size());
    EXPECT_TRUE(w->HistoryText().contains("No Audio device!"));
    CIMDlg::SetCaptureProbe(nullptr);
}

}  // namespace
