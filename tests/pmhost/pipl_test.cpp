// pmhost's reader of property lists and of the enable expression. The lists
// come from whatever .8bf a user hands to pmhost, so every malformed input must
// end in an error, never in a read past the bytes (each list is parsed from a
// heap block of exactly its size, so the sanitizers see any overrun).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Pipl.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

using Bytes = std::vector<uint8_t>;

constexpr uint32_t Code(const char (&c)[5]) {
  return uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 | uint32_t(uint8_t(c[2])) << 8 |
         uint32_t(uint8_t(c[3]));
}

Bytes LE32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Zeros(size_t n) { return Bytes(n, 0); }
// The two string forms, filled to a multiple of 4 from their first byte.
Bytes PString(const std::string& s) { return Bytes{uint8_t(s.size())} + Text(s) + Zeros(4 - (s.size() + 1) % 4); }
Bytes CString(const std::string& s) { return Text(s) + Zeros(4 - s.size() % 4 + (s.size() % 4 > 2 ? 4 : 0)); }

struct Property {
  uint32_t key;
  Bytes data;
  uint32_t vendor = Code("8BIM");
  std::optional<uint32_t> length{};  // the stored length, when it is to lie
};

Bytes List(const std::vector<Property>& properties, std::optional<uint32_t> count = {}, uint32_t version = 0) {
  Bytes out = Bytes{1, 0} + LE32(version) + LE32(count.value_or(uint32_t(properties.size())));
  for (const Property& p : properties)
    out = out + LE32(p.vendor) + LE32(p.key) + LE32(0) + LE32(p.length.value_or(uint32_t(p.data.size()))) + p.data;
  return out;
}

const char kPixelmoorEnable[] =
    "in (PSHOP_ImageMode, RGBMode, GrayScaleMode,CMYKMode, HSLMode, HSBMode, MultichannelMode,"
    "DuotoneMode, LabMode, RGB48Mode, Gray16Mode) ||PSHOP_ImageDepth == 16 ||PSHOP_ImageDepth == 32";

// Pixelmoor's own list, property for property.
std::vector<Property> PixelmoorProperties() {
  Bytes fici;
  for (const int flags : {0x06, 0x0E, 0x0E, 0x06, 0x0E, 0x06, 0x0E}) fici = fici + Bytes{4, 4, uint8_t(flags), 0};
  return {
      {Code("kind"), LE32(Code("8BFM"))},
      {Code("name"), PString("Pixelmoor...")},
      {Code("catg"), PString("Tarnwick")},
      {Code("vers"), LE32(0x40000)},
      {Code(kEntryPointKey), CString("PluginMain")},
      {Code("mode"), Bytes{0x5F, 0xC0, 0, 0}},
      {Code("hstm"), Zeros(4) + LE32(Code("tarw")) + LE32(Code("tarw")) + Bytes{0x80, 0x3E} +
                         Text("723b5e70-4e05-11de-8a39-0800200c9a66") + Zeros(6)},
      {Code("enbl"), CString(kPixelmoorEnable)},
      {Code("ms32"), LE32(2000000) + LE32(2000000)},
      {Code("flly"), Bytes{0x80, 0, 0, 0}},
      {Code("fici"), fici},
  };
}

// Parses from a heap block of exactly the list's size.
bool Parse(const Bytes& bytes, PiplInfo& info, std::string& error) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  return ParsePipl(exact.get(), bytes.size(), info, error);
}

