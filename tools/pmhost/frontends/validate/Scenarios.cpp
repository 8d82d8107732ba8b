#include "Scenarios.h"

#include <windows.h>

#include "Drive.h"
#include "Lifetime.h"
#include "Scripting.h"

namespace {

constexpr int kOk = 1, kCancel = 2;
constexpr int16_t kMemFull = -108;

CaseResult Pass(std::string d) { return {Outcome::kPass, std::move(d), 0}; }
CaseResult Fail(std::string d) { return {Outcome::kFail, std::move(d), 0}; }
CaseResult Skip(std::string d) { return {Outcome::kSkip, std::move(d), 0}; }

std::string Returned(const Observed& o) {
  return (o.outcome.failedSelector.empty() ? std::string("the run") : o.outcome.failedSelector) + " returned " +
         ResultName(o.outcome.result);
}

// A run that cannot count for anything: the module did not load, the host
// stopped it, or it misused the host. The first misuse is named with its call.
bool Flawed(const Observed& o, CaseResult& r) {
  if (!o.loadError.empty()) r = Fail(o.loadError);
  else if (o.outcome.hostError || o.outcome.refused) r = Fail("the host stopped the run: " + o.outcome.message);
  else if (o.misuses > 0)
    r = Fail("misuse: " + o.firstMisuse + (o.misuses > 1 ? " (and " + std::to_string(o.misuses - 1) + " more)" : ""));
  else return false;
  return true;
}

// The run must end with noErr and no misuse.
CaseResult Converted(const Observed& o, const std::string& what) {
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.outcome.result != noErr) return Fail(Returned(o));
  return Pass(what);
}

Setup Basic(int32_t width, int32_t height, int32_t depth, int32_t planes) {
  Setup s;
  s.image = Pattern(width, height, depth, planes);
  s.run.tileWidth = s.run.tileHeight = 64;
  s.answer = kOk;
  return s;
}

// Whether the property list claims the document: the enable expression when
// there is one, otherwise the mode flags, otherwise every mode.
bool Claims(const PiplInfo& p, const DocumentFacts& doc) {
  if (p.hasEnable) {
    bool enabled = false;
    std::string error;
    return EvaluateEnable(p.enableExpression, doc, enabled, error) && enabled;
  }
  return !p.hasModes || ModeFlagsAllow(p.modeFlags, doc.mode);
}

bool Claims(const PiplInfo& p, int32_t mode, const PlanarImage& image) {
  return Claims(p, DocumentFacts{mode, image.depth, image.width, image.height, image.Channels()});
}

// ---- image modes ---------------------------------------------------------

CaseResult RunMode(const std::string& module, const PiplInfo& pipl, const Scenario& s, int) {
  const int32_t depth = s.param >= 10 ? 16 : 8;
  Setup setup = Basic(40, 30, depth, s.planes);
  setup.run.imageMode = s.param;
  const std::string what = ModeName(s.param) + ", " + std::to_string(s.planes) + " plane(s) of " + std::to_string(depth) + " bits";
  const bool claimed = Claims(pipl, s.param, setup.image);
  const Observed o = Drive(module, std::move(setup));
  if (claimed) return Converted(o, what + ": claimed and converted");
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.outcome.result == noErr) return Fail(what + ": not claimed by the property list, yet the module ran instead of refusing");
  if (!SameImage(o.result, o.original)) return Fail(what + ": refused (" + Returned(o) + ") but changed the image");
  return Pass(what + ": not claimed; refused with " + ResultName(o.outcome.result));
}

// The modes pmhost cannot build (its documents hold 8 or 16 bits a sample):
// said, with those of them the module claims, so that the table shows what
// was not tried.
CaseResult RunUnbuilt(const std::string&, const PiplInfo& pipl, const Scenario&, int) {
  struct Unbuilt {
    int32_t mode, depth, planes;
  };
  static constexpr Unbuilt kModes[] = {{0, 1, 1}, {2, 8, 1}, {16, 32, 3}, {17, 32, 1}};
  std::string claimed;
  for (const Unbuilt& u : kModes)
    if (Claims(pipl, DocumentFacts{u.mode, u.depth, 40, 30, u.planes}))
      claimed += (claimed.empty() ? "" : ", ") + ModeName(u.mode);
  return Skip("bitmap, indexed and 32-bit documents are not built by pmhost; of them the module claims " +
              (claimed.empty() ? std::string("none") : claimed));
}

