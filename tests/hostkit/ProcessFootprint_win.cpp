#include "ProcessFootprint_win.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>

namespace hostkit {

namespace {

DWORD NextTlsIndex() {
  const DWORD index = TlsAlloc();
  if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
  return index;
}

DWORD NextFlsIndex() {
  const DWORD index = FlsAlloc(nullptr);
  if (index != FLS_OUT_OF_INDEXES) FlsFree(index);
  return index;
}

uint64_t NextHandle() {
  const HANDLE probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (probe == nullptr) return 0;
  CloseHandle(probe);
  return reinterpret_cast<uintptr_t>(probe) / 4;
}

ATOM NextGlobalAtom() {
  const ATOM atom = GlobalAddAtomA("hostkit.footprint.probe");
  if (atom != 0) GlobalDeleteAtom(atom);
  return atom;
}

LRESULT CALLBACK ProbeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

// The GDI and USER tables hand out the slot freed last before a new one, so
// one object made and destroyed shows only what happened to be freed last.
// A batch of them, more than the module ever frees between two readings,
// reaches past the freed slots into the table's unused end: the highest
// index in the batch stays put while the module gives back all it takes,
// and rises when it keeps an object.
constexpr int kProbeBatch = 64;

uint32_t TableIndex(const void* handle) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle) & 0xFFFF); }

// The class atom, and the highest index of a batch of windows of the class
// (message-only windows: nothing is shown, no other window is told).
ATOM NextClassAtomAndUserHandle(uint32_t* userHandle) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = ProbeWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "hostkit.footprint.probe";
  const ATOM atom = RegisterClassExA(&wc);
  if (atom == 0) return 0;
  HWND windows[kProbeBatch] = {};
  for (HWND& window : windows) {
    window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (window != nullptr) *userHandle = std::max(*userHandle, TableIndex(window));
  }
  for (HWND window : windows)
    if (window != nullptr) DestroyWindow(window);
  UnregisterClassA(wc.lpszClassName, wc.hInstance);
  return atom;
}

uint32_t NextGdiHandle() {
  HBRUSH brushes[kProbeBatch] = {};
  uint32_t highest = 0;
  for (HBRUSH& brush : brushes) {
    brush = CreateSolidBrush(RGB(1, 2, 3));
    if (brush != nullptr) highest = std::max(highest, TableIndex(brush));
  }
  for (HBRUSH brush : brushes)
    if (brush != nullptr) DeleteObject(brush);
  return highest;
}

void WalkHeaps(const std::vector<HANDLE>& excluded, Footprint& f) {
  std::vector<HANDLE> heaps(64);
  DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  if (count > heaps.size()) {
    heaps.resize(count);
    count = GetProcessHeaps(count, heaps.data());
  }
  heaps.resize(std::min<size_t>(count, heaps.size()));
  for (HANDLE heap : heaps) {
    if (std::find(excluded.begin(), excluded.end(), heap) != excluded.end()) continue;
    if (!HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) == 0) continue;
      ++f.heapBlocks;
      f.heapBytes += entry.cbData;
    }
    HeapUnlock(heap);
  }
}

uint64_t CommittedPrivate() {
  uint64_t total = 0;
  MEMORY_BASIC_INFORMATION info{};
  for (const char* at = nullptr; VirtualQuery(at, &info, sizeof(info)) == sizeof(info);) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return total;
}

void CountThreadsAndModules(Footprint& f) {
  const DWORD self = GetCurrentProcessId();
  if (HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0); snap != INVALID_HANDLE_VALUE) {
    THREADENTRY32 t{};
    t.dwSize = sizeof(t);
    for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t))
      if (t.th32OwnerProcessID == self) ++f.threads;
    CloseHandle(snap);
  }
  if (HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, self); snap != INVALID_HANDLE_VALUE) {
    MODULEENTRY32 m{};
    m.dwSize = sizeof(m);
    for (BOOL ok = Module32First(snap, &m); ok; ok = Module32Next(snap, &m)) ++f.modules;
    CloseHandle(snap);
  }
}

BOOL CALLBACK CountWindow(HWND window, LPARAM param) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId()) ++*reinterpret_cast<int*>(param);
  return TRUE;
}

}  // namespace

