#include "Workloads.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "InCacheWalk.h"
#include "PlaneDelivery.h"
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

// A host just thick enough for ConvertImage, a front end on the host kit. It
// hands the module each plane of each requested tile in place, without
// copying, so the time is the module's own; the kit still reads, checks and
// logs every request (about a thousand per run), the record guard compares
// the FilterRecord before and after the run, and any misuse, or a result
// other than noErr, ends the program. VerifyBenchHost shows once, untimed,
// that the in-place walk gives the same bytes as one through guarded tiles.
struct BenchHost {
  FilterRecord record{};
  int16_t result = 0;
  hostkit::Planes planes;
  hostkit::CallLog log;
  hostkit::MisuseLog misuse;
  hostkit::PlaneDelivery delivery{log, misuse};
  hostkit::RecordGuard guard;
  // The clock's second before the run and at its first request: the module
  // seeds its dithering from it in between, so two runs with all four the
  // same dithered alike.
  std::time_t startedIn = 0, firstRequestIn = 0;
  bool SeededIn(std::time_t second) const { return startedIn == second && firstRequestIn == second; }
};
BenchHost* gHost = nullptr;

[[noreturn]] void HostFails(const std::string& what) {
  std::fprintf(stderr, "bench host: %s\n", what.c_str());
  std::fflush(stderr);
  std::exit(1);
}

OSErr DeliverPlane() {
  if (gHost->firstRequestIn == 0) gHost->firstRequestIn = std::time(nullptr);
  return gHost->delivery.Deliver(gHost->record, gHost->planes);
}

Boolean NeverAbort() {
  gHost->log.Add(hostkit::Event::Abort(false));
  return 0;
}

void LogProgress(int32_t done, int32_t total) {
  gHost->log.Add(hostkit::Event::Progress(done, total));
}

// One ConvertImage over the host's planes in tiles of `tileSide`.
void RunConvert(BenchHost& host, uint8_t dither, int16_t tileSide = kTileSide) {
  host.log.Clear();
  FilterRecord& r = host.record;
  r = FilterRecord{};
  r.filterRect = Rect{0, 0, static_cast<int16_t>(host.planes.height), static_cast<int16_t>(host.planes.width)};
  r.outTileHeight = r.outTileWidth = tileSide;
  r.planes = static_cast<int16_t>(host.planes.in.size());
  r.depth = 8;
  r.advanceState = DeliverPlane;
  r.abortProc = NeverAbort;
  r.progressProc = LogProgress;
  host.result = noErr;
  host.firstRequestIn = 0;
  host.startedIn = std::time(nullptr);
  gHost = &host;
  gPluginGlobals = PluginGlobals{};
  gPluginGlobals.hostRecord = &r;
  gPluginGlobals.resultSlot = &host.result;
  host.guard.Take(&r, sizeof(r));
  const uint8_t useDithering = dither != 0 ? 1 : 0;
  ConvertImage(useDithering);
  host.delivery.Finish(r);
  gPluginGlobals = PluginGlobals{};
  gHost = nullptr;
  if (auto written = host.guard.Compare(&r, "FilterRecord", hostkit::FilterRecordWritable()))
    host.misuse.Flag(*written, "ConvertImage");
  if (auto first = host.misuse.First()) HostFails(first->what + " (in " + first->call + ")");
  if (host.result != noErr)
    HostFails("ConvertImage answered " + std::to_string(host.result) + "; last host call: " + host.log.Last());
}

hostkit::Planes PlanesOf(std::vector<uint8_t>* in, std::vector<uint8_t>* out, int count, int32_t height,
                         int32_t width) {
  hostkit::Planes planes;
  planes.height = height;
  planes.width = planes.rowBytes = width;
  for (int p = 0; p < count; ++p) {
    planes.in.push_back(in[p].data());
    planes.out.push_back(out[p].data());
  }
  return planes;
}

uint64_t ConvertWhole(Image& image, uint8_t dither) {
  static BenchHost host;
  host.planes = PlanesOf(image.in, image.out, kPlanes, kImageSide, kImageSide);
  RunConvert(host, dither);
  return Fingerprint(image);
}

}  // namespace

