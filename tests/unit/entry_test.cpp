// The entry point: selector dispatch, the two host-held blocks through their
// whole life, and what the module does when the host cannot allocate or lock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "FakeHost.h"
#include "FakeHostTest.h"
#include "entry/OuterCall.h"
#include "entry/PluginMain.h"
#include "entry/ThisThread.h"
#include "host/CallContext.h"

namespace {

using fakehost::DialogAnswer;
using fakehost::Ev;
using fakehost::FakeHost;
using fakehost::Options;
using testing::IsEmpty;

class Entry : public fakehost::FakeHostTest {};

int Count(const FakeHost& host, Ev kind) { return static_cast<int>(host.EventsOf(kind).size()); }

// ---- calls from elsewhere on the stack -------------------------------------

// Runs `work` `depth` frames further down the stack, each frame with stack
// space of its own.
[[gnu::noinline]] void FromDeeper(int depth, const std::function<void()>& work) {
  volatile char room[256];
  room[0] = 0;
  if (depth == 0)
    work();
  else
    FromDeeper(depth - 1, work);
  room[1] = room[0];  // keeps this frame alive across the call
}

// Calls function(argument) through a frame that has no unwind information,
// as code that a host generated at run time may be: no stack walk gets past
// it.
extern "C" void CallWithoutUnwindInfo(void (*function)(void*), void* argument);
#if defined(__x86_64__) && defined(_WIN32)
asm(".text\n"
    ".globl CallWithoutUnwindInfo\n"
    "CallWithoutUnwindInfo:\n"
    "  subq $40, %rsp\n"
    "  movq %rcx, %rax\n"
    "  movq %rdx, %rcx\n"
    "  callq *%rax\n"
    "  addq $40, %rsp\n"
    "  retq\n");
#elif defined(__x86_64__)
asm(".text\n"
    ".globl CallWithoutUnwindInfo\n"
    ".type CallWithoutUnwindInfo, @function\n"
    "CallWithoutUnwindInfo:\n"
    "  subq $8, %rsp\n"
    "  movq %rdi, %rax\n"
    "  movq %rsi, %rdi\n"
    "  callq *%rax\n"
    "  addq $8, %rsp\n"
    "  retq\n"
    ".size CallWithoutUnwindInfo, .-CallWithoutUnwindInfo\n");
#elif defined(__aarch64__)
// The same code for both systems; on Windows it has no .pdata entry, so the
// unwinder takes it for a leaf function. ELF alone wants a type and a size.
#if defined(_WIN32)
#define PIXELMOOR_ELF_TYPE ""
#define PIXELMOOR_ELF_SIZE ""
#else
#define PIXELMOOR_ELF_TYPE ".type CallWithoutUnwindInfo, %function\n"
#define PIXELMOOR_ELF_SIZE ".size CallWithoutUnwindInfo, .-CallWithoutUnwindInfo\n"
#endif
asm(".text\n"
    ".globl CallWithoutUnwindInfo\n" PIXELMOOR_ELF_TYPE
    "CallWithoutUnwindInfo:\n"
    "  stp x29, x30, [sp, #-16]!\n"
    "  mov x29, sp\n"
    "  mov x2, x0\n"
    "  mov x0, x1\n"
    "  blr x2\n"
    "  ldp x29, x30, [sp], #16\n"
    "  ret\n" PIXELMOOR_ELF_SIZE);
#else
#error "CallWithoutUnwindInfo is written for x86-64 and ARM64"
#endif

void RunWithoutUnwindInfo(const std::function<void()>& work) {
  CallWithoutUnwindInfo([](void* w) { (*static_cast<const std::function<void()>*>(w))(); },
                        const_cast<std::function<void()>*>(&work));
}

// Callbacks a test puts in the record in place of the fake host's: the first
// one to run does `gInCallback` (which may longjmp out of the module), then
// each answers as the fake host does.
std::function<void()> gInCallback;
void RunCallbackWork() {
  if (std::function<void()> work = std::exchange(gInCallback, nullptr)) work();
}
Boolean AbortWithWork() {
  RunCallbackWork();
  return FakeHost::AbortProc();
}
OSErr AdvanceWithWork() {
  RunCallbackWork();
  return FakeHost::AdvanceState();
}
void ProgressWithWork(int32_t done, int32_t total) {
  RunCallbackWork();
  FakeHost::ProgressProc(done, total);
}

enum class Callback { Abort, Advance, Progress };
const char* Name(Callback c) {
  return c == Callback::Abort ? "abortProc" : c == Callback::Advance ? "advanceState" : "progressProc";
}
void InstallCallbackWork(FakeHost& host, Callback c, std::function<void()> work) {
  gInCallback = std::move(work);
  FilterRecord& r = *host.record();
  if (c == Callback::Abort) r.abortProc = &AbortWithWork;
  if (c == Callback::Advance) r.advanceState = &AdvanceWithWork;
  if (c == Callback::Progress) r.progressProc = &ProgressWithWork;
}

// Every plane sample at one of the two 5-6-5 levels around its source value
// (255 kept), and the image changed: a conversion ran over the whole image.
bool ConvertedEverywhere(FakeHost& host) {
  const Options& o = host.options();
  for (int p = 0; p < o.planes; ++p) {
    const int step = p == 1 ? 4 : 8;
    for (int32_t y = 0; y < o.height; ++y)
      for (int32_t x = 0; x < o.width; ++x) {
        const int v = host.Source(p, y, x), got = host.Destination(p, y, x), low = v / step * step;
        if (v == 255 ? got != 255 : (got != low && got != low + step)) return false;
      }
  }
  return host.destination() != host.source();
}

TEST_F(Entry, FullRunLeavesNothingLockedAndDisposesOfNothing) {
  FakeHost& host = Make();
  ASSERT_EQ(host.RunFilter(), noErr);
  EXPECT_EQ(host.HandlesCreated(), 2);
  EXPECT_EQ(host.options().newProcFailsAt, 0);
  for (const auto& e : host.EventsOf(Ev::NewHandle)) EXPECT_EQ(e.a, 1) << "each block is one byte";
  EXPECT_EQ(Count(host, Ev::DisposeHandle), 0);
  EXPECT_EQ(*host.ParameterByte(), 1);
  EXPECT_EQ(*host.RunStateByte(), 1);
  EXPECT_EQ(fakehost::FakeDialogs().confirmCalls, 1);
}

TEST_F(Entry, ParametersResetsExistingBlocksWithoutAllocating) {
  FakeHost& host = Make();
  ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
  *host.ParameterByte() = 0;
  *host.RunStateByte() = 0;
  // One host starts calls with a non-zero result; the reset must still happen
  // and the host's value stays in the slot.
  host.result() = 1;
  EXPECT_EQ(host.Call(filterSelectorParameters), 1);
  EXPECT_EQ(host.HandlesCreated(), 2);
  EXPECT_EQ(*host.ParameterByte(), 1);
  EXPECT_EQ(*host.RunStateByte(), 1);
}

TEST_F(Entry, PrepareKeepsBlocksAndClearsTheMemoryRequest) {
  FakeHost& host = Make();
  ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
  *host.ParameterByte() = 0;  // as loaded from the registry in an earlier run
  EXPECT_EQ(host.Call(filterSelectorPrepare), noErr);
  EXPECT_EQ(host.HandlesCreated(), 2);
  EXPECT_EQ(*host.ParameterByte(), 0);
  EXPECT_EQ(host.record()->bufferSpace, 0);
  EXPECT_EQ(host.record()->maxSpace, 0);

  // A host that lost its data slot gets a new run state, and both are reset.
  host.dataSlot() = 0;
  EXPECT_EQ(host.Call(filterSelectorPrepare), noErr);
  EXPECT_EQ(host.HandlesCreated(), 3);
  EXPECT_EQ(*host.ParameterByte(), 1);
  EXPECT_EQ(*host.RunStateByte(), 1);
}

// newProc refusing a block: -108, nothing locked or initialised, the other
// block still made, and prepare still clears its memory request. A newProc
// that throws std::bad_alloc instead of answering null is out of memory too.
TEST_F(Entry, RefusedAllocationLeavesBlocksUninitialised) {
  struct Case {
    int16_t selector;
    int failingNew;  // 1: the parameter block, 2: the run state
    bool throws = false;
  };
  for (const Case c : {Case{filterSelectorParameters, 1}, Case{filterSelectorParameters, 2},
                       Case{filterSelectorPrepare, 1}, Case{filterSelectorPrepare, 2},
                       Case{filterSelectorParameters, 2, true}, Case{filterSelectorPrepare, 2, true}}) {
    SCOPED_TRACE(testing::Message() << "selector " << c.selector << " failing newProc " << c.failingNew
                                    << (c.throws ? " (throws)" : ""));
    Options options;
    (c.throws ? options.newProcThrowsAt : options.newProcFailsAt) = c.failingNew;
    FakeHost& host = Make(options);
    EXPECT_EQ(host.Call(c.selector), memFullErr);
    EXPECT_EQ(host.HandlesCreated(), 1);
    EXPECT_EQ(Count(host, Ev::Lock), 0);
    EXPECT_EQ(host.record()->parameters != nullptr, c.failingNew == 2);
    EXPECT_EQ(host.dataSlot() != 0, c.failingNew == 1);
    const uint8_t* made = c.failingNew == 1 ? host.RunStateByte() : host.ParameterByte();
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(*made, 0xBE) << "a block must not be initialised after a failure";
    EXPECT_EQ(Count(host, Ev::Unlock), 0) << "the block that exists was not locked, so it is not unlocked";
    if (c.selector == filterSelectorPrepare) {
      EXPECT_EQ(host.record()->bufferSpace, 0);
      EXPECT_EQ(host.record()->maxSpace, 0);
    }
    EXPECT_THAT(host.Misuse(), IsEmpty());
  }
}

// lockProc refusing either block: -108, no handler writes through the blocks
// (nothing reset, no dialog, no conversion, nothing saved), and the lock that
// did succeed is undone.
TEST_F(Entry, RefusedLockStopsEveryHandlerFromTouchingTheBlocks) {
  for (const int16_t selector :
       {filterSelectorParameters, filterSelectorPrepare, filterSelectorStart, filterSelectorFinish}) {
    for (const int failingLock : {1, 2}) {
      SCOPED_TRACE(testing::Message() << "selector " << selector << " failing lock " << failingLock);
      FakeHost& host = Make();
      ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
      *host.ParameterByte() = 0;
      *host.RunStateByte() = 0;
      host.ClearEvents();
      host.options().lockProcFailsAt = host.lockCalls() + failingLock;
      EXPECT_EQ(host.Call(selector), memFullErr);
      EXPECT_EQ(*host.ParameterByte(), 0);
      EXPECT_EQ(*host.RunStateByte(), 0);
      EXPECT_EQ(fakehost::FakeDialogs().confirmCalls, 0);
      EXPECT_EQ(Count(host, Ev::AdvanceState), 0);
      EXPECT_EQ(Count(host, Ev::NewHandle), 0);
      // Both locks are asked for whichever fails, and only the one taken is
      // given back: parameters is handle 1, the run state handle 2.
      std::vector<std::string> locking;
      for (const auto& e : host.events())
        if (e.kind == Ev::Lock || e.kind == Ev::Unlock) locking.push_back(e.Describe());
      const std::vector<std::string> expected =
          failingLock == 1 ? std::vector<std::string>{"lockProc(1) refused", "lockProc(2)", "unlockProc(2)"}
                           : std::vector<std::string>{"lockProc(1)", "lockProc(2) refused", "unlockProc(1)"};
      EXPECT_EQ(locking, expected);
      EXPECT_THAT(host.Misuse(), IsEmpty());
    }
  }
}

TEST_F(Entry, StartAndFinishWithoutBlocksReportBadParameters) {
  for (const int16_t selector : {filterSelectorStart, filterSelectorFinish}) {
    FakeHost& host = Make();
    EXPECT_EQ(host.Call(selector), filterBadParameters) << "selector " << selector;
    EXPECT_EQ(host.HandlesCreated(), 0) << "only parameters and prepare create blocks";
    EXPECT_EQ(fakehost::FakeDialogs().confirmCalls, 0);
    EXPECT_EQ(Count(host, Ev::AdvanceState), 0);
  }
}

// An image without planes asks the host for nothing after the dialog, so the
// 0 in the slot there can only be the one stored when the dialog ended.
TEST_F(Entry, StartConvertsOnlyWhenConfirmed) {
  struct Case {
    DialogAnswer answer;
    int16_t planes;
  };
  for (const auto [answer, planes] : {Case{DialogAnswer::Ok, 3}, Case{DialogAnswer::Cancel, 3},
                                      Case{DialogAnswer::Failed, 3}, Case{DialogAnswer::Ok, 0}}) {
    SCOPED_TRACE(testing::Message() << "answer " << static_cast<int>(answer) << " planes " << planes);
    Options options;
    options.planes = planes;
    FakeHost& host = Make(options);
    ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    *host.RunStateByte() = 0;
    fakehost::FakeDialogs().confirmAnswer = answer;
    host.result() = 7;  // the dialog stores 0 over whatever the host passed
    const int16_t code = host.Call(filterSelectorStart);
    EXPECT_EQ(fakehost::FakeDialogs().confirmCalls, 1);
    EXPECT_EQ(*host.RunStateByte(), 1);
    if (answer == DialogAnswer::Ok) {
      EXPECT_EQ(code, noErr);
      EXPECT_EQ(Count(host, Ev::AdvanceState) > 0, planes > 0);
    } else {
      EXPECT_EQ(code, userCanceledErr);
      EXPECT_EQ(Count(host, Ev::AdvanceState), 0);
      EXPECT_EQ(host.source(), host.destination());
    }
  }
}

// Continue asks for no more data in whichever rectangle form is in force and
// locks nothing; the mask rectangle is cleared even without a mask.
TEST_F(Entry, ContinueRequestsEmptyRectanglesWithoutLocking) {
  for (const bool big : {true, false}) {
    Options options;
    options.bigDocument = big;
    FakeHost& host = Make(options);
    ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    FilterRecord& r = *host.record();
    r.inRect = r.outRect = r.maskRect = Rect{1, 2, 3, 4};
    if (big) {
      BigDocumentStruct& b = *host.bigDocument();
      b.inRect32 = b.outRect32 = b.maskRect32 = VRect{1, 2, 3, 4};
    }
    host.ClearEvents();
    EXPECT_EQ(host.Call(filterSelectorContinue), noErr);
    const VRect zero{0, 0, 0, 0};
    auto same = [](const auto& a, const auto& b) {
      return a.top == b.top && a.left == b.left && a.bottom == b.bottom && a.right == b.right;
    };
    if (big) {
      const BigDocumentStruct& b = *host.bigDocument();
      EXPECT_TRUE(same(b.inRect32, zero) && same(b.outRect32, zero) && same(b.maskRect32, zero));
      EXPECT_TRUE(same(r.inRect, Rect{1, 2, 3, 4}) && same(r.outRect, Rect{1, 2, 3, 4}) &&
                  same(r.maskRect, Rect{1, 2, 3, 4}));
    } else {
      EXPECT_TRUE(same(r.inRect, zero) && same(r.outRect, zero) && same(r.maskRect, zero));
    }
    EXPECT_EQ(Count(host, Ev::Lock), 0);
    EXPECT_EQ(Count(host, Ev::Unlock), 0) << "nothing was locked, so nothing is unlocked";
  }
}

TEST_F(Entry, AboutTouchesNothingButTheAboutBox) {
  FakeHost& host = Make();
  ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
  static SPBasicSuite aboutSuite{};
  host.about()->sSPBasic = &aboutSuite;
  host.bigDocument()->PluginUsing32BitCoordinates = 0;
  host.ClearEvents();
  host.result() = 1;  // one host starts the about call with 1
  EXPECT_EQ(host.Call(filterSelectorAbout), 1);
  EXPECT_EQ(fakehost::FakeDialogs().aboutCalls, 1);
  EXPECT_EQ(fakehost::FakeDialogs().lastAbout, host.about());
  EXPECT_EQ(gPluginGlobals.basicSuite, &aboutSuite);
  EXPECT_EQ(host.bigDocument()->PluginUsing32BitCoordinates, 0);
  ASSERT_EQ(host.events().size(), 1u);  // the box's own note: no handle calls
  EXPECT_EQ(host.events()[0].kind, Ev::Note);

  // A box that cannot be shown changes nothing either.
  fakehost::FakeDialogs().aboutFails = true;
  EXPECT_EQ(host.Call(filterSelectorAbout), 1);
}

// Whatever a handler lets escape stops at the entry point: a filter call
// reports it (-108 for an allocation failure, -30100 for anything else) and
// still gives back the locks its handler took; the about call reports nothing.
// Either way the next call is taken as usual.
TEST_F(Entry, EscapesFromAHandlerBecomeCodesAndLocksStillGoBack) {
  struct Case {
    const char* name;
    int16_t selector;
    void (*raise)();
    int16_t code;  // what the slot holds afterwards; it starts at 0x1234
  };
  const Case cases[] = {
      {"start, allocation failure", filterSelectorStart, [] { throw std::bad_alloc(); }, memFullErr},
      {"start, anything else", filterSelectorStart, [] { throw 7; }, filterBadParameters},
      {"about, allocation failure", filterSelectorAbout, [] { throw std::bad_alloc(); }, 0x1234},
      {"about, anything else", filterSelectorAbout, [] { throw 7; }, 0x1234},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost& host = Make();
    ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    fakehost::FakeDialogs().whileConfirmOpen = c.raise;
    fakehost::FakeDialogs().whileAboutOpen = c.raise;
    host.ClearEvents();
    host.result() = 0x1234;
    EXPECT_EQ(host.Call(c.selector), c.code);
    EXPECT_EQ(Count(host, Ev::AdvanceState), 0);
    EXPECT_EQ(Count(host, Ev::Unlock), Count(host, Ev::Lock));
    EXPECT_THAT(host.Misuse(), IsEmpty());

    fakehost::FakeDialogs().whileConfirmOpen = nullptr;
    fakehost::FakeDialogs().whileAboutOpen = nullptr;
    EXPECT_EQ(host.RunFilter(), noErr);
  }
}

TEST_F(Entry, UnknownSelectorsRunNoHandlerAndUnlockNothing) {
  for (const int16_t selector : {int16_t(6), int16_t(-1), int16_t(32767)}) {
    FakeHost& host = Make();
    ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    host.bigDocument()->PluginUsing32BitCoordinates = 0;
    host.ClearEvents();
    host.result() = 0x1234;
    EXPECT_EQ(host.Call(selector), 0x1234) << "selector " << selector;
    EXPECT_EQ(Count(host, Ev::Lock), 0);
    EXPECT_EQ(Count(host, Ev::Unlock), 0);
    EXPECT_EQ(fakehost::FakeDialogs().confirmCalls + fakehost::FakeDialogs().aboutCalls, 0);
    EXPECT_EQ(host.bigDocument()->PluginUsing32BitCoordinates, 1);
  }
}

TEST_F(Entry, EveryFilterSelectorMarksTheBigDocumentRecord) {
  FakeHost& host = Make();
  for (int16_t selector = filterSelectorParameters; selector <= filterSelectorFinish; ++selector) {
    host.bigDocument()->PluginUsing32BitCoordinates = 0;
    host.result() = 0;
    host.Call(selector);
    EXPECT_EQ(host.bigDocument()->PluginUsing32BitCoordinates, 1) << "selector " << selector;
  }
  // Without the record nothing is written for it (checked by the misuse scan).
  Options options;
  options.bigDocument = false;
  FakeHost& small = Make(options);
  EXPECT_EQ(small.RunFilter(), noErr);
}

// Thin or broken hosts: no handle procedures, a half-filled table, null
// record, data slot or result slot. Each gets a code, never a crash.
TEST_F(Entry, HostsWithoutUsableHandlesOrSlotsGetACode) {
  {
    Options options;
    options.handleProcs = false;
    FakeHost& host = Make(options);
    EXPECT_NE(host.Call(filterSelectorParameters), noErr);
    EXPECT_NE(host.Call(filterSelectorStart), noErr);
    EXPECT_EQ(host.HandlesCreated(), 0);
  }
  {
    FakeHost& host = Make();
    host.handleProcs().lockProc = nullptr;
    EXPECT_NE(host.Call(filterSelectorParameters), noErr);
    EXPECT_EQ(host.HandlesCreated(), 0) << "a half-filled table counts as absent";
  }
  FakeHost& host = Make();
  int16_t result = 0;
  intptr_t data = 0;
  PluginMain(filterSelectorStart, nullptr, &data, &result);
  EXPECT_EQ(result, filterBadParameters);
  result = 0;
  PluginMain(filterSelectorParameters, host.record(), nullptr, &result);
  EXPECT_EQ(result, filterBadParameters);
  EXPECT_EQ(static_cast<Handle>(host.record()->parameters), nullptr);
  result = 5;
  PluginMain(filterSelectorAbout, nullptr, &data, &result);
  EXPECT_EQ(result, 5);
  PluginMain(filterSelectorParameters, host.record(), &host.dataSlot(), nullptr);
  EXPECT_EQ(host.HandlesCreated(), 2);
  EXPECT_THAT(host.Misuse(), IsEmpty());
}

// A host may leave out the handle procedures that a selector does not call:
// disposeProc (only a scripting descriptor is ever disposed of) and, once the
// blocks exist, newProc. A lock is taken only where it can be given back, so
// a table without unlockProc still gets nothing created or locked.
TEST_F(Entry, EachSelectorNeedsOnlyTheHandleProceduresItCalls) {
  struct Case {
    const char* name;
    bool blocksFirst;  // parameters runs with the whole table before the entry goes
    void (*remove)(HandleProcs&);
    int16_t result;
    int handles;
  };
  const Case cases[] = {
      {"no disposeProc", false, [](HandleProcs& p) { p.disposeProc = nullptr; }, noErr, 2},
      {"no newProc once the blocks exist", true, [](HandleProcs& p) { p.newProc = nullptr; }, noErr, 2},
      {"no unlockProc", false, [](HandleProcs& p) { p.unlockProc = nullptr; }, errPlugInHostInsufficient, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost& host = Make();
    if (c.blocksFirst) {
      ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    }
    c.remove(host.handleProcs());
    EXPECT_EQ(host.RunFilter(!c.blocksFirst), c.result);
    EXPECT_EQ(host.HandlesCreated(), c.handles);
    EXPECT_EQ(Count(host, Ev::DisposeHandle), 0);
    if (c.result == noErr) {
      EXPECT_NE(host.destination(), host.source()) << "the image was converted";
    } else {
      EXPECT_EQ(Count(host, Ev::Lock), 0);
    }
    EXPECT_THAT(host.Misuse(), IsEmpty());
  }
}

// The locks given back at the end of a call are the ones that call took (the
// fake host reports any unlock of a handle that is not locked): a host that
// swaps its parameters handle during start gets back the lock on the handle
// that was locked, and no unlock of the new one.
TEST_F(Entry, UnlocksExactlyTheHandlesItLocked) {
  FakeHost& host = Make();
  ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
  const Handle locked = host.record()->parameters;
  Handle swapped = nullptr;
  fakehost::FakeDialogs().whileConfirmOpen = [&] {
    swapped = FakeHost::NewProc(1);
    host.record()->parameters = swapped;
  };
  host.ClearEvents();
  EXPECT_EQ(host.Call(filterSelectorStart), noErr);
  EXPECT_EQ(host.LockCount(locked), 0);
  EXPECT_EQ(host.LockCount(swapped), 0);
  std::vector<int> unlocked;
  for (const auto& e : host.EventsOf(Ev::Unlock)) unlocked.push_back(e.handle);
  const int runState = host.HandleId(reinterpret_cast<Handle>(host.dataSlot()));
  EXPECT_THAT(unlocked, testing::UnorderedElementsAre(host.HandleId(locked), runState));
}

// A host that calls PluginMain again while a dialog of the module is open
// (from its message loop, with any selector and any slot) is refused with
// -30100 in the slot it passed, the outer call's own slot included, and the
// outer call goes on as if nothing had happened: the module's call state, the
// record and the blocks are as they were, and the host sees no callback at
// all. When the outer call returns, its own code is in its slot, whatever a
// refusal wrote there meanwhile (the about call's slot holds what the host
// put there). Once the outer call has returned, calls are taken again.
TEST_F(Entry, NestedCallsWhileADialogIsOpenAreRefused) {
  FakeHost& host = Make();
  ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
  ASSERT_EQ(host.Call(filterSelectorPrepare), noErr);
  int nestedCalls = 0;
  bool nesting = false;  // a nested start that ran would open the dialog again
  const auto callNested = [&] {
    if (nesting) return;
    nesting = true;
    const PluginGlobals globals = gPluginGlobals;
    std::vector<uint8_t> record(sizeof(FilterRecord));
    std::memcpy(record.data(), host.record(), record.size());
    const size_t events = host.events().size();
    const Handle runState = reinterpret_cast<Handle>(host.dataSlot());
    const int locks[2] = {host.LockCount(host.record()->parameters), host.LockCount(runState)};
    for (const int16_t selector : {int16_t(0), int16_t(1), int16_t(2), int16_t(3), int16_t(4), int16_t(5),
                                   int16_t(6), int16_t(-1)}) {
      SCOPED_TRACE(testing::Message() << "nested selector " << selector);
      void* target = selector == filterSelectorAbout ? static_cast<void*>(host.about()) : host.record();
      int16_t own = 0x77;
      PluginMain(selector, target, &host.dataSlot(), &own);
      EXPECT_EQ(own, filterBadParameters);
      // The outer call's own slot is told too; no slot at all is fine as well.
      PluginMain(selector, target, &host.dataSlot(), &host.result());
      EXPECT_EQ(host.result(), filterBadParameters);
      PluginMain(selector, target, &host.dataSlot(), nullptr);
      nestedCalls += 3;
    }
    EXPECT_EQ(gPluginGlobals.hostRecord, globals.hostRecord);
    EXPECT_EQ(gPluginGlobals.dataSlot, globals.dataSlot);
    EXPECT_EQ(gPluginGlobals.resultSlot, globals.resultSlot);
    EXPECT_EQ(gPluginGlobals.basicSuite, globals.basicSuite);
    EXPECT_EQ(gPluginGlobals.parameterBlock, globals.parameterBlock);
    EXPECT_EQ(gPluginGlobals.runState, globals.runState);
    EXPECT_EQ(std::memcmp(record.data(), host.record(), record.size()), 0) << "the record was written";
    EXPECT_EQ(host.events().size(), events) << "a nested call called the host";
    EXPECT_EQ(host.LockCount(host.record()->parameters), locks[0]);
    EXPECT_EQ(host.LockCount(runState), locks[1]);
    nesting = false;
  };

  fakehost::FakeDialogs().whileConfirmOpen = callNested;
  host.ClearEvents();
  EXPECT_EQ(host.Call(filterSelectorStart), noErr);
  EXPECT_EQ(nestedCalls, 24);
  EXPECT_EQ(Count(host, Ev::AdvanceState), 3);
  EXPECT_NE(host.destination(), host.source());
  EXPECT_EQ(*host.RunStateByte(), 1);

  fakehost::FakeDialogs().whileConfirmOpen = nullptr;
  fakehost::FakeDialogs().whileAboutOpen = callNested;
  host.result() = 0x1234;
  EXPECT_EQ(host.Call(filterSelectorAbout), 0x1234);
  EXPECT_EQ(nestedCalls, 48);

  fakehost::FakeDialogs().whileAboutOpen = nullptr;
  EXPECT_EQ(host.RunFilter(), noErr);
}

// A host that passes no result slot: the call runs on a stand-in slot, and no
// pointer to that slot is left once the call has returned.
TEST_F(Entry, NoResultSlotLeavesNoPointerBehind) {
  FakeHost& host = Make();
  for (const int16_t selector : {filterSelectorParameters, filterSelectorAbout, filterSelectorStart}) {
    void* target = selector == filterSelectorAbout ? static_cast<void*>(host.about()) : host.record();
    PluginMain(selector, target, &host.dataSlot(), nullptr);
    EXPECT_EQ(gPluginGlobals.resultSlot, nullptr) << "selector " << selector;
  }
  EXPECT_EQ(host.HandlesCreated(), 2);
  EXPECT_EQ(Count(host, Ev::AdvanceState), 3);
}

// Bottom-up buffers (negative row bytes, the top row last in memory) convert
// exactly as top-down ones do, mask included; rows shorter than the tile are
// refused in either direction.
TEST_F(Entry, BottomUpBuffersConvertLikeTopDownOnes) {
  struct Outcome {
    int16_t code;
    std::vector<uint8_t> source, destination;
  };
  const auto run = [this](bool bottomUp, int32_t rowsShortBy) {
    SCOPED_TRACE(testing::Message() << "bottom-up " << bottomUp << ", rows short by " << rowsShortBy);
    Options options;
    options.height = 21;
    options.width = 19;
    options.tileHeight = 8;
    options.tileWidth = 16;
    options.haveMask = true;
    options.bottomUp = bottomUp;
    FakeHost& host = Make(options);
    for (size_t i = 0; i < host.mask().size(); ++i) host.mask()[i] = i % 5 == 0 ? 0 : 255;
    host.lies().rowBytesShort = rowsShortBy;
    EXPECT_EQ(host.Call(filterSelectorParameters), noErr);
    *host.ParameterByte() = 0;  // truncation: the same bytes from every run
    const Outcome outcome{host.RunFilter(false), host.source(), host.destination()};
    EXPECT_THAT(host.Misuse(), IsEmpty());
    return outcome;
  };
  const Outcome topDown = run(false, 0);
  ASSERT_EQ(topDown.code, noErr);
  ASSERT_NE(topDown.destination, topDown.source);
  const Outcome bottomUp = run(true, 0);
  EXPECT_EQ(bottomUp.code, noErr);
  EXPECT_EQ(bottomUp.destination, topDown.destination);
  for (const bool up : {false, true}) {
    const Outcome refused = run(up, 1);
    EXPECT_EQ(refused.code, filterBadParameters);
    EXPECT_EQ(refused.destination, refused.source);
  }
}

// The nested calls that a host makes while start converts: from abortProc,
// advanceState or progressProc, right there, far down the stack, or through
// a frame that no stack walk can pass. Each is refused before it touches
// anything, with the refusal in its slot (the outer call's own too, read
// there by the host at once), and the outer start converts the whole image
// and answers its own code when it returns.
TEST_F(Entry, NestedCallsFromCallbacksAreRefused) {
  enum class Where { There, Deeper, PastAFrameWithoutUnwindInfo };
  for (const Callback callback : {Callback::Abort, Callback::Advance, Callback::Progress}) {
    for (const Where where : {Where::There, Where::Deeper, Where::PastAFrameWithoutUnwindInfo}) {
      SCOPED_TRACE(testing::Message() << Name(callback) << ", nested call made "
                                      << (where == Where::There ? "there" : where == Where::Deeper ? "64 frames deeper"
                                                                            : "past a frame without unwind information"));
      FakeHost& host = Make();
      ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
      ASSERT_EQ(host.Call(filterSelectorPrepare), noErr);
      int refused = 0;
      bool toldInTheOuterSlot = false;
      const std::function<void()> nested = [&] {
        const size_t events = host.events().size();
        std::vector<uint8_t> record(sizeof(FilterRecord));
        std::memcpy(record.data(), host.record(), record.size());
        for (const int16_t selector : {filterSelectorStart, filterSelectorPrepare, filterSelectorAbout}) {
          void* target = selector == filterSelectorAbout ? static_cast<void*>(host.about()) : host.record();
          int16_t own = 0x77;
          PluginMain(selector, target, &host.dataSlot(), &own);
          refused += own == filterBadParameters ? 1 : 0;
        }
        PluginMain(filterSelectorPrepare, host.record(), &host.dataSlot(), &host.result());
        toldInTheOuterSlot = host.result() == filterBadParameters;
        EXPECT_EQ(host.events().size(), events) << "a nested call called the host";
        EXPECT_EQ(std::memcmp(record.data(), host.record(), record.size()), 0) << "the record was written";
      };
      InstallCallbackWork(host, callback, [&] {
        if (where == Where::There) nested();
        if (where == Where::Deeper) FromDeeper(64, nested);
        if (where == Where::PastAFrameWithoutUnwindInfo) RunWithoutUnwindInfo(nested);
      });
      EXPECT_EQ(host.Call(filterSelectorStart), noErr);
      EXPECT_EQ(refused, 3);
      EXPECT_TRUE(toldInTheOuterSlot);
      EXPECT_EQ(fakehost::FakeDialogs().confirmCalls, 1);
      EXPECT_TRUE(ConvertedEverywhere(host));
    }
  }
}

// Makes the call, which a callback leaves by a longjmp to gLeaveCall; then
// the host forgets the call.
std::jmp_buf gLeaveCall;
[[gnu::noinline]] void CallLeftByLongjmp(FakeHost& host, int16_t selector) {
  if (setjmp(gLeaveCall) == 0) {
    host.Call(selector);
    ADD_FAILURE() << "the call returned instead of being left";
  }
  host.Abandoned();
}

// A host whose abortProc or advanceState longjmps out of start leaves the
// call without it ever returning. The next call, with the same result slot,
// made as the abandoned one was or from far deeper down the stack, is served:
// a whole run with the dialog and the conversion, during which a nested call
// is still refused. The abandoned call's locks are not given back by the
// module (the host may have disposed of the handles): the host that left the
// call gives them back itself.

TEST_F(Entry, ACallLeftByLongjmpDoesNotStopTheNext) {
  for (const Callback callback : {Callback::Abort, Callback::Advance}) {
    for (const int depth : {0, 64}) {
      SCOPED_TRACE(testing::Message() << Name(callback) << " longjmps out of start; the next run made "
                                      << (depth == 0 ? "as the abandoned call was" : "64 frames deeper"));
      FakeHost& host = Make();
      ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
      ASSERT_EQ(host.Call(filterSelectorPrepare), noErr);
      InstallCallbackWork(host, callback, [] { std::longjmp(gLeaveCall, 1); });
      CallLeftByLongjmp(host, filterSelectorStart);
      const Handle parameters = host.record()->parameters;
      const Handle runState = reinterpret_cast<Handle>(host.dataSlot());
      EXPECT_EQ(host.LockCount(parameters), 1);
      EXPECT_EQ(host.LockCount(runState), 1);
      FakeHost::UnlockProc(parameters);
      FakeHost::UnlockProc(runState);

      FilterRecord& r = *host.record();
      r.abortProc = &FakeHost::AbortProc;
      r.advanceState = &FakeHost::AdvanceState;
      host.destination() = host.source();
      int16_t nestedResult = 0;
      fakehost::FakeDialogs().whileConfirmOpen = [&] {
        PluginMain(filterSelectorStart, host.record(), &host.dataSlot(), &nestedResult);
      };
      host.ClearEvents();
      int16_t code = 1;
      if (depth == 0) {
        code = noErr;
        for (const int16_t selector : {filterSelectorParameters, filterSelectorPrepare, filterSelectorStart,
                                       filterSelectorContinue, filterSelectorFinish})
          if (code == noErr) code = host.Call(selector);
      } else {
        FromDeeper(depth, [&] { code = host.RunFilter(); });
      }
      EXPECT_EQ(code, noErr);
      EXPECT_EQ(fakehost::FakeDialogs().confirmCalls, 2) << "the dialog was not shown again";
      EXPECT_EQ(nestedResult, filterBadParameters) << "a call nested in the recovered run was not refused";
      EXPECT_TRUE(ConvertedEverywhere(host));
      EXPECT_EQ(Count(host, Ev::Lock), Count(host, Ev::Unlock));
    }
  }
}

// Where the stack walk cannot get past a frame, it cannot tell a nested call
// from one after an abandoned call: the call is refused, and says so in the
// slot it passed, its own or the one the abandoned call was given (the host
// keeps one slot: a silent refusal would read as a start that succeeded). A
// call made after that, from where the walk can see, takes over as usual.
TEST_F(Entry, AfterAnAbandonedCallAWalkThatCannotDecideRefuses) {
  FakeHost& host = Make();
  ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
  InstallCallbackWork(host, Callback::Abort, [] { std::longjmp(gLeaveCall, 1); });
  CallLeftByLongjmp(host, filterSelectorStart);
  FakeHost::UnlockProc(host.record()->parameters);
  FakeHost::UnlockProc(reinterpret_cast<Handle>(host.dataSlot()));
  host.record()->abortProc = &FakeHost::AbortProc;
  host.ClearEvents();

  int16_t own = 0x77;
  FromDeeper(8, [&] {
    RunWithoutUnwindInfo([&] { PluginMain(filterSelectorPrepare, host.record(), &host.dataSlot(), &own); });
  });
  EXPECT_EQ(own, filterBadParameters);
  host.result() = 0;
  FromDeeper(8, [&] {
    RunWithoutUnwindInfo([&] { PluginMain(filterSelectorStart, host.record(), &host.dataSlot(), &host.result()); });
  });
  EXPECT_EQ(host.result(), filterBadParameters) << "a start refused on the abandoned call's slot said nothing";
  EXPECT_THAT(host.events(), IsEmpty());

  host.destination() = host.source();
  EXPECT_EQ(host.RunFilter(false), noErr);
  EXPECT_TRUE(ConvertedEverywhere(host));
}

// A holder whose thread has ended was abandoned, whatever the stack of the
// call that finds it shows: its thread took the call's frames with it. A host
// whose worker thread was left inside a start (its callback longjmp'd out,
// then the thread ended) runs the filter again from another thread on the
// same slot: the run is served. The native build cannot tell that a thread
// has ended, and refuses, but never in silence; the latch then stays with the
// ended thread's call for the rest of the process, so there each case runs in
// a process of its own (the aarch64 build runs every test in one process).
TEST_F(Entry, AHolderWhoseThreadHasEndedIsTakenOverFromAnyThread) {
  const auto leaveOnAnEndedThreadAndRunAgain = [](FakeHost& host, bool inDialog) {
    EXPECT_EQ(host.Call(filterSelectorParameters), noErr);
    std::thread worker([&] {
      if (inDialog)
        fakehost::FakeDialogs().whileConfirmOpen = [] { std::longjmp(gLeaveCall, 1); };
      else
        InstallCallbackWork(host, Callback::Abort, [] { std::longjmp(gLeaveCall, 1); });
      CallLeftByLongjmp(host, filterSelectorStart);
    });
    worker.join();
    FakeHost::UnlockProc(host.record()->parameters);
    FakeHost::UnlockProc(reinterpret_cast<Handle>(host.dataSlot()));
    fakehost::FakeDialogs().whileConfirmOpen = nullptr;
    host.record()->abortProc = &FakeHost::AbortProc;
    host.destination() = host.source();
    return host.RunFilter(false);
  };
  for (const bool inDialog : {false, true}) {
    SCOPED_TRACE(inDialog ? "left from the dialog's loop" : "left from abortProc");
#ifdef _WIN32
    FakeHost& host = Make();
    EXPECT_EQ(leaveOnAnEndedThreadAndRunAgain(host, inDialog), noErr);
    EXPECT_TRUE(ConvertedEverywhere(host));
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
          FakeHost& host = Make();
          const int16_t code = leaveOnAnEndedThreadAndRunAgain(host, inDialog);
          const bool untouched = host.destination() == host.source();
          std::fprintf(stderr, "code %d, destination %s\n", code, untouched ? "untouched" : "written");
          std::exit(0);
        },
        testing::ExitedWithCode(0), "code " + std::to_string(filterBadParameters) + ", destination untouched");
#endif
  }
}

