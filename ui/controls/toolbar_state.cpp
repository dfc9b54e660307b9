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

// One button's 20 bytes: picture, command, state, style, two padding bytes, data, text index.
void PutButton(std::vector<uint8_t>& out, const TBBUTTON& b) {
  Put32(out, static_cast<uint32_t>(b.iBitmap));
  Put32(out, static_cast<uint32_t>(b.idCommand));
  out.push_back(b.fsState);
  out.push_back(b.fsStyle);
  out.push_back(0);
  out.push_back(0);
  Put32(out, b.dwData);
  Put32(out, static_cast<uint32_t>(b.iString));
}

TBBUTTON GetButton(const uint8_t* p) {
  TBBUTTON b;
  b.iBitmap = static_cast<int32_t>(Get32(p));
  b.idCommand = static_cast<int32_t>(Get32(p + 4));
  b.fsState = p[8];
  b.fsStyle = p[9];
  b.dwData = Get32(p + 12);
  b.iString = static_cast<int32_t>(Get32(p + 16));
  return b;
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
  for (const TBBUTTON& b : buttons) PutButton(out, b);
  return out;
}

bool RestoreToolbarBlock(std::span<const uint8_t> block, int* iconOption, int* textOption,
                         std::vector<TBBUTTON>* buttons) {
  if (block.size() < kBlockHeaderSize) return false;
  const uint8_t* p = block.data();
  const size_t count = (block.size() - kBlockHeaderSize) / kButtonRecordSize;
  if (count > kToolbarButtonsMax) return false;
  std::vector<TBBUTTON> read;
  read.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const TBBUTTON b = GetButton(p + kBlockHeaderSize + i * kButtonRecordSize);
    // A separator's picture field is its width, which the layout adds up.
    if ((b.fsStyle & TBSTYLE_SEP) && b.iBitmap > kSeparatorWidthMax) return false;
    read.push_back(b);
  }
  *iconOption = static_cast<int32_t>(Get32(p));
  *textOption = static_cast<int32_t>(Get32(p + 4));
  *buttons = std::move(read);
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
    if (x + b.width > width) {
      // A plain separator of this row first, then any button before it that is no control slot; the walk
      // goes on after the wrapped one.
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
        i = at;
        continue;
      }
    }
    x += b.width;
  }
  return rows;
}

namespace {

// Walks the wrapped buttons; places them when asked.
LayoutSize Walk(const std::vector<LayoutButton>& buttons, int buttonHeight, std::vector<LayoutButton>* placed) {
  LayoutSize size;
  int x = 0, y = 0, rowHeight = 0, inRow = 0;
  for (size_t i = 0; i < buttons.size(); ++i) {
    const LayoutButton& b = buttons[i];
    if (!b.visible()) continue;
    if (placed) {
      (*placed)[i].x = x;
      (*placed)[i].y = y;
    }
    x += EffectiveWidth(b);
    rowHeight = std::max(rowHeight, (b.separator && b.wrap && !b.carriesControl()) ? 0 : b.height);
    ++inRow;
    size.width = std::max(size.width, x);
    size.height = std::max(size.height, y + rowHeight);
    if (b.wrap) {
      y += (inRow == 1 && b.separator) ? buttonHeight : rowHeight;
      if (b.separator) y += b.height;
      size.height = std::max(size.height, y);
      x = 0;
      rowHeight = 0;
      inRow = 0;
    }
  }
  return size;
}

}  // namespace

LayoutSize WrappedSize(const std::vector<LayoutButton>& buttons, int buttonHeight) {
  return Walk(buttons, buttonHeight, nullptr);
}

LayoutSize PlaceButtons(std::vector<LayoutButton>& buttons, int buttonHeight) {
  return Walk(buttons, buttonHeight, &buttons);
}

