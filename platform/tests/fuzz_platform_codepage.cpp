// Fuzz target: code page conversions never overrun and round-trip UTF-16 through GB18030.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const UINT pages[] = {CP_ACP, 936, 54936, CP_UTF8};
  UINT cp = pages[data[0] % 4];
  int room = data[1];
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  std::vector<WCHAR> wide(static_cast<size_t>(room) + 1);
  MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), wide.data(), room);
  int need = MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), static_cast<WCHAR*>(nullptr), 0);
  std::u16string u = plat::ToUtf16(text, cp);
  if (need != static_cast<int>(u.size())) __builtin_trap();

  std::vector<char> narrow(static_cast<size_t>(room) + 1);
  WideCharToMultiByte(936, 0, u.data(), static_cast<int>(u.size()), narrow.data(), room, nullptr, nullptr);
  if (!u.empty()) {
    // GB18030 covers all of Unicode: valid UTF-16 survives the round trip. The system's converter
    // follows GB18030-2022, which dropped a few private-use code points: those may come back as '?'.
    bool valid = true;
    for (size_t i = 0; i < u.size(); ++i) {
      char16_t c = u[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
        ++i;
      } else if ((c >= 0xD800 && c <= 0xDFFF) || (c >= 0xE000 && c <= 0xF8FF)) {
        valid = false;
      }
    }
    if (valid && plat::ToUtf16(plat::FromUtf16(u, 54936), 54936) != u) __builtin_trap();
  }
  return 0;
}
