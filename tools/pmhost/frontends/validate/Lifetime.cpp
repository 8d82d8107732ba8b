#include "Lifetime.h"

#include <windows.h>

#include <cstdio>

#include "Drive.h"
#include "HostWindow.h"
#include "Probes.h"
#include "Validate.h"

namespace {

// One cycle: load, one run on a small image, unload. Empty, or what went wrong.
std::string Cycle(const std::string& path, void* window) {
  void* module = nullptr;
  PiplInfo pipl;
  std::string error;
  const PluginEntry entry = LoadEntry(path, module, pipl, error);
  if (entry != nullptr) {
    PlanarImage image = Pattern(8, 8, 8, 3);
    RunOptions run;
    run.quiet = true;
    // A module whose property list says it cannot filter an image without a
    // selection gets one: a host would not run it otherwise.
    if (pipl.hasCaseInfo && pipl.caseInfo[0].inputHandling == 0) {
      run.hasRectSelection = true;
      run.rectSelection = VRect{1, 1, 7, 7};
    }
    const RunOutcome outcome = RunFilter(entry, &pipl, image, run, window);
    EndSession();
    if (outcome.hostError || outcome.refused) error = outcome.message;
    else if (outcome.result != noErr) error = outcome.failedSelector + " returned " + ResultName(outcome.result);
  }
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
  return error;
}

}  // namespace

LifetimeReport RunLifetime(const std::string& module, int cycles) {
  LifetimeReport report;
  InitServices(ServiceOptions{});
  void* window = HostWindowForChild();
  WatcherOptions watch;
  watch.hostWindow = static_cast<HWND>(window);
  watch.answerId = IDOK;
  StartDialogWatcher(watch);
  // A few cycles first: the host's own first-use allocations are not the module's.
  constexpr int kWarmUp = 3;
  Footprint before;
  for (int i = 0; i < kWarmUp + cycles && report.error.empty(); ++i) {
    if (i == kWarmUp) before = MeasureFootprint(true);
    const std::string error = Cycle(module, window);
    if (!error.empty()) report.error = "cycle " + std::to_string(i + 1) + ": " + error;
    else
      for (const hostkit::Misuse& m : MisuseEntries())
        if (LevelOfMisuse(m.what) == Level::kError) {
          report.error = "cycle " + std::to_string(i + 1) + ": misuse: " + m.what + " (in " + m.call + ")";
          break;
        }
  }
  StopDialogWatcher();
  if (!report.error.empty()) return report;
  const Footprint after = MeasureFootprint(true);
  const long slots = long(after.tlsSlot) - long(before.tlsSlot);
  const long handles = long(after.nextHandle) - long(before.nextHandle);
  const long gdi = long(after.gdiIndex) - long(before.gdiIndex);
  const double kib = (double(after.privateBytes) - double(before.privateBytes)) / 1024.0;
  // Allowances: no thread-local slot, thread, window or class at all; a few
  // handles and GDI objects (the system's own caches); the host's call log
  // grows a little each cycle, a module that leaks a buffer per load grows
  // far more.
  constexpr long kHandleAllowance = 8, kGdiAllowance = 8;
  constexpr double kKibPerCycle = 64;
  std::string grew = FootprintGrowth(before, after, kHandleAllowance, kGdiAllowance);
  if (kib > kKibPerCycle * cycles) grew += (grew.empty() ? "" : "; ") + std::to_string(long(kib)) + " KiB more private memory";
  char text[320];
  std::snprintf(text, sizeof text,
                "%d cycles: thread-local slots %+ld, handles %+ld, GDI objects %+ld, threads %+d, windows %+d, "
                "private memory %+.0f KiB (of %.1f MiB)",
                cycles, slots, handles, gdi, after.threads - before.threads, after.windows - before.windows, kib,
                double(after.privateBytes) / 1048576.0);
  report.text = text;
  if (!grew.empty()) {
    report.grew = true;
    report.text += "; " + grew;
  }
  return report;
}
