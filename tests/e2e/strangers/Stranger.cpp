// Stranger: a small filter module written the way a plug-in author outside
// this project might write one, compiled into several modules by a define per
// target (STRANGER_<VARIANT>), so that pmhost --validate can be checked on
// modules it was not written against. The filter keeps the top 5, 6, 5 and 8
// bits of planes 0, 1, 2 and 3 (8 bits from plane 4 on) and clears the rest;
// it asks for all planes of a tile at once, interleaved, in tiles of the
// host's preferred size (64 x 64 when the host offers none), and refuses a
// document in a mode that its property list does not claim. It has its own
// parameters block and a block behind the data slot, locked in every call
// that uses them, a one-call latch that tells a nested call from one after an
// abandoned call, and an about box whose link opens a page through the host's
// file-list suite when the host has one.
//
// variant               what differs                                                 verdict
// plain                 the correct filter                                           pass, --strict too
// unlock-all            unlocks both blocks after every selector, locked or not      pass; fail --strict
// needs-selection       property list: cannot filter cases 1, 4, 6 (no selection)    pass
// writes-outside        property list: writes outside the selection; ignores masks   pass
// size-limit            8-bit gray and RGB up to 2048 x 2048, in the property list   pass
// tile-zero             a tile size of 0 or less from the host: walks forever        fail
// negative-rect         reads 16-bit coordinates unsigned, clips them to the image   fail
// bigdoc-32k            32-bit coordinates kept in int16_t: past column 32767 wraps  fail
// about-throw           link click without the file-list suite: a C++ error leaves   fail
//                       the entry point and ends the host
// refuse-after-abandon  latch never released after a longjmp: refuses every call     fail
// exit-call             keeps the file-list suite and releases it when detached, so   fail
//                       also after the exit handlers of a host that never unloads
// last-row              the filter rectangle's bottom taken as its last row          fail
// read-past             a tile's last row read three rows past the input buffer      fail
// handle-leak           an event handle per start, never closed                      fail
// thread-leak           a thread per start that never ends                           fail
// brush-leak            a GDI brush per start, never deleted                         fail
// wrong-progress        progress counts planes done against a total of tiles         fail
// success-on-fail       stops when advanceState fails but reports success            fail
// tiling-dependent      ordered dither keyed on tile-local coordinates               fail
// stale-pointer         writes through prepare's parameters pointer during start     fail
// ignores-rowbytes      takes rows as packed (width x planes), not the row bytes     fail
// continue-forever      continue leaves the last tile requested: data forever        fail

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

