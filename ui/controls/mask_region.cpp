// Region runs from a mask bitmap.
#include "ui/controls/mask_region.h"

namespace ctl {

std::vector<RunRect> RegionRunsFromMask(int width, int height, const std::function<bool(int, int)>& isWhite) {
  std::vector<RunRect> runs;
  for (int y = height - 1; y >= 0; --y) {
    int x = 0;
    while (x < width) {
      while (x < width && isWhite(x, y)) ++x;
      if (x >= width) break;
      const int start = x;
      while (x < width && !isWhite(x, y)) ++x;
      runs.push_back({start, y, x, y + 1});
    }
  }
  return runs;
}

}  // namespace ctl
