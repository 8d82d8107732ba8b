#include "Workloads.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "convert/ConvertImage.h"
#include "convert/Quantize.h"
#include "entry/PluginGlobals.h"
#include "host/HostApi.h"

namespace bench {

Image::Image() {
  std::mt19937 gen(20240601);
  for (int p = 0; p < kPlanes; ++p) {
    in[p].resize(size_t(kImageSide) * kImageSide);
    for (auto& b : in[p]) b = static_cast<uint8_t>(gen() >> 24);
    out[p] = in[p];  // a host pre-fills the output with the source
  }
}

Image& SharedImage() {
  static Image image;
  return image;
}

namespace {

constexpr size_t kPlaneOffsetStride = kImageSide;

// Calls `tile(top, left, plane)` for every plane of every tile, row of tiles
// by row of tiles, as the tile driver walks the image.
template <typename Fn>
void WalkTiles(Fn&& tile) {
  for (int32_t top = 0; top < kImageSide; top += kTileSide)
    for (int32_t left = 0; left < kImageSide; left += kTileSide)
      for (int p = 0; p < kPlanes; ++p) tile(size_t(top) * kPlaneOffsetStride + size_t(left), p);
}

uint64_t Fingerprint(const Image& image) {
  return uint64_t(image.out[0][12345]) + image.out[1][kImageSide * 100 + 7] + image.out[3].back();
}

uint64_t PlainCopy(Image& image) {
  WalkTiles([&](size_t offset, int p) {
    uint8_t* out = image.out[p].data() + offset;
    const uint8_t* in = image.in[p].data() + offset;
    for (int32_t y = 0; y < kTileSide; ++y) std::memcpy(out + size_t(y) * kImageSide, in + size_t(y) * kImageSide, kTileSide);
  });
  return Fingerprint(image);
}

uint64_t RandOnly(Image&) {
  std::srand(1);
  unsigned sink = 0;
  WalkTiles([&](size_t, int) {
    for (int32_t k = 0; k < kTileSide * kTileSide; ++k) sink += static_cast<unsigned>(std::rand());
  });
  return sink;
}

uint64_t QuantizeWalk(Image& image, uint8_t dither) {
  std::srand(1);
  WalkTiles([&](size_t offset, int p) {
    QuantizePlaneTile(image.out[p].data() + offset, kImageSide, image.in[p].data() + offset, kImageSide, nullptr, 0,
                      VRect{0, 0, kTileSide, kTileSide}, dither, kPlaneBits[p]);
  });
  return Fingerprint(image);
}

// The same held to the 16-byte path, to show what the 32-byte one gains.
uint64_t QuantizeWalkSse2(Image& image, uint8_t dither) {
  QuantizeUseWideVectors(false);
  const uint64_t result = QuantizeWalk(image, dither);
  QuantizeUseWideVectors(true);
  return result;
}

// The rule written the straightforward way, pixel by pixel with a branch on
// the random number: what the fast form is compared with.
void PerPixelTile(uint8_t* out, const uint8_t* in, bool dither, uint8_t bits) {
  const unsigned top = kTopBitMasks[bits];
  const unsigned step = 256 - top;
  for (int32_t y = 0; y < kTileSide; ++y, out += kImageSide, in += kImageSide)
    for (int32_t x = 0; x < kTileSide; ++x) {
      const unsigned v = in[x];
      unsigned q = v & top;
      if (dither) {
        const unsigned r = static_cast<unsigned>(std::rand()) % step;
        if (r < v - q && q < top) q += step;
      }
      out[x] = v == 255 ? uint8_t{255} : static_cast<uint8_t>(q);
    }
}

uint64_t PerPixelWalk(Image& image, bool dither) {
  std::srand(1);
  WalkTiles([&](size_t offset, int p) {
    PerPixelTile(image.out[p].data() + offset, image.in[p].data() + offset, dither, kPlaneBits[p]);
  });
  return Fingerprint(image);
}

// A host just thick enough for ConvertImage: it hands out each plane of each
// requested tile in place, without copying, so the time is the module's own.
struct BenchHost {
  FilterRecord record{};
  ParameterBlock parameters{};
  int16_t result = 0;
  Image* image = nullptr;
};
BenchHost gHost;

OSErr DeliverPlane() {
  FilterRecord& r = gHost.record;
  const int p = r.outLoPlane;
  if (p < 0 || p >= kPlanes || r.inLoPlane != p || r.outRect.top < 0 || r.outRect.left < 0) return filterBadParameters;
  const size_t offset = size_t(r.outRect.top) * kImageSide + size_t(r.outRect.left);
  r.inData = gHost.image->in[p].data() + offset;
  r.outData = gHost.image->out[p].data() + offset;
  r.inRowBytes = r.outRowBytes = kImageSide;
  r.maskData = nullptr;
  return noErr;
}

Boolean NeverAbort() { return 0; }
void IgnoreProgress(int32_t, int32_t) {}

uint64_t ConvertWhole(Image& image, uint8_t dither) {
  gHost = BenchHost{};
  gHost.image = &image;
  gHost.parameters.useDithering = dither;
  FilterRecord& r = gHost.record;
  r.filterRect = Rect{0, 0, kImageSide, kImageSide};
  r.outTileHeight = r.outTileWidth = kTileSide;
  r.planes = kPlanes;
  r.depth = 8;
  r.advanceState = DeliverPlane;
  r.abortProc = NeverAbort;
  r.progressProc = IgnoreProgress;
  gPluginGlobals = PluginGlobals{};
  gPluginGlobals.hostRecord = &r;
  gPluginGlobals.resultSlot = &gHost.result;
  gPluginGlobals.parameterBlock = &gHost.parameters;
  ConvertImage();
  gPluginGlobals = PluginGlobals{};
  return Fingerprint(image) + static_cast<uint64_t>(gHost.result != noErr);
}

}  // namespace

const std::vector<Workload>& Workloads() {
  static const std::vector<Workload> all = {
      {"copy", "plain copy, same tile walk", PlainCopy, nullptr, 0},
      {"rand", "rand() once per sample", RandOnly, nullptr, 0},
      {"quantize_off", "QuantizePlaneTile, dithering off", [](Image& i) { return QuantizeWalk(i, 0); }, "copy", 1.5},
      {"quantize_on", "QuantizePlaneTile, dithering on", [](Image& i) { return QuantizeWalk(i, 1); }, "rand", 1.2},
      {"quantize_off_sse2", "QuantizePlaneTile, dithering off, SSE2 only", [](Image& i) { return QuantizeWalkSse2(i, 0); }, "copy", 0},
      {"quantize_on_sse2", "QuantizePlaneTile, dithering on, SSE2 only", [](Image& i) { return QuantizeWalkSse2(i, 1); }, "rand", 0},
      {"convert_off", "ConvertImage (bench host), dithering off", [](Image& i) { return ConvertWhole(i, 0); }, "copy", 1.5},
      {"convert_on", "ConvertImage (bench host), dithering on", [](Image& i) { return ConvertWhole(i, 1); }, "rand", 1.2},
      {"perpixel_off", "per-pixel rule with a branch, dithering off", [](Image& i) { return PerPixelWalk(i, false); }, "copy", 0},
      {"perpixel_on", "per-pixel rule with a branch, dithering on", [](Image& i) { return PerPixelWalk(i, true); }, "rand", 0},
  };
  return all;
}

void PrintRatioTable(std::FILE* to, const char* runtime, const MedianFn& median, const RatioFn& ratioOf) {
  std::fprintf(to, "\nPixelmoor quantiser, C runtime: %s; %d x %d image, %d planes, %d x %d tiles (medians)\n", runtime,
               kImageSide, kImageSide, kPlanes, kTileSide, kTileSide);
  std::fprintf(to, "vector path of QuantizePlaneTile on this processor: %s\n",
               QuantizeUseWideVectors(true) ? "AVX2 (32 bytes)" : "SSE2 (16 bytes)");
  std::fprintf(to, "%-44s %10s  %-12s %6s  %s\n", "workload", "ms", "limit", "ratio", "goal");
  for (const Workload& w : Workloads()) {
    const double seconds = median(w.key);
    if (seconds < 0) continue;
    if (w.baseline == nullptr) {
      std::fprintf(to, "%-44s %10.1f  %-12s %6s  %s\n", w.label, seconds * 1e3, "(limit)", "-", "-");
      continue;
    }
    const double base = median(w.baseline);
    const double ratio = ratioOf ? ratioOf(w.key, w.baseline) : base > 0 ? seconds / base : 0;
    const char* limit = std::strcmp(w.baseline, "copy") == 0 ? "plain copy" : "rand() loop";
    if (w.goal > 0)
      std::fprintf(to, "%-44s %10.1f  %-12s %6.2f  <= %.2f %s\n", w.label, seconds * 1e3, limit, ratio, w.goal,
                   ratio <= w.goal ? "met" : "MISSED");
    else
      std::fprintf(to, "%-44s %10.1f  %-12s %6.2f  (for comparison)\n", w.label, seconds * 1e3, limit, ratio);
  }
  std::fflush(to);
}

}  // namespace bench
