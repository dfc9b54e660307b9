// Fuzz target: a received message text (in the messaging code page) cut into plain runs and emoticon
// codes, as the chat window and the record browser show it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/codepage.h"
#include "ui/chat/chat_emoticon_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string text = plat::ToUtf16(bytes, 936);
    const auto& codes = chat::EmoticonCodes();
    size_t at = 0;
    bool lastPlain = false;
    for (const chat::TextPiece& p : chat::SplitEmoticons(text)) {
        // The pieces cover the text in order, without gaps, overlaps or empty or doubled plain runs.
        if (p.start != at || p.length == 0 || p.start + p.length > text.size()) __builtin_trap();
        if (p.emoticon >= 0) {
            if (static_cast<size_t>(p.emoticon) >= codes.size() || codes[p.emoticon].size() != p.length) __builtin_trap();
            for (size_t k = 0; k < p.length; ++k)
                if (text[p.start + k] != static_cast<char16_t>(codes[p.emoticon][k])) __builtin_trap();
            lastPlain = false;
        } else {
            if (lastPlain) __builtin_trap();
            // No code starts inside a plain run.
            for (size_t k = p.start; k < p.start + p.length; ++k)
                if (chat::EmoticonCodeAt(text, k, nullptr) >= 0) __builtin_trap();
            lastPlain = true;
        }
        at = p.start + p.length;
    }
    if (at != text.size()) __builtin_trap();
    return 0;
}
