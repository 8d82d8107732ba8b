#include "Scenarios.h"

#include <windows.h>

#include <iterator>
#include <optional>

#include "Drive.h"
#include "HostWindow.h"
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
// stopped it, or it misused the host (an error; warnings go on), or it left
// threads or windows behind when it was unloaded. The first misuse is named
// with its call. A case the property list says the module does not handle
// is skipped with that reason: a host would not run it.
bool Flawed(const Observed& o, CaseResult& r) {
  if (!o.loadError.empty()) r = Fail(o.loadError);
  else if (o.outcome.refused) r = Skip("a host would not run it: " + o.outcome.message);
  else if (o.outcome.hostError) r = Fail("the host stopped the run: " + o.outcome.message);
  else if (o.misuses > 0)
    r = Fail("misuse: " + o.firstMisuse + (o.misuses > 1 ? " (and " + std::to_string(o.misuses - 1) + " more)" : ""));
  else if (!o.leftRunning.empty()) r = Fail("after the module was unloaded: " + o.leftRunning);
  else return false;
  return true;
}

// A passing case with warnings passes as a warning, naming the first.
CaseResult Judged(CaseResult r, const Observed& o) {
  if (r.outcome != Outcome::kPass) return r;
  std::string warning;
  if (o.warnings > 0)
    warning = o.firstWarning + (o.warnings > 1 ? " (and " + std::to_string(o.warnings - 1) + " more)" : "");
  if (!o.leftBehind.empty()) warning += (warning.empty() ? "" : "; ") + std::string("after unload: ") + o.leftBehind;
  if (warning.empty()) return r;
  r.outcome = Outcome::kWarn;
  r.detail = "warning: " + warning + (r.detail.empty() ? "" : "; " + r.detail);
  return r;
}

// The run must end with noErr and no misuse.
CaseResult Converted(const Observed& o, const std::string& what) {
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.outcome.result != noErr) return Fail(Returned(o));
  return Judged(Pass(what), o);
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

