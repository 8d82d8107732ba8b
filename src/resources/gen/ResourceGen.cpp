// Build-time generator of the module's binary resources: the property list
// ("PIPL"), the scripting terminology ("AETE") and the version block (16,
// id 1). Each is written below as a typed list of named fields; the
// writer takes care of byte order, string forms, zero fill and the lengths
// that the formats count, so no length is computed by hand.
//
// It runs on the build machine (compiled with the host's own C++ compiler)
// and writes three files that Pixelmoor.rc includes as raw resource data:
//   pixelmoor-resgen <output directory> [x64|arm64]
// The machine (x64 when not given) picks the key of the code property that
// names the entry point: an x64 host looks for "8664", an ARM64 host for
// "wa64". Nothing else differs between the two modules' resources.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "resources/Identifiers.h"
#include "resources/Version.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Appends fields little-endian, as every resource of the module stores them.
class ByteWriter {
 public:
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v & 0xFF));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void I16(int16_t v) { U16(static_cast<uint16_t>(v)); }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v & 0xFFFF));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }

  // A four-character code is a 32-bit value whose first character is the
  // most significant byte; stored little-endian its characters come reversed.
  void FourCC(std::string_view code) {
    U32(static_cast<uint32_t>(static_cast<uint8_t>(code.at(0))) << 24 |
        static_cast<uint32_t>(static_cast<uint8_t>(code.at(1))) << 16 |
        static_cast<uint32_t>(static_cast<uint8_t>(code.at(2))) << 8 |
        static_cast<uint32_t>(static_cast<uint8_t>(code.at(3))));
  }

  void Chars(std::string_view text) {
    for (char c : text) U8(static_cast<uint8_t>(c));
  }
  void Zeros(size_t count) { bytes_.insert(bytes_.end(), count, 0); }
  void ZeroFillTo4(size_t from) {
    while ((bytes_.size() - from) % 4 != 0) U8(0);
  }

  // Counted string with no terminator and no fill (the terminology's form).
  void CountedString(std::string_view text) {
    U8(CountByte(text));
    Chars(text);
  }
  // Counted string, at least one zero byte after it, filled to a multiple of
  // 4 from its own first byte (the property list's form).
  void PaddedCountedString(std::string_view text) {
    const size_t start = bytes_.size();
    CountedString(text);
    U8(0);
    ZeroFillTo4(start);
  }
  // Characters, terminator and at least one more zero, filled to a multiple
  // of 4 from the string's first byte.
  void PaddedZeroTerminatedString(std::string_view text) {
    const size_t start = bytes_.size();
    Chars(text);
    Zeros(2);
    ZeroFillTo4(start);
  }

  void Utf16(std::u16string_view text) {
    for (char16_t c : text) U16(static_cast<uint16_t>(c));
  }

  void Append(const Bytes& more) { bytes_.insert(bytes_.end(), more.begin(), more.end()); }
  void PatchU16(size_t at, uint16_t v) {
    bytes_.at(at) = static_cast<uint8_t>(v & 0xFF);
    bytes_.at(at + 1) = static_cast<uint8_t>(v >> 8);
  }
  size_t Size() const { return bytes_.size(); }
  const Bytes& Data() const { return bytes_; }

 private:
  static uint8_t CountByte(std::string_view text) {
    if (text.size() > 255) throw std::length_error("counted string longer than 255 characters");
    return static_cast<uint8_t>(text.size());
  }
  Bytes bytes_;
};

// ---------------------------------------------------------------------------
// Property list

// Bits of the two bytes of the supported-modes property.
namespace mode_byte0 {
constexpr uint8_t kBitmap = 0x80, kGrayscale = 0x40, kIndexedColor = 0x20, kRGBColor = 0x10,
                  kCMYKColor = 0x08, kHSLColor = 0x04, kHSBColor = 0x02, kMultichannel = 0x01;
}
namespace mode_byte1 {
constexpr uint8_t kDuotone = 0x80, kLabColor = 0x40, kGray16 = 0x20, kRGB48 = 0x10, kLab48 = 0x08,
                  kCMYK64 = 0x04, kDeepMultichannel = 0x02, kDuotone16 = 0x01;
}

// Filter case information: how the host prepares the data, per case.
constexpr uint8_t kFilterDataHandlingWhiteMat = 4;
constexpr uint8_t kPIFilterDontCopyToDestination = 0x01;
constexpr uint8_t kPIFilterWorksWithBlankData = 0x02;
constexpr uint8_t kPIFilterFiltersLayerMask = 0x04;
constexpr uint8_t kPIFilterWriteOutsideSelection = 0x08;

// Most significant bit of the filter-layer property's first byte.
constexpr uint8_t kSupportsFilterLayers = 0x80;

