// What the host serves besides the pixels: memory handles, the basic suite
// and the suites behind it (descriptor registry, action descriptors, file
// list), the write-descriptor procedures; and the record of every misuse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Descriptors.h"
#include "host/HostApi.h"

struct ServiceOptions {
  bool basicSuite = true;
  bool registrySuite = true;
  bool descriptorV2 = true;
  bool descriptorV3 = true;
  bool fileListSuite = true;
  bool writeDescriptorProcs = true;
  int32_t failNewHandleAt = 0;  // newProc answers null on this call (1-based); 0 never
  std::string registryFile;     // empty: the registry lives for this run only
};

// Prints a misuse of the host interface by the module and counts it.
void ReportMisuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
int MisuseCount();

void InitServices(const ServiceOptions& options);
HandleProcs* HostHandleProcs();
SPBasicSuite* HostBasicSuite();  // null when switched off
WriteDescriptorProcs* HostWriteDescriptorProcs();  // null when switched off

// Host-side handle operations (no misuse checks, nothing counted).
Handle HostNewHandle(const void* data, size_t size);
bool IsHostHandle(Handle h);
std::string HostHandleBytes(Handle h);
void HostDisposeHandle(Handle h);

// Reports every handle that is still locked, naming the moment.
void CheckLockedHandles(const char* when);

// The scripting descriptor that a handle holds, for people; empty text when
// the handle is not one of the host's descriptor handles.
std::string DescribeDescriptorHandle(Handle h);

bool LoadRegistry(std::string& error);
bool SaveRegistry(std::string& error);
// The registry's entries, for people.
std::vector<std::string> DescribeRegistry();

// After the module is unloaded and the session ended: suites not released,
// handles not disposed, descriptors, write tokens and blocks not freed.
void ReportLeaks();
