// The quantiser's loops over a tile, one table per instruction set: a byte at
// a time (KernelsScalar.cpp), 16 bytes with SSE2 (KernelsSse2.cpp) and 32
// bytes with AVX2 (KernelsAvx2.cpp) on x86-64, 16 bytes with ASIMD
// (KernelsNeon.cpp) on ARM64. Quantize.cpp picks a table once and calls
// through it; every table gives the same bytes and draws the same numbers in
// the same order.
#pragma once

#include <cstdint>

#include "convert/QuantizeRule.h"

namespace quantize {

// Tiles go by value: the kernels store through byte pointers, which may
// point anywhere as far as the compiler knows, and only a copy of their own
// keeps the extent and row bytes in registers across those stores.
struct Kernels {
  QuantizeKernelSet set;
  // The tile without dithering.
  void (*truncate)(Tile tile, Levels levels);
  // The tile with dithering, from the private copy of the C runtime's
  // generator standing at `state`: one step per converted pixel, in row order.
  // Returns the state after the tile's last draw.
  uint32_t (*ditherFromState)(Tile tile, Levels levels, uint32_t state);
  // `count` pixels of one row with dithering, their draws (rand() % S) given
  // in `draws`, one per pixel; the draws of masked-out pixels are not used.
  void (*ditherWithDraws)(uint8_t* out, const uint8_t* in, const uint8_t* mask, const uint8_t* draws, int64_t count,
                          Levels levels);
  // How many pixels of the tile the mask selects (the tile must have one).
  int64_t (*countSelected)(Tile tile);
};

const Kernels& ScalarKernels();
// Null where the module is built without SSE2.
const Kernels* Sse2Kernels();
// Null where the module is built without AVX2 or the processor lacks it.
const Kernels* Avx2Kernels();
// Null where the module is not built for ARM64, which always has ASIMD.
const Kernels* NeonKernels();

// Counting the mask is bound by memory; the AVX2 table shares this one.
int64_t CountSelectedSse2(Tile tile);

}  // namespace quantize
