// The program tessaly: the application shell's start, event loop and release.
#include "ui/calls/calls_logic.h"
#include "ui/calls/calls_shell_hook.h"
#include "ui/calls/invite_dialogs.h"
#include "ui/chat/chat_book.h"
#include "ui/chat/chat_emoticon_popup.h"
#include "ui/chat/chat_sms_dialogs.h"
#include "ui/chat/chat_window.h"
#include "ui/contacts/addrbook_host.h"
#include "ui/contacts/book_dialogs.h"
#include "ui/contacts/frame_link.h"
#include "ui/controls/toolbar_ex.h"
#include "ui/shell/app_start.h"
#include "ui/shell/shell_config.h"

namespace {

// The chat window's Invite runs the calls windows' invitation dialog; the two meet only here.
QDialog* MakeChatInvitation(QWidget* parent, Account* account, std::set<int32_t> members, ChatWindowHookSet::InviteFn invite) {
    return new calls::CInviteToConfDlg(parent, account, std::move(members), std::move(invite));
}
void SetChatInvitationTexts(QDialog* dialog, const QStringList& texts) {
    if (auto* invite = qobject_cast<calls::CInviteToConfDlg*>(dialog); invite && texts.size() == 4)
        invite->SetTexts(texts[0], texts[1], texts[2], texts[3]);
}

// The chat window's picture menu shows the peer's contact details.
void ShowMemberDetails(QWidget* parent, const std::string& userId) {
    chat::BookContactInfo info;
    if (!chat::BookContactDetails(userId, &info)) return;
    auto text = [](const std::string& t) { return chat::FromAnsi(t); };
    contacts::ContactDetails d;
    d.displayName = text(info.nick);
    d.nickname = text(info.name);
    d.account = text(info.id);
    d.mobile = text(info.mobile);
    d.office = text(info.office);
    d.home = text(info.home);
    d.email = text(info.email);
    contacts::CContactDetailDlg dialog(parent);
    dialog.SetDetails(d);
    dialog.exec();
}

// The address book's Chat command opens a chat window with the chosen contacts.
void OpenChatFromBook(int type, const std::vector<AddrNode*>& identities) {
    const std::vector<PresenceBuddyRecord> members = chat::BookMembers(identities);
    if (members.empty()) return;
    chat::Registry()->OpenChat(type == 0 && members.size() == 1 ? CHAT_ONE : CHAT_SEVERAL, &members, nullptr, nullptr, 1);
}

}  // namespace

int main(int argc, char** argv) {
    calls::RegisterWithShell();
    contacts::InstallInFrame();  // the address book's Contacts page and its messages
    chat::InstallChat();
    ChatWindowHooks().invite = MakeChatInvitation;
    ChatWindowHooks().inviteTexts = SetChatInvitationTexts;
    // A customisable toolbar's emoticon button opens the chat windows' picker under it (pressed, not yet released).
    CToolBarEx::SetEmoticonPicker([](QPoint at, QWidget* owner, unsigned value) -> QWidget* {
        auto* popup = new CEmoticonPopup(owner, static_cast<int>(value));
        popup->move(at);
        popup->show();
        return popup;
    });
    ChatWindowHooks().contactDetails = ShowMemberDetails;
    contacts::ChatOpener() = OpenChatFromBook;
    contacts::GroupMessenger().ask = [](QWidget* parent, QString* text) {
        CGroupMessageDlg dialog(parent);
        if (dialog.exec() == QDialog::Rejected) return false;
        *text = dialog.m_strMessage.left(200);
        return true;
    };
    contacts::GroupMessenger().send = [](const QString& text, const std::vector<AddrNode*>& identities) {
        return chat::SendGroupText(chat::Registry(), chat::ToAnsi(text), identities);
    };
    // The call windows' "send message" opens the one-to-one chat with the buddy.
    calls::ChatOpener() = [](const PresenceBuddyRecord& member) {
        const std::vector<PresenceBuddyRecord> members{member};
        chat::Registry()->OpenChat(CHAT_ONE, &members, nullptr, nullptr, 1);
    };
    return shell::RunTessaly(argc, argv);
}
