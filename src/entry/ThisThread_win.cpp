#include <windows.h>

#include "entry/ThisThread.h"

// The thread's information block names the stack in use: a fiber switch
// changes its bounds along with the stack. Its Self member (at gs:0x30 on
// x64) is read directly: GCC's NtCurrentTeb intrinsic trips its own
// array-bounds warning.
ThisThread CurrentThread() {
  const NT_TIB* tib = nullptr;
  asm("movq %%gs:0x30, %0" : "=r"(tib));
  return ThisThread{GetCurrentThreadId(), reinterpret_cast<uintptr_t>(tib->StackLimit),
                    reinterpret_cast<uintptr_t>(tib->StackBase)};
}
