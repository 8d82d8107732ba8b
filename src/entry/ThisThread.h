// Which thread, and which stack, a call runs on: what the entry point needs
// to tell a call that is nested in another (on the same thread) from one that
// comes after an abandoned call, and both from a call on another thread.
#pragma once

#include <cstdint>

struct ThisThread {
  uintptr_t id;  // never 0 for a running thread
  // The bounds of the stack the thread runs on now (a fiber has its own);
  // both 0 where the platform does not tell them cheaply.
  uintptr_t stackLow;
  uintptr_t stackHigh;
};

// Reads the thread's identity without allocating, without the C runtime's
// thread library and without any thread-local slot of the module's own.
ThisThread CurrentThread();
