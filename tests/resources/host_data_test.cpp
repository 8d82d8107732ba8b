// The property list and the scripting terminology, read from the built module
// and compared with their required layouts: every stored byte, named by field,
// then a walk of the structure as a host reads it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "TestSupport.h"

namespace restest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

const pe::ResourceKey kPiplType = pe::ResourceKey::Name("PIPL");
const pe::ResourceKey kAeteType = pe::ResourceKey::Name("AETE");
const pe::ResourceKey kId16000 = pe::ResourceKey::Id(16000);

const char kEnableExpression[] =
    "in (PSHOP_ImageMode, RGBMode, GrayScaleMode,CMYKMode, HSLMode, HSBMode, MultichannelMode,"
    "DuotoneMode, LabMode, RGB48Mode, Gray16Mode) ||PSHOP_ImageDepth == 16 ||PSHOP_ImageDepth == 32";
const char kScope[] = "723b5e70-4e05-11de-8a39-0800200c9a66";

// One property: vendor '8BIM', key (stored reversed), id 0, length, data.
// The module under test comes from the same toolchain as this test: its code
// property is the one of this test's machine ('8664' on x64, 'wa64' on ARM64,
// stored reversed), and nothing else in the list differs between the two.
#if defined(__aarch64__)
constexpr char kCodeKey[] = "wa64";
constexpr char kCodeKeyStored[] = "46aw";
#else
constexpr char kCodeKey[] = "8664";
constexpr char kCodeKeyStored[] = "4668";
#endif

void AddProperty(Layout& layout, const std::string& key, const char* storedKey, uint8_t length,
                 std::initializer_list<std::pair<const char*, Bytes>> data) {
  layout.Add(key + " vendor", Ascii("MIB8"))
      .Add(key + " key", Ascii(storedKey))
      .Add(key + " id", Zeros(4))
      .Add(key + " length", B({length, 0, 0, 0}));
  for (const auto& [name, bytes] : data) layout.Add(key + " " + name, bytes);
}

Layout PropertyListLayout() {
  Layout l;
  l.Add("leading word", B({1, 0})).Add("list version", Zeros(4)).Add("property count", B({11, 0, 0, 0}));
  AddProperty(l, "kind", "dnik", 4, {{"code '8BFM'", Ascii("MFB8")}});
  AddProperty(l, "name", "eman", 16, {{"text", B({12}) + Ascii("Pixelmoor...") + Zeros(3)}});
  AddProperty(l, "catg", "gtac", 12, {{"text", B({8}) + Ascii("Tarnwick") + Zeros(3)}});
  AddProperty(l, "vers", "srev", 4, {{"version 4.0", B({0, 0, 4, 0})}});
  AddProperty(l, kCodeKey, kCodeKeyStored, 12, {{"entry point", Ascii("PluginMain") + Zeros(2)}});
  AddProperty(l, "mode", "edom", 4, {{"mode flags", B({0x5F, 0xC0, 0, 0})}});
  AddProperty(l, "hstm", "mtsh", 56,
              {{"version", Zeros(4)},
               {"class ID", Ascii("wrat")},
               {"event ID", Ascii("wrat")},
               {"terminology id", B({0x80, 0x3E})},
               {"scope string", Ascii(kScope) + Zeros(1)},
               {"fill", Zeros(5)}});
  AddProperty(l, "enbl", "lbne", 188, {{"expression", Ascii(kEnableExpression) + Zeros(5)}});
  AddProperty(l, "ms32", "23sm", 8, {{"max height", B({0x80, 0x84, 0x1E, 0})}, {"max width", B({0x80, 0x84, 0x1E, 0})}});
  AddProperty(l, "flly", "yllf", 4, {{"filter layers", B({0x80, 0, 0, 0})}});
  AddProperty(l, "fici", "icif", 28,
              {{"case 1 flat, no selection", B({4, 4, 0x06, 0})},
               {"case 2 flat, selection", B({4, 4, 0x0E, 0})},
               {"case 3 floating selection", B({4, 4, 0x0E, 0})},
               {"case 4 editable transparency, no selection", B({4, 4, 0x06, 0})},
               {"case 5 editable transparency, selection", B({4, 4, 0x0E, 0})},
               {"case 6 protected transparency, no selection", B({4, 4, 0x06, 0})},
               {"case 7 protected transparency, selection", B({4, 4, 0x0E, 0})}});
  return l;
}

Layout TerminologyLayout() {
  Layout l;
  l.Add("leading word", B({1, 0}))
      .Add("format major version", B({1}))
      .Add("format minor version", B({0}))
      .Add("language code", B({0, 0}))
      .Add("script code", B({0, 0}))
      .Add("number of suites", B({1, 0}))
      .Add("suite name", B({8}) + Ascii("Tarnwick"))
      .Add("suite description", B({0x16}) + Ascii("Adobe example plug-ins"))
      .Add("suite ID", Ascii("wrat"))
      .Add("suite level", B({1, 0}))
      .Add("suite version", B({1, 0}))
      .Add("number of events", B({1, 0}))
      .Add("event name", B({9}) + Ascii("Pixelmoor"))
      .Add("event description", B({0x25}) + Ascii("16bpp conversion and dithering plugin"))
      .Add("event class", Ascii("wrat"))
      .Add("event ID", Ascii("wrat"))
      .Add("reply type", Ascii("llun"))
      .Add("reply description", B({0}))
      .Add("reply flags", B({0, 0}))
      .Add("direct parameter type", Ascii("RmI#"))
      .Add("direct parameter description", B({0}))
      .Add("direct parameter flags", B({0x00, 0xB0}))
      .Add("number of other parameters", B({1, 0}))
      .Add("parameter name", B({0x10}) + Ascii("ignore selection"))
      .Add("parameter key", Ascii("htid"))
      .Add("parameter type", Ascii("loob"))
      .Add("parameter description", B({0x0D}) + Ascii("use dithering"))
      .Add("parameter flags", B({0, 0}))
      .Add("number of classes", B({0, 0}))
      .Add("number of comparison operators", B({0, 0}))
      .Add("number of enumerations", B({0, 0}));
  return l;
}

