// The address-book page and its three trees.
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
#include "service/settings_xml.h"
#include "ui/contacts/addrbook_replies.h"
#include "ui/contacts/book_dialogs.h"
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

// A message for the page, queued like a posted window message.
class BookEvent : public QEvent {
public:
    static QEvent::Type Type() {
        static const int type = QEvent::registerEventType();
        return static_cast<QEvent::Type>(type);
    }
    BookEvent(unsigned m, uintptr_t w, intptr_t l) : QEvent(Type()), message(m), wParam(w), lParam(l) {}
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
};

void PostToPage(QWidget* page, unsigned message, uintptr_t wParam = 0, intptr_t lParam = 0) {
    QCoreApplication::postEvent(page, new BookEvent(message, wParam, lParam));
}

QString Lang(const char* section, const char* key, const char* builtIn) { return shell::LangText(section, key, builtIn); }
QString BookText(const char* key, const char* builtIn) { return Lang("addrbook_dialog", key, builtIn); }

// Menu texts are read into buffers of a fixed size per tree.
QString MenuText(int max, const char* key, const char* builtIn) { return BookText(key, builtIn).left(max); }

QString SkinPath(const char* file) { return QString::fromStdString(ctl::SkinFilePath(file)); }

bool InSubtree(const AddrNode* node, const AddrNode* top) {
    for (const AddrNode* p = node; p; p = p->parent)
        if (p == top) return true;
    return false;
}

bool SameId(const AddrNode* n, const char* id) { return n && n->id && id && !strcasecmp(n->id, id); }

const char* kImageFiles[IMG_COUNT] = {"addr_opened.bmp", "addr_closed.bmp", "addr_useronline.bmp", "addr_useroffline.bmp",
                                      "addr_qzonline.bmp", "addr_qzoffline.bmp", "addr_phone.bmp", "addr_mobile.bmp",
                                      "addr_email.bmp", "addr_officephone.bmp", "addr_voip.bmp", "addr_bussinesscard.bmp",
                                      "addr_blockonline.bmp", "addr_blockoffline.bmp", "addr_group.bmp", "addr_myweb.bmp",
                                      "addr_userbusy.bmp"};
constexpr COLORREF kImageKey = RGB(0xEC, 0xE9, 0xD8);
// The program's own picture of each image, shown where the skin lacks its file (0: none).
const int kImageResources[IMG_COUNT] = {221, 222, 223, 224, 198, 199, 225, 226, 227, 228, 193, 193, 193, 193, 193, 193, 0};
constexpr COLORREF kResourceKey = RGB(0xFF, 0, 0);
constexpr int kHeaderHeight = 30;
constexpr int kSlideStep = 30;
// The service's home page when the settings give no portal address (usrcfg.ini [common] home_page).
std::string DefaultPortal() { return shell::ConfigString("common", "home_page", "https://www.tessaly.example/"); }

// Label rectangle of an item within its row: from the text's start, as wide as the text with its margins.
QRect LabelRectIn(const QStyleOptionViewItem& opt, const QWidget* tree) {
    const QStyle* style = tree->style();
    const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, tree);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1;
    const int width = QFontMetrics(tree->font()).horizontalAdvance(opt.text) + 2 * margin;
    return QRect(text.left(), text.top(), std::min(width, text.width()), text.height());
}

// The trees' item drawing, which also knows where an item's label lies.
class LabelDelegate : public QStyledItemDelegate {
public:
    explicit LabelDelegate(QWidget* tree) : QStyledItemDelegate(tree), view_(tree) {}
    QRect Label(const QStyleOptionViewItem& option, const QModelIndex& index) const {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        return LabelRectIn(opt, view_);
    }

private:
    QWidget* view_;
};

}  // namespace

CAddressBookDlg* BookPage() { return g_page; }

// ---------------------------------------------------------------------------------------------
// Items and the shared tree.

bool BookItem::operator<(const QTreeWidgetItem& other) const {
    const auto* o = dynamic_cast<const BookItem*>(&other);
    if (!o) return QTreeWidgetItem::operator<(other);
    return CompareNodes(node_, o->node_, tree_, shell::Paths().sortType) < 0;
}

CBookTree::CBookTree(int tree, CAddressBookDlg* page) : QTreeWidget(page), page_(page), tree_(tree) {
    setItemDelegate(new LabelDelegate(this));
    setHeaderHidden(true);
    setColumnCount(1);
    setIconSize(QSize(16, 16));
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFrameShape(QFrame::NoFrame);
    setIndentation(16);
    setUniformRowHeights(true);
    // During a drag a group under the cursor opens after 800 ms and the edges scroll.
    setAutoExpandDelay(800);
    setAutoScroll(true);
    setAutoScrollMargin(10);
    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        if (AddrNode* n = NodeOf(item)) n->flags |= FLAG_EXPANDED;
        RefreshItem(item);
    });
    connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
        if (AddrNode* n = NodeOf(item)) n->flags &= ~FLAG_EXPANDED;
        RefreshItem(item);
    });
    connect(this, &QTreeWidget::currentItemChanged, this, [this] {
        if (!bookkeeping_) page_->OnSetActive();
    });
    // The label editor's end: the text goes to the server; the item keeps its label until the reply.
    connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item) {
        if (bookkeeping_ || item != renaming_) return;
        renaming_ = nullptr;
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        AddrNode* n = NodeOf(item);
        const QString text = item->text(0).trimmed();
        RefreshItem(item);
        if (n && !text.isEmpty()) page_->Rename(n, text);
    });
}

