// The frame's host of the address-book windows: the real frame, the access-server client and the desktop.
#include "ui/contacts/addrbook_host.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QDialog>
#include <QMessageBox>
#include <QUrl>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "platform/msgqueue.h"
#include "service/as_client.h"
#include "ui/contacts/addrbook_logic.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/addrbook_replies.h"
#include "ui/contacts/book_dialogs.h"
#include "ui/shell/call_windows_hook.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/pages.h"
#include "ui/shell/shell_config.h"

namespace contacts {

namespace {
QAbstractButton* DialButton() {
    CMainFrame* frame = MainFrame();
    return frame ? frame->findChild<QAbstractButton*>("dialBarCall") : nullptr;
}
}  // namespace

int BookHost::PresenceStatus() const {
    CMainFrame* frame = MainFrame();
    return frame && frame->StatusBar() ? frame->StatusBar()->GetStatus() : 1;
}

bool BookHost::DialEnabled() const {
    QAbstractButton* b = DialButton();
    return b && b->isEnabled();
}

bool BookHost::BusyCallPage() const {
    // A page that ended, or shows its end, holds no call the buttons could reach.
    CMainFrame* frame = MainFrame();
    return frame && frame->Calls() && (frame->Calls()->AnyTalking() || frame->Calls()->AnyUnanswered());
}

bool BookHost::TalkingCallPage() const {
    CMainFrame* frame = MainFrame();
    return frame && frame->Sheet() && frame->Sheet()->AnyTalking();
}

bool BookHost::AnyCallPage() const {
    CMainFrame* frame = MainFrame();
    return frame && frame->Sheet() && frame->Sheet()->AnyCallPage();
}

bool BookHost::IsCallingSelf(const QString& number) {
    // The frame's check: the number, with the account domain when it has none, against the SIP account.
    const Account* sip = Account_FindByType(ACCOUNT_TYPE_SIP);
    const std::string own = sip && sip->userName ? sip->userName : "";
    std::string domain = shell::ConfigString("service", "brindle_name", "");
    if (!domain.empty() && domain[0] == '@') domain.erase(0, 1);
    if (domain.empty() && own.find('@') != std::string::npos) domain = own.substr(own.find('@') + 1);
    if (!shell::IsCallingSelf(ToAnsi(number).substr(0, 259), domain, own)) return false;
    Box(shell::LangText("dial_dialog", "msg_call_fail", "Can't call yourself!"), shell::LangText("dial_dialog", "msg_title", ""));
    return true;
}

bool BookHost::ShowCallPage(const QString& number) {
    // The calls windows show the number's call page when it has one.
    CMainFrame* frame = MainFrame();
    return frame && frame->Calls() && frame->Calls()->ShowCallPageFor(number.toStdString());
}

void BookHost::CallContact(AddrNode* node, uint32_t type, const QString& number) {
    CMainFrame* frame = MainFrame();
    if (!frame) return;
    // A contact's identity of that type is called through the frame's contact call; a card's, or a
    // further identity of the same type, by its number.
    bool byContact = false;
    if (node && node->kind == ADDR_KIND_CONTACT) {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        const char* own = AddrBook_GetIdentityAddress(node, type);
        byContact = own && FromAnsi(own) == number;
    }
    if (byContact) frame->CallContact(node, type);
    else frame->CallNumber(number);
}

std::function<void(int, const std::vector<AddrNode*>&)>& ChatOpener() {
    static std::function<void(int, const std::vector<AddrNode*>&)> opener;
    return opener;
}

void BookHost::OpenChat(int type, const std::vector<AddrNode*>& identities) {
    if (ChatOpener()) ChatOpener()(type, identities);
    else DebugTrace(MOD_SYSTEM, 3, "address book: no chat window to open (%d members)", static_cast<int>(identities.size()));
}

GroupMessageHooks& GroupMessenger() {
    static GroupMessageHooks hooks;
    return hooks;
}

int BookHost::SendGroupText(const QString& text, const std::vector<AddrNode*>& identities) {
    if (GroupMessenger().send) return GroupMessenger().send(text, identities);
    DebugTrace(MOD_SYSTEM, 3, "address book: no messaging to send a group text (%d members)", static_cast<int>(identities.size()));
    return -1;
}

void BookHost::OpenSms(int op, const std::string& id) {
    // The SMS window copies the id text before the call returns.
    if (HWND frame = g_hMainWnd.load()) SendMessage(frame, WM_OPEN_SMS, static_cast<WPARAM>(op), reinterpret_cast<LPARAM>(id.c_str()));
}

void BookHost::FrameCommand(int command, AddrNode* node) {
    switch (command) {
        case CMD_ADD_TO_CONFERENCE:
            // The chosen contact goes with the command to the calls windows.
            if (CMainFrame* frame = MainFrame(); frame && frame->Calls() && frame->Calls()->AddUserToConference(node)) return;
            break;
        case CMD_NEW_GROUP: OnNewGroup(this); return;
        case CMD_DELETE_GROUP:
        case CMD_DELETE_USER: OnDeleteNode(this, node); return;
        case CMD_NEW_USER: OnNewUser(this); return;
        case CMD_ADD_CONTACT: OnAddContact(this); return;
        case CMD_SEARCH: OpenSearch(this); return;
        case CMD_BLOCK_LIST: OnBlockList(this); return;
        case CMD_MODIFY_NICKNAME: OnModifyNickname(this, FromAnsi(Own().displayName.c_str())); return;
        default: break;
    }
    if (HWND frame = g_hMainWnd.load()) PostMessage(frame, 0x0111, static_cast<WPARAM>(command), 0);
}

int BookHost::SendCommand(int command, const char* s1, const char* s2, int i1, const char* s3, const char* s4, int i2) {
    return AS_SendCommand(command, s1, s2, i1, s3, s4, i2);
}

int BookHost::PostRequest(int command, void* data, uint32_t kind) { return AS_PostRequest(command, data, kind); }

void BookHost::OpenUrl(const QString& url) { QDesktopServices::openUrl(QUrl(url)); }

void BookHost::Box(const QString& text, const QString& title, int icon) {
    const QMessageBox::Icon shown = icon == BOX_INFORMATION ? QMessageBox::Information
                                    : icon == BOX_PLAIN     ? QMessageBox::NoIcon
                                                            : QMessageBox::Warning;
    QMessageBox box(shown, title, text, QMessageBox::Ok, MainFrame());
    box.exec();
}

bool BookHost::Ask(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, MainFrame());
    return box.exec() == QMessageBox::Yes;
}

