// The fuzz host. One input is one session: a few session-wide choices (which
// callbacks and suites exist, what the registry holds), then up to kMaxCalls
// PluginMain calls, each with its own header (selector, slots, record changes).
// Every callback takes its own decisions (fail or not, how) from the bytes that
// follow, in the order the module calls them; an exhausted input answers 0,
// which always means "behave normally".
//
// The host owns every byte the module may touch and checks after each call:
// records, tables and buffers changed only where the module may write, guard
// bytes intact, handles unlocked, suites released, descriptors and write tokens
// freed, no handle leaked or disposed of wrongly, and a result the module may
// store. Any violation prints one line and traps.
//
// The rules it shares with the other test hosts come from the host kit: its
// handle table (lock counts, blocks that move on their last unlock, resizing
// or disposing while locked, exact-size blocks), the call log, the misuse log
// (the first misuse, with the call that made it, is what stops the session)
// and the fault plan, whose "next input byte decides" form is the input this
// host reads every choice from.
#include "HostSuiteNames.h"
#include "HostKit.h"
#include "FuzzHost.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/HostApi.h"

extern "C" void PluginMain(int16_t selector, void* record, intptr_t* data, int16_t* result);

namespace {

constexpr int kMaxCalls = 12;
// Host-side bounds that keep a session short whatever the rectangles say: past
// kStepBudget tile steps abortProc answers "cancel" and advanceState fails, and
// advanceState refuses buffers beyond kMaxBufferBytes or kMaxSessionBytes.
constexpr int kStepBudget = 64;
constexpr int64_t kMaxBufferBytes = 8 * 1024;
constexpr int64_t kMaxSessionBytes = 96 * 1024;
constexpr int32_t kMaxSide = 2000000;  // the largest height and width the filter accepts

using hostkit::kFileListSuiteName;
using hostkit::kRegistrySuiteName;
constexpr const char* kActionSuiteName = hostkit::kDescriptorSuiteName;
const char kSettingsKey[] = "723b5e70-4e05-11de-8a39-0800200c9a66";
constexpr DescriptorKeyID kKeyDith = FourCC("dith");

[[noreturn]] void Violation(const char* what);

void Require(bool ok, const char* what) {
  if (!ok) Violation(what);
}

// Every choice the host makes is the next byte of the input, taken from the
// kit's fault plan; pass-or-fail decisions go through FaultPlan::Fails, which
// reads the same byte (odd fails). An exhausted input answers 0: behave.
class Reader {
 public:
  explicit Reader(hostkit::FaultPlan& plan) : plan_(plan) {}
  bool Empty() const { return plan_.Exhausted(); }
  bool Fails(const char* call) { return plan_.Fails(call); }
  uint8_t U8() { return plan_.NextByte(0); }
  uint16_t U16() {
    const unsigned lo = U8();
    const unsigned hi = U8();
    return static_cast<uint16_t>(lo | (hi << 8));
  }
  int16_t I16() { return static_cast<int16_t>(U16()); }
  uint32_t U32() {
    const uint32_t lo = U16();
    const uint32_t hi = U16();
    return lo | (hi << 16);
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }

 private:
  hostkit::FaultPlan& plan_;
};

// ---- host objects -----------------------------------------------------------

// What this host knows of a handle beyond the kit's table: who made it, when.
struct HandleOrigin {
  Handle handle = nullptr;
  int call = 0;                  // the call that created it
  bool createdByModule = false;  // through newProc
  bool createdByClose = false;   // a scripting descriptor from closeWriteDescriptorProc
};

struct DescriptorContent {
  bool hasDith = false;
  uint8_t dith = 0;
};

struct HostDescriptor {
  bool live = true;
  DescriptorContent content;
};

struct WriteToken {
  bool open = true;
  DescriptorContent content;
};

struct Delivery {
  bool active = false;
  int plane = 0;
  int32_t depth = 8;
  // The kit's guarded buffers: guard bytes around them and in every row's
  // padding, top-down or (when the session says so) bottom-up.
  hostkit::TileBuffer in, out, mask;
};

enum SuiteId { kRegistry = 0, kAction = 1, kFileList = 2, kSuiteCount = 3 };

struct Session {
  Session(const uint8_t* data, size_t size) { plan.DecideBy(std::vector<uint8_t>(data, data + size)); }
  hostkit::FaultPlan plan;
  Reader reader{plan};
  hostkit::CallLog log;
  hostkit::MisuseLog misuse;
  hostkit::HandleTable handles{log, misuse};
  std::vector<HandleOrigin> origins;
  int call = 0;
  int steps = 0;
  int64_t deliveredBytes = 0;

  std::unique_ptr<FilterRecord> record;
  std::unique_ptr<BigDocumentStruct> bigDoc;
  std::unique_ptr<AboutRecord> about;
  std::unique_ptr<PlatformData> platform;
  std::unique_ptr<HandleProcs> handleProcs;
  std::unique_ptr<PIDescriptorParameters> descriptorParameters;
  std::unique_ptr<WriteDescriptorProcs> writeProcs;
  std::unique_ptr<intptr_t> dataSlot;
  SPBasicSuite* basic = nullptr;
  bool offerBigDocument = true;
  bool offerFileList = true;
  bool actionOnlyVersion2 = false;
  bool bottomUp = false;  // buffers are delivered with the top row last

  std::vector<std::unique_ptr<HostDescriptor>> descriptors;
  std::vector<std::unique_ptr<WriteToken>> tokens;
  std::vector<std::unique_ptr<PSDescriptorRegistryProcs>> registryTables;
  std::vector<std::unique_ptr<PSActionDescriptorProcs>> actionTables;
  std::map<std::string, DescriptorContent> registry;

  int held[kSuiteCount] = {};
  int32_t heldVersion[kSuiteCount] = {};
  std::vector<int16_t> injected;  // advanceState codes handed out in this call
  int32_t lastProgress = 0;
  Delivery delivery;
  // The rectangles the host last wrote back into the record (clipped or
  // shrunk); a request that still holds them is the host's own.
  bool wroteBack = false;
  VRect wroteIn{}, wroteOut{}, wroteMask{};

