// pmhost's two PNG readers give the same pixels: the row reader that takes
// the common files and stb's reader that takes every file. The files are
// made here, one row filter after another, so that every filter is undone
// against every kind of row above it, in every layout the row reader takes;
// files it must leave to stb, and damaged ones, come out as stb says.
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

void PutBig32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (24 - 8 * i)));
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  PutBig32(out, static_cast<uint32_t>(data.size()));
  const size_t from = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutBig32(out, static_cast<uint32_t>(crc32(0, out.data() + from, static_cast<uInt>(out.size() - from))));
}

struct Layout {
  int colourType, bits;
};

// A PNG of w x h pixels of varied samples, row y filtered with filter y % 5,
// its compressed data cut into `pieces` IDAT chunks. `extra` chunks go
// before the first IDAT; `tail` bytes of raw data follow the rows.
// `badFilterRow` gets a filter byte no decoder knows (the file fails there).
std::vector<uint8_t> MakePng(Layout layout, uint32_t w, uint32_t h, int pieces,
                             const std::vector<std::pair<std::string, std::vector<uint8_t>>>& extra = {},
                             size_t tail = 0, int interlace = 0, uint32_t badFilterRow = UINT32_MAX) {
  const int channels = layout.colourType == 0 ? 1 : layout.colourType == 2 ? 3 : layout.colourType == 4 ? 2 : layout.colourType == 6 ? 4 : 1;
  const size_t bpp = size_t(channels) * size_t(layout.bits / 8 > 0 ? layout.bits / 8 : 1);
  const size_t rowBytes = (size_t(w) * size_t(channels) * size_t(layout.bits) + 7) / 8;
  std::vector<uint8_t> raw, prior(rowBytes, 0), row(rowBytes);
  uint32_t seed = 12345;
  for (uint32_t y = 0; y < h; ++y) {
    for (size_t i = 0; i < rowBytes; ++i) {
      seed = seed * 1103515245u + 12345u;
      // Ramps with noise (carries) and rows of few values (ties in Paeth's
      // choice), so that every filter meets both.
      row[i] = y % 3 == 0 ? static_cast<uint8_t>(((seed >> 16) % 3) * 100)
                          : static_cast<uint8_t>((i * 7 + y * 13) + ((seed >> 16) % 9));
    }
    const uint8_t filter = static_cast<uint8_t>(y % 5);
    raw.push_back(y == badFilterRow ? uint8_t(7) : filter);
    for (size_t i = 0; i < rowBytes; ++i) {
      const int a = i >= bpp ? row[i - bpp] : 0, b = prior[i], c = i >= bpp ? prior[i - bpp] : 0;
      int predicted = 0;
      if (filter == 1) predicted = a;
      if (filter == 2) predicted = b;
      if (filter == 3) predicted = (a + b) / 2;
      if (filter == 4) {
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      raw.push_back(static_cast<uint8_t>(row[i] - predicted));
    }
    prior = row;
  }
  raw.insert(raw.end(), tail, uint8_t(0x5A));
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packedSize);
  compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6);
  packed.resize(packedSize);

  std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<uint8_t> ihdr;
  PutBig32(ihdr, w);
  PutBig32(ihdr, h);
  ihdr.insert(ihdr.end(), {static_cast<uint8_t>(layout.bits), static_cast<uint8_t>(layout.colourType), 0, 0,
                           static_cast<uint8_t>(interlace)});
  PutChunk(file, "IHDR", ihdr);
  for (const auto& [type, data] : extra) PutChunk(file, type.c_str(), data);
  const size_t piece = packed.size() / size_t(pieces) + 1;
  for (size_t at = 0; at < packed.size(); at += piece)
    PutChunk(file, "IDAT", std::vector<uint8_t>(packed.begin() + long(at), packed.begin() + long(std::min(at + piece, packed.size()))));
  PutChunk(file, "IEND", {});
  return file;
}

std::string Save(const std::vector<uint8_t>& bytes, const std::string& name) {
  const std::string path = "pngread_test_" + name + ".png";
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}

// Both readers on one file: the same answer, and the same pixels or error.
void ExpectSameAsStb(const std::string& path, const std::string& what) {
  struct Remove {
    const std::string& path;
    ~Remove() { DeleteFileA(path.c_str()); }
  } remove{path};
  PlanarImage rows, stb;
  std::string rowsError, stbError;
  const bool rowsOk = ReadPngWith(path, rows, rowsError, PngReader::kRows);
  const bool stbOk = ReadPngWith(path, stb, stbError, PngReader::kStb);
  ASSERT_EQ(rowsOk, stbOk) << what << ": " << rowsError << " / " << stbError;
  EXPECT_EQ(rowsError, stbError) << what;
  if (!stbOk) return;
  ASSERT_EQ(rows.width, stb.width) << what;
  ASSERT_EQ(rows.height, stb.height) << what;
  ASSERT_EQ(rows.depth, stb.depth) << what;
  ASSERT_EQ(rows.Channels(), stb.Channels()) << what;
  for (int32_t p = 0; p < stb.Channels(); ++p)
    EXPECT_TRUE(rows.planes[size_t(p)] == stb.planes[size_t(p)]) << what << ": plane " << p << " differs";
}

