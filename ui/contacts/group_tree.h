// The Groups tree: chat groups under the two default groups, their members, the busy indicators of
// member queries and the group commands.
#pragma once

#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "ui/contacts/book_tree.h"

class CPopupTipWnd;

namespace contacts {

// The record of one busy indicator beside a group of the group tree.
class CGroupTreeItem {
public:
    CGroupTreeItem() = default;
    CGroupTreeItem(const CGroupTreeItem&) = delete;
    CGroupTreeItem& operator=(const CGroupTreeItem&) = delete;
    void SetKey(unsigned key) { key_ = key; }
    void SetX(int x) { x_ = x; }
    void SetY(int y) { y_ = y; }
    void SetGroupId(const char* id) { groupId_ = id ? id : ""; }
    void SetItem(QTreeWidgetItem* item) { item_ = item; }
    unsigned GetKey() const { return key_; }
    int GetX() const { return x_; }
    int GetY() const { return y_; }
    const char* GetGroupId() const { return groupId_.c_str(); }
    QTreeWidgetItem* GetItem() const { return item_; }

private:
    unsigned key_ = 0;
    int x_ = 0, y_ = 0;
    std::string groupId_;
    QTreeWidgetItem* item_ = nullptr;
};

class CGroupTreeCtrl : public CBookTree {
    Q_OBJECT
public:
    explicit CGroupTreeCtrl(CAddressBookDlg* page);
    ~CGroupTreeCtrl() override;
    void BuildMenu(TrelMenu* menu, AddrNode* node) override;
    void OnMenuCommand(int command) override;
    void OnDoubleClick(AddrNode* node) override;
    // A click (on release): the item hit, if any, becomes the current one. Default groups do nothing;
    // a hit on the icon toggles the item; a group without members, however it was clicked, gets a busy
    // indicator and one member query.
    void Click(QTreeWidgetItem* hit, bool onIcon);
    void ClickIcon(QTreeWidgetItem* item) { Click(item, true); }
    // The member-query answer of a group arrived: its indicator goes.
    void RemoveGroupById(const char* id);
    int IndicatorCount() const { return static_cast<int>(indicators_.size()); }
    // The node of a model index (the group labels' painting).
    AddrNode* NodeAt(const QModelIndex& index) const { return NodeOf(itemFromIndex(index)); }
    // Only the icon and the label are the item; the rest of its row is empty space.
    bool HitsItem(QTreeWidgetItem* item, const QPoint& point) const override;

protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void PlaceIndicators();
    // The indicators and their records, one each; the record's key is the indicator's id.
    std::vector<QPointer<CPopupTipWnd>> indicators_;
    std::vector<std::unique_ptr<CGroupTreeItem>> records_;
    unsigned nextKey_ = 1;
};

}  // namespace contacts
