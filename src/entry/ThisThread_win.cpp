#include <windows.h>

#include "entry/ThisThread.h"

namespace {

uint64_t CreationTime(HANDLE thread) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
  return (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

}  // namespace

// The thread's information block names the stack in use: a fiber switch
// changes its bounds along with the stack. It is read directly: its Self
// member at gs:0x30 on x64 (GCC's NtCurrentTeb intrinsic trips its own
// array-bounds warning), register x18 on ARM64, which the platform reserves
// for it. The creation time comes through the thread's pseudo handle, which
// is no handle to close.
ThisThread CurrentThread() {
  const NT_TIB* tib = nullptr;
#if defined(__aarch64__)
  asm("mov %0, x18" : "=r"(tib));
#else
  asm("movq %%gs:0x30, %0" : "=r"(tib));
#endif
  return ThisThread{GetCurrentThreadId(), CreationTime(GetCurrentThread()),
                    reinterpret_cast<uintptr_t>(tib->StackLimit), reinterpret_cast<uintptr_t>(tib->StackBase)};
}

// A thread id names no thread once the thread has ended and the last handle
// to it is closed (OpenThread then fails with an invalid parameter), until
// the system gives the id to a new thread, which was made later. While a
// handle keeps an ended thread's object, the object is signalled.
bool ThreadHasEnded(uintptr_t id, uint64_t started) {
  if (id == 0 || started == 0) return false;
  const HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
  if (thread == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const uint64_t created = CreationTime(thread);
  const bool ended = (created != 0 && created != started) || WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return ended;
}