  // Values at the start of the current call.
  Handle callParameters = nullptr;
  intptr_t callDataSlot = 0;
};

Session* gS = nullptr;

[[noreturn]] void Violation(const char* what) {
  std::fprintf(stderr, "fuzz host: module misused the host: %s\n", what);
  if (gS != nullptr) std::fprintf(stderr, "fuzz host: last host call: %s\n", gS->log.Last().c_str());
  std::fflush(stderr);
  __builtin_trap();
}

// Stops at the first misuse the kit recorded, naming the call that made it.
void CheckMisuse() {
  if (const auto first = gS->misuse.First()) Violation((first->what + " (in " + first->call + ")").c_str());
}
// The file-list suite may stay held from one session to the next, as from one
// call to the next, until the module is unloaded.
int gFileListHeld = 0;

// The one file-list suite table outlives every session: the module may hold it
// until it is unloaded and release it then through the last basic suite.
SPErr HostBrowseUrl(const char* url) {
  Require(url != nullptr && std::strlen(url) < 2048, "BrowseUrl without a short terminated address");
  return 0;
}
PSGetFileListSuite4 gFileListTable{nullptr, nullptr, nullptr, HostBrowseUrl};

// ---- handles ---------------------------------------------------------------

bool LiveHandle(Handle h) { return h != nullptr && gS->handles.Live(h); }

HandleOrigin* OriginOf(Handle h) {
  for (HandleOrigin& o : gS->origins)
    if (o.handle == h) return &o;
  return nullptr;
}

// A block the host makes itself (descriptors, copies), filled with `fill`.
Handle MakeHandle(int32_t size, uint8_t fill) {
  Handle h = gS->handles.New(size);
  std::memset(gS->handles.Bytes(h), fill, static_cast<size_t>(size));
  gS->origins.push_back({h, gS->call});
  return h;
}

// A fresh copy of a block, as hosts that copy the blocks between runs hand back.
Handle CopyHandle(Handle h) {
  if (!LiveHandle(h)) return h;
  const int32_t size = gS->handles.GetSize(h);
  Handle copy = MakeHandle(size, 0);
  std::memcpy(gS->handles.Bytes(copy), gS->handles.Bytes(h), static_cast<size_t>(size));
  gS->handles.Dispose(h);
  CheckMisuse();
  return copy;
}

Handle HostNewHandle(int32_t size) {
  Require(size >= 0 && size <= 1 << 20, "newProc asked for a negative or huge size");
  Handle h = gS->handles.New(size, gS->reader.Fails("newProc"));
  if (h != nullptr) gS->origins.push_back({h, gS->call, true});
  return h;
}

void HostDisposeHandle(Handle h) {
  if (h == nullptr) return;
  if (!LiveHandle(h)) {
    gS->handles.Dispose(h);  // the kit names what is wrong with it
    CheckMisuse();
  }
  Require(h != gS->callParameters && h != gS->record->parameters, "disposeProc of the parameters block");
  Require(reinterpret_cast<intptr_t>(h) != gS->callDataSlot &&
              reinterpret_cast<intptr_t>(h) != *gS->dataSlot,
          "disposeProc of the run-state block");
  gS->handles.Dispose(h);
  CheckMisuse();
}

int32_t HostGetSize(Handle h) {
  const int32_t size = gS->handles.GetSize(h);
  CheckMisuse();
  return size;
}

OSErr HostSetSize(Handle h, int32_t size) {
  if (!LiveHandle(h) || gS->handles.LockCount(h) > 0) {
    gS->handles.SetSize(h, size);  // misuse: the kit records it
    CheckMisuse();
  }
  if (size < 0 || size > 1 << 20) return memFullErr;
  const OSErr err = gS->handles.SetSize(h, size);
  CheckMisuse();
  return err;
}

Ptr HostLock(Handle h, Boolean) {
  if (!LiveHandle(h)) {
    gS->handles.Lock(h);
    CheckMisuse();
  }
  Ptr p = gS->handles.Lock(h, gS->reader.Fails("lockProc"));
  CheckMisuse();
  return p;
}

// Unlocking what is not locked is misuse in every test host; the last unlock
// moves the block, so stale pointers into it fault under ASan.
void HostUnlock(Handle h) {
  gS->handles.Unlock(h);
  CheckMisuse();
}

void HostRecoverSpace(int32_t) {}

// ---- descriptors -----------------------------------------------------------

HostDescriptor* LiveDescriptor(PIActionDescriptor d) {
  for (auto& owned : gS->descriptors)
    if (reinterpret_cast<PIActionDescriptor>(owned.get()) == d) {
      Require(owned->live, "descriptor used after Free");
      return owned.get();
    }
  Violation("descriptor the host never handed out");
}

PIActionDescriptor NewDescriptor(const DescriptorContent& content) {
  gS->descriptors.push_back(std::make_unique<HostDescriptor>());
  gS->descriptors.back()->content = content;
  return reinterpret_cast<PIActionDescriptor>(gS->descriptors.back().get());
}

// A failing suite operation: the code to return, or 0 to go on normally.
OSErr FaultCode() {
  const uint8_t f = gS->reader.U8();
  if ((f & 1) == 0) return noErr;
  static constexpr OSErr kCodes[] = {-1, memFullErr, errMissingParameter, filterBadParameters, 1};
  return kCodes[(f >> 1) % std::size(kCodes)];
}

OSErr ActMake(PIActionDescriptor* d) {
  Require(d != nullptr, "Make without an out pointer");
  if (const OSErr err = FaultCode()) {
    *d = nullptr;
    return err;
  }
  *d = NewDescriptor({});
  return noErr;
}

OSErr ActFree(PIActionDescriptor d) {
  LiveDescriptor(d)->live = false;
  return FaultCode();  // a host may complain, but the descriptor is gone
}

OSErr ActPutBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean value) {
  HostDescriptor* desc = LiveDescriptor(d);
  if (const OSErr err = FaultCode()) return err;
  if (key == kKeyDith) desc->content = {true, value};
  return noErr;
}