// A call left from inside a dialog's modal loop leaves the dialog open. The
// call that takes over closes it (the real dialogs: destroy it and enable the
// owner its loop disabled) before it does anything else; a call refused
// while a live call's dialog is open closes nothing.
TEST_F(Entry, TheCallThatTakesOverClosesTheDialogLeftOpen) {
  for (const bool about : {false, true}) {
    SCOPED_TRACE(about ? "about box" : "confirmation dialog");
    FakeHost& host = Make();
    ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    std::vector<std::string>& closed = fakehost::FakeDialogs().leftOverClosed;
    int16_t nested = 0;
    const auto callNested = [&] {
      PluginMain(filterSelectorPrepare, host.record(), &host.dataSlot(), &nested);
      EXPECT_THAT(closed, IsEmpty()) << "a nested call closed the live call's dialog";
    };
    fakehost::FakeDialogs().whileConfirmOpen = callNested;
    fakehost::FakeDialogs().whileAboutOpen = callNested;
    ASSERT_EQ(host.Call(about ? filterSelectorAbout : filterSelectorStart), noErr);
    EXPECT_EQ(nested, filterBadParameters);
    EXPECT_THAT(closed, IsEmpty()) << "a dialog that ended was closed again";

    std::function<void()>& open = about ? fakehost::FakeDialogs().whileAboutOpen
                                        : fakehost::FakeDialogs().whileConfirmOpen;
    open = [] { std::longjmp(gLeaveCall, 1); };
    CallLeftByLongjmp(host, about ? filterSelectorAbout : filterSelectorStart);
    if (!about) {
      FakeHost::UnlockProc(host.record()->parameters);
      FakeHost::UnlockProc(reinterpret_cast<Handle>(host.dataSlot()));
    }
    fakehost::FakeDialogs().whileConfirmOpen = nullptr;
    fakehost::FakeDialogs().whileAboutOpen = nullptr;
    EXPECT_THAT(closed, IsEmpty());
    host.destination() = host.source();
    EXPECT_EQ(host.RunFilter(false), noErr);
    EXPECT_THAT(closed, testing::ElementsAre(about ? "about" : "confirm"));
    EXPECT_TRUE(ConvertedEverywhere(host));
  }
}

