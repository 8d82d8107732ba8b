// A host suite held from its first use until the module is unloaded.
#pragma once

#include <cstdint>

// Raised by HostSuite::GetSuite when the suite cannot be had.
struct HostSuiteError {
  uint32_t code;  // the AcquireSuite code, or 'Parm' when there is no basic suite
};

struct HostSuite {
  const void* suite;    // the host's function table; null until acquired and after release
  uint32_t version;     // constant
  const char* name;     // constant
  int32_t lastError;    // code of the last AcquireSuite through this holder

  // The suite's function table, acquired on first use through the current
  // basic suite. Throws HostSuiteError instead of returning on failure.
  const void* GetSuite();
  // Releases an acquired suite through the basic suite of the last call.
  void ReleaseAtUnload();
};

// The module's one held suite: the host's file-list suite (web browsing).
extern HostSuite gFileListSuite;
