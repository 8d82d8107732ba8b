// pmhost: loads a filter plug-in (.8bf) and runs it on PNG files the way a
// full host of the filter interface does. See docs/host.md. This file reads
// the command line and hands it to one of the front ends (FrontEnds.h).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "FrontEnds.h"
#include "validate/Validate.h"

namespace {

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
    "  --clock SECONDS        the module's time() answers SECONDS (since 1970): runs seed alike\n"
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
}  // namespace

int main(int argc, char** argv) {
  // The validator and the child processes it runs each case in.
  if (argc > 1 && std::strcmp(argv[1], "--validate-child") == 0) return ValidateChildMain(argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--validate") == 0) return ValidateMain(argc, argv);
  InstallCrashReport();
  RunOptions run;
  ServiceOptions services;
  services.registryFile = "pmhost-registry.txt";
  WatcherOptions watch;
  bool about = false, keepPartial = false, showWindow = false;
  std::string listWhere, entryName, outDir;
  int32_t piplId = -1, timeoutSeconds = 0;
  int64_t clockSeconds = -1;
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
      number(timeoutSeconds, 1);
    } else if (a == "--clock") {
      const std::string v = value();
      char* end = nullptr;
      const long long seconds = std::strtoll(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || seconds < 0) bad(v);
      clockSeconds = seconds;
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
  SessionSetup setup;
  setup.modulePath = positional[0];
  setup.entryName = entryName;
  setup.piplId = piplId;
  setup.services = services;
  setup.services.verbose = run.verbose;
  setup.watch = watch;
  // A timed run must not wait for a person.
  if (run.timing && setup.watch.answerId == 0) setup.watch.answerId = IDOK;
  setup.showWindow = showWindow;
  setup.timeoutSeconds = timeoutSeconds;
  setup.clockSeconds = clockSeconds;
  if (about) return ShowAbout(setup);
  return RunImages(ImageRun{setup, run, keepPartial, outDir, {positional.begin() + 1, positional.end()}});
}
