// The host side of the Windows programs that load the real Pixelmoor.8bf and
// call its PluginMain as a host does (the Wine dialogs and settings programs):
// one front end on the host kit, so that both hold the module to the same
// rules.
//
//   handles      the kit's HandleTable behind the record's handle procedures
//                (lock counts, blocks that move on their last unlock, guard
//                bytes, no resizing or disposing while locked)
//   suites       the kit's Suites on the same call log, misuse log and table
//   tiles        advanceState serves the host's planes through the kit's
//                guarded PlaneDelivery (padded rows, guard bytes, inputs and
//                masks never written, requests outside the image or planes
//                flagged), top-down and bottom-up by turns
//   calls        every PluginMain call runs inside a RecordGuard: the host's
//                record (with the host's own tail after it) compared byte by
//                byte, only the members a call may write allowed to differ;
//                what the suites still hold after it flagged under the call
//   faults       the kit's FaultPlan: "the n-th newProc / lockProc /
//                setSizeProc / advanceState fails"
//
// Callbacks carry no context: they reach the one ModuleHost alive. Make one
// per process and keep it until the module is unloaded (the module gives
// back the suite it holds when it is unloaded).
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "HostKit.h"
#include "PlaneDelivery.h"
#include "Suites.h"
#include "host/HostApi.h"

namespace hostkit {

using PluginMainProc = void (*)(int16_t selector, void* record, intptr_t* data, int16_t* result);

// ctest hands the programs Unix paths; Wine maps the filesystem root to Z:.
std::string WindowsPath(std::string path);

// A named export of a loaded module, or null.
template <typename F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct LoadedModule {
  HMODULE handle = nullptr;
  PluginMainProc main = nullptr;  // null when the module or its PluginMain is missing
};
// Loads the module at `path` (a Unix or Windows path); says on stderr why
// when it cannot.
LoadedModule LoadModule(const std::string& path);

class ModuleHost {
 public:
  explicit ModuleHost(Capabilities capabilities = {});
  ~ModuleHost();
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  static ModuleHost* Current();

  CallLog log;
  MisuseLog misuse;
  HandleTable handles{log, misuse};
  PlaneDelivery delivery{log, misuse};
  FaultPlan faults;
  Suites suites;
  // What advanceState answers when the fault plan makes it fail.
  OSErr advanceFailure = -1;
  // Flip between top-down and bottom-up tiles after every served run that
  // asked for tiles, so that a program converting twice sees both layouts.
  bool alternateLayout = true;

  // The handle procedures on the table, with the fault plan.
  HandleProcs* Procs() { return &procs_; }
  // The record's advanceState: serves the image given to Serve.
  static OSErr AdvanceState();

  // Runs PluginMain as a host makes the call: the `size` bytes at `record`
  // compared before and after (only `writable` may differ; the about record
  // and a refused call may write nothing), then what the suites still hold
  // flagged under the call. Handles are left to the caller to check: a call
  // nested in another runs while the outer one holds its blocks locked.
  void Call(PluginMainProc main, int16_t selector, void* record, size_t size, const std::vector<Range>& writable,
            intptr_t* data, int16_t* result);

  // From Serve to EndServe, advanceState delivers `image` into `record` in
  // guarded tiles. EndServe checks and takes back the last tile and answers
  // how many advanceState calls came in between.
  void Serve(FilterRecord& record, const Planes& image);
  int EndServe();
  FilterRecord* Serving() const { return record_; }

  // Writes the first misuse with the call that made it, then every misuse in
  // order, to `to`; answers whether there was any.
  bool ReportMisuse(std::FILE* to) const;

 private:
  HandleProcs procs_{};
  FilterRecord* record_ = nullptr;
  Planes image_;
  size_t advancedBefore_ = 0;
};

}  // namespace hostkit
