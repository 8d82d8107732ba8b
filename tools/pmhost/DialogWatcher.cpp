#include "DialogWatcher.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "Console.h"
#include "HostServices.h"

namespace {

// The watcher looks for a new dialog this often, and gives one that has just
// appeared this long to finish showing before it reads and presses it. Short:
// in a batch every image's dialog waits this long.
constexpr DWORD kPollMs = 5;
constexpr DWORD kSettleMs = 5;

WatcherOptions gWatch;
HANDLE gThread = nullptr;
std::atomic<bool> gStop{false};
std::atomic<int> gAnswered{0};
DWORD gMainThread = 0;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  return DefWindowProcA(window, message, w, l);
}

struct Search {
  HWND found = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  char cls[64] = {};
  GetClassNameA(window, cls, static_cast<int>(sizeof cls));
  if (std::string(cls) != "#32770" || !IsWindowVisible(window)) return TRUE;
  reinterpret_cast<Search*>(param)->found = window;
  return FALSE;
}

BOOL CALLBACK DescribeControl(HWND control, LPARAM) {
  char cls[64] = {}, text[256] = {};
  GetClassNameA(control, cls, static_cast<int>(sizeof cls));
  GetWindowTextA(control, text, static_cast<int>(sizeof text));
  Say("pmhost:   control %d %s \"%s\"%s%s\n", GetDlgCtrlID(control), cls, text,
      IsWindowVisible(control) ? "" : " hidden", IsWindowEnabled(control) ? "" : " disabled");
  return TRUE;
}

void Describe(HWND dialog) {
  char title[256] = {};
  GetWindowTextA(dialog, title, static_cast<int>(sizeof title));
  RECT r{};
  GetWindowRect(dialog, &r);
  const HWND owner = GetWindow(dialog, GW_OWNER);
  Say("pmhost: dialog \"%s\" at (%ld, %ld), %ld x %ld, owner %s\n", title, r.left, r.top, r.right - r.left,
      r.bottom - r.top, owner == gWatch.hostWindow ? "the host window" : "NOT the host window");
  EnumChildWindows(dialog, DescribeControl, 0);
  if (owner != gWatch.hostWindow) ReportMisuse("the module's dialog is not owned by the host window");
}

// Presses a control as a click would; hidden or disabled buttons cannot be
// clicked, so their command is sent directly.
void Press(HWND dialog, int id) {
  const HWND button = GetDlgItem(dialog, id);
  Say("pmhost: pressing control %d\n", id);
  DWORD_PTR ignored = 0;
  if (button != nullptr && IsWindowVisible(button) && IsWindowEnabled(button)) {
    SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &ignored);
    return;
  }
  SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button), SMTO_NORMAL,
                      5000, &ignored);
}

DWORD WINAPI Watch(LPVOID) {
  HWND handled = nullptr;
  while (!gStop) {
    Search search;
    EnumThreadWindows(gMainThread, FindDialog, reinterpret_cast<LPARAM>(&search));
    const HWND dialog = search.found;
    if (dialog == nullptr || dialog == handled) {
      if (handled != nullptr && !IsWindow(handled)) handled = nullptr;
      Sleep(kPollMs);
      continue;
    }
    Sleep(kSettleMs);
    if (!IsWindow(dialog)) continue;
    Describe(dialog);
    for (const int id : gWatch.pressFirst) {
      Press(dialog, id);
      Sleep(100);
    }
    Press(dialog, gWatch.answerId);
    // A dialog that ignored a click gets its command directly.
    for (ULONGLONG until = GetTickCount64() + 2000; IsWindow(dialog) && GetTickCount64() < until;) Sleep(kPollMs);
    if (IsWindow(dialog)) {
      Say("pmhost: the dialog is still open; sending its command %d\n", gWatch.answerId);
      DWORD_PTR ignored = 0;
      SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(gWatch.answerId, BN_CLICKED),
                          reinterpret_cast<LPARAM>(GetDlgItem(dialog, gWatch.answerId)), SMTO_NORMAL, 5000, &ignored);
    }
    ++gAnswered;
    // A closed dialog's handle may come back for the next one (a batch shows
    // the same dialog for every image); only an open one is remembered.
    handled = IsWindow(dialog) ? dialog : nullptr;
  }
  return 0;
}

}  // namespace

HWND CreateHostWindow(bool visible) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = HostWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "PmhostWindow";
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, "PmhostWindow", "pmhost", WS_OVERLAPPEDWINDOW, 100, 100, 800, 600, nullptr, nullptr,
                                wc.hInstance, nullptr);
  if (window != nullptr && visible) {
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
  }
  return window;
}

void StartDialogWatcher(const WatcherOptions& options) {
  gWatch = options;
  gMainThread = GetCurrentThreadId();
  gStop = false;
  gThread = CreateThread(nullptr, 0, Watch, nullptr, 0, nullptr);
}

int StopDialogWatcher() {
  if (gThread != nullptr) {
    gStop = true;
    WaitForSingleObject(gThread, 5000);
    CloseHandle(gThread);
    gThread = nullptr;
  }
  return gAnswered;
}
