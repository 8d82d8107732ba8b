// The front end that runs the filter on images: the job list planned and
// checked before anything is converted, then each image read, filtered and
// written in one session, and a summary of what failed and why.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "FrontEnds.h"
#include "JobList.h"
#include "Jobs.h"

namespace {

// What stays the same for every image of a run.
struct Conversion {
  PluginEntry entry = nullptr;
  const PiplInfo* pipl = nullptr;  // null when run through --entry without a property list
  RunOptions run;
  bool keepPartial = false;
  void* window = nullptr;
};

// Converts one image: reads it, runs the filter and writes the result.
// Returns the image's exit code; `why` names the image and the reason when it
// is not kExitOk. Nothing is written for an image that fails (unless
// --keep-partial asks for the module's partial result).
int ConvertOne(const Job& job, const Conversion& session, std::string& why) {
  if (!job.error.empty()) {
    why = job.error;
    Warn("pmhost: %s\n", why.c_str());
    return kExitHostError;
  }
  const LONGLONG readStart = Ticks();
  PlanarImage image;
  std::string error;
  // The run's destination is made on another thread while the file is read.
  PlaneReserve destination;
  if (!ReadPng(job.input, image, error, &destination)) {
    why = error;
    Warn("pmhost: %s\n", why.c_str());
    return kExitHostError;
  }
  const LONGLONG readTicks = Ticks() - readStart;
  if (!session.run.bigDocument && (image.width > 32767 || image.height > 32767)) {
    why = job.input + ": a " + std::to_string(image.width) + " x " + std::to_string(image.height) +
          " image needs 32-bit coordinates (drop --no-bigdoc)";
    Warn("pmhost: %s\n", why.c_str());
    return kExitRefused;
  }
  if (session.pipl != nullptr && !IsEnabled(*session.pipl, image, error)) {
    why = job.input + ": " + error;
    Warn("pmhost: %s\n", error.c_str());
    return kExitRefused;
  }

  const int misusesBefore = MisuseCount();
  const LONGLONG runStart = Ticks();
  ArmTimeout();
  const RunOutcome outcome = RunFilter(session.entry, session.pipl, image, session.run, session.window, &destination);
  DisarmTimeout();
  const LONGLONG runTicks = Ticks() - runStart;

  int code = kExitOk;
  if (outcome.refused) code = kExitRefused;
  else if (outcome.hostError) code = kExitHostError;
  else if (outcome.result == userCanceledErr) code = kExitCancelled;
  else if (outcome.result != noErr) code = kExitModuleError;
  if (outcome.refused || outcome.hostError) {
    why = job.input + ": " + outcome.message;
  } else if (outcome.result != noErr) {
    const std::string result = outcome.failedSelector + " returned " + ResultName(outcome.result);
    Say("pmhost: %s\n", result.c_str());
    why = job.input + ": the module's " + result;
  }

  LONGLONG writeTicks = 0;
  if (code == kExitOk || ((code == kExitModuleError || code == kExitCancelled) && session.keepPartial)) {
    const LONGLONG writeStart = Ticks();
    if (!WritePng(job.output, image, error)) {
      Warn("pmhost: %s\n", error.c_str());
      why = job.input + ": " + error;
      return kExitHostError;
    }
    writeTicks = Ticks() - writeStart;
    Say("pmhost: wrote %s\n", job.output.c_str());
  }
  const int misuses = MisuseCount() - misusesBefore;
  if (misuses > 0 && code == kExitOk) {
    code = kExitMisuse;
    why = job.input + ": written, but the module misused the host (" + std::to_string(misuses) +
          " report(s) above; the first: " + MisuseLine(misusesBefore) + ")";
  }
  if (session.run.timing)
    Say("pmhost: timing: %s: read %.1f ms, filter run %.1f ms, write %.1f ms\n", job.input.c_str(),
        Milliseconds(readTicks), Milliseconds(runTicks), Milliseconds(writeTicks));
  return code;
}


// Milliseconds since this process was created: what loading the program
// and (under Wine) the Windows layer's start took before the first line ran,
// and everything after. The time Wine spends before the process exists is
// outside it: a whole command's wall time shows that part.
double MillisecondsSinceCreation() {
  FILETIME created, exited, kernel, user, now;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  GetSystemTimePreciseAsFileTime(&now);
  const auto ticks = [](const FILETIME& t) { return int64_t(uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime); };
  return double(ticks(now) - ticks(created)) / 1e4;  // 100 ns units
}

}  // namespace

int RunImages(const ImageRun& request) {
  std::vector<Job> jobs;
  if (!request.outDir.empty()) {
    if (!MakeFolders(request.outDir)) {
      std::fprintf(stderr, "pmhost: cannot make the folder %s (error %lu)\n", request.outDir.c_str(), GetLastError());
      return kExitHostError;
    }
    jobs = OutDirJobs(request.arguments, request.outDir);
  } else {
    for (size_t i = 0; i + 1 < request.arguments.size(); i += 2)
      jobs.push_back({request.arguments[i], request.arguments[i + 1], ""});
  }
  // A run that would lose a file is refused before anything is converted.
  const std::string refusal = CheckJobList(jobs, FileKeyOnDisk);
  if (!refusal.empty()) {
    std::fprintf(stderr, "pmhost: %s; nothing converted\n", refusal.c_str());
    return kExitHostError;
  }

  HostSession host;
  const int opened = OpenSession(request.setup, host);
  if (opened != kExitOk) return opened;
  const RunOptions& run = request.run;
  const Conversion session{host.module.entry, host.module.Pipl(), run, request.keepPartial, host.window};
  int code = kExitOk;
  const bool batch = jobs.size() > 1;
  std::vector<std::string> failures;
  if (run.timing)
    Say("pmhost: timing: start %.1f ms (from the process's creation to the first image: the program and the "
        "module loaded, the session opened)\n",
        MillisecondsSinceCreation());
  BarBegin(static_cast<int32_t>(jobs.size()), !run.quiet, run.progressAtOnce);
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Job& job = jobs[i];
    BarImage(static_cast<int32_t>(i));
    SetWorkInHand(&job.input);
    if (batch) Say("pmhost: image %zu of %zu: %s -> %s\n", i + 1, jobs.size(), job.input.c_str(),
                   job.output.empty() ? "(none)" : job.output.c_str());
    std::string why;
    const int result = ConvertOne(job, session, why);
    SetWorkInHand(nullptr);
    if (result == kExitOk) continue;
    failures.push_back(why);
    if (code == kExitOk) code = result;
  }
  BarEnd();
  code = CloseSession(host, code);
  if (run.timing) Say("pmhost: timing: whole run %.1f ms since the process's creation\n", MillisecondsSinceCreation());
  if (batch) {
    Say("pmhost: %zu of %zu image(s) converted\n", jobs.size() - failures.size(), jobs.size());
    for (const std::string& why : failures) Warn("pmhost: FAILED: %s\n", why.c_str());
  }
  if (code == kExitOk) Say("pmhost: done: noErr\n");
  std::fflush(stdout);
  return code;
}
