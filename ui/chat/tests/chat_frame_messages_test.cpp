// The chat side of the frame's message table: the SMS window and the chat-record browser it opens, and
// the chat windows through sign-out, a lost messaging link and exit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdlib>

#include "common/account.h"
#include "common/appenv.h"
#include "platform/codepage.h"
#include "service/login_fsm.h"
#include "service/service_msgs.h"
#include "service/as_records.h"
#include "ui/chat/chat_record_frame.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/chat/chat_sms_dialogs.h"
#include "ui/chat/chat_session_registry.h"
#include "ui/chat/chat_transport.h"
#include "ui/chat/chat_skin_panel.h"
#include "ui/chat/chat_window.h"
#include <QTreeWidget>
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_messages.h"
#include "ui/shell/shell_config.h"
#include "tools/testsupport/install_copy.h"

TEST(ChatFrameMessages, SmsAndRecordQueriesOpenTheirOneWindow) {
    char tmpl[] = "/tmp/chatframeXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string root = tmpl;
    testsupport::InstallCopy install;
    shell::LoadConfigPaths(install.Path(), root, false);
    shell::ApplyLanguageCode("eng");
    chat::InstallChat();
    chat::SetSignedIn(root + "/records", "me");
    ChatFrameHooks& hooks = ChatHooks();
    ASSERT_TRUE(hooks.frameMessage);
    auto shown = [](const char* className) {
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->inherits(className)) ++n;
        return n;
    };
    EXPECT_FALSE(hooks.frameMessage(0x4D0, 0, 0));  // not ours
    EXPECT_TRUE(hooks.frameMessage(0x81A, 4, 0));   // only show it: the window opens with no recipient
    EXPECT_EQ(1, shown("CSendSmsDlg"));
    EXPECT_TRUE(hooks.frameMessage(0x81A, 1, 0));   // no node: the same window, nothing added
    EXPECT_EQ(1, shown("CSendSmsDlg"));
    EXPECT_TRUE(hooks.frameMessage(0x81A, 2, reinterpret_cast<LPARAM>("card-1")));
    EXPECT_TRUE(hooks.frameMessage(0x81A, 1, reinterpret_cast<LPARAM>("contact-2")));
    EXPECT_EQ(1, shown("CSendSmsDlg"));  // one dialog gathers both
    // 0 asks for the own folder, which the browser selects.
    ASSERT_TRUE(chat::Records()->Append(0, 0, 0, "me", "Ann", -1, "hello", 0, ""));
    EXPECT_TRUE(hooks.frameMessage(0x81C, 0, 0));
    EXPECT_EQ(1, shown("CChatRecordFrame"));
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* browser = qobject_cast<CChatRecordFrame*>(w)) {
            ASSERT_NE(nullptr, browser->Tree()->currentItem());
            EXPECT_EQ("me", browser->Tree()->currentItem()->text(0));
            EXPECT_EQ(1, browser->List()->topLevelItemCount());
        }
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits("CSendSmsDlg") || w->inherits("CChatRecordFrame")) w->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    hooks = ChatFrameHooks();
    ChatWindowHooks() = ChatWindowHookSet();
    std::system(("rm -rf " + root).c_str());
}