OSErr ActGetBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean* value) {
  HostDescriptor* desc = LiveDescriptor(d);
  Require(value != nullptr, "GetBoolean without an out pointer");
  if (const OSErr err = FaultCode()) return err;
  if (key != kKeyDith || !desc->content.hasDith) return errMissingParameter;
  *value = desc->content.dith;
  return noErr;
}

// The entries the module has no use for still check their descriptor.
template <typename... Args>
OSErr ActOther(PIActionDescriptor d, Args...) {
  LiveDescriptor(d);
  return -1;
}

PSActionDescriptorProcs MakeActionTable() {
  PSActionDescriptorProcs t{};
  t.Make = ActMake;
  t.Free = ActFree;
  t.GetType = ActOther<DescriptorKeyID, DescriptorTypeID*>;
  t.GetKey = ActOther<uint32_t, DescriptorKeyID*>;
  t.HasKey = ActOther<DescriptorKeyID, Boolean*>;
  t.GetCount = ActOther<uint32_t*>;
  t.IsEqual = ActOther<PIActionDescriptor, Boolean*>;
  t.Erase = ActOther<DescriptorKeyID>;
  t.Clear = ActOther<>;
  t.PutInteger = ActOther<DescriptorKeyID, int32_t>;
  t.PutFloat = ActOther<DescriptorKeyID, double>;
  t.PutUnitFloat = ActOther<DescriptorKeyID, DescriptorUnitID, double>;
  t.PutString = ActOther<DescriptorKeyID, const char*>;
  t.PutBoolean = ActPutBoolean;
  t.PutList = ActOther<DescriptorKeyID, PIActionList>;
  t.PutObject = ActOther<DescriptorKeyID, DescriptorClassID, PIActionDescriptor>;
  t.PutGlobalObject = ActOther<DescriptorKeyID, DescriptorClassID, PIActionDescriptor>;
  t.PutEnumerated = ActOther<DescriptorKeyID, DescriptorEnumTypeID, DescriptorEnumID>;
  t.PutReference = ActOther<DescriptorKeyID, PIActionReference>;
  t.PutClass = ActOther<DescriptorKeyID, DescriptorClassID>;
  t.PutGlobalClass = ActOther<DescriptorKeyID, DescriptorClassID>;
  t.PutAlias = ActOther<DescriptorKeyID, Handle>;
  t.GetInteger = ActOther<DescriptorKeyID, int32_t*>;
  t.GetFloat = ActOther<DescriptorKeyID, double*>;
  t.GetUnitFloat = ActOther<DescriptorKeyID, DescriptorUnitID*, double*>;
  t.GetStringLength = ActOther<DescriptorKeyID, uint32_t*>;
  t.GetString = ActOther<DescriptorKeyID, char*, uint32_t>;
  t.GetBoolean = ActGetBoolean;
  return t;
}

const char* RequireKey(const char* key) {
  Require(key != nullptr, "registry call without a key");
  Require(std::strlen(key) < 256, "registry key is not a short terminated text");
  return key;
}

OSErr RegRegister(const char* key, PIActionDescriptor d, Boolean) {
  RequireKey(key);
  HostDescriptor* desc = LiveDescriptor(d);
  if (const OSErr err = FaultCode()) return err;
  gS->registry[key] = desc->content;  // the host keeps its own copy
  return noErr;
}

OSErr RegErase(const char* key) {
  gS->registry.erase(RequireKey(key));
  return noErr;
}

OSErr RegGet(const char* key, PIActionDescriptor* d) {
  RequireKey(key);
  Require(d != nullptr, "Get without an out pointer");
  const uint8_t f = gS->reader.U8();
  if (f & 1) {
    if (f & 2) *d = nullptr;  // some hosts clear the out pointer, others leave it
    return (f & 4) ? memFullErr : OSErr(-1);
  }
  auto it = gS->registry.find(key);
  *d = it == gS->registry.end() ? nullptr : NewDescriptor(it->second);
  return noErr;
}

// ---- basic suite ------------------------------------------------------------

int SuiteIdOf(const char* name) {
  if (std::strcmp(name, kRegistrySuiteName) == 0) return kRegistry;
  if (std::strcmp(name, kActionSuiteName) == 0) return kAction;
  if (std::strcmp(name, kFileListSuiteName) == 0) return kFileList;
  return -1;
}

SPErr BasicAcquire(const char* name, int32_t version, const void** suite) {
  Require(name != nullptr && suite != nullptr, "AcquireSuite without a name or an out pointer");
  Require(std::strlen(name) < 256, "AcquireSuite name is not a short terminated text");
  const int id = SuiteIdOf(name);
  const uint8_t f = gS->reader.U8();
  const bool versionServed = (id == kRegistry && version == 1) ||
                             (id == kAction && (version == 2 || (version == 3 && !gS->actionOnlyVersion2))) ||
                             (id == kFileList && version == 4 && gS->offerFileList);
  if (id < 0 || !versionServed || (f & 0xC0) == 0x80) {
    *suite = nullptr;
    return kSPSuiteNotFoundError;
  }
  if ((f & 0xC0) == 0x40) {
    *suite = nullptr;
    return -1;
  }
  if (id == kFileList) {
    Require(gFileListHeld == 0, "the file-list suite acquired twice");
    *suite = &gFileListTable;
  } else if (id == kRegistry) {
    auto table = std::make_unique<PSDescriptorRegistryProcs>(PSDescriptorRegistryProcs{RegRegister, RegErase, RegGet});
    // A half-filled table: the module must treat it as absent.
    if ((f & 0xC0) == 0xC0) {
      if (f & 1)
        table->Register = nullptr;
      else
        table->Get = nullptr;
    }
    *suite = table.get();
    gS->registryTables.push_back(std::move(table));
  } else {
    auto table = std::make_unique<PSActionDescriptorProcs>(MakeActionTable());
    if ((f & 0xC0) == 0xC0) {
      switch (f & 3) {
        case 0: table->Make = nullptr; break;
        case 1: table->Free = nullptr; break;
        case 2: table->PutBoolean = nullptr; break;
        default: table->GetBoolean = nullptr; break;
      }
    }
    *suite = table.get();
    gS->actionTables.push_back(std::move(table));
  }
  ++(id == kFileList ? gFileListHeld : gS->held[id]);
  gS->heldVersion[id] = version;
  return 0;
}

