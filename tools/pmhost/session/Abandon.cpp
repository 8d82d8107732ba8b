// A host that leaves a call of the module by a longjmp out of one of its
// callbacks, as hosts do that recover from trouble inside a callback: the
// call is abandoned, the module's frames are gone, and the host carries on
// with the same record and result slot.
//
// The longjmp lands in CallLeavable's frame, which is live for as long as
// the call runs, and leaves from the very start of the callback, before it
// takes the log lock or makes anything that needs a destructor: msvcrt's
// longjmp (under Wine 8) runs no destructor of the frames it leaves, so
// nothing of the host's own may be held in them. What the module held when
// it was left (locks, suites, blocks, descriptors) the host takes back in
// TakeBackAbandonedCall.
#include <windows.h>

#include <csetjmp>
#include <cstring>

#include "Console.h"
#include "HostServices.h"
#include "ServicesState.h"

namespace {

std::jmp_buf gLeave;
// Set while a leavable call runs: the longjmp's target frame is live then.
volatile bool gArmed = false;
DWORD gCallThread = 0;
const char* gPlanned = nullptr;  // the callback to leave by, or null
int32_t gPlannedAt = 0, gCallsOfPlanned = 0;
const char* gLeftFrom = nullptr;

void NoteLeaving(const char* callback) {
  const std::lock_guard<std::recursive_mutex> lock(pmsession::gLogLock);
  pmsession::gCalls.Note(std::string(callback) + ": the host leaves the call by a longjmp");
  Say("pmhost: the host leaves the call by a longjmp out of %s call %d\n", callback, int(gCallsOfPlanned));
}

}  // namespace

void PlanAbandon(const char* callback, int32_t at) {
  gPlanned = callback != nullptr && callback[0] != 0 ? callback : nullptr;
  gPlannedAt = at;
  gCallsOfPlanned = 0;
  gLeftFrom = nullptr;
}

const char* AbandonedFrom() { return gLeftFrom; }

void LeaveHereIfPlanned(const char* callback) {
  // Only on the thread that made the call, inside it: elsewhere there is no
  // frame to land in.
  if (!gArmed || gPlanned == nullptr || GetCurrentThreadId() != gCallThread) return;
  if (std::strcmp(callback, gPlanned) != 0 || ++gCallsOfPlanned != gPlannedAt) return;
  NoteLeaving(callback);
  gLeftFrom = gPlanned;
  gPlanned = nullptr;
  gArmed = false;
  std::longjmp(gLeave, 1);
}

[[gnu::noinline]] bool CallLeavable(void (*entry)(int16_t, void*, intptr_t*, int16_t*), int16_t selector, void* record,
                                    intptr_t* data, int16_t* result) {
  const bool outer = !gArmed;
  if (outer) {
    gCallThread = GetCurrentThreadId();
    if (setjmp(gLeave) != 0) return true;
    gArmed = true;
  }
  entry(selector, record, data, result);
  if (outer) gArmed = false;
  return false;
}

void TakeBackAbandonedCall() {
  using namespace pmsession;
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCurrentCall = "the host's recovery from the call it left";
  gCalls.Note("the host takes back what the call it left held");
  // Its locks: the module cannot give them back, and forgets them.
  for (const auto& [h, serial] : gOrigin)
    while (gTable.Live(h) && gTable.LockCount(h) > 0) gTable.Unlock(h);
  // Its handles, suites, blocks, descriptors and write tokens: what the
  // left frames alone knew of is the host's to free, not a leak of the
  // module's. Handles it keeps (the parameters, the data slot) it may use
  // and dispose of later as before.
  for (auto& [h, serial] : gOrigin)
    if (serial > 0) serial = 0;
  for (auto& [suite, count] : gSuitesHeld)
    if (suite.first != kFileListSuiteName) count = 0;  // the file-list suite is held until the unload
  gBlocks.clear();
  gDescriptors.clear();
  gWriteTokens.clear();
  ShowNew();
}
