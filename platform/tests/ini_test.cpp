// Tests of profile-file reading and writing.
#include "platform/ini.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "test_util.h"

namespace {

std::string Read(const std::string& path) {
  std::string s;
  plat::ReadFile(path, &s);
  return s;
}

void Write(const std::string& path, const std::string& text) { ASSERT_TRUE(plat::WriteFileAtomic(path, text)); }

struct ReadCase {
  const char* name;
  const char* file;
  const char* section;
  const char* key;
  const char* def;
  const char* expect;
};

TEST(PlatformIniRead, WindowsProfileSemantics) {
  plat_test::TempDir dir;
  const ReadCase cases[] = {
      {"plain", "[a]\r\nk=v\r\n", "a", "k", "d", "v"},
      {"section case", "[Service]\r\nPort=5060\r\n", "SERVICE", "port", "", "5060"},
      {"blanks stripped", "[a]\r\n  k  =   v  w \t\r\n", "a", "k", "", "v  w"},
      {"double quotes", "[a]\r\nk=\"  q  \"\r\n", "a", "k", "", "  q  "},
      {"single quotes", "[a]\r\nk='x'\r\n", "a", "k", "", "x"},
      {"unmatched quote kept", "[a]\r\nk=\"x'\r\n", "a", "k", "", "\"x'"},
      {"lone quote kept", "[a]\r\nk=\"\r\n", "a", "k", "", "\""},
      {"first equals splits", "[a]\r\nk=x=y\r\n", "a", "k", "", "x=y"},
      {"empty value is not default", "[a]\r\nk=\r\n", "a", "k", "d", ""},
      {"missing key gives default", "[a]\r\nk=v\r\n", "a", "other", "def", "def"},
      {"missing section gives default", "[a]\r\nk=v\r\n", "b", "k", "def", "def"},
      {"default trailing blanks cut", "", "a", "k", "def  ", "def"},
      {"null default", "[a]\r\n", "a", "k", nullptr, ""},
      {"comment line ignored", "[a]\r\n;k=c\r\nk=v\r\n", "a", "k", "", "v"},
      {"key without equals gives default", "[a]\r\nk\r\n", "a", "k", "d", "d"},
      {"first section wins", "[a]\r\nk=1\r\n[a]\r\nk=2\r\n", "a", "k", "", "1"},
      {"key of other section not seen", "[a]\r\n[b]\r\nk=v\r\n", "a", "k", "d", "d"},
      {"lf endings", "[a]\nk=v\n", "a", "k", "", "v"},
      {"no final newline", "[a]\r\nk=v", "a", "k", "", "v"},
      {"gbk bytes kept", "[\xd5\xca\xba\xc5]\r\nname=\xd5\xc5\xc8\xfd\r\n", "\xd5\xca\xba\xc5", "name", "",
       "\xd5\xc5\xc8\xfd"},
      {"blank around section name", "  [ a ]  \r\nk=v\r\n", "a", "k", "", "v"},
  };
  for (const ReadCase& c : cases) {
    std::string path = dir.file("read.ini");
    Write(path, c.file);
    char buf[64];
    DWORD n = GetPrivateProfileStringA(c.section, c.key, c.def, buf, sizeof buf, path.c_str());
    EXPECT_STREQ(buf, c.expect) << c.name;
    EXPECT_EQ(n, std::string(c.expect).size()) << c.name;
  }
}

TEST(PlatformIniRead, MissingFileGivesDefault) {
  char buf[16];
  EXPECT_EQ(GetPrivateProfileStringA("a", "k", "dflt", buf, sizeof buf, "/nonexistent/x.ini"), 4u);
  EXPECT_STREQ(buf, "dflt");
  EXPECT_EQ(GetPrivateProfileIntA("a", "k", 9999, "/nonexistent/x.ini"), 9999u);
}

TEST(PlatformIniRead, TruncatesToSizeMinusOne) {
  plat_test::TempDir dir;
  std::string path = dir.file("t.ini");
  Write(path, "[a]\r\nk=abcdefgh\r\n");
  char buf[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(GetPrivateProfileStringA("a", "k", "", buf, 5, path.c_str()), 4u);
  EXPECT_STREQ(buf, "abcd");
  char one[1] = {'x'};
  EXPECT_EQ(GetPrivateProfileStringA("a", "k", "", one, 1, path.c_str()), 0u);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(GetPrivateProfileStringA("a", "k", "", nullptr, 0, path.c_str()), 0u);
}

TEST(PlatformIniRead, IntegerValues) {
  plat_test::TempDir dir;
  std::string path = dir.file("i.ini");
  Write(path, "[a]\r\npos=42\r\nneg=-7\r\ntext=abc\r\nmixed=12ab\r\nempty=\r\nspaced=  5  \r\nbig=4294967297\r\n");
  struct {
    const char* key;
    int def;
    UINT expect;
  } cases[] = {{"pos", 1, 42u},          {"neg", 1, static_cast<UINT>(-7)}, {"text", 1, 0u}, {"mixed", 1, 12u},
               {"empty", 33, 33u},       {"spaced", 0, 5u},                 {"missing", 5060, 5060u},
               {"big", 0, 1u /* wraps like a 32-bit value, no overflow trap */}};
  for (auto& c : cases) EXPECT_EQ(GetPrivateProfileIntA("a", c.key, c.def, path.c_str()), c.expect) << c.key;
}

TEST(PlatformIniRead, ListsSectionsAndKeys) {
  plat_test::TempDir dir;
  std::string path = dir.file("l.ini");
  Write(path, "[one]\r\na=1\r\nb = \"2\"\r\n; note\r\nc\r\n[two]\r\n");
  char buf[64];
  DWORD n = GetPrivateProfileSectionNamesA(buf, sizeof buf, path.c_str());
  EXPECT_EQ(std::string(buf, n + 1), std::string("one\0two\0\0", 9));
  n = GetPrivateProfileStringA("one", nullptr, "", buf, sizeof buf, path.c_str());
  EXPECT_EQ(std::string(buf, n + 1), std::string("a\0b\0c\0\0", 7));
  n = GetPrivateProfileSectionA("one", buf, sizeof buf, path.c_str());
  EXPECT_EQ(std::string(buf, n + 1), std::string("a=1\0b=2\0c\0\0", 11));
  // Cut list: size-2 returned, double terminator at the end.
  char small[6];
  n = GetPrivateProfileSectionNamesA(small, sizeof small, path.c_str());
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(small[4], '\0');
  EXPECT_EQ(small[5], '\0');

  auto kv = plat::IniReadSection(path, "ONE");
  ASSERT_EQ(kv.size(), 3u);
  EXPECT_EQ(kv[1].first, "b");
  EXPECT_EQ(kv[1].second, "2");
  EXPECT_EQ(kv[2].second, "");
  EXPECT_EQ(plat::IniSectionNames(path), (std::vector<std::string>{"one", "two"}));
  std::string v;
  EXPECT_TRUE(plat::IniGetString(path, "one", "B", &v));
  EXPECT_EQ(v, "2");
  EXPECT_FALSE(plat::IniGetString(path, "one", "c", &v));
}

struct WriteCase {
  const char* name;
  const char* before;  // nullptr = no file
  const char* section;
  const char* key;
  const char* value;
  const char* after;
};

TEST(PlatformIniWrite, KeepsEverythingElse) {
  plat_test::TempDir dir;
  const WriteCase cases[] = {
      {"new file", nullptr, "account", "username", "bob", "[account]\r\nusername=bob\r\n"},
      {"replace in place keeps order and comments", "; top\r\n[a]\r\nx=1\r\nK=old\r\ny=2\r\n", "A", "k", "new",
       "; top\r\n[a]\r\nx=1\r\nK=new\r\ny=2\r\n"},
      {"append key to section", "[a]\r\nx=1\r\n\r\n[b]\r\nz=3\r\n", "a", "y", "2",
       "[a]\r\nx=1\r\ny=2\r\n\r\n[b]\r\nz=3\r\n"},
      {"append section at end", "[a]\r\nx=1\r\n", "b", "y", "2", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n"},
      {"append when no final newline", "[a]\r\nx=1", "b", "y", "2", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n"},
      {"lf file stays lf", "[a]\nx=1\n", "a", "y", "2", "[a]\nx=1\ny=2\n"},
      {"null value deletes key", "[a]\r\nx=1\r\ny=2\r\n", "a", "X", nullptr, "[a]\r\ny=2\r\n"},
      {"null key deletes section", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n[c]\r\n", "B", nullptr, nullptr,
       "[a]\r\nx=1\r\n[c]\r\n"},
      {"delete missing key keeps file", "[a]\r\nx=1\r\n", "a", "zz", nullptr, "[a]\r\nx=1\r\n"},
      {"gbk value written as is", "[a]\r\n", "a", "n", "\xd5\xc5", "[a]\r\nn=\xd5\xc5\r\n"},
      {"empty value", "[a]\r\nx=1\r\n", "a", "x", "", "[a]\r\nx=\r\n"},
  };
  for (const WriteCase& c : cases) {
    std::string path = dir.file("w.ini");
    plat::RemoveFile(path);
    if (c.before) Write(path, c.before);
    EXPECT_TRUE(WritePrivateProfileStringA(c.section, c.key, c.value, path.c_str())) << c.name;
    EXPECT_EQ(Read(path), c.after) << c.name;
  }
}

TEST(PlatformIniWrite, WriteThenReadBackAndInt) {
  plat_test::TempDir dir;
  std::string path = dir.file("acc.ini");
  const char* keys[] = {"username", "password", "alias", "autologin", "server", "port"};
  for (const char* k : keys) ASSERT_TRUE(WritePrivateProfileStringA("account0", k, "x", path.c_str()));
  ASSERT_TRUE(WritePrivateProfileInt("account0", "port", -5060, path.c_str()));
  EXPECT_EQ(static_cast<int>(GetPrivateProfileIntA("account0", "port", 0, path.c_str())), -5060);
  EXPECT_EQ(Read(path),
            "[account0]\r\nusername=x\r\npassword=x\r\nalias=x\r\nautologin=x\r\nserver=x\r\nport=-5060\r\n");
}

TEST(PlatformIniWrite, RefusesInputThatWouldBreakTheFile) {
  plat_test::TempDir dir;
  std::string path = dir.file("bad.ini");
  Write(path, "[a]\r\nx=1\r\n");
  EXPECT_FALSE(WritePrivateProfileStringA("a", "k", "line1\r\n[evil]", path.c_str()));
  EXPECT_FALSE(WritePrivateProfileStringA("a", "k=j", "v", path.c_str()));
  EXPECT_FALSE(WritePrivateProfileStringA("a]x", "k", "v", path.c_str()));
  EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "k", "v", path.c_str()));
  EXPECT_EQ(Read(path), "[a]\r\nx=1\r\n");
  // A folder that does not exist: failure, nothing created.
  EXPECT_FALSE(WritePrivateProfileStringA("a", "k", "v", dir.file("missing/x.ini").c_str()));
}

TEST(PlatformIniWrite, LeavesNoTemporaryFiles) {
  plat_test::TempDir dir;
  std::string path = dir.file("c.ini");
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(WritePrivateProfileInt("s", "k", i, path.c_str()));
  EXPECT_EQ(plat::ListDirectory(dir.path()), std::vector<std::string>{"c.ini"});
}

TEST(PlatformIniWrite, ValuesReadBackAsWritten) {
  plat_test::TempDir dir;
  const std::string path = dir.file("v.ini");
  struct Case {
    const char* value;
    const char* line;  // as stored
  };
  const Case cases[] = {
      {"plain", "k=plain"},
      {"two words", "k=two words"},
      {"", "k="},
      {" lead", "k=\" lead\""},
      {"trail ", "k=\"trail \""},
      {"\ttabs\t", "k=\"\ttabs\t\""},
      {" ", "k=\" \""},
      {"\"quoted\"", "k=\"\"quoted\"\""},
      {"'single'", "k=\"'single'\""},
      {"\"\"", "k=\"\"\"\""},
      {"\"", "k=\""},
      {"'", "k='"},
      {"\"open", "k=\"open"},
      {"close'", "k=close'"},
      {"\"mixed'", "k=\"mixed'"},
      {"a \"middle\" b", "k=a \"middle\" b"},
      {" \"both\" ", "k=\" \"both\" \""},
      {"pass;word=[x]", "k=pass;word=[x]"},
      {"\xd5\xc5 ", "k=\"\xd5\xc5 \""},
  };
  for (const Case& c : cases) {
    for (const bool replace : {false, true}) {  // a new key, then a key replaced in place
      const std::string what = std::string("[") + c.value + "]" + (replace ? " replaced" : " new");
      if (replace) {
        ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "old", path.c_str()));
      } else {
        plat::RemoveFile(path);
      }
      ASSERT_TRUE(WritePrivateProfileStringA("s", "k", c.value, path.c_str())) << what;
      EXPECT_EQ(Read(path), std::string("[s]\r\n") + c.line + "\r\n") << what;
      char out[64];
      EXPECT_EQ(GetPrivateProfileStringA("s", "k", "default", out, sizeof out, path.c_str()), std::strlen(c.value))
          << what;
      EXPECT_STREQ(out, c.value) << what;
      std::string whole;
      EXPECT_TRUE(plat::IniGetString(path, "s", "k", &whole)) << what;
      EXPECT_EQ(whole, c.value) << what;
      EXPECT_EQ(plat::IniReadSection(path, "s"), (std::vector<std::pair<std::string, std::string>>{{"k", c.value}}))
          << what;
    }
  }
}

