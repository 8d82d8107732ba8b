// What a Windows process holds, read from inside it: for a host that loads,
// runs and unloads a module many times and must see that nothing stays
// behind. Each figure is read the way a host would notice it running out:
//
//   next free slots   TlsAlloc and FlsAlloc, each freed again at once: the
//                     index handed out is the lowest free one, so a slot that
//                     a module takes and never gives back raises it by one
//   atoms             GlobalAddAtom of a probe name, and the class atom of a
//                     probe window class, each removed again at once: a
//                     leaked atom or window class raises the next one
//   heap              busy blocks and bytes in every heap of the process
//                     (HeapWalk), less the heaps the caller names (a test
//                     host keeps its own bookkeeping in a heap of its own)
//   memory            private bytes (GetProcessMemoryInfo) and committed
//                     private pages (VirtualQuery), coarse but what a user sees
//   handles           GetProcessHandleCount where the system reports it (Wine
//                     answers 0), and the next free handle: an event made and
//                     closed at once, whose handle value is the lowest free
//                     one, so a handle left open raises it
//   GUI objects       GDI and USER objects (GetGuiResources), where the system
//                     reports them (Wine answers 0 for both: guiReported false);
//                     and everywhere the next free GDI and USER handles: 64
//                     brushes, and 64 windows of the probe class, made and
//                     destroyed at once; the highest table index among them
//                     (a handle's low 16 bits) reaches past the slots freed
//                     last into the table's unused end, so an object left
//                     behind raises it.
//   threads, modules  the process's threads and loaded modules (tool help)
//   windows           top-level windows of the process (EnumWindows)
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hostkit {

struct Footprint {
  DWORD nextTlsIndex = 0;
  DWORD nextFlsIndex = 0;
  ATOM nextGlobalAtom = 0;
  ATOM nextClassAtom = 0;
  uint64_t heapBlocks = 0;
  uint64_t heapBytes = 0;
  uint64_t privateBytes = 0;
  uint64_t committedPrivate = 0;
  DWORD handles = 0;
  uint64_t nextHandle = 0;  // the probe handle's value / 4 (handle values step by 4)
  uint32_t nextGdiHandle = 0;   // the highest table index of the probe brushes
  uint32_t nextUserHandle = 0;  // the highest table index of the probe windows
  DWORD gdiObjects = 0;
  DWORD userObjects = 0;
  bool guiReported = false;
  int threads = 0;
  int modules = 0;
  int windows = 0;
};

// Reads every figure; the heaps in `excludedHeaps` are left out of the heap
// figures.
Footprint MeasureFootprint(const std::vector<HANDLE>& excludedHeaps = {});

// One line with every figure.
std::string Describe(const Footprint& f);

// How much a figure may grow between two readings; a bound per figure.
struct FootprintBounds {
  int64_t tlsSlots = 0;
  int64_t flsSlots = 0;
  int64_t atoms = 0;
  int64_t heapBlocks = 0;
  int64_t heapBytes = 0;
  int64_t privateBytes = 0;
  int64_t committedPrivate = 0;
  int64_t handles = 0;
  int64_t guiObjects = 0;
  int64_t userHandles = 0;  // the next free USER handle
  int64_t threads = 0;
  int64_t modules = 0;
  int64_t windows = 0;
};

// Every figure that grew from `before` to `after` by more than its bound,
// described ("heap blocks grew by 2000 (bound 64): 5123 -> 7123"); empty
// when none did.
std::vector<std::string> GrowthBeyond(const Footprint& before, const Footprint& after, const FootprintBounds& bounds);

}  // namespace hostkit
