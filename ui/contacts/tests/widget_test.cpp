// The address-book page, its trees and dialogs offscreen, over alice's recorded synchronisation and a
// host that records what they ask of the frame.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDrag>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QDrag>
#include <QMimeData>
#include <QDir>
#include <QKeyEvent>
#include <QPointer>
#include <QWindow>
#include <functional>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>

#include "common/debug.h"
#include "common/grouprecord.h"
#include "platform/ini.h"
#include "common/presence_link.h"
#include "service/as_records.h"
#include "service/settings_xml.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/addrbook_replies.h"
#include "ui/contacts/addrbook_results.h"
#include "ui/contacts/book_dialogs.h"
#include "ui/contacts/tests/book_fixture.h"
#include "ui/contacts/tests/fake_host.h"
#include "ui/shell/dialog_box.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/identity_dialogs.h"
#include "ui/controls/links.h"
#include "ui/controls/skin.h"
#include "ui/controls/statics.h"
#include "ui/controls/trel_menu.h"

using namespace contacts;
using booktest::Find;

namespace {

void Pump() { QCoreApplication::sendPostedEvents(); }

// Store texts are ANSI.
std::string A(const char* utf8) { return contacts::ToAnsi(QString::fromUtf8(utf8)); }

// The first identity of that type below a contact.
AddrNode* IdentityOf(AddrNode* contact, uint32_t type) {
    for (AddrNode* c = contact ? contact->child : nullptr; c; c = c->next)
        if (c->kind == ADDR_KIND_IDENTITY && c->type == type) return c;
    return nullptr;
}

class BookWidgets : public booktest::BookTest {
protected:
    void SetUp() override {
        BookTest::SetUp();
        DropAccounts();
        shell::Paths().sortType = 2;
        g_strUserId = "alice";
        AsRequest* r = booktest::Parsed(AS_SYN, booktest::Recorded());
        ASSERT_EQ(0, OnSyncResult(r));
        AS_FreeRequest(r);
        page = new contacts::CAddressBookDlg(&host);
        page->resize(260, 520);
        page->RebuildBuddyTree(nullptr);
    }
    // The server lists one chat group the user created, "Dev talk" (q-dev).
    void ListDevTalk() {
        GroupRecord* created = GroupRecord_New();
        auto* q = new CAsChatQueue;
        q->SetQueueId("q-dev");
        q->SetDisplayName("Dev talk");
        created->entries.push_back(q);
        created->words[1] = 1;
        OnGroupList(created);
    }
    void TearDown() override {
        delete page;
        for (const auto& r : host.requests) FreeData(r);
        BookTest::TearDown();
    }
    static void FreeData(const booktest::FakeHost::Request& r) {
        if (r.kind == AS_DATA_GROUP) GroupRecord_Free(static_cast<GroupRecord*>(r.data));
        if (r.kind == AS_DATA_LIST) delete static_cast<CAsList*>(r.data);
        if (r.kind == AS_DATA_JOIN) delete static_cast<CAsChatQueue*>(r.data);
    }
    void Select(CBookTree* tree, const char* id) {
        QTreeWidgetItem* item = tree->ItemOfNode(Find(Root(tree->Kind() == TREE_CARD ? 2 : tree->Kind() == TREE_GROUP ? 1 : 0), id));
        ASSERT_NE(nullptr, item) << id;
        tree->setCurrentItem(item);
    }
    // Runs a menu command of a tree as the menu would, then the page's posted messages.
    void Menu(CBookTree* tree, int command) {
        tree->OnMenuCommand(command);
        Pump();
    }
    std::vector<std::string> Log() {
        auto out = host.log;
        host.log.clear();
        return out;
    }
    booktest::FakeHost host;
    contacts::CAddressBookDlg* page = nullptr;
};

TEST_F(BookWidgets, TreesShowTheSynchronisation) {
    const QStringList buddies = page->BuddyTree()->AllLabels();
    EXPECT_TRUE(buddies.contains("朋友(0/2)")) << buddies.join("|").toStdString();
    EXPECT_TRUE(buddies.contains("  Bobby(Bob)--Offline"));
    EXPECT_TRUE(buddies.contains("  Carol--Offline"));
    EXPECT_TRUE(buddies.contains("同事(0/2)"));
    EXPECT_TRUE(buddies.contains("  开发组(0/1)"));
    // Hidden account identities stay out, the mobile shows.
    EXPECT_TRUE(buddies.contains("    13800000002"));
    EXPECT_FALSE(buddies.contains("    bob"));
    const QStringList cards = page->CardTree()->AllLabels();
    EXPECT_EQ((QStringList{"Dentist", "  front.desk@example.org", "  020-7946-0000", "家人", "  010-62345678", "  13900000001"}), cards);
    // Images: carol is blocked and offline.
    QTreeWidgetItem* carol = page->BuddyTree()->ItemOfNode(Find(Root(0), "carol"));
    EXPECT_EQ(IMG_BLOCK_OFFLINE, carol->data(0, Qt::UserRole).toInt());
}

// A presence change refreshes the contact's item with its display text and the word run together;
// a full rebuild gives it the rebuild's label again. Opening or closing the item, or a new skin,
// leaves the label as it was given; busy reads online.
TEST_F(BookWidgets, APresenceChangeRefreshesTheContactsItemAndARebuildRelabelsIt) {
    AddrNode* bobQz = IdentityOf(Find(Root(0), "bob"), 9);
    ASSERT_NE(nullptr, bobQz);
    AddrNode* carolQz = IdentityOf(Find(Root(0), "carol"), 9);
    CBuddyTreeCtrl* tree = page->BuddyTree();
    struct Step { AddrNode* identity; uint32_t online; bool busy; const char* refreshed; const char* rebuilt; const char* group; } const steps[] = {
        {bobQz, 1, false, "  BobbyOnline", "  Bobby(Bob)--Online", "朋友(1/2)"},
        {carolQz, 1, false, "  CarolOnline", "  Carol--Online", "朋友(2/2)"},
        {bobQz, 1, true, "  BobbyOnline", "  Bobby(Bob)--Online", "朋友(2/2)"},
        {bobQz, 0, false, "  BobbyOffline", "  Bobby(Bob)--Offline", "朋友(1/2)"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.refreshed);
        AddrBook_SetIdentityOnline(s.identity, s.online);
        AddrBook_SetIdentityBusy(s.identity, s.busy);
        page->OnPresenceChanged(s.identity);
        QTreeWidgetItem* item = tree->ItemOfNode(s.identity->parent);
        ASSERT_NE(nullptr, item);
        EXPECT_EQ(QString(s.refreshed).trimmed(), item->text(0));
        EXPECT_TRUE(tree->AllLabels().contains(s.group)) << tree->AllLabels().join("|").toStdString();
        const bool blocked = (s.identity->parent->flags & ADDR_FLAG_BLOCKED) != 0;
        const int image = s.online ? (blocked ? IMG_BLOCK_ONLINE : IMG_ONLINE) : (blocked ? IMG_BLOCK_OFFLINE : IMG_OFFLINE);
        EXPECT_EQ(image, item->data(0, Qt::UserRole).toInt());
        tree->ToggleItem(item);
        tree->ToggleItem(item);
        page->OnSkinChanged();
        EXPECT_EQ(QString(s.refreshed).trimmed(), tree->ItemOfNode(s.identity->parent)->text(0));
        page->RebuildBuddyTree(nullptr);
        EXPECT_TRUE(tree->AllLabels().contains(s.rebuilt)) << tree->AllLabels().join("|").toStdString();
        EXPECT_EQ(image, tree->ItemOfNode(s.identity->parent)->data(0, Qt::UserRole).toInt());
    }
    // Online first, but a blocked buddy after the unblocked ones.
    AddrBook_SetIdentityOnline(bobQz, 1);
    page->RebuildBuddyTree(nullptr);
    const QStringList labels = tree->AllLabels();
    const int bob = static_cast<int>(labels.indexOf("  Bobby(Bob)--Online"));
    const int carol = static_cast<int>(labels.indexOf("  Carol--Online"));
    EXPECT_GE(bob, 0);
    EXPECT_GT(carol, bob);
}

// A messaging identity's tip names it as it is now: a presence change that renames it (second name)
// refreshes the tip of its item along with the label.
TEST_F(BookWidgets, AMessagingIdentitysTipFollowsItsSecondName) {
    // The tree lists a contact's identities when accounts are shown.
    const std::string settings = shell::Paths().settingsPath;
    shell::Paths().settingsPath = shell::Paths().profileFolder + "/usrcfg.ini";
    const bool written = shell::ConfigWrite("common", "account_display", "1");
    delete page;
    page = new contacts::CAddressBookDlg(&host);
    shell::Paths().settingsPath = settings;
    ASSERT_TRUE(written);
    page->RebuildBuddyTree(nullptr);
    AddrNode* bobQz = IdentityOf(Find(Root(0), "bob"), 9);
    ASSERT_NE(nullptr, bobQz);
    CBuddyTreeCtrl* tree = page->BuddyTree();
    QTreeWidgetItem* contact = tree->ItemOfNode(bobQz->parent);
    ASSERT_NE(nullptr, contact);
    if (!contact->isExpanded()) tree->ToggleItem(contact);
    const auto* identity = static_cast<const AddrIdentity*>(bobQz);
    const QString address = "<" + FromAnsi(identity->address) + ">";
    const QString nick = identity->nick && *identity->nick ? FromAnsi(identity->nick) + "\n" : QString();
    for (const char* name : {"Robert", "Bobby B"}) {
        SCOPED_TRACE(name);
        AddrBook_SetIdentityAltName(bobQz, name);
        page->OnPresenceChanged(bobQz);
        QTreeWidgetItem* item = tree->ItemOfNode(bobQz);
        ASSERT_NE(nullptr, item);
        EXPECT_EQ(nick + QString(name) + "\n" + address, item->toolTip(0));
    }
}

// Every item shows its expand button, with or without items below it.
TEST_F(BookWidgets, EveryItemShowsItsExpandButton) {
    page->RebuildContactTree(nullptr);
    page->RebuildGroupTree(nullptr);
    int items = 0;
    for (CBookTree* tree : {static_cast<CBookTree*>(page->BuddyTree()), static_cast<CBookTree*>(page->CardTree()),
                            static_cast<CBookTree*>(page->GroupTree())})
        for (QTreeWidgetItemIterator it(tree); *it; ++it, ++items)
            EXPECT_EQ(QTreeWidgetItem::ShowIndicator, (*it)->childIndicatorPolicy()) << (*it)->text(0).toStdString();
    EXPECT_GT(items, 10);
}

// A click on the selected item opens its label editor in My contacts (a contact's starting from its
// remark name) and My cards, where a renamed card goes to the server as its update list; an identity
// without the editable mark opens none, and the Groups tree has no editor.
TEST_F(BookWidgets, TheLabelEditorOpensOnTheSelectedItemAndACardIsRenamed) {
    page->show();
    page->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(page));
    page->RebuildContactTree(nullptr);
    auto clickSelected = [&](CBookTree* tree, AddrNode* node) {
        QTreeWidgetItem* item = tree->ItemOfNode(node);
        if (!item) return false;
        tree->setCurrentItem(item);
        tree->scrollToItem(item);
        tree->setFocus();  // a click on the selected item of the tree the user is in
        QCoreApplication::processEvents();  // the tree lays its items out
        // On the label's end, clear of the icon (which opens or closes the item).
        const QRect label = tree->LabelRect(item);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, QPoint(label.right() - 2, label.center().y()));
        return QTest::qWaitFor([&] { return tree->editingLabel(); }, 5000);
    };
    CBuddyTreeCtrl* buddies = page->BuddyTree();
    ASSERT_TRUE(clickSelected(buddies, Find(Root(0), "bob")));
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    ASSERT_NE(nullptr, editor);
    EXPECT_EQ(QString("Bobby"), editor->text());
    QTest::keyClick(editor, Qt::Key_Escape);
    EXPECT_FALSE(buddies->editingLabel());
    EXPECT_EQ(QString("Bobby(Bob)--Offline"), buddies->ItemOfNode(Find(Root(0), "bob"))->text(0));

    page->ShowCardPane();
    page->FinishSlide();
    CContactTreeCtrl* cards = page->CardTree();
    AddrNode* family = Find(Root(2), "l-family");
    const QString label = cards->ItemOfNode(family)->text(0);
    ASSERT_TRUE(clickSelected(cards, family));
    editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    ASSERT_NE(nullptr, editor);
    EXPECT_EQ(label, editor->text());
    editor->setText("  Family  ");
    QTest::keyClick(editor, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !host.requests.empty(); }, 5000));  // the editor's text is taken next turn
    ASSERT_EQ(1u, host.requests.size());
    EXPECT_EQ(AS_UDL, host.requests[0].command);
    const auto* list = static_cast<const CAsList*>(host.requests[0].data);
    EXPECT_STREQ("l-family", list->listId);
    EXPECT_STREQ("  Family  ", list->listName);  // the name as typed
    EXPECT_EQ(label, cards->ItemOfNode(family)->text(0));  // renamed only by the server's answer

    // A card's number is not editable; the Groups tree edits nothing.
    AddrNode* number = family->child;
    ASSERT_NE(nullptr, number);
    ASSERT_EQ(ADDR_KIND_IDENTITY, number->kind);
    EXPECT_FALSE(cards->BeginLabelEdit(cards->ItemOfNode(number)));
    EXPECT_EQ(QAbstractItemView::NoEditTriggers, page->GroupTree()->editTriggers());
}

