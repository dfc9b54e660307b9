// Colour arithmetic of the drawn controls on COLORREF values (0x00BBGGRR).
#pragma once

#include <cstdint>

using COLORREF = uint32_t;

constexpr COLORREF RGB(int r, int g, int b) {
  return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr int GetRValue(COLORREF c) { return static_cast<int>(c & 0xFF); }
constexpr int GetGValue(COLORREF c) { return static_cast<int>((c >> 8) & 0xFF); }
constexpr int GetBValue(COLORREF c) { return static_cast<int>((c >> 16) & 0xFF); }

namespace ctl {

// v + (255 - v) f per channel, truncated; unchanged unless 0 < f <= 1.
COLORREF LightenColor(COLORREF c, double f);
// v - v f per channel, truncated; unchanged unless 0 < f <= 1.
COLORREF DarkenColor(COLORREF c, double f);
// The same offset for all three channels, limited so that no channel clips (the hue stays).
// Returns the offset actually applied; offsets outside -255..255 are the caller's to refuse.
int LimitColorOffset(COLORREF c, int offset);
COLORREF OffsetColorValue(COLORREF c, int offset);
// 0.299 R + 0.587 G + 0.114 B, truncated, as a grey colour.
COLORREF GrayColor(COLORREF c);
// Each channel c - 0.25 c, truncated (the darker resting image).
COLORREF DarkerColor(COLORREF c);
// The washed-out disabled menu image: shadow lightened by the pixel's brightness.
COLORREF WashedColor(COLORREF pixel, COLORREF shadow);

}  // namespace ctl
