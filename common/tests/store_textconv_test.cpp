// Tests of the code-page conversions, hexadecimal helpers, MD5 digest and text-record freeing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/textconv.h"
#include "platform/codepage.h"

namespace {

struct Converted {
    int result;
    std::string bytes;  // the buffer up to and including its first terminator
    bool isNull;
};

Converted Convert(UINT from, const char* text, int length, UINT to) {
    char* out = reinterpret_cast<char*>(1);
    int result = ConvertCodePage(from, text, length, to, &out);
    Converted c{result, {}, out == nullptr};
    if (out) {
        // Copy what was converted plus the terminator that must follow it.
        size_t n = result >= 0 ? static_cast<size_t>(result) : 0;
        c.bytes.assign(out, n + 1);
        std::free(out);
    }
    return c;
}

const char kGbkChinese[] = "\xD6\xD0\xCE\xC4";          // "中文" in GBK
const char kUtf8Chinese[] = "\xE4\xB8\xAD\xE6\x96\x87";  // "中文" in UTF-8
const char kUtf8Ext[] = "\xF0\xA0\x80\x80";             // U+20000, outside GBK
const char kGb18030Ext[] = "\x95\x32\x82\x36";          // U+20000 in GB18030

struct ConversionCase {
    const char* name;
    UINT from;
    const char* text;
    int length;
    UINT to;
    int expectedResult;
    std::string expectedBytes;  // the bytes converted (result bytes); a terminator must follow
};

// Test names show the case's name rather than its bytes.
void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.name; }

class CommonStoreCodePageTable : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(CommonStoreCodePageTable, ConvertsAndTerminates) {
    const ConversionCase& c = GetParam();
    Converted got = Convert(c.from, c.text, c.length, c.to);
    ASSERT_FALSE(got.isNull);
    EXPECT_EQ(got.result, c.expectedResult);
    EXPECT_EQ(got.bytes, c.expectedBytes + '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonStoreCodePageTable,
    ::testing::Values(
        ConversionCase{"GbkToUtf8Counted", 936, kGbkChinese, 4, 65001, 6, std::string(kUtf8Chinese, 6)},
        ConversionCase{"Utf8ToGbkCounted", 65001, kUtf8Chinese, 6, 936, 4, std::string(kGbkChinese, 4)},
        // With -1 the terminator is converted and counted.
        ConversionCase{"GbkToUtf8Terminated", 936, kGbkChinese, -1, 65001, 7, std::string(kUtf8Chinese, 6) + '\0'},
        ConversionCase{"AsciiTerminated", 65001, "abc", -1, 936, 4, std::string("abc") + '\0'},
        // A length shorter than the text converts only that much.
        ConversionCase{"Prefix", 65001, "abcdef", 2, 936, 2, "ab"},
        ConversionCase{"ToGb18030", 65001, kUtf8Ext, -1, 54936, 5, std::string(kGb18030Ext, 4) + '\0'},
        ConversionCase{"FromGb18030", 54936, kGb18030Ext, 4, 65001, 4, std::string(kUtf8Ext, 4)},
        // GBK lacks the character: code page 936 carries it in GB18030's four-byte form, both ways.
        ConversionCase{"MissingInGbkCarried", 65001, kUtf8Ext, 4, 936, 4, std::string(kGb18030Ext, 4)},
        ConversionCase{"CarriedBackFromGbk", 936, kGb18030Ext, 4, 65001, 4, std::string(kUtf8Ext, 4)},
        ConversionCase{"Empty", 65001, "", 0, 936, 0, ""}),
    [](const ::testing::TestParamInfo<ConversionCase>& info) { return std::string(info.param.name); });

TEST(CommonStoreCodePage, RefusesBadArguments) {
    EXPECT_TRUE(Convert(65001, nullptr, 3, 936).isNull);
    EXPECT_EQ(Convert(65001, nullptr, 3, 936).result, 0);
    EXPECT_TRUE(Convert(12345, "abc", 3, 936).isNull);
    EXPECT_TRUE(Convert(65001, "abc", -2, 936).isNull);
    EXPECT_EQ(ConvertCodePage(65001, "abc", 3, 936, nullptr), 0);
}

TEST(CommonStoreCodePage, AnsiMeansTheConfiguredCodePage) {
    ASSERT_TRUE(plat::SetAnsiCodePage(936));
    char* out = nullptr;
    ASSERT_EQ(AnsiToUtf8(kGbkChinese, -1, &out), 7);
    EXPECT_STREQ(out, kUtf8Chinese);
    std::free(out);
    ASSERT_EQ(Utf8ToAnsi(kUtf8Chinese, 6, &out), 4);
    EXPECT_STREQ(out, kGbkChinese);
    std::free(out);
}

TEST(CommonStoreHex, DigitsAndValues) {
    const char digits[] = "0123456789abcdef";
    for (unsigned v = 0; v < 16; ++v) {
        EXPECT_EQ(HexDigit(v), digits[v]);
        EXPECT_EQ(HexValue(digits[v]), static_cast<int>(v));
    }
    for (char c : std::string("ABCDEFgG /:@`\xff"))
        EXPECT_EQ(HexValue(c), -1) << "character " << static_cast<int>(c);
}

TEST(CommonStoreHex, EncodeThenDecode) {
    const uint8_t bytes[] = {0x00, 0xAB};
    char text[5] = "xxxx";
    HexEncode(bytes, text, 2);
    EXPECT_STREQ(text, "00ab");  // no terminator written: the fifth byte is the old one

    uint8_t out[4];
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(HexDecode("00ab", out, 4), 2);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0xAB);
    EXPECT_EQ(out[2], 0x00);  // terminating zero

