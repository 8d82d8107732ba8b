#include "settings/Settings.h"

#include "host/CallContext.h"
#include "host/HostProcs.h"
#include "host/SuiteNames.h"
#include "resources/Identifiers.h"

namespace {

// Our entry in the host's descriptor registry; the property list carries the
// same text as its terminology scope.
constexpr char kSettingsKey[] = PIXELMOOR_SETTINGS_KEY;

constexpr char kRegistrySuiteName[] = PIXELMOOR_REGISTRY_SUITE_NAME;
constexpr int32_t kRegistrySuiteVersion = PIXELMOOR_REGISTRY_SUITE_VERSION;
constexpr char kDescriptorSuiteName[] = PIXELMOOR_DESCRIPTOR_SUITE_NAME;
constexpr int32_t kDescriptorSuiteVersion = PIXELMOOR_DESCRIPTOR_SUITE_VERSION;

constexpr DescriptorKeyID kKeyDither = FourCC(PIXELMOOR_DITHER_KEY);

// The registry and action descriptor suites for the length of one operation.
// The registry suite is acquired first and only then the descriptor suite; both
// go back in that same order, whatever path the operation took. A suite whose
// pointer came back non-null counts as obtained and is released.
class SettingsSuites {
 public:
  explicit SettingsSuites(SPBasicSuite* basic) : basic_(basic) {
    code_ = basic_->AcquireSuite(kRegistrySuiteName, kRegistrySuiteVersion, &registry_);
    if (code_ != 0) return;
    code_ = basic_->AcquireSuite(kDescriptorSuiteName, kDescriptorSuiteVersion, &descriptor_);
    if (code_ != 0) return;
    // Suites with missing entries are treated as missing suites.
    if (!RegistrySuiteUsable(Registry()) || !DescriptorSuiteUsable(Descriptor())) code_ = errPlugInHostInsufficient;
  }

  ~SettingsSuites() {
    if (registry_ != nullptr) basic_->ReleaseSuite(kRegistrySuiteName, kRegistrySuiteVersion);
    if (descriptor_ != nullptr) basic_->ReleaseSuite(kDescriptorSuiteName, kDescriptorSuiteVersion);
  }

  SettingsSuites(const SettingsSuites&) = delete;
  SettingsSuites& operator=(const SettingsSuites&) = delete;

  // 0 when both suites are there and usable.
  int32_t Code() const { return code_; }
  const PSDescriptorRegistryProcs* Registry() const {
    return static_cast<const PSDescriptorRegistryProcs*>(registry_);
  }
  const PSActionDescriptorProcs* Descriptor() const {
    return static_cast<const PSActionDescriptorProcs*>(descriptor_);
  }

 private:
  SPBasicSuite* basic_;
  const void* registry_ = nullptr;
  const void* descriptor_ = nullptr;
  int32_t code_ = 0;
};

// A descriptor made or fetched through the action descriptor suite; freed when
// the operation ends, whether or not it was used or registered. The host may
// have filled it in even when its call failed, so whatever came back is freed.
class OwnedDescriptor {
 public:
  explicit OwnedDescriptor(const PSActionDescriptorProcs* procs) : procs_(procs) {}
  ~OwnedDescriptor() {
    if (descriptor_ != nullptr) procs_->Free(descriptor_);
  }

  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

  PIActionDescriptor* Out() { return &descriptor_; }
  PIActionDescriptor Get() const { return descriptor_; }

 private:
  const PSActionDescriptorProcs* procs_;
  PIActionDescriptor descriptor_ = nullptr;
};

// The record every operation needs; null outside a filter call.
bool HaveCallState() { return HostFilterRecord() != nullptr; }

}  // namespace

