// PNG files as planar documents: one buffer per channel, 8 or 16 bits per
// sample (16-bit samples in the machine's byte order, full 0..65535 range).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// A plane's bytes. Growing one leaves the new bytes as they are instead of
// zeroing them: the first write to each page of fresh memory is what a large
// image costs most, and whoever fills a plane decides which thread pays it.
template <typename T>
struct PlaneAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = PlaneAllocator<U>;
  };
  PlaneAllocator() = default;
  template <typename U>
  PlaneAllocator(const PlaneAllocator<U>&) noexcept {}
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;  // default-initialised: bytes stay as they are
  }
};
using Plane = std::vector<uint8_t, PlaneAllocator<uint8_t>>;

struct PlanarImage {
  int32_t width = 0;
  int32_t height = 0;
  int32_t depth = 8;  // bits per sample: 8 or 16
  std::vector<Plane> planes;

  int32_t Channels() const { return static_cast<int32_t>(planes.size()); }
  int32_t BytesPerSample() const { return depth / 8; }
  size_t PlaneBytes() const {
    return static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(BytesPerSample());
  }
  size_t RowBytes() const { return static_cast<size_t>(width) * static_cast<size_t>(BytesPerSample()); }
  // The bytes of row y of one plane.
  uint8_t* Row(int32_t plane, int32_t y) {
    return planes[static_cast<size_t>(plane)].data() + static_cast<size_t>(y) * RowBytes();
  }
  const uint8_t* Row(int32_t plane, int32_t y) const {
    return planes[static_cast<size_t>(plane)].data() + static_cast<size_t>(y) * RowBytes();
  }
  // Sample value at (x, y) of one plane, 0..255 or 0..65535.
  uint32_t Sample(int32_t plane, int32_t x, int32_t y) const;
  void SetSample(int32_t plane, int32_t x, int32_t y, uint32_t value);
  // Allocates `channels` zeroed planes.
  void Allocate(int32_t w, int32_t h, int32_t d, int32_t channels);
  // The same, but the planes' bytes are left unset (and their fresh pages
  // untouched): for a caller that writes every byte.
  void AllocateUnset(int32_t w, int32_t h, int32_t d, int32_t channels);
  bool SameShape(const PlanarImage& other) const {
    return width == other.width && height == other.height && depth == other.depth && Channels() == other.Channels();
  }
};

// Splits work(begin, end) over [0, count) between the calling thread and one
// more, when the machine has two processors or more and `count` is at least
// `worthIt`; otherwise, or when no thread can be made, the caller does it all.
// The halves are the same whoever does them, so the result does not depend
// on the number of threads.
void InTwoHalves(size_t count, size_t worthIt, const std::function<void(size_t begin, size_t end)>& work);

// Zeroed planes of one shape, made while the caller goes on: fresh memory
// costs more to touch than a large image costs to decode, and the two go on
// side by side on two processors. pmhost makes a run's destination this way
// while it reads the image: the row reader zeroes them beside its decoding,
// and for any other file a thread of the reserve's own makes them.
class PlaneReserve {
 public:
  PlaneReserve() = default;
  PlaneReserve(const PlaneReserve&) = delete;
  PlaneReserve& operator=(const PlaneReserve&) = delete;
  ~PlaneReserve();
  // Starts making planes of this shape, unless a reserve is made or being
  // made already. With one processor, or when no thread can be made, nothing
  // is made: a later Take finds none.
  void Start(int32_t width, int32_t height, int32_t depth, int32_t channels);
  // Keeps planes made (zeroed) elsewhere, for a later Take.
  void Keep(PlanarImage&& planes);
  // Waits until the planes are made, then moves them into `into` when they
  // have `like`'s shape (width, height and depth set as `like`'s) and returns
  // true; otherwise `into` is untouched, the planes are freed and the answer
  // is false.
  bool Take(const PlanarImage& like, PlanarImage& into);

 private:
  void Wait();
  void* thread_ = nullptr;
  PlanarImage planes_;
};

// The largest image pmhost takes: no side longer than the largest document
// of the filter interface, and at most 1 GiB of samples (the host keeps
// several copies of the document while a filter runs).
constexpr int32_t kMaxImageSide = 300000;
constexpr uint64_t kMaxImageSampleBytes = uint64_t(1) << 30;

// Reads a PNG of 1 to 4 channels; 16-bit files become 16-bit images. A file
// that is missing, not a PNG, truncated, damaged or too large fails with
// `error` saying which ("cannot read PATH: REASON"); `image` is then untouched.
// With `alike`, planes of the image's shape are made in it while the file is
// read (see PlaneReserve).
bool ReadPng(const std::string& path, PlanarImage& image, std::string& error, PlaneReserve* alike = nullptr);

// The same with the reader named: kRows reads the common files (not
// interlaced, 8 or 16 bits, no palette or transparency chunk) row by row with
// zlib, touching little memory besides the planes, and gives every other file
// to kStb; kStb is stb's reader for every file. Both give the same pixels.
enum class PngReader { kRows, kStb };
bool ReadPngWith(const std::string& path, PlanarImage& image, std::string& error, PngReader reader,
                 PlaneReserve* alike = nullptr);

// Reads any PNG as one 8-bit gray plane (a selection mask).
bool ReadGrayPng(const std::string& path, PlanarImage& image, std::string& error);

// Writes 1 to 4 channels at 8 or 16 bits. The file appears complete or not
// at all: it is written beside `path` under a temporary name and renamed over
// `path` only when every byte is out. Compression favours speed (a working
// file): the Sub filter on every row, then deflate with run-length matches
// only (zlib's Z_RLE strategy), in bands of rows packed on one thread per
// processor; bands of evenly spread bytes (noise) are stored.
bool WritePng(const std::string& path, const PlanarImage& image, std::string& error);
// The same with the number of packing threads besides the caller's named (0:
// the caller packs every band). The file's bytes do not depend on it.
bool WritePngWith(const std::string& path, const PlanarImage& image, std::string& error, int threads);

// The suffix of the temporary file that WritePng renames into place.
constexpr const char* kPartialSuffix = ".pmhost-partial";
