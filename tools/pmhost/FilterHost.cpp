#include "FilterHost.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

#include "Console.h"
#include "HostKit.h"
#include "HostServices.h"

namespace {

constexpr uint8_t kGuardByte = 0xA5;  // the host's tails after its records
constexpr size_t kRecordTail = 256;  // bytes past bigDocumentData that a module must never touch
constexpr int32_t kMaxContinueCalls = 1000000;
constexpr uint32_t kHostSignature = 0x504D4853;  // 'PMHS'

// fici flag bits
constexpr uint8_t kDontCopyToDestination = 0x01;
constexpr uint8_t kWritesOutsideSelection = 0x08;

const char* gSelectorName = "none";
const char* const kSelectorNames[] = {"about", "parameters", "prepare", "start", "continue", "finish"};

// Session state the host keeps for the module between runs.
Handle gParameters = nullptr;
intptr_t gDataSlot = 0;

// One delivered buffer: the kit's guarded buffer (guard bytes around it and
// in every row's padding, top-down or bottom-up) and what the module is told.
struct Delivery {
  hostkit::TileBuffer tile;
  int32_t hi = 0;
  int32_t columnBytes = 0;
  // A buffer the module may only read is checked against the document rows it
  // was filled from when they lie in memory as delivered (one plane of the
  // image, the 8-bit selection): rowSource points at the first of them, rows
  // rowStride apart. Otherwise against the kit's copy of the whole buffer.
  const uint8_t* rowSource = nullptr;
  size_t rowStride = 0;

  bool Active() const { return tile.present; }
  void Drop() { tile.present = false; }
  uint8_t* Data() { return tile.present ? tile.TopRow() : nullptr; }
  int32_t PublishedRowBytes() const { return tile.ToldRowBytes(); }
  std::optional<std::string> Written(const char* what) const {
    if (!tile.present) return std::nullopt;
    if (rowSource == nullptr) return tile.WrittenAnywhere(what);
    return tile.WrittenComparedWith(what, [this](int32_t y) { return rowSource + size_t(y) * rowStride; });
  }
};

// The document as the run sees it: the source the filter reads, the
// destination it writes, and the selection.
struct RunDocument {
  PlanarImage original;  // as loaded, before any matte
  PlanarImage source;    // what inData shows (matted when the case asks for it)
  PlanarImage destination;
  std::vector<uint8_t> selection;  // 0..255 per pixel; empty without a selection
  bool haveMaskImage = false;
  VRect filterRect{};
  int32_t transparencyPlane = -1;
  int32_t mode = 3;
  int16_t filterCase = 1;
  FilterCaseInfo caseInfo{};
};

struct Host {
  const RunOptions* options = nullptr;
  RunDocument* doc = nullptr;
  FilterRecord* record = nullptr;
  BigDocumentStruct* big = nullptr;
  Delivery in, out, mask;
  hostkit::FaultPlan plan;  // --fail-advance: the n-th advanceState call of the run fails
  int32_t advanceCalls = 0, abortCalls = 0, progressCalls = 0;
  int32_t lastDone = 0, lastTotal = 0;
  bool samplingNoted = false;
  bool stopped = false;  // abortProc answered cancel, or advanceState failed
  int32_t advanceAfterStop = 0;
  // --timing, in performance-counter ticks: inside the module's entry point,
  // inside the host's procedures it called, and with a dialog of it open.
  LONGLONG moduleTicks = 0, advanceTicks = 0, callbackTicks = 0, dialogTicks = 0;
};
Host gHost;

// ---- timing -------------------------------------------------------------------

// Adds the time until it goes out of scope to `total`, with --timing.
class TimedSpan {
 public:
  explicit TimedSpan(LONGLONG& total) : total_(gHost.options != nullptr && gHost.options->timing ? &total : nullptr) {
    if (total_ != nullptr) start_ = Ticks();
  }
  ~TimedSpan() {
    if (total_ != nullptr) *total_ += Ticks() - start_;
  }
  TimedSpan(const TimedSpan&) = delete;
  TimedSpan& operator=(const TimedSpan&) = delete;

