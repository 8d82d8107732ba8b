// The rule 32 pixels at a time with AVX2, chosen at run time: the module
// targets every x86-64 processor, so only these functions are compiled for
// AVX2 (function by function) and the table is offered only where the
// processor has it.
//
// The block rule is the SSE2 one (KernelsSse2.cpp) twice as wide. With the
// private copy of the generator a block's 32 draws come from the state in
// registers: eight 32-bit lanes hold eight states at once, each a fixed jump
// from the block's first state, so 32 draws are four multiplies and four
// adds, and the state moves on by one jump of 32.
//
// 64-bit Windows keeps the stack aligned to 16 bytes only, and GCC cannot
// realign it there: a 32-byte value spilled to the stack would be stored with
// an aligned move and fault. So these functions keep every 32-byte value in
// registers: they call nothing that is not inlined, use no stack buffer, and
// take the pixels of a block cut by the mask one by one. cmake/CheckModule.cmake
// checks the built module for any 32-byte register moved through the stack.
//
// Every row of 16 pixels or more starts with one 16-byte block, then goes on
// 32 bytes at a time. Measured on tiles whose rows lie far apart in memory
// (each row a new page, as in a host's full-size planes): rows that start on
// a 32-byte boundary took about 1.3 times as long as rows that start 16 bytes
// past one, and starting every row with a 16-byte block brought them to the
// same speed, although half of their 32-byte blocks then cross a cache line
// (docs/performance.md has the figures). Rows 16 bytes past a boundary (what
// glibc's allocator hands out) keep their 32-byte blocks within cache lines.
//
// A tile of one row (a gapless tile, which Quantize.cpp hands over whole) is
// a host's tile buffer in cache, where the cost is the other way round: it
// goes 32 bytes at a time from its first byte, and from a 32-byte boundary
// (where hosts place their buffers) no block crosses a cache line.
#include "convert/Kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#define PIXELMOOR_AVX2 __attribute__((target("avx2")))
#define PIXELMOOR_AVX2_INLINE inline __attribute__((target("avx2"), always_inline))

namespace quantize {
namespace {

constexpr int64_t kWide = 32;
constexpr int64_t kHalf = 16;
constexpr unsigned kAllSkipped = 0xFFFFFFFFu;

PIXELMOOR_AVX2_INLINE __m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
PIXELMOOR_AVX2_INLINE void Store(uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
// 16 bytes into the low half; the high half is zero and never stored.
PIXELMOOR_AVX2_INLINE __m256i LoadHalf(const uint8_t* p) {
  return _mm256_zextsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
PIXELMOOR_AVX2_INLINE void StoreHalf(uint8_t* p, __m256i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(v));
}

struct WideLevels {
  __m256i top;
  __m256i all;         // 255 in every byte
  __m256i belowBytes;  // S - 1 in every byte
  PIXELMOOR_AVX2_INLINE explicit WideLevels(Levels levels)
      : top(_mm256_set1_epi8(static_cast<char>(levels.top))),
        all(_mm256_set1_epi8(static_cast<char>(0xFF))),
        belowBytes(_mm256_set1_epi8(static_cast<char>(levels.below()))) {}
};

PIXELMOOR_AVX2_INLINE __m256i TruncateBlock(__m256i v, const WideLevels& l) {
  return _mm256_or_si256(_mm256_and_si256(v, l.top), _mm256_cmpeq_epi8(v, l.all));
}

// `t` is S - 1 - r for each pixel's draw r (QuantizeRule.h says why the rule
// is then one saturating add and one mask). 255 stays 255.
PIXELMOOR_AVX2_INLINE __m256i DitherBlockBy(__m256i v, __m256i t, const WideLevels& l) {
  return _mm256_or_si256(_mm256_and_si256(_mm256_adds_epu8(v, t), l.top), _mm256_cmpeq_epi8(v, l.all));
}

// The same from the draws r themselves: r < S, so S - 1 - r is r ^ (S - 1).
PIXELMOOR_AVX2_INLINE __m256i DitherBlock(__m256i v, __m256i r, const WideLevels& l) {
  return DitherBlockBy(v, _mm256_xor_si256(r, l.belowBytes), l);
}

// Bit k set: pixel k of the block is masked out.
PIXELMOOR_AVX2_INLINE unsigned SkippedPixels(const uint8_t* mask) {
  if (mask == nullptr) return 0;
  return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(Load(mask), _mm256_setzero_si256())));
}
PIXELMOOR_AVX2_INLINE unsigned SkippedHalf(const uint8_t* mask) {
  if (mask == nullptr) return 0;
  return static_cast<unsigned>(_mm_movemask_epi8(
      _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask)), _mm_setzero_si128())));
}
constexpr unsigned kAllSkippedHalf = 0xFFFFu;

