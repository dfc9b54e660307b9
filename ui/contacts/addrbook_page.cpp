// The address-book page: its panes, rebuilds of the trees and the commands on their selection.
#include "ui/contacts/addrbook_page.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QScrollBar>
#include <QDateTime>
#include <QDrag>
#include <QShowEvent>
#include <QStyledItemDelegate>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <algorithm>
#include <cstring>
#include <functional>

#include "common/account.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "common/grouprecord.h"
#include "platform/ini.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/presence_notice.h"
#include "service/settings_xml.h"
#include "ui/contacts/addrbook_replies.h"
#include "ui/contacts/book_dialogs.h"
#include "ui/contacts/book_tree_support.h"
#include "ui/controls/links.h"
#include "ui/controls/skin.h"
#include "ui/controls/statics.h"
#include "ui/controls/styled_button.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"

namespace contacts {

namespace {

CAddressBookDlg* g_page = nullptr;

const char* kImageFiles[IMG_COUNT] = {"addr_opened.bmp", "addr_closed.bmp", "addr_useronline.bmp", "addr_useroffline.bmp",
                                      "addr_qzonline.bmp", "addr_qzoffline.bmp", "addr_phone.bmp", "addr_mobile.bmp",
                                      "addr_email.bmp", "addr_officephone.bmp", "addr_voip.bmp", "addr_bussinesscard.bmp",
                                      "addr_blockonline.bmp", "addr_blockoffline.bmp", "addr_group.bmp", "addr_myweb.bmp"};
constexpr COLORREF kImageKey = RGB(0xEC, 0xE9, 0xD8);
// The program's own picture of each image, shown where the skin lacks its file (0: none).
const int kImageResources[IMG_COUNT] = {221, 222, 223, 224, 198, 199, 225, 226, 227, 228, 193, 193, 193, 193, 193, 193};
constexpr COLORREF kResourceKey = RGB(0xFF, 0, 0);
constexpr int kHeaderHeight = 30;
constexpr int kSlideStep = 30;

}  // namespace

using namespace booktree;

CAddressBookDlg* BookPage() { return g_page; }

// ---------------------------------------------------------------------------------------------
// The page.

CAddressBookDlg::CAddressBookDlg(BookHost* host, QWidget* parent)
    : CNqPropertyPage(PAGE_BOOK, parent), host_(host ? host : DefaultHost()) {
    setObjectName("addressBookPage");
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    m_accountDisplay = shell::ConfigInt("common", "account_display", 0);
    contactHeader_ = new CStyledButton(this);
    cardHeader_ = new CStyledButton(this);
    groupHeader_ = new CStyledButton(this);
    addButton_ = new CStyledButton(this);
    for (CStyledButton* b : {contactHeader_, cardHeader_, groupHeader_}) {
        b->SetFlatLook(true, false);
        b->setFixedHeight(kHeaderHeight);
        // Lighter under the mouse, with blue text; tips in balloons.
        b->OffsetColor(0, 30, false);
        b->SetColor(1, 0xFF0000, false);
        b->EnableBalloonTooltip();
    }
    groupHeader_->SetEdgeLines(true);
    contactHeader_->setObjectName("contactHeader");
    cardHeader_->setObjectName("cardHeader");
    groupHeader_->setObjectName("groupHeader");
    addButton_->setObjectName("addContactButton");
    buddyTree_ = new CBuddyTreeCtrl(this);
    cardTree_ = new CContactTreeCtrl(this);
    groupTree_ = new CGroupTreeCtrl(this);
    buddyTree_->setObjectName("buddyTree");
    cardTree_->setObjectName("cardTree");
    groupTree_->setObjectName("groupTree");
    for (CBookTree* t : {static_cast<CBookTree*>(buddyTree_), static_cast<CBookTree*>(cardTree_), static_cast<CBookTree*>(groupTree_)}) {
        t->SetImages(&images_);
        t->installEventFilter(this);
    }
    link_ = new CHyperLink(this);
    link_->SetClickMessage(WM_ADDRBOOK_SHARE_LINK);
    connect(link_, &CUrlLink::linkClicked, this, [this] { Dispatch(WM_ADDRBOOK_SHARE_LINK, 0, 0); });
    picture_ = new QLabel(this);
    connect(contactHeader_, &QPushButton::clicked, this, [this] { ShowContactPane(); });
    connect(cardHeader_, &QPushButton::clicked, this, [this] { ShowCardPane(); });
    connect(groupHeader_, &QPushButton::clicked, this, [this] { ShowGroupPane(); });
    connect(addButton_, &QPushButton::clicked, this, [this] {
        ShowContactPane();
        host_->FrameCommand(CMD_ADD_CONTACT, nullptr);
    });
    slide_.setInterval(50);
    connect(&slide_, &QTimer::timeout, this, &CAddressBookDlg::SlideStep);
    LoadImages(true);
    OnLanguageChanged();
    m_firstLanguageLoad = 1;  // the first notice of the frame still skips the buddy tree
    cardTree_->hide();
    groupTree_->hide();
    RebuildGroupTree(nullptr);
    RebuildContactTree(nullptr);
    g_page = this;
    Hooks().rebuildBuddy = [](const char* id) { if (g_page) g_page->RebuildBuddyTree(id); };
    Hooks().rebuildCard = [](const char* id) { if (g_page) g_page->RebuildContactTree(id); };
    Hooks().forgetNode = [](AddrNode* n) { if (g_page) g_page->ForgetNode(n); };
}

CAddressBookDlg::~CAddressBookDlg() {
    if (g_page == this) {
        g_page = nullptr;
        Hooks() = ReplyHooks();
    }
}

QString CAddressBookDlg::Text(const char* key, const char* builtIn) const { return BookText(key, builtIn); }
QString CAddressBookDlg::TabTitle() const { return BookText("title", "Contacts"); }
int CAddressBookDlg::SortType() const { return shell::Paths().sortType; }

CBookTree* CAddressBookDlg::ActiveTree() const {
    return m_pane == 0 ? static_cast<CBookTree*>(buddyTree_) : m_pane == 1 ? static_cast<CBookTree*>(cardTree_) : groupTree_;
}

AddrNode* CAddressBookDlg::GetSelectedItemData() const { return ActiveTree()->SelectedNode(); }

void CAddressBookDlg::LoadImages(bool allHeaders) {
    images_.assign(IMG_COUNT, QPixmap());
    for (int i = 0; i < IMG_COUNT; ++i) {
        const QImage img = ctl::LoadBitmapFile(SkinPath(kImageFiles[i]));
        if (!img.isNull()) {
            images_[i] = ctl::KeyedPixmap(img, kImageKey);
        } else if (kImageResources[i]) {
            const QImage own = ctl::LoadBitmapFile(ctl::ResourcePath(kImageResources[i]));
            if (!own.isNull()) images_[i] = ctl::KeyedPixmap(own, kResourceKey);
        }
    }
    struct Header { CStyledButton* b; const char* normal; const char* selected; } const headers[] = {
        {contactHeader_, "contact.bmp", "contactsel.bmp"}, {cardHeader_, "card.bmp", "cardsel.bmp"},
        {groupHeader_, "group_u.bmp", "group_d.bmp"}, {addButton_, "add_contact.bmp", "add_contactsel.bmp"}};
    for (const Header& h : headers) {
        // A skin change reloads only the add-contact and Groups buttons.
        if (!allHeaders && h.b != groupHeader_ && h.b != addButton_) continue;
        const QImage in = ctl::LoadBitmapFile(SkinPath(h.selected)), out = ctl::LoadBitmapFile(SkinPath(h.normal));
        if (!out.isNull()) h.b->SetBitmapPair(in.isNull() ? out : in, kImageKey, out, kImageKey);
    }
    commend_ = ctl::LoadBitmapFile(SkinPath("commend.bmp"));
    for (CBookTree* t : {static_cast<CBookTree*>(buddyTree_), static_cast<CBookTree*>(cardTree_), static_cast<CBookTree*>(groupTree_)})
        for (QTreeWidgetItemIterator it(t); *it; ++it) t->RefreshImage(*it);
}

void CAddressBookDlg::OnSkinChanged() {
    LoadImages(false);
    update();
}

void CAddressBookDlg::OnLanguageChanged() {
    words_.online = BookText("online", "Online");
    words_.offline = BookText("offline", "Offline");
    words_.blocked = BookText("block", "block");
    words_.edition = Lang("common", "edition", "business");
    contactHeader_->setText(BookText("my_contact", "我的联系人"));
    contactHeader_->SetTooltipText(BookText("my_contact_tip", "我的联系人"));
    cardHeader_->setText(BookText("my_card", "我的名片夹"));
    cardHeader_->SetTooltipText(BookText("my_card_tip", "我的名片夹"));
    groupHeader_->setText(BookText("group", "群组"));
    groupHeader_->SetTooltipText(BookText("group_tip", "群组"));
    addButton_->setText(BookText("add_contact", "添加联系人"));
    addButton_->SetTooltipText(BookText("add_contact_tip", "添加联系人"));
    link_->SetLinkText(BookText("send_to_buddy", "Send to buddy"));
    // The default groups take their names from the language.
    for (AddrNode* c = g_addrBookRoots[1]->child; c; c = c->next) {
        if (!IsDefaultGroup(c)) continue;
        const QString name = Lang("group_dlg", !strcmp(c->id, "1") ? "groupcreate" : "groupjoin", "");
        AddrBook_RenameGroup(c, ToAnsi(name).c_str());
    }
    LayoutPanes();
    if (m_firstLanguageLoad == 0) RebuildBuddyTree(nullptr);
    else m_firstLanguageLoad = 0;
    RebuildGroupTree("1");
    RebuildGroupTree("2");
    update();
}

// Rebuild of a pane tree from its root or from one node.
void CAddressBookDlg::Rebuild(CBookTree* tree, int rootIndex, const char* id, const char* parentId) {
    AddrNode* root = g_addrBookRoots[rootIndex];
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* start = root;
    if (id) start = parentId ? AddrBook_FindByIdInParent(root, id, parentId) : AddrBook_FindById(root, id);
    RebuildFrom(tree, root, start);
}

void CAddressBookDlg::RebuildFrom(CBookTree* tree, AddrNode* root, AddrNode* start) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    const bool whole = start == root;
    if (whole) {
        m_suppressActivate = 1;
        tree->clear();
        m_suppressActivate = 0;
    } else if (QTreeWidgetItem* item = tree->ItemOfNode(start)) {
        for (QTreeWidgetItem* c : item->takeChildren()) delete c;
    }
    if (!start) return;
    for (const PlanItem& p : RebuildPlan(start, root, tree->Kind(), m_accountDisplay != 0, words_)) {
        if (QTreeWidgetItem* existing = tree->ItemOfNode(p.node)) {
            tree->RefreshItem(existing);
            continue;
        }
        QTreeWidgetItem* parentItem = p.parent ? tree->ItemOfNode(p.parent) : nullptr;
        if (p.parent && !parentItem) continue;
        auto* item = new BookItem(p.node, tree->Kind());
        item->setText(0, p.label);
        tree->ApplyImage(item, p.image);
        // Every item shows its button before it has children.
        item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        tree->ApplyTip(item);
        if (parentItem) parentItem->addChild(item);
        else tree->addTopLevelItem(item);
    }
    tree->sortItems(0, Qt::AscendingOrder);
    // Expanded state and labels on the way up, then the selection.
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        AddrNode* n = tree->NodeOf(*it);
        if (n && (n->flags & FLAG_EXPANDED) && !(*it)->isExpanded() && (whole || InSubtree(start, n) || InSubtree(n, start)))
            (*it)->setExpanded(true);
    }
    for (AddrNode* p = start->parent; p; p = p->parent)
        if (QTreeWidgetItem* item = tree->ItemOfNode(p)) tree->RefreshOnPath(item, start);
    if (!whole)
        if (QTreeWidgetItem* item = tree->ItemOfNode(start); item && start->kind != ADDR_KIND_IDENTITY) tree->setCurrentItem(item);
}

