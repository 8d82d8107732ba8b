// The FilterRecord a run hands the module, the checks of what the module
// changed in it, and the progress and cancel procedures it carries.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "Console.h"
#include "HostServices.h"
#include "RunState.h"

namespace pmsession {

constexpr uint32_t kHostSignature = 0x504D4853;  // 'PMHS'

// ---- progress, cancel --------------------------------------------------------

void ProgressProc(int32_t done, int32_t total) {
  LeaveHereIfPlanned("progressProc");
  const TimedSpan timed(gHost.callbackTicks);
  ++gHost.progressCalls;
  gHost.lastDone = done;
  gHost.lastTotal = total;
  NoteCall(hostkit::Event::Progress(done, total), "progressProc");
  // A host draws done / total: a total of 0 or less divides by nothing, done
  // past the total is more work than the module said there was (a host that
  // sizes by it reads or writes past the end), done below 0 a bar before its
  // start.
  if (total <= 0) ReportMisuse("progressProc called with a total of %d", total);
  else if (done > total) ReportMisuse("progressProc called with done %d above its total %d", done, total);
  else if (done < 0) ReportMisuse("progressProc called with done %d, below 0 (its total %d)", done, total);
  BarProgress(done, total);
}

Boolean AbortProc() {
  LeaveHereIfPlanned("abortProc");
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
void FillRecord(RecordStorage& s, const RunDocument& doc, const RunOptions& o, void* hostWindow) {
  s.bytes.assign(sizeof(FilterRecord) + kRecordTail, 0);
  std::fill(s.bytes.begin() + sizeof(FilterRecord), s.bytes.end(), kGuardByte);
  FilterRecord* r = s.Record();
  const PlanarImage& img = doc.original;
  const auto planes = static_cast<int16_t>(img.Channels());
  r->serialNumber = 0;
  r->abortProc = AbortProc;
  r->progressProc = ProgressProc;
  r->parameters = gParameters;
  r->planes = planes;
  // The filter rectangle where the image lies in the module's coordinates;
  // an origin past zero stands for the far end of a larger document.
  const int32_t ov = o.originV, oh = o.originH;
  const VRect area{doc.filterRect.top + ov, doc.filterRect.left + oh, doc.filterRect.bottom + ov,
                   doc.filterRect.right + oh};
  const VPoint size{img.height + std::max(ov, 0), img.width + std::max(oh, 0)};
  r->imageSize = Point{Clamp16(size.v), Clamp16(size.h)};
  r->filterRect = Rect{Clamp16(area.top), Clamp16(area.left), Clamp16(area.bottom), Clamp16(area.right)};
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
    s.big.imageSize32 = size;
    s.big.filterRect32 = area;
    s.big.wholeSize32 = s.big.imageSize32;
    r->bigDocumentData = &s.big;
  }
}

}  // namespace pmsession
