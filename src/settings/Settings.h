// The dithering setting: its form in the module's parameter block, kept
// between runs in the host's descriptor registry, and recorded in the host's
// scripting descriptor after each run. Persisting is best effort: the codes
// returned here are dropped by the handlers, and none of these operations
// writes the host's result slot.
#pragma once

#include <cstdint>

// The setting as the module keeps it, in a 1-byte host handle held in the
// FilterRecord's `parameters` (created and locked by the entry).
struct ParameterBlock {
  uint8_t useDithering;  // non-zero: dither (the default)
};

// Each needs the FilterRecord of the current call; without one they do
// nothing and return filterBadParameters.

// Replaces useDithering with the registered setting, when there is one.
int32_t LoadSavedSettings(ParameterBlock& block);
// Registers useDithering, persistently, under the module's settings key.
int32_t SaveSettings(const ParameterBlock& block);
// Hands the host a new scripting descriptor: 'dith' = true when dithering,
// no key otherwise. -1715 when the host gives no write token.
int32_t WriteScriptSettings(const ParameterBlock& block);