void VerifyBenchHost() {
  // Tiles that do not fit evenly: three down, four across, the last of each
  // cut short. Small, so that two runs fit in one second of the clock that
  // seeds the dithering, even under the sanitizers.
  constexpr int16_t kTile = 64;
  constexpr int32_t kHeight = 2 * kTile + 22, kWidth = 3 * kTile + 38;
  std::vector<uint8_t> source[kPlanes];
  std::mt19937 gen(20240602);
  for (auto& plane : source) {
    plane.resize(size_t(kHeight) * kWidth);
    for (auto& b : plane) b = static_cast<uint8_t>(gen() >> 24);
  }
  struct Walk {
    const char* name;
    bool bottomUp;
  };
  const Walk walks[] = {{"guarded tiles, top-down", false}, {"guarded tiles, bottom-up", true}};
  for (const uint8_t dither : {uint8_t{0}, uint8_t{1}}) {
    for (const Walk& walk : walks) {
      // Dithering is seeded from the clock's second: both runs must be
      // seeded in the same one to be compared.
      for (int attempt = 1;; ++attempt) {
        std::vector<uint8_t> input[kPlanes], inPlace[kPlanes], guarded[kPlanes];
        for (int p = 0; p < kPlanes; ++p) input[p] = inPlace[p] = guarded[p] = source[p];
        BenchHost direct;
        direct.planes = PlanesOf(input, inPlace, kPlanes, kHeight, kWidth);
        RunConvert(direct, dither, kTile);
        BenchHost checked;
        checked.delivery.guarded = true;
        checked.delivery.bottomUp = walk.bottomUp;
        checked.planes = PlanesOf(input, guarded, kPlanes, kHeight, kWidth);
        RunConvert(checked, dither, kTile);
        if (!checked.SeededIn(direct.startedIn) || !direct.SeededIn(direct.startedIn)) {
          if (attempt < 20) continue;
          HostFails("no two runs were seeded in the same second in 20 attempts");
        }
        for (int p = 0; p < kPlanes; ++p) {
          if (input[p] != source[p]) HostFails("the source of plane " + std::to_string(p) + " was written in place");
          const auto differ = std::mismatch(inPlace[p].begin(), inPlace[p].end(), guarded[p].begin());
          if (differ.first == inPlace[p].end()) continue;
          const auto at = size_t(differ.first - inPlace[p].begin());
          HostFails(std::string("in place and ") + walk.name + " differ (dithering " + (dither ? "on" : "off") +
                    "): plane " + std::to_string(p) + ", row " + std::to_string(at / kWidth) + ", column " +
                    std::to_string(at % kWidth) + ": " + std::to_string(*differ.first) + " against " +
                    std::to_string(*differ.second));
        }
        break;
      }
    }
  }
}

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
      // The host's shape: every plane tile copied into the host's buffers
      // just before it is handed over, the module's share timed without the
      // callbacks; "x copy" is taken against the copy through the same walk.
      // Dithered, the draws come from the private copy of the generator (on
      // glibc of a model of the Windows one).
      {"incache_copy", "in cache: copy through the same walk", nullptr, true, {}, InCacheCopy},
      {"incache_off", "in cache: ConvertImage, dithering off", nullptr, false, {{"incache_copy", 1.2, kAlways}},
       [](Image& i) { return InCacheConvert(i, false); }, "incache_copy"},
      {"incache_on", "in cache: ConvertImage, dithering on", nullptr, false, {{"incache_copy", 3, kAlways}},
       [](Image& i) { return InCacheConvert(i, true); }, "incache_copy"},
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
                       : "rand() calls (this C runtime's rand() follows another rule); in cache, dithered: a model "
                         "of the Windows generator, so the private copy");
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
      std::fprintf(to, "%-46s %9.2f %8s %8s  (limit)\n", w.label, seconds * 1e3, "-", "-");
      continue;
    }
    std::fprintf(to, "%-46s %9.2f %8.3f %8.4f ", w.label, seconds * 1e3, ratio(w.key, w.copy), ratio(w.key, "rand"));
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
