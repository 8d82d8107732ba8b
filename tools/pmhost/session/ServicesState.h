// What the host's services share: the session's call and misuse logs and the
// lock around them, the kit's handle table and fault plan, the handles,
// descriptors, registry entries, suites, blocks and write tokens given out,
// and the call in progress. Private to the session library; its users see
// HostServices.h.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "Descriptors.h"
#include "HostKit.h"
#include "HostServices.h"
#include "HostSuiteNames.h"

namespace pmsession {

using hostkit::kDescriptorSuiteName;
using hostkit::kFileListSuiteName;
using hostkit::kRegistrySuiteName;

inline constexpr OSErr paramErr = -50;

extern ServiceOptions gOptions;

// ---- the kit's logs and handle table (Logs.cpp) -----------------------------

// One call log and one misuse log for the whole session, and the handle table
// that enforces the handle rules every test host shares (lock counts, blocks
// that move on their last unlock, resizing or disposing while locked, guard
// bytes after every block). Misuse is reported from the dialog driver's
// thread too: the logs are only touched under gLogLock.
extern hostkit::CallLog gCalls;
extern hostkit::MisuseLog gMisuse;
extern hostkit::HandleTable gTable;
extern hostkit::FaultPlan gPlan;
extern std::recursive_mutex gLogLock;
// The call in progress, named in the misuse it makes: a host callback, or the
// selector while the module runs it and while the host checks it afterwards.
extern std::string gCurrentCall;

// Prints what the logs gained since the last time: every misuse, with the call
// that made it, and with --verbose every call.
void ShowNew();

// Once the process has begun to end (MarkProcessEnding), a call of the module
// is reported as a verdict line written straight to the standard output, and
// the process ends there: the host's own state may be gone already.
void GuardProcessEnd(const char* call);
// Keeps the name of the call in progress where the crash report can read it
// without a lock or the heap.
void PrepareLastCall(const char* call);

// Enters a host callback: makes it the call in progress and logs it (unless
// the kit's handle table logs it itself).
class Callback {
 public:
  explicit Callback(std::string name, bool logged = true) : lock_((GuardProcessEnd(name.c_str()), gLogLock)) {
    PrepareLastCall(name.c_str());
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

// ---- handles (Handles.cpp) ----------------------------------------------------

// Who made each handle, beyond the kit's table: a newProc call of the module
// (its number), the host itself (0), or closeWriteDescriptorProc (-1), whose
// handle the module must store or dispose of.
extern std::map<Handle, int32_t> gOrigin;
bool LiveHandle(Handle h);
// False, with a misuse report, for a handle this host never gave out or that
// is gone.
bool CheckHandle(Handle h, const char* caller);

// ---- descriptors (DescriptorSuite.cpp) ------------------------------------------

// Each live descriptor, with where it came from.
extern std::map<PIActionDescriptor, std::pair<std::unique_ptr<Descriptor>, std::string>> gDescriptors;
PIActionDescriptor NewDescriptor(Descriptor d, const std::string& origin);
Descriptor* FindDescriptor(PIActionDescriptor d, const char* caller);

// The action descriptor suite: the 28 common entries and 24 later ones that
// this host does not serve.
struct ActionDescriptorTable {
  PSActionDescriptorProcs common;
  OSErr (*later[24])();
};
extern ActionDescriptorTable gDescriptorTable;

// ---- the registry (Registry.cpp) ------------------------------------------------

struct RegistryEntry {
  Descriptor descriptor;
  bool persistent = false;
};
extern std::map<std::string, RegistryEntry> gRegistry;
extern PSDescriptorRegistryProcs gRegistryProcs;

// ---- suites and blocks (BasicSuite.cpp) -----------------------------------------

// How often each suite (name, version) is acquired and not yet released.
extern std::map<std::pair<std::string, int32_t>, int32_t> gSuitesHeld;
extern std::set<void*> gBlocks;

// ---- write-descriptor procedures (WriteDescriptor.cpp) --------------------------

extern std::map<PIWriteDescriptor, std::unique_ptr<Descriptor>> gWriteTokens;

}  // namespace pmsession
