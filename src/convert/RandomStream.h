// Where the dithering draws come from: the C runtime's own rand() sequence.
//
// The Windows C runtimes (msvcrt, the universal CRT, and Wine's copies of
// both) all compute rand() by one linear congruential rule on a per-thread
// 32-bit state, which srand(s) sets to s:
//
//   state = state * 214013 + 2531011;   rand() = (state >> 16) & 0x7fff
//
// A private copy of that rule yields the very same numbers, can be stepped
// eight lanes at a time, and can jump k steps ahead with one multiply and one
// add. So during a run, once the C runtime has shown that it follows the rule,
// the quantiser draws from a copy of the generator's state, and the copy is
// handed back to the C runtime (srand(state)) before every call into the host
// and when the run ends: whatever reads rand() then sees exactly what one
// rand() call per dithered pixel would have left. On a C runtime that differs
// (glibc, in the native build) every draw is a call to rand(), as written.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace lcg {

inline constexpr uint32_t kMultiplier = 214013u;
inline constexpr uint32_t kIncrement = 2531011u;

constexpr uint32_t Step(uint32_t state) { return state * kMultiplier + kIncrement; }

// What rand() returns once the state has stepped to `state`.
constexpr int Output(uint32_t state) { return static_cast<int>((state >> 16) & 0x7fffu); }

// Any number of steps is again one affine map, state * multiplier + increment
// (mod 2^32).
struct Jump {
  uint32_t multiplier = 1;
  uint32_t increment = 0;
  constexpr uint32_t Apply(uint32_t state) const { return state * multiplier + increment; }
  // This jump followed by `next`.
  constexpr Jump Then(Jump next) const {
    return Jump{multiplier * next.multiplier, increment * next.multiplier + next.increment};
  }
};

// The jump over `steps` steps, by repeated squaring. The generator's period is
// 2^32 (the increment is odd and the multiplier is 1 modulo 4), so a jump of
// 2^32 steps is no jump at all.
constexpr Jump JumpOf(uint64_t steps) {
  Jump result;
  Jump power{kMultiplier, kIncrement};
  for (; steps != 0; steps >>= 1) {
    if ((steps & 1) != 0) result = result.Then(power);
    power = power.Then(power);
  }
  return result;
}

}  // namespace lcg

// The C runtime's generator as the module reaches it: std::srand and
// std::rand, unless a test puts another generator in their place.
struct CRuntimeRandom {
  void (*seed)(unsigned);
  int (*draw)();
};

// Straight to the C runtime's entry points: a draw that must be a rand()
// call costs that call and no more. A constant, so that the stream below can
// be constant-initialised.
constexpr CRuntimeRandom StandardCRuntimeRandom() { return CRuntimeRandom{std::srand, std::rand}; }

// True when `runtime` follows the rule above: seeded with each of two known
// values, it must give the rule's first 24 numbers. Leaves `runtime` seeded
// with a probe value.
bool FollowsTheWindowsRandRule(const CRuntimeRandom& runtime);

class RandomStream {
 public:
  // Starts a run. Called right after the run's srand(seed): checks the C
  // runtime and, when it follows the rule, takes over its state. Either way
  // the C runtime is left seeded with `seed`, as if the check had not been.
  void BeginRun(unsigned seed);

  // Gives the C runtime the state that the rand() calls so far would have
  // left it in. Called before every call into the host and by EndRun. Seeds
  // only when the copy has moved since it was last handed back: whatever the
  // host itself did to the generator in between then stands, as it would
  // with the literal calls.
  void HandBack();

  // Hands the state back; from then on draws are rand() calls again.
  void EndRun();

  // True from BeginRun to EndRun when the draws come from the private copy:
  // `state` is then the generator's state (the last draw was Output(state)).
  bool copying() const { return copying_; }
  uint32_t state = 0;

  // The next draw, rand() % 32768 as the C runtime gives it.
  int Next() {
    if (!copying_) return runtime_.draw();
    state = lcg::Step(state);
    return lcg::Output(state);
  }

  // Passes over `count` draws that change nothing.
  void Skip(uint64_t count);

  // For tests and benchmarks, between runs: another generator in place of
  // the C runtime's, and a switch that keeps every draw a rand() call.
  void UseCRuntime(const CRuntimeRandom& runtime) { runtime_ = runtime; }
  void AllowCopy(bool allowed) { copyAllowed_ = allowed; }
  const CRuntimeRandom& runtime() const { return runtime_; }

 private:
  CRuntimeRandom runtime_ = StandardCRuntimeRandom();
  bool copyAllowed_ = true;
  bool copying_ = false;
  uint32_t handedBack_ = 0;  // the state the C runtime was last given
};

// The stream QuantizePlaneTile draws from. Outside a run it draws with rand().
RandomStream& DitherRandom();

// A run of draws from construction to destruction: every way out of the run,
// errors and cancels included, hands the state back to the C runtime.
class RandomRun {
 public:
  explicit RandomRun(unsigned seed) { DitherRandom().BeginRun(seed); }
  ~RandomRun() { DitherRandom().EndRun(); }
  RandomRun(const RandomRun&) = delete;
  RandomRun& operator=(const RandomRun&) = delete;
  void HandBack() const { DitherRandom().HandBack(); }
};
