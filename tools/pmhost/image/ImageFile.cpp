#include "ImageFile.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include "stb_image.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
  // Each plane zeroed in place, its bytes written once: a template plane
  // copied into each would touch every byte twice, and fresh memory is what
  // a large image costs most.
  AllocateUnset(w, h, d, channels);
  for (auto& plane : planes) std::fill(plane.begin(), plane.end(), uint8_t(0));
}

void PlanarImage::AllocateUnset(int32_t w, int32_t h, int32_t d, int32_t channels) {
  width = w;
  height = h;
  depth = d;
  planes.clear();
  planes.resize(static_cast<size_t>(channels));
  for (auto& plane : planes) plane.resize(PlaneBytes());
}

namespace {

// Processors the process may use: two or more make a second thread worth it.
int Processors() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  return static_cast<int>(system.dwNumberOfProcessors);
}

struct Half {
  const std::function<void(size_t, size_t)>* work;
  size_t begin, end;
  static DWORD WINAPI Run(void* self) {
    const auto* h = static_cast<const Half*>(self);
    (*h->work)(h->begin, h->end);
    return 0;
  }
};

}  // namespace

void InTwoHalves(size_t count, size_t worthIt, const std::function<void(size_t, size_t)>& work) {
  const size_t middle = count / 2;
  HANDLE other = nullptr;
  Half second{&work, middle, count};
  if (count >= worthIt && count >= 2 && Processors() >= 2)
    other = CreateThread(nullptr, 0, &Half::Run, &second, 0, nullptr);
  if (other == nullptr) {
    work(0, middle);
    work(middle, count);
    return;
  }
  work(0, middle);
  WaitForSingleObject(other, INFINITE);
  CloseHandle(other);
}

namespace {

// Out of memory here leaves no reserve: the run then allocates its planes
// itself, and says so if it cannot.
DWORD WINAPI MakeReserve(void* planes) {
  auto* image = static_cast<PlanarImage*>(planes);
  try {
    image->Allocate(image->width, image->height, image->depth, image->Channels());
  } catch (const std::bad_alloc&) {
    image->planes.clear();
  }
  return 0;
}

}  // namespace

PlaneReserve::~PlaneReserve() { Wait(); }

void PlaneReserve::Keep(PlanarImage&& planes) {
  Wait();
  planes_ = std::move(planes);
}

void PlaneReserve::Start(int32_t width, int32_t height, int32_t depth, int32_t channels) {
  if (thread_ != nullptr || !planes_.planes.empty() || Processors() < 2) return;
  planes_.width = width;
  planes_.height = height;
  planes_.depth = depth;
  planes_.planes.resize(static_cast<size_t>(channels));  // the shape; the thread allocates them
  thread_ = CreateThread(nullptr, 0, &MakeReserve, &planes_, 0, nullptr);
  if (thread_ == nullptr) planes_ = PlanarImage{};
}

void PlaneReserve::Wait() {
  if (thread_ == nullptr) return;
  WaitForSingleObject(static_cast<HANDLE>(thread_), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread_));
  thread_ = nullptr;
}