int FitWidth(std::vector<LayoutButton>& buttons, int width) {
  const int target = WrapAtWidth(buttons, width);
  int lo = 0, hi = width;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (WrapAtWidth(buttons, mid) == target)
      hi = mid;
    else
      lo = mid + 1;
  }
  if (WrapAtWidth(buttons, hi) != target) {  // the bounds met without it
    WrapAtWidth(buttons, width);
    return width;
  }
  // Wrapped again at what the rows really take.
  const int used = WrappedSize(buttons, 0).width;
  WrapAtWidth(buttons, used);
  return hi;
}

void FitHeight(std::vector<LayoutButton>& buttons, int length, int buttonHeight) {
  WrapAtWidth(buttons, 0);
  LayoutSize lo = WrappedSize(buttons, buttonHeight);
  WrapAtWidth(buttons, 32767);
  LayoutSize hi = WrappedSize(buttons, buttonHeight);
  while (lo.width < hi.width) {
    WrapAtWidth(buttons, (lo.width + hi.width) / 2);
    const LayoutSize mid = WrappedSize(buttons, buttonHeight);
    // A row that cannot wrap (a control slot) comes out wider than asked: a middle outside the bounds
    // counts as the bound reached, or the bounds would swap back and forth for ever.
    if (mid.height > length) {
      if (lo == mid || mid.width < lo.width) {
        WrapAtWidth(buttons, hi.width);
        return;
      }
      lo = mid;
    } else if (mid.height < length) {
      if (hi == mid || mid.width > hi.width) {
        WrapAtWidth(buttons, lo.width);
        return;
      }
      hi = mid;
    } else {
      return;
    }
  }
}

LayoutSize ButtonSize(const ToolbarLayout& bar, const LayoutButton& b, unsigned mode) {
  LayoutSize s{b.width, b.height};
  if (b.separator) s.height = std::min(s.height, bar.buttonHeight);
  const bool vertical = !(mode & (LM_STRETCH | LM_HORZ));
  if (b.carriesControl() && bar.hideControlsWhenVertical && vertical) return {0, 0};
  if (b.carriesControl() && b.hidden && b.hasControl) return {b.controlWidth, b.controlHeight};
  if (b.separator && b.wrap && !b.hasControl) {
    const int former = s.width;
    s.width = 0;
    if (bar.comCtlVersion < kComCtl471) s.height -= 3;
    else if (bar.comCtlVersion > kComCtl471) s.height = former;
  }
  return s;
}

namespace {

// The working copy: every button at its size in the mode (wrap-dependent sizes come after wrapping).
std::vector<LayoutButton> Working(const ToolbarLayout& bar, unsigned mode) {
  std::vector<LayoutButton> work = bar.buttons;
  for (LayoutButton& b : work) {
    const bool wrap = b.wrap;
    b.wrap = false;
    const LayoutSize s = ButtonSize(bar, b, mode);
    b.width = s.width;
    b.height = s.height;
    b.wrap = wrap;
  }
  return work;
}

// Sizes that follow the wrap: a wrapping separator lends its width to the row gap.
void SizeWraps(const ToolbarLayout& bar, std::vector<LayoutButton>& work, unsigned mode) {
  for (size_t i = 0; i < work.size(); ++i) {
    if (!work[i].separator || !work[i].wrap || work[i].hasControl) continue;
    LayoutButton b = bar.buttons[i];
    b.wrap = true;
    const LayoutSize s = ButtonSize(bar, b, mode);
    work[i].width = s.width;
    work[i].height = s.height;
  }
}

}  // namespace

