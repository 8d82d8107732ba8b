// The parent side of --validate: the modules named, their static checks, and
// every dynamic scenario run case by case in child processes of this same
// program (under Wine, a child started inside the running Wine costs far less
// than a new Wine), so that a crash or a hang ends one case, not the battery.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "Report.h"
#include "Scenarios.h"
#include "StaticChecks.h"
#include "Validate.h"

namespace {

constexpr int kExitOk = 0, kExitUsage = 1, kExitWarnings = 2, kExitFailed = 8;
int gCaseSeconds = 30;  // --case-timeout
constexpr int kLifetimeFactor = 8;  // the lifetime scenario's 200 cycles get this many cases' time
// An indexed scenario runs at most this many call indexes, spread evenly.
constexpr int kMaxIndexes = 64;

const char* const kUsage =
    "usage: pmhost --validate [--quick] [--strict] [--json FILE] [--junit FILE] [--only PREFIX] [--skip PREFIX]\n"
    "                         MODULE.8bf|DIR ...\n"
    "       pmhost --validate --list\n"
    "  --quick        a subset of the scenarios, and only the first and last call of the indexed ones\n"
    "  --strict       warnings fail too\n"
    "  --json FILE    write the verdicts as data too\n"
    "  --junit FILE   and as a JUnit XML report\n"
    "  --list         print every scenario, the level of its finding, and what it checks\n"
    "  --only PREFIX  only the scenarios whose names start with PREFIX (repeatable)\n"
    "  --skip PREFIX  leave out the scenarios whose names start with PREFIX (repeatable)\n"
    "  --case-timeout SEC  a case that has not ended after SEC seconds hangs (default 30)\n"
    "  --verbose      print each child's log\n"
    "exit codes: 0 every scenario passed (or was skipped, with the reason), 1 usage or host error,\n"
    "            2 passed with warnings, 8 a scenario failed, crashed or hung (or warned, with --strict)\n";

struct ChildAnswer {
  Outcome outcome = Outcome::kCrash;
  std::string detail;
  int count = 0;
};

bool gVerbose = false;
constexpr int kStartAttempts = 3;

// PMHOST_VALIDATE_FAILED_STARTS=N makes the first N attempts to start a
// child fail as if the system had refused them: the tests' way to show that
// the validator retries, and then blames itself, not the module.
bool FailStartForTest() {
  static int left = [] {
    char value[16] = {};
    return GetEnvironmentVariableA("PMHOST_VALIDATE_FAILED_STARTS", value, sizeof value) > 0 ? std::atoi(value) : 0;
  }();
  if (left <= 0) return false;
  --left;
  SetLastError(ERROR_NO_SYSTEM_RESOURCES);
  return true;
}

std::string SelfPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

// Runs `pmhost --validate-child` for one case, its output into a scratch file.
ChildAnswer RunChild(const Scenario& s, int index, const std::string& module) {
  ChildAnswer answer;
  char dir[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, dir);
  const std::string log = std::string(dir) + "pmhost-validate-" + std::to_string(GetCurrentProcessId()) + ".log";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    answer.detail = "cannot make the scratch file " + log;
    return answer;
  }
  const int seconds = std::strcmp(s.name, "lifetime") == 0 ? gCaseSeconds * kLifetimeFactor : gCaseSeconds;
  std::string command = "\"" + SelfPath() + "\" --validate-child " + s.name + " " + std::to_string(index) + " " +
                        std::to_string(seconds) + " \"" + module + "\"";
  STARTUPINFOA start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = nullptr;
  start.hStdOutput = start.hStdError = out;
  PROCESS_INFORMATION child{};
  // A child that cannot start is the validator's trouble (a busy machine, a
  // full process table), never the module's: tried again, then reported as
  // a host error.
  DWORD startError = 0;
  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    if (!FailStartForTest() &&
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child)) {
      startError = 0;
      break;
    }
    startError = GetLastError() != 0 ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    if (attempt < kStartAttempts) Sleep(DWORD(250 * attempt));
  }
  if (startError != 0) {
    CloseHandle(out);
    DeleteFileA(log.c_str());
    answer.outcome = Outcome::kError;
    answer.detail = "the validator could not start its child process (error " + std::to_string(startError) + ", " +
                    std::to_string(kStartAttempts) + " tries): not the module's fault";
    return answer;
  }
  CloseHandle(out);
  // The child's own watchdog reports a hang with the last host call; this is
  // the backstop for a child that cannot even do that.
  if (WaitForSingleObject(child.hProcess, DWORD(seconds + 15) * 1000) == WAIT_TIMEOUT) {
    TerminateProcess(child.hProcess, 7);
    WaitForSingleObject(child.hProcess, 5000);
    answer.outcome = Outcome::kHang;
    answer.detail = "the child gave no answer in " + std::to_string(seconds + 15) + " s";
  }
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);

  std::ifstream in(log, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  DeleteFileA(log.c_str());
  if (gVerbose) std::printf("---- %s %d\n%s", s.name, index, text.c_str());
  const size_t at = text.rfind("\n@@");
  if (at == std::string::npos) {
    if (answer.outcome != Outcome::kHang) answer.detail = "the child ended with exit code " + std::to_string(code) + " and no verdict";
    return answer;
  }
  std::string line = text.substr(at + 3);
  line = line.substr(0, line.find_first_of("\r\n"));
  const size_t space = line.find(' ');
  const std::string kind = line.substr(0, space);
  std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  if (kind == "crash" || kind == "hang") {
    answer.outcome = kind == "crash" ? Outcome::kCrash : Outcome::kHang;
    answer.detail = rest;
    return answer;
  }
  const size_t a = rest.find(' '), b = a == std::string::npos ? a : rest.find(' ', a + 1);
  const std::string verdict = rest.substr(0, a);
  answer.outcome = verdict == "pass"   ? Outcome::kPass
                   : verdict == "warn" ? Outcome::kWarn
                   : verdict == "skip" ? Outcome::kSkip
                                       : Outcome::kFail;
  answer.count = a == std::string::npos ? 0 : std::atoi(rest.substr(a + 1, b - a - 1).c_str());
  answer.detail = b == std::string::npos ? "" : rest.substr(b + 1);
  return answer;
}

