// Loads the real Pixelmoor.8bf and drives it as a minimal host would, on the
// host kit's ModuleHost (tests/hostkit/ModuleHost_win.h), shared with the Wine
// dialogs program: one handle table serves every handle (the two blocks and
// the scripting descriptors: lock counts, blocks that move on their last
// unlock, guard bytes), advanceState hands out guarded tiles (inputs never
// written, guard bytes and row padding, top-down and bottom-up by turns,
// requests outside the image or its planes flagged), every PluginMain call
// runs inside the record guard (the FilterRecord and the AboutRecord with the
// host's tail after them), and any misuse fails the scenario, the first named
// with the call that made it. The scenarios: the setting persists between
// runs in the host's registry and is recorded for scripting, and the held
// file-list suite goes back to the host exactly once when the module is
// unloaded; a start that the host leaves by a longjmp from its abortProc
// does not stop the next run.
//
//   pixelmoor_settings_wine <Pixelmoor.8bf> persist|unload-after-link|unload-without-acquisition|exit-after-link|
//                           left-by-longjmp|left-by-longjmp-without-unwind
//
// exit-after-link runs this program again as a child host that clicks a link
// and then ends its process without unloading the module, and reads what the
// child printed.
//
// Exit code 0: passed; 1: failed; 77: skipped (the module has no about box
// with link buttons, so there is no way to make it acquire the suite).
#include <windows.h>

#include <setjmp.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "DialogDriver_win.h"
#include "ModuleHost_win.h"
#include "PlaneDelivery.h"
#include "Suites.h"

