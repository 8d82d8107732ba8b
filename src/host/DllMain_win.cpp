#include <windows.h>

#include "host/HostSuite.h"
#include "host/PluginInstance.h"

namespace {

HINSTANCE gPluginInstance = nullptr;

}  // namespace

// Every notification carries the same handle; storing it each time means it is
// there whichever notification comes first. A process detach with a non-null
// reserved argument means the process is ending, not that the host unloads
// us; the runtime calls this entry before it runs the module's exit-time
// list, so the held suite's release sees the note. Nothing here can fail.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  gPluginInstance = instance;
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) NoteProcessTermination();
  return TRUE;
}

void* GetPluginInstance() { return gPluginInstance; }
