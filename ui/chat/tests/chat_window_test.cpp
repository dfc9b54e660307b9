// The chat window offscreen: typing and sending through a fake messaging connection, receiving through
// the router, Enter against Ctrl+Enter, emoticons both ways, links that need a yes, closing a room.
#include <array>
#include <gtest/gtest.h>

#include <memory>

#include <QFile>
#include <QAbstractButton>
#include <QSignalSpy>
#include <QAction>
#include <QClipboard>
#include <QImage>
#include <QMenu>
#include <QMimeData>
#include <QRegularExpression>
#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QPointer>
#include <QListWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <map>
#include <set>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTest>
#include <QToolButton>
#include <QTimer>
#include <QTextDocument>
#include <QToolButton>
#include <QUrl>
#include <chrono>
#include <ctime>
#include <functional>
#include <cstdlib>
#include <cstring>

#include "common/account.h"
#include "service/presence_core.h"
#include "common/addrbook.h"
#include "platform/codepage.h"
#include "ui/chat/chat_art.h"
#include "ui/chat/chat_book.h"
#include "ui/chat/chat_emoticon_popup.h"
#include "ui/chat/chat_record_view.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/chat/chat_skin_panel.h"
#include "ui/chat/chat_transport.h"
#include "ui/chat/chat_window.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/statics.h"
#include "ui/shell/book_results.h"
#include "ui/shell/shell_config.h"
#include "tools/testsupport/install_copy.h"

