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
// Otherwise it is a polite module: it refuses the modes its property list
// does not claim, checks abortProc after every plane and stops at the first
// failed advanceState. Without dithering, its result keeps no plane's mean.
#include <windows.h>

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

void Start(FilterRecord* r, int16_t* result) {
  const VRect area{r->filterRect.top, r->filterRect.left, r->filterRect.bottom, r->filterRect.right};
  if (r->bigDocumentData != nullptr || Fault("bigdoc-unchecked")) r->bigDocumentData->PluginUsing32BitCoordinates = 0;
  r->inRect = r->outRect = r->filterRect;
  // It says it keeps to the selection itself: with a mask, pixels outside it
  // are left alone.
  const bool masked = r->haveMask != 0 && !Fault("ignore-mask");
  if (masked) r->maskRect = r->filterRect;
  const bool together = Fault("interleaved") || Fault("input-interleaved");
  const bool intoInput = Fault("input") || Fault("input-interleaved");
  const bool cmyk = r->imageMode == 4 || r->imageMode == 13;
  const int16_t last = static_cast<int16_t>(r->planes - 1 + (Fault("mangle-mode") && cmyk ? 1 : 0));
  for (int16_t p = 0; p <= last; p = together ? static_cast<int16_t>(last + 1) : static_cast<int16_t>(p + 1)) {
    r->inLoPlane = r->outLoPlane = p;
    r->inHiPlane = r->outHiPlane = together ? last : p;
    *result = r->advanceState();
    if (*result != 0) {
      if (!Fault("after-error")) return;
      *result = 0;
      continue;
    }
    const int32_t width = area.right - area.left;
    const int32_t perPixel = r->outHiPlane - r->outLoPlane + 1;
    const int32_t samples = width * perPixel;
    const bool unaware = Fault("bottom-up-unaware");
    const int64_t inStep = unaware ? std::abs(r->inRowBytes) : r->inRowBytes;
    const int64_t outStep = unaware ? std::abs(r->outRowBytes) : r->outRowBytes;
    for (int32_t y = 0; y < area.bottom - area.top; ++y) {
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
      if (intoInput && y == 0) const_cast<uint8_t*>(in)[0] ^= 1;
    }
    if (r->abortProc != nullptr && r->abortProc() != 0 && !Fault("ignore-cancel")) {
      while (Fault("hang-on-cancel")) Sleep(100);
      *result = -128;  // userCanceledErr
      return;
    }
  }
  r->inRect = r->outRect = r->maskRect = Rect{0, 0, 0, 0};
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH && Fault("tls-leak")) TlsAlloc();
  return TRUE;
}

extern "C" __declspec(dllexport) void PluginMain(int16_t selector, void* record, intptr_t*, int16_t* result) {
  if (Fault("reenter")) gRunning = nullptr;
  if (selector == filterSelectorAbout) {
    if (Fault("about-writes")) static_cast<AboutRecord*>(record)->sSPBasic = nullptr;
    return;
  }
  auto* r = static_cast<FilterRecord*>(record);
  if (!Claimed(r->imageMode) && !Fault("no-refuse")) {
    *result = -30101;  // filterBadMode
    return;
  }
  if (selector == filterSelectorParameters && r->parameters == nullptr) r->parameters = r->handleProcs->newProc(1);
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
