// Stand-ins for the module's Windows dialogs in the native build: they answer
// as a test tells them and count their calls.
#include "FakeHost.h"
#include "host/OpenDialog.h"
#include "ui/Dialogs.h"

namespace fakehost {

FakeDialogState& FakeDialogs() {
  static FakeDialogState state;
  return state;
}

namespace {

char gConfirmWindow, gAboutWindow;  // stand-ins for the dialogs' window handles

void CloseLeftOver(const OpenDialog& left) {
  FakeDialogs().leftOverClosed.push_back(left.window == &gConfirmWindow ? "confirm" : "about");
}

// The dialog is noted while its stand-in loop runs, and forgotten when it
// returns, as the real dialogs do; a longjmp out of the loop leaves it noted.
class OpenWhileRunning {
 public:
  explicit OpenWhileRunning(char* window) { gOpenDialog = OpenDialog{window, nullptr, CloseLeftOver}; }
  ~OpenWhileRunning() { gOpenDialog = OpenDialog{}; }
  OpenWhileRunning(const OpenWhileRunning&) = delete;
  OpenWhileRunning& operator=(const OpenWhileRunning&) = delete;
};

}  // namespace

}  // namespace fakehost

bool ShowConfirmDialog(const FilterRecord*) {
  fakehost::FakeDialogState& state = fakehost::FakeDialogs();
  ++state.confirmCalls;
  if (fakehost::FakeHost* host = fakehost::FakeHost::Current()) host->Note("confirm dialog");
  {
    const fakehost::OpenWhileRunning open(&fakehost::gConfirmWindow);
    if (state.whileConfirmOpen) state.whileConfirmOpen();
  }
  return state.confirmAnswer == fakehost::DialogAnswer::Ok;
}

intptr_t ShowAboutBox(const AboutRecord* about) {
  fakehost::FakeDialogState& state = fakehost::FakeDialogs();
  ++state.aboutCalls;
  state.lastAbout = about;
  if (fakehost::FakeHost* host = fakehost::FakeHost::Current()) host->Note("about box");
  {
    const fakehost::OpenWhileRunning open(&fakehost::gAboutWindow);
    if (state.whileAboutOpen) state.whileAboutOpen();
  }
  // The real box answers -1 when it cannot be shown, 0 otherwise.
  return state.aboutFails ? -1 : 0;
}
