// The My-contacts tree: menus and their commands, double click, drag and drop of groups and contacts.
#include "ui/contacts/buddy_tree.h"

#include <QCursor>
#include <QDateTime>
#include <QDrag>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include "common/addrbook_query.h"
#include "service/as_commands.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/book_tree_support.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/shell_config.h"

namespace contacts {

using namespace booktree;

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
            if (QTreeWidgetItem* item = currentItem(); item && BeginLabelEdit(item)) editItem(item);
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


void CBuddyTreeCtrl::OnDoubleClick(AddrNode* node) {
    if (node && node->kind == ADDR_KIND_IDENTITY && node->type == 9) PostToPage(page_, WM_ADDRBOOK_CHAT);
    else if (node) page_->Host()->PressDialButton();
}

DropDecision CBuddyTreeCtrl::Drop(AddrNode* source, AddrNode* hit, bool leftEdge) {
    AddrNode* root = g_addrBookRoots[0];
    AddrNode* target = leftEdge ? nullptr : DropTargetFor(hit, root);
    const DropDecision d = DecideDrop(source, target, root);
    const QString title = Lang("profile_status", "fail_title", "");
    // The box's text as it comes out of a 128-byte buffer.
    auto duplicate = [&](const char* key) {
        const QString text = shell::FillFormat(shell::LangFormatText("profile_status", key, "%s"), {FromAnsi(d.name.c_str())});
        page_->Host()->Box(FitAnsiBuffer(text, 128), title);
    };
    // A drop that may land opens its group, also when the server would refuse a duplicate.
    if (d.kind != DROP_NONE)
        if (QTreeWidgetItem* t = ItemOfNode(target)) ExpandItem(t, true);
    switch (d.kind) {
        case DROP_DUP_GROUP: duplicate("fail_move_group_duplicate"); break;
        case DROP_DUP_CONTACT: duplicate("fail_move_contact_duplicate"); break;
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

bool CBuddyTreeCtrl::eventFilter(QObject* watched, QEvent* e) {
    // Escape neither ends nor calls off a drag of the tree: only the button's release ends it.
    if (dragged_ && (e->type() == QEvent::KeyPress || e->type() == QEvent::KeyRelease || e->type() == QEvent::ShortcutOverride) &&
        static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape)
        return true;
    return CBookTree::eventFilter(watched, e);
}

void CBuddyTreeCtrl::KeepEscapeFromTheDrag() {
    // The drag installs its own filter, which calls the drag off on Escape, once it runs; filters
    // installed later are asked first, so this one goes in from inside the drag.
    if (keepingEscape_ || !dragged_) return;
    keepingEscape_ = true;
    qApp->installEventFilter(this);
}

void CBuddyTreeCtrl::EndDragTracking() {
    if (keepingEscape_) qApp->removeEventFilter(this);
    keepingEscape_ = false;
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
    // Over anything else the last lit item stays lit.
    if (n && (n->kind == ADDR_KIND_GROUP || n->kind == ADDR_KIND_CONTACT)) SetDropHighlight(item);
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
    droppedInTree_ = false;
    MakeDrag(n)->exec(Qt::MoveAction);
    // With the button still down the drag was called off (Escape), not released.
    DragReleased(n, droppedInTree_, QGuiApplication::mouseButtons() & Qt::LeftButton);
    EndDragTracking();
}

DropDecision CBuddyTreeCtrl::DragReleased(AddrNode* node, bool droppedInTree, bool buttonHeld) {
    // Released anywhere outside the tree there is no item under the cursor: the node goes to the top
    // level. The node may have left the tree while the drag ran.
    if (droppedInTree || buttonHeld || !ItemOfNode(node)) return DropDecision{};
    return Drop(node, nullptr, false);
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
    KeepEscapeFromTheDrag();
    DragHover(e->position().toPoint());
    e->setDropAction(Qt::MoveAction);
    e->accept();
}

void CBuddyTreeCtrl::dropEvent(QDropEvent* e) {
    if (!dragged_) return e->ignore();
    const QPoint p = e->position().toPoint();
    droppedInTree_ = true;
    Drop(dragged_, NodeOf(itemAt(p)), p.x() < 20);
    e->setDropAction(Qt::IgnoreAction);  // the tree changes with the server's reply
    e->accept();
}

}  // namespace contacts
