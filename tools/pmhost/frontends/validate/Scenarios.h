// The battery: every dynamic scenario, what it checks, and how a child runs
// one case of it. An indexed scenario first runs a plain probe (index 0)
// that counts the calls of one host callback; the battery then runs it once
// per call index, that call failing (or cancelling) in turn.
#pragma once

#include <string>
#include <vector>

#include "Pipl.h"
#include "Validate.h"

struct CaseResult {
  Outcome outcome = Outcome::kPass;
  std::string detail;
  int count = 0;  // the probe's count of calls, for an indexed scenario
};

struct Scenario {
  const char* name;
  const char* what;          // one line, for the docs and --help
  bool quick;                // part of --quick
  const char* indexedBy;     // the callback counted and failed in turn, or null
  CaseResult (*run)(const std::string& module, const PiplInfo& pipl, const Scenario& s, int index);
  int param = 0;             // the scenario's own number (an image mode, a plane count)
  int planes = 0;
};

const std::vector<Scenario>& Battery();
const Scenario* FindScenario(const std::string& name);
