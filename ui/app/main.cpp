// The program tessaly: the application shell's start, event loop and release.
#include "ui/calls/calls_shell_hook.h"
#include "ui/calls/invite_dialogs.h"
#include "ui/chat/chat_window.h"
#include "ui/contacts/frame_link.h"
#include "ui/shell/app_start.h"
#include "ui/shell/shell_config.h"

namespace {

// The chat window's Invite runs the calls windows' invitation dialog; the two meet only here.
void RunChatInvitation(QWidget* parent, Account* account, std::set<int32_t> members, ChatWindowHookSet::InviteFn invite) {
    calls::CInviteToConfDlg dialog(parent, account, std::move(members), std::move(invite));
    auto text = [](const char* key, const QString& fallback) {
        const QString t = shell::LangText("invite_dlg", key, "");
        return t.isEmpty() ? fallback : t;
    };
    dialog.SetTexts(text("header", QString()), text("title", QStringLiteral("Invite to chat")),
                    text("confirm", shell::LangText("dlg_common", "IDOK", "&OK")),
                    text("cancel", shell::LangText("dlg_common", "IDCANCEL", "&Cancel")));
    dialog.exec();
}

}  // namespace

int main(int argc, char** argv) {
    calls::RegisterWithShell();
    contacts::InstallInFrame();  // the address book's Contacts page and its messages
    chat::InstallChat();
    ChatWindowHooks().invite = RunChatInvitation;
    return shell::RunTessaly(argc, argv);
}
