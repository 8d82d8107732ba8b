// pmhost: loads a filter plug-in (.8bf) and runs it on a PNG file the way a
// full host of the filter interface does. See docs/host.md.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DialogWatcher.h"
#include "FilterHost.h"
#include "HostServices.h"
#include "ImageFile.h"
#include "Pipl.h"

namespace {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitHostError = 1;      // usage, files, loading
constexpr int kExitRefused = 2;        // the filter is not enabled for this document
constexpr int kExitModuleError = 3;    // the module returned an error code
constexpr int kExitCancelled = 4;      // the module returned userCanceledErr
constexpr int kExitMisuse = 5;         // the run finished but the module misused the host
constexpr int kExitCrash = 6;
constexpr int kExitTimeout = 7;

constexpr uint32_t kFilterKind = 0x3842464D;  // '8BFM'

const char* const kUsage =
    "usage: pmhost [options] MODULE.8bf INPUT.png OUTPUT.png   run the filter on an image\n"
    "       pmhost --about [--answer ok] MODULE.8bf             show the module's about box\n"
    "       pmhost --list DIR|FILE                              list the filters found\n"
    "options:\n"
    "  --answer ok|cancel     press OK or Cancel in every dialog of the module (default: wait for a person)\n"
    "  --press ID[,ID...]     press these controls first (e.g. the about box's links)\n"
    "  --tile WxH | N         the host's preferred tile size (default 256x256)\n"
    "  --no-bigdoc            16-bit coordinates only: no bigDocumentData\n"
    "  --select X,Y,W,H       a rectangular selection\n"
    "  --mask FILE.png        a selection from a gray image (0 not selected, 255 selected)\n"
    "  --cancel-after N       abortProc answers cancel from its Nth call on\n"
    "  --fail-advance N[:CODE] advanceState fails on its Nth call (default code -108)\n"
    "  --fail-new-handle N    newProc answers null on its Nth call\n"
    "  --row-pad N            row bytes exceed the row's data by N bytes (default 24)\n"
    "  --bottom-up            buffers hold their rows bottom-up: negative row bytes\n"
    "  --registry FILE|none   descriptor registry file (default pmhost-registry.txt)\n"
    "  --runs N               run N times in one session, later runs without parameters\n"
    "  --no-parameters        skip the parameters selector\n"
    "  --no-basic-suite       sSPBasic null\n"
    "  --no-registry-suite    refuse the descriptor registry suite\n"
    "  --descriptor-suite 2|3|none   serve only this action descriptor suite version\n"
    "  --no-file-list-suite   refuse the file-list suite\n"
    "  --no-scripting         descriptorParameters null\n"
    "  --no-write-procs       descriptorParameters without write-descriptor procedures\n"
    "  --keep-partial         write the output even when the module returned an error\n"
    "  --entry NAME           call this export even without a property list\n"
    "  --pipl ID              use this property list when the module has several\n"
    "  --timeout SEC          give up after SEC seconds\n"
    "  --show-window          show the host window\n"
    "  --timing               print the module's own time (host procedures and open dialogs excluded);\n"
    "                         answers dialogs with OK unless --answer says otherwise\n"
    "  --quiet                no progress bar\n"
    "  --verbose              every call and request\n"
    "exit codes: 0 done, 1 host or usage error, 2 filter not enabled, 3 module error,\n"
    "            4 cancelled, 5 misuse of the host, 6 module crashed, 7 timed out\n";

int gTimeoutSeconds = 0;

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
  std::fflush(stdout);
  EndProgressLine();
  std::fprintf(stderr, "pmhost: the module crashed during %s: exception 0x%08lX at %p\n", CurrentSelectorName(),
               info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), kExitCrash);
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI Watchdog(LPVOID) {
  Sleep(static_cast<DWORD>(gTimeoutSeconds) * 1000);
  std::fflush(stdout);
  EndProgressLine();
  const std::string where = std::strcmp(CurrentSelectorName(), "none") == 0
                                ? std::string("outside the module's calls")
                                : std::string("during ") + CurrentSelectorName();
  std::fprintf(stderr, "pmhost: no result after %d s (%s); giving up\n", gTimeoutSeconds, where.c_str());
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), kExitTimeout);
  return 0;
}

bool ParseInt(const char* text, int32_t& value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0') return false;
  value = static_cast<int32_t>(v);
  return true;
}

std::vector<int32_t> ParseList(const std::string& text, char separator) {
  std::vector<int32_t> values;
  size_t from = 0;
  while (from <= text.size()) {
    const size_t to = text.find(separator, from);
    int32_t v = 0;
    if (!ParseInt(text.substr(from, to - from).c_str(), v)) return {};
    values.push_back(v);
    if (to == std::string::npos) break;
    from = to + 1;
  }
  return values;
}

