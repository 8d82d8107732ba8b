// Whether the call that holds the one-call-at-a-time latch is still running
// beneath the current one on this thread's stack, decided by walking the
// stack from here outwards.
#pragma once

#include <cstdint>

#include "entry/ThisThread.h"

enum class OuterCall {
  Live,       // its frame is beneath this one: the current call is nested in it
  Abandoned,  // the walk passed the place of its frame without meeting it
  Unknown,    // the walk ended (or went astray) before either: no verdict
};

// `returnAddress` is where the holding call's PluginMain frame resumes once it
// is done serving (the return address of its one call into the handlers), and
// `frame` the address of that frame. Every frame between here and a live
// holder lies below `frame`, and the holder's own frame resumes at
// `returnAddress`; a walk that reaches a frame above `frame` without meeting
// it has proved that the holder is gone, provided `frame` lies on the stack
// this call runs on (where the thread's stack bounds are known). Allocates
// nothing and calls nothing that can throw or end the process.
OuterCall FindOuterCall(uintptr_t returnAddress, uintptr_t frame, const ThisThread& thread);
