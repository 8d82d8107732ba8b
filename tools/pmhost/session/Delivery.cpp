// The pixels of a run: the buffers delivered for the rectangles and planes
// the module asks for, taken back after each call, and advanceState.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Console.h"
#include "HostServices.h"
#include "RunState.h"

namespace pmsession {

// ---- fenced buffers ----------------------------------------------------------

// The pixels of a top-down buffer, from its first pixel to the last pixel of
// its last row, copied into pages of their own that end exactly where a
// no-access page begins: a read or write one byte past the buffer faults at
// once, where the module makes it.
void Delivery::Fence() {
  FreeFence();
  if (!tile.present || tile.bottomUp || tile.height <= 0) return;
  fencedBytes = size_t(tile.height - 1) * size_t(tile.rowBytes) + size_t(tile.rowWidth);
  if (fencedBytes == 0) return;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const size_t page = system.dwPageSize;
  const size_t usable = (fencedBytes + page - 1) / page * page;
  auto* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (base == nullptr) return;
  DWORD old = 0;
  VirtualProtect(base + usable, page, PAGE_NOACCESS, &old);
  fenceBase = base;
  fenced = base + usable - fencedBytes;
  std::memcpy(fenced, tile.TopRow(), fencedBytes);
}

void Delivery::Unfence() {
  if (fenced == nullptr) return;
  if (tile.present) std::memcpy(tile.TopRow(), fenced, fencedBytes);
  FreeFence();
}

void Delivery::FreeFence() {
  if (fenceBase != nullptr) VirtualFree(fenceBase, 0, MEM_RELEASE);
  fenceBase = nullptr;
  fenced = nullptr;
  fencedBytes = 0;
}

// ---- rectangles and buffers -------------------------------------------------

bool Uses32BitCoordinates() { return gHost.big != nullptr && gHost.big->PluginUsing32BitCoordinates != 0; }

VRect Widen(const Rect& r) { return VRect{r.top, r.left, r.bottom, r.right}; }

bool IsEmpty(const VRect& r) { return r.bottom <= r.top || r.right <= r.left; }

std::string RectText(const VRect& r) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "(%d, %d, %d, %d)", r.top, r.left, r.bottom, r.right);
  return buf;
}

// Writes `planes` planes of one row side by side, `Bytes` bytes a sample:
// the pixel-interleaved layout of a delivered buffer.
template <size_t Bytes>
void InterleaveRow(uint8_t* row, const uint8_t* const* sources, int32_t planes, int32_t width) {
  const size_t column = size_t(planes) * Bytes;
  for (int32_t p = 0; p < planes; ++p) {
    const uint8_t* src = sources[p];
    uint8_t* at = row + size_t(p) * Bytes;
    for (int32_t x = 0; x < width; ++x, at += column, src += Bytes) std::memcpy(at, src, Bytes);
  }
}

// The reverse: each plane's samples out of an interleaved row.
template <size_t Bytes>
void DeinterleaveRow(const uint8_t* row, uint8_t* const* targets, int32_t planes, int32_t width) {
  const size_t column = size_t(planes) * Bytes;
  for (int32_t p = 0; p < planes; ++p) {
    uint8_t* dst = targets[p];
    const uint8_t* at = row + size_t(p) * Bytes;
    for (int32_t x = 0; x < width; ++x, at += column, dst += Bytes) std::memcpy(dst, at, Bytes);
  }
}

