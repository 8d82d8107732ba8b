#include <gtest/gtest.h>
#include "convert/Quantize.h"
TEST(Smoke, Truncates) {
  uint8_t in = 100, out = 0;
  QuantizePlaneTile(&out, 1, &in, 1, nullptr, 1, VRect{0, 0, 1, 1}, 0, 5);
  EXPECT_EQ(out, 96);
}
