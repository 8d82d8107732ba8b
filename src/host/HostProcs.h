// One place that answers "can the module call this host table?": a table
// counts as present only when it and every entry the module calls are non-null.
// The handle procedures are asked per operation, for the entries that
// operation calls: many hosts fill only part of that table.
#pragma once

#include "host/HostApi.h"

// A lock is taken only where it can be given back in the same call.
inline bool CanLockHandles(const HandleProcs* procs) {
  return procs != nullptr && procs->lockProc != nullptr && procs->unlockProc != nullptr;
}

// A block is made to be locked in the same call: a table that could make it
// but not lock it would leave the host holding a block that nobody can use.
inline bool CanCreateBlocks(const HandleProcs* procs) { return CanLockHandles(procs) && procs->newProc != nullptr; }

inline bool CanDisposeHandles(const HandleProcs* procs) { return procs != nullptr && procs->disposeProc != nullptr; }

inline bool BasicSuiteUsable(const SPBasicSuite* basic) {
  return basic != nullptr && basic->AcquireSuite != nullptr && basic->ReleaseSuite != nullptr;
}

inline bool RegistrySuiteUsable(const PSDescriptorRegistryProcs* procs) {
  return procs != nullptr && procs->Register != nullptr && procs->Get != nullptr;
}

inline bool DescriptorSuiteUsable(const PSActionDescriptorProcs* procs) {
  return procs != nullptr && procs->Make != nullptr && procs->Free != nullptr &&
         procs->PutBoolean != nullptr && procs->GetBoolean != nullptr;
}

inline bool WriteProcsUsable(const WriteDescriptorProcs* procs) {
  return procs != nullptr && procs->openWriteDescriptorProc != nullptr &&
         procs->closeWriteDescriptorProc != nullptr && procs->putBooleanProc != nullptr;
}
