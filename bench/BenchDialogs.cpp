// The benchmarks drive ConvertImage directly; the dialogs the portable core
// refers to are never shown there.
#include "ui/Dialogs.h"

bool ShowConfirmDialog(const FilterRecord*) { return true; }

intptr_t ShowAboutBox(const AboutRecord*) { return 0; }
