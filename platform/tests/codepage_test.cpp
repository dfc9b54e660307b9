// Tests of code page conversions.
#include "platform/codepage.h"

#include <iconv.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// "张三" in GBK and UTF-8, and as UTF-16.
const std::string kGbk = "\xd5\xc5\xc8\xfd";
const std::string kUtf8 = "\xe5\xbc\xa0\xe4\xb8\x89";
const std::u16string kWide = u"\u5f20\u4e09";

TEST(PlatformCodePage, RoundTripsGbkUtf8Utf16) {
  EXPECT_EQ(plat::ToUtf16(kGbk, 936), kWide);
  EXPECT_EQ(plat::ToUtf16(kUtf8, CP_UTF8), kWide);
  EXPECT_EQ(plat::FromUtf16(kWide, 936), kGbk);
  EXPECT_EQ(plat::FromUtf16(kWide, CP_UTF8), kUtf8);
  EXPECT_EQ(plat::AnsiToUtf8(kGbk), kUtf8);
  EXPECT_EQ(plat::Utf8ToAnsi(kUtf8), kGbk);
  EXPECT_EQ(plat::ConvertCodePage("abc" + kGbk, 936, 54936), "abc" + kGbk);  // GB18030 extends GBK
  // A character GBK lacks but GB18030 has (U+1F600, four bytes there).
  std::u16string smile = u"\U0001F600";
  std::string gb = plat::FromUtf16(smile, 54936);
  EXPECT_EQ(gb.size(), 4u);
  EXPECT_EQ(plat::ToUtf16(gb, 54936), smile);
  EXPECT_EQ(plat::FromUtf16(smile, 936), gb) << "936 carries what GBK lacks as GB18030 does";
  EXPECT_EQ(plat::ToUtf16("\x80", 936), u"\u20ac");  // the euro sign of code page 936
  EXPECT_EQ(plat::FromUtf16(u"\u20ac", 936), "\x80") << "and keeps its GBK byte";
}

// Texts of every kind through the program's code page and back, from UTF-8 and from UTF-16.
TEST(PlatformCodePage, TextsRoundTripThroughTheAnsiCodePage) {
  struct Case {
    const char* name;
    std::string utf8;
    std::string ansi;  // the code page's bytes
  } cases[] = {
      {"ascii", "Hello, world #@#1", "Hello, world #@#1"},
      {"chinese", "\xe6\x9d\x8e\xe5\xa8\x9c\xe4\xbd\xa0\xe5\xa5\xbd", "\xc0\xee\xc4\xc8\xc4\xe3\xba\xc3"},
      {"emoji", "\xf0\x9f\x91\x8d", "\x94\x39\xd1\x31"},
      {"emoji pair", "\xf0\x9f\x98\x80\xf0\x9f\x8e\x89", "\x94\x39\xfc\x36\x94\x39\xbd\x35"},
      {"mixed", "ok \xe5\xa5\xbd\xf0\x9f\x91\x8d!", "ok \xba\xc3\x94\x39\xd1\x31!"},
      {"rare ideograph", "\xf0\xa0\x80\x80", "\x95\x32\x82\x36"},
      {"bmp outside gbk", "\xe2\x82\xbf", "\x81\x36\xb5\x30"},  // U+20BF
      {"euro", "\xe2\x82\xac" "5", "\x80" "5"},
      {"empty", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plat::Utf8ToAnsi(c.utf8), c.ansi) << c.name;
    EXPECT_EQ(plat::AnsiToUtf8(c.ansi), c.utf8) << c.name;
    const std::u16string wide = plat::ToUtf16(c.utf8, CP_UTF8);
    EXPECT_EQ(plat::ToUtf16(plat::FromUtf16(wide, CP_ACP), CP_ACP), wide) << c.name;
    if (wide.empty()) continue;
    // The Windows-style calls agree, and nothing was replaced.
    BOOL used = TRUE;
    char out[64];
    const int n = WideCharToMultiByte(936, 0, reinterpret_cast<const WCHAR*>(wide.data()), static_cast<int>(wide.size()),
                                      out, sizeof out, nullptr, &used);
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)), c.ansi) << c.name;
    EXPECT_FALSE(used) << c.name;
  }
  // A four-byte form cut short is no character, and a lead byte before a digit no pair.
  EXPECT_EQ(plat::ToUtf16("\x94\x39\xd1", 936), u"?9?");
  EXPECT_EQ(plat::ToUtf16("\x94\x39" "a", 936), u"?9a");
}

