// A deliberately faulty filter for the end-to-end scenarios: it proves that
// the harness notices when a module misbehaves. PMHOST_BROKEN_FAULT picks the
// fault:
//   none      truncate every plane to 5 bits, politely (16-bit samples too)
//   interleaved  the same, with all planes asked for in one buffer: its
//             result must equal none's, which checks the host's interleaving
//   overrun   also write one byte past each output row
//   input     also write into the input buffer, plane by plane
//   input-interleaved  the same, with all planes in one buffer
//   locked    also leave the parameters handle locked
//   past      also write one byte past the parameters handle's block
//   stale     also write through a pointer to the parameters handle's block
//             kept past its unlock
//   leak      also acquire the registry suite and never release it
//   held      also acquire the registry suite at start and release it only
//             at finish: balanced over the run, but held between calls
//   crash     lock the parameters handle, then write through a null pointer
// and, each failing its own scenarios of pmhost --validate:
//   ignore-cancel  go on with the next plane when abortProc answers cancel
//   after-error    go on with the next plane when advanceState fails, and
//             report success
//   tls-leak  take a thread-local slot at every load and never give it back
//   mangle-mode  in CMYK documents, which it claims, ask for one plane more
//             than the image has
//   lock-unchecked  at start, write through what lockProc answered without
//             checking it for null
//   basic-unchecked  at start, acquire and release the registry suite
//             without checking that the host has a basic suite
//   record-undeclared  record a scripting descriptor at finish, though the
//             property list declares no terminology
//   ignore-mask  change pixels outside a selection mask, which it says it
//             keeps to itself
//   no-refuse  run on documents of modes it does not claim
//   bigdoc-unchecked  set PluginUsing32BitCoordinates without checking that
//             the host offers bigDocumentData
//   about-writes  write into the AboutRecord
//   bottom-up-unaware  step from row to row by the size of the row bytes,
//             as if every buffer ran top-down
//   hang-on-cancel  wait for ever once abortProc has answered cancel
//   reenter   forget the run in progress when any other call arrives, so
//             that an about call from inside start's message loop makes start
//             crash
//   tile-hang  take the host's tile height as it comes: a height of 0 walks
//             the same strip for ever, a negative one walks off the image
//   coords-16  use the 16-bit rectangles even where the host offers
//             bigDocumentData (wrong once the document is past 32,767 pixels)
//   unsigned-coords  read the 16-bit filter rectangle as unsigned: a
//             rectangle at negative coordinates becomes an empty one
//   last-row  leave the last row of every strip unconverted
//   read-past  read one byte past the end of each input buffer
//   unlock-both  unlock the parameters handle after every selector, locked
//             or not (a rule some modules follow)
//   handle-leak  open an event at every load and never close it
//   about-window  register a window class and open a window in the about
//             box, and leave both when unloaded
//   crash-locked  in the about box, have a thread of its own take the C
//             runtime's lock of stdout and keep it, then write through a
//             null pointer
//   exit-call  call the host (the basic suite) from its unload when the
//             process is ending
//   new-unchecked  lock the handle newProc gave without checking it for null
//   progress-over  report one more strip done than the total, at the end
//   progress-zero  report progress with a total of 0, at the end
//   about-dialog  show an about box with a link button, which opens its web
//             page through the host's file-list suite when there is one
//   about-link  the same, using the suite without checking that the host
//             gave it
// Otherwise it is a polite module: it refuses the modes its property list
// does not claim, walks the filter rectangle in strips of the host's tile
// height (the whole rectangle for a height of 0 or less), uses 32-bit
// coordinates when the host offers them, reports progress after every
// strip, checks abortProc after every plane and stops at the first failed
// advanceState. It keeps to a selection mask itself (autoMask off). Without
// dithering, its result keeps no plane's mean.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/HostApi.h"