void CAddressBookDlg::RebuildBuddyTree(const char* id, const char* parentId) { Rebuild(buddyTree_, 0, id, parentId); }
void CAddressBookDlg::RebuildContactTree(const char* id) { Rebuild(cardTree_, 2, id, nullptr); }
void CAddressBookDlg::RebuildGroupTree(const char* id) { Rebuild(groupTree_, 1, id, nullptr); }

void CAddressBookDlg::OnPresenceChanged(AddrNode* identity) {
    if (!identity || !identity->id) return;
    // From the messaging identity itself: its contact's other identities may carry the same id.
    RebuildFrom(buddyTree_, g_addrBookRoots[0], identity);
}

void CAddressBookDlg::ForgetNode(AddrNode* node) {
    m_suppressActivate = 1;
    buddyTree_->ForgetSubtree(node);
    cardTree_->ForgetSubtree(node);
    groupTree_->ForgetSubtree(node);
    m_suppressActivate = 0;
}

bool CAddressBookDlg::OnSetActive() {
    if (m_suppressActivate) return false;
    AddrNode* n = GetSelectedItemData();
    bool dial = false, hangup = false;
    if (host_->BusyCallPage()) hangup = true;
    else if (!n || n->kind == ADDR_KIND_GROUP) dial = false;
    else if (n->kind == ADDR_KIND_IDENTITY && n->type == 9) dial = false;
    else dial = true;
    dialOn_ = dial;
    host_->SetDialButtons(dial, hangup);
    return true;
}

