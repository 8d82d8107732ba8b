#include "ImageFile.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "stb_image.h"

uint32_t PlanarImage::Sample(int32_t plane, int32_t x, int32_t y) const {
  const size_t index = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
  const auto& p = planes[static_cast<size_t>(plane)];
  if (depth == 16) {
    uint16_t v;
    std::memcpy(&v, p.data() + index * 2, 2);
    return v;
  }
  return p[index];
}

void PlanarImage::SetSample(int32_t plane, int32_t x, int32_t y, uint32_t value) {
  const size_t index = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
  auto& p = planes[static_cast<size_t>(plane)];
  if (depth == 16) {
    const auto v = static_cast<uint16_t>(value);
    std::memcpy(p.data() + index * 2, &v, 2);
  } else {
    p[index] = static_cast<uint8_t>(value);
  }
}

void PlanarImage::Allocate(int32_t w, int32_t h, int32_t d, int32_t channels) {
  width = w;
  height = h;
  depth = d;
  // Each plane zeroed in place: a template plane copied into each would touch
  // every byte twice, and fresh memory is what a large image costs most.
  planes.clear();
  planes.resize(static_cast<size_t>(channels));
  for (auto& plane : planes) plane.assign(PlaneBytes(), 0);
}

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct StbFree {
  void operator()(void* p) const { stbi_image_free(p); }
};

uint32_t GetBig32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

std::string SystemMessage(DWORD code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                 static_cast<DWORD>(sizeof text), nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(code) : s + " (error " + std::to_string(code) + ")";
}

// A file's bytes, mapped into memory read-only: its pages come from the
// system's file cache as they are read, which costs a fraction of reading
// the file into fresh memory of the process.
class FileBytes {
 public:
  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() { Release(); }
  const uint8_t* data() const { return view_ != nullptr ? view_ : &empty_; }
  size_t size() const { return size_; }
  void Map(HANDLE mapping, const void* view, size_t size) {
    mapping_ = mapping;
    view_ = static_cast<const uint8_t*>(view);
    size_ = size;
  }
  void Release() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (mapping_ != nullptr) CloseHandle(mapping_);
    view_ = nullptr;
    mapping_ = nullptr;
    size_ = 0;
  }

 private:
  HANDLE mapping_ = nullptr;
  const uint8_t* view_ = nullptr;
  size_t size_ = 0;
  uint8_t empty_ = 0;
};

// The whole file in memory, so that the checks below and the decoder see the
// same bytes. False with the reason in `why`.
bool LoadFile(const std::string& path, FileBytes& bytes, std::string& why) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    why = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? "no such file" : SystemMessage(code);
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    why = "it is a folder, not an image file";
    return false;
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    why = SystemMessage(GetLastError());
    return false;
  }
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) != 0;
  if (ok && size.QuadPart > INT_MAX) {
    why = "it is too large: " + std::to_string(size.QuadPart) + " bytes (pmhost reads files of up to 2 GiB)";
    CloseHandle(file);
    return false;
  }
  if (ok && size.QuadPart > 0) {  // an empty file cannot be mapped, and has no bytes to check
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    ok = view != nullptr;
    if (ok) bytes.Map(mapping, view, static_cast<size_t>(size.QuadPart));
    else if (mapping != nullptr) CloseHandle(mapping);
  }
  if (!ok) why = SystemMessage(GetLastError());
  CloseHandle(file);
  return ok;
}

