// pmcheck: makes the end-to-end scenarios' input images and checks what the
// host wrote. A Windows program like the host, so that it runs wherever the
// scenarios run.
//
//   pmcheck gen rgba|rgb|gray|rgb16|circle W H OUT.png
//   pmcheck damage truncate|huge IN.png OUT.png
//   pmcheck damage truncate|machine-i386 IN.8bf OUT.8bf
//   pmcheck shortname PATH
//   pmcheck check IN.png OUT.png [--bits 5,6,5,8] [--mean-tol T] [--truncated]
//                 [--same] [--mask M.png | --rows FROM-TO | --rect X,Y,W,H]
//                 [--opaque-only | --alpha-at-least A]
//
// check: the pixels outside the selection (mask 0, or rows outside FROM-TO)
// must equal IN; inside it, --bits asks every sample of plane p to lie on the
// levels of bits[p] kept bits (255 allowed), --mean-tol the mean of each plane
// to stay within T of IN's, --truncated every sample to be IN's plain
// truncation. --alpha-at-least A leaves the colour planes of pixels whose last
// plane is below A out of the levels and means; --opaque-only is A = 255.
//
// damage: a copy of IN that a host must refuse to read: truncate keeps the
// first half of its bytes, huge claims 70000 x 70000 pixels in its header
// (with a correct checksum, so only the size is wrong); machine-i386 makes a
// Windows module claim to be built for 32-bit x86.
//
// shortname: prints the short (8.3) name of an existing file or folder, the
// last name of its short path.
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ImageFile.h"

