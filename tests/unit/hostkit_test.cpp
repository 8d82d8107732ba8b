// The host kit's rules, each shown to fire on the misuse it is there for, so
// that a harness built on the kit cannot lose one unnoticed: the misuse log
// keeps the first misuse with the call that made it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "HostKit.h"
#include "Suites.h"

namespace {

using hostkit::CallLog;
using hostkit::HandleTable;
using hostkit::MisuseLog;

TEST(HostKit, HandleTableFlagsEachMisuseWithItsCall) {
  struct Case {
    const char* name;
    std::function<void(HandleTable&, Handle)> act;
    const char* what;  // the first misuse; "" for none
    const char* call;
  };
  const Case cases[] = {
      {"lock and unlock once", [](HandleTable& t, Handle h) { t.Lock(h); t.Unlock(h); }, "", ""},
      {"unlock an unlocked handle", [](HandleTable& t, Handle h) { t.Unlock(h); },
       "unlockProc on handle 1, which is not locked", "unlockProc(1) (was not locked)"},
      {"one unlock too many", [](HandleTable& t, Handle h) { t.Lock(h); t.Unlock(h); t.Unlock(h); },
       "unlockProc on handle 1, which is not locked", "unlockProc(1) (was not locked)"},
      {"resize while locked",
       [](HandleTable& t, Handle h) { t.Lock(h); EXPECT_EQ(t.SetSize(h, 4), filterBadParameters); t.Unlock(h); },
       "setSizeProc on locked handle 1", "setSizeProc"},
      {"dispose while locked", [](HandleTable& t, Handle h) { t.Lock(h); t.Dispose(h); },
       "disposeProc on locked handle 1", "disposeProc(1)"},
      {"dispose twice", [](HandleTable& t, Handle h) { t.Dispose(h); t.Dispose(h); },
       "disposeProc on disposed handle 1", "disposeProc"},
      {"a handle this host never made", [](HandleTable& t, Handle) { t.Lock(reinterpret_cast<Handle>(&t)); },
       "lockProc on a handle this host never made", "lockProc"},
      {"left locked", [](HandleTable& t, Handle h) { t.Lock(h); t.Check("after selector 2"); },
       "handle 1 left locked after selector 2", "after selector 2"},
#if !defined(__SANITIZE_ADDRESS__)
      // Under AddressSanitizer the block has no guard: the write itself is reported.
      {"written past the end", [](HandleTable& t, Handle h) { t.Lock(h)[3] = 0; t.Unlock(h); },
       "written past the end of handle 1", "unlockProc"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CallLog log;
    MisuseLog misuse;
    HandleTable table(log, misuse);
    const Handle h = table.New(3);
    c.act(table, h);
    if (std::string(c.what).empty()) {
      EXPECT_TRUE(misuse.empty()) << misuse.Lines().front();
    } else {
      ASSERT_TRUE(misuse.First().has_value());
      EXPECT_EQ(misuse.First()->what, c.what);
      EXPECT_EQ(misuse.First()->call, c.call);
    }
  }
}

// A block keeps its place while any lock is held and moves on the last
// unlock, keeping its bytes; fresh and grown memory is not zeroed.
TEST(HostKit, BlocksMoveOnTheLastUnlockOnly) {
  CallLog log;
  MisuseLog misuse;
  HandleTable table(log, misuse);
  const Handle h = table.New(2);
  uint8_t* first = reinterpret_cast<uint8_t*>(table.Lock(h));
  EXPECT_EQ(first[0], 0xBE);
  first[0] = 7;
  EXPECT_EQ(reinterpret_cast<uint8_t*>(table.Lock(h)), first);
  table.Unlock(h);
  EXPECT_EQ(table.Bytes(h), first) << "still locked once";
  table.Unlock(h);
  EXPECT_NE(table.Bytes(h), first);
  EXPECT_EQ(table.Bytes(h)[0], 7);
  EXPECT_EQ(table.SetSize(h, 5), noErr);
  EXPECT_EQ(table.Bytes(h)[0], 7);
  EXPECT_EQ(table.Bytes(h)[4], 0xBE);
  EXPECT_TRUE(misuse.empty());
}

TEST(HostKit, FaultPlanByCountAndByInputBytes) {
  hostkit::FaultPlan plan;
  plan.FailAt("lockProc", 2);
  plan.DecideBy({0, 1, 3});
  std::string seen;
  for (const char* call : {"lockProc", "lockProc", "lockProc", "newProc", "newProc", "newProc", "newProc"})
    seen += plan.Fails(call) ? "F" : ".";
  // lockProc by count only; newProc by the bytes 0, 1, 3, then none left.
  EXPECT_EQ(seen, ".F..FF.");
  EXPECT_EQ(plan.Calls("newProc"), 4);
  EXPECT_EQ(plan.NextByte(9), 9);
}

// Output pixels may be written, their guards and row padding may not, in
// either row order; an input may not be written at all.
TEST(HostKit, TileBuffersGuardTheirPaddingBothWays) {
  for (const bool bottomUp : {false, true}) {
    SCOPED_TRACE(bottomUp ? "bottom-up" : "top-down");
    hostkit::TileBuffer b;
    b.Build(VRect{0, 0, 3, 4}, 0, 1, 5, bottomUp, [](int32_t y, int32_t x, int) { return uint8_t(y * 4 + x); });
    const int32_t told = b.ToldRowBytes();
    EXPECT_EQ(told, bottomUp ? -9 : 9);
    uint8_t* top = b.TopRow();
    EXPECT_EQ(top[told * 2 + 3], 11) << "row 2, column 3";
    top[told * 2 + 3] = 0;
    EXPECT_FALSE(b.GuardWritten("output").has_value());
    EXPECT_TRUE(b.WrittenAnywhere("input").has_value());
    top[told + 4] = 0;  // the first padding byte of row 1
    EXPECT_TRUE(b.GuardWritten("output").has_value());
  }
}

TEST(HostKit, RecordGuardAllowsOnlyWritableMembers) {
  struct R {
    int32_t a, b;
  } r{1, 2};
  hostkit::RecordGuard guard;
  guard.Take(&r, sizeof r);
  r.b = 5;
  EXPECT_FALSE(guard.Compare(&r, "R", {{offsetof(R, b), sizeof r.b}}).has_value());
  EXPECT_EQ(guard.Compare(&r, "R", {}).value_or(""), "R byte 4 written (2 -> 5)");
}

// The suites attached to a host's logs and handle table: their calls land in
// the host's one log, their misuse in its misuse log with the call, and
// scripting descriptors are handles of the host's table under its rules.
TEST(HostKit, SuitesKeepTheRulesOnTheHostsLogAndTable) {
  using hostkit::Suites;
  struct Case {
    const char* name;
    std::function<void(Suites&)> act;
    const char* what;  // the first misuse; "" for none
    const char* call;
  };
  auto acquire = [](Suites& s, const char* name, int32_t version) {
    const void* table = nullptr;
    EXPECT_EQ(s.BasicSuite()->AcquireSuite(name, version, &table), 0);
    return table;
  };
  const Case cases[] = {
      {"a scripting descriptor disposed of while locked",
       [](Suites& s) {
         const Handle h = s.MakeScriptDescriptor({{hostkit::kKeyDith, true}});
         s.Handles()->lockProc(h, 0);
         s.Handles()->disposeProc(h);
       },
       "disposeProc on locked handle 2", "disposeProc(2)"},
      {"a descriptor freed twice",
       [&](Suites& s) {
         auto* procs = static_cast<const PSActionDescriptorProcs*>(acquire(s, hostkit::kDescriptorSuiteName, 3));
         PIActionDescriptor d = nullptr;
         procs->Make(&d);
         procs->Free(d);
         procs->Free(d);
       },
       "Free on a descriptor that is not live", "Free"},
      {"a suite released that is not held",
       [](Suites& s) { s.BasicSuite()->ReleaseSuite(hostkit::kRegistrySuiteName, 1); },
       "ReleaseSuite of 61e608b0-40fd-11d1-8da3-00c04fd5f7ee v1 that is not held", "ReleaseSuite(reg/1) -> 0"},
      {"the registry suite kept past the call",
       [&](Suites& s) {
         acquire(s, hostkit::kRegistrySuiteName, 1);
         s.Check("after selector 2");
       },
       "suite reg/1 is still held after selector 2", "after selector 2"},
      {"the file-list suite held between calls",
       [&](Suites& s) {
         acquire(s, hostkit::kFileListSuiteName, 4);
         s.Check("after selector 0");
       },
       "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CallLog log;
    MisuseLog misuse;
    HandleTable table(log, misuse);
    table.New(1);  // the host's own handle first: the suites' come after it
    Suites suites(log, misuse, table);
    c.act(suites);
    if (std::string(c.what).empty()) {
      EXPECT_TRUE(misuse.empty()) << misuse.Lines().front();
    } else {
      ASSERT_TRUE(misuse.First().has_value());
      EXPECT_EQ(misuse.First()->what, c.what);
      EXPECT_EQ(misuse.First()->call, c.call);
    }
    EXPECT_EQ(log.events().front().kind, hostkit::Ev::NewHandle);
    EXPECT_GT(log.events().size(), 1u) << "the suites' calls are in the host's log";
  }
}

}  // namespace
