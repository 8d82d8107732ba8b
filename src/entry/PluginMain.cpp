// The exported entry point: turns away a call that arrives while another is
// in progress (and takes over from a call the host abandoned), records the
// host's pointers for the call, runs the selector's handler and gives back
// the locks that the handler took, both behind the module's one firewall.
#include "entry/PluginMain.h"

#include <atomic>
#include <new>

#include "convert/ConvertImage.h"
#include "entry/Blocks.h"
#include "entry/OuterCall.h"
#include "entry/ThisThread.h"
#include "host/CallContext.h"
#include "host/RectExchange.h"
#include "settings/Settings.h"
#include "ui/Dialogs.h"

namespace {

// ---- one call at a time ------------------------------------------------------

// The call in progress, if any: its result slot, or kNoSlot when the host gave
// none. Null between calls. One call at a time: a nested call (a host that
// calls again from its message loop while one of our dialogs is open, or from
// a callback) would overwrite the globals and the block pointers of the call
// that is still running.
std::atomic<const int16_t*> gCallInProgress{nullptr};
const int16_t kNoSlot = 0;

// Who holds the latch, and where: enough to tell, when a call finds the latch
// taken, whether the holder is still running beneath it (a nested call) or
// was left by an unwind that the module never saw (a host that caught a crash
// with structured exception handling, a callback that longjmp'd out). The
// thread is written right after the latch is taken and cleared right before
// it is let go, so a call on another thread never mistakes a stale holder for
// its own thread.
std::atomic<uintptr_t> gHolderThread{0};
std::atomic<uintptr_t> gHolderStack{0};         // the holder thread's stack (a fiber has its own)
std::atomic<uintptr_t> gHolderFrame{0};         // the holder's PluginMain frame
std::atomic<uintptr_t> gHolderReturnAddress{0};  // where that frame resumes after serving

// A call that arrives while another is in progress is turned away before it
// reads or writes anything of ours or of its record: the call underneath
// still owns the globals, the blocks and its result slot. The refusal says
// "bad parameters", the code for a call the module cannot serve as made (the
// same as for a missing record or data slot): it is an error, not a cancel,
// so the host learns that nothing ran. A nested call that passes the outer
// call's own slot is told nothing, since that slot belongs to the outer call;
// neither is a nested about call, since the about call never writes its slot.
void RefuseNestedCall(int16_t selector, int16_t* result, const int16_t* outerSlot) {
  if (selector == filterSelectorAbout) return;
  if (result != nullptr && result != outerSlot) *result = filterBadParameters;
}

// The latch is held (by `holder`, the slot it was taken with). Takes it over
// for the call that found it so, with `slot`, when that call runs on the
// holder's thread and stack and the holder is provably no longer beneath it:
// the holding call was abandoned. Anything else, and whatever the stack walk
// cannot decide, leaves the latch with the holder.
bool TakeOverAbandonedCall(const int16_t* holder, const int16_t* slot, const ThisThread& thread) {
  if (gHolderThread.load() != thread.id || gHolderStack.load() != thread.stackHigh) return false;
  if (FindOuterCall(gHolderReturnAddress.load(), gHolderFrame.load(), thread) != OuterCall::Abandoned) return false;
  return gCallInProgress.compare_exchange_strong(holder, slot);
}

// Ends the call in progress on every way out of PluginMain, and leaves no
// pointer to the call's stand-in result slot behind.
class EndOfCall {
 public:
  explicit EndOfCall(const int16_t* standIn) : standIn_(standIn) {}
  ~EndOfCall() {
    if (gPluginGlobals.resultSlot == standIn_) gPluginGlobals.resultSlot = nullptr;
    gHolderThread.store(0);
    gCallInProgress.store(nullptr);
  }
  EndOfCall(const EndOfCall&) = delete;
  EndOfCall& operator=(const EndOfCall&) = delete;

