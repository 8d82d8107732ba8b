// The module's dialog whose modal loop is running, if any: what a call that
// takes over from an abandoned one, and the unload, need to find a dialog
// that an abandoned call left on screen. The dialogs note it (ui/); the entry
// closes a left-over one; the DLL entry strips the module's code from one
// still open when the module is unloaded.
#pragma once

struct OpenDialog {
  void* window;         // the dialog (an HWND); null when none is open
  void* disabledOwner;  // the owner its modal loop disabled, to enable again; or null
  // Enables the owner again and destroys the dialog, from the dialog's thread.
  void (*close)(const OpenDialog& dialog);
};

extern OpenDialog gOpenDialog;

// A dialog still noted here when a call is served was left by an abandoned
// call (a live call's dialog cannot be open then): closes it, enables its
// owner and forgets it. Does nothing when none is noted.
void CloseLeftOverDialog();
