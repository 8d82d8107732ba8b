// A host suite held from its first use until the module is unloaded.
#pragma once

#include <cstdint>

// 'Parm': why GetSuite failed when no usable basic suite is known.
constexpr uint32_t kHostSuiteNoBasicSuite = 0x5061726d;

// Static data: `suite` null and `lastError` 0 at load, `name` and `version` fixed.
struct HostSuite {
  const void* suite;    // the host's function table; null until acquired and after release
  uint32_t version;     // constant
  const char* name;     // constant
  int32_t lastError;    // why the last acquisition through this holder failed: AcquireSuite's
                        // code, or 'S!Fd' for a success that handed out no table; 0 after success

  // The suite's function table, acquired on first use through the basic suite
  // of the current call; null when it cannot be had, and then `whyNot` (when
  // given) receives the AcquireSuite code, or 'Parm' when there is no usable
  // basic suite. Never throws: nothing in the module does (docs/lifetime.md).
  const void* GetSuite(uint32_t* whyNot = nullptr);
  // Releases an acquired suite through the basic suite of the last call,
  // unless the process is ending (see NoteProcessTermination).
  void ReleaseAtUnload();
};

// The module's one held suite: the host's file-list suite (web browsing).
extern HostSuite gFileListSuite;

// Told by the DLL entry that the whole process is ending (a detach with a
// non-null reserved argument), which it sees before the module's exit-time
// list runs. From then on ReleaseAtUnload leaves the host alone: its exit
// handlers and static destructors have run, other threads are gone, and its
// suite tables may be torn down.
void NoteProcessTermination();