 private:
  LONGLONG* total_;
  LONGLONG start_ = 0;
};

// The time a module's dialog is open is a person's (or the watcher's), not
// the module's: a hook on this thread sees every dialog window created and
// destroyed while the module runs.
HHOOK gDialogHook = nullptr;
std::vector<HWND> gOpenDialogs;
LONGLONG gDialogOpenedAt = 0;

LRESULT CALLBACK DialogHook(int code, WPARAM w, LPARAM l) {
  const auto window = reinterpret_cast<HWND>(w);
  if (code == HCBT_CREATEWND) {
    char cls[16] = {};
    GetClassNameA(window, cls, static_cast<int>(sizeof cls));
    if (std::strcmp(cls, "#32770") == 0) {
      if (gOpenDialogs.empty()) gDialogOpenedAt = Ticks();
      gOpenDialogs.push_back(window);
    }
  } else if (code == HCBT_DESTROYWND) {
    const auto it = std::find(gOpenDialogs.begin(), gOpenDialogs.end(), window);
    if (it != gOpenDialogs.end()) {
      gOpenDialogs.erase(it);
      if (gOpenDialogs.empty()) gHost.dialogTicks += Ticks() - gDialogOpenedAt;
    }
  }
  return CallNextHookEx(gDialogHook, code, w, l);
}

// ---- progress, cancel --------------------------------------------------------

void ProgressProc(int32_t done, int32_t total) {
  const TimedSpan timed(gHost.callbackTicks);
  ++gHost.progressCalls;
  gHost.lastDone = done;
  gHost.lastTotal = total;
  NoteCall(hostkit::Event::Progress(done, total), "progressProc");
  BarProgress(done, total);
}

Boolean AbortProc() {
  const TimedSpan timed(gHost.callbackTicks);
  ++gHost.abortCalls;
  const int32_t n = gHost.options->cancelAfter;
  const bool cancel = n > 0 && gHost.abortCalls >= n;
  NoteCall(hostkit::Event::Abort(cancel), "abortProc");
  gHost.stopped = gHost.stopped || cancel;
  if (cancel && gHost.abortCalls == n) Say("pmhost: abortProc answers cancel from call %d on, as asked\n", n);
  return cancel ? 1 : 0;
}

void HostProc(int16_t selector, intptr_t*) { Say("pmhost: hostProc called with selector %d\n", selector); }
void ProcessEvent(void*) {}

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
// selection when `image` is null), row by row, into the kit's guarded buffer.
// `readOnly` buffers are checked later for writes. False with a message for
// a request the document cannot satisfy.
bool Deliver(Delivery& d, const char* what, const VRect& rect, int32_t lo, int32_t hi, const PlanarImage* image,
             bool readOnly) {
  d.Drop();
  if (IsEmpty(rect)) return true;
  const PlanarImage& doc = gHost.doc->source;
  if (rect.top < 0 || rect.left < 0 || rect.bottom > doc.height || rect.right > doc.width) {
    ReportMisuse("advanceState: %s rectangle %s lies outside the %d x %d image", what, RectText(rect).c_str(), doc.width,
                 doc.height);
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
      std::memcpy(row, image->Row(lo, docY) + left, used);
    } else {
      for (int32_t p = 0; p < planes; ++p) sources[size_t(p)] = image->Row(lo + p, docY) + left;
      if (bps == 1) InterleaveRow<1>(row, sources.data(), planes, width);
      else InterleaveRow<2>(row, sources.data(), planes, width);
    }
  }
  d.rowSource = nullptr;
  if (readOnly) {
    if (image != nullptr && planes == 1) {
      d.rowSource = image->Row(lo, rect.top) + left;
      d.rowStride = image->RowBytes();
    } else if (image == nullptr && bps == 1) {
      d.rowSource = gHost.doc->selection.data() + size_t(rect.top) * size_t(doc.width) + size_t(rect.left);
      d.rowStride = size_t(doc.width);
    } else {
      d.tile.Seal();  // interleaved or widened rows: compared with a copy
    }
  }
  return true;
}

// Takes the output buffer back into the destination, after checking that
// nothing was written outside the delivered area or into read-only buffers.
void Commit() {
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
  r->inPlaneBytes = gHost.doc->source.BytesPerSample();
  r->outData = gHost.out.Data();
  r->outRowBytes = gHost.out.PublishedRowBytes();
  r->outColumnBytes = gHost.out.columnBytes;
  r->outPlaneBytes = gHost.doc->source.BytesPerSample();
  r->maskData = gHost.mask.Data();
  r->maskRowBytes = gHost.mask.PublishedRowBytes();
}

struct Requests {
  VRect in, out, mask;
};

