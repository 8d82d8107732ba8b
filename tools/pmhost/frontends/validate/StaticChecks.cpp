#include "StaticChecks.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace {

constexpr uint32_t kFilterKind = 0x3842464D;  // '8BFM'
constexpr uint16_t kMachineI386 = 0x014C;
// The machine this host runs on, whose modules it can load in-process.
#if defined(__aarch64__) || defined(_M_ARM64)
constexpr uint16_t kMachineHost = 0xAA64;
constexpr const char* kMachineHostName = "ARM64";
#else
constexpr uint16_t kMachineHost = 0x8664;
constexpr const char* kMachineHostName = "x86-64";
#endif
const std::string kEntryKeyText = std::string("'") + kEntryPointKey + "'";
constexpr uint16_t kMagicPe32Plus = 0x20B;

uint16_t U16(const std::string& f, size_t at) {
  return uint16_t(uint8_t(f[at]) | uint8_t(f[at + 1]) << 8);
}
uint32_t U32(const std::string& f, size_t at) { return uint32_t(U16(f, at)) | uint32_t(U16(f, at + 2)) << 16; }

// The parts of a PE file the checks need, read with every offset checked
// against the file's size.
struct PeFile {
  std::string bytes;
  struct Section {
    std::string name;
    uint32_t rva = 0, virtualSize = 0, rawOffset = 0, rawSize = 0;
  };
  std::vector<Section> sections;
  uint32_t exportRva = 0, importRva = 0;

  bool Has(size_t at, size_t n) const { return at <= bytes.size() && n <= bytes.size() - at; }
  // The file offset of an RVA, or npos when no section's raw data holds it.
  size_t Offset(uint32_t rva) const {
    for (const Section& s : sections)
      if (rva >= s.rva && rva - s.rva < std::max(s.rawSize, s.virtualSize) && rva - s.rva < s.rawSize)
        return size_t(s.rawOffset) + (rva - s.rva);
    return std::string::npos;
  }
  std::string CStringAt(uint32_t rva) const {
    const size_t at = Offset(rva);
    if (at == std::string::npos) return {};
    const size_t end = bytes.find('\0', at);
    return bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
  }
};

// Reads the headers; false with a reason for a file that is not a whole
// 64-bit PE DLL.
bool ReadPe(const std::string& path, PeFile& pe, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot open the file";
    return false;
  }
  pe.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const std::string& f = pe.bytes;
  if (!pe.Has(0, 64) || f[0] != 'M' || f[1] != 'Z') {
    why = "not a Windows executable (no MZ header; " + std::to_string(f.size()) + " bytes)";
    return false;
  }
  const uint32_t peAt = U32(f, 0x3C);
  if (!pe.Has(peAt, 24) || f.compare(peAt, 4, std::string("PE\0\0", 4)) != 0) {
    why = "the file ends before its PE header, or has none (" + std::to_string(f.size()) + " bytes)";
    return false;
  }
  const uint16_t machine = U16(f, peAt + 4);
  const uint16_t sectionCount = U16(f, peAt + 6);
  const uint16_t optionalSize = U16(f, peAt + 20);
  const uint16_t characteristics = U16(f, peAt + 22);
  if (machine == kMachineI386) {
    why = "a 32-bit (x86) module: a 64-bit host cannot load it";
    return false;
  }
  if (machine != kMachineHost) {
    char text[64];
    std::snprintf(text, sizeof text, "built for machine 0x%04X, not %s", machine, kMachineHostName);
    why = text;
    return false;
  }
  const size_t optAt = peAt + 24;
  if (!pe.Has(optAt, optionalSize) || optionalSize < 112 + 16 * 3) {
    why = "the file ends inside its optional header";
    return false;
  }
  if (U16(f, optAt) != kMagicPe32Plus) {
    why = std::string(kMachineHostName) + " machine but not a PE32+ optional header";
    return false;
  }
  if ((characteristics & 0x2000) == 0) {
    why = "an executable program, not a DLL";
    return false;
  }
  const uint32_t directories = U32(f, optAt + 108);
  if (directories >= 1) pe.exportRva = U32(f, optAt + 112);
  if (directories >= 2) pe.importRva = U32(f, optAt + 120);
  const size_t sectAt = optAt + optionalSize;
  if (!pe.Has(sectAt, size_t(sectionCount) * 40)) {
    why = "the file ends inside its section table";
    return false;
  }
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const size_t s = sectAt + size_t(i) * 40;
    PeFile::Section sec;
    sec.name = f.substr(s, 8).c_str();
    sec.virtualSize = U32(f, s + 8);
    sec.rva = U32(f, s + 12);
    sec.rawSize = U32(f, s + 16);
    sec.rawOffset = U32(f, s + 20);
    if (sec.rawSize > 0 && !pe.Has(sec.rawOffset, sec.rawSize)) {
      why = "truncated: the file ends after " + std::to_string(f.size()) + " bytes, inside section " + sec.name +
            " (bytes " + std::to_string(sec.rawOffset) + " to " + std::to_string(size_t(sec.rawOffset) + sec.rawSize) + ")";
      return false;
    }
    pe.sections.push_back(sec);
  }
  return true;
}

