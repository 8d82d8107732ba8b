// Module-wide state of the current host call, and the two host-held blocks.
#pragma once

#include <cstdint>

#include "host/HostApi.h"

// The dithering setting; lives in a 1-byte host handle kept in `parameters`.
struct ParameterBlock {
  uint8_t useDithering;  // non-zero: dither (the default)
};

// Lives in a 1-byte host handle kept in the host's data slot.
struct RunState {
  uint8_t showDialog;  // set to 1; no decision depends on it
};

struct PluginGlobals {
  void* hostRecord;     // FilterRecord, or AboutRecord for the about selector
  intptr_t* dataSlot;   // host's data slot: holds the RunState handle
  int16_t* resultSlot;  // where result codes are stored; null after a call that passed none
  SPBasicSuite* basicSuite;
  // Valid from LockBlocks to the UnlockBlocks of the same call; null otherwise,
  // and null when LockBlocks failed.
  ParameterBlock* parameterBlock;
  RunState* runState;
};

extern PluginGlobals gPluginGlobals;

inline FilterRecord* HostFilterRecord() {
  return static_cast<FilterRecord*>(gPluginGlobals.hostRecord);
}

// Stores a code through the host's result slot (when the host gave one).
void StoreResult(int16_t code);
int16_t CurrentResult();

// True when LockBlocks of this call locked both blocks.
inline bool BlocksLocked() {
  return gPluginGlobals.parameterBlock != nullptr && gPluginGlobals.runState != nullptr;
}

// Block operations (report through the result slot).
void CreateParameters();
void CreateRunState();
void InitParameters();
void InitRunState();
void LockBlocks();
void UnlockBlocks();

// Selector handlers.
void HandleAbout();
void HandleParameters();
void HandlePrepare();
void HandleStart();
void HandleContinue();
void HandleFinish();

extern "C" void PluginMain(int16_t selector, void* record, intptr_t* data, int16_t* result);
