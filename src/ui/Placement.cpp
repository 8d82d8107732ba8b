#include "ui/Placement.h"

#include <algorithm>
#include <climits>

namespace {

// Window coordinates come from the system and are far from the int32 limits,
// but the sums are formed in 64 bits so that no input can overflow.
int32_t ToInt32(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

// Holds a span's far edge to the screen, leaving a negative start alone.
int64_t HoldToScreen(int64_t start, int64_t size, int64_t screen) {
  if (start + size > screen) return std::max<int64_t>(screen - size, 0);
  return start;
}

}  // namespace

PlacementPoint ComputeDialogPlacement(const PlacementInput& in) {
  const int64_t button = in.captionButtonWidth;
  // Our templates have no system menu, so their caption lacks the close box
  // that the full correction allows for.
  const int64_t correction = in.hasSystemMenu ? button : button - button / 3;
  const int64_t w = in.dialogWidth;
  const int64_t h = in.dialogHeight;
  const int64_t ownerWidth = int64_t(in.ownerRight) - in.ownerLeft;
  const int64_t ownerHeight = int64_t(in.ownerBottom) - in.ownerTop;

  int64_t x = in.ownerLeft + std::max<int64_t>(ownerWidth - w, 0) / 2 - correction;
  x = HoldToScreen(x, w, in.screenWidth);
  int64_t y = in.ownerTop + std::max<int64_t>(ownerHeight - h, 0) / 3;
  y = HoldToScreen(y, h, in.screenHeight);
  return {ToInt32(x), ToInt32(y)};
}
