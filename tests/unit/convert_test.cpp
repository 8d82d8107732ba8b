// The tile driver through the fake host: tile order and progress, cancel and
// host errors, bad tile sizes, depths and plane counts, masks, both
// rectangle forms, and hosts that deliver something other than was asked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DrawSources.h"
#include "FakeHost.h"
#include "FakeHostTest.h"
#include "QuantizeReference.h"
#include "convert/RandomStream.h"

namespace {

using fakehost::Ev;
using fakehost::FakeHost;
using fakehost::Options;
using testing::IsEmpty;

constexpr int kBits[4] = {5, 6, 5, 8};

std::string Tile(const VRect& r) {
  return "(" + std::to_string(r.top) + "," + std::to_string(r.left) + "," + std::to_string(r.bottom) + "," +
         std::to_string(r.right) + ")";
}

// A destination that differs from the source, and a mask of 0, 1 and 255 in
// turn.
void MarkDestinationAndMask(FakeHost& host) {
  for (auto& b : host.destination()) b = static_cast<uint8_t>(b ^ 0x5A);
  for (size_t i = 0; i < host.mask().size(); ++i) host.mask()[i] = i % 3 == 0 ? 0 : i % 3 == 1 ? 1 : 255;
}

// What the module asked of the host during start, one line per callback.
std::vector<std::string> Trace(const FakeHost& host) {
  std::vector<std::string> lines;
  for (const auto& e : host.events()) {
    if (e.kind == Ev::AdvanceState)
      lines.push_back("plane " + std::to_string(e.inLo) + " " + Tile(e.in) + Tile(e.out) + Tile(e.mask));
    else if (e.kind == Ev::Progress)
      lines.push_back("progress " + std::to_string(e.a) + "/" + std::to_string(e.b));
    else if (e.kind == Ev::Abort)
      lines.push_back("abort");
  }
  return lines;
}

// Parameters with the given dithering, prepare; the host is then ready for
// start. Events are cleared so that they show start alone.
void Prepare(FakeHost& host, uint8_t dithering) {
  ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
  *host.ParameterByte() = dithering;
  ASSERT_EQ(host.Call(filterSelectorPrepare), noErr);
  host.ClearEvents();
}

// rand() as the reference replay draws it, counted.
int (*gReplayDraw)() = fakehost::StandardRand;
int64_t gReplayDraws = 0;
int CountedReplayDraw() {
  ++gReplayDraws;
  return gReplayDraw();
}

// A run replayed with the reference quantiser on the host's source and on
// `start`, the destination as it was before the run: tiles in
// row order, planes 0 to 3 converted, later planes untouched; it stops where
// the host's nth advanceState fails (`failAt`) or after the nth tile's cancel
// check answers yes (`cancelAfter`), 0 for never; `progress` false for a host
// without progressProc.
struct Replay {
  std::vector<uint8_t> destination;
  std::vector<int64_t> drawsBefore;  // draws made before each call into the host
};

Replay ReplayRun(FakeHost& host, const std::vector<uint8_t>& start, VRect filter, int tileHeight, int tileWidth,
                 bool dither, int (*draw)(), int failAt = 0, int cancelAfter = 0, bool progress = true) {
  const Options& o = host.options();
  Replay replay{start, {}};
  gReplayDraw = draw;
  gReplayDraws = 0;
  const size_t planeSize = size_t(o.width) * size_t(o.height);
  int advances = 0, tiles = 0;
  for (int32_t top = filter.top; top < filter.bottom; top += tileHeight) {
    for (int32_t left = filter.left; left < filter.right; left += tileWidth) {
      const int32_t h = std::min(top + tileHeight, filter.bottom) - top;
      const int32_t w = std::min(left + tileWidth, filter.right) - left;
      const size_t at = size_t(top) * size_t(o.width) + size_t(left);
      for (int p = 0; p < o.planes; ++p) {
        replay.drawsBefore.push_back(gReplayDraws);
        if (++advances == failAt) return replay;
        if (p >= 4) continue;
        fakehost::ReferenceQuantize(replay.destination.data() + p * planeSize + at, o.width,
                                    host.source().data() + p * planeSize + at, o.width,
                                    host.mask().empty() ? nullptr : host.mask().data() + at, o.width, h, w, dither,
                                    kBits[p], CountedReplayDraw);
      }
      if (progress) replay.drawsBefore.push_back(gReplayDraws);  // progress
      replay.drawsBefore.push_back(gReplayDraws);  // cancel check
      if (++tiles == cancelAfter) return replay;
    }
  }
  return replay;
}

std::vector<uint8_t> ExpectedDestination(FakeHost& host, const std::vector<uint8_t>& start, VRect filter,
                                         int tileHeight, int tileWidth, bool dither, unsigned seed) {
  std::srand(seed);
  return ReplayRun(host, start, filter, tileHeight, tileWidth, dither, fakehost::StandardRand).destination;
}

class Convert : public fakehost::FakeHostTest {
 protected:
  // The 37 x 45 document in 16 x 20 tiles that the whole-run comparisons walk
  // (cut tiles at the bottom and the right); `adjust` sets the rest.
  FakeHost& MakeWalk(int16_t planes, bool mask, const std::function<void(Options&)>& adjust) {
    Options options;
    options.height = 37;
    options.width = 45;
    options.planes = planes;
    options.tileHeight = 16;
    options.tileWidth = 20;
    options.haveMask = mask;
    adjust(options);
    return Make(options);
  }
};

// Tiles walk row by row, each plane is requested alone with the same input,
// output and mask rectangle, and every tile ends with progress and a cancel
// check; the last row and column are cut to the filter rectangle.
TEST_F(Convert, WalksTilesInRowOrderWithProgress) {
  struct Case {
    VRect filter;
    int16_t tileHeight, tileWidth;
    std::vector<VRect> tiles;
  };
  const Case cases[] = {
      {{0, 0, 100, 100}, 64, 64, {{0, 0, 64, 64}, {0, 64, 64, 100}, {64, 0, 100, 64}, {64, 64, 100, 100}}},
      {{10, 20, 110, 220},
       64,
       128,
       {{10, 20, 74, 148}, {10, 148, 74, 220}, {74, 20, 110, 148}, {74, 148, 110, 220}}},
      {{0, 0, 40, 60}, 20, 30, {{0, 0, 20, 30}, {0, 30, 20, 60}, {20, 0, 40, 30}, {20, 30, 40, 60}}},
      // Three rows of two tiles: the progress total is rows times columns (6),
      // which a square grid cannot tell from rows plus columns.
      {{0, 0, 60, 60},
       20,
       30,
       {{0, 0, 20, 30}, {0, 30, 20, 60}, {20, 0, 40, 30}, {20, 30, 40, 60}, {40, 0, 60, 30}, {40, 30, 60, 60}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Tile(c.filter));
    Options options;
    options.height = 120;
    options.width = 230;
    options.planes = 2;
    options.haveMask = true;
    options.tileHeight = c.tileHeight;
    options.tileWidth = c.tileWidth;
    FakeHost& host = Make(options);
    host.SetFilterRect(c.filter);
    Prepare(host, 0);
    const std::vector<uint8_t> start = host.destination();
    ASSERT_EQ(host.Call(filterSelectorStart), noErr);

    std::vector<std::string> expected;
    int done = 0;
    for (const VRect& t : c.tiles) {
      for (int p = 0; p < 2; ++p) expected.push_back("plane " + std::to_string(p) + " " + Tile(t) + Tile(t) + Tile(t));
      expected.push_back("progress " + std::to_string(++done) + "/" + std::to_string(c.tiles.size()));
      expected.push_back("abort");
    }
    EXPECT_EQ(Trace(host), expected);
    for (const auto& e : host.EventsOf(Ev::AdvanceState)) EXPECT_TRUE(e.inLo == e.inHi && e.outLo == e.inLo && e.outHi == e.inLo);
    EXPECT_EQ(host.record()->inputRate, 0x10000);
    EXPECT_EQ(host.record()->maskRate, 0x10000);
    EXPECT_EQ(host.destination(), ExpectedDestination(host, start, c.filter, c.tileHeight, c.tileWidth, false, 0));
  }
}

// The filter rectangle is read afresh for every tile, and a host may shrink it
// while the run goes on. Tiles of the walk left with no pixel of it are not
// asked for (an inside-out rectangle would reach the host, and in the 16-bit
// members its coordinates wrap: a tile starting at row 32768 reads as -32768),
// yet they count in the progress, whose total was given at the start.
TEST_F(Convert, TilesAShrunkFilterRectLeavesEmptyAreNotRequested) {
  // Shrunk across rows, the second row of tiles is left empty; across
  // columns, the second column (each tile then starts right of where the
  // rectangle now ends).
  struct Case {
    const char* name;
    VRect shrunk;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"rows",
       VRect{0, 0, 10, 30},
       {"plane 0 (0,0,20,20)(0,0,20,20)(0,0,0,0)", "progress 1/4", "abort",
        "plane 0 (0,20,10,30)(0,20,10,30)(0,0,0,0)", "progress 2/4", "abort", "progress 3/4", "abort",
        "progress 4/4", "abort"}},
      {"columns",
       VRect{0, 0, 30, 10},
       {"plane 0 (0,0,20,20)(0,0,20,20)(0,0,0,0)", "progress 1/4", "abort", "progress 2/4", "abort",
        "plane 0 (20,0,30,10)(20,0,30,10)(0,0,0,0)", "progress 3/4", "abort", "progress 4/4", "abort"}},
  };
  static VRect shrunk;
  for (const Case& c : cases) {
    for (const bool bigDocument : {true, false}) {
      SCOPED_TRACE(testing::Message() << "shrunk across " << c.name << ", "
                                      << (bigDocument ? "32-bit rectangles" : "16-bit rectangles"));
      Options options;
      options.height = options.width = 40;
      options.planes = 1;
      options.tileHeight = options.tileWidth = 20;
      options.bigDocument = bigDocument;
      FakeHost& host = Make(options);
      host.SetFilterRect(VRect{0, 0, 40, 40});
      Prepare(host, 0);
      shrunk = c.shrunk;
      host.record()->advanceState = [] {
        FakeHost::Current()->SetFilterRect(shrunk);
        return FakeHost::AdvanceState();
      };
      ASSERT_EQ(host.Call(filterSelectorStart), noErr);
      EXPECT_EQ(Trace(host), c.expected);
    }
  }
}

// A filter rectangle over the whole 32-bit range in tiles of one pixel holds
// 2^64 tiles: the progress total is clamped to the largest int32, computed
// without overflowing (under UBSan an overflow ends the test program). The
// host cancels at the first check.
TEST_F(Convert, ProgressTotalOfTheWholeInt32RangeIsClamped) {
  Options options;
  options.height = options.width = 4;
  options.planes = 0;  // nothing is delivered: only progress and the cancel check
  options.tileHeight = options.tileWidth = 1;
  options.abortAfterTiles = 1;
  FakeHost& host = Make(options);
  host.SetFilterRect(VRect{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX});
  Prepare(host, 0);
  EXPECT_EQ(host.Call(filterSelectorStart), userCanceledErr);
  const std::vector<std::string> expected = {"progress 1/" + std::to_string(INT32_MAX), "abort"};
  EXPECT_EQ(Trace(host), expected);
}

// The run seeds from the clock in seconds, so a test that must know the seed
// tries again when a second boundary falls inside the run. A run takes a
// good part of a second where the tests run emulated (aarch64 under qemu,
// with the sanitizers, on a loaded machine): a few tries are not enough.
constexpr int kClockAttempts = 10;

// The output of a whole run equals the reference replayed with the same seed,
// dithering on: the random draws come one per converted pixel, in tile, plane
// and row order, and planes 4 and up are delivered, left alone and draw
// nothing. Row padding, both rectangle forms and a mask of 0, 1 and 255 are
// varied; the destination starts unlike the source, so a masked pixel must
// keep the host's byte.
TEST_F(Convert, WholeRunMatchesTheReferenceWithTheSameSeed) {
  struct Case {
    bool bigDocument, mask;
    int16_t planes;
    int32_t rowPadding;
  };
  for (const Case c : {Case{true, false, 4, 5}, Case{false, true, 3, 0}, Case{true, true, 6, 64}}) {
    SCOPED_TRACE(testing::Message() << "big " << c.bigDocument << " mask " << c.mask << " planes " << c.planes);
    bool compared = false;
    // The run seeds from the clock in seconds; retry if a second boundary
    // falls inside the run.
    for (int attempt = 0; attempt < kClockAttempts && !compared; ++attempt) {
      FakeHost& host = MakeWalk(c.planes, c.mask, [&](Options& o) {
        o.bigDocument = c.bigDocument;
        o.rowPadding = c.rowPadding;
      });
      MarkDestinationAndMask(host);
      const VRect filter{3, 4, 37, 44};
      host.SetFilterRect(filter);
      Prepare(host, 1);
      const std::vector<uint8_t> start = host.destination();
      const std::time_t before = std::time(nullptr);
      ASSERT_EQ(host.Call(filterSelectorStart), noErr);
      const std::time_t after = std::time(nullptr);
      if (before != after) continue;
      const auto seed = static_cast<unsigned>(static_cast<uint32_t>(before));
      const std::vector<uint8_t> expected = ExpectedDestination(host, start, filter, 16, 20, true, seed);
      EXPECT_EQ(host.destination(), expected);
      for (const auto& e : host.EventsOf(Ev::AdvanceState)) EXPECT_EQ(e.rects32, c.bigDocument);
      EXPECT_EQ(host.EventsOf(Ev::AdvanceState).size(), size_t(6 * c.planes));
      compared = true;
    }
    EXPECT_TRUE(compared) << "the clock ticked during every attempt";
  }
}

// Installs the fake host's advanceState, progressProc and abortProc with
// `Hook` run first in each.
template <void (*Hook)()>
void HookHostCalls(FakeHost& host) {
  host.record()->advanceState = [] {
    Hook();
    return FakeHost::AdvanceState();
  };
  host.record()->progressProc = [](int32_t done, int32_t total) {
    Hook();
    FakeHost::ProgressProc(done, total);
  };
  host.record()->abortProc = [] {
    Hook();
    return FakeHost::AbortProc();
  };
}

// Every call into the host reads the C runtime's generator through these
// wrappers: the number that rand() would give there, the generator then put
// back where the reference has it (so that reading changes nothing), and
// whether the run drew from the private copy.
struct GeneratorAtCalls {
  static inline CRuntimeRandom generator{};
  static inline unsigned seed = 0;
  static inline std::vector<int64_t> drawsBefore;
  static inline std::vector<int> seen;
  static inline bool copying = false;

