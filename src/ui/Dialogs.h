// The module's two dialogs, as the selector handlers see them.
#pragma once

#include <cstdint>

#include "host/HostApi.h"

// Runs the confirmation dialog over the record's host window; true only for
// OK. A dialog that cannot be shown answers false.
bool ShowConfirmDialog(const FilterRecord* record);

// Runs the about box over the host window; the result is ignored by callers.
intptr_t ShowAboutBox(const AboutRecord* about);
