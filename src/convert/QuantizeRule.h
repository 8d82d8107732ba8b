// What every quantiser kernel shares: the tile it works on and the pixel rule
// for one sample, which the vector kernels also use for row tails and for
// blocks that the mask cuts.
#pragma once

#include <cstdint>

#include "convert/Quantize.h"
#include "convert/RandomStream.h"

// The vector kernels keep their values in registers across these helpers
// (KernelsAvx2.cpp says why), so they are always inlined.
#if defined(__GNUC__)
#define PIXELMOOR_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define PIXELMOOR_ALWAYS_INLINE inline
#endif

namespace quantize {

// One plane of one tile: three buffers, each with its own row bytes.
struct Tile {
  uint8_t* out;
  const uint8_t* in;
  const uint8_t* mask;  // null: every pixel converts
  int64_t outRowBytes, inRowBytes, maskRowBytes;
  int64_t width, height;  // both positive

  uint8_t* OutRow(int64_t y) const { return out + y * outRowBytes; }
  const uint8_t* InRow(int64_t y) const { return in + y * inRowBytes; }
  const uint8_t* MaskRow(int64_t y) const { return mask != nullptr ? mask + y * maskRowBytes : nullptr; }
};

struct Levels {
  uint8_t top;    // M: the top-bit mask, also the highest truncated level
  unsigned step;  // S = 256 - M, the distance between two kept levels
  unsigned below() const { return step - 1; }  // r % S is r & (S - 1): S is a power of two
};

constexpr Levels LevelsFor(uint8_t bits) {
  const uint8_t top = kTopBitMasks[bits > 8 ? 8 : bits];
  return Levels{top, 256u - top};
}

// Draws decide nothing when every level is kept (S = 1: nothing is dropped)
// or when there is no level above the first (M = 0: nothing can move up).
constexpr bool DrawsCanMoveASample(Levels levels) { return levels.step > 1 && levels.top > 0; }

PIXELMOOR_ALWAYS_INLINE uint8_t TruncateSample(uint8_t v, Levels levels) {
  return v == 255 ? uint8_t{255} : static_cast<uint8_t>(v & levels.top);
}

// `r` is this pixel's rand() % S.
PIXELMOOR_ALWAYS_INLINE uint8_t DitherSample(uint8_t v, uint8_t r, Levels levels) {
  const unsigned q = v & levels.top;
  const unsigned dropped = v - q;
  const unsigned up = static_cast<unsigned>(r < dropped) & static_cast<unsigned>(q < levels.top);
  return v == 255 ? uint8_t{255} : static_cast<uint8_t>(q + up * levels.step);
}

// The vector kernels apply the rule in another form, with t = S - 1 - r:
//
//   out = 255 if v is 255, else min(v + t, 255) AND M.
//
// v = q + d with q a multiple of S and d < S, so v + t = q + (d + S - 1 - r),
// whose bracket is below 2S and at least S exactly when r < d: AND M keeps q,
// one level up when r < d. Below the top level (q < M) the sum stays under
// 256; at the top level it reaches M + S = 256 or more exactly when r < d, and
// saturated at 255 it masks back to M: the top level never moves up.
// The equivalence tests hold both forms to the reference.

// rand() % S for the draw that stepped the generator to `state`.
PIXELMOOR_ALWAYS_INLINE uint8_t ReducedDraw(uint32_t state, unsigned below) {
  return static_cast<uint8_t>((state >> 16) & below);
}

// The mask from pixel x on; null stays null.
PIXELMOOR_ALWAYS_INLINE const uint8_t* MaskAt(const uint8_t* mask, int64_t x) {
  return mask != nullptr ? mask + x : nullptr;
}

// Pixels one by one, for row tails and for blocks that the mask cuts; `mask`
// may be null.
PIXELMOOR_ALWAYS_INLINE void TruncatePixels(uint8_t* out, const uint8_t* in, const uint8_t* mask, int64_t count,
                                            Levels levels) {
  for (int64_t x = 0; x < count; ++x)
    if (mask == nullptr || mask[x] != 0) out[x] = TruncateSample(in[x], levels);
}

PIXELMOOR_ALWAYS_INLINE uint32_t DitherPixels(uint8_t* out, const uint8_t* in, const uint8_t* mask, int64_t count,
                                              Levels levels, uint32_t state) {
  for (int64_t x = 0; x < count; ++x) {
    if (mask != nullptr && mask[x] == 0) continue;
    state = lcg::Step(state);
    out[x] = DitherSample(in[x], ReducedDraw(state, levels.below()), levels);
  }
  return state;
}

PIXELMOOR_ALWAYS_INLINE void DitherPixelsWithDraws(uint8_t* out, const uint8_t* in, const uint8_t* mask,
                                                   const uint8_t* draws, int64_t count, Levels levels) {
  for (int64_t x = 0; x < count; ++x)
    if (mask == nullptr || mask[x] != 0) out[x] = DitherSample(in[x], draws[x], levels);
}

}  // namespace quantize