TEST(Pipl, ReadsEveryPropertyOfPixelmoorsList) {
  const Bytes bytes = List(PixelmoorProperties());
  ASSERT_EQ(bytes.size(), 522u) << "the builder makes the module's list";
  PiplInfo info;
  std::string error;
  ASSERT_TRUE(Parse(bytes, info, error)) << error;
  EXPECT_EQ(info.kind, Code("8BFM"));
  EXPECT_EQ(info.name, "Pixelmoor...");
  EXPECT_EQ(info.category, "Tarnwick");
  EXPECT_EQ(info.interfaceVersion, 0x40000);
  EXPECT_EQ(info.entryPoint, "PluginMain");
  EXPECT_TRUE(info.hasModes);
  EXPECT_EQ(info.modeFlags, 0x5FC0);
  EXPECT_TRUE(info.hasEnable);
  EXPECT_EQ(info.enableExpression, kPixelmoorEnable);
  EXPECT_EQ(info.maxHeight, 2000000);
  EXPECT_EQ(info.maxWidth, 2000000);
  ASSERT_TRUE(info.hasCaseInfo);
  for (size_t c = 0; c < 7; ++c) {
    EXPECT_EQ(info.caseInfo[c].inputHandling, 4) << "case " << c + 1;
    EXPECT_EQ(info.caseInfo[c].outputHandling, 4) << "case " << c + 1;
    EXPECT_EQ(info.caseInfo[c].flags, c == 1 || c == 2 || c == 4 || c == 6 ? 0x0E : 0x06) << "case " << c + 1;
  }
  EXPECT_THAT(info.keys, ElementsAre("'kind'", "'name'", "'catg'", "'vers'", std::string("'") + kEntryPointKey + "'", "'mode'", "'hstm'", "'enbl'",
                                     "'ms32'", "'flly'", "'fici'"));
}

// Every cut of a good list is an error: the count promises more than is there.
TEST(Pipl, EveryTruncationIsAnError) {
  const Bytes whole = List(PixelmoorProperties());
  for (size_t size = 0; size < whole.size(); ++size) {
    PiplInfo info;
    std::string error;
    EXPECT_FALSE(Parse(Bytes(whole.begin(), whole.begin() + long(size)), info, error)) << size << " bytes";
    EXPECT_FALSE(error.empty()) << size << " bytes";
  }
}

TEST(Pipl, MalformedListsAreRefusedWithAReason) {
  const Property kind{Code("kind"), LE32(Code("8BFM"))};
  struct Case {
    const char* what;
    Bytes bytes;
    const char* error;
  };
  const Case cases[] = {
      {"nothing", {}, "header"},
      {"a header cut short", Bytes{1, 0} + LE32(0), "header"},
      {"a count past the end", List({kind}, 2), "runs past the end"},
      {"an over-long count", List({kind}, 0x7FFFFFFF), "runs past the end"},
      {"a negative count", List({kind}, 0xFFFFFFFF), "negative"},
      {"a property header cut short", List({kind}, 2) + LE32(Code("8BIM")) + LE32(Code("name")), "runs past the end"},
      {"a length past the end", List({{Code("name"), PString("abc"), Code("8BIM"), 9}}), "longer than the list"},
      {"a negative length", List({{Code("name"), PString("abc"), Code("8BIM"), 0xFFFFFFFC}}), "longer than the list"},
      {"an unknown list version", List({kind}, {}, 1), "version"},
  };
  for (const Case& c : cases) {
    PiplInfo info;
    std::string error;
    EXPECT_FALSE(Parse(c.bytes, info, error)) << c.what;
    EXPECT_THAT(error, HasSubstr(c.error)) << c.what;
  }
}

// Property data shorter than its field, or strings without their end, are read
// as far as the data goes and no further.
TEST(Pipl, ShortPropertyDataIsReadOnlyAsFarAsItGoes) {
  const Bytes list = List({
      {Code("kind"), Bytes{'M', 'F'}},
      {Code("name"), Bytes{200, 'a', 'b', 'c'}},  // claims 200 characters, holds 3
      {Code("catg"), {}},
      {Code("vers"), Bytes{1, 2, 3}},
      {Code(kEntryPointKey), Text("Plug")},  // no terminator
      {Code("mode"), Bytes{0x40}},
      {Code("enbl"), Text("true")},  // no terminator
      {Code("ms32"), LE32(5)},
      {Code("fici"), Bytes{2, 3, 1, 0, 4, 4}},  // one whole entry and half of another
  });
  PiplInfo info;
  std::string error;
  ASSERT_TRUE(Parse(list, info, error)) << error;
  EXPECT_EQ(info.kind, 0u);
  EXPECT_EQ(info.name, "abc");
  EXPECT_EQ(info.category, "");
  EXPECT_EQ(info.interfaceVersion, -1);
  EXPECT_EQ(info.entryPoint, "Plug");
  EXPECT_FALSE(info.hasModes);
  EXPECT_EQ(info.enableExpression, "true");
  EXPECT_EQ(info.maxHeight, 0);
  EXPECT_EQ(info.maxWidth, 0);
  ASSERT_TRUE(info.hasCaseInfo);
  EXPECT_EQ(info.caseInfo[0].inputHandling, 2);
  EXPECT_EQ(info.caseInfo[0].flags, 1);
  EXPECT_EQ(info.caseInfo[1].inputHandling, 1) << "the half entry is not read";
}

