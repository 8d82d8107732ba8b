#include <windows.h>

#include "entry/ThisThread.h"

// The thread's information block names the stack in use: a fiber switch
// changes its bounds along with the stack.
ThisThread CurrentThread() {
  const NT_TIB* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
  return ThisThread{GetCurrentThreadId(), reinterpret_cast<uintptr_t>(tib->StackLimit),
                    reinterpret_cast<uintptr_t>(tib->StackBase)};
}