// Walks the chunks up to IEND without decoding anything, so that a file cut
// short says so instead of failing somewhere inside the decoder.
bool CheckChunks(const FileBytes& bytes, std::string& why) {
  if (bytes.size() < sizeof kSignature || std::memcmp(bytes.data(), kSignature, sizeof kSignature) != 0) {
    why = "not a PNG file (it does not start with the PNG signature)";
    return false;
  }
  const size_t size = bytes.size();
  for (size_t at = sizeof kSignature;;) {
    if (size - at < 8) {
      why = "truncated: the file ends after " + std::to_string(size) + " bytes, before its IEND chunk";
      return false;
    }
    const uint32_t length = GetBig32(bytes.data() + at);
    const std::string type(reinterpret_cast<const char*>(bytes.data() + at + 4), 4);
    if (length > 0x7FFFFFFFu) {
      why = "damaged: a chunk at byte " + std::to_string(at) + " claims " + std::to_string(length) + " bytes";
      return false;
    }
    if (size - at - 8 < size_t(length) + 4) {
      why = "truncated: the file ends after " + std::to_string(size) + " bytes, inside its " + type + " chunk";
      return false;
    }
    if (type == "IEND") return true;
    at += 12 + size_t(length);
  }
}

// Loads, checks and measures a PNG; on success `bytes` holds the file and
// w, h, channels and sixteen describe it.
bool OpenPng(const std::string& path, FileBytes& bytes, int& w, int& h, int& channels, bool& sixteen,
             std::string& error) {
  std::string why;
  if (!LoadFile(path, bytes, why) || !CheckChunks(bytes, why)) {
    error = "cannot read " + path + ": " + why;
    return false;
  }
  // The size comes from the header itself: the decoder refuses very large
  // images without saying why.
  const uint8_t* ihdr = bytes.data() + sizeof kSignature;
  if (GetBig32(ihdr) != 13 || std::memcmp(ihdr + 4, "IHDR", 4) != 0) {
    error = "cannot read " + path + ": damaged: it does not start with an IHDR chunk";
    return false;
  }
  const uint32_t width = GetBig32(ihdr + 8), height = GetBig32(ihdr + 12);
  const uint32_t bits = ihdr[16] == 16 ? 16 : 8;
  // Channels by colour type; a palette counts as 4, as it may expand to RGBA.
  static const uint8_t kChannelsOfColourType[7] = {1, 4, 3, 4, 2, 4, 4};
  const uint32_t fileChannels = ihdr[17] < 7 ? kChannelsOfColourType[ihdr[17]] : 4;
  const uint64_t sampleBytes = uint64_t(width) * height * fileChannels * (bits / 8);
  if (width > uint32_t(kMaxImageSide) || height > uint32_t(kMaxImageSide) || sampleBytes > kMaxImageSampleBytes) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "too large: %u x %u pixels, %u channel(s) of %u bits (%.1f GiB of samples); pmhost takes at most "
                  "%d pixels a side and %.0f GiB of samples",
                  width, height, fileChannels, bits, double(sampleBytes) / double(uint64_t(1) << 30), kMaxImageSide,
                  double(kMaxImageSampleBytes) / double(uint64_t(1) << 30));
    error = "cannot read " + path + ": " + text;
    return false;
  }
  const auto* data = bytes.data();
  const auto size = static_cast<int>(bytes.size());
  if (!stbi_info_from_memory(data, size, &w, &h, &channels)) {
    const char* reason = stbi_failure_reason();
    error = "cannot read " + path + ": damaged PNG header" + (reason != nullptr ? std::string(" (") + reason + ")" : "");
    return false;
  }
  sixteen = stbi_is_16_bit_from_memory(data, size) != 0;
  return true;
}

std::string DecodeError(const std::string& path) {
  const char* reason = stbi_failure_reason();
  return "cannot read " + path + ": damaged image data" +
         (reason != nullptr && *reason != '\0' ? std::string(" (") + reason + ")" : "");
}

// One pass over the decoder's interleaved pixels into the planes.
template <typename Sample, int kChannels>
void Deinterleave(const Sample* pixels, PlanarImage& image) {
  const size_t count = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  Sample* planes[kChannels];
  for (int c = 0; c < kChannels; ++c) planes[c] = reinterpret_cast<Sample*>(image.planes[size_t(c)].data());
  for (size_t i = 0; i < count; ++i)
    for (int c = 0; c < kChannels; ++c) planes[c][i] = pixels[i * kChannels + size_t(c)];
}

