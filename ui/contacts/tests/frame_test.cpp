// The address book inside the real main frame: the registered page after the synchronisation, presence,
// answers and commands through the frame's table, and log-off.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTreeWidgetItemIterator>
#include <functional>
#include <map>
#include <set>

#include "common/appenv.h"
#include "platform/codepage.h"
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
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/dialog_box.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/tests/fake_calls.h"

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
    // The synchronisation reaches the frame, then the sign-in completes: the frame's Contacts page.
    static contacts::CAddressBookDlg* SignIn(CMainFrame& frame) {
        frame.Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(booktest::Parsed(AS_SYN, booktest::Recorded())));
        frame.LogoffReset(LOGIN_SIGNED_IN);
        QCoreApplication::sendPostedEvents();
        return contacts::BookPage();
    }
    void TearDown() override {
        BookHooks() = FrameBookHooks();
        BookTest::TearDown();
    }
};

TEST_F(BookInFrame, PageAnswersPresenceCommandsAndLogOff) {
    std::map<std::string, int> seen;
    fakecalls::Registered calls(&seen);
    CMainFrame frame;
    contacts::CAddressBookDlg* page = SignIn(frame);
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
    EXPECT_TRUE(page->BuddyTree()->AllLabels().contains("  BobbyOnline"));  // the refresh's label
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
    // The block answer reached the chat windows through the page's host.
    EXPECT_EQ((std::vector<std::string>{"broadcast 2081 0 bob", "call carol 8 carol"}), host.log);
    // The hang-up on the Contacts page goes to the calls windows (they end the call talking, else the
    // one still calling), and the Contacts page stays in front.
    frame.Sheet()->setCurrentWidget(page);
    frame.Command(ID_HANGUP);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(page, frame.Sheet()->currentWidget());
    EXPECT_EQ(1, seen["hangup"]);
    // View, Contacts: the page comes to the front with its contact pane, from any other pane.
    page->ShowCardPane();
    page->FinishSlide();
    frame.Sheet()->setCurrentWidget(frame.StartPage());
    frame.Command(ID_SHOW_BOOK);
    page->FinishSlide();
    EXPECT_EQ(page, frame.Sheet()->currentWidget());
    EXPECT_EQ(0, page->Pane());
    // The tool bar's search.
    frame.Command(ID_SEARCH);
    QPointer<QDialog> search = contacts::SearchDialog();
    ASSERT_NE(nullptr, search);
    // Log-off: the page and the search window go, the expanded groups are saved, the store keeps only
    // the default groups.
    page->BuddyTree()->ExpandItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "g-work")), true);
    const std::string conf = contacts::LocalConfPath();
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    EXPECT_EQ(nullptr, contacts::SearchDialog());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(search.isNull()) << "the search window is destroyed";
    EXPECT_EQ(nullptr, contacts::BookPage());
    EXPECT_EQ(nullptr, Root(0)->child);
    EXPECT_NE(nullptr, Find(Root(1), "1"));
    EXPECT_EQ(1u, GetPrivateProfileIntA("localconf", "g-work", 0, conf.c_str()));
}