AddrNode* CBookTree::NodeOf(QTreeWidgetItem* item) const {
    auto* b = dynamic_cast<BookItem*>(item);
    return b ? b->Node() : nullptr;
}

AddrNode* CBookTree::SelectedNode() const { return NodeOf(currentItem()); }

QTreeWidgetItem* CBookTree::ItemOfNode(const AddrNode* node) const {
    if (!node) return nullptr;
    for (QTreeWidgetItemIterator it(const_cast<CBookTree*>(this)); *it; ++it)
        if (NodeOf(*it) == node) return *it;
    return nullptr;
}

QTreeWidgetItem* CBookTree::FindItemById(const char* id) const {
    for (QTreeWidgetItemIterator it(const_cast<CBookTree*>(this)); *it; ++it)
        if (SameId(NodeOf(*it), id)) return *it;
    return nullptr;
}

void CBookTree::ForgetSubtree(const AddrNode* node) {
    bookkeeping_ = true;
    // Only the topmost items of the subtree are deleted; their children go with them.
    std::vector<QTreeWidgetItem*> tops;
    for (QTreeWidgetItemIterator it(this); *it; ++it)
        if (InSubtree(NodeOf(*it), node) && !((*it)->parent() && InSubtree(NodeOf((*it)->parent()), node))) tops.push_back(*it);
    for (QTreeWidgetItem* item : tops) delete item;
    bookkeeping_ = false;
}

void CBookTree::ApplyImage(QTreeWidgetItem* item, int image) {
    if (images_ && image >= 0 && image < static_cast<int>(images_->size())) item->setIcon(0, QIcon((*images_)[image]));
    else item->setIcon(0, QIcon());
    item->setData(0, Qt::UserRole, image);
}

void CBookTree::RefreshItem(QTreeWidgetItem* item) {
    AddrNode* n = NodeOf(item);
    if (!n) return;
    const bool was = bookkeeping_;
    bookkeeping_ = true;
    item->setText(0, ItemLabel(n, tree_, page_->Words()));
    ApplyImage(item, ItemImage(n, tree_));
    bookkeeping_ = was;
}

void CBookTree::ExpandItem(QTreeWidgetItem* item, bool expand) {
    if (!item) return;
    item->setExpanded(expand);
    if (AddrNode* n = NodeOf(item)) n->flags = expand ? (n->flags | FLAG_EXPANDED) : (n->flags & ~FLAG_EXPANDED);
    RefreshItem(item);
}

void CBookTree::ToggleItem(QTreeWidgetItem* item) {
    if (item) ExpandItem(item, !item->isExpanded());
}

QStringList CBookTree::AllLabels() const {
    QStringList out;
    for (QTreeWidgetItemIterator it(const_cast<CBookTree*>(this)); *it; ++it) {
        int depth = 0;
        for (QTreeWidgetItem* p = (*it)->parent(); p; p = p->parent()) ++depth;
        out << QString(depth * 2, ' ') + (*it)->text(0);
    }
    return out;
}

void CBookTree::contextMenuEvent(QContextMenuEvent* e) {
    QTreeWidgetItem* hit = itemAt(e->pos());
    setCurrentItem(hit);
    TrelMenu menu(this);
    BuildMenu(&menu, HitsItem(hit, e->pos()) ? NodeOf(hit) : nullptr);
    if (menu.actions().isEmpty()) return;
    if (QAction* chosen = menu.exec(e->globalPos()))
        if (chosen->data().isValid()) OnMenuCommand(chosen->data().toInt());
}

void CBookTree::mouseDoubleClickEvent(QMouseEvent* e) {
    QTreeWidgetItem* hit = itemAt(e->pos());
    if (!hit) return;
    setCurrentItem(hit);
    if (HitsItem(hit, e->pos())) OnDoubleClick(NodeOf(hit));
}

void CBookTree::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
    QTreeWidget::closeEditor(editor, hint);
    // An editor closed without a change leaves the label as it was shown.
    if (QTreeWidgetItem* item = renaming_) {
        renaming_ = nullptr;
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        RefreshItem(item);
    }
}

void CBookTree::mousePressEvent(QMouseEvent* e) {
    // A click on an item's icon opens or closes it.
    QTreeWidgetItem* item = itemAt(e->pos());
    if (item && e->button() == Qt::LeftButton && e->pos().x() >= visualItemRect(item).left() &&
        e->pos().x() < visualItemRect(item).left() + 18) {
        setCurrentItem(item);
        ToggleItem(item);
        return;
    }
    if (PressBesideLabel(item, e)) return;
    QTreeWidget::mousePressEvent(e);
}

bool CBookTree::PressBesideLabel(QTreeWidgetItem* item, QMouseEvent* e) {
    // Only the icon and the label take a click: the row right of the label selects nothing.
    if (!item || e->button() != Qt::LeftButton || e->pos().x() <= LabelRect(item).right()) return false;
    e->accept();
    return true;
}

void CBookTree::OnDoubleClick(AddrNode* node) {
    if (node) page_->Host()->PressDialButton();
}

void CBookTree::AddDialEntries(TrelMenu* menu, AddrNode* node, bool greyAll) {
    const QString title = BookText("menucontactdial", "拨打电话(&P)").left(tree_ == TREE_CARD ? 31 : 255);
    const std::vector<DialEntry> entries = DialEntries(node);
    if (entries.size() == 1 && entries[0].greyed) {
        menu->AppendMenu(MF_GRAYED, entries[0].command, title, SkinPath(entries[0].bitmap));
        return;
    }
    TrelMenu* sub = menu->AppendPopup(title);
    for (const DialEntry& d : entries) sub->AppendMenu(greyAll ? MF_GRAYED : 0, d.command, d.number, SkinPath(d.bitmap));
}