// Fills a delivery for a rectangle and planes of `image` (or of the
// selection when `image` is null), row by row, into the kit's guarded buffer,
// with the matte `matte` (unless ~0u) mixed into the colour planes by the
// image's alpha. `readOnly` buffers are checked later for writes. False with
// a message for a request the document cannot satisfy.
bool Deliver(Delivery& d, const char* what, const VRect& rect, int32_t lo, int32_t hi, const PlanarImage* image,
             bool readOnly, uint32_t matte = ~0u) {
  d.Drop();
  if (IsEmpty(rect)) return true;
  const PlanarImage& doc = gHost.doc->original;
  if (rect.top < 0 || rect.left < 0 || rect.bottom > doc.height || rect.right > doc.width) {
    const int32_t v = gHost.options->originV, h = gHost.options->originH;
    ReportMisuse("advanceState: %s rectangle %s lies outside the image %s", what,
                 RectText(VRect{rect.top + v, rect.left + h, rect.bottom + v, rect.right + h}).c_str(),
                 RectText(VRect{v, h, doc.height + v, doc.width + h}).c_str());
    return false;
  }
  if (image != nullptr && (lo < 0 || hi < lo || hi >= image->Channels())) {
    ReportMisuse("advanceState: %s planes %d to %d, but the image has planes 0 to %d", what, lo, hi,
                 image->Channels() - 1);
    return false;
  }
  const int32_t bps = doc.BytesPerSample();
  const int32_t planes = hi - lo + 1;
  const int32_t width = rect.right - rect.left, height = rect.bottom - rect.top;
  d.hi = hi;
  d.columnBytes = planes * bps;
  const size_t used = size_t(width) * size_t(d.columnBytes);
  // Guard bytes only: every pixel byte is written below, and the buffer's
  // allocation is kept from one tile to the next.
  d.tile.LayGuards(rect, lo, static_cast<int32_t>(used), gHost.options->rowPad, gHost.options->bottomUp);
  const size_t left = size_t(rect.left) * size_t(bps);
  std::vector<const uint8_t*> sources(static_cast<size_t>(planes));
  // The planes below the transparency plane get the matte, row by row.
  const int32_t alphaPlane = gHost.doc->transparencyPlane;
  const int32_t matted = image == nullptr || matte == ~0u ? 0 : std::clamp(alphaPlane - lo, 0, planes);
  static std::vector<uint8_t> mattedRows;
  if (matted > 0 && planes > 1) mattedRows.resize(size_t(matted) * used / size_t(planes));
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = d.tile.Row(y);
    const int32_t docY = rect.top + y;
    if (image == nullptr) {
      const uint8_t* sel = gHost.doc->selection.data() + size_t(docY) * size_t(doc.width) + size_t(rect.left);
      if (bps == 1) {
        std::memcpy(row, sel, size_t(width));
      } else {
        for (int32_t x = 0; x < width; ++x) {
          const auto v = static_cast<uint16_t>(sel[x] * 257);
          std::memcpy(row + 2 * size_t(x), &v, 2);
        }
      }
    } else if (planes == 1) {
      if (matted > 0) MatteSamples(row, image->Row(lo, docY) + left, image->Row(alphaPlane, docY) + left, size_t(width), doc.depth, matte);
      else std::memcpy(row, image->Row(lo, docY) + left, used);
    } else {
      for (int32_t p = 0; p < planes; ++p) sources[size_t(p)] = image->Row(lo + p, docY) + left;
      for (int32_t p = 0; p < matted; ++p) {
        uint8_t* to = mattedRows.data() + size_t(p) * size_t(width) * size_t(bps);
        MatteSamples(to, sources[size_t(p)], image->Row(alphaPlane, docY) + left, size_t(width), doc.depth, matte);
        sources[size_t(p)] = to;
      }
      if (bps == 1) InterleaveRow<1>(row, sources.data(), planes, width);
      else InterleaveRow<2>(row, sources.data(), planes, width);
    }
  }
  d.rowSource = nullptr;
  if (readOnly) {
    if (image != nullptr && planes == 1 && matted == 0) {
      d.rowSource = image->Row(lo, rect.top) + left;
      d.rowStride = image->RowBytes();
    } else if (image == nullptr && bps == 1) {
      d.rowSource = gHost.doc->selection.data() + size_t(rect.top) * size_t(doc.width) + size_t(rect.left);
      d.rowStride = size_t(doc.width);
    } else {
      d.tile.Seal();  // interleaved or widened rows: compared with a copy
    }
  }
  if (gHost.options->fenceBuffers) d.Fence();
  return true;
}

// Takes the output buffer back into the destination, after checking that
// nothing was written outside the delivered area or into read-only buffers.
void Commit() {
  for (Delivery* d : {&gHost.in, &gHost.out, &gHost.mask}) d->Unfence();
  Delivery& out = gHost.out;
  if (gHost.in.Written("input")) ReportMisuse("the module wrote into the input buffer (inData)");
  if (gHost.mask.Written("mask")) ReportMisuse("the module wrote into the mask buffer (maskData)");
  if (!out.Active()) return;
  const hostkit::TileBuffer& tile = out.tile;
  const int32_t width = tile.rect.right - tile.rect.left, height = tile.height;
  if (const auto outside = tile.GuardDamage("output"))
    ReportMisuse("the module wrote outside the output rectangle %s (row padding or past the buffer): %s",
                 RectText(tile.rect).c_str(), outside->c_str());
  PlanarImage& dst = gHost.doc->destination;
  const int32_t bps = dst.BytesPerSample();
  const int32_t planes = out.hi - tile.lo + 1;
  const size_t left = size_t(tile.rect.left) * size_t(bps);
  const size_t used = size_t(tile.rowWidth);
  std::vector<uint8_t*> targets(static_cast<size_t>(planes));
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = tile.Row(y);
    const int32_t docY = tile.rect.top + y;
    if (planes == 1) {
      std::memcpy(dst.Row(tile.lo, docY) + left, row, used);
      continue;
    }
    for (int32_t p = 0; p < planes; ++p) targets[size_t(p)] = dst.Row(tile.lo + p, docY) + left;
    if (bps == 1) DeinterleaveRow<1>(row, targets.data(), planes, width);
    else DeinterleaveRow<2>(row, targets.data(), planes, width);
  }
  out.Drop();
}

