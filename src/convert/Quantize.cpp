// How a plane of a tile is rewritten fast without changing a single output
// byte or draw:
//
// - The loops over the tile live in a table of kernels (Kernels.h), one per
//   instruction set, chosen once on first use.
// - With the private copy of the C runtime's generator (RandomStream.h) the
//   kernel computes each block's draws from the state in registers and
//   applies them in the same pass.
// - Where every draw must be a rand() call, each row is cut into runs: the
//   run's numbers are drawn first, one per converted pixel from the left, into
//   a small stack buffer, and the kernel then applies them.
// - Where the draws cannot change a byte (all 8 bits kept, or no level to move
//   up to), the tile is truncated and its draws are passed over: one jump of
//   the private copy, or as many rand() calls.
// - When the output shares bytes with the input or the mask at another
//   position, the order of reads and writes decides the result: the rule is
//   then applied pixel by pixel in the order it is defined.
#include "convert/Quantize.h"

#include <algorithm>
#include <cstddef>

#include "convert/Kernels.h"
#include "convert/RandomStream.h"

namespace {

using quantize::Kernels;
using quantize::Levels;
using quantize::Tile;

const Kernels* gKernels = nullptr;  // chosen on first use

const Kernels& ChooseKernels(QuantizeKernelSet widest) {
  if (widest == QuantizeKernelSet::kScalar) return quantize::ScalarKernels();
  // ARM64: one vector set, chosen when the module is built.
  const Kernels* neon = quantize::NeonKernels();
  if (neon != nullptr) return *neon;
  const Kernels* avx2 = widest == QuantizeKernelSet::kAvx2 ? quantize::Avx2Kernels() : nullptr;
  if (avx2 != nullptr) return *avx2;
  const Kernels* sse2 = widest != QuantizeKernelSet::kScalar ? quantize::Sse2Kernels() : nullptr;
  if (sse2 != nullptr) return *sse2;
  return quantize::ScalarKernels();
}

const Kernels& ActiveKernels() {
  if (gKernels == nullptr) gKernels = &ChooseKernels(QuantizeKernelSet::kAvx2);
  return *gKernels;
}

struct Span {
  uintptr_t begin, end;
};

Span BytesCovered(const void* base, int64_t rowBytes, int64_t height, int64_t width) {
  const auto start = reinterpret_cast<uintptr_t>(base);
  const int64_t last = (height - 1) * rowBytes;
  return Span{start + static_cast<uintptr_t>(std::min<int64_t>(0, last)),
              start + static_cast<uintptr_t>(std::max<int64_t>(0, last) + width)};
}

// True when rewriting the output block by block could read a byte of `other`
// that the per-pixel order would read before (or after) writing it. The same
// buffer at the same row bytes is safe: every pixel is read and written at
// the same place, and a block reads its bytes before it writes them.
bool SharesBytesOutOfStep(const Tile& tile, const void* other, int64_t otherRowBytes) {
  if (other == tile.out && otherRowBytes == tile.outRowBytes) return false;
  const Span a = BytesCovered(tile.out, tile.outRowBytes, tile.height, tile.width);
  const Span b = BytesCovered(other, otherRowBytes, tile.height, tile.width);
  return a.begin < b.end && b.begin < a.end;
}

void QuantizeInOrder(Tile tile, Levels levels, bool dither) {
  RandomStream* random = dither ? &DitherRandom() : nullptr;
  for (int64_t y = 0; y < tile.height; ++y) {
    uint8_t* out = tile.OutRow(y);
    const uint8_t* in = tile.InRow(y);
    const uint8_t* mask = tile.MaskRow(y);
    for (int64_t x = 0; x < tile.width; ++x) {
      if (mask != nullptr && mask[x] == 0) continue;
      const uint8_t v = in[x];
      out[x] = random != nullptr
                   ? quantize::DitherSample(v, static_cast<uint8_t>(static_cast<unsigned>(random->Next()) % levels.step),
                                            levels)
                   : quantize::TruncateSample(v, levels);
    }
  }
}

// Random numbers of one run live on the stack; 1 KiB stays in L1 and covers
// the widest tiles hosts usually hand out in one run.
constexpr int64_t kRunLength = 1024;

void DitherWithCRuntimeDraws(Tile tile, Levels levels, const Kernels& kernels, const RandomStream& random) {
  int (*const draw)() = random.runtime().draw;
  const unsigned below = levels.below();
  uint8_t draws[kRunLength];
  for (int64_t y = 0; y < tile.height; ++y) {
    for (int64_t x = 0; x < tile.width; x += kRunLength) {
      uint8_t* out = tile.OutRow(y) + x;
      const uint8_t* in = tile.InRow(y) + x;
      const uint8_t* mask = quantize::MaskAt(tile.MaskRow(y), x);
      const int64_t count = std::min(kRunLength, tile.width - x);
      // Drawing the run's numbers takes far longer than fetching its bytes:
      // ask for them now, so that applying the run does not wait on memory.
      for (int64_t k = 0; k < count; k += 64) {
        __builtin_prefetch(in + k);
        __builtin_prefetch(out + k, 1);
      }
      for (int64_t k = 0; k < count; ++k)
        draws[k] = mask == nullptr || mask[k] != 0 ? static_cast<uint8_t>(static_cast<unsigned>(draw()) & below)
                                                   : uint8_t{0};
      kernels.ditherWithDraws(out, in, mask, draws, count, levels);
    }
  }
}

}  // namespace

