#include "HostServices.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "Console.h"
#include "HostKit.h"
#include "HostSuiteNames.h"
#include "Pipl.h"

namespace {

using hostkit::kDescriptorSuiteName;
using hostkit::kFileListSuiteName;
using hostkit::kRegistrySuiteName;

constexpr OSErr paramErr = -50;

ServiceOptions gOptions;

// ---- the kit's logs and handle table -------------------------------------------

// One call log and one misuse log for the whole session, and the handle table
// that enforces the handle rules every test host shares (lock counts, blocks
// that move on their last unlock, resizing or disposing while locked, guard
// bytes after every block). Misuse is reported from the dialog driver's
// thread too: the logs are only touched under gLogLock.
hostkit::CallLog gCalls;
hostkit::MisuseLog gMisuse;
hostkit::HandleTable gTable(gCalls, gMisuse);
hostkit::FaultPlan gPlan;
std::recursive_mutex gLogLock;
size_t gCallsShown = 0, gMisusesShown = 0;
// The call in progress, named in the misuse it makes: a host callback, or the
// selector while the module runs it and while the host checks it afterwards.
std::string gCurrentCall = "(no call yet)";

// Prints what the logs gained since the last time: every misuse, with the call
// that made it, and with --verbose every call.
void ShowNew() {
  const auto& calls = gCalls.events();
  if (gOptions.verbose)
    for (; gCallsShown < calls.size(); ++gCallsShown) Say("pmhost: call %s\n", calls[gCallsShown].Describe().c_str());
  gCallsShown = calls.size();
  const auto& misuses = gMisuse.all();
  for (; gMisusesShown < misuses.size(); ++gMisusesShown)
    Say("pmhost: MISUSE: %s (in %s)\n", misuses[gMisusesShown].what.c_str(), misuses[gMisusesShown].call.c_str());
}

// Enters a host callback: makes it the call in progress and logs it (unless
// the kit's handle table logs it itself).
class Callback {
 public:
  explicit Callback(std::string name, bool logged = true) : lock_(gLogLock) {
    if (logged) gCalls.Note(name);
    gCurrentCall = std::move(name);
    ShowNew();  // with --verbose, the call before anything it prints
  }
  ~Callback() { ShowNew(); }
  Callback(const Callback&) = delete;
  Callback& operator=(const Callback&) = delete;

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};

// ---- handles ---------------------------------------------------------------

// Who made each handle, beyond the kit's table: a newProc call of the module
// (its number), the host itself (0), or closeWriteDescriptorProc (-1), whose
// handle the module must store or dispose of.
std::map<Handle, int32_t> gOrigin;
int32_t gNewHandleCalls = 0;

bool LiveHandle(Handle h) { return h != nullptr && gOrigin.count(h) != 0 && gTable.Live(h); }

// False, with a misuse report, for a handle this host never gave out or that
// is gone.
bool CheckHandle(Handle h, const char* caller) {
  if (LiveHandle(h)) return true;
  ReportMisuse("%s called with %p, which is not a live handle of this host", caller, static_cast<void*>(h));
  return false;
}

Handle NewHandleProc(int32_t size) {
  const Callback call("newProc(" + std::to_string(size) + ")", false);
  const int32_t serial = ++gNewHandleCalls;
  const bool refuse = gPlan.Fails("newProc");
  if (size < 0) {
    ReportMisuse("newProc asked for %d bytes", size);
    return nullptr;
  }
  if (refuse) Say("pmhost: newProc call %d answers null, as asked\n", serial);
  Handle h = gTable.New(size, refuse);
  if (h != nullptr) gOrigin[h] = serial;
  return h;
}

void DisposeHandleProc(Handle h) {
  const Callback call("disposeProc", false);
  if (h == nullptr) {
    gCalls.Note("disposeProc(null)");
    return;  // disposing of nothing is harmless, as in every host
  }
  gTable.Dispose(h);
}

int32_t GetSizeProc(Handle h) {
  const Callback call("getSizeProc");
  return gTable.GetSize(h);
}

OSErr SetSizeProc(Handle h, int32_t size) {
  const Callback call("setSizeProc(" + std::to_string(size) + ")");
  return gTable.SetSize(h, size);
}

Ptr LockProc(Handle h, Boolean) {
  const Callback call("lockProc", false);
  const bool refuse = gPlan.Fails("lockProc");
  if (refuse) Say("pmhost: lockProc call %d answers null, as asked\n", gPlan.Calls("lockProc"));
  return gTable.Lock(h, refuse);
}

void UnlockProc(Handle h) {
  const Callback call("unlockProc", false);
  gTable.Unlock(h);
}

void RecoverSpaceProc(int32_t) {}

HandleProcs gHandleProcs = {1, 8, NewHandleProc, DisposeHandleProc, GetSizeProc, SetSizeProc,
                            LockProc, UnlockProc, RecoverSpaceProc, DisposeHandleProc};

// ---- descriptors -----------------------------------------------------------

std::map<PIActionDescriptor, std::pair<std::unique_ptr<Descriptor>, std::string>> gDescriptors;

PIActionDescriptor NewDescriptor(Descriptor d, const std::string& origin) {
  auto owned = std::make_unique<Descriptor>(std::move(d));
  auto* token = reinterpret_cast<PIActionDescriptor>(owned.get());
  gDescriptors.emplace(token, std::make_pair(std::move(owned), origin));
  return token;
}

Descriptor* FindDescriptor(PIActionDescriptor d, const char* caller) {
  const auto it = gDescriptors.find(d);
  if (it != gDescriptors.end()) return it->second.first.get();
  ReportMisuse("%s called with %p, which is not a live descriptor", caller, static_cast<void*>(d));
  return nullptr;
}

struct RegistryEntry {
  Descriptor descriptor;
  bool persistent = false;
};
std::map<std::string, RegistryEntry> gRegistry;

// ---- suites ----------------------------------------------------------------

std::map<std::pair<std::string, int32_t>, int32_t> gSuitesHeld;
std::set<void*> gBlocks;


OSErr RegistryRegister(const char* key, PIActionDescriptor descriptor, Boolean persistent) {
  const Callback call("registry Register");
  if (key == nullptr) {
    ReportMisuse("registry Register called without a key");
    return paramErr;
  }
  const Descriptor* d = FindDescriptor(descriptor, "registry Register");
  if (d == nullptr) return paramErr;
  gRegistry[key] = RegistryEntry{*d, persistent != 0};
  Say("pmhost: registry: %s registered%s: %s\n", key, persistent ? " (persistent)" : "", DescribeDescriptor(*d).c_str());
  return noErr;
}

OSErr RegistryErase(const char* key) {
  const Callback call("registry Erase");
  if (key == nullptr) {
    ReportMisuse("registry Erase called without a key");
    return paramErr;
  }
  gRegistry.erase(key);
  return noErr;
}

OSErr RegistryGet(const char* key, PIActionDescriptor* descriptor) {
  const Callback call("registry Get");
  if (key == nullptr || descriptor == nullptr) {
    ReportMisuse("registry Get called without a key or a place for the descriptor");
    return paramErr;
  }
  const auto it = gRegistry.find(key);
  *descriptor = it == gRegistry.end() ? nullptr : NewDescriptor(it->second.descriptor, std::string("registry Get of ") + key);
  return noErr;
}

PSDescriptorRegistryProcs gRegistryProcs = {RegistryRegister, RegistryErase, RegistryGet};

// Action descriptor suite, entries 1 to 28.
OSErr AdMake(PIActionDescriptor* d) {
  const Callback call("descriptor Make");
  if (d == nullptr) {
    ReportMisuse("Make called without a place for the descriptor");
    return paramErr;
  }
  *d = NewDescriptor({}, "Make");
  return noErr;
}
OSErr AdFree(PIActionDescriptor d) {
  const Callback call("descriptor Free");
  if (FindDescriptor(d, "Free") == nullptr) return paramErr;
  gDescriptors.erase(d);
  return noErr;
}

template <typename T>
OSErr Out(T* out, const char* caller) {
  if (out == nullptr) {
    ReportMisuse("%s called without a place for its answer", caller);
    return paramErr;
  }
  return noErr;
}

// The value under `key` when it has `type`; an error code otherwise.
OSErr Lookup(PIActionDescriptor d, DescriptorKeyID key, const char* caller, ValueType type,
             const DescriptorValue*& value) {
  const Descriptor* desc = FindDescriptor(d, caller);
  if (desc == nullptr) return paramErr;
  value = desc->Find(key);
  if (value == nullptr) return errMissingParameter;
  return value->type == type ? noErr : paramErr;
}

// The getters' common path: `read` takes the answer out of the value under
// `key` when there is a place for it and the value has `type`.
template <typename T, typename Read>
OSErr GetValue(PIActionDescriptor d, DescriptorKeyID key, T* out, ValueType type, const char* caller, Read read) {
  if (Out(out, caller) != noErr) return paramErr;
  const DescriptorValue* v = nullptr;
  const OSErr err = Lookup(d, key, caller, type, v);
  if (err == noErr) read(*v, *out);
  return err;
}

OSErr PutValue(PIActionDescriptor d, DescriptorKeyID key, DescriptorValue v, const char* caller) {
  Descriptor* desc = FindDescriptor(d, caller);
  if (desc == nullptr) return paramErr;
  desc->Put(key, std::move(v));
  return noErr;
}

OSErr AdGetType(PIActionDescriptor d, DescriptorKeyID key, DescriptorTypeID* type) {
  const Callback call("descriptor GetType");
  if (Out(type, "GetType") != noErr) return paramErr;
  const Descriptor* desc = FindDescriptor(d, "GetType");
  if (desc == nullptr) return paramErr;
  const DescriptorValue* v = desc->Find(key);
  if (v == nullptr) return errMissingParameter;
  *type = static_cast<DescriptorTypeID>(v->type);
  return noErr;
}
OSErr AdGetKey(PIActionDescriptor d, uint32_t index, DescriptorKeyID* key) {
  const Callback call("descriptor GetKey");
  if (Out(key, "GetKey") != noErr) return paramErr;
  const Descriptor* desc = FindDescriptor(d, "GetKey");
  if (desc == nullptr) return paramErr;
  if (index >= desc->items.size()) return errMissingParameter;
  *key = desc->items[index].first;
  return noErr;
}
OSErr AdHasKey(PIActionDescriptor d, DescriptorKeyID key, Boolean* has) {
  const Callback call("descriptor HasKey");
  if (Out(has, "HasKey") != noErr) return paramErr;
  const Descriptor* desc = FindDescriptor(d, "HasKey");
  if (desc == nullptr) return paramErr;
  *has = desc->Find(key) != nullptr;
  return noErr;
}
OSErr AdGetCount(PIActionDescriptor d, uint32_t* count) {
  const Callback call("descriptor GetCount");
  if (Out(count, "GetCount") != noErr) return paramErr;
  const Descriptor* desc = FindDescriptor(d, "GetCount");
  if (desc == nullptr) return paramErr;
  *count = static_cast<uint32_t>(desc->items.size());
  return noErr;
}
OSErr AdIsEqual(PIActionDescriptor d, PIActionDescriptor other, Boolean* equal) {
  const Callback call("descriptor IsEqual");
  if (Out(equal, "IsEqual") != noErr) return paramErr;
  const Descriptor* a = FindDescriptor(d, "IsEqual");
  const Descriptor* b = FindDescriptor(other, "IsEqual");
  if (a == nullptr || b == nullptr) return paramErr;
  *equal = SerializeDescriptor(*a) == SerializeDescriptor(*b);
  return noErr;
}
OSErr AdErase(PIActionDescriptor d, DescriptorKeyID key) {
  const Callback call("descriptor Erase");
  Descriptor* desc = FindDescriptor(d, "Erase");
  if (desc == nullptr) return paramErr;
  return desc->Erase(key) ? noErr : errMissingParameter;
}
OSErr AdClear(PIActionDescriptor d) {
  const Callback call("descriptor Clear");
  Descriptor* desc = FindDescriptor(d, "Clear");
  if (desc == nullptr) return paramErr;
  desc->items.clear();
  return noErr;
}
OSErr AdPutInteger(PIActionDescriptor d, DescriptorKeyID key, int32_t v) {
  const Callback call("descriptor PutInteger");
  return PutValue(d, key, {.type = ValueType::Integer, .integer = v}, "PutInteger");
}
OSErr AdPutFloat(PIActionDescriptor d, DescriptorKeyID key, double v) {
  const Callback call("descriptor PutFloat");
  return PutValue(d, key, {.type = ValueType::Float, .number = v}, "PutFloat");
}
OSErr AdPutUnitFloat(PIActionDescriptor d, DescriptorKeyID key, DescriptorUnitID unit, double v) {
  const Callback call("descriptor PutUnitFloat");
  return PutValue(d, key, {.type = ValueType::UnitFloat, .number = v, .code1 = unit}, "PutUnitFloat");
}
OSErr AdPutString(PIActionDescriptor d, DescriptorKeyID key, const char* s) {
  const Callback call("descriptor PutString");
  if (s == nullptr) {
    ReportMisuse("PutString called without text");
    return paramErr;
  }
  return PutValue(d, key, {.type = ValueType::Text, .text = s}, "PutString");
}
OSErr AdPutBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean v) {
  const Callback call("descriptor PutBoolean");
  return PutValue(d, key, {.type = ValueType::Bool, .integer = v != 0}, "PutBoolean");
}
OSErr AdPutList(PIActionDescriptor d, DescriptorKeyID key, PIActionList) {
  const Callback call("descriptor PutList");
  return PutValue(d, key, {.type = ValueType::List}, "PutList");
}
OSErr PutObjectCommon(PIActionDescriptor d, DescriptorKeyID key, DescriptorClassID cls, PIActionDescriptor object,
                      ValueType type, const char* caller) {
  const Descriptor* inner = FindDescriptor(object, caller);
  if (inner == nullptr) return paramErr;
  return PutValue(d, key, {.type = type, .code1 = cls, .object = std::make_shared<Descriptor>(*inner)}, caller);
}
OSErr AdPutObject(PIActionDescriptor d, DescriptorKeyID key, DescriptorClassID cls, PIActionDescriptor o) {
  const Callback call("descriptor PutObject");
  return PutObjectCommon(d, key, cls, o, ValueType::Object, "PutObject");
}
OSErr AdPutGlobalObject(PIActionDescriptor d, DescriptorKeyID key, DescriptorClassID cls, PIActionDescriptor o) {
  const Callback call("descriptor PutGlobalObject");
  return PutObjectCommon(d, key, cls, o, ValueType::GlobalObject, "PutGlobalObject");
}
OSErr AdPutEnumerated(PIActionDescriptor d, DescriptorKeyID key, DescriptorEnumTypeID type, DescriptorEnumID id) {
  const Callback call("descriptor PutEnumerated");
  return PutValue(d, key, {.type = ValueType::Enumerated, .code1 = type, .code2 = id}, "PutEnumerated");
}
OSErr AdPutReference(PIActionDescriptor d, DescriptorKeyID key, PIActionReference) {
  const Callback call("descriptor PutReference");
  return PutValue(d, key, {.type = ValueType::Reference}, "PutReference");
}
OSErr AdPutClass(PIActionDescriptor d, DescriptorKeyID key, DescriptorClassID cls) {
  const Callback call("descriptor PutClass");
  return PutValue(d, key, {.type = ValueType::Class, .code1 = cls}, "PutClass");
}
OSErr AdPutGlobalClass(PIActionDescriptor d, DescriptorKeyID key, DescriptorClassID cls) {
  const Callback call("descriptor PutGlobalClass");
  return PutValue(d, key, {.type = ValueType::GlobalClass, .code1 = cls}, "PutGlobalClass");
}
OSErr AdPutAlias(PIActionDescriptor d, DescriptorKeyID key, Handle alias) {
  const Callback call("descriptor PutAlias");
  if (!CheckHandle(alias, "PutAlias")) return paramErr;
  return PutValue(d, key, {.type = ValueType::Alias, .text = HostHandleBytes(alias)}, "PutAlias");
}
OSErr AdGetInteger(PIActionDescriptor d, DescriptorKeyID key, int32_t* out) {
  const Callback call("descriptor GetInteger");
  return GetValue(d, key, out, ValueType::Integer, "GetInteger",
                  [](const DescriptorValue& v, int32_t& o) { o = static_cast<int32_t>(v.integer); });
}
OSErr AdGetFloat(PIActionDescriptor d, DescriptorKeyID key, double* out) {
  const Callback call("descriptor GetFloat");
  return GetValue(d, key, out, ValueType::Float, "GetFloat", [](const DescriptorValue& v, double& o) { o = v.number; });
}
OSErr AdGetUnitFloat(PIActionDescriptor d, DescriptorKeyID key, DescriptorUnitID* unit, double* out) {
  const Callback call("descriptor GetUnitFloat");
  return GetValue(d, key, out, ValueType::UnitFloat, "GetUnitFloat", [unit](const DescriptorValue& v, double& o) {
    if (unit != nullptr) *unit = v.code1;
    o = v.number;
  });
}
OSErr AdGetStringLength(PIActionDescriptor d, DescriptorKeyID key, uint32_t* out) {
  const Callback call("descriptor GetStringLength");
  return GetValue(d, key, out, ValueType::Text, "GetStringLength",
                  [](const DescriptorValue& v, uint32_t& o) { o = static_cast<uint32_t>(v.text.size()); });
}
OSErr AdGetString(PIActionDescriptor d, DescriptorKeyID key, char* out, uint32_t maxLength) {
  const Callback call("descriptor GetString");
  const DescriptorValue* v = nullptr;
  if (Out(out, "GetString") != noErr || maxLength == 0) return paramErr;
  const OSErr err = Lookup(d, key, "GetString", ValueType::Text, v);
  if (err != noErr) return err;
  const size_t n = std::min<size_t>(v->text.size(), maxLength - 1);
  std::memcpy(out, v->text.data(), n);
  out[n] = '\0';
  return noErr;
}
OSErr AdGetBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean* out) {
  const Callback call("descriptor GetBoolean");
  return GetValue(d, key, out, ValueType::Bool, "GetBoolean",
                  [](const DescriptorValue& v, Boolean& o) { o = v.integer != 0; });
}