void CAddressBookDlg::showEvent(QShowEvent* e) {
    // The sheet shows the page when it becomes the current one.
    CNqPropertyPage::showEvent(e);
    OnSetActive();
}

// ----- pane switching: the three headers stack My contacts, My cards, Groups.

int CAddressBookDlg::HeaderRest(int button, int pane) const {
    // Buttons up to the open pane rest at the top, the others at the bottom of the pane area.
    const int bottom = height() - 56;
    if (button <= pane) return button * kHeaderHeight;
    return bottom - (2 - button + 1) * kHeaderHeight;
}

void CAddressBookDlg::ShowPane(int pane) {
    if (static_cast<int>(m_pane) == pane) return;
    CBookTree* trees[3] = {buddyTree_, cardTree_, groupTree_};
    m_pane = static_cast<uint32_t>(pane);
    PlaceTrees();
    trees[pane]->show();
    slide_.start();
    OnSetActive();
}

void CAddressBookDlg::SlideStep() {
    CStyledButton* buttons[3] = {contactHeader_, cardHeader_, groupHeader_};
    bool moving = false;
    for (int b = 1; b < 3; ++b) {
        const int target = HeaderRest(b, static_cast<int>(m_pane));
        const int y = buttons[b]->y();
        if (y == target) continue;
        const int step = std::abs(target - y) < kSlideStep ? target - y : (target > y ? kSlideStep : -kSlideStep);
        buttons[b]->move(buttons[b]->x(), y + step);
        moving |= y + step != target;
    }
    if (!moving) {
        slide_.stop();
        CBookTree* trees[3] = {buddyTree_, cardTree_, groupTree_};
        for (int i = 0; i < 3; ++i) trees[i]->setVisible(i == static_cast<int>(m_pane));
    }
    PlaceTrees();
}