// A language change that finds the chat lock busy skips the chat windows only: the SMS dialog, which
// holds nothing of the registry's, takes the new texts all the same.
TEST(ChatFrameMessages, ALanguageChangeReachesTheDialogsWhileTheChatLockIsBusy) {
    char tmpl[] = "/tmp/chatframeXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string root = tmpl;
    testsupport::InstallCopy install;
    shell::LoadConfigPaths(install.Path(), root, false);
    shell::ApplyLanguageCode("eng");
    chat::InstallChat();
    ChatFrameHooks& hooks = ChatHooks();
    ASSERT_TRUE(hooks.languageChanged);
    EXPECT_TRUE(hooks.frameMessage(0x81A, 2, reinterpret_cast<LPARAM>("card-1")));
    QWidget* sms = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->inherits("CSendSmsDlg")) sms = w;
    ASSERT_NE(nullptr, sms);
    EXPECT_EQ("Send SMS", sms->windowTitle());
    CChatSessionRegistry* registry = chat::Registry();
    ASSERT_FALSE(registry->Lock());  // held here: the hook's own Lock cannot have it
    shell::ApplyLanguageCode("chs");
    hooks.languageChanged();
    registry->Unlock();
    EXPECT_EQ(QString::fromUtf8("发送短信"), sms->windowTitle());
    sms->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    shell::ApplyLanguageCode("eng");
    hooks = ChatFrameHooks();
    ChatWindowHooks() = ChatWindowHookSet();
    std::system(("rm -rf " + root).c_str());
}

TEST(ChatFrameMessages, TheTestModeRunsOneChatWindowModally) {
    char tmpl[] = "/tmp/chatframeXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string root = tmpl;
    testsupport::InstallCopy install;
    shell::LoadConfigPaths(install.Path(), root, false);
    shell::ApplyLanguageCode("eng");
    chat::InstallChat();
    ChatFrameHooks& hooks = ChatHooks();
    ASSERT_TRUE(hooks.runTestWindow);
    struct Seen {
        int windows = 0;
        bool modal = false, collapsed = false;
    } seen;
    // Looked at from inside the modal loop, then closed as the user would.
    QTimer::singleShot(0, [&seen] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dlg = qobject_cast<CIMDlg*>(w);
            if (!dlg || !dlg->isVisible()) continue;
            ++seen.windows;
            seen.modal = dlg->isModal() && dlg->m_bModal == 1 && !dlg->parentWidget();
            seen.collapsed = dlg->PeerPanel()->Collapsed();
            dlg->close();
        }
    });
    hooks.runTestWindow();  // returns once the window is closed
    EXPECT_EQ(1, seen.windows);
    EXPECT_TRUE(seen.modal);
    EXPECT_TRUE(seen.collapsed);  // the test mode collapses the peer's pane whatever the skin says
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_EQ(nullptr, qobject_cast<CIMDlg*>(w));
    hooks = ChatFrameHooks();
    ChatWindowHooks() = ChatWindowHookSet();
    std::system(("rm -rf " + root).c_str());
}

namespace {
std::vector<std::string> g_sent;  // texts that reached the messaging service
int RecordSend(PresenceConnectionRec*, const char* text, std::vector<PresenceBuddyRecord>* recipients, const char*, int) {
    recipients->clear();
    g_sent.push_back(text ? text : "");
    return 0;
}
}  // namespace

