#include "convert/Quantize.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define PIXELMOOR_HAVE_SSE2 1
#endif

// The 32-byte path is compiled for AVX2 function by function and chosen at
// run time, so the module still loads on a processor without it.
#if PIXELMOOR_HAVE_SSE2 && defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define PIXELMOOR_HAVE_AVX2 1
#define PIXELMOOR_AVX2 __attribute__((target("avx2"), noinline))
#endif

// How the rule is computed fast without changing a single output byte:
//
// The per-pixel form of the rule has a branch on random data (r < d) and a
// division (r % S with S known only at run time), and calling rand() inside
// the pixel loop keeps the compiler from doing anything else. Here each row is
// cut into runs: all random numbers of a run are drawn first, one per
// processed pixel from the left, exactly as the per-pixel form draws them, and
// kept in a small stack buffer; then the run is rewritten 32 pixels at a time
// with AVX2 where the processor has it, 16 at a time with SSE2 otherwise,
// without a branch on the data. S is a power of two and rand() is never
// negative, so r % S is r & (S - 1). Masked-out pixels draw nothing and are
// never stored to. Nothing is read or written past a row's width.

namespace {

// Random numbers of one run live on the stack; 1 KiB stays in L1 and covers
// the widest tiles hosts usually hand out in one or two runs.
constexpr int64_t kRunLength = 1024;

struct Levels {
  uint8_t top;    // M: the top-bit mask, also the highest truncated level
  unsigned step;  // S = 256 - M, the distance between two kept levels
};

inline uint8_t TruncateSample(uint8_t v, Levels levels) {
  return v == 255 ? uint8_t{255} : static_cast<uint8_t>(v & levels.top);
}

// `r` is this pixel's rand() % S.
inline uint8_t DitherSample(uint8_t v, uint8_t r, Levels levels) {
  const unsigned q = v & levels.top;
  const unsigned dropped = v - q;
  const unsigned up = static_cast<unsigned>(r < dropped) & static_cast<unsigned>(q < levels.top);
  return v == 255 ? uint8_t{255} : static_cast<uint8_t>(q + up * levels.step);
}

#if PIXELMOOR_HAVE_SSE2
constexpr int64_t kBlock = 16;

struct BlockLevels {
  __m128i top;
  __m128i step;  // S as a byte; 0 for S = 256, where no sample can move up anyway
  __m128i all;   // 255 in every byte
  explicit BlockLevels(Levels levels)
      : top(_mm_set1_epi8(static_cast<char>(levels.top))),
        step(_mm_set1_epi8(static_cast<char>(levels.step & 0xFF))),
        all(_mm_set1_epi8(static_cast<char>(0xFF))) {}
};

inline __m128i TruncateBlock(__m128i v, const BlockLevels& l) {
  return _mm_or_si128(_mm_and_si128(v, l.top), _mm_cmpeq_epi8(v, l.all));
}

inline __m128i DitherBlock(__m128i v, __m128i r, const BlockLevels& l) {
  const __m128i q = _mm_and_si128(v, l.top);
  const __m128i dropped = _mm_andnot_si128(l.top, v);
  // r < d exactly when d - r, saturated at 0, is non-zero (bytes are unsigned).
  const __m128i notBelow = _mm_cmpeq_epi8(_mm_subs_epu8(dropped, r), _mm_setzero_si128());
  const __m128i atTop = _mm_cmpeq_epi8(q, l.top);
  const __m128i up = _mm_andnot_si128(_mm_or_si128(notBelow, atTop), l.step);
  return _mm_or_si128(_mm_add_epi8(q, up), _mm_cmpeq_epi8(v, l.all));
}

inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Stores the block's bytes whose mask byte is non-zero, and only those.
inline void StoreBlock(uint8_t* out, const uint8_t* mask, __m128i result) {
  if (mask == nullptr) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), result);
    return;
  }
  const int skipped = _mm_movemask_epi8(_mm_cmpeq_epi8(Load(mask), _mm_setzero_si128()));
  if (skipped == 0) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), result);
  } else if (skipped != 0xFFFF) {
    alignas(16) uint8_t bytes[kBlock];
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes), result);
    for (int k = 0; k < kBlock; ++k)
      if ((skipped & (1 << k)) == 0) out[k] = bytes[k];
  }
}
#endif

