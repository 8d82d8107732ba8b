// The rule 16 pixels at a time with SSE2, which every x86-64 processor has.
//
// A block of 16 pixels is rewritten without a branch on the data: S is a
// power of two and rand() is never negative, so r % S is r & (S - 1), and
// "r < d" is "min(d, r) is not d". With the private copy of the
// generator the block's 16 draws are computed in registers from the state in
// one go (each is a fixed jump from it), so generating and applying them are
// one pass. Masked-out pixels are never stored to and draw nothing: a block
// that the mask cuts is taken pixel by pixel, a block it leaves out entirely
// is skipped. Nothing is read or written past a row's width.
#include "convert/Kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace quantize {
namespace {

constexpr int64_t kBlock = 16;

PIXELMOOR_ALWAYS_INLINE __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
PIXELMOOR_ALWAYS_INLINE void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

struct BlockLevels {
  __m128i top;
  __m128i all;         // 255 in every byte
  __m128i below;       // S - 1 in every 32-bit lane
  __m128i belowBytes;  // S - 1 in every byte
  explicit BlockLevels(Levels levels)
      : top(_mm_set1_epi8(static_cast<char>(levels.top))),
        all(_mm_set1_epi8(static_cast<char>(0xFF))),
        below(_mm_set1_epi32(static_cast<int>(levels.below()))),
        belowBytes(_mm_set1_epi8(static_cast<char>(levels.below()))) {}
};

PIXELMOOR_ALWAYS_INLINE __m128i TruncateBlock(__m128i v, const BlockLevels& l) {
  return _mm_or_si128(_mm_and_si128(v, l.top), _mm_cmpeq_epi8(v, l.all));
}

// `t` is S - 1 - r for each pixel's draw r: one saturating add and one mask
// (QuantizeRule.h says why). 255 stays 255.
PIXELMOOR_ALWAYS_INLINE __m128i DitherBlockBy(__m128i v, __m128i t, const BlockLevels& l) {
  return _mm_or_si128(_mm_and_si128(_mm_adds_epu8(v, t), l.top), _mm_cmpeq_epi8(v, l.all));
}

// The same from the draws r themselves: r < S, so S - 1 - r is r ^ (S - 1).
PIXELMOOR_ALWAYS_INLINE __m128i DitherBlock(__m128i v, __m128i r, const BlockLevels& l) {
  return DitherBlockBy(v, _mm_xor_si128(r, l.belowBytes), l);
}

// Bit k set: pixel k of the block is masked out.
PIXELMOOR_ALWAYS_INLINE int SkippedPixels(const uint8_t* mask) {
  return mask == nullptr ? 0 : _mm_movemask_epi8(_mm_cmpeq_epi8(Load(mask), _mm_setzero_si128()));
}
constexpr int kAllSkipped = 0xFFFF;

// The 16 draws of a block, rand() % S for the generator at `state` stepped 1
// to 16 times, in pixel order. SSE2 multiplies two 32-bit lanes at a time
// (lanes 0 and 2, into 64-bit products), so each multiply yields two states;
// two such products are interleaved into four states of consecutive draws:
// products "even" (draws 4j and 4j + 2) and "odd" (4j + 1 and 4j + 3).
struct alignas(16) BlockJumps {
  uint32_t multiplier[8][4];  // even 0, odd 0, even 1, odd 1, ...
  uint32_t increment[8][4];
};

constexpr BlockJumps MakeBlockJumps() {
  BlockJumps jumps{};
  for (int j = 0; j < 4; ++j)
    for (int odd = 0; odd < 2; ++odd)
      for (int lane = 0; lane <= 2; lane += 2) {
        const lcg::Jump jump = lcg::JumpOf(static_cast<uint64_t>(4 * j + odd + lane + 1));
        jumps.multiplier[2 * j + odd][lane] = jump.multiplier;
        jumps.increment[2 * j + odd][lane] = jump.increment;
      }
  return jumps;
}

constexpr BlockJumps kBlockJumps = MakeBlockJumps();
constexpr lcg::Jump kJumpBlock = lcg::JumpOf(kBlock);

PIXELMOOR_ALWAYS_INLINE __m128i JumpedStates(__m128i state, int k) {
  const __m128i product =
      _mm_mul_epu32(state, _mm_load_si128(reinterpret_cast<const __m128i*>(kBlockJumps.multiplier[k])));
  return _mm_add_epi32(product, _mm_load_si128(reinterpret_cast<const __m128i*>(kBlockJumps.increment[k])));
}

// S - 1 - r for each of the block's draws r, in pixel order: the complement
// of a draw's low bits is taken with the same instruction that keeps them.
PIXELMOOR_ALWAYS_INLINE __m128i BlockDrawsComplemented(uint32_t state, const BlockLevels& l) {
  const __m128i s = _mm_set1_epi32(static_cast<int>(state));
  const __m128i lowHalves = _mm_set_epi32(0, -1, 0, -1);
  __m128i reduced[4];
  for (int j = 0; j < 4; ++j) {
    // States of draws 4j .. 4j + 3, one per 32-bit lane.
    const __m128i states =
        _mm_or_si128(_mm_and_si128(JumpedStates(s, 2 * j), lowHalves), _mm_slli_epi64(JumpedStates(s, 2 * j + 1), 32));
    reduced[j] = _mm_andnot_si128(_mm_srli_epi32(states, 16), l.below);
  }
  // Values below 256 pack to bytes without saturating.
  return _mm_packus_epi16(_mm_packs_epi32(reduced[0], reduced[1]), _mm_packs_epi32(reduced[2], reduced[3]));
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
      const int skipped = SkippedPixels(mask + x);
      if (skipped == 0)
        Store(out + x, TruncateBlock(Load(in + x), l));
      else if (skipped != kAllSkipped)
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
      const int skipped = SkippedPixels(blockMask);
      if (skipped == 0) {
        Store(out + x, DitherBlockBy(Load(in + x), BlockDrawsComplemented(state, l), l));
        state = kJumpBlock.Apply(state);
      } else if (skipped != kAllSkipped) {
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
    const int skipped = SkippedPixels(blockMask);
    if (skipped == 0)
      Store(out + x, DitherBlock(Load(in + x), Load(draws + x), l));
    else if (skipped != kAllSkipped)
      DitherPixelsWithDraws(out + x, in + x, blockMask, draws + x, kBlock, levels);
  }
  DitherPixelsWithDraws(out + x, in + x, MaskAt(mask, x), draws + x, count - x, levels);
}

constexpr Kernels kSse2{QuantizeKernelSet::kSse2, TruncateTile, DitherFromState, DitherWithDraws, CountSelectedSse2};

}  // namespace

int64_t CountSelectedSse2(Tile tile) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  int64_t count = 0;
  for (int64_t y = 0; y < tile.height; ++y) {
    const uint8_t* mask = tile.MaskRow(y);
    __m128i sums = zero;  // two 64-bit sums
    int64_t x = 0;
    for (; x + kBlock <= tile.width; x += kBlock)
      sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_andnot_si128(_mm_cmpeq_epi8(Load(mask + x), zero), one), zero));
    count += _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
    for (; x < tile.width; ++x) count += mask[x] != 0;
  }
  return count;
}

const Kernels* Sse2Kernels() { return &kSse2; }

}  // namespace quantize

#else

namespace quantize {
const Kernels* Sse2Kernels() { return nullptr; }
}  // namespace quantize

#endif
