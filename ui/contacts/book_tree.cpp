// The address book's tree items and the tree its three panes share.
#include "ui/contacts/book_tree.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <cstring>

#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/book_tree_support.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/shell_config.h"

namespace contacts {

namespace booktree {

void PostToPage(QWidget* page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    QCoreApplication::postEvent(page, new BookEvent(message, wParam, lParam));
}

QString Lang(const char* section, const char* key, const char* builtIn) { return shell::LangText(section, key, builtIn); }
QString BookText(const char* key, const char* builtIn) { return Lang("addrbook_dialog", key, builtIn); }
QString MenuText(int max, const char* key, const char* builtIn) { return BookText(key, builtIn).left(max); }
QString SkinPath(const char* file) { return QString::fromStdString(ctl::SkinFilePath(file)); }

bool InSubtree(const AddrNode* node, const AddrNode* top) {
    for (const AddrNode* p = node; p; p = p->parent)
        if (p == top) return true;
    return false;
}

bool SameId(const AddrNode* n, const char* id) { return n && n->id && id && !strcasecmp(n->id, id); }

QRect LabelRectIn(const QStyleOptionViewItem& opt, const QWidget* tree) {
    const QStyle* style = tree->style();
    const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, tree);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1;
    const int width = QFontMetrics(tree->font()).horizontalAdvance(opt.text) + 2 * margin;
    return QRect(text.left(), text.top(), std::min(width, text.width()), text.height());
}

}  // namespace booktree

using namespace booktree;

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
    // My contacts and My cards open a label editor on a click on the selected item; Groups never.
    setEditTriggers(tree == TREE_GROUP ? QAbstractItemView::NoEditTriggers : QAbstractItemView::SelectedClicked);
    setFrameShape(QFrame::NoFrame);
    setIndentation(16);
    setUniformRowHeights(true);
    // During a drag a group under the cursor opens after 800 ms and the edges scroll.
    setAutoExpandDelay(800);
    setAutoScroll(true);
    setAutoScrollMargin(10);
    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        if (AddrNode* n = NodeOf(item)) n->flags |= FLAG_EXPANDED;
        RefreshImage(item);
    });
    connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
        if (AddrNode* n = NodeOf(item)) n->flags &= ~FLAG_EXPANDED;
        RefreshImage(item);
    });
    connect(this, &QTreeWidget::currentItemChanged, this, [this] {
        if (!bookkeeping_) page_->OnSetActive();
    });
    // The label editor's end: the text goes to the server; the item keeps its label until the reply.
    connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item) {
        if (bookkeeping_ || item != renaming_) return;
        EndLabelEdit(item);
    });
}

void CBookTree::EndLabelEdit(QTreeWidgetItem* item) {
    renaming_ = nullptr;
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    AddrNode* n = NodeOf(item);
    const QString text = item->text(0);
    RestoreLabel(item);
    if (!n || IsBlankLabel(text)) return;
    QStringList siblings;
    QTreeWidgetItem* parent = item->parent();
    const int count = parent ? parent->childCount() : topLevelItemCount();
    for (int i = 0; i < count; ++i)
        if (QTreeWidgetItem* s = parent ? parent->child(i) : topLevelItem(i); s != item) siblings << s->text(0);
    page_->Rename(n, text, siblings);
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

void CBookTree::ApplyTip(QTreeWidgetItem* item) {
    const AddrNode* n = NodeOf(item);
    if (tree_ != TREE_BUDDY || !n || n->kind != ADDR_KIND_IDENTITY || n->type != ADDR_TYPE_SERVICE) return;
    // The messaging identity's names, then its address.
    const auto* i = static_cast<const AddrIdentity*>(n);
    QString tip;
    for (const char* name : {i->nick, i->altName})
        if (name && *name) tip += FromAnsi(name) + "\n";
    item->setToolTip(0, tip + "<" + FromAnsi(i->address) + ">");
}

void CBookTree::RefreshItem(QTreeWidgetItem* item) {
    AddrNode* n = NodeOf(item);
    if (!n) return;
    const bool was = bookkeeping_;
    bookkeeping_ = true;
    item->setText(0, ItemLabel(n, tree_, page_->Words()));
    ApplyImage(item, ItemImage(n, tree_));
    ApplyTip(item);
    bookkeeping_ = was;
}

void CBookTree::RefreshImage(QTreeWidgetItem* item) {
    if (AddrNode* n = NodeOf(item)) ApplyImage(item, ItemImage(n, tree_));
}

void CBookTree::RefreshOnPath(QTreeWidgetItem* item, const AddrNode* rebuilt) {
    AddrNode* n = NodeOf(item);
    if (!n) return;
    if (n->kind == ADDR_KIND_GROUP) {
        RefreshItem(item);
        return;
    }
    const bool presence = rebuilt && rebuilt->kind == ADDR_KIND_IDENTITY && (rebuilt->flags & ADDR_FLAG_SERVICE);
    if (n->kind != ADDR_KIND_CONTACT || !presence) return;
    if (tree_ != TREE_BUDDY) {
        RefreshItem(item);
        return;
    }
    const bool was = bookkeeping_;
    bookkeeping_ = true;
    item->setText(0, RefreshedContactLabel(n, page_->Words()));
    ApplyImage(item, ItemImage(n, tree_));
    bookkeeping_ = was;
}

bool CBookTree::BeginLabelEdit(QTreeWidgetItem* item) {
    AddrNode* n = NodeOf(item);
    if (!n || (n->kind == ADDR_KIND_IDENTITY && !(n->flags & FLAG_EDITABLE))) return false;
    bookkeeping_ = true;
    renamingLabel_ = item->text(0);
    // A contact's editor starts from its display name, a group's from its name.
    if (tree_ == TREE_BUDDY && n->kind == ADDR_KIND_CONTACT) item->setText(0, FromAnsi(ContactNick(n)));
    else if (tree_ == TREE_BUDDY && n->kind == ADDR_KIND_GROUP) item->setText(0, FromAnsi(NodeName(n)));
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    bookkeeping_ = false;
    renaming_ = item;
    return true;
}

void CBookTree::RestoreLabel(QTreeWidgetItem* item) {
    // The edit is refused: the label changes only with the server's answer.
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    const bool was = bookkeeping_;
    bookkeeping_ = true;
    item->setText(0, renamingLabel_);
    bookkeeping_ = was;
}

bool CBookTree::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    // The label editor opens on a click on the selected item's label, not on its icon.
    if (trigger == QAbstractItemView::SelectedClicked && (pressOnIcon_ || renaming_ || !BeginLabelEdit(itemFromIndex(index))))
        return false;
    return QTreeWidget::edit(index, trigger, event);
}

