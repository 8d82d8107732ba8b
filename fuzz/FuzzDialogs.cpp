// Stand-ins for the module's dialogs in the fuzz build. The confirmation
// answers OK or cancel as the input says; the about box presses its link buttons as often as the input
// says, reaching the host's web browsing through the held file-list suite.
#include "FuzzHost.h"
#include "host/HostSuite.h"
#include "ui/Dialogs.h"

bool ShowConfirmDialog(const FilterRecord*) { return FuzzConfirmAnswer(); }

intptr_t ShowAboutBox(const AboutRecord*) {
  for (int clicks = FuzzAboutClicks(); clicks > 0; --clicks) {
    // The link does nothing on a host without the suite.
    const auto* suite = static_cast<const PSGetFileListSuite4*>(gFileListSuite.GetSuite());
    if (suite != nullptr && suite->BrowseUrl != nullptr) suite->BrowseUrl("https://example.com/pixelmoor");
  }
  return 0;
}