// Entries past the 28 common ones: a module calling them learns that this
// host does not serve them.
template <int N>
OSErr UnservedEntry() {
  const Callback call("descriptor entry " + std::to_string(N));
  Say("pmhost: action descriptor suite entry %d called; this host does not serve it\n", N);
  return errPlugInHostInsufficient;
}

struct ActionDescriptorTable {
  PSActionDescriptorProcs common;
  OSErr (*later[24])();
};

template <int... N>
constexpr ActionDescriptorTable MakeDescriptorTable(std::integer_sequence<int, N...>) {
  return {{AdMake, AdFree, AdGetType, AdGetKey, AdHasKey, AdGetCount, AdIsEqual, AdErase, AdClear, AdPutInteger,
           AdPutFloat, AdPutUnitFloat, AdPutString, AdPutBoolean, AdPutList, AdPutObject, AdPutGlobalObject,
           AdPutEnumerated, AdPutReference, AdPutClass, AdPutGlobalClass, AdPutAlias, AdGetInteger, AdGetFloat,
           AdGetUnitFloat, AdGetStringLength, AdGetString, AdGetBoolean},
          {UnservedEntry<29 + N>...}};
}
ActionDescriptorTable gDescriptorTable = MakeDescriptorTable(std::make_integer_sequence<int, 24>{});

