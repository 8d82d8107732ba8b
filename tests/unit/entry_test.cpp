// The entry point: selector dispatch, the two host-held blocks through their
// whole life, and what the module does when the host cannot allocate or lock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "FakeHost.h"
#include "FakeHostTest.h"
#include "entry/PluginGlobals.h"

namespace {

using fakehost::DialogAnswer;
using fakehost::Ev;
using fakehost::FakeHost;
using fakehost::Options;
using testing::IsEmpty;

class Entry : public fakehost::FakeHostTest {};

int Count(const FakeHost& host, Ev kind) { return static_cast<int>(host.EventsOf(kind).size()); }

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
// block still made, and prepare still clears its memory request.
TEST_F(Entry, RefusedAllocationLeavesBlocksUninitialised) {
  struct Case {
    int16_t selector;
    int failingNew;  // 1: the parameter block, 2: the run state
  };
  for (const Case c : {Case{filterSelectorParameters, 1}, Case{filterSelectorParameters, 2},
                       Case{filterSelectorPrepare, 1}, Case{filterSelectorPrepare, 2}}) {
    SCOPED_TRACE(testing::Message() << "selector " << c.selector << " failing newProc " << c.failingNew);
    Options options;
    options.newProcFailsAt = c.failingNew;
    FakeHost& host = Make(options);
    EXPECT_EQ(host.Call(c.selector), memFullErr);
    EXPECT_EQ(host.HandlesCreated(), 1);
    EXPECT_EQ(Count(host, Ev::Lock), 0);
    EXPECT_EQ(host.record()->parameters != nullptr, c.failingNew == 2);
    EXPECT_EQ(host.dataSlot() != 0, c.failingNew == 1);
    const uint8_t* made = c.failingNew == 1 ? host.RunStateByte() : host.ParameterByte();
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(*made, 0xBE) << "a block must not be initialised after a failure";
    EXPECT_EQ(Count(host, Ev::Unlock), 1) << "the block that exists is unlocked";
    if (c.selector == filterSelectorPrepare) {
      EXPECT_EQ(host.record()->bufferSpace, 0);
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

TEST_F(Entry, StartConvertsOnlyWhenConfirmed) {
  for (const DialogAnswer answer : {DialogAnswer::Ok, DialogAnswer::Cancel, DialogAnswer::Failed}) {
    SCOPED_TRACE(static_cast<int>(answer));
    FakeHost& host = Make();
    ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    *host.RunStateByte() = 0;
    fakehost::FakeDialogs().confirmAnswer = answer;
    host.result() = 7;  // the dialog stores 0 over whatever the host passed
    const int16_t code = host.Call(filterSelectorStart);
    EXPECT_EQ(fakehost::FakeDialogs().confirmCalls, 1);
    EXPECT_EQ(*host.RunStateByte(), 1);
    if (answer == DialogAnswer::Ok) {
      EXPECT_EQ(code, noErr);
      EXPECT_GT(Count(host, Ev::AdvanceState), 0);
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
    EXPECT_EQ(Count(host, Ev::Unlock), 2);
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

TEST_F(Entry, UnknownSelectorsRunNoHandlerButUnlock) {
  for (const int16_t selector : {int16_t(6), int16_t(-1), int16_t(32767)}) {
    FakeHost& host = Make();
    ASSERT_EQ(host.Call(filterSelectorParameters), noErr);
    host.bigDocument()->PluginUsing32BitCoordinates = 0;
    host.ClearEvents();
    host.result() = 0x1234;
    EXPECT_EQ(host.Call(selector), 0x1234) << "selector " << selector;
    EXPECT_EQ(Count(host, Ev::Lock), 0);
    EXPECT_EQ(Count(host, Ev::Unlock), 2);
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

}  // namespace