SPErr BasicRelease(const char* name, int32_t version) {
  Require(name != nullptr, "ReleaseSuite without a name");
  const int id = SuiteIdOf(name);
  Require(id >= 0, "ReleaseSuite of a suite the host never served");
  if (id == kFileList) {
    // Released at unload, possibly after the last session.
    Require(gFileListHeld > 0 && version == 4, "ReleaseSuite of a file-list suite that is not held");
    --gFileListHeld;
    return 0;
  }
  Require(gS != nullptr, "ReleaseSuite outside a call");
  Require(gS->held[id] > 0, "ReleaseSuite of a suite that is not held");
  Require(gS->heldVersion[id] == version, "ReleaseSuite with another version than acquired");
  --gS->held[id];
  return 0;
}

SPBoolean BasicIsEqual(const char* a, const char* b) {
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}
SPErr BasicAllocate(size_t size, void** block) {
  *block = std::malloc(size);
  return *block != nullptr ? 0 : -108;
}
SPErr BasicFree(void* block) {
  std::free(block);
  return 0;
}
SPErr BasicReallocate(void* block, size_t size, void** out) {
  *out = std::realloc(block, size);
  return *out != nullptr ? 0 : -108;
}
SPErr BasicUndefined() { return 0; }

// Static: the module may call the last basic suite when it is unloaded.
SPBasicSuite gBasicTables[3] = {
    {BasicAcquire, BasicRelease, BasicIsEqual, BasicAllocate, BasicFree, BasicReallocate, BasicUndefined},
    {nullptr, BasicRelease, BasicIsEqual, BasicAllocate, BasicFree, BasicReallocate, BasicUndefined},
    {BasicAcquire, nullptr, BasicIsEqual, BasicAllocate, BasicFree, BasicReallocate, BasicUndefined},
};
const SPBasicSuite kBasicPristine[3] = {gBasicTables[0], gBasicTables[1], gBasicTables[2]};

// ---- scripting descriptor procedures ------------------------------------------

WriteToken* OpenToken(PIWriteDescriptor token) {
  for (auto& owned : gS->tokens)
    if (reinterpret_cast<PIWriteDescriptor>(owned.get()) == token) {
      Require(owned->open, "write token used after close");
      return owned.get();
    }
  Violation("write token the host never handed out");
}

PIWriteDescriptor WriteOpen() {
  if (gS->reader.U8() & 1) return nullptr;
  gS->tokens.push_back(std::make_unique<WriteToken>());
  return reinterpret_cast<PIWriteDescriptor>(gS->tokens.back().get());
}

OSErr WriteClose(PIWriteDescriptor token, Handle* descriptor) {
  WriteToken* t = OpenToken(token);
  Require(descriptor != nullptr, "closeWriteDescriptorProc without an out pointer");
  t->open = false;
  if (const OSErr err = FaultCode()) {
    *descriptor = nullptr;
    return err;
  }
  Handle h = MakeHandle(2, 0);
  OriginOf(h)->createdByClose = true;
  uint8_t* data = gS->handles.Bytes(h);
  data[0] = t->content.hasDith;
  data[1] = t->content.dith;
  *descriptor = h;
  return noErr;
}

OSErr WritePutBoolean(PIWriteDescriptor token, DescriptorKeyID key, Boolean value) {
  WriteToken* t = OpenToken(token);
  if (const OSErr err = FaultCode()) return err;
  if (key == kKeyDith) t->content = {true, value};
  return noErr;
}

template <typename... Args>
OSErr WriteOther(PIWriteDescriptor token, Args...) {
  OpenToken(token);
  return -1;
}

WriteDescriptorProcs MakeWriteProcs(uint8_t holes) {
  WriteDescriptorProcs p{};
  p.writeDescriptorProcsVersion = 0;
  p.numWriteDescriptorProcs = 16;
  p.openWriteDescriptorProc = (holes & 1) ? nullptr : WriteOpen;
  p.closeWriteDescriptorProc = (holes & 2) ? nullptr : WriteClose;
  p.putIntegerProc = WriteOther<DescriptorKeyID, int32_t>;
  p.putFloatProc = WriteOther<DescriptorKeyID, const double*>;
  p.putUnitFloatProc = WriteOther<DescriptorKeyID, DescriptorUnitID, const double*>;
  p.putBooleanProc = (holes & 4) ? nullptr : WritePutBoolean;
  p.putTextProc = WriteOther<DescriptorKeyID, Handle>;
  p.putAliasProc = WriteOther<DescriptorKeyID, Handle>;
  p.putEnumeratedProc = WriteOther<DescriptorKeyID, DescriptorTypeID, DescriptorEnumID>;
  p.putClassProc = WriteOther<DescriptorKeyID, DescriptorTypeID>;
  p.putSimpleReferenceProc = WriteOther<DescriptorKeyID, const void*>;
  p.putObjectProc = WriteOther<DescriptorKeyID, DescriptorTypeID, Handle>;
  p.putCountProc = WriteOther<DescriptorKeyID, uint32_t>;
  p.putStringProc = WriteOther<DescriptorKeyID, const unsigned char*>;
  p.putScopedClassProc = WriteOther<DescriptorKeyID, DescriptorTypeID>;
  p.putScopedObjectProc = WriteOther<DescriptorKeyID, DescriptorTypeID, Handle>;
  return p;
}

// ---- pixel delivery ---------------------------------------------------------------

bool Mode32() {
  const FilterRecord* rec = gS->record.get();
  return rec->bigDocumentData != nullptr && rec->bigDocumentData->PluginUsing32BitCoordinates != 0;
}

VRect Widen(const Rect& r) { return VRect{r.top, r.left, r.bottom, r.right}; }
bool Same(const VRect& a, const VRect& b) {
  return a.top == b.top && a.left == b.left && a.bottom == b.bottom && a.right == b.right;
}
Rect Narrow(const VRect& r) {
  return Rect{int16_t(r.top), int16_t(r.left), int16_t(r.bottom), int16_t(r.right)};
}

