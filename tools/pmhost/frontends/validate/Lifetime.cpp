#include "Lifetime.h"

#include <windows.h>

#include "Drive.h"
#include "HostWindow.h"

namespace {

// The process-wide resources a module can leak per load.
struct Footprint {
  DWORD nextTlsSlot = 0;  // the lowest free thread-local slot
  DWORD handles = 0;
  SIZE_T privateBytes = 0;
};

Footprint Measure() {
  Footprint f;
  // TlsAlloc hands out the lowest free slot: a slot leaked per load pushes it up.
  f.nextTlsSlot = TlsAlloc();
  if (f.nextTlsSlot != TLS_OUT_OF_INDEXES) TlsFree(f.nextTlsSlot);
  GetProcessHandleCount(GetCurrentProcess(), &f.handles);
  // Committed private memory, region by region: the system's own counters
  // of it are not kept under Wine.
  MEMORY_BASIC_INFORMATION region{};
  for (auto* at = static_cast<uint8_t*>(nullptr); VirtualQuery(at, &region, sizeof region) == sizeof region;
       at = static_cast<uint8_t*>(region.BaseAddress) + region.RegionSize)
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) f.privateBytes += region.RegionSize;
  return f;
}

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
    if (i == kWarmUp) before = Measure();
    const std::string error = Cycle(module, window);
    if (!error.empty()) report.error = "cycle " + std::to_string(i + 1) + ": " + error;
    else if (MisuseCount() > 0) report.error = "cycle " + std::to_string(i + 1) + ": misuse: " + MisuseLine(0);
  }
  StopDialogWatcher();
  if (!report.error.empty()) return report;
  const Footprint after = Measure();
  const long slots = long(after.nextTlsSlot) - long(before.nextTlsSlot);
  const long handles = long(after.handles) - long(before.handles);
  const double kib = (double(after.privateBytes) - double(before.privateBytes)) / 1024.0;
  // Allowances: no thread-local slot at all; a few handles (the system's own
  // caches); the host's call log grows a little each cycle, a module that
  // leaks a buffer per load grows far more.
  constexpr long kHandleAllowance = 8;
  constexpr double kKibPerCycle = 64;
  std::vector<std::string> grew;
  if (slots > 0) grew.push_back("the next free thread-local slot moved from " + std::to_string(before.nextTlsSlot) + " to " + std::to_string(after.nextTlsSlot));
  if (handles > kHandleAllowance) grew.push_back(std::to_string(handles) + " more open handles");
  if (kib > kKibPerCycle * cycles) grew.push_back(std::to_string(long(kib)) + " KiB more private memory");
  char text[256];
  std::snprintf(text, sizeof text, "%d cycles: thread-local slots %+ld, handles %+ld, private memory %+.0f KiB (of %.1f MiB)",
                cycles, slots, handles, kib, double(after.privateBytes) / 1048576.0);
  report.text = text;
  if (!grew.empty()) {
    report.grew = true;
    for (const std::string& g : grew) report.text += "; " + g;
  }
  return report;
}
