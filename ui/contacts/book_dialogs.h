// The address book's dialogs: adding and editing a local contact, adding a service contact, the own
// nickname, the block list, contact details and the search for users and chat groups.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <vector>

#include "ui/contacts/addrbook_logic.h"

class QCheckBox;
class QFormLayout;

class QLabel;
class QPaintEvent;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QGroupBox;
class CHyperLink;
class CAsChatQueue;
class CAsNameList;
class CAsResultList;

namespace contacts {

class BookHost;

// A local contact (a card) with its numbers and addresses.
class CAddUserDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAddUserDlg(bool editMode, QWidget* parent = nullptr, BookHost* host = nullptr);
    void SetCard(const CardFields& fields);
    CardFields Card() const;
    AddUserFields Fields() const { return fields_; }
    void SetFields(const AddUserFields& fields);
    QLineEdit* Edit(int id) const;
    void accept() override;

private:
    void Retext();
    bool editMode_;
    BookHost* host_;
    AddUserFields fields_;
    QLineEdit *email_, *mobile_, *name_, *office_, *home_, *service_, *voip_;
    QLabel *nameLabel_, *homeLabel_, *officeLabel_, *mobileLabel_, *mailLabel_, *serviceLabel_, *voipLabel_;
    QPushButton *ok_, *cancel_;
};

// The account id of a service user to add as a buddy.
class CAddBrindleContactDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAddBrindleContactDlg(QWidget* parent = nullptr, BookHost* host = nullptr);
    QString AccountId() const { return id_; }
    QLineEdit* IdEdit() const { return edit_; }
    void accept() override;

private:
    BookHost* host_;
    QString id_;
    QLineEdit* edit_;
};

class CNicknameDlg : public QDialog {
    Q_OBJECT
public:
    explicit CNicknameDlg(const QString& oldNickname, QWidget* parent = nullptr);
    QString NewNickname() const;
    QLineEdit* NewEdit() const { return new_; }

private:
    QLineEdit *old_, *new_;
};

// Buddies allowed and blocked; moves follow the server's answers.
class CBlockListDlg : public QDialog {
    Q_OBJECT
public:
    explicit CBlockListDlg(BookHost* host, QWidget* parent = nullptr);
    ~CBlockListDlg() override;
    void Block();
    void Unblock();
    // The frame's forward of a BLK (13) or UBLK (14) success for a buddy id.
    int OnResult(int what, const QString& id);
    QListWidget* AccessList() const { return access_; }
    QListWidget* BlockedList() const { return blocked_; }

private:
    void Fill();
    void ShowLists();
    BookHost* host_;
    std::vector<NamedEntry> accessEntries_, blockedEntries_;
    QListWidget *access_, *blocked_;
    QCheckBox* popedom_;
    QPushButton* ok_;
};
// The block list that is open (the frame forwards results to it), or null.
CBlockListDlg* OpenBlockList();

struct ContactDetails {
    QString displayName, nickname, account, mobile, office, home, email, introduction, website;
};

class CContactDetailDlg : public QDialog {
    Q_OBJECT
public:
    explicit CContactDetailDlg(QWidget* parent = nullptr, BookHost* host = nullptr);
    void SetDetails(const ContactDetails& details);
    ContactDetails Details() const;
    QLineEdit* DisplayNameEdit() const { return displayName_; }
    void OpenWebsite();
    void accept() override;
    void OnLanguageChanged();  // the texts of the new language

private:
    BookHost* host_;
    QFormLayout* form_;
    QPushButton *ok_, *cancel_;
    QString website_;
    QLineEdit *displayName_, *nickname_, *account_, *mobile_, *office_, *home_, *email_, *introduction_;
    CHyperLink* link_;
};

// The search dialog's busy mark: the program's idle picture (245) while idle, the frames of its busy
// animation (246, square frames side by side) while a search runs.
class CBusyMark : public QWidget {
    Q_OBJECT
public:
    explicit CBusyMark(QWidget* parent = nullptr);
    void SetStep(int step);  // -1 idle
    QSize sizeHint() const override { return {40, 32}; }
    int Frames() const { return static_cast<int>(frames_.size()); }
    // The picture shown now (null when its resource is missing).
    QPixmap Shown() const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    int step_ = -1;
    QPixmap idle_;
    std::vector<QPixmap> frames_;
};