TEST(PngReaders, GiveTheSamePixels) {
  const Layout kLayouts[] = {{0, 8}, {2, 8}, {4, 8}, {6, 8}, {0, 16}, {2, 16}, {4, 16}, {6, 16}};
  for (const Layout& layout : kLayouts) {
    const std::string name = "ct" + std::to_string(layout.colourType) + "_" + std::to_string(layout.bits);
    // One chunk and many (a chunk boundary inside a row), one pixel wide too.
    ExpectSameAsStb(Save(MakePng(layout, 37, 23, 1), name), name);
    ExpectSameAsStb(Save(MakePng(layout, 37, 23, 9), name + "_split"), name + " in 9 chunks");
    ExpectSameAsStb(Save(MakePng(layout, 1, 11, 3), name + "_narrow"), name + " one pixel wide");
  }
}

// Large images are read while another thread touches their planes' pages
// from the far end, and zeroes a reserve of planes of their shape: the pixels
// are still stb's, with bands of many rows and of one row each, and a file
// that fails halfway is dropped as stb drops it.
TEST(PngReaders, GiveTheSamePixelsWhileAnotherThreadPreparesTheMemory) {
  const struct {
    Layout layout;
    uint32_t w, h;
    const char* name;
  } kCases[] = {
      {{6, 8}, 1024, 2100, "rgba8_big"},       // 8.2 MiB of planes, 64 rows a band
      {{4, 16}, 17000, 130, "graya16_wide"},   // 8.4 MiB, one row a band (a row is over 64 KiB)
  };
  for (const auto& c : kCases) {
    ExpectSameAsStb(Save(MakePng(c.layout, c.w, c.h, 4), c.name), c.name);
    ExpectSameAsStb(Save(MakePng(c.layout, c.w, c.h, 4, {}, 0, 0, c.h / 2), std::string(c.name) + "_bad_row"),
                    std::string(c.name) + " failing halfway");

    // The reserve: planes of the image's shape, all zeros, for that shape only.
    const std::string path = Save(MakePng(c.layout, c.w, c.h, 4), std::string(c.name) + "_reserve");
    PlaneReserve reserve, spare;
    PlanarImage image, again, reserved, untouched;
    std::string error;
    ASSERT_TRUE(ReadPng(path, image, error, &reserve)) << c.name << ": " << error;
    ASSERT_TRUE(ReadPng(path, again, error, &spare)) << c.name << ": " << error;
    DeleteFileA(path.c_str());
    PlanarImage wider = again;
    wider.width += 1;
    EXPECT_FALSE(spare.Take(wider, untouched)) << c.name << ": planes of another shape taken";
    EXPECT_TRUE(untouched.planes.empty()) << c.name;
    ASSERT_TRUE(reserve.Take(image, reserved)) << c.name;
    EXPECT_TRUE(reserved.SameShape(image)) << c.name;
    size_t nonZero = 0;
    for (const Plane& plane : reserved.planes)
      for (const uint8_t b : plane) nonZero += b != 0;
    EXPECT_EQ(nonZero, 0u) << c.name << ": the reserve is not all zeros";
    EXPECT_FALSE(reserve.Take(image, reserved)) << c.name << ": the reserve taken twice";
  }
}

TEST(PngReaders, AgreeOnFilesTheRowReaderLeavesToStbAndOnDamagedOnes) {
  const std::vector<uint8_t> tRNS = {0, 7, 0, 9, 0, 11};
  const std::vector<uint8_t> text = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'};
  const struct {
    const char* what;
    std::vector<uint8_t> file;
  } kCases[] = {
      {"a transparency chunk (stb adds an alpha plane)", MakePng({2, 8}, 20, 10, 2, {{"tRNS", tRNS}})},
      {"an ancillary text chunk", MakePng({6, 8}, 20, 10, 2, {{"tEXt", text}})},
      {"a palette image", MakePng({3, 8}, 20, 10, 1, {{"PLTE", std::vector<uint8_t>(256 * 3, 40)}})},
      {"4-bit gray", MakePng({0, 4}, 20, 10, 1)},
      {"an interlaced header", MakePng({2, 8}, 20, 10, 1, {}, 0, 1)},
      {"more data than rows", MakePng({2, 8}, 20, 10, 2, {}, 7)},
  };
  for (const auto& c : kCases) ExpectSameAsStb(Save(c.file, "case"), c.what);

  // Fewer rows than the header says, and a broken stream.
  std::vector<uint8_t> shortRows = MakePng({2, 8}, 20, 10, 1);
  shortRows[16 + 4 + 3] = 11;  // IHDR height 10 -> 11 (its CRC is not checked by either reader)
  ExpectSameAsStb(Save(shortRows, "short"), "fewer rows than the header says");
  std::vector<uint8_t> badFilter = MakePng({0, 8}, 20, 10, 1);
  // Stored data would make the filter byte easy to reach; a compressed stream
  // with one byte changed is damaged somewhere in its rows instead.
  badFilter[8 + 25 + 8 + 6] ^= 0x40;
  ExpectSameAsStb(Save(badFilter, "damaged"), "a damaged stream");
}

}  // namespace