bool PlaneReserve::Take(const PlanarImage& like, PlanarImage& into) {
  Wait();
  PlanarImage made = std::move(planes_);
  planes_ = PlanarImage{};
  if (made.planes.empty() || !made.SameShape(like)) return false;
  into = std::move(made);
  return true;
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

#if defined(__SSE2__)
// Sub, Average and Paeth undone for pixels of four bytes (8-bit RGBA, 16-bit
// gray and alpha), a pixel at a time in the low lanes of a register: each
// pixel depends on the one to its left, so the bytes of one pixel are what
// can go side by side. Paeth's choice in 16-bit lanes, ties as the rule has
// them: left, then above, then above-left.
bool UnfilterFourBytePixels(uint8_t filter, uint8_t* row, const uint8_t* above, size_t bytes) {
  const auto load = [](const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
  };
  const auto store = [](uint8_t* p, __m128i v) {
    const int32_t x = _mm_cvtsi128_si32(v);
    std::memcpy(p, &x, 4);
  };
  const __m128i zero = _mm_setzero_si128();
  __m128i left = zero;
  if (filter == 1) {
    for (size_t i = 0; i < bytes; i += 4) {
      left = _mm_add_epi8(load(row + i), left);
      store(row + i, left);
    }
  } else if (filter == 3) {
    const __m128i ones = _mm_set1_epi8(1);
    for (size_t i = 0; i < bytes; i += 4) {
      const __m128i up = load(above + i);
      // (left + up) / 2 rounded down: the rounded-up mean less the odd bit.
      const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(left, up), _mm_and_si128(_mm_xor_si128(left, up), ones));
      left = _mm_add_epi8(load(row + i), mean);
      store(row + i, left);
    }
  } else {
    const auto absolute = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    __m128i a = zero, c = zero;  // left and above-left, in 16-bit lanes
    for (size_t i = 0; i < bytes; i += 4) {
      const __m128i b = _mm_unpacklo_epi8(load(above + i), zero);
      const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c);
      const __m128i pa = absolute(bc), pb = absolute(ac), pc = absolute(_mm_add_epi16(bc, ac));
      const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
      const __m128i notB = _mm_cmpgt_epi16(pb, pc);
      const __m128i bOrC = _mm_or_si128(_mm_andnot_si128(notB, b), _mm_and_si128(notB, c));
      const __m128i predicted = _mm_or_si128(_mm_andnot_si128(notA, a), _mm_and_si128(notA, bOrC));
      const __m128i value = _mm_add_epi8(load(row + i), _mm_packus_epi16(predicted, zero));
      store(row + i, value);
      a = _mm_unpacklo_epi8(value, zero);
      c = b;
    }
  }
  return true;
}
#endif

// Undoes a row's filter in place, against the row above (zeros for the first).
bool Unfilter(uint8_t filter, uint8_t* row, const uint8_t* above, size_t bytes, size_t pixelBytes) {
#if defined(__SSE2__)
  if (pixelBytes == 4 && (filter == 1 || filter == 3 || filter == 4))
    return UnfilterFourBytePixels(filter, row, above, bytes);
  if (filter == 2) {
    size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
      const __m128i up = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + i));
      auto* at = reinterpret_cast<__m128i*>(row + i);
      _mm_storeu_si128(at, _mm_add_epi8(_mm_loadu_si128(at), up));
    }
    for (; i < bytes; ++i) row[i] = static_cast<uint8_t>(row[i] + above[i]);
    return true;
  }
#endif
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

// Fresh memory for a large image, made while the file is decoded. The first
// write to each page a process has just been given is what reading a large
// image costs most (more than decoding it), and it goes on as well on a
// second processor. A thread of its own touches the decoded planes' pages,
// a band of rows at a time from the last band upwards, while the decoder
// writes its rows from the first band down; where they meet, the thread goes
// on to zero a block of planes for later (the run's destination), and what is
// left of that block when the decoder is done, both threads zero. Neither
// side waits for the other but at the band where they meet.
//
// Each band is taken by one side only: the decoder takes the lowest band
// left, the toucher the highest, both from one atomic pair of bounds. The
// toucher writes only the first byte of each page that starts inside its
// band, and the decoder writes into a band the toucher took only after the
// toucher is done with it: no byte is ever written by both.
class PageToucher {
 public:
  PageToucher(PlanarImage& image, PlanarImage* later) : image_(image), later_(later) {
    const size_t rowBytes = image.RowBytes();
    if (later != nullptr) laterChunks_ = (later->PlaneBytes() + kChunkBytes - 1) / kChunkBytes;
    if (rowBytes == 0 || image.PlaneBytes() * size_t(image.Channels()) < kWorthIt || Processors() < 2) return;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    page_ = system.dwPageSize != 0 ? system.dwPageSize : 4096;
    rowsPerBand_ = static_cast<int32_t>(std::max<size_t>(1, kChunkBytes / rowBytes));
    const auto bands = static_cast<uint32_t>((image.height + rowsPerBand_ - 1) / rowsPerBand_);
    bounds_.store(Pack(0, bands));
    touchedFrom_.store(bands);
    thread_ = CreateThread(nullptr, 0, &PageToucher::Run, this, 0, nullptr);
  }
  PageToucher(const PageToucher&) = delete;
  PageToucher& operator=(const PageToucher&) = delete;
  // Leaves the rest untouched (the decoder failed, the block is dropped).
  ~PageToucher() {
    bounds_.store(0);
    laterNext_.store(laterChunks_);
    Join();
  }

