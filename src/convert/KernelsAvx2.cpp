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
// A 32-byte access that straddles two cache lines costs about as much as two.
// Hosts and C runtimes hand out buffers aligned to 16 bytes, so a row often
// starts 16 bytes past a 32-byte boundary: such a row starts with one 16-byte
// block, and its 32-byte blocks then never straddle.
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

PIXELMOOR_ALWAYS_INLINE bool StartsHalfwayToWideBoundary(const uint8_t* p) { return (reinterpret_cast<uintptr_t>(p) & 31) == 16; }

struct WideLevels {
  __m256i top;
  __m256i step;   // S as a byte; 0 for S = 256, where no sample can move up anyway
  __m256i all;    // 255 in every byte
  __m256i below;  // S - 1 in every 16-bit lane
  PIXELMOOR_AVX2_INLINE explicit WideLevels(Levels levels)
      : top(_mm256_set1_epi8(static_cast<char>(levels.top))),
        step(_mm256_set1_epi8(static_cast<char>(levels.step & 0xFF))),
        all(_mm256_set1_epi8(static_cast<char>(0xFF))),
        below(_mm256_set1_epi16(static_cast<short>(levels.below()))) {}
};

PIXELMOOR_AVX2_INLINE __m256i TruncateBlock(__m256i v, const WideLevels& l) {
  return _mm256_or_si256(_mm256_and_si256(v, l.top), _mm256_cmpeq_epi8(v, l.all));
}

// r < d exactly when d - r, saturated at 0, is non-zero (bytes are unsigned).
PIXELMOOR_AVX2_INLINE __m256i DitherBlock(__m256i v, __m256i r, const WideLevels& l) {
  const __m256i q = _mm256_and_si256(v, l.top);
  const __m256i dropped = _mm256_andnot_si256(l.top, v);
  const __m256i notBelow = _mm256_cmpeq_epi8(_mm256_subs_epu8(dropped, r), _mm256_setzero_si256());
  const __m256i atTop = _mm256_cmpeq_epi8(q, l.top);
  const __m256i up = _mm256_andnot_si256(_mm256_or_si256(notBelow, atTop), l.step);
  return _mm256_or_si256(_mm256_add_epi8(q, up), _mm256_cmpeq_epi8(v, l.all));
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
// to 32 times, in pixel order. The states are narrowed to bytes by two packs,
// which work within each 16-byte half: byte p of the result comes from lane
// p % 4 (first half, p < 16) or 4 + p % 4 (second half) of the states vector
// p % 16 / 4. So vector j holds the states of draws 4j .. 4j + 3 in its low
// lanes and 16 + 4j .. 16 + 4j + 3 in its high lanes.
struct alignas(32) WideJumps {
  uint32_t multiplier[4][8];
  uint32_t increment[4][8];
};

constexpr WideJumps MakeWideJumps() {
  WideJumps jumps{};
  for (int j = 0; j < 4; ++j)
    for (int lane = 0; lane < 8; ++lane) {
      const int draw = (lane < 4 ? 0 : 16) + 4 * j + lane % 4;
      const lcg::Jump jump = lcg::JumpOf(static_cast<uint64_t>(draw + 1));
      jumps.multiplier[j][lane] = jump.multiplier;
      jumps.increment[j][lane] = jump.increment;
    }
  return jumps;
}

constexpr WideJumps kWideJumps = MakeWideJumps();
constexpr lcg::Jump kJumpWide = lcg::JumpOf(kWide);
constexpr lcg::Jump kJumpHalf = lcg::JumpOf(kHalf);

PIXELMOOR_AVX2_INLINE __m256i ReducedStates(__m256i state, int j) {
  const __m256i multiplier = _mm256_load_si256(reinterpret_cast<const __m256i*>(kWideJumps.multiplier[j]));
  const __m256i increment = _mm256_load_si256(reinterpret_cast<const __m256i*>(kWideJumps.increment[j]));
  const __m256i states = _mm256_add_epi32(_mm256_mullo_epi32(state, multiplier), increment);
  return _mm256_srli_epi32(states, 16);  // rand() in the low 15 bits, 0 above
}

PIXELMOOR_AVX2_INLINE __m256i BlockDraws(uint32_t state, const WideLevels& l) {
  const __m256i s = _mm256_set1_epi32(static_cast<int>(state));
  const __m256i low = _mm256_packus_epi32(ReducedStates(s, 0), ReducedStates(s, 1));
  const __m256i high = _mm256_packus_epi32(ReducedStates(s, 2), ReducedStates(s, 3));
  // Reduced below 256, the words pack to bytes without saturating.
  return _mm256_packus_epi16(_mm256_and_si256(low, l.below), _mm256_and_si256(high, l.below));
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
    Store(out, DitherBlock(Load(in), BlockDraws(state, l), l));
    return kJumpWide.Apply(state);
  }
  if (skipped == kAllSkipped) return state;
  return DitherPixels(out, in, mask, kWide, levels, state);
}

PIXELMOOR_AVX2_INLINE uint32_t DitherHalf(uint8_t* out, const uint8_t* in, const uint8_t* mask, Levels levels,
                                          const WideLevels& l, uint32_t state) {
  const unsigned skipped = SkippedHalf(mask);
  if (skipped == 0) {
    StoreHalf(out, DitherBlock(LoadHalf(in), BlockDraws(state, l), l));
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
    if (tile.width >= kHalf && StartsHalfwayToWideBoundary(out)) {
      TruncateHalf(out, in, mask, levels, l);
      x = kHalf;
    }
    // Without a mask the loop has no branch but its own: a test of the mask
    // in every block slows this memory-bound loop by a quarter.
    if (mask == nullptr) {
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
    if (tile.width >= kHalf && StartsHalfwayToWideBoundary(out)) {
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

const Kernels* Avx2Kernels() {
  static const bool present = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return present ? &kAvx2 : nullptr;
}

}  // namespace quantize

#else

namespace quantize {
const Kernels* Avx2Kernels() { return nullptr; }
}  // namespace quantize

#endif
