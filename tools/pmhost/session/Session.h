// The host session: everything a front end of pmhost needs to load a filter
// module and run it as a full host does, in one header. A session serves the
// module's handles, suites and descriptors (HostServices.h), runs its
// selectors on documents in memory (FilterHost.h: RunFilter, RunAbout), owns
// the host window and answers the module's dialogs (HostWindow.h), isolates
// crashes and hangs (Isolation.h), and keeps the call and misuse logs that a
// front end reads back after a run.
//
// A front end fills a SessionSetup, calls OpenSession, runs any number of
// documents (RunFilter on a PlanarImage, or RunAbout) and ends with
// CloseSession. One session per process: the services are process-wide.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Console.h"
#include "ExitCodes.h"
#include "FilterHost.h"
#include "HostServices.h"
#include "HostWindow.h"
#include "ImageFile.h"
#include "Isolation.h"
#include "Module.h"

struct SessionSetup {
  std::string modulePath;
  std::string entryName;   // call this export, even without a property list; empty: the property list's
  int32_t piplId = -1;     // the property list to use; -1: the first filter list
  ServiceOptions services; // the thin-host switches, the newProc fault, the registry file
  WatcherOptions watch;    // dialog answers (answerId 0: a dialog waits for a person); hostWindow is filled in
  bool showWindow = false;
  int timeoutSeconds = 0;  // the watchdog's deadline per armed span (0: none)
  int64_t clockSeconds = -1;  // the time the module's C runtime reports (seconds since 1970); -1: the real one
};

struct HostSession {
  FilterModule module;
  HWND window = nullptr;
  bool answering = false;  // the dialog watcher runs
};

// Starts the watchdog and the services, loads the registry and the module,
// makes the host window and starts answering dialogs. kExitOk, or the exit
// code after saying why not.
int OpenSession(const SessionSetup& setup, HostSession& session);

// Stops answering dialogs, disposes of the handles the host kept for the
// module, unloads it, reports what it leaked, closes the window and saves
// the registry. Returns `code`, or kExitMisuse when `code` is kExitOk and any
// misuse was reported during the session.
int CloseSession(HostSession& session, int code);
