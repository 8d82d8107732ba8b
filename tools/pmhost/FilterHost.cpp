#include "FilterHost.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

#include "HostServices.h"

namespace {

constexpr uint8_t kGuardByte = 0xA5;
constexpr size_t kGuardBytes = 64;
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

struct Delivery {
  bool active = false;
  VRect rect{};
  int32_t lo = 0, hi = 0;
  int32_t rowBytes = 0, columnBytes = 0;  // rowBytes: the distance between rows in memory
  int32_t height = 0;
  bool bottomUp = false;        // the image's top row is the last in memory (--bottom-up)
  std::vector<uint8_t> buffer;  // guard, rows, guard
  std::vector<uint8_t> copy;    // what was delivered, to find writes into read-only buffers

  // Row y of the rectangle, counted from its top.
  uint8_t* Row(int32_t y) {
    const int32_t inMemory = bottomUp ? height - 1 - y : y;
    return buffer.data() + kGuardBytes + size_t(inMemory) * size_t(rowBytes);
  }
  uint8_t* Data() { return active ? Row(0) : nullptr; }
  int32_t PublishedRowBytes() const { return active ? (bottomUp ? -rowBytes : rowBytes) : 0; }
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
  int32_t advanceCalls = 0, abortCalls = 0, progressCalls = 0;
  int32_t lastDone = 0, lastTotal = 0;
  ULONGLONG startTicks = 0;
  bool barShown = false;
  ULONGLONG barDrawn = 0;
  bool samplingNoted = false;
  // --timing, in performance-counter ticks: inside the module's entry point,
  // inside the host's procedures it called, and with a dialog of it open.
  LONGLONG moduleTicks = 0, advanceTicks = 0, callbackTicks = 0, dialogTicks = 0;
};
Host gHost;

// ---- timing -------------------------------------------------------------------

LONGLONG Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double Milliseconds(LONGLONG ticks) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return double(ticks) * 1000.0 / double(frequency.QuadPart);
}

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

// ---- progress bar, cancel ---------------------------------------------------

void DrawBar(int32_t done, int32_t total) {
  if (gHost.options->quiet || total <= 0) return;
  // Only runs that take more than a moment get a bar.
  if (!gHost.barShown && GetTickCount64() - gHost.startTicks < 500) return;
  // Redrawn when the bar moves a step, not at every report.
  const ULONGLONG now = GetTickCount64();
  if (gHost.barShown && done != total && now - gHost.barDrawn < 100) return;
  gHost.barShown = true;
  gHost.barDrawn = now;
  const int32_t width = 40;
  const int64_t filled = std::clamp<int64_t>(int64_t(done) * width / total, 0, width);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(static_cast<size_t>(width), '.');
  std::fprintf(stderr, "\r[%s] %3d%% (%d/%d)", bar.c_str(), static_cast<int>(int64_t(done) * 100 / total), done, total);
  std::fflush(stderr);
}

void EndBar() {
  if (gHost.barShown) std::fputs("\n", stderr);
  gHost.barShown = false;
}

void ProgressProc(int32_t done, int32_t total) {
  const TimedSpan timed(gHost.callbackTicks);
  ++gHost.progressCalls;
  gHost.lastDone = done;
  gHost.lastTotal = total;
  if (gHost.options->verbose) std::printf("pmhost: progress %d/%d\n", done, total);
  DrawBar(done, total);
}

Boolean AbortProc() {
  const TimedSpan timed(gHost.callbackTicks);
  ++gHost.abortCalls;
  const int32_t n = gHost.options->cancelAfter;
  if (n > 0 && gHost.abortCalls >= n) {
    if (gHost.abortCalls == n) std::printf("pmhost: abortProc answers cancel from call %d on, as asked\n", n);
    return 1;
  }
  return 0;
}

void HostProc(int16_t selector, intptr_t*) { std::printf("pmhost: hostProc called with selector %d\n", selector); }
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

