#include "InCacheWalk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "QuantizeReference.h"
#include "convert/ConvertImage.h"
#include "convert/RandomStream.h"
#include "host/CallContext.h"
#include "host/HostApi.h"

namespace bench {
namespace {

// The clock read around every callback: about 6,000 of them per walk, so it
// must cost little. The time-stamp counter (invariant on the processors this
// runs on) is read in a few nanoseconds, and under Wine too; it is converted
// to seconds once, against the steady clock.
#if defined(__x86_64__) || defined(__i386__)
uint64_t Ticks() { return __rdtsc(); }
double TicksPerSecond() {
  static const double rate = [] {
    const auto start = std::chrono::steady_clock::now();
    const uint64_t first = Ticks();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(50)) {
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return double(Ticks() - first) / seconds;
  }();
  return rate;
}
#else
uint64_t Ticks() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}
double TicksPerSecond() { return 1e9; }
#endif

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "in-cache host: %s\n", what.c_str());
  std::fflush(stderr);
  std::exit(1);
}

// The host's document, plane by plane, and its own buffers for one tile.
struct Document {
  int32_t height = 0, width = 0;  // each plane's rows are `width` bytes apart
  std::vector<const uint8_t*> in;
  std::vector<uint8_t*> out;  // pre-filled with the source, as hosts do
};

constexpr size_t kAlignment = 64;

// A buffer of `bytes` starting on a 64-byte boundary, kept from one tile to
// the next.
class AlignedBuffer {
 public:
  uint8_t* Reserve(size_t bytes) {
    if (storage_.size() < bytes + kAlignment) storage_.resize(bytes + kAlignment);
    const auto at = reinterpret_cast<uintptr_t>(storage_.data());
    return storage_.data() + ((kAlignment - at % kAlignment) % kAlignment);
  }

 private:
  std::vector<uint8_t> storage_;
};

struct InCacheHost {
  FilterRecord record{};
  int16_t result = 0;
  Document document;
  AlignedBuffer inBuffer, outBuffer;
  // The tile whose output is still in the output buffer: it goes back into
  // the document at the next request, or when the run is over.
  bool pending = false;
  int pendingPlane = 0;
  Rect pendingRect{};
  int32_t pendingRowBytes = 0;
  // The module's share comes in segments: from the return of one callback
  // to the next call of one, and from the last return to the end of the run.
  bool started = false;     // the first advanceState has been called
  uint64_t lastReturn = 0;  // ticks when the last callback returned
  std::vector<uint64_t> segments;
  uint64_t advanceCalls = 0, progressCalls = 0, abortCalls = 0;
};
InCacheHost* gHost = nullptr;

void PutBack(InCacheHost& host) {
  if (!host.pending) return;
  const Rect& r = host.pendingRect;
  const auto* from = static_cast<const uint8_t*>(host.record.outData);
  uint8_t* to = host.document.out[size_t(host.pendingPlane)] + int64_t(r.top) * host.document.width + r.left;
  for (int32_t y = 0; y < r.bottom - r.top; ++y)
    std::memcpy(to + int64_t(y) * host.document.width, from + int64_t(y) * host.pendingRowBytes, size_t(r.right - r.left));
  host.pending = false;
}

// At the start of every callback: the segment that just ended was the module's.
void Entered(InCacheHost& host, uint64_t now) {
  if (host.started) host.segments.push_back(now - host.lastReturn);
}

OSErr AdvanceState() {
  InCacheHost& host = *gHost;
  Entered(host, Ticks());
  host.started = true;
  ++host.advanceCalls;
  PutBack(host);
  FilterRecord& r = host.record;
  const Rect in = r.inRect, out = r.outRect;
  const int plane = r.inLoPlane;
  if (in.top != out.top || in.left != out.left || in.bottom != out.bottom || in.right != out.right)
    Fail("input and output rectangles differ");
  if (r.inHiPlane != plane || r.outLoPlane != plane || r.outHiPlane != plane || plane < 0 ||
      plane >= int(host.document.in.size()))
    Fail("a request for more than one plane, or for a plane the image lacks");
  if (in.top < 0 || in.left < 0 || in.bottom > host.document.height || in.right > host.document.width ||
      in.top >= in.bottom || in.left >= in.right)
    Fail("a rectangle outside the image, or an empty one");
  const int32_t height = in.bottom - in.top, width = in.right - in.left;
  // Rows padded to 32 bytes, as a host lays out its tile buffers.
  const int32_t rowBytes = (width + 31) / 32 * 32;
  uint8_t* inData = host.inBuffer.Reserve(size_t(height) * size_t(rowBytes));
  uint8_t* outData = host.outBuffer.Reserve(size_t(height) * size_t(rowBytes));
  const int64_t first = int64_t(in.top) * host.document.width + in.left;
  const uint8_t* fromIn = host.document.in[size_t(plane)] + first;
  const uint8_t* fromOut = host.document.out[size_t(plane)] + first;
  for (int32_t y = 0; y < height; ++y) {
    std::memcpy(inData + int64_t(y) * rowBytes, fromIn + int64_t(y) * host.document.width, size_t(width));
    std::memcpy(outData + int64_t(y) * rowBytes, fromOut + int64_t(y) * host.document.width, size_t(width));
  }
  r.inData = inData;
  r.outData = outData;
  r.inRowBytes = r.outRowBytes = rowBytes;
  r.maskData = nullptr;
  r.maskRowBytes = 0;
  host.pending = true;
  host.pendingPlane = plane;
  host.pendingRect = out;
  host.pendingRowBytes = rowBytes;
  host.lastReturn = Ticks();
  return noErr;
}

