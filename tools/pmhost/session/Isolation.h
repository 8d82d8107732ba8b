// Keeping the module's faults from passing for results: a crash of the module
// ends the process with kExitCrash and a hang with kExitTimeout, each reported
// with the selector in progress, the work in hand and the last host call. A
// front end that must outlive a module's crash runs the session in a child
// process and reads these exit codes.
#pragma once

#include <string>

// Reports an unhandled exception (and keeps Windows' error boxes away).
void InstallCrashReport();

// Starts the watchdog, when `seconds` is more than 0: a module that works
// longer than that between ArmTimeout and DisarmTimeout ends the process.
void StartWatchdog(int seconds);
// The deadline is counted only while the module works: not while the host
// itself reads or writes files.
void ArmTimeout();
void DisarmTimeout();

// What the session works on now (an image's name), named in the reports as
// " on NAME"; null for nothing. The string must live until it is replaced.
void SetWorkInHand(const std::string* what);
