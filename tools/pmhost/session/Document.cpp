// The document of a run: the selection (rectangle or mask), the filter case,
// the matte put in before the filter runs and taken out after it, and the
// selection applied to what the filter wrote.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Console.h"
#include "RunState.h"

namespace pmsession {

// ---- mattes and the selection ----------------------------------------------

uint32_t MatteColour(uint8_t handling, uint32_t maxValue) {
  switch (handling) {
    case 2: return 0;
    case 3: return (maxValue + 1) / 2;
    case 4: return maxValue;
    default: return ~0u;  // no matte
  }
}

// A plane's samples as numbers.
template <typename Sample>
Sample* PlaneOf(PlanarImage& image, int32_t p) {
  return reinterpret_cast<Sample*>(image.planes[size_t(p)].data());
}
template <typename Sample>
const Sample* PlaneOf(const PlanarImage& image, int32_t p) {
  return reinterpret_cast<const Sample*>(image.planes[size_t(p)].data());
}

// Calls `work.template operator()<Sample>()` with the document's sample type.
template <typename Work>
void BySampleType(const PlanarImage& image, Work&& work) {
  if (image.depth == 16) work.template operator()<uint16_t>();
  else work.template operator()<uint8_t>();
}

size_t PixelCount(const PlanarImage& image) { return size_t(image.width) * size_t(image.height); }

template <typename Sample>
Sample Matted(uint64_t c, uint64_t a, uint64_t m) {
  constexpr uint64_t kMax = std::numeric_limits<Sample>::max();
  // An opaque pixel keeps its colour exactly.
  return a == kMax ? static_cast<Sample>(c) : static_cast<Sample>((c * a + m * (kMax - a) + kMax / 2) / kMax);
}

#if defined(__SSE2__)
// floor((x + 127) / 255) in each 16-bit lane, for x up to 255 * 255.
inline __m128i DivideBy255(__m128i x) {
  const __m128i t = _mm_add_epi16(x, _mm_set1_epi16(128));
  return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
}

// Sixteen 8-bit colours c with the matte m (in each 16-bit lane) mixed in by
// their alpha a: (c a + m (255 - a) + 127) / 255, which is c itself where a
// is 255.
inline __m128i MattedBytes(__m128i c, __m128i a, __m128i m) {
  const __m128i zero = _mm_setzero_si128(), max = _mm_set1_epi16(255);
  const auto half = [&](__m128i c16, __m128i a16) {
    return DivideBy255(_mm_add_epi16(_mm_mullo_epi16(c16, a16), _mm_mullo_epi16(m, _mm_sub_epi16(max, a16))));
  };
  return _mm_packus_epi16(half(_mm_unpacklo_epi8(c, zero), _mm_unpacklo_epi8(a, zero)),
                          half(_mm_unpackhi_epi8(c, zero), _mm_unpackhi_epi8(a, zero)));
}

// The matte m taken out of eight written samples w by their alpha a (16-bit
// lanes of 0..255): (w 255 - m (255 - a) + a / 2) / a, the quotient
// truncated, then held to 0..255 by the caller's packing. The quotient is
// taken in single precision: the numerator and a are exact in it, and a
// quotient that is not a whole number lies at least 1/a from one, far more
// than the division's rounding error (under 2^-24 of at most 65152/a). A lane
// of a = 0 is divided by 1 (its answer is not used).
inline __m128i Unmatted8(__m128i w, __m128i a, __m128i m) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i plus = _mm_add_epi16(_mm_sub_epi16(_mm_slli_epi16(w, 8), w), _mm_srli_epi16(a, 1));  // to 65152
  const __m128i minus = _mm_mullo_epi16(m, _mm_sub_epi16(_mm_set1_epi16(255), a));                     // to 65025
  const __m128i divisor = _mm_max_epi16(a, _mm_set1_epi16(1));
  const __m128i low = _mm_sub_epi32(_mm_unpacklo_epi16(plus, zero), _mm_unpacklo_epi16(minus, zero));
  const __m128i high = _mm_sub_epi32(_mm_unpackhi_epi16(plus, zero), _mm_unpackhi_epi16(minus, zero));
  const __m128 qLow = _mm_div_ps(_mm_cvtepi32_ps(low), _mm_cvtepi32_ps(_mm_unpacklo_epi16(divisor, zero)));
  const __m128 qHigh = _mm_div_ps(_mm_cvtepi32_ps(high), _mm_cvtepi32_ps(_mm_unpackhi_epi16(divisor, zero)));
  return _mm_packs_epi32(_mm_cvttps_epi32(qLow), _mm_cvttps_epi32(qHigh));
}