// Properties of another vendor are that vendor's business: they do not stand
// for the host's properties of the same key.
TEST(Pipl, PropertiesOfAnotherVendorAreNotTakenForTheHosts) {
  const uint32_t other = Code("ABCD");
  const Bytes list = List({
      {Code("kind"), LE32(Code("8BFM")), other},
      {Code("name"), PString("Impostor"), other},
      {Code("name"), PString("Genuine")},
      {Code("enbl"), CString("false"), other},
      {Code(kEntryPointKey), CString("Elsewhere"), other},
  });
  PiplInfo info;
  std::string error;
  ASSERT_TRUE(Parse(list, info, error)) << error;
  EXPECT_EQ(info.kind, 0u);
  EXPECT_EQ(info.name, "Genuine");
  EXPECT_FALSE(info.hasEnable);
  EXPECT_EQ(info.entryPoint, "");
  EXPECT_EQ(info.keys.size(), 5u) << "every property is still listed";
}

// A host takes its entry point from the code property of its own machine
// only ('8664' on x64, 'wa64' on ARM64): a module for the other machine names
// none, and a list with both gives this machine's.
TEST(Pipl, EntryPointComesFromThisMachinesCodePropertyOnly) {
  const std::string own = kEntryPointKey;
  const char(&other)[5] = own == "8664" ? "wa64" : "8664";
  struct Case {
    const char* what;
    std::vector<Property> properties;
    const char* entryPoint;
  };
  const Case cases[] = {
      {"the other machine's only", {{Code(other), CString("Elsewhere")}}, ""},
      {"both, the other first", {{Code(other), CString("Elsewhere")}, {Code(kEntryPointKey), CString("Here")}}, "Here"},
      {"both, this machine's first", {{Code(kEntryPointKey), CString("Here")}, {Code(other), CString("Elsewhere")}}, "Here"},
  };
  for (const Case& c : cases) {
    PiplInfo info;
    std::string error;
    ASSERT_TRUE(Parse(List(c.properties), info, error)) << c.what << ": " << error;
    EXPECT_EQ(info.entryPoint, c.entryPoint) << c.what;
  }
}

DocumentFacts Doc(int32_t mode, int32_t depth) {
  DocumentFacts doc;
  doc.mode = mode;
  doc.depth = depth;
  doc.width = 640;
  doc.height = 480;
  doc.channels = 3;
  return doc;
}

TEST(EnableExpression, PixelmoorsExpressionEnablesItsModesAndEveryDeepDocument) {
  struct Case {
    int32_t mode, depth;
    bool enabled;
  };
  const Case cases[] = {
      {0, 8, false},  {1, 8, true},  {2, 8, false}, {3, 8, true},   {4, 8, true},  {5, 8, true},
      {6, 8, true},   {7, 8, true},  {8, 8, true},  {9, 8, true},   {0, 1, false}, {10, 16, true},
      {11, 16, true}, {2, 16, true}, {0, 32, true}, {17, 32, true}, {3, 16, true},
  };
  for (const Case& c : cases) {
    bool enabled = !c.enabled;
    std::string error;
    ASSERT_TRUE(EvaluateEnable(kPixelmoorEnable, Doc(c.mode, c.depth), enabled, error)) << error;
    EXPECT_EQ(enabled, c.enabled) << ModeName(c.mode) << " at " << c.depth << " bits";
  }
}

