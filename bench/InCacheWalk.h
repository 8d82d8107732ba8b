// The tile walk in the shape a host makes it: before handing over each plane
// of each tile, the host copies it out of its document into an input and an
// output buffer that it keeps from one tile to the next, so the module meets
// a tile that is hot in cache. What is timed is the module's own share: from
// the first advanceState to the return of the run, less the time spent
// inside advanceState, progressProc and abortProc. The limit is a copy of the
// same tiles through the same walk and the same callbacks, timed alike.
// (A stretch of the module's time in which the process plainly lost the
// processor to another counts as a typical one; InCacheWalk.cpp says how.)
#pragma once

#include <cstdint>

#include "Workloads.h"

namespace bench {

// ConvertImage over the whole image in 256 x 256 tiles, 16-bit rectangles.
// Dithered runs draw from the private copy of the generator: the C runtime's
// own where it follows the Windows rule, a model of it elsewhere.
SelfTimed InCacheConvert(Image& image, bool dither);

// The copy: the same requests and callbacks, each plane tile copied row by
// row from the input buffer to the output buffer with memcpy.
SelfTimed InCacheCopy(Image& image);

// Once, untimed: the in-cache walk gives the same output as the bench host's
// in-place walk (dithering off and on, seeded in the same second), and the
// copy leaves the image as it found it. Ends the program with 1 otherwise.
void VerifyInCacheWalk();

}  // namespace bench
