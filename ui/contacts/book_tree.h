// The address book's tree items and what its three trees share: items of store nodes, expand
// bookkeeping, label editing, menus with their dial entries.
#pragma once

#include <QStringList>
#include <QTreeWidget>
#include <vector>

#include "ui/contacts/addrbook_logic.h"

class TrelMenu;

namespace contacts {

class CAddressBookDlg;

// One tree item: the store node it shows (never owned) and the sibling order of its tree.
class BookItem : public QTreeWidgetItem {
public:
    BookItem(AddrNode* node, int tree) : node_(node), tree_(tree) {}
    AddrNode* Node() const { return node_; }
    bool operator<(const QTreeWidgetItem& other) const override;

private:
    AddrNode* node_;
    int tree_;
};

// What the three trees share: items of nodes, expand bookkeeping, menus and their commands.
class CBookTree : public QTreeWidget {
    Q_OBJECT
public:
    CBookTree(int tree, CAddressBookDlg* page);
    int Kind() const { return tree_; }
    AddrNode* NodeOf(QTreeWidgetItem* item) const;
    AddrNode* SelectedNode() const;
    QTreeWidgetItem* ItemOfNode(const AddrNode* node) const;
    QTreeWidgetItem* FindItemById(const char* id) const;
    // Deletes every item whose node lies in the node's subtree (before the nodes are freed).
    void ForgetSubtree(const AddrNode* node);
    // Expands or collapses through the tree, keeping flag 0x001 and the group image in step.
    void ExpandItem(QTreeWidgetItem* item, bool expand);
    void ToggleItem(QTreeWidgetItem* item);
    // The item's label and image as a rebuild inserts them.
    void RefreshItem(QTreeWidgetItem* item);
    // The item's image only (expanding, a new skin): its label stays as it was given.
    void RefreshImage(QTreeWidgetItem* item);
    // An item on the way up from a rebuilt node: groups get their label again, and a contact whose
    // messaging identity was the rebuilt node gets the refresh's label and image.
    void RefreshOnPath(QTreeWidgetItem* item, const AddrNode* rebuilt);
    // The label editor opens on the item (false: this item may not be edited).
    bool BeginLabelEdit(QTreeWidgetItem* item);
    void SetImages(const std::vector<QPixmap>* images) { images_ = images; }
    void ApplyImage(QTreeWidgetItem* item, int image);
    // A messaging identity's tip in the My-contacts tree: its nick and second name, then its address.
    void ApplyTip(QTreeWidgetItem* item);
    // Builds the context menu of a node (null: empty area) into the menu.
    virtual void BuildMenu(TrelMenu* menu, AddrNode* node) = 0;
    // Runs a menu command on the current selection.
    virtual void OnMenuCommand(int command) = 0;
    // Labels of all items in pre-order (tests and the gallery).
    QStringList AllLabels() const;
    bool editingLabel() const { return state() == QAbstractItemView::EditingState; }
    // A double click on an item of this node (the mouse handler's action).
    virtual void OnDoubleClick(AddrNode* node);
    // The rectangle of an item's label: its text's width, the row's height.
    QRect LabelRect(QTreeWidgetItem* item) const;
    // Whether a viewport point on the item's row counts as a hit on the item for its menu and double click.
    virtual bool HitsItem(QTreeWidgetItem* item, const QPoint&) const { return item != nullptr; }

protected:
    void contextMenuEvent(QContextMenuEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    // A click, on the button's release: one on an item's icon opens or closes it.
    void mouseReleaseEvent(QMouseEvent* e) override;
    // Qt ends a double click with a second release, which is no click of its own: true once for it.
    bool ReleaseEndsDoubleClick();
    // Whether a viewport point lies on the item's icon (the 18 pixels at its left).
    bool OnIcon(QTreeWidgetItem* item, const QPoint& point) const;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;
    // The label editor's end with a text: refused, and the page renames the node.
    void EndLabelEdit(QTreeWidgetItem* item);
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    void RestoreLabel(QTreeWidgetItem* item);
    void AddDialEntries(TrelMenu* menu, AddrNode* node, bool greyAll);
    // A left press right of the item's label: taken and ignored (true).
    bool PressBesideLabel(QTreeWidgetItem* item, QMouseEvent* e);
    CAddressBookDlg* page_;
    int tree_;
    const std::vector<QPixmap>* images_ = nullptr;
    bool bookkeeping_ = false;
    QTreeWidgetItem* renaming_ = nullptr;  // the item whose label editor is open
    bool pressOnIcon_ = false;             // the last left press was on an item's icon
    bool doubleClicked_ = false;           // a double click waits for its release
    QString renamingLabel_;                // its label before the editor opened
};

}  // namespace contacts
