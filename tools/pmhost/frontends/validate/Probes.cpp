#include "Probes.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

namespace {

// Handles are handed out lowest free slot first, so the `depth`-th fresh
// handle's slot is `depth` plus the slots in use below it: a handle leaked
// (into the lowest free slot) moves it up by one. A process started with
// inherited handles has holes where its parent's other handles were; a
// depth past the holes keeps them from hiding leaks.
uint64_t NextHandle(int depth) {
  std::vector<HANDLE> made;
  made.reserve(size_t(depth));
  uint64_t highest = 0;
  for (int i = 0; i < depth; ++i) {
    const HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (h == nullptr) break;
    made.push_back(h);
    highest = std::max<uint64_t>(highest, reinterpret_cast<uintptr_t>(h) / 4);
  }
  for (HANDLE h : made) CloseHandle(h);
  return highest;
}

// A GDI handle's low 16 bits are its index in the process's object table;
// the bits above count reuses of the slot.
uint32_t GdiIndex() {
  const HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
  if (brush == nullptr) return 0;
  DeleteObject(brush);
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(brush) & 0xFFFF);
}

uint32_t ClassAtom() {
  WNDCLASSA c{};
  c.lpfnWndProc = DefWindowProcA;
  c.hInstance = GetModuleHandleA(nullptr);
  c.lpszClassName = "pmhost-validate-probe";
  const ATOM atom = RegisterClassA(&c);
  UnregisterClassA(c.lpszClassName, c.hInstance);
  return atom;
}

int Threads() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 t{};
  t.dwSize = sizeof t;
  int n = 0;
  for (BOOL ok = Thread32First(snapshot, &t); ok; ok = Thread32Next(snapshot, &t))
    n += t.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snapshot);
  return n;
}

BOOL CALLBACK CountWindow(HWND window, LPARAM count) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId()) ++*reinterpret_cast<int*>(count);
  return TRUE;
}

}  // namespace

Footprint MeasureFootprint(bool memory) {
  Footprint f;
  // TlsAlloc hands out the lowest free slot: a slot leaked per load pushes it up.
  f.tlsSlot = TlsAlloc();
  if (f.tlsSlot != TLS_OUT_OF_INDEXES) TlsFree(f.tlsSlot);
  f.nextHandle = NextHandle(memory ? 1024 : 1);
  f.gdiIndex = GdiIndex();
  f.classAtom = ClassAtom();
  f.threads = Threads();
  EnumWindows(CountWindow, reinterpret_cast<LPARAM>(&f.windows));
  if (memory) {
    // Committed private memory, region by region: the system's own counters
    // of it are not kept under Wine.
    MEMORY_BASIC_INFORMATION region{};
    for (auto* at = static_cast<uint8_t*>(nullptr); VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<uint8_t*>(region.BaseAddress) + region.RegionSize)
      if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) f.privateBytes += region.RegionSize;
  }
  return f;
}

std::string FootprintGrowth(const Footprint& before, const Footprint& after, long handles, long gdi) {
  std::string grew;
  auto add = [&](const std::string& text) { grew += (grew.empty() ? "" : "; ") + text; };
  const long slots = long(after.tlsSlot) - long(before.tlsSlot);
  const long moreHandles = long(after.nextHandle) - long(before.nextHandle);
  const long moreGdi = long(after.gdiIndex) - long(before.gdiIndex);
  if (slots > 0)
    add("the next free thread-local slot moved from " + std::to_string(before.tlsSlot) + " to " + std::to_string(after.tlsSlot));
  if (moreHandles > handles) add("the next free handle moved " + std::to_string(moreHandles) + " places up");
  if (moreGdi > gdi) add("the next free GDI object moved " + std::to_string(moreGdi) + " places up");
  if (after.classAtom != before.classAtom && after.classAtom != 0 && before.classAtom != 0)
    add("a window class is left registered (the next class atom moved from " + std::to_string(before.classAtom) + " to " +
        std::to_string(after.classAtom) + ")");
  if (after.threads > before.threads) add(std::to_string(after.threads - before.threads) + " more thread(s) running");
  if (after.windows > before.windows) add(std::to_string(after.windows - before.windows) + " more window(s) left open");
  return grew;
}
