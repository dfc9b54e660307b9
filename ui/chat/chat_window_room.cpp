// The chat window's room control and the notices from outside it: invitations, invite, kick, end, call,
// block and unblock, and presence changes of the members.
#include "ui/chat/chat_window.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QTextCursor>
#include <QTimer>
#include <cstring>
#include <set>

#include "common/debug.h"
#include "ui/chat/chat_book.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/rich_edit.h"
#include "ui/shell/shell_config.h"

#include "ui/chat/chat_window_internal.h"

using chat::ChatText;
using chat::FromAnsi;
using chat::ToAnsi;
using namespace chatwin;

void CIMDlg::ViewInvitation(const std::string& invitation, int64_t time, bool headed) {
    // "n1,name,n3,text": the inviter's name and the invitation's text, then the two answers. Split as a
    // room's entries are: an empty field in between reads as a blank.
    CChatRoomMessage split;
    split.SplitFields(invitation, ',');
    const QString name = FromAnsi(split.GetSecondEntry(1)), text = FromAnsi(split.GetSecondEntry(3));
    QString line = text.isEmpty() ? shell::FillFormat(shell::LangFormatText("im_dlg", "im_invite2", "%s"), {name})
                                  : shell::FillFormat(shell::LangFormatText("im_dlg", "im_invite1", "%s:%s"), {name, text});
    const int n = static_cast<int>(invitationsAnswered_.size());
    invitationsAnswered_.push_back(false);
    ViewSystemNotice(ToAnsi(line), time, headed);
    // The two answers follow the invitation in its format, as links five blanks apart.
    const QTextCharFormat plain = NoticeFormat();
    QTextCharFormat link = plain;
    link.setAnchor(true);
    link.setForeground(history_->palette().link());
    link.setFontUnderline(true);
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    c.insertText("  ", plain);
    const int from = c.position();
    link.setAnchorHref(QString("agree:%1").arg(n));
    c.insertText(ChatText("im_dlg", "im_agree", "我同意"), link);
    c.insertText(QString(5, QChar::Nbsp), plain);
    link.setAnchorHref(QString("reject:%1").arg(n));
    c.insertText(ChatText("im_dlg", "im_reject", "拒绝参加"), link);
    invitationLinks_.push_back({from, c.position()});
    EndLine();
}

void CIMDlg::ViewRoomClosed() { QTimer::singleShot(0, this, [this] { close(); }); }

void CIMDlg::OnInvite() {
    if (!m_bSessionActive || m_chatType == CHAT_ROOM || !ChatWindowHooks().invite) return;
    std::set<int32_t> members;
    for (const auto& m : m_members) members.insert(m.id);
    QPointer<CIMDlg> self(this);
    QDialog* dialog = ChatWindowHooks().invite(this, m_pAccount, members, [self](const std::vector<const PresenceBuddyRecord*>& chosen, const std::string& extra) {
        if (!self) return;
        std::vector<PresenceBuddyRecord> users;
        for (const PresenceBuddyRecord* r : chosen)
            if (r) users.push_back(*r);
        self->InviteUsers(users, extra);
    });
    if (!dialog) return;
    QPointer<QDialog> running(dialog);
    if (ChatWindowHooks().inviteTexts) ChatWindowHooks().inviteTexts(dialog, inviteTexts_);
    inviteDialog_ = dialog;
    chat::ModalScope scope(this);
    dialog->exec();
    if (self) inviteDialog_ = nullptr;
    delete running.data();
}

void CIMDlg::InviteUsers(const std::vector<PresenceBuddyRecord>& users, const std::string& extra) {
    const bool room = m_chatType == CHAT_TEMP_GROUP || m_chatType == CHAT_GROUP || m_chatType == CHAT_ROOM;
    if (room) m_roomCmd.ClearArgs();
    for (const PresenceBuddyRecord& u : users) {
        if (m_members.size() >= kChatMaxMembers) {
            DebugTrace(MOD_QZ, 3, "Max user(%d) limit ", static_cast<int>(kChatMaxMembers));
            break;
        }
        // A second member turns a one-to-one chat into a several-user chat; no room packet goes out.
        if (!AddMember(&u)) continue;
        if (room) m_roomCmd.AppendId(u.id);
    }
    if (room && !m_roomCmd.args().empty() && m_roomCmd.BuildInvite(extra)) {
        const int sent = m_roomCmd.Send(Connection(), nullptr, 0);
        ViewNotice(sent == 0 ? Text("im_invite", "You invite succeeded") : ResultText(CRC_INVITE, "2"));
        EndLine();
    }
    ViewMembersChanged();
}

void CIMDlg::OnKick() {
    m_roomCmd.ClearArgs();
    for (QListWidgetItem* item : memberList_->selectedItems())
        if (int id = item->data(Qt::UserRole).toInt(); id > 0) m_roomCmd.AppendId(id);
    if (!m_roomCmd.args().empty() && m_roomCmd.BuildKick()) m_roomCmd.Send(Connection(), nullptr, 0);
}

void CIMDlg::OnEnd() {
    hide();
    // Only a room that answered has a session to end.
    if (m_chatType != CHAT_ONE && m_chatType != CHAT_SEVERAL && m_roomState != 0) {
        m_roomState = 1;
        if (m_roomCmd.BuildEnd(1)) m_roomCmd.Send(Connection(), nullptr, 0);
    }
    close();
}

const PresenceBuddyRecord* CIMDlg::RowMember(int id) const {
    for (const PresenceBuddyRecord& m : ListedMembers())
        if (m.id == id) return &m;
    return nullptr;
}