// Fills a delivery for a rectangle and planes of `image` (or of the
// selection when `image` is null). False with a message for a request the
// document cannot satisfy.
bool Deliver(Delivery& d, const char* what, const VRect& rect, int32_t lo, int32_t hi, const PlanarImage* image) {
  d.active = false;
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
  d.rect = rect;
  d.lo = lo;
  d.hi = hi;
  d.columnBytes = planes * bps;
  d.rowBytes = width * d.columnBytes + gHost.options->rowPad;
  d.height = height;
  d.bottomUp = gHost.options->bottomUp;
  d.buffer.assign(kGuardBytes * 2 + size_t(d.rowBytes) * size_t(height), kGuardByte);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = d.Row(y);
    for (int32_t x = 0; x < width; ++x)
      for (int32_t p = 0; p < planes; ++p) {
        uint32_t v;
        if (image != nullptr) {
          v = image->Sample(lo + p, rect.left + x, rect.top + y);
        } else {
          v = gHost.doc->selection[size_t(rect.top + y) * size_t(doc.width) + size_t(rect.left + x)];
          if (bps == 2) v *= 257;
        }
        uint8_t* at = row + size_t(x) * size_t(d.columnBytes) + size_t(p) * size_t(bps);
        if (bps == 2) {
          const auto s = static_cast<uint16_t>(v);
          std::memcpy(at, &s, 2);
        } else {
          *at = static_cast<uint8_t>(v);
        }
      }
  }
  d.copy = d.buffer;
  d.active = true;
  return true;
}

// Takes the output buffer back into the destination, after checking that
// nothing was written outside the delivered area or into read-only buffers.
void Commit() {
  Delivery& out = gHost.out;
  if (gHost.in.active && gHost.in.buffer != gHost.in.copy) ReportMisuse("the module wrote into the input buffer (inData)");
  if (gHost.mask.active && gHost.mask.buffer != gHost.mask.copy) ReportMisuse("the module wrote into the mask buffer (maskData)");
  if (!out.active) return;
  const int32_t width = out.rect.right - out.rect.left, height = out.rect.bottom - out.rect.top;
  const size_t used = size_t(width) * size_t(out.columnBytes);
  bool outside = false;
  for (size_t i = 0; i < kGuardBytes; ++i)
    outside = outside || out.buffer[i] != kGuardByte || out.buffer[out.buffer.size() - 1 - i] != kGuardByte;
  for (int32_t y = 0; y < height && !outside; ++y) {
    const uint8_t* row = out.buffer.data() + kGuardBytes + size_t(y) * size_t(out.rowBytes);
    for (size_t i = used; i < size_t(out.rowBytes); ++i) outside = outside || row[i] != kGuardByte;
  }
  if (outside)
    ReportMisuse("the module wrote outside the output rectangle %s (row padding or past the buffer)", RectText(out.rect).c_str());
  PlanarImage& dst = gHost.doc->destination;
  const int32_t bps = dst.BytesPerSample();
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = out.Row(y);
    for (int32_t x = 0; x < width; ++x)
      for (int32_t p = out.lo; p <= out.hi; ++p) {
        const uint8_t* at = row + size_t(x) * size_t(out.columnBytes) + size_t(p - out.lo) * size_t(bps);
        uint32_t v = *at;
        if (bps == 2) {
          uint16_t s;
          std::memcpy(&s, at, 2);
          v = s;
        }
        dst.SetSample(p, out.rect.left + x, out.rect.top + y, v);
      }
  }
  out.active = false;
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
    std::printf("pmhost: sampling rates other than 1.0 are not supported; delivering full resolution\n");
  }
  if (gHost.options->verbose)
    std::printf("pmhost: deliver in %s planes %d-%d, out %s planes %d-%d, mask %s (%s coordinates)\n",
                RectText(q.in).c_str(), r->inLoPlane, r->inHiPlane, RectText(q.out).c_str(), r->outLoPlane,
                r->outHiPlane, r->haveMask ? RectText(q.mask).c_str() : "none", Uses32BitCoordinates() ? "32-bit" : "16-bit");
  bool ok = Deliver(gHost.in, "input", q.in, r->inLoPlane, r->inHiPlane, &gHost.doc->source);
  ok = Deliver(gHost.out, "output", q.out, r->outLoPlane, r->outHiPlane, &gHost.doc->destination) && ok;
  if (r->haveMask && !gHost.doc->selection.empty()) ok = Deliver(gHost.mask, "mask", q.mask, 0, 0, nullptr) && ok;
  else gHost.mask.active = false;
  if (!ok) {
    gHost.in.active = gHost.out.active = gHost.mask.active = false;
  }
  PublishDeliveries();
  return ok ? noErr : filterBadParameters;
}