int BookHost::Exec(QDialog* dialog) {
    // Listed with the frame while it runs: the frame's close-all cancels it.
    CMainFrame* frame = MainFrame();
    if (frame) frame->AddToDialogList(dialog);
    const int result = dialog->exec();
    if ((frame = MainFrame())) frame->RemoveFromDialogList(dialog);
    return result;
}

void BookHost::BroadcastToChats(unsigned message, uintptr_t wParam, const std::string& id) {
    if (ChatHooks().blockNotice) ChatHooks().blockNotice(message, wParam, id);  // chat windows
}

bool BookHost::AskGroupMessage(QString* text) {
    if (GroupMessenger().ask) return GroupMessenger().ask(MainFrame(), text);
    DebugTrace(MOD_SYSTEM, 3, "address book: no group message dialog");
    return false;
}

void BookHost::SetDialButtons(bool dial, bool hangup) {
    // Another page in front keeps the buttons it set itself.
    CMainFrame* frame = MainFrame();
    if (!frame || !frame->Sheet() || !BookPage() || frame->Sheet()->currentWidget() != BookPage()) return;
    shell::EnableDialButton(dial);
    shell::EnableHangupButton(hangup);
}

void BookHost::PressDialButton() {
    if (QAbstractButton* b = DialButton(); b && b->isEnabled()) b->click();
}

BookHost* DefaultHost() {
    static BookHost host;
    return &host;
}

}  // namespace contacts
