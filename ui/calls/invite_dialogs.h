// The conference chooser (candidates and invite list) and the chat invitation dialog.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/addrbook_query.h"
#include "service/presence_notice.h"
#include "ui/calls/calls_logic.h"

class QCheckBox;
class QGroupBox;
struct AsRequest;

struct Account;

namespace calls {

// The chooser's own message: wParam 0 acts as a click on a selected candidate, 1 on a selected invitee.
inline constexpr UINT kMsgInviteSelect = 0x0400 + 1034;

class CConfInviteDlg : public QDialog {
    Q_OBJECT
public:
    // result(confirmed): the frame answers by taking the chosen people (GetSelected) and closing it.
    CConfInviteDlg(QWidget* parent, int mode, std::function<void(bool confirmed)> result);
    int GetMode() const { return mode_; }
    void SetCandidates(std::vector<std::unique_ptr<CInvitee>> people);
    void GetSelected(std::vector<std::unique_ptr<CInvitee>>* out);
    void Invite();  // the selected candidate to the invite list
    void Reject();  // the selected chosen person back
    void Confirm();
    void OnLanguageChanged();
    // A click on the candidates (0) or the invite list (1), with or without a selected item.
    void ListClicked(int list, bool selected);
    // Messages to the chooser (kMsgInviteSelect); false for any other.
    bool Message(UINT message, WPARAM wParam, LPARAM lParam);
    QCheckBox* CheckBox() const { return check_; }
    QListWidget* Candidates() const { return candidates_; }
    QListWidget* Chosen() const { return chosen_; }
    QPushButton* InviteButton() const { return invite_; }
    QPushButton* RejectButton() const { return reject_; }
    std::function<void(const QString&)> box;  // "Please select invite buddy!"

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void reject() override;

private:
    void Move(QListWidget* from, std::vector<Candidate>& source, QListWidget* to, std::vector<Candidate>& target);
    QListWidgetItem* MakeItem(const Candidate& c) const;
    int mode_;
    std::function<void(bool)> result_;
    std::vector<Candidate> candidates, chosen;
    int nextHandle_ = 1;
    QListWidget *candidates_, *chosen_;
    QPushButton *invite_, *reject_, *ok_, *cancel_;
    QLabel *buddyLabel_, *inviteLabel_;
    QGroupBox* group_;
    QCheckBox* check_;
};

class CInviteToConfDlg : public QDialog {
    Q_OBJECT
public:
    // members: the chat's member uids; invite(records, text) is the chat window's InviteUsers.
    CInviteToConfDlg(QWidget* parent, Account* account, std::set<int32_t> members,
                     std::function<void(const std::vector<const PresenceBuddyRecord*>&, const std::string&)> invite);
    ~CInviteToConfDlg() override;
    // 0x7E8: the caption and the buttons take the texts the chat window gave (SetTexts).
    void OnLanguageChanged();
    void AddCandidate(const PresenceBuddyRecord& record);
    // WM_PRESENCE_BUDDY, forwarded by the chat window: a record adds a new buddy; null removes the buddy
    // with that alias.
    void OnPresenceBuddy(const char* alias, const PresenceBuddyRecord* record);
    void Confirm();
    // The header, caption, confirm and cancel texts, shown from the start and on each 0x7E8.
    void SetTexts(const QString& header, const QString& caption, const QString& ok, const QString& cancel);
    QString HeaderText() const;
    QString ConfirmText() const;
    QString CancelText() const;
    QListWidget* List() const { return list_; }
    QLineEdit* Message() const { return text_; }
    const PresenceBuddyRecord& RecordAt(int row) const { return records_[static_cast<size_t>(list_->item(row)->data(Qt::UserRole).toInt())]; }

protected:
    // The chat window's messages: WM_PRESENCE_BUDDY and WM_LANGUAGE_CHANGED.
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    bool Listed(int32_t uid) const;
    QString headerText_, captionText_, okText_, cancelText_;
    std::set<int32_t> members_;
    std::function<void(const std::vector<const PresenceBuddyRecord*>&, const std::string&)> invite_;
    std::vector<PresenceBuddyRecord> records_;
    std::vector<std::string> contactIds_;  // beside records_: the book id of each buddy's contact
    QListWidget* list_;
    QLabel* header_;
    QLineEdit* text_;
    QPushButton *ok_, *cancel_;
    std::function<void(const AsRequest*)> previousAsResult_;
};

}  // namespace calls
