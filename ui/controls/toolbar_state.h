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

// The growable array of the buttons the customise dialog offers. Its records are 28 bytes when
// stored: the 20-byte button record, the text's slot and the in-use flag.
class CToolButtonArray {
 public:
  static constexpr size_t kRecordSize = 28;
  size_t GetSize() const { return items_.size(); }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  size_t GetCapacity() const { return allocated_; }
  // growBy -1 keeps the step; 0 or less (unset) grows by the size / 8, clamped to 4..1024.
  void SetSize(size_t count, int growBy = -1);
  size_t Add(const ToolButtonRecord& r);
  void Append(const CToolButtonArray& other);
  void RemoveAll();
  void FreeExtra() { allocated_ = items_.size(); }
  ToolButtonRecord& operator[](size_t i) { return items_[i]; }
  const ToolButtonRecord& operator[](size_t i) const { return items_[i]; }
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }
  // The element count (32 bits), then each record as a raw 28-byte block. A text is never kept in
  // the block (its slot is zero): records read back have empty texts.
  std::vector<uint8_t> Serialize() const;
  // False (and nothing changes) for a block shorter than its count says.
  bool Deserialize(std::span<const uint8_t> block);

 private:
  std::vector<ToolButtonRecord> items_;
  size_t allocated_ = 0;
  int growBy_ = 0;
};

// Bounds of a restored block: no bar holds more buttons, and no separator is wider than the widest
// layout (32767), so the layout's sums stay far inside an int.
inline constexpr size_t kToolbarButtonsMax = 1024;
inline constexpr int kSeparatorWidthMax = 32767;

// Icon option, text option, then the button records.
std::vector<uint8_t> SaveToolbarBlock(int iconOption, int textOption, const std::vector<TBBUTTON>& buttons);
// False for a block shorter than its header, holding more than kToolbarButtonsMax records or a
// separator wider than kSeparatorWidthMax (nothing changes); a trailing partial record is ignored.
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
  // A control slot's child window: its size, and whether it exists.
  bool hasControl = false;
  int controlWidth = 0, controlHeight = 0;
  int x = 0, y = 0;  // placed by a committed layout
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

// The narrowest wrap width that gives no more rows than wrapping at width does; the buttons end
// wrapped at the resulting size's width.
int FitWidth(std::vector<LayoutButton>& buttons, int width);
// Wraps so that the height comes as near the length as the buttons allow (bisecting the width).
void FitHeight(std::vector<LayoutButton>& buttons, int length, int buttonHeight);
// The size of the wrapped layout with each visible button's place written into it.
LayoutSize PlaceButtons(std::vector<LayoutButton>& buttons, int buttonHeight);

// The framework's layout mode bits.
inline constexpr unsigned LM_STRETCH = 1, LM_HORZ = 2, LM_MRUWIDTH = 4, LM_HORZDOCK = 8, LM_VERTDOCK = 16,
                          LM_LENGTHY = 32, LM_COMMIT = 64;
// Control-bar styles: borders, dock sides, sizing.
inline constexpr unsigned CBRS_BORDER_LEFT = 0x0100, CBRS_BORDER_TOP = 0x0200, CBRS_BORDER_RIGHT = 0x0400,
                          CBRS_BORDER_BOTTOM = 0x0800, CBRS_BORDER_ANY = 0x0F00;
inline constexpr unsigned CBRS_ALIGN_LEFT = 0x1000, CBRS_ALIGN_TOP = 0x2000, CBRS_ALIGN_RIGHT = 0x4000,
                          CBRS_ALIGN_BOTTOM = 0x8000, CBRS_ALIGN_ANY = 0xF000;
inline constexpr unsigned CBRS_SIZE_DYNAMIC = 0x0004, CBRS_SIZE_FIXED = 0x0002, CBRS_FLOATING = 0x0001;
inline constexpr unsigned CBRS_BORDER_3D = 0x00400000;
// The button layout of a customisable bar.
inline constexpr int kComCtl471 = (4 << 16) | 71;
struct ToolbarLayout {
  std::vector<LayoutButton> buttons;
  int buttonHeight = 22;
  bool hideControlsWhenVertical = true;
  unsigned style = CBRS_SIZE_DYNAMIC;  // CBRS_* bits
  bool floating = false;
  bool vertDocked = false;              // docked on the left or the right
  int mruWidth = 32767;
  int insideWidth = 0, insideHeight = 0;  // borders around the buttons
  int comCtlVersion = (4 << 16);  // what a missing DllGetVersion counts as
};
// A button's size in a layout mode.
LayoutSize ButtonSize(const ToolbarLayout& bar, const LayoutButton& b, unsigned mode);
// The full layout; with LM_COMMIT the wraps, states and places are written back.
LayoutSize CalcLayout(ToolbarLayout& bar, unsigned mode, int length = -1);
LayoutSize CalcFixedLayout(ToolbarLayout& bar, bool stretch, bool horz);
LayoutSize CalcDynamicLayout(ToolbarLayout& bar, int length, unsigned mode);

}  // namespace ctl
