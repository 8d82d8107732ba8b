// Stand-ins for the module's Windows dialogs in the native build: they answer
// as a test tells them and count their calls.
#include "FakeHost.h"
#include "ui/Dialogs.h"

namespace fakehost {

FakeDialogState& FakeDialogs() {
  static FakeDialogState state;
  return state;
}

}  // namespace fakehost

bool ShowConfirmDialog(const FilterRecord*) {
  fakehost::FakeDialogState& state = fakehost::FakeDialogs();
  ++state.confirmCalls;
  if (fakehost::FakeHost* host = fakehost::FakeHost::Current()) host->Note("confirm dialog");
  if (state.whileConfirmOpen) state.whileConfirmOpen();
  return state.confirmAnswer == fakehost::DialogAnswer::Ok;
}

intptr_t ShowAboutBox(const AboutRecord* about) {
  fakehost::FakeDialogState& state = fakehost::FakeDialogs();
  ++state.aboutCalls;
  state.lastAbout = about;
  if (fakehost::FakeHost* host = fakehost::FakeHost::Current()) host->Note("about box");
  if (state.whileAboutOpen) state.whileAboutOpen();
  // The real box answers -1 when it cannot be shown, 0 otherwise.
  return state.aboutFails ? -1 : 0;
}
