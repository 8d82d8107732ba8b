// The descriptor registry: the suite a module stores its settings through,
// and the registry file that keeps the persistent entries between runs.
#include <fstream>

#include "Console.h"
#include "HostServices.h"
#include "ServicesState.h"

namespace pmsession {

std::map<std::string, RegistryEntry> gRegistry;

namespace {

OSErr RegistryRegister(const char* key, PIActionDescriptor descriptor, Boolean persistent) {
  const Callback call("registry Register");
  if (key == nullptr) {
    ReportMisuse("registry Register called without a key");
    return paramErr;
  }
  const Descriptor* d = FindDescriptor(descriptor, "registry Register");
  if (d == nullptr) return paramErr;
  gRegistry[key] = RegistryEntry{*d, persistent != 0};
  Say("pmhost: registry: %s registered%s: %s\n", key, persistent ? " (persistent)" : "", DescribeDescriptor(*d).c_str());
  return noErr;
}

OSErr RegistryErase(const char* key) {
  const Callback call("registry Erase");
  if (key == nullptr) {
    ReportMisuse("registry Erase called without a key");
    return paramErr;
  }
  gRegistry.erase(key);
  return noErr;
}

OSErr RegistryGet(const char* key, PIActionDescriptor* descriptor) {
  const Callback call("registry Get");
  if (key == nullptr || descriptor == nullptr) {
    ReportMisuse("registry Get called without a key or a place for the descriptor");
    return paramErr;
  }
  const auto it = gRegistry.find(key);
  *descriptor = it == gRegistry.end() ? nullptr : NewDescriptor(it->second.descriptor, std::string("registry Get of ") + key);
  return noErr;
}
}  // namespace

PSDescriptorRegistryProcs gRegistryProcs = {RegistryRegister, RegistryErase, RegistryGet};
}  // namespace pmsession

using namespace pmsession;

bool LoadRegistry(std::string& error) {
  if (gOptions.registryFile.empty()) return true;
  std::ifstream in(gOptions.registryFile, std::ios::binary);
  if (!in) return true;  // no file yet: an empty registry
  std::string line, key, body;
  bool inEntry = false;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!inEntry) {
      if (line.empty() || line[0] == '#') continue;
      if (line.rfind("entry ", 0) != 0) {
        error = gOptions.registryFile + ":" + std::to_string(lineNumber) + ": expected \"entry <key>\"";
        return false;
      }
      key = line.substr(6);
      body.clear();
      inEntry = true;
    } else if (line == "end") {
      RegistryEntry entry;
      entry.persistent = true;
      if (!ParseDescriptor(body, entry.descriptor, error)) {
        error = gOptions.registryFile + ": entry " + key + ": " + error;
        return false;
      }
      gRegistry[key] = entry;
      inEntry = false;
    } else {
      body += line + "\n";
    }
  }
  if (inEntry) {
    error = gOptions.registryFile + ": entry " + key + " has no \"end\"";
    return false;
  }
  return true;
}

bool SaveRegistry(std::string& error) {
  if (gOptions.registryFile.empty()) return true;
  std::ofstream out(gOptions.registryFile, std::ios::binary | std::ios::trunc);
  out << "# pmhost descriptor registry: the persistent entries, one block each\n";
  for (const auto& [key, entry] : gRegistry)
    if (entry.persistent) out << "entry " << key << "\n" << SerializeDescriptor(entry.descriptor) << "end\n";
  out.close();
  if (!out) error = "cannot write " + gOptions.registryFile;
  return static_cast<bool>(out);
}

std::vector<std::string> DescribeRegistry() {
  std::vector<std::string> lines;
  for (const auto& [key, entry] : gRegistry)
    lines.push_back(key + (entry.persistent ? " (persistent): " : ": ") + DescribeDescriptor(entry.descriptor));
  return lines;
}
