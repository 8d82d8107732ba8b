#include "convert/Quantize.h"

#include <cstddef>
#include <cstdlib>

namespace {

inline uint8_t QuantizeSample(uint8_t v, unsigned top, unsigned step, bool dither) {
  unsigned q = v & top;
  const unsigned dropped = v - q;
  if (dither) {
    // One draw per pixel, taken before any test, whatever the sample.
    const unsigned r = static_cast<unsigned>(std::rand()) % step;
    if (r < dropped && q < top) q += step;
  }
  return v == 255 ? 255 : static_cast<uint8_t>(q);
}

}  // namespace

void QuantizePlaneTile(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                       const uint8_t* mask, int32_t maskRowBytes, VRect area, uint8_t useDithering,
                       uint8_t bits) {
  if (bits > 8) bits = 8;
  const unsigned top = kTopBitMasks[bits];
  const unsigned step = 256u - top;
  const int64_t height = int64_t(area.bottom) - area.top;
  const int64_t width = int64_t(area.right) - area.left;
  if (height <= 0 || width <= 0) return;
  const bool dither = useDithering != 0;

  for (int64_t y = 0; y < height; ++y) {
    uint8_t* o = out + y * outRowBytes;
    const uint8_t* i = in + y * inRowBytes;
    const uint8_t* m = mask != nullptr ? mask + y * maskRowBytes : nullptr;
    for (int64_t x = 0; x < width; ++x) {
      if (m != nullptr && m[x] == 0) continue;
      o[x] = QuantizeSample(i[x], top, step, dither);
    }
  }
}