TEST_F(BookWidgets, CallsChatsSmsAndConferencesFromTheSelection) {
    CBuddyTreeCtrl* tree = page->BuddyTree();
    Select(tree, "bob");
    Menu(tree, 32803);
    Menu(tree, 32881);
    Menu(tree, 32828);
    Menu(tree, 32877);
    Menu(tree, 32837);
    Menu(tree, 32839);
    EXPECT_EQ((std::vector<std::string>{"call bob 8 bob", "call bob 3 13800000002", "chat 0 bob", "sms 1 bob",
                                        "frame 32837 bob", "frame 32839 bob"}),
              Log());
    // A call page of that number is shown instead of a second call; offline dials nothing.
    host.callPageNumber = "bob";
    Menu(tree, 32803);
    host.status = 1;
    Menu(tree, 32881);
    host.status = 0;
    host.dialEnabled = false;
    Menu(tree, 32803);
    host.dialEnabled = true;
    EXPECT_EQ((std::vector<std::string>{"show call page bob"}), Log());
    // A group chats with everyone who has a messaging account; the add-to-conference needs a contact.
    Select(tree, "g-friends");
    Menu(tree, 32828);  // the messaging account is not signed in: no group chat
    EXPECT_EQ((std::vector<std::string>{}), Log());
    Account* qz = Account_FindByType(ACCOUNT_TYPE_SERVICE);
    ASSERT_NE(nullptr, qz);
    PresenceConnection online;
    online.state = PRESENCE_CONNECTED;
    online.account = qz;
    qz->connection = &online;
    Menu(tree, 32828);  // no member has a user id yet: no chat
    auto setUid = [&](const char* contact, int uid) {
        auto* im = static_cast<AddrIdentity*>(IdentityOf(Find(Root(0), contact), 9));
        ASSERT_NE(nullptr, im);
        presence_setting_set_int(&im->settings, "uid", nullptr, uid);
    };
    setUid("bob", 1002);
    Menu(tree, 32828);  // one member with a user id: a chat with that one
    setUid("carol", 1003);
    Menu(tree, 32828);
    Menu(tree, 32838);
    qz->connection = nullptr;
    EXPECT_EQ((std::vector<std::string>{"chat 0 bob", "chat 4 carol bob"}), Log());  // store order
    // The card tree: e-mail, a phone, the SMS window with the card's numbers.
    page->ShowCardPane();
    page->FinishSlide();
    Select(page->CardTree(), "l-dentist");
    Menu(page->CardTree(), 32879);
    Menu(page->CardTree(), 32882);
    Menu(page->CardTree(), 32877);
    EXPECT_EQ((std::vector<std::string>{"call l-dentist 5 020-7946-0000", "sms 2 l-dentist"}), Log());
    EXPECT_EQ((std::vector<QString>{"mailto:front.desk@example.org"}), host.urls);
}

// A click selects an item on its icon or label only; the row right of the label is empty space.
TEST_F(BookWidgets, ClickRightOfALabelSelectsNothing) {
    page->resize(400, 600);
    page->show();
    CBookTree* tree = page->BuddyTree();
    QTreeWidgetItem* bob = tree->ItemOfNode(Find(Root(0), "bob"));
    QTreeWidgetItem* friends = tree->ItemOfNode(Find(Root(0), "g-friends"));
    ASSERT_NE(nullptr, bob);
    ASSERT_NE(nullptr, friends);
    tree->scrollToItem(bob);
    tree->setCurrentItem(friends);
    const QRect label = tree->LabelRect(bob);
    const QRect row = tree->visualItemRect(bob);
    ASSERT_LT(label.right() + 10, tree->viewport()->width());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, QPoint(tree->viewport()->width() - 4, row.center().y()));
    EXPECT_EQ(friends, tree->currentItem());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, label.center());
    EXPECT_EQ(bob, tree->currentItem());
}

// Below the last item: a click leaves the highlight and the item the commands act on together; a
// double click leaves neither, so no command acts on an item the user no longer sees chosen.
TEST_F(BookWidgets, EmptySpaceBelowTheItemsKeepsOrClearsTheSelectionWhole) {
    page->resize(400, 600);
    page->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(page));
    struct Case {
        int pane;
        int root;
        const char* id;
    };
    const Case cases[] = {{0, 0, "g-friends"}, {1, 2, "l-dentist"}, {2, 1, "1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pane);
        if (c.pane == 0) page->ShowContactPane();
        else if (c.pane == 1) page->ShowCardPane();
        else page->ShowGroupPane();
        page->FinishSlide();
        CBookTree* tree = c.pane == 0 ? static_cast<CBookTree*>(page->BuddyTree())
                        : c.pane == 1 ? static_cast<CBookTree*>(page->CardTree())
                                      : static_cast<CBookTree*>(page->GroupTree());
        tree->collapseAll();
        AddrNode* node = Find(Root(c.root), c.id);
        QTreeWidgetItem* item = tree->ItemOfNode(node);
        ASSERT_NE(nullptr, item);
        tree->setCurrentItem(item);
        QCoreApplication::processEvents();
        const QPoint below(20, tree->viewport()->height() - 4);
        ASSERT_EQ(nullptr, tree->itemAt(below));
        const QPoint at = tree->viewport()->mapTo(page, below);
        Log();
        host.requests.clear();
        QTest::mouseClick(page->windowHandle(), Qt::LeftButton, {}, at);
        QCoreApplication::processEvents();
        EXPECT_EQ(item, tree->currentItem());
        EXPECT_EQ((QList<QTreeWidgetItem*>{item}), tree->selectedItems());
        EXPECT_EQ(node, page->GetSelectedItemData());
        QTest::mouseDClick(page->windowHandle(), Qt::LeftButton, {}, at);
        QCoreApplication::processEvents();
        Pump();
        EXPECT_EQ(nullptr, tree->currentItem());
        EXPECT_TRUE(tree->selectedItems().isEmpty());
        EXPECT_EQ(nullptr, page->GetSelectedItemData());
        EXPECT_TRUE(Log().empty());  // no dial button pressed
        EXPECT_TRUE(host.requests.empty());
    }
}

TEST_F(BookWidgets, ClickOnTheIconOpensAndClosesACard) {
    page->resize(320, 600);
    page->show();
    page->ShowCardPane();
    page->FinishSlide();
    CBookTree* tree = page->CardTree();
    AddrNode* card = Find(Root(2), "l-dentist");
    QTreeWidgetItem* item = tree->ItemOfNode(card);
    ASSERT_NE(nullptr, item);
    const bool was = item->isExpanded();
    const QRect r = tree->visualItemRect(item);
    // The click is the release's: the press alone opens nothing.
    QTest::mousePress(tree->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 6, r.center().y()));
    EXPECT_EQ(was, item->isExpanded());
    QTest::mouseRelease(tree->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 6, r.center().y()));
    EXPECT_NE(was, item->isExpanded());
    EXPECT_EQ(item->isExpanded(), (card->flags & 0x001) != 0);
    EXPECT_EQ(item, tree->currentItem());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 6, r.center().y()));
    EXPECT_EQ(was, item->isExpanded());
}

TEST_F(BookWidgets, MenusFollowTheNode) {
    auto actions = [](CBookTree* tree, AddrNode* node) {
        TrelMenu menu;
        tree->BuildMenu(&menu, node);
        std::vector<std::pair<int, bool>> out;
        for (QAction* a : menu.actions()) {
            if (a->menu())
                for (QAction* s : a->menu()->actions()) out.push_back({s->data().toInt(), s->isEnabled()});
            else if (!a->isSeparator()) out.push_back({a->data().toInt(), a->isEnabled()});
        }
        return out;
    };
    auto has = [](const std::vector<std::pair<int, bool>>& a, int id, bool enabled) {
        return std::find(a.begin(), a.end(), std::make_pair(id, enabled)) != a.end();
    };
    auto bob = actions(page->BuddyTree(), Find(Root(0), "bob"));
    EXPECT_TRUE(has(bob, 32803, true));
    EXPECT_TRUE(has(bob, 32881, true));  // the mobile in the dial submenu
    EXPECT_TRUE(has(bob, 32879, false)); // no e-mail
    EXPECT_TRUE(has(bob, 32838, false)); // no talking call
    // A call still calling out: nothing to add bob to yet, and the call entry stays.
    host.busyCall = true;
    host.talkingCall = false;
    bob = actions(page->BuddyTree(), Find(Root(0), "bob"));
    EXPECT_TRUE(has(bob, 32803, true));
    EXPECT_TRUE(has(bob, 32838, false));
    host.talkingCall = true;
    bob = actions(page->BuddyTree(), Find(Root(0), "bob"));
    EXPECT_TRUE(has(bob, 32803, false));
    EXPECT_TRUE(has(bob, 32838, true));
    host.busyCall = false;
    EXPECT_EQ(1u, actions(page->BuddyTree(), IdentityOf(Find(Root(0), "bob"), 9)).size());  // Send IM
    AddrNode* voip = IdentityOf(Find(Root(0), "bob"), 8);
    ASSERT_NE(nullptr, voip);
    EXPECT_TRUE(actions(page->BuddyTree(), voip).empty());
    // Cards: with a phone only the submenu holds the phone entry.
    auto dentist = actions(page->CardTree(), Find(Root(2), "l-dentist"));
    EXPECT_TRUE(has(dentist, 32882, true));
    EXPECT_FALSE(has(dentist, 32881, true));
    host.dialEnabled = false;
    dentist = actions(page->CardTree(), Find(Root(2), "l-dentist"));
    EXPECT_TRUE(has(dentist, 32882, false));
    // My contacts offer the numbers whatever the dial button says; choosing one asks it then.
    bob = actions(page->BuddyTree(), Find(Root(0), "bob"));
    EXPECT_TRUE(has(bob, 32881, true));
    Select(page->BuddyTree(), "bob");
    Log();
    Menu(page->BuddyTree(), 32881);
    EXPECT_TRUE(Log().empty());
}

// A chat group's label is drawn by the Groups tree itself: its name centred in the label's rectangle,
// in the groups' dark blue; a selected group keeps the tree's drawing.
TEST_F(BookWidgets, GroupLabelsAreDrawnCentredInTheirRectangle) {
    Group("q-lounge", "Lounge", Find(Root(1), "1"));
    page->RebuildGroupTree(nullptr);
    CGroupTreeCtrl* tree = page->GroupTree();
    tree->resize(240, 200);
    tree->ExpandItem(tree->ItemOfNode(Find(Root(1), "1")), true);
    QTreeWidgetItem* lounge = tree->ItemOfNode(Find(Root(1), "q-lounge"));
    ASSERT_NE(nullptr, lounge);
    tree->setCurrentItem(nullptr);
    tree->clearSelection();
    const QImage shot = tree->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect label = tree->LabelRect(lounge);
    ASSERT_FALSE(label.isEmpty());
    int left = shot.width(), right = -1, blue = 0;
    for (int y = label.top(); y <= label.bottom(); ++y)
        for (int x = tree->visualItemRect(lounge).left(); x < shot.width(); ++x) {
            const QRgb px = shot.pixel(x, y);
            if (qBlue(px) - qRed(px) < 40 || qGreen(px) > 0x90) continue;  // the name's ink: dark blue on white
            left = std::min(left, x);
            right = std::max(right, x);
            if (qRed(px) < 0x20 && qGreen(px) < 0x20 && qBlue(px) > 0x60) ++blue;
        }
    ASSERT_GE(right, left) << "no label drawn";
    EXPECT_GT(blue, 0);
    EXPECT_GE(left, label.left());
    EXPECT_LE(right, label.right());
    EXPECT_NEAR((left + right) / 2.0, label.center().x(), 2.0);
}

