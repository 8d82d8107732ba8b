// The checks a host could make without running any of a module's code: the
// file is a whole 64-bit Windows DLL, its property list says what a host
// needs to list, enable and call the filter, the entry point it names is
// exported, it imports only system DLLs, and the terminology it points at is
// there.
#pragma once

#include <string>
#include <vector>

#include "Pipl.h"
#include "Validate.h"

struct StaticResult {
  std::vector<Verdict> rows;  // static.file, static.properties, ...
  bool runnable = false;      // the dynamic scenarios can load and call it
  PiplInfo pipl;
};

StaticResult CheckStatically(const std::string& path);

// The filter property list of a loaded module (or of a file loaded as data):
// the first of kind '8BFM'. False with `error` when there is none, or when
// the first one that could be a filter does not parse.
bool FindFilterPipl(void* module, PiplInfo& pipl, std::string& error);

// The raw data of a property of the module's first filter property list
// (e.g. "hstm"); false when there is none.
bool FindFilterProperty(void* module, const char* key, std::string& value);
