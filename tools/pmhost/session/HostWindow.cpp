#include "HostWindow.h"

#include <memory>

#include "Console.h"
#include "DialogDriver_win.h"
#include "HostServices.h"

namespace {

HWND gHostWindow = nullptr;
std::unique_ptr<hostkit::DialogAnswerer> gAnswerer;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  return DefWindowProcA(window, message, w, l);
}

void Report(HWND, const hostkit::DialogDescription& d) {
  Say("pmhost: dialog \"%s\" at (%ld, %ld), %ld x %ld, owner %s\n", d.title.c_str(), d.rect.left, d.rect.top,
      d.rect.right - d.rect.left, d.rect.bottom - d.rect.top,
      d.owner == gHostWindow ? "the host window" : "NOT the host window");
  for (const hostkit::DialogControl& c : d.controls)
    Say("pmhost:   control %d %s \"%s\"%s%s\n", c.id, c.className.c_str(), c.text.c_str(), c.visible ? "" : " hidden",
        c.enabled ? "" : " disabled");
  if (d.owner != gHostWindow) ReportMisuse("the module's dialog is not owned by the host window");
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
  gHostWindow = options.hostWindow;
  hostkit::DialogAnswerer::Options answer;
  // The module runs its modal loops on this (the host's) thread.
  answer.thread = GetCurrentThreadId();
  answer.answerId = options.answerId;
  answer.pressFirst = options.pressFirst;
  // Short: in a batch every image's dialog waits this long.
  answer.pollMs = 5;
  answer.settleMs = 5;
  const int click = options.clickButton;
  std::vector<int>* const buttons = options.buttons;
  auto first = std::make_shared<bool>(true);
  answer.onDialog = [click, buttons, first](HWND dialog, const hostkit::DialogDescription& d) {
    Report(dialog, d);
    if (!*first) return;
    *first = false;
    std::vector<int> ids;
    for (const hostkit::DialogControl& c : d.controls)
      if (c.visible && c.enabled && lstrcmpiA(c.className.c_str(), "Button") == 0 && c.id != IDOK && c.id != IDCANCEL)
        ids.push_back(c.id);
    if (buttons != nullptr) *buttons = ids;
    if (click > 0 && size_t(click) <= ids.size()) {
      const int id = ids[size_t(click - 1)];
      Say("pmhost: clicking control %d\n", id);
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    }
  };
  answer.onPress = [](int id) { Say("pmhost: pressing control %d\n", id); };
  answer.onResend = [](int id) { Say("pmhost: the dialog is still open; sending its command %d\n", id); };
  gAnswerer = std::make_unique<hostkit::DialogAnswerer>(std::move(answer));
}

int StopDialogWatcher() {
  if (gAnswerer == nullptr) return 0;
  const int answered = gAnswerer->Stop();
  gAnswerer.reset();
  return answered;
}
