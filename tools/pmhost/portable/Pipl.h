// The property list ("PIPL" resource) through which a host learns what a
// plug-in is, without running any of its code; and the enable expression.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct FilterCaseInfo {
  uint8_t inputHandling = 1;   // 0 cannot filter, 1 straight data, 2 black, 3 gray, 4 white matte
  uint8_t outputHandling = 1;
  uint8_t flags = 0;           // bit 0 don't copy source, 1 blank data, 2 layer masks, 3 writes outside selection
};

struct PiplInfo {
  int resourceId = 0;
  uint32_t kind = 0;  // '8BFM' for filters
  std::string name;
  std::string category;
  std::string entryPoint;  // the code property of this host's machine (kEntryPointKey)
  int32_t interfaceVersion = -1;  // 'vers', -1 when absent
  bool hasModes = false;
  uint16_t modeFlags = 0;  // bit (15 - mode) set when the mode is supported
  bool hasEnable = false;
  std::string enableExpression;
  bool hasCaseInfo = false;
  std::array<FilterCaseInfo, 7> caseInfo{};
  int32_t maxHeight = 0, maxWidth = 0;  // 'ms32', 0 when absent
  std::vector<std::string> keys;          // every property key, in stored order
};

// The key of the code property that names the entry point for the machine
// this host runs on: '8664' on x64, 'wa64' on ARM64. A host lists only
// modules with the property of its own machine.
#if defined(__aarch64__) || defined(_M_ARM64)
inline constexpr char kEntryPointKey[] = "wa64";
#else
inline constexpr char kEntryPointKey[] = "8664";
#endif

bool ParsePipl(const uint8_t* data, size_t size, PiplInfo& info, std::string& error);

// The document as the enable expression sees it.
struct DocumentFacts {
  int32_t mode = 3;  // 1 grayscale, 3 RGB, 10 Gray16, 11 RGB48, ...
  int32_t depth = 8;
  int32_t width = 0, height = 0;
  int32_t channels = 0;
};

// Evaluates an enable expression. False with `error` set when the expression
// cannot be read (an unknown name, a syntax error).
bool EvaluateEnable(const std::string& expression, const DocumentFacts& doc, bool& enabled, std::string& error);

// Whether the 'mode' flags admit a document mode.
bool ModeFlagsAllow(uint16_t flags, int32_t mode);

std::string ModeName(int32_t mode);
std::string FourCCText(uint32_t code);
