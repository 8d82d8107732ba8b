// The pixel rule: keep the top n bits of each 8-bit sample, optionally with
// mean-preserving random dithering. Knows nothing of the host.
#pragma once

#include <cstdint>

// The top n bits of a byte set, for n = 0 to 8.
inline constexpr uint8_t kTopBitMasks[9] = {0, 128, 192, 224, 240, 248, 252, 254, 255};

// Rewrites one plane of one tile, `width` x `height` pixels, in `out` from
// `in`; each buffer steps by its own row bytes. Nothing happens when the width
// or the height is 0 or less. A null `mask` converts every pixel; a mask byte
// of 0 leaves that output byte as it stands and draws no random number. With
// dithering on, exactly one number of the C runtime's rand() sequence is used
// per converted pixel, in row order (see RandomStream.h for where it comes
// from). `bits` above 8 is treated as 8. Bytes past each row's width are not
// touched.
void QuantizePlaneTile(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                       const uint8_t* mask, int32_t maskRowBytes, int32_t width, int32_t height, bool dither,
                       uint8_t bits);

// The quantiser uses the widest vectors the processor offers, chosen once on
// first use: 32 bytes at a time where AVX2 is present (the module itself
// targets every x86-64 processor), 16 bytes with SSE2 otherwise, a byte at a
// time where neither is built in. On ARM64 it is 16 bytes with ASIMD, which
// every such processor has. All give the same bytes. Tests and benchmarks may
// hold it to a narrower set (on ARM64 any set but kScalar is the ASIMD one);
// the result is the set in use from now on (never wider than the processor
// runs).
enum class QuantizeKernelSet { kScalar, kSse2, kAvx2, kNeon };
QuantizeKernelSet QuantizeLimitKernels(QuantizeKernelSet widest);
const char* QuantizeKernelSetName(QuantizeKernelSet set);
