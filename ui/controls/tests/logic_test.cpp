// Tests of the controls' logic below the widgets: colours, mask regions, chat text, toolbar model, small machines.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ui/controls/chat_text.h"
#include "ui/controls/colour.h"
#include "ui/controls/control_geometry.h"
#include "ui/controls/mask_region.h"
#include "ui/controls/toolbar_state.h"

namespace {

TEST(ColourTest, OffsetKeepsTheHueAndNeverClips) {
  struct Case { COLORREF in; int offset; COLORREF out; };
  const Case cases[] = {
      {RGB(240, 240, 230), 30, RGB(255, 255, 245)},  // limited by the brightest channel
      {RGB(10, 20, 30), -50, RGB(0, 10, 20)},        // limited by the darkest channel
      {RGB(100, 150, 200), 20, RGB(120, 170, 220)},
      {RGB(100, 150, 200), 0, RGB(100, 150, 200)},
      {RGB(255, 0, 0), 10, RGB(255, 0, 0)},
  };
  for (const Case& c : cases) EXPECT_EQ(ctl::OffsetColorValue(c.in, c.offset), c.out) << std::hex << c.in << " " << c.offset;
  EXPECT_EQ(ctl::LimitColorOffset(RGB(240, 240, 230), 30), 15);
}

TEST(ColourTest, LightenDarkenGreyAndDarker) {
  EXPECT_EQ(ctl::LightenColor(RGB(0, 100, 255), 0.5), RGB(127, 177, 255));
  EXPECT_EQ(ctl::DarkenColor(RGB(200, 100, 3), 0.5), RGB(100, 50, 1));
  EXPECT_EQ(ctl::LightenColor(RGB(1, 2, 3), 0.0), RGB(1, 2, 3));    // factor out of range: unchanged
  EXPECT_EQ(ctl::DarkenColor(RGB(1, 2, 3), 1.5), RGB(1, 2, 3));
  EXPECT_EQ(ctl::GrayColor(RGB(255, 0, 0)), RGB(76, 76, 76));       // 0.299 * 255, truncated
  EXPECT_EQ(ctl::GrayColor(RGB(255, 255, 255)), RGB(255, 255, 255));
  EXPECT_EQ(ctl::DarkerColor(RGB(200, 101, 3)), RGB(150, 75, 2));
}

TEST(MaskRegionTest, RunsPerRowFromTheBottomUp) {
  // 'x' opaque, '.' white.
  const std::vector<std::string> mask = {
      "..xx.",
      "x.x.x",
      ".....",
  };
  auto white = [&](int x, int y) { return mask[y][x] == '.'; };
  const auto runs = ctl::RegionRunsFromMask(5, 3, white);
  const std::vector<ctl::RunRect> want = {
      {0, 1, 1, 2}, {2, 1, 3, 2}, {4, 1, 5, 2},  // the run in the last column includes it
      {2, 0, 4, 1},
  };
  EXPECT_EQ(runs, want);
  EXPECT_TRUE(ctl::RegionRunsFromMask(3, 2, [](int, int) { return true; }).empty());
  const auto full = ctl::RegionRunsFromMask(4, 1, [](int, int) { return false; });
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0], (ctl::RunRect{0, 0, 4, 1}));
}

TEST(ChatTextTest, CodesAreKeptToThirtyOneBytes) {
  const std::string code40(40, 'c');
  EXPECT_EQ(ctl::MakeImageCode(code40), std::string(31, 'c'));
  int expansion = 0;
  const std::string coded = ctl::CodedText(u"a\xFFFC", {{1, code40}}, false, 0, 0, &expansion);
  EXPECT_EQ(coded, "a" + std::string(31, 'c'));
  EXPECT_EQ(expansion, 30);
}

TEST(ChatTextTest, SelectionTakesOnlyThePicturesInsideIt) {
  // "x[p]yz[q]w": pictures at 1 and 4.
  const std::u16string text = u"x\xFFFCyz\xFFFCw";
  const std::vector<ctl::PictureCode> pics = {{1, "/smile"}, {4, "/cry"}};
  int expansion = -1;
  EXPECT_EQ(ctl::CodedText(text, pics, true, 2, 4, &expansion), "yz");  // end exclusive: the picture at 4 is out
  EXPECT_EQ(expansion, 0);
  EXPECT_EQ(ctl::CodedText(text, pics, true, 1, 3, &expansion), "/smiley");
  EXPECT_EQ(expansion, 5);
  EXPECT_EQ(ctl::CodedText(text, pics, false, 0, 0, &expansion), "x/smileyz/cryw");
  EXPECT_EQ(expansion, 8);
  // A picture without a code is left out.
  EXPECT_EQ(ctl::CodedText(u"\xFFFC" u"a", {{0, ""}}, false, 0, 0, &expansion), "a");
  EXPECT_EQ(expansion, -1);
}

