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

void PrintTable(const std::vector<ModuleVerdicts>& all, double seconds);
bool WriteJson(const std::string& path, const std::vector<ModuleVerdicts>& all, double seconds);
// Every row passed or was skipped.
bool AllPassed(const std::vector<ModuleVerdicts>& all);
