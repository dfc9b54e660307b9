// Profile-file reading and writing with the Windows semantics (own parser, atomic rewrite).
#include "platform/ini.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/fs.h"

namespace {

constexpr size_t kMaxIniBytes = 16u * 1024u * 1024u;

std::mutex& IniMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Bytewise ASCII case-insensitive compare (other bytes, e.g. GBK, compare exactly).
bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view StripQuotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v.remove_prefix(1);
    v.remove_suffix(1);
  }
  return v;
}

enum class LineKind { Other, Section, Key };

// One physical line of the file, without its line ending.
struct Line {
  std::string text;
  LineKind kind = LineKind::Other;
  std::string_view name;   // section name or key name (into text)
  std::string_view value;  // cleaned value (into text), for keys with '='
  bool hasValue = false;
};

struct IniFile {
  std::vector<Line> lines;
  std::string eol = "\r\n";
  bool endsWithEol = true;
};

void Classify(Line& l, bool first) {
  std::string_view s = l.text;
  if (first && s.size() >= 3 && static_cast<unsigned char>(s[0]) == 0xEF && static_cast<unsigned char>(s[1]) == 0xBB &&
      static_cast<unsigned char>(s[2]) == 0xBF) {
    s.remove_prefix(3);  // UTF-8 byte-order mark
  }
  std::string_view t = Trim(s);
  if (t.empty() || t.front() == ';') return;
  if (t.front() == '[') {
    size_t close = t.find(']');
    std::string_view name = close == std::string_view::npos ? t.substr(1) : t.substr(1, close - 1);
    l.kind = LineKind::Section;
    l.name = Trim(name);
    return;
  }
  l.kind = LineKind::Key;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) {
    l.name = t;
    return;
  }
  l.name = Trim(t.substr(0, eq));
  l.value = StripQuotes(Trim(t.substr(eq + 1)));
  l.hasValue = true;
}

// Parses bytes into lines; views point into each line's own text.
void Parse(const std::string& bytes, IniFile* f) {
  f->lines.clear();
  size_t crlf = 0, lf = 0;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t nl = bytes.find('\n', pos);
    size_t end = nl == std::string::npos ? bytes.size() : nl;
    size_t textEnd = end;
    if (nl != std::string::npos) {
      if (end > pos && bytes[end - 1] == '\r') {
        --textEnd;
        ++crlf;
      } else {
        ++lf;
      }
    }
    Line l;
    l.text.assign(bytes, pos, textEnd - pos);
    f->lines.push_back(std::move(l));
    pos = nl == std::string::npos ? bytes.size() : nl + 1;
  }
  f->endsWithEol = bytes.empty() || bytes.back() == '\n';
  f->eol = (lf > crlf) ? "\n" : "\r\n";
  // Classify after the vector stops moving, so the views stay valid.
  for (size_t i = 0; i < f->lines.size(); ++i) Classify(f->lines[i], i == 0);
}

bool Load(const char* fileName, IniFile* f) {
  std::string bytes;
  if (!fileName || !plat::ReadFile(fileName, &bytes, kMaxIniBytes)) return false;
  Parse(bytes, f);
  return true;
}

std::string Serialize(const IniFile& f) {
  std::string out;
  for (size_t i = 0; i < f.lines.size(); ++i) {
    out += f.lines[i].text;
    if (i + 1 < f.lines.size() || f.endsWithEol) out += f.eol;
  }
  return out;
}

// Index range [begin, end) of the lines of the first matching section (begin = header).
bool FindSection(const IniFile& f, std::string_view section, size_t* begin, size_t* end) {
  for (size_t i = 0; i < f.lines.size(); ++i) {
    if (f.lines[i].kind == LineKind::Section && EqualsNoCase(f.lines[i].name, section)) {
      size_t j = i + 1;
      while (j < f.lines.size() && f.lines[j].kind != LineKind::Section) ++j;
      *begin = i;
      *end = j;
      return true;
    }
  }
  return false;
}

const Line* FindKey(const IniFile& f, std::string_view section, std::string_view key) {
  size_t b, e;
  if (!FindSection(f, section, &b, &e)) return nullptr;
  for (size_t i = b + 1; i < e; ++i) {
    if (f.lines[i].kind == LineKind::Key && EqualsNoCase(f.lines[i].name, key)) return &f.lines[i];
  }
  return nullptr;
}

