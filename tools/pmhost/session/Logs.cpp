// The session's logs: every call into the call log, every misuse into the
// misuse log with the call that made it, both printed as they grow; the
// checks after each call of the module and at the end of the session.
#include <windows.h>

#include <cstdarg>
#include <initializer_list>
#include <cstdio>

#include "Console.h"
#include "HostServices.h"
#include "ServicesState.h"

namespace pmsession {

ServiceOptions gOptions;
hostkit::CallLog gCalls;
hostkit::MisuseLog gMisuse;
hostkit::HandleTable gTable(gCalls, gMisuse);
hostkit::FaultPlan gPlan;
std::recursive_mutex gLogLock;
std::string gCurrentCall = "(no call yet)";

namespace {
size_t gCallsShown = 0, gMisusesShown = 0;
}  // namespace

void ShowNew() {
  const auto& calls = gCalls.events();
  if (gOptions.verbose)
    for (; gCallsShown < calls.size(); ++gCallsShown) Say("pmhost: call %s\n", calls[gCallsShown].Describe().c_str());
  gCallsShown = calls.size();
  const auto& misuses = gMisuse.all();
  for (; gMisusesShown < misuses.size(); ++gMisusesShown)
    Say("pmhost: MISUSE: %s (in %s)\n", misuses[gMisusesShown].what.c_str(), misuses[gMisusesShown].call.c_str());
}
}  // namespace pmsession

using namespace pmsession;

void ReportMisuse(const char* format, ...) {
  char text[1024];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gMisuse.Flag(text, gCurrentCall);
  ShowNew();
}

int MisuseCount() {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  return static_cast<int>(gMisuse.all().size());
}

std::string MisuseLine(int index) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  const auto& all = gMisuse.all();
  if (index < 0 || size_t(index) >= all.size()) return {};
  return all[size_t(index)].what + " (in " + all[size_t(index)].call + ")";
}

std::string LastHostCall() { return gCalls.Last(); }

std::vector<hostkit::Misuse> MisuseEntries() {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  return gMisuse.all();
}

std::vector<std::string> CallLogLines() {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  std::vector<std::string> lines;
  for (const hostkit::Event& e : gCalls.events()) lines.push_back(e.Describe());
  return lines;
}

void EnterSelector(const char* selector) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCalls.Note(std::string("PluginMain(") + selector + ")");
  ShowNew();
  gCurrentCall = selector;
}

void LeaveSelector(const char* selector) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  // The checks that follow a selector report in its name.
  gCurrentCall = selector;
  ShowNew();
}

namespace {
volatile bool gProcessEnding = false;
char gPreparedCall[160] = "(no call yet)";

// Writes `parts` to the standard output with WriteFile: no runtime lock, no heap.
void WriteRaw(std::initializer_list<const char*> parts) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  for (const char* p : parts) {
    DWORD written = 0;
    WriteFile(out, p, static_cast<DWORD>(lstrlenA(p)), &written, nullptr);
  }
}
}  // namespace

void pmsession::PrepareLastCall(const char* call) {
  size_t i = 0;
  for (; call[i] != 0 && i + 1 < sizeof gPreparedCall; ++i) gPreparedCall[i] = call[i];
  gPreparedCall[i] = 0;
}

void pmsession::GuardProcessEnd(const char* call) {
  if (!gProcessEnding) return;
  WriteRaw({"\n@@verdict fail 0 the module called the host (", call, ") after the process began to end\n"});
  TerminateProcess(GetCurrentProcess(), 5);
}

void NoteCall(hostkit::Event e, const char* name) {
  GuardProcessEnd(name);
  PrepareLastCall(name);
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCalls.Add(std::move(e));
  gCurrentCall = name;
  ShowNew();
}

void BeginCall(const char* name) {
  GuardProcessEnd(name);
  PrepareLastCall(name);
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCurrentCall = name;
}

const char* PreparedLastCall() { return gPreparedCall; }

void MarkProcessEnding() { gProcessEnding = true; }

void InitServices(const ServiceOptions& options) {
  gOptions = options;
  if (options.failNewHandleAt > 0) gPlan.FailAt("newProc", options.failNewHandleAt);
  if (options.failLockAt > 0) gPlan.FailAt("lockProc", options.failLockAt);
  // Under Wine a freed block keeps its old bytes: kept blocks make a pointer
  // held past its unlock read nonsense, and show a write through it.
  gTable.keepMovedBlocks = true;
}
void CheckAfterCall(const char* when) {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gTable.Check(when);
  gTable.CheckMoved(when);
  // What a call must give back before it returns: the registry and
  // descriptor suites (held for one operation), descriptors and write tokens.
  // The file-list suite is held from its first use until the module is
  // unloaded. Each is reported once, at the first call that left it; the end
  // of the session reports what was never given back at all.
  static std::set<std::pair<std::string, int32_t>> suitesReported;
  static std::set<const void*> itemsReported;
  for (const auto& [suite, count] : gSuitesHeld)
    if (count > 0 && suite.first != kFileListSuiteName && suitesReported.insert(suite).second)
      ReportMisuse("suite \"%s\" version %d still held %s", suite.first.c_str(), suite.second, when);
  for (const auto& [d, entry] : gDescriptors)
    if (itemsReported.insert(d).second)
      ReportMisuse("descriptor %p from %s not freed %s", static_cast<void*>(d), entry.second.c_str(), when);
  for (const auto& [t, d] : gWriteTokens)
    if (itemsReported.insert(t).second)
      ReportMisuse("write-descriptor token %p not closed %s", static_cast<void*>(t), when);
  ShowNew();
}

void ReportLeaks() {
  const std::lock_guard<std::recursive_mutex> lock(gLogLock);
  gCurrentCall = "the end of the session";
  gTable.CheckMoved("at the end of the session");
  for (const auto& [suite, count] : gSuitesHeld)
    if (count > 0)
      ReportMisuse("suite \"%s\" version %d acquired %d more time(s) than released", suite.first.c_str(), suite.second,
                   count);
  for (const auto& [h, serial] : gOrigin) {
    if (serial == 0 || !gTable.Live(h)) continue;
    const int id = gTable.Id(h);
    const int32_t size = gTable.GetSize(h);
    if (serial > 0)
      ReportMisuse("handle %d (%d bytes, newProc call %d) never disposed", id, size, serial);
    else
      ReportMisuse("descriptor handle %d from closeWriteDescriptorProc neither stored nor disposed", id);
  }
  for (const auto& [d, entry] : gDescriptors)
    ReportMisuse("descriptor %p from %s never freed", static_cast<void*>(d), entry.second.c_str());
  for (const auto& [t, d] : gWriteTokens)
    ReportMisuse("write-descriptor token %p never closed", static_cast<void*>(t));
  for (void* b : gBlocks) ReportMisuse("block %p from AllocateBlock never freed", b);
}
