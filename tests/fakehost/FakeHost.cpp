#include "FakeHost.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>

#include "entry/PluginMain.h"

namespace fakehost {

namespace {

FakeHost* gCurrent = nullptr;

constexpr size_t kGuardBytes = 16;
constexpr uint32_t kHandleMagic = 0x48444C45;  // 'HDLE'

// A guard byte depends on its position, so a write of any single value is seen.
uint8_t GuardByte(size_t i) { return static_cast<uint8_t>(i * 131u + 0x5Bu); }

std::string RectText(const VRect& r) {
  std::ostringstream s;
  s << "(" << r.top << "," << r.left << "," << r.bottom << "," << r.right << ")";
  return s.str();
}

bool Empty(const VRect& r) { return int64_t(r.bottom) - r.top <= 0 || int64_t(r.right) - r.left <= 0; }

VRect Widen(const Rect& r) { return VRect{r.top, r.left, r.bottom, r.right}; }

// Offsets of the FilterRecord members the module may write outside about.
struct Range {
  size_t offset, size;
};
#define PM_MEMBER(m) Range{offsetof(FilterRecord, m), sizeof(FilterRecord::m)}
const Range kModuleWritable[] = {
    PM_MEMBER(parameters), PM_MEMBER(maxSpace),   PM_MEMBER(bufferSpace), PM_MEMBER(inRect),
    PM_MEMBER(inLoPlane),  PM_MEMBER(inHiPlane),  PM_MEMBER(outRect),     PM_MEMBER(outLoPlane),
    PM_MEMBER(outHiPlane), PM_MEMBER(maskRect),   PM_MEMBER(inputRate),   PM_MEMBER(maskRate),
    // Written by this host itself in advanceState.
    PM_MEMBER(inData), PM_MEMBER(inRowBytes), PM_MEMBER(outData), PM_MEMBER(outRowBytes), PM_MEMBER(maskData),
    PM_MEMBER(maskRowBytes),
};
#undef PM_MEMBER

bool InRanges(size_t offset, const Range* begin, const Range* end) {
  return std::any_of(begin, end, [&](const Range& r) { return offset >= r.offset && offset < r.offset + r.size; });
}

template <typename T>
void CompareBytes(const T& before, const T& after, const char* what, const Range* allowedBegin,
                  const Range* allowedEnd, FakeHost& host) {
  const auto* b = reinterpret_cast<const uint8_t*>(&before);
  const auto* a = reinterpret_cast<const uint8_t*>(&after);
  for (size_t i = 0; i < sizeof(T); ++i) {
    if (b[i] == a[i] || InRanges(i, allowedBegin, allowedEnd)) continue;
    std::ostringstream s;
    s << what << " byte " << i << " written (" << int(b[i]) << " -> " << int(a[i]) << ")";
    host.Flag(s.str());
    return;  // one report per record is enough to find the member
  }
}

}  // namespace

struct FakeHost::HandleRecord {
  uint32_t magic = kHandleMagic;
  int id = 0;
  int32_t size = 0;
  std::unique_ptr<uint8_t[]> bytes;  // exactly `size` bytes: the sanitizer sees overruns
  int locks = 0;
  bool disposed = false;
};

struct FakeHost::Delivery {
  // One delivered buffer: guard bytes, then `height` rows of `rowBytes`, of
  // which the first `rowWidth` bytes are pixels, then guard bytes.
  struct Buffer {
    bool present = false;
    VRect rect{};
    int lo = 0, planes = 0;
    int32_t rowWidth = 0, rowBytes = 0, height = 0;  // rowBytes: the distance between rows, positive
    bool bottomUp = false;  // the top row is the last in memory; the module is given negative row bytes
    std::vector<uint8_t> bytes, pristine;