namespace {

using OSErr = int16_t;
using Boolean = uint8_t;
using Handle = void*;
using SPErr = int32_t;

struct Rect16 { int16_t top, left, bottom, right; };
struct VRect { int32_t top, left, bottom, right; };
struct PlatformData { HWND hwnd; };

struct SPBasicSuite {
  SPErr (*AcquireSuite)(const char* name, int32_t version, const void** suite);
  SPErr (*ReleaseSuite)(const char* name, int32_t version);
};

struct HandleProcs {
  int16_t version, count;
  Handle (*newProc)(int32_t size);
  void (*disposeProc)(Handle);
  int32_t (*getSizeProc)(Handle);
  OSErr (*setSizeProc)(Handle, int32_t);
  void* (*lockProc)(Handle, Boolean moveHigh);
  void (*unlockProc)(Handle);
};
static_assert(offsetof(HandleProcs, newProc) == 8 && offsetof(HandleProcs, unlockProc) == 48);

struct BigDocument {
  int32_t using32;
  int32_t imageSize[2];
  VRect filterRect, inRect, outRect, maskRect;
};
static_assert(offsetof(BigDocument, filterRect) == 12 && offsetof(BigDocument, maskRect) == 60);

struct AboutRecord {
  PlatformData* platformData;
  SPBasicSuite* basic;
};

#pragma pack(push, 4)
struct FilterRecord {
  int32_t serial;
  Boolean (*abortProc)();
  void (*progressProc)(int32_t done, int32_t total);
  Handle parameters;
  int16_t imageV, imageH;
  int16_t planes;
  Rect16 filterRect;
  uint8_t colours[12];
  int32_t maxSpace, bufferSpace;
  Rect16 inRect;
  int16_t inLoPlane, inHiPlane;
  Rect16 outRect;
  int16_t outLoPlane, outHiPlane;
  uint8_t* inData;
  int32_t inRowBytes;
  uint8_t* outData;
  int32_t outRowBytes;
  Boolean isFloating, haveMask, autoMask, pad0;
  Rect16 maskRect;
  uint8_t* maskData;
  int32_t maskRowBytes;
  uint8_t unused1[20];
  int16_t imageMode;
  uint8_t unused1b[58];
  PlatformData* platformData;
  uint8_t unused2[32];
  HandleProcs* handleProcs;
  uint8_t unused3[4];
  int16_t filterCase;
  uint8_t unused4[10];
  OSErr (*advanceState)();
  uint8_t unused5[24];
  int32_t inputRate, maskRate;
  uint8_t unused6[96];
  int16_t outTileHeight, outTileWidth;
  uint8_t unused7[12];
  void* descriptorParameters;
  uint8_t unused8[24];
  SPBasicSuite* basic;
  void* plugInRef;
  int32_t depth;
  uint8_t unused9[20];
  BigDocument* bigDocument;
};
#pragma pack(pop)
static_assert(offsetof(FilterRecord, parameters) == 20 && offsetof(FilterRecord, filterRect) == 34);
static_assert(offsetof(FilterRecord, maxSpace) == 56 && offsetof(FilterRecord, inRect) == 64);
static_assert(offsetof(FilterRecord, outRect) == 76 && offsetof(FilterRecord, inData) == 88);
static_assert(offsetof(FilterRecord, outData) == 100 && offsetof(FilterRecord, haveMask) == 113);
static_assert(offsetof(FilterRecord, maskRect) == 116 && offsetof(FilterRecord, maskData) == 124);
static_assert(offsetof(FilterRecord, imageMode) == 156);
static_assert(offsetof(FilterRecord, platformData) == 216 && offsetof(FilterRecord, handleProcs) == 256);
static_assert(offsetof(FilterRecord, filterCase) == 268 && offsetof(FilterRecord, advanceState) == 280);
static_assert(offsetof(FilterRecord, inputRate) == 312 && offsetof(FilterRecord, outTileHeight) == 416);
static_assert(offsetof(FilterRecord, basic) == 464 && offsetof(FilterRecord, depth) == 480);
static_assert(offsetof(FilterRecord, bigDocument) == 504);

constexpr OSErr kMemFull = -108, kUserCanceled = -128, kBadParameters = -30100;
constexpr int16_t kAbout = 0, kParameters = 1, kPrepare = 2, kStart = 3, kContinue = 4, kFinish = 5;
[[maybe_unused]] constexpr int32_t kFallbackTile = 64;  // the tile-zero variant never falls back

HINSTANCE g_instance = nullptr;

// What one call locked, given back when it ends.
struct Locks {
  HandleProcs* procs = nullptr;
  Handle held[2] = {nullptr, nullptr};
  int count = 0;
  void* Lock(Handle h) {
    void* p = procs->lockProc(h, 1);
    if (p != nullptr) held[count++] = h;
    return p;
  }
  void Release() {
    while (count > 0) procs->unlockProc(held[--count]);
  }
};

// The parameters block: a tag and how many runs it has seen.
struct Settings {
  uint32_t tag;
  uint32_t runs;
};
constexpr uint32_t kTag = 0x53545247;  // "STRG"

#if defined(STRANGER_STALE_POINTER)
Settings* g_lastSettings = nullptr;  // kept past the unlock that ends the call
#endif

#if defined(STRANGER_EXIT_CALL)
// The file-list suite, acquired on the first start and kept for the whole
// load (hosts allow that for this suite); given back when the module is
// detached, which is also after the exit handlers of a host that ends without
// unloading the module.
struct KeptSuite {
  SPBasicSuite* basic = nullptr;
  bool held = false;
};
KeptSuite g_keptSuite;
#endif

// ---- rectangles -----------------------------------------------------------

bool Uses32(const FilterRecord* fr) {
#if defined(STRANGER_NEGATIVE_RECT)
  (void)fr;
  return false;  // a module of 16-bit coordinates
#else
  return fr->bigDocument != nullptr && fr->bigDocument->using32 != 0;
#endif
}

VRect Widen(const Rect16& r) {
#if defined(STRANGER_NEGATIVE_RECT)
  // Pixel coordinates taken as never negative.
  return {uint16_t(r.top), uint16_t(r.left), uint16_t(r.bottom), uint16_t(r.right)};
#else
  return {r.top, r.left, r.bottom, r.right};
#endif
}

Rect16 Narrow(const VRect& r) {
  return {int16_t(r.top), int16_t(r.left), int16_t(r.bottom), int16_t(r.right)};
}

VRect FilterRect(const FilterRecord* fr) {
  VRect r = Uses32(fr) ? fr->bigDocument->filterRect : Widen(fr->filterRect);
#if defined(STRANGER_NEGATIVE_RECT)
  // Never ask for pixels past the image.
  const int32_t height = uint16_t(fr->imageV), width = uint16_t(fr->imageH);
  if (r.bottom > height) r.bottom = height;
  if (r.right > width) r.right = width;
#endif
  return r;
}

VRect OutRect(const FilterRecord* fr) {
  return Uses32(fr) ? fr->bigDocument->outRect : Widen(fr->outRect);
}

void Request(FilterRecord* fr, const VRect& r, bool mask) {
  if (Uses32(fr)) {
    fr->bigDocument->inRect = r;
    fr->bigDocument->outRect = r;
    if (mask) fr->bigDocument->maskRect = r;
  } else {
    fr->inRect = Narrow(r);
    fr->outRect = Narrow(r);
    if (mask) fr->maskRect = Narrow(r);
  }
}

// ---- the pixels -----------------------------------------------------------

uint8_t KeepMask(int plane) {
  static constexpr int kBits[4] = {5, 6, 5, 8};
  const int bits = plane < 4 ? kBits[plane] : 8;
  return uint8_t(0xFF00 >> bits);
}

// Converts the delivered tile: all planes interleaved, `planes` bytes a pixel.
void ConvertTile(const FilterRecord* fr, int planes) {
  const VRect r = OutRect(fr);
  const int32_t height = r.bottom - r.top, width = r.right - r.left;
#if defined(STRANGER_IGNORES_ROWBYTES)
  const int32_t inStride = width * planes, outStride = width * planes;
#else
  const int32_t inStride = fr->inRowBytes, outStride = fr->outRowBytes;
#endif
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* in = fr->inData + intptr_t(y) * inStride;
#if defined(STRANGER_READ_PAST)
    // The last row's pointer counted from the wrong end.
    if (y == height - 1) in = fr->inData + intptr_t(height + 2) * inStride;
#endif
    uint8_t* out = fr->outData + intptr_t(y) * outStride;
    for (int32_t x = 0; x < width; ++x)
      for (int p = 0; p < planes; ++p) {
        const int32_t i = x * planes + p;
#if defined(STRANGER_TILING_DEPENDENT)
        // An ordered dither, its pattern anchored at the tile's corner.
        static constexpr int kPattern[2][2] = {{0, 2}, {3, 1}};
        const int step = 0x100 - KeepMask(p);
        const int v = in[i] + kPattern[y & 1][x & 1] * step / 4;
        out[i] = uint8_t((v > 255 ? 255 : v) & KeepMask(p));
#else
        out[i] = uint8_t(in[i] & KeepMask(p));
#endif
      }
  }
}