// A scenario on a document the property list does not enable the filter for
// (its mode, or a size condition in the enable expression) is not run: a
// host would not offer the filter. True, with the skip, when so.
bool NotEnabled(const PiplInfo& p, const Setup& setup, CaseResult& r) {
  const PlanarImage& image = setup.image;
  const int32_t mode = setup.run.imageMode >= 0 ? setup.run.imageMode
                                                 : image.depth == 16 ? (image.Channels() <= 2 ? 10 : 11)
                                                                     : (image.Channels() <= 2 ? 1 : 3);
  if (Claims(p, mode, image)) return false;
  r = Skip("the property list does not enable the filter for a " + std::to_string(image.width) + " x " +
           std::to_string(image.height) + " " + ModeName(mode) + " document");
  return true;
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
  return Judged(Pass(what + ": not claimed; refused with " + ResultName(o.outcome.result)), o);
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

CaseResult RunTransparency(const std::string& module, const PiplInfo& pipl, const Scenario&, int) {
  Setup setup = Basic(40, 30, 8, 4);
  CaseResult r;
  if (NotEnabled(pipl, setup, r)) return r;
  return Converted(Drive(module, std::move(setup)), "RGB with a transparency plane (filter case 4)");
}

// ---- tiles, buffers, selections, coordinates -------------------------------

// A layout a host may choose, on the 40 x 30 RGB pattern unless it says
// otherwise.
Setup Layout(int which, std::string& what) {
  Setup setup = Basic(40, 30, 8, 3);
  RunOptions& run = setup.run;
  switch (which) {
    case 0: setup.image = Pattern(9, 7, 8, 3), run.tileWidth = run.tileHeight = 1, what = "1 x 1 tiles"; break;
    case 1: run.tileWidth = 7, run.tileHeight = 5, what = "7 x 5 tiles"; break;
    case 2: run.tileWidth = 40, run.tileHeight = 30, what = "one tile for the whole image"; break;
    case 3: run.tileWidth = run.tileHeight = 4096, what = "tiles larger than the image"; break;
    case 4: run.rowPad = 13, run.tileWidth = run.tileHeight = 16, what = "rows padded by 13 bytes"; break;
    case 5: run.bottomUp = true, run.tileWidth = run.tileHeight = 16, what = "bottom-up buffers"; break;
    case 6: run.hasRectSelection = true, run.rectSelection = VRect{3, 5, 23, 31}, what = "a rectangular selection"; break;
    case 7:
      // The mask (and the other buffers) end against a no-access page.
      setup.maskImage = true, run.tileWidth = run.tileHeight = 16, run.fenceBuffers = true, run.rowPad = 0;
      what = "a selection from an image";
      break;
    case 8: run.bigDocument = false, what = "16-bit coordinates only (no bigDocumentData)"; break;
    case 9: run.tileWidth = run.tileHeight = 16, what = "32-bit coordinates (bigDocumentData)"; break;
    case 10: run.tileWidth = run.tileHeight = 0, what = "a preferred tile size of 0 x 0"; break;
    case 11: run.tileWidth = -16, run.tileHeight = -8, what = "a preferred tile size of -16 x -8"; break;
    case 12:
      run.fenceBuffers = true, run.rowPad = 0, run.tileWidth = 13, run.tileHeight = 11;
      what = "buffers that end against a no-access page";
      break;
    case 13:
      run.bigDocument = false, run.originV = -20, run.originH = -30, run.tileWidth = run.tileHeight = 16;
      what = "a filter rectangle at negative 16-bit coordinates (-20, -30, 10, 10)";
      break;
    case 14:
      run.originH = 40000, run.tileWidth = run.tileHeight = 16;
      what = "a document 40,040 pixels wide, filtered at its right end (32-bit coordinates)";
      break;
    default:
      run.originV = 40000, run.tileWidth = run.tileHeight = 16;
      what = "a document 40,030 pixels tall, filtered at its bottom (32-bit coordinates)";
      break;
  }
  return setup;
}

std::string SampleAt(const PlanarImage& image, int32_t p, int32_t x, int32_t y) {
  return std::to_string(image.Sample(p, x, y));
}

// Two plain runs of the module (the host's defaults: 64 x 64 tiles, padded
// rows, no selection) on the pattern, more than a second apart.
CaseResult RunDeterminism(const std::string& module, const PiplInfo&, const Scenario&, int) {
  PlanarImage results[2];
  for (int i = 0; i < 2; ++i) {
    if (i == 1) Sleep(1100);
    const Observed o = Drive(module, Basic(40, 30, 8, 3));
    CaseResult r;
    if (Flawed(o, r) || o.outcome.result != noErr) {
      r = Pass("the plain run did not convert (" + (r.detail.empty() ? Returned(o) : r.detail) + ")");
      r.count = kNotDeterministic;
      return r;
    }
    results[i] = o.result;
  }
  CaseResult r = Pass(SameImage(results[0], results[1]) ? "two plain runs a second apart agree"
                                                         : "two plain runs a second apart differ");
  r.count = SameImage(results[0], results[1]) ? kDeterministic : kNotDeterministic;
  return r;
}

// The module's plain run on the same image, as the reference of a
// deterministic module; empty with the reason otherwise.
std::optional<PlanarImage> PlainRun(const std::string& module, const PlanarImage& image, std::string& why) {
  Setup plain = Basic(image.width, image.height, image.depth, image.Channels());
  plain.image = image;
  const Observed o = Drive(module, std::move(plain));
  CaseResult r;
  if (Flawed(o, r) || o.outcome.result != noErr) {
    why = "the plain run did not convert (" + (r.detail.empty() ? Returned(o) : r.detail) + "): pixels not compared";
    return std::nullopt;
  }
  return o.result;
}

CaseResult RunShape(const std::string& module, const PiplInfo& pipl, const Scenario& s, int index) {
  std::string what;
  Setup setup = Layout(s.param, what);
  CaseResult r;
  if (NotEnabled(pipl, setup, r)) return r;
  std::string why = "not deterministic (two plain runs a second apart differ): only the area outside the filter checked";
  std::optional<PlanarImage> ref;
  if (index == kDeterministic) ref = PlainRun(module, setup.image, why);
  const Observed o = Drive(module, std::move(setup));
  // A tile size of 0 or less may be turned down with an error; a module that
  // reports success must have done the work.
  const bool mayRefuse = s.param == 10 || s.param == 11;
  if (mayRefuse && !Flawed(o, r) && o.outcome.result != noErr && o.outcome.result != userCanceledErr)
    return Judged(Pass(what + ": refused with " + ResultName(o.outcome.result)), o);
  r = Converted(o, what);
  if (r.outcome != Outcome::kPass && r.outcome != Outcome::kWarn) return r;
  // Inside the filter area the pixels of the plain run; outside it the
  // image as it was, whether the host masks the result or the module keeps
  // to the selection itself. A module that says it writes outside the
  // selection is held to neither where there is a selection.
  const bool selected = !o.selection.empty();
  const int16_t filterCase = selected ? 2 : 1;
  if (selected && pipl.hasCaseInfo && (pipl.caseInfo[size_t(filterCase - 1)].flags & 0x08) != 0)
    return Judged(Pass(what + "; the property list says the module writes outside the selection: pixels not compared"), o);
  size_t wrong = 0, outside = 0;
  std::string first, firstOutside;
  const PlanarImage& img = o.result;
  for (int32_t p = 0; p < img.Channels(); ++p)
    for (int32_t y = 0; y < img.height; ++y)
      for (int32_t x = 0; x < img.width; ++x) {
        const uint8_t sel = selected ? o.selection[size_t(y) * size_t(img.width) + size_t(x)] : 255;
        const std::string at = "x " + std::to_string(x) + ", y " + std::to_string(y) + ", plane " + std::to_string(p);
        if (sel == 0) {
          if (img.Sample(p, x, y) != o.original.Sample(p, x, y) && outside++ == 0)
            firstOutside = at + ": " + SampleAt(img, p, x, y) + ", was " + SampleAt(o.original, p, x, y);
        } else if (sel == 255 && ref && img.Sample(p, x, y) != ref->Sample(p, x, y)) {
          if (wrong++ == 0) first = at + ": " + SampleAt(img, p, x, y) + ", the plain run " + SampleAt(*ref, p, x, y);
        }
      }
  if (outside > 0) return Fail(std::to_string(outside) + " sample(s) outside the selection changed (first at " + firstOutside + ")");
  if (wrong > 0)
    return Fail(std::to_string(wrong) + " sample(s) differ from the module's own plain run (first at " + first + ")");
  r.detail += ref ? "; the same pixels as the plain run" : "; " + why;
  return r;
}

// ---- host callbacks failing at each call, cancel at each check -------------

Setup IndexedSetup() {
  Setup s = Basic(16, 12, 8, 3);
  s.run.tileWidth = s.run.tileHeight = 8;
  return s;
}

// Index 0: the plain run, counting the calls.
CaseResult Probe(const std::string& module, const PiplInfo& pipl, int (*count)(const Observed&)) {
  CaseResult r;
  if (NotEnabled(pipl, IndexedSetup(), r)) return r;
  const Observed o = Drive(module, IndexedSetup());
  r = Converted(o, "");
  r.count = count(o);
  return r;
}

CaseResult RunFailAdvance(const std::string& module, const PiplInfo& pipl, const Scenario&, int index) {
  if (index == 0) return Probe(module, pipl, [](const Observed& o) { return o.counts.advanceCalls; });
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
  return Judged(Pass(Returned(o)), o);
}

CaseResult RunCancel(const std::string& module, const PiplInfo& pipl, const Scenario&, int index) {
  if (index == 0) return Probe(module, pipl, [](const Observed& o) { return o.counts.abortCalls; });
  Setup setup = IndexedSetup();
  setup.run.cancelAfter = index;
  const Observed o = Drive(module, std::move(setup));
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.counts.advanceAfterStop > 0)
    return Fail("asked for data " + std::to_string(o.counts.advanceAfterStop) + " more time(s) after abortProc answered cancel");
  if (o.outcome.result != userCanceledErr) return Fail("abortProc answered cancel, yet " + Returned(o) + " (expected userCanceledErr)");
  return Judged(Pass(Returned(o)), o);
}

