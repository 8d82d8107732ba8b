// pmhost: loads a filter plug-in (.8bf) and runs it on a PNG file the way a
// full host of the filter interface does. See docs/host.md.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "Console.h"
#include "HostWindow.h"
#include "FilterHost.h"
#include "HostServices.h"
#include "ImageFile.h"
#include "Pipl.h"
#include "validate/Validate.h"

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
    "usage: pmhost [options] MODULE.8bf INPUT.png OUTPUT.png [INPUT.png OUTPUT.png ...]\n"
    "                                                 run the filter on each image, in one session\n"
    "       pmhost [options] --out-dir DIR MODULE.8bf INPUT.png|FOLDER ...\n"
    "                                                 the same, each output in DIR under its input's name\n"
    "       pmhost --about [--answer ok] MODULE.8bf   show the module's about box\n"
    "       pmhost --list DIR|FILE                    list the filters found\n"
    "       pmhost --validate [--quick] [--json FILE] MODULE.8bf|DIR ...   check modules against a battery of\n"
    "                                                 host behaviours (pmhost --validate --help)\n"
    "options:\n"
    "  --out-dir DIR          write the outputs into DIR (made if missing); a FOLDER stands for its *.png files\n"
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
    "  --timeout SEC          give up when the module has worked SEC seconds on one image\n"
    "  --show-window          show the host window\n"
    "  --timing               print the module's own time (host procedures and open dialogs excluded);\n"
    "                         answers dialogs with OK unless --answer says otherwise\n"
    "  --quiet                no progress bar\n"
    "  --progress             draw the bar from the start (by default it shows after half a second)\n"
    "  --verbose              every call and request\n"
    "exit codes: 0 done, 1 host or usage error, 2 filter not enabled, 3 module error,\n"
    "            4 cancelled, 5 misuse of the host, 6 module crashed, 7 timed out;\n"
    "            with several images, 0 when every image succeeded, otherwise the code of the\n"
    "            first image that failed (the others are still converted)\n";

// One image to convert: where it comes from and where it goes.
struct Job {
  std::string input, output;
  std::string error;  // known before reading, e.g. an empty folder
};

// The jobs of this run, fixed before the first one starts, and the one in
// hand (-1 for none), for the crash and timeout reports.
std::vector<Job> gJobs;
std::atomic<int> gCurrentJob{-1};

int gTimeoutSeconds = 0;
// The watchdog gives up when the clock passes this; no deadline while the
// host itself reads or writes files.
std::atomic<ULONGLONG> gDeadline{ULLONG_MAX};

void ArmTimeout() {
  if (gTimeoutSeconds > 0) gDeadline = GetTickCount64() + ULONGLONG(gTimeoutSeconds) * 1000;
}
void DisarmTimeout() { gDeadline = ULLONG_MAX; }

// " on IMAGE" while an image is in hand, for the reports below.
std::string OnImage() {
  const int job = gCurrentJob;
  return job >= 0 ? " on " + gJobs[size_t(job)].input : std::string();
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

// Decides whether the filter may run on the document; `why` says why not.
bool IsEnabled(const PiplInfo& pipl, const PlanarImage& image, std::string& why) {
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
      why = "cannot read the enable expression \"" + pipl.enableExpression + "\": " + error;
      return false;
    }
    if (!enabled) {
      why = "the filter is not enabled for this document (" + what + "): its enable expression is \"" +
            pipl.enableExpression + "\"";
      return false;
    }
  } else if (pipl.hasModes && !ModeFlagsAllow(pipl.modeFlags, doc.mode)) {
    why = "the filter is not enabled for this document (" + what + "): its mode flags exclude it";
    return false;
  }
  if ((pipl.maxWidth > 0 && image.width > pipl.maxWidth) || (pipl.maxHeight > 0 && image.height > pipl.maxHeight)) {
    why = "the image is larger than the filter's limit of " + std::to_string(pipl.maxWidth) + " x " +
          std::to_string(pipl.maxHeight);
    return false;
  }
  return true;
}

// ---- the images of a run --------------------------------------------------------

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