namespace {

bool Fault(const char* name) {
  char value[32] = {};
  GetEnvironmentVariableA("PMHOST_BROKEN_FAULT", value, sizeof value);
  return std::strcmp(value, name) == 0;
}

// The top 5 bits of a sample; white stays white.
uint16_t Truncate(uint16_t v, int depth) {
  const uint16_t white = depth == 16 ? 0xFFFF : 0xFF;
  return v == white ? white : static_cast<uint16_t>(v & (depth == 16 ? 0xF800 : 0xF8));
}

// The run in progress, for the reenter fault.
FilterRecord* gRunning = nullptr;

// Start runs a short message loop first, as a module with a progress window
// would: the host's messages (and any call it makes from them) come in here.
void PumpMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

// Records 'dith' = true as the scripting descriptor.
void RecordDescriptor(FilterRecord* r) {
  PIDescriptorParameters* d = r->descriptorParameters;
  if (d == nullptr || d->writeDescriptorProcs == nullptr) return;
  const WriteDescriptorProcs* w = d->writeDescriptorProcs;
  PIWriteDescriptor token = w->openWriteDescriptorProc();
  if (token == nullptr) return;
  w->putBooleanProc(token, 0x64697468 /* 'dith' */, 1);
  if (d->descriptor != nullptr) r->handleProcs->disposeProc(d->descriptor);
  Handle fresh = nullptr;
  w->closeWriteDescriptorProc(token, &fresh);
  d->descriptor = fresh;
  d->recordInfo = 0;
}

// The modes the property list claims: RGB, CMYK, RGB48, CMYK64.
bool Claimed(int16_t mode) { return mode == 3 || mode == 4 || mode == 11 || mode == 13; }

VRect ReadArea(const FilterRecord* r, bool use32) {
  if (use32) return r->bigDocumentData->filterRect32;
  const Rect& f = r->filterRect;
  if (Fault("unsigned-coords"))
    return VRect{uint16_t(f.top), uint16_t(f.left), uint16_t(f.bottom), uint16_t(f.right)};
  return VRect{f.top, f.left, f.bottom, f.right};
}

void Request(FilterRecord* r, bool use32, const VRect& v, bool masked) {
  const Rect narrow{int16_t(v.top), int16_t(v.left), int16_t(v.bottom), int16_t(v.right)};
  if (use32) {
    BigDocumentStruct* big = r->bigDocumentData;
    big->inRect32 = big->outRect32 = v;
    if (masked) big->maskRect32 = v;
  } else {
    r->inRect = r->outRect = narrow;
    if (masked) r->maskRect = narrow;
  }
}

void Start(FilterRecord* r, int16_t* result) {
  const bool use32 = r->bigDocumentData != nullptr && !Fault("coords-16");
  if (r->bigDocumentData != nullptr || Fault("bigdoc-unchecked")) r->bigDocumentData->PluginUsing32BitCoordinates = use32;
  const VRect area = ReadArea(r, use32);
  int32_t strip = r->outTileHeight;
  if (strip <= 0 && !Fault("tile-hang")) strip = area.bottom - area.top;
  // It keeps to the selection itself: with a mask, pixels outside it are left
  // alone, and the host is told not to mask the result again.
  const bool masked = r->haveMask != 0 && !Fault("ignore-mask");
  if (r->haveMask != 0) r->autoMask = 0;
  const bool together = Fault("interleaved") || Fault("input-interleaved");
  const bool intoInput = Fault("input") || Fault("input-interleaved");
  const bool cmyk = r->imageMode == 4 || r->imageMode == 13;
  const int16_t last = static_cast<int16_t>(r->planes - 1 + (Fault("mangle-mode") && cmyk ? 1 : 0));
  const int32_t strips = strip > 0 ? (area.bottom - area.top + strip - 1) / strip : 1;
  int32_t done = 0;
  for (int32_t top = area.top; top < area.bottom; top += strip) {
    const VRect tile{top, area.left, std::min(top + strip, area.bottom), area.right};
    Request(r, use32, tile, masked);
    for (int16_t p = 0; p <= last; p = together ? static_cast<int16_t>(last + 1) : static_cast<int16_t>(p + 1)) {
      r->inLoPlane = r->outLoPlane = p;
      r->inHiPlane = r->outHiPlane = together ? last : p;
      *result = r->advanceState();
      if (*result != 0) {
        if (!Fault("after-error")) return;
        *result = 0;
        continue;
      }
      const int32_t width = tile.right - tile.left;
      const int32_t rows = tile.bottom - tile.top - (Fault("last-row") ? 1 : 0);
      const int32_t perPixel = r->outHiPlane - r->outLoPlane + 1;
      const int32_t samples = width * perPixel;
      const bool unaware = Fault("bottom-up-unaware");
      const int64_t inStep = unaware ? std::abs(r->inRowBytes) : r->inRowBytes;
      const int64_t outStep = unaware ? std::abs(r->outRowBytes) : r->outRowBytes;
      for (int32_t y = 0; y < rows; ++y) {
        const auto* in = static_cast<const uint8_t*>(r->inData) + int64_t(y) * inStep;
        auto* out = static_cast<uint8_t*>(r->outData) + int64_t(y) * outStep;
        const auto* mask = masked && r->maskData != nullptr
                               ? static_cast<const uint8_t*>(r->maskData) + int64_t(y) * r->maskRowBytes
                               : nullptr;
        for (int32_t i = 0; i < samples; ++i) {
          // A 16-bit document's mask has 16-bit samples: its high byte is enough.
          if (mask != nullptr && mask[(i / perPixel) * (r->depth / 8) + (r->depth / 8 - 1)] == 0) continue;
          if (r->depth == 16) {
            uint16_t v;
            std::memcpy(&v, in + 2 * i, 2);
            v = Truncate(v, 16);
            std::memcpy(out + 2 * i, &v, 2);
          } else {
            out[i] = static_cast<uint8_t>(Truncate(in[i], 8));
          }
        }
        if (Fault("overrun")) out[samples * (r->depth / 8)] = 0;
        if (Fault("read-past") && y == rows - 1) static_cast<void>(*(static_cast<const volatile uint8_t*>(in) + samples * (r->depth / 8)));
        if (intoInput && y == 0) const_cast<uint8_t*>(in)[0] ^= 1;
      }
      if (r->abortProc != nullptr && r->abortProc() != 0 && !Fault("ignore-cancel")) {
        while (Fault("hang-on-cancel")) Sleep(100);
        *result = -128;  // userCanceledErr
        return;
      }
    }
    if (r->progressProc != nullptr) r->progressProc(++done, strips);
  }
  if (r->progressProc != nullptr && Fault("progress-over")) r->progressProc(strips + 1, strips);
  if (r->progressProc != nullptr && Fault("progress-zero")) r->progressProc(1, 0);
  Request(r, use32, VRect{0, 0, 0, 0}, true);
}

}  // namespace