// A call from another thread while the latch is held is refused, whether the
// holder is running (its dialog is open) or was abandoned; the holder's own
// thread takes an abandoned call over. Each way round, the holder on the test's
// thread and on a thread of its own: one of the two puts the caller's stack
// above the holder's, where the stack walk alone would see no holder.
TEST_F(Entry, CallsFromAnotherThreadAreRefusedWhileTheLatchIsHeld) {
  for (const bool holderOnItsOwnThread : {false, true}) {
    for (const bool abandoned : {false, true}) {
      SCOPED_TRACE(testing::Message() << "holder on " << (holderOnItsOwnThread ? "a thread of its own" : "the test's thread")
                                      << (abandoned ? ", abandoned" : ", dialog open"));
      FakeHost& host = Make();
      ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
      std::promise<void> held, called;
      std::future<void> heldNow = held.get_future(), calledNow = called.get_future();
      // The holder: a start that waits with its dialog open, or one that is
      // left by a longjmp and then waits; either way the other thread calls
      // meanwhile. Then it runs the filter again.
      int16_t holderCode = 1;
      const auto holder = [&] {
        if (abandoned) {
          fakehost::FakeDialogs().whileConfirmOpen = [] { std::longjmp(gLeaveCall, 1); };
          CallLeftByLongjmp(host, filterSelectorStart);
          FakeHost::UnlockProc(host.record()->parameters);
          FakeHost::UnlockProc(reinterpret_cast<Handle>(host.dataSlot()));
          held.set_value();
          calledNow.wait();
        } else {
          fakehost::FakeDialogs().whileConfirmOpen = [&] {
            held.set_value();
            calledNow.wait();
          };
          ASSERT_EQ(host.Call(filterSelectorStart), noErr);
        }
        fakehost::FakeDialogs().whileConfirmOpen = nullptr;
        host.destination() = host.source();
        holderCode = host.RunFilter(false);
      };
      int16_t own = 0x77;
      size_t eventsBefore = 0, eventsAfter = 0;
      const auto caller = [&] {
        heldNow.wait();
        eventsBefore = host.events().size();
        PluginMain(filterSelectorPrepare, host.record(), &host.dataSlot(), &own);
        eventsAfter = host.events().size();
        called.set_value();
      };
      if (holderOnItsOwnThread) {
        std::thread holding(holder);
        caller();
        holding.join();
      } else {
        std::thread calling(caller);
        holder();
        calling.join();
      }
      EXPECT_EQ(own, filterBadParameters);
      EXPECT_EQ(eventsAfter, eventsBefore) << "the call from the other thread called the host";
      EXPECT_EQ(holderCode, noErr);
      EXPECT_TRUE(ConvertedEverywhere(host));
    }
  }
}

