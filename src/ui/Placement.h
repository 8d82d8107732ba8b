// Where a dialog goes over its owner: the arithmetic of CenterOnParent, free of
// window calls so that it runs (and is tested) on any platform.
#pragma once

#include <cstdint>

struct PlacementInput {
  // The owner's client area in screen pixels; right and bottom exclusive.
  int32_t ownerLeft, ownerTop, ownerRight, ownerBottom;
  // The dialog's whole window size.
  int32_t dialogWidth, dialogHeight;
  // WS_SYSMENU in the dialog's style: the leftward correction is a full
  // caption button instead of two thirds of one.
  bool hasSystemMenu;
  int32_t captionButtonWidth;  // SM_CXSIZE
  int32_t screenWidth, screenHeight;  // the primary screen, SM_CXSCREEN / SM_CYSCREEN
};

struct PlacementPoint {
  int32_t x, y;
};

// Centred horizontally (less the correction) and a third of the way down;
// pulled back only where the right or bottom edge passes the primary screen.
// A negative coordinate stands.
PlacementPoint ComputeDialogPlacement(const PlacementInput& in);