template <int N>
SPErr UnservedFileListEntry() {
  const Callback call("file-list entry " + std::to_string(N));
  Say("pmhost: file-list suite entry %d called; this host does not serve it\n", N);
  return kSPSuiteNotFoundError;
}

SPErr BrowseUrl(const char* url) {
  const Callback call("BrowseUrl");
  if (url == nullptr) {
    ReportMisuse("BrowseUrl called without an address");
    return paramErr;
  }
  Say("BrowseUrl: %s\n", url);
  return 0;
}

PSGetFileListSuite4 gFileListSuite = {reinterpret_cast<void*>(&UnservedFileListEntry<1>),
                                      reinterpret_cast<void*>(&UnservedFileListEntry<2>),
                                      reinterpret_cast<void*>(&UnservedFileListEntry<3>), BrowseUrl};

SPErr AcquireSuite(const char* name, int32_t version, const void** suite) {
  const Callback call(std::string("AcquireSuite(") + (name != nullptr ? name : "null") + ", " + std::to_string(version) + ")");
  if (suite == nullptr || name == nullptr) {
    ReportMisuse("AcquireSuite called without a name or a place for the suite");
    return kSPSuiteNotFoundError;
  }
  const void* found = nullptr;
  const std::string n = name;
  if (n == kRegistrySuiteName && version == 1 && gOptions.registrySuite) found = &gRegistryProcs;
  if (n == kDescriptorSuiteName && ((version == 2 && gOptions.descriptorV2) || (version == 3 && gOptions.descriptorV3)))
    found = &gDescriptorTable;
  if (n == kFileListSuiteName && version == 4 && gOptions.fileListSuite) found = &gFileListSuite;
  *suite = found;
  if (found == nullptr) {
    Say("pmhost: suite \"%s\" version %d refused\n", name, version);
    return kSPSuiteNotFoundError;
  }
  ++gSuitesHeld[{n, version}];
  return 0;
}

