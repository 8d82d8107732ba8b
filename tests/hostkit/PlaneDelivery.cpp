#include "PlaneDelivery.h"

#include <cstddef>

namespace hostkit {

namespace {

bool Empty(const VRect& r) { return int64_t(r.bottom) - r.top <= 0 || int64_t(r.right) - r.left <= 0; }

VRect Widen(const Rect& r) { return VRect{r.top, r.left, r.bottom, r.right}; }

size_t At(const Planes& image, int32_t y, int32_t x) { return size_t(y) * size_t(image.rowBytes) + size_t(x); }

}  // namespace

const std::vector<Range>& FilterRecordWritable() {
#define PM_MEMBER(m) Range{offsetof(FilterRecord, m), sizeof(FilterRecord::m)}
  static const std::vector<Range> writable = {
      PM_MEMBER(parameters), PM_MEMBER(maxSpace),   PM_MEMBER(bufferSpace), PM_MEMBER(inRect),
      PM_MEMBER(inLoPlane),  PM_MEMBER(inHiPlane),  PM_MEMBER(outRect),     PM_MEMBER(outLoPlane),
      PM_MEMBER(outHiPlane), PM_MEMBER(maskRect),   PM_MEMBER(inputRate),   PM_MEMBER(maskRate),
      // Written by the host in advanceState.
      PM_MEMBER(inData), PM_MEMBER(inRowBytes), PM_MEMBER(outData), PM_MEMBER(outRowBytes), PM_MEMBER(maskData),
      PM_MEMBER(maskRowBytes),
  };
#undef PM_MEMBER
  return writable;
}

Event ReadRequest(const FilterRecord& r) {
  const BigDocumentStruct* big = r.bigDocumentData;
  Event e;
  e.kind = Ev::AdvanceState;
  e.rects32 = big != nullptr && big->PluginUsing32BitCoordinates != 0;
  e.in = e.rects32 ? big->inRect32 : Widen(r.inRect);
  e.out = e.rects32 ? big->outRect32 : Widen(r.outRect);
  e.mask = e.rects32 ? big->maskRect32 : Widen(r.maskRect);
  e.inLo = r.inLoPlane;
  e.inHi = r.inHiPlane;
  e.outLo = r.outLoPlane;
  e.outHi = r.outHiPlane;
  return e;
}

std::optional<std::string> RequestOutside(const Event& request, int32_t height, int32_t width, int planes) {
  for (const VRect* rect : {&request.in, &request.out, &request.mask}) {
    if (Empty(*rect)) continue;
    if (rect->top < 0 || rect->left < 0 || rect->bottom > height || rect->right > width)
      return "advanceState: requested rectangle " + RectText(*rect) + " lies outside the image";
  }
  auto planesValid = [&](int lo, int hi) { return lo > hi || (lo >= 0 && hi < planes); };
  if (!planesValid(request.inLo, request.inHi) || !planesValid(request.outLo, request.outHi))
    return std::string("advanceState: requested planes outside the image");
  return std::nullopt;
}

OSErr PlaneDelivery::Deliver(FilterRecord& r, const Planes& image) {
  // The previous tile goes back (and is checked) before the next comes out.
  Finish(r);
  Event e = ReadRequest(r);
  auto answer = [&](OSErr code) {
    e.a = code;
    log_.Add(e);
    return code;
  };
  if (auto outside = RequestOutside(e, image.height, image.width, static_cast<int>(image.in.size()))) {
    e.a = filterBadParameters;
    log_.Add(e);
    misuse_.Flag(*outside, log_.Last());
    return filterBadParameters;
  }
  const bool wantIn = !Empty(e.in) && e.inLo <= e.inHi;
  const bool wantOut = !Empty(e.out) && e.outLo <= e.outHi;
  const bool wantMask = r.haveMask != 0 && image.mask != nullptr && !Empty(e.mask);

  if (!guarded) {
    if ((wantIn && e.inHi != e.inLo) || (wantOut && e.outHi != e.outLo)) {
      e.text = "(several planes at once: served one plane at a time only)";
      return answer(filterBadParameters);
    }
    r.inData = wantIn ? image.in[size_t(e.inLo)] + At(image, e.in.top, e.in.left) : nullptr;
    r.outData = wantOut ? image.out[size_t(e.outLo)] + At(image, e.out.top, e.out.left) : nullptr;
    r.maskData = wantMask ? const_cast<uint8_t*>(image.mask) + At(image, e.mask.top, e.mask.left) : nullptr;
    r.inRowBytes = r.outRowBytes = r.maskRowBytes = image.rowBytes;
    return answer(noErr);
  }

  in_ = out_ = mask_ = TileBuffer{};
  auto build = [&](TileBuffer& b, const VRect& rect, int lo, int hi, const std::vector<uint8_t*>& from) {
    b.Build(rect, lo, hi - lo + 1, padding, bottomUp, [&](int32_t y, int32_t x, int p) {
      return from[size_t(lo + p)][At(image, rect.top + y, rect.left + x)];
    });
  };
  if (wantIn) build(in_, e.in, e.inLo, e.inHi, image.in);
  if (wantOut) build(out_, e.out, e.outLo, e.outHi, image.out);
  if (wantMask) {
    const std::vector<uint8_t*> maskPlane{const_cast<uint8_t*>(image.mask)};
    build(mask_, e.mask, 0, 0, maskPlane);
  }
  // Packed members: assigned by name, never bound to references.
  r.inData = in_.present ? in_.TopRow() : nullptr;
  r.inRowBytes = in_.ToldRowBytes();
  r.outData = out_.present ? out_.TopRow() : nullptr;
  r.outRowBytes = out_.ToldRowBytes();
  r.maskData = mask_.present ? mask_.TopRow() : nullptr;
  r.maskRowBytes = mask_.ToldRowBytes();
  answer(noErr);
  pending_ = true;
  image_ = image;
  call_ = log_.Last();
  return noErr;
}

void PlaneDelivery::Finish(FilterRecord& r) {
  r.inData = r.outData = r.maskData = nullptr;
  if (!pending_) return;
  pending_ = false;
  for (const auto& written : {in_.WrittenAnywhere("input"), mask_.WrittenAnywhere("mask"), out_.GuardWritten("output")})
    if (written) misuse_.Flag(*written, call_);
  if (!out_.present) return;
  const int32_t width = out_.rect.right - out_.rect.left;
  for (int32_t y = 0; y < out_.height; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int p = 0; p < out_.planes; ++p)
        image_.out[size_t(out_.lo + p)][At(image_, out_.rect.top + y, out_.rect.left + x)] =
            out_.bytes[out_.PixelIndex(y, x * out_.planes + p)];
}

}  // namespace hostkit