struct PiplResource {
  int id;
  PiplInfo info;
  std::string error;
};

BOOL CALLBACK CollectPipl(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param) {
  auto* list = reinterpret_cast<std::vector<PiplResource>*>(param);
  PiplResource r{IS_INTRESOURCE(name) ? static_cast<int>(reinterpret_cast<uintptr_t>(name)) : -1, {}, {}};
  HRSRC found = FindResourceA(module, name, type);
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) r.error = "cannot load the resource";
  else ParsePipl(static_cast<const uint8_t*>(data), SizeofResource(module, found), r.info, r.error);
  r.info.resourceId = r.id;
  list->push_back(r);
  return TRUE;
}

std::vector<PiplResource> ReadPipls(HMODULE module) {
  std::vector<PiplResource> list;
  EnumResourceNamesA(module, "PIPL", CollectPipl, reinterpret_cast<LONG_PTR>(&list));
  return list;
}

int ListFilters(const std::string& where) {
  std::vector<std::string> files;
  const DWORD attributes = GetFileAttributesA(where.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    std::fprintf(stderr, "pmhost: %s does not exist\n", where.c_str());
    return kExitHostError;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    files.push_back(where);
  } else {
    WIN32_FIND_DATAA found;
    const std::string dir = where.back() == '/' || where.back() == '\\' ? where : where + "\\";
    HANDLE search = FindFirstFileA((dir + "*.8bf").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do files.push_back(dir + found.cFileName);
      while (FindNextFileA(search, &found));
      FindClose(search);
    }
  }
  int filters = 0;
  for (const std::string& file : files) {
    // As data: listing runs none of the module's code.
    HMODULE module = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
      std::printf("%s: cannot be loaded (error %lu)\n", file.c_str(), GetLastError());
      continue;
    }
    const auto pipls = ReadPipls(module);
    if (pipls.empty()) std::printf("%s: no property list (not a plug-in a host can list)\n", file.c_str());
    for (const auto& p : pipls) {
      if (!p.error.empty()) {
        std::printf("%s: property list %d: %s\n", file.c_str(), p.id, p.error.c_str());
        continue;
      }
      if (p.info.kind != kFilterKind) continue;
      std::printf("%s / %s  entry %s  (%s)\n", p.info.category.c_str(), p.info.name.c_str(),
                  p.info.entryPoint.empty() ? "none for x86-64" : p.info.entryPoint.c_str(), file.c_str());
      ++filters;
    }
    FreeLibrary(module);
  }
  std::printf("%d filter(s)\n", filters);
  return kExitOk;
}