// iconv's own answer for one conversion; empty when it has none.
std::string Iconv(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char buf[16];
  char* dst = buf;
  size_t dstLeft = sizeof buf;
  const bool ok = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1) && srcLeft == 0;
  iconv_close(cd);
  return ok ? std::string(buf, sizeof buf - dstLeft) : std::string();
}

std::string Utf32(char32_t c) {
  return std::string({static_cast<char>(c), static_cast<char>(c >> 8), static_cast<char>(c >> 16), static_cast<char>(c >> 24)});
}

// Carrying more changes nothing GBK had: every GBK pair reads as CP936 reads it, every character
// CP936 writes keeps its bytes, and any other character is a GB18030 four-byte form or '?'.
TEST(PlatformCodePage, GbkBytesStayAsTheyWere) {
  int decoded = 0, kept = 0, carried = 0, bad = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead)
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      const std::string pair = {static_cast<char>(lead), static_cast<char>(trail)};
      const std::string ref = Iconv("UTF-16LE", "CP936", pair);
      if (ref.empty()) continue;
      const std::u16string want(reinterpret_cast<const char16_t*>(ref.data()), ref.size() / 2);
      ++decoded;
      if (plat::ToUtf16(pair, 936) != want) ++bad;
    }
  for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::u16string one(1, static_cast<char16_t>(c));
    const std::string ref = Iconv("CP936", "UTF-32LE", Utf32(c));
    const std::string ours = plat::FromUtf16(one, 936);
    if (!ref.empty()) {
      ++kept;
      if (ours != ref) ++bad;
    } else if (ours.size() == 4) {
      ++carried;
      if (plat::ToUtf16(ours, 936) != one) ++bad;
    } else if (ours != "?") {
      ++bad;
    }
  }
  EXPECT_EQ(0, bad);
  EXPECT_GT(decoded, 21000);
  EXPECT_GT(kept, 21000);
  EXPECT_GT(carried, 30000) << "the rest of the BMP travels as four bytes";
}

TEST(PlatformCodePage, WindowsCallConventions) {
  // -1: terminated source, terminator converted and counted.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kUtf8.c_str(), -1, static_cast<WCHAR*>(nullptr), 0), 3);
  WCHAR w[8];
  ASSERT_EQ(MultiByteToWideChar(936, 0, kGbk.c_str(), -1, w, 8), 3);
  EXPECT_EQ(w[0], 0x5f20);
  EXPECT_EQ(w[2], 0);
  // Explicit length: no terminator.
  EXPECT_EQ(MultiByteToWideChar(936, 0, kGbk.c_str(), 4, w, 8), 2);
  // Too small: 0, ERROR_INSUFFICIENT_BUFFER, nothing past the end.
  WCHAR guard[3] = {1, 2, 0x7777};
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(936, 0, kGbk.c_str(), -1, guard, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(guard[2], 0x7777);
  // Zero length and unknown code page are parameter errors.
  EXPECT_EQ(MultiByteToWideChar(936, 0, "a", 0, w, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, w, 8), 0);
  EXPECT_FALSE(IsValidCodePage(1252));
  EXPECT_TRUE(IsValidCodePage(54936));

  const uint16_t u16[] = {0x5f20, 0x4e09, 0};
  EXPECT_EQ(WideCharToMultiByte(936, 0, u16, -1, nullptr, 0, nullptr, nullptr), 5);
  char out[8];
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, u16, -1, out, 8, nullptr, nullptr), 5);
  EXPECT_EQ(std::string(out), kGbk);
  char small[4] = {0, 0, 0, 'z'};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u16, -1, small, 3, nullptr, nullptr), 0);
  EXPECT_EQ(small[3], 'z');
  // UTF-8 refuses a default character, as Windows does.
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u16, -1, out, 8, nullptr, &used), 0);
}