  // Called before the decoder writes row y, rows in order.
  void Enter(int32_t y) {
    if (thread_ == nullptr) return;
    const auto band = static_cast<uint32_t>(y / rowsPerBand_);
    if (int32_t(band) == entered_) return;
    entered_ = int32_t(band);
    // Every band below this one is taken, so the lower bound is this band.
    for (uint64_t bounds = bounds_.load(); band < High(bounds);)
      if (bounds_.compare_exchange_weak(bounds, Pack(band + 1, High(bounds)))) return;  // the decoder's own
    for (int spins = 0; touchedFrom_.load(std::memory_order_acquire) > band; ++spins) {
      if (spins < 64) YieldProcessor();
      else SwitchToThread();
    }
  }

  // After the last row: zeroes what is left of the later block, beside the
  // toucher, and waits for it. The later block is then all zeros.
  void Finish() {
    while (ZeroLaterChunk()) {
    }
    Join();
  }

 private:
  static constexpr size_t kWorthIt = size_t(8) << 20;      // bytes of planes
  static constexpr size_t kChunkBytes = size_t(64) << 10;  // of each plane, in a band or a chunk

  static uint64_t Pack(uint32_t low, uint32_t high) { return uint64_t(high) << 32 | low; }
  static uint32_t Low(uint64_t bounds) { return static_cast<uint32_t>(bounds); }
  static uint32_t High(uint64_t bounds) { return static_cast<uint32_t>(bounds >> 32); }

  static DWORD WINAPI Run(void* self) {
    static_cast<PageToucher*>(self)->Touch();
    return 0;
  }

  void Join() {
    if (thread_ == nullptr) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }

  // Takes the next chunk of every later plane and zeroes it; false when none is left.
  bool ZeroLaterChunk() {
    const size_t chunk = laterNext_.fetch_add(1);
    if (chunk >= laterChunks_) return false;
    const size_t bytes = later_->PlaneBytes(), from = chunk * kChunkBytes;
    for (Plane& plane : later_->planes) std::memset(plane.data() + from, 0, std::min(kChunkBytes, bytes - from));
    return true;
  }

  void Touch() {
    const size_t rowBytes = image_.RowBytes();
    for (uint64_t bounds = bounds_.load(); Low(bounds) < High(bounds);) {
      const uint32_t band = High(bounds) - 1;
      if (!bounds_.compare_exchange_weak(bounds, Pack(Low(bounds), band))) continue;
      const size_t from = size_t(band) * size_t(rowsPerBand_) * rowBytes;
      const size_t to = std::min(size_t(band + 1) * size_t(rowsPerBand_), size_t(image_.height)) * rowBytes;
      for (Plane& plane : image_.planes) {
        uint8_t* base = plane.data();
        const uintptr_t first = (reinterpret_cast<uintptr_t>(base + from) + page_ - 1) / page_ * page_;
        for (uintptr_t at = first; at < reinterpret_cast<uintptr_t>(base + to); at += page_)
          *reinterpret_cast<volatile uint8_t*>(at) = 0;
      }
      touchedFrom_.store(band, std::memory_order_release);
      bounds = bounds_.load();
    }
    while (ZeroLaterChunk()) {
    }
  }

  PlanarImage& image_;
  PlanarImage* later_;
  HANDLE thread_ = nullptr;
  size_t page_ = 4096;
  int32_t rowsPerBand_ = 1;
  int32_t entered_ = -1;                // the decoder's band
  size_t laterChunks_ = 0;
  std::atomic<uint64_t> bounds_{0};     // the bands nobody has taken: [low, high)
  std::atomic<uint32_t> touchedFrom_{0};  // the toucher is done with every band it took from here up
  std::atomic<size_t> laterNext_{0};    // the first chunk of the later block nobody has taken
};