void PublishDeliveries() {
  FilterRecord* r = gHost.record;
  r->inData = gHost.in.Data();
  r->inRowBytes = gHost.in.PublishedRowBytes();
  r->inColumnBytes = gHost.in.columnBytes;
  r->inPlaneBytes = gHost.doc->original.BytesPerSample();
  r->outData = gHost.out.Data();
  r->outRowBytes = gHost.out.PublishedRowBytes();
  r->outColumnBytes = gHost.out.columnBytes;
  r->outPlaneBytes = gHost.doc->original.BytesPerSample();
  r->maskData = gHost.mask.Data();
  r->maskRowBytes = gHost.mask.PublishedRowBytes();
}

// In the image's own coordinates: the origin the module was told is taken off.
Requests ReadRequests() {
  const FilterRecord* r = gHost.record;
  Requests q = Uses32BitCoordinates() ? Requests{gHost.big->inRect32, gHost.big->outRect32, gHost.big->maskRect32}
                                      : Requests{Widen(r->inRect), Widen(r->outRect), Widen(r->maskRect)};
  const int64_t v = gHost.options->originV, h = gHost.options->originH;
  for (VRect* rect : {&q.in, &q.out, &q.mask}) {
    if (IsEmpty(*rect)) continue;
    auto shift = [](int32_t c, int64_t by) {
      return static_cast<int32_t>(std::clamp<int64_t>(int64_t(c) - by, INT32_MIN, INT32_MAX));
    };
    *rect = VRect{shift(rect->top, v), shift(rect->left, h), shift(rect->bottom, v), shift(rect->right, h)};
  }
  return q;
}

// Delivers what the record asks for now. noErr, or the code for a request
// that cannot be served.
OSErr DeliverRequests() {
  FilterRecord* r = gHost.record;
  const Requests q = ReadRequests();
  if (!gHost.samplingNoted && (r->inputRate != 0x10000 || r->maskRate != 0x10000)) {
    gHost.samplingNoted = true;
    Say("pmhost: sampling rates other than 1.0 are not supported; delivering full resolution\n");
  }
  bool ok = Deliver(gHost.in, "input", q.in, r->inLoPlane, r->inHiPlane, &gHost.doc->original, true,
                    gHost.doc->inputMatte);
  ok = Deliver(gHost.out, "output", q.out, r->outLoPlane, r->outHiPlane, &gHost.doc->destination, false) && ok;
  if (r->haveMask && !gHost.doc->selection.empty()) ok = Deliver(gHost.mask, "mask", q.mask, 0, 0, nullptr, true) && ok;
  else gHost.mask.Drop();
  if (!ok) {
    gHost.in.Drop();
    gHost.out.Drop();
    gHost.mask.Drop();
  }
  PublishDeliveries();
  return ok ? noErr : filterBadParameters;
}

// The requests as the host reads them, for the call log.
hostkit::Event RequestEvent(hostkit::Ev kind, OSErr result) {
  const FilterRecord* r = gHost.record;
  const Requests q = ReadRequests();
  hostkit::Event e;
  e.kind = kind;
  e.in = q.in;
  e.out = q.out;
  e.mask = r->haveMask ? q.mask : VRect{};
  e.rects32 = Uses32BitCoordinates();
  e.inLo = r->inLoPlane;
  e.inHi = r->inHiPlane;
  e.outLo = r->outLoPlane;
  e.outHi = r->outHiPlane;
  e.a = result;
  return e;
}

OSErr AdvanceState() {
  LeaveHereIfPlanned("advanceState");
  const TimedSpan timed(gHost.advanceTicks);
  const int32_t call = ++gHost.advanceCalls;
  BeginCall("advanceState");
  if (gHost.stopped) ++gHost.advanceAfterStop;
  Commit();
  OSErr result = noErr;
  if (gHost.plan.Fails("advanceState")) {
    Say("pmhost: advanceState call %d fails with %s, as asked\n", call, ResultName(gHost.options->failAdvanceCode).c_str());
    gHost.in.Drop();
    gHost.out.Drop();
    gHost.mask.Drop();
    PublishDeliveries();
    result = gHost.options->failAdvanceCode;
    gHost.stopped = true;
  } else {
    result = DeliverRequests();
  }
  NoteCall(RequestEvent(hostkit::Ev::AdvanceState, result), "advanceState");
  return result;
}
}  // namespace pmsession
