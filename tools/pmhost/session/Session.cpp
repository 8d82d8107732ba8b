#include "Session.h"

#include <cstdio>

int OpenSession(const SessionSetup& setup, HostSession& session) {
  StartWatchdog(setup.timeoutSeconds);
  std::string error;
  InitServices(setup.services);
  if (!LoadRegistry(error)) {
    std::fprintf(stderr, "pmhost: %s\n", error.c_str());
    return kExitHostError;
  }
  const int loaded = LoadFilterModule(setup.modulePath, setup.entryName, setup.piplId, session.module);
  if (loaded != kExitOk) return loaded;
  if (setup.clockSeconds >= 0 && !FixModuleClock(session.module.handle, setup.clockSeconds)) {
    std::fprintf(stderr, "pmhost: --clock: %s imports no time function of the C runtime\n", setup.modulePath.c_str());
    return kExitHostError;
  }

  session.window = CreateHostWindow(setup.showWindow);
  if (session.window == nullptr) {
    std::fprintf(stderr, "pmhost: cannot create the host window (error %lu)\n", GetLastError());
    return kExitHostError;
  }
  WatcherOptions watch = setup.watch;
  watch.hostWindow = session.window;
  session.answering = watch.answerId != 0;
  if (session.answering) StartDialogWatcher(watch);
  else Say("pmhost: no --answer given: a dialog of the module waits for a person\n");
  return kExitOk;
}

int CloseSession(HostSession& session, int code) {
  if (session.answering) {
    const int answered = StopDialogWatcher();
    Say("pmhost: %d dialog(s) answered\n", answered);
  }
  EndSession();
  // Unloading first: a module releases the suites it holds when it is unloaded.
  FreeLibrary(session.module.handle);
  ReportLeaks();
  DestroyWindow(session.window);
  for (const std::string& line : DescribeRegistry()) Say("pmhost: registry entry %s\n", line.c_str());
  std::string error;
  if (!SaveRegistry(error)) Warn("pmhost: %s\n", error.c_str());

  if (MisuseCount() > 0) {
    Say("pmhost: %d misuse(s) of the host reported; the first: %s\n", MisuseCount(), MisuseLine(0).c_str());
    // Also those that belong to no one image: the about box, leaks found
    // once the module is gone.
    if (code == kExitOk) code = kExitMisuse;
  }
  return code;
}
