// The program tessaly: the application shell's start, event loop and release.
#include "ui/contacts/frame_link.h"
#include "ui/shell/app_start.h"

int main(int argc, char** argv) {
    contacts::InstallInFrame();  // the address book's Contacts page and its messages
    return shell::RunTessaly(argc, argv);
}