TEST(ChatTextTest, CodedTextIsCutAt1024BytesBetweenCharacters) {
  // 275 pictures with 31-byte codes pass the 1024 bytes: what would pass them is cut.
  std::u16string text(275, u'\xFFFC');
  std::vector<ctl::PictureCode> pics;
  for (size_t i = 0; i < text.size(); ++i) pics.push_back({i, std::string(31, 'a' + i % 26)});
  int expansion = 0;
  const std::string coded = ctl::CodedText(text, pics, false, 0, 0, &expansion);
  ASSERT_EQ(coded.size(), 1024u);
  EXPECT_EQ(coded.substr(33 * 31), std::string(1, 'a' + 33 % 26));
  EXPECT_EQ(expansion, 275 * 30);
  // A double-byte character that would straddle the end is left out whole.
  const std::u16string straddle = std::u16string(1023, u'a') + u"\x4F60";  // GBK C4 E3
  EXPECT_EQ(ctl::CodedText(straddle, {}, false, 0, 0, &expansion), std::string(1023, 'a'));
  const std::u16string fits = std::u16string(1022, u'a') + u"\x4F60";
  EXPECT_EQ(ctl::CodedText(fits, {}, false, 0, 0, &expansion).size(), 1024u);
}

TEST(ChatTextTest, CountsHalfWidthUnits) {
  const std::string dbcs = "\xC4\xE3";  // one GBK character
  struct Case { std::string text; int chars; };
  const std::string emoji = "\x94\x39\xD1\x31";  // a thumbs-up in the code page's four-byte form
  const Case cases[] = {{"", 0}, {"ab", 2}, {"ab" + dbcs, 3}, {dbcs + dbcs, 2}, {"a\x7F", 1}, {"a" + emoji, 3}};
  for (const Case& c : cases) EXPECT_EQ(ctl::CountTextUnits(c.text, 0, false).characters, c.chars) << c.text;
  EXPECT_EQ(ctl::CountUnits("ab" + dbcs), 6);
}

TEST(ChatTextTest, CutAtTheLimitNeverSplitsADoubleByteCharacter) {
  // 274 ASCII characters, then double-byte ones: the limit falls after the first of them.
  std::string text(274, 'a');
  for (int i = 0; i < 5; ++i) text += "\xC4\xE3";
  const ctl::CountResult r = ctl::CountTextUnits(text, 0, true);
  EXPECT_EQ(r.characters, 275);
  EXPECT_EQ(r.cutPosition, 276);  // 274 + one whole double-byte character
  // 549 units of ASCII + one double-byte character would straddle: ASCII pairs only reach 548.
  std::string odd(273, 'a');
  odd += "b\xC4\xE3\xC4\xE3";
  const ctl::CountResult r2 = ctl::CountTextUnits(odd, 0, true);
  EXPECT_EQ(r2.characters, 275);
  EXPECT_EQ(r2.cutPosition % 1, 0);
  EXPECT_EQ(r2.cutPosition, 276);
  // The expansion of the codes is taken off the cut position.
  EXPECT_EQ(ctl::CountTextUnits(std::string(600, 'x'), 10, true).cutPosition, 275 - 10);
}

TEST(ChatTextTest, PasteCutKeepsWholeCharacters) {
  const std::string d = "\xC4\xE3";
  struct Case { std::string clip; int allowed; std::string want; };
  const Case cases[] = {
      {"abcdef", 3, "abc"},
      {"a" + d + "b", 2, "a" + d},
      {d + d + d, 2, d + d},
      {"abc", 0, ""},
      {"ab", 10, "ab"},
      {"a\x94\x39\xD1\x31", 2, "a"},  // a four-byte character is never cut in half
      {"a\x94\x39\xD1\x31", 3, "a\x94\x39\xD1\x31"},
  };
  for (const Case& c : cases) EXPECT_EQ(ctl::CutToCharacters(c.clip, c.allowed), c.want);
  EXPECT_EQ(ctl::PasteAllowance(0, 270), 5);
  EXPECT_EQ(ctl::PasteAllowance(4, 275), 4);
  EXPECT_EQ(ctl::PasteAllowance(0, 300), 0);
}

