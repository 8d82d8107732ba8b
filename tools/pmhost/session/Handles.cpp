// The handle procedures the module gets, on the kit's handle table, and the
// host's own handle operations.
#include <cstring>

#include "Console.h"
#include "HostServices.h"
#include "ServicesState.h"

namespace pmsession {

std::map<Handle, int32_t> gOrigin;

bool LiveHandle(Handle h) { return h != nullptr && gOrigin.count(h) != 0 && gTable.Live(h); }

// False, with a misuse report, for a handle this host never gave out or that
// is gone.
bool CheckHandle(Handle h, const char* caller) {
  if (LiveHandle(h)) return true;
  ReportMisuse("%s called with %p, which is not a live handle of this host", caller, static_cast<void*>(h));
  return false;
}

namespace {

int32_t gNewHandleCalls = 0;

Handle NewHandleProc(int32_t size) {
  LeaveHereIfPlanned("newProc");
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
  LeaveHereIfPlanned("disposeProc");
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
  LeaveHereIfPlanned("lockProc");
  const Callback call("lockProc", false);
  const bool refuse = gPlan.Fails("lockProc");
  if (refuse) Say("pmhost: lockProc call %d answers null, as asked\n", gPlan.Calls("lockProc"));
  return gTable.Lock(h, refuse);
}

void UnlockProc(Handle h) {
  LeaveHereIfPlanned("unlockProc");
  const Callback call("unlockProc", false);
  gTable.Unlock(h);
}

void RecoverSpaceProc(int32_t) {}

HandleProcs gHandleProcs = {1, 8, NewHandleProc, DisposeHandleProc, GetSizeProc, SetSizeProc,
                            LockProc, UnlockProc, RecoverSpaceProc, DisposeHandleProc};
}  // namespace

}  // namespace pmsession

using namespace pmsession;

HandleProcs* HostHandleProcs() {
  // A half-filled table: the count says how many entries there are, and the
  // ones past it are null.
  gHandleProcs = {1, 8, NewHandleProc, DisposeHandleProc, GetSizeProc, SetSizeProc,
                  LockProc, UnlockProc, RecoverSpaceProc, DisposeHandleProc};
  const int n = gOptions.handleProcCount;
  gHandleProcs.numHandleProcs = static_cast<int16_t>(n);
  if (n < 8) gHandleProcs.disposeRegularHandleProc = nullptr;
  if (n < 7) gHandleProcs.recoverSpaceProc = nullptr;
  if (n < 6) gHandleProcs.unlockProc = nullptr;
  if (n < 5) gHandleProcs.lockProc = nullptr;
  if (n < 4) gHandleProcs.setSizeProc = nullptr;
  if (n < 3) gHandleProcs.getSizeProc = nullptr;
  if (n < 2) gHandleProcs.disposeProc = nullptr;
  if (n < 1) gHandleProcs.newProc = nullptr;
  return &gHandleProcs;
}

int ServiceCalls(const char* name) { return gPlan.Calls(name); }

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
