// The Groups tree: group labels, menus and their commands, icon clicks with their busy indicators.
#include "ui/contacts/group_tree.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cstring>

#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "service/settings_xml.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/book_tree_support.h"
#include "ui/controls/statics.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/shell_config.h"

namespace contacts {

using namespace booktree;

namespace {

// The service's home page when the settings give no portal address (usrcfg.ini [common] home_page).
std::string DefaultPortal() { return shell::ConfigString("common", "home_page", "https://www.tessaly.example/"); }

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
            if (IsOpenableSettingsAddress(portal)) host->OpenUrl(portal);
            else DebugTrace(MOD_SYSTEM, 1, "address not opened (not a web or mail address): %.200s", portal.toUtf8().constData());
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

void CGroupTreeCtrl::Click(QTreeWidgetItem* hit, bool onIcon) {
    // The click selects the item first, a default group too; only then is it asked what the click does.
    if (hit) setCurrentItem(hit);
    QTreeWidgetItem* item = currentItem();
    if (!item) return;
    AddrNode* n = NodeOf(item);
    if (!n || HasDefaultGroupId(n)) return;
    if (hit && onIcon) ToggleItem(item);
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

void CGroupTreeCtrl::mouseReleaseEvent(QMouseEvent* e) {
    QTreeWidget::mouseReleaseEvent(e);
    if (e->button() != Qt::LeftButton || ReleaseEndsDoubleClick()) return;
    QTreeWidgetItem* item = itemAt(e->pos());
    const bool onIcon = OnIcon(item, e->pos());
    if (item && !onIcon && !HitsItem(item, e->pos())) item = nullptr;  // right of the label: no item
    Click(item, onIcon);
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

void CGroupTreeCtrl::OnDoubleClick(AddrNode* node) {
    if (node && node->kind == ADDR_KIND_IDENTITY && node->type == 9) PostToPage(page_, WM_ADDRBOOK_IM);
    else if (node) page_->Host()->PressDialButton();
}

}  // namespace contacts