template <typename Sample>
void Deinterleave(const Sample* pixels, int32_t channels, PlanarImage& image) {
  switch (channels) {
    case 1: Deinterleave<Sample, 1>(pixels, image); break;
    case 2: Deinterleave<Sample, 2>(pixels, image); break;
    case 3: Deinterleave<Sample, 3>(pixels, image); break;
    default: Deinterleave<Sample, 4>(pixels, image); break;
  }
}

// ---- the row reader ----------------------------------------------------------
//
// The common PNG files (not interlaced, 8 or 16 bits, gray, gray and alpha,
// RGB or RGBA, no transparency chunk) are read row by row: zlib inflates the
// IDAT chunks straight into one row, whose filter is undone against the row
// above and whose samples go straight into the planes. Besides the file only
// the planes and two rows are touched; stb's reader, which the other files
// take, keeps the concatenated IDAT data, the inflated rows and the
// interleaved image besides (three more copies of a large image, and fresh
// memory is what a large image costs most).

// What a PNG's first chunk says, for the row reader.
struct PngHeader {
  uint32_t width = 0, height = 0;
  int bits = 0, colourType = 0, interlace = 0;
};

int ChannelsOfColourType(int colourType) {
  switch (colourType) {
    case 0: return 1;
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 0;  // a palette, or not a colour type
  }
}

// The chunks the row reader takes: IHDR first, then IDAT ones in a row, IEND,
// and ancillary chunks that do not change the pixels stb gives (everything but
// tRNS). Anything else (a palette, a transparency chunk, Apple's CgBI, an
// unknown critical chunk) leaves the file to stb. `bytes` passed CheckChunks.
bool RowReaderTakes(const FileBytes& bytes, PngHeader& header, std::vector<std::pair<size_t, size_t>>& idat) {
  const uint8_t* ihdr = bytes.data() + sizeof kSignature + 8;
  header.width = GetBig32(ihdr);
  header.height = GetBig32(ihdr + 4);
  header.bits = ihdr[8];
  header.colourType = ihdr[9];
  header.interlace = ihdr[12];
  if (header.width == 0 || header.height == 0 || (header.bits != 8 && header.bits != 16) ||
      ChannelsOfColourType(header.colourType) == 0 || ihdr[10] != 0 || ihdr[11] != 0 || header.interlace != 0)
    return false;
  bool idatEnded = false;
  for (size_t at = sizeof kSignature + 12 + 13;;) {
    const uint32_t length = GetBig32(bytes.data() + at);
    const char* type = reinterpret_cast<const char*>(bytes.data() + at + 4);
    if (std::memcmp(type, "IEND", 4) == 0) return !idat.empty();
    if (std::memcmp(type, "IDAT", 4) == 0) {
      if (idatEnded) return false;
      idat.emplace_back(at + 8, length);
    } else {
      if (!idat.empty()) idatEnded = true;
      const bool critical = (type[0] & 0x20) == 0;
      if (critical || std::memcmp(type, "tRNS", 4) == 0 || std::memcmp(type, "CgBI", 4) == 0) return false;
    }
    at += 12 + size_t(length);
  }
}

// Undoes a row's filter in place, against the row above (zeros for the first).
bool Unfilter(uint8_t filter, uint8_t* row, const uint8_t* above, size_t bytes, size_t pixelBytes) {
  switch (filter) {
    case 0: return true;
    case 1:
      for (size_t i = pixelBytes; i < bytes; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - pixelBytes]);
      return true;
    case 2:
      for (size_t i = 0; i < bytes; ++i) row[i] = static_cast<uint8_t>(row[i] + above[i]);
      return true;
    case 3:
      for (size_t i = 0; i < pixelBytes; ++i) row[i] = static_cast<uint8_t>(row[i] + (above[i] >> 1));
      for (size_t i = pixelBytes; i < bytes; ++i)
        row[i] = static_cast<uint8_t>(row[i] + ((unsigned(row[i - pixelBytes]) + above[i]) >> 1));
      return true;
    case 4:
      for (size_t i = 0; i < pixelBytes; ++i) row[i] = static_cast<uint8_t>(row[i] + above[i]);
      for (size_t i = pixelBytes; i < bytes; ++i) {
        const int a = row[i - pixelBytes], b = above[i], c = above[i - pixelBytes];
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        row[i] = static_cast<uint8_t>(row[i] + (pa <= pb && pa <= pc ? a : pb <= pc ? b : c));
      }
      return true;
    default: return false;
  }
}

