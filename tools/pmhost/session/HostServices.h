// What the host serves besides the pixels: memory handles, the basic suite
// and the suites behind it (descriptor registry, action descriptors, file
// list), the write-descriptor procedures; and the session's logs. Handles come
// from the host kit's handle table, every call goes into the kit's call log
// and every misuse into its misuse log, with the call that made it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Descriptors.h"
#include "HostKit.h"
#include "host/HostApi.h"

struct ServiceOptions {
  bool basicSuite = true;
  bool registrySuite = true;
  bool descriptorV2 = true;
  bool descriptorV3 = true;
  bool fileListSuite = true;
  bool writeDescriptorProcs = true;
  int32_t failNewHandleAt = 0;  // newProc answers null on this call (1-based); 0 never
  int32_t failLockAt = 0;       // lockProc answers null on this call (1-based); 0 never
  int16_t handleProcCount = 8;  // fewer: a half-filled table, the entries past the count null
  std::string registryFile;     // empty: the registry lives for this run only
  bool verbose = false;         // print every call as the call log takes it
};

// Logs a misuse of the host interface by the module, naming the call in
// progress, and prints it.
void ReportMisuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
int MisuseCount();
// Misuse number `index` (0 the first of the session) with its call, for people.
std::string MisuseLine(int index);
// The last call in the call log, described (for the crash and timeout reports).
std::string LastHostCall();
// The name of the last host callback the module entered, kept in a static
// buffer: readable from a crash handler that must not take a lock.
const char* PreparedLastCall();
// From here on the process is ending: every call of the module into the host
// is an error, reported on the standard output as "@@verdict fail ..." before
// the process ends at once.
void MarkProcessEnding();
// The whole misuse log and call log of the session so far, for a front end
// that judges a run by them.
std::vector<hostkit::Misuse> MisuseEntries();
std::vector<std::string> CallLogLines();

// The call log's entries for what the pixel side of the host does: a
// selector called and returned (the checks after it report in its name), a
// callback begun (named in any misuse found while it runs) and logged.
void EnterSelector(const char* selector);
void LeaveSelector(const char* selector);
void BeginCall(const char* name);
void NoteCall(hostkit::Event e, const char* name);

void InitServices(const ServiceOptions& options);
// How often the module has called a handle procedure ("newProc", "lockProc").
int ServiceCalls(const char* name);
HandleProcs* HostHandleProcs();
SPBasicSuite* HostBasicSuite();  // null when switched off
WriteDescriptorProcs* HostWriteDescriptorProcs();  // null when switched off

// Host-side handle operations on the kit's table: a handle made from bytes,
// whether a handle is one of the host's and still there, its bytes, and
// disposing of it (logged, and misuse when the module left it locked).
Handle HostNewHandle(const void* data, size_t size);
bool IsHostHandle(Handle h);
std::string HostHandleBytes(Handle h);
void HostDisposeHandle(Handle h);

// After a call of the module: reports every handle that is still locked,
// every guard byte written past a handle's block or through a pointer into a
// block that has moved, and every suite (but the file-list suite),
// descriptor and write token the call did not give back, naming the moment.
void CheckAfterCall(const char* when);

// The scripting descriptor that a handle holds, for people; empty text when
// the handle is not one of the host's descriptor handles.
std::string DescribeDescriptorHandle(Handle h);

bool LoadRegistry(std::string& error);
bool SaveRegistry(std::string& error);
// The registry's entries, for people.
std::vector<std::string> DescribeRegistry();

// Leaving a call by a longjmp out of a callback (Abandon.cpp). PlanAbandon
// names the callback ("advanceState", "abortProc", "progressProc", "newProc",
// "lockProc", "unlockProc", "disposeProc") and which of its calls (1-based)
// the host leaves by, null for none; every callback calls
// LeaveHereIfPlanned first. CallLeavable makes one call of the module and
// answers whether the host left it; AbandonedFrom names the callback it was
// left from, null while it was not. TakeBackAbandonedCall then unlocks what
// the module had locked and takes over what the left call held.
void PlanAbandon(const char* callback, int32_t at);
void LeaveHereIfPlanned(const char* callback);
bool CallLeavable(void (*entry)(int16_t, void*, intptr_t*, int16_t*), int16_t selector, void* record, intptr_t* data,
                  int16_t* result);
const char* AbandonedFrom();
void TakeBackAbandonedCall();

// After the module is unloaded and the session ended: suites not released,
// handles not disposed, descriptors, write tokens and blocks not freed.
void ReportLeaks();