// Copies a string into out (size > 0), cut to size-1; returns the length copied.
DWORD CopyCut(std::string_view s, char* out, DWORD size) {
  size_t n = s.size() < size - 1 ? s.size() : size - 1;
  if (n > 0) std::memcpy(out, s.data(), n);
  out[n] = '\0';
  return static_cast<DWORD>(n);
}

// Copies a list of strings as "a\0b\0\0". When it does not fit, as much as fits
// is copied, terminated twice, and size-2 is returned (Windows' convention).
DWORD CopyList(const std::vector<std::string>& items, char* out, DWORD size) {
  if (size == 0 || !out) return 0;
  if (size == 1) {
    out[0] = '\0';
    return 0;
  }
  size_t pos = 0;
  for (const std::string& item : items) {
    if (pos + item.size() + 1 > size - 1) {
      size_t room = size - 1 - pos;  // leave room for the final terminator
      if (room > 0) {
        size_t n = item.size() < room - 1 ? item.size() : room - 1;
        std::memcpy(out + pos, item.data(), n);
        out[pos + n] = '\0';
      }
      out[size - 2] = '\0';
      out[size - 1] = '\0';
      return size - 2;
    }
    std::memcpy(out + pos, item.data(), item.size());
    pos += item.size();
    out[pos++] = '\0';
  }
  out[pos] = '\0';
  if (items.empty()) {
    if (size >= 2) out[1] = '\0';
    return 0;
  }
  return static_cast<DWORD>(pos);
}

bool HasLineBreak(const char* s) { return s && std::strpbrk(s, "\r\n") != nullptr; }

// A key the reader finds again as written: not a comment or section line, no blanks around it.
bool KeyReadsBack(const char* key) {
  const std::string_view k(key);
  if (!k.empty() && (k.front() == ';' || k.front() == '[')) return false;
  return Trim(k).size() == k.size();
}

// The value as it goes into the file: the reader drops surrounding blanks and one pair of
// surrounding quotes, so a value that has either is quoted once more.
std::string StoredValue(const char* value) {
  const std::string_view v(value);
  const bool blankEdge = !v.empty() && (IsBlank(v.front()) || IsBlank(v.back()));
  if (blankEdge || StripQuotes(v).size() != v.size()) return "\"" + std::string(v) + "\"";
  return std::string(v);
}

bool Save(const char* fileName, const IniFile& f) { return plat::WriteFileAtomic(fileName, Serialize(f)); }

}  // namespace

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* out,
                               DWORD size, const char* fileName) {
  if (!out || size == 0) return 0;
  std::lock_guard<std::mutex> lk(IniMutex());
  IniFile f;
  bool loaded = Load(fileName, &f);
  if (!section) {
    std::vector<std::string> names;
    for (const Line& l : f.lines) {
      if (l.kind == LineKind::Section) names.emplace_back(l.name);
    }
    return CopyList(names, out, size);
  }
  if (!key) {
    std::vector<std::string> keys;
    size_t b, e;
    if (loaded && FindSection(f, section, &b, &e)) {
      for (size_t i = b + 1; i < e; ++i) {
        if (f.lines[i].kind == LineKind::Key) keys.emplace_back(f.lines[i].name);
      }
    }
    return CopyList(keys, out, size);
  }
  const Line* l = loaded ? FindKey(f, section, key) : nullptr;
  if (l && l->hasValue) return CopyCut(l->value, out, size);
  std::string_view def = defaultValue ? std::string_view(defaultValue) : std::string_view();
  while (!def.empty() && IsBlank(def.back())) def.remove_suffix(1);
  return CopyCut(def, out, size);
}

UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* fileName) {
  if (!section || !key) return static_cast<UINT>(defaultValue);
  char buf[64];
  DWORD n = GetPrivateProfileStringA(section, key, "", buf, sizeof buf, fileName);
  if (n == 0) return static_cast<UINT>(defaultValue);
  // atoi, without its overflow trap: accumulate in 64 bits and wrap like a 32-bit value.
  const char* p = buf;
  while (*p == ' ' || *p == '\t') ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = (*p++ == '-');
  uint32_t v = 0;
  while (*p >= '0' && *p <= '9') v = v * 10u + static_cast<uint32_t>(*p++ - '0');
  return neg ? static_cast<UINT>(0u - v) : static_cast<UINT>(v);
}

BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* fileName) {
  if (!section || !fileName || !*fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (HasLineBreak(section) || std::strchr(section, ']') || HasLineBreak(key) ||
      (key && (std::strchr(key, '=') || !KeyReadsBack(key))) || HasLineBreak(value) ||
      Trim(section).size() != std::strlen(section)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lk(IniMutex());
  IniFile f;
  bool exists = Load(fileName, &f);
  if (!exists && plat::FileExists(fileName)) return FALSE;  // unreadable or too large: do not clobber it
  size_t b = 0, e = 0;
  bool hasSection = exists && FindSection(f, section, &b, &e);

  if (!key) {  // delete the section
    if (!hasSection) return TRUE;
    f.lines.erase(f.lines.begin() + static_cast<std::ptrdiff_t>(b), f.lines.begin() + static_cast<std::ptrdiff_t>(e));
    return Save(fileName, f) ? TRUE : FALSE;
  }

  const std::string keyName(key);
  if (hasSection) {
    for (size_t i = b + 1; i < e; ++i) {
      Line& l = f.lines[i];
      if (l.kind != LineKind::Key || !EqualsNoCase(l.name, keyName)) continue;
      if (!value) {
        f.lines.erase(f.lines.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        l.text = std::string(l.name) + "=" + StoredValue(value);  // keep the key's spelling
      }
      return Save(fileName, f) ? TRUE : FALSE;
    }
    if (!value) return TRUE;  // nothing to delete
    // New key after the last non-blank line of the section.
    size_t at = e;
    while (at > b + 1 && Trim(f.lines[at - 1].text).empty()) --at;
    Line l;
    l.text = keyName + "=" + StoredValue(value);
    f.lines.insert(f.lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(l));
    return Save(fileName, f) ? TRUE : FALSE;
  }
  if (!value) return TRUE;
  // New section at the end.
  if (!exists) f.endsWithEol = true;
  if (!f.lines.empty() && !f.endsWithEol) f.endsWithEol = true;
  Line h;
  h.text = std::string("[") + section + "]";
  f.lines.push_back(std::move(h));
  Line l;
  l.text = keyName + "=" + StoredValue(value);
  f.lines.push_back(std::move(l));
  f.endsWithEol = true;
  return Save(fileName, f) ? TRUE : FALSE;
}

BOOL WritePrivateProfileInt(const char* section, const char* key, int value, const char* fileName) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", value);
  return WritePrivateProfileStringA(section, key, buf, fileName);
}

DWORD GetPrivateProfileSectionA(const char* section, char* out, DWORD size, const char* fileName) {
  if (!out || size == 0) return 0;
  std::vector<std::string> items;
  {
    std::lock_guard<std::mutex> lk(IniMutex());
    IniFile f;
    size_t b, e;
    if (section && Load(fileName, &f) && FindSection(f, section, &b, &e)) {
      for (size_t i = b + 1; i < e; ++i) {
        if (f.lines[i].kind != LineKind::Key) continue;
        std::string item(f.lines[i].name);
        if (f.lines[i].hasValue) item += "=" + std::string(f.lines[i].value);
        items.push_back(std::move(item));
      }
    }
  }
  return CopyList(items, out, size);
}

DWORD GetPrivateProfileSectionNamesA(char* out, DWORD size, const char* fileName) {
  return GetPrivateProfileStringA(nullptr, nullptr, nullptr, out, size, fileName);
}

namespace plat {

bool IniGetString(const std::string& fileName, const std::string& section, const std::string& key, std::string* out) {
  std::lock_guard<std::mutex> lk(IniMutex());
  IniFile f;
  if (!Load(fileName.c_str(), &f)) return false;
  const Line* l = FindKey(f, section, key);
  if (!l || !l->hasValue) return false;
  if (out) out->assign(l->value);
  return true;
}

std::vector<std::pair<std::string, std::string>> IniReadSection(const std::string& fileName,
                                                                 const std::string& section) {
  std::vector<std::pair<std::string, std::string>> out;
  std::lock_guard<std::mutex> lk(IniMutex());
  IniFile f;
  size_t b, e;
  if (!Load(fileName.c_str(), &f) || !FindSection(f, section, &b, &e)) return out;
  for (size_t i = b + 1; i < e; ++i) {
    if (f.lines[i].kind == LineKind::Key) out.emplace_back(std::string(f.lines[i].name), std::string(f.lines[i].value));
  }
  return out;
}

std::vector<std::string> IniSectionNames(const std::string& fileName) {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> lk(IniMutex());
  IniFile f;
  if (!Load(fileName.c_str(), &f)) return out;
  for (const Line& l : f.lines) {
    if (l.kind == LineKind::Section) out.emplace_back(l.name);
  }
  return out;
}

}  // namespace plat