#if PIXELMOOR_HAVE_AVX2
// 64-bit Windows keeps the stack aligned to 16 bytes only, and GCC cannot
// realign it there: a 32-byte value spilled to the stack would be stored
// with an aligned move and fault. So these functions keep every 32-byte
// value in registers: they call nothing that is not inlined, use no stack
// buffer, and take the pixels of a block cut by the mask one by one.
//
// A 32-byte access that straddles two cache lines costs about as much as
// two. Hosts and C runtimes hand out buffers aligned to 16 bytes, so a row
// often starts 16 bytes past a 32-byte boundary: such a row starts with one
// 16-byte block, and its 32-byte blocks then never straddle.
constexpr int64_t kWideBlock = 32;
#define PIXELMOOR_ALWAYS_INLINE inline __attribute__((always_inline))

bool StartsHalfwayToWideBoundary(const uint8_t* p) { return (reinterpret_cast<uintptr_t>(p) & 31) == 16; }

PIXELMOOR_ALWAYS_INLINE void TruncateHalfBlock(uint8_t* o, const uint8_t* i, const uint8_t* m, Levels levels) {
  const int skipped = m != nullptr ? _mm_movemask_epi8(_mm_cmpeq_epi8(Load(m), _mm_setzero_si128())) : 0;
  if (skipped == 0) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), TruncateBlock(Load(i), BlockLevels(levels)));
  } else if (skipped != 0xFFFF) {
    for (int64_t k = 0; k < kBlock; ++k)
      if (m[k] != 0) o[k] = TruncateSample(i[k], levels);
  }
}

PIXELMOOR_ALWAYS_INLINE void DitherHalfBlock(uint8_t* o, const uint8_t* i, const uint8_t* m, const uint8_t* r,
                                             Levels levels) {
  const int skipped = m != nullptr ? _mm_movemask_epi8(_mm_cmpeq_epi8(Load(m), _mm_setzero_si128())) : 0;
  if (skipped == 0) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), DitherBlock(Load(i), Load(r), BlockLevels(levels)));
  } else if (skipped != 0xFFFF) {
    for (int64_t k = 0; k < kBlock; ++k)
      if (m[k] != 0) o[k] = DitherSample(i[k], r[k], levels);
  }
}

PIXELMOOR_AVX2 void TruncateTileAvx2(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                                     const uint8_t* mask, int32_t maskRowBytes, int64_t height, int64_t width,
                                     Levels levels) {
  const __m256i top = _mm256_set1_epi8(static_cast<char>(levels.top));
  const __m256i all = _mm256_set1_epi8(static_cast<char>(0xFF));
  const __m256i zero = _mm256_setzero_si256();
  for (int64_t y = 0; y < height; ++y) {
    uint8_t* o = out + y * outRowBytes;
    const uint8_t* i = in + y * inRowBytes;
    const uint8_t* m = mask != nullptr ? mask + y * maskRowBytes : nullptr;
    int64_t x = 0;
    if (width >= kBlock && StartsHalfwayToWideBoundary(o)) {
      TruncateHalfBlock(o, i, m, levels);
      x = kBlock;
    }
    // Without a mask the loop has no branch but its own: a test of the mask
    // in every block slows this memory-bound loop by a quarter.
    if (m == nullptr) {
      for (; x + kWideBlock <= width; x += kWideBlock) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(i + x));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + x),
                            _mm256_or_si256(_mm256_and_si256(v, top), _mm256_cmpeq_epi8(v, all)));
      }
    }
    for (; x + kWideBlock <= width; x += kWideBlock) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(i + x));
      const __m256i result = _mm256_or_si256(_mm256_and_si256(v, top), _mm256_cmpeq_epi8(v, all));
      const auto skipped = static_cast<unsigned>(
          _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(m + x)), zero)));
      if (skipped == 0) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + x), result);
      } else if (skipped != 0xFFFFFFFFu) {
        for (int64_t k = x; k < x + kWideBlock; ++k)
          if (m[k] != 0) o[k] = TruncateSample(i[k], levels);
      }
    }
    if (x + kBlock <= width) {
      TruncateHalfBlock(o + x, i + x, m != nullptr ? m + x : nullptr, levels);
      x += kBlock;
    }
    for (; x < width; ++x)
      if (m == nullptr || m[x] != 0) o[x] = TruncateSample(i[x], levels);
  }
}

