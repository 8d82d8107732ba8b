// Where CenterOnParent puts a dialog, from the owner's client rectangle, the
// dialog's size, its style and the screen metrics.
#include <gtest/gtest.h>

#include <cstdint>

#include "ui/Placement.h"

namespace {

struct PlacementCase {
  const char* what;
  PlacementInput in;
  PlacementPoint expected;
};

// Owner client area, dialog size, system menu, caption button, screen.
constexpr PlacementCase kCases[] = {
    {"centred, two thirds of a button to the left", {100, 100, 900, 700, 400, 120, false, 18, 1024, 768}, {288, 260}},
    {"system menu: a full button to the left", {100, 100, 900, 700, 400, 120, true, 18, 1024, 768}, {282, 260}},
    {"button of 20 gives a correction of 14", {100, 100, 900, 700, 400, 120, false, 20, 1024, 768}, {286, 260}},
    {"wider and taller than the owner: its top-left less the correction", {100, 100, 400, 400, 500, 500, false, 18, 1024, 768}, {88, 100}},
    {"right edge past the screen ends at the screen's edge", {700, 100, 1000, 400, 400, 100, false, 18, 1024, 768}, {624, 166}},
    {"wider than the screen goes to x = 0", {100, 100, 900, 700, 1100, 100, false, 18, 1024, 768}, {0, 266}},
    {"bottom edge past the screen ends at the screen's bottom", {0, 700, 800, 760, 200, 100, false, 18, 1024, 768}, {288, 668}},
    {"taller than the screen goes to y = 0", {0, 100, 800, 700, 200, 800, false, 18, 1024, 768}, {288, 0}},
    {"owner at x = 0, dialog as wide: the negative x stands", {0, 0, 300, 300, 300, 100, false, 18, 1024, 768}, {-12, 66}},
    {"owner left of the primary screen: negative x and y stand", {-900, -500, -100, -100, 200, 100, true, 18, 1024, 768}, {-618, -400}},
    {"extreme coordinates neither overflow nor wrap", {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, 10, 10, false, 18, 1024, 768}, {-18, -715827887}},
};

TEST(Placement, FollowsTheFormulaForEveryCase) {
  for (const PlacementCase& c : kCases) {
    const PlacementPoint p = ComputeDialogPlacement(c.in);
    EXPECT_EQ(p.x, c.expected.x) << c.what;
    EXPECT_EQ(p.y, c.expected.y) << c.what;
  }
}

}  // namespace
