// The offscreen application and the fresh profile folder that the shell's widget tests start from.
#pragma once

#include <QApplication>
#include <cstdlib>
#include <string>

namespace shelltest {

// One QApplication per test program, drawing offscreen.
inline QApplication* StartOffscreenApp() {
    static int argc = 1;
    static char arg0[] = "tessaly_shell_test";
    static char* argv[] = {arg0, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
}

// A new empty folder /tmp/tessaly_<tag>_XXXXXX ("" when none can be made).
inline std::string NewTempFolder(const std::string& tag) {
    std::string pattern = "/tmp/tessaly_" + tag + "_XXXXXX";
    const char* made = mkdtemp(pattern.data());
    return made ? std::string(made) : std::string();
}

}  // namespace shelltest