TEST(ToolbarStateTest, SavedBlockRoundTrips) {
  std::vector<ctl::TBBUTTON> buttons(2);
  buttons[0] = {3, 32821, ctl::TBSTATE_ENABLED, ctl::TBSTYLE_AUTOSIZE, {0, 0}, 7, 32821};
  buttons[1] = {8, 0, 0, ctl::TBSTYLE_SEP, {0, 0}, 0, -1};
  const auto block = ctl::SaveToolbarBlock(1, 2, buttons);
  ASSERT_EQ(block.size(), 8u + 2 * 20u);
  int icon = -1, text = -1;
  std::vector<ctl::TBBUTTON> back;
  ASSERT_TRUE(ctl::RestoreToolbarBlock(block, &icon, &text, &back));
  EXPECT_EQ(icon, 1);
  EXPECT_EQ(text, 2);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].idCommand, 32821);
  EXPECT_EQ(back[0].dwData, 7u);
  EXPECT_EQ(back[1].iString, -1);
  EXPECT_EQ(back[1].fsStyle, ctl::TBSTYLE_SEP);
}

TEST(ToolbarStateTest, ShortBlocksAreRefusedAndHeaderOnlyRestoresNoButtons) {
  const auto full = ctl::SaveToolbarBlock(1, 0, {ctl::TBBUTTON{}});
  for (size_t len : {0u, 4u, 7u}) {
    int icon = 5, text = 6;
    std::vector<ctl::TBBUTTON> back(3);
    EXPECT_FALSE(ctl::RestoreToolbarBlock(std::span(full.data(), len), &icon, &text, &back)) << len;
    EXPECT_EQ(icon, 5);
    EXPECT_EQ(text, 6);
    EXPECT_EQ(back.size(), 3u);
  }
  int icon = 5, text = 6;
  std::vector<ctl::TBBUTTON> back(3);
  ASSERT_TRUE(ctl::RestoreToolbarBlock(std::span(full.data(), 8), &icon, &text, &back));
  EXPECT_EQ(icon, 1);
  EXPECT_EQ(text, 0);
  EXPECT_TRUE(back.empty());
  // A trailing partial record is ignored.
  ASSERT_TRUE(ctl::RestoreToolbarBlock(std::span(full.data(), full.size() - 1), &icon, &text, &back));
  EXPECT_TRUE(back.empty());
}

