// Which thread, and which stack, a call runs on: what the entry point needs
// to tell a call that is nested in another (on the same thread) from one that
// comes after an abandoned call, and both from a call on another thread.
#pragma once

#include <cstdint>

struct ThisThread {
  uintptr_t id;  // never 0 for a running thread
  // When the thread was made, in the system's units; 0 where the platform
  // does not tell it cheaply. An identity that a later thread took over
  // comes with another time.
  uint64_t started;
  // The bounds of the stack the thread runs on now (a fiber has its own);
  // both 0 where the platform does not tell them cheaply.
  uintptr_t stackLow;
  uintptr_t stackHigh;
};

// Reads the thread's identity without allocating, without the C runtime's
// thread library and without any thread-local slot of the module's own.
ThisThread CurrentThread();

// True when the thread that had identity `id` and creation time `started`
// has ended: no thread has that identity now, or the one that has it was
// made at another time, or it has run to its end. False whenever that cannot
// be told (the native build cannot tell it).
bool ThreadHasEnded(uintptr_t id, uint64_t started);