namespace {

struct Sent {
    std::string text;
    std::vector<int> to;
    std::string thid;
    int kind;
};
std::vector<Sent> g_sent;
int g_sendAnswer = 0;  // what the send answers (-1: refused, as without a link)

int RecordSend(PresenceConnectionRec*, const char* text, std::vector<PresenceBuddyRecord>* recipients, const char* thid,
               int kind) {
    Sent s{text ? text : "", {}, thid ? thid : "", kind};
    for (auto& b : *recipients) s.to.push_back(b.id);
    recipients->clear();
    g_sent.push_back(s);
    return g_sendAnswer;
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
        shell::LoadConfigPaths(install_.Path(), root_, false);
        shell::ApplyLanguageCode("eng");
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
        g_sendAnswer = 0;
        ChatSetSendFunction(RecordSend);
        ChatWindowCore::SetRobotId(900);
        ChatWindowCore::SetNicknameSource([] { return std::string("Nick"); });
    }
    void TearDown() override {
        ChatWindowCore::SetNicknameSource(nullptr);
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
    testsupport::InstallCopy install_;  // the windows write beside the skin
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
    // The break goes at the end of the input, wherever the caret is.
    w->Input()->moveCursor(QTextCursor::Start);
    QTest::keyClick(w->Input(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ("two\nlines\n", w->Input()->toPlainText());
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

// Every new window opens at the place the last one closed at ([imconfig] of the skin ini).
TEST_F(ChatWindow, NewWindowsOpenAtTheSavedPlace) {
    CIMDlg* ann = OpenOne();
    std::vector<PresenceBuddyRecord> bob{Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ONE, &bob, nullptr, nullptr, 1));
    auto* second = static_cast<CIMDlg*>(registry_.Windows().back());
    ASSERT_NE(ann, second);
    EXPECT_EQ(ann->geometry().topLeft(), second->geometry().topLeft());
}

// The picker stays on the screen: left of the right edge, above its button near the bottom, and at the
// top when the screen is too short for either.
TEST_F(ChatWindow, TheEmoticonPickerStaysOnTheScreen) {
    const QSize size(302, 152);
    const QRect screen(0, 0, 1000, 500);
    EXPECT_EQ(QPoint(100, 220), CEmoticonPopup::Placed(QPoint(100, 220), size, screen, 20));
    EXPECT_EQ(QPoint(1000 - 302, 300), CEmoticonPopup::Placed(QPoint(950, 300), size, screen, 20));
    EXPECT_EQ(QPoint(0, 300), CEmoticonPopup::Placed(QPoint(-40, 300), size, screen, 20));
    EXPECT_EQ(QPoint(100, 470 - 152 - 20), CEmoticonPopup::Placed(QPoint(100, 470), size, screen, 20));
    EXPECT_EQ(QPoint(100, 0), CEmoticonPopup::Placed(QPoint(100, 120), size, QRect(0, 0, 1000, 200), 20));
    // Opened from a window at the bottom of the screen, the picker is wholly on it.
    CIMDlg* w = OpenOne();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    w->move(area.left() + 10, area.bottom() - w->height() + 1);
    w->show();
    QApplication::processEvents();
    w->CommandAction(32823)->trigger();
    auto* popup = w->findChild<CEmoticonPopup*>();
    ASSERT_NE(nullptr, popup);
    EXPECT_TRUE(area.contains(popup->geometry())) << popup->geometry().x() << "," << popup->geometry().y();
    popup->close();
}

// Titles in both languages: the room's kind and name spaced in English, the participants counted with
// their measure word in Chinese.
TEST_F(ChatWindow, TitlesReadWellInBothLanguages) {
    std::vector<PresenceBuddyRecord> team{Buddy(5, "Ann"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &team, nullptr, nullptr, 1));
    auto* several = static_cast<CIMDlg*>(registry_.Windows().back());
    ChatSessionRecord lounge;
    presence_copy_field(lounge.name, sizeof lounge.name, "Lounge");
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", &lounge, 1));
    auto* room = static_cast<CIMDlg*>(registry_.Windows().back());
    EXPECT_EQ("3 participants", several->TitleText());
    // A room's caption is the window's own text alone; its title line names the room.
    EXPECT_EQ("(Chat room) Lounge", room->TitleText());
    EXPECT_EQ("Messages", room->Caption());
    room->OnLanguageChanged();
    EXPECT_EQ("(Chat room) Lounge", room->TitleText());
    shell::ApplyLanguageCode("chs");
    several->OnLanguageChanged();
    room->OnLanguageChanged();
    // The set-up counts the user as well; the texts' title counts the members.
    EXPECT_EQ(QString::fromUtf8("2 位参与者"), several->TitleText());
    EXPECT_EQ(QString::fromUtf8("(聊天室)Lounge"), room->TitleText());
    shell::ApplyLanguageCode("eng");
    // Once the room lists more than the user, its title counts them.
    room->OnRoomNotice(1, 0, "");
    room->OnRoomNotice(1, 0, "31,Cat");
    EXPECT_EQ(QString::fromUtf8("(聊天室)Lounge"), room->TitleText()) << "the title is made when the texts are loaded";
    room->OnLanguageChanged();
    EXPECT_EQ("2 participants", room->TitleText());
}

// After a language change the caption is the window's name alone, whatever the title shows, and stays so.
TEST_F(ChatWindow, ALanguageChangeLeavesTheCaptionWithoutTheTitle) {
    CIMDlg* w = OpenOne();
    EXPECT_EQ("Messages - Ann", w->Caption());
    shell::ApplyLanguageCode("chs");
    w->OnLanguageChanged();
    EXPECT_EQ(shell::LangText("im_dlg", "im_title", ""), w->Caption());
    EXPECT_TRUE(w->TitleText().startsWith("Ann"));
    shell::ApplyLanguageCode("eng");
    w->OnLanguageChanged();
    PresenceBuddyRecord away = Buddy(5, "Ann", 0);
    w->SendChatMessage(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(&away));
    EXPECT_EQ("Messages", w->Caption());
}

// The member area's state buttons show the skin's state pictures, plain, selected under the mouse, and
// the "disable" form while disabled.
TEST_F(ChatWindow, StateButtonsShowTheSkinsPictures) {
    std::vector<PresenceBuddyRecord> team{Buddy(5, "Ann"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &team, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    auto picture = [](const char* name) {
        return ctl::KeyedPixmap(ctl::LoadBitmapFile(shell::SkinFile(name)), RGB(255, 0, 255)).toImage().convertToFormat(QImage::Format_ARGB32);
    };
    struct Case {
        const char* button;
        const char* normal;
        const char* selected;
    } cases[] = {{"memberArrow", "im_state_rightnormal.bmp", "im_state_rightselect.bmp"},
                 {"memberStrip", "im_state_normal.bmp", "im_state_select.bmp"}};
    for (const Case& c : cases) {
        auto* button = w->findChild<QToolButton*>(c.button);
        ASSERT_NE(nullptr, button) << c.button;
        EXPECT_EQ(Qt::NoArrow, button->arrowType()) << c.button;
        const QSize size(14, 18);
        auto shown = [&](QIcon::Mode mode) { return button->icon().pixmap(size, 1.0, mode).toImage().convertToFormat(QImage::Format_ARGB32); };
        EXPECT_EQ(picture(c.normal), shown(QIcon::Normal)) << c.button;
        EXPECT_EQ(picture(c.selected), shown(QIcon::Active)) << c.button;
        EXPECT_EQ(picture((std::string("disable") + c.normal).c_str()), shown(QIcon::Disabled)) << c.button;
    }
}

// The bottom row ("Hold to talk", "Send") lies wholly inside the window, at the default size, at the
// smallest size, with the splitter dragged as low as it goes, in a one-to-one and a several-user window.
TEST_F(ChatWindow, TheButtonRowLiesInsideTheWindow) {
    std::vector<PresenceBuddyRecord> team{Buddy(5, "Ann"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &team, nullptr, nullptr, 1));
    auto* several = static_cast<CIMDlg*>(registry_.Windows().back());
    for (CIMDlg* w : {OpenOne(), several}) {
        w->show();
        for (QSize size : {QSize(623, 398), w->minimumSize(), QSize(800, 600)}) {
            for (bool dragged : {false, true}) {
                w->resize(size);
                QApplication::processEvents();
                if (dragged) {
                    auto* bar = w->findChild<QWidget*>("splitter1086");
                    ASSERT_NE(nullptr, bar);
                    const QPoint from = bar->rect().center();
                    QTest::mousePress(bar, Qt::LeftButton, {}, from);
                    QTest::mouseMove(bar, from + QPoint(0, 400));
                    QTest::mouseRelease(bar, Qt::LeftButton, {}, from + QPoint(0, 400));
                    QApplication::processEvents();
                }
                EXPECT_GE(w->History()->height(), 160) << w->width() << "x" << w->height();
                for (const char* name : {"sendButton", "pttButton"}) {
                    auto* button = w->findChild<QWidget*>(name);
                    ASSERT_NE(nullptr, button) << name;
                    const QRect placed(button->mapTo(w, QPoint(0, 0)), button->size());
                    EXPECT_TRUE(button->isVisibleTo(w)) << name;
                    EXPECT_GE(button->height(), button->minimumHeight()) << name;
                    EXPECT_TRUE(w->rect().contains(placed)) << name << " at " << placed.y() << "+" << placed.height() << " in "
                                                            << w->width() << "x" << w->height() << (dragged ? " dragged" : "");
                    // No pane on the way clips it either.
                    for (QWidget* p = button->parentWidget(); p && p != w; p = p->parentWidget())
                        EXPECT_TRUE(p->rect().contains(QRect(button->mapTo(p, QPoint(0, 0)), button->size())))
                            << name << " clipped by " << p->metaObject()->className() << " " << p->height();
                }
            }
        }
    }
}

// The language file writes the key after a caption ("Chat &history   Ctrl+R"); the menu shows the action's
// own shortcut, so the caption drops the written one and the key reads once.
TEST_F(ChatWindow, MenuCaptionsNameTheirKeyOnce) {
    CIMDlg* w = OpenOne();
    constexpr int kViewRecords = 32805, kClose = 32806;
    for (const char* code : {"eng", "chs"}) {
        shell::ApplyLanguageCode(code);
        w->OnLanguageChanged();
        for (QAction* a : {w->CommandAction(kViewRecords), w->CommandAction(kClose)}) {
            ASSERT_NE(nullptr, a);
            EXPECT_FALSE(a->shortcut().isEmpty());
            EXPECT_FALSE(a->text().contains(a->shortcut().toString(QKeySequence::NativeText))) << a->text().toStdString();
            EXPECT_EQ(a->text(), a->text().trimmed());
        }
    }
    shell::ApplyLanguageCode("eng");
}

// A selected row keeps its icon: the glyph's selected form is light on the highlight, not the blue of
// its normal form.
TEST_F(ChatWindow, GlyphIconsShowOnASelectedRow) {
    auto lightness = [](const QImage& img) {
        long sum = 0, n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (qAlpha(img.pixel(x, y)) > 128) sum += QColor(img.pixel(x, y)).lightness(), ++n;
        return n ? sum / n : -1;
    };
    for (chat::Glyph g : {chat::Glyph::Smile, chat::Glyph::Voice, chat::Glyph::Person, chat::Glyph::Search}) {
        const QIcon icon = chat::GlyphIcon(g);
        const QImage normal = icon.pixmap(16, QIcon::Normal).toImage(), selected = icon.pixmap(16, QIcon::Selected).toImage();
        EXPECT_LT(lightness(normal), 150);
        EXPECT_GT(lightness(selected), 190);
    }
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

// A received text of emoticon codes shows in time that grows with its length, in the chat window and in
// the record browser's view: eight times the codes take about eight times as long, not 64 times (the
// square). Each size is timed here, the best of three, so a busy machine slows both alike.
TEST_F(ChatWindow, ShowingCodesTakesTimeInProportionToTheirNumber) {
    CIMDlg* w = OpenOne();
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, w->m_szChatId.c_str());
    r.sender = Buddy(5, "Ann");
    r.time = static_cast<int32_t>(time(nullptr));
    CChatRecordView view;
    view.resize(480, 320);
    view.show();
    const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> shows = {
        {"chat window", [&](const std::string& text) {
             RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(text.c_str())), &r);
         }},
        {"record view", [&](const std::string& text) { view.ShowContent(0, QString::fromStdString(text)); }},
    };
    auto codes = [](int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += "/:)";
        return text;
    };
    for (const auto& [what, show] : shows) {
        SCOPED_TRACE(what);
        auto best = [&](const std::string& text) {
            // This thread's own CPU time: other work on a busy machine does not count against it.
            auto cpu = [] {
                timespec t{};
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
                return t.tv_sec + t.tv_nsec / 1e9;
            };
            double seconds = 1e9;
            for (int i = 0; i < 5; ++i) {
                const double start = cpu();
                show(text);
                QApplication::processEvents();
                seconds = std::min(seconds, cpu() - start);
            }
            return seconds;
        };
        best(codes(50));  // the first pictures are drawn once
        const double small = best(codes(500)), large = best(codes(4000));
        EXPECT_LT(large, 16 * small) << small << " s for 500 codes, " << large << " s for 4000";
    }
    EXPECT_TRUE(w->History()->toHtml().contains("emoticon:0"));
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
    // The cell the mouse went over is the choice.
    popup.show();
    QTest::mouseMove(&popup, popup.CellRect(3).center());
    QTest::mouseClick(&popup, Qt::LeftButton, {}, popup.CellRect(3).center());
    QApplication::sendPostedEvents(w);
    EXPECT_EQ(1u, w->Input()->ImageCodeCount());
    EXPECT_EQ("/:(", w->Input()->GetTextWithImageCodes(false, nullptr));
    // Typed codes become pictures in characters, so Chinese text before them is untouched.
    w->Input()->clear();
    w->Input()->insertPlainText(QString::fromUtf8("中文/:D好"));
    EXPECT_EQ(1, w->InsertEmoticonImages(0, 100));  // the change made the picture already
    EXPECT_EQ(2u, w->Input()->ImageCodeCount());
    EXPECT_EQ(plat::Utf8ToAnsi("中文/:D好"), w->Input()->GetTextWithImageCodes(false, nullptr));
    EXPECT_EQ(QString::fromUtf8("中文"), w->Input()->toPlainText().left(2));
    // Three letters and a code typed with the change notices off: one picture, the code's length less one taken.
    w->Input()->clear();
    const size_t pictures = w->Input()->ImageCodeCount();
    const unsigned mask = w->Input()->NotifyMask();
    w->Input()->SetNotifyMask(0);
    w->Input()->insertPlainText("abc/:D");
    w->Input()->SetNotifyMask(mask);
    int removed = -1;
    EXPECT_EQ(0, w->InsertEmoticonImages(0, 100, &removed));
    EXPECT_EQ(2, removed);
    EXPECT_EQ(pictures + 1, w->Input()->ImageCodeCount());
    EXPECT_EQ("abc/:D", w->Input()->GetTextWithImageCodes(false, nullptr));
}

TEST_F(ChatWindow, ClosingARoomLeavesItAndAOneToOneChatSendsNothing) {
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1));
    auto* room = static_cast<CIMDlg*>(registry_.Windows().back());
    EXPECT_FALSE(room->isVisible());
    EXPECT_EQ("Messages", room->Caption());
    g_sent.clear();
    room->close();
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ("#@#QUIT", g_sent[0].text);
    EXPECT_EQ(0, registry_.ContainsDialog(room));
    CIMDlg* one = OpenOne();
    one->close();
    EXPECT_EQ(1u, g_sent.size());
}

// Escape closes a room window as its close box does: the room is left, and entering it again opens a new
// window that starts the room afresh.
TEST_F(ChatWindow, EscapeLeavesARoomThatCanBeEnteredAgain) {
    ChatSessionRecord record;
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", &record, 1));
    auto* room = static_cast<CIMDlg*>(registry_.Windows().back());
    room->show();
    g_sent.clear();
    QTest::keyClick(room->Input(), Qt::Key_Escape);
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ("#@#QUIT", g_sent[0].text);
    EXPECT_EQ(0, registry_.ContainsDialog(room));
    ChatSessionRecord again;
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", &again, 1));
    EXPECT_EQ(1, again.isNew) << "the room's old window was found";
    ASSERT_EQ(2u, g_sent.size());
    EXPECT_EQ(0u, g_sent[1].text.rfind("#@#START#", 0)) << g_sent[1].text;
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

// A voice message released within its least half second stops after the rest of it; a window closed
// meanwhile stops it at once, where the wait would otherwise leave it recording.
TEST_F(ChatWindow, AVoiceMessageStillInItsLeastHalfSecondStopsWhenTheWindowCloses) {
    static int stops;
    stops = 0;
    static PresenceProtocolOps ops{};
    ops.stopAudio = [](PresenceConnectionRec*) { ++stops; };
    static PresencePluginInfo info{};
    info.ops = &ops;
    static PresencePlugin plugin{&info};
    PresenceConnectionRec connection;
    connection.plugin = &plugin;
    connection.account = account_;
    Account_SetConnection(account_, &connection);
    CIMDlg::SetCaptureProbe([] { return 0; });
    for (const bool closed : {false, true}) {
        SCOPED_TRACE(closed);
        stops = 0;
        CIMDlg* w = OpenOne();
        WindowMessageEvent press(WM_PTT_PRESS, 0, 0), release(WM_PTT_RELEASE, 0, 0);
        QApplication::sendEvent(w, &press);
        QApplication::sendEvent(w, &release);
        EXPECT_EQ(0, stops);
        if (closed) {
            w->close();
            EXPECT_EQ(1, stops);
        } else {
            ASSERT_TRUE(QTest::qWaitFor([] { return stops == 1; }, 30000));  // the stop follows on its own
            w->close();
        }
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QApplication::processEvents();
        EXPECT_EQ(1, stops);
    }
    CIMDlg::SetCaptureProbe(nullptr);
    Account_SetConnection(account_, nullptr);
}

TEST_F(ChatWindow, HoldingThePushToTalkButtonWithTheMouseSendsAVoiceMessage) {
    CIMDlg* w = OpenOne();
    CIMDlg::SetCaptureProbe([] { return 0; });
    auto* ptt = w->findChild<QAbstractButton*>("pttButton");
    ASSERT_NE(nullptr, ptt);
    QTest::mousePress(ptt, Qt::LeftButton);
    QApplication::sendPostedEvents();
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ(3, g_sent[0].kind);
    QTest::mouseRelease(ptt, Qt::LeftButton);
    QApplication::sendPostedEvents();
    CIMDlg::SetCaptureProbe(nullptr);
}

}  // namespace

// ---- the commands that reach beyond the window: block, call, invite, font ----

namespace {
constexpr int kBlock = 32841, kCall = 32833;

PresenceBuddyRecord BookBuddy(int id, const char* name, const char* userId, int online = 1) {
    PresenceBuddyRecord b = Buddy(id, name, online);
    presence_copy_field(b.userId, sizeof b.userId, userId);
    return b;
}

// The address book as the window sees it, and the requests it queues.
struct FakeBook {
    std::map<std::string, int> state;  // userId -> 0 listed, 1 blocked
    std::vector<std::pair<int, std::string>> requests;
    std::vector<int> calls;
    bool queueAccepts = true;
    FakeBook() {
        ChatWindowHooks().bookState = [this](const std::string& id) { auto it = state.find(id); return it == state.end() ? -1 : it->second; };
        ChatWindowHooks().sendBlock = [this](int command, const std::string& id) {
            if (queueAccepts) requests.emplace_back(command, id);
            return queueAccepts;
        };
        ChatWindowHooks().callMember = [this](const PresenceBuddyRecord& m) { calls.push_back(m.id); };
    }
    ~FakeBook() {
        ChatWindowHooks().bookState = nullptr;
        ChatWindowHooks().sendBlock = nullptr;
        ChatWindowHooks().callMember = nullptr;
        ChatWindowHooks().invite = nullptr;
    }
};
TEST_F(ChatWindow, ThePushToTalkAndBarButtonsShowTheProgramsHand) {
    ctl::SetResourceFolder(install_.Path() + "/res");
    CIMDlg* w = OpenOne();
    ctl::SetResourceFolder("res");
    auto* ptt = w->findChild<QAbstractButton*>("pttButton");
    ASSERT_NE(nullptr, ptt);
    EXPECT_EQ(Qt::BitmapCursor, ptt->cursor().shape());
    EXPECT_EQ(QPoint(6, 1), ptt->cursor().hotSpot());
    auto* strip = w->findChild<QToolButton*>("memberStrip");  // the bar's hide button
    ASSERT_NE(nullptr, strip);
    EXPECT_EQ(QPoint(6, 1), strip->cursor().hotSpot());
}

}  // namespace

TEST_F(ChatWindow, BlockWaitsForTheAnswerAndFollowsTheAddressBook) {
    FakeBook book;
    book.state["c5"] = 0;
    std::vector<PresenceBuddyRecord> m{BookBuddy(5, "Ann", "c5")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ONE, &m, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    std::vector<PresenceBuddyRecord> other{BookBuddy(5, "Ann", "c5"), BookBuddy(6, "Bob", "c6")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &other, nullptr, nullptr, 1));
    auto* several = static_cast<CIMDlg*>(registry_.Windows().back());
    ASSERT_NE(w, several);
    ASSERT_TRUE(w->CommandAction(kBlock)->isEnabled());
    EXPECT_EQ("Block user", w->CommandAction(kBlock)->text().remove('&').left(10));

    // Every window with Ann waits for the answer; a several-user window's buttons follow at once only
    // when Ann's row is the one selected.
    std::vector<PresenceBuddyRecord> third{BookBuddy(5, "Ann", "c5"), BookBuddy(7, "Cid", "c7")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &third, nullptr, nullptr, 1));
    auto* unselected = static_cast<CIMDlg*>(registry_.Windows().back());
    for (int row = 0; row < several->MemberList()->count(); ++row)
        several->MemberList()->item(row)->setSelected(several->MemberList()->item(row)->data(Qt::UserRole).toInt() == 5);
    w->CommandAction(kBlock)->trigger();
    ASSERT_EQ(1u, book.requests.size());
    EXPECT_EQ(13, book.requests[0].first);
    EXPECT_EQ("c5", book.requests[0].second);
    EXPECT_TRUE(w->BlockPending());
    EXPECT_TRUE(several->BlockPending());  // told through the registry
    EXPECT_TRUE(unselected->BlockPending());
    EXPECT_FALSE(w->CommandAction(kBlock)->isEnabled());
    w->CommandAction(kBlock)->trigger();
    EXPECT_EQ(1u, book.requests.size());  // a second request waits for the answer

