// The My-contacts tree: contact groups, contacts with their presence and addresses, their menus,
// and moves of groups and contacts by drag and drop.
#pragma once

#include <QPersistentModelIndex>
#include <QTimer>

#include "ui/contacts/book_tree.h"

class QDrag;

namespace contacts {

class CBuddyTreeCtrl : public CBookTree {
    Q_OBJECT
public:
    explicit CBuddyTreeCtrl(CAddressBookDlg* page);
    void BuildMenu(TrelMenu* menu, AddrNode* node) override;
    void OnMenuCommand(int command) override;
    // Drop of the dragged node on the node under the point; leftEdge: within 20 px of the left edge.
    DropDecision Drop(AddrNode* source, AddrNode* hit, bool leftEdge);
    // The drag of the node has ended outside a drop in the tree: released (not called off with the
    // button held) anywhere else, it moves the node to the top level.
    DropDecision DragReleased(AddrNode* node, bool droppedInTree, bool buttonHeld);
    // A drag of the node under way: its hover and scroll timers run from Begin to End.
    void BeginDragTracking(AddrNode* node);
    void EndDragTracking();
    // The drag is over the viewport point: the group it would land in is highlighted, and a group
    // that stays under the cursor for 800 ms opens.
    void DragHover(const QPoint& point);
    QTreeWidgetItem* DropHighlight() const;
    bool HoverPending() const { return hoverTimer_.isActive(); }
    // The drag object of a node: its data, its picture and the "no" cursor it shows for every action.
    QDrag* MakeDrag(AddrNode* node);
    // From the drag's first move over the tree until its end, Escape goes to nobody.
    void KeepEscapeFromTheDrag();
    bool eventFilter(QObject* watched, QEvent* e) override;

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void startDrag(Qt::DropActions actions) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dropEvent(QDropEvent* e) override;
    void OnDoubleClick(AddrNode* node) override;

private:
    void SetDropHighlight(QTreeWidgetItem* item);
    void OnHoverTimer();
    void OnScrollTimer();
    qint64 pressMs_ = 0;
    AddrNode* dragged_ = nullptr;
    bool droppedInTree_ = false;
    bool keepingEscape_ = false;
    QTimer hoverTimer_, scrollTimer_;
    QPoint hoverPoint_;
    uint32_t scrollTicks_ = 0;
    QPersistentModelIndex dropHighlight_;
};

}  // namespace contacts
