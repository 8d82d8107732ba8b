#include "host/HostSuite.h"

#include <cstdlib>

#include "host/CallContext.h"
#include "host/HostProcs.h"
#include "host/SuiteNames.h"

HostSuite gFileListSuite{nullptr, PIXELMOOR_FILE_LIST_SUITE_VERSION, PIXELMOOR_FILE_LIST_SUITE_NAME, 0};

namespace {

// Set once, by the DLL entry, when the process is ending rather than the
// module being unloaded from a living process.
bool gProcessTerminating = false;

void ReleaseHeldSuites() { gFileListSuite.ReleaseAtUnload(); }

// Registered while the module is loaded: a DLL's exit-time list runs when the
// DLL is unloaded, so the held suite goes back to the host before our code
// leaves its process. Holders added later register here too, and are then
// released in the reverse order of registration.
[[maybe_unused]] const int kReleaseRegistered = std::atexit(ReleaseHeldSuites);

}  // namespace

const void* HostSuite::GetSuite(uint32_t* whyNot) {
  if (suite != nullptr) return suite;
  const auto fail = [whyNot](uint32_t code) -> const void* {
    if (whyNot != nullptr) *whyNot = code;
    return nullptr;
  };
  SPBasicSuite* basic = gPluginGlobals.basicSuite;
  // A basic suite with missing entries is as good as none: never call through null.
  if (!BasicSuiteUsable(basic)) return fail(kHostSuiteNoBasicSuite);
  const void* acquired = nullptr;
  lastError = basic->AcquireSuite(name, static_cast<int32_t>(version), &acquired);
  if (lastError != 0) return fail(static_cast<uint32_t>(lastError));
  if (acquired == nullptr) {
    // The host counted an acquisition but handed out no table: give it back at
    // once rather than hold something nobody can call, and record the failure
    // as a missing suite, which is what the caller is told.
    lastError = kSPSuiteNotFoundError;
    basic->ReleaseSuite(name, static_cast<int32_t>(version));
    return fail(static_cast<uint32_t>(kSPSuiteNotFoundError));
  }
  suite = acquired;
  return suite;
}

void NoteProcessTermination() { gProcessTerminating = true; }

void HostSuite::ReleaseAtUnload() {
  if (suite == nullptr) return;
  // The mingw-w64 start-up code runs our exit-time list on every process
  // detach, also when the whole process is ending, after the host's own exit
  // handlers: its suite table may be gone, and the process is about to take
  // every acquisition with it. Only an unload from a living process releases.
  if (gProcessTerminating) return;
  SPBasicSuite* basic = gPluginGlobals.basicSuite;
  // Without a way to release, the suite stays recorded as held.
  if (basic == nullptr || basic->ReleaseSuite == nullptr) return;
  basic->ReleaseSuite(name, static_cast<int32_t>(version));
  suite = nullptr;
}
