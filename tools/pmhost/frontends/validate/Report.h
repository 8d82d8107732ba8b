// The battery's verdicts for people (a table, behind a progress bar on a
// console) and as data (JSON).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Validate.h"

struct ModuleVerdicts {
  std::string module;
  std::vector<Verdict> rows;
};

// A bar on stderr while the battery runs, only when stderr is a console.
class Progress {
 public:
  explicit Progress(size_t total);
  void Step(const char* scenario);
  void Done();

 private:
  size_t total_, done_ = 0;
  bool shown_;
};

// With `strict`, warnings count as failures.
void PrintTable(const std::vector<ModuleVerdicts>& all, double seconds, bool strict);
// Both in UTF-8, whatever the code page of the names (converted from the
// system's ANSI code page, in which pmhost gets its arguments).
bool WriteJson(const std::string& path, const std::vector<ModuleVerdicts>& all, double seconds, bool strict);
bool WriteJunit(const std::string& path, const std::vector<ModuleVerdicts>& all, double seconds, bool strict);
// Every row of every module passed (with warnings unless `strict`) or was skipped.
bool AllPassed(const std::vector<ModuleVerdicts>& all, bool strict);