constexpr uint32_t FourCC(const char (&c)[5]) {
  return uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 | uint32_t(uint8_t(c[2])) << 8 |
         uint32_t(uint8_t(c[3]));
}

using PropertyListTest = BuiltModule;

TEST_F(PropertyListTest, StoresEveryFieldAsRequired) {
  const Bytes& pipl = Get(kPiplType, kId16000);
  ASSERT_EQ(PropertyListLayout().Size(), 522u);
  EXPECT_THAT(PropertyListLayout().Differences(pipl), IsEmpty());
}

TEST_F(PropertyListTest, ReadsAsHeaderAndElevenPropertiesEndingAtTheLastByte) {
  const Bytes& pipl = Get(kPiplType, kId16000);
  ASSERT_EQ(pipl.size(), 522u);
  ASSERT_EQ(pe::Le32(pipl, 6), 11u);
  struct Expected {
    uint32_t key;
    size_t offset;
  };
  const Expected kProperties[] = {{FourCC("kind"), 10},  {FourCC("name"), 30},  {FourCC("catg"), 62},
                                  {FourCC("vers"), 90},  {FourCC(kCodeKey), 110}, {FourCC("mode"), 138},
                                  {FourCC("hstm"), 158}, {FourCC("enbl"), 230}, {FourCC("ms32"), 434},
                                  {FourCC("flly"), 458}, {FourCC("fici"), 478}};
  size_t at = 10;
  for (const Expected& p : kProperties) {
    SCOPED_TRACE("property at " + std::to_string(at));
    EXPECT_EQ(at, p.offset);
    EXPECT_EQ(at % 4, 2u) << "the leading word shifts every property by 2";
    EXPECT_EQ(pe::Le32(pipl, at), FourCC("8BIM"));
    EXPECT_EQ(pe::Le32(pipl, at + 4), p.key);
    EXPECT_EQ(pe::Le32(pipl, at + 8), 0u);
    const uint32_t length = pe::Le32(pipl, at + 12);
    EXPECT_EQ(length % 4, 0u);
    at += 16 + length;
    ASSERT_LE(at, pipl.size());
  }
  EXPECT_EQ(at, pipl.size());

  const char* enbl = reinterpret_cast<const char*>(pipl.data() + 230 + 16);
  EXPECT_EQ(strnlen(enbl, 188), 183u);
  EXPECT_TRUE(std::all_of(pipl.begin() + 230 + 16 + 183, pipl.begin() + 434, [](uint8_t b) { return b == 0; }));
}

TEST_F(PropertyListTest, NamesTheExportedEntryPointAndTheModulesTerminology) {
  const Bytes& pipl = Get(kPiplType, kId16000);
  const Bytes& aete = Get(kAeteType, kId16000);
  ASSERT_EQ(pipl.size(), 522u);
  ASSERT_EQ(aete.size(), 171u);

  const std::string entryPoint(reinterpret_cast<const char*>(pipl.data() + 110 + 16));
  EXPECT_EQ(entryPoint, "PluginMain");
  EXPECT_THAT(Module().exportNames, ::testing::Contains(entryPoint));

  // 'hstm' names class, event and resource id of the terminology.
  const size_t hstm = 158 + 16;
  const uint32_t classId = pe::Le32(pipl, hstm + 4);
  const uint32_t eventId = pe::Le32(pipl, hstm + 8);
  EXPECT_EQ(classId, FourCC("tarw"));
  EXPECT_EQ(eventId, FourCC("tarw"));
  EXPECT_EQ(pe::Le16(pipl, hstm + 12), 16000);
  EXPECT_EQ(pe::Le32(aete, 42), classId) << "suite ID";
  EXPECT_EQ(pe::Le32(aete, 100), classId) << "event class";
  EXPECT_EQ(pe::Le32(aete, 104), eventId) << "event ID";
}

// The comparison must name the one field that holds a wrong byte.
TEST_F(PropertyListTest, ComparisonNamesTheFieldOfAWrongByte) {
  Bytes pipl = Get(kPiplType, kId16000);
  ASSERT_EQ(pipl.size(), 522u);
  pipl[62 + 16 + 1] = 'X';  // first character of the category
  const auto differences = PropertyListLayout().Differences(pipl);
  ASSERT_THAT(differences, SizeIs(1));
  EXPECT_THAT(differences[0], HasSubstr("'catg text' at offset 78"));

  pipl.pop_back();
  EXPECT_THAT(PropertyListLayout().Differences(pipl), ::testing::Contains(HasSubstr("fici case 7")));
}

using TerminologyTest = BuiltModule;

TEST_F(TerminologyTest, StoresEveryFieldAsRequiredWithoutAlignment) {
  const Bytes& aete = Get(kAeteType, kId16000);
  const Layout layout = TerminologyLayout();
  ASSERT_EQ(layout.Size(), 171u);
  EXPECT_THAT(layout.Differences(aete), IsEmpty());
  ASSERT_EQ(aete.size(), 171u);
  // The empty reply description leaves the reply flags at an odd offset.
  EXPECT_EQ(aete[112], 0);
  EXPECT_EQ(pe::Le16(aete, 113), 0);
  EXPECT_EQ(pe::Le16(aete, 120), 0xB000);
}

}  // namespace
}  // namespace restest