// A handle procedure answering null: the module may cope or give up with an
// error, but must not crash, misuse the host, or claim the user cancelled.
CaseResult RunRefusedHandle(const std::string& module, const PiplInfo& pipl, const Scenario& s, int index) {
  const bool lock = s.param == 1;
  if (index == 0)
    return Probe(module, pipl, lock ? +[](const Observed& o) { return o.lockProcCalls; } : +[](const Observed& o) { return o.newProcCalls; });
  Setup setup = IndexedSetup();
  (lock ? setup.services.failLockAt : setup.services.failNewHandleAt) = index;
  const Observed o = Drive(module, std::move(setup));
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.outcome.result == userCanceledErr) return Fail(Returned(o) + " although no one cancelled");
  return Judged(Pass(o.outcome.result == noErr ? "coped: converted" : Returned(o)), o);
}

// ---- a call the host leaves by a longjmp -------------------------------------

// The callbacks a host may leave a call by, each a scenario of its own; the
// first call of it in a plain run is the one left.
const char* const kLeavableCallbacks[] = {"advanceState", "abortProc", "progressProc",
                                          "newProc",      "lockProc",  "unlockProc"};

// The host leaves the call by a longjmp out of the callback, then makes a
// full run on the same record, data slot and result slot. The module must
// serve it; refusing it with an error code is allowed once (a module may be
// unable to tell the left call from a live one beneath it), but the run
// after that must be served. A run that reports noErr must have done the
// work: the plain run's pixels (for a deterministic module), or at least
// data asked for or the image changed.
CaseResult RunAbandon(const std::string& module, const PiplInfo& pipl, const Scenario& s, int index) {
  const std::string callback = kLeavableCallbacks[s.param];
  Setup setup = Basic(40, 30, 8, 3);
  CaseResult r;
  if (NotEnabled(pipl, setup, r)) return r;
  std::string why = "not deterministic (two plain runs a second apart differ): its pixels not compared";
  std::optional<PlanarImage> ref;
  if (index == kDeterministic) ref = PlainRun(module, setup.image, why);
  setup.run.abandonIn = callback;
  setup.run.abandonAt = 1;
  const Observed o = Drive(module, std::move(setup));
  if (Flawed(o, r)) return r;
  if (o.outcome.abandoned.empty()) return Skip("the module never calls " + callback + " in a plain run");
  const std::string left = o.outcome.abandoned + " left by a longjmp out of " + callback;
  const std::string refusedOnce =
      o.outcome.refusedAfterAbandon != 0 ? "; the first full run after it refused with " + ResultName(o.outcome.refusedAfterAbandon) : "";
  if (o.outcome.result != noErr)
    return Fail(left + refusedOnce + "; the next full run on the same record: " + Returned(o) +
                " (a module that refuses every call after a left one is lost to the host until it is unloaded)");
  if (ref) {
    size_t wrong = 0;
    std::string first;
    const PlanarImage& img = o.result;
    for (int32_t p = 0; p < img.Channels(); ++p)
      for (int32_t y = 0; y < img.height; ++y)
        for (int32_t x = 0; x < img.width; ++x)
          if (img.Sample(p, x, y) != ref->Sample(p, x, y) && wrong++ == 0)
            first = "x " + std::to_string(x) + ", y " + std::to_string(y) + ", plane " + std::to_string(p) + ": " +
                    SampleAt(img, p, x, y) + ", the plain run " + SampleAt(*ref, p, x, y);
    if (wrong > 0)
      return Fail(left + refusedOnce + "; the full run after it reported noErr, but " + std::to_string(wrong) +
                  " sample(s) differ from the plain run (first at " + first + ")");
  } else if (o.counts.advanceCalls == 0 && SameImage(o.result, o.original)) {
    return Fail(left + refusedOnce + "; the full run after it reported noErr without asking for data or changing the image");
  }
  return Judged(Pass(left + (refusedOnce.empty() ? "; the full run after it converted" : refusedOnce + ", the next converted") +
                     (ref ? "; the same pixels as the plain run" : "; " + why)),
                o);
}

