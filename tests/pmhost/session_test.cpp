// pmhost's host session used as a front end other than pmhost's own would
// use it: one session on the real module, a document and a selection made in
// memory (no file read or written), and the outcome, the misuse log and the
// call log read back afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/HostApi.h"
#include "RunState.h"
#include "Session.h"

namespace {

using testing::Contains;
using testing::HasSubstr;

// A smooth RGB image, and a mask that selects its left half.
PlanarImage Gradient(int32_t w, int32_t h) {
  PlanarImage image;
  image.Allocate(w, h, 8, 3);
  for (int32_t p = 0; p < 3; ++p)
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) image.SetSample(p, x, y, uint32_t((x * 7 + y * 3 + p * 40) % 256));
  return image;
}

TEST(Session, RunsAnImageInMemoryAndGivesItsLogsBack) {
  SessionSetup setup;
  setup.modulePath = PIXELMOOR_MODULE;
  setup.services.registryFile = "";  // nothing kept after the run
  setup.watch.answerId = IDOK;
  setup.timeoutSeconds = 60;
  HostSession session;
  ASSERT_EQ(OpenSession(setup, session), kExitOk);
  ASSERT_NE(session.module.Pipl(), nullptr);

  const PlanarImage original = Gradient(64, 32);
  PlanarImage image = original;
  RunOptions options;
  options.quiet = true;
  options.tileWidth = 7;
  options.tileHeight = 5;
  options.maskImage.Allocate(64, 32, 8, 1);
  for (int32_t y = 0; y < 32; ++y)
    for (int32_t x = 0; x < 32; ++x) options.maskImage.SetSample(0, x, y, 255);
  ArmTimeout();  // a run that hangs ends the process (exit 7) instead of the test run
  const RunOutcome outcome = RunFilter(session.module.entry, session.module.Pipl(), image, options, session.window);
  DisarmTimeout();
  EXPECT_EQ(outcome.result, 0) << outcome.failedSelector;
  EXPECT_FALSE(outcome.refused || outcome.hostError) << outcome.message;

  // Inside the selection the filter converted, outside it nothing changed.
  int changedInside = 0, changedOutside = 0;
  for (int32_t p = 0; p < 3; ++p)
    for (int32_t y = 0; y < 32; ++y)
      for (int32_t x = 0; x < 64; ++x)
        (x < 32 ? changedInside : changedOutside) += image.Sample(p, x, y) != original.Sample(p, x, y);
  EXPECT_GT(changedInside, 0);
  EXPECT_EQ(changedOutside, 0);

  const std::vector<hostkit::Misuse> misuses = MisuseEntries();
  EXPECT_TRUE(misuses.empty()) << misuses.size() << " misuse(s), the first: " << misuses.front().what << " (in "
                               << misuses.front().call << ")";
  const std::vector<std::string> calls = CallLogLines();
  EXPECT_THAT(calls, Contains("PluginMain(start)"));
  EXPECT_THAT(calls, Contains(HasSubstr("advanceState")));
  EXPECT_EQ(LastHostCall(), calls.back());
  EXPECT_EQ(CloseSession(session, kExitOk), kExitOk);
}

// A module that copies what inData shows into outData (or writes what gWrite
// says, when set), for each range of planes in turn, and keeps what it was
// shown. With no range it asks for nothing and writes nothing.
struct PlaneRange {
  int16_t lo, hi;
};
std::vector<PlaneRange> gRanges;
size_t gRange = 0;
std::vector<std::vector<uint8_t>> gShown;  // per range: inData's rows, side by side
// The 8-bit sample to write for plane p at (x, y), instead of a copy.
uint8_t (*gWrite)(int32_t p, int32_t x, int32_t y) = nullptr;

void Request(FilterRecord* r) {
  if (gRange == gRanges.size()) {
    r->inRect = r->outRect = Rect{0, 0, 0, 0};
    return;
  }
  r->inRect = r->outRect = r->filterRect;
  r->inLoPlane = r->outLoPlane = gRanges[gRange].lo;
  r->inHiPlane = r->outHiPlane = gRanges[gRange].hi;
}