// A host whose unlockProc throws (after giving the lock back) does not get
// the exception back through PluginMain: the call reports it as any other
// escape, the other block's lock still goes back, and the next call is taken.
TEST_F(Entry, AnUnlockProcThatThrowsIsStoppedAtTheFirewall) {
  struct Case {
    const char* name;
    void (*unlock)(Handle);
    int16_t code;
  };
  // The throwing unlockProcs throw for their first few calls only: a module
  // that kept trying the same lock would otherwise never return, and the test
  // would end only at its time limit instead of failing on the counts below.
  static int throwsLeft = 0;
  const Case cases[] = {
      {"allocation failure",
       [](Handle h) {
         FakeHost::UnlockProc(h);
         if (--throwsLeft >= 0) throw std::bad_alloc();
       },
       memFullErr},
      {"anything else",
       [](Handle h) {
         FakeHost::UnlockProc(h);
         if (--throwsLeft >= 0) throw 7;
       },
       filterBadParameters},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost& host = Make();
    ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    host.handleProcs().unlockProc = c.unlock;
    host.ClearEvents();
    throwsLeft = 8;
    int16_t code = 0;
    EXPECT_NO_THROW(code = host.Call(filterSelectorStart));
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(Count(host, Ev::Unlock), 2) << "unlockProc was called again for a lock it had given back";
    EXPECT_EQ(Count(host, Ev::Unlock), Count(host, Ev::Lock)) << "a lock was not given back";
    host.handleProcs().unlockProc = &FakeHost::UnlockProc;
    host.result() = 0;
    EXPECT_EQ(host.Call(filterSelectorFinish), noErr);
  }
}