// One row of interleaved samples into row y of the planes (16-bit samples
// from big-endian to the machine's order).
template <int kChannels>
void ScatterRow(const uint8_t* row, int32_t y, bool sixteen, PlanarImage& image) {
  const auto width = static_cast<size_t>(image.width);
  uint8_t* planes[kChannels];
  for (int c = 0; c < kChannels; ++c) planes[c] = image.Row(c, y);
  if (sixteen) {
    for (size_t x = 0; x < width; ++x)
      for (int c = 0; c < kChannels; ++c) {
        const uint8_t* sample = row + (x * kChannels + size_t(c)) * 2;
        const auto v = static_cast<uint16_t>(sample[0] << 8 | sample[1]);
        std::memcpy(planes[c] + 2 * x, &v, 2);
      }
  } else {
    for (size_t x = 0; x < width; ++x)
      for (int c = 0; c < kChannels; ++c) planes[c][x] = row[x * kChannels + size_t(c)];
  }
}

void ScatterRow(const uint8_t* row, int32_t y, bool sixteen, PlanarImage& image) {
  switch (image.Channels()) {
    case 1: ScatterRow<1>(row, y, sixteen, image); break;
    case 2: ScatterRow<2>(row, y, sixteen, image); break;
    case 3: ScatterRow<3>(row, y, sixteen, image); break;
    default: ScatterRow<4>(row, y, sixteen, image); break;
  }
}

// Reads a file the row reader takes into `image`. False when the file is not
// one it takes or its data is not exactly what the header promises; stb then
// reads it (and says what is wrong with it, if anything).
bool ReadRows(const FileBytes& bytes, PlanarImage& image) {
  PngHeader header;
  std::vector<std::pair<size_t, size_t>> idat;
  if (!RowReaderTakes(bytes, header, idat)) return false;
  const int channels = ChannelsOfColourType(header.colourType);
  const size_t pixelBytes = size_t(channels) * size_t(header.bits / 8);
  const size_t rowBytes = size_t(header.width) * pixelBytes;
  PlanarImage decoded;
  decoded.Allocate(static_cast<int32_t>(header.width), static_cast<int32_t>(header.height), header.bits, channels);
  // Two rows, each after its filter byte; the row above starts as zeros.
  std::vector<uint8_t> rows(2 * (1 + rowBytes), 0);
  uint8_t* current = rows.data();
  uint8_t* above = rows.data() + 1 + rowBytes;

  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&z, inflateEnd);
  size_t chunk = 0;
  int result = Z_OK;
  // Inflates into `to` until `count` bytes are out; false on an error or at
  // the stream's end before that.
  const auto inflateInto = [&](uint8_t* to, size_t count) {
    z.next_out = to;
    z.avail_out = static_cast<uInt>(count);
    while (z.avail_out > 0) {
      while (z.avail_in == 0 && chunk < idat.size()) {
        z.next_in = const_cast<Bytef*>(bytes.data() + idat[chunk].first);
        z.avail_in = static_cast<uInt>(idat[chunk].second);
        ++chunk;
      }
      if (z.avail_in == 0) return false;
      result = inflate(&z, Z_NO_FLUSH);
      if (result == Z_STREAM_END) return z.avail_out == 0;
      if (result != Z_OK) return false;
    }
    return true;
  };
  for (uint32_t y = 0; y < header.height; ++y) {
    if (!inflateInto(current, 1 + rowBytes)) return false;
    if (!Unfilter(current[0], current + 1, above + 1, rowBytes, pixelBytes)) return false;
    ScatterRow(current + 1, static_cast<int32_t>(y), header.bits == 16, decoded);
    std::swap(current, above);
  }
  // The stream must end here: stb refuses a file with more data than rows.
  if (result != Z_STREAM_END) {
    uint8_t extra = 0;
    if (inflateInto(&extra, 1) || result != Z_STREAM_END) return false;
  }
  image = std::move(decoded);
  return true;
}