Footprint MeasureFootprint(const std::vector<HANDLE>& excludedHeaps) {
  Footprint f;
  // The probes first: the readings below allocate and free on their own.
  f.nextTlsIndex = NextTlsIndex();
  f.nextFlsIndex = NextFlsIndex();
  f.nextHandle = NextHandle();
  f.nextGlobalAtom = NextGlobalAtom();
  f.nextClassAtom = NextClassAtomAndUserHandle(&f.nextUserHandle);
  f.nextGdiHandle = NextGdiHandle();
  WalkHeaps(excludedHeaps, f);
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters)))
    f.privateBytes = counters.PrivateUsage;
  f.committedPrivate = CommittedPrivate();
  GetProcessHandleCount(GetCurrentProcess(), &f.handles);
  f.gdiObjects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  f.userObjects = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
  f.guiReported = f.gdiObjects + f.userObjects > 0;
  CountThreadsAndModules(f);
  EnumWindows(CountWindow, reinterpret_cast<LPARAM>(&f.windows));
  return f;
}

std::string Describe(const Footprint& f) {
  char text[640];
  std::snprintf(text, sizeof text,
                "next TLS %lu, next FLS %lu, next atom 0x%04x, next class atom 0x%04x, heap %llu blocks %llu bytes, "
                "private %llu KiB, committed private %llu KiB, handles %lu, next handle %llu, next GDI handle %lu, "
                "next USER handle %lu, GDI %lu, USER %lu%s, threads %d, modules %d, windows %d",
                static_cast<unsigned long>(f.nextTlsIndex), static_cast<unsigned long>(f.nextFlsIndex),
                f.nextGlobalAtom, f.nextClassAtom, static_cast<unsigned long long>(f.heapBlocks),
                static_cast<unsigned long long>(f.heapBytes), static_cast<unsigned long long>(f.privateBytes / 1024),
                static_cast<unsigned long long>(f.committedPrivate / 1024), static_cast<unsigned long>(f.handles),
                static_cast<unsigned long long>(f.nextHandle), static_cast<unsigned long>(f.nextGdiHandle),
                static_cast<unsigned long>(f.nextUserHandle),
                static_cast<unsigned long>(f.gdiObjects), static_cast<unsigned long>(f.userObjects),
                f.guiReported ? "" : " (not reported)", f.threads, f.modules, f.windows);
  return text;
}

std::vector<std::string> GrowthBeyond(const Footprint& before, const Footprint& after, const FootprintBounds& b) {
  std::vector<std::string> beyond;
  const auto check = [&](const char* what, int64_t from, int64_t to, int64_t bound) {
    if (to - from <= bound) return;
    char text[256];
    std::snprintf(text, sizeof text, "%s grew by %lld (bound %lld): %lld -> %lld", what,
                  static_cast<long long>(to - from), static_cast<long long>(bound), static_cast<long long>(from),
                  static_cast<long long>(to));
    beyond.emplace_back(text);
  };
  check("next free TLS index", before.nextTlsIndex, after.nextTlsIndex, b.tlsSlots);
  check("next free FLS index", before.nextFlsIndex, after.nextFlsIndex, b.flsSlots);
  check("next global atom", before.nextGlobalAtom, after.nextGlobalAtom, b.atoms);
  check("next class atom", before.nextClassAtom, after.nextClassAtom, b.atoms);
  check("heap blocks", int64_t(before.heapBlocks), int64_t(after.heapBlocks), b.heapBlocks);
  check("heap bytes", int64_t(before.heapBytes), int64_t(after.heapBytes), b.heapBytes);
  check("private bytes", int64_t(before.privateBytes), int64_t(after.privateBytes), b.privateBytes);
  check("committed private bytes", int64_t(before.committedPrivate), int64_t(after.committedPrivate),
        b.committedPrivate);
  check("handles", before.handles, after.handles, b.handles);
  check("next free handle", int64_t(before.nextHandle), int64_t(after.nextHandle), b.handles);
  check("next free GDI handle", before.nextGdiHandle, after.nextGdiHandle, b.guiObjects);
  check("next free USER handle", before.nextUserHandle, after.nextUserHandle, b.userHandles);
  if (before.guiReported && after.guiReported) {
    check("GDI objects", before.gdiObjects, after.gdiObjects, b.guiObjects);
    check("USER objects", before.userObjects, after.userObjects, b.guiObjects);
  }
  check("threads", before.threads, after.threads, b.threads);
  check("modules", before.modules, after.modules, b.modules);
  check("top-level windows", before.windows, after.windows, b.windows);
  return beyond;
}

}  // namespace hostkit