namespace {

int Fail(const char* what) {
  std::printf("pmcheck: FAIL: %s\n", what);
  return 1;
}

uint8_t TopBits(int bits) { return static_cast<uint8_t>(0xFF00 >> bits); }

int Generate(const std::string& kind, int32_t w, int32_t h, const std::string& path) {
  PlanarImage img;
  const int32_t channels = kind == "rgba" ? 4 : (kind == "gray" || kind == "circle") ? 1 : 3;
  img.Allocate(w, h, kind == "rgb16" ? 16 : 8, channels);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      // Smooth ramps in different directions, so every plane covers many
      // values and no plane sits on a level by chance.
      const double u = double(x) / std::max(w - 1, 1), v = double(y) / std::max(h - 1, 1);
      const double ramps[3] = {u, v, 0.5 * (1.0 - u) + 0.5 * v};
      if (kind == "circle") {
        const double dx = x - w / 2.0, dy = y - h / 2.0;
        img.SetSample(0, x, y, dx * dx + dy * dy < (w * w + h * h) / 16.0 ? 255 : 0);
        continue;
      }
      const uint32_t maxValue = img.depth == 16 ? 65535 : 255;
      for (int32_t c = 0; c < std::min(channels, 3); ++c)
        img.SetSample(c, x, y, static_cast<uint32_t>(std::lround(ramps[c] * maxValue)));
      // Alpha: opaque in the top three quarters, a ramp of 1..254 below.
      if (channels == 4) img.SetSample(3, x, y, y < h * 3 / 4 ? 255 : 1 + static_cast<uint32_t>(253 * u));
    }
  std::string error;
  if (!WritePng(path, img, error)) {
    std::printf("pmcheck: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = ~0u;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

int Damage(const std::string& kind, const std::string& in, const std::string& out) {
  std::ifstream file(in, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // Signature, then IHDR: length, type, width, height, ..., checksum.
  if (bytes.size() < 33) return Fail("damage needs a PNG to start from");
  if (kind == "truncate") {
    bytes.resize(bytes.size() / 2);
  } else if (kind == "huge") {
    for (size_t at : {size_t(16), size_t(20)})
      for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(70000u >> (24 - 8 * i));
    const uint32_t crc = Crc32(bytes.data() + 12, 17);
    for (size_t i = 0; i < 4; ++i) bytes[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  } else if (kind == "machine-i386") {
    // A Windows module's PE header, its machine field set to 32-bit x86.
    const size_t pe = bytes.size() > 0x40 ? size_t(bytes[0x3C]) | size_t(bytes[0x3D]) << 8 : 0;
    if (pe == 0 || pe + 6 > bytes.size() || bytes[pe] != 'P' || bytes[pe + 1] != 'E') return Fail("damage: no PE header");
    bytes[pe + 4] = 0x4C;
    bytes[pe + 5] = 0x01;
  } else {
    return Fail("damage: unknown kind");
  }
  std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return 0;
}

int Check(int argc, char** argv) {
  if (argc < 4) return Fail("check needs IN.png and OUT.png");
  PlanarImage in, out, mask;
  std::string error;
  if (!ReadPng(argv[2], in, error) || !ReadPng(argv[3], out, error)) {
    std::printf("pmcheck: %s\n", error.c_str());
    return 1;
  }
  std::vector<int> bits;
  double meanTol = -1;
  bool truncated = false, same = false;
  int64_t minAlpha = -1;  // none
  int32_t rowFrom = 0, rowTo = in.height, colFrom = 0, colTo = in.width;
  for (int i = 4; i < argc; ++i) {
    const std::string a = argv[i];
    const std::string v = i + 1 < argc ? argv[i + 1] : "";
    if (a == "--bits") {
      for (size_t from = 0; from < v.size();) {
        const size_t to = v.find(',', from);
        bits.push_back(std::atoi(v.substr(from, to - from).c_str()));
        from = to == std::string::npos ? v.size() : to + 1;
      }
      ++i;
    } else if (a == "--mean-tol") {
      meanTol = std::atof(v.c_str());
      ++i;
    } else if (a == "--mask") {
      if (!ReadGrayPng(v, mask, error)) {
        std::printf("pmcheck: %s\n", error.c_str());
        return 1;
      }
      ++i;
    } else if (a == "--rows") {
      std::sscanf(v.c_str(), "%d-%d", &rowFrom, &rowTo);
      ++i;
    } else if (a == "--rect") {
      int32_t rx = 0, ry = 0, rw = 0, rh = 0;
      std::sscanf(v.c_str(), "%d,%d,%d,%d", &rx, &ry, &rw, &rh);
      colFrom = rx;
      colTo = rx + rw;
      rowFrom = ry;
      rowTo = ry + rh;
      ++i;
    } else if (a == "--truncated") {
      truncated = true;
    } else if (a == "--same") {
      same = true;
    } else if (a == "--opaque-only") {
      minAlpha = 255;
    } else if (a == "--alpha-at-least") {
      minAlpha = std::atoi(v.c_str());
      ++i;
    } else {
      std::printf("pmcheck: unknown option %s\n", a.c_str());
      return 1;
    }
  }
  if (in.width != out.width || in.height != out.height || in.Channels() != out.Channels() || in.depth != out.depth)
    return Fail("the output's size, channels or depth differ from the input's");
  const int32_t planes = in.Channels();
  std::vector<double> sumIn(size_t(planes), 0), sumOut(size_t(planes), 0);
  std::vector<size_t> counted(size_t(planes), 0);
  size_t offLevel = 0, changedOutside = 0, notTruncated = 0, differs = 0;
  for (int32_t y = 0; y < in.height; ++y)
    for (int32_t x = 0; x < in.width; ++x) {
      const bool selected = mask.width > 0 ? mask.Sample(0, x, y) != 0 : (y >= rowFrom && y < rowTo && x >= colFrom && x < colTo);
      const bool opaque = minAlpha < 0 || in.Sample(planes - 1, x, y) >= minAlpha;
      for (int32_t p = 0; p < planes; ++p) {
        const uint32_t a = in.Sample(p, x, y), b = out.Sample(p, x, y);
        differs += a != b;
        if (!selected) {
          changedOutside += a != b;
          continue;
        }
        const bool colour = minAlpha < 0 || p < planes - 1;
        if (colour && !opaque) continue;
        if (p < static_cast<int32_t>(bits.size()) && b != 255 && (b & TopBits(bits[size_t(p)])) != b) ++offLevel;
        if (truncated && p < static_cast<int32_t>(bits.size()) &&
            b != (a == 255 ? 255u : (a & TopBits(bits[size_t(p)]))))
          ++notTruncated;
        sumIn[size_t(p)] += a;
        sumOut[size_t(p)] += b;
        ++counted[size_t(p)];
      }
    }
  int failures = 0;
  if (same && differs > 0) {
    std::printf("pmcheck: %zu samples differ from the input\n", differs);
    ++failures;
  }
  if (changedOutside > 0) {
    std::printf("pmcheck: %zu samples outside the selection changed\n", changedOutside);
    ++failures;
  }
  if (offLevel > 0) {
    std::printf("pmcheck: %zu samples are not on their plane's levels\n", offLevel);
    ++failures;
  }
  if (notTruncated > 0) {
    std::printf("pmcheck: %zu samples are not the plain truncation of the input\n", notTruncated);
    ++failures;
  }
  for (int32_t p = 0; p < planes && meanTol >= 0; ++p) {
    if (counted[size_t(p)] == 0) continue;
    const double mi = sumIn[size_t(p)] / double(counted[size_t(p)]), mo = sumOut[size_t(p)] / double(counted[size_t(p)]);
    std::printf("pmcheck: plane %d mean %.3f -> %.3f\n", p, mi, mo);
    if (std::fabs(mi - mo) > meanTol) {
      std::printf("pmcheck: plane %d's mean moved by %.3f (allowed %.3f)\n", p, mo - mi, meanTol);
      ++failures;
    }
  }
  if (failures > 0) return Fail("the output does not meet the checks");
  std::printf("pmcheck: ok (%zu samples changed)\n", differs);
  return 0;
}

int ShortName(const char* path) {
  char shortPath[4096];
  const DWORD n = GetShortPathNameA(path, shortPath, sizeof shortPath);
  if (n == 0 || n >= sizeof shortPath) return Fail("no short name for that path");
  const std::string whole(shortPath, n);
  std::printf("%s\n", whole.substr(whole.find_last_of("/\\") + 1).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "shortname" && argc == 3) return ShortName(argv[2]);
  if (command == "gen" && argc == 6) return Generate(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
  if (command == "check") return Check(argc, argv);
  if (command == "damage" && argc == 5) return Damage(argv[2], argv[3], argv[4]);
  std::printf("usage: pmcheck gen KIND W H OUT.png | pmcheck check IN.png OUT.png [checks] | pmcheck damage KIND IN OUT | pmcheck shortname PATH\n");
  return 2;
}