// ---- thin hosts ---------------------------------------------------------------

CaseResult RunThin(const std::string& module, const PiplInfo& pipl, const Scenario& s, int) {
  Setup setup = Basic(24, 16, 8, 3);
  CaseResult skipped;
  if (NotEnabled(pipl, setup, skipped)) return skipped;
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
  return Judged(Pass(o.outcome.result == noErr ? "converted" : "refused politely: " + Returned(o)), o);
}

// ---- dialogs and the about box ----------------------------------------------

CaseResult RunDialog(const std::string& module, const PiplInfo& pipl, const Scenario& s, int) {
  Setup setup = Basic(24, 16, 8, 3);
  CaseResult skipped;
  if (s.param != 2 && NotEnabled(pipl, setup, skipped)) return skipped;
  if (s.param == 2) {
    setup.about = true;
    const Observed o = Drive(module, std::move(setup));
    CaseResult r;
    if (Flawed(o, r)) return r;
    if (o.outcome.result != noErr) return Fail(Returned(o));
    return Judged(Pass(std::to_string(o.dialogs) + " dialog(s) answered"), o);
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
  return Judged(Pass("image untouched; " + Returned(o)), o);
}

// Every button of the about box (but OK and Cancel) clicked, on a full host
// and on hosts without each suite: index 0 lists the buttons, then index i
// clicks button (i - 1) / 5 + 1 on host (i - 1) % 5.
constexpr int kAboutHosts = 5;
const char* const kAboutHostNames[kAboutHosts] = {"a full host", "a host without the basic suite",
                                                  "a host without the file-list suite", "a host without the registry suite",
                                                  "a host without the descriptor suite"};

CaseResult RunAboutControls(const std::string& module, const PiplInfo&, const Scenario&, int index) {
  Setup setup = Basic(24, 16, 8, 3);
  setup.about = true;
  std::string what;
  if (index > 0) {
    const int host = (index - 1) % kAboutHosts;
    setup.clickButton = (index - 1) / kAboutHosts + 1;
    ServiceOptions& v = setup.services;
    if (host == 1) v.basicSuite = false;
    if (host == 2) v.fileListSuite = false;
    if (host == 3) v.registrySuite = false;
    if (host == 4) v.descriptorV2 = v.descriptorV3 = false;
    what = "button " + std::to_string(setup.clickButton) + " clicked on " + kAboutHostNames[host];
  }
  const Observed o = Drive(module, std::move(setup));
  CaseResult r;
  if (Flawed(o, r)) return r;
  if (o.outcome.result != noErr) return Fail(what + ": " + Returned(o));
  if (index == 0) {
    if (o.buttons.empty()) return Skip("the about box has no button but OK and Cancel");
    r = Judged(Pass(std::to_string(o.buttons.size()) + " button(s)"), o);
    r.count = int(o.buttons.size()) * kAboutHosts;
    return r;
  }
  return Judged(Pass(what), o);
}

// The process ends with the module still loaded, as when a host quits (or
// crashes out) without unloading its plug-ins: the child gives its verdict,
// then ends; a call of the module into the host from its exit handlers or
// its unload replaces that verdict with a failure (see MarkProcessEnding).
CaseResult RunExit(const std::string& module, const PiplInfo& pipl, const Scenario& s, int) {
  Setup setup = Basic(24, 16, 8, 3);
  CaseResult r;
  if (s.param == 0 && NotEnabled(pipl, setup, r)) return r;
  InitServices(setup.services);
  void* handle = nullptr;
  PiplInfo info;
  std::string error;
  const PluginEntry entry = LoadEntry(module, handle, info, error);
  if (entry == nullptr) return Fail(error);
  void* window = HostWindowForChild();
  WatcherOptions watch;
  watch.hostWindow = static_cast<HWND>(window);
  watch.answerId = kOk;
  StartDialogWatcher(watch);
  setup.run.quiet = true;
  const RunOutcome outcome = s.param == 1 ? RunAbout(entry, window) : RunFilter(entry, &info, setup.image, setup.run, window);
  StopDialogWatcher();
  EndSession();
  for (const hostkit::Misuse& m : MisuseEntries())
    if (LevelOfMisuse(m.what) == Level::kError) return Fail("misuse: " + m.what + " (in " + m.call + ")");
  if (outcome.hostError || outcome.refused) return Skip("a host would not run it: " + outcome.message);
  r = Pass(std::string(s.param == 1 ? "the about box" : "a run") + " (" +
           (outcome.result == noErr ? std::string("noErr") : ResultName(outcome.result)) +
           "), then the process ended with the module loaded: no call into the host after");
  r.exitAfter = true;
  return r;
}

CaseResult RunLifetimeCase(const std::string& module, const PiplInfo& pipl, const Scenario&, int) {
  CaseResult r;
  if (NotEnabled(pipl, Basic(8, 8, 8, 3), r)) return r;
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
  struct ShapeRow {
    const char* name;
    bool quick;
    const char* what;
  };
  static const ShapeRow kShapes[] = {
      {"tiles.1x1", false, "1 x 1 tiles: the same pixels as the module's plain run"},
      {"tiles.7x5", true, "7 x 5 tiles: the same pixels as the plain run"},
      {"tiles.whole", false, "one tile for the whole image: the same pixels"},
      {"tiles.larger", true, "tiles larger than the image: the same pixels"},
      {"buffers.padded", false, "rows padded by 13 bytes: the same pixels, nothing written into the padding"},
      {"buffers.bottom_up", true, "bottom-up buffers (negative row bytes): the same pixels"},
      {"selection.rect", false, "a rectangular selection: the plain run's pixels inside, the image untouched outside"},
      {"selection.mask", true, "a soft mask, every buffer against a no-access page: the same inside, untouched outside"},
      {"coords.16bit", true, "a host without bigDocumentData: the same pixels"},
      {"coords.32bit", false, "32-bit coordinates: the same pixels"},
      {"tiles.zero", true, "a preferred tile size of 0: no hang; an error, or the same pixels"},
      {"tiles.negative", false, "a negative preferred tile size: no hang; an error, or the same pixels"},
      {"buffers.fenced", true, "input and output end against a no-access page: a read past the end faults"},
      {"coords.negative", true, "a filter rectangle at negative 16-bit coordinates: the same pixels"},
      {"coords.past_32k_wide", false, "a document past 32,767 pixels wide, filtered at its far end: the same pixels"},
      {"coords.past_32k_tall", false, "a document past 32,767 pixels tall, filtered at its far end: the same pixels"},
  };
  for (int i = 0; i < int(std::size(kShapes)); ++i)
    list.push_back({kShapes[i].name, kShapes[i].what, kShapes[i].quick, nullptr, RunShape, i, 0, Level::kError, true});
  list.push_back({"fail.advance", "advanceState fails (memFullErr) at each call in turn", true, "advanceState", RunFailAdvance});
  list.push_back({"fail.new_handle", "newProc answers null at each call in turn", true, "newProc", RunRefusedHandle, 0});
  list.push_back({"fail.lock", "lockProc answers null at each call in turn", false, "lockProc", RunRefusedHandle, 1});
  list.push_back({"cancel.abort", "abortProc answers cancel at each call in turn", true, "abortProc", RunCancel});
  struct AbandonRow {
    const char* name;
    bool quick;
  };
  static const AbandonRow kAbandon[] = {{"abandon.advance_state", true}, {"abandon.abort", true},
                                        {"abandon.progress", false},     {"abandon.new_handle", false},
                                        {"abandon.lock", false},         {"abandon.unlock", false}};
  for (int i = 0; i < int(std::size(kAbandon)); ++i)
    list.push_back({kAbandon[i].name,
                    "the call left by a longjmp out of this callback, then a full run on the same record: served "
                    "(or refused once with an error code), never noErr for work not done",
                    kAbandon[i].quick, nullptr, RunAbandon, i, 0, Level::kError, true});
  const char* const kThin[] = {"thin.no_basic_suite", "thin.no_registry_suite", "thin.no_descriptor_suite",
                               "thin.no_file_list_suite", "thin.no_scripting", "thin.no_write_procs",
                               "thin.half_handle_procs"};
  for (int i = 0; i < 7; ++i)
    list.push_back({kThin[i], "a thinner host: a suite or procedure table missing", i == 0, nullptr, RunThin, i});
  list.push_back({"dialog.ok", "every dialog answered OK", true, nullptr, RunDialog, 0});
  list.push_back({"dialog.cancel", "the dialog cancelled: userCanceledErr, the image untouched", true, nullptr, RunDialog, 1});
  list.push_back({"about", "the about box, answered OK", true, nullptr, RunDialog, 2});
  list.push_back({"about.controls", "every button of the about box clicked, on a full host and without each suite", false,
                  "about-box click", RunAboutControls});
  list.push_back({"dialog.nested", "the about selector called from the dialog's message loop: turned away, the run goes on",
                  false, nullptr, RunDialog, 3});
  // Scripting findings are warnings: only hosts that record actions see them.
  list.push_back({"scripting.record", "what the module records matches the terminology it declares", true, nullptr,
                  RunScriptRecord, 0, 0, Level::kWarning});
  list.push_back({"scripting.playback", "the recorded descriptor played back (dialog allowed): completes, gives it back",
                  false, nullptr, RunScriptPlayback, 1, 0, Level::kWarning});
  list.push_back({"scripting.playback_silent", "the same with the host asking for no dialog", false, nullptr,
                  RunScriptPlayback, 2, 0, Level::kWarning});
  list.push_back({"exit.after_run", "the process ends with the module loaded after a run: no call into the host after", true,
                  nullptr, RunExit, 0});
  list.push_back({"exit.after_about", "the process ends with the module loaded after the about box: no call after", false,
                  nullptr, RunExit, 1});
  list.push_back({"lifetime", "200 load, run and unload cycles in one process: thread-local slots, handles, memory", false,
                  nullptr, RunLifetimeCase});
  return list;
}

}  // namespace

const std::vector<Scenario>& Battery() {
  static const std::vector<Scenario> battery = MakeBattery();
  return battery;
}

const Scenario& DeterminismProbe() {
  static const Scenario probe{"determinism", "two plain runs a second apart", false, nullptr, RunDeterminism};
  return probe;
}

const Scenario* FindScenario(const std::string& name) {
  for (const Scenario& s : Battery())
    if (name == s.name) return &s;
  if (name == DeterminismProbe().name) return &DeterminismProbe();
  return nullptr;
}
