// The chat side of the frame's message table: the SMS window and the chat-record browser it opens.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdlib>

#include "ui/chat/chat_record_frame.h"
#include "ui/chat/chat_skin_panel.h"
#include "ui/chat/chat_window.h"
#include <QTreeWidget>
#include "ui/shell/main_frame.h"
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
    EXPECT_TRUE(hooks.frameMessage(0x81A, 1, 0));   // no node: nothing opens
    EXPECT_EQ(0, shown("CSendSmsDlg"));
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