namespace {

using hostkit::Op;
using hostkit::PluginMainProc;
using hostkit::Suites;

constexpr int kSkipped = 77;
int gFailures = 0;

void Check(bool ok, const std::string& what) {
  if (!ok) {
    ++gFailures;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

// Answers the modal dialogs that the module runs on this (the host's) thread
// through the test hosts' dialog driver: presses `commands` in order, the
// last one as the answer. Every dialog must be owned by the host window.
class DialogAnswers {
 public:
  DialogAnswers(HWND owner, std::vector<int> commands) : owner_(owner), answerer_(Options(std::move(commands))) {}
  ~DialogAnswers() {
    answerer_.Stop();
    Check(wrongOwner_ == 0, std::to_string(wrongOwner_) + " dialog(s) not owned by the host window");
  }
  DialogAnswers(const DialogAnswers&) = delete;
  DialogAnswers& operator=(const DialogAnswers&) = delete;

  int DialogsSeen() { return answerer_.Stop(); }

 private:
  hostkit::DialogAnswerer::Options Options(std::vector<int> commands) {
    hostkit::DialogAnswerer::Options options;
    options.thread = GetCurrentThreadId();
    options.answerId = commands.back();
    commands.pop_back();
    options.pressFirst = std::move(commands);
    options.onDialog = [this](HWND, const hostkit::DialogDescription& d) {
      if (d.owner != owner_) ++wrongOwner_;
    };
    return options;
  }

  HWND owner_;
  std::atomic<int> wrongOwner_{0};
  hostkit::DialogAnswerer answerer_;
};

// A small planar 8-bit RGB document, delivered one plane at a time.
struct Document {
  static constexpr int kWidth = 64, kHeight = 48, kPlanes = 3;
  static constexpr uint8_t kSource[kPlanes] = {100, 101, 102};
  static constexpr uint8_t kTruncMask[kPlanes] = {0xF8, 0xFC, 0xF8};  // 5, 6, 5 bits
  static constexpr int kStep[kPlanes] = {8, 4, 8};
  std::vector<uint8_t> source[kPlanes], target[kPlanes];

  void Reset() {
    for (int p = 0; p < kPlanes; ++p) {
      source[p].assign(size_t{kWidth} * kHeight, kSource[p]);
      target[p] = source[p];
    }
  }

  // The planes as the kit's tile delivery reads them: the module gets copies
  // in guarded tiles, and its output comes back into `target`.
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
};

Document gDocument;

Boolean NeverAbort() { return 0; }
void NoProgress(int32_t, int32_t) {}

// The converted document: truncated everywhere (no dithering), or dithered
// (only the two neighbouring levels, and some samples moved up).
void CheckConverted(bool dithered) {
  for (int p = 0; p < Document::kPlanes; ++p) {
    const int low = Document::kSource[p] & Document::kTruncMask[p];
    int moved = 0, wrong = 0;
    for (uint8_t v : gDocument.target[p]) {
      if (v == low + Document::kStep[p])
        ++moved;
      else if (v != low)
        ++wrong;
    }
    Check(wrong == 0, "plane " + std::to_string(p) + " holds values outside the 5-6-5 levels");
    if (dithered)
      Check(moved > 0, "plane " + std::to_string(p) + " shows no dithering");
    else
      Check(moved == 0, "plane " + std::to_string(p) + " was dithered although the setting is off");
  }
}

// How a host leaves a call from its abortProc: a longjmp through msvcrt to a
// setjmp that names its frame (this compiler's setjmp), which makes msvcrt
// unwind the frames it leaves; or to one that names none, which jumps
// without unwinding. A probe object in the host's own frame between the two
// says whether the unwinding ran the destructors of the frames it left.
jmp_buf gLeave;
bool gProbeDestroyed = false;
struct UnwindProbe {
  ~UnwindProbe() { gProbeDestroyed = true; }
};
Boolean LeaveByLongjmp() { longjmp(gLeave, 1); }

// Each runs `call`, which the abortProc leaves; answers whether it was left.
[[gnu::noinline]] bool LeftWithUnwind(const std::function<void()>& call) {
  if (setjmp(gLeave) != 0) return true;
  call();
  return false;
}
[[gnu::noinline]] bool LeftWithoutUnwind(const std::function<void()>& call) {
  if (_setjmp(gLeave, nullptr) != 0) return true;
  call();
  return false;
}

class Host {
 public:
  explicit Host(const std::string& modulePath) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "PixelmoorSettingsHost";
    RegisterClassA(&wc);
    window_ = CreateWindowExA(0, wc.lpszClassName, "Pixelmoor settings host", WS_OVERLAPPEDWINDOW, 100, 100, 640,
                              480, nullptr, nullptr, wc.hInstance, nullptr);
    platform_.hwnd = window_;
    const hostkit::LoadedModule loaded = hostkit::LoadModule(modulePath);
    module_ = loaded.handle;
    pluginMain_ = loaded.main;
    Check(pluginMain_ != nullptr, "cannot load " + modulePath + " or find PluginMain");
  }
  ~Host() {
    Unload();
    if (window_ != nullptr) DestroyWindow(window_);
  }

  bool Loaded() const { return pluginMain_ != nullptr; }
  hostkit::ModuleHost& kit() { return kit_; }
  Suites& suites() { return kit_.suites; }

  void Unload() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
    pluginMain_ = nullptr;
  }

  // parameters, prepare, start (pressing OK in the confirmation dialog),
  // continue, finish; every call must answer 0.
  void FilterRun(Suites& suites) {
    Prepare(suites);
    for (int16_t selector = filterSelectorParameters; selector <= filterSelectorFinish; ++selector) Run(selector);
  }

  // parameters and prepare as in FilterRun, then a start (OK pressed in the
  // dialog) that the host's abortProc leaves by a longjmp. Answers whether
  // the call was left; then the host takes back the tile it had delivered.
  bool StartLeftByLongjmp(Suites& suites, bool (*leave)(const std::function<void()>&)) {
    Prepare(suites);
    Run(filterSelectorParameters);
    Run(filterSelectorPrepare);
    filter_.record.abortProc = LeaveByLongjmp;
    result_ = 0;
    kit_.Serve(filter_.record, gDocument.Planes());
    bool left = false;
    gProbeDestroyed = false;
    {
      DialogAnswers answers(window_, {IDOK});
      left = leave([&] {
        const UnwindProbe probe;
        Call(filterSelectorStart, &result_);
      });
    }
    kit_.EndServe();
    filter_.record.abortProc = NeverAbort;
    return left;
  }

  // The host's recovery from a call it left: it gives back the locks of that
  // call itself (the module leaves them to the host).
  void UnlockBlocks() {
    kit_.Procs()->unlockProc(filter_.record.parameters);
    kit_.Procs()->unlockProc(reinterpret_cast<Handle>(data_));
  }

  // The about selector; the driver presses `commands` in the about box.
  // Returns how many dialogs appeared.
  int About(Suites& suites, std::vector<int> commands) {
    about_.record.platformData = &platform_;
    about_.record.sSPBasic = suites.BasicSuite();
    int16_t result = 0x77;
    DialogAnswers answers(window_, std::move(commands));
    kit_.Call(pluginMain_, filterSelectorAbout, &about_, sizeof(about_), {}, &data_, &result);
    Check(result == 0x77, "the about selector wrote the result slot");
    return answers.DialogsSeen();
  }

  PIDescriptorParameters* Scripting() { return filter_.record.descriptorParameters; }

 private:
  void Prepare(Suites& suites) {
    gDocument.Reset();
    FilterRecord& r = filter_.record;
    r.abortProc = NeverAbort;
    r.progressProc = NoProgress;
    r.imageSize = Point{Document::kHeight, Document::kWidth};
    r.planes = Document::kPlanes;
    r.filterRect = Rect{0, 0, Document::kHeight, Document::kWidth};
    r.platformData = &platform_;
    r.advanceState = hostkit::ModuleHost::AdvanceState;
    r.outTileHeight = r.outTileWidth = 32;
    r.inTileHeight = r.inTileWidth = 32;
    r.depth = 8;
    r.imageMode = 3;
    r.handleProcs = kit_.Procs();
    suites.Attach(r);
  }

  // One call of a run, which must answer 0 and leave nothing locked.
  void Run(int16_t selector) {
    Suites& suites = kit_.suites;
    FilterRecord& r = filter_.record;
    result_ = 0;
    // Only start asks for tiles; a request in any other call finds the
    // image served all the same, and the delivery ends with the call.
    kit_.Serve(r, gDocument.Planes());
    if (selector == filterSelectorStart) {
      DialogAnswers answers(window_, {IDOK});
      Call(selector, &result_);
    } else {
      Call(selector, &result_);
    }
    kit_.EndServe();
    Check(result_ == 0, "selector " + std::to_string(selector) + " answered " + std::to_string(result_));
    Check(suites.LockedHandles() == 0, "a block stays locked after selector " + std::to_string(selector));
    // Guard bytes written and handles left locked go into the misuse log
    // with the selector (the module host's Call has checked the suites,
    // descriptors and tokens already); CheckBalanced reports it.
    suites.handles().Check("after selector " + std::to_string(selector));
  }

  // The FilterRecord with the host's tail compared before and after the
  // call; the module may write only the members a filter call may.
  void Call(int16_t selector, int16_t* result) {
    kit_.Call(pluginMain_, selector, &filter_, sizeof(filter_), hostkit::FilterRecordWritable(), &data_, result);
  }

  // Made first and gone last: the module gives back the suite it holds when
  // it is unloaded, which the destructor does.
  hostkit::ModuleHost kit_;
  // Hosts allocate more than the records the module knows; the module must
  // never touch the bytes past them.
  struct {
    FilterRecord record{};
    uint8_t tail[512]{};
  } filter_;
  struct {
    AboutRecord record{};
    uint8_t tail[256]{};
  } about_;
  PlatformData platform_{};
  intptr_t data_ = 0;
  int16_t result_ = 0;  // the one result slot of every filter call, as most hosts keep it
  HWND window_ = nullptr;
  HMODULE module_ = nullptr;
  PluginMainProc pluginMain_ = nullptr;
};

std::string EntryText(const Suites& suites) {
  auto it = suites.registry.find(hostkit::kSettingsKey);
  if (it == suites.registry.end()) return "none";
  std::string s;
  for (const auto& [key, value] : it->second.booleans)
    s += (key == hostkit::kKeyDith ? "dith=" : "other=") + std::to_string(value) + " ";
  return s + (it->second.persistent ? "persistent" : "transient");
}

std::string ScriptText(const Suites& suites, Handle descriptor) {
  auto booleans = suites.ScriptBooleans(descriptor);
  if (!booleans) return "no descriptor";
  std::string s;
  for (const auto& [key, value] : *booleans)
    s += (key == hostkit::kKeyDith ? "dith=" : "other=") + std::to_string(value) + " ";
  return s.empty() ? "no key" : s.substr(0, s.size() - 1);
}

// Any misuse fails the scenario; the first is where a chain of faults
// starts, so it is named with the call that made it before all are listed.
void CheckNoMisuse(Suites& suites) {
  if (const auto first = suites.misuseLog().First())
    Check(false, "first host misuse: " + first->what + " (in " + first->call + ")");
  for (const std::string& m : suites.Misuse()) Check(false, "host misuse: " + m);
}

void CheckBalanced(Suites& suites) {
  Check(suites.HeldSuites() == 0, "a suite is still held");
  Check(suites.LiveDescriptors() == 0, "a descriptor was not freed");
  Check(suites.LiveTokens() == 0, "a write token was not closed");
  CheckNoMisuse(suites);
}

int FileListReleases(const Suites& suites) {
  int n = 0;
  for (const auto& e : suites.Events()) {
    if (e.op != Op::ReleaseSuite) continue;
    Check(e.text == hostkit::kFileListSuiteName ? e.version == 4 : true, "file-list suite released with version " +
                                                                             std::to_string(e.version));
    if (e.text == hostkit::kFileListSuiteName) ++n;
  }
  return n;
}

// First run on an empty registry: dithered, 'dith' = true registered and
// recorded. With the entry turned to false: truncated, no key recorded, false
// registered again.
bool Persist(Suites& suites, Host& host) {
  host.FilterRun(suites);
  CheckConverted(true);
  Check(EntryText(suites) == "dith=1 persistent", "first run registered " + EntryText(suites));
  Check(ScriptText(suites, host.Scripting()->descriptor) == "dith=1",
        "first run recorded " + ScriptText(suites, host.Scripting()->descriptor));
  Check(host.Scripting()->recordInfo == plugInDialogOptional, "recordInfo is not plugInDialogOptional");

  suites.registry[hostkit::kSettingsKey].booleans[hostkit::kKeyDith] = false;
  host.FilterRun(suites);
  CheckConverted(false);
  Check(EntryText(suites) == "dith=0 persistent", "second run registered " + EntryText(suites));
  Check(ScriptText(suites, host.Scripting()->descriptor) == "no key",
        "second run recorded " + ScriptText(suites, host.Scripting()->descriptor));
  return true;
}

// A link click in the about box acquires the file-list suite; unloading the
// module gives it back once, with the same name and version.
bool UnloadAfterLink(Suites& suites, Host& host) {
  constexpr int kFirstLink = 4, kCloseAbout = 1;
  const int dialogs = host.About(suites, {kFirstLink, kCloseAbout});
  if (dialogs == 0 && suites.Count(Op::AcquireSuite) == 0) {
    std::printf("SKIPPED: no about box appeared, so no link can be clicked in this build\n");
    return false;
  }
  Check(dialogs == 1, "expected one about box, saw " + std::to_string(dialogs));
  Check(suites.Count(Op::AcquireSuite, hostkit::kFileListSuiteName) == 1, "file-list suite not acquired once");
  Check(suites.browsedUrls.size() == 1 && suites.browsedUrls[0].rfind("http://", 0) == 0,
        "the link click opened no http:// address");
  Check(FileListReleases(suites) == 0, "the file-list suite was released before unload");
  Check(suites.HeldSuites() == 1, "the file-list suite is not held between calls");

  // A filter run in between changes nothing about the held suite.
  host.FilterRun(suites);
  Check(FileListReleases(suites) == 0, "a filter run released the held suite");

  host.Unload();
  Check(FileListReleases(suites) == 1,
        "unload released the file-list suite " + std::to_string(FileListReleases(suites)) + " times");
  return true;
}

// Without a link click nothing is held, and unloading releases nothing.
bool UnloadWithoutAcquisition(Suites& suites, Host& host) {
  constexpr int kCloseAbout = 1;
  host.About(suites, {kCloseAbout});
  host.FilterRun(suites);
  host.Unload();
  Check(suites.Count(Op::AcquireSuite, hostkit::kFileListSuiteName) == 0, "file-list suite acquired unasked");
  Check(FileListReleases(suites) == 0, "unload released a suite that was never acquired");
  return true;
}

// A start that the host leaves by a longjmp from its abortProc, once the
// dialog has been answered and the conversion has begun: the module never
// sees the call end. The next run, with the same result slot, runs whole:
// the dialog, the conversion, the setting saved. The left call's two locks
// are the host's to give back.
bool LeftByLongjmp(Suites& suites, Host& host, bool (*leave)(const std::function<void()>&)) {
  Check(host.StartLeftByLongjmp(suites, leave), "the start returned instead of being left");
  std::printf("the longjmp %s the destructors of the frames it left\n", gProbeDestroyed ? "ran" : "did not run");
  Check(suites.LockedHandles() == 2,
        "the left start holds " + std::to_string(suites.LockedHandles()) + " locked block(s), not its two");
  host.UnlockBlocks();
  host.FilterRun(suites);
  CheckConverted(true);
  return true;
}
bool LeftByLongjmpWithUnwind(Suites& suites, Host& host) { return LeftByLongjmp(suites, host, LeftWithUnwind); }
bool LeftByLongjmpWithoutUnwind(Suites& suites, Host& host) { return LeftByLongjmp(suites, host, LeftWithoutUnwind); }

// Writes straight to the standard output handle: at process exit the C
// runtime's streams may already be closed.
void RawPrint(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

// The host's teardown, run from its exit-time list before the system
// detaches the module: from here on the basic suite is poisoned, as a host
// that frees or clears its tables at exit leaves it. A call that still
// arrives reports itself.
SPBasicSuite* gExitingBasicSuite = nullptr;
SPErr ReleaseAfterTeardown(const char*, int32_t) {
  RawPrint("child: ReleaseSuite called after the host's teardown began\n");
  return 0;
}
SPErr AcquireAfterTeardown(const char*, int32_t, const void**) {
  RawPrint("child: AcquireSuite called after the host's teardown began\n");
  return kSPSuiteNotFoundError;
}
void TearDownHost() {
  if (gExitingBasicSuite == nullptr) return;
  gExitingBasicSuite->AcquireSuite = AcquireAfterTeardown;
  gExitingBasicSuite->ReleaseSuite = ReleaseAfterTeardown;
  RawPrint("child: host torn down\n");
}

// The child: a link click makes the module hold the file-list suite, a
// filter run follows, and the process then ends with the module loaded.
int ExitAfterLinkChild(const std::string& modulePath) {
  // Never destroyed: the process ends with the host and the module in use.
  Host* host = new Host(modulePath);
  if (!host->Loaded()) return 1;
  Suites& suites = host->suites();
  host->About(suites, {4, 1});
  host->FilterRun(suites);
  CheckNoMisuse(suites);
  const bool held = suites.Count(Op::AcquireSuite, hostkit::kFileListSuiteName) == 1 && suites.HeldSuites() == 1 &&
                    FileListReleases(suites) == 0;
  if (!held || gFailures != 0) {
    std::printf("child: the file-list suite is not held before exit\n");
    return 1;
  }
  gExitingBasicSuite = suites.BasicSuite();
  std::atexit(TearDownHost);
  std::printf("child: suite held, exiting without FreeLibrary\n");
  std::exit(0);
}

// Runs the child and checks what it printed: it held the suite, tore its host
// down at exit, and no suite call reached the host after that.
int ExitAfterLink(const std::string& modulePath) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\" \"" + modulePath + "\" exit-after-link-child";
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return 1;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION child{};
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                      &child);
  CloseHandle(writeEnd);
  if (!started) {
    std::printf("FAIL: cannot start the child host (%lu)\n", GetLastError());
    return 1;
  }
  std::string output;
  char buffer[512];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0) output.append(buffer, got);
  CloseHandle(readEnd);
  WaitForSingleObject(child.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  std::printf("--- child output ---\n%s--- child exit code %lu ---\n", output.c_str(), code);
  Check(code == 0, "the child host failed");
  Check(output.find("child: host torn down") != std::string::npos, "the child's teardown did not run");
  Check(output.find("after the host's teardown began") == std::string::npos,
        "the module called the host's basic suite after the host's teardown began");
  return gFailures == 0 ? 0 : 1;
}

