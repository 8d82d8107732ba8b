// The two one-byte blocks the module keeps in host handles, and their
// operations. Private to the entry: the handlers create, lock and reset them,
// and hand the working parts what they need of them.
#pragma once

#include <cstdint>

#include "host/CallContext.h"
#include "settings/Settings.h"  // ParameterBlock, kept in the record's `parameters` handle

// Lives in a 1-byte host handle kept in the host's data slot.
struct RunState {
  uint8_t showDialog;  // set to 1; no decision depends on it
};

// True when LockBlocks of this call locked both blocks.
inline bool BlocksLocked() {
  return gPluginGlobals.parameterBlock != nullptr && gPluginGlobals.runState != nullptr;
}

// Block operations: no arguments, no result; they report through the result
// slot. Locks taken by LockBlocks go back at UnlockBlocks, which PluginMain
// calls after every handler. ForgetLockedBlocks drops the record of a call's
// locks without giving them back (the call was abandoned by its host).
void CreateParameters();
void CreateRunState();
void InitParameters();
void InitRunState();
void LockBlocks();
void UnlockBlocks();
void ForgetLockedBlocks();