// ---- the run --------------------------------------------------------------

void Convert(FilterRecord* fr, int16_t* result) {
  int32_t th = fr->outTileHeight, tw = fr->outTileWidth;
#if !defined(STRANGER_TILE_ZERO)
  if (th <= 0) th = kFallbackTile;
  if (tw <= 0) tw = kFallbackTile;
#endif
  VRect f = FilterRect(fr);
#if defined(STRANGER_LAST_ROW)
  f.bottom -= 1;  // the bottom taken as the last row
#endif
  if (f.bottom <= f.top || f.right <= f.left) return;
#if defined(STRANGER_SIZE_LIMIT)
  if (f.bottom - f.top > 2048 || f.right - f.left > 2048 || fr->depth != 8) {
    *result = kBadParameters;  // outside what the property list promises
    return;
  }
#endif
  const int planes = fr->planes;
  const bool convert = fr->depth == 8 && planes > 0;
  fr->inputRate = fr->maskRate = 0x10000;
  const int32_t safeTh = th > 0 ? th : 1, safeTw = tw > 0 ? tw : 1;
  const int32_t total = ((f.bottom - f.top + safeTh - 1) / safeTh) * ((f.right - f.left + safeTw - 1) / safeTw);
  int32_t done = 0;
#if defined(STRANGER_BIGDOC_32K)
  using Coord = int16_t;  // tiles are never wider than a short
#else
  using Coord = int32_t;
#endif
  for (int32_t y = f.top; y < f.bottom; y += th) {
    for (Coord x = Coord(f.left); x < f.right; x = Coord(x + tw)) {
      VRect tile{y, x, y + th < f.bottom ? y + th : f.bottom, x + tw < f.right ? x + tw : f.right};
      Request(fr, tile, fr->haveMask != 0);
      fr->inLoPlane = fr->outLoPlane = 0;
      fr->inHiPlane = fr->outHiPlane = int16_t(planes > 0 ? planes - 1 : 0);
      const OSErr err = fr->advanceState();
      if (err != 0) {
#if !defined(STRANGER_SUCCESS_ON_FAIL)
        *result = err;
#endif
        return;
      }
      if (convert) ConvertTile(fr, planes);
#if defined(STRANGER_WRONG_PROGRESS)
      done += planes;
#else
      done += 1;
#endif
      if (fr->progressProc != nullptr) fr->progressProc(done, total);
      if (fr->abortProc != nullptr && fr->abortProc()) {
        *result = kUserCanceled;
        return;
      }
    }
  }
}

