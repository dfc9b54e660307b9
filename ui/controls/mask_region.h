// The window shape of a shaped button: one-pixel-high runs of the mask's non-white pixels.
#pragma once

#include <functional>
#include <vector>

namespace ctl {

struct RunRect {
  int left, top, right, bottom;  // right and bottom exclusive
  bool operator==(const RunRect&) const = default;
};

// Scans rows from the bottom up; every run of pixels that are not white becomes a
// rectangle one pixel high. A run ending at the last column includes that column.
std::vector<RunRect> RegionRunsFromMask(int width, int height, const std::function<bool(int x, int y)>& isWhite);

}  // namespace ctl
