// CAddressBookDlg: the "Contacts" page with its three stacked panes (My contacts, My cards, Groups),
// each a tree of store nodes; it turns tree commands into frame commands and server requests.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QTreeWidget>
#include <memory>
#include <string>
#include <vector>

#include "ui/contacts/addrbook_host.h"
#include "ui/contacts/addrbook_logic.h"
#include "ui/shell/pages.h"

class TrelMenu;
class CStyledButton;
class CHyperLink;
class CPopupTipWnd;
class QLabel;

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
    void RefreshItem(QTreeWidgetItem* item);
    void SetImages(const std::vector<QPixmap>* images) { images_ = images; }
    void ApplyImage(QTreeWidgetItem* item, int image);
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
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;
    void AddDialEntries(TrelMenu* menu, AddrNode* node, bool greyAll);
    // A left press right of the item's label: taken and ignored (true).
    bool PressBesideLabel(QTreeWidgetItem* item, QMouseEvent* e);
    CAddressBookDlg* page_;
    int tree_;
    const std::vector<QPixmap>* images_ = nullptr;
    bool bookkeeping_ = false;
    QTreeWidgetItem* renaming_ = nullptr;  // the item whose label editor is open
};

class CBuddyTreeCtrl : public CBookTree {
    Q_OBJECT
public:
    explicit CBuddyTreeCtrl(CAddressBookDlg* page);
    void BuildMenu(TrelMenu* menu, AddrNode* node) override;
    void OnMenuCommand(int command) override;
    // Drop of the dragged node on the node under the point; leftEdge: within 20 px of the left edge.
    DropDecision Drop(AddrNode* source, AddrNode* hit, bool leftEdge);
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
    QTimer hoverTimer_, scrollTimer_;
    QPoint hoverPoint_;
    uint32_t scrollTicks_ = 0;
    QPersistentModelIndex dropHighlight_;
};

class CContactTreeCtrl : public CBookTree {
    Q_OBJECT
public:
    explicit CContactTreeCtrl(CAddressBookDlg* page) : CBookTree(TREE_CARD, page) {}
    void BuildMenu(TrelMenu* menu, AddrNode* node) override;
    void OnMenuCommand(int command) override;
};

class CGroupTreeCtrl : public CBookTree {
    Q_OBJECT
public:
    explicit CGroupTreeCtrl(CAddressBookDlg* page);
    ~CGroupTreeCtrl() override;
    void BuildMenu(TrelMenu* menu, AddrNode* node) override;
    void OnMenuCommand(int command) override;
    void OnDoubleClick(AddrNode* node) override;
    // A click on an item's icon: default groups do nothing; a group without members gets a busy
    // indicator and one member query; others toggle.
    void ClickIcon(QTreeWidgetItem* item);
    // The member-query answer of a group arrived: its indicator goes.
    void RemoveGroupById(const char* id);
    int IndicatorCount() const { return static_cast<int>(indicators_.size()); }
    // The node of a model index (the group labels' painting).
    AddrNode* NodeAt(const QModelIndex& index) const { return NodeOf(itemFromIndex(index)); }
    // Only the icon and the label are the item; the rest of its row is empty space.
    bool HitsItem(QTreeWidgetItem* item, const QPoint& point) const override;

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void PlaceIndicators();
    // The indicators and their records, one each; the record's key is the indicator's id.
    std::vector<QPointer<CPopupTipWnd>> indicators_;
    std::vector<std::unique_ptr<CGroupTreeItem>> records_;
    unsigned nextKey_ = 1;
};

class CAddressBookDlg : public CNqPropertyPage {
    Q_OBJECT
public:
    explicit CAddressBookDlg(BookHost* host = nullptr, QWidget* parent = nullptr);
    ~CAddressBookDlg() override;
    BookHost* Host() const { return host_; }

    AddrNode* GetSelectedItemData() const;
    // Refresh a tree from the store; id null: the whole tree, else the subtree of that node.
    void RebuildBuddyTree(const char* id, const char* parentId = nullptr);
    void RebuildContactTree(const char* id);
    void RebuildGroupTree(const char* id);
    // A messaging identity's presence changed in the store.
    void OnPresenceChanged(AddrNode* identity);
    // Before nodes are freed: their items go first.
    void ForgetNode(AddrNode* node);
    void ShowContactPane() { ShowPane(0); }
    void ShowCardPane() { ShowPane(1); }
    void ShowGroupPane() { ShowPane(2); }
    int Pane() const { return m_pane; }
    bool Sliding() const { return slide_.isActive(); }
    void FinishSlide();

    void DeleteSelectedItem();
    void AddByKind();
    void EditSelectedCard();
    void SendSmsToSelection();
    void StartConferenceWithSelection();
    void AddSelectionToConference();
    void InviteSelectionToConference();
    void RefreshSelectedGroup();
    void AddSelectedMemberAsBuddy();
    void QuitSelectedGroup();
    void RequestGroupOperation(int mode);
    int GetSelectedGroupClass() const;
    void SendTextToSelectedGroup(const QString& text);

    // The page's messages: dial, hang-up, chat, block toggle, details, group-tree call and chat.
    LRESULT Dispatch(unsigned message, uintptr_t wParam, intptr_t lParam);
    CHyperLink* ShareLink() const { return link_; }
    // Rename of a node to a text (the label editor's end).
    bool Rename(AddrNode* node, const QString& text);
    // Sets the dial and hang-up buttons from the selection; false while a rebuild is under way.
    bool OnSetActive();
    bool DialOn() const { return dialOn_; }

    CBuddyTreeCtrl* BuddyTree() const { return buddyTree_; }
    CContactTreeCtrl* CardTree() const { return cardTree_; }
    CGroupTreeCtrl* GroupTree() const { return groupTree_; }
    CBookTree* ActiveTree() const;
    const BookWords& Words() const { return words_; }
    bool AccountDisplay() const { return m_accountDisplay != 0; }
    int SortType() const;

    QString TabTitle() const override;
    int TabImage() const override { return 1; }
    void OnLanguageChanged() override;
    void OnSkinChanged() override;
    // Log-off: the trees go first, then the group flags are saved and the store is emptied.
    void OnLogoffClose();
    QString Text(const char* key, const char* builtIn) const;

protected:
    void resizeEvent(QResizeEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

protected:
    void showEvent(QShowEvent* e) override;

private:
    void Rebuild(CBookTree* tree, int rootIndex, const char* id, const char* parentId);
    void ShowPane(int pane);
    void LayoutPanes();
    void SlideStep();
    void PlaceTrees();
    int HeaderRest(int button, int pane) const;
    void Dial(uint32_t type, AddrNode* node);
    void Chat(AddrNode* node);
    void ToggleBlock();
    void ShowDetails();
    void LoadImages();

    BookHost* host_;
    CStyledButton *addButton_, *contactHeader_, *cardHeader_, *groupHeader_;
    CHyperLink* link_;
    QLabel* picture_;
    CBuddyTreeCtrl* buddyTree_;
    CGroupTreeCtrl* groupTree_;
    CContactTreeCtrl* cardTree_;
    std::vector<QPixmap> images_;
    QImage commend_;
    BookWords words_;
    int m_firstLanguageLoad = 1;
    int m_suppressActivate = 0;
    uint32_t m_pane = 0;
    int m_accountDisplay = 0;
    QTimer slide_;
    int slideTarget_ = 0;
    bool dialOn_ = false;
};

// The page of the running frame (null when there is none); the replies rebuild through it.
CAddressBookDlg* BookPage();

}  // namespace contacts
