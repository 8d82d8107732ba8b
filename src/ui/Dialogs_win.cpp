#include "entry/PluginGlobals.h"
#include "ui/Dialogs.h"

// Placeholder until the real dialogs land: the confirmation answers OK at once
// (storing 0, as the dialog does), and the about box shows nothing.
bool ShowConfirmDialog() {
  StoreResult(noErr);
  return true;
}

intptr_t ShowAboutBox(const AboutRecord*) { return 0; }

#include <windows.h>
// Placeholder until the real confirmation dialog lands.
extern "C" INT_PTR CALLBACK tarnwickPixelmoorProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
