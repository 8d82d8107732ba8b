// The workloads the benchmarks time, shared by the Google Benchmark program
// (Linux, glibc) and the plain timer program (Windows C runtime under Wine),
// so that both print the same ratio table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace bench {

constexpr int32_t kImageSide = 4096;
constexpr int32_t kTileSide = 256;
constexpr int kPlanes = 4;

// A 4096 x 4096 image of 4 planes, each plane its own buffer: the layout a
// host delivers one plane of one tile from. Filled once with fixed noise.
struct Image {
  Image();
  std::vector<uint8_t> in[kPlanes];
  std::vector<uint8_t> out[kPlanes];
};

Image& SharedImage();

// Whether the C runtime follows the Windows rand() rule, so that a run draws
// from the private copy of its generator (checked once, as a run checks it).
bool RuntimeFollowsTheRule();

// Once, untimed, before anything is timed: the bench host's in-place tile
// delivery against the host kit's guarded one, on an image whose tiles do not
// fit evenly, top-down and bottom-up, dithering off and on. The outputs must
// be the same bytes and nothing misused; otherwise the program ends with 1.
void VerifyBenchHost();

// A goal: at most `most` times the workload named `limit`, on the C
// runtimes that `when` names.
enum class When { kAlways, kCopying, kCalling };
struct Goal {
  const char* limit;
  double most;
  When when;
};

// A workload that times its own share of the work (the in-cache walk, whose
// host copies tiles in its callbacks): the seconds, and a value derived from
// the output.
struct SelfTimed {
  double seconds;
  uint64_t fingerprint;
};

struct Workload {
  const char* key;    // benchmark name
  const char* label;  // row of the ratio table
  uint64_t (*run)(Image&);
  bool isLimit;       // the plain copies and the rand() loop
  std::vector<Goal> goals;
  // Set instead of `run` for a workload that times itself.
  SelfTimed (*timed)(Image&) = nullptr;
  // The copy its "x copy" column is taken against.
  const char* copy = "copy";
};

// Every workload returns a value derived from its work, so that none of it
// can be optimised away.
const std::vector<Workload>& Workloads();

// Prints one row per workload: median time, ratios to the plain copy and the
// rand() loop, and, when `judge` is set, its goals with "met" or "MISSED".
// `median` answers the median seconds of a workload by key (< 0: not run);
// `ratio`, when given, answers the ratio of a workload to a limit, else the
// ratio of the two medians is shown.
using MedianFn = std::function<double(const char* key)>;
using RatioFn = std::function<double(const char* key, const char* limit)>;
void PrintRatioTable(std::FILE* to, const char* runtime, const MedianFn& median, const RatioFn& ratio = {},
                     bool judge = true);

}  // namespace bench