// A skin without the tree pictures shows the program's own ones, keyed in pure red.
TEST_F(BookWidgets, MissingSkinPicturesFallBackToTheProgramsOwn) {
    QTemporaryDir res;
    QImage own(16, 16, QImage::Format_RGB32);
    own.fill(QColor(0, 0, 255));
    own.setPixel(0, 0, qRgb(255, 0, 0));
    ASSERT_TRUE(own.save(res.path() + "/224.bmp"));
    const std::string skin = ctl::SkinType();
    ctl::SetSkinType("no-such-skin");
    ctl::SetResourceFolder(res.path().toStdString());
    page->OnSkinChanged();
    ctl::SetResourceFolder("res");
    ctl::SetSkinType(skin);
    const QImage shown = page->BuddyTree()->ItemOfNode(Find(Root(0), "bob"))->icon(0).pixmap(16, 16).toImage();
    ASSERT_FALSE(shown.isNull()) << "bob is offline: picture 224";
    EXPECT_EQ(0, qAlpha(shown.pixel(0, 0)));
    EXPECT_EQ(qRgb(0, 0, 255), shown.pixel(8, 8));
    // A picture that neither the skin nor the program has leaves the item without one.
    EXPECT_TRUE(page->BuddyTree()->ItemOfNode(Find(Root(0), "g-work"))->icon(0).isNull());
}

// A skin change gives the new skin's pictures to the add-contact and Groups buttons only; the
// My-contacts and My-cards headers keep theirs.
TEST_F(BookWidgets, SkinChangeReloadsTheAddContactAndGroupsButtons) {
    const QString folder = "skin/header-skin";
    ASSERT_TRUE(QDir().mkpath(folder));
    const QColor mark(12, 200, 34);
    for (const char* file : {"contact.bmp", "contactsel.bmp", "card.bmp", "cardsel.bmp", "group_u.bmp", "group_d.bmp",
                             "add_contact.bmp", "add_contactsel.bmp"}) {
        QImage picture(16, 16, QImage::Format_RGB32);
        picture.fill(mark);
        ASSERT_TRUE(picture.save(folder + "/" + file));
    }
    page->resize(300, 500);
    page->show();
    auto marked = [&](const char* name) {
        auto* button = page->findChild<QWidget*>(name);
        if (!button) return false;
        const QImage shot = button->grab().toImage();
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                if (shot.pixel(x, y) == mark.rgb()) return true;
        return false;
    };
    const std::string skin = ctl::SkinType();
    ctl::SetSkinType("header-skin");
    page->OnSkinChanged();
    ctl::SetSkinType(skin);
    QDir(folder).removeRecursively();
    EXPECT_TRUE(marked("addContactButton"));
    EXPECT_TRUE(marked("groupHeader"));
    EXPECT_FALSE(marked("contactHeader"));
    EXPECT_FALSE(marked("cardHeader"));
}

// Every row of the search list shows the list's first picture, the skin's offline user.
TEST_F(BookWidgets, SearchRowsShowTheSkinsOfflineUser) {
    const QString folder = "skin/search-rows";
    ASSERT_TRUE(QDir().mkpath(folder));
    const std::pair<const char*, QColor> pictures[] = {{"addr_useroffline.bmp", QColor(1, 2, 3)},
                                                       {"addr_useronline.bmp", QColor(200, 100, 50)}};
    for (const auto& [file, colour] : pictures) {
        QImage picture(16, 16, QImage::Format_RGB32);
        picture.fill(colour);
        ASSERT_TRUE(picture.save(folder + "/" + file));
    }
    const std::string skin = ctl::SkinType();
    ctl::SetSkinType("search-rows");
    CSearchDlg search(&host);
    ctl::SetSkinType(skin);
    QDir(folder).removeRecursively();
    search.SetContactMode();
    auto* names = new CAsNameList;
    for (const char* id : {"lina", "lisa"}) {
        auto* n = new AsNameResult;
        AsSetText(&n->id, id);
        AsSetText(&n->name, id);
        names->results.push_back(n);
    }
    search.OnUserResult(0, names);
    ASSERT_EQ(2, search.Results()->topLevelItemCount());
    for (int i = 0; i < 2; ++i) {
        const QIcon icon = search.Results()->topLevelItem(i)->icon(0);
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(qRgb(1, 2, 3), icon.pixmap(16, 16).toImage().pixel(8, 8));
    }
}

// The search dialog's busy mark shows the program's idle picture and the frames of its animation.
TEST_F(BookWidgets, SearchBusyMarkShowsTheProgramsPictures) {
    QTemporaryDir res;
    QImage idle(8, 8, QImage::Format_RGB32);
    idle.fill(QColor(10, 20, 30));
    ASSERT_TRUE(idle.save(res.path() + "/245.bmp"));
    QImage strip(24, 8, QImage::Format_RGB32);
    const QRgb colours[3] = {qRgb(200, 0, 0), qRgb(0, 200, 0), qRgb(0, 0, 200)};
    for (int f = 0; f < 3; ++f)
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) strip.setPixel(f * 8 + x, y, colours[f]);
    ASSERT_TRUE(strip.save(res.path() + "/246.bmp"));
    ctl::SetResourceFolder(res.path().toStdString());
    CBusyMark mark;
    ctl::SetResourceFolder("res");
    ASSERT_EQ(3, mark.Frames());
    mark.SetStep(-1);
    EXPECT_EQ(qRgb(10, 20, 30), mark.Shown().toImage().pixel(4, 4));
    mark.SetStep(4);  // frame 4 mod 3
    EXPECT_EQ(colours[1], mark.Shown().toImage().pixel(4, 4));
    // Without the program's pictures nothing is drawn.
    QTemporaryDir empty;
    ctl::SetResourceFolder(empty.path().toStdString());
    CBusyMark bare;
    ctl::SetResourceFolder("res");
    EXPECT_EQ(0, bare.Frames());
    EXPECT_TRUE(bare.Shown().isNull());
}

TEST_F(BookWidgets, DragAndDropSendsMovesAndTheReplyMovesTheItem) {
    CBuddyTreeCtrl* tree = page->BuddyTree();
    AddrNode* bob = Find(Root(0), "bob");
    AddrNode* team = Find(Root(0), "g-team");
    AddrNode* work = Find(Root(0), "g-work");
    EXPECT_EQ(DROP_NONE, tree->Drop(work, team, false).kind);  // onto its own child
    EXPECT_EQ(DROP_MOVE_CONTACT, tree->Drop(bob, Find(Root(0), "zhangwei"), false).kind);
    ASSERT_EQ(1u, host.commands.size());
    const auto& c = host.commands[0];
    EXPECT_EQ(AS_MVB, c.command);
    EXPECT_EQ("bob", c.s1);
    EXPECT_EQ("g-work", c.s2);
    EXPECT_EQ("g-friends", c.s4);
    EXPECT_EQ(bob->parent, Find(Root(0), "g-friends"));  // nothing moves before the reply
    // The reply.
    auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
    p->str1 = strdup("bob");
    p->str2 = strdup("g-work");
    p->str4 = strdup("g-friends");
    AsRequest* r = booktest::NewRequest(AS_MVB, p, AS_DATA_PARAMS);
    ASSERT_TRUE(OnAddressBookResult(r, &host));
    EXPECT_EQ(bob->parent, work);
    EXPECT_EQ(work, tree->NodeOf(tree->ItemOfNode(bob)->parent()));
    EXPECT_TRUE(tree->AllLabels().contains("同事(0/3)"));
    // A group onto a group with a child of that name.
    AddrGroup* other = Group("g-x", A("开发组").c_str(), Root(0));
    page->RebuildBuddyTree(nullptr);
    tree->ExpandItem(tree->ItemOfNode(work), false);
    EXPECT_EQ(DROP_DUP_GROUP, tree->Drop(other, work, false).kind);
    EXPECT_EQ(1u, host.boxes.size());
    EXPECT_TRUE(tree->ItemOfNode(work)->isExpanded());  // the target opens, refused or not
    EXPECT_EQ(1u, host.commands.size());
    // The left edge drops to the top level.
    EXPECT_EQ(DROP_MOVE_CONTACT, tree->Drop(bob, team, true).kind);
    EXPECT_EQ("0", host.commands.back().s2);
    EXPECT_EQ("g-work", host.commands.back().s4);
    // Released outside the tree: to the top level too. A drop in the tree, a drag called off with the
    // button held, or a node gone from the tree sends nothing more.
    const size_t sent = host.commands.size();
    EXPECT_EQ(DROP_NONE, tree->DragReleased(bob, true, false).kind);
    EXPECT_EQ(DROP_NONE, tree->DragReleased(bob, false, true).kind);
    AddrNode stray{};
    EXPECT_EQ(DROP_NONE, tree->DragReleased(&stray, false, false).kind);
    EXPECT_EQ(sent, host.commands.size());
    EXPECT_EQ(DROP_MOVE_CONTACT, tree->DragReleased(bob, false, false).kind);
    ASSERT_EQ(sent + 1, host.commands.size());
    EXPECT_EQ(AS_MVB, host.commands.back().command);
    EXPECT_EQ("bob", host.commands.back().s1);
    EXPECT_EQ("0", host.commands.back().s2);
    EXPECT_EQ("g-work", host.commands.back().s4);
}

// Throughout a drag the tree shows the "no" cursor, whatever the drop would do.
// The duplicate boxes show their text as a 128-byte buffer holds it: a long name is cut.
TEST_F(BookWidgets, DuplicateMoveBoxesAreCutToTheirBuffer) {
    const std::string longName = A("\u7ec4") + std::string(140, 'x');  // 142 bytes
    AddrNode* work = Find(Root(0), "g-work");
    AddrNode* friends = Find(Root(0), "g-friends");
    Group("g-dup1", longName.c_str(), work);
    AddrGroup* twin = Group("g-dup2", longName.c_str(), Root(0));
    AddrContact* inFriends = Contact("dup", longName.c_str(), friends);
    Contact("dup", longName.c_str(), work);
    page->RebuildBuddyTree(nullptr);
    CBuddyTreeCtrl* tree = page->BuddyTree();
    const QString kept = QString::fromUtf8("\u7ec4") + QString(125, 'x');  // bytes 0 to 126
    EXPECT_EQ(DROP_DUP_GROUP, tree->Drop(twin, work, false).kind);
    EXPECT_EQ(DROP_DUP_CONTACT, tree->Drop(inFriends, work, false).kind);
    ASSERT_EQ(2u, host.boxes.size());
    EXPECT_EQ(kept, host.boxes[0].first);
    EXPECT_EQ(kept, host.boxes[1].first);
    EXPECT_TRUE(host.commands.empty());
}

// A contact listed under two groups: each entry's item holds that entry's own addresses, after a
// whole rebuild and after a rebuild of one entry.
TEST_F(BookWidgets, AContactInTwoGroupsKeepsEachEntrysAddressesUnderItsItem) {
    AddrNode* work = Find(Root(0), "g-work");
    AddrNode* friends = Find(Root(0), "g-friends");
    AddrContact* first = Contact("twin", "Twin", friends);
    AddrIdentity* firstMobile = Identity(first, 3, "13800000001");
    AddrContact* second = Contact("twin", "Twin", work);
    AddrIdentity* secondMobile = Identity(second, 3, "13800000001");
    CBookTree* tree = page->BuddyTree();
    auto check = [&] {
        QTreeWidgetItem* a = tree->ItemOfNode(first);
        QTreeWidgetItem* b = tree->ItemOfNode(second);
        ASSERT_NE(nullptr, a);
        ASSERT_NE(nullptr, b);
        ASSERT_EQ(1, a->childCount());
        ASSERT_EQ(1, b->childCount());
        EXPECT_EQ(firstMobile, tree->NodeOf(a->child(0)));
        EXPECT_EQ(secondMobile, tree->NodeOf(b->child(0)));
    };
    page->RebuildBuddyTree(nullptr);
    check();
    page->RebuildBuddyTree("twin", "g-work");
    check();
    EXPECT_EQ(tree->ItemOfNode(second), tree->currentItem());
}