CaseResult RunTransparency(const std::string& module, const PiplInfo&, const Scenario&, int) {
  return Converted(Drive(module, Basic(40, 30, 8, 4)), "RGB with a transparency plane (filter case 4)");
}

// ---- tiles, buffers, selections, coordinates -------------------------------

CaseResult RunShape(const std::string& module, const PiplInfo&, const Scenario& s, int) {
  Setup setup = Basic(40, 30, 8, 3);
  std::string what;
  switch (s.param) {
    case 0: setup.image = Pattern(9, 7, 8, 3), setup.run.tileWidth = setup.run.tileHeight = 1, what = "1 x 1 tiles"; break;
    case 1: setup.run.tileWidth = 7, setup.run.tileHeight = 5, what = "7 x 5 tiles"; break;
    case 2: setup.run.tileWidth = 40, setup.run.tileHeight = 30, what = "one tile for the whole image"; break;
    case 3: setup.run.tileWidth = setup.run.tileHeight = 4096, what = "tiles larger than the image"; break;
    case 4: setup.run.rowPad = 13, setup.run.tileWidth = 16, setup.run.tileHeight = 16, what = "rows padded by 13 bytes"; break;
    case 5: setup.run.bottomUp = true, setup.run.tileWidth = 16, setup.run.tileHeight = 16, what = "bottom-up buffers"; break;
    case 6:
      setup.run.hasRectSelection = true, setup.run.rectSelection = VRect{3, 5, 23, 31};
      what = "a rectangular selection";
      break;
    case 7: setup.maskImage = true, setup.run.tileWidth = setup.run.tileHeight = 16, what = "a selection from an image"; break;
    case 8: setup.run.bigDocument = false, what = "16-bit coordinates only (no bigDocumentData)"; break;
    default: setup.run.tileWidth = setup.run.tileHeight = 16, what = "32-bit coordinates (bigDocumentData)"; break;
  }
  const Observed o = Drive(module, std::move(setup));
  CaseResult r = Converted(o, what);
  if (r.outcome != Outcome::kPass || o.selection.empty()) return r;
  // Outside the selection the image stands as it was, whether the host masks
  // the result or the module says it keeps to the selection itself.
  size_t changed = 0;
  for (int32_t p = 0; p < o.result.Channels(); ++p)
    for (int32_t y = 0; y < o.result.height; ++y)
      for (int32_t x = 0; x < o.result.width; ++x)
        changed += o.selection[size_t(y) * size_t(o.result.width) + size_t(x)] == 0 &&
                   o.result.Sample(p, x, y) != o.original.Sample(p, x, y);
  if (changed > 0) return Fail(std::to_string(changed) + " sample(s) outside the selection changed");
  return r;
}

// ---- host callbacks failing at each call, cancel at each check -------------

Setup IndexedSetup() {
  Setup s = Basic(16, 12, 8, 3);
  s.run.tileWidth = s.run.tileHeight = 8;
  return s;
}

// Index 0: the plain run, counting the calls.
CaseResult Probe(const std::string& module, int (*count)(const Observed&)) {
  const Observed o = Drive(module, IndexedSetup());
  CaseResult r = Converted(o, "");
  r.count = count(o);
  return r;
}

CaseResult RunFailAdvance(const std::string& module, const PiplInfo&, const Scenario&, int index) {
  if (index == 0) return Probe(module, [](const Observed& o) { return o.counts.advanceCalls; });
  Setup setup = IndexedSetup();
  setup.run.failAdvanceAt = index;
  setup.run.failAdvanceCode = kMemFull;
  const Observed o = Drive(module, std::move(setup));
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.outcome.result == noErr) return Fail("advanceState failed with memFullErr, yet the module returned noErr");
  if (o.outcome.result == userCanceledErr)
    return Fail("advanceState failed with memFullErr and the module returned userCanceledErr, which a host takes for the user's cancel");
  if (o.counts.advanceAfterStop > 0)
    return Fail("asked for data " + std::to_string(o.counts.advanceAfterStop) + " more time(s) after advanceState failed");
  return Pass(Returned(o));
}