// The 32 draws of a block, rand() % S for the generator at `state` stepped 1
// to 32 times, in pixel order. Four vectors of eight 32-bit lanes hold the 32
// states, each lane a fixed jump from `state`; a draw reduced below 256 is
// bits 16 to 23 of its state. Vectors 0 and 2 hold their states times 256
// (the jump's multiplier and increment times 256), which puts those bits in
// byte 3 of the lane; vectors 1 and 3 have them in byte 2. So one byte blend
// brings vector 0's byte 3 and vector 1's byte 2 into one lane (2 and 3
// likewise), and one 16-bit blend the four of them: byte p of the block is
// lane p / 4 of vector 1, 0, 3 or 2 for p % 4 = 0, 1, 2, 3. The table below
// puts the matching jump in every lane.
struct alignas(32) WideJumps {
  uint32_t multiplier[4][8];
  uint32_t increment[4][8];
};

constexpr WideJumps MakeWideJumps() {
  WideJumps jumps{};
  constexpr int kVectorOfByte[4] = {1, 0, 3, 2};
  for (int p = 0; p < 32; ++p) {
    const int vector = kVectorOfByte[p % 4];
    const int lane = p / 4;
    const uint32_t scale = vector % 2 == 0 ? 256u : 1u;
    const lcg::Jump jump = lcg::JumpOf(static_cast<uint64_t>(p + 1));
    jumps.multiplier[vector][lane] = jump.multiplier * scale;
    jumps.increment[vector][lane] = jump.increment * scale;
  }
  return jumps;
}

constexpr WideJumps kWideJumps = MakeWideJumps();
constexpr lcg::Jump kJumpWide = lcg::JumpOf(kWide);
constexpr lcg::Jump kJumpHalf = lcg::JumpOf(kHalf);

PIXELMOOR_AVX2_INLINE __m256i JumpedStates(__m256i state, int vector) {
  const __m256i multiplier = _mm256_load_si256(reinterpret_cast<const __m256i*>(kWideJumps.multiplier[vector]));
  const __m256i increment = _mm256_load_si256(reinterpret_cast<const __m256i*>(kWideJumps.increment[vector]));
  return _mm256_add_epi32(_mm256_mullo_epi32(state, multiplier), increment);
}

// S - 1 - r for each of the block's draws r: the complement of the draw's
// low bits is taken with the same instruction that keeps them.
PIXELMOOR_AVX2_INLINE __m256i BlockDrawsComplemented(uint32_t state, const WideLevels& l) {
  const __m256i s = _mm256_set1_epi32(static_cast<int>(state));
  const __m256i byte3 = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  const __m256i low = _mm256_blendv_epi8(JumpedStates(s, 1), JumpedStates(s, 0), byte3);
  const __m256i high = _mm256_blendv_epi8(JumpedStates(s, 3), JumpedStates(s, 2), byte3);
  const __m256i draws = _mm256_blend_epi16(_mm256_srli_epi32(low, 16), high, 0xAA);
  return _mm256_andnot_si256(draws, l.belowBytes);
}

PIXELMOOR_AVX2_INLINE void TruncateWide(uint8_t* out, const uint8_t* in, const uint8_t* mask, Levels levels,
                                        const WideLevels& l) {
  const unsigned skipped = SkippedPixels(mask);
  if (skipped == 0)
    Store(out, TruncateBlock(Load(in), l));
  else if (skipped != kAllSkipped)
    TruncatePixels(out, in, mask, kWide, levels);
}

PIXELMOOR_AVX2_INLINE void TruncateHalf(uint8_t* out, const uint8_t* in, const uint8_t* mask, Levels levels,
                                        const WideLevels& l) {
  const unsigned skipped = SkippedHalf(mask);
  if (skipped == 0)
    StoreHalf(out, TruncateBlock(LoadHalf(in), l));
  else if (skipped != kAllSkippedHalf)
    TruncatePixels(out, in, mask, kHalf, levels);
}

PIXELMOOR_AVX2_INLINE uint32_t DitherWide(uint8_t* out, const uint8_t* in, const uint8_t* mask, Levels levels,
                                          const WideLevels& l, uint32_t state) {
  const unsigned skipped = SkippedPixels(mask);
  if (skipped == 0) {
    Store(out, DitherBlockBy(Load(in), BlockDrawsComplemented(state, l), l));
    return kJumpWide.Apply(state);
  }
  if (skipped == kAllSkipped) return state;
  return DitherPixels(out, in, mask, kWide, levels, state);
}

