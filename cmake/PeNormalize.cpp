// Build-time tool of the ARM64 module's release step (cmake/ReleaseModule.cmake):
// removes from a linked PE image what Zig's linker writes differently on every
// link, so that every clean build of the same sources gives the same bytes.
//
//   pe-normalize <module> <export list (.def)>
//   pe-normalize --symbol-file <symbol file> [<folder>...]
//
// - The file header's time stamp and the export directory's time stamp become
//   0 (Zig passes the linker no option for either).
// - The export directory keeps the names of the export list alone, numbered
//   from 1 in name order: Zig's unwinder library marks its own functions for
//   export, and its linker takes no option to leave them out. The names and
//   entries given up are zeroed.
// - The debug directory goes: its entries and the CodeView record they point
//   at (the name and hash-derived identity of the program database that the
//   linker writes beside the module, which holds the build folder's path) are
//   zeroed and the data directory entry is cleared. The shipped module's
//   symbols are in its DWARF symbol file, named by its debug link.
//
// With --symbol-file it tidies the symbol file that llvm-objcopy
// --only-keep-debug makes of the normalised module: that file keeps the
// module's headers and section table, but of the sections only the debug
// ones have contents. llvm-objcopy leaves the emptied sections' file offsets
// pointing past the end of the file and the data directories (exports,
// relocations, thread-local storage, ...) pointing into them, and LLVM's own
// tools, reading those directories when they open the file, give up on it
// ("end of file"): no address resolves through it. Emptied sections get file
// offset 0 and every data directory whose contents are not in the file is
// cleared. And the folders named after it (the checkout's source and build
// folders) are taken out of the debug information: every string in the file
// that is one of them, or a path inside one, becomes "." (padded with zero
// bytes, so that nothing moves). Our own sources are compiled with their
// folders mapped already; these strings come from Zig's runtime (libunwind's
// assembler sources), which records the working directory of the link that
// first made it for the machine's cache, so that a checkout whose own build
// made the runtime would find its path in the symbol file.
//
// Running it again on its own output changes nothing.
// Compiled for the build machine with its own compiler; it reads and writes
// the file in place and fails, changing nothing, on anything it does not
// understand.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Read32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Read16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
void Write32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

struct Image {
  Bytes bytes;
  size_t fileHeader = 0;      // COFF file header
  size_t optionalHeader = 0;  // PE32+ optional header
  size_t sections = 0;        // section table
  uint16_t sectionCount = 0;
  uint32_t directoryCount = 0;

  size_t DirectoryAt(uint32_t index) const { return optionalHeader + 112 + 8 * static_cast<size_t>(index); }

  // File offset of an RVA range that lies inside one section's raw data; 0 if none.
  size_t OffsetOf(uint32_t rva, uint32_t size) const {
    for (uint16_t i = 0; i < sectionCount; ++i) {
      const size_t s = sections + 40 * static_cast<size_t>(i);
      const uint32_t va = Read32(bytes, s + 12), rawSize = Read32(bytes, s + 16), raw = Read32(bytes, s + 20);
      if (rva >= va && static_cast<uint64_t>(rva) + size <= static_cast<uint64_t>(va) + rawSize) {
        const uint64_t at = static_cast<uint64_t>(raw) + (rva - va);
        if (at + size <= bytes.size()) return static_cast<size_t>(at);
      }
    }
    return 0;
  }
};

bool Parse(Image& image, std::string& error) {
  const Bytes& b = image.bytes;
  if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return error = "not a PE image", false;
  const size_t pe = Read32(b, 0x3C);
  if (pe + 24 > b.size() || std::memcmp(&b[pe], "PE\0\0", 4) != 0) return error = "no PE signature", false;
  image.fileHeader = pe + 4;
  image.sectionCount = Read16(b, image.fileHeader + 2);
  const uint16_t optionalSize = Read16(b, image.fileHeader + 16);
  image.optionalHeader = image.fileHeader + 20;
  if (image.optionalHeader + optionalSize > b.size() || optionalSize < 112 || Read16(b, image.optionalHeader) != 0x20B)
    return error = "not a PE32+ image", false;
  image.directoryCount = Read32(b, image.optionalHeader + 108);
  if (112 + 8 * static_cast<size_t>(image.directoryCount) > optionalSize) return error = "bad data directory", false;
  image.sections = image.optionalHeader + optionalSize;
  if (image.sections + 40 * static_cast<size_t>(image.sectionCount) > b.size()) return error = "bad section table", false;
  return true;
}

