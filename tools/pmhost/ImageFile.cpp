#include "ImageFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "stb_image.h"
#include "stb_image_write.h"

// Part of stb_image_write's implementation but not of its header: the same
// deflate that its 8-bit PNG writer uses, reused for 16-bit files.
extern "C" unsigned char* stbi_zlib_compress(unsigned char* data, int data_len, int* out_len, int quality);

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
  planes.assign(static_cast<size_t>(channels), std::vector<uint8_t>(PlaneBytes(), 0));
}

namespace {

struct StbFree {
  void operator()(void* p) const { stbi_image_free(p); }
};

template <typename Sample>
void Deinterleave(const Sample* pixels, int32_t channels, PlanarImage& image) {
  const size_t count = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  for (int32_t c = 0; c < channels; ++c) {
    auto* plane = reinterpret_cast<Sample*>(image.planes[static_cast<size_t>(c)].data());
    for (size_t i = 0; i < count; ++i) plane[i] = pixels[i * static_cast<size_t>(channels) + static_cast<size_t>(c)];
  }
}

// Decodes with `load`, stb's 8- or 16-bit reader, into planes of `depth` bits.
template <typename Sample>
bool Decode(const std::string& path, Sample* (*load)(const char*, int*, int*, int*, int), int32_t depth,
            PlanarImage& image, std::string& error) {
  int w = 0, h = 0, channels = 0;
  std::unique_ptr<Sample, StbFree> pixels(load(path.c_str(), &w, &h, &channels, 0));
  if (!pixels) {
    error = "cannot decode " + path;
    return false;
  }
  image.Allocate(w, h, depth, channels);
  Deinterleave(pixels.get(), channels, image);
  return true;
}

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBig32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t size) {
  PutBig32(out, static_cast<uint32_t>(size));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  if (size > 0) out.insert(out.end(), data, data + size);
  PutBig32(out, Crc32(out.data() + start, size + 4));
}

bool WritePng16(const std::string& path, const PlanarImage& image, std::string& error) {
  const auto channels = static_cast<size_t>(image.Channels());
  const auto width = static_cast<size_t>(image.width);
  const size_t rowSize = 1 + width * channels * 2;
  std::vector<uint8_t> raw(rowSize * static_cast<size_t>(image.height));
  for (int32_t y = 0; y < image.height; ++y) {
    uint8_t* row = raw.data() + static_cast<size_t>(y) * rowSize;
    row[0] = 0;  // no scanline filter
    for (int32_t x = 0; x < image.width; ++x)
      for (size_t c = 0; c < channels; ++c) {
        const uint32_t v = image.Sample(static_cast<int32_t>(c), x, y);
        uint8_t* at = row + 1 + (static_cast<size_t>(x) * channels + c) * 2;
        at[0] = static_cast<uint8_t>(v >> 8);
        at[1] = static_cast<uint8_t>(v);
      }
  }
  int zlen = 0;
  std::unique_ptr<unsigned char, decltype(&std::free)> z(
      stbi_zlib_compress(raw.data(), static_cast<int>(raw.size()), &zlen, 8), &std::free);
  if (!z) {
    error = "cannot compress the image data";
    return false;
  }
  static const uint8_t kColourType[] = {0, 0, 4, 2, 6};  // by channel count
  std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<uint8_t> header;
  PutBig32(header, static_cast<uint32_t>(image.width));
  PutBig32(header, static_cast<uint32_t>(image.height));
  header.insert(header.end(), {16, kColourType[channels], 0, 0, 0});
  PutChunk(file, "IHDR", header.data(), header.size());
  PutChunk(file, "IDAT", z.get(), static_cast<size_t>(zlen));
  PutChunk(file, "IEND", nullptr, 0);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    error = "cannot create " + path;
    return false;
  }
  const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  const bool closed = std::fclose(f) == 0;
  if (!ok || !closed) error = "cannot write " + path;
  return ok && closed;
}

}  // namespace

bool ReadPng(const std::string& path, PlanarImage& image, std::string& error) {
  int w = 0, h = 0, channels = 0;
  if (!stbi_info(path.c_str(), &w, &h, &channels)) {
    error = "cannot read " + path + ": " + (stbi_failure_reason() ? stbi_failure_reason() : "unknown error");
    return false;
  }
  return stbi_is_16_bit(path.c_str()) ? Decode(path, stbi_load_16, 16, image, error)
                                      : Decode(path, stbi_load, 8, image, error);
}

bool ReadGrayPng(const std::string& path, PlanarImage& image, std::string& error) {
  int w = 0, h = 0, channels = 0;
  std::unique_ptr<stbi_uc, StbFree> pixels(stbi_load(path.c_str(), &w, &h, &channels, 1));
  if (!pixels) {
    error = "cannot read " + path + ": " + (stbi_failure_reason() ? stbi_failure_reason() : "unknown error");
    return false;
  }
  image.Allocate(w, h, 8, 1);
  std::memcpy(image.planes[0].data(), pixels.get(), image.PlaneBytes());
  return true;
}

bool WritePng(const std::string& path, const PlanarImage& image, std::string& error) {
  if (image.Channels() < 1 || image.Channels() > 4) {
    error = "only 1 to 4 channels can be written";
    return false;
  }
  if (image.depth == 16) return WritePng16(path, image, error);
  const auto channels = static_cast<size_t>(image.Channels());
  std::vector<uint8_t> pixels(image.PlaneBytes() * channels);
  for (size_t c = 0; c < channels; ++c)
    for (size_t i = 0; i < image.PlaneBytes(); ++i) pixels[i * channels + c] = image.planes[c][i];
  if (!stbi_write_png(path.c_str(), image.width, image.height, static_cast<int>(channels), pixels.data(),
                      image.width * static_cast<int>(channels))) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}