    uint8_t all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    char big[512];
    HexEncode(all, big, 256);
    uint8_t back[257];
    ASSERT_EQ(HexDecode(big, back, 512), 256);
    EXPECT_EQ(std::memcmp(all, back, 256), 0);
}

TEST(CommonStoreHex, DecodeEdgeCases) {
    uint8_t out[4];
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(HexDecode("", out, 0), 0);
    EXPECT_EQ(out[0], 0);

    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(HexDecode("abc", out, 3), 1);  // the unpaired 'c' is ignored
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0);

    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(HexDecode("12zz", out, 4), -1);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0);

    EXPECT_EQ(HexDecode("AB", out, 2), -1);  // upper case is not hexadecimal here
}

std::string Md5Hex(const std::string& data) {
    uint8_t digest[16];
    Md5Digest(digest, data.data(), data.size());
    char text[33] = {};
    HexEncode(digest, text, 16);
    return text;
}

TEST(CommonStoreMd5, Rfc1321TestSuite) {
    const std::pair<const char*, const char*> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, expected] : suite) EXPECT_EQ(Md5Hex(input), expected) << "input \"" << input << "\"";
}

TEST(CommonStoreMd5, OutputMayBeTheInput) {
    uint8_t buffer[16];
    std::memcpy(buffer, "abc", 3);
    Md5Digest(buffer, buffer, 3);
    char text[33] = {};
    HexEncode(buffer, text, 16);
    EXPECT_STREQ(text, "900150983cd24fb0d6963f7d28e17f72");
}

TEST(CommonStoreTextRecords, FreeingClearsEveryPointer) {
    StringPair pair{strdup("a"), nullptr};
    FreeStringPair(&pair);
    EXPECT_EQ(pair.first, nullptr);
    EXPECT_EQ(pair.second, nullptr);
    FreeStringPair(&pair);  // again: nothing left to free
    FreeStringPair(nullptr);

    StringTriple triple{strdup("a"), strdup("b"), strdup("c")};
    FreeStringTriple(&triple);
    EXPECT_EQ(triple.first, nullptr);
    EXPECT_EQ(triple.second, nullptr);
    EXPECT_EQ(triple.third, nullptr);
    FreeStringTriple(nullptr);
}

}  // namespace