// The host's basic suite, from the last call, for the exit-call fault.
static SPBasicSuite* gBasic = nullptr;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH && Fault("tls-leak")) TlsAlloc();
  if (reason == DLL_PROCESS_ATTACH && Fault("handle-leak")) CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // `reserved` is non-null when the process is ending: the host is gone.
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr && Fault("exit-call") && gBasic != nullptr) {
    const void* suite = nullptr;
    gBasic->AcquireSuite("61e608b0-40fd-11d1-8da3-00c04fd5f7ee", 1, &suite);
  }
  return TRUE;
}

// The about box of the about-dialog and about-link faults: OK and a link
// button, from a template in memory.
constexpr int kLinkButton = 100;
constexpr char kFileListSuite[] = "Photoshop GetFileList Suite for Plug-ins";

void OpenLink(SPBasicSuite* basic) {
  const bool careful = !Fault("about-link");
  if (careful && basic == nullptr) return;
  const void* suite = nullptr;
  const int32_t error = basic->AcquireSuite(kFileListSuite, 4, &suite);
  if (careful && (error != 0 || suite == nullptr)) return;
  static_cast<const PSGetFileListSuite4*>(suite)->BrowseUrl("https://example.com/broken");
  basic->ReleaseSuite(kFileListSuite, 4);
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(dialog, DWLP_USER, l);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(w) == kLinkButton) {
    OpenLink(reinterpret_cast<SPBasicSuite*>(GetWindowLongPtrA(dialog, DWLP_USER)));
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(w) == IDOK || LOWORD(w) == IDCANCEL)) {
    EndDialog(dialog, LOWORD(w));
    return TRUE;
  }
  return FALSE;
}

// A dialog template: the header, then each item, each on a 4-byte boundary.
struct Template {
  alignas(4) WORD words[256] = {};
  size_t at = 0;
  void Align() { at = (at + 1) & ~size_t(1); }
  void Word(WORD w) { words[at++] = w; }
  void Text(const char* s) {
    do Word(WORD(static_cast<unsigned char>(*s)));
    while (*s++ != 0);
  }
  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, const char* text) {
    Align();
    DLGITEMTEMPLATE item{style | WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, x, y, cx, cy, id};
    std::memcpy(&words[at], &item, sizeof item);
    at += sizeof item / 2;
    Word(0xFFFF), Word(0x0080);  // a button
    Text(text);
    Word(0);  // no creation data
  }
};

void ShowAboutBox(AboutRecord* about) {
  static Template t;
  t = Template{};
  DLGTEMPLATE header{WS_POPUP | WS_CAPTION | DS_MODALFRAME, 0, 2, 10, 10, 160, 60};
  std::memcpy(t.words, &header, sizeof header);
  t.at = sizeof header / 2;
  t.Word(0), t.Word(0), t.Text("About Broken");  // no menu, the standard class, a title
  t.Item(BS_DEFPUSHBUTTON, 100, 40, 50, 14, IDOK, "OK");
  t.Item(BS_PUSHBUTTON, 10, 40, 80, 14, kLinkButton, "Web page");
  const HWND owner = about->platformData != nullptr ? static_cast<HWND>(about->platformData->hwnd) : nullptr;
  DialogBoxIndirectParamA(GetModuleHandleA(nullptr), reinterpret_cast<DLGTEMPLATE*>(t.words), owner, AboutProc,
                          reinterpret_cast<LPARAM>(about->sSPBasic));
}