    int32_t MemoryRow(int32_t y) const { return bottomUp ? height - 1 - y : y; }
    size_t PixelIndex(int32_t y, int32_t x) const {
      return kGuardBytes + size_t(MemoryRow(y)) * size_t(rowBytes) + size_t(x);
    }
    // Where the module is told the buffer starts: the top row's first pixel.
    uint8_t* TopRow() { return bytes.data() + PixelIndex(0, 0); }
    bool IsPixel(size_t i) const {
      if (i < kGuardBytes) return false;
      const size_t inside = i - kGuardBytes;
      if (inside >= size_t(height) * size_t(rowBytes)) return false;
      return inside % size_t(rowBytes) < size_t(rowWidth);
    }
  };
  Buffer in, out, mask;
};

std::string Event::Describe() const {
  std::ostringstream s;
  switch (kind) {
    case Ev::NewHandle: s << "newProc(" << a << ") -> " << handle; break;
    case Ev::DisposeHandle: s << "disposeProc(" << handle << ")"; break;
    case Ev::Lock: s << "lockProc(" << handle << ")" << (ok ? "" : " refused"); break;
    case Ev::Unlock: s << "unlockProc(" << handle << ")" << (ok ? "" : " (was not locked)"); break;
    case Ev::AdvanceState:
      s << "advanceState in" << RectText(in) << " out" << RectText(out) << " mask" << RectText(mask) << " planes "
        << inLo << "-" << inHi << "/" << outLo << "-" << outHi << (rects32 ? " 32-bit" : " 16-bit") << " -> " << a;
      break;
    case Ev::Progress: s << "progress(" << a << ", " << b << ")"; break;
    case Ev::Abort: s << "abort -> " << a; break;
    case Ev::Note: s << text; break;
  }
  return s.str();
}

FakeHost::FakeHost(const Options& options)
    : options_(options),
      record_(new FilterRecord),
      about_(new Guarded<AboutRecord>),
      platform_(new PlatformData{nullptr}),
      data_(new intptr_t(0)),
      result_(new int16_t(0)) {
  gCurrent = this;
  FakeDialogs() = FakeDialogState{};

  // Members the module never uses hold a pattern, so a stray write shows.
  std::memset(static_cast<void*>(record_.get()), 0xCD, sizeof(FilterRecord));
  FilterRecord& r = *record_;
  r.serialNumber = 0x5E51A1;
  r.abortProc = &FakeHost::AbortProc;
  r.progressProc = &FakeHost::ProgressProc;
  r.parameters = nullptr;
  r.imageSize = Point{static_cast<int16_t>(options.height), static_cast<int16_t>(options.width)};
  r.planes = options.planes;
  r.maxSpace = 1 << 20;
  r.bufferSpace = 1 << 20;
  r.inRect = r.outRect = r.maskRect = Rect{0, 0, 0, 0};
  r.inLoPlane = r.inHiPlane = r.outLoPlane = r.outHiPlane = 0;
  r.inData = r.outData = r.maskData = nullptr;
  r.inRowBytes = r.outRowBytes = r.maskRowBytes = 0;
  r.isFloating = 0;
  r.haveMask = options.haveMask ? 1 : 0;
  r.autoMask = 0;
  r.hostProc = nullptr;
  r.imageMode = 3;
  r.platformData = platform_.get();
  r.bufferProcs = r.resourceProcs = nullptr;
  r.processEvent = nullptr;
  r.displayPixels = nullptr;
  handleProcs_ = HandleProcs{1,           8,           &NewProc,    &DisposeProc,      &GetSizeProc, &SetSizeProc,
                             &LockProc,   &UnlockProc, &RecoverSpaceProc, &DisposeRegularHandleProc};
  r.handleProcs = options.handleProcs ? &handleProcs_ : nullptr;
  r.premiereHook = nullptr;
  r.advanceState = &FakeHost::AdvanceState;
  r.getPropertyObsolete = nullptr;
  r.inputRate = r.maskRate = 0;
  r.colorServices = nullptr;
  r.imageServicesProcs = r.propertyProcs = nullptr;
  r.outTileHeight = options.tileHeight;
  r.outTileWidth = options.tileWidth;
  r.descriptorParameters = nullptr;
  r.errorString = nullptr;
  r.channelPortProcs = r.documentInfo = nullptr;
  r.sSPBasic = nullptr;
  r.plugInRef = nullptr;
  r.depth = options.depth;
  r.iCCprofileData = nullptr;
  r.hasImageScrap = 0;
  r.bigDocumentData = nullptr;

  for (size_t i = 0; i < sizeof(about_->tail); ++i) about_->tail[i] = GuardByte(i);
  about_->record = AboutRecord{platform_.get(), nullptr, nullptr};

  if (options.bigDocument) {
    big_.reset(new Guarded<BigDocumentStruct>);
    for (size_t i = 0; i < sizeof(big_->tail); ++i) big_->tail[i] = GuardByte(i);
    BigDocumentStruct& b = big_->record;
    b.PluginUsing32BitCoordinates = options.initial32BitFlag;
    b.imageSize32 = VPoint{options.height, options.width};
    b.inRect32 = b.outRect32 = b.maskRect32 = VRect{0, 0, 0, 0};
    b.floatCoord32 = VPoint{0x7A7A, 0x7A7A};
    b.wholeSize32 = VPoint{options.height, options.width};
    r.bigDocumentData = &b;
  }
  SetFilterRect(VRect{0, 0, options.height, options.width});

  const size_t planeSize = size_t(options.width) * size_t(options.height);
  source_.assign(planeSize * size_t(std::max<int16_t>(options.planes, 0)), 0);
  if (options.haveMask) mask_.assign(planeSize, 255);
  FillSource(1);
}

FakeHost::~FakeHost() {
  if (gCurrent == this) gCurrent = nullptr;
}

FakeHost* FakeHost::Current() { return gCurrent; }

void FakeHost::SetFilterRect(VRect rect) {
  record_->filterRect = Rect{static_cast<int16_t>(rect.top), static_cast<int16_t>(rect.left),
                             static_cast<int16_t>(rect.bottom), static_cast<int16_t>(rect.right)};
  if (big_) big_->record.filterRect32 = rect;
}

void FakeHost::SetBasicSuite(SPBasicSuite* suite) {
  record_->sSPBasic = suite;
  about_->record.sSPBasic = suite;
}

void FakeHost::SetDescriptorParameters(PIDescriptorParameters* parameters) {
  record_->descriptorParameters = parameters;
}

uint8_t& FakeHost::Source(int plane, int32_t y, int32_t x) {
  return source_[(size_t(plane) * size_t(options_.height) + size_t(y)) * size_t(options_.width) + size_t(x)];
}

uint8_t& FakeHost::Destination(int plane, int32_t y, int32_t x) {
  return destination_[(size_t(plane) * size_t(options_.height) + size_t(y)) * size_t(options_.width) + size_t(x)];
}

void FakeHost::FillSource(uint32_t seed) {
  std::mt19937 gen(seed);
  for (size_t i = 0; i < source_.size(); ++i) {
    // Every value, the edges 0 and 255 among them, turns up in a small image.
    source_[i] = (i % 7 == 0) ? static_cast<uint8_t>(255 - i % 3) : static_cast<uint8_t>(gen() & 0xFF);
  }
  destination_ = source_;
}

void FakeHost::Note(std::string text) {
  Event e;
  e.kind = Ev::Note;
  e.text = std::move(text);
  events_.push_back(std::move(e));
}

std::vector<Event> FakeHost::EventsOf(Ev kind) const {
  std::vector<Event> out;
  std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
               [&](const Event& e) { return e.kind == kind; });
  return out;
}

