#include "JobList.h"

#include <cctype>
#include <map>
#include <vector>

namespace {

bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// "x:" for "X:\..." and "X:...", "\\server\share" for a UNC path, "" for a
// path without a root; `rest` is what follows the root.
std::string SplitRoot(const std::string& path, std::string& rest, bool& rooted) {
  rooted = false;
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    // \\server\share: two names after the double separator form the root.
    size_t end = path.find('\\', 2);
    end = end == std::string::npos ? path.size() : path.find('\\', end + 1);
    if (end == std::string::npos) end = path.size();
    rooted = true;
    rest = path.substr(end);
    return path.substr(0, end);
  }
  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == ':') {
    rooted = path.size() >= 3 && path[2] == '\\';
    rest = path.substr(2);
    return path.substr(0, 2);
  }
  rooted = !path.empty() && path[0] == '\\';
  rest = path;
  return {};
}

std::vector<std::string> Names(const std::string& rest) {
  std::vector<std::string> names;
  size_t from = 0;
  while (from <= rest.size()) {
    size_t to = rest.find('\\', from);
    if (to == std::string::npos) to = rest.size();
    names.push_back(rest.substr(from, to - from));
    from = to + 1;
  }
  return names;
}

}  // namespace

std::string PathKey(const std::string& path, const std::string& currentDir) {
  std::string slashed = path;
  for (char& c : slashed) c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string cwd = currentDir;
  for (char& c : cwd) c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  std::string rest, cwdRest;
  bool rooted = false, cwdRooted = false;
  std::string root = SplitRoot(slashed, rest, rooted);
  const std::string cwdRoot = SplitRoot(cwd, cwdRest, cwdRooted);
  std::vector<std::string> names;
  if (root.empty()) {
    // Relative to the current folder, or (a leading separator) to its root.
    root = cwdRoot;
    if (!rooted) names = Names(cwdRest);
  } else if (!rooted && root == cwdRoot) {
    names = Names(cwdRest);  // "c:name": relative to the current folder on that drive
  }
  for (const std::string& name : Names(rest)) names.push_back(name);

  std::vector<std::string> resolved;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string name = names[i];
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!resolved.empty()) resolved.pop_back();
      continue;
    }
    if (i + 1 == names.size()) {
      // The last name loses every trailing dot and space ...
      while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    } else if (name.size() >= 2 && name.back() == '.' && name[name.size() - 2] != '.') {
      name.pop_back();  // ... a folder's name one trailing dot
    }
    if (!name.empty()) resolved.push_back(name);
  }
  std::string key = root;
  for (const std::string& name : resolved) key += "\\" + name;
  return key.empty() || key == root ? key + "\\" : key;
}

std::string CheckJobList(const std::vector<Job>& jobs, const FileKey& key) {
  // Only jobs that will be read and written take part: one whose input is
  // already known to fail is neither.
  std::vector<std::string> inputs(jobs.size()), outputs(jobs.size());
  std::multimap<std::string, size_t> readers;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (!jobs[i].error.empty()) continue;
    inputs[i] = key(jobs[i].input);
    if (!jobs[i].output.empty()) outputs[i] = key(jobs[i].output);
    readers.emplace(inputs[i], i);
  }
  std::map<std::string, size_t> writers;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (outputs[i].empty()) continue;
    const Job& job = jobs[i];
    const auto [it, fresh] = writers.emplace(outputs[i], i);
    if (!fresh) return jobs[it->second].input + " and " + job.input + " would both be written to " + job.output;
    const auto [from, to] = readers.equal_range(outputs[i]);
    for (auto r = from; r != to; ++r) {
      if (r->second == i) continue;  // its own input: read whole before the write
      const Job& reader = jobs[r->second];
      std::string why = job.output + ", the output of " + job.input + ", is also the input of image " +
                        std::to_string(r->second + 1);
      if (reader.input != job.output) why += " (" + reader.input + ")";
      return why;
    }
  }
  return {};
}