TEST(PlatformCodePage, InvalidInputIsReplaced) {
  struct Case {
    const char* name;
    UINT cp;
    std::string in;
    std::u16string expect;
  } cases[] = {
      {"utf8 stray continuation", CP_UTF8, "a\x80z", u"a\ufffdz"},
      {"utf8 truncated sequence", CP_UTF8, "a\xe5\xbc", u"a\ufffd"},
      {"utf8 truncated then ascii", CP_UTF8, "\xe5\xbcz", u"\ufffdz"},
      {"utf8 overlong", CP_UTF8, "\xc0\xaf", u"\ufffd\ufffd"},
      {"utf8 surrogate encoded", CP_UTF8, "\xed\xa0\x80", u"\ufffd\ufffd\ufffd"},
      {"utf8 above U+10FFFF", CP_UTF8, "\xf4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd"},
      {"utf8 four bytes", CP_UTF8, "\xf0\x9f\x98\x80", u"\U0001F600"},
      {"gbk lone lead at end", 936, "a\xd5", u"a?"},
      {"gbk bad trail keeps ascii", 936, "\xd5\x30z", u"?0z"},
      {"gbk 0xff", 936, "\xff", u"?"},
  };
  for (const Case& c : cases) EXPECT_EQ(plat::ToUtf16(c.in, c.cp), c.expect) << c.name;

  WCHAR w[8];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\x80", 2, w, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);

  // Lone surrogates: '?' (with the flag) in GBK, U+FFFD in UTF-8.
  const WCHAR lone[] = {u'a', 0xD800, u'b'};
  char out[16];
  BOOL used = FALSE;
  int n = WideCharToMultiByte(936, 0, lone, 3, out, sizeof out, nullptr, &used);
  EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "a?b");
  EXPECT_TRUE(used);
  n = WideCharToMultiByte(936, 0, lone, 3, out, sizeof out, "#", &used);
  EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "a#b");
  n = WideCharToMultiByte(CP_UTF8, 0, lone, 3, out, sizeof out, nullptr, nullptr);
  EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "a\xef\xbf\xbd" "b");
}

TEST(PlatformCodePage, AnsiCodePageIsAProcessSetting) {
  EXPECT_EQ(GetACP(), 936u);
  ASSERT_TRUE(plat::SetAnsiCodePage(CP_UTF8));
  EXPECT_EQ(plat::AnsiToUtf8(kUtf8), kUtf8);
  EXPECT_FALSE(plat::SetAnsiCodePage(1252));
  ASSERT_TRUE(plat::SetAnsiCodePage(936));
  EXPECT_EQ(plat::AnsiToUtf8(kGbk), kUtf8);
}

}  // namespace

// Cutting code-page-936 text at a byte limit never leaves half a character, whether it is one, two or
// four bytes long.
TEST(PlatformCodePage, CutsEndBetweenCharacters) {
    const std::string ni = plat::Utf8ToAnsi("你");         // two bytes
    const std::string thumb = plat::Utf8ToAnsi("👍");      // four bytes
    ASSERT_EQ(2u, ni.size());
    ASSERT_EQ(4u, thumb.size());
    struct Case {
        std::string text;
        size_t limit, expected;
    } cases[] = {
        {"abc", 2, 2},
        {"abc", 5, 3},
        {"a" + ni, 2, 1},
        {"a" + ni, 3, 3},
        {"a" + thumb, 2, 1},
        {"a" + thumb, 4, 1},
        {"a" + thumb, 5, 5},
        {thumb + ni, 5, 4},
        {ni + thumb, 5, 2},
        {std::string("a\x81"), 2, 2},  // a lead byte at the very end stands alone
        {"", 3, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, plat::DbcsCutLength(c.text, c.limit)) << c.limit;
    EXPECT_EQ(4u, plat::DbcsCharLength(thumb, 0));
    EXPECT_EQ(2u, plat::DbcsCharLength(ni, 0));
    EXPECT_EQ(0u, plat::DbcsCharLength(ni, 2));
}
