#include "settings/Settings.h"

// Placeholder until the registry and scripting code lands: nothing is
// persisted or recorded yet, and every run starts from the block's value.
int32_t LoadSavedSettings() { return 0; }
int32_t SaveSettings() { return 0; }
int32_t WriteScriptSettings() { return 0; }