SPErr ReleaseSuite(const char* name, int32_t version) {
  const Callback call(std::string("ReleaseSuite(") + (name != nullptr ? name : "null") + ", " + std::to_string(version) + ")");
  if (name == nullptr) {
    ReportMisuse("ReleaseSuite called without a name");
    return kSPSuiteNotFoundError;
  }
  auto it = gSuitesHeld.find({name, version});
  if (it == gSuitesHeld.end() || it->second == 0) {
    ReportMisuse("ReleaseSuite of \"%s\" version %d, which is not acquired", name, version);
    return kSPSuiteNotFoundError;
  }
  --it->second;
  return 0;
}

SPBoolean IsEqual(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

SPErr AllocateBlock(size_t size, void** block) {
  const Callback call("AllocateBlock(" + std::to_string(size) + ")");
  if (block == nullptr) return kSPSuiteNotFoundError;
  *block = std::malloc(size > 0 ? size : 1);
  if (*block == nullptr) return memFullErr;
  gBlocks.insert(*block);
  return 0;
}

SPErr FreeBlock(void* block) {
  const Callback call("FreeBlock");
  if (block == nullptr) return 0;
  if (gBlocks.erase(block) == 0) {
    ReportMisuse("FreeBlock of %p, which is not a live block", block);
    return paramErr;
  }
  std::free(block);
  return 0;
}

SPErr ReallocateBlock(void* block, size_t size, void** newBlock) {
  const Callback call("ReallocateBlock(" + std::to_string(size) + ")");
  if (newBlock == nullptr) return paramErr;
  if (block != nullptr && gBlocks.count(block) == 0) {
    ReportMisuse("ReallocateBlock of %p, which is not a live block", block);
    return paramErr;
  }
  void* p = std::realloc(block, size > 0 ? size : 1);
  if (p == nullptr) return memFullErr;
  gBlocks.erase(block);
  gBlocks.insert(p);
  *newBlock = p;
  return 0;
}

SPErr Undefined() { return kSPSuiteNotFoundError; }

SPBasicSuite gBasicSuite = {AcquireSuite, ReleaseSuite, IsEqual, AllocateBlock, FreeBlock, ReallocateBlock, Undefined};

// ---- write-descriptor procedures ------------------------------------------

std::map<PIWriteDescriptor, std::unique_ptr<Descriptor>> gWriteTokens;

Descriptor* FindToken(PIWriteDescriptor token, const char* caller) {
  const auto it = gWriteTokens.find(token);
  if (it != gWriteTokens.end()) return it->second.get();
  ReportMisuse("%s called with %p, which is not an open write-descriptor token", caller, static_cast<void*>(token));
  return nullptr;
}

OSErr Put(PIWriteDescriptor token, DescriptorKeyID key, DescriptorValue v, const char* caller) {
  Descriptor* d = FindToken(token, caller);
  if (d == nullptr) return paramErr;
  d->Put(key, std::move(v));
  return noErr;
}

PIWriteDescriptor OpenWrite() {
  const Callback call("openWriteDescriptorProc");
  auto d = std::make_unique<Descriptor>();
  auto* token = reinterpret_cast<PIWriteDescriptor>(d.get());
  gWriteTokens.emplace(token, std::move(d));
  return token;
}

OSErr CloseWrite(PIWriteDescriptor token, Handle* descriptor) {
  const Callback call("closeWriteDescriptorProc");
  Descriptor* d = FindToken(token, "closeWriteDescriptorProc");
  if (d == nullptr) return paramErr;
  const std::string text = SerializeDescriptor(*d);
  gWriteTokens.erase(token);
  if (descriptor == nullptr) {
    ReportMisuse("closeWriteDescriptorProc called without a place for the descriptor");
    return paramErr;
  }
  *descriptor = HostNewHandle(text.data(), text.size());
  gOrigin[*descriptor] = -1;  // handed to the module: it must store or dispose of it
  return noErr;
}

OSErr WPutInteger(PIWriteDescriptor t, DescriptorKeyID k, int32_t v) {
  const Callback call("putIntegerProc");
  return Put(t, k, {.type = ValueType::Integer, .integer = v}, "putIntegerProc");
}
OSErr WPutFloat(PIWriteDescriptor t, DescriptorKeyID k, const double* v) {
  const Callback call("putFloatProc");
  if (v == nullptr) return paramErr;
  return Put(t, k, {.type = ValueType::Float, .number = *v}, "putFloatProc");
}
OSErr WPutUnitFloat(PIWriteDescriptor t, DescriptorKeyID k, DescriptorUnitID unit, const double* v) {
  const Callback call("putUnitFloatProc");
  if (v == nullptr) return paramErr;
  return Put(t, k, {.type = ValueType::UnitFloat, .number = *v, .code1 = unit}, "putUnitFloatProc");
}
OSErr WPutBoolean(PIWriteDescriptor t, DescriptorKeyID k, Boolean v) {
  const Callback call("putBooleanProc");
  return Put(t, k, {.type = ValueType::Bool, .integer = v != 0}, "putBooleanProc");
}
OSErr WPutText(PIWriteDescriptor t, DescriptorKeyID k, Handle text) {
  const Callback call("putTextProc");
  if (!CheckHandle(text, "putTextProc")) return paramErr;
  return Put(t, k, {.type = ValueType::Text, .text = HostHandleBytes(text)}, "putTextProc");
}
OSErr WPutAlias(PIWriteDescriptor t, DescriptorKeyID k, Handle alias) {
  const Callback call("putAliasProc");
  if (!CheckHandle(alias, "putAliasProc")) return paramErr;
  return Put(t, k, {.type = ValueType::Alias, .text = HostHandleBytes(alias)}, "putAliasProc");
}
OSErr WPutEnumerated(PIWriteDescriptor t, DescriptorKeyID k, DescriptorTypeID type, DescriptorEnumID id) {
  const Callback call("putEnumeratedProc");
  return Put(t, k, {.type = ValueType::Enumerated, .code1 = type, .code2 = id}, "putEnumeratedProc");
}
OSErr WPutClass(PIWriteDescriptor t, DescriptorKeyID k, DescriptorTypeID cls) {
  const Callback call("putClassProc");
  return Put(t, k, {.type = ValueType::Class, .code1 = cls}, "putClassProc");
}
OSErr WPutSimpleReference(PIWriteDescriptor t, DescriptorKeyID k, const void*) {
  const Callback call("putSimpleReferenceProc");
  return Put(t, k, {.type = ValueType::Reference}, "putSimpleReferenceProc");
}
OSErr WPutObjectCommon(PIWriteDescriptor t, DescriptorKeyID k, DescriptorTypeID cls, Handle h, const char* caller) {
  if (!CheckHandle(h, caller)) return paramErr;
  DescriptorValue value{.type = ValueType::Object, .code1 = cls, .object = std::make_shared<Descriptor>()};
  std::string error;
  if (!ParseDescriptor(HostHandleBytes(h), *value.object, error)) {
    ReportMisuse("%s: the handle holds no descriptor closed by this host", caller);
    return paramErr;
  }
  return Put(t, k, value, caller);
}
OSErr WPutObject(PIWriteDescriptor t, DescriptorKeyID k, DescriptorTypeID cls, Handle h) {
  const Callback call("putObjectProc");
  return WPutObjectCommon(t, k, cls, h, "putObjectProc");
}
OSErr WPutCount(PIWriteDescriptor t, DescriptorKeyID k, uint32_t count) {
  const Callback call("putCountProc");
  return Put(t, k, {.type = ValueType::Integer, .integer = count}, "putCountProc");
}
OSErr WPutString(PIWriteDescriptor t, DescriptorKeyID k, const unsigned char* pascal) {
  const Callback call("putStringProc");
  if (pascal == nullptr) return paramErr;
  return Put(t, k, {.type = ValueType::Text, .text = std::string(reinterpret_cast<const char*>(pascal) + 1, pascal[0])},
             "putStringProc");
}
OSErr WPutScopedClass(PIWriteDescriptor t, DescriptorKeyID k, DescriptorTypeID cls) {
  const Callback call("putScopedClassProc");
  return Put(t, k, {.type = ValueType::Class, .code1 = cls}, "putScopedClassProc");
}
OSErr WPutScopedObject(PIWriteDescriptor t, DescriptorKeyID k, DescriptorTypeID cls, Handle h) {
  const Callback call("putScopedObjectProc");
  return WPutObjectCommon(t, k, cls, h, "putScopedObjectProc");
}

WriteDescriptorProcs gWriteProcs = {0, 16, OpenWrite, CloseWrite, WPutInteger, WPutFloat, WPutUnitFloat,
                                    WPutBoolean, WPutText, WPutAlias, WPutEnumerated, WPutClass,
                                    WPutSimpleReference, WPutObject, WPutCount, WPutString, WPutScopedClass,
                                    WPutScopedObject};

}  // namespace