// Keeps the exports named in `keep` (each must be there), by name, in the
// tables where they are.
bool TrimExports(Image& image, size_t at, const std::set<std::string>& keep, std::string& error) {
  Bytes& b = image.bytes;
  const uint32_t functions = Read32(b, at + 20), names = Read32(b, at + 24);
  const size_t functionTable = image.OffsetOf(Read32(b, at + 28), functions * 4);
  const size_t nameTable = image.OffsetOf(Read32(b, at + 32), names * 4);
  const size_t ordinalTable = image.OffsetOf(Read32(b, at + 36), names * 2);
  if (functions == 0 || names == 0 || functionTable == 0 || nameTable == 0 || ordinalTable == 0)
    return error = "export tables outside the image", false;
  struct Export {
    uint32_t nameRva;
    uint32_t function;
  };
  std::vector<Export> kept;
  std::vector<std::pair<size_t, size_t>> dropped;  // name strings to clear
  for (uint32_t i = 0; i < names; ++i) {
    const uint32_t nameRva = Read32(b, nameTable + 4 * i);
    const size_t name = image.OffsetOf(nameRva, 1);
    if (name == 0) return error = "an export name outside the image", false;
    const size_t end = std::find(b.begin() + static_cast<std::ptrdiff_t>(name), b.end(), uint8_t{0}) - b.begin();
    const std::string text(b.begin() + static_cast<std::ptrdiff_t>(name), b.begin() + static_cast<std::ptrdiff_t>(end));
    const uint16_t index = Read16(b, ordinalTable + 2 * i);
    if (index >= functions) return error = "an export ordinal outside the table", false;
    if (keep.count(text) != 0)
      kept.push_back({nameRva, Read32(b, functionTable + 4 * index)});
    else
      dropped.emplace_back(name, end - name);
  }
  if (kept.size() != keep.size()) return error = "the module lacks a name of the export list", false;
  std::memset(&b[functionTable], 0, functions * 4);
  std::memset(&b[nameTable], 0, names * 4);
  std::memset(&b[ordinalTable], 0, names * 2);
  for (size_t i = 0; i < kept.size(); ++i) {
    Write32(b, functionTable + 4 * i, kept[i].function);
    Write32(b, nameTable + 4 * i, kept[i].nameRva);
    b[ordinalTable + 2 * i] = static_cast<uint8_t>(i);
    b[ordinalTable + 2 * i + 1] = static_cast<uint8_t>(i >> 8);
  }
  for (const auto& [name, length] : dropped) std::memset(&b[name], 0, length);
  Write32(b, at + 16, 1);  // ordinal base
  Write32(b, at + 20, static_cast<uint32_t>(kept.size()));
  Write32(b, at + 24, static_cast<uint32_t>(kept.size()));
  return true;
}

bool Normalize(Image& image, const std::set<std::string>& keep, std::string& error) {
  Bytes& b = image.bytes;
  Write32(b, image.fileHeader + 4, 0);  // TimeDateStamp

  // The export directory's time stamp (its second field), and its names.
  if (image.directoryCount > 0) {
    const uint32_t rva = Read32(b, image.DirectoryAt(0)), size = Read32(b, image.DirectoryAt(0) + 4);
    if (rva != 0) {
      const size_t at = image.OffsetOf(rva, 40);
      if (at == 0 || size < 40) return error = "export directory outside the image", false;
      Write32(b, at + 4, 0);
      if (!TrimExports(image, at, keep, error)) return false;
    }
  }

  // The debug directory: 28-byte entries, each naming its data by RVA, size
  // and file offset.
  if (image.directoryCount > 6) {
    const size_t entry = image.DirectoryAt(6);
    const uint32_t rva = Read32(b, entry), size = Read32(b, entry + 4);
    if (rva != 0) {
      const size_t at = image.OffsetOf(rva, size);
      if (at == 0 || size % 28 != 0) return error = "debug directory outside the image", false;
      for (size_t e = at; e < at + size; e += 28) {
        const uint32_t dataSize = Read32(b, e + 16), dataRaw = Read32(b, e + 24);
        if (dataSize != 0) {
          if (static_cast<uint64_t>(dataRaw) + dataSize > b.size()) return error = "debug data outside the file", false;
          std::memset(&b[dataRaw], 0, dataSize);
        }
      }
      std::memset(&b[at], 0, size);
      Write32(b, entry, 0);
      Write32(b, entry + 4, 0);
    }
  }
  return true;
}

