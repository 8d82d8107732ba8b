#include "host/CallContext.h"

PluginGlobals gPluginGlobals{};

void StoreResult(int16_t code) { *gPluginGlobals.resultSlot = code; }
