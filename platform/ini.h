// Profile (ini) files with the Windows read/write semantics the configuration code relies on.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/wintypes.h"

// Reading:
// - Section and key names compare ASCII case-insensitively; the first match wins.
// - The value is the text after the first '='; blanks (space, tab) around it are
//   removed, then one pair of matching surrounding quotes (' or ") is removed.
// - Lines starting with ';' are comments; a missing file, section or key gives the
//   default (null default = ""; its trailing blanks are removed).
// - The copy is cut to size-1 bytes and always terminated; the result is the number
//   of bytes copied, without the terminator. size 0 or a null buffer gives 0.
// - Bytes are kept as they are (the files are in the ANSI code page, CP936).
// Writing:
// - Creates the file and the section when missing (a new section is appended at
//   the end); an existing key is replaced in place; all other lines, comments,
//   order and line endings (CRLF or LF, new files CRLF) are kept.
// - A null value deletes the key; a null key deletes the whole section.
// - The file is rewritten through a temporary file in the same folder and renamed.
// - Keys or values holding CR/LF (and keys holding '=') are refused: they would
//   corrupt the file's structure. Keys the reader could not find again (starting with
//   ';' or '[', or with blanks around them) are refused too, and so are sections with
//   blanks around them.
// - A value with blanks at either end, or with a pair of surrounding quotes, is written
//   inside one more pair of double quotes, so it reads back as written.
// All calls of this module are serialised within the process.

// Copies the value of section/key (or the default) into out; returns the length copied.
// A null key copies all key names of the section, a null section all section names,
// each terminated, the list ending with an extra terminator (length excludes the last one;
// when cut, the result is size-2 as on Windows).
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                               char* out, DWORD size, const char* fileName);
// Integer value of section/key: leading blanks, an optional sign, then decimal digits
// (atoi); missing key or empty value gives the default, non-numeric text gives 0.
UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* fileName);
// Writes, replaces or deletes (null value) a key, or deletes a section (null key); TRUE on success.
BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* fileName);
// Writes an integer value as "%d".
BOOL WritePrivateProfileInt(const char* section, const char* key, int value, const char* fileName);
// Copies all "key=value" lines of a section (terminated each, extra final terminator);
// returns the length excluding the final terminator, size-2 when cut.
DWORD GetPrivateProfileSectionA(const char* section, char* out, DWORD size, const char* fileName);
// Copies all section names (terminated each, extra final terminator); as above.
DWORD GetPrivateProfileSectionNamesA(char* out, DWORD size, const char* fileName);

// Unsuffixed names, as the code calls them.
inline DWORD GetPrivateProfileString(const char* s, const char* k, const char* d, char* o, DWORD n, const char* f) {
  return GetPrivateProfileStringA(s, k, d, o, n, f);
}
inline UINT GetPrivateProfileInt(const char* s, const char* k, int d, const char* f) {
  return GetPrivateProfileIntA(s, k, d, f);
}
inline BOOL WritePrivateProfileString(const char* s, const char* k, const char* v, const char* f) {
  return WritePrivateProfileStringA(s, k, v, f);
}

namespace plat {

// Same reading rules, whole values (no truncation). Returns false when missing (out untouched).
bool IniGetString(const std::string& fileName, const std::string& section, const std::string& key,
                  std::string* out);
// All keys of a section in file order, with their values cleaned as above
// (a line without '=' gives a key with an empty value).
std::vector<std::pair<std::string, std::string>> IniReadSection(const std::string& fileName,
                                                                 const std::string& section);
// All section names in file order.
std::vector<std::string> IniSectionNames(const std::string& fileName);

}  // namespace plat
