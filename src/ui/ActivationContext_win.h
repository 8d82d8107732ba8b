// The module's activation context, under which both dialogs run.
#pragma once

#include <windows.h>

// DialogBoxParamA under the module's activation context, so that the dialog's
// window classes resolve through the module's manifest, not the host's.
// -1 when the context cannot be had or the dialog cannot be created; the last
// error is then the failing call's.
INT_PTR IsolatedDialogBox(HINSTANCE instance, LPCSTR dialogTemplate, HWND parent, DLGPROC procedure,
                          LPARAM parameter);

// Finds (or, for a module without one, creates) the module's activation
// context, once per process. TRUE once established, possibly as the process
// default context (null).
BOOL EnsureIsolationContext();
