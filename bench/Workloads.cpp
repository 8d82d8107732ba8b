#include "Workloads.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "QuantizeReference.h"
#include "convert/ConvertImage.h"
#include "convert/Quantize.h"
#include "convert/RandomStream.h"
#include "host/CallContext.h"
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

// The quantiser over the tile walk in one run of draws, as the driver runs it.
uint64_t QuantizeWalk(Image& image, bool dither) {
  std::srand(1);
  const RandomRun run(1);
  WalkTiles([&](size_t offset, int p) {
    QuantizePlaneTile(image.out[p].data() + offset, kImageSide, image.in[p].data() + offset, kImageSide, nullptr, 0,
                      kTileSide, kTileSide, dither, kPlaneBits[p]);
  });
  return Fingerprint(image);
}

// The same held to narrower vectors, to show what the wider ones gain.
uint64_t QuantizeWalkWith(QuantizeKernelSet set, Image& image, bool dither) {
  QuantizeLimitKernels(set);
  const uint64_t result = QuantizeWalk(image, dither);
  QuantizeLimitKernels(QuantizeKernelSet::kAvx2);
  return result;
}

// The same with every draw a rand() call, as on a C runtime of another rule.
uint64_t QuantizeWalkCallingRand(Image& image) {
  DitherRandom().AllowCopy(false);
  const uint64_t result = QuantizeWalk(image, true);
  DitherRandom().AllowCopy(true);
  return result;
}

// The rule written the straightforward way, pixel by pixel with a branch on
// the random number (the tests' reference): what the fast form is compared
// with.
uint64_t PerPixelWalk(Image& image, bool dither) {
  std::srand(1);
  WalkTiles([&](size_t offset, int p) {
    fakehost::ReferenceQuantize(image.out[p].data() + offset, kImageSide, image.in[p].data() + offset, kImageSide,
                                nullptr, 0, kTileSide, kTileSide, dither, kPlaneBits[p]);
  });
  return Fingerprint(image);
}

// A host just thick enough for ConvertImage: it hands out each plane of each
// requested tile in place, without copying, so the time is the module's own.
struct BenchHost {
  FilterRecord record{};
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
  ConvertImage(dither != 0);
  gPluginGlobals = PluginGlobals{};
  return Fingerprint(image) + static_cast<uint64_t>(gHost.result != noErr);
}

}  // namespace

bool RuntimeFollowsTheRule() {
  static const bool follows = [] {
    const bool result = FollowsTheWindowsRandRule(StandardCRuntimeRandom());
    std::srand(1);
    return result;
  }();
  return follows;
}

const std::vector<Workload>& Workloads() {
  using enum When;
  // Dithering on: 20 times faster than one rand() per sample and within 8
  // copies where the private copy of the generator runs; where every draw
  // must be a rand() call, within 1.2 times those calls alone.
  const std::vector<Goal> dithered = {{"rand", 0.05, kCopying}, {"copy", 8, kCopying}, {"rand", 1.2, kCalling}};
  static const std::vector<Workload> all = {
      {"copy", "plain copy, same tile walk", PlainCopy, true, {}},
      {"rand", "rand() once per sample", RandOnly, true, {}},
      {"quantize_off", "QuantizePlaneTile, dithering off", [](Image& i) { return QuantizeWalk(i, false); }, false,
       {{"copy", 1.5, kAlways}}},
      {"quantize_on", "QuantizePlaneTile, dithering on", [](Image& i) { return QuantizeWalk(i, true); }, false,
       dithered},
      // The path a C runtime of another rule takes (on glibc the same as the
      // row above); under msvcrt for comparison.
      {"quantize_on_rand", "QuantizePlaneTile, dithering on, rand() calls", QuantizeWalkCallingRand, false,
       {{"rand", 1.2, kCalling}}},
      {"quantize_off_sse2", "QuantizePlaneTile, dithering off, SSE2 only",
       [](Image& i) { return QuantizeWalkWith(QuantizeKernelSet::kSse2, i, false); }, false, {}},
      {"quantize_on_sse2", "QuantizePlaneTile, dithering on, SSE2 only",
       [](Image& i) { return QuantizeWalkWith(QuantizeKernelSet::kSse2, i, true); }, false, {}},
      {"convert_off", "ConvertImage (bench host), dithering off", [](Image& i) { return ConvertWhole(i, 0); }, false,
       {{"copy", 1.5, kAlways}}},
      {"convert_on", "ConvertImage (bench host), dithering on", [](Image& i) { return ConvertWhole(i, 1); }, false,
       dithered},
      {"perpixel_off", "per-pixel reference, dithering off", [](Image& i) { return PerPixelWalk(i, false); }, false,
       {}},
      {"perpixel_on", "per-pixel reference, dithering on", [](Image& i) { return PerPixelWalk(i, true); }, false, {}},
  };
  return all;
}

void PrintRatioTable(std::FILE* to, const char* runtime, const MedianFn& median, const RatioFn& ratioOf,
                     bool judge) {
  const bool copying = RuntimeFollowsTheRule();
  std::fprintf(to, "\nPixelmoor quantiser, C runtime: %s; %d x %d image, %d planes, %d x %d tiles (medians)\n", runtime,
               kImageSide, kImageSide, kPlanes, kTileSide, kTileSide);
  std::fprintf(to, "kernels of QuantizePlaneTile on this processor: %s\n",
               QuantizeKernelSetName(QuantizeLimitKernels(QuantizeKernelSet::kAvx2)));
  std::fprintf(to, "dithering draws: %s\n",
               copying ? "private copy of the C runtime's generator (rand() follows the Windows rule)"
                       : "rand() calls (this C runtime's rand() follows another rule)");
  const auto ratio = [&](const char* key, const char* limit) {
    if (ratioOf) return ratioOf(key, limit);
    const double base = median(limit);
    return base > 0 ? median(key) / base : 0.0;
  };
  std::fprintf(to, "%-46s %9s %8s %8s  %s\n", "workload", "ms", "x copy", "x rand", "goals");
  for (const Workload& w : Workloads()) {
    const double seconds = median(w.key);
    if (seconds < 0) continue;
    if (w.isLimit) {
      std::fprintf(to, "%-46s %9.1f %8s %8s  (limit)\n", w.label, seconds * 1e3, "-", "-");
      continue;
    }
    std::fprintf(to, "%-46s %9.1f %8.3f %8.3f ", w.label, seconds * 1e3, ratio(w.key, "copy"), ratio(w.key, "rand"));
    bool any = false;
    for (const Goal& g : judge ? w.goals : std::vector<Goal>{}) {
      if (g.when == When::kCopying && !copying) continue;
      if (g.when == When::kCalling && copying) continue;
      const double r = ratio(w.key, g.limit);
      std::fprintf(to, " <= %g x %s %s;", g.most, g.limit, r <= g.most ? "met" : "MISSED");
      any = true;
    }
    std::fprintf(to, "%s\n", any ? "" : judge || w.goals.empty() ? " (for comparison)" : " (goals: paired rounds)");
  }
  std::fflush(to);
}

}  // namespace bench
