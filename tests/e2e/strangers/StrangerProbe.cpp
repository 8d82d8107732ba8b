// strangerprobe: a deliberately small host of its own, to show that each
// faulty stranger really has its fault, in the host situations pmhost's
// command line cannot make (a tile size of 0, a filter rectangle at negative
// coordinates, a call abandoned by longjmp, a process that ends with the
// module loaded, many runs with the process's footprint counted).
//
//   strangerprobe MODULE [--size W H] [--planes N] [--tile W H] [--origin N]
//                 [--no-bigdoc] [--row-pad N] [--fail-advance N] [--runs N]
//                 [--abandon] [--exit-loaded] [--footprint N]
//
// It runs the selectors (parameters, prepare, start, continue, finish) on an
// image of W x H pixels and N planes whose filter rectangle starts at
// (origin, origin), and prints one "FAULT: ..." line per fault it sees:
// requests outside the filter rectangle, more tiles than the image has,
// progress past its total, an output sample that is not the input with its
// low bits cleared (5, 6, 5, 8 bits kept), success after a failed
// advanceState, a handle left locked or unlocked twice, a continue loop that
// does not end, a host call after the process's exit handlers, and handles,
// threads or GDI objects that grow with the runs. Exit code 0 with no fault,
// 1 with faults, 2 for a usage or loading error.
#include <windows.h>
#include <tlhelp32.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using OSErr = int16_t;
using Boolean = uint8_t;
using Handle = void*;

struct Rect16 { int16_t top, left, bottom, right; };
struct VRect { int32_t top, left, bottom, right; };

struct HandleProcs {
  int16_t version, count;
  Handle (*newProc)(int32_t);
  void (*disposeProc)(Handle);
  int32_t (*getSizeProc)(Handle);
  OSErr (*setSizeProc)(Handle, int32_t);
  void* (*lockProc)(Handle, Boolean);
  void (*unlockProc)(Handle);
  void (*recoverSpaceProc)(int32_t);
  void (*disposeRegularHandleProc)(Handle);
};

struct SPBasicSuite {
  int32_t (*AcquireSuite)(const char*, int32_t, const void**);
  int32_t (*ReleaseSuite)(const char*, int32_t);
  int32_t (*IsEqual)(const char*, const char*);
  int32_t (*AllocateBlock)(size_t, void**);
  int32_t (*FreeBlock)(void*);
  int32_t (*ReallocateBlock)(void*, size_t, void**);
  int32_t (*Undefined)();
};

struct BigDocument {
  int32_t using32;
  int32_t imageSize[2];
  VRect filterRect, inRect, outRect, maskRect;
  int32_t floatCoord[2], wholeSize[2];
};

// The whole record as bytes, with the members the probe uses at their
// offsets; 600 bytes cover everything up to bigDocumentData and a tail.
struct Record {
  alignas(8) uint8_t bytes[600];
  template <typename T> T& At(size_t offset) { return *reinterpret_cast<T*>(bytes + offset); }
};

// ---- the session ----------------------------------------------------------

int32_t g_width = 64, g_height = 48, g_planes = 3, g_origin = 0, g_rowPad = 16;
int32_t g_tileW = 16, g_tileH = 16;
bool g_bigDoc = true;
int32_t g_failAdvanceAt = 0;
bool g_abandon = false;

Record g_record;
BigDocument g_big;
std::vector<uint8_t> g_source, g_dest;  // planar, plane after plane
std::vector<uint8_t> g_inBuf, g_outBuf;
VRect g_outRect{};
int16_t g_outLo = 0, g_outHi = -1;
int32_t g_outRowBytes = 0;
int32_t g_advanceCalls = 0, g_advanceLimit = 0, g_lastProgressDone = 0;
bool g_advanceFailed = false, g_stopWalk = false;
std::jmp_buf g_jump;
std::map<std::string, int> g_faults;
volatile bool g_exited = false;

void Fault(const std::string& what) {
  if (g_faults[what]++ == 0) std::printf("FAULT: %s\n", what.c_str());
}

// Handles: a block and a lock count each.
struct Block {
  std::vector<uint8_t> data;
  int locks = 0;
};
std::map<Handle, Block*> g_handles;
std::vector<std::vector<uint8_t>> g_leftBlocks;