// Reads a file the row reader takes into `image`. False when the file is not
// one it takes or its data is not exactly what the header promises; stb then
// reads it (and says what is wrong with it, if anything).
bool ReadRows(const FileBytes& bytes, PlanarImage& image, PlaneReserve* alike) {
  PngHeader header;
  std::vector<std::pair<size_t, size_t>> idat;
  if (!RowReaderTakes(bytes, header, idat)) return false;
  const int channels = ChannelsOfColourType(header.colourType);
  const size_t pixelBytes = size_t(channels) * size_t(header.bits / 8);
  const size_t rowBytes = size_t(header.width) * pixelBytes;
  // Every byte of every row is written below (or the image is dropped).
  PlanarImage decoded, later;
  decoded.AllocateUnset(static_cast<int32_t>(header.width), static_cast<int32_t>(header.height), header.bits, channels);
  if (alike != nullptr) later.AllocateUnset(decoded.width, decoded.height, decoded.depth, channels);
  PageToucher toucher(decoded, alike != nullptr ? &later : nullptr);
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
    toucher.Enter(static_cast<int32_t>(y));
    ScatterRow(current + 1, static_cast<int32_t>(y), header.bits == 16, decoded);
    std::swap(current, above);
  }
  // The stream must end here: stb refuses a file with more data than rows.
  if (result != Z_STREAM_END) {
    uint8_t extra = 0;
    if (inflateInto(&extra, 1) || result != Z_STREAM_END) return false;
  }
  toucher.Finish();
  if (alike != nullptr) alike->Keep(std::move(later));
  image = std::move(decoded);
  return true;
}

// ---- writing -------------------------------------------------------------------
//
// The rows are filtered (Sub) and compressed in bands of a few hundred KiB,
// each band on its own: its deflate data starts afresh and ends on a full
// flush (byte-aligned, no match reaching back into the band before), so the
// bands can be packed on several threads at once and their data joined, in
// order, into one zlib stream whose checksum is combined from the bands'
// (adler32_combine). A band whose bytes are spread evenly over every value
// (noise) is stored rather than compressed: deflate could not make it smaller.
// The bands depend on the image's shape only, and each band's choice and data
// on its own bytes only: the file is the same however many threads wrote it.

void PutBig32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// One chunk whose data is the concatenation of `parts`.
struct Bytes {
  const uint8_t* data;
  size_t size;
};
bool PutChunk(FILE* f, const char* type, std::initializer_list<Bytes> parts) {
  size_t size = 0;
  for (const Bytes& b : parts) size += b.size;
  uint8_t head[8];
  PutBig32(head, static_cast<uint32_t>(size));
  std::memcpy(head + 4, type, 4);
  uLong crc = crc32(0, head + 4, 4);
  if (std::fwrite(head, 1, 8, f) != 8) return false;
  for (const Bytes& b : parts) {
    if (b.size == 0) continue;
    crc = crc32_z(crc, b.data, b.size);
    if (std::fwrite(b.data, 1, b.size, f) != b.size) return false;
  }
  uint8_t tail[4];
  PutBig32(tail, static_cast<uint32_t>(crc));
  return std::fwrite(tail, 1, 4, f) == 4;
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

// Row y filtered with Sub, in the file's order: each byte less the same byte
// of the pixel to its left (the first pixel as it is).
void SubFilteredRow(const PlanarImage& image, int32_t y, uint8_t* line) {
  const size_t pixelBytes = size_t(image.Channels()) * size_t(image.BytesPerSample());
  const size_t lineBytes = size_t(image.width) * pixelBytes;
#if defined(__SSE2__)
  // 8-bit RGBA, sixteen pixels at a time: each plane less itself one pixel
  // to the left, then the four planes interleaved.
  if (image.depth == 8 && image.Channels() == 4) {
    const uint8_t* planes[4];
    for (int c = 0; c < 4; ++c) planes[c] = image.Row(c, y);
    size_t x = 0;
    for (; x + 16 <= size_t(image.width); x += 16) {
      __m128i d[4];
      for (int c = 0; c < 4; ++c) {
        const __m128i now = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[c] + x));
        const __m128i left = x == 0 ? _mm_slli_si128(now, 1)
                                    : _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[c] + x - 1));
        d[c] = _mm_sub_epi8(now, left);
      }
      const __m128i rgLow = _mm_unpacklo_epi8(d[0], d[1]), baLow = _mm_unpacklo_epi8(d[2], d[3]);
      const __m128i rgHigh = _mm_unpackhi_epi8(d[0], d[1]), baHigh = _mm_unpackhi_epi8(d[2], d[3]);
      auto* out = reinterpret_cast<__m128i*>(line + 4 * x);
      _mm_storeu_si128(out, _mm_unpacklo_epi16(rgLow, baLow));
      _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(rgLow, baLow));
      _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(rgHigh, baHigh));
      _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(rgHigh, baHigh));
    }
    for (; x < size_t(image.width); ++x)
      for (int c = 0; c < 4; ++c) line[4 * x + size_t(c)] = static_cast<uint8_t>(planes[c][x] - (x > 0 ? planes[c][x - 1] : 0));
    return;
  }