CaseResult RunCancel(const std::string& module, const PiplInfo&, const Scenario&, int index) {
  if (index == 0) return Probe(module, [](const Observed& o) { return o.counts.abortCalls; });
  Setup setup = IndexedSetup();
  setup.run.cancelAfter = index;
  const Observed o = Drive(module, std::move(setup));
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.counts.advanceAfterStop > 0)
    return Fail("asked for data " + std::to_string(o.counts.advanceAfterStop) + " more time(s) after abortProc answered cancel");
  if (o.outcome.result != userCanceledErr) return Fail("abortProc answered cancel, yet " + Returned(o) + " (expected userCanceledErr)");
  return Pass(Returned(o));
}

// A handle procedure answering null: the module may cope or give up with an
// error, but must not crash, misuse the host, or claim the user cancelled.
CaseResult RunRefusedHandle(const std::string& module, const PiplInfo&, const Scenario& s, int index) {
  const bool lock = s.param == 1;
  if (index == 0)
    return Probe(module, lock ? +[](const Observed& o) { return o.lockProcCalls; } : +[](const Observed& o) { return o.newProcCalls; });
  Setup setup = IndexedSetup();
  (lock ? setup.services.failLockAt : setup.services.failNewHandleAt) = index;
  const Observed o = Drive(module, std::move(setup));
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.outcome.result == userCanceledErr) return Fail(Returned(o) + " although no one cancelled");
  return Pass(o.outcome.result == noErr ? "coped: converted" : Returned(o));
}

// ---- thin hosts ---------------------------------------------------------------

CaseResult RunThin(const std::string& module, const PiplInfo&, const Scenario& s, int) {
  Setup setup = Basic(24, 16, 8, 3);
  ServiceOptions& v = setup.services;
  switch (s.param) {
    case 0: v.basicSuite = false; break;
    case 1: v.registrySuite = false; break;
    case 2: v.descriptorV2 = v.descriptorV3 = false; break;
    case 3: v.fileListSuite = false; break;
    case 4: setup.run.descriptorParameters = false; break;
    case 5: v.writeDescriptorProcs = false; break;
    default: v.handleProcCount = 4; break;  // new, dispose, get size, set size; no lock
  }
  const Observed o = Drive(module, std::move(setup));
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.outcome.result == userCanceledErr) return Fail(Returned(o) + " although no one cancelled");
  return Pass(o.outcome.result == noErr ? "converted" : "refused politely: " + Returned(o));
}

// ---- dialogs and the about box ----------------------------------------------

CaseResult RunDialog(const std::string& module, const PiplInfo&, const Scenario& s, int) {
  Setup setup = Basic(24, 16, 8, 3);
  if (s.param == 2) {
    setup.about = true;
    const Observed o = Drive(module, std::move(setup));
    CaseResult r;
    if (Flawed(o, r)) return r;
    if (o.outcome.result != noErr) return Fail(Returned(o));
    return Pass(std::to_string(o.dialogs) + " dialog(s) answered");
  }
  if (s.param == 3) {
    setup.nested = true;
    const Observed o = Drive(module, std::move(setup));
    if (o.nestedCalls == 0 && o.misuses == 0) return Skip("the module ran no message loop (no dialog) to call from");
    return Converted(o, "the about selector called from inside the module's message loop; the run went on");
  }
  setup.answer = s.param == 1 ? kCancel : kOk;
  const Observed o = Drive(module, std::move(setup));
  if (s.param == 0) return Converted(o, std::to_string(o.dialogs) + " dialog(s) answered OK");
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.dialogs == 0) return Skip("the module opened no dialog");
  if (!SameImage(o.result, o.original)) return Fail("the dialog was cancelled, yet the image changed (" + Returned(o) + ")");
  if (o.outcome.result != userCanceledErr) return Fail("the dialog was cancelled, yet " + Returned(o) + " (expected userCanceledErr)");
  return Pass("image untouched; " + Returned(o));
}

CaseResult RunLifetimeCase(const std::string& module, const PiplInfo&, const Scenario&, int) {
  const LifetimeReport report = RunLifetime(module, 200);
  if (!report.error.empty()) return Fail(report.error);
  return report.grew ? Fail(report.text) : Pass(report.text);
}