void Progress(int32_t, int32_t) {
  Entered(*gHost, Ticks());
  ++gHost->progressCalls;
  gHost->lastReturn = Ticks();
}

Boolean NeverAbort() {
  Entered(*gHost, Ticks());
  ++gHost->abortCalls;
  gHost->lastReturn = Ticks();
  return 0;
}

void Begin(InCacheHost& host, int16_t tileSide) {
  FilterRecord& r = host.record;
  r = FilterRecord{};
  r.filterRect = Rect{0, 0, static_cast<int16_t>(host.document.height), static_cast<int16_t>(host.document.width)};
  r.outTileHeight = r.outTileWidth = tileSide;
  r.planes = static_cast<int16_t>(host.document.in.size());
  r.depth = 8;
  r.advanceState = AdvanceState;
  r.progressProc = Progress;
  r.abortProc = NeverAbort;
  host.result = noErr;
  host.pending = false;
  host.started = false;
  host.segments.clear();
  host.segments.reserve(8192);
  host.advanceCalls = host.progressCalls = host.abortCalls = 0;
  gHost = &host;
}

// The module's share of the walk just ended at `returned`: the sum of its
// segments. On a shared machine the process loses the processor now and
// then, for a millisecond or more, while a segment lasts about a microsecond:
// a segment longer than 16 times the run's median counts as the median.
double End(InCacheHost& host, uint64_t returned, const char* who) {
  Entered(host, returned);
  PutBack(host);
  gHost = nullptr;
  if (host.result != noErr) Fail(std::string(who) + " answered " + std::to_string(host.result));
  const int64_t tilesDown = (host.document.height + host.record.outTileHeight - 1) / host.record.outTileHeight;
  const int64_t tilesAcross = (host.document.width + host.record.outTileWidth - 1) / host.record.outTileWidth;
  const uint64_t tiles = uint64_t(tilesDown * tilesAcross);
  if (host.advanceCalls != tiles * host.document.in.size() || host.progressCalls != tiles ||
      host.abortCalls != tiles)
    Fail(std::string(who) + " did not walk every plane of every tile once");
  if (host.segments.empty()) return 0.0;
  std::vector<uint64_t> sorted = host.segments;
  std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
  const uint64_t median = sorted[sorted.size() / 2];
  uint64_t total = 0;
  for (const uint64_t segment : host.segments) total += segment > 16 * median ? median : segment;
  return double(total) / TicksPerSecond();
}

// The dithered walk draws from the private copy: where the C runtime does
// not follow the Windows rule (glibc), from a model of it, so that what is
// timed is the module's path under Windows.
class WindowsRuleDraws {
 public:
  WindowsRuleDraws() : model_(!RuntimeFollowsTheRule()) {
    if (model_) DitherRandom().UseCRuntime(CRuntimeRandom{fakehost::WindowsSrand, fakehost::WindowsRand});
  }
  ~WindowsRuleDraws() {
    if (model_) DitherRandom().UseCRuntime(StandardCRuntimeRandom());
  }
  WindowsRuleDraws(const WindowsRuleDraws&) = delete;
  WindowsRuleDraws& operator=(const WindowsRuleDraws&) = delete;

 private:
  bool model_;
};

double RunConvert(InCacheHost& host, bool dither, int16_t tileSide) {
  const WindowsRuleDraws draws;
  Begin(host, tileSide);
  gPluginGlobals = PluginGlobals{};
  gPluginGlobals.hostRecord = &host.record;
  gPluginGlobals.resultSlot = &host.result;
  const uint8_t useDithering = dither ? 1 : 0;
  ConvertImage(useDithering);
  const uint64_t returned = Ticks();
  gPluginGlobals = PluginGlobals{};
  return End(host, returned, "ConvertImage");
}

