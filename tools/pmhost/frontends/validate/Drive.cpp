#include "Drive.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "HostWindow.h"
#include "Probes.h"
#include "StaticChecks.h"

PlanarImage Pattern(int32_t width, int32_t height, int32_t depth, int32_t planes) {
  PlanarImage image;
  image.Allocate(width, height, depth, planes);
  const uint32_t top = depth == 16 ? 65535 : 255;
  for (int32_t p = 0; p < planes; ++p)
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x) {
        const uint32_t v = (uint32_t(x) * 37 + uint32_t(y) * 11 + uint32_t(p) * 71 + 3) % 256;
        image.SetSample(p, x, y, depth == 16 ? v * 257 + uint32_t(x % 7) : v);
      }
  // One white and one black sample in every plane: the ends of the range.
  for (int32_t p = 0; p < planes; ++p) {
    image.SetSample(p, 0, 0, top);
    image.SetSample(p, width - 1, height - 1, 0);
  }
  return image;
}

void* HostWindowForChild() {
  static HWND window = CreateHostWindow(false);
  return window;
}

PluginEntry LoadEntry(const std::string& path, void*& module, PiplInfo& pipl, std::string& error) {
  HMODULE m = LoadLibraryA(path.c_str());
  module = m;
  if (m == nullptr) {
    error = "cannot load the module (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  if (!FindFilterPipl(m, pipl, error)) return nullptr;
  auto entry = reinterpret_cast<PluginEntry>(reinterpret_cast<void*>(GetProcAddress(m, pipl.entryPoint.c_str())));
  if (entry == nullptr) error = "the module exports no " + pipl.entryPoint;
  return entry;
}

namespace {

// The nested call: a message posted to the host window before the run is
// dispatched by the first message loop on the host's thread, which can only
// be one of the module's own (the host runs none while the module works);
// the host window then calls the about selector, once.
constexpr UINT kNestedMessage = WM_APP + 20;
PluginEntry gNestedEntry = nullptr;
void* gNestedWindow = nullptr;
WNDPROC gHostWindowProc = nullptr;
int gNestedCalls = 0;

LRESULT CALLBACK NestedCallProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message != kNestedMessage) return CallWindowProcA(gHostWindowProc, window, message, w, l);
  if (gNestedCalls++ > 0 || std::strcmp(CurrentSelectorName(), "none") == 0) return 0;
  AboutRecord about{};
  PlatformData platform{gNestedWindow};
  about.platformData = &platform;
  about.sSPBasic = HostBasicSuite();
  intptr_t data = 0;
  int16_t result = 0;
  std::printf("pmhost: calling about from inside the module's message loop (during %s)\n", CurrentSelectorName());
  gNestedEntry(filterSelectorAbout, &about, &data, &result);
  std::printf("pmhost: the nested about call returned\n");
  return 0;
}

}  // namespace

bool SameImage(const PlanarImage& a, const PlanarImage& b) {
  return a.width == b.width && a.height == b.height && a.depth == b.depth && a.planes == b.planes;
}

// ---- the levels of findings -------------------------------------------------

// Every misuse is an error but those named here, by the words the misuse log
// uses for them.
const std::vector<MisuseLevel>& MisuseLevels() {
  static const std::vector<MisuseLevel> table = {
      {"which is not locked", Level::kWarning,
       "an unlock of a handle that is not locked: hosts that keep a locked flag ignore it; only hosts that count locks "
       "go below zero"},
      {", below 0 (its total", Level::kWarning,
       "progress below 0: a bar drawn before its start, which hosts clamp (done above the total is an error: more "
       "work than the module announced)"},
  };
  return table;
}

Level LevelOfMisuse(const std::string& what) {
  for (const MisuseLevel& m : MisuseLevels())
    if (what.find(m.words) != std::string::npos) return m.level;
  return Level::kError;
}

