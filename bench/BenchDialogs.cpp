// The benchmarks drive ConvertImage directly; the dialogs the portable core
// refers to are never shown there.
#include "entry/PluginGlobals.h"
#include "ui/Dialogs.h"

bool ShowConfirmDialog() {
  StoreResult(noErr);
  return true;
}

intptr_t ShowAboutBox(const AboutRecord*) { return 0; }