OSErr AdvanceState() {
  const TimedSpan timed(gHost.advanceTicks);
  const int32_t call = ++gHost.advanceCalls;
  Commit();
  if (gHost.options->failAdvanceAt == call) {
    std::printf("pmhost: advanceState call %d fails with %s, as asked\n", call, ResultName(gHost.options->failAdvanceCode).c_str());
    gHost.in.active = gHost.out.active = gHost.mask.active = false;
    PublishDeliveries();
    return gHost.options->failAdvanceCode;
  }
  return DeliverRequests();
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

void CheckHostMembers(const std::vector<uint8_t>& before, const uint8_t* now, const char* selector) {
  for (const Member& m : kHostMembers)
    if (std::memcmp(before.data() + m.offset, now + m.offset, m.size) != 0)
      ReportMisuse("the module changed the host's member %s during %s", m.name, selector);
  if (std::memcmp(before.data() + sizeof(FilterRecord), now + sizeof(FilterRecord), kRecordTail) != 0)
    ReportMisuse("the module wrote past bigDocumentData during %s", selector);
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
    s.descriptor = PIDescriptorParameters{0, 1 /* show the dialog */, plugInDialogOptional, nullptr,
                                          HostWriteDescriptorProcs(), nullptr};
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

void ApplyMatte(RunDocument& doc) {
  const uint32_t maxValue = doc.original.depth == 16 ? 65535 : 255;
  const uint32_t m = MatteColour(doc.caseInfo.inputHandling, maxValue);
  if (doc.transparencyPlane < 0 || m == ~0u) return;
  PlanarImage& s = doc.source;
  for (int32_t y = 0; y < s.height; ++y)
    for (int32_t x = 0; x < s.width; ++x) {
      const uint64_t a = s.Sample(doc.transparencyPlane, x, y);
      for (int32_t p = 0; p < doc.transparencyPlane; ++p) {
        const uint64_t c = s.Sample(p, x, y);
        s.SetSample(p, x, y, static_cast<uint32_t>((c * a + m * (maxValue - a) + maxValue / 2) / maxValue));
      }
    }
}

// Takes the matte out of what the filter wrote; samples the filter left as
// delivered get their exact original back.
void RemoveMatte(RunDocument& doc) {
  const uint32_t maxValue = doc.original.depth == 16 ? 65535 : 255;
  const uint32_t m = MatteColour(doc.caseInfo.outputHandling, maxValue);
  if (doc.transparencyPlane < 0 || m == ~0u) return;
  PlanarImage& d = doc.destination;
  for (int32_t y = 0; y < d.height; ++y)
    for (int32_t x = 0; x < d.width; ++x) {
      const int64_t a = d.Sample(doc.transparencyPlane, x, y);
      for (int32_t p = 0; p < doc.transparencyPlane; ++p) {
        const uint32_t v = d.Sample(p, x, y);
        if (v == doc.source.Sample(p, x, y) || a == 0) {
          d.SetSample(p, x, y, doc.original.Sample(p, x, y));
          continue;
        }
        const int64_t c = ((int64_t(v) - int64_t(m) * (maxValue - a)) * maxValue + a / 2) / a;
        d.SetSample(p, x, y, static_cast<uint32_t>(std::clamp<int64_t>(c, 0, maxValue)));
      }
    }
}

// Outside the selection the original stands, in between it is blended,
// unless the filter says it handles the selection itself.
void MaskBySelection(RunDocument& doc, bool autoMask) {
  if (doc.selection.empty() || (doc.caseInfo.flags & kWritesOutsideSelection) != 0 || !autoMask) return;
  PlanarImage& d = doc.destination;
  for (int32_t y = 0; y < d.height; ++y)
    for (int32_t x = 0; x < d.width; ++x) {
      const int64_t s = doc.selection[size_t(y) * size_t(d.width) + size_t(x)];
      if (s == 255) continue;
      for (int32_t p = 0; p < d.Channels(); ++p) {
        const int64_t o = doc.original.Sample(p, x, y), v = d.Sample(p, x, y);
        d.SetSample(p, x, y, static_cast<uint32_t>(o + ((v - o) * s + (v >= o ? 127 : -127)) / 255));
      }
    }
}

// ---- running ----------------------------------------------------------------

bool PrepareDocument(RunDocument& doc, PlanarImage& image, const PiplInfo* pipl, const RunOptions& o, RunOutcome& outcome) {
  doc.original = image;
  const int32_t channels = image.Channels();
  doc.transparencyPlane = (channels == 2 || channels == 4) ? channels - 1 : -1;
  const bool gray = channels <= 2;
  doc.mode = image.depth == 16 ? (gray ? 10 : 11) : (gray ? 1 : 3);
  doc.filterRect = VRect{0, 0, image.height, image.width};
  if (o.hasRectSelection) {
    VRect r = o.rectSelection;
    r.top = std::max(r.top, 0);
    r.left = std::max(r.left, 0);
    r.bottom = std::min(r.bottom, image.height);
    r.right = std::min(r.right, image.width);
    if (IsEmpty(r)) {
      std::fprintf(stderr, "pmhost: the selection %s does not cover any pixel of the image\n", RectText(o.rectSelection).c_str());
      outcome.hostError = true;
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
      std::fprintf(stderr, "pmhost: %s\n", error.c_str());
      outcome.hostError = true;
      return false;
    }
    if (mask.width != image.width || mask.height != image.height) {
      std::fprintf(stderr, "pmhost: the mask is %d x %d, the image %d x %d\n", mask.width, mask.height, image.width, image.height);
      outcome.hostError = true;
      return false;
    }
    doc.selection = mask.planes[0];
    VRect b{image.height, image.width, 0, 0};
    for (int32_t y = 0; y < image.height; ++y)
      for (int32_t x = 0; x < image.width; ++x)
        if (doc.selection[size_t(y) * size_t(image.width) + size_t(x)] != 0)
          b = VRect{std::min(b.top, y), std::min(b.left, x), std::max(b.bottom, y + 1), std::max(b.right, x + 1)};
    if (IsEmpty(b)) {
      std::fprintf(stderr, "pmhost: the mask selects no pixel\n");
      outcome.hostError = true;
      return false;
    }
    doc.filterRect = b;
    doc.haveMaskImage = true;
  }
  const bool selected = !doc.selection.empty();
  doc.filterCase = static_cast<int16_t>(doc.transparencyPlane >= 0 ? (selected ? 5 : 4) : (selected ? 2 : 1));
  if (pipl != nullptr && pipl->hasCaseInfo) doc.caseInfo = pipl->caseInfo[size_t(doc.filterCase - 1)];
  if (doc.caseInfo.inputHandling == 0) {
    std::fprintf(stderr, "pmhost: the filter cannot handle filter case %d (its property list says so)\n", doc.filterCase);
    outcome.refused = true;
    return false;
  }
  doc.source = image;
  ApplyMatte(doc);
  doc.destination = doc.source;
  if ((doc.caseInfo.flags & kDontCopyToDestination) != 0)
    for (auto& plane : doc.destination.planes) std::fill(plane.begin(), plane.end(), uint8_t(0));
  return true;
}

bool CallSelector(PluginEntry entry, int16_t selector, RecordStorage& s, RunOutcome& outcome) {
  FilterRecord* r = s.Record();
  r->parameters = gParameters;
  const std::vector<uint8_t> before = s.bytes;
  const BigDocumentStruct bigBefore = s.big;
  int16_t result = 0;
  gSelectorName = kSelectorNames[selector];
  if (gHost.options->verbose) std::printf("pmhost: calling %s\n", gSelectorName);
  {
    const TimedSpan timed(gHost.moduleTicks);
    entry(selector, r, &gDataSlot, &result);
  }
  if (selector == filterSelectorStart) EndBar();
  gSelectorName = "none";
  gParameters = r->parameters;
  CheckHostMembers(before, s.bytes.data(), kSelectorNames[selector]);
  if (std::memcmp(&bigBefore.imageSize32, &s.big.imageSize32, sizeof(VPoint) + sizeof(VRect)) != 0 ||
      std::memcmp(&bigBefore.wholeSize32, &s.big.wholeSize32, sizeof(VPoint)) != 0)
    ReportMisuse("the module changed the host's image size or filter rectangle in bigDocumentData during %s",
                 kSelectorNames[selector]);
  CheckLockedHandles((std::string("after ") + kSelectorNames[selector]).c_str());
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
  gHost.startTicks = GetTickCount64();
  auto finishRun = [&](bool ok) {
    EndBar();
    if (storage.errorString[0] != 0)
      std::printf("pmhost: the module's error text: %.*s\n", storage.errorString[0], storage.errorString + 1);
    if (r->descriptorParameters != nullptr && r->descriptorParameters->descriptor != nullptr) {
      Handle d = r->descriptorParameters->descriptor;
      const std::string text = DescribeDescriptorHandle(d);
      if (text.empty()) ReportMisuse("descriptorParameters->descriptor holds %p, not a descriptor handle of this host", static_cast<void*>(d));
      else std::printf("pmhost: scripting descriptor: %s (recordInfo %d)\n", text.c_str(), r->descriptorParameters->recordInfo);
      if (IsHostHandle(d)) HostDisposeHandle(d);
    }
    std::printf("pmhost: %d advanceState call(s), %d progress report(s), %d abort check(s)\n", gHost.advanceCalls,
                gHost.progressCalls, gHost.abortCalls);
    if (o.timing) {
      if (gDialogHook != nullptr) UnhookWindowsHookEx(gDialogHook);
      gDialogHook = nullptr;
      gOpenDialogs.clear();
      const LONGLONG own = gHost.moduleTicks - gHost.advanceTicks - gHost.callbackTicks - gHost.dialogTicks;
      std::printf("pmhost: timing: module %.1f ms (in its calls %.1f ms, less advanceState %.1f ms, progress and abort "
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
      std::fprintf(stderr, "pmhost: the module still asks for data after %d continue calls; stopping\n", calls);
      outcome.hostError = true;
      return finishRun(false);
    }
    const OSErr err = DeliverRequests();
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

void EndProgressLine() { EndBar(); }

RunOutcome RunFilter(PluginEntry entry, const PiplInfo* pipl, PlanarImage& image, const RunOptions& options,
                     void* hostWindow) {
  RunOutcome outcome;
  for (int32_t run = 1; run <= options.runs; ++run) {
    RunDocument doc;
    if (!PrepareDocument(doc, image, pipl, options, outcome)) return outcome;
    if (run == 1)
      std::printf("pmhost: %d x %d, %d plane(s) of %d bits, %s, filter case %d, filter rectangle %s, tiles %d x %d\n",
                  image.width, image.height, image.Channels(), image.depth, ModeName(doc.mode).c_str(), doc.filterCase,
                  RectText(doc.filterRect).c_str(), options.tileWidth, options.tileHeight);
    if (options.runs > 1) std::printf("pmhost: run %d of %d\n", run, options.runs);
    const bool ok = RunOnce(entry, doc, options, hostWindow, options.callParameters && run == 1, outcome);
    image = doc.destination;
    if (!ok) return outcome;
    size_t changed = 0, total = 0;
    for (int32_t p = 0; p < image.Channels(); ++p)
      for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x, ++total) changed += image.Sample(p, x, y) != doc.original.Sample(p, x, y);
    std::printf("pmhost: %zu of %zu samples changed\n", changed, total);
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
  const std::vector<uint8_t> before = bytes;
  int16_t result = 0;
  gSelectorName = "about";
  entry(filterSelectorAbout, about, &gDataSlot, &result);
  gSelectorName = "none";
  if (bytes != before) ReportMisuse("the module wrote into the AboutRecord");
  CheckLockedHandles("after about");
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