// Search for users and chat groups; modeless, one at a time.
class CSearchDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSearchDlg(BookHost* host, QWidget* parent = nullptr);
    ~CSearchDlg() override;
    void SetContactMode();
    void SetGroupMode();
    bool ContactMode() const { return contactMode_; }
    void FindUsers();
    void FindGroups();
    void AddBuddy();
    // Join the selected group under profile entry n (0-4), or with a chosen identity (-1).
    void JoinWith(int n);
    // The frame's posts: user and group search results and the join answer.
    void OnUserResult(int code, CAsNameList* result);
    void OnGroupResult(int code, CAsResultList* result);
    void OnJoinResult(int code, CAsChatQueue* queue);
    bool Busy() const { return busy_.isActive(); }
    void BusyTick();
    // Entries of the list's context menu: {command, text, enabled}.
    struct MenuEntry {
        int command;
        QString text;
        bool enabled;
    };
    std::vector<MenuEntry> MenuEntries() const;
    QTreeWidget* Results() const { return list_; }
    // The tip a result row shows at that point of the list's viewport: the row's first column in full
    // when its column cuts it short, else empty.
    QString InfoTipAt(const QPoint& viewportPos) const;
    QLineEdit* UserIdEdit() const { return uid_; }
    QLineEdit* NickEdit() const { return uname_; }
    QLineEdit* GroupIdEdit() const { return gid_; }
    QLineEdit* GroupNameEdit() const { return gname_; }
    QRadioButton* ByUserId() const { return byUid_; }
    QRadioButton* ByNick() const { return byNick_; }
    QRadioButton* ByGroupId() const { return byGid_; }
    QRadioButton* ByGroupName() const { return byGname_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* FindUsersButton() const { return findUsers_; }
    QPushButton* FindGroupsButton() const { return findGroups_; }
    QPushButton* AdvancedButton() const { return advanced_; }
    QPushButton* CloseButton() const { return close_; }
    QGroupBox* StyleBox() const { return styleBox_; }
    static constexpr int kSearchMargin = 8, kSearchButtonWidth = 110;
    // The width of every button: the widest text's, at least kSearchButtonWidth.
    int ButtonWidth() const;
    // Password and identity prompts of a join; tests replace them.
    std::function<bool(QString* password)> askPassword;
    std::function<bool(bool needPassword, int* index, QString* password)> askIdentity;

    // Texts again after a language switch (column titles follow the mode).
    void OnLanguageChanged();
    // Enter runs the find of the current mode; Cancel and Escape close the dialog.
    void accept() override;
    void reject() override;

protected:
    void contextMenuEvent(QContextMenuEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void LayoutControls();
    void Retext();
    void StartBusy();
    void StopBusy();
    void ReleaseGroups();
    void UpdateAddButton();
    BookHost* host_;
    bool contactMode_ = false;
    int ticks_ = 0;
    QTimer busy_;
    std::vector<std::unique_ptr<CAsChatQueue>> groups_;  // the rows' records, held by the dialog
    // The list's small pictures: the skin's offline and online user; every row shows the first.
    std::vector<QIcon> rowImages_;
    QGroupBox *conditionBox_, *styleBox_;
    QRadioButton *contactRadio_, *groupRadio_, *byUid_, *byNick_, *byGid_, *byGname_;
    QLineEdit *uid_, *uname_, *gid_, *gname_;
    QLabel* tip_;
    CBusyMark* busyLabel_;
    QPushButton *findUsers_, *findGroups_, *advanced_, *add_, *close_;
    QTreeWidget* list_;
};
// The one search dialog (null when none is open); OpenSearch makes and shows it.
CSearchDlg* SearchDialog();
CSearchDlg* OpenSearch(BookHost* host);
// Destroys the search dialog, when there is one (at sign-out).
void CloseSearch();

// The frame's contact commands.
void OnNewUser(BookHost* host);
void OnAddContact(BookHost* host);
void OnModifyNickname(BookHost* host, const QString& current);
void OnBlockList(BookHost* host);
// Delete: a contact asks and requests REM, a card RML, a group RMG (with a second question when
// it has members); other nodes nothing. New group: ADG under the contact root with a free name.
void OnDeleteNode(BookHost* host, AddrNode* node);
void OnNewGroup(BookHost* host);
// The new group's name: the base name, else the base name with 1, 2, ... that no group right
// under the contact root carries.
std::string FreeGroupName(const std::string& base);

}  // namespace contacts