  static void Read() {
    const size_t call = seen.size();
    seen.push_back(generator.draw());
    generator.seed(seed);
    for (int64_t k = 0; call < drawsBefore.size() && k < drawsBefore[call]; ++k) generator.draw();
    copying = DitherRandom().copying();
  }
};

// The number the generator gives after `draws` draws from `seed`.
int DrawAfter(const CRuntimeRandom& generator, unsigned seed, int64_t draws) {
  generator.seed(seed);
  for (int64_t k = 0; k < draws; ++k) generator.draw();
  return generator.draw();
}

// At every call into the host and after the run, however it ends, the C
// runtime's generator stands where one rand() per dithered pixel leaves it:
// with the private copy (under Windows, and on the model of its generator)
// and with every draw a rand() call (natively, and with the copy switched
// off). The output is the reference's up to where the run stopped.
TEST_F(Convert, GeneratorStandsWhereTheLiteralCallsLeaveItAtEveryHostCall) {
  using drawsources::Source;
  struct Case {
    const char* name;
    int16_t planes;
    bool mask;
    int failAt, cancelAfter;
    bool progress;
  };
  // Without progressProc the cancel check is the only call into the host
  // between tiles: the generator must be handed back before it as well.
  const Case cases[] = {
      {"complete run, 6 planes, mask", 6, true, 0, 0, true},
      {"cancel after tile 4", 4, false, 0, 4, true},
      {"advanceState error on plane 2 of tile 6", 4, true, 23, 0, true},
      {"no progressProc, cancel after tile 4", 4, true, 0, 4, false},
  };
  for (const Source source : {Source::kRunOnCRuntime, Source::kRunCopyOff, Source::kRunOnModel}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << drawsources::NameOf(source) << ", " << c.name);
      const drawsources::StreamSetUp setUp(source);
      const CRuntimeRandom generator = drawsources::GeneratorOf(source);
      bool compared = false;
      // The run seeds from the clock in seconds; retry if a second boundary
      // falls inside the run.
      for (int attempt = 0; attempt < kClockAttempts && !compared; ++attempt) {
        FakeHost& host = MakeWalk(c.planes, c.mask, [&](Options& o) {
          o.advanceFailsAt = c.failAt;
          o.advanceError = -4321;
          o.abortAfterTiles = c.cancelAfter;
        });
        host.FillSource(77);
        MarkDestinationAndMask(host);
        const VRect filter{0, 0, 37, 45};
        const std::vector<uint8_t> start = host.destination();
        const Replay counts =
            ReplayRun(host, start, filter, 16, 20, true, generator.draw, c.failAt, c.cancelAfter, c.progress);
        Prepare(host, 1);
        HookHostCalls<GeneratorAtCalls::Read>(host);
        if (!c.progress) host.record()->progressProc = nullptr;
        GeneratorAtCalls::generator = generator;
        GeneratorAtCalls::drawsBefore = counts.drawsBefore;
        GeneratorAtCalls::seen.clear();
        const std::time_t before = std::time(nullptr);
        GeneratorAtCalls::seed = static_cast<unsigned>(static_cast<uint32_t>(before));
        const int16_t result = host.Call(filterSelectorStart);
        const int next = generator.draw();
        const std::time_t after = std::time(nullptr);
        if (before != after) continue;
        compared = true;

        const unsigned seed = GeneratorAtCalls::seed;
        EXPECT_EQ(result, c.failAt != 0 ? -4321 : c.cancelAfter != 0 ? userCanceledErr : noErr);
        EXPECT_EQ(GeneratorAtCalls::copying, drawsources::CopiesTheGenerator(source));
        generator.seed(seed);
        const Replay expected =
            ReplayRun(host, start, filter, 16, 20, true, generator.draw, c.failAt, c.cancelAfter, c.progress);
        EXPECT_EQ(host.destination(), expected.destination);
        ASSERT_EQ(GeneratorAtCalls::seen.size(), expected.drawsBefore.size()) << "calls into the host";
        for (size_t call = 0; call < expected.drawsBefore.size(); ++call)
          EXPECT_EQ(GeneratorAtCalls::seen[call], DrawAfter(generator, seed, expected.drawsBefore[call]))
              << "at call " << call << " into the host";
        EXPECT_EQ(next, DrawAfter(generator, seed, expected.drawsBefore.back())) << "after the run";
      }
      EXPECT_TRUE(compared) << "the clock ticked during every attempt";
    }
  }
}