Requests ReadRequests() {
  const FilterRecord* r = gHost.record;
  if (Uses32BitCoordinates()) return {gHost.big->inRect32, gHost.big->outRect32, gHost.big->maskRect32};
  return {Widen(r->inRect), Widen(r->outRect), Widen(r->maskRect)};
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
  bool ok = Deliver(gHost.in, "input", q.in, r->inLoPlane, r->inHiPlane, &gHost.doc->source, true);
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

// ---- the record -------------------------------------------------------------

struct Member {
  size_t offset, size;
  const char* name;
};
#define PMHOST_MEMBER(m) Member{offsetof(FilterRecord, m), sizeof(FilterRecord::m), #m}
// Members only the host writes.
const Member kHostMembers[] = {
    PMHOST_MEMBER(serialNumber), PMHOST_MEMBER(abortProc), PMHOST_MEMBER(progressProc), PMHOST_MEMBER(imageSize),
    PMHOST_MEMBER(planes), PMHOST_MEMBER(filterRect), PMHOST_MEMBER(background), PMHOST_MEMBER(foreground),
    PMHOST_MEMBER(haveMask), PMHOST_MEMBER(backColor), PMHOST_MEMBER(foreColor), PMHOST_MEMBER(hostSig),
    PMHOST_MEMBER(hostProc), PMHOST_MEMBER(imageMode), PMHOST_MEMBER(imageHRes), PMHOST_MEMBER(imageVRes),
    PMHOST_MEMBER(floatCoord), PMHOST_MEMBER(wholeSize), PMHOST_MEMBER(monitor), PMHOST_MEMBER(platformData),
    PMHOST_MEMBER(handleProcs), PMHOST_MEMBER(filterCase), PMHOST_MEMBER(advanceState),
    PMHOST_MEMBER(outTileHeight), PMHOST_MEMBER(outTileWidth), PMHOST_MEMBER(inTileHeight), PMHOST_MEMBER(inTileWidth),
    PMHOST_MEMBER(maskTileHeight), PMHOST_MEMBER(maskTileWidth), PMHOST_MEMBER(descriptorParameters),
    PMHOST_MEMBER(errorString), PMHOST_MEMBER(sSPBasic), PMHOST_MEMBER(plugInRef), PMHOST_MEMBER(depth),
    PMHOST_MEMBER(bigDocumentData),
};
#undef PMHOST_MEMBER

// The bytes of a record the module may write: everything but `hostOnly`,
// up to `size`.
std::vector<hostkit::Range> WritableBesides(std::vector<hostkit::Range> hostOnly, size_t size) {
  std::sort(hostOnly.begin(), hostOnly.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
  std::vector<hostkit::Range> writable;
  size_t at = 0;
  for (const hostkit::Range& r : hostOnly) {
    if (r.offset > at) writable.push_back({at, r.offset - at});
    at = std::max(at, r.offset + r.size);
  }
  if (size > at) writable.push_back({at, size - at});
  return writable;
}

const std::vector<hostkit::Range>& FilterRecordWritable() {
  static const std::vector<hostkit::Range> writable = [] {
    std::vector<hostkit::Range> hostOnly;
    for (const Member& m : kHostMembers) hostOnly.push_back({m.offset, m.size});
    return WritableBesides(hostOnly, sizeof(FilterRecord));
  }();
  return writable;
}

// Reports every member only the host writes that the module changed, once
// each, and a write into the tail past the record: the kit's record guard
// finds the bytes, the member table names them.
void CheckHostMembers(const hostkit::RecordGuard& guard, const uint8_t* now, const char* selector) {
  std::vector<hostkit::Range> seen = FilterRecordWritable();
  while (const auto at = guard.FirstChanged(now, seen)) {
    if (*at >= sizeof(FilterRecord)) {
      ReportMisuse("the module wrote past bigDocumentData during %s (byte %d of the host's tail)", selector,
                   static_cast<int>(*at - sizeof(FilterRecord)));
      seen.push_back({sizeof(FilterRecord), kRecordTail});
      continue;
    }
    const Member* m = std::find_if(std::begin(kHostMembers), std::end(kHostMembers),
                                   [&](const Member& x) { return *at >= x.offset && *at < x.offset + x.size; });
    ReportMisuse("the module changed the host's member %s during %s", m->name, selector);
    seen.push_back({m->offset, m->size});
  }
}

// bigDocumentData: the module sets PluginUsing32BitCoordinates and its
// requests; the image size, filter rectangle and whole size are the host's.
const std::vector<hostkit::Range>& BigDocumentWritable() {
  static const std::vector<hostkit::Range> writable = WritableBesides(
      {{offsetof(BigDocumentStruct, imageSize32), sizeof(VPoint)},
       {offsetof(BigDocumentStruct, filterRect32), sizeof(VRect)},
       {offsetof(BigDocumentStruct, wholeSize32), sizeof(VPoint)}},
      sizeof(BigDocumentStruct));
  return writable;
}

Fixed ToFixed(double v) { return static_cast<Fixed>(v * 65536.0 + 0.5); }

int16_t Clamp16(int32_t v) { return static_cast<int16_t>(std::clamp<int32_t>(v, -32768, 32767)); }

struct RecordStorage {
  std::vector<uint8_t> bytes;  // the record and a tail the module must not touch
  BigDocumentStruct big{};
  PlatformData platform{};
  PIDescriptorParameters descriptor{};
  unsigned char errorString[256] = {};
  FilterRecord* Record() { return reinterpret_cast<FilterRecord*>(bytes.data()); }
};

void FillRecord(RecordStorage& s, const RunDocument& doc, const RunOptions& o, void* hostWindow) {
  s.bytes.assign(sizeof(FilterRecord) + kRecordTail, 0);
  std::fill(s.bytes.begin() + sizeof(FilterRecord), s.bytes.end(), kGuardByte);
  FilterRecord* r = s.Record();
  const PlanarImage& img = doc.source;
  const auto planes = static_cast<int16_t>(img.Channels());
  r->serialNumber = 0;
  r->abortProc = AbortProc;
  r->progressProc = ProgressProc;
  r->parameters = gParameters;
  r->imageSize = Point{Clamp16(img.height), Clamp16(img.width)};
  r->planes = planes;
  r->filterRect = Rect{Clamp16(doc.filterRect.top), Clamp16(doc.filterRect.left), Clamp16(doc.filterRect.bottom),
                       Clamp16(doc.filterRect.right)};
  r->background = RGBColor{0xFFFF, 0xFFFF, 0xFFFF};
  r->foreground = RGBColor{0, 0, 0};
  r->maxSpace = 256 * 1024 * 1024;
  r->bufferSpace = 0;
  r->isFloating = 0;
  r->haveMask = doc.haveMaskImage ? 1 : 0;
  r->autoMask = 1;
  r->backColor[0] = r->backColor[1] = r->backColor[2] = 255;
  r->hostSig = kHostSignature;
  r->hostProc = HostProc;
  r->imageMode = static_cast<int16_t>(doc.mode);
  r->imageHRes = r->imageVRes = ToFixed(72.0);
  r->floatCoord = Point{0, 0};
  r->wholeSize = r->imageSize;
  // An sRGB monitor.
  r->monitor = PlugInMonitor{ToFixed(2.2),  ToFixed(0.64), ToFixed(0.33), ToFixed(0.30),   ToFixed(0.60),
                             ToFixed(0.15), ToFixed(0.06), ToFixed(0.3127), ToFixed(0.329), 0};
  s.platform.hwnd = hostWindow;
  r->platformData = &s.platform;
  r->processEvent = ProcessEvent;
  r->handleProcs = HostHandleProcs();
  r->filterCase = doc.filterCase;
  r->dummyPlaneValue = -1;
  r->advanceState = AdvanceState;
  r->inputRate = r->maskRate = 0x10000;
  const bool transparent = doc.transparencyPlane >= 0;
  const auto colour = static_cast<int16_t>(transparent ? planes - 1 : planes);
  for (int16_t* layer : {&r->inLayerPlanes, &r->outLayerPlanes, &r->absLayerPlanes}) *layer = transparent ? colour : 0;
  for (int16_t* t : {&r->inTransparencyMask, &r->outTransparencyMask, &r->absTransparencyMask}) *t = transparent ? 1 : 0;
  for (int16_t* n : {&r->inNonLayerPlanes, &r->outNonLayerPlanes, &r->absNonLayerPlanes}) *n = transparent ? 0 : planes;
  const int16_t th = Clamp16(o.tileHeight), tw = Clamp16(o.tileWidth);
  r->inTileHeight = r->absTileHeight = r->outTileHeight = r->maskTileHeight = th;
  r->inTileWidth = r->absTileWidth = r->outTileWidth = r->maskTileWidth = tw;
  if (o.descriptorParameters) {
    s.descriptor = PIDescriptorParameters{0, o.playInfo, plugInDialogOptional, nullptr, HostWriteDescriptorProcs(),
                                          nullptr};
    if (!o.playDescriptor.empty())
      s.descriptor.descriptor = HostNewHandle(o.playDescriptor.data(), o.playDescriptor.size());
    r->descriptorParameters = &s.descriptor;
  }
  r->errorString = s.errorString;
  r->sSPBasic = HostBasicSuite();
  r->plugInRef = &gHost;
  r->depth = img.depth;
  if (o.bigDocument) {
    s.big.PluginUsing32BitCoordinates = 0;
    s.big.imageSize32 = VPoint{img.height, img.width};
    s.big.filterRect32 = doc.filterRect;
    s.big.wholeSize32 = s.big.imageSize32;
    r->bigDocumentData = &s.big;
  }
}

// ---- mattes and the selection ----------------------------------------------

uint32_t MatteColour(uint8_t handling, uint32_t maxValue) {
  switch (handling) {
    case 2: return 0;
    case 3: return (maxValue + 1) / 2;
    case 4: return maxValue;
    default: return ~0u;  // no matte
  }
}

// A plane's samples as numbers.
template <typename Sample>
Sample* PlaneOf(PlanarImage& image, int32_t p) {
  return reinterpret_cast<Sample*>(image.planes[size_t(p)].data());
}
template <typename Sample>
const Sample* PlaneOf(const PlanarImage& image, int32_t p) {
  return reinterpret_cast<const Sample*>(image.planes[size_t(p)].data());
}

// Calls `work.template operator()<Sample>()` with the document's sample type.
template <typename Work>
void BySampleType(const PlanarImage& image, Work&& work) {
  if (image.depth == 16) work.template operator()<uint16_t>();
  else work.template operator()<uint8_t>();
}

size_t PixelCount(const PlanarImage& image) { return size_t(image.width) * size_t(image.height); }

void ApplyMatte(RunDocument& doc) {
  const uint32_t maxValue = doc.original.depth == 16 ? 65535 : 255;
  const uint32_t m = MatteColour(doc.caseInfo.inputHandling, maxValue);
  if (doc.transparencyPlane < 0 || m == ~0u) return;
  BySampleType(doc.source, [&]<typename Sample>() {
    constexpr uint64_t kMax = std::numeric_limits<Sample>::max();
    PlanarImage& s = doc.source;
    const Sample* alpha = PlaneOf<Sample>(s, doc.transparencyPlane);
    for (int32_t p = 0; p < doc.transparencyPlane; ++p) {
      Sample* c = PlaneOf<Sample>(s, p);
      for (size_t i = 0, n = PixelCount(s); i < n; ++i) {
        const uint64_t a = alpha[i];
        // An opaque pixel keeps its colour exactly.
        if (a != kMax) c[i] = static_cast<Sample>((c[i] * a + m * (kMax - a) + kMax / 2) / kMax);
      }
    }
  });
}

// Takes the matte out of what the filter wrote; samples the filter left as
// delivered get their exact original back.
void RemoveMatte(RunDocument& doc) {
  const uint32_t maxValue = doc.original.depth == 16 ? 65535 : 255;
  const uint32_t m = MatteColour(doc.caseInfo.outputHandling, maxValue);
  if (doc.transparencyPlane < 0 || m == ~0u) return;
  BySampleType(doc.destination, [&]<typename Sample>() {
    using Wide = int64_t;
    constexpr Wide kMax = std::numeric_limits<Sample>::max();
    const auto unmatte = [=](Wide v, Wide a) {
      // The inverse of the matte's s = (c a + m (max - a)) / max.
      const Wide c = (v * kMax - Wide(m) * (kMax - a) + a / 2) / a;
      return static_cast<Sample>(std::clamp<Wide>(c, 0, kMax));
    };
    // 8 bits: every answer in a table (64 KiB), one division per entry
    // instead of one per sample.
    std::vector<Sample> table;
    if constexpr (sizeof(Sample) == 1) {
      table.resize(256 * 256);
      for (Wide a = 1; a < kMax; ++a)
        for (Wide v = 0; v <= kMax; ++v) table[size_t(a << 8 | v)] = unmatte(v, a);
    }
    PlanarImage& d = doc.destination;
    const Sample* alpha = PlaneOf<Sample>(d, doc.transparencyPlane);
    for (int32_t p = 0; p < doc.transparencyPlane; ++p) {
      Sample* v = PlaneOf<Sample>(d, p);
      const Sample* delivered = PlaneOf<Sample>(doc.source, p);
      const Sample* original = PlaneOf<Sample>(doc.original, p);
      for (size_t i = 0, n = PixelCount(d); i < n; ++i) {
        const Wide a = alpha[i];
        // Opaque: no matte was mixed in, and the sample stands as written.
        if (a == kMax) continue;
        if (v[i] == delivered[i] || a == 0) {
          v[i] = original[i];
          continue;
        }
        if constexpr (sizeof(Sample) == 1) v[i] = table[size_t(a << 8 | v[i])];
        else v[i] = unmatte(v[i], a);
      }
    }
  });
}

// Outside the selection the original stands, in between it is blended,
// unless the filter says it handles the selection itself.
void MaskBySelection(RunDocument& doc, bool autoMask) {
  if (doc.selection.empty() || (doc.caseInfo.flags & kWritesOutsideSelection) != 0 || !autoMask) return;
  BySampleType(doc.destination, [&]<typename Sample>() {
    PlanarImage& d = doc.destination;
    for (int32_t p = 0; p < d.Channels(); ++p) {
      Sample* v = PlaneOf<Sample>(d, p);
      const Sample* original = PlaneOf<Sample>(doc.original, p);
      for (size_t i = 0, n = PixelCount(d); i < n; ++i) {
        const int64_t s = doc.selection[i];
        if (s == 255) continue;
        const int64_t o = original[i], w = v[i];
        v[i] = static_cast<Sample>(o + ((w - o) * s + (w >= o ? 127 : -127)) / 255);
      }
    }
  });
}

// How many samples differ between two images of the same shape.
size_t CountChanged(const PlanarImage& a, const PlanarImage& b) {
  size_t changed = 0;
  BySampleType(a, [&]<typename Sample>() {
    for (int32_t p = 0; p < a.Channels(); ++p) {
      const Sample* x = PlaneOf<Sample>(a, p);
      const Sample* y = PlaneOf<Sample>(b, p);
      for (size_t i = 0, n = PixelCount(a); i < n; ++i) changed += x[i] != y[i];
    }
  });
  return changed;
}

// ---- running ----------------------------------------------------------------

// The host will not run (or go on running) the filter on this image: says
// why, and keeps the reason for the run's summary.
void Stop(RunOutcome& outcome, bool refused, const std::string& why) {
  Warn("pmhost: %s\n", why.c_str());
  (refused ? outcome.refused : outcome.hostError) = true;
  outcome.message = why;
}

std::string SizeText(const PlanarImage& image) { return std::to_string(image.width) + " x " + std::to_string(image.height); }

// Sets the document up for a run; on success it has taken `image`'s planes.
bool PrepareDocument(RunDocument& doc, PlanarImage& image, const PiplInfo* pipl, const RunOptions& o, RunOutcome& outcome) {
  doc.original = image;
  const int32_t channels = image.Channels();
  doc.transparencyPlane = (channels == 2 || channels == 4) ? channels - 1 : -1;
  const bool gray = channels <= 2;
  doc.mode = image.depth == 16 ? (gray ? 10 : 11) : (gray ? 1 : 3);
  if (o.imageMode >= 0) {
    doc.mode = o.imageMode;
    doc.transparencyPlane = -1;
  }
  doc.filterRect = VRect{0, 0, image.height, image.width};
  if (o.hasRectSelection) {
    VRect r = o.rectSelection;
    r.top = std::max(r.top, 0);
    r.left = std::max(r.left, 0);
    r.bottom = std::min(r.bottom, image.height);
    r.right = std::min(r.right, image.width);
    if (IsEmpty(r)) {
      Stop(outcome, false, "the selection " + RectText(o.rectSelection) + " does not cover any pixel of the image");
      return false;
    }
    doc.filterRect = r;
    doc.selection.assign(size_t(image.width) * size_t(image.height), 0);
    for (int32_t y = r.top; y < r.bottom; ++y)
      std::fill_n(doc.selection.begin() + y * image.width + r.left, r.right - r.left, uint8_t(255));
  } else if (!o.maskPath.empty()) {
    PlanarImage mask;
    std::string error;
    if (!ReadGrayPng(o.maskPath, mask, error)) {
      Stop(outcome, false, error);
      return false;
    }
    if (mask.width != image.width || mask.height != image.height) {
      Stop(outcome, false, "the mask is " + SizeText(mask) + ", the image " + SizeText(image));
      return false;
    }
    doc.selection = mask.planes[0];
    VRect b{image.height, image.width, 0, 0};
    for (int32_t y = 0; y < image.height; ++y)
      for (int32_t x = 0; x < image.width; ++x)
        if (doc.selection[size_t(y) * size_t(image.width) + size_t(x)] != 0)
          b = VRect{std::min(b.top, y), std::min(b.left, x), std::max(b.bottom, y + 1), std::max(b.right, x + 1)};
    if (IsEmpty(b)) {
      Stop(outcome, false, "the mask selects no pixel");
      return false;
    }
    doc.filterRect = b;
    doc.haveMaskImage = true;
  }
  const bool selected = !doc.selection.empty();
  doc.filterCase = static_cast<int16_t>(doc.transparencyPlane >= 0 ? (selected ? 5 : 4) : (selected ? 2 : 1));
  if (pipl != nullptr && pipl->hasCaseInfo) doc.caseInfo = pipl->caseInfo[size_t(doc.filterCase - 1)];
  if (doc.caseInfo.inputHandling == 0) {
    Stop(outcome, true,
         "the filter cannot handle filter case " + std::to_string(doc.filterCase) + " (its property list says so)");
    return false;
  }
  // The caller's image is not needed any more: RunFilter gives it the result.
  doc.source = std::move(image);
  ApplyMatte(doc);
  doc.destination = doc.source;
  if ((doc.caseInfo.flags & kDontCopyToDestination) != 0)
    for (auto& plane : doc.destination.planes) std::fill(plane.begin(), plane.end(), uint8_t(0));
  return true;
}

bool CallSelector(PluginEntry entry, int16_t selector, RecordStorage& s, RunOutcome& outcome) {
  FilterRecord* r = s.Record();
  r->parameters = gParameters;
  hostkit::RecordGuard record, big;
  record.Take(s.bytes.data(), s.bytes.size());
  big.Take(&s.big, sizeof s.big);
  int16_t result = 0;
  gSelectorName = kSelectorNames[selector];
  EnterSelector(gSelectorName);
  {
    const TimedSpan timed(gHost.moduleTicks);
    entry(selector, r, &gDataSlot, &result);
  }
  LeaveSelector(gSelectorName);
  gSelectorName = "none";
  gParameters = r->parameters;
  CheckHostMembers(record, s.bytes.data(), kSelectorNames[selector]);
  if (const auto changed = big.Compare(&s.big, "bigDocumentData", BigDocumentWritable()))
    ReportMisuse("the module changed the host's image size or filter rectangle in bigDocumentData during %s (%s)",
                 kSelectorNames[selector], changed->c_str());
  CheckAfterCall((std::string("after ") + kSelectorNames[selector]).c_str());
  if (result != noErr) {
    outcome.result = result;
    outcome.failedSelector = kSelectorNames[selector];
    return false;
  }
  return true;
}

bool RunOnce(PluginEntry entry, RunDocument& doc, const RunOptions& o, void* hostWindow, bool withParameters,
             RunOutcome& outcome) {
  RecordStorage storage;
  FillRecord(storage, doc, o, hostWindow);
  FilterRecord* r = storage.Record();
  gHost = Host{};
  gHost.options = &o;
  gHost.doc = &doc;
  gHost.record = r;
  gHost.big = r->bigDocumentData;
  if (o.failAdvanceAt > 0) gHost.plan.FailAt("advanceState", o.failAdvanceAt);
  auto finishRun = [&](bool ok) {
    if (storage.errorString[0] != 0)
      Say("pmhost: the module's error text: %.*s\n", storage.errorString[0], storage.errorString + 1);
    if (r->descriptorParameters != nullptr && r->descriptorParameters->descriptor != nullptr) {
      Handle d = r->descriptorParameters->descriptor;
      const std::string text = DescribeDescriptorHandle(d);
      if (text.empty()) ReportMisuse("descriptorParameters->descriptor holds %p, not a descriptor handle of this host", static_cast<void*>(d));
      else Say("pmhost: scripting descriptor: %s (recordInfo %d)\n", text.c_str(), r->descriptorParameters->recordInfo);
      if (!text.empty()) outcome.recordedDescriptor = HostHandleBytes(d);
      outcome.recordInfo = r->descriptorParameters->recordInfo;
      if (IsHostHandle(d)) HostDisposeHandle(d);
    }
    Say("pmhost: %d advanceState call(s), %d progress report(s), %d abort check(s)\n", gHost.advanceCalls,
        gHost.progressCalls, gHost.abortCalls);
    if (o.timing) {
      if (gDialogHook != nullptr) UnhookWindowsHookEx(gDialogHook);
      gDialogHook = nullptr;
      gOpenDialogs.clear();
      const LONGLONG own = gHost.moduleTicks - gHost.advanceTicks - gHost.callbackTicks - gHost.dialogTicks;
      Say("pmhost: timing: module %.1f ms (in its calls %.1f ms, less advanceState %.1f ms, progress and abort "
          "%.1f ms, dialogs open %.1f ms)\n",
          Milliseconds(own), Milliseconds(gHost.moduleTicks), Milliseconds(gHost.advanceTicks),
          Milliseconds(gHost.callbackTicks), Milliseconds(gHost.dialogTicks));
    }
    return ok;
  };
  if (o.timing) gDialogHook = SetWindowsHookExA(WH_CBT, DialogHook, nullptr, GetCurrentThreadId());
  if (withParameters && !CallSelector(entry, filterSelectorParameters, storage, outcome)) return finishRun(false);
  if (!CallSelector(entry, filterSelectorPrepare, storage, outcome)) return finishRun(false);
  const bool started = CallSelector(entry, filterSelectorStart, storage, outcome);
  Commit();
  if (!started) return finishRun(false);
  for (int32_t calls = 0;; ++calls) {
    const Requests q = ReadRequests();
    if (IsEmpty(q.in) && IsEmpty(q.out) && (IsEmpty(q.mask) || !r->haveMask)) break;
    if (calls == kMaxContinueCalls) {
      Stop(outcome, false, "the module still asks for data after " + std::to_string(calls) + " continue calls; stopping");
      return finishRun(false);
    }
    BeginCall("the host's delivery before continue");
    const OSErr err = DeliverRequests();
    auto delivery = RequestEvent(hostkit::Ev::AdvanceState, err);
    delivery.text = "(the host's delivery before continue)";
    NoteCall(std::move(delivery), "the host's delivery before continue");
    if (err != noErr) {
      outcome.result = err;
      outcome.failedSelector = "continue";
      return finishRun(false);
    }
    const bool ok = CallSelector(entry, filterSelectorContinue, storage, outcome);
    Commit();
    if (!ok) return finishRun(false);
  }
  if (!CallSelector(entry, filterSelectorFinish, storage, outcome)) return finishRun(false);
  RemoveMatte(doc);
  MaskBySelection(doc, r->autoMask != 0);
  return finishRun(true);
}

}  // namespace

int64_t Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double Milliseconds(int64_t ticks) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return double(ticks) * 1000.0 / double(frequency.QuadPart);
}

