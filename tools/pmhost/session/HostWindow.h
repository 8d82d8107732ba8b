// The host window that owns the module's dialogs, and the answers pmhost gives
// those dialogs through the test hosts' shared dialog driver
// (tests/hostkit/DialogDriver_win.h).
#pragma once

#include <windows.h>

#include <vector>

// A hidden top-level window, 800 x 600 at (100, 100), or shown when asked.
HWND CreateHostWindow(bool visible);

struct WatcherOptions {
  HWND hostWindow = nullptr;
  int answerId = 0;              // 1 (OK) or 2 (Cancel): pressed last
  std::vector<int> pressFirst;   // controls pressed before the answer, in order
  // In the first dialog: its enabled buttons other than OK and Cancel are
  // listed in `buttons` (their ids, in window order), and the one at
  // `clickButton` (1-based; 0 none) is clicked before the answer.
  int clickButton = 0;
  std::vector<int>* buttons = nullptr;
};

// Starts answering every dialog that the module opens on this thread: each is
// described on the console, checked for its owner, and pressed, until
// StopDialogWatcher.
void StartDialogWatcher(const WatcherOptions& options);
// Stops it; returns how many dialogs it answered.
int StopDialogWatcher();