TEST(PlatformIniWrite, KeysAndSectionsTheReaderCannotFindAreRefused) {
  plat_test::TempDir dir;
  const std::string path = dir.file("k.ini");
  const std::string before = "[a]\r\nx=1\r\n";
  Write(path, before);
  for (const char* key : {";k", "[k", "[k]", " k", "k ", "\tk", " ", "k=j"}) {
    EXPECT_FALSE(WritePrivateProfileStringA("a", key, "v", path.c_str())) << "[" << key << "]";
    EXPECT_FALSE(WritePrivateProfileStringA("a", key, nullptr, path.c_str())) << "[" << key << "]";
  }
  for (const char* section : {" a", "a ", "\ta"})
    EXPECT_FALSE(WritePrivateProfileStringA(section, "k", "v", path.c_str())) << "[" << section << "]";
  EXPECT_EQ(Read(path), before);
  // Inside a key, the same characters are fine.
  for (const char* key : {"k;x", "k[x]", "two words", "k'"}) {
    ASSERT_TRUE(WritePrivateProfileStringA("a", key, "v", path.c_str())) << key;
    char out[8];
    EXPECT_EQ(GetPrivateProfileStringA("a", key, "", out, sizeof out, path.c_str()), 1u) << key;
  }
}

}  // namespace