// RemoveMatte's rule for 8-bit samples, sixteen at a time; returns how many
// samples it did (a multiple of 16), the rest are the caller's.
size_t RemoveMatte8(uint8_t* v, const uint8_t* alpha, const uint8_t* originalAlpha, const uint8_t* original,
                    size_t count, uint32_t shownMatte, uint32_t m) {
  const __m128i zero = _mm_setzero_si128(), all = _mm_set1_epi8(-1);
  const __m128i outMatte = _mm_set1_epi16(static_cast<int16_t>(m));
  const __m128i inMatte = _mm_set1_epi16(static_cast<int16_t>(shownMatte == ~0u ? 0 : shownMatte));
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const auto load = [&](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)); };
    const __m128i a = load(alpha), o = load(original), w = load(v);
    // What inData showed.
    const __m128i shown = shownMatte == ~0u ? o : MattedBytes(o, load(originalAlpha), inMatte);
    const __m128i unmatted = _mm_packus_epi16(Unmatted8(_mm_unpacklo_epi8(w, zero), _mm_unpacklo_epi8(a, zero), outMatte),
                                              Unmatted8(_mm_unpackhi_epi8(w, zero), _mm_unpackhi_epi8(a, zero), outMatte));
    const __m128i keepOriginal = _mm_or_si128(_mm_cmpeq_epi8(w, shown), _mm_cmpeq_epi8(a, zero));
    const __m128i opaque = _mm_cmpeq_epi8(a, all);
    __m128i r = _mm_or_si128(_mm_and_si128(keepOriginal, o), _mm_andnot_si128(keepOriginal, unmatted));
    r = _mm_or_si128(_mm_and_si128(opaque, w), _mm_andnot_si128(opaque, r));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + i), r);
  }
  return i;
}
#endif

void MatteSamples(uint8_t* to, const uint8_t* colour, const uint8_t* alpha, size_t count, int32_t depth, uint32_t m) {
  if (depth == 16) {
    for (size_t i = 0; i < count; ++i) {
      uint16_t c, a;
      std::memcpy(&c, colour + 2 * i, 2);
      std::memcpy(&a, alpha + 2 * i, 2);
      const uint16_t v = Matted<uint16_t>(c, a, m);
      std::memcpy(to + 2 * i, &v, 2);
    }
  } else {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i matte = _mm_set1_epi16(static_cast<int16_t>(m));
    for (; i + 16 <= count; i += 16) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(colour + i));
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alpha + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), MattedBytes(c, a, matte));
    }
#endif
    for (; i < count; ++i) to[i] = Matted<uint8_t>(colour[i], alpha[i], m);
  }
}

// Images of at least this many pixels are worked on by two threads, each
// over its own half of the pixels.
constexpr size_t kSplitPixels = size_t(1) << 20;

// The destination starts as the image with the matte mixed in, as inData
// shows it (one pass: the copy and the matte together); the image itself
// stays as loaded. The destination's planes are allocated already.
void MakeDestination(RunDocument& doc) {
  const PlanarImage& o = doc.original;
  PlanarImage& d = doc.destination;
  const uint32_t m = doc.inputMatte;
  const size_t sampleBytes = size_t(o.BytesPerSample());
  InTwoHalves(PixelCount(o), kSplitPixels, [&](size_t begin, size_t end) {
    const size_t at = begin * sampleBytes, bytes = (end - begin) * sampleBytes;
    for (int32_t p = 0; p < o.Channels(); ++p) {
      const uint8_t* from = o.planes[size_t(p)].data() + at;
      uint8_t* to = d.planes[size_t(p)].data() + at;
      if (m != ~0u && p < doc.transparencyPlane)
        MatteSamples(to, from, o.planes[size_t(doc.transparencyPlane)].data() + at, end - begin, o.depth, m);
      else
        std::memcpy(to, from, bytes);
    }
  });
}

