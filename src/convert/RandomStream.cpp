#include "convert/RandomStream.h"

#include <cstdlib>

bool FollowsTheWindowsRandRule(const CRuntimeRandom& runtime) {
  // One seed with high bits set and one small one: a runtime that keeps
  // fewer than 31 bits of the seed, or another multiplier, increment or
  // output shift, parts from the rule within a few draws.
  constexpr uint32_t kProbeSeeds[] = {0x9E3779B9u, 7u};
  constexpr int kDraws = 24;
  for (const uint32_t seed : kProbeSeeds) {
    runtime.seed(seed);
    uint32_t state = seed;
    for (int k = 0; k < kDraws; ++k) {
      state = lcg::Step(state);
      if (runtime.draw() != lcg::Output(state)) return false;
    }
  }
  return true;
}

void RandomStream::BeginRun(unsigned seed) {
  copying_ = copyAllowed_ && FollowsTheWindowsRandRule(runtime_);
  // The check drew from its own seeds: the run starts from its own, as the
  // driver seeded it.
  runtime_.seed(seed);
  state = handedBack_ = seed;
}

void RandomStream::HandBack() {
  if (!copying_ || state == handedBack_) return;
  runtime_.seed(state);
  handedBack_ = state;
}

void RandomStream::EndRun() {
  HandBack();
  copying_ = false;
}

void RandomStream::Skip(uint64_t count) {
  if (copying_) {
    state = lcg::JumpOf(count).Apply(state);
    return;
  }
  for (uint64_t k = 0; k < count; ++k) runtime_.draw();
}

namespace {

// Constant-initialised: nothing runs at load or at first use. A function-local
// static would be guarded, and the guard costs a hosting process a
// thread-local slot per load of the module (docs/lifetime.md).
constinit RandomStream gDitherRandom;

}  // namespace

RandomStream& DitherRandom() { return gDitherRandom; }