// Sign-out, a lost messaging link and exit, each with a one-to-one chat, a group and a room open: every
// window closes. Going offline frees the accounts the windows hold, so nothing of theirs reaches the
// service then; an exit while still signed in leaves the group and the room as their close does.
TEST(ChatFrameMessages, SignOutALostLinkAndExitCloseEveryChatWindowSafely) {
    enum Path { SIGN_OUT, LINK_LOST, EXIT };
    struct Case {
        const char* name;
        Path path;
        std::vector<std::string> sent;
        bool box;  // a box about the lost link
    } const cases[] = {
        {"File, Sign out", SIGN_OUT, {}, false},
        {"messaging link lost", LINK_LOST, {}, false},
        {"exit while signed in", EXIT, {"#@#QUIT", "#@#QUIT"}, false},
    };
    testsupport::InstallCopy install;
    ASSERT_EQ(0, g_configManual) << "the accounts are the service's: sign-out frees them";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char tmpl[] = "/tmp/chatframeXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        const std::string root = tmpl;
        shell::LoadConfigPaths(install.Path(), root, false);
        shell::ApplyLanguageCode("eng");
        chat::InstallChat();
        ChatSetSendFunction(RecordSend);
        g_strUserId = "alice";
        Account_Add(Account_New("10001", ACCOUNT_TYPE_SERVICE));
        auto frame = std::make_unique<CMainFrame>();
        std::vector<QString> boxes;
        frame->showBox = [&](const QString& text, const QString&) { boxes.push_back(text); };
        frame->LogoffReset(LOGIN_SIGNED_IN);

        CChatSessionRegistry* registry = chat::Registry();
        PresenceBuddyRecord ann;
        ann.id = 5;
        presence_copy_field(ann.name, sizeof ann.name, "Ann");
        ASSERT_EQ(1, OpenChatWithUsers(registry, {ann}));
        ASSERT_EQ(1, OpenGroupChat(registry, "group-7", "Team"));
        ChatSessionRecord room;
        presence_copy_field(room.name, sizeof room.name, "Lobby");
        ASSERT_EQ(1, registry->OpenChat(CHAT_ROOM, nullptr, "room-9", &room, 1));
        ASSERT_EQ(3u, registry->Windows().size());
        g_sent.clear();

        switch (c.path) {
            case SIGN_OUT: frame->Command(ID_LOGOFF); break;
            case LINK_LOST:  // as the login state machine reports it: signed out, then the notice
                frame->Dispatch(WM_LOGIN_STATE, ST_initial, 0);
                frame->Dispatch(WM_LOGIN_NOTICE, LOGIN_NOTICE_LINK_LOST, 0);
                break;
            case EXIT: frame->close(); break;
        }
        QCoreApplication::sendPostedEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(LOGIN_SIGNED_OUT, frame->m_nLoginState);
        EXPECT_TRUE(registry->Windows().empty());
        for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_EQ(nullptr, qobject_cast<CIMDlg*>(w));
        EXPECT_EQ(c.sent, g_sent);
        EXPECT_EQ(c.box, !boxes.empty() && boxes.back() == shell::LangText("login", "txt_link_lost", ""));

        frame.reset();
        ChatSetSendFunction(nullptr);
        ChatHooks() = ChatFrameHooks();
        ChatWindowHooks() = ChatWindowHookSet();
        g_strUserId.clear();
        std::system(("rm -rf " + root).c_str());
    }
}

namespace {
template <typename T>
T* Shown() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* t = qobject_cast<T*>(w); t && t->isVisible()) return t;
    return nullptr;
}
}  // namespace