#if defined(STRANGER_THREAD_LEAK)
DWORD WINAPI Idle(void*) {
  // Waits for work that never comes.
  Sleep(INFINITE);
  return 0;
}
#endif

// Side work a plug-in might do around a run.
void AroundTheRun() {
#if defined(STRANGER_HANDLE_LEAK)
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (done != nullptr) SetEvent(done);
#endif
#if defined(STRANGER_THREAD_LEAK)
  HANDLE worker = CreateThread(nullptr, 0, Idle, nullptr, 0, nullptr);
  if (worker != nullptr) CloseHandle(worker);
#endif
#if defined(STRANGER_BRUSH_LEAK)
  HBRUSH swatch = CreateSolidBrush(RGB(32, 64, 96));
  (void)swatch;
#endif
}

// ---- the selectors --------------------------------------------------------

// The modes the property list claims; a host that calls anyway is refused.
bool ModeClaimed(const FilterRecord* fr) {
  switch (fr->imageMode) {
    case 1:  // grayscale
    case 3:  // RGB
      return true;
#if !defined(STRANGER_SIZE_LIMIT)
    case 4:   // CMYK
    case 7:   // multichannel
    case 10:  // 16-bit grayscale
    case 11:  // 48-bit RGB
      return true;
#endif
    default:
      return false;
  }
}

bool MakeBlocks(FilterRecord* fr, intptr_t* data, int16_t* result) {
  HandleProcs* hp = fr->handleProcs;
  if (hp == nullptr || hp->newProc == nullptr || hp->lockProc == nullptr || hp->unlockProc == nullptr) {
    *result = kBadParameters;
    return false;
  }
  if (fr->parameters == nullptr) {
    fr->parameters = hp->newProc(sizeof(Settings));
    if (fr->parameters == nullptr) {
      *result = kMemFull;
      return false;
    }
    void* p = hp->lockProc(fr->parameters, 1);
    if (p == nullptr) {
      *result = kMemFull;
      return false;
    }
    const Settings fresh{kTag, 0};
    std::memcpy(p, &fresh, sizeof fresh);
    hp->unlockProc(fr->parameters);
  }
  if (*data == 0) {
    Handle h = hp->newProc(4);
    if (h == nullptr) {
      *result = kMemFull;
      return false;
    }
    *data = reinterpret_cast<intptr_t>(h);
  }
  return true;
}

