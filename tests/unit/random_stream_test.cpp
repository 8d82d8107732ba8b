// The source of the dithering draws: the jump-ahead arithmetic, the check of
// the C runtime's rule, and what a run leaves in the C runtime's generator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "DrawSources.h"
#include "QuantizeReference.h"
#include "convert/RandomStream.h"

namespace {

uint32_t StepOnce(uint32_t state) { return state * 214013u + 2531011u; }

// Jumps against stepping one by one, from two states at once (an affine map
// is pinned down by two points), for distances in increasing order.
TEST(RandomStream, JumpAheadMatchesSteppingOneByOne) {
  const uint64_t distances[] = {0,  1,  2,    7,    8,    9,     15,    16, 17, 31, 32, 33, 255, 256,
                                1023, 1024, 65535, 65537, 1000003, (uint64_t{1} << 31) + 5};
  const uint32_t starts[2] = {0u, 0x9E3779B9u};
  uint32_t stepped[2] = {starts[0], starts[1]};
  uint64_t at = 0;
  for (const uint64_t distance : distances) {
    for (; at < distance; ++at) {
      stepped[0] = StepOnce(stepped[0]);
      stepped[1] = StepOnce(stepped[1]);
    }
    const lcg::Jump jump = lcg::JumpOf(distance);
    EXPECT_EQ(jump.Apply(starts[0]), stepped[0]) << "distance " << distance;
    EXPECT_EQ(jump.Apply(starts[1]), stepped[1]) << "distance " << distance;
  }
  // The period is 2^32: past it, only the distance modulo 2^32 counts.
  for (const uint32_t start : starts) {
    EXPECT_EQ(lcg::JumpOf(uint64_t{1} << 32).Apply(start), start);
    EXPECT_EQ(lcg::JumpOf((uint64_t{1} << 32) + 9).Apply(start), lcg::JumpOf(9).Apply(start));
    EXPECT_EQ(lcg::JumpOf((uint64_t{1} << 32) - 1).Apply(StepOnce(start)), start) << "one step short of the period";
    EXPECT_EQ(lcg::JumpOf(UINT64_MAX).Apply(StepOnce(start)), start);
  }
}

// Generators that differ from the rule, each in one way.
uint32_t gState = 1;
void KeepSeed(unsigned seed) { gState = seed; }
void IgnoreSeed(unsigned) { gState = 1; }
void KeepLow16BitsOfSeed(unsigned seed) { gState = seed & 0xFFFFu; }
// A seed kept in 30 bits: the seeds the module runs from (seconds since 1970,
// past 2^30 since 2004) lose bit 30, so every draw differs from the rule;
// only a probe seed with bit 30 set can tell.
void KeepLow30BitsOfSeed(unsigned seed) { gState = seed & 0x3FFFFFFFu; }
int OtherMultiplier() {  // the C standard's example generator
  gState = gState * 1103515245u + 12345u;
  return static_cast<int>((gState >> 16) & 0x7FFF);
}
int SixteenBitOutput() {
  gState = StepOnce(gState);
  return static_cast<int>((gState >> 16) & 0xFFFF);
}
int OutputBeforeStepping() {
  const uint32_t before = gState;
  gState = StepOnce(gState);
  return static_cast<int>((before >> 16) & 0x7FFF);
}
int gDrawsSinceSeed = 0;
void SeedAndCount(unsigned seed) {
  gState = seed;
  gDrawsSinceSeed = 0;
}
int PartsAfterTwentyDraws() {
  gState = StepOnce(gState);
  const int r = static_cast<int>((gState >> 16) & 0x7FFF);
  return ++gDrawsSinceSeed > 20 ? r ^ 1 : r;
}
int TheRule() {
  gState = StepOnce(gState);
  return static_cast<int>((gState >> 16) & 0x7FFF);
}

TEST(RandomStream, RuleCheckAcceptsTheRuleAndNothingElse) {
  struct Case {
    const char* name;
    CRuntimeRandom generator;
    bool follows;
  };
  const Case cases[] = {
      {"the rule", {KeepSeed, TheRule}, true},
      {"the test's model of msvcrt", {fakehost::WindowsSrand, fakehost::WindowsRand}, true},
      {"another multiplier and increment", {KeepSeed, OtherMultiplier}, false},
      {"16-bit output", {KeepSeed, SixteenBitOutput}, false},
      {"output taken before stepping", {KeepSeed, OutputBeforeStepping}, false},
      {"seed ignored", {IgnoreSeed, TheRule}, false},
      {"seed cut to 16 bits", {KeepLow16BitsOfSeed, TheRule}, false},
      {"seed cut to 30 bits", {KeepLow30BitsOfSeed, TheRule}, false},
      {"parts from the rule after 20 draws", {SeedAndCount, PartsAfterTwentyDraws}, false},
#ifdef _WIN32
      {"this C runtime (msvcrt)", StandardCRuntimeRandom(), true},
#else
      {"this C runtime (glibc)", StandardCRuntimeRandom(), false},
#endif
  };
  for (const Case& c : cases) EXPECT_EQ(FollowsTheWindowsRandRule(c.generator), c.follows) << c.name;
}

// A run starts from the seed the driver gave (the check leaves no trace),
// draws the generator's own numbers, passes over skipped ones, and leaves the
// generator where as many rand() calls would: with the private copy, on a
// generator of another rule, and with the switch that keeps every draw a
// rand() call on a generator that follows the rule.
TEST(RandomStream, RunDrawsTheGeneratorsNumbersAndLeavesItWhereTheyWould) {
  struct Case {
    const char* name;
    CRuntimeRandom generator;
    bool allowCopy, copies;
  };
  const Case cases[] = {
      {"model of the Windows generator", drawsources::WindowsModel(), true, true},
      {"model, copy switched off", drawsources::WindowsModel(), false, false},
      {"this C runtime", StandardCRuntimeRandom(), true, drawsources::kCRuntimeFollowsTheRule},
      {"this C runtime, copy switched off", StandardCRuntimeRandom(), false, false},
  };
  constexpr unsigned kSeed = 0x5EEDF00Du;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> sequence;
    c.generator.seed(kSeed);
    for (int k = 0; k < 1100; ++k) sequence.push_back(c.generator.draw());

    RandomStream stream;
    stream.UseCRuntime(c.generator);
    stream.AllowCopy(c.allowCopy);

    c.generator.seed(kSeed);
    stream.BeginRun(kSeed);
    EXPECT_EQ(stream.copying(), c.copies);
    EXPECT_EQ(c.generator.draw(), sequence[0]) << "the check left a trace";
    stream.EndRun();

    c.generator.seed(kSeed);
    stream.BeginRun(kSeed);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(stream.Next(), sequence[k]) << "draw " << k;
    stream.Skip(1000);
    EXPECT_EQ(stream.Next(), sequence[1010]);
    stream.EndRun();
    EXPECT_EQ(c.generator.draw(), sequence[1011]) << "after the run";
    EXPECT_FALSE(stream.copying()) << "a run's end hands the draws back to rand()";
  }
}

}  // namespace
