// The two one-byte host-held blocks: created through the host's handle
// procedures, locked for the length of one call (and only the locks a call
// took are given back at its end), never disposed of by us.
#include "entry/Blocks.h"
#include "host/HostProcs.h"

namespace {

// The handles that LockBlocks of the current call locked, and only those:
// UnlockBlocks gives back exactly these locks. A host that counts locks
// would go below zero if we unlocked a handle we never locked (after
// continue, a failed creation or a refused lock), and a host that swaps a
// handle during the call must get its lock back on the handle that holds it.
Handle gLockedRunState = nullptr;
Handle gLockedParameters = nullptr;

HandleProcs* CreatingProcs() {
  HandleProcs* procs = HostFilterRecord()->handleProcs;
  return CanCreateBlocks(procs) ? procs : nullptr;
}

Handle RunStateHandle() { return reinterpret_cast<Handle>(*gPluginGlobals.dataSlot); }

}  // namespace

void CreateParameters() {
  HandleProcs* procs = CreatingProcs();
  if (procs == nullptr) {
    StoreResult(errPlugInHostInsufficient);
    return;
  }
  Handle h = procs->newProc(sizeof(ParameterBlock));
  HostFilterRecord()->parameters = h;
  if (h == nullptr) StoreResult(memFullErr);
}

void CreateRunState() {
  HandleProcs* procs = CreatingProcs();
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
  // Locks of an earlier LockBlocks in the same call go back first, so that a
  // lock is never taken twice and given back once.
  UnlockBlocks();
  FilterRecord* record = HostFilterRecord();
  if (record->parameters == nullptr || *gPluginGlobals.dataSlot == 0) {
    StoreResult(filterBadParameters);
    return;
  }
  HandleProcs* procs = record->handleProcs;
  if (!CanLockHandles(procs)) {
    StoreResult(errPlugInHostInsufficient);
    return;
  }
  // Both locks are made before either is tested. A null pointer means that
  // handle was not locked; the one that was is given back by UnlockBlocks.
  const Handle parametersHandle = record->parameters;
  const Handle runStateHandle = RunStateHandle();
  auto* parameters = reinterpret_cast<ParameterBlock*>(procs->lockProc(parametersHandle, 1));
  if (parameters != nullptr) gLockedParameters = parametersHandle;
  auto* runState = reinterpret_cast<RunState*>(procs->lockProc(runStateHandle, 1));
  if (runState != nullptr) gLockedRunState = runStateHandle;
  if (parameters == nullptr || runState == nullptr) {
    // Leave both pointers null so that no handler writes through half a lock.
    StoreResult(memFullErr);
    return;
  }
  gPluginGlobals.parameterBlock = parameters;
  gPluginGlobals.runState = runState;
}

bool GiveBackOneLock() {
  // The block pointers die with the locks.
  gPluginGlobals.parameterBlock = nullptr;
  gPluginGlobals.runState = nullptr;
  // The lock is struck off before unlockProc is called: one that throws is
  // not tried again, and the next call goes on to the other lock.
  Handle* held = gLockedRunState != nullptr ? &gLockedRunState : &gLockedParameters;
  const Handle handle = *held;
  if (handle == nullptr) return false;
  *held = nullptr;
  // The table as the host holds it now; a host that took unlockProc away
  // during the call keeps its locks, since there is no other way to give them.
  HandleProcs* procs = HostFilterRecord()->handleProcs;
  if (procs == nullptr || procs->unlockProc == nullptr) {
    gLockedRunState = gLockedParameters = nullptr;
    return false;
  }
  procs->unlockProc(handle);
  return true;
}

void UnlockBlocks() {
  while (GiveBackOneLock()) {
  }
}

void ForgetLockedBlocks() {
  gPluginGlobals.parameterBlock = nullptr;
  gPluginGlobals.runState = nullptr;
  gLockedRunState = gLockedParameters = nullptr;
}
