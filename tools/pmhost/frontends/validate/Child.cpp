// The child process of the battery: runs one case of one scenario and prints
// its verdict as the last line starting with "@@":
//   @@verdict pass|fail|skip COUNT DETAIL   the case ran to its end
//   @@crash DETAIL                          the module crashed (selector, exception, last host call)
//   @@hang DETAIL                           the module did not return in time
// Everything else it prints is the host's own log of the case.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FilterHost.h"
#include "HostServices.h"
#include "Scenarios.h"
#include "StaticChecks.h"
#include "Validate.h"

namespace {

constexpr int kExitCrash = 6, kExitTimeout = 7;
std::atomic<ULONGLONG> gDeadline{0};
int gTimeoutSeconds = 0;

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

void Emit(const char* kind, const std::string& detail) {
  std::fflush(stdout);
  std::printf("\n@@%s %s\n", kind, OneLine(detail).c_str());
  std::fflush(stdout);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
  char text[160];
  std::snprintf(text, sizeof text, "the module crashed during %s: exception 0x%08lX at %p; the last host call: ",
                CurrentSelectorName(), info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
  Emit("crash", text + LastHostCall());
  TerminateProcess(GetCurrentProcess(), kExitCrash);
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI Watchdog(LPVOID) {
  while (GetTickCount64() < gDeadline) Sleep(50);
  Emit("hang", "no result after " + std::to_string(gTimeoutSeconds) + " s, during " + CurrentSelectorName() +
                   "; the last host call: " + LastHostCall());
  TerminateProcess(GetCurrentProcess(), kExitTimeout);
  return 0;
}

}  // namespace

int ValidateChildMain(int argc, char** argv) {
  SetUnhandledExceptionFilter(OnCrash);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  if (argc != 6) {
    std::fprintf(stderr, "usage: pmhost --validate-child SCENARIO INDEX SECONDS MODULE\n");
    return 1;
  }
  const Scenario* scenario = FindScenario(argv[2]);
  const int index = std::atoi(argv[3]);
  gTimeoutSeconds = std::atoi(argv[4]);
  const std::string module = argv[5];
  if (scenario == nullptr) {
    Emit("verdict", std::string("fail 0 no scenario named ") + argv[2]);
    return 1;
  }
  gDeadline = GetTickCount64() + ULONGLONG(gTimeoutSeconds) * 1000;
  CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
  // The property list as data first: some scenarios decide by it.
  PiplInfo pipl;
  std::string error;
  HMODULE data = LoadLibraryExA(module.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (data == nullptr || !FindFilterPipl(data, pipl, error)) {
    Emit("verdict", "fail 0 " + (data == nullptr ? std::string("cannot load the module as data") : error));
    return 1;
  }
  FreeLibrary(data);
  const CaseResult result = scenario->run(module, pipl, *scenario, index);
  const char* kind = result.outcome == Outcome::kPass ? "pass" : result.outcome == Outcome::kSkip ? "skip" : "fail";
  Emit("verdict", std::string(kind) + " " + std::to_string(result.count) + " " + result.detail);
  return 0;
}
