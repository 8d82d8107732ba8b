// Window routines that the confirmation dialog and the about box share.
#pragma once

#include <windows.h>

#include "host/HostApi.h"
#include "host/OpenDialog.h"
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

// The module's open dialog (host/OpenDialog.h), kept from the start of a
// modal dialog to its end, so that a dialog whose call the host abandoned
// can be found again. BeginModalDialog, before the dialog is made, notes
// whether the modal loop will disable the owner (it does when the owner's
// top-level window is enabled); NoteOpenDialog, at WM_INITDIALOG, notes the
// dialog; EndModalDialog, when the loop has returned, forgets both.
void BeginModalDialog(HWND parent);
void NoteOpenDialog(HWND dialog);
void EndModalDialog();