// A host that draws from the C runtime's generator inside its callbacks,
// in a run without dithering: the module draws nothing, so the host's draws
// stand after the run as they would with the literal calls (the module does
// not seed over them).
struct DrawingHost {
  static inline CRuntimeRandom generator{};
  static inline int64_t draws = 0;
  static void Draw() {
    generator.draw();
    ++draws;
  }
};

TEST_F(Convert, HostDrawsInsideCallbacksStandWhenTheRunDrawsNothing) {
  using drawsources::Source;
  for (const Source source : {Source::kRunOnCRuntime, Source::kRunCopyOff, Source::kRunOnModel}) {
    SCOPED_TRACE(drawsources::NameOf(source));
    const drawsources::StreamSetUp setUp(source);
    const CRuntimeRandom generator = drawsources::GeneratorOf(source);
    bool compared = false;
    for (int attempt = 0; attempt < kClockAttempts && !compared; ++attempt) {
      Options options;
      options.height = 40;
      options.width = 40;
      options.planes = 4;
      options.tileHeight = 16;
      options.tileWidth = 16;
      FakeHost& host = Make(options);
      Prepare(host, 0);
      HookHostCalls<DrawingHost::Draw>(host);
      DrawingHost::generator = generator;
      DrawingHost::draws = 0;
      const std::time_t before = std::time(nullptr);
      ASSERT_EQ(host.Call(filterSelectorStart), noErr);
      const int next = generator.draw();
      if (std::time(nullptr) != before) continue;
      compared = true;
      EXPECT_EQ(DrawingHost::draws, 9 * (4 + 2));
      EXPECT_EQ(next, DrawAfter(generator, static_cast<unsigned>(static_cast<uint32_t>(before)), DrawingHost::draws));
    }
    EXPECT_TRUE(compared) << "the clock ticked during every attempt";
  }
}