#ifdef _WIN32
// A host that runs calls on coroutines: the holder runs on a stack of its
// own and is suspended inside the confirmation dialog (its callback switches
// back to the caller), and the caller calls again while it is suspended. A
// fiber tells the thread's information block of its stack; a coroutine that
// switches stacks by hand does not, and its call seems to run on the caller's
// stack. Either way the holder is alive, and the call is refused; resumed,
// the holder converts the whole image. The coroutine's stack is the lower of
// the two, where a walk from the caller's stack passes the place of the
// holder's frame at once.
NT_TIB* ThreadBlock() {
  NT_TIB* tib = nullptr;
#if defined(__aarch64__)
  asm("mov %0, x18" : "=r"(tib));
#else
  asm("movq %%gs:0x30, %0" : "=r"(tib));
#endif
  return tib;
}

struct Coroutines {
  void* main = nullptr;
  void* fibers[2] = {};
  NT_TIB stacks[2] = {};  // each fiber's own stack bounds
  int lower = 0;          // the fiber with the lower stack runs the call
  bool byHand = false;    // the coroutine's block keeps the caller's bounds
  std::function<void()> call;     // on the coroutine
  std::function<void()> whileSuspended;  // on the caller
};
Coroutines* gCoroutines = nullptr;

void WINAPI CoroutineBody(void* parameter) {
  Coroutines& c = *gCoroutines;
  const int self = static_cast<int>(reinterpret_cast<intptr_t>(parameter));
  c.stacks[self] = *ThreadBlock();
  SwitchToFiber(c.main);
  if (self == c.lower) {
    // The coroutine: runs the call, which suspends it from inside the dialog.
    NT_TIB& tib = *ThreadBlock();
    if (c.byHand) {
      tib.StackBase = c.stacks[1 - self].StackBase;
      tib.StackLimit = c.stacks[1 - self].StackLimit;
    }
    c.call();
    tib.StackBase = c.stacks[self].StackBase;
    tib.StackLimit = c.stacks[self].StackLimit;
    SwitchToFiber(c.fibers[1 - self]);
  } else {
    // The caller: starts the coroutine, calls while it is suspended, resumes it.
    SwitchToFiber(c.fibers[1 - self]);
    c.whileSuspended();
    SwitchToFiber(c.fibers[1 - self]);
    SwitchToFiber(c.main);
  }
  for (;;) SwitchToFiber(c.main);
}

