// The confirmation dialog: asked at start, before anything is converted.
#include <windows.h>

#include "resources/Identifiers.h"
#include "ui/ActivationContext_win.h"
#include "ui/DialogWindow_win.h"
#include "ui/Dialogs.h"

// Exported, under the name PIXELMOOR_CONFIRM_PROC gives the export list.
extern "C" INT_PTR CALLBACK tarnwickPixelmoorProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

bool ShowConfirmDialog(const FilterRecord* record) {
  const INT_PTR result = IsolatedDialogBox(ModuleInstance(), PIXELMOOR_TEXT_OF(PIXELMOOR_CONFIRM_DIALOG),
                                           HostWindow(record->platformData), tarnwickPixelmoorProc, 0);
  return result == IDOK;
}

extern "C" INT_PTR CALLBACK tarnwickPixelmoorProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      NoteOpenDialog(dialog);
      CenterOnParent(dialog);
      // The template decides the focus; the system is not asked to set it.
      return FALSE;
    case WM_COMMAND: {
      const WORD id = LOWORD(wParam);
      // Focus changes of the notify-style buttons arrive as commands with a
      // non-zero code; only a click (code 0) answers.
      if ((id == IDOK || id == IDCANCEL) && HIWORD(wParam) == 0) EndDialog(dialog, id);
      return TRUE;
    }
    default:
      return FALSE;
  }
}