constexpr int32_t kLatestFilterVersion = 4;
constexpr int32_t kLatestFilterSubVersion = 0;

constexpr int16_t kTerminologyResourceId = PIXELMOOR_TERMINOLOGY_ID;
constexpr std::string_view kTerminologyCode = "tarw";  // suite, event class and event ID
// The same text is the registry key under which the settings code keeps the
// last used setting.
constexpr std::string_view kScopeString = PIXELMOOR_SETTINGS_KEY;

constexpr std::string_view kEnableExpression =
    "in (PSHOP_ImageMode, RGBMode, GrayScaleMode,CMYKMode, HSLMode, HSBMode, MultichannelMode,"
    "DuotoneMode, LabMode, RGB48Mode, Gray16Mode) ||PSHOP_ImageDepth == 16 ||PSHOP_ImageDepth == 32";

constexpr int32_t kMaxImageSide = 2000000;

struct Property {
  std::string_view key;
  Bytes data;  // unpadded: the list fills it to a multiple of 4
};

template <typename Fill>
Property MakeProperty(std::string_view key, Fill fill) {
  ByteWriter w;
  fill(w);
  return {key, w.Data()};
}

Bytes BuildPropertyList(std::string_view codeKey) {
  struct FilterCase {
    uint8_t input, output, flags;
  };
  constexpr uint8_t kCommonFlags = kPIFilterWorksWithBlankData | kPIFilterFiltersLayerMask;
  constexpr uint8_t kSelectionFlags = kCommonFlags | kPIFilterWriteOutsideSelection;
  static_assert((kCommonFlags & kPIFilterDontCopyToDestination) == 0);
  // In the host's case order: flat image, flat image with selection, floating
  // selection, editable transparency without and with selection, protected
  // transparency without and with selection.
  constexpr FilterCase kFilterCases[7] = {
      {kFilterDataHandlingWhiteMat, kFilterDataHandlingWhiteMat, kCommonFlags},
      {kFilterDataHandlingWhiteMat, kFilterDataHandlingWhiteMat, kSelectionFlags},
      {kFilterDataHandlingWhiteMat, kFilterDataHandlingWhiteMat, kSelectionFlags},
      {kFilterDataHandlingWhiteMat, kFilterDataHandlingWhiteMat, kCommonFlags},
      {kFilterDataHandlingWhiteMat, kFilterDataHandlingWhiteMat, kSelectionFlags},
      {kFilterDataHandlingWhiteMat, kFilterDataHandlingWhiteMat, kCommonFlags},
      {kFilterDataHandlingWhiteMat, kFilterDataHandlingWhiteMat, kSelectionFlags},
  };

  const std::vector<Property> properties = {
      MakeProperty("kind", [](ByteWriter& w) { w.FourCC("8BFM"); }),
      MakeProperty("name", [](ByteWriter& w) { w.PaddedCountedString(PIXELMOOR_PRODUCT_NAME "..."); }),
      MakeProperty("catg", [](ByteWriter& w) { w.PaddedCountedString(PIXELMOOR_MAKER_NAME); }),
      MakeProperty("vers", [](ByteWriter& w) { w.I32(kLatestFilterVersion << 16 | kLatestFilterSubVersion); }),
      // The exported entry point, by the name the export list gives it.
      MakeProperty(codeKey,
                   [](ByteWriter& w) { w.PaddedZeroTerminatedString(PIXELMOOR_TEXT_OF(PIXELMOOR_ENTRY_POINT)); }),
      MakeProperty("mode",
                   [](ByteWriter& w) {
                     using namespace mode_byte0;
                     using namespace mode_byte1;
                     w.U8(kGrayscale | kRGBColor | kCMYKColor | kHSLColor | kHSBColor | kMultichannel);
                     w.U8(kDuotone | kLabColor);
                     w.Zeros(2);
                   }),
      MakeProperty("hstm",
                   [](ByteWriter& w) {
                     w.I32(0);  // terminology record version
                     w.FourCC(kTerminologyCode);  // class ID
                     w.FourCC(kTerminologyCode);  // event ID
                     w.I16(kTerminologyResourceId);
                     w.PaddedZeroTerminatedString(kScopeString);
                   }),
      MakeProperty("enbl", [](ByteWriter& w) { w.PaddedZeroTerminatedString(kEnableExpression); }),
      MakeProperty("ms32",
                   [](ByteWriter& w) {
                     w.I32(kMaxImageSide);  // height
                     w.I32(kMaxImageSide);  // width
                   }),
      MakeProperty("flly",
                   [](ByteWriter& w) {
                     w.U8(kSupportsFilterLayers);
                     w.Zeros(3);
                   }),
      MakeProperty("fici",
                   [&](ByteWriter& w) {
                     for (const FilterCase& c : kFilterCases) {
                       w.U8(c.input);
                       w.U8(c.output);
                       w.U8(c.flags);
                       w.U8(0);
                     }
                   }),
  };

  ByteWriter list;
  list.U16(1);  // leading word
  list.I32(0);  // list version
  list.I32(static_cast<int32_t>(properties.size()));
  for (const Property& p : properties) {
    list.FourCC("8BIM");  // vendor
    list.FourCC(p.key);
    list.I32(0);  // id among properties of the same key
    const size_t padded = (p.data.size() + 3) / 4 * 4;
    list.I32(static_cast<int32_t>(padded));
    const size_t start = list.Size();
    list.Append(p.data);
    list.ZeroFillTo4(start);
  }
  return list.Data();
}

