// Converts the whole filter rectangle, tile by tile and plane by plane, in the
// host's buffers, through the FilterRecord of the current call. Reports
// through the result slot.
#pragma once

#include <cstdint>

// Bits kept for planes 0 to 3 (a 5-6-5 pixel, then a full alpha plane).
// Planes past these four are delivered and left as they are.
inline constexpr uint8_t kPlaneBits[4] = {5, 6, 5, 8};

// `useDithering`: the user's choice in the parameter block, non-zero for
// random rounding, 0 for plain truncation. The block is host memory that the
// host may rewrite during the run: the byte is read afresh for every plane.
void ConvertImage(const volatile uint8_t& useDithering);