std::vector<std::string> FakeHost::Misuse() const {
  std::vector<std::string> all = misuse_;
  for (const auto& h : handles_)
    if (!h->disposed && h->locks > 0) all.push_back("handle " + std::to_string(h->id) + " is still locked");
  return all;
}

// ---- handles -------------------------------------------------------------

FakeHost::HandleRecord* FakeHost::Find(Handle h, const char* operation) {
  for (const auto& record : handles_) {
    if (reinterpret_cast<Handle>(record.get()) != h) continue;
    if (record->disposed) {
      Flag(std::string(operation) + " on disposed handle " + std::to_string(record->id));
      return nullptr;
    }
    return record.get();
  }
  Flag(std::string(operation) + " on a handle this host never made");
  return nullptr;
}

uint8_t* FakeHost::HandleData(Handle h) {
  for (const auto& record : handles_)
    if (reinterpret_cast<Handle>(record.get()) == h && !record->disposed) return record->bytes.get();
  return nullptr;
}

int FakeHost::LockCount(Handle h) {
  for (const auto& record : handles_)
    if (reinterpret_cast<Handle>(record.get()) == h) return record->locks;
  return -1;
}

int FakeHost::HandleId(Handle h) {
  for (const auto& record : handles_)
    if (reinterpret_cast<Handle>(record.get()) == h) return record->id;
  return 0;
}