Handle NewHandle(int32_t size) {
  Block* b = new Block;
  b->data.assign(size_t(size > 0 ? size : 0) + 1, 0);
  g_handles[b] = b;
  return b;
}
void DisposeHandle(Handle h) {
  auto it = g_handles.find(h);
  if (it == g_handles.end()) return Fault("disposeProc on a handle the host never gave out");
  if (it->second->locks != 0) Fault("disposeProc on a locked handle");
  delete it->second;
  g_handles.erase(it);
}
int32_t HandleSize(Handle h) {
  auto it = g_handles.find(h);
  return it == g_handles.end() ? 0 : int32_t(it->second->data.size() - 1);
}
OSErr SetHandleSize(Handle h, int32_t size) {
  auto it = g_handles.find(h);
  if (it == g_handles.end() || it->second->locks != 0) return -108;
  it->second->data.resize(size_t(size) + 1);
  return 0;
}
void* LockHandle(Handle h, Boolean) {
  auto it = g_handles.find(h);
  if (it == g_handles.end()) return nullptr;
  ++it->second->locks;
  return it->second->data.data();
}
void UnlockHandle(Handle h) {
  auto it = g_handles.find(h);
  if (it == g_handles.end()) return Fault("unlockProc on a handle the host never gave out");
  if (it->second->locks == 0) return Fault("unlockProc on a handle that is not locked");
  if (--it->second->locks == 0) {
    // The block moves on its last unlock, as in hosts that compact memory:
    // the old bytes are filled so that a pointer kept past the unlock sees
    // nonsense, and checked at the end of the call.
    std::vector<uint8_t> moved = it->second->data;
    std::memset(it->second->data.data(), 0xDB, it->second->data.size());
    g_leftBlocks.push_back(std::move(it->second->data));
    it->second->data = std::move(moved);
  }
}
// After every call: nothing was written into the blocks that moved away.
void CheckLeftBlocks() {
  for (const auto& block : g_leftBlocks)
    for (const uint8_t b : block)
      if (b != 0xDB) return Fault("a write through a pointer into a block that has moved");
}
void RecoverSpace(int32_t) {}
HandleProcs g_handleProcs{2, 8, NewHandle, DisposeHandle, HandleSize, SetHandleSize, LockHandle, UnlockHandle,
                          RecoverSpace, DisposeHandle};

// Suites: every name is served with an empty table (the strangers only
// acquire and release them), and every call is checked against process exit.
const void* g_emptySuite[16] = {};
void LateCall(const char* what) {
  if (!g_exited) return;
  char line[200];
  const int n = std::snprintf(line, sizeof line, "FAULT: %s called after the process's exit handlers ran\n", what);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, DWORD(n), &written, nullptr);
}
int32_t Acquire(const char*, int32_t, const void** suite) {
  LateCall("AcquireSuite");
  *suite = g_emptySuite;
  return 0;
}
int32_t Release(const char*, int32_t) {
  LateCall("ReleaseSuite");
  return 0;
}
int32_t Equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }
int32_t Allocate(size_t size, void** block) {
  *block = std::malloc(size);
  return 0;
}
int32_t Free(void* block) {
  std::free(block);
  return 0;
}
int32_t Reallocate(void* block, size_t size, void** out) {
  *out = std::realloc(block, size);
  return 0;
}
int32_t Undefined() { return 0; }
SPBasicSuite g_basic{Acquire, Release, Equal, Allocate, Free, Reallocate, Undefined};

// ---- pixels ---------------------------------------------------------------

uint8_t& Sample(std::vector<uint8_t>& img, int p, int32_t x, int32_t y) {
  return img[(size_t(p) * size_t(g_height) + size_t(y)) * size_t(g_width) + size_t(x)];
}

VRect ReadRequest(size_t offset16, const VRect& rect32) {
  if (g_bigDoc && g_big.using32 != 0) return rect32;
  const Rect16 r = g_record.At<Rect16>(offset16);
  return {r.top, r.left, r.bottom, r.right};
}

bool Inside(const VRect& r) {
  return r.top >= g_origin && r.left >= g_origin && r.bottom <= g_origin + g_height &&
         r.right <= g_origin + g_width && r.bottom >= r.top && r.right >= r.left;
}

