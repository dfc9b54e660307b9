// Tests of emoticon codes found inside a message text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/chat/chat_emoticon_text.h"

namespace {

// The pieces written out: plain runs as they stand, codes as [n].
std::string Shown(const std::u16string& text) {
    std::string out;
    for (const chat::TextPiece& p : chat::SplitEmoticons(text)) {
        if (p.emoticon >= 0) out += "[" + std::to_string(p.emoticon) + "]";
        else
            for (size_t k = 0; k < p.length; ++k) out += static_cast<char>(text[p.start + k] < 0x80 ? text[p.start + k] : '?');
    }
    return out;
}

}  // namespace

TEST(EmoticonText, CodesAndPlainRuns) {
    struct Row {
        std::u16string text;
        std::string shown;
    } const rows[] = {
        {u"", ""},
        {u"hello", "hello"},
        {u"/:)", "[0]"},
        {u"hi /:) there", "hi [0] there"},
        {u"/:)/:D/;)", "[0][1][2]"},
        {u"/:'(", "[10]"},              // the longest code wins
        {u"/:'", "/:'"},                // a code cut short is text
        {u"/:/:D", "/:[1]"},
        {u"//:)", "/[0]"},
        {u"/:d", "/:d"},                // codes are exact
        {u"\u4f60/:)\u597d", "?[0]?"},
        {u"/:2/:1", "[48][47]"},
        {u"end /:", "end /:"},
    };
    for (const Row& r : rows) EXPECT_EQ(r.shown, Shown(r.text));
}

TEST(EmoticonText, TheLongestMessageIsCutInOnePass) {
    // 21,845 codes, the messaging library's longest text: every code found, in order.
    std::u16string text;
    for (int i = 0; i < 21845; ++i) text += u"/:)";
    const std::vector<chat::TextPiece> pieces = chat::SplitEmoticons(text);
    ASSERT_EQ(21845u, pieces.size());
    EXPECT_EQ(3u * 21844, pieces.back().start);
    EXPECT_EQ(0, pieces.back().emoticon);
}