    // The answer for somebody else changes nothing; the answer for Ann ends the wait and shows the block.
    EXPECT_EQ(0, w->SendChatMessage(0x821, 0, reinterpret_cast<LPARAM>("c9")));
    EXPECT_TRUE(w->BlockPending());
    book.state["c5"] = 1;
    registry_.Broadcast(0x821, 0, reinterpret_cast<LPARAM>("c5"));
    EXPECT_FALSE(w->BlockPending());
    EXPECT_FALSE(several->BlockPending());
    EXPECT_TRUE(w->TitleText().contains("(blocked)")) << w->TitleText().toStdString();
    // A several-user window relabels Ann's chooser entry too, and keeps it through later rebuilds; its
    // title names the blocked member only when that member is its last.
    const int ann = several->RecipientBox()->findData(5);
    ASSERT_GE(ann, 0);
    EXPECT_TRUE(several->RecipientBox()->itemText(ann).contains("(blocked)"));
    several->OnLanguageChanged();
    EXPECT_TRUE(several->RecipientBox()->itemText(several->RecipientBox()->findData(5)).contains("(blocked)"));
    EXPECT_FALSE(several->TitleText().contains("(blocked)"));
    EXPECT_TRUE(w->CommandAction(kBlock)->isEnabled());
    EXPECT_TRUE(w->CommandAction(kBlock)->text().remove('&').contains("Unblock"));

    // Unblocking that the server refuses says so and leaves the block as it was.
    w->CommandAction(kBlock)->trigger();
    ASSERT_EQ(2u, book.requests.size());
    EXPECT_EQ(14, book.requests[1].first);
    w->SendChatMessage(0x822, 1, reinterpret_cast<LPARAM>("c5"));
    EXPECT_FALSE(w->BlockPending());
    EXPECT_TRUE(w->HistoryText().contains("unblock", Qt::CaseInsensitive)) << w->HistoryText().toStdString();
    EXPECT_TRUE(w->TitleText().contains("(blocked)"));

    // A request the queue refuses sets nothing; a member outside the address book cannot be blocked.
    book.queueAccepts = false;
    w->CommandAction(kBlock)->trigger();
    EXPECT_FALSE(w->BlockPending());
    book.state.erase("c5");
    w->SendChatMessage(WM_USER + 1000, 0, 0);
    EXPECT_FALSE(w->CommandAction(kBlock)->isEnabled());
}

TEST_F(ChatWindow, CallGoesToAnOnlineMemberOnly) {
    FakeBook book;
    struct Case {
        int online;
        bool enabled;
    } cases[] = {{1, true}, {0, false}};
    for (const Case& c : cases) {
        std::vector<PresenceBuddyRecord> m{BookBuddy(5, "Ann", "c5", c.online)};
        ASSERT_EQ(1, registry_.OpenChat(CHAT_ONE, &m, nullptr, nullptr, 1));
        auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
        EXPECT_EQ(c.enabled, w->CommandAction(kCall)->isEnabled()) << c.online;
        book.calls.clear();
        w->OnCall();
        EXPECT_EQ(c.enabled ? std::vector<int>{5} : std::vector<int>{}, book.calls) << c.online;
        w->close();
    }
    // Several members: exactly one selected online row.
    std::vector<PresenceBuddyRecord> m{BookBuddy(5, "Ann", "c5"), BookBuddy(6, "Bob", "c6", 0)};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &m, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    EXPECT_FALSE(w->CommandAction(kCall)->isEnabled());
    for (int row = 0; row < w->MemberList()->count(); ++row) {
        QListWidgetItem* item = w->MemberList()->item(row);
        item->setSelected(item->data(Qt::UserRole).toInt() == 6);
    }
    EXPECT_FALSE(w->CommandAction(kCall)->isEnabled());
    for (int row = 0; row < w->MemberList()->count(); ++row) {
        QListWidgetItem* item = w->MemberList()->item(row);
        item->setSelected(item->data(Qt::UserRole).toInt() == 5);
    }
    EXPECT_TRUE(w->CommandAction(kCall)->isEnabled());
    book.calls.clear();
    w->OnCall();
    EXPECT_EQ(std::vector<int>{5}, book.calls);
    // A chat room calls its one chosen member too.
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1));
    auto* room = static_cast<CIMDlg*>(registry_.Windows().back());
    room->OnRoomNotice(1, 0, "");
    room->OnRoomNotice(1, 0, "31,Cat");
    EXPECT_FALSE(room->CommandAction(kCall)->isEnabled());
    for (int row = 0; row < room->MemberList()->count(); ++row)
        room->MemberList()->item(row)->setSelected(room->MemberList()->item(row)->data(Qt::UserRole).toInt() == 31);
    EXPECT_TRUE(room->CommandAction(kCall)->isEnabled());
}

// Stands for the invitation dialog: notes the window messages it gets and, once running, plays a script.
class FakeInvitation : public QDialog {
public:
    FakeInvitation(QWidget* parent, std::function<void(FakeInvitation*)> script) : QDialog(parent), script_(std::move(script)) {}
    std::vector<std::pair<UINT, WPARAM>> got;
    std::vector<LPARAM> records;

protected:
    bool event(QEvent* e) override {
        if (e->type() == WindowMessageEvent::eventType()) {
            auto* m = static_cast<WindowMessageEvent*>(e);
            got.emplace_back(m->message, m->wParam);
            records.push_back(m->lParam);
            return true;
        }
        return QDialog::event(e);
    }
    void showEvent(QShowEvent* e) override {
        QDialog::showEvent(e);
        QTimer::singleShot(0, this, [this] {
            if (script_) script_(this);
            accept();
        });
    }

private:
    std::function<void(FakeInvitation*)> script_;
};

TEST_F(ChatWindow, InviteTurnsAOneToOneChatIntoSeveralAndSendsInviteInARoom) {
    FakeBook book;
    std::set<int32_t> offered;
    PresenceBuddyRecord carl = BookBuddy(7, "Carl", "c7"), dora = BookBuddy(8, "Dora", "c8");
    ChatWindowHooks().invite = [&](QWidget* parent, Account*, std::set<int32_t> members, ChatWindowHookSet::InviteFn invite) {
        offered = members;
        return new FakeInvitation(parent, [&carl, &dora, invite](FakeInvitation*) { invite({&carl, &dora}, "join us"); });
    };
    CIMDlg* w = OpenOne();
    ASSERT_TRUE(w->CommandAction(32831)->isEnabled());
    g_sent.clear();
    w->CommandAction(32831)->trigger();
    EXPECT_EQ(std::set<int32_t>{5}, offered);
    EXPECT_EQ(CHAT_SEVERAL, w->m_chatType);
    EXPECT_EQ(3u, w->m_members.size());
    EXPECT_TRUE(g_sent.empty());  // no room packet for a chat without a room

    // In a room the chosen users go to the robot in one INVITE.
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1));
    auto* room = static_cast<CIMDlg*>(registry_.Windows().back());
    g_sent.clear();
    room->InviteUsers({carl, dora}, "join us");
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ(0u, g_sent[0].text.find("#@#INVITE#")) << g_sent[0].text;
    EXPECT_NE(std::string::npos, g_sent[0].text.find("join us")) << g_sent[0].text;
    // The result says what became of the send: success only for an invitation that went out.
    const QString succeeded = chat::ChatText("im_dlg", "im_invite", "You invite succeeded");
    const QString failed = chat::ChatText("im_dlg", "im_elseerr", "Else error");
    EXPECT_EQ(1, room->HistoryText().count(succeeded));
    EXPECT_EQ(0, room->HistoryText().count(failed));
    g_sendAnswer = -1;
    room->InviteUsers({BookBuddy(9, "Eve", "c9")}, "");
    EXPECT_EQ(1, room->HistoryText().count(succeeded));
    EXPECT_EQ(1, room->HistoryText().count(failed));
}