void TakeOutputBack() {
  if (g_outHi < g_outLo || g_outBuf.empty()) return;
  const int n = g_outHi - g_outLo + 1;
  for (int32_t y = g_outRect.top; y < g_outRect.bottom; ++y)
    for (int32_t x = g_outRect.left; x < g_outRect.right; ++x)
      for (int p = 0; p < n; ++p)
        Sample(g_dest, g_outLo + p, x - g_origin, y - g_origin) =
            g_outBuf[size_t(y - g_outRect.top) * size_t(g_outRowBytes) + size_t((x - g_outRect.left) * n + p)];
  g_outBuf.clear();
}

OSErr AdvanceState() {
  TakeOutputBack();
  ++g_advanceCalls;
  if (g_advanceCalls > g_advanceLimit) {
    Fault("more advanceState calls than the image has tiles (" + std::to_string(g_advanceLimit) + ")");
    g_stopWalk = true;
    return -30100;
  }
  if (g_failAdvanceAt != 0 && g_advanceCalls == g_failAdvanceAt) {
    g_advanceFailed = true;
    return -108;
  }
  const VRect in = ReadRequest(64, g_big.inRect);
  const VRect out = ReadRequest(76, g_big.outRect);
  const int16_t lo = g_record.At<int16_t>(84), hi = g_record.At<int16_t>(86);
  if (!Inside(in) || !Inside(out)) {
    char text[160];
    std::snprintf(text, sizeof text, "a request outside the filter rectangle: (%d, %d, %d, %d)", int(out.top),
                  int(out.left), int(out.bottom), int(out.right));
    Fault(text);
    g_stopWalk = true;
    return -30100;
  }
  if (lo < 0 || hi >= g_planes) {
    Fault("a request for planes that do not exist");
    return -30100;
  }
  const int n = hi - lo + 1;
  const int32_t w = out.right - out.left, h = out.bottom - out.top;
  const int32_t rowBytes = w * n + g_rowPad;
  g_inBuf.assign(size_t(rowBytes) * size_t(h > 0 ? h : 0) + 64, 0xEE);
  g_outBuf.assign(g_inBuf.size(), 0xEE);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int p = 0; p < n; ++p) {
        const size_t i = size_t(y) * size_t(rowBytes) + size_t(x * n + p);
        g_inBuf[i] = Sample(g_source, lo + p, out.left + x - g_origin, out.top + y - g_origin);
        g_outBuf[i] = Sample(g_dest, lo + p, out.left + x - g_origin, out.top + y - g_origin);
      }
  g_outRect = out;
  g_outLo = lo;
  g_outHi = hi;
  g_outRowBytes = rowBytes;
  g_record.At<uint8_t*>(88) = g_inBuf.data();
  g_record.At<int32_t>(96) = rowBytes;
  g_record.At<uint8_t*>(100) = g_outBuf.data();
  g_record.At<int32_t>(108) = rowBytes;
  return 0;
}

Boolean AbortProc() {
  if (g_abandon) std::longjmp(g_jump, 1);
  return 0;
}

void ProgressProc(int32_t done, int32_t total) {
  if (done > total) Fault("progress reported past its total");
  if (done < g_lastProgressDone) Fault("progress went backwards");
  g_lastProgressDone = done;
}

// ---- running the selectors ------------------------------------------------

using Entry = void (*)(int16_t, void*, intptr_t*, int16_t*);

void FillRecord() {
  std::memset(g_record.bytes, 0, sizeof g_record.bytes);
  std::memset(&g_big, 0, sizeof g_big);
  auto& r = g_record;
  r.At<Boolean (*)()>(4) = AbortProc;
  r.At<void (*)(int32_t, int32_t)>(12) = ProgressProc;
  r.At<int16_t>(28) = int16_t(g_origin + g_height);
  r.At<int16_t>(30) = int16_t(g_origin + g_width);
  r.At<int16_t>(32) = int16_t(g_planes);
  r.At<Rect16>(34) = Rect16{int16_t(g_origin), int16_t(g_origin), int16_t(g_origin + g_height),
                            int16_t(g_origin + g_width)};
  r.At<int32_t>(56) = 64 << 20;
  r.At<int32_t>(60) = 16 << 20;
  r.At<uint32_t>(144) = 0x53545250;  // 'STRP'
  r.At<int16_t>(156) = g_planes >= 3 ? 3 : 1;
  r.At<HandleProcs*>(256) = &g_handleProcs;
  r.At<int16_t>(268) = 1;
  r.At<OSErr (*)()>(280) = AdvanceState;
  r.At<int16_t>(416) = int16_t(g_tileH);
  r.At<int16_t>(418) = int16_t(g_tileW);
  r.At<SPBasicSuite*>(464) = &g_basic;
  r.At<int32_t>(480) = 8;
  if (g_bigDoc) {
    g_big.imageSize[0] = g_origin + g_height;
    g_big.imageSize[1] = g_origin + g_width;
    g_big.filterRect = VRect{g_origin, g_origin, g_origin + g_height, g_origin + g_width};
    r.At<BigDocument*>(504) = &g_big;
  }
}

