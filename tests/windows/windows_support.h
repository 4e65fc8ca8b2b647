// Shared pieces of the Windows behaviour tests: the kit's DLLs loaded as a
// host loads them, the resources the test run provides (tools/windows/check.sh
// starts the Linux emulators and names them in the environment), log files
// read back, and a helper process.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kk::wintest {

// An environment variable the test run must provide.
inline std::string required_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    ADD_FAILURE() << name << " is not set: run these tests through tools/windows/check.sh";
    return {};
  }
  return value;
}

// Polls `condition` until it holds or `timeout` passes (the machine running
// the tests may be loaded: callers give generous time-outs).
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(10);
  }
  return true;
}

// A DLL of the kit loaded from its build folder, where the DLLs it imports
// (notecore for cashgate) are found beside it: the altered search order
// takes them from the folder of a full path.
inline HMODULE load_kit(const char* path) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return nullptr;
  return LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// One export, looked up by its plain name and typed by its declaration.
template <typename Fn>
Fn export_of(HMODULE module, const char* name) {
  // Through void (*)(): a function address of no particular type.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
#define KK_PROC(module, name) ::kk::wintest::export_of<decltype(&::name)>(module, #name)

// Lines appended to a file since the object was made, without their line
// ends (and, for the cardkit log, without the elapsed-time prefix).
class NewLines {
 public:
  explicit NewLines(std::string path) : path_(std::move(path)), start_(size()) {}

  [[nodiscard]] std::vector<std::string> read(bool strip_prefix) const {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start_));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto tab = line.find('\t');
      lines.push_back(strip_prefix && tab != std::string::npos ? line.substr(tab + 1) : line);
    }
    return lines;
  }

 private:
  [[nodiscard]] uint64_t size() const {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  std::string path_;
  uint64_t start_;
};

// The cardkit log file of this hour, on drive D as the kit names it.
inline std::string cardkit_log_path() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char name[32];
  std::snprintf(name, sizeof name, "D://log%02d%02d%02d.txt", now.wMonth, now.wDay, now.wHour);
  return name;
}

// Runs `command_line` as a process of its own; its exit code, or -1 when it
// does not start or end within `timeout_ms`.
inline long run_process(std::string command_line, DWORD timeout_ms = 60000) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return -1;
  CloseHandle(process.hThread);
  long code = -1;
  if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0) {
    DWORD exit_code = 0;
    if (GetExitCodeProcess(process.hProcess, &exit_code)) code = static_cast<long>(exit_code);
  } else {
    TerminateProcess(process.hProcess, 99);
  }
  CloseHandle(process.hProcess);
  return code;
}

// "\\.\COM<n>" opened for exclusive use, as a program that is not the kit
// would; INVALID_HANDLE_VALUE when someone holds the port or it is not there.
inline HANDLE open_com(int number) {
  char path[32];
  std::snprintf(path, sizeof path, "\\\\.\\COM%d", number);
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace kk::wintest
