// The one place that reads and writes the host's rectangles. Each call picks
// the 32-bit members of the big-document record when the host offers them and
// they are switched on, the 16-bit members of the filter record otherwise.
#pragma once

#include "host/HostApi.h"

VRect ReadFilterRect();
VRect ReadOutRect();
void WriteInRect(VRect rect);
void WriteOutRect(VRect rect);
void WriteMaskRect(VRect rect);