TEST_F(Convert, CancelAfterTheFirstTileStopsTheRun) {
  Options options;
  options.height = 100;
  options.width = 100;
  options.abortAfterTiles = 1;
  FakeHost& host = Make(options);
  Prepare(host, 0);
  EXPECT_EQ(host.Call(filterSelectorStart), userCanceledErr);
  EXPECT_EQ(host.EventsOf(Ev::Progress).size(), 1u);
  EXPECT_EQ(host.EventsOf(Ev::AdvanceState).size(), 3u);
  EXPECT_EQ(host.Destination(0, 70, 70), host.Source(0, 70, 70)) << "later tiles are not requested";
}

// The dithering choice lives in the parameter block, host memory that a host
// may rewrite while the run goes on: it is read afresh for every plane. Here
// the host clears it when it delivers plane 1: plane 0 is dithered, planes 1
// and 2 are plainly truncated.
TEST_F(Convert, DitheringIsReadAfreshForEveryPlane) {
  Options options;
  options.height = options.width = 40;
  options.planes = 3;
  FakeHost& host = Make(options);
  for (auto& b : host.source()) b = 101;
  Prepare(host, 1);
  static int advances;
  advances = 0;
  host.record()->advanceState = [] {
    if (++advances == 2) *FakeHost::Current()->ParameterByte() = 0;
    return FakeHost::AdvanceState();
  };
  ASSERT_EQ(host.Call(filterSelectorStart), noErr);
  ASSERT_EQ(advances, 3);
  int raised = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) {
      raised += host.Destination(0, y, x) != 96;
      EXPECT_EQ(host.Destination(1, y, x), 100) << y << "," << x;
      EXPECT_EQ(host.Destination(2, y, x), 96) << y << "," << x;
    }
  EXPECT_GT(raised, 0) << "plane 0 was not dithered";
}