void CIMDlg::OnCall() {
    const PresenceBuddyRecord* target = nullptr;
    if (m_chatType == CHAT_ONE) {
        if (!m_members.empty()) target = &m_members[0];
    } else if (memberList_->selectedItems().size() == 1) {
        target = RowMember(memberList_->selectedItems()[0]->data(Qt::UserRole).toInt());
    }
    if (!target || target->id <= 0 || target->online != 1 || !ChatWindowHooks().callMember) return;
    const PresenceBuddyRecord copy = *target;  // the call may change the member list
    ChatWindowHooks().callMember(copy);
}

const PresenceBuddyRecord* CIMDlg::BlockTarget() const {
    if (m_chatType != CHAT_ONE) {
        const auto rows = memberList_->selectedItems();
        return rows.size() == 1 ? FindMember(rows[0]->data(Qt::UserRole).toInt()) : nullptr;
    }
    return m_members.empty() ? nullptr : &m_members.back();
}

void CIMDlg::OnBlock() {
    const PresenceBuddyRecord* target = blockPending_ ? nullptr : BlockTarget();
    if (!target || target->id <= 0 || !target->userId[0] || !ChatWindowHooks().sendBlock) return;
    const int state = ChatWindowHooks().bookState ? ChatWindowHooks().bookState(target->userId) : -1;
    if (state < 0) return;
    const std::string userId = target->userId;
    const int command = state == 1 ? 14 : 13;
    if (!ChatWindowHooks().sendBlock(command, userId)) return;
    blockPending_ = true;
    blockMember_ = target->id;
    RefreshCommands();
    // The other windows with this member wait for the same answer.
    if (registry_ && !registry_->Lock()) {
        registry_->Broadcast(WM_BLOCK_REQUEST, static_cast<WPARAM>(command), reinterpret_cast<LPARAM>(userId.c_str()));
        registry_->Unlock();
    }
}

LRESULT CIMDlg::OnBlockRequest(const char* userId) {
    if (blockPending_ || !userId || !*userId) return 1;
    const PresenceBuddyRecord* member = nullptr;
    for (const auto& m : m_members)
        if (std::strcmp(m.userId, userId) == 0) member = &m;
    if (!member) return 0;
    blockPending_ = true;
    blockMember_ = member->id;
    // In a several-user window the buttons follow only when that member is the one selected row.
    if (m_chatType != CHAT_ONE) {
        const auto rows = memberList_->selectedItems();
        if (rows.size() != 1 || rows[0]->data(Qt::UserRole).toInt() != member->id) return 1;
    }
    RefreshCommands();
    return 1;
}

LRESULT CIMDlg::OnBlockResult(bool unblock, WPARAM result, const char* userId) {
    const PresenceBuddyRecord* member = nullptr;
    for (const auto& m : m_members)
        if (userId && std::strcmp(m.userId, userId) == 0) member = &m;
    if (!member) return 0;
    if (member->id == blockMember_) blockMember_ = -1;
    blockPending_ = false;
    // The address book holds the new state by now: rows, chooser and title follow it.
    if (result == 0) {
        const QString shown = FromAnsi(member->name) + (unblock ? (member->online != 1 ? BookSuffix(*member) : QString())
                                                               : QString(" (%1)").arg(ChatText("addrbook_dialog", "block", "Block")));
        if (m_chatType != CHAT_ONE) chooserText_[member->id] = shown;
        ViewMembersChanged();
        if (&m_members.back() == member) title_->setText(shown);
    } else {
        ViewNotice(Text(unblock ? "failed_unblock" : "failed_block", unblock ? "解除阻止失败" : "阻止用户失败"));
        EndLine();
    }
    RefreshCommands();
    return 1;
}

LRESULT CIMDlg::OnPresenceChange(WPARAM wParam, const PresenceBuddyRecord* record) {
    // The open invitation dialog keeps its list of buddies from the same notices.
    if (inviteDialog_) {
        WindowMessageEvent forward(WM_PRESENCE_BUDDY, wParam, reinterpret_cast<LPARAM>(record));
        QCoreApplication::sendEvent(inviteDialog_, &forward);
    }
    if (!record) return 0;
    PresenceBuddyRecord* member = nullptr;
    for (auto& m : m_members)
        if (m.id == record->id && m.id != 0) member = &m;
    if (!member) return 0;
    member->online = record->online == 1 ? 1 : 0;
    // The address book's name and contact for the member, as the book holds them now.
    PresenceBuddyRecord fresh = *member;
    if (chat::BookMemberByUid(member->id, &fresh)) {
        std::memcpy(member->name, fresh.name, sizeof member->name);
        std::memcpy(member->userId, fresh.userId, sizeof member->userId);
    }
    if (m_chatType == CHAT_ONE) {
        RefreshPanels();
        RefreshCommands();
        return 1;
    }
    if (m_chatType != CHAT_SEVERAL) return 1;
    // The row and the chooser entry change in place to the same text, so selection and choice stay.
    const QString shown = FromAnsi(member->name) + BookSuffix(*member);
    for (int row = 0; row < memberList_->count(); ++row) {
        QListWidgetItem* item = memberList_->item(row);
        if (item->data(Qt::UserRole).toInt() == member->id) {
            item->setText(shown);
            item->setIcon(MemberIcon(*member, false));
        }
    }
    chooserText_[member->id] = shown;
    if (const int at = recipient_->findData(member->id); at >= 0) recipient_->setItemText(at, shown);
    RefreshCommands();
    return 1;
}

QString CIMDlg::BookSuffix(const PresenceBuddyRecord& m) const {
    // Blocked wins over offline.
    if (m.userId[0] && ChatWindowHooks().bookState && ChatWindowHooks().bookState(m.userId) == 1)
        return QString(" (%1)").arg(ChatText("addrbook_dialog", "block", "Block"));
    if (m.online != 1) return QString(" (%1)").arg(ChatText("addrbook_dialog", "offline", "Offline"));
    return QString();
}