TEST(EnableExpression, OperatorsNamesAndPrecedence) {
  struct Case {
    const char* expression;
    bool enabled;
  };
  const Case cases[] = {
      {"true", true},
      {"false", false},
      {"!false", true},
      {"!!true", true},
      {"true || false && false", true},  // && binds tighter than ||
      {"(true || false) && false", false},
      {"PSHOP_ImageWidth == 640 && PSHOP_ImageHeight == 480", true},
      {"PSHOP_ImageWidth != 640", false},
      {"PSHOP_ImageWidth < 640 || PSHOP_ImageWidth > 640", false},
      {"PSHOP_ImageWidth <= 640 && PSHOP_ImageWidth >= 640", true},
      {"PSHOP_NumChannels == 3", true},
      {"PSHOP_ImageMode == RGBMode", true},
      {"in (PSHOP_ImageMode, GrayScaleMode, LabMode)", false},
      {"in (PSHOP_ImageMode)", false},
      {"in (PSHOP_ImageDepth, 1, 8)", true},
      {"  in(PSHOP_ImageMode,RGBMode)&&PSHOP_ImageDepth==8  ", true},
      {"9223372036854775807 > PSHOP_ImageWidth", true},
  };
  for (const Case& c : cases) {
    bool enabled = !c.enabled;
    std::string error;
    ASSERT_TRUE(EvaluateEnable(c.expression, Doc(3, 8), enabled, error)) << c.expression << ": " << error;
    EXPECT_EQ(enabled, c.enabled) << c.expression;
  }
}

// An expression that cannot be read is an error (pmhost then refuses to run the
// filter); none of them may crash the host, however long or deep.
TEST(EnableExpression, UnreadableExpressionsAreErrors) {
  const std::string deepParentheses = std::string(100000, '(') + "true" + std::string(100000, ')');
  const std::string manyNots = std::string(100000, '!') + "true";
  const std::string deepIn = [] {
    std::string s;
    for (int i = 0; i < 50000; ++i) s += "in (";
    return s + "1" + std::string(50000, ')');
  }();
  struct Case {
    std::string expression;
    const char* error;
  };
  const Case cases[] = {
      {"", "end"},
      {"   ", "end"},
      {"PSHOP_Nothing", "unknown name"},
      {"RGBMode ==", "end"},
      {"(true", "')'"},
      {"true)", "unexpected text"},
      {"true false", "unexpected text"},
      {"in PSHOP_ImageMode", "'('"},
      {"in (PSHOP_ImageMode, RGBMode", "')'"},
      {"1 + 1", "unexpected character"},
      {"-1 < 0", "unexpected character"},
      {"true | false", "unexpected character"},
      {"PSHOP_ImageMode = 3", "unexpected character"},
      {"1 == 2 == 3", "unexpected text"},
      {"99999999999999999999 > 0", "too large"},
      {deepParentheses, "too deep"},
      {manyNots, "too deep"},
      {deepIn, "too deep"},
  };
  for (const Case& c : cases) {
    const std::string shown = c.expression.substr(0, 40);
    bool enabled = true;
    std::string error;
    EXPECT_FALSE(EvaluateEnable(c.expression, Doc(3, 8), enabled, error)) << shown;
    EXPECT_THAT(error, HasSubstr(c.error)) << shown;
  }
  // Nesting as deep as any real list needs still works.
  bool enabled = false;
  std::string error;
  EXPECT_TRUE(EvaluateEnable(std::string(40, '(') + "!!true" + std::string(40, ')'), Doc(3, 8), enabled, error))
      << error;
  EXPECT_TRUE(enabled);
}

TEST(ModeFlags, EachModeHasItsOwnBit) {
  // Pixelmoor's flags: grayscale, RGB, CMYK, HSL, HSB, multichannel, duotone, Lab.
  for (int32_t mode = -1; mode <= 17; ++mode) {
    const bool expected = mode >= 1 && mode <= 9 && mode != 2;
    EXPECT_EQ(ModeFlagsAllow(0x5FC0, mode), expected) << ModeName(mode);
    EXPECT_EQ(ModeFlagsAllow(0xFFFF, mode), mode >= 0 && mode <= 15) << ModeName(mode);
  }
}

TEST(FourCC, PrintableCodesAreQuotedOthersInHex) {
  EXPECT_EQ(FourCCText(Code("8BIM")), "'8BIM'");
  EXPECT_EQ(FourCCText(Code("obj ")), "'obj '");
  EXPECT_EQ(FourCCText(0x0A414243), "0x0A414243");
  EXPECT_EQ(FourCCText(Code("a'bc")), "0x61276263");
  EXPECT_EQ(FourCCText(0xFF000000), "0xFF000000");
}

}  // namespace
