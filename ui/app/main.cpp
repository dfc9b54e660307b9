// The program tessaly: the application shell's start, event loop and release.
#include "ui/chat/chat_window.h"
#include "ui/shell/app_start.h"

int main(int argc, char** argv) {
    chat::InstallChat();
    return shell::RunTessaly(argc, argv);
}
