// The two dialog templates, item by item, and the string table, string by
// string, as stored in the built module.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <stdexcept>
#include <string>

#include "TestSupport.h"

namespace restest {
namespace {

// Values this module chose for its maker, author and links.
constexpr char16_t kDialogCredits[] = u"by Maren Oakhollow";
constexpr char16_t kMakerWebAddress[] = u"www.tarnwickfx.net";
constexpr char16_t kAboutCredits[] = u"by Maren Oakhollow <maren@tarnwickfx.net>";
constexpr char16_t kLinkHost1[] = u"tarnwickfx.net";
constexpr char16_t kLinkHost2[] = u"blog.tarnwickfx.net";

// Reads a dialog template (standard or extended) field by field.
class TemplateReader {
 public:
  explicit TemplateReader(const Bytes& b) : b_(b) {}
  uint8_t U8() {
    Need(1);
    return b_[at_++];
  }
  uint16_t U16() {
    const uint16_t v = pe::Le16(b_, at_);
    at_ += 2;
    return v;
  }
  uint32_t U32() {
    const uint32_t v = pe::Le32(b_, at_);
    at_ += 4;
    return v;
  }
  int16_t S16() { return static_cast<int16_t>(U16()); }
  std::u16string Text() {
    std::u16string s;
    for (uint16_t c = U16(); c != 0; c = U16()) s.push_back(static_cast<char16_t>(c));
    return s;
  }
  // A name-or-ordinal field; ordinals read as "#<n>", the window-class
  // ordinals of the dialog manager as their class names.
  std::u16string NameOrOrdinal(bool isClass) {
    if (pe::Le16(b_, at_) != 0xFFFF) return Text();
    at_ += 2;
    const uint16_t ord = U16();
    if (isClass && ord == 0x80) return u"Button";
    if (isClass && ord == 0x82) return u"Static";
    std::u16string n = u"#";
    for (char digit : std::to_string(ord)) n.push_back(static_cast<char16_t>(digit));
    return n;
  }
  void AlignTo4() { at_ = (at_ + 3) & ~size_t{3}; }
  size_t Position() const { return at_; }

