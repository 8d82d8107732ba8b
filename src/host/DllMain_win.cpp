#include <windows.h>

#include <version>

#include "host/HostSuite.h"
#include "host/OpenDialog.h"
#include "host/PluginInstance.h"

// GNU's C++ runtime (x64) has its own clean-up: it frees the reserve it
// allocates at load for throwing when memory runs out (some 73 KiB). Declared
// by no public header. LLVM's (ARM64) keeps that reserve in static storage:
// nothing to give back.
#if !defined(_LIBCPP_VERSION)
#define PIXELMOOR_FREE_RUNTIME_RESERVE 1
namespace __gnu_cxx {
void __freeres() noexcept;
}
#endif

namespace {

HINSTANCE gPluginInstance = nullptr;

}  // namespace

// Every notification carries the same handle; storing it each time means it is
// there whichever notification comes first. A process detach with a non-null
// reserved argument means the process is ending, not that the host unloads
// us; the runtime calls this entry before it runs the module's exit-time
// list, so the held suite's release sees the note. Nothing here can fail.
//
// An unload from a living process gives back the C++ runtime's reserve for
// exceptions, which it allocates when the module loads and would otherwise
// leave behind in the host at every unload (docs/lifetime.md). Nothing of
// the module throws, and nothing of it runs after this but the exit-time
// list, which does not throw either.
//
// A dialog that a call the host abandoned left on screen (the host left the
// call from inside the dialog's modal loop and unloads the module without
// calling again) would run the module's dialog procedure, which is about to
// be unmapped, at its next message. Its procedure is cleared here: the dialog
// then runs on the system's default dialog handling alone. Nothing else is
// done to it under the loader lock, where no message may be sent: it stays,
// inert, until the host destroys it or its owner (docs/lifetime.md).
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  gPluginInstance = instance;
  if (reason == DLL_PROCESS_DETACH) {
    if (reserved != nullptr) {
      NoteProcessTermination();
    } else {
      if (gOpenDialog.window != nullptr) SetWindowLongPtrW(static_cast<HWND>(gOpenDialog.window), DWLP_DLGPROC, 0);
#if defined(PIXELMOOR_FREE_RUNTIME_RESERVE)
      __gnu_cxx::__freeres();
#endif
    }
  }
  return TRUE;
}

void* GetPluginInstance() { return gPluginInstance; }