// One scenario on a fresh host and suites; a scenario answers false when it
// cannot run in this build. Every suite, descriptor and token it used must be
// back with the host by the end.
int Run(const std::string& modulePath, bool (*scenario)(Suites&, Host&)) {
  Host host(modulePath);
  if (!host.Loaded()) return 1;
  if (!scenario(host.suites(), host)) return kSkipped;
  CheckBalanced(host.suites());
  return gFailures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 3) {
    std::printf(
        "usage: %s <Pixelmoor.8bf> persist|unload-after-link|unload-without-acquisition|exit-after-link|"
        "left-by-longjmp|left-by-longjmp-without-unwind\n",
        argv[0]);
    return 2;
  }
  const std::string module = argv[1], scenario = argv[2];
  int code = 2;
  if (scenario == "persist")
    code = Run(module, Persist);
  else if (scenario == "unload-after-link")
    code = Run(module, UnloadAfterLink);
  else if (scenario == "unload-without-acquisition")
    code = Run(module, UnloadWithoutAcquisition);
  else if (scenario == "exit-after-link")
    code = ExitAfterLink(module);
  else if (scenario == "left-by-longjmp")
    code = Run(module, LeftByLongjmpWithUnwind);
  else if (scenario == "left-by-longjmp-without-unwind")
    code = Run(module, LeftByLongjmpWithoutUnwind);
  else if (scenario == "exit-after-link-child")
    return ExitAfterLinkChild(module);
  else
    std::printf("unknown scenario %s\n", scenario.c_str());
  std::printf("%s: %s\n", scenario.c_str(), code == 0 ? "passed" : code == kSkipped ? "skipped" : "FAILED");
  return code;
}