TEST_F(Entry, AHolderSuspendedOnAnotherStackIsNotTakenOver) {
  for (const bool byHand : {false, true}) {
    SCOPED_TRACE(byHand ? "stacks switched by hand" : "fibers");
    FakeHost& host = Make();
    ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    ASSERT_EQ(host.Call(filterSelectorPrepare), noErr);
    Coroutines c;
    c.byHand = byHand;
    gCoroutines = &c;
    c.main = ConvertThreadToFiber(nullptr);
    ASSERT_NE(c.main, nullptr);
    // Stacks committed whole: a block that names another stack must not
    // have to grow this one.
    for (int i = 0; i < 2; ++i) {
      c.fibers[i] = CreateFiberEx(1 << 20, 1 << 20, 0, CoroutineBody, reinterpret_cast<void*>(intptr_t{i}));
      ASSERT_NE(c.fibers[i], nullptr);
      SwitchToFiber(c.fibers[i]);
    }
    c.lower = c.stacks[0].StackBase < c.stacks[1].StackBase ? 0 : 1;
    int16_t outer = 1;
    int16_t nested = 0x77;
    size_t eventsBefore = 0, eventsAfter = 0;
    c.call = [&] { outer = host.Call(filterSelectorStart); };
    fakehost::FakeDialogs().whileConfirmOpen = [&] { SwitchToFiber(c.fibers[1 - c.lower]); };
    c.whileSuspended = [&] {
      eventsBefore = host.events().size();
      PluginMain(filterSelectorPrepare, host.record(), &host.dataSlot(), &nested);
      eventsAfter = host.events().size();
    };
    host.destination() = host.source();
    SwitchToFiber(c.fibers[1 - c.lower]);
    for (void* fiber : c.fibers) DeleteFiber(fiber);
    ConvertFiberToThread();
    gCoroutines = nullptr;
    EXPECT_EQ(nested, filterBadParameters) << "the call made while the holder was suspended was served";
    EXPECT_EQ(eventsAfter, eventsBefore);
    EXPECT_EQ(outer, noErr);
    EXPECT_TRUE(ConvertedEverywhere(host));
  }
}
#endif

