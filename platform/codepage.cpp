// Code page conversions: our own UTF-8 codec, iconv for GBK and GB18030.
#include "platform/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kWcErrInvalidChars = 0x00000080;  // WC_ERR_INVALID_CHARS

std::atomic<UINT> g_acp{936};

UINT Resolve(UINT cp) { return cp == CP_ACP ? g_acp.load() : cp; }

bool Supported(UINT cp) { return cp == 936 || cp == 54936 || cp == CP_UTF8; }

// One iconv descriptor per thread, direction and code page.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

iconv_t Decoder(UINT cp) {
  if (cp == 936) {
    thread_local Iconv d("UTF-32LE", "CP936");
    return d.ok() ? d.get() : nullptr;
  }
  thread_local Iconv d("UTF-32LE", "GB18030");
  return d.ok() ? d.get() : nullptr;
}

iconv_t Encoder(UINT cp) {
  if (cp == 936) {
    thread_local Iconv e("CP936", "UTF-32LE");
    return e.ok() ? e.get() : nullptr;
  }
  thread_local Iconv e("GB18030", "UTF-32LE");
  return e.ok() ? e.get() : nullptr;
}

void PutUtf16(std::vector<char16_t>& out, uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

// Decodes UTF-8; each maximal invalid subpart becomes U+FFFD. False on invalid input when strict.
bool DecodeUtf8(const unsigned char* s, size_t n, bool strict, std::vector<char16_t>& out) {
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int need;
    uint32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      if (strict) return false;
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool good = true;
    for (int k = 0; k < need; ++k, ++j) {
      unsigned char c = j < n ? s[j] : 0;
      unsigned char l = k == 0 ? lo : 0x80;
      unsigned char h = k == 0 ? hi : 0xBF;
      if (j >= n || c < l || c > h) {
        good = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!good) {
      if (strict) return false;
      out.push_back(0xFFFD);
      i = j;  // the maximal subpart consumed so far (at least the lead byte)
      continue;
    }
    PutUtf16(out, cp);
    i = j;
  }
  return true;
}

// One character from iconv: its code point and the bytes it took; false when the bytes are no character.
bool DecodeOne(iconv_t cd, const unsigned char* s, size_t n, uint32_t* c, size_t* used) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(s));
  size_t inLeft = n;
  unsigned char u[4];
  char* o = reinterpret_cast<char*>(u);
  size_t oLeft = sizeof u;
  iconv(cd, &in, &inLeft, &o, &oLeft);
  *used = n - inLeft;
  if (oLeft != 0 || *used == 0) return false;
  *c = static_cast<uint32_t>(u[0]) | (static_cast<uint32_t>(u[1]) << 8) | (static_cast<uint32_t>(u[2]) << 16) |
       (static_cast<uint32_t>(u[3]) << 24);
  return true;
}

// GB18030's four-byte form: lead, digit, lead, digit. GBK has no trail byte below 0x40, so these
// bytes never mean anything in GBK.
bool IsFourByteForm(const unsigned char* s, size_t n) {
  return n >= 4 && s[0] >= 0x81 && s[0] <= 0xFE && s[1] >= 0x30 && s[1] <= 0x39 && s[2] >= 0x81 && s[2] <= 0xFE &&
         s[3] >= 0x30 && s[3] <= 0x39;
}

// Decodes GBK / GB18030 character by character; bad bytes become '?'. Code page 936 also reads
// GB18030's four-byte characters, which is how it carries what GBK lacks.
bool DecodeDbcs(UINT cp, const unsigned char* s, size_t n, bool strict, std::vector<char16_t>& out) {
  iconv_t cd = Decoder(cp);
  if (!cd) return false;
  size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      out.push_back(s[i]);
      ++i;
      continue;
    }
    if (cp == 936 && IsFourByteForm(s + i, n - i)) {
      uint32_t c = 0;
      size_t used = 0;
      iconv_t wide = Decoder(54936);
      if (wide && DecodeOne(wide, s + i, 4, &c, &used) && used == 4) {
        PutUtf16(out, c);
        i += 4;
        continue;
      }
    }
    uint32_t c = 0;
    size_t used = 0;
    if (DecodeOne(cd, s + i, n - i, &c, &used)) {
      PutUtf16(out, c);
      i += used;
    } else {
      if (strict) return false;
      out.push_back(u'?');
      ++i;
    }
  }
  return true;
}

// The bytes of one code point in the iconv encoder's code page; empty when it has no such character.
std::string EncodeOne(iconv_t cd, uint32_t c) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  unsigned char u[4] = {static_cast<unsigned char>(c), static_cast<unsigned char>(c >> 8),
                        static_cast<unsigned char>(c >> 16), static_cast<unsigned char>(c >> 24)};
  char* in = reinterpret_cast<char*>(u);
  size_t inLeft = 4;
  char buf[8];
  char* o = buf;
  size_t oLeft = sizeof buf;
  if (iconv(cd, &in, &inLeft, &o, &oLeft) == static_cast<size_t>(-1) || inLeft != 0) return std::string();
  return std::string(buf, sizeof buf - oLeft);
}

// Encodes one code point; false when the code page has no such character. Code page 936 writes a
// character GBK lacks as its GB18030 four-byte form: GBK text keeps every byte it had.
bool EncodeDbcsChar(UINT cp, uint32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
    return true;
  }
  iconv_t cd = Encoder(cp);
  if (!cd) return false;
  std::string bytes = EncodeOne(cd, c);
  if (bytes.empty() && cp == 936) {
    iconv_t wide = Encoder(54936);
    std::string four = wide ? EncodeOne(wide, c) : std::string();
    // A few characters have two-byte forms in GB18030 that GBK reads otherwise: those stay unmapped.
    if (IsFourByteForm(reinterpret_cast<const unsigned char*>(four.data()), four.size()) && four.size() == 4)
      bytes = four;
  }
  if (bytes.empty()) return false;
  out += bytes;
  return true;
}

void PutUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Encodes UTF-16. Returns false on invalid input when strict (UTF-8) or an unknown code page.
bool Encode(UINT cp, const char16_t* s, size_t n, bool strict, char defChar, std::string& out, bool* usedDef) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = s[i];
    bool lone = false;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      lone = true;
    }
    if (cp == CP_UTF8) {
      if (lone) {
        if (strict) return false;
        c = 0xFFFD;
      }
      PutUtf8(out, c);
      continue;
    }
    if (lone || !EncodeDbcsChar(cp, c, out)) {
      out.push_back(defChar);
      if (usedDef) *usedDef = true;
    }
  }
  return true;
}

template <class Unit>
int ToWide(UINT cp, DWORD flags, const char* src, int srcLen, Unit* dst, int dstLen) {
  cp = Resolve(cp);
  if (!src || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst) || !Supported(cp)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = srcLen == -1 ? std::strlen(src) + 1 : static_cast<size_t>(srcLen);
  bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
  std::vector<char16_t> out;
  out.reserve(n);
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  bool ok = cp == CP_UTF8 ? DecodeUtf8(s, n, strict, out) : DecodeDbcs(cp, s, n, strict, out);
  if (!ok) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (dstLen == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(dstLen)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < out.size(); ++i) dst[i] = static_cast<Unit>(out[i]);
  return static_cast<int>(out.size());
}

template <class Unit>
int FromWide(UINT cp, DWORD flags, const Unit* src, int srcLen, char* dst, int dstLen, const char* defaultChar,
             BOOL* usedDefaultChar) {
  cp = Resolve(cp);
  if (!src || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst) || !Supported(cp) ||
      (cp == CP_UTF8 && (defaultChar || usedDefaultChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = 0;
  if (srcLen == -1) {
    while (src[n] != 0) ++n;
    ++n;
  } else {
    n = static_cast<size_t>(srcLen);
  }
  std::vector<char16_t> in(n);
  for (size_t i = 0; i < n; ++i) in[i] = static_cast<char16_t>(src[i]);
  bool strict = cp == CP_UTF8 && (flags & kWcErrInvalidChars) != 0;
  bool used = false;
  std::string out;
  out.reserve(n * 2);
  if (!Encode(cp, in.data(), n, strict, defaultChar ? *defaultChar : '?', out, &used)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (usedDefaultChar) *usedDefaultChar = used ? TRUE : FALSE;
  if (dstLen == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(dstLen)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(dst, out.data(), out.size());
  return static_cast<int>(out.size());
}

}  // namespace

int MultiByteToWideChar(UINT cp, DWORD flags, const char* src, int srcLen, WCHAR* dst, int dstLen) {
  return ToWide(cp, flags, src, srcLen, dst, dstLen);
}

int MultiByteToWideChar(UINT cp, DWORD flags, const char* src, int srcLen, uint16_t* dst, int dstLen) {
  return ToWide(cp, flags, src, srcLen, dst, dstLen);
}

int WideCharToMultiByte(UINT cp, DWORD flags, const WCHAR* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, BOOL* usedDefaultChar) {
  return FromWide(cp, flags, src, srcLen, dst, dstLen, defaultChar, usedDefaultChar);
}

int WideCharToMultiByte(UINT cp, DWORD flags, const uint16_t* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, BOOL* usedDefaultChar) {
  return FromWide(cp, flags, src, srcLen, dst, dstLen, defaultChar, usedDefaultChar);
}

BOOL IsValidCodePage(UINT cp) { return Supported(cp) ? TRUE : FALSE; }

UINT GetACP() { return g_acp.load(); }

namespace plat {

bool SetAnsiCodePage(UINT cp) {
  if (!Supported(cp)) return false;
  g_acp.store(cp);
  return true;
}

std::u16string ToUtf16(std::string_view text, UINT cp) {
  cp = Resolve(cp);
  std::vector<char16_t> out;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  if (cp == CP_UTF8) {
    DecodeUtf8(s, text.size(), false, out);
  } else if (Supported(cp)) {
    DecodeDbcs(cp, s, text.size(), false, out);
  }
  return std::u16string(out.begin(), out.end());
}

std::string FromUtf16(std::u16string_view text, UINT cp) {
  cp = Resolve(cp);
  std::string out;
  if (!Supported(cp)) return out;
  Encode(cp, text.data(), text.size(), false, '?', out, nullptr);
  return out;
}

std::string ConvertCodePage(std::string_view text, UINT fromCp, UINT toCp) {
  return FromUtf16(ToUtf16(text, fromCp), toCp);
}

std::string AnsiToUtf8(std::string_view text) { return ConvertCodePage(text, CP_ACP, CP_UTF8); }

std::string Utf8ToAnsi(std::string_view text) { return ConvertCodePage(text, CP_UTF8, CP_ACP); }

size_t DbcsCharLength(std::string_view text, size_t i) {
  if (i >= text.size()) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data()) + i;
  const size_t left = text.size() - i;
  if (IsFourByteForm(s, left)) return 4;
  return s[0] >= 0x81 && s[0] <= 0xFE && left >= 2 ? 2 : 1;
}

size_t DbcsCutLength(std::string_view text, size_t maxBytes) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t n = DbcsCharLength(text, at);
    if (at + n > maxBytes) break;
    at += n;
  }
  return at;
}

}  // namespace plat