std::string ResultName(int32_t code) {
  struct Name {
    int32_t code;
    const char* name;
  };
  static constexpr Name kNames[] = {
      {0, "noErr"},
      {-50, "paramErr"},
      {-108, "memFullErr"},
      {-128, "userCanceledErr"},
      {-1715, "errMissingParameter"},
      {-30100, "filterBadParameters"},
      {-30101, "filterBadMode"},
      {-30900, "errPlugInHostInsufficient"},
  };
  for (const Name& n : kNames)
    if (n.code == code) return std::string(n.name) + " (" + std::to_string(code) + ")";
  return "result code " + std::to_string(code);
}

const char* CurrentSelectorName() { return gSelectorName; }

RunCounts LastRunCounts() {
  return RunCounts{gHost.advanceCalls, gHost.abortCalls, gHost.progressCalls, gHost.advanceAfterStop};
}

RunOutcome RunFilter(PluginEntry entry, const PiplInfo* pipl, PlanarImage& image, const RunOptions& options,
                     void* hostWindow) {
  RunOutcome outcome;
  for (int32_t run = 1; run <= options.runs; ++run) {
    RunDocument doc;
    if (!PrepareDocument(doc, image, pipl, options, outcome)) return outcome;
    if (run == 1)
      Say("pmhost: %d x %d, %d plane(s) of %d bits, %s, filter case %d, filter rectangle %s, tiles %d x %d\n",
          doc.original.width, doc.original.height, doc.original.Channels(), doc.original.depth,
          ModeName(doc.mode).c_str(), doc.filterCase,
          RectText(doc.filterRect).c_str(), options.tileWidth, options.tileHeight);
    if (options.runs > 1) Say("pmhost: run %d of %d\n", run, options.runs);
    const bool ok = RunOnce(entry, doc, options, hostWindow, options.callParameters && run == 1, outcome);
    image = std::move(doc.destination);
    if (!ok) return outcome;
    const size_t changed = CountChanged(image, doc.original), total = PixelCount(image) * size_t(image.Channels());
    Say("pmhost: %zu of %zu samples changed\n", changed, total);
  }
  return outcome;
}

