// libFuzzer entry: every input is one host session (see FuzzHost.cpp).
#include <cstddef>
#include <cstdint>

#include "FuzzHost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunFuzzInput(data, size);
  return 0;
}