Handle FakeHost::NewProc(int32_t size) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return nullptr;
  Event e;
  e.kind = Ev::NewHandle;
  e.a = size;
  ++host->newCalls_;
  if (size < 0 || host->newCalls_ == host->options_.newProcFailsAt) {
    e.ok = false;
    host->events_.push_back(e);
    return nullptr;
  }
  auto record = std::make_unique<HandleRecord>();
  record->id = static_cast<int>(host->handles_.size()) + 1;
  record->size = size;
  record->bytes.reset(new uint8_t[size_t(size)]);
  // Fresh host memory is not zeroed.
  std::memset(record->bytes.get(), 0xBE, size_t(size));
  e.handle = record->id;
  host->events_.push_back(e);
  Handle h = reinterpret_cast<Handle>(record.get());
  host->handles_.push_back(std::move(record));
  return h;
}

void FakeHost::DisposeProc(Handle h) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return;
  HandleRecord* record = host->Find(h, "disposeProc");
  Event e;
  e.kind = Ev::DisposeHandle;
  e.handle = record ? record->id : 0;
  host->events_.push_back(e);
  if (record == nullptr) return;
  record->disposed = true;
  record->locks = 0;
  record->bytes.reset();
}

void FakeHost::DisposeRegularHandleProc(Handle h) { DisposeProc(h); }

int32_t FakeHost::GetSizeProc(Handle h) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return 0;
  HandleRecord* record = host->Find(h, "getSizeProc");
  return record ? record->size : 0;
}

OSErr FakeHost::SetSizeProc(Handle h, int32_t size) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return -1;
  HandleRecord* record = host->Find(h, "setSizeProc");
  if (record == nullptr || size < 0) return filterBadParameters;
  if (record->locks > 0) {
    host->Flag("setSizeProc on locked handle " + std::to_string(record->id));
    return filterBadParameters;
  }
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size_t(size)]);
  std::memset(bytes.get(), 0xBE, size_t(size));
  std::memcpy(bytes.get(), record->bytes.get(), size_t(std::min(size, record->size)));
  record->bytes = std::move(bytes);
  record->size = size;
  return noErr;
}

void FakeHost::RecoverSpaceProc(int32_t) {}

Ptr FakeHost::LockProc(Handle h, Boolean) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return nullptr;
  ++host->lockCalls_;
  HandleRecord* record = host->Find(h, "lockProc");
  Event e;
  e.kind = Ev::Lock;
  e.handle = record ? record->id : 0;
  e.ok = record != nullptr && host->lockCalls_ != host->options_.lockProcFailsAt;
  host->events_.push_back(e);
  if (!e.ok) return nullptr;
  ++record->locks;
  return reinterpret_cast<Ptr>(record->bytes.get());
}

void FakeHost::UnlockProc(Handle h) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return;
  HandleRecord* record = host->Find(h, "unlockProc");
  Event e;
  e.kind = Ev::Unlock;
  e.handle = record ? record->id : 0;
  e.ok = record != nullptr && record->locks > 0;
  host->events_.push_back(e);
  // Hosts that count locks go below zero here, and some then let a block
  // move while the module still holds a pointer into it; the module must
  // give back only the locks it took.
  if (!e.ok) {
    if (record != nullptr) host->Flag("unlockProc on handle " + std::to_string(record->id) + ", which is not locked");
    return;
  }
  if (--record->locks == 0 && host->options_.moveOnUnlock) {
    // An unlocked block may move: a pointer kept past the unlock now points
    // at freed memory, which the sanitizer reports.
    std::unique_ptr<uint8_t[]> moved(new uint8_t[size_t(record->size)]);
    std::memcpy(moved.get(), record->bytes.get(), size_t(record->size));
    record->bytes = std::move(moved);
  }
}

// ---- filter callbacks ----------------------------------------------------

void FakeHost::ProgressProc(int32_t done, int32_t total) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return;
  Event e;
  e.kind = Ev::Progress;
  e.a = done;
  e.b = total;
  host->events_.push_back(e);
}

Boolean FakeHost::AbortProc() {
  FakeHost* host = gCurrent;
  if (host == nullptr) return 0;
  ++host->abortCalls_;
  const int after = host->options_.abortAfterTiles;
  Event e;
  e.kind = Ev::Abort;
  e.a = (after > 0 && host->abortCalls_ >= after) ? 1 : 0;
  host->events_.push_back(e);
  return static_cast<Boolean>(e.a);
}