LayoutSize CalcLayout(ToolbarLayout& bar, unsigned mode, int length) {
  LayoutSize result;
  if (bar.buttons.empty() || (bar.style & CBRS_SIZE_FIXED)) return result;
  std::vector<LayoutButton> work = Working(bar, mode);
  const bool horz = (mode & LM_HORZ) != 0;
  if (bar.style & CBRS_SIZE_DYNAMIC) {
    if (mode & LM_MRUWIDTH)
      FitWidth(work, bar.mruWidth);
    else if (mode & LM_HORZDOCK)
      FitWidth(work, 32767);
    else if (mode & LM_VERTDOCK)
      FitWidth(work, 0);
    else if (length != -1) {
      if (mode & LM_LENGTHY)
        FitHeight(work, length + bar.insideHeight, bar.buttonHeight);
      else
        FitWidth(work, length + bar.insideWidth);
    } else if (bar.floating)
      FitWidth(work, bar.mruWidth);
    else
      FitWidth(work, horz ? 32767 : 0);
  } else {
    FitWidth(work, horz ? 32767 : 0);
  }
  SizeWraps(bar, work, mode);
  LayoutSize size = PlaceButtons(work, bar.buttonHeight);
  if (mode & LM_COMMIT) {
    if (bar.floating && (bar.style & CBRS_SIZE_DYNAMIC)) bar.mruWidth = size.width;
    const bool hide = bar.vertDocked && bar.hideControlsWhenVertical;
    for (size_t i = 0; i < bar.buttons.size(); ++i) {
      LayoutButton& b = bar.buttons[i];
      b.wrap = work[i].wrap;
      b.x = work[i].x;
      b.y = work[i].y;
      if (b.carriesControl() && b.hasControl) {
        b.width = b.controlWidth;
        b.hidden = hide;
      }
    }
  }
  result = {size.width + bar.insideWidth, size.height + bar.insideHeight};
  if (mode & LM_STRETCH) {
    if (horz) result.width = 32767;
    else result.height = 32767;
  }
  return result;
}

LayoutSize CalcFixedLayout(ToolbarLayout& bar, bool stretch, bool horz) {
  return CalcLayout(bar, (stretch ? LM_STRETCH : 0) | (horz ? LM_HORZ : 0));
}

LayoutSize CalcDynamicLayout(ToolbarLayout& bar, int length, unsigned mode) {
  if (length == -1 && !(mode & (LM_MRUWIDTH | LM_COMMIT)) && (mode & (LM_HORZDOCK | LM_VERTDOCK)))
    return CalcFixedLayout(bar, (mode & LM_STRETCH) != 0, (mode & LM_HORZDOCK) != 0);
  return CalcLayout(bar, mode, length);
}

// ---------------------------------------------------------------------------

void CToolButtonArray::SetSize(size_t count, int growBy) {
  if (growBy >= 0) growBy_ = growBy;
  if (count > allocated_) {
    int step = growBy_;
    if (step <= 0) step = static_cast<int>(std::clamp<size_t>(items_.size() / 8, 4, 1024));
    allocated_ = std::max(count, allocated_ + static_cast<size_t>(step));
  }
  const size_t old = items_.size();
  items_.resize(count);
  for (size_t i = old; i < count; ++i) items_[i].button.iString = 0;  // new records are zero-filled
}

size_t CToolButtonArray::Add(const ToolButtonRecord& r) {
  const size_t at = items_.size();
  SetSize(at + 1);
  items_[at] = r;
  return at;
}

void CToolButtonArray::Append(const CToolButtonArray& other) {
  const size_t at = items_.size();
  SetSize(at + other.size());
  std::copy(other.items_.begin(), other.items_.end(), items_.begin() + static_cast<long>(at));
}

void CToolButtonArray::RemoveAll() {
  items_.clear();
  allocated_ = 0;
}

std::vector<uint8_t> CToolButtonArray::Serialize() const {
  std::vector<uint8_t> out;
  Put32(out, static_cast<uint32_t>(items_.size()));
  for (const ToolButtonRecord& r : items_) {
    PutButton(out, r.button);
    Put32(out, 0);  // the text's slot
    Put32(out, r.inUse ? 1u : 0u);
  }
  return out;
}

bool CToolButtonArray::Deserialize(std::span<const uint8_t> block) {
  if (block.size() < 4) return false;
  const uint32_t count = Get32(block.data());
  if (count > (block.size() - 4) / kRecordSize) return false;
  std::vector<ToolButtonRecord> read(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = block.data() + 4 + i * kRecordSize;
    read[i].button = GetButton(p);
    read[i].inUse = Get32(p + 24) != 0;
  }
  items_ = std::move(read);
  allocated_ = items_.size();
  return true;
}

}  // namespace ctl
