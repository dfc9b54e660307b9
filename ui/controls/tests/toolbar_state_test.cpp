// The customisable toolbar's model below the widgets: the button array, the layout modes and the recoloured pictures.
#include <gtest/gtest.h>

#include <QImage>

#include "ui/controls/toolbar_ex.h"
#include "ui/controls/toolbar_state.h"

namespace {

ctl::ToolButtonRecord Record(int command, const std::string& text, bool inUse) {
  ctl::ToolButtonRecord r;
  r.button.idCommand = command;
  r.button.iBitmap = command % 7;
  r.button.fsState = ctl::TBSTATE_ENABLED;
  r.button.dwData = 0xA5A5A5A5u;
  r.button.iString = 3;
  r.text = text;
  r.inUse = inUse;
  return r;
}

TEST(ToolButtonArrayTest, GrowsByAnEighthClampedAndZeroFillsNewRecords) {
  struct Case {
    size_t from, to;
    int growBy;
    size_t capacity;
  };
  const Case cases[] = {
      {0, 1, -1, 4},         // an empty array grows by at least 4
      {0, 5, -1, 5},         // never less than asked
      {40, 41, -1, 45},      // 40 / 8
      {10000, 10001, -1, 11024},  // at most 1024 at a time
      {3, 4, 10, 13},        // a set step is kept
  };
  for (const Case& c : cases) {
    ctl::CToolButtonArray a;
    a.SetSize(c.from);
    a.FreeExtra();
    a.SetSize(c.to, c.growBy);
    EXPECT_EQ(a.GetCapacity(), c.capacity) << c.from << "->" << c.to;
    EXPECT_EQ(a.size(), c.to);
    EXPECT_EQ(a[c.to - 1].button.idCommand, 0);
    EXPECT_EQ(a[c.to - 1].button.iString, 0);
    EXPECT_TRUE(a[c.to - 1].text.empty());
  }
  ctl::CToolButtonArray a;
  a.Add(Record(1, "a", true));
  a.Add(Record(2, "b", true));
  EXPECT_EQ(a.GetCapacity(), 4u);
  a.FreeExtra();
  EXPECT_EQ(a.GetCapacity(), 2u);
}

TEST(ToolButtonArrayTest, StoresRawTwentyEightByteRecordsAfterTheCount) {
  ctl::CToolButtonArray a;
  a.Add(Record(32821, "手动播放", true));
  a.Add(Record(0, "", false));
  const std::vector<uint8_t> block = a.Serialize();
  ASSERT_EQ(block.size(), 4u + 2 * 28u);
  EXPECT_EQ(block[0], 2);
  EXPECT_EQ(block[4 + 4], 32821 & 0xFF);          // idCommand after iBitmap
  EXPECT_EQ(block[4 + 24], 1);                    // in use
  EXPECT_EQ(block[4 + 20], 0);                    // no text is kept
  ctl::CToolButtonArray back;
  ASSERT_TRUE(back.Deserialize(block));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].button.idCommand, 32821);
  EXPECT_EQ(back[0].button.dwData, 0xA5A5A5A5u);
  EXPECT_EQ(back[0].button.iString, 3);
  EXPECT_TRUE(back[0].inUse);
  EXPECT_FALSE(back[1].inUse);
  EXPECT_TRUE(back[0].text.empty());
  // A count that the block cannot hold is refused and changes nothing.
  std::vector<uint8_t> cut(block.begin(), block.end() - 1);
  EXPECT_FALSE(back.Deserialize(cut));
  EXPECT_FALSE(back.Deserialize(std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(back.size(), 2u);
}

ctl::ToolbarLayout Layout(const std::string& spec) {
  // 'b' button 20x22, 's' separator 8 wide, 'c' control slot (a 50x18 control), 'w' wrapping separator.
  ctl::ToolbarLayout bar;
  bar.buttonHeight = 22;
  for (char c : spec) {
    ctl::LayoutButton b;
    b.height = 22;
    switch (c) {
      case 'b': b.width = 20; b.command = 100; break;
      case 's': b.width = 8; b.separator = true; break;
      case 'w': b.width = 6; b.separator = true; b.wrap = true; break;
      case 'c':
        b.width = 50; b.separator = true; b.command = 200; b.hasControl = true;
        b.controlWidth = 50; b.controlHeight = 18;
        break;
    }
    bar.buttons.push_back(b);
  }
  return bar;
}

TEST(ToolbarLayoutTest, ButtonSizesFollowTheMode) {
  struct Case {
    char kind;
    unsigned mode;
    bool hide;
    bool hidden;
    int version;
    ctl::LayoutSize want;
  };
  const Case cases[] = {
      {'b', ctl::LM_HORZ, true, false, 6 << 16, {20, 22}},
      {'c', ctl::LM_HORZ, true, false, 6 << 16, {50, 22}},
      {'c', 0, true, false, 6 << 16, {0, 0}},             // vertical: the control's slot takes no room
      {'c', 0, false, false, 6 << 16, {50, 22}},
      {'c', ctl::LM_HORZ, true, true, 6 << 16, {50, 18}},  // hidden: the control window's size
      {'w', ctl::LM_HORZ, true, false, 6 << 16, {0, 6}},   // a wrap: no width, its width as height
      {'w', ctl::LM_HORZ, true, false, ctl::kComCtl471, {0, 22}},
      {'w', ctl::LM_HORZ, true, false, 4 << 16, {0, 19}},
  };
  for (const Case& c : cases) {
    ctl::ToolbarLayout bar = Layout(std::string(1, c.kind));
    bar.hideControlsWhenVertical = c.hide;
    bar.comCtlVersion = c.version;
    bar.buttons[0].hidden = c.hidden;
    EXPECT_EQ(ctl::ButtonSize(bar, bar.buttons[0], c.mode), c.want) << c.kind << " mode " << c.mode;
  }
}

TEST(ToolbarLayoutTest, DockedFloatingAndFittedLengths) {
  struct Case {
    std::string bar;
    unsigned mode;
    int length;
    bool floating;
    int mru;
    ctl::LayoutSize want;
  };
  const Case cases[] = {
      {"bbsbb", ctl::LM_HORZDOCK | ctl::LM_HORZ, -1, false, 32767, {88, 22}},  // one row
      {"bbsbb", ctl::LM_VERTDOCK, -1, false, 32767, {20, 4 * 22 + 19}},         // one per row, the separator 3 less
      {"bcb", ctl::LM_VERTDOCK, -1, false, 32767, {20, 44}},                    // the control takes no room
      {"bbbb", ctl::LM_MRUWIDTH, -1, true, 45, {40, 44}},                       // a floating bar keeps its width
      {"bbbb", ctl::LM_HORZ, 45, false, 32767, {40, 44}},                       // a length across
      {"bbbbbb", ctl::LM_LENGTHY, 44, false, 32767, {60, 44}},                  // a length down: two rows
      {"bbbbbb", ctl::LM_LENGTHY, 200, false, 32767, {20, 132}},
      {"bbbb", ctl::LM_HORZ | ctl::LM_STRETCH, -1, false, 32767, {32767, 22}},
  };
  for (const Case& c : cases) {
    ctl::ToolbarLayout bar = Layout(c.bar);
    bar.floating = c.floating;
    bar.mruWidth = c.mru;
    EXPECT_EQ(ctl::CalcDynamicLayout(bar, c.length, c.mode), c.want) << c.bar << " mode " << c.mode << " length " << c.length;
  }
  ctl::ToolbarLayout fixed = Layout("bbb");
  fixed.style = ctl::CBRS_SIZE_FIXED;
  EXPECT_EQ(ctl::CalcDynamicLayout(fixed, -1, ctl::LM_HORZ), (ctl::LayoutSize{0, 0}));
}

// Two control slots without their windows lead a row that cannot wrap before its third button, so wrapping
// narrower comes out wider; the fit down a length must still end (it swapped its bounds for ever).
TEST(ToolbarLayoutTest, ALengthDownEndsWhenARowCannotWrapWhereAsked) {
  ctl::ToolbarLayout bar = Layout("bbbssbb");
  for (int i : {0, 1}) {
    bar.buttons[i].separator = true;
    bar.buttons[i].command = 300 + i;
    bar.buttons[i].width = 0;
  }
  bar.buttons[2].width = bar.buttons[6].width = 30;
  // It ends, at the narrowest wrap, as where a middle repeats a bound.
  EXPECT_EQ(ctl::CalcDynamicLayout(bar, 111, ctl::LM_LENGTHY | ctl::LM_HORZ), (ctl::LayoutSize{38, 85}));
}

TEST(ToolbarLayoutTest, CommitPlacesButtonsAndHidesControlsInAVerticalDock) {
  ctl::ToolbarLayout bar = Layout("bcb");
  ctl::CalcDynamicLayout(bar, -1, ctl::LM_HORZDOCK | ctl::LM_HORZ | ctl::LM_COMMIT);
  EXPECT_EQ(bar.buttons[1].x, 20);
  EXPECT_EQ(bar.buttons[2].x, 70);
  EXPECT_FALSE(bar.buttons[1].hidden);
  bar.vertDocked = true;
  ctl::CalcDynamicLayout(bar, -1, ctl::LM_VERTDOCK | ctl::LM_COMMIT);
  EXPECT_TRUE(bar.buttons[1].hidden);
  EXPECT_EQ(bar.buttons[2].x, 0);
  EXPECT_EQ(bar.buttons[2].y, 22);
  // Back on a horizontal side the control shows again.
  bar.vertDocked = false;
  ctl::CalcDynamicLayout(bar, -1, ctl::LM_HORZDOCK | ctl::LM_HORZ | ctl::LM_COMMIT);
  EXPECT_FALSE(bar.buttons[1].hidden);
  // A floating bar remembers the width it was laid out at.
  ctl::ToolbarLayout floating = Layout("bbbb");
  floating.floating = true;
  floating.mruWidth = 45;
  ctl::CalcDynamicLayout(floating, -1, ctl::LM_MRUWIDTH | ctl::LM_COMMIT);
  EXPECT_EQ(floating.mruWidth, 40);
}

TEST(ToolbarPictureTest, ClassicColoursTakeTheCurrentOnesInBothDepths) {
  const ctl::ButtonColours to{RGB(1, 2, 3), RGB(10, 20, 30), RGB(100, 110, 120), RGB(200, 210, 220)};
  const QRgb classic[4] = {0xFF000000, 0xFF808080, 0xFFC0C0C0, 0xFFFFFFFF};
  const COLORREF want[4] = {to.text, to.shadow, to.face, to.highlight};
  QImage rgb(4, 1, QImage::Format_RGB32);
  for (int i = 0; i < 4; ++i) rgb.setPixel(i, 0, classic[i]);
  QImage indexed = rgb.convertToFormat(QImage::Format_Indexed8, {classic[0], classic[1], classic[2], classic[3]});
  for (const QImage& source : {rgb, indexed}) {
    const QImage out = ctl::RecolourBitmap(source, 8, 2, to);  // stretched twice as wide and high
    ASSERT_EQ(out.size(), QSize(8, 2));
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(out.pixel(2 * i, 0) & 0xFFFFFF, QColor(GetRValue(want[i]), GetGValue(want[i]), GetBValue(want[i])).rgb() & 0xFFFFFF)
          << i << " depth " << source.depth();
      EXPECT_EQ(out.pixel(2 * i + 1, 1), out.pixel(2 * i, 0));
    }
  }
  QImage other(1, 1, QImage::Format_RGB32);
  other.fill(QColor(12, 34, 56));
  EXPECT_EQ(QColor(ctl::RecolourBitmap(other, 1, 1, to).pixel(0, 0)), QColor(12, 34, 56));
}

TEST(DockBarTest, OnlyAFlatCustomisableBarSkipsTheOverlap) {
  EXPECT_EQ(CDockBarEx::PlaceBars({{100, false}, {80, false}, {60, true}}), (std::vector<int>{0, 98, 178}));
  EXPECT_EQ(CDockBarEx::PlaceBars({{100, true}, {80, true}}), (std::vector<int>{0, 100}));
}

}  // namespace