// ---------------------------------------------------------------------------------------------
// My contacts.

void CBuddyTreeCtrl::BuildMenu(TrelMenu* menu, AddrNode* node) {
    if (!node) {
        menu->AppendMenu(0, 32905, MenuText(255, "menugroupadd", "创建新组(&A)"));
        menu->AppendMenu(0, 32906, MenuText(255, "menucontactadd", "添加新的联系人(&D))"));
        return;
    }
    switch (node->kind) {
        case ADDR_KIND_GROUP:
            menu->AppendMenu(AddrBook_HasIdentityType(node, 9) ? 0 : MF_GRAYED, 32828, MenuText(255, "menugroupim", "group im"));
            menu->AppendMenu(MF_SEPARATOR, 0, {});
            menu->AppendMenu(0, 32802, MenuText(255, "menucontactmod", "重命名(&T)..."));
            menu->AppendMenu(0, 32801, MenuText(255, "menugroupdel", "删除组(&D)"));
            menu->AppendMenu(MF_SEPARATOR, 0, {});
            menu->AppendMenu(0, 32800, MenuText(255, "menugroupadd", "创建新组(&A)"));
            break;
        case ADDR_KIND_CONTACT: {
            // A call still ringing out is no call to add someone to.
            const bool talking = page_->Host()->TalkingCallPage();
            menu->AppendMenu(AddrBook_HasIdentityType(node, 8) && !talking ? 0 : MF_GRAYED, 32803, MenuText(255, "menucall", "呼叫(&C)"),
                             SkinPath("menudial.bmp"));
            menu->AppendMenu(AddrBook_HasIdentityType(node, 9) ? 0 : MF_GRAYED, 32828, MenuText(255, "menuim", "Send IM"));
            menu->AppendMenu(MF_SEPARATOR, 0, {});
            menu->AppendMenu(talking ? 0 : MF_GRAYED, 32838, MenuText(255, "menuinvitetoconf", "呼叫(&C)"));
            menu->AppendMenu(MF_SEPARATOR, 0, {});
            AddDialEntries(menu, node, false);  // the dial button is asked when one is chosen
            menu->AppendMenu(AddrBook_HasIdentityType(node, 4) ? 0 : MF_GRAYED, 32879, MenuText(255, "menuemail", "Send E-Mail"),
                             SkinPath("addr_email.bmp"));
            menu->AppendMenu(AddrBook_HasIdentityType(node, 6) ? 0 : MF_GRAYED, 32908, MenuText(255, "menucontactlink", "访问主页"));
            menu->AppendMenu(MF_SEPARATOR, 0, {});
            menu->AppendMenu(0, 32802, MenuText(255, "menucontactmod", "重命名(&T)..."));
            menu->AppendMenu(0, 32801, MenuText(255, "menucontactdel", "删除此联系人(&E)"));
            menu->AppendMenu(0, 32884, (node->flags & ADDR_FLAG_BLOCKED) ? MenuText(255, "menucontactunblock", "解除阻止此用户(&B)")
                                                                        : MenuText(255, "menucontactblock", "阻止此用户(&B)"));
            menu->AppendMenu(0, 32878, MenuText(255, "menucontactdetail", "查看详情(&V)"));
            menu->AppendMenu(MF_SEPARATOR, 0, {});
            menu->AppendMenu(0, 32905, MenuText(255, "menugroupadd", "创建新组(&A)"));
            menu->AppendMenu(0, 32800, MenuText(255, "menucontactadd", "添加新的联系人(&D))"));
            break;
        }
        case ADDR_KIND_IDENTITY:
            switch (node->type) {
                case 9: menu->AppendMenu(0, 32828, MenuText(255, "menuim", "Send IM")); break;
                case 4: menu->AppendMenu(0, 32803, MenuText(255, "menuemail", "Send E-Mail"), SkinPath("addr_email.bmp")); break;
                case 6: menu->AppendMenu(0, 32908, MenuText(255, "menucontactlink", "访问主页")); break;
                case 2: menu->AppendMenu(0, 32880, MenuText(255, "menucontactdial", "拨打电话(&P)"), SkinPath("addr_phone.bmp")); break;
                case 3: menu->AppendMenu(0, 32881, MenuText(255, "menucontactdial", "拨打电话(&P)"), SkinPath("addr_phone.bmp")); break;
                case 5: menu->AppendMenu(0, 32882, MenuText(255, "menucontactdial", "拨打电话(&P)"), SkinPath("addr_phone.bmp")); break;
                default: break;
            }
            break;
        case ADDR_KIND_LIST:
            AddDialEntries(menu, node, false);
            menu->AppendMenu(AddrBook_HasIdentityType(node, 4) ? 0 : MF_GRAYED, 32879, MenuText(255, "menuemail", "Send E-Mail"));
            menu->AppendMenu(MF_SEPARATOR, 0, {});
            menu->AppendMenu(0, 32883, MenuText(255, "menucardmod", "修改名片(&M)"));
            menu->AppendMenu(0, 32801, MenuText(255, "menucarddel", "删除名片(&D)"));
            menu->AppendMenu(MF_SEPARATOR, 0, {});
            menu->AppendMenu(0, 32800, MenuText(255, "menucardadd", "创建新名片(&A)"));
            break;
        default: break;
    }
}

