// The soak: a host that lives for days, run for a few thousand calls. Loads
// the real Pixelmoor.8bf and drives it on the host kit's ModuleHost (guarded
// tiles, the record guard, the kit's suites and handle table):
//
//   load cycles   load -> parameters -> prepare -> start (the confirmation
//                 answered, OK or Cancel by turns) -> continue -> finish ->
//                 about (a link clicked, then the box closed) -> unload,
//                 with the fault plan failing newProc, lockProc or
//                 advanceState, or abortProc asking to stop, on some cycles,
//                 and a host without the file-list suite on others; a
//                 worker thread of the host starts and ends in every fourth
//                 cycle
//   runs          the same calls, the module loaded once and kept
//
// After a warm-up it reads what the process holds (the kit's
// ProcessFootprint: next free TLS and FLS slots, atoms and window classes,
// heap blocks and bytes, private and committed memory, handles, GUI objects
// where Wine reports them, threads, modules, windows) and again every few
// hundred cycles, and fails as soon as anything grew beyond the bounds below
// (docs/lifetime.md). Any host misuse, a handle left locked, a suite still
// held after unload, or a module still mapped after FreeLibrary fails it too.
//
// The dialogs are answered from the host's side, the moment each modal loop
// first goes idle: the loop sends its owner (the host window) WM_ENTERIDLE
// with the dialog, and the host posts the click into the dialog's queue. No
// second thread polls for the window, so a cycle costs what the module and
// Wine cost.
//
// The host's own bookkeeping (the kit's logs, handle records and blocks) is
// allocated from a heap of its own, which the heap figures leave out: they
// count what the module, the C runtime and the system hold.
//
//   pixelmoor_soak <Pixelmoor.8bf> [--cycles N] [--runs N] [--pattern P] [--every N]
//
// Patterns (for measuring one path alone): mixed (the default, as above),
// convert (OK and a conversion, no about), cancel (the confirmation
// cancelled), about (a link click), about-refused (a link click on a host
// that refuses the file-list suite), load (load and unload only).
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "HostKit.h"
#include "ModuleHost_win.h"
#include "PlaneDelivery.h"
#include "ProcessFootprint_win.h"
#include "Suites.h"
#include "host/HostApi.h"

// ---- the host's own heap ----------------------------------------------------

