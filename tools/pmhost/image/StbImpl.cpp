// The one translation unit that holds stb's PNG reader. stb parses the
// chunks, undoes the row filters and expands palettes and small depths; the
// compressed data itself is inflated by zlib (below), which is several times
// faster than stb's own inflate on large images. (PNG files are written by
// ImageFile.cpp with zlib.)
#include <zlib.h>

#include <climits>
#include <cstdlib>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_ZLIB  // stb's PNG reader then calls the inflate defined below
#include "stb_image.h"

// Records stb's failure reason and fails.
static char* Refuse(const char* why) {
  stbi__err(why, "Corrupt PNG");
  return nullptr;
}

// stb's inflate entry as its PNG reader uses it: `buffer` holds the
// concatenated IDAT data, `initial_size` the size the image's rows take (a
// first guess), `parse_header` whether a zlib header leads the stream (0 only
// for Apple's raw-deflate variant). Returns the inflated bytes in a block of
// STBI_MALLOC, their count in `outlen`, or null with stb's failure reason.
extern "C" char* stbi_zlib_decode_malloc_guesssize_headerflag(const char* buffer, int len, int initial_size,
                                                              int* outlen, int parse_header) {
  if (buffer == nullptr || len < 0 || initial_size < 0) return Refuse("bad zlib");
  size_t capacity = initial_size > 0 ? size_t(initial_size) : 4096;
  auto* out = static_cast<unsigned char*>(STBI_MALLOC(capacity));
  if (out == nullptr) return Refuse("outofmem");
  z_stream z{};
  if (inflateInit2(&z, parse_header ? 15 : -15) != Z_OK) {
    STBI_FREE(out);
    return Refuse("outofmem");
  }
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(buffer));
  z.avail_in = static_cast<uInt>(len);
  size_t done = 0;
  int result = Z_OK;
  for (;;) {
    z.next_out = out + done;
    z.avail_out = static_cast<uInt>(capacity - done);
    result = inflate(&z, Z_NO_FLUSH);
    done = capacity - z.avail_out;
    if (result == Z_STREAM_END || (result != Z_OK && result != Z_BUF_ERROR)) break;
    if (z.avail_out != 0) break;  // input used up before the stream's end
    // More data than the rows need (stb reports that itself): grow and go on.
    if (capacity >= size_t(INT_MAX) / 2) {
      result = Z_MEM_ERROR;
      break;
    }
    auto* grown = static_cast<unsigned char*>(STBI_REALLOC(out, capacity * 2));
    if (grown == nullptr) {
      result = Z_MEM_ERROR;
      break;
    }
    out = grown;
    capacity *= 2;
  }
  inflateEnd(&z);
  if (result != Z_STREAM_END) {
    STBI_FREE(out);
    if (result == Z_MEM_ERROR) return Refuse("outofmem");
    return Refuse(result == Z_DATA_ERROR ? "bad zlib data" : "unexpected end");
  }
  *outlen = static_cast<int>(done);
  return reinterpret_cast<char*>(out);
}