void CBuddyTreeCtrl::OnMenuCommand(int command) {
    BookHost* host = page_->Host();
    auto dial = [&](intptr_t type) {
        if (host->DialEnabled()) PostToPage(page_, WM_CALL_DIAL, 0, type);
    };
    switch (command) {
        case 32800: page_->AddByKind(); break;
        case 32801: page_->DeleteSelectedItem(); break;
        case 32802:
            if (QTreeWidgetItem* item = currentItem()) {
                AddrNode* n = NodeOf(item);
                if (n && n->kind == ADDR_KIND_IDENTITY && !(n->flags & FLAG_EDITABLE)) break;
                bookkeeping_ = true;
                if (n && n->kind == ADDR_KIND_CONTACT) item->setText(0, FromAnsi(ContactNick(n)));
                else if (n) item->setText(0, FromAnsi(NodeName(n)));
                item->setFlags(item->flags() | Qt::ItemIsEditable);
                bookkeeping_ = false;
                renaming_ = item;
                editItem(item);
            }
            break;
        case 32803: dial(0); break;
        case 32828: PostToPage(page_, WM_ADDRBOOK_CHAT); break;
        case 32837: page_->StartConferenceWithSelection(); break;
        case 32838: page_->AddSelectionToConference(); break;
        case 32839: page_->InviteSelectionToConference(); break;
        case 32877: page_->SendSmsToSelection(); break;
        case 32878: PostToPage(page_, WM_ADDRBOOK_DETAILS); break;
        case 32879: dial(4); break;
        case 32880: dial(2); break;
        case 32881: dial(3); break;
        case 32882: dial(5); break;
        case 32883: page_->EditSelectedCard(); break;
        case 32884: PostToPage(page_, WM_ADDRBOOK_TOGGLE_BLOCK); break;
        case 32905: host->FrameCommand(CMD_NEW_GROUP, SelectedNode()); break;
        case 32906: host->FrameCommand(CMD_ADD_CONTACT, SelectedNode()); break;
        case 32908: dial(6); break;
        default: break;
    }
}

void CGroupTreeCtrl::OnDoubleClick(AddrNode* node) {
    if (node && node->kind == ADDR_KIND_IDENTITY && node->type == 9) PostToPage(page_, WM_ADDRBOOK_IM);
    else if (node) page_->Host()->PressDialButton();
}

void CBuddyTreeCtrl::OnDoubleClick(AddrNode* node) {
    if (node && node->kind == ADDR_KIND_IDENTITY && node->type == 9) PostToPage(page_, WM_ADDRBOOK_CHAT);
    else if (node) page_->Host()->PressDialButton();
}

DropDecision CBuddyTreeCtrl::Drop(AddrNode* source, AddrNode* hit, bool leftEdge) {
    AddrNode* root = g_addrBookRoots[0];
    AddrNode* target = leftEdge ? nullptr : DropTargetFor(hit, root);
    const DropDecision d = DecideDrop(source, target, root);
    const QString title = Lang("profile_status", "fail_title", "");
    // A drop that may land opens its group, also when the server would refuse a duplicate.
    if (d.kind != DROP_NONE)
        if (QTreeWidgetItem* t = ItemOfNode(target)) ExpandItem(t, true);
    switch (d.kind) {
        case DROP_DUP_GROUP:
            page_->Host()->Box(shell::FillFormat(shell::LangFormatText("profile_status", "fail_move_group_duplicate", "%s"),
                                                 {FromAnsi(d.name.c_str())}), title);
            break;
        case DROP_DUP_CONTACT:
            page_->Host()->Box(shell::FillFormat(shell::LangFormatText("profile_status", "fail_move_contact_duplicate", "%s"),
                                                 {FromAnsi(d.name.c_str())}), title);
            break;
        case DROP_MOVE_GROUP:
            page_->Host()->SendCommand(AS_MVG, d.id.c_str(), d.targetId.c_str(), 0, d.name.c_str(), nullptr, 0);
            break;
        case DROP_MOVE_CONTACT:
            page_->Host()->SendCommand(AS_MVB, d.id.c_str(), d.targetId.c_str(), 0, d.name.c_str(), d.oldParentId.c_str(), 0);
            break;
        default: break;
    }
    return d;
}

void CBuddyTreeCtrl::mousePressEvent(QMouseEvent* e) {
    pressMs_ = QDateTime::currentMSecsSinceEpoch();
    CBookTree::mousePressEvent(e);
}

CBuddyTreeCtrl::CBuddyTreeCtrl(CAddressBookDlg* page) : CBookTree(TREE_BUDDY, page) {
    setDragDropMode(QAbstractItemView::DragDrop);
    // Hovering opens groups only, and never closes one; the tree's own timers do both.
    setAutoExpandDelay(-1);
    hoverTimer_.setSingleShot(true);
    hoverTimer_.setInterval(800);
    scrollTimer_.setInterval(40);
    connect(&hoverTimer_, &QTimer::timeout, this, [this] { OnHoverTimer(); });
    connect(&scrollTimer_, &QTimer::timeout, this, [this] { OnScrollTimer(); });
}

void CBuddyTreeCtrl::BeginDragTracking(AddrNode* node) {
    dragged_ = node;
    scrollTicks_ = 0;
    scrollTimer_.start();
}

void CBuddyTreeCtrl::EndDragTracking() {
    dragged_ = nullptr;
    hoverTimer_.stop();
    scrollTimer_.stop();
    SetDropHighlight(nullptr);
}

QTreeWidgetItem* CBuddyTreeCtrl::DropHighlight() const {
    return dropHighlight_.isValid() ? itemFromIndex(dropHighlight_) : nullptr;
}