// A telephone identity is called at its own number: a contact's second number of a type as well as
// its first, and a card's numbers.
TEST_F(BookInFrame, ACallGoesToTheChosenNumber) {
    std::map<std::string, int> seen;
    fakecalls::Registered calls(&seen);
    CMainFrame frame;
    ASSERT_NE(nullptr, SignIn(frame));
    AddrNode* bob = Find(Root(0), "bob");
    ASSERT_NE(nullptr, bob);
    Identity(bob, 3, "13800000009");  // a second mobile number after the synchronised one
    struct Case { const char* node; uint32_t type; const char* number; } const cases[] = {
        {"bob", 3, "13800000002"},
        {"bob", 3, "13800000009"},
        {"l-family", 2, "010-62345678"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        seen.clear();
        host.BookHost::CallContact(Find(Root(0), c.node) ? Find(Root(0), c.node) : Find(Root(2), c.node), c.type, c.number);
        EXPECT_EQ((std::map<std::string, int>{{std::string("call ") + c.number, 1}}), seen);
    }
}

// The messaging service's buddy records turn a contact online and offline.
// Each refresh runs the display text and the word together; a full rebuild gives the rebuild's label.
TEST_F(BookInFrame, BuddyRecordsTurnAContactOnlineAndOffline) {
    CMainFrame frame;
    contacts::CAddressBookDlg* page = SignIn(frame);
    ASSERT_NE(nullptr, page);
    // The tree's pictures from the default skin, whose paths are relative to the program's folder.
    const QString before = QDir::currentPath();
    QDir::setCurrent(TESSALY_BINARY_DIR);
    page->OnSkinChanged();
    QDir::setCurrent(before);
    auto post = [&](int online) {
        auto* record = new PresenceBuddyRecord;
        record->id = 1002;
        record->online = online;
        presence_copy_field(record->account, sizeof record->account, "bob@127.0.0.1");
        frame.Dispatch(WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(record));
    };
    struct Step { int online; const char* label; int image; const char* group; } const steps[] = {
        {1, "  BobbyOnline", contacts::IMG_ONLINE, "朋友(1/2)"},
        {1, "  BobbyOnline", contacts::IMG_ONLINE, "朋友(1/2)"},
        {0, "  BobbyOffline", contacts::IMG_OFFLINE, "朋友(0/2)"},
    };
    std::map<int, QImage> pictures;
    for (const Step& s : steps) {
        post(s.online);
        const QStringList labels = page->BuddyTree()->AllLabels();
        EXPECT_TRUE(labels.contains(s.label)) << s.label << ": " << labels.join("|").toStdString();
        EXPECT_TRUE(labels.contains(s.group)) << s.group;
        QTreeWidgetItem* bob = page->BuddyTree()->ItemOfNode(Find(Root(0), "bob"));
        ASSERT_NE(nullptr, bob);
        EXPECT_EQ(s.image, bob->data(0, Qt::UserRole).toInt()) << s.label;
        pictures[s.image] = bob->icon(0).pixmap(16, 16).toImage();
        EXPECT_FALSE(pictures[s.image].isNull()) << s.label;
    }
    EXPECT_NE(pictures[contacts::IMG_ONLINE], pictures[contacts::IMG_OFFLINE]);
    page->RebuildBuddyTree(nullptr);
    EXPECT_TRUE(page->BuddyTree()->AllLabels().contains("  Bobby(Bob)--Offline"));
}

TEST_F(BookInFrame, ContactMenusRunOnTheSelectionAndTheDialBarFollowsIt) {
    CMainFrame frame;
    contacts::CAddressBookDlg* page = SignIn(frame);
    ASSERT_NE(nullptr, page);
    // The menu file offers the contact commands.
    for (int id : {contacts::MENU_ADD_CONTACT, contacts::MENU_NEW_GROUP, contacts::MENU_NEW_USER, contacts::MENU_DELETE_USER,
                   contacts::MENU_DELETE_GROUP, contacts::MENU_BLOCK_LIST, contacts::MENU_NICKNAME}) {
        bool found = false;
        for (QAction* a : frame.findChildren<QAction*>()) found |= a->data().toInt() == id && !a->text().isEmpty();
        EXPECT_TRUE(found) << id;
    }
    // The block list and the nickname dialogs run from the menu; the nickname dialog shows the user's
    // own name (kept in the code page) as it reads.
    std::vector<std::string> ran;
    QStringList fields;
    host.exec = [&ran, &fields](QDialog* d) {
        ran.push_back(d->metaObject()->className());
        for (QLineEdit* e : d->findChildren<QLineEdit*>()) fields << e->text();
        return int(QDialog::Rejected);
    };
    contacts::Own().displayName = plat::FromUtf16(u"\u5c0f\u5f20", 936);
    // These two are no address-book commands: the page in front stays.
    frame.Sheet()->setCurrentWidget(frame.StartPage());
    frame.Command(contacts::MENU_BLOCK_LIST);
    frame.Command(contacts::MENU_NICKNAME);
    EXPECT_EQ((std::vector<std::string>{"contacts::CBlockListDlg", "contacts::CNicknameDlg"}), ran);
    EXPECT_TRUE(fields.contains(QString::fromUtf8("\u5c0f\u5f20"))) << fields.join("|").toStdString();
    EXPECT_EQ(frame.StartPage(), frame.Sheet()->currentWidget());
    // After a nickname change the server took, the dialog offers the new one as the old; a refused
    // change leaves it.
    for (int code : {0, 1}) {
        auto* rea = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
        rea->str3 = strdup(code == 0 ? "Ally" : "Refused");
        AsRequest* answer = booktest::NewRequest(AS_REA, rea, AS_DATA_PARAMS);
        answer->result = code;
        frame.Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(answer));
    }
    fields.clear();
    frame.Command(contacts::MENU_NICKNAME);
    EXPECT_TRUE(fields.contains("Ally")) << fields.join("|").toStdString();
    EXPECT_FALSE(fields.contains("Refused"));
    EXPECT_EQ("Ally", frame.Alias().toStdString());
    // Delete group on the selection, with both questions; a contact selected is not a group.
    page->BuddyTree()->setCurrentItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "carol")));
    frame.Command(contacts::MENU_DELETE_GROUP);
    EXPECT_EQ(page, frame.Sheet()->currentWidget());
    EXPECT_TRUE(host.commands.empty());
    frame.Command(contacts::MENU_DELETE_USER);
    page->BuddyTree()->setCurrentItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "g-team")));
    frame.Command(contacts::MENU_DELETE_GROUP);
    frame.Command(contacts::MENU_NEW_GROUP);
    ASSERT_EQ(3u, host.commands.size());
    EXPECT_EQ(AS_REM, host.commands[0].command);
    EXPECT_EQ("carol", host.commands[0].s1);
    EXPECT_EQ(AS_RMG, host.commands[1].command);
    EXPECT_EQ("g-team", host.commands[1].s1);
    EXPECT_EQ(AS_ADG, host.commands[2].command);
    EXPECT_EQ(contacts::ToAnsi(shell::LangText("addrbook_dialog", "newgroup", "")), host.commands[2].s3);
    ASSERT_EQ(3u, host.questions.size());
    EXPECT_EQ(shell::LangText("addrbook_dialog", "del_group2", ""), host.questions[2]);
    EXPECT_FALSE(host.questions[2].isEmpty());
    // A refused quit shows the text of its code.
    AsRequest* quit = booktest::NewRequest(AS_QTQ, nullptr, AS_DATA_NONE);
    quit->result = 403;
    frame.Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(quit));
    ASSERT_EQ(1u, host.boxes.size());
    EXPECT_EQ(shell::LangText("as_code", "qtq_not_allowed", ""), host.boxes[0].first);
    EXPECT_FALSE(host.boxes[0].first.isEmpty());
    // The frame has no number field of its own: the selection alone decides the dial button.
    EXPECT_EQ(nullptr, frame.findChild<QComboBox*>("dialCombo"));
    // The page's host sets the frame's own dial-bar buttons, only while the page is in front.
    auto* dial = frame.findChild<QAbstractButton*>("dialBarCall");
    auto* hangup = frame.findChild<QAbstractButton*>("dialBarHangup");
    ASSERT_TRUE(dial && hangup);
    host.BookHost::SetDialButtons(false, true);
    EXPECT_FALSE(dial->isEnabled());
    EXPECT_TRUE(hangup->isEnabled());
    host.BookHost::SetDialButtons(true, false);
    EXPECT_TRUE(dial->isEnabled());
    EXPECT_FALSE(hangup->isEnabled());
    frame.Command(ID_SHOW_DIAL);
    if (frame.Sheet()->currentWidget() != page) {
        host.BookHost::SetDialButtons(false, true);
        EXPECT_TRUE(dial->isEnabled());
    }
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The Contacts page sets the frame's dial bar by the frame's rules: a call talking or still calling
// takes the dial button, a page whose call has ended does not; offline or busy, both stay off.
TEST_F(BookInFrame, ContactsPageSetsTheDialBarThroughTheFrame) {
    struct FrameDialHost : booktest::FakeHost {
        bool BusyCallPage() const override { return BookHost::BusyCallPage(); }
        void SetDialButtons(bool dial, bool hangup) override { BookHost::SetDialButtons(dial, hangup); }
    } dialHost;
    BookHooks().createPage = [&dialHost]() -> CNqPropertyPage* {
        auto* page = new contacts::CAddressBookDlg(&dialHost);
        page->RebuildBuddyTree(nullptr);
        return page;
    };
    fakecalls::Registered calls;
    CMainFrame frame;
    contacts::CAddressBookDlg* page = SignIn(frame);
    ASSERT_NE(nullptr, page);
    ASSERT_NE(nullptr, calls.last);
    auto* dial = frame.findChild<QAbstractButton*>("dialBarCall");
    auto* hangup = frame.findChild<QAbstractButton*>("dialBarHangup");
    ASSERT_TRUE(dial && hangup);
    page->BuddyTree()->setCurrentItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "carol")));
    struct Case {
        const char* name;
        int callState;  // -1: no call page
        int status;
        bool busy;
        bool dial, hangup;
    };
    const Case cases[] = {
        {"no call", -1, 0, false, true, false},
        {"an ended call's page", 3, 0, false, true, false},
        {"a call talking", 1, 0, false, false, true},
        {"a call still calling", 0, 0, false, false, true},
        {"offline", -1, 1, false, false, false},
        {"the frame busy", 1, 0, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QPointer<CNqPropertyPage> call = c.callState >= 0 ? calls.last->AddCall("bob", c.callState) : nullptr;
        calls.last->busy = c.busy;
        frame.StatusBar()->SetStatus(c.status);
        frame.Sheet()->setCurrentWidget(page);
        page->OnSetActive();
        EXPECT_EQ(c.dial, dial->isEnabled());
        EXPECT_EQ(c.hangup, hangup->isEnabled());
        delete call.data();
    }
    frame.StatusBar()->SetStatus(0);
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// A synchronisation the address book cannot apply is no successful sign-in; a good one lists the
// accounts it brought in the open accounts dialog.
TEST_F(BookInFrame, SyncTheBookCannotApplyFailsAndTheAccountsDialogHearsOfNewAccounts) {
    CMainFrame frame;
    std::string broken = booktest::Recorded();
    const size_t from = broken.find("<SRV>"), to = broken.find("<LSG>");
    ASSERT_LT(from, to);
    broken.erase(from, to - from);  // no service entries
    std::vector<QString> boxes;
    shell::SetDialogBoxHook([&](const QString& text, const QString&) { boxes.push_back(text); });
    frame.Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(booktest::Parsed(AS_SYN, broken)));
    EXPECT_EQ(0, frame.SyncedBuddyCount());  // the frame never took it as loaded
    EXPECT_EQ(nullptr, Account_FindByType(ACCOUNT_TYPE_SIP));
    EXPECT_EQ(1u, boxes.size());  // error_syn of the language file
    shell::SetDialogBoxHook(nullptr);

    shell::CAccountsDlg accounts;
    const int before = accounts.List()->topLevelItemCount();
    frame.Dispatch(WM_AS_RESULT, 0, reinterpret_cast<LPARAM>(booktest::Parsed(AS_SYN, booktest::Recorded())));
    EXPECT_GT(frame.SyncedBuddyCount(), 0);
    EXPECT_EQ(before + 2, accounts.List()->topLevelItemCount());
}