// A room that never answers: after 600 ticks the window says so once, as a line of its own in the
// body's place (no notice header, no time).
TEST_F(ChatWindow, ASessionThatNeverStartsSaysSoOnce) {
    ChatSessionRecord team;
    presence_copy_field(team.name, sizeof team.name, "Team");
    ASSERT_EQ(1, registry_.OpenChat(CHAT_GROUP, nullptr, "G9", &team, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    int ticks = 1;
    while (w->SessionTick()) ++ticks;
    EXPECT_EQ(ChatWindowCore::kSessionTicks, ticks);
    const QString said = shell::LangText("im_dlg", "im_session_timeout", "");
    ASSERT_FALSE(said.isEmpty());
    EXPECT_EQ(said, w->History()->document()->lastBlock().text());
    EXPECT_FALSE(w->HistoryText().contains(shell::LangText("im_dlg", "im_systip", "System tip")));
    EXPECT_EQ(1, w->HistoryText().count(said));
}

// A character typed while the history or the member list has the focus goes to the input box, which
// takes the focus; keys with Ctrl stay with the view.
TEST_F(ChatWindow, TypingInAnotherViewGoesToTheInput) {
    std::vector<PresenceBuddyRecord> team{Buddy(5, "Ann"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &team, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    w->activateWindow();
    for (QWidget* view : std::initializer_list<QWidget*>{w->History(), w->MemberList()}) {
        w->Input()->clear();
        view->setFocus();
        QTest::keyClicks(view, "hi");
        EXPECT_EQ("hi", w->Input()->toPlainText()) << view->objectName().toStdString();
        QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
        EXPECT_EQ("hi", w->Input()->toPlainText());
    }
}

// A presence notice names the member as the address book does now: the title of a one-to-one chat, the
// row and the chooser's entry of a several-user chat, the chosen entry kept.
TEST_F(ChatWindow, APresenceChangeTakesTheBooksName) {
    AddrBook_Init();
    auto contact = [](const char* id, const char* name, int uid) {
        AddrContact* c = AddrBook_NewContact(name, nullptr, id);
        EXPECT_EQ(1, AddrBook_AttachContact(c, g_addrBookRoots[0], nullptr));
        AddrIdentity* i = AddrBook_NewIdentity(nullptr, "x@im", nullptr, (std::string(id) + "-im").c_str());
        AddrBook_SetIdentityType(i, ADDR_TYPE_SERVICE);
        presence_setting_set_int(&i->settings, "uid", nullptr, uid);
        AddrBook_AttachIdentity(i, c, nullptr);
    };
    contact("c-ann", "Annie", 5);
    contact("c-bob", "Robert", 6);
    CIMDlg* one = OpenOne();
    PresenceBuddyRecord ann = Buddy(5, "Ann", 1);
    one->SendChatMessage(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(&ann));
    // The title is the set-up's until the texts are loaded again.
    EXPECT_EQ("Ann", one->TitleText());
    one->OnLanguageChanged();
    EXPECT_EQ("Annie", one->TitleText());
    EXPECT_STREQ("c-ann", one->m_members[0].userId);

    std::vector<PresenceBuddyRecord> team{Buddy(7, "Cat"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &team, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    w->RecipientBox()->setCurrentIndex(w->RecipientBox()->findData(6));
    PresenceBuddyRecord bob = Buddy(6, "Bob", 1);
    w->SendChatMessage(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(&bob));
    EXPECT_EQ("Robert", w->RecipientBox()->currentText());
    EXPECT_EQ(6, w->RecipientBox()->currentData().toInt());
    bool row = false;
    for (int i = 0; i < w->MemberList()->count(); ++i)
        row = row || (w->MemberList()->item(i)->data(Qt::UserRole).toInt() == 6 && w->MemberList()->item(i)->text() == "Robert");
    EXPECT_TRUE(row);
    // Gone offline: the chooser's entry reads as the member's row, suffix included, and stays chosen.
    bob.online = 0;
    w->SendChatMessage(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(&bob));
    EXPECT_EQ("Robert (Offline)", w->RecipientBox()->currentText());
    EXPECT_EQ(6, w->RecipientBox()->currentData().toInt());
    AddrBook_Destroy();
}

// A room's member rows are looked up in the address book by id: a blocked contact is marked, the others
// read as the room names them; each entry's value stays with its member. A one-to-one chat names the
// sender as the address book does, whatever name the message carries.
TEST_F(ChatWindow, RoomRowsAndSendersFollowTheAddressBook) {
    AddrBook_Init();
    auto contact = [](const char* id, const char* name, int uid, bool blocked) {
        AddrContact* c = AddrBook_NewContact(name, nullptr, id);
        if (blocked) c->flags |= ADDR_FLAG_BLOCKED;
        EXPECT_EQ(1, AddrBook_AttachContact(c, g_addrBookRoots[0], nullptr));
        AddrIdentity* i = AddrBook_NewIdentity(nullptr, "x@im", nullptr, (std::string(id) + "-im").c_str());
        AddrBook_SetIdentityType(i, ADDR_TYPE_SERVICE);
        presence_setting_set_int(&i->settings, "uid", nullptr, uid);
        AddrBook_AttachIdentity(i, c, nullptr);
    };
    contact("c-ann", "Annie", 5, true);
    contact("c-bob", "Robert", 6, false);
    ChatWindowHooks().bookState = chat::BookState;
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R21", nullptr, 1));
    auto* room = static_cast<CIMDlg*>(registry_.Windows().back());
    room->OnRoomNotice(1, 0, "5,Ann,3");
    room->OnRoomNotice(1, 0, "6,Bob,12");
    room->OnRoomNotice(1, 0, "7,Cat");
    auto row = [&](int id) {
        for (int i = 0; i < room->MemberList()->count(); ++i)
            if (room->MemberList()->item(i)->data(Qt::UserRole).toInt() == id) return room->MemberList()->item(i)->text();
        return QString("(none)");
    };
    EXPECT_EQ("Ann (" + shell::LangText("addrbook_dialog", "block", "Block") + ")", row(5));
    EXPECT_EQ("Bob", row(6));
    EXPECT_EQ("Cat", row(7));
    struct Case {
        int id, value;
    };
    for (const Case& c : {Case{5, 3}, Case{6, 12}, Case{7, 0}, Case{8, 0}}) EXPECT_EQ(c.value, room->RoomMemberValue(c.id)) << c.id;
    room->OnRoomNotice(2, 2, "6,Bob");
    room->OnRoomNotice(2, 1, "8,Dan,4");
    EXPECT_EQ(0, room->RoomMemberValue(6));
    EXPECT_EQ(4, room->RoomMemberValue(8));
    EXPECT_EQ("Dan", row(8));

    CIMDlg* one = OpenOne();
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, one->m_szChatId.c_str());
    r.sender = Buddy(5, "Ann");
    r.time = static_cast<int32_t>(time(nullptr));
    one->SendChatMessage(WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>("hello"), reinterpret_cast<LPARAM>(&r));
    EXPECT_TRUE(one->HistoryText().contains("Annie")) << one->HistoryText().toStdString();
    ChatWindowHooks().bookState = nullptr;
    AddrBook_Destroy();
}

// While the invitation dialog runs, the window gives it its texts, passes on every buddy notice (a
// removal too) and, on a language change, the new texts and the change itself; afterwards nothing.
TEST_F(ChatWindow, TheOpenInvitationHearsBuddiesAndLanguageChanges) {
    FakeBook book;
    std::vector<QStringList> texts;
    QPointer<FakeInvitation> shown;
    CIMDlg* w = OpenOne();
    PresenceBuddyRecord ann = Buddy(5, "Ann", 0), stranger = Buddy(77, "Zed");
    char removed[] = "c77";
    ChatWindowHooks().inviteTexts = [&](QDialog*, const QStringList& t) { texts.push_back(t); };
    ChatWindowHooks().invite = [&](QWidget* parent, Account*, std::set<int32_t>, ChatWindowHookSet::InviteFn) {
        auto* dialog = new FakeInvitation(parent, [&](FakeInvitation* d) {
            ASSERT_EQ(1u, texts.size());
            w->SendChatMessage(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(&stranger));
            w->SendChatMessage(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(&ann));
            w->SendChatMessage(WM_PRESENCE_BUDDY, reinterpret_cast<WPARAM>(removed), 0);
            shell::ApplyLanguageCode("chs");
            w->SendChatMessage(WM_USER + 1000, 0, 0);
            shell::ApplyLanguageCode("eng");
            EXPECT_EQ(4u, d->got.size());
        });
        shown = dialog;
        return dialog;
    };
    w->CommandAction(32831)->trigger();
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ((QStringList{shell::LangText("invite_dlg", "header", ""), "Invite to chat", "&OK", "&Cancel"}), texts[0]);
    shell::ApplyLanguageCode("chs");
    EXPECT_EQ(shell::LangText("invite_dlg", "title", ""), texts[1][1]);
    EXPECT_EQ(shell::LangText("invite_dlg", "confirm", ""), texts[1][2]);
    shell::ApplyLanguageCode("eng");
    EXPECT_FALSE(shown);  // the window deletes it once it has run
    EXPECT_EQ(0, w->m_members[0].online);  // the window itself still heard Ann go offline
    ChatWindowHooks().inviteTexts = nullptr;
    // With no dialog running, the notices go nowhere else.
    w->SendChatMessage(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(&stranger));
}

// End closes the window; END goes to the room only once the room has answered.
// Joining room A waits for A's answer: an answer arriving in room B's window leaves the wait running.
TEST_F(ChatWindow, OnlyTheJoinedRoomsAnswerEndsTheWait) {
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "RA", nullptr, 1));
    auto* a = static_cast<CIMDlg*>(registry_.Windows().back());
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "RB", nullptr, 1));
    auto* b = static_cast<CIMDlg*>(registry_.Windows().back());
    for (const int command : {CRC_START, CRC_RESULT}) {
        CChatWaitDlg wait(&registry_);
        wait.SetRoomWindow(registry_.FindByMembers(CHAT_ROOM, nullptr, "RA", nullptr));
        auto answer = [&](CIMDlg* w) {
            PresenceMessageRecord r;
            presence_copy_field(r.chatId, sizeof r.chatId, w->m_szChatId.c_str());
            r.sender.id = 900;
            r.command = command;
            w->SendChatMessage(WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>("0"), reinterpret_cast<LPARAM>(&r));
        };
        answer(b);
        EXPECT_EQ(&wait, registry_.waitDialog) << command;
        EXPECT_LT(wait.Progress(), CChatWaitDlg::kTimeoutMs) << command;
        answer(a);
        EXPECT_EQ(nullptr, registry_.waitDialog) << command;
        EXPECT_EQ(QDialog::Accepted, wait.result()) << command;
    }
}

// Rows picked in the member list stay picked when a message arrives, and the commands they open stay open.
TEST_F(ChatWindow, AnArrivingMessageKeepsThePickedRows) {
    std::vector<PresenceBuddyRecord> two{Buddy(5, "Ann"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &two, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    for (int row = 0; row < w->MemberList()->count(); ++row) {
        QListWidgetItem* item = w->MemberList()->item(row);
        item->setSelected(item->data(Qt::UserRole).toInt() == 6);
    }
    ASSERT_TRUE(w->CommandAction(kCall)->isEnabled());
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, w->m_szChatId.c_str());
    r.sender = Buddy(5, "Ann");
    r.recipients.push_back(Buddy(6, "Bob"));
    RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup("hi all")), &r);
    ASSERT_TRUE(w->HistoryText().contains("hi all"));
    ASSERT_EQ(1, w->MemberList()->selectedItems().size());
    EXPECT_EQ(6, w->MemberList()->selectedItems()[0]->data(Qt::UserRole).toInt());
    EXPECT_TRUE(w->CommandAction(kCall)->isEnabled());
}

// A text with nobody to address is neither sent nor shown: it stays in the box to be sent later.
TEST_F(ChatWindow, ATextForNobodyStaysInTheBox) {
    ASSERT_EQ(1, OpenChatWithUsers(&registry_, {}));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    w->Input()->setFocus();
    QTest::keyClicks(w->Input(), "anyone?");
    QTest::keyClick(w->Input(), Qt::Key_Return);
    EXPECT_TRUE(g_sent.empty());
    EXPECT_TRUE(w->HistoryText().contains("No recipient"));
    EXPECT_EQ("anyone?", w->Input()->toPlainText());
}

// In Enter mode the Enter key sends from the member list and the history as from the input box.
TEST_F(ChatWindow, EnterSendsFromTheWholeWindow) {
    std::vector<PresenceBuddyRecord> two{Buddy(5, "Ann"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &two, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    w->Input()->insertPlainText("from the list");
    QTest::keyClick(w->MemberList(), Qt::Key_Return);
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ("from the list", g_sent[0].text);
    w->Input()->insertPlainText("from the history");
    QTest::keyClick(w->History(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(1u, g_sent.size()) << "Ctrl+Enter ends the line in Enter mode";
    EXPECT_EQ("from the history\n", w->Input()->toPlainText());
}

// A resize brings the history back to its caret at the end, whatever was scrolled before.
TEST_F(ChatWindow, AResizeShowsTheNewestLines) {
    CIMDlg* w = OpenOne();
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, w->m_szChatId.c_str());
    r.sender = Buddy(5, "Ann");
    for (int i = 0; i < 40; ++i)
        RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(("line " + std::to_string(i)).c_str())), &r);
    QScrollBar* bar = w->History()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    bar->setValue(0);
    w->resize(w->width() + 40, w->height() + 30);
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->maximum(), bar->value());
}

