// Runs the module's selectors: parameters, prepare, start, the continue loop
// and finish for each run of a filter, the about box, and the handles the
// host keeps for the module between runs. The record, the deliveries and the
// document of a run live in Record.cpp, Delivery.cpp and Document.cpp.
#include "FilterHost.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "Console.h"
#include "HostKit.h"
#include "HostServices.h"
#include "RunState.h"

namespace pmsession {

Handle gParameters = nullptr;
intptr_t gDataSlot = 0;
Host gHost;

}  // namespace pmsession

using namespace pmsession;

namespace {

constexpr int32_t kMaxContinueCalls = 1000000;

const char* gSelectorName = "none";
const char* const kSelectorNames[] = {"about", "parameters", "prepare", "start", "continue", "finish"};

// The time a module's dialog is open is a person's (or the watcher's), not
// the module's: a hook on this thread sees every dialog window created and
// destroyed while the module runs.
HHOOK gDialogHook = nullptr;
std::vector<HWND> gOpenDialogs;
LONGLONG gDialogOpenedAt = 0;

LRESULT CALLBACK DialogHook(int code, WPARAM w, LPARAM l) {
  const auto window = reinterpret_cast<HWND>(w);
  if (code == HCBT_CREATEWND) {
    char cls[16] = {};
    GetClassNameA(window, cls, static_cast<int>(sizeof cls));
    if (std::strcmp(cls, "#32770") == 0) {
      if (gOpenDialogs.empty()) gDialogOpenedAt = Ticks();
      gOpenDialogs.push_back(window);
    }
  } else if (code == HCBT_DESTROYWND) {
    const auto it = std::find(gOpenDialogs.begin(), gOpenDialogs.end(), window);
    if (it != gOpenDialogs.end()) {
      gOpenDialogs.erase(it);
      if (gOpenDialogs.empty()) gHost.dialogTicks += Ticks() - gDialogOpenedAt;
    }
  }
  return CallNextHookEx(gDialogHook, code, w, l);
}

// ---- running ----------------------------------------------------------------

// The record and the result slot: one of each for the session, as most hosts
// keep them, so that a call after one the host left finds the same ones.
RecordStorage& SessionRecord() {
  static RecordStorage storage;
  return storage;
}
int16_t gResultSlot = 0;

bool CallSelector(PluginEntry entry, int16_t selector, RecordStorage& s, RunOutcome& outcome) {
  FilterRecord* r = s.Record();
  r->parameters = gParameters;
  hostkit::RecordGuard record, big;
  record.Take(s.bytes.data(), s.bytes.size());
  big.Take(&s.big, sizeof s.big);
  gResultSlot = 0;
  gSelectorName = kSelectorNames[selector];
  EnterSelector(gSelectorName);
  bool left = false;
  {
    const TimedSpan timed(gHost.moduleTicks);
    left = CallLeavable(entry, selector, r, &gDataSlot, &gResultSlot);
  }
  const int16_t result = gResultSlot;
  LeaveSelector(gSelectorName);
  gSelectorName = "none";
  gParameters = r->parameters;
  if (left) {
    // The host gives up the call: what it delivered is taken back unused,
    // what the module held is the host's to give back.
    Say("pmhost: %s was left by a longjmp out of %s\n", kSelectorNames[selector], AbandonedFrom());
    gHost.in.Drop();
    gHost.out.Drop();
    gHost.mask.Drop();
    TakeBackAbandonedCall();
    outcome.abandoned = kSelectorNames[selector];
    return false;
  }
  CheckHostMembers(record, s.bytes.data(), kSelectorNames[selector]);
  if (const auto changed = big.Compare(&s.big, "bigDocumentData", BigDocumentWritable()))
    ReportMisuse("the module changed the host's image size or filter rectangle in bigDocumentData during %s (%s)",
                 kSelectorNames[selector], changed->c_str());
  CheckAfterCall((std::string("after ") + kSelectorNames[selector]).c_str());
  if (result != noErr) {
    outcome.result = result;
    outcome.failedSelector = kSelectorNames[selector];
    return false;
  }
  return true;
}

bool RunOnce(PluginEntry entry, RunDocument& doc, const RunOptions& o, void* hostWindow, bool withParameters,
             RunOutcome& outcome) {
  RecordStorage& storage = SessionRecord();
  FillRecord(storage, doc, o, hostWindow);
  storage.errorString[0] = 0;
  FilterRecord* r = storage.Record();
  gHost = Host{};
  gHost.options = &o;
  gHost.doc = &doc;
  gHost.record = r;
  gHost.big = r->bigDocumentData;
  if (o.failAdvanceAt > 0) gHost.plan.FailAt("advanceState", o.failAdvanceAt);
  auto finishRun = [&](bool ok) {
    if (storage.errorString[0] != 0)
      Say("pmhost: the module's error text: %.*s\n", storage.errorString[0], storage.errorString + 1);
    if (r->descriptorParameters != nullptr && r->descriptorParameters->descriptor != nullptr) {
      Handle d = r->descriptorParameters->descriptor;
      const std::string text = DescribeDescriptorHandle(d);
      if (text.empty()) ReportMisuse("descriptorParameters->descriptor holds %p, not a descriptor handle of this host", static_cast<void*>(d));
      else Say("pmhost: scripting descriptor: %s (recordInfo %d)\n", text.c_str(), r->descriptorParameters->recordInfo);
      if (!text.empty()) outcome.recordedDescriptor = HostHandleBytes(d);
      outcome.recordInfo = r->descriptorParameters->recordInfo;
      if (IsHostHandle(d)) HostDisposeHandle(d);
    }
    Say("pmhost: %d advanceState call(s), %d progress report(s), %d abort check(s)\n", gHost.advanceCalls,
        gHost.progressCalls, gHost.abortCalls);
    if (o.timing) {
      if (gDialogHook != nullptr) UnhookWindowsHookEx(gDialogHook);
      gDialogHook = nullptr;
      gOpenDialogs.clear();
      const LONGLONG own = gHost.moduleTicks - gHost.advanceTicks - gHost.callbackTicks - gHost.dialogTicks;
      Say("pmhost: timing: module %.1f ms (in its calls %.1f ms, less advanceState %.1f ms, progress and abort "
          "%.1f ms, dialogs open %.1f ms)\n",
          Milliseconds(own), Milliseconds(gHost.moduleTicks), Milliseconds(gHost.advanceTicks),
          Milliseconds(gHost.callbackTicks), Milliseconds(gHost.dialogTicks));
    }
    return ok;
  };
  if (o.timing) gDialogHook = SetWindowsHookExA(WH_CBT, DialogHook, nullptr, GetCurrentThreadId());
  if (withParameters && !CallSelector(entry, filterSelectorParameters, storage, outcome)) return finishRun(false);
  if (!CallSelector(entry, filterSelectorPrepare, storage, outcome)) return finishRun(false);
  const bool started = CallSelector(entry, filterSelectorStart, storage, outcome);
  if (!outcome.abandoned.empty()) return finishRun(false);
  Commit();
  if (!started) return finishRun(false);
  for (int32_t calls = 0;; ++calls) {
    const Requests q = ReadRequests();
    if (IsEmpty(q.in) && IsEmpty(q.out) && (IsEmpty(q.mask) || !r->haveMask)) break;
    if (calls == kMaxContinueCalls) {
      Stop(outcome, false, "the module still asks for data after " + std::to_string(calls) + " continue calls; stopping");
      return finishRun(false);
    }
    BeginCall("the host's delivery before continue");
    const OSErr err = DeliverRequests();
    auto delivery = RequestEvent(hostkit::Ev::AdvanceState, err);
    delivery.text = "(the host's delivery before continue)";
    NoteCall(std::move(delivery), "the host's delivery before continue");
    if (err != noErr) {
      outcome.result = err;
      outcome.failedSelector = "continue";
      return finishRun(false);
    }
    const bool ok = CallSelector(entry, filterSelectorContinue, storage, outcome);
    if (!outcome.abandoned.empty()) return finishRun(false);
    Commit();
    if (!ok) return finishRun(false);
  }
  if (!CallSelector(entry, filterSelectorFinish, storage, outcome)) return finishRun(false);
  RemoveMatte(doc);
  MaskBySelection(doc, r->autoMask != 0);
  return finishRun(true);
}

}  // namespace

