// The exported entry point: records the host's pointers for the call, runs
// the selector's handler, and unlocks the blocks afterwards.
#include <atomic>
#include <new>

#include "convert/ConvertImage.h"
#include "entry/PluginGlobals.h"
#include "host/RectExchange.h"
#include "settings/Settings.h"
#include "ui/Dialogs.h"

PluginGlobals gPluginGlobals{};

void StoreResult(int16_t code) { *gPluginGlobals.resultSlot = code; }
int16_t CurrentResult() { return *gPluginGlobals.resultSlot; }

namespace {

// The call in progress, if any: its result slot, or kNoSlot when the host gave
// none. Null between calls. One call at a time: a nested call (a host that
// calls again from its message loop while one of our dialogs is open, or from
// a callback) would overwrite the globals and the block pointers of the call
// that is still running.
std::atomic<const int16_t*> gCallInProgress{nullptr};
const int16_t kNoSlot = 0;

// A call that arrives while another is in progress is turned away before it
// reads or writes anything of ours or of its record: the call underneath
// still owns the globals, the blocks and its result slot. The refusal says
// "bad parameters", the code for a call the module cannot serve as made (the
// same as for a missing record or data slot): it is an error, not a cancel,
// so the host learns that nothing ran. A nested call that passes the outer
// call's own slot is told nothing, since that slot belongs to the outer call.
void RefuseNestedCall(int16_t* result, const int16_t* outerSlot) {
  if (result != nullptr && result != outerSlot) *result = filterBadParameters;
}

// Ends the call in progress on every way out of PluginMain, and leaves no
// pointer to the call's stand-in result slot behind.
class EndOfCall {
 public:
  explicit EndOfCall(const int16_t* standIn) : standIn_(standIn) {}
  ~EndOfCall() {
    if (gPluginGlobals.resultSlot == standIn_) gPluginGlobals.resultSlot = nullptr;
    gCallInProgress.store(nullptr);
  }
  EndOfCall(const EndOfCall&) = delete;
  EndOfCall& operator=(const EndOfCall&) = delete;

 private:
  const int16_t* standIn_;
};

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

}  // namespace

void HandleAbout() { ShowAboutBox(static_cast<const AboutRecord*>(gPluginGlobals.hostRecord)); }

void HandleParameters() {
  // Decided on what this call did, not on the slot: some hosts pass a
  // non-zero result in, which must not stop the reset.
  if (CreateMissingBlocks()) LockAndResetBlocks();
}

void HandlePrepare() {
  FilterRecord* record = HostFilterRecord();
  if (record->parameters != nullptr && *gPluginGlobals.dataSlot != 0) {
    LockBlocks();
  } else if (CreateMissingBlocks()) {
    LockAndResetBlocks();
  }
  // We keep no buffers of our own: the host may use all of its memory.
  record->bufferSpace = 0;
  record->maxSpace = 0;
}

void HandleStart() {
  LockBlocks();
  // Without the blocks there is no setting to read: the lock's code stands.
  if (!BlocksLocked()) return;
  LoadSavedSettings();
  const bool confirmed = ShowConfirmDialog();
  gPluginGlobals.runState->showDialog = 1;
  if (confirmed)
    ConvertImage();
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
  WriteScriptSettings();
  SaveSettings();
}

extern "C" void PluginMain(int16_t selector, void* record, intptr_t* data, int16_t* result) {
  const int16_t* outer = nullptr;
  if (!gCallInProgress.compare_exchange_strong(outer, result != nullptr ? result : &kNoSlot)) {
    RefuseNestedCall(result, outer);
    return;
  }
  // A host that passes no result slot still gets defined behaviour: a slot
  // of this call's own, forgotten when the call returns.
  int16_t localResult = 0;
  const EndOfCall end(&localResult);
  if (result == nullptr) result = &localResult;
  gPluginGlobals.hostRecord = record;
  gPluginGlobals.dataSlot = data;
  gPluginGlobals.resultSlot = result;
  gPluginGlobals.parameterBlock = nullptr;
  gPluginGlobals.runState = nullptr;

  if (selector == filterSelectorAbout) {
    auto* about = static_cast<AboutRecord*>(record);
    gPluginGlobals.basicSuite = about != nullptr ? about->sSPBasic : nullptr;
    if (about == nullptr) return;
    try {
      HandleAbout();
    } catch (...) {
      // Nothing may unwind into the host; the about call reports nothing.
    }
    return;
  }

  auto* filter = static_cast<FilterRecord*>(record);
  if (filter == nullptr) {
    *result = filterBadParameters;
    return;
  }
  gPluginGlobals.basicSuite = filter->sSPBasic;
  if (filter->bigDocumentData != nullptr) filter->bigDocumentData->PluginUsing32BitCoordinates = 1;
  // Without a data slot there is nowhere to keep the run state.
  if (data == nullptr) {
    *result = filterBadParameters;
    return;
  }

  try {
    Dispatch(selector);
  } catch (const std::bad_alloc&) {
    StoreResult(memFullErr);
  } catch (...) {
    StoreResult(filterBadParameters);
  }
  UnlockBlocks();
}
