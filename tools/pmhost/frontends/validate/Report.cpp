#include "Report.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

bool Failing(const Verdict& v, bool strict) {
  return v.outcome != Outcome::kPass && v.outcome != Outcome::kSkip && (strict || v.outcome != Outcome::kWarn);
}

// The level a row carries: "error", "warning", or "" for a pass or a skip.
const char* LevelName(const Verdict& v) {
  switch (v.outcome) {
    case Outcome::kPass:
    case Outcome::kSkip: return "";
    case Outcome::kWarn: return "warning";
    default: return "error";
  }
}

// Text in the ANSI code page (names and details as pmhost holds them) as
// UTF-8.
std::string Utf8(const std::string& ansi) {
  if (ansi.empty()) return ansi;
  const int wide = MultiByteToWideChar(CP_ACP, 0, ansi.data(), int(ansi.size()), nullptr, 0);
  if (wide <= 0) return "?";
  std::wstring w(size_t(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), int(ansi.size()), w.data(), wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(size_t(std::max(bytes, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::string JsonText(const std::string& ansi) {
  const std::string s = Utf8(ansi);
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

void PrintTable(const std::vector<ModuleVerdicts>& all, double seconds, bool strict) {
  for (const ModuleVerdicts& m : all) {
    std::printf("pmhost: validating %s\n", m.module.c_str());
    std::printf("  %-26s %-6s %7s  %s\n", "scenario", "result", "seconds", "detail");
    int passed = 0, warned = 0, failed = 0, skipped = 0;
    for (const Verdict& v : m.rows) {
      const char* name = v.outcome == Outcome::kWarn && strict ? "WARN" : OutcomeName(v.outcome);
      std::printf("  %-26s %-6s %7.1f  %s\n", v.scenario.c_str(), name, v.seconds, v.detail.c_str());
      (Failing(v, strict) ? failed : v.outcome == Outcome::kSkip ? skipped : v.outcome == Outcome::kWarn ? warned : passed) += 1;
    }
    std::printf("pmhost: %s: %d passed, %d passed with warnings, %d failed, %d skipped%s\n", m.module.c_str(), passed,
                warned, failed, skipped, strict ? " (strict: warnings fail)" : "");
  }
  std::printf("pmhost: validation took %.1f s\n", seconds);
  std::fflush(stdout);
}

bool WriteJson(const std::string& path, const std::vector<ModuleVerdicts>& all, double seconds, bool strict) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "{\n  \"passed\": " << (AllPassed(all, strict) ? "true" : "false") << ",\n  \"strict\": "
      << (strict ? "true" : "false") << ",\n  \"seconds\": " << seconds << ",\n  \"modules\": [";
  for (size_t i = 0; i < all.size(); ++i) {
    const ModuleVerdicts& m = all[i];
    out << (i ? "," : "") << "\n    {\"module\": " << JsonText(m.module)
        << ", \"passed\": " << (AllPassed({m}, strict) ? "true" : "false") << ", \"scenarios\": [";
    for (size_t j = 0; j < m.rows.size(); ++j) {
      const Verdict& v = m.rows[j];
      out << (j ? "," : "") << "\n      {\"name\": " << JsonText(v.scenario) << ", \"result\": \""
          << Lower(OutcomeName(v.outcome)) << "\", \"level\": \"" << LevelName(v) << "\", \"seconds\": " << v.seconds
          << ", \"detail\": " << JsonText(v.detail) << "}";
    }
    out << "\n    ]}";
  }
  out << "\n  ]\n}\n";
  return static_cast<bool>(out);
}

namespace {

std::string XmlText(const std::string& ansi) {
  std::string out;
  for (const char c : Utf8(ansi)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // Control characters have no place in XML 1.0 text.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') out += ' ';
        else out += c;
    }
  }
  return out;
}

}  // namespace

// One test suite a module, one test case a scenario: failures (and, with
// --strict, warnings) as <failure>, crashes, hangs and the validator's own
// trouble as <error>, skips as <skipped>; warnings otherwise in the case's
// system-out.
bool WriteJunit(const std::string& path, const std::vector<ModuleVerdicts>& all, double seconds, bool strict) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  size_t tests = 0, failures = 0, errors = 0, skipped = 0;
  for (const ModuleVerdicts& m : all)
    for (const Verdict& v : m.rows) {
      ++tests;
      skipped += v.outcome == Outcome::kSkip;
      errors += v.outcome == Outcome::kCrash || v.outcome == Outcome::kHang || v.outcome == Outcome::kError;
      failures += v.outcome == Outcome::kFail || (strict && v.outcome == Outcome::kWarn);
    }
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"pmhost --validate\" tests=\"" << tests
      << "\" failures=\"" << failures << "\" errors=\"" << errors << "\" skipped=\"" << skipped << "\" time=\"" << seconds
      << "\">\n";
  for (const ModuleVerdicts& m : all) {
    size_t f = 0, e = 0, sk = 0;
    double t = 0;
    for (const Verdict& v : m.rows) {
      sk += v.outcome == Outcome::kSkip;
      e += v.outcome == Outcome::kCrash || v.outcome == Outcome::kHang || v.outcome == Outcome::kError;
      f += v.outcome == Outcome::kFail || (strict && v.outcome == Outcome::kWarn);
      t += v.seconds;
    }
    out << "  <testsuite name=\"" << XmlText(m.module) << "\" tests=\"" << m.rows.size() << "\" failures=\"" << f
        << "\" errors=\"" << e << "\" skipped=\"" << sk << "\" time=\"" << t << "\">\n";
    for (const Verdict& v : m.rows) {
      out << "    <testcase classname=\"" << XmlText(m.module) << "\" name=\"" << XmlText(v.scenario) << "\" time=\""
          << v.seconds << "\"";
      const std::string detail = XmlText(v.detail);
      switch (v.outcome) {
        case Outcome::kPass: out << "/>\n"; continue;
        case Outcome::kSkip: out << ">\n      <skipped message=\"" << detail << "\"/>\n"; break;
        case Outcome::kWarn:
          if (strict) out << ">\n      <failure type=\"warning\" message=\"" << detail << "\"/>\n";
          else out << ">\n      <system-out>" << detail << "</system-out>\n";
          break;
        case Outcome::kFail: out << ">\n      <failure type=\"error\" message=\"" << detail << "\"/>\n"; break;
        default:
          out << ">\n      <error type=\"" << Lower(OutcomeName(v.outcome)) << "\" message=\"" << detail << "\"/>\n";
          break;
      }
      out << "    </testcase>\n";
    }
    out << "  </testsuite>\n";
  }
  out << "</testsuites>\n";
  return static_cast<bool>(out);
}

bool AllPassed(const std::vector<ModuleVerdicts>& all, bool strict) {
  for (const ModuleVerdicts& m : all)
    for (const Verdict& v : m.rows)
      if (Failing(v, strict)) return false;
  return true;
}
