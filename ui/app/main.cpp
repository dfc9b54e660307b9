// The program tessaly: the application shell's start, event loop and release.
#include "ui/calls/calls_shell_hook.h"
#include "ui/chat/chat_window.h"
#include "ui/contacts/frame_link.h"
#include "ui/shell/app_start.h"

int main(int argc, char** argv) {
    calls::RegisterWithShell();
    contacts::InstallInFrame();  // the address book's Contacts page and its messages
    chat::InstallChat();
    return shell::RunTessaly(argc, argv);
}
