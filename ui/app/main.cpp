// The program tessaly: the application shell's start, event loop and release.
#include "ui/shell/app_start.h"

int main(int argc, char** argv) { return shell::RunTessaly(argc, argv); }
