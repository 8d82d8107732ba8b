// The one translation unit that holds stb's PNG reader. (PNG files are
// written by ImageFile.cpp with zlib.)
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include "stb_image.h"