void CAddressBookDlg::PlaceTrees() {
    // Each tree spans from its header to the next header below it.
    CStyledButton* buttons[3] = {contactHeader_, cardHeader_, groupHeader_};
    CBookTree* trees[3] = {buddyTree_, cardTree_, groupTree_};
    for (int i = 0; i < 3; ++i) {
        const int top = buttons[i]->y() + kHeaderHeight;
        const int bottom = i < 2 ? buttons[i + 1]->y() : height() - 56;
        trees[i]->setGeometry(0, top, width(), std::max(0, bottom - top));
    }
}

void CAddressBookDlg::FinishSlide() {
    while (slide_.isActive()) SlideStep();
}

void CAddressBookDlg::LayoutPanes() {
    CStyledButton* buttons[3] = {contactHeader_, cardHeader_, groupHeader_};
    for (int b = 0; b < 3; ++b) buttons[b]->setGeometry(0, HeaderRest(b, static_cast<int>(m_pane)), width(), kHeaderHeight);
    SlideStep();
    const int row = height() - 52;
    addButton_->setGeometry(6, row, 116, 26);
    link_->setGeometry(130, row + 4, std::max(40, width() - 136 - 48), 20);
    picture_->setGeometry(width() - 44, row - 4, 40, 40);
}

void CAddressBookDlg::resizeEvent(QResizeEvent* e) {
    CNqPropertyPage::resizeEvent(e);
    LayoutPanes();
}