int64_t BytesPerRow(int64_t width, int32_t depth) {
  const int64_t bits = (depth >= 1 && depth <= 32) ? depth : 8;
  return (width * bits + 7) / 8;
}

// Lays out a buffer for `area`, filled with a pattern of `seed` (masks: all
// clear, partly clear, or all set, by `maskMode`); false when the host will
// not deliver that much.
bool Allocate(hostkit::TileBuffer& b, const VRect& area, int32_t depth, int64_t padding, uint8_t seed,
              int maskMode) {
  const int64_t rows = int64_t(area.bottom) - area.top;
  const int64_t width = int64_t(area.right) - area.left;
  b = hostkit::TileBuffer{};
  if (rows <= 0 || width <= 0) return true;  // nothing to deliver
  if (width > kMaxBufferBytes || rows > kMaxBufferBytes) return false;
  const int64_t rowUsed = BytesPerRow(width, depth);
  const int64_t bytes = rows * (rowUsed + padding);
  if (bytes > kMaxBufferBytes || gS->deliveredBytes + bytes > kMaxSessionBytes) return false;
  gS->deliveredBytes += bytes;
  b.Lay(area, gS->delivery.plane, static_cast<int32_t>(rowUsed), static_cast<int32_t>(padding), gS->bottomUp);
  for (int32_t y = 0; y < b.height; ++y) {
    uint8_t* row = b.Row(y);
    for (int32_t x = 0; x < b.rowWidth; ++x) {
      uint8_t v = static_cast<uint8_t>(x * 31 + y * 17 + seed);
      if (maskMode == 1) v = 0;
      if (maskMode == 2) v = (x + y) % 3 == 0 ? 0 : v;
      if (maskMode == 3) v = 255;
      row[x] = v;
    }
  }
  b.Seal();
  return true;
}

bool ValidQuantized(uint8_t before, uint8_t after, unsigned bits) {
  if (after == before) return true;
  if (before == 255) return false;
  static constexpr uint8_t kTop[9] = {0, 128, 192, 224, 240, 248, 252, 254, 255};
  const unsigned top = kTop[bits];
  const unsigned step = 256u - top;
  const unsigned q = before & top;
  return after == q || (q < top && after == q + step);
}

// Checks the buffers of the last delivery and lets them go.
void ReleaseDelivery() {
  Delivery& d = gS->delivery;
  if (!d.active) return;
  d.active = false;
  for (const auto& written : {d.in.WrittenAnywhere("input"), d.mask.WrittenAnywhere("mask"),
                               d.out.GuardWritten("output (guard bytes or row padding)")})
    if (written) Violation(written->c_str());
  const hostkit::TileBuffer& out = d.out;
  if (out.present) {
    static constexpr unsigned kBits[4] = {5, 6, 5, 8};
    const bool converts = d.depth == 8 && d.plane < 4;
    for (int32_t y = 0; y < out.height; ++y) {
      const size_t start = out.PixelIndex(y, 0);
      if (std::memcmp(&out.bytes[start], &out.pristine[start], size_t(out.rowWidth)) == 0) continue;
      for (int32_t x = 0; x < out.rowWidth; ++x) {
        const uint8_t before = out.pristine[start + size_t(x)];
        const uint8_t after = out.bytes[start + size_t(x)];
        if (before == after) continue;
        if (d.plane >= 4) continue;  // the bits kept past plane 3 are the module's choice
        Require(converts, "output changed for a depth that passes through");
        Require(ValidQuantized(before, after, kBits[d.plane]), "output sample is no level of its plane");
        if (d.mask.present && y < d.mask.height && x < d.mask.rowWidth)
          Require(d.mask.Row(y)[x] != 0, "output changed outside the mask");
      }
    }
  }
  FilterRecord* rec = gS->record.get();
  rec->inData = rec->outData = rec->maskData = nullptr;
  d = Delivery{};
}

OSErr Inject(OSErr code) {
  gS->injected.push_back(code);
  return code;
}

