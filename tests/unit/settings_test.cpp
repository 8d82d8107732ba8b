// The dithering setting in the host's registry and scripting descriptor,
// against hosts that lack or fail each piece that the settings code uses.
#include <gtest/gtest.h>

#include <string>

#include "FakeSuites.h"
#include "entry/PluginMain.h"
#include "host/CallContext.h"
#include "settings/Settings.h"

namespace {

using fakehost::FakeSuites;
using fakehost::kKeyDith;
using fakehost::kSettingsKey;

constexpr int16_t kSlotSentinel = 0x5a5a;

// "none", or the entry's booleans and flag, e.g. "dith=0 persistent".
std::string RegistryText(const FakeSuites& suites) {
  auto it = suites.registry.find(kSettingsKey);
  if (it == suites.registry.end()) return "none";
  std::string s;
  for (const auto& [key, value] : it->second.booleans)
    s += (key == kKeyDith ? "dith=" : "other=") + std::to_string(value) + " ";
  return s + (it->second.persistent ? "persistent" : "transient");
}

std::string BooleansText(const fakehost::Booleans& booleans) {
  if (booleans.empty()) return "empty";
  std::string s;
  for (const auto& [key, value] : booleans) s += (key == kKeyDith ? "dith=" : "other=") + std::to_string(value);
  return s;
}

// A FilterRecord built by value, with the fake suites plugged in, and the
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
    EXPECT_TRUE(suites.misuse.empty()) << suites.misuse.front();
  }

  FakeSuites suites;
  FilterRecord record{};
  ParameterBlock block{1};
  int16_t result = kSlotSentinel;
};

void SeedEntry(FakeSuites& s, bool dith) { s.registry[kSettingsKey] = {{{kKeyDith, dith}}, true}; }

struct RegistryCase {
  const char* name;
  void (*setup)(FakeSuites&);
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
    {"load entry false", [](FakeSuites& s) { SeedEntry(s, false); }, false, 1, 0, 0,
     BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "dith=0 persistent"},
    {"load entry true over 0", [](FakeSuites& s) { SeedEntry(s, true); }, false, 0, 0, 1,
     BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "dith=1 persistent"},
    {"load entry true answered as 0x80 over 0",
     [](FakeSuites& s) { SeedEntry(s, true); s.caps.trueByte = 0x80; }, false, 0, 0, 1,
     BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "dith=1 persistent"},
    {"load with nothing registered", [](FakeSuites&) {}, false, 1, 0, 1, BOTH_ACQUIRED "Get " BOTH_RELEASED, "none"},
    {"load entry without the key", [](FakeSuites& s) { s.registry[kSettingsKey] = {{}, true}; }, false, 1,
     fakehost::kKeyMissing, 1, BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "persistent"},
    {"load without basic suite", [](FakeSuites& s) { SeedEntry(s, false); s.caps.basicSuite = false; }, false, 1,
     errPlugInHostInsufficient, 1, "", "dith=0 persistent"},
    {"load with half a basic suite", [](FakeSuites& s) { SeedEntry(s, false); s.caps.basicHalfFilled = true; },
     false, 1, errPlugInHostInsufficient, 1, "", "dith=0 persistent"},
    {"load with registry suite refused", [](FakeSuites& s) { SeedEntry(s, false); s.caps.registrySuite = false; },
     false, 1, kRefused, 1, "A!:reg/1", "dith=0 persistent"},
    {"load with descriptor suite refused",
     [](FakeSuites& s) { SeedEntry(s, false); s.caps.descriptorVersion = 0; }, false, 1, kRefused, 1,
     "A:reg/1 A!:desc/3 R:reg/1", "dith=0 persistent"},
    {"load with Get failing", [](FakeSuites& s) { SeedEntry(s, false); s.caps.getFails = -25; }, false, 1, -25, 1,
     BOTH_ACQUIRED "Get " BOTH_RELEASED, "dith=0 persistent"},
    {"load with GetBoolean failing", [](FakeSuites& s) { SeedEntry(s, false); s.caps.getBooleanFails = -26; },
     false, 1, -26, 1, BOTH_ACQUIRED "Get GetBoolean Free " BOTH_RELEASED, "dith=0 persistent"},
    {"load with half a registry suite", [](FakeSuites& s) { SeedEntry(s, false); s.caps.registryHalfFilled = true; },
     false, 1, errPlugInHostInsufficient, 1, BOTH_ACQUIRED BOTH_RELEASED, "dith=0 persistent"},
    {"load with half a descriptor suite",
     [](FakeSuites& s) { SeedEntry(s, false); s.caps.descriptorHalfFilled = true; }, false, 1,
     errPlugInHostInsufficient, 1, BOTH_ACQUIRED BOTH_RELEASED, "dith=0 persistent"},

