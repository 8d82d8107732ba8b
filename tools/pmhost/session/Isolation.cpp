#include "Isolation.h"

#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include "Console.h"
#include "ExitCodes.h"
#include "FilterHost.h"
#include "HostServices.h"

namespace {

int gTimeoutSeconds = 0;
// The watchdog gives up when the clock passes this; no deadline while the
// host itself reads or writes files.
std::atomic<ULONGLONG> gDeadline{ULLONG_MAX};
std::atomic<const std::string*> gWorkInHand{nullptr};

// " on IMAGE" while an image is in hand, for the reports below.
std::string OnImage() {
  const std::string* what = gWorkInHand;
  return what != nullptr ? " on " + *what : std::string();
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
  std::fflush(stdout);
  BarAbandon();
  std::fprintf(stderr, "pmhost: the module crashed during %s%s: exception 0x%08lX at %p; the last host call: %s\n",
               CurrentSelectorName(), OnImage().c_str(), info->ExceptionRecord->ExceptionCode,
               info->ExceptionRecord->ExceptionAddress, LastHostCall().c_str());
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), kExitCrash);
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI Watchdog(LPVOID) {
  while (GetTickCount64() < gDeadline) Sleep(50);
  std::fflush(stdout);
  BarAbandon();
  const std::string where = std::strcmp(CurrentSelectorName(), "none") == 0
                                ? std::string("outside the module's calls")
                                : std::string("during ") + CurrentSelectorName();
  std::fprintf(stderr, "pmhost: no result after %d s%s (%s; the last host call: %s); giving up\n", gTimeoutSeconds,
               OnImage().c_str(), where.c_str(), LastHostCall().c_str());
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), kExitTimeout);
  return 0;
}

}  // namespace

void InstallCrashReport() {
  SetUnhandledExceptionFilter(OnCrash);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

void StartWatchdog(int seconds) {
  gTimeoutSeconds = seconds;
  if (seconds > 0) CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
}

void ArmTimeout() {
  if (gTimeoutSeconds > 0) gDeadline = GetTickCount64() + ULONGLONG(gTimeoutSeconds) * 1000;
}
void DisarmTimeout() { gDeadline = ULLONG_MAX; }

void SetWorkInHand(const std::string* what) { gWorkInHand = what; }