void CBuddyTreeCtrl::SetDropHighlight(QTreeWidgetItem* item) {
    QTreeWidgetItem* old = DropHighlight();
    if (old == item) return;
    if (old) old->setBackground(0, QBrush());
    dropHighlight_ = item ? QPersistentModelIndex(indexFromItem(item)) : QPersistentModelIndex();
    if (item) item->setBackground(0, palette().color(QPalette::Highlight).lighter(170));
}

void CBuddyTreeCtrl::DragHover(const QPoint& point) {
    if (!dragged_) return;
    hoverPoint_ = point;
    hoverTimer_.start();
    QTreeWidgetItem* item = itemAt(point);
    AddrNode* n = NodeOf(item);
    if (n && n->kind == ADDR_KIND_IDENTITY) item = item->parent(), n = NodeOf(item);
    // A contact inside a group lights its group; one at the top level lights itself.
    if (n && n->kind == ADDR_KIND_CONTACT && item->parent()) item = item->parent();
    SetDropHighlight(n && (n->kind == ADDR_KIND_GROUP || n->kind == ADDR_KIND_CONTACT) ? item : nullptr);
}

void CBuddyTreeCtrl::OnHoverTimer() {
    if (!dragged_) return;
    QTreeWidgetItem* item = itemAt(hoverPoint_);
    AddrNode* n = NodeOf(item);
    if (!n || n->kind != ADDR_KIND_GROUP) return;
    setCurrentItem(item);
    ExpandItem(item, true);
}

void CBuddyTreeCtrl::OnScrollTimer() {
    ++scrollTicks_;
    const int y = viewport()->mapFromGlobal(QCursor::pos()).y();
    if (const int lines = DragScrollLines(y, viewport()->height(), scrollTicks_))
        verticalScrollBar()->triggerAction(lines < 0 ? QAbstractSlider::SliderSingleStepSub : QAbstractSlider::SliderSingleStepAdd);
}

void CBuddyTreeCtrl::startDrag(Qt::DropActions) {
    AddrNode* n = SelectedNode();
    if (!CanStartDrag(n, static_cast<uint32_t>(QDateTime::currentMSecsSinceEpoch() - pressMs_))) return;
    BeginDragTracking(n);
    MakeDrag(n)->exec(Qt::MoveAction);
    EndDragTracking();
}

// The standard "no" cursor, a red ring with a bar, as the tree shows it throughout a drag.
static QPixmap NoCursorPixmap() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 6));
    p.drawEllipse(QRectF(5, 5, 22, 22));
    p.drawLine(QPointF(9, 9), QPointF(23, 23));
    p.setPen(QPen(QColor(0xD0, 0x10, 0x10), 3));
    p.drawEllipse(QRectF(5, 5, 22, 22));
    p.drawLine(QPointF(9, 9), QPointF(23, 23));
    return pixmap;
}

QDrag* CBuddyTreeCtrl::MakeDrag(AddrNode* node) {
    auto* drag = new QDrag(this);
    auto* mime = new QMimeData;
    mime->setData("application/x-tessaly-book-node", QByteArray(node->id));
    drag->setMimeData(mime);
    if (QTreeWidgetItem* item = ItemOfNode(node)) drag->setPixmap(item->icon(0).pixmap(16, 16));
    drag->setHotSpot(QPoint(4, 4));
    static const QPixmap no = NoCursorPixmap();
    for (Qt::DropAction action : {Qt::MoveAction, Qt::CopyAction, Qt::LinkAction, Qt::IgnoreAction})
        drag->setDragCursor(no, action);
    return drag;
}

void CBuddyTreeCtrl::dragMoveEvent(QDragMoveEvent* e) {
    if (!dragged_) return e->ignore();
    DragHover(e->position().toPoint());
    e->setDropAction(Qt::MoveAction);
    e->accept();
}

void CBuddyTreeCtrl::dropEvent(QDropEvent* e) {
    if (!dragged_) return e->ignore();
    const QPoint p = e->position().toPoint();
    Drop(dragged_, NodeOf(itemAt(p)), p.x() < 20);
    e->setDropAction(Qt::IgnoreAction);  // the tree changes with the server's reply
    e->accept();
}

// ---------------------------------------------------------------------------------------------
// My cards.

void CContactTreeCtrl::BuildMenu(TrelMenu* menu, AddrNode* node) {
    const bool dialOn = page_->Host()->DialEnabled();
    if (!node) {
        menu->AppendMenu(0, 32907, MenuText(31, "menucardadd", "创建新名片(&A)"));
        return;
    }
    if (node->kind == ADDR_KIND_IDENTITY) {
        switch (node->type) {
            case 4: menu->AppendMenu(0, 32879, MenuText(31, "menuemail", "Send E-Mail"), SkinPath("addr_email.bmp")); break;
            case 2: menu->AppendMenu(0, 32880, MenuText(31, "menucontactdial", "拨打电话(&P)"), SkinPath("addr_phone.bmp")); break;
            case 3: menu->AppendMenu(0, 32881, MenuText(31, "menucontactdial", "拨打电话(&P)"), SkinPath("addr_phone.bmp")); break;
            case 5: menu->AppendMenu(0, 32882, MenuText(31, "menucontactdial", "拨打电话(&P)"), SkinPath("addr_phone.bmp")); break;
            default: break;
        }
        return;
    }
    if (node->kind != ADDR_KIND_LIST) return;
    AddDialEntries(menu, node, !dialOn);
    menu->AppendMenu(AddrBook_HasIdentityType(node, 4) ? 0 : MF_GRAYED, 32879, MenuText(31, "menuemail", "Send E-Mail"),
                     SkinPath("addr_email.bmp"));
    menu->AppendMenu(MF_SEPARATOR, 0, {});
    menu->AppendMenu(0, 32883, MenuText(31, "menucardmod", "修改名片(&M)"));
    menu->AppendMenu(0, 32801, MenuText(31, "menucarddel", "删除名片(&D)"));
    menu->AppendMenu(MF_SEPARATOR, 0, {});
    menu->AppendMenu(0, 32800, MenuText(31, "menucardadd", "创建新名片(&A)"));
}

