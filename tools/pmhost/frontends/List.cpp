// The front end that lists filters: what a host finds in a module file or a
// folder of them, read from the property lists without running any code.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "FrontEnds.h"

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