OSErr HostAdvanceState() {
  gS->log.Note("advanceState");
  ReleaseDelivery();
  Reader& r = gS->reader;
  FilterRecord* rec = gS->record.get();
  if (++gS->steps > kStepBudget) return Inject(userCanceledErr);
  Require(rec->inLoPlane == rec->inHiPlane && rec->outLoPlane == rec->outHiPlane &&
              rec->inLoPlane == rec->outLoPlane,
          "advanceState asked for several planes at once");
  Require(rec->inLoPlane >= 0 && rec->inLoPlane < rec->planes, "advanceState asked for a plane the image lacks");

  const uint8_t f = r.U8();
  if (f & 0x80) {
    const OSErr code = r.I16();
    if (code != noErr) return Inject(code);
  }
  const uint8_t seed = r.U8();
  BigDocumentStruct* big = rec->bigDocumentData;
  const bool mode32 = Mode32();
  VRect in = mode32 ? big->inRect32 : Widen(rec->inRect);
  VRect out = mode32 ? big->outRect32 : Widen(rec->outRect);
  VRect mask = mode32 ? big->maskRect32 : Widen(rec->maskRect);
  // Pixels exist only inside the filter rectangle: the module asks for no
  // row or column outside it. A request the module did not write (the next
  // plane of the same tile, after the host wrote back what it delivered) is
  // the host's own and is not held against the module.
  const VRect filter = mode32 ? big->filterRect32 : Widen(rec->filterRect);
  const bool hostsOwn = gS->wroteBack && Same(in, gS->wroteIn) && Same(out, gS->wroteOut) &&
                        (rec->haveMask == 0 || Same(mask, gS->wroteMask));
  gS->wroteBack = false;
  for (const VRect* v : {&in, &out, &mask}) {
    if (hostsOwn || (v == &mask && rec->haveMask == 0)) continue;
    if (v->top >= v->bottom || v->left >= v->right) continue;
    Require(v->top >= filter.top && v->left >= filter.left && v->bottom <= filter.bottom && v->right <= filter.right,
            "advanceState asked for pixels outside the filter rectangle");
  }
  const bool deliverMask = rec->haveMask != 0 && (f & 0x02) == 0;
  if (f & 0x41) {
    // The host clips the requests to the filter rectangle, or delivers a pixel
    // less on each side than asked, and says so in the record.
    for (VRect* v : {&in, &out, &mask}) {
      if (f & 0x01) {
        v->top = std::max(v->top, filter.top);
        v->left = std::max(v->left, filter.left);
        v->bottom = std::min(v->bottom, filter.bottom);
        v->right = std::min(v->right, filter.right);
      }
      if ((f & 0x40) && v->bottom > INT32_MIN && v->right > INT32_MIN) {
        --v->bottom;
        --v->right;
      }
    }
    if (mode32) {
      big->inRect32 = in;
      big->outRect32 = out;
      if (rec->haveMask != 0) big->maskRect32 = mask;
    } else {
      rec->inRect = Narrow(in);
      rec->outRect = Narrow(out);
      if (rec->haveMask != 0) rec->maskRect = Narrow(mask);
    }
    gS->wroteBack = true;
    gS->wroteIn = mode32 ? in : Widen(rec->inRect);
    gS->wroteOut = mode32 ? out : Widen(rec->outRect);
    gS->wroteMask = mode32 ? mask : Widen(rec->maskRect);
  }

  Delivery& d = gS->delivery;
  d.plane = rec->inLoPlane;
  d.depth = rec->depth;
  const int64_t padding = ((f >> 4) & 3) * 3;
  // The output starts as the source: the same pattern over the same area.
  if (!Allocate(d.in, in, d.depth, padding, seed, 0) || !Allocate(d.out, out, d.depth, padding, seed, 0) ||
      (deliverMask && !Allocate(d.mask, mask, 8, padding, seed, (seed >> 6) & 3))) {
    d = Delivery{};
    return Inject(memFullErr);
  }
  d.active = true;

  auto top = [](hostkit::TileBuffer& b) -> void* { return b.present ? b.TopRow() : nullptr; };
  rec->inData = top(d.in);
  rec->outData = (f & 0x08) ? nullptr : top(d.out);
  rec->maskData = deliverMask ? top(d.mask) : nullptr;
  // Negative for bottom-up buffers: the next row down lies lower in memory.
  rec->inRowBytes = d.in.ToldRowBytes();
  rec->outRowBytes = d.out.ToldRowBytes();
  rec->maskRowBytes = d.mask.ToldRowBytes();
  // A lying host: row bytes shorter than a row of the requested area.
  if ((f & 0x04) && d.in.rowWidth > 0) rec->inRowBytes = d.in.ToldRowBytes(1);
  return noErr;
}

Boolean HostAbort() {
  const bool answer = ++gS->steps > kStepBudget ? true : (gS->reader.U8() & 1) != 0;
  gS->log.Add(hostkit::Event::Abort(answer));
  return static_cast<Boolean>(answer);
}

void HostProgress(int32_t done, int32_t total) {
  gS->log.Add(hostkit::Event::Progress(done, total));
  Require(done == gS->lastProgress + 1, "progress does not count tiles one by one");
  Require(total <= 0 || done <= total, "progress beyond its total");
  gS->lastProgress = done;
}

// ---- session set-up -------------------------------------------------------------

VRect ReadRect32(Reader& r, const Rect& narrow) {
  switch (r.U8() % 4) {
    case 1: {
      VRect v{};
      v.top = r.I32();
      v.left = r.I32();
      v.bottom = r.I32();
      v.right = r.I32();
      return v;
    }
    case 2: {
      // Large documents up to the largest side the filter accepts.
      const int32_t top = r.I16();
      const int32_t left = r.I16();
      const auto height = static_cast<int32_t>(r.U32() % (kMaxSide + 1));
      const auto width = static_cast<int32_t>(r.U32() % (kMaxSide + 1));
      return VRect{top, left, top + height, left + width};
    }
    default:
      return Widen(narrow);
  }
}

void ReadImage(Reader& r) {
  FilterRecord* rec = gS->record.get();
  rec->filterRect = Rect{r.I16(), r.I16(), r.I16(), r.I16()};
  gS->bigDoc->filterRect32 = ReadRect32(r, rec->filterRect);
  rec->outTileHeight = rec->inTileHeight = r.I16();
  rec->outTileWidth = rec->inTileWidth = r.I16();
  const uint8_t planes = r.U8();
  rec->planes = (planes & 0x80) ? int16_t(int8_t(planes)) : int16_t(planes % 9);
  const uint8_t depth = r.U8();
  static constexpr int32_t kDepths[4] = {8, 1, 16, 32};
  rec->depth = (depth & 0x80) ? int32_t(int8_t(depth)) : kDepths[depth & 3];
  rec->haveMask = r.U8() & 1;
}

