// pmhost --validate: a conformance check for any filter module. Static
// checks read the file without running it; every dynamic scenario runs in a
// child pmhost process of its own (a fresh load, crashes and hangs isolated),
// and the verdicts end in one table, or in a JSON file. See docs/validate.md.
#pragma once

#include <string>
#include <vector>

enum class Outcome { kPass, kFail, kCrash, kHang, kSkip };

// One row of the verdict table.
struct Verdict {
  std::string scenario;
  Outcome outcome = Outcome::kPass;
  std::string detail;  // the first misuse with its call, the last host call, why skipped, ...
  double seconds = 0;
};

const char* OutcomeName(Outcome o);

// pmhost --validate [--quick] [--json FILE] MODULE.8bf|DIR ...
// Exit code 0 only when every scenario of every module passed.
int ValidateMain(int argc, char** argv);

// pmhost --validate-child SCENARIO INDEX MODULE: one case of a dynamic
// scenario, its verdict printed as "@@" lines on stdout (see Child.cpp).
int ValidateChildMain(int argc, char** argv);
