// pmhost --validate: a conformance check for any filter module. Static
// checks read the file without running it; every dynamic scenario runs in a
// child pmhost process of its own (a fresh load, crashes and hangs isolated),
// and the verdicts end in one table, or in a JSON file. See docs/validate.md.
#pragma once

#include <string>
#include <vector>

// kWarn: passed, with findings that only some hosts punish (failing under
// --strict). kError: the validator itself could not run the case (a child
// that would not start): never the module's fault.
enum class Outcome { kPass, kWarn, kFail, kCrash, kHang, kSkip, kError };

// How bad a finding is: an error fails the scenario on every host; a warning
// is behaviour only some hosts punish, and fails only with --strict.
enum class Level { kError, kWarning };

// The level of a misuse the host logged, decided by the one table in
// Drive.cpp from the misuse log's own words.
Level LevelOfMisuse(const std::string& what);
// That table, for --list and the docs: the words, the level and why.
struct MisuseLevel {
  const char* words;
  Level level;
  const char* why;
};
const std::vector<MisuseLevel>& MisuseLevels();

// One row of the verdict table.
struct Verdict {
  std::string scenario;
  Outcome outcome = Outcome::kPass;
  std::string detail;  // the first misuse with its call, the last host call, why skipped, ...
  double seconds = 0;
};

const char* OutcomeName(Outcome o);

// pmhost --validate [--quick] [--strict] [--json FILE] [--junit FILE] MODULE.8bf|DIR ...
// Exit code 0 when every scenario of every module passed without a warning,
// 2 when some passed with warnings only, 8 when any failed (warnings too,
// with --strict), 1 for a usage or host error.
int ValidateMain(int argc, char** argv);

// pmhost --validate-child SCENARIO INDEX MODULE: one case of a dynamic
// scenario, its verdict printed as "@@" lines on stdout (see Child.cpp).
int ValidateChildMain(int argc, char** argv);
