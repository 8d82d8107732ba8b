// The dithering setting in the host's registry and scripting descriptor,
// against hosts that lack or fail each piece that the settings code uses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "FakeHostTest.h"
#include "QuantizeReference.h"
#include "Suites.h"
#include "entry/PluginMain.h"
#include "host/CallContext.h"
#include "settings/Settings.h"

namespace {

using fakehost::FakeHost;
using fakehost::Options;
using hostkit::kKeyDith;
using hostkit::kSettingsKey;
using hostkit::Suites;
using testing::IsEmpty;

constexpr int16_t kSlotSentinel = 0x5a5a;

// "none", or the entry's booleans and flag, e.g. "dith=0 persistent".
std::string RegistryText(const Suites& suites) {
  auto it = suites.registry.find(kSettingsKey);
  if (it == suites.registry.end()) return "none";
  std::string s;
  for (const auto& [key, value] : it->second.booleans)
    s += (key == kKeyDith ? "dith=" : "other=") + std::to_string(value) + " ";
  return s + (it->second.persistent ? "persistent" : "transient");
}

std::string BooleansText(const hostkit::Booleans& booleans) {
  if (booleans.empty()) return "empty";
  std::string s;
  for (const auto& [key, value] : booleans) s += (key == kKeyDith ? "dith=" : "other=") + std::to_string(value);
  return s;
}

// A FilterRecord built by value, with standalone suites plugged in, and the
// parameter block that the operations are given.
struct Harness {
  void Attach() {
    suites.Attach(record);
    gPluginGlobals = PluginGlobals{};
    gPluginGlobals.hostRecord = &record;
    gPluginGlobals.resultSlot = &result;
    gPluginGlobals.basicSuite = record.sSPBasic;
  }
  ~Harness() { gPluginGlobals = PluginGlobals{}; }

  void ExpectBalanced() const {
    EXPECT_EQ(result, kSlotSentinel) << "the result slot belongs to the handlers";
    EXPECT_EQ(suites.HeldSuites(), 0);
    EXPECT_EQ(suites.LiveDescriptors(), 0);
    EXPECT_EQ(suites.LiveTokens(), 0);
    EXPECT_THAT(suites.Misuse(), IsEmpty());
  }