TEST_F(BookWidgets, ADragShowsTheNoCursorForEveryAction) {
    CBuddyTreeCtrl* tree = page->BuddyTree();
    QDrag* drag = tree->MakeDrag(Find(Root(0), "bob"));
    EXPECT_EQ(QByteArray("bob"), drag->mimeData()->data("application/x-tessaly-book-node"));
    for (Qt::DropAction action : {Qt::MoveAction, Qt::CopyAction, Qt::LinkAction, Qt::IgnoreAction}) {
        const QImage cursor = drag->dragCursor(action).toImage();
        ASSERT_FALSE(cursor.isNull()) << action;
        const QColor ring = cursor.pixelColor(16, 5);  // the top of the ring
        EXPECT_GT(ring.red(), 150) << action;
        EXPECT_LT(ring.green(), 100) << action;
    }
    delete drag;
}

// From a drag's first move over the tree until it ends, Escape reaches nobody, the drag's own filter
// (which would call the drag off) included: only the button's release ends a drag.
TEST_F(BookWidgets, EscapeDoesNotCallOffADrag) {
    struct Probe : QObject {
        int escapes = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape) ++escapes;
            return false;
        }
    } probe;
    page->show();
    CBuddyTreeCtrl* tree = page->BuddyTree();
    qApp->installEventFilter(&probe);  // where the drag's own filter stands: in before the tree's
    tree->BeginDragTracking(Find(Root(0), "bob"));
    tree->KeepEscapeFromTheDrag();  // the drag's first move over the tree
    QTest::keyClick(tree, Qt::Key_Escape);
    EXPECT_EQ(0, probe.escapes);
    tree->EndDragTracking();
    QTest::keyClick(tree, Qt::Key_Escape);
    EXPECT_GT(probe.escapes, 0);
    qApp->removeEventFilter(&probe);
}

TEST_F(BookWidgets, DragHoverLightsTheTargetGroupAndOpensOnlyGroups) {
    CBuddyTreeCtrl* tree = page->BuddyTree();
    tree->resize(300, 600);
    AddrNode* bob = Find(Root(0), "bob");
    QTreeWidgetItem* friends = tree->ItemOfNode(Find(Root(0), "g-friends"));
    QTreeWidgetItem* work = tree->ItemOfNode(Find(Root(0), "g-work"));
    ASSERT_TRUE(friends && work);
    tree->ExpandItem(friends, true);
    tree->ExpandItem(work, false);
    QTreeWidgetItem* bobItem = tree->ItemOfNode(bob);
    tree->ExpandItem(bobItem, false);
    tree->DragHover(tree->visualItemRect(bobItem).center());  // not dragging: nothing
    EXPECT_EQ(nullptr, tree->DropHighlight());
    tree->BeginDragTracking(Find(Root(0), "g-work"));
    tree->DragHover(tree->visualItemRect(bobItem).center());  // a contact lights its group
    EXPECT_EQ(friends, tree->DropHighlight());
    ASSERT_TRUE(tree->HoverPending());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tree->HoverPending(); }, 3000));
    EXPECT_FALSE(bobItem->isExpanded());  // a contact under the cursor stays closed
    EXPECT_TRUE(friends->isExpanded());   // an open group is never toggled shut
    tree->DragHover(tree->visualItemRect(work).center());
    EXPECT_EQ(work, tree->DropHighlight());
    EXPECT_TRUE(QTest::qWaitFor([&] { return work->isExpanded(); }, 3000));
    EXPECT_TRUE(Find(Root(0), "g-work")->flags & FLAG_EXPANDED);
    tree->DragHover(QPoint(150, 590));  // empty space below the items: the group stays lit
    ASSERT_EQ(nullptr, tree->itemAt(QPoint(150, 590)));
    EXPECT_EQ(work, tree->DropHighlight());
    tree->EndDragTracking();
    EXPECT_EQ(nullptr, tree->DropHighlight());
    EXPECT_EQ(QBrush(), work->background(0));
}

TEST_F(BookWidgets, GroupTreeClicksQueryOnceAndMenusByCategory) {
    GroupRecord* created = GroupRecord_New();
    auto* q = new CAsChatQueue;
    q->SetQueueId("q-dev");
    q->SetDisplayName(A("开发讨论").c_str());
    created->entries.push_back(q);
    created->words[1] = 1;
    OnGroupList(created);
    GroupRecord* joined = GroupRecord_New();
    auto* q2 = new CAsChatQueue;
    q2->SetQueueId("q-lunch");
    q2->SetDisplayName("Lunch club");
    joined->entries.push_back(q2);
    joined->words[1] = 2;
    OnGroupList(joined);
    CGroupTreeCtrl* tree = page->GroupTree();
    QTreeWidgetItem* dev = tree->ItemOfNode(Find(Root(1), "q-dev"));
    ASSERT_NE(nullptr, dev);
    // A default group's icon selects it, but neither toggles it nor asks for anything.
    QTreeWidgetItem* created1 = tree->ItemOfNode(Find(Root(1), "1"));
    const bool createdOpen = created1->isExpanded();
    tree->ClickIcon(created1);
    EXPECT_EQ(created1, tree->currentItem());
    EXPECT_EQ(createdOpen, created1->isExpanded());
    EXPECT_TRUE(host.requests.empty());
    tree->ClickIcon(dev);
    EXPECT_TRUE(dev->isExpanded());  // the click toggles a group whose members were never fetched too
    EXPECT_EQ(1, tree->IndicatorCount());
    // The indicator stands 18 px left of the group's label, at its top.
    const auto tips = tree->viewport()->findChildren<CPopupTipWnd*>();
    ASSERT_EQ(1, tips.size());
    EXPECT_EQ(tree->LabelRect(dev).topLeft() - QPoint(18, 0), tips[0]->pos());
    ASSERT_EQ(1u, host.requests.size());
    EXPECT_EQ(AS_SYQ, host.requests[0].command);
    auto* record = static_cast<GroupRecord*>(host.requests[0].data);
    EXPECT_STREQ("alice", record->texts[0]);
    EXPECT_STREQ("q-dev", record->texts[2]);
    EXPECT_STREQ("q-dev", record->texts[3]);
    // The members arrive: the indicator goes, a second notice does nothing.
    GroupRecord* answer = GroupRecord_New();
    snprintf(answer->texts[2], GROUP_RECORD_TEXT_SIZE, "q-dev");
    auto* m = new GroupMember;
    m->first = strdup("bob");
    m->second = strdup("Bob");
    answer->members.push_back(m);
    AsRequest* r = booktest::NewRequest(AS_SYQ, answer, AS_DATA_GROUP);
    ASSERT_TRUE(OnAddressBookResult(r, &host));
    EXPECT_EQ(0, tree->IndicatorCount());
    tree->RemoveGroupById("q-dev");
    EXPECT_TRUE(tree->AllLabels().contains("  开发讨论(1)")) << tree->AllLabels().join("|").toStdString();
    dev = tree->ItemOfNode(Find(Root(1), "q-dev"));
    const bool expanded = dev->isExpanded();
    tree->ClickIcon(dev);  // loaded: only a toggle
    EXPECT_NE(expanded, dev->isExpanded());
    EXPECT_EQ(1u, host.requests.size());
    auto commands = [&](AddrNode* n) {
        TrelMenu menu;
        tree->BuildMenu(&menu, n);
        std::vector<std::pair<int, bool>> out;
        for (QAction* a : menu.actions())
            if (!a->isSeparator()) out.push_back({a->data().toInt(), a->isEnabled()});
        return out;
    };
    EXPECT_TRUE(commands(Find(Root(1), "1")).empty());
    auto devMenu = commands(Find(Root(1), "q-dev"));
    EXPECT_EQ(std::make_pair(32904, true), devMenu.back());
    auto lunchMenu = commands(Find(Root(1), "q-lunch"));
    EXPECT_EQ(32894, lunchMenu.back().first);
    // Group text goes to the members but never to the user.
    tree->setCurrentItem(tree->ItemOfNode(Find(Root(1), "q-dev")));
    Menu(tree, 32904);
    EXPECT_EQ((std::vector<std::string>{"group text hello all to"}), Log());  // bob has no messaging identity in the group
    // A refresh takes the items away before the nodes and asks again.
    tree->setCurrentItem(tree->ItemOfNode(Find(Root(1), "q-dev")));
    page->RefreshSelectedGroup();
    EXPECT_EQ(nullptr, Find(Find(Root(1), "q-dev"), "bob"));
    EXPECT_TRUE(tree->AllLabels().contains("  开发讨论"));
    EXPECT_EQ(2u, host.requests.size());
    // A click on the label of a group whose members never came asks for them too, on the release.
    page->resize(400, 600);
    page->show();
    page->ShowGroupPane();
    page->FinishSlide();
    QCoreApplication::processEvents();
    QTreeWidgetItem* lunch = tree->ItemOfNode(Find(Root(1), "q-lunch"));
    ASSERT_NE(nullptr, lunch);
    tree->scrollToItem(lunch);
    const QPoint onLabel = tree->LabelRect(lunch).center();
    QTest::mousePress(tree->viewport(), Qt::LeftButton, {}, onLabel);
    EXPECT_EQ(2u, host.requests.size());
    QTest::mouseRelease(tree->viewport(), Qt::LeftButton, {}, onLabel);
    EXPECT_EQ(lunch, tree->currentItem());
    ASSERT_EQ(3u, host.requests.size());
    EXPECT_EQ(AS_SYQ, host.requests[2].command);
    EXPECT_STREQ("q-lunch", static_cast<GroupRecord*>(host.requests[2].data)->texts[3]);
    EXPECT_EQ(1, tree->IndicatorCount());
}

// A group message goes to every contact of the group but the user, in the store's order, and the page
// shows no box whatever the sending says.
TEST_F(BookWidgets, AGroupMessageGoesToEveryMemberButTheUser) {
    AddrGroup* group = AddrBook_NewGroup("Team", "q-team");
    ASSERT_EQ(1, AddrBook_AttachGroup(group, Root(1), nullptr));
    for (const char* id : {"eve", "alice", "dan"}) {  // each attached in front of the last
        AddrContact* c = AddrBook_NewContact(id, nullptr, id);
        ASSERT_EQ(1, AddrBook_AttachContact(c, group, nullptr));
        AddrIdentity* im = AddrBook_NewIdentity(Account_FindByType(ACCOUNT_TYPE_SERVICE), id, nullptr, (std::string(id) + "-im").c_str());
        AddrBook_SetIdentityType(im, ADDR_TYPE_SERVICE);
        ASSERT_EQ(1, AddrBook_AttachIdentity(im, c, nullptr));
    }
    page->RebuildGroupTree(nullptr);
    CGroupTreeCtrl* tree = page->GroupTree();
    for (int result : {2, 0, -1}) {
        SCOPED_TRACE(result);
        host.groupTextResult = result;
        tree->setCurrentItem(tree->ItemOfNode(group));
        Menu(tree, 32904);
        EXPECT_EQ((std::vector<std::string>{"group text hello all to dan-im eve-im"}), Log());
        EXPECT_TRUE(host.boxes.empty());
    }
}

// The Groups tree's call acts on calls (the type going on as asked, 0 too), mail and chats only: a
// member's phone or web page is left alone, and the user's own number is refused.
TEST_F(BookWidgets, GroupTreeCallsMailsAndChatsOnly) {
    AddrGroup* team = Group("q-team", "Team", Root(1));
    AddrContact* dave = Contact("dave", "Dave", team);
    AddrIdentity* voip = Identity(dave, 8, "dave@sip");
    AddrIdentity* phone = Identity(dave, 5, "020-1234");
    AddrIdentity* web = Identity(dave, 6, "http://dave.example");
    AddrIdentity* mail = Identity(dave, 4, "dave@example.org");
    AddrIdentity* qz = Identity(dave, 9, "dave");
    AddrContact* me = Contact("me", "Alice", team);
    Identity(me, 8, "alice");
    for (AddrIdentity* i : {voip, qz}) i->flags &= ~0x100u;  // shown in the tree
    page->RebuildGroupTree(nullptr);
    CGroupTreeCtrl* tree = page->GroupTree();
    struct Case { AddrNode* node; intptr_t type; std::vector<std::string> log; std::vector<QString> urls; } const cases[] = {
        {dave, 0, {"call dave 0 dave@sip"}, {}},
        {dave, 5, {}, {}},
        {voip, 0, {"call dave 0 dave@sip"}, {}},
        {phone, 0, {}, {}},
        {web, 0, {}, {}},
        {mail, 0, {}, {"mailto:dave@example.org"}},
        {qz, 0, {"chat 0 dave"}, {}},
        {me, 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node->id);
        host.urls.clear();
        QTreeWidgetItem* item = tree->ItemOfNode(c.node);
        ASSERT_NE(nullptr, item);
        tree->setCurrentItem(item);
        page->Dispatch(WM_ADDRBOOK_CALL, 0, c.type);
        EXPECT_EQ(c.log, Log());
        EXPECT_EQ(c.urls, host.urls);
    }
}

