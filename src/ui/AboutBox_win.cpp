// The about box: the module's text and two links that the host opens.
#include <windows.h>

#include <cstdio>
#include <iterator>

#include "host/HostSuite.h"
#include "resources/Identifiers.h"
#include "ui/ActivationContext_win.h"
#include "ui/DialogWindow_win.h"
#include "ui/Dialogs.h"

namespace {

void InitAboutBox(HWND dialog) {
  NoteOpenDialog(dialog);
  CenterOnParent(dialog);
  char text[256] = {};
  // One short of the buffer: at most 254 characters and the terminator.
  LoadStringA(ModuleInstance(), PIXELMOOR_ABOUT_TEXT_ID, text, static_cast<int>(std::size(text)) - 1);
  SetDlgItemTextA(dialog, PIXELMOOR_ABOUT_TEXT_ITEM, text);
}

using BrowseUrlProc = SPErr (*)(const char* url);

// The host's web-browsing entry, or null when the host cannot give it.
BrowseUrlProc HostBrowseUrl() {
  const auto* suite = static_cast<const PSGetFileListSuite4*>(gFileListSuite.GetSuite());
  return suite != nullptr ? suite->BrowseUrl : nullptr;
}

// Opens "http://" and the button's caption through the host; the box stays
// open. Without the host's file-list suite nothing opens.
void OpenLink(HWND dialog, int item) {
  char caption[256] = {};
  char address[256] = {};
  GetDlgItemTextA(dialog, item, caption, static_cast<int>(std::size(caption)));
  // A caption beyond 248 characters is cut, never written past the buffer.
  std::snprintf(address, std::size(address), "http://%s", caption);
  if (BrowseUrlProc browse = HostBrowseUrl()) browse(address);
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      InitAboutBox(dialog);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
          EndDialog(dialog, 0);
          return TRUE;
        case PIXELMOOR_FIRST_LINK_ITEM:
        case PIXELMOOR_SECOND_LINK_ITEM:
          OpenLink(dialog, LOWORD(wParam));
          return TRUE;
        default:
          return FALSE;
      }
    case WM_CHAR: {
      const auto character = static_cast<unsigned char>(wParam & 0xFF);
      if (character == 27 || character == 13) EndDialog(dialog, 0);
      return TRUE;
    }
    case WM_LBUTTONDOWN:
      EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

intptr_t ShowAboutBox(const AboutRecord* about) {
  const PlatformData* platform = about != nullptr ? about->platformData : nullptr;
  return IsolatedDialogBox(ModuleInstance(), MAKEINTRESOURCEA(PIXELMOOR_ABOUT_DIALOG_ID), HostWindow(platform),
                           AboutDialogProc, 0);
}
