// One place that answers "can the module call this host table?": a table
// counts as present only when it and every entry the module calls are non-null.
#pragma once

#include "host/HostApi.h"

inline bool HandleProcsUsable(const HandleProcs* procs) {
  return procs != nullptr && procs->newProc != nullptr && procs->disposeProc != nullptr &&
         procs->lockProc != nullptr && procs->unlockProc != nullptr;
}

inline bool BasicSuiteUsable(const SPBasicSuite* basic) {
  return basic != nullptr && basic->AcquireSuite != nullptr && basic->ReleaseSuite != nullptr;
}