void CContactTreeCtrl::OnMenuCommand(int command) {
    auto dial = [&](intptr_t type) {
        if (page_->Host()->DialEnabled()) PostToPage(page_, WM_CALL_DIAL, 0, type);
    };
    switch (command) {
        case 32800: page_->AddByKind(); break;
        case 32801: page_->DeleteSelectedItem(); break;
        case 32877: page_->SendSmsToSelection(); break;
        case 32879: dial(4); break;
        case 32880: dial(2); break;
        case 32881: dial(3); break;
        case 32882: dial(5); break;
        case 32883: page_->EditSelectedCard(); break;
        case 32907: page_->Host()->FrameCommand(CMD_NEW_USER, nullptr); break;
        default: break;
    }
}

// ---------------------------------------------------------------------------------------------
// Groups.

namespace {

// Groups of the Groups tree draw their own label: the label's rectangle filled with the window colour,
// the name centred in it on one line in the groups' dark blue, with the tree's font. Selected items
// keep the tree's drawing.
class GroupLabelDelegate : public LabelDelegate {
public:
    explicit GroupLabelDelegate(CGroupTreeCtrl* tree) : LabelDelegate(tree), tree_(tree) {}
    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const AddrNode* n = tree_->NodeAt(index);
        if (!n || n->kind != ADDR_KIND_GROUP || (option.state & QStyle::State_Selected)) {
            QStyledItemDelegate::paint(p, option, index);
            return;
        }
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const QRect label = LabelRectIn(opt, tree_);
        const QString text = opt.text;
        opt.text.clear();
        tree_->style()->drawControl(QStyle::CE_ItemViewItem, &opt, p, tree_);
        p->save();
        p->fillRect(label, tree_->palette().color(QPalette::Base));
        p->setFont(tree_->font());
        p->setPen(QColor(0, 0, 0x75));
        p->drawText(label, Qt::AlignCenter | Qt::TextSingleLine, text);
        p->restore();
    }

private:
    CGroupTreeCtrl* tree_;
};

}  // namespace

CGroupTreeCtrl::CGroupTreeCtrl(CAddressBookDlg* page) : CBookTree(TREE_GROUP, page) { setItemDelegate(new GroupLabelDelegate(this)); }

QRect CBookTree::LabelRect(QTreeWidgetItem* item) const {
    QStyleOptionViewItem opt;
    initViewItemOption(&opt);
    const QModelIndex index = indexFromItem(item);
    opt.rect = visualRect(index);
    return static_cast<const LabelDelegate*>(itemDelegate())->Label(opt, index);
}

bool CGroupTreeCtrl::HitsItem(QTreeWidgetItem* item, const QPoint& point) const {
    if (!item) return false;
    const QRect row = visualItemRect(item);
    return point.y() >= row.top() && point.y() <= row.bottom() && point.x() >= row.left() &&
           point.x() <= LabelRect(item).right();
}

CGroupTreeCtrl::~CGroupTreeCtrl() {
    for (QPointer<CPopupTipWnd>& w : indicators_)
        if (w) w->Close();
}

void CGroupTreeCtrl::BuildMenu(TrelMenu* menu, AddrNode* node) {
    if (!node) {
        menu->AppendMenu(0, 61207, MenuText(32, "groupcreate", "创建群组(&R)"));
        menu->AppendMenu(0, 61208, MenuText(32, "groupsearch", "搜索群组(&R)"));
        return;
    }
    if (node->kind == ADDR_KIND_GROUP) {
        const int category = GroupClass(node);
        if (category == 0) return;  // a default group has no menu
        menu->AppendMenu(0, 32895, MenuText(32, "grouprefresh", "刷新群组(&R)"));
        menu->AppendMenu(0, 61207, MenuText(32, "groupcreate", "创建群组(&R)"));
        menu->AppendMenu(0, 61208, MenuText(32, "groupsearch", "搜索群组(&R)"));
        menu->AppendMenu(MF_SEPARATOR, 0, {});
        if (category == 1) {
            QTreeWidgetItem* item = ItemOfNode(node);
            menu->AppendMenu(item && item->childCount() ? 0 : MF_GRAYED | MF_DISABLED, 32904,
                             Lang("group_dlg", "group_msg_title", "发送消息(&S)").left(32));
        } else {
            menu->AppendMenu(0, 32894, MenuText(32, "groupleave", "退出群组(&E)"), SkinPath("menudel.bmp"));
        }
        return;
    }
    if (node->kind == ADDR_KIND_CONTACT) {
        if (node->id && !strcasecmp(node->id, g_strUserId.c_str())) return;
        const bool callable = page_->Host()->DialEnabled() && AddrBook_HasIdentityType(node, 8);
        menu->AppendMenu(callable ? 0 : MF_GRAYED, 32803, MenuText(32, "menucall", "呼叫(&C)"), SkinPath("menudial.bmp"));
        menu->AppendMenu(AddrBook_HasIdentityType(node, 9) ? 0 : MF_GRAYED, 32828, MenuText(32, "menuim", "Send IM"));
        menu->AppendMenu(MF_SEPARATOR, 0, {});
        menu->AppendMenu(0, 32892, MenuText(32, "groupaddbuddy", "加为好友(&A)"), SkinPath("menuaddcontact.bmp"));
    }
}

