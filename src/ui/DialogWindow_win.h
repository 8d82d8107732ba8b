// Window routines that the confirmation dialog and the about box share.
#pragma once

#include <windows.h>

#include "host/HostApi.h"
#include "host/PluginInstance.h"

// The module, where the dialogs' templates and strings are.
inline HINSTANCE ModuleInstance() { return static_cast<HINSTANCE>(GetPluginInstance()); }

// The dialog's owner: the host window of the record's platform data. A host
// that passes no platform record gets a dialog over the desktop.
inline HWND HostWindow(const PlatformData* platform) {
  return platform != nullptr ? static_cast<HWND>(platform->hwnd) : nullptr;
}

// Moves the dialog over its owner (the desktop when it has none), keeping its
// size and Z order. See ComputeDialogPlacement for the arithmetic.
BOOL CenterOnParent(HWND dialog);
