// What a module can leave behind in its host's process, measured in ways
// that work under Wine too (whose process handle count answers 0): the
// value the next handle, GDI object and window class would get, the threads
// and top-level windows of the process, the lowest free thread-local slot
// and the committed private memory.
#pragma once

#include <cstdint>
#include <string>

struct Footprint {
  uint32_t tlsSlot = 0;     // the lowest free thread-local slot
  uint64_t nextHandle = 0;  // the slot of a fresh kernel handle (see NextHandle): a leaked handle moves it
  uint32_t gdiIndex = 0;    // the table index of a fresh GDI object (a brush): a leaked object moves it
  uint32_t classAtom = 0;   // the atom of a fresh window class: a class left registered moves it
  int threads = 0;          // of this process
  int windows = 0;          // top-level windows of this process
  uint64_t privateBytes = 0;
};

// `memory` walks the address space and probes the handle table past its
// holes (a thousand handles made and closed), which takes a moment: the
// lifetime scenario asks for it, the check around every case does not.
Footprint MeasureFootprint(bool memory);

// What grew from `before` to `after` beyond the allowances, for people;
// empty when nothing did. `handles` and `gdi` are how many of each may be
// gained (the system's own caches).
std::string FootprintGrowth(const Footprint& before, const Footprint& after, long handles, long gdi);
