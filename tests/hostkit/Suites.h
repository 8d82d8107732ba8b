// The host's service suites as every test host serves them: a basic suite that
// hands out the descriptor registry suite (v1), the action descriptor suite
// (v2/v3) and the file-list suite (v4, its web browsing); the scripting write
// procedures; and handle procedures for a FilterRecord built by hand.
// Capability switches play thinner or failing hosts.
//
// They are built on the kit's parts, not copies of their own: every call goes
// into a CallLog (entries of kind Ev::Suite, in order with everything else the
// host logs), everything done wrong into a MisuseLog with the call that did
// it, and scripting descriptors are handles of a HandleTable, so the table's
// rules (lock counts, blocks that move on their last unlock, guard bytes, no
// resizing or disposing while locked) hold for them as for any other handle.
//
// A Suites object stands alone, owning its log, misuse log and handle table
// (for programs that build their record by hand), or is attached to a host's
// own (the fake host), so that one log and one misuse list cover the run.
//
// It needs nothing of the module, so the same source serves the native unit
// tests and the Windows programs that load the real module. The host tables
// are C callbacks without a context: they reach the current Suites, the one
// most recently made current (standalone ones are on construction) that is
// still alive.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HostKit.h"
#include "HostSuiteNames.h"
#include "host/HostApi.h"

namespace hostkit {

inline constexpr char kSettingsKey[] = "723b5e70-4e05-11de-8a39-0800200c9a66";
inline constexpr DescriptorKeyID kKeyDith = FourCC("dith");
// What GetBoolean answers for a key that the descriptor lacks.
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
  Dispose,  // a handle disposed of (the table's disposeProc entries)
  BrowseUrl,
};

// One suite call, as read back from the call log.
struct SuiteEvent {
  Op op;
  std::string text;     // suite name, registry key, key=value or web address
  int32_t version = 0;  // suite version
  int32_t code = 0;     // what the host answered
};

using Booleans = std::map<DescriptorKeyID, bool>;

// One registered descriptor: the booleans it holds, and how it was registered.
struct RegistryEntry {
  Booleans booleans;
  bool persistent = false;
};

class Suites {
 public:
  // Standalone: owns its call log, misuse log and handle table.
  explicit Suites(Capabilities capabilities = {});
  // Attached to a host's log, misuse log and handle table, which must outlive it.
  Suites(CallLog& log, MisuseLog& misuse, HandleTable& handles, Capabilities capabilities = {});
  ~Suites();
  Suites(const Suites&) = delete;
  Suites& operator=(const Suites&) = delete;

  static Suites* Current();
  // Makes this the one the C callbacks reach (a host does so before each call).
  void MakeCurrent();

  // May be changed between calls; Attach and each AcquireSuite read it afresh.
  Capabilities caps;

  // Fills sSPBasic, handleProcs and descriptorParameters of a record as the
  // capabilities say (handleProcs only when the record has none).
  void Attach(FilterRecord& record);
  // The basic suite, or null without one.
  SPBasicSuite* BasicSuite();
  // Handle procedures on the handle table (new, dispose, get size, set size,
  // lock, unlock); disposeProc as the capabilities say.
  HandleProcs* Handles();
  // The host's scripting parameters, or null without them.
  PIDescriptorParameters* DescriptorParameters();

  CallLog& log() { return *log_; }
  MisuseLog& misuseLog() { return *misuse_; }
  HandleTable& handles() { return *handles_; }

  // Host state: the persistent registry, as plain booleans per key.
  std::map<std::string, RegistryEntry> registry;

  // A scripting descriptor as a host holds it: a handle of the table; what
  // the module handed back is read with ScriptBooleans.
  Handle MakeScriptDescriptor(const Booleans& booleans);
  // The booleans of a live scripting descriptor made here; nullopt for any
  // other handle.
  std::optional<Booleans> ScriptBooleans(Handle h) const;
  // Scripting descriptors made here and not yet disposed of.
  int LiveScriptDescriptors() const;
  // Disposes of a live scripting descriptor (as a host does when it replaces
  // its own) and answers true; false for any other handle.
  bool DisposeIfOurs(Handle h);
  // Run inside openWriteDescriptorProc, after the token is made: a host that
  // changes its scripting parameters while a token is open.
  std::function<void()> whileWriteOpens;

  std::vector<std::string> browsedUrls;

  // The suite calls and handle disposals, in order, read from the call log
  // (whatever else the host logged is left out).
  std::vector<SuiteEvent> Events() const;
  // The suite calls in a compact form, e.g. "A:reg/1 A:desc/3 Get GetBoolean
  // Free R:reg/1 R:desc/3"; a refused acquisition reads "A!:reg/1".
  std::string SuiteTrace() const;
  // The scripting calls and handle disposals: "Open Put:dith=1 Dispose Close".
  std::string ScriptTrace() const;
  int Count(Op op, const std::string& text = {}) const;

  // Still outstanding: suites acquired and not released, descriptors made or
  // fetched and not freed, write tokens not closed, handles locked.
  int HeldSuites() const;
  int LiveDescriptors() const { return static_cast<int>(descriptors_.size()); }
  int LiveTokens() const { return static_cast<int>(tokens_.size()); }
  int LockedHandles() const { return static_cast<int>(handles_->StillLocked().size()); }
  // What must be back with the host between two calls, described: the
  // registry and descriptor suites (held for one operation), descriptors and
  // write tokens. The file-list suite is left out: the module holds it from
  // its first use until it is unloaded.
  std::vector<std::string> Outstanding() const;
  // Flags everything outstanding as misuse, naming `when`; for a host to run
  // after each call, beside HandleTable::Check.
  void Check(const std::string& when);
  // Everything misused so far ("what (in call)"), then the handles still
  // locked and everything outstanding.
  std::vector<std::string> Misuse() const;

  // Entry points of the host tables (public for the C callbacks only).
  struct Descriptor;
  struct Token;
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

 private:
  void Init();
  void Record(Op op, std::string text = {}, int32_t version = 0, int32_t code = 0);
  void Flag(std::string what);
  Descriptor* LiveDescriptor(PIActionDescriptor d, const char* call);

  std::unique_ptr<CallLog> ownLog_;
  std::unique_ptr<MisuseLog> ownMisuse_;
  std::unique_ptr<HandleTable> ownHandles_;
  CallLog* log_;
  MisuseLog* misuse_;
  HandleTable* handles_;

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
  std::map<Handle, Booleans> scripts_;  // scripting descriptors by handle, disposed ones too
};

}  // namespace hostkit
