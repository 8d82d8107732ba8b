// The host's service suites, faked for tests: a basic suite that hands out the
// descriptor registry suite (v1), the action descriptor suite (v2/v3) and the
// file-list suite (v4); the scripting write procedures; and handle procedures
// for a FilterRecord built by hand. Capability switches play thinner or failing
// hosts, and every call is recorded in order so that a test can check that
// acquisitions, releases, makes and frees balance and come in the promised order.
//
// It stands alone: it needs nothing of the module, so the same source serves
// the native unit tests and the Windows programs that load the real module.
// The host tables are C callbacks without a context, so they reach one
// FakeSuites, the current one: the most recently constructed that is alive.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HostSuiteNames.h"
#include "host/HostApi.h"

namespace fakehost {

using hostkit::kDescriptorSuiteName;
using hostkit::kFileListSuiteName;
using hostkit::kRegistrySuiteName;
inline constexpr char kSettingsKey[] = "723b5e70-4e05-11de-8a39-0800200c9a66";
inline constexpr DescriptorKeyID kKeyDith = FourCC("dith");
// What the fake's GetBoolean answers for a key that the descriptor lacks.
inline constexpr OSErr kKeyMissing = -1728;

// Switches that remove or break parts of the host. Failure codes of 0 mean
// "works"; any other value is what the call answers.
struct Capabilities {
  bool basicSuite = true;             // false: sSPBasic is null
  bool basicHalfFilled = false;       // the basic suite's ReleaseSuite entry is null
  bool registrySuite = true;          // false: the registry suite is refused
  bool registryHalfFilled = false;    // the registry suite's Get entry is null
  int32_t descriptorVersion = 3;      // highest action descriptor version served; 0: refused
  bool descriptorHalfFilled = false;  // the action descriptor suite's GetBoolean entry is null
  bool fileListSuite = true;          // false: the file-list suite is refused
  bool fileListNullTable = false;     // the file-list suite is "acquired" (code 0) with a null table
  bool disposeProc = true;            // false: Handles() has no disposeProc
  OSErr getFails = 0;
  OSErr getBooleanFails = 0;
  Boolean trueByte = 1;               // the byte GetBoolean answers for true (hosts differ)
  OSErr makeFails = 0;
  OSErr putBooleanFails = 0;
  OSErr registerFails = 0;
  bool descriptorParameters = true;   // false: descriptorParameters is null
  bool writeProcs = true;             // false: writeDescriptorProcs is null
  bool writeProcsHalfFilled = false;  // putBooleanProc is null
  bool nullWriteToken = false;        // openWriteDescriptorProc answers null
};

enum class Op {
  AcquireSuite,
  ReleaseSuite,
  Get,
  Register,
  Make,
  Free,
  GetBoolean,
  PutBoolean,
  OpenWrite,
  WriteBoolean,
  CloseWrite,
  Dispose,
  BrowseUrl,
};

struct SuiteEvent {
  Op op;
  std::string text;     // suite name, registry key or web address
  int32_t version = 0;  // suite version
  int32_t code = 0;     // what the fake answered
};

// One registered descriptor: the booleans it holds, and how it was registered.
struct RegistryEntry {
  std::map<DescriptorKeyID, bool> booleans;
  bool persistent = false;
};

using Booleans = std::map<DescriptorKeyID, bool>;

class FakeSuites {
 public:
  explicit FakeSuites(Capabilities capabilities = {});
  ~FakeSuites();
  FakeSuites(const FakeSuites&) = delete;
  FakeSuites& operator=(const FakeSuites&) = delete;

  static FakeSuites* Current();

  // May be changed between calls; Attach and each AcquireSuite read it afresh.
  Capabilities caps;

  // Fills sSPBasic, handleProcs and descriptorParameters of a record as the
  // capabilities say (handleProcs only when the record has none).
  void Attach(FilterRecord& record);
  // The basic suite, or null without one.
  SPBasicSuite* BasicSuite();
  // Working handle procedures (new, dispose, get size, lock, unlock).
  HandleProcs* Handles();
  // The host's scripting parameters, or null without them.
  PIDescriptorParameters* DescriptorParameters();

