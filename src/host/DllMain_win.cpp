#include <windows.h>

#include "host/PluginInstance.h"

namespace {

HINSTANCE gPluginInstance = nullptr;

}  // namespace

// Every notification carries the same handle; storing it each time means it is
// there whichever notification comes first. Nothing here can fail.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
  gPluginInstance = instance;
  return TRUE;
}

void* GetPluginInstance() { return gPluginInstance; }
