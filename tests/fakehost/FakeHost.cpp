#include "FakeHost.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <sstream>

#include "PlaneDelivery.h"
#include "entry/PluginMain.h"

namespace fakehost {

namespace {

FakeHost* gCurrent = nullptr;

using hostkit::GuardByte;
using hostkit::Range;
using hostkit::TileBuffer;

bool Empty(const VRect& r) { return int64_t(r.bottom) - r.top <= 0 || int64_t(r.right) - r.left <= 0; }


}  // namespace

FakeHost::FakeHost(const Options& options)
    : options_(options),
      record_(new FilterRecord),
      about_(new Guarded<AboutRecord>),
      platform_(new PlatformData{nullptr}),
      data_(new intptr_t(0)),
      result_(new int16_t(0)) {
  gCurrent = this;
  suites_ = std::make_unique<hostkit::Suites>(log_, misuse_, handles_, options.suites.value_or(hostkit::Capabilities{}));
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
  if (options.suites) {
    // The record keeps this host's handle procedures; the suites' switch for
    // a host without disposeProc applies to them.
    if (!options.suites->disposeProc) handleProcs_.disposeProc = nullptr;
    suites_->Attach(r);
    about_->record.sSPBasic = r.sSPBasic;
    suites_->MakeCurrent();
  }

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
  // Changed during a call (from a callback), the rectangle is the host's own
  // change, not the module's: what the module wrote up to here is checked
  // first, then the copies that later checks compare with are taken again.
  if (callSelector_) CheckUnchanged(*callSelector_);
  record_->filterRect = Rect{static_cast<int16_t>(rect.top), static_cast<int16_t>(rect.left),
                             static_cast<int16_t>(rect.bottom), static_cast<int16_t>(rect.right)};
  if (big_) big_->record.filterRect32 = rect;
  if (callSelector_) TakeCopies();
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

std::vector<std::string> FakeHost::Misuse() const {
  return suites_->Misuse();
}

// ---- handles: the kit's table, with this host's planned failures ------------

uint8_t* FakeHost::HandleData(Handle h) { return handles_.Bytes(h); }
int FakeHost::LockCount(Handle h) { return handles_.LockCount(h); }
int FakeHost::HandleId(Handle h) { return handles_.Id(h); }

Handle FakeHost::NewProc(int32_t size) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return nullptr;
  const bool planned = host->faults_.Fails("newProc");
  const int n = host->faults_.Calls("newProc");
  if (n == host->options_.newProcThrowsAt) {
    Event e;
    e.kind = Ev::NewHandle;
    e.a = size;
    e.ok = false;
    e.text = "threw std::bad_alloc";
    host->log_.Add(e);
    throw std::bad_alloc();
  }
  return host->handles_.New(size, planned || n == host->options_.newProcFailsAt);
}

void FakeHost::DisposeProc(Handle h) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return;
  host->handles_.Dispose(h);
}

void FakeHost::DisposeRegularHandleProc(Handle h) { DisposeProc(h); }

int32_t FakeHost::GetSizeProc(Handle h) {
  FakeHost* host = gCurrent;
  return host == nullptr ? 0 : host->handles_.GetSize(h);
}

OSErr FakeHost::SetSizeProc(Handle h, int32_t size) {
  FakeHost* host = gCurrent;
  return host == nullptr ? OSErr(-1) : host->handles_.SetSize(h, size);
}

void FakeHost::RecoverSpaceProc(int32_t) {}

Ptr FakeHost::LockProc(Handle h, Boolean) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return nullptr;
  const bool planned = host->faults_.Fails("lockProc");
  return host->handles_.Lock(h, planned || host->faults_.Calls("lockProc") == host->options_.lockProcFailsAt);
}

void FakeHost::UnlockProc(Handle h) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return;
  host->handles_.moveOnUnlock = host->options_.moveOnUnlock;
  host->handles_.Unlock(h);
}

// ---- filter callbacks ----------------------------------------------------

void FakeHost::ProgressProc(int32_t done, int32_t total) {
  FakeHost* host = gCurrent;
  if (host == nullptr) return;
  host->log_.Add(Event::Progress(done, total));
}