    {"save false", [](FakeSuites&) {}, true, 0, 0, 0,
     BOTH_ACQUIRED "Make PutBoolean Register Free " BOTH_RELEASED, "dith=0 persistent"},
    {"save true over an old entry", [](FakeSuites& s) { SeedEntry(s, false); }, true, 1, 0, 1,
     BOTH_ACQUIRED "Make PutBoolean Register Free " BOTH_RELEASED, "dith=1 persistent"},
    {"save without basic suite", [](FakeSuites& s) { s.caps.basicSuite = false; }, true, 0,
     errPlugInHostInsufficient, 0, "", "none"},
    {"save with registry suite refused", [](FakeSuites& s) { s.caps.registrySuite = false; }, true, 0, kRefused, 0,
     "A!:reg/1", "none"},
    {"save with descriptor suite refused", [](FakeSuites& s) { s.caps.descriptorVersion = 0; }, true, 0, kRefused,
     0, "A:reg/1 A!:desc/3 R:reg/1", "none"},
    {"save with Make failing", [](FakeSuites& s) { s.caps.makeFails = memFullErr; }, true, 0, memFullErr, 0,
     BOTH_ACQUIRED "Make " BOTH_RELEASED, "none"},
    {"save with PutBoolean failing", [](FakeSuites& s) { s.caps.putBooleanFails = -27; }, true, 0, -27, 0,
     BOTH_ACQUIRED "Make PutBoolean Free " BOTH_RELEASED, "none"},
    {"save with Register failing", [](FakeSuites& s) { s.caps.registerFails = -28; }, true, 0, -28, 0,
     BOTH_ACQUIRED "Make PutBoolean Register Free " BOTH_RELEASED, "none"},
    {"save with half a registry suite", [](FakeSuites& s) { s.caps.registryHalfFilled = true; }, true, 0,
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
  void (*setup)(FakeSuites&, FilterRecord&);
  uint8_t dith;
  bool oldDescriptor;  // the host hands us a descriptor from an earlier run
  int32_t code;
  const char* trace;
  const char* descriptorAfter;  // "unchanged", or the new descriptor's booleans
};

HandleProcs gHandlesWithoutDispose{};

const ScriptCase kScriptCases[] = {
    {"dithering on", [](FakeSuites&, FilterRecord&) {}, 1, true, 0, "Open Put:dith=1 Dispose Close", "dith=1"},
    {"dithering off records no key", [](FakeSuites&, FilterRecord&) {}, 0, true, 0, "Open Dispose Close", "empty"},
    {"empty descriptor member is not disposed", [](FakeSuites&, FilterRecord&) {}, 1, false, 0,
     "Open Put:dith=1 Close", "dith=1"},
    {"no basic suite still records", [](FakeSuites& s, FilterRecord&) { s.caps.basicSuite = false; }, 1, true, 0,
     "Open Put:dith=1 Dispose Close", "dith=1"},
    {"no descriptor parameters", [](FakeSuites& s, FilterRecord&) { s.caps.descriptorParameters = false; }, 1, true,
     0, "", "unchanged"},
    {"no write procedures", [](FakeSuites& s, FilterRecord&) { s.caps.writeProcs = false; }, 1, true, 0, "",
     "unchanged"},
    {"write procedures without putBooleanProc",
     [](FakeSuites& s, FilterRecord&) { s.caps.writeProcsHalfFilled = true; }, 1, true, 0, "", "unchanged"},
    {"null write token", [](FakeSuites& s, FilterRecord&) { s.caps.nullWriteToken = true; }, 1, true,
     errMissingParameter, "Open", "unchanged"},
    {"old descriptor but no disposeProc",
     [](FakeSuites& s, FilterRecord& r) {
       gHandlesWithoutDispose = *s.Handles();
       gHandlesWithoutDispose.disposeProc = nullptr;
       r.handleProcs = &gHandlesWithoutDispose;
     },
     1, true, 0, "", "unchanged"},
    {"no disposeProc and nothing to dispose of still records",
     [](FakeSuites& s, FilterRecord&) { s.caps.disposeProc = false; }, 1, false, 0, "Open Put:dith=1 Close",
     "dith=1"},
    // The descriptor to dispose of is the one the host holds when it is
    // replaced, not the one it held before the token was opened.
    {"descriptor replaced by the host while the token opens",
     [](FakeSuites& s, FilterRecord&) {
       s.whileWriteOpens = [&s] {
         PIDescriptorParameters* p = s.DescriptorParameters();
         s.DisposeIfOurs(p->descriptor);
         p->descriptor = s.MakeScriptDescriptor({{FourCC("yyyy"), true}});
       };
     },
     1, true, 0, "Open Dispose Put:dith=1 Dispose Close", "dith=1"},
    {"disposeProc taken away while the token opens: the host keeps its descriptor",
     [](FakeSuites& s, FilterRecord& r) {
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
    FakeSuites& suites = h.suites;
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
        EXPECT_EQ(suites.LiveHandles(), 1) << "the old descriptor must be disposed of";
      }
    }
    h.ExpectBalanced();
  }
}

