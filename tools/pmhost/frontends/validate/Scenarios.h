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
  // After its verdict the child ends its process with the module still
  // loaded (the exit scenarios): a call into the host from then on fails it.
  bool exitAfter = false;
};

struct Scenario {
  const char* name;
  const char* what;          // one line, for the docs and --help
  bool quick;                // part of --quick
  const char* indexedBy;     // the callback counted and failed in turn, or null
  CaseResult (*run)(const std::string& module, const PiplInfo& pipl, const Scenario& s, int index);
  int param = 0;             // the scenario's own number (an image mode, a plane count)
  int planes = 0;
  Level level = Level::kError;  // the level of the scenario's own finding when it fails
  // The case compares its pixels with the module's plain run: the battery
  // first asks the determinism probe and passes its answer as the index
  // (kDeterministic or kNotDeterministic).
  bool comparesPixels = false;
};

inline constexpr int kDeterministic = 1, kNotDeterministic = 2;

// The determinism probe: two plain runs of the module on the pattern, more
// than a second apart (a module that seeds its noise with the time in
// seconds differs then); its count is kDeterministic or kNotDeterministic,
// its detail says why.
const Scenario& DeterminismProbe();

const std::vector<Scenario>& Battery();
const Scenario* FindScenario(const std::string& name);
