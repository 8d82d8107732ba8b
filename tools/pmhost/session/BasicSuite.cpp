// The basic suite: acquiring and releasing the suites this host serves
// (registry, action descriptors, file list), and memory blocks.
#include <cstdlib>
#include <cstring>

#include "Console.h"
#include "HostServices.h"
#include "ServicesState.h"

namespace pmsession {

std::map<std::pair<std::string, int32_t>, int32_t> gSuitesHeld;
std::set<void*> gBlocks;

namespace {

template <int N>
SPErr UnservedFileListEntry() {
  const Callback call("file-list entry " + std::to_string(N));
  Say("pmhost: file-list suite entry %d called; this host does not serve it\n", N);
  return kSPSuiteNotFoundError;
}

SPErr BrowseUrl(const char* url) {
  const Callback call("BrowseUrl");
  if (url == nullptr) {
    ReportMisuse("BrowseUrl called without an address");
    return paramErr;
  }
  Say("BrowseUrl: %s\n", url);
  return 0;
}

PSGetFileListSuite4 gFileListSuite = {reinterpret_cast<void*>(&UnservedFileListEntry<1>),
                                      reinterpret_cast<void*>(&UnservedFileListEntry<2>),
                                      reinterpret_cast<void*>(&UnservedFileListEntry<3>), BrowseUrl};

SPErr AcquireSuite(const char* name, int32_t version, const void** suite) {
  const Callback call(std::string("AcquireSuite(") + (name != nullptr ? name : "null") + ", " + std::to_string(version) + ")");
  if (suite == nullptr || name == nullptr) {
    ReportMisuse("AcquireSuite called without a name or a place for the suite");
    return kSPSuiteNotFoundError;
  }
  const void* found = nullptr;
  const std::string n = name;
  if (n == kRegistrySuiteName && version == 1 && gOptions.registrySuite) found = &gRegistryProcs;
  if (n == kDescriptorSuiteName && ((version == 2 && gOptions.descriptorV2) || (version == 3 && gOptions.descriptorV3)))
    found = &gDescriptorTable;
  if (n == kFileListSuiteName && version == 4 && gOptions.fileListSuite) found = &gFileListSuite;
  *suite = found;
  if (found == nullptr) {
    Say("pmhost: suite \"%s\" version %d refused\n", name, version);
    return kSPSuiteNotFoundError;
  }
  ++gSuitesHeld[{n, version}];
  return 0;
}

SPErr ReleaseSuite(const char* name, int32_t version) {
  const Callback call(std::string("ReleaseSuite(") + (name != nullptr ? name : "null") + ", " + std::to_string(version) + ")");
  if (name == nullptr) {
    ReportMisuse("ReleaseSuite called without a name");
    return kSPSuiteNotFoundError;
  }
  auto it = gSuitesHeld.find({name, version});
  if (it == gSuitesHeld.end() || it->second == 0) {
    ReportMisuse("ReleaseSuite of \"%s\" version %d, which is not acquired", name, version);
    return kSPSuiteNotFoundError;
  }
  --it->second;
  return 0;
}

SPBoolean IsEqual(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

SPErr AllocateBlock(size_t size, void** block) {
  const Callback call("AllocateBlock(" + std::to_string(size) + ")");
  if (block == nullptr) return kSPSuiteNotFoundError;
  *block = std::malloc(size > 0 ? size : 1);
  if (*block == nullptr) return memFullErr;
  gBlocks.insert(*block);
  return 0;
}

SPErr FreeBlock(void* block) {
  const Callback call("FreeBlock");
  if (block == nullptr) return 0;
  if (gBlocks.erase(block) == 0) {
    ReportMisuse("FreeBlock of %p, which is not a live block", block);
    return paramErr;
  }
  std::free(block);
  return 0;
}

SPErr ReallocateBlock(void* block, size_t size, void** newBlock) {
  const Callback call("ReallocateBlock(" + std::to_string(size) + ")");
  if (newBlock == nullptr) return paramErr;
  if (block != nullptr && gBlocks.count(block) == 0) {
    ReportMisuse("ReallocateBlock of %p, which is not a live block", block);
    return paramErr;
  }
  void* p = std::realloc(block, size > 0 ? size : 1);
  if (p == nullptr) return memFullErr;
  gBlocks.erase(block);
  gBlocks.insert(p);
  *newBlock = p;
  return 0;
}

SPErr Undefined() { return kSPSuiteNotFoundError; }

SPBasicSuite gBasicSuite = {AcquireSuite, ReleaseSuite, IsEqual, AllocateBlock, FreeBlock, ReallocateBlock, Undefined};
}  // namespace

}  // namespace pmsession

using namespace pmsession;

SPBasicSuite* HostBasicSuite() { return gOptions.basicSuite ? &gBasicSuite : nullptr; }