TEST_F(ChatWindow, EndSendsEndOnlyToARoomThatAnswered) {
    for (bool answered : {false, true}) {
        ChatSessionRecord team;
        presence_copy_field(team.name, sizeof team.name, "Team");
        ASSERT_EQ(1, registry_.OpenChat(CHAT_GROUP, nullptr, "G7", &team, 1));
        auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
        if (answered) {
            PresenceMessageRecord start;
            presence_copy_field(start.chatId, sizeof start.chatId, w->m_szChatId.c_str());
            start.sender.id = 900;
            start.command = CRC_START;
            w->SendChatMessage(WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>("0"), reinterpret_cast<LPARAM>(&start));
        }
        g_sent.clear();
        w->CommandAction(32837)->trigger();
        std::vector<std::string> texts;
        for (const Sent& sent : g_sent) texts.push_back(sent.text);
        const std::vector<std::string> want = answered ? std::vector<std::string>{"#@#END#1", "#@#QUIT"} : std::vector<std::string>{"#@#QUIT"};
        EXPECT_EQ(want, texts) << answered;
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST_F(ChatWindow, TheChosenFontShapesTheMessageBodies) {
    CIMDlg* w = OpenOne();
    QFont font("DejaVu Serif");
    font.setPointSize(15);
    font.setBold(true);
    font.setItalic(true);
    w->ApplyInputFont(font, QColor(0x80, 0x10, 0x20));
    QTest::keyClicks(w->Input(), "styled");
    EXPECT_TRUE(w->Input()->currentCharFormat().font().bold());
    QTest::keyClick(w->Input(), Qt::Key_Return);
    ASSERT_EQ(1u, g_sent.size());
    EXPECT_EQ("styled", g_sent[0].text);  // the text goes out plain
    // The body in the history carries the font; the header keeps its own look.
    QTextCursor c = w->History()->document()->find("styled");
    ASSERT_FALSE(c.isNull());
    const QTextCharFormat f = c.charFormat();
    EXPECT_TRUE(f.fontItalic());
    EXPECT_GE(f.fontWeight(), QFont::Bold);
    EXPECT_EQ(15, static_cast<int>(f.fontPointSize()));
    EXPECT_EQ(QColor(0x80, 0x10, 0x20), f.foreground().color());
    QTextCursor header = w->History()->document()->find("Me");
    ASSERT_FALSE(header.isNull());
    EXPECT_FALSE(header.charFormat().fontItalic());
}

TEST_F(ChatWindow, PresenceChangesReachCallAndRowsWithoutLosingTheSelection) {
    FakeBook book;
    std::vector<PresenceBuddyRecord> one{BookBuddy(5, "Ann", "c5", 0)};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ONE, &one, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    std::vector<PresenceBuddyRecord> two{BookBuddy(5, "Ann", "c5", 0), BookBuddy(6, "Bob", "c6")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &two, nullptr, nullptr, 1));
    auto* several = static_cast<CIMDlg*>(registry_.Windows().back());
    for (int row = 0; row < several->MemberList()->count(); ++row) {
        QListWidgetItem* item = several->MemberList()->item(row);
        item->setSelected(item->data(Qt::UserRole).toInt() == 5);
    }
    EXPECT_FALSE(w->CommandAction(kCall)->isEnabled());
    EXPECT_FALSE(several->CommandAction(kCall)->isEnabled());
    EXPECT_TRUE(w->TitleText().contains("Offline"));

    PresenceBuddyRecord change = BookBuddy(5, "Ann", "c5", 1);
    registry_.Broadcast(WM_USER + 207, 0, reinterpret_cast<LPARAM>(&change));
    EXPECT_TRUE(w->CommandAction(kCall)->isEnabled());
    EXPECT_TRUE(w->TitleText().contains("Offline")) << "the title stays the set-up's until the texts are loaded";
    w->OnLanguageChanged();
    EXPECT_FALSE(w->TitleText().contains("Offline"));
    EXPECT_TRUE(several->CommandAction(kCall)->isEnabled());
    ASSERT_EQ(1, several->MemberList()->selectedItems().size());
    EXPECT_EQ("Ann", several->MemberList()->selectedItems()[0]->text());

    // A stranger's change is not for these windows.
    PresenceBuddyRecord stranger = BookBuddy(77, "Zed", "c77", 1);
    EXPECT_EQ(0, w->SendChatMessage(WM_USER + 207, 0, reinterpret_cast<LPARAM>(&stranger)));
}

TEST_F(ChatWindow, TheRegistrysCloseEndsADialogRunningOverTheWindow) {
    CIMDlg* w = OpenOne();
    QPointer<QDialog> open = new QDialog(w);
    open->open();
    ASSERT_TRUE(open->isVisible());
    registry_.CloseAll(0);
    ASSERT_TRUE(open);  // deleted later with its window
    EXPECT_FALSE(open->isVisible());
    EXPECT_EQ(QDialog::Rejected, open->result());
}

TEST_F(ChatWindow, TheInputTakesAtMost275CharactersTypedOrPasted) {
    CIMDlg* w = OpenOne();
    CChatRichEdit* in = w->Input();
    struct Case {
        QString before;
        bool selectAll;
        QString clipboard;
        std::string coded;  // what the input holds afterwards, codes for pictures
        size_t pictures;    // pictures made by the paste
    } cases[] = {
        {"", false, QString(300, 'x'), std::string(275, 'x'), 0},
        {QString(270, 'a'), false, "0123456789", std::string(270, 'a') + "01234", 0},
        {QString(270, 'a'), true, "hello /:)", "hello /:)", 1},
        {"", false, "abc/:)", "abc/:)", 1},
        {QString(275, 'a'), false, "more", std::string(275, 'a'), 0},
    };
    for (const Case& c : cases) {
        in->clear();
        in->insertPlainText(c.before);
        if (c.selectAll) in->selectAll();
        const size_t before = in->ImageCodeCount();
        QApplication::clipboard()->setText(c.clipboard);
        in->paste();
        EXPECT_EQ(c.coded, in->GetTextWithImageCodes(false, nullptr)) << c.clipboard.toStdString();
        EXPECT_EQ(c.pictures, in->ImageCodeCount() - before) << c.clipboard.toStdString();
        EXPECT_LE(in->CountTextUnits(nullptr, nullptr), 275);
    }
    // The window's paste command takes the clipboard's text within the limit even when the clipboard
    // also holds a picture.
    in->clear();
    in->insertPlainText(QString(270, 'a'));
    auto* both = new QMimeData;
    both->setText(QString(30, 'x'));
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(Qt::red);
    both->setImageData(picture);
    QApplication::clipboard()->setMimeData(both);
    w->RefreshEditCommands();
    ASSERT_TRUE(w->CommandAction(32810)->isEnabled());
    w->CommandAction(32810)->trigger();
    EXPECT_EQ(std::string(270, 'a') + "xxxxx", in->GetTextWithImageCodes(false, nullptr));
    // Text put in by other ways is cut at 275 too; typing stops there.
    in->clear();
    in->insertPlainText(QString(300, 'y'));
    EXPECT_EQ(275, in->CountTextUnits(nullptr, nullptr));
    QTest::keyClicks(in, "zz");
    EXPECT_EQ(275, in->CountTextUnits(nullptr, nullptr));
    // An emoticon that would pass the limit is not put in; one that fits is.
    in->clear();
    in->insertPlainText(QString(273, 'b'));
    w->SendChatMessage(0x7FE, 0, 0);  // "/:)" is three characters
    EXPECT_EQ(273, in->CountTextUnits(nullptr, nullptr));
    in->textCursor().deletePreviousChar();
    w->SendChatMessage(0x7FE, 0, 0);
    EXPECT_EQ(275, in->CountTextUnits(nullptr, nullptr));
}

TEST_F(ChatWindow, TypedCodesBecomePicturesAndAddressesInTheInputOpen) {
    CIMDlg* w = OpenOne();
    QTest::keyClicks(w->Input(), "hi /:)");
    EXPECT_EQ(1u, w->Input()->ImageCodeCount());
    EXPECT_EQ("hi /:)", w->Input()->GetTextWithImageCodes(false, nullptr));
    // The user's own input opens without a question (a question answered no would stop it).
    std::vector<QString> opened;
    chat::SetLinkHooks([](const QString&) { return false; }, [&](const QUrl& u) { opened.push_back(u.toString()); });
    w->Input()->clear();
    w->Input()->insertPlainText("see http://example.com/a now");
    w->show();
    QTextCursor c(w->Input()->document());
    c.setPosition(8);
    const QPoint at = w->Input()->cursorRect(c).center();
    QTest::mouseClick(w->Input()->viewport(), Qt::LeftButton, {}, at);
    ASSERT_EQ(1u, opened.size());
    EXPECT_EQ("http://example.com/a", opened[0]);
}

TEST_F(ChatWindow, ClosingKeepsThePanesAndTheSplitters) {
    CIMDlg* w = OpenOne();
    w->show();
    QApplication::processEvents();
    w->SetPeerPaneCollapsed(true);
    w->SetOwnPaneCollapsed(true);
    w->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(1, shell::SkinInt("imconfig", "hide_history", 0));
    EXPECT_EQ(1, shell::SkinInt("imconfig", "hide_send", 0));
    EXPECT_GT(shell::SkinInt("imconfig", "postion", -1), 100);
    EXPECT_GT(shell::SkinInt("imconfig", "postion2", -1), 0);
    // The next window opens as the last one was left.
    CIMDlg* next = OpenOne();
    EXPECT_TRUE(next->PeerPanel()->Collapsed());
    EXPECT_TRUE(next->OwnPanel()->Collapsed());
    next->SetPeerPaneCollapsed(false);
    next->SetOwnPaneCollapsed(false);
    next->close();
    EXPECT_EQ(0, shell::SkinInt("imconfig", "hide_history", 1));
    EXPECT_EQ(0, shell::SkinInt("imconfig", "hide_send", 1));
}

TEST_F(ChatWindow, SplittersShareTheRoomBetweenThePanes) {
    std::vector<PresenceBuddyRecord> m{Buddy(5, "Ann"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &m, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    w->resize(640, 480);
    w->show();
    QApplication::processEvents();
    const auto bars = w->findChildren<CSplitterBar*>();
    ASSERT_EQ(2, bars.size());
    CSplitterBar* across = bars[0]->GetOrientation() == 2 ? bars[0] : bars[1];
    CSplitterBar* upright = across == bars[0] ? bars[1] : bars[0];
    EXPECT_EQ(1086, across->id());
    EXPECT_EQ(1088, upright->id());
    EXPECT_TRUE(upright->isVisible());
    auto drag = [](CSplitterBar* bar, QPoint by) {
        const QPoint from(2, 2), to = from + by;
        QTest::mousePress(bar, Qt::LeftButton, {}, from);
        QMouseEvent move(QEvent::MouseMove, QPointF(to), QPointF(bar->mapToGlobal(to)), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(bar, &move);
        QTest::mouseRelease(bar, Qt::LeftButton, {}, to);
        QApplication::processEvents();
    };
    QWidget* input = w->findChild<QWidget*>("input");
    QWidget* history = w->History();
    const int before = input->height(), historyBefore = history->height();
    drag(across, QPoint(0, -40));  // up: the input box grows by as much
    EXPECT_EQ(before + 40, input->height());
    EXPECT_EQ(historyBefore - 40, history->height());
    drag(across, QPoint(0, -1000));  // the history keeps its least height
    EXPECT_EQ(160, history->height());
    QWidget* side = w->findChild<QWidget*>("members")->parentWidget()->parentWidget();
    // The middle area spans the client width 5 pixels under the tool bar; the input row sits 5 pixels
    // under the bar and 5 in from the sides and the bottom.
    QWidget* body = history->parentWidget()->parentWidget();
    EXPECT_EQ(QRect(0, 5, body->width(), 160), history->parentWidget()->geometry());
    EXPECT_EQ(QRect(0, 165, body->width(), CSplitterBar::kThickness), across->geometry());
    const QRect inputRow = input->parentWidget()->parentWidget()->geometry();
    EXPECT_EQ(QRect(5, 175, body->width() - 10, body->height() - 180), inputRow);
    drag(across, QPoint(0, 1000));  // down: 88 pixels and the 30 stay below the history
    EXPECT_EQ(body->height() - 30 - 5 - 88, history->height());
    drag(upright, QPoint(1000, 0));  // far right: the member column stops at 138 with its bar
    EXPECT_EQ(138, body->width() - history->width());
    EXPECT_EQ(138 - CSplitterBar::kThickness, side->width());
    drag(upright, QPoint(-1000, 0));  // far left: the bar stops 133 from the left
    EXPECT_EQ(133, history->width());
    EXPECT_EQ(history->width() + CSplitterBar::kThickness, side->x());
    drag(across, QPoint(0, -1000));
    // The window keeps the history height and the column width; the member area takes the rest.
    w->resize(800, 600);
    QApplication::processEvents();
    EXPECT_EQ(160, history->height());
    EXPECT_EQ(133, history->width());
    // Hiding the member area takes its bar with it.
    w->SendChatMessage(0x81E, 0, 0);
    QApplication::processEvents();
    EXPECT_FALSE(upright->isVisible());
    EXPECT_TRUE(w->findChild<QWidget*>("memberStrip")->isVisible());
    w->close();
    EXPECT_EQ(160, shell::SkinInt("imconfig", "postion", -1));
    EXPECT_EQ(133, shell::SkinInt("imconfig", "postion2", -1));
    // A one-to-one chat has the peer's pane at its own width and no bar beside it; the next window
    // opens with the places the last one left.
    CIMDlg* one = OpenOne();
    one->show();
    QApplication::processEvents();
    EXPECT_FALSE(one->findChild<CSplitterBar*>("splitter1088")->isVisible());
    EXPECT_EQ(CIMSkinPanel::kWidth, one->PeerPanel()->parentWidget()->width());
    EXPECT_EQ(160, one->History()->height());
}

// The splitter beside the member area: a several-user chat has it only while the peer's pane is not
// folded away (hide_history), a group or room always; the state button shows it with the area.
TEST_F(ChatWindow, TheMemberSplitterFollowsThePeerPane) {
    std::vector<PresenceBuddyRecord> two{Buddy(5, "Ann"), Buddy(6, "Bob")};
    std::vector<PresenceBuddyRecord> one{Buddy(7, "Cy")};
    auto bar = [](CIMDlg* w) {
        w->show();
        QApplication::processEvents();
        return w->findChild<CSplitterBar*>("splitter1088")->isVisible();
    };
    auto open = [&](int type, std::vector<PresenceBuddyRecord>* members, const char* key) {
        EXPECT_EQ(1, registry_.OpenChat(type, members, key, nullptr, 1));
        return static_cast<CIMDlg*>(registry_.Windows().back());
    };
    for (bool folded : {false, true}) {
        shell::SkinWrite("imconfig", "hide_history", folded ? "1" : "0");
        CIMDlg* several = open(CHAT_SEVERAL, &two, nullptr);
        EXPECT_EQ(!folded, bar(several)) << folded;
        several->SendChatMessage(0x81E, 0, 0);
        several->SendChatMessage(0x81E, 0, 1);
        EXPECT_TRUE(bar(several)) << folded;
        EXPECT_TRUE(bar(open(CHAT_GROUP, nullptr, folded ? "G1" : "G2"))) << folded;
        // A one-to-one chat that a second member turns into a several-user one.
        CIMDlg* grown = open(CHAT_ONE, &one, nullptr);
        EXPECT_FALSE(bar(grown));
        grown->AddMember(&two[0]);
        EXPECT_EQ(!folded, bar(grown)) << folded;
        registry_.CloseAll(0);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        one = {Buddy(folded ? 9 : 8, "Cy")};
    }
}

// A left or right press anywhere in the window sets what copy and select all act on: the history
// view, or else the input box. A character typed while another control has the focus goes to the
// input box, which takes the focus.
TEST_F(ChatWindow, PressesAndKeysElsewhereInTheWindowReachTheInput) {
    std::vector<PresenceBuddyRecord> two{Buddy(5, "Ann"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &two, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    QWidget* ptt = w->findChild<QWidget*>("pttButton");
    QWidget* places[] = {w->MemberList()->viewport(), ptt, w->RecipientBox(), w->findChild<QWidget*>("chatTitle")};
    for (QWidget* place : places) {
        QTest::mouseClick(w->History()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        ASSERT_TRUE(w->LastClickInHistory());
        QTest::mousePress(place, Qt::RightButton, {}, QPoint(3, 3));
        QTest::mouseRelease(place, Qt::RightButton, {}, QPoint(3, 3));
        EXPECT_FALSE(w->LastClickInHistory()) << place->metaObject()->className();
    }
    w->Input()->clear();
    QWidget* focused[] = {ptt, w->MemberList(), w->History(), w->RecipientBox()};
    QString typed;
    for (QWidget* control : focused) {
        control->setFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return control->hasFocus(); })) << control->metaObject()->className();
        QTest::keyClick(control, 'a');
        typed += "a";
        EXPECT_EQ(typed, w->Input()->toPlainText()) << control->metaObject()->className();
        EXPECT_TRUE(w->Input()->hasFocus()) << control->metaObject()->className();
    }
    // Keys with Ctrl stay with their control.
    ptt->setFocus();
    QTest::keyClick(ptt, Qt::Key_B, Qt::ControlModifier);
    EXPECT_EQ(typed, w->Input()->toPlainText());
}

// With a selection that mixes bold or italic states the font chooser offers no style; otherwise it does.
TEST_F(ChatWindow, AMixedSelectionGetsNoStyleChoice) {
    CIMDlg* w = OpenOne();
    w->show();
    QTest::keyClicks(w->Input(), "plain");
    QTextCursor bold(w->Input()->document());
    bold.movePosition(QTextCursor::End);
    QTextCharFormat f;
    f.setFontWeight(QFont::Bold);
    bold.insertText("bold", f);
    const struct {
        int from, to;
        bool styles;
    } cases[] = {{0, 5, true}, {5, 9, true}, {2, 7, false}, {0, 0, true}};
    for (const auto& c : cases) {
        QTextCursor sel(w->Input()->document());
        sel.setPosition(c.from);
        sel.setPosition(c.to, QTextCursor::KeepAnchor);
        w->Input()->setTextCursor(sel);
        int shown = -1;
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            QWidget* styles = dialog ? dialog->findChild<QWidget*>("fontStyleList") : nullptr;
            if (styles) shown = styles->isVisible() ? 1 : 0;
            if (auto* d = qobject_cast<QDialog*>(dialog)) d->reject();
        });
        w->CommandAction(32825)->trigger();
        EXPECT_EQ(c.styles ? 1 : 0, shown) << c.from << "-" << c.to;
    }
}

TEST_F(ChatWindow, AWindowOfNoKnownMembersCountsOne) {
    auto* bare = new CIMDlg;
    bare->SetOneMemberTitle(nullptr);
    EXPECT_EQ("1 " + chat::ChatText("im_dlg", "im_chatcnt", "参与者"), bare->TitleText());
    delete bare;
    // The title line alone changes; the caption keeps what the set-up wrote.
    CIMDlg* w = OpenOne();
    w->SetOneMemberTitle(nullptr);
    EXPECT_EQ("1 " + chat::ChatText("im_dlg", "im_chatcnt", "参与者"), w->TitleText());
    EXPECT_EQ("Messages - Ann", w->Caption());
}

TEST_F(ChatWindow, NoticesAndHeadersTakeTheirForms) {
    CIMDlg* w = OpenOne();
    QTest::keyClicks(w->Input(), "hi");
    w->OnSend();
    EXPECT_TRUE(w->HistoryText().contains("Me To Ann: (")) << w->HistoryText().toStdString();
    // A system notice: the warning header, then the text.
    w->SendChatMessage(0x4D3, reinterpret_cast<WPARAM>("server going down"), 0);
    EXPECT_TRUE(w->HistoryText().contains("The following message was not sent\nserver going down")) << w->HistoryText().toStdString();
    // A missing capture device: a system tip with the time, the notice on the next line.
    CIMDlg::SetCaptureProbe([] { return 1; });
    w->SendChatMessage(WM_PTT_PRESS, 0, 0);
    CIMDlg::SetCaptureProbe([] { return 2; });
    w->SendChatMessage(WM_PTT_PRESS, 0, 0);
    CIMDlg::SetCaptureProbe(nullptr);
    // The heading starts its line: the tip text itself, nothing drawn before it.
    EXPECT_TRUE(w->HistoryText().contains(QRegularExpression(R"((^|\n)System tip : \(\d\d:\d\d:\d\d\)\nNo Audio device!)"))) << w->HistoryText().toStdString();
    EXPECT_TRUE(w->HistoryText().contains("Capture Audio Device is Working!"));
    EXPECT_TRUE(g_sent.size() == 1);  // nothing started
    // The hint line is the language file's text.
    EXPECT_EQ("To:", w->HintText());
}

TEST_F(ChatWindow, InChineseTheHeaderSaysWhoSpeaksToWhom) {
    shell::ApplyLanguageCode("chs");
    CIMDlg* w = OpenOne();
    QTest::keyClicks(w->Input(), "hi");
    w->OnSend();
    EXPECT_TRUE(w->HistoryText().contains(QString::fromUtf8("Me 对 Ann 说: ("))) << w->HistoryText().toStdString();
    shell::ApplyLanguageCode("eng");
}

TEST_F(ChatWindow, PicturePanesMenusAndTheMemberArea) {
    // A picture file of the folder and its grey form; a missing one gives nothing.
    const std::string folder = root_ + "/pics";
    ASSERT_EQ(0, system(("mkdir -p " + folder).c_str()));
    QImage red(32, 32, QImage::Format_RGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(QString::fromStdString(folder + "/a.bmp"), "BMP"));
    ASSERT_TRUE(red.save(QString::fromStdString(folder + "/b.bmp"), "BMP"));
    QImage blue(32, 32, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    ASSERT_TRUE(blue.save(QString::fromStdString(folder + "/disablea.bmp"), "BMP"));
    auto a = chat::LoadHeadPicture(folder, "a.bmp");
    EXPECT_EQ(QColor(Qt::blue).rgb(), a.grey.pixel(1, 1));  // the "disable" file
    // Without a "disable" file the picture itself in black and white: dark parts black, light ones white.
    QImage mixed(32, 32, QImage::Format_RGB32);
    mixed.fill(QColor(0xf0, 0xc0, 0xc0));
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x) mixed.setPixel(x, y, qRgb(0x80, 0x10, 0x10));
    ASSERT_TRUE(mixed.save(QString::fromStdString(folder + "/b.bmp"), "BMP"));
    auto b = chat::LoadHeadPicture(folder, "b.bmp");
    EXPECT_EQ(qRgb(0, 0, 0), b.grey.pixel(1, 1));
    EXPECT_EQ(qRgb(255, 255, 255), b.grey.pixel(1, 30));
    EXPECT_TRUE(chat::LoadHeadPicture(folder, "none.bmp").colour.isNull());
    EXPECT_TRUE(chat::LoadHeadPicture(folder, "").colour.isNull());
    EXPECT_TRUE(chat::LoadHeadPicture(folder, std::string(600, 'n') + ".bmp").colour.isNull());
    EXPECT_TRUE(chat::LoadHeadPicture(folder, "../pics/a.bmp").colour.isNull());

    // The peer's pane shows the default picture, grey while the peer is offline.
    std::vector<PresenceBuddyRecord> m{Buddy(5, "Ann", 0)};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ONE, &m, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    ASSERT_FALSE(w->PeerPanel()->ShownPicture().isNull());
    const QRgb offline = w->PeerPanel()->ShownPicture().pixel(32, 32);
    EXPECT_EQ(qRed(offline), qGreen(offline));
    PresenceBuddyRecord online = Buddy(5, "Ann", 1);
    w->SendChatMessage(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(&online));
    EXPECT_TRUE(w->PeerPanel()->Online());

    // The pane draws on the skin's bar; without it, a frame of 0x976044 round a fill of 0xFAF1EB.
    const QString top = shell::SkinFile("im_top.bmp");
    ASSERT_TRUE(QFile::exists(top));
    ASSERT_TRUE(QFile::remove(top));
    w->PeerPanel()->ReloadPicture();
    const QImage bare = w->PeerPanel()->grab().toImage();
    EXPECT_EQ(qRgb(0x44, 0x60, 0x97), bare.pixel(0, bare.height() / 2));
    EXPECT_EQ(qRgb(0xEB, 0xF1, 0xFA), bare.pixel(3, bare.height() - 3));

    // The picture menu: 1313 opens the head-picture chooser, 1312 and 1314 hide the panes.
    int chooser = 0;
    chat::SetHeadPictureHook([&](QWidget* parent) { chooser += parent == w; });
    w->OnPictureCommand(1313);
    EXPECT_EQ(1, chooser);
    chat::SetHeadPictureHook(nullptr);
    w->OnPictureCommand(1312);
    EXPECT_TRUE(w->PeerPanel()->Collapsed());
    w->OnPictureCommand(1314);
    EXPECT_TRUE(w->OwnPanel()->Collapsed());
    // A new own picture reaches every window.
    shell::g_panelPicture = "05.bmp";
    registry_.ReloadPanelImages();
    EXPECT_EQ("05.bmp", w->OwnPanel()->PictureName());
    shell::g_panelPicture.clear();

    // 0x81E hides and shows the member area of a several-user chat.
    std::vector<PresenceBuddyRecord> two{Buddy(5, "Ann"), Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &two, nullptr, nullptr, 1));
    auto* several = static_cast<CIMDlg*>(registry_.Windows().back());
    several->show();
    EXPECT_TRUE(several->MemberAreaShown());
    several->SendChatMessage(0x81E, 0, 0);
    EXPECT_FALSE(several->MemberAreaShown());
    several->SendChatMessage(0x81E, 1, 1);  // wParam other than 0 does nothing
    EXPECT_FALSE(several->MemberAreaShown());
    several->SendChatMessage(0x81E, 0, 1);
    EXPECT_TRUE(several->MemberAreaShown());
}

// A pane's bar picture: the left cap from its first 6 columns, the right cap from the 6 columns 8
// pixels in, the two columns between stretched; a picture only 14 wide is drawn as well.
TEST_F(ChatWindow, APanesBarTakesItsCapsAndMiddleFromThePicture) {
    CIMDlg* w = OpenOne();
    const QString top = shell::SkinFile("im_top.bmp");
    const QColor left(200, 0, 0), middle(0, 160, 0), right(0, 0, 220), beyond(220, 220, 0);
    for (int width : {20, 14}) {
        QImage bar(width, 40, QImage::Format_RGB32);
        for (int x = 0; x < width; ++x)
            for (int y = 0; y < 40; ++y) bar.setPixelColor(x, y, x < 6 ? left : x < 8 ? middle : x < 14 ? right : beyond);
        ASSERT_TRUE(bar.save(top, "BMP"));
        w->PeerPanel()->ReloadPicture();
        const QImage shot = w->PeerPanel()->grab().toImage();
        const int y = shot.height() - 4;
        EXPECT_EQ(left, shot.pixelColor(2, y)) << width;
        EXPECT_EQ(middle, shot.pixelColor(shot.width() / 2, y)) << width;
        EXPECT_EQ(right, shot.pixelColor(shot.width() - 3, y)) << width;
    }
}

TEST_F(ChatWindow, EditCommandsActOnTheViewLastClicked) {
    CIMDlg* w = OpenOne();
    w->show();
    QTest::keyClicks(w->Input(), "typed");
    w->OnSend();
    QTest::keyClicks(w->Input(), "draft");
    QMenu* history = w->ContextMenuFor(w->History());
    QStringList texts;
    for (QAction* a : history->actions()) texts << (a->isSeparator() ? "-" : a->text().remove('&'));
    EXPECT_EQ((QStringList{"Copy", "-", "Select all"}), texts);
    EXPECT_FALSE(history->actions()[0]->isEnabled());  // nothing selected in the history
    QMenu* input = w->ContextMenuFor(w->Input());
    texts.clear();
    for (QAction* a : input->actions()) texts << (a->isSeparator() ? "-" : a->text().remove('&'));
    EXPECT_EQ((QStringList{"Undo", "-", "Cut", "Copy", "Paste", "Delete", "-", "Select all"}), texts);
    EXPECT_TRUE(input->actions()[0]->isEnabled());   // typing can be undone
    EXPECT_FALSE(input->actions()[2]->isEnabled());  // no selection to cut
    // The items read the language file's texts as they stand, key names included.
    shell::ApplyLanguageCode("chs");
    EXPECT_EQ(chat::ChatText("im_dlg", "im_menu1_0", "撤销(&Z)"), w->ContextMenuFor(w->Input())->actions()[0]->text());
    EXPECT_TRUE(w->ContextMenuFor(w->Input())->actions()[0]->text().endsWith("Ctrl+Z"));
    shell::ApplyLanguageCode("eng");
    // Select all and copy follow the last click: in the history they take the history.
    QTest::mouseClick(w->History()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(w->LastClickInHistory());
    w->CommandAction(32812)->trigger();
    EXPECT_TRUE(w->History()->textCursor().hasSelection());
    EXPECT_FALSE(w->Input()->textCursor().hasSelection());
    w->CommandAction(32808)->trigger();
    EXPECT_TRUE(QApplication::clipboard()->text().contains("typed"));
    // Ctrl+D deletes the input's selection.
    QTest::mouseClick(w->Input()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    w->Input()->selectAll();
    EXPECT_EQ(QKeySequence("Ctrl+D"), w->CommandAction(32811)->shortcut());
    w->CommandAction(32811)->trigger();
    EXPECT_TRUE(w->Input()->toPlainText().isEmpty());
}

TEST_F(ChatWindow, AChosenFontCarriesToTheNextWindow) {
    CIMDlg* w = OpenOne();
    chat::SetFontChooserHook([](QFont* f, QColor* c) {
        f->setFamily("DejaVu Serif");
        f->setPointSize(14);
        *c = QColor(0x80, 0x00, 0x00);
        return true;
    });
    w->CommandAction(32825)->trigger();
    chat::SetFontChooserHook(nullptr);
    EXPECT_TRUE(chat::AppChatFont().chosen);
    std::vector<PresenceBuddyRecord> m{Buddy(6, "Bob")};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ONE, &m, nullptr, nullptr, 1));
    auto* next = static_cast<CIMDlg*>(registry_.Windows().back());
    EXPECT_EQ("DejaVu Serif", next->Input()->currentCharFormat().font().family());
    EXPECT_EQ(QColor(0x80, 0x00, 0x00), next->Input()->currentCharFormat().foreground().color());
    chat::AppChatFont() = {};
}

// A window the invitation opened answers the robot in the invitation's session; an answer the send
// refuses says so and leaves the invitation open, one that went out takes both links away.
TEST_F(ChatWindow, AnAnsweredInvitationLosesItsLinks) {
    const QString agree = chat::ChatText("im_dlg", "im_agree", "我同意");
    const QString reject = chat::ChatText("im_dlg", "im_reject", "拒绝参加");
    const QString warn = chat::ChatText("im_dlg", "im_warn", "以下消息未被发送");
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
    r.sender = Buddy(900, "robot");
    RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup("#@#INVITE#9001,Bob,1002,come in")), &r);
    ASSERT_FALSE(registry_.Windows().empty());
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    w->show();
    ASSERT_TRUE(w->HistoryText().contains(agree)) << w->HistoryText().toStdString();
    EXPECT_TRUE(w->HistoryText().contains("Bob:come in"));
    auto clickAgree = [&] {
        QTextCursor link = w->History()->document()->find(agree);
        ASSERT_FALSE(link.isNull());
        QTextCursor mid(w->History()->document());
        mid.setPosition(link.selectionStart() + 1);
        QTest::mouseClick(w->History()->viewport(), Qt::LeftButton, {}, w->History()->cursorRect(mid).center());
    };
    for (const int answer : {-1, 1, 0}) {
        g_sent.clear();
        g_sendAnswer = answer;
        clickAgree();
        ASSERT_EQ(1u, g_sent.size()) << answer;
        EXPECT_EQ("#@#ACCEPT#Nick", g_sent[0].text) << "under the user's first identity";
        EXPECT_EQ(std::vector<int>{900}, g_sent[0].to) << "the robot takes the answer";
        EXPECT_EQ("9001#", g_sent[0].thid) << "in the invitation's session";
        EXPECT_EQ(answer != 0, w->HistoryText().contains(agree)) << answer;
        EXPECT_EQ(answer != 0, w->HistoryText().contains(reject)) << answer;
        EXPECT_EQ(answer == -1 ? 1 : 2, w->HistoryText().count(warn)) << "said once for each refused answer";
    }
}