// Any code other than 0 from advanceState stops the run and is passed on,
// positive ones as well as negative ones.
TEST_F(Convert, AdvanceStateErrorIsPassedOnAtOnce) {
  for (const OSErr error : {OSErr(-4321), OSErr(1), OSErr(0x7123)}) {
    SCOPED_TRACE(testing::Message() << "advanceState answers " << error);
    Options options;
    options.advanceFailsAt = 3;  // plane 2 of the first tile
    options.advanceError = error;
    FakeHost& host = Make(options);
    for (auto& b : host.source()) b = 101;
    host.destination() = host.source();
    Prepare(host, 0);
    EXPECT_EQ(host.Call(filterSelectorStart), error);
    EXPECT_EQ(host.EventsOf(Ev::Progress).size(), 0u);
    EXPECT_EQ(host.EventsOf(Ev::AdvanceState).size(), 3u);
    EXPECT_EQ(host.Destination(0, 0, 0), 96);
    EXPECT_EQ(host.Destination(1, 0, 0), 100);
    EXPECT_EQ(host.Destination(2, 0, 0), 101);
    EXPECT_THAT(host.Misuse(), IsEmpty());
  }
}

// A tile size of 0 or below cannot walk the image: -30100 and nothing asked
// of the host, no hang.
TEST_F(Convert, UnusableTileSizeRequestsNothing) {
  const int16_t sizes[][2] = {{0, 64}, {64, 0}, {-30, 64}, {64, -1}, {-32768, -32768}};
  for (const auto& size : sizes) {
    Options options;
    options.tileHeight = size[0];
    options.tileWidth = size[1];
    FakeHost& host = Make(options);
    Prepare(host, 1);
    EXPECT_EQ(host.Call(filterSelectorStart), filterBadParameters) << size[0] << "x" << size[1];
    EXPECT_THAT(Trace(host), IsEmpty());
    EXPECT_EQ(host.record()->inputRate, 0);
    EXPECT_EQ(host.bigDocument()->inRect32.bottom, 0);
    EXPECT_EQ(host.destination(), host.source());
  }
}

