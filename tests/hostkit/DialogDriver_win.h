// The Windows dialog driver of the test hosts: finds the modal dialog that
// the module runs on the host's thread, describes it (owner, position,
// controls and their texts), and answers it as a person would (a click, a
// key, a character, a command). pmhost and the Wine test programs all drive
// the module's dialogs through it, so that they find and press them the same
// way.
//
// Everything here is called from a thread other than the host's: the host's
// thread sits in the dialog's modal loop.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace hostkit {

struct DialogControl {
  int id = 0;
  std::string className;
  std::string text;
  bool visible = false;
  bool enabled = false;
};

struct DialogDescription {
  std::string title;
  RECT rect{};          // screen coordinates, frame included
  HWND owner = nullptr;
  std::vector<DialogControl> controls;  // in window order
};

// A visible dialog (window class #32770) of `thread`, other than `except`;
// nullptr when there is none.
HWND FindDialog(DWORD thread, HWND except = nullptr);
// The first one to appear within `timeoutMs`, looking every `pollMs`.
HWND WaitForDialog(DWORD thread, DWORD timeoutMs, DWORD pollMs = 20);
// True once the dialog is gone or hidden, within `timeoutMs`.
bool WaitClosed(HWND dialog, DWORD timeoutMs, DWORD pollMs = 20);
// Still on screen after a round trip through its modal loop and a pause for
// anything posted.
bool StaysOpen(HWND dialog);

std::string Text(HWND window);
DialogDescription Describe(HWND dialog);

// A click on the control (BM_CLICK), answered before this returns.
void Click(HWND dialog, int id);
// Presses a control as a click would; hidden or disabled buttons cannot be
// clicked, so their command (BN_CLICKED) is sent instead. Waits at most
// `timeoutMs` for the dialog to take it.
void Press(HWND dialog, int id, UINT timeoutMs = 5000);
// The control's WM_COMMAND with a notification code, sent or posted.
void SendCommand(HWND dialog, int id, WORD code = BN_CLICKED, UINT timeoutMs = 5000);
void PostCommand(HWND dialog, int id, WORD code = BN_CLICKED);
// A key as the keyboard delivers it: posted to the control that has the
// focus on `thread` (the dialog when none has), where the modal loop's
// dialog-message handling sees it.
void PressKey(DWORD thread, HWND dialog, WPARAM key);
// A character sent straight to the dialog's procedure.
void SendChar(HWND dialog, WPARAM character);

// Answers every dialog that `thread` shows until Stop: describes it, presses
// `pressFirst` in order, then `answerId`; a dialog that ignores the press is
// sent the answer's command after two seconds. Runs on its own thread.
class DialogAnswerer {
 public:
  struct Options {
    DWORD thread = 0;             // the host's thread, which runs the modal loops
    int answerId = IDOK;          // pressed last
    std::vector<int> pressFirst;  // pressed before the answer, 100 ms apart
    // How often to look for a new dialog, and how long one that has just
    // appeared may finish showing before it is read and pressed.
    DWORD pollMs = 5;
    DWORD settleMs = 5;
    // Called with each dialog found, before any press.
    std::function<void(HWND, const DialogDescription&)> onDialog;
    // Called before each press, and when the answer's command is sent again.
    std::function<void(int id)> onPress;
    std::function<void(int id)> onResend;
  };

  explicit DialogAnswerer(Options options);
  ~DialogAnswerer();
  DialogAnswerer(const DialogAnswerer&) = delete;
  DialogAnswerer& operator=(const DialogAnswerer&) = delete;

  // Stops the thread (idempotent); returns how many dialogs were answered.
  int Stop();
  int Answered() const { return answered_; }

 private:
  static DWORD WINAPI Main(LPVOID self);
  void Run();

  Options options_;
  HANDLE thread_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
};

}  // namespace hostkit