void CAddressBookDlg::paintEvent(QPaintEvent* e) {
    CNqPropertyPage::paintEvent(e);
    if (commend_.isNull()) return;
    QPainter p(this);
    p.drawPixmap(picture_->geometry().topLeft(), ctl::KeyedPixmap(commend_, RGB(255, 0, 255)));
}

bool CAddressBookDlg::eventFilter(QObject* watched, QEvent* e) {
    return CNqPropertyPage::eventFilter(watched, e);
}

// ----- commands.

void CAddressBookDlg::AddByKind() {
    AddrNode* n = m_pane <= 1 ? GetSelectedItemData() : nullptr;
    if (!n) {
        host_->Box(BookText("sel_type", "Please select a node type to add."), BookText("title_error", ""));
        return;
    }
    if (n->kind == ADDR_KIND_GROUP) host_->FrameCommand(CMD_NEW_GROUP, n);
    else if (n->kind == ADDR_KIND_LIST) host_->FrameCommand(CMD_NEW_USER, n);
    else if (n->kind == ADDR_KIND_CONTACT) host_->FrameCommand(CMD_ADD_CONTACT, n);
}

void CAddressBookDlg::DeleteSelectedItem() {
    AddrNode* n = m_pane <= 1 ? GetSelectedItemData() : nullptr;
    if (!n) {
        host_->Box(BookText("not_sel", "You do not select an object."), BookText("title_error", ""));
        return;
    }
    if (n->kind == ADDR_KIND_GROUP) host_->FrameCommand(CMD_DELETE_GROUP, n);
    else if (n->kind == ADDR_KIND_CONTACT || n->kind == ADDR_KIND_LIST) host_->FrameCommand(CMD_DELETE_USER, n);
}

void CAddressBookDlg::EditSelectedCard() {
    AddrNode* n = cardTree_->SelectedNode();
    if (!n) {
        host_->Box(BookText("sel_type", "Please select a node type to add."), BookText("title_error", ""));
        return;
    }
    if (n->kind != ADDR_KIND_LIST) return;
    CAddUserDlg dialog(true, this, host_);
    CardFields f;
    f.name = FromAnsi(NodeName(n));
    auto address = [&](uint32_t type) { return FromAnsi(AddrBook_GetIdentityAddress(n, type)); };
    f.email = address(4);
    f.mobile = address(3);
    f.office = address(2);
    f.home = address(5);
    f.voip = address(8);
    f.serviceId = address(9);
    dialog.SetCard(f);
    const std::string id = n->id;
    if (host_->Exec(&dialog) != QDialog::Accepted) return;
    host_->PostRequest(AS_UDL, CardListFromFields(id.c_str(), dialog.Card()), AS_DATA_LIST);
}

void CAddressBookDlg::SendSmsToSelection() {
    AddrNode* n = m_pane <= 1 ? GetSelectedItemData() : nullptr;
    int op = 0;
    std::string id;
    if (SmsTarget(n, &op, &id)) host_->OpenSms(op, id);
}

void CAddressBookDlg::StartConferenceWithSelection() { host_->FrameCommand(CMD_START_CONFERENCE, GetSelectedItemData()); }
void CAddressBookDlg::InviteSelectionToConference() { host_->FrameCommand(CMD_INVITE_TO_CONFERENCE, GetSelectedItemData()); }

