// The pixel rule: truncation, dithering statistics, the order and number of
// random draws, and a seeded sweep against the plain reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "QuantizeReference.h"
#include "convert/Quantize.h"

namespace {

uint8_t QuantizeOne(uint8_t v, uint8_t bits, uint8_t dither) {
  uint8_t out = 0xEE;
  QuantizePlaneTile(&out, 1, &v, 1, nullptr, 1, 1, 1, dither != 0, bits);
  return out;
}

TEST(Quantize, TruncatesWithoutDithering) {
  struct Case {
    uint8_t bits, in, out;
  };
  const Case cases[] = {
      {5, 0, 0},     {5, 7, 0},     {5, 100, 96},  {5, 247, 240}, {5, 248, 248}, {5, 254, 248}, {5, 255, 255},
      {6, 3, 0},     {6, 253, 252}, {6, 254, 252}, {6, 255, 255}, {8, 0, 0},     {8, 77, 77},   {8, 254, 254},
      {0, 0, 0},     {0, 200, 0},   {0, 254, 0},   {0, 255, 255}, {1, 127, 0},   {1, 254, 128}, {7, 201, 200},
      // Bit 1 set and bit 0 clear: only the mask for 7 kept bits gives 202.
      {7, 203, 202}, {7, 2, 2},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QuantizeOne(c.in, c.bits, 0), c.out) << "bits " << int(c.bits) << " input " << int(c.in);
}

// Each dithered pixel draws exactly one number, also where the outcome is
// fixed (d = 0, the top level, 255, n = 8); skipped pixels draw none; with
// dithering off nothing is drawn. Checked by where the generator stands.
TEST(Quantize, DrawsOneNumberPerConvertedPixel) {
  const uint8_t in[6] = {96, 255, 250, 0, 37, 200};
  const uint8_t mask[6] = {1, 0, 255, 0, 9, 1};
  struct Case {
    uint8_t bits, dither;
    const uint8_t* mask;
    int draws;
  };
  const Case cases[] = {{5, 1, nullptr, 6}, {8, 1, nullptr, 6}, {0, 1, nullptr, 6}, {5, 1, mask, 4}, {5, 0, nullptr, 0}};
  for (const Case& c : cases) {
    std::srand(99);
    std::vector<int> expected;
    for (int i = 0; i < c.draws + 1; ++i) expected.push_back(std::rand());
    std::srand(99);
    uint8_t out[6] = {};
    QuantizePlaneTile(out, 6, in, 6, c.mask, 6, 6, 1, c.dither != 0, c.bits);
    EXPECT_EQ(std::rand(), expected.back()) << "bits " << int(c.bits) << " dither " << int(c.dither);
  }
}

// With dithering, a sample below the top level M rises one level with
// probability d / S, so the mean is kept; M and everything above it give M,
// 255 stays 255; no other level appears. Tolerances hold for both the glibc
// and the Windows generator (five standard deviations).
TEST(Quantize, DitheringKeepsTheMeanAndRisesWithProbabilityDOverS) {
  constexpr int kSamples = 4000;
  std::srand(20240611);
  for (const uint8_t bits : {uint8_t(5), uint8_t(6), uint8_t(2), uint8_t(0)}) {
    const int step = 1 << (8 - bits);
    const int top = 256 - step;
    std::vector<uint8_t> in(kSamples), out(kSamples);
    for (int v = 0; v < 256; ++v) {
      std::fill(in.begin(), in.end(), static_cast<uint8_t>(v));
      QuantizePlaneTile(out.data(), 100, in.data(), 100, nullptr, 0, 100, kSamples / 100, true, bits);
      const int low = v / step * step;
      int ups = 0;
      for (uint8_t o : out) {
        if (v == 255) {
          ASSERT_EQ(o, 255);
        } else if (low == top) {
          ASSERT_EQ(o, top) << "the top level never rises; bits " << int(bits) << " v " << v;
        } else {
          ASSERT_TRUE(o == low || o == low + step) << "bits " << int(bits) << " v " << v << " gave " << int(o);
          ups += o != low;
        }
      }
      if (v == 255 || low == top) continue;
      const double p = double(v - low) / step;
      const double sigma = std::sqrt(std::max(p * (1 - p), 1.0 / kSamples) / kSamples);
      EXPECT_NEAR(double(ups) / kSamples, p, 5 * sigma) << "bits " << int(bits) << " v " << v;
      const double mean = low + step * double(ups) / kSamples;
      EXPECT_NEAR(mean, v, 5 * sigma * step) << "bits " << int(bits) << " v " << v;
    }
  }
}

// The module's quantiser against the reference over seeded random tiles:
// extents (zero and negative ones too), independent row bytes, masks with
// 0, 1 and 255, every bit count, dithering on and off. Both run from the same
// srand seed, so their random sequences agree on any C library. Output
// buffers start with bytes unlike the input, so masked pixels and each row's
// padding must come out exactly as they went in.
TEST(Quantize, MatchesReferenceOverSeededSweep) {
  const char* fromEnv = std::getenv("PIXELMOOR_SWEEP_SEED");
  const uint32_t master = fromEnv != nullptr ? static_cast<uint32_t>(std::strtoul(fromEnv, nullptr, 10)) : 5651u;
  std::mt19937 pick(master);
  for (int round = 0; round < 1500; ++round) {
    const uint32_t seed = static_cast<uint32_t>(pick());
    std::mt19937 gen(seed);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
    const int32_t height = uniform(0, 9) == 0 ? uniform(-3, 0) : uniform(1, 24);
    const int32_t width = uniform(0, 9) == 0 ? uniform(-3, 0) : uniform(1, 70);
    const int32_t rows = std::max(height, 0), cols = std::max(width, 0);
    const int32_t outRow = cols + uniform(0, 17), inRow = cols + uniform(0, 17), maskRow = cols + uniform(0, 17);
    const uint8_t bits = static_cast<uint8_t>(uniform(0, 8));
    const uint8_t dither = static_cast<uint8_t>(uniform(0, 1) ? uniform(1, 255) : 0);
    const bool withMask = uniform(0, 2) != 0;

    auto bytes = [&](int32_t rowBytes, int lo, int hi) {
      std::vector<uint8_t> b(size_t(std::max(rows * rowBytes, 1)));
      for (auto& x : b) x = static_cast<uint8_t>(uniform(lo, hi));
      return b;
    };
    std::vector<uint8_t> in = bytes(inRow, 0, 255), out = bytes(outRow, 0, 255), mask = bytes(maskRow, 0, 3);
    for (auto& m : mask) m = m == 0 ? 0 : m == 1 ? 1 : m == 2 ? 255 : static_cast<uint8_t>(uniform(2, 254));
    for (size_t i = 0; i < in.size(); i += 5) in[i] = 255;
    const std::vector<uint8_t> inBefore = in, maskBefore = mask;
    std::vector<uint8_t> expected = out;

    std::srand(seed);
    fakehost::ReferenceQuantize(expected.data(), outRow, in.data(), inRow, withMask ? mask.data() : nullptr, maskRow,
                                height, width, dither != 0, bits);
    const int nextAfterReference = std::rand();
    std::srand(seed);
    QuantizePlaneTile(out.data(), outRow, in.data(), inRow, withMask ? mask.data() : nullptr, maskRow, width, height,
                      dither != 0, bits);
    const int nextAfterModule = std::rand();

    ASSERT_EQ(out, expected) << "seed " << seed << " (master " << master << "): " << height << "x" << width
                             << " rows " << outRow << "/" << inRow << "/" << maskRow << " bits " << int(bits)
                             << " dither " << int(dither) << " mask " << withMask;
    ASSERT_EQ(nextAfterModule, nextAfterReference) << "draw count differs; seed " << seed;
    ASSERT_EQ(in, inBefore) << "seed " << seed;
    ASSERT_EQ(mask, maskBefore) << "seed " << seed;
  }
}

}  // namespace
