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

constexpr int kExitOk = 0, kExitUsage = 1, kExitFailed = 8;
int gCaseSeconds = 30;  // --case-timeout
constexpr int kLifetimeFactor = 8;  // the lifetime scenario's 200 cycles get this many cases' time
// An indexed scenario runs at most this many call indexes, spread evenly.
constexpr int kMaxIndexes = 64;

const char* const kUsage =
    "usage: pmhost --validate [--quick] [--json FILE] [--only PREFIX] MODULE.8bf|DIR ...\n"
    "  --quick        a subset of the scenarios, and only the first and last call of the indexed ones\n"
    "  --json FILE    write the verdicts as data too\n"
    "  --only PREFIX  only the scenarios whose names start with PREFIX (repeatable)\n"
    "  --skip PREFIX  leave out the scenarios whose names start with PREFIX (repeatable)\n"
    "  --case-timeout SEC  a case that has not ended after SEC seconds hangs (default 30)\n"
    "  --verbose      print each child's log\n"
    "exit codes: 0 every scenario passed (or was skipped, with the reason), 1 usage or host error,\n"
    "            8 a scenario failed, crashed or hung\n";

struct ChildAnswer {
  Outcome outcome = Outcome::kCrash;
  std::string detail;
  int count = 0;
};

bool gVerbose = false;

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
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child)) {
    CloseHandle(out);
    answer.detail = "cannot start the child process (error " + std::to_string(GetLastError()) + ")";
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
  answer.outcome = verdict == "pass" ? Outcome::kPass : verdict == "skip" ? Outcome::kSkip : Outcome::kFail;
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

Verdict RunScenario(const Scenario& s, const std::string& module, bool quick) {
  const ULONGLONG started = GetTickCount64();
  Verdict v{s.name, Outcome::kPass, "", 0};
  const ChildAnswer first = RunChild(s, 0, module);
  v.outcome = first.outcome;
  v.detail = first.detail;
  if (s.indexedBy != nullptr) {
    if (first.outcome != Outcome::kPass) {
      v.detail = "the plain run before the faults: " + first.detail;
    } else if (first.count == 0) {
      v.outcome = Outcome::kSkip;
      v.detail = std::string("the module never calls ") + s.indexedBy + " on a small RGB image";
    } else {
      const std::vector<int> indexes = Indexes(first.count, quick);
      v.detail = std::to_string(indexes.size()) + " of " + std::to_string(first.count) + " " + s.indexedBy + " calls";
      for (int i : indexes) {
        const ChildAnswer a = RunChild(s, i, module);
        if (a.outcome == Outcome::kPass || a.outcome == Outcome::kSkip) continue;
        v.outcome = a.outcome;
        v.detail = "at " + std::string(s.indexedBy) + " call " + std::to_string(i) + " of " + std::to_string(first.count) + ": " + a.detail;
        break;
      }
    }
  }
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
  }
  return "?";
}

int ValidateMain(int argc, char** argv) {
  bool quick = false;
  std::string json;
  std::vector<std::string> only, skip, modules;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--validate") continue;
    if (a == "--quick") quick = true;
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
    const StaticResult statics = CheckStatically(module);
    m.rows = statics.rows;
    for (const Scenario& s : Battery()) {
      if (!Selected(s, only, skip, quick)) continue;
      progress.Step(s.name);
      if (!statics.runnable) m.rows.push_back(Verdict{s.name, Outcome::kSkip, "the static checks found no entry point to call", 0});
      else m.rows.push_back(RunScenario(s, module, quick));
    }
    all.push_back(std::move(m));
  }
  progress.Done();
  const double seconds = double(GetTickCount64() - started) / 1000.0;
  PrintTable(all, seconds);
  if (!json.empty() && !WriteJson(json, all, seconds)) {
    std::fprintf(stderr, "pmhost: cannot write %s\n", json.c_str());
    return kExitUsage;
  }
  return AllPassed(all) ? kExitOk : kExitFailed;
}