// Applies a run's numbers (drawn already) to its pixels.
PIXELMOOR_AVX2 void DitherApplyAvx2(uint8_t* out, const uint8_t* in, const uint8_t* mask, const uint8_t* draws,
                                    int64_t count, Levels levels) {
  const __m256i top = _mm256_set1_epi8(static_cast<char>(levels.top));
  const __m256i step = _mm256_set1_epi8(static_cast<char>(levels.step & 0xFF));
  const __m256i all = _mm256_set1_epi8(static_cast<char>(0xFF));
  const __m256i zero = _mm256_setzero_si256();
  int64_t x = 0;
  if (count >= kBlock && StartsHalfwayToWideBoundary(out)) {
    DitherHalfBlock(out, in, mask, draws, levels);
    x = kBlock;
  }
  for (; x + kWideBlock <= count; x += kWideBlock) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x));
    const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(draws + x));
    // As DitherBlock, 32 bytes wide.
    const __m256i q = _mm256_and_si256(v, top);
    const __m256i dropped = _mm256_andnot_si256(top, v);
    const __m256i notBelow = _mm256_cmpeq_epi8(_mm256_subs_epu8(dropped, r), zero);
    const __m256i atTop = _mm256_cmpeq_epi8(q, top);
    const __m256i up = _mm256_andnot_si256(_mm256_or_si256(notBelow, atTop), step);
    const __m256i result = _mm256_or_si256(_mm256_add_epi8(q, up), _mm256_cmpeq_epi8(v, all));
    unsigned skipped = 0;
    if (mask != nullptr)
      skipped = static_cast<unsigned>(
          _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(mask + x)), zero)));
    if (skipped == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), result);
    } else if (skipped != 0xFFFFFFFFu) {
      for (int64_t k = x; k < x + kWideBlock; ++k)
        if (mask[k] != 0) out[k] = DitherSample(in[k], draws[k], levels);
    }
  }
  if (x + kBlock <= count) {
    DitherHalfBlock(out + x, in + x, mask != nullptr ? mask + x : nullptr, draws + x, levels);
    x += kBlock;
  }
  for (; x < count; ++x)
    if (mask == nullptr || mask[x] != 0) out[x] = DitherSample(in[x], draws[x], levels);
}

bool Avx2Present() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
#endif

bool gWideVectorsAllowed = true;

bool UseAvx2() {
#if PIXELMOOR_HAVE_AVX2
  return gWideVectorsAllowed && Avx2Present();
#else
  return false;
#endif
}

// One row without dithering; `mask` is null or this row's mask.
void TruncateRow(uint8_t* out, const uint8_t* in, const uint8_t* mask, int64_t width, Levels levels) {
  int64_t x = 0;
#if PIXELMOOR_HAVE_SSE2
  const BlockLevels l(levels);
  if (mask == nullptr) {
    // No test of the mask per block: this loop is bound by memory.
    for (; x + kBlock <= width; x += kBlock)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), TruncateBlock(Load(in + x), l));
  }
  for (; x + kBlock <= width; x += kBlock) StoreBlock(out + x, mask + x, TruncateBlock(Load(in + x), l));
#endif
  for (; x < width; ++x)
    if (mask == nullptr || mask[x] != 0) out[x] = TruncateSample(in[x], levels);
}

