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
#include <string>

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

// ---- the crash report, without the C runtime ----------------------------------
// The module may crash holding a lock of the runtime (its heap, a stream):
// the report is put together in a static buffer and written with WriteFile.
// The host's full description of its last call (which needs the heap and the
// log's lock) is tried on a thread of its own for a moment; the name of the
// last callback entered, kept in a static buffer, stands in when that hangs.

char gCrash[640];
size_t gCrashLength = 0;
char gLastCall[400];

void Put(const char* text) {
  while (*text != 0 && gCrashLength + 1 < sizeof gCrash) gCrash[gCrashLength++] = *text++;
  gCrash[gCrashLength] = 0;
}

void PutHex(uint64_t value, int digits) {
  char text[20];
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = "0123456789ABCDEF"[value & 15];
  text[digits] = 0;
  Put(text);
}

DWORD WINAPI DescribeLastCall(LPVOID) {
  const std::string described = LastHostCall();
  lstrcpynA(gLastCall, OneLine(described).c_str(), sizeof gLastCall);
  return 0;
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
  gCrashLength = 0;
  Put("\n@@crash the module crashed during ");
  Put(CurrentSelectorName());
  Put(": exception 0x");
  PutHex(info->ExceptionRecord->ExceptionCode, 8);
  Put(" at 0x");
  PutHex(reinterpret_cast<uintptr_t>(info->ExceptionRecord->ExceptionAddress), 16);
  Put("; the last host call: ");
  gLastCall[0] = 0;
  const HANDLE describe = CreateThread(nullptr, 0, DescribeLastCall, nullptr, 0, nullptr);
  if (describe == nullptr || WaitForSingleObject(describe, 2000) != WAIT_OBJECT_0 || gLastCall[0] == 0) {
    Put(PreparedLastCall());
    Put(" (the call log could not be read)");
  } else {
    Put(gLastCall);
  }
  Put("\n");
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), gCrash, static_cast<DWORD>(gCrashLength), &written, nullptr);
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
  const char* kind = result.outcome == Outcome::kPass   ? "pass"
                     : result.outcome == Outcome::kWarn ? "warn"
                     : result.outcome == Outcome::kSkip ? "skip"
                                                        : "fail";
  Emit("verdict", std::string(kind) + " " + std::to_string(result.count) + " " + result.detail);
  if (result.exitAfter && result.outcome == Outcome::kPass) {
    // The end of the process, the module still loaded: the runtime's exit
    // handlers, then every DLL's unload.
    MarkProcessEnding();
    std::exit(0);
  }
  return 0;
}