void CGroupTreeCtrl::OnMenuCommand(int command) {
    BookHost* host = page_->Host();
    switch (command) {
        case 32895: page_->RefreshSelectedGroup(); break;
        case 61207: {
            // The portal page of the settings, else the service's home page.
            if (g_serviceSettings.portal.empty()) g_serviceSettings.portal = DefaultPortal();
            const QString portal = QString::fromStdString(g_serviceSettings.portal);
            if (IsOpenableAddress(portal, false)) host->OpenUrl(portal);
            break;
        }
        case 61208: host->FrameCommand(CMD_SEARCH, nullptr); break;
        case 32904: {
            QString text;
            if (host->AskGroupMessage(&text)) page_->SendTextToSelectedGroup(text.left(200));
            break;
        }
        case 32894: page_->QuitSelectedGroup(); break;
        case 32803:
            if (!host->AnyCallPage()) PostToPage(page_, WM_ADDRBOOK_CALL);
            break;
        case 32828: PostToPage(page_, WM_ADDRBOOK_IM); break;
        case 32892: page_->AddSelectedMemberAsBuddy(); break;
        default: break;
    }
}

void CGroupTreeCtrl::ClickIcon(QTreeWidgetItem* item) {
    if (!item) return;
    // The click selects the item first, a default group too; only then is it asked what the icon does.
    setCurrentItem(item);
    AddrNode* n = NodeOf(item);
    if (!n || IsDefaultGroup(n)) return;
    ToggleItem(item);
    if (n->kind == ADDR_KIND_GROUP && item->childCount() == 0 && !n->child) {
        // The indicator stands just left of the group's label, over its icon.
        const QRect r = LabelRect(item);
        const QPoint at(r.left() - 18, r.top());
        indicators_.emplace_back(new CPopupTipWnd(viewport(), at, nextKey_, 400));
        auto record = std::make_unique<CGroupTreeItem>();
        record->SetKey(nextKey_);
        record->SetX(at.x());
        record->SetY(at.y());
        record->SetGroupId(n->id);
        record->SetItem(item);
        records_.push_back(std::move(record));
        ++nextKey_;
        page_->RequestGroupOperation(0);
    }
}

void CGroupTreeCtrl::RemoveGroupById(const char* id) {
    if (!id) return;
    auto record = std::find_if(records_.begin(), records_.end(), [&](const auto& r) { return !strcasecmp(r->GetGroupId(), id); });
    if (record == records_.end()) return;
    const unsigned key = (*record)->GetKey();
    records_.erase(record);
    auto tip = std::find_if(indicators_.begin(), indicators_.end(), [&](const auto& w) { return w && w->GetItemData() == key; });
    if (tip == indicators_.end()) return;
    if (*tip) (*tip)->Close();
    indicators_.erase(tip);
}

void CGroupTreeCtrl::mousePressEvent(QMouseEvent* e) {
    QTreeWidgetItem* item = itemAt(e->pos());
    if (item && e->button() == Qt::LeftButton) {
        const QRect r = visualItemRect(item);
        const int iconLeft = r.left();
        if (e->pos().x() >= iconLeft && e->pos().x() < iconLeft + 18) {
            ClickIcon(item);
            return;
        }
    }
    if (PressBesideLabel(item, e)) return;
    QTreeWidget::mousePressEvent(e);
}

void CGroupTreeCtrl::scrollContentsBy(int dx, int dy) {
    QTreeWidget::scrollContentsBy(dx, dy);
    PlaceIndicators();
}

void CGroupTreeCtrl::PlaceIndicators() {
    for (const auto& record : records_) {
        QTreeWidgetItem* item = FindItemById(record->GetGroupId());
        if (!item) continue;
        const QRect r = LabelRect(item);
        for (QPointer<CPopupTipWnd>& w : indicators_)
            if (w && w->GetItemData() == record->GetKey()) w->ShowAt(QPoint(r.left() - 18, r.top()));
    }
}

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
    LoadImages();
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

void CAddressBookDlg::LoadImages() {
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
    if (images_[IMG_BUSY].isNull()) images_[IMG_BUSY] = images_[IMG_ONLINE];  // a skin made before busy
    struct Header { CStyledButton* b; const char* normal; const char* selected; } const headers[] = {
        {contactHeader_, "contact.bmp", "contactsel.bmp"}, {cardHeader_, "card.bmp", "cardsel.bmp"},
        {groupHeader_, "group_u.bmp", "group_d.bmp"}, {addButton_, "add_contact.bmp", "add_contactsel.bmp"}};
    for (const Header& h : headers) {
        const QImage in = ctl::LoadBitmapFile(SkinPath(h.selected)), out = ctl::LoadBitmapFile(SkinPath(h.normal));
        if (!out.isNull()) h.b->SetBitmapPair(in.isNull() ? out : in, kImageKey, out, kImageKey);
    }
    commend_ = ctl::LoadBitmapFile(SkinPath("commend.bmp"));
    for (CBookTree* t : {static_cast<CBookTree*>(buddyTree_), static_cast<CBookTree*>(cardTree_), static_cast<CBookTree*>(groupTree_)})
        for (QTreeWidgetItemIterator it(t); *it; ++it) t->RefreshItem(*it);
}