std::vector<std::string> ExportNames(const PeFile& pe) {
  std::vector<std::string> names;
  const size_t at = pe.Offset(pe.exportRva);
  if (pe.exportRva == 0 || at == std::string::npos || !pe.Has(at, 40)) return names;
  const uint32_t count = U32(pe.bytes, at + 24), namesRva = U32(pe.bytes, at + 32);
  const size_t list = pe.Offset(namesRva);
  for (uint32_t i = 0; list != std::string::npos && i < count && pe.Has(list + 4 * size_t(i), 4); ++i)
    names.push_back(pe.CStringAt(U32(pe.bytes, list + 4 * size_t(i))));
  return names;
}

std::vector<std::string> ImportedDlls(const PeFile& pe) {
  std::vector<std::string> dlls;
  size_t at = pe.Offset(pe.importRva);
  if (pe.importRva == 0 || at == std::string::npos) return dlls;
  for (; pe.Has(at, 20) && U32(pe.bytes, at + 12) != 0 && dlls.size() < 1000; at += 20)
    dlls.push_back(pe.CStringAt(U32(pe.bytes, at + 12)));
  return dlls;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// DLLs every Windows installation has.
bool IsSystemDll(const std::string& name) {
  static const std::set<std::string> kSystem = {
      "kernel32.dll", "user32.dll",   "gdi32.dll",    "advapi32.dll", "shell32.dll",  "ole32.dll",
      "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "shlwapi.dll",  "version.dll",  "winmm.dll",
      "ws2_32.dll",   "msvcrt.dll",   "ucrtbase.dll", "ntdll.dll",    "psapi.dll",    "uxtheme.dll",
      "dwmapi.dll",   "bcrypt.dll",   "crypt32.dll",  "rpcrt4.dll",   "imm32.dll",    "secur32.dll",
      "userenv.dll",  "dbghelp.dll",  "winspool.drv", "setupapi.dll", "msimg32.dll",  "gdiplus.dll",
      "opengl32.dll", "d3d11.dll",    "dxgi.dll",     "wininet.dll",  "winhttp.dll",  "urlmon.dll"};
  const std::string n = Lower(name);
  return kSystem.count(n) != 0 || n.rfind("api-ms-win-", 0) == 0 || n.rfind("ext-ms-win-", 0) == 0;
}

// One property's raw data, by key, from a property list's bytes.
bool FindProperty(const uint8_t* data, size_t size, const char* key, std::string& value) {
  if (size < 10) return false;
  const auto le32 = [&](size_t at) { return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16 | uint32_t(data[at + 3]) << 24; };
  const uint32_t wanted = uint32_t(uint8_t(key[0])) << 24 | uint32_t(uint8_t(key[1])) << 16 |
                          uint32_t(uint8_t(key[2])) << 8 | uint32_t(uint8_t(key[3]));
  const uint32_t count = le32(6);
  size_t at = 10;
  for (uint32_t i = 0; i < count && size - at >= 16; ++i) {
    const uint32_t k = le32(at + 4), length = le32(at + 12);
    const size_t padded = (size_t(length) + 3) / 4 * 4;
    if (padded > size - at - 16) return false;
    if (k == wanted) {
      value.assign(reinterpret_cast<const char*>(data + at + 16), length);
      return true;
    }
    at += 16 + padded;
  }
  return false;
}

struct RawPipl {
  PiplInfo info;
  std::string error;
  std::string terminology;  // the 'hstm' property's data, when present
  bool hasTerminology = false;
};

BOOL CALLBACK CollectPipl(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param) {
  auto* list = reinterpret_cast<std::vector<RawPipl>*>(param);
  RawPipl r;
  HRSRC found = FindResourceA(module, name, type);
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const auto* data = static_cast<const uint8_t*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  const size_t size = found != nullptr ? SizeofResource(module, found) : 0;
  if (data == nullptr) r.error = "cannot load the resource";
  else if (ParsePipl(data, size, r.info, r.error)) r.hasTerminology = FindProperty(data, size, "hstm", r.terminology);
  r.info.resourceId = IS_INTRESOURCE(name) ? static_cast<int>(reinterpret_cast<uintptr_t>(name)) : -1;
  list->push_back(std::move(r));
  return TRUE;
}

std::vector<RawPipl> ReadPipls(HMODULE module) {
  std::vector<RawPipl> list;
  EnumResourceNamesA(module, "PIPL", CollectPipl, reinterpret_cast<LONG_PTR>(&list));
  return list;
}

// What a host needs of the filter's property list, each problem named with
// its property.
std::vector<std::string> PropertyProblems(const PiplInfo& p) {
  std::vector<std::string> problems;
  if (p.interfaceVersion < 0) problems.push_back("'vers': missing (the interface version a host checks)");
  else if ((p.interfaceVersion >> 16) != 4)
    problems.push_back("'vers': interface version " + std::to_string(p.interfaceVersion >> 16) + "." +
                       std::to_string(p.interfaceVersion & 0xFFFF) + ", a host of version 4 refuses it");
  if (p.name.empty()) problems.push_back("'name': missing or empty (the menu item)");
  if (p.category.empty()) problems.push_back("'catg': missing or empty (the submenu)");
  if (p.entryPoint.empty())
    problems.push_back(kEntryKeyText + ": missing (no entry point for " + kMachineHostName + " Windows)");
  if (!p.hasModes) problems.push_back("'mode': missing (the image modes a host lists the filter for)");
  if (p.hasEnable) {
    bool enabled = false;
    std::string error;
    if (!EvaluateEnable(p.enableExpression, DocumentFacts{3, 8, 64, 64, 3}, enabled, error))
      problems.push_back("'enbl': cannot be read: " + error + " (\"" + p.enableExpression + "\")");
  }
  if (!p.hasCaseInfo) problems.push_back("'fici': missing (how the host prepares each filter case)");
  else
    for (size_t c = 0; c < p.caseInfo.size(); ++c) {
      const FilterCaseInfo& k = p.caseInfo[c];
      if (k.inputHandling > 4 || k.outputHandling > 4)
        problems.push_back("'fici': filter case " + std::to_string(c + 1) + " has data handling " +
                           std::to_string(k.inputHandling) + "/" + std::to_string(k.outputHandling) + " (0 to 4)");
    }
  return problems;
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : separator) + p;
  return text;
}

