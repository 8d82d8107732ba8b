// Linked into a test copy of the module in place of the C++ runtime's own
// clean-up (the link wraps __gnu_cxx::__freeres): records every call in the
// file that PIXELMOOR_FREERES_RECORD names, then runs the runtime's clean-up.
// The record is written with KERNEL32 alone, which stays usable while a
// process ends.
#include <windows.h>

extern "C" void __real__ZN9__gnu_cxx9__freeresEv();

extern "C" void __wrap__ZN9__gnu_cxx9__freeresEv() {
  char path[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableA("PIXELMOOR_FREERES_RECORD", path, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, "freed\n", 6, &written, nullptr);
      CloseHandle(file);
    }
  }
  __real__ZN9__gnu_cxx9__freeresEv();
}
