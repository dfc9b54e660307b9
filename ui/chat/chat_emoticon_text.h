// Emoticon codes inside a message text: the code table and the text cut into plain runs and codes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace chat {

// The codes in the picker's order; an emoticon's number is its index here.
const std::vector<std::string>& EmoticonCodes();
// The emoticon whose code starts text at position at (the longest code wins, so "/:'(" is never
// "/:'" and a rest), or -1; codeLength gets the code's length (0 for none). Constant time per call.
int EmoticonCodeAt(std::u16string_view text, size_t at, int* codeLength);

// One piece of a message text: a plain run, or one emoticon code (emoticon >= 0).
struct TextPiece {
    size_t start = 0;
    size_t length = 0;
    int emoticon = -1;
};
// The text cut into pieces in order, covering it whole; plain runs are never empty and never follow one
// another. One pass over the text.
std::vector<TextPiece> SplitEmoticons(std::u16string_view text);

}  // namespace chat
