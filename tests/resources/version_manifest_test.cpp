// The version block, the manifest and the inventory of the module's
// resources (what exists, and that everything is English, United States).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "TestSupport.h"

namespace restest {
namespace {

// One node of a version block: length, value length, type, key, value,
// children, each child at a multiple of 4 from the start of the block.
struct VersionNode {
  uint16_t length = 0, valueLength = 0, type = 0;
  std::string key;
  Bytes value;  // value bytes as the value length counts them
  std::vector<VersionNode> children;
};

size_t Align4(size_t at) { return (at + 3) & ~size_t{3}; }

VersionNode ReadVersionNode(const Bytes& b, size_t at) {
  VersionNode n;
  n.length = pe::Le16(b, at);
  n.valueLength = pe::Le16(b, at + 2);
  n.type = pe::Le16(b, at + 4);
  const size_t end = at + n.length;
  if (n.length < 6 || end > b.size()) throw std::out_of_range("version node length out of range");
  size_t p = at + 6;
  for (uint16_t c = pe::Le16(b, p); c != 0; c = pe::Le16(b, p)) {
    n.key.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    p += 2;
  }
  p = Align4(p + 2);
  const size_t valueBytes = n.type == 1 ? 2u * n.valueLength : n.valueLength;
  if (valueBytes) {
    if (p + valueBytes > end) throw std::out_of_range("version value beyond its node");
    n.value.assign(b.begin() + static_cast<ptrdiff_t>(p), b.begin() + static_cast<ptrdiff_t>(p + valueBytes));
    p += valueBytes;
  } else if (n.type == 1 && end - p == 2 && pe::Le16(b, p) == 0) {
    p += 2;  // an empty text may still carry its terminator
  }
  for (p = Align4(p); p < end; p = Align4(p)) {
    n.children.push_back(ReadVersionNode(b, p));
    p += n.children.back().length;
  }
  return n;
}

std::string TextValue(const VersionNode& n) {
  std::string s;
  for (size_t i = 0; i + 1 < n.value.size(); i += 2) {
    const uint16_t c = pe::Le16(n.value, i);
    if (c == 0) break;
    s.push_back(static_cast<char>(c));
  }
  return s;
}

using VersionBlockTest = BuiltModule;

TEST_F(VersionBlockTest, FixedFieldsAreAsRequired) {
  const Bytes& data = Get(pe::ResourceKey::Id(kVersionType), pe::ResourceKey::Id(1));
  ASSERT_FALSE(data.empty());
  const VersionNode root = ReadVersionNode(data, 0);
  EXPECT_EQ(root.key, "VS_VERSION_INFO");
  EXPECT_EQ(root.type, 0);
  EXPECT_EQ(Align4(root.length), Align4(data.size()));
  ASSERT_EQ(root.valueLength, 52);
  struct Fixed {
    const char* name;
    uint32_t value;
  };
  const Fixed kFixed[] = {
      {"signature", 0xFEEF04BD}, {"structure version", 0x10000}, {"file version MS", 0x10000},
      {"file version LS", 0},    {"product version MS", 0x10000}, {"product version LS", 0},
      {"file flags mask", 0x3F}, {"file flags", 0},               {"file OS", 0x40004},
      {"file type", 2},          {"file subtype", 0},             {"file date MS", 0},
      {"file date LS", 0},
  };
  for (size_t i = 0; i < std::size(kFixed); ++i) {
    EXPECT_EQ(pe::Le32(root.value, 4 * i), kFixed[i].value) << kFixed[i].name;
  }
}

TEST_F(VersionBlockTest, StringsAndTranslationAreAsRequired) {
  const Bytes& data = Get(pe::ResourceKey::Id(kVersionType), pe::ResourceKey::Id(1));
  ASSERT_FALSE(data.empty());
  const VersionNode root = ReadVersionNode(data, 0);
  ASSERT_EQ(root.children.size(), 2u);
  const VersionNode& stringInfo = root.children[0];
  const VersionNode& varInfo = root.children[1];
  EXPECT_EQ(stringInfo.key, "StringFileInfo");
  ASSERT_EQ(stringInfo.children.size(), 1u);
  const VersionNode& table = stringInfo.children[0];
  EXPECT_EQ(table.key, "040904b0");

  struct Expected {
    const char* key;
    const char* value;
    uint16_t valueLength;  // in characters, terminator included; 0 when empty
  };
  const Expected kStrings[] = {
      {"Comments", "", 0},
      {"CompanyName", "Tarnwick", 9},
      {"FileDescription", "Pixelmoor", 10},
      {"FileVersion", "10.0", 5},
      {"InternalName", "Pixelmoor", 10},
      {"LegalCopyright", "Tarnwick", 9},
      {"LegalTrademarks", "", 0},
      {"OriginalFilename", "Pixelmoor", 10},
      {"PrivateBuild", "", 0},
      {"ProductName", "Pixelmoor", 10},
      {"ProductVersion", "1.0", 4},
      {"SpecialBuild", "", 0},
  };
  ASSERT_EQ(table.children.size(), std::size(kStrings));
  for (size_t i = 0; i < std::size(kStrings); ++i) {
    const VersionNode& s = table.children[i];
    SCOPED_TRACE("string " + std::to_string(i + 1) + " " + kStrings[i].key);
    EXPECT_EQ(s.key, kStrings[i].key);
    EXPECT_EQ(s.type, 1);
    EXPECT_EQ(s.valueLength, kStrings[i].valueLength);
    EXPECT_EQ(TextValue(s), kStrings[i].value);
    EXPECT_TRUE(s.children.empty());
  }

  EXPECT_EQ(varInfo.key, "VarFileInfo");
  ASSERT_EQ(varInfo.children.size(), 1u);
  const VersionNode& translation = varInfo.children[0];
  EXPECT_EQ(translation.key, "Translation");
  EXPECT_EQ(translation.type, 0);
  EXPECT_EQ(translation.value, B({0x09, 0x04, 0xB0, 0x04}));
}

using ManifestTest = BuiltModule;

TEST_F(ManifestTest, IsTheRequiredNineCrlfLines) {
  const std::string lines[] = {
      R"(<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">)",
      R"(  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">)",
      R"(    <security>)",
      R"(      <requestedPrivileges>)",
      R"(        <requestedExecutionLevel level="asInvoker" uiAccess="false"></requestedExecutionLevel>)",
      R"(      </requestedPrivileges>)",
      R"(    </security>)",
      R"(  </trustInfo>)",
      R"(</assembly>)",
  };
  std::string expected;
  for (const std::string& line : lines) expected += (expected.empty() ? "" : "\r\n") + line;
  ASSERT_EQ(expected.size(), 346u);