void QuantizePlaneTile(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                       const uint8_t* mask, int32_t maskRowBytes, int32_t width, int32_t height, bool dither,
                       uint8_t bits) {
  if (width <= 0 || height <= 0) return;
  const Levels levels = quantize::LevelsFor(bits);
  Tile tile{out, in, mask, outRowBytes, inRowBytes, maskRowBytes, width, height};

  if (SharesBytesOutOfStep(tile, in, inRowBytes) ||
      (mask != nullptr && SharesBytesOutOfStep(tile, mask, maskRowBytes))) {
    QuantizeInOrder(tile, levels, dither);
    return;
  }
  // Rows that follow one another without a gap in every buffer (a host's tile
  // buffer at its own width) are one row: row order is then memory order, and
  // the kernels start and end a row once per tile instead of once per row.
  if (outRowBytes == width && inRowBytes == width && (mask == nullptr || maskRowBytes == width)) {
    tile.width = int64_t{width} * height;
    tile.height = 1;
  }
  const Kernels& kernels = ActiveKernels();
  if (!dither) {
    kernels.truncate(tile, levels);
    return;
  }
  RandomStream& random = DitherRandom();
  if (!quantize::DrawsCanMoveASample(levels)) {
    // Counted before the output is written: the output may be the mask itself.
    random.Skip(mask == nullptr ? static_cast<uint64_t>(width) * static_cast<uint64_t>(height)
                                : static_cast<uint64_t>(kernels.countSelected(tile)));
    kernels.truncate(tile, levels);
    return;
  }
  if (random.copying())
    random.state = kernels.ditherFromState(tile, levels, random.state);
  else
    DitherWithCRuntimeDraws(tile, levels, kernels, random);
}

QuantizeKernelSet QuantizeLimitKernels(QuantizeKernelSet widest) {
  gKernels = &ChooseKernels(widest);
  return gKernels->set;
}

const char* QuantizeKernelSetName(QuantizeKernelSet set) {
  switch (set) {
    case QuantizeKernelSet::kScalar: return "scalar";
    case QuantizeKernelSet::kSse2: return "SSE2 (16 bytes)";
    case QuantizeKernelSet::kAvx2: return "AVX2 (32 bytes)";
    case QuantizeKernelSet::kNeon: return "ASIMD (16 bytes)";
  }
  return "?";
}
