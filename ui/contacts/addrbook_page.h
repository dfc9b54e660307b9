// CAddressBookDlg: the "Contacts" page with its three stacked panes (My contacts, My cards, Groups),
// each a tree of store nodes; it turns tree commands into frame commands and server requests.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <vector>

#include "ui/contacts/addrbook_host.h"
#include "ui/contacts/addrbook_logic.h"
#include "ui/contacts/buddy_tree.h"
#include "ui/contacts/card_tree.h"
#include "ui/contacts/group_tree.h"
#include "ui/shell/pages.h"

class CStyledButton;
class CHyperLink;
class QLabel;

namespace contacts {

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
    // Rename of a node to a text (the label editor's end); the labels of the edited item's siblings
    // in the tree, in order.
    bool Rename(AddrNode* node, const QString& text, const QStringList& siblingLabels = {});
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
    void RebuildFrom(CBookTree* tree, AddrNode* root, AddrNode* start);
    void ShowPane(int pane);
    void LayoutPanes();
    void SlideStep();
    void PlaceTrees();
    int HeaderRest(int button, int pane) const;
    void Dial(uint32_t type, AddrNode* node);
    // The Groups tree's call of its selection.
    void DialGroupMember(uint32_t type, AddrNode* node);
    void Chat(AddrNode* node);
    void ToggleBlock();
    void ShowDetails();
    void LoadImages(bool allHeaders);

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