namespace {

HANDLE gHostHeap = nullptr;

HANDLE HostHeap() {
  if (gHostHeap == nullptr) gHostHeap = HeapCreate(0, 0, 0);
  return gHostHeap;
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = HeapAlloc(HostHeap(), 0, size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
  if (p != nullptr) HeapFree(HostHeap(), 0, p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using hostkit::Footprint;
using hostkit::FootprintBounds;
using hostkit::PluginMainProc;

// What the process may gain between the reading after the warm-up and any
// later one. Slots, atoms, threads, modules and windows: nothing at all. The
// heap and memory bounds allow for what Wine itself settles into over a run
// (its own caches) and are far below one unit per cycle. Handles and GUI
// objects: two, so that one left behind every 250 cycles or runs (8 over the
// 2,000) fails by the reading after cycle 810; Wine's own handles stay put
// after the warm-up (docs/lifetime.md).
FootprintBounds SoakBounds() {
  FootprintBounds b;
  b.tlsSlots = 0;
  b.flsSlots = 0;
  b.atoms = 0;
  b.heapBlocks = 64;
  b.heapBytes = 64 * 1024;
  b.privateBytes = 4 * 1024 * 1024;
  b.committedPrivate = 4 * 1024 * 1024;
  b.handles = 2;
  b.guiObjects = 2;
  // The USER table's free slots shift with the last cycle's dialogs: after
  // 2,000 clean cycles the probe read up to 20 higher than after the
  // warm-up. A window left behind per cycle still passes this at once.
  b.userHandles = 32;
  b.threads = 0;
  b.modules = 0;
  b.windows = 0;
  return b;
}

constexpr int kWarmUp = 60;  // every pattern of the plan below comes round in it
constexpr int kFirstLink = 4;  // the about box's first link button

int gFailures = 0;
const char* gPhase = "setup";
int gDone = 0;

// A module that aborts takes the host with it: say where, at least.
void OnAbort(int) {
  std::printf("FAIL: abort() during %s %d\n", gPhase, gDone);
  std::fflush(stdout);
}

void Fail(const std::string& what) {
  ++gFailures;
  if (gFailures <= 20) std::printf("FAIL: %s\n", what.c_str());
}

// ---- answering the dialogs --------------------------------------------------

struct DialogPlan {
  int confirmAnswer = IDOK;
  bool clickLink = true;
};

struct DialogState {
  DialogPlan plan;
  HWND answered = nullptr;
  int shown = 0;
  int ignored = 0;
  int wrongOwner = 0;
};

DialogState gDialogs;
HWND gWindow = nullptr;

// A modal loop of the module is idle: its dialog is up. Post what a person
// would do; a dialog that comes back idle after that ignored it and gets
// the answer's command straight away (counted as a failure).
void OnDialogIdle(HWND dialog) {
  if (dialog == gDialogs.answered) {
    ++gDialogs.ignored;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(gDialogs.plan.confirmAnswer, BN_CLICKED), 0);
    return;
  }
  gDialogs.answered = dialog;
  ++gDialogs.shown;
  if (GetWindow(dialog, GW_OWNER) != gWindow) ++gDialogs.wrongOwner;
  if (HWND link = GetDlgItem(dialog, kFirstLink)) {
    // The about box: a link, then a click in the box, which closes it.
    if (gDialogs.plan.clickLink) PostMessageA(link, BM_CLICK, 0, 0);
    PostMessageA(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    return;
  }
  PostMessageA(GetDlgItem(dialog, gDialogs.plan.confirmAnswer), BM_CLICK, 0, 0);
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_ENTERIDLE && wParam == MSGF_DIALOGBOX) {
    OnDialogIdle(reinterpret_cast<HWND>(lParam));
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// ---- one cycle's plan -------------------------------------------------------

struct Plan {
  bool filterRun = true;
  bool about = true;
  DialogPlan dialog;
  bool fileListSuite = true;
  const char* failCall = nullptr;  // the fault plan's call, failing at its failAt-th
  int failAt = 0;
  int abortAfter = -1;  // abortProc answers yes from its n-th call on; -1: never
};

enum class Pattern { Mixed, Convert, Cancel, About, AboutRefused, Load };

Plan PlanFor(Pattern pattern, int cycle) {
  Plan p;
  switch (pattern) {
    case Pattern::Convert: p.about = false; return p;
    case Pattern::Cancel: p.about = false, p.dialog.confirmAnswer = IDCANCEL; return p;
    case Pattern::About: p.filterRun = false; return p;
    case Pattern::AboutRefused: p.filterRun = false, p.fileListSuite = false; return p;
    case Pattern::Load: p.filterRun = p.about = false; return p;
    case Pattern::Mixed: break;
  }
  if (cycle % 5 == 4) p.dialog.confirmAnswer = IDCANCEL;
  if (cycle % 13 == 6) p.fileListSuite = false;
  switch (cycle % 11) {
    case 1: p.failCall = "newProc", p.failAt = 1; break;
    case 3: p.failCall = "lockProc", p.failAt = 2; break;
    case 5: p.failCall = "advanceState", p.failAt = 3; break;
    case 7: p.abortAfter = 2; break;
    case 9: p.failCall = "lockProc", p.failAt = 1; break;
    default: break;
  }
  return p;
}

// ---- the document -----------------------------------------------------------

struct Document {
  static constexpr int kWidth = 40, kHeight = 24, kPlanes = 3;
  std::vector<uint8_t> source[kPlanes], target[kPlanes];
  // Samples from 96 to 111: each has two levels around it in every plane.
  void Reset() {
    for (int p = 0; p < kPlanes; ++p) {
      source[p].resize(size_t{kWidth} * kHeight);
      for (size_t i = 0; i < source[p].size(); ++i) source[p][i] = static_cast<uint8_t>(96 + (i + p) % 16);
      target[p] = source[p];
    }
  }
  hostkit::Planes Planes() {
    hostkit::Planes planes;
    planes.height = kHeight;
    planes.width = planes.rowBytes = kWidth;
    for (int p = 0; p < kPlanes; ++p) {
      planes.in.push_back(source[p].data());
      planes.out.push_back(target[p].data());
    }
    return planes;
  }
  // Every sample on one of the two 5-6-5 levels around its source.
  bool Converted() const {
    static constexpr int kStep[kPlanes] = {8, 4, 8};
    for (int p = 0; p < kPlanes; ++p)
      for (size_t i = 0; i < source[p].size(); ++i) {
        const int low = source[p][i] & ~(kStep[p] - 1), v = target[p][i];
        if (v != low && v != low + kStep[p]) return false;
      }
    return true;
  }
};

Document gDocument;
int gAbortCalls = 0;
// How often each planned fault came into play (the planned call was reached),
// and how many confirmations were cancelled, per phase.
std::map<std::string, int> gFired;
int gAbortAfter = -1;

Boolean AbortProc() { return gAbortAfter >= 0 && ++gAbortCalls > gAbortAfter; }
void ProgressProc(int32_t, int32_t) {}

// ---- the host ---------------------------------------------------------------

DWORD WINAPI Worker(LPVOID) { return 0; }

class Host {
 public:
  hostkit::ModuleHost kit;

  explicit Host(PluginMainProc main) : main_(main) { platform_.hwnd = gWindow; }

  // One pass of the plan over the loaded module; answers false when the
  // module did something wrong (named through Fail).
  bool Run(const Plan& plan, int cycle) {
    const std::string where = "cycle " + std::to_string(cycle) + ": ";
    kit.faults = hostkit::FaultPlan{};
    if (plan.failCall != nullptr) kit.faults.FailAt(plan.failCall, plan.failAt);
    kit.suites.caps.fileListSuite = plan.fileListSuite;
    gDialogs.plan = plan.dialog;
    gAbortCalls = 0;
    gAbortAfter = plan.abortAfter;
    bool ok = true;
    // A worker thread of the host starts and ends while the module is
    // loaded: the module sees the thread attach and detach. (Every fourth
    // cycle: a thread costs Wine about as much as the rest of a cycle.)
    HANDLE worker = cycle % 4 == 0 ? CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr) : nullptr;
    if (worker != nullptr) {
      WaitForSingleObject(worker, INFINITE);
      CloseHandle(worker);
    }
    if (plan.filterRun) {
      ok = FilterRun(plan, where) && ok;
      if (plan.failCall != nullptr && kit.faults.Calls(plan.failCall) >= plan.failAt) ++gFired[plan.failCall];
      if (plan.abortAfter >= 0 && gAbortCalls > plan.abortAfter) ++gFired["abortProc"];
      if (plan.dialog.confirmAnswer == IDCANCEL) ++gFired["Cancel"];
    }
    if (plan.about) ok = About(plan, where) && ok;
    if (kit.ReportMisuse(stdout)) {
      Fail(where + "host misuse");
      ok = false;
    }
    return ok;
  }

 private:
  bool FilterRun(const Plan& plan, const std::string& where) {
    gDocument.Reset();
    filter_ = {};
    FilterRecord& r = filter_.record;
    r.abortProc = AbortProc;
    r.progressProc = ProgressProc;
    r.imageSize = Point{Document::kHeight, Document::kWidth};
    r.planes = Document::kPlanes;
    r.filterRect = Rect{0, 0, Document::kHeight, Document::kWidth};
    r.platformData = &platform_;
    r.advanceState = hostkit::ModuleHost::AdvanceState;
    r.inTileHeight = r.inTileWidth = r.outTileHeight = r.outTileWidth = 16;
    r.depth = 8;
    r.imageMode = 3;
    r.handleProcs = kit.Procs();
    kit.suites.Attach(r);
    bool ok = true;
    int16_t last = 0;
    for (int16_t selector = filterSelectorParameters; selector <= filterSelectorFinish; ++selector) {
      int16_t result = 0;
      kit.Serve(r, gDocument.Planes());
      gDialogs.answered = nullptr;
      kit.Call(main_, selector, &filter_, sizeof(filter_), hostkit::FilterRecordWritable(), &data_, &result);
      kit.EndServe();
      if (kit.suites.LockedHandles() != 0) {
        Fail(where + "a block stays locked after selector " + std::to_string(selector));
        ok = false;
      }
      kit.handles.Check("after selector " + std::to_string(selector));
      last = result;
      // A host stops at the first call that does not answer noErr.
      if (result != 0) break;
    }
    const bool clean = plan.failCall == nullptr && plan.abortAfter < 0;
    if (clean && plan.dialog.confirmAnswer == IDOK && (last != 0 || !gDocument.Converted())) {
      Fail(where + "a clean run answered " + std::to_string(last) + " or left samples off the levels");
      ok = false;
    }
    if (clean && plan.dialog.confirmAnswer == IDCANCEL && last != -128) {
      Fail(where + "a cancelled confirmation answered " + std::to_string(last));
      ok = false;
    }
    return ok;
  }

  bool About(const Plan& plan, const std::string& where) {
    about_ = {};
    about_.record.platformData = &platform_;
    about_.record.sSPBasic = kit.suites.BasicSuite();
    const size_t browsed = kit.suites.browsedUrls.size();
    int16_t result = 0x77;
    gDialogs.answered = nullptr;
    kit.Call(main_, filterSelectorAbout, &about_, sizeof(about_), {}, &data_, &result);
    bool ok = true;
    if (result != 0x77) {
      Fail(where + "the about call wrote its result slot");
      ok = false;
    }
    const bool opened = kit.suites.browsedUrls.size() == browsed + 1;
    if (plan.dialog.clickLink && plan.fileListSuite && !opened) {
      Fail(where + "the link click opened nothing");
      ok = false;
    }
    kit.suites.browsedUrls.clear();
    return ok;
  }

  PluginMainProc main_;
  PlatformData platform_{};
  struct {
    FilterRecord record{};
    uint8_t tail[512]{};
  } filter_;
  struct {
    AboutRecord record{};
    uint8_t tail[256]{};
  } about_;
  intptr_t data_ = 0;
};

// ---- measuring --------------------------------------------------------------

Footprint Measure() { return hostkit::MeasureFootprint({HostHeap()}); }

// Fails (and answers false) when anything grew beyond the bounds since `base`.
bool WithinBounds(const Footprint& base, const Footprint& now, const char* phase, int done) {
  const auto beyond = hostkit::GrowthBeyond(base, now, SoakBounds());
  std::printf("%s %d: %s\n", phase, done, hostkit::Describe(now).c_str());
  for (const std::string& b : beyond) Fail(std::string(phase) + " " + std::to_string(done) + ": " + b);
  return beyond.empty();
}

bool StillMapped(const std::string& path) {
  HMODULE m = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, hostkit::WindowsPath(path).c_str(), &m) !=
         FALSE;
}

bool DialogsAnsweredCleanly(const char* phase, int done) {
  if (gDialogs.ignored == 0 && gDialogs.wrongOwner == 0) return true;
  Fail(std::string(phase) + " " + std::to_string(done) + ": " + std::to_string(gDialogs.ignored) +
       " dialog(s) ignored their answer, " + std::to_string(gDialogs.wrongOwner) + " not owned by the host window");
  return false;
}

// Says how often each planned fault came into play; in the mixed plan every
// kind must have.
bool FaultsCameIntoPlay(const char* phase, Pattern pattern) {
  std::string text;
  for (const auto& [what, n] : gFired) text += " " + what + " " + std::to_string(n);
  std::printf("%s: faults that came into play:%s\n", phase, text.c_str());
  bool ok = true;
  if (pattern == Pattern::Mixed)
    for (const char* what : {"newProc", "lockProc", "advanceState", "abortProc", "Cancel"})
      if (gFired[what] == 0) {
        Fail(std::string(phase) + ": no planned " + what + " came into play");
        ok = false;
      }
  gFired.clear();
  return ok;
}

// What must be as it was before the module was first loaded, once it has
// been unloaded for the last time: the next class atom and the next global
// atom. A window class that the module registers at every load and never
// unregisters takes one atom at the first load only (later registrations of
// the same class at the same base fail), which a reading after the warm-up
// would already contain.
bool AtomsAsBeforeTheFirstLoad(const Footprint& before, const char* phase) {
  const Footprint after = Measure();
  FootprintBounds atomsOnly;
  atomsOnly.tlsSlots = atomsOnly.flsSlots = INT64_MAX;
  atomsOnly.heapBlocks = atomsOnly.heapBytes = atomsOnly.privateBytes = atomsOnly.committedPrivate = INT64_MAX;
  atomsOnly.userHandles = INT64_MAX;
  atomsOnly.handles = atomsOnly.guiObjects = atomsOnly.threads = atomsOnly.modules = atomsOnly.windows = INT64_MAX;
  const auto beyond = hostkit::GrowthBeyond(before, after, atomsOnly);
  std::printf("%s: next class atom 0x%04x, next atom 0x%04x before the first load; 0x%04x, 0x%04x after the last "
              "unload\n",
              phase, before.nextClassAtom, before.nextGlobalAtom, after.nextClassAtom, after.nextGlobalAtom);
  for (const std::string& b : beyond) Fail(std::string(phase) + ", from before the first load: " + b);
  return beyond.empty();
}

// A dialog of the host's own, shown once before anything is measured: what
// Wine sets up at the first dialog a process shows, and keeps for the
// process (under its X11 driver, an atom), is then not counted against the
// module. It is answered as the module's dialogs are, when it goes idle.
INT_PTR CALLBACK PrimingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    EndDialog(dialog, IDOK);
    return TRUE;
  }
  return FALSE;
}

void ShowAHostDialog() {
  struct alignas(4) Template {
    DLGTEMPLATE dialog;
    WORD menu, windowClass, title;
    DLGITEMTEMPLATE button;
    WORD buttonClass[2], buttonTitle, creationData;
  } t{};
  t.dialog.style = WS_POPUP | WS_CAPTION | DS_MODALFRAME;
  t.dialog.cdit = 1;
  t.dialog.cx = 100;
  t.dialog.cy = 40;
  t.button.style = WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON;
  t.button.x = 10;
  t.button.y = 10;
  t.button.cx = 40;
  t.button.cy = 14;
  t.button.id = IDOK;
  t.buttonClass[0] = 0xFFFF;
  t.buttonClass[1] = 0x0080;  // the button class
  gDialogs.plan = DialogPlan{};
  gDialogs.answered = nullptr;
  DialogBoxIndirectParamA(GetModuleHandleA(nullptr), &t.dialog, gWindow, PrimingDialogProc, 0);
  gDialogs.shown = 0;
}

// Load, run, unload, `cycles` times.
bool LoadCycles(const std::string& path, Pattern pattern, int cycles, int every) {
  Footprint base{};
  ShowAHostDialog();
  const Footprint beforeFirstLoad = Measure();
  gPhase = "load cycle";
  for (int cycle = 0; cycle < cycles; ++cycle) {
    gDone = cycle;
    if (cycle == kWarmUp) {
      base = Measure();
      std::printf("load cycles: after the warm-up of %d: %s\n", kWarmUp, hostkit::Describe(base).c_str());
    }
    const hostkit::LoadedModule module = hostkit::LoadModule(path);
    if (module.main == nullptr) {
      Fail("cycle " + std::to_string(cycle) + ": cannot load the module");
      return false;
    }
    bool ok = true;
    {
      // The host, its suites and its logs live as long as the module.
      Host host(module.main);
      ok = host.Run(PlanFor(pattern, cycle), cycle);
      FreeLibrary(module.handle);
      if (host.kit.suites.HeldSuites() != 0) {
        Fail("cycle " + std::to_string(cycle) + ": a suite is still held after unload");
        ok = false;
      }
    }
    if (StillMapped(path)) {
      Fail("cycle " + std::to_string(cycle) + ": the module is still mapped after FreeLibrary");
      ok = false;
    }
    if (!ok || !DialogsAnsweredCleanly("load cycle", cycle)) return false;
    const int done = cycle + 1;
    if (done > kWarmUp && ((done - kWarmUp) % every == 0 || done == cycles) &&
        !WithinBounds(base, Measure(), "load cycles", done))
      return false;
  }
  return AtomsAsBeforeTheFirstLoad(beforeFirstLoad, "load cycles");
}

// The module loaded once; `runs` passes of the plan.
bool RunsWithoutUnloading(const std::string& path, Pattern pattern, int runs, int every) {
  ShowAHostDialog();
  const Footprint beforeTheLoad = Measure();
  const hostkit::LoadedModule module = hostkit::LoadModule(path);
  if (module.main == nullptr) {
    Fail("cannot load the module");
    return false;
  }
  bool ok = true;
  {
    Host host(module.main);
    Footprint base{};
    gPhase = "run";
    for (int run = 0; run < runs && ok; ++run) {
      gDone = run;
      if (run == kWarmUp) {
        base = Measure();
        std::printf("runs: after the warm-up of %d: %s\n", kWarmUp, hostkit::Describe(base).c_str());
      }
      // The kit's logs would grow with every call; the host forgets them.
      host.kit.log.Clear();
      ok = host.Run(PlanFor(pattern, run), run) && DialogsAnsweredCleanly("run", run);
      const int done = run + 1;
      if (ok && done > kWarmUp && ((done - kWarmUp) % every == 0 || done == runs))
        ok = WithinBounds(base, Measure(), "runs", done);
    }
    FreeLibrary(module.handle);
  }
  return AtomsAsBeforeTheFirstLoad(beforeTheLoad, "runs") && ok;
}

bool ParsePattern(const std::string& name, Pattern* pattern) {
  static const struct {
    const char* name;
    Pattern pattern;
  } kPatterns[] = {{"mixed", Pattern::Mixed}, {"convert", Pattern::Convert}, {"cancel", Pattern::Cancel},
                   {"about", Pattern::About}, {"about-refused", Pattern::AboutRefused}, {"load", Pattern::Load}};
  for (const auto& p : kPatterns)
    if (name == p.name) {
      *pattern = p.pattern;
      return true;
    }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) {
    std::printf("usage: %s <Pixelmoor.8bf> [--cycles N] [--runs N] [--pattern P] [--every N]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  int cycles = 2000, runs = 2000, every = 250;
  Pattern pattern = Pattern::Mixed;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--cycles")
      cycles = std::atoi(value.c_str());
    else if (option == "--runs")
      runs = std::atoi(value.c_str());
    else if (option == "--every")
      every = std::max(1, std::atoi(value.c_str()));
    else if (option != "--pattern" || !ParsePattern(value, &pattern)) {
      std::printf("unknown option %s %s\n", option.c_str(), value.c_str());
      return 2;
    }
  }

  std::signal(SIGABRT, OnAbort);
  WNDCLASSA wc{};
  wc.lpfnWndProc = HostWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "PixelmoorSoakHost";
  RegisterClassA(&wc);
  gWindow = CreateWindowExA(0, wc.lpszClassName, "Pixelmoor soak host", WS_OVERLAPPEDWINDOW, 100, 100, 640, 480,
                            nullptr, nullptr, wc.hInstance, nullptr);

  const ULONGLONG start = GetTickCount64();
  bool ok = cycles <= 0 || LoadCycles(path, pattern, cycles, every);
  const ULONGLONG cyclesDone = GetTickCount64();
  std::printf("load cycles: %d in %.1f s, %d dialogs\n", cycles, double(cyclesDone - start) / 1000, gDialogs.shown);
  if (ok && cycles > 0) ok = FaultsCameIntoPlay("load cycles", pattern);
  if (ok && runs > 0) {
    gDialogs.shown = 0;
    ok = RunsWithoutUnloading(path, pattern, runs, every);
    std::printf("runs: %d in %.1f s, %d dialogs\n", runs, double(GetTickCount64() - cyclesDone) / 1000,
                gDialogs.shown);
    if (ok) ok = FaultsCameIntoPlay("runs", pattern);
  }
  DestroyWindow(gWindow);
  std::printf("soak: %s\n", ok && gFailures == 0 ? "passed" : "FAILED");
  return ok && gFailures == 0 ? 0 : 1;
}
