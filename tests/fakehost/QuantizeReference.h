// A deliberately plain per-pixel statement of the pixel rule, written apart
// from the module's quantiser so that the two can check each other: levels by
// integer division, one rand() per converted pixel, top level never raised.
// Every equivalence test and the benchmarks hold the module to it.
//
// Also a model of the Windows C runtime's generator, written out from its
// documented rule, for tests that want the module's private copy of that
// generator at work on any C runtime (natively under the sanitizers too).
#pragma once

#include <cstdint>
#include <cstdlib>

namespace fakehost {

inline int StandardRand() { return std::rand(); }

// `draw` stands in for rand() (std::rand unless a test passes another).
inline void ReferenceQuantize(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                              const uint8_t* mask, int32_t maskRowBytes, int32_t height, int32_t width,
                              bool dither, int bits, int (*draw)() = StandardRand) {
  const int step = 1 << (8 - bits);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      if (mask != nullptr && mask[int64_t(y) * maskRowBytes + x] == 0) continue;
      const int v = in[int64_t(y) * inRowBytes + x];
      int level = v / step * step;
      if (dither) {
        const int r = draw() % step;
        if (r < v - level && level + step < 256) level += step;
      }
      out[int64_t(y) * outRowBytes + x] = static_cast<uint8_t>(v == 255 ? 255 : level);
    }
  }
}

// msvcrt's srand and rand: a 32-bit state, set by srand; each rand() steps it
// by state * 214013 + 2531011 and returns its bits 16 to 30.
inline uint32_t gWindowsRandState = 1;
inline void WindowsSrand(unsigned seed) { gWindowsRandState = seed; }
inline int WindowsRand() {
  gWindowsRandState = gWindowsRandState * 214013u + 2531011u;
  return static_cast<int>((gWindowsRandState >> 16) & 0x7fff);
}

}  // namespace fakehost