OSErr FakeHost::AdvanceState() {
  FakeHost* host = gCurrent;
  if (host == nullptr) return -1;
  return host->Deliver();
}

OSErr FakeHost::Deliver() {
  // The previous delivery's output goes back into the document first.
  EndDelivery();
  FilterRecord& r = *record_;
  BigDocumentStruct* big = r.bigDocumentData;
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
  ++advanceCalls_;

  auto finish = [&](OSErr code) {
    e.a = code;
    events_.push_back(e);
    return code;
  };
  if (advanceCalls_ == options_.advanceFailsAt) return finish(options_.advanceError);

  const int imagePlanes = std::max<int16_t>(options_.planes, 0);
  auto rectInside = [&](const VRect& rect) {
    return rect.top >= 0 && rect.left >= 0 && rect.bottom <= options_.height && rect.right <= options_.width;
  };
  for (const VRect* rect : {&e.in, &e.out, &e.mask}) {
    if (!Empty(*rect) && !rectInside(*rect)) {
      Flag("advanceState: requested rectangle " + RectText(*rect) + " lies outside the image");
      return finish(filterBadParameters);
    }
  }
  auto planesValid = [&](int lo, int hi) { return lo > hi || (lo >= 0 && hi < imagePlanes); };
  if (!planesValid(e.inLo, e.inHi) || !planesValid(e.outLo, e.outHi)) {
    Flag("advanceState: requested planes outside the image");
    return finish(filterBadParameters);
  }

  auto d = std::make_unique<Delivery>();
  auto build = [&](Delivery::Buffer& b, const VRect& rect, int lo, int hi, const std::vector<uint8_t>* planes,
                   int32_t planeCount) {
    if (Empty(rect) || lo > hi) return;
    b.present = true;
    b.rect = rect;
    b.lo = lo;
    b.planes = hi - lo + 1;
    const int32_t width = rect.right - rect.left;
    b.height = rect.bottom - rect.top;
    b.rowWidth = width * b.planes;
    b.rowBytes = b.rowWidth + options_.rowPadding;
    b.bottomUp = options_.bottomUp;
    b.bytes.resize(2 * kGuardBytes + size_t(b.height) * size_t(b.rowBytes));
    for (size_t i = 0; i < b.bytes.size(); ++i) b.bytes[i] = GuardByte(i);
    for (int32_t y = 0; y < b.height; ++y)
      for (int32_t x = 0; x < width; ++x)
        for (int p = 0; p < b.planes; ++p) {
          const size_t plane = planeCount == 1 ? 0 : size_t(lo + p);
          const size_t at = (plane * size_t(options_.height) + size_t(rect.top + y)) * size_t(options_.width) +
                            size_t(rect.left + x);
          b.bytes[b.PixelIndex(y, x * b.planes + p)] = planes->empty() ? 255 : (*planes)[at];
        }
    b.pristine = b.bytes;
  };
  build(d->in, e.in, e.inLo, e.inHi, &source_, imagePlanes);
  build(d->out, e.out, e.outLo, e.outHi, &destination_, imagePlanes);
  if (r.haveMask != 0) build(d->mask, e.mask, 0, 0, &mask_, 1);

  // Packed members: assigned by name, never bound to references.
  auto dataOf = [&](Delivery::Buffer& b, bool lieNull) -> void* { return (b.present && !lieNull) ? b.TopRow() : nullptr; };
  auto rowBytesOf = [&](const Delivery::Buffer& b) -> int32_t {
    if (!b.present) return 0;
    const int32_t distance = lies_.rowBytesShort > 0 ? b.rowWidth - lies_.rowBytesShort : b.rowBytes;
    return b.bottomUp ? -distance : distance;
  };
  r.inData = dataOf(d->in, lies_.nullIn);
  r.inRowBytes = rowBytesOf(d->in);
  r.outData = dataOf(d->out, lies_.nullOut);
  r.outRowBytes = rowBytesOf(d->out);
  r.maskData = dataOf(d->mask, lies_.nullMask);
  r.maskRowBytes = rowBytesOf(d->mask);
  if (lies_.outRectGrowth != 0) {
    VRect grown = e.out;
    grown.bottom += lies_.outRectGrowth;
    grown.right += lies_.outRectGrowth;
    if (e.rects32)
      big->outRect32 = grown;
    else
      r.outRect = Rect{static_cast<int16_t>(grown.top), static_cast<int16_t>(grown.left),
                       static_cast<int16_t>(grown.bottom), static_cast<int16_t>(grown.right)};
  }
  delivery_ = std::move(d);
  return finish(noErr);
}