// ---------------------------------------------------------------------------
// Scripting terminology: the aete format after one leading word, unaligned.

// Flag word bits, bit 15 the most significant.
constexpr uint16_t kParamOptional = 1u << 15;
constexpr uint16_t kParamIsList = 1u << 14;
constexpr uint16_t kParamEnumerated = 1u << 13;
constexpr uint16_t kEventChangesState = 1u << 12;

Bytes BuildTerminology() {
  ByteWriter w;
  w.U16(1);  // leading word
  w.U8(1);   // format major version
  w.U8(0);   // format minor version
  w.U16(0);  // language: English
  w.U16(0);  // script: Roman
  w.U16(1);  // number of suites

  w.CountedString(PIXELMOOR_MAKER_NAME);        // suite name
  w.CountedString("Adobe example plug-ins");    // suite description
  w.FourCC(kTerminologyCode);                   // suite ID
  w.U16(1);                                     // suite level
  w.U16(1);                                     // suite version
  w.U16(1);                                     // number of events

  w.CountedString(PIXELMOOR_PRODUCT_NAME);                   // event name
  w.CountedString("16bpp conversion and dithering plugin");  // event description
  w.FourCC(kTerminologyCode);                                // event class
  w.FourCC(kTerminologyCode);                                // event ID
  w.FourCC("null");                                          // reply type: no reply
  w.CountedString("");                                       // reply description
  w.U16(0);                                                  // reply flags
  w.FourCC("#ImR");                                          // direct parameter: image reference
  w.CountedString("");                                       // direct parameter description
  static_assert((kParamIsList & (kParamOptional | kParamEnumerated | kEventChangesState)) == 0);
  w.U16(kParamOptional | kParamEnumerated | kEventChangesState);  // direct parameter flags
  w.U16(1);                                                  // number of other parameters

  w.CountedString("ignore selection");  // parameter name
  w.FourCC(PIXELMOOR_DITHER_KEY);       // parameter key
  w.FourCC("bool");                     // parameter type
  w.CountedString("use dithering");     // parameter description
  w.U16(0);                             // parameter flags: required, single, not enumerated

  w.U16(0);  // number of classes
  w.U16(0);  // number of comparison operators
  w.U16(0);  // number of enumerations
  return w.Data();
}

// ---------------------------------------------------------------------------
// Version block. Written here rather than as a VERSIONINFO statement because
// windres gives an empty VALUE a value length of 1. An empty string here has
// value length 0 but still carries its terminator, so that a reader that
// takes the value as a terminated string (ignoring the length) finds an
// empty one instead of running into the next entry.

// A node holds a text value, a binary value or only children; its type word
// is 1 for text and 0 for binary data, and blocks of text entries count as text.
struct VersionNode {
  enum class Kind { kBlock, kText, kBinary };
  Kind kind = Kind::kBlock;
  std::u16string key;
  std::u16string text;  // kText
  Bytes binary;         // kBinary
  std::vector<VersionNode> children;
};

VersionNode Block(std::u16string key, std::vector<VersionNode> children) {
  return {VersionNode::Kind::kBlock, std::move(key), {}, {}, std::move(children)};
}
VersionNode Text(std::u16string key, std::u16string value) {
  return {VersionNode::Kind::kText, std::move(key), std::move(value), {}, {}};
}
VersionNode Binary(std::u16string key, Bytes value, std::vector<VersionNode> children = {}) {
  return {VersionNode::Kind::kBinary, std::move(key), {}, std::move(value), std::move(children)};
}