#endif
  InterleaveRow(image, y, line);
  for (size_t i = lineBytes; i-- > pixelBytes;) line[i] = static_cast<uint8_t>(line[i] - line[i - pixelBytes]);
}

// True when deflate could not gain more than a few percent on these bytes:
// their values are spread evenly (256 times the sum of the squared counts
// of each value at most 33/32 of the count squared: an entropy of at least
// 7.95 bits a byte, which no Huffman code beats by more than 0.6 %) and
// hardly any byte repeats the one before it (the runs deflate's matches
// would take). Integer arithmetic: the same answer on every machine.
bool LooksIncompressible(const uint8_t* data, size_t n) {
  if (n < 4096) return false;
  // Four tallies taken in turn, so that a run of one value does not wait on
  // its own count.
  uint32_t counts[4][256] = {};
  size_t repeats = 0;
  ++counts[0][data[0]];
  size_t i = 1;
  for (; i + 4 <= n; i += 4) {
    ++counts[1][data[i]];
    ++counts[2][data[i + 1]];
    ++counts[3][data[i + 2]];
    ++counts[0][data[i + 3]];
    repeats += size_t(data[i] == data[i - 1]) + size_t(data[i + 1] == data[i]) + size_t(data[i + 2] == data[i + 1]) +
               size_t(data[i + 3] == data[i + 2]);
  }
  for (; i < n; ++i) {
    ++counts[0][data[i]];
    repeats += data[i] == data[i - 1];
  }
  uint64_t squares = 0;
  for (size_t v = 0; v < 256; ++v) {
    const uint64_t c = uint64_t(counts[0][v]) + counts[1][v] + counts[2][v] + counts[3][v];
    squares += c * c;
  }
  return squares * 256 * 32 <= uint64_t(n) * n * 33 && repeats * 128 <= n;
}

class PngBandWriter {
 public:
  explicit PngBandWriter(const PlanarImage& image) : image_(image) {
    const size_t pixelBytes = size_t(image.Channels()) * size_t(image.BytesPerSample());
    lineBytes_ = size_t(image.width) * pixelBytes;
    pixelBytes_ = pixelBytes;
    rowsPerBand_ = static_cast<int32_t>(std::max<size_t>(1, kBandBytes / (1 + lineBytes_)));
    bands_ = (image.height + rowsPerBand_ - 1) / rowsPerBand_;
  }

