#include "convert/ConvertImage.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <iterator>

#include "convert/Quantize.h"
#include "convert/RandomStream.h"
#include "host/CallContext.h"
#include "host/RectExchange.h"

namespace {

constexpr Fixed kFullResolution = 0x10000;  // 1.0 in 16.16

int32_t ClampToInt32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// The buffers the host delivered must hold `area` at their row bytes; a host
// that delivers less gets a bad-parameters result and an untouched buffer.
// Negative row bytes are a bottom-up buffer (the data pointer at the top row,
// later rows at lower addresses), which the quantiser walks as well: a row
// fits when the distance between rows is at least the width.
bool RowsHold(int32_t rowBytes, int64_t width) { return std::abs(int64_t{rowBytes}) >= width; }

bool DeliveredBuffersHold(const FilterRecord* record, int64_t width) {
  if (record->inData == nullptr || record->outData == nullptr) return false;
  if (!RowsHold(record->inRowBytes, width) || !RowsHold(record->outRowBytes, width)) return false;
  return record->maskData == nullptr || RowsHold(record->maskRowBytes, width);
}

// Converts the plane just delivered. False when the delivery cannot be used.
bool ConvertDeliveredPlane(FilterRecord* record, const VRect& tile, int plane, bool dither) {
  if (plane >= static_cast<int>(std::size(kPlaneBits))) return true;  // kept as delivered
  // Never more than was requested, whatever the host says it delivered.
  const VRect out = ReadOutRect();
  const int64_t height = std::min(int64_t(out.bottom) - out.top, int64_t(tile.bottom) - tile.top);
  const int64_t width = std::min(int64_t(out.right) - out.left, int64_t(tile.right) - tile.left);
  if (height <= 0 || width <= 0) return true;
  if (!DeliveredBuffersHold(record, width)) return false;
  QuantizePlaneTile(static_cast<uint8_t*>(record->outData), record->outRowBytes,
                    static_cast<const uint8_t*>(record->inData), record->inRowBytes,
                    static_cast<const uint8_t*>(record->maskData), record->maskRowBytes,
                    static_cast<int32_t>(width), static_cast<int32_t>(height), dither, kPlaneBits[plane]);
  return true;
}

}  // namespace

void ConvertImage(const volatile uint8_t& useDithering) {
  // Seeded first, at every run: two runs in the same second dither alike.
  const auto seed = static_cast<unsigned>(static_cast<uint32_t>(std::time(nullptr)));
  std::srand(seed);
  // The draws may come from a private copy of the generator from here on;
  // each call into the host below first hands its state back to the C
  // runtime, and so does every return.
  const RandomRun draws(seed);

  FilterRecord* record = HostFilterRecord();
  const int64_t tileHeight = record->outTileHeight;
  const int64_t tileWidth = record->outTileWidth;
  // A tile of no size (or a negative one) cannot walk the image.
  if (tileHeight <= 0 || tileWidth <= 0) {
    StoreResult(filterBadParameters);
    return;
  }

  const VRect filter = ReadFilterRect();
  const int64_t filterHeight = int64_t(filter.bottom) - filter.top;
  const int64_t filterWidth = int64_t(filter.right) - filter.left;
  // Input and mask at full resolution: every pixel is converted from itself.
  record->inputRate = kFullResolution;
  record->maskRate = kFullResolution;
  if (filterHeight <= 0 || filterWidth <= 0) return;

  const int64_t tilesDown = (filterHeight + tileHeight - 1) / tileHeight;
  const int64_t tilesAcross = (filterWidth + tileWidth - 1) / tileWidth;
  // Up to 2^32 tiles each way: the product can pass int64, so the clamp to
  // the progress counter's range is decided before multiplying.
  const int32_t total =
      tilesDown > INT32_MAX / tilesAcross ? INT32_MAX : static_cast<int32_t>(tilesDown * tilesAcross);
  int64_t done = 0;

  for (int64_t rowOffset = 0; rowOffset < filterHeight; rowOffset += tileHeight) {
    for (int64_t columnOffset = 0; columnOffset < filterWidth; columnOffset += tileWidth) {
      const VRect current = ReadFilterRect();
      const int64_t top = int64_t(current.top) + rowOffset;
      const int64_t left = int64_t(current.left) + columnOffset;
      const VRect tile{ClampToInt32(top), ClampToInt32(left),
                       ClampToInt32(std::min<int64_t>(top + tileHeight, current.bottom)),
                       ClampToInt32(std::min<int64_t>(left + tileWidth, current.right))};
      // A host that shrank the filter rectangle during the run leaves tiles
      // of the walk with no pixel in it. Nothing is asked for them: the
      // rectangle would be inside out, and in the 16-bit members its
      // coordinates could wrap into a valid-looking one. They still count in
      // the progress, whose total was given at the start.
      const bool holdsPixels = tile.top < tile.bottom && tile.left < tile.right;
      if (holdsPixels) {
        WriteInRect(tile);
        WriteOutRect(tile);
        // With a selection, its mask comes with every tile: masked-out pixels
        // stay as the host delivered them.
        if (record->haveMask != 0) WriteMaskRect(tile);
      }

      // The record's plane count is read afresh at every step, never kept.
      for (int plane = 0; holdsPixels && plane < record->planes; ++plane) {
        const auto p = static_cast<int16_t>(plane);
        record->inLoPlane = record->outLoPlane = p;
        record->inHiPlane = record->outHiPlane = p;
        if (record->advanceState == nullptr) {
          StoreResult(errPlugInHostInsufficient);
          return;
        }
        draws.HandBack();
        const OSErr err = record->advanceState();
        StoreResult(err);
        if (err != noErr) return;
        // Only 8-bit planes are converted; deeper ones pass through unchanged.
        // The choice is read here, once per plane (never per pixel).
        const bool dither = useDithering != 0;
        if (record->depth == 8 && !ConvertDeliveredPlane(record, tile, plane, dither)) {
          StoreResult(filterBadParameters);
          return;
        }
      }

      ++done;
      if (record->progressProc != nullptr) {
        draws.HandBack();
        record->progressProc(ClampToInt32(done), total);
      }
      if (record->abortProc != nullptr) {
        draws.HandBack();
        if (record->abortProc() != 0) {
          StoreResult(userCanceledErr);
          return;
        }
      }
    }
  }
}
