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

// Which file a path names, for CheckJobList: an existing file (or folder)
// by its identity on disk, the volume and file index, which every spelling,
// short name and hard link of it shares; a path that names nothing yet by its
// full path, as Windows resolves it, in one case.
std::string FileKeyOnDisk(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (known)
      return "file " + std::to_string(info.dwVolumeSerialNumber) + ":" +
             std::to_string(uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow);
  }
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  const std::string resolved = length > 0 && length < sizeof full ? std::string(full, length) : path;
  char current[MAX_PATH * 4];
  const DWORD here = GetCurrentDirectoryA(sizeof current, current);
  return "path " + PathKey(resolved, here > 0 && here < sizeof current ? std::string(current, here) : std::string());
}

