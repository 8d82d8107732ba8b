// The module's two dialogs, as the selector handlers see them.
#pragma once

#include <cstdint>

#include "host/HostApi.h"

// Runs the confirmation dialog over the host window; stores 0 in the result
// slot whichever way it ends, and answers true only for OK.
bool ShowConfirmDialog();

// Runs the about box over the host window; the result is ignored by callers.
intptr_t ShowAboutBox(const AboutRecord* about);
