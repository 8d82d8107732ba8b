// The call in progress: what the host handed the entry point, kept in one
// module-wide record from the start of a PluginMain call until the next call
// overwrites it. Every room below the entry reaches the host through it (and
// through the rectangle exchange and the held suites).
#pragma once

#include <cstdint>

#include "host/HostApi.h"

// The two blocks the module keeps in host handles. Their layout and their
// operations belong to the entry (entry/Blocks.h); the working parts get what
// they need of them as arguments.
struct ParameterBlock;
struct RunState;

// All null when the module is loaded; set at every entry call.
struct PluginGlobals {
  void* hostRecord;     // FilterRecord, or AboutRecord for the about selector
  intptr_t* dataSlot;   // host's data slot: holds the RunState handle
  int16_t* resultSlot;  // where result codes are stored; null after a call that passed none
  SPBasicSuite* basicSuite;  // the sSPBasic of that record; may be null
  // Valid from LockBlocks to the UnlockBlocks of the same call; null otherwise,
  // and null when LockBlocks failed.
  ParameterBlock* parameterBlock;
  RunState* runState;
};

extern PluginGlobals gPluginGlobals;

// The current call's FilterRecord (meaningless during the about selector).
inline FilterRecord* HostFilterRecord() { return static_cast<FilterRecord*>(gPluginGlobals.hostRecord); }

// Stores a code in the current call's result slot; a later code replaces an
// earlier one.
void StoreResult(int16_t code);
