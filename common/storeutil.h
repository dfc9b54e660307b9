// Small text helpers shared by the data-store modules (heap copies, ASCII case folding).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace store {

// Heap copy of a text (malloc; release with free). Null for a null text or when memory runs out.
inline char* DupText(const char* text) {
    if (!text) return nullptr;
    size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

// Replaces *field with a copy of text (null clears it). False, with the old text kept, when
// memory runs out.
inline bool ReplaceText(char** field, const char* text) {
    char* copy = nullptr;
    if (text) {
        copy = DupText(text);
        if (!copy) return false;
    }
    std::free(*field);
    *field = copy;
    return true;
}

// Byte-wise comparison folding only ASCII letters, so multibyte (GBK) texts compare as on
// the system the files come from, whatever the process locale.
inline int CompareNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca + 32);
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb + 32);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

// Equality without regard to ASCII case; false when either text is null.
inline bool EqualNoCase(const char* a, const char* b) {
    return a && b && CompareNoCase(a, b) == 0;
}

// True for a null or empty text.
inline bool IsEmpty(const char* text) { return !text || !*text; }

// Copies at most size-1 bytes of text into out and terminates it (size > 0).
inline void CopyBounded(char* out, size_t size, const char* text) {
    if (!out || size == 0) return;
    size_t n = text ? std::strlen(text) : 0;
    if (n >= size) n = size - 1;
    if (n) std::memcpy(out, text, n);
    out[n] = '\0';
}

// Leading decimal value of a text as atoi reads it (blanks, sign, digits), saturated to the
// range of long long instead of overflowing.
inline long long LeadingNumber(const char* text) {
    if (!text) return 0;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\v' || *text == '\f')
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');
    unsigned long long value = 0;
    const unsigned long long limit = 1ULL << 62;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + static_cast<unsigned>(*text - '0');
        if (value > limit) value = limit;
    }
    long long v = static_cast<long long>(value);
    return negative ? -v : v;
}

}  // namespace store