TEST_F(BookWidgets, GroupTreeDoubleClickChatsWithAMessagingIdentityAndDialsOtherwise) {
    ListDevTalk();
    AddrNode* dev = Find(Root(1), "q-dev");
    ASSERT_NE(nullptr, dev);
    AddrContact* dave = Contact("dave", "Dave", dev);
    AddrIdentity* qz = Identity(dave, 9, "dave");
    qz->flags &= ~0x100u;  // shown in the tree
    page->RebuildGroupTree(nullptr);
    CGroupTreeCtrl* tree = page->GroupTree();
    ASSERT_NE(nullptr, tree->ItemOfNode(qz));
    tree->setCurrentItem(tree->ItemOfNode(qz));
    tree->OnDoubleClick(qz);
    Pump();
    EXPECT_EQ((std::vector<std::string>{"chat 0 dave"}), Log());
    tree->setCurrentItem(tree->ItemOfNode(dave));
    tree->OnDoubleClick(dave);
    Pump();
    EXPECT_EQ((std::vector<std::string>{"dial button"}), Log());
    // With the mouse: only the icon and the label are the item; the row right of the label is empty space.
    page->resize(400, 500);
    page->show();
    page->ShowGroupPane();
    page->FinishSlide();
    QCoreApplication::processEvents();
    QTreeWidgetItem* daveItem = tree->ItemOfNode(dave);
    tree->scrollToItem(daveItem);
    const QRect label = tree->LabelRect(daveItem);
    const QRect row = tree->visualItemRect(daveItem);
    ASSERT_LT(label.right() + 10, tree->viewport()->width());
    EXPECT_TRUE(tree->HitsItem(daveItem, label.center()));
    EXPECT_TRUE(tree->HitsItem(daveItem, QPoint(row.left() + 4, row.center().y())));  // its icon
    const QPoint right(tree->viewport()->width() - 4, row.center().y());
    EXPECT_FALSE(tree->HitsItem(daveItem, right));
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, right);
    Pump();
    EXPECT_TRUE(Log().empty());
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, label.center());
    Pump();
    EXPECT_EQ((std::vector<std::string>{"dial button"}), Log());
}

// A double click as the window system delivers it (press, release, a second press taken for a double
// click, release) is one click on the trees, not two.
TEST_F(BookWidgets, ADoubleClickIsOneClickOnTheTrees) {
    ListDevTalk();
    page->resize(400, 600);
    page->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(page));
    auto doubleClick = [&](CBookTree* tree, QPoint at) {
        QTest::mouseDClick(page->windowHandle(), Qt::LeftButton, {}, tree->viewport()->mapTo(page, at));
        QCoreApplication::processEvents();
    };
    auto onIcon = [](CBookTree* tree, QTreeWidgetItem* item) {
        const QRect r = tree->visualItemRect(item);
        return QPoint(r.left() + 6, r.center().y());
    };
    // My contacts: a double click on a group's icon opens or closes it once.
    CBookTree* buddies = page->BuddyTree();
    QTreeWidgetItem* friends = buddies->ItemOfNode(Find(Root(0), "g-friends"));
    ASSERT_NE(nullptr, friends);
    buddies->scrollToItem(friends);
    QCoreApplication::processEvents();
    const bool friendsOpen = friends->isExpanded();
    doubleClick(buddies, onIcon(buddies, friends));
    EXPECT_NE(friendsOpen, friends->isExpanded());
    EXPECT_EQ(friends->isExpanded(), (Find(Root(0), "g-friends")->flags & FLAG_EXPANDED) != 0);
    // Groups: a group whose members never came is asked for them once, with one busy indicator.
    page->ShowGroupPane();
    page->FinishSlide();
    CGroupTreeCtrl* tree = page->GroupTree();
    QTreeWidgetItem* dev = tree->ItemOfNode(Find(Root(1), "q-dev"));
    ASSERT_NE(nullptr, dev);
    tree->scrollToItem(dev);
    QCoreApplication::processEvents();
    doubleClick(tree, tree->LabelRect(dev).center());
    ASSERT_EQ(1u, host.requests.size());
    EXPECT_EQ(AS_SYQ, host.requests[0].command);
    EXPECT_EQ(1, tree->IndicatorCount());
    const bool devOpen = dev->isExpanded();
    doubleClick(tree, onIcon(tree, dev));
    EXPECT_NE(devOpen, dev->isExpanded());
    EXPECT_EQ(2u, host.requests.size());
    EXPECT_EQ(2, tree->IndicatorCount());
}

// The click takes any node whose id is "1" or "2" for a default group, a chat group too.
TEST_F(BookWidgets, AGroupTreeClickStopsAtAnyNodeWithADefaultGroupsId) {
    AddrGroup* group = AddrBook_NewGroup("Two", "2");
    ASSERT_EQ(1, AddrBook_AttachGroup(group, Find(Root(1), "1"), nullptr));
    page->RebuildGroupTree(nullptr);
    AddrNode* two = group;
    CGroupTreeCtrl* tree = page->GroupTree();
    QTreeWidgetItem* item = tree->ItemOfNode(two);
    ASSERT_NE(nullptr, item);
    const bool open = item->isExpanded();
    tree->ClickIcon(item);
    EXPECT_EQ(item, tree->currentItem());
    EXPECT_EQ(open, item->isExpanded());
    EXPECT_TRUE(host.requests.empty());
    EXPECT_EQ(0, tree->IndicatorCount());
}

// A block or unblock answer moves only the lines of that buddy: a line chosen in either list stays chosen.
TEST_F(BookWidgets, ABlockAnswerMovesOnlyTheBuddysLines) {
    CBlockListDlg blockList(&host);
    QListWidget* access = blockList.AccessList();
    QListWidget* blocked = blockList.BlockedList();
    const QList<QListWidgetItem*> bobby = access->findItems("Bobby", Qt::MatchExactly);
    ASSERT_EQ(1, bobby.size());
    ASSERT_GE(access->count(), 2);
    ASSERT_GE(blocked->count(), 1);
    const int chosen = access->row(bobby[0]) == 0 ? 1 : 0;
    const QString chosenText = access->item(chosen)->text();
    access->setCurrentRow(chosen);
    blocked->setCurrentRow(0);
    const QString blockedText = blocked->currentItem()->text();
    const int accessCount = access->count(), blockedCount = blocked->count();
    EXPECT_EQ(1, blockList.OnResult(13, "BOB"));
    ASSERT_EQ(accessCount - 1, access->count());
    ASSERT_EQ(blockedCount + 1, blocked->count());
    EXPECT_EQ(QString("Bobby"), blocked->item(blocked->count() - 1)->text());
    ASSERT_NE(nullptr, access->currentItem());
    EXPECT_EQ(chosenText, access->currentItem()->text());
    EXPECT_TRUE(access->currentItem()->isSelected());
    ASSERT_NE(nullptr, blocked->currentItem());
    EXPECT_EQ(blockedText, blocked->currentItem()->text());
    EXPECT_TRUE(blocked->currentItem()->isSelected());
    // Back again, to the end of the access list; an unknown id moves nothing.
    EXPECT_EQ(1, blockList.OnResult(14, "bob"));
    EXPECT_EQ(QString("Bobby"), access->item(access->count() - 1)->text());
    EXPECT_EQ(1, blockList.OnResult(14, "nobody"));
    EXPECT_EQ(accessCount, access->count());
    EXPECT_EQ(blockedCount, blocked->count());
}

TEST_F(BookWidgets, RenameBlockAndDetails) {
    // Rename: checked and uniquified, sent, not applied.
    AddrNode* team = Find(Root(0), "g-team");
    EXPECT_FALSE(page->Rename(team, QString(41, 'x')));
    EXPECT_TRUE(page->Rename(team, "tools", {"Tools", "tools"}));
    ASSERT_EQ(1u, host.commands.size());
    EXPECT_EQ(AS_RNG, host.commands[0].command);
    EXPECT_EQ("tools1", host.commands[0].s3);
    // An identity goes out as an update list under its own id, without a counter.
    AddrNode* mobile = IdentityOf(Find(Root(0), "bob"), 3);
    ASSERT_NE(nullptr, mobile);
    ASSERT_TRUE(page->Rename(mobile, "Work", {"Work"}));
    ASSERT_EQ(1u, host.requests.size());
    EXPECT_EQ(AS_UDL, host.requests[0].command);
    EXPECT_STREQ(mobile->id, static_cast<const CAsList*>(host.requests[0].data)->listId);
    EXPECT_STREQ("Work", static_cast<const CAsList*>(host.requests[0].data)->listName);
    // Block toggle of carol (blocked): an unblock request and a notice to the chat windows.
    Select(page->BuddyTree(), "carol");
    Menu(page->BuddyTree(), 32884);
    ASSERT_EQ(2u, host.commands.size());
    EXPECT_EQ(AS_UBLK, host.commands[1].command);
    EXPECT_EQ("carol", host.commands[1].s1);
    EXPECT_EQ((std::vector<std::string>{"broadcast 2083 14 carol"}), Log());
    // Details: the display name is edited; REB goes out only for a change.
    Select(page->BuddyTree(), "bob");
    host.exec = [](QDialog* d) {
        auto* detail = static_cast<CContactDetailDlg*>(d);
        EXPECT_EQ(QString("Bobby"), detail->DisplayNameEdit()->text());
        detail->DisplayNameEdit()->setText(QString(41, 'b'));
        detail->accept();
        EXPECT_EQ(QDialog::Rejected, detail->result());
        detail->DisplayNameEdit()->setText("Bobby B");
        detail->accept();
        return detail->result();
    };
    Menu(page->BuddyTree(), 32878);
    ASSERT_EQ(3u, host.commands.size());
    EXPECT_EQ(AS_REB, host.commands[2].command);
    EXPECT_EQ("Bobby B", host.commands[2].s3);
    EXPECT_EQ(1u, host.boxes.size());
    // The introduction comes from the type-7 identity; a change of case alone sends nothing.
    Identity(Find(Root(0), "bob"), 7, "Plays the cello");
    host.exec = [](QDialog* d) {
        auto* detail = static_cast<CContactDetailDlg*>(d);
        EXPECT_EQ(QString("Plays the cello"), detail->Details().introduction);
        detail->DisplayNameEdit()->setText("BOBBY");
        detail->accept();
        return detail->result();
    };
    Menu(page->BuddyTree(), 32878);
    EXPECT_EQ(3u, host.commands.size());
}

TEST_F(BookWidgets, PaneSwitchingAndLanguageNotices) {
    page->show();
    page->ShowContactPane();
    EXPECT_FALSE(page->Sliding());  // the open pane's header starts nothing
    const int groupTop = page->GroupTree()->y();
    page->ShowGroupPane();
    EXPECT_TRUE(page->Sliding());
    // Shown under its header at once; the header moves on the timer's ticks only.
    EXPECT_TRUE(page->GroupTree()->isVisible());
    EXPECT_EQ(groupTop, page->GroupTree()->y());
    page->FinishSlide();
    EXPECT_TRUE(page->GroupTree()->isVisible());
    EXPECT_FALSE(page->BuddyTree()->isVisible());
    page->ShowContactPane();
    page->FinishSlide();
    EXPECT_TRUE(page->BuddyTree()->isVisible());
    // The first language notice keeps the My-contacts tree, the second rebuilds it.
    contacts::CAddressBookDlg fresh(&host);
    EXPECT_TRUE(fresh.BuddyTree()->AllLabels().isEmpty());
    fresh.OnLanguageChanged();
    EXPECT_TRUE(fresh.BuddyTree()->AllLabels().isEmpty());
    fresh.OnLanguageChanged();
    EXPECT_FALSE(fresh.BuddyTree()->AllLabels().isEmpty());
}

