// The program keeps its texts in the ANSI code page (936); the windows show them as Qt strings.
#pragma once

#include <QString>
#include <string>

#include "platform/codepage.h"

namespace calls {

inline QString AnsiQ(const std::string& s) { return QString::fromStdU16String(plat::ToUtf16(s, 936)); }
inline QString AnsiQ(const char* s) { return AnsiQ(std::string(s ? s : "")); }
inline std::string ToAnsi(const QString& s) { return plat::FromUtf16(s.toStdU16String(), 936); }

}  // namespace calls
