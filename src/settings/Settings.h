// The dithering setting kept between runs in the host's descriptor registry,
// and recorded in the host's scripting descriptor after each run. Persisting is
// best effort: the codes returned here are dropped by the handlers, and none of
// these operations writes the host's result slot.
#pragma once

#include <cstdint>

// Each needs the FilterRecord of the current call and the locked ParameterBlock;
// without them they do nothing and return filterBadParameters.

// Replaces useDithering with the registered setting, when there is one.
int32_t LoadSavedSettings();
// Registers useDithering, persistently, under the module's settings key.
int32_t SaveSettings();
// Hands the host a new scripting descriptor: 'dith' = true when dithering,
// no key otherwise. -1715 when the host gives no write token.
int32_t WriteScriptSettings();