// One run of at most kRunLength pixels with dithering.
void DitherRun(uint8_t* out, const uint8_t* in, const uint8_t* mask, int64_t count, Levels levels, bool wide) {
  uint8_t draws[kRunLength];
  const unsigned below = levels.step - 1;
#if PIXELMOOR_HAVE_SSE2
  // Drawing the run's numbers takes far longer than fetching its bytes: ask
  // for them now, so that applying the run does not wait on memory.
  for (int64_t x = 0; x < count; x += 64) {
    _mm_prefetch(reinterpret_cast<const char*>(in + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(out + x), _MM_HINT_T0);
  }
  _mm_prefetch(reinterpret_cast<const char*>(in + count - 1), _MM_HINT_T0);
  _mm_prefetch(reinterpret_cast<const char*>(out + count - 1), _MM_HINT_T0);
#endif
  if (mask == nullptr) {
    for (int64_t x = 0; x < count; ++x) draws[x] = static_cast<uint8_t>(static_cast<unsigned>(std::rand()) & below);
  } else {
    for (int64_t x = 0; x < count; ++x)
      draws[x] = mask[x] != 0 ? static_cast<uint8_t>(static_cast<unsigned>(std::rand()) & below) : uint8_t{0};
  }

#if PIXELMOOR_HAVE_AVX2
  if (wide) {
    DitherApplyAvx2(out, in, mask, draws, count, levels);
    return;
  }
#else
  (void)wide;
#endif
  int64_t x = 0;
#if PIXELMOOR_HAVE_SSE2
  const BlockLevels l(levels);
  for (; x + kBlock <= count; x += kBlock)
    StoreBlock(out + x, mask != nullptr ? mask + x : nullptr, DitherBlock(Load(in + x), Load(draws + x), l));
#endif
  for (; x < count; ++x)
    if (mask == nullptr || mask[x] != 0) out[x] = DitherSample(in[x], draws[x], levels);
}

void DitherRow(uint8_t* out, const uint8_t* in, const uint8_t* mask, int64_t width, Levels levels, bool wide) {
  for (int64_t x = 0; x < width; x += kRunLength)
    DitherRun(out + x, in + x, mask != nullptr ? mask + x : nullptr, std::min(kRunLength, width - x), levels, wide);
}

// The rule pixel by pixel, in the order it is defined. Used only when the
// output shares bytes with the input or the mask at another position, where
// the order of reads and writes decides the result.
void QuantizeInOrder(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                     const uint8_t* mask, int32_t maskRowBytes, int64_t height, int64_t width, bool dither,
                     Levels levels) {
  for (int64_t y = 0; y < height; ++y) {
    uint8_t* o = out + y * outRowBytes;
    const uint8_t* i = in + y * inRowBytes;
    const uint8_t* m = mask != nullptr ? mask + y * maskRowBytes : nullptr;
    for (int64_t x = 0; x < width; ++x) {
      if (m != nullptr && m[x] == 0) continue;
      const uint8_t v = i[x];
      o[x] = dither ? DitherSample(v, static_cast<uint8_t>(static_cast<unsigned>(std::rand()) % levels.step), levels)
                    : TruncateSample(v, levels);
    }
  }
}

struct Span {
  uintptr_t begin, end;
};

Span BytesCovered(const void* base, int32_t rowBytes, int64_t height, int64_t width) {
  const auto start = reinterpret_cast<uintptr_t>(base);
  const int64_t last = (height - 1) * rowBytes;
  return Span{start + static_cast<uintptr_t>(std::min<int64_t>(0, last)),
              start + static_cast<uintptr_t>(std::max<int64_t>(0, last) + width)};
}

// True when rewriting the output run by run could read a byte of `other`
// that the per-pixel order would read before (or after) writing it. The same
// buffer at the same row bytes is safe: every pixel is read and written at
// the same place, and a run reads its bytes before it writes them.
bool SharesBytesOutOfStep(const uint8_t* out, int32_t outRowBytes, const uint8_t* other, int32_t otherRowBytes,
                          int64_t height, int64_t width) {
  if (other == out && otherRowBytes == outRowBytes) return false;
  const Span a = BytesCovered(out, outRowBytes, height, width);
  const Span b = BytesCovered(other, otherRowBytes, height, width);
  return a.begin < b.end && b.begin < a.end;
}

}  // namespace

void QuantizePlaneTile(uint8_t* out, int32_t outRowBytes, const uint8_t* in, int32_t inRowBytes,
                       const uint8_t* mask, int32_t maskRowBytes, VRect area, uint8_t useDithering,
                       uint8_t bits) {
  if (bits > 8) bits = 8;
  const Levels levels{kTopBitMasks[bits], 256u - kTopBitMasks[bits]};
  const int64_t height = int64_t(area.bottom) - area.top;
  const int64_t width = int64_t(area.right) - area.left;
  if (height <= 0 || width <= 0) return;
  const bool dither = useDithering != 0;

  if (SharesBytesOutOfStep(out, outRowBytes, in, inRowBytes, height, width) ||
      (mask != nullptr && SharesBytesOutOfStep(out, outRowBytes, mask, maskRowBytes, height, width))) {
    QuantizeInOrder(out, outRowBytes, in, inRowBytes, mask, maskRowBytes, height, width, dither, levels);
    return;
  }

  const bool wide = UseAvx2();
#if PIXELMOOR_HAVE_AVX2
  if (wide && !dither) {
    TruncateTileAvx2(out, outRowBytes, in, inRowBytes, mask, maskRowBytes, height, width, levels);
    return;
  }
#endif
  for (int64_t y = 0; y < height; ++y) {
    uint8_t* o = out + y * outRowBytes;
    const uint8_t* i = in + y * inRowBytes;
    const uint8_t* m = mask != nullptr ? mask + y * maskRowBytes : nullptr;
    if (dither)
      DitherRow(o, i, m, width, levels, wide);
    else
      TruncateRow(o, i, m, width, levels);
  }
}

bool QuantizeUseWideVectors(bool allowed) {
  gWideVectorsAllowed = allowed;
  return UseAvx2();
}
