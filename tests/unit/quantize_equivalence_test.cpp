// QuantizePlaneTile rewrites rows in runs (random numbers drawn first, then
// applied 32 or 16 pixels at a time). These tests hold it byte for byte to the
// rule written the obvious way, pixel by pixel with a branch, over whole tile
// walks with the same seed: same output, same bytes left alone, and the
// generator left in the same state (so exactly as many draws, in the same
// order). Every walk runs on both vector paths: the 32-byte one (where the
// processor has AVX2) and the 16-byte one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "convert/Quantize.h"

namespace {

// The rule as stated: per pixel, in row order, pointers stepped past the
// width at the end of each row.
void ReferenceQuantize(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                       const uint8_t* mask, int32_t maskRowBytes, VRect area, uint8_t useDithering, uint8_t n) {
  const unsigned top = kTopBitMasks[n];
  const unsigned step = 256 - top;
  const int32_t height = area.bottom - area.top;
  const int32_t width = area.right - area.left;
  if (height <= 0) return;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      if (mask == nullptr || *mask != 0) {
        const unsigned v = *in;
        unsigned q = v & top;
        const unsigned d = v - q;
        if (useDithering != 0) {
          const unsigned r = static_cast<unsigned>(std::rand()) % step;
          if (r < d && q < top) q += step;
        }
        *out = v == 255 ? uint8_t{255} : static_cast<uint8_t>(q);
      }
      ++out;
      ++in;
      if (mask != nullptr) ++mask;
    }
    out += outRowBytes - width;
    in += inRowBytes - width;
    if (mask != nullptr) mask += maskRowBytes - width;
  }
}

using QuantizeFn = decltype(&QuantizePlaneTile);

enum class MaskKind { kNone, kSolid, kOnes, kPatchy };