// The link drops (or the user signs out) while the room list, the SMS window, the record browser or a
// chat window runs a dialog, box or menu of its own: the dialog ends, and its window goes only after the
// code that ran the dialog has returned, never under it.
TEST(ChatFrameMessages, SigningOutWhileAWindowRunsADialogEndsTheDialogFirst) {
    struct Case {
        const char* name;
        int profiles;                                 // identities of the user
        std::function<QWidget*()> open;               // the window that signing out closes
        std::function<void(QWidget*)> run;            // runs the dialog, box or menu over it
    };
    auto roomList = [] {
        chat::ShowChatRooms();
        auto* list = Shown<CChatRoomDlg>();
        std::vector<ChatRoomEntry> rooms{{"q-dev", "Developers", 0}};
        if (list) list->OnRoomList(0, &rooms);
        return list;
    };
    auto join = [](QWidget* w) {
        auto* list = static_cast<CChatRoomDlg*>(w);
        list->Tree()->setCurrentItem(list->Tree()->topLevelItem(0));
        list->Join();
    };
    auto sms = [] {
        chat::OpenSms(4, nullptr);
        return static_cast<QWidget*>(Shown<CSendSmsDlg>());
    };
    auto browser = [] {
        chat::ShowRecords(0, false);
        return static_cast<QWidget*>(Shown<CChatRecordFrame>());
    };
    auto chatWindow = [] {
        PresenceBuddyRecord ann;
        ann.id = 5;
        presence_copy_field(ann.name, sizeof ann.name, "Ann");
        if (OpenChatWithUsers(chat::Registry(), {ann}) != 1) return static_cast<QWidget*>(nullptr);
        auto* window = dynamic_cast<CIMDlg*>(chat::Registry()->Windows().back());
        if (window) window->show();
        return static_cast<QWidget*>(window);
    };
    const Case cases[] = {
        {"the room list's wait for the room", 1, roomList, join},
        {"the room list's identity dialog", 2, roomList, join},
        {"the room list's box: no room chosen", 1, roomList, [](QWidget* w) { static_cast<CChatRoomDlg*>(w)->Join(); }},
        {"the SMS window's recipient chooser", 1, sms, [](QWidget* w) { static_cast<CSendSmsDlg*>(w)->SelectRecipients(); }},
        {"the SMS window's box: no numbers", 1, sms, [](QWidget* w) { static_cast<CSendSmsDlg*>(w)->SendSms(); }},
        {"the browser's query dialog", 1, browser, [](QWidget* w) { static_cast<CChatRecordFrame*>(w)->Action(32867)->trigger(); }},
        {"the browser's list menu", 1, browser,
         [](QWidget* w) { emit static_cast<CChatRecordFrame*>(w)->List()->customContextMenuRequested(QPoint(4, 4)); }},
        {"a chat window's font dialog", 1, chatWindow, [](QWidget* w) { static_cast<CIMDlg*>(w)->ChooseFont(); }},
        {"a chat window's picture menu", 1, chatWindow, [](QWidget* w) { static_cast<CIMDlg*>(w)->SendChatMessage(0x81F, 1, 0); }},
    };
    testsupport::InstallCopy install;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char tmpl[] = "/tmp/chatframeXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        const std::string root = tmpl;
        shell::LoadConfigPaths(install.Path(), root, false);
        shell::ApplyLanguageCode("eng");
        chat::InstallChat();
        CChatRoomDlg::SetListRequest([] {});
        ChatSetSendFunction(RecordSend);
        g_strUserId = "alice";
        Account_Add(Account_New("10001", ACCOUNT_TYPE_SERVICE));
        g_profileList.Clear();
        for (int i = 0; i < c.profiles; ++i) {
            auto* e = new AsProfileEntry;
            e->id = strdup(i == 0 ? "p1" : "p2");
            e->name = strdup(i == 0 ? "Alice" : "Boss");
            g_profileList.entries.push_back(e);
        }
        auto frame = std::make_unique<CMainFrame>();
        frame->showBox = [](const QString&, const QString&) {};
        frame->LogoffReset(LOGIN_SIGNED_IN);

        QPointer<QWidget> window = c.open();
        ASSERT_FALSE(window.isNull());
        // From inside the dialog's own loop: the messaging link drops.
        QString running;
        int polls = 0;
        std::function<void()> signOut = [&] {
            QWidget* open = QApplication::activePopupWidget() ? QApplication::activePopupWidget() : QApplication::activeModalWidget();
            if (!open && ++polls < 100) {
                QTimer::singleShot(0, signOut);
                return;
            }
            running = open ? open->metaObject()->className() : QString();
            frame->Dispatch(WM_LOGIN_STATE, ST_initial, 0);
        };
        QTimer::singleShot(0, signOut);
        c.run(window);
        EXPECT_FALSE(running.isEmpty()) << "no dialog ran";
        EXPECT_EQ(LOGIN_SIGNED_OUT, frame->m_nLoginState);
        EXPECT_EQ(nullptr, QApplication::activeModalWidget());
        QCoreApplication::sendPostedEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(window.isNull()) << running.toStdString();

        frame.reset();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        g_profileList.Clear();
        CChatRoomDlg::SetListRequest(nullptr);
        ChatSetSendFunction(nullptr);
        ChatHooks() = ChatFrameHooks();
        ChatWindowHooks() = ChatWindowHookSet();
        g_strUserId.clear();
        std::system(("rm -rf " + root).c_str());
    }
}