void SetUpSession(Reader& r) {
  Session& s = *gS;
  const uint8_t absent = r.U8();   // bit set: that part of the host is missing
  const uint8_t holes = r.U8();    // bit set: that entry of a table is null
  const uint8_t extras = r.U8();

  s.record = std::make_unique<FilterRecord>();
  s.bigDoc = std::make_unique<BigDocumentStruct>();
  s.platform = std::make_unique<PlatformData>();
  s.dataSlot = std::make_unique<intptr_t>(0);
  FilterRecord* rec = s.record.get();
  rec->serialNumber = 0x1234;
  rec->imageSize = Point{40, 50};
  rec->filterRect = Rect{0, 0, 40, 50};
  rec->planes = 4;
  rec->outTileHeight = rec->inTileHeight = 16;
  rec->outTileWidth = rec->inTileWidth = 16;
  rec->depth = 8;
  rec->hostSig = FourCC("8BIM");
  rec->imageMode = 3;
  rec->filterCase = 1;
  rec->platformData = s.platform.get();
  rec->inputRate = rec->maskRate = 0x20000;
  s.bigDoc->imageSize32 = VPoint{40, 50};
  s.bigDoc->filterRect32 = VRect{0, 0, 40, 50};
  s.bigDoc->wholeSize32 = VPoint{40, 50};

  if (!(absent & 0x01)) {
    s.handleProcs = std::make_unique<HandleProcs>(HandleProcs{
        1, 8, (holes & 0x01) ? nullptr : HostNewHandle, (holes & 0x02) ? nullptr : HostDisposeHandle,
        HostGetSize, HostSetSize, (holes & 0x04) ? nullptr : HostLock, (holes & 0x08) ? nullptr : HostUnlock,
        HostRecoverSpace, HostDisposeHandle});
    rec->handleProcs = s.handleProcs.get();
  }
  if (!(absent & 0x02)) s.basic = &gBasicTables[(holes & 0x10) ? 1 : (holes & 0x20) ? 2 : 0];
  rec->sSPBasic = s.basic;
  if (!(absent & 0x04)) rec->advanceState = HostAdvanceState;
  if (!(absent & 0x08)) rec->abortProc = HostAbort;
  if (!(absent & 0x10)) rec->progressProc = HostProgress;
  if (!(absent & 0x20)) {
    s.descriptorParameters = std::make_unique<PIDescriptorParameters>();
    s.descriptorParameters->descriptorParametersVersion = 1;
    s.descriptorParameters->recordInfo = plugInDialogRequired;
    if (!(extras & 0x01)) s.descriptorParameters->descriptor = MakeHandle(2, 0);
    if (!(absent & 0x40)) {
      s.writeProcs = std::make_unique<WriteDescriptorProcs>(MakeWriteProcs(holes >> 6 | (extras & 0x04)));
      s.descriptorParameters->writeDescriptorProcs = s.writeProcs.get();
    }
    rec->descriptorParameters = s.descriptorParameters.get();
  }
  s.offerBigDocument = (absent & 0x80) == 0;
  s.actionOnlyVersion2 = (extras & 0x08) != 0;
  s.offerFileList = (extras & 0x10) == 0;
  s.bottomUp = (extras & 0x80) != 0;
  // A saved entry from an earlier run: dithering off, or without its key.
  if (extras & 0x20) s.registry[kSettingsKey] = DescriptorContent{(extras & 0x40) == 0, 0};
  // Without abortProc only advanceState can end a long walk: give it a plane.
  if (rec->abortProc == nullptr && rec->planes <= 0) rec->planes = 1;
}

// ---- one call --------------------------------------------------------------------

// FilterRecord members the module may write, or the host rewrites during a call.
const std::vector<hostkit::Range>& WritableFilterMembers() {
#define PM_ALLOW(member) hostkit::Range{offsetof(FilterRecord, member), sizeof(FilterRecord::member)}
  static const std::vector<hostkit::Range> writable = {
      PM_ALLOW(parameters), PM_ALLOW(maxSpace),  PM_ALLOW(bufferSpace), PM_ALLOW(inRect),     PM_ALLOW(inLoPlane),
      PM_ALLOW(inHiPlane),  PM_ALLOW(outRect),   PM_ALLOW(outLoPlane),  PM_ALLOW(outHiPlane), PM_ALLOW(maskRect),
      PM_ALLOW(inputRate),  PM_ALLOW(maskRate),  PM_ALLOW(inData),      PM_ALLOW(inRowBytes), PM_ALLOW(outData),
      PM_ALLOW(outRowBytes), PM_ALLOW(maskData), PM_ALLOW(maskRowBytes)};
#undef PM_ALLOW
  return writable;
}

// The kit's record guard over a host record that may be absent.
template <typename T>
hostkit::RecordGuard GuardOf(const T* record) {
  hostkit::RecordGuard guard;
  if (record != nullptr) guard.Take(record, sizeof(T));
  return guard;
}

template <typename T>
void RequireUnchanged(const hostkit::RecordGuard& guard, const T* record, const char* what,
                      const std::vector<hostkit::Range>& writable = {}) {
  if (record == nullptr) return;
  if (const auto written = guard.Compare(record, what, writable)) Violation(written->c_str());
}

bool ResultAllowed(int16_t result, int16_t initial) {
  if (result == initial) return true;
  switch (result) {
    case noErr:
    case memFullErr:
    case userCanceledErr:
    case filterBadParameters:
    case errPlugInHostInsufficient:
      return true;
    default:
      return std::find(gS->injected.begin(), gS->injected.end(), result) != gS->injected.end();
  }
}

