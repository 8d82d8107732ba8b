#include "convert/RandomStream.h"

#include <cstdlib>

bool FollowsTheWindowsRandRule(const CRuntimeRandom& runtime) {
  // Another multiplier, increment or output shift parts from the rule within
  // a few draws of any seed. Bit 31 of the state never reaches an output, so
  // a seed cut short shows only where it loses a bit from 0 to 30 that the
  // probe has set: the first seed has bits 29 and 30 clear, the second has
  // them set, as every seed from the clock (seconds since 1970) has bit 30.
  constexpr uint32_t kProbeSeeds[] = {0x9E3779B9u, 0x6B8B4567u};
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
