#include <pthread.h>

#include "entry/ThisThread.h"

// The native build (the unit tests, the fuzzer, the benchmarks): the thread
// is its pthread_t; the stack's bounds would cost a look at the process's
// memory map, so they stay unknown, as does the thread's creation time.
ThisThread CurrentThread() { return ThisThread{static_cast<uintptr_t>(pthread_self()), 0, 0, 0}; }

// A pthread_t of a thread that has ended may not be asked about at all.
bool ThreadHasEnded(uintptr_t, uint64_t) { return false; }
