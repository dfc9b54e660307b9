// The customisable toolbar's model: button records, the saved customisation block and the wrap layout.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ctl {

inline constexpr uint8_t TBSTATE_CHECKED = 0x01;
inline constexpr uint8_t TBSTATE_ENABLED = 0x04;
inline constexpr uint8_t TBSTATE_HIDDEN = 0x08;
inline constexpr uint8_t TBSTATE_WRAP = 0x20;
inline constexpr uint8_t TBSTYLE_SEP = 0x01;
inline constexpr uint8_t TBSTYLE_DROPDOWN = 0x08;
inline constexpr uint8_t TBSTYLE_AUTOSIZE = 0x10;
inline constexpr uint8_t BTNS_SHOWTEXT = 0x40;
inline constexpr uint8_t BTNS_WHOLEDROPDOWN = 0x80;

// The toolbar control's own 20-byte button record.
struct TBBUTTON {
  int32_t iBitmap = 0;    // image index (a separator: its width)
  int32_t idCommand = 0;  // 0 for a plain separator
  uint8_t fsState = 0;
  uint8_t fsStyle = 0;
  uint8_t bReserved[2] = {0, 0};
  uint32_t dwData = 0;
  int32_t iString = -1;
};
inline constexpr size_t kButtonRecordSize = 20;
inline constexpr size_t kBlockHeaderSize = 8;

// A button the customise dialog may offer.
struct ToolButtonRecord {
  TBBUTTON button;
  std::string text;
  bool inUse = false;
};

// Icon option, text option, then the button records.
std::vector<uint8_t> SaveToolbarBlock(int iconOption, int textOption, const std::vector<TBBUTTON>& buttons);
// False for a block shorter than its header (nothing changes); a trailing partial record is ignored.
bool RestoreToolbarBlock(std::span<const uint8_t> block, int* iconOption, int* textOption,
                         std::vector<TBBUTTON>* buttons);

// A button as the layout sees it.
struct LayoutButton {
  int width = 0;
  int height = 0;
  int command = 0;
  bool separator = false;
  bool hidden = false;
  bool wrap = false;
  bool carriesControl() const { return separator && command != 0; }
  bool visible() const { return !hidden || carriesControl(); }
};

// Wraps the buttons at a width; returns the number of rows.
int WrapAtWidth(std::vector<LayoutButton>& buttons, int width);

struct LayoutSize {
  int width = 0;
  int height = 0;
  bool operator==(const LayoutSize&) const = default;
};
// The size of the wrapped layout; buttonHeight is used for a row that holds only its separator.
LayoutSize WrappedSize(const std::vector<LayoutButton>& buttons, int buttonHeight);

// The narrowest wrap width that gives no more rows than wrapping at width does.
int FitWidth(std::vector<LayoutButton>& buttons, int width);

}  // namespace ctl
