// Gallery of the address-book windows: the three panes over alice's address book, a contact menu and
// every dialog, in English and Chinese, grabbed to PNG files in <build>/gallery/contacts.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>

#include "tools/gallery/gallery_support.h"
#include "common/account.h"
#include "common/addrbook.h"
#include "common/appenv.h"
#include "common/grouprecord.h"
#include "common/xmldoc.h"
#include "platform/fs.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/settings_xml.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/addrbook_replies.h"
#include "ui/contacts/addrbook_results.h"
#include "ui/contacts/book_dialogs.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/app_start.h"
#include "ui/shell/shell_config.h"

namespace {


void Save(QWidget* w, const QString& name, bool adjust = true) { gallery::Save(w, name, adjust); }

// A host that shows nothing and sends nothing: the gallery only looks.
class QuietHost : public contacts::BookHost {
public:
    bool DialEnabled() const override { return true; }
    int PresenceStatus() const override { return 0; }
    bool BusyCallPage() const override { return false; }
    bool AnyCallPage() const override { return false; }
    int SendCommand(int, const char*, const char*, int, const char*, const char*, int) override { return 1; }
    int PostRequest(int, void*, uint32_t) override { return 0; }
    void Box(const QString&, const QString&, int) override {}
};

std::string Ansi(const char* utf8) { return contacts::ToAnsi(QString::fromUtf8(utf8)); }

AddrNode* Find(AddrNode* n, const char* id) {
    if (!n) return nullptr;
    if (n->id && !strcmp(n->id, id)) return n;
    for (AddrNode* c = n->child; c; c = c->next)
        if (AddrNode* f = Find(c, id)) return f;
    return nullptr;
}

AddrNode* IdentityOf(AddrNode* contact, uint32_t type) {
    for (AddrNode* c = contact ? contact->child : nullptr; c; c = c->next)
        if (c->kind == ADDR_KIND_IDENTITY && c->type == type) return c;
    return nullptr;
}

// Alice's address book as the access test server sends it, some buddies online, two chat groups.
void LoadBook(const QString& source) {
    QFile f(source + "/ui/contacts/tests/data/alice_syn.xml");
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "contacts_gallery: no recorded synchronisation\n");
        return;
    }
    CXmlDocument doc;
    doc.SetText(f.readAll().toStdString());
    CXmlElement* syn = nullptr;
    if (!doc.Parse() || !doc.GetRoot()->FindChild("SYN", syn)) return;
    auto* r = static_cast<AsRequest*>(calloc(1, sizeof(AsRequest)));
    r->command = AS_SYN;
    g_asCommandTable[AS_SYN].parser(syn, r);
    auto* sync = static_cast<CAsSyncResult*>(r->data);
    AS_InstallProfiles(sync);
    // The chat-group lists stay here (no frame).
    GroupRecord* lists[2] = {sync->queueRoots[0], sync->queueRoots[1]};
    sync->queueRoots[0] = sync->queueRoots[1] = nullptr;
    contacts::OnSyncResult(r);
    AS_FreeRequest(r);
    for (int i = 0; i < 2; ++i) {
        if (!lists[i]) continue;
        contacts::AddChatGroups(lists[i], i + 1);
        GroupRecord_Free(lists[i]);
    }
    // Presence as the messaging service reports it: user numbers for everyone, three buddies online
    // (one of them busy, which reads online).
    int uid = 1001;
    for (const char* id : {"bob", "carol", "zhangwei", "lina"})
        if (AddrNode* qz = IdentityOf(Find(g_addrBookRoots[0], id), 9))
            presence_setting_set_int(&static_cast<AddrIdentity*>(qz)->settings, "uid", nullptr, ++uid);
    for (const char* id : {"bob", "zhangwei"})
        if (AddrNode* qz = IdentityOf(Find(g_addrBookRoots[0], id), 9)) AddrBook_SetIdentityOnline(qz, 1);
    if (AddrNode* qz = IdentityOf(Find(g_addrBookRoots[0], "lina"), 9)) {
        AddrBook_SetIdentityOnline(qz, 1);
        AddrBook_SetIdentityBusy(qz, true);
    }
    // Members of the first chat group, as a member query brings them.
    if (AddrNode* group = g_addrBookRoots[1]->child ? g_addrBookRoots[1]->child->child : nullptr) {
        GroupRecord* members = GroupRecord_New();
        const std::pair<const char*, const char*> people[] = {{"alice", "Alice"}, {"zhangwei", "张伟"}, {"lina", "李娜"}, {"bob", "Bob"}};
        for (const auto& [id, name] : people) {
            auto* m = new GroupMember;
            m->first = strdup(id);
            m->second = strdup(Ansi(name).c_str());
            members->members.push_back(m);
        }
        contacts::AddGroupMembers(members, group->id);
        GroupRecord_Free(members);
    }
}

