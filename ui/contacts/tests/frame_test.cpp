// The address book inside the real main frame: the registered page after the synchronisation, presence,
// answers and commands through the frame's table, and log-off.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include "common/appenv.h"
#include "platform/ini.h"
#include "service/as_records.h"
#include "service/presence_notice.h"
#include "service/service_msgs.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/addrbook_replies.h"
#include "ui/contacts/book_dialogs.h"
#include "ui/contacts/frame_link.h"
#include "ui/contacts/tests/book_fixture.h"
#include "ui/contacts/tests/fake_host.h"
#include "ui/controls/skin.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_config.h"

using booktest::Find;

namespace {

class BookInFrame : public booktest::BookTest {
protected:
    void SetUp() override {
        BookTest::SetUp();
        DropAccounts();
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, folder.Path(), false);
        ctl::SetSkinType(shell::Paths().skinType);
        contacts::InstallInFrame();
        // The frame's page as registered, with a host that records calls instead of placing them.
        BookHooks().createPage = [this]() -> CNqPropertyPage* {
            auto* page = new contacts::CAddressBookDlg(&host);
            page->RebuildBuddyTree(nullptr);
            return page;
        };
        g_strUserId = "alice";
    }
    booktest::FakeHost host;
    void TearDown() override {
        BookHooks() = FrameBookHooks();
        BookTest::TearDown();
    }
};

TEST_F(BookInFrame, PageAnswersPresenceCommandsAndLogOff) {
    CMainFrame frame;
    // The synchronisation reaches the frame, then the sign-in completes.
    frame.Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(booktest::Parsed(AS_SYN, booktest::Recorded())));
    frame.LogoffReset(LOGIN_SIGNED_IN);
    QCoreApplication::sendPostedEvents();
    contacts::CAddressBookDlg* page = contacts::BookPage();
    ASSERT_NE(nullptr, page);
    EXPECT_GE(frame.Sheet()->indexOf(page), 0);
    EXPECT_EQ(page, frame.ContactsPage());  // the registered page is the frame's one Contacts page
    EXPECT_TRUE(page->BuddyTree()->AllLabels().contains("  Bobby(Bob)--Offline")) << page->BuddyTree()->AllLabels().join("|").toStdString();
    EXPECT_TRUE(page->CardTree()->AllLabels().contains("Dentist"));
    // Presence through the frame's table.
    auto* record = new PresenceBuddyRecord;
    record->id = 1002;
    record->online = 1;
    presence_copy_field(record->account, sizeof record->account, "bob@127.0.0.1");
    frame.Dispatch(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(record));
    EXPECT_TRUE(page->BuddyTree()->AllLabels().contains("  Bobby(Bob)--Online"));
    EXPECT_TRUE(page->BuddyTree()->AllLabels().contains("朋友(1/2)"));
    // A block answer through the frame's table.
    auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
    p->str1 = strdup("bob");
    frame.Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(booktest::NewRequest(AS_BLK, p, AS_DATA_PARAMS)));
    EXPECT_TRUE(Find(Root(0), "bob")->flags & ADDR_FLAG_BLOCKED);
    // The dial button on the Contacts page calls the selection (carol's VoIP account).
    frame.Sheet()->setCurrentWidget(page);
    page->BuddyTree()->setCurrentItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "carol")));
    frame.Command(ID_DIAL);
    EXPECT_EQ((std::vector<std::string>{"call carol 8 carol"}), host.log);
    // The hang-up on the Contacts page brings the talking call to the front and the frame ends it there.
    auto* call = new COnDialDlg(3, 5, "bob", false);
    frame.Sheet()->AddPage(call);
    call->SetCallState(1, "Talking");
    call->m_nState = 1;
    frame.Sheet()->setCurrentWidget(page);
    frame.Command(ID_HANGUP);
    EXPECT_EQ(call, frame.Sheet()->currentWidget());
    // The tool bar's search.
    frame.Command(ID_SEARCH);
    ASSERT_NE(nullptr, contacts::SearchDialog());
    delete contacts::SearchDialog();
    // Log-off: the page goes, the expanded groups are saved, the store keeps only the default groups.
    page->BuddyTree()->ExpandItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "g-work")), true);
    const std::string conf = contacts::LocalConfPath();
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(nullptr, contacts::BookPage());
    EXPECT_EQ(nullptr, Root(0)->child);
    EXPECT_NE(nullptr, Find(Root(1), "1"));
    EXPECT_EQ(1u, GetPrivateProfileIntA("localconf", "g-work", 0, conf.c_str()));
}

}  // namespace
