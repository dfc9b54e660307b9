// Text helpers: code-page conversion through UTF-16, lower-case hexadecimal, MD5, freeing text records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wintypes.h"

// Converts length bytes of text from code page srcCp to dstCp through UTF-16. A length of -1
// means a terminated text; the terminator is then converted and counted. *out receives a new
// zero-filled heap buffer (malloc; the caller frees it) holding the converted text and a
// terminator; the result is the number of bytes converted. On failure (null text or out pointer,
// bad length, unknown code page) *out is null and the result 0; an empty text gives a buffer
// holding only the terminator. Target 54936 falls back to 936 where 54936 is missing.
int ConvertCodePage(UINT srcCp, const char* text, int length, UINT dstCp, char** out);
// The ANSI code page (CP_ACP) to UTF-8, and back. Access-server requests go out in UTF-8.
int AnsiToUtf8(const char* text, int length, char** out);
int Utf8ToAnsi(const char* text, int length, char** out);

// '0'..'9', 'a'..'f' for the low four bits of value (lower case only).
char HexDigit(unsigned value);
// 0..15 for '0'..'9' and 'a'..'f'; -1 for anything else (upper-case letters included).
int HexValue(char c);
// Two lower-case hex characters per byte, high nibble first; writes no terminator.
void HexEncode(const uint8_t* bytes, char* out, size_t count);
// One byte from each pair of characters, high nibble first, followed by a terminating zero byte;
// a last unpaired character is ignored. Returns the number of bytes decoded, or -1 when a
// character is not a lower-case hex digit (the output then holds the bytes before that pair,
// terminated). out needs textLength / 2 + 1 bytes.
int HexDecode(const char* text, uint8_t* out, size_t textLength);

// MD5 (RFC 1321) of the data; out may be the input buffer.
void Md5Digest(uint8_t out[16], const void* data, size_t length);

// Records of two and three heap texts (malloc) used by the access-server results.
struct StringPair {
    char* first;
    char* second;
};
struct StringTriple {
    char* first;
    char* second;
    char* third;
};
// Frees each text that is set and clears the pointers; a null record is ignored.
void FreeStringPair(StringPair* pair);
void FreeStringTriple(StringTriple* triple);
