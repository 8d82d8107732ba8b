// QuantizePlaneTile against the per-pixel reference (QuantizeReference.h)
// over whole tile walks from the same seed: same output, same bytes left
// alone, and the generator left where the reference leaves it (so exactly as
// many draws, in the same order). Every walk runs on each kernel set the
// build has (scalar, SSE2 and AVX2 on x86-64, where the processor has it;
// scalar and ASIMD on ARM64) and with each source of draws:
//   - outside a run: rand() calls, as a caller without a run gets them;
//   - in a run on the C runtime's own generator: the private copy under
//     Windows (msvcrt follows the rule), rand() calls natively (glibc does not);
//   - in a run with the private copy switched off: rand() calls everywhere;
//   - in a run on a model of the Windows generator: the private copy on any
//     C runtime, so also natively under the sanitizers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "DrawSources.h"
#include "QuantizeReference.h"
#include "convert/Quantize.h"
#include "convert/RandomStream.h"

namespace {

using drawsources::CopiesTheGenerator;
using drawsources::GeneratorOf;
using drawsources::NameOf;
using drawsources::Source;

// What a walk leaves behind.
struct Drawn {
  int next = 0;         // the generator's next number afterwards
  bool copied = false;  // the run used the private copy
};

// Seeds the source's generator and runs `walk` with the module's stream set
// up for `source` (in a run of draws unless kOutsideARun); the reference's
// `walk` gets the generator's draw function. Restores the stream afterwards.
template <typename Walk>
Drawn DrawWith(Source source, bool module, unsigned seed, Walk&& walk) {
  const CRuntimeRandom generator = GeneratorOf(source);
  Drawn drawn;
  generator.seed(seed);
  if (!module) {
    walk(generator.draw);
  } else {
    const drawsources::StreamSetUp setUp(source);
    std::optional<RandomRun> run;
    if (source != Source::kOutsideARun) run.emplace(seed);
    drawn.copied = DitherRandom().copying();
    walk(generator.draw);
  }
  drawn.next = generator.draw();
  return drawn;
}

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

constexpr int kPlanes = 2;  // two planes per tile interleave their draws as the driver does

// The second plane keeps another number of bits, so that planes whose draws
// decide nothing (n = 8 or 0) alternate with planes whose draws do.
uint8_t BitsOfPlane(int plane, uint8_t n) { return plane == 0 ? n : static_cast<uint8_t>((n + 3) % 9); }

struct WalkResult {
  std::vector<std::vector<uint8_t>> planes;
  Drawn drawn;
};

WalkResult Walk(bool module, Source source, const WalkCase& c, uint8_t n, bool dither, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  const auto sample = [&](uint8_t bits) {
    // Weight the values where the rule has edges: 255, exact levels, top levels.
    switch (byte(gen) & 7) {
      case 0: return uint8_t{255};
      case 1: return static_cast<uint8_t>(byte(gen) & kTopBitMasks[bits]);
      case 2: return static_cast<uint8_t>(kTopBitMasks[bits] | (byte(gen) & ~kTopBitMasks[bits]));
      default: return static_cast<uint8_t>(byte(gen));
    }
  };

  std::vector<Plane> in, out;
  for (int p = 0; p < kPlanes; ++p) {
    in.emplace_back(c.imageWidth, c.imageHeight, c.inPad);
    out.emplace_back(c.imageWidth, c.imageHeight, c.outPad);
    for (int32_t y = 0; y < c.imageHeight; ++y)
      for (int32_t x = 0; x < c.imageWidth; ++x) {
        *in[p].At(y, x) = sample(BitsOfPlane(p, n));
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

  WalkResult result;
  result.drawn = DrawWith(source, module, seed, [&](int (*draw)()) {
    for (int32_t top = 0; top < c.imageHeight; top += c.tileHeight)
      for (int32_t left = 0; left < c.imageWidth; left += c.tileWidth) {
        const int32_t height = std::min(c.tileHeight, c.imageHeight - top);
        const int32_t width = std::min(c.tileWidth, c.imageWidth - left);
        const uint8_t* tileMask = c.mask == MaskKind::kNone ? nullptr : mask.At(top, left);
        for (int p = 0; p < kPlanes; ++p) {
          if (module)
            QuantizePlaneTile(out[p].At(top, left), out[p].rowBytes, in[p].At(top, left), in[p].rowBytes, tileMask,
                              mask.rowBytes, width, height, dither, BitsOfPlane(p, n));
          else
            fakehost::ReferenceQuantize(out[p].At(top, left), out[p].rowBytes, in[p].At(top, left), in[p].rowBytes,
                                        tileMask, mask.rowBytes, height, width, dither, BitsOfPlane(p, n), draw);
        }
      }
  });

  for (int p = 0; p < kPlanes; ++p) {
    for (int32_t y = 0; y + 1 < c.imageHeight; ++y)
      for (int32_t x = c.imageWidth; x < out[p].rowBytes; ++x)
        EXPECT_EQ(*out[p].At(y, x), kPadSentinel) << "byte past the width written, plane " << p << " row " << y;
    result.planes.push_back(std::move(out[p].bytes));
  }
  return result;
}

// The sets a build for this architecture has; ARM64 has one vector set.
#if defined(__aarch64__)
constexpr QuantizeKernelSet kBuiltSets[] = {QuantizeKernelSet::kScalar, QuantizeKernelSet::kNeon};
bool ProcessorHasAvx2() { return false; }
#else
constexpr QuantizeKernelSet kBuiltSets[] = {QuantizeKernelSet::kScalar, QuantizeKernelSet::kSse2,
                                            QuantizeKernelSet::kAvx2};
bool ProcessorHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
#endif

// Holds the quantiser to one kernel set for a test; restores the widest.
struct KernelScope {
  bool available;
  explicit KernelScope(QuantizeKernelSet set) : available(QuantizeLimitKernels(set) == set) {}
  ~KernelScope() { QuantizeLimitKernels(QuantizeKernelSet::kAvx2); }
};

using Param = std::tuple<WalkCase, QuantizeKernelSet, Source>;
class QuantizeEquivalence : public testing::TestWithParam<Param> {};

TEST_P(QuantizeEquivalence, WholeTileWalkMatchesThePerPixelRule) {
  const auto& [c, set, source] = GetParam();
  const KernelScope kernels(set);
  // Every x86-64 processor has SSE2 and every ARM64 one ASIMD: those sets and
  // the scalar one must always be given when asked for. AVX2 may be missing,
  // which the processor itself tells (not the kernel table under test, which
  // could be wrong).
  if (set == QuantizeKernelSet::kAvx2 && !ProcessorHasAvx2()) GTEST_SKIP() << "this processor lacks AVX2";
  ASSERT_TRUE(kernels.available) << "asked for " << QuantizeKernelSetName(set) << ", given another set";
  for (const bool dither : {false, true}) {
    for (uint8_t n = 0; n <= 8; ++n) {
      const unsigned seed = 1000u * n + 17u * dither + static_cast<unsigned>(c.imageWidth);
      SCOPED_TRACE(testing::Message() << "n=" << int(n) << " dither=" << dither << " seed=" << seed);
      const WalkResult expected = Walk(false, source, c, n, dither, seed);
      const WalkResult actual = Walk(true, source, c, n, dither, seed);
      EXPECT_EQ(actual.drawn.copied, CopiesTheGenerator(source)) << "the run drew from another source than meant";
      EXPECT_EQ(actual.drawn.next, expected.drawn.next) << "the generator stands elsewhere afterwards";
      for (int p = 0; p < kPlanes; ++p) EXPECT_TRUE(actual.planes[p] == expected.planes[p]) << "plane " << p;
    }
  }
}

const char* ShortName(QuantizeKernelSet set) {
  switch (set) {
    case QuantizeKernelSet::kScalar: return "scalar";
    case QuantizeKernelSet::kSse2: return "sse2";
    case QuantizeKernelSet::kAvx2: return "avx2";
    case QuantizeKernelSet::kNeon: return "neon";
  }
  return "?";
}

}  // namespace

void PrintTo(QuantizeKernelSet set, std::ostream* os) { *os << QuantizeKernelSetName(set); }

namespace {

INSTANTIATE_TEST_SUITE_P(
    Walks, QuantizeEquivalence,
    testing::Combine(
        testing::Values(
            // Partial tiles at the right and bottom; widths that leave a tail past the last 16-pixel block.
            WalkCase{"ragged_tiles_padded_rows", 203, 70, 64, 32, 13, 5, 0, MaskKind::kNone},
            WalkCase{"solid_mask", 150, 40, 48, 40, 3, 0, 9, MaskKind::kSolid},
            WalkCase{"mask_of_ones", 77, 33, 77, 16, 0, 2, 1, MaskKind::kOnes},
            WalkCase{"patchy_mask", 211, 50, 96, 24, 7, 11, 4, MaskKind::kPatchy},
            // A tile wider than one run of random numbers, cut mid-row.
            WalkCase{"rows_longer_than_a_run", 2600, 6, 2500, 4, 1, 3, 2, MaskKind::kPatchy},
            WalkCase{"tiny_tiles", 19, 9, 5, 3, 2, 2, 2, MaskKind::kPatchy},
            // Whole 32-byte blocks with no tail, and one 16-byte block past them.
            WalkCase{"blocks_and_one_half_block", 304, 12, 144, 6, 0, 9, 3, MaskKind::kPatchy},
            // Tiles as wide as the image with no padding: every buffer's rows
            // follow one another, and the quantiser takes the tile as one row.
            WalkCase{"gapless_rows", 203, 30, 256, 7, 0, 0, 0, MaskKind::kNone},
            WalkCase{"gapless_rows_patchy_mask", 150, 21, 150, 8, 0, 0, 0, MaskKind::kPatchy},
            // Gapless in input and output but not in the mask: taken row by row.
            WalkCase{"gapless_rows_padded_mask", 150, 21, 150, 8, 0, 0, 3, MaskKind::kPatchy},
            // Rows of more than 255 16-byte blocks, all selected: counts kept per byte lane must not wrap.
            WalkCase{"mask_rows_of_300_blocks", 4805, 2, 4805, 2, 0, 1, 0, MaskKind::kOnes}),
        testing::ValuesIn(kBuiltSets),
        testing::Values(Source::kOutsideARun, Source::kRunOnCRuntime, Source::kRunCopyOff, Source::kRunOnModel)),
    [](const testing::TestParamInfo<Param>& walk) {
      return std::get<0>(walk.param).name + "_" + ShortName(std::get<1>(walk.param)) + "_" +
             NameOf(std::get<2>(walk.param));
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
  for (const Source source : {Source::kOutsideARun, Source::kRunOnCRuntime, Source::kRunOnModel}) {
    for (const Case& c : cases) {
      for (const bool dither : {false, true}) {
        SCOPED_TRACE(testing::Message() << NameOf(source) << " input shift=" << c.inShift
                                        << " mask shift=" << c.maskShift << " dither=" << dither);
        std::vector<uint8_t> start(kRowBytes * kHeight + 2), separate(kRowBytes * kHeight);
        std::mt19937 gen(42);
        for (auto& b : start) b = static_cast<uint8_t>(gen());
        for (auto& b : separate) b = static_cast<uint8_t>(gen());
        auto run = [&](bool module) {
          std::vector<uint8_t> bytes = start;
          uint8_t* out = bytes.data() + 1;
          const uint8_t* in = c.inShift == kSeparate ? separate.data() : out + c.inShift;
          const uint8_t* mask = c.maskShift == kSeparate ? nullptr : out + c.maskShift;
          const Drawn drawn = DrawWith(source, module, 7, [&](int (*draw)()) {
            if (module)
              QuantizePlaneTile(out, kRowBytes, in, kRowBytes, mask, kRowBytes, kWidth, kHeight, dither, c.bits);
            else
              fakehost::ReferenceQuantize(out, kRowBytes, in, kRowBytes, mask, kRowBytes, kHeight, kWidth, dither,
                                          c.bits, draw);
          });
          return std::make_pair(bytes, drawn.next);
        };
        EXPECT_TRUE(run(true) == run(false));
      }
    }
  }
}

}  // namespace
