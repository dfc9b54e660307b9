// Code page conversions (CP936/GBK, GB18030, UTF-8) to and from UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/wintypes.h"

// Supported code pages: CP_ACP (0, a process setting, 936 by default), 936 (GBK),
// 54936 (GB18030) and CP_UTF8 (65001).
//
// Conversion rules (as Windows):
// - srcLen -1 means the source is terminated; the terminator is converted and counted.
// - dstLen 0 returns the size needed (in output units) and writes nothing.
// - Otherwise returns the units written, or 0 with ERROR_INSUFFICIENT_BUFFER when
//   the output does not fit (nothing is written past dstLen).
// - srcLen 0, a null source or an unknown code page: 0 with ERROR_INVALID_PARAMETER.
// - Invalid input is replaced, never an error: bad UTF-8 becomes U+FFFD, bad GBK or
//   GB18030 bytes become '?'; characters the target code page lacks become '?' (or
//   defaultChar), with *usedDefaultChar = TRUE. Unpaired surrogates written as
//   UTF-8 become U+FFFD.
// - Unlike Windows, 936 carries what GBK lacks (emoji, rare ideographs) in GB18030's
//   four-byte form and reads that form back; every GBK byte sequence keeps its meaning
//   and every character GBK has keeps its bytes. A reader that knows only GBK sees
//   '?' and digits there.
// - MB_ERR_INVALID_CHARS turns invalid input into a failure (0, ERROR_NO_UNICODE_TRANSLATION).

inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
inline constexpr UINT CP_GBK = 936;
inline constexpr UINT CP_GB18030 = 54936;

// Multibyte (code page cp) to UTF-16.
int MultiByteToWideChar(UINT cp, DWORD flags, const char* src, int srcLen, WCHAR* dst, int dstLen);
int MultiByteToWideChar(UINT cp, DWORD flags, const char* src, int srcLen, uint16_t* dst, int dstLen);
// UTF-16 to multibyte (code page cp). defaultChar (one byte) replaces unmappable
// characters; it must be null for CP_UTF8, as on Windows.
int WideCharToMultiByte(UINT cp, DWORD flags, const WCHAR* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, BOOL* usedDefaultChar);
int WideCharToMultiByte(UINT cp, DWORD flags, const uint16_t* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, BOOL* usedDefaultChar);
// TRUE for the code pages above.
BOOL IsValidCodePage(UINT cp);
// The process's ANSI code page (what CP_ACP means).
UINT GetACP();

namespace plat {

// Sets what CP_ACP means (936, 54936 or 65001); false for others.
bool SetAnsiCodePage(UINT cp);
// Whole-string conversions with the replacement rules above (embedded NULs kept).
std::u16string ToUtf16(std::string_view text, UINT cp);
std::string FromUtf16(std::u16string_view text, UINT cp);
// Converts between two code pages through UTF-16.
std::string ConvertCodePage(std::string_view text, UINT fromCp, UINT toCp);
// ANSI (CP_ACP) to UTF-8 and back.
std::string AnsiToUtf8(std::string_view text);
std::string Utf8ToAnsi(std::string_view text);
// Bytes of the code-page-936 character at i: 1, 2 (lead byte and trail), or 4 (GB18030's four-byte form);
// a lead byte at the very end counts 1.
size_t DbcsCharLength(std::string_view text, size_t i);
// The longest prefix of at most maxBytes that ends between two code-page-936 characters.
size_t DbcsCutLength(std::string_view text, size_t maxBytes);

}  // namespace plat