int32_t LoadSavedSettings(ParameterBlock& block) {
  if (!HaveCallState()) return filterBadParameters;
  SPBasicSuite* basic = HostFilterRecord()->sSPBasic;
  if (!BasicSuiteUsable(basic)) return errPlugInHostInsufficient;

  SettingsSuites suites(basic);
  if (suites.Code() != 0) return suites.Code();

  OwnedDescriptor saved(suites.Descriptor());
  const OSErr got = suites.Registry()->Get(kSettingsKey, saved.Out());
  if (got != noErr) return got;
  // Nothing registered yet: the block's value stands.
  if (saved.Get() == nullptr) return noErr;

  Boolean value = 0;
  const OSErr read = suites.Descriptor()->GetBoolean(saved.Get(), kKeyDither, &value);
  // The block holds 0 or 1, whatever non-zero byte the host calls true.
  if (read == noErr) block.useDithering = value != 0 ? 1 : 0;
  return read;
}

int32_t SaveSettings(const ParameterBlock& block) {
  if (!HaveCallState()) return filterBadParameters;
  SPBasicSuite* basic = HostFilterRecord()->sSPBasic;
  if (!BasicSuiteUsable(basic)) return errPlugInHostInsufficient;

  SettingsSuites suites(basic);
  if (suites.Code() != 0) return suites.Code();

  OwnedDescriptor entry(suites.Descriptor());
  const OSErr made = suites.Descriptor()->Make(entry.Out());
  if (made != noErr) return made;
  // A host that reports success without a descriptor cannot be written to.
  if (entry.Get() == nullptr) return errPlugInHostInsufficient;

  // False is written too: an entry must be able to turn dithering off.
  const Boolean dither = block.useDithering != 0 ? 1 : 0;
  const OSErr put = suites.Descriptor()->PutBoolean(entry.Get(), kKeyDither, dither);
  if (put != noErr) return put;

  constexpr Boolean kPersistent = 1;
  return suites.Registry()->Register(kSettingsKey, entry.Get(), kPersistent);
}

int32_t WriteScriptSettings(const ParameterBlock& block) {
  if (!HaveCallState()) return filterBadParameters;
  FilterRecord* record = HostFilterRecord();
  PIDescriptorParameters* parameters = record->descriptorParameters;
  // A host without scripting, or with a partial write table, records nothing.
  if (parameters == nullptr || !WriteProcsUsable(parameters->writeDescriptorProcs)) return noErr;
  const WriteDescriptorProcs* write = parameters->writeDescriptorProcs;

  // The old descriptor is the host's memory and must go back through
  // disposeProc. A host that holds a descriptor but gives us no way to dispose
  // of it keeps its descriptor, since replacing it would leak it; this is
  // decided before a token is opened, so that nothing is written in vain.
  if (parameters->descriptor != nullptr && !CanDisposeHandles(record->handleProcs)) return noErr;

  PIWriteDescriptor token = write->openWriteDescriptorProc();
  if (token == nullptr) return errMissingParameter;

  // A recorded action carries 'dith' only when dithering is on; no key means
  // off. The put's code cannot change what we hand back.
  if (block.useDithering != 0) write->putBooleanProc(token, kKeyDither, 1);

  // The descriptor and the handle procedures are read here, where they are
  // used: the host may have replaced its descriptor while the token was opened
  // or written, and then it is the current one that we replace. An empty
  // member has nothing to dispose of and is skipped.
  const Handle old = parameters->descriptor;
  HandleProcs* handles = record->handleProcs;
  const bool replace = old == nullptr || CanDisposeHandles(handles);
  if (old != nullptr && replace) handles->disposeProc(old);

  // The token is closed in any case: an open token is the host's to finish.
  Handle fresh = nullptr;
  write->closeWriteDescriptorProc(token, &fresh);
  // A host that took disposeProc away while holding a descriptor (only
  // possible by changing its tables during this call) keeps that descriptor,
  // as above. The handle the closed token yields cannot go back without
  // disposeProc either: that one is lost, the lesser harm than losing the
  // host's own descriptor.
  if (!replace) return noErr;
  parameters->descriptor = fresh;
  // Recorded with the dialog optional: whoever plays the action back decides.
  parameters->recordInfo = plugInDialogOptional;
  return noErr;
}