PIXELMOOR_AVX2_INLINE uint32_t DitherHalf(uint8_t* out, const uint8_t* in, const uint8_t* mask, Levels levels,
                                          const WideLevels& l, uint32_t state) {
  const unsigned skipped = SkippedHalf(mask);
  if (skipped == 0) {
    StoreHalf(out, DitherBlockBy(LoadHalf(in), BlockDrawsComplemented(state, l), l));
    return kJumpHalf.Apply(state);
  }
  if (skipped == kAllSkippedHalf) return state;
  return DitherPixels(out, in, mask, kHalf, levels, state);
}

PIXELMOOR_AVX2 void TruncateTile(Tile tile, Levels levels) {
  const WideLevels l(levels);
  for (int64_t y = 0; y < tile.height; ++y) {
    uint8_t* out = tile.OutRow(y);
    const uint8_t* in = tile.InRow(y);
    const uint8_t* mask = tile.MaskRow(y);
    int64_t x = 0;
    if (tile.width >= kHalf && tile.height > 1) {
      TruncateHalf(out, in, mask, levels, l);
      x = kHalf;
    }
    // Without a mask the loop has no branch but its own: a test of the mask
    // in every block slows this memory-bound loop by a quarter. All 8 bits
    // kept (the alpha plane) is a copy; otherwise two blocks a turn.
    if (mask == nullptr && levels.top == 0xFF) {
      for (; x + kWide <= tile.width; x += kWide) Store(out + x, Load(in + x));
    } else if (mask == nullptr) {
      for (; x + 2 * kWide <= tile.width; x += 2 * kWide) {
        const __m256i first = Load(in + x), second = Load(in + x + kWide);
        Store(out + x, TruncateBlock(first, l));
        Store(out + x + kWide, TruncateBlock(second, l));
      }
      for (; x + kWide <= tile.width; x += kWide) Store(out + x, TruncateBlock(Load(in + x), l));
    }
    for (; x + kWide <= tile.width; x += kWide) TruncateWide(out + x, in + x, mask + x, levels, l);
    if (x + kHalf <= tile.width) {
      TruncateHalf(out + x, in + x, MaskAt(mask, x), levels, l);
      x += kHalf;
    }
    TruncatePixels(out + x, in + x, MaskAt(mask, x), tile.width - x, levels);
  }
}

PIXELMOOR_AVX2 uint32_t DitherFromState(Tile tile, Levels levels, uint32_t state) {
  const WideLevels l(levels);
  for (int64_t y = 0; y < tile.height; ++y) {
    uint8_t* out = tile.OutRow(y);
    const uint8_t* in = tile.InRow(y);
    const uint8_t* mask = tile.MaskRow(y);
    int64_t x = 0;
    if (tile.width >= kHalf && tile.height > 1) {
      state = DitherHalf(out, in, mask, levels, l, state);
      x = kHalf;
    }
    for (; x + kWide <= tile.width; x += kWide) state = DitherWide(out + x, in + x, MaskAt(mask, x), levels, l, state);
    if (x + kHalf <= tile.width) {
      state = DitherHalf(out + x, in + x, MaskAt(mask, x), levels, l, state);
      x += kHalf;
    }
    state = DitherPixels(out + x, in + x, MaskAt(mask, x), tile.width - x, levels, state);
  }
  return state;
}

PIXELMOOR_AVX2 void DitherWithDraws(uint8_t* out, const uint8_t* in, const uint8_t* mask, const uint8_t* draws,
                                    int64_t count, Levels levels) {
  const WideLevels l(levels);
  for (int64_t x = 0;; x += kWide) {
    if (x + kWide > count) {
      DitherPixelsWithDraws(out + x, in + x, MaskAt(mask, x), draws + x, count - x, levels);
      return;
    }
    const unsigned skipped = SkippedPixels(MaskAt(mask, x));
    if (skipped == 0)
      Store(out + x, DitherBlock(Load(in + x), Load(draws + x), l));
    else if (skipped != kAllSkipped)
      DitherPixelsWithDraws(out + x, in + x, mask + x, draws + x, kWide, levels);
  }
}

constexpr Kernels kAvx2{QuantizeKernelSet::kAvx2, TruncateTile, DitherFromState, DitherWithDraws, CountSelectedSse2};

}  // namespace

// Asked afresh on every call (the caller keeps the table it chose): a
// function-local static here would be guarded, and the guard costs a hosting
// process a thread-local slot per load of the module (docs/lifetime.md).
// __builtin_cpu_init reads the processor once and only notes the answer.
const Kernels* Avx2Kernels() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0 ? &kAvx2 : nullptr;
}

}  // namespace quantize

#else

namespace quantize {
const Kernels* Avx2Kernels() { return nullptr; }
}  // namespace quantize

#endif
