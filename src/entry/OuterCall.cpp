// The walk goes through the unwinder of the C++ runtime, frame by frame, as
// an exception would: the tables that C++ exceptions use (DWARF call-frame
// information natively, the function tables of the 64-bit Windows ABI through
// RtlLookupFunctionEntry and RtlVirtualUnwind in the module). It needs no
// symbols, allocates nothing, and stops at the first frame it cannot unwind.
#include "entry/OuterCall.h"

#include <unwind.h>

namespace {

// Far more frames than any host puts between two of its calls.
constexpr int kMaxFrames = 4096;

struct Walk {
  uintptr_t returnAddress;
  uintptr_t frame;
  const ThisThread* thread;
  uintptr_t last = 0;
  int frames = 0;
  OuterCall verdict = OuterCall::Unknown;
};

// Each step reports the address where a frame resumes and a stack address
// that belongs to that frame or the one it called; either way the addresses
// of successive steps grow strictly, and those of every frame below a live
// holder stay at or below the holder's frame address.
_Unwind_Reason_Code Visit(struct _Unwind_Context* context, void* argument) {
  Walk& walk = *static_cast<Walk*>(argument);
  const uintptr_t resumes = _Unwind_GetIP(context);
  const uintptr_t stack = _Unwind_GetCFA(context);
  if (resumes == walk.returnAddress) {
    walk.verdict = OuterCall::Live;
    return _URC_NORMAL_STOP;
  }
  // A step that does not go outwards, or leaves the thread's stack, is an
  // unwind gone astray: no verdict.
  const bool outwards = walk.frames == 0 || stack > walk.last;
  const ThisThread& thread = *walk.thread;
  const bool onStack = thread.stackHigh == 0 || (stack >= thread.stackLow && stack <= thread.stackHigh);
  if (!outwards || !onStack || ++walk.frames > kMaxFrames) return _URC_NORMAL_STOP;
  if (stack > walk.frame) {
    walk.verdict = OuterCall::Abandoned;
    return _URC_NORMAL_STOP;
  }
  walk.last = stack;
  return _URC_NO_REASON;
}

}  // namespace

OuterCall FindOuterCall(uintptr_t returnAddress, uintptr_t frame, const ThisThread& thread) {
  if (returnAddress == 0 || frame == 0) return OuterCall::Unknown;
  // A holder whose frame lies outside the stack this call runs on is not
  // beneath it, but it may be alive all the same: a host's coroutine that
  // switched stacks without telling the thread's information block runs on
  // a stack of its own, and is suspended there, not gone. Passing the place
  // of its frame proves nothing.
  if (thread.stackHigh != 0 && (frame < thread.stackLow || frame > thread.stackHigh)) return OuterCall::Unknown;
  Walk walk{returnAddress, frame, &thread};
  _Unwind_Backtrace(Visit, &walk);
  return walk.verdict;
}
