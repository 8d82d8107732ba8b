#include "ModuleHost_win.h"

namespace hostkit {

namespace {

ModuleHost* gCurrent = nullptr;

// A callback that arrives with no host alive is a program bug; say so and
// answer with a failure instead of crashing.
ModuleHost* Host(const char* call) {
  if (gCurrent == nullptr) std::fprintf(stderr, "hostkit::ModuleHost: %s called with no host alive\n", call);
  return gCurrent;
}

Handle NewHandle(int32_t size) {
  ModuleHost* host = Host("newProc");
  return host == nullptr ? nullptr : host->handles.New(size, host->faults.Fails("newProc"));
}
void DisposeHandle(Handle h) {
  if (ModuleHost* host = Host("disposeProc")) host->handles.Dispose(h);
}
int32_t GetHandleSize(Handle h) {
  ModuleHost* host = Host("getSizeProc");
  return host == nullptr ? 0 : host->handles.GetSize(h);
}
OSErr SetHandleSize(Handle h, int32_t size) {
  ModuleHost* host = Host("setSizeProc");
  if (host == nullptr) return -1;
  if (host->faults.Fails("setSizeProc")) {
    host->log.Note("setSizeProc refused (planned)");
    return -108;
  }
  return host->handles.SetSize(h, size);
}
Ptr LockHandle(Handle h, Boolean) {
  ModuleHost* host = Host("lockProc");
  return host == nullptr ? nullptr : host->handles.Lock(h, host->faults.Fails("lockProc"));
}
void UnlockHandle(Handle h) {
  if (ModuleHost* host = Host("unlockProc")) host->handles.Unlock(h);
}
void RecoverSpace(int32_t) {}

}  // namespace

std::string WindowsPath(std::string path) {
  if (path.size() > 1 && path[0] == '/') {
    for (char& c : path)
      if (c == '/') c = '\\';
    path = "Z:" + path;
  }
  return path;
}

LoadedModule LoadModule(const std::string& path) {
  LoadedModule loaded;
  loaded.handle = LoadLibraryA(WindowsPath(path).c_str());
  if (loaded.handle == nullptr) {
    std::fprintf(stderr, "cannot load %s (error %lu)\n", path.c_str(), GetLastError());
    return loaded;
  }
  loaded.main = Export<PluginMainProc>(loaded.handle, "PluginMain");
  if (loaded.main == nullptr) std::fprintf(stderr, "%s has no PluginMain\n", path.c_str());
  return loaded;
}

ModuleHost::ModuleHost(Capabilities capabilities) : suites(log, misuse, handles, capabilities) {
  procs_ = HandleProcs{2,          8,         NewHandle,    DisposeHandle, GetHandleSize, SetHandleSize,
                       LockHandle, UnlockHandle, RecoverSpace, DisposeHandle};
  delivery.guarded = true;
  // Under Wine a freed block keeps its old bytes: kept blocks make a pointer
  // held past its unlock read nonsense, and show a write through it.
  handles.keepMovedBlocks = true;
  suites.MakeCurrent();
  gCurrent = this;
}

ModuleHost::~ModuleHost() {
  if (gCurrent == this) gCurrent = nullptr;
}

ModuleHost* ModuleHost::Current() { return gCurrent; }

OSErr ModuleHost::AdvanceState() {
  ModuleHost* host = Host("advanceState");
  if (host == nullptr) return -1;
  if (host->record_ == nullptr) {
    host->misuse.Flag("advanceState called outside a filter call that asks for tiles", host->log.Last());
    return filterBadParameters;
  }
  if (host->faults.Fails("advanceState")) {
    host->delivery.Finish(*host->record_);
    Event e = ReadRequest(*host->record_);
    e.a = host->advanceFailure;
    e.text = "(planned failure)";
    host->log.Add(e);
    return host->advanceFailure;
  }
  return host->delivery.Deliver(*host->record_, host->image_);
}

void ModuleHost::Call(PluginMainProc main, int16_t selector, void* record, size_t size,
                      const std::vector<Range>& writable, intptr_t* data, int16_t* result) {
  const std::string call = "PluginMain selector " + std::to_string(selector);
  log.Note(call);
  RecordGuard guard;
  guard.Take(record, size);
  main(selector, record, data, result);
  if (auto written = guard.Compare(record, selector == filterSelectorAbout ? "AboutRecord" : "FilterRecord", writable))
    misuse.Flag(*written, call);
  suites.Check(call);
  handles.CheckMoved(call);
}

void ModuleHost::Serve(FilterRecord& record, const Planes& image) {
  record_ = &record;
  image_ = image;
  advancedBefore_ = log.Of(Ev::AdvanceState).size();
}

int ModuleHost::EndServe() {
  if (record_ != nullptr) delivery.Finish(*record_);
  record_ = nullptr;
  const int advanced = static_cast<int>(log.Of(Ev::AdvanceState).size() - advancedBefore_);
  if (alternateLayout && advanced > 0) delivery.bottomUp = !delivery.bottomUp;
  return advanced;
}

bool ModuleHost::ReportMisuse(std::FILE* to) const {
  const auto first = misuse.First();
  if (!first) return false;
  std::fprintf(to, "host misuse: %s (in %s)\n", first->what.c_str(), first->call.c_str());
  for (const std::string& line : misuse.Lines()) std::fprintf(to, "  %s\n", line.c_str());
  return true;
}

}  // namespace hostkit