void CAddressBookDlg::OnSkinChanged() {
    LoadImages();
    update();
}

void CAddressBookDlg::OnLanguageChanged() {
    words_.online = BookText("online", "Online");
    words_.offline = BookText("offline", "Offline");
    words_.busy = BookText("busy", "Busy");
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
        // Chat groups show their button before their members are fetched; the rest only with children.
        item->setChildIndicatorPolicy(p.node->kind == ADDR_KIND_GROUP && tree->Kind() == TREE_GROUP
                                          ? QTreeWidgetItem::ShowIndicator
                                          : QTreeWidgetItem::DontShowIndicatorWhenChildless);
        if (tree->Kind() == TREE_BUDDY && p.node->kind == ADDR_KIND_IDENTITY && p.node->type == ADDR_TYPE_SERVICE) {
            // The messaging identity's names, then its address.
            const auto* i = static_cast<const AddrIdentity*>(p.node);
            QString tip;
            for (const char* name : {i->nick, i->altName})
                if (name && *name) tip += FromAnsi(name) + "\n";
            item->setToolTip(0, tip + "<" + FromAnsi(i->address) + ">");
        }
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
        if (QTreeWidgetItem* item = tree->ItemOfNode(p)) tree->RefreshItem(item);
    if (!whole)
        if (QTreeWidgetItem* item = tree->ItemOfNode(start); item && start->kind != ADDR_KIND_IDENTITY) tree->setCurrentItem(item);
}

void CAddressBookDlg::RebuildBuddyTree(const char* id, const char* parentId) { Rebuild(buddyTree_, 0, id, parentId); }
void CAddressBookDlg::RebuildContactTree(const char* id) { Rebuild(cardTree_, 2, id, nullptr); }
void CAddressBookDlg::RebuildGroupTree(const char* id) { Rebuild(groupTree_, 1, id, nullptr); }

void CAddressBookDlg::OnPresenceChanged(AddrNode* identity) {
    if (!identity || !identity->id) return;
    RebuildBuddyTree(identity->id, identity->parent ? identity->parent->id : nullptr);
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
    std::vector<AddrNode*> identities;
    std::vector<AddrNode*> stack{n};
    while (!stack.empty()) {
        AddrNode* x = stack.back();
        stack.pop_back();
        if (x->kind == ADDR_KIND_GROUP) {
            for (AddrNode* c = x->child; c; c = c->next) stack.push_back(c);
        } else if (x->kind == ADDR_KIND_CONTACT && x->id && strcasecmp(x->id, g_strUserId.c_str())) {
            if (AddrNode* qz = AddrBook_FindType9Identity(x)) identities.push_back(qz);
        }
    }
    if (!identities.empty() && host_->SendGroupText(text, identities) < 0)
        host_->Box(shell::LangText("group_dlg", "send_failed", "The message could not be sent."),
                   shell::LangText("group_dlg", "msg_box_title", "Information"));
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

void CAddressBookDlg::Chat(AddrNode* node) {
    if (!node) return;
    std::vector<AddrNode*> identities;
    if (node->kind == ADDR_KIND_IDENTITY && node->type == 9) {
        identities.push_back(node);
    } else if (node->kind == ADDR_KIND_CONTACT) {
        if (AddrNode* qz = AddrBook_FindType9Identity(node)) identities.push_back(qz);
    } else if (node->kind == ADDR_KIND_GROUP) {
        // A group chat needs the messaging account signed in.
        Account* qz = Account_FindByType(ACCOUNT_TYPE_SERVICE);
        if (!qz || !Account_IsOnline(qz)) return;
        // Members in tree order.
        std::function<void(AddrNode*)> walk = [&](AddrNode* x) {
            for (AddrNode* c = x->child; c; c = c->next) {
                if (c->kind == ADDR_KIND_CONTACT) {
                    if (AddrNode* qz = AddrBook_FindType9Identity(c)) identities.push_back(qz);
                } else if (c->kind == ADDR_KIND_GROUP) {
                    walk(c);
                }
            }
        };
        walk(node);
    }
    if (identities.empty()) return;
    host_->OpenChat(identities.size() == 1 ? 0 : 4, identities);
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

bool CAddressBookDlg::Rename(AddrNode* node, const QString& text) {
    if (!node || !IsValidRename(text)) return false;
    const std::string name = ToAnsi(UniqueSiblingName(node, text));
    switch (node->kind) {
        case ADDR_KIND_GROUP: host_->SendCommand(AS_RNG, node->id, "", 0, name.c_str(), nullptr, 0); return true;
        case ADDR_KIND_CONTACT: host_->SendCommand(AS_REB, node->id, "", 0, name.c_str(), nullptr, 0); return true;
        case ADDR_KIND_LIST: host_->PostRequest(AS_UDL, CardListFromNode(node, FromAnsi(name.c_str())), AS_DATA_LIST); return true;
        case ADDR_KIND_IDENTITY:
            // Only account identities can be edited, and no server list carries their id: an update
            // list for one could only fail, so nothing is sent.
            return false;
        default: return false;
    }
}

LRESULT CAddressBookDlg::Dispatch(unsigned message, uintptr_t, intptr_t lParam) {
    switch (message) {
        case WM_CALL_DIAL: Dial(static_cast<uint32_t>(lParam), GetSelectedItemData()); return 1;
        case WM_ADDRBOOK_CALL: Dial(static_cast<uint32_t>(lParam), groupTree_->SelectedNode()); return 1;
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
            if (IsOpenableAddress(url, false)) host_->OpenUrl(url);
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
