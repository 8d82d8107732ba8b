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