TEST_F(BookWidgets, LogOffSavesExpandedGroupsAndEmptiesTheStore) {
    page->BuddyTree()->ExpandItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "g-work")), true);
    page->OnLogoffClose();
    EXPECT_TRUE(page->BuddyTree()->AllLabels().isEmpty());
    EXPECT_EQ(nullptr, Root(0)->child);
    EXPECT_NE(nullptr, Find(Root(1), "1"));
    EXPECT_EQ(1u, GetPrivateProfileIntA("localconf", "g-work", 0, LocalConfPath().c_str()));
}

TEST_F(BookWidgets, NoItemOutlivesItsNode) {
    // A failed card update keeps the old card and its items.
    auto* unknown = new CAsList;
    unknown->SetListId("l-dentist");
    AsRequest* r = booktest::NewRequest(AS_UDL, unknown, AS_DATA_LIST);
    r->result = 3;
    ASSERT_TRUE(OnAddressBookResult(r, &host));
    EXPECT_NE(nullptr, page->CardTree()->ItemOfNode(Find(Root(2), "l-dentist")));
    // A good update: every item points at a live node afterwards.
    auto* update = new CAsList;
    update->SetListId("l-dentist");
    update->SetListName("Dr. Li");
    auto* e = new CAsCtiEntry;
    e->type = 3;
    e->SetValue("139");
    update->ctiEntries.push_back(e);
    r = booktest::NewRequest(AS_UDL, update, AS_DATA_LIST);
    ASSERT_TRUE(OnAddressBookResult(r, &host));
    const QStringList cards = page->CardTree()->AllLabels();
    EXPECT_TRUE(cards.contains("Dr. Li"));
    for (QTreeWidgetItemIterator it(page->CardTree()); *it; ++it) {
        AddrNode* n = page->CardTree()->NodeOf(*it);
        bool live = false;
        for (AddrNode* c = Root(2)->child; c && !live; c = c->next) {
            live = c == n;
            for (AddrNode* i = c->child; i && !live; i = i->next) live = i == n;
        }
        EXPECT_TRUE(live) << (*it)->text(0).toStdString();
    }
    // Released search results take their rows with them.
    CSearchDlg search(&host);
    auto results = [](std::initializer_list<const char*> names) {
        auto* list = new CAsResultList;
        for (const char* n : names) {
            auto* q = new CAsChatQueue;
            q->SetQueueId(n);
            q->SetName(n);
            list->records.push_back(q);
        }
        return list;
    };
    search.OnGroupResult(0, results({"a", "b"}));
    ASSERT_EQ(2, search.Results()->topLevelItemCount());
    EXPECT_EQ(QString("b"), search.Results()->topLevelItem(0)->text(0));  // reverse order
    search.OnGroupResult(0, results({"c"}));
    EXPECT_EQ(1, search.Results()->topLevelItemCount());
    search.GroupIdEdit()->setText("");
    search.FindGroups();  // empty: refused before anything is released
    EXPECT_EQ(1, search.Results()->topLevelItemCount());
    search.GroupIdEdit()->setText("q");
    search.FindGroups();
    EXPECT_EQ(0, search.Results()->topLevelItemCount());
}