void CAddressBookDlg::AddSelectionToConference() {
    AddrNode* n = buddyTree_->SelectedNode();
    if (!n) {
        host_->Box(BookText("sel_type", "Please select a node type to add."), BookText("title_error", ""));
        return;
    }
    if (n->kind == ADDR_KIND_CONTACT) host_->FrameCommand(CMD_ADD_TO_CONFERENCE, n);
}

void CAddressBookDlg::RefreshSelectedGroup() {
    AddrNode* g = groupTree_->SelectedNode();
    if (!g || g->kind != ADDR_KIND_GROUP) return;
    // The items go before the nodes they show.
    std::vector<AddrNode*> children;
    for (AddrNode* c = g->child; c; c = c->next) children.push_back(c);
    if (QTreeWidgetItem* item = groupTree_->ItemOfNode(g)) {
        m_suppressActivate = 1;
        for (QTreeWidgetItem* c : item->takeChildren()) delete c;
        m_suppressActivate = 0;
    }
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        for (AddrNode* c : children) AddrBook_DeleteSubtree(c);
        auto* counted = static_cast<AddrCounted*>(g);
        g->flags &= ~FLAG_EXPANDED;
        counted->contactCount = counted->onlineCount = counted->serviceCount = 0;
        static_cast<AddrGroup*>(g)->memberCount = 0;
    }
    RebuildGroupTree(g->id);
    RequestGroupOperation(0);
}

void CAddressBookDlg::AddSelectedMemberAsBuddy() {
    AddrNode* n = groupTree_->SelectedNode();
    if (n && n->kind == ADDR_KIND_CONTACT) host_->SendCommand(AS_ADD, "", "", 0, n->id, nullptr, 0);
}

void CAddressBookDlg::QuitSelectedGroup() { RequestGroupOperation(2); }

void CAddressBookDlg::RequestGroupOperation(int mode) {
    AddrNode* n = groupTree_->SelectedNode();
    AddrNode* group = ChatGroupOf(n);
    if (!n || !group || (mode != 0 && mode != 2)) return;
    GroupRecord* r = GroupRecord_New();
    if (!r) return;
    auto put = [](char* field, const std::string& text) { snprintf(field, GROUP_RECORD_TEXT_SIZE, "%s", text.c_str()); };
    put(r->texts[0], g_strUserId);
    // The password travels in the record as the request asks, though SYQ and QTQ do not send it.
    put(r->texts[1], shell::g_strPassword);
    put(r->texts[2], group->id);
    put(r->texts[3], n->id);
    if (!host_->PostRequest(mode == 0 ? AS_SYQ : AS_QTQ, r, AS_DATA_GROUP)) GroupRecord_Free(r);
}

int CAddressBookDlg::GetSelectedGroupClass() const { return GroupClass(groupTree_->SelectedNode()); }

void CAddressBookDlg::SendTextToSelectedGroup(const QString& text) {
    AddrNode* n = groupTree_->SelectedNode();
    if (!n) return;
    // Every contact below the selection but the user himself, in the tree's order, gets its own message.
    std::vector<AddrNode*> identities;
    std::function<void(AddrNode*)> visit = [&](AddrNode* x) {
        if (x->kind == ADDR_KIND_GROUP) {
            for (AddrNode* c = x->child; c; c = c->next) visit(c);
        } else if (x->kind == ADDR_KIND_CONTACT && x->id && strcasecmp(x->id, g_strUserId.c_str())) {
            if (AddrNode* qz = AddrBook_FindType9Identity(x)) identities.push_back(qz);
        }
    };
    visit(n);
    host_->SendGroupText(text, identities);
}