// The limit: the walk a driver must make at the least, and a copy of each
// plane tile from the input to the output buffer.
double RunCopy(InCacheHost& host, int16_t tileSide) {
  Begin(host, tileSide);
  FilterRecord& r = host.record;
  const Rect filter = r.filterRect;
  int32_t done = 0;
  const int32_t total = ((filter.bottom - filter.top + tileSide - 1) / tileSide) *
                        ((filter.right - filter.left + tileSide - 1) / tileSide);
  for (int32_t top = filter.top; top < filter.bottom; top += tileSide) {
    for (int32_t left = filter.left; left < filter.right; left += tileSide) {
      const Rect tile{static_cast<int16_t>(top), static_cast<int16_t>(left),
                      static_cast<int16_t>(std::min<int32_t>(top + tileSide, filter.bottom)),
                      static_cast<int16_t>(std::min<int32_t>(left + tileSide, filter.right))};
      r.inRect = r.outRect = tile;
      for (int plane = 0; plane < r.planes; ++plane) {
        r.inLoPlane = r.inHiPlane = r.outLoPlane = r.outHiPlane = static_cast<int16_t>(plane);
        host.result = r.advanceState();
        if (host.result != noErr) return End(host, Ticks(), "the copy");
        const auto* in = static_cast<const uint8_t*>(r.inData);
        auto* out = static_cast<uint8_t*>(r.outData);
        for (int32_t y = 0; y < tile.bottom - tile.top; ++y)
          std::memcpy(out + int64_t(y) * r.outRowBytes, in + int64_t(y) * r.inRowBytes, size_t(tile.right - tile.left));
      }
      r.progressProc(++done, total);
      if (r.abortProc() != 0) return End(host, Ticks(), "the copy");
    }
  }
  return End(host, Ticks(), "the copy");
}

Document DocumentOf(Image& image) {
  Document document;
  document.height = document.width = kImageSide;
  for (int p = 0; p < kPlanes; ++p) {
    document.in.push_back(image.in[p].data());
    document.out.push_back(image.out[p].data());
  }
  return document;
}

uint64_t Fingerprint(const Image& image) {
  return uint64_t(image.out[0][12345]) + image.out[1][kImageSide * 100 + 7] + image.out[3].back();
}

}  // namespace

SelfTimed InCacheConvert(Image& image, bool dither) {
  static InCacheHost host;
  host.document = DocumentOf(image);
  const double seconds = RunConvert(host, dither, kTileSide);
  return {seconds, Fingerprint(image)};
}

SelfTimed InCacheCopy(Image& image) {
  static InCacheHost host;
  host.document = DocumentOf(image);
  const double seconds = RunCopy(host, kTileSide);
  return {seconds, Fingerprint(image)};
}

void VerifyInCacheWalk() {
  // Tiles that do not fit evenly, and a tile side that is no multiple of the
  // vector width: every path of the kernels meets the host's buffers.
  constexpr int16_t kTile = 100;
  constexpr int32_t kHeight = 2 * kTile + 37, kWidth = 3 * kTile + 45;
  std::vector<uint8_t> source[kPlanes];
  std::mt19937 gen(20240603);
  for (auto& plane : source) {
    plane.resize(size_t(kHeight) * kWidth);
    for (auto& b : plane) b = static_cast<uint8_t>(gen() >> 24);
  }
  for (const bool dither : {false, true}) {
    for (int attempt = 1;; ++attempt) {
      std::vector<uint8_t> walked[kPlanes], expected[kPlanes];
      InCacheHost host;
      host.document.height = kHeight;
      host.document.width = kWidth;
      for (int p = 0; p < kPlanes; ++p) {
        walked[p] = expected[p] = source[p];
        host.document.in.push_back(source[p].data());
        host.document.out.push_back(walked[p].data());
      }
      const std::time_t before = std::time(nullptr);
      RunConvert(host, dither, kTile);
      if (std::time(nullptr) != before) {
        if (attempt < 20) continue;
        Fail("no run was seeded within one second in 20 attempts");
      }
      // The rule pixel by pixel over the same walk, with the Windows rule's
      // draws from the run's seed.
      fakehost::WindowsSrand(static_cast<unsigned>(static_cast<uint32_t>(before)));
      for (int32_t top = 0; top < kHeight; top += kTile)
        for (int32_t left = 0; left < kWidth; left += kTile)
          for (int p = 0; p < kPlanes; ++p) {
            const int64_t at = int64_t(top) * kWidth + left;
            fakehost::ReferenceQuantize(expected[p].data() + at, kWidth, source[p].data() + at, kWidth, nullptr, 0,
                                        std::min<int32_t>(kTile, kHeight - top), std::min<int32_t>(kTile, kWidth - left),
                                        dither, kPlaneBits[p], fakehost::WindowsRand);
          }
      for (int p = 0; p < kPlanes; ++p)
        if (walked[p] != expected[p])
          Fail(std::string("the in-cache walk differs from the rule (dithering ") + (dither ? "on" : "off") +
               ") in plane " + std::to_string(p));
      break;
    }
  }
  InCacheHost host;
  host.document.height = kHeight;
  host.document.width = kWidth;
  std::vector<uint8_t> copied[kPlanes];
  for (int p = 0; p < kPlanes; ++p) {
    copied[p].assign(source[p].size(), 0);
    host.document.in.push_back(source[p].data());
    host.document.out.push_back(copied[p].data());
  }
  RunCopy(host, kTile);
  for (int p = 0; p < kPlanes; ++p)
    if (copied[p] != source[p]) Fail("the copy through the in-cache walk lost bytes of plane " + std::to_string(p));
}

}  // namespace bench