void CheckLocks(const char* selector) {
  for (const auto& [h, b] : g_handles)
    if (b->locks != 0) Fault(std::string("a handle left locked after ") + selector);
}

// One run. `first`: with the parameters selector.
void Run(Entry entry, intptr_t& data, Handle& parameters, bool first) {
  static const char* const kNames[] = {"about", "parameters", "prepare", "start", "continue", "finish"};
  g_dest = g_source;
  g_outBuf.clear();
  g_advanceCalls = 0;
  g_lastProgressDone = 0;
  g_advanceFailed = false;
  g_stopWalk = false;
  const int32_t tilesH = g_tileH > 0 ? (g_height + g_tileH - 1) / g_tileH : 1;
  const int32_t tilesW = g_tileW > 0 ? (g_width + g_tileW - 1) / g_tileW : 1;
  // A module of its own tile choice may use more tiles; a few thousand more
  // than the host's is a walk that went wrong.
  g_advanceLimit = tilesH * tilesW * g_planes + 4096;
  int16_t startResult = 0;
  FillRecord();
  g_record.At<Handle>(20) = parameters;
  for (int16_t selector = first ? 1 : 2; selector <= 5; ++selector) {
    int16_t result = 0;
    if (selector == 3 && g_abandon) {
      if (setjmp(g_jump) != 0) {
        std::printf("probe: start abandoned by longjmp from abortProc\n");
        g_abandon = false;
        parameters = g_record.At<Handle>(20);
        // The abandoned call's locks are the host's to give back.
        for (auto& [h, b] : g_handles) b->locks = 0;
        return;
      }
    }
    entry(selector, g_record.bytes, &data, &result);
    parameters = g_record.At<Handle>(20);
    if (selector == 4) {
      int calls = 1;
      while (result == 0 && calls < 16) {
        const VRect out = ReadRequest(76, g_big.outRect);
        if (out.bottom <= out.top || out.right <= out.left) break;
        AdvanceState();
        entry(4, g_record.bytes, &data, &result);
        ++calls;
      }
      if (calls >= 16) Fault("continue still asks for data after 16 calls");
      TakeOutputBack();
    }
    CheckLocks(kNames[selector]);
    CheckLeftBlocks();
    if (selector == 3) {
      TakeOutputBack();
      startResult = result;
    }
    if (result != 0) {
      std::printf("probe: %s returned %d\n", kNames[selector], int(result));
      if (selector != 3 || !g_advanceFailed) break;
    }
  }
  if (g_advanceFailed && startResult == 0) Fault("start reported success after advanceState failed");
  if (!g_advanceFailed && startResult != 0 && !g_stopWalk)
    Fault("start failed (" + std::to_string(startResult) + ") on a host that gave it everything");
  if (g_advanceFailed || startResult != 0) return;
  static constexpr int kBits[4] = {5, 6, 5, 8};
  int32_t wrong = 0;
  std::string first_wrong;
  for (int p = 0; p < g_planes; ++p)
    for (int32_t y = 0; y < g_height; ++y)
      for (int32_t x = 0; x < g_width; ++x) {
        const uint8_t keep = uint8_t(0xFF00 >> (p < 4 ? kBits[p] : 8));
        if (Sample(g_dest, p, x, y) != (Sample(g_source, p, x, y) & keep)) {
          if (wrong++ == 0)
            first_wrong = "plane " + std::to_string(p) + " at (" + std::to_string(x) + ", " + std::to_string(y) + ")";
        }
      }
  if (wrong != 0) Fault("the output is wrong: " + std::to_string(wrong) + " samples, the first " + first_wrong);
}

// Where the system does not count GDI objects (Wine), the next free slot of
// the GDI handle table shows them: a brush made and deleted at once takes the
// lowest free slot, so objects left behind push it up.
DWORD NextGdiSlot() {
  HBRUSH probe = CreateSolidBrush(RGB(1, 2, 3));
  const DWORD slot = DWORD(reinterpret_cast<uintptr_t>(probe) & 0xFFFF);
  DeleteObject(probe);
  return slot;
}

