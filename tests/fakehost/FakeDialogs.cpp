#include "entry/PluginGlobals.h"
#include "ui/Dialogs.h"
bool ShowConfirmDialog() { StoreResult(noErr); return true; }
intptr_t ShowAboutBox(const AboutRecord*) { return 0; }