void Filter(int16_t selector, FilterRecord* fr, intptr_t* data, int16_t* result) {
  if (fr->bigDocument != nullptr) {
#if defined(STRANGER_NEGATIVE_RECT)
    fr->bigDocument->using32 = 0;
#else
    fr->bigDocument->using32 = 1;
#endif
  }
  Locks locks;
  locks.procs = fr->handleProcs;
  Settings* settings = nullptr;
  auto lockBoth = [&]() -> bool {
    if (fr->handleProcs == nullptr || fr->handleProcs->lockProc == nullptr || fr->handleProcs->unlockProc == nullptr ||
        fr->parameters == nullptr || *data == 0) {
      *result = kBadParameters;
      return false;
    }
    settings = static_cast<Settings*>(locks.Lock(fr->parameters));
    void* state = locks.Lock(reinterpret_cast<Handle>(*data));
    if (settings == nullptr || state == nullptr) {
      *result = kMemFull;
      return false;
    }
    if (settings->tag != kTag) *settings = Settings{kTag, 0};
    return true;
  };

  if ((selector == kPrepare || selector == kStart) && !ModeClaimed(fr)) {
    *result = kBadParameters;
    selector = -1;
  }
  switch (selector) {
    case kParameters:
      if (MakeBlocks(fr, data, result) && lockBoth()) settings->runs = 0;
      break;
    case kPrepare:
      fr->bufferSpace = 0;
      fr->maxSpace = 0;
      if (MakeBlocks(fr, data, result)) lockBoth();
#if defined(STRANGER_STALE_POINTER)
      g_lastSettings = settings;
#endif
      break;
    case kStart:
#if defined(STRANGER_NEEDS_SELECTION)
      if (fr->filterCase == 1 || fr->filterCase == 4 || fr->filterCase == 6) {
        *result = kBadParameters;  // the property list says so
        break;
      }
#endif
#if defined(STRANGER_STALE_POINTER)
      if (g_lastSettings != nullptr) g_lastSettings->runs += 1;
      if (!lockBoth()) break;
#else
      if (!lockBoth()) break;
      settings->runs += 1;
#endif
#if defined(STRANGER_EXIT_CALL)
      if (!g_keptSuite.held && fr->basic != nullptr) {
        const void* suite = nullptr;
        if (fr->basic->AcquireSuite("Photoshop GetFileList Suite for Plug-ins", 4, &suite) == 0 && suite != nullptr) {
          g_keptSuite.basic = fr->basic;
          g_keptSuite.held = true;
        }
      }
#endif
      AroundTheRun();
      Convert(fr, result);
      break;
    case kContinue: {
#if !defined(STRANGER_CONTINUE_FOREVER)
      Request(fr, VRect{0, 0, 0, 0}, true);
#endif
      break;
    }
    case kFinish:
      lockBoth();
      break;
    default:
      break;
  }
#if defined(STRANGER_UNLOCK_ALL)
  // Both blocks go back after every selector, whatever this call locked.
  (void)locks;
  if (fr->handleProcs != nullptr && fr->handleProcs->unlockProc != nullptr) {
    if (*data != 0) fr->handleProcs->unlockProc(reinterpret_cast<Handle>(*data));
    if (fr->parameters != nullptr) fr->handleProcs->unlockProc(fr->parameters);
  }
#else
  locks.Release();
#endif
}

// ---- the about box --------------------------------------------------------

SPBasicSuite* g_aboutBasic = nullptr;

void OpenLink(HWND dialog, int id) {
  char caption[200] = {};
  char address[256] = {};
  GetDlgItemTextA(dialog, id, caption, int(sizeof caption));
  std::strcpy(address, "http://");
  std::strcat(address, caption);
  const void* suite = nullptr;
  const char* const name = "Photoshop GetFileList Suite for Plug-ins";
  if (g_aboutBasic == nullptr || g_aboutBasic->AcquireSuite(name, 4, &suite) != 0 || suite == nullptr) {
#if defined(STRANGER_ABOUT_THROW)
    throw std::runtime_error("the host has no file-list suite");
#else
    return;  // no page opens
#endif
  }
  using BrowseUrl = SPErr (*)(const char*);
  const BrowseUrl browse = static_cast<const BrowseUrl*>(suite)[3];
  if (browse != nullptr) browse(address);
  g_aboutBasic->ReleaseSuite(name, 4);
}