// Every node: length, value length, type, key (UTF-16, terminated), fill to
// 4, value, then the children each at a multiple of 4 from the block start.
// A node's length runs to the end of its own last byte, without trailing fill.
// A text value's length counts characters with the terminator, except that
// an empty text has length 0; a binary value's length counts bytes.
void WriteVersionNode(ByteWriter& w, const VersionNode& node) {
  using Kind = VersionNode::Kind;
  const size_t start = w.Size();
  w.U16(0);  // length, patched below
  size_t valueLength = 0;
  if (node.kind == Kind::kText && !node.text.empty()) valueLength = node.text.size() + 1;
  if (node.kind == Kind::kBinary) valueLength = node.binary.size();
  w.U16(static_cast<uint16_t>(valueLength));
  w.U16(node.kind == Kind::kBinary ? 0 : 1);
  w.Utf16(node.key);
  w.U16(0);
  if (node.kind == Kind::kText) {
    w.ZeroFillTo4(0);
    w.Utf16(node.text);
    w.U16(0);
  } else if (node.kind == Kind::kBinary) {
    w.ZeroFillTo4(0);
    w.Append(node.binary);
  }
  for (const VersionNode& child : node.children) {
    w.ZeroFillTo4(0);
    WriteVersionNode(w, child);
  }
  const size_t length = w.Size() - start;
  if (length > 0xFFFF) throw std::length_error("version node too long");
  w.PatchU16(start, static_cast<uint16_t>(length));
}

std::u16string Widen(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

Bytes BuildVersionBlock() {
  constexpr uint32_t kFixedSignature = 0xFEEF04BD;
  constexpr uint32_t kFixedStructVersion = 0x10000;
  constexpr uint32_t kFileFlagsMask = 0x3F;  // VS_FFI_FILEFLAGSMASK
  constexpr uint32_t kOsNtWindows32 = 0x40004;
  constexpr uint32_t kFileTypeDll = 2;
  constexpr uint32_t kFileSubtypeUnknown = 0;
  constexpr uint32_t kVersionMs = PIXELMOOR_VERSION_MAJOR << 16 | PIXELMOOR_VERSION_MINOR;
  constexpr uint32_t kVersionLs = PIXELMOOR_VERSION_PATCH << 16 | PIXELMOOR_VERSION_BUILD;

  ByteWriter fixed;
  fixed.U32(kFixedSignature);
  fixed.U32(kFixedStructVersion);
  fixed.U32(kVersionMs);  // file version
  fixed.U32(kVersionLs);
  fixed.U32(kVersionMs);  // product version
  fixed.U32(kVersionLs);
  fixed.U32(kFileFlagsMask);
  fixed.U32(0);  // file flags
  fixed.U32(kOsNtWindows32);
  fixed.U32(kFileTypeDll);
  fixed.U32(kFileSubtypeUnknown);
  fixed.U32(0);  // file date, most significant
  fixed.U32(0);  // file date, least significant

  const std::u16string maker = Widen(PIXELMOOR_MAKER_NAME);
  const std::u16string product = Widen(PIXELMOOR_PRODUCT_NAME);
  ByteWriter translation;
  translation.U16(0x0409);  // English (United States)
  translation.U16(0x04B0);  // code page 1200, UTF-16

  const VersionNode root = Binary(u"VS_VERSION_INFO", fixed.Data(), {
      Block(u"StringFileInfo", {
          Block(u"040904b0", {
              Text(u"Comments", u""),
              Text(u"CompanyName", maker),
              Text(u"FileDescription", product),
              Text(u"FileVersion", Widen(PIXELMOOR_FILE_VERSION_TEXT)),
              Text(u"InternalName", product),
              Text(u"LegalCopyright", maker),
              Text(u"LegalTrademarks", u""),
              Text(u"OriginalFilename", product),
              Text(u"PrivateBuild", u""),
              Text(u"ProductName", product),
              Text(u"ProductVersion", Widen(PIXELMOOR_VERSION_TEXT)),
              Text(u"SpecialBuild", u""),
          }),
      }),
      Block(u"VarFileInfo", {Binary(u"Translation", translation.Data())}),
  });
  ByteWriter w;
  WriteVersionNode(w, root);
  return w.Data();
}

bool WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "pixelmoor-resgen: cannot write %s\n", path.string().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view machine = argc == 3 ? argv[2] : "x64";
  if ((argc != 2 && argc != 3) || (machine != "x64" && machine != "arm64")) {
    std::fprintf(stderr, "usage: pixelmoor-resgen <output directory> [x64|arm64]\n");
    return 2;
  }
  const std::string_view codeKey = machine == "arm64" ? "wa64" : "8664";
  try {
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    const bool ok = WriteFile(dir / "Pixelmoor.pipl", BuildPropertyList(codeKey)) &&
                    WriteFile(dir / "Pixelmoor.aete", BuildTerminology()) &&
                    WriteFile(dir / "Pixelmoor.version", BuildVersionBlock());
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pixelmoor-resgen: %s\n", e.what());
    return 1;
  }
}
