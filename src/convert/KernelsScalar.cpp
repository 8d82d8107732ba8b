// The rule a byte at a time: the kernels of a build without SSE2, and the
// plainest statement of what the vector kernels compute.
#include "convert/Kernels.h"

namespace quantize {
namespace {

void Truncate(Tile tile, Levels levels) {
  for (int64_t y = 0; y < tile.height; ++y)
    TruncatePixels(tile.OutRow(y), tile.InRow(y), tile.MaskRow(y), tile.width, levels);
}

uint32_t DitherFromState(Tile tile, Levels levels, uint32_t state) {
  for (int64_t y = 0; y < tile.height; ++y)
    state = DitherPixels(tile.OutRow(y), tile.InRow(y), tile.MaskRow(y), tile.width, levels, state);
  return state;
}

void DitherWithDraws(uint8_t* out, const uint8_t* in, const uint8_t* mask, const uint8_t* draws, int64_t count,
                     Levels levels) {
  DitherPixelsWithDraws(out, in, mask, draws, count, levels);
}

int64_t CountSelected(Tile tile) {
  int64_t count = 0;
  for (int64_t y = 0; y < tile.height; ++y) {
    const uint8_t* mask = tile.MaskRow(y);
    for (int64_t x = 0; x < tile.width; ++x) count += mask[x] != 0;
  }
  return count;
}

constexpr Kernels kScalar{QuantizeKernelSet::kScalar, Truncate, DitherFromState, DitherWithDraws, CountSelected};

}  // namespace

const Kernels& ScalarKernels() { return kScalar; }

}  // namespace quantize