 private:
  void Need(size_t n) const {
    if (at_ + n > b_.size()) throw std::out_of_range("dialog template truncated");
  }
  const Bytes& b_;
  size_t at_ = 0;
};

struct Item {
  uint32_t id;
  std::u16string windowClass;
  std::u16string text;
  uint32_t style;
  int16_t x, y, cx, cy;
};

struct Dialog {
  uint32_t helpId = 0, exStyle = 0, style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::u16string menu, windowClass, title, typeface;
  uint16_t pointSize = 0, weight = 0;
  uint8_t italic = 0, charset = 0;
  std::vector<Item> items;
  std::vector<uint32_t> itemHelpIds, itemExStyles;
  std::vector<uint16_t> itemExtraCounts;
  size_t end = 0;
};

constexpr uint32_t kDsSetFont = 0x40;

// The extended layout adds a version and signature, help ids, 32-bit item ids
// and the font's weight, italic flag and charset, and stores the extended
// style before the style.
Dialog ReadTemplate(const Bytes& b, bool extended) {
  TemplateReader r(b);
  Dialog d;
  if (extended) {
    EXPECT_EQ(r.U16(), 1) << "template version";
    EXPECT_EQ(r.U16(), 0xFFFF) << "extended template signature";
    d.helpId = r.U32();
    d.exStyle = r.U32();
    d.style = r.U32();
  } else {
    d.style = r.U32();
    d.exStyle = r.U32();
  }
  const uint16_t count = r.U16();
  d.x = r.S16(), d.y = r.S16(), d.cx = r.S16(), d.cy = r.S16();
  d.menu = r.NameOrOrdinal(false);
  d.windowClass = r.NameOrOrdinal(false);
  d.title = r.Text();
  if (d.style & kDsSetFont) {
    d.pointSize = r.U16();
    if (extended) {
      d.weight = r.U16();
      d.italic = r.U8();
      d.charset = r.U8();
    }
    d.typeface = r.Text();
  }
  for (uint16_t i = 0; i < count; ++i) {
    r.AlignTo4();
    Item it{};
    if (extended) {
      d.itemHelpIds.push_back(r.U32());
      d.itemExStyles.push_back(r.U32());
      it.style = r.U32();
    } else {
      it.style = r.U32();
      d.itemExStyles.push_back(r.U32());
    }
    it.x = r.S16(), it.y = r.S16(), it.cx = r.S16(), it.cy = r.S16();
    it.id = extended ? r.U32() : r.U16();
    it.windowClass = r.NameOrOrdinal(true);
    it.text = r.NameOrOrdinal(false);
    d.itemExtraCounts.push_back(r.U16());
    d.items.push_back(it);
  }
  d.end = r.Position();
  return d;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c == u'\n') {
      out += "\\n";
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\u" + std::to_string(static_cast<unsigned>(c));
    }
  }
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void ExpectItems(const Dialog& d, const std::vector<Item>& expected) {
  ASSERT_EQ(d.items.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("item " + std::to_string(i + 1));
    const Item& a = d.items[i];
    const Item& e = expected[i];
    EXPECT_EQ(a.id, e.id);
    // Window class names are matched without regard to case.
    EXPECT_EQ(Lower(Narrow(a.windowClass)), Lower(Narrow(e.windowClass)));
    EXPECT_EQ(Narrow(a.text), Narrow(e.text));
    EXPECT_EQ(a.style, e.style) << std::hex << "0x" << a.style << " instead of 0x" << e.style;
    EXPECT_EQ((std::vector<int>{a.x, a.y, a.cx, a.cy}), (std::vector<int>{e.x, e.y, e.cx, e.cy}));
    EXPECT_EQ(d.itemExStyles[i], 0u) << "extended style";
    EXPECT_EQ(d.itemExtraCounts[i], 0) << "creation data";
    if (!d.itemHelpIds.empty()) {
      EXPECT_EQ(d.itemHelpIds[i], 0u) << "help id";
    }
  }
}

constexpr uint32_t kDialogStyle = 0x80C000C0;  // popup, caption, modal frame, set font

using DialogTemplateTest = BuiltModule;

TEST_F(DialogTemplateTest, ConfirmationDialogIsTheExtendedTemplateAsRequired) {
  const Bytes& data = Get(pe::ResourceKey::Id(kDialogType), pe::ResourceKey::Name("DISSOLVEDIALOG"));
  ASSERT_FALSE(data.empty());
  const Dialog d = ReadTemplate(data, /*extended=*/true);
  EXPECT_EQ(d.helpId, 0u);
  EXPECT_EQ(d.exStyle, 0u);
  EXPECT_EQ(d.style, kDialogStyle) << std::hex << d.style;
  EXPECT_EQ((std::vector<int>{d.x, d.y, d.cx, d.cy}), (std::vector<int>{34, 40, 251, 58}));
  EXPECT_EQ(Narrow(d.menu), "");
  EXPECT_EQ(Narrow(d.windowClass), "");
  EXPECT_EQ(Narrow(d.title), "Pixelmoor");
  EXPECT_EQ(d.pointSize, 8);
  EXPECT_EQ(d.weight, 0);
  EXPECT_EQ(d.italic, 0);
  EXPECT_EQ(d.charset, 0);
  EXPECT_EQ(Narrow(d.typeface), "MS Sans Serif");

  const std::u16string text = u"No user configurable parameters in this version.\n"
                              u"Press OK to convert image to dithered 16bpp (565) image.\n"
                              u"\n"
                              u"version 1.01 (13.2.2011)\n" +
                              std::u16string(kDialogCredits) + u"\n" + kMakerWebAddress;
  ExpectItems(d, {
                     {1, u"Button", u"&OK", 0x50014001, 201, 3, 49, 14},
                     {2, u"Button", u"&Cancel", 0x50014000, 201, 21, 49, 14},
                     {0xFFFFFFFF, u"Static", text, 0x50020000, 3, 3, 196, 51},
                 });
  EXPECT_GE(d.end + 4, data.size()) << "bytes after the last item";
}

TEST_F(DialogTemplateTest, AboutBoxIsTheStandardTemplateWithHiddenOkAndCancel) {
  const Bytes& data = Get(pe::ResourceKey::Id(kDialogType), pe::ResourceKey::Id(16000));
  ASSERT_FALSE(data.empty());
  ASSERT_NE(pe::Le32(data, 0) >> 16, 0xFFFFu) << "an extended template where a standard one is required";
  const Dialog d = ReadTemplate(data, /*extended=*/false);
  EXPECT_EQ(d.style, kDialogStyle) << std::hex << d.style;
  EXPECT_EQ(d.exStyle, 0u);
  EXPECT_EQ((std::vector<int>{d.x, d.y, d.cx, d.cy}), (std::vector<int>{0, 0, 189, 120}));
  EXPECT_EQ(Narrow(d.menu), "");
  EXPECT_EQ(Narrow(d.windowClass), "");
  EXPECT_EQ(Narrow(d.title), "");
  EXPECT_EQ(d.pointSize, 8);
  EXPECT_EQ(Narrow(d.typeface), "MS Sans Serif");
  ExpectItems(d, {
                     {1, u"Button", u"OK", 0x48010001, 171, 7, 11, 14},
                     {2, u"Button", u"Cancel", 0x48010000, 172, 24, 10, 14},
                     {3, u"Static", u"Static", 0x50020000, 16, 7, 148, 83},
                     {4, u"Button", kLinkHost1, 0x50010000, 13, 100, 67, 13},
                     {5, u"Button", kLinkHost2, 0x50010000, 91, 100, 76, 13},
                 });
  EXPECT_GE(d.end + 4, data.size()) << "bytes after the last item";
}

// Every string of the module's string table, by id. A table block holds 16
// strings, each a 16-bit length and that many UTF-16 units; block n holds ids
// (n - 1) * 16 to (n - 1) * 16 + 15.
std::map<uint32_t, std::u16string> ReadStringTable(const pe::Image& image) {
  std::map<uint32_t, std::u16string> strings;
  for (const pe::Resource& r : image.resources) {
    if (!(r.type == pe::ResourceKey::Id(kStringType))) continue;
    EXPECT_TRUE(r.name.isId);
    size_t at = 0;
    for (uint32_t i = 0; i < 16; ++i) {
      const uint16_t length = pe::Le16(r.data, at);
      at += 2;
      if (length == 0) continue;
      std::u16string s;
      for (uint16_t c = 0; c < length; ++c, at += 2) s.push_back(static_cast<char16_t>(pe::Le16(r.data, at)));
      strings[(r.name.id - 1u) * 16u + i] = s;
    }
    EXPECT_EQ(at, r.data.size()) << "string block " << r.name.id;
  }
  return strings;
}

using StringTableTest = BuiltModule;

TEST_F(StringTableTest, HoldsExactlyTheRequiredTexts) {
  const std::u16string lines[] = {u"Pixelmoor", u"16bpp conversion and dithering plugin", u"", u"Version 1.0", u"",
                                  kAboutCredits};
  std::u16string about, aboutEscaped;
  for (const std::u16string& line : lines) {
    about += line + u"\n";
    aboutEscaped += line + u"\\n";
  }
  aboutEscaped += u"\\n\\n\\n";  // four backslash-n after the last line in all

  const std::map<uint32_t, std::u16string> expected = {
      {16000, about},
      {16002, aboutEscaped},
      {16990, u"An integer is required between ^1 and ^2."},
      {16991, u"A decimal number is required between ^1 and ^2."},
      {16992, u"This plug-in requires Adobe Photoshop\u00AE ^1 or later functionality."},
      {16993, u"This plug-in is incompatible with this version of the host program."},
      {16994, u"the required suite \\'^0\\' is unavailable"},
  };
  const auto actual = ReadStringTable(Module());
  for (const auto& [id, text] : expected) {
    SCOPED_TRACE("string " + std::to_string(id));
    const auto found = actual.find(id);
    ASSERT_NE(found, actual.end());
    EXPECT_EQ(found->second, text);
    EXPECT_EQ(found->second.find(u'\r'), std::u16string::npos);
  }
  EXPECT_EQ(actual.size(), expected.size()) << "strings beyond the required ones";
  // The about box shows at most 254 characters of string 16000.
  EXPECT_LE(actual.at(16000).size(), 254u);
  EXPECT_EQ(actual.at(16000).back(), u'\n');
}

}  // namespace
}  // namespace restest
