// The document of a run: the selection (rectangle or mask), the filter case,
// the matte put in before the filter runs and taken out after it, and the
// selection applied to what the filter wrote.
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

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
    for (size_t i = 0; i < count; ++i) to[i] = Matted<uint8_t>(colour[i], alpha[i], m);
  }
}

// The destination starts as the image with the matte mixed in, as inData
// shows it; the image itself stays as loaded.
void ApplyMatte(RunDocument& doc) {
  const uint32_t m = doc.inputMatte;
  if (m == ~0u) return;
  PlanarImage& d = doc.destination;
  const uint8_t* alpha = d.planes[size_t(doc.transparencyPlane)].data();
  for (int32_t p = 0; p < doc.transparencyPlane; ++p) {
    uint8_t* c = d.planes[size_t(p)].data();
    MatteSamples(c, c, alpha, PixelCount(d), d.depth, m);
  }
}

// Takes the matte out of what the filter wrote; samples the filter left as
// delivered get their exact original back.
void RemoveMatte(RunDocument& doc) {
  const uint32_t maxValue = doc.original.depth == 16 ? 65535 : 255;
  const uint32_t m = MatteColour(doc.caseInfo.outputHandling, maxValue);
  if (doc.transparencyPlane < 0 || m == ~0u) return;
  BySampleType(doc.destination, [&]<typename Sample>() {
    using Wide = int64_t;
    constexpr Wide kMax = std::numeric_limits<Sample>::max();
    const auto unmatte = [=](Wide v, Wide a) {
      // The inverse of the matte's s = (c a + m (max - a)) / max.
      const Wide c = (v * kMax - Wide(m) * (kMax - a) + a / 2) / a;
      return static_cast<Sample>(std::clamp<Wide>(c, 0, kMax));
    };
    // 8 bits: every answer in a table (64 KiB), one division per entry
    // instead of one per sample.
    std::vector<Sample> table;
    if constexpr (sizeof(Sample) == 1) {
      table.resize(256 * 256);
      for (Wide a = 1; a < kMax; ++a)
        for (Wide v = 0; v <= kMax; ++v) table[size_t(a << 8 | v)] = unmatte(v, a);
    }
    PlanarImage& d = doc.destination;
    const Sample* alpha = PlaneOf<Sample>(d, doc.transparencyPlane);
    const Sample* originalAlpha = PlaneOf<Sample>(doc.original, doc.transparencyPlane);
    // What inData showed: the image with the input matte, if any.
    const uint32_t shownMatte = doc.inputMatte;
    for (int32_t p = 0; p < doc.transparencyPlane; ++p) {
      Sample* v = PlaneOf<Sample>(d, p);
      const Sample* original = PlaneOf<Sample>(doc.original, p);
      for (size_t i = 0, n = PixelCount(d); i < n; ++i) {
        const Wide a = alpha[i];
        // Opaque: no matte was mixed in, and the sample stands as written.
        if (a == kMax) continue;
        const Sample delivered =
            shownMatte == ~0u ? original[i] : Matted<Sample>(original[i], originalAlpha[i], shownMatte);
        if (v[i] == delivered || a == 0) {
          v[i] = original[i];
          continue;
        }
        if constexpr (sizeof(Sample) == 1) v[i] = table[size_t(a << 8 | v[i])];
        else v[i] = unmatte(v[i], a);
      }
    }
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
  size_t changed = 0;
  BySampleType(a, [&]<typename Sample>() {
    for (int32_t p = 0; p < a.Channels(); ++p) {
      const Sample* x = PlaneOf<Sample>(a, p);
      const Sample* y = PlaneOf<Sample>(b, p);
      for (size_t i = 0, n = PixelCount(a); i < n; ++i) changed += x[i] != y[i];
    }
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
bool PrepareDocument(RunDocument& doc, PlanarImage& image, const PiplInfo* pipl, const RunOptions& o, RunOutcome& outcome) {
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
    doc.selection = mask.planes[0];
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
  if ((doc.caseInfo.flags & kDontCopyToDestination) != 0) {
    doc.destination.Allocate(doc.original.width, doc.original.height, doc.original.depth, doc.original.Channels());
  } else {
    doc.destination = doc.original;
    ApplyMatte(doc);
  }
  return true;
}

}  // namespace pmsession