void RunCall(Reader& r) {
  Session& s = *gS;
  FilterRecord* rec = s.record.get();
  ++s.call;
  s.injected.clear();
  s.lastProgress = 0;

  const uint8_t c0 = r.U8();
  int16_t selector = int16_t(c0 & 7);
  if (selector == 6) selector = r.I16();
  if (selector == 7) selector = 6;
  const uint8_t c1 = r.U8();
  const uint8_t c2 = r.U8();
  const int16_t initialResult = (c1 & 0x08) ? r.I16() : int16_t(0);
  if (c1 & 0x80) ReadImage(r);
  if (rec->abortProc == nullptr && rec->planes <= 0) rec->planes = 1;
  if (c1 & 0x10) rec->parameters = nullptr;  // a host that lost the blocks
  if (c1 & 0x20) *s.dataSlot = 0;
  if (c1 & 0x40) {
    rec->parameters = CopyHandle(rec->parameters);
    *s.dataSlot = reinterpret_cast<intptr_t>(CopyHandle(reinterpret_cast<Handle>(*s.dataSlot)));
  }
  rec->sSPBasic = (c2 & 0x01) ? nullptr : s.basic;
  rec->bigDocumentData = (c2 & 0x02) || !s.offerBigDocument ? nullptr : s.bigDoc.get();
  if (c2 & 0x08) s.bigDoc->PluginUsing32BitCoordinates = 0;
  rec->descriptorParameters = (c2 & 0x04) ? nullptr : s.descriptorParameters.get();
  rec->handleProcs = (c2 & 0x10) ? nullptr : s.handleProcs.get();
  if (c2 & 0x20) s.bigDoc->filterRect32 = Widen(rec->filterRect);

  if (selector == filterSelectorAbout && !s.about) {
    s.about = std::make_unique<AboutRecord>();
    s.about->platformData = s.platform.get();
  }
  if (s.about) s.about->sSPBasic = (c2 & 0x01) ? nullptr : s.basic;

  s.callParameters = rec->parameters;
  s.callDataSlot = *s.dataSlot;
  PIDescriptorParameters* dp = s.descriptorParameters.get();
  const Handle callDescriptor = dp != nullptr ? dp->descriptor : nullptr;

  const auto recordBefore = GuardOf(rec);
  const auto bigBefore = GuardOf(s.bigDoc.get());
  const auto aboutBefore = GuardOf(s.about.get());
  const auto platformBefore = GuardOf(s.platform.get());
  const auto handleProcsBefore = GuardOf(s.handleProcs.get());
  const auto dpBefore = GuardOf(dp);
  const auto writeProcsBefore = GuardOf(s.writeProcs.get());
  const auto fileListBefore = GuardOf(&gFileListTable);

  auto result = std::make_unique<int16_t>(initialResult);
  void* record = selector == filterSelectorAbout ? static_cast<void*>(s.about.get()) : static_cast<void*>(rec);
  if (c1 & 0x01) record = nullptr;
  intptr_t* dataSlot = (c1 & 0x02) ? nullptr : s.dataSlot.get();
  s.log.Note("PluginMain(" + std::to_string(selector) + "), call " + std::to_string(s.call));
  PluginMain(selector, record, dataSlot, (c1 & 0x04) ? nullptr : result.get());

  ReleaseDelivery();

  // Host memory changed only where the module may write.
  const bool about = selector == filterSelectorAbout;
  RequireUnchanged(recordBefore, rec, "FilterRecord", about ? std::vector<hostkit::Range>{} : WritableFilterMembers());
  RequireUnchanged(bigBefore, s.bigDoc.get(), "BigDocumentStruct",
                   about ? std::vector<hostkit::Range>{}
                         : std::vector<hostkit::Range>{{offsetof(BigDocumentStruct, PluginUsing32BitCoordinates), 4},
                                                       {offsetof(BigDocumentStruct, inRect32), sizeof(VRect)},
                                                       {offsetof(BigDocumentStruct, outRect32), sizeof(VRect)},
                                                       {offsetof(BigDocumentStruct, maskRect32), sizeof(VRect)}});
  RequireUnchanged(dpBefore, dp, "PIDescriptorParameters (beyond descriptor and recordInfo)",
                   {{offsetof(PIDescriptorParameters, recordInfo), sizeof(int16_t)},
                    {offsetof(PIDescriptorParameters, descriptor), sizeof(Handle)}});
  RequireUnchanged(aboutBefore, s.about.get(), "AboutRecord");
  RequireUnchanged(platformBefore, s.platform.get(), "PlatformData");
  RequireUnchanged(handleProcsBefore, s.handleProcs.get(), "HandleProcs");
  RequireUnchanged(writeProcsBefore, s.writeProcs.get(), "WriteDescriptorProcs");
  RequireUnchanged(fileListBefore, &gFileListTable, "the file-list suite");
  for (int i = 0; i < 3; ++i)
    Require(std::memcmp(&gBasicTables[i], &kBasicPristine[i], sizeof(SPBasicSuite)) == 0,
            "write into the basic suite");
  if (selector == filterSelectorAbout || dataSlot == nullptr)
    Require(*s.dataSlot == s.callDataSlot, "data slot changed where the module may not create a block");

  // Handles: the blocks are live, nothing stays locked, nothing leaks.
  Require(rec->parameters == nullptr || LiveHandle(rec->parameters), "parameters holds no live handle");
  Handle runState = reinterpret_cast<Handle>(*s.dataSlot);
  Require(runState == nullptr || LiveHandle(runState), "data slot holds no live handle");
  s.handles.Check("after the call");  // still locked, or written past the end
  CheckMisuse();
  for (const HandleOrigin& o : s.origins) {
    if (o.call != s.call || !LiveHandle(o.handle)) continue;
    if (o.createdByModule)
      Require(o.handle == rec->parameters || o.handle == runState, "a handle from newProc is neither block");
    if (o.createdByClose)
      Require(dp != nullptr && o.handle == dp->descriptor, "a closed scripting descriptor was not handed back");
  }
  if (dp != nullptr) {
    Require(dp->descriptor == nullptr || LiveHandle(dp->descriptor), "descriptorParameters holds a disposed descriptor");
    if (callDescriptor != nullptr && dp->descriptor != callDescriptor)
      Require(!LiveHandle(callDescriptor), "the replaced scripting descriptor was not disposed of");
  }

  // Suites, descriptors and tokens of this call are all given back.
  Require(s.held[kRegistry] == 0 && s.held[kAction] == 0, "a suite acquired in the call is still held");
  for (auto& d : s.descriptors) Require(!d->live, "a descriptor made or fetched was not freed");
  for (auto& t : s.tokens) Require(!t->open, "a write token was not closed");
  s.registryTables.clear();
  s.actionTables.clear();

  Require(ResultAllowed(*result, initialResult), "result slot holds a code the module may not store");
  const bool handlerStoresNothing = selector == filterSelectorAbout ||
                                    (record != nullptr && dataSlot != nullptr &&
                                     (selector == filterSelectorContinue || selector < 0 || selector > 5));
  if (handlerStoresNothing) Require(*result == initialResult, "result slot written by a call that reports nothing");
}

}  // namespace

int FuzzAboutClicks() { return gS == nullptr ? 0 : gS->reader.U8() & 3; }

bool FuzzConfirmAnswer() { return gS == nullptr || (gS->reader.U8() & 1) == 0; }

void RunFuzzInput(const uint8_t* data, size_t size) {
  Session session(data, size);
  gS = &session;
  SetUpSession(session.reader);
  for (int i = 0; i < kMaxCalls && !session.reader.Empty(); ++i) RunCall(session.reader);
  // The kit's table frees what is left with the session. A suite the module
  // still holds is released by the module at unload.
  gS = nullptr;
}