int64_t Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double Milliseconds(int64_t ticks) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return double(ticks) * 1000.0 / double(frequency.QuadPart);
}

std::string ResultName(int32_t code) {
  struct Name {
    int32_t code;
    const char* name;
  };
  static constexpr Name kNames[] = {
      {0, "noErr"},
      {-50, "paramErr"},
      {-108, "memFullErr"},
      {-128, "userCanceledErr"},
      {-1715, "errMissingParameter"},
      {-30100, "filterBadParameters"},
      {-30101, "filterBadMode"},
      {-30900, "errPlugInHostInsufficient"},
  };
  for (const Name& n : kNames)
    if (n.code == code) return std::string(n.name) + " (" + std::to_string(code) + ")";
  return "result code " + std::to_string(code);
}

const char* CurrentSelectorName() { return gSelectorName; }

RunCounts LastRunCounts() {
  return RunCounts{gHost.advanceCalls, gHost.abortCalls, gHost.progressCalls, gHost.advanceAfterStop};
}

namespace {

RunOutcome RunFilterRuns(PluginEntry entry, const PiplInfo* pipl, PlanarImage& image, const RunOptions& options,
                         void* hostWindow, PlaneReserve* destination = nullptr) {
  RunOutcome outcome;
  for (int32_t run = 1; run <= options.runs; ++run) {
    RunDocument doc;
    if (!PrepareDocument(doc, image, pipl, options, outcome, run == 1 ? destination : nullptr)) return outcome;
    if (run == 1)
      Say("pmhost: %d x %d, %d plane(s) of %d bits, %s, filter case %d, filter rectangle %s, tiles %d x %d\n",
          doc.original.width, doc.original.height, doc.original.Channels(), doc.original.depth,
          ModeName(doc.mode).c_str(), doc.filterCase,
          RectText(doc.filterRect).c_str(), options.tileWidth, options.tileHeight);
    if (options.runs > 1) Say("pmhost: run %d of %d\n", run, options.runs);
    const bool ok = RunOnce(entry, doc, options, hostWindow, options.callParameters && run == 1, outcome);
    image = std::move(doc.destination);
    if (!ok) return outcome;
    const size_t changed = CountChanged(image, doc.original), total = PixelCount(image) * size_t(image.Channels());
    Say("pmhost: %zu of %zu samples changed\n", changed, total);
  }
  return outcome;
}

// A run the host leaves by a longjmp out of a callback, then a full run on
// the same record and slots; when the module refuses that one (which it may
// do once, when it cannot tell the left call from a live one), one more.
RunOutcome RunAfterAbandon(PluginEntry entry, const PiplInfo* pipl, PlanarImage& image, const RunOptions& options,
                           void* hostWindow) {
  RunOptions once = options;
  once.abandonIn.clear();
  once.runs = 1;
  const PlanarImage original = image;
  PlanAbandon(options.abandonIn.c_str(), options.abandonAt);
  RunOutcome left = RunFilterRuns(entry, pipl, image, once, hostWindow);
  PlanAbandon(nullptr, 0);
  if (left.abandoned.empty() || left.hostError || left.refused) return left;
  const std::string abandoned = left.abandoned;
  Say("pmhost: a full run on the same record after the call left in %s\n", abandoned.c_str());
  image = original;
  RunOutcome outcome = RunFilterRuns(entry, pipl, image, once, hostWindow);
  if (outcome.result != noErr && !outcome.hostError && !outcome.refused) {
    const int16_t refused = outcome.result;
    Say("pmhost: %s refused the run after the left call with %s; one more\n", outcome.failedSelector.c_str(),
        ResultName(refused).c_str());
    image = original;
    outcome = RunFilterRuns(entry, pipl, image, once, hostWindow);
    outcome.refusedAfterAbandon = refused;
  }
  outcome.abandoned = abandoned;
  return outcome;
}

}  // namespace

