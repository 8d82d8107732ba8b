// The sources of dithering draws that the quantiser and driver tests run
// with, and the set-up of the module's stream for each.
#pragma once

#include <ostream>

#include "QuantizeReference.h"
#include "convert/RandomStream.h"

namespace drawsources {

enum class Source {
  kOutsideARun,    // no run: rand() calls, as a caller without a run gets them
  kRunOnCRuntime,  // the C runtime's generator: the private copy under Windows, rand() calls natively
  kRunCopyOff,     // a generator that follows the Windows rule (the C runtime's own under Windows, the model
                   // elsewhere) with the private copy switched off: the switch alone keeps every draw a call
  kRunOnModel,     // a model of the Windows generator: the private copy on any C runtime
};

inline const char* NameOf(Source source) {
  switch (source) {
    case Source::kOutsideARun: return "rand_outside_a_run";
    case Source::kRunOnCRuntime: return "run_on_c_runtime";
    case Source::kRunCopyOff: return "run_copy_off";
    case Source::kRunOnModel: return "run_on_windows_model";
  }
  return "?";
}

// The Windows C runtimes follow the rule, glibc does not.
#ifdef _WIN32
inline constexpr bool kCRuntimeFollowsTheRule = true;
#else
inline constexpr bool kCRuntimeFollowsTheRule = false;
#endif

inline void PrintTo(Source source, std::ostream* os) { *os << NameOf(source); }

inline CRuntimeRandom WindowsModel() { return CRuntimeRandom{fakehost::WindowsSrand, fakehost::WindowsRand}; }

inline CRuntimeRandom GeneratorOf(Source source) {
  const bool model = source == Source::kRunOnModel || (source == Source::kRunCopyOff && !kCRuntimeFollowsTheRule);
  return model ? WindowsModel() : StandardCRuntimeRandom();
}

// Whether a run with this source must draw from the private copy.
inline bool CopiesTheGenerator(Source source) {
  return source == Source::kRunOnModel || (source == Source::kRunOnCRuntime && kCRuntimeFollowsTheRule);
}

// Points the module's stream at the source's generator for a scope.
class StreamSetUp {
 public:
  explicit StreamSetUp(Source source) {
    DitherRandom().UseCRuntime(GeneratorOf(source));
    DitherRandom().AllowCopy(source != Source::kRunCopyOff);
  }
  ~StreamSetUp() {
    DitherRandom().UseCRuntime(StandardCRuntimeRandom());
    DitherRandom().AllowCopy(true);
  }
  StreamSetUp(const StreamSetUp&) = delete;
  StreamSetUp& operator=(const StreamSetUp&) = delete;
};

}  // namespace drawsources