 private:
  const int16_t* standIn_;
};

// Records the host's pointers for this call. False when there is nothing the
// module can do with the call; the code for that, if any, is then stored.
bool BeginCall(int16_t selector, void* record, intptr_t* data, int16_t* result) {
  gPluginGlobals.hostRecord = record;
  gPluginGlobals.dataSlot = data;
  gPluginGlobals.resultSlot = result;
  gPluginGlobals.parameterBlock = nullptr;
  gPluginGlobals.runState = nullptr;

  if (selector == filterSelectorAbout) {
    auto* about = static_cast<AboutRecord*>(record);
    gPluginGlobals.basicSuite = about != nullptr ? about->sSPBasic : nullptr;
    // Without a record there is nothing to show; the about call reports nothing.
    return about != nullptr;
  }

  auto* filter = static_cast<FilterRecord*>(record);
  if (filter == nullptr) {
    *result = filterBadParameters;
    return false;
  }
  gPluginGlobals.basicSuite = filter->sSPBasic;
  // Every filter call works in the 32-bit rectangles where the host offers
  // them (see host/RectExchange.h).
  if (filter->bigDocumentData != nullptr) filter->bigDocumentData->PluginUsing32BitCoordinates = 1;
  // Without a data slot there is nowhere to keep the run state.
  if (data == nullptr) {
    *result = filterBadParameters;
    return false;
  }
  return true;
}

// ---- selector handlers -------------------------------------------------------
// No arguments, no result: they work on the call context and report through
// the result slot. Locks they take go back in ServeCall, after the handler.

// Creates whichever block is missing. False when a creation failed; the
// failure's code is then in the result slot.
bool CreateMissingBlocks() {
  bool created = true;
  if (HostFilterRecord()->parameters == nullptr) {
    CreateParameters();
    created = HostFilterRecord()->parameters != nullptr && created;
  }
  if (*gPluginGlobals.dataSlot == 0) {
    CreateRunState();
    created = *gPluginGlobals.dataSlot != 0 && created;
  }
  return created;
}

void LockAndResetBlocks() {
  LockBlocks();
  if (!BlocksLocked()) return;
  InitParameters();
  InitRunState();
}

void HandleAbout() { ShowAboutBox(static_cast<const AboutRecord*>(gPluginGlobals.hostRecord)); }

void HandleParameters() {
  // Decided on what this call did, not on the slot: some hosts pass a
  // non-zero result in, which must not stop the reset.
  if (CreateMissingBlocks()) LockAndResetBlocks();
}

void HandlePrepare() {
  FilterRecord* record = HostFilterRecord();
  // We keep no buffers of our own: the host may use all of its memory. Said
  // first, so that it holds even when a handle procedure throws below.
  record->bufferSpace = 0;
  record->maxSpace = 0;
  if (record->parameters != nullptr && *gPluginGlobals.dataSlot != 0) {
    LockBlocks();
  } else if (CreateMissingBlocks()) {
    LockAndResetBlocks();
  }
}

void HandleStart() {
  LockBlocks();
  // Without the blocks there is no setting to read: the lock's code stands.
  if (!BlocksLocked()) return;
  ParameterBlock& parameters = *gPluginGlobals.parameterBlock;
  LoadSavedSettings(parameters);
  const bool confirmed = ShowConfirmDialog(HostFilterRecord());
  // Whatever the dialog answered (or if it could not be shown), the slot
  // holds 0 from here on, even where the host passed another value in; a
  // cancel replaces it below.
  StoreResult(noErr);
  gPluginGlobals.runState->showDialog = 1;
  if (confirmed)
    ConvertImage(parameters.useDithering != 0);
  else
    StoreResult(userCanceledErr);
}

void HandleContinue() {
  // Everything was converted during start: ask for no more data.
  const VRect none{0, 0, 0, 0};
  WriteInRect(none);
  WriteOutRect(none);
  WriteMaskRect(none);
}

void HandleFinish() {
  LockBlocks();
  if (!BlocksLocked()) return;
  // Scripting first, then the registry; neither code is reported.
  WriteScriptSettings(*gPluginGlobals.parameterBlock);
  SaveSettings(*gPluginGlobals.parameterBlock);
}

void Dispatch(int16_t selector) {
  switch (selector) {
    case filterSelectorAbout: HandleAbout(); break;
    case filterSelectorParameters: HandleParameters(); break;
    case filterSelectorPrepare: HandlePrepare(); break;
    case filterSelectorStart: HandleStart(); break;
    case filterSelectorContinue: HandleContinue(); break;
    case filterSelectorFinish: HandleFinish(); break;
    default: break;  // unknown selectors run no handler
  }
}

// What the firewall reports for something a handler let escape: the about
// call never writes the result slot; every other call gets the code.
void ReportEscape(int16_t selector, int16_t code) {
  if (selector != filterSelectorAbout) StoreResult(code);
}

// The module's one firewall: nothing a handler or a host procedure lets
// escape (an allocation failure, a suite the host would not give, an
// unlockProc that throws) unwinds into the host.
template <typename Work>
void Firewalled(int16_t selector, Work work) {
  try {
    work();
  } catch (const std::bad_alloc&) {
    ReportEscape(selector, memFullErr);
  } catch (...) {
    ReportEscape(selector, filterBadParameters);
  }
}

// Serves a call that holds the latch. Its one call site in PluginMain is
// where every frame of a call in progress resumes: the return address it
// notes identifies a live holder to a later call's stack walk. Every call
// into the host happens in here.
[[gnu::noinline]] void ServeCall(int16_t selector, void* record, intptr_t* data, int16_t* result) {
  gHolderReturnAddress.store(reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  // Locks still on record here were taken by a call that never reached its
  // end (its host left it): they are forgotten, not given back, since that
  // host may have disposed of the handles while it recovered.
  ForgetLockedBlocks();
  if (!BeginCall(selector, record, data, result)) return;
  Firewalled(selector, [selector] { Dispatch(selector); });
  // The locks the handler took go back here, whichever way it ended; a host
  // whose unlockProc throws is stopped at the firewall too.
  Firewalled(selector, [] { UnlockBlocks(); });
}

}  // namespace

extern "C" void PluginMain(int16_t selector, void* record, intptr_t* data, int16_t* result) {
  const int16_t* const slot = result != nullptr ? result : &kNoSlot;
  const ThisThread thread = CurrentThread();
  const int16_t* holder = nullptr;
  if (!gCallInProgress.compare_exchange_strong(holder, slot) && !TakeOverAbandonedCall(holder, slot, thread)) {
    RefuseNestedCall(selector, result, holder);
    return;
  }
  gHolderThread.store(thread.id);
  gHolderStack.store(thread.stackHigh);
  gHolderFrame.store(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
  // A host that passes no result slot still gets defined behaviour: a slot
  // of this call's own, forgotten when the call returns.
  int16_t localResult = 0;
  const EndOfCall end(&localResult);
  ServeCall(selector, record, data, result != nullptr ? result : &localResult);
}