void CopyingModule(int16_t selector, void* record, intptr_t*, int16_t* result) {
  auto* r = static_cast<FilterRecord*>(record);
  *result = 0;
  if (selector == filterSelectorStart) {
    gRange = 0;
    gShown.clear();
    Request(r);
  } else if (selector == filterSelectorContinue) {
    const int32_t planes = gRanges[gRange].hi - gRanges[gRange].lo + 1;
    const int32_t width = r->filterRect.right - r->filterRect.left;
    const size_t rowBytes = size_t(width) * size_t(r->inPlaneBytes) * size_t(planes);
    std::vector<uint8_t> shown;
    for (int32_t y = 0; y < r->filterRect.bottom - r->filterRect.top; ++y) {
      const auto* in = static_cast<const uint8_t*>(r->inData) + y * r->inRowBytes;
      auto* out = static_cast<uint8_t*>(r->outData) + y * r->outRowBytes;
      shown.insert(shown.end(), in, in + rowBytes);
      std::memcpy(out, in, rowBytes);
      if (gWrite != nullptr)
        for (int32_t x = 0; x < width; ++x)
          for (int32_t q = 0; q < planes; ++q) out[x * planes + q] = gWrite(gRanges[gRange].lo + q, x, y);
    }
    gShown.push_back(shown);
    ++gRange;
    Request(r);
  }
}

struct MatteSession {
  HostSession session;
  PiplInfo pipl;
  MatteSession() {
    SessionSetup setup;
    setup.modulePath = PIXELMOOR_MODULE;
    setup.services.registryFile = "";
    setup.timeoutSeconds = 60;
    EXPECT_EQ(OpenSession(setup, session), kExitOk);
    pipl.hasCaseInfo = true;
    pipl.caseInfo[3] = FilterCaseInfo{4, 4, 0};  // RGBA without a selection: white matte in and out
  }
  ~MatteSession() { EXPECT_EQ(CloseSession(session, kExitOk), kExitOk); }
  RunOutcome Run(PlanarImage& image) {
    RunOptions options;
    options.quiet = true;
    return RunFilter(&CopyingModule, &pipl, image, options, session.window);
  }
};

// A module that leaves every sample as it was shown gives the image back
// exactly, whatever the matte the host mixed in for it; inData shows the
// colours with the matte mixed in by their alpha, plane by plane or
// interleaved. At 8 bits every pair of alpha and colour is there, with a
// ragged end; and a large image (worked on in two halves) comes back exactly
// from a module that writes nothing.
TEST(Session, TakesTheMatteOutExactlyWhereTheModuleLeftSamplesAsShown) {
  MatteSession host;
  gWrite = nullptr;
  const struct {
    int32_t depth, width, height;
    std::vector<PlaneRange> ranges;
  } kCases[] = {
      {8, 259, 257, {{0, 3}, {0, 0}, {1, 1}, {2, 2}, {3, 3}}},
      {16, 256, 3, {{0, 3}, {0, 0}, {1, 1}, {2, 2}, {3, 3}}},
      {8, 1031, 1030, {}},
  };
  for (const auto& size : kCases) {
    const int32_t depth = size.depth, w = size.width, h = size.height;
    const uint32_t max = depth == 16 ? 65535 : 255;
    PlanarImage original;
    original.Allocate(w, h, depth, 4);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        original.SetSample(3, x, y, depth == 16 ? uint32_t(x) * 257 + uint32_t(y) : uint32_t(x % 256));
        for (int32_t p = 0; p < 3; ++p)
          original.SetSample(p, x, y, depth == 16 ? (uint32_t(x) * 37 + uint32_t(y * 11 + p * 90) * 5) % (max + 1)
                                                  : uint32_t(y + p * 85) % 256);
      }
    gRanges = size.ranges;
    PlanarImage image = original;
    const RunOutcome outcome = host.Run(image);
    const std::string what = std::to_string(depth) + " bits, " + std::to_string(w) + " x " + std::to_string(h);
    ASSERT_EQ(outcome.result, 0) << what;
    ASSERT_FALSE(outcome.refused || outcome.hostError) << what << ": " << outcome.message;
    ASSERT_EQ(gShown.size(), gRanges.size()) << what;
    for (int32_t p = 0; p < 4; ++p)
      EXPECT_TRUE(image.planes[size_t(p)] == original.planes[size_t(p)]) << what << ": plane " << p << " changed";
    const size_t bps = size_t(depth / 8);
    for (size_t k = 0; k < gRanges.size(); ++k) {
      const int32_t planes = gRanges[k].hi - gRanges[k].lo + 1;
      int wrong = 0;
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
          for (int32_t q = 0; q < planes; ++q) {
            const int32_t p = gRanges[k].lo + q;
            const uint64_t c = original.Sample(p, x, y), a = original.Sample(3, x, y);
            const uint64_t want = p == 3 || a == max ? c : (c * a + max * (max - a) + max / 2) / max;
            const size_t at = ((size_t(y) * size_t(w) + size_t(x)) * size_t(planes) + size_t(q)) * bps;
            uint16_t got16 = 0;
            if (bps == 2) std::memcpy(&got16, &gShown[k][at], 2);
            const uint64_t got = bps == 2 ? got16 : gShown[k][at];
            wrong += got != want;
          }
      EXPECT_EQ(wrong, 0) << what << ": planes " << gRanges[k].lo << " to " << gRanges[k].hi
                          << " shown without the matte mixed in as it should be";
    }
  }
}