// Depths other than 8 and a plane count of 0 pass through: every tile is
// still walked and reported, and no pixel changes.
TEST_F(Convert, OtherDepthsAndNoPlanesPassThrough) {
  struct Case {
    int32_t depth;
    int16_t planes;
    size_t advances;
  };
  for (const Case c : {Case{16, 3, 12}, Case{32, 3, 12}, Case{8, 0, 0}}) {
    Options options;
    options.height = 20;
    options.width = 20;
    options.tileHeight = 10;
    options.tileWidth = 10;
    options.depth = c.depth;
    options.planes = c.planes;
    FakeHost& host = Make(options);
    Prepare(host, 1);
    EXPECT_EQ(host.Call(filterSelectorStart), noErr) << "depth " << c.depth << " planes " << c.planes;
    EXPECT_EQ(host.EventsOf(Ev::AdvanceState).size(), c.advances);
    EXPECT_EQ(host.EventsOf(Ev::Progress).size(), 4u);
    EXPECT_EQ(host.destination(), host.source());
  }
}

// Coordinates past the 16-bit range travel in the 32-bit members; the 16-bit
// requests are left as the host put them.
TEST_F(Convert, LargeDocumentUsesThe32BitRectangles) {
  Options options;
  options.height = 3;
  options.width = 40010;
  options.planes = 1;
  options.tileWidth = 8;
  FakeHost& host = Make(options);
  host.source().assign(host.source().size(), 100);
  host.destination() = host.source();
  host.SetFilterRect(VRect{0, 40000, 3, 40010});
  Prepare(host, 0);
  ASSERT_EQ(host.Call(filterSelectorStart), noErr);
  const auto advances = host.EventsOf(Ev::AdvanceState);
  ASSERT_EQ(advances.size(), 2u);
  EXPECT_TRUE(advances[0].rects32);
  EXPECT_EQ(Tile(advances[0].out), "(0,40000,3,40008)");
  EXPECT_EQ(Tile(advances[1].out), "(0,40008,3,40010)");
  EXPECT_EQ(host.record()->outRect.right, 0);
  EXPECT_EQ(host.Destination(0, 2, 40009), 96);
  EXPECT_EQ(host.Destination(0, 2, 39999), 100);
}

