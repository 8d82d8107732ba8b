// A filter host for fuzzing: it decodes a byte string into a session of
// PluginMain calls with random records, missing or failing callbacks and
// suites, and traps (__builtin_trap) on any misuse of the host by the module.
#pragma once

#include <cstddef>
#include <cstdint>

// Runs one session. Returns normally when the module behaved; traps otherwise.
void RunFuzzInput(const uint8_t* data, size_t size);

// The answer of the confirmation dialog for the running session: true for OK.
bool FuzzConfirmAnswer();

// How many link buttons the user presses in the about box, from the input.
int FuzzAboutClicks();