// The call indexes an indexed scenario runs: every one, or with --quick the
// first and the last; at most kMaxIndexes, spread evenly.
std::vector<int> Indexes(int count, bool quick) {
  std::vector<int> list;
  if (quick) return count > 1 ? std::vector<int>{1, count} : std::vector<int>{1};
  const int step = (count + kMaxIndexes - 1) / kMaxIndexes;
  for (int i = 1; i <= count; i += step) list.push_back(i);
  if (list.back() != count) list.push_back(count);
  return list;
}

// `determinism`: the probe's answer for the module, asked once, for the
// scenarios that compare pixels (0 until asked).
Verdict RunScenario(const Scenario& s, const std::string& module, bool quick, int& determinism) {
  const ULONGLONG started = GetTickCount64();
  Verdict v{s.name, Outcome::kPass, "", 0};
  if (s.comparesPixels && determinism == 0) {
    const ChildAnswer probe = RunChild(DeterminismProbe(), 0, module);
    determinism = probe.outcome == Outcome::kPass ? probe.count : kNotDeterministic;
  }
  const ChildAnswer first = RunChild(s, s.comparesPixels ? determinism : 0, module);
  v.outcome = first.outcome;
  v.detail = first.detail;
  if (s.indexedBy != nullptr) {
    if (first.outcome == Outcome::kSkip) {
      v.detail = first.detail;
    } else if (first.outcome != Outcome::kPass && first.outcome != Outcome::kWarn) {
      v.detail = "the plain run before the faults: " + first.detail;
    } else if (first.count == 0) {
      v.outcome = Outcome::kSkip;
      v.detail = std::string("the module never calls ") + s.indexedBy + " on a small RGB image";
    } else {
      const std::vector<int> indexes = Indexes(first.count, quick);
      v.detail = std::to_string(indexes.size()) + " of " + std::to_string(first.count) + " " + s.indexedBy + " calls";
      std::string warning = first.outcome == Outcome::kWarn ? "the plain run: " + first.detail : "";
      for (int i : indexes) {
        const ChildAnswer a = RunChild(s, i, module);
        if (a.outcome == Outcome::kWarn && warning.empty())
          warning = "at " + std::string(s.indexedBy) + " call " + std::to_string(i) + ": " + a.detail;
        if (a.outcome == Outcome::kPass || a.outcome == Outcome::kSkip || a.outcome == Outcome::kWarn) continue;
        v.outcome = a.outcome;
        v.detail = "at " + std::string(s.indexedBy) + " call " + std::to_string(i) + " of " + std::to_string(first.count) + ": " + a.detail;
        break;
      }
      // Warnings do not stop the calls that follow; the first is named.
      if ((v.outcome == Outcome::kPass || v.outcome == Outcome::kWarn) && !warning.empty()) {
        v.outcome = Outcome::kWarn;
        v.detail += "; " + warning;
      }
    }
  }
  // A scenario whose own finding is a warning fails only with --strict.
  // A misuse error or a leftover found on the way stays an error.
  if (v.outcome == Outcome::kFail && s.level == Level::kWarning && v.detail.rfind("misuse: ", 0) != 0 &&
      v.detail.rfind("after the module was unloaded", 0) != 0)
    v.outcome = Outcome::kWarn;
  v.seconds = double(GetTickCount64() - started) / 1000.0;
  return v;
}