// ---- public ----------------------------------------------------------------

void ReportMisuse(const char* format, ...) {
  char text[1024];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gMisuse.Flag(text, gCurrentCall);
  ShowNew();
}

int MisuseCount() {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  return static_cast<int>(gMisuse.all().size());
}

std::string MisuseLine(int index) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  const auto& all = gMisuse.all();
  if (index < 0 || size_t(index) >= all.size()) return {};
  return all[size_t(index)].what + " (in " + all[size_t(index)].call + ")";
}

std::string LastHostCall() { return gCalls.Last(); }

void EnterSelector(const char* selector) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCalls.Note(std::string("PluginMain(") + selector + ")");
  ShowNew();
  gCurrentCall = selector;
}

void LeaveSelector(const char* selector) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  // The checks that follow a selector report in its name.
  gCurrentCall = selector;
  ShowNew();
}

void NoteCall(hostkit::Event e, const char* name) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCalls.Add(std::move(e));
  gCurrentCall = name;
  ShowNew();
}

void BeginCall(const char* name) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCurrentCall = name;
}

void InitServices(const ServiceOptions& options) {
  gOptions = options;
  if (options.failNewHandleAt > 0) gPlan.FailAt("newProc", options.failNewHandleAt);
  if (options.failLockAt > 0) gPlan.FailAt("lockProc", options.failLockAt);
  // A half-filled table: the count says how many entries there are, and the
  // ones past it are null.
  gHandleProcs = {1, 8, NewHandleProc, DisposeHandleProc, GetSizeProc, SetSizeProc,
                  LockProc, UnlockProc, RecoverSpaceProc, DisposeHandleProc};
  gHandleProcs.numHandleProcs = options.handleProcCount;
  const int n = options.handleProcCount;
  if (n < 8) gHandleProcs.disposeRegularHandleProc = nullptr;
  if (n < 7) gHandleProcs.recoverSpaceProc = nullptr;
  if (n < 6) gHandleProcs.unlockProc = nullptr;
  if (n < 5) gHandleProcs.lockProc = nullptr;
  if (n < 4) gHandleProcs.setSizeProc = nullptr;
  if (n < 3) gHandleProcs.getSizeProc = nullptr;
  if (n < 2) gHandleProcs.disposeProc = nullptr;
  if (n < 1) gHandleProcs.newProc = nullptr;
  // Under Wine a freed block keeps its old bytes: kept blocks make a pointer
  // held past its unlock read nonsense, and show a write through it.
  gTable.keepMovedBlocks = true;
}
int ServiceCalls(const char* name) { return gPlan.Calls(name); }
HandleProcs* HostHandleProcs() { return &gHandleProcs; }
SPBasicSuite* HostBasicSuite() { return gOptions.basicSuite ? &gBasicSuite : nullptr; }
WriteDescriptorProcs* HostWriteDescriptorProcs() { return gOptions.writeDescriptorProcs ? &gWriteProcs : nullptr; }

