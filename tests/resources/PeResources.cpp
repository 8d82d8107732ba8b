#include "PeResources.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace pe {
namespace {

[[noreturn]] void Fail(const std::string& why) { throw std::runtime_error("PE file: " + why); }

void Need(const Bytes& b, uint64_t at, uint64_t count, const char* what) {
  if (at > b.size() || count > b.size() - at) Fail(std::string("truncated ") + what);
}

struct Section {
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class File {
 public:
  explicit File(const Bytes& bytes) : b_(bytes) {}

  uint16_t U16(uint64_t at, const char* what) const {
    Need(b_, at, 2, what);
    return Le16(b_, static_cast<size_t>(at));
  }
  uint32_t U32(uint64_t at, const char* what) const {
    Need(b_, at, 4, what);
    return Le32(b_, static_cast<size_t>(at));
  }

  void ReadHeaders() {
    if (U16(0, "DOS header") != 0x5A4D) Fail("no MZ signature");
    const uint32_t pe = U32(0x3C, "DOS header");
    if (U32(pe, "PE signature") != 0x00004550) Fail("no PE signature");
    const uint64_t coff = pe + 4;
    const uint16_t sectionCount = U16(coff + 2, "COFF header");
    const uint16_t optionalSize = U16(coff + 16, "COFF header");
    const uint64_t opt = coff + 20;
    const uint16_t magic = U16(opt, "optional header");
    uint64_t dirCountAt = 0;
    if (magic == 0x20B) {
      dirCountAt = opt + 108;  // PE32+
    } else if (magic == 0x10B) {
      dirCountAt = opt + 92;  // PE32
    } else {
      Fail("unknown optional header magic");
    }
    const uint32_t dirCount = U32(dirCountAt, "optional header");
    auto directory = [&](uint32_t index) -> std::pair<uint32_t, uint32_t> {
      if (index >= dirCount) return {0, 0};
      const uint64_t at = dirCountAt + 4 + 8ull * index;
      if (at + 8 > opt + optionalSize) Fail("data directory outside the optional header");
      return {U32(at, "data directory"), U32(at + 4, "data directory")};
    };
    exportDir_ = directory(0);
    resourceDir_ = directory(2);

    const uint64_t sectionTable = opt + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
      const uint64_t s = sectionTable + 40ull * i;
      sections_.push_back({U32(s + 12, "section header"), U32(s + 8, "section header"),
                           U32(s + 20, "section header"), U32(s + 16, "section header")});
    }
  }

  // File offset of `count` bytes at a relative virtual address.
  uint64_t Offset(uint32_t rva, uint32_t count, const char* what) const {
    for (const Section& s : sections_) {
      const uint32_t span = s.virtualSize ? s.virtualSize : s.rawSize;
      if (rva >= s.virtualAddress && uint64_t{rva} - s.virtualAddress < span) {
        const uint64_t into = uint64_t{rva} - s.virtualAddress;
        if (into + count > s.rawSize) Fail(std::string(what) + " beyond its section's data");
        const uint64_t at = uint64_t{s.rawOffset} + into;
        Need(b_, at, count, what);
        return at;
      }
    }
    Fail(std::string(what) + " at an address in no section");
  }

  std::vector<std::string> ExportNames() const {
    std::vector<std::string> names;
    if (exportDir_.first == 0) return names;
    const uint64_t dir = Offset(exportDir_.first, 40, "export directory");
    const uint32_t count = U32(dir + 24, "export directory");
    const uint32_t namesRva = U32(dir + 32, "export directory");
    if (count > 65536) Fail("implausible export count");
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t entry = Offset(namesRva + 4 * i, 4, "export name table");
      uint64_t at = Offset(U32(entry, "export name table"), 1, "export name");
      std::string name;
      for (;; ++at) {
        Need(b_, at, 1, "export name");
        if (b_[at] == 0) break;
        name.push_back(static_cast<char>(b_[at]));
      }
      names.push_back(name);
    }
    return names;
  }

  std::vector<Resource> Resources() const {
    std::vector<Resource> out;
    if (resourceDir_.first == 0) return out;
    root_ = Offset(resourceDir_.first, 16, "resource directory");
    for (const auto& [type, typeDir] : Directory(root_)) {
      for (const auto& [name, nameDir] : Directory(typeDir)) {
        for (const auto& [lang, leaf] : Directory(nameDir)) {
          if (!lang.isId) Fail("resource language given by name");
          const uint32_t rva = U32(leaf, "resource data entry");
          const uint32_t size = U32(leaf + 4, "resource data entry");
          const uint64_t at = Offset(rva, size, "resource data");
          out.push_back({type, name, lang.id, Bytes(b_.begin() + static_cast<ptrdiff_t>(at),
                                                    b_.begin() + static_cast<ptrdiff_t>(at + size))});
        }
      }
    }
    return out;
  }

 private:
  // Entries of one directory level: key and the file offset of what it
  // points at (a subdirectory or, at the language level, a data entry).
  std::vector<std::pair<ResourceKey, uint64_t>> Directory(uint64_t at) const {
    const uint32_t count = uint32_t{U16(at + 12, "resource directory")} + U16(at + 14, "resource directory");
    std::vector<std::pair<ResourceKey, uint64_t>> entries;
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t e = at + 16 + 8ull * i;
      const uint32_t nameField = U32(e, "resource entry");
      const uint32_t target = U32(e + 4, "resource entry");
      ResourceKey key;
      if (nameField & 0x80000000u) {
        const uint64_t s = root_ + (nameField & 0x7FFFFFFFu);
        const uint16_t length = U16(s, "resource name");
        std::string name;
        for (uint16_t c = 0; c < length; ++c) {
          const uint16_t ch = U16(s + 2 + 2ull * c, "resource name");
          name.push_back(ch < 0x80 ? static_cast<char>(ch) : '?');
        }
        key = ResourceKey::Name(name);
      } else {
        if (nameField > 0xFFFF) Fail("resource id above 16 bits");
        key = ResourceKey::Id(static_cast<uint16_t>(nameField));
      }
      const uint64_t where = root_ + (target & 0x7FFFFFFFu);
      // Subdirectories point forward in a well-formed tree; this also keeps
      // a looping tree from recursing for ever.
      if (where <= at) Fail("resource directory entry pointing backwards");
      entries.emplace_back(key, where);
    }
    return entries;
  }

  const Bytes& b_;
  std::vector<Section> sections_;
  std::pair<uint32_t, uint32_t> exportDir_{}, resourceDir_{};
  mutable uint64_t root_ = 0;
};

}  // namespace

std::string ResourceKey::ToString() const { return isId ? std::to_string(id) : "\"" + name + "\""; }

const Resource* Image::Find(const ResourceKey& type, const ResourceKey& name, uint16_t language) const {
  for (const Resource& r : resources) {
    if (r.type == type && r.name == name && r.language == language) return &r;
  }
  return nullptr;
}

Image ReadImage(const Bytes& bytes) {
  File file(bytes);
  file.ReadHeaders();
  return {file.Resources(), file.ExportNames()};
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint16_t Le16(const Bytes& b, size_t at) {
  if (at > b.size() || b.size() - at < 2) throw std::out_of_range("16-bit read past the end");
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t Le32(const Bytes& b, size_t at) {
  if (at > b.size() || b.size() - at < 4) throw std::out_of_range("32-bit read past the end");
  return uint32_t{Le16(b, at)} | uint32_t{Le16(b, at + 2)} << 16;
}

}  // namespace pe