void CAddressBookDlg::Dial(uint32_t type, AddrNode* node) {
    if (host_->PresenceStatus() == 1) return;
    const DialChoice d = ChooseDial(node, type);
    if (d.action == DIAL_NONE) return;
    const QString address = FromAnsi(d.address.c_str());
    if (host_->IsCallingSelf(address)) return;
    if (host_->ShowCallPage(address)) return;
    switch (d.action) {
        case DIAL_CALL: host_->CallContact(d.contact, d.type, address); break;
        case DIAL_MAIL:
            if (IsOpenableAddress(address, true)) host_->OpenUrl("mailto:" + address);
            break;
        case DIAL_CHAT: host_->OpenChat(0, {d.identity}); break;
        case DIAL_WEB:
            if (IsOpenableAddress(address, false)) host_->OpenUrl(address);
            break;
        default: break;
    }
}

void CAddressBookDlg::DialGroupMember(uint32_t type, AddrNode* node) {
    if (host_->PresenceStatus() == 1) return;
    const DialChoice d = ChooseDial(node, type);
    // Calls, mail and chats only; the type goes on as it was asked (0 stays 0).
    const uint32_t kind = d.identity ? d.identity->type : 0;
    if (d.action == DIAL_NONE || (kind != 2 && kind != 3 && kind != 8 && kind != 4 && kind != 9)) return;
    const QString address = FromAnsi(d.address.c_str());
    if (host_->IsCallingSelf(address)) return;
    if (host_->ShowCallPage(address)) return;
    switch (d.action) {
        case DIAL_CALL: host_->CallContact(d.contact, type, address); break;
        case DIAL_MAIL:
            if (IsOpenableAddress(address, true)) host_->OpenUrl("mailto:" + address);
            break;
        case DIAL_CHAT: host_->OpenChat(0, {d.identity}); break;
        default: break;
    }
}

void CAddressBookDlg::Chat(AddrNode* node) {
    if (!node) return;
    std::vector<AddrNode*> identities;
    if (node->kind == ADDR_KIND_IDENTITY && node->type == 9) {
        identities.push_back(node);
    } else if (node->kind == ADDR_KIND_CONTACT) {
        if (AddrNode* qz = AddrBook_FindType9Identity(node)) identities.push_back(qz);
    } else if (node->kind == ADDR_KIND_GROUP) {
        // A group chat needs the messaging account signed in. The members are its identities in the
        // group with a user id, each found again by that id under My contacts; the chat's kind follows
        // the number of those that give a messaging record.
        Account* qz = Account_FindByType(ACCOUNT_TYPE_SERVICE);
        if (!qz || !Account_IsOnline(qz)) return;
        for (const IdentityRecord& r : AddrBook_CollectIdentityRecords(node, qz)) {
            AddrNode* member = AddrBook_FindIdentityByUid(g_addrBookRoots[0], static_cast<int>(r.uid));
            PresenceBuddyRecord record;
            if (member && presence_buddy_to_ui_record(&record, member)) identities.push_back(member);
        }
        if (identities.empty()) return;
        host_->OpenChat(identities.size() == 1 ? 0 : 4, identities);
        return;
    }
    if (identities.empty()) return;
    host_->OpenChat(0, identities);
}

void CAddressBookDlg::ToggleBlock() {
    AddrNode* n = buddyTree_->SelectedNode();
    if (!n || n->kind != ADDR_KIND_CONTACT || !n->id) return;
    const bool blocked = (n->flags & ADDR_FLAG_BLOCKED) != 0;
    const int command = blocked ? AS_UBLK : AS_BLK;
    if (host_->SendCommand(command, n->id, nullptr, 0, nullptr, nullptr, 0))
        host_->BroadcastToChats(WM_BLOCK_BROADCAST, blocked ? 14 : 13, n->id);
}