// The walk itself, on a holder built as PluginMain is: a frame that notes its
// address and calls, from one place, a function that notes where the holder
// resumes. While the holder runs, the walk finds it from just below, from 64
// frames down, and gives no verdict past a frame without unwind information;
// once it has returned, the walk proves it gone from the same place and from
// far deeper, and again gives no verdict past such a frame.
struct NotedHolder {
  uintptr_t returnAddress = 0, frame = 0;
};
NotedHolder gNoted;
[[gnu::noinline]] void Served(const std::function<void()>& work) {
  gNoted.returnAddress = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  work();
}
[[gnu::noinline]] void Holder(const std::function<void()>& work) {
  gNoted.frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  Served(work);
  volatile int after = 0;  // the call above is not the last thing: no tail call
  (void)after;
}

TEST(StackWalk, FindsAHolderBeneathAndProvesAReturnedOneGone) {
  const ThisThread thread = CurrentThread();
  const auto walk = [&] { return FindOuterCall(gNoted.returnAddress, gNoted.frame, thread); };
  OuterCall there{}, deeper{}, hidden{};
  Holder([&] {
    there = walk();
    FromDeeper(64, [&] { deeper = walk(); });
    RunWithoutUnwindInfo([&] { hidden = walk(); });
  });
  EXPECT_EQ(there, OuterCall::Live);
  EXPECT_EQ(deeper, OuterCall::Live);
  EXPECT_EQ(hidden, OuterCall::Unknown);

  EXPECT_EQ(walk(), OuterCall::Abandoned);
  OuterCall afterDeeper{}, afterHidden{};
  FromDeeper(64, [&] { afterDeeper = walk(); });
  FromDeeper(8, [&] { RunWithoutUnwindInfo([&] { afterHidden = walk(); }); });
  EXPECT_EQ(afterDeeper, OuterCall::Abandoned);
  EXPECT_EQ(afterHidden, OuterCall::Unknown);
}

}  // namespace