static void About(AboutRecord* about) {
  gBasic = about->sSPBasic;
  if (Fault("about-dialog") || Fault("about-link")) ShowAboutBox(about);
  if (Fault("about-writes")) about->sSPBasic = nullptr;
  if (Fault("about-window")) {
    WNDCLASSA c{};
    c.lpfnWndProc = DefWindowProcA;
    c.hInstance = GetModuleHandleA(nullptr);
    c.lpszClassName = "BrokenAboutWindow";
    RegisterClassA(&c);
    CreateWindowA(c.lpszClassName, "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, c.hInstance, nullptr);
  }
  if (Fault("crash-locked")) {
    const HANDLE locked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CreateThread(
        nullptr, 0,
        [](LPVOID event) -> DWORD {
          _lock_file(stdout);
          SetEvent(static_cast<HANDLE>(event));
          Sleep(INFINITE);
          return 0;
        },
        locked, 0, nullptr);
    WaitForSingleObject(locked, INFINITE);
    *static_cast<volatile uint8_t*>(nullptr) = 0;
  }
}

static void Serve(int16_t selector, FilterRecord* r, int16_t* result);

extern "C" __declspec(dllexport) void PluginMain(int16_t selector, void* record, intptr_t*, int16_t* result) {
  if (Fault("reenter")) gRunning = nullptr;
  if (selector == filterSelectorAbout) {
    About(static_cast<AboutRecord*>(record));
    return;
  }
  auto* r = static_cast<FilterRecord*>(record);
  gBasic = r->sSPBasic;
  Serve(selector, r, result);
  // The rule some modules follow: give the handle back after every call,
  // whether this call locked it or not.
  if (Fault("unlock-both") && r->parameters != nullptr && r->handleProcs->unlockProc != nullptr)
    r->handleProcs->unlockProc(r->parameters);
}

static void Serve(int16_t selector, FilterRecord* r, int16_t* result) {
  if (!Claimed(r->imageMode) && !Fault("no-refuse")) {
    *result = -30101;  // filterBadMode
    return;
  }
  if (selector == filterSelectorParameters && r->parameters == nullptr) {
    r->parameters = r->handleProcs->newProc(1);
    if (Fault("new-unchecked") && r->handleProcs->lockProc != nullptr &&
        r->handleProcs->lockProc(r->parameters, 0) != nullptr)
      r->handleProcs->unlockProc(r->parameters);
  }
  if (selector == filterSelectorStart) {
    if (Fault("locked") && r->parameters != nullptr) r->handleProcs->lockProc(r->parameters, 0);
    if ((Fault("past") || Fault("stale")) && r->parameters != nullptr) {
      auto* block = reinterpret_cast<uint8_t*>(r->handleProcs->lockProc(r->parameters, 0));
      const int32_t size = r->handleProcs->getSizeProc(r->parameters);
      if (Fault("past")) block[size] = 0;
      r->handleProcs->unlockProc(r->parameters);
      if (Fault("stale")) block[0] = 0;
    }
    if ((Fault("leak") || Fault("held")) && r->sSPBasic != nullptr) {
      const void* suite = nullptr;
      r->sSPBasic->AcquireSuite("61e608b0-40fd-11d1-8da3-00c04fd5f7ee", 1, &suite);
    }
    if (Fault("lock-unchecked") && r->parameters != nullptr) {
      *reinterpret_cast<volatile uint8_t*>(r->handleProcs->lockProc(r->parameters, 0)) = 1;
      r->handleProcs->unlockProc(r->parameters);
    }
    if (Fault("basic-unchecked")) {
      const void* suite = nullptr;
      if (r->sSPBasic->AcquireSuite("61e608b0-40fd-11d1-8da3-00c04fd5f7ee", 1, &suite) == 0)
        r->sSPBasic->ReleaseSuite("61e608b0-40fd-11d1-8da3-00c04fd5f7ee", 1);
    }
    if (Fault("crash") && r->parameters != nullptr) {
      r->handleProcs->lockProc(r->parameters, 0);
      *static_cast<volatile uint8_t*>(r->maskData) = 0;  // no mask here: null
    }
    gRunning = r;
    PumpMessages();
    Start(gRunning, result);
    gRunning = nullptr;
  }
  if (selector == filterSelectorFinish && Fault("record-undeclared")) RecordDescriptor(r);
  if (selector == filterSelectorFinish && Fault("held") && r->sSPBasic != nullptr)
    r->sSPBasic->ReleaseSuite("61e608b0-40fd-11d1-8da3-00c04fd5f7ee", 1);
}
