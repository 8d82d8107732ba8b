// The module's one entry point for the host (exported under the name in
// resources/Identifiers.h). `record` is the AboutRecord for the about
// selector and the FilterRecord for every other.
#pragma once

#include <cstdint>

extern "C" void PluginMain(int16_t selector, void* record, intptr_t* data, int16_t* result);