void CAddressBookDlg::ShowDetails() {
    AddrNode* n = buddyTree_->SelectedNode();
    if (!n || n->kind != ADDR_KIND_CONTACT) return;
    CContactDetailDlg dialog(this, host_);
    ContactDetails d;
    d.displayName = FromAnsi(ContactNick(n));
    d.nickname = FromAnsi(NodeName(n));
    d.account = FromAnsi(n->id);
    auto address = [&](uint32_t type) { return FromAnsi(AddrBook_GetIdentityAddress(n, type)); };
    d.mobile = address(3);
    d.office = address(2);
    d.home = address(5);
    d.email = address(4);
    d.website = address(6);
    d.introduction = address(7);
    dialog.SetDetails(d);
    const std::string id = n->id;
    const QString before = d.displayName;
    if (host_->Exec(&dialog) != QDialog::Accepted) return;
    const QString after = dialog.Details().displayName;
    if (after.compare(before, Qt::CaseInsensitive) != 0) host_->SendCommand(AS_REB, id.c_str(), "", 0, ToAnsi(after).c_str(), nullptr, 0);
}

bool CAddressBookDlg::Rename(AddrNode* node, const QString& text, const QStringList& siblingLabels) {
    if (!node || !IsValidRename(text)) return false;
    const std::string name = ToAnsi(node->kind == ADDR_KIND_IDENTITY ? text : RenameWithCounter(siblingLabels, text));
    switch (node->kind) {
        case ADDR_KIND_GROUP: host_->SendCommand(AS_RNG, node->id, "", 0, name.c_str(), nullptr, 0); return true;
        case ADDR_KIND_CONTACT: host_->SendCommand(AS_REB, node->id, "", 0, name.c_str(), nullptr, 0); return true;
        case ADDR_KIND_LIST:
        case ADDR_KIND_IDENTITY:
            if (CAsList* list = CardListFromNode(node, FromAnsi(name.c_str()))) {
                host_->PostRequest(AS_UDL, list, AS_DATA_LIST);
                return true;
            }
            return false;
        default: return false;
    }
}

LRESULT CAddressBookDlg::Dispatch(unsigned message, uintptr_t, intptr_t lParam) {
    switch (message) {
        case WM_CALL_DIAL: Dial(static_cast<uint32_t>(lParam), GetSelectedItemData()); return 1;
        case WM_ADDRBOOK_CALL: DialGroupMember(static_cast<uint32_t>(lParam), groupTree_->SelectedNode()); return 1;
        case WM_ADDRBOOK_CHAT: Chat(buddyTree_->SelectedNode()); return 1;
        case WM_ADDRBOOK_IM: {
            AddrNode* n = groupTree_->SelectedNode();
            if (n && n->kind != ADDR_KIND_GROUP) Chat(n);
            return 1;
        }
        case WM_ADDRBOOK_TOGGLE_BLOCK: ToggleBlock(); return 1;
        case WM_ADDRBOOK_DETAILS: ShowDetails(); return 1;
        case WM_ADDRBOOK_SHARE_LINK: {
            const QString url = QString::fromStdString(g_serviceSettings.share);
            if (IsOpenableSettingsAddress(url)) host_->OpenUrl(url);
            else if (!url.isEmpty()) DebugTrace(MOD_SYSTEM, 1, "address not opened (not a web or mail address): %.200s", url.toUtf8().constData());
            return 1;
        }
        default: return 0;
    }
}

void CAddressBookDlg::OnLogoffClose() {
    m_suppressActivate = 1;
    buddyTree_->clear();
    cardTree_->clear();
    groupTree_->clear();
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    if (!g_strUserId.empty() && !LocalConfPath().empty())
        AddrBook_Walk(g_addrBookRoots[0], LocalConf_SaveGroupFlags, nullptr, nullptr);
    for (AddrNode* root : g_addrBookRoots) AddrBook_DeleteSubtree(root);
    CreateDefaultGroups();
}

// The frame closes the page at log-off.
void CAddressBookDlg::closeEvent(QCloseEvent* e) {
    OnLogoffClose();
    CNqPropertyPage::closeEvent(e);
}

bool CAddressBookDlg::event(QEvent* e) {
    if (e->type() == BookEvent::Type()) {
        auto* m = static_cast<BookEvent*>(e);
        Dispatch(m->message, m->wParam, m->lParam);
        return true;
    }
    if (e->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(e);
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Escape) return true;  // never closes the page
    }
    return CNqPropertyPage::event(e);
}

}  // namespace contacts