bool StartsWithAny(const char* name, const std::vector<std::string>& prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&](const std::string& p) { return std::strncmp(name, p.c_str(), p.size()) == 0; });
}

bool Selected(const Scenario& s, const std::vector<std::string>& only, const std::vector<std::string>& skip, bool quick) {
  if (StartsWithAny(s.name, skip)) return false;
  return only.empty() ? !quick || s.quick : StartsWithAny(s.name, only);
}

std::vector<std::string> ModulesIn(const std::string& where) {
  const DWORD attributes = GetFileAttributesA(where.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return {where};
  std::vector<std::string> files;
  const std::string dir = where.back() == '/' || where.back() == '\\' ? where : where + "\\";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir + "*.8bf").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do files.push_back(dir + found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

const char* OutcomeName(Outcome o) {
  switch (o) {
    case Outcome::kPass: return "pass";
    case Outcome::kFail: return "FAIL";
    case Outcome::kCrash: return "CRASH";
    case Outcome::kHang: return "HANG";
    case Outcome::kSkip: return "skip";
    case Outcome::kWarn: return "warn";
    case Outcome::kError: return "ERROR";
  }
  return "?";
}

const std::vector<const char*>& StaticRowNames() {
  static const std::vector<const char*> names = {"static.file", "static.properties", "static.exports", "static.imports",
                                                 "static.terminology"};
  return names;
}

void PrintList() {
  std::printf("%-26s %-7s %-5s %s\n", "scenario", "level", "quick", "what it checks");
  for (const char* name : StaticRowNames())
    std::printf("%-26s %-7s %-5s %s\n", name, "error", "yes", "read from the file, without running it");
  for (const Scenario& s : Battery())
    std::printf("%-26s %-7s %-5s %s\n", s.name, s.level == Level::kWarning ? "warning" : "error", s.quick ? "yes" : "",
                s.what);
  std::printf("\nIn any scenario, these findings of the host's misuse log are warnings (the others are errors):\n");
  for (const MisuseLevel& m : MisuseLevels()) std::printf("  \"%s\": %s\n", m.words, m.why);
  std::printf("  and handles, GDI objects or window classes left after the module was unloaded: a system cache can "
              "account for one; the lifetime scenario counts them over 200 loads\n");
}

// Whether `prefix` starts the name of any row the battery can give.
bool MatchesSomething(const std::string& prefix) {
  auto starts = [&](const char* name) { return std::strncmp(name, prefix.c_str(), prefix.size()) == 0; };
  for (const char* name : StaticRowNames())
    if (starts(name)) return true;
  for (const Scenario& s : Battery())
    if (starts(s.name)) return true;
  return false;
}

int ValidateMain(int argc, char** argv) {
  bool quick = false, strict = false;
  std::string json, junit;
  std::vector<std::string> only, skip, modules;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--validate") continue;
    if (a == "--quick") quick = true;
    else if (a == "--strict") strict = true;
    else if (a == "--list") return PrintList(), kExitOk;
    else if (a == "--junit" && i + 1 < argc) junit = argv[++i];
    else if (a == "--verbose") gVerbose = true;
    else if (a == "--json" && i + 1 < argc) json = argv[++i];
    else if (a == "--case-timeout" && i + 1 < argc) gCaseSeconds = std::max(1, std::atoi(argv[++i]));
    else if (a == "--only" && i + 1 < argc) only.push_back(argv[++i]);
    else if (a == "--skip" && i + 1 < argc) skip.push_back(argv[++i]);
    else if (a == "--help" || a == "-h") return std::fputs(kUsage, stdout), kExitOk;
    else if (a.size() > 1 && a[0] == '-') return std::fprintf(stderr, "pmhost: unknown option %s for --validate\n%s", a.c_str(), kUsage), kExitUsage;
    else {
      const auto found = ModulesIn(a);
      if (found.empty()) return std::fprintf(stderr, "pmhost: %s holds no .8bf file\n", a.c_str()), kExitUsage;
      modules.insert(modules.end(), found.begin(), found.end());
    }
  }
  if (modules.empty()) return std::fputs(kUsage, stderr), kExitUsage;
  // A prefix that names nothing is a typo, not a request for no scenario.
  for (const std::vector<std::string>* list : {&only, &skip})
    for (const std::string& prefix : *list)
      if (!MatchesSomething(prefix))
        return std::fprintf(stderr, "pmhost: no scenario starts with \"%s\" (pmhost --validate --list names them)\n",
                            prefix.c_str()),
               kExitUsage;

  // The children inherit their log file and nothing else of ours: a process
  // that outlives a child (under Wine, a service it starts) must not keep
  // this program's output open after it ends.
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
    SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
  const ULONGLONG started = GetTickCount64();
  std::vector<ModuleVerdicts> all;
  size_t total = 0;
  for (const Scenario& s : Battery()) total += Selected(s, only, skip, quick) ? 1 : 0;
  Progress progress(total * modules.size());
  for (const std::string& module : modules) {
    ModuleVerdicts m{module, {}};
    int determinism = 0;
    const StaticResult statics = CheckStatically(module);
    m.rows = statics.rows;
    for (const Scenario& s : Battery()) {
      if (!Selected(s, only, skip, quick)) continue;
      progress.Step(s.name);
      if (!statics.runnable) m.rows.push_back(Verdict{s.name, Outcome::kSkip, "the static checks found no entry point to call", 0});
      else m.rows.push_back(RunScenario(s, module, quick, determinism));
    }
    all.push_back(std::move(m));
  }
  progress.Done();
  const double seconds = double(GetTickCount64() - started) / 1000.0;
  PrintTable(all, seconds, strict);
  if (!json.empty() && !WriteJson(json, all, seconds, strict)) {
    std::fprintf(stderr, "pmhost: cannot write %s\n", json.c_str());
    return kExitUsage;
  }
  if (!junit.empty() && !WriteJunit(junit, all, seconds, strict)) {
    std::fprintf(stderr, "pmhost: cannot write %s\n", junit.c_str());
    return kExitUsage;
  }
  bool warned = false, hostError = false;
  for (const ModuleVerdicts& m : all)
    for (const Verdict& v : m.rows) {
      warned = warned || v.outcome == Outcome::kWarn;
      hostError = hostError || v.outcome == Outcome::kError;
    }
  if (hostError) return kExitUsage;
  if (!AllPassed(all, strict)) return kExitFailed;
  return warned ? kExitWarnings : kExitOk;
}
