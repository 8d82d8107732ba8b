#include "DialogDriver_win.h"

#include <cstring>
#include <utility>

namespace hostkit {

namespace {

struct Search {
  HWND except;
  HWND found;
};

BOOL CALLBACK VisitForDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  char cls[16] = {};
  GetClassNameA(window, cls, static_cast<int>(sizeof cls));
  if (window == search->except || std::strcmp(cls, "#32770") != 0 || !IsWindowVisible(window)) return TRUE;
  search->found = window;
  return FALSE;
}

BOOL CALLBACK VisitControl(HWND control, LPARAM param) {
  DialogControl c;
  char cls[64] = {};
  GetClassNameA(control, cls, static_cast<int>(sizeof cls));
  c.id = GetDlgCtrlID(control);
  c.className = cls;
  c.text = Text(control);
  c.visible = IsWindowVisible(control) != FALSE;
  c.enabled = IsWindowEnabled(control) != FALSE;
  reinterpret_cast<std::vector<DialogControl>*>(param)->push_back(std::move(c));
  return TRUE;
}

}  // namespace

HWND FindDialog(DWORD thread, HWND except) {
  Search search{except, nullptr};
  EnumThreadWindows(thread, VisitForDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForDialog(DWORD thread, DWORD timeoutMs, DWORD pollMs) {
  for (const ULONGLONG until = GetTickCount64() + timeoutMs;;) {
    if (HWND found = FindDialog(thread)) return found;
    if (GetTickCount64() >= until) return nullptr;
    Sleep(pollMs);
  }
}

bool WaitClosed(HWND dialog, DWORD timeoutMs, DWORD pollMs) {
  for (const ULONGLONG until = GetTickCount64() + timeoutMs;;) {
    if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return true;
    if (GetTickCount64() >= until) return false;
    Sleep(pollMs);
  }
}

bool StaysOpen(HWND dialog) {
  SendMessageA(dialog, WM_NULL, 0, 0);
  Sleep(250);
  return IsWindow(dialog) && IsWindowVisible(dialog);
}

std::string Text(HWND window) {
  char text[1024] = {};
  GetWindowTextA(window, text, static_cast<int>(sizeof text));
  return text;
}

DialogDescription Describe(HWND dialog) {
  DialogDescription d;
  d.title = Text(dialog);
  GetWindowRect(dialog, &d.rect);
  d.owner = GetWindow(dialog, GW_OWNER);
  EnumChildWindows(dialog, VisitControl, reinterpret_cast<LPARAM>(&d.controls));
  return d;
}

void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void Press(HWND dialog, int id, UINT timeoutMs) {
  const HWND button = GetDlgItem(dialog, id);
  if (button != nullptr && IsWindowVisible(button) && IsWindowEnabled(button)) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_NORMAL, timeoutMs, &ignored);
    return;
  }
  SendCommand(dialog, id, BN_CLICKED, timeoutMs);
}

void SendCommand(HWND dialog, int id, WORD code, UINT timeoutMs) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)),
                      SMTO_NORMAL, timeoutMs, &ignored);
}

void PostCommand(HWND dialog, int id, WORD code) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void PressKey(DWORD thread, HWND dialog, WPARAM key) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  HWND target = dialog;
  if (GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr) target = info.hwndFocus;
  PostMessageA(target, WM_KEYDOWN, key, 1);
  PostMessageA(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

void SendChar(HWND dialog, WPARAM character) { SendMessageA(dialog, WM_CHAR, character, 0); }

DialogAnswerer::DialogAnswerer(Options options) : options_(std::move(options)) {
  thread_ = CreateThread(nullptr, 0, Main, this, 0, nullptr);
}

DialogAnswerer::~DialogAnswerer() { Stop(); }

int DialogAnswerer::Stop() {
  if (thread_ != nullptr) {
    stop_ = true;
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  return answered_;
}

DWORD WINAPI DialogAnswerer::Main(LPVOID self) {
  static_cast<DialogAnswerer*>(self)->Run();
  return 0;
}

void DialogAnswerer::Run() {
  const auto press = [this](HWND dialog, int id) {
    if (options_.onPress) options_.onPress(id);
    Press(dialog, id);
  };
  HWND handled = nullptr;
  while (!stop_) {
    const HWND dialog = FindDialog(options_.thread);
    if (dialog == nullptr || dialog == handled) {
      if (handled != nullptr && !IsWindow(handled)) handled = nullptr;
      Sleep(options_.pollMs);
      continue;
    }
    Sleep(options_.settleMs);
    if (!IsWindow(dialog)) continue;
    if (options_.onDialog) options_.onDialog(dialog, Describe(dialog));
    for (const int id : options_.pressFirst) {
      press(dialog, id);
      Sleep(100);
    }
    press(dialog, options_.answerId);
    // A dialog that ignored a click gets its command directly.
    for (const ULONGLONG until = GetTickCount64() + 2000; IsWindow(dialog) && GetTickCount64() < until;)
      Sleep(options_.pollMs);
    if (IsWindow(dialog)) {
      if (options_.onResend) options_.onResend(options_.answerId);
      SendCommand(dialog, options_.answerId);
    }
    ++answered_;
    // A closed dialog's handle may come back for the next one (a batch shows
    // the same dialog for every image); only an open one is remembered.
    handled = IsWindow(dialog) ? dialog : nullptr;
  }
}

}  // namespace hostkit
