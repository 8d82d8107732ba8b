// The action descriptor suite (versions 2 and 3): descriptors the module
// makes, reads and fills, each tracked until it is freed.
#include <algorithm>
#include <cstring>
#include <utility>

#include "Console.h"
#include "HostServices.h"
#include "ServicesState.h"

namespace pmsession {

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

namespace {

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

}  // namespace

template <int... N>
constexpr ActionDescriptorTable MakeDescriptorTable(std::integer_sequence<int, N...>) {
  return {{AdMake, AdFree, AdGetType, AdGetKey, AdHasKey, AdGetCount, AdIsEqual, AdErase, AdClear, AdPutInteger,
           AdPutFloat, AdPutUnitFloat, AdPutString, AdPutBoolean, AdPutList, AdPutObject, AdPutGlobalObject,
           AdPutEnumerated, AdPutReference, AdPutClass, AdPutGlobalClass, AdPutAlias, AdGetInteger, AdGetFloat,
           AdGetUnitFloat, AdGetStringLength, AdGetString, AdGetBoolean},
          {UnservedEntry<29 + N>...}};
}
ActionDescriptorTable gDescriptorTable = MakeDescriptorTable(std::make_integer_sequence<int, 24>{});
}  // namespace pmsession

using namespace pmsession;

std::string DescribeDescriptorHandle(Handle h) {
  if (!IsHostHandle(h)) return {};
  Descriptor d;
  std::string error;
  if (!ParseDescriptor(HostHandleBytes(h), d, error)) return {};
  return DescribeDescriptor(d);
}