void CBookTree::ExpandItem(QTreeWidgetItem* item, bool expand) {
    if (!item) return;
    item->setExpanded(expand);
    if (AddrNode* n = NodeOf(item)) n->flags = expand ? (n->flags | FLAG_EXPANDED) : (n->flags & ~FLAG_EXPANDED);
    RefreshImage(item);
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
    if (e->button() == Qt::LeftButton) doubleClicked_ = true;
    // Whatever it hits becomes the current item and the selection; empty space leaves none.
    QTreeWidgetItem* hit = itemAt(e->pos());
    setCurrentItem(hit);
    if (hit && HitsItem(hit, e->pos())) OnDoubleClick(NodeOf(hit));
}

void CBookTree::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
    QTreeWidget::closeEditor(editor, hint);
    QTreeWidgetItem* item = renaming_;
    if (!item) return;
    // A text confirmed unchanged (no itemChanged came) is renamed to itself; a cancelled editor only
    // puts the label back.
    if (hint != QAbstractItemDelegate::RevertModelCache) {
        EndLabelEdit(item);
        return;
    }
    renaming_ = nullptr;
    RestoreLabel(item);
}

bool CBookTree::OnIcon(QTreeWidgetItem* item, const QPoint& point) const {
    if (!item) return false;
    const int left = visualItemRect(item).left();
    return point.x() >= left && point.x() < left + 18;
}

void CBookTree::mousePressEvent(QMouseEvent* e) {
    // The press selects (and may start a drag); the click itself is the release's.
    QTreeWidgetItem* item = itemAt(e->pos());
    if (e->button() == Qt::LeftButton) {
        pressOnIcon_ = OnIcon(item, e->pos());
        doubleClicked_ = false;
    }
    if (PressBesideLabel(item, e)) return;
    // A left or middle press below the items keeps the selection: the view would take the highlight
    // away while the current item, which every command reads, stays. The right button's menu picks
    // its own item.
    if (!item && e->button() != Qt::RightButton) {
        e->accept();
        return;
    }
    QTreeWidget::mousePressEvent(e);
}

bool CBookTree::ReleaseEndsDoubleClick() {
    const bool ends = doubleClicked_;
    doubleClicked_ = false;
    return ends;
}

void CBookTree::mouseReleaseEvent(QMouseEvent* e) {
    QTreeWidget::mouseReleaseEvent(e);
    if (e->button() != Qt::LeftButton || ReleaseEndsDoubleClick()) return;
    QTreeWidgetItem* item = itemAt(e->pos());
    if (!OnIcon(item, e->pos())) return;
    setCurrentItem(item);
    ToggleItem(item);
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

QRect CBookTree::LabelRect(QTreeWidgetItem* item) const {
    QStyleOptionViewItem opt;
    initViewItemOption(&opt);
    const QModelIndex index = indexFromItem(item);
    opt.rect = visualRect(index);
    return static_cast<const LabelDelegate*>(itemDelegate())->Label(opt, index);
}

}  // namespace contacts
