// The customisable toolbar's model.
#include "ui/controls/toolbar_state.h"

#include <algorithm>
#include <cstring>

namespace ctl {

namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

int EffectiveWidth(const LayoutButton& b) {
  if (b.separator && b.wrap && !b.carriesControl()) return 0;
  return b.width;
}

}  // namespace

std::vector<uint8_t> SaveToolbarBlock(int iconOption, int textOption, const std::vector<TBBUTTON>& buttons) {
  std::vector<uint8_t> out;
  out.reserve(kBlockHeaderSize + buttons.size() * kButtonRecordSize);
  Put32(out, static_cast<uint32_t>(iconOption));
  Put32(out, static_cast<uint32_t>(textOption));
  for (const TBBUTTON& b : buttons) {
    Put32(out, static_cast<uint32_t>(b.iBitmap));
    Put32(out, static_cast<uint32_t>(b.idCommand));
    out.push_back(b.fsState);
    out.push_back(b.fsStyle);
    out.push_back(0);
    out.push_back(0);
    Put32(out, b.dwData);
    Put32(out, static_cast<uint32_t>(b.iString));
  }
  return out;
}

bool RestoreToolbarBlock(std::span<const uint8_t> block, int* iconOption, int* textOption,
                         std::vector<TBBUTTON>* buttons) {
  if (block.size() < kBlockHeaderSize) return false;
  const uint8_t* p = block.data();
  *iconOption = static_cast<int32_t>(Get32(p));
  *textOption = static_cast<int32_t>(Get32(p + 4));
  const size_t count = (block.size() - kBlockHeaderSize) / kButtonRecordSize;
  buttons->clear();
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* r = p + kBlockHeaderSize + i * kButtonRecordSize;
    TBBUTTON b;
    b.iBitmap = static_cast<int32_t>(Get32(r));
    b.idCommand = static_cast<int32_t>(Get32(r + 4));
    b.fsState = r[8];
    b.fsStyle = r[9];
    b.dwData = Get32(r + 12);
    b.iString = static_cast<int32_t>(Get32(r + 16));
    buttons->push_back(b);
  }
  return true;
}

int WrapAtWidth(std::vector<LayoutButton>& buttons, int width) {
  for (auto& b : buttons) b.wrap = false;
  int rows = 1;
  int x = 0;
  size_t rowStart = 0;
  for (size_t i = 0; i < buttons.size(); ++i) {
    const LayoutButton& b = buttons[i];
    if (!b.visible()) continue;
    if (x + b.width > width && i > rowStart) {
      // A plain separator of this row first, then any button that is no control slot.
      size_t at = buttons.size();
      for (size_t j = i + 1; j-- > rowStart;) {
        if (buttons[j].visible() && buttons[j].separator && buttons[j].command == 0) {
          at = j;
          break;
        }
      }
      if (at == buttons.size()) {
        for (size_t j = i; j-- > rowStart;) {
          if (buttons[j].visible() && !buttons[j].carriesControl()) {
            at = j;
            break;
          }
        }
      }
      if (at != buttons.size()) {
        buttons[at].wrap = true;
        ++rows;
        rowStart = at + 1;
        x = 0;
        for (size_t k = at + 1; k < i; ++k)
          if (buttons[k].visible()) x += buttons[k].width;
        if (at == i) continue;  // the separator itself ends the row
      }
    }
    x += b.width;
  }
  return rows;
}

LayoutSize WrappedSize(const std::vector<LayoutButton>& buttons, int buttonHeight) {
  LayoutSize size;
  int x = 0, y = 0, rowHeight = 0, inRow = 0;
  for (const LayoutButton& b : buttons) {
    if (!b.visible()) continue;
    x += EffectiveWidth(b);
    rowHeight = std::max(rowHeight, b.height);
    ++inRow;
    size.width = std::max(size.width, x);
    size.height = std::max(size.height, y + rowHeight);
    if (b.wrap) {
      y += (inRow == 1 && b.separator) ? buttonHeight : rowHeight;
      if (b.separator) y += b.height;
      x = 0;
      rowHeight = 0;
      inRow = 0;
    }
  }
  return size;
}

int FitWidth(std::vector<LayoutButton>& buttons, int width) {
  const int target = WrapAtWidth(buttons, width);
  int lo = 0, hi = width;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (WrapAtWidth(buttons, mid) <= target)
      hi = mid;
    else
      lo = mid + 1;
  }
  WrapAtWidth(buttons, hi);
  return hi;
}

}  // namespace ctl