// A host that claims more than was asked (a larger output rectangle) gets its
// tile converted and nothing written outside its buffers; one whose row bytes
// are narrower than the tile or whose buffers are missing gets -30100 and an
// untouched image. A missing mask means "no mask": every pixel converts.
TEST_F(Convert, HostsThatDeliverOtherThanAskedAreNeverOverrun) {
  enum Lie { Grown, Grown16, ShortRows, NullIn, NullOut, NullMask };
  for (const Lie lie : {Grown, Grown16, ShortRows, NullIn, NullOut, NullMask}) {
    SCOPED_TRACE(static_cast<int>(lie));
    Options options;
    options.height = 12;
    options.width = 12;
    options.planes = 1;
    options.haveMask = true;
    options.bigDocument = lie != Grown16;
    options.tileHeight = 8;
    options.tileWidth = 8;
    options.rowPadding = 2;
    FakeHost& host = Make(options);
    host.source().assign(host.source().size(), 101);
    host.destination() = host.source();
    host.mask().assign(host.mask().size(), 0);
    host.mask()[0] = 1;
    switch (lie) {
      case Grown: case Grown16: host.lies().outRectGrowth = 3; break;
      case ShortRows: host.lies().rowBytesShort = 1; break;
      case NullIn: host.lies().nullIn = true; break;
      case NullOut: host.lies().nullOut = true; break;
      case NullMask: host.lies().nullMask = true; break;
    }
    Prepare(host, 0);
    const int16_t code = host.Call(filterSelectorStart);
    if (lie == Grown || lie == Grown16) {
      EXPECT_EQ(code, noErr);
      EXPECT_EQ(host.Destination(0, 0, 0), 96);
      EXPECT_EQ(host.Destination(0, 0, 1), 101) << "masked out";
    } else if (lie == NullMask) {
      EXPECT_EQ(code, noErr);
      EXPECT_EQ(host.Destination(0, 11, 11), 96);
    } else {
      EXPECT_EQ(code, filterBadParameters);
      EXPECT_EQ(host.destination(), host.source());
      EXPECT_EQ(host.EventsOf(Ev::Progress).size(), 0u);
    }
  }
}

}  // namespace