// `folder` and `name` joined with the separator the folder already uses.
std::string JoinPath(const std::string& folder, const std::string& name) {
  if (EndsWithSeparator(folder)) return folder + name;
  return folder + (folder.find('/') != std::string::npos ? "/" : "\\") + name;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Makes a folder and any missing folders above it.
bool MakeFolders(const std::string& path) {
  for (size_t at = path.find_first_of("/\\", 1); at != std::string::npos; at = path.find_first_of("/\\", at + 1)) {
    const std::string above = path.substr(0, at);
    if (!IsFolder(above) && above.back() != ':') CreateDirectoryA(above.c_str(), nullptr);
  }
  return IsFolder(path) || CreateDirectoryA(path.c_str(), nullptr) != 0;
}

// The files matching a pattern such as DIR\*.png, by name.
std::vector<std::string> Matches(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

// The jobs of --out-dir: every input named, a folder as its *.png files and a
// pattern (which Windows shells do not expand) as its matches, each written
// into `outDir` under its own name.
std::vector<Job> OutDirJobs(const std::vector<std::string>& inputs, const std::string& outDir) {
  std::vector<Job> jobs;
  for (const std::string& input : inputs) {
    std::vector<std::string> files;
    if (IsFolder(input)) {
      for (const std::string& name : Matches(JoinPath(input, "*.png"))) files.push_back(JoinPath(input, name));
      if (files.empty()) jobs.push_back({input, "", "the folder " + input + " holds no .png file"});
    } else if (input.find_first_of("*?") != std::string::npos) {
      const size_t slash = input.find_last_of("/\\");
      for (const std::string& name : Matches(input))
        files.push_back(slash == std::string::npos ? name : input.substr(0, slash + 1) + name);
      if (files.empty()) jobs.push_back({input, "", "no file matches " + input});
    } else {
      files.push_back(input);
    }
    for (const std::string& file : files) jobs.push_back({file, JoinPath(outDir, BaseName(file)), ""});
  }
  return jobs;
}

// Two jobs that would write the same file: the second would silently replace
// the first's result. Windows file names ignore case and either slash.
bool FindDuplicateOutput(const std::vector<Job>& jobs, std::string& why) {
  std::map<std::string, const Job*> seen;
  for (const Job& job : jobs) {
    if (job.output.empty()) continue;
    std::string key = job.output;
    for (char& c : key) c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto [it, fresh] = seen.emplace(key, &job);
    if (!fresh) {
      why = it->second->input + " and " + job.input + " would both be written to " + job.output;
      return true;
    }
  }
  return false;
}

// What stays the same for every image of a run.
struct Session {
  PluginEntry entry = nullptr;
  const PiplInfo* pipl = nullptr;  // null when run through --entry without a property list
  RunOptions run;
  bool keepPartial = false;
  void* window = nullptr;
};

// Converts one image: reads it, runs the filter and writes the result.
// Returns the image's exit code; `why` names the image and the reason when it
// is not kExitOk. Nothing is written for an image that fails (unless
// --keep-partial asks for the module's partial result).
int ConvertOne(const Job& job, const Session& session, std::string& why) {
  if (!job.error.empty()) {
    why = job.error;
    Warn("pmhost: %s\n", why.c_str());
    return kExitHostError;
  }
  const LONGLONG readStart = Ticks();
  PlanarImage image;
  std::string error;
  if (!ReadPng(job.input, image, error)) {
    why = error;
    Warn("pmhost: %s\n", why.c_str());
    return kExitHostError;
  }
  const LONGLONG readTicks = Ticks() - readStart;
  if (!session.run.bigDocument && (image.width > 32767 || image.height > 32767)) {
    why = job.input + ": a " + std::to_string(image.width) + " x " + std::to_string(image.height) +
          " image needs 32-bit coordinates (drop --no-bigdoc)";
    Warn("pmhost: %s\n", why.c_str());
    return kExitRefused;
  }
  if (session.pipl != nullptr && !IsEnabled(*session.pipl, image, error)) {
    why = job.input + ": " + error;
    Warn("pmhost: %s\n", error.c_str());
    return kExitRefused;
  }

  const int misusesBefore = MisuseCount();
  const LONGLONG runStart = Ticks();
  ArmTimeout();
  const RunOutcome outcome = RunFilter(session.entry, session.pipl, image, session.run, session.window);
  DisarmTimeout();
  const LONGLONG runTicks = Ticks() - runStart;

  int code = kExitOk;
  if (outcome.refused) code = kExitRefused;
  else if (outcome.hostError) code = kExitHostError;
  else if (outcome.result == userCanceledErr) code = kExitCancelled;
  else if (outcome.result != noErr) code = kExitModuleError;
  if (outcome.refused || outcome.hostError) {
    why = job.input + ": " + outcome.message;
  } else if (outcome.result != noErr) {
    const std::string result = outcome.failedSelector + " returned " + ResultName(outcome.result);
    Say("pmhost: %s\n", result.c_str());
    why = job.input + ": the module's " + result;
  }

  LONGLONG writeTicks = 0;
  if (code == kExitOk || ((code == kExitModuleError || code == kExitCancelled) && session.keepPartial)) {
    const LONGLONG writeStart = Ticks();
    if (!WritePng(job.output, image, error)) {
      Warn("pmhost: %s\n", error.c_str());
      why = job.input + ": " + error;
      return kExitHostError;
    }
    writeTicks = Ticks() - writeStart;
    Say("pmhost: wrote %s\n", job.output.c_str());
  }
  const int misuses = MisuseCount() - misusesBefore;
  if (misuses > 0 && code == kExitOk) {
    code = kExitMisuse;
    why = job.input + ": written, but the module misused the host (" + std::to_string(misuses) +
          " report(s) above; the first: " + MisuseLine(misusesBefore) + ")";
  }
  if (session.run.timing)
    Say("pmhost: timing: %s: read %.1f ms, filter run %.1f ms, write %.1f ms\n", job.input.c_str(),
        Milliseconds(readTicks), Milliseconds(runTicks), Milliseconds(writeTicks));
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // The validator and the child processes it runs each case in.
  if (argc > 1 && std::strcmp(argv[1], "--validate-child") == 0) return ValidateChildMain(argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--validate") == 0) return ValidateMain(argc, argv);
  SetUnhandledExceptionFilter(OnCrash);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  RunOptions run;
  ServiceOptions services;
  services.registryFile = "pmhost-registry.txt";
  WatcherOptions watch;
  bool about = false, keepPartial = false, showWindow = false;
  std::string listWhere, entryName, outDir;
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
      {"--progress", &run.progressAtOnce, true},
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
    } else if (a == "--out-dir") {
      outDir = value();
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
  // The module, then: nothing (--about), inputs (--out-dir), or pairs.
  const size_t n = positional.size();
  const bool fits = about ? n == 1 && outDir.empty() : !outDir.empty() ? n >= 2 : n >= 3 && n % 2 == 1;
  if (!fits) {
    if (!about && outDir.empty() && n >= 3) std::fprintf(stderr, "pmhost: every INPUT needs an OUTPUT (or give --out-dir DIR)\n");
    std::fputs(kUsage, stderr);
    return kExitHostError;
  }
  const std::string& modulePath = positional[0];
  if (!about) {
    if (!outDir.empty()) {
      if (!MakeFolders(outDir)) {
        std::fprintf(stderr, "pmhost: cannot make the folder %s (error %lu)\n", outDir.c_str(), GetLastError());
        return kExitHostError;
      }
      gJobs = OutDirJobs({positional.begin() + 1, positional.end()}, outDir);
    } else {
      for (size_t i = 1; i + 1 < positional.size(); i += 2) gJobs.push_back({positional[i], positional[i + 1], ""});
    }
    std::string why;
    if (FindDuplicateOutput(gJobs, why)) {
      std::fprintf(stderr, "pmhost: %s; nothing converted\n", why.c_str());
      return kExitHostError;
    }
  }
  if (gTimeoutSeconds > 0) CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));

  std::string error;
  services.verbose = run.verbose;
  InitServices(services);
  if (!LoadRegistry(error)) {
    std::fprintf(stderr, "pmhost: %s\n", error.c_str());
    return kExitHostError;
  }

  // Loading runs the module's own start-up code: under the deadline too.
  ArmTimeout();
  HMODULE module = LoadLibraryA(modulePath.c_str());
  DisarmTimeout();
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
    Say("pmhost: filter \"%s\" in \"%s\", property list %d, entry %s\n", pipl.name.c_str(), pipl.category.c_str(),
        pipl.resourceId, pipl.entryPoint.empty() ? "(none)" : pipl.entryPoint.c_str());
  } else if (entryName.empty()) {
    std::fprintf(stderr, "pmhost: %s has no filter property list (resource type \"PIPL\", kind '8BFM')%s\n",
                 modulePath.c_str(), piplId >= 0 ? " with that id" : "");
    return kExitRefused;
  }
  if (!entryName.empty()) {
    Say("pmhost: calling %s as asked%s\n", entryName.c_str(), havePipl ? "" : ", without a property list");
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

  HWND window = CreateHostWindow(showWindow);
  if (window == nullptr) {
    std::fprintf(stderr, "pmhost: cannot create the host window (error %lu)\n", GetLastError());
    return kExitHostError;
  }
  watch.hostWindow = window;
  // A timed run must not wait for a person.
  if (run.timing && watch.answerId == 0) watch.answerId = IDOK;
  if (watch.answerId != 0) StartDialogWatcher(watch);
  else Say("pmhost: no --answer given: a dialog of the module waits for a person\n");

  int code = kExitOk;
  const bool batch = gJobs.size() > 1;
  std::vector<std::string> failures;
  if (about) {
    ArmTimeout();
    const RunOutcome outcome = RunAbout(entry, window);
    DisarmTimeout();
    if (outcome.result != noErr) {
      Say("pmhost: %s returned %s\n", outcome.failedSelector.c_str(), ResultName(outcome.result).c_str());
      code = outcome.result == userCanceledErr ? kExitCancelled : kExitModuleError;
    }
  } else {
    const Session session{entry, havePipl ? &pipl : nullptr, run, keepPartial, window};
    BarBegin(static_cast<int32_t>(gJobs.size()), !run.quiet, run.progressAtOnce);
    for (size_t i = 0; i < gJobs.size(); ++i) {
      const Job& job = gJobs[i];
      BarImage(static_cast<int32_t>(i));
      gCurrentJob = static_cast<int>(i);
      if (batch) Say("pmhost: image %zu of %zu: %s -> %s\n", i + 1, gJobs.size(), job.input.c_str(),
                     job.output.empty() ? "(none)" : job.output.c_str());
      std::string why;
      const int result = ConvertOne(job, session, why);
      gCurrentJob = -1;
      if (result == kExitOk) continue;
      failures.push_back(why);
      if (code == kExitOk) code = result;
    }
    BarEnd();
  }
  if (watch.answerId != 0) {
    const int answered = StopDialogWatcher();
    Say("pmhost: %d dialog(s) answered\n", answered);
  }
  EndSession();
  // Unloading first: a module releases the suites it holds when it is unloaded.
  FreeLibrary(module);
  ReportLeaks();
  DestroyWindow(window);
  for (const std::string& line : DescribeRegistry()) Say("pmhost: registry entry %s\n", line.c_str());
  if (!SaveRegistry(error)) Warn("pmhost: %s\n", error.c_str());

  if (MisuseCount() > 0) {
    Say("pmhost: %d misuse(s) of the host reported; the first: %s\n", MisuseCount(), MisuseLine(0).c_str());
    // Also those that belong to no one image: the about box, leaks found
    // once the module is gone.
    if (code == kExitOk) code = kExitMisuse;
  }
  if (batch) {
    Say("pmhost: %zu of %zu image(s) converted\n", gJobs.size() - failures.size(), gJobs.size());
    for (const std::string& why : failures) Warn("pmhost: FAILED: %s\n", why.c_str());
  }
  if (code == kExitOk) Say("pmhost: done: noErr\n");
  std::fflush(stdout);
  return code;
}
