// pmhost's PNG writer: the file's chunks and zlib stream are sound (every
// CRC, and the stream's own checksum, verified by zlib), an independent
// reader (stb) gets the pixels back, bands of noise are stored and smooth
// ones compressed, and the bytes do not depend on how many threads packed
// them.
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ImageFile.h"

namespace {

uint32_t Big32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return bytes;
}

// Noise, or a smooth ramp, in every plane.
PlanarImage MakeImage(int32_t w, int32_t h, int32_t depth, int32_t channels, bool noise) {
  PlanarImage image;
  image.Allocate(w, h, depth, channels);
  uint32_t seed = 2024;
  const uint32_t max = depth == 16 ? 65535 : 255;
  for (int32_t p = 0; p < channels; ++p)
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        seed = seed * 1664525u + 1013904223u;
        image.SetSample(p, x, y, noise ? (seed >> 8) % (max + 1) : uint32_t(x + 3 * y + 50 * p) % (max + 1));
      }
  return image;
}

// The file's IDAT data joined, after checking every chunk's CRC.
std::vector<uint8_t> IdatData(const std::vector<uint8_t>& file, const std::string& what) {
  std::vector<uint8_t> idat;
  for (size_t at = 8; at + 12 <= file.size();) {
    const uint32_t length = Big32(&file[at]);
    EXPECT_LE(at + 12 + length, file.size()) << what;
    if (at + 12 + length > file.size()) break;
    const uint32_t crc = static_cast<uint32_t>(crc32(0, &file[at + 4], 4 + length));
    EXPECT_EQ(crc, Big32(&file[at + 8 + length])) << what << ": chunk at " << at;
    if (std::memcmp(&file[at + 4], "IDAT", 4) == 0) idat.insert(idat.end(), &file[at + 8], &file[at + 8 + length]);
    at += 12 + length;
  }
  return idat;
}

TEST(PngWriter, WritesSoundFilesWhoseBytesDoNotDependOnTheThreads) {
  const struct {
    const char* what;
    int32_t w, h, depth, channels;
    bool noise;
  } kCases[] = {
      // Rows of 2,400 bytes: bands of about a hundred rows, the last one short.
      {"RGBA noise, many bands", 600, 333, 8, 4, true},
      {"RGBA ramp, many bands", 600, 333, 8, 4, false},
      {"16-bit RGB noise", 300, 200, 16, 3, true},
      {"gray and alpha ramp, one band", 40, 30, 8, 2, false},
      {"gray noise, one pixel wide", 1, 500, 8, 1, true},
  };
  for (const auto& c : kCases) {
    const PlanarImage image = MakeImage(c.w, c.h, c.depth, c.channels, c.noise);
    std::vector<uint8_t> first;
    for (const int threads : {0, 1, 2, 3}) {
      const std::string what = std::string(c.what) + ", " + std::to_string(threads) + " thread(s)";
      const std::string path = "pngwrite_test.png";
      std::string error;
      ASSERT_TRUE(WritePngWith(path, image, error, threads)) << what << ": " << error;
      const std::vector<uint8_t> file = FileBytes(path);
      if (threads == 0) {
        first = file;
        // zlib's own inflate checks the stream's checksum (the row reader
        // would hand a bad one to stb, which does not).
        const std::vector<uint8_t> idat = IdatData(file, what);
        const size_t rowBytes = size_t(c.w) * size_t(c.channels) * size_t(c.depth / 8);
        std::vector<uint8_t> raw(size_t(c.h) * (1 + rowBytes) + 1);
        uLongf rawSize = static_cast<uLongf>(raw.size());
        ASSERT_EQ(uncompress(raw.data(), &rawSize, idat.data(), static_cast<uLong>(idat.size())), Z_OK) << what;
        EXPECT_EQ(rawSize, raw.size() - 1) << what;
        // Noise is stored (a stored block's header says 00 in its type
        // bits), anything smooth compressed.
        ASSERT_GE(idat.size(), 3u);
        EXPECT_EQ((idat[2] >> 1 & 3) == 0, c.noise && raw.size() > 4096) << what << ": the first block's type";
        if (!c.noise) {
          EXPECT_LT(idat.size(), raw.size() / 4) << what;
        }
        PlanarImage back;
        ASSERT_TRUE(ReadPngWith(path, back, error, PngReader::kStb)) << what << ": " << error;
        ASSERT_EQ(back.Channels(), image.Channels()) << what;
        ASSERT_EQ(back.depth, image.depth) << what;
        for (int32_t p = 0; p < image.Channels(); ++p)
          EXPECT_TRUE(back.planes[size_t(p)] == image.planes[size_t(p)]) << what << ": plane " << p;
      } else {
        EXPECT_TRUE(file == first) << what << ": not the bytes one thread writes";
      }
      DeleteFileA(path.c_str());
    }
  }
}

}  // namespace
