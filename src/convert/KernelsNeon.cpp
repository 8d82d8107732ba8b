// The rule 16 pixels at a time with ASIMD (NEON), which every ARM64 processor
// has: on ARM64 this table is the one the quantiser uses, chosen when the
// module is built (no processor check).
//
// The block rule is the SSE2 one (KernelsSse2.cpp) in ASIMD's terms, with no
// branch on the data: S is a power of two and rand() is never negative, so
// r % S is r & (S - 1); ASIMD compares unsigned bytes directly, so "r < d"
// and "q < M" are one compare each. With the private copy of the generator a
// block's 16 draws come from the state in registers: four vectors of four
// 32-bit lanes, each lane a fixed jump from the block's first state (one
// multiply and one add per vector; ASIMD multiplies all four lanes at once),
// narrowed to bits 16 to 23 by two unzips that keep draw p in byte p; the
// state moves on by one jump of 16. Generating and applying the draws are one
// pass.
//
// The loops are bound by memory, as on x86-64: without a mask the truncation
// loop tests nothing but its own end; with a mask, one horizontal minimum per
// block finds blocks that are wholly selected, and only the others are looked
// at further (a block the mask leaves out is skipped, one it cuts is taken
// pixel by pixel). Masked-out pixels are never stored to and draw nothing;
// nothing is read or written past a row's width. Only <arm_neon.h>
// intrinsics: the file compiles with GCC and with clang, for Linux and for
// Windows on ARM64.
#include "convert/Kernels.h"

#if defined(__aarch64__)
#include <arm_neon.h>