  const Bytes& data = Get(pe::ResourceKey::Id(kManifestType), pe::ResourceKey::Id(2));
  EXPECT_EQ(std::string(data.begin(), data.end()), expected);
}

using InventoryTest = BuiltModule;

// Exactly the module's resources, all in language 1033: in particular no
// manifest 3 and no second copy of anything in another language.
TEST_F(InventoryTest, HoldsExactlyTheRequiredResourcesAllInEnglishUS) {
  using pe::ResourceKey;
  const auto stringBlock = [](uint16_t id) { return ResourceKey::Id(static_cast<uint16_t>(id / 16 + 1)); };
  const std::vector<std::pair<ResourceKey, ResourceKey>> expected = {
      {ResourceKey::Name("AETE"), ResourceKey::Id(16000)},
      {ResourceKey::Name("PIPL"), ResourceKey::Id(16000)},
      {ResourceKey::Id(kDialogType), ResourceKey::Name("DISSOLVEDIALOG")},
      {ResourceKey::Id(kDialogType), ResourceKey::Id(16000)},
      {ResourceKey::Id(kStringType), stringBlock(16000)},  // 16000, 16002
      {ResourceKey::Id(kStringType), stringBlock(16990)},  // 16990, 16991
      {ResourceKey::Id(kStringType), stringBlock(16992)},  // 16992 to 16994
      {ResourceKey::Id(kVersionType), ResourceKey::Id(1)},
      {ResourceKey::Id(kManifestType), ResourceKey::Id(2)},
  };
  std::set<std::string> want, have;
  for (const auto& [type, name] : expected) want.insert(type.ToString() + "/" + name.ToString() + "/1033");
  for (const pe::Resource& r : Module().resources) {
    have.insert(r.type.ToString() + "/" + r.name.ToString() + "/" + std::to_string(r.language));
  }
  EXPECT_EQ(have, want);
  EXPECT_EQ(Module().resources.size(), expected.size());
  EXPECT_EQ(Module().Find(ResourceKey::Id(kManifestType), ResourceKey::Id(3), kEnglishUS), nullptr);
}

}  // namespace
}  // namespace restest
