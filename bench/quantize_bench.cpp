// Google Benchmark program: every workload repeated and interleaved at
// random, then the ratio table from the medians of this one run. The table
// uses CPU time: every workload is single-threaded, and on a shared machine
// the wall time also counts the moments another process had the core.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "InCacheWalk.h"
#include "Workloads.h"

namespace {

// A workload that reports its own share is timed by hand: its "real" time
// is that share.
bool TimesItself(const std::string& key) {
  for (const bench::Workload& w : bench::Workloads())
    if (key == w.key) return w.timed != nullptr;
  return false;
}

// Passes everything on to the console and keeps each workload's median.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  explicit MedianCollector(OutputOptions options) : ConsoleReporter(options) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians_[run.run_name.function_name] =
            (TimesItself(run.run_name.function_name) ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime()) /
            1e3;  // reported in ms
    ConsoleReporter::ReportRuns(runs);
  }
  double Median(const char* key) const {
    const auto it = medians_.find(key);
    return it == medians_.end() ? -1.0 : it->second;
  }

 private:
  std::map<std::string, double> medians_;
};

bool HasFlag(int argc, char** argv, const char* prefix) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  // Ratios need repetitions interleaved with each other: a shared, noisy
  // machine then slows the limit and the workload alike.
  std::string repetitions = "--benchmark_repetitions=5";
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  if (!HasFlag(argc, argv, "--benchmark_repetitions")) args.push_back(repetitions.data());
  if (!HasFlag(argc, argv, "--benchmark_enable_random_interleaving")) args.push_back(interleave.data());
  if (!HasFlag(argc, argv, "--benchmark_report_aggregates_only")) args.push_back(aggregates.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  bench::VerifyBenchHost();  // ends the program if the bench host finds a fault
  bench::VerifyInCacheWalk();
  bench::Image& image = bench::SharedImage();
  for (const bench::Workload& w : bench::Workloads()) {
    benchmark::internal::Benchmark* b;
    if (w.timed != nullptr) {
      // The workload's own share, the host's copying left out.
      b = benchmark::RegisterBenchmark(w.key, [&image, timed = w.timed](benchmark::State& state) {
        for (auto _ : state) {
          const bench::SelfTimed result = timed(image);
          benchmark::DoNotOptimize(result.fingerprint);
          state.SetIterationTime(result.seconds);
        }
        state.SetItemsProcessed(state.iterations() * int64_t(bench::kImageSide) * bench::kImageSide * bench::kPlanes);
      });
      b->UseManualTime();
    } else {
      b = benchmark::RegisterBenchmark(w.key, [&image, run = w.run](benchmark::State& state) {
        for (auto _ : state) benchmark::DoNotOptimize(run(image));
        state.SetItemsProcessed(state.iterations() * int64_t(bench::kImageSide) * bench::kImageSide * bench::kPlanes);
      });
    }
    b->Unit(benchmark::kMillisecond);
  }

  // A reporter handed in gets no colours from --benchmark_color: leave them
  // out unless the output is a terminal.
  MedianCollector reporter(isatty(fileno(stdout)) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                   : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  // Medians of a few repetitions move by a fifth on a loaded machine: the
  // goals are judged on the timer program's rounds, where each ratio is
  // taken within one round (scripts/bench.sh runs it next).
  bench::PrintRatioTable(
      stdout, "glibc (CPU time)", [&](const char* key) { return reporter.Median(key); }, {}, false);
  return 0;
}
