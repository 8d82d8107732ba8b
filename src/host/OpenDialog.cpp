#include "host/OpenDialog.h"

OpenDialog gOpenDialog{};

void CloseLeftOverDialog() {
  const OpenDialog left = gOpenDialog;
  gOpenDialog = OpenDialog{};
  if (left.window != nullptr && left.close != nullptr) left.close(left);
}
