// Small state machines and geometry of the controls, kept apart from the widgets.
#pragma once

#include <string>
#include <vector>

namespace ctl {

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
  bool operator==(const Rect&) const = default;
};

// A splitter drag along its axis: positions clamp to [min, max]; the delta counts from the start.
class SplitterDrag {
 public:
  void begin(int position, int minPos, int maxPos);
  int move(int position);  // the clamped tracking position
  int end();               // delta from the drag's start to the last tracking position
  bool dragging() const { return dragging_; }
  int position() const { return position_; }

 private:
  bool dragging_ = false;
  int start_ = 0, position_ = 0, min_ = 0, max_ = 0;
};

// The tip window's frame clock: seven steps at the period, then five at 100 ms, over 12 frames.
class TipAnimation {
 public:
  static constexpr int kFrames = 12;
  static constexpr int kFastMs = 100;
  explicit TipAnimation(int periodMs) : period_(periodMs) {}
  // Draws one frame: returns its index and moves to the next (the first paint does this).
  int drawFrame();
  // A timer tick: draws one frame (returns its index) and moves the step and the timer on.
  int tick();
  int timer() const { return timer_; }  // 1 slow, 2 fast
  int intervalMs() const { return timer_ == 1 ? period_ : kFastMs; }
  int step() const { return step_; }
  int nextFrame() const { return frame_; }

 private:
  int period_;
  int timer_ = 1;
  int step_ = 0;
  int frame_ = 0;
};

// Where a picture lands in a picture static: centred when it fits, else scaled to the width and
// then to the height (truncated).
struct PictureFit {
  int x = 0, width = 0, height = 0;
  bool operator==(const PictureFit&) const = default;
};
PictureFit FitPicture(int bitmapWidth, int bitmapHeight, int clientWidth, int clientHeight);

// Where a skinned tab's text starts: the image stands at left + 3, the text 3 pixels after the
// image's right edge (an image width of 0 when the tab has none).
inline int TabTextLeft(int tabLeft, int imageWidth) { return tabLeft + 3 + imageWidth + 3; }

// A link fitted to its text, keeping centred or right-aligned statics anchored.
enum class LinkAlign { Left, Center, Right };
Rect FitLinkRect(const Rect& window, int textWidth, int textHeight, LinkAlign align, bool centerVertically);

// Auto-completion of a combo's edit text from its list.
struct CompletionResult {
  bool matched = false;
  std::string text;  // the edit's new text
  int selStart = 0, selEnd = 0;
};
CompletionResult AutoComplete(const std::string& typed, int selStart, int selEnd,
                              const std::vector<std::string>& entries);

// The menu mnemonic: position of the first item whose text holds '&' and the character
// (either case); -1 when none.
int FindMnemonic(const std::vector<std::u16string>& itemTexts, char16_t ch);

}  // namespace ctl