  // Writes the IDAT chunks, packing the bands on `threads` threads besides
  // this one (none: this thread packs each band before writing it).
  bool Write(FILE* f, int threads) {
    if (threads <= 0 || bands_ < 2) return WriteAlone(f);
    slots_.resize(size_t(2 * threads));
    std::vector<HANDLE> workers;
    for (int t = 0; t < threads; ++t) {
      HANDLE h = CreateThread(nullptr, 0, &PngBandWriter::Worker, this, 0, nullptr);
      if (h != nullptr) workers.push_back(h);
    }
    bool ok = true;
    if (workers.empty()) {
      ok = WriteAlone(f);
    } else {
      for (int32_t b = 0; b < bands_ && ok; ++b) {
        Slot& slot = slots_[size_t(b) % slots_.size()];
        AcquireSRWLockExclusive(&lock_);
        while (!(slot.band == b && slot.done) && !failed_) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        ok = !failed_;
        ReleaseSRWLockExclusive(&lock_);
        ok = ok && Emit(f, b, slot);
        AcquireSRWLockExclusive(&lock_);
        if (!ok) failed_ = true;
        slot.band = -1;
        slot.done = false;
        ++written_;
        ReleaseSRWLockExclusive(&lock_);
        WakeAllConditionVariable(&changed_);
      }
    }
    if (!ok) {
      AcquireSRWLockExclusive(&lock_);
      failed_ = true;
      ReleaseSRWLockExclusive(&lock_);
      WakeAllConditionVariable(&changed_);
    }
    WaitForMultipleObjects(static_cast<DWORD>(workers.size()), workers.data(), TRUE, INFINITE);
    for (HANDLE h : workers) CloseHandle(h);
    return ok;
  }

 private:
  static constexpr size_t kBandBytes = size_t(1) << 18;

  // What one band became, and which band a slot holds (-1: none).
  struct Slot {
    std::vector<uint8_t> filtered, packed;
    size_t rawBytes = 0, packedBytes = 0;
    uLong adler = 1;
    int32_t band = -1;
    bool done = false;
  };

  // A thread's two compressors: fast (level 1, runs only) and storing.
  struct Deflaters {
    z_stream fast{}, store{};
    bool ok = false;
    Deflaters() {
      const bool f = deflateInit2(&fast, 1, Z_DEFLATED, -15, 8, Z_RLE) == Z_OK;
      const bool s = deflateInit2(&store, 0, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
      ok = f && s;
      if (!f) fast.state = nullptr;
      if (!s) store.state = nullptr;
    }
    ~Deflaters() {
      if (fast.state != nullptr) deflateEnd(&fast);
      if (store.state != nullptr) deflateEnd(&store);
    }
    Deflaters(const Deflaters&) = delete;
    Deflaters& operator=(const Deflaters&) = delete;
  };

  // Filters and compresses band `b` into `slot`.
  bool Pack(int32_t b, Slot& slot, Deflaters& z) const {
    const int32_t top = b * rowsPerBand_, rows = std::min(rowsPerBand_, image_.height - top);
    const size_t stride = 1 + lineBytes_;
    slot.rawBytes = size_t(rows) * stride;
    slot.filtered.resize(slot.rawBytes);
    for (int32_t r = 0; r < rows; ++r) {
      uint8_t* line = slot.filtered.data() + size_t(r) * stride;
      line[0] = 1;  // Sub
      SubFilteredRow(image_, top + r, line + 1);
    }
    slot.adler = adler32_z(1, slot.filtered.data(), slot.rawBytes);
    z_stream& s = LooksIncompressible(slot.filtered.data(), slot.rawBytes) ? z.store : z.fast;
    if (deflateReset(&s) != Z_OK) return false;
    slot.packed.resize(std::max(slot.packed.size(), size_t(deflateBound(&s, uLong(slot.rawBytes))) + 64));
    s.next_in = slot.filtered.data();
    s.avail_in = static_cast<uInt>(slot.rawBytes);
    const int flush = b + 1 == bands_ ? Z_FINISH : Z_FULL_FLUSH;
    for (;;) {
      s.next_out = slot.packed.data() + s.total_out;
      s.avail_out = static_cast<uInt>(slot.packed.size() - s.total_out);
      const int r = deflate(&s, flush);
      if (r == Z_STREAM_ERROR) return false;
      if (r == Z_STREAM_END || (flush == Z_FULL_FLUSH && s.avail_in == 0 && s.avail_out > 0)) break;
      slot.packed.resize(slot.packed.size() * 2);
    }
    slot.packedBytes = s.total_out;
    return true;
  }

  // Writes band b's data as one IDAT chunk: the zlib header before the first,
  // the whole stream's checksum after the last.
  bool Emit(FILE* f, int32_t b, const Slot& slot) {
    static const uint8_t kZlibHeader[2] = {0x78, 0x01};
    adler_ = b == 0 ? slot.adler : adler32_combine(adler_, slot.adler, static_cast<z_off_t>(slot.rawBytes));
    uint8_t check[4];
    PutBig32(check, static_cast<uint32_t>(adler_));
    const bool last = b + 1 == bands_;
    return PutChunk(f, "IDAT", {{kZlibHeader, b == 0 ? 2u : 0u}, {slot.packed.data(), slot.packedBytes},
                                {check, last ? 4u : 0u}});
  }

