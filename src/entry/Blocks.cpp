// The two one-byte host-held blocks: created through the host's handle
// procedures, locked for the length of one call, never disposed of by us.
#include "entry/PluginGlobals.h"
#include "host/HostProcs.h"

namespace {

HandleProcs* UsableHandleProcs() {
  HandleProcs* procs = HostFilterRecord()->handleProcs;
  return HandleProcsUsable(procs) ? procs : nullptr;
}

Handle RunStateHandle() { return reinterpret_cast<Handle>(*gPluginGlobals.dataSlot); }

}  // namespace

void CreateParameters() {
  HandleProcs* procs = UsableHandleProcs();
  if (procs == nullptr) {
    StoreResult(errPlugInHostInsufficient);
    return;
  }
  Handle h = procs->newProc(sizeof(ParameterBlock));
  HostFilterRecord()->parameters = h;
  if (h == nullptr) StoreResult(memFullErr);
}

void CreateRunState() {
  HandleProcs* procs = UsableHandleProcs();
  if (procs == nullptr) {
    StoreResult(errPlugInHostInsufficient);
    return;
  }
  Handle h = procs->newProc(sizeof(RunState));
  if (h == nullptr) {
    StoreResult(memFullErr);
    return;
  }
  *gPluginGlobals.dataSlot = reinterpret_cast<intptr_t>(h);
}

void InitParameters() {
  if (gPluginGlobals.parameterBlock != nullptr) gPluginGlobals.parameterBlock->useDithering = 1;
}

void InitRunState() {
  if (gPluginGlobals.runState != nullptr) gPluginGlobals.runState->showDialog = 1;
}

void LockBlocks() {
  FilterRecord* record = HostFilterRecord();
  gPluginGlobals.parameterBlock = nullptr;
  gPluginGlobals.runState = nullptr;
  if (record->parameters == nullptr || *gPluginGlobals.dataSlot == 0) {
    StoreResult(filterBadParameters);
    return;
  }
  HandleProcs* procs = UsableHandleProcs();
  if (procs == nullptr) {
    StoreResult(errPlugInHostInsufficient);
    return;
  }
  // Both locks are made before either is tested: UnlockBlocks undoes both.
  auto* parameters = reinterpret_cast<ParameterBlock*>(procs->lockProc(record->parameters, 1));
  auto* runState = reinterpret_cast<RunState*>(procs->lockProc(RunStateHandle(), 1));
  if (parameters == nullptr || runState == nullptr) {
    // Leave both pointers null so that no handler writes through half a lock.
    StoreResult(memFullErr);
    return;
  }
  gPluginGlobals.parameterBlock = parameters;
  gPluginGlobals.runState = runState;
}

void UnlockBlocks() {
  // The block pointers die with the locks, whatever this call locked.
  gPluginGlobals.parameterBlock = nullptr;
  gPluginGlobals.runState = nullptr;
  FilterRecord* record = HostFilterRecord();
  HandleProcs* procs = record->handleProcs;
  if (procs == nullptr || procs->unlockProc == nullptr) return;
  if (*gPluginGlobals.dataSlot != 0) procs->unlockProc(RunStateHandle());
  if (record->parameters != nullptr) procs->unlockProc(record->parameters);
}
