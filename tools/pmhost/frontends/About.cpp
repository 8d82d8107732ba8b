// The front end that shows the module's about box, answered like any other
// dialog of the module.
#include <cstdio>

#include "FrontEnds.h"

int ShowAbout(const SessionSetup& setup) {
  HostSession host;
  const int opened = OpenSession(setup, host);
  if (opened != kExitOk) return opened;
  int code = kExitOk;
  ArmTimeout();
  const RunOutcome outcome = RunAbout(host.module.entry, host.window);
  DisarmTimeout();
  if (outcome.result != noErr) {
    Say("pmhost: %s returned %s\n", outcome.failedSelector.c_str(), ResultName(outcome.result).c_str());
    code = outcome.result == userCanceledErr ? kExitCancelled : kExitModuleError;
  }
  code = CloseSession(host, code);
  if (code == kExitOk) Say("pmhost: done: noErr\n");
  std::fflush(stdout);
  return code;
}
