// A filter module as a host finds it: its property lists, read without
// running any of its code, the module loaded with its entry point, and
// whether the filter is enabled for a document.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FilterHost.h"
#include "ImageFile.h"
#include "Pipl.h"

constexpr uint32_t kFilterKind = 0x3842464D;  // '8BFM'

// One "PIPL" resource: its id, and what it says or why it cannot be read.
struct PiplResource {
  int id;
  PiplInfo info;
  std::string error;
};

// Every property list of a loaded module (or of one loaded as data).
std::vector<PiplResource> ReadPipls(HMODULE module);

// A module loaded to be run.
struct FilterModule {
  HMODULE handle = nullptr;
  PluginEntry entry = nullptr;
  PiplInfo pipl;
  bool havePipl = false;  // false when run through an entry name without a property list
  const PiplInfo* Pipl() const { return havePipl ? &pipl : nullptr; }
};

// Loads the module (under the deadline: loading runs its start-up code),
// picks its filter property list (`piplId`, or the first of kind '8BFM'),
// and finds the entry point it names, or `entryName` when given. kExitOk, or
// the exit code after saying why not.
int LoadFilterModule(const std::string& path, const std::string& entryName, int32_t piplId, FilterModule& module);

// Makes the module's imports of the C runtime's time() (_time64, _time32 and
// time, from any DLL) answer `seconds` from now on: two runs, even of modules
// for different machines, then see the same clock and seed alike. False when
// the module imports none of them.
bool FixModuleClock(HMODULE module, int64_t seconds);

// Whether the filter may run on the document; `why` says why not.
bool IsEnabled(const PiplInfo& pipl, const PlanarImage& image, std::string& why);