RunOutcome RunAbout(PluginEntry entry, void* hostWindow) {
  RunOutcome outcome;
  // The record and a host-specific tail that the module must leave alone.
  std::vector<uint8_t> bytes(sizeof(AboutRecord) + 64, kGuardByte);
  PlatformData platform{hostWindow};
  auto* about = reinterpret_cast<AboutRecord*>(bytes.data());
  about->platformData = &platform;
  about->sSPBasic = HostBasicSuite();
  about->plugInRef = &gHost;
  hostkit::RecordGuard guard;
  guard.Take(bytes.data(), bytes.size());
  int16_t result = 0;
  gSelectorName = "about";
  EnterSelector(gSelectorName);
  entry(filterSelectorAbout, about, &gDataSlot, &result);
  LeaveSelector(gSelectorName);
  gSelectorName = "none";
  if (const auto written = guard.Compare(bytes.data(), "AboutRecord", {}))
    ReportMisuse("the module wrote into the AboutRecord (%s)", written->c_str());
  CheckAfterCall("after about");
  if (result != noErr) {
    outcome.result = result;
    outcome.failedSelector = "about";
  }
  return outcome;
}

void EndSession() {
  for (Handle h : {gParameters, reinterpret_cast<Handle>(gDataSlot)})
    if (IsHostHandle(h)) HostDisposeHandle(h);
  gParameters = nullptr;
  gDataSlot = 0;
}
