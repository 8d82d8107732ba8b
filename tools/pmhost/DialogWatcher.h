// The host window that owns the module's dialogs, and a watcher thread that
// answers those dialogs the way a person would press their buttons.
#pragma once

#include <windows.h>

#include <vector>

// A hidden top-level window, 800 x 600 at (100, 100), or shown when asked.
HWND CreateHostWindow(bool visible);

struct WatcherOptions {
  HWND hostWindow = nullptr;
  int answerId = 0;              // 1 (OK) or 2 (Cancel): pressed last
  std::vector<int> pressFirst;   // controls pressed before the answer, in order
};

// Starts the watcher; it presses the buttons of every dialog that the
// module opens until StopDialogWatcher.
void StartDialogWatcher(const WatcherOptions& options);
// Stops it; returns how many dialogs it answered.
int StopDialogWatcher();
