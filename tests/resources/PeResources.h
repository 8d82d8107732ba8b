// A small, portable reader of a PE file's resources and export names, so that
// the resource tests can read the built module the way a host or the Windows
// loader sees it. Every read is bounds-checked; a malformed file raises
// std::runtime_error with the reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

using Bytes = std::vector<uint8_t>;

// A resource type or name: a 16-bit id, or a string (stored as UTF-16; the
// names used here are ASCII).
struct ResourceKey {
  bool isId = true;
  uint16_t id = 0;
  std::string name;

  static ResourceKey Id(uint16_t v) { return {true, v, {}}; }
  static ResourceKey Name(std::string n) { return {false, 0, std::move(n)}; }
  bool operator==(const ResourceKey&) const = default;
  std::string ToString() const;
};

struct Resource {
  ResourceKey type;
  ResourceKey name;
  uint16_t language = 0;
  Bytes data;
};

struct Image {
  std::vector<Resource> resources;  // in directory order
  std::vector<std::string> exportNames;

  // Null when there is no resource with that type, name and language.
  const Resource* Find(const ResourceKey& type, const ResourceKey& name, uint16_t language) const;
};

Image ReadImage(const Bytes& file);
Bytes ReadFile(const std::string& path);

// Little-endian readers over resource data, bounds-checked.
uint16_t Le16(const Bytes& b, size_t at);
uint32_t Le32(const Bytes& b, size_t at);

}  // namespace pe