// Cancel, Escape and the title bar's close each take the search window away, and the frame forgets it.
TEST_F(BookWidgets, TheSearchWindowClosesByCancelEscapeAndTheTitleBar) {
    struct Way {
        const char* name;
        std::function<void(CSearchDlg*)> close;
    } const ways[] = {
        {"Cancel", [](CSearchDlg* s) { QTest::mouseClick(s->CloseButton(), Qt::LeftButton); }},
        {"Escape", [](CSearchDlg* s) { QTest::keyClick(s->GroupIdEdit(), Qt::Key_Escape); }},
        {"title bar", [](CSearchDlg* s) { s->windowHandle()->close(); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        QPointer<CSearchDlg> search = OpenSearch(&host);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(search));
        search->activateWindow();
        search->GroupIdEdit()->setFocus();
        way.close(search);
        EXPECT_EQ(nullptr, SearchDialog());
        ASSERT_FALSE(search.isNull());
        EXPECT_FALSE(search->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(search.isNull()) << "the window is destroyed";
        if (search) delete search;
        // The next search command makes a new window.
        QPointer<CSearchDlg> again = OpenSearch(&host);
        EXPECT_EQ(again, SearchDialog());
        CloseSearch();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// Enter runs the find of the current mode from the edits; on a button it presses that button.
TEST_F(BookWidgets, EnterInTheSearchWindowFindsInTheCurrentMode) {
    QPointer<CSearchDlg> search = OpenSearch(&host);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(search));
    search->GroupIdEdit()->setText("q-dev");
    QTest::keyClick(search->GroupIdEdit(), Qt::Key_Return);
    ASSERT_EQ(1u, host.commands.size());
    EXPECT_EQ(AS_SQI, host.commands[0].command);
    EXPECT_EQ("q-dev", host.commands[0].s1);
    EXPECT_TRUE(search->Busy());
    search->SetContactMode();
    search->UserIdEdit()->setText("bob");
    QTest::keyClick(search->UserIdEdit(), Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_EQ(2u, host.commands.size());
    EXPECT_EQ(AS_SRB, host.commands[1].command);
    EXPECT_EQ("bob", host.commands[1].s1);
    search->CloseButton()->setFocus();
    QTest::keyClick(search->CloseButton(), Qt::Key_Return);
    EXPECT_EQ(2u, host.commands.size());
    EXPECT_EQ(nullptr, SearchDialog());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(search.isNull());
    if (search) delete search;
}

TEST_F(BookWidgets, SearchDialogModesCodesAndJoins) {
    CSearchDlg search(&host);
    EXPECT_FALSE(search.ContactMode());
    EXPECT_FALSE(search.UserIdEdit()->isEnabled() && !search.UserIdEdit()->isReadOnly());
    EXPECT_FALSE(search.ByUserId()->isEnabled());
    search.SetContactMode();
    EXPECT_TRUE(search.ByUserId()->isEnabled());
    EXPECT_FALSE(search.ByGroupId()->isEnabled());
    EXPECT_FALSE(search.UserIdEdit()->isReadOnly());
    EXPECT_TRUE(search.GroupIdEdit()->isReadOnly());
    search.FindUsers();
    ASSERT_EQ(1u, host.boxes.size());
    EXPECT_EQ(QString("Please input '&UID'"), host.boxes[0].first);  // the radio's label as it is written
    search.UserIdEdit()->setText(QString(200, 'u'));
    search.accept();  // Enter finds in the current mode and keeps the dialog
    ASSERT_EQ(1u, host.commands.size());
    EXPECT_EQ(AS_SRB, host.commands[0].command);
    EXPECT_EQ(127u, host.commands[0].s1.size());
    EXPECT_TRUE(search.Busy());
    for (int i = 0; i < 180; ++i) search.BusyTick();
    EXPECT_FALSE(search.Busy());
    search.OnUserResult(200, nullptr);
    EXPECT_EQ(QString("No result, find error'"), host.boxes.back().first);
    // The search's boxes inform; a failed group search shows a plain box.
    EXPECT_EQ((std::vector<int>{BookHost::BOX_INFORMATION, BookHost::BOX_INFORMATION}), host.boxIcons);
    search.OnGroupResult(300, nullptr);
    EXPECT_EQ(BookHost::BOX_PLAIN, host.boxIcons.back());
    auto* names = new CAsNameList;
    for (const char* id : {"lina", "lisa"}) {
        auto* n = new AsNameResult;
        AsSetText(&n->id, id);
        AsSetText(&n->name, id);
        names->results.push_back(n);
    }
    search.OnUserResult(0, names);
    ASSERT_EQ(2, search.Results()->topLevelItemCount());
    EXPECT_EQ(QString("lisa"), search.Results()->topLevelItem(0)->text(0));
    EXPECT_FALSE(search.AddButton()->isEnabled());
    search.Results()->setCurrentItem(search.Results()->topLevelItem(1));
    EXPECT_TRUE(search.AddButton()->isEnabled());
    // Without a selected row there is nothing to add.
    const size_t sent = host.commands.size();
    search.Results()->clearSelection();
    search.AddBuddy();
    EXPECT_EQ(sent, host.commands.size());
    search.Results()->setCurrentItem(search.Results()->topLevelItem(1));
    search.AddBuddy();
    EXPECT_EQ(AS_ADD, host.commands.back().command);
    EXPECT_EQ("lina", host.commands.back().s3);
    // Group mode: joins by identity, the password only where the group needs one.
    search.SetGroupMode();
    g_profileList.Clear();
    for (int i = 0; i < 6; ++i) {
        auto* p = new AsProfileEntry;
        AsSetText(&p->id, ("pf-" + std::to_string(i)).c_str());
        AsSetText(&p->name, ("Name " + std::to_string(i)).c_str());
        g_profileList.entries.push_back(p);
    }
    auto* list = new CAsResultList;
    auto* q = new CAsChatQueue;
    q->SetQueueId("q9");
    q->SetSubQueueId("s9");
    q->SetName(A("家庭").c_str());
    q->type = 1;
    list->records.push_back(q);
    // An earlier answer's rows go with the records it releases: only the later answer's rows stay.
    auto* earlier = new CAsResultList;
    for (const char* id : {"q1", "q2"}) {
        auto* old = new CAsChatQueue;
        old->SetQueueId(id);
        earlier->records.push_back(old);
    }
    search.OnGroupResult(0, earlier);
    ASSERT_EQ(2, search.Results()->topLevelItemCount());
    search.OnGroupResult(0, list);
    ASSERT_EQ(1, search.Results()->topLevelItemCount());
    EXPECT_EQ(A("家庭"), ToAnsi(search.Results()->topLevelItem(0)->text(0)));
    search.Results()->setCurrentItem(search.Results()->topLevelItem(0));
    const auto entries = search.MenuEntries();
    ASSERT_EQ(6u, entries.size());  // five identities and the chooser
    EXPECT_EQ(QString("以 Name 0 身份加入群组"), entries[0].text);
    EXPECT_EQ(32891, entries[5].command);
    // The row keeps the list's focus but is no longer selected: the join entries grey, the chooser not.
    search.Results()->clearSelection();
    const auto unselected = search.MenuEntries();
    EXPECT_FALSE(unselected[0].enabled);
    EXPECT_TRUE(unselected[5].enabled);
    search.Results()->setCurrentItem(search.Results()->topLevelItem(0));
    search.askPassword = [](QString* p) { *p = "1234"; return true; };
    search.JoinWith(2);
    ASSERT_EQ(1u, host.requests.size());
    auto* join = static_cast<CAsChatQueue*>(host.requests[0].data);
    EXPECT_EQ(AS_JNQ, host.requests[0].command);
    EXPECT_STREQ("1234", join->uiText1);
    EXPECT_STREQ("pf-2", join->uiText2);
    search.askPassword = [](QString*) { return false; };
    search.JoinWith(0);
    EXPECT_EQ(1u, host.requests.size());
    // The shell's own prompts: an empty password is refused inside the prompt, which stays open.
    CSearchDlg joiner(&host);
    joiner.SetGroupMode();
    auto* again = new CAsResultList;
    again->records.push_back(new CAsChatQueue(*q));
    joiner.OnGroupResult(0, again);
    joiner.Results()->setCurrentItem(joiner.Results()->topLevelItem(0));
    std::vector<QString> refusals;
    shell::SetDialogBoxHook([&](const QString& text, const QString&) { refusals.push_back(text); });
    host.exec = [&](QDialog* d) {
        if (auto* p = qobject_cast<CPasswordDlg*>(d)) {
            EXPECT_FALSE(p->OnOK());  // nothing typed: refused, the prompt stays
            p->PasswordEdit()->setText("9876");
            EXPECT_TRUE(p->OnOK());
            return int(QDialog::Accepted);
        }
        if (auto* s = qobject_cast<CSelectIdentityDlg*>(d)) {
            EXPECT_TRUE(s->PasswordEdit()->isEnabled());  // the group needs a password
            EXPECT_FALSE(s->OnOK());
            s->List()->setCurrentItem(s->List()->topLevelItem(2));
            s->PasswordEdit()->setText("5555");
            EXPECT_TRUE(s->OnOK());
            return int(QDialog::Accepted);
        }
        return int(QDialog::Rejected);
    };
    joiner.JoinWith(1);
    ASSERT_EQ(2u, host.requests.size());
    EXPECT_STREQ("9876", static_cast<CAsChatQueue*>(host.requests[1].data)->uiText1);
    EXPECT_STREQ("pf-1", static_cast<CAsChatQueue*>(host.requests[1].data)->uiText2);
    joiner.JoinWith(-1);
    ASSERT_EQ(3u, host.requests.size());
    EXPECT_STREQ("5555", static_cast<CAsChatQueue*>(host.requests[2].data)->uiText1);
    EXPECT_STREQ("pf-3", static_cast<CAsChatQueue*>(host.requests[2].data)->uiText2);  // rows show the newest first
    EXPECT_EQ(2u, refusals.size());
    shell::SetDialogBoxHook(nullptr);
    host.exec = [](QDialog*) { return int(QDialog::Rejected); };
    // The join answer names the group.
    auto* answer = new CAsChatQueue(*q);
    search.OnJoinResult(204, answer);
    EXPECT_EQ(QString("已经超过群组家庭的成员数限制"), host.boxes.back().first);
    // An answer without its record shows nothing and is traced under the contacts windows' module.
    static std::vector<std::pair<unsigned, std::string>> traced;
    const int32_t enabled = debug_enable.load(), all = debug_all.load();
    debug_enable = 1;
    debug_all = DBG_LOW;
    g_debugOutput = [](unsigned module, const char* text) { traced.emplace_back(module, text); };
    const size_t boxes = host.boxes.size();
    search.OnJoinResult(0, nullptr);
    g_debugOutput = nullptr;
    debug_enable = enabled;
    debug_all = all;
    EXPECT_EQ(boxes, host.boxes.size());
    EXPECT_EQ((std::vector<std::pair<unsigned, std::string>>{{MOD_QZ, "Search Dialog Rcv NULL Param !"}}), traced);
    g_profileList.Clear();
}

// An answer is listed whatever mode the dialog is in when it comes; a user row joins nothing, and a
// group answer replaces only the rows of the answer it releases, listing its own after the others.
TEST_F(BookWidgets, SearchAnswersAreListedInEitherMode) {
    CSearchDlg search(&host);
    auto users = [](std::initializer_list<const char*> ids) {
        auto* names = new CAsNameList;
        for (const char* id : ids) {
            auto* n = new AsNameResult;
            AsSetText(&n->id, id);
            AsSetText(&n->name, id);
            names->results.push_back(n);
        }
        return names;
    };
    auto groups = [](std::initializer_list<const char*> ids) {
        auto* list = new CAsResultList;
        for (const char* id : ids) {
            auto* q = new CAsChatQueue;
            q->SetQueueId(id);
            q->SetName(id);
            list->records.push_back(q);
        }
        return list;
    };
    auto rows = [&] {
        std::vector<std::string> out;
        for (int i = 0; i < search.Results()->topLevelItemCount(); ++i) out.push_back(search.Results()->topLevelItem(i)->text(0).toStdString());
        return out;
    };
    g_profileList.Clear();
    auto* profile = new AsProfileEntry;
    AsSetText(&profile->id, "pf-0");
    AsSetText(&profile->name, "Me");
    g_profileList.entries.push_back(profile);
    ASSERT_FALSE(search.ContactMode());
    search.OnGroupResult(0, groups({"g1"}));
    search.OnUserResult(0, users({"lina"}));  // a user search sent before the switch to groups
    EXPECT_EQ((std::vector<std::string>{"lina", "g1"}), rows());
    search.Results()->setCurrentItem(search.Results()->topLevelItem(0));
    search.JoinWith(0);
    EXPECT_TRUE(host.requests.empty());  // the user row carries no group
    search.OnGroupResult(0, groups({"g2", "g3"}));
    EXPECT_EQ((std::vector<std::string>{"lina", "g3", "g2"}), rows());
    search.Results()->setCurrentItem(search.Results()->topLevelItem(1));
    search.JoinWith(0);
    ASSERT_EQ(1u, host.requests.size());
    EXPECT_STREQ("g3", static_cast<CAsChatQueue*>(host.requests[0].data)->queueId);
    // In contact mode a group answer is listed too, and both kinds of empty answer show their box.
    search.SetContactMode();
    search.OnGroupResult(0, groups({"g4"}));
    EXPECT_EQ((std::vector<std::string>{"g4"}), rows());
    host.boxes.clear();
    search.OnGroupResult(0, groups({}));
    search.OnUserResult(0, users({}));
    ASSERT_EQ(2u, host.boxes.size());
    EXPECT_EQ(QString("No result accord with your request!"), host.boxes[0].first);
    EXPECT_EQ(QString("No result, find error'"), host.boxes[1].first);
    EXPECT_TRUE(rows().empty());  // the empty group answer released the rows of the one before
    g_profileList.Clear();
}

// A criterion radio swaps which edit is writable and empties the other; the focus stays where the
// click put it.
TEST_F(BookWidgets, SearchCriterionRadioSwapsTheEdits) {
    CSearchDlg search(&host);
    search.show();
    search.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&search));
    search.GroupIdEdit()->setText("q-dev");
    search.GroupIdEdit()->setFocus();
    QTest::mouseClick(search.ByGroupName(), Qt::LeftButton);
    EXPECT_TRUE(search.ByGroupName()->isChecked());
    EXPECT_FALSE(search.ByGroupId()->isChecked());
    EXPECT_FALSE(search.GroupNameEdit()->isReadOnly());
    EXPECT_TRUE(search.GroupIdEdit()->isReadOnly());
    EXPECT_TRUE(search.GroupIdEdit()->text().isEmpty());
    EXPECT_NE(search.GroupNameEdit(), QApplication::focusWidget());
}

TEST_F(BookWidgets, SearchDialogColumnsTakeTheirWidths) {
    CSearchDlg search(&host);
    search.show();
    auto widths = [&] {
        std::vector<int> out;
        QHeaderView* header = search.Results()->header();
        for (int i = 0; i < header->count(); ++i) out.push_back(header->sectionSize(i));
        return out;
    };
    for (int round = 0; round < 2; ++round) {  // and again after the contact mode
        QApplication::processEvents();
        EXPECT_EQ((std::vector<int>{80, 120, 150, 180, 100}), widths());
        search.SetContactMode();
        QApplication::processEvents();
        EXPECT_EQ((std::vector<int>{160, 320}), widths());
        search.SetGroupMode();
    }
}

// A result whose first column cuts it short shows its full text as the row's tip; a row that fits, and
// the other columns, show none.
TEST_F(BookWidgets, SearchResultTipShowsTextItsColumnCuts) {
    CSearchDlg search(&host);
    search.SetContactMode();
    search.show();
    const QString longId = "a-user-id-far-too-long-for-its-column-of-the-results@example.org";
    auto* names = new CAsNameList;
    for (const QString& id : {longId, QString("li")}) {
        auto* n = new AsNameResult;
        AsSetText(&n->id, id.toLatin1().constData());
        AsSetText(&n->name, "Nick name far too long for its column of the result list, too");
        names->results.push_back(n);
    }
    search.OnUserResult(0, names);
    QApplication::processEvents();
    QTreeWidget* list = search.Results();
    auto centre = [list](const QString& id, int column) {
        const QList<QTreeWidgetItem*> rows = list->findItems(id, Qt::MatchExactly, 0);
        return rows.isEmpty() ? QPoint(-1, -1) : list->visualItemRect(rows[0]).topLeft() +
                                                     QPoint(list->header()->sectionViewportPosition(column) + 5, 5);
    };
    EXPECT_EQ(longId, search.InfoTipAt(centre(longId, 0)));
    EXPECT_EQ(QString(), search.InfoTipAt(centre("li", 0)));
    EXPECT_EQ(QString(), search.InfoTipAt(centre(longId, 1)));
    // The list's tip event shows it.
    const QPoint at = centre(longId, 0);
    QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &help);
    EXPECT_EQ(longId, QToolTip::text());
    QToolTip::hideText();
    // A column wide enough shows it whole: no tip.
    list->header()->resizeSection(0, 1000);
    QApplication::processEvents();
    EXPECT_EQ(QString(), search.InfoTipAt(centre(longId, 0)));
}

TEST_F(BookWidgets, SearchDialogLaysOutByItsRules) {
    CSearchDlg search(&host);
    search.show();
    const int m = CSearchDlg::kSearchMargin, b = search.ButtonWidth();
    const QSize smallest = search.minimumSize();
    EXPECT_EQ(search.StyleBox()->geometry().right() + 1 + 32, smallest.width());
    EXPECT_EQ(search.StyleBox()->geometry().bottom() + 1 + 128, smallest.height());
    for (const QSize size : {QSize(700, 520), QSize(900, 640)}) {
        search.resize(size);
        const int W = search.width(), H = search.height();
        EXPECT_EQ(W - m, search.AdvancedButton()->geometry().right() + 1);
        EXPECT_EQ(W - m - b, search.StyleBox()->geometry().right() + 1 + m);
        const QRect list = search.Results()->geometry();
        EXPECT_EQ(QRect(QPoint(m, search.StyleBox()->geometry().bottom() + 1 + 6), QPoint(W - m - 1, H - m - 1)), list);
        // Two edit columns of one width, each with its find button at its right end.
        EXPECT_EQ(search.UserIdEdit()->width(), search.GroupIdEdit()->width());
        EXPECT_EQ(search.UserIdEdit()->geometry().right(), search.AddButton()->geometry().right());
        EXPECT_EQ(search.AddButton()->geometry().left() - m, search.FindUsersButton()->geometry().right() + 1);
        EXPECT_EQ(search.GroupIdEdit()->geometry().right(), search.FindGroupsButton()->geometry().right());
        EXPECT_EQ(search.ByGroupId()->geometry().left() - search.UserIdEdit()->geometry().right() - 1,
                  search.ByUserId()->geometry().left());
    }
    search.resize(100, 100);
    EXPECT_EQ(smallest, search.size());
}

TEST_F(BookWidgets, SendToBuddyOpensOnlyAShareAddress) {
    const std::string saved = g_serviceSettings.share;
    for (const char* share : {"", "not an address"}) {
        g_serviceSettings.share = share;
        page->OnLanguageChanged();
        EXPECT_TRUE(page->ShareLink()->isVisibleTo(page)) << share;
        page->Dispatch(WM_ADDRBOOK_SHARE_LINK, 0, 0);
        EXPECT_TRUE(host.urls.empty()) << share;
    }
    g_serviceSettings.share = "http://127.0.0.1:7200/share";
    page->OnLanguageChanged();
    EXPECT_TRUE(page->ShareLink()->isVisibleTo(page));
    page->Dispatch(WM_ADDRBOOK_SHARE_LINK, 0, 0);
    ASSERT_EQ(1u, host.urls.size());
    EXPECT_EQ(QString("http://127.0.0.1:7200/share"), host.urls[0]);
    g_serviceSettings.share = saved;
}

TEST_F(BookWidgets, AddUserDialogChecks) {
    CAddUserDlg add(false, nullptr, &host);
    add.Edit(1022)->setText("  ");
    add.accept();
    EXPECT_EQ(QString("The user name is empty."), host.boxes.back().first);
    add.Edit(1022)->setText("dentist");
    add.accept();
    EXPECT_EQ(2u, host.boxes.size());  // a card of that name exists
    add.Edit(1022)->setText(" Dr. Wu ");
    add.Edit(1026)->setText("13911112222");
    add.accept();
    EXPECT_EQ(QDialog::Accepted, add.result());
    EXPECT_EQ(QString("Dr. Wu"), add.Card().name);
    EXPECT_EQ(30, add.Edit(1027)->maxLength());
    EXPECT_EQ(32, add.Edit(1030)->maxLength());
    // The e-mail label keeps the dialog's own text whatever the language file says.
    auto* form = add.findChild<QFormLayout*>();
    ASSERT_NE(nullptr, form);
    auto* mail = qobject_cast<QLabel*>(form->labelForField(add.Edit(1027)));
    ASSERT_NE(nullptr, mail);
    EXPECT_EQ(QString("Email"), mail->text());
}

}  // namespace