// Decides whether the filter may run on the document; prints why not.
bool IsEnabled(const PiplInfo& pipl, const PlanarImage& image) {
  DocumentFacts doc;
  const bool gray = image.Channels() <= 2;
  doc.mode = image.depth == 16 ? (gray ? 10 : 11) : (gray ? 1 : 3);
  doc.depth = image.depth;
  doc.width = image.width;
  doc.height = image.height;
  doc.channels = image.Channels();
  const std::string what = ModeName(doc.mode) + ", " + std::to_string(doc.depth) + " bits per channel";
  if (pipl.hasEnable) {
    bool enabled = false;
    std::string error;
    if (!EvaluateEnable(pipl.enableExpression, doc, enabled, error)) {
      std::fprintf(stderr, "pmhost: cannot read the enable expression \"%s\": %s\n", pipl.enableExpression.c_str(), error.c_str());
      return false;
    }
    if (!enabled) {
      std::fprintf(stderr, "pmhost: the filter is not enabled for this document (%s): its enable expression is \"%s\"\n",
                   what.c_str(), pipl.enableExpression.c_str());
      return false;
    }
  } else if (pipl.hasModes && !ModeFlagsAllow(pipl.modeFlags, doc.mode)) {
    std::fprintf(stderr, "pmhost: the filter is not enabled for this document (%s): its mode flags exclude it\n", what.c_str());
    return false;
  }
  if ((pipl.maxWidth > 0 && image.width > pipl.maxWidth) || (pipl.maxHeight > 0 && image.height > pipl.maxHeight)) {
    std::fprintf(stderr, "pmhost: the image is larger than the filter's limit of %d x %d\n", pipl.maxWidth, pipl.maxHeight);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(OnCrash);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  RunOptions run;
  ServiceOptions services;
  services.registryFile = "pmhost-registry.txt";
  WatcherOptions watch;
  bool about = false, keepPartial = false, showWindow = false;
  std::string listWhere, entryName;
  int32_t piplId = -1;
  std::vector<std::string> positional;
  // The options without a value: each sets one switch.
  const struct {
    const char* name;
    bool* target;
    bool value;
  } kSwitches[] = {
      {"--about", &about, true},
      {"--no-bigdoc", &run.bigDocument, false},
      {"--no-parameters", &run.callParameters, false},
      {"--no-basic-suite", &services.basicSuite, false},
      {"--no-registry-suite", &services.registrySuite, false},
      {"--no-file-list-suite", &services.fileListSuite, false},
      {"--no-scripting", &run.descriptorParameters, false},
      {"--no-write-procs", &services.writeDescriptorProcs, false},
      {"--keep-partial", &keepPartial, true},
      {"--show-window", &showWindow, true},
      {"--quiet", &run.quiet, true},
      {"--verbose", &run.verbose, true},
  };

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "pmhost: %s needs a value\n%s", a.c_str(), kUsage);
        std::exit(kExitHostError);
      }
      return argv[++i];
    };
    auto bad = [&](const std::string& v) {
      std::fprintf(stderr, "pmhost: bad value \"%s\" for %s\n", v.c_str(), a.c_str());
      std::exit(kExitHostError);
    };
    // A whole number of at least `least` into `target`.
    auto number = [&](int32_t& target, int32_t least) {
      const std::string v = value();
      if (!ParseInt(v.c_str(), target) || target < least) bad(v);
    };
    const auto flag = std::find_if(std::begin(kSwitches), std::end(kSwitches), [&](const auto& s) { return a == s.name; });
    if (flag != std::end(kSwitches)) {
      *flag->target = flag->value;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (a == "--list") {
      listWhere = value();
    } else if (a == "--answer") {
      const std::string v = value();
      if (v == "ok") watch.answerId = IDOK;
      else if (v == "cancel") watch.answerId = IDCANCEL;
      else bad(v);
    } else if (a == "--press") {
      const std::string v = value();
      const auto ids = ParseList(v, ',');
      if (ids.empty()) bad(v);
      watch.pressFirst.insert(watch.pressFirst.end(), ids.begin(), ids.end());
    } else if (a == "--tile") {
      const std::string v = value();
      auto wh = ParseList(v, 'x');
      if (wh.size() == 1) wh.push_back(wh[0]);
      if (wh.size() != 2 || wh[0] <= 0 || wh[1] <= 0) bad(v);
      run.tileWidth = wh[0];
      run.tileHeight = wh[1];
    } else if (a == "--select") {
      const std::string v = value();
      const auto r = ParseList(v, ',');
      if (r.size() != 4 || r[2] <= 0 || r[3] <= 0) bad(v);
      run.hasRectSelection = true;
      run.rectSelection = VRect{r[1], r[0], r[1] + r[3], r[0] + r[2]};
    } else if (a == "--mask") {
      run.maskPath = value();
    } else if (a == "--cancel-after") {
      number(run.cancelAfter, 1);
    } else if (a == "--fail-advance") {
      const std::string v = value();
      const auto parts = ParseList(v, ':');
      if (parts.empty() || parts.size() > 2 || parts[0] <= 0) bad(v);
      run.failAdvanceAt = parts[0];
      if (parts.size() == 2) run.failAdvanceCode = static_cast<int16_t>(parts[1]);
    } else if (a == "--fail-new-handle") {
      number(services.failNewHandleAt, 1);
    } else if (a == "--row-pad") {
      number(run.rowPad, 0);
    } else if (a == "--bottom-up") {
      run.bottomUp = true;
    } else if (a == "--registry") {
      const std::string v = value();
      services.registryFile = v == "none" ? "" : v;
    } else if (a == "--runs") {
      number(run.runs, 1);
    } else if (a == "--descriptor-suite") {
      const std::string v = value();
      if (v != "2" && v != "3" && v != "none") bad(v);
      services.descriptorV2 = v == "2";
      services.descriptorV3 = v == "3";
    } else if (a == "--entry") {
      entryName = value();
    } else if (a == "--pipl") {
      const std::string v = value();
      if (!ParseInt(v.c_str(), piplId)) bad(v);
    } else if (a == "--timeout") {
      number(gTimeoutSeconds, 1);
    } else if (a == "--timing") {
      run.timing = true;
      run.quiet = true;  // no bar drawn between the measured calls
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "pmhost: unknown option %s\n%s", a.c_str(), kUsage);
      return kExitHostError;
    } else {
      positional.push_back(a);
    }
  }
  if (!listWhere.empty()) return ListFilters(listWhere);
  if (positional.size() != (about ? 1u : 3u)) {
    std::fputs(kUsage, stderr);
    return kExitHostError;
  }
  if (gTimeoutSeconds > 0) CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));

  PlanarImage image;
  std::string error;
  if (!about && !ReadPng(positional[1], image, error)) {
    std::fprintf(stderr, "pmhost: %s\n", error.c_str());
    return kExitHostError;
  }
  if (!about && !run.bigDocument && (image.width > 32767 || image.height > 32767)) {
    std::fprintf(stderr, "pmhost: a %d x %d image needs 32-bit coordinates (drop --no-bigdoc)\n", image.width, image.height);
    return kExitRefused;
  }

  InitServices(services);
  if (!LoadRegistry(error)) {
    std::fprintf(stderr, "pmhost: %s\n", error.c_str());
    return kExitHostError;
  }

  const std::string& modulePath = positional[0];
  HMODULE module = LoadLibraryA(modulePath.c_str());
  if (module == nullptr) {
    std::fprintf(stderr, "pmhost: cannot load %s (error %lu)\n", modulePath.c_str(), GetLastError());
    return kExitHostError;
  }
  PiplInfo pipl;
  bool havePipl = false;
  for (const auto& p : ReadPipls(module)) {
    if (piplId >= 0 && p.id != piplId) continue;
    if (!p.error.empty()) {
      std::fprintf(stderr, "pmhost: property list %d: %s\n", p.id, p.error.c_str());
      return kExitRefused;
    }
    if (p.info.kind != kFilterKind) continue;
    pipl = p.info;
    havePipl = true;
    break;
  }
  if (havePipl) {
    std::printf("pmhost: filter \"%s\" in \"%s\", property list %d, entry %s\n", pipl.name.c_str(), pipl.category.c_str(),
                pipl.resourceId, pipl.entryPoint.empty() ? "(none)" : pipl.entryPoint.c_str());
  } else if (entryName.empty()) {
    std::fprintf(stderr, "pmhost: %s has no filter property list (resource type \"PIPL\", kind '8BFM')%s\n",
                 modulePath.c_str(), piplId >= 0 ? " with that id" : "");
    return kExitRefused;
  }
  if (!entryName.empty()) {
    std::printf("pmhost: calling %s as asked%s\n", entryName.c_str(), havePipl ? "" : ", without a property list");
  } else if (pipl.entryPoint.empty()) {
    std::fprintf(stderr, "pmhost: the property list names no entry point for 64-bit Windows ('8664')\n");
    return kExitRefused;
  }
  const std::string entryToCall = entryName.empty() ? pipl.entryPoint : entryName;
  auto entry = reinterpret_cast<PluginEntry>(reinterpret_cast<void*>(GetProcAddress(module, entryToCall.c_str())));
  if (entry == nullptr) {
    std::fprintf(stderr, "pmhost: %s exports no %s\n", modulePath.c_str(), entryToCall.c_str());
    return kExitRefused;
  }
  if (!about && havePipl && !IsEnabled(pipl, image)) return kExitRefused;

  HWND window = CreateHostWindow(showWindow);
  if (window == nullptr) {
    std::fprintf(stderr, "pmhost: cannot create the host window (error %lu)\n", GetLastError());
    return kExitHostError;
  }
  watch.hostWindow = window;
  // A timed run must not wait for a person.
  if (run.timing && watch.answerId == 0) watch.answerId = IDOK;
  if (watch.answerId != 0) StartDialogWatcher(watch);
  else std::printf("pmhost: no --answer given: a dialog of the module waits for a person\n");
  std::fflush(stdout);

  const RunOutcome outcome = about ? RunAbout(entry, window) : RunFilter(entry, havePipl ? &pipl : nullptr, image, run, window);
  if (watch.answerId != 0) {
    const int answered = StopDialogWatcher();
    std::printf("pmhost: %d dialog(s) answered\n", answered);
  }
  EndSession();
  // Unloading first: a module releases the suites it holds when it is unloaded.
  FreeLibrary(module);
  ReportLeaks();
  DestroyWindow(window);
  for (const std::string& line : DescribeRegistry()) std::printf("pmhost: registry entry %s\n", line.c_str());
  if (!SaveRegistry(error)) std::fprintf(stderr, "pmhost: %s\n", error.c_str());

  int code = kExitOk;
  if (outcome.refused) code = kExitRefused;
  else if (outcome.hostError) code = kExitHostError;
  else if (outcome.result == userCanceledErr) code = kExitCancelled;
  else if (outcome.result != noErr) code = kExitModuleError;
  if (outcome.result != noErr)
    std::printf("pmhost: %s returned %s\n", outcome.failedSelector.c_str(), ResultName(outcome.result).c_str());
  if (!about && (code == kExitOk || ((code == kExitModuleError || code == kExitCancelled) && keepPartial))) {
    if (!WritePng(positional[2], image, error)) {
      std::fprintf(stderr, "pmhost: %s\n", error.c_str());
      return kExitHostError;
    }
    std::printf("pmhost: wrote %s\n", positional[2].c_str());
  }
  if (MisuseCount() > 0) {
    std::printf("pmhost: %d misuse(s) of the host reported\n", MisuseCount());
    if (code == kExitOk) code = kExitMisuse;
  }
  if (code == kExitOk) std::printf("pmhost: done: noErr\n");
  std::fflush(stdout);
  return code;
}