// The Send button keeps the mnemonic of its caption: Alt and its letter send, alone among the window's
// keys (no menu of the bar shares the letter), in both languages.
TEST_F(ChatWindow, TheSendButtonsMnemonicSends) {
    CIMDlg* w = OpenOne();
    for (const char* language : {"eng", "chs"}) {
        shell::ApplyLanguageCode(language);
        w->OnLanguageChanged();
        auto* send = w->findChild<QAbstractButton*>("sendButton");
        ASSERT_NE(nullptr, send);
        const QString caption = chat::ChatText("im_dlg", "im_send", "发送(&S)");
        EXPECT_EQ(caption, send->text()) << language;
        const QKeySequence mnemonic = QKeySequence::mnemonic(caption);
        ASSERT_FALSE(mnemonic.isEmpty()) << language;
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w));
        w->Input()->setFocus();
        QTest::keyClicks(w->Input(), "hi");
        g_sent.clear();
        QSignalSpy clicked(send, &QAbstractButton::clicked);
        QTest::keySequence(w->Input(), mnemonic);
        ASSERT_TRUE(clicked.count() == 1 || clicked.wait()) << language;  // the button clicks itself a moment later
        ASSERT_EQ(1u, g_sent.size()) << language;
        EXPECT_EQ("hi", g_sent[0].text);
    }
    shell::ApplyLanguageCode("eng");
}

