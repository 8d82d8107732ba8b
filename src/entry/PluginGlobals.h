// Transitional: the tile driver still reads the dithering choice from the
// locked parameter block. Goes once ConvertImage takes it as an argument.
#pragma once

#include "entry/Blocks.h"
#include "host/CallContext.h"