// Takes the matte out of what the filter wrote; samples the filter left as
// delivered get their exact original back.
void RemoveMatte(RunDocument& doc) {
  const uint32_t maxValue = doc.original.depth == 16 ? 65535 : 255;
  const uint32_t m = MatteColour(doc.caseInfo.outputHandling, maxValue);
  if (doc.transparencyPlane < 0 || m == ~0u) return;
  // What inData showed: the image with the input matte, if any.
  const uint32_t shownMatte = doc.inputMatte;
  BySampleType(doc.destination, [&]<typename Sample>() {
    using Wide = int64_t;
    constexpr Wide kMax = std::numeric_limits<Sample>::max();
    const auto unmatte = [=](Wide v, Wide a) {
      // The inverse of the matte's s = (c a + m (max - a)) / max.
      const Wide c = (v * kMax - Wide(m) * (kMax - a) + a / 2) / a;
      return static_cast<Sample>(std::clamp<Wide>(c, 0, kMax));
    };
    PlanarImage& d = doc.destination;
    const Sample* alpha = PlaneOf<Sample>(d, doc.transparencyPlane);
    const Sample* originalAlpha = PlaneOf<Sample>(doc.original, doc.transparencyPlane);
    const auto delivered = [&](size_t i, const Sample* original) {
      return shownMatte == ~0u ? original[i] : Matted<Sample>(original[i], originalAlpha[i], shownMatte);
    };
    // 8 bits: every answer in a table of 64 KiB, by alpha and sample (one
    // division per entry instead of one per sample), and what was shown in
    // another, by the original's alpha and sample; no branch on the data.
    std::vector<uint8_t> unmatted, shown;
    if constexpr (sizeof(Sample) == 1) {
      unmatted.resize(256 * 256);
      shown.resize(256 * 256);
      for (Wide a = 0; a <= kMax; ++a)
        for (Wide v = 0; v <= kMax; ++v) {
          if (a > 0 && a < kMax) unmatted[size_t(a << 8 | v)] = unmatte(v, a);
          shown[size_t(a << 8 | v)] = shownMatte == ~0u ? uint8_t(v) : Matted<uint8_t>(uint64_t(v), uint64_t(a), shownMatte);
        }
    }
    InTwoHalves(PixelCount(d), kSplitPixels, [&](size_t begin, size_t end) {
      for (int32_t p = 0; p < doc.transparencyPlane; ++p) {
        Sample* v = PlaneOf<Sample>(d, p);
        const Sample* original = PlaneOf<Sample>(doc.original, p);
        if constexpr (sizeof(Sample) == 1) {
          size_t i = begin;
#if defined(__SSE2__)
          i += RemoveMatte8(v + i, alpha + i, originalAlpha + i, original + i, end - i, shownMatte, m);
#endif
          for (; i < end; ++i) {
            const uint32_t a = alpha[i], o = original[i], w = v[i];
            // Left as delivered, or transparent: the exact original.
            const uint32_t back =
                w == shown[size_t(originalAlpha[i]) << 8 | o] || a == 0 ? o : unmatted[size_t(a << 8 | w)];
            // Opaque: no matte was mixed in, and the sample stands as written.
            v[i] = static_cast<Sample>(a == kMax ? w : back);
          }
        } else {
          for (size_t i = begin; i < end; ++i) {
            const Wide a = alpha[i];
            if (a == kMax) continue;
            if (v[i] == delivered(i, original) || a == 0) v[i] = original[i];
            else v[i] = unmatte(v[i], a);
          }
        }
      }
    });
  });
}

// Outside the selection the original stands, in between it is blended,
// unless the filter says it handles the selection itself.
void MaskBySelection(RunDocument& doc, bool autoMask) {
  if (doc.selection.empty() || (doc.caseInfo.flags & kWritesOutsideSelection) != 0 || !autoMask) return;
  BySampleType(doc.destination, [&]<typename Sample>() {
    PlanarImage& d = doc.destination;
    for (int32_t p = 0; p < d.Channels(); ++p) {
      Sample* v = PlaneOf<Sample>(d, p);
      const Sample* original = PlaneOf<Sample>(doc.original, p);
      for (size_t i = 0, n = PixelCount(d); i < n; ++i) {
        const int64_t s = doc.selection[i];
        if (s == 255) continue;
        const int64_t o = original[i], w = v[i];
        v[i] = static_cast<Sample>(o + ((w - o) * s + (w >= o ? 127 : -127)) / 255);
      }
    }
  });
}

// How many samples differ between two images of the same shape.
size_t CountChanged(const PlanarImage& a, const PlanarImage& b) {
  std::atomic<size_t> changed{0};
  BySampleType(a, [&]<typename Sample>() {
    InTwoHalves(PixelCount(a), kSplitPixels, [&](size_t begin, size_t end) {
      size_t here = 0;
      for (int32_t p = 0; p < a.Channels(); ++p) {
        const Sample* x = PlaneOf<Sample>(a, p);
        const Sample* y = PlaneOf<Sample>(b, p);
        for (size_t i = begin; i < end; ++i) here += x[i] != y[i];
      }
      changed += here;
    });
  });
  return changed;
}

// ---- running ----------------------------------------------------------------

// The host will not run (or go on running) the filter on this image: says
// why, and keeps the reason for the run's summary.
void Stop(RunOutcome& outcome, bool refused, const std::string& why) {
  Warn("pmhost: %s\n", why.c_str());
  (refused ? outcome.refused : outcome.hostError) = true;
  outcome.message = why;
}