void FakeHost::EndDelivery() {
  if (!delivery_) return;
  Delivery& d = *delivery_;
  auto checkAll = [&](Delivery::Buffer& b, const char* what) {
    if (b.present && b.bytes != b.pristine) Flag(std::string(what) + " buffer written by the module");
  };
  checkAll(d.in, "input");
  checkAll(d.mask, "mask");
  if (d.out.present) {
    Delivery::Buffer& b = d.out;
    for (size_t i = 0; i < b.bytes.size(); ++i) {
      if (!b.IsPixel(i) && b.bytes[i] != b.pristine[i]) {
        Flag("output guard byte " + std::to_string(i) + " of tile " + RectText(b.rect) + " written");
        break;
      }
    }
    const int32_t width = b.rect.right - b.rect.left;
    for (int32_t y = 0; y < b.height; ++y)
      for (int32_t x = 0; x < width; ++x)
        for (int p = 0; p < b.planes; ++p)
          Destination(b.lo + p, b.rect.top + y, b.rect.left + x) = b.bytes[b.PixelIndex(y, x * b.planes + p)];
  }
  FilterRecord& r = *record_;
  r.inData = r.outData = r.maskData = nullptr;
  delivery_.reset();
}

// ---- calls ---------------------------------------------------------------

void FakeHost::CheckUnchanged(int16_t selector) {
  const Range* allowedBegin = std::begin(kModuleWritable);
  const Range* allowedEnd = std::end(kModuleWritable);
  if (selector == filterSelectorAbout) allowedEnd = allowedBegin;
  CompareBytes(recordBefore_, *record_, "FilterRecord", allowedBegin, allowedEnd, *this);
  CompareBytes(aboutBefore_, *about_, "AboutRecord", allowedBegin, allowedBegin, *this);
  CompareBytes(platformBefore_, *platform_, "PlatformData", allowedBegin, allowedBegin, *this);
  if (big_) {
    const Range bigWritable[] = {{offsetof(BigDocumentStruct, PluginUsing32BitCoordinates), 4},
                                 {offsetof(BigDocumentStruct, inRect32), 3 * sizeof(VRect)}};
    const Range* bigEnd = selector == filterSelectorAbout ? std::begin(bigWritable) : std::end(bigWritable);
    CompareBytes(bigBefore_, *big_, "BigDocumentStruct", std::begin(bigWritable), bigEnd, *this);
  }
}

int16_t FakeHost::Call(int16_t selector) {
  gCurrent = this;
  recordBefore_ = *record_;
  aboutBefore_ = *about_;
  platformBefore_ = *platform_;
  if (big_) bigBefore_ = *big_;
  void* target = selector == filterSelectorAbout ? static_cast<void*>(&about_->record)
                                                 : static_cast<void*>(record_.get());
  PluginMain(selector, target, data_.get(), result_.get());
  CheckUnchanged(selector);
  EndDelivery();

  for (const auto& h : handles_)
    if (!h->disposed && h->locks > 0)
      Flag("handle " + std::to_string(h->id) + " left locked after selector " + std::to_string(selector));
  // What the module leaves in the host's slots must be the host's own handles.
  if (*data_ != 0 && HandleData(reinterpret_cast<Handle>(*data_)) == nullptr)
    Flag("data slot holds something other than a live handle");
  if (record_->parameters != nullptr && HandleData(record_->parameters) == nullptr)
    Flag("parameters holds something other than a live handle");
  return *result_;
}

int16_t FakeHost::RunFilter(bool withParameters) {
  const int16_t selectors[] = {filterSelectorParameters, filterSelectorPrepare, filterSelectorStart,
                               filterSelectorContinue, filterSelectorFinish};
  for (int16_t selector : selectors) {
    if (selector == filterSelectorParameters && !withParameters) continue;
    *result_ = 0;  // hosts clear the result before each call
    const int16_t code = Call(selector);
    if (code != noErr) return code;
  }
  return noErr;
}

}  // namespace fakehost