Handle HostNewHandle(const void* data, size_t size) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCalls.Note("the host makes a handle of " + std::to_string(size) + " bytes");
  Handle h = gTable.New(static_cast<int32_t>(size));
  if (size > 0) std::memcpy(gTable.Bytes(h), data, size);
  gOrigin[h] = 0;
  ShowNew();
  return h;
}

bool IsHostHandle(Handle h) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  return LiveHandle(h);
}

std::string HostHandleBytes(Handle h) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  if (!LiveHandle(h)) return {};
  return std::string(reinterpret_cast<const char*>(gTable.Bytes(h)), size_t(gTable.GetSize(h)));
}

void HostDisposeHandle(Handle h) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCalls.Note("the host disposes of handle " + std::to_string(gTable.Id(h)));
  gTable.Dispose(h);
  ShowNew();
}

void CheckAfterCall(const char* when) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gTable.Check(when);
  gTable.CheckMoved(when);
  // What a call must give back before it returns: the registry and
  // descriptor suites (held for one operation), descriptors and write tokens.
  // The file-list suite is held from its first use until the module is
  // unloaded. Each is reported once, at the first call that left it; the end
  // of the session reports what was never given back at all.
  static std::set<std::pair<std::string, int32_t>> suitesReported;
  static std::set<const void*> itemsReported;
  for (const auto& [suite, count] : gSuitesHeld)
    if (count > 0 && suite.first != kFileListSuiteName && suitesReported.insert(suite).second)
      ReportMisuse("suite \"%s\" version %d still held %s", suite.first.c_str(), suite.second, when);
  for (const auto& [d, entry] : gDescriptors)
    if (itemsReported.insert(d).second)
      ReportMisuse("descriptor %p from %s not freed %s", static_cast<void*>(d), entry.second.c_str(), when);
  for (const auto& [t, d] : gWriteTokens)
    if (itemsReported.insert(t).second)
      ReportMisuse("write-descriptor token %p not closed %s", static_cast<void*>(t), when);
  ShowNew();
}

