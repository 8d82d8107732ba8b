// The host kit's rules, each shown to fire on the misuse it is there for, so
// that a harness built on the kit cannot lose one unnoticed: the misuse log
// keeps the first misuse with the call that made it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "HostKit.h"
#include "PlaneDelivery.h"
#include "Suites.h"

namespace {

using hostkit::CallLog;
using hostkit::HandleTable;
using hostkit::MisuseLog;

// The misuse a table row expects: none when `what` is empty, else this first
// misuse made by this call.
void ExpectFirstMisuse(const MisuseLog& misuse, const std::string& what, const std::string& call) {
  if (what.empty()) {
    EXPECT_TRUE(misuse.empty()) << misuse.Lines().front();
    return;
  }
  ASSERT_FALSE(misuse.empty());
  EXPECT_EQ(misuse.First()->what, what);
  EXPECT_EQ(misuse.First()->call, call);
}

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
    ExpectFirstMisuse(misuse, c.what, c.call);
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

// With moved blocks kept, a pointer the module keeps past the last unlock or
// a resize reads stale bytes, and a write through it is reported once, by
// CheckMoved or when the kept block is let go.
TEST(HostKit, KeptMovedBlocksReportStaleWrites) {
  struct Case {
    const char* name;
    std::function<void(HandleTable&, Handle)> act;
    const char* what;  // the first misuse; "" for none
    const char* call;
  };
  const std::string stale = "written through a stale pointer: byte ";
  const std::string moved = " of handle 1's block after the block moved (at its last unlock or a resize)";
  const Case cases[] = {
      {"written while locked, read after the unlock",
       [](HandleTable& t, Handle h) {
         uint8_t* p = reinterpret_cast<uint8_t*>(t.Lock(h));
         p[2] = 7;
         t.Unlock(h);
         EXPECT_EQ(p[2], HandleTable::kStaleByte);
         EXPECT_EQ(t.Bytes(h)[2], 7);
         t.CheckMoved("after selector 2");
       },
       "", ""},
      {"written after the last unlock",
       [](HandleTable& t, Handle h) {
         uint8_t* p = reinterpret_cast<uint8_t*>(t.Lock(h));
         t.Unlock(h);
         p[1] = 7;
         t.CheckMoved("after selector 2");
       },
       "1", "after selector 2"},
      {"written after a resize",
       [](HandleTable& t, Handle h) {
         t.moveOnUnlock = false;
         uint8_t* p = reinterpret_cast<uint8_t*>(t.Lock(h));
         t.Unlock(h);
         EXPECT_EQ(t.SetSize(h, 8), noErr);
         p[2] = 7;
         t.CheckMoved("after selector 3");
       },
       "2", "after selector 3"},
      {"written after the last unlock, found when the block is let go",
       [](HandleTable& t, Handle h) {
         uint8_t* p = reinterpret_cast<uint8_t*>(t.Lock(h));
         t.Unlock(h);
         p[0] = 7;
         for (size_t i = 0; i < HandleTable::kKeptBlocks; ++i) {
           t.Lock(h);
           t.Unlock(h);
         }
       },
       "0", "when its kept block was let go"},
#if !defined(__SANITIZE_ADDRESS__)
      // Under AddressSanitizer the block has no guard: the write itself is reported.
      {"written just past the old block",
       [](HandleTable& t, Handle h) {
         uint8_t* p = reinterpret_cast<uint8_t*>(t.Lock(h));
         t.Unlock(h);
         p[3] = 7;
         t.CheckMoved("after selector 2");
       },
       "3", "after selector 2"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CallLog log;
    MisuseLog misuse;
    HandleTable table(log, misuse);
    table.keepMovedBlocks = true;
    const Handle h = table.New(3);
    c.act(table, h);
    table.CheckMoved("at the end");  // a stale write is reported once
    const bool none = std::string(c.what).empty();
    if (!none) {
      EXPECT_EQ(misuse.all().size(), 1u) << ::testing::PrintToString(misuse.Lines());
    }
    ExpectFirstMisuse(misuse, none ? "" : stale + c.what + moved, c.call);
  }
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

// A buffer laid with guards only, its pixels filled by the caller from its
// own rows: GuardDamage sees the guards and the row padding, and
// WrittenComparedWith every pixel row as well, in either row order. The
// byte named is the one written.
TEST(HostKit, GuardsLaidWithoutACopyAndInputsComparedWithTheirSource) {
  struct Case {
    const char* name;
    std::function<uint8_t*(hostkit::TileBuffer&)> byte;  // the byte written; null for none
    bool guard;                                         // GuardDamage reports it
    bool written;                                       // WrittenComparedWith reports it
  };
  const Case cases[] = {
      {"nothing written", [](hostkit::TileBuffer&) -> uint8_t* { return nullptr; }, false, false},
      {"a pixel of the first row", [](hostkit::TileBuffer& b) { return b.Row(0); }, false, true},
      {"the last pixel of the last row", [](hostkit::TileBuffer& b) { return b.Row(b.height - 1) + b.rowWidth - 1; },
       false, true},
      {"the padding of the top row", [](hostkit::TileBuffer& b) { return b.Row(0) + b.rowWidth; }, true, true},
      {"the last padding byte of the bottom row",
       [](hostkit::TileBuffer& b) { return b.Row(b.height - 1) + b.rowBytes - 1; }, true, true},
      {"the guard before the buffer", [](hostkit::TileBuffer& b) { return b.bytes.data(); }, true, true},
      {"the guard after the buffer", [](hostkit::TileBuffer& b) { return &b.bytes.back(); }, true, true},
  };
  const VRect rect{2, 1, 5, 5};
  std::vector<std::vector<uint8_t>> source;  // the host's rows: 3 rows of 4 pixels of 2 bytes
  for (uint8_t y = 0; y < 3; ++y) source.push_back({uint8_t(y + 1), 2, 3, 4, 5, 6, 7, uint8_t(8 * y)});
  auto sourceRow = [&](int32_t y) { return source[size_t(y)].data(); };
  for (const bool bottomUp : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (bottomUp ? ", bottom-up" : ", top-down"));
      hostkit::TileBuffer b;
      // Laid twice, damaged in between: the same allocation is laid afresh.
      for (const bool again : {false, true}) {
        b.LayGuards(rect, 0, 8, 3, bottomUp);
        for (int32_t y = 0; y < b.height; ++y) std::memcpy(b.Row(y), sourceRow(y), 8);
        EXPECT_FALSE(b.GuardDamage("output").has_value());
        EXPECT_FALSE(b.WrittenComparedWith("input", sourceRow).has_value());
        if (again) break;
        uint8_t* byte = c.byte(b);
        if (byte != nullptr) *byte ^= 0x5A;
        const auto damage = b.GuardDamage("output");
        EXPECT_EQ(damage.has_value(), c.guard);
        if (damage && byte != nullptr) {
          EXPECT_EQ(*damage, "output guard byte " + std::to_string(byte - b.bytes.data()) + " of tile (2,1,5,5) written");
        }
        EXPECT_EQ(b.WrittenComparedWith("input", sourceRow).value_or(""),
                  c.written ? "input buffer written by the module" : "");
      }
    }
  }
}

// Tiles served from whole planes, in place and guarded: a request outside the
// image or its planes is refused as misuse; an input or mask written, or an
// output's row padding, is flagged at the next request or at Finish with the
// request that delivered it; the output lands in the host's planes.
TEST(HostKit, PlaneDeliveryServesChecksAndCopiesBack) {
  constexpr int32_t kHeight = 4, kWidth = 6, kRowBytes = 8;
  constexpr int kPlanes = 3;
  struct Host {
    CallLog log;
    MisuseLog misuse;
    hostkit::PlaneDelivery delivery{log, misuse};
    std::vector<std::vector<uint8_t>> in, out, expected;  // expected: out as the module's writes leave it
    std::vector<uint8_t> mask;
    hostkit::Planes image;
    FilterRecord r{};

    Host() {
      for (int p = 0; p < kPlanes; ++p) {
        in.emplace_back(size_t(kHeight * kRowBytes));
        for (size_t i = 0; i < in.back().size(); ++i) in.back()[i] = uint8_t(p * 64 + i);
      }
      out = expected = in;
      mask.assign(size_t(kHeight * kRowBytes), 0x80);
      image.height = kHeight, image.width = kWidth, image.rowBytes = kRowBytes;
      for (int p = 0; p < kPlanes; ++p) image.in.push_back(in[size_t(p)].data()), image.out.push_back(out[size_t(p)].data());
      image.mask = mask.data();
      r.haveMask = 1;
    }
    // The same rectangle for input, output and mask, the same planes for input and output.
    OSErr Ask(const Rect& rect, int16_t lo, int16_t hi) {
      r.inRect = r.outRect = r.maskRect = rect;
      r.inLoPlane = r.outLoPlane = lo;
      r.inHiPlane = r.outHiPlane = hi;
      return delivery.Deliver(r, image);
    }
    // The module's part: each output sample the inverse of its input sample.
    void Invert() {
      const Rect rect = r.inRect;
      const int planes = r.inHiPlane - r.inLoPlane + 1;
      const auto* src = static_cast<const uint8_t*>(r.inData);
      auto* dst = static_cast<uint8_t*>(r.outData);
      for (int32_t y = 0; y < rect.bottom - rect.top; ++y)
        for (int32_t x = 0; x < rect.right - rect.left; ++x)
          for (int p = 0; p < planes; ++p) {
            const size_t at = size_t(rect.top + y) * kRowBytes + size_t(rect.left + x);
            const uint8_t inverse = uint8_t(255 - in[size_t(r.inLoPlane + p)][at]);
            dst[ptrdiff_t(y) * r.outRowBytes + x * planes + p] = uint8_t(255 - src[ptrdiff_t(y) * r.inRowBytes + x * planes + p]);
            expected[size_t(r.outLoPlane + p)][at] = inverse;
          }
    }
  };
  struct Case {
    const char* name;
    bool guarded, bottomUp;
    std::function<OSErr(Host&)> act;  // returns the last request's answer
    OSErr answer;
    const char* what;  // the first misuse; "" for none
    int byRequest;     // the advanceState entry it names, counted from 0
    bool atFinish;     // flagged only when the delivery ends
  };
  const Rect tile{1, 1, 3, 4};
  const Case cases[] = {
      {"in place, one plane at a time", false, false,
       [&](Host& h) {
         for (int16_t p = 0; p < kPlanes; ++p) {
           EXPECT_EQ(h.Ask(tile, p, p), noErr);
           EXPECT_EQ(h.r.inRowBytes, kRowBytes);
           h.Invert();
         }
         return noErr;
       },
       noErr, "", 0, false},
      {"in place, several planes at once", false, false, [&](Host& h) { return h.Ask(tile, 0, 1); },
       filterBadParameters, "", 0, false},
      {"guarded, top-down", true, false, [&](Host& h) { const OSErr e = h.Ask(tile, 0, 2); h.Invert(); return e; },
       noErr, "", 0, false},
      {"guarded, bottom-up, two tiles", true, true,
       [&](Host& h) {
         EXPECT_EQ(h.Ask(tile, 0, 2), noErr);
         EXPECT_LT(h.r.outRowBytes, 0);
         h.Invert();
         const OSErr e = h.Ask(Rect{3, 0, 4, 6}, 1, 2);
         h.Invert();
         return e;
       },
       noErr, "", 0, false},
      {"a rectangle below the image", true, false, [&](Host& h) { return h.Ask(Rect{2, 0, 5, 6}, 0, 2); },
       filterBadParameters, "advanceState: requested rectangle (2,0,5,6) lies outside the image", 0, false},
      {"a rectangle left of the image", false, false, [&](Host& h) { return h.Ask(Rect{0, -1, 1, 2}, 0, 0); },
       filterBadParameters, "advanceState: requested rectangle (0,-1,1,2) lies outside the image", 0, false},
      {"planes past the image's", false, false, [&](Host& h) { return h.Ask(tile, 2, 3); },
       filterBadParameters, "advanceState: requested planes outside the image", 0, false},
      {"an input written, seen at the next request", true, false,
       [&](Host& h) {
         h.Ask(tile, 0, 2);
         h.Invert();
         static_cast<uint8_t*>(h.r.inData)[h.r.inRowBytes + 8] ^= 1;  // row 1, the last sample
         return h.Ask(Rect{3, 0, 4, 6}, 0, 0);
       },
       noErr, "input buffer written by the module", 0, false},
      {"a mask written, seen at Finish", true, true,
       [&](Host& h) {
         const OSErr e = h.Ask(tile, 0, 2);
         static_cast<uint8_t*>(h.r.maskData)[0] = 0;
         return e;
       },
       noErr, "mask buffer written by the module", 0, true},
      {"an output's row padding written", true, false,
       [&](Host& h) {
         const OSErr e = h.Ask(tile, 0, 2);
         h.Invert();
         static_cast<uint8_t*>(h.r.outData)[9] = 0;  // just past the top row's 3 pixels of 3 planes
         return e;
       },
       noErr, "output guard byte 25 of tile (1,1,3,4) written", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Host h;
    h.delivery.guarded = c.guarded;
    h.delivery.bottomUp = c.bottomUp;
    EXPECT_EQ(c.act(h), c.answer);
    const bool beforeFinish = !h.misuse.empty();
    h.delivery.Finish(h.r);
    const void* inData = h.r.inData;  // packed: read by value
    EXPECT_EQ(inData, nullptr);
    EXPECT_TRUE(h.out == h.expected) << "the output as written lands in the host's planes, nothing else";
    const bool none = std::string(c.what).empty();
    ExpectFirstMisuse(h.misuse, c.what,
                      none ? "" : h.log.Of(hostkit::Ev::AdvanceState).at(size_t(c.byRequest)).Describe());
    if (!none) {
      EXPECT_EQ(beforeFinish, !c.atFinish);
    }
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
    ExpectFirstMisuse(misuse, c.what, c.call);
    EXPECT_EQ(log.events().front().kind, hostkit::Ev::NewHandle);
    EXPECT_GT(log.events().size(), 1u) << "the suites' calls are in the host's log";
  }
}

}  // namespace