// Every zero-terminated string that is `folder` or a path inside it becomes
// ".": the same number of bytes, the rest of them zero.
void DropFolder(Bytes& b, const std::string& folder) {
  if (folder.empty()) return;
  for (size_t at = 0; at + folder.size() <= b.size(); ++at) {
    if ((at > 0 && b[at - 1] != 0) || std::memcmp(&b[at], folder.data(), folder.size()) != 0) continue;
    const size_t after = at + folder.size();
    if (after < b.size() && b[after] != 0 && b[after] != '/') continue;
    size_t end = after;
    while (end < b.size() && b[end] != 0) ++end;
    b[at] = '.';
    std::memset(&b[at + 1], 0, end - at - 1);
    at = end;
  }
}

void TidySymbolFile(Image& image, const std::vector<std::string>& folders) {
  Bytes& b = image.bytes;
  for (const std::string& folder : folders) DropFolder(b, folder);
  for (uint16_t i = 0; i < image.sectionCount; ++i) {
    const size_t s = image.sections + 40 * static_cast<size_t>(i);
    if (Read32(b, s + 16) == 0) Write32(b, s + 20, 0);  // no raw data, no file offset
  }
  for (uint32_t d = 0; d < image.directoryCount; ++d) {
    const size_t entry = image.DirectoryAt(d);
    const uint32_t rva = Read32(b, entry), size = Read32(b, entry + 4);
    if ((rva != 0 || size != 0) && image.OffsetOf(rva, size) == 0) {
      Write32(b, entry, 0);
      Write32(b, entry + 4, 0);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool symbolFile = argc >= 3 && std::strcmp(argv[1], "--symbol-file") == 0;
  if (argc != 3 && !symbolFile) {
    std::fprintf(stderr, "usage: pe-normalize <module> <export list (.def)>\n"
                         "       pe-normalize --symbol-file <symbol file> [<folder>...]\n");
    return 2;
  }
  std::vector<std::string> folders;
  for (int i = 3; symbolFile && i < argc; ++i) {
    std::string folder = argv[i];
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    folders.push_back(folder);
  }
  const char* const path = symbolFile ? argv[2] : argv[1];
  // The names under EXPORTS, one a line.
  std::set<std::string> keep;
  if (!symbolFile) {
    std::ifstream def(argv[2]);
    std::string line;
    bool exports = false;
    while (std::getline(def, line)) {
      std::istringstream words(line);
      std::string word;
      if (!(words >> word)) continue;
      if (word == "EXPORTS") exports = true;
      else if (exports) keep.insert(word);
    }
    if (keep.empty()) {
      std::fprintf(stderr, "pe-normalize: %s names no exports\n", argv[2]);
      return 1;
    }
  }
  Image image;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "pe-normalize: cannot read %s\n", path);
      return 1;
    }
    image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string error;
  if (!Parse(image, error) || (!symbolFile && !Normalize(image, keep, error))) {
    std::fprintf(stderr, "pe-normalize: %s: %s\n", path, error.c_str());
    return 1;
  }
  if (symbolFile) TidySymbolFile(image, folders);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.bytes.data()), static_cast<std::streamsize>(image.bytes.size()));
  if (!out) {
    std::fprintf(stderr, "pe-normalize: cannot write %s\n", path);
    return 1;
  }
  return 0;
}
