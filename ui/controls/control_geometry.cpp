// Small state machines and geometry of the controls.
#include "ui/controls/control_geometry.h"

#include <algorithm>
#include <cwctype>

namespace ctl {

void SplitterDrag::begin(int position, int minPos, int maxPos) {
  dragging_ = true;
  start_ = position_ = position;
  min_ = minPos;
  max_ = std::max(minPos, maxPos);
}

int SplitterDrag::move(int position) {
  if (dragging_) position_ = std::clamp(position, min_, max_);
  return position_;
}

int SplitterDrag::end() {
  dragging_ = false;
  return position_ - start_;
}

int TipAnimation::drawFrame() {
  const int drawn = frame_;
  frame_ = (frame_ + 1) % kFrames;
  return drawn;
}

int TipAnimation::tick() {
  const int drawn = drawFrame();
  if (timer_ == 1 && step_ == 6)
    timer_ = 2;
  else if (timer_ == 2 && step_ == 11)
    timer_ = 1;
  step_ = (step_ + 1) % 12;
  return drawn;
}

PictureFit FitPicture(int bw, int bh, int cw, int ch) {
  PictureFit f;
  if (bw <= 0 || bh <= 0 || cw <= 0 || ch <= 0) return f;
  if (bw <= cw) {
    f.width = bw;
    f.height = bh;
    f.x = (cw - bw) / 2;
  } else {
    f.height = static_cast<int>(bh * (static_cast<double>(cw) / bw));
    f.width = cw;
  }
  if (f.height > ch) {
    f.width = static_cast<int>(f.width * (static_cast<double>(ch) / f.height));
    f.height = ch;
  }
  return f;
}

Rect FitLinkRect(const Rect& w, int tw, int th, LinkAlign align, bool centerVertically) {
  Rect r = w;
  if (centerVertically) {
    const int spare = w.height() - th;
    r.top = w.top + spare / 2;
    r.bottom = r.top + th;
  } else {
    r.bottom = r.top + th;
  }
  switch (align) {
    case LinkAlign::Center: {
      const int spare = w.width() - tw;
      r.left = w.left + spare / 2;
      r.right = r.left + tw;
      break;
    }
    case LinkAlign::Right:
      r.left = w.right - tw;
      break;
    case LinkAlign::Left:
      r.right = w.left + tw;
      break;
  }
  return r;
}

CompletionResult AutoComplete(const std::string& typed, int selStart, int selEnd,
                              const std::vector<std::string>& entries) {
  CompletionResult r;
  const bool validSel = selStart >= 0 && selEnd >= selStart;
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const std::string key = lower(typed);
  for (const std::string& e : entries) {
    if (!typed.empty() && lower(e).rfind(key, 0) == 0) {
      r.matched = true;
      r.text = e;
      break;
    }
  }
  const int len = static_cast<int>(typed.size());
  if (!r.matched) {
    r.text = typed;
    r.selStart = validSel ? selStart : len;
    r.selEnd = validSel ? selEnd : len;
    return r;
  }
  if (validSel && selEnd < len) {
    r.selStart = selStart;
    r.selEnd = selEnd;
  } else {
    r.selStart = len;
    r.selEnd = static_cast<int>(r.text.size());
  }
  return r;
}

int FindMnemonic(const std::vector<std::u16string>& texts, char16_t ch) {
  auto fold = [](char16_t c) { return static_cast<char16_t>(std::towlower(static_cast<wint_t>(c))); };
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::u16string& t = texts[i];
    for (size_t k = 0; k + 1 < t.size(); ++k) {
      if (t[k] == u'&' && fold(t[k + 1]) == fold(ch)) return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace ctl
