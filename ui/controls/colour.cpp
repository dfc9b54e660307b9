// Colour arithmetic of the drawn controls.
#include "ui/controls/colour.h"

#include <algorithm>

namespace ctl {

COLORREF LightenColor(COLORREF c, double f) {
  if (!(f > 0.0 && f <= 1.0)) return c;
  auto up = [f](int v) { return static_cast<int>(v + (255 - v) * f); };
  return RGB(up(GetRValue(c)), up(GetGValue(c)), up(GetBValue(c)));
}

COLORREF DarkenColor(COLORREF c, double f) {
  if (!(f > 0.0 && f <= 1.0)) return c;
  auto down = [f](int v) { return static_cast<int>(v - v * f); };
  return RGB(down(GetRValue(c)), down(GetGValue(c)), down(GetBValue(c)));
}

int LimitColorOffset(COLORREF c, int offset) {
  const int ch[3] = {GetRValue(c), GetGValue(c), GetBValue(c)};
  int applied = offset;
  for (int v : ch) {
    if (offset > 0 && v + offset > 255) applied = std::min(applied, 255 - v);
    if (offset <= 0 && v + offset < 0) applied = std::max(applied, -v);
  }
  return applied;
}

COLORREF OffsetColorValue(COLORREF c, int offset) {
  const int d = LimitColorOffset(c, offset);
  return RGB(GetRValue(c) + d, GetGValue(c) + d, GetBValue(c) + d);
}

COLORREF GrayColor(COLORREF c) {
  const int g = static_cast<int>(0.299 * GetRValue(c) + 0.587 * GetGValue(c) + 0.114 * GetBValue(c));
  return RGB(g, g, g);
}

COLORREF DarkerColor(COLORREF c) { return DarkenColor(c, 0.25); }

COLORREF WashedColor(COLORREF pixel, COLORREF shadow) {
  const double f = (GetRValue(pixel) + GetGValue(pixel) + GetBValue(pixel)) / 3.0 / 255.0;
  return LightenColor(shadow, f);
}

}  // namespace ctl