namespace {

TEST_F(BookWidgets, CollapseIsRememberedAndLateOrFailedAnswersChangeNothing) {
    // Collapsing through the tree clears the expanded flag, so the next rebuild inserts it collapsed.
    CBookTree* tree = page->BuddyTree();
    AddrNode* work = Find(Root(0), "g-work");
    tree->ExpandItem(tree->ItemOfNode(work), true);
    tree->ToggleItem(tree->ItemOfNode(work));
    EXPECT_FALSE(work->flags & FLAG_EXPANDED);
    page->RebuildBuddyTree(nullptr);
    EXPECT_FALSE(tree->ItemOfNode(work)->isExpanded());
    tree->ItemOfNode(work)->setExpanded(true);  // the tree's own button
    EXPECT_TRUE(work->flags & FLAG_EXPANDED);
    page->RebuildBuddyTree(nullptr);
    EXPECT_TRUE(tree->ItemOfNode(work)->isExpanded());
    // A search answer after the dialog closed is released, not delivered.
    ASSERT_EQ(nullptr, SearchDialog());
    auto* names = new CAsNameList;
    ASSERT_TRUE(OnAddressBookResult(booktest::NewRequest(AS_SRB, names, AS_DATA_SEARCH), &host));
    // A failed block leaves the store, the tree and the block list as they were.
    CBlockListDlg blockList(&host);
    const int allowed = blockList.AccessList()->count();
    // The check box and the first button carry their texts only, and closing still ends with 0.
    ASSERT_NE(nullptr, blockList.findChild<QCheckBox*>("popedomCheck"));
    EXPECT_EQ(shell::LangText("block_dialog", "check_pope", "&Popedom"), blockList.findChild<QCheckBox*>("popedomCheck")->text());
    ASSERT_NE(nullptr, blockList.findChild<QPushButton*>("okButton"));
    EXPECT_EQ(shell::LangText("block_dialog", "ok_btn", ""), blockList.findChild<QPushButton*>("okButton")->text());
    auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
    p->str1 = strdup("bob");
    AsRequest* r = booktest::NewRequest(AS_BLK, p, AS_DATA_PARAMS);
    r->result = 206;
    ASSERT_TRUE(OnAddressBookResult(r, &host));
    EXPECT_FALSE(Find(Root(0), "bob")->flags & ADDR_FLAG_BLOCKED);
    EXPECT_EQ(allowed, blockList.AccessList()->count());
    // Block acts on a selected line only, not on one that merely has the list's focus.
    ASSERT_GT(allowed, 0);
    auto* blockButton = blockList.findChild<QPushButton*>("blockButton");
    ASSERT_NE(nullptr, blockButton);
    blockList.AccessList()->setCurrentRow(0);
    blockList.AccessList()->clearSelection();
    const size_t sent = host.commands.size();
    blockButton->click();
    EXPECT_EQ(sent, host.commands.size());
    blockList.AccessList()->setCurrentRow(0);
    blockButton->click();
    ASSERT_EQ(sent + 1, host.commands.size());
    EXPECT_EQ(AS_BLK, host.commands.back().command);
    // A contact without a web site: the link opens nothing; a local file is never opened.
    CContactDetailDlg detail(nullptr, &host);
    detail.SetDetails({});
    detail.OpenWebsite();
    ContactDetails d;
    d.website = "file:///etc/passwd";
    detail.SetDetails(d);
    detail.OpenWebsite();
    d.website = "https://bob.example.org";
    detail.SetDetails(d);
    detail.OpenWebsite();
    EXPECT_EQ((std::vector<QString>{"https://bob.example.org"}), host.urls);
    // Open while the language changes, it takes the new texts.
    const std::string before = shell::Paths().langFile;
    shell::Paths().langFile = std::string(TESSALY_SOURCE_DIR) + "/ui/shell/install/language/zychs.ini";
    detail.OnLanguageChanged();
    shell::Paths().langFile = before;
    EXPECT_EQ(QString::fromUtf8("\u8054\u7cfb\u4eba\u8be6\u60c5"), detail.windowTitle());  // 联系人详情
    auto* form = detail.findChild<QFormLayout*>();
    ASSERT_NE(nullptr, form);
    auto* label = qobject_cast<QLabel*>(form->labelForField(detail.DisplayNameEdit()));
    ASSERT_NE(nullptr, label);
    EXPECT_EQ(QString::fromUtf8("\u663e\u793a\u540d\u79f0"), label->text());  // 显示名称
}

}  // namespace

namespace {

TEST_F(BookWidgets, RenameThroughTheLabelEditorSendsAndKeepsTheLabel) {
    page->show();
    CBookTree* tree = page->BuddyTree();
    Select(tree, "bob");
    tree->OnMenuCommand(32802);
    auto* editor = tree->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(nullptr, editor);
    EXPECT_EQ(QString("Bobby"), editor->text());  // a contact's editor shows its remark
    editor->setText("  Robert ");
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();  // the delegate commits on a queued call
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(1u, host.commands.size());
    EXPECT_EQ(AS_REB, host.commands[0].command);
    EXPECT_EQ("bob", host.commands[0].s1);
    EXPECT_EQ("  Robert ", host.commands[0].s3);  // the name as typed
    EXPECT_EQ(QString("Bobby(Bob)--Offline"), tree->ItemOfNode(Find(Root(0), "bob"))->text(0));
    // A name of blanks only sends nothing.
    tree->OnMenuCommand(32802);
    editor = tree->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(nullptr, editor);
    editor->setText("   ");
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(1u, host.commands.size());
    // Full-width spaces are characters of the name, not blanks to trim.
    tree->OnMenuCommand(32802);
    editor = tree->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(nullptr, editor);
    editor->setText(QString::fromUtf8("\u3000\u3000"));
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(2u, host.commands.size());
    EXPECT_EQ(A("\u3000\u3000"), host.commands[1].s3);
    host.commands.pop_back();
    // Escape: nothing is sent and the label comes back.
    tree->OnMenuCommand(32802);
    editor = tree->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(nullptr, editor);
    QTest::keyClick(editor, Qt::Key_Escape);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(1u, host.commands.size());
    EXPECT_EQ(QString("Bobby(Bob)--Offline"), tree->ItemOfNode(Find(Root(0), "bob"))->text(0));
    // Enter on the text as it opened renames all the same.
    tree->OnMenuCommand(32802);
    editor = tree->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(nullptr, editor);
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(2u, host.commands.size());
    EXPECT_EQ(AS_REB, host.commands[1].command);
    EXPECT_EQ("Bobby", host.commands[1].s3);
    // An account identity without the editable flag opens no editor.
    AddrNode* mobile = IdentityOf(Find(Root(0), "bob"), 3);
    tree->setCurrentItem(tree->ItemOfNode(mobile));
    tree->OnMenuCommand(32802);
    EXPECT_EQ(nullptr, tree->viewport()->findChild<QLineEdit*>());
}

TEST_F(BookWidgets, DeleteAsksThenRequestsTheRemovalOfTheSelection) {
    Group("g-empty", "Empty", Root(0));
    struct Case {
        int root;
        const char* id;
        std::vector<bool> answers;
        int questions;
        int command;  // -1: nothing is sent
        std::string s1, s3;
    };
    const Case cases[] = {
        {0, "carol", {true}, 1, AS_REM, "carol", "g-friends"},  // the server takes the buddy out of that group
        {0, "carol", {false}, 1, -1, "", ""},
        {2, "l-dentist", {true}, 1, AS_RML, "l-dentist", "Dentist"},
        {0, "g-team", {true, false}, 2, -1, "", ""},  // a group with members asks twice
        {0, "g-team", {true, true}, 2, AS_RMG, "g-team", A("开发组")},
        {0, "g-empty", {true}, 1, AS_RMG, "g-empty", "Empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        host.commands.clear();
        host.questions.clear();
        host.answers = c.answers;
        AddrNode* node = Find(Root(c.root), c.id);
        ASSERT_NE(nullptr, node);
        host.BookHost::FrameCommand(node->kind == ADDR_KIND_GROUP ? CMD_DELETE_GROUP : CMD_DELETE_USER, node);
        EXPECT_EQ(c.questions, static_cast<int>(host.questions.size()));
        if (c.command < 0) {
            EXPECT_TRUE(host.commands.empty());
            continue;
        }
        ASSERT_EQ(1u, host.commands.size());
        EXPECT_EQ(c.command, host.commands[0].command);
        EXPECT_EQ(c.s1, host.commands[0].s1);
        EXPECT_EQ(c.s3, host.commands[0].s3);
    }
    // The questions are the language file's texts.
    host.questions.clear();
    host.answers = {false};
    host.BookHost::FrameCommand(CMD_DELETE_USER, Find(Root(2), "l-family"));
    ASSERT_EQ(1u, host.questions.size());
    EXPECT_EQ(shell::LangText("addrbook_dialog", "del_card", "Are you sure to delete the card?"), host.questions[0]);
    // Identities and nothing selected send nothing.
    host.commands.clear();
    host.BookHost::FrameCommand(CMD_DELETE_USER, IdentityOf(Find(Root(0), "carol"), 9));
    host.BookHost::FrameCommand(CMD_DELETE_USER, nullptr);
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(BookWidgets, NewGroupTakesTheFirstFreeName) {
    const std::string base = ToAnsi(shell::LangText("addrbook_dialog", "newgroup", "Group"));
    EXPECT_EQ(base, FreeGroupName(base));
    Group("g-n0", base.c_str(), Root(0));
    EXPECT_EQ(base + "1", FreeGroupName(base));
    Group("g-n1", (base + "1").c_str(), Root(0));
    // A deeper group of the same name does not count: the new one goes to the top.
    Group("g-n2", (base + "2").c_str(), Find(Root(0), "g-work"));
    host.BookHost::FrameCommand(CMD_NEW_GROUP, nullptr);
    ASSERT_EQ(1u, host.commands.size());
    EXPECT_EQ(AS_ADG, host.commands[0].command);
    EXPECT_EQ("0", host.commands[0].s2);
    EXPECT_EQ(base + "2", host.commands[0].s3);
}

TEST_F(BookWidgets, QuitGroupFailureShowsTheTextOfItsCode) {
    const std::pair<int, const char*> cases[] = {{1, "server_err"},         {401, "qtq_not_exist"},       {402, "qtq_not_inqid"},
                                                 {403, "qtq_not_allowed"},  {404, "qtq_joinpart_failed"}, {500, "qtq_err"}};
    for (const auto& [code, key] : cases) {
        host.boxes.clear();
        host.requests.clear();
        AsRequest* r = booktest::NewRequest(AS_QTQ, nullptr, AS_DATA_NONE);
        r->result = code;
        EXPECT_TRUE(OnAddressBookResult(r, &host));
        ASSERT_EQ(1u, host.boxes.size()) << code;
        EXPECT_EQ(QuitGroupFailure(code).key, std::string(key));
        EXPECT_EQ(shell::LangText("as_code", key, ""), host.boxes[0].first);
        EXPECT_EQ(shell::LangText("profile_status", "fail_title", ""), host.boxes[0].second);
        EXPECT_TRUE(host.requests.empty()) << code;  // the joined groups are asked again only on success
    }
    host.boxes.clear();
    EXPECT_TRUE(OnAddressBookResult(booktest::NewRequest(AS_QTQ, nullptr, AS_DATA_NONE), &host));
    EXPECT_TRUE(host.boxes.empty());
    ASSERT_EQ(1u, host.requests.size());
    EXPECT_EQ(AS_SYJQ, host.requests[0].command);
}

TEST_F(BookWidgets, DialBarButtonsFollowTheSelection) {
    struct Case {
        const char* id;  // null: the messaging identity of carol
        bool busy;
        int buttons;     // dial + 2 * hang-up
    };
    const Case cases[] = {{"g-friends", false, 0}, {"carol", false, 1}, {nullptr, false, 0}, {"carol", true, 2}, {"g-friends", true, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id ? c.id : "identity");
        host.busyCall = c.busy;
        host.dialButtons = -1;
        AddrNode* node = c.id ? Find(Root(0), c.id) : IdentityOf(Find(Root(0), "carol"), 9);
        ASSERT_NE(nullptr, node);
        page->BuddyTree()->setCurrentItem(page->BuddyTree()->ItemOfNode(node));
        EXPECT_EQ(c.buttons, host.dialButtons);
    }
    // Becoming the shown page sets them as well.
    host.busyCall = false;
    page->BuddyTree()->setCurrentItem(page->BuddyTree()->ItemOfNode(Find(Root(0), "carol")));
    page->hide();
    host.dialButtons = -1;
    page->show();
    EXPECT_EQ(1, host.dialButtons);
}

}  // namespace