#if defined(STRANGER_ABOUT_THROW)
// An error inside the box is carried out of it and thrown again once the box
// has closed, so that it passes no system frames; nothing catches it then.
std::exception_ptr g_aboutError;
#endif

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND) {
    const int id = LOWORD(wParam);
    if (id == IDOK || id == IDCANCEL) {
      EndDialog(dialog, 0);
      return TRUE;
    }
    if (id == 4) {
#if defined(STRANGER_ABOUT_THROW)
      try {
        OpenLink(dialog, id);
      } catch (...) {
        g_aboutError = std::current_exception();
        EndDialog(dialog, 0);
      }
#else
      OpenLink(dialog, id);
#endif
      return TRUE;
    }
  }
  return FALSE;
}

void About(AboutRecord* about) {
  HWND parent = about != nullptr && about->platformData != nullptr ? about->platformData->hwnd : nullptr;
  g_aboutBasic = about != nullptr ? about->basic : nullptr;
  DialogBoxParamW(g_instance, MAKEINTRESOURCEW(100), parent, AboutProc, 0);
  g_aboutBasic = nullptr;
#if defined(STRANGER_ABOUT_THROW)
  if (g_aboutError) std::rethrow_exception(std::exchange(g_aboutError, nullptr));
#endif
}

// ---- one call at a time ---------------------------------------------------

// The latch: who holds it and where its frame was. A call that finds it held
// on its own thread is nested when its frame lies below the holder's (the
// stack grows down), unless the holder's frame no longer carries the holder's
// mark: then the holder was abandoned (a longjmp out of a callback) and the
// call takes the latch over.
struct Latch {
  DWORD thread = 0;
  volatile uint64_t* mark = nullptr;
  uint64_t value = 0;
};
Latch g_latch;
uint64_t g_counter = 0;

bool HolderGone(const volatile uint64_t* here) {
#if defined(STRANGER_REFUSE_AFTER_ABANDON)
  (void)here;
  return false;
#else
  if (g_latch.thread != GetCurrentThreadId()) return false;
  if (reinterpret_cast<uintptr_t>(here) >= reinterpret_cast<uintptr_t>(g_latch.mark)) return true;
  return *g_latch.mark != g_latch.value;
#endif
}

}  // namespace

#if !defined(_LIBCPP_VERSION)
namespace __gnu_cxx {
void __freeres() noexcept;  // GNU's C++ runtime's clean-up of its exception reserve
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) g_instance = instance;
  if (reason == DLL_PROCESS_DETACH) {
#if defined(STRANGER_EXIT_CALL)
    if (g_keptSuite.held) g_keptSuite.basic->ReleaseSuite("Photoshop GetFileList Suite for Plug-ins", 4);
    g_keptSuite.held = false;
#endif
    // A module unloaded from a living process gives back the memory the
    // runtime set aside for exceptions; it would stay behind at every load.
    // (LLVM's runtime keeps that reserve in static storage.)
#if !defined(_LIBCPP_VERSION)
    if (reserved == nullptr) __gnu_cxx::__freeres();
#else
    (void)reserved;
#endif
  }
  return TRUE;
}

extern "C" __declspec(dllexport) void PluginMain(int16_t selector, void* record, intptr_t* data, int16_t* result) {
  int16_t spare = 0;
  if (result == nullptr) result = &spare;
  volatile uint64_t mark = 0;
  if (g_latch.mark != nullptr && !HolderGone(&mark)) {
    if (selector != kAbout) *result = kBadParameters;
    return;
  }
  mark = ++g_counter * 0x9E3779B97F4A7C15ull;
  g_latch = Latch{GetCurrentThreadId(), &mark, mark};
  if (selector == kAbout) {
    About(static_cast<AboutRecord*>(record));
  } else if (record != nullptr && data != nullptr) {
    Filter(selector, static_cast<FilterRecord*>(record), data, result);
  } else {
    *result = kBadParameters;
  }
  mark = 0;
  g_latch = Latch{};
}
