// Keeps the installation's skin ini as it was: chat windows write their placement there when they close.
#pragma once

#include <string>

#include "platform/fs.h"
#include "ui/shell/shell_config.h"

class SkinIniGuard {
 public:
    SkinIniGuard() : path_(shell::Paths().skinIni) { had_ = plat::ReadFile(path_, &bytes_); }
    ~SkinIniGuard() {
        if (had_) plat::WriteFileAtomic(path_, bytes_);
    }

 private:
    std::string path_, bytes_;
    bool had_ = false;
};
