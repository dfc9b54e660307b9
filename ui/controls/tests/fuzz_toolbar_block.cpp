// Fuzz target: a restored tool-bar block through the layout, in every layout mode and at a length.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ui/controls/toolbar_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const unsigned mode = data[0] & 0x7F;
  const int length = data[1] == 0xFF ? -1 : data[1] * 64;
  const bool vertDocked = (data[2] & 1) != 0;
  int icon = 0, text = 0;
  std::vector<ctl::TBBUTTON> buttons;
  if (!ctl::RestoreToolbarBlock(std::span(data + 3, size - 3), &icon, &text, &buttons)) return 0;
  // The bar's own model of the restored buttons: a separator's width is its picture field.
  ctl::ToolbarLayout bar;
  bar.style = ctl::CBRS_SIZE_DYNAMIC;
  bar.vertDocked = vertDocked;
  bar.floating = (data[2] & 2) != 0;
  for (const ctl::TBBUTTON& t : buttons) {
    ctl::LayoutButton b;
    b.command = t.idCommand;
    b.separator = (t.fsStyle & ctl::TBSTYLE_SEP) != 0;
    b.hidden = (t.fsState & ctl::TBSTATE_HIDDEN) != 0;
    b.wrap = (t.fsState & ctl::TBSTATE_WRAP) != 0;
    b.height = bar.buttonHeight;
    b.width = b.separator ? (t.iBitmap > 0 ? t.iBitmap : 8) : 24;
    bar.buttons.push_back(b);
  }
  const ctl::LayoutSize size1 = ctl::CalcDynamicLayout(bar, length, mode);
  const ctl::LayoutSize size2 = ctl::CalcFixedLayout(bar, (mode & 1) != 0, (mode & 2) != 0);
  if (size1.width < 0 || size1.height < 0 || size2.width < 0 || size2.height < 0) __builtin_trap();
  return 0;
}