Boolean FakeHost::AbortProc() {
  FakeHost* host = gCurrent;
  if (host == nullptr) return 0;
  ++host->abortCalls_;
  const int after = host->options_.abortAfterTiles;
  const bool answer = after > 0 && host->abortCalls_ >= after;
  host->log_.Add(Event::Abort(answer));
  return static_cast<Boolean>(answer);
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
  // The request as every kit host reads it: the 32-bit rectangles once the
  // module says it uses them, else the 16-bit ones.
  Event e = hostkit::ReadRequest(r);
  const bool planned = faults_.Fails("advanceState");

  auto finish = [&](OSErr code) {
    e.a = code;
    log_.Add(e);
    return code;
  };
  if (planned || faults_.Calls("advanceState") == options_.advanceFailsAt) return finish(options_.advanceError);

  const int imagePlanes = std::max<int16_t>(options_.planes, 0);
  // A rectangle outside the image or planes outside it: misuse, named with
  // the request that made it, and refused.
  if (auto outside = hostkit::RequestOutside(e, options_.height, options_.width, imagePlanes)) {
    finish(filterBadParameters);
    Flag(*outside);
    return filterBadParameters;
  }

  auto d = std::make_unique<Delivery>();
  auto build = [&](TileBuffer& b, const VRect& rect, int lo, int hi, const std::vector<uint8_t>* planes,
                   int32_t planeCount) {
    if (Empty(rect) || lo > hi) return;
    b.Build(rect, lo, hi - lo + 1, options_.rowPadding, options_.bottomUp, [&](int32_t y, int32_t x, int p) {
      const size_t plane = planeCount == 1 ? 0 : size_t(lo + p);
      const size_t at =
          (plane * size_t(options_.height) + size_t(rect.top + y)) * size_t(options_.width) + size_t(rect.left + x);
      return planes->empty() ? uint8_t{255} : (*planes)[at];
    });
  };
  build(d->in, e.in, e.inLo, e.inHi, &source_, imagePlanes);
  build(d->out, e.out, e.outLo, e.outHi, &destination_, imagePlanes);
  if (r.haveMask != 0) build(d->mask, e.mask, 0, 0, &mask_, 1);

  // Packed members: assigned by name, never bound to references.
  auto dataOf = [&](TileBuffer& b, bool lieNull) -> void* { return (b.present && !lieNull) ? b.TopRow() : nullptr; };
  r.inData = dataOf(d->in, lies_.nullIn);
  r.inRowBytes = d->in.ToldRowBytes(lies_.rowBytesShort);
  r.outData = dataOf(d->out, lies_.nullOut);
  r.outRowBytes = d->out.ToldRowBytes(lies_.rowBytesShort);
  r.maskData = dataOf(d->mask, lies_.nullMask);
  r.maskRowBytes = d->mask.ToldRowBytes(lies_.rowBytesShort);
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
  for (const auto& written : {d.in.WrittenAnywhere("input"), d.mask.WrittenAnywhere("mask"), d.out.GuardWritten("output")})
    if (written) Flag(*written);
  if (d.out.present) {
    TileBuffer& b = d.out;
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
  const bool about = selector == filterSelectorAbout;
  const std::vector<Range> nothing;
  const std::string context = "selector " + std::to_string(selector);
  auto report = [&](const std::optional<std::string>& written) {
    if (written) misuse_.Flag(*written, context);
  };
  report(recordBefore_.Compare(record_.get(), "FilterRecord", about ? nothing : hostkit::FilterRecordWritable()));
  report(aboutBefore_.Compare(about_.get(), "AboutRecord", nothing));
  report(platformBefore_.Compare(platform_.get(), "PlatformData", nothing));
  if (scriptingGuarded_ != nullptr) {
    // Of the scripting parameters the module hands back only the descriptor
    // and what the host is to do with it.
    const std::vector<Range> scriptingWritable = {
        {offsetof(PIDescriptorParameters, descriptor), sizeof(PIDescriptorParameters::descriptor)},
        {offsetof(PIDescriptorParameters, recordInfo), sizeof(PIDescriptorParameters::recordInfo)}};
    report(scriptingBefore_.Compare(scriptingGuarded_, "PIDescriptorParameters",
                                    about ? nothing : scriptingWritable));
  }
  if (big_) {
    const std::vector<Range> bigWritable = {{offsetof(BigDocumentStruct, PluginUsing32BitCoordinates), 4},
                                            {offsetof(BigDocumentStruct, inRect32), 3 * sizeof(VRect)}};
    report(bigBefore_.Compare(big_.get(), "BigDocumentStruct", about ? nothing : bigWritable));
  }
}

void FakeHost::TakeCopies() {
  recordBefore_.Take(record_.get(), sizeof(FilterRecord));
  aboutBefore_.Take(about_.get(), sizeof(Guarded<AboutRecord>));
  platformBefore_.Take(platform_.get(), sizeof(PlatformData));
  if (big_) bigBefore_.Take(big_.get(), sizeof(Guarded<BigDocumentStruct>));
  scriptingGuarded_ = record_->descriptorParameters;
  if (scriptingGuarded_ != nullptr) scriptingBefore_.Take(scriptingGuarded_, sizeof(PIDescriptorParameters));
}

int16_t FakeHost::Call(int16_t selector) {
  gCurrent = this;
  TakeCopies();
  const std::optional<int16_t> outer = callSelector_;
  callSelector_ = selector;
  if (options_.suites) suites_->MakeCurrent();
  void* target = selector == filterSelectorAbout ? static_cast<void*>(&about_->record)
                                                 : static_cast<void*>(record_.get());
  PluginMain(selector, target, data_.get(), result_.get());
  callSelector_ = outer;
  CheckUnchanged(selector);
  EndDelivery();

  handles_.Check("after selector " + std::to_string(selector));
  suites_->Check("after selector " + std::to_string(selector));
  // What the module leaves in the host's slots must be the host's own handles.
  if (*data_ != 0 && HandleData(reinterpret_cast<Handle>(*data_)) == nullptr)
    Flag("data slot holds something other than a live handle");
  if (record_->parameters != nullptr && HandleData(record_->parameters) == nullptr)
    Flag("parameters holds something other than a live handle");
  return *result_;
}

void FakeHost::Abandoned() {
  callSelector_.reset();
  EndDelivery();
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
