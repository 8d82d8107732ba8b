// The pixel rule: keep the top n bits of each 8-bit sample, optionally with
// mean-preserving random dithering. Knows nothing of the host.
#pragma once

#include <cstdint>

#include "host/HostApi.h"

// The top n bits of a byte set, for n = 0 to 8.
inline constexpr uint8_t kTopBitMasks[9] = {0, 128, 192, 224, 240, 248, 252, 254, 255};

// Rewrites one plane of one tile in `out` from `in`. Only the height and width
// of `area` are used. A null `mask` converts every pixel; a mask byte of 0
// leaves that output byte as it stands and draws no random number. With
// dithering on, exactly one rand() is drawn per converted pixel, in row order.
// `bits` above 8 is treated as 8. Bytes past each row's width are not touched.
void QuantizePlaneTile(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                       const uint8_t* mask, int32_t maskRowBytes, VRect area, uint8_t useDithering,
                       uint8_t bits);

// The quantiser uses the widest vectors the processor offers: 32 bytes at a
// time where AVX2 is present (chosen at run time; the module itself targets
// every x86-64 processor), 16 bytes with SSE2 otherwise. Both give the same
// bytes. Passing false holds it to the 16-byte path, so that benchmarks and
// tests can measure and check that path on any machine; true restores the
// choice. Returns whether the 32-byte path is in use from now on.
bool QuantizeUseWideVectors(bool allowed);
