#include "Report.h"

#include <windows.h>

#include <cstdio>
#include <fstream>

namespace {

bool Failing(const Verdict& v) { return v.outcome != Outcome::kPass && v.outcome != Outcome::kSkip; }

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\', out += c;
    else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else out += c;
  }
  return out + "\"";
}

std::string Lower(const char* s) {
  std::string t = s;
  for (char& c : t) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return t;
}

}  // namespace

Progress::Progress(size_t total) : total_(total) {
  DWORD mode = 0;
  shown_ = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void Progress::Step(const char* scenario) {
  if (!shown_ || total_ == 0) return;
  const size_t width = 20, filled = done_ * width / total_;
  std::fprintf(stderr, "\r[%s%s] %3zu%% %-28s", std::string(filled, '#').c_str(), std::string(width - filled, '.').c_str(),
               done_ * 100 / total_, scenario);
  std::fflush(stderr);
  ++done_;
}

void Progress::Done() {
  if (shown_ && total_ > 0) std::fprintf(stderr, "\r%-60s\r", "");
}

void PrintTable(const std::vector<ModuleVerdicts>& all, double seconds) {
  for (const ModuleVerdicts& m : all) {
    std::printf("pmhost: validating %s\n", m.module.c_str());
    std::printf("  %-26s %-6s %7s  %s\n", "scenario", "result", "seconds", "detail");
    int passed = 0, failed = 0, skipped = 0;
    for (const Verdict& v : m.rows) {
      std::printf("  %-26s %-6s %7.1f  %s\n", v.scenario.c_str(), OutcomeName(v.outcome), v.seconds, v.detail.c_str());
      (Failing(v) ? failed : v.outcome == Outcome::kSkip ? skipped : passed) += 1;
    }
    std::printf("pmhost: %s: %d passed, %d failed, %d skipped\n", m.module.c_str(), passed, failed, skipped);
  }
  std::printf("pmhost: validation took %.1f s\n", seconds);
  std::fflush(stdout);
}

bool WriteJson(const std::string& path, const std::vector<ModuleVerdicts>& all, double seconds) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "{\n  \"passed\": " << (AllPassed(all) ? "true" : "false") << ",\n  \"seconds\": " << seconds
      << ",\n  \"modules\": [";
  for (size_t i = 0; i < all.size(); ++i) {
    const ModuleVerdicts& m = all[i];
    out << (i ? "," : "") << "\n    {\"module\": " << JsonText(m.module)
        << ", \"passed\": " << (AllPassed({m}) ? "true" : "false") << ", \"scenarios\": [";
    for (size_t j = 0; j < m.rows.size(); ++j) {
      const Verdict& v = m.rows[j];
      out << (j ? "," : "") << "\n      {\"name\": " << JsonText(v.scenario) << ", \"result\": \""
          << Lower(OutcomeName(v.outcome)) << "\", \"seconds\": " << v.seconds << ", \"detail\": " << JsonText(v.detail) << "}";
    }
    out << "\n    ]}";
  }
  out << "\n  ]\n}\n";
  return static_cast<bool>(out);
}

bool AllPassed(const std::vector<ModuleVerdicts>& all) {
  for (const ModuleVerdicts& m : all)
    for (const Verdict& v : m.rows)
      if (Failing(v)) return false;
  return true;
}
