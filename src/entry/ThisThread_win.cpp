#include <windows.h>

#include "entry/ThisThread.h"

// The thread's information block names the stack in use: a fiber switch
// changes its bounds along with the stack. It is read directly: its Self
// member at gs:0x30 on x64 (GCC's NtCurrentTeb intrinsic trips its own
// array-bounds warning), register x18 on ARM64, which the platform reserves
// for it.
ThisThread CurrentThread() {
  const NT_TIB* tib = nullptr;
#if defined(__aarch64__)
  asm("mov %0, x18" : "=r"(tib));
#else
  asm("movq %%gs:0x30, %0" : "=r"(tib));
#endif
  return ThisThread{GetCurrentThreadId(), reinterpret_cast<uintptr_t>(tib->StackLimit),
                    reinterpret_cast<uintptr_t>(tib->StackBase)};
}
