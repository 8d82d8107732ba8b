// The write-descriptor procedures: the tokens a module opens to record its
// scripting parameters, closed into descriptor handles.
#include <string>

#include "Console.h"
#include "HostServices.h"
#include "ServicesState.h"

namespace pmsession {

std::map<PIWriteDescriptor, std::unique_ptr<Descriptor>> gWriteTokens;

namespace {

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

}  // namespace pmsession

using namespace pmsession;

WriteDescriptorProcs* HostWriteDescriptorProcs() { return gOptions.writeDescriptorProcs ? &gWriteProcs : nullptr; }
