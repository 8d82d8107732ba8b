// pmhost's text form of descriptors, in which it keeps the registry file and
// the descriptor handles a module writes: every value a module can store comes
// back as it was, and a damaged file is an error with the line that is wrong.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "Descriptors.h"
#include "Pipl.h"

namespace {

using testing::HasSubstr;

constexpr uint32_t Code(const char (&c)[5]) {
  return uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 | uint32_t(uint8_t(c[2])) << 8 |
         uint32_t(uint8_t(c[3]));
}

DescriptorValue Int(int64_t v) { return {ValueType::Integer, v}; }
DescriptorValue Float(double v) { return {ValueType::Float, 0, v}; }
DescriptorValue Codes(ValueType type, uint32_t a, uint32_t b = 0) { return {ValueType(type), 0, 0, a, b}; }
DescriptorValue Bytes(ValueType type, std::string text) { return {type, 0, 0, 0, 0, std::move(text)}; }
DescriptorValue Object(ValueType type, uint32_t cls, Descriptor inner) {
  return {type, 0, 0, cls, 0, {}, std::make_shared<Descriptor>(std::move(inner))};
}

// A descriptor holding every kind of value, with the awkward cases of each:
// codes with spaces and quotes, bytes that must be escaped, extreme numbers.
Descriptor EveryKindOfValue() {
  Descriptor point;
  point.Put(Code("Hrzn"), {ValueType::UnitFloat, 0, 1.5, Code("#Pxl")});
  point.Put(Code("Vrtc"), {ValueType::UnitFloat, 0, -0.25, Code("#Prc")});
  Descriptor outer;
  outer.Put(Code("Pnt "), Object(ValueType::Object, Code("Pnt "), point));
  outer.Put(Code("Nm  "), Bytes(ValueType::Text, "inner"));

  Descriptor d;
  d.Put(Code("Mn  "), Int(std::numeric_limits<int64_t>::min()));
  d.Put(Code("Mx  "), Int(std::numeric_limits<int64_t>::max()));
  d.Put(Code("Flt "), Float(0.1));
  d.Put(Code("Neg0"), Float(-0.0));
  d.Put(Code("Big "), Float(1e308));
  d.Put(Code("Tiny"), Float(4.9e-324));
  d.Put(Code("Sub "), Float(std::numeric_limits<double>::min() - 4.9e-324));
  d.Put(Code("Min "), Float(std::numeric_limits<double>::min()));
  d.Put(Code("Inf "), Float(-std::numeric_limits<double>::infinity()));
  d.Put(Code("NaN "), Float(std::numeric_limits<double>::quiet_NaN()));
  d.Put(Code("Unit"), {ValueType::UnitFloat, 0, 12.5, Code("#Pxl")});
  static const char kAwkward[] = "q\"uote b\\ack \x01 \x7F \xFF nul\0 end\r\n";
  d.Put(Code("Txt "), Bytes(ValueType::Text, std::string(kAwkward, sizeof kAwkward - 1)));
  d.Put(Code("Empt"), Bytes(ValueType::Text, ""));
  d.Put(Code("Bool"), {ValueType::Bool, 1});
  d.Put(Code("Fals"), {ValueType::Bool, 0});
  d.Put(Code("Enum"), Codes(ValueType::Enumerated, Code("Ordn"), Code("Trgt")));
  d.Put(Code("Md  "), Codes(ValueType::Enumerated, Code("BlnM"), Code("Nrml")));
  d.Put(Code("Clss"), Codes(ValueType::Class, Code("Lyr ")));
  d.Put(0x00000001, Codes(ValueType::GlobalClass, 0x7F000000));
  d.Put(Code("a'bc"), Bytes(ValueType::Alias, std::string("C:\\pics\0x", 9)));
  d.Put(Code("Objc"), Object(ValueType::Object, Code("null"), outer));
  d.Put(Code("GlbO"), Object(ValueType::GlobalObject, Code("Grup"), Descriptor{}));
  d.Put(Code("List"), {ValueType::List});
  d.Put(Code("Rfrn"), {ValueType::Reference});
  return d;
}

void ExpectSameValues(const Descriptor& a, const Descriptor& b, const std::string& where) {
  ASSERT_EQ(a.items.size(), b.items.size()) << where;
  for (size_t i = 0; i < a.items.size(); ++i) {
    const auto& [ka, va] = a.items[i];
    const auto& [kb, vb] = b.items[i];
    const std::string at = where + FourCCText(ka);
    EXPECT_EQ(ka, kb) << at;
    EXPECT_EQ(va.type, vb.type) << at;
    EXPECT_EQ(va.integer, vb.integer) << at;
    EXPECT_EQ(std::memcmp(&va.number, &vb.number, sizeof(double)), 0) << at << ": " << va.number << " " << vb.number;
    EXPECT_EQ(va.code1, vb.code1) << at;
    EXPECT_EQ(va.code2, vb.code2) << at;
    EXPECT_EQ(va.text, vb.text) << at;
    ASSERT_EQ(va.object == nullptr, vb.object == nullptr) << at;
    if (va.object) ExpectSameValues(*va.object, *vb.object, at + ".");
  }
}

TEST(DescriptorText, EveryValueComesBackAsItWas) {
  const Descriptor d = EveryKindOfValue();
  const std::string text = SerializeDescriptor(d);
  Descriptor back;
  std::string error;
  ASSERT_TRUE(ParseDescriptor(text, back, error)) << error << "\n" << text;
  ExpectSameValues(d, back, "");
  EXPECT_EQ(SerializeDescriptor(back), text);

  // Written on Windows, with blank lines between the entries.
  std::string crlf;
  for (const char c : text) crlf += c == '\n' ? std::string("\r\n\r\n") : std::string(1, c);
  Descriptor fromCrlf;
  ASSERT_TRUE(ParseDescriptor(crlf, fromCrlf, error)) << error;
  ExpectSameValues(d, fromCrlf, "crlf ");
}

// A damaged descriptor file is refused, naming the line; nothing is guessed.
TEST(DescriptorText, DamagedLinesAreErrors) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "'Objc' object 'null' {\n";
  for (int i = 0; i < 100000; ++i) deep += "}\n";
  struct Case {
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {"'abc' int 5", "cannot read"},
      {"'abcd'", "cannot read"},
      {"'abcd' int", "cannot read"},
      {"'abcd' int 5 6", "cannot read"},
      {"'abcd' int 5x", "cannot read"},
      {"'abcd' int 99999999999999999999", "cannot read"},
      {"'abcd' float", "cannot read"},
      {"'abcd' float 1.5x", "cannot read"},
      {"'abcd' bool yes", "cannot read"},
      {"'abcd' bool true false", "cannot read"},
      {"'abcd' unit '#Pxl'", "cannot read"},
      {"'abcd' text \"open", "cannot read"},
      {"'abcd' text \"a\"b\"", "cannot read"},
      {"'abcd' text \"bad \\q escape\"", "cannot read"},
      {"'abcd' text \"\\x4\"", "cannot read"},
      {"'abcd' text \"\\xZZ\"", "cannot read"},
      {"'abcd' text \"end\\\"", "cannot read"},
      {"'abcd' text \"a\" b", "cannot read"},
      {"'abcd' enum 'Ordn'", "cannot read"},
      {"'abcd' enum 'Ordn' Trgt", "cannot read"},
      {"'abcd' class 'Lyr", "cannot read"},
      {"'abcd' object 'null'", "cannot read"},
      {"'abcd' object 'null' {\n'Hrzn' int 1\n", "closing }"},
      {"}", "unexpected }"},
      {"'abcd' wat 5", "cannot read"},
      {"0x123456789 int 5", "cannot read"},
      {"0x int 5", "cannot read"},
      {"0xG int 1", "cannot read"},
      {"0x-1 int 1", "cannot read"},
      {"'abcd' int 1\n'efgh' int 2 junk", "'efgh' int 2 junk"},
      {deep, "nested"},
  };
  for (const Case& c : cases) {
    const std::string shown = c.text.substr(0, 60);
    Descriptor d;
    std::string error;
    EXPECT_FALSE(ParseDescriptor(c.text, d, error)) << shown;
    EXPECT_THAT(error, HasSubstr(c.error)) << shown;
  }
}

TEST(DescriptorText, FourCharacterCodes) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t code;
  };
  const Case cases[] = {
      {"'abcd'", true, Code("abcd")}, {"'ab d'", true, Code("ab d")}, {"0x0000000A", true, 10},
      {"0xffffffff", true, 0xFFFFFFFF}, {"0x1", true, 1},       {"0x123456789", false, 0},
      {"0x", false, 0},                 {"0x-1", false, 0},     {"0x+1", false, 0},
      {"0x 1", false, 0},               {"0x1 ", false, 0},     {"abcd", false, 0},
      {"'abc'", false, 0},              {"'abcde'", false, 0},  {"", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t code = 0;
    EXPECT_EQ(ParseFourCC(c.text, code), c.ok) << "\"" << c.text << "\"";
    if (c.ok) {
      EXPECT_EQ(code, c.code) << c.text;
    }
  }
}

}  // namespace
