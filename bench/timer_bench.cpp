// The same workloads without Google Benchmark, for the Windows build (there
// is no Google Benchmark for mingw-w64 among the packages we build from):
// QueryPerformanceCounter on Windows, the steady clock elsewhere.
//
// The machines this runs on are shared, and a memory-bound walk of 128 MiB
// varies by 2x from one second to the next. So every round interleaves the
// workloads call by call (short ones repeated until each has at least 0.2 s
// in the round), a workload's ratio is taken to its limit within the same
// round, and the table shows the median over the rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "InCacheWalk.h"
#include "Workloads.h"

namespace {

double Now() {
#ifdef _WIN32
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return double(count.QuadPart) / double(frequency.QuadPart);
#else
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
#endif
}

volatile uint64_t gSink;

// A call's wall time, and the time it counts: the wall time, or for a
// workload that times itself, the share it reports.
struct Timing {
  double wall, counted;
};

Timing TimeCall(const bench::Workload& w, bench::Image& image) {
  const double start = Now();
  double own = -1.0;
  if (w.timed != nullptr) {
    const bench::SelfTimed result = w.timed(image);
    gSink = gSink + result.fingerprint;
    own = result.seconds;
  } else {
    gSink = gSink + w.run(image);
  }
  const double wall = Now() - start;
  return {wall, own >= 0 ? own : wall};
}

double Median(std::vector<double> values) {
  if (values.empty()) return -1.0;
  std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 7;
  const char* runtime =
#ifdef _WIN32
      "msvcrt (Windows)";
#else
      "glibc";
#endif
  bool checkOnly = false;
  std::string only;  // comma-separated keys: only these workloads (the limits they need too)
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check") == 0) {
      checkOnly = true;
    } else if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
      rounds = std::max(1, std::atoi(argv[i] + 9));
    } else if (std::strncmp(argv[i], "--only=", 7) == 0) {
      only = argv[i] + 7;
    } else if (std::strncmp(argv[i], "--runtime=", 10) == 0) {
      runtime = argv[i] + 10;
    } else {
      std::fprintf(stderr, "usage: %s [--rounds=N] [--runtime=NAME] [--only=KEY,...] | --check\n", argv[0]);
      return 2;
    }
  }

  bench::VerifyBenchHost();  // ends the program if the bench host finds a fault
  bench::VerifyInCacheWalk();
  bench::Image& image = bench::SharedImage();
  std::vector<bench::Workload> workloads;
  for (const bench::Workload& w : bench::Workloads()) {
    if (!only.empty() && ("," + only + ",").find("," + std::string(w.key) + ",") == std::string::npos) continue;
    workloads.push_back(w);
  }
  // The test command's use: the bench host's checks alone, each workload that
  // goes through it run once, nothing timed.
  if (checkOnly) {
    for (const bench::Workload& w : workloads)
      if (std::strncmp(w.key, "convert", 7) == 0 || std::strncmp(w.key, "incache", 7) == 0) TimeCall(w, image);
    std::printf("bench host: checks passed\n");
    return 0;
  }

  // How often each workload runs per round: at least 0.2 s of it.
  std::vector<int> calls;
  for (const bench::Workload& w : workloads) {
    const double once = std::max(TimeCall(w, image).wall, 1e-6);
    calls.push_back(std::max(1, int(0.2 / once) + 1));
  }
  const int most = *std::max_element(calls.begin(), calls.end());

  std::map<std::string, std::vector<double>> seconds;  // per round
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::vector<double>> times(workloads.size());
    for (int call = 0; call < most; ++call)
      for (size_t k = 0; k < workloads.size(); ++k) {
        // The order rotates each round, so no workload always follows the same one.
        const size_t w = (k + size_t(round)) % workloads.size();
        if (call < calls[w]) times[w].push_back(TimeCall(workloads[w], image).counted);
      }
    // A round's time of a workload is the mean of its calls; for one that
    // times its own share of about a millisecond among the host's copying,
    // the median: one time slice lost to another process would otherwise
    // outweigh the whole share.
    for (size_t w = 0; w < workloads.size(); ++w) {
      double total = 0;
      for (const double t : times[w]) total += t;
      seconds[workloads[w].key].push_back(workloads[w].timed != nullptr ? Median(times[w])
                                                                         : total / double(times[w].size()));
    }
    std::printf("round %d of %d done\n", round + 1, rounds);
    std::fflush(stdout);
  }

  bench::PrintRatioTable(
      stdout, runtime, [&](const char* key) { return Median(seconds[key]); },
      [&](const char* key, const char* baseline) {
        std::vector<double> ratios;
        const auto& a = seconds[key];
        const auto& b = seconds[baseline];
        for (size_t r = 0; r < a.size() && r < b.size(); ++r) ratios.push_back(a[r] / b[r]);
        return Median(ratios);
      });
  return 0;
}
