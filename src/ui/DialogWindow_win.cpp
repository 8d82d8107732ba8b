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