// The bars, the buttons and the history's pictures are the skin's and the program's pictures.
TEST_F(ChatWindow, ThePicturesComeFromTheSkinAndTheProgramsPictures) {
    ctl::SetResourceFolder(install_.Path() + "/res");
    CIMDlg* w = OpenOne();
    const auto same = [](const QPixmap& a, const QPixmap& b) {
        return a.toImage().convertToFormat(QImage::Format_ARGB32) == b.toImage().convertToFormat(QImage::Format_ARGB32);
    };
    const QList<QPixmap> upper = ctl::CutStrip(ctl::LoadBitmapFile(shell::SkinFile("qzBar.bmp")), 32, 32, RGB(255, 0, 255));
    ASSERT_GE(upper.size(), 5);
    EXPECT_TRUE(same(upper[0], w->CommandAction(32831 + 100000)->icon().pixmap(32, 32)));  // invite
    // The upper bar is the skinned bar: a button per command with its caption, and a disabled button
    // (end, which a one-to-one chat never has) shows the skin's disabled picture.
    auto* bar = w->findChild<CSkinToolBar*>("upperBar");
    ASSERT_NE(nullptr, bar);
    const QList<QPixmap> upperOff = ctl::CutStrip(ctl::LoadBitmapFile(shell::SkinFile("qzBar_disable.bmp")), 32, 32, RGB(255, 0, 255));
    ASSERT_GE(upperOff.size(), 5);
    const int ids[] = {32831, 32833, 32838, 32837, 32841};
    for (int i = 0; i < 5; ++i) {
        CSkinToolButton* button = bar->Button(ids[i]);
        ASSERT_NE(nullptr, button) << ids[i];
        EXPECT_EQ(i, button->imageIndex());
        EXPECT_FALSE(button->text().isEmpty()) << ids[i];
        EXPECT_EQ(w->CommandAction(ids[i] + 100000)->isEnabled(), button->isEnabled()) << ids[i];
    }
    ASSERT_FALSE(bar->Button(32837)->isEnabled());
    EXPECT_TRUE(same(upperOff[3], bar->Button(32837)->icon().pixmap(QSize(32, 32), QIcon::Disabled)));
    // A button hidden through its command hides on the bar too.
    w->CommandAction(32833 + 100000)->setVisible(false);  // call
    EXPECT_FALSE(bar->Button(32833)->isVisibleTo(bar));
    w->CommandAction(32833 + 100000)->setVisible(true);
    EXPECT_TRUE(bar->Button(32833)->isVisibleTo(bar));
    auto* formatBar = w->findChild<CSkinToolBar*>("formatBar");
    ASSERT_NE(nullptr, formatBar);
    ASSERT_NE(nullptr, formatBar->Button(32823));
    EXPECT_EQ(QToolButton::MenuButtonPopup, formatBar->Button(32823)->popupMode());  // the drop-down arrow
    const QList<QPixmap> format = ctl::CutStrip(ctl::LoadBitmapFile(shell::SkinFile("chatbar2.bmp")), 16, 15, RGB(255, 255, 255));
    ASSERT_GE(format.size(), 3);
    EXPECT_TRUE(same(format[2], w->CommandAction(32823)->icon().pixmap(16, 15)));  // emoticons

    // A voice message's icon (its second arrival shows it) and the offline notice.
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, w->m_szChatId.c_str());
    r.sender = Buddy(5, "Ann");
    r.time = static_cast<int32_t>(time(nullptr));
    w->SendChatMessage(WM_PRESENCE_VOICE, 7, reinterpret_cast<LPARAM>(&r));
    w->SendChatMessage(WM_PRESENCE_VOICE, 7, reinterpret_cast<LPARAM>(&r));
    // Its line as made: two blanks, the sender, the voice-message text (its own blanks kept) and the time.
    EXPECT_TRUE(w->HistoryText().contains("  Ann" + shell::LangText("im_dlg", "im_pttmsg", "") + "(")) << w->HistoryText().toStdString();
    w->m_pAccount = nullptr;
    QTest::keyClicks(w->Input(), "hi");
    w->OnSend();
    ctl::SetResourceFolder("res");
    QTextDocument* doc = w->History()->document();
    for (int id : {201, 208}) {
        const QString name = QString("res:%1").arg(id);
        EXPECT_TRUE(w->History()->toHtml().contains(name)) << id;
        const QImage shown = doc->resource(QTextDocument::ImageResource, QUrl(name)).value<QImage>();
        EXPECT_EQ(ctl::LoadBitmapFile(install_.Path() + "/res/" + std::to_string(id) + ".bmp"), shown) << id;
    }
}

