// The dithering setting kept between runs in the host's descriptor registry,
// and recorded in the host's scripting descriptor after each run. Persisting is
// best effort: the codes returned here are dropped by the handlers.
#pragma once

#include <cstdint>

// Each needs the FilterRecord of the current call and the locked ParameterBlock.
int32_t LoadSavedSettings();
int32_t SaveSettings();
int32_t WriteScriptSettings();
