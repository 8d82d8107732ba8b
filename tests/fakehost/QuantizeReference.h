// A deliberately plain per-pixel statement of the pixel rule, written apart
// from the module's quantiser so that the two can check each other: levels by
// integer division, one rand() per converted pixel, top level never raised.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace fakehost {

inline void ReferenceQuantize(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                              const uint8_t* mask, int32_t maskRowBytes, int32_t height, int32_t width,
                              bool dither, int bits) {
  const int step = 1 << (8 - bits);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      if (mask != nullptr && mask[int64_t(y) * maskRowBytes + x] == 0) continue;
      const int v = in[int64_t(y) * inRowBytes + x];
      int level = v / step * step;
      if (dither) {
        const int r = std::rand() % step;
        if (r < v - level && level + step < 256) level += step;
      }
      out[int64_t(y) * outRowBytes + x] = static_cast<uint8_t>(v == 255 ? 255 : level);
    }
  }
}

}  // namespace fakehost