// ---- writing -------------------------------------------------------------------

// Deflate output is cut into IDAT chunks of this size.
constexpr size_t kIdatBytes = size_t(1) << 18;

void PutBig32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

bool PutChunk(FILE* f, const char* type, const uint8_t* data, size_t size) {
  uint8_t head[8];
  PutBig32(head, static_cast<uint32_t>(size));
  std::memcpy(head + 4, type, 4);
  uLong crc = crc32(0, head + 4, 4);
  if (size > 0) crc = crc32(crc, data, static_cast<uInt>(size));
  uint8_t tail[4];
  PutBig32(tail, static_cast<uint32_t>(crc));
  return std::fwrite(head, 1, 8, f) == 8 && (size == 0 || std::fwrite(data, 1, size, f) == size) &&
         std::fwrite(tail, 1, 4, f) == 4;
}

// Row y of every plane, interleaved in the file's order (16-bit samples
// big-endian).
void InterleaveRow(const PlanarImage& image, int32_t y, uint8_t* line) {
  const auto channels = static_cast<size_t>(image.Channels());
  const auto width = static_cast<size_t>(image.width);
  for (size_t c = 0; c < channels; ++c) {
    const uint8_t* src = image.Row(static_cast<int32_t>(c), y);
    if (image.depth == 16) {
      for (size_t x = 0; x < width; ++x) {
        uint16_t v;
        std::memcpy(&v, src + 2 * x, 2);
        line[(x * channels + c) * 2] = static_cast<uint8_t>(v >> 8);
        line[(x * channels + c) * 2 + 1] = static_cast<uint8_t>(v);
      }
    } else {
      for (size_t x = 0; x < width; ++x) line[x * channels + c] = src[x];
    }
  }
}

bool WriteStream(FILE* f, const PlanarImage& image) {
  const auto channels = static_cast<size_t>(image.Channels());
  const size_t pixelBytes = channels * static_cast<size_t>(image.BytesPerSample());
  const size_t lineBytes = static_cast<size_t>(image.width) * pixelBytes;

  static const uint8_t kColourType[] = {0, 0, 4, 2, 6};  // by channel count
  uint8_t header[13];
  PutBig32(header, static_cast<uint32_t>(image.width));
  PutBig32(header + 4, static_cast<uint32_t>(image.height));
  const uint8_t rest[5] = {static_cast<uint8_t>(image.depth), kColourType[channels], 0, 0, 0};
  std::memcpy(header + 8, rest, 5);
  if (std::fwrite(kSignature, 1, sizeof kSignature, f) != sizeof kSignature ||
      !PutChunk(f, "IHDR", header, sizeof header))
    return false;

  z_stream z{};
  // Level 1 with run-length matches only: the Sub filter turns smooth areas
  // into runs and small numbers, which this catches at a fraction of the time
  // a full match search takes (see docs/host.md for the sizes).
  if (deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) return false;
  const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&z, deflateEnd);
  std::vector<uint8_t> line(lineBytes), filtered(1 + lineBytes), out(kIdatBytes);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  auto emitFull = [&]() {
    if (z.avail_out != 0) return true;
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    return PutChunk(f, "IDAT", out.data(), out.size());
  };
  for (int32_t y = 0; y < image.height; ++y) {
    InterleaveRow(image, y, line.data());
    filtered[0] = 1;  // Sub: each byte less the same byte of the pixel to its left
    std::memcpy(&filtered[1], line.data(), std::min(pixelBytes, lineBytes));
    for (size_t i = pixelBytes; i < lineBytes; ++i) filtered[1 + i] = static_cast<uint8_t>(line[i] - line[i - pixelBytes]);
    z.next_in = filtered.data();
    z.avail_in = static_cast<uInt>(filtered.size());
    while (z.avail_in > 0) {
      if (deflate(&z, Z_NO_FLUSH) == Z_STREAM_ERROR || !emitFull()) return false;
    }
  }
  for (;;) {
    const int r = deflate(&z, Z_FINISH);
    if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) return false;
    if (r == Z_STREAM_END) {
      const size_t have = out.size() - z.avail_out;
      if (have > 0 && !PutChunk(f, "IDAT", out.data(), have)) return false;
      break;
    }
    if (!emitFull()) return false;
  }
  return PutChunk(f, "IEND", nullptr, 0);
}

}  // namespace

