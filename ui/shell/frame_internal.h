// Small helpers shared by the frame's source files (not part of the shell's interface).
#pragma once

#include <QString>
#include <functional>
#include <mutex>

#include "common/account.h"
#include "platform/codepage.h"

namespace frame_internal {
inline QString Q(const char* s) { return QString::fromUtf8(s ? s : ""); }
// Texts in the ANSI code page (CP936): what the presence core and the access-server records hold.
inline QString Ansi(const char* s) { return QString::fromStdU16String(plat::ToUtf16(s ? s : "", 936)); }

inline void ForEachAccount(const std::function<void(Account*)>& f) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
    for (Account* a = g_accountList; a; a = a->next) f(a);
}
}  // namespace frame_internal