struct WalkCase {
  std::string name;
  int32_t imageWidth, imageHeight;
  int32_t tileWidth, tileHeight;
  int32_t inPad, outPad, maskPad;  // row bytes = image width + pad
  MaskKind mask;
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

constexpr uint8_t kPadSentinel = 0xA5;

// Planar image buffers sized exactly: the last row ends at the image width,
// so a read or write past it is caught by AddressSanitizer.
struct Plane {
  int32_t rowBytes;
  std::vector<uint8_t> bytes;
  Plane(int32_t width, int32_t height, int32_t pad)
      : rowBytes(width + pad), bytes(size_t(height - 1) * size_t(width + pad) + size_t(width), kPadSentinel) {}
  uint8_t* At(int32_t top, int32_t left) { return bytes.data() + int64_t(top) * rowBytes + left; }
};

struct WalkResult {
  std::vector<std::vector<uint8_t>> planes;
  int nextDraw;
};

constexpr int kPlanes = 2;  // two planes per tile interleave their draws as the driver does

WalkResult Walk(QuantizeFn quantize, const WalkCase& c, uint8_t n, uint8_t dither, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  const auto sample = [&] {
    // Weight the values where the rule has edges: 255, exact levels, top levels.
    switch (byte(gen) & 7) {
      case 0: return uint8_t{255};
      case 1: return static_cast<uint8_t>(byte(gen) & kTopBitMasks[n]);
      case 2: return static_cast<uint8_t>(kTopBitMasks[n] | (byte(gen) & ~kTopBitMasks[n]));
      default: return static_cast<uint8_t>(byte(gen));
    }
  };

  std::vector<Plane> in, out;
  for (int p = 0; p < kPlanes; ++p) {
    in.emplace_back(c.imageWidth, c.imageHeight, c.inPad);
    out.emplace_back(c.imageWidth, c.imageHeight, c.outPad);
    for (int32_t y = 0; y < c.imageHeight; ++y)
      for (int32_t x = 0; x < c.imageWidth; ++x) {
        *in[p].At(y, x) = sample();
        *out[p].At(y, x) = static_cast<uint8_t>(*in[p].At(y, x) ^ 0x5A);  // tells an untouched byte apart
      }
  }
  Plane mask(c.imageWidth, c.imageHeight, c.maskPad);
  for (int32_t y = 0; y < c.imageHeight; ++y)
    for (int32_t x = 0; x < c.imageWidth; ++x) {
      uint8_t m = 255;
      if (c.mask == MaskKind::kOnes) m = 1;
      // Runs of selected and unselected pixels with ragged edges, and bands
      // wide enough to leave whole vector blocks unselected.
      if (c.mask == MaskKind::kPatchy)
        m = ((x / 7 + y / 3) % 3 == 0 || (x / 50) % 3 == 1 || byte(gen) < 40) ? 0 : static_cast<uint8_t>(byte(gen) | 1);
      *mask.At(y, x) = m;
    }

  std::srand(seed);
  for (int32_t top = 0; top < c.imageHeight; top += c.tileHeight)
    for (int32_t left = 0; left < c.imageWidth; left += c.tileWidth) {
      const VRect area{0, 0, std::min(c.tileHeight, c.imageHeight - top), std::min(c.tileWidth, c.imageWidth - left)};
      for (int p = 0; p < kPlanes; ++p)
        quantize(out[p].At(top, left), out[p].rowBytes, in[p].At(top, left), in[p].rowBytes,
                 c.mask == MaskKind::kNone ? nullptr : mask.At(top, left), mask.rowBytes, area, dither, n);
    }

  WalkResult result{{}, std::rand()};
  for (int p = 0; p < kPlanes; ++p) {
    for (int32_t y = 0; y + 1 < c.imageHeight; ++y)
      for (int32_t x = c.imageWidth; x < out[p].rowBytes; ++x)
        EXPECT_EQ(*out[p].At(y, x), kPadSentinel) << "byte past the width written, plane " << p << " row " << y;
    result.planes.push_back(std::move(out[p].bytes));
  }
  return result;
}

// Runs the test body on one vector path and restores the run-time choice.
struct VectorPath {
  bool wide;
  bool available;
  explicit VectorPath(bool w) : wide(w), available(QuantizeUseWideVectors(w) == w) {}
  ~VectorPath() { QuantizeUseWideVectors(true); }
};

class QuantizeEquivalence : public testing::TestWithParam<std::tuple<WalkCase, bool>> {};

TEST_P(QuantizeEquivalence, WholeTileWalkMatchesThePerPixelRule) {
  const WalkCase& c = std::get<0>(GetParam());
  const VectorPath path(std::get<1>(GetParam()));
  if (!path.available) GTEST_SKIP() << "this processor has no AVX2";
  for (uint8_t dither : {uint8_t{0}, uint8_t{1}}) {
    for (uint8_t n = 0; n <= 8; ++n) {
      const unsigned seed = 1000u * n + 17u * dither + static_cast<unsigned>(c.imageWidth);
      SCOPED_TRACE(testing::Message() << "n=" << int(n) << " dither=" << int(dither) << " seed=" << seed);
      const WalkResult expected = Walk(&ReferenceQuantize, c, n, dither, seed);
      const WalkResult actual = Walk(&QuantizePlaneTile, c, n, dither, seed);
      EXPECT_EQ(actual.nextDraw, expected.nextDraw) << "a different number of random draws";
      for (int p = 0; p < kPlanes; ++p) EXPECT_TRUE(actual.planes[p] == expected.planes[p]) << "plane " << p;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Walks, QuantizeEquivalence,
    testing::Combine(testing::Values(
        // Partial tiles at the right and bottom; widths that leave a tail past the last 16-pixel block.
        WalkCase{"ragged_tiles_padded_rows", 203, 70, 64, 32, 13, 5, 0, MaskKind::kNone},
        WalkCase{"solid_mask", 150, 40, 48, 40, 3, 0, 9, MaskKind::kSolid},
        WalkCase{"mask_of_ones", 77, 33, 77, 16, 0, 2, 1, MaskKind::kOnes},
        WalkCase{"patchy_mask", 211, 50, 96, 24, 7, 11, 4, MaskKind::kPatchy},
        // A tile wider than one run of random numbers, cut mid-row.
        WalkCase{"rows_longer_than_a_run", 2600, 6, 2500, 4, 1, 3, 2, MaskKind::kPatchy},
        WalkCase{"tiny_tiles", 19, 9, 5, 3, 2, 2, 2, MaskKind::kPatchy},
        // Whole 32-byte blocks with no tail, and one 16-byte block past them.
        WalkCase{"blocks_and_one_half_block", 304, 12, 144, 6, 0, 9, 3, MaskKind::kPatchy}),
                     testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<WalkCase, bool>>& walk) {
      return std::get<0>(walk.param).name + (std::get<1>(walk.param) ? "_avx2" : "_sse2");
    });

// Output that shares bytes with the input or the mask keeps the per-pixel
// order's result: the input in place (same buffer, same row bytes) and
// shifted by one byte; the mask one byte before or after the output, where a
// pixel's mask byte is its neighbour's output byte (written first, or not yet
// written). With 1 kept bit most outputs are 0, so the mask read after the
// write differs from the one read before it for many pixels.
TEST(QuantizeEquivalenceShared, OverlappingInputAndOutputMatchThePerPixelRule) {
  constexpr int32_t kWidth = 45, kHeight = 6, kRowBytes = 50;
  struct Case {
    int inShift;    // input at the output plus this; kSeparate: a buffer of its own
    int maskShift;  // mask at the output plus this; kSeparate: no mask
    uint8_t bits;
  };
  constexpr int kSeparate = 99;
  const Case cases[] = {{0, kSeparate, 5}, {1, kSeparate, 5}, {-1, kSeparate, 5}, {kSeparate, -1, 1},
                        {kSeparate, 1, 1}};
  for (const Case& c : cases) {
    for (uint8_t dither : {uint8_t{0}, uint8_t{1}}) {
      SCOPED_TRACE(testing::Message() << "input shift=" << c.inShift << " mask shift=" << c.maskShift
                                      << " dither=" << int(dither));
      std::vector<uint8_t> start(kRowBytes * kHeight + 2), separate(kRowBytes * kHeight);
      std::mt19937 gen(42);
      for (auto& b : start) b = static_cast<uint8_t>(gen());
      for (auto& b : separate) b = static_cast<uint8_t>(gen());
      auto run = [&](QuantizeFn quantize) {
        std::vector<uint8_t> bytes = start;
        uint8_t* out = bytes.data() + 1;
        const uint8_t* in = c.inShift == kSeparate ? separate.data() : out + c.inShift;
        const uint8_t* mask = c.maskShift == kSeparate ? nullptr : out + c.maskShift;
        std::srand(7);
        quantize(out, kRowBytes, in, kRowBytes, mask, kRowBytes, VRect{0, 0, kHeight, kWidth}, dither, c.bits);
        return std::make_pair(bytes, std::rand());
      };
      EXPECT_TRUE(run(&QuantizePlaneTile) == run(&ReferenceQuantize));
    }
  }
}

}  // namespace