RunOutcome RunFilter(PluginEntry entry, const PiplInfo* pipl, PlanarImage& image, const RunOptions& options,
                     void* hostWindow, PlaneReserve* destination) {
  if (!options.abandonIn.empty()) return RunAfterAbandon(entry, pipl, image, options, hostWindow);
  return RunFilterRuns(entry, pipl, image, options, hostWindow, destination);
}

RunOutcome RunAbout(PluginEntry entry, void* hostWindow) {
  RunOutcome outcome;
  // The record and a host-specific tail that the module must leave alone.
  std::vector<uint8_t> bytes(sizeof(AboutRecord) + 64, kGuardByte);
  PlatformData platform{hostWindow};
  auto* about = reinterpret_cast<AboutRecord*>(bytes.data());
  about->platformData = &platform;
  about->sSPBasic = HostBasicSuite();
  about->plugInRef = &gHost;
  hostkit::RecordGuard guard;
  guard.Take(bytes.data(), bytes.size());
  int16_t result = 0;
  gSelectorName = "about";
  EnterSelector(gSelectorName);
  entry(filterSelectorAbout, about, &gDataSlot, &result);
  LeaveSelector(gSelectorName);
  gSelectorName = "none";
  if (const auto written = guard.Compare(bytes.data(), "AboutRecord", {}))
    ReportMisuse("the module wrote into the AboutRecord (%s)", written->c_str());
  CheckAfterCall("after about");
  if (result != noErr) {
    outcome.result = result;
    outcome.failedSelector = "about";
  }
  return outcome;
}

void EndSession() {
  for (Handle h : {gParameters, reinterpret_cast<Handle>(gDataSlot)})
    if (IsHostHandle(h)) HostDisposeHandle(h);
  gParameters = nullptr;
  gDataSlot = 0;
}