namespace quantize {
namespace {

constexpr int64_t kBlock = 16;

PIXELMOOR_ALWAYS_INLINE uint8x16_t Load(const uint8_t* p) { return vld1q_u8(p); }
PIXELMOOR_ALWAYS_INLINE void Store(uint8_t* p, uint8x16_t v) { vst1q_u8(p, v); }

struct BlockLevels {
  uint8x16_t top;
  uint8x16_t step;   // S as a byte; 0 for S = 256, where no sample can move up anyway
  uint8x16_t below;  // S - 1
  uint8x16_t all;    // 255
  explicit BlockLevels(Levels levels)
      : top(vdupq_n_u8(levels.top)),
        step(vdupq_n_u8(static_cast<uint8_t>(levels.step & 0xFF))),
        below(vdupq_n_u8(static_cast<uint8_t>(levels.below() & 0xFF))),
        all(vdupq_n_u8(0xFF)) {}
};

PIXELMOOR_ALWAYS_INLINE uint8x16_t TruncateBlock(uint8x16_t v, const BlockLevels& l) {
  return vorrq_u8(vandq_u8(v, l.top), vceqq_u8(v, l.all));
}

// One level up where r < d and q < M; 255 stays 255.
PIXELMOOR_ALWAYS_INLINE uint8x16_t DitherBlock(uint8x16_t v, uint8x16_t r, const BlockLevels& l) {
  const uint8x16_t q = vandq_u8(v, l.top);
  const uint8x16_t dropped = vbicq_u8(v, l.top);
  const uint8x16_t up = vandq_u8(vcltq_u8(r, dropped), vcltq_u8(q, l.top));
  return vorrq_u8(vaddq_u8(q, vandq_u8(up, l.step)), vceqq_u8(v, l.all));
}

// What the mask does to a block: null selects everything.
enum class Selection { kAll, kNone, kSome };

PIXELMOOR_ALWAYS_INLINE Selection SelectionOf(const uint8_t* mask) {
  if (mask == nullptr) return Selection::kAll;
  const uint8x16_t m = Load(mask);
  if (vminvq_u8(m) != 0) return Selection::kAll;
  return vmaxvq_u8(m) == 0 ? Selection::kNone : Selection::kSome;
}

// The 16 draws of a block, rand() % S for the generator at `state` stepped 1
// to 16 times, in pixel order: vector j, lane k holds the state of draw
// 4j + k.
struct alignas(16) BlockJumps {
  uint32_t multiplier[4][4];
  uint32_t increment[4][4];
};

constexpr BlockJumps MakeBlockJumps() {
  BlockJumps jumps{};
  for (int j = 0; j < 4; ++j)
    for (int k = 0; k < 4; ++k) {
      const lcg::Jump jump = lcg::JumpOf(static_cast<uint64_t>(4 * j + k + 1));
      jumps.multiplier[j][k] = jump.multiplier;
      jumps.increment[j][k] = jump.increment;
    }
  return jumps;
}

constexpr BlockJumps kBlockJumps = MakeBlockJumps();
constexpr lcg::Jump kJumpBlock = lcg::JumpOf(kBlock);

PIXELMOOR_ALWAYS_INLINE uint32x4_t JumpedStates(uint32x4_t state, int j) {
  return vmlaq_u32(vld1q_u32(kBlockJumps.increment[j]), state, vld1q_u32(kBlockJumps.multiplier[j]));
}

// The high 16 bits of each state (little-endian lanes: the odd 16-bit
// halves), then the low byte of each of those: bits 16 to 23, in lane order.
// S - 1 is below 256, so that byte reduced by it is the draw.
PIXELMOOR_ALWAYS_INLINE uint8x16_t BlockDraws(uint32_t state, const BlockLevels& l) {
  const uint32x4_t s = vdupq_n_u32(state);
  const uint16x8_t first =
      vuzp2q_u16(vreinterpretq_u16_u32(JumpedStates(s, 0)), vreinterpretq_u16_u32(JumpedStates(s, 1)));
  const uint16x8_t second =
      vuzp2q_u16(vreinterpretq_u16_u32(JumpedStates(s, 2)), vreinterpretq_u16_u32(JumpedStates(s, 3)));
  return vandq_u8(vuzp1q_u8(vreinterpretq_u8_u16(first), vreinterpretq_u8_u16(second)), l.below);
}

void TruncateTile(Tile tile, Levels levels) {
  const BlockLevels l(levels);
  for (int64_t y = 0; y < tile.height; ++y) {
    uint8_t* out = tile.OutRow(y);
    const uint8_t* in = tile.InRow(y);
    const uint8_t* mask = tile.MaskRow(y);
    int64_t x = 0;
    if (mask == nullptr) {
      // No test of the mask per block: this loop is bound by memory.
      for (; x + kBlock <= tile.width; x += kBlock) Store(out + x, TruncateBlock(Load(in + x), l));
    }
    for (; x + kBlock <= tile.width; x += kBlock) {
      const Selection selected = SelectionOf(mask + x);
      if (selected == Selection::kAll)
        Store(out + x, TruncateBlock(Load(in + x), l));
      else if (selected == Selection::kSome)
        TruncatePixels(out + x, in + x, mask + x, kBlock, levels);
    }
    TruncatePixels(out + x, in + x, MaskAt(mask, x), tile.width - x, levels);
  }
}

uint32_t DitherFromState(Tile tile, Levels levels, uint32_t state) {
  const BlockLevels l(levels);
  for (int64_t y = 0; y < tile.height; ++y) {
    uint8_t* out = tile.OutRow(y);
    const uint8_t* in = tile.InRow(y);
    const uint8_t* mask = tile.MaskRow(y);
    int64_t x = 0;
    for (; x + kBlock <= tile.width; x += kBlock) {
      const uint8_t* blockMask = MaskAt(mask, x);
      const Selection selected = SelectionOf(blockMask);
      if (selected == Selection::kAll) {
        Store(out + x, DitherBlock(Load(in + x), BlockDraws(state, l), l));
        state = kJumpBlock.Apply(state);
      } else if (selected == Selection::kSome) {
        state = DitherPixels(out + x, in + x, blockMask, kBlock, levels, state);
      }
    }
    state = DitherPixels(out + x, in + x, MaskAt(mask, x), tile.width - x, levels, state);
  }
  return state;
}

void DitherWithDraws(uint8_t* out, const uint8_t* in, const uint8_t* mask, const uint8_t* draws, int64_t count,
                     Levels levels) {
  const BlockLevels l(levels);
  int64_t x = 0;
  for (; x + kBlock <= count; x += kBlock) {
    const uint8_t* blockMask = MaskAt(mask, x);
    const Selection selected = SelectionOf(blockMask);
    if (selected == Selection::kAll)
      Store(out + x, DitherBlock(Load(in + x), Load(draws + x), l));
    else if (selected == Selection::kSome)
      DitherPixelsWithDraws(out + x, in + x, blockMask, draws + x, kBlock, levels);
  }
  DitherPixelsWithDraws(out + x, in + x, MaskAt(mask, x), draws + x, count - x, levels);
}

// Each byte lane counts its selected pixels for up to 255 blocks before the
// lanes are summed, so no lane can overflow. A selected byte tests all ones,
// and subtracting all ones adds one.
int64_t CountSelected(Tile tile) {
  constexpr int64_t kBlocksPerSum = 255;
  int64_t count = 0;
  for (int64_t y = 0; y < tile.height; ++y) {
    const uint8_t* mask = tile.MaskRow(y);
    int64_t x = 0;
    while (x + kBlock <= tile.width) {
      uint8x16_t lanes = vdupq_n_u8(0);
      for (int64_t k = 0; k < kBlocksPerSum && x + kBlock <= tile.width; ++k, x += kBlock) {
        const uint8x16_t m = Load(mask + x);
        lanes = vsubq_u8(lanes, vtstq_u8(m, m));
      }
      count += vaddlvq_u8(lanes);
    }
    for (; x < tile.width; ++x) count += mask[x] != 0;
  }
  return count;
}

constexpr Kernels kNeon{QuantizeKernelSet::kNeon, TruncateTile, DitherFromState, DitherWithDraws, CountSelected};

}  // namespace

const Kernels* NeonKernels() { return &kNeon; }

}  // namespace quantize

#else

namespace quantize {
const Kernels* NeonKernels() { return nullptr; }
}  // namespace quantize

#endif
