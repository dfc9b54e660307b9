// The program tessaly: the application shell's start, event loop and release.
#include "ui/calls/calls_shell_hook.h"
#include "ui/shell/app_start.h"

int main(int argc, char** argv) {
    calls::RegisterWithShell();
    return shell::RunTessaly(argc, argv);
}
