// Outside the real DLL there is no module instance: the dialogs' Windows code
// is not part of the portable tests, and nothing else asks for it. Kept alone
// in its file so that a program linking the module's own DLL entry never pulls
// it in.
#include "host/PluginInstance.h"

void* GetPluginInstance() { return nullptr; }
