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
#include "host/OpenDialog.h"
#include "host/RectExchange.h"
#include "settings/Settings.h"
#include "ui/Dialogs.h"

namespace {

// ---- one call at a time ------------------------------------------------------

// One call at a time: a nested call (a host that calls again from its message
// loop while one of our dialogs is open, or from a callback) would overwrite
// the globals and the block pointers of the call that is still running. The
// latch holds the serial number of the call in progress (0 between calls);
// every call draws a new one, so a call that finds the latch taken and means
// to take it over can tell whether the holder it judged is still the holder.
std::atomic<uint64_t> gCallInProgress{0};
std::atomic<uint64_t> gLastSerial{0};

// Who holds the latch, and where: enough to tell, when a call finds the latch
// taken, whether the holder is still running beneath it (a nested call) or
// was left by an unwind that the module never saw (a host that caught a crash
// with structured exception handling, a callback that longjmp'd out), or its
// thread has ended. The holder writes its serial last, so a reader that finds
// the latch's serial there before and after reading the rest has read that
// holder's record, not a part of its predecessor's.
std::atomic<uint64_t> gHolderSerial{0};
std::atomic<uintptr_t> gHolderThread{0};
std::atomic<uint64_t> gHolderThreadStarted{0};  // its creation time (a reused id has another)
std::atomic<uintptr_t> gHolderStack{0};         // the holder thread's stack (a fiber has its own)
std::atomic<uintptr_t> gHolderFrame{0};         // the holder's PluginMain frame
std::atomic<uintptr_t> gHolderReturnAddress{0};  // where that frame resumes after serving
std::atomic<const int16_t*> gHolderSlot{nullptr};  // the result slot it was given, or null

// A refused call that wrote into the holder's own result slot (most hosts
// keep one slot) notes what the slot held before, so that a holder which
// never writes its slot (the about call) can put it back when it returns.
std::atomic<bool> gHolderSlotWritten{false};
std::atomic<int16_t> gHolderSlotBefore{0};

// A call that arrives while another is in progress is turned away before it
// reads or writes anything of ours or of its record: the call underneath
// still owns the globals, the blocks and its result slot. The refusal says
// "bad parameters", the code for a call the module cannot serve as made (the
// same as for a missing record or data slot): it is an error, not a cancel,
// so the host learns that nothing ran. It is stored whatever the slot, the
// holder's own included: a live holder stores its own code when it returns,
// as its last act, and so wins over the refusal.
void RefuseCall(int16_t* result) {
  if (result == nullptr) return;
  if (result == gHolderSlot.load() && !gHolderSlotWritten.exchange(true)) gHolderSlotBefore.store(*result);
  *result = filterBadParameters;
}

// The latch is held by the call with serial `held`. Takes it over for the
// call with serial `serial` when that holder was abandoned and this can be
// proved: on the holder's thread and stack, a walk of the stack finds the
// holder gone; from anywhere, the holder's thread has ended (its identity
// then names no thread, or one made later). Anything else, and whatever the
// walk cannot decide, leaves the latch with the holder.
bool TakeOverAbandonedCall(uint64_t held, uint64_t serial, const ThisThread& thread) {
  if (gHolderSerial.load() != held) return false;
  const uintptr_t holderThread = gHolderThread.load();
  const uint64_t started = gHolderThreadStarted.load();
  const uintptr_t stack = gHolderStack.load();
  const uintptr_t frame = gHolderFrame.load();
  if (gHolderSerial.load() != held) return false;
  bool abandoned = false;
  if (holderThread == thread.id && started == thread.started) {
    abandoned = stack == thread.stackHigh &&
                FindOuterCall(gHolderReturnAddress.load(), frame, thread) == OuterCall::Abandoned;
  } else {
    abandoned = ThreadHasEnded(holderThread, started);
  }
  return abandoned && gCallInProgress.compare_exchange_strong(held, serial);
}

// Ends the call in progress on every way out of PluginMain (an unwinding that
// runs the frame's clean-ups included), unless another call took it over.
class EndOfCall {
 public:
  EndOfCall(uint64_t serial, int16_t* hostSlot) : serial_(serial), hostSlot_(hostSlot) {}
  ~EndOfCall() {
    // Between calls the context names the host's slot, or none.
    gPluginGlobals.resultSlot = hostSlot_;
    uint64_t mine = serial_;
    gCallInProgress.compare_exchange_strong(mine, 0);
  }
  EndOfCall(const EndOfCall&) = delete;
  EndOfCall& operator=(const EndOfCall&) = delete;

 private:
  uint64_t serial_;
  int16_t* hostSlot_;
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
    ConvertImage(parameters.useDithering);
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
// into the host happens in here. Codes go to `code`, the call's own slot.
[[gnu::noinline]] void ServeCall(int16_t selector, void* record, intptr_t* data, int16_t* code) {
  gHolderReturnAddress.store(reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  // Locks still on record here were taken by a call that never reached its
  // end (its host left it): they are forgotten, not given back, since that
  // host may have disposed of the handles while it recovered. A dialog that
  // such a call left open goes, and its owner is enabled again.
  ForgetLockedBlocks();
  CloseLeftOverDialog();
  if (!BeginCall(selector, record, data, code)) return;
  Firewalled(selector, [selector] { Dispatch(selector); });
  // The locks the handler took go back here, whichever way it ended, one at
  // a time: a host whose unlockProc throws is stopped at the firewall and
  // still gets its other lock back, with no rethrow in the module. A call
  // holds at most two locks, so three rounds end it whatever the host does.
  bool more = true;
  for (int round = 0; more && round < 3; ++round) Firewalled(selector, [&more] { more = GiveBackOneLock(); });
}

}  // namespace

extern "C" void PluginMain(int16_t selector, void* record, intptr_t* data, int16_t* result) {
  const ThisThread thread = CurrentThread();
  const uint64_t serial = gLastSerial.fetch_add(1) + 1;
  uint64_t held = 0;
  if (!gCallInProgress.compare_exchange_strong(held, serial) && !TakeOverAbandonedCall(held, serial, thread)) {
    RefuseCall(result);
    return;
  }
  gHolderSlotWritten.store(false);
  gHolderSlot.store(result);
  gHolderThread.store(thread.id);
  gHolderThreadStarted.store(thread.started);
  gHolderStack.store(thread.stackHigh);
  gHolderFrame.store(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
  gHolderSerial.store(serial);
  // The call works on a slot of its own and hands its final code to the
  // host's slot as its very last act: a call refused meanwhile may have
  // written its refusal there. A filter call starts from the host's value
  // (which stands where the call stores no code of its own); the about call
  // stores nothing, and only puts back what a refusal overwrote.
  const bool about = selector == filterSelectorAbout;
  int16_t code = result != nullptr && !about ? *result : int16_t{0};
  bool restore = !about;
  {
    const EndOfCall end(serial, result);
    ServeCall(selector, record, data, &code);
    if (about && gHolderSlotWritten.load()) {
      code = gHolderSlotBefore.load();
      restore = true;
    }
  }
  if (result != nullptr && restore) *result = code;
}
