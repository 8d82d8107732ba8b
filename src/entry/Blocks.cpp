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

void UnlockBlocks() {
  // The block pointers die with the locks.
  gPluginGlobals.parameterBlock = nullptr;
  gPluginGlobals.runState = nullptr;
  const Handle runState = gLockedRunState;
  const Handle parameters = gLockedParameters;
  gLockedRunState = gLockedParameters = nullptr;
  if (runState == nullptr && parameters == nullptr) return;
  // The table as the host holds it now; a host that took unlockProc away
  // during the call keeps its locks, since there is no other way to give them.
  HandleProcs* procs = HostFilterRecord()->handleProcs;
  if (procs == nullptr || procs->unlockProc == nullptr) return;
  // An unlockProc that throws does not keep the other lock from going back;
  // the exception goes on to the entry's firewall.
  try {
    if (runState != nullptr) procs->unlockProc(runState);
  } catch (...) {
    if (parameters != nullptr) procs->unlockProc(parameters);
    throw;
  }
  if (parameters != nullptr) procs->unlockProc(parameters);
}

void ForgetLockedBlocks() {
  gPluginGlobals.parameterBlock = nullptr;
  gPluginGlobals.runState = nullptr;
  gLockedRunState = gLockedParameters = nullptr;
}
