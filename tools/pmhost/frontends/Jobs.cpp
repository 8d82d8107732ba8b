#include "Jobs.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "JobList.h"

namespace {

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

}  // namespace

bool MakeFolders(const std::string& path) {
  for (size_t at = path.find_first_of("/\\", 1); at != std::string::npos; at = path.find_first_of("/\\", at + 1)) {
    const std::string above = path.substr(0, at);
    if (!IsFolder(above) && above.back() != ':') CreateDirectoryA(above.c_str(), nullptr);
  }
  return IsFolder(path) || CreateDirectoryA(path.c_str(), nullptr) != 0;
}

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

namespace {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
  return text;
}

// The identity of an existing file or folder: its volume's serial number and
// its file index, which every spelling, short name, link and drive letter of
// it shares. Empty when `path` names nothing that can be opened.
std::string Identity(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known) return {};
  return std::to_string(info.dwVolumeSerialNumber) + ":" +
         std::to_string(uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow);
}

// A name in the one case the file system compares in: upper case by the
// system's own case table (not ASCII alone: "été" and "ÉTÉ" name one file).
std::wstring FoldCase(const std::wstring& name) {
  if (name.empty()) return name;
  const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(), static_cast<int>(name.size()),
                              nullptr, 0, nullptr, nullptr, 0);
  if (n <= 0) return name;
  std::wstring folded(static_cast<size_t>(n), L'\0');
  LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(), static_cast<int>(name.size()), folded.data(), n,
                nullptr, nullptr, 0);
  return folded;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

// Which file a path names, for CheckJobList. An existing file (or folder) is
// keyed by its identity on disk. A file not there yet is keyed by the
// identity of the nearest folder above it that exists, followed by the names
// that do not exist yet in one case: so every spelling that reaches that
// folder (a symbolic link, another drive letter mapped to it, a short name,
// the \\?\ prefix) gives one key. A path of which no folder can be opened
// falls back to its full path as Windows resolves it.
std::string FileKeyOnDisk(const std::string& path) {
  const std::wstring wide = Widen(path);
  const std::string itself = Identity(wide);
  if (!itself.empty()) return "file " + itself;

  // The full path, with "." and "..", either slash and trailing dots and
  // spaces resolved as Windows does (a \\?\ path is taken as it is).
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) {
      full = wide;
      break;
    }
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  std::wstring missing;  // the names below the folder found, each folded, "\A\B.PNG"
  std::wstring folder = full;
  while (!folder.empty()) {
    size_t end = folder.size();
    while (end > 0 && IsSeparator(folder[end - 1])) --end;
    size_t cut = end;
    while (cut > 0 && !IsSeparator(folder[cut - 1])) --cut;
    if (cut == 0) break;  // no folder left above
    std::wstring name = folder.substr(cut, end - cut);
    folder.resize(cut);  // keeps the separator: "C:\" opens the drive's root folder, "C:" would not
    if (missing.empty() && full.compare(0, 4, L"\\\\?\\") != 0) {
      // The last name loses its trailing dots and spaces, as when it is made.
      while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
    }
    if (!name.empty() && name != L".") missing = L"\\" + FoldCase(name) + missing;
    const std::string above = Identity(folder);
    if (!above.empty()) return "file " + above + Utf8(missing);
    folder.resize(cut - 1);
  }
  char current[MAX_PATH * 4];
  const DWORD here = GetCurrentDirectoryA(sizeof current, current);
  return "path " + PathKey(Utf8(full), here > 0 && here < sizeof current ? std::string(current, here) : std::string());
}
