// Emoticon codes inside a message text, found in one pass.
#include "ui/chat/chat_emoticon_text.h"

namespace chat {

const std::vector<std::string>& EmoticonCodes() {
    static const std::vector<std::string> codes = {
        "/:)", "/:D", "/;)", "/:(", "/:P", "/:O", "/:|", "/:*", "/:@", "/:$", "/:'(", "/:Z", "/:B", "/:S", "/:X", "/:!", "/:?",
        "/:L", "/:>", "/:<", "/:^", "/:~", "/:8", "/:&", "/:%", "/:#", "/:+", "/:-", "/:=", "/:Q", "/:W", "/:E", "/:R", "/:T",
        "/:Y", "/:U", "/:I", "/:A", "/:F", "/:G", "/:H", "/:J", "/:K", "/:C", "/:V", "/:N", "/:M", "/:1", "/:2"};
    return codes;
}

int EmoticonCodeAt(std::u16string_view text, size_t at, int* codeLength) {
    int best = -1;
    size_t bestLen = 0;
    // Every code starts with '/': anything else is settled by one comparison.
    if (at < text.size() && text[at] == u'/') {
        const std::vector<std::string>& codes = EmoticonCodes();
        for (size_t i = 0; i < codes.size(); ++i) {
            const std::string& code = codes[i];
            if (code.size() <= bestLen || text.size() - at < code.size()) continue;
            size_t k = 1;
            while (k < code.size() && text[at + k] == static_cast<char16_t>(static_cast<unsigned char>(code[k]))) ++k;
            if (k == code.size()) {
                best = static_cast<int>(i);
                bestLen = code.size();
            }
        }
    }
    if (codeLength) *codeLength = static_cast<int>(bestLen);
    return best;
}

std::vector<TextPiece> SplitEmoticons(std::u16string_view text) {
    std::vector<TextPiece> pieces;
    size_t plainFrom = 0;
    for (size_t i = 0; i < text.size();) {
        int len = 0;
        const int index = EmoticonCodeAt(text, i, &len);
        if (index < 0) {
            ++i;
            continue;
        }
        if (i > plainFrom) pieces.push_back({plainFrom, i - plainFrom, -1});
        pieces.push_back({i, static_cast<size_t>(len), index});
        i += static_cast<size_t>(len);
        plainFrom = i;
    }
    if (text.size() > plainFrom) pieces.push_back({plainFrom, text.size() - plainFrom, -1});
    return pieces;
}

}  // namespace chat