// A restored block is bounded before the layout adds its sizes up: too many records or a separator
// wider than the widest layout refuses the whole block; at the bounds, the layout's sums stay exact.
TEST(ToolbarStateTest, RestoredBlocksAreBoundedForTheLayout) {
  auto separators = [](size_t count, int width) {
    std::vector<ctl::TBBUTTON> b(count);
    for (auto& t : b) {
      t.fsStyle = ctl::TBSTYLE_SEP;
      t.iBitmap = width;
    }
    return b;
  };
  struct Case {
    const char* name;
    std::vector<ctl::TBBUTTON> buttons;
    bool taken;
  };
  const Case cases[] = {
      {"at both bounds", separators(ctl::kToolbarButtonsMax, ctl::kSeparatorWidthMax), true},
      {"one record too many", separators(ctl::kToolbarButtonsMax + 1, 8), false},
      {"a separator too wide", separators(2, ctl::kSeparatorWidthMax + 1), false},
      {"the widest int", separators(3, INT32_MAX), false},
      {"a negative width (the default one)", separators(3, INT32_MIN), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int icon = 5, text = 6;
    std::vector<ctl::TBBUTTON> back(1);
    EXPECT_EQ(ctl::RestoreToolbarBlock(ctl::SaveToolbarBlock(1, 2, c.buttons), &icon, &text, &back), c.taken);
    EXPECT_EQ(icon, c.taken ? 1 : 5);
    EXPECT_EQ(text, c.taken ? 2 : 6);
    EXPECT_EQ(back.size(), c.taken ? c.buttons.size() : 1u);
  }
  // A picture index of a button is no size: any value is kept.
  std::vector<ctl::TBBUTTON> one(1);
  one[0].iBitmap = INT32_MAX;
  std::vector<ctl::TBBUTTON> back;
  int icon = 0, text = 0;
  ASSERT_TRUE(ctl::RestoreToolbarBlock(ctl::SaveToolbarBlock(0, 0, one), &icon, &text, &back));
  EXPECT_EQ(back[0].iBitmap, INT32_MAX);

  // The largest block taken, laid out in one row: its width is the exact sum.
  ctl::ToolbarLayout bar;
  for (const auto& t : separators(ctl::kToolbarButtonsMax, ctl::kSeparatorWidthMax)) {
    ctl::LayoutButton b;
    b.separator = true;
    b.width = t.iBitmap;
    b.height = 22;
    bar.buttons.push_back(b);
  }
  std::vector<ctl::LayoutButton> row = bar.buttons;
  ctl::WrapAtWidth(row, INT32_MAX);
  EXPECT_EQ(ctl::WrappedSize(row, 22).width, static_cast<int>(ctl::kToolbarButtonsMax) * ctl::kSeparatorWidthMax);
  const ctl::LayoutSize docked = ctl::CalcLayout(bar, ctl::LM_HORZ | ctl::LM_HORZDOCK | ctl::LM_COMMIT);
  EXPECT_GT(docked.width, 0);
  EXPECT_GT(docked.height, 0);
}

std::vector<ctl::LayoutButton> Bar(const std::string& spec) {
  // 'b' button 20 wide, 's' plain separator 8 wide, 'c' control slot 50 wide, 'h' hidden button.
  std::vector<ctl::LayoutButton> out;
  for (char c : spec) {
    ctl::LayoutButton b;
    b.height = 22;
    switch (c) {
      case 'b': b.width = 20; b.command = 100; break;
      case 's': b.width = 8; b.separator = true; b.height = 8; break;
      case 'c': b.width = 50; b.separator = true; b.command = 200; break;
      case 'h': b.width = 20; b.command = 300; b.hidden = true; break;
    }
    out.push_back(b);
  }
  return out;
}

std::string Wraps(const std::vector<ctl::LayoutButton>& bar) {
  std::string s;
  for (const auto& b : bar) s += b.wrap ? 'W' : '-';
  return s;
}

TEST(ToolbarLayoutTest, WrapsAtSeparatorsFirstThenButtons) {
  struct Case { std::string bar; int width; int rows; std::string wraps; };
  const Case cases[] = {
      {"bbb", 100, 1, "---"},
      {"bbsbb", 50, 2, "--W--"},         // the separator of the row takes the wrap
      {"bbbb", 50, 2, "-W--"},           // no separator: the button before the one that passes
      {"bbbbbb", 45, 3, "-W-W--"},
      {"bcb", 60, 2, "W--"},             // a control slot is never the wrap point
      {"bhhbb", 50, 2, "---W-"},         // hidden buttons take no room
      {"b", 5, 1, "-"},                  // a lone button stays on its row
      {"s", 5, 2, "W"},                  // a separator that alone passes the width wraps at itself
      {"sbbc", 55, 3, "W-W-"},           // after a wrap the row is walked again and can wrap again
  };
  for (const Case& c : cases) {
    auto bar = Bar(c.bar);
    EXPECT_EQ(ctl::WrapAtWidth(bar, c.width), c.rows) << c.bar << " @" << c.width;
    EXPECT_EQ(Wraps(bar), c.wraps) << c.bar << " @" << c.width;
  }
}

TEST(ToolbarLayoutTest, WrappedSizeAndFit) {
  auto bar = Bar("bbsbb");
  ctl::WrapAtWidth(bar, 50);
  // Row 1: 40 wide (the wrapping separator has no width), then the separator's own 8 pixels.
  EXPECT_EQ(ctl::WrappedSize(bar, 22), (ctl::LayoutSize{40, 22 + 8 + 22}));
  auto wide = Bar("bbbbbb");
  EXPECT_EQ(ctl::FitWidth(wide, 70), 60);  // the narrowest width that still gives two rows
  EXPECT_EQ(ctl::WrappedSize(wide, 22), (ctl::LayoutSize{60, 44}));
}

TEST(SplitterTest, ClampsToTheRangeAndMeasuresFromTheStart) {
  ctl::SplitterDrag d;
  d.begin(100, 50, 150);
  EXPECT_EQ(d.move(400), 150);
  EXPECT_EQ(d.move(-5), 50);
  EXPECT_EQ(d.move(120), 120);
  EXPECT_EQ(d.end(), 20);
  d.begin(100, 50, 150);
  d.move(999);
  EXPECT_EQ(d.end(), 50);
  EXPECT_FALSE(d.dragging());
}

TEST(TipAnimationTest, SevenSlowStepsFiveFastAndTwelveFrames) {
  ctl::TipAnimation a(400);
  std::vector<int> waits{a.intervalMs()};  // the first paint starts the slow timer
  EXPECT_EQ(a.drawFrame(), 0);
  std::vector<int> frames;
  for (int i = 0; i < 24; ++i) {
    frames.push_back(a.tick());
    waits.push_back(a.intervalMs());
  }
  const std::vector<int> cycle = {400, 400, 400, 400, 400, 400, 400, 100, 100, 100, 100, 100};
  for (int i = 0; i < 24; ++i) EXPECT_EQ(waits[i], cycle[i % 12]) << i;
  for (int i = 0; i < 24; ++i) EXPECT_EQ(frames[i], (i + 1) % 12) << i;
}

TEST(PictureFitTest, CentresSmallPicturesAndScalesLargeOnes) {
  struct Case { int bw, bh, cw, ch; ctl::PictureFit want; };
  const Case cases[] = {
      {40, 30, 100, 100, {30, 40, 30}},
      {200, 100, 100, 100, {0, 100, 50}},
      {200, 400, 100, 100, {0, 50, 100}},
      {100, 100, 100, 100, {0, 100, 100}},
      {0, 10, 100, 100, {0, 0, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(ctl::FitPicture(c.bw, c.bh, c.cw, c.ch), c.want) << c.bw << "x" << c.bh;
}

TEST(LinkFitTest, KeepsTheAnchorOfCentredAndRightAlignedLinks) {
  const ctl::Rect w{10, 20, 110, 50};
  EXPECT_EQ(ctl::FitLinkRect(w, 40, 14, ctl::LinkAlign::Left, false), (ctl::Rect{10, 20, 50, 34}));
  EXPECT_EQ(ctl::FitLinkRect(w, 40, 14, ctl::LinkAlign::Center, false), (ctl::Rect{40, 20, 80, 34}));
  EXPECT_EQ(ctl::FitLinkRect(w, 40, 14, ctl::LinkAlign::Right, true), (ctl::Rect{70, 28, 110, 42}));
}

TEST(TabLabelTest, TextStartsThreePixelsAfterTheImage) {
  EXPECT_EQ(ctl::TabTextLeft(10, 16), 32);
  EXPECT_EQ(ctl::TabTextLeft(10, 0), 16);  // no image: its right edge is where it would start
}

TEST(LinkFitTest, APlainStaticKeepsItsTopACentredImageStaticShrinksEvenly) {
  const ctl::Rect w{0, 10, 100, 40};
  EXPECT_EQ(ctl::FitLinkRect(w, 40, 14, ctl::LinkAlign::Left, false), (ctl::Rect{0, 10, 40, 24}));
  EXPECT_EQ(ctl::FitLinkRect(w, 40, 14, ctl::LinkAlign::Left, true), (ctl::Rect{0, 18, 40, 32}));
}

TEST(AutoCompleteTest, MatchSelectsTheTailNoMatchKeepsTextAndCaret) {
  const std::vector<std::string> list = {"13800", "13912", "alice"};
  auto r = ctl::AutoComplete("139", 3, 3, list);
  EXPECT_TRUE(r.matched);
  EXPECT_EQ(r.text, "13912");
  EXPECT_EQ(r.selStart, 3);
  EXPECT_EQ(r.selEnd, 5);
  r = ctl::AutoComplete("17", 2, 2, list);
  EXPECT_FALSE(r.matched);
  EXPECT_EQ(r.text, "17");
  EXPECT_EQ(r.selStart, 2);
  EXPECT_EQ(r.selEnd, 2);
  r = ctl::AutoComplete("ALi", 1, 1, list);  // caret before the end: kept
  EXPECT_EQ(r.text, "alice");
  EXPECT_EQ(r.selStart, 1);
  EXPECT_EQ(r.selEnd, 1);
  r = ctl::AutoComplete("", 0, 0, list);  // a cleared field stays empty
  EXPECT_FALSE(r.matched);
  EXPECT_EQ(r.text, "");
}

TEST(MnemonicTest, FirstItemWithAmpersandAndTheLetterInEitherCase) {
  const std::vector<std::u16string> items = {u"Open", u"&Call", u"Se&nd", u"&cancel"};
  EXPECT_EQ(ctl::FindMnemonic(items, u'c'), 1);
  EXPECT_EQ(ctl::FindMnemonic(items, u'N'), 2);
  EXPECT_EQ(ctl::FindMnemonic(items, u'o'), -1);
}

}  // namespace
