// pmhost's host session used as a front end other than pmhost's own would
// use it: one session on the real module, a document and a selection made in
// memory (no file read or written), and the outcome, the misuse log and the
// call log read back afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