std::string DescribeDescriptorHandle(Handle h) {
  if (!IsHostHandle(h)) return {};
  Descriptor d;
  std::string error;
  if (!ParseDescriptor(HostHandleBytes(h), d, error)) return {};
  return DescribeDescriptor(d);
}

bool LoadRegistry(std::string& error) {
  if (gOptions.registryFile.empty()) return true;
  std::ifstream in(gOptions.registryFile, std::ios::binary);
  if (!in) return true;  // no file yet: an empty registry
  std::string line, key, body;
  bool inEntry = false;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!inEntry) {
      if (line.empty() || line[0] == '#') continue;
      if (line.rfind("entry ", 0) != 0) {
        error = gOptions.registryFile + ":" + std::to_string(lineNumber) + ": expected \"entry <key>\"";
        return false;
      }
      key = line.substr(6);
      body.clear();
      inEntry = true;
    } else if (line == "end") {
      RegistryEntry entry;
      entry.persistent = true;
      if (!ParseDescriptor(body, entry.descriptor, error)) {
        error = gOptions.registryFile + ": entry " + key + ": " + error;
        return false;
      }
      gRegistry[key] = entry;
      inEntry = false;
    } else {
      body += line + "\n";
    }
  }
  if (inEntry) {
    error = gOptions.registryFile + ": entry " + key + " has no \"end\"";
    return false;
  }
  return true;
}