  bool WriteAlone(FILE* f) {
    Deflaters z;
    if (!z.ok) return false;
    Slot slot;
    for (int32_t b = 0; b < bands_; ++b)
      if (!Pack(b, slot, z) || !Emit(f, b, slot)) return false;
    return true;
  }

  static DWORD WINAPI Worker(void* self) {
    static_cast<PngBandWriter*>(self)->Work();
    return 0;
  }

  // Takes the next band, waits until its slot is free (the writer has taken
  // the band before it that used the slot), packs it and hands it over.
  void Work() {
    Deflaters z;
    for (;;) {
      AcquireSRWLockExclusive(&lock_);
      if (!z.ok) failed_ = true;
      const int32_t b = next_++;
      while (!failed_ && b < bands_ && b - written_ >= static_cast<int32_t>(slots_.size()))
        SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
      const bool stop = failed_ || b >= bands_;
      Slot* slot = stop ? nullptr : &slots_[size_t(b) % slots_.size()];
      if (slot != nullptr) slot->band = b;
      ReleaseSRWLockExclusive(&lock_);
      if (stop) {
        WakeAllConditionVariable(&changed_);
        return;
      }
      const bool ok = Pack(b, *slot, z);
      AcquireSRWLockExclusive(&lock_);
      slot->done = true;
      if (!ok) failed_ = true;
      ReleaseSRWLockExclusive(&lock_);
      WakeAllConditionVariable(&changed_);
    }
  }

  const PlanarImage& image_;
  size_t lineBytes_ = 0, pixelBytes_ = 0;
  int32_t rowsPerBand_ = 1, bands_ = 0;
  uLong adler_ = 1;
  std::vector<Slot> slots_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  int32_t next_ = 0, written_ = 0;
  bool failed_ = false;
};

bool WriteStream(FILE* f, const PlanarImage& image, int threads) {
  static const uint8_t kColourType[] = {0, 0, 4, 2, 6};  // by channel count
  uint8_t header[13];
  PutBig32(header, static_cast<uint32_t>(image.width));
  PutBig32(header + 4, static_cast<uint32_t>(image.height));
  const uint8_t rest[5] = {static_cast<uint8_t>(image.depth), kColourType[image.Channels()], 0, 0, 0};
  std::memcpy(header + 8, rest, 5);
  if (std::fwrite(kSignature, 1, sizeof kSignature, f) != sizeof kSignature ||
      !PutChunk(f, "IHDR", {{header, sizeof header}}))
    return false;
  PngBandWriter bands(image);
  return bands.Write(f, threads) && PutChunk(f, "IEND", {});
}

// Threads besides the calling one that pack bands: one per processor, as
// two at least are worth a thread.
int PackingThreads() {
  const int processors = Processors();
  return processors >= 2 ? std::min(processors, 8) : 0;
}

}  // namespace

bool ReadPng(const std::string& path, PlanarImage& image, std::string& error, PlaneReserve* alike) {
  return ReadPngWith(path, image, error, PngReader::kRows, alike);
}

bool ReadPngWith(const std::string& path, PlanarImage& image, std::string& error, PngReader reader,
                 PlaneReserve* alike) {
  FileBytes bytes;
  int w = 0, h = 0, channels = 0;
  bool sixteen = false;
  if (!OpenPng(path, bytes, w, h, channels, sixteen, error)) return false;
  if (reader == PngReader::kRows && ReadRows(bytes, image, alike)) return true;
  if (alike != nullptr) alike->Start(w, h, sixteen ? 16 : 8, channels);
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
  return WritePngWith(path, image, error, -1);
}

bool WritePngWith(const std::string& path, const PlanarImage& image, std::string& error, int threads) {
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
  const bool written = WriteStream(f, image, threads < 0 ? PackingThreads() : threads);
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
