// A deliberately faulty filter for the end-to-end scenarios: it proves that
// the harness notices when a module misbehaves. PMHOST_BROKEN_FAULT picks the
// fault:
//   none      truncate every plane to 5 bits, politely
//   overrun   also write one byte past each output row
//   locked    also leave the parameters handle locked
//   leak      also acquire the registry suite and never release it
// Without dithering, its result keeps no plane's mean.
#include <windows.h>

#include <cstring>

#include "host/HostApi.h"

namespace {

bool Fault(const char* name) {
  char value[32] = {};
  GetEnvironmentVariableA("PMHOST_BROKEN_FAULT", value, sizeof value);
  return std::strcmp(value, name) == 0;
}

void Start(FilterRecord* r, int16_t* result) {
  const VRect area{r->filterRect.top, r->filterRect.left, r->filterRect.bottom, r->filterRect.right};
  if (r->bigDocumentData != nullptr) r->bigDocumentData->PluginUsing32BitCoordinates = 0;
  r->inRect = r->outRect = r->filterRect;
  for (int16_t p = 0; p < r->planes; ++p) {
    r->inLoPlane = r->inHiPlane = r->outLoPlane = r->outHiPlane = p;
    *result = r->advanceState();
    if (*result != 0) return;
    if (r->depth != 8) continue;
    const int32_t width = area.right - area.left;
    for (int32_t y = 0; y < area.bottom - area.top; ++y) {
      const auto* in = static_cast<const uint8_t*>(r->inData) + int64_t(y) * r->inRowBytes;
      auto* out = static_cast<uint8_t*>(r->outData) + int64_t(y) * r->outRowBytes;
      for (int32_t x = 0; x < width; ++x) out[x] = in[x] == 255 ? 255 : static_cast<uint8_t>(in[x] & 0xF8);
      if (Fault("overrun")) out[width] = 0;
    }
  }
  r->inRect = r->outRect = Rect{0, 0, 0, 0};
}

}  // namespace

extern "C" __declspec(dllexport) void PluginMain(int16_t selector, void* record, intptr_t*, int16_t* result) {
  if (selector == filterSelectorAbout) return;
  auto* r = static_cast<FilterRecord*>(record);
  if (selector == filterSelectorParameters && r->parameters == nullptr) r->parameters = r->handleProcs->newProc(1);
  if (selector == filterSelectorStart) {
    if (Fault("locked") && r->parameters != nullptr) r->handleProcs->lockProc(r->parameters, 0);
    if (Fault("leak") && r->sSPBasic != nullptr) {
      const void* suite = nullptr;
      r->sSPBasic->AcquireSuite("61e608b0-40fd-11d1-8da3-00c04fd5f7ee", 1, &suite);
    }
    Start(r, result);
  }
}