std::string SizeText(const PlanarImage& image) { return std::to_string(image.width) + " x " + std::to_string(image.height); }

// Sets the document up for a run; on success it has taken `image`'s planes.
bool PrepareDocument(RunDocument& doc, PlanarImage& image, const PiplInfo* pipl, const RunOptions& o, RunOutcome& outcome,
                     PlaneReserve* destination) {
  const int32_t channels = image.Channels();
  doc.transparencyPlane = (channels == 2 || channels == 4) ? channels - 1 : -1;
  const bool gray = channels <= 2;
  doc.mode = image.depth == 16 ? (gray ? 10 : 11) : (gray ? 1 : 3);
  if (o.imageMode >= 0) {
    doc.mode = o.imageMode;
    doc.transparencyPlane = -1;
  }
  doc.filterRect = VRect{0, 0, image.height, image.width};
  if (o.hasRectSelection) {
    VRect r = o.rectSelection;
    r.top = std::max(r.top, 0);
    r.left = std::max(r.left, 0);
    r.bottom = std::min(r.bottom, image.height);
    r.right = std::min(r.right, image.width);
    if (IsEmpty(r)) {
      Stop(outcome, false, "the selection " + RectText(o.rectSelection) + " does not cover any pixel of the image");
      return false;
    }
    doc.filterRect = r;
    doc.selection.assign(size_t(image.width) * size_t(image.height), 0);
    for (int32_t y = r.top; y < r.bottom; ++y)
      std::fill_n(doc.selection.begin() + y * image.width + r.left, r.right - r.left, uint8_t(255));
  } else if (!o.maskPath.empty() || !o.maskImage.planes.empty()) {
    // From the file when one is named, otherwise the one given in memory.
    PlanarImage loaded;
    std::string error;
    if (!o.maskPath.empty() && !ReadGrayPng(o.maskPath, loaded, error)) {
      Stop(outcome, false, error);
      return false;
    }
    const PlanarImage& mask = o.maskPath.empty() ? o.maskImage : loaded;
    if (mask.Channels() != 1 || mask.depth != 8) {
      Stop(outcome, false, "the mask must be one plane of 8 bits");
      return false;
    }
    if (mask.width != image.width || mask.height != image.height) {
      Stop(outcome, false, "the mask is " + SizeText(mask) + ", the image " + SizeText(image));
      return false;
    }
    doc.selection.assign(mask.planes[0].begin(), mask.planes[0].end());
    VRect b{image.height, image.width, 0, 0};
    for (int32_t y = 0; y < image.height; ++y)
      for (int32_t x = 0; x < image.width; ++x)
        if (doc.selection[size_t(y) * size_t(image.width) + size_t(x)] != 0)
          b = VRect{std::min(b.top, y), std::min(b.left, x), std::max(b.bottom, y + 1), std::max(b.right, x + 1)};
    if (IsEmpty(b)) {
      Stop(outcome, false, "the mask selects no pixel");
      return false;
    }
    doc.filterRect = b;
    doc.haveMaskImage = true;
  }
  const bool selected = !doc.selection.empty();
  doc.filterCase = static_cast<int16_t>(doc.transparencyPlane >= 0 ? (selected ? 5 : 4) : (selected ? 2 : 1));
  if (pipl != nullptr && pipl->hasCaseInfo) doc.caseInfo = pipl->caseInfo[size_t(doc.filterCase - 1)];
  if (doc.caseInfo.inputHandling == 0) {
    Stop(outcome, true,
         "the filter cannot handle filter case " + std::to_string(doc.filterCase) + " (its property list says so)");
    return false;
  }
  // The caller's image is not needed any more: RunFilter gives it the result.
  // It stays as loaded (inData shows it, with the matte mixed in as it is
  // delivered), for the matte's removal and the count of changes: one copy
  // of the image for the destination, none for a matted source.
  doc.original = std::move(image);
  if (doc.transparencyPlane >= 0) doc.inputMatte = MatteColour(doc.caseInfo.inputHandling, doc.original.depth == 16 ? 65535 : 255);
  // The destination's planes: from the reserve made while the image was
  // read (zeroed, its pages touched), or allocated now.
  const PlanarImage& shape = doc.original;
  const bool blank = (doc.caseInfo.flags & kDontCopyToDestination) != 0;
  if (destination == nullptr || !destination->Take(shape, doc.destination)) {
    if (blank) doc.destination.Allocate(shape.width, shape.height, shape.depth, shape.Channels());
    else doc.destination.AllocateUnset(shape.width, shape.height, shape.depth, shape.Channels());
  }
  if (!blank) MakeDestination(doc);
  return true;
}

}  // namespace pmsession