bool SaveRegistry(std::string& error) {
  if (gOptions.registryFile.empty()) return true;
  std::ofstream out(gOptions.registryFile, std::ios::binary | std::ios::trunc);
  out << "# pmhost descriptor registry: the persistent entries, one block each\n";
  for (const auto& [key, entry] : gRegistry)
    if (entry.persistent) out << "entry " << key << "\n" << SerializeDescriptor(entry.descriptor) << "end\n";
  out.close();
  if (!out) error = "cannot write " + gOptions.registryFile;
  return static_cast<bool>(out);
}

std::vector<std::string> DescribeRegistry() {
  std::vector<std::string> lines;
  for (const auto& [key, entry] : gRegistry)
    lines.push_back(key + (entry.persistent ? " (persistent): " : ": ") + DescribeDescriptor(entry.descriptor));
  return lines;
}

void ReportLeaks() {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCurrentCall = "the end of the session";
  gTable.CheckMoved("at the end of the session");
  for (const auto& [suite, count] : gSuitesHeld)
    if (count > 0)
      ReportMisuse("suite \"%s\" version %d acquired %d more time(s) than released", suite.first.c_str(), suite.second,
                   count);
  for (const auto& [h, serial] : gOrigin) {
    if (serial == 0 || !gTable.Live(h)) continue;
    const int id = gTable.Id(h);
    const int32_t size = gTable.GetSize(h);
    if (serial > 0)
      ReportMisuse("handle %d (%d bytes, newProc call %d) never disposed", id, size, serial);
    else
      ReportMisuse("descriptor handle %d from closeWriteDescriptorProc neither stored nor disposed", id);
  }
  for (const auto& [d, entry] : gDescriptors)
    ReportMisuse("descriptor %p from %s never freed", static_cast<void*>(d), entry.second.c_str());
  for (const auto& [t, d] : gWriteTokens)
    ReportMisuse("write-descriptor token %p never closed", static_cast<void*>(t));
  for (void* b : gBlocks) ReportMisuse("block %p from AllocateBlock never freed", b);
}