Verdict Row(const char* scenario, bool ok, const std::string& detail) {
  return Verdict{scenario, ok ? Outcome::kPass : Outcome::kFail, detail, 0};
}

}  // namespace

bool FindFilterPipl(void* module, PiplInfo& pipl, std::string& error) {
  for (const RawPipl& p : ReadPipls(static_cast<HMODULE>(module))) {
    if (!p.error.empty()) {
      error = "property list " + std::to_string(p.info.resourceId) + ": " + p.error;
      return false;
    }
    if (p.info.kind != kFilterKind) continue;
    pipl = p.info;
    return true;
  }
  error = "no filter property list (resource type \"PIPL\" of kind '8BFM')";
  return false;
}

bool FindFilterProperty(void* module, const char* key, std::string& value) {
  for (const RawPipl& p : ReadPipls(static_cast<HMODULE>(module))) {
    if (!p.error.empty() || p.info.kind != kFilterKind) continue;
    if (std::string(key) != "hstm") return false;
    value = p.terminology;
    return p.hasTerminology;
  }
  return false;
}

StaticResult CheckStatically(const std::string& path) {
  StaticResult result;
  auto skipRest = [&](const char* why) {
    for (const char* name : {"static.properties", "static.exports", "static.imports", "static.terminology"})
      result.rows.push_back(Verdict{name, Outcome::kSkip, why, 0});
  };
  PeFile pe;
  std::string why;
  if (!ReadPe(path, pe, why)) {
    result.rows.push_back(Row("static.file", false, why));
    skipRest("the file is not a 64-bit DLL");
    return result;
  }
  result.rows.push_back(Row("static.file", true, "64-bit DLL, " + std::to_string(pe.sections.size()) + " sections, " +
                                                     std::to_string(pe.bytes.size()) + " bytes"));
  // As data: none of the module's code runs for these checks.
  HMODULE data = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (data == nullptr) {
    result.rows.push_back(Row("static.properties", false, "the system cannot load the file as data (error " + std::to_string(GetLastError()) + ")"));
    for (const char* name : {"static.exports", "static.imports", "static.terminology"})
      result.rows.push_back(Verdict{name, Outcome::kSkip, "no property list read", 0});
    return result;
  }
  const std::vector<RawPipl> pipls = ReadPipls(data);
  const RawPipl* filter = nullptr;
  std::vector<std::string> problems;
  for (const RawPipl& p : pipls) {
    if (!p.error.empty()) problems.push_back("property list " + std::to_string(p.info.resourceId) + " does not parse: " + p.error);
    else if (p.info.kind == kFilterKind && filter == nullptr) filter = &p;
  }
  if (pipls.empty()) problems.push_back("no property list (resource type \"PIPL\"): no host will list the module");
  else if (filter == nullptr && problems.empty()) problems.push_back("'kind': no property list of kind '8BFM' (a filter)");
  if (filter != nullptr) {
    const auto more = PropertyProblems(filter->info);
    problems.insert(problems.end(), more.begin(), more.end());
  }
  result.rows.push_back(Row("static.properties", problems.empty(),
                            problems.empty() ? "\"" + filter->info.name + "\" in \"" + filter->info.category + "\"" : Join(problems, "; ")));

  // The entry point the list names, among the exports.
  const std::vector<std::string> exports = ExportNames(pe);
  if (filter == nullptr || filter->info.entryPoint.empty()) {
    result.rows.push_back(Verdict{"static.exports", Outcome::kSkip, "no " + kEntryKeyText + " entry point named", 0});
  } else {
    const bool exported = std::find(exports.begin(), exports.end(), filter->info.entryPoint) != exports.end();
    result.rows.push_back(Row("static.exports", exported,
                              exported ? filter->info.entryPoint + " exported"
                                       : kEntryKeyText + " names " + filter->info.entryPoint + ", which the module does not export (exports: " +
                                             (exports.empty() ? std::string("none") : Join(exports, ", ")) + ")"));
  }

  std::vector<std::string> foreign;
  for (const std::string& dll : ImportedDlls(pe))
    if (!IsSystemDll(dll)) foreign.push_back(dll);
  result.rows.push_back(Row("static.imports", foreign.empty(),
                            foreign.empty() ? "system DLLs only"
                                            : "imports DLLs that are not part of Windows (a host's machine may lack them): " + Join(foreign, ", ")));

  if (filter == nullptr) {
    result.rows.push_back(Verdict{"static.terminology", Outcome::kSkip, "no filter property list", 0});
  } else if (!filter->hasTerminology) {
    result.rows.push_back(Verdict{"static.terminology", Outcome::kPass, "no 'hstm': the module declares no scripting", 0});
  } else if (filter->terminology.size() < 14) {
    result.rows.push_back(Row("static.terminology", false, "'hstm': too short for its resource id"));
  } else {
    const std::string& t = filter->terminology;
    const int id = int16_t(uint8_t(t[12]) | uint8_t(t[13]) << 8);
    HRSRC found = FindResourceA(data, MAKEINTRESOURCEA(id), "AETE");
    result.rows.push_back(Row("static.terminology", found != nullptr && SizeofResource(data, found) >= 8,
                              found != nullptr ? "'hstm' names terminology resource " + std::to_string(id) + ", present"
                                               : "'hstm': terminology resource AETE " + std::to_string(id) + " is missing"));
  }
  FreeLibrary(data);
  result.runnable = filter != nullptr && !filter->info.entryPoint.empty() &&
                    std::find(exports.begin(), exports.end(), filter->info.entryPoint) != exports.end();
  if (filter != nullptr) result.pipl = filter->info;
  return result;
}