void Language(const std::string& root, const std::string& profile, const std::string& code, const QString& source) {
    const QString suffix = QString::fromStdString(code);
    const bool zh = code == "chs";
    shell::LoadConfigPaths(root, profile, zh);
    shell::ApplyLanguageCode(code);
    ctl::SetSkinType(shell::Paths().skinType);
    shell::Paths().profileFolder = profile;
    g_strUserId = "alice";
    AddrBook_Destroy();
    AddrBook_Init();
    LoadBook(source);
    QuietHost host;

    {
        contacts::CAddressBookDlg page(&host);
        page.resize(300, 600);
        page.OnLanguageChanged();
        page.OnLanguageChanged();
        page.show();
        auto expand = [&](contacts::CBookTree* tree) {
            // Opened where there is something below; every other item keeps its closed button.
            for (QTreeWidgetItemIterator it(tree); *it; ++it)
                if ((*it)->childCount() > 0) tree->ExpandItem(*it, true);
        };
        expand(page.BuddyTree());
        page.BuddyTree()->setCurrentItem(page.BuddyTree()->ItemOfNode(Find(g_addrBookRoots[0], "zhangwei")));
        Save(&page, "book_contacts_" + suffix, false);

        contacts::BookHost* h = &host;
        (void)h;
        TrelMenu menu;
        page.BuddyTree()->BuildMenu(&menu, Find(g_addrBookRoots[0], "bob"));
        menu.adjustSize();
        Save(&menu, "book_contact_menu_" + suffix);

        page.ShowCardPane();
        page.FinishSlide();
        expand(page.CardTree());
        page.CardTree()->setCurrentItem(page.CardTree()->topLevelItem(0));
        Save(&page, "book_cards_" + suffix, false);

        page.ShowGroupPane();
        page.FinishSlide();
        expand(page.GroupTree());
        if (QTreeWidgetItem* member = page.GroupTree()->FindItemById("zhangwei")) page.GroupTree()->setCurrentItem(member);
        Save(&page, "book_groups_" + suffix, false);
    }
    {
        contacts::CAddUserDlg add(true, nullptr, &host);
        add.SetCard({zh ? QString::fromUtf8("王医生") : "Dr. Wang", "front.desk@example.org", "13911112222", "010-62345678", ""});
        Save(&add, "book_edit_card_" + suffix);
        contacts::CAddUserDlg fresh(false, nullptr, &host);
        Save(&fresh, "book_new_card_" + suffix);
        contacts::CAddBrindleContactDlg buddy(nullptr, &host);
        buddy.IdEdit()->setText("lina");
        Save(&buddy, "book_add_buddy_" + suffix);
        contacts::CNicknameDlg nick("Alice");
        nick.NewEdit()->setText(zh ? QString::fromUtf8("爱丽丝") : "Ally");
        Save(&nick, "book_nickname_" + suffix);
        contacts::CBlockListDlg block(&host);
        Save(&block, "book_block_list_" + suffix);
        contacts::CContactDetailDlg detail(nullptr, &host);
        detail.SetDetails({QString::fromUtf8("小张"), QString::fromUtf8("张伟"), "zhangwei", "13800000003", "010-62340000", "",
                           "zhangwei@example.org", zh ? QString::fromUtf8("开发组组长") : "Leads the developers", "https://zhangwei.example.org"});
        Save(&detail, "book_contact_detail_" + suffix);
    }
    {
        contacts::CSearchDlg search(&host);
        search.SetContactMode();
        search.ByNick()->click();
        search.NickEdit()->setFocus();  // the user clicks into the edit to type
        search.NickEdit()->setText("li");
        auto* names = new CAsNameList;
        const std::pair<const char*, const char*> found[] = {{"carol", "Carol"}, {"lina", "李娜"}};
        for (const auto& [id, name] : found) {
            auto* n = new AsNameResult;
            AsSetText(&n->id, id);
            AsSetText(&n->name, Ansi(name).c_str());
            names->results.push_back(n);
        }
        search.OnUserResult(0, names);
        search.Results()->setCurrentItem(search.Results()->topLevelItem(0));
        search.show();
        Save(&search, "book_search_users_" + suffix, false);
        search.SetGroupMode();
        search.ByGroupName()->click();
        search.GroupNameEdit()->setFocus();
        search.GroupNameEdit()->setText(zh ? QString::fromUtf8("开发") : "club");
        auto* list = new CAsResultList;
        struct Q { const char *id, *name, *dname, *des, *founder; int members; } const queues[] = {
            {"q-lunch", "Lunch club", "Lunch club", "Where to eat today", "bob", 4},
            {"q-dev", "开发讨论", "开发讨论", "开发组日常讨论", "alice", 12}};
        for (const Q& q : queues) {
            auto* c = new CAsChatQueue;
            c->SetQueueId(q.id);
            c->SetName(Ansi(q.name).c_str());
            c->SetDisplayName(Ansi(q.dname).c_str());
            c->SetDescription(Ansi(q.des).c_str());
            c->SetFounderName(q.founder);
            c->memberCount = q.members;
            list->records.push_back(c);
        }
        search.OnGroupResult(0, list);
        Save(&search, "book_search_groups_" + suffix, false);
        search.hide();
    }
    AddrBook_Destroy();
    AddrBook_Init();
    g_strUserId.clear();
}

}  // namespace

int main(int argc, char** argv) {
    gallery::UseOffscreen();
    QApplication app(argc, argv);
    const QString root = gallery::Start(app, argc, argv, "contacts");
    QTemporaryDir profile;
    // An installation with a share page: the page offers "Send to buddy".
    g_serviceSettings.share = "http://127.0.0.1:7200/share";
    AddrBook_Init();
    for (const char* code : {"eng", "chs"})
        Language(root.toStdString(), profile.path().toStdString(), code, QStringLiteral(TESSALY_SOURCE_DIR));
    AddrBook_Destroy();
    return 0;
}