// What a module wrote over the white matte comes back by the matte's inverse,
// (s 255 - 255 (255 - a) + a / 2) / a truncated and held to 0..255, for every
// pair of the alpha it wrote and the colour it wrote; opaque samples stand as
// written, transparent ones and those written as shown get the original back.
TEST(Session, TakesTheMatteOutOfWhatTheModuleWroteByItsInverse) {
  MatteSession host;
  const int32_t w = 259, h = 257;  // every pair, and a ragged end
  PlanarImage original;
  original.Allocate(w, h, 8, 4);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int32_t p = 0; p < 4; ++p) original.SetSample(p, x, y, uint32_t(x * 3 + y * 5 + p * 101) % 256);
  gRanges = {{0, 3}};
  gWrite = [](int32_t p, int32_t x, int32_t y) { return static_cast<uint8_t>(p == 3 ? x % 256 : (y + p * 85) % 256); };
  PlanarImage image = original;
  const RunOutcome outcome = host.Run(image);
  gWrite = nullptr;
  ASSERT_EQ(outcome.result, 0);
  int wrong = 0, unmatted = 0;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int32_t p = 0; p < 3; ++p) {
        const int64_t a = x % 256, s = (y + p * 85) % 256, c = original.Sample(p, x, y), ca = original.Sample(3, x, y);
        const int64_t shown = (c * ca + 255 * (255 - ca) + 127) / 255;
        int64_t want = s;
        if (a == 0 || (a < 255 && s == shown)) {
          want = c;
        } else if (a < 255) {
          want = std::clamp<int64_t>((s * 255 - 255 * (255 - a) + a / 2) / a, 0, 255);
          ++unmatted;
        }
        wrong += int64_t(image.Sample(p, x, y)) != want;
      }
  EXPECT_EQ(wrong, 0) << "of " << w * h * 3 << " samples (" << unmatted << " by the inverse)";
}

// The count of changed samples that pmhost reports covers both halves of a
// large image (worked on by two threads) and every plane.
TEST(Session, CountsTheChangedSamplesOfALargeImageEverywhere) {
  PlanarImage a, b;
  a.Allocate(1031, 1030, 8, 2);
  b = a;
  b.SetSample(0, 0, 0, 1);
  b.SetSample(1, 1030, 1029, 2);
  b.SetSample(0, 515, 514, 3);
  b.SetSample(1, 1, 1000, 4);
  EXPECT_EQ(pmsession::CountChanged(a, b), 4u);
}

}  // namespace