// A whole filter run through the entry point: parameters, prepare, start,
// continue, finish. Returns useDithering as start left it.
uint8_t RunFilter(FakeSuites& suites, FilterRecord& record, intptr_t& data, int16_t& result) {
  uint8_t afterStart = 0xFF;
  for (int16_t selector = filterSelectorParameters; selector <= filterSelectorFinish; ++selector) {
    result = 0;
    PluginMain(selector, &record, &data, &result);
    EXPECT_EQ(result, 0) << "selector " << selector;
    EXPECT_EQ(suites.LockedHandles(), 0) << "selector " << selector;
    if (selector == filterSelectorStart) afterStart = suites.CopyHandleBytes(record.parameters).at(0);
  }
  return afterStart;
}

void PrepareRecord(FakeSuites& suites, FilterRecord& record) {
  record = FilterRecord{};
  suites.Attach(record);
  // An empty filter area: start has nothing to convert, only settings to load.
  record.outTileHeight = record.outTileWidth = 16;
  record.advanceState = []() -> OSErr { return noErr; };
  record.depth = 8;
}

TEST(SettingsRun, SettingSurvivesBetweenRunsAndIsRecordedForScripting) {
  FakeSuites suites;
  FilterRecord record;
  PrepareRecord(suites, record);
  intptr_t data = 0;
  int16_t result = 0;

  EXPECT_EQ(RunFilter(suites, record, data, result), 1) << "an empty registry keeps the default";
  EXPECT_EQ(RegistryText(suites), "dith=1 persistent");
  EXPECT_EQ(BooleansText(suites.ScriptBooleans(record.descriptorParameters->descriptor).value()), "dith=1");

  suites.registry[kSettingsKey].booleans[kKeyDith] = false;
  EXPECT_EQ(RunFilter(suites, record, data, result), 0) << "the registered false is loaded at start";
  EXPECT_EQ(RegistryText(suites), "dith=0 persistent");
  EXPECT_EQ(BooleansText(suites.ScriptBooleans(record.descriptorParameters->descriptor).value()), "empty");
  EXPECT_EQ(record.descriptorParameters->recordInfo, plugInDialogOptional);

  EXPECT_EQ(suites.HeldSuites(), 0);
  EXPECT_EQ(suites.LiveDescriptors(), 0);
  EXPECT_EQ(suites.LiveTokens(), 0);
  EXPECT_TRUE(suites.misuse.empty()) << suites.misuse.front();
  gPluginGlobals = PluginGlobals{};
}

// Persisting is best effort: a host that lacks or fails any piece still gets
// a complete run with no error reported.
TEST(SettingsRun, FailingHostPiecesNeverFailTheRun) {
  struct Variant {
    const char* name;
    void (*setup)(fakehost::Capabilities&);
  };
  const Variant variants[] = {
      {"no basic suite", [](fakehost::Capabilities& c) { c.basicSuite = false; }},
      {"registry refused", [](fakehost::Capabilities& c) { c.registrySuite = false; }},
      {"Get fails", [](fakehost::Capabilities& c) { c.getFails = -25; }},
      {"Register fails", [](fakehost::Capabilities& c) { c.registerFails = -28; }},
      {"no write token", [](fakehost::Capabilities& c) { c.nullWriteToken = true; }},
      {"no descriptor parameters", [](fakehost::Capabilities& c) { c.descriptorParameters = false; }},
      {"no disposeProc", [](fakehost::Capabilities& c) { c.disposeProc = false; }},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    FakeSuites suites;
    v.setup(suites.caps);
    FilterRecord record;
    PrepareRecord(suites, record);
    intptr_t data = 0;
    int16_t result = 0;
    EXPECT_EQ(RunFilter(suites, record, data, result), 1);
    EXPECT_EQ(suites.HeldSuites(), 0);
    EXPECT_EQ(suites.LiveDescriptors(), 0);
    EXPECT_EQ(suites.LiveTokens(), 0);
    EXPECT_TRUE(suites.misuse.empty()) << suites.misuse.front();
  }
  gPluginGlobals = PluginGlobals{};
}

}  // namespace