Observed Drive(const std::string& path, Setup setup) {
  Observed seen;
  setup.services.registryFile.clear();  // the registry lives for this run only
  InitServices(setup.services);
  const int misuseBefore = MisuseCount();
  // The host's own first-use costs before the footprint is taken.
  HostWindowForChild();
  const Footprint before = MeasureFootprint(false);
  std::string maskFile;
  if (setup.maskImage) {
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    maskFile = std::string(dir) + "pmhost-validate-mask-" + std::to_string(GetCurrentProcessId()) + ".png";
    PlanarImage mask = Pattern(setup.image.width, setup.image.height, 8, 1);
    for (int32_t y = 0; y < mask.height; ++y)
      for (int32_t x = 0; x < mask.width; ++x) {
        // An ellipse, soft at its edge, inside the image.
        const double dx = (x - mask.width / 2.0) / (mask.width / 2.5), dy = (y - mask.height / 2.0) / (mask.height / 2.5);
        const double d = dx * dx + dy * dy;
        mask.SetSample(0, x, y, d < 0.7 ? 255 : d < 1.0 ? uint32_t((1.0 - d) / 0.3 * 255) : 0);
      }
    std::string error;
    WritePng(maskFile, mask, error);
    seen.selection.assign(mask.planes[0].begin(), mask.planes[0].end());
    setup.run.maskPath = maskFile;
  }
  if (setup.run.hasRectSelection) {
    const VRect& r = setup.run.rectSelection;
    seen.selection.assign(size_t(setup.image.width) * size_t(setup.image.height), 0);
    for (int32_t y = std::max(r.top, 0); y < std::min(r.bottom, setup.image.height); ++y)
      for (int32_t x = std::max(r.left, 0); x < std::min(r.right, setup.image.width); ++x)
        seen.selection[size_t(y) * size_t(setup.image.width) + size_t(x)] = 255;
  }
  void* module = nullptr;
  PiplInfo pipl;
  const PluginEntry entry = LoadEntry(path, module, pipl, seen.loadError);
  if (entry != nullptr) {
    void* window = HostWindowForChild();
    WatcherOptions watch;
    watch.hostWindow = static_cast<HWND>(window);
    watch.answerId = setup.answer;
    watch.clickButton = setup.clickButton;
    watch.buttons = &seen.buttons;
    StartDialogWatcher(watch);
    seen.original = setup.image;
    seen.result = setup.image;
    setup.run.quiet = true;
    if (setup.nested) {
      gNestedEntry = entry;
      gNestedWindow = window;
      const auto hostWindow = static_cast<HWND>(window);
      gHostWindowProc = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrA(hostWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(NestedCallProc)));
      PostMessageA(hostWindow, kNestedMessage, 0, 0);
    }
    if (setup.replay) {
      const int16_t playInfo = setup.run.playInfo;
      setup.run.playInfo = 1;
      PlanarImage first = setup.image;
      seen.recorded = RunFilter(entry, &pipl, first, setup.run, window);
      seen.dialogs = StopDialogWatcher();
      StartDialogWatcher(watch);
      setup.run.playInfo = playInfo;
      setup.run.playDescriptor = seen.recorded.recordedDescriptor;
      setup.run.callParameters = false;
    }
    if (setup.about) seen.outcome = RunAbout(entry, window);
    else seen.outcome = RunFilter(entry, &pipl, seen.result, setup.run, window);
    seen.nestedCalls = gNestedCalls;
    seen.counts = LastRunCounts();
    (setup.replay ? seen.replayDialogs : seen.dialogs) = StopDialogWatcher();
    EndSession();
  }
  seen.newProcCalls = ServiceCalls("newProc");
  seen.lockProcCalls = ServiceCalls("lockProc");
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
  ReportLeaks();
  const std::vector<hostkit::Misuse> misuse = MisuseEntries();
  for (size_t i = size_t(misuseBefore); i < misuse.size(); ++i) {
    const std::string line = misuse[i].what + " (in " + misuse[i].call + ")";
    if (LevelOfMisuse(misuse[i].what) == Level::kWarning) {
      if (seen.warnings++ == 0) seen.firstWarning = line;
    } else if (seen.misuses++ == 0) {
      seen.firstMisuse = line;
    }
  }
  if (!maskFile.empty()) DeleteFileA(maskFile.c_str());
  if (module != nullptr) {
    Footprint after = MeasureFootprint(false);
    // A thread on its way out (a pool's idle worker) gets a second to end.
    for (int wait = 0; wait < 20 && after.threads > before.threads; ++wait) {
      Sleep(50);
      after = MeasureFootprint(false);
    }
    // Threads and windows are judged alone; handles, GDI objects and classes
    // with an allowance; thread-local slots by the lifetime scenario, over
    // many loads.
    Footprint same = after;
    same.threads = before.threads, same.windows = before.windows, same.tlsSlot = before.tlsSlot;
    // The first dialog of a process makes a few dozen GDI objects the
    // system keeps (fonts, brushes): the allowances are above that.
    seen.leftBehind = FootprintGrowth(before, same, 16, 64);
    same = before;
    same.threads = after.threads, same.windows = after.windows;
    seen.leftRunning = FootprintGrowth(before, same, 16, 64);
  }
  return seen;
}