struct ModeRow {
  const char* name;
  int mode, planes;
  bool quick;
};

std::vector<Scenario> MakeBattery() {
  std::vector<Scenario> list;
  static const ModeRow kModes[] = {
      {"mode.gray", 1, 1, true},          {"mode.rgb", 3, 3, true},       {"mode.cmyk", 4, 4, false},
      {"mode.hsl", 5, 3, false},          {"mode.hsb", 6, 3, false},      {"mode.multichannel", 7, 5, false},
      {"mode.duotone", 8, 1, false},      {"mode.lab", 9, 3, true},       {"mode.gray16", 10, 1, false},
      {"mode.rgb48", 11, 3, true},        {"mode.lab48", 12, 3, false},   {"mode.cmyk64", 13, 4, false},
      {"mode.multichannel16", 14, 5, false}, {"mode.duotone16", 15, 1, false},
  };
  for (const ModeRow& m : kModes)
    list.push_back({m.name, "a document of this mode: converted when claimed, politely refused otherwise", m.quick, nullptr,
                    RunMode, m.mode, m.planes});
  list.push_back({"mode.unbuilt", "the modes pmhost cannot build, and which of them the module claims", false, nullptr,
                  RunUnbuilt});
  list.push_back({"mode.transparency", "RGB with a transparency plane (filter case 4)", true, nullptr, RunTransparency});
  const char* const kShapes[] = {"tiles.1x1",          "tiles.7x5",       "tiles.whole",   "tiles.larger",
                                 "buffers.padded",     "buffers.bottom_up", "selection.rect", "selection.mask",
                                 "coords.16bit",       "coords.32bit"};
  const bool kShapeQuick[] = {false, true, false, true, false, true, false, true, true, false};
  for (int i = 0; i < 10; ++i)
    list.push_back({kShapes[i], "tile sizes, buffer layouts, selections and coordinates a host may choose", kShapeQuick[i],
                    nullptr, RunShape, i});
  list.push_back({"fail.advance", "advanceState fails (memFullErr) at each call in turn", true, "advanceState", RunFailAdvance});
  list.push_back({"fail.new_handle", "newProc answers null at each call in turn", true, "newProc", RunRefusedHandle, 0});
  list.push_back({"fail.lock", "lockProc answers null at each call in turn", false, "lockProc", RunRefusedHandle, 1});
  list.push_back({"cancel.abort", "abortProc answers cancel at each call in turn", true, "abortProc", RunCancel});
  const char* const kThin[] = {"thin.no_basic_suite", "thin.no_registry_suite", "thin.no_descriptor_suite",
                               "thin.no_file_list_suite", "thin.no_scripting", "thin.no_write_procs",
                               "thin.half_handle_procs"};
  for (int i = 0; i < 7; ++i)
    list.push_back({kThin[i], "a thinner host: a suite or procedure table missing", i == 0, nullptr, RunThin, i});
  list.push_back({"dialog.ok", "every dialog answered OK", true, nullptr, RunDialog, 0});
  list.push_back({"dialog.cancel", "the dialog cancelled: userCanceledErr, the image untouched", true, nullptr, RunDialog, 1});
  list.push_back({"about", "the about box, answered OK", true, nullptr, RunDialog, 2});
  list.push_back({"dialog.nested", "the about selector called from the dialog's message loop: turned away, the run goes on",
                  false, nullptr, RunDialog, 3});
  list.push_back({"scripting.record", "what the module records matches the terminology it declares", true, nullptr,
                  RunScriptRecord});
  list.push_back({"scripting.playback", "the recorded descriptor played back (dialog allowed): completes, gives it back",
                  false, nullptr, RunScriptPlayback, 1});
  list.push_back({"scripting.playback_silent", "the same with the host asking for no dialog", false, nullptr,
                  RunScriptPlayback, 2});
  list.push_back({"lifetime", "200 load, run and unload cycles in one process: thread-local slots, handles, memory", false,
                  nullptr, RunLifetimeCase});
  return list;
}

}  // namespace

const std::vector<Scenario>& Battery() {
  static const std::vector<Scenario> battery = MakeBattery();
  return battery;
}

const Scenario* FindScenario(const std::string& name) {
  for (const Scenario& s : Battery())
    if (name == s.name) return &s;
  return nullptr;
}