bool ReadPng(const std::string& path, PlanarImage& image, std::string& error) {
  return ReadPngWith(path, image, error, PngReader::kRows);
}

bool ReadPngWith(const std::string& path, PlanarImage& image, std::string& error, PngReader reader) {
  FileBytes bytes;
  int w = 0, h = 0, channels = 0;
  bool sixteen = false;
  if (!OpenPng(path, bytes, w, h, channels, sixteen, error)) return false;
  if (reader == PngReader::kRows && ReadRows(bytes, image)) return true;
  const auto size = static_cast<int>(bytes.size());
  int dw = 0, dh = 0, dc = 0;
  PlanarImage decoded;
  if (sixteen) {
    std::unique_ptr<stbi_us, StbFree> pixels(stbi_load_16_from_memory(bytes.data(), size, &dw, &dh, &dc, 0));
    if (!pixels) {
      error = DecodeError(path);
      return false;
    }
    bytes.Release();
    decoded.Allocate(dw, dh, 16, dc);
    Deinterleave(pixels.get(), dc, decoded);
  } else {
    std::unique_ptr<stbi_uc, StbFree> pixels(stbi_load_from_memory(bytes.data(), size, &dw, &dh, &dc, 0));
    if (!pixels) {
      error = DecodeError(path);
      return false;
    }
    bytes.Release();
    decoded.Allocate(dw, dh, 8, dc);
    Deinterleave(pixels.get(), dc, decoded);
  }
  image = std::move(decoded);
  return true;
}

bool ReadGrayPng(const std::string& path, PlanarImage& image, std::string& error) {
  FileBytes bytes;
  int w = 0, h = 0, channels = 0;
  bool sixteen = false;
  if (!OpenPng(path, bytes, w, h, channels, sixteen, error)) return false;
  std::unique_ptr<stbi_uc, StbFree> pixels(
      stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &channels, 1));
  if (!pixels) {
    error = DecodeError(path);
    return false;
  }
  image.Allocate(w, h, 8, 1);
  std::memcpy(image.planes[0].data(), pixels.get(), image.PlaneBytes());
  return true;
}

bool WritePng(const std::string& path, const PlanarImage& image, std::string& error) {
  if (image.Channels() < 1 || image.Channels() > 4 || (image.depth != 8 && image.depth != 16)) {
    error = "cannot write " + path + ": only 1 to 4 channels of 8 or 16 bits can be written";
    return false;
  }
  const std::string partial = path + kPartialSuffix;
  FILE* f = std::fopen(partial.c_str(), "wb");
  if (f == nullptr) {
    error = "cannot create " + partial + ": " + std::strerror(errno);
    return false;
  }
  std::setvbuf(f, nullptr, _IOFBF, size_t(1) << 20);
  const bool written = WriteStream(f, image);
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    error = "cannot write " + partial + ": " + std::strerror(errno);
    DeleteFileA(partial.c_str());
    return false;
  }
  if (!MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = "cannot replace " + path + ": " + SystemMessage(GetLastError());
    DeleteFileA(partial.c_str());
    return false;
  }
  return true;
}