  Suites suites;
  FilterRecord record{};
  ParameterBlock block{1};
  int16_t result = kSlotSentinel;
};

void SeedEntry(Suites& s, bool dith) { s.registry[kSettingsKey] = {{{kKeyDith, dith}}, true}; }

struct RegistryCase {
  const char* name;
  void (*setup)(Suites&);
  bool save;  // SaveSettings, else LoadSavedSettings
  uint8_t dithBefore;
  int32_t code;
  uint8_t dithAfter;
  const char* trace;
  const char* registryAfter;  // for loads: the registry must be as seeded
};

constexpr int32_t kRefused = kSPSuiteNotFoundError;
#define BOTH_ACQUIRED "A:reg/1 A:desc/3 "
#define BOTH_RELEASED "R:reg/1 R:desc/3"

const RegistryCase kRegistryCases[] = {
    {"load entry false", [](Suites& s) { SeedEntry(s, false); }, false, 1, 0, 0,
     BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "dith=0 persistent"},
    {"load entry true over 0", [](Suites& s) { SeedEntry(s, true); }, false, 0, 0, 1,
     BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "dith=1 persistent"},
    {"load entry true answered as 0x80 over 0",
     [](Suites& s) { SeedEntry(s, true); s.caps.trueByte = 0x80; }, false, 0, 0, 1,
     BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "dith=1 persistent"},
    {"load with nothing registered", [](Suites&) {}, false, 1, 0, 1, BOTH_ACQUIRED "Get " BOTH_RELEASED, "none"},
    {"load entry without the key", [](Suites& s) { s.registry[kSettingsKey] = {{}, true}; }, false, 1,
     hostkit::kKeyMissing, 1, BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "persistent"},
    {"load without basic suite", [](Suites& s) { SeedEntry(s, false); s.caps.basicSuite = false; }, false, 1,
     errPlugInHostInsufficient, 1, "", "dith=0 persistent"},
    {"load with half a basic suite", [](Suites& s) { SeedEntry(s, false); s.caps.basicHalfFilled = true; },
     false, 1, errPlugInHostInsufficient, 1, "", "dith=0 persistent"},
    {"load with registry suite refused", [](Suites& s) { SeedEntry(s, false); s.caps.registrySuite = false; },
     false, 1, kRefused, 1, "A!:reg/1", "dith=0 persistent"},
    {"load with descriptor suite refused",
     [](Suites& s) { SeedEntry(s, false); s.caps.descriptorVersion = 0; }, false, 1, kRefused, 1,
     "A:reg/1 A!:desc/3 R:reg/1", "dith=0 persistent"},
    {"load with Get failing", [](Suites& s) { SeedEntry(s, false); s.caps.getFails = -25; }, false, 1, -25, 1,
     BOTH_ACQUIRED "Get " BOTH_RELEASED, "dith=0 persistent"},
    {"load with GetBoolean failing", [](Suites& s) { SeedEntry(s, false); s.caps.getBooleanFails = -26; },
     false, 1, -26, 1, BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "dith=0 persistent"},
    {"load with half a registry suite", [](Suites& s) { SeedEntry(s, false); s.caps.registryHalfFilled = true; },
     false, 1, errPlugInHostInsufficient, 1, BOTH_ACQUIRED BOTH_RELEASED, "dith=0 persistent"},
    {"load with half a descriptor suite",
     [](Suites& s) { SeedEntry(s, false); s.caps.descriptorHalfFilled = true; }, false, 1,
     errPlugInHostInsufficient, 1, BOTH_ACQUIRED BOTH_RELEASED, "dith=0 persistent"},

    {"save false", [](Suites&) {}, true, 0, 0, 0,
     BOTH_ACQUIRED "Make PutBoolean Register Free " BOTH_RELEASED, "dith=0 persistent"},
    {"save true over an old entry", [](Suites& s) { SeedEntry(s, false); }, true, 1, 0, 1,
     BOTH_ACQUIRED "Make PutBoolean Register Free " BOTH_RELEASED, "dith=1 persistent"},
    {"save without basic suite", [](Suites& s) { s.caps.basicSuite = false; }, true, 0,
     errPlugInHostInsufficient, 0, "", "none"},
    {"save with registry suite refused", [](Suites& s) { s.caps.registrySuite = false; }, true, 0, kRefused, 0,
     "A!:reg/1", "none"},
    {"save with descriptor suite refused", [](Suites& s) { s.caps.descriptorVersion = 0; }, true, 0, kRefused,
     0, "A:reg/1 A!:desc/3 R:reg/1", "none"},
    {"save with Make failing", [](Suites& s) { s.caps.makeFails = memFullErr; }, true, 0, memFullErr, 0,
     BOTH_ACQUIRED "Make " BOTH_RELEASED, "none"},
    {"save with PutBoolean failing", [](Suites& s) { s.caps.putBooleanFails = -27; }, true, 0, -27, 0,
     BOTH_ACQUIRED "Make PutBoolean Free " BOTH_RELEASED, "none"},
    {"save with Register failing", [](Suites& s) { s.caps.registerFails = -28; }, true, 0, -28, 0,
     BOTH_ACQUIRED "Make PutBoolean Register Free " BOTH_RELEASED, "none"},
    {"save with half a registry suite", [](Suites& s) { s.caps.registryHalfFilled = true; }, true, 0,
     errPlugInHostInsufficient, 0, BOTH_ACQUIRED BOTH_RELEASED, "none"},
};

TEST(Settings, RegistryOperationsAgainstEachHostCapability) {
  for (const RegistryCase& c : kRegistryCases) {
    SCOPED_TRACE(c.name);
    Harness h;
    c.setup(h.suites);
    h.Attach();
    h.block.useDithering = c.dithBefore;

    const int32_t code = c.save ? SaveSettings(h.block) : LoadSavedSettings(h.block);

    EXPECT_EQ(code, c.code);
    EXPECT_EQ(h.block.useDithering, c.dithAfter);
    EXPECT_EQ(h.suites.SuiteTrace(), c.trace);
    EXPECT_EQ(RegistryText(h.suites), c.registryAfter);
    h.ExpectBalanced();
  }
}

struct ScriptCase {
  const char* name;
  void (*setup)(Suites&, FilterRecord&);
  uint8_t dith;
  bool oldDescriptor;  // the host hands us a descriptor from an earlier run
  int32_t code;
  const char* trace;
  const char* descriptorAfter;  // "unchanged", or the new descriptor's booleans
};

HandleProcs gHandlesWithoutDispose{};

const ScriptCase kScriptCases[] = {
    {"dithering on", [](Suites&, FilterRecord&) {}, 1, true, 0, "Open Put:dith=1 Dispose Close", "dith=1"},
    {"dithering off records no key", [](Suites&, FilterRecord&) {}, 0, true, 0, "Open Dispose Close", "empty"},
    {"empty descriptor member is not disposed", [](Suites&, FilterRecord&) {}, 1, false, 0,
     "Open Put:dith=1 Close", "dith=1"},
    {"no basic suite still records", [](Suites& s, FilterRecord&) { s.caps.basicSuite = false; }, 1, true, 0,
     "Open Put:dith=1 Dispose Close", "dith=1"},
    {"no descriptor parameters", [](Suites& s, FilterRecord&) { s.caps.descriptorParameters = false; }, 1, true,
     0, "", "unchanged"},
    {"no write procedures", [](Suites& s, FilterRecord&) { s.caps.writeProcs = false; }, 1, true, 0, "",
     "unchanged"},
    {"write procedures without putBooleanProc",
     [](Suites& s, FilterRecord&) { s.caps.writeProcsHalfFilled = true; }, 1, true, 0, "", "unchanged"},
    {"null write token", [](Suites& s, FilterRecord&) { s.caps.nullWriteToken = true; }, 1, true,
     errMissingParameter, "Open", "unchanged"},
    {"old descriptor but no disposeProc",
     [](Suites& s, FilterRecord& r) {
       gHandlesWithoutDispose = *s.Handles();
       gHandlesWithoutDispose.disposeProc = nullptr;
       r.handleProcs = &gHandlesWithoutDispose;
     },
     1, true, 0, "", "unchanged"},
    {"no disposeProc and nothing to dispose of still records",
     [](Suites& s, FilterRecord&) { s.caps.disposeProc = false; }, 1, false, 0, "Open Put:dith=1 Close",
     "dith=1"},
    // The descriptor to dispose of is the one the host holds when it is
    // replaced, not the one it held before the token was opened.
    {"descriptor replaced by the host while the token opens",
     [](Suites& s, FilterRecord&) {
       s.whileWriteOpens = [&s] {
         PIDescriptorParameters* p = s.DescriptorParameters();
         s.DisposeIfOurs(p->descriptor);
         p->descriptor = s.MakeScriptDescriptor({{FourCC("yyyy"), true}});
       };
     },
     1, true, 0, "Open Dispose Put:dith=1 Dispose Close", "dith=1"},
    {"disposeProc taken away while the token opens: the host keeps its descriptor",
     [](Suites& s, FilterRecord& r) {
       s.whileWriteOpens = [&s, &r] {
         gHandlesWithoutDispose = *s.Handles();
         gHandlesWithoutDispose.disposeProc = nullptr;
         r.handleProcs = &gHandlesWithoutDispose;
       };
     },
     1, true, 0, "Open Put:dith=1 Close", "unchanged"},
};

TEST(Settings, ScriptDescriptorAgainstEachHostCapability) {
  for (const ScriptCase& c : kScriptCases) {
    SCOPED_TRACE(c.name);
    Harness h;
    Suites& suites = h.suites;
    c.setup(suites, h.record);
    h.Attach();
    h.block.useDithering = c.dith;
    PIDescriptorParameters* parameters = suites.DescriptorParameters();
    Handle old = nullptr;
    if (parameters != nullptr) {
      old = c.oldDescriptor ? suites.MakeScriptDescriptor({{FourCC("xxxx"), true}}) : nullptr;
      parameters->descriptor = old;
      parameters->recordInfo = plugInDialogNone;
    }

    EXPECT_EQ(WriteScriptSettings(h.block), c.code);
    EXPECT_EQ(suites.ScriptTrace(), c.trace);
    EXPECT_EQ(suites.SuiteTrace(), "") << "scripting needs no suite";
    if (parameters != nullptr) {
      if (std::string(c.descriptorAfter) == "unchanged") {
        EXPECT_EQ(parameters->descriptor, old);
        EXPECT_EQ(parameters->recordInfo, plugInDialogNone);
      } else {
        auto booleans = suites.ScriptBooleans(parameters->descriptor);
        ASSERT_TRUE(booleans.has_value());
        EXPECT_EQ(BooleansText(*booleans), c.descriptorAfter);
        EXPECT_EQ(parameters->recordInfo, plugInDialogOptional);
        EXPECT_EQ(suites.LiveScriptDescriptors(), 1) << "the old descriptor must be disposed of";
      }
    }
    h.ExpectBalanced();
  }
}

// Whole filter runs through the entry point on the fake host, with the suites
// wired into it: one call log and one misuse list cover the settings and the
// conversion, and the host's handle rules hold for the scripting descriptors.
class SettingsRun : public fakehost::FakeHostTest {
 protected:
  FakeHost& MakeWithSuites(const hostkit::Capabilities& caps, Options options = {},
                           std::source_location where = std::source_location::current()) {
    options.suites = caps;
    return Make(options, where);
  }
};

// Parameters, prepare, start (confirmed), continue, finish; every result 0.
// Returns useDithering as start left it.
uint8_t RunFilter(FakeHost& host) {
  uint8_t afterStart = 0xFF;
  for (int16_t selector = filterSelectorParameters; selector <= filterSelectorFinish; ++selector) {
    host.result() = 0;
    EXPECT_EQ(host.Call(selector), 0) << "selector " << selector;
    EXPECT_EQ(host.suites().LockedHandles(), 0) << "selector " << selector;
    if (selector == filterSelectorStart) afterStart = *host.ParameterByte();
  }
  return afterStart;
}

void ExpectSuitesBalanced(FakeHost& host) {
  EXPECT_EQ(host.suites().HeldSuites(), 0);
  EXPECT_EQ(host.suites().LiveDescriptors(), 0);
  EXPECT_EQ(host.suites().LiveTokens(), 0);
  EXPECT_THAT(host.Misuse(), IsEmpty());
}

TEST_F(SettingsRun, SettingSurvivesBetweenRunsAndIsRecordedForScripting) {
  FakeHost& host = MakeWithSuites({});
  Suites& suites = host.suites();
  PIDescriptorParameters* scripting = host.record()->descriptorParameters;

  EXPECT_EQ(RunFilter(host), 1) << "an empty registry keeps the default";
  EXPECT_EQ(RegistryText(suites), "dith=1 persistent");
  EXPECT_EQ(BooleansText(suites.ScriptBooleans(scripting->descriptor).value()), "dith=1");

  suites.registry[kSettingsKey].booleans[kKeyDith] = false;
  EXPECT_EQ(RunFilter(host), 0) << "the registered false is loaded at start";
  EXPECT_EQ(RegistryText(suites), "dith=0 persistent");
  EXPECT_EQ(BooleansText(suites.ScriptBooleans(scripting->descriptor).value()), "empty");
  EXPECT_EQ(scripting->recordInfo, plugInDialogOptional);
  EXPECT_EQ(suites.LiveScriptDescriptors(), 1) << "the first run's descriptor must be disposed of";
  ExpectSuitesBalanced(host);
}

// Persisting is best effort: a host that lacks or fails any piece still gets
// a complete run with no error reported.
TEST_F(SettingsRun, FailingHostPiecesNeverFailTheRun) {
  struct Variant {
    const char* name;
    void (*setup)(hostkit::Capabilities&);
  };
  const Variant variants[] = {
      {"no basic suite", [](hostkit::Capabilities& c) { c.basicSuite = false; }},
      {"registry refused", [](hostkit::Capabilities& c) { c.registrySuite = false; }},
      {"Get fails", [](hostkit::Capabilities& c) { c.getFails = -25; }},
      {"Register fails", [](hostkit::Capabilities& c) { c.registerFails = -28; }},
      {"no write token", [](hostkit::Capabilities& c) { c.nullWriteToken = true; }},
      {"no descriptor parameters", [](hostkit::Capabilities& c) { c.descriptorParameters = false; }},
      {"no disposeProc", [](hostkit::Capabilities& c) { c.disposeProc = false; }},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    hostkit::Capabilities caps;
    v.setup(caps);
    FakeHost& host = MakeWithSuites(caps);
    EXPECT_EQ(RunFilter(host), 1);
    ExpectSuitesBalanced(host);
  }
}

// The whole filter with the suites in the host: start reads the setting from
// the registry and converts under the tile guards (padded rows, a grid of
// three rows of two tiles), finish records the setting for scripting and saves
// it. The conversion and the settings are checked together, in the order the
// one call log shows, and nothing may be misused across both.
TEST_F(SettingsRun, ConversionFollowsTheRegistrySettingAndFinishRecordsIt) {
  enum Script { kNoDescriptor, kDescriptorOff, kDescriptorOn };
  struct Case {
    const char* name;
    void (*setup)(Suites&);
    Script scriptIn;  // what the host hands in, as when it plays an action back
    bool bottomUp;
    uint8_t afterStart;  // useDithering as start left it: truncation when 0
    const char* registryAfter;
    const char* scriptAfter;
  };
  const Case cases[] = {
      {"empty registry: the default dithers", [](Suites&) {}, kNoDescriptor, false, 1, "dith=1 persistent",
       "dith=1"},
      {"registry off: truncation", [](Suites& s) { SeedEntry(s, false); }, kNoDescriptor, true, 0,
       "dith=0 persistent", "empty"},
      {"registry on, true answered as 0x80", [](Suites& s) { SeedEntry(s, true); s.caps.trueByte = 0x80; },
       kNoDescriptor, false, 1, "dith=1 persistent", "dith=1"},
      // A recorded descriptor is never read back: at playback the setting
      // still comes from the registry, and the descriptor is replaced.
      {"scripting descriptor on, registry off: truncation", [](Suites& s) { SeedEntry(s, false); }, kDescriptorOn,
       false, 0, "dith=0 persistent", "empty"},
      {"scripting descriptor off, registry on: dithered", [](Suites& s) { SeedEntry(s, true); }, kDescriptorOff, true,
       1, "dith=1 persistent", "dith=1"},
  };
  constexpr int kPlaneBits[3] = {5, 6, 5};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options options;
    options.width = 23;
    options.height = 9;
    options.planes = 3;
    options.tileHeight = 4;
    options.tileWidth = 16;
    options.bottomUp = c.bottomUp;
    FakeHost& host = MakeWithSuites({}, options);
    Suites& suites = host.suites();
    c.setup(suites);
    PIDescriptorParameters* scripting = host.record()->descriptorParameters;
    Handle old = nullptr;
    if (c.scriptIn != kNoDescriptor) {
      hostkit::Booleans in;
      if (c.scriptIn == kDescriptorOn) in[kKeyDith] = true;
      old = scripting->descriptor = suites.MakeScriptDescriptor(in);
      scripting->playInfo = plugInDialogNone;
    }

    EXPECT_EQ(RunFilter(host), c.afterStart);

    // The conversion: exactly the truncation with the setting off; with it on,
    // each sample at its truncated level or one step above, and some above.
    std::vector<uint8_t> truncated = host.source();
    const size_t planeSize = size_t(options.width) * size_t(options.height);
    int raised = 0;
    for (int p = 0; p < 3; ++p) {
      uint8_t* plane = truncated.data() + size_t(p) * planeSize;
      fakehost::ReferenceQuantize(plane, options.width, host.source().data() + size_t(p) * planeSize, options.width,
                                  nullptr, 0, options.height, options.width, false, kPlaneBits[p]);
      const int step = 1 << (8 - kPlaneBits[p]);
      for (size_t i = 0; i < planeSize; ++i) {
        const int got = host.destination()[size_t(p) * planeSize + i], low = plane[i];
        if (got == low + step) {
          ++raised;
        } else {
          EXPECT_EQ(got, low) << "plane " << p << " sample " << i;
        }
      }
    }
    if (c.afterStart == 0)
      EXPECT_EQ(host.destination(), truncated);
    else
      EXPECT_GT(raised, 0) << "no sample dithered";

    // The settings.
    EXPECT_EQ(RegistryText(suites), c.registryAfter);
    const auto recorded = suites.ScriptBooleans(scripting->descriptor);
    ASSERT_TRUE(recorded.has_value());
    EXPECT_EQ(BooleansText(*recorded), c.scriptAfter);
    EXPECT_EQ(scripting->recordInfo, plugInDialogOptional);
    if (old != nullptr) {
      EXPECT_FALSE(suites.ScriptBooleans(old).has_value()) << "the host's descriptor is not disposed of";
    }
    EXPECT_EQ(suites.LiveScriptDescriptors(), 1);

    // One log: the registry is read before the dialog, the image converted
    // after it, then the setting recorded for scripting before it is saved.
    auto first = [&](const std::function<bool(const hostkit::Event&)>& is) {
      const auto& events = host.events();
      return std::find_if(events.begin(), events.end(), is) - events.begin();
    };
    auto suiteCall = [](hostkit::Op op) {
      return [op](const hostkit::Event& e) { return e.kind == fakehost::Ev::Suite && e.op == int(op); };
    };
    const std::vector<ptrdiff_t> order = {
        first(suiteCall(hostkit::Op::Get)),
        first([](const hostkit::Event& e) { return e.kind == fakehost::Ev::Note && e.text == "confirm dialog"; }),
        first([](const hostkit::Event& e) { return e.kind == fakehost::Ev::AdvanceState; }),
        first(suiteCall(hostkit::Op::OpenWrite)),
        first(suiteCall(hostkit::Op::Register)),
        static_cast<ptrdiff_t>(host.events().size())};
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()) &&
                std::adjacent_find(order.begin(), order.end()) == order.end())
        << "Get, dialog, first tile, scripting, registry at " << testing::PrintToString(order);
    ExpectSuitesBalanced(host);
  }
}

}  // namespace
