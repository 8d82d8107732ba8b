// Converts the whole filter rectangle, tile by tile and plane by plane, in the
// host's buffers, through the FilterRecord of the current call. Reports
// through the result slot.
#pragma once

#include <cstdint>

// Bits kept for planes 0 to 3 (a 5-6-5 pixel, then a full alpha plane).
// Planes past these four are delivered and left as they are.
inline constexpr uint8_t kPlaneBits[4] = {5, 6, 5, 8};

// `dither`: the user's choice, random rounding (true) or plain truncation.
void ConvertImage(bool dither);
