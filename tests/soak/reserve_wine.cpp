// When the module gives the C++ runtime's exception reserve back: at an
// unload, and never while the process ends (then other threads may have been
// killed holding the heap's lock, and the process takes the memory anyway).
// Runs a child host on a test copy of the module that records each time the
// reserve is freed (freeres_record_win.cpp):
//
//   child:  load, unload, note "unloaded", load again, end the process
//           without unloading
//   parent: the record must read "freed", "unloaded", and nothing more
//
//   pixelmoor_reserve_test <recording copy of the module>
#include <windows.h>

#include <cstdio>
#include <string>

#include "ModuleHost_win.h"

namespace {

void Note(const std::string& record, const char* text) {
  const HANDLE file = CreateFileA(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(std::char_traits<char>::length(text)), &written, nullptr);
  CloseHandle(file);
}

int Child(const std::string& module, const std::string& record) {
  HMODULE loaded = LoadLibraryA(hostkit::WindowsPath(module).c_str());
  if (loaded == nullptr) return 3;
  FreeLibrary(loaded);
  Note(record, "unloaded\n");
  if (LoadLibraryA(hostkit::WindowsPath(module).c_str()) == nullptr) return 3;
  // The process ends with the module loaded.
  ExitProcess(0);
}

std::string ReadAll(const std::string& path) {
  std::string text;
  if (FILE* in = std::fopen(path.c_str(), "rb")) {
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
    std::fclose(in);
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "child") return Child(argv[2], argv[3]);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <recording copy of Pixelmoor.8bf>\n", argv[0]);
    return 2;
  }
  char folder[MAX_PATH] = {}, record[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, "pxr", 0, record);
  DeleteFileA(record);
  SetEnvironmentVariableA("PIXELMOOR_FREERES_RECORD", record);

  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\" child \"" + argv[1] + "\" \"" + record + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "cannot start the child host (error %lu)\n", GetLastError());
    return 2;
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  const std::string got = ReadAll(record);
  DeleteFileA(record);
  const std::string expected = "freed\nunloaded\n";
  std::printf("child host ended with %lu; the record reads:\n%s", exitCode, got.c_str());
  if (exitCode != 0 || got != expected) {
    std::printf("FAIL: expected the reserve freed at the unload and not at the process's end:\n%s", expected.c_str());
    return 1;
  }
  std::printf("reserve: passed\n");
  return 0;
}