// The same for kernel handles where the handle count is not kept (Wine): an
// event made and closed at once takes the lowest free handle value.
DWORD NextHandleSlot() {
  HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const DWORD slot = DWORD(reinterpret_cast<uintptr_t>(probe) / 4);
  CloseHandle(probe);
  return slot;
}

struct Footprint {
  DWORD handles = 0, threads = 0, gdi = 0, gdiSlot = 0, handleSlot = 0;
};
Footprint Measure() {
  Footprint f;
  f.gdiSlot = NextGdiSlot();
  f.handleSlot = NextHandleSlot();
  GetProcessHandleCount(GetCurrentProcess(), &f.handles);
  f.gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap != INVALID_HANDLE_VALUE) {
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t))
      if (t.th32OwnerProcessID == GetCurrentProcessId()) ++f.threads;
    CloseHandle(snap);
  }
  return f;
}

void OnExit() { g_exited = true; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: strangerprobe MODULE [options]\n");
    return 2;
  }
  int32_t runs = 1, footprintRuns = 0;
  bool exitLoaded = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> int32_t {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return std::atoi(argv[++i]);
    };
    if (a == "--size") { g_width = next(); g_height = next(); }
    else if (a == "--planes") g_planes = next();
    else if (a == "--tile") { g_tileW = next(); g_tileH = next(); }
    else if (a == "--origin") g_origin = next();
    else if (a == "--no-bigdoc") g_bigDoc = false;
    else if (a == "--row-pad") g_rowPad = next();
    else if (a == "--fail-advance") g_failAdvanceAt = next();
    else if (a == "--runs") runs = next();
    else if (a == "--abandon") g_abandon = true;
    else if (a == "--exit-loaded") exitLoaded = true;
    else if (a == "--footprint") footprintRuns = next();
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  HMODULE module = LoadLibraryA(argv[1]);
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load %s (%lu)\n", argv[1], GetLastError());
    return 2;
  }
  const auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "PluginMain")));
  if (entry == nullptr) {
    std::fprintf(stderr, "%s has no PluginMain\n", argv[1]);
    return 2;
  }
  g_source.resize(size_t(g_width) * size_t(g_height) * size_t(g_planes));
  for (int p = 0; p < g_planes; ++p)
    for (int32_t y = 0; y < g_height; ++y)
      for (int32_t x = 0; x < g_width; ++x)
        Sample(g_source, p, x, y) = uint8_t(x * 7 + y * 13 + p * 50 + (x * y) % 11);

  intptr_t data = 0;
  Handle parameters = nullptr;
  if (g_abandon) Run(entry, data, parameters, true);
  for (int32_t i = 0; i < runs; ++i) Run(entry, data, parameters, i == 0);
  if (footprintRuns > 0) {
    const Footprint before = Measure();
    for (int32_t i = 0; i < footprintRuns; ++i) Run(entry, data, parameters, false);
    const Footprint after = Measure();
    std::printf("probe: after %d more runs: handles %lu -> %lu, threads %lu -> %lu, GDI objects %lu -> %lu,"
                " next free GDI slot %lu -> %lu, next free handle slot %lu -> %lu\n",
                int(footprintRuns), before.handles, after.handles, before.threads, after.threads, before.gdi,
                after.gdi, before.gdiSlot, after.gdiSlot, before.handleSlot, after.handleSlot);
    const DWORD bound = DWORD(footprintRuns / 2);
    if (after.handles > before.handles + bound || after.handleSlot > before.handleSlot + bound) Fault("handles grow with the runs");
    if (after.threads > before.threads + bound) Fault("threads grow with the runs");
    if (after.gdi > before.gdi + bound || after.gdiSlot > before.gdiSlot + bound)
      Fault("GDI objects grow with the runs");
  }
  std::fflush(stdout);
  if (exitLoaded) {
    // End the process with the module still loaded, as a host that exits
    // without unloading its plug-ins: the exit handlers run first, then the
    // module's detach.
    std::atexit(OnExit);
    std::exit(g_faults.empty() ? 0 : 1);
  }
  FreeLibrary(module);
  return g_faults.empty() ? 0 : 1;
}