// Kick follows the chosen rows: none, or the user's own row alone, leave it off. Each kind of chat shows
// the buttons and menu items it has.
TEST_F(ChatWindow, KickFollowsTheChosenRowsAndEachKindHasItsCommands) {
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1));
    auto* room = static_cast<CIMDlg*>(registry_.Windows().back());
    room->OnRoomNotice(1, 0, "");
    room->OnRoomNotice(1, 0, "31,Cat");
    QListWidget* rows = room->MemberList();
    ASSERT_EQ(2, rows->count());
    auto choose = [&](std::set<int> ids) {
        for (int row = 0; row < rows->count(); ++row)
            rows->item(row)->setSelected(ids.count(rows->item(row)->data(Qt::UserRole).toInt()) != 0);
    };
    struct Case {
        std::set<int> chosen;
        bool enabled;
    } cases[] = {{{}, false}, {{0}, false}, {{31}, true}, {{0, 31}, true}};
    for (const Case& c : cases) {
        choose(c.chosen);
        EXPECT_EQ(c.enabled, room->CommandAction(32838 + 100000)->isEnabled()) << c.chosen.size();
    }
    CIMDlg* one = OpenOne();
    EXPECT_FALSE(one->CommandAction(32837)->isEnabled());
    // The own row's name is cut so that it and "(myself)" fit in 64 characters.
    ASSERT_EQ(1, registry_.OpenChat(CHAT_ROOM, nullptr, "R13", nullptr, 1));
    auto* named = static_cast<CIMDlg*>(registry_.Windows().back());
    named->SetOwnName(std::string(80, 'n'));
    named->OnRoomNotice(1, 0, "");
    ASSERT_EQ(1, named->MemberList()->count());
    EXPECT_EQ(QString(56, 'n') + "(myself)", named->MemberList()->item(0)->text());
    // Without a nickname the row names the account.
    named->SetOwnName("");
    named->OnRoomNotice(1, 0, "");
    EXPECT_EQ("10001(myself)", named->MemberList()->item(0)->text());
    std::vector<PresenceBuddyRecord> team{Buddy(5, "Ann", 1), Buddy(6, "Ben", 1)};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &team, nullptr, nullptr, 1));
    CIMDlg* several = static_cast<CIMDlg*>(registry_.Windows().back());
    ASSERT_EQ(1, registry_.OpenChat(CHAT_TEMP_GROUP, &team, nullptr, nullptr, 1));
    CIMDlg* temp = static_cast<CIMDlg*>(registry_.Windows().back());
    ASSERT_EQ(1, registry_.OpenChat(CHAT_GROUP, nullptr, "G7", nullptr, 1));
    CIMDlg* group = static_cast<CIMDlg*>(registry_.Windows().back());
    // Visible on the tool bar and in the menu, per command: invite, call, end, kick, block.
    struct Kind {
        CIMDlg* window;
        std::array<bool, 5> bar, menu;
    } kinds[] = {
        {one, {1, 1, 0, 0, 1}, {1, 1, 0, 0, 1}},     {several, {1, 1, 0, 0, 1}, {1, 1, 0, 0, 1}},
        {temp, {1, 1, 1, 1, 0}, {1, 1, 1, 1, 0}},    {group, {1, 0, 1, 1, 0}, {1, 1, 1, 1, 0}},
        {room, {1, 1, 0, 1, 0}, {0, 1, 0, 0, 0}},  // a room's Action menu is empty
    };
    const int ids[] = {32831, 32833, 32837, 32838, 32841};
    for (const Kind& k : kinds)
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(k.bar[i], k.window->CommandAction(ids[i] + 100000)->isVisible()) << k.window->m_chatType << " " << ids[i];
            EXPECT_EQ(k.menu[i], k.window->CommandAction(ids[i])->isVisible()) << k.window->m_chatType << " " << ids[i];
        }
    // A room greys invite; call follows the one chosen member.
    EXPECT_FALSE(room->CommandAction(32833 + 100000)->isEnabled());
    choose({31});
    EXPECT_FALSE(room->CommandAction(32831 + 100000)->isEnabled());
    EXPECT_TRUE(room->CommandAction(32833 + 100000)->isEnabled());
    // Removed from the room: the member list and the chooser are left empty, "All" included.
    room->OnRoomNotice(2, 7, "0,Me");
    EXPECT_EQ(0, rows->count());
    EXPECT_EQ(0, room->RecipientBox()->count());
    room->OnRoomNotice(2, 1, "32,Dan");  // back in, the chooser offers everyone again
    EXPECT_EQ(0, room->RecipientBox()->findData(0));
}

// A several-user window lists the people chosen. The member rows are drawn in the system's colours: the highlight while the list has the focus, the
// button face for the chosen row of a list without it, the window colour for the others.
TEST_F(ChatWindow, MemberRowsTakeTheSystemsColours) {
    std::vector<PresenceBuddyRecord> team{Buddy(5, "Ann", 1), Buddy(6, "Ben", 1)};
    ASSERT_EQ(1, registry_.OpenChat(CHAT_SEVERAL, &team, nullptr, nullptr, 1));
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    QListWidget* rows = w->MemberList();
    // The people chosen, and no row of the user's own: that comes only from a room's answer.
    ASSERT_EQ(2, rows->count());
    EXPECT_TRUE(rows->item(0)->text().startsWith("Ann"));
    EXPECT_TRUE(rows->item(1)->text().startsWith("Ben"));
    rows->setCurrentRow(0);
    const QPalette pal = QApplication::palette();
    auto colourAt = [&](int row) {
        const QRect r = rows->visualItemRect(rows->item(row));
        // Right of the picture and below the text's middle line, clear of the letters.
        return rows->viewport()->grab().toImage().pixelColor(r.right() - 3, r.top() + 2);
    };
    rows->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return rows->hasFocus(); }));
    EXPECT_EQ(pal.color(QPalette::Active, QPalette::Highlight), colourAt(0));
    EXPECT_EQ(pal.color(QPalette::Active, QPalette::Base), colourAt(1));
    w->Input()->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->Input()->hasFocus(); }));
    EXPECT_EQ(pal.color(QPalette::Active, QPalette::Button), colourAt(0));
    EXPECT_EQ(pal.color(QPalette::Active, QPalette::Base), colourAt(1));
}

// An invitation's fields are split as a room's entries: its name and text keep their blanks, a field of
// blanks is a text, and only a missing or empty fourth field gives the name alone.
TEST_F(ChatWindow, AnInvitationShowsItsFieldsAsTheyCame) {
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
    r.sender = Buddy(900, "robot");
    const QString agree = chat::ChatText("im_dlg", "im_agree", "我同意");
    const struct {
        const char* fields;
        QString shown;
    } cases[] = {
        {"9001,Bob,1002,come in", "Bob:come in  " + agree},
        {"9001,Cy,1002", "Cy  " + agree},
        {"9001,Dee,1002,", "Dee  " + agree},
        {"9001,Eve,1002,   ", "Eve:     " + agree},
        {"9001, Fay ,1002,hi", " Fay :hi  " + agree},
        {"9001,,1002,anon", " :anon  " + agree},
    };
    for (const auto& c : cases) {
        RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT,
                             reinterpret_cast<WPARAM>(strdup((std::string("#@#INVITE#") + c.fields).c_str())), &r);
        ASSERT_FALSE(registry_.Windows().empty());
        const QString text = static_cast<CIMDlg*>(registry_.Windows().back())->HistoryText();
        EXPECT_TRUE(text.contains(c.shown)) << c.fields << " in " << text.toStdString();
    }
}

// A system notice is written bold in the input's font, 300 twips (15 points) taller; a chosen font
// carries to the notices.
TEST_F(ChatWindow, NoticesAreBoldAndFifteenPointsTallerThanTheInput) {
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, "9001#");
    r.sender = Buddy(900, "robot");
    auto invite = [&](const char* text) {
        RouteIncomingMessage(&registry_, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(text)), &r);
    };
    invite("#@#INVITE#9001,Bob,1002,first");
    ASSERT_FALSE(registry_.Windows().empty());
    auto* w = static_cast<CIMDlg*>(registry_.Windows().back());
    auto format = [&](const QString& text) {
        QTextCursor c = w->History()->document()->find(text);
        EXPECT_FALSE(c.isNull()) << text.toStdString();
        return c.charFormat();
    };
    const double base = QFontInfo(w->Input()->font()).pointSizeF();
    for (const QString& text : {QString("Bob:first"), chat::ChatText("im_dlg", "im_systip", "System tip")}) {
        EXPECT_EQ(QFont::Bold, format(text).fontWeight()) << text.toStdString();
        EXPECT_DOUBLE_EQ(base + 15, format(text).fontPointSize()) << text.toStdString();
    }
    chat::SetFontChooserHook([](QFont* f, QColor* c) {
        f->setFamily("DejaVu Serif");
        f->setPointSize(11);
        *c = QColor(0x80, 0x00, 0x00);
        return true;
    });
    w->CommandAction(32825)->trigger();
    chat::SetFontChooserHook(nullptr);
    chat::AppChatFont() = {};
    invite("#@#INVITE#9001,Bob,1002,second");
    const QTextCharFormat f = format("Bob:second");
    EXPECT_EQ(QFont::Bold, f.fontWeight());
    EXPECT_DOUBLE_EQ(11 + 15, f.fontPointSize());
    EXPECT_EQ(QColor(0x80, 0x00, 0x00), f.foreground().color());
    EXPECT_EQ(QStringList{"DejaVu Serif"}, f.fontFamilies().toStringList());
}
