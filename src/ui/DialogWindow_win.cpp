#include "ui/DialogWindow_win.h"

#include "ui/Placement.h"

BOOL CenterOnParent(HWND dialog) {
  HWND owner = GetParent(dialog);
  if (owner == nullptr) owner = GetDesktopWindow();

  RECT client{};
  GetClientRect(owner, &client);
  POINT topLeft{client.left, client.top};
  POINT bottomRight{client.right, client.bottom};
  ClientToScreen(owner, &topLeft);
  ClientToScreen(owner, &bottomRight);

  RECT window{};
  GetWindowRect(dialog, &window);
  const PlacementInput in{topLeft.x,
                          topLeft.y,
                          bottomRight.x,
                          bottomRight.y,
                          window.right - window.left,
                          window.bottom - window.top,
                          (GetWindowLongA(dialog, GWL_STYLE) & WS_SYSMENU) != 0,
                          GetSystemMetrics(SM_CXSIZE),
                          GetSystemMetrics(SM_CXSCREEN),
                          GetSystemMetrics(SM_CYSCREEN)};
  const PlacementPoint at = ComputeDialogPlacement(in);
  return SetWindowPos(dialog, nullptr, at.x, at.y, in.dialogWidth, in.dialogHeight, SWP_NOZORDER);
}

namespace {

// Closes a dialog that an abandoned call left open, as EndDialog would have:
// the owner is enabled first, so that it takes the activation back, then the
// dialog goes. Only the dialog's thread can destroy it; a dialog of another
// thread that still exists keeps its place but loses its procedure, so that
// no code of the module runs for it once the module is gone.
void CloseDialogLeftOpen(const OpenDialog& left) {
  const auto dialog = static_cast<HWND>(left.window);
  const auto owner = static_cast<HWND>(left.disabledOwner);
  const DWORD self = GetCurrentThreadId();
  if (owner != nullptr && IsWindow(owner) && GetWindowThreadProcessId(owner, nullptr) == self)
    EnableWindow(owner, TRUE);
  if (!IsWindow(dialog)) return;
  if (GetWindowThreadProcessId(dialog, nullptr) == self)
    DestroyWindow(dialog);
  else
    SetWindowLongPtrW(dialog, DWLP_DLGPROC, 0);
}

}  // namespace

void BeginModalDialog(HWND parent) {
  HWND root = parent != nullptr ? GetAncestor(parent, GA_ROOT) : nullptr;
  if (root == nullptr) root = parent;
  const bool disables = root != nullptr && IsWindowEnabled(root);
  gOpenDialog = OpenDialog{nullptr, disables ? root : nullptr, CloseDialogLeftOpen};
}

void NoteOpenDialog(HWND dialog) {
  gOpenDialog.window = dialog;
  // The owner the system gave the dialog is the one its loop disabled.
  if (gOpenDialog.disabledOwner != nullptr) gOpenDialog.disabledOwner = GetWindow(dialog, GW_OWNER);
}

void EndModalDialog() { gOpenDialog = OpenDialog{}; }