// Deleting an account while signed in takes its identities out of the store; the buddy tree must not
// keep items pointing at them.
TEST_F(BookInFrame, DeletingAnAccountTakesItsItemsOffThePage) {
    CMainFrame frame;
    contacts::CAddressBookDlg* page = SignIn(frame);
    ASSERT_NE(nullptr, page);
    Account* sip = Account_FindByType(ACCOUNT_TYPE_SIP);
    ASSERT_NE(nullptr, sip);
    auto itemsOf = [&](const Account* account) {
        int n = 0;
        for (QTreeWidgetItemIterator it(page->BuddyTree()); *it; ++it) {
            const AddrNode* node = page->BuddyTree()->NodeOf(*it);
            n += node && node->kind == ADDR_KIND_IDENTITY && static_cast<const AddrIdentity*>(node)->account == account;
        }
        return n;
    };
    ASSERT_GT(itemsOf(sip), 0);
    ASSERT_TRUE(shell::DeleteAccount(QString::fromLocal8Bit(sip->userName), ACCOUNT_TYPE_SIP));
    // Every item left points at a node still in the store.
    std::set<const AddrNode*> live;
    std::function<void(const AddrNode*)> walk = [&](const AddrNode* n) {
        for (; n; n = n->next) {
            live.insert(n);
            walk(n->child);
        }
    };
    walk(g_addrBookRoots[0]);
    int stale = 0;
    for (QTreeWidgetItemIterator it(page->BuddyTree()); *it; ++it) stale += !live.count(page->BuddyTree()->NodeOf(*it));
    EXPECT_EQ(0, stale);
    EXPECT_GT(page->BuddyTree()->topLevelItemCount(), 0);
}

}  // namespace
