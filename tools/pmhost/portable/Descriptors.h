// The host's descriptors: ordered lists of keyed values, as the action
// descriptor suite, the registry and the write-descriptor procedures see them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Value types, by the host's type codes.
enum class ValueType : uint32_t {
  Integer = 0x6C6F6E67,      // 'long'
  Float = 0x646F7562,        // 'doub'
  UnitFloat = 0x556E7446,    // 'UntF'
  Text = 0x54455854,         // 'TEXT'
  Bool = 0x626F6F6C,         // 'bool'
  Enumerated = 0x656E756D,   // 'enum'
  Class = 0x74797065,        // 'type'
  GlobalClass = 0x476C6243,  // 'GlbC'
  Object = 0x4F626A63,       // 'Objc'
  GlobalObject = 0x476C624F, // 'GlbO'
  Alias = 0x616C6973,        // 'alis'
  List = 0x566C4C73,         // 'VlLs' (not kept: the host serves no list suite)
  Reference = 0x6F626A20,    // 'obj ' (not kept: the host serves no reference suite)
};

struct Descriptor;

struct DescriptorValue {
  ValueType type = ValueType::Integer;
  int64_t integer = 0;    // integers, booleans, counts
  double number = 0;      // floats and unit floats
  uint32_t code1 = 0;     // unit, enum type, class
  uint32_t code2 = 0;     // enum value
  std::string text{};     // text and alias bytes
  std::shared_ptr<Descriptor> object{};
};

struct Descriptor {
  std::vector<std::pair<uint32_t, DescriptorValue>> items;

  const DescriptorValue* Find(uint32_t key) const;
  void Put(uint32_t key, DescriptorValue value);  // replaces an existing key in place
  bool Erase(uint32_t key);
};

// One line for people: {'dith': true, 'amnt': 5}
std::string DescribeDescriptor(const Descriptor& d);

// Lines "'key' type value" (objects nested between "{" and "}"); used for the
// registry file and for descriptor handles.
std::string SerializeDescriptor(const Descriptor& d);
// Reads what SerializeDescriptor wrote; false with `error` on a bad line.
bool ParseDescriptor(const std::string& text, Descriptor& d, std::string& error);

// 'abcd' or 0x... to a four-character code.
bool ParseFourCC(const std::string& text, uint32_t& code);