  // Host state: the persistent registry, as plain booleans per key.
  std::map<std::string, RegistryEntry> registry;

  // A scripting descriptor as a host would hold it; what the module handed
  // back is read with ScriptBooleans.
  Handle MakeScriptDescriptor(const Booleans& booleans);
  // The booleans of a scripting descriptor made here; nullopt for any other handle.
  std::optional<Booleans> ScriptBooleans(Handle h) const;
  // A copy of the contents of a handle from Handles()->newProc (empty for
  // unknown handles).
  std::vector<uint8_t> CopyHandleBytes(Handle h) const;
  // Disposes of the handle when it is one of ours (as a host does when it
  // replaces its own descriptor) and answers true; false for any other handle.
  bool DisposeIfOurs(Handle h);
  // Run inside openWriteDescriptorProc, after the token is made: a host that
  // changes its scripting parameters while a token is open.
  std::function<void()> whileWriteOpens;

  // Everything recorded, in order.
  std::vector<SuiteEvent> events;
  // Calls that a careful module never makes (freeing what is not live,
  // releasing what was not acquired, ...), described.
  std::vector<std::string> misuse;
  std::vector<std::string> browsedUrls;

  // The suite calls in a compact form, e.g. "A:reg/1 A:desc/3 Get GetBoolean
  // Free R:reg/1 R:desc/3"; a refused acquisition reads "A!:reg/1".
  std::string SuiteTrace() const;
  // The scripting calls: "Open Put:dith=1 Dispose Close".
  std::string ScriptTrace() const;
  int Count(Op op, const std::string& text = {}) const;

  // Still outstanding: suites acquired and not released, descriptors made or
  // fetched and not freed, write tokens not closed, handles locked.
  int HeldSuites() const;
  int LiveDescriptors() const { return static_cast<int>(descriptors_.size()); }
  int LiveTokens() const { return static_cast<int>(tokens_.size()); }
  int LockedHandles() const;
  int LiveHandles() const { return static_cast<int>(handles_.size()); }

  // Entry points of the fake tables (public for the C callbacks only).
  struct Descriptor;
  struct Token;
  struct FakeHandle;
  SPErr OnAcquire(const char* name, int32_t version, const void** suite);
  SPErr OnRelease(const char* name, int32_t version);
  OSErr OnRegister(const char* key, PIActionDescriptor d, Boolean persistent);
  OSErr OnGet(const char* key, PIActionDescriptor* d);
  OSErr OnMake(PIActionDescriptor* d);
  OSErr OnFree(PIActionDescriptor d);
  OSErr OnPutBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean value);
  OSErr OnGetBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean* value);
  PIWriteDescriptor OnOpenWrite();
  OSErr OnWriteBoolean(PIWriteDescriptor token, DescriptorKeyID key, Boolean value);
  OSErr OnCloseWrite(PIWriteDescriptor token, Handle* descriptor);
  SPErr OnBrowse(const char* url);
  Handle OnNewHandle(int32_t size);
  void OnDispose(Handle h);
  int32_t OnGetSize(Handle h);
  Ptr OnLock(Handle h);
  void OnUnlock(Handle h);

 private:
  void Record(Op op, std::string text = {}, int32_t version = 0, int32_t code = 0);
  Descriptor* LiveDescriptor(PIActionDescriptor d, const char* call);

  SPBasicSuite basic_{};
  PSDescriptorRegistryProcs registryProcs_{};
  PSActionDescriptorProcs descriptorProcs_{};
  PSGetFileListSuite4 fileListProcs_{};
  WriteDescriptorProcs writeProcs_{};
  HandleProcs handleProcs_{};
  PIDescriptorParameters parameters_{};

  std::map<std::pair<std::string, int32_t>, int> held_;
  std::set<Descriptor*> descriptors_;
  std::set<Token*> tokens_;
  std::set<FakeHandle*> handles_;
  FakeSuites* previous_ = nullptr;
};

}  // namespace fakehost
