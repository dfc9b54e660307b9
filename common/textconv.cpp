// Text helpers: code-page conversion, hexadecimal, MD5 and freeing of text records.
#include "common/textconv.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/codepage.h"

#ifdef TESSALY_OSIP_MD5
#include <osipparser2/osip_md5.h>
#else
#include "platform/md5.h"
#endif

int ConvertCodePage(UINT srcCp, const char* text, int length, UINT dstCp, char** out) {
    if (!out) return 0;
    *out = nullptr;
    if (!text || length < -1) return 0;
    if (srcCp == CP_ACP) srcCp = GetACP();
    if (dstCp == CP_ACP) dstCp = GetACP();
    if (dstCp == CP_GB18030 && !IsValidCodePage(CP_GB18030)) dstCp = CP_GBK;
    if (!IsValidCodePage(srcCp) || !IsValidCodePage(dstCp)) return 0;

    if (length == 0) {
        *out = static_cast<char*>(std::calloc(1, 1));
        return 0;
    }
    int wideLength = MultiByteToWideChar(srcCp, 0, text, length, static_cast<WCHAR*>(nullptr), 0);
    if (wideLength <= 0) return 0;
    std::vector<WCHAR> wide(static_cast<size_t>(wideLength));
    wideLength = MultiByteToWideChar(srcCp, 0, text, length, wide.data(), wideLength);
    if (wideLength <= 0) return 0;

    int converted = WideCharToMultiByte(dstCp, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (converted <= 0) return 0;
    // One spare zero byte, so the buffer is terminated whether or not a terminator was converted.
    char* buffer = static_cast<char*>(std::calloc(static_cast<size_t>(converted) + 1, 1));
    if (!buffer) return 0;
    converted = WideCharToMultiByte(dstCp, 0, wide.data(), wideLength, buffer, converted, nullptr, nullptr);
    if (converted <= 0) {
        std::free(buffer);
        return 0;
    }
    *out = buffer;
    return converted;
}

int AnsiToUtf8(const char* text, int length, char** out) {
    return ConvertCodePage(CP_ACP, text, length, CP_UTF8, out);
}

int Utf8ToAnsi(const char* text, int length, char** out) {
    return ConvertCodePage(CP_UTF8, text, length, CP_ACP, out);
}

char HexDigit(unsigned value) {
    value &= 0x0Fu;
    return static_cast<char>(value < 10 ? '0' + value : 'a' + (value - 10));
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void HexEncode(const uint8_t* bytes, char* out, size_t count) {
    if (!bytes || !out) return;
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = HexDigit(bytes[i] >> 4);
        out[2 * i + 1] = HexDigit(bytes[i]);
    }
}

int HexDecode(const char* text, uint8_t* out, size_t textLength) {
    if (!out) return -1;
    if (!text) {
        out[0] = 0;
        return textLength ? -1 : 0;
    }
    size_t pairs = textLength / 2;
    for (size_t i = 0; i < pairs; ++i) {
        int high = HexValue(text[2 * i]);
        int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            out[i] = 0;
            return -1;
        }
        out[i] = static_cast<uint8_t>((high << 4) | low);
    }
    out[pairs] = 0;
    return static_cast<int>(pairs);
}

void Md5Digest(uint8_t out[16], const void* data, size_t length) {
    if (!out) return;
    uint8_t digest[16];
#ifdef TESSALY_OSIP_MD5
    osip_MD5_CTX context;
    osip_MD5Init(&context);
    // The library takes unsigned int lengths; feed large inputs in chunks.
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (p && length > 0) {
        unsigned chunk = length > 0x40000000u ? 0x40000000u : static_cast<unsigned>(length);
        osip_MD5Update(&context, const_cast<unsigned char*>(p), chunk);
        p += chunk;
        length -= chunk;
    }
    osip_MD5Final(digest, &context);
#else
    plat::Md5Digest(data, data ? length : 0, digest);
#endif
    std::memcpy(out, digest, sizeof digest);
}

void FreeStringPair(StringPair* pair) {
    if (!pair) return;
    std::free(pair->first);
    std::free(pair->second);
    pair->first = pair->second = nullptr;
}

void FreeStringTriple(StringTriple* triple) {
    if (!triple) return;
    std::free(triple->first);
    std::free(triple->second);
    std::free(triple->third);
    triple->first = triple->second = triple->third = nullptr;
}
